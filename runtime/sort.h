// Generic in-place sorts of fixed-size elements through a comparison callback.
#pragma once
#include "runtime/common.h"

namespace zav::sort {

// Negative when *a sorts before *b, 0 when they are equal, positive when *a
// sorts after *b. The two context values are passed through untouched; they
// are wide enough to carry a pointer.
using Comparator = int (*)(const void* a, const void* b, uintptr_t ctx1, uintptr_t ctx2);

// What every step of a sort needs besides the elements themselves.
struct Args {
    u32 size;       // element size in bytes
    uintptr_t ctx1;
    uintptr_t ctx2;
    Comparator cmp;
    bool bytewise;  // size is not a multiple of 4

    Args(u32 size, uintptr_t ctx1, uintptr_t ctx2, Comparator cmp)
        : size(size), ctx1(ctx1), ctx2(ctx2), cmp(cmp), bytewise(size % 4 != 0) {}
};

// Stable sort in place. Raises script/too-long when its work buffer
// (count / 2 elements) does not fit in 32 bits, internal/no-memory when that
// buffer cannot be had.
void mergesort(void* base, u32 count, u32 size, uintptr_t ctx1, uintptr_t ctx2, Comparator cmp);

// Unstable sort in place; recognises presorted input.
void qsort(void* base, u32 count, u32 size, uintptr_t ctx1, uintptr_t ctx2, Comparator cmp);

// Exchanges two elements, 32 bits at a time unless bytewise.
void swap(void* a, void* b, u32 size, bool bytewise);

// End of the natural run that begins at start (no further than end). A run
// that starts strictly descending is reversed in place first.
u8* next_run(u8* start, u8* end, const Args& args);

// Merges the adjacent sorted runs [a, b) and [b, end) stably. `work` holds at
// least the shorter run.
void merge(u8* a, u8* b, u8* end, u8* work, const Args& args);

// The recursive worker of qsort. hint > 0: the first hint elements are
// sorted; hint < 0: the last -hint elements are sorted; 0: nothing known.
void quicksort(u8* base, u32 count, const Args& args, i64 hint);

}  // namespace zav::sort
