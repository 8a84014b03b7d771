// vector!: a packed series of numbers or characters of one element type
// (word 3: char!, integer!, float! or percent!) and one width (the buffer's
// unit: 1, 2 or 4 bytes for char! and integer!, 4 or 8 for float! and percent!).
#pragma once
#include "runtime/cell.h"

namespace zav::vector {

inline u32 element_type(const Cell* vec) { return vec->data3; }

// An element as a new stack value of the element type (integers and code
// points sign-extended from their width, floats widened).
Cell* get_value(const u8* p, u32 unit, u32 type);
i32 get_int_value(const u8* p, u32 unit);
double get_float_value(const u8* p, u32 unit);
// Stores a value into an element of the given width and element type,
// converting numbers to the element type (integers keep their low bits; a
// float into an integer element is truncated, NaN or beyond 32 bits raising
// script/out-of-range); other values raise script/invalid-type.
void set_value(u8* p, const Cell* value, u32 unit, u32 type);
// A new block of the elements from the head, as values of the element type.
Cell* to_block(Cell* vec, Cell* block);
// An empty vector with room for `count` elements; internal/no-memory when the
// byte size overflows 32 bits.
Cell* make_at(Cell* cell, u32 count, u32 type, u32 unit);

// Element-wise arithmetic with an integer!, float! or percent! scalar, in
// place from the head; the vector is the result. scalar_first: the scalar is
// the left operand (10 - v).
Cell* do_math_scalar(i32 op, Cell* vec, Cell* scalar, bool scalar_first = false);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::vector
