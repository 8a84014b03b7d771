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
// raiser that builds the error value and unwinds the frames above its guard
// (true when it could build it); until then the error is only noted in
// error::last.
extern bool (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                            const Cell* arg3);
[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// As fire, for a raise point whose callers all return at once to the
// evaluator, each checking stack::pending as its callee returns: the error
// goes back as a pending exit, a few returns where a C++ throw costs the
// unwinder a walk over every frame. Where the evaluator cannot take it so
// (not up yet, the error not buildable) it throws as fire does.
void fire_pending(const char* category, const char* id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                  const Cell* arg3 = nullptr);

// Set just before the evaluator's own path step calls a step that takes it
// (see actions::eval_path_dispatch), the step's caller returning at once:
// the step's errors are then raised pending, the step answering null. The
// step takes it (reads and clears it) as it starts.
extern bool pend_path_errors;
inline bool take_pend_path_errors() {
    bool pend = pend_path_errors;
    pend_path_errors = false;
    return pend;
}

// fire, or fire_pending when `pend`; answers null (after the pending one).
Cell* fire_or_pend(bool pend, const char* category, const char* id, const Cell* arg1 = nullptr,
                   const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// script/bad-make-arg ("cannot MAKE" value "from:" spec).
[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec);

}  // namespace zav
