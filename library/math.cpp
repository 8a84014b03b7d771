// The math helpers' routines over the natives' entries: the routine's frame
// holds the arguments the native expects, so the entry runs over it.
#include "library/math.h"

#include "evaluator/natives.h"

namespace zav::math {

namespace {
// The native with its /radians refinement set (used, no argument of its own).
void radians(u32 native) {
    i32 refinements[1] = {0};
    natives::call(native, false, refinements);
}
}  // namespace

void cos_() { radians(natives::N_COSINE); }
void sin_() { radians(natives::N_SINE); }
void tan_() { radians(natives::N_TANGENT); }
void acos_() { radians(natives::N_ARCCOSINE); }
void asin_() { radians(natives::N_ARCSINE); }
void atan_() { radians(natives::N_ARCTANGENT); }
void atan2_() { radians(natives::N_ARCTANGENT2); }
void sqrt_() {
    i32 refinements[1] = {-1};
    natives::call(natives::N_SQUARE_ROOT, false, refinements);
}

}  // namespace zav::math
