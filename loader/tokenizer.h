// Number scanning straight from string characters (1, 2 or 4 bytes each), and
// the float syntax check shared with the lexer.
#pragma once
#include "runtime/common.h"

namespace zav::tokenizer {

// Decimal integer with optional sign and "'" separators. *error: 0, -1 for a
// bad character (the value read so far is returned), -2 for an overflow (0).
i32 scan_integer(const u8* p, i32 count, u32 unit, i32* error);

// Decimal float ("," accepted as the point). *error -1 and NaN when the text
// is longer than 312 characters or not a float.
double scan_float(const u8* p, i32 count, u32 unit, i32* error);

// True when the bytes form a float literal (at most 312 bytes).
bool float_syntax_ok(const u8* p, const u8* end);

}  // namespace zav::tokenizer
