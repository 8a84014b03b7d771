// vector!: the operations the scalar datatypes call (not built yet).
#pragma once
#include "runtime/cell.h"

namespace zav::vector {

// A vector! combined element by element with a scalar (integer!, float! or
// percent!); the result is a vector! cell the caller copies.
Cell* do_math_scalar(i32 op, Cell* vec, Cell* scalar);

}  // namespace zav::vector
