// pair!: exact integer pairs; results that are not integers go on as point2D!.
#include "datatypes/pair.h"

#include <cmath>
#include <cstdio>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/point2d.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::pair {

namespace {

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

// Raised pending: a conversion's entries return at once (see pend_bad_to_arg).
Cell* bad_to(const Cell* spec) { return error::pend_bad_to_arg(TYPE_PAIR, spec); }

void finite_or_fail(const Cell* value) {
    if (!std::isfinite(cell_float(value))) {
        Cell v = *value;
        fire("script", "invalid-arg", &v);
    }
}

// Field 1 (x) or 2 (y) of a selector, 0 when it names none.
i32 field_of(const Cell* element) {
    if (TYPE_OF(element) == TYPE_INTEGER) {
        i32 n = integer::get(element);
        return n == 1 || n == 2 ? n : 0;
    }
    if (!word::any_word_q(TYPE_OF(element))) return 0;
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    if (sym == symbol::resolve(symbol::make("x"))) return 1;
    if (sym == symbol::resolve(symbol::make("y"))) return 2;
    return 0;
}

// One coordinate by integer rules; false when the result is not an integer.
bool combine(i32 a, i32 b, i32 op, i32* out) {
    i64 r;
    switch (op) {
        case integer::OP_ADD: r = i64(a) + b; break;
        case integer::OP_SUB: r = i64(a) - b; break;
        case integer::OP_MUL: r = i64(a) * b; break;
        case integer::OP_DIV:
            if (b == 0) fire("math", "zero-divide");
            if (a == INT32_MIN && b == -1) fire("math", "overflow");
            if (a % b != 0) return false;
            r = a / b;
            break;
        case integer::OP_REM: {
            Cell result;
            make_cell(&result, TYPE_INTEGER);
            integer::do_math_op(a, b, op, &result);
            *out = integer::get(&result);
            return true;
        }
        case integer::OP_OR: r = a | b; break;
        case integer::OP_AND: r = a & b; break;
        default: r = a ^ b; break;
    }
    if (r < INT32_MIN || r > INT32_MAX) return false;
    *out = static_cast<i32>(r);
    return true;
}

}  // namespace

i32 coordinate_of(double f) {
    double t = std::trunc(f);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) {
        Cell v;
        fire("script", "out-of-range", float_::make_at(&v, f));
    }
    return static_cast<i32>(t);
}

Cell* make_in(Cell* cell, i32 x, i32 y) { return make_cell(cell, TYPE_PAIR, 0, static_cast<u32>(x), static_cast<u32>(y)); }
Cell* make_at(Cell* block, i32 x, i32 y) { return make_in(alloc_at_tail(series_node(block)), x, y); }
Cell* push(i32 x, i32 y) { return make_in(stack::push_star(), x, y); }

void promote_to_point2D(u32 index) {
    Cell* c = stack::arguments + index;
    point2D::make_in(c, static_cast<float>(x_of(c)), static_cast<float>(y_of(c)));
}

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    i32 vx, vy;
    switch (TYPE_OF(right)) {
        case TYPE_PAIR: vx = x_of(right), vy = y_of(right); break;
        case TYPE_INTEGER: vx = vy = integer::get(right); break;
        case TYPE_POINT2D:
            promote_to_point2D(0);
            return point2D::do_math(op);
        case TYPE_FLOAT: case TYPE_PERCENT: {
            finite_or_fail(right);
            double f = cell_float(right);
            if (op == integer::OP_MUL || op == integer::OP_DIV) {
                float x = static_cast<float>(x_of(left)), y = static_cast<float>(y_of(left)), g = static_cast<float>(f);
                if (op == integer::OP_MUL) return point2D::make_in(left, x * g, y * g);
                return point2D::make_in(left, x / g, y / g);
            }
            vx = vy = coordinate_of(f);
            break;
        }
        default:
            invalid_type(TYPE_OF(right));
    }
    i32 x, y;
    if (combine(x_of(left), vx, op, &x) && combine(y_of(left), vy, op, &y)) return make_in(left, x, y);
    // Not an integer result: the whole operation again on points.
    make_in(right, vx, vy);
    promote_to_point2D(0);
    promote_to_point2D(1);
    return point2D::do_math(op);
}

Cell* negate(Cell* value) {
    value->data2 = 0u - value->data2;
    value->data3 = 0u - value->data3;
    return value;
}

namespace {

Cell* make(Cell* proto, Cell* spec, u32) {
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER: return make_in(proto, integer::get(spec), integer::get(spec));
        case TYPE_FLOAT: {
            i32 t = coordinate_of(cell_float(spec));
            return make_in(proto, t, t);
        }
        case TYPE_BLOCK: {
            i32 c[2];
            const Cell* items = block::zs_head(spec);
            bool ok = block::zs_length_q(spec) >= 2;
            for (u32 i = 0; ok && i < 2; i++) {
                u32 t = TYPE_OF(items + i);
                if (t == TYPE_INTEGER) c[i] = integer::get(items + i);
                else if (t == TYPE_FLOAT) c[i] = coordinate_of(cell_float(items + i));
                else ok = false;
            }
            if (!ok) {
                Cell s = *spec;
                fire("syntax", "malconstruct", &s);
            }
            return make_in(proto, c[0], c[1]);
        }
        case TYPE_POINT2D: {
            double c[2] = {point2D::coord(spec, 0), point2D::coord(spec, 1)};
            for (double f : c) {
                if (!std::isfinite(f)) {
                    Cell v;
                    fire("script", "invalid-arg", float_::make_at(&v, f));
                }
            }
            return make_in(proto, coordinate_of(c[0]), coordinate_of(c[1]));
        }
        case TYPE_STRING: {
            Cell s = *spec, loaded;
            if (!load_value(&s, &loaded) || TYPE_OF(&loaded) != TYPE_PAIR) return bad_to(spec);
            return copy_cell(&loaded, proto);
        }
        case TYPE_PAIR: return copy_cell(spec, proto);
        default: return bad_to(spec);
    }
}

Cell* random_(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data2 ^ value->data3);
        return make_cell(value, TYPE_UNSET);
    }
    for (u32* c : {&value->data2, &value->data3}) {
        i32 v = static_cast<i32>(*c);
        if (v > 0) *c = static_cast<u32>(random::int_range(secure, v));
        else if (v < 0) *c = static_cast<u32>(-random::int_range(secure, v == INT32_MIN ? INT32_MAX : -v));
    }
    return value;
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    char text[32];
    i32 n = std::snprintf(text, sizeof text, "%dx%d", x_of(value), y_of(value));
    string::concatenate_literal(buffer, text);
    return part - n;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) { return form(value, buffer, arg, part); }

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    i32 field = field_of(element);
    if (!field) fire("script", "invalid-path", path, element);
    u32& slot = field == 1 ? parent->data2 : parent->data3;
    if (!value) return integer::push(static_cast<i32>(slot));
    if (TYPE_OF(value) != TYPE_INTEGER) invalid_type(TYPE_OF(value));
    slot = value->data2;
    return value;
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
    if (word::any_word_q(TYPE_OF(boxed))) {
        i32 field = field_of(boxed);
        if (!field) {
            Cell w = *boxed, p = *value;
            fire("script", "cannot-use", &w, &p);
        }
        index = field;
    } else if (index != 1 && index != 2) {
        fire("script", "out-of-range", boxed);
    }
    return integer::push(index == 1 ? x_of(value) : y_of(value));
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) == TYPE_POINT2D) {
        Cell p;
        point2D::make_in(&p, static_cast<float>(x_of(value1)), static_cast<float>(y_of(value1)));
        return point2D::compare(&p, value2, op);
    }
    if (TYPE_OF(value2) != TYPE_PAIR) return -2;
    i32 a = x_of(value1), b = x_of(value2);
    if (a == b) a = y_of(value1), b = y_of(value2);
    return a < b ? -1 : a > b ? 1 : 0;
}

Cell* absolute() {
    Cell* v = stack::arguments;
    if (x_of(v) == INT32_MIN || y_of(v) == INT32_MIN) fire("math", "overflow");
    return make_in(v, std::abs(x_of(v)), std::abs(y_of(v)));
}
Cell* add() { return do_math(integer::OP_ADD); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* subtract() { return do_math(integer::OP_SUB); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* xor_t() { return do_math(integer::OP_XOR); }
Cell* negate_(Cell* value) { return negate(value); }

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil) {
    if (scale && TYPE_OF(scale) == TYPE_MONEY) {
        Cell w, dt;
        fire("script", "not-related", copy_cell(word::load("round"), &w), datatype::make_at(&dt, TYPE_MONEY));
    }
    for (u32 i = 0; i < 2; i++) {
        Cell c, s;
        integer::make_at(&c, i == 0 ? x_of(value) : y_of(value));
        Cell* sc = scale;
        if (scale && TYPE_OF(scale) == TYPE_PAIR) sc = integer::make_at(&s, i == 0 ? x_of(scale) : y_of(scale));
        integer::round(&c, sc, even, down, half_down, floor, ceil, half_ceil);
        i32 r = TYPE_OF(&c) == TYPE_INTEGER ? integer::get(&c) : coordinate_of(cell_float(&c));
        (i == 0 ? value->data2 : value->data3) = static_cast<u32>(r);
    }
    return value;
}

Cell* reverse(Cell* value, Cell*, Cell*) { return make_in(value, y_of(value), x_of(value)); }

}  // namespace

void init() {
    datatype::register_type(TYPE_PAIR, 0, "pair!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random_), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute), own<ACT_ADD>(add),
        own<ACT_DIVIDE>(divide), own<ACT_MULTIPLY>(multiply), own<ACT_NEGATE>(negate_),
        own<ACT_REMAINDER>(remainder), own<ACT_ROUND>(round), own<ACT_SUBTRACT>(subtract), own<ACT_AND_T>(and_t),
        own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t), own<ACT_PICK>(pick), own<ACT_REVERSE>(reverse),
    });
}

}  // namespace zav::pair
