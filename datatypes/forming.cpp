// Forming and loading helpers.
#include "datatypes/forming.h"

#include <cmath>

#include "datatypes/string.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/fire.h"

namespace zav {

bool load_value(Cell* str, Cell* result) {
    Cell* mark = stack::top;
    // Read before the allocation below, which may move the buffer the cell is in.
    Cell* held = stack::push(str);
    Cell source = *held;
    Cell* scratch = stack::push_star();
    make_cell(scratch, TYPE_NONE);
    node_t node = alloc_cells(4);
    make_cell(scratch, TYPE_BLOCK, 0, node, 0);
    i32 consumed = 0;
    lexer::scan_string(scratch, &source, -1, lexer::SCAN_ALL, &consumed, nullptr);
    bool whole = static_cast<u32>(consumed) >= string::zs_length_q(&source);
    if (whole) {
        SeriesBuffer* b = GET_BUFFER(series_node(scratch));
        if (b->length() == 0) make_cell(result, TYPE_UNSET);
        else copy_cell(reinterpret_cast<Cell*>(b->head()), result);
    }
    stack::top = mark;
    return whole;
}

Cell* load_value_arg() { return load_value(stack::arguments, stack::arguments) ? stack::arguments : nullptr; }

Cell* form_value(Cell* value, bool part, i32 limit) {
    Cell* buffer = string::make_push(16);
    actions::form_dispatch(value, buffer, nullptr, 0);
    if (part && limit > 0) string::update_cursor(GET_BUFFER(series_node(buffer)), static_cast<u32>(limit));
    return buffer;
}

i32 check_float_range(const Cell* value) {
    if (TYPE_OF(value) != TYPE_FLOAT) return static_cast<i32>(value->data2);
    double d = cell_float(value);
    if (!(d <= 2147483647.0 && d >= -2147483648.0)) fire("script", "out-of-range", value);
    return static_cast<i32>(std::nearbyint(d));
}

i32 mold_indent(Cell* buffer, i32 levels, i32 remaining) {
    for (i32 i = 0; i < levels; i++) string::concatenate_literal_part(buffer, "    ", 4);
    return remaining - 4 * (levels > 0 ? levels : 0);
}

void fill_repeat(u8* p, u32 unit_bytes, u32 count) {
    u64 total = u64(count) * unit_bytes;
    u64 filled = unit_bytes;
    u8* dst = p + unit_bytes;
    while (total > 0) {
        u64 n = filled < total ? filled : total;
        std::memcpy(dst, p, static_cast<size_t>(n));
        dst += n;
        total -= n;
        filled += n;
    }
}

}  // namespace zav
