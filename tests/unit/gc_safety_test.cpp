// Values that must survive a collection in the middle of an operation: each
// case runs with a collection at every node and series allocation, after garbage was
// made below the series involved so that compaction moves them.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "datatypes/forming.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct GcSafetyTest : RuntimeTest {
    Cell* saved_top = nullptr;
    bool saved_active = false, saved_stress = false;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved_top = stack::top;
        saved_active = collector::active;
        saved_stress = collector::stress;
        collector::active = true;
        collector::stress = true;
    }
    void TearDown() override {
        collector::active = saved_active;
        collector::stress = saved_stress;
        stack::top = saved_top;
        cycles::reset();
    }
};

// Ballast: a series allocated before an operation's own series, kept alive by
// a marker for the operation's first `n` collections and dropped at the next
// one, where everything allocated after it moves down. Running the operation
// for every n moves its series at each of its allocations in turn.
node_t ballast = 0;
u32 ballast_left = 0;

void keep_ballast() {
    if (!ballast) return;
    if (ballast_left == 0) {
        ballast = 0;
        return;
    }
    ballast_left--;
    collector::mark_node(ballast);
}

// Allocates the ballast, to be dropped at the n-th collection from now.
void arm_ballast(u32 n) {
    static bool registered = false;
    if (!registered) {
        collector::register_marker(keep_ballast);
        registered = true;
    }
    ballast = alloc_bytes(4096);
    ballast_left = n;
}

template <class F>
void at_each_collection(u32 rounds, F operation) {
    for (u32 n = 0; n < rounds; n++) {
        Cell* saved = stack::top;
        arm_ballast(n);
        operation(n);
        ballast = 0;
        stack::top = saved;
    }
}

using test::bytes_of;

}  // namespace

// A context made while every allocation collects keeps its word table: the
// table's buckets were once only in locals while the values were made.
TEST_F(GcSafetyTest, NewContextKeepsItsTable) {
    const char* names[] = {"gc-alpha", "gc-beta", "gc-gamma", "gc-delta", "gc-epsilon"};
    for (const char* name : names) symbol::make(name);
    at_each_collection(16, [&](u32 n) {
        node_t ctx = context::create(3, false, true, nullptr, context::KIND_OBJECT);
        collector::Guard ctx_root(ctx);
        for (const char* name : names) {
            Cell w;
            make_cell(&w, TYPE_WORD, 0, static_cast<u32>(symbol::make(name)), 0xFFFFFFFF);
            context::add_word(context::TO_CTX(ctx), &w);
        }
        for (u32 i = 0; i < 5; i++)
            EXPECT_EQ(context::find_word(context::TO_CTX(ctx), symbol::make(names[i]), false), static_cast<i32>(i))
                << n;
    });
}

// A symbol name read from a series whose buffer moves while the table grows.
TEST_F(GcSafetyTest, SymbolNameFromAMovingBufferIsCopiedFirst) {
    // The table grows (allocates) before it copies some names: the string
    // moves at each of an insertion's collections in turn.
    for (u32 death = 0; death < 6; death++) {
        Cell blk;
        node_t words = alloc_cells(4);
        collector::Guard words_root(words);
        make_cell(&blk, TYPE_BLOCK, 0, words);
        node_t table = hashtable::init(4, &blk, hashtable::KIND_SYMBOL, 0);
        collector::Guard table_root(table, collector::GUARD_TABLE);
        for (u32 i = 0; i < 30; i++) {
            std::string name = "moving-name-" + std::to_string(i);
            arm_ballast(death);
            Cell* s = string::load(name.c_str());  // on the value stack
            i32 id = hashtable::put_symbol(table, string::zs_head(s), static_cast<u32>(name.size()), false);
            const Cell* sym = reinterpret_cast<const Cell*>(GET_BUFFER(words)->head()) + (id - 1);
            EXPECT_EQ(bytes_of(symbol::cell_name(sym)), name) << death;
            stack::pop(1);
        }
        ballast = 0;
        EXPECT_EQ(hashtable::record(table)->size, 30u);
    }
}

// An error whose id is interned while it is being made: the field is written
// after the name is interned, not through a pointer taken before.
TEST_F(GcSafetyTest, ErrorFieldsSurviveInterningTheirNames) {
    at_each_collection(30, [&](u32 n) {
        std::string id_name = "gc-never-seen-id-" + std::to_string(n);
        try {
            fire("script", id_name.c_str());
        } catch (Throw&) {
        }
        Cell err = error::thrown;
        ASSERT_EQ(TYPE_OF(&err), TYPE_ERROR);
        const Cell* id = error::field(&err, error::FIELD_ID);
        ASSERT_EQ(TYPE_OF(id), TYPE_WORD) << n;
        EXPECT_EQ(symbol::get_c_string(static_cast<i32>(id->data2)), id_name);
        EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(error::field(&err, error::FIELD_TYPE)->data2)), "script");
    });
}

// load_value reads its source cell before it allocates.
TEST_F(GcSafetyTest, LoadValueReadsItsSourceFirst) {
    at_each_collection(20, [&](u32 n) {
        // The source string is a cell inside a block, whose buffer moves.
        Cell* holder = test::load("\"[1 ^\"two^\" three]\"");
        Cell* src = reinterpret_cast<Cell*>(GET_BUFFER(series_node(holder))->head());
        Cell* result = stack::push_star();
        make_cell(result, TYPE_NONE);
        ASSERT_TRUE(load_value(src, result));
        EXPECT_EQ(test::mold(result), "[1 \"two\" three]") << n;
    });
}

// A series that only the cycle stack refers to (its writer holds it in a
// local) lives until it is popped.
TEST_F(GcSafetyTest, CycleStackEntriesAreRoots) {
    collector::stress = false;
    node_t blk = alloc_cells(2);
    cycles::push(blk);
    collector::do_cycle();
    EXPECT_TRUE(collector::node_q(blk));
    cycles::pop();
    collector::do_cycle();
    EXPECT_FALSE(collector::node_q(blk));
}

// A value-stack slot taken but not yet written may hold what an earlier value
// left there: a string cell naming what is now a block must not mark the
// block as done without marking its cells.
TEST_F(GcSafetyTest, StaleStackSlotsDoNotHideCells) {
    collector::stress = false;
    node_t outer = alloc_cells(2);
    collector::Guard outer_root(outer);
    node_t inner = alloc_bytes(16);
    {
        SeriesBuffer* b = GET_BUFFER(inner);
        std::memcpy(b->head(), "inner", 5);
        b->tail = b->offset + 5;
    }
    *alloc_at_tail(outer) = Cell{TYPE_STRING, 0, inner, 0};  // only the block keeps the string
    Cell* slot = stack::push_star();
    *slot = Cell{TYPE_STRING, 0, outer, 0};  // left over, as if from an earlier value
    collector::do_cycle();
    EXPECT_TRUE(collector::node_q(inner));
    EXPECT_EQ(bytes_of(inner), "inner");

    // The same for a table record, which a stale string slot marks as bytes:
    // a small context's (the record and its words) and a grown one's (with buckets).
    for (u32 words : {1u, 20u}) {
        node_t ctx = context::create(4, false, true, nullptr, context::KIND_OBJECT);
        collector::Guard ctx_root(ctx);
        for (u32 i = 0; i < words; i++) {
            Cell w;
            std::string name = "gc-stale-word" + std::to_string(i);
            make_cell(&w, TYPE_WORD, 0, static_cast<u32>(symbol::make(name.c_str())), 0xFFFFFFFF);
            context::add_word(context::TO_CTX(ctx), &w);
        }
        node_t table = context::table_of(context::TO_CTX(ctx));
        *stack::push_star() = Cell{TYPE_STRING, 0, table, 0};
        collector::do_cycle();
        EXPECT_TRUE(collector::node_q(hashtable::record(table)->block));
        EXPECT_EQ(hashtable::record(table)->flags != 0, words > hashtable::SMALL_WORDS);
        if (hashtable::record(table)->flags) {
            EXPECT_TRUE(collector::node_q(hashtable::record(table)->flags));
            EXPECT_TRUE(collector::node_q(hashtable::record(table)->keys));
        }
        std::string last = "gc-stale-word" + std::to_string(words - 1);
        EXPECT_EQ(context::find_word(context::TO_CTX(ctx), symbol::make("gc-stale-word0"), false), 0);
        EXPECT_EQ(context::find_word(context::TO_CTX(ctx), symbol::make(last.c_str()), true), static_cast<i32>(words - 1));
    }
}

// Tables made by the set operations stay whole across collections.
TEST_F(GcSafetyTest, SetOperationTablesSurvive) {
    Cell* a = test::load_one("[\"a\" \"b\" c d 1 2 3 \"a\" c 1]");
    Cell* b = test::load_one("[\"b\" d 3 4 \"e\"]");
    Cell* u = block::do_set_op(a, b, false, nullptr, 9);
    EXPECT_EQ(test::mold(u), "[\"a\" \"b\" c d 1 2 3 4 \"e\"]");
}

// The ownership table holds neither owners nor the contexts of field words:
// an entry goes when either dies, and its series can be owned again.
TEST_F(GcSafetyTest, OwnershipEntriesGoWithTheirOwnerOrWordContext) {
    collector::stress = false;
    Cell* series = test::load_one("[1 2 3]");
    node_t n = series_node(series);
    Cell* owner = stack::push_star();
    make_cell(owner, TYPE_NONE);
    object::make_ctx_at(owner, 4);
    Cell* other = stack::push_star();  // a context the field word is bound to
    make_cell(other, TYPE_NONE);
    object::make_ctx_at(other, 4);
    Cell word;
    make_cell(&word, TYPE_WORD, other->data1, static_cast<u32>(symbol::make("field")), 0);

    ownership::bind(series, owner, &word);
    ASSERT_NE(ownership::owned_q(n), nullptr);
    collector::do_cycle();
    ASSERT_NE(ownership::owned_q(n), nullptr);  // both alive: the entry stays
    make_cell(other, TYPE_NONE);                 // the word's context dies
    collector::do_cycle();
    EXPECT_EQ(ownership::owned_q(n), nullptr);
    EXPECT_FALSE(GET_BUFFER(n)->flags & SERIES_OWNED);

    make_cell(&word, TYPE_WORD, owner->data1, static_cast<u32>(symbol::make("field")), 0);
    ownership::bind(series, owner, &word);  // owned again
    ASSERT_NE(ownership::owned_q(n), nullptr);
    make_cell(owner, TYPE_NONE);  // the owner dies
    collector::do_cycle();
    EXPECT_EQ(ownership::owned_q(n), nullptr);
    EXPECT_FALSE(GET_BUFFER(n)->flags & SERIES_OWNED);
    EXPECT_TRUE(collector::node_q(n));  // the series itself lives on the value stack
}
