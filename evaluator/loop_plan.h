// A loop body's simple expressions decoded once: a plan of what
// LoopBody::run_lean finds in them (the set-words' slots, the operands'
// cells and slots, the operators, a paren operand of one simple value),
// run again from the plan while nothing it was read from has changed. Only
// the fast tier uses it.
//
// A plan is run only when the body is the block it was read from, no
// buffer has moved, node been freed, nor the body or a paren of it been
// written since (memory::buffer_epoch: the blocks a plan reads are marked
// SERIES_DECODED) and the stacks are where they were, so every word's slot
// and every room check is what run_lean would find. What a run itself can change is looked at again
// at each run: the values in the slots (a plain value where one is needed,
// the same operator or action where one was), the body's length, the budget
// and the machine stack. An expression whose checks fail has done nothing:
// run_lean goes on from it.
#pragma once
#include <cstring>

#include "evaluator/interpreter_fast.h"
#include "runtime/budget.h"
#include "runtime/memory.h"

namespace zav::interpreter {

// Bodies longer than this (with their parens' cells) are run by run_lean alone.
inline constexpr u32 PLAN_CELLS = 24;
inline constexpr u32 PLAN_EXPRS = 8;
inline constexpr u32 PLAN_OPS = 10;
inline constexpr u32 PLAN_PARENS = 2;
// The branches of `if`s read with a plan: each of up to BRANCH_SETS stores
// and an exit, in BRANCH_CELLS cells.
inline constexpr u32 PLAN_BRANCHES = 2;
inline constexpr u32 BRANCH_SETS = 3;
inline constexpr u32 BRANCH_CELLS = 8;
// The `any` and `all` blocks of `if` conditions: up to COND_VALUES simple
// values each, in COND_CELLS cells.
inline constexpr u32 PLAN_CONDS = 2;
inline constexpr u32 COND_VALUES = 4;
inline constexpr u32 COND_CELLS = 12;
inline constexpr u32 PLAN_COPY = PLAN_CELLS + PLAN_BRANCHES * BRANCH_CELLS + PLAN_CONDS * COND_CELLS;
// Calls of natives and actions read with a plan, and their arguments.
inline constexpr u32 PLAN_CALLS = 2;
inline constexpr u32 CALL_ARGS = 4;

struct PlanParen;

// An operator applied in place: its word's slot holds `op`, its right
// operand is `right` (a literal of the body or a word's slot; for a field,
// see PlanValue) or, where `paren` is set, that paren's value.
struct PlanOp {
    const Cell* slot;
    const Cell* right;
    const PlanParen* paren;
    Cell op;
    FastOp kind;
    const Cell* path;
};

// The `first` or `right` of an object's field read through a path of the
// body (`path`), read again at each run (see object_field): the object its
// head word holds may be another at every pass. An unset cell, which no
// run takes as it is: only where that is refused is `path` looked at, so
// that the other values pay nothing for fields.
inline const Cell field_operand{TYPE_UNSET, 0, 0, 0};

struct PlanConds;

// An unset cell as the `first` of an `if` condition's `any` or `all` (see
// PlanConds, `conds`), which plan_value looks for only where `first` is
// refused, as it does for a field.
inline const Cell conds_operand{TYPE_UNSET, 0, 0, 0};

// A simple value (see simple_value): `first` (a literal of the body or a
// word's slot) and the operators [op, end) of the plan's. `after`: the slot
// of the word that ended it, which must hold no operator (else the value
// would go on), or null. `path`: for a field (see field_operand); `conds`
// for an `if` condition's `any` or `all` (see conds_operand).
struct PlanValue {
    const Cell* first;
    const Cell* after;
    const PlanOp* op;
    const PlanOp* end;
    union {
        const Cell* path;
        const PlanConds* conds;
    };
};

// A paren operand of one simple value, as paren_operand takes it: its
// cells [head, tail) of `buffer` (a copy of them in the plan's `copy` from
// `copy_at`), its value with operators of its own and no paren in it.
struct PlanParen {
    const SeriesBuffer* buffer;
    u32 head, tail;
    u32 copy_at;
    PlanValue value;
    u8 ops;
    PlanOp op[PLAN_OPS];
};

// The branch of a plan's `if`, as branch_exit (lean_call.cpp) makes one
// without its frame: set-words of simple values, none reading a slot one
// before it stores (every value is made before the first store), then
// `break`, `continue`, `exit`, `return` of a simple value (`result`, reading
// none of the slots stored either) or nothing (the branch's value then the
// last one stored). Its cells [head, tail) of `buffer` (a copy of them in
// the plan's `copy` from `copy_at`).
struct PlanBranch {
    const SeriesBuffer* buffer;
    u32 head, tail;
    u32 copy_at;
    u32 exit;             // THROW_BREAK, THROW_CONTINUE, THROW_EXIT, THROW_RETURN, or 0 for none
    u32 steps;            // budget steps of its expressions (and its exit's call)
    const Cell* exit_fn;  // the slot of the exit's word, holding `exit_native`
    Cell exit_native;
    u8 sets;
    Cell* slot[BRANCH_SETS];
    PlanValue value[BRANCH_SETS];
    PlanValue result;
};

// The condition of a plan's `if` that is `any` or `all` (`all`) of a
// literal block of simple values (as simple_any_all reads it): the slot
// of its word, holding `native`, and the block's cells [head, tail) of
// `buffer` (a copy of them in the plan's `copy` from `copy_at`).
struct PlanConds {
    const SeriesBuffer* buffer;
    u32 head, tail;
    u32 copy_at;
    const Cell* fn;
    Cell native;
    bool all;
    bool parens;  // a value holds a paren
    u8 count;
    PlanValue value[COND_VALUES];
};

// A statement calling a native or action by word (`put m k v`, `remove
// b`), no refinement named, every argument a simple value: `fn` the slot of
// its word (`word`), holding `native`, whose call takes `args` arguments
// and no lit-word. The plan stops at it; it is made in the body's frame
// (plan_rest_in_frame), with its first `laid` arguments made from the
// plan's values, the rest (from `rest`, the first one not a simple value:
// a call, ...) read in its frame as the lean call reads them; where they
// end elsewhere than at `next` (as the words were when read), the run goes
// on from there without the plan.
// The same call may be a set-word's value (`set`), directly (`n: select m
// k`) or as the right operand of a number operator (`op` the slot of its
// word, holding `op_value`) over the simple value `left` (`s: s + select m
// k`): it is then made as laid_set_call makes it.
struct PlanCall {
    const Cell* fn;
    Cell native;
    Cell word;
    u32 args;
    u32 laid;
    u32 rest;
    u32 next;  // the position after it
    bool set;
    Cell set_word;
    const Cell* op;
    Cell op_value, op_word;
    PlanValue left;
    PlanValue arg[CALL_ARGS];
};

// PAREN_*: the same, with a paren operand in it. CALL: see PlanCall.
// SET_FIELD: a set-path of an object's field, stored as store_object_field
// stores it. IF: `if` whose condition is a simple value; a run stops at it
// where the branch must run, unless the branch was read with it (`branch`).
enum class PlanKind : u8 { VALUE, SET, APPEND, IF, CALL, PAREN_VALUE, PAREN_SET, PAREN_APPEND, SET_FIELD };

struct PlanExpr {
    PlanKind kind;
    u32 pos;          // its first cell
    u32 steps_before; // budget steps of the expressions before it
    Cell* slot;       // SET: the set-word's plain slot
    const Cell* fn;   // APPEND, IF: the slot of the native's word, holding `action`
    Cell action;
    const Cell* after;  // IF: the slot of the word after its block (null: none), holding no operator
    union {
        const PlanBranch* branch;  // IF: its branch, where it was read
        const PlanCall* call;      // CALL
        const Cell* path;          // SET_FIELD: the set-path
    };
    AppendTypes types;
    PlanValue a, b;   // the value; APPEND: the series (a) and the value (b)
};

struct LoopPlan {
    node_t node;     // the body's (reading it again is only for another body)
    bool ready;      // read and not known stale
    bool fresh;      // ready, and the last run was simple from its head to its tail
    bool seen;       // a run was simple from its head to its tail once
    bool refused;    // the body holds what a plan does not take
    bool busy;       // held by a running loop
    bool library;    // read in library code (its parens are too)
    bool call_room;  // room for a number operator's native called by word (see read_prefix_call)
    u64 epoch;
    const Cell* cells;
    u32 head, tail;
    Cell* base;
    CallFrame* frame_top;
    CallFrame* frame_end;
    Cell* end;
    u32 steps;       // budget steps of a whole run
    u32 branch_steps;  // and of every branch read, at most
    u8 exprs, ops, parens, branches, conds, calls;
    u32 cells_read;  // of `copy`: the body's, then its parens' and branches'
    PlanExpr expr[PLAN_EXPRS];
    PlanOp op[PLAN_OPS];
    PlanParen paren[PLAN_PARENS];
    PlanBranch branch[PLAN_BRANCHES];
    PlanConds cond[PLAN_CONDS];
    PlanCall call[PLAN_CALLS];
#ifdef ZAV_STAMP_CHECK
    Cell copy[PLAN_COPY];  // the cells it was read from
#endif
};

// Reads the body's cells [head, tail) of `body` into a plan, with the
// stacks as they are for a run from `base` (the body's frame end lowered as
// run_lean has it), in code of the library or not (`library`, as the
// body's); false when it holds what a plan does not take.
bool read_plan(LoopPlan& p, SeriesBuffer* body, u32 head, u32 tail, Cell* base, bool library);

// Whether the value of the set-word (or the arguments of the call) at
// `pos` of `cells` may hold a call a plan takes (a word holding a native
// or action among its first cells).
bool set_call_q(const Cell* cells, u32 pos, u32 tail);

#ifdef ZAV_STAMP_CHECK
// Aborts where the plan's blocks no longer hold what it was read from.
void check_plan_cells(const LoopPlan& p);
#endif

[[gnu::always_inline]] inline bool same_cell(const Cell* a, const Cell* b) {
    u64 a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&a1, reinterpret_cast<const u8*>(a) + 8, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&b1, reinterpret_cast<const u8*>(b) + 8, 8);
    return !((a0 ^ b0) | (a1 ^ b1));
}

// Whether the plan may run over the body's cells [head, tail) from `base`.
[[gnu::always_inline]] inline bool plan_current(const LoopPlan& p, const Cell* cells, u32 head, u32 tail,
                                                const Cell* base) {
    if (!p.ready || p.epoch != memory::buffer_epoch || p.cells != cells || p.head != head || p.tail != tail ||
        p.base != base || p.frame_top != stack::frame_top || p.frame_end != stack::frame_end || p.end != stack::end)
        return false;
#ifdef ZAV_STAMP_CHECK
    check_plan_cells(p);
#endif
    return true;
}

// The same for a quiet run: the plan was fresh and since the last run only
// plain stores to loop words were made (no code ran), so the stacks are as
// that run left them.
[[gnu::always_inline]] inline bool plan_quiet_q(const LoopPlan& p, u32 tail, const Cell* base) {
    if (p.epoch != memory::buffer_epoch || p.tail != tail || p.base != base) return false;
#ifdef ZAV_STAMP_CHECK
    check_plan_cells(p);
#endif
    return true;
}

// Set in run_plan's answer where it stopped at an `if` whose branch must
// run: the plan holds, and goes on after the branch (run_plan_after). With
// the tail: a branch read with the plan exited (pending).
inline constexpr u32 PLAN_TAKEN = 1u << 31;
// Set where it stopped at a call (PlanCall): the plan holds, and goes on
// after the call, which needs the body's frame (plan_rest_in_frame).
inline constexpr u32 PLAN_CALL = 1u << 30;

// Runs the plan from `base` (the loop frame's empty region); answers the
// position reached: the tail when every expression ran, else the first cell
// of the one that could not, nothing of which has been done (PLAN_TAKEN
// added for an `if` whose branch must run).
u32 run_plan(const LoopPlan& p, Cell* base);
// The same from the expression after the plan's `if` at `pos`, whose branch
// ran.
u32 run_plan_after(const LoopPlan& p, Cell* base, u32 pos);

// A loop's step to its next run, made between the runs of run_plan_walk:
// foreach's one word over a block (EACH), loop's count (TIMES), repeat's
// count and word (COUNTED), while's condition (WHILE: the run of `cond`, a
// plan of one value, fresh from the run before the walk's first), until's
// test of the run's value (UNTIL). It stores only the loop's own values,
// into the word's plain slot, which stays where it is while only plans run
// (they allocate nothing).
struct PlanStep {
    enum Kind : u8 { EACH, TIMES, COUNTED, WHILE, UNTIL } kind;
    i32 left;  // TIMES, COUNTED: the runs left, the one running counted
    union {
        Cell* series;           // EACH: the walk's series (its head the position)
        const LoopPlan* cond;   // WHILE
    };
    const Cell* word;  // EACH, COUNTED
    Cell* counter;     // COUNTED: the integer! the word is set to
};

// Whether `cond`, a while condition's plan, can be while's step in
// run_plan_walk: read, of one value, whose plan stops (when it does) having
// done nothing.
bool while_step_q(const LoopPlan& cond);

// run_plan_walk's answers besides run_plan's: the plan is no longer
// current (nothing of the run stepped to was done), the loop is over, the
// run was made whole but the step is the loop's own to make (while's
// condition whose plan declined, until's value that is not a plain answer:
// the run's value left at the base).
inline constexpr u32 WALK_STALE = 0xFFFFFFFFu;
inline constexpr u32 WALK_DONE = 0xFFFFFFFEu;
inline constexpr u32 WALK_STEP = 0xFFFFFFFDu;
struct PlanWalk {
    u32 pos;
    i32 steps;  // the steps to a next run made
};

// Quiet runs of a fresh plan from `base` (see plan_quiet_q), each with its
// budget step, while each takes the run whole, each followed by the
// loop's step. Answers where a run's plan stopped (as run_plan: the plan
// is then no longer fresh), WALK_STALE or WALK_DONE.
PlanWalk run_plan_walk(LoopPlan& p, Cell* base, PlanStep step);
// The same for while and until (their steps may answer WALK_STEP).
PlanWalk run_plan_test_walk(LoopPlan& p, Cell* base, PlanStep step);

// The rest of a run from the plan's call at `pos` (where run_plan stopped,
// PLAN_CALL taken off), in the body's frame opened at `base` over `code`
// (the body, up to `tail`): the call made from the plan, then the plan run
// on after it while it stays current, each value the frame result; where
// either declines, the rest runs as eval runs it (eval_rest_in_frame).
void plan_rest_in_frame(const LoopPlan& p, Cell* code, u32 pos, u32 tail, Cell* base);

}  // namespace zav::interpreter
