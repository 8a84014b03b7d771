// money!: the sign accessors that hashing needs, and the operations the
// scalar datatypes call (the rest is not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::money {

// (MONEY_SIGN, get_sign and set_sign are in runtime/cell.h)

// Arithmetic worker: a money! and an integer!, float! or money! in the two
// argument slots; the money result is left in the first.
Cell* do_math(i32 op);
// -1, 0 or 1 by order, -2 when not comparable.
i32 compare(Cell* value1, Cell* value2, i32 op);
i32 to_int32(Cell* value);
Cell* from_int32(i32 amount);             // pushed on the value stack
Cell* from_double(double amount, i32 flag);  // pushed on the value stack
double to_float(Cell* value);
bool float_too_big_q(double value);
bool float_too_small_q(double value);
// Sign and zero tests of the amount.
bool negative_q(const Cell* value);
bool positive_q(const Cell* value);
bool zero_q(const Cell* value);
i32 sign_q(const Cell* value);  // -1, 0 or 1
// Index of a currency symbol in the currency list (from 1), or -1.
i32 find_currency(i32 symbol);
void set_currency(Cell* value, i32 index);

}  // namespace zav::money
