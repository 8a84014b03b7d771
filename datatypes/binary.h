// binary! values: byte series with their own conversion, mold, comparison,
// insertion, trimming and bitwise actions; the byte helpers other modules use
// to build binaries; and the base-2, 16, 58 and 64 encoders and decoders.
//
// A binary cell: header 41, data1 head index in bytes, data2 node of a unit-1
// buffer, data3 unused.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav::binary {

// ---- Byte helpers ------------------------------------------------------------

u32 zs_length_q(const Cell* bin);  // bytes from the head to the tail (0 past it)
void zs_skip(Cell* bin, i32 n);
void zs_next(Cell* bin);
u8* zs_head(Cell* bin);  // a head past the tail is clamped to it first
u8* zs_tail(const Cell* bin);
bool zs_tail_q(const Cell* bin);
u8 zs_abs_at(const Cell* bin, u32 offset);  // from the buffer's offset; no bounds check
void zs_clear(Cell* bin);                   // cuts the buffer at the head
// Raw byte edits. `bytes` may point anywhere, even into the same buffer.
void zs_append(Cell* bin, const u8* bytes, u32 length);
void zs_insert(Cell* bin, u32 offset, const u8* bytes, u32 length);     // at head + offset
void zs_overwrite(Cell* bin, u32 offset, const u8* bytes, u32 length);  // at head + offset
void zs_append_int(i32 value, Cell* bin);                               // 4 bytes, big-endian

// Makers. load_in makes `cell` an empty binary with room for `size` bytes;
// make_at appends one to a block; load and load_bytes copy bytes into a new
// binary appended to `block` (when given) or pushed on the value stack.
Cell* load_in(Cell* cell, u32 size);
Cell* make_at(Cell* parent, u32 size);
Cell* load(const u8* bytes, u32 length);
Cell* load_bytes(const u8* bytes, u32 length, Cell* block);
Cell* push(const Cell* bin);

// The byte of an integer! (0-255) or char! (code point up to 255) value;
// anything else raises script/invalid-arg.
u8 get_byte(const Cell* value);

// Does the binary at its head start with the value (char!, any-string, binary!)?
bool match_q(Cell* bin, Cell* value, i32 op);
// Is the byte at the head in the bitset?
bool match_bitset(Cell* bin, Cell* bitset);
// Compares a binary with a binary or string-like value: -1, 0, 1, or -2 when
// the other value cannot be compared.
i32 equal_q(Cell* bin, Cell* value, i32 op, bool match);
// Writes "#{...}" (only: just the digits) with a line break every 32 bytes
// for long binaries unless flat.
i32 serialize(Cell* bin, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

// ---- Base encodings ----------------------------------------------------------
// Encoders write the text for `count` bytes at `out` (which must have room:
// encoded_size) and return the end of the text. Decoders read `count`
// characters of `unit` bytes each (1, 2 or 4) and return the node of a new
// unit-1 buffer, or 0 when the text is not valid in that base.

u8* encode_2(u8* out, const u8* src, u32 count);
u8* encode_16(u8* out, const u8* src, u32 count);
u8* encode_58(u8* out, const u8* src, u32 count);
u8* encode_64(u8* out, const u8* src, u32 count);
// Bytes the encoder of `base` needs for `count` input bytes; 0 on overflow
// of 32 bits or for an unknown base (an empty input needs 0 too).
u64 encoded_size(u32 base, u32 count);

node_t decode_2(const u8* src, u32 unit, u32 count);
node_t decode_16(const u8* src, u32 unit, u32 count);
node_t decode_58(const u8* src, u32 unit, u32 count);
node_t decode_64(const u8* src, u32 unit, u32 count);

// ---- Actions -------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* bin, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* bin, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* insert(Cell* bin, Cell* value, Cell* part, bool only, Cell* dup, bool append);
Cell* change(Cell* bin, Cell* value, Cell* part, bool only, Cell* dup);
Cell* trim(Cell* bin, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
// and~ or~ xor~: the operands stand in stack::arguments[0] and [1]; the new
// binary is left in [0].
Cell* and_t();
Cell* or_t();
Cell* xor_t();
// Bitwise combination of two binaries into `result` (op 6 and~, 5 or~, 7 xor~).
Cell* do_bitwise(Cell* left, Cell* right, Cell* result, i32 op);
Cell* complement(Cell* bin);

void init();

}  // namespace zav::binary
