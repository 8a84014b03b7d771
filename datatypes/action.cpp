// action! values: built-ins that dispatch on the datatype of their first argument.
#include "datatypes/action.h"

#include "datatypes/datatype.h"
#include "datatypes/native.h"
#include "datatypes/string.h"

namespace zav::action {

Cell* make(Cell*, Cell* spec, u32) { return native::make_from(spec, TYPE_ACTION, native::ACTION_TABLE_SIZE); }

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?action?");
    return part - 8;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return native::mold_as(fn, buffer, "make action! [", only, all, flat, arg, part, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) { return native::compare_entries(value1, value2, op); }

void init() {
    ActionFn n = nullptr, I = datatype::INHERIT;
    datatype::register_type(TYPE_ACTION, TYPE_NATIVE, "action!", {
        A<ACT_MAKE>(make), n, I, n, A<ACT_FORM>(form), A<ACT_MOLD>(mold), n, n, A<ACT_COMPARE>(compare),
        n, n, n, n, n, n, n, n, n, n, n, n, n, n, n,                          // 10-24
        n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n, n,  // 25-47
        n, n, n, n, n, n, n, n, n, n, n, n, n, n, n,                          // 48-62
    });
}

}  // namespace zav::action
