// native! values, and the writers and checks that action! and op! share.
#include "datatypes/native.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/op.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/words.h"

namespace zav::native {

namespace {

Cell datatype_cell(u32 type) {
    Cell c;
    datatype::make_at(&c, type);
    return c;
}

bool field_is(u32 field_symbol, i32 word) {
    return symbol::resolve(static_cast<i32>(field_symbol)) == symbol::resolve(word);
}

}  // namespace

Cell* make_from(Cell* spec, u32 type, u32 max_index) {
    Cell dt = datatype_cell(type);
    if (TYPE_OF(spec) != TYPE_BLOCK || block::zs_length_q(spec) != 2) fire_make_error(&dt, spec);
    Cell fn_spec = *block::zs_head(spec);
    Cell index = *block::zs_abs_at(spec, series_head(spec) + 1);
    if (TYPE_OF(&fn_spec) != TYPE_BLOCK) fire_make_error(&dt, spec);
    if (TYPE_OF(&index) != TYPE_INTEGER || static_cast<i32>(index.data2) < 1 || index.data2 > max_index)
        fire_make_error(&dt, spec);

    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    node_t more = alloc_cells(2);
    collector::Guard more_root(more);
    node_t ctx = context::make(&fn_spec, true, false, context::KIND_FUNCTION);
    Cell* c0 = alloc_at_tail(more);
    *c0 = *context::TO_CTX(ctx);
    make_cell(alloc_at_tail(more), TYPE_NONE);
    // Natives and actions are table indexes: the entry is the index itself.
    return make_cell(out, type, index.data2, series_node(&fn_spec), more);
}

i32 mold_as(Cell* fn, Cell* buffer, const char* prefix, bool only, bool all, bool flat, Cell* arg, i32 part,
            i32 indent) {
    string::concatenate_literal(buffer, prefix);
    Cell spec;
    make_cell(&spec, TYPE_BLOCK, 0, spec_of(fn), 0);
    part = block::mold(&spec, buffer, only, all, flat, arg, part - 14, indent);
    string::concatenate_literal(buffer, "]");
    return part - 1;
}

Cell* reflect_builtin(Cell* fn, u32 field_symbol) {
    if (field_is(field_symbol, words::spec)) return make_cell(fn, TYPE_BLOCK, 0, spec_of(fn), 0);
    if (field_is(field_symbol, words::body)) {
        u32 wrapped = TYPE_OF(fn) == TYPE_OP ? op::wrapped_type(fn) : TYPE_OF(fn);
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) {
            Cell body = *reinterpret_cast<Cell*>(GET_BUFFER(more_of(fn))->head());
            return copy_cell(&body, fn);
        }
        return make_cell(fn, TYPE_INTEGER, 0, entry_of(fn));
    }
    fire("internal", "not-done");
}

i32 compare_entries(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_OF(value1)) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_SAME: case COMP_FIND:
            return value1->data1 == value2->data1 ? 0 : (value1->data1 < value2->data1 ? -1 : 1);
        default:
            return -2;
    }
}

Cell* make(Cell*, Cell* spec, u32) { return make_from(spec, TYPE_NATIVE, NATIVE_TABLE_SIZE); }
Cell* reflect(Cell* fn, u32 field_symbol) { return reflect_builtin(fn, field_symbol); }

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?native?");
    return part - 8;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return mold_as(fn, buffer, "make native! [", only, all, flat, arg, part, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) { return compare_entries(value1, value2, op); }

void init() {
    datatype::register_type(TYPE_NATIVE, 0, "native!", {
        own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::native
