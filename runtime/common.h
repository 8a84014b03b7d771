// Basic types, arena addressing and the one exception type for non-local exits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zav {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i32 = int32_t;
using i64 = int64_t;

// All language memory (node frames, series frames, big frames) lives in one
// reserved address range and is referred to by 32-bit offsets from its base,
// so that cells keep their 32-bit payload words. Offset 0 is never handed out
// and stands for "no address".
using off32 = u32;
extern u8* arena_base;

template <class T = u8>
inline T* at(off32 off) { return reinterpret_cast<T*>(arena_base + off); }
inline off32 off_of(const void* p) {
    return static_cast<off32>(static_cast<const u8*>(p) - arena_base);
}

// A node is the offset of a 4-byte slot that holds the offset of a series buffer.
using node_t = off32;

// Throw values. A throw of value v is caught by the innermost catch region
// whose threshold is not below v (unsigned comparison).
enum ThrowValue : u32 {
    THROW_QUIT = 0x0BADCAFE,
    THROW_FREE_VIRTUAL = 0x7FFFFFF6,
    THROW_ALLOC_VIRTUAL = 0x7FFFFFF7,
    THRESHOLD_VIRTUAL = 0x7FFFFFF8,
    THROW_POWER_OVERFLOW = 0x7FFFFFF9,
    THROW_THROW = 0x7FFFFFFA,
    THROW_EXIT = 0x7FFFFFFB,
    THROW_RETURN = 0x7FFFFFFC,
    THROW_CONTINUE = 0x7FFFFFFD,
    THROW_BREAK = 0x7FFFFFFE,
    THROW_ERROR = 0x7FFFFFFF,
    THRESHOLD_TOP = 0xFFFFFFFF,
};

// The single C++ exception type of every non-local exit; clean-up is RAII.
struct Throw {
    u32 value;
};

// True when a region with threshold `threshold` catches a throw of `value`.
inline bool catches(u32 threshold, u32 value) { return threshold >= value; }

}  // namespace zav
