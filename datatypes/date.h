// date!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "datatypes/cell.h"

namespace zav::date {

// Arithmetic worker with the date! in the first argument slot.
Cell* do_math(i32 op);
// The date as seconds since the epoch.
i32 to_epoch(Cell* value);

}  // namespace zav::date
