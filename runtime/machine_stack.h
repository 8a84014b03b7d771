// The machine stack's budget: recursion in C++ (evaluation, form and mold,
// comparison, deep copy, parse) checks it and raises the language's stack
// overflow error while there is still room to build and throw that error,
// whatever stack size the process was started with.
#pragma once
#include "runtime/common.h"

namespace zav::machine_stack {

// The lowest address recursion may reach before the error is raised.
extern const char* limit;

// Sets the limit from the calling thread's real stack.
void init();
// Raises the error with the limit lowered into the reserve while it is built.
[[noreturn]] void overflow();
[[gnu::always_inline]] inline void check() {
    char probe;
    if (&probe < limit) overflow();
}

// Raises internal/stack-overflow; the evaluator registers one that makes room
// on its value stack first. It must throw.
using Raise = void (*)();
void set_raise(Raise raise);

// Called before either stack overflow error (machine or value stack) is
// built, by whoever keeps state that a deep recursion leaves behind (the
// mold cycle stack).
extern void (*before_overflow)();

// How many times the limit was reached. The depth at which that happens
// depends on the C++ frames of the code that ran, not on the language's own
// frames: the differential fuzzer leaves such runs uncompared.
extern u32 overflows;

// Bytes between the limit and the real end of the stack.
size_t reserve();

}  // namespace zav::machine_stack
