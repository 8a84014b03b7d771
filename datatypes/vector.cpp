// vector!: not built yet; every entry raises internal/not-done.
#include "datatypes/vector.h"

#include "runtime/helpers.h"

namespace zav::vector {

Cell* do_math_scalar(i32, Cell*, Cell*) { fire("internal", "not-done"); }

}  // namespace zav::vector
