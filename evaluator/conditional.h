// Reading an `either`, `if` or `unless` call without evaluating it, for
// the fast tier's conditionals taken before anything is pushed.
#pragma once
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "evaluator/interpreter_detail.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/natives.h"

namespace zav::interpreter {

// Whether `fn`, the native `either`, `if` or `unless` (entry `index`), is
// one conditional_native takes: the one it found last, without its record
// looked up, or its record says so.
[[gnu::always_inline]] inline bool conditional_known_q(const Cell* fn, u32 index) {
    return conditional_seen[index - natives::N_IF] == conditional_key(native::more_of(fn), collector::cycles) ||
           conditional_native(fn);
}

// `either cond [a] [b]`, `if cond [a]` or `unless cond [a]` (`fn`, its
// arguments from `pos` of `cells`, up to `tail`): the condition one simple
// expression (see simple_value), the branches literal blocks and no
// operator after the last. Reads the call without evaluating anything or
// pushing; false for any other shape (or any other native). `k` as for
// simple_value.
[[gnu::always_inline]] inline bool read_conditional(const Cell* fn, const Cell* cells, u32 pos, u32 tail,
                                                    Conditional* out, Known k = {}) {
    const u32 index = native::entry_of(fn);
    if (!conditional_index_q(index)) return false;
    if (!conditional_known_q(fn, index)) return false;
    const u32 blocks = index == natives::N_EITHER ? 2 : 1;
    u32 stop;
    u32 next = simple_value(cells, pos, tail, &out->cond, &stop, {}, k);
    if (!next || next + blocks > tail) return false;
    const Cell* b = cells + next;
    if (TYPE_OF(b) != TYPE_BLOCK || (blocks == 2 && TYPE_OF(b + 1) != TYPE_BLOCK)) return false;
    next += blocks;
    // An operator after the last block would take it as its left operand.
    if (operator_follows(cells, next, tail)) return false;
    out->blocks = b;
    out->count = blocks;
    // `unless` runs its branch where `if` would not.
    out->branch = logic::is_true(&out->cond) != (index == natives::N_UNLESS) ? b : blocks == 2 ? b + 1 : nullptr;
    out->next = next;
    return true;
}

}  // namespace zav::interpreter
