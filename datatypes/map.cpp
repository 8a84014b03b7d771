// map!: not built yet.
#include "datatypes/map.h"

#include "runtime/helpers.h"
#include "runtime/memory.h"

namespace zav::map {

// not built yet
void extend(Cell*, Cell*, bool) { fire("internal", "not-done"); }

bool foreach_next(Cell*, Cell*, i32) { fire("internal", "not-done"); }

}  // namespace zav::map
