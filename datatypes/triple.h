// triple! values: a small internal record of three numbers used by parse.
#pragma once
#include "runtime/cell.h"

namespace zav::triple {

Cell* make_at(Cell* cell, i32 a, i32 b, i32 c);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
void init();

}  // namespace zav::triple
