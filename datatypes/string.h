// string! values: the cell, buffers of 1, 2 or 4 bytes per code point, and
// the character edits that widen a buffer when a code point does not fit.
#pragma once
#include "datatypes/cell.h"
#include "runtime/memory.h"

namespace zav::string {

// The unit of a string buffer (1, 2 or 4). Any other unit is an internal
// fault and ends the process with runtime error 101.
u32 buffer_unit(const SeriesBuffer* buf);

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

// Accessors; positions count code points from the buffer's offset.
// zs_head clamps a head that lies beyond the tail to the buffer's length.
u8* zs_head(Cell* str);
u8* zs_tail(const Cell* str);
bool zs_tail_q(const Cell* str);
u32 zs_length_q(const Cell* str);
u32 zs_abs_length_q(const Cell* str);
u32 zs_abs_at(const Cell* str, u32 index);

// Makes `cell` an empty string with room for n code points (at least 1) of unit 1.
Cell* zs_make_at(Cell* cell, u32 n);
// The same with a given capacity and unit.
Cell* make_fixed_at(Cell* cell, u32 capacity, u32 unit);

// Decodes external text into a new string stored in `target`: encoding 0 is
// UTF-8, -1 is UTF-16LE (size in bytes). Malformed UTF-8 raises
// access/invalid-utf8. `target` is required until the value stack exists.
Cell* load_at(const u8* src, u32 size, Cell* target, i32 encoding);

// Appends one code point at the tail. A unit-1 buffer stays unit 1 only for
// code points up to 127. Returns the buffer, which may have moved.
SeriesBuffer* append_char(SeriesBuffer* buf, u32 cp);
// Stores a code point at p, a position inside the buffer's used part. A unit-1
// buffer keeps code points up to 255. Returns the buffer, which may have moved.
SeriesBuffer* poke_char(SeriesBuffer* buf, u8* p, u32 cp);
// Widens a buffer to unit 2 (from 1) or 4 (from 1 or 2); anything else is an
// internal fault (runtime error 100).
SeriesBuffer* widen_to(SeriesBuffer* buf, u32 unit);

// Appends the bytes of a NUL-terminated text (or its first n bytes), each as one code point.
void concatenate_literal(Cell* target, const char* text);
void concatenate_literal_part(Cell* target, const char* text, u32 n);

}  // namespace zav::string
