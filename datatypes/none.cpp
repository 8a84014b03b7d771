// none!: the explicit "no value".
#include "datatypes/none.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/memory.h"

namespace zav::none {

Cell value{TYPE_NONE, 0, 0, 0};

Cell* push_last() { return make_cell(stack::arguments, TYPE_NONE); }

Cell* make_in(Cell* parent) { return make_cell(alloc_at_tail(series_node(parent)), TYPE_NONE); }

Cell* push() { return make_cell(stack::push_star(), TYPE_NONE); }

// Whatever the argument, the result is none.
Cell* make(Cell* proto, Cell*, u32) { return make_cell(proto, TYPE_NONE); }

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "none");
    return part - 4;
}

i32 mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    const char* text = all ? "#(none)" : "none";
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

i32 compare(Cell*, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_NONE) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_SAME: case COMP_FIND:
            return 0;
        default:
            return -2;
    }
}

Cell* clear(Cell*) { return push_last(); }

Cell* find(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) { return push_last(); }

i32 length_q(Cell*) { return -1; }

Cell* remove(Cell*, Cell*, Cell*) { return push_last(); }

Cell* select(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) { return push_last(); }

Cell* take(Cell*, Cell*, bool, bool) { return push_last(); }

void init() {
    value = Cell{TYPE_NONE, 0, 0, 0};
    datatype::register_type(TYPE_NONE, 0, "none!", {
        own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
        own<ACT_CLEAR>(clear), own<ACT_FIND>(find), own<ACT_LENGTH_Q>(length_q), own<ACT_REMOVE>(remove),
        own<ACT_SELECT>(select), own<ACT_TAKE>(take),
    });
}

}  // namespace zav::none
