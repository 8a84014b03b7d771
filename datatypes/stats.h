// Memory statistics: bytes in use, or the fill of every frame.
#pragma once
#include "runtime/cell.h"

namespace zav::memory {

// Mode 1: the bytes in use (node slots, series frames up to their bump
// pointers, big frames). Mode 2: appends to `block` the node frames' and the
// series frames' [free used total], the big frames' sizes, the total
// footprint and the low-level heap total; answers 0.
double stats(Cell* block, i32 mode);

}  // namespace zav::memory
