// Number scanning from string characters, and the float syntax automaton.
#include "loader/tokenizer.h"

#include <cstdlib>
#include <cstring>

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
    u64 nan_bits = 0x7FF8000000000000ull;
    double nan;
    std::memcpy(&nan, &nan_bits, sizeof nan);
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

}  // namespace zav::tokenizer
