// Unicode conversion: UTF-8 and UTF-16LE to and from string buffers of 1, 2
// or 4 bytes per code point, buffer widening, and the per-cell conversion cache.
//
// The cache: to_utf8* and to_utf16* write into a byte series whose node is kept
// in the string cell's third payload word (data3). It is made on the first
// conversion and grown when needed; copies of the cell share it. A returned
// pointer stays valid until that cell (or a copy) is converted again or until
// the next allocation, which may move buffers.
//
// Every function that takes a string cell may allocate: the cell must not live
// inside a series buffer that an allocation could move.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav::unicode {

// ---- Code units --------------------------------------------------------------

// The unit of a string buffer (1, 2 or 4). Any other unit is an internal
// fault and ends the process with runtime error 101. Inline: text natives
// ask it on every call, and it is the first touch of the buffer.
[[noreturn]] void bad_unit();
inline u32 buffer_unit(const SeriesBuffer* buf) {
    u32 unit = GET_UNIT(buf);
    if (unit != 1 && unit != 2 && unit != 4) [[unlikely]] bad_unit();
    return unit;
}

// Code point stored at p in a buffer of the given unit, and the store.
inline u32 get_char(const u8* p, u32 unit) {
    switch (unit) {
        case 1: return *p;
        case 2: { u16 v; std::memcpy(&v, p, 2); return v; }
        default: { u32 v; std::memcpy(&v, p, 4); return v; }
    }
}
inline void put_char(u8* p, u32 unit, u32 cp) {
    switch (unit) {
        case 1: *p = static_cast<u8>(cp); break;
        case 2: { u16 v = static_cast<u16>(cp); std::memcpy(p, &v, 2); break; }
        default: std::memcpy(p, &cp, 4); break;
    }
}
// The narrowest unit that holds a code point when stored at a position.
inline u32 unit_for(u32 cp) { return cp > 0xFFFF ? 4 : cp > 0xFF ? 2 : 1; }


// ---- UTF-8 decoding --------------------------------------------------------

// Decodes one code point from [p, end). Returns the pointer past the bytes
// used and stores the code point in *cp, or -1 for an invalid or cut-off
// sequence (overlong forms, surrogates and values above 0x10FFFF are invalid).
// An invalid sequence consumes its longest valid prefix (at least one byte),
// so a byte that breaks a sequence is left to start the next one. Never reads
// at or past `end`.
const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32* cp);
// Code points in [start, end), counting each invalid sequence as one.
u32 count_utf8_chars(const u8* start, const u8* end);
// The pointer after at most n code points, never past `end`.
const u8* skip_utf8_chars(const u8* p, const u8* end, u32 n);
// 4 for 0xF0 and above, 3 for 0xE0 and above, 2 for 0xC0 and above, else 0.
u32 utf8_lead_length(u8 lead);

// Checked decoding of one sequence from p, where `len` holds the bytes
// available. Returns the code point and sets len to the sequence length; when
// the bytes end inside a sequence that is valid so far, returns -1 and sets len
// to 0. Invalid input raises access/invalid-utf8 with the (at most 4) bytes at p.
i32 decode_utf8_char(const u8* p, u32& len);

// ---- UTF-8 encoding --------------------------------------------------------
// Code points above 0x10FFFF raise script/invalid-char with the code point.

u32 utf8_length(u32 cp);
// Bytes that the code points in [start, end) of the given unit need in UTF-8.
u64 count_utf8_bytes(const u8* start, const u8* end, u32 unit);
// Writes the UTF-8 form of cp at out (a surrogate, which has none, as U+FFFD);
// returns its length 1 to 4.
u32 cp_to_utf8(u32 cp, u8* out);
// Writes cp only when its whole sequence fits in `room` bytes; returns the
// bytes written (0 when it does not fit).
u32 cp_to_utf8_limited(u32 cp, u8* out, u32 room);

// The string from its head as NUL-ended UTF-8 in the cell's cache. In: len is
// the most code points to take (negative = all); out: the byte length without
// the NUL. With crlf every LF is written as CR LF.
u8* to_utf8_star(Cell* str, i32& len, bool crlf);
u8* to_utf8(Cell* str, i32& len);
u8* to_utf8_lines(Cell* str, i32& len, bool crlf);
// Writes at most `count` code points (negative = all) from the string's head
// into the caller's buffer, which must be large enough (count_utf8_bytes + 1);
// returns the byte length without the NUL.
u32 to_utf8_buffer(Cell* str, u8* out, i32 count, bool nul);
// The same within `room` bytes (the NUL included when asked for); stops before
// the first code point whose sequence does not fit whole.
u32 to_utf8_buffer_limited(Cell* str, u8* out, u32 room, i32 count, bool nul);
// UTF-8 of the code points [*from, end) of a string buffer (units from its
// head), as many whole ones as fit in `room` bytes (at least 4): returns the
// bytes written and moves *from past the code points written. Large texts
// are converted a piece at a time this way, with no buffer of them all.
u32 to_utf8_piece(node_t node, u32* from, u32 end, u8* out, u32 room);

// ---- Widening --------------------------------------------------------------
// Converts a string buffer in place to a wider unit, keeping its code points.
// Returns the buffer, which may have moved.

SeriesBuffer* widen_1_2(SeriesBuffer* buf);
SeriesBuffer* widen_1_4(SeriesBuffer* buf);
SeriesBuffer* widen_2_4(SeriesBuffer* buf);

// ---- Loading into strings ----------------------------------------------------
// `src` must not point into a series buffer (allocation may move it).

// Decodes UTF-8 and appends it to the cell's buffer (or to a new buffer when
// str is null); a leading byte-order mark is skipped when the buffer is empty.
// Stops at a sequence cut off by the end of the input and reports the bytes
// left in *remaining (may be null). With crlf, CR LF and a lone CR become LF.
// Invalid input raises access/invalid-utf8. Returns the buffer's node.
node_t load_utf8(const u8* src, u32 len, Cell* str, u32* remaining, bool crlf);
node_t load_utf8_in(const u8* src, u32 len, Cell* str, u32* remaining);
// Into a new buffer; bytes left over at the end raise access/invalid-utf8.
node_t load_utf8_new(const u8* src, u32 len);

// ---- UTF-16LE ----------------------------------------------------------------
// UTF-16LE input is read byte-wise, so it needs no alignment.

// The unit a string needs for `count` UTF-16LE units: 4 as soon as a high
// surrogate is met, else 2 when a unit exceeds 0xFF, else 1.
u32 utf16_unit(const void* src, u32 count);
// Appends `count` UTF-16LE units (src null: the cell's cache) to the cell's
// buffer (widened when needed) or to a new buffer of the narrowest sufficient
// unit; with crlf every CR is dropped. A high surrogate without its low
// surrogate raises script/invalid-chars. Returns the buffer's node.
node_t load_utf16(const void* src, u32 count, Cell* str, bool crlf);
// Writes cp as one UTF-16LE unit or a surrogate pair; returns 1 or 2, or 0
// (writing nothing) above 0x10FFFF.
u32 cp_to_utf16(u32 cp, void* out);
// Copies each byte of a NUL-ended text as one UTF-16LE unit, then a 16-bit NUL.
void ascii_to_utf16(const char* src, void* out);
// The string from its head as NUL-ended UTF-16LE in the cell's cache. In: len
// is the most code points (negative = all); out: the units written without the
// NUL. With crlf every LF is written as CR LF. Null when a code point exceeds
// 0x10FFFF.
u16* to_utf16_star(Cell* str, i32& len, bool crlf);
// The whole string with every LF as CR LF, for the platform.
u16* to_utf16(Cell* str);

// ---- Windows-1251 ------------------------------------------------------------

// Appends Windows-1251 bytes (src null: the cell's cache) to the cell's buffer
// or to a new one; with crlf, CR LF and a lone CR become LF. Returns the node.
node_t load_cp1251(const u8* src, u32 len, Cell* str, bool crlf);

}  // namespace zav::unicode
