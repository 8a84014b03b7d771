// char!: a Unicode code point, a child of integer! sharing its cell layout.
#pragma once
#include "runtime/cell.h"

namespace zav::char_ {

constexpr u32 MAX_CODE_POINT = 0x10FFFF;

Cell* make_at(Cell* cell, u32 cp);
Cell* make_in(Cell* parent, u32 cp);
Cell* push(u32 cp);
inline u32 get(const Cell* c) { return c->data2; }

// Arithmetic on the two argument slots with the char! first.
Cell* do_math(i32 op);

// Actions (random, absolute, even? and odd? come from integer!).
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* add();
Cell* divide();
Cell* multiply();
Cell* remainder();
Cell* subtract();
Cell* and_t();
Cell* or_t();
Cell* xor_t();

void init();

}  // namespace zav::char_
