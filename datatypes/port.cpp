// port!: not built yet; every entry raises internal/not-done.
#include "datatypes/port.h"

#include "runtime/helpers.h"

namespace zav::port {

Cell* make(Cell*) { fire("internal", "not-done"); }
Cell* open(Cell*, bool, bool, bool, bool, Cell*) { fire("internal", "not-done"); }
Cell* read(Cell*, Cell*, Cell*, Cell*, bool, bool, bool, Cell*) { fire("internal", "not-done"); }
Cell* write(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, Cell*, Cell*) { fire("internal", "not-done"); }

}  // namespace zav::port
