// integer!: the 32-bit signed integer, its arithmetic core with the overflow
// rules shared by char!, and the dispatch of mixed arithmetic.
#pragma once
#include "runtime/cell.h"

namespace zav::integer {

// Arithmetic operation codes shared by every numeric datatype.
constexpr i32 OP_ADD = 0, OP_SUB = 1, OP_MUL = 2, OP_DIV = 3, OP_REM = 4, OP_OR = 5, OP_AND = 6, OP_XOR = 7;

inline Cell* make_at(Cell* cell, i32 value) { return make_cell(cell, TYPE_INTEGER, 0, static_cast<u32>(value)); }
Cell* make_in(Cell* parent, i32 value);
Cell* push(i32 value);
Cell* box(i32 value);  // into the first argument slot

inline i32 get(const Cell* c) { return static_cast<i32>(c->data2); }
i32 get_star();      // the first argument slot's integer
i32 get_any_star();  // the same, 0 when the slot holds another type
i32 sign_q(const Cell* value);

// Decimal text of a value in a static buffer reused by every call.
const char* form_signed(i32 value);

// The core: add and subtract overflow into a float! exact sum, multiply into
// the float! product, an inexact division into the float! quotient (each only
// when `result` is given; otherwise the wrapped or truncated integer). Zero
// divisors raise math/zero-divide, MIN / -1 math/overflow. An integer result
// is stored in result->data2.
i32 do_math_op(i32 left, i32 right, i32 op, Cell* result);
// Mixed arithmetic on the two argument slots; the result is in the first.
Cell* do_math(i32 op);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* absolute();
Cell* add();
Cell* divide();
Cell* multiply();
Cell* negate(Cell* value);
Cell* power();
Cell* remainder();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil);
Cell* subtract();
bool even_q(Cell* value);
bool odd_q(Cell* value);
Cell* and_t();
Cell* complement(Cell* value);
Cell* or_t();
Cell* xor_t();

void init();

}  // namespace zav::integer
