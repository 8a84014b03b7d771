// Fast entries of compiled code for the commonest operations: integer and
// float arithmetic, integer comparisons, block picks and block queries. Each
// handles its common case inline, with no call frame, and otherwise falls
// back to the generic action inside a call frame named by `word`.
#pragma once
#include "runtime/cell.h"

namespace zav::actions {

// Math operators: 0 add, 1 subtract, 2 multiply, 5 or~, 6 and~, 7 xor~.
Cell* fast_math_op(i32 op, Cell* left, Cell* right, const Cell* word);
Cell* fast_math_op_int(i32 op, Cell* left, i32 right, const Cell* word);
// Left operand: the value just below the stack top, replaced in place.
Cell* fast_math_op_top(i32 op, Cell* right, const Cell* word);
Cell* fast_math_op_top_int(i32 op, i32 right, const Cell* word);

// Comparison operators 0-6 (equal ... greater or equal).
Cell* fast_compare_op(i32 op, Cell* left, Cell* right, const Cell* word);
Cell* fast_compare_op_int(i32 op, Cell* left, i32 right, const Cell* word);
Cell* fast_compare_op_top(i32 op, Cell* right, const Cell* word);
Cell* fast_compare_op_top_int(i32 op, i32 right, const Cell* word);
bool fast_compare_cond(i32 op, Cell* left, Cell* right, bool invert, const Cell* word);
bool fast_compare_cond_int(i32 op, Cell* left, i32 right, bool invert, const Cell* word);
bool fast_compare_cond_2(i32 op, Cell* left, Cell* right, const Cell* word);
bool fast_compare_cond_int_2(i32 op, Cell* left, i32 right, const Cell* word);

// value/index for a block (none outside 1..length).
Cell* fast_pick_block(Cell* value, i32 index, const Cell* word);
// Queries: 1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back, 7 head, 8 tail.
Cell* fast_series_query(Cell* value, i32 code, const Cell* word);

}  // namespace zav::actions
