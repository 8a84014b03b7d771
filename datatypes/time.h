// time!: a duration or time of day as seconds in a 64-bit float (a child of float!).
#pragma once
#include "runtime/cell.h"

namespace zav::time {

Cell* make_at(Cell* cell, double seconds);
Cell* push(double seconds);
Cell* make_in(Cell* parent, double seconds);

// Whole hours (truncated toward zero) and the minutes within the hour.
i32 get_hours(double seconds);
i32 get_minutes(double seconds);

// Appends the text form (h:mm:ss[.fff]); answers part less what was written.
i32 serialize(double seconds, Cell* buffer, i32 part);
[[noreturn]] void invalid_arg(Cell* value);  // script/bad-to-arg with time!

// Actions (random, compare, absolute, negate and remainder come from float!).
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
Cell* add();
Cell* subtract();
Cell* divide();
Cell* multiply();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil);
bool even_q(Cell* value);
bool odd_q(Cell* value);
Cell* pick(Cell* value, i32 index, Cell* boxed);

void init();

}  // namespace zav::time
