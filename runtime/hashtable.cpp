// Hash tables: open addressing with 2-bit bucket flags and triangular probing.
#include "runtime/hashtable.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/rt.h"
#include "runtime/platform/virtual_memory.h"

namespace zav::hashtable {

const node_t* alias_block = nullptr;

void (*normalise_map_key)(Cell* key) = nullptr;


u32 seed = 0x5A4B3C2D;

namespace {

// Buckets are grown when 77% of them are filled or deleted: low enough to keep
// triangular probe sequences short, high enough to waste little memory.
constexpr double LOAD = 0.77;
// refresh refuses larger ranges, where rehashing entry by entry costs more
// than the caller's rebuilding of the whole index.
constexpr u32 REFRESH_MAX = 30000;
constexpr u32 NONE32 = 0xFFFFFFFF;

constexpr u32 FLAG_EMPTY = 2;
constexpr u32 FLAG_DELETED = 1;
constexpr u32 FLAG_FILLED = 0;

Table* T(node_t n) { return reinterpret_cast<Table*>(GET_BUFFER(n)->head()); }
u32* words_of(node_t n) { return reinterpret_cast<u32*>(GET_BUFFER(n)->head()); }
Cell* cells_of(node_t n) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()); }
u32 cell_count(node_t n) { return n ? GET_BUFFER(n)->length() : 0; }

u32 flag_at(const u32* f, u32 i) { return (f[i >> 4] >> ((i & 15) << 1)) & 3; }
void set_flag(u32* f, u32 i, u32 v) {
    u32 s = (i & 15) << 1;
    f[i >> 4] = (f[i >> 4] & ~(3u << s)) | (v << s);
}

// The next bucket of a probe sequence: triangular steps (each bucket once
// per turn of a power-of-two table) scaled by an odd stride below 16 from
// the hash's high bits. Keys with neighbouring home buckets (integers,
// hashed in runs) then leave a collision along different paths instead of
// lengthening one cluster that every later neighbour must walk, while the
// first steps stay near the home bucket's cache lines.
inline u32 probe_stride(u32 h) { return (h >> 16 & 15) | 1; }
inline u32 next_bucket(u32 b, u32* i, u32 stride, u32 mask) { return (b + ++*i * stride) & mask; }

u32 rotl(u32 x, int r) { return (x << r) | (x >> (32 - r)); }

u32 fmix32(u32 h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

// Integers and chars: runs of 64 neighbouring numbers take neighbouring
// buckets (the runs themselves are scattered), so that counting keys stay in cache.
u32 number_hash(u32 v) { return fmix32(v & ~63u) + (v & 63u); }

constexpr u32 C1 = 0xCC9E2D51;
constexpr u32 C2 = 0x1B873593;

u32 mix_block(u32 h, u32 k) {
    k *= C1;
    k = rotl(k, 15);
    k *= C2;
    h ^= k;
    h = rotl(h, 13);
    return h * 5 + 0xE6546B64;
}

// A text's hash from its code points, the same whatever their unit. The
// code points go eight at a time: their low bytes packed into one word, and
// what lies above them (none in most text) gathered into a second. Each word
// costs an exclusive or and a multiply by an odd number: both steps are
// invertible, so texts of one length that differ leave different 64-bit
// states, which the final mix spreads over the 32 bits kept.
constexpr u64 HASH_STEP = 0x9E3779B97F4A7C15ull;
[[gnu::always_inline]] inline u64 hash_chunk(u64 h, u64 low, u64 high) {
    h = (h ^ low) * HASH_STEP;
    return high ? (h ^ high) * HASH_STEP : h;
}
[[gnu::always_inline]] inline u64 hash_start(u32 len) { return (u64(seed) << 32) ^ len; }
[[gnu::always_inline]] inline u32 hash_end(u64 h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<u32>(h);
}

// The chunk of `n` (1 to 8) code points from `i`, folded when asked.
template <class Read>
[[gnu::always_inline]] inline u64 hash_points(u64 h, u32 i, u32 n, bool fold, Read read) {
    u64 low = 0, high = 0;
    for (u32 k = 0; k < n; k++) {
        u32 cp = read(i + k);
        if (fold) cp = case_folding::to_lower(cp);
        low |= u64(cp & 0xFF) << (8 * k);
        high = high * 31 + (cp >> 8);
    }
    return hash_chunk(h, low, high);
}

template <class Read>
u32 hash_code_points(u32 len, bool fold, Read read) {
    u64 h = hash_start(len);
    for (u32 i = 0; i < len; i += 8) h = hash_points(h, i, std::min(8u, len - i), fold, read);
    return hash_end(h);
}

// The same hash of text of one byte per code point, eight bytes read as one
// word: below 0x80 each (the commonest text) its letters are lowered all at
// once, 'A' to 'Z' gaining 0x20 as case folding gives them.
[[gnu::always_inline]] inline u64 lowered_ascii(u64 x) {
    constexpr u64 ones = 0x0101010101010101ull;
    const u64 upper = ((x + 0x3F * ones) ^ (x + 0x25 * ones)) & 0x80 * ones;
    return x | upper >> 2;
}
[[gnu::always_inline]] inline u32 hash_narrow(const u8* p, u32 len, bool fold) {
    constexpr u64 high_bits = 0x8080808080808080ull;
    auto byte = [p](u32 i) { return u32(p[i]); };
    u64 h = hash_start(len);
    u32 i = 0;
    for (; i + 8 <= len; i += 8) {
        u64 x;
        std::memcpy(&x, p + i, 8);
        if (x & high_bits) h = hash_points(h, i, 8, fold, byte);
        else h = hash_chunk(h, fold ? lowered_ascii(x) : x, 0);
    }
    if (i < len) {
        // The last one to seven bytes in at most three reads.
        const u32 n = len - i;
        u64 x = 0;
        u32 at = 0;
        if (n & 4) {
            u32 v;
            std::memcpy(&v, p + i, 4);
            x = v;
            at = 4;
        }
        if (n & 2) {
            u16 v;
            std::memcpy(&v, p + i + at, 2);
            x |= u64(v) << (8 * at);
            at += 2;
        }
        if (n & 1) x |= u64(p[i + at]) << (8 * at);
        if (x & high_bits) h = hash_points(h, i, len - i, fold, byte);
        else h = hash_chunk(h, fold ? lowered_ascii(x) : x, 0);
    }
    return hash_end(h);
}

// ---- private readers of strings (code points from a series buffer) ----------

struct Text {
    const u8* p;
    u32 unit;
    u32 len;
    u32 at(u32 i) const {
        switch (unit) {
            case 2: { u16 v; std::memcpy(&v, p + i * 2, 2); return v; }
            case 4: { u32 v; std::memcpy(&v, p + i * 4, 4); return v; }
            default: return p[i];
        }
    }
};

// Inline: a string key's lookup reads the texts of both keys and hashes one.
[[gnu::always_inline]] inline Text text_of(const Cell* c) {
    SeriesBuffer* b = GET_BUFFER(series_node(c));
    u32 unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) {
        // An unknown unit is an internal fault; it is read as bytes.
        unit = 1;
    }
    u32 len = b->used_bytes() >> (unit >> 1);  // unit 1, 2 or 4: no division
    u32 head = std::min(series_head(c), len);
    Text t{b->head() + head * unit, unit, len - head};
    if (TYPE_OF(c) == TYPE_LOOKUP_KEY && static_cast<i32>(c->data3) >= 0) t.len = std::min(t.len, c->data3);
    return t;
}

bool is_any_word(u32 t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD ||
           t == TYPE_REFINEMENT || t == TYPE_ISSUE;
}

// Short keys (most words, most names) compared in place, in two loads from
// each end that overlap, rather than by the library call.
[[gnu::always_inline]] inline bool same_bytes(const u8* a, const u8* b, u64 n) {
    auto two = [&](auto word) {
        decltype(word) a0, a1, b0, b1;
        std::memcpy(&a0, a, sizeof word);
        std::memcpy(&b0, b, sizeof word);
        std::memcpy(&a1, a + n - sizeof word, sizeof word);
        std::memcpy(&b1, b + n - sizeof word, sizeof word);
        return !((a0 ^ b0) | (a1 ^ b1));
    };
    if (n >= 8) return n <= 16 ? two(u64{}) : std::memcmp(a, b, n) == 0;
    if (n >= 4) return two(u32{});
    for (u64 i = 0; i < n; i++)
        if (a[i] != b[i]) return false;
    return true;
}

bool text_equal(const Text& a, const Text& b, bool strict) {
    if (a.len != b.len) return false;
    // In the same unit, equal bytes are equal text; and different bytes
    // differ strictly.
    if (a.unit == b.unit) {
        if (same_bytes(a.p, b.p, u64(a.len) * a.unit)) return true;
        if (strict) return false;
    }
    for (u32 i = 0; i < a.len; i++) {
        u32 x = a.at(i), y = b.at(i);
        if (x == y) continue;
        if (strict || case_folding::to_lower(x) != case_folding::to_lower(y)) return false;
    }
    return true;
}

// Value equality for the keys of kinds 0 and 1, with the compare action's
// operator codes (0 equal, 2 strict, 9 same, 10/11 word variants, 12 find).
// It compares cells and buffers itself, so that it agrees with hash_value and
// a probe runs no datatype code.
bool values_equal(const Cell* a, const Cell* key, u32 op) {
    u32 ta = TYPE_OF(a), tk = TYPE_OF(key);
    bool strict = op == 2 || op == 8 || op == 9;
    if (tk == TYPE_LOOKUP_KEY) return string::any_string_q(ta) && text_equal(text_of(a), text_of(key), strict);
    if (is_any_word(ta) && is_any_word(tk) && (ta == TYPE_ISSUE) == (tk == TYPE_ISSUE)) {
        i32 sa = static_cast<i32>(a->data2), sk = static_cast<i32>(key->data2);
        switch (op) {
            case 9: return ta == tk && sa == sk && a->data1 == key->data1;
            case 2: case 8: case 10: return ta == tk && sa == sk;
            case 11: return ta == tk && resolve_alias(sa) == resolve_alias(sk);
            default: return resolve_alias(sa) == resolve_alias(sk);
        }
    }
    if (ta != tk) return false;
    switch (ta) {
        case TYPE_NONE: case TYPE_UNSET: return true;
        case TYPE_LOGIC: case TYPE_DATATYPE: return a->data1 == key->data1;
        case TYPE_INTEGER: return a->data2 == key->data2;
        case TYPE_CHAR:
            return a->data2 == key->data2 ||
                   (!strict && case_folding::to_lower(a->data2) == case_folding::to_lower(key->data2));
        case TYPE_FLOAT: case TYPE_PERCENT: return cell_float(a) == cell_float(key);
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            if (op == 9) return a->data1 == key->data1 && a->data2 == key->data2;
            return text_equal(text_of(a), text_of(key), strict);
        case TYPE_BINARY: {
            if (op == 9) return a->data1 == key->data1 && a->data2 == key->data2;
            SeriesBuffer* ba = GET_BUFFER(series_node(a));
            SeriesBuffer* bk = GET_BUFFER(series_node(key));
            u32 la = ba->used_bytes(), lk = bk->used_bytes();
            u32 ha = std::min(series_head(a), la), hk = std::min(series_head(key), lk);
            return la - ha == lk - hk && std::memcmp(ba->head() + ha, bk->head() + hk, la - ha) == 0;
        }
        default: return a->data1 == key->data1 && a->data2 == key->data2 && a->data3 == key->data3;
    }
}

bool same_type_or_lookup(const Cell* c, const Cell* key) {
    return TYPE_OF(key) == TYPE_LOOKUP_KEY || TYPE_OF(c) == TYPE_OF(key);
}

// ---- small growable arrays of 32-bit words ---------------------------------

node_t new_words(u32 n) { return alloc_series(n ? n : 4, 4, 0); }

void append_word(node_t node, u32 v) {
    SeriesBuffer* b = GET_BUFFER(node);
    if (b->tail + 4 > off_of(b->data_end())) b = expand_series(b, 0);
    std::memcpy(b->tail_ptr(), &v, 4);
    b->tail += 4;
}

u32 words_length(node_t node) { return GET_BUFFER(node)->used_bytes() / 4; }

// Removes the first element equal to v; false when absent.
bool remove_word(node_t node, u32 v) {
    SeriesBuffer* b = GET_BUFFER(node);
    u32* w = reinterpret_cast<u32*>(b->head());
    u32 n = b->used_bytes() / 4;
    for (u32 i = 0; i < n; i++) {
        if (w[i] != v) continue;
        std::memmove(w + i, w + i + 1, (n - i - 1) * 4);
        b->tail -= 4;
        return true;
    }
    return false;
}

node_t new_flags(u32 buckets) {
    u32 bytes = std::max<u32>(buckets / 4, 4);
    node_t n = alloc_bytes_filled(bytes, 0xAA);
    SeriesBuffer* b = GET_BUFFER(n);
    b->tail = b->offset + bytes;
    return n;
}

void empty_flags(node_t flags) {
    SeriesBuffer* b = GET_BUFFER(flags);
    std::memset(b->head(), 0xAA, b->used_bytes());
}

node_t new_keys(u32 buckets) {
    node_t n = alloc_series(buckets, 4, 0);
    SeriesBuffer* b = GET_BUFFER(n);
    b->tail = b->offset + buckets * 4;
    return n;
}

// Gives a word-keyed table fresh empty buckets; the caller keeps the table rooted.
Table* give_buckets(node_t table, u32 buckets, u32 upper) {
    node_t flags = new_flags(buckets);
    collector::Guard flags_root(flags);
    node_t keys = new_keys(buckets);
    Table* t = T(table);
    t->flags = flags;
    t->keys = keys;
    t->buckets = buckets;
    t->upper = upper;
    return t;
}

// ---- kind 1: buckets of a map --------------------------------------------------

// A map bucket keeps its key's hash beside the key's position, so a probe
// reads one 8-byte slot per bucket tried and tells empty and other keys'
// buckets apart there: the flags are kept for the generic code but not read
// by a map's probes. A stored hash has its top bit set (the bucket and the
// probe stride come from lower bits), so 0 and 1 are free to mark an empty
// and a deleted bucket.
struct MapSlot {
    u32 hash;
    u32 pos;
};
constexpr u32 SLOT_EMPTY = 0;
constexpr u32 SLOT_DELETED = 1;
constexpr u32 MAP_HASH_BIT = 0x80000000u;
inline u32 map_hash(u32 h) { return h | MAP_HASH_BIT; }

MapSlot* slots_of(node_t keys) { return reinterpret_cast<MapSlot*>(GET_BUFFER(keys)->head()); }

node_t new_slots(u32 buckets) {
    node_t n = alloc_bytes_filled(buckets * sizeof(MapSlot), 0);
    SeriesBuffer* b = GET_BUFFER(n);
    b->tail = b->offset + buckets * sizeof(MapSlot);
    return n;
}

void empty_slots(node_t keys) {
    SeriesBuffer* b = GET_BUFFER(keys);
    std::memset(b->head(), 0, b->used_bytes());
}

// The block position a bucket indexes, whatever the table's kind.
u32 key_position(const Table* t, u32 bucket) {
    return t->kind == KIND_MAP ? slots_of(t->keys)[bucket].pos : words_of(t->keys)[bucket];
}

// ---- kind 0: reverse index and duplicate lists -------------------------------

u32 rev_length(node_t t) { return GET_BUFFER(T(t)->aux)->used_bytes() / 4; }

// Makes the reverse index hold at least n words (new words are -1).
void rev_reserve(node_t table, u32 n) {
    SeriesBuffer* b = GET_BUFFER(T(table)->aux);
    if (b->used_bytes() / 4 >= n) return;
    if (u64(n) * 4 > b->size) {
        u64 want = std::max<u64>(u64(b->size) * 2, u64(n) * 4);
        if (want > 0x7FFFFFFF) fire("internal", "no-memory");
        b = expand_series_filled(b, static_cast<u32>(want), 0xFF);
    }
    std::memset(b->tail_ptr(), 0xFF, off_of(b->data_end()) - b->tail);
    b->tail = off_of(b->data_end());
}

u32* rev_of(node_t table) { return words_of(T(table)->aux); }

node_t list_node(node_t table, i32 content) { return words_of(T(table)->dups)[-content - 1]; }

// Positions indexed under one bucket of kind 0.
void bucket_positions(node_t table, u32 bucket, std::vector<u32>& out) {
    out.clear();
    i32 k = static_cast<i32>(words_of(T(table)->keys)[bucket]);
    if (k >= 0) {
        out.push_back(static_cast<u32>(k));
        return;
    }
    node_t list = list_node(table, k);
    if (!list) return;
    u32 n = words_length(list);
    u32* w = words_of(list);
    out.assign(w, w + n);
}

u32 first_position(node_t table, u32 bucket) {
    i32 k = static_cast<i32>(words_of(T(table)->keys)[bucket]);
    if (k >= 0) return static_cast<u32>(k);
    node_t list = list_node(table, k);
    return list && words_length(list) ? words_of(list)[0] : NONE32;
}

// Takes one position out of the kind-0 index.
void unindex(node_t table, u32 pos) {
    if (pos >= rev_length(table)) return;
    u32 r = rev_of(table)[pos];
    if (r == NONE32) return;
    u32 bucket = r - 1;
    Table* t = T(table);
    i32 k = static_cast<i32>(words_of(t->keys)[bucket]);
    if (k >= 0) {
        set_flag(words_of(t->flags), bucket, FLAG_DELETED);
    } else {
        node_t list = list_node(table, k);
        if (list) {
            remove_word(list, pos);
            if (words_length(list) == 0) {
                set_flag(words_of(t->flags), bucket, FLAG_DELETED);
                words_of(t->dups)[-k - 1] = 0;  // released
            }
        }
    }
    rev_of(table)[pos] = NONE32;
    t->size--;
}

// Inserts position pos of the block into a kind-0 index, without a growth check.
void index_kind0(node_t table, u32 pos) {
    rev_reserve(table, pos + 1);
    if (rev_of(table)[pos] != NONE32) return;  // already indexed
    Table* t = T(table);
    Cell* key = cells_of(t->block) + pos;
    if (!t->serial && reference_key_q(key)) t->serial = collector::cycles + 1;
    u32 h = hash_value(key, 0);
    u32 mask = t->buckets - 1, b = h & mask, start = b, i = 0, stride = probe_stride(h);
    i32 deleted = -1, found = -1;
    u32* flags = words_of(t->flags);
    for (;;) {
        u32 f = flag_at(flags, b);
        if (f == FLAG_EMPTY) break;
        if (f == FLAG_DELETED) {
            deleted = static_cast<i32>(b);
        } else {
            u32 first = first_position(table, b);
            Cell* c = cells_of(t->block) + first;
            if (TYPE_OF(c) == TYPE_OF(key) && values_equal(c, key, 0)) {
                found = static_cast<i32>(b);
                break;
            }
        }
        b = next_bucket(b, &i, stride, mask);
        if (b == start) {
            b = deleted >= 0 ? static_cast<u32>(deleted) : NONE32;
            break;
        }
    }
    if (found >= 0) {
        i32 k = static_cast<i32>(words_of(t->keys)[found]);
        if (k >= 0) {
            node_t list = new_words(4);
            collector::Guard list_root(list);
            append_word(list, static_cast<u32>(k));
            append_word(list, pos);
            append_word(T(table)->dups, list);
            t = T(table);
            words_of(t->keys)[found] = static_cast<u32>(-static_cast<i32>(words_length(t->dups)));
        } else {
            append_word(list_node(table, k), pos);
            t = T(table);
        }
        b = static_cast<u32>(found);
    } else {
        if (b == NONE32) return;  // cannot happen below the load limit
        if (flag_at(words_of(t->flags), b) == FLAG_EMPTY) t->occupied++;
        set_flag(words_of(t->flags), b, FLAG_FILLED);
        words_of(t->keys)[b] = pos;
    }
    t->size++;
    rev_of(table)[pos] = b + 1;
}

// Rebuilds a kind-0 index from its whole block, sized from n.
void rebuild_kind0(node_t table, u32 n) {
    u32 len = cell_count(T(table)->block);
    u32 buckets = std::max<u32>(round_pow2(static_cast<u32>(n * 1.5)), 4);
    u32 upper = static_cast<u32>(buckets * LOAD);
    while (upper <= len) {  // the whole block must fit below the load limit
        buckets *= 2;
        upper = static_cast<u32>(buckets * LOAD);
    }
    Table* t = give_buckets(table, buckets, upper);
    t->size = t->occupied = 0;
    bool had_serial = t->serial != 0;
    t->serial = 0;
    SeriesBuffer* d = GET_BUFFER(t->dups);
    d->tail = d->offset;
    SeriesBuffer* r = GET_BUFFER(t->aux);
    std::memset(r->head(), 0xFF, r->used_bytes());
    for (u32 p = 0; p < len; p++) index_kind0(table, p);
    if (had_serial) T(table)->serial = collector::cycles + 1;
}

// ---- kinds 1 to 4: growth ------------------------------------------------------

// First empty bucket of h's probe sequence.
u32 empty_bucket(const u32* flags, u32 buckets, u32 h) {
    u32 mask = buckets - 1, b = h & mask, i = 0, stride = probe_stride(h);
    while (flag_at(flags, b) != FLAG_EMPTY) b = next_bucket(b, &i, stride, mask);
    return b;
}

void resize(node_t table, u32 new_size) {
    Table* t = T(table);
    u32 buckets = std::max<u32>(round_pow2(new_size), 4);
    u32 upper = static_cast<u32>(buckets * LOAD + 0.5);
    if (t->size >= upper) return;
    const bool map = t->kind == KIND_MAP;
    node_t flags = new_flags(buckets);
    collector::Guard flags_root(flags);
    node_t keys = map ? new_slots(buckets) : new_keys(buckets);
    collector::Guard keys_root(keys);
    t = T(table);
    if (map) {
        // The stored hashes place the keys again without hashing them.
        const MapSlot* old = slots_of(t->keys);
        MapSlot* slots = slots_of(keys);
        u32* f = words_of(flags);
        for (u32 b = 0; b < t->buckets; b++) {
            if (!(old[b].hash & MAP_HASH_BIT)) continue;
            u32 nbk = empty_bucket(f, buckets, old[b].hash);
            set_flag(f, nbk, FLAG_FILLED);
            slots[nbk] = old[b];
        }
    } else if (t->kind >= KIND_INT_KEY) {
        // Compact the entry block: live entries only, in block order.
        u32 esize = t->aux;
        node_t old_block = t->block;
        node_t block = alloc_series(std::max<u32>(t->size, 1) * (esize / 16), 16, 0);
        t = T(table);
        SeriesBuffer* ob = GET_BUFFER(old_block);
        SeriesBuffer* nb = GET_BUFFER(block);
        u32* f = words_of(flags);
        u32* k = words_of(keys);
        for (u32 off = 0; off + esize <= ob->used_bytes(); off += esize) {
            Cell* e = reinterpret_cast<Cell*>(ob->head() + off);
            if (e->header != 2) continue;
            u32 noff = nb->used_bytes();
            std::memcpy(nb->tail_ptr(), e, esize);
            nb->tail += esize;
            u32 b = empty_bucket(f, buckets, hash_int(e->data1));
            set_flag(f, b, FLAG_FILLED);
            k[b] = noff;
        }
        t->block = block;
    } else {
        u32* of = words_of(t->flags);
        u32* ok = words_of(t->keys);
        u32* f = words_of(flags);
        u32* k = words_of(keys);
        Cell* cells = cells_of(t->block);
        for (u32 b = 0; b < t->buckets; b++) {
            if (flag_at(of, b) != FLAG_FILLED) continue;
            u32 nbk = empty_bucket(f, buckets, hash_value(cells + ok[b], 0));
            set_flag(f, nbk, FLAG_FILLED);
            k[nbk] = ok[b];
        }
    }
    t->flags = flags;
    t->keys = keys;
    t->buckets = buckets;
    t->upper = upper;
    t->occupied = t->size;
}

// Growth before an insertion (kinds 1 to 4).
void grow_if(node_t table) {
    Table* t = T(table);
    if (t->occupied < t->upper) return;
    u32 n = (t->kind != KIND_MAP && t->size * 2 < t->buckets) ? t->buckets - 1 : t->buckets + 1;
    resize(table, t->kind == KIND_SYMBOL ? n * 16 : n);
}

u32 kind0_growth_base(Table* t) { return t->size * 2 < t->buckets ? t->buckets - 1 : t->buckets + 1; }

// Probe for an insertion: the matching bucket, else the empty bucket where the
// probe stopped, else (after a full turn) the last deleted bucket seen.
template <class Match>
u32 probe_insert(node_t table, u32 h, Match match, bool* found) {
    Table* t = T(table);
    u32* flags = words_of(t->flags);
    u32 mask = t->buckets - 1, b = h & mask, start = b, i = 0, stride = probe_stride(h);
    i32 deleted = -1;
    *found = false;
    for (;;) {
        u32 f = flag_at(flags, b);
        if (f == FLAG_EMPTY) return b;
        if (f == FLAG_DELETED) {
            deleted = static_cast<i32>(b);
        } else if (match(b)) {
            *found = true;
            return b;
        }
        b = next_bucket(b, &i, stride, mask);
        if (b == start) return static_cast<u32>(deleted);
    }
}

// Probe for a lookup: the first filled bucket that matches, or -1.
template <class Match>
i32 probe_find(node_t table, u32 h, Match match, u32* empty_at = nullptr) {
    // Lookups never allocate, so the flags buffer stays put during the probe.
    Table* t = T(table);
    const u32* flags = words_of(t->flags);
    u32 mask = t->buckets - 1, b = h & mask, start = b, i = 0, stride = probe_stride(h);
    for (;;) {
        u32 f = flag_at(flags, b);
        if (f == FLAG_EMPTY) {
            if (empty_at) *empty_at = b;
            return -1;
        }
        if (f == FLAG_FILLED && match(b)) return static_cast<i32>(b);
        b = next_bucket(b, &i, stride, mask);
        if (b == start) return -1;
    }
}

[[gnu::always_inline]] inline void fill_bucket(node_t table, u32 b, u32 content) {
    Table* t = T(table);
    u32* flags = words_of(t->flags);
    if (flag_at(flags, b) == FLAG_EMPTY) t->occupied++;
    set_flag(flags, b, FLAG_FILLED);
    words_of(t->keys)[b] = content;
    t->size++;
}

bool is_map_word(u32 type) {
    return type == TYPE_WORD || type == TYPE_LIT_WORD || type == TYPE_GET_WORD || type == TYPE_SET_WORD;
}

// A map's probe for a key of map hash `h` that `match` tells (given a key
// cell whose bucket has the same hash): the bucket, or -1. A miss at an
// empty bucket fills *miss, when given, for map_put; *free_at, when given,
// learns the bucket a new key would take: that empty one, or after a full
// turn the last deleted one seen.
template <class Match>
[[gnu::always_inline]] inline i32 map_probe(node_t table, u32 h, MapMiss* miss, Match match, u32* free_at = nullptr) {
    // Lookups never allocate: the table's buffers stay put during the probe.
    const Table* t = T(table);
    const MapSlot* slots = slots_of(t->keys);
    const Cell* cells = cells_of(t->block);
    const u32 mask = t->buckets - 1, stride = probe_stride(h), start = h & mask;
    u32 b = start, i = 0, deleted = NONE32;
    for (;;) {
        const MapSlot s = slots[b];
        if (s.hash == h && match(cells + s.pos)) break;
        if (s.hash == SLOT_EMPTY) {
            if (miss) *miss = MapMiss{table, t->flags, h, b, collector::cycles, t->size, t->occupied};
            if (free_at) *free_at = b;
            return -1;
        }
        if (free_at && s.hash == SLOT_DELETED) deleted = b;
        b = next_bucket(b, &i, stride, mask);
        if (b == start) {
            if (free_at) *free_at = deleted;
            b = NONE32;
            break;
        }
    }
    if (miss) *miss = MapMiss{};
    return static_cast<i32>(b);
}

// The commonest keys, found without the generic key's handling: an integer
// compared in place; a string! of one byte per code point hashed in place,
// a key of the same bytes found at once (equal bytes are equal text in every
// mode but sameness) and any other string compared as text.
[[gnu::always_inline]] inline i32 map_find_int(node_t table, u32 v, MapMiss* miss) {
    return map_probe(table, map_hash(number_hash(v)), miss,
                     [&](const Cell* c) { return TYPE_OF(c) == TYPE_INTEGER && c->data2 == v; });
}

[[gnu::always_inline]] inline i32 map_find_text(node_t table, const Text& k, bool strict, MapMiss* miss) {
    const u32 h = map_hash(hash_narrow(k.p, k.len, true));
    return map_probe(table, h, miss, [&](const Cell* c) {
        if (TYPE_OF(c) != TYPE_STRING) return false;
        const Text ct = text_of(c);
        if (ct.unit == 1 && ct.len == k.len && same_bytes(ct.p, k.p, k.len)) return true;
        return text_equal(ct, k, strict);
    });
}

// Kind-1 lookup of a key (word keys as set-words), strict equality: the bucket or -1.
// A miss that stopped at an empty bucket fills *miss, when given.
i32 map_find(node_t table, Cell* key, u32 op, MapMiss* miss = nullptr) {
    if (TYPE_OF(key) == TYPE_INTEGER) return map_find_int(table, key->data2, miss);
    if (TYPE_OF(key) == TYPE_STRING && op != 9) {
        const Text k = text_of(key);
        if (k.unit == 1) return map_find_text(table, k, op == 2 || op == 8, miss);
    }
    u32 saved = key->header;
    if (is_map_word(TYPE_OF(key))) set_type(key, TYPE_SET_WORD);
    i32 b = map_probe(table, map_hash(hash_value(key, 0)), miss,
                      [&](const Cell* c) { return same_type_or_lookup(c, key) && values_equal(c, key, op); });
    key->header = saved;
    return b;
}

// The bucket a MapMiss saw, when the table is still as it was then.
bool miss_holds(node_t table, const MapMiss& miss) {
    const Table* t = T(table);
    return miss.table == table && miss.flags == t->flags && miss.cycles == collector::cycles &&
           miss.size == t->size && miss.occupied == t->occupied;
}

// Indexes the key at `pos` of a map's block; `miss` (or null) from the
// lookup of the same key that found nothing.
Cell* map_insert(node_t table, u32 pos, const MapMiss* miss) {
    grow_if(table);
    // An integer key is stored as it is; other keys may need their form.
    if (TYPE_OF(cells_of(T(table)->block) + pos) != TYPE_INTEGER) {
        // Normalising may copy the key's series, which can move the block: work on a copy.
        Cell k = cells_of(T(table)->block)[pos];
        normalise_map_key(&k);
        cells_of(T(table)->block)[pos] = k;
    }
    // Nothing below allocates: the table's buffers stay put.
    Table* t = T(table);
    Cell* key = cells_of(t->block) + pos;
    MapSlot* slots = slots_of(t->keys);
    u32 h, b = NONE32;
    if (miss && miss_holds(table, *miss)) {
        // The same key, so the same hash; with nothing changed since, its
        // probe would walk the same buckets to the same empty one.
        h = miss->hash;
        b = miss->bucket;
    } else {
        // The matching bucket takes the new position; else the key goes
        // where the probe says a new one goes.
        h = map_hash(hash_value(key, 0));
        const i32 found = map_probe(
            table, h, nullptr, [&](const Cell* c) { return TYPE_OF(c) == TYPE_OF(key) && values_equal(c, key, 2); },
            &b);
        if (found >= 0) {
            slots[found].pos = pos;
            return key;
        }
    }
    u32* flags = words_of(t->flags);
    if (slots[b].hash == SLOT_EMPTY) t->occupied++;
    set_flag(flags, b, FLAG_FILLED);
    slots[b] = MapSlot{h, pos};
    t->size++;
    return key;
}

void validate_entries(node_t table) {
    Table* t = T(table);
    empty_flags(t->flags);
    t->occupied = 0;
    u32 esize = t->aux;
    SeriesBuffer* eb = GET_BUFFER(t->block);
    u32* f = words_of(t->flags);
    u32* k = words_of(t->keys);
    for (u32 off = 0; off + esize <= eb->used_bytes(); off += esize) {
        Cell* e = reinterpret_cast<Cell*>(eb->head() + off);
        if (e->header != 2) continue;
        u32 b = empty_bucket(f, t->buckets, hash_int(e->data1));
        set_flag(f, b, FLAG_FILLED);
        k[b] = off;
        t->occupied++;
    }
}

i32 find_int_entry(node_t table, u32 key) {
    Table* t = T(table);
    const u8* entries = GET_BUFFER(t->block)->head();
    const u32* keys = words_of(t->keys);
    return probe_find(table, hash_int(key), [&](u32 b) {
        const Cell* e = reinterpret_cast<const Cell*>(entries + keys[b]);
        return e->header == 2 && e->data1 == key;
    });
}

std::vector<u8> scratch;  // lowered symbol names

bool ascii_equal_ci(const u8* a, const u8* b, u32 n) {
    for (u32 i = 0; i < n; i++) {
        u8 x = a[i], y = b[i];
        if (u32(x - 'A') < 26u) x += 32;
        if (u32(y - 'A') < 26u) y += 32;
        if (x != y) return false;
    }
    return true;
}

// Rewrites the positions in [lo, hi) of a kind-0 index through `to`, each
// bucket and duplicate list once, and moves their reverse-index words along.
template <class Map>
void remap_positions(node_t table, u32 lo, u32 hi, Map to) {
    if (lo >= hi) return;
    u32 top = 0;
    for (u32 p = lo; p < hi; p++) top = std::max(top, static_cast<u32>(to(p)) + 1);
    rev_reserve(table, std::max(top, hi));
    Table* t = T(table);
    u32* rev = rev_of(table);
    u32* keys = words_of(t->keys);
    std::vector<u8> done(words_length(t->dups), 0);
    for (u32 p = lo; p < hi; p++) {
        u32 r = rev[p];
        if (r == NONE32) continue;
        i32 k = static_cast<i32>(keys[r - 1]);
        if (k >= 0) {
            keys[r - 1] = to(static_cast<u32>(k));
        } else if (!done[-k - 1]) {
            done[-k - 1] = 1;
            node_t list = list_node(table, k);
            if (!list) continue;
            u32* w = words_of(list);
            for (u32 i = 0, n = words_length(list); i < n; i++)
                if (w[i] >= lo && w[i] < hi) w[i] = to(w[i]);
        }
    }
    std::vector<u32> moved(rev + lo, rev + hi);
    for (u32 p = lo; p < hi; p++) rev[p] = NONE32;
    for (u32 p = lo; p < hi; p++) rev[to(p)] = moved[p - lo];
}

}  // namespace


// ---- hashing -------------------------------------------------------------------

u32 murmur3(const u8* data, u32 len) {
    u32 h = seed;
    u32 nblocks = len / 4;
    for (u32 i = 0; i < nblocks; i++) {
        u32 k;
        std::memcpy(&k, data + i * 4, 4);
        h = mix_block(h, k);
    }
    const u8* tail = data + nblocks * 4;
    u32 k = 0;
    switch (len & 3) {
        case 3: k ^= u32(tail[2]) << 16; [[fallthrough]];
        case 2: k ^= u32(tail[1]) << 8; [[fallthrough]];
        case 1:
            k ^= tail[0];
            k *= C1;
            k = rotl(k, 15);
            k *= C2;
            h ^= k;
    }
    return fmix32(h ^ len);
}

u32 hash_int(u32 value) { return fmix32(value); }


u32 hash_string(const Cell* str, int case_sensitive) {
    Text t = text_of(str);
    bool fold = case_sensitive != 1;
    // One byte per code point, the commonest text, read without the unit switch.
    if (t.unit == 1) return hash_narrow(t.p, t.len, fold);
    return hash_code_points(t.len, fold, [&](u32 i) { return t.at(i); });
}

namespace {

// The hash of a symbol's name with ASCII letters lowered (case variants share it).
u32 lowered_hash(const u8* name, u32 len) {
    if (scratch.size() < len + 4) scratch.resize(std::max<size_t>(len + 4, 64));
    u8* lowered = scratch.data();
    // Four bytes at a time: a byte below 0x80 from 'A' to 'Z' gains 0x20.
    u32 i = 0;
    for (; i + 4 <= len; i += 4) {
        u32 x;
        std::memcpy(&x, name + i, 4);
        u32 seven = x & 0x7F7F7F7F;
        u32 upper = ~x & ((seven + 0x3F3F3F3F) ^ (seven + 0x25252525)) & 0x80808080;
        x |= upper >> 2;
        std::memcpy(lowered + i, &x, 4);
    }
    for (; i < len; i++) lowered[i] = (u32(name[i] - 'A') < 26u) ? name[i] + 32 : name[i];
    return murmur3(lowered, len);
}

}  // namespace

u32 hash_symbol(const Cell* sym) {
    SeriesBuffer* b = GET_BUFFER(symbol::cell_name(sym));
    return lowered_hash(b->head(), b->used_bytes());
}

u32 hash_value(const Cell* v, int case_sensitive) {
    u32 type = TYPE_OF(v);
    switch (type) {
        case TYPE_UNSET: return static_cast<u32>(-2);
        case TYPE_NONE: return static_cast<u32>(-1);
        case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT_ID:
            return hash_int(v->data1);
        case TYPE_CHAR: case TYPE_INTEGER: return number_hash(v->data2);
        case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
            return hash_int(v->data2);
        case TYPE_NATIVE: case TYPE_ACTION: return hash_int(v->data3);
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            return hash_int(static_cast<u32>(resolve_alias(static_cast<i32>(v->data2))));
        case TYPE_SYMBOL_ID: return hash_symbol(v);
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        case TYPE_LOOKUP_KEY:
            return hash_string(v, case_sensitive);
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_POINT2D: case TYPE_IMAGE:
            return murmur3(reinterpret_cast<const u8*>(&v->data1), 8);
        case TYPE_FLOAT: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TIME:
            return murmur3(reinterpret_cast<const u8*>(&v->data2), 8);
        case TYPE_OP: case TYPE_FUNCTION: case TYPE_TRIPLE_ID: case TYPE_TYPESET: case TYPE_DATE:
        case TYPE_POINT3D:
            return murmur3(reinterpret_cast<const u8*>(&v->data1), 12);
        case TYPE_TUPLE: {
            u32 n = std::min<u32>((v->header >> 19) & 15, 12);
            return murmur3(reinterpret_cast<const u8*>(&v->data1), n);
        }
        case TYPE_BINARY: {
            SeriesBuffer* b = GET_BUFFER(series_node(v));
            u32 len = b->used_bytes();
            u32 head = std::min(series_head(v), len);
            return murmur3(b->head() + head, len - head);
        }
        case TYPE_MONEY: {
            Cell bare = *v;
            bare.header = TYPE_MONEY | (money::get_sign(v) ? money::MONEY_SIGN : 0);
            return murmur3(reinterpret_cast<const u8*>(&bare), 16);
        }
        default: return 0;
    }
}

bool reference_key_q(const Cell* v) {
    u32 t = TYPE_OF(v);
    return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_NATIVE && t <= TYPE_GET_PATH) || t == TYPE_OBJECT ||
           t == TYPE_ERROR || t == TYPE_HASH || t == TYPE_MAP || t == TYPE_PORT_ID || t == TYPE_IMAGE ||
           t == TYPE_EVENT;
}

u32 round_pow2(u32 n) {
    if (n <= 1) return 1;
    n--;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

// ---- tables --------------------------------------------------------------------

node_t init(u32 size, const Cell* blk, u32 kind, u32 value_kind) {
    if (size < 4) size = 4;
    if (kind == KIND_SYMBOL && size >= 4000) size *= 2;
    u32 buckets = std::max<u32>(round_pow2(static_cast<u32>(size / LOAD)), 4);
    // The block cell may live in a buffer that the allocations below move.
    node_t indexed = blk ? series_node(blk) : 0;
    node_t table = alloc_bytes(sizeof(Table));
    {
        SeriesBuffer* b = GET_BUFFER(table);
        b->tail = b->offset + sizeof(Table);
        *T(table) = Table{};
    }
    // Each new series is hung on the record at once, so the guarded record
    // keeps them all; the caller roots the table it gets back.
    collector::Guard table_root(table, collector::GUARD_TABLE);
    node_t flags = new_flags(buckets);
    T(table)->flags = flags;
    node_t keys = kind == KIND_MAP ? new_slots(buckets) : new_keys(buckets);
    Table* t = T(table);
    t->keys = keys;
    t->buckets = buckets;
    t->upper = static_cast<u32>(buckets * LOAD);
    t->kind = kind;
    if (kind == KIND_HASH) {
        node_t aux = alloc_bytes_filled(size * 4, 0xFF);
        SeriesBuffer* a = GET_BUFFER(aux);
        a->tail = off_of(a->data_end());
        T(table)->aux = aux;
        node_t dups = new_words(4);
        t = T(table);
        t->dups = dups;
    }
    if (kind >= KIND_INT_KEY) {
        u32 esize = 16 + 16 * value_kind;
        node_t block = alloc_series(size * (esize / 16), 16, 0);
        t = T(table);
        t->aux = esize;
        t->block = block;
        t->serial = collector::cycles + 1;
    } else if (blk) {
        t->block = indexed;
        // A new context's word list is empty: nothing to index.
        if (cell_count(indexed)) rehash(table, 0, kind == KIND_MAP ? 2 : 1);
    }
    return table;
}

void rehash(node_t table, i32 position, i32 step) {
    if (step < 1) step = 1;
    u32 kind = T(table)->kind;
    for (u32 p = static_cast<u32>(std::max(position, 0)); p < cell_count(T(table)->block);) {
        Cell* key = cells_of(T(table)->block) + p;
        if (kind == KIND_MAP && step == 2) {
            if (p + 1 >= cell_count(T(table)->block)) break;  // a key without its value
            i32 b = map_find(table, key, 2);
            if (b >= 0) {
                // Last value wins; the first key keeps its place and spelling.
                SeriesBuffer* blk = GET_BUFFER(T(table)->block);
                Cell* cells = reinterpret_cast<Cell*>(blk->head());
                u32 earlier = slots_of(T(table)->keys)[b].pos;
                cells[earlier + 1] = cells[p + 1];
                u32 n = blk->used_bytes() / 16;
                std::memmove(cells + p, cells + p + 2, (n - p - 2) * sizeof(Cell));
                blk->tail -= 2 * sizeof(Cell);
                continue;
            }
        }
        int status;
        put_value(table, key, &status);
        if (status == 2) return;  // rebuilt: every cell is indexed
        p += static_cast<u32>(step);
    }
}

Cell* put(node_t table, Cell* cell) {
    int status;
    return put_value(table, cell, &status);
}

Cell* put_value(node_t table, Cell* cell, int* status) {
    *status = 0;
    Table* t = T(table);
    u32 pos = static_cast<u32>(cell - cells_of(t->block));
    switch (t->kind) {
        case KIND_HASH:
            validate(table);
            t = T(table);
            if (t->occupied >= t->upper) {
                rebuild_kind0(table, kind0_growth_base(t));
                *status = 2;
            } else {
                index_kind0(table, pos);
            }
            return cells_of(T(table)->block) + pos;
        case KIND_MAP:
            return map_insert(table, pos, nullptr);
        case KIND_SYMBOL: {
            grow_if(table);
            Cell* key = cells_of(T(table)->block) + pos;
            bool found;
            u32 b = probe_insert(table, hash_value(key, 0), [](u32) { return false; }, &found);
            fill_bucket(table, b, pos);
            return cells_of(T(table)->block) + pos;
        }
        default:
            return cell;  // kinds 3 and 4 are keyed by integers
    }
}

namespace {

// The cell of a map's bucket, or null for none.
[[gnu::always_inline]] inline Cell* bucket_cell(node_t table, i32 b) {
    if (b < 0) return nullptr;
    const Table* t = T(table);
    return cells_of(t->block) + slots_of(t->keys)[b].pos;
}

// An integer key, the commonest, is probed apart: map_find's other keys
// need a large frame that an integer's probe would pay for every time.
[[gnu::noinline]] Cell* map_get_int(node_t table, u32 v, MapMiss* miss) {
    return bucket_cell(table, map_find_int(table, v, miss));
}

}  // namespace

Cell* map_get(node_t table, Cell* key, u32 op, MapMiss* miss) {
    if (TYPE_OF(key) == TYPE_INTEGER) return map_get_int(table, key->data2, miss);
    return bucket_cell(table, map_find(table, key, op, miss));
}

Cell* map_put(node_t table, Cell* cell, const MapMiss& miss) {
    return map_insert(table, static_cast<u32>(cell - cells_of(T(table)->block)), &miss);
}

Cell* get(node_t table, Cell* key, i32 position, i32 skip, u32 op, bool last, bool reverse) {
    Table* t = T(table);
    if (t->kind == KIND_MAP) {
        i32 b = map_find(table, key, op);
        return b < 0 ? nullptr : cells_of(T(table)->block) + slots_of(T(table)->keys)[b].pos;
    }
    if (t->kind == KIND_SYMBOL) {
        i32 b = probe_find(table, hash_value(key, 0), [&](u32 bk) {
            Cell* c = cells_of(T(table)->block) + words_of(T(table)->keys)[bk];
            return same_type_or_lookup(c, key) && values_equal(c, key, op);
        });
        return b < 0 ? nullptr : cells_of(T(table)->block) + words_of(T(table)->keys)[b];
    }
    if (t->kind != KIND_HASH) return nullptr;
    validate(table);
    if (skip == 0) skip = 1;
    i64 s = skip < 0 ? -i64(skip) : i64(skip);
    i64 at = position;
    std::vector<u32> positions;
    i64 best = -1;
    probe_find(table, hash_value(key, 0), [&](u32 b) {
        u32 first = first_position(table, b);
        if (first == NONE32) return false;
        Cell* cells = cells_of(T(table)->block);
        Cell* c = cells + first;
        if (TYPE_OF(c) != TYPE_OF(key) || !values_equal(c, key, 0)) return false;
        bucket_positions(table, b, positions);
        for (u32 p : positions) {
            i64 d = reverse ? at - p - 1 : p - at;
            if (d < 0 || d % s != 0) continue;
            Cell* cand = cells + p;
            if (TYPE_OF(cand) != TYPE_OF(key) || !values_equal(cand, key, op)) continue;
            if (best < 0 || (reverse || last ? p > best : p < best)) best = p;
        }
        return best >= 0;
    });
    return best < 0 ? nullptr : cells_of(T(table)->block) + best;
}

Cell* find_next(node_t table, Cell* key, i32* bucket, i32* start, i32* step) {
    Table* t = T(table);
    u32 mask = t->buckets - 1;
    u32 h = hash_value(key, 0), stride = probe_stride(h);
    u32 b, i;
    if (*bucket < 0) {
        b = h & mask;
        *start = static_cast<i32>(b);
        i = 0;
    } else {
        i = static_cast<u32>(*step);
        b = next_bucket(static_cast<u32>(*bucket), &i, stride, mask);
        if (b == static_cast<u32>(*start)) return nullptr;
    }
    for (;;) {
        u32 f = flag_at(words_of(t->flags), b);
        if (f == FLAG_EMPTY) break;
        if (f == FLAG_FILLED) {
            Cell* c = cells_of(t->block) + key_position(t, b);
            if (same_type_or_lookup(c, key) && values_equal(c, key, 0)) {
                *bucket = static_cast<i32>(b);
                *step = static_cast<i32>(i);
                return c;
            }
        }
        b = next_bucket(b, &i, stride, mask);
        if (b == static_cast<u32>(*start)) break;
    }
    *bucket = static_cast<i32>(*start);
    *step = static_cast<i32>(i);
    return nullptr;
}

void delete_key(node_t table, Cell* key) {
    Table* t = T(table);
    if (t->kind == KIND_HASH) {
        Cell* cells = cells_of(t->block);
        if (key < cells || key >= cells + cell_count(t->block)) return;
        unindex(table, static_cast<u32>(key - cells));
    } else if (t->kind == KIND_MAP) {
        i32 b = map_find(table, key, 2);
        if (b < 0) return;
        Cell* value = cells_of(T(table)->block) + slots_of(T(table)->keys)[b].pos + 1;
        if (value->header == 0) return;  // already removed
        value->header = 0;
        T(table)->size--;
    } else if (t->kind == KIND_SYMBOL) {
        i32 b = probe_find(table, hash_value(key, 0), [&](u32 bk) {
            Cell* c = cells_of(T(table)->block) + words_of(T(table)->keys)[bk];
            return TYPE_OF(c) == TYPE_OF(key) && values_equal(c, key, 2);
        });
        if (b < 0) return;
        set_flag(words_of(T(table)->flags), static_cast<u32>(b), FLAG_DELETED);
        T(table)->size--;
    }
}

void delete_(node_t table, u32 position, u32 count) {
    Table* t = T(table);
    u32 len = cell_count(t->block);
    u32 end = static_cast<u32>(std::min<u64>(u64(position) + count, len));
    if (t->kind == KIND_HASH) {
        for (u32 p = position; p < end; p++) unindex(table, p);
        return;
    }
    if (t->kind > KIND_SYMBOL) return;
    for (u32 p = position; p < end; p++) {
        i32 b = probe_find(table, hash_value(cells_of(T(table)->block) + p, 0),
                           [&](u32 bk) { return key_position(T(table), bk) == p; });
        if (b < 0) continue;
        set_flag(words_of(T(table)->flags), static_cast<u32>(b), FLAG_DELETED);
        if (T(table)->kind == KIND_MAP) slots_of(T(table)->keys)[b].hash = SLOT_DELETED;
        T(table)->size--;
    }
}

int refresh(node_t table, i32 shift, u32 position, u32 count, bool remove) {
    if (count > REFRESH_MAX) return 1;
    if (T(table)->kind != KIND_HASH) return 0;
    if (remove && shift < 0) {
        u32 from = position >= static_cast<u32>(-shift) ? position + shift : 0;
        for (u32 p = from; p < position; p++) unindex(table, p);
    }
    if (shift == 0 || count == 0) return 0;
    if (shift < 0 && static_cast<u32>(-shift) > position) shift = -static_cast<i32>(position);
    remap_positions(table, position, position + count, [shift](u32 p) { return p + shift; });
    return 0;
}

void move(node_t table, u32 destination, u32 source, u32 count) {
    if (T(table)->kind != KIND_HASH || count == 0) return;
    if (destination >= source && destination < source + count) return;
    u32 lo, hi;
    if (destination < source) {
        // [dst, src) slides up by count; the moved range goes to dst.
        lo = destination;
        hi = source + count;
        remap_positions(table, lo, hi, [=](u32 p) { return p >= source ? p - (source - destination) : p + count; });
    } else {
        // (src + count .. dst] slides down by count; the moved range ends at dst.
        lo = source;
        hi = destination + 1;
        u32 d = destination - source - count + 1;
        remap_positions(table, lo, hi, [=](u32 p) { return p < source + count ? p + d : p - count; });
    }
}

void clear(node_t table, u32 position, u32 count) {
    Table* t = T(table);
    u32 len = cell_count(t->block);
    if (position == 0 && u64(count) >= len && t->kind <= KIND_SYMBOL) {
        empty_flags(t->flags);
        if (t->kind == KIND_MAP) empty_slots(t->keys);
        t->size = t->occupied = 0;
        if (t->kind == KIND_HASH) {
            SeriesBuffer* r = GET_BUFFER(t->aux);
            std::memset(r->head(), 0xFF, r->used_bytes());
            SeriesBuffer* d = GET_BUFFER(t->dups);
            d->tail = d->offset;
        }
        return;
    }
    delete_(table, position, count);
}

void dump(node_t table) {
    // Printing allocates nothing, so the record's buffers stay put meanwhile.
    Table* t = T(table);
    if (!t->flags) return;
    const u32* flags = words_of(t->flags);
    for (u32 pass = 0; pass < 2; pass++) {
        rt::prin(pass == 0 ? "== Deleted keys ==\n" : "== Alive keys ==\n");
        u32 want = pass == 0 ? FLAG_DELETED : FLAG_FILLED;
        for (u32 b = 0; b < t->buckets; b++) {
            if (flag_at(flags, b) != want) continue;
            rt::prin("bucket ");
            rt::prin_int(static_cast<i32>(b));
            rt::prin(": ");
            rt::prin_int(static_cast<i32>(key_position(t, b)));
            rt::prin("\n");
        }
    }
}

void clear_map(node_t table) {
    Table* t = T(table);
    t->size = t->occupied = 0;
    if (t->dups) {
        SeriesBuffer* d = GET_BUFFER(t->dups);
        d->tail = d->offset;
    }
    empty_flags(t->flags);
    if (t->kind == KIND_MAP) empty_slots(t->keys);
}

node_t copy(node_t table, node_t new_block) {
    // The copy's record starts out naming the original's series, so guarding
    // it keeps every series reachable while they are replaced one by one.
    node_t c = copy_series(GET_BUFFER(table));
    collector::Guard copy_root(c, collector::GUARD_TABLE);
    collector::Guard block_root(new_block);
    if (!T(table)->flags) {
        // A small context's table: the record alone.
        T(c)->block = new_block;
        return c;
    }
    node_t flags = copy_series(GET_BUFFER(T(table)->flags));
    T(c)->flags = flags;
    node_t keys = copy_series(GET_BUFFER(T(table)->keys));
    T(c)->keys = keys;
    u32 kind = T(table)->kind;
    if (kind == KIND_HASH) {
        node_t aux = copy_series(GET_BUFFER(T(table)->aux));
        T(c)->aux = aux;
        node_t dups = copy_series(GET_BUFFER(T(table)->dups));
        T(c)->dups = dups;
        for (u32 i = 0, n = words_length(dups); i < n; i++) {
            node_t list = words_of(dups)[i];
            if (!list) continue;
            node_t dup = copy_series(GET_BUFFER(list));
            words_of(T(c)->dups)[i] = dup;
        }
    }
    if (kind >= KIND_INT_KEY && !new_block) new_block = copy_series(GET_BUFFER(T(table)->block));
    T(c)->block = new_block;
    return c;
}

namespace {

i32 put_symbol_as(node_t table, const u8* name, u32 length, bool loose, u32 h) {
    Table* t = T(table);
    // A name inside the arena may move when the name's own series is
    // allocated: it is copied first (into a buffer kept from call to call).
    static std::vector<u8> held;
    held.clear();
    if (reinterpret_cast<uintptr_t>(name) - reinterpret_cast<uintptr_t>(arena_base) < platform::ARENA_MAX_BYTES) {
        held.assign(name, name + length);
        name = held.data();
    }
    auto name_of = [&](u32 bk) {
        Cell* sym = cells_of(T(table)->block) + words_of(T(table)->keys)[bk];
        return GET_BUFFER(symbol::cell_name(sym));
    };
    auto same = [&](u32 bk, bool ci) {
        SeriesBuffer* nb = name_of(bk);
        if (nb->used_bytes() != length) return false;
        return ci ? ascii_equal_ci(nb->head(), name, length) : std::memcmp(nb->head(), name, length) == 0;
    };
    if (t->occupied >= t->upper) {
        // A name already there is found without growing the table: a full
        // table must still serve the names it has (building the error that
        // says it is full needs them).
        i32 known = probe_find(table, h, [&](u32 bk) { return same(bk, loose); });
        if (known >= 0) return static_cast<i32>(words_of(T(table)->keys)[known]) + 1;
        u32 n = t->size * 2 < t->buckets ? t->buckets - 1 : t->buckets + 1;
        resize(table, n * 16);
    }
    // One walk finds the name, or the first case variant and the empty
    // bucket where both lookups would stop: symbols are never removed, so
    // that bucket is where the name goes.
    i32 alias = -1;
    u32 b = NONE32;
    {
        const u32* flags = words_of(T(table)->flags);
        u32 mask = T(table)->buckets - 1, at_ = h & mask, start = at_, i = 0, stride = probe_stride(h);
        for (;;) {
            u32 f = flag_at(flags, at_);
            if (f == FLAG_EMPTY) {
                b = at_;
                break;
            }
            if (f == FLAG_FILLED) {
                SeriesBuffer* nb = name_of(at_);
                if (nb->used_bytes() == length) {
                    bool exact = std::memcmp(nb->head(), name, length) == 0;
                    if (exact || (alias < 0 && ascii_equal_ci(nb->head(), name, length))) {
                        i32 id = static_cast<i32>(words_of(T(table)->keys)[at_]) + 1;
                        if (exact || loose) return id;
                        alias = id;
                    }
                }
            }
            at_ = next_bucket(at_, &i, stride, mask);
            if (at_ == start) break;
        }
    }
    if (b == NONE32) {
        // No empty bucket: the slow lookups of a table full of removals.
        bool found;
        b = probe_insert(table, h, [&](u32 bk) { return same(bk, loose); }, &found);
        if (found) return static_cast<i32>(words_of(T(table)->keys)[b]) + 1;
        alias = -1;
        if (!loose) {
            i32 ab = probe_find(table, h, [&](u32 bk) { return same(bk, true); });
            if (ab >= 0) alias = static_cast<i32>(words_of(T(table)->keys)[ab]) + 1;
        }
    }
    node_t name_node = alloc_bytes(length + 1);
    collector::Guard name_root(name_node);
    {
        SeriesBuffer* nb = GET_BUFFER(name_node);
        if (length) std::memcpy(nb->head(), name, length);
        nb->tail = nb->offset + length;
        nb->head()[length] = 0;
    }
    SeriesBuffer* blk = GET_BUFFER(T(table)->block);
    if (blk->tail + sizeof(Cell) > off_of(blk->data_end())) blk = expand_series(blk, 0);
    u32 id = blk->used_bytes() / sizeof(Cell);
    make_cell(reinterpret_cast<Cell*>(blk->tail_ptr()), TYPE_SYMBOL_ID, static_cast<u32>(alias), 0, name_node);
    blk->tail += sizeof(Cell);
    if (alias > 0) reinterpret_cast<Cell*>(blk->head())[alias - 1].header |= SYMBOL_SPELT_OTHERWISE;
    fill_bucket(table, b, id);
    return static_cast<i32>(id) + 1;
}

}  // namespace

u32 symbol_hash(const u8* name, u32 length) { return lowered_hash(name, length); }

i32 put_symbol(node_t table, const u8* name, u32 length, bool loose) {
    return put_symbol_as(table, name, length, loose, lowered_hash(name, length));
}

i32 put_symbol_hashed(node_t table, const u8* name, u32 length, u32 hash) {
    return put_symbol_as(table, name, length, false, hash);
}

node_t init_words(u32 size, const Cell* blk) {
    node_t indexed = series_node(blk);
    if (std::max(size, cell_count(indexed)) > SMALL_WORDS) return init(size, blk, KIND_SYMBOL, 0);
    node_t table = alloc_bytes(sizeof(Table));
    SeriesBuffer* b = GET_BUFFER(table);
    b->tail = b->offset + sizeof(Table);
    *T(table) = Table{};
    T(table)->kind = KIND_SYMBOL;
    T(table)->block = indexed;
    return table;
}

namespace {

// Gives a context table without buckets its buckets, every word indexed.
void build_words_index(node_t table) {
    u32 n = cell_count(T(table)->block);
    u32 buckets = std::max<u32>(round_pow2(static_cast<u32>(2 * n / LOAD)), 4);
    collector::Guard table_root(table, collector::GUARD_TABLE);
    Table* t = give_buckets(table, buckets, static_cast<u32>(buckets * LOAD));
    // Placed straight by the hash get_ctx probes with: the words are distinct
    // and the buckets empty, so no probe needs to compare.
    u32* f = words_of(t->flags);
    u32* k = words_of(t->keys);
    const Cell* w = cells_of(t->block);
    for (u32 i = 0; i < n; i++) {
        u32 b = empty_bucket(f, buckets, hash_int(static_cast<u32>(resolve_alias(static_cast<i32>(w[i].data2)))));
        set_flag(f, b, FLAG_FILLED);
        k[b] = i;
    }
    t->size = t->occupied = n;
}

// get_ctx for a table without buckets: the words scanned in order.
i32 scan_words(node_t table, u32 sym, i32 resolved, bool case_insensitive) {
    SeriesBuffer* b = GET_BUFFER(T(table)->block);
    const Cell* w = reinterpret_cast<const Cell*>(b->head());
    const u32 n = b->used_bytes() / sizeof(Cell);
    for (u32 i = 0; i < n; i++)
        if (w[i].data2 == sym) return static_cast<i32>(i);
    if (!case_insensitive || !alias_block || !*alias_block || !spelt_otherwise_q(static_cast<i32>(sym))) return -1;
    // Another spelling of the word: the symbol block read once for the scan.
    SeriesBuffer* sb = GET_BUFFER(*alias_block);
    const Cell* symbols = reinterpret_cast<const Cell*>(sb->head());
    const u32 count = sb->used_bytes() / sizeof(Cell);
    for (u32 i = 0; i < n; i++) {
        u32 id = w[i].data2;
        i32 alias = id >= 1 && id <= count ? symbol::cell_alias(symbols + (id - 1)) : 0;
        if ((alias > 0 ? alias : static_cast<i32>(id)) == resolved) return static_cast<i32>(i);
    }
    return -1;
}

}  // namespace

i32 get_ctx(node_t table, u32 sym, bool case_insensitive, node_t ctx, i32* out_position) {
    i32 resolved = resolve_alias(static_cast<i32>(sym));
    if (!T(table)->flags) {
        i32 found = scan_words(table, sym, resolved, case_insensitive);
        if (found >= 0 || !ctx) return found;
        SeriesBuffer* blk = GET_BUFFER(T(table)->block);
        u32 pos = blk->used_bytes() / sizeof(Cell);
        if (pos >= SMALL_WORDS) {
            build_words_index(table);
        } else {
            if (blk->tail + sizeof(Cell) > off_of(blk->data_end())) blk = expand_series(blk, 0);
            make_cell(reinterpret_cast<Cell*>(blk->tail_ptr()), TYPE_WORD, ctx, sym, pos);
            blk->tail += sizeof(Cell);
            if (out_position) *out_position = static_cast<i32>(pos);
            return -1;
        }
    }
    u32 h = hash_int(static_cast<u32>(resolved));
    auto match = [&](u32 bk) {
        Cell* w = cells_of(T(table)->block) + words_of(T(table)->keys)[bk];
        return case_insensitive ? resolve_alias(static_cast<i32>(word_symbol(w))) == resolved
                                : word_symbol(w) == sym;
    };
    u32 empty = NONE32;
    i32 b;
    {
        // The lookup allocates nothing: the words and keys are read once. A
        // word spelt one way only is found by its symbol alone.
        const Cell* words = cells_of(T(table)->block);
        const u32* keys = words_of(T(table)->keys);
        const bool other_spellings = case_insensitive && spelt_otherwise_q(static_cast<i32>(sym));
        b = probe_find(table, h, [&](u32 bk) {
            const u32 ws = words[keys[bk]].data2;
            return ws == sym || (other_spellings && resolve_alias(static_cast<i32>(ws)) == resolved);
        }, &empty);
    }
    if (b >= 0) return static_cast<i32>(words_of(T(table)->keys)[b]);
    if (!ctx) return -1;
    u32 nb = empty;
    // Without growth, insertion would walk the same probe to the same empty bucket.
    if (empty == NONE32 || T(table)->occupied >= T(table)->upper) {
        grow_if(table);
        bool found;
        nb = probe_insert(table, h, match, &found);
    }
    SeriesBuffer* blk = GET_BUFFER(T(table)->block);
    if (blk->tail + sizeof(Cell) > off_of(blk->data_end())) blk = expand_series(blk, 0);
    u32 pos = blk->used_bytes() / sizeof(Cell);
    make_cell(reinterpret_cast<Cell*>(blk->tail_ptr()), TYPE_WORD, ctx, sym, pos);
    blk->tail += sizeof(Cell);
    fill_bucket(table, nb, pos);
    if (out_position) *out_position = static_cast<i32>(pos);
    return -1;
}

Cell* put_int_key(node_t table, u32 key) {
    validate(table);
    i32 b = find_int_entry(table, key);
    if (b >= 0) return reinterpret_cast<Cell*>(GET_BUFFER(T(table)->block)->head() + words_of(T(table)->keys)[b]) + 1;
    grow_if(table);
    bool found;
    u32 nb = probe_insert(table, hash_int(key), [](u32) { return false; }, &found);
    Table* t = T(table);
    u32 esize = t->aux;
    u32 off;
    if (flag_at(words_of(t->flags), nb) == FLAG_DELETED) {
        off = words_of(t->keys)[nb];  // reuse the deleted entry's room
    } else {
        SeriesBuffer* eb = GET_BUFFER(t->block);
        if (eb->tail + esize > off_of(eb->data_end())) {
            eb = expand_series(eb, std::max<u32>(eb->size * 2, eb->used_bytes() + esize));
        }
        off = eb->used_bytes();
        eb->tail += esize;
    }
    fill_bucket(table, nb, off);
    Cell* e = reinterpret_cast<Cell*>(GET_BUFFER(T(table)->block)->head() + off);
    make_cell(e, 2, key);
    for (u32 i = 1; i < esize / 16; i++) make_cell(e + i, TYPE_UNSET);
    return e + 1;
}

Cell* get_int_key(node_t table, u32 key) {
    validate(table);
    i32 b = find_int_entry(table, key);
    if (b < 0) return nullptr;
    return reinterpret_cast<Cell*>(GET_BUFFER(T(table)->block)->head() + words_of(T(table)->keys)[b]) + 1;
}

Cell* delete_int_key(node_t table, u32 key) {
    validate(table);
    i32 b = find_int_entry(table, key);
    if (b < 0) return nullptr;
    Table* t = T(table);
    set_flag(words_of(t->flags), static_cast<u32>(b), FLAG_DELETED);
    t->size--;
    Cell* e = reinterpret_cast<Cell*>(GET_BUFFER(t->block)->head() + words_of(t->keys)[b]);
    e->header = 0;
    return e + 1;
}

void validate(node_t table) {
    Table* t = T(table);
    if (!t->serial || t->serial == collector::cycles + 1) return;
    if (t->kind == KIND_HASH) {
        rebuild_kind0(table, cell_count(t->block));
    } else if (t->kind >= KIND_INT_KEY) {
        validate_entries(table);
    }
    T(table)->serial = collector::cycles + 1;
}

// ---- collector support -----------------------------------------------------------

void mark(node_t table) {
    if (!table) return;
    // A record already marked is done when its buckets are: it may have been
    // marked as plain bytes first (a guarded node, a stale value-stack slot).
    if (!collector::mark_node(table)) {
        if (!collector::node_q(table)) return;
        // A table without buckets (a small context's) tells by its words.
        node_t flags = T(table)->flags;
        if (flags ? collector::marked_q(flags) : collector::marked_q(T(table)->block)) return;
    }
    Table* t = T(table);
    if (t->flags) {
        collector::mark_node(t->flags);
        collector::mark_node(t->keys);
    }
    if (t->kind >= KIND_INT_KEY) {
        // Entries hold their key node; a key whose series holds cells has them marked too.
        if (!t->block) return;
        collector::mark_node(t->block);
        SeriesBuffer* eb = GET_BUFFER(t->block);
        u32 esize = t->aux;
        for (u32 off = 0; esize && off + esize <= eb->used_bytes(); off += esize) {
            const Cell* e = reinterpret_cast<const Cell*>(eb->head() + off);
            if (e->header != 2 || !collector::node_q(e->data1)) continue;
            if (GET_BUFFER(e->data1)->unit() == 16) collector::mark_block(e->data1);
            else collector::mark_node(e->data1);
        }
        return;
    }
    if (t->block) collector::mark_block(t->block);
    if (t->kind == KIND_HASH) {
        if (t->aux) collector::mark_node(t->aux);
        if (t->dups) {
            collector::mark_node(t->dups);
            for (u32 i = 0, n = words_length(t->dups); i < n; i++) {
                node_t list = words_of(t->dups)[i];
                if (list) collector::mark_node(list);
            }
        }
    }
}

void sweep_entries(node_t table) {
    if (!table) return;
    Table* t = T(table);
    if (t->kind < KIND_INT_KEY || !t->block) return;
    u32* f = words_of(t->flags);
    u32* k = words_of(t->keys);
    u8* entries = GET_BUFFER(t->block)->head();
    for (u32 b = 0; b < t->buckets; b++) {
        if (flag_at(f, b) != FLAG_FILLED) continue;
        Cell* e = reinterpret_cast<Cell*>(entries + k[b]);
        if (e->header != 2) continue;
        bool ownership = t->kind == KIND_OWNERSHIP;
        // Keys of kind 3 may be plain integers; ownership keys are always nodes.
        bool dead = collector::node_q(e->data1) ? !collector::marked_q(e->data1) : ownership;
        // The ownership table also drops entries whose owner (the second value
        // cell) died, or whose field word (the third) names a context that died:
        // the entry does not keep either alive.
        if (!dead && ownership) {
            const Cell* owner = e + 2;
            u32 type = TYPE_OF(owner);
            if (type == TYPE_OBJECT || type == TYPE_ERROR || type == TYPE_PORT_ID)
                dead = !collector::node_q(owner->data1) || !collector::marked_q(owner->data1);
            const Cell* word = e + 3;
            if (!dead && is_any_word(TYPE_OF(word)) && word->data1)
                dead = !collector::node_q(word->data1) || !collector::marked_q(word->data1);
        }
        if (!dead) continue;
        // A series that outlives its entry is no longer owned: it may be bound again.
        if (ownership && collector::node_q(e->data1) && collector::marked_q(e->data1))
            GET_BUFFER(e->data1)->flags &= ~SERIES_OWNED;
        set_flag(f, b, FLAG_DELETED);
        t->size--;
        e->header = 0;
    }
}

// ---- the integer table ---------------------------------------------------------

namespace {

void int_buffers(u32 buckets, u32** flags, u32** pairs) {
    u32 fbytes = std::max<u32>(buckets / 4, 4);
    *flags = static_cast<u32*>(rt::allocate(fbytes));
    std::memset(*flags, 0xAA, fbytes);
    *pairs = static_cast<u32*>(rt::allocate(size_t(buckets) * 8));
}

i32 int_probe(IntTable* t, u32 key, bool insert) {
    u32 h = hash_int(key), mask = t->buckets - 1, b = h & mask, start = b, i = 0, stride = probe_stride(h);
    i32 deleted = -1;
    for (;;) {
        u32 f = flag_at(t->flags, b);
        if (f == FLAG_EMPTY) return insert ? static_cast<i32>(b) : -1;
        if (f == FLAG_DELETED) {
            deleted = static_cast<i32>(b);
        } else if (t->pairs[b * 2] == key) {
            return static_cast<i32>(b);
        }
        b = next_bucket(b, &i, stride, mask);
        if (b == start) return insert ? deleted : -1;
    }
}

}  // namespace

IntTable* make_int(u32 size) {
    auto* t = static_cast<IntTable*>(rt::allocate_zeroed(sizeof(IntTable)));
    t->buckets = std::max<u32>(round_pow2(static_cast<u32>(std::max<u32>(size, 4) / LOAD)), 4);
    t->upper = static_cast<u32>(t->buckets * LOAD);
    int_buffers(t->buckets, &t->flags, &t->pairs);
    return t;
}

void put_int(IntTable* t, u32 key, u32 value) {
    if (t->occupied >= t->upper) resize_int(t, t->size * 2 < t->buckets ? t->buckets - 1 : t->buckets + 1);
    i32 b = int_probe(t, key, true);
    if (b < 0) return;
    u32 f = flag_at(t->flags, static_cast<u32>(b));
    if (f != FLAG_FILLED) {
        if (f == FLAG_EMPTY) t->occupied++;
        t->size++;
        set_flag(t->flags, static_cast<u32>(b), FLAG_FILLED);
        t->pairs[b * 2] = key;
    }
    t->pairs[b * 2 + 1] = value;
}

u32* get_int(IntTable* t, u32 key) {
    i32 b = int_probe(t, key, false);
    return b < 0 ? nullptr : &t->pairs[b * 2 + 1];
}

i32 find_int(IntTable* t, u32 key) { return int_probe(t, key, false); }

void delete_int(IntTable* t, u32 key) {
    i32 b = int_probe(t, key, false);
    if (b < 0) return;
    set_flag(t->flags, static_cast<u32>(b), FLAG_DELETED);
    t->size--;
}

u32* next_int(IntTable* t, u32* prev) {
    u32 b = prev ? static_cast<u32>((prev - t->pairs) / 2) + 1 : 0;
    for (; b < t->buckets; b++)
        if (flag_at(t->flags, b) == FLAG_FILLED) return &t->pairs[b * 2];
    return nullptr;
}

void clear_int(IntTable* t) {
    std::memset(t->flags, 0xAA, std::max<u32>(t->buckets / 4, 4));
    t->size = t->occupied = 0;
}

void free_int(IntTable* t) {
    if (!t) return;
    rt::free(t->flags);
    rt::free(t->pairs);
    rt::free(t);
}

i32 resize_int(IntTable* t, u32 size) {
    u32 buckets = std::max<u32>(round_pow2(size), 4);
    u32 upper = static_cast<u32>(buckets * LOAD + 0.5);
    if (t->size >= upper) return 0;
    u32 *flags, *pairs;
    int_buffers(buckets, &flags, &pairs);
    for (u32 b = 0; b < t->buckets; b++) {
        if (flag_at(t->flags, b) != FLAG_FILLED) continue;
        u32 nb = empty_bucket(flags, buckets, hash_int(t->pairs[b * 2]));
        set_flag(flags, nb, FLAG_FILLED);
        pairs[nb * 2] = t->pairs[b * 2];
        pairs[nb * 2 + 1] = t->pairs[b * 2 + 1];
    }
    rt::free(t->flags);
    rt::free(t->pairs);
    t->flags = flags;
    t->pairs = pairs;
    t->buckets = buckets;
    t->upper = upper;
    t->occupied = t->size;
    return 0;
}

}  // namespace zav::hashtable
