// Number scanning from string characters, and the float syntax automaton.
#include "loader/tokenizer.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "datatypes/money.h"
#include "runtime/dtoa.h"

namespace zav::tokenizer {

static inline u32 unit_at(const u8* p, i32 i, u32 unit) {
    switch (unit) {
        case 1: return p[i];
        case 2: { u16 v; std::memcpy(&v, p + i * 2, 2); return v; }
        default: { u32 v; std::memcpy(&v, p + i * 4, 4); return v; }
    }
}

i32 scan_integer(const u8* p, i32 count, u32 unit, i32* error) {
    *error = 0;
    i32 i = 0;
    bool neg = false;
    if (count > 0) {
        u32 c = unit_at(p, 0, unit);
        if (c == '+' || c == '-') {
            neg = c == '-';
            i = 1;
        }
    }
    i32 v = 0;
    for (; i < count; i++) {
        u32 c = unit_at(p, i, unit);
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            *error = -1;
            return neg ? -v : v;
        }
        i32 d = static_cast<i32>(c - '0');
        if (neg && v == 214748364 && d == 8) {
            // The smallest integer: only when nothing but separators follows.
            bool last = true;
            for (i32 j = i + 1; j < count; j++)
                if (unit_at(p, j, unit) != '\'') last = false;
            if (last) return INT32_MIN;
            *error = -2;
            return 0;
        }
        if (v > 214748364 || (v == 214748364 && d > 7)) {
            *error = -2;
            return 0;
        }
        v = v * 10 + d;
    }
    return neg ? -v : v;
}

// The longest float text: the 309 digits of the largest double, a sign, a
// point and a digit after it.
constexpr i32 FLOAT_MAX_TEXT = 312;

bool float_syntax_ok(const u8* p, const u8* end) {
    // Columns: other, sign, digit, E/e, ".", "'", end.
    static const u8 table[11][7] = {
        {10, 0, 1, 10, 4, 10, 10}, {10, 10, 1, 6, 5, 2, 9}, {10, 10, 1, 10, 10, 10, 9},
        {10, 10, 3, 6, 10, 4, 9},  {10, 10, 3, 10, 10, 10, 9}, {10, 10, 3, 10, 10, 10, 9},
        {10, 7, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 9},
        {9, 9, 9, 9, 9, 9, 9},     {10, 10, 10, 10, 10, 10, 10},
    };
    if (end - p > FLOAT_MAX_TEXT) return false;
    u32 state = 0;
    for (; p < end && state < 9; p++) {
        u8 c = *p;
        u32 col = (c == '+' || c == '-') ? 1 : (c >= '0' && c <= '9') ? 2 : (c == 'e' || c == 'E') ? 3
                  : c == '.' ? 4 : c == '\'' ? 5 : 0;
        state = table[state][col];
    }
    if (state < 9) state = table[state][6];
    return state == 9;
}

double scan_float(const u8* p, i32 count, u32 unit, i32* error) {
    *error = 0;
    double nan = std::bit_cast<double>(0x7FF8000000000000ull);
    if (count < 0 || count > FLOAT_MAX_TEXT) {
        *error = -1;
        return nan;
    }
    char text[FLOAT_MAX_TEXT + 1];
    for (i32 i = 0; i < count; i++) {
        u32 c = unit_at(p, i, unit);
        text[i] = c == ',' ? '.' : c < 128 ? static_cast<char>(c) : '?';
    }
    auto* t = reinterpret_cast<const u8*>(text);
    if (!float_syntax_ok(t, t + count)) {
        *error = -1;
        return nan;
    }
    i32 n = 0;
    for (i32 i = 0; i < count; i++)
        if (text[i] != '\'') text[n++] = text[i];
    i32 err = 0;
    double d = dtoa::text_to_float(text, text + n, 0, &err);
    if (err) {
        *error = -1;
        return nan;
    }
    return d;
}

bool read_money(const u8* s, const u8* e, bool lexer, Cell* out) {
    const u8* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    auto letter = [](u8 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const u8* code = nullptr;
    if (e - p >= 5 && letter(p[0]) && letter(p[1]) && letter(p[2]) && p[3] == '$') {
        code = p;
        p += 4;
    } else if (p < e && *p == '$') {
        p++;
    } else if (lexer) {
        return false;
    }
    if (p >= e) return false;
    const u8* start = p;
    const u8* point = nullptr;
    u32 int_digits = 0, frac_digits = 0;
    bool leading = true;
    u8 prev = 0;
    for (const u8* q = p; q < e; prev = *q++) {
        u8 c = *q;
        if (c >= '0' && c <= '9') {
            if (point) {
                frac_digits++;
            } else if (!(leading && c == '0')) {
                leading = false;
                int_digits++;
            }
        } else if (c == '\'') {
            if (q == start || prev == '\'' || point) return false;
        } else if (c == '.' || (lexer && c == ',')) {
            if (point || q == start || prev == '\'') return false;
            point = q;
        } else {
            return false;
        }
    }
    if (prev == '\'' || (point && point == e - 1)) return false;
    // More digits than an amount holds would be dropped: refused instead.
    if (int_digits > money::INT_DIGITS || frac_digits > money::FRAC_DIGITS) return false;
    return money::make_from_digits(out, negative, code, start, point, e) != nullptr;
}

void scan_money(const u8* p, i32 count, u32 unit, i32* error, Cell* result) {
    *error = -1;
    constexpr i32 MAX_TEXT = 512;  // an amount has at most 22 digits; this leaves room for padding zeros
    if (count < 1 || count > MAX_TEXT) return;
    u8 text[MAX_TEXT];
    for (i32 i = 0; i < count; i++) {
        u32 c = unit_at(p, i, unit);
        if (c >= 128) return;
        text[i] = static_cast<u8>(c);
    }
    Cell m;
    if (!read_money(text, text + count, false, &m)) return;
    *result = m;
    *error = 0;
}

}  // namespace zav::tokenizer
