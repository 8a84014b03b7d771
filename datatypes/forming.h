// Forming and loading helpers shared by the datatypes and the natives:
// one value from text, a value formed into a new string, the integer-or-float
// argument check, and the indentation and fill helpers of the mold writers.
#pragma once
#include "runtime/cell.h"

namespace zav {

// Scans the whole string with the lexer. False (the failure marker) when the
// lexer leaves any code point unconsumed; the caller raises its own error.
// Otherwise `result` receives the first loaded value, or unset when there is none.
bool load_value(Cell* str, Cell* result);
// load_value into the frame's first argument slot; answers that slot, or null on failure.
Cell* load_value_arg();

// Forms the value into a new string pushed on the value stack; with part and
// a limit above 0 the text is cut to that many code points.
Cell* form_value(Cell* value, bool part, i32 limit);

// A float! must lie in the 32-bit integer range (else script/out-of-range with
// the value) and is rounded to nearest; any other value gives its integer payload.
i32 check_float_range(const Cell* value);

// Appends four blanks per level; answers remaining less 4 x levels.
i32 mold_indent(Cell* buffer, i32 levels, i32 remaining);

// `p` holds one unit of unit_bytes; fills the `count` units after it with
// copies, doubling the copied run each time.
void fill_repeat(u8* p, u32 unit_bytes, u32 count);

}  // namespace zav
