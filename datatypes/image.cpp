// image!: not built yet; every entry raises internal/not-done.
#include "datatypes/image.h"

#include "runtime/helpers.h"

namespace zav::image {

Cell* extract_data(Cell*, i32) { fire("internal", "not-done"); }

void get_pixels(Cell*, Cell*, i32) { fire("internal", "not-done"); }

}  // namespace zav::image
