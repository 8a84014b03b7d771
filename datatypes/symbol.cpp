// symbol!: the symbol block and its interning table.
#include "datatypes/symbol.h"

#include <cstring>

#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace zav::symbol {

node_t block = 0;
node_t table = 0;

void init(u32 size) {
    block = alloc_cells(size);
    Cell blk;
    make_cell(&blk, TYPE_BLOCK, 0, block);
    table = hashtable::init(size, &blk, hashtable::KIND_SYMBOL, 0);
}

i32 make_from_utf8(const u8* bytes, u32 length) { return hashtable::put_symbol(table, bytes, length, false); }

i32 make(const char* name) {
    return make_from_utf8(reinterpret_cast<const u8*>(name), static_cast<u32>(std::strlen(name)));
}

i32 make_boot(const char* name) {
    return hashtable::put_symbol(table, reinterpret_cast<const u8*>(name), static_cast<u32>(std::strlen(name)), true);
}

u32 count() { return block ? GET_BUFFER(block)->length() : 0; }

Cell* get(i32 id) { return reinterpret_cast<Cell*>(GET_BUFFER(block)->head()) + (id - 1); }

const char* get_c_string(i32 id) {
    node_t name = cell_name(get(id));
    SeriesBuffer* b = GET_BUFFER(name);
    if (b->tail >= off_of(b->data_end())) b = expand_series(b, b->size + 16);
    *b->tail_ptr() = 0;
    return reinterpret_cast<const char*>(b->head());
}

i32 get_alias(i32 id) { return cell_alias(get(id)); }

i32 resolve(i32 id) {
    // Ids outside the table (none yet, or not a symbol) resolve to themselves.
    if (id < 1 || static_cast<u32>(id) > count()) return id;
    i32 alias = cell_alias(get(id));
    return alias > 0 ? alias : id;
}

}  // namespace zav::symbol
