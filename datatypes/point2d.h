// point2D!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::point2D {

// Arithmetic worker: the point in the first argument slot, the number in the
// second; the result is left in the first slot.
Cell* do_math(i32 op);
// Negates every coordinate of the point in place.
Cell* negate(Cell* value);

}  // namespace zav::point2D
