// handle!: form as 8 hexadecimal digits and "h", mold with its kind, compare by value.
#include "datatypes/handle.h"

#include <cstdio>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/memory.h"

namespace zav::handle {

namespace {

const char* const kind_names[] = {"null", "fd", "monitor", "window", "font", "rich-text"};

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    char text[16];
    std::snprintf(text, sizeof text, "%08Xh", value->data2);
    string::concatenate_literal(buffer, text);
    return part - 9;
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* arg, i32 part, i32) {
    if (!all) {
        string::concatenate_literal(buffer, "handle!");
        return part - 7;
    }
    string::concatenate_literal(buffer, "#[handle! ");
    part = form(value, buffer, arg, part - 10);
    u32 kind = value->data1;
    if (kind > 0 && kind < sizeof kind_names / sizeof kind_names[0]) {
        string::concatenate_literal(buffer, " ");
        string::concatenate_literal(buffer, kind_names[kind]);
        part -= 1 + static_cast<i32>(std::strlen(kind_names[kind]));
    }
    string::concatenate_literal(buffer, "]");
    return part - 1;
}

i32 compare(Cell* value1, Cell* value2, i32) {
    if (TYPE_OF(value2) != TYPE_HANDLE) return 1;
    i32 a = static_cast<i32>(value1->data2), b = static_cast<i32>(value2->data2);
    return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

Cell* make_in(Cell* cell, u32 value, u32 kind) { return make_cell(cell, TYPE_HANDLE, kind, value, 0xFFFFFFFFu); }
Cell* make_at(Cell* block, u32 value, u32 kind) { return make_in(alloc_at_tail(series_node(block)), value, kind); }
Cell* push(u32 value, u32 kind) { return make_in(stack::push_star(), value, kind); }
Cell* box(u32 value, u32 kind) { return make_in(stack::arguments, value, kind); }

void init() {
    datatype::register_type(TYPE_HANDLE, TYPE_INTEGER, "handle!", {
        own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::handle
