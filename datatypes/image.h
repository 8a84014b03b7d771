// image!: the operations the core datatypes call (not built yet).
#pragma once
#include "datatypes/cell.h"

namespace zav::image {

// The pixels as a new binary! pushed on the value stack: mode 0 one byte a
// pixel, 1 three bytes, 2 four bytes.
Cell* extract_data(Cell* image, i32 mode);

}  // namespace zav::image
