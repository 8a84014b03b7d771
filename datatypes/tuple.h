// tuple!: 3 to 12 bytes, the count in header bits 19-22, the bytes in the payload.
#pragma once
#include "runtime/cell.h"

namespace zav::tuple {

// Arithmetic worker on the two argument slots; integer! arithmetic leaves the
// tuple first, float! arithmetic leaves the number first.
Cell* do_math(i32 op);
// 0 when equal under the operator, as a compare action answers.
i32 compare(Cell* value1, Cell* value2, i32 op);
// True when every byte is 0.
bool zero_q(const Cell* value);
// A tuple of `count` bytes (padded with zeros to 3, at most 12).
Cell* make_at(Cell* cell, u32 count, const u8* bytes);
Cell* push_bytes(u32 count, const u8* bytes);
// red.green.blue, with .alpha unless alpha is -1.
Cell* make_rgba(Cell* cell, i32 red, i32 green, i32 blue, i32 alpha);
// The first bytes of a binary from its head; the text of an issue as a
// hexadecimal colour (3, 6 or 8 digits, else script/invalid-data).
Cell* from_binary(Cell* binary, Cell* cell);
Cell* from_hex(Cell* issue, Cell* cell);
// Number of bytes, and the bytes themselves (writable in place).
u32 size_of(const Cell* value);
u8* bytes_of(Cell* value);

void init();

}  // namespace zav::tuple
