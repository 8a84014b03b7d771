// The reserved address range that holds all language memory, handed out in pages.
#pragma once
#include "runtime/common.h"

namespace zav::platform {

constexpr u64 ARENA_MAX_BYTES = u64(1) << 32;  // every 32-bit offset lies inside it
// Below this an arena is not worth having: start-up alone needs several MiB.
constexpr u64 ARENA_MIN_BYTES = u64(32) << 20;
// The size reserved: the whole range when the address space allows it, less
// under a limit on it (ulimit -v), so that the process can still start.
extern u64 arena_bytes;

// Returns the base of `size` committed bytes inside the arena (zero-filled
// when fresh, as they were left when a recently released range is reused);
// throws THROW_ALLOC_VIRTUAL when the range is exhausted.
u8* allocate_virtual(u32 size, bool executable = false);
// Grows the range at `base` (from allocate_virtual) to `size` bytes in
// place, when the pages right after it are free; false, changing nothing,
// when they are not.
bool extend_virtual(u8* base, u32 size);
// Returns the pages to the system; throws THROW_FREE_VIRTUAL on failure.
void free_virtual(u8* base);
// Sets the arena up; idempotent. False when not even ARENA_MIN_BYTES of
// address space can be reserved.
bool reserve_arena();

}  // namespace zav::platform
