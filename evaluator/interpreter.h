// The interpreter: evaluates blocks of values at run time (words, set-words,
// paths, parens, operators and calls of natives, actions, functions and
// routines), and drives the optional tracer.
//
// Positions in code are cell indexes counted from the start of the block's
// buffer (like a series head), never raw pointers: the evaluated code may
// change or move while it runs. A position at or past the block's live tail
// ends the evaluation.
#pragma once
#include <cstddef>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/collector.h"

namespace zav::interpreter {

// Fetch modes of a parameter in the argument cache (header bits 20-21).
constexpr u32 FETCH_EVAL = 0;
constexpr u32 FETCH_GET = 0x100000;
constexpr u32 FETCH_LIT = 0x200000;
constexpr u32 FETCH_RETURN = 0x300000;
constexpr u32 FETCH_MASK = 0x300000;

// apply's modes of eval_code.
constexpr i32 MODE_APPLY_ALL = 1;   // /all: every argument positional, refinements as logic values
constexpr i32 MODE_APPLY = 2;       // refinements as refinement! values, each followed by its truth
constexpr i32 MODE_SAFER = 4;       // each argument is one single value

// Trace events.
enum Event : u32 {
    EVT_INIT = 1, EVT_END = 2, EVT_PROLOG = 4, EVT_EPILOG = 8, EVT_ENTER = 16, EVT_EXIT = 32, EVT_OPEN = 64,
    EVT_RETURN = 128, EVT_FETCH = 256, EVT_PUSH = 512, EVT_SET = 1024, EVT_CALL = 2048, EVT_ERROR = 4096,
    EVT_THROW = 8192, EVT_CATCH = 0x4000, EVT_EXPR = 0x8000, EVT_ALL = 0x1FFFF,
};

// reference_only (a field of the trace state, named by a reference; both
// defined below) forces the reference evaluator: every fast path
// (in-place operators, simple expressions, lean calls, the compiled-code
// fast entries) is bypassed, as while a tracer runs. Set at start-up from
// ZAV_REFERENCE_EVAL=1; tests and fuzzers may set it directly.
// Whether the fast paths may run now: no tracer delivering events and no
// reference_only.
inline bool fast_paths_on();

// Appends the tracer cell to the root block; the current code cell is unset.
void init();

// Evaluates every expression of a block; the last value is the frame result
// (unset for an empty block). chain: copy the result into the caller's
// result slot, else leave it as the last pushed value of the caller. For
// code outside the evaluator: an exit or error that the block ends with
// comes out as a C++ throw.
void eval(Cell* code, bool chain);
// The value of a paren holding one simple expression, as its evaluation
// would leave it (nothing in it can fail or be seen), into *out; false,
// having done nothing, for any other paren, and with the fast paths off.
bool simple_paren_value(const Cell* paren, Cell* out);
// eval for the evaluator's own natives, as every entry below: an exit or
// error that the block ends with is left pending (stack::pending), the
// stacks as its thrower left them, for the caller to check as it returns.
void evaluate(Cell* code, bool chain);
// A branch a native (a conditional, `switch`, `case`) chose over its open
// frame, its value left as evaluate(code, true) leaves it: one simple
// expression, or stores and an exit, or stores alone, without the branch's
// frame (nothing in them can fail or be seen), any other evaluated.
void evaluate_branch(Cell* code);
// evaluate(code, true) of a block the value stack holds (a guard's argument):
// one led by a call of a function by word makes it as a conditional's
// branch does, without the block's dispatch.
void evaluate_held(Cell* code);
// The expression at the head of `code`, where it is simple, taken as
// eval_next would take it without the frame it opens: its value in the
// result slot; answers the position after it, or 0 having done nothing.
u32 simple_next(const Cell* code);
// eval(code, false) for code run again and again for its effects (a parse
// action): its leading set-words that need no frames run before the
// block's frame opens, which code of nothing else never opens.
void eval_pushed(Cell* code);
// How one expression is evaluated: prefix, no operator look-ahead; sub, its
// value pushed (else it becomes the frame result); passive, a function
// value found literally is pushed, not called.
struct ExprMode {
    bool prefix = false;
    bool sub = false;
    bool passive = false;
};
// One expression from `pos`; answers the next position.
u32 eval_expression(Cell* code, u32 pos, u32 tail, ExprMode mode);
// One expression in its own frame named <body> (any, all, case).
u32 eval_next(Cell* code, u32 pos, u32 tail, bool sub);
// One expression at the block's head; answers the new head index (unchanged
// at the tail, the result then unset).
i32 do_next_index(Cell* code);
// How a function value was reached, for eval_code_at: the path that reached
// it (its refinements from item ref_item on), the word it was reached by, an
// object it runs in, apply's mode, and whether it is an operator's (its left
// operand is the frame's first value already).
struct CallSite {
    Cell* path = nullptr;
    u32 ref_item = 0;
    Cell* name = nullptr;
    Cell* owner = nullptr;
    i32 mode = 0;
    bool infix = false;
};
// Calls a function value found in code at `pos` - 1 (arguments from `pos`):
// its value pushed (sub) or made the frame result.
u32 eval_code_at(Cell* fn, Cell* code, u32 pos, u32 tail, bool sub, const CallSite& site);
// What a path evaluated at `pos` in code does: answer its value (a function
// reached through it is called), answer it without calling (GET), or store
// through it the running frame's first cell (SET: stack::arguments[0],
// which stays the result). The value is pushed (sub) or made the frame result.
enum class PathAccess { EVAL, GET, SET };
u32 eval_path_at(Cell* path, Cell* code, u32 pos, u32 tail, PathAccess access, bool sub, bool case_ = false);
// The argument cache of a function value (built on first use).
Cell* cache_path_spec(Cell* fn, Cell* out);

// Runs a function! whose arguments are already on the value stack.
void call_function(Cell* fn, node_t ctx, Cell* name, u32 trace_flags);
// Evaluates an interpreted function's body.
void exec_body(Cell* fn, Cell* body, Cell* name);
// Runs a routine! over the stack arguments.
void call_routine(Cell* routine);

// The block being evaluated, its head at the running expression (unset when
// nothing runs). Error values copy it into their `near` field.
Cell* current_code();

// Whether the running function was called by library code (compiled code)
// rather than by interpreted user code.
bool called_from_library();

// ---- tracing -------------------------------------------------------------------
// A do/trace tracer takes event, code, position, value, reference and frame.
constexpr u32 TRACER_ARITY = 6;
struct TraceState {
    bool active;     // started by do/trace
    bool enabled;    // events are delivered now
    bool reference;  // reference_only: beside `enabled`, so that fast_paths_on reads both at once
    u32 mask;        // events it wants
    bool suspended;  // `trace off` in the traced run: only init, end and [trace] bodies deliver
};
extern TraceState trace;
inline bool& reference_only = trace.reference;
// Asked many times per call: one load of both flags.
[[gnu::always_inline]] inline bool fast_paths_on() {
    static_assert(offsetof(TraceState, reference) == offsetof(TraceState, enabled) + 1);
    u16 both;
    std::memcpy(&both, &trace.enabled, sizeof both);
    return both == 0;
}
// The tracer function value (kept in the root block).
Cell* tracer();
// Appends the tracer cell to the root block, no trace running (init does it).
void init_tracer();
// Delivers an error raised while tracing as the tracer's `error` event, with
// the code position where it was raised.
void trace_error(const Cell* err);
u32 trace_event_mask(Cell* tracer_fn);
void fire_event(u32 event, Cell* code, i32 position, const Cell* reference, const Cell* value);
void fire_init();
void fire_end();
void fire_throw(const Cell* value);
void fire_catch(const Cell* value);
void fire_call(Cell* name, Cell* fn);
void fire_return(Cell* name, Cell* fn);
// `trace on` / `trace off` inside a traced run; nothing outside one.
void suspend_trace(bool off);

}  // namespace zav::interpreter
