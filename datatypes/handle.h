// handle!: an opaque operating-system handle or pointer tagged with its kind;
// it can be shown, compared and passed, never computed with.
#pragma once
#include "runtime/cell.h"

namespace zav::handle {

constexpr u32 CLASS_NULL = 0, CLASS_FD = 1, CLASS_MONITOR = 2, CLASS_WINDOW = 3, CLASS_FONT = 4,
              CLASS_RICH_TEXT = 5;

// Writes the whole header (no flags survive), the kind, the value and -1.
Cell* make_in(Cell* cell, u32 value, u32 kind);
Cell* make_at(Cell* block, u32 value, u32 kind);
Cell* push(u32 value, u32 kind);
Cell* box(u32 value, u32 kind);  // into the first argument slot

void init();

}  // namespace zav::handle
