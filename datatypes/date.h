// date!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "datatypes/cell.h"

namespace zav::date {

// Arithmetic worker with the date! in the first argument slot.
Cell* do_math(i32 op);
// The date as seconds since the epoch.
i32 to_epoch(Cell* value);
// The difference of two dates as a time!, left in the first cell.
Cell* difference(Cell* date1, Cell* date2);
// Writes a date! in UTC with its time of day into the cell; answers it.
Cell* make_from_hms(Cell* cell, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds);

}  // namespace zav::date
