// Raising language errors from any layer: the raiser that the evaluator
// registers builds the error value; before it does, the error is only noted.
#pragma once
#include "runtime/cell.h"

namespace zav {

// The error most recently raised: category and id words as text.
namespace error {
struct Raised {
    const char* category;
    const char* id;
};
extern Raised last;
}  // namespace error

// Raises the language error category/id with up to three argument values and
// unwinds with THROW_ERROR. Never returns. The evaluator registers the
// raiser that builds the error value and throws it to its guard frame; until
// then the error is only noted in error::last.
extern void (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                            const Cell* arg3);
[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// script/bad-make-arg ("cannot MAKE" value "from:" spec).
[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec);

}  // namespace zav
