// The math helpers' routines: the radian forms of the trigonometric natives
// and the square root, each calling the native's entry on its own argument.
#pragma once

namespace zav::math {

void cos_();
void sin_();
void tan_();
void acos_();
void asin_();
void atan_();
void atan2_();
void sqrt_();

}  // namespace zav::math
