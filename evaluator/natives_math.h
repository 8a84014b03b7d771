// Shared workers of the math natives (the entries themselves are declared
// with the native table in evaluator/natives.h).
#pragma once
#include "runtime/cell.h"

namespace zav {

namespace natives {

// An angle in degrees, folded into the range where the mode's function is
// exact (0 tangent, 1 cosine, 2 sine), answered in radians.
double normalize_angle(double degrees, i32 mode);

// An integer! becomes the float! of the same value, a percent! is retyped to
// float! (it holds its fraction); a float! stays. Answers the cell.
Cell* arg_to_float(Cell* cell);
// Argument 0 as float!, turned into radians unless /radians is used
// (`radians` is that refinement's position, -1 when unused).
Cell* degrees_to_radians(i32 radians, i32 mode);
// asin (kind 2), acos (1) or atan (0) of argument 0, in degrees unless /radians.
Cell* arc_trig(i32 radians, i32 kind);

}  // namespace natives
}  // namespace zav
