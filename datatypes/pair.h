// pair!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::pair {

// Arithmetic worker: the pair! in the first argument slot, the number in the
// second; the result is left in the first slot.
Cell* do_math(i32 op);
// Negates both coordinates of the pair in place.
Cell* negate(Cell* value);

}  // namespace zav::pair
