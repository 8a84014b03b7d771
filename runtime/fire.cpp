// Raising language errors: the registered raiser, or a note before there is one.
#include "runtime/fire.h"

#include "runtime/rt.h"

namespace zav {

error::Raised error::last = {nullptr, nullptr};
void (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                     const Cell* arg3) = nullptr;

[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                       const Cell* arg3) {
    if (error_raiser) error_raiser(category, id, arg1, arg2, arg3);
    // Before the evaluator is up: the error is only noted.
    error::last = {category, id};
    system_record.thrown = THROW_ERROR;
    rt::throw_value(THROW_ERROR);
}

void (*error_pender)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                     const Cell* arg3) = nullptr;

void fire_pending(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    if (!error_pender) fire(category, id, arg1, arg2, arg3);
    error_pender(category, id, arg1, arg2, arg3);
}

[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec) {
    fire("script", "bad-make-arg", value, spec);
}

}  // namespace zav
