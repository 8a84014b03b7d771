// The path family: elements joined by "/", with a mark for the lit, set and get forms.
#include "datatypes/path.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/fire.h"

namespace zav::path {

Cell* make_at(Cell* cell, u32 capacity) {
    block::make_at(cell, capacity);
    return set_type(cell, TYPE_PATH);
}

Cell* push(Cell* cell) {
    set_type(cell, TYPE_PATH);
    return stack::push(cell);
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    if (type == 0) type = TYPE_PATH;
    u32 st = TYPE_OF(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT) {
        i64 n = st == TYPE_INTEGER ? static_cast<i32>(spec->data2) : static_cast<i64>(cell_float(spec));
        if (n < 1) n = 1;
        if (n > 0x0FFFFFFF) fire("internal", "no-memory");
        Cell* c = block::push_only_star(static_cast<u32>(n));
        set_type(c, type);
        *proto = *c;
        stack::pop(1);
        return proto;
    }
    if (block::any_block_q(st)) return block::convert_to(proto, spec, type);
    Cell dt;
    fire("script", "bad-make-arg", datatype::make_at(&dt, type), spec);
}

Cell* to(Cell* proto, Cell* spec, u32 type) {
    if (type == 0) type = TYPE_PATH;
    u32 st = TYPE_OF(spec);
    if (st == TYPE_MAP || st == TYPE_OBJECT || st == TYPE_TYPESET) {
        Cell v = *spec;
        clear_cell_flag(&v);
        Cell* c = block::push_only_star(1);
        set_type(c, type);
        block::zs_append(c, &v);
        *proto = *c;
        stack::pop(1);
        return proto;
    }
    if (!block::to(proto, spec, type)) return nullptr;  // a syntax error, pending
    return set_type(proto, type);
}

namespace {

// The walk of form and mold: elements from the index, "/" between them.
i32 write_elements(Cell* path, Cell* buffer, bool mold, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    node_t node = series_node(path);
    u32 from = series_head(path);
    cycles::push(node);
    for (u32 k = from; k < GET_BUFFER(node)->length(); k++) {
        if (k != from) {
            string::concatenate_literal(buffer, "/");
            part--;
        }
        Cell v = block::cells_of(GET_BUFFER(node))[k];
        part = mold ? actions::mold_dispatch(&v, buffer, false, all, flat, arg, part, indent)
                    : actions::form_dispatch(&v, buffer, arg, part);
        if (arg && part <= 0) break;
    }
    cycles::pop();
    return part;
}

}  // namespace

i32 form(Cell* path, Cell* buffer, Cell* arg, i32 part) {
    if (block::cycle_mark(path, buffer, part, false)) return part;
    return write_elements(path, buffer, false, false, false, arg, part, 0);
}

i32 mold(Cell* path, Cell* buffer, bool, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (block::cycle_mark(path, buffer, part, true)) return part;
    u32 t = TYPE_OF(path);
    if (t == TYPE_LIT_PATH || t == TYPE_GET_PATH) {
        string::concatenate_literal(buffer, t == TYPE_LIT_PATH ? "'" : ":");
        part--;
    }
    part = write_elements(path, buffer, true, all, flat, arg, part, indent);
    if (t == TYPE_SET_PATH) {
        string::concatenate_literal(buffer, ":");
        part--;
    }
    return part;
}

Cell* copy(Cell* path, Cell* result, Cell* part, bool deep, Cell* types) {
    return block::copy(path, result, part, deep, types);
}

void init() {
    // block!'s actions, less random, sort and trim.
    datatype::register_type(TYPE_PATH, TYPE_BLOCK, "path!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        inherit<ACT_EVAL_PATH>(), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(), inherit<ACT_AT>(),
        inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), own<ACT_COPY>(copy), inherit<ACT_FIND>(),
        inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(), inherit<ACT_INSERT>(),
        inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(), inherit<ACT_PICK>(), inherit<ACT_POKE>(),
        inherit<ACT_PUT>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(), inherit<ACT_SELECT>(),
        inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(), inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(),
        inherit<ACT_MODIFY>(),
    });
}

// The three other path types: their own mold, everything else from path!.
static void register_child(u32 id, const char* name, action_fn::Mold mold_fn) {
    InheritAll slots;
    slots.set(own<ACT_MOLD>(mold_fn));
    datatype::register_type(id, TYPE_PATH, name, slots.slots);
}

}  // namespace zav::path

namespace zav::lit_path {
Cell* push(Cell* cell) {
    set_type(cell, TYPE_LIT_PATH);
    return stack::push(cell);
}
i32 mold(Cell* p, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return path::mold(p, buffer, only, all, flat, arg, part, indent);
}
void init() { path::register_child(TYPE_LIT_PATH, "lit-path!", mold); }
}  // namespace zav::lit_path

namespace zav::set_path {
Cell* push(Cell* cell) {
    set_type(cell, TYPE_SET_PATH);
    return stack::push(cell);
}
i32 mold(Cell* p, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return path::mold(p, buffer, only, all, flat, arg, part, indent);
}
void init() { path::register_child(TYPE_SET_PATH, "set-path!", mold); }
}  // namespace zav::set_path

namespace zav::get_path {
Cell* push(Cell* cell) {
    set_type(cell, TYPE_GET_PATH);
    return stack::push(cell);
}
i32 mold(Cell* p, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return path::mold(p, buffer, only, all, flat, arg, part, indent);
}
void init() { path::register_child(TYPE_GET_PATH, "get-path!", mold); }
}  // namespace zav::get_path
