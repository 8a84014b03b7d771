// Unicode conversion between UTF-8, UTF-16LE, Windows-1251 and string buffers.
#include "runtime/unicode.h"

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav::unicode {

void bad_unit() { rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address()); }

namespace {

// Björn Höhrmann's UTF-8 decoder DFA: 256 byte classes, then the transitions
// indexed by state + class. States are multiples of 12; 0 accepts, 12 rejects.
// Overlong forms, surrogates and values above 0x10FFFF all reach the reject state.
constexpr u8 UTF8_ACCEPT = 0;
constexpr u8 UTF8_REJECT = 12;
const u8 utf8d[364] = {
    // 0x00-0x7F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x80-0xBF: continuation bytes in three ranges
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    // 0xC0-0xDF: C0 and C1 only start overlong forms
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    // 0xE0-0xFF
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    // transitions
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12, 12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
};

// Windows-1251 code points of the bytes 0x80 to 0xFF; the unassigned 0x98 maps to itself.
const u32 cp1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// Copies the leading bytes of from[0, n) below 0x80 and other than `stop`
// (0x80: none) to `to`, and returns how many: the runs of ASCII that every
// conversion copies whole. Up to n bytes of `to` may be written.
inline u32 copy_ascii(u8* to, const u8* from, u32 n, u8 stop) {
    u32 i = 0;
#ifdef __SSE2__
    const __m128i s = _mm_set1_epi8(static_cast<char>(stop));
    for (; n - i >= 16; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), v);
        if (u32 m = static_cast<u32>(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, s)))))
            return i + static_cast<u32>(__builtin_ctz(m));
    }
#endif
    const u64 ones = 0x0101010101010101ull, stops = ones * stop;
    for (; n - i >= 8; i += 8) {
        u64 w;
        std::memcpy(&w, from + i, 8);
        std::memcpy(to + i, &w, 8);
        u64 x = w ^ stops;
        if (u64 bad = (w | ((x - ones) & ~x)) & (ones * 0x80)) return i + static_cast<u32>(__builtin_ctzll(bad) >> 3);
    }
    for (; i < n && from[i] < 0x80 && from[i] != stop; i++) to[i] = from[i];
    return i;
}

// The number of bytes above 0x7F in p[0, n).
inline u64 high_bytes(const u8* p, u32 n) {
    u64 high = 0;
    u32 i = 0;
    for (; n - i >= 8; i += 8) {
        u64 w;
        std::memcpy(&w, p + i, 8);
        // The top bits moved down to the low bit of each byte, then summed into the top byte.
        high += (((w & 0x8080808080808080ull) >> 7) * 0x0101010101010101ull) >> 56;
    }
    for (; i < n; i++) high += p[i] >> 7;
    return high;
}

constexpr u32 MAX_CP = 0x10FFFF;
// Conversions larger than this are refused like any other oversized allocation.
constexpr u64 MAX_CACHE_BYTES = u64(1) << 31;

[[noreturn]] void invalid_char(u32 cp) {
    Cell arg;
    make_cell(&arg, TYPE_INTEGER, 0, cp);
    fire("script", "invalid-char", &arg);
}

// The argument is a binary! of the bytes at the fault, at most 4 and never
// more than the input holds.
[[noreturn]] void invalid_utf8(const u8* p, u32 avail) {
    u8 bytes[4];
    u32 n = avail < 4 ? avail : 4;
    std::memcpy(bytes, p, n);  // copied first: the allocation below may move p's buffer
    node_t node = alloc_bytes(n);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->tail_ptr(), bytes, n);
    b->tail += n;
    Cell arg;
    make_cell(&arg, TYPE_BINARY, 0, node);
    fire("access", "invalid-utf8", &arg);
}

[[noreturn]] void too_large() { fire("internal", "no-memory"); }

inline u32 read_u16le(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8); }
inline void write_u16le(u8* p, u32 v) {
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
}

// Code points of a string from its head: the buffer is re-read through the
// node, since the caller may have allocated since the cell was read.
struct Range {
    u8* head;
    u32 unit;
    u32 count;
};

Range string_range(Cell* str, i32 limit) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = buffer_unit(b);
    // A head beyond the tail is clamped to the length, as every string reader does.
    if (series_head(str) > b->used_bytes() / unit) series_head(str) = b->used_bytes() / unit;
    u8* head = b->head() + series_head(str) * unit;
    u32 n = static_cast<u32>(b->tail_ptr() - head) / unit;
    if (limit >= 0 && static_cast<u32>(limit) < n) n = static_cast<u32>(limit);
    return {head, unit, n};
}

// Room for `bytes` in the cell's conversion cache; returns its first byte.
u8* cache_reserve(Cell* str, u64 bytes) {
    if (bytes > MAX_CACHE_BYTES) too_large();
    node_t node = str->data3;
    if (!node) {
        node = alloc_bytes(static_cast<u32>(bytes));
        str->data3 = node;
        // A cell of a permanent block not written since holds only permanent
        // buffers: only a cell whose text is permanent may be one.
        if (collector::permanent_q(str->data2)) collector::note_cell_store(str, node);
    } else {
        SeriesBuffer* b = GET_BUFFER(node);
        if (u64(off_of(b->data_end()) - b->offset) < bytes) expand_series_buffer(b, static_cast<u32>(bytes));
    }
    SeriesBuffer* b = GET_BUFFER(node);
    b->tail = b->offset;
    return b->head();
}

void cache_used(Cell* str, u32 bytes) {
    SeriesBuffer* b = GET_BUFFER(str->data3);
    b->tail = b->offset + bytes;
}

// Where loaders read from: a caller's pointer, or a series (the cell's cache)
// whose buffer is re-read through its node after every allocation.
struct Source {
    const u8* ptr;
    node_t node;
    const u8* get() const { return node ? GET_BUFFER(node)->head() : ptr; }
};

// With src null the input is the cell's cache; `len` (bytes) is cut to what
// the cache holds so that a wrong count cannot read past it.
Source source_of(const void* src, Cell* str, u64& len) {
    if (src) return {static_cast<const u8*>(src), 0};
    if (!str || !str->data3) {
        len = 0;
        return {nullptr, 0};
    }
    SeriesBuffer* b = GET_BUFFER(str->data3);
    u64 held = off_of(b->data_end()) - b->offset;
    if (len > held) len = held;
    return {nullptr, str->data3};
}

// Appends code points at a buffer's tail, widening a unit-1 buffer for code
// points above 0xFF and a unit-2 buffer above 0xFFFF, and growing a full
// buffer by `grow` bytes.
struct Sink {
    node_t node;
    // A new series is only in the sink until the caller gets it.
    collector::Guard root{node};
    u32 grow;
    SeriesBuffer* buf;

    Sink(node_t n, u32 input_len) : node(n), buf(GET_BUFFER(n)) {
        grow = input_len / 4 < 16 ? 16 : input_len / 4;
    }

    void put(u32 cp) {
        u32 unit = buf->unit();
        if (unit == 1 && cp > 0xFF) {
            buf = cp > 0xFFFF ? widen_1_4(buf) : widen_1_2(buf);
            unit = buf->unit();
        } else if (unit == 2 && cp > 0xFFFF) {
            buf = widen_2_4(buf);
            unit = 4;
        }
        if (buf->tail + unit > off_of(buf->data_end())) {
            u32 more = unit == 4 ? grow * 4 : grow;
            buf = expand_series(buf, buf->used_bytes() + more);
        }
        put_char(buf->tail_ptr(), unit, cp);
        buf->tail += unit;
    }

    // Makes sure `bytes` more fit without growing.
    void reserve(u64 bytes) {
        u64 room = off_of(buf->data_end()) - buf->tail;
        if (room >= bytes) return;
        u64 want = u64(buf->used_bytes()) + bytes;
        if (want > MAX_CACHE_BYTES) too_large();
        buf = expand_series(buf, static_cast<u32>(want));
    }
};

// Widening: expand when the wider content does not fit after the offset, then
// copy from the last unit backwards so that no unit is overwritten unread.
SeriesBuffer* widen(SeriesBuffer* buf, u32 from, u32 to) {
    u32 count = buf->used_bytes() / from;
    u64 need = u64(count) * to + to;
    u64 room = off_of(buf->data_end()) - buf->offset;
    if (room < need) {
        if (need > MAX_CACHE_BYTES) too_large();
        buf = expand_series(buf, static_cast<u32>(need));
    }
    u8* p = buf->head();
    for (u32 i = count; i-- > 0;) put_char(p + i * to, to, get_char(p + i * from, from));
    buf->flags = (buf->flags & ~SERIES_UNIT_MASK) | to;
    buf->tail = buf->offset + count * to;
    return buf;
}

}  // namespace

// ---- UTF-8 decoding --------------------------------------------------------

const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32* cp) {
    if (p >= end) {
        *cp = -1;
        return p;
    }
    u32 type = utf8d[*p];
    u32 code = (0xFFu >> type) & *p;
    u32 state = utf8d[256 + type];
    p++;
    while (state != UTF8_ACCEPT) {
        if (state == UTF8_REJECT || p == end) {
            *cp = -1;
            return p;
        }
        type = utf8d[*p];
        u32 next = utf8d[256 + state + type];
        if (next == UTF8_REJECT) {  // this byte may start the next sequence
            *cp = -1;
            return p;
        }
        code = (code << 6) | (*p & 0x3Fu);
        state = next;
        p++;
    }
    *cp = static_cast<i32>(code);
    return p;
}

u32 count_utf8_chars(const u8* start, const u8* end) {
    u32 n = 0;
    i32 cp;
    while (start < end) {
        start = fast_decode_utf8_char(start, end, &cp);
        n++;
    }
    return n;
}

const u8* skip_utf8_chars(const u8* p, const u8* end, u32 n) {
    i32 cp;
    while (n && p < end) {
        p = fast_decode_utf8_char(p, end, &cp);
        n--;
    }
    return p;
}

u32 utf8_lead_length(u8 lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 0;
}

i32 decode_utf8_char(const u8* p, u32& len) {
    u32 avail = len;
    if (avail == 0) return -1;
    u8 b0 = p[0];
    if (b0 < 0x80) {
        len = 1;
        return b0;
    }
    // The second byte's range also excludes overlong forms (E0, F0),
    // surrogates (ED) and values above 0x10FFFF (F4).
    u32 need, cp;
    u8 lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        invalid_utf8(p, avail);
    }
    for (u32 i = 1; i < need; i++) {
        if (i >= avail) {  // cut off, but valid so far: the caller may bring more
            len = 0;
            return -1;
        }
        u8 b = p[i];
        if (b < lo || b > hi) invalid_utf8(p, avail);
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    len = need;
    return static_cast<i32>(cp);
}

// ---- UTF-8 encoding --------------------------------------------------------

u32 utf8_length(u32 cp) {
    if (cp <= 0x7F) return 1;
    if (cp <= 0x7FF) return 2;
    if (cp <= 0xFFFF) return 3;
    if (cp <= MAX_CP) return 4;
    invalid_char(cp);
}

u64 count_utf8_bytes(const u8* start, const u8* end, u32 unit) {
    u64 n = 0;
    if (unit == 1) {
        for (; start < end; start++) n += *start < 0x80 ? 1 : 2;
        return n;
    }
    for (; start + unit <= end; start += unit) n += utf8_length(get_char(start, unit));
    return n;
}

u32 cp_to_utf8(u32 cp, u8* out) {
    if (cp <= 0x7F) {
        out[0] = static_cast<u8>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        out[0] = static_cast<u8>(0xC0 | (cp >> 6));
        out[1] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        // A lone surrogate has no UTF-8 form: U+FFFD (same length) stands for it.
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
        out[0] = static_cast<u8>(0xE0 | (cp >> 12));
        out[1] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp <= MAX_CP) {
        out[0] = static_cast<u8>(0xF0 | (cp >> 18));
        out[1] = static_cast<u8>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 4;
    }
    invalid_char(cp);
}

u32 cp_to_utf8_limited(u32 cp, u8* out, u32 room) {
    // A cut sequence would be malformed output, so a code point is written whole or not at all.
    if (utf8_length(cp) > room) return 0;
    return cp_to_utf8(cp, out);
}

u8* to_utf8_star(Cell* str, i32& len, bool crlf) {
    Range r = string_range(str, len);
    u32 w = r.unit == 1 ? 2 : r.unit == 2 ? 3 : 4;  // widest form of one unit, or CR LF
    u64 room = (u64(r.count) + 1) * w;
    if (r.unit == 1 && !crlf) {
        // One-byte text takes one byte more per unit above 127: its exact
        // size, so that a large text's cache can be made from warm pages.
        room = u64(r.count) + high_bytes(r.head, r.count) + 1;
    }
    u8* out = cache_reserve(str, room);
    r = string_range(str, len);  // the cache allocation may have moved the string
    u8* o = out;
    u8* p = r.head;
    if (r.unit == 1 && !crlf) {
        // Latin-1 units: one byte below 128 (eight at a time while they
        // are), two from there on.
        for (const u8* end = p + r.count; p < end; p++) {
            u32 run = copy_ascii(o, p, static_cast<u32>(end - p), 0x80);
            o += run;
            p += run;
            if (p == end) break;
            u8 b = *p;
            if (b < 0x80) {
                *o++ = b;
            } else {
                *o++ = static_cast<u8>(0xC0 | (b >> 6));
                *o++ = static_cast<u8>(0x80 | (b & 0x3F));
            }
        }
    } else {
        for (u32 i = 0; i < r.count; i++, p += r.unit) {
            // Two-byte units below 128, four at a time while they are.
            while (r.unit == 2 && !crlf && r.count - i >= 4) {
                u64 w;
                std::memcpy(&w, p, 8);
                if (w & 0xFF80FF80FF80FF80ull) break;
                o[0] = static_cast<u8>(w);
                o[1] = static_cast<u8>(w >> 16);
                o[2] = static_cast<u8>(w >> 32);
                o[3] = static_cast<u8>(w >> 48);
                o += 4;
                p += 8;
                i += 4;
            }
            if (i == r.count) break;
            u32 cp = get_char(p, r.unit);
            if (cp < 0x80 && cp != '\n') {
                *o++ = static_cast<u8>(cp);
                continue;
            }
            if (cp == '\n' && crlf) *o++ = '\r';
            o += cp_to_utf8(cp, o);
        }
    }
    *o = 0;
    u32 bytes = static_cast<u32>(o - out);
    cache_used(str, bytes + 1);
    len = static_cast<i32>(bytes);
    return out;
}

u8* to_utf8(Cell* str, i32& len) { return to_utf8_star(str, len, false); }

u8* to_utf8_lines(Cell* str, i32& len, bool crlf) { return to_utf8_star(str, len, crlf); }

u32 to_utf8_buffer(Cell* str, u8* out, i32 count, bool nul) {
    Range r = string_range(str, count);
    u8* o = out;
    u32 i = 0;
    if (r.unit == 1) {
        // Runs of ASCII are their own UTF-8: copied whole.
        while (i < r.count) {
            u32 run = copy_ascii(o, r.head + i, r.count - i, 0x80);
            o += run;
            i += run;
            if (i < r.count) o += cp_to_utf8(r.head[i++], o);
        }
    }
    for (; i < r.count; i++) o += cp_to_utf8(get_char(r.head + i * r.unit, r.unit), o);
    if (nul) *o = 0;
    return static_cast<u32>(o - out);
}

u32 to_utf8_buffer_limited(Cell* str, u8* out, u32 room, i32 count, bool nul) {
    if (nul) {
        if (room == 0) return 0;
        room--;  // keep a byte for the NUL
    }
    Range r = string_range(str, count);
    u8* o = out;
    for (u32 i = 0; i < r.count; i++) {
        u32 n = cp_to_utf8_limited(get_char(r.head + i * r.unit, r.unit), o, room);
        if (n == 0) break;
        o += n;
        room -= n;
    }
    if (nul) *o = 0;
    return static_cast<u32>(o - out);
}

u32 to_utf8_piece(node_t node, u32* from, u32 end, u8* out, u32 room) {
    SeriesBuffer* b = GET_BUFFER(node);
    const u32 unit = buffer_unit(b);
    const u8* p = b->head();
    u8* o = out;
    u8* const o_end = out + room;
    u32 i = *from;
    if (unit == 1) {
        // Runs of ASCII copied whole; a Latin-1 letter takes two bytes.
        for (;;) {
            u32 n = std::min<u32>(end - i, static_cast<u32>(o_end - o));
            u32 run = copy_ascii(o, p + i, n, 0x80);
            o += run;
            i += run;
            if (run == n || o_end - o < 2) break;
            u8 c = p[i++];
            *o++ = static_cast<u8>(0xC0 | (c >> 6));
            *o++ = static_cast<u8>(0x80 | (c & 0x3F));
        }
    } else {
        for (; i < end && o_end - o >= 4; i++) {
            u32 cp = get_char(p + u64(i) * unit, unit);
            if (cp < 0x80) *o++ = static_cast<u8>(cp);
            else o += cp_to_utf8(cp, o);
        }
    }
    *from = i;
    return static_cast<u32>(o - out);
}

// ---- Widening --------------------------------------------------------------

SeriesBuffer* widen_1_2(SeriesBuffer* buf) { return widen(buf, 1, 2); }
SeriesBuffer* widen_1_4(SeriesBuffer* buf) { return widen(buf, 1, 4); }
SeriesBuffer* widen_2_4(SeriesBuffer* buf) { return widen(buf, 2, 4); }

// ---- Loading UTF-8 ---------------------------------------------------------

namespace {

// Where a loader writes: the given string's buffer, or a new one of unit 1.
node_t target_node(Cell* str, u32 len) {
    if (!str) return alloc_series(len ? len : 1, 1, 0);
    node_t node = series_node(str);
    buffer_unit(GET_BUFFER(node));
    return node;
}

}  // namespace

node_t load_utf8(const u8* src, u32 len, Cell* str, u32* remaining, bool crlf) {
    node_t node = target_node(str, len);
    Sink sink(node, len);
    if (str) sink.reserve(u64(len) * sink.buf->unit());

    u32 i = 0;
    // A byte-order mark only means something at the start of the text.
    if (len >= 3 && src[0] == 0xEF && src[1] == 0xBB && src[2] == 0xBF && sink.buf->used_bytes() == 0) i = 3;
    while (i < len) {
        // Runs of ASCII go straight into a unit-1 buffer while there is room.
        SeriesBuffer* buf = sink.buf;
        if (buf->unit() == 1) {
            u8* o = buf->tail_ptr();
            u8* o_end = buf->data_end();
            for (;;) {
                // Up to the first byte above 0x7F or CR.
                u32 run = copy_ascii(o, src + i, std::min<u32>(len - i, static_cast<u32>(o_end - o)), '\r');
                o += run;
                i += run;
                // A two-byte sequence of a code point below 0x100 (Latin-1) fits as it is.
                if (len - i >= 2 && o < o_end && (src[i] & 0xFE) == 0xC2 && (src[i + 1] & 0xC0) == 0x80) {
                    *o++ = static_cast<u8>(((src[i] & 0x1F) << 6) | (src[i + 1] & 0x3F));
                    i += 2;
                    continue;
                }
                break;
            }
            buf->tail = off_of(o);
            if (i == len) break;
        } else if (buf->unit() == 2) {
            // The same for text that has been widened by an earlier character.
            u8* o = buf->tail_ptr();
            u8* o_end = buf->data_end() - 1;
            while (i < len && o < o_end && src[i] < 0x80 && src[i] != '\r') {
                u16 unit = src[i++];
                std::memcpy(o, &unit, 2);
                o += 2;
            }
            buf->tail = off_of(o);
            if (i == len) break;
        }
        u8 b = src[i];
        i32 cp;
        if (b < 0x80) {
            cp = b;
            i++;
        } else {
            u32 n = len - i;
            cp = decode_utf8_char(src + i, n);
            if (cp < 0) break;
            i += n;
        }
        if (cp == '\r' && crlf) {
            if (i < len && src[i] == '\n') continue;
            cp = '\n';
        }
        sink.put(static_cast<u32>(cp));
    }
    if (remaining) *remaining = len - i;
    return node;
}

node_t load_utf8_in(const u8* src, u32 len, Cell* str, u32* remaining) {
    return load_utf8(src, len, str, remaining, false);
}

node_t load_utf8_new(const u8* src, u32 len) {
    u32 left = 0;
    node_t node = load_utf8(src, len, nullptr, &left, false);
    // Nothing follows a whole input, so a sequence cut by its end is malformed.
    if (left) invalid_utf8(src + (len - left), left);
    return node;
}

// ---- UTF-16LE ----------------------------------------------------------------

u32 utf16_unit(const void* src, u32 count) {
    const u8* p = static_cast<const u8*>(src);
    u32 unit = 1;
    for (u32 i = 0; i < count; i++) {
        u32 u = read_u16le(p + 2 * i);
        if (u >= 0xD800 && u <= 0xDBFF) return 4;
        if (u > 0xFF) unit = 2;
    }
    return unit;
}

node_t load_utf16(const void* src_ptr, u32 count, Cell* str, bool crlf) {
    u64 bytes = u64(count) * 2;
    Source src = source_of(src_ptr, str, bytes);
    count = static_cast<u32>(bytes / 2);
    u32 unit = count ? utf16_unit(src.get(), count) : 1;
    node_t node;
    if (str) {
        node = series_node(str);
        SeriesBuffer* b = GET_BUFFER(node);
        u32 cur = buffer_unit(b);
        if (cur < unit) {
            b = cur == 1 ? (unit == 2 ? widen_1_2(b) : widen_1_4(b)) : widen_2_4(b);
        } else {
            unit = cur;
        }
    } else {
        node = alloc_series(count ? count : 1, unit, 0);
    }
    Sink sink(node, count * 2);
    sink.reserve(u64(count) * unit);

    if (unit == 2 && !crlf) {  // units copy as they are
        std::memcpy(sink.buf->tail_ptr(), src.get(), u64(count) * 2);
        sink.buf->tail += count * 2;
        return node;
    }
    for (u32 i = 0; i < count; i++) {
        const u8* s = src.get();
        u32 u = read_u16le(s + 2 * i);
        if (u == '\r' && crlf) continue;
        if (u >= 0xD800 && u <= 0xDBFF) {
            u32 low = i + 1 < count ? read_u16le(s + 2 * (i + 1)) : 0;
            if (low < 0xDC00 || low > 0xDFFF) fire("script", "invalid-chars");
            u = 0x10000 + ((u & 0x3FF) << 10) + (low & 0x3FF);
            i++;
        }
        sink.put(u);
    }
    return node;
}

u32 cp_to_utf16(u32 cp, void* out) {
    u8* o = static_cast<u8*>(out);
    if (cp < 0x10000) {
        write_u16le(o, cp);
        return 1;
    }
    if (cp > MAX_CP) return 0;
    write_u16le(o, 0xD800 | ((cp - 0x10000) >> 10));
    write_u16le(o + 2, 0xDC00 | (cp & 0x3FF));
    return 2;
}

void ascii_to_utf16(const char* src, void* out) {
    u8* o = static_cast<u8*>(out);
    for (; *src; src++, o += 2) write_u16le(o, static_cast<u8>(*src));
    write_u16le(o, 0);
}

u16* to_utf16_star(Cell* str, i32& len, bool crlf) {
    Range r = string_range(str, len);
    u64 extra = 0;  // units beyond one per code point
    for (u32 i = 0; i < r.count; i++) {
        u32 cp = get_char(r.head + i * r.unit, r.unit);
        if (cp > MAX_CP) return nullptr;
        if (cp == '\n' || cp >= 0x10000) extra++;
    }
    u8* out = cache_reserve(str, 2 * (u64(r.count) + extra) + 2);
    r = string_range(str, len);  // the cache allocation may have moved the string
    u8* o = out;
    if (r.unit == 2 && !crlf) {
        std::memcpy(o, r.head, u64(r.count) * 2);
        o += u64(r.count) * 2;
    } else {
        for (u32 i = 0; i < r.count; i++) {
            u32 cp = get_char(r.head + i * r.unit, r.unit);
            if (cp == '\n' && crlf) {
                write_u16le(o, '\r');
                o += 2;
            }
            o += 2 * cp_to_utf16(cp, o);
        }
    }
    write_u16le(o, 0);
    u32 bytes = static_cast<u32>(o - out);
    cache_used(str, bytes + 2);
    len = static_cast<i32>(bytes / 2);
    return reinterpret_cast<u16*>(out);
}

u16* to_utf16(Cell* str) {
    i32 len = -1;
    return to_utf16_star(str, len, true);
}

// ---- Windows-1251 ------------------------------------------------------------

node_t load_cp1251(const u8* src_ptr, u32 len, Cell* str, bool crlf) {
    u64 bytes = len;
    Source src = source_of(src_ptr, str, bytes);
    len = static_cast<u32>(bytes);
    node_t node = target_node(str, len);
    Sink sink(node, len);
    for (u32 i = 0; i < len; i++) {
        const u8* s = src.get();
        u32 b = s[i];
        if (b == '\r' && crlf) {
            if (i + 1 < len && s[i + 1] == '\n') continue;
            b = '\n';
        }
        sink.put(b < 0x80 ? b : cp1251[b - 0x80]);
    }
    return node;
}

}  // namespace zav::unicode
