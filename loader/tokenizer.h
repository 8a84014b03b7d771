// Number scanning straight from string characters (1, 2 or 4 bytes each), and
// the float syntax check shared with the lexer.
#pragma once
#include "runtime/cell.h"

namespace zav::tokenizer {

// Decimal integer with optional sign and "'" separators. *error: 0, -1 for a
// bad character (the value read so far is returned), -2 for an overflow (0).
i32 scan_integer(const u8* p, i32 count, u32 unit, i32* error);

// Decimal float ("," accepted as the point). *error -1 and NaN when the text
// is longer than 312 characters or not a float.
double scan_float(const u8* p, i32 count, u32 unit, i32* error);

// True when the bytes form a float literal (at most 312 bytes).
bool float_syntax_ok(const u8* p, const u8* end);

// Money text: optional sign, optional 3-letter currency code and "$", then
// the amount (digits, "'" between digits, one point). `lexer` takes the
// token rules: "$" required, "," also a point. False when the text breaks a
// rule, has more than 17 integer or 5 fraction digits, or names a currency
// that is not in the list.
bool read_money(const u8* s, const u8* e, bool lexer, Cell* out);
// The same from string characters; *error 0 or -1.
void scan_money(const u8* p, i32 count, u32 unit, i32* error, Cell* result);

}  // namespace zav::tokenizer
