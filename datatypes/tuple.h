// tuple!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "datatypes/cell.h"

namespace zav::tuple {

// Arithmetic worker on the two argument slots; integer! arithmetic leaves the
// tuple first, float! arithmetic leaves the number first.
Cell* do_math(i32 op);

}  // namespace zav::tuple
