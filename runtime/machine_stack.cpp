// The machine stack's budget, derived from the thread's real stack.
#include "runtime/scope.h"
#include "runtime/machine_stack.h"

#include "runtime/fire.h"
#include "runtime/platform/platform.h"

namespace zav::machine_stack {

const char* limit = nullptr;
void (*before_overflow)() = nullptr;
u32 overflows = 0;

namespace {

// Below the limit: the room to build and throw the error (about 16 KiB
// measured, doubled), then a margin for what runs between two checks without
// checking (libc, the unwinder, leaf routines).
constexpr size_t MARGIN = 8u << 10;
constexpr size_t ERROR_ROOM = 32u << 10;
// A quarter of a large stack is kept back, as recursion that does not check
// (a deep mold inside an error report) may still need it; never more than this.
constexpr size_t MAX_RESERVE = 2u << 20;

const char* low = nullptr;

void default_raise() {
    if (before_overflow) before_overflow();
    fire("internal", "stack-overflow");
}

Raise raise_ = default_raise;

}  // namespace

void init() {
    char here;
    size_t size = 0;
    if (!platform::thread_stack(&low, &size) || !low || low >= &here) {
        // Unknown: assume the 1 MiB below here is ours.
        size = 1u << 20;
        low = reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(&here) - size);
    }
    size_t keep = size / 4;
    if (keep > MAX_RESERVE) keep = MAX_RESERVE;
    if (keep < MARGIN + ERROR_ROOM) keep = MARGIN + ERROR_ROOM;
    limit = low + keep;
}

size_t reserve() { return static_cast<size_t>(limit - low); }

void set_raise(Raise raise) { raise_ = raise ? raise : default_raise; }

void overflow() {
    overflows++;
    // The error is built with the limit lowered to the margin; an overflow
    // while building it (the limit already there) lifts the check altogether
    // and leaves the last word to the fault handler.
    Restore<const char*> lowered(limit, limit > low + MARGIN ? low + MARGIN : low);
    raise_();
    __builtin_unreachable();
}

}  // namespace zav::machine_stack
