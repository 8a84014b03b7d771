// date!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::date {

// Arithmetic worker with the date! in the first argument slot.
Cell* do_math(i32 op);
// The date as seconds since the epoch.
i32 to_epoch(Cell* value);
// The difference of two dates as a time!, left in the first cell.
Cell* difference(Cell* date1, Cell* date2);

}  // namespace zav::date
