// The random generator behind the random action of the scalar datatypes.
#pragma once
#include "runtime/common.h"

namespace zav::random {

void seed(u32 seed);
i32 next();         // 31-bit non-negative draw
i32 next_secure();  // 31-bit non-negative draw from the platform's secure source
i32 int_range(bool secure, i32 n);

}  // namespace zav::random
