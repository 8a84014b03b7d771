// error! values.
#include "datatypes/error.h"

namespace zav::error {

Raised last{nullptr, nullptr};

}  // namespace zav::error
