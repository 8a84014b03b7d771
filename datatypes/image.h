// image!: the operations the core datatypes call (not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::image {

// The pixels as a new binary! pushed on the value stack: mode 0 one byte a
// pixel, 1 three bytes, 2 four bytes.
Cell* extract_data(Cell* image, i32 mode);

// Sets the n words to successive pixels (tuples) from the image's position.
void get_pixels(Cell* words, Cell* image, i32 n);
}  // namespace zav::image
