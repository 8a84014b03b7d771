// point2D!: not built yet; every entry raises internal/not-done.
#include "datatypes/point2d.h"

#include "runtime/helpers.h"

namespace zav::point2D {

Cell* do_math(i32) { fire("internal", "not-done"); }
Cell* negate(Cell*) { fire("internal", "not-done"); }

}  // namespace zav::point2D
