// Errors thrown to their guard frame and the walks over the call frames that
// name calls in error reports and in the `stack` field.
#include "evaluator/frames.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/scope.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav {
ErrorHook on_error = nullptr;
}  // namespace zav

namespace zav::frames {

using namespace stack;

namespace {

Cell* cell_at(off32 o) { return at<Cell>(o); }

Cell* word_cell(Cell* out, i32 sym) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFF); }

}  // namespace

namespace {

// throw_error's work before the throw, in a frame of its own: a cleanup in
// the throwing frame would cost the unwinder a second walk.
[[gnu::noinline]] void unwind_to_guard(Cell* error) {
    collector::GuardedCell err;
    err.value = *error;
    if (frame_top > frame_base) {
        Cell name;
        if (TYPE_OF(&err.value) == TYPE_ERROR) {
            // A raised error has its `where` already: the walk for the name
            // is only for one made by the language.
            if (TYPE_OF(error::field(&err.value, error::FIELD_WHERE)) == TYPE_NONE) {
                get_call_name(&name);
                error::set_where(&err.value, &name);
            } else {
                throw_origin = nullptr;
            }
            note_error_frames(&err.value);
        }
        Cell* remembered = top;
        unwind_frames(FRAME_KIND_TRY, false);
        CallFrame* found = frame_top - 1;
        u32 k = frame_kind(found);
        if (k == FRAME_KIND_TRY || k == FRAME_KIND_TRY_ALL) {
            frame_top = found;  // the guard's own frame goes too
            top = remembered < bottom ? bottom : remembered;
        } else {
            // No guard: every frame is gone; the outermost region of the
            // process prints the report and ends it with status -2.
            frame_top = frame_base;
            arguments = top = bottom;
        }
    }
    // No frame at all: the C++ region around the call catches it.
    push(&err.value);
    // The error also travels in error::thrown: a guard on the way out may
    // lower the stack top below the pushed copy.
    error::thrown = err.value;
}

}  // namespace

void throw_error(Cell* error) {
    unwind_to_guard(error);
    throw Throw{THROW_ERROR};
}

void pend_error(Cell* error) {
    unwind_to_guard(error);
    stack::pending = THROW_ERROR;
}

Cell* take_thrown_error(Cell* out) {
    if (TYPE_OF(&error::thrown) == TYPE_ERROR) {
        *out = error::thrown;
        make_cell(&error::thrown, TYPE_NONE);
        return out;
    }
    make_cell(out, TYPE_NONE);
    // Thrown bare: building it failed where it was raised (a stack nearly
    // full). Built here, where the stacks have unwound, from its names.
    if (!error::ready_q() || !error::last.category || !error::last.id) return out;
    Cell* saved_top = top;
    try {
        *out = *error::create_named(error::last.category, error::last.id, nullptr, nullptr, nullptr);
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        make_cell(out, TYPE_NONE);
    }
    top = saved_top;
    make_cell(&error::thrown, TYPE_NONE);
    return out;
}

// ---- frame walks -------------------------------------------------------------

namespace {

bool unnamed_q(const CallFrame* f) {
    i32 sym = static_cast<i32>(frame_symbol(f));
    return sym == words::_body || sym == words::_anon || sym == 0;
}

// The frame's word in a context (the global word of the symbol when the
// context does not hold it). Errors name the same call again and again: the
// index found last for the context and symbol is tried first, a context
// holding one word of each exact symbol, so that the word there answers.
Cell* frame_word(Cell* out, const CallFrame* f, node_t ctx) {
    i32 sym = static_cast<i32>(frame_symbol(f));
    if (!ctx) ctx = context::global;
    static struct {
        node_t ctx = 0;
        i32 sym = 0;
        u32 index = 0;
    } last;
    if (last.ctx == ctx && last.sym == sym) {
        Cell* c = context::TO_CTX(ctx);
        if (last.index < context::word_count(c)) {
            Cell* w = context::get_word_at(c, last.index);
            if (static_cast<i32>(w->data2) == sym) return copy_cell(w, out);
        }
    }
    i32 index = context::find_word(context::TO_CTX(ctx), sym, false);
    if (index < 0) return copy_cell(context::add_global(sym), out);
    last = {ctx, sym, static_cast<u32>(index)};
    return copy_cell(word::at(ctx, index), out);
}

bool function_frame_q(const CallFrame* f) {
    if (!f->word_ctx) return false;
    Cell* ctx = context::TO_CTX(f->word_ctx);
    i32 idx = context::find_word(ctx, static_cast<i32>(frame_symbol(f)), false);
    if (idx < 0) return false;
    Cell* values = context::values_of(ctx);
    return values && TYPE_OF(values + idx) == TYPE_FUNCTION;
}

bool selected_q(const CallFrame* f, i32 level) {
    if (unnamed_q(f)) return false;
    return level > 1 || function_frame_q(f);
}

}  // namespace

Cell* get_call_name(Cell* out) {
    CallFrame* f = (throw_origin ? throw_origin : frame_top) - 1;
    while (f >= frame_base && unnamed_q(f)) f--;
    throw_origin = nullptr;
    if (f < frame_base) return word_cell(out, words::_not_found);
    return frame_word(out, f, f->word_ctx);
}

void collect_calls(Cell* block) {
    Cell blk = *block;
    collector::Guard guard(&blk);
    for (CallFrame* f = frame_top - 1; f > frame_base; f--) {
        if (unnamed_q(f)) continue;
        Cell w, pos;
        frame_word(&w, f, f->fn_ctx);
        block::zs_append(&blk, &w);
        make_cell(&pos, TYPE_INTEGER, 0, static_cast<u32>(cell_at(f->saved_args) - bottom));
        block::zs_append(&blk, &pos);
    }
}

void walk_frames(i32 level, Cell* block, CallFrame* end_frame) {
    Cell blk = *block;
    collector::Guard guard(&blk);
    if (!end_frame || end_frame > frame_top) end_frame = frame_top;
    for (CallFrame* f = frame_base; f < end_frame; f++) {
        if (!selected_q(f, level)) continue;
        Cell w;
        frame_word(&w, f, context::global);
        block::zs_append(&blk, &w);
    }
}

i32 count_frames(i32 level, const Cell* position, Cell* string, i32 budget) {
    CallFrame* end_frame = frame_at_position(position);
    Cell str = *string;
    collector::Guard guard(&str);
    for (CallFrame* f = frame_base; f < end_frame && budget > 0; f++) {
        if (!selected_q(f, level)) continue;
        Cell w;
        frame_word(&w, f, context::global);
        budget = actions::form_dispatch(&w, &str, nullptr, budget);
        string::concatenate_literal(&str, " ");
        budget--;
    }
    return budget;
}

void note_error_frames(Cell* error) {
    Cell* field = error::field(error, error::FIELD_STACK);
    if (TYPE_OF(field) == TYPE_BLOCK) return;
    make_cell(field, TYPE_INTEGER, 0, static_cast<u32>(frame_top - frame_base));
}

// The error raiser that fire and fire_pending call once the evaluator is
// up: builds the error category/id as a value, when errors can be built,
// tells the tracer, and unwinds the frames above its guard. False when it
// could not be built: it is then thrown bare.
bool raise_error(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // Building the error may itself fail (no memory, a full stack): the inner
    // failure only unwinds the building, and the outer error is thrown bare.
    static bool building = false;
    if (building) rt::throw_value(THROW_ERROR);
    make_cell(&error::thrown, TYPE_NONE);
    if (error::ready_q()) {
        Restore<bool> in_build(building, true);
        Cell* saved_top = top;
        try {
            Cell* err = error::create_named(category, id, arg1, arg2, arg3);
            if (frame_top > frame_base) {
                Cell name;
                error::set_where(err, error::get_call_name(&name));
            }
            error::thrown = *err;
        } catch (Throw& t) {
            if (t.value != THROW_ERROR) throw;
            make_cell(&error::thrown, TYPE_NONE);
        }
        top = saved_top;
    }
    error::last = {category, id};
    if (on_error && TYPE_OF(&error::thrown) == TYPE_ERROR) {
        // The hook runs user code: no throw is in progress while it does.
        Cell err = error::thrown;
        collector::Guard guard(&err);
        system_record.thrown = 0;
        on_error(&err);
        error::thrown = err;
        error::last = {category, id};
    }
    system_record.thrown = THROW_ERROR;
    // A built error travels to its guard frame: the frames above it unwind
    // and the error is noted with where it happened.
    if (TYPE_OF(&error::thrown) != TYPE_ERROR || !bottom) return false;
    Cell err = error::thrown;
    unwind_to_guard(&err);
    return true;
}

}  // namespace zav::frames
