// Internals the interpreter's files share: small helpers over code blocks
// and the value stack, the shape bits of argument caches, and the steps one
// file calls in another.
#pragma once
#include <cstdlib>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "runtime/machine_stack.h"
#include "runtime/cell.h"
#include "runtime/rt.h"
#include "runtime/stack.h"

namespace zav::interpreter {

inline Cell* word_of(Cell* out, i32 sym) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFF); }

inline Cell body_word() {
    Cell w;
    word_of(&w, words::_body);
    return w;
}

inline bool function_type_q(u32 t) {
    return t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_NATIVE || t == TYPE_ACTION;
}

// Cells of a block value's buffer, re-read at every use (code may move).
inline Cell* code_at(const Cell* code, u32 pos) { return block::cells_of(block::buffer_of(code)) + pos; }
// Cells in a buffer of cells (a shift, where length() divides by the unit).
inline u32 cell_count(const SeriesBuffer* b) { return b->used_bytes() / sizeof(Cell); }
inline u32 live_tail(const Cell* code) { return cell_count(block::buffer_of(code)); }
// An argument cache's entries from its head, and how many: valid until
// something moves the buffer.
struct CacheEntries {
    const Cell* cells;
    u32 count;
};
inline CacheEntries cache_entries(node_t cache_node, u32 head) {
    SeriesBuffer* b = GET_BUFFER(cache_node);
    u32 n = cell_count(b);
    return {block::cells_of(b) + head, n > head ? n - head : 0};
}
inline u32 clamp_tail(const Cell* code, u32 tail) {
    u32 live = live_tail(code);
    return tail < live ? tail : live;
}

// A literal push: a new stack value (sub) or the frame result.
[[gnu::always_inline]] inline void push_value(const Cell* v, bool sub) {
    Cell c = *v;
    if (sub) {
        stack::push(&c);
    } else {
        stack::top = stack::arguments + 1;
        *stack::arguments = c;
    }
}

inline bool enabled() { return trace.enabled; }

// An exit (break, continue, return, exit, throw) on its way back to its
// target (see stack::pending): the caller returns at once, leaving the
// stacks as the thrower left them.
[[gnu::always_inline]] inline bool exiting() { return stack::pending != 0; }

// Runs f, C++ code that raises its errors by throwing (a native, a routine,
// a datatype's action): an error it throws goes on as a pending exit, which
// every caller here checks for as its callee returns. Caught as near the
// raise point as this, the unwinder crosses only f's own frames.
template <class F>
[[gnu::always_inline]] inline void errors_pending(F f) {
    try {
        f();
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        stack::pending = THROW_ERROR;
    }
}

// The shape of a call, worked out once from the argument cache and kept in
// the cache cell's third payload word (unused by blocks), so that the lean
// call paths need not walk the cache on every call.
constexpr u32 SHAPE_LEAN = 0x80000000;      // plain parameters evaluated or lit-word ones, at most LEAN_MAX_ARGS
constexpr u32 SHAPE_REF_LEAN = 0x40000000;  // the same for every refinement's parameters
constexpr u32 SHAPE_REFS = 0x20000000;      // has refinements
constexpr u32 SHAPE_ARGS_MASK = 0xF;        // plain parameters
constexpr u32 SHAPE_LOCALS_SHIFT = 4;       // function! locals, bits 4-19
constexpr u32 SHAPE_LIT_SHIFT = 20;         // bit 20 + i: plain parameter i is a lit-word one
constexpr u32 SHAPE_LIT_MASK = 0xFFu << SHAPE_LIT_SHIFT;
constexpr u32 LEAN_MAX_ARGS = 8;  // typesets kept on the C++ stack per call; more take the general path
constexpr u32 LEAN_MAX_LOCALS = 0xFFFF;

// The more block's argument cache cell (second cell), or null when the value has none.
Cell* cache_cell(const Cell* fn);
inline bool builtin_q(u32 t) { return t == TYPE_NATIVE || t == TYPE_ACTION; }

// Argument errors naming the call and the parameter, raised pending (see
// fire_pending): the caller returns at once, its callers seeing the exit.
Cell call_name(const Cell* name);
void expect_arg(const Cell* fn, const Cell* name, const Cell* value, u32 param);
void no_arg(const Cell* fn, const Cell* name, u32 param);

// A lit-word parameter's argument `v` (the cell at `pos` of `code`), pushed:
// a paren evaluated in a frame of its own, a get-word's or get-path's
// value, anything else as it is. Answers whether code ran for it.
bool push_literal_arg(Cell* v, Cell* code, u32 pos, u32 tail);
// The generic fetch of a call's arguments and refinements, refinements named
// from `ref_item` of the path on (arguments.cpp). With `site` (what named
// the call, while tracing) the tracer hears `call` once the arguments are in.
u32 eval_arguments_at(Cell* fn, Cell* code, u32 pos, u32 tail, Cell* path, u32 ref_item, Cell* name, i32 mode,
                      bool infix, const Cell* site = nullptr);

// ---- what the interpreter's files share (interpreter.cpp) ------------------------

// The block being evaluated, its head at the running expression.
extern Cell code_cell;

// Library code runs as compiled code: its blocks deliver no trace events and
// leave the current code cell (an error's `near`) at the user code that
// called in. User code that the library evaluates (a loop body, an attempt
// block) is traced again as it would be outside. Entered at every evaluation
// of a block; changes state only when crossing between the two.
extern bool in_library;
extern bool user_enabled;    // trace.enabled of the user code around the library code
extern bool caller_library;  // in_library where the running function was called

// Records, for the length of a function body, whether its caller was library code.
struct CallerScope {
    bool saved = caller_library;
    CallerScope() { caller_library = in_library; }
    ~CallerScope() { caller_library = saved; }
};

struct CodeScope {
    bool changed;
    bool saved_library, saved_enabled, saved_user;
    explicit CodeScope(const Cell* code) {
        changed = false;
        if (!block::any_block_q(TYPE_OF(code))) return;
        bool library = (block::buffer_of(code)->flags & SERIES_LIBRARY) != 0;
        changed = library != in_library;
        if (!changed) return;
        saved_library = in_library;
        saved_enabled = trace.enabled;
        saved_user = user_enabled;
        if (library) {
            user_enabled = trace.enabled;
            trace.enabled = false;
        } else {
            // A trace the library itself started (do/trace) stays on.
            trace.enabled = user_enabled || trace.enabled;
        }
        in_library = library;
    }
    ~CodeScope() {
        if (!changed) return;
        in_library = saved_library;
        trace.enabled = saved_enabled;
        user_enabled = saved_user;
    }
    CodeScope(const CodeScope&) = delete;
    CodeScope& operator=(const CodeScope&) = delete;
};

// Restores the current code cell on the way out, also when a throw passes.
struct CodeRestore {
    // Kept as bytes: a Cell copy is split into four words here (the head of
    // code_cell is written alone elsewhere), one 16-byte move each way is not.
    alignas(16) unsigned char saved[sizeof(Cell)];
    CodeRestore() { std::memcpy(saved, &code_cell, sizeof(Cell)); }
    ~CodeRestore() { std::memcpy(&code_cell, saved, sizeof(Cell)); }
};

// The expressions of a block from `pos` to `tail`, in the <body> frame eval
// opens for it, each value the frame result in turn; the code's library
// scope is in place.
void eval_rest_in_frame(Cell* code, u32 pos, u32 tail);

// Whether the next budget step would find the budget spent (and throw).
[[gnu::always_inline]] inline bool step_would_spend() { return budget::spent && budget::left <= 1; }
// Whether `n` budget steps can be taken without finding the budget spent.
[[gnu::always_inline]] inline bool steps_fit_q(u32 n) { return !budget::spent || budget::left > n; }

// Steps of the reference tier (interpreter.cpp).
// One expression of the running code pushed as a new value (an argument).
u32 eval_sub(Cell* code, u32 pos, u32 tail, bool prefix);
// eval_sub of an expression led by a word (`word`, at `pos`) that holds a
// function value (`fn`), `tail` within the code's live tail: the call, then
// the operators after its value, as eval_sub makes them.
u32 eval_word_arg(const Cell* word, const Cell* fn, Cell* code, u32 pos, u32 tail);
// The operators after an argument's value at `start` (from `next`), as
// eval_sub goes on after the expression's first value.
u32 arg_operators(Cell* start, Cell* code, u32 next, u32 tail);
// A conditional's branch that the lean call runs, as eval(code, true) runs
// it (see there for what it leaves out).
void run_block(const Cell* code);
// A branch the lean call's conditional chose, its call's steps taken: one
// of stores and an exit or of stores alone (see branch_exit, lean_call.cpp)
// made without the branch's frame, else run_block.
void run_branch(const Cell* code);
// A branch of stores and an exit, or of stores alone, made without its
// frame: see lean_call.cpp. False, having done nothing, for any other.
bool branch_exit(const Cell* branch, u32 steps, Cell* out);
// The value of a block (a branch or a body) that is one simple expression,
// or one conditional whose branch is (see read_conditional), evaluated
// inside `frames` frames that would open for it, without them; false for
// any other block. `room`: the caller made sure of CONDITIONAL_ROOM, which
// is more than the frames and operators ask.
bool read_simple_branch(const Cell* code, u32 frames, Cell* out, bool room = false);
[[gnu::always_inline]] inline bool simple_branch_value(const Cell* code, u32 frames, Cell* out, bool room = false) {
    // Only an odd count of cells can be one simple expression, and only a
    // block led by a word and ended by a block a conditional; a word alone
    // that calls (`break`, `exit`) is neither, nor is a block led by a
    // set-word: any such branch is turned away here, without the call.
    const SeriesBuffer* b = block::buffer_of(code);
    const u32 head = series_head(code);
    const u32 tail = cell_count(b);
    if (head >= tail) return false;
    const Cell* cells = block::cells_of(b);
    const u32 first = TYPE_OF(cells + head);
    if (first == TYPE_SET_WORD || first == TYPE_SET_PATH ||
        (!((tail - head) & 1) && !(first == TYPE_WORD && TYPE_OF(cells + tail - 1) == TYPE_BLOCK)))
        return false;
    if (tail - head == 1 && first == TYPE_WORD) {
        const Cell* v = context::peek_slot(cells + head);
        if (v && function_type_q(TYPE_OF(v))) return false;
    }
    return read_simple_branch(code, frames, out, room);
}
// A conditional's branch that is not simple, run as run_block runs it.
void enter_branch(const Cell* code);
// An `either`, `if` or `unless` call read without evaluating anything
// (arguments.cpp): its condition's value, its literal blocks in the code,
// the branch to run (null: none, `if` whose condition is false or `unless`
// whose condition is true) and the position after it.
struct Conditional {
    Cell cond;
    const Cell* blocks;
    const Cell* branch;
    u32 count;
    u32 next;
};
// Whether a native is `either`, `if` or `unless` whose parameters take every simple
// value, then blocks (a native made from a spec of its own may not), from
// its call record (arguments.cpp). See read_conditional (conditional.h).
bool conditional_native(const Cell* fn);
// An `either`, `if` or `unless` call by word at `pos` of `cells` (`fn` the native)
// whose branch is simple (see simple_branch_value), or `if` whose condition
// is false: its value into *out without the frames its call would open
// (nothing in it can fail or be seen), where they could be opened. Answers
// the position after it, or 0 having done nothing (arguments.cpp). A
// branch of stores and an exit (see branch_exit there) makes its exit
// instead (pending, *out not set): the caller is a run whose frame is not
// open, and the conditional's expression's and call's steps are taken. A
// branch of stores alone makes them, its value the last one stored.
u32 frameless_conditional(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out);
// A native's or action's entry over the open frame's arguments, no
// refinement used.
void call_builtin_plain(u32 type, u32 index);
// A native's (type native!) or action's entry over the open frame's
// arguments with its refinement slots: an error it raises goes on from here
// as a pending exit (see stack::pending), not as a C++ throw through the
// evaluator's frames, which then cost it no more than the other exits.
// `tried`: as for actions::call_generic.
void call_builtin(u32 type, u32 index, const i32* refs, bool tried = false);
// Whether a native's entry index is a conditional's: `if`, `unless` or
// `either` (consecutive), each a condition then its branches.
static_assert(natives::N_UNLESS == natives::N_IF + 1 && natives::N_EITHER == natives::N_IF + 2);
[[gnu::always_inline]] inline bool conditional_index_q(u32 index) { return index - natives::N_IF <= 2; }
// The `if`, `unless` and `either` (by entry index from `if`'s) that
// conditional_native last found to be such, as their call records knew
// them: valid for a native of the same
// companion node while no collection has run (see read_conditional). One
// key of both, compared at once: the collections run in the high half, the
// companion node (never 0 in a record, nor all ones) in the low.
inline u64 conditional_key(node_t more, u32 cycles) { return u64{cycles} << 32 | more; }
extern u64 conditional_seen[3];
// A block read as one `either`, `if` or `unless` call (see read_conditional), with
// the word and the native it calls.
struct BlockConditional {
    Conditional call;
    Cell word;
    Cell fn;
};
// What a branch or body is to its runner: one simple expression, or one
// conditional whose branch is (SIMPLE, both run without their frames), a
// conditional of another branch (CONDITIONAL), any other block (OTHER);
// UNREAD, not looked at yet. REST: a function body whose leading guard was
// read and not taken, run in its frame from the statement after it (the
// position in its BlockConditional's call.next). CALL: a function body of
// one call by word, run in its frame without the body's expression
// dispatch. NESTED: CONDITIONAL whose branch a decoded body says is a call
// with a call of a function! as its first argument, which read_word_call
// would decline: made by the lean call without that read.
enum class BlockShape { UNREAD, OTHER, SIMPLE, CONDITIONAL, NESTED, REST, CALL };
// The arguments a function body is read over: the function's context
// (NO_CONTEXT where its values are not on the stack) and its values. Words
// of the context are read from `values` directly; only a read through
// context::peek_slot (a paren's operands, the cells read when no decoded
// form says it) needs the context pointing at them: `frame` (the
// context's cell, null where it points there already) is pointed at them
// for such a read, and back after.
constexpr node_t NO_CONTEXT = ~node_t{0};
struct BodyArgs {
    node_t ctx;
    const Cell* values;
    Cell* frame = nullptr;
};
struct CallRecord;
// An untraced function body over the arguments of the open frame; `read`
// what read_body answered for it (a body it read as SIMPLE is not run).
void run_body(const Cell* fn, const Cell* body, BlockShape read = BlockShape::UNREAD, BlockConditional* bc = nullptr);
// Frames and cells a conditional taken without its frames must have room
// for: its own frame, its native and arguments and its branch's frame, and
// what its condition's paren operands would open. Nearer the end of either
// stack the generic path runs, and raises the overflow where it must.
constexpr u32 CONDITIONAL_ROOM = 16;
// After a callee by `name` in `code` ran: its frame closed, its value where
// the expression's value goes (pushed over the callee, or the caller's frame
// result; an operator's callee is not on the stack).
[[gnu::always_inline]] inline void call_return(Cell* code, u32 pos, Cell* name, bool sub, bool infix) {
    if (sub) stack::unwind();
    else stack::unwind_last();
    if (enabled()) fire_event(EVT_RETURN, code, static_cast<i32>(pos), name, stack::get_top());
    if (!infix) {
        stack::top--;
        copy_cell(stack::top, stack::top - 1);
    }
}
// The call read_conditional read (`fn` by `name`, in `code`), its branch not
// simple, as the lean call makes it: its frame opened over the values read,
// the branch run in it by `enter` (enter_branch, or its inline form where
// the caller is in the same file). Answers the position after the call.
template <class Enter>
[[gnu::always_inline]] inline u32 conditional_frame(Cell* fn, Cell* name, Cell* code, bool sub, const Conditional& c,
                                                    Enter enter) {
    machine_stack::check();
    budget::step();
    stack::push(fn);
    stack::mark_kind82(name);
    Cell* a = stack::top;
    a[0] = c.cond;
    a[1] = c.blocks[0];
    if (c.count == 2) a[2] = c.blocks[1];
    stack::top = a + 1 + c.count;
    enter(a + (c.branch - c.blocks) + 1);
    if (exiting()) [[unlikely]] return c.next;
    call_return(code, c.next, name, sub, false);
    return c.next;
}

// A call of a function by word at `pos` of `cells` (up to `tail`) read as
// frameless_function_call reads it, with room for `frames` more frames
// opened first: its arguments laid out above the function value's slot at
// stack::top (the top left above them), its body read over them. What
// read_body answered, the call's parts in *out; UNREAD, having changed
// nothing, for any other call. `fn`: the word's value where the caller
// looked it up already (null: not yet).
struct WordCall {
    Cell fn;
    Cell word;
    Cell body;
    BlockConditional bc;
    Cell value;  // SIMPLE: the call's value
    u32 next;    // the position after the call
};
BlockShape read_word_call(const Cell* cells, u32 pos, u32 tail, u32 frames, WordCall* out, const Cell* fn = nullptr);
// The value of a call at `pos` of `cells` (up to `tail`, within their
// count) of the function `fn` (the value of the word there), with any
// number operators after it that infix_simple does, where nothing in it
// can fail or be seen: its arguments laid and its body read over them as
// frameless_function_call reads them, a body that needs no frames there
// (SIMPLE) and is no guard (whose reading takes steps), with room for the
// frames the generic path opens around it, `lead` cells above the top
// before the function value (in `lead` frames more: 0 or 1). Its value into *out;
// answers the position after it, or 0 for any other call, *unseen set where
// the function was never called yet (its first call makes what is read
// here). Either way nothing has changed and no step is taken: the caller
// takes the steps of the call and of the expressions around it (see
// steps_fit_q).
u32 frameless_call_value(const Cell* fn, const Cell* cells, u32 pos, u32 tail, u32 lead, Cell* out, bool* unseen);
// An operator's right operand at `pos` of the code's `cells` as they are
// now, up to `tail` (within their count), and its value, a function.
struct Operand {
    const Cell* cells;
    u32 pos;
    u32 tail;
    const Cell* value;
};

// An operator of two plain parameters that fast_compute does (`fn` the
// native or action it wraps, `name` its word) whose right operand (a word
// holding a function) is a call read as read_word_call reads it, its left
// operand a number at stack::top. A call that needs no frames leaves its
// value to the operator in place, without the operator's and the call's
// frames; any other runs in them, as the lean call opens them, without the
// operand's expression dispatch. Answers the position after the operand,
// or 0 having changed nothing.
u32 operator_word_call(Cell* fn, Cell* name, Cell* code, const Operand& operand, bool sub);

// The lean call (arguments.cpp): a function!, native! or action! whose
// parameters are all evaluated ones, through its call record; false, having
// done nothing, for any other call. By word; by path (`sub`: its value
// pushed), its refinements named from item `ref_item` on; as an operator
// (a native or action only), its left operand at the stack top.
bool lean_word_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub);
// lean_word_call of a function! whose call read_word_call declined (as the
// frame's result), less the reading that would decline again.
bool lean_unread_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail);
bool lean_path_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, const Cell* path, u32 ref_item);
bool lean_op_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub);
// `append series value` by word at `pos` (`fn` its action, append's entry) where
// nothing in the call can fail, allocate or be seen: a block! and a value
// that is no block, or a string! and a char! it holds, both simple (see
// simple_value) with room at the series' tail and the stacks far from their
// ends. The value goes where the call's frame would leave it, into *out,
// with the call's own budget step taken; the caller takes the expression's.
// Answers the position after the call, or 0 having done nothing; then
// *retry tells whether the same call may be taken another time (its
// arguments were simple: only room or the values' types turned it away).
// The value may be a call of a function that needs no frames (`append out
// f x`, see frameless_call_value), with the steps of that value's
// expression and call too: *called is then set. *retry is set also where
// such a call was turned away because its function was never called yet.
u32 frameless_append(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, bool* retry, bool* called);
// The types append's two parameters take (bit t for type id t), which a
// loop body's decoded appends keep; false when `fn`'s call record is not of
// append's shape.
struct AppendTypes {
    u64 series, value;
};
bool append_types(const Cell* fn, AppendTypes* types);

// A statement calling a native or action by word (`fn`, named by `name`),
// no refinement named, its `args` arguments made already from stack::top +
// 1 on, of their parameters' types, the call ending at `next` of `code`:
// its expression's and call's steps taken, its frame opened over them and
// its entry run as the lean call runs them, its value left where the lean
// call leaves a statement's. `shape`: its call record's. The caller made
// sure of room on both stacks (laid_call_room_q).
void laid_builtin_call(Cell* fn, Cell* name, Cell* code, u32 next, u32 args, u32 shape);
// The same call (`rec` its call record) with only its first `laid`
// arguments made, the rest read from `pos` of `code` in its frame as the
// lean call reads them. Answers the position after the call.
u32 laid_builtin_call_rest(Cell* fn, Cell* name, Cell* code, u32 pos, u32 tail, u32 laid, const CallRecord* rec);
[[gnu::always_inline]] inline bool laid_call_room_q(u32 args) {
    return stack::top + 1 + args + CONDITIONAL_ROOM < stack::end &&
           stack::frame_top + 1 + CONDITIONAL_ROOM <= stack::frame_end;
}

// A set-word's value that is a call of a native or action by word (`fn`,
// named by `fn_word`), no refinement named, made with the frames the
// generic path opens: the set-word's, over a number operator (`op`, its
// value `opfn` named by `op_word`, taking `left`) the operator's, then the
// callee's.
struct SetCall {
    const Cell* set_word;
    const Cell* fn;
    const Cell* fn_word;
    bool op = false;
    const Cell* left;
    const Cell* op_word;
    Cell opfn;
    u64 right_types;  // the operator's right operand's
};
// Whether the operator `op_value` (an op! value) is called as laid_set_call
// calls it over `left`: of two plain parameters, the first taking `left`.
// Sets the SetCall's `opfn` and `right_types`.
bool set_call_operator(const Cell* op_value, const Cell* left, SetCall* c);
// The call, its first `laid` arguments made already where its frame takes
// them (stack::top + 2 on, + 3 over an operator), of their parameters'
// types (`rec` the callee's record), the rest read from `code` at `pos` as
// the lean call reads them:
// the frames opened at once with the steps of its value's expression and
// call, the entry run, the call's value (the operator's over it) left
// above the set-word in its frame, which set_word_framed_end closes.
// Answers the position after the call. The caller made sure of room on
// both stacks (laid_set_room_q) and of the budget's.
u32 laid_set_call(const SetCall& c, const CallRecord* rec, Cell* code, u32 pos, u32 tail, u32 laid);
[[gnu::always_inline]] inline bool laid_set_room_q(bool op, u32 args) {
    return stack::top + (op ? 3 : 2) + args + CONDITIONAL_ROOM < stack::end &&
           stack::frame_top + (op ? 3 : 2) + CONDITIONAL_ROOM <= stack::frame_end;
}
// After laid_set_call (or set_word_operator_call's framed call) of the
// set-word `w` at `pos`: the operators after the value, then the store and
// the set-word's frame closed, as eval_set_word ends.
u32 set_word_framed_end(Cell w, Cell* code, u32 pos, u32 next, u32 tail, bool sub);

}  // namespace zav::interpreter
