// integer!: the 32-bit signed integer, its arithmetic core with the overflow
// rules shared by char!, and the dispatch of mixed arithmetic.
#include "datatypes/integer.h"

#include <charconv>
#include <cstring>
#include <climits>
#include <cmath>
#include <cstdio>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point2d.h"
#include "datatypes/point3d.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "loader/tokenizer.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::integer {

namespace {

// The global word naming an action or argument in an error (copied: the word
// list may move).
Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

const char* const op_names[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};

[[noreturn]] void not_related(const char* action, u32 type) {
    Cell w, t;
    fire("script", "not-related", word_of(&w, action), datatype::make_at(&t, type));
}

Cell* to_float_at(Cell* cell, double d) {
    set_type(cell, TYPE_FLOAT);
    cell->data1 = 0;
    set_cell_float(cell, d);
    return cell;
}

// The compound operand goes first and the integer second.
void swap_arguments() {
    Cell tmp = stack::arguments[0];
    stack::arguments[0] = stack::arguments[1];
    stack::arguments[1] = tmp;
}

// Integer power by squaring; throws THROW_POWER_OVERFLOW when a step leaves 32 bits.
i32 int_power(i32 base, i32 exponent) {
    i64 result = 1, b = base;
    u32 e = static_cast<u32>(exponent);
    while (e) {
        if (e & 1) {
            result *= b;
            if (result > INT_MAX || result < INT_MIN) throw Throw{THROW_POWER_OVERFLOW};
        }
        e >>= 1;
        if (e) {
            b *= b;
            if (b > INT_MAX || b < INT_MIN) throw Throw{THROW_POWER_OVERFLOW};
        }
    }
    return static_cast<i32>(result);
}

}  // namespace

Cell* make_in(Cell* parent, i32 value) { return make_at(alloc_at_tail(series_node(parent)), value); }

Cell* push(i32 value) { return make_at(stack::push_star(), value); }

Cell* box(i32 value) { return make_at(stack::arguments, value); }

i32 get_star() { return get(stack::arguments); }

i32 get_any_star() { return TYPE_OF(stack::arguments) == TYPE_INTEGER ? get(stack::arguments) : 0; }

i32 sign_q(const Cell* value) {
    i32 v = get(value);
    return v > 0 ? 1 : (v < 0 ? -1 : 0);
}

const char* form_signed(i32 value) {
    static char text[16];
    *std::to_chars(text, text + sizeof text - 1, value).ptr = 0;
    return text;
}

i32 do_math_op(i32 left, i32 right, i32 op, Cell* result) {
    i32 value;
    switch (op) {
        case OP_ADD:
        case OP_SUB: {
            i64 exact = op == OP_ADD ? i64(left) + right : i64(left) - right;
            if (exact > INT_MAX || exact < INT_MIN) {
                if (result) to_float_at(result, static_cast<double>(exact));
                return static_cast<i32>(static_cast<u32>(exact));
            }
            value = static_cast<i32>(exact);
            break;
        }
        case OP_MUL: {
            i64 exact = i64(left) * right;
            if (exact > INT_MAX || exact < INT_MIN) {
                if (result) to_float_at(result, static_cast<double>(exact));
                return static_cast<i32>(static_cast<u32>(exact));
            }
            value = static_cast<i32>(exact);
            break;
        }
        case OP_DIV:
        case OP_REM:
            if (right == 0) fire("math", "zero-divide");
            if (left == INT_MIN && right == -1) fire("math", "overflow");
            if (op == OP_REM) {
                value = left % right;
                break;
            }
            if (result && left % right != 0) {
                to_float_at(result, static_cast<double>(left) / right);
                return left / right;
            }
            value = left / right;
            break;
        case OP_OR: value = left | right; break;
        case OP_AND: value = left & right; break;
        case OP_XOR: value = left ^ right; break;
        default: fire("script", "cannot-use");
    }
    if (result) result->data2 = static_cast<u32>(value);
    return value;
}

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    switch (TYPE_OF(right)) {
        case TYPE_INTEGER:
        case TYPE_CHAR: {
            // The action's own errors go back pending: a zero divisor in a
            // loop under try costs a few returns, not an unwinder's walk.
            i32 a = get(left), b = get(right);
            if (op == OP_DIV || op == OP_REM) [[unlikely]] {
                if (b == 0) return fire_pending("math", "zero-divide"), nullptr;
                if (a == INT_MIN && b == -1) return fire_pending("math", "overflow"), nullptr;
            }
            do_math_op(a, b, op, left);
            return left;
        }
        case TYPE_MONEY:
            return money::do_math(op);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            return float_::do_math(op);
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            u32 type = TYPE_OF(right);
            if (op == OP_DIV) not_related("divide", TYPE_INTEGER);
            swap_arguments();
            if (op == OP_SUB) {
                // n - p is -p + n
                if (type == TYPE_PAIR) pair::negate(left);
                else if (type == TYPE_POINT2D) point2D::negate(left);
                else point3D::negate(left);
                op = OP_ADD;
            }
            if (type == TYPE_PAIR) return pair::do_math(op);
            if (type == TYPE_POINT2D) return point2D::do_math(op);
            return point3D::do_math(op);
        }
        case TYPE_TUPLE:
            if (op == OP_SUB || op == OP_DIV) not_related(op_names[op], TYPE_INTEGER);
            swap_arguments();
            return tuple::do_math(op);
        case TYPE_VECTOR: {
            Cell* vec = vector::do_math_scalar(op, right, left, true);
            return copy_cell(vec, left);
        }
        case TYPE_DATE:
            if (op != OP_ADD) not_related(op >= 0 && op <= OP_XOR ? op_names[op] : "add", TYPE_INTEGER);
            swap_arguments();
            return date::do_math(op);
        default: {
            Cell t;
            fire_pending("script", "invalid-type", datatype::make_at(&t, TYPE_OF(right)));
            return nullptr;
        }
    }
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    if (TYPE_OF(spec) == TYPE_LOGIC) return make_at(proto, spec->data1 ? 1 : 0);
    return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, u32) {
    u32 t = TYPE_OF(spec);
    switch (t) {
        case TYPE_INTEGER:
            return copy_cell(spec, proto);
        case TYPE_CHAR:
            return make_at(proto, get(spec));
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            double d = cell_float(spec);
            if (t == TYPE_TIME) d += 0.5;
            // NaN fails both tests and lands here too.
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
                Cell ty;
                fire("script", "type-limit", datatype::make_at(&ty, TYPE_INTEGER));
            }
            return make_at(proto, static_cast<i32>(d));
        }
        case TYPE_MONEY:
            return make_at(proto, money::to_int32(spec));
        case TYPE_BINARY: {
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 len = b->length();
            u32 head = series_head(spec);
            u32 n = head < len ? len - head : 0;
            if (n > 4) n = 4;
            const u8* p = b->head() + head;
            u32 v = 0;
            for (u32 i = 0; i < n; i++) v = v << 8 | p[i];
            return make_at(proto, static_cast<i32>(v));
        }
        case TYPE_ISSUE: {
            // The issue's text read as hexadecimal, at most 8 digits.
            const char* name = symbol::get_c_string(static_cast<i32>(spec->data2));
            size_t n = std::strlen(name);
            if (n > 8) fire("script", "invalid-data", spec);
            u32 v = 0;
            for (size_t i = 0; i < n; i++) {
                u8 c = static_cast<u8>(name[i]);
                u32 digit;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
                else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
                else fire("script", "invalid-data", spec);
                v = v << 4 | digit;
            }
            return make_at(proto, static_cast<i32>(v));
        }
        case TYPE_DATE:
            return make_at(proto, date::to_epoch(spec));
        default:
            if (string::any_string_q(t)) {
                u8* p = string::zs_head(spec);
                u32 unit = string::buffer_unit(GET_BUFFER(series_node(spec)));
                i32 count = static_cast<i32>(string::zs_length_q(spec));
                // The scanner reads no digits as 0: an empty or sign-only text is no number.
                u32 first = count ? string::get_char(p, unit) : 0;
                if (count == 0 || (count == 1 && (first == '+' || first == '-')))
                    return zav::error::pend_bad_to_arg(TYPE_INTEGER, spec);
                i32 error = 0;
                i32 v = tokenizer::scan_integer(p, count, unit, &error);
                if (error) return zav::error::pend_bad_to_arg(TYPE_INTEGER, spec);
                return make_at(proto, v);
            }
            return zav::error::pend_bad_to_arg(TYPE_INTEGER, spec);
    }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data2);
        return make_cell(value, TYPE_UNSET);
    }
    i32 v = get(value);
    if (v != 0) value->data2 = static_cast<u32>(random::int_range(secure, v));
    return value;
}

namespace {

// The text of an integer written backwards from `end`, two digits at a time
// from a table of the hundred pairs; answers where it starts. The length is
// not worked out first.
char* digits_before(char* end, i32 value) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    u32 v = value < 0 ? 0u - static_cast<u32>(value) : static_cast<u32>(value);
    while (v >= 100) {
        end -= 2;
        std::memcpy(end, pairs + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        end -= 2;
        std::memcpy(end, pairs + 2 * v, 2);
    } else {
        *--end = static_cast<char>('0' + v);
    }
    if (value < 0) *--end = '-';
    return end;
}

}  // namespace

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    char text[16];
    const char* start = digits_before(text + sizeof text, get(value));
    u32 n = static_cast<u32>(text + sizeof text - start);
    string::append_ascii(buffer, start, n);
    return part - static_cast<i32>(n);
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return form(value, buffer, arg, part);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t != TYPE_INTEGER) return 1;
    switch (t) {
        case TYPE_INTEGER:
        case TYPE_CHAR: {
            i32 a = get(value1), b = get(value2);
            return a == b ? 0 : (a < b ? -1 : 1);
        }
        case TYPE_MONEY:
            return money::compare(money::from_int32(get(value1)), value2, op);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            Cell f;
            float_::make_at(&f, get(value1));
            return float_::compare(&f, value2, op);
        }
        default:
            return -2;
    }
}

Cell* absolute() {
    Cell* v = stack::arguments;
    i32 n = get(v);
    if (n == INT_MIN) fire("math", "overflow");
    if (n < 0) v->data2 = static_cast<u32>(-n);
    return v;
}

Cell* add() { return do_math(OP_ADD); }
Cell* divide() { return do_math(OP_DIV); }
Cell* multiply() { return do_math(OP_MUL); }
Cell* remainder() { return do_math(OP_REM); }
Cell* subtract() { return do_math(OP_SUB); }
Cell* and_t() { return do_math(OP_AND); }
Cell* or_t() { return do_math(OP_OR); }
Cell* xor_t() { return do_math(OP_XOR); }

Cell* negate(Cell* value) {
    i32 n = get(value);
    if (n == INT_MIN) fire("math", "overflow");
    value->data2 = static_cast<u32>(-n);
    return value;
}

Cell* power() {
    Cell* base = stack::arguments;
    Cell* exponent = base + 1;
    u32 t = TYPE_OF(exponent);
    if (t != TYPE_INTEGER && t != TYPE_FLOAT) {
        Cell w, ty, a;
        fire("script", "expect-arg", word_of(&w, "power"), datatype::make_at(&ty, t), word_of(&a, "exponent"));
    }
    if (t == TYPE_INTEGER && get(exponent) >= 0) {
        try {
            base->data2 = static_cast<u32>(int_power(get(base), get(exponent)));
            return base;
        } catch (Throw& th) {
            if (th.value != THROW_POWER_OVERFLOW) throw;
        }
    }
    float_::make_at(base, get(base));
    return float_::power();
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil) {
    if (scale && TYPE_OF(scale) == TYPE_MONEY) not_related("round", TYPE_MONEY);
    // -2147483648 is worked like any other value (its magnitude fits in the
    // 64-bit arithmetic below): returned unchanged it would not be a multiple
    // of the scale.
    i32 n = get(value);
    i64 sc = 1;
    if (scale) {
        if (TYPE_OF(scale) != TYPE_INTEGER) {
            float_::make_at(value, n);
            return float_::round(value, scale, even, down, half_down, floor, ceil, half_ceil);
        }
        sc = get(scale);
        if (sc == INT_MIN) fire("math", "overflow");
        if (sc < 0) sc = -sc;
        if (sc == 0) return value;
    }
    i64 sign = n < 0 ? -1 : 1;
    i64 a = n < 0 ? -i64(n) : n;
    i64 r = a % sc;
    if (r == 0) return value;
    i64 up = sc - r;
    i64 hi = a + up;
    auto away = [&]() -> i64 {
        if (sign * hi > INT_MAX || sign * hi < INT_MIN) fire("math", "overflow");
        return sign * hi;
    };
    i64 toward_zero = sign * (a - r);
    i64 out;
    if (down) {
        out = toward_zero;
    } else if (floor) {
        out = n > 0 ? a - r : away();
    } else if (ceil) {
        out = n > 0 ? away() : toward_zero;
    } else if (r < up) {
        out = toward_zero;
    } else if (r > up) {
        out = away();
    } else if (even) {
        out = (a / sc) % 2 ? away() : toward_zero;
    } else if (half_down) {
        out = toward_zero;
    } else if (half_ceil) {
        out = n > 0 ? away() : toward_zero;
    } else {
        out = away();
    }
    value->data2 = static_cast<u32>(static_cast<i32>(out));
    return value;
}

bool even_q(Cell* value) { return (value->data2 & 1) == 0; }
bool odd_q(Cell* value) { return (value->data2 & 1) != 0; }

Cell* complement(Cell* value) {
    value->data2 = ~value->data2;
    return value;
}

void init() {
    datatype::register_type(TYPE_INTEGER, 0, "integer!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide),
        own<ACT_MULTIPLY>(multiply), own<ACT_NEGATE>(negate), own<ACT_POWER>(power), own<ACT_REMAINDER>(remainder),
        own<ACT_ROUND>(round), own<ACT_SUBTRACT>(subtract), own<ACT_EVEN_Q>(even_q), own<ACT_ODD_Q>(odd_q),
        own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t),
    });
}

}  // namespace zav::integer
