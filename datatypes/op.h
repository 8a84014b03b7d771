// op! values: a copy of a two-argument native, action, function or routine
// that the interpreter calls infix; the wrapped type sits in header bits 16-23.
#pragma once
#include "runtime/cell.h"

namespace zav::op {

inline u32 wrapped_type(const Cell* op) { return (op->header >> 16) & 0xFF; }

// Does the spec describe exactly two arguments, none of them literal on the left?
bool valid_spec_q(node_t spec);

Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::op
