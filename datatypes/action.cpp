// action! values: built-ins that dispatch on the datatype of their first argument.
#include "datatypes/action.h"

#include "datatypes/datatype.h"
#include "datatypes/native.h"
#include "datatypes/string.h"

namespace zav::action {

Cell* make(Cell*, Cell* spec, u32) { return native::make_from(spec, TYPE_ACTION, ACTIONS_COUNT); }

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?action?");
    return part - 8;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return native::mold_as(fn, buffer, "make action! [", only, all, flat, arg, part, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) { return native::compare_entries(value1, value2, op); }

void init() {
    datatype::register_type(TYPE_ACTION, TYPE_NATIVE, "action!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::action
