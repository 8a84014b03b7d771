// unset!: the absence of a value.
#include "datatypes/unset.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/memory.h"

namespace zav::unset {

Cell value{TYPE_UNSET, 0, 0, 0};

Cell* push_last() { return make_cell(stack::arguments, TYPE_UNSET); }

Cell* make_in(Cell* parent) { return make_cell(alloc_at_tail(series_node(parent)), TYPE_UNSET); }

Cell* push() { return make_cell(stack::push_star(), TYPE_UNSET); }

// Whatever the argument, the result is unset.
Cell* make(Cell* proto, Cell*, u32) { return make_cell(proto, TYPE_UNSET); }

i32 form(Cell*, Cell*, Cell*, i32 part) { return part; }

i32 mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    const char* text = all ? "#(unset)" : "unset";
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

i32 compare(Cell*, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_UNSET) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_SAME: case COMP_FIND:
            return 0;
        default:
            return -2;
    }
}

void init() {
    value = Cell{TYPE_UNSET, 0, 0, 0};
    datatype::register_type(TYPE_UNSET, 0, "unset!", {
        own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::unset
