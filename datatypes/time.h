// time!: a duration or time of day as seconds in a 64-bit float (a child of float!).
#pragma once
#include <string>

#include "runtime/cell.h"

namespace zav::time {

Cell* make_at(Cell* cell, double seconds);
Cell* push(double seconds);
Cell* make_in(Cell* parent, double seconds);

// Whole hours (truncated toward zero) and the minutes within the hour.
i32 get_hours(double seconds);
i32 get_minutes(double seconds);

// Appends the text form (h:mm:ss[.fff]); answers part less what was written.
// `exact` (mold/all) writes as many digits as the value needs to read back
// unchanged, and raises script/type-limit for a time the text cannot hold.
i32 serialize(double seconds, Cell* buffer, i32 part, bool exact = false);
// The seconds field of an exact text, at least two digits before any point,
// which the lexer adds to `whole` (an exact whole number of seconds) with one
// rounding to read back `value`: the shortest digits of value less whole,
// or when those do not fit below 60 (huge values) the digits of `remainder`
// (value - whole, exact; one below 0 stands for the exact 60 + remainder).
std::string exact_seconds(double value, double whole, double remainder);
// Whether the short seconds field of s (0 <= s < 60) rounds up to "60", so
// that the text carries into the minutes.
bool rounds_to_minute(double s);
Cell* invalid_arg(Cell* value);  // script/bad-to-arg with time!, raised pending: answers null

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
