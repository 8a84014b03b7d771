// The value stack and the call-frame stack.
#include "evaluator/stack.h"

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/helpers.h"
#include "runtime/memory.h"

namespace zav::stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top = nullptr;
Cell* end = nullptr;
CallFrame* frame_base = nullptr;
CallFrame* frame_top = nullptr;
CallFrame* frame_end = nullptr;

namespace {

// The values pointer of a function context lives in the second payload word of its context! cell.
u32& ctx_values(node_t ctx) { return reinterpret_cast<Cell*>(GET_BUFFER(ctx)->head())->data2; }

// Frames name their word by symbol; a word cell gives its symbol and context.
u32 word_symbol_of(const Cell* word) { return word ? word->data2 & 0xFFFF : 0; }
node_t word_ctx_of(const Cell* word) { return word ? word->data1 : 0; }

[[noreturn]] void overflow() {
    top = top - 5 < bottom ? bottom : top - 5;
    cycles::reset();
    fire("internal", "stack-overflow");
}

void restore_values(CallFrame* f) {
    if (f->fn_ctx) ctx_values(f->fn_ctx) = f->saved_values;
}

Cell* cell_at(off32 o) { return at<Cell>(o); }

}  // namespace

void init(node_t argument_block, node_t call_block) {
    SeriesBuffer* a = GET_BUFFER(argument_block);
    SeriesBuffer* c = GET_BUFFER(call_block);
    bottom = arguments = top = reinterpret_cast<Cell*>(a->data());
    end = reinterpret_cast<Cell*>(a->data() + a->size);
    frame_base = frame_top = reinterpret_cast<CallFrame*>(c->data());
    frame_end = reinterpret_cast<CallFrame*>(c->data() + (c->size / sizeof(CallFrame)) * sizeof(CallFrame));
}

void init_default() {
    // Fixed buffers: the cursors are raw pointers, so the stacks never move.
    init(alloc_fixed_buffer(ARG_STACK_CELLS, 16, 0), alloc_fixed_buffer(CALL_STACK_CELLS, 16, 0));
}

void set_frame_top(CallFrame* frame) { frame_top = frame; }

void mark(const Cell* word, u32 kind_bits) {
    if (frame_top >= frame_end) overflow();
    *frame_top = CallFrame{word_symbol_of(word) << 8 | kind_bits, off_of(arguments), word_ctx_of(word), 0, 0};
    frame_top++;
    arguments = top;
}

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

Cell* push_star() {
    Cell* c = top++;
    if (top >= end) overflow();
    return c;
}

Cell* push(const Cell* value) {
    Cell* c = push_star();
    *c = *value;
    return c;
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

void unwind() {
    frame_top--;
    top = arguments + 1;
    arguments = cell_at(frame_top->saved_args);
}

void unwind_copy() {
    frame_top--;
    restore_values(frame_top);
    top = arguments + 1;
    arguments = cell_at(frame_top->saved_args);
}

void unwind_last() {
    Cell* result = arguments;
    unwind();
    copy_cell(result, arguments);
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
    if (frame_kind(frame_top) == 1) restore_values(frame_top);
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
        if (k == 1) restore_values(f);
        if (k == kind || k == 5) break;
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

void mark_for_collector() {
    for (CallFrame* f = frame_base; f && f < frame_top; f++) {
        if (f->word_ctx) collector::mark_context(f->word_ctx);
        if (f->fn_ctx) collector::mark_context(f->fn_ctx);
    }
}

}  // namespace zav::stack
