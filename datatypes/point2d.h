// point2D! and point3D!: points of 32-bit floats, (1.5, 2) and (1, 2, 3).
// Both types share one implementation here; the dimension follows the type.
#pragma once
#include <cstddef>
#include <cstring>

#include "runtime/cell.h"

namespace zav::point2D {

// Coordinate i is payload word i: addressed from the cell's bytes, since a
// pointer to one payload word may not reach past it.
inline float coord(const Cell* c, u32 i) {
    float f;
    std::memcpy(&f, reinterpret_cast<const u8*>(c) + offsetof(Cell, data1) + 4 * i, sizeof f);
    return f;
}
inline void set_coord(Cell* c, u32 i, float f) {
    std::memcpy(reinterpret_cast<u8*>(c) + offsetof(Cell, data1) + 4 * i, &f, sizeof f);
}
inline u32 dims_of(const Cell* c) { return TYPE_OF(c) == TYPE_POINT3D ? 3 : 2; }

Cell* make_in(Cell* cell, float x, float y);
Cell* make_at(Cell* block, float x, float y);
Cell* push(float x, float y);

// Arithmetic worker: the point in the first argument slot, the number or
// point in the second; the result is left in the first slot.
Cell* do_math(i32 op);
// Negates every coordinate of the point in place (0.0 minus it).
Cell* negate(Cell* value);

// Actions shared by point2D! and point3D!.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* absolute();
Cell* add();
Cell* divide();
Cell* multiply();
Cell* remainder();
Cell* subtract();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil);
Cell* pick(Cell* value, i32 index, Cell* boxed);
Cell* reverse(Cell* value, Cell* part, Cell* skip);

void init();

}  // namespace zav::point2D
