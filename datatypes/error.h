// error! values.
#pragma once
#include "datatypes/cell.h"

namespace zav::error {

// The error most recently raised: category and id words as text.
struct Raised {
    const char* category;
    const char* id;
};
extern Raised last;

}  // namespace zav::error
