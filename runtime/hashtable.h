// Hash tables: one open-addressing table behind hash!, map!, the symbol table,
// context word lists and node-keyed entry tables, plus a small integer table
// in low-level heap blocks.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav::hashtable {

enum Kind : u32 {
    KIND_HASH = 0,       // hash! and set operations: cell positions, duplicate keys kept
    KIND_MAP = 1,        // map!: key positions of a key/value block
    KIND_SYMBOL = 2,     // symbol table and context word lists
    KIND_INT_KEY = 3,    // 32-bit (node) keys with entries of their own
    KIND_OWNERSHIP = 4,  // as 3, for the ownership table
};

// Internal lookup key type: a string view whose third payload word, when not
// negative, limits the code points hashed and compared.
constexpr u32 TYPE_LOOKUP_KEY = 56;

// The table record, kept in a byte series of its own; a table is the node of that series.
struct Table {
    u32 size;      // live entries
    u32 aux;       // kind 0: node of the reverse index; kind 1: node of the bucket hashes; kinds 3/4: entry size in bytes
    node_t dups;   // kind 0: node of the array of duplicate lists
    node_t flags;  // 2 bits per bucket: 2 empty, 1 deleted, 0 filled
    node_t keys;   // one word per bucket
    node_t block;  // indexed block (kinds 0-2) or entry block (kinds 3/4)
    u32 occupied;  // filled or deleted buckets
    u32 buckets;   // power of two, at least 4
    u32 upper;     // occupied count at which the table grows
    u32 kind;
    u32 serial;    // collector cycles + 1 when built from node addresses, else 0
};
static_assert(sizeof(Table) == 44);

// The record of a table node. Re-read after any allocation.
[[gnu::always_inline]] inline Table* record(node_t table) { return reinterpret_cast<Table*>(GET_BUFFER(table)->head()); }

// Hashing. The seed is set once at start-up; any constant behaves the same.
extern u32 seed;
u32 murmur3(const u8* data, u32 len);
u32 hash_int(u32 value);
u32 hash_string(const Cell* str, int case_sensitive);
u32 hash_symbol(const Cell* symbol);
u32 hash_value(const Cell* value, int case_sensitive);
bool reference_key_q(const Cell* value);
u32 round_pow2(u32 n);

// Tables. `blk` is a block cell (kinds 0-2) or null; value_kind is the number
// of value cells per entry for kinds 3 and 4.
node_t init(u32 size, const Cell* blk, u32 kind, u32 value_kind);
void rehash(node_t table, i32 position, i32 step);
Cell* put(node_t table, Cell* cell);
// Worker of put: status is 2 when the table was rebuilt instead (the cell included).
Cell* put_value(node_t table, Cell* cell, int* status);
Cell* get(node_t table, Cell* key, i32 position, i32 skip, u32 op, bool last, bool reverse);
// A map! (kind 1) lookup that found nothing, and where its probe stopped:
// map_put of the same key goes straight to that bucket while the table is
// as the lookup left it (nothing put, removed, grown or collected since).
struct MapMiss {
    node_t table = 0;
    node_t flags = 0;
    u32 hash = 0, bucket = 0, cycles = 0, size = 0, occupied = 0;
};
// get for a map! table; a miss (null) fills *miss when one is given.
Cell* map_get(node_t table, Cell* key, u32 op, MapMiss* miss);
// put for a map! table of the key cell just added, after map_get missed it.
Cell* map_put(node_t table, Cell* cell, const MapMiss& miss);
// Whether a map! table takes one more key without growing (map_put of a
// key kept as it is then allocates nothing).
[[gnu::always_inline]] inline bool map_room_q(node_t table) {
    const Table* t = record(table);
    return t->occupied < t->upper;
}
// Resumes a probe from a saved bucket and step; start is the bucket the probe began at.
// bucket = -1 starts a new probe. Null at the end.
Cell* find_next(node_t table, Cell* key, i32* bucket, i32* start, i32* step);
void delete_key(node_t table, Cell* key);
void delete_(node_t table, u32 position, u32 count);
int refresh(node_t table, i32 shift, u32 position, u32 count, bool remove);
void move(node_t table, u32 destination, u32 source, u32 count);
void clear(node_t table, u32 position, u32 count);
void clear_map(node_t table);
// Debug print of a table: its deleted, then its live buckets with their stored keys.
void dump(node_t table);
node_t copy(node_t table, node_t new_block);
inline void destroy(node_t) {}
i32 put_symbol(node_t table, const u8* name, u32 length, bool loose);
// The hash put_symbol gives a name (ASCII letters lowered, under the current
// seed), and put_symbol given it: a name's hash worked out ahead of time.
u32 symbol_hash(const u8* name, u32 length);
i32 put_symbol_hashed(node_t table, const u8* name, u32 length, u32 hash);
// A context's word list of up to SMALL_WORDS words is read by scanning it,
// which is quicker than hashing: its table is the record alone (no buckets)
// until a word added takes it past that size.
constexpr u32 SMALL_WORDS = 16;
// A context's table over the word list `blk` (kind 2), its buckets made only
// when it holds, or is meant for, more than SMALL_WORDS words.
node_t init_words(u32 size, const Cell* blk);
// The index of the context word of the symbol, or -1. Given `ctx`, a word
// missing is appended (bound to ctx, its index in *out_position).
i32 get_ctx(node_t table, u32 symbol, bool case_insensitive, node_t ctx, i32* out_position);
Cell* put_int_key(node_t table, u32 key);
Cell* get_int_key(node_t table, u32 key);
Cell* delete_int_key(node_t table, u32 key);
// Rebuilds an index built from node addresses before the last collection.
void validate(node_t table);
// Collector support: marks the table's series (and, for kinds 3 and 4, each
// live entry's key node); after marking, drops kind 3 and 4 entries whose key
// node (kind 4: or owner) was not marked.
void mark(node_t table);
void sweep_entries(node_t table);

// The integer table: one 32-bit key to one 32-bit value, outside the arena.
struct IntTable {
    u32 size;
    u32* flags;
    u32* pairs;  // key, value per bucket
    u32 occupied;
    u32 buckets;
    u32 upper;
};
IntTable* make_int(u32 size);
void put_int(IntTable* t, u32 key, u32 value);
u32* get_int(IntTable* t, u32 key);    // pointer to the value, or null
i32 find_int(IntTable* t, u32 key);    // bucket, or -1
void delete_int(IntTable* t, u32 key);
u32* next_int(IntTable* t, u32* prev);  // next filled pair in bucket order; null at the end
void clear_int(IntTable* t);
void free_int(IntTable* t);
i32 resize_int(IntTable* t, u32 size);  // -1 when the buffers cannot be made (the old stay)

// The symbol block, which the symbol table registers: cell id - 1 holds
// symbol id's case-insensitive alias in its first payload word (none when
// not above 0). Until it is there every id is its own alias.
extern const node_t* alias_block;
// The case-insensitive alias of a symbol id (ids outside the table: itself).
[[gnu::always_inline]] inline i32 resolve_alias(i32 id) {
    node_t blk = alias_block ? *alias_block : 0;
    if (!blk) return id;
    SeriesBuffer* b = GET_BUFFER(blk);
    if (id < 1 || static_cast<u32>(id) > b->used_bytes() / sizeof(Cell)) return id;
    i32 alias = symbol::cell_alias(reinterpret_cast<const Cell*>(b->head()) + (id - 1));
    return alias > 0 ? alias : id;
}

// On a symbol cell: another spelling of the name (differing in case only)
// has been interned, with this symbol as its alias.
constexpr u32 SYMBOL_SPELT_OTHERWISE = 0x00010000;
// Whether a symbol id has a case variant: it is one (its alias is another
// id), or one has been interned after it. A symbol without one can match
// no other word case-insensitively, so a missed exact scan is a miss.
[[gnu::always_inline]] inline bool spelt_otherwise_q(i32 id) {
    node_t blk = alias_block ? *alias_block : 0;
    if (!blk) return true;
    SeriesBuffer* b = GET_BUFFER(blk);
    if (id < 1 || static_cast<u32>(id) > b->used_bytes() / sizeof(Cell)) return true;
    const Cell* sym = reinterpret_cast<const Cell*>(b->head()) + (id - 1);
    return symbol::cell_alias(sym) > 0 || (sym->header & SYMBOL_SPELT_OTHERWISE);
}

// Turns a key cell into the form a map stores (map! registers it).
extern void (*normalise_map_key)(Cell* key);

}  // namespace zav::hashtable
