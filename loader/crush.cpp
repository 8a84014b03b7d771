// The block compressor: compression with a 3-byte hash probe and a bounded
// 4-byte hash chain, decompression with every read and write bounded.
#include "loader/crush.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "loader/bits.h"
#include "runtime/rt.h"

namespace zav::crush {

namespace {

constexpr u32 MAX_MATCH = 566;
constexpr u32 H3_SIZE = 0x80000;   // 19-bit hash of 3 bytes
constexpr u32 H4_SIZE = 0x100000;  // 20-bit hash of 4 bytes
constexpr u32 CHAIN_STEPS = 256;  // candidates tried per position: past this, repetitive data costs time for little gain
// A match symbol is at least 22 bits for at most 566 bytes, so no block can
// unpack to more than 206 times its bits; the rest covers block headers.
constexpr u64 MAX_RATIO = 210;

struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};

using bits::get_le32;
using bits::put_le32;

// Reads bits least significant first from [pos, end); past the end it fails.
struct BitReader {
    const u8* data;
    size_t end;     // in bytes
    size_t bit = 0; // absolute bit position

    // At most 25 bits at a time.
    bool take(u32 count, u32& out) {
        if (bit + count > end * 8) return false;
        size_t at = bit >> 3;
        u64 v = 0;
        std::memcpy(&v, data + at, std::min<size_t>(8, end - at));
        out = static_cast<u32>((v >> (bit & 7)) & ((1ull << count) - 1));
        bit += count;
        return true;
    }
    void align() { bit = (bit + 7) & ~static_cast<size_t>(7); }
    size_t byte() const { return bit >> 3; }
};

using BitWriter = bits::Writer;

// n = match length - 3 (0..563).
void put_length(BitWriter& w, u32 n) {
    if (n < 4) { w.put(1, 1); w.put(n, 2); }
    else if (n < 8) { w.put(2, 2); w.put(n - 4, 2); }
    else if (n < 12) { w.put(4, 3); w.put(n - 8, 2); }
    else if (n < 20) { w.put(8, 4); w.put(n - 12, 3); }
    else if (n < 52) { w.put(16, 5); w.put(n - 20, 5); }
    else { w.put(0, 5); w.put(n - 52, 9); }
}

// d = distance - 1 (0..0x3FFFF).
void put_distance(BitWriter& w, u32 d) {
    u32 j = 2;
    while (d >= (2u << j)) j++;
    w.put(j - 2, 4);
    if (j == 2) w.put(d, 3);
    else w.put(d - (1u << j), j);
}

bool read_length(BitReader& r, u32& n) {
    static const u8 extra[6] = {2, 2, 2, 3, 5, 9};
    static const u16 base[6] = {0, 4, 8, 12, 20, 52};
    u32 prefix = 0, bit = 0;
    while (prefix < 5) {
        if (!r.take(1, bit)) return false;
        if (bit) break;
        prefix++;
    }
    u32 v;
    if (!r.take(extra[prefix], v)) return false;
    n = base[prefix] + v;
    return true;
}

bool read_distance(BitReader& r, u32& d) {
    u32 s;
    if (!r.take(4, s)) return false;
    u32 j = s + 2;
    u32 v;
    if (j == 2) return r.take(3, d);
    if (!r.take(j, v)) return false;
    d = (1u << j) + v;
    return true;
}

inline u32 match_length(const u8* a, const u8* b, u32 max) {
    u32 n = 0;
    while (n + 8 <= max) {
        u64 x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < max && a[n] == b[n]) n++;
    return n;
}

// The tables hold positions + 1, so that zeroed memory means "empty".
void compress_block(BitWriter& w, const u8* buf, u32 len, i32* head3, i32* head4, i32* chain) {
    auto h3_of = [&](u32 p) {
        u32 h = 0;
        for (u32 k = 0; k < 3; k++) h = (((h & 0xFFFF) << 7) + buf[p + k]) & 0x7FFFF;
        return h;
    };
    auto h4_of = [&](u32 p) {
        u32 h = 0;
        for (u32 k = 0; k < 4; k++) h = (((h & 0xFFFF) << 5) + buf[p + k]) & 0xFFFFF;
        return h;
    };
    u32 h3 = h3_of(0), h4 = h4_of(0);
    u32 p = 0;
    while (p < len) {
        u32 max = std::min(len - p, MAX_MATCH);
        i32 window = p > WINDOW ? static_cast<i32>(p - WINDOW) : 0;
        u32 best = 2, dist = WINDOW;
        i32 cand = head3[h3] - 1;
        if (cand >= window && cand != -1 && buf[cand] == buf[p]) {
            u32 n = match_length(buf + cand, buf + p, max);
            if (n > best) {
                best = n;
                dist = p - cand;
            }
        }
        if (best < max) {
            cand = head4[h4] - 1;
            for (u32 steps = 0; steps < CHAIN_STEPS && cand != -1 && cand >= window; steps++) {
                if (buf[cand + best] == buf[p + best] && buf[cand] == buf[p]) {
                    u32 n = match_length(buf + cand, buf + p, max);
                    u32 d = p - cand;
                    // A farther match must be longer by a byte per factor of 8 in distance.
                    u32 penalty = 0;
                    for (u32 x = d / 16; x > dist; x /= 8) penalty++;
                    if (n > best + penalty) {
                        best = n;
                        dist = d;
                        if (n >= max) break;
                    }
                }
                cand = chain[cand % WINDOW] - 1;
            }
        }
        if (best == 3 && dist > 0x10000) best = 2;
        u32 covered;
        if (best < 3) {
            w.put(0, 1);
            w.put(buf[p], 8);
            covered = 1;
        } else {
            w.put(1, 1);
            put_length(w, best - 3);
            put_distance(w, dist - 1);
            covered = best;
        }
        for (u32 k = 0; k < covered; k++, p++) {
            head3[h3] = static_cast<i32>(p + 1);
            chain[p % WINDOW] = head4[h4];
            head4[h4] = static_cast<i32>(p + 1);
            h3 = (((h3 & 0xFFFF) << 7) + buf[p + 3]) & 0x7FFFF;
            h4 = (((h4 & 0xFFFF) << 5) + buf[p + 4]) & 0xFFFFF;
        }
    }
    w.align();
}

}  // namespace

u8* decompress(const u8* item, size_t length, u32* out_size) {
    if (!item || length < HEADER_SIZE) return nullptr;
    u32 packed = get_le32(item);
    u32 unpacked = get_le32(item + 4);
    if (packed > length - HEADER_SIZE) return nullptr;
    if (static_cast<u64>(unpacked) > static_cast<u64>(packed) * MAX_RATIO) return nullptr;
    u8* out = static_cast<u8*>(rt::allocate(static_cast<size_t>(unpacked) + 8));
    BitReader r{item + HEADER_SIZE, packed};
    u32 produced = 0;
    auto fail = [&]() -> u8* {
        rt::free(out);
        return nullptr;
    };
    while (r.byte() < packed) {
        if (packed - r.byte() < 4) return fail();
        u32 block = get_le32(item + HEADER_SIZE + r.byte());
        r.bit += 32;
        if (block < 1 || block > BLOCK_SIZE || block > unpacked - produced) return fail();
        u32 start = produced, end = produced + block;
        while (produced < end) {
            u32 flag;
            if (!r.take(1, flag)) return fail();
            if (!flag) {
                u32 byte;
                if (!r.take(8, byte)) return fail();
                out[produced++] = static_cast<u8>(byte);
                continue;
            }
            u32 n, d;
            if (!read_length(r, n) || !read_distance(r, d)) return fail();
            u32 count = n + 3;
            if (d + 1 > produced - start || count > end - produced) return fail();
            const u8* from = out + produced - (d + 1);
            for (u32 k = 0; k < count; k++) out[produced + k] = from[k];
            produced += count;
        }
        r.align();
    }
    if (produced != unpacked) return fail();
    if (out_size) *out_size = produced;
    return out;
}

void free(u8* buffer) {
    if (buffer) rt::free(buffer);
}

i32 compress(const u8* src, u32 n, u8* dest) {
    if (n < MIN_INPUT) return -1;
    // Fresh zeroed pages cost nothing until touched, which small inputs never do.
    std::unique_ptr<i32, FreeMemory> heads(static_cast<i32*>(std::calloc(H3_SIZE + H4_SIZE, sizeof(i32))));
    auto chain = std::make_unique_for_overwrite<i32[]>(WINDOW);
    // The block and zeroed slack for the hashes' look-ahead reads.
    std::vector<u8> work(std::min(n, BLOCK_SIZE) + MAX_MATCH, 0);
    if (!heads) return -1;
    BitWriter w{dest + HEADER_SIZE, n - HEADER_SIZE};
    for (u32 done = 0; done < n;) {
        u32 len = std::min(n - done, BLOCK_SIZE);
        std::memcpy(work.data(), src + done, len);
        std::memset(work.data() + len, 0, 8);
        w.put_le32(len);
        if (done) std::memset(heads.get(), 0, (H3_SIZE + H4_SIZE) * sizeof(i32));
        compress_block(w, work.data(), len, heads.get(), heads.get() + H3_SIZE, chain.get());
        done += len;
        if (w.pos > n - HEADER_SIZE) return -1;
    }
    if (w.pos >= n - HEADER_SIZE) return -1;
    put_le32(dest, static_cast<u32>(w.pos));
    put_le32(dest + 4, n);
    return static_cast<i32>(w.pos + HEADER_SIZE);
}

}  // namespace zav::crush
