// money!: an exact signed decimal of 17 integer and 5 fraction digits, kept
// as 22 packed BCD digits with an optional currency index.
#pragma once
#include "runtime/cell.h"

namespace zav::money {

constexpr u32 SIZE_BYTES = 11;      // packed amount bytes
constexpr u32 SIZE_DIGITS = 22;
constexpr u32 INT_DIGITS = 17;
constexpr u32 FRAC_DIGITS = 5;

// MONEY_SIGN, get_sign and set_sign are in runtime/cell.h: hashing needs them.
// Byte 0 of the payload: the currency index (0 none); bytes 1-11: the amount.
inline u8* payload(Cell* c) { return reinterpret_cast<u8*>(&c->data1); }
inline const u8* payload(const Cell* c) { return reinterpret_cast<const u8*>(&c->data1); }
inline u32 get_currency(const Cell* c) { return payload(c)[0]; }
void set_currency(Cell* value, i32 index);

// Fraction digits that form shows: system/options/money-digits, 2 when that
// is not an integer.
i32 digits_shown();

// The currency words, in order: the block node of
// system/locale/currencies/list (0 when there is none, as before start-up);
// money values name their currency by the 1-based position of its word here.
node_t currency_list();
// Index of a currency symbol in the currency list (from 1), or -1.
i32 find_currency(i32 symbol);

// Writes a money! (sign, currency, 11 amount bytes).
Cell* make_at(Cell* cell, bool negative, u32 currency, const u8* amount);
Cell* push(bool negative, u32 currency, const u8* amount);
// From characters: integer digits in [start, point) (or [start, end) without a
// point), fraction digits in (point, end), "'" skipped, at most 17 and 5
// digits taken. currency: 3 UTF-8 bytes or null. Null (nothing more
// written) when the currency is not in the list.
Cell* make_from_digits(Cell* cell, bool negative, const u8* currency, const u8* start, const u8* point,
                       const u8* end);

// Arithmetic worker: a money! and an integer!, float! or money! in the two
// argument slots; the result is left in the first.
Cell* do_math(i32 op);
// -1, 0 or 1 by order, -2 when not comparable.
i32 compare(Cell* value1, Cell* value2, i32 op);
i32 to_int32(Cell* value);
Cell* from_int32(i32 amount);                // pushed on the value stack
Cell* from_double(double amount, i32 strict);  // pushed on the value stack
double to_float(const Cell* value);
bool float_too_big_q(double value);
bool float_too_small_q(double value);
// Sign and zero tests of the amount.
bool negative_q(const Cell* value);
bool positive_q(const Cell* value);
bool zero_q(const Cell* value);
i32 sign_q(const Cell* value);  // -1, 0 or 1

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil);

void init();

}  // namespace zav::money
