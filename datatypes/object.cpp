// object!: fields, makers, change notification and actions.
#include "datatypes/object.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/action_slots.h"
#include "datatypes/user_code.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"

namespace zav::object {

i32 class_counter = 1000000;

i32 next_class() { return ++class_counter; }

namespace {

Cell none_cell{TYPE_NONE, 0, 0, 0};

inline Cell* CTX(const Cell* obj) { return context::TO_CTX(obj->data1); }
inline Cell* cells(node_t n) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()); }
inline u32 length(node_t n) { return GET_BUFFER(n)->length(); }

// word!, set-word!, lit-word! and get-word! (not refinement!).
bool plain_word_q(u32 t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }
bool number_q(u32 t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

// Series whose values make and copy replace by deep copies.
bool copied_series_q(u32 t, bool extended) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_PATH:
        case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return true;
        case TYPE_HASH: case TYPE_VECTOR: case TYPE_BINARY: case TYPE_IMAGE:
            return extended;
        default:
            return false;
    }
}

using CycleGuard = cycles::Guard;

Cell datatype_of(const Cell* v) {
    Cell dt;
    make_cell(&dt, TYPE_DATATYPE, TYPE_OF(v));
    return dt;
}

bool same_symbol(i32 a, i32 b) { return symbol::resolve(a) == symbol::resolve(b); }

// The handler record: two pair! cells, x = position << 16 | locals (position
// -1 for none), y = the node of the handler's spec when last counted.
i32 record_position(const Cell* pair) { return static_cast<i32>(pair->data1) >> 16; }
i32 record_locals(const Cell* pair) { return static_cast<i32>(pair->data1 & 0xFFFF); }
u32 pack(i32 position, i32 locals) {
    return (static_cast<u32>(position) << 16) | (static_cast<u32>(locals < 0 ? 0 : locals) & 0xFFFF);
}

node_t build_record(i32 cpos, i32 clocals, node_t cspec, i32 dpos, i32 dlocals, node_t dspec) {
    node_t rec = alloc_cells(2);
    SeriesBuffer* b = GET_BUFFER(rec);
    Cell* c = reinterpret_cast<Cell*>(b->head());
    make_cell(c, TYPE_PAIR, pack(cpos, clocals), cspec);
    make_cell(c + 1, TYPE_PAIR, pack(dpos, dlocals), dspec);
    b->tail = b->offset + 2 * sizeof(Cell);
    return rec;
}

i32 locals_of(const Cell* fn) {
    if (TYPE_OF(fn) != TYPE_FUNCTION) return 0;
    i32 n = function::count_locals(function::spec_of(fn), 0, true);
    return n < 0 ? 0 : n;
}

// The handler of record entry `which` (0 on-change*, 1 on-deep-change*), its
// locals recounted when its spec changed. Null when there is none.
Cell* handler_of(Cell* obj, u32 which, i32* locals, bool strict) {
    node_t rec = on_set_of(obj);
    if (!rec) return nullptr;
    Cell* pair = cells(rec) + which;
    i32 pos = record_position(pair);
    if (pos == -1) return nullptr;
    Cell* fn = context::values_of(CTX(obj)) + pos;
    if (TYPE_OF(fn) != TYPE_FUNCTION) {
        if (strict) fire("script", "invalid-obj-evt", fn);
        return nullptr;
    }
    if (pair->data2 != function::spec_of(fn)) {
        pair->data1 = pack(pos, locals_of(fn));
        pair->data2 = function::spec_of(fn);
    }
    *locals = record_locals(pair);
    return fn;
}

// Calls a handler with its `count` arguments. One that takes another number
// of arguments would read cells never given to it.
void call_handler(Cell fn, const Cell& name, const Cell* args, u32 count) {
    if (function::arity(&fn) != count) fire("script", "invalid-obj-evt", &fn);
    stack::mark_frame(&name, function::ctx_of(&fn));
    for (u32 i = 0; i < count; i++) stack::push(args + i);
    function::push_unused_slots(&fn, count);
    user_code::evaluator.call_function(&fn, function::ctx_of(&fn), const_cast<Cell*>(&name), 0);
    stack::unwind();
}

i32 handler_position(node_t ctx, i32 sym) {
    return context::find_word(context::TO_CTX(ctx), sym, true);
}

bool handler_field_q(const Cell* obj, u32 i) {
    if (!on_set_of(obj)) return false;
    Cell* rec = cells(on_set_of(obj));
    return static_cast<i32>(i) == record_position(rec) || static_cast<i32>(i) == record_position(rec + 1);
}

void mark_changed(const Cell* obj, u32 i) { context::mark_changed(obj->data1, i); }

void clear_marks(const Cell* obj) {
    // A shared word list holds no marks.
    if (CTX(obj)->header & context::CTX_SHARED_WORDS) return;
    SeriesBuffer* wb = context::get_words(CTX(obj));
    Cell* words = reinterpret_cast<Cell*>(wb->head());
    for (u32 i = 0, n = wb->used_bytes() / sizeof(Cell); i < n; i++) words[i].header &= ~context::WORD_CHANGED;
}

// A deep copy of a series value, through its datatype's copy when it has one.
Cell deep_copy(const Cell* v) {
    Cell src = *v;
    Cell out = src;
    if (block::any_block_q(TYPE_OF(&src))) {
        Cell* c = block::clone(&src, true, true);
        out = *c;
        out.header = src.header;
        stack::pop(1);
        return out;
    }
    auto fn = reinterpret_cast<action_fn::Copy>(actions::get_action_ptr_from(TYPE_OF(&src), &src, ACT_COPY));
    if (fn) {
        Cell* held = stack::push(&src);
        Cell* result = stack::push_star();
        fn(held, result, nullptr, true, nullptr);
        out = *result;
        stack::pop(2);
        return out;
    }
    series_node(&out) = copy_series_part(series_node(&src), series_head(&src), 0xFFFFFFFF);
    series_head(&out) = 0;
    return out;
}

// Replaces the object's series values by deep copies and rebuilds its functions.
void refresh_values(Cell* obj, bool extended, bool rebind_blocks) {
    node_t ctx = obj->data1;
    Cell o = *obj;
    // (The copies add no word; they may move the values.)
    const u32 n = context::word_count(context::TO_CTX(ctx));
    for (u32 i = 0; i < n; i++) {
        Cell v = context::values_of(context::TO_CTX(ctx))[i];
        u32 t = TYPE_OF(&v);
        if (copied_series_q(t, extended)) {
            Cell copy = deep_copy(&v);
            if (rebind_blocks && block::any_block_q(t)) context::bind(&copy, context::TO_CTX(ctx), true);
            context::values_of(context::TO_CTX(ctx))[i] = copy;
        } else if (t == TYPE_FUNCTION) {
            Cell* slot = stack::push(&v);
            rebind_function(slot, o.data1);
            context::values_of(context::TO_CTX(ctx))[i] = *slot;
            stack::pop(1);
        }
    }
}

}  // namespace

// ---- Fields by position ------------------------------------------------------

Cell* get_word(node_t ctx, i32 position) {
    return context::get_word_at(context::TO_CTX(ctx), static_cast<u32>(position));
}

Cell* get_first(const Cell* obj) { return get_word(obj->data1, 0); }

Cell* get_values(const Cell* obj) { return context::values_of(CTX(obj)); }

u32 get_size(const Cell* obj) { return context::word_count(CTX(obj)); }

Cell* get_word_ptr(const Cell* obj, const Cell* value) {
    Cell* values = get_values(obj);
    if (!values || value < values || value >= values + get_size(obj)) return nullptr;
    return get_word(obj->data1, static_cast<i32>(value - values));
}

i32 find_word(const Cell* obj, const Cell* word) {
    return context::find_word(CTX(obj), static_cast<i32>(word->data2), true);
}

Cell* select_word(const Cell* obj, const Cell* word) {
    i32 i = find_word(obj, word);
    if (i < 0) return &none_cell;
    return get_values(obj) + i;
}

bool unchanged_q(const Cell* word, i32 class_id) {
    Cell* v = context::get(word);
    return TYPE_OF(v) == TYPE_OBJECT && class_of(v) == class_id;
}

bool unchanged2_q(node_t ctx, i32 index, i32 class_id) {
    Cell* values = context::values_of(context::TO_CTX(ctx));
    if (!values) return false;
    Cell* v = values + index;
    return TYPE_OF(v) == TYPE_OBJECT && class_of(v) == class_id;
}

// ---- Makers ------------------------------------------------------------------

Cell* push(node_t ctx, i32 class_id, node_t on_set) {
    Cell obj;
    make_cell(&obj, TYPE_OBJECT, ctx, static_cast<u32>(class_id), on_set);
    *context::owner_of(ctx) = obj;
    return stack::push(&obj);
}

Cell* push_ctx(node_t ctx, i32 class_id) {
    Cell* c = context::TO_CTX(ctx);
    if (!context::on_stack_q(c) && c->data2 && length(c->data2) == 0) {
        u32 n = context::word_count(c);
        node_t values = c->data2;
        SeriesBuffer* vb = GET_BUFFER(values);
        if (vb->size < n * sizeof(Cell)) vb = expand_series(vb, n * sizeof(Cell));
        Cell* v = reinterpret_cast<Cell*>(vb->head());
        for (u32 i = 0; i < n; i++) make_cell(v + i, TYPE_UNSET);
        vb->tail = vb->offset + n * sizeof(Cell);
    }
    return push(ctx, class_id, 0);
}

Cell* make_at(Cell* obj, i32 change_pos, i32 change_locals, i32 deep_pos, i32 deep_locals) {
    Cell o = *obj;
    o.data3 = 0;
    if (change_pos != -1 || deep_pos != -1) {
        o.data3 = build_record(change_pos, change_locals, 0, deep_pos, deep_locals, 0);
    }
    *obj = o;
    if (deep_pos != -1) ownership::set_owner(&o, &o, &o);
    *context::owner_of(o.data1) = o;
    return obj;
}

Cell* make_ctx_at(Cell* cell, u32 capacity) {
    node_t ctx = context::create(capacity, false, true, nullptr, context::KIND_OBJECT);
    make_cell(cell, TYPE_OBJECT, ctx, 0, 0);
    *context::owner_of(ctx) = *cell;
    return cell;
}

// ---- Change notification -------------------------------------------------------

void fire_on_change(Cell* owner, Cell* word, Cell* old_value, Cell* new_value) {
    Cell obj = *owner;
    if (TYPE_OF(&obj) != TYPE_OBJECT || !on_set_of(&obj)) return;
    i32 locals = 0;
    Cell* fn = handler_of(&obj, 0, &locals, true);
    if (!fn) return;
    Cell handler = *fn;
    Cell args[3] = {*word, *old_value, *new_value};
    if (args[0].data1 != obj.data1) {
        i32 i = find_word(&obj, &args[0]);
        args[0].data1 = obj.data1;
        args[0].data3 = static_cast<u32>(i);
    }
    Cell name;
    word::make_at(words::on_change_star, &name);
    call_handler(handler, name, args, 3);
}

void fire_on_set(Cell* obj, Cell* word) {
    Cell old = stack::top[-1];
    Cell nv = stack::top[-2];
    fire_on_change(obj, word, &old, &nv);
}

void fire_on_word(Cell* obj_word, Cell* field_word) {
    Cell obj = *context::get(obj_word);
    fire_on_set(&obj, field_word);
}

void fire_on_deep_change(Cell* owner, Cell* word, Cell* target, Cell* action, Cell* new_value, i32 index,
                         i32 part) {
    Cell obj = *owner;
    if (TYPE_OF(&obj) != TYPE_OBJECT || !on_set_of(&obj)) fire("script", "invalid-obj-evt", &obj);
    i32 locals = 0;
    Cell* fn = handler_of(&obj, 1, &locals, false);
    if (!fn) return;
    Cell handler = *fn;
    Cell args[7];
    args[0] = obj;
    args[1] = *word;
    args[2] = *target;
    args[3] = *action;
    if (new_value) args[4] = *new_value; else args[4] = none_cell;
    make_cell(&args[5], TYPE_INTEGER, 0, static_cast<u32>(index));
    make_cell(&args[6], TYPE_INTEGER, 0, static_cast<u32>(part));
    Cell name;
    word::make_at(words::on_deep_change_star, &name);
    call_handler(handler, name, args, 7);
}

namespace {

// Assigns field i of a set-many target, with notification and the changed mark.
void assign_field(Cell* obj, u32 i, const Cell& v) {
    bool handlers = on_set_of(obj) != 0;
    if (handlers && handler_field_q(obj, i)) {
        mark_changed(obj, i);
        return;
    }
    if (handlers) {
        stack::TopGuard top;
        Cell* old = stack::push(get_values(obj) + i);
        get_values(obj)[i] = v;
        Cell w = *get_word(obj->data1, static_cast<i32>(i));
        Cell nv = v;
        fire_on_change(obj, &w, old, &nv);
    } else {
        get_values(obj)[i] = v;
    }
    mark_changed(obj, i);
}

}  // namespace

void set_many(Cell* obj, Cell* value, bool any, bool only, bool some) {
    Cell o = *obj;
    Cell src = *value;
    u32 st = TYPE_OF(&src);
    u32 n = get_size(&o);
    if ((st == TYPE_BLOCK || st == TYPE_OBJECT) && !only) {
        if (!some && !any) {
            for (u32 i = 0; i < n; i++) {
                const Cell* v = nullptr;
                if (st == TYPE_OBJECT) {
                    if (i < get_size(&src)) v = get_values(&src) + i;
                } else if (series_head(&src) + i < length(series_node(&src))) {
                    v = cells(series_node(&src)) + series_head(&src) + i;
                }
                if (v && TYPE_OF(v) == TYPE_UNSET) fire("script", "need-value", get_word(o.data1, static_cast<i32>(i)));
            }
        }
        for (u32 i = 0; i < n; i++) {
            Cell v;
            if (st == TYPE_OBJECT) {
                Cell w = *get_word(o.data1, static_cast<i32>(i));
                i32 j = find_word(&src, &w);
                if (j < 0) continue;
                v = get_values(&src)[j];
            } else {
                u32 k = series_head(&src) + i;
                v = k < length(series_node(&src)) ? cells(series_node(&src))[k] : none_cell;
            }
            if (some && TYPE_OF(&v) == TYPE_NONE) continue;
            v.header &= ~FLAG_NEW_LINE;
            assign_field(&o, i, v);
        }
        return;
    }
    for (u32 i = 0; i < n; i++) assign_field(&o, i, src);
}

// ---- Make, copy, construct -------------------------------------------------------

bool extend(node_t target, node_t source) {
    u32 before = context::word_count(context::TO_CTX(target));
    for (u32 i = 0; i < context::word_count(context::TO_CTX(source)); i++) {
        Cell w = *context::get_word_at(context::TO_CTX(source), i);
        Cell v = context::values_of(context::TO_CTX(source))[i];
        i32 idx = context::add_word(context::TO_CTX(target), &w);
        context::values_of(context::TO_CTX(target))[idx] = v;
    }
    Cell obj = *context::owner_of(target);
    if (TYPE_OF(&obj) != TYPE_OBJECT) make_cell(&obj, TYPE_OBJECT, target, 0, 0);
    obj.data1 = target;
    refresh_values(&obj, true, false);
    return context::word_count(context::TO_CTX(target)) > before;
}

void rebind_function(Cell* fn, node_t ctx) {
    Cell f = *fn;
    Cell body = *function::more_cell(&f, function::MORE_BODY);
    if (TYPE_OF(&body) != TYPE_BLOCK) fire("script", "bad-func-def", &f);
    stack::TopGuard top;
    Cell* copy = block::clone(&body, true, true);
    // A method copied from a library object is library code too.
    if (block::buffer_of(&body)->flags & SERIES_LIBRARY) block::set_flags_deep(copy, SERIES_LIBRARY);
    context::bind(copy, context::TO_CTX(ctx), true);
    context::bind(copy, context::TO_CTX(function::ctx_of(&f)), false);
    Cell spec;
    make_cell(&spec, TYPE_BLOCK, 0, function::spec_of(&f));
    function::push(&spec, copy, 0, 0, ctx, f.header & (function::FLAG_TRACE | function::FLAG_NO_TRACE));
    *fn = stack::top[-1];
}

Cell* clone(Cell* src, Cell* dst, bool deep, Cell* types, bool finish) {
    Cell s = *src;
    Cell* held = stack::push(&s);  // keeps the source alive
    Cell* out = stack::push(&s);
    node_t old = s.data1;
    node_t ctx = context::clone(out, context::KIND_OBJECT);
    // Same words, same values.
    {
        u32 n = context::word_count(context::TO_CTX(old));
        node_t values = context::TO_CTX(ctx)->data2;
        SeriesBuffer* vb = GET_BUFFER(values);
        if (vb->size < n * sizeof(Cell)) vb = expand_series(vb, n * sizeof(Cell));
        std::memcpy(vb->head(), context::values_of(context::TO_CTX(old)), n * sizeof(Cell));
        vb->tail = vb->offset + n * sizeof(Cell);
    }
    if (finish) out->data3 = 0;
    *context::owner_of(ctx) = *out;
    if (deep && !types) {
        refresh_values(out, false, false);
    } else {
        Cell o = *out;
        for (u32 i = 0; i < get_size(&o); i++) {
            Cell v = get_values(&o)[i];
            if (TYPE_OF(&v) == TYPE_FUNCTION) {
                Cell* slot = stack::push(&v);
                rebind_function(slot, ctx);
                get_values(&o)[i] = *slot;
                stack::pop(1);
            }
        }
        if (types) {
            if (cycles::find_q(old)) {
                cycles::reset();
                fire("internal", "no-cycle");
            }
            CycleGuard guard(old);
            Cell blk;
            make_cell(&blk, TYPE_BLOCK, 0, context::TO_CTX(ctx)->data2);
            block::copy_types(&blk, 0, get_size(&o), types, true);
        }
    }
    if (finish) finish_make(out);
    *dst = *out;
    (void)held;
    stack::pop(2);
    return dst;
}

void finish_make(Cell* obj) {
    Cell o = *obj;
    node_t ctx = o.data1;
    i32 cpos = handler_position(ctx, words::on_change_star);
    i32 dpos = handler_position(ctx, words::on_deep_change_star);
    o.data3 = 0;
    if (cpos >= 0 || dpos >= 0) {
        i32 pos[2] = {cpos, dpos};
        i32 locals[2] = {0, 0};
        node_t specs[2] = {0, 0};
        for (int k = 0; k < 2; k++) {
            if (pos[k] < 0) continue;
            Cell* v = get_values(&o) + pos[k];
            if (TYPE_OF(v) != TYPE_FUNCTION && TYPE_OF(v) != TYPE_ROUTINE) {
                Cell dt = datatype_of(v);
                fire("script", "bad-field-set", &dt, get_word(ctx, pos[k]));
            }
            locals[k] = locals_of(v);
            specs[k] = TYPE_OF(v) == TYPE_FUNCTION ? function::spec_of(v) : 0;
        }
        o.data3 = build_record(cpos, locals[0], specs[0], dpos, locals[1], specs[1]);
    }
    *obj = o;
    *context::owner_of(ctx) = o;
    if (dpos >= 0) ownership::set_owner(&o, &o, &o);
}

Cell* make_proto(Cell* cell, Cell* proto) {
    if (proto && TYPE_OF(proto) == TYPE_OBJECT) return clone(proto, cell, true, nullptr, false);
    make_ctx_at(cell, 4);
    cell->data2 = static_cast<u32>(next_class());
    *context::owner_of(cell->data1) = *cell;
    return cell;
}

Cell* construct_values(Cell* obj, Cell* spec, bool only) {
    Cell* o = stack::push(obj);
    node_t sn = series_node(spec);
    u32 n = length(sn);
    i32 s_true = symbol::make("true"), s_yes = symbol::make("yes"), s_on = symbol::make("on");
    i32 s_false = symbol::make("false"), s_no = symbol::make("no"), s_off = symbol::make("off");
    i32 s_none = symbol::make("none");
    u32 i = series_head(spec);
    while (i < n) {
        if (TYPE_OF(cells(sn) + i) != TYPE_SET_WORD) {
            i++;
            continue;
        }
        u32 run = i;
        while (i < n && TYPE_OF(cells(sn) + i) == TYPE_SET_WORD) i++;
        Cell v = i < n ? cells(sn)[i] : none_cell;
        v.header &= ~FLAG_NEW_LINE;
        if (!only && TYPE_OF(&v) == TYPE_WORD) {
            i32 s = static_cast<i32>(v.data2);
            if (same_symbol(s, s_true) || same_symbol(s, s_yes) || same_symbol(s, s_on)) {
                make_cell(&v, TYPE_LOGIC, 1);
            } else if (same_symbol(s, s_false) || same_symbol(s, s_no) || same_symbol(s, s_off)) {
                make_cell(&v, TYPE_LOGIC, 0);
            } else if (same_symbol(s, s_none)) {
                v = none_cell;
            }
        }
        for (u32 k = run; k < i && k < n; k++) {
            Cell w = cells(sn)[k];
            i32 idx = context::add_word(CTX(o), &w);
            get_values(o)[idx] = v;
        }
    }
    finish_make(o);
    *obj = *o;
    stack::pop(1);
    return obj;
}

namespace {

// make; `pend`: an error that the spec's code raises is left pending and
// null answered (the make action returns at once), which spares it the C++
// throw through here.
Cell* make_object(Cell* proto, Cell* spec, bool pend) {
    Cell p = *proto;
    Cell s = *spec;
    stack::TopGuard top;
    Cell* held = stack::push(&s);
    Cell* res = stack::push_star();
    bool has_proto = TYPE_OF(&p) == TYPE_OBJECT;
    if (has_proto) {
        clone(&p, res, true, nullptr, false);
    } else {
        // Room for the fields a spec block sets, so that adding them does
        // not grow the word list and the values again and again.
        u32 fields = 0;
        if (TYPE_OF(&s) == TYPE_BLOCK) {
            node_t sn = series_node(&s);
            for (u32 i = series_head(&s), n = length(sn); i < n; i++) fields += TYPE_OF(cells(sn) + i) == TYPE_SET_WORD;
        }
        make_ctx_at(res, std::max<u32>(fields, 4));
    }
    node_t ctx = res->data1;
    switch (TYPE_OF(&s)) {
        case TYPE_OBJECT: {
            bool grew = extend(ctx, s.data1);
            res->data2 = static_cast<u32>(grew || !has_proto ? next_class() : class_of(&p));
            break;
        }
        case TYPE_BLOCK: {
            bool grew = context::collect_set_words(context::TO_CTX(ctx), held);
            context::bind(held, context::TO_CTX(ctx), true);
            if (has_proto) {
                // The clone copied the prototype's series; bind their words to the new object.
                for (u32 i = 0; i < get_size(res); i++) {
                    Cell v = get_values(res)[i];
                    if (block::any_block_q(TYPE_OF(&v))) context::bind(&v, context::TO_CTX(ctx), true);
                }
            }
            res->data2 = static_cast<u32>(grew || !has_proto ? next_class() : class_of(&p));
            *context::owner_of(ctx) = *res;
            Cell code = *held;
            if (pend) {
                user_code::evaluator.evaluate(&code, false);
                if (u32 exit = stack::pending) [[unlikely]] {
                    if (exit == THROW_ERROR) return nullptr;
                    stack::throw_pending();
                }
            } else {
                user_code::evaluator.eval(&code, false);
            }
            clear_marks(res);
            Cell* values = get_values(res);
            for (u32 i = 0, n = get_size(res); i < n; i++) values[i].header &= ~FLAG_NEW_LINE;
            break;
        }
        default:
            fire("syntax", "malconstruct", &s);
    }
    finish_make(res);
    *proto = *res;
    return proto;
}

// The make action's entry.
Cell* make_action(Cell* proto, Cell* spec, u32) { return make_object(proto, spec, true); }

}  // namespace

Cell* make(Cell* proto, Cell* spec, u32) { return make_object(proto, spec, false); }

// ---- Actions -------------------------------------------------------------------------

Cell* reflect(Cell* obj, u32 field_symbol) {
    Cell o = *obj;
    i32 f = symbol::resolve(static_cast<i32>(field_symbol));
    auto is = [&](i32 sym) { return f == symbol::resolve(sym); };
    u32 n = get_size(&o);
    if (is(words::class_)) return make_cell(obj, TYPE_INTEGER, 0, o.data2);
    if (is(words::owner)) return make_cell(obj, TYPE_LOGIC, (CTX(&o)->header & ownership::OWNER_CONTEXT) ? 1 : 0);
    if (is(words::events_q)) return make_cell(obj, TYPE_LOGIC, o.data3 ? 1 : 0);
    stack::TopGuard top;
    stack::push(&o);
    Cell* blk = block::push_only_star(n ? n * (is(words::body) ? 2 : 1) : 1);
    node_t bn = series_node(blk);
    for (u32 i = 0; i < n; i++) {
        Cell w = context::word_at(o.data1, i);
        w.header &= ~context::WORD_CHANGED;
        Cell v = get_values(&o)[i];
        Cell tmp;
        make_cell(&tmp, TYPE_BLOCK, 0, bn);
        if (is(words::changed)) {
            if (get_word(o.data1, static_cast<i32>(i))->header & context::WORD_CHANGED) block::zs_append(&tmp, &w);
        } else if (is(words::words)) {
            block::zs_append(&tmp, &w);
        } else if (is(words::values)) {
            block::zs_append(&tmp, &v);
        } else if (is(words::body)) {
            set_type(&w, TYPE_SET_WORD);
            block::zs_append(&tmp, &w);
            if (TYPE_OF(&v) == TYPE_WORD) set_type(&v, TYPE_LIT_WORD);
            else if (TYPE_OF(&v) == TYPE_PATH) set_type(&v, TYPE_LIT_PATH);
            block::zs_append(&tmp, &v);
        } else {
            fire("internal", "not-done");
        }
    }
    if (n == 0 && !(is(words::changed) || is(words::words) || is(words::values) || is(words::body))) {
        fire("internal", "not-done");
    }
    *obj = *blk;
    return obj;
}

namespace {

i32 write_fields(Cell* obj, Cell* buffer, bool all, bool flat, bool mold, Cell* arg, i32 part, i32 indent) {
    Cell o = *obj;
    bool first = true;
    for (u32 i = 0; i < get_size(&o); i++) {
        Cell w = *get_word(o.data1, static_cast<i32>(i));
        if (!all && (same_symbol(static_cast<i32>(w.data2), words::on_change_star) ||
                     same_symbol(static_cast<i32>(w.data2), words::on_deep_change_star))) {
            continue;
        }
        if (arg && part <= 0) return part;
        Cell v = get_values(&o)[i];
        if (mold && !flat) {
            part = mold_indent(buffer, indent + 1, part);
        } else if (!first) {
            string::concatenate_literal(buffer, flat ? " " : "\n");
            part--;
        }
        first = false;
        w.header &= ~context::WORD_CHANGED;
        set_type(&w, TYPE_WORD);
        part = word::form(&w, buffer, arg, part);
        string::concatenate_literal(buffer, ": ");
        part -= 2;
        if (TYPE_OF(&v) == TYPE_WORD) {
            string::concatenate_literal(buffer, "'");
            part--;
        }
        v.header &= ~FLAG_NEW_LINE;
        part = actions::mold_dispatch(&v, buffer, false, all, flat, arg, part, indent + 1);
        if (mold && !flat) {
            string::concatenate_literal(buffer, "\n");
            part--;
        }
    }
    return part;
}

}  // namespace

i32 form(Cell* obj, Cell* buffer, Cell* arg, i32 part) {
    if (cycles::detect_q(obj, buffer, part, false)) return part;
    CycleGuard guard(obj->data1);
    return write_fields(obj, buffer, false, false, false, arg, part, 0);
}

i32 mold(Cell* obj, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (cycles::detect_q(obj, buffer, part, true)) return part;
    CycleGuard guard(obj->data1);
    if (!only) {
        string::concatenate_literal(buffer, "make object! [");
        part -= 14;
        if (!flat) {
            string::concatenate_literal(buffer, "\n");
            part--;
        }
    }
    part = write_fields(obj, buffer, all, flat, true, arg, part, indent);
    if (!flat && indent > 0) part = mold_indent(buffer, indent, part);
    if (!only) {
        string::concatenate_literal(buffer, "]");
        part--;
    }
    return part;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool get,
                bool tail) {
    // A field it cannot find (a lookup that runs no code first) is raised
    // pending when the evaluator's step asked for it.
    const bool pend = take_pend_path_errors();
    auto path_error = [&](const char* id) { return fire_or_pend(pend, "script", id, path, element); };
    Cell o = *parent;
    if (!plain_word_q(TYPE_OF(element))) return path_error("invalid-path");
    node_t ctx = o.data1;
    if (value && same_symbol(static_cast<i32>(element->data2), words::self)) return path_error("invalid-path");
    i32 idx;
    if (element->data1 == ctx && word_index(element) >= 0) {
        idx = word_index(element);
    } else {
        idx = context::find_word(context::TO_CTX(ctx), static_cast<i32>(element->data2), true);
        if (idx >= 0) {
            // A cell of a permanent block not written since refers only to
            // permanent buffers: only a word bound to none may be one.
            if (!element->data1 || collector::permanent_q(element->data1)) collector::note_cell_store(element, ctx);
            element->data1 = ctx;
            element->data3 = static_cast<u32>(idx);
        }
    }
    auto missing = [&]() -> Cell* {
        if (get && tail) return make_cell(stack::push_star(), TYPE_UNSET);
        return path_error(tail ? "invalid-path" : "unset-path");
    };
    if (idx < 0) return missing();
    if (value) {
        Cell w = *element;
        if (TYPE_OF(&w) != TYPE_WORD) w = *get_word(ctx, idx);
        w.data1 = ctx;
        w.data3 = static_cast<u32>(idx);
        Cell v = *value;
        context::set_in(&w, &v, context::TO_CTX(ctx), true);
        return value;
    }
    Cell* slot = get_values(&o) + idx;
    if (TYPE_OF(slot) == TYPE_UNSET) return missing();
    return slot;
}

i32 compare(Cell* obj1, Cell* obj2, i32 op) {
    if (TYPE_OF(obj2) != TYPE_OF(obj1)) return -2;
    Cell a = *obj1, b = *obj2;
    if (a.data1 == b.data1) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles::find_q(a.data1)) return cycles::find_q(b.data1) ? 0 : -1;
    u32 na = get_size(&a), nb = get_size(&b);
    if (na != nb) return na < nb ? -1 : 1;
    CycleGuard ga(a.data1);
    CycleGuard gb(b.data1);
    for (u32 i = 0; i < na; i++) {
        i32 s1 = symbol::resolve(static_cast<i32>(get_word(a.data1, static_cast<i32>(i))->data2));
        i32 s2 = symbol::resolve(static_cast<i32>(get_word(b.data1, static_cast<i32>(i))->data2));
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        Cell v1 = get_values(&a)[i], v2 = get_values(&b)[i];
        u32 t1 = TYPE_OF(&v1), t2 = TYPE_OF(&v2);
        bool words_both = t1 >= TYPE_WORD && t1 <= TYPE_ISSUE && t2 >= TYPE_WORD && t2 <= TYPE_ISSUE;
        if (t1 != t2 && !words_both && !(number_q(t1) && number_q(t2))) return t1 < t2 ? -1 : 1;
        i32 r = actions::compare_value(&v1, &v2, op);
        if (r == -2) return t1 < t2 ? -1 : 1;
        if (r != 0) return r;
    }
    return 0;
}

Cell* copy(Cell* obj, Cell* result, Cell* part, bool deep, Cell* types) {
    if (part) {
        Cell w;
        word::make_at(symbol::make("part"), &w);
        fire("script", "invalid-refine-arg", &w, part);
    }
    return clone(obj, result, deep, types, true);
}

Cell* put(Cell* obj, Cell* key, Cell* value, bool) {
    if (!plain_word_q(TYPE_OF(key))) {
        Cell dt = datatype_of(key);
        fire("script", "invalid-key-type", &dt);
    }
    Cell k = *key;
    Cell v = *value;
    eval_path(obj, &k, &v, obj, nullptr, nullptr, 0, false, false, false);
    *obj = v;
    return obj;
}

Cell* select(Cell* obj, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) {
    if (!plain_word_q(TYPE_OF(value))) {
        Cell dt = datatype_of(value);
        fire("script", "invalid-type", &dt);
    }
    Cell v = *select_word(obj, value);
    *obj = v;
    return obj;
}

Cell* modify(Cell* obj, Cell* field, Cell* value, bool) {
    Cell o = *obj;
    Cell v = *value;
    i32 f = symbol::resolve(static_cast<i32>(field->data2));
    if (f == symbol::resolve(words::changed)) {
        if (TYPE_OF(&v) != TYPE_NONE) fire("script", "invalid-arg", &v);
        clear_marks(&o);
    } else if (f == symbol::resolve(words::owner)) {
        ownership::set_owner(&o, &o, &o);
    } else if (f == symbol::resolve(words::owned)) {
        if (TYPE_OF(&v) == TYPE_NONE) {
            CTX(&o)->header &= ~ownership::OWNER_CONTEXT;
            ownership::unbind(&o);
        } else if (TYPE_OF(&v) == TYPE_BLOCK && block::zs_length_q(&v) >= 2) {
            Cell series = *block::zs_abs_at(&v, series_head(&v));
            Cell w = *block::zs_abs_at(&v, series_head(&v) + 1);
            ownership::bind(&series, &o, &w);
        }
    }
    *obj = v;
    return obj;
}

void init() {
    datatype::register_type(TYPE_OBJECT, 0, "object!", {
        own<ACT_MAKE>(make_action), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_COPY>(copy), own<ACT_PUT>(put),
        own<ACT_SELECT>(select), own<ACT_MODIFY>(modify),
    });
}

}  // namespace zav::object
