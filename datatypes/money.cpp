// money!: exact decimal amounts in packed BCD with an optional currency.
// The arithmetic works on the 22 digits as one 128-bit count of 0.00001
// units, which gives the digit-by-digit results exactly.
#include "datatypes/money.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/system_object.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "loader/tokenizer.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"

namespace zav::money {


namespace {

using u128 = unsigned __int128;
using i128 = __int128;

constexpr u128 pow10(u32 n) {
    u128 v = 1;
    while (n--) v *= 10;
    return v;
}
constexpr u128 LIMIT = pow10(SIZE_DIGITS);  // one past the largest magnitude
constexpr u128 UNIT = pow10(FRAC_DIGITS);   // 1.00000

// An amount taken apart: sign, currency, magnitude in units of 0.00001.
struct Num {
    bool neg = false;
    u32 cur = 0;
    u128 mag = 0;
};

u128 magnitude(const Cell* c) {
    const u8* a = payload(c) + 1;
    u128 v = 0;
    for (u32 i = 0; i < SIZE_BYTES; i++) v = v * 100 + (a[i] >> 4) * 10 + (a[i] & 15);
    return v;
}

void store_magnitude(Cell* c, u128 v) {
    u8* a = payload(c) + 1;
    for (u32 i = SIZE_BYTES; i-- > 0;) {
        u32 lo = static_cast<u32>(v % 10);
        v /= 10;
        u32 hi = static_cast<u32>(v % 10);
        v /= 10;
        a[i] = static_cast<u8>(hi << 4 | lo);
    }
}

Num num_of(const Cell* c) { return Num{get_sign(c), get_currency(c), magnitude(c)}; }

Cell* write(Cell* c, const Num& n) {
    make_cell(c, TYPE_MONEY | (n.neg ? MONEY_SIGN : 0));
    payload(c)[0] = static_cast<u8>(n.cur);
    store_magnitude(c, n.mag);
    return c;
}

// Significant digits, 1 for zero.
u32 count_digits(u128 v) {
    u32 n = 1;
    while (v >= 10) {
        v /= 10;
        n++;
    }
    return n;
}

i32 sign_of(const Num& n) { return n.mag == 0 ? 0 : n.neg ? -1 : 1; }

[[noreturn]] void overflow() {
    Cell dt;
    fire("script", "type-limit", datatype::make_at(&dt, TYPE_MONEY));
}

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

// script/bad-make-arg, raised pending with `pend` (answering null): the
// conversion entries return at once, the helpers below them throw it.
Cell* bad_make_arg(const Cell* spec, bool pend) {
    Cell dt, s = *spec;
    return fire_or_pend(pend, "script", "bad-make-arg", datatype::make_at(&dt, TYPE_MONEY), &s);
}
[[noreturn]] void bad_make(const Cell* spec) {
    bad_make_arg(spec, false);
    __builtin_unreachable();
}
Cell* pend_bad_make(const Cell* spec) { return bad_make_arg(spec, true); }

// The conversion entries' own bad-to-arg, raised pending (see pend_bad_to_arg).
Cell* bad_to(const Cell* spec) { return error::pend_bad_to_arg(TYPE_MONEY, spec); }

Num from_int(i32 n) {
    Num r;
    r.neg = n < 0;
    r.mag = static_cast<u128>(n < 0 ? -static_cast<i64>(n) : static_cast<i64>(n)) * UNIT;
    return r;
}

// The float's shortest decimal text gives the digits; `spec` names the value in errors.
Num from_float(double f, bool strict, const Cell* spec) {
    Num r;
    if (!std::isfinite(f)) bad_make(spec);
    r.neg = std::signbit(f);
    double a = std::fabs(f);
    if (a == 0) return r;
    if (a < 0.00001 || a >= 1e17) bad_make(spec);
    i32 point, length, sign;
    const char* digits = dtoa::float_to_digits(f, 0, &point, &length, &sign);
    // value = 0.d1d2... x 10^point; units are 10^-5.
    i32 fraction = length - point;
    if (fraction > static_cast<i32>(FRAC_DIGITS) && strict) bad_make(spec);
    u128 v = 0;
    i32 keep = length;
    if (fraction > static_cast<i32>(FRAC_DIGITS)) keep = length - (fraction - static_cast<i32>(FRAC_DIGITS));
    for (i32 i = 0; i < keep; i++) v = v * 10 + static_cast<u32>(digits[i] - '0');
    i32 scale = static_cast<i32>(FRAC_DIGITS) - (keep - point);
    while (scale-- > 0) v *= 10;
    r.mag = v;
    if (v == 0) bad_make(spec);
    return r;
}

// A non-money operand as an amount; null-free conversion or invalid-type.
Num operand(const Cell* c) {
    switch (TYPE_OF(c)) {
        case TYPE_MONEY: return num_of(c);
        case TYPE_INTEGER: return from_int(integer::get(c));
        case TYPE_FLOAT: case TYPE_PERCENT: return from_float(cell_float(c), false, c);
        default: invalid_type(TYPE_OF(c));
    }
}

bool agree(const Num& a, const Num& b) { return a.cur == 0 || b.cur == 0 || a.cur == b.cur; }

i32 compare_signed(const Num& a, const Num& b) {
    i32 sa = sign_of(a), sb = sign_of(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    if (a.mag == b.mag) return 0;
    i32 order = a.mag < b.mag ? -1 : 1;
    return sa < 0 ? -order : order;
}

i128 signed_of(const Num& n) { return n.neg ? -static_cast<i128>(n.mag) : static_cast<i128>(n.mag); }

Num from_signed(i128 v, u32 cur) {
    Num r;
    r.cur = cur;
    r.neg = v < 0;
    r.mag = static_cast<u128>(v < 0 ? -v : v);
    if (r.mag >= LIMIT) overflow();
    return r;
}

Num add(const Num& a, const Num& b) {
    if (b.mag == 0) return a;
    if (a.mag == 0) return b;
    return from_signed(signed_of(a) + signed_of(b), a.cur);
}

Num negated(Num n) {
    n.neg = !n.neg;
    return n;
}

Num multiply(const Num& a, const Num& b) {
    if (a.mag == 0) return a;
    if (b.mag == 0) return b;
    if (count_digits(a.mag) + count_digits(b.mag) > 28) overflow();
    u128 product = a.mag * b.mag;  // 10 fraction digits
    if (product / pow10(2 * FRAC_DIGITS) >= pow10(INT_DIGITS)) overflow();
    Num r;
    r.mag = product / UNIT;
    if (r.mag == 0) overflow();  // below 0.00001
    r.neg = a.neg != b.neg;
    return r;
}

Num divide(const Num& a, const Num& b, bool remainder) {
    if (b.mag == 0) fire("math", "zero-divide");
    if (a.mag == 0) return a;
    // The dividend may have at most 16 significant digits more than the divisor.
    if (count_digits(a.mag) + 6 > SIZE_DIGITS + count_digits(b.mag)) overflow();
    Num r;
    if (remainder) {
        r.mag = a.mag % b.mag;
        r.neg = a.neg;
        return r;
    }
    r.mag = a.mag * UNIT / b.mag;
    if (r.mag == 0) overflow();
    r.neg = a.neg != b.neg;
    return r;
}

// The currency word of an index, or null.
const Cell* currency_word(u32 index) {
    node_t list = currency_list();
    if (index == 0 || !list) return nullptr;
    SeriesBuffer* b = GET_BUFFER(list);
    if (index > b->length()) return nullptr;
    return block::cells_of(b) + index - 1;
}

// Decimal digits of the magnitude, 22 characters with leading zeros.
void digits_of(u128 mag, char out[SIZE_DIGITS + 1]) {
    for (u32 i = SIZE_DIGITS; i-- > 0;) {
        out[i] = static_cast<char>('0' + static_cast<u32>(mag % 10));
        mag /= 10;
    }
    out[SIZE_DIGITS] = 0;
}

i32 form_body(const Cell* value, Cell* buffer, i32 part, bool all, bool grouping) {
    Num n = num_of(value);
    std::string text;
    if (sign_of(n) < 0) text += '-';
    if (const Cell* w = currency_word(n.cur)) text += symbol::get_c_string(static_cast<i32>(w->data2));
    text += '$';
    char d[SIZE_DIGITS + 1];
    digits_of(n.mag, d);
    u32 first = 0;
    while (first < INT_DIGITS && d[first] == '0') first++;
    if (first == INT_DIGITS) {
        text += '0';
    } else {
        for (u32 p = first; p < INT_DIGITS; p++) {
            text += d[p];
            // Groups of three counted from the units digit.
            if (grouping && p < INT_DIGITS - 1 && (INT_DIGITS - 1 - p) % 3 == 0) text += '\'';
        }
    }
    i32 shown = all ? static_cast<i32>(FRAC_DIGITS) : std::clamp(digits_shown(), 0, static_cast<i32>(FRAC_DIGITS));
    if (!grouping) {
        // Mold is source text: it never drops a significant fraction digit.
        i32 needed = static_cast<i32>(FRAC_DIGITS);
        while (needed > 0 && d[INT_DIGITS + needed - 1] == '0') needed--;
        if (needed > shown) shown = needed;
    }
    if (shown > 0) {
        text += '.';
        text.append(d + INT_DIGITS, static_cast<u32>(shown));
    }
    string::concatenate_literal(buffer, text.c_str());
    return part - static_cast<i32>(text.size());
}

Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

}  // namespace

// ---- currencies ------------------------------------------------------------------

i32 digits_shown() {
    const Cell* digits = system_object::field({"options", "money-digits"});
    return digits && TYPE_OF(digits) == TYPE_INTEGER ? integer::get(digits) : 2;
}

node_t currency_list() {
    const Cell* list = system_object::field({"locale", "currencies", "list"});
    return list && TYPE_OF(list) == TYPE_BLOCK ? series_node(list) : 0;
}

i32 find_currency(i32 sym) {
    node_t list = currency_list();
    if (!list) return -1;
    SeriesBuffer* b = GET_BUFFER(list);
    i32 want = symbol::resolve(sym);
    for (u32 i = 0; i < b->length() && i < 255; i++) {
        const Cell* w = block::cells_of(b) + i;
        if (word::any_word_q(TYPE_OF(w)) && symbol::resolve(static_cast<i32>(w->data2)) == want)
            return static_cast<i32>(i + 1);
    }
    return -1;
}

void set_currency(Cell* value, i32 index) { payload(value)[0] = static_cast<u8>(index < 0 ? 0 : index); }

// ---- constructors ------------------------------------------------------------------

Cell* make_at(Cell* cell, bool negative, u32 currency, const u8* amount) {
    make_cell(cell, TYPE_MONEY | (negative ? MONEY_SIGN : 0));
    payload(cell)[0] = static_cast<u8>(currency);
    std::memcpy(payload(cell) + 1, amount, SIZE_BYTES);
    return cell;
}

Cell* push(bool negative, u32 currency, const u8* amount) {
    return make_at(stack::push_star(), negative, currency, amount);
}

Cell* make_from_digits(Cell* cell, bool negative, const u8* currency, const u8* start, const u8* point,
                       const u8* end) {
    make_cell(cell, TYPE_MONEY | (negative ? MONEY_SIGN : 0));
    if (currency) {
        i32 sym = symbol::make_from_utf8(currency, 3);
        i32 index = find_currency(sym);
        if (index < 0) return nullptr;
        payload(cell)[0] = static_cast<u8>(index);
    }
    u128 integer = 0, scale = 1;
    const u8* int_end = point ? point : end;
    u32 taken = 0;
    for (const u8* p = int_end; p > start && taken < INT_DIGITS;) {
        u8 c = *--p;
        if (c == '\'') continue;
        integer += static_cast<u128>(c - '0') * scale;
        scale *= 10;
        taken++;
    }
    u128 fraction = 0;
    taken = 0;
    if (point) {
        for (const u8* p = point + 1; p < end && taken < FRAC_DIGITS; p++) {
            if (*p == '\'') continue;
            fraction = fraction * 10 + static_cast<u32>(*p - '0');
            taken++;
        }
        while (taken++ < FRAC_DIGITS) fraction *= 10;
    }
    store_magnitude(cell, integer * UNIT + fraction);
    return cell;
}

Cell* from_int32(i32 amount) { return write(stack::push_star(), from_int(amount)); }

Cell* from_double(double amount, i32 strict) {
    Cell f;
    make_cell(&f, TYPE_FLOAT);
    set_cell_float(&f, amount);
    return write(stack::push_star(), from_float(amount, strict != 0, &f));
}

i32 to_int32(Cell* value) {
    Num n = num_of(value);
    u128 whole = n.mag / UNIT;
    if (whole > (n.neg ? 2147483648u : 2147483647u)) {
        Cell dt;
        fire("script", "type-limit", datatype::make_at(&dt, TYPE_INTEGER));
    }
    i64 v = static_cast<i64>(whole);
    return static_cast<i32>(n.neg ? -v : v);
}

double to_float(const Cell* value) {
    Num n = num_of(value);
    if (n.mag == 0) return 0.0;
    char d[SIZE_DIGITS + 1];
    digits_of(n.mag, d);
    char text[SIZE_DIGITS + 2] = {};
    std::memcpy(text, d, INT_DIGITS);
    text[INT_DIGITS] = '.';
    std::memcpy(text + INT_DIGITS + 1, d + INT_DIGITS, FRAC_DIGITS);
    double f = dtoa::text_to_float(text, text + SIZE_DIGITS + 1, 0, nullptr);
    return n.neg ? -f : f;
}

bool float_too_big_q(double value) { return std::fabs(value) >= 1e17; }
bool float_too_small_q(double value) {
    double a = std::fabs(value);
    return a > 0.0 && a < 1e-5;
}

bool negative_q(const Cell* value) { return sign_of(num_of(value)) < 0; }
bool positive_q(const Cell* value) { return sign_of(num_of(value)) > 0; }
bool zero_q(const Cell* value) { return magnitude(value) == 0; }
i32 sign_q(const Cell* value) { return sign_of(num_of(value)); }

// ---- arithmetic ------------------------------------------------------------------

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    u32 ta = TYPE_OF(left), tb = TYPE_OF(right);
    if (ta == TYPE_MONEY && tb == TYPE_MONEY && op == integer::OP_MUL) invalid_type(TYPE_MONEY);
    if ((op == integer::OP_DIV || op == integer::OP_REM) && ta != TYPE_MONEY && tb == TYPE_MONEY) invalid_type(ta);
    Num a = operand(left), b = operand(right);
    if (!agree(a, b)) {
        Cell l = *left, r = *right;
        fire("script", "wrong-denom", &l, &r);
    }
    u32 cur = b.cur ? b.cur : a.cur;
    Num r;
    switch (op) {
        case integer::OP_ADD: r = add(a, b); break;
        case integer::OP_SUB: r = add(a, negated(b)); break;
        case integer::OP_MUL: r = multiply(a, b); break;
        case integer::OP_DIV: r = divide(a, b, false); break;
        case integer::OP_REM: r = divide(a, b, true); break;
        default: invalid_type(ta);
    }
    r.cur = cur;
    if (ta == TYPE_MONEY && tb == TYPE_MONEY && op == integer::OP_DIV) {
        Cell q;
        write(&q, r);
        double f = to_float(&q);
        make_cell(left, TYPE_FLOAT);
        set_cell_float(left, f);
        return left;
    }
    return write(left, r);
}

namespace {
Cell* add_() { return do_math(integer::OP_ADD); }
Cell* subtract_() { return do_math(integer::OP_SUB); }
Cell* multiply_() { return do_math(integer::OP_MUL); }
Cell* divide_() { return do_math(integer::OP_DIV); }
Cell* remainder_() { return do_math(integer::OP_REM); }

Cell* absolute_() {
    set_sign(stack::arguments, false);
    return stack::arguments;
}

Cell* negate_(Cell* value) {
    set_sign(value, !get_sign(value));
    return value;
}

bool units_even(const Cell* value) { return (magnitude(value) / UNIT) % 2 == 0; }
bool even_q_(Cell* value) { return units_even(value); }
bool odd_q_(Cell* value) { return !units_even(value); }
}  // namespace

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil) {
    Num v = num_of(value);
    if (v.mag == 0) return value;
    Num s;
    if (scale) {
        switch (TYPE_OF(scale)) {
            case TYPE_MONEY: s = num_of(scale); break;
            case TYPE_INTEGER: s = from_int(integer::get(scale)); break;
            case TYPE_FLOAT: s = from_float(cell_float(scale), true, scale); break;
            default: {
                Cell w, dt;
                fire("script", "not-related", word_of(&w, "round"), datatype::make_at(&dt, TYPE_OF(scale)));
            }
        }
    } else {
        s.mag = UNIT;
    }
    s.neg = false;
    s.cur = 0;
    if (s.mag == 0) return value;
    bool negative = v.neg;
    v.neg = false;
    u128 r = divide(v, s, true).mag;
    u128 u = s.mag - r;
    // A tie lies half-way between two multiples of the scale.
    bool tie = r == u;
    u128 lower = v.mag - r, upper = v.mag + u;
    u128 nearest = r < u ? lower : upper;
    u128 ceiling = negative ? lower : upper;
    u128 result;
    if (down) result = lower;
    else if (floor) result = negative ? upper : lower;
    else if (ceil) result = ceiling;
    else if (even) result = tie && (lower / s.mag) % 2 == 0 ? lower : nearest;
    else if (half_down) result = tie ? lower : nearest;
    else if (half_ceil) result = tie ? ceiling : nearest;
    else result = nearest;
    if (result >= LIMIT) overflow();
    v.mag = result;
    v.neg = negative;
    return write(value, v);
}

// ---- comparison ------------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t2 = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && t2 != TYPE_MONEY) return 1;
    Num a = num_of(value1);
    switch (t2) {
        case TYPE_MONEY: {
            Num b = num_of(value2);
            switch (op) {
                case COMP_SORT: case COMP_CASE_SORT:
                    if (a.cur != b.cur) {
                        if (!a.cur || !b.cur) return a.cur ? 1 : -1;
                        const Cell* wa = currency_word(a.cur);
                        const Cell* wb = currency_word(b.cur);
                        if (wa && wb) {
                            i32 c = std::strcmp(symbol::get_c_string(static_cast<i32>(wa->data2)),
                                                symbol::get_c_string(static_cast<i32>(wb->data2)));
                            if (c) return c < 0 ? -1 : 1;
                        }
                    }
                    return compare_signed(a, b);
                case COMP_LESSER: case COMP_LESSER_EQUAL: case COMP_GREATER: case COMP_GREATER_EQUAL:
                    if (!agree(a, b)) {
                        cycles::reset();
                        Cell l = *value1, r = *value2;
                        fire("script", "wrong-denom", &l, &r);
                    }
                    return compare_signed(a, b);
                default: {
                    bool strict = op == COMP_STRICT_EQUAL || op == COMP_SAME || (op == COMP_FIND && b.cur);
                    bool ok = strict ? a.cur == b.cur : agree(a, b);
                    if (!ok) return 1;
                    return compare_signed(a, b);
                }
            }
        }
        case TYPE_INTEGER:
            return compare_signed(a, from_int(integer::get(value2)));
        case TYPE_FLOAT: {
            double f = cell_float(value2);
            if (std::isnan(f)) return 1;
            // Beyond the money range the signs and magnitudes order the two.
            if (float_too_small_q(f) || float_too_big_q(f)) {
                double m = to_float(value1);
                return m < f ? -1 : m > f ? 1 : 0;
            }
            return compare_signed(a, from_float(f, true, value2));
        }
        default:
            return -2;
    }
}

// ---- make, to, form, mold, paths ------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32) {
    switch (TYPE_OF(spec)) {
        case TYPE_MONEY: return copy_cell(spec, proto);
        case TYPE_INTEGER: return write(proto, from_int(integer::get(spec)));
        case TYPE_FLOAT: return write(proto, from_float(cell_float(spec), true, spec));
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: {
            Cell s = *spec;
            u32 count = string::zs_length_q(&s);
            u32 unit = string::buffer_unit(GET_BUFFER(series_node(&s)));
            i32 error = 0;
            Cell out;
            tokenizer::scan_money(string::zs_head(&s), static_cast<i32>(count), unit, &error, &out);
            if (error) return bad_to(spec);
            return copy_cell(&out, proto);
        }
        default:
            return bad_to(spec);
    }
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    u32 t = TYPE_OF(spec);
    if (t == TYPE_WORD) {
        i32 index = find_currency(static_cast<i32>(spec->data2));
        if (index < 0) return pend_bad_make(spec);
        Num n;
        n.cur = static_cast<u32>(index);
        return write(proto, n);
    }
    if (t != TYPE_BLOCK) return to(proto, spec, type);
    u32 n = block::zs_length_q(spec);
    if (n < 1 || n > 3) return pend_bad_make(spec);
    const Cell* items = block::zs_head(spec);
    u32 i = 0, cur = 0;
    if (TYPE_OF(items) == TYPE_WORD) {
        i32 index = find_currency(static_cast<i32>(items->data2));
        if (index < 0 || n == 1) return pend_bad_make(spec);
        cur = static_cast<u32>(index);
        i = 1;
    }
    Num amount;
    const Cell* a = items + i++;
    if (TYPE_OF(a) == TYPE_INTEGER) amount = from_int(integer::get(a));
    else if (TYPE_OF(a) == TYPE_FLOAT) amount = from_float(cell_float(a), true, a);
    else return pend_bad_make(spec);
    if (i < n) {
        const Cell* f = items + i++;
        if (TYPE_OF(a) == TYPE_FLOAT || TYPE_OF(f) != TYPE_INTEGER) return pend_bad_make(spec);
        i32 frac = integer::get(f);
        if (frac < 0 || frac > 99999) return pend_bad_make(spec);
        amount.mag += static_cast<u128>(frac);
        if (amount.mag >= LIMIT) overflow();
    }
    if (i < n) return pend_bad_make(spec);
    amount.cur = cur;
    return write(proto, amount);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) { return form_body(value, buffer, part, false, true); }

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    return form_body(value, buffer, part, all, false);
}

namespace {

// Field 1 code, 2 amount; 0 for anything else.
i32 field_of(const Cell* element) {
    u32 t = TYPE_OF(element);
    if (t == TYPE_INTEGER) {
        i32 n = integer::get(element);
        return n == 1 || n == 2 ? n : 0;
    }
    if (!word::any_word_q(t)) return 0;
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    if (sym == symbol::resolve(symbol::make("code"))) return 1;
    if (sym == symbol::resolve(symbol::make("amount"))) return 2;
    return 0;
}

Cell* push_field(Cell* value, i32 field) {
    if (field == 1) {
        const Cell* w = currency_word(get_currency(value));
        return w ? stack::push(w) : make_cell(stack::push_star(), TYPE_NONE);
    }
    Cell* c = stack::push(value);
    payload(c)[0] = 0;
    clear_cell_flag(c);
    return c;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    if (value) fire("script", "bad-path-set", path, element);
    i32 field = field_of(element);
    if (!field) fire("script", "invalid-path", path, element);
    return push_field(parent, field);
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
    i32 field = TYPE_OF(boxed) == TYPE_INTEGER ? (index == 1 || index == 2 ? index : 0) : field_of(boxed);
    if (!field) fire("script", "out-of-range", boxed);
    return push_field(value, field);
}

}  // namespace

Cell* random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1 ^ value->data2 ^ value->data3 ^ (get_sign(value) ? 1u : 0u));
        return make_cell(value, TYPE_UNSET);
    }
    auto draw = [secure]() { return static_cast<u32>(secure ? random::next_secure() : random::next()); };
    char d[SIZE_DIGITS + 1];
    digits_of(magnitude(value), d);
    u32 first = 0;
    while (first < SIZE_DIGITS && d[first] == '0') first++;
    bool below = false;
    for (u32 p = first; p < SIZE_DIGITS; p++) {
        u32 own = static_cast<u32>(d[p] - '0');
        if (below) {
            d[p] = static_cast<char>('0' + draw() % 10);
            continue;
        }
        // Drawing the digit itself is taken only on a further agreeing draw,
        // so the amount itself is not more likely than any other.
        for (;;) {
            u32 x = draw() % (own + 1);
            if (x < own) {
                d[p] = static_cast<char>('0' + x);
                below = true;
                break;
            }
            if (draw() % 1000 == draw() % 1000) break;
        }
    }
    u128 v = 0;
    for (u32 i = 0; i < SIZE_DIGITS; i++) v = v * 10 + static_cast<u32>(d[i] - '0');
    store_magnitude(value, v);
    return value;
}

void init() {
    datatype::register_type(TYPE_MONEY, 0, "money!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute_), own<ACT_ADD>(add_),
        own<ACT_DIVIDE>(divide_), own<ACT_MULTIPLY>(multiply_), own<ACT_NEGATE>(negate_),
        own<ACT_REMAINDER>(remainder_), own<ACT_ROUND>(round), own<ACT_SUBTRACT>(subtract_),
        own<ACT_EVEN_Q>(even_q_), own<ACT_ODD_Q>(odd_q_), own<ACT_PICK>(pick),
    });
}

}  // namespace zav::money
