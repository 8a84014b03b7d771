// percent!: a float! written as a percentage (0.5 is 50%); it shares float!'s
// layout and numeric actions, only its text forms and makers are its own.
#pragma once
#include "runtime/cell.h"

namespace zav::percent {

Cell* make_at(Cell* cell, double value);
Cell* push(double value);
Cell* make_in(Cell* block, double value);
Cell* box(double value);  // into the first argument slot

// The text that reads back to the very same fraction (mold/all); raises
// script/type-limit for a NaN or an infinity, which percent text cannot hold.
const char* exact_text(double fraction);

i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

void init();

}  // namespace zav::percent
