// The datatype registry, the action table and the datatype! datatype.
#include "datatypes/datatype.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "datatypes/string.h"
#include "runtime/rt.h"

namespace zav::datatype {

Record records[TYPE_TOTAL_COUNT];
u32 top_id = 0;
ActionFn action_table[TYPE_TOTAL_COUNT][ACTIONS_COUNT + 1];

namespace {

[[noreturn]] void registration_fault(u32 id, const char* what, u32 slot) {
    std::printf("*** Datatype Error: %s for type: %u, slot: %u\n", what, id, slot);
    std::fflush(stdout);
    rt::quit(rt::RT_ERR_ASSERTION, 0);
}

}  // namespace

void register_type(u32 id, u32 parent, const char* name, std::span<const SlotEntry> entries) {
    if (id >= TYPE_TOTAL_COUNT || parent >= TYPE_TOTAL_COUNT) registration_fault(id, "invalid type id", 0);
    if (parent && !records[parent].name) registration_fault(id, "parent not registered", 0);
    if (id > top_id) top_id = id;
    Record& r = records[id];
    r.name = name;
    r.length = static_cast<u32>(std::strlen(name)) - 1;
    ActionFn* row = action_table[id];
    bool named[ACTIONS_COUNT + 1] = {};
    for (u32 s = 0; s <= ACTIONS_COUNT; s++) row[s] = nullptr;
    for (const SlotEntry& e : entries) {
        if (e.slot < 1 || e.slot > ACTIONS_COUNT) registration_fault(id, "invalid action slot", e.slot);
        if (named[e.slot]) registration_fault(id, "action slot given twice", e.slot);
        named[e.slot] = true;
        if (e.inherited && !parent) registration_fault(id, "inherited action without a parent", e.slot);
        row[e.slot] = e.inherited ? action_table[parent][e.slot] : e.fn;
    }
}

// The fixed names by id, for the datatypes that have not registered (yet):
// the lexer still names them in its errors (invalid tag!, invalid money!).
static const char* const fixed_names[] = {
    "unknown!", "datatype!", "unset!", "none!", "logic!", "block!", "paren!", "string!", "file!", "url!",
    "char!", "integer!", "float!", "symbol!", "context!", "word!", "set-word!", "lit-word!", "get-word!",
    "refinement!", "issue!", "native!", "action!", "op!", "function!", "path!", "lit-path!", "set-path!",
    "get-path!", "routine!", "bitset!", "triple!", "object!", "typeset!", "error!", "vector!", "hash!",
    "pair!", "percent!", "tuple!", "map!", "binary!", "series!", "time!", "tag!", "email!", "handle!",
    "date!", "port!", "money!", "ref!", "point2D!", "point3D!", "image!", "event!",
};

const char* name_of(u32 id) {
    if (id < TYPE_TOTAL_COUNT && records[id].name) return records[id].name;
    return id < sizeof(fixed_names) / sizeof(fixed_names[0]) ? fixed_names[id] : "unknown!";
}

Cell* make_at(Cell* cell, u32 id) { return make_cell(cell, TYPE_DATATYPE, id); }

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    const char* name = name_of(value->data1);
    u32 length = static_cast<u32>(std::strlen(name)) - 1;
    string::concatenate_literal_part(buffer, name, length);
    return part - static_cast<i32>(length);
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    const char* name = name_of(value->data1);
    Record r{name, static_cast<u32>(std::strlen(name)) - 1, {}, false};
    if (all) string::concatenate_literal(buffer, "#(");
    string::concatenate_literal(buffer, r.name);
    if (all) string::concatenate_literal(buffer, ")");
    return part - static_cast<i32>(r.length + 1) - (all ? 3 : 0);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
            return TYPE_OF(value2) == TYPE_DATATYPE && value2->data1 == value1->data1 ? 0 : 1;
        default:
            return -2;
    }
}

void init() {
    register_type(TYPE_DATATYPE, 0, "datatype!", {
        own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::datatype
