// A recursive function decoded once: its body one `either` or `if` over a
// simple condition, each branch one simple expression, a paren of a call
// of the function itself with an operator over a second such call after it
// (`(f n - 1) + f n - 2`), or anything else. The fast tier runs the calls
// inside such a body from the plan, with the frames, stack cells, budget
// steps and order of evaluation that reading the code gives (see
// run_planned_body in interpreter.cpp), without reading the code again.
//
// The plan is checked against the code once, where a run starts from the
// other paths (plan_current: the cells it was read from, the words' values
// it relies on, no buffer moved nor collection run). Below that a run is
// pure as long as it only takes the plan's own steps: laying out arguments,
// number operators in place, choosing branches, opening and closing frames.
// None of them can change a block's cells or a word's value, allocate or
// run code, so the calls it makes need no check of their own. Every other
// step (a branch of another shape, a call the plan declines, an operator
// that is not done in place) is the other paths' own, after which the run
// goes on with them and the next run from them checks the plan again.
#pragma once
#include <cstring>

#include "evaluator/interpreter_fast.h"
#include "evaluator/loop_plan.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

namespace zav::interpreter {

// Where an operand is found at each call: a literal of the code (copied),
// an argument of the running function, or the slot of a word of a context
// that no call moves.
enum class PlanSource : u8 { LITERAL, ARGUMENT, SLOT };

struct PlanOperand {
    PlanSource source;
    u32 index;       // ARGUMENT
    const Cell* at;  // SLOT; LITERAL: `literal` (set once the plan is in place)
    Cell literal;    // LITERAL
};

inline constexpr u32 PLAN_SIMPLE_OPS = 3;
inline constexpr u32 PLAN_ARGS = 3;

// A simple value (see simple_value): its first operand and the number
// operators applied to it in place.
// A word after them (`stops`) ends the value while it holds no op.
struct PlanSimple {
    PlanOperand first;
    u8 ops;
    bool stops;
    struct {
        FastOp kind;
        PlanOperand right;
    } op[PLAN_SIMPLE_OPS];
    PlanOperand stop;
};

// A call of the planned function by word, its arguments simple.
struct PlanSite {
    Cell word;
    u32 next;  // the position after it in its code
    PlanSimple arg[PLAN_ARGS];
};

inline constexpr u32 PLAN_BODY_CELLS = 12;
inline constexpr u32 PLAN_BRANCH_CELLS = 12;
inline constexpr u32 PLAN_CHECKS = 16;

enum class PlanBranchKind : u8 { OTHER, SIMPLE, CALLS };

struct PlanBranch {
    PlanBranchKind kind;
    // SIMPLE and CALLS: the block's cells from its head, as read.
    const SeriesBuffer* buffer;
    u32 head, tail;
    Cell cells[PLAN_BRANCH_CELLS];
    PlanSimple value;  // SIMPLE
    // CALLS: the paren at the head and its call; the operator after it
    // (`op_word`, its native or action `op` as the operator call types it)
    // and the second call.
    Cell paren;
    const SeriesBuffer* paren_buffer;
    u32 paren_head, paren_tail;
    Cell paren_cells[PLAN_BRANCH_CELLS];
    PlanSite first;
    bool has_op;
    Cell op_word;
    Cell op;             // the op's function, typed as the native or action it wraps
    FastOp op_kind;
    u64 op_left, op_right;  // the types the operator's parameters take
    PlanSite second;
};

struct FnPlan {
    // The key, and what the plan's slots and copies are valid under.
    node_t more;
    u32 cycles;
    u64 epoch;
    bool ok;       // read; false: the function is not of a plan's shape
    u32 running;   // runs using it now: it is not read again meanwhile
    u32 tries;     // reads that found an operator without its call record yet
    node_t tries_more;  // of the function of that `more`
    bool library;  // in_library when read
    Cell fn;
    node_t ctx;
    u32 args;
    u64 type_bits[PLAN_ARGS];
    // The body: its value and cells from its head.
    Cell body;
    u32 body_head, body_tail;
    Cell body_cells[PLAN_BODY_CELLS];
    // The conditional: its word and native, the condition, its blocks.
    Cell cond_word;
    Cell cond_fn;
    PlanSimple cond;
    u8 blocks;  // 2 `either`, 1 `if`
    Cell block[2];
    PlanBranch branch[2];
    // Word slots whose values the plan was read under.
    u32 checks;
    struct {
        const Cell* slot;
        Cell value;
    } check[PLAN_CHECKS];
};

// All `n` compared at once (no branch per cell).
[[gnu::always_inline]] inline bool same_cells(const Cell* a, const Cell* b, u32 n) {
    u64 diff = 0;
    for (u32 i = 0; i < n; i++) {
        u64 a0, a1, b0, b1;
        std::memcpy(&a0, a + i, 8);
        std::memcpy(&a1, reinterpret_cast<const u8*>(a + i) + 8, 8);
        std::memcpy(&b0, b + i, 8);
        std::memcpy(&b1, reinterpret_cast<const u8*>(b + i) + 8, 8);
        diff |= (a0 ^ b0) | (a1 ^ b1);
    }
    return !diff;
}

// An operand's cell now; `a` the running function's arguments.
[[gnu::always_inline]] inline const Cell* plan_operand(const PlanOperand& o, const Cell* a) {
    return o.source == PlanSource::ARGUMENT ? a + o.index : o.at;
}

// The simple value into *out as simple_value makes it; false where
// simple_value would not make it.
[[gnu::always_inline]] inline bool plan_simple(const PlanSimple& s, const Cell* a, Cell* out) {
    const Cell* c = plan_operand(s.first, a);
    if (!plain_value_q(TYPE_OF(c))) return false;
    *out = *c;
    for (u32 i = 0; i < s.ops; i++)
        if (!fast_compute(s.op[i].kind, out, plan_operand(s.op[i].right, a))) return false;
    return !s.stops || TYPE_OF(plan_operand(s.stop, a)) != TYPE_OP;
}

// The plan of the function `fn` (its body `body`) where it holds now, read
// again where it does not; null where the function is not of a plan's
// shape. `library`: whether the running code is the library's. Checks the
// whole plan: a run from the other paths calls it once. A plan some run
// uses is never read again (null where it no longer holds).
const FnPlan* current_plan(const Cell* fn, const Cell* body, bool library);

}  // namespace zav::interpreter
