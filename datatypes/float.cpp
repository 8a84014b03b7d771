// float!: the 64-bit IEEE number, the text form of every float-like value,
// and the arithmetic worker that integer!, float!, percent! and time! share.
#include "datatypes/float.h"

#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point2d.h"
#include "datatypes/point3d.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "loader/tokenizer.h"
#include "runtime/dtoa.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::float_ {

bool pretty_print_q = true;
bool full_support_q = false;

// Below this magnitude pretty printing shows zero (the double epsilon).
constexpr double EPSILON = 2.220446049250313e-16;

namespace {

// The global word naming an action or argument in an error (copied: the word
// list may move).
Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

const char* const op_names[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
const char* op_name(i32 op) { return op >= 0 && op <= 7 ? op_names[op] : "add"; }

[[noreturn]] void not_related(const char* action, u32 type) {
    Cell w, t;
    fire("script", "not-related", word_of(&w, action), datatype::make_at(&t, type));
}

[[noreturn]] void invalid_type(u32 type) {
    Cell t;
    fire("script", "invalid-type", datatype::make_at(&t, type));
}

[[noreturn]] void bad_to_arg(u32 type, Cell* spec) {
    Cell t;
    fire("script", "bad-to-arg", datatype::make_at(&t, type), spec);
}

// Writes a double into a cell of a float-like type, keeping its header flags.
Cell* set_float(Cell* cell, u32 type, double d) {
    set_type(cell, type);
    cell->data1 = 0;
    set_cell_float(cell, d);
    return cell;
}

// The number of an integer!, char!, float!, percent! or time! cell.
double number_of(const Cell* c) {
    u32 t = TYPE_OF(c);
    return (t == TYPE_INTEGER || t == TYPE_CHAR) ? static_cast<double>(static_cast<i32>(c->data2)) : cell_float(c);
}

// Monotonic integer order of the doubles: negative values negated, the others
// with the top bit set.
u64 order_key(double d) {
    u64 b = std::bit_cast<u64>(d);
    return (b & 0x8000000000000000ull) ? (0 - b) : (b | 0x8000000000000000ull);
}

u32 order_key32(float f) {
    u32 b = std::bit_cast<u32>(f);
    return (b & 0x80000000u) ? (0 - b) : (b | 0x80000000u);
}

// Rounds a scaled value to a whole number by the refinements.
double round_whole(double x, bool even, bool down, bool half_down, bool floor_, bool ceil_, bool half_ceil) {
    if (down) return std::trunc(x);
    if (floor_) return std::floor(x);
    if (ceil_) return std::ceil(x);
    double ax = std::fabs(x);
    double whole = std::floor(ax);
    double half = whole + 0.5;
    double r;
    if (ax > half) r = whole + 1;
    else if (ax < half) r = whole;
    else if (even) r = std::fmod(whole, 2.0) == 0 ? whole : whole + 1;
    else if (half_down) r = whole;
    else if (half_ceil) r = x > 0 ? whole + 1 : whole;
    else r = whole + 1;
    return std::copysign(r, x);
}

}  // namespace

// ---- text -------------------------------------------------------------------

// printf's "%.<digits>g" without printf's cost: molding a block of floats
// spent most of its time in printf.
static void format_g(char* text, size_t size, double value, int digits) {
    auto r = std::to_chars(text, text + size - 1, value, std::chars_format::general, digits);
    *r.ptr = 0;
}

const char* form_float(double value, i32 mode, bool exact) {
    static char text[64];
    if (std::isnan(value)) return "1.#NaN";
    if (std::isinf(value)) return value > 0 ? "1.#INF" : "-1.#INF";
    bool percent = mode == FORM_PERCENT32 || mode == FORM_PERCENT;

    // float! and percent! text that reads back to the same double.
    if ((exact || !pretty_print_q) && (mode == FORM_FLOAT || mode == FORM_PERCENT)) {
        std::snprintf(text, sizeof text, "%s%s", dtoa::form_float(value, 0, !percent), percent ? "%" : "");
        return text;
    }
    if (pretty_print_q && std::fabs(value) < EPSILON) return percent ? "0%" : (mode == FORM_POINT ? "0" : "0.0");

    bool short_mode = mode == FORM_FLOAT32 || mode == FORM_TIME || mode == FORM_POINT;
    if (mode == FORM_TIME) {
        std::snprintf(text, sizeof text, "%s", dtoa::form_float(value, 6, false));
    } else {
        int digits = (mode == FORM_FLOAT32 || mode == FORM_PERCENT32 || mode == FORM_POINT) ? 7
                     : mode == FORM_PERCENT ? 13 : 16;
        format_g(text, sizeof text, value, digits);
    }

    bool retried = false;
    i32 len, e_pos;
    bool has_dot;
    for (;;) {
        len = static_cast<i32>(std::strlen(text));
        e_pos = -1;
        has_dot = false;
        for (i32 i = 0; i < len; i++) {
            if (text[i] == '.') has_dot = true;
            if (text[i] == 'e') e_pos = i;
        }
        if (!pretty_print_q || retried) break;
        // A long mantissa ending in 01 or 99 is a binary rounding artefact
        // (0.57 * 100 gives 56.99999999999999): show fewer digits.
        i32 mantissa = e_pos >= 0 ? e_pos : len;
        bool long_text;
        if (e_pos >= 0) {
            long_text = e_pos > 16;
        } else {
            i32 lead = text[0] == '-' ? 1 : 0;
            long_text = text[lead] == '0' ? len > 17 : len > 16;
        }
        if (!long_text) break;
        char a = text[mantissa - 2], b = text[mantissa - 1];
        if (!((a == '0' && b == '1') || (a == '9' && b == '9'))) break;
        format_g(text, sizeof text, value, short_mode ? 5 : 14);
        retried = true;
    }

    // Exponent clean-up: 1e+020 becomes 1e20, 1e-005 becomes 1e-5.
    if (e_pos >= 0) {
        i32 from = e_pos + 1, to = e_pos + 1;
        if (text[from] == '+') from++;
        else if (text[from] == '-') text[to++] = text[from++];
        while (text[from] == '0' && text[from + 1]) from++;
        while (text[from]) text[to++] = text[from++];
        text[to] = 0;
        len = to;
    }
    if (percent) {
        text[len++] = '%';
        text[len] = 0;
    } else if (!has_dot && mode != FORM_TIME && mode != FORM_POINT) {
        // 3 becomes 3.0, 1e20 becomes 1.0e20.
        i32 at = e_pos >= 0 ? e_pos : len;
        std::memmove(text + at + 2, text + at, static_cast<size_t>(len - at + 1));
        text[at] = '.';
        text[at + 1] = '0';
    }
    return text;
}

const char* exact_text32(float f) {
    static char text[32];
    if (!std::isfinite(f)) return form_float(f, FORM_POINT);
    for (int precision = 1; precision <= 9; precision++) {
        std::snprintf(text, sizeof text, "%.*g", precision, double(f));
        if (static_cast<float>(std::strtod(text, nullptr)) == f) break;
    }
    return text;
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    const char* text = form_float(cell_float(value), FORM_FLOAT);
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    const char* text = form_float(cell_float(value), FORM_FLOAT, all);
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

// ---- makers and helpers -----------------------------------------------------

Cell* make_at(Cell* cell, double value) {
    make_cell(cell, TYPE_FLOAT);
    set_cell_float(cell, value);
    return cell;
}

Cell* push(double value) { return make_at(stack::push_star(), value); }

Cell* push64(u32 low, u32 high) { return make_cell(stack::push_star(), TYPE_FLOAT, 0, low, high); }

Cell* make_in(Cell* parent, double value) { return make_at(alloc_at_tail(series_node(parent)), value); }

Cell* box(double value) { return make_at(stack::arguments, value); }

bool special_q(double value) { return (std::bit_cast<u64>(value) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull; }

bool nan32_q(float value) { return std::isnan(value); }

bool special_value_q(const Cell* value) { return special_q(cell_float(value)); }

double abs_bits(double value) {
    return std::bit_cast<double>(std::bit_cast<u64>(value) & 0x7FFFFFFFFFFFFFFFull);
}

bool almost_equal(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    // Equal infinities are equal; an infinity is near nothing else.
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < EPSILON) return true;
    u64 ka = order_key(a), kb = order_key(b);
    return (ka > kb ? ka - kb : kb - ka) <= 10;
}

bool almost_equal32(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(static_cast<double>(a) - b) < EPSILON) return true;
    u32 ka = order_key32(a), kb = order_key32(b);
    u32 diff = ka > kb ? ka - kb : kb - ka;
    // At the top of the range only the exponent is compared.
    if (std::fabs(a) >= 3.4028234663852886e38f || std::fabs(b) >= 3.4028234663852886e38f) return diff < 0x100000;
    return diff <= 10;
}

double random_range(double limit, bool secure) {
    if (secure) {
        double d1 = random::next_secure(), d2 = random::next_secure();
        return (d2 + d1 / 2147483647.0) / (2147483648.0 / limit);
    }
    return random::next() / 2147483647.0 * limit;
}

// ---- arithmetic -------------------------------------------------------------

double do_math_op(double left, double right, i32 op) {
    switch (op) {
        case integer::OP_ADD: return left + right;
        case integer::OP_SUB: return left - right;
        case integer::OP_MUL: return left * right;
        case integer::OP_DIV: return left / right;
        case integer::OP_REM: return std::isfinite(right) ? std::fmod(left, right) : NAN;
        default: {
            Cell w, t;
            fire("script", "cannot-use", word_of(&w, op_name(op)), datatype::make_at(&t, TYPE_FLOAT));
        }
    }
}

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    u32 lt = TYPE_OF(left), rt = TYPE_OF(right);
    switch (rt) {
        case TYPE_TUPLE: return tuple::do_math(op);
        case TYPE_MONEY: return money::do_math(op);
        case TYPE_VECTOR: return copy_cell(vector::do_math_scalar(op, right, left, true), left);
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            if (lt == TYPE_TIME) invalid_type(rt);
            if (op != integer::OP_ADD && op != integer::OP_MUL) not_related(op_name(op), rt);
            // The compound value goes first, the number second.
            Cell number = *left;
            if (lt == TYPE_INTEGER || lt == TYPE_CHAR) make_at(&number, number_of(left));
            *left = *right;
            *right = number;
            if (rt == TYPE_PAIR) return pair::do_math(op);
            if (rt == TYPE_POINT2D) return point2D::do_math(op);
            return point3D::do_math(op);
        }
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            break;
        case TYPE_CHAR:
            if (lt == TYPE_TIME || lt == TYPE_PERCENT) invalid_type(rt);
            break;
        default: {
            // Pending, as the integer actions raise it.
            Cell t;
            fire_pending("script", "invalid-type", datatype::make_at(&t, rt));
            return nullptr;
        }
    }
    // The result keeps the left operand's type (integers become float!),
    // except that a time! right operand makes it a time!.
    u32 type = (lt == TYPE_INTEGER || lt == TYPE_CHAR) ? TYPE_FLOAT : lt;
    if (rt == TYPE_TIME) type = TYPE_TIME;
    return set_float(left, type, do_math_op(number_of(left), number_of(right), op));
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* subtract() { return do_math(integer::OP_SUB); }

Cell* absolute() {
    Cell* v = stack::arguments;
    set_cell_float(v, abs_bits(cell_float(v)));
    return v;
}

Cell* negate(Cell* value) {
    set_cell_float(value, 0.0 - cell_float(value));
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
    u32 type = TYPE_OF(base) == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT;
    return set_float(base, type, std::pow(number_of(base), number_of(exponent)));
}

bool even_q(Cell* value) { return !odd_q(value); }

bool odd_q(Cell* value) {
    // fmod keeps the parity of values beyond 32 bits.
    return std::fabs(std::fmod(std::trunc(cell_float(value)), 2.0)) == 1.0;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data2 ^ value->data3);
        return make_cell(value, TYPE_UNSET);
    }
    set_cell_float(value, random_range(cell_float(value), secure));
    return value;
}

// ---- rounding ---------------------------------------------------------------

Cell* do_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor_, bool ceil_,
               bool half_ceil, bool keep_type) {
    if (scale && TYPE_OF(scale) == TYPE_MONEY) not_related("round", TYPE_MONEY);
    u32 vt = TYPE_OF(value);
    double v = cell_float(value);
    double sc = vt == TYPE_PERCENT ? 0.01 : 1.0;
    bool int_scale = false;
    if (scale) {
        switch (TYPE_OF(scale)) {
            case TYPE_INTEGER:
                sc = std::fabs(static_cast<double>(integer::get(scale)));
                int_scale = true;
                break;
            case TYPE_FLOAT:
            case TYPE_PERCENT:
            case TYPE_TIME:
                sc = std::fabs(cell_float(scale));
                break;
            default:
                fire("script", "invalid-arg", scale);
        }
        // A plain number scales a percent in percent points.
        if (vt == TYPE_PERCENT && TYPE_OF(scale) != TYPE_PERCENT) sc /= 100;
    }
    // Nothing to round: no scale, or no digits left at that scale.
    if (sc == 0 || !std::isfinite(sc) || !std::isfinite(v) || std::ldexp(std::fabs(v), -53) > sc) return value;

    double result;
    if (sc >= 1.0) {
        result = round_whole(v / sc, even, down, half_down, floor_, ceil_, half_ceil) * sc;
    } else {
        // The reciprocal of a tiny scale would overflow: scale both sides up first.
        int e;
        std::frexp(sc, &e);
        int k = e < -1021 ? 128 : 0;
        double recip = 1.0 / std::ldexp(sc, k);
        double whole = round_whole(std::ldexp(v, k) * recip, even, down, half_down, floor_, ceil_, half_ceil);
        result = std::ldexp(whole / recip, -k);
    }
    if (std::isinf(result)) fire("math", "overflow");
    if (int_scale && !keep_type) {
        if (!(result >= -2147483648.0 && result <= 2147483647.0)) fire("math", "overflow");
        return integer::make_at(value, static_cast<i32>(result));
    }
    set_cell_float(value, result);
    return value;
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor_, bool ceil_, bool half_ceil) {
    return do_round(value, scale, even, down, half_down, floor_, ceil_, half_ceil, false);
}

// ---- comparison -------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t2 = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && t2 != TYPE_OF(value1)) return 1;
    double a = cell_float(value1), b;
    switch (t2) {
        case TYPE_INTEGER: b = integer::get(value2); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: b = cell_float(value2); break;
        case TYPE_MONEY:
            if (std::isnan(a)) return 1;
            // Beyond the money range the signs and magnitudes order the two.
            if (money::float_too_small_q(a) || money::float_too_big_q(a)) {
                double m = money::to_float(value2);
                return a < m ? -1 : a > m ? 1 : 0;
            }
            return money::compare(money::from_double(a, 1), value2, op);
        default: return -2;
    }
    bool nan = std::isnan(a) || std::isnan(b);
    i32 order = a > b ? 1 : (a < b ? -1 : 0);
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_EQUAL_WORD:
        case COMP_FIND:
            return almost_equal(a, b) ? 0 : (order ? order : 1);
        case COMP_STRICT_EQUAL:
        case COMP_STRICT_EQUAL_WORD:
            return a == b ? 0 : (order ? order : 1);
        case COMP_SAME:
            return std::bit_cast<u64>(a) == std::bit_cast<u64>(b) ? 0 : 1;
        case COMP_LESSER:
        case COMP_LESSER_EQUAL:
            return nan ? 1 : order;  // NaN is neither lesser nor equal
        case COMP_GREATER:
        case COMP_GREATER_EQUAL:
            return nan ? -1 : order;
        default:
            // Sorting: NaN after every number, so the order stays total.
            if (nan) return std::isnan(a) ? (std::isnan(b) ? 0 : 1) : -1;
            return order;
    }
}

// ---- make and to ------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type) {
    u32 t = TYPE_OF(spec);
    double d;
    switch (t) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            d = number_of(spec);
            break;
        case TYPE_MONEY:
            d = money::to_float(spec);
            break;
        case TYPE_BINARY: {
            // Up to the first 8 bytes, big-endian, as the bit pattern.
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 len = b->length(), head = series_head(spec);
            u32 n = head < len ? len - head : 0;
            if (n > 8) n = 8;
            const u8* p = b->head() + head;
            u64 bits = 0;
            for (u32 i = 0; i < n; i++) bits = bits << 8 | p[i];
            d = std::bit_cast<double>(bits);
            break;
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            // [m e] is m * 10^e.
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 len = b->length(), head = series_head(spec);
            if (head >= len || len - head != 2) bad_to_arg(type, spec);
            const Cell* items = reinterpret_cast<const Cell*>(b->head()) + head;
            for (u32 i = 0; i < 2; i++)
                if (TYPE_OF(items + i) != TYPE_INTEGER && TYPE_OF(items + i) != TYPE_FLOAT) bad_to_arg(type, spec);
            double m = number_of(items), e = number_of(items + 1);
            // Dividing by an exact power of ten keeps 3e-1 at 0.3.
            d = e >= 0 ? m * std::pow(10.0, e) : m / std::pow(10.0, -e);
            break;
        }
        default: {
            if (!string::any_string_q(t)) return zav::error::pend_bad_to_arg(type, spec);
            if (type == TYPE_PERCENT) {
                // Percent text is loaded as a value: 50% or a plain number.
                Cell loaded;
                if (!load_value(spec, &loaded)) bad_to_arg(type, spec);
                u32 lt = TYPE_OF(&loaded);
                if (lt != TYPE_INTEGER && lt != TYPE_FLOAT && lt != TYPE_PERCENT) bad_to_arg(type, spec);
                d = number_of(&loaded);
                break;
            }
            i32 count = static_cast<i32>(string::zs_length_q(spec));
            if (count == 0) return zav::error::pend_bad_to_arg(type, spec);
            i32 error = 0;
            d = tokenizer::scan_float(string::zs_head(spec), count, string::buffer_unit(GET_BUFFER(series_node(spec))), &error);
            if (error) return zav::error::pend_bad_to_arg(type, spec);
            break;
        }
    }
    make_cell(proto, type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
    set_cell_float(proto, d);
    return proto;
}

void init() {
    pretty_print_q = true;
    full_support_q = false;
    datatype::register_type(TYPE_FLOAT, 0, "float!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide),
        own<ACT_MULTIPLY>(multiply), own<ACT_NEGATE>(negate), own<ACT_POWER>(power), own<ACT_REMAINDER>(remainder),
        own<ACT_ROUND>(round), own<ACT_SUBTRACT>(subtract), own<ACT_EVEN_Q>(even_q), own<ACT_ODD_Q>(odd_q),
    });
}

}  // namespace zav::float_
