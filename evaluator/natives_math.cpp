// The math natives: shift, to-hex, trigonometry in degrees or radians, the
// NaN test, logarithms, the exponential and the square root. Results go in
// argument cell 0 and are float! unless the native says otherwise.
#include "evaluator/natives_math.h"

#include <cmath>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double EPSILON = 2.220446049250313e-16;

Cell* arg(u32 n) { return stack::arguments + n; }

i32 ref(const i32* refinements, u32 k) { return refinements ? refinements[k] : -1; }

double float_arg(u32 n) { return cell_float(natives::arg_to_float(arg(n))); }

// The one-argument float natives share this shape.
template <class F>
void unary(bool check, const i32* refinements, natives::NativeIndex index, F f) {
    if (check) natives::check_args(index, refinements);
    float_::make_at(arg(0), f(float_arg(0)));
}

}  // namespace

namespace natives {

double normalize_angle(double a, i32 mode) {
    a = std::fmod(a, 360.0);
    if (a > 180.0 || a < -180.0) a += a < 0 ? 360.0 : -360.0;
    if (a > 90.0 || a < -90.0) {
        if (mode == 0) a += a < 0 ? 180.0 : -180.0;
        else if (mode == 2) a = (a < 0 ? -180.0 : 180.0) - a;
    }
    return a * PI / 180.0;
}

Cell* arg_to_float(Cell* cell) {
    switch (TYPE_OF(cell)) {
        case TYPE_INTEGER: return float_::make_at(cell, static_cast<double>(integer::get(cell)));
        case TYPE_PERCENT: return set_type(cell, TYPE_FLOAT);
        case TYPE_FLOAT: return cell;
        default: fire("script", "invalid-arg", cell);
    }
}

Cell* degrees_to_radians(i32 radians, i32 mode) {
    Cell* c = arg_to_float(arg(0));
    if (radians < 0) set_cell_float(c, normalize_angle(cell_float(c), mode));
    return c;
}

Cell* arc_trig(i32 radians, i32 kind) {
    Cell* c = arg_to_float(arg(0));
    double v = cell_float(c);
    switch (kind) {
        case 2: v = std::asin(v); break;
        case 1: v = std::acos(v); break;
        case 0: v = std::atan(v); break;
        default: rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    }
    if (radians < 0) v = v * 180.0 / PI;
    set_cell_float(c, v);
    return c;
}

void shift_star(bool check, const i32* refinements) {
    if (check) check_args(N_SHIFT, refinements);
    i32 data = integer::get(arg(0));
    i32 bits = integer::get(arg(1));
    if (bits < 0) bits = 0;
    i32 r;
    if (ref(refinements, 0) >= 0) {
        r = bits > 31 ? 0 : static_cast<i32>(static_cast<u32>(data) << bits);
    } else if (ref(refinements, 1) >= 0) {
        r = bits > 31 ? 0 : static_cast<i32>(static_cast<u32>(data) >> bits);
    } else {
        r = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
    }
    integer::make_at(arg(0), r);
}

void to_hex_star(bool check, const i32* refinements) {
    if (check) check_args(N_TO_HEX, refinements);
    const char* digits = string::to_hex(static_cast<u32>(integer::get(arg(0))), false);
    i32 size = ref(refinements, 0);
    if (size >= 0) {
        Cell* length = arg(static_cast<u32>(size));
        i32 n = integer::get(length);
        if (n < 1) fire("script", "invalid-arg", length);
        if (n < 8) digits += 8 - n;
    }
    issue::make_at(arg(0), digits);
}

void sine_star(bool check, const i32* refinements) {
    if (check) check_args(N_SINE, refinements);
    Cell* c = degrees_to_radians(ref(refinements, 0), 2);
    double v = std::sin(cell_float(c));
    if (std::fabs(v) < EPSILON) v = 0.0;
    set_cell_float(c, v);
}

void cosine_star(bool check, const i32* refinements) {
    if (check) check_args(N_COSINE, refinements);
    Cell* c = degrees_to_radians(ref(refinements, 0), 1);
    double v = std::cos(cell_float(c));
    if (std::fabs(v) < EPSILON) v = 0.0;
    set_cell_float(c, v);
}

void tangent_star(bool check, const i32* refinements) {
    if (check) check_args(N_TANGENT, refinements);
    Cell* c = degrees_to_radians(ref(refinements, 0), 0);
    double a = cell_float(c);
    double v;
    if (a == PI / 2.0) v = HUGE_VAL;
    else if (a == PI / -2.0) v = -HUGE_VAL;
    else v = std::tan(a);
    set_cell_float(c, v);
}

void arcsine_star(bool check, const i32* refinements) {
    if (check) check_args(N_ARCSINE, refinements);
    arc_trig(ref(refinements, 0), 2);
}

void arccosine_star(bool check, const i32* refinements) {
    if (check) check_args(N_ARCCOSINE, refinements);
    arc_trig(ref(refinements, 0), 1);
}

void arctangent_star(bool check, const i32* refinements) {
    if (check) check_args(N_ARCTANGENT, refinements);
    arc_trig(ref(refinements, 0), 0);
}

void arctangent2_star(bool check, const i32* refinements) {
    if (check) check_args(N_ARCTANGENT2, refinements);
    double y = float_arg(0);
    Cell* x = arg_to_float(arg(1));
    double v = std::atan2(y, cell_float(x));
    if (ref(refinements, 0) < 0) v *= 180.0 / PI;
    set_cell_float(x, v);
    copy_cell(x, arg(0));
}

void NaN_q_star(bool check, const i32* refinements) {
    if (check) check_args(N_NAN_Q, refinements);
    Cell* v = arg(0);
    bool special = (TYPE_OF(v) == TYPE_FLOAT || TYPE_OF(v) == TYPE_PERCENT) && float_::special_q(cell_float(v));
    logic::make_at(v, special);
}

void log_2_star(bool check, const i32* refinements) {
    unary(check, refinements, N_LOG_2, [](double v) { return std::log(v) / 0.6931471805599453; });
}

void log_10_star(bool check, const i32* refinements) {
    unary(check, refinements, N_LOG_10, [](double v) { return std::log10(v); });
}

void log_e_star(bool check, const i32* refinements) {
    unary(check, refinements, N_LOG_E, [](double v) { return std::log(v); });
}

void exp_star(bool check, const i32* refinements) {
    unary(check, refinements, N_EXP, [](double v) { return std::pow(2.718281828459045, v); });
}

void square_root_star(bool check, const i32* refinements) {
    unary(check, refinements, N_SQUARE_ROOT, [](double v) { return std::sqrt(v); });
}

}  // namespace natives
}  // namespace zav
