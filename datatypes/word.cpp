// The word family: loading, pushing, reading and writing words, and the
// actions of word!, set-word!, lit-word!, get-word!, refinement! and issue!.
#include "datatypes/word.h"

#include <vector>

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/collector.h"
#include "datatypes/words.h"

namespace zav {

namespace {

inline bool any_word_type_q(u32 t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }

inline Cell* block_cells(node_t block) { return reinterpret_cast<Cell*>(GET_BUFFER(block)->head()); }

[[noreturn]] void bad_to_arg(u32 type, const Cell* spec) {
    Cell dt;
    fire("script", "bad-to-arg", datatype::make_at(&dt, type), spec);
}

// Appends the symbol's name (its cached code points) to a string! buffer;
// answers the count written.
// Writes the symbol's name; `visible` writes control characters (a name made
// with `to issue!` may hold them) as string! escapes, so that a molded word
// never sends raw control codes to a terminal.
i32 append_name(Cell* buffer, i32 sym, bool visible = false) {
    SeriesBuffer* src = GET_BUFFER(symbol::cache_string(sym));
    u32 n = src->length(), unit = src->unit();
    std::vector<u32> cps(n);
    for (u32 i = 0; i < n; i++) cps[i] = string::get_char(src->head() + i * unit, unit);
    node_t dst_node = series_node(buffer);
    SeriesBuffer* dst = GET_BUFFER(dst_node);
    u32 before = dst->length();
    for (u32 cp : cps) {
        if (visible && string::terminal_control_q(cp)) dst = string::append_escaped_char(dst, cp, string::ESC_MOLD, false);
        else dst = string::append_char(dst, cp);
    }
    return static_cast<i32>(dst->length() - before);
}

void append_ascii(Cell* buffer, u32 cp) { string::append_char(GET_BUFFER(series_node(buffer)), cp); }

// Pushes a copy of the word-list cell at the index, retyped.
Cell* push_local_as(node_t ctx, i32 index, u32 type) {
    return set_type(stack::push(word::at(ctx, index)), type);
}

Cell* push_as(const Cell* w, u32 type) { return set_type(stack::push(w), type); }

// The set of the non-word! types: stores without the unset check.
Cell* set_unchecked() {
    Cell v = stack::arguments[1];
    context::set(&stack::arguments[0], &v);
    stack::arguments[0] = v;
    return stack::arguments;
}

i32 mold_prefixed(Cell* value, Cell* buffer, i32 part, u32 prefix) {
    append_ascii(buffer, prefix);
    return part - 1 - append_name(buffer, static_cast<i32>(value->data2), true);
}

Cell* retyped_load(const char* name, u32 type) {
    // A copy, so that the global word list keeps its word! cell.
    Cell w = *word::load(name);
    return set_type(word::duplicate(&w), type);
}

}  // namespace

namespace word {

bool root_copy = false;

Cell* duplicate(const Cell* cell) {
    Cell c = *cell;
    Cell* d = alloc_at_tail(root);
    *d = c;
    return d;
}

Cell* load(const char* name) {
    Cell* w = context::add_global_word(symbol::make(name), true, true);
    return root_copy ? duplicate(w) : w;
}

Cell* make_at(i32 symbol, Cell* cell) {
    i32 index = word_index(context::add_global_word(symbol, true, false));
    return make_cell(cell, TYPE_WORD, context::global, static_cast<u32>(symbol), static_cast<u32>(index));
}

Cell* push_new(i32 symbol) {
    Cell w;
    make_at(symbol, &w);
    return stack::push(&w);
}

Cell* set_new(i32 symbol) {
    Cell w;
    make_at(symbol, &w);
    return copy_cell(&w, stack::arguments);
}

Cell* make_in(i32 symbol, node_t block) {
    Cell w;
    make_at(symbol, &w);
    Cell* c = alloc_at_tail(block);
    *c = w;
    return c;
}

Cell* load_in(const char* name, node_t block, u32 type) {
    return set_type(make_in(symbol::make(name), block), type);
}

Cell* push(const Cell* word) { return stack::push(word); }

Cell* at(node_t ctx, i32 index) {
    const Cell* c = context::TO_CTX(ctx);
    Cell* w = context::get_word_at(c, static_cast<u32>(index));
    if (!(c->header & context::CTX_SHARED_WORDS)) return w;
    // A shared list's words are bound to the context that made it: this
    // one's, in a cell of its own, which every caller copies at once.
    static Cell bound;
    bound = context::word_at(ctx, static_cast<u32>(index));
    return &bound;
}

Cell* push_local(node_t ctx, i32 index) { return stack::push(at(ctx, index)); }

Cell* from_context(node_t ctx, i32 symbol) {
    i32 idx = context::find_word(context::TO_CTX(ctx), symbol, false);
    if (idx >= 0) return at(ctx, idx);
    return context::add_global(symbol);
}

Cell* get(Cell* word) {
    Cell* v = context::get(word);
    if (TYPE_OF(v) == TYPE_UNSET) fire("script", "no-value", word);
    return stack::push(v);
}

Cell* get_any(Cell* word) { return stack::push(context::get(word)); }

Cell* get_local(node_t ctx, i32 index) {
    Cell* values = context::values_of(context::TO_CTX(ctx));
    if (!values) fire("script", "not-defined", at(ctx, index));
    return stack::push(values + index);
}

Cell* get_in(node_t ctx, i32 index) { return block_cells(context::TO_CTX(ctx)->data2) + index; }

Cell* set() {
    Cell v = stack::arguments[1];
    if (TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", &stack::arguments[0]);
    context::set(&stack::arguments[0], &v);
    stack::arguments[0] = v;
    return stack::arguments;
}

namespace {

// The value slot at an index of a context's values, with the changed mark
// on object fields.
Cell* marked_slot(node_t ctx, i32 index) {
    Cell* c = context::TO_CTX(ctx);
    if (!context::values_of(c)) fire("script", "not-defined", at(ctx, index));
    if (!context::on_stack_q(c) && context::kind_of(c) == context::KIND_OBJECT) {
        // Marking may copy a shared word list: the values are read after it.
        context::mark_changed(ctx, static_cast<u32>(index));
    }
    return context::values_of(context::TO_CTX(ctx)) + index;
}

}  // namespace

Cell* set_local(node_t ctx, i32 index) {
    Cell v = *stack::get_top();
    Cell* slot = marked_slot(ctx, index);
    *slot = v;
    return slot;
}

Cell* get_local_any(node_t ctx, i32 index) {
    Cell prev = *stack::get_top();
    Cell* slot = marked_slot(ctx, index);
    stack::push(slot);
    slot = marked_slot(ctx, index);
    *slot = prev;
    return slot;
}

Cell* set_local_arg(node_t ctx, i32 index) {
    Cell* slot = marked_slot(ctx, index);
    *slot = stack::arguments[0];
    return slot;
}

Cell* set_arg_checked(Cell* slot, const Cell* word) {
    if (TYPE_OF(&stack::arguments[0]) == TYPE_UNSET) fire("script", "need-value", word);
    *slot = stack::arguments[0];
    return slot;
}

Cell* push_string(const Cell* word) {
    node_t cache = symbol::cache_string(static_cast<i32>(word->data2));
    Cell s;
    make_cell(&s, TYPE_STRING, 0, cache, 0);
    return stack::push(&s);
}

Cell* get_symbol(const Cell* word) { return symbol::get(static_cast<i32>(word->data2)); }

u32 scan_symbol(const Cell* word) {
    i32 sym = static_cast<i32>(word->data2);
    const char* name = symbol::get_c_string(sym);
    std::vector<u8> text(name, name + symbol::name_length(sym));
    i32 consumed = 0;
    i32 t = lexer::scan(nullptr, text.data(), static_cast<u32>(text.size()), true, true, false, &consumed, nullptr,
                        nullptr);
    return t < 0 ? 0 : static_cast<u32>(t);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    return part - append_name(buffer, static_cast<i32>(value->data2));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return part - append_name(buffer, static_cast<i32>(value->data2), true);
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    Cell s = *spec;
    Cell r;
    switch (TYPE_OF(&s)) {
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
            r = s;
            break;
        case TYPE_REFINEMENT: case TYPE_ISSUE: {
            u32 t = scan_symbol(&s);
            if (t < TYPE_WORD || t > TYPE_GET_WORD) bad_to_arg(type, &s);
            r = s;
            context::bind_word(context::TO_CTX(context::global), &r);
            break;
        }
        case TYPE_STRING: case TYPE_CHAR: {
            Cell* holder = stack::push(&s);  // keeps the text alive while it is made and loads
            if (TYPE_OF(&s) == TYPE_CHAR) {
                string::zs_make_at(holder, 1);
                string::append_char(GET_BUFFER(series_node(holder)), s.data2);
            }
            if (!load_value(holder, &r) || !any_word_type_q(TYPE_OF(&r))) fire("script", "invalid-chars", &s);
            break;
        }
        case TYPE_DATATYPE: {
            u32 id = s.data1;
            const char* name = datatype::name_of(id);
            make_at(symbol::make(name), &r);
            break;
        }
        case TYPE_LOGIC:
            make_at(s.data1 ? words::true_ : words::false_, &r);
            break;
        default:
            bad_to_arg(type, &s);
    }
    r.header = (r.header & ~FLAG_NEW_LINE & ~context::WORD_CHANGED & ~TYPE_MASK) | type;
    *proto = r;
    return proto;
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
    if (!any_word_type_q(t2) || (t2 == TYPE_ISSUE && t1 != TYPE_ISSUE)) return -2;
    i32 s1 = static_cast<i32>(value1->data2), s2 = static_cast<i32>(value2->data2);
    bool word_lit = (t1 == TYPE_WORD && t2 == TYPE_LIT_WORD) || (t1 == TYPE_LIT_WORD && t2 == TYPE_WORD);
    bool equal;
    switch (op) {
        case COMP_SAME:
            equal = s1 == s2 && value1->data1 == value2->data1 && t1 == t2;
            break;
        case COMP_STRICT_EQUAL_WORD:
            equal = word_lit ? s1 == s2 : (t1 == t2 && s1 == s2);
            break;
        case COMP_STRICT_EQUAL:
            equal = t1 == t2 && s1 == s2;
            break;
        case COMP_EQUAL_WORD:
            equal = (word_lit || t1 == t2) && symbol::resolve(s1) == symbol::resolve(s2);
            break;
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_FIND:
            equal = symbol::resolve(s1) == symbol::resolve(s2);
            break;
        default:
            return symbol::compare_names(s1, s2, op);
    }
    return equal ? 0 : 1;
}

Cell* index_q() {
    Cell* w = stack::arguments;
    i32 idx = word_index(w);
    if (idx == -1) return make_cell(w, TYPE_NONE);
    return make_cell(w, TYPE_INTEGER, 0, static_cast<u32>(idx + 1));
}

void init() {
    datatype::register_type(TYPE_WORD, TYPE_SYMBOL_ID, "word!", {
        own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
        own<ACT_INDEX_Q>(index_q),
    });
}

}  // namespace word

namespace {

// The slot table of a word! child: its own mold, index? as given, the rest inherited.
void register_child(u32 id, const char* name, action_fn::Mold mold, bool index, action_fn::Make make = nullptr,
                    action_fn::Compare compare = nullptr) {
    InheritAll slots;
    if (make) slots.set(own<ACT_MAKE>(make));
    if (make) slots.set(own<ACT_TO>(make));
    slots.set(own<ACT_MOLD>(mold));
    if (compare) slots.set(own<ACT_COMPARE>(compare));
    if (!index) slots.set(empty<ACT_INDEX_Q>());
    datatype::register_type(id, TYPE_WORD, name, slots.slots);
}

}  // namespace

namespace set_word {
Cell* load(const char* name) { return retyped_load(name, TYPE_SET_WORD); }
Cell* push(const Cell* word) { return push_as(word, TYPE_SET_WORD); }
Cell* push_local(node_t ctx, i32 index) { return push_local_as(ctx, index, TYPE_SET_WORD); }
Cell* set() { return set_unchecked(); }
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    part = word::form(value, buffer, nullptr, part);
    append_ascii(buffer, ':');
    return part - 1;
}
void init() { register_child(TYPE_SET_WORD, "set-word!", mold, true); }
}  // namespace set_word

namespace lit_word {
Cell* load(const char* name) { return retyped_load(name, TYPE_LIT_WORD); }
Cell* push(const Cell* word) { return push_as(word, TYPE_LIT_WORD); }
Cell* push_local(node_t ctx, i32 index) { return push_local_as(ctx, index, TYPE_LIT_WORD); }
Cell* set() { return set_unchecked(); }
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    return mold_prefixed(value, buffer, part, '\'');
}
void init() { register_child(TYPE_LIT_WORD, "lit-word!", mold, true); }
}  // namespace lit_word

namespace get_word {
Cell* load(const char* name) { return retyped_load(name, TYPE_GET_WORD); }
Cell* push(const Cell* word) { return push_as(word, TYPE_GET_WORD); }
Cell* push_local(node_t ctx, i32 index) { return push_local_as(ctx, index, TYPE_GET_WORD); }
Cell* get(Cell* word) { return stack::push(context::get(word)); }
Cell* set() { return set_unchecked(); }
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    return mold_prefixed(value, buffer, part, ':');
}
void init() { register_child(TYPE_GET_WORD, "get-word!", mold, true); }
}  // namespace get_word

namespace refinement {
Cell* load_in(const char* name) {
    i32 sym = symbol::make(name);
    Cell* c = alloc_at_tail(root);
    return make_cell(c, TYPE_REFINEMENT, 0, static_cast<u32>(sym), static_cast<u32>(-1));
}
Cell* push(const Cell* word) { return push_as(word, TYPE_REFINEMENT); }
Cell* push_local(node_t ctx, i32 index) { return push_local_as(ctx, index, TYPE_REFINEMENT); }
Cell* set() { return set_unchecked(); }
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    return mold_prefixed(value, buffer, part, '/');
}
void init() { register_child(TYPE_REFINEMENT, "refinement!", mold, false); }
}  // namespace refinement

namespace issue {

Cell* make_at(Cell* cell, const char* name) {
    i32 sym = symbol::make(name);
    return make_cell(cell, TYPE_ISSUE, context::global, static_cast<u32>(sym), static_cast<u32>(-1));
}

Cell* load_in(const char* name, node_t block) {
    Cell c;
    make_at(&c, name);
    Cell* d = alloc_at_tail(block);
    *d = c;
    return d;
}

Cell* load(const char* name) {
    if (word::root_copy) return load_in(name, root);
    Cell c;
    make_at(&c, name);
    return stack::push(&c);
}

Cell* push(const Cell* word) { return push_as(word, TYPE_ISSUE); }

Cell* make(Cell* proto, Cell* spec, u32 type) {
    Cell s = *spec;
    switch (TYPE_OF(&s)) {
        case TYPE_STRING: case TYPE_CHAR: {
            Cell* holder = stack::push(&s);  // keeps the text alive while it is made
            if (TYPE_OF(&s) == TYPE_CHAR) {
                string::zs_make_at(holder, 1);
                string::append_char(GET_BUFFER(series_node(holder)), s.data2);
            }
            i32 sym = symbol::make_from_string(holder);
            make_cell(proto, TYPE_ISSUE, context::global, static_cast<u32>(sym), static_cast<u32>(-1));
            return proto;
        }
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            *proto = s;
            proto->header = (proto->header & ~FLAG_NEW_LINE & ~context::WORD_CHANGED & ~TYPE_MASK) | type;
            return proto;
        default:
            word::make(proto, &s, TYPE_WORD);
            return set_type(proto, type);
    }
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    return mold_prefixed(value, buffer, part, '#');
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_ISSUE) return -2;
    return word::compare(value1, value2, op);
}

void init() { register_child(TYPE_ISSUE, "issue!", mold, false, make, compare); }

}  // namespace issue

}  // namespace zav
