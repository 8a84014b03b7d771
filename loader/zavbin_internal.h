// What the ZAVBIN reader and writers share beyond the public interface.
#pragma once
#include "runtime/common.h"

namespace zav::zavbin {

// Records nest at most this deep: the reader refuses deeper data as corrupt
// and the writers refuse deeper values (internal/too-deep), so everything
// written can be read back within the machine stack.
constexpr u32 MAX_NESTING = 2048;

}  // namespace zav::zavbin
