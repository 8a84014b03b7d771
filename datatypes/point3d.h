// point3D!: the 3-coordinate twin of point2D! (which implements both).
#pragma once
#include "runtime/cell.h"

namespace zav::point3D {

Cell* make_in(Cell* cell, float x, float y, float z);
Cell* make_at(Cell* block, float x, float y, float z);
Cell* push(float x, float y, float z);
Cell* do_math(i32 op);
Cell* negate(Cell* value);

void init();

}  // namespace zav::point3D
