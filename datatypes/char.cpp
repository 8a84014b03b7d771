// char!: a Unicode code point, a child of integer! sharing its cell layout.
#include "datatypes/char.h"

#include <cmath>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace zav::char_ {

namespace {

// Raised pending: a conversion's entries return at once (see pend_bad_to_arg).
Cell* bad_to_arg(Cell* spec) { return error::pend_bad_to_arg(TYPE_CHAR, spec); }

Cell* checked(Cell* proto, i64 cp, Cell* spec) {
    if (cp < 0 || cp > MAX_CODE_POINT) fire("script", "out-of-range", spec);
    return make_at(proto, static_cast<u32>(cp));
}

void append(Cell* buffer, u32 cp) { string::append_char(GET_BUFFER(series_node(buffer)), cp); }

void append_text(Cell* buffer, const char* text) { string::concatenate_literal(buffer, text); }

}  // namespace

Cell* make_at(Cell* cell, u32 cp) { return make_cell(cell, TYPE_CHAR, 0, cp); }

Cell* make_in(Cell* parent, u32 cp) { return make_at(alloc_at_tail(series_node(parent)), cp); }

Cell* push(u32 cp) { return make_at(stack::push_star(), cp); }

Cell* make(Cell* proto, Cell* spec, u32) {
    u32 t = TYPE_OF(spec);
    switch (t) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
            return checked(proto, static_cast<i32>(spec->data2), spec);
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = std::trunc(cell_float(spec));
            // NaN and values far out of range fail the same check.
            if (!(d >= 0 && d <= MAX_CODE_POINT)) fire("script", "out-of-range", spec);
            return make_at(proto, static_cast<u32>(d));
        }
        case TYPE_BINARY: {
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 len = b->length(), head = series_head(spec);
            if (head >= len) return bad_to_arg(spec);
            i32 cp = 0;
            const u8* p = b->head() + head;
            if (!unicode::fast_decode_utf8_char(p, p + (len - head), &cp) || cp < 0) return bad_to_arg(spec);
            return make_at(proto, static_cast<u32>(cp));
        }
        default:
            if (string::any_string_q(t)) {
                if (string::zs_length_q(spec) == 0) return bad_to_arg(spec);
                u32 unit = string::buffer_unit(GET_BUFFER(series_node(spec)));
                return make_at(proto, string::get_char(string::zs_head(spec), unit));
            }
            return bad_to_arg(spec);
    }
}

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    i32 r;
    switch (TYPE_OF(right)) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
            r = static_cast<i32>(right->data2);
            break;
        case TYPE_FLOAT: {
            double d = std::trunc(cell_float(right));
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) fire("math", "overflow");
            r = static_cast<i32>(d);
            break;
        }
        case TYPE_VECTOR:
            return copy_cell(vector::do_math_scalar(op, right, left, true), left);
        default: {
            Cell t;
            fire("script", "invalid-type", datatype::make_at(&t, TYPE_OF(right)));
        }
    }
    // Division always truncates: no result cell, so no float quotient.
    Cell result = *left;
    i32 v = integer::do_math_op(static_cast<i32>(left->data2), r, op, op == integer::OP_DIV ? nullptr : &result);
    if (TYPE_OF(&result) != TYPE_CHAR || v < 0 || static_cast<u32>(v) > MAX_CODE_POINT) fire("math", "overflow");
    left->data2 = static_cast<u32>(v);
    return left;
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* subtract() { return do_math(integer::OP_SUB); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* xor_t() { return do_math(integer::OP_XOR); }

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t != TYPE_CHAR) return 1;
    if (t != TYPE_CHAR && t != TYPE_INTEGER) return -2;
    i32 a = static_cast<i32>(value1->data2), b = static_cast<i32>(value2->data2);
    return a == b ? 0 : (a < b ? -1 : 1);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    append(buffer, get(value));
    return part - 1;
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    u32 before = string::zs_length_q(buffer);
    append_text(buffer, "#\"");
    string::append_escaped_char(buffer, get(value), string::ESC_MOLD, all);
    append_text(buffer, "\"");
    return part - static_cast<i32>(string::zs_length_q(buffer) - before);
}

void init() {
    datatype::register_type(TYPE_CHAR, TYPE_INTEGER, "char!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare), inherit<ACT_ABSOLUTE>(), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide),
        own<ACT_MULTIPLY>(multiply), own<ACT_REMAINDER>(remainder), own<ACT_SUBTRACT>(subtract),
        inherit<ACT_EVEN_Q>(), inherit<ACT_ODD_Q>(), own<ACT_AND_T>(and_t), own<ACT_OR_T>(or_t),
        own<ACT_XOR_T>(xor_t),
    });
}

}  // namespace zav::char_
