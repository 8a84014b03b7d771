// What the datatypes call of the evaluator when they must run user code: an
// error or object spec block, an object's change handlers, a sort
// comparator, and the code position an error notes as `near`. The evaluator
// fills it in at start-up; datatypes never include its headers.
#pragma once
#include "runtime/cell.h"

namespace zav::user_code {

struct Evaluator {
    // Evaluates every expression of a block (as interpreter::eval).
    void (*eval)(Cell* code, bool chain);
    // Runs a function! whose arguments are already on the value stack.
    void (*call_function)(Cell* fn, node_t ctx, Cell* name, u32 trace_flags);
    // Calls fn with the `count` values from `pos` in args as its arguments,
    // each taken as one value; the result is pushed.
    void (*apply_values)(Cell* fn, Cell* args, u32 pos, u32 count, Cell* name);
    // The block being evaluated, its head at the running expression.
    Cell* (*current_code)();
    // eval with an error or exit the block ends with left pending
    // (stack::pending, as interpreter::evaluate leaves it), for a caller that
    // then returns at once: no C++ throw through it.
    void (*evaluate)(Cell* code, bool chain);
};

extern Evaluator evaluator;

}  // namespace zav::user_code
