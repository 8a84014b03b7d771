// typeset! values: a set of datatypes held in the cell's 96 payload bits.
#pragma once
#include "runtime/cell.h"

namespace zav::typeset {

// Bit of type id t: (0x80 >> (t & 7)) of payload byte t >> 3.
inline u8* bits_of(Cell* ts) { return reinterpret_cast<u8*>(&ts->data1); }
inline bool has(const Cell* ts, u32 type) {
    return type < 96 && (reinterpret_cast<const u8*>(&ts->data1)[type >> 3] & (0x80 >> (type & 7)));
}
inline void add(Cell* ts, u32 type) {
    if (type < 96) bits_of(ts)[type >> 3] |= static_cast<u8>(0x80 >> (type & 7));
}

Cell* make_at(Cell* cell, u32 w1, u32 w2, u32 w3);
Cell* clear(Cell* ts);
// Appends the default typeset (every type but unset!) to a block.
Cell* make_default(Cell* blk);
// Builds the typeset of a function parameter's type block and appends it to `blk`.
Cell* make_from_block(Cell* blk, Cell* spec);
// Adds a datatype! or ORs a typeset!; a word! stands for its value.
void set_bit(Cell* ts, Cell* value);
u32 count_types(const Cell* ts);
// Fills `blk` (a new block when unset) with the datatype! values of the set bits.
Cell* to_block(Cell* ts, Cell* blk);
Cell* push(const Cell* ts);
// Set operation on the typesets at stack::arguments and the next cell: 5/9 or,
// 6/10 and, 7/12 xor, 11 exclude, 8 unique. Leaves the result in the first.
Cell* do_set_op(i32 op);
i32 mold_body(Cell* ts, Cell* buffer, bool only, bool limited, i32 part);

// The named typesets (any-word!, series!, ...): their names and members.
struct Named {
    const char* name;
    u32 w1, w2, w3;
};
u32 named_count();
const Named& named(u32 i);
// The typeset of a name, or false when there is none.
bool find_named(const char* name, Cell* out);
// Binds every named typeset to a global word.
void init_named();

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* ts, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* ts, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* ts1, Cell* ts2, i32 op);
Cell* and_t();
Cell* or_t();
Cell* xor_t();
Cell* complement(Cell* ts);
Cell* find(Cell* ts, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match);

void init();

}  // namespace zav::typeset
