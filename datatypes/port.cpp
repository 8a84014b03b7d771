// port!: an object standing for an external resource; every series and port
// action calls the function of the same name in the port's actor object.
#include "datatypes/port.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/system_object.h"
#include "datatypes/word.h"
#include "datatypes/user_code.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"

namespace zav::port {

namespace {

constexpr u32 PORT_CLASS = 2;
constexpr i32 FIELD_SPEC = 0, FIELD_SCHEME = 1, FIELD_ACTOR = 2;

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
Cell logic(bool v) { return Cell{TYPE_LOGIC, v ? 1u : 0u, 0, 0}; }
Cell or_none(const Cell* c) { return c ? *c : none_cell(); }

// A field of an object by name, or null.
Cell* field(const Cell* obj, const char* name) {
    Cell w;
    word::make_at(symbol::make(name), &w);
    i32 i = object::find_word(obj, &w);
    return i < 0 ? nullptr : object::get_values(obj) + i;
}

// An object made from a body of text, pushed (`proto` none: a new object).
Cell* object_from(const char* body, Cell* proto) {
    Cell* text = string::load(body);
    Cell* blk = block::push_only_star(8);
    i32 consumed = 0;
    lexer::scan_string(blk, text, -1, lexer::SCAN_LOAD | lexer::SCAN_BUILD, &consumed, nullptr);
    Cell* out = stack::push_star();
    if (proto) {
        *out = *proto;
    } else {
        datatype::make_at(out, TYPE_OBJECT);
    }
    object::make(out, blk, TYPE_OBJECT);
    return out;
}

// The scheme object registered under a word: system/schemes is a block of
// name and scheme pairs; an object of schemes is read by field. Null when
// the word is not there.
Cell* find_scheme(const Cell* name) {
    Cell* schemes = system_object::field({"schemes"});
    if (!schemes) return nullptr;
    if (TYPE_OF(schemes) == TYPE_OBJECT) return object::select_word(schemes, name);
    if (TYPE_OF(schemes) != TYPE_BLOCK) return nullptr;
    i32 want = symbol::resolve(static_cast<i32>(name->data2));
    SeriesBuffer* b = GET_BUFFER(series_node(schemes));
    Cell* c = block::cells_of(b);
    for (u32 i = series_head(schemes); i + 1 < b->length(); i += 2)
        if (word::any_word_q(TYPE_OF(c + i)) && symbol::resolve(static_cast<i32>(c[i].data2)) == want) return c + i + 1;
    return nullptr;
}

// Number of argument cells a function takes before its /local words.
u32 slots_of(const Cell* fn) {
    SeriesBuffer* b = GET_BUFFER(function::spec_of(fn));
    const Cell* c = reinterpret_cast<const Cell*>(b->head());
    u32 n = 0;
    i32 local = symbol::resolve(symbol::make("local"));
    for (u32 i = 0; i < b->length(); i++) {
        u32 t = TYPE_OF(c + i);
        if (t == TYPE_REFINEMENT && symbol::resolve(static_cast<i32>(c[i].data2)) == local) break;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT) n++;
    }
    return n;
}

// Calls the actor's function named by the action with the port and the
// arguments; answers its result.
Cell call_actor(Cell* port, const char* action, const std::vector<Cell>& args) {
    Cell* actor = object::get_values(port) + FIELD_ACTOR;
    if (TYPE_OF(actor) != TYPE_OBJECT) fire("access", "invalid-port");
    Cell* fn_slot = field(actor, action);
    if (!fn_slot || TYPE_OF(fn_slot) != TYPE_FUNCTION) fire("access", "no-port-action");
    stack::TopGuard guard;
    Cell* base = stack::top;
    Cell fn = *fn_slot;
    Cell* held = stack::push(&fn);
    Cell name;
    word::make_at(symbol::make(action), &name);
    Cell* p = stack::push(port);
    std::vector<Cell> all;
    all.push_back(*p);
    all.insert(all.end(), args.begin(), args.end());
    Cell* frame_base = stack::top;
    stack::mark_frame(&name, function::ctx_of(held));
    // Only the arguments the function takes: more would fill its locals.
    u32 given = std::min<u32>(static_cast<u32>(all.size()), slots_of(held));
    for (u32 i = 0; i < given; i++) stack::push(&all[i]);
    function::push_unused_slots(held, given);
    user_code::evaluator.call_function(held, function::ctx_of(held), &name, 0);
    stack::unwind();
    (void)base;
    return *frame_base;
}

// /part length: an integer! when a length was given, else none.
Cell part_length(const Cell* part) {
    if (part && TYPE_OF(part) == TYPE_INTEGER && integer::get(part) >= 0) return *part;
    return none_cell();
}

Cell* result_into(Cell* cell, const Cell& r) {
    *cell = r;
    return cell;
}

// ---- the forwarding slots ----------------------------------------------------------

Cell* insert_like(Cell* port, Cell* value, Cell* part, bool only, Cell* dup, const char* action) {
    Cell len = part_length(part);
    bool dup_q = dup && TYPE_OF(dup) == TYPE_INTEGER && integer::get(dup) > 1;
    return result_into(port, call_actor(port, action,
                                        {*value, logic(TYPE_OF(&len) != TYPE_NONE), len, logic(only), logic(dup_q),
                                         dup_q ? *dup : none_cell()}));
}

Cell* insert(Cell* port, Cell* value, Cell* part, bool only, Cell* dup, bool append) {
    return insert_like(port, value, part, only, dup, append ? "append" : "insert");
}
Cell* change(Cell* port, Cell* value, Cell* part, bool only, Cell* dup) {
    return insert_like(port, value, part, only, dup, "change");
}

Cell* simple(const char* action) {
    Cell* port = stack::arguments;
    return result_into(port, call_actor(port, action, {}));
}
Cell* with_arg(const char* action) {
    Cell* port = stack::arguments;
    return result_into(port, call_actor(port, action, {stack::arguments[1]}));
}

Cell* at_() { return with_arg("at"); }
Cell* skip_() { return with_arg("skip"); }
Cell* back_() { return simple("back"); }
Cell* head_() { return simple("head"); }
Cell* head_q() { return simple("head?"); }
Cell* index_q() { return simple("index?"); }
Cell* next_() { return simple("next"); }
Cell* tail_() { return simple("tail"); }
Cell* tail_q() { return simple("tail?"); }

Cell* clear(Cell* port) { return result_into(port, call_actor(port, "clear", {})); }
Cell* create(Cell* port) { return result_into(port, call_actor(port, "create", {})); }
Cell* close(Cell* port) { return result_into(port, call_actor(port, "close", {})); }
Cell* delete_(Cell* port) { return result_into(port, call_actor(port, "delete", {})); }
Cell* query(Cell* port) { return result_into(port, call_actor(port, "query", {})); }
Cell* update(Cell* port) { return result_into(port, call_actor(port, "update", {})); }

i32 length_q(Cell* port) {
    Cell r = call_actor(port, "length?", {});
    return TYPE_OF(&r) == TYPE_INTEGER ? integer::get(&r) : -1;
}

Cell* copy(Cell* port, Cell* result, Cell* part, bool deep, Cell* types) {
    Cell len = part_length(part);
    return result_into(result, call_actor(port, "copy", {logic(TYPE_OF(&len) != TYPE_NONE), len, logic(deep),
                                                         logic(types != nullptr), or_none(types)}));
}

Cell* find(Cell* port, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "find",
                                        {*value, logic(TYPE_OF(&len) != TYPE_NONE), len, logic(only), logic(case_),
                                         logic(same), logic(any), logic(with != nullptr), or_none(with),
                                         logic(skip != nullptr), or_none(skip), logic(last), logic(reverse),
                                         logic(tail), logic(match)}));
}

Cell* select(Cell* port, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "select",
                                        {*value, logic(TYPE_OF(&len) != TYPE_NONE), len, logic(only), logic(case_),
                                         logic(same), logic(any), logic(with != nullptr), or_none(with),
                                         logic(skip != nullptr), or_none(skip), logic(last), logic(reverse)}));
}

Cell* move(Cell* port, Cell* target, Cell* part) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "move", {*target, logic(TYPE_OF(&len) != TYPE_NONE), len}));
}

Cell* modify(Cell* port, Cell* field_, Cell* value, bool case_) {
    return result_into(port, call_actor(port, "modify", {*field_, *value, logic(case_)}));
}

Cell* open_(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return result_into(port, call_actor(port, "open", {logic(new_), logic(read), logic(write), logic(seek),
                                                       logic(allow != nullptr), or_none(allow)}));
}

Cell* pick(Cell* port, i32, Cell* boxed) { return result_into(stack::push_star(), call_actor(port, "pick", {*boxed})); }
Cell* poke(Cell* port, i32, Cell* data, Cell* boxed) {
    return result_into(stack::push_star(), call_actor(port, "poke", {*boxed, *data}));
}
Cell* put(Cell* port, Cell* key, Cell* value, bool case_) {
    return result_into(port, call_actor(port, "put", {*key, *value, logic(case_)}));
}
Cell* remove(Cell* port, Cell* part, Cell*) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "remove", {logic(TYPE_OF(&len) != TYPE_NONE), len}));
}
Cell* reverse(Cell* port, Cell* part, Cell*) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "reverse", {logic(TYPE_OF(&len) != TYPE_NONE), len}));
}
Cell* rename(Cell* port, Cell* to) { return result_into(port, call_actor(port, "rename", {*to})); }
Cell* sort(Cell* port, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "sort",
                                        {logic(case_), logic(skip != nullptr), or_none(skip),
                                         logic(comparator != nullptr), or_none(comparator),
                                         logic(TYPE_OF(&len) != TYPE_NONE), len, logic(all), logic(reverse),
                                         logic(stable)}));
}
Cell* swap(Cell* port, Cell* other) { return result_into(port, call_actor(port, "swap", {*other})); }
Cell* take(Cell* port, Cell* part, bool deep, bool last) {
    Cell len = part_length(part);
    return result_into(port, call_actor(port, "take", {logic(TYPE_OF(&len) != TYPE_NONE), len, logic(deep), logic(last)}));
}
Cell* trim(Cell* port, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    return result_into(port, call_actor(port, "trim", {logic(head), logic(tail), logic(auto_), logic(lines), logic(all),
                                                       logic(with != nullptr), or_none(with)}));
}

// read: open, copy, close; write: open/write, insert, copy, close.
Cell* read_(Cell* port, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
    Cell p = *port;
    Cell* held = stack::push(&p);
    call_actor(held, "open", {logic(false), logic(false), logic(false), logic(seek != nullptr), logic(false),
                              none_cell()});
    Cell len = part_length(part);
    Cell data = call_actor(held, "copy", {logic(TYPE_OF(&len) != TYPE_NONE), len, logic(false), logic(false),
                                          none_cell()});
    Cell* kept = stack::push(&data);
    call_actor(held, "close", {});
    *port = *kept;
    return port;
}

Cell* write_(Cell* port, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
    Cell p = *port;
    Cell* held = stack::push(&p);
    call_actor(held, "open", {logic(false), logic(false), logic(true), logic(seek != nullptr), logic(false),
                              none_cell()});
    Cell len = part_length(part);
    call_actor(held, "insert", {*data, logic(TYPE_OF(&len) != TYPE_NONE), len, logic(false), logic(false),
                                none_cell()});
    Cell copied = call_actor(held, "copy", {logic(part != nullptr), or_none(part), logic(false), logic(false),
                                            none_cell()});
    Cell* kept = stack::push(&copied);
    call_actor(held, "close", {});
    *port = *kept;
    return port;
}

i32 mold(Cell* port, Cell* buffer, bool, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    string::concatenate_literal(buffer, "make port! [");
    part -= 12;
    if (!flat) {
        string::concatenate_literal(buffer, "\n");
        part--;
    }
    Cell o = *port;
    set_type(&o, TYPE_OBJECT);
    part = object::mold(&o, buffer, true, all, flat, arg, part, indent);
    if (!flat && indent > 0) part = mold_indent(buffer, indent, part);
    string::concatenate_literal(buffer, "]");
    return part - 1;
}

i32 form(Cell* port, Cell* buffer, Cell* arg, i32 part) { return mold(port, buffer, false, false, false, arg, part, 0); }

Cell* make_(Cell* proto, Cell* spec, u32) {
    Cell* p = make(spec);
    *proto = *p;
    return proto;
}

}  // namespace

Cell* make(Cell* spec_in) {
    Cell given = *spec_in;
    Cell* spec = stack::push(&given);
    if (TYPE_OF(spec) != TYPE_OBJECT) {
        Cell* parts = system_object::field({"standard", "url-parts"});
        Cell* base = parts && TYPE_OF(parts) == TYPE_OBJECT
                         ? stack::push(parts)
                         : object_from("scheme: user-info: host: port: path: target: query: fragment: ref: none", nullptr);
        if (!block::any_block_q(TYPE_OF(spec))) fire("access", "no-scheme", &given);
        Cell* made = stack::push_star();
        *made = *base;
        object::make(made, spec, TYPE_OBJECT);
        spec = made;
    }
    Cell* scheme = field(spec, "scheme");
    if (!scheme || TYPE_OF(scheme) != TYPE_WORD) fire("access", "no-scheme", &given);
    Cell scheme_word = *scheme;
    // Held on the stack: making the copy allocates, which may move the
    // system object's values.
    Cell* standard = system_object::field({"standard", "port"});
    standard = standard && TYPE_OF(standard) == TYPE_OBJECT ? stack::push(standard) : nullptr;
    Cell* port = standard ? object_from("", standard)
                     : object_from("spec: scheme: actor: awake: state: data: extra: none", nullptr);
    object::get_values(port)[FIELD_SPEC] = *spec;
    object::get_values(port)[FIELD_SCHEME] = scheme_word;
    Cell* found = find_scheme(&scheme_word);
    if (!found || TYPE_OF(found) != TYPE_OBJECT) fire("access", "unknown-scheme", &given);
    found = stack::push(found);
    Cell* actor = field(found, "actor");
    if (!actor || (TYPE_OF(actor) != TYPE_OBJECT && TYPE_OF(actor) != TYPE_HANDLE)) fire("access", "invalid-actor");
    object::get_values(port)[FIELD_ACTOR] = *actor;
    port->header = (port->header & ~TYPE_MASK) | TYPE_PORT_ID;
    port->data2 = PORT_CLASS;
    return port;
}

Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return open_(port, new_, read, write, seek, allow);
}

Cell* read(Cell* port, Cell* result, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    read_(port, part, seek, binary, lines, info, as);
    return copy_cell(port, result);
}

Cell* write(Cell* port, Cell* result, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
    write_(port, data, binary, lines, info, append, part, seek, allow, as);
    return copy_cell(port, result);
}

void init() {
    datatype::register_type(TYPE_PORT_ID, TYPE_OBJECT, "port!", {
        own<ACT_MAKE>(make_), inherit<ACT_REFLECT>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        inherit<ACT_EVAL_PATH>(), inherit<ACT_SET_PATH>(), inherit<ACT_COMPARE>(), own<ACT_APPEND>(insert),
        own<ACT_AT>(at_), own<ACT_BACK>(back_), own<ACT_CHANGE>(change), own<ACT_CLEAR>(clear), own<ACT_COPY>(copy),
        own<ACT_FIND>(find), own<ACT_HEAD>(head_), own<ACT_HEAD_Q>(head_q), own<ACT_INDEX_Q>(index_q),
        own<ACT_INSERT>(insert), own<ACT_LENGTH_Q>(length_q), own<ACT_MOVE>(move), own<ACT_NEXT>(next_),
        own<ACT_PICK>(pick), own<ACT_POKE>(poke), own<ACT_PUT>(put), own<ACT_REMOVE>(remove),
        own<ACT_REVERSE>(reverse), own<ACT_SELECT>(select), own<ACT_SORT>(sort), own<ACT_SKIP>(skip_),
        own<ACT_SWAP>(swap), own<ACT_TAIL>(tail_), own<ACT_TAIL_Q>(tail_q), own<ACT_TAKE>(take),
        own<ACT_TRIM>(trim), own<ACT_CREATE>(create), own<ACT_CLOSE>(close), own<ACT_DELETE>(delete_),
        own<ACT_MODIFY>(modify), own<ACT_OPEN>(open_), own<ACT_QUERY>(query), own<ACT_READ>(read_),
        own<ACT_RENAME>(rename), own<ACT_UPDATE>(update), own<ACT_WRITE>(write_),
    });
}

}  // namespace zav::port
