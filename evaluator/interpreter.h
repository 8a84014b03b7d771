// The interpreter's entry points. Until the interpreter exists each raises
// internal/not-done, so datatypes can already name the calls they make.
#pragma once
#include "datatypes/cell.h"

namespace zav::interpreter {

// Evaluates every expression of a block; the last value is the frame result.
// chain: copy the result into the caller's result slot, else leave it pushed.
void eval(Cell* code, bool chain);
// One expression at the block's head; answers the new head index.
i32 do_next_index(Cell* code);
// Runs a function! whose arguments are already on the value stack.
void call_function(Cell* fn, node_t ctx, Cell* name, u32 trace_flags);
// Evaluates an interpreted function's body.
void exec_body(Cell* fn, Cell* body, Cell* name);
// Runs a routine! over the stack arguments.
void call_routine(Cell* routine);

// The block being evaluated, its head at the running expression (unset when
// nothing runs). Error values copy it into their `near` field.
Cell* current_code();

}  // namespace zav::interpreter
