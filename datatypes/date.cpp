// date!: not built yet; every entry raises internal/not-done.
#include "datatypes/date.h"

#include "runtime/helpers.h"

namespace zav::date {

Cell* do_math(i32) { fire("internal", "not-done"); }
i32 to_epoch(Cell*) { fire("internal", "not-done"); }
Cell* difference(Cell*, Cell*) { fire("internal", "not-done"); }
Cell* make_from_hms(Cell*, i32, i32, i32, i32, i32, i32, i32) { fire("internal", "not-done"); }

}  // namespace zav::date
