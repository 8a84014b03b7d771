// symbol!: the symbol block and its interning table.
#include "datatypes/symbol.h"

#include <cstring>
#include <vector>

#include "datatypes/datatype.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace zav::symbol {

node_t block = 0;
node_t table = 0;

void init(u32 size) {
    block = alloc_cells(size);
    Cell blk;
    make_cell(&blk, TYPE_BLOCK, 0, block);
    table = hashtable::init(size, &blk, hashtable::KIND_SYMBOL, 0);
    hashtable::alias_block = &block;
    collector::register_marker([] {
        if (table) hashtable::mark(table);
        if (block) collector::mark_block(block);
    });
}

i32 make_from_utf8(const u8* bytes, u32 length) { return hashtable::put_symbol(table, bytes, length, false); }

i32 make_hashed(const u8* bytes, u32 length, u32 hash) {
    return hashtable::put_symbol_hashed(table, bytes, length, hash);
}

i32 make(const char* name) {
    return make_from_utf8(reinterpret_cast<const u8*>(name), static_cast<u32>(std::strlen(name)));
}

i32 make_boot(const char* name) {
    return hashtable::put_symbol(table, reinterpret_cast<const u8*>(name), static_cast<u32>(std::strlen(name)), true);
}

i32 make_from_string(Cell* str) {
    // Work on a copy of the cell so that its conversion cache is the copy's
    // business only when the caller's cell lives in a movable buffer.
    Cell s = *str;
    i32 len = -1;
    u32 before = collector::cycles;
    u8* bytes = unicode::to_utf8(&s, len);
    std::vector<u8> copy(bytes, bytes + len);  // interning allocates
    // The cache goes back to the caller's cell unless a collection ran: the
    // cell may then have moved, and the cache (held by the copy only) is dropped.
    if (s.data3 != str->data3 && collector::cycles == before) str->data3 = s.data3;
    return make_from_utf8(copy.data(), static_cast<u32>(copy.size()));
}

u32 count() { return block ? GET_BUFFER(block)->length() : 0; }

Cell* get_raw(i32 id) { return reinterpret_cast<Cell*>(GET_BUFFER(block)->head()) + (id - 1); }

node_t cache_string(i32 id) {
    node_t cache = cell_cache(get_raw(id));
    if (cache) return cache;
    SeriesBuffer* nb = GET_BUFFER(cell_name(get_raw(id)));
    std::vector<u8> name(nb->head(), nb->head() + nb->used_bytes());
    cache = unicode::load_utf8_new(name.data(), static_cast<u32>(name.size()));
    get_raw(id)->data2 = cache;
    return cache;
}

Cell* get(i32 id) {
    cache_string(id);
    return get_raw(id);
}

const char* get_c_string(i32 id) {
    node_t name = cell_name(get_raw(id));
    SeriesBuffer* b = GET_BUFFER(name);
    if (b->tail >= off_of(b->data_end())) b = expand_series(b, b->size + 16);
    *b->tail_ptr() = 0;
    return reinterpret_cast<const char*>(b->head());
}

u32 name_length(i32 id) { return GET_BUFFER(cell_name(get_raw(id)))->used_bytes(); }

i32 get_alias(i32 id) { return cell_alias(get_raw(id)); }

// Ids outside the table (none yet, or not a symbol) resolve to themselves.
i32 resolve(i32 id) { return hashtable::resolve_alias(id); }

namespace {

u32 char_at(SeriesBuffer* b, u32 i) {
    u32 unit = b->unit();
    return unit == 1 ? b->head()[i] : unit == 2 ? reinterpret_cast<u16*>(b->head())[i] : reinterpret_cast<u32*>(b->head())[i];
}

}  // namespace

i32 compare_names(i32 id1, i32 id2, i32 op) {
    if (id1 == id2) return 0;
    cache_string(id1);
    cache_string(id2);
    SeriesBuffer* a = GET_BUFFER(cell_cache(get_raw(id1)));
    SeriesBuffer* b = GET_BUFFER(cell_cache(get_raw(id2)));
    bool exact = op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_CASE_SORT || op == COMP_STRICT_EQUAL_WORD;
    u32 la = a->length(), lb = b->length();
    u32 n = la < lb ? la : lb;
    for (u32 i = 0; i < n; i++) {
        u32 c1 = char_at(a, i), c2 = char_at(b, i);
        if (!exact) {
            c1 = case_folding::to_upper(c1);
            c2 = case_folding::to_upper(c2);
        }
        if (c1 != c2) return c1 < c2 ? -1 : 1;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_SYMBOL_ID) return -2;
    // The cells live in the symbol block: find their ids by position.
    Cell* base = get_raw(1);
    i32 id1 = static_cast<i32>(value1 - base) + 1;
    i32 id2 = static_cast<i32>(value2 - base) + 1;
    i32 n = static_cast<i32>(count());
    if (id1 < 1 || id1 > n || id2 < 1 || id2 > n) return -2;
    return compare_names(id1, id2, op);
}

void init_type() {
    datatype::register_type(TYPE_SYMBOL_ID, 0, "symbol!", {
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::symbol
