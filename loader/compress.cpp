// DEFLATE, zlib and gzip.
//
// The compressor hashes every 3-byte string into chains, matches lazily one
// step ahead with bounded chain walks, and writes a block every 16,384
// symbols as stored, fixed or dynamic Huffman, whichever is smallest.
//
// The decompressor decodes through lookup tables (a root table with
// subtables for long codes) on a 64-bit bit buffer. A fast loop runs while
// the input and output have room for the longest symbol; near either end a
// careful loop checks every bit and byte. Past a fixed output's capacity it
// only counts, so a too-small buffer reports the size it would have needed.
#include "loader/compress.h"

#include <algorithm>
#include <vector>

#include "loader/bits.h"
#include "datatypes/checksum.h"

namespace zav::compress {

namespace {

// ---- shared tables --------------------------------------------------------------

constexpr u32 WINDOW = 32768;
constexpr u32 MIN_MATCH = 3;
constexpr u32 MAX_MATCH = 258;
constexpr u32 LITLEN_CODES = 286;  // symbols a compressor may use
constexpr u32 DIST_CODES = 30;
constexpr u32 CL_CODES = 19;
constexpr u32 END_OF_BLOCK = 256;

constexpr u16 LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr u8 LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr u16 DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr u8 DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr u8 CL_ORDER[CL_CODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline u32 bit_length(u32 x) { return 32 - static_cast<u32>(__builtin_clz(x)); }

// Length code (0..28) of a match length minus 3.
inline u32 length_code(u32 x) {
    if (x < 8) return x;
    if (x == 255) return 28;
    u32 n = bit_length(x);
    return (x >> (n - 3)) + 4 * (n - 3);
}

// Distance code (0..29) of a distance minus 1.
inline u32 dist_code(u32 x) {
    if (x < 4) return x;
    u32 n = bit_length(x);
    return (x >> (n - 2)) + 2 * (n - 2);
}

inline u32 reverse_bits(u32 code, u32 length) {
    u32 r = 0;
    for (u32 k = 0; k < length; k++, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

inline void put_be32(u8* p, u32 v) {
    p[0] = static_cast<u8>(v >> 24);
    p[1] = static_cast<u8>(v >> 16);
    p[2] = static_cast<u8>(v >> 8);
    p[3] = static_cast<u8>(v);
}
inline u32 get_be32(const u8* p) { return static_cast<u32>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
inline u16 load16(const u8* p) {
    u16 v;
    std::memcpy(&v, p, 2);
    return v;
}

// ---- Huffman code lengths ----------------------------------------------------------

// In-place minimum-redundancy code lengths over frequencies sorted ascending
// (the two-queue method): on return a[i] is the code length of the i-th.
void minimum_redundancy(u32* a, i32 n) {
    if (n == 1) {
        a[0] = 1;
        return;
    }
    a[0] += a[1];
    i32 root = 0, leaf = 2;
    for (i32 next = 1; next < n - 1; next++) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = static_cast<u32>(next);
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = static_cast<u32>(next);
        } else {
            a[next] += a[leaf++];
        }
    }
    a[n - 2] = 0;
    for (i32 next = n - 3; next >= 0; next--) a[next] = a[a[next]] + 1;
    i32 avail = 1, used = 0, depth = 0;
    i32 root2 = n - 2, next = n - 1;
    while (avail > 0) {
        while (root2 >= 0 && static_cast<i32>(a[root2]) == depth) {
            used++;
            root2--;
        }
        while (avail > used) {
            a[next--] = static_cast<u32>(depth);
            avail--;
        }
        avail = 2 * used;
        depth++;
        used = 0;
    }
}

// Code lengths of at most `limit` bits for `n` symbols. With fewer than two
// symbols in use, the used one (or symbol 0) and one other get length 1, so
// every used symbol has a code and the code is complete.
void build_lengths(const u32* freq, u32 n, u32 limit, u8* lengths) {
    std::fill(lengths, lengths + n, 0);
    struct Entry {
        u32 freq;
        u16 symbol;
    };
    Entry used[LITLEN_CODES];
    u32 count = 0;
    for (u32 s = 0; s < n; s++)
        if (freq[s]) used[count++] = {freq[s], static_cast<u16>(s)};
    if (count < 2) {
        u32 first = count ? used[0].symbol : 0;
        lengths[first] = 1;
        lengths[first == 0 ? 1 : 0] = 1;
        return;
    }
    std::stable_sort(used, used + count, [](const Entry& x, const Entry& y) { return x.freq < y.freq; });
    u32 depth[LITLEN_CODES];
    for (u32 k = 0; k < count; k++) depth[k] = used[k].freq;
    minimum_redundancy(depth, static_cast<i32>(count));
    u32 per_length[32] = {};
    for (u32 k = 0; k < count; k++) per_length[std::min(depth[k], 31u)]++;
    // Clip to the limit: fold the longer codes in, then split shorter codes
    // until the code lengths fill the code space exactly once.
    for (u32 l = limit + 1; l < 32; l++) {
        per_length[limit] += per_length[l];
        per_length[l] = 0;
    }
    u64 total = 0;
    for (u32 l = 1; l <= limit; l++) total += static_cast<u64>(per_length[l]) << (limit - l);
    while (total > (1ull << limit)) {
        per_length[limit]--;
        for (u32 l = limit - 1; l > 0; l--) {
            if (per_length[l]) {
                per_length[l]--;
                per_length[l + 1] += 2;
                break;
            }
        }
        total--;
    }
    // Longest codes to the least frequent symbols.
    u32 k = 0;
    for (u32 l = limit; l > 0; l--)
        for (u32 c = per_length[l]; c > 0; c--) lengths[used[k++].symbol] = static_cast<u8>(l);
}

// Canonical codes, bit-reversed for least-significant-first output.
void build_codes(const u8* lengths, u32 n, u16* codes) {
    u32 per_length[16] = {};
    for (u32 s = 0; s < n; s++) per_length[lengths[s]]++;
    per_length[0] = 0;
    u32 next[16] = {};
    u32 code = 0;
    for (u32 l = 1; l < 16; l++) {
        code = (code + per_length[l - 1]) << 1;
        next[l] = code;
    }
    for (u32 s = 0; s < n; s++)
        codes[s] = lengths[s] ? static_cast<u16>(reverse_bits(next[lengths[s]]++, lengths[s])) : 0;
}

using BitWriter = bits::Writer;

// ---- compressor -------------------------------------------------------------------

// Symbols per block: blocks this long let each block's codes follow the data
// as it changes without paying a block header every few hundred bytes.
constexpr u32 SYMBOL_BUFFER = 16384;
constexpr u32 MAX_LAZY = 16;   // search again only after a match shorter than this
constexpr u32 GOOD_MATCH = 8;  // after a match this long, walk a quarter of the chain
// With GOOD_MATCH and MAX_LAZY, the balance of speed and ratio of the usual
// default level of DEFLATE compressors: chain walks stop after this many
// candidates, or at a match this long.
constexpr u32 MAX_CHAIN = 128;
constexpr u32 NICE_MATCH = 128;
constexpr u32 TOO_FAR = 4096;  // a 3-byte match farther back than this is not worth it
constexpr u32 MAX_DISTANCE = WINDOW - 1;

struct Deflater {
    // Positions are stored as 16-bit offsets from `base` plus 1 (0 means
    // "none"), which keeps the chains small enough to stay in the fastest
    // cache; `base` moves on by a window when the offsets would overflow.
    u16 head[WINDOW];
    u16 prev[WINDOW];
    u32 base = 0;
    u32 symbols[SYMBOL_BUFFER];
    u32 symbol_count = 0;
    u32 lit_freq[LITLEN_CODES];
    u32 dist_freq[DIST_CODES];
    const u8* src = nullptr;
    u32 length = 0;
    u32 block_start = 0;  // input covered by the symbols in the buffer starts here
    u32 block_end = 0;
    BitWriter w{nullptr, 0};

    void literal(u8 b) {
        symbols[symbol_count++] = b;
        lit_freq[b]++;
        block_end++;
    }
    void match(u32 len, u32 dist) {
        symbols[symbol_count++] = dist << 8 | (len - MIN_MATCH);
        lit_freq[257 + length_code(len - MIN_MATCH)]++;
        dist_freq[dist_code(dist - 1)]++;
        block_end += len;
    }

    // Out of line, so its loop keeps every variable in a register.
    [[gnu::noinline]] u32 longest_match(u32 pos, u32 candidate, u32 prev_len, u32* dist_out) {
        u32 max = std::min(MAX_MATCH, length - pos);
        u32 best = prev_len;
        if (best >= max) return best;
        u32 chain = prev_len >= GOOD_MATCH ? MAX_CHAIN / 4 : MAX_CHAIN;
        u32 nice = std::min(NICE_MATCH, max);
        // Locals, so the stores below cannot make the compiler reload them.
        // A stored value v stands for the position base + v - 1; one compare
        // with `least` rules out both "none" (0) and "too far back".
        const u8* const scan = src + pos;
        const u8* const window = src + base - 1;  // window + v: the candidate's bytes
        const u16* const links = prev;
        u32 least = std::max<i64>(1, static_cast<i64>(pos) - base + 1 - MAX_DISTANCE);
        const u8* tail = window + best - 1;  // tail + v: where the candidate must match best's last two bytes
        u16 start = load16(scan), end = load16(scan + best - 1);
        u32 dist = 0;
        u32 v = candidate;
        if (v < least) return best;
        do {
            if (load16(tail + v) == end && load16(window + v) == start) {
                const u8* m = window + v;
                u32 n = 2;
                while (n + 8 <= max) {
                    u64 x, y;
                    std::memcpy(&x, m + n, 8);
                    std::memcpy(&y, scan + n, 8);
                    if (x != y) {
                        n += static_cast<u32>(__builtin_ctzll(x ^ y)) >> 3;
                        goto measured;
                    }
                    n += 8;
                }
                while (n < max && m[n] == scan[n]) n++;
            measured:
                if (n > best) {
                    best = n;
                    dist = static_cast<u32>(scan - m);
                    if (n >= nice) break;
                    end = load16(scan + best - 1);
                    tail = window + best - 1;
                }
            }
            v = links[(v - 1) & (WINDOW - 1)];  // base is a multiple of the window
        } while (v >= least && --chain != 0);
        if (dist) *dist_out = dist;
        return best;
    }

    void slide() {
        base += WINDOW;
        for (u16& v : head) v = v > WINDOW ? static_cast<u16>(v - WINDOW) : 0;
        for (u16& v : prev) v = v > WINDOW ? static_cast<u16>(v - WINDOW) : 0;
    }

    void write_block(bool final);
    void write_stored(bool final);
    void write_huffman(const u8* ll_len, const u8* d_len, const u16* ll_code, const u16* d_code);
    void run();
};

void Deflater::write_stored(bool final) {
    u32 n = block_end - block_start;
    const u8* p = src + block_start;
    do {
        u32 piece = std::min(n, 65535u);
        n -= piece;
        w.put(final && n == 0 ? 1 : 0, 3);
        w.align();
        w.put_byte(static_cast<u8>(piece));
        w.put_byte(static_cast<u8>(piece >> 8));
        w.put_byte(static_cast<u8>(~piece));
        w.put_byte(static_cast<u8>(~piece >> 8));
        w.put_bytes(p, piece);
        p += piece;
    } while (n > 0);
}

void Deflater::write_huffman(const u8* ll_len, const u8* d_len, const u16* ll_code, const u16* d_code) {
    for (u32 k = 0; k < symbol_count; k++) {
        u32 s = symbols[k];
        if (s < 256) {
            w.put(ll_code[s], ll_len[s]);
            continue;
        }
        u32 x = s & 0xFF, dist = s >> 8;
        u32 lc = length_code(x);
        w.put(ll_code[257 + lc], ll_len[257 + lc]);
        if (LENGTH_EXTRA[lc]) w.put(x + MIN_MATCH - LENGTH_BASE[lc], LENGTH_EXTRA[lc]);
        u32 dc = dist_code(dist - 1);
        w.put(d_code[dc], d_len[dc]);
        if (DIST_EXTRA[dc]) w.put(dist - DIST_BASE[dc], DIST_EXTRA[dc]);
    }
    w.put(ll_code[END_OF_BLOCK], ll_len[END_OF_BLOCK]);
}

void Deflater::write_block(bool final) {
    lit_freq[END_OF_BLOCK] = 1;
    u8 ll_len[LITLEN_CODES], d_len[DIST_CODES];
    build_lengths(lit_freq, LITLEN_CODES, 15, ll_len);
    build_lengths(dist_freq, DIST_CODES, 15, d_len);
    u32 hlit = LITLEN_CODES, hdist = DIST_CODES;
    while (hlit > 257 && !ll_len[hlit - 1]) hlit--;
    while (hdist > 1 && !d_len[hdist - 1]) hdist--;

    // The code lengths of both codes as one run-length coded sequence.
    u8 all[LITLEN_CODES + DIST_CODES];
    std::memcpy(all, ll_len, hlit);
    std::memcpy(all + hlit, d_len, hdist);
    u32 total = hlit + hdist;
    u16 rle[LITLEN_CODES + DIST_CODES];  // symbol | extra value << 5
    u32 rle_count = 0;
    u32 cl_freq[CL_CODES] = {};
    for (u32 i = 0; i < total;) {
        u8 l = all[i];
        u32 run = 1;
        while (i + run < total && all[i + run] == l) run++;
        i += run;
        if (l == 0) {
            while (run >= 11) {
                u32 r = std::min(run, 138u);
                rle[rle_count++] = static_cast<u16>(18 | (r - 11) << 5);
                cl_freq[18]++;
                run -= r;
            }
            if (run >= 3) {
                rle[rle_count++] = static_cast<u16>(17 | (run - 3) << 5);
                cl_freq[17]++;
                run = 0;
            }
        } else {
            rle[rle_count++] = l;
            cl_freq[l]++;
            run--;
            while (run >= 3) {
                u32 r = std::min(run, 6u);
                rle[rle_count++] = static_cast<u16>(16 | (r - 3) << 5);
                cl_freq[16]++;
                run -= r;
            }
        }
        while (run--) {
            rle[rle_count++] = l;
            cl_freq[l]++;
        }
    }
    u8 cl_len[CL_CODES];
    build_lengths(cl_freq, CL_CODES, 7, cl_len);
    u32 hclen = CL_CODES;
    while (hclen > 4 && !cl_len[CL_ORDER[hclen - 1]]) hclen--;

    // Sizes in bits of the three ways to write the block.
    u64 extra = 0;
    for (u32 c = 0; c < 29; c++) extra += static_cast<u64>(lit_freq[257 + c]) * LENGTH_EXTRA[c];
    for (u32 c = 0; c < DIST_CODES; c++) extra += static_cast<u64>(dist_freq[c]) * DIST_EXTRA[c];
    u64 dynamic_bits = 3 + 5 + 5 + 4 + 3 * hclen + extra;
    for (u32 s = 0; s < CL_CODES; s++) dynamic_bits += static_cast<u64>(cl_freq[s]) * cl_len[s];
    dynamic_bits += 2 * cl_freq[16] + 3 * cl_freq[17] + 7 * cl_freq[18];
    u64 fixed_bits = 3 + extra;
    for (u32 s = 0; s < LITLEN_CODES; s++) {
        dynamic_bits += static_cast<u64>(lit_freq[s]) * ll_len[s];
        fixed_bits += static_cast<u64>(lit_freq[s]) * (s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8);
    }
    for (u32 s = 0; s < DIST_CODES; s++) {
        dynamic_bits += static_cast<u64>(dist_freq[s]) * d_len[s];
        fixed_bits += static_cast<u64>(dist_freq[s]) * 5;
    }
    u64 bytes = block_end - block_start;
    u64 pieces = std::max<u64>(1, (bytes + 65534) / 65535);
    u64 pending = w.count & 7;
    u64 stored_bits = 40 * (pieces - 1) + (((pending + 10) & ~7ull) - pending + 32) + 8 * bytes;

    if (stored_bits <= dynamic_bits && stored_bits <= fixed_bits) {
        write_stored(final);
    } else if (dynamic_bits < fixed_bits) {
        w.put(final ? 1 : 0, 1);
        w.put(2, 2);
        w.put(hlit - 257, 5);
        w.put(hdist - 1, 5);
        w.put(hclen - 4, 4);
        for (u32 k = 0; k < hclen; k++) w.put(cl_len[CL_ORDER[k]], 3);
        u16 cl_code[CL_CODES];
        build_codes(cl_len, CL_CODES, cl_code);
        for (u32 k = 0; k < rle_count; k++) {
            u32 s = rle[k] & 31, v = rle[k] >> 5;
            w.put(cl_code[s], cl_len[s]);
            if (s == 16) w.put(v, 2);
            else if (s == 17) w.put(v, 3);
            else if (s == 18) w.put(v, 7);
        }
        u16 ll_code[LITLEN_CODES], d_code[DIST_CODES];
        build_codes(ll_len, LITLEN_CODES, ll_code);
        build_codes(d_len, DIST_CODES, d_code);
        write_huffman(ll_len, d_len, ll_code, d_code);
    } else {
        static const struct Fixed {
            u8 ll_len[288], d_len[DIST_CODES];
            u16 ll_code[288], d_code[DIST_CODES];
            Fixed() {
                for (u32 s = 0; s < 288; s++) ll_len[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
                std::fill(d_len, d_len + DIST_CODES, 5);
                build_codes(ll_len, 288, ll_code);
                build_codes(d_len, DIST_CODES, d_code);
            }
        } fixed;
        w.put(final ? 1 : 0, 1);
        w.put(1, 2);
        write_huffman(fixed.ll_len, fixed.d_len, fixed.ll_code, fixed.d_code);
    }
    block_start = block_end;
    symbol_count = 0;
    std::fill(lit_freq, lit_freq + LITLEN_CODES, 0);
    std::fill(dist_freq, dist_freq + DIST_CODES, 0);
}

void Deflater::run() {
    u32 bits = 8;
    while (bits < 15 && (1u << bits) < length) bits++;
    u32 mask = (1u << bits) - 1;
    u32 h = length >= 2 ? (static_cast<u32>(src[0]) << 5 ^ src[1]) & mask : 0;
    auto insert = [&](u32 i) -> u32 {
        if (i - base >= 0xFFFF) slide();
        h = ((h << 5) ^ src[i + 2]) & mask;
        u32 candidate = head[h];
        prev[i & (WINDOW - 1)] = static_cast<u16>(candidate);
        head[h] = static_cast<u16>(i - base + 1);
        return candidate;
    };
    u32 prev_len = MIN_MATCH - 1, prev_dist = 0;
    bool pending = false;
    for (u32 i = 0; i < length;) {
        u32 candidate = i + MIN_MATCH <= length ? insert(i) : 0;
        u32 cur_len = MIN_MATCH - 1, cur_dist = 0;
        if (candidate && prev_len < MAX_LAZY && i - (base + candidate - 1) <= MAX_DISTANCE) {
            cur_len = longest_match(i, candidate, prev_len, &cur_dist);
            if (cur_len <= prev_len) cur_len = MIN_MATCH - 1;  // nothing better than the pending match
            if (cur_len == MIN_MATCH && cur_dist > TOO_FAR) cur_len = MIN_MATCH - 1;
        }
        if (prev_len >= MIN_MATCH && cur_len <= prev_len) {
            match(prev_len, prev_dist);
            u32 next = i - 1 + prev_len;
            for (u32 k = i + 1; k < next; k++)
                if (k + MIN_MATCH <= length) insert(k);
            i = next;
            pending = false;
            prev_len = MIN_MATCH - 1;
        } else {
            if (pending) literal(src[i - 1]);
            pending = true;
            prev_len = cur_len;
            prev_dist = cur_dist;
            i++;
        }
        if (symbol_count == SYMBOL_BUFFER) write_block(false);
    }
    if (pending) literal(src[length - 1]);
    write_block(true);
    w.align();
}

// ---- decoder tables ---------------------------------------------------------------

// An entry: bits 0-7 the bits to consume, 8-11 its kind, 12-15 extra bits
// (for a subtable: its index bits), 16-31 the value (literal, base length,
// base distance or subtable start).
enum Kind : u32 { LITERAL, LENGTH, END, SUBTABLE, INVALID, DISTANCE };
constexpr u32 entry(u32 kind, u32 value, u32 extra = 0) { return kind << 8 | extra << 12 | value << 16; }
inline u32 e_bits(u32 e) { return e & 0xFF; }
inline u32 e_kind(u32 e) { return (e >> 8) & 0xF; }
inline u32 e_extra(u32 e) { return (e >> 12) & 0xF; }
inline u32 e_value(u32 e) { return e >> 16; }

// Root bits of the decoding tables: most codes are no longer, so one lookup
// decodes them; longer ones go through a subtable. The tables have room for
// the root and every subtable a complete code can need.
constexpr u32 LITLEN_ROOT = 10;
constexpr u32 DIST_ROOT = 8;
constexpr u32 CL_ROOT = 7;
constexpr u32 LITLEN_TABLE = 2048;
constexpr u32 DIST_TABLE = 1024;
constexpr u32 CL_TABLE = 128;

u32 litlen_entry(u32 s) {
    if (s < 256) return entry(LITERAL, s);
    if (s == END_OF_BLOCK) return entry(END, 0);
    if (s < 286) return entry(LENGTH, LENGTH_BASE[s - 257], LENGTH_EXTRA[s - 257]);
    return entry(INVALID, 0);
}
u32 dist_entry(u32 s) { return s < 30 ? entry(DISTANCE, DIST_BASE[s], DIST_EXTRA[s]) : entry(INVALID, 0); }
u32 plain_entry(u32 s) { return entry(LITERAL, s); }

// Builds a lookup table from code lengths; false for an over-subscribed
// code, or an incomplete one unless it is a single code of length 1 (which
// a compressor may send for a lone symbol). Unused entries decode as INVALID.
bool build_table(const u8* lengths, u32 n, u32 root, u32* table, u32 capacity, u32 (*make)(u32), bool allow_single) {
    u32 count[16] = {};
    for (u32 s = 0; s < n; s++) count[lengths[s]]++;
    count[0] = 0;
    u32 max = 15;
    while (max > 0 && !count[max]) max--;
    std::fill(table, table + (1u << root), entry(INVALID, 0) | root);
    if (max == 0) return true;  // no codes: any use is an error
    i32 left = 1;
    for (u32 l = 1; l < 16; l++) {
        left = (left << 1) - static_cast<i32>(count[l]);
        if (left < 0) return false;
    }
    if (left > 0 && !(allow_single && max == 1)) return false;

    u32 offsets[16] = {};
    for (u32 l = 1; l < 15; l++) offsets[l + 1] = offsets[l] + count[l];
    u16 sorted[288];
    for (u32 s = 0; s < n; s++)
        if (lengths[s]) sorted[offsets[lengths[s]]++] = static_cast<u16>(s);

    u32 code = 0, used = 1u << root;
    u32 root_mask = (1u << root) - 1;
    u32 low = ~0u, sub = 0, sub_bits = 0;
    u32 k = 0;
    for (u32 l = 1; l <= max; l++) {
        for (u32 c = count[l]; c > 0; c--, k++) {
            u32 s = sorted[k];
            u32 rev = reverse_bits(code, l);
            if (l <= root) {
                u32 e = make(s) | l;
                for (u32 i = rev; i < (1u << root); i += 1u << l) table[i] = e;
            } else {
                if ((rev & root_mask) != low) {
                    // A new subtable: as wide as the codes sharing this prefix need.
                    low = rev & root_mask;
                    sub_bits = l - root;
                    i32 room = 1 << sub_bits;
                    u32 remaining[16];
                    std::memcpy(remaining, count, sizeof remaining);
                    // Codes of this length already placed are not in the new subtable.
                    remaining[l] = c;
                    while (sub_bits + root < max) {
                        room -= static_cast<i32>(remaining[sub_bits + root]);
                        if (room <= 0) break;
                        sub_bits++;
                        room <<= 1;
                    }
                    sub = used;
                    used += 1u << sub_bits;
                    if (used > capacity) return false;
                    std::fill(table + sub, table + used, entry(INVALID, 0) | 0);
                    table[low] = entry(SUBTABLE, sub, sub_bits) | root;
                }
                u32 e = make(s) | (l - root);
                for (u32 i = rev >> root; i < (1u << sub_bits); i += 1u << (l - root)) table[sub + i] = e;
            }
            code++;
        }
        code <<= 1;
    }
    return true;
}

// ---- decompressor -----------------------------------------------------------------

constexpr u32 FAST_OUT = MAX_MATCH + 16;  // output room the fast loop needs per symbol
constexpr u32 FAST_IN = 16;  // input the fast loop needs: its 8-byte read per symbol, with room to spare

struct Inflater {
    const u8* in;
    const u8* end;
    u64 bits = 0;
    u32 count = 0;  // valid bits in `bits`
    u8* out;
    size_t capacity;
    size_t pos = 0;
    bool grows = false;  // output reallocated as needed (up to `limit`)
    size_t limit = 0;
    u32 litlen[LITLEN_TABLE];
    u32 dist[DIST_TABLE];

    void refill() {
        while (count <= 56 && in < end) {
            bits |= static_cast<u64>(*in++) << count;
            count += 8;
        }
    }
    void refill_fast() {
        u64 v;
        std::memcpy(&v, in, 8);
        bits |= v << count;
        in += (63 - count) >> 3;
        count |= 56;
    }
    void consume(u32 n) {
        bits >>= n;
        count -= n;
    }
    bool take(u32 n, u32& v) {
        if (count < n) refill();
        if (count < n) return false;
        v = static_cast<u32>(bits & ((1ull << n) - 1));
        consume(n);
        return true;
    }
    // One symbol through a table, every bit checked; INVALID when truncated.
    u32 decode(const u32* table, u32 root) {
        refill();
        u32 e = table[bits & ((1u << root) - 1)];
        if (e_kind(e) == SUBTABLE) {
            if (count < root) return entry(INVALID, 0);
            consume(root);
            e = table[e_value(e) + (bits & ((1u << e_extra(e)) - 1))];
        }
        if (e_bits(e) > count) return entry(INVALID, 0);
        consume(e_bits(e));
        return e;
    }

    // Makes room for n more bytes; false when a fixed output is full (the
    // caller then only counts) or a growing one would pass its limit.
    bool room(size_t n) {
        if (n <= capacity - std::min(pos, capacity)) return true;
        if (!grows || pos + n > limit) return false;
        size_t want = std::max({capacity * 2, pos + n, size_t{4096}});
        want = std::min(want, limit);
        u8* p = static_cast<u8*>(std::realloc(out, want));
        if (!p) return false;
        out = p;
        capacity = want;
        return true;
    }
    bool full() const { return grows && pos >= limit; }

    i32 stored();
    i32 block();
    i32 dynamic_tables();
    i32 run();
};

i32 Inflater::stored() {
    consume(count & 7);
    in -= count >> 3;  // give back the whole bytes still in the bit buffer
    bits = 0;
    count = 0;
    if (end - in < 4) return BAD_DATA;
    u32 len = in[0] | in[1] << 8, nlen = in[2] | in[3] << 8;
    if ((len ^ 0xFFFF) != nlen) return BAD_DATA;
    in += 4;
    if (static_cast<size_t>(end - in) < len) return STORED_PAST_INPUT;
    if (len && !room(len)) {
        if (grows) return TOO_SMALL;
        if (pos < capacity) std::memcpy(out + pos, in, capacity - pos);
    } else if (len) {
        std::memcpy(out + pos, in, len);
    }
    pos += len;
    in += len;
    return OK;
}

i32 Inflater::dynamic_tables() {
    u32 hlit, hdist, hclen;
    if (!take(5, hlit) || !take(5, hdist) || !take(4, hclen)) return BAD_DATA;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    if (hlit > 286 || hdist > 30) return BAD_DATA;
    u8 cl_len[CL_CODES] = {};
    for (u32 k = 0; k < hclen; k++) {
        u32 v;
        if (!take(3, v)) return BAD_DATA;
        cl_len[CL_ORDER[k]] = static_cast<u8>(v);
    }
    u32 cl_table[CL_TABLE];
    if (!build_table(cl_len, CL_CODES, CL_ROOT, cl_table, CL_TABLE, plain_entry, false)) return BAD_DATA;
    u8 lengths[286 + 30];
    u32 total = hlit + hdist;
    for (u32 i = 0; i < total;) {
        u32 e = decode(cl_table, CL_ROOT);
        if (e_kind(e) != LITERAL) return BAD_DATA;
        u32 s = e_value(e);
        if (s < 16) {
            lengths[i++] = static_cast<u8>(s);
            continue;
        }
        u32 repeat, v;
        u8 value = 0;
        if (s == 16) {
            if (i == 0 || !take(2, v)) return BAD_DATA;
            value = lengths[i - 1];
            repeat = 3 + v;
        } else if (s == 17) {
            if (!take(3, v)) return BAD_DATA;
            repeat = 3 + v;
        } else {
            if (!take(7, v)) return BAD_DATA;
            repeat = 11 + v;
        }
        if (repeat > total - i) return BAD_DATA;
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    if (!lengths[END_OF_BLOCK]) return BAD_DATA;
    if (!build_table(lengths, hlit, LITLEN_ROOT, litlen, LITLEN_TABLE, litlen_entry, true)) return BAD_DATA;
    if (!build_table(lengths + hlit, hdist, DIST_ROOT, dist, DIST_TABLE, dist_entry, true)) return BAD_DATA;
    return OK;
}

// Decodes one block's symbols with the current tables.
i32 Inflater::block() {
    const u32 lmask = (1u << LITLEN_ROOT) - 1, dmask = (1u << DIST_ROOT) - 1;
    for (;;) {
        if (grows && capacity - std::min(pos, capacity) < FAST_OUT) room(FAST_OUT);
        // Fast loop: room for the longest symbol in both input and output.
        while (end - in >= FAST_IN && pos + FAST_OUT <= capacity) {
            refill_fast();
            u32 e = litlen[bits & lmask];
            if (e_kind(e) == SUBTABLE) {
                consume(LITLEN_ROOT);
                e = litlen[e_value(e) + (bits & ((1u << e_extra(e)) - 1))];
            }
            consume(e_bits(e));
            u32 kind = e_kind(e);
            if (kind == LITERAL) {
                out[pos++] = static_cast<u8>(e_value(e));
                // At least 41 bits are left: a second literal needs no refill.
                e = litlen[bits & lmask];
                if (e_kind(e) == LITERAL) {
                    consume(e_bits(e));
                    out[pos++] = static_cast<u8>(e_value(e));
                }
                continue;
            }
            if (kind == END) return OK;
            if (kind != LENGTH) return BAD_DATA;
            u32 len = e_value(e) + static_cast<u32>(bits & ((1u << e_extra(e)) - 1));
            consume(e_extra(e));
            e = dist[bits & dmask];
            if (e_kind(e) == SUBTABLE) {
                consume(DIST_ROOT);
                e = dist[e_value(e) + (bits & ((1u << e_extra(e)) - 1))];
            }
            if (e_kind(e) != DISTANCE) return BAD_DATA;
            consume(e_bits(e));
            u32 d = e_value(e) + static_cast<u32>(bits & ((1u << e_extra(e)) - 1));
            consume(e_extra(e));
            if (d > pos) return BAD_DISTANCE;
            u8* to = out + pos;
            const u8* from = to - d;
            if (d >= 8) {
                for (u32 k = 0; k < len; k += 8) {
                    u64 v;
                    std::memcpy(&v, from + k, 8);
                    std::memcpy(to + k, &v, 8);
                }
            } else if (d == 1) {
                std::memset(to, *from, len);
            } else {
                for (u32 k = 0; k < len; k++) to[k] = from[k];
            }
            pos += len;
        }
        // Careful loop: one symbol with every bit and byte checked.
        u32 e = decode(litlen, LITLEN_ROOT);
        u32 kind = e_kind(e);
        if (kind == LITERAL) {
            if (room(1)) out[pos] = static_cast<u8>(e_value(e));
            else if (grows) return TOO_SMALL;
            pos++;
            continue;
        }
        if (kind == END) return OK;
        if (kind != LENGTH) return BAD_DATA;
        u32 v = 0;
        if (!take(e_extra(e), v)) return BAD_DATA;
        u32 len = e_value(e) + v;
        e = decode(dist, DIST_ROOT);
        if (e_kind(e) != DISTANCE || !take(e_extra(e), v)) return BAD_DATA;
        u32 d = e_value(e) + v;
        if (d > pos) return BAD_DISTANCE;
        if (room(len)) {
            for (u32 k = 0; k < len; k++) out[pos + k] = out[pos + k - d];
        } else {
            if (grows) return TOO_SMALL;
            // Only what lands inside the buffer is copied; its sources are inside too.
            for (u32 k = 0; k < len && pos + k < capacity; k++) out[pos + k] = out[pos + k - d];
        }
        pos += len;
    }
}

i32 Inflater::run() {
    static const struct Fixed {
        u32 litlen[LITLEN_TABLE];
        u32 dist[DIST_TABLE];
        Fixed() {
            u8 l[288 + 32];
            for (u32 s = 0; s < 288; s++) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            std::fill(l + 288, l + 320, 5);
            build_table(l, 288, LITLEN_ROOT, litlen, LITLEN_TABLE, litlen_entry, false);
            build_table(l + 288, 32, DIST_ROOT, dist, DIST_TABLE, dist_entry, false);
        }
    } fixed;
    for (;;) {
        u32 header;
        if (!take(3, header)) return BAD_DATA;
        i32 r;
        switch (header >> 1) {
            case 0: r = stored(); break;
            case 1:
                std::memcpy(litlen, fixed.litlen, sizeof litlen);
                std::memcpy(dist, fixed.dist, sizeof dist);
                r = block();
                break;
            case 2:
                r = dynamic_tables();
                if (r == OK) r = block();
                break;
            default: return BAD_BLOCK_TYPE;
        }
        if (r != OK) return r;
        if (header & 1) break;
    }
    // Whole bytes left over after the last block mean the stream was not all DEFLATE.
    if (end - in + (count >> 3) > 0) return BAD_DATA;
    return pos > capacity ? TOO_SMALL : OK;
}

// ---- framing ------------------------------------------------------------------------

// The DEFLATE data inside a zlib or gzip frame, and what the trailer promises.
struct Frame {
    const u8* data;
    size_t length;
    u32 check;         // Adler-32 (zlib) or CRC-32 (gzip) of the output
    u32 size = 0;      // gzip: the output's length modulo 2^32
};

i32 open_frame(Format format, const u8* src, size_t length, Frame& f) {
    switch (format) {
        case Format::deflate:
            f = {src, length, 0};
            return OK;
        case Format::zlib: {
            if (length < 6) return BAD_DATA;
            u32 cmf = src[0], flg = src[1];
            if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) > 7 || (flg & 0x20)) return BAD_DATA;
            f = {src + 2, length - 6, get_be32(src + length - 4)};
            return OK;
        }
        case Format::gzip: {
            if (length < 18 || src[0] != 0x1F || src[1] != 0x8B || src[2] != 8) return BAD_DATA;
            u32 flags = src[3];
            if (flags >= 32) return BAD_DATA;
            size_t p = 10, stop = length - 8;
            if (flags & 4) {
                if (stop - p < 2) return BAD_DATA;
                size_t xlen = src[p] | src[p + 1] << 8;
                p += 2;
                if (stop - p < xlen) return BAD_DATA;
                p += xlen;
            }
            for (u32 bit : {8u, 16u}) {
                if (!(flags & bit)) continue;
                while (p < stop && src[p]) p++;
                if (p >= stop) return BAD_DATA;
                p++;
            }
            if (flags & 2) {
                if (stop - p < 2) return BAD_DATA;
                u32 stored = src[p] | src[p + 1] << 8;
                if ((checksum::crc32(src, p) & 0xFFFF) != stored) return BAD_DATA;
                p += 2;
            }
            f = {src + p, stop - p, bits::get_le32(src + length - 8), bits::get_le32(src + length - 4)};
            return OK;
        }
    }
    return BAD_DATA;
}

i32 check_frame(Format format, const Frame& f, const u8* out, size_t produced) {
    if (format == Format::zlib && checksum::adler32(out, produced) != f.check) return BAD_DATA;
    if (format == Format::gzip &&
        (static_cast<u32>(produced) != f.size || checksum::crc32(out, produced) != f.check))
        return BAD_DATA;
    return OK;
}

i32 inflate_fixed(Format format, u8* dest, u32* size, const u8* src, u32 length) {
    Frame f{};
    i32 r = open_frame(format, src, length, f);
    if (r != OK) return r;
    auto z = std::make_unique<Inflater>();
    z->in = f.data;
    z->end = f.data + f.length;
    z->out = dest;
    z->capacity = dest ? *size : 0;
    r = z->run();
    if (r != OK && r != TOO_SMALL) return r;
    if (z->pos > 0xFFFFFFFFu) return BAD_DATA;
    *size = static_cast<u32>(z->pos);
    if (r == TOO_SMALL) return r;
    return check_frame(format, f, dest, z->pos);
}

i32 deflate_into(BitWriter& w, const u8* src, u32 length) {
    auto d = std::make_unique<Deflater>();
    d->src = src;
    d->length = length;
    d->w = w;
    d->run();
    w = d->w;
    return OK;
}

// Writes header, DEFLATE data and trailer; the needed size when it does not fit.
i32 deflate_framed(Format format, u8* dest, u32* size, const u8* src, u32 length) {
    size_t capacity = dest ? *size : 0;
    size_t head = format == Format::zlib ? 2 : format == Format::gzip ? 10 : 0;
    size_t tail = format == Format::zlib ? 4 : format == Format::gzip ? 8 : 0;
    BitWriter w{dest, capacity, head};
    if (format == Format::zlib && capacity >= 2) {
        dest[0] = 0x78;
        dest[1] = 0x01;
    } else if (format == Format::gzip && capacity >= 10) {
        static const u8 header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
        std::memcpy(dest, header, 10);
    }
    deflate_into(w, src, length);
    size_t needed = w.pos + tail;
    if (needed > 0xFFFFFFFFu) return BAD_DATA;
    if (needed <= capacity) {
        if (format == Format::zlib) put_be32(dest + w.pos, checksum::adler32(src, length));
        if (format == Format::gzip) {
            bits::put_le32(dest + w.pos, checksum::crc32(src, length));
            bits::put_le32(dest + w.pos + 4, length);
        }
    }
    *size = static_cast<u32>(needed);
    return needed > capacity ? TOO_SMALL : OK;
}

}  // namespace

i32 deflate(u8* dest, u32* size, const u8* src, u32 length) {
    return deflate_framed(Format::deflate, dest, size, src, length);
}
i32 zlib_deflate(u8* dest, u32* size, const u8* src, u32 length) {
    return deflate_framed(Format::zlib, dest, size, src, length);
}
i32 gzip(u8* dest, u32* size, const u8* src, u32 length) { return deflate_framed(Format::gzip, dest, size, src, length); }

i32 inflate(u8* dest, u32* size, const u8* src, u32 length) {
    return inflate_fixed(Format::deflate, dest, size, src, length);
}
i32 zlib_inflate(u8* dest, u32* size, const u8* src, u32 length) {
    return inflate_fixed(Format::zlib, dest, size, src, length);
}
i32 gunzip(u8* dest, u32* size, const u8* src, u32 length) { return inflate_fixed(Format::gzip, dest, size, src, length); }

i32 decompress(Format format, const u8* src, size_t length, size_t hint, size_t limit, Bytes& out) {
    Frame f{};
    i32 r = open_frame(format, src, length, f);
    if (r != OK) return r;
    u64 most = max_expansion(f.length);
    if (format == Format::gzip) {
        // The trailer's size is believed only as far as the data could produce it.
        if (f.size > most) return BAD_DATA;
        hint = f.size;
    }
    if (hint == 0 || hint > most) hint = std::min<u64>(most, std::max<u64>(4 * static_cast<u64>(length), 4096));
    hint = std::min<size_t>(hint + FAST_OUT, limit);
    auto z = std::make_unique<Inflater>();
    z->in = f.data;
    z->end = f.data + f.length;
    z->out = static_cast<u8*>(std::malloc(hint));
    if (!z->out) return TOO_SMALL;
    z->capacity = hint;
    z->grows = true;
    z->limit = limit;
    r = z->run();
    out.data.reset(z->out);
    out.size = z->pos;
    if (r != OK) return r;
    return check_frame(format, f, z->out, z->pos);
}

}  // namespace zav::compress
