// string! values: the cell, buffers of 1, 2 or 4 bytes per code point, the
// character edits that widen a buffer when a code point does not fit, and the
// text helpers (concatenation, comparison, escaping) that every form and mold
// writer uses.
//
// A string cell: header (type 7 or a child type: file!, url!, tag!, email!,
// ref!), data1 head index in code points, data2 node, data3 the node of the
// UTF-8/UTF-16 conversion cache (runtime/unicode.h) or 0. The cache is
// rewritten by every conversion, so edits leave it alone; comparison ignores it.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace zav::string {

// Code units of string buffers (kept with the Unicode conversions).
using unicode::buffer_unit;
using unicode::get_char;
using unicode::put_char;
using unicode::unit_for;


// ---- Accessors; positions count code points from the buffer's offset --------

// zs_head clamps a head that lies beyond the tail to the buffer's length.
u8* zs_head(Cell* str);
u8* zs_tail(const Cell* str);
bool zs_tail_q(const Cell* str);
u32 zs_length_q(const Cell* str);
u32 zs_abs_length_q(const Cell* str);
u32 zs_abs_at(const Cell* str, u32 index);
// Empties the buffer: unit back to 1, tail at the offset, head 0.
void zs_reset(Cell* str);
// Cuts the buffer to n code points when it has room for at least n (form and
// mold with a part limit).
void update_cursor(SeriesBuffer* buf, u32 n);

// ---- Makers -------------------------------------------------------------------

// Makes `cell` an empty string with room for n code points (at least 1) of unit 1.
Cell* zs_make_at(Cell* cell, u32 n);
inline Cell* make_at(Cell* cell, u32 n) { return zs_make_at(cell, n); }
// The same with a given capacity and unit.
Cell* make_fixed_at(Cell* cell, u32 capacity, u32 unit);
// A new empty string with room for n code points on the value stack.
Cell* make_push(u32 n);
// Copies a string cell to a new value-stack slot.
Cell* push(const Cell* str);

// Decodes external text into a string: encoding 0 is UTF-8, -1 is UTF-16LE
// (size in bytes); no target: a new value-stack slot. Malformed UTF-8 raises
// access/invalid-utf8.
Cell* load_at(const u8* src, u32 size, Cell* target, i32 encoding);
// Into a new cell appended to a block, or a new value-stack slot.
Cell* load_in(const u8* src, u32 size, node_t block, i32 encoding);
Cell* load(const u8* src, u32 size, i32 encoding);
inline Cell* load(const char* utf8) {
    return load(reinterpret_cast<const u8*>(utf8), static_cast<u32>(std::strlen(utf8)), 0);
}
// Decodes UTF-8 bytes into a new stack string; undecodable bytes raise
// access/invalid-utf8 with a binary! of what is left.
Cell* from_utf8_binary(const u8* src, u32 size);

// ---- Character edits (all widen when the code point does not fit) -----------

// Appends one code point at the tail. A unit-1 buffer stays unit 1 only for
// code points up to 127. Returns the buffer, which may have moved.
SeriesBuffer* append_char(SeriesBuffer* buf, u32 cp);
inline void append_char(Cell* str, u32 cp) { append_char(GET_BUFFER(series_node(str)), cp); }
// Stores a code point at p, a position inside the buffer's used part. A unit-1
// buffer keeps code points up to 255. Returns the buffer, which may have moved.
SeriesBuffer* poke_char(SeriesBuffer* buf, u8* p, u32 cp);
// Stores at an absolute index; at or past the tail the buffer grows and the
// tail moves just after the stored code point.
SeriesBuffer* overwrite_char(SeriesBuffer* buf, u32 index, u32 cp);
// Inserts at an absolute index (at most the length).
SeriesBuffer* insert_char(SeriesBuffer* buf, u32 index, u32 cp);
// Removes one, or n, code points at an absolute index; nothing past the tail.
void remove_char(SeriesBuffer* buf, u32 index);
void remove_chars(SeriesBuffer* buf, u32 index, u32 n);
// Replaces n code points at an absolute index with count of text's (another
// buffer), moving the tail once.
void splice_chars(Cell* target, u32 index, u32 n, const Cell* text, u32 count);
// Moves n code points from the source's head into the target at an absolute
// index, then removes them from the source (different buffers).
void move_chars(Cell* source, Cell* target, u32 index, u32 n);
// Widens a buffer to unit 2 (from 1) or 4 (from 1 or 2); anything else is an
// internal fault (runtime error 100).
SeriesBuffer* widen_to(SeriesBuffer* buf, u32 unit);
// Converts n code points from `src` (unit from) to `dst` (unit to, wider).
void copy_widening(const u8* src, u8* dst, u32 n, u32 from, u32 to);
// Exchanges the adjacent byte ranges [p, p + a) and [p + a, p + a + b).
void swap_chunks(u8* p, u32 a, u32 b);

// ---- Concatenation --------------------------------------------------------------

enum ConcatMode : i32 { CONCAT_APPEND = 0, CONCAT_INSERT = 1, CONCAT_OVERWRITE = 2 };
// Appends, inserts or overwrites (mode) the source's text from its head,
// limited to `part` code points when 0 <= part < its length, into the target
// at its tail or at `index` code points after the target's head. The source
// may be a string-like cell or a symbol cell. Unless keep_source, a narrower
// source buffer is widened to the target's unit.
void concatenate(Cell* target, Cell* source, i32 part, i32 index, bool keep_source, i32 mode);
inline void append(Cell* target, Cell* source) { concatenate(target, source, -1, 0, true, CONCAT_APPEND); }
// Appends the bytes of a NUL-terminated text (or its first n bytes), each as one code point.
void concatenate_literal(Cell* target, const char* text);
void concatenate_literal_part(Cell* target, const char* text, u32 n);
// The same for text known to be ASCII (digits, a number's text).
void append_ascii(Cell* target, const char* text, u32 n);
// Appends UTF-8 text, decoded.
void concatenate_utf8(Cell* target, const char* text, u32 n);

// ---- Searching and comparison ---------------------------------------------------

// The first position from `from` where n bytes of p occur in t before `end`,
// or -1: the forward search of one-byte text by one-byte text, with letter
// case folded as find folds it unless fold_case is off.
i64 find_narrow(const u8* t, u32 from, i64 end, const u8* p, u32 n, bool fold_case);
// How many bytes from `from` up to `end` equal `byte` (eight at a time).
u32 count_byte(const u8* from, const u8* end, u8 byte);
// Index relative to the head of the first occurrence of cp, or -1.
i32 find_char(Cell* str, u32 cp);
// True when cp occurs at the head or at every step-th code point after it;
// without case_ both sides are folded to upper case.
bool find_char_case(Cell* str, u32 cp, u32 step, bool case_);
bool match_c_string_q(Cell* str, const char* text);
// Compares two strings (or symbols) with a comparison operator; with `match`
// only the second string's length is compared (a prefix test). Answers -1, 0, 1.
i32 equal_q(Cell* a, Cell* b, i32 op, bool match);
// The first eight code points of a string from its head as a sort key:
// one byte each (folded as the sort folds letter case unless case_), the
// first in the top byte, zeros after a shorter text. *state: the length
// when the whole text is in the key, PREFIX_PART when only its start is,
// PREFIX_NONE when a code point does not fit a byte. Keys that differ order
// their texts as equal_q does; equal keys of whole texts order by length.
constexpr u32 PREFIX_PART = 9;
constexpr u32 PREFIX_NONE = 10;
u64 sort_prefix(const Cell* str, bool case_, u32* state);
// Does the string at its head start with the value (char!, any-string, tag!)?
bool match_q(Cell* str, Cell* value, i32 op);
bool match_bitset_q(Cell* str, Cell* bitset);
bool match_tag_q(Cell* str, Cell* tag);

// White space as trim sees it: controls and blanks up to 32 and the Unicode spaces.
bool whitespace_q(u32 c);

// ---- Hexadecimal ------------------------------------------------------------------

// Two upper-case digits in a static buffer (no NUL; valid until the next call).
const char* byte_to_hex(u32 byte);
// Eight digits (NUL-ended, static); with trim, the leading zeros go (0 gives "00").
const char* to_hex(u32 value, bool trim);
double to_float(const u8* p, u32 n, u32 unit);

// ---- Escaping ---------------------------------------------------------------------

constexpr i32 ESC_MOLD = 253;
// Appends cp as mold writes it: ^ escapes for control characters, caret and
// double quote, ^(hex) from 128 to 159 (above 127 with all).
SeriesBuffer* append_escaped_char(SeriesBuffer* buf, u32 cp, i32 mode, bool all);
// The control characters: C0, DEL and C1.
inline bool control_char_q(u32 cp) { return cp < 32 || (cp >= 127 && cp <= 159); }
// Those a terminal acts on beyond laying out lines (tab and line feed): a
// molded value never writes them raw.
inline bool terminal_control_q(u32 cp) { return control_char_q(cp) && cp != '\t' && cp != '\n'; }
inline void append_escaped_char(Cell* buffer, u32 cp, i32 mode, bool all) {
    append_escaped_char(GET_BUFFER(series_node(buffer)), cp, mode, all);
}

// ---- Sort comparators (runtime/sort.h signature; ctx1 case flag, ctx2 flags) -------

constexpr u32 SORT_REVERSE = 1;
constexpr u32 SORT_ALL = 2;
int sort_cmp_1(const void* a, const void* b, uintptr_t case_, uintptr_t flags);
int sort_cmp_2(const void* a, const void* b, uintptr_t case_, uintptr_t flags);
int sort_cmp_4(const void* a, const void* b, uintptr_t case_, uintptr_t flags);
int sort_cmp_f32(const void* a, const void* b, uintptr_t case_, uintptr_t flags);
int sort_cmp_f64(const void* a, const void* b, uintptr_t case_, uintptr_t flags);
// sort_cmp_call's first context points to this: the comparison function and a
// scratch block of two cells for its arguments, both kept by the caller.
struct SortCall {
    Cell* fn;
    Cell* args;
};
int sort_cmp_call(const void* a, const void* b, uintptr_t call, uintptr_t flags);

// ---- string! actions ----------------------------------------------------------------

void init();
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* insert(Cell* series, Cell* value, Cell* part, bool only, Cell* dup, bool append);
Cell* change(Cell* series, Cell* value, Cell* part, bool only, Cell* dup);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

// Set operations for the natives: op 8 unique, 9 union, 10 intersect,
// 11 exclude, 12 difference. The result is a new string on the value stack.
enum SetOp : i32 { SET_UNIQUE = 8, SET_UNION = 9, SET_INTERSECT = 10, SET_EXCLUDE = 11, SET_DIFFERENCE = 12 };
Cell* do_set_op(i32 op, Cell* set1, Cell* set2, bool case_, Cell* skip);

// Maps a char! cell, or a string! cell's code points from its head (up to the
// part limit: integer!, a position in the same string, or null/none for all),
// in place. Returns the value.
Cell* change_case(Cell* value, const Cell* part, int upper);

}  // namespace zav::string
