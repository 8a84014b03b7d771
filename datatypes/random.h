// The random generator behind the random action of the scalar datatypes and
// the series: a Mersenne Twister whose right shifts are arithmetic, so every
// draw is a non-negative 31-bit integer.
#pragma once
#include "runtime/common.h"

namespace zav::random {

// Seeds the generator with its start-up seed (19650218).
void init();

void seed(u32 seed);
i32 next();         // 31-bit non-negative draw
i32 next_secure();  // 31-bit non-negative draw from the platform's secure source
// A draw in 1..n (n > 0) or -|n|..-1 (n < 0); 0 for n = 0.
i32 int_range(bool secure, i32 n);

}  // namespace zav::random
