// Raising language errors: the registered raiser, or a note before there is one.
#include "runtime/fire.h"

#include "runtime/rt.h"
#include "runtime/stack.h"

namespace zav {

error::Raised error::last = {nullptr, nullptr};
bool (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                     const Cell* arg3) = nullptr;

namespace {
// The raiser's work, or before the evaluator is up only the note: true when
// the error was built and the frames above its guard unwound.
bool raise(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    if (error_raiser) return error_raiser(category, id, arg1, arg2, arg3);
    error::last = {category, id};
    system_record.thrown = THROW_ERROR;
    return false;
}
}  // namespace

[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                       const Cell* arg3) {
    raise(category, id, arg1, arg2, arg3);
    // Thrown from here rather than inside the raiser: each frame the
    // unwinder crosses costs it two walks.
    throw Throw{THROW_ERROR};
}

void fire_pending(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    if (!raise(category, id, arg1, arg2, arg3)) throw Throw{THROW_ERROR};
    stack::pending = THROW_ERROR;
}

bool pend_path_errors = false;

Cell* fire_or_pend(bool pend, const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                   const Cell* arg3) {
    if (!pend) fire(category, id, arg1, arg2, arg3);
    fire_pending(category, id, arg1, arg2, arg3);
    return nullptr;
}

[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec) {
    fire("script", "bad-make-arg", value, spec);
}

}  // namespace zav
