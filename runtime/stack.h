// The value stack (arguments and results) and the call-frame stack.
#pragma once
#include "runtime/cell.h"
#include "runtime/scope.h"

namespace zav {

// One call frame: five 32-bit words.
struct CallFrame {
    u32 header;       // symbol << 8 | kind bits (bits 24-27 kind, 28 body, 31 interpreted)
    off32 saved_args; // stack::arguments when the frame opened (the caller's region)
    node_t word_ctx;  // context of the word the frame runs under
    node_t fn_ctx;    // context of the called function (kind-1 frames)
    off32 saved_values;  // the function context's values pointer when the frame opened
};
static_assert(sizeof(CallFrame) == 20);

// Frame header bits.
constexpr u32 FRAME_KIND_MASK = 0x0F000000;
constexpr u32 FRAME_BODY = 0x10000000;
constexpr u32 FRAME_INTERPRETED = 0x80000000;
constexpr u32 FRAME_FUNCTION = 0x01000000;     // kind 1: the runtime calls a function value
constexpr u32 FRAME_CALL = 0x02000000;         // kind 2: native or action call
constexpr u32 FRAME_TRY = 0x04000000;          // kind 4: error guard
constexpr u32 FRAME_TRY_ALL = 0x05000000;      // kind 5: guard that also stops break, return...
constexpr u32 FRAME_CATCH = 0x06000000;        // kind 6: catch
constexpr u32 FRAME_EVAL = 0x07000000;         // kind 7: block evaluation
constexpr u32 FRAME_LOOP = 0x08000000;         // kind 8: loops

// The kinds themselves, as frame_kind answers them; a search for kind 0 stops
// at the nearest body frame instead.
enum FrameKind : u32 {
    FRAME_KIND_BODY = 0,
    FRAME_KIND_FUNCTION = FRAME_FUNCTION >> 24,
    FRAME_KIND_CALL = FRAME_CALL >> 24,
    FRAME_KIND_TRY = FRAME_TRY >> 24,
    FRAME_KIND_TRY_ALL = FRAME_TRY_ALL >> 24,
    FRAME_KIND_CATCH = FRAME_CATCH >> 24,
    FRAME_KIND_EVAL = FRAME_EVAL >> 24,
    FRAME_KIND_LOOP = FRAME_LOOP >> 24,
};

// Both stacks are fixed at start-up (their cursors are raw pointers) and
// sized together: a call takes at least one value cell and one frame.
// 320 KB of value cells: recursion some 9,000 calls deep before "stack
// overflow", which a runaway recursion reaches in a moment.
constexpr u32 ARG_STACK_CELLS = 20000;
constexpr u32 CALL_STACK_CELLS = 15000;  // the same bytes hold 12,000 frames of 20 bytes

namespace stack {

extern Cell* bottom;
extern Cell* arguments;
extern Cell* top;

// Puts the value stack top back on the way out of a scope.
struct TopGuard : Restore<Cell*> {
    TopGuard() : Restore<Cell*>(top) {}
};

extern Cell* end;
extern CallFrame* frame_base;
extern CallFrame* frame_top;
extern CallFrame* frame_end;

inline u32 frame_kind(const CallFrame* f) { return (f->header & FRAME_KIND_MASK) >> 24; }
inline u32 frame_symbol(const CallFrame* f) { return (f->header >> 8) & 0xFFFF; }

// Sets the stacks up over two fixed (never moving) cell buffers.
void init(node_t argument_block, node_t call_block);
// Makes both buffers and calls init.
void init_default();

void set_frame_top(CallFrame* frame);
// Raise internal/stack-overflow for a full value or frame stack.
[[noreturn]] void overflow();
// An evaluation begun while an exit is on its way back (see pending): a
// caller that went on after its callee ended in one. Ends the process with
// the runtime's assertion report.
[[noreturn]] void exit_overrun();
extern u32 pending;
// Opens a frame named by `word` (may be null) with the given kind bits.
[[gnu::always_inline]] inline void mark(const Cell* word, u32 kind_bits) {
    if (frame_top >= frame_end || pending) [[unlikely]] {
        if (pending) exit_overrun();
        overflow();
    }
    *frame_top = CallFrame{(word ? word->data2 & 0xFFFF : 0) << 8 | kind_bits, off_of(arguments),
                           word ? word->data1 : 0, 0, 0};
    frame_top++;
    arguments = top;
}
void mark_frame(const Cell* word, node_t fn_ctx);
[[gnu::always_inline]] inline void mark_call(const Cell* word) { mark(word, FRAME_CALL); }
[[gnu::always_inline]] inline void mark_kind4(const Cell* word) { mark(word, FRAME_TRY); }
[[gnu::always_inline]] inline void mark_kind5(const Cell* word) { mark(word, FRAME_TRY_ALL); }
[[gnu::always_inline]] inline void mark_kind6(const Cell* word) { mark(word, FRAME_CATCH); }
[[gnu::always_inline]] inline void mark_loop(const Cell* word) { mark(word, FRAME_LOOP); }
[[gnu::always_inline]] inline void mark_kind81(const Cell* word) { mark(word, FRAME_FUNCTION | FRAME_INTERPRETED); }
[[gnu::always_inline]] inline void mark_kind82(const Cell* word) { mark(word, FRAME_CALL | FRAME_INTERPRETED); }
[[gnu::always_inline]] inline void mark_kind87(const Cell* word) { mark(word, FRAME_EVAL | FRAME_INTERPRETED); }
void mark_kind10(bool flag);
void set_interpreted();
CallFrame* mark_exit_target();
void clear_exit_target(CallFrame* frame);
CallFrame* top_frame();
bool eval_q(CallFrame* frame, bool single);

// Values.
[[gnu::always_inline]] inline Cell* push_star() {
    Cell* c = top++;
    if (top >= end) overflow();
    // Unset, never stale: the collector may look at the slot before it is filled.
    *c = Cell{TYPE_UNSET, 0, 0, 0};
    return c;
}
[[gnu::always_inline]] inline Cell* push(const Cell* value) {
    Cell* c = push_star();
    *c = *value;
    return c;
}
void pop(u32 n);
inline void reset() { top = arguments; }
inline void keep() { top = arguments + 1; }
Cell* set_last(const Cell* value);
Cell* set_last_reset(const Cell* value);
void reset_keep_last();
Cell* get_top();
u32 top_type_q();

// Unwinding.
[[gnu::always_inline]] inline void unwind() {
    frame_top--;
    top = arguments + 1;
    arguments = at<Cell>(frame_top->saved_args);
}
void unwind_copy();
[[gnu::always_inline]] inline void unwind_last() {
    Cell* result = arguments;
    unwind();
    *arguments = *result;
}
void unwind_copy_last();
void unwind_reset();
void unwind_only();
void restore();
void unwind_frames(u32 kind, bool keep);
void unwind_to(u32 kind);
inline void unwind_to_loop(bool keep) { unwind_frames(FRAME_KIND_LOOP, keep); }

// Marks the contexts that the open call frames refer to (collector roots).
void mark_for_collector();

// The language's exits (break, continue, return, exit, throw). Each thrower
// unwinds the frame stack to its target, leaves the stacks as the target's
// region expects them and sets `pending` to its code; it then returns, and
// so does every C++ caller between it and the target, each checking
// `pending` as its callee returns and leaving the stacks alone. The target
// (a loop, a function body, a catch) takes the code and clears it. An
// error's exit (frames::throw_error, evaluator/frames.h) stays a C++ throw. A thrower
// that finds no target, or a kind-5 guard first, raises the throw-category
// error instead, pending in the same way.
void throw_break(bool with_value, bool continue_);
void throw_exit(bool with_value, bool at_top);
void throw_throw(u32 code);
// The frame a return or exit (`loop` false), or a break or continue (`loop`
// true), made at the frame top would end at; null, nothing changed, where
// its thrower would raise instead.
CallFrame* exit_target(bool loop);
// That exit made to `target` (from exit_target) by the evaluator without a
// frame of the exit's native (nothing pushed for it): the stacks cut back as
// its thrower leaves them, `value` (null: unset) the result, `code`
// (THROW_RETURN, THROW_EXIT, THROW_BREAK or THROW_CONTINUE) pending.
void exit_to(CallFrame* target, u32 code, const Cell* value);

// The code of the exit travelling back to its target (0: none).
extern u32 pending;
// For a caller that cannot return at once (code that calls back into the
// evaluator from deep inside its own work): the pending exit goes on as a
// C++ throw of its code, which the targets catch as well.
inline void throw_pending() {
    if (u32 code = pending) [[unlikely]] {
        pending = 0;
        throw Throw{code};
    }
}

// Where the latest language `throw` began (null when clear); names the error
// raised when no catch takes it.
extern CallFrame* throw_origin;

// The frame a `stack` field position (an integer!) stands for.
CallFrame* frame_at_position(const Cell* position);


}  // namespace stack
}  // namespace zav
