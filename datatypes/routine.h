// routine! values: functions whose body is native code built ahead of time.
#pragma once
#include "runtime/cell.h"

namespace zav::routine {

constexpr u32 FLAG_ROUTINE = 0x8000;

// Builds a routine! on the value stack; the arity is the number of word!
// cells of the spec, kept in header bits 25-29.
Cell* push(Cell* spec, Cell* body, i32 code, i32 return_type, bool flag);
inline u32 get_arity(const Cell* routine) { return (routine->header >> 25) & 0x1F; }

i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::routine
