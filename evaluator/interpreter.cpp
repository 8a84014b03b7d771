// The interpreter: one expression at a time over the value stack, every call
// inside a call frame. Argument fetching and the lean call are in
// arguments.cpp, the fast paths in interpreter_fast.h, tracing in trace.cpp.
//
// Two tiers evaluate an expression, with the same frames, stack cells and
// order of evaluation; the fast tier runs unless a tracer delivers events or
// the reference switch is on (fast_paths_on), and hands every shape it does
// not take to the reference tier.
//
//   expression at `pos`                  fast tier (eval_expression_at)
//   literal, or word holding a value     pushed from a local; number
//     then number operators              operators folded in place (infix_simple),
//                                        a paren operand of one simple value
//                                        without its frames (paren_operand)
//   word holding a function              eval_word_call -> lean_word_call
//   path: word + refinements             eval_path_call -> lean_path_call
//   path: an object's field              object_field: as a word holding a value
//   set-path of an object's field        set_path_expression: stored in place
//   set-word of a simple value           fast_set_word: no frame
//   set-word of a value up to a number   set_word_operator_call: no frames
//     operator over a function call        where the call's arguments are
//     with simple arguments, or over       simple and its body reads SIMPLE,
//     a native or action call with         else its frames opened around the
//     simple arguments                     body read (set_word_framed_end);
//                                        length? read off the series; any
//                                        other native's frames opened at
//                                        once around its entry
//   set-word of any other value          eval_set_word (shared); a value
//                                        cut short at an operator goes on
//                                        with that operator's call at once
//                                        (resume_set_word_value)
//   paren                                eval_paren (shared): one simple
//                                        value without its frames; a call
//                                        of a function by word first without
//                                        its dispatch (paren_call), and
//                                        without its frames where the call
//                                        and its operators need none
//   anything else                        eval_full
//   operator after a value               infix_chain -> eval_infix: fast_infix
//                                        (not again where infix_simple
//                                        refused, nor for a word holding a
//                                        function), else operator_word_call
//                                        (a number operator over a call of
//                                        a function by word, without frames
//                                        where the call needs none), else
//                                        lean_op_call (its own path for two
//                                        parameters and no refinements),
//                                        else eval_code_at
//
// Loop natives run their body through LoopBody (loops.cpp): each run is
// eval's, less what stays the same from one run to the next; a run's
// leading set-words of simple values, simple values, appends of them
// (frameless_append) and conditionals whose branch needs no frames go
// before its frame is opened, which a body of nothing else never opens
// (LoopBody::run_lean); such a body, with paren operands of one simple
// value, is decoded once into a plan (loop_plan.h) that later runs take
// while what it was read from holds. An object's field read through a
// path of words (object_field) is a simple value.
// Parse actions run through eval_pushed:
// their leading set-words that need no frames go before the block's frame
// is opened, which an action of nothing else never opens.
//
// The lean calls (lean_word_call, lean_path_call, lean_op_call) take calls
// whose parameters are all evaluated ones, reading the callee's call record;
// a conditional's branch or a function body of one simple expression runs
// without its frame (run_block_inline), and so does a paren of one (eval_paren).
// `either`/`if` by word with a simple condition and literal blocks choose
// their branch before anything is pushed (direct_conditional): a simple
// branch leaves its value without the conditional's frame either, and a
// branch or body of one such conditional without its own
// (read_block_conditional). A function call whose arguments are simple
// reads its body before its frame opens (frameless_function_call): a body
// that needs no frames leaves its value without the function's frame.
// eval_code_at with eval_arguments_at takes every call.
// eval_full, eval_code_at, eval_arguments_at and eval_path_at are the
// reference tier and deliver the trace events.
#include "evaluator/interpreter.h"

#include "evaluator/conditional.h"
#include "evaluator/frames.h"
#include "evaluator/interpreter_detail.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/loop_plan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/user_code.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/call_record.h"
#include "evaluator/loops.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/budget.h"
#include "runtime/machine_stack.h"
#include "runtime/rt.h"
#include "datatypes/words.h"

namespace zav::interpreter {

alignas(16) Cell code_cell{TYPE_UNSET, 0, 0, 0};
bool in_library = false;
bool user_enabled = false;
bool caller_library = false;

namespace {


// ---- word values -------------------------------------------------------------------

// The value slot of a bound word: the common cases inline, every other
// case (unbound, `self`, out of range) through context::get.
inline Cell* word_value(const Cell* w) {
    if (Cell* slot = context::peek_slot(w)) return slot;
    return context::get(w);
}

// set_frame_word's stores other than the plain one: an object's field in
// place, else word::set. Apart, so that the plain store keeps a small frame.
[[gnu::noinline]] void set_frame_word_other() {
    Cell* w = stack::arguments;
    if (store_object_word(w, w + 1)) {
        *w = w[1];
        return;
    }
    word::set();
}

// word::set over the running frame ([0] the set-word, [1] the value), with
// the plain stores of context::set_in inline: a bound word of a function
// context, or of a context that is not an object's and has no change handler.
void set_frame_word() {
    Cell* w = stack::arguments;
    Cell v = w[1];
    if (TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", w);
    if (Cell* slot = context::plain_slot(w)) {
        *slot = v;
        *w = v;
        return;
    }
    set_frame_word_other();
}

// The slot of a word of the global context (as peek_slot last found it)
// or of a function's, as peek_slot finds it; null for any other word.
// Writes nothing, so that a caller that goes no further saves no registers.
[[gnu::always_inline]] inline const Cell* peek_plain(const Cell* w) {
    const node_t n = w->data1;
    const u32 idx = w->data3;
    const memory::BufferMemo& memo = memory::buffer_memo;
    if (n == memo.key && idx < memo.count) return memo.cells + idx;
    if (!n || static_cast<i32>(idx) < 0) return nullptr;
    const Cell* ctx = context::TO_CTX(n);
    const u32 values = ctx->data2;
    return values && context::on_stack_q(ctx) ? at<Cell>(values) + idx : nullptr;
}

// The operator at `pos` applied to the value at `start`; answers the next
// position, or `pos` itself when no operator is there. `wp`: the word at
// `pos`, read from the code's cells as they are now, with `tail` within
// their count. `refused`: the position of an operator that infix_simple
// could not do (0: none), not tried in place again.
[[gnu::noinline]] u32 eval_infix_operator(Cell* start, Cell* code, const Cell* wp, const Cell* vp, u32 pos, u32 tail,
                                          bool sub, u32 refused) {
    Cell w = *wp;
    // The common bound word's slot at once (given, or null); the rare
    // others looked up only where that cannot fail.
    if (!vp) vp = peek_word(&w);
    if (!vp) {
        if (!w.data1) return pos;
        Cell* ctx = context::TO_CTX(word_ctx(&w));
        if (!ctx->data2) return pos;  // no values (context::values_of is null)
        if (word_index(&w) < 0) return pos;
        vp = word_value(&w);
        // The code read again after the general look-up.
        wp = code_at(code, pos);
    }
    if (TYPE_OF(vp) != TYPE_OP) return pos;
    // A right operand that is a word holding a function is a call, which
    // fast_infix never takes: the operator's call goes on without the try.
    const Cell* operand = pos + 1 < tail ? wp + 1 : nullptr;
    const Cell* operand_value = operand && TYPE_OF(operand) == TYPE_WORD ? peek_word(operand) : nullptr;
    if (pos != refused && !(operand_value && function_type_q(TYPE_OF(operand_value))) &&
        fast_infix(vp, start, operand, operand_value, sub))
        return pos + 2;
    Cell fn = *vp;
    if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &w);
    stack::top = start;
    set_type(&fn, op::wrapped_type(&fn));
    u32 next = pos + 1;
    if (fast_paths_on()) {
        // Only a word holding a function calls one (a paren operand is the common other).
        if (operand_value && TYPE_OF(operand_value) == TYPE_FUNCTION)
            if (u32 after = operator_word_call(&fn, &w, code, {wp - pos, next, tail, operand_value}, sub)) return after;
        if (lean_op_call(&fn, &w, code, &next, tail, sub)) return next;
    }
    return eval_code_at(&fn, code, pos + 1, tail, sub, {.name = &w, .infix = true});
}

// eval_infix_operator, after most words after a value, which hold no
// operator and start the next expression, are turned away in a call too
// small to save registers.
[[gnu::noinline]] u32 eval_infix(Cell* start, Cell* code, const Cell* wp, u32 pos, u32 tail, bool sub, u32 refused) {
    const Cell* vp = peek_plain(wp);
    if (vp && TYPE_OF(vp) != TYPE_OP) [[likely]] return pos;
    return eval_infix_operator(start, code, wp, vp, pos, tail, sub, refused);
}

// The operators after the value made at `start`, each applied to it in
// turn; answers the position after the last. Looks no further when the next
// cell cannot be an operator. `refused` as for eval_infix.
inline u32 infix_chain(Cell* start, Cell* code, u32 next, u32 tail, bool sub, u32 refused = 0) {
    // The value's own evaluation may have ended in an exit.
    if (exiting()) [[unlikely]] return next;
    for (;;) {
        SeriesBuffer* cb = block::buffer_of(code);
        u32 live = cell_count(cb);
        u32 t = tail < live ? tail : live;
        const Cell* wp = block::cells_of(cb) + next;
        if (next >= t || TYPE_OF(wp) != TYPE_WORD) return next;
        u32 after = eval_infix(start, code, wp, next, t, sub, refused);
        if (after == next || exiting()) return after;
        next = after;
    }
}

}  // namespace

u32 eval_code_at(Cell* fn_in, Cell* code, u32 pos, u32 tail, bool sub, const CallSite& site) {
    Cell* const path = site.path;
    const u32 ref_item = site.ref_item;
    Cell* const name_in = site.name;
    Cell* const owner = site.owner;
    const i32 mode = site.mode;
    const bool infix = site.infix;
    machine_stack::check();
    budget::step();
    Cell fn = *fn_in;
    Cell name;
    if (name_in && TYPE_OF(name_in) >= TYPE_WORD && TYPE_OF(name_in) <= TYPE_REFINEMENT) {
        name = *name_in;
        set_type(&name, TYPE_WORD);
    } else if (!path && pos > 0 && pos - 1 < live_tail(code) && TYPE_OF(code_at(code, pos - 1)) == TYPE_WORD) {
        name = *code_at(code, pos - 1);
    } else {
        word_of(&name, words::_anon);
    }
    // What named the call, as the tracer sees it: the word or path as
    // written, else the value before the arguments (a function value).
    Cell called;
    make_cell(&called, TYPE_NONE);
    if (enabled()) {
        if (path) called = *path;
        else if (name_in && TYPE_OF(name_in) >= TYPE_WORD && TYPE_OF(name_in) <= TYPE_REFINEMENT) called = name;
        else if (pos > 0 && pos - 1 < live_tail(code)) called = *code_at(code, pos - 1);
        else called = name;
        if (infix) stack::top++;
        fire_event(EVT_OPEN, code, static_cast<i32>(pos), nullptr, &called);
        if (infix) stack::top--;
    }
    collector::Guard called_hold(&called);
    Cell* site_arg = enabled() ? &called : nullptr;
    if (!infix) stack::push(&fn);
    // An operator's left operand becomes the frame's first slot (each case
    // below keeps it under the top at once, so that the collector sees it
    // while the argument cache is built and the right operand evaluated).
    // An operator's function is not on the stack, and its right operand may
    // drop every other reference to it (`o: none`) before the body is read.
    collector::Guard fn_hold(&fn);
    switch (TYPE_OF(&fn)) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            stack::mark_kind82(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix, site_arg);
            break;
        case TYPE_ROUTINE:
            stack::mark_kind82(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix, site_arg);
            if (exiting()) [[unlikely]] return pos;
            call_routine(&fn);
            break;
        case TYPE_FUNCTION: {
            node_t ctx = 0;
            Cell* more_owner = function::more_cell(&fn, function::MORE_OWNER);
            if (owner && TYPE_OF(owner) == TYPE_OBJECT && object::ctx_of(owner) != context::global) {
                ctx = object::ctx_of(owner);
            } else if (TYPE_OF(more_owner) == TYPE_INTEGER) {
                ctx = more_owner->data2;
            } else {
                ctx = word_ctx(&name);
            }
            stack::mark_kind81(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix, site_arg);
            if (exiting()) [[unlikely]] return pos;
            call_function(&fn, ctx, &name, 0);
            break;
        }
        default:
            rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    }
    if (exiting()) [[unlikely]] return pos;
    if (sub) stack::unwind();
    else stack::unwind_last();
    if (enabled()) fire_event(EVT_RETURN, code, static_cast<i32>(pos), site_arg ? site_arg : &name, stack::get_top());
    if (!infix) {
        stack::top--;
        copy_cell(stack::top, stack::top - 1);
    }
    return pos;
}


// ---- expressions ------------------------------------------------------------------

namespace {

u32 eval_full(Cell* code, u32 pos, u32 tail, ExprMode mode);

// The common call, as eval_code_at makes it: a function!, native! or
// action! named by a word, or by a path whose further items are words or
// refinements naming its refinements (`path`, items from `ref_item`), whose
// parameters are all evaluated ones. Skips the generic argument walk: no
// argument-cache copy, the call's shape read from the cache cell. Answers
// false, having done nothing, when the call is not of this shape, a path
// item is not a refinement of it (or names one twice: the generic path
// raises the error), or its cache is not built yet. `infix`: a built-in
// under an operator, its left operand already at stack::top.
// A word whose value is a function value, called as eval_full calls it
// (the word and its value looked up once), then any operators after it.
[[gnu::always_inline]] inline u32 eval_word_call(const Cell* word, const Cell* fn_in, Cell* code, u32 pos, u32 tail,
                                                 bool prefix, bool sub) {
    Cell w = *word;
    Cell fn = *fn_in;
    Cell* start = stack::top;
    u32 next = pos + 1;
    if (!lean_word_call(&fn, &w, code, &next, tail, sub))
        next = eval_code_at(&fn, code, pos + 1, tail, sub, {.name = &w});
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    return next;
}

// A path whose first item is a word holding a function value, its other
// items naming refinements: called as eval_path_at calls it, through the
// lean call, then any operators after it. False (nothing done) when the
// lean call declines; eval_full then does the path.
bool eval_path_call(const Cell* path_in, Cell* code, u32 pos, u32 tail, bool prefix, bool sub, u32* next_out) {
    Cell path = *path_in;
    Cell w, fn;
    u32 head;
    if (!path_callee(&path, &w, &fn, &head)) return false;
    Cell* start = stack::top;
    u32 next = pos + 1;
    if (!lean_path_call(&fn, &w, code, &next, tail, &path, head)) return false;
    *next_out = next;
    if (exiting()) [[unlikely]] return true;
    if (!sub) stack::set_last_reset(stack::top - 1);
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    *next_out = next;
    return true;
}

// Goes on with an expression at `pos` as eval_full would, from what
// simple_value did of it: `v` its value up to `stop` (see simple_value),
// left as eval_full leaves it, then the operators from `stop` on.
u32 resume_simple(const Cell* v, Cell* code, u32 pos, u32 stop, u32 tail, bool sub) {
    Cell* start = stack::top;
    // Operators over series readers' calls, made as simple values.
    const SeriesBuffer* cb = block::buffer_of(code);
    const u32 live = cell_count(cb);
    const Cell* cells = block::cells_of(cb);
    const Cell* fn;
    Cell x;
    if (stop + 1 < tail && stop + 1 < live && TYPE_OF(cells + stop + 1) == TYPE_WORD &&
        (fn = peek_word(cells + stop + 1)) && series_reader_q(fn) && fast_paths_on()) [[unlikely]] {
        x = *v;
        v = &x;
        stop = resume_readers(cells, stop, tail < live ? tail : live, &x);
    }
    if (stop == pos + 1) {
        push_value(v, sub);
    } else {
        // As the operator calls leave it.
        *start = *v;
        stack::top = start + 1;
        if (!sub) *stack::arguments = *v;
    }
    // At `stop` is no operator, or one infix_simple could not do.
    u32 next = infix_chain(start, code, stop, tail, sub, stop);
    if (enabled() && !sub && !exiting()) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

// resume_simple for a set-word's value (pushed), where the value stopped at
// an operator that infix_simple could not do (the common `t: t + f x`): that
// operator is called at once, its word and value read once, rather than
// through resume_simple and eval_infix; the operators after it as
// infix_chain does them. Nothing has run since infix_simple read the code,
// so it is as infix_simple saw it, and the fast paths are still on.
[[gnu::always_inline]] inline u32 resume_set_word_value(const Partial& partial, Cell* code, u32 pos, u32 tail) {
    const u32 stop = partial.stop;
    const Cell* wp = stop < tail ? code_at(code, stop) : nullptr;
    const Cell* vp;
    if (!wp || TYPE_OF(wp) != TYPE_WORD || !(vp = peek_word(wp)) || TYPE_OF(vp) != TYPE_OP)
        return resume_simple(&partial.value, code, pos, stop, tail, true);
    // The left operand where the operator call keeps it: fast_set_word made
    // sure of the room.
    Cell* start = stack::top;
    *start = partial.value;
    Cell w = *wp;
    Cell fn = *vp;
    set_type(&fn, op::wrapped_type(&fn));
    u32 next = stop + 1;
    if (!lean_op_call(&fn, &w, code, &next, tail, true))
        next = eval_code_at(&fn, code, stop + 1, tail, true, {.name = &w, .infix = true});
    return infix_chain(start, code, next, tail, true);
}

void eval_paren(Cell* value, bool sub);
u32 eval_set_word(const Cell* value, Cell* code, u32 pos, u32 tail, bool sub, const Partial* partial,
                  const Cell* called = nullptr);

// The end of a set-word's expression (`w` at `pos`) in its frame, its
// value above it: the value stored, the frame closed.
inline void close_set_word(const Cell* w, Cell* code, u32 pos, bool sub) {
    if (enabled()) fire_event(EVT_SET, code, static_cast<i32>(pos), w, stack::get_top());
    set_frame_word();
    if (sub) stack::unwind();
    else stack::unwind_last();
}

// After the value of an expression made at `start`: the operators that
// follow (unless prefix), and the expression's trace event as eval_full
// delivers it should a tracer have started meanwhile.
inline u32 expression_end(Cell* start, Cell* code, u32 next, u32 tail, bool prefix, bool sub) {
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    if (enabled() && !sub && !exiting()) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

// A set-word expression (`c` the set-word's cell at `pos`): the simple
// value stored without a frame, or an operator over a call that needs
// none (set_word_operator_call), else eval_set_word going on from what
// fast_set_word made of it.
[[gnu::always_inline]] inline u32 set_word_expression(const Cell* c, Cell* code, u32 pos, u32 tail, bool prefix, bool sub) {
    Partial partial;
    partial.call = true;
    u32 next;
    // The code cannot change before fast_set_word answers.
    if (fast_set_word(c, code, pos + 1, tail, sub, &next, &partial)) return next;
    Cell w = *c;
    Cell* start = stack::top;
    if (partial.stop) {
        OperatorSetWordEnd end = set_word_operator_call(c, code, partial.value, partial.stop, tail, sub);
        if (exiting()) [[unlikely]] return end.next;
        if (end.framed) return expression_end(start, code, set_word_framed_end(w, code, pos, end.next, tail, sub), tail, prefix, sub);
        if (end.next) return end.next;
    }
    next = partial.stop ? eval_set_word(&w, code, pos, tail, sub, &partial)
                        : eval_set_word(&w, code, pos, tail, sub, nullptr,
                                        TYPE_OF(&partial.value) != TYPE_NONE ? &partial.value : nullptr);
    return expression_end(start, code, next, tail, prefix, sub);
}

inline u32 eval_expression_at(Cell* code, u32 pos, u32 tail, bool prefix, bool sub, bool passive);

// The field a path of words names through objects (see object_field): its
// value slot, its word cell in the last object's word list and that
// object's context node.
struct Field {
    Cell* slot;
    Cell* word;
    node_t ctx;
};
// The field a set-path names, where a store into it is made in place (see
// store_in_field); false for any other set-path. *two_words: the set-path
// is of two words (the usual record's field), which KnownSlot takes.
bool field_to_store(const Cell* path, Field* f, bool* two_words);
// The store into a field field_to_store found, marking it changed.
void put_field(const Field& f, const Cell* value);

// A set-path of an object's field (see object_field) whose object has no
// change handler: the value's expression in the set-path's frame as the
// reference tier evaluates it (none where the value is a simple one: see
// simple_value), then stored as the object's eval-path action stores it,
// marking the field changed. Any other set-path as eval_full makes it.
[[gnu::noinline]] u32 set_path_expression(const Cell* c, Cell* code, u32 pos, u32 tail, bool prefix, bool sub) {
    Cell path = *c;
    Cell* start = stack::top;
    const u32 live = clamp_tail(code, tail);
    {
        Cell v;
        if (const u32 next = frameless_set_path(&path, code_at(code, 0), pos, live, &v)) {
            // A simple value ends where no operator follows, and nothing in it
            // could have started a tracer: nothing for expression_end to do.
            push_value(&v, sub);
            return next;
        }
    }
    if (pos + 1 >= live) return eval_full(code, pos, tail, {prefix, sub, false});
    Cell sp;
    word_of(&sp, words::set_path);
    stack::mark_kind82(&sp);
    // The value's expression may take the set-path out of the code.
    collector::Guard path_hold(&path);
    const u32 next = eval_expression_at(code, pos + 1, tail, false, true, false);
    if (exiting()) [[unlikely]] return next;
    if (!store_object_field(&path, stack::arguments)) {
        eval_path_at(&path, code, pos, tail, PathAccess::SET, true);
        if (exiting()) [[unlikely]] return next;
    }
    if (sub) stack::unwind();
    else stack::unwind_last();
    return expression_end(start, code, next, tail, prefix, sub);
}

// The fast tier's entry to one expression: a single dispatch on the cell at
// `pos`. Plain values (literal, or held by a word) with any number operators
// after them are done in a local; calls through a word or a refinement path
// take the lean call; set-words store simple values without a frame. Every
// other shape, and everything while tracing or under the reference switch,
// goes to eval_full. eval_expression_read is the dispatch after the
// expression's budget step, over the code's cells as read now (`cells`,
// `tail` within their count).
[[gnu::always_inline]] inline u32 eval_expression_read(Cell* code, const Cell* cells, u32 pos, u32 tail, bool prefix,
                                                       bool sub, bool passive) {
    if (pos < tail && fast_paths_on()) {
        const Cell* c = cells + pos;
        u32 t = TYPE_OF(c);
        const Cell* v = c;
        if (t == TYPE_WORD) {
            v = peek_word(c);
            if (!v) return eval_full(code, pos, tail, {prefix, sub, passive});
            u32 vt = TYPE_OF(v);
            if (function_type_q(vt)) return eval_word_call(c, v, code, pos, tail, prefix, sub);
            t = vt;
        } else if (t == TYPE_SET_WORD) {
            return set_word_expression(c, code, pos, tail, prefix, sub);
        } else if (t == TYPE_PAREN) {
            Cell* start = stack::top;
            Cell value = *c;
            eval_paren(&value, sub);
            return expression_end(start, code, pos + 1, tail, prefix, sub);
        } else if (t == TYPE_PATH) {
            u32 next;
            if (eval_path_call(c, code, pos, tail, prefix, sub, &next)) return next;
            // An object's field holding a plain value: read as a word's.
            node_t ctx;
            if (!(v = object_field(c, &ctx))) return eval_full(code, pos, tail, {prefix, sub, passive});
            t = TYPE_OF(v);
        } else if (t == TYPE_SET_PATH) {
            return set_path_expression(c, code, pos, tail, prefix, sub);
        }
        if ((v == c ? plain_value_q(t) : held_value_q(t)) && stack::top + 1 < stack::end) {
            u32 next = pos + 1;
            // The common case: no operator can follow.
            if (prefix || next >= tail || TYPE_OF(cells + next) != TYPE_WORD) {
                push_value(v, sub);
                return next;
            }
            Cell* start = stack::top;
            Cell x = *v;
            u32 stop = 0;
            next = infix_simple(cells, pos + 1, tail, &x, &stop);
            if (next == pos + 1) {
                push_value(&x, sub);
                return next;
            }
            if (next) {
                // As the operator calls leave it.
                *start = x;
                stack::top = start + 1;
                if (!sub) *stack::arguments = x;
                return next;
            }
            return resume_simple(&x, code, pos, stop, tail, sub);
        }
    }
    return eval_full(code, pos, tail, {prefix, sub, passive});
}

// eval_expression_at where the machine stack was checked at this depth
// already.
[[gnu::always_inline]] inline u32 eval_expression_checked(Cell* code, u32 pos, u32 tail, bool prefix, bool sub,
                                                          bool passive) {
    budget::step();
    SeriesBuffer* cb = block::buffer_of(code);
    u32 live = cell_count(cb);
    return eval_expression_read(code, block::cells_of(cb), pos, tail < live ? tail : live, prefix, sub, passive);
}

[[gnu::always_inline]] inline u32 eval_expression_at(Cell* code, u32 pos, u32 tail, bool prefix, bool sub,
                                                     bool passive) {
    machine_stack::check();
    return eval_expression_checked(code, pos, tail, prefix, sub, passive);
}

}  // namespace

// An argument's expression: the code's library or user state is in place already.
u32 eval_sub(Cell* code, u32 pos, u32 tail, bool prefix) {
    return eval_expression_at(code, pos, tail, prefix, true, false);
}

u32 eval_word_arg(const Cell* word, const Cell* fn, Cell* code, u32 pos, u32 tail) {
    machine_stack::check();
    budget::step();
    return eval_word_call(word, fn, code, pos, tail, false, true);
}

u32 arg_operators(Cell* start, Cell* code, u32 next, u32 tail) { return infix_chain(start, code, next, tail, true); }

// The expressions that cannot fail or be seen (see simple_value and
// fast_set_word) are done here; eval_full does every expression.
u32 eval_expression(Cell* code, u32 pos, u32 tail, ExprMode mode) {
    CodeScope scope(code);
    return eval_expression_at(code, pos, tail, mode.prefix, mode.sub, mode.passive);
}

// (See interpreter_detail.h.) The set-word's frame open, the call's or
// operator's value above the set-word. Out of line, as eval_set_word is.
[[gnu::noinline]] u32 set_word_framed_end(Cell w, Cell* code, u32 pos, u32 next, u32 tail, bool sub) {
    next = infix_chain(stack::arguments + 1, code, next, tail, true);
    if (exiting()) [[unlikely]] return next;
    close_set_word(&w, code, pos, sub);
    return next;
}

namespace {

// A set-word at `pos` (`value` its cell) and its value's expression, in a
// frame named by the word; answers the position after the expression.
// `partial`: what fast_set_word did of the value, gone on from rather than
// evaluated again. `called`: the function value (of any kind: a native
// called by word is the common set-word value) the value's first word holds, as
// fast_set_word found it (nothing has run since): the call is made as
// eval_expression_at makes it, less the word's look-up and the dispatch.
u32 eval_set_word(const Cell* value, Cell* code, u32 pos, u32 tail, bool sub, const Partial* partial,
                  const Cell* called) {
    Cell w = *value;
    u32 next = pos + 1;
    stack::mark_kind82(&w);
    stack::push(&w);
    if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &w);
    if (partial) {
        // fast_set_word found the value's first cells: the code holds a value.
        next = resume_set_word_value(*partial, code, next, tail);
    } else if (called) {
        machine_stack::check();
        budget::step();
        next = eval_word_call(code_at(code, next), called, code, next, tail, false, true);
    } else {
        if (next >= clamp_tail(code, tail)) fire("script", "need-value", &w);
        next = eval_expression_at(code, next, tail, false, true, false);
    }
    if (exiting()) [[unlikely]] return next;
    close_set_word(&w, code, pos, sub);
    return next;
}


// Every expression shape, with the trace events: the reference tier.
u32 eval_full(Cell* code, u32 pos, u32 tail, ExprMode mode) {
    const bool prefix = mode.prefix, sub = mode.sub, passive = mode.passive;
    if (pos >= tail) {
        // Nothing left (the code shrank under us): the value is unset.
        Cell u{TYPE_UNSET, 0, 0, 0};
        push_value(&u, sub);
        return pos;
    }
    Cell* start = stack::top;
    Cell value = *code_at(code, pos);
    if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &value);
    u32 next = pos + 1;
    auto pushed = [&](const Cell* v) {
        push_value(v, sub);
        if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, v);
    };
    switch (TYPE_OF(&value)) {
        case TYPE_PAREN:
            eval_paren(&value, sub);
            break;
        case TYPE_SET_WORD:
            // eval_expression tried fast_set_word (it declines while tracing).
            next = eval_set_word(&value, code, pos, tail, sub, nullptr);
            break;
        case TYPE_SET_PATH: {
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &value);
            if (next >= clamp_tail(code, tail)) fire("script", "need-value", &value);
            Cell sp;
            word_of(&sp, words::set_path);
            stack::mark_kind82(&sp);
            // The value's expression may take the set-path out of the code.
            collector::Guard path_hold(&value);
            next = eval_expression(code, next, tail, {.sub = true});
            if (exiting()) [[unlikely]] return next;
            if (enabled()) fire_event(EVT_SET, code, static_cast<i32>(pos), &value, stack::get_top());
            eval_path_at(&value, code, pos, tail, PathAccess::SET, true);
            if (exiting()) [[unlikely]] return next;
            if (sub) stack::unwind();
            else stack::unwind_last();
            break;
        }
        case TYPE_GET_WORD: {
            Cell v = *word_value(&value);
            pushed(&v);
            break;
        }
        case TYPE_LIT_WORD: {
            Cell v = value;
            set_type(&v, TYPE_WORD);
            pushed(&v);
            break;
        }
        case TYPE_WORD: {
            Cell v = *word_value(&value);
            switch (TYPE_OF(&v)) {
                case TYPE_UNSET:
                    // Pending: the callers return at once.
                    fire_pending("script", "no-value", &value);
                    return next;
                case TYPE_FUNCTION:
                case TYPE_ROUTINE:
                case TYPE_NATIVE:
                case TYPE_ACTION:
                    next = eval_code_at(&v, code, next, tail, sub, {.name = &value});
                    break;
                case TYPE_OP:
                    fire("script", "no-op-arg", &value);
                default:
                    pushed(&v);
                    break;
            }
            break;
        }
        case TYPE_PATH:
            next = eval_path_at(&value, code, pos, tail, PathAccess::EVAL, sub);
            if (enabled() && !exiting()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, stack::get_top());
            break;
        case TYPE_GET_PATH:
            next = eval_path_at(&value, code, pos, tail, PathAccess::GET, sub);
            if (enabled() && !exiting()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, stack::get_top());
            break;
        case TYPE_LIT_PATH: {
            Cell v = value;
            set_type(&v, TYPE_PATH);
            v.data3 = 0;
            pushed(&v);
            break;
        }
        case TYPE_OP:
            fire("internal", "not-done");
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION:
            if (passive) pushed(&value);
            else next = eval_code_at(&value, code, next, tail, sub, {});
            break;
        case TYPE_ISSUE: {
            if (next < clamp_tail(code, tail) && TYPE_OF(code_at(code, next)) == TYPE_BLOCK) {
                i32 sym = symbol::resolve(static_cast<i32>(value.data2));
                if (sym == symbol::resolve(words::system) || sym == symbol::resolve(words::system_global))
                    fire("internal", "zav-system");
            }
            pushed(&value);
            break;
        }
        default:
            pushed(&value);
            break;
    }
    if (exiting()) [[unlikely]] return next;
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    if (enabled() && !sub && !exiting()) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

// The expressions of a block from `pos` to `tail`, in the <body> frame eval
// opens for it, each value the frame result in turn; the code's library
// scope is in place.
}  // namespace

void eval_rest_in_frame(Cell* code, u32 pos, u32 tail) {
    // Nested evaluations restore the current code cell on their way out,
    // so only its position changes from one expression to the next.
    bool track = !in_library;
    if (track) code_cell = *code;
    // The code read once between expressions: after one (which may have
    // changed or moved it) for the loop's test and the next one's start.
    SeriesBuffer* cb = block::buffer_of(code);
    u32 live = cell_count(cb);
    if (tail > live) tail = live;
    while (pos < tail) {
        if (track) series_head(&code_cell) = pos;
        budget::step();
        pos = eval_expression_read(code, block::cells_of(cb), pos, tail, false, false, false);
        if (exiting()) [[unlikely]] return;
        cb = block::buffer_of(code);
        live = cell_count(cb);
        if (tail > live) tail = live;
        if (pos < tail) stack::reset();
    }
    if (enabled()) fire_event(EVT_EXIT, code, static_cast<i32>(tail), nullptr, stack::arguments);
}

namespace {

// The expressions of a block, in the <body> frame eval opens for it.
[[gnu::always_inline]] inline void eval_block_in_frame(Cell* code) {
    u32 head = series_head(code);
    u32 tail = live_tail(code);
    if (enabled()) fire_event(EVT_ENTER, code, static_cast<i32>(head), nullptr, nullptr);
    if (head < tail) {
        eval_rest_in_frame(code, head, tail);
        return;
    }
    make_cell(stack::arguments, TYPE_UNSET);
    stack::top = stack::arguments + 1;
    if (enabled()) fire_event(EVT_EXIT, code, static_cast<i32>(tail), nullptr, stack::arguments);
}

// `run` over a copy of a block that something holds while it runs, with
// the <body> frame eval opens for it marked on the frame stack (`run`
// closes it); the running code is put back after.
template <class Run>
[[gnu::always_inline]] inline void in_body_frame(const Cell* code_in, Run run) {
    Cell code = *code_in;
    CodeRestore restore;
    CodeScope scope(&code);
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    run(&code);
}

// eval(code, chain) after its machine stack check and budget step, for a
// block that something holds while it runs: eval's own rooted copy, a
// function body (its function value on the value stack) or a conditional's
// branch (its argument).
[[gnu::always_inline]] inline void enter_block(const Cell* code_in, bool chain = true) {
    in_body_frame(code_in, [&](Cell* code) __attribute__((always_inline)) {
        eval_block_in_frame(code);
        if (exiting()) [[unlikely]] return;
        if (chain) stack::unwind_last();
        else stack::unwind();
    });
}

}  // namespace

void eval(Cell* code, bool chain) {
    evaluate(code, chain);
    stack::throw_pending();
}

void evaluate(Cell* code_in, bool chain) {
    machine_stack::check();
    budget::step();
    struct {
        Cell value;
    } code{*code_in};
    collector::Guard code_hold(&code.value);
    enter_block(&code.value, chain);
}

namespace {


// The leading set-words of `code` from `pos` that need no frames (see
// fast_set_word and set_word_operator_call), each value pushed at `base`
// as in a frame opened there, with eval_expression_checked's budget step.
// They find the frame stack as full as with the block's frame open, so
// that each declines (and raises the overflow later) exactly where it
// would in the frame; nothing in them can move the code. Answers the
// position reached.
u32 frameless_set_words(Cell* code, u32 pos, u32 tail, Cell* base) {
    CallFrame* const frame_end = stack::frame_end;
    stack::frame_end = frame_end - 1;
    const Cell* cells = block::cells_of(block::buffer_of(code));
    while (pos < tail && TYPE_OF(cells + pos) == TYPE_SET_WORD && !step_would_spend()) {
        const Cell* c = cells + pos;
        stack::top = base;
        Partial partial;
        u32 next;
        if (!fast_set_word(c, code, pos + 1, tail, true, &next, &partial) &&
            !(partial.stop &&
              (next = set_word_operator_call(c, code, partial.value, partial.stop, tail, true, OperatorReach::FRAMELESS)
                          .next)))
            break;
        budget::step();
        pos = next;
    }
    stack::frame_end = frame_end;
    return pos;
}

// eval_pushed of code led by a set-word, in the library scope running now.
[[gnu::noinline]] void eval_pushed_lean(const Cell* code_in) {
    machine_stack::check();
    budget::step();
    Cell code = *code_in;
    collector::Guard code_hold(&code);
    Cell* base = stack::top;
    const u32 head = series_head(&code);
    const u32 tail = live_tail(&code);
    const u32 pos = frameless_set_words(&code, head, tail, base);
    if (pos == head) {
        stack::top = base;
        return enter_block(&code, false);
    }
    if (pos >= tail) return;  // the last value at base, as the frame leaves it
    stack::top = base;
    CodeRestore restore;
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    eval_rest_in_frame(&code, pos, tail);
    if (exiting()) [[unlikely]] return;
    stack::unwind();
}

}  // namespace

void eval_pushed(Cell* code) {
    SeriesBuffer* b;
    const u32 head = series_head(code);
    if (fast_paths_on() && block::any_block_q(TYPE_OF(code)) &&
        (((b = block::buffer_of(code))->flags & SERIES_LIBRARY) != 0) == in_library && head < cell_count(b) &&
        TYPE_OF(block::cells_of(b) + head) == TYPE_SET_WORD)
        return eval_pushed_lean(code);
    evaluate(code, false);
}

namespace {

// The function's context pointed at the arguments read_body reads over
// while a read through context::peek_slot may need them (see BodyArgs):
// what it pointed at before, for args_out_of_context. Nothing read there
// can fail.
[[gnu::always_inline]] inline u32 args_in_context(const BodyArgs& args) {
    if (!args.frame) return 0;
    const u32 saved = args.frame->data2;
    args.frame->data2 = off_of(args.values);
    return saved;
}
[[gnu::always_inline]] inline void args_out_of_context(const BodyArgs& args, u32 saved) {
    if (args.frame) args.frame->data2 = saved;
}

// A function body that is `return` of one simple expression (see
// simple_value; its word at `head` of `cells`, the expression up to
// `tail`), read before its frame opens (see read_body): the function's
// value, the return's target being that function, as the body without its
// frames would leave it. False for any other body.
[[gnu::always_inline]] inline bool body_return_value(const Cell* cells, u32 head, u32 tail, Cell* out,
                                                     const Known& k) {
    const Cell* fn;
    if (TYPE_OF(cells + head) != TYPE_WORD || !(fn = peek_known(cells + head, k.args)) ||
        TYPE_OF(fn) != TYPE_NATIVE || native::entry_of(fn) != natives::N_RETURN)
        return false;
    // The native's own spec: one argument.
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    u32 stop;
    return rec && (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) == 1 &&
           simple_value(cells, head + 1, tail, out, &stop, {}, k) == tail && (rec->type_bits[0] >> TYPE_OF(out) & 1);
}

// The value of a block or paren that is one simple expression (see
// simple_value): nothing in it can fail, call anything, allocate or be seen,
// so its value can go where the `frames` frames evaluating it would leave it
// without them. False, having done nothing, for any other code, while
// tracing or under the reference switch, and when the frames could not be
// opened (the generic path then raises the overflow). `k` as for
// simple_value, its room KNOWN where the caller made sure of room for
// `frames` too.
[[gnu::always_inline]] inline bool simple_code_value(const Cell* code, u32 frames, Cell* out, Known k = {}) {
    if (!fast_paths_on()) return false;
    SeriesBuffer* b = block::buffer_of(code);
    u32 head = series_head(code);
    u32 tail = cell_count(b);
    // A value then operator and operand pairs: an odd count of cells. Most
    // code that holds a call is turned away here, before any word is looked up.
    if (head >= tail || !((tail - head) & 1) || ((b->flags & SERIES_LIBRARY) != 0) != in_library) return false;
    if (k.room == Room::CHECK && (stack::frame_top + frames > stack::frame_end || stack::top + 2 >= stack::end))
        return false;
    const Cell* c = block::cells_of(b) + head;
    if (head + 1 == tail) {
        // One value (a literal or a word holding one), the most common
        // branch: read here, without simple_value's operator step.
        if (TYPE_OF(c) == TYPE_WORD ? !(c = peek_known(c, k.args)) || !held_value_q(TYPE_OF(c))
                                    : !plain_value_q(TYPE_OF(c)))
            return false;
        *out = *c;
        return true;
    }
    u32 stop;
    return simple_value(block::cells_of(b), head, tail, out, &stop, {}, k) == tail;
}

// The `either`, `if` or `unless` call (`fn`, by the word at `head` of `cells`) that
// makes up a block up to `tail` (evaluated inside `frames` frames, with
// room checked for the conditional's): as read_block_conditional answers.
// `k` as for simple_code_value.
[[gnu::always_inline]] inline BlockShape read_conditional_shape(const Cell* fn, const Cell* cells, u32 head, u32 tail,
                                                               u32 frames, BlockConditional* bc, Cell* out,
                                                               Known k = {}) {
    Conditional& c = bc->call;
    if (!read_conditional(fn, cells, head + 1, tail, &c, k) || c.next != tail) return BlockShape::OTHER;
    if (!c.branch) {
        make_cell(out, TYPE_NONE);
        return BlockShape::SIMPLE;
    }
    if (simple_code_value(c.branch, frames + 2, out, k)) return BlockShape::SIMPLE;
    bc->word = cells[head];
    bc->fn = *fn;
    return BlockShape::CONDITIONAL;
}

// read_block_conditional past the ends' check: out of line, as most
// blocks are turned away by their ends alone.
[[gnu::noinline]] BlockShape read_block_conditional_rest(const SeriesBuffer* b, const Cell* cells, u32 head, u32 tail,
                                                          u32 frames, BlockConditional* bc, Cell* out) {
    const Cell* fn = peek_word(cells + head);
    if (!fn || TYPE_OF(fn) != TYPE_NATIVE || !fast_paths_on()) return BlockShape::OTHER;
    // Room for what the generic path opens: the conditional's frame above
    // the block's, its native and arguments, and the branch's frame.
    if (((b->flags & SERIES_LIBRARY) != 0) != in_library || stack::frame_top + frames + CONDITIONAL_ROOM > stack::frame_end ||
        stack::top + CONDITIONAL_ROOM >= stack::end)
        return BlockShape::OTHER;
    return read_conditional_shape(fn, cells, head, tail, frames, bc, out);
}

// A block (evaluated inside `frames` frames) of one `either`, `if` or `unless` call:
// SIMPLE when its branch is one simple expression (or `if` has none to
// run): nothing in it can fail or be seen, so its value (`out`) can go
// where the block's, the conditional's and the branch's frames would leave
// it, without them. CONDITIONAL for any other branch, the call read into
// `bc` for enter_conditional. OTHER for any other block.
[[gnu::always_inline]] inline BlockShape read_block_conditional(const Cell* code, u32 frames, BlockConditional* bc,
                                                               Cell* out) {
    SeriesBuffer* b = block::buffer_of(code);
    u32 head = series_head(code);
    u32 tail = cell_count(b);
    const Cell* cells = block::cells_of(b);
    // A conditional's call ends with its (last) branch.
    if (head >= tail || TYPE_OF(cells + head) != TYPE_WORD || TYPE_OF(cells + tail - 1) != TYPE_BLOCK)
        return BlockShape::OTHER;
    return read_block_conditional_rest(b, cells, head, tail, frames, bc, out);
}

template <bool Nested = false>
bool branch_call(const Cell* branch);

// A conditional's branch entered by branch_call where it starts with a
// word, else by enter_block: most other branches are turned away here.
template <bool Nested = false>
[[gnu::always_inline]] inline void enter_branch_block(const Cell* branch) {
    const SeriesBuffer* b = block::buffer_of(branch);
    const u32 head = series_head(branch);
    if (head < cell_count(b) && TYPE_OF(block::cells_of(b) + head) == TYPE_WORD && branch_call<Nested>(branch)) return;
    enter_block(branch);
}

// A block that read_block_conditional read as CONDITIONAL, run as
// enter_block runs it: its frame, the call as its one expression (no
// operator can follow it), the branch in the call's frame, entered here
// rather than through enter_branch. Its library mark is the running code's
// (checked there), and no tracer runs. `Nested`: read as NESTED.
template <bool Nested = false>
[[gnu::noinline]] void enter_conditional(const Cell* code_in, BlockConditional* bc) {
    Cell code = *code_in;
    CodeRestore restore;
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    if (!in_library) code_cell = code;
    budget::step();
    u32 next = conditional_frame(&bc->fn, &bc->word, &code, false, bc->call,
                                 [](const Cell* branch) { enter_branch_block<Nested>(branch); });
    if (exiting()) [[unlikely]] return;
    if (enabled()) fire_event(EVT_EXIT, &code, static_cast<i32>(clamp_tail(&code, next)), nullptr, stack::arguments);
    stack::unwind_last();
}

// A block of one conditional (see read_block_conditional) run as
// run_block_inline runs it: false, having done nothing, for any other.
// Out of line: what it reads stays out of its callers' machine frames,
// which function calls recur through.
[[gnu::noinline]] bool run_block_conditional(const Cell* code) {
    Cell v;
    BlockConditional bc;
    const BlockShape shape = read_block_conditional(code, 1, &bc, &v);
    if (shape == BlockShape::SIMPLE) {
        *stack::top++ = v;
        *stack::arguments = v;
        return true;
    }
    if (shape != BlockShape::CONDITIONAL) return false;
    enter_conditional(code, &bc);
    return true;
}

// A conditional's branch or a function body: one simple expression (see
// simple_code_value) or one conditional (see read_block_conditional) whose
// value goes where enter_block's frame would leave it (the frame's first
// cell, then the caller's result slot), else enter_block, or
// enter_conditional for a conditional of another branch.
[[gnu::always_inline]] inline void run_block_inline(const Cell* code) {
    if (TYPE_OF(code) == TYPE_BLOCK) {
        Cell v;
        if (simple_code_value(code, 1, &v)) {
            *stack::top++ = v;
            *stack::arguments = v;
            return;
        }
        if (run_block_conditional(code)) return;
    }
    enter_block(code);
}

// A paren's value `v`, pushed (sub) or made the frame result, as its frames leave it.
[[gnu::always_inline]] inline void paren_value(const Cell& v, bool sub) {
    Cell* start = stack::top;
    *start = v;
    if (sub) {
        stack::top = start + 1;
    } else {
        *stack::arguments = v;
        stack::top = stack::arguments + 1;
    }
}

// Machine stack that the generic evaluation of a paren of one call takes
// from eval_paren down to the call's own stack check: nearer the limit the
// paren goes the generic way, and raises the overflow where it does.
constexpr size_t PAREN_CALL_STACK = 16384;

// What follows the call that a paren starts with (at `next`), in the
// paren's frame over the call's value at `start`: the operators after it
// and the paren's other expressions, as eval_rest_in_frame goes on after
// the call's expression. Out of line: paren_call recurs with the calls.
[[gnu::noinline]] void paren_call_rest(Cell* code, Cell* start, u32 next, u32 tail) {
    next = expression_end(start, code, next, tail, false, false);
    if (exiting()) [[unlikely]] return;
    tail = clamp_tail(code, tail);
    if (next < tail) {
        stack::reset();
        eval_rest_in_frame(code, next, tail);
    } else if (enabled()) {
        fire_event(EVT_EXIT, code, static_cast<i32>(tail), nullptr, stack::arguments);
    }
}

// What follows a block's first call (`next`, its value at `start`, the
// block's frame open), then the frame closed as enter_block closes it.
[[gnu::noinline]] void block_call_rest(Cell* code, Cell* start, u32 next, u32 tail) {
    paren_call_rest(code, start, next, tail);
    if (exiting()) [[unlikely]] return;
    stack::unwind_last();
}
[[gnu::always_inline]] inline void block_call_end(Cell* code, Cell* start, u32 next, u32 tail) {
    if (exiting()) [[unlikely]] return;
    tail = clamp_tail(code, tail);
    if (next < tail) return block_call_rest(code, start, next, tail);
    if (enabled()) fire_event(EVT_EXIT, code, static_cast<i32>(tail), nullptr, stack::arguments);
    stack::unwind_last();
}

// A block's first call as read_word_call read it (`read`, its arguments
// laid out above `start`, the top left at `top`), made as enter_block and
// the lean call make it: the block's frame opened at `start`, the call's
// over it and its body run, then what follows the call (block_call_rest).
[[gnu::always_inline]] inline void block_call_framed(Cell* code, WordCall* call, BlockShape read, Cell* start, Cell* top,
                                         u32 tail) {
    CodeRestore restore;
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    if (!in_library) code_cell = *code;
    *start = call->fn;
    stack::top = start + 1;
    stack::mark_kind81(&call->word);
    stack::top = top;
    run_body(&call->fn, &call->body, read, &call->bc);
    if (exiting()) [[unlikely]] return;
    call_return(code, call->next, &call->word, false, false);
    block_call_end(code, start, call->next, tail);
}

// Whether the number operators after a call that needs no frames (from
// `next`) reach the paren's end, applied to its value `v` as infix_simple
// does. Out of line: paren_call keeps a small frame.
[[gnu::noinline]] bool simple_rest_q(const Cell* cells, u32 next, u32 tail, Cell* v) {
    u32 stop;
    return infix_simple(cells, next, tail, v, &stop) == tail;
}

// A paren that starts with a call of a function by word, read as the lean
// call reads it (read_word_call), without the paren's frames and the
// call's expression dispatch: a call that needs no frames, with any number
// operators after it that infix_simple does up to the paren's end, leaves
// its value where the paren's frames would (nothing in it can fail or be
// seen); any other has the paren's frames opened under its own, as
// eval_paren, enter_block and the lean call open them, runs its body, and
// goes on with what follows it (paren_call_rest). Takes the budget steps
// of the paren, its expression and the call, where none of them can find
// the budget spent. False, having changed nothing, for any other paren.
[[gnu::noinline]] bool paren_call(Cell* value, bool sub) {
    SeriesBuffer* b = block::buffer_of(value);
    const u32 head = series_head(value);
    const u32 tail = cell_count(b);
    const Cell* cells = block::cells_of(b);
    char probe;
    if (head >= tail || TYPE_OF(cells + head) != TYPE_WORD || ((b->flags & SERIES_LIBRARY) != 0) != in_library ||
        &probe < machine_stack::limit + PAREN_CALL_STACK || (budget::spent && budget::left <= 3))
        return false;
    Cell* start = stack::top;
    WordCall call;
    BlockShape read = read_word_call(cells, head, tail, 2, &call);
    if (read == BlockShape::UNREAD) return false;
    if (read == BlockShape::SIMPLE && call.next != tail && !simple_rest_q(cells, call.next, tail, &call.value)) {
        stack::top = start;
        return false;
    }
    budget::step();
    budget::step();
    budget::step();
    if (read == BlockShape::SIMPLE) {
        stack::top = start;
        paren_value(call.value, sub);
        return true;
    }
    Cell* top = stack::top;
    stack::top = start;
    Cell bw = body_word();
    stack::mark_kind82(&bw);
    // Nothing but the running code holds the paren, which the call may drop.
    Cell code = *value;
    collector::Guard code_hold(&code);
    block_call_framed(&code, &call, read, start, top, tail);
    if (exiting()) [[unlikely]] return true;
    if (sub) stack::unwind();
    else stack::unwind_last();
    return true;
}

// A conditional's branch that starts with a call of a function by word
// (`[f n - 1]`), entered as enter_block enters it less its expression's
// dispatch: a call read_word_call reads is laid out and its body read before
// the branch's frame opens, and one that needs no frames (with any number
// operators after it up to the branch's end) leaves its value where the
// branch's frame would; any other call of a function by word is made by the
// lean call in the branch's open frame. Takes the steps of the branch's
// expression and of the call, where neither can find the budget spent.
// False, having changed nothing, for any other branch. The branch starts
// with a word (enter_branch_block checked). `Nested`: its decoded form says
// the call's first argument is a call (see BlockShape::NESTED), which the
// read would decline: the lean call makes it without the read.
template <bool Nested>
[[gnu::noinline]] bool branch_call(const Cell* branch) {
    SeriesBuffer* b = block::buffer_of(branch);
    const u32 head = series_head(branch);
    const u32 tail = cell_count(b);
    const Cell* cells = block::cells_of(b);
    const Cell* fn;
    char probe;
    if (((b->flags & SERIES_LIBRARY) != 0) != in_library || !fast_paths_on() || !(fn = peek_word(cells + head)) || TYPE_OF(fn) != TYPE_FUNCTION ||
        &probe < machine_stack::limit + PAREN_CALL_STACK || (budget::spent && budget::left <= 2))
        return false;
    Cell* start = stack::top;
    WordCall call;
    BlockShape read = Nested ? BlockShape::UNREAD : read_word_call(cells, head, tail, 1, &call, fn);
    Cell* top = stack::top;
    stack::top = start;
    if (read == BlockShape::SIMPLE && (call.next == tail || simple_rest_q(cells, call.next, tail, &call.value))) {
        budget::steps(2);
        // As enter_block's frame leaves the value.
        *stack::top++ = call.value;
        *stack::arguments = call.value;
        return true;
    }
    Cell code = *branch;
    if (read != BlockShape::UNREAD) {
        budget::steps(2);
        block_call_framed(&code, &call, read, start, top, tail);
        return true;
    }
    // The lean call in the branch's frame, as eval_rest_in_frame makes its
    // first expression.
    CodeRestore restore;
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    if (!in_library) code_cell = code;
    budget::step();
    Cell w = cells[head];
    Cell f = *fn;
    u32 next = head + 1;
    if (!lean_unread_call(&f, &w, &code, &next, tail))
        next = eval_code_at(&f, &code, head + 1, tail, false, {.name = &w});
    block_call_end(&code, start, next, tail);
    return true;
}

// A function body read as CALL (one call by word, `bc` its word and the
// function it held when read), entered as enter_block enters it, its call
// made by the lean call at once, without the expression's dispatch, then
// what may follow it as eval_rest_in_frame goes on. Out of line: run_body
// stays small.
[[gnu::noinline]] void run_call_body(const Cell* body, BlockConditional* bc) {
    in_body_frame(body, [&](Cell* code) __attribute__((always_inline)) {
        const u32 head = series_head(code);
        const u32 tail = cell_count(block::buffer_of(code));
        Cell* start = stack::top;
        if (!in_library) code_cell = *code;
        budget::step();
        Cell w = bc->word;
        Cell f = bc->fn;
        u32 next = head + 1;
        if (!lean_word_call(&f, &w, code, &next, tail, false))
            next = eval_code_at(&f, code, head + 1, tail, false, {.name = &w});
        block_call_end(code, start, next, tail);
    });
}

// A paren: its block evaluated in a frame named <body>, the value pushed
// (sub) or made the frame result. One simple expression leaves its value
// where the two frames would, without them (see simple_code_value), and
// one call goes through paren_call.
void eval_paren(Cell* value, bool sub) {
    Cell v;
    if (simple_code_value(value, 2, &v)) {
        paren_value(v, sub);
        return;
    }
    if (fast_paths_on() && paren_call(value, sub)) return;
    Cell bw = body_word();
    stack::mark_kind82(&bw);
    if (fast_paths_on()) {
        // eval(value, true), inline: nothing but the running code holds the
        // paren, which it may drop.
        machine_stack::check();
        budget::step();
        Cell code = *value;
        collector::Guard code_hold(&code);
        enter_block(&code);
    } else {
        evaluate(value, true);
    }
    if (exiting()) [[unlikely]] return;
    if (sub) stack::unwind();
    else stack::unwind_last();
}

// How many paren operands are being read, one inside the other: a paren in
// one is read the same way down to PAREN_OPERAND_DEPTH levels, each with room
// for the frames the generic path would open for it; deeper ones are left to
// the generic path.
u32 paren_operand_depth = 0;
constexpr u32 PAREN_OPERAND_DEPTH = 4;

}  // namespace

namespace {

// A step of a walk through objects (see Field) looks its word up with no
// call out where the field is where one of its spelling was last found
// (see context::field_hint), as in records made alike, at any size.
[[gnu::always_inline]] inline bool find_in_object(const Cell* o, u32 sym, Field* f) {
    const node_t n = o->data1;
    Cell* ctx = context::TO_CTX(n);
    Cell* values = context::values_of(ctx);
    if (!values) return false;
    SeriesBuffer* wb = context::get_words(ctx);
    Cell* words = reinterpret_cast<Cell*>(wb->head());
    const u32 count = wb->used_bytes() / sizeof(Cell);
    i32 idx = context::hinted_index(words, count, sym);
    if (idx < 0 && (idx = context::find_word(ctx, static_cast<i32>(sym), true)) < 0) return false;
    f->slot = values + idx;
    f->word = words + idx;
    f->ctx = n;
    return true;
}

// The object `self` names in a path's head: the owner of the context the
// word is bound to, as context::get answers it; null for any other word.
[[gnu::noinline]] const Cell* self_owner(const Cell* w) {
    if (w->data3 != static_cast<u32>(-1) || !w->data1 || static_cast<i32>(w->data2) != words::self) return nullptr;
    return context::owner_of(w->data1);
}

// The value of a path's head word: a word's value, or the object `self`
// names in a method.
[[gnu::always_inline]] inline const Cell* path_head(const Cell* w) {
    const Cell* v = peek_word(w);
    return v ? v : self_owner(w);
}

// One step of a walk through objects: the field of object `o` (a value
// slot, null or not an object: no step) that the word `item` names.
[[gnu::always_inline]] inline bool field_step(const Cell* o, const Cell* item, Field* f) {
    return o && TYPE_OF(o) == TYPE_OBJECT && TYPE_OF(item) == TYPE_WORD && find_in_object(o, item->data2, f);
}

// The walk of a path of words through objects from its head: each item
// after the first a field of the object before it, the last field's value
// into *f. False for any other path. Out of line: the usual path of two
// words takes two_word_field's own steps.
[[gnu::noinline]] bool walk_fields(const Cell* path, Field* f) {
    SeriesBuffer* pb = block::buffer_of(path);
    const u32 head = series_head(path);
    const u32 len = cell_count(pb);
    if (len < head + 2) return false;
    const Cell* item = block::cells_of(pb) + head;
    const Cell* const last = item + (len - head - 1);
    if (TYPE_OF(item) != TYPE_WORD) return false;
    const Cell* o = path_head(item);
    do {
        if (!field_step(o, ++item, f)) return false;
        o = f->slot;
    } while (item != last);
    return true;
}

// What two_word_field made of a path: the field found, none (a path of two
// that is no field's, as a function's refinement), or a longer path, which
// is walk_fields' to read.
enum class PathFit { FIELD, NONE, LONGER };

// The field a path of two words names (see walk_fields), the usual
// record's field, with its steps inline; the path's length read once.
[[gnu::always_inline]] inline PathFit two_word_field(const Cell* path, Field* f) {
    SeriesBuffer* pb = block::buffer_of(path);
    const u32 head = series_head(path);
    const u32 count = cell_count(pb);
    if (count != head + 2) return count > head + 2 ? PathFit::LONGER : PathFit::NONE;
    const Cell* items = block::cells_of(pb) + head;
    return TYPE_OF(items) == TYPE_WORD && field_step(path_head(items), items + 1, f) ? PathFit::FIELD : PathFit::NONE;
}

// Whether a symbol is `self` in any case. The answer is kept by the
// symbol's low bits: a symbol's alias is fixed when it is interned, so an
// answer once found stands.
[[gnu::always_inline]] inline bool self_word_q(u32 sym) {
    static u32 not_self[256];
    u32& known = not_self[sym & 255];
    if (known == sym && sym) return false;
    static const i32 self_alias = hashtable::resolve_alias(words::self);
    if (static_cast<i32>(sym) == words::self || hashtable::resolve_alias(static_cast<i32>(sym)) == self_alias)
        return true;
    known = sym;
    return false;
}

// Whether a store into a field found is made in place: not into an object
// with a change handler, nor into `self` (the object itself), as the
// eval-path action refuses it.
[[gnu::always_inline]] inline bool storable_q(const Field& f) {
    const Cell* owner = context::owner_of(f.ctx);
    if (TYPE_OF(owner) != TYPE_UNSET && owner->data3 != 0) return false;
    // A shared word list is copied before it is marked: the general path does it.
    if (context::TO_CTX(f.ctx)->header & context::CTX_SHARED_WORDS) return false;
    return !self_word_q(f.word->data2);
}

[[gnu::always_inline]] inline bool store_in_field(const Field& f, const Cell* value) {
    if (!storable_q(f)) return false;
    put_field(f, value);
    return true;
}

// object_field and store_object_field for the paths of more words, apart:
// the usual path of two keeps a small frame.
[[gnu::noinline]] Cell* long_object_field(const Cell* path, node_t* ctx_out) {
    Field f;
    if (!walk_fields(path, &f)) return nullptr;
    *ctx_out = f.ctx;
    return f.slot;
}

[[gnu::noinline]] bool store_long_field(const Cell* path, const Cell* value) {
    Field f;
    return walk_fields(path, &f) && store_in_field(f, value);
}

[[gnu::noinline]] bool long_field_to_store(const Cell* path, Field* f) {
    return walk_fields(path, f) && storable_q(*f);
}

void put_field(const Field& f, const Cell* value) {
    f.word->header |= context::WORD_CHANGED;
    *f.slot = *value;
}

bool field_to_store(const Cell* path, Field* f, bool* two_words) {
    const PathFit fit = two_word_field(path, f);
    *two_words = fit == PathFit::FIELD;
    if (fit == PathFit::LONGER) return long_field_to_store(path, f);
    return *two_words && storable_q(*f);
}

}  // namespace

u32 frameless_set_path(const Cell* path, const Cell* cells, u32 pos, u32 tail, Cell* out) {
    // Nothing in a simple value nor in the store can fail, call anything,
    // allocate or be seen: no frame for it, where the frame could be
    // opened; and the field, found first, stays where it is, so that the
    // value reads the same field from it.
    Field f;
    bool two_words;
    if (stack::frame_top >= stack::frame_end || stack::top + 2 >= stack::end || !field_to_store(path, &f, &two_words))
        return 0;
    u32 stop;
    const u32 next = simple_value(cells, pos + 1, tail, out, &stop, {nullptr, f.slot, two_words ? path : nullptr});
    if (!next || TYPE_OF(out) == TYPE_UNSET) return 0;
    put_field(f, out);
    return next;
}

bool object_method(const Cell* items, const Cell* item, const Cell* last, const Cell* v, Cell* w, Cell* fn,
                   u32* ref_item) {
    if (!v) v = self_owner(item);
    Field f;
    while (item != last) {
        if (!field_step(v, ++item, &f)) return false;
        v = f.slot;
        if (function_type_q(TYPE_OF(v))) {
            *w = *item;
            *fn = *v;
            *ref_item = static_cast<u32>(item + 1 - items);
            return true;
        }
    }
    return false;
}

[[gnu::noinline]] bool store_object_word(const Cell* w, const Cell* value) {
    Cell* ctx;
    Cell* slot = context::peek_slot(w, &ctx);
    if (!slot || TYPE_OF(value) == TYPE_UNSET || context::kind_of(ctx) != context::KIND_OBJECT ||
        context::on_stack_q(ctx))
        return false;
    Field f{slot, reinterpret_cast<Cell*>(context::get_words(ctx)->head()) + w->data3, w->data1};
    return store_in_field(f, value);
}

bool store_object_field(const Cell* path, const Cell* value) {
    if (TYPE_OF(value) == TYPE_UNSET) return false;
    Field f;
    const PathFit fit = two_word_field(path, &f);
    if (fit == PathFit::LONGER) return store_long_field(path, value);
    return fit == PathFit::FIELD && store_in_field(f, value);
}

Cell* object_field(const Cell* path, node_t* ctx_out) {
    Field f;
    const PathFit fit = two_word_field(path, &f);
    if (fit != PathFit::FIELD) return fit == PathFit::LONGER ? long_object_field(path, ctx_out) : nullptr;
    *ctx_out = f.ctx;
    return f.slot;
}

bool simple_paren_value(const Cell* paren, Cell* out) { return simple_code_value(paren, 2, out); }

namespace {

// A paren operand inside another: out of line, the outermost one stays as
// lean as it was without nesting.
[[gnu::noinline]] bool nested_paren_operand(const Cell* paren, Cell* out) {
    char probe;
    if (paren_operand_depth == PAREN_OPERAND_DEPTH || &probe < machine_stack::limit + 16384) return false;
    struct Deeper {
        Deeper() { paren_operand_depth++; }
        ~Deeper() { paren_operand_depth--; }
    } deeper;
    return simple_code_value(paren, OPERATOR_ROOM * paren_operand_depth, out);
}

}  // namespace

bool paren_operand(const Cell* paren, Cell* out) {
    if (paren_operand_depth) return nested_paren_operand(paren, out);
    struct Outermost {
        Outermost() { paren_operand_depth = 1; }
        ~Outermost() { paren_operand_depth = 0; }
    } outermost;
    return simple_code_value(paren, OPERATOR_ROOM, out);
}

void run_block(const Cell* code) { run_block_inline(code); }

namespace {

// Cells [pos, tail) decoded as one expression (see DecodedExpr): false when
// they are not a word or plain literal, then operator words each with a word
// or a plain literal after it, within DECODED_OPS.
bool decode_expr(const Cell* cells, u32 pos, u32 tail, DecodedExpr* e) {
    if (pos >= tail || !((tail - pos) & 1) || (tail - pos) / 2 > DECODED_OPS) return false;
    const u32 first = TYPE_OF(cells + pos);
    if (first != TYPE_WORD && !plain_value_q(first)) return false;
    e->first = cells[pos];
    e->ops = 0;
    for (u32 i = pos + 1; i < tail; i += 2) {
        const u32 right = TYPE_OF(cells + i + 1);
        if (TYPE_OF(cells + i) != TYPE_WORD || (right != TYPE_WORD && !plain_value_q(right))) return false;
        e->op[e->ops] = cells[i];
        e->right[e->ops++] = cells[i + 1];
    }
    return true;
}

// Cells [pos, tail) decoded as an exit (see DecodedBody's GUARD): a word
// alone, or a word then one expression, the return of it.
bool decode_exit(const Cell* cells, u32 pos, u32 tail, DecodedBody& d, u32 i) {
    if (pos >= tail || TYPE_OF(cells + pos) != TYPE_WORD) return false;
    d.exit_word[i] = cells[pos];
    d.returns[i] = tail - pos > 1;
    d.branch_expr[i] = d.returns[i] && decode_expr(cells, pos + 1, tail, &d.branch[i]);
    return d.branch_expr[i] || !d.returns[i];
}

// The type of what a body's word held when the body was decoded, a hint to
// how its cells split into arguments: none for a word of a context whose
// values are on the stack (a function's, pointed at no call here).
u32 held_type_hint(const Cell* w) {
    if (!w->data1 || static_cast<i32>(w->data3) < 0 || context::on_stack_q(context::TO_CTX(w->data1)))
        return TYPE_NONE;
    const Cell* v = context::peek_slot(w);
    return v ? TYPE_OF(v) : TYPE_NONE;
}

// The plain parameters of a function! (`fn`) as its argument cache
// counts them, read from its spec: for a function never called yet, whose
// cache is not made. -1 where the cache would not be a lean one (a
// get-word or return parameter, or more than the lean call takes).
i32 spec_arity(const Cell* fn) {
    const node_t spec = function::spec_of(fn);
    if (!spec) return -1;
    SeriesBuffer* b = GET_BUFFER(spec);
    const Cell* items = reinterpret_cast<const Cell*>(b->head());
    u32 args = 0;
    for (u32 i = 0, n = b->length(); i < n; i++) {
        const u32 t = TYPE_OF(items + i);
        if (t == TYPE_REFINEMENT) break;
        if (t == TYPE_GET_WORD || t == TYPE_SET_WORD) return -1;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD) args++;
    }
    return args <= LEAN_MAX_ARGS ? static_cast<i32>(args) : -1;
}

// The plain arguments a word's function took when the body was decoded
// (see held_type_hint), or -1 where it held none whose arity is known.
i32 arity_hint(const Cell* w) {
    if (held_type_hint(w) != TYPE_FUNCTION) return -1;
    const Cell* fn = context::peek_slot(w);
    const Cell* cache = cache_cell(fn);
    if (!cache || TYPE_OF(cache) != TYPE_BLOCK) return spec_arity(fn);
    if (!(cache->data3 & SHAPE_LEAN)) return -1;
    return static_cast<i32>(cache->data3 & SHAPE_ARGS_MASK);
}

// Where an expression from `pos` of `cells` ends, before `n`: after its
// first operand and each word then holding an operator (see
// held_type_hint) with its operand.
u32 expression_end_hint(const Cell* cells, u32 pos, u32 n) {
    u32 stop = pos + 1;
    while (stop + 1 < n && TYPE_OF(cells + stop) == TYPE_WORD && held_type_hint(cells + stop) == TYPE_OP) stop += 2;
    return stop;
}

// Whether a word held a function value of any kind when the body was
// decoded (see held_type_hint): an expression it starts is a call.
bool call_hint_q(const Cell* c) {
    return TYPE_OF(c) == TYPE_WORD && function_type_q(held_type_hint(c));
}

// One statement of cells [pos, n) after a guard decoded into `st` (see
// DecodedStatement), its expressions from d.exprs[*exprs]: the position
// after it, or 0 where it is none of the statements decoded.
u32 decode_statement(DecodedBody& d, DecodedStatement& st, const Cell* cells, u32 pos, u32 n, u32* exprs) {
    if (n > 0xFFFF) return 0;
    st.at = static_cast<u16>(pos);
    st.sets = TYPE_OF(cells + pos) == TYPE_SET_WORD;
    if (st.sets) st.word = cells[pos++];
    if (pos >= n) return 0;
    st.first = static_cast<u8>(*exprs);
    const i32 arity = TYPE_OF(cells + pos) == TYPE_WORD ? arity_hint(cells + pos) : -1;
    u32 parts = 1, end = n;
    st.kind = StatementKind::EXPR;
    if (arity >= 0) {
        st.kind = StatementKind::CALL;
        st.fn_word = cells[pos++];
        st.args = static_cast<u8>(arity);
        parts = st.args;
    } else if (!st.sets && TYPE_OF(cells + pos) == TYPE_WORD && held_type_hint(cells + pos) == TYPE_NATIVE) {
        // `if cond [...]`: its condition is the cells up to its block.
        st.kind = StatementKind::GUARD;
        st.fn_word = cells[pos++];
        end = pos;
        while (end < n && TYPE_OF(cells + end) != TYPE_BLOCK) end++;
        if (end >= n) return 0;
    }
    for (u32 k = 0; k < parts; k++) {
        if (pos >= n || call_hint_q(cells + pos)) return 0;
        const u32 stop = st.kind == StatementKind::GUARD ? end : expression_end_hint(cells, pos, n);
        if (*exprs == DECODED_EXPRS || !decode_expr(cells, pos, stop, &d.exprs[(*exprs)++])) return 0;
        pos = stop;
    }
    return st.kind == StatementKind::GUARD ? pos + 1 : pos;
}

// The leading statements of cells [pos, n) after a guard that
// decode_statement decodes, into d.statement, up to d.rest_end.
void decode_rest(DecodedBody& d, const Cell* cells, u32 pos, u32 n) {
    u32 count = 0, exprs = 0;
    while (pos < n && count < DECODED_STATEMENTS) {
        const u32 used = exprs;
        const u32 next = decode_statement(d, d.statement[count], cells, pos, n, &exprs);
        if (!next) {
            exprs = used;
            break;
        }
        d.statement[count++].end = static_cast<u16>(next);
        pos = next;
    }
    d.statements = static_cast<u8>(count);
    d.rest_end = pos;
}

// A body of `n` cells led by a word and not ended by a block, decoded as a
// guard where it is one (see DecodedBody).
bool decode_guard(DecodedBody& d, const Cell* cells, u32 n) {
    u32 at = 1;
    while (at < n && TYPE_OF(cells + at) != TYPE_BLOCK) at++;
    if (at + 1 >= n || !decode_expr(cells, 1, at, &d.expr)) return false;
    SeriesBuffer* bb = block::buffer_of(cells + at);
    if (((bb->flags & SERIES_LIBRARY) != 0) != d.library ||
        !decode_exit(block::cells_of(bb), series_head(cells + at), cell_count(bb), d, 0))
        return false;
    memory::note_decoded(bb);
    // The last expression: one, the return of one, or a store of one, if
    // the read makes it; else the statements after the guard (`rest`), which
    // then run in the body's frame.
    d.rest = at + 1;
    d.stores = TYPE_OF(cells + at + 1) == TYPE_SET_WORD;
    if (d.stores || ((n - at - 1) & 1)) {
        d.returns[1] = false;
        d.branch_expr[1] = decode_expr(cells, at + 1 + d.stores, n, &d.branch[1]);
        if (d.branch_expr[1]) d.store_word = cells[at + 1];
    } else {
        d.branch_expr[1] = decode_exit(cells, at + 1, n, d, 1) && d.returns[1];
    }
    if (!d.branch_expr[1]) {
        d.returns[1] = false;
        d.stores = false;
    }
    // The statements apart as well: a store decoded above may hold a call
    // its run declines.
    decode_rest(d, cells, at + 1, n);
    d.word = cells[0];
    d.blocks = 1;
    d.form = BodyForm::GUARD;
    return true;
}

// Whether `n` cells from `cells` are all arguments a call by word may take
// at once: words, get-words and plain literals (a word that holds a
// function or operator is turned away when the call is made).
bool call_args_q(const Cell* cells, u32 n) {
    if (n > LEAN_MAX_ARGS) return false;
    for (const Cell* c = cells; c < cells + n; c++) {
        const u32 t = TYPE_OF(c);
        if (t != TYPE_WORD && t != TYPE_GET_WORD && !plain_value_q(t)) return false;
    }
    return true;
}

// Reads a function body's cells into its decoded form: NONE for a body
// read_body could not take as one of the decoded forms.
[[gnu::noinline]] void decode_body(DecodedBody& d, const Cell* body) {
    d.form = BodyForm::NONE;
    d.framed = false;
    d.call = false;
    if (TYPE_OF(body) != TYPE_BLOCK) return;
    SeriesBuffer* b = block::buffer_of(body);
    const u32 head = series_head(body);
    const u32 tail = cell_count(b);
    if (head >= tail) return;
    d.library = (b->flags & SERIES_LIBRARY) != 0;
    const Cell* cells = block::cells_of(b) + head;
    const u32 n = tail - head;
    d.node = series_node(body);
    d.head = head;
    memory::note_decoded(b);
    // As read_body: a body led by a word and ended by a block can only be
    // a conditional. `either` has two blocks, `if` one: the native the
    // word holds says at each run which it is.
    if (TYPE_OF(cells) == TYPE_WORD && TYPE_OF(cells + n - 1) == TYPE_BLOCK) {
        const u32 blocks = n >= 4 && TYPE_OF(cells + n - 2) == TYPE_BLOCK ? 2 : 1;
        if (!decode_expr(cells, 1, n - blocks, &d.expr)) return;
        for (u32 i = 0; i < blocks; i++) {
            const Cell* branch = cells + n - blocks + i;
            SeriesBuffer* bb = block::buffer_of(branch);
            if (((bb->flags & SERIES_LIBRARY) != 0) != d.library) return;
            memory::note_decoded(bb);
            const u32 bh = series_head(branch), bt = cell_count(bb);
            d.branch_expr[i] = bh < bt && decode_expr(block::cells_of(bb), bh, bt, &d.branch[i]);
            d.branch_odd[i] = bh < bt && ((bt - bh) & 1);
            d.branch_call[i] = bh < bt && call_hint_q(block::cells_of(bb) + bh);
            d.branch_nested[i] = d.branch_call[i] && bh + 1 < bt &&
                                 TYPE_OF(block::cells_of(bb) + bh + 1) == TYPE_WORD &&
                                 held_type_hint(block::cells_of(bb) + bh + 1) == TYPE_FUNCTION;
        }
        d.word = cells[0];
        d.blocks = static_cast<u8>(blocks);
        d.blocks_at = static_cast<u8>(n - blocks);
        d.form = BodyForm::CONDITIONAL;
        return;
    }
    if (TYPE_OF(cells) == TYPE_WORD && n >= 4 && decode_guard(d, cells, n)) return;
    if (decode_expr(cells, 0, n, &d.expr)) d.form = BodyForm::EXPR;
    if (TYPE_OF(cells) == TYPE_WORD && n >= 2 && call_args_q(cells + 1, n - 1)) {
        d.call = true;
        d.word = cells[0];
        if (d.form == BodyForm::NONE) d.form = BodyForm::CALL;
    }
    // read_cells reads no value from a body whose first cell starts no
    // simple expression, return or conditional (a set-word, a paren...).
    const u32 first = TYPE_OF(cells);
    d.framed = first != TYPE_WORD && first != TYPE_PATH && !plain_value_q(first);
}

#ifdef ZAV_STAMP_CHECK
bool same_expr(const DecodedExpr& a, const DecodedExpr& b) {
    if (a.ops != b.ops || !same_cell(&a.first, &b.first)) return false;
    for (u32 i = 0; i < a.ops; i++)
        if (!same_cell(a.op + i, b.op + i) || !same_cell(a.right + i, b.right + i)) return false;
    return true;
}

// Aborts where the body no longer decodes to what the epoch calls valid.
void check_decoded(const DecodedBody& d, const Cell* body) {
    DecodedBody now;
    decode_body(now, body);
    // A one-call reading turned off by the word's value (read_call).
    if (now.call && !d.call) {
        now.call = false;
        if (now.form == BodyForm::CALL) now.form = BodyForm::NONE;
    }
    bool same = now.form == d.form && now.library == d.library && now.call == d.call &&
                (!d.call || same_cell(&now.word, &d.word));
    if (same && d.form == BodyForm::EXPR) same = same_expr(now.expr, d.expr);
    if (same && d.form == BodyForm::CONDITIONAL) {
        same = same_cell(&now.word, &d.word) && now.blocks == d.blocks && now.blocks_at == d.blocks_at &&
               same_expr(now.expr, d.expr);
        for (u32 i = 0; same && i < d.blocks; i++)
            same = now.branch_expr[i] == d.branch_expr[i] && now.branch_odd[i] == d.branch_odd[i] &&
                   (!d.branch_expr[i] || same_expr(now.branch[i], d.branch[i]));
    }
    if (same && d.form == BodyForm::GUARD) {
        same = same_cell(&now.word, &d.word) && same_expr(now.expr, d.expr) && now.rest == d.rest;
        for (u32 i = 0; same && i < 2; i++)
            same = now.returns[i] == d.returns[i] && now.branch_expr[i] == d.branch_expr[i] &&
                   (!d.branch_expr[i] || same_expr(now.branch[i], d.branch[i])) &&
                   (i == 1 && !d.returns[1] ? true : same_cell(now.exit_word + i, d.exit_word + i));
        same = same && now.stores == d.stores && (!d.stores || same_cell(&now.store_word, &d.store_word));
        // Where statements end hangs on what the words held, which the run
        // checks again: the statements are compared while both decodings
        // read them alike.
        const u32 both = now.statements < d.statements ? now.statements : d.statements;
        for (u32 i = 0; same && i < both; i++) {
            const DecodedStatement &a = now.statement[i], &b = d.statement[i];
            if (a.at != b.at || a.end != b.end || a.kind != b.kind || a.args != b.args) break;
            same = a.sets == b.sets && (!a.sets || same_cell(&a.word, &b.word));
            if (same && a.kind != StatementKind::EXPR) same = same_cell(&a.fn_word, &b.fn_word);
            for (u32 k = 0; same && k < (a.kind == StatementKind::CALL ? a.args : 1u); k++)
                same = same_expr(now.exprs[a.first + k], d.exprs[b.first + k]);
        }
    }
    if (same) return;
    std::fprintf(stderr, "zav: a function body's decoded form outlived a write to its cells\n");
    std::abort();
}
#endif

// A decoded expression's value over the body's arguments, as simple_value
// makes it: false where simple_value would make none here (a word unset or
// holding a function, an operator it does not do, a number operation it
// declines) or might make it by another way (a native called by word).
[[gnu::always_inline]] inline bool run_expr(const DecodedExpr& e, const BodyArgs* args, Cell* out) {
    const Cell* c = &e.first;
    if (TYPE_OF(c) == TYPE_WORD && (!(c = peek_known(c, args)) || !held_value_q(TYPE_OF(c)))) return false;
    Cell v = *c;
    for (u32 i = 0; i < e.ops; i++) {
        const Cell* op = peek_known(e.op + i, args);
        FastOp kind;
        if (!op || TYPE_OF(op) != TYPE_OP || (kind = fast_op_of(op)) == FAST_NONE) return false;
        const Cell* right = e.right + i;
        if (TYPE_OF(right) == TYPE_WORD && !(right = peek_known(right, args))) return false;
        if (!fast_compute(kind, &v, right)) return false;
    }
    *out = v;
    return true;
}

// The function's value from a GUARD body: by its branch's exit (i = 0, the
// guard's condition true) or its last expression (i = 1), where the exit's
// word holds `exit` or `return` (with the native's own spec) as decoded and
// the expression has its value as run_expr makes it, and a store of it is
// one fast_set_word would make in place; false, having stored nothing, for
// any other. The store's word is none of the function's own: its arguments
// are where `args` says, apart from the context's slots (a context off the
// stack, pointed at them for the read, is not told apart: none is taken).
[[gnu::always_inline]] inline bool guard_value(const DecodedBody& d, u32 i, const BodyArgs& args, Cell* out) {
    if (i == 1 && !d.returns[1]) {
        if (!d.branch_expr[1] || !run_expr(d.branch[1], &args, out)) return false;
        if (!d.stores) return true;
        Cell* slot;
        if (args.ctx == NO_CONTEXT || d.store_word.data1 == args.ctx || !(slot = context::plain_slot(&d.store_word))) return false;
        *slot = *out;
        return true;
    }
    const Cell* fn = peek_known(d.exit_word + i, &args);
    if (!fn || TYPE_OF(fn) != TYPE_NATIVE ||
        native::entry_of(fn) != (d.returns[i] ? natives::N_RETURN : natives::N_EXIT))
        return false;
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != d.returns[i]) return false;
    if (!d.returns[i]) {
        make_cell(out, TYPE_UNSET);
        return true;
    }
    return run_expr(d.branch[i], &args, out) && (rec->type_bits[0] >> TYPE_OF(out) & 1);
}

// read_decoded of a GUARD body: SIMPLE, its value in *out, where its
// conditional's word holds `if` or `unless` and guard_value makes the value;
// else, the guard not taken, REST: the statements after it run in the
// body's frame (from bc->call.next), with the steps the guard's expression
// and call take. Out of line: the other forms' reading stays as small as it was.
[[gnu::noinline]] BlockShape read_guard(const DecodedBody& d, const BodyArgs& args, BlockConditional* bc, Cell* out) {
    const Cell* fn = peek_known(&d.word, &args);
    u32 index;
    Cell cond;
    if (!fn || TYPE_OF(fn) != TYPE_NATIVE ||
        ((index = native::entry_of(fn)) != natives::N_IF && index != natives::N_UNLESS) ||
        !conditional_known_q(fn, index) || !run_expr(d.expr, &args, &cond))
        return BlockShape::UNREAD;
    const u32 taken = logic::is_true(&cond) != (index == natives::N_UNLESS) ? 0 : 1;
    if (guard_value(d, taken, args, out)) return BlockShape::SIMPLE;
    if (!taken) return BlockShape::UNREAD;
    budget::steps(2);
    bc->call.next = d.head + d.rest;
    return BlockShape::REST;
}

// A body that may be one call by word (DecodedBody's `call`): CALL where
// its word holds a function, a routine, or a native or action that
// read_cells would read no value from, none that it may (a number
// operator's, a number test, `any` or `all`, a series reader in the
// caller's scope), nor an exit or a conditional; else UNREAD.
// The word and its value go to `bc` for run_call_body: nothing runs between.
// A body whose word holds anything else is read as it was before it was
// decoded from then on, until its cells change: most such words hold the
// same value at every call.
// Out of line: the other forms' reading keeps its registers.
[[gnu::noinline]] BlockShape read_call(DecodedBody& d, const BodyArgs& args, BlockConditional* bc, bool same_scope) {
    const Cell* fn = peek_known(&d.word, &args);
    u32 type, index;
    if (!fn) return BlockShape::UNREAD;
    // A series reader reads as a simple value in the caller's scope: left
    // to read_cells there, and still taken from the other.
    if (same_scope && series_reader_q(fn)) return BlockShape::UNREAD;
    if (!function_type_q(type = TYPE_OF(fn)) ||
        (builtin_q(type) &&
         (fast_op_for(type, index = native::entry_of(fn)) != FAST_NONE || number_test_q(fn) ||
          (type == TYPE_NATIVE && (any_all_native_q(fn) || conditional_index_q(index) ||
                                   index - natives::N_BREAK <= natives::N_RETURN - natives::N_BREAK))))) {
        d.call = false;
        if (d.form == BodyForm::CALL) d.form = BodyForm::NONE;
        return BlockShape::UNREAD;
    }
    bc->word = d.word;
    bc->fn = *fn;
    return BlockShape::CALL;
}

// read_body from the function's decoded body, the function's context (on
// the stack) not pointing at the arguments: what read_body answers where
// the decoded form can say it, else UNREAD (read_body then reads the
// cells). What a body's words hold is looked up at every run, as read_body
// does.
[[gnu::always_inline]] inline BlockShape read_decoded(const CallRecord* rec, const Cell* body, const BodyArgs& args,
                                                     BlockConditional* bc, Cell* out) {
    DecodedBody& d = rec->decoded;
    if (!decoded_current_q(d, body)) [[unlikely]] {
        decode_body(d, body);
        d.epoch = memory::buffer_epoch;
        if (d.form == BodyForm::NONE) return BlockShape::UNREAD;
    } else {
#ifdef ZAV_STAMP_CHECK
        check_decoded(d, body);
#endif
    }
    if (!fast_paths_on()) return BlockShape::UNREAD;
    // A body of the other scope is read as one call only.
    if (d.library != in_library) [[unlikely]]
        return d.call && d.form != BodyForm::CONDITIONAL ? read_call(d, args, bc, false) : BlockShape::UNREAD;
    // One test of the form on the conditional's way, as before guards.
    if (d.form != BodyForm::CONDITIONAL) {
        if (d.form == BodyForm::GUARD) return read_guard(d, args, bc, out);
        if (d.form == BodyForm::EXPR && run_expr(d.expr, &args, out)) return BlockShape::SIMPLE;
        return d.call ? read_call(d, args, bc, true) : BlockShape::UNREAD;
    }
    const Cell* fn = peek_known(&d.word, &args);
    if (!fn || TYPE_OF(fn) != TYPE_NATIVE) return BlockShape::UNREAD;
    const u32 index = native::entry_of(fn);
    if (index != (d.blocks == 2 ? natives::N_EITHER : natives::N_IF) || !conditional_known_q(fn, index))
        return BlockShape::UNREAD;
    Conditional& c = bc->call;
    if (!run_expr(d.expr, &args, &c.cond)) return BlockShape::UNREAD;
    const u32 head = series_head(body);
    c.blocks = block::cells_of(block::buffer_of(body)) + head + d.blocks_at;
    c.count = d.blocks;
    c.next = cell_count(block::buffer_of(body));
    const u32 taken = logic::is_true(&c.cond) ? 0 : 1;
    c.branch = taken < d.blocks ? c.blocks + taken : nullptr;
    if (!c.branch) {
        make_cell(out, TYPE_NONE);
        return BlockShape::SIMPLE;
    }
    if (d.branch_expr[taken] && run_expr(d.branch[taken], &args, out)) return BlockShape::SIMPLE;
    // simple_code_value turns a branch of an even count away unread: the
    // context is pointed at the arguments only for one it reads.
    // A branch led by a word holding a function is a call, never simple:
    // turned away before the context is pointed at the arguments.
    if (d.branch_odd[taken] && !d.branch_call[taken]) {
        const u32 saved = args_in_context(args);
        const bool simple = simple_code_value(c.branch, 4, out, {Room::KNOWN, &args});
        args_out_of_context(args, saved);
        if (simple) return BlockShape::SIMPLE;
    }
    bc->word = d.word;
    bc->fn = *fn;
    // NESTED follows CONDITIONAL: one addition chooses.
    static_assert(static_cast<int>(BlockShape::NESTED) == static_cast<int>(BlockShape::CONDITIONAL) + 1);
    return static_cast<BlockShape>(static_cast<int>(BlockShape::CONDITIONAL) + d.branch_nested[taken]);
}


// What simple_code_value, then read_block_conditional, make of the body,
// its buffer read once, its function's context pointing at the arguments:
// a body led by a word holding a native and ending with a block can only
// be a conditional (a number operator's native called by word takes no
// block), any other only simple. The callers (read_frameless) made sure of
// room for the conditional's frames and cells above the function's two: no
// room is asked again. The words of its arguments are found without their
// context.
[[gnu::always_inline]] inline BlockShape read_cells(const Cell* body, const BodyArgs& args, BlockConditional* bc,
                                                  Cell* out) {
    if (TYPE_OF(body) != TYPE_BLOCK) return BlockShape::UNREAD;
    SeriesBuffer* b = block::buffer_of(body);
    const u32 head = series_head(body);
    const u32 tail = cell_count(b);
    if (head >= tail || ((b->flags & SERIES_LIBRARY) != 0) != in_library) return BlockShape::OTHER;
    const Cell* cells = block::cells_of(b);
    // A conditional's call ends with its (last) branch: the first word is
    // looked up only then.
    if (TYPE_OF(cells + head) == TYPE_WORD && TYPE_OF(cells + tail - 1) == TYPE_BLOCK) {
        const Cell* fn = peek_word(cells + head);
        if (!fn) return BlockShape::OTHER;
        if (TYPE_OF(fn) == TYPE_NATIVE)
            return read_conditional_shape(fn, cells, head, tail, 2, bc, out, {Room::KNOWN, &args});
    }
    const Known k{Room::KNOWN, &args};
    // A simple expression has an odd count of cells, its return an even one.
    if (!((tail - head) & 1))
        return fast_paths_on() && body_return_value(cells, head, tail, out, k) ? BlockShape::SIMPLE : BlockShape::OTHER;
    return simple_code_value(body, 2, out, k) ? BlockShape::SIMPLE : BlockShape::OTHER;
}

// Runs `read` over the arguments laid from `a` as a body of `fn` reads
// them: through the function's context, pointed at them only when a read
// needs it (BodyArgs) where its values are on the stack, else at once.
template <class Read>
[[gnu::always_inline]] inline BlockShape over_args(const Cell* fn, const Cell* a, Read read) {
    const node_t ctx_node = function::ctx_of(fn);
    Cell* ctx = context::TO_CTX(ctx_node);
    if (context::on_stack_q(ctx)) [[likely]] return read(BodyArgs{ctx_node, a, ctx});
    const u32 saved_values = ctx->data2;
    ctx->data2 = off_of(a);
    const BlockShape shape = read(BodyArgs{NO_CONTEXT, a});
    ctx->data2 = saved_values;
    return shape;
}

}  // namespace

BlockShape read_body_cells(const Cell* fn, const Cell* a, const Cell* body, BlockConditional* bc, Cell* out) {
    return over_args(fn, a, [&](const BodyArgs& args) __attribute__((always_inline)) {
        const u32 saved = args_in_context(args);
        const BlockShape read = read_cells(body, args, bc, out);
        args_out_of_context(args, saved);
        return read;
    });
}

BlockShape read_body_decoded(const CallRecord* rec, const Cell* fn, const Cell* a, const Cell* body,
                             BlockConditional* bc, Cell* out) {
    const BlockShape read = over_args(fn, a, [&](const BodyArgs& args) __attribute__((always_inline)) {
        return read_decoded(rec, body, args, bc, out);
    });
    return read != BlockShape::UNREAD ? read : read_body_cells(fn, a, body, bc, out);
}

BodyForm decode_record_body(const CallRecord* rec) {
    DecodedBody& d = rec->decoded;
    if (!decoded_current_q(d, &rec->body)) {
        decode_body(d, &rec->body);
        d.epoch = memory::buffer_epoch;
    }
    return d.form;
}

bool read_simple_branch(const Cell* code, u32 frames, Cell* out, bool room) {
    BlockConditional bc;
    return simple_code_value(code, frames, out, {room ? Room::KNOWN : Room::CHECK}) ||
           read_block_conditional(code, frames, &bc, out) == BlockShape::SIMPLE;
}

void enter_branch(const Cell* code) { enter_branch_block(code); }

u32 eval_next(Cell* code, u32 pos, u32 tail, bool sub) {
    CodeScope scope(code);
    Cell bw = body_word();
    stack::mark_kind82(&bw);
    pos = eval_expression(code, pos, tail, {});
    if (exiting()) [[unlikely]] return pos;
    if (sub) stack::unwind();
    else stack::unwind_last();
    return pos;
}

i32 do_next_index(Cell* code_in) {
    Cell code = *code_in;
    collector::Guard guard(&code);
    u32 head = series_head(&code);
    u32 tail = live_tail(&code);
    if (head >= tail) {
        make_cell(stack::arguments, TYPE_UNSET);
        stack::top = stack::arguments + 1;
        return static_cast<i32>(head);
    }
    CodeRestore restore;
    CodeScope scope(&code);
    if (!in_library) code_cell = code;
    stack::top = stack::arguments;
    u32 pos = eval_next(&code, head, tail, false);
    if (exiting()) [[unlikely]] return static_cast<i32>(pos);
    stack::top = stack::arguments + 1;
    return static_cast<i32>(pos);
}

// ---- paths -------------------------------------------------------------------------


u32 eval_path_at(Cell* path_in, Cell* code, u32 pos, u32 tail, PathAccess access, bool sub, bool case_) {
    const bool set = access == PathAccess::SET, get = access == PathAccess::GET;
    struct {
        Cell value;
    } path{*path_in};
    collector::Guard path_hold(&path.value);
    Cell* p = &path.value;
    u32 len = block::buffer_of(p)->length();
    u32 head = series_head(p);
    if (head >= len) fire("script", "empty-path");
    Cell first = *code_at(p, head);
    if (TYPE_OF(&first) != TYPE_WORD) fire("script", "word-first", p);
    if (enabled()) {
        fire_event(EVT_ENTER, p, static_cast<i32>(head), nullptr, nullptr);
        fire_event(EVT_FETCH, p, static_cast<i32>(head), nullptr, &first);
    }
    Cell* base = stack::top;
    // The value to store is the running frame's first cell for a set-path.
    Cell set_value;
    if (set) set_value = *stack::arguments;
    Cell cur = *context::get(&first);
    // A paren later in the path may drop every other reference to it.
    collector::Guard cur_hold(&cur);
    if (TYPE_OF(&cur) == TYPE_UNSET) fire("script", "unset-path", p, &first);
    if (function_type_q(TYPE_OF(&cur))) {
        if (set) fire("script", "invalid-path-set", p);
        if (get) fire("script", "invalid-path-get", p);
        u32 next = eval_code_at(&cur, code, pos + 1, tail, true, {.path = p, .ref_item = head + 1, .name = &first});
        if (exiting()) [[unlikely]] return next;
        if (!sub) stack::set_last_reset(stack::top - 1);
        return next;
    }
    Cell parent = first;
    collector::Guard parent_hold(&parent);
    Cell parent_item = first;  // the item that reached `cur`, named when its type has no path step
    collector::Guard parent_item_hold(&parent_item);
    u32 steps = 0;  // (value, item) pairs pushed from `base` by a set-path
    for (u32 i = head + 1; i < len; i++) {
        Cell item = *code_at(p, i);
        switch (TYPE_OF(&item)) {
            case TYPE_GET_WORD:
                item = *context::get(&item);
                break;
            case TYPE_PAREN: {
                Cell bw = body_word();
                stack::mark_kind82(&bw);
                evaluate(&item, true);
                if (exiting()) [[unlikely]] return pos + 1;
                stack::unwind();
                item = stack::top[-1];
                stack::top--;
                break;
            }
            default:
                break;
        }
        bool last = i + 1 == len;
        if (set && last) {
            // The step's error goes on pending, as a native's does.
            errors_pending([&] {
                actions::eval_path_dispatch(&cur, &item, &set_value, p, case_, &parent, &parent_item, 0, false, true,
                                            true);
            });
            if (exiting()) [[unlikely]] return pos + 1;
            // An immediate value was changed in a copy: put it back where it came from.
            if (immediate_q(TYPE_OF(&cur)))
                actions::store_path_back(&cur, base, steps, &first, p, case_);
            cur = set_value;
            break;
        }
        if (set) {
            // Where each step's value came from, for storing a changed immediate back.
            stack::push(&cur);
            stack::push(&item);
            steps++;
        }
        Cell* saved_top = stack::top;
        Cell* r = nullptr;
        errors_pending([&] {
            r = actions::eval_path_dispatch(&cur, &item, nullptr, p, case_, &parent, &parent_item, 0, get, last, true);
        });
        if (exiting()) [[unlikely]] return pos + 1;
        Cell nv = *r;
        stack::top = saved_top;
        if (TYPE_OF(&nv) == TYPE_UNSET && !(get && last)) [[unlikely]] {
            fire_pending("script", "invalid-path", p, &item);
            return pos + 1;
        }
        Cell owner = cur;
        parent = cur;
        parent_item = item;
        cur = nv;
        if (!get && !set && function_type_q(TYPE_OF(&cur))) {
            // A function reached through the path (an object's method): the
            // remaining items are its refinements.
            Cell name = item;
            if (TYPE_OF(&name) < TYPE_WORD || TYPE_OF(&name) > TYPE_REFINEMENT) word_of(&name, words::_anon);
            // Through a block or a map as through an object: the lean call
            // where it takes the call.
            u32 next = pos + 1;
            if (!fast_paths_on() || !lean_path_call(&cur, &name, code, &next, tail, p, i + 1))
                next = eval_code_at(&cur, code, pos + 1, tail, true,
                                        {.path = p,
                                         .ref_item = i + 1,
                                         .name = &name,
                                         .owner = TYPE_OF(&owner) == TYPE_OBJECT ? &owner : nullptr});
            if (exiting()) [[unlikely]] return next;
            if (!sub) stack::set_last_reset(stack::top - 1);
            return next;
        }
    }
    if (enabled()) fire_event(EVT_EXIT, p, static_cast<i32>(len), nullptr, &cur);
    stack::top = base;
    if (set) {
        // The frame region holds the stored value: it is the result.
        return pos + 1;
    }
    push_value(&cur, sub);
    return pos + 1;
}

// ---- calls ----------------------------------------------------------------------------

namespace {

// Keeps and restores the enabled flag of the trace state.
struct EnabledRestore {
    bool saved = trace.enabled;
    ~EnabledRestore() { trace.enabled = saved; }
};

}  // namespace


// ---- function bodies ------------------------------------------------------------

namespace {

// Runs `body` in the open frame of a call of the function of context `ctx`:
// the function's values are the frame's arguments meanwhile, and the frame
// is marked as its body's. False where a return or exit ended the body.
template <class Body>
[[gnu::always_inline]] inline bool in_function_body(node_t ctx, Body body) {
    Cell* c = context::TO_CTX(ctx);
    u32 saved_values = c->data2;
    c->data2 = off_of(stack::arguments);
    CallFrame* me = stack::frame_top - 1;
    me->header |= FRAME_BODY;
    CallerScope caller_scope;
    try {
        body();
    } catch (Throw& t) {
        trace.enabled = false;
        me->header &= ~FRAME_BODY;
        context::TO_CTX(ctx)->data2 = saved_values;
        if (t.value != THROW_RETURN && t.value != THROW_EXIT) throw;
        return false;
    }
    trace.enabled = false;
    me->header &= ~FRAME_BODY;
    context::TO_CTX(ctx)->data2 = saved_values;
    if (exiting()) [[unlikely]] {
        // A return or exit stops here, its value in place already.
        if (stack::pending == THROW_RETURN || stack::pending == THROW_EXIT) stack::pending = 0;
        return false;
    }
    return true;
}

}  // namespace

// exec_body for the untraced call (no trace started: nothing to deliver and
// no function's trace flags to honour), with the same frame and context
// handling: the function's values point at the call's arguments while the
// body runs.
namespace {

// Whether the decoded form `d` still describes the body at `node` and `head`.
[[gnu::always_inline]] inline bool rest_current(const DecodedBody& d, node_t node, u32 head) {
    return d.form == BodyForm::GUARD && d.statements && d.epoch == memory::buffer_epoch && d.node == node &&
           d.head == head;
}

// A decoded statement that calls a function (see DecodedStatement), at
// `pos` of `code` and ending at `next`, made as the lean call makes it in
// a set-word's frame, less the dispatch: its arguments laid from their
// decoded expressions, the callee's body read before its frames open; one
// that needs none stores its value at once. False, having done nothing
// that counts, where the word holds no function of the arity decoded, an
// argument is not what its expression was decoded as, or the lean call
// would not take the call: the statement then runs as any other.
[[gnu::always_inline]] inline bool run_call_statement(const DecodedBody& d, const DecodedStatement& st,
                                                      const BodyArgs& args, Cell* code, u32 pos, u32 next,
                                                      node_t node, u32 head, const CallRecord* owner) {
    const Cell* f = peek_known(&st.fn_word, &args);
    if (!f || TYPE_OF(f) != TYPE_FUNCTION) return false;
    Cell fn = *f;
    // Making the callee's record anew in the slot of the record `d` is in
    // unmakes `d` (make_record).
    const CallRecord* rec = call_record(&fn, TYPE_FUNCTION);
    if (!rec || !rec->frameless || (rec->shape & SHAPE_ARGS_MASK) != st.args ||
        (rec == owner && d.form != BodyForm::GUARD))
        return false;
    // The set-word's and the call's frames, the set-word and the function
    // value under the arguments, as the lean call lays them.
    const bool sets = st.sets;
    const u32 lead = sets ? 2 : 1;
    Cell* const start = stack::top;
    Cell* const a = start + lead;
    if (a + laid_cells(rec) + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + lead + 1 + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    for (u32 k = 0; k < st.args; k++)
        if (!run_expr(d.exprs[st.first + k], &args, a + k) || !(rec->type_bits[k] >> TYPE_OF(a + k) & 1))
            return false;
    stack::top = lay_unnamed_slots(rec, a + st.args);
    // Reading the body may decode the callee's into the slot `d` is in.
    Cell w = st.word, fw = st.fn_word;
    Cell body;
    BlockConditional bc;
    Cell v;
    const BlockShape read = read_body(rec, &fn, a, &body, &bc, &v);
    if (read == BlockShape::UNREAD || (read == BlockShape::SIMPLE && sets && TYPE_OF(&v) == TYPE_UNSET)) {
        stack::top = start;
        return false;
    }
    if (read == BlockShape::SIMPLE) {
        Cell* slot = nullptr;
        if (sets && !(slot = context::plain_slot(&w))) {
            stack::top = start;
            return false;
        }
        // The statement's step, the set-word's call's and the call's.
        budget::steps(lead + 1);
        if (slot) *slot = v;
        *start = v;
        stack::top = start + 1;
        *stack::arguments = v;
        return true;
    }
    machine_stack::check();
    budget::steps(lead + 1);
    Cell* const top = stack::top;
    stack::top = start;
    if (sets) {
        stack::mark_kind82(&w);
        *stack::top++ = w;
    }
    *stack::top++ = fn;
    stack::mark_kind81(&fw);
    stack::top = top;
    run_body(&fn, &body, read, &bc);
    if (exiting()) [[unlikely]] return true;
    call_return(code, next, &fw, sets, false);
    if (sets) close_set_word(&w, code, pos, false);
    if (enabled() && !exiting()) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return true;
}

// Whether the word after a statement (of the body's cells from its
// head, `cells`) holds an operator now: the evaluator would take it as going
// on from the statement.
[[gnu::always_inline]] inline bool op_follows(const DecodedStatement& st, const Cell* cells, u32 n,
                                              const BodyArgs& args) {
    if (st.end >= n || TYPE_OF(cells + st.end) != TYPE_WORD) return false;
    const Cell* v = peek_known(cells + st.end, &args);
    return v && TYPE_OF(v) == TYPE_OP;
}

// A decoded guard statement (`if` or `unless` by st.fn_word, its condition
// at d.exprs[st.first]) whose branch is not taken, as the lean call makes
// it: none its value. False, having done nothing, where the word holds
// neither or the branch is taken (the statement then runs as any other).
[[gnu::always_inline]] inline bool run_guard_statement(const DecodedBody& d, const DecodedStatement& st,
                                                       const BodyArgs& args) {
    const Cell* fn = peek_known(&st.fn_word, &args);
    u32 index;
    Cell cond;
    if (!fn || TYPE_OF(fn) != TYPE_NATIVE ||
        ((index = native::entry_of(fn)) != natives::N_IF && index != natives::N_UNLESS) ||
        !conditional_known_q(fn, index) || !run_expr(d.exprs[st.first], &args, &cond) ||
        logic::is_true(&cond) != (index == natives::N_UNLESS))
        return false;
    // The statement's step and the call's.
    budget::steps(2);
    make_cell(stack::top++, TYPE_NONE);
    *stack::arguments = stack::top[-1];
    return true;
}

// The decoded statements of the running body (`fn`'s, in its frame and
// the body's) from `pos`, one after the other as eval_rest_in_frame runs
// them, until one declines: the position reached (`tail` when all ran).
// They are checked against the cells, through the epoch, before the first
// and after each call, and each against what its words hold before it runs.
u32 run_statements(const Cell* fn, Cell* code, u32 pos, u32 tail) {
    const CallRecord* rec = record_slot(fn, TYPE_FUNCTION);
    const node_t node = series_node(code);
    const u32 head = series_head(code);
    const node_t ctx = function::ctx_of(fn);
    const BodyArgs args{ctx, at<Cell>(context::TO_CTX(ctx)->data2)};
    const Cell* const cells = block::cells_of(block::buffer_of(code)) + head;
    const bool track = !in_library;
    if (track) code_cell = *code;
    const DecodedBody& d = rec->decoded;
    if (!rest_current(d, node, head) || head + d.rest_end > tail) return pos;
    u32 i = 0;
    while (i < d.statements && head + d.statement[i].at != pos) i++;
    for (; i < DECODED_STATEMENTS; i++) {
        if (i >= d.statements) return pos;
        const DecodedStatement& st = d.statement[i];
        const StatementKind kind = st.kind;
        const u32 next = head + st.end;
        if (trace.active || op_follows(st, cells, tail - head, args)) return pos;
        if (track) series_head(&code_cell) = pos;
        if (kind == StatementKind::CALL) {
            if (!run_call_statement(d, st, args, code, pos, next, node, head, rec)) return pos;
            if (exiting()) [[unlikely]] return pos;
        } else if (kind == StatementKind::GUARD) {
            if (!operator_room_q() || !run_guard_statement(d, st, args)) return pos;
        } else {
            Cell v;
            Cell* slot = nullptr;
            if (!operator_room_q() || !run_expr(d.exprs[st.first], &args, &v) ||
                (st.sets && !(slot = context::plain_slot(&st.word))))
                return pos;
            budget::step();
            if (slot) *slot = v;
            *stack::top++ = v;
            *stack::arguments = v;
        }
        pos = next;
        if (pos >= tail) return pos;
        stack::reset();
        // A call may have written the body, or taken its record's slot.
        if (kind == StatementKind::CALL && !rest_current(d, node, head)) return pos;
    }
    return pos;
}

// The statements after a body's guard, from `from`, as enter_block runs
// them: those decoded by run_statements, the others as any block's.
[[gnu::noinline]] void enter_rest(const Cell* fn, const Cell* body, u32 from) {
    in_body_frame(body, [fn, from](Cell* code) __attribute__((always_inline)) {
        if (enabled()) fire_event(EVT_ENTER, code, static_cast<i32>(from), nullptr, nullptr);
        const u32 tail = live_tail(code);
        const u32 pos = run_statements(fn, code, from, tail);
        if (exiting()) [[unlikely]] return;
        if (pos < tail) eval_rest_in_frame(code, pos, tail);
        else if (enabled()) fire_event(EVT_EXIT, code, static_cast<i32>(tail), nullptr, stack::arguments);
        if (exiting()) [[unlikely]] return;
        stack::unwind_last();
    });
}

}  // namespace

void run_body(const Cell* fn, const Cell* body, BlockShape read, BlockConditional* bc) {
    in_function_body(function::ctx_of(fn), [&]() __attribute__((always_inline)) {
        // A body of one simple expression without its frame, as a branch.
        if (TYPE_OF(body) != TYPE_BLOCK) make_cell(stack::arguments, TYPE_UNSET);
        else if (read == BlockShape::UNREAD) run_block_inline(body);
        else if (read == BlockShape::CONDITIONAL) enter_conditional(body, bc);
        else if (read == BlockShape::NESTED) enter_conditional<true>(body, bc);
        else if (read == BlockShape::REST) enter_rest(fn, body, bc->call.next);
        else if (read == BlockShape::CALL) run_call_body(body, bc);
        else enter_block(body);
    });
}


void call_function(Cell* fn_in, node_t, Cell* name, u32 trace_flags) {
    if (!trace.active && !trace.enabled) {
        const Cell* more = block::cells_of(GET_BUFFER(function::more_of(fn_in)));
        const Cell* code = more + function::MORE_CODE;
        if (!(TYPE_OF(code) == TYPE_INTEGER && code->data2)) {
            Cell body = more[function::MORE_BODY];
            run_body(fn_in, &body);
            return;
        }
    }
    Cell fn = *fn_in;
    EnabledRestore restore;
    // The filter of the trace settings passes every flag the runtime gives.
    if (trace.enabled && trace_flags) trace.enabled = true;
    Cell* code = function::more_cell(&fn, function::MORE_CODE);
    if (TYPE_OF(code) == TYPE_INTEGER && code->data2) {
        // Compiled bodies come with the library; the interpreter runs none yet.
        fire("internal", "not-done");
    }
    if (trace.enabled && trace_flags) fire_call(name, &fn);
    Cell body = *function::more_cell(&fn, function::MORE_BODY);
    exec_body(&fn, &body, name);
    if (trace.enabled && trace_flags && !exiting()) fire_return(name, &fn);
}

void exec_body(Cell* fn_in, Cell* body_in, Cell* name) {
    Cell fn = *fn_in;
    Cell body = *body_in;
    collector::Guard body_hold(&body);
    node_t ctx = function::ctx_of(&fn);
    u32 saved_values = context::TO_CTX(ctx)->data2;
    context::TO_CTX(ctx)->data2 = off_of(stack::arguments);
    CallFrame* me = stack::top_frame();
    me->header |= FRAME_BODY;
    CallerScope caller_scope;
    // A library function's body is compiled code: no prolog or epilog either.
    CodeScope scope(&body);
    bool saved_enabled = trace.enabled;
    // A [trace] body is heard even while `trace off` holds.
    bool heard = trace.active && (fn.header & function::FLAG_TRACE) && trace.suspended;
    if (trace.active) {
        if (fn.header & function::FLAG_TRACE) trace.enabled = true;
        else if (fn.header & function::FLAG_NO_TRACE) trace.enabled = false;
    }
    if (heard) trace.suspended = false;
    auto finish = [&]() {
        trace.enabled = saved_enabled;
        if (heard) trace.suspended = true;
        me->header &= ~FRAME_BODY;
        context::TO_CTX(ctx)->data2 = saved_values;
    };
    u32 thrown = 0;
    try {
        if (trace.enabled) fire_event(EVT_PROLOG, &body, 0, name, &fn);
    } catch (Throw&) {
        trace.enabled = false;
        saved_enabled = false;
        finish();
        throw;
    }
    try {
        if (TYPE_OF(&body) == TYPE_BLOCK) evaluate(&body, true);
        else make_cell(stack::arguments, TYPE_UNSET);
    } catch (Throw& t) {
        thrown = t.value;
    }
    // A return or exit stops here, its value in place already; any other
    // exit goes on as it came, once the epilog is delivered.
    u32 exit = stack::pending;
    if (exit == THROW_RETURN || exit == THROW_EXIT) exit = 0;
    stack::pending = 0;
    if (trace.enabled) {
        try {
            fire_event(EVT_EPILOG, &body, 0, name, &fn);
        } catch (Throw&) {
            finish();
            throw;
        }
    }
    finish();
    stack::pending = exit;
    if (thrown && thrown != THROW_RETURN && thrown != THROW_EXIT) throw Throw{thrown};
}

void call_routine(Cell* fn) {
    routine::Entry entry = routine::entry(static_cast<u32>(routine::code_of(fn)));
    if (!entry) fire("internal", "routines");
    // The result slot of a routine without arguments must be on the stack
    // (rooted) before the routine allocates.
    if (stack::top <= stack::arguments) make_cell(stack::push_star(), TYPE_UNSET);
    // An error goes on as a pending exit, as a native's does (call_builtin).
    errors_pending(entry);
}

Cell* current_code() { return &code_cell; }

bool called_from_library() { return caller_library; }

// ---- start-up ---------------------------------------------------------------------------

namespace {

// The datatypes' calls of user code: an exit out of it goes on as a throw,
// as they go on with their own work after the call.
void apply_values(Cell* fn, Cell* args, u32 pos, u32 count, Cell* name) {
    eval_code_at(fn, args, pos, pos + count, true, {.ref_item = 1, .name = name, .mode = MODE_APPLY_ALL | MODE_SAFER});
    stack::throw_pending();
}

void call_user(Cell* fn, node_t ctx, Cell* name, u32 trace_flags) {
    call_function(fn, ctx, name, trace_flags);
    stack::throw_pending();
}

}  // namespace

void init() {
    user_code::evaluator = {eval, call_user, apply_values, current_code, evaluate};
    // Errors raised from here on are built as values and thrown to their guard frames.
    error_raiser = frames::raise_error;
    on_error = trace_error;
    make_cell(&code_cell, TYPE_UNSET);
    init_tracer();
    static bool marker = false;
    if (!marker) {
        marker = true;
        collector::register_marker([] { collector::mark_value(&code_cell); });
    }
}

}  // namespace zav::interpreter
