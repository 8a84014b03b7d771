// The generic actions: each action! value's entry and the typed workers that dispatch on the target.
#include "evaluator/actions.h"

#include "evaluator/fastpath.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav::actions {

GenericEntry generic_table[ACTIONS_COUNT + 1] = {};

namespace {

using namespace action_fn;

Cell* A0() { return stack::arguments; }
Cell* A(u32 i) { return stack::arguments + i; }
// A refinement's argument cell, or null when the refinement is unused.
Cell* R(i32 r) { return r < 0 ? nullptr : stack::arguments + r; }
bool F(i32 r) { return r != -1; }

// script/expect-arg (call name, datatype, the action's first parameter) for
// a type without the action; raised pending (see fire_pending) where the
// action's caller returns at once.
void no_entry(u32 type, bool pending) {
    Cell name, dt, arg;
    error::get_call_name(&name);
    datatype::make_at(&dt, type);
    error::get_call_argument(0, &arg);
    fire_or_pend(pending, "script", "expect-arg", &name, &dt, &arg);
}

// The slot entry of the type `type` (the value's own unless given), raising
// no_entry's error where there is none.
ActionFn entry_for(u32 type, const Cell* value, u32 slot) {
    ActionFn fn = get_action_ptr_from(type, value, slot);
    if (!fn) no_entry(type, false);
    return fn;
}

template <class Fn>
Fn slot_of(const Cell* value, u32 slot) {
    return reinterpret_cast<Fn>(entry_for(TYPE_OF(value), value, slot));
}

// The type a make or to is for: a datatype! names it, any other value is the prototype.
u32 target_type(const Cell* spec_type) {
    return TYPE_OF(spec_type) == TYPE_DATATYPE ? spec_type->data1 : TYPE_OF(spec_type);
}

void result(const Cell* c) {
    if (c) stack::set_last(c);
}

bool series_type_q(u32 t) {
    switch (t) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_PATH:
        case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_VECTOR: case TYPE_HASH:
        case TYPE_BINARY: case TYPE_TAG: case TYPE_EMAIL: case TYPE_IMAGE:
            return true;
        default:
            return false;
    }
}

// The /part checks of append, insert and change. Append and insert take
// their /part from the inserted value; change replaces a range of the target,
// so its /part is a position in `limited` (the target) rather than the value.
void check_part(Cell* value, Cell* part, Cell* limited) {
    if (series_type_q(TYPE_OF(value))) {
        u32 len = GET_BUFFER(series_node(value))->length();
        u32 unit = GET_BUFFER(series_node(value))->unit();
        u32 n = unit ? len : 0;
        if (series_head(value) > n) series_head(value) = n;
    }
    if (!part || TYPE_OF(part) == TYPE_INTEGER) return;
    bool same = TYPE_OF(part) == TYPE_OF(limited) && series_type_q(TYPE_OF(limited)) &&
                series_node(part) == series_node(limited);
    if (!same || TYPE_OF(value) == TYPE_PORT_ID) {
        Cell w, p = *part;
        word::make_at(symbol::make("part"), &w);
        fire("script", "invalid-refine-arg", &w, &p);
    }
}

}  // namespace

// ---- typed workers ------------------------------------------------------------

Cell* make_dispatch(Cell* proto, Cell* spec, u32 type) {
    return reinterpret_cast<Make>(entry_for(type, proto, ACT_MAKE))(proto, spec, type);
}
Cell* random_dispatch(Cell* value, bool seed, bool secure, bool only) {
    return slot_of<Random>(value, ACT_RANDOM)(value, seed, secure, only);
}
Cell* reflect_dispatch(Cell* value, u32 field_symbol) {
    return slot_of<Reflect>(value, ACT_REFLECT)(value, field_symbol);
}
Cell* to_dispatch(Cell* proto, Cell* spec, u32 type) {
    return reinterpret_cast<To>(entry_for(type, proto, ACT_TO))(proto, spec, type);
}
Cell* negate_dispatch(Cell* value) { return slot_of<Negate>(value, ACT_NEGATE)(value); }
Cell* round_dispatch(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil,
                     bool half_ceil) {
    return slot_of<Round>(value, ACT_ROUND)(value, scale, even, down, half_down, floor, ceil, half_ceil);
}
bool even_q_dispatch(Cell* value) { return slot_of<Predicate>(value, ACT_EVEN_Q)(value); }
bool odd_q_dispatch(Cell* value) { return slot_of<Predicate>(value, ACT_ODD_Q)(value); }
Cell* complement_dispatch(Cell* value) { return slot_of<Complement>(value, ACT_COMPLEMENT)(value); }
Cell* append_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup) {
    return slot_of<Insert>(series, ACT_APPEND)(series, value, part, only, dup, true);
}
Cell* insert_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup) {
    return slot_of<Insert>(series, ACT_INSERT)(series, value, part, only, dup, false);
}
Cell* change_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup) {
    return slot_of<Change>(series, ACT_CHANGE)(series, value, part, only, dup);
}
Cell* clear_dispatch(Cell* series) { return slot_of<Clear>(series, ACT_CLEAR)(series); }
Cell* copy_dispatch(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    return slot_of<Copy>(value, ACT_COPY)(value, result, part, deep, types);
}
Cell* find_dispatch(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                    Cell* skip, bool last, bool reverse, bool tail, bool match) {
    return slot_of<Find>(series, ACT_FIND)(series, value, part, only, case_, same, any, with, skip, last, reverse,
                                           tail, match);
}
i32 length_q_dispatch(Cell* series) { return slot_of<Length>(series, ACT_LENGTH_Q)(series); }
Cell* move_dispatch(Cell* origin, Cell* target, Cell* part) {
    return slot_of<Move>(origin, ACT_MOVE)(origin, target, part);
}
Cell* pick_dispatch(Cell* series, i32 index, Cell* boxed) {
    return slot_of<Pick>(series, ACT_PICK)(series, index, boxed);
}
Cell* poke_dispatch(Cell* series, i32 index, Cell* data, Cell* boxed) {
    return slot_of<Poke>(series, ACT_POKE)(series, index, data, boxed);
}
Cell* put_dispatch(Cell* series, Cell* key, Cell* value, bool case_) {
    return slot_of<Put>(series, ACT_PUT)(series, key, value, case_);
}
Cell* remove_dispatch(Cell* series, Cell* part, Cell* key) {
    return slot_of<Remove>(series, ACT_REMOVE)(series, part, key);
}
Cell* reverse_dispatch(Cell* series, Cell* part, Cell* skip) {
    return slot_of<Reverse>(series, ACT_REVERSE)(series, part, skip);
}
Cell* select_dispatch(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                      Cell* with, Cell* skip, bool last, bool reverse) {
    return slot_of<Select>(series, ACT_SELECT)(series, value, part, only, case_, same, any, with, skip, last,
                                               reverse);
}
Cell* sort_dispatch(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
                    bool stable) {
    return slot_of<Sort>(series, ACT_SORT)(series, case_, skip, comparator, part, all, reverse, stable);
}
Cell* swap_dispatch(Cell* series1, Cell* series2) { return slot_of<Swap>(series1, ACT_SWAP)(series1, series2); }
Cell* take_dispatch(Cell* series, Cell* part, bool deep, bool last) {
    return slot_of<Take>(series, ACT_TAKE)(series, part, deep, last);
}
Cell* trim_dispatch(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    return slot_of<Trim>(series, ACT_TRIM)(series, head, tail, auto_, lines, all, with);
}
Cell* create_dispatch(Cell* port) { return slot_of<Port>(port, ACT_CREATE)(port); }
Cell* close_dispatch(Cell* port) { return slot_of<Port>(port, ACT_CLOSE)(port); }
Cell* delete_dispatch(Cell* port) { return slot_of<Port>(port, ACT_DELETE)(port); }
Cell* modify_dispatch(Cell* target, Cell* field, Cell* value, bool case_) {
    return slot_of<Modify>(target, ACT_MODIFY)(target, field, value, case_);
}
Cell* open_dispatch(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return slot_of<Open>(port, ACT_OPEN)(port, new_, read, write, seek, allow);
}
Cell* open_q_dispatch(Cell* port) { return slot_of<Port>(port, ACT_OPEN_Q)(port); }
Cell* query_dispatch(Cell* port) { return slot_of<Port>(port, ACT_QUERY)(port); }
Cell* read_dispatch(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    return slot_of<Read>(source, ACT_READ)(source, part, seek, binary, lines, info, as);
}
Cell* rename_dispatch(Cell* from, Cell* to) { return slot_of<Rename>(from, ACT_RENAME)(from, to); }
Cell* update_dispatch(Cell* port) { return slot_of<Port>(port, ACT_UPDATE)(port); }
Cell* write_dispatch(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
                     Cell* seek, Cell* allow, Cell* as) {
    return slot_of<Write>(destination, ACT_WRITE)(destination, data, binary, lines, info, append, part, seek, allow,
                                                  as);
}

void dispatch_stack(u32 slot) {
    ActionFn fn = get_action_ptr_from(TYPE_OF(A0()), A0(), slot);
    // Its callers return at once: a type without the action is raised pending too.
    if (!fn) [[unlikely]] return no_entry(TYPE_OF(A0()), true);
    Cell* r = reinterpret_cast<Stack>(fn)();
    // An error the action raised pending: the stacks are its guard's now.
    if (stack::pending) [[unlikely]] return;
    result(r);
}

namespace {

// True, the error raised pending, when the first argument's type lacks the
// action: the action natives check it before their dispatch, which would
// throw it, since their callers return at once.
bool lacks(u32 slot) {
    if (get_action_ptr_from(TYPE_OF(A0()), A0(), slot)) [[likely]] return false;
    no_entry(TYPE_OF(A0()), true);
    return true;
}

// script/bad-path-type (path given) or bad-path-type2 for a value whose type
// has no path step; raised pending where the step's caller returns at once.
void no_path_step(const Cell* value, Cell* element, Cell* path, Cell* parent, bool pending) {
    Cell dt, a1, a3;
    datatype::make_at(&dt, TYPE_OF(value));
    const char* id = path ? "bad-path-type" : "bad-path-type2";
    if (path) {
        a1 = *path;
        if (parent) a3 = *parent; else make_cell(&a3, TYPE_NONE);
    } else if (element) {
        a1 = *element;
    } else {
        make_cell(&a1, TYPE_NONE);
    }
    fire_or_pend(pending, "script", id, &a1, &dt, path ? &a3 : nullptr);
}

}  // namespace

action_fn::EvalPath get_path_action(const Cell* value, u32 slot, Cell* element, Cell* path, Cell* parent) {
    ActionFn fn = get_action_ptr_from(TYPE_OF(value), value, slot);
    if (!fn) no_path_step(value, element, path, parent, false);
    return reinterpret_cast<EvalPath>(fn);
}

Cell* eval_path_dispatch(Cell* parent, Cell* element, Cell* value, Cell* path, bool case_, Cell* gparent,
                         Cell* p_item, i32 index, bool get, bool tail, bool pending) {
    u32 slot = value ? ACT_SET_PATH : ACT_EVAL_PATH;
    EvalPath fn = reinterpret_cast<EvalPath>(get_action_ptr_from(TYPE_OF(parent), parent, slot));
    if (!fn && value) fn = reinterpret_cast<EvalPath>(get_action_ptr_from(TYPE_OF(parent), parent, ACT_EVAL_PATH));
    if (!fn) {
        if (pending) return no_path_step(parent, element, path, p_item ? p_item : gparent, true), nullptr;
        fn = get_path_action(parent, ACT_EVAL_PATH, element, path, p_item ? p_item : gparent);
    }
    // The steps that take it: an object's field lookup, a block's or a text's.
    pend_path_errors = pending && (fn == object::eval_path || fn == error::eval_path || fn == block::eval_path ||
                                   fn == string::eval_path);
    return fn(parent, element, value, path, gparent, p_item, index, case_, get, tail);
}

void store_path_back(const Cell* changed, Cell* steps, u32 count, Cell* head, Cell* path, bool case_) {
    Cell v = *changed;
    for (u32 k = count; k-- > 0;) {
        Cell container = steps[2 * k];
        Cell item = steps[2 * k + 1];
        Cell* saved_top = stack::top;
        eval_path_dispatch(&container, &item, &v, path, case_, k ? &steps[2 * (k - 1)] : nullptr, nullptr,
                           static_cast<i32>(k + 1), false, true);
        stack::top = saved_top;
        // A reference value took the change in place (an object also told its handler).
        if (!immediate_q(TYPE_OF(&container))) return;
        v = container;
    }
    if (head && TYPE_OF(head) == TYPE_WORD) context::set(head, &v);
}

i32 get_index_argument() {
    Cell* c = A(1);
    switch (TYPE_OF(c)) {
        case TYPE_INTEGER: return static_cast<i32>(c->data2);
        case TYPE_CHAR: return static_cast<i32>(c->data2);
        case TYPE_LOGIC: return c->data1 ? 1 : 2;
        default: return 0;
    }
}

void compare_op(i32 op) {
    bool r = compare_star(A(0), A(1), op);
    make_cell(A(0), TYPE_LOGIC, r ? 1 : 0);
}

// ---- generic entries ----------------------------------------------------------

void make_star() {
    Cell* proto = A0();
    Cell* r = make_dispatch(proto, A(1), target_type(proto));
    // A conversion's error raised pending: the stacks are its guard's now.
    if (stack::pending) [[unlikely]] return;
    result(r);
}

void random_star(i32 seed, i32 secure, i32 only) { result(random_dispatch(A0(), F(seed), F(secure), F(only))); }

void reflect_star() { result(reflect_dispatch(A0(), A(1)->data2)); }

void to_star() {
    Cell* proto = A0();
    Cell* r = to_dispatch(proto, A(1), target_type(proto));
    if (stack::pending) [[unlikely]] return;  // as make_star
    result(r);
}

namespace {

// Form and mold: the result slot is kept, the text is built in a new string
// after it and then becomes the result.
template <class Write>
void write_text(i32 part, Write write) {
    Cell limit_cell;
    bool limited = part >= 0;
    i32 limit = 0;
    if (limited) {
        limit_cell = *R(part);
        limit = TYPE_OF(&limit_cell) == TYPE_INTEGER ? static_cast<i32>(limit_cell.data2) : 0;
    }
    Cell value = *A0();
    stack::keep();
    Cell* buffer = string::make_push(16);
    if (limited && limit < 1) {
        stack::set_last(buffer);
        return;
    }
    write(&value, buffer, limited ? &limit_cell : nullptr, limit);
    if (limited) string::update_cursor(GET_BUFFER(series_node(buffer)), static_cast<u32>(limit));
    stack::set_last(buffer);
}

}  // namespace

void form_star(i32 part) {
    write_text(part, [](Cell* v, Cell* b, Cell* arg, i32 limit) { form_dispatch(v, b, arg, limit); });
}

void mold_star(i32 only, i32 all, i32 flat, i32 part) {
    bool o = F(only), a = F(all), f = F(flat);
    write_text(part, [=](Cell* v, Cell* b, Cell* arg, i32 limit) { mold_dispatch(v, b, o, a, f, arg, limit, 0); });
}

void eval_path_star(i32 case_) {
    Cell* saved = stack::top;
    Cell* r = eval_path_dispatch(A0(), A(1), nullptr, nullptr, F(case_));
    Cell v = *r;
    stack::top = saved;
    stack::set_last(&v);
}

void compare_star_entry() {
    i32 op = TYPE_OF(A(2)) == TYPE_INTEGER ? static_cast<i32>(A(2)->data2) : 0;
    compare_op(op);
}

void absolute_star() { dispatch_stack(ACT_ABSOLUTE); }
void add_star() { dispatch_stack(ACT_ADD); }
void divide_star() { dispatch_stack(ACT_DIVIDE); }
void multiply_star() { dispatch_stack(ACT_MULTIPLY); }
void negate_star() {
    if (!lacks(ACT_NEGATE)) result(negate_dispatch(A0()));
}
void power_star() { dispatch_stack(ACT_POWER); }
void remainder_star() { dispatch_stack(ACT_REMAINDER); }
void round_star(i32 to, i32 even, i32 down, i32 half_down, i32 floor, i32 ceiling, i32 half_ceiling) {
    if (lacks(ACT_ROUND)) return;
    result(round_dispatch(A0(), R(to), F(even), F(down), F(half_down), F(floor), F(ceiling), F(half_ceiling)));
}
void subtract_star() { dispatch_stack(ACT_SUBTRACT); }
void even_q_star() { make_cell(A0(), TYPE_LOGIC, even_q_dispatch(A0()) ? 1 : 0); }
void odd_q_star() { make_cell(A0(), TYPE_LOGIC, odd_q_dispatch(A0()) ? 1 : 0); }
void and_t_star() { dispatch_stack(ACT_AND_T); }
void complement_star() { result(complement_dispatch(A0())); }
void or_t_star() { dispatch_stack(ACT_OR_T); }
void xor_t_star() { dispatch_stack(ACT_XOR_T); }

void append_star(i32 part, i32 only, i32 dup) {
    check_part(A(1), R(part), A(1));
    if (lacks(ACT_APPEND)) return;
    result(append_dispatch(A0(), A(1), R(part), F(only), R(dup)));
}
void at_star() { dispatch_stack(ACT_AT); }
void back_star() { dispatch_stack(ACT_BACK); }
void change_star(i32 part, i32 only, i32 dup) {
    check_part(A(1), R(part), A0());
    if (lacks(ACT_CHANGE)) return;
    result(change_dispatch(A0(), A(1), R(part), F(only), R(dup)));
}
void clear_star() {
    if (!lacks(ACT_CLEAR)) clear_dispatch(A0());
}
void copy_star(i32 part, i32 deep, i32 types) {
    Cell* t = R(types);
    if (t && TYPE_OF(t) != TYPE_DATATYPE && TYPE_OF(t) != TYPE_TYPESET) {
        Cell name, dt, arg;
        error::get_call_name(&name);
        datatype::make_at(&dt, TYPE_OF(t));
        word::make_at(symbol::make("types"), &arg);
        fire("script", "expect-arg", &name, &dt, &arg);
    }
    if (lacks(ACT_COPY)) return;
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    Cell* r = copy_dispatch(A0(), out, R(part), F(deep), t);
    if (stack::pending) [[unlikely]] return;  // as make_star
    Cell v = *r;
    stack::set_last(&v);
}
void find_star(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse,
               i32 tail, i32 match) {
    if (lacks(ACT_FIND)) return;
    result(find_dispatch(A0(), A(1), R(part), F(only), F(case_), F(same), F(any), R(with), R(skip), F(last),
                         F(reverse), F(tail), F(match)));
}
void head_star() { dispatch_stack(ACT_HEAD); }
void head_q_star() { dispatch_stack(ACT_HEAD_Q); }
void index_q_star() { dispatch_stack(ACT_INDEX_Q); }
void insert_star(i32 part, i32 only, i32 dup) {
    check_part(A(1), R(part), A(1));
    if (lacks(ACT_INSERT)) return;
    result(insert_dispatch(A0(), A(1), R(part), F(only), R(dup)));
}
void length_q_star() {
    if (lacks(ACT_LENGTH_Q)) return;
    i32 n = length_q_dispatch(A0());
    if (n == -1) make_cell(A0(), TYPE_NONE);
    else make_cell(A0(), TYPE_INTEGER, 0, static_cast<u32>(n));
}
void move_star(i32 part) { result(move_dispatch(A0(), A(1), R(part))); }
void next_star() { dispatch_stack(ACT_NEXT); }
void pick_star() { result(pick_dispatch(A0(), get_index_argument(), A(1))); }
void poke_star() { result(poke_dispatch(A0(), get_index_argument(), A(2), A(1))); }
void put_star(i32 case_) { result(put_dispatch(A0(), A(1), A(2), F(case_))); }
void remove_star(i32 part, i32 key) {
    if (!lacks(ACT_REMOVE)) remove_dispatch(A0(), R(part), R(key));
}
void reverse_star(i32 part, i32 skip) { reverse_dispatch(A0(), R(part), R(skip)); }
void select_star(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse) {
    if (lacks(ACT_SELECT)) return;
    result(select_dispatch(A0(), A(1), R(part), F(only), F(case_), F(same), F(any), R(with), R(skip), F(last),
                           F(reverse)));
}
void sort_star(i32 case_, i32 skip, i32 compare, i32 part, i32 all, i32 reverse, i32 stable) {
    result(sort_dispatch(A0(), F(case_), R(skip), R(compare), R(part), F(all), F(reverse), F(stable)));
}
void skip_star() { dispatch_stack(ACT_SKIP); }
void swap_star() { swap_dispatch(A0(), A(1)); }
void tail_star() { dispatch_stack(ACT_TAIL); }
void tail_q_star() { dispatch_stack(ACT_TAIL_Q); }
void take_star(i32 part, i32 deep, i32 last) {
    if (!lacks(ACT_TAKE)) result(take_dispatch(A0(), R(part), F(deep), F(last)));
}
void trim_star(i32 head, i32 tail, i32 auto_, i32 lines, i32 all, i32 with) {
    trim_dispatch(A0(), F(head), F(tail), F(auto_), F(lines), F(all), R(with));
}
void create_star() { result(create_dispatch(A0())); }
void close_star() { result(close_dispatch(A0())); }
void delete_star() { result(delete_dispatch(A0())); }
void modify_star(i32 case_) { result(modify_dispatch(A0(), A(1), A(2), F(case_))); }
void open_star(i32 new_, i32 read, i32 write, i32 seek, i32 allow) {
    result(open_dispatch(A0(), F(new_), F(read), F(write), F(seek), R(allow)));
}
void open_q_star() { result(open_q_dispatch(A0())); }
void query_star() { result(query_dispatch(A0())); }
void read_star(i32 part, i32 seek, i32 binary, i32 lines, i32 info, i32 as) {
    result(read_dispatch(A0(), R(part), R(seek), F(binary), F(lines), F(info), R(as)));
}
void rename_star() { result(rename_dispatch(A0(), A(1))); }
void update_star() { result(update_dispatch(A0())); }
void write_star(i32 binary, i32 lines, i32 info, i32 append, i32 part, i32 seek, i32 allow, i32 as) {
    result(write_dispatch(A0(), A(1), F(binary), F(lines), F(info), F(append), R(part), R(seek), R(allow), R(as)));
}

// ---- the generic table -----------------------------------------------------------

void register_(u32 n, const GenericEntry* entries) {
    for (u32 i = 0; i < n && i < ACTIONS_COUNT; i++) generic_table[i + 1] = entries[i];
}

void call_generic(u32 slot, const i32* refinements, bool tried) {
    if (slot < 1 || slot > ACTIONS_COUNT || !generic_table[slot]) rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    if (!tried && fast_series_action(slot, refinements)) return;
    generic_table[slot](refinements);
}

void init() {
    static const GenericEntry entries[ACTIONS_COUNT] = {
        [](const i32*) { make_star(); },
        [](const i32* r) { random_star(r[0], r[1], r[2]); },
        [](const i32*) { reflect_star(); },
        [](const i32*) { to_star(); },
        [](const i32* r) { form_star(r[0]); },
        [](const i32* r) { mold_star(r[0], r[1], r[2], r[3]); },
        [](const i32* r) { eval_path_star(r[0]); },
        nullptr,  // set-path: reached only through eval-path
        [](const i32*) { compare_star_entry(); },
        [](const i32*) { absolute_star(); },
        [](const i32*) { add_star(); },
        [](const i32*) { divide_star(); },
        [](const i32*) { multiply_star(); },
        [](const i32*) { negate_star(); },
        [](const i32*) { power_star(); },
        [](const i32*) { remainder_star(); },
        [](const i32* r) { round_star(r[0], r[1], r[2], r[3], r[4], r[5], r[6]); },
        [](const i32*) { subtract_star(); },
        [](const i32*) { even_q_star(); },
        [](const i32*) { odd_q_star(); },
        [](const i32*) { and_t_star(); },
        [](const i32*) { complement_star(); },
        [](const i32*) { or_t_star(); },
        [](const i32*) { xor_t_star(); },
        [](const i32* r) { append_star(r[0], r[1], r[2]); },
        [](const i32*) { at_star(); },
        [](const i32*) { back_star(); },
        [](const i32* r) { change_star(r[0], r[1], r[2]); },
        [](const i32*) { clear_star(); },
        [](const i32* r) { copy_star(r[0], r[1], r[2]); },
        [](const i32* r) { find_star(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10]); },
        [](const i32*) { head_star(); },
        [](const i32*) { head_q_star(); },
        [](const i32*) { index_q_star(); },
        [](const i32* r) { insert_star(r[0], r[1], r[2]); },
        [](const i32*) { length_q_star(); },
        [](const i32* r) { move_star(r[0]); },
        [](const i32*) { next_star(); },
        [](const i32*) { pick_star(); },
        [](const i32*) { poke_star(); },
        [](const i32* r) { put_star(r[0]); },
        [](const i32* r) { remove_star(r[0], r[1]); },
        [](const i32* r) { reverse_star(r[0], r[1]); },
        [](const i32* r) { select_star(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8]); },
        [](const i32* r) { sort_star(r[0], r[1], r[2], r[3], r[4], r[5], r[6]); },
        [](const i32*) { skip_star(); },
        [](const i32*) { swap_star(); },
        [](const i32*) { tail_star(); },
        [](const i32*) { tail_q_star(); },
        [](const i32* r) { take_star(r[0], r[1], r[2]); },
        [](const i32* r) { trim_star(r[0], r[1], r[2], r[3], r[4], r[5]); },
        [](const i32*) { create_star(); },
        [](const i32*) { close_star(); },
        [](const i32*) { delete_star(); },
        [](const i32* r) { modify_star(r[0]); },
        [](const i32* r) { open_star(r[0], r[1], r[2], r[3], r[4]); },
        [](const i32*) { open_q_star(); },
        [](const i32*) { query_star(); },
        [](const i32* r) { read_star(r[0], r[1], r[2], r[3], r[4], r[5]); },
        [](const i32*) { rename_star(); },
        [](const i32*) { update_star(); },
        [](const i32* r) { write_star(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]); },
    };
    register_(ACTIONS_COUNT, entries);
}

}  // namespace zav::actions
