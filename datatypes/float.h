// float!: the 64-bit IEEE number, the text form of every float-like value,
// and the arithmetic worker that integer!, float!, percent! and time! share.
#pragma once
#include "runtime/cell.h"

namespace zav::float_ {

// Pretty printing of floats (system/options/float/pretty?), on at start-up.
extern bool pretty_print_q;
// Written by system/options/float/full?; nothing reads it.
extern bool full_support_q;

// Modes of form_float.
enum FormMode : i32 {
    FORM_FLOAT32 = 0,    // vector element
    FORM_FLOAT = 1,      // float!
    FORM_PERCENT32 = 2,  // vector element, already multiplied by 100
    FORM_PERCENT = 3,    // percent!, already multiplied by 100
    FORM_TIME = 4,       // time! seconds
    FORM_POINT = 5,      // point coordinate
};

// The text of a value in a static buffer valid until the next call. With
// pretty printing off, or `exact` set, float! and percent! text is the
// shortest that reads back to the same double.
const char* form_float(double value, i32 mode, bool exact = false);
// The shortest text that reads back to the same single-precision value.
const char* exact_text32(float f);

// Arithmetic on the two argument slots (0 add, 1 subtract, 2 multiply,
// 3 divide, 4 remainder); the result is left in the first slot.
Cell* do_math(i32 op);
double do_math_op(double left, double right, i32 op);

// Equality within 10 units in the last place.
bool almost_equal(double a, double b);
bool almost_equal32(float a, float b);
double random_range(double limit, bool secure);

Cell* make_at(Cell* cell, double value);
Cell* push(double value);
Cell* push64(u32 low, u32 high);
Cell* make_in(Cell* parent, double value);
Cell* box(double value);  // into the first argument slot
inline double get(const Cell* c) { return cell_float(c); }

bool special_q(double value);  // NaN or an infinity
bool nan32_q(float value);
bool special_value_q(const Cell* value);
double abs_bits(double value);

// Rounding of a float!, percent! or time! value in place; with keep_type
// clear an integer! scale makes the result an integer!.
Cell* do_round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil,
               bool half_ceil, bool keep_type);

// Actions (percent! and time! inherit most of them).
Cell* make(Cell* proto, Cell* spec, u32 type);
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

void init();

}  // namespace zav::float_
