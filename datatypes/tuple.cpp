// tuple!: not built yet; every entry raises internal/not-done.
#include "datatypes/tuple.h"

#include "runtime/helpers.h"

namespace zav::tuple {

Cell* do_math(i32) { fire("internal", "not-done"); }

}  // namespace zav::tuple
