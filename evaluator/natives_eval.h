// Workers behind the value and comparison natives that other parts of the
// evaluator call directly.
#pragma once
#include "runtime/cell.h"

namespace zav::natives {

// Composes a block into `into` (at the top level, with /into) or a new block;
// answers the target. Nested blocks compose into new blocks with `deep`.
// Null when a paren's exit or error went up pending (see evaluate): the
// caller returns at once.
Cell* compose_block(Cell* block, bool deep, bool only, Cell* into, bool top);

// Identity of two values (the `same?` native).
bool same_value_q(Cell* value1, Cell* value2);

// The greater (max? set) or lesser of argument cells 0 and 1, left in cell 0.
void max_min(bool max_q);

// Set operations: code 8 unique, 9 union, 10 intersect, 11 exclude,
// 12 difference; `case_ref` and `skip_ref` are the refinement positions.
void set_operation(i32 case_ref, i32 skip_ref, i32 op);

// Lets the lexer call transcode/trace callbacks (installed at start-up).
void install_lexer_tracer();

}  // namespace zav::natives
