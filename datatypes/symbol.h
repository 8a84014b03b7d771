// symbol!: interned names with their case-insensitive alias.
#pragma once
#include "datatypes/cell.h"

namespace zav::symbol {

// Symbol cell: header 13, data1 alias (-1 none), data2 string cache node, data3 name node
// (UTF-8 bytes with a NUL just past the buffer's tail).
inline i32 cell_alias(const Cell* c) { return static_cast<i32>(c->data1); }
inline node_t cell_name(const Cell* c) { return c->data3; }

extern node_t block;  // the symbol block
extern node_t table;  // its kind-2 hash table

// Makes the symbol block and table (room for `size`); start-up calls it once.
void init(u32 size = 4000);
i32 make(const char* name);       // strict interning
i32 make_boot(const char* name);  // loose interning: an existing case variant is returned
i32 make_from_utf8(const u8* bytes, u32 length);
Cell* get(i32 id);                // the symbol cell (string cache not filled yet)
const char* get_c_string(i32 id);
i32 get_alias(i32 id);
i32 resolve(i32 id);
u32 count();

}  // namespace zav::symbol
