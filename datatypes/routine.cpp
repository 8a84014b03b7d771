// routine! values: functions whose body is native code.
#include "datatypes/routine.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/symbol.h"

#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zav::routine {

Cell* push(Cell* spec, Cell* body, i32 code, i32 return_type, bool flag) {
    Cell spec_copy = *spec;
    node_t ctx = context::make(&spec_copy, true, false, context::KIND_FUNCTION);
    collector::Guard ctx_root(ctx);
    node_t more = alloc_cells(function::MORE_COUNT);
    collector::Guard more_root(more);
    for (u32 k = 0; k < function::MORE_COUNT; k++) alloc_at_tail(more);
    Cell* cells = reinterpret_cast<Cell*>(GET_BUFFER(more)->head());
    if (body) cells[function::MORE_BODY] = *body; else make_cell(cells + function::MORE_BODY, TYPE_NONE);
    make_cell(cells + function::MORE_CODE, TYPE_INTEGER, 0, static_cast<u32>(code));
    make_cell(cells + function::MORE_OWNER, TYPE_INTEGER, 0, static_cast<u32>(return_type));

    // Arity: the word! cells of the whole spec (words inside type blocks do not count).
    SeriesBuffer* sb = GET_BUFFER(series_node(&spec_copy));
    const Cell* c = reinterpret_cast<const Cell*>(sb->head());
    u32 arity = 0;
    for (u32 i = 0; i < sb->length(); i++)
        if (TYPE_OF(c + i) == TYPE_WORD) arity++;

    u32 header = TYPE_ROUTINE | (flag ? FLAG_ROUTINE : 0);
    header = (header & ~(0x1Fu << 25)) | ((arity & 0x1F) << 25);
    Cell* out = stack::push_star();
    make_cell(out, header, ctx, series_node(&spec_copy), more);
    *context::owner_of(ctx) = *out;
    return out;
}

namespace {
// The tables of the modules that have routines, in registration order; a
// routine's code is its row counted over all of them, from 1.
struct Table {
    const Row* rows;
    u32 count;
};
std::vector<Table> tables;
// Every row's entry by code (0: none), laid out as the tables are
// registered: a call finds its entry by one read.
std::vector<Entry> entries{nullptr};
// The type id each row tests for (see set_type_tests), -1 for other rows.
std::vector<i32> row_types{-1};
const Entry* type_tests = nullptr;
u32 type_test_count = 0;

i32 type_of_entry(Entry e) {
    for (u32 t = 0; t < type_test_count; t++)
        if (type_tests[t] == e) return static_cast<i32>(t);
    return -1;
}
// Row number by name (the first row of a name), built at the first lookup:
// start-up looks up every routine.
std::unordered_map<std::string_view, u32> by_name;
}  // namespace

bool defining = false;

void register_table(const Row* rows, u32 count) {
    for (const Table& t : tables)
        if (t.rows == rows) return;
    tables.push_back({rows, count});
    for (u32 i = 0; i < count; i++) {
        entries.push_back(rows[i].entry);
        row_types.push_back(type_of_entry(rows[i].entry));
    }
    by_name.clear();
}

void set_type_tests(const Entry* tests, u32 count) {
    type_tests = tests;
    type_test_count = count;
    for (u32 i = 0; i < entries.size(); i++) row_types[i] = type_of_entry(entries[i]);
}

i32 type_tested(const Cell* r) {
    u32 code = static_cast<u32>(code_of(r));
    return code < row_types.size() ? row_types[code] : -1;
}

u32 find(const char* name) {
    if (by_name.empty()) {
        u32 n = 0;
        for (const Table& t : tables)
            for (u32 i = 0; i < t.count; i++) by_name.emplace(t.rows[i].name, ++n);
    }
    auto it = by_name.find(name);
    return it == by_name.end() ? 0 : it->second;
}

Entry entry(u32 index) { return index < entries.size() ? entries[index] : nullptr; }

i32 code_of(const Cell* r) { return static_cast<i32>(function::more_cell(r, function::MORE_CODE)->data2); }
i32 return_type_of(const Cell* r) { return static_cast<i32>(function::more_cell(r, function::MORE_OWNER)->data2); }

// make routine! [spec body]: the body's first word names the row of the
// routine table. The declared `return:` type is kept as a type id.
Cell* make(Cell*, Cell* spec, u32) {
    if (!defining) fire("internal", "routines");
    if (TYPE_OF(spec) != TYPE_BLOCK || block::zs_length_q(spec) < 2) fire("script", "bad-func-def", spec);
    Cell fn_spec = *block::zs_head(spec);
    Cell body = *block::zs_abs_at(spec, series_head(spec) + 1);
    if (TYPE_OF(&fn_spec) != TYPE_BLOCK || TYPE_OF(&body) != TYPE_BLOCK || block::zs_length_q(&body) < 1 ||
        TYPE_OF(block::zs_head(&body)) != TYPE_WORD)
        fire("script", "bad-func-def", spec);
    u32 code = find(symbol::get_c_string(static_cast<i32>(block::zs_head(&body)->data2)));
    if (!code) fire("script", "bad-func-def", spec);
    i32 return_type = -1;
    for (u32 i = series_head(&fn_spec), n = block::buffer_of(&fn_spec)->length(); i + 1 < n; i++) {
        Cell* c = block::zs_abs_at(&fn_spec, i);
        if (TYPE_OF(c) != TYPE_SET_WORD || std::strcmp(symbol::get_c_string(static_cast<i32>(c->data2)), "return"))
            continue;
        Cell* types = c + 1;
        if (TYPE_OF(types) == TYPE_BLOCK && block::zs_length_q(types) > 0) {
            Cell* t = context::get(block::zs_head(types));
            if (TYPE_OF(t) == TYPE_DATATYPE) return_type = static_cast<i32>(t->data1);
        }
    }
    function::validate(&fn_spec);
    return push(&fn_spec, &body, static_cast<i32>(code), return_type, false);
}

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?routine?");
    return part - 9;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    string::concatenate_literal(buffer, "routine ");
    Cell spec;
    make_cell(&spec, TYPE_BLOCK, 0, function::spec_of(fn), 0);
    part = block::mold(&spec, buffer, only, all, flat, arg, part - 8, indent);
    Cell body = *function::more_cell(fn, function::MORE_BODY);
    if (TYPE_OF(&body) == TYPE_BLOCK) return block::mold(&body, buffer, only, all, flat, arg, part, indent);
    string::concatenate_literal(buffer, " ");
    return actions::mold_dispatch(&body, buffer, only, all, flat, arg, part - 1, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) { return function::compare(value1, value2, op); }

void init() {
    datatype::register_type(TYPE_ROUTINE, TYPE_FUNCTION, "routine!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::routine
