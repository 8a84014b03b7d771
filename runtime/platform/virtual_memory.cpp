// The arena: one reserved range of up to 4 GiB, pages committed on demand and returned
// to the system when released, so that freed frames cost no resident memory.
#include "runtime/platform/virtual_memory.h"

#include <sys/mman.h>

#include <map>

namespace zav {

u8* arena_base = nullptr;

namespace platform {

namespace {
// Offsets are handed out from `bump`; released ranges are kept by address
// and coalesced, and reused first-fit before the bump pointer moves.
u64 bump = 0;
std::map<u64, u64> free_ranges;  // offset -> bytes
std::map<u64, u64> live_ranges;  // offset -> bytes

constexpr u64 PAGE = 4096;

// Recently released ranges stay committed up to this many bytes, so that a
// program that keeps making and dropping frames does not pay a page fault on
// every page of every new frame. Beyond it, pages go back to the system.
constexpr u64 WARM_LIMIT = u64(32) << 20;
std::multimap<u64, u64> warm;  // bytes -> offset, committed and writable
u64 warm_total = 0;

u64 take_warm(u64 bytes) {
    auto it = warm.lower_bound(bytes);
    if (it == warm.end()) return 0;
    u64 size = it->first, start = it->second;
    warm.erase(it);
    warm_total -= size;
    if (size > bytes) {
        warm.emplace(size - bytes, start + bytes);
        warm_total += size - bytes;
    }
    return start;
}

u64 take_range(u64 bytes) {
    for (auto it = free_ranges.begin(); it != free_ranges.end(); ++it) {
        if (it->second < bytes) continue;
        u64 start = it->first, rest = it->second - bytes;
        free_ranges.erase(it);
        if (rest) free_ranges.emplace(start + bytes, rest);
        return start;
    }
    if (bump + bytes > arena_bytes) return 0;
    u64 start = bump;
    bump += bytes;
    return start;
}

void give_back(u64 start, u64 bytes) {
    auto next = free_ranges.lower_bound(start);
    if (next != free_ranges.end() && start + bytes == next->first) {
        bytes += next->second;
        next = free_ranges.erase(next);
    }
    if (next != free_ranges.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == start) {
            prev->second += bytes;
            return;
        }
    }
    free_ranges.emplace(start, bytes);
}
}  // namespace

u64 arena_bytes = 0;

namespace {
void* map_range(u64 bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
}  // namespace

bool reserve_arena() {
    if (arena_base) return true;
    u64 bytes = ARENA_MAX_BYTES;
    void* p = map_range(bytes);
    if (!p) {
        // A limited address space: find the largest range that fits, then
        // keep half of it, leaving the rest to the C++ heap, the libraries
        // and the stacks.
        while (!p && bytes / 2 >= ARENA_MIN_BYTES) p = map_range(bytes /= 2);
        if (!p) return false;
        if (bytes / 2 >= ARENA_MIN_BYTES) {
            munmap(p, bytes);
            p = map_range(bytes /= 2);
            if (!p) return false;
        }
    }
    arena_base = static_cast<u8*>(p);
    arena_bytes = bytes;
    bump = PAGE;  // offset 0 means "no address"
    return true;
}

u8* allocate_virtual(u32 size, bool executable) {
    if (!reserve_arena()) throw Throw{THROW_ALLOC_VIRTUAL};
    u64 bytes = (u64(size) + PAGE - 1) & ~(PAGE - 1);
    if (bytes == 0) bytes = PAGE;
    if (!executable) {
        if (u64 start = take_warm(bytes)) {
            live_ranges.emplace(start, bytes);
            return arena_base + start;
        }
    }
    u64 start = take_range(bytes);
    if (!start) throw Throw{THROW_ALLOC_VIRTUAL};
    int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    if (mprotect(arena_base + start, bytes, prot) != 0) {
        give_back(start, bytes);
        throw Throw{THROW_ALLOC_VIRTUAL};
    }
    live_ranges.emplace(start, bytes);
    return arena_base + start;
}

bool extend_virtual(u8* base, u32 size) {
    if (!arena_base || base < arena_base) return false;
    auto it = live_ranges.find(static_cast<u64>(base - arena_base));
    if (it == live_ranges.end()) return false;
    u64 start = it->first, bytes = it->second;
    u64 want = (u64(size) + PAGE - 1) & ~(PAGE - 1);
    if (want <= bytes) return true;
    u64 end = start + bytes, extra = want - bytes;
    // The pages right after the range: a recently released range still
    // committed (a few entries at most), the untouched rest of the arena, or
    // a released range (uncommitted, so it reads as zeroes again).
    for (auto w = warm.begin(); w != warm.end(); ++w) {
        if (w->second != end || w->first < extra) continue;
        u64 rest = w->first - extra;
        warm.erase(w);
        warm_total -= extra;
        if (rest) warm.emplace(rest, end + extra);
        it->second = want;
        return true;
    }
    if (end == bump) {
        if (bump + extra > arena_bytes) return false;
    } else {
        auto next = free_ranges.find(end);
        if (next == free_ranges.end() || next->second < extra) return false;
    }
    if (mprotect(arena_base + end, extra, PROT_READ | PROT_WRITE) != 0) return false;
    if (end == bump) {
        bump += extra;
    } else {
        auto next = free_ranges.find(end);
        u64 rest = next->second - extra;
        free_ranges.erase(next);
        if (rest) free_ranges.emplace(end + extra, rest);
    }
    it->second = want;
    return true;
}

void free_virtual(u8* base) {
    if (!arena_base || base < arena_base) throw Throw{THROW_FREE_VIRTUAL};
    auto it = live_ranges.find(static_cast<u64>(base - arena_base));
    if (it == live_ranges.end()) throw Throw{THROW_FREE_VIRTUAL};
    u64 start = it->first, bytes = it->second;
    live_ranges.erase(it);
    if (warm_total + bytes <= WARM_LIMIT) {
        warm.emplace(bytes, start);
        warm_total += bytes;
        return;
    }
    // Drop the pages' contents so that reuse starts from zeroes and memory returns to the system.
    madvise(base, bytes, MADV_DONTNEED);
    mprotect(base, bytes, PROT_NONE);
    give_back(start, bytes);
}

}  // namespace platform
}  // namespace zav
