// The value stack and the call-frame stack.
#include "runtime/scope.h"
#include "runtime/stack.h"

#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/machine_stack.h"
#include "runtime/memory.h"
#include "runtime/rt.h"

namespace zav::stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top = nullptr;
Cell* end = nullptr;
CallFrame* frame_base = nullptr;
CallFrame* frame_top = nullptr;
CallFrame* frame_end = nullptr;
CallFrame* throw_origin = nullptr;
u32 pending = 0;

namespace {

// The values pointer of a function context lives in the second payload word of its context! cell.
u32& ctx_values(node_t ctx) { return reinterpret_cast<Cell*>(GET_BUFFER(ctx)->head())->data2; }

// Frames name their word by symbol; a word cell gives its symbol and context.
u32 word_symbol_of(const Cell* word) { return word ? word->data2 & 0xFFFF : 0; }
node_t word_ctx_of(const Cell* word) { return word ? word->data1 : 0; }

void restore_values(CallFrame* f) {
    if (f->fn_ctx) ctx_values(f->fn_ctx) = f->saved_values;
}

Cell* cell_at(off32 o) { return at<Cell>(o); }

}  // namespace

namespace {

// Cells past `end` that only the error of a full value stack may use.
constexpr u32 RESERVE_CELLS = 64;
Cell* hard_end = nullptr;

// Raises internal/stack-overflow. The error is built on the value stack: a
// full one steps back over the innermost frame's own cells (the error
// abandons them; the cells of outer frames, such as a pending set-word, stay
// intact) and lends its reserve until the error is thrown.
[[noreturn]] void raise_overflow() {
    if (top + 5 > end) {
        Cell* room = top - 5 < arguments ? arguments : top - 5;
        if (room < top) top = room;
    }
    Restore<Cell*> restore(end);
    if (hard_end > end) end = hard_end;
    if (machine_stack::before_overflow) machine_stack::before_overflow();
    fire("internal", "stack-overflow");
}

}  // namespace

void overflow() { raise_overflow(); }

void exit_overrun() { rt::quit(rt::RT_ERR_ASSERTION, rt::code_address()); }

void init(node_t argument_block, node_t call_block) {
    machine_stack::init();
    machine_stack::set_raise(raise_overflow);
    throw_origin = nullptr;
    pending = 0;
    SeriesBuffer* a = GET_BUFFER(argument_block);
    SeriesBuffer* c = GET_BUFFER(call_block);
    bottom = arguments = top = reinterpret_cast<Cell*>(a->data());
    hard_end = end = reinterpret_cast<Cell*>(a->data() + a->size);
    if (end - bottom > 4 * RESERVE_CELLS) end -= RESERVE_CELLS;
    frame_base = frame_top = reinterpret_cast<CallFrame*>(c->data());
    frame_end = reinterpret_cast<CallFrame*>(c->data() + (c->size / sizeof(CallFrame)) * sizeof(CallFrame));
}

void init_default() {
    // Fixed buffers: the cursors are raw pointers, so the stacks never move.
    init(alloc_fixed_buffer(ARG_STACK_CELLS, 16, 0), alloc_fixed_buffer(CALL_STACK_CELLS, 16, 0));
}

void set_frame_top(CallFrame* frame) { frame_top = frame; }

void mark_frame(const Cell* word, node_t fn_ctx) {
    if (frame_top >= frame_end) overflow();
    *frame_top = CallFrame{word_symbol_of(word) << 8 | FRAME_FUNCTION, off_of(arguments), word_ctx_of(word),
                           fn_ctx, fn_ctx ? ctx_values(fn_ctx) : 0};
    frame_top++;
    arguments = top;
}

void mark_kind10(bool flag) {
    CallFrame* f = frame_top - 1;
    if (flag) f->header |= FRAME_BODY; else f->header &= ~FRAME_BODY;
}

void set_interpreted() { (frame_top - 1)->header |= FRAME_INTERPRETED; }

CallFrame* mark_exit_target() {
    CallFrame* f = frame_top - 2;
    if (f < frame_base || (f->header & FRAME_BODY)) return nullptr;
    // With no function around to hand the exit on to, none is marked: a
    // return in the code fails where it stands, as it does untraced, and a
    // try around it catches that error.
    CallFrame* around = f;
    while (around >= frame_base && !(around->header & FRAME_BODY) && frame_kind(around) != FRAME_KIND_TRY_ALL)
        around--;
    if (around < frame_base || !(around->header & FRAME_BODY)) return nullptr;
    f->header |= FRAME_BODY;
    return f;
}

void clear_exit_target(CallFrame* frame) {
    if (frame) frame->header &= ~FRAME_BODY;
}

CallFrame* top_frame() { return frame_top - 1; }

bool eval_q(CallFrame* frame, bool single) {
    for (CallFrame* f = frame ? frame : frame_top - 1; f >= frame_base; f--) {
        if (f->header & FRAME_INTERPRETED) return true;
        if (single) break;
    }
    return false;
}

void pop(u32 n) { top = u32(top - bottom) < n ? bottom : top - n; }

Cell* set_last(const Cell* value) { return copy_cell(value, arguments); }

Cell* set_last_reset(const Cell* value) {
    top = arguments + 1;
    return copy_cell(value, arguments);
}

void reset_keep_last() {
    if (top > bottom && TYPE_OF(top - 1) == TYPE_ERROR) copy_cell(top - 1, arguments);
    top = arguments + 1;
}

Cell* get_top() { return top > bottom ? top - 1 : top; }

u32 top_type_q() { return TYPE_OF(get_top()); }

// ---- unwinding -------------------------------------------------------------

void unwind_copy() {
    frame_top--;
    restore_values(frame_top);
    top = arguments + 1;
    arguments = cell_at(frame_top->saved_args);
}

void unwind_copy_last() {
    Cell* result = arguments;
    unwind_copy();
    copy_cell(result, arguments);
}

void unwind_reset() {
    frame_top--;
    restore_values(frame_top);
    arguments = cell_at(frame_top->saved_args);
    top = arguments;
}

void unwind_only() {
    frame_top--;
    arguments = cell_at(frame_top->saved_args);
    top = arguments;
}

void restore() {
    frame_top--;
    if (frame_kind(frame_top) == FRAME_KIND_FUNCTION) restore_values(frame_top);
    if (frame_top <= frame_base) {
        arguments = top = bottom;
    } else {
        top = arguments;
        arguments = cell_at(frame_top->saved_args);
    }
}

void unwind_frames(u32 kind, bool keep) {
    CallFrame* remembered = frame_top;
    CallFrame* f = frame_top;
    while (f > frame_base) {
        f--;
        u32 k = frame_kind(f);
        if (k == FRAME_KIND_FUNCTION) restore_values(f);
        if (k == kind || k == FRAME_KIND_TRY_ALL) break;
    }
    frame_top = f;
    if (keep) frame_top++;
    if (frame_top == remembered) {
        top = arguments + 1;
    } else if (frame_top == frame_base) {
        arguments = top = bottom;
    } else {
        top = arguments + 1;
        arguments = cell_at(frame_top->saved_args);
    }
    if (!keep) frame_top++;
}

void unwind_to(u32 kind) {
    Cell result = *arguments;
    unwind_frames(kind, false);
    // The found frame is just below the frame top; its region starts at the
    // saved arguments of the record above it.
    arguments = cell_at(frame_top->saved_args);
    copy_cell(&result, arguments);
    top = arguments;
}

// ---- throwers --------------------------------------------------------------

namespace {

struct Saved {
    Cell* arguments;
    Cell* top;
    CallFrame* frame_top;
    void restore() const {
        stack::arguments = arguments;
        stack::top = top;
        stack::frame_top = frame_top;
    }
};

Saved save() { return Saved{arguments, top, frame_top}; }


// The first frame of `kind` (a body frame for kind 0) below the frame top,
// or null where a kind-5 guard comes first or there is none.
[[gnu::always_inline]] inline CallFrame* find_target(u32 kind) {
    for (CallFrame* f = frame_top; f > frame_base;) {
        f--;
        if (frame_kind(f) == FRAME_KIND_TRY_ALL) return nullptr;
        if (kind ? frame_kind(f) == kind : (f->header & FRAME_BODY) != 0) return f;
    }
    return nullptr;
}

// Drops frames down to the first one of `kind` (kept) or a body frame when
// `kind` is 0; a kind-5 guard on the way, or no target at all, raises the
// throw-category error `id` with the stacks as they were, pending as the
// exit itself would have been (the callers return at once): null then.
CallFrame* seek_target(const Saved& saved, u32 kind, const char* id, const Cell* arg) {
    if (CallFrame* f = find_target(kind)) {
        frame_top = f + 1;
        // The target's region begins where the frame above it was opened.
        arguments = cell_at((f + 1)->saved_args);
        top = arguments;
        return f;
    }
    Cell a;
    if (arg) a = *arg;
    saved.restore();
    fire_pending("throw", id, arg ? &a : nullptr);
    return nullptr;
}

}  // namespace

void throw_break(bool with_value, bool continue_) {
    Saved saved = save();
    if (frame_top > frame_base) frame_top--;
    if (!seek_target(saved, FRAME_KIND_LOOP, continue_ ? "continue" : "break", nullptr)) return;
    if (with_value && !continue_) copy_cell(saved.arguments, arguments);
    else make_cell(arguments, TYPE_UNSET);
    pending = continue_ ? THROW_CONTINUE : THROW_BREAK;
}

void throw_exit(bool with_value, bool at_top) {
    Saved saved = save();
    if (frame_top > frame_base && !at_top) frame_top--;
    if (!seek_target(saved, FRAME_KIND_BODY, "return", nullptr)) return;
    if (with_value) {
        copy_cell(saved.arguments, arguments);
        pending = THROW_RETURN;
        return;
    }
    make_cell(arguments, TYPE_UNSET);
    pending = THROW_EXIT;
}

CallFrame* exit_target(bool loop) { return find_target(loop ? FRAME_KIND_LOOP : FRAME_KIND_BODY); }

void exit_to(CallFrame* target, u32 code, const Cell* value) {
    Cell v = value ? *value : Cell{TYPE_UNSET, 0, 0, 0};
    // The target's region begins where the frame above it was opened; a
    // target at the top is the running frame, its region the current one.
    if (target + 1 < frame_top) arguments = cell_at((target + 1)->saved_args);
    frame_top = target + 1;
    top = arguments;
    *arguments = v;
    pending = code;
}

void throw_throw(u32 code) {
    Saved saved = save();
    Cell value = *saved.arguments;
    Cell name = saved.arguments + 1 < saved.top ? saved.arguments[1] : Cell{TYPE_NONE, 0, 0, 0};
    if (frame_top > frame_base) frame_top--;
    if (!throw_origin) throw_origin = frame_top;
    if (!seek_target(saved, FRAME_KIND_CATCH, "throw", &value)) return;
    push(&value);
    push(&name);
    pending = code;
}

CallFrame* frame_at_position(const Cell* position) {
    if (TYPE_OF(position) != TYPE_INTEGER) return frame_top;
    i32 n = static_cast<i32>(position->data2);
    if (n < 0) n = 0;
    CallFrame* f = frame_base + n;
    return f > frame_end ? frame_end : f;
}

void mark_for_collector() {
    for (CallFrame* f = frame_base; f && f < frame_top; f++) {
        if (f->word_ctx) collector::mark_context(f->word_ctx);
        if (f->fn_ctx) collector::mark_context(f->fn_ctx);
    }
}

}  // namespace zav::stack
