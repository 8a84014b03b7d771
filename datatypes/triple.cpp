// triple! values: form and mold only.
#include "datatypes/triple.h"

#include <cstdio>
#include <string>

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace zav::triple {

Cell* make_at(Cell* cell, i32 a, i32 b, i32 c) {
    return make_cell(cell, TYPE_TRIPLE_ID, static_cast<u32>(a), static_cast<u32>(b), static_cast<u32>(c));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 part, i32) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "make triple! [%d %d %d]", static_cast<i32>(value->data1),
                          static_cast<i32>(value->data2), static_cast<i32>(value->data3));
    string::concatenate_literal(buffer, text);
    return part - n;
}

i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

void init() {
    datatype::register_type(TYPE_TRIPLE_ID, 0, "triple!", {
        own<ACT_FORM>(form), own<ACT_MOLD>(mold),
    });
}

}  // namespace zav::triple
