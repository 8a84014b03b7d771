// Comparison, logic and set-operation natives: the seven comparisons, same?,
// not, the sign and zero tests, max and min, and the set operations.
#include <bit>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "evaluator/natives_eval.h"
#include "runtime/stack.h"
#include "runtime/fire.h"

namespace zav::natives {

namespace {

Cell* arg(i32 n) { return stack::arguments + n; }

void check_if(bool check, NativeIndex index, const i32* refinements) {
    if (check) check_args(index, refinements);
}

// script/expect-arg naming the native, the value's datatype and the parameter.
[[noreturn]] void expect_arg(const char* native, const Cell* value, const char* param) {
    Cell name, type, word;
    word::make_at(symbol::make(native), &name);
    datatype::make_at(&type, TYPE_OF(value));
    word::make_at(symbol::make(param), &word);
    fire("script", "expect-arg", &name, &type, &word);
}

bool float_like_q(u32 t) { return t == TYPE_FLOAT || t == TYPE_PERCENT || t == TYPE_TIME; }
bool number_q(u32 t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }


// Sign of the value as -1, 0 or 1; NaN counts as 0. `native` names the caller
// for the error on an unsupported type.
i32 sign_of(Cell* value, const char* native) {
    u32 t = TYPE_OF(value);
    if (t == TYPE_MONEY) return money::sign_q(value);
    if (t == TYPE_INTEGER) return integer::get(value) > 0 ? 1 : (integer::get(value) < 0 ? -1 : 0);
    if (float_like_q(t)) {
        double d = cell_float(value);
        return d > 0.0 ? 1 : (d < 0.0 ? -1 : 0);
    }
    expect_arg(native, value, "number");
}

void compare_native(bool check, const i32* refinements, NativeIndex index, i32 op) {
    check_if(check, index, refinements);
    actions::compare_op(op);
}

}  // namespace

// ---- Comparisons -----------------------------------------------------------

void equal_q_star(bool check, const i32* r) { compare_native(check, r, N_EQUAL_Q, COMP_EQUAL); }
void not_equal_q_star(bool check, const i32* r) { compare_native(check, r, N_NOT_EQUAL_Q, COMP_NOT_EQUAL); }
void strict_equal_q_star(bool check, const i32* r) { compare_native(check, r, N_STRICT_EQUAL_Q, COMP_STRICT_EQUAL); }
void lesser_q_star(bool check, const i32* r) { compare_native(check, r, N_LESSER_Q, COMP_LESSER); }
void greater_q_star(bool check, const i32* r) { compare_native(check, r, N_GREATER_Q, COMP_GREATER); }
void lesser_or_equal_q_star(bool check, const i32* r) { compare_native(check, r, N_LESSER_OR_EQUAL_Q, COMP_LESSER_EQUAL); }
void greater_or_equal_q_star(bool check, const i32* r) { compare_native(check, r, N_GREATER_OR_EQUAL_Q, COMP_GREATER_EQUAL); }

bool same_value_q(Cell* value1, Cell* value2) {
    u32 t = TYPE_OF(value1);
    if (t != TYPE_OF(value2)) return false;
    switch (t) {
        case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT:
            return value1->data1 == value2->data1;
        case TYPE_CHAR: case TYPE_INTEGER: case TYPE_BITSET:
            return value1->data2 == value2->data2;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
        case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        case TYPE_BINARY: case TYPE_VECTOR: case TYPE_IMAGE:
            return value1->data1 == value2->data1 && value1->data2 == value2->data2;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: case TYPE_PAIR:
            return value1->data2 == value2->data2 && value1->data3 == value2->data3;
        case TYPE_TUPLE:
            return tuple::size_of(value1) == tuple::size_of(value2) && tuple::compare(value1, value2, COMP_EQUAL) == 0;
        case TYPE_NONE: case TYPE_UNSET:
            return true;
        case TYPE_MONEY:
            return money::compare(value1, value2, COMP_SAME) == 0;
        case TYPE_ACTION: case TYPE_NATIVE: case TYPE_POINT2D:
            return value1->data1 == value2->data1 && value1->data2 == value2->data2;
        case TYPE_OP:
            return value1->data2 == value2->data2 && value1->data3 == value2->data3;
        default:
            return value1->data1 == value2->data1 && value1->data2 == value2->data2 &&
                   value1->data3 == value2->data3;
    }
}

void same_q_star(bool check, const i32* r) {
    check_if(check, N_SAME_Q, r);
    logic::box(same_value_q(arg(0), arg(1)));
}

void not_star(bool check, const i32* r) {
    check_if(check, N_NOT, r);
    logic::box(logic::false_arg_q());
}

// ---- Signs and zero ----------------------------------------------------------

void negative_q_star(bool check, const i32* r) {
    check_if(check, N_NEGATIVE_Q, r);
    Cell* v = arg(0);
    if (TYPE_OF(v) == TYPE_MONEY) {
        logic::box(money::negative_q(v));
        return;
    }
    logic::box(sign_of(v, "negative?") < 0);
}

void positive_q_star(bool check, const i32* r) {
    check_if(check, N_POSITIVE_Q, r);
    Cell* v = arg(0);
    if (TYPE_OF(v) == TYPE_MONEY) {
        logic::box(money::positive_q(v));
        return;
    }
    logic::box(sign_of(v, "positive?") > 0);
}

void sign_q_star(bool check, const i32* r) {
    check_if(check, N_SIGN_Q, r);
    integer::box(sign_of(arg(0), "sign?"));
}

void zero_q_star(bool check, const i32* r) {
    check_if(check, N_ZERO_Q, r);
    Cell* v = arg(0);
    bool zero;
    switch (TYPE_OF(v)) {
        case TYPE_MONEY: zero = money::zero_q(v); break;
        case TYPE_CHAR: case TYPE_INTEGER: zero = v->data2 == 0; break;
        case TYPE_TIME: case TYPE_PERCENT: case TYPE_FLOAT: zero = cell_float(v) == 0.0; break;
        case TYPE_PAIR: zero = v->data2 == 0 && v->data3 == 0; break;
        case TYPE_POINT2D: zero = std::bit_cast<float>(v->data1) == 0.0f && std::bit_cast<float>(v->data2) == 0.0f; break;
        case TYPE_POINT3D:
            zero = std::bit_cast<float>(v->data1) == 0.0f && std::bit_cast<float>(v->data2) == 0.0f && std::bit_cast<float>(v->data3) == 0.0f;
            break;
        case TYPE_TUPLE: zero = tuple::zero_q(v); break;
        default: zero = false; break;
    }
    logic::box(zero);
}

// ---- max and min ---------------------------------------------------------------

namespace {

// A number as a 32-bit integer, a float truncated toward zero; false when the
// float lies outside the integer range or is not finite.
bool number_to_int(const Cell* number, i32& out) {
    if (TYPE_OF(number) == TYPE_INTEGER) {
        out = integer::get(number);
        return true;
    }
    double d = cell_float(number);
    if (std::isnan(d) || d < -2147483648.0 || d > 2147483647.0) return false;
    out = static_cast<i32>(std::trunc(d));
    return true;
}

// The coordinates of a value as 32-bit floats (missing ones are 0); answers the count.
u32 coordinates(const Cell* v, float xyz[3]) {
    xyz[0] = xyz[1] = xyz[2] = 0.0f;
    switch (TYPE_OF(v)) {
        case TYPE_INTEGER: xyz[0] = xyz[1] = xyz[2] = static_cast<float>(integer::get(v)); return 3;
        case TYPE_FLOAT: case TYPE_PERCENT:
            xyz[0] = xyz[1] = xyz[2] = static_cast<float>(cell_float(v));
            return 3;
        case TYPE_PAIR:
            xyz[0] = static_cast<float>(static_cast<i32>(v->data2));
            xyz[1] = static_cast<float>(static_cast<i32>(v->data3));
            return 2;
        case TYPE_POINT2D: xyz[0] = std::bit_cast<float>(v->data1); xyz[1] = std::bit_cast<float>(v->data2); return 2;
        case TYPE_POINT3D:
            xyz[0] = std::bit_cast<float>(v->data1); xyz[1] = std::bit_cast<float>(v->data2); xyz[2] = std::bit_cast<float>(v->data3);
            return 3;
        default: return 0;
    }
}

bool point_operand_q(u32 t) {
    return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D;
}

// Element-wise on the point in v1; NaN in the second operand wins per coordinate.
void point_max_min(Cell* v1, Cell* v2, bool max_q) {
    float a[3], b[3];
    u32 n = TYPE_OF(v1) == TYPE_POINT3D ? 3 : 2;
    coordinates(v1, a);
    coordinates(v2, b);
    for (u32 i = 0; i < n; i++) {
        bool replace = std::isnan(b[i]) || (max_q ? a[i] < b[i] : a[i] > b[i]);
        if (replace) a[i] = b[i];
    }
    v1->data1 = std::bit_cast<u32>(a[0]);
    v1->data2 = std::bit_cast<u32>(a[1]);
    if (n == 3) v1->data3 = std::bit_cast<u32>(a[2]);
}

void make_point2D(Cell* cell, float x, float y) {
    make_cell(cell, TYPE_POINT2D, std::bit_cast<u32>(x), std::bit_cast<u32>(y), 0);
}

}  // namespace

void max_min(bool max_q) {
    Cell* v1 = arg(0);
    Cell* v2 = arg(1);
    u32 t1 = TYPE_OF(v1), t2 = TYPE_OF(v2);

    // NaN is contagious among numbers.
    auto nan_q = [](const Cell* v) {
        u32 t = TYPE_OF(v);
        return (t == TYPE_FLOAT || t == TYPE_PERCENT) && std::isnan(cell_float(v));
    };
    if (nan_q(v1) && number_q(t2)) return;
    if (nan_q(v2) && number_q(t1)) {
        copy_cell(v2, v1);
        return;
    }
    // The compound value goes first.
    if ((t2 == TYPE_PAIR || t2 == TYPE_POINT2D || t2 == TYPE_POINT3D || t2 == TYPE_TUPLE) &&
        (t1 == TYPE_INTEGER || t1 == TYPE_FLOAT)) {
        Cell tmp = *v1;
        *v1 = *v2;
        *v2 = tmp;
        std::swap(t1, t2);
    }

    switch (t1) {
        case TYPE_PAIR:
            if (t2 == TYPE_INTEGER || t2 == TYPE_FLOAT) {
                i32 n;
                if (!number_to_int(v2, n)) {
                    // Out of the integer range: the pair and the number meet as points.
                    float f = static_cast<float>(cell_float(v2));
                    make_point2D(v2, f, f);
                    float xy[3];
                    coordinates(v1, xy);
                    make_point2D(v1, xy[0], xy[1]);
                    point_max_min(v1, v2, max_q);
                    return;
                }
                i32 x = static_cast<i32>(v1->data2), y = static_cast<i32>(v1->data3);
                v1->data2 = static_cast<u32>(max_q ? std::max(x, n) : std::min(x, n));
                v1->data3 = static_cast<u32>(max_q ? std::max(y, n) : std::min(y, n));
                return;
            }
            if (t2 == TYPE_PAIR) {
                i32 x1 = static_cast<i32>(v1->data2), y1 = static_cast<i32>(v1->data3);
                i32 x2 = static_cast<i32>(v2->data2), y2 = static_cast<i32>(v2->data3);
                v1->data2 = static_cast<u32>(max_q ? std::max(x1, x2) : std::min(x1, x2));
                v1->data3 = static_cast<u32>(max_q ? std::max(y1, y2) : std::min(y1, y2));
                return;
            }
            if (t2 == TYPE_POINT2D) {
                float xy[3];
                coordinates(v1, xy);
                make_point2D(v1, xy[0], xy[1]);
                point_max_min(v1, v2, max_q);
                return;
            }
            break;
        case TYPE_POINT2D: case TYPE_POINT3D:
            if (point_operand_q(t2)) {
                point_max_min(v1, v2, max_q);
                return;
            }
            break;
        case TYPE_TUPLE:
            if (t2 == TYPE_INTEGER || t2 == TYPE_FLOAT) {
                i32 n;
                if (!number_to_int(v2, n)) {
                    Cell type;
                    datatype::make_at(&type, TYPE_INTEGER);
                    fire("script", "type-limit", &type);
                }
                u8 b = static_cast<u8>(std::clamp(n, 0, 255));
                u32 size = tuple::size_of(v1);
                u8* bytes = tuple::bytes_of(v1);
                for (u32 i = 0; i < size; i++) bytes[i] = max_q ? std::max(bytes[i], b) : std::min(bytes[i], b);
                return;
            }
            if (t2 == TYPE_TUPLE && tuple::size_of(v1) == tuple::size_of(v2)) {
                u32 size = tuple::size_of(v1);
                u8* a = tuple::bytes_of(v1);
                const u8* b = tuple::bytes_of(v2);
                for (u32 i = 0; i < size; i++) a[i] = max_q ? std::max(a[i], b[i]) : std::min(a[i], b[i]);
                return;
            }
            break;
        default:
            break;
    }
    // The generic rule: equal values give value1 for max and value2 for min.
    bool lesser = actions::compare_star(v1, v2, COMP_LESSER);
    if (max_q ? lesser : !lesser) copy_cell(v2, v1);
}

void max_star(bool check, const i32* r) {
    check_if(check, N_MAX, r);
    max_min(true);
}

void min_star(bool check, const i32* r) {
    check_if(check, N_MIN, r);
    max_min(false);
}

// ---- Set operations -------------------------------------------------------------

namespace {

const char* set_op_name(i32 op) {
    switch (op) {
        case 8: return "unique";
        case 9: return "union";
        case 10: return "intersect";
        case 11: return "exclude";
        default: return "difference";
    }
}

}  // namespace

void set_operation(i32 case_ref, i32 skip_ref, i32 op) {
    Cell* set1 = arg(0);
    Cell* set2 = op == 8 ? set1 : arg(1);
    u32 t1 = TYPE_OF(set1), t2 = TYPE_OF(set2);
    if (op != 8) {
        bool listish1 = t1 == TYPE_BLOCK || t1 == TYPE_HASH;
        bool listish2 = t2 == TYPE_BLOCK || t2 == TYPE_HASH;
        if (listish1 ? !listish2 : t1 != t2) {
            Cell d1, d2;
            datatype::make_at(&d1, t1);
            datatype::make_at(&d2, t2);
            fire("script", "expect-val", &d1, &d2);
        }
    }
    bool case_ = case_ref != -1;
    Cell* skip = skip_ref >= 0 ? arg(skip_ref) : nullptr;
    switch (t1) {
        case TYPE_BLOCK: case TYPE_HASH:
            copy_cell(block::do_set_op(set1, set2, case_, skip, op), arg(0));
            return;
        case TYPE_STRING:
            copy_cell(string::do_set_op(op, set1, set2, case_, skip), arg(0));
            return;
        case TYPE_BITSET:
            bitset::do_bitwise(op);
            return;
        case TYPE_TYPESET:
            typeset::do_set_op(op);
            return;
        case TYPE_DATE:
            if (op == 12) {
                date::difference(set1, set2);
                return;
            }
            break;
        default:
            break;
    }
    expect_arg(set_op_name(op), set1, op == 8 ? "set" : "set1");
}

void union_star(bool check, const i32* r) {
    check_if(check, N_UNION, r);
    set_operation(r ? r[0] : -1, r ? r[1] : -1, 9);
}

void intersect_star(bool check, const i32* r) {
    check_if(check, N_INTERSECT, r);
    set_operation(r ? r[0] : -1, r ? r[1] : -1, 10);
}

void unique_star(bool check, const i32* r) {
    check_if(check, N_UNIQUE, r);
    set_operation(r ? r[0] : -1, r ? r[1] : -1, 8);
}

void difference_star(bool check, const i32* r) {
    check_if(check, N_DIFFERENCE, r);
    set_operation(r ? r[0] : -1, r ? r[1] : -1, 12);
}

void exclude_star(bool check, const i32* r) {
    check_if(check, N_EXCLUDE, r);
    set_operation(r ? r[0] : -1, r ? r[1] : -1, 11);
}

void complement_q_star(bool check, const i32* r) {
    check_if(check, N_COMPLEMENT_Q, r);
    Cell* v = arg(0);
    if (TYPE_OF(v) != TYPE_BITSET) expect_arg("complement?", v, "bits");
    logic::box(bitset::complemented_q(v));
}

}  // namespace zav::natives
