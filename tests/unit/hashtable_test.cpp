// Hash tables: hashing, sizing, and every table kind against a simple model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/map.h"
#include "datatypes/symbol.h"
#include "output_capture.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"

using namespace zav;
namespace ht = zav::hashtable;

namespace {

struct HashTableTest : ::testing::Test {
    void SetUp() override {
        test::bare_memory();
        case_folding::init();
        collector::cycles = 0;
        symbol::init(64);
        ht::normalise_map_key = map::normalise_key;  // what map! registers at start-up
    }
    void TearDown() override { free_all_memory(); }

    static Cell* cells(node_t b) { return reinterpret_cast<Cell*>(GET_BUFFER(b)->head()); }
    static u32 len(node_t b) { return GET_BUFFER(b)->length(); }
    static Cell block_cell(node_t b) {
        Cell c;
        make_cell(&c, TYPE_BLOCK, 0, b);
        return c;
    }
    // Opens a gap of n cells at pos (filled by the caller).
    static void open_gap(node_t b, u32 pos, u32 n) {
        SeriesBuffer* buf = GET_BUFFER(b);
        while (buf->tail + n * 16 > off_of(buf->data_end())) buf = expand_series(buf, 0);
        Cell* c = reinterpret_cast<Cell*>(buf->head());
        u32 l = buf->length();
        std::memmove(c + pos + n, c + pos, (l - pos) * 16);
        buf->tail += n * 16;
    }
    static void append(node_t b, const Cell& v) {
        u32 l = len(b);
        open_gap(b, l, 1);
        cells(b)[l] = v;
    }
    static void remove(node_t b, u32 pos, u32 n) {
        SeriesBuffer* buf = GET_BUFFER(b);
        Cell* c = reinterpret_cast<Cell*>(buf->head());
        std::memmove(c + pos, c + pos + n, (buf->length() - pos - n) * 16);
        buf->tail -= n * 16;
    }
    static Cell integer(i32 v) {
        Cell c;
        make_cell(&c, TYPE_INTEGER, 0, static_cast<u32>(v));
        return c;
    }
    static Cell string(const std::u32string& s, u32 unit = 1) {
        node_t n = alloc_codepoints(static_cast<u32>(s.size()), unit);
        SeriesBuffer* b = GET_BUFFER(n);
        for (size_t i = 0; i < s.size(); i++) std::memcpy(b->head() + i * unit, &s[i], unit);
        b->tail = b->offset + static_cast<u32>(s.size()) * unit;
        Cell c;
        make_cell(&c, TYPE_STRING, 0, n);
        return c;
    }
    static Cell word(const char* name, u32 type = TYPE_WORD) {
        Cell c;
        make_cell(&c, type, 0, static_cast<u32>(symbol::make(name)));
        return c;
    }
};

std::u32string text(const Cell& c) {
    SeriesBuffer* b = GET_BUFFER(series_node(&c));
    std::u32string s;
    for (u32 i = series_head(&c); i < b->length(); i++) {
        u32 v = 0;
        std::memcpy(&v, b->head() + i * b->unit(), b->unit());
        s.push_back(v);
    }
    return s;
}

// The equality a hash! lookup uses (operator 0), written plainly.
bool model_equal(const Cell& a, const Cell& b) {
    if (TYPE_OF(&a) != TYPE_OF(&b)) return false;
    switch (TYPE_OF(&a)) {
        case TYPE_INTEGER: return a.data2 == b.data2;
        case TYPE_WORD: return symbol::resolve(a.data2) == symbol::resolve(b.data2);
        case TYPE_STRING: {
            std::u32string x = text(a), y = text(b);
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); i++)
                if (case_folding::to_lower(x[i]) != case_folding::to_lower(y[i])) return false;
            return true;
        }
        default: return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
    }
}

}  // namespace

TEST_F(HashTableTest, Murmur3MatchesReferenceVectors) {
    struct Case {
        std::vector<u8> bytes;
        u32 seed, hash;
    } cases[] = {
        {{}, 0, 0},
        {{}, 1, 0x514E28B7},
        {{}, 0xFFFFFFFF, 0x81F16F39},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0, 0x76293B50},
        {{0x21, 0x43, 0x65, 0x87}, 0, 0xF55B516B},
        {{0x21, 0x43, 0x65, 0x87}, 0x5082EDEE, 0x2362F9DE},
        {{0x21, 0x43, 0x65}, 0, 0x7E4A8634},
        {{0x21, 0x43}, 0, 0xA0F7B07A},
        {{0x21}, 0, 0x72661CF4},
        {{0, 0, 0, 0}, 0, 0x2362F9DE},
        {{0, 0, 0}, 0, 0x85F0B427},
        {{0, 0}, 0, 0x30F4C306},
        {{0}, 0, 0x514E28B7},
    };
    u32 saved = ht::seed;
    for (const Case& c : cases) {
        ht::seed = c.seed;
        EXPECT_EQ(ht::murmur3(c.bytes.data(), static_cast<u32>(c.bytes.size())), c.hash);
    }
    std::string fox = "The quick brown fox jumps over the lazy dog";
    ht::seed = 0x9747B28C;
    EXPECT_EQ(ht::murmur3(reinterpret_cast<const u8*>(fox.data()), static_cast<u32>(fox.size())), 0x2FA826CDu);
    ht::seed = saved;
    // The integer hash is the finaliser alone: murmur3 of no bytes with seed v.
    EXPECT_EQ(ht::hash_int(1), 0x514E28B7u);
    EXPECT_EQ(ht::hash_int(0), 0u);
}

TEST_F(HashTableTest, HashesAgreeAcrossCaseAndUnit) {
    Cell lower = string(U"straße"), upper = string(U"STRAßE", 2), wide = string(U"straße", 4);
    EXPECT_EQ(ht::hash_value(&lower, 0), ht::hash_value(&upper, 0));
    EXPECT_EQ(ht::hash_value(&lower, 0), ht::hash_value(&wide, 1));
    EXPECT_NE(ht::hash_value(&lower, 1), ht::hash_value(&upper, 1));
    Cell a = word("print"), b = word("PRINT"), c = word("Print", TYPE_SET_WORD);
    EXPECT_EQ(ht::hash_value(&a, 0), ht::hash_value(&b, 0));
    EXPECT_EQ(ht::hash_value(&a, 0), ht::hash_value(&c, 0));
    // A lookup key limited to 3 code points hashes like the 3-letter string.
    Cell key = lower;
    set_type(&key, ht::TYPE_LOOKUP_KEY);
    key.data3 = 3;
    Cell str = string(U"STR");
    EXPECT_EQ(ht::hash_value(&key, 0), ht::hash_value(&str, 0));
    Cell unset, none;
    make_cell(&unset, TYPE_UNSET);
    make_cell(&none, TYPE_NONE);
    EXPECT_EQ(ht::hash_value(&unset, 0), 0xFFFFFFFEu);
    EXPECT_EQ(ht::hash_value(&none, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ht::round_pow2(1), 1u);
    EXPECT_EQ(ht::round_pow2(5), 8u);
    EXPECT_EQ(ht::round_pow2(8), 8u);
}

TEST_F(HashTableTest, SizingAndGrowth) {
    node_t t = ht::init(0, nullptr, ht::KIND_INT_KEY, 1);
    EXPECT_EQ(ht::record(t)->buckets, 8u);
    EXPECT_EQ(ht::record(t)->upper, 6u);
    for (u32 k = 1; k <= 6; k++) ht::put_int_key(t, k);
    EXPECT_EQ(ht::record(t)->buckets, 8u);
    ht::put_int_key(t, 7);  // the seventh occupied bucket grows the table first
    EXPECT_EQ(ht::record(t)->buckets, 16u);
    EXPECT_EQ(ht::record(t)->upper, 12u);
    for (u32 k = 1; k <= 7; k++) EXPECT_NE(ht::get_int_key(t, k), nullptr);

    // Symbol tables double a large initial size and then grow sixteenfold or more.
    node_t blk = alloc_cells(4);
    Cell bc = block_cell(blk);
    node_t s = ht::init(4000, &bc, ht::KIND_SYMBOL, 0);
    EXPECT_EQ(ht::record(s)->buckets, 16384u);
    node_t small = ht::init(4, &bc, ht::KIND_SYMBOL, 0);
    for (int i = 0; i < 7; i++) ht::put_symbol(small, reinterpret_cast<const u8*>(std::to_string(i).c_str()), 1, false);
    EXPECT_EQ(ht::record(small)->buckets, 256u);
}

TEST_F(HashTableTest, DeletedBucketIsReusedOnlyAfterAFullTurn) {
    node_t t = ht::init(0, nullptr, ht::KIND_INT_KEY, 1);
    u32 k1 = 1, k2 = 2;
    while ((ht::hash_int(k2) & 7) != (ht::hash_int(k1) & 7)) k2++;
    ht::put_int_key(t, k1);
    ht::delete_int_key(t, k1);
    EXPECT_EQ(ht::record(t)->size, 0u);
    EXPECT_EQ(ht::get_int_key(t, k1), nullptr);
    ht::put_int_key(t, k2);  // probes through k1's deleted bucket to an empty one
    EXPECT_EQ(ht::record(t)->occupied, 2u);
    EXPECT_EQ(ht::record(t)->size, 1u);
    EXPECT_NE(ht::get_int_key(t, k2), nullptr);
}

// Kind 0: a hash! block changed by appends, inserts, removals and moves,
// checked against a scan of the block after every lookup.
TEST_F(HashTableTest, HashIndexFollowsTheBlock) {
    std::mt19937 rng(7);
    std::vector<Cell> pool;
    for (i32 i = 0; i < 40; i++) pool.push_back(integer(i));
    for (const char32_t* s : {U"abc", U"ABC", U"Abc", U"xyz", U"XyZ", U"é", U"É"}) pool.push_back(string(s));
    for (const char* w : {"alpha", "ALPHA", "beta"}) pool.push_back(word(w));
    for (u32 i = 0; i < 3; i++) {
        Cell b;
        make_cell(&b, TYPE_BLOCK, i, 1000 + i);  // node keys: the table carries a serial
        pool.push_back(b);
    }
    node_t blk = alloc_cells(4);
    Cell bc = block_cell(blk);
    node_t t = ht::init(0, &bc, ht::KIND_HASH, 0);
    auto rnd = [&](u32 n) { return n ? static_cast<u32>(rng() % n) : 0u; };
    auto put_range = [&](u32 pos, u32 n) {
        for (u32 i = 0; i < n; i++) {
            int status;
            ht::put_value(t, cells(blk) + pos + i, &status);
            if (status == 2) break;  // rebuilt from the whole block
        }
    };
    for (int iter = 0; iter < 20000; iter++) {
        u32 l = len(blk);
        u32 op = rnd(100);
        if (op < 30 || l < 4) {
            u32 n = 1 + rnd(3);
            for (u32 i = 0; i < n; i++) append(blk, pool[rnd(pool.size())]);
            put_range(l, n);
        } else if (op < 40) {
            u32 n = 1 + rnd(3), pos = rnd(l + 1);
            open_gap(blk, pos, n);
            for (u32 i = 0; i < n; i++) cells(blk)[pos + i] = pool[rnd(pool.size())];
            ASSERT_EQ(ht::refresh(t, static_cast<i32>(n), pos, l - pos, false), 0);
            put_range(pos, n);
        } else if (op < 52) {
            u32 pos = rnd(l), n = std::min(1 + rnd(3), l - pos);
            ht::refresh(t, -static_cast<i32>(n), pos + n, l - pos - n, true);
            remove(blk, pos, n);
        } else if (op < 56) {
            u32 pos = rnd(l);
            ht::delete_key(t, cells(blk) + pos);
            remove(blk, pos, 1);
            ht::refresh(t, -1, pos + 1, l - pos - 1, false);
        } else if (op < 61) {
            u32 count = 1 + rnd(std::min(l, 4u)), src = rnd(l - count + 1), dst = rnd(l);
            if (!(dst >= src && dst < src + count)) {
                Cell* c = cells(blk);
                if (dst < src) std::rotate(c + dst, c + src, c + src + count);
                else std::rotate(c + src, c + src + count, c + dst + 1);
            }
            ht::move(t, dst, src, count);
        } else if (op < 63) {
            collector::cycles++;  // after a collection, node-keyed indexes rebuild on next use
        } else {
            Cell key = pool[rnd(pool.size())];
            i32 pos = static_cast<i32>(rnd(l + 1)), skip = 1 + static_cast<i32>(rnd(3));
            bool last = rnd(4) == 0, reverse = rnd(4) == 0;
            i64 want = -1;
            for (u32 p = 0; p < l; p++) {
                if (!model_equal(cells(blk)[p], key)) continue;
                i64 d = reverse ? pos - i64(p) - 1 : i64(p) - pos;
                if (d < 0 || d % skip) continue;
                if (want < 0 || ((reverse || last) ? p > want : p < want)) want = p;
            }
            Cell* got = ht::get(t, &key, pos, skip, 0, last, reverse);
            ASSERT_EQ(got ? got - cells(blk) : -1, want) << "iteration " << iter;
        }
        ASSERT_EQ(ht::record(t)->size, len(blk)) << "iteration " << iter;
    }
    EXPECT_NE(ht::record(t)->serial, 0u);
    // "ABC" is found in a hash! holding only "abc".
    ht::clear(t, 0, len(blk));
    remove(blk, 0, len(blk));
    EXPECT_EQ(ht::record(t)->size, 0u);
    append(blk, string(U"abc"));
    ht::put(t, cells(blk));
    Cell key = string(U"ABC");
    EXPECT_EQ(ht::get(t, &key, 0, 1, 0, false, false), cells(blk));
    EXPECT_EQ(ht::get(t, &key, 0, 1, 2, false, false), nullptr);  // strict equality
}

TEST_F(HashTableTest, HashCopyIsIndependent) {
    node_t blk = alloc_cells(8);
    for (i32 v : {1, 2, 2, 3}) append(blk, integer(v));
    Cell bc = block_cell(blk);
    node_t t = ht::init(8, &bc, ht::KIND_HASH, 0);
    node_t blk2 = copy_series(GET_BUFFER(blk));
    node_t c = ht::copy(t, blk2);
    ht::delete_key(t, cells(blk) + 1);
    ht::delete_key(t, cells(blk) + 2);
    Cell two = integer(2);
    EXPECT_EQ(ht::get(t, &two, 0, 1, 0, false, false), nullptr);
    EXPECT_EQ(ht::get(c, &two, 0, 1, 0, false, false), cells(blk2) + 1);
    EXPECT_EQ(ht::get(c, &two, 0, 1, 0, true, false), cells(blk2) + 2);
    EXPECT_EQ(ht::record(c)->size, 4u);
}

TEST_F(HashTableTest, MapBuiltFromBlockCollapsesDuplicateKeys) {
    node_t blk = alloc_cells(16);
    Cell pairs[][2] = {
        {word("a", TYPE_SET_WORD), integer(1)}, {word("b", TYPE_SET_WORD), integer(2)},
        {word("a", TYPE_LIT_WORD), integer(3)}, {string(U"k"), integer(4)},
        {string(U"K"), integer(5)},             {string(U"k"), integer(6)},
    };
    for (auto& p : pairs) {
        append(blk, p[0]);
        append(blk, p[1]);
    }
    Cell bc = block_cell(blk);
    node_t t = ht::init(6, &bc, ht::KIND_MAP, 0);
    ASSERT_EQ(len(blk), 8u);  // a: 3  b: 2  "k" 6  "K" 5
    EXPECT_EQ(ht::record(t)->size, 4u);
    Cell* c = cells(blk);
    EXPECT_EQ(TYPE_OF(&c[0]), u32(TYPE_SET_WORD));
    EXPECT_EQ(c[1].data2, 3u);
    EXPECT_EQ(c[5].data2, 6u);
    EXPECT_EQ(c[7].data2, 5u);
    // A word key of any kind finds the set-word; the key stays as it was given.
    Cell a = word("a");
    EXPECT_EQ(ht::get(t, &a, 0, 1, 2, false, false), cells(blk));
    EXPECT_EQ(TYPE_OF(&a), u32(TYPE_WORD));
    Cell upper = word("A");
    EXPECT_EQ(ht::get(t, &upper, 0, 1, 2, false, false), nullptr);
    EXPECT_EQ(ht::get(t, &upper, 0, 1, 0, false, false), cells(blk));
    // The string keys are private copies.
    EXPECT_NE(series_node(&c[4]), series_node(&pairs[3][0]));
    // find-next walks the keys equal without case: "k" and "K".
    Cell k = string(U"k");
    i32 bucket = -1, start = 0, step = 0;
    std::vector<u32> seen;
    while (Cell* f = ht::find_next(t, &k, &bucket, &start, &step)) seen.push_back(static_cast<u32>(f - cells(blk)));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<u32>{4, 6}));
    // A key of a datatype a map cannot hold is refused.
    Cell bad;
    make_cell(&bad, TYPE_NATIVE);
    append(blk, bad);
    append(blk, integer(0));
    EXPECT_THROW(ht::put(t, cells(blk) + 8), Throw);
    EXPECT_STREQ(error::last.id, "invalid-path");
}

TEST_F(HashTableTest, MapAgainstModel) {
    std::mt19937 rng(11);
    node_t blk = alloc_cells(4);
    Cell bc = block_cell(blk);
    node_t t = ht::init(0, &bc, ht::KIND_MAP, 0);
    std::unordered_map<i32, i32> model;
    for (int iter = 0; iter < 20000; iter++) {
        i32 k = static_cast<i32>(rng() % 3000), v = static_cast<i32>(rng());
        Cell key = integer(k);
        Cell* found = ht::get(t, &key, 0, 1, 2, false, false);
        if (rng() % 4 == 0) {
            ht::delete_key(t, &key);
            model.erase(k);
        } else if (found) {
            found[1] = integer(v);  // a removed pair comes back with its new value
            model[k] = v;
        } else {
            u32 l = len(blk);
            append(blk, key);
            append(blk, integer(v));
            ht::put(t, cells(blk) + l);
            model[k] = v;
        }
    }
    for (i32 k = 0; k < 3000; k++) {
        Cell key = integer(k);
        Cell* f = ht::get(t, &key, 0, 1, 2, false, false);
        bool live = f && f[1].header != 0;
        ASSERT_EQ(live, model.count(k) == 1) << k;
        if (live) { ASSERT_EQ(static_cast<i32>(f[1].data2), model[k]); }
    }
    ht::clear_map(t);
    Cell key = integer(model.begin()->first);
    EXPECT_EQ(ht::get(t, &key, 0, 1, 2, false, false), nullptr);
    EXPECT_EQ(ht::record(t)->size, 0u);
}

TEST_F(HashTableTest, SymbolInterningAndAliases) {
    i32 foo = symbol::make("Foo"), FOO = symbol::make("FOO"), foo2 = symbol::make("foo");
    EXPECT_EQ(symbol::make("Foo"), foo);
    EXPECT_EQ(symbol::get_alias(foo), -1);
    EXPECT_EQ(symbol::get_alias(FOO), foo);
    EXPECT_EQ(symbol::get_alias(foo2), foo);
    EXPECT_EQ(symbol::resolve(foo2), foo);
    u32 n = symbol::count();
    EXPECT_EQ(symbol::make_boot("fOO"), foo);  // loose: an existing case variant
    EXPECT_EQ(symbol::count(), n);
    EXPECT_EQ(symbol::make_boot("bar"), static_cast<i32>(n) + 1);
    i32 e1 = symbol::make("\xC3\xA9"), e2 = symbol::make("\xC3\x89");  // é, É: not folded
    EXPECT_NE(e1, e2);
    EXPECT_EQ(symbol::get_alias(e2), -1);
    EXPECT_STREQ(symbol::get_c_string(FOO), "FOO");

    // Many names with case variants against a model; the table grows several times.
    std::mt19937 rng(3);
    std::map<std::string, i32> ids;
    std::map<std::string, i32> first_variant;  // lowered name -> earliest id
    for (auto& [name, id] : std::map<std::string, i32>{{"Foo", foo}, {"FOO", FOO}, {"foo", foo2}}) ids[name] = id;
    first_variant["foo"] = foo;
    first_variant["bar"] = static_cast<i32>(n) + 1;
    ids["bar"] = first_variant["bar"];
    for (int i = 0; i < 30000; i++) {
        std::string name = "w" + std::to_string(rng() % 12000);
        for (char& ch : name)
            if (rng() % 3 == 0) ch = static_cast<char>(std::toupper(ch));
        std::string low = name;
        for (char& ch : low) ch = static_cast<char>(std::tolower(ch));
        i32 id = symbol::make(name.c_str());
        auto it = ids.find(name);
        if (it != ids.end()) {
            ASSERT_EQ(id, it->second) << name;
            continue;
        }
        ASSERT_EQ(static_cast<u32>(id), symbol::count()) << name;
        ids[name] = id;
        auto fv = first_variant.find(low);
        ASSERT_EQ(symbol::get_alias(id), fv == first_variant.end() ? -1 : fv->second) << name;
        if (fv == first_variant.end()) first_variant[low] = id;
    }
    for (auto& [name, id] : ids) ASSERT_STREQ(symbol::get_c_string(id), name.c_str());
    EXPECT_GT(ht::record(symbol::table)->buckets, 16384u);
}

// Names are lowered for hashing four bytes at a time: every ASCII letter in
// every position folds, the bytes beside 'A' and 'Z' and non-ASCII bytes do not.
TEST_F(HashTableTest, EveryLetterFoldsInEveryPosition) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz";
    for (size_t len = 1; len <= 9; len++) {
        for (size_t shift = 0; shift < letters.size(); shift++) {
            std::string low, up;
            for (size_t k = 0; k < len; k++) low += letters[(shift + k * 7) % letters.size()];
            up = low;
            for (char& c : up) c = static_cast<char>(c - 32);
            i32 a = symbol::make(low.c_str()), b = symbol::make(up.c_str());
            ASSERT_NE(a, b) << up;
            ASSERT_EQ(symbol::resolve(b), symbol::resolve(a)) << up;
        }
    }
    // Pairs 32 apart that are not letters stay apart.
    for (const char* pair : {"@`", "[{", "]}", "^~", "\\|"}) {
        std::string x = std::string("ab") + pair[0] + "cdefg", y = std::string("ab") + pair[1] + "cdefg";
        ASSERT_NE(symbol::resolve(symbol::make(x.c_str())), symbol::resolve(symbol::make(y.c_str()))) << x;
    }
    i32 hi1 = symbol::make("xy\xC3\x81zw"), hi2 = symbol::make("xy\xC3\xA1zw");
    EXPECT_NE(symbol::resolve(hi1), symbol::resolve(hi2));
}

TEST_F(HashTableTest, ContextWordLists) {
    node_t words = alloc_cells(4);
    Cell wc = block_cell(words);
    node_t t = ht::init(0, &wc, ht::KIND_SYMBOL, 0);
    node_t ctx = alloc_cells(2);
    std::mt19937 rng(5);
    std::map<i32, i32> exact;        // symbol -> position
    std::map<i32, i32> by_resolved;  // resolved symbol -> first position
    for (int i = 0; i < 5000; i++) {
        std::string name = "v" + std::to_string(rng() % 1500);
        if (rng() % 2) name[0] = 'V';
        i32 sym = symbol::make(name.c_str());
        bool ci = rng() % 2;
        bool add = rng() % 3 != 0;
        i32 pos = -2;
        i32 got = ht::get_ctx(t, static_cast<u32>(sym), ci, add ? ctx : 0, &pos);
        auto& m = ci ? by_resolved : exact;
        i32 key = ci ? symbol::resolve(sym) : sym;
        auto it = m.find(key);
        if (it != m.end()) {
            ASSERT_EQ(got, it->second) << name << " ci " << ci;
        } else {
            ASSERT_EQ(got, -1) << name;
            if (add) {
                ASSERT_EQ(pos, static_cast<i32>(len(words)) - 1);
                Cell* w = cells(words) + pos;
                ASSERT_EQ(word_ctx(w), ctx);
                ASSERT_EQ(static_cast<i32>(word_symbol(w)), sym);
                ASSERT_EQ(word_index(w), pos);
                exact[sym] = pos;
                by_resolved.emplace(symbol::resolve(sym), pos);
            }
        }
    }
    EXPECT_EQ(ht::record(t)->size, len(words));
}

TEST_F(HashTableTest, IntKeyedEntriesAgainstModel) {
    for (u32 kind : {u32(ht::KIND_INT_KEY), u32(ht::KIND_OWNERSHIP)}) {
        std::mt19937 rng(kind);
        u32 vk = kind == ht::KIND_INT_KEY ? 1 : 2;
        node_t t = ht::init(0, nullptr, kind, vk);
        std::unordered_map<u32, u32> model;
        for (int iter = 0; iter < 30000; iter++) {
            u32 k = rng() % 4000 * 16 + 0x10000;  // node-like keys
            u32 op = rng() % 10;
            if (op < 5) {
                Cell* v = ht::put_int_key(t, k);
                if (!model.count(k)) { ASSERT_EQ(TYPE_OF(v), u32(TYPE_UNSET)); }
                u32 val = static_cast<u32>(rng());
                for (u32 i = 0; i < vk; i++) v[i] = integer(static_cast<i32>(val + i));
                model[k] = val;
            } else if (op < 8) {
                Cell* v = ht::delete_int_key(t, k);
                ASSERT_EQ(v != nullptr, model.erase(k) == 1);
            } else if (op < 9) {
                Cell* v = ht::get_int_key(t, k);
                auto it = model.find(k);
                ASSERT_EQ(v != nullptr, it != model.end());
                if (v) { ASSERT_EQ(v[vk - 1].data2, it->second + vk - 1); }
            } else if (rng() % 50 == 0) {
                collector::cycles++;  // the index is rebuilt from the entries on next use
            }
            ASSERT_EQ(ht::record(t)->size, model.size());
        }
        for (auto& [k, val] : model) {
            Cell* v = ht::get_int_key(t, k);
            ASSERT_NE(v, nullptr);
            ASSERT_EQ(v[0].data2, val);
        }
        // The entry block holds no more than the live entries since the last compaction.
        EXPECT_LT(len(ht::record(t)->block), 4 * 4000u * (1 + vk));
    }
}

TEST_F(HashTableTest, IntegerTableAgainstModel) {
    std::mt19937 rng(9);
    ht::IntTable* t = ht::make_int(0);
    EXPECT_EQ(t->buckets, 8u);
    std::unordered_map<u32, u32> model;
    for (int iter = 0; iter < 50000; iter++) {
        u32 k = rng() % 5000 * 7, op = rng() % 10;
        if (op < 5) {
            u32 v = static_cast<u32>(rng());
            ht::put_int(t, k, v);
            model[k] = v;
        } else if (op < 7) {
            ht::delete_int(t, k);
            model.erase(k);
        } else {
            u32* v = ht::get_int(t, k);
            auto it = model.find(k);
            ASSERT_EQ(v != nullptr, it != model.end());
            ASSERT_EQ(ht::find_int(t, k) >= 0, it != model.end());
            if (v) { ASSERT_EQ(*v, it->second); }
        }
        ASSERT_EQ(t->size, model.size());
    }
    std::unordered_map<u32, u32> walked;
    for (u32* p = ht::next_int(t, nullptr); p; p = ht::next_int(t, p)) walked[p[0]] = p[1];
    EXPECT_EQ(walked, model);
    ht::clear_int(t);
    EXPECT_EQ(ht::next_int(t, nullptr), nullptr);
    EXPECT_EQ(ht::get_int(t, model.begin()->first), nullptr);
    ht::free_int(t);
}

TEST_F(HashTableTest, DumpListsDeletedThenAliveBuckets) {
    node_t t = ht::init(0, nullptr, ht::KIND_INT_KEY, 1);
    for (u32 k = 1; k <= 3; k++) ht::put_int_key(t, k);
    ht::delete_int_key(t, 2);
    std::string out = zav::testing::capture_output([&] { ht::dump(t); });
    size_t deleted = out.find("== Deleted keys ==\n"), alive = out.find("== Alive keys ==\n");
    ASSERT_NE(deleted, std::string::npos);
    ASSERT_NE(alive, std::string::npos);
    EXPECT_LT(deleted, alive);
    auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
    EXPECT_EQ(lines(out.substr(deleted, alive - deleted)), 2);  // heading + one deleted bucket
    EXPECT_EQ(lines(out.substr(alive)), 3);                    // heading + two live buckets
}
