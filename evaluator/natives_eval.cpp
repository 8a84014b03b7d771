// Evaluation and value natives: reading and setting words, reduce and
// compose, binding, building and inspecting values, and the lexer's entry.
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/stats.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/loops.h"
#include "evaluator/natives.h"
#include "evaluator/natives_eval.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/machine_stack.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "runtime/print_hooks.h"
#include "datatypes/words.h"

namespace zav::natives {

namespace {

void check_if(bool check, NativeIndex index, const i32* refinements) {
    if (check) check_args(index, refinements);
}

i32 ref(const i32* refinements, u32 k) { return refinements ? refinements[k] : -1; }

// A word naming one of the runtime's own frames (<body>, <anon> ...).
Cell* frame_word(Cell* out, i32 symbol) {
    return make_cell(out, TYPE_WORD, 0, static_cast<u32>(symbol), 0xFFFFFFFF);
}

bool function_q(u32 t) {
    return t == TYPE_FUNCTION || t == TYPE_ACTION || t == TYPE_NATIVE || t == TYPE_ROUTINE || t == TYPE_OP;
}
bool list_q(u32 t) { return t == TYPE_BLOCK || t == TYPE_PAREN || block::any_path_q(t); }
bool text_q(u32 t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}

u32 block_length(const Cell* blk) { return block::buffer_of(blk)->length(); }

// Appends a copy of a value at a block's tail. A buffer of no room at all
// (an empty copy) cannot grow by doubling, so it is given room first.
void append_cell(Cell* blk, const Cell* value) {
    SeriesBuffer* b = block::buffer_of(blk);
    if (b->size == 0) expand_series(b, 4 * sizeof(Cell));
    block::zs_append(blk, value);
}

// The context a word's value lives in, or null when it has none at all.
Cell* value_cell_q(const Cell* word) {
    node_t n = word->data1;
    if (!n) return nullptr;
    Cell* ctx = context::TO_CTX(n);
    i32 idx = word_index(word);
    if (idx == -1) {
        if (static_cast<i32>(word->data2) == words::self) return context::owner_of(n);
        idx = context::find_word(ctx, static_cast<i32>(word->data2), true);
        if (idx < 0) return nullptr;
    }
    if (!ctx->data2 || static_cast<u32>(idx) >= context::word_count(ctx)) return nullptr;
    Cell* values = context::values_of(ctx);
    return values ? values + idx : nullptr;
}

}  // namespace

// ---- get and set ----------------------------------------------------------------

void get_star(bool check, const i32* r) {
    check_if(check, N_GET, r);
    Cell* args = stack::arguments;
    bool any = ref(r, 0) != -1;
    bool case_ = ref(r, 1) != -1;
    Cell* v = args;
    u32 t = TYPE_OF(v);
    if (block::any_path_q(t)) {
        Cell* path = stack::push(v);
        interpreter::eval_path_at(path, path, 0, 0, interpreter::PathAccess::GET, false, case_);
        return;
    }
    if (t == TYPE_OBJECT) {
        object::reflect(v, static_cast<u32>(words::values));
        return;
    }
    if (word::any_word_q(t)) {
        Cell word = *v;
        Cell value = *context::get(&word);
        if (TYPE_OF(&value) == TYPE_UNSET && !any) fire("script", "no-value", &word);
        *args = value;
    }
}

void set_star(bool check, const i32* r) {
    check_if(check, N_SET, r);
    Cell* args = stack::arguments;
    bool any = ref(r, 0) != -1;
    bool case_ = ref(r, 1) != -1;
    bool only = ref(r, 2) != -1;
    bool some = ref(r, 3) != -1;
    Cell* target = args;
    Cell* value = args + 1;
    u32 t = TYPE_OF(target);
    if (!any && TYPE_OF(value) == TYPE_UNSET) fire("script", "need-value", target);
    if (block::any_path_q(t)) {
        Cell path = *target;
        *args = *value;
        stack::top = args + 1;
        Cell* p = stack::push(&path);
        interpreter::eval_path_at(p, p, 0, 0, interpreter::PathAccess::SET, false, case_);
        if (stack::pending) [[unlikely]] return;
        stack::top = args + 1;
        return;  // the value stays in the result slot
    }
    if (t == TYPE_OBJECT) {
        object::set_many(target, value, any, only, some);
    } else if (t == TYPE_BLOCK) {
        Cell w;
        stack::mark(frame_word(&w, words::_anon), FRAME_CALL);
        stack::push_star();
        natives::set_many(target, value, static_cast<i32>(block::zs_length_q(target)), any, only, some);
        stack::unwind();
    } else if (word::any_word_q(t)) {
        Cell word = *target;
        context::set(&word, value);
    }
    *args = *value;
}

void type_q_star(bool check, const i32* r) {
    check_if(check, N_TYPE_Q, r);
    Cell* v = stack::arguments;
    u32 t = TYPE_OF(v);
    if (ref(r, 0) != -1) {
        const datatype::Record& rec = datatype::records[t];
        if (rec.has_word) {
            *v = rec.word;
            set_type(v, TYPE_WORD);
            v->header &= TYPE_MASK;
        } else {
            word::make_at(symbol::make(rec.name ? rec.name : "unset!"), v);
        }
        return;
    }
    datatype::make_at(v, t);
}

// ---- reduce and compose ----------------------------------------------------------

void reduce_star(bool check, const i32* r) {
    check_if(check, N_REDUCE, r);
    Cell* args = stack::arguments;
    i32 into = ref(r, 0);
    Cell* value = args;
    if (TYPE_OF(value) == TYPE_BLOCK) {
        Cell* code = stack::push(value);
        Cell w;
        stack::mark(frame_word(&w, words::_body), FRAME_CALL);
        Cell* target = stack::push_star();  // the frame's result slot
        bool append = true;
        u32 start = 0;
        if (into >= 0) {
            *target = args[into];
            append = block::zs_tail_q(target);
            start = block_length(target);
        } else {
            block::make_at(target, block::zs_length_q(code));
        }
        u32 pos = series_head(code);
        while (pos < block_length(code)) {
            pos = interpreter::eval_next(code, pos, block_length(code), true);
            if (stack::pending) [[unlikely]] return;
            Cell* v = stack::top - 1;
            clear_cell_flag(v);
            if (append) {
                append_cell(target, v);
            } else {
                block::insert(target, v, nullptr, true, nullptr, false);
            }
            stack::top = v;
        }
        if (into >= 0 && append) {
            u32 added = block_length(target) - start;
            if (added) ownership::check(target, words::append, target, static_cast<i32>(start), static_cast<i32>(added));
        }
        stack::unwind_last();
        return;
    }
    // Any other value counts as one expression; function values are kept.
    if (!function_q(TYPE_OF(value))) {
        Cell* code = stack::push_star();
        block::make_at(code, 1);
        block::zs_append(code, value);
        interpreter::eval_expression(code, 0, 1, {.prefix = true, .sub = true});
        if (stack::pending) [[unlikely]] return;
        copy_cell(stack::top - 1, value);
        stack::top = code;
    }
    if (into >= 0) {
        Cell* out = stack::push(&args[into]);
        Cell* v = stack::push(value);
        if (block::zs_tail_q(out)) {
            u32 start = block_length(out);
            append_cell(out, v);
            ownership::check(out, words::append, out, static_cast<i32>(start), 1);
        } else {
            block::insert(out, v, nullptr, true, nullptr, false);
        }
        *args = *out;
    }
}

namespace {

// Adds one value to a compose target: inserted at its position (which then
// moves past it), or appended (hash!-indexed when the target is a hash!).
void add_value(Cell* target, Cell* value, bool insert_mode) {
    if (insert_mode) {
        block::insert(target, value, nullptr, true, nullptr, false);
    } else if (TYPE_OF(target) == TYPE_HASH) {
        u32 head = series_head(target);
        block::insert(target, value, nullptr, true, nullptr, true);
        series_head(target) = head;
    } else {
        append_cell(target, value);
    }
}

// Splices the cells of a block into a compose target.
void splice_block(Cell* target, Cell* source, bool insert_mode) {
    if (insert_mode) {
        block::insert(target, source, nullptr, false, nullptr, false);
    } else if (TYPE_OF(target) == TYPE_HASH) {
        u32 head = series_head(target);
        block::insert(target, source, nullptr, false, nullptr, true);
        series_head(target) = head;
    } else {
        SeriesBuffer* b = block::buffer_of(target);
        if (b->size == 0) expand_series(b, 4 * sizeof(Cell));
        block::zs_append_block(target, source);
    }
}

}  // namespace

Cell* compose_block(Cell* block, bool deep, bool only, Cell* into, bool top) {
    machine_stack::check();
    Cell* target = stack::push_star();
    bool insert_mode = false;
    if (top && into) {
        *target = *into;
        insert_mode = !block::zs_tail_q(target);
    } else {
        block::make_at(target, block::zs_length_q(block));
    }
    Cell* src = stack::push(block);  // followed through any change the parens make
    for (u32 i = series_head(src); i < block_length(src); i++) {
        Cell* mark = stack::top;
        Cell* v = stack::push(block::zs_abs_at(src, i));
        switch (TYPE_OF(v)) {
            case TYPE_BLOCK:
                if (deep) {
                    Cell* inner = compose_block(v, deep, only, nullptr, false);
                    if (!inner) [[unlikely]] return nullptr;
                    add_value(target, inner, insert_mode);
                } else {
                    add_value(target, v, insert_mode);
                }
                break;
            case TYPE_PAREN: {
                if (block::zs_length_q(v) == 0) break;
                Cell* result = v;
                Cell simple;
                if (interpreter::simple_paren_value(v, &simple)) {
                    *v = simple;
                } else {
                    // An exit or error goes up pending: every level returns at once.
                    interpreter::evaluate(v, false);
                    if (stack::pending) [[unlikely]] return nullptr;
                    result = stack::top - 1;
                }
                u32 rt = TYPE_OF(result);
                if (rt == TYPE_UNSET) break;
                if (!only && rt == TYPE_BLOCK && block::zs_length_q(result) == 0) break;
                if (only || rt != TYPE_BLOCK) {
                    add_value(target, result, insert_mode);
                } else {
                    splice_block(target, result, insert_mode);
                }
                break;
            }
            default:
                add_value(target, v, insert_mode);
                break;
        }
        stack::top = mark;
    }
    stack::top = target + 1;
    return target;
}

void compose_star(bool check, const i32* r) {
    check_if(check, N_COMPOSE, r);
    Cell* args = stack::arguments;
    Cell* value = args;
    if (TYPE_OF(value) != TYPE_BLOCK) {
        Cell expected, got;
        datatype::make_at(&expected, TYPE_BLOCK);
        datatype::make_at(&got, TYPE_OF(value));
        fire("script", "expect-val", &expected, &got);
    }
    i32 into = ref(r, 2);
    Cell* result = compose_block(value, ref(r, 0) != -1, ref(r, 1) != -1, into >= 0 ? args + into : nullptr, true);
    if (!result) [[unlikely]] return;  // an exit or error, pending: the stacks are its target's
    *args = *result;
}

// ---- memory -----------------------------------------------------------------------

namespace {

// Bytes in use: an integer! while it fits, else a float!.
void memory_in_use(Cell* out) {
    double used = memory::used_bytes();
    if (used > 2147483647.0) {
        float_::make_at(out, used);
    } else {
        integer::make_at(out, static_cast<i32>(used));
    }
}

}  // namespace

void stats_star(bool check, const i32* r) {
    check_if(check, N_STATS, r);
    bool show = ref(r, 0) != -1, info = ref(r, 1) != -1;
    if (!show && !info) {
        double used = memory::stats(nullptr, 1);
        if (used > 2147483647.0) float_::make_at(stack::arguments, used);
        else integer::make_at(stack::arguments, static_cast<i32>(used));
        return;
    }
    Cell* blk = block::push_only_star(5);
    memory::stats(blk, 2);
    Cell result = *blk;
    if (show) {
        // The library's report, show-memory-stats, called with the block;
        // the block formed while the library has none.
        Cell* report = context::get_global(symbol::make("show-memory-stats"));
        if (TYPE_OF(report) == TYPE_FUNCTION) {
            Cell* code = block::push_only_star(2);
            Cell word;
            word::make_at(symbol::make("show-memory-stats"), &word);
            block::zs_append(code, &word);
            block::zs_append(code, &result);
            interpreter::eval(code, true);
        } else {
            Cell* text = form_value(blk, false, 0);
            print_hooks::print(text, true);
        }
    }
    *stack::arguments = result;
}

void recycle_star(bool check, const i32* r) {
    check_if(check, N_RECYCLE, r);
    if (ref(r, 0) != -1 || ref(r, 1) != -1) {
        if (ref(r, 0) != -1) collector::enable();
        else collector::disable();
        make_cell(stack::arguments, TYPE_UNSET);
        return;
    }
    collector::do_cycle();
    memory_in_use(stack::arguments);
}

// ---- binding ------------------------------------------------------------------------

void bind_star(bool check, const i32* r) {
    check_if(check, N_BIND, r);
    Cell* args = stack::arguments;
    Cell* target = args;
    Cell* source = args + 1;
    node_t ctx = source->data1;  // function!, object! and word! alike keep their context there
    if (!ctx) fire("script", "not-defined", source);
    if (TYPE_OF(target) == TYPE_BLOCK) {
        bool object = TYPE_OF(source) == TYPE_OBJECT;
        if (ref(r, 0) != -1) {
            Cell* copy = block::clone(target, true, true);
            *target = *copy;
        }
        context::bind(target, context::TO_CTX(ctx), object);
        return;
    }
    if (word::any_word_q(TYPE_OF(target))) context::bind_word(context::TO_CTX(ctx), target);
}

void in_star(bool check, const i32* r) {
    check_if(check, N_IN, r);
    Cell* args = stack::arguments;
    Cell* owner = args;
    node_t ctx = 0;
    switch (TYPE_OF(owner)) {
        case TYPE_NATIVE: case TYPE_ACTION: {
            const Cell* spec_ctx = reinterpret_cast<const Cell*>(GET_BUFFER(native::more_of(owner))->head());
            ctx = context::node_of(spec_ctx);
            break;
        }
        default:
            ctx = owner->data1;
            break;
    }
    Cell word = args[1];
    if (!ctx || !word::any_word_q(TYPE_OF(&word))) {
        none::push_last();
        return;
    }
    if (context::bind_word(context::TO_CTX(ctx), &word) < 0) {
        none::push_last();
        return;
    }
    if (TYPE_OF(&word) == TYPE_REFINEMENT) set_type(&word, TYPE_WORD);
    *args = word;
}

void context_q_star(bool check, const i32* r) {
    check_if(check, N_CONTEXT_Q, r);
    Cell* word = stack::arguments;
    if (!word->data1) fire("script", "not-defined", word);
    *word = *context::owner_of(word->data1);
}

// ---- values ---------------------------------------------------------------------------

void construct_star(bool check, const i32* r) {
    check_if(check, N_CONSTRUCT, r);
    Cell* args = stack::arguments;
    i32 with = ref(r, 0);
    Cell* obj = stack::push_star();
    object::make_proto(obj, with >= 0 ? args + with : nullptr);
    object::construct_values(obj, args, ref(r, 1) != -1);
    *args = *obj;
}

void value_q_star(bool check, const i32* r) {
    check_if(check, N_VALUE_Q, r);
    Cell* v = stack::arguments;
    bool set;
    if (word::any_word_q(TYPE_OF(v))) {
        Cell* slot = value_cell_q(v);
        set = slot && TYPE_OF(slot) != TYPE_UNSET;
    } else {
        set = TYPE_OF(v) != TYPE_UNSET;
    }
    logic::box(set);
}

void extend_star(bool check, const i32* r) {
    check_if(check, N_EXTEND, r);
    Cell* args = stack::arguments;
    if (TYPE_OF(args) == TYPE_MAP) {
        map::extend(args, args + 1, ref(r, 0) != -1);
        return;
    }
    fire("internal", "not-done");
}

void unset_star(bool check, const i32* r) {
    check_if(check, N_UNSET, r);
    Cell* args = stack::arguments;
    if (TYPE_OF(args) == TYPE_WORD) {
        Cell word = *args;
        context::set(&word, &unset::value);
    } else if (TYPE_OF(args) == TYPE_BLOCK) {
        for (u32 i = series_head(args); i < block_length(args); i++) {
            Cell word = *block::zs_abs_at(args, i);
            if (TYPE_OF(&word) == TYPE_WORD) context::set(&word, &unset::value);
        }
    }
    make_cell(args, TYPE_UNSET);
}

void new_line_star(bool check, const i32* r) {
    check_if(check, N_NEW_LINE, r);
    Cell* args = stack::arguments;
    Cell* position = args;
    bool on = logic::true_q(args + 1);
    i32 all = ref(r, 0), skip = ref(r, 1);
    u32 head = series_head(position);
    u32 len = block_length(position);
    memory::note_write(block::buffer_of(position));
    if (all == -1 && skip == -1) {
        if (head < len) {
            Cell* c = block::zs_abs_at(position, head);
            if (on) c->header |= FLAG_NEW_LINE;
            else c->header &= ~FLAG_NEW_LINE;
        }
        return;
    }
    i32 step = 1;
    if (skip != -1) {
        Cell* size = args + skip;
        step = integer::get(size);
        if (step < 1) fire("script", "out-of-range", size);
    }
    for (u32 i = 0; head + i < len; i++) {
        Cell* c = block::zs_abs_at(position, head + i);
        bool marked = step == 1 || i % static_cast<u32>(step) == 0;
        if (marked == on) c->header |= FLAG_NEW_LINE;
        else c->header &= ~FLAG_NEW_LINE;
    }
}

void new_line_q_star(bool check, const i32* r) {
    check_if(check, N_NEW_LINE_Q, r);
    Cell* position = stack::arguments;
    u32 head = series_head(position);
    bool flag = head < block_length(position) && (block::zs_abs_at(position, head)->header & FLAG_NEW_LINE);
    logic::box(flag);
}

void as_star(bool check, const i32* r) {
    check_if(check, N_AS, r);
    Cell* args = stack::arguments;
    Cell* type = args;
    Cell* spec = args + 1;
    u32 target = TYPE_OF(type) == TYPE_DATATYPE ? type->data1 : TYPE_OF(type);
    u32 st = TYPE_OF(spec);
    if (!((list_q(target) && list_q(st)) || (text_q(target) && text_q(st)))) {
        Cell from, to;
        datatype::make_at(&from, st);
        datatype::make_at(&to, target);
        fire("script", "not-same-class", &from, &to);
    }
    *args = *spec;
    set_type(args, target);
}

// ---- transcode --------------------------------------------------------------------------

namespace {

// The arguments a transcode/trace callback takes: event, input, type, line, token.
constexpr u32 LEXER_TRACER_ARITY = 5;

// Calls a transcode/trace callback with the five event cells. The callback's
// own `input` lives in its frame: when it moved that series' index, the new
// index goes back to the lexer, which resumes reading there.
const char* const lexer_events[] = {"prescan", "scan", "load", "open", "close", "error"};

bool call_lexer_tracer(const Cell* callback, u32 event, Cell* input, Cell* type, i32 line, Cell* token) {
    const char* const* names = lexer_events;
    Cell fn = *callback;
    if (TYPE_OF(&fn) != TYPE_FUNCTION) return true;
    u32 bit = 0;
    while (bit < 5 && !(event & (1u << bit))) bit++;
    Cell* saved_top = stack::top;
    CallFrame* saved_frame = stack::frame_top;
    stack::top++;  // the frame's result lands below its arguments
    Cell name;
    word::make_at(words::_anon, &name);
    stack::mark_frame(&name, function::ctx_of(&fn));
    Cell* args = stack::arguments;
    make_cell(stack::push_star(), TYPE_WORD, 0, static_cast<u32>(symbol::make(names[bit])), 0xFFFFFFFFu);
    stack::push(input);
    stack::push(type);
    make_cell(stack::push_star(), TYPE_INTEGER, 0, static_cast<u32>(line));
    stack::push(token);
    function::push_unused_slots(&fn, LEXER_TRACER_ARITY);
    node_t ctx = context::global;
    Cell* owner = function::more_cell(&fn, function::MORE_OWNER);
    if (TYPE_OF(owner) == TYPE_INTEGER) ctx = owner->data2;
    interpreter::call_function(&fn, ctx, &name, 0);
    // The lexer's scan goes on after its callback: an exit goes on as a throw.
    stack::throw_pending();
    Cell result = args[0];
    Cell moved = args[1];
    stack::unwind_copy();
    stack::top = saved_top;
    stack::frame_top = saved_frame;
    if (TYPE_OF(&moved) == TYPE_OF(input) && series_node(&moved) == series_node(input))
        series_head(input) = series_head(&moved);
    return !(TYPE_OF(&result) == TYPE_NONE || (TYPE_OF(&result) == TYPE_LOGIC && !result.data1));
}

u32 lexer_tracer_mask(const Cell* callback) {
    return function::event_mask(callback, lexer_events, 6, 63);
}

}  // namespace

void install_lexer_tracer() {
    lexer::call_tracer = call_lexer_tracer;
    lexer::tracer_mask = lexer_tracer_mask;
}

void transcode_star(bool check, const i32* r) {
    check_if(check, N_TRANSCODE, r);
    Cell* args = stack::arguments;
    bool next = ref(r, 0) != -1;
    bool one = ref(r, 1) != -1;
    bool prescan = ref(r, 2) != -1;
    bool scan = ref(r, 3) != -1;
    i32 part = ref(r, 4);
    i32 into = ref(r, 5);
    i32 trace = ref(r, 6);
    Cell* src = args;
    bool binary = TYPE_OF(src) == TYPE_BINARY;

    Cell* out = make_cell(stack::push_star(), TYPE_UNSET);
    bool pair = next && !(one && !scan);
    Cell* value = out;
    if (pair) {
        block::make_at(out, 2);
        value = make_cell(stack::push_star(), TYPE_UNSET);
    }

    // The source from its head, clamped to its length (bytes or code points).
    u32 total = GET_BUFFER(series_node(src))->length();
    if (series_head(src) > total) series_head(src) = total;
    u32 available = total - series_head(src);
    u32 length = available;
    if (part >= 0) {
        Cell* limit = args + part;
        i64 n;
        if (TYPE_OF(limit) == TYPE_INTEGER) {
            n = integer::get(limit);
        } else if (TYPE_OF(limit) == TYPE_OF(src) && series_node(limit) == series_node(src)) {
            n = i64(series_head(limit)) - i64(series_head(src));
        } else if (TYPE_OF(limit) == TYPE_OF(src)) {
            // A position in another series says nothing about this one.
            Cell w;
            word::make_at(symbol::make("part"), &w);
            fire("script", "invalid-refine-arg", &w, limit);
        } else {
            fire("script", "not-same-type");
        }
        if (n < 0) n = 0;
        length = n > available ? available : static_cast<u32>(n);
    }
    bool one_mode = next || one || scan;
    Cell* dst = into >= 0 ? args + into : nullptr;
    const Cell* tracer = trace >= 0 ? args + trace : nullptr;
    if (tracer) function::check_callback(tracer, LEXER_TRACER_ARITY, "trace");
    i32 consumed = 0;
    i32 type;
    if (binary) {
        node_t node = series_node(src);
        collector::Guard pin(node, collector::GUARD_PIN);
        const u8* bytes = GET_BUFFER(node)->head() + series_head(src);
        if (length > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            series_head(src) += 3;
            bytes += 3;
            length -= 3;
        }
        // A callback may change or grow the binary being read (its buffer
        // then moves away from under the lexer): it reads a private copy.
        std::vector<u8> copy;
        if (tracer && TYPE_OF(tracer) == TYPE_FUNCTION) {
            copy.assign(bytes, bytes + length);
            bytes = copy.data();
        }
        lexer::pend_errors = true;
        type = lexer::scan(dst ? nullptr : value, bytes, length, one_mode, !prescan, !scan, &consumed, tracer, dst);
    } else {
        u32 flags = (one_mode ? lexer::SCAN_ONE : 0) | (prescan ? 0 : lexer::SCAN_LOAD) | (scan ? 0 : lexer::SCAN_BUILD);
        lexer::pend_errors = true;
        type = lexer::scan_string(dst ? dst : value, src, static_cast<i32>(length), flags, &consumed, tracer);
    }
    // A syntax error went up pending: the stacks are the guard's already.
    if (stack::pending) [[unlikely]] return;
    if (prescan || scan) {
        if (length == 0) {
            make_cell(value, TYPE_NONE);
        } else if (type < 0) {
            datatype::make_at(value, TYPE_ERROR);
        } else if (type == 0) {
            make_cell(value, TYPE_NONE);
        } else {
            datatype::make_at(value, static_cast<u32>(type));
        }
    }
    if (pair) {
        block::zs_append(out, value);
        Cell rest = *src;
        series_head(&rest) += static_cast<u32>(consumed < 0 ? 0 : consumed);
        block::zs_append(out, &rest);
    }
    *args = dst ? *dst : *out;
}

// ---- apply -------------------------------------------------------------------------------

void apply_star(bool check, const i32* r) {
    check_if(check, N_APPLY, r);
    Cell* args = stack::arguments;
    Cell* func = args;
    Cell* block = args + 1;
    u32 t = TYPE_OF(func);
    Cell* path = nullptr;
    Cell name;
    Cell* fn;
    if (word::any_word_q(t) && t != TYPE_REFINEMENT) {
        name = *func;
        fn = stack::push(context::get(&name));
    } else if (t == TYPE_PATH) {
        path = stack::push(func);
        if (block::zs_length_q(path) == 0) fire("script", "invalid-arg", func);
        name = *block::zs_head(path);
        if (!word::any_word_q(TYPE_OF(&name))) fire("script", "invalid-arg", func);
        fn = stack::push(context::get(&name));
    } else {
        frame_word(&name, words::_applied);
        fn = stack::push(func);
    }
    if (!function_q(TYPE_OF(fn))) fire("script", "invalid-arg", func);
    if (TYPE_OF(fn) == TYPE_OP) set_type(fn, op::wrapped_type(fn));
    Cell* name_cell = stack::push(&name);
    Cell* code = stack::push(block);
    i32 mode = ref(r, 0) != -1 ? interpreter::MODE_APPLY_ALL : interpreter::MODE_APPLY;
    if (ref(r, 1) != -1) mode |= interpreter::MODE_SAFER;
    interpreter::eval_code_at(fn, code, series_head(code), block_length(code), false,
                              {.path = path, .ref_item = 1, .name = name_cell, .mode = mode});
}

// ---- coordinates and money ---------------------------------------------------------------

namespace {

// A coordinate for pair!: an integer!, or a float! truncated toward zero.
i32 pair_coordinate(Cell* v) {
    if (TYPE_OF(v) == TYPE_INTEGER) return integer::get(v);
    double d = cell_float(v);
    if (!std::isfinite(d)) fire("script", "invalid-arg", v);
    if (d < -2147483648.0 || d > 2147483647.0) fire("script", "invalid-arg", v);
    return static_cast<i32>(std::trunc(d));
}

u32 point_coordinate(const Cell* v) {
    float f = TYPE_OF(v) == TYPE_INTEGER ? static_cast<float>(integer::get(v)) : static_cast<float>(cell_float(v));
    return std::bit_cast<u32>(f);
}

}  // namespace

void as_pair_star(bool check, const i32* r) {
    check_if(check, N_AS_PAIR, r);
    Cell* args = stack::arguments;
    i32 x = pair_coordinate(args);
    i32 y = pair_coordinate(args + 1);
    make_cell(args, TYPE_PAIR, 0, static_cast<u32>(x), static_cast<u32>(y));
}

void as_point2D_star(bool check, const i32* r) {
    check_if(check, N_AS_POINT2D, r);
    Cell* args = stack::arguments;
    u32 x = point_coordinate(args), y = point_coordinate(args + 1);
    make_cell(args, TYPE_POINT2D, x, y, 0);
}

void as_point3D_star(bool check, const i32* r) {
    check_if(check, N_AS_POINT3D, r);
    Cell* args = stack::arguments;
    u32 x = point_coordinate(args), y = point_coordinate(args + 1), z = point_coordinate(args + 2);
    make_cell(args, TYPE_POINT3D, x, y, z);
}

void as_money_star(bool check, const i32* r) {
    check_if(check, N_AS_MONEY, r);
    Cell* args = stack::arguments;
    Cell* currency = args;
    Cell* amount = args + 1;
    i32 index = money::find_currency(static_cast<i32>(word_symbol(currency)));
    if (index < 0) fire("script", "bad-denom", currency);
    Cell* m = TYPE_OF(amount) == TYPE_INTEGER ? money::from_int32(integer::get(amount))
                                             : money::from_double(cell_float(amount), 1);
    money::set_currency(m, index);
    *args = *m;
}

}  // namespace zav::natives
