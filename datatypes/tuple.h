// tuple!: the operations the scalar datatypes call (not built yet).
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
// Number of bytes, and the bytes themselves (writable in place).
u32 size_of(const Cell* value);
u8* bytes_of(Cell* value);

}  // namespace zav::tuple
