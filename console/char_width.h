// Display width of a code point on a terminal: 0, 1 or 2 columns, from two
// constant interval tables (zero-width marks, East Asian wide characters).
#pragma once
#include "runtime/common.h"

namespace zav::console {

// Whether cp lies in one of the inclusive [start, end] pairs of `table`,
// which holds `entries` code points (twice the number of pairs), sorted
// ascending and not overlapping.
bool in_intervals_q(u32 cp, const u32* table, u32 entries);

// Columns that cp occupies: 0 for NUL and zero-width marks, 2 for wide and
// fullwidth characters, 1 for everything else (control characters included:
// the line editor expands tabs itself).
u32 char_width(u32 cp);

}  // namespace zav::console
