// The empty boot image of the tool that makes the real one: start-up then
// brings the runtime up without a library.
#include "boot/image.h"

namespace zav::boot {

const Image image{nullptr, 0};
const Image builtin_specs{nullptr, 0};

}  // namespace zav::boot
