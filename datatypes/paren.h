// paren!: a block that evaluates in place; only its mold is its own.
#pragma once
#include "runtime/cell.h"

namespace zav::paren {

// Sets the cell's type to paren! and pushes a copy (the scanner's maker).
Cell* push(Cell* cell);
i32 mold(Cell* paren, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

void init();

}  // namespace zav::paren
