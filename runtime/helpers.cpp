// Small helpers shared by the runtime and the datatypes.
#include "runtime/helpers.h"

#include "datatypes/error.h"
#include "runtime/rt.h"

namespace zav {

[[noreturn]] void fire(const char* category, const char* id, const Cell*, const Cell*, const Cell*) {
    error::last = {category, id};
    rt::throw_value(THROW_ERROR);
}

}  // namespace zav
