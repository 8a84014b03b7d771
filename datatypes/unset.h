// unset!: the absence of a value.
#pragma once
#include "runtime/cell.h"

namespace zav::unset {

// The shared unset cell that conversions return by reference.
extern Cell value;

Cell* push_last();              // the result slot becomes unset
Cell* make_in(Cell* parent);    // appends an unset cell to a block
Cell* push();

Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::unset
