// symbol!: interned names with their case-insensitive alias.
#pragma once
#include "runtime/cell.h"

namespace zav::symbol {

// Symbol cell: header 13, data1 alias (-1 none), data2 string cache node, data3 name node
// (UTF-8 bytes with a NUL just past the buffer's tail). The alias and the
// cache sit where a string cell keeps its head and node, so the cell read
// with data1 = 0 is a string of the name.
// (cell_alias, cell_cache and cell_name are in runtime/cell.h)

extern node_t block;  // the symbol block
extern node_t table;  // its kind-2 hash table

// Makes the symbol block and table (room for `size`); start-up calls it once.
// It interns about 1,250 names, so the default leaves room for a script's own.
void init(u32 size = 4000);
// Registers symbol! (compare only).
void init_type();
i32 make(const char* name);       // strict interning
i32 make_boot(const char* name);  // loose interning: an existing case variant is returned
i32 make_from_utf8(const u8* bytes, u32 length);
// The same with the name's hash (hashtable::symbol_hash) worked out before.
i32 make_hashed(const u8* bytes, u32 length, u32 hash);
// The string from its head, converted to UTF-8, then interned strictly.
i32 make_from_string(Cell* str);
// The symbol cell with its string cache filled.
Cell* get(i32 id);
// The symbol cell as it is (the cache may still be 0).
Cell* get_raw(i32 id);
// Fills the string cache once; returns the node of the cached string buffer.
node_t cache_string(i32 id);
const char* get_c_string(i32 id);
u32 name_length(i32 id);  // bytes of the UTF-8 name
i32 get_alias(i32 id);
i32 resolve(i32 id);
u32 count();

// Compares two names (code points) under a comparison operator: case is
// ignored except for ==, sameness and the case-sensitive sort order.
// Answers -1, 0 or 1.
i32 compare_names(i32 id1, i32 id2, i32 op);
// The compare slot of symbol!: both cells are symbol cells.
i32 compare(Cell* value1, Cell* value2, i32 op);

}  // namespace zav::symbol
