// The random generator: not built yet; every entry raises internal/not-done.
#include "evaluator/random.h"

#include "runtime/helpers.h"

namespace zav::random {

void seed(u32) { fire("internal", "not-done"); }
i32 next() { fire("internal", "not-done"); }
i32 next_secure() { fire("internal", "not-done"); }
i32 int_range(bool, i32) { fire("internal", "not-done"); }

}  // namespace zav::random
