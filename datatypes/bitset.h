// bitset! values: sets of non-negative integers (code points above all) kept
// as bit arrays.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav::bitset {

// Flag of the bit array's own buffer: members also include every number
// beyond the stored bytes.
constexpr u32 BITSET_NOT = 0x00080000;

// Modes of the spec walkers.
enum Mode : i32 { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };

inline node_t node_of(const Cell* bits) { return bits->data2; }
u8* zs_head(Cell* bits);
u32 byte_count(const Cell* bits);
bool complemented_q(const Cell* bits);
// Is member n in the set?
bool test(Cell* bits, u32 n);

// Makes `cell` a bitset of `bytes` bytes, all zero.
Cell* make_at(Cell* cell, u32 bytes);
// Walks a spec value: mode 0 answers the largest member seen, mode 2 whether
// all are present (1 or 0), the others 0.
i32 process_spec(Cell* spec, Cell* bits, i32 mode);
// Set operation on the bitsets at stack::arguments and the next cell (codes
// 5/6/7 or~ and~ xor~, 8 unique, 9 union, 10 intersect, 11 exclude,
// 12 difference). Leaves the result in the first cell.
Cell* do_bitwise(i32 op);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* bits, u32 field_symbol);
i32 form(Cell* bits, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* bits, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* bits1, Cell* bits2, i32 op);
Cell* negate(Cell* bits);
Cell* complement(Cell* bits);
Cell* and_t();
Cell* or_t();
Cell* xor_t();
Cell* insert(Cell* bits, Cell* value, Cell* part, bool only, Cell* dup, bool append);
Cell* clear(Cell* bits);
Cell* copy(Cell* bits, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* bits, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
i32 length_q(Cell* bits);
Cell* pick(Cell* bits, i32 index, Cell* boxed);
Cell* poke(Cell* bits, i32 index, Cell* data, Cell* boxed);
Cell* remove(Cell* bits, Cell* part, Cell* key);
Cell* modify(Cell* bits, Cell* field, Cell* value, bool case_);

void init();

}  // namespace zav::bitset
