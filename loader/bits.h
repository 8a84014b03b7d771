// Bit and byte helpers of the compressors: a least-significant-bit-first bit
// writer that counts what does not fit, and little-endian 32-bit access.
#pragma once
#include <algorithm>

#include "runtime/common.h"

namespace zav::bits {

inline u32 get_le32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }
inline void put_le32(u8* p, u32 v) {
    for (int k = 0; k < 4; k++) p[k] = static_cast<u8>(v >> (8 * k));
}

// Bits least significant first; bytes past the capacity are counted only,
// so a writer that ran out of room still knows the size it needed.
struct Writer {
    u8* out;
    size_t capacity;
    size_t pos = 0;
    u64 acc = 0;
    u32 count = 0;

    void put_byte(u8 b) {
        if (pos < capacity) out[pos] = b;
        pos++;
    }
    // At most 32 bits at a time.
    void put(u32 value, u32 bits) {
        acc |= static_cast<u64>(value) << count;
        count += bits;
        if (count >= 32) {
            if (pos + 4 <= capacity) {
                u32 v = static_cast<u32>(acc);
                std::memcpy(out + pos, &v, 4);
                pos += 4;
            } else {
                for (int k = 0; k < 4; k++) put_byte(static_cast<u8>(acc >> (8 * k)));
            }
            acc >>= 32;
            count -= 32;
        }
    }
    // Whole bytes out, the last one padded with zero bits.
    void align() {
        while (count > 0) {
            put_byte(static_cast<u8>(acc));
            acc >>= 8;
            count = count > 8 ? count - 8 : 0;
        }
        acc = 0;
    }
    void put_bytes(const u8* src, size_t n) {
        if (pos < capacity) std::memcpy(out + pos, src, std::min(n, capacity - pos));
        pos += n;
    }
    void put_le32(u32 v) {
        for (int k = 0; k < 4; k++) put_byte(static_cast<u8>(v >> (8 * k)));
    }
};

}  // namespace zav::bits
