// pair!: two signed 32-bit integers, 10x20. Results that are not integers
// (overflow, inexact division, float factors) become point2D! values.
#pragma once
#include "runtime/cell.h"

namespace zav::pair {

inline i32 x_of(const Cell* c) { return static_cast<i32>(c->data2); }
inline i32 y_of(const Cell* c) { return static_cast<i32>(c->data3); }

Cell* make_in(Cell* cell, i32 x, i32 y);
Cell* make_at(Cell* block, i32 x, i32 y);
Cell* push(i32 x, i32 y);
// The pair in argument slot `index` becomes a point2D! in place.
void promote_to_point2D(u32 index);
// A float as a coordinate: truncated toward zero; NaN or outside the 32-bit
// range raises script/out-of-range with the value.
i32 coordinate_of(double f);

// Arithmetic worker: the pair! in the first argument slot, the number in the
// second; the result is left in the first slot.
Cell* do_math(i32 op);
// Negates both coordinates of the pair in place.
Cell* negate(Cell* value);

void init();

}  // namespace zav::pair
