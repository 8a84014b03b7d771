// map! and hash!: what the hash tables, the lexer, the loops and the
// natives call of them, and their action slots.
#pragma once
#include "runtime/cell.h"

namespace zav::map {

// The key types a map accepts.
bool valid_key_type_q(u32 type);
// Turns a key cell into the form a map stores: strings and binaries get a
// private copy of their series from the head, words become set-words, scalar
// keys stay; any other datatype raises script invalid-path.
void normalise_key(Cell* key);

// Writes a map! into `cell` over the key/value block `blk` (a new block of
// `size` cells when 0) with a new table indexing it; duplicate keys collapse,
// the last value winning. `cell` must be rooted.
Cell* make_at(Cell* cell, node_t blk, u32 size);
node_t get_table(const Cell* map);
// Live pairs.
u32 length_of(const Cell* map);
// Stores value under key (a new key goes to the tail; a removed one comes back in place).
Cell* set_value(Cell* map, Cell* key, Cell* value, bool case_, Cell* path = nullptr);

// foreach over a map: sets the first of the words to the next live key (as a
// word), the second to its value, any others to none; the map cell's head
// index counts the pairs. False at the end.
bool foreach_next(Cell* words, Cell* map, i32 n);
// Adds or updates the key/value pairs of a block!, hash! or map! spec.
void extend(Cell* map, Cell* spec, bool case_);

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* map, u32 field_symbol);
i32 form(Cell* map, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* map, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* m1, Cell* m2, i32 op);
Cell* clear(Cell* map);
Cell* copy(Cell* map, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* map, Cell* key, Cell* value, bool case_);
Cell* select(Cell* map, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);

void init();

}  // namespace zav::map

namespace zav::hash {

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* copy(Cell* hash, Cell* result, Cell* part, bool deep, Cell* types);
i32 mold(Cell* hash, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

void init();

}  // namespace zav::hash
