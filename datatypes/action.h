// action! values: the generic actions that dispatch on their first argument.
#pragma once
#include "runtime/cell.h"

namespace zav::action {

Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::action
