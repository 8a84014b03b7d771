// point3D!: not built yet; every entry raises internal/not-done.
#include "datatypes/point3d.h"

#include "runtime/helpers.h"

namespace zav::point3D {

Cell* do_math(i32) { fire("internal", "not-done"); }
Cell* negate(Cell*) { fire("internal", "not-done"); }

}  // namespace zav::point3D
