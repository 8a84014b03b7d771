// A budget of work for running untrusted code (the evaluation fuzzer's
// sandbox): every evaluation step (a block evaluated, a call made, a parse
// rule entered) takes one unit, every series allocation one more and every
// KiB it takes one more again, and a collection one per 4 KiB it keeps.
// The step that finds it spent calls `spent`, which must throw, and so does
// every later step until the budget is set anew. Off while `spent` is null.
#pragma once
#include "runtime/common.h"

namespace zav::budget {

extern u64 left;
extern void (*spent)();

// Sets the budget (a null `spent` turns it off).
void set(u64 units, void (*on_spent)());

// An evaluation step.
[[gnu::always_inline]] inline void step() {
    if (spent && --left == 0) {
        left = 1;
        spent();
    }
}

// `n` evaluation steps at once, as `n` calls of step: one subtraction
// where the budget is off or cannot run out in them.
[[gnu::always_inline]] inline void steps(u32 n) {
    if (!spent) return;
    if (left > n) left -= n;
    else for (u32 k = 0; k < n; k++) step();
}

// Allocated bytes: charged, never thrown from (allocation has callers that
// cannot take a throw of this kind); the next step throws.
inline void charge(u64 bytes) {
    if (!spent) return;
    u64 units = 1 + (bytes >> 10);
    left -= units < left ? units : left - 1;
}

}  // namespace zav::budget
