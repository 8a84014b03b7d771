// pair!: not built yet; every entry raises internal/not-done.
#include "datatypes/pair.h"

#include "runtime/helpers.h"

namespace zav::pair {

Cell* do_math(i32) { fire("internal", "not-done"); }
Cell* negate(Cell*) { fire("internal", "not-done"); }

}  // namespace zav::pair
