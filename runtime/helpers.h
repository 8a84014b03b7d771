// Small helpers shared by the runtime and the datatypes: cell primitives and
// the error raiser.
#pragma once
#include "datatypes/cell.h"

namespace zav {

// Raises the language error category/id with up to three argument values and
// unwinds with THROW_ERROR. Never returns.
[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

inline void clear_cell_flag(Cell* c) { c->header &= ~FLAG_NEW_LINE; }

}  // namespace zav
