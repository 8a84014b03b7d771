// block! actions: insert, change, find, sort, copy, mold and form, compare,
// set operations, and the accessors the rest of the runtime uses.
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/hashtable.h"
#include "runtime/cell.h"
#include "runtime_fixture.h"
#include "test_util.h"
#include "tests/unit/load_helper.h"

using namespace zav;

namespace {

struct BlockTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

using test::integer_cell;

using test::DT;

using test::ints;

// The integers from the index; -1000 - type for other values.
std::vector<i32> values(const Cell* b) {
    std::vector<i32> out;
    for (u32 k = series_head(b); k < block::buffer_of(b)->length(); k++) {
        Cell* c = block::zs_abs_at(b, k);
        out.push_back(TYPE_OF(c) == TYPE_INTEGER ? static_cast<i32>(c->data2) : -1000 - static_cast<i32>(TYPE_OF(c)));
    }
    return out;
}
std::vector<i32> V(std::initializer_list<i32> v) { return v; }

std::string text(Cell* s) {
    std::string out;
    for (u32 i = series_head(s); i < string::zs_abs_length_q(s); i++)
        out += static_cast<char>(string::zs_abs_at(s, i));
    return out;
}

Cell* new_buffer() {
    Cell* s = stack::push_star();
    return string::zs_make_at(s, 64);
}

std::string molded(Cell* v, bool only = false, bool flat = false) {
    Cell* buf = new_buffer();
    actions::typed<action_fn::Mold>(v, ACT_MOLD)(v, buf, only, false, flat, nullptr, 100000, 0);
    return text(buf);
}

std::string formed(Cell* v) {
    Cell* buf = new_buffer();
    actions::typed<action_fn::Form>(v, ACT_FORM)(v, buf, nullptr, 100000);
    return text(buf);
}

using test::error_id_of;

Cell* find_in(Cell* b, Cell* value, bool only = false, bool last = false, bool reverse = false, bool tail = false,
              bool match = false, Cell* part = nullptr, Cell* skip = nullptr) {
    Cell* r = stack::push(b);
    return block::find(r, value, part, only, false, false, false, nullptr, skip, last, reverse, tail, match);
}

}  // namespace

TEST_F(BlockTest, AccessorsClampAndAppend) {
    Cell* b = ints({1, 2, 3});
    EXPECT_EQ(block::zs_length_q(b), 3u);
    series_head(b) = 7;
    EXPECT_EQ(block::zs_length_q(b), 0u);
    EXPECT_EQ(block::zs_head(b), block::zs_tail(b));
    EXPECT_EQ(series_head(b), 3u);
    EXPECT_TRUE(block::zs_tail_q(b));
    series_head(b) = 1;
    EXPECT_FALSE(block::zs_next(b));
    EXPECT_TRUE(block::zs_next(b));
    EXPECT_TRUE(block::zs_next(b));
    EXPECT_EQ(series_head(b), 3u);
    block::zs_pop(b);
    EXPECT_EQ(series_head(b), 2u);
    series_head(b) = 0;
    // Appending a cell of the block itself, across the growth of its buffer.
    for (int k = 0; k < 40; k++) block::zs_append(b, block::zs_abs_at(b, 0));
    EXPECT_EQ(block::zs_length_q(b), 42u);
    EXPECT_EQ(block::zs_abs_at(b, 41)->data2, 1u);
    block::zs_append_block(b, b);
    EXPECT_EQ(block::zs_length_q(b), 84u);
    block::zs_clear_at(b, 2);
    EXPECT_EQ(values(b), V({1, 2}));

    Cell* parent = block::push_only_star(1);
    Cell model;
    make_cell(&model, TYPE_PATH);
    Cell* child = block::make_in_star(parent, 4, &model);
    EXPECT_EQ(TYPE_OF(child), TYPE_PATH);
    EXPECT_EQ(block::zs_length_q(parent), 1u);
}

TEST_F(BlockTest, InsertAndAppendPositions) {
    struct Case {
        u32 index;
        std::vector<i32> value;  // inserted as a block unless only
        bool only;
        i32 part;  // -1: none
        i32 dup;   // -1: none
        bool append;
        std::vector<i32> expect;
        u32 result_index;
    } cases[] = {
        {1, {8, 9}, false, -1, -1, false, {1, 8, 9, 2, 3}, 3},
        {1, {8, 9}, false, -1, -1, true, {1, 2, 3, 8, 9}, 0},
        {3, {8, 9}, false, -1, -1, false, {1, 2, 3, 8, 9}, 5},
        {9, {8}, false, -1, -1, false, {1, 2, 3, 8}, 4},
        {0, {8, 9}, false, 1, -1, false, {8, 1, 2, 3}, 1},
        {0, {8, 9}, false, -5, -1, false, {8, 9, 1, 2, 3}, 2},
        {0, {8, 9}, false, -1, 3, false, {8, 9, 8, 9, 8, 9, 1, 2, 3}, 6},
        {0, {8, 9}, false, -1, 0, false, {1, 2, 3}, 0},
        {1, {8, 9}, true, -1, -1, false, {1, -1005, 2, 3}, 2},
        {0, {}, false, -1, -1, false, {1, 2, 3}, 0},
    };
    for (const Case& c : cases) {
        Cell* b = ints({1, 2, 3});
        series_head(b) = c.index;
        Cell* v = block::push_only_star(2);
        for (i32 x : c.value) {
            Cell e = integer_cell(x);
            block::zs_append(v, &e);
        }
        Cell part = integer_cell(c.part), dup = integer_cell(c.dup);
        block::insert(b, v, c.part >= -5 && c.part != -1 ? &part : nullptr, c.only, c.dup >= 0 ? &dup : nullptr,
                      c.append);
        EXPECT_EQ(series_head(b), c.result_index) << "case " << &c - cases;
        series_head(b) = 0;
        EXPECT_EQ(values(b), c.expect) << "case " << &c - cases;
    }
}

TEST_F(BlockTest, SourceIsReadBeforeTheTargetChanges) {
    Cell* b = ints({1, 2, 3});
    block::insert(b, b, nullptr, false, nullptr, true);  // append b b
    EXPECT_EQ(values(b), V({1, 2, 3, 1, 2, 3}));

    Cell* c = ints({1, 2, 3});
    Cell* n = stack::push(c);
    series_head(n) = 1;
    block::insert(c, n, nullptr, false, nullptr, false);  // insert c next c
    EXPECT_EQ(series_head(c), 2u);
    series_head(c) = 0;
    EXPECT_EQ(values(c), V({2, 3, 1, 2, 3}));

    Cell* d = ints({1, 2, 3, 4});
    Cell* tail = stack::push(d);
    series_head(tail) = 2;
    block::change(d, tail, nullptr, false, nullptr);  // change d skip d 2
    series_head(d) = 0;
    EXPECT_EQ(values(d), V({3, 4, 3, 4}));
}

TEST_F(BlockTest, ChangeReplacesAndGrowsOnlyPastTheTail) {
    struct Case {
        u32 index;
        std::vector<i32> value;
        i32 part;  // -1: none
        i32 dup;   // -1: none
        std::vector<i32> expect;
        u32 result_index;
    } cases[] = {
        {1, {8, 9}, -1, -1, {1, 8, 9, 4}, 3},
        {3, {8, 9}, -1, -1, {1, 2, 3, 8, 9}, 5},
        {1, {8}, 3, -1, {1, 8}, 2},
        {0, {8}, 0, -1, {8, 1, 2, 3, 4}, 1},
        {0, {}, 2, -1, {3, 4}, 0},
        {1, {8}, 1, 3, {1, 8, 8, 8, 3, 4}, 4},
        {9, {8}, -1, -1, {1, 2, 3, 4, 8}, 5},
    };
    for (const Case& c : cases) {
        Cell* b = ints({1, 2, 3, 4});
        series_head(b) = c.index;
        Cell* v = block::push_only_star(2);
        for (i32 x : c.value) {
            Cell e = integer_cell(x);
            block::zs_append(v, &e);
        }
        Cell part = integer_cell(c.part), dup = integer_cell(c.dup);
        block::change(b, v, c.part >= 0 ? &part : nullptr, false, c.dup >= 0 ? &dup : nullptr);
        EXPECT_EQ(series_head(b), c.result_index) << "case " << &c - cases;
        series_head(b) = 0;
        EXPECT_EQ(values(b), c.expect) << "case " << &c - cases;
    }
}

// A block changed into a longer one over and over (one cell more each time)
// grows with room to spare, as by insert: grown to the exact length each
// time, it was copied whole at every change, and its dead buffers brought
// collection after collection.
TEST_F(BlockTest, ChangeGrowsWithRoomToSpare) {
    Cell* b = ints({1, 2});
    Cell* two = ints({8, 9});
    Cell one = integer_cell(1);
    u32 regrown = 0, size = block::buffer_of(b)->size;
    for (int k = 0; k < 2000; k++) {
        series_head(b) = 0;
        block::change(b, two, &one, false, nullptr);  // change/part b [8 9] 1
        if (block::buffer_of(b)->size > size) regrown++;
        size = block::buffer_of(b)->size;
    }
    EXPECT_EQ(block::buffer_of(b)->length(), 2002u);
    EXPECT_LT(regrown, 20u);
}

TEST_F(BlockTest, FindByValueTypeSequenceAndDirection) {
    Cell* b = block::push_only_star(8);
    Cell cells[] = {integer_cell(1), DT(TYPE_INTEGER), integer_cell(2), integer_cell(1), integer_cell(2), integer_cell(3)};
    for (Cell& c : cells) block::zs_append(b, &c);
    Cell one = integer_cell(1), three = integer_cell(3), dt = DT(TYPE_DATATYPE), two = integer_cell(2);
    EXPECT_EQ(series_head(find_in(b, &one)), 0u);
    EXPECT_EQ(series_head(find_in(b, &one, false, true)), 3u);                 // /last
    EXPECT_EQ(series_head(find_in(b, &three, false, false, false, true)), 6u); // /tail
    EXPECT_EQ(TYPE_OF(find_in(b, &three, false, false, false, false, true)), TYPE_NONE);  // /match
    EXPECT_EQ(series_head(find_in(b, &dt)), 1u);  // a datatype! finds cells of that type
    Cell it = DT(TYPE_INTEGER);
    EXPECT_EQ(series_head(find_in(b, &it)), 0u);
    EXPECT_EQ(series_head(find_in(b, &it, true)), 1u);  // /only: the datatype! value itself

    Cell* seq = ints({1, 2});
    EXPECT_EQ(series_head(find_in(b, seq)), 3u);
    EXPECT_EQ(series_head(find_in(b, seq, false, false, false, true)), 5u);
    EXPECT_EQ(TYPE_OF(find_in(b, seq, true)), TYPE_NONE);

    Cell* from = stack::push(b);
    series_head(from) = 4;
    EXPECT_EQ(series_head(find_in(from, &one, false, false, true)), 3u);   // /reverse
    series_head(from) = 5;
    EXPECT_EQ(series_head(find_in(from, seq, false, false, true)), 3u);    // a sequence ends before the index
    Cell two_cells = integer_cell(2);
    EXPECT_EQ(TYPE_OF(find_in(b, &three, false, false, false, false, false, &two_cells)), TYPE_NONE);  // /part
    EXPECT_EQ(series_head(find_in(b, &two, false, false, false, false, false, nullptr, &two_cells)), 2u);  // /skip
    EXPECT_EQ(TYPE_OF(find_in(b, &three, false, false, false, false, false, nullptr, &two_cells)), TYPE_NONE);

    series_head(from) = 6;
    EXPECT_EQ(TYPE_OF(find_in(from, &one)), TYPE_NONE);  // at the tail
    Cell zero = integer_cell(0);
    EXPECT_EQ(error_id_of([&] { find_in(b, &one, false, false, false, false, false, nullptr, &zero); }), "out-of-range");
    Cell* empty = block::push_only_star(1);
    EXPECT_EQ(TYPE_OF(find_in(empty, &one)), TYPE_NONE);
}

TEST_F(BlockTest, SelectAndPut) {
    Cell* b = ints({1, 10, 2, 20, 3});
    Cell k = integer_cell(2), r = *b;
    block::select(&r, &k, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(static_cast<i32>(r.data2), 20);
    k = integer_cell(3);
    r = *b;
    block::select(&r, &k, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);  // nothing follows

    Cell v = integer_cell(30);
    r = *b;
    block::put(&r, &k, &v, false);  // key is the last cell: the value is added after it
    EXPECT_EQ(values(b), V({1, 10, 2, 20, 3, 30}));
    k = integer_cell(1);
    v = integer_cell(11);
    r = *b;
    block::put(&r, &k, &v, false);
    EXPECT_EQ(values(b), V({1, 11, 2, 20, 3, 30}));
    k = integer_cell(4);
    r = *b;
    block::put(&r, &k, &v, false);
    EXPECT_EQ(values(b), V({1, 11, 2, 20, 3, 30, 4, 11}));
}

TEST_F(BlockTest, SortOrdersRecordsAndMixedTypes) {
    Cell* b = ints({3, 1, 2, 5, 4});
    block::sort(b, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_EQ(values(b), V({1, 2, 3, 4, 5}));
    block::sort(b, false, nullptr, nullptr, nullptr, false, true, true);
    EXPECT_EQ(values(b), V({5, 4, 3, 2, 1}));

    Cell* rec = ints({2, 1, 1, 9, 3, 0});
    Cell two = integer_cell(2);
    block::sort(rec, false, &two, nullptr, nullptr, false, false, true);
    EXPECT_EQ(values(rec), V({1, 9, 2, 1, 3, 0}));
    block::sort(rec, false, &two, &two, nullptr, false, false, true);  // by the second column
    EXPECT_EQ(values(rec), V({3, 0, 2, 1, 1, 9}));

    Cell* part = ints({4, 3, 2, 1});
    block::sort(part, false, nullptr, nullptr, &two, false, false, false);
    EXPECT_EQ(values(part), V({3, 4, 2, 1}));

    // Values that cannot be compared are ordered by datatype id.
    Cell* mixed = block::push_only_star(4);
    Cell cells[] = {integer_cell(2), DT(TYPE_BLOCK), integer_cell(1)};
    for (Cell& c : cells) block::zs_append(mixed, &c);
    Cell* inner = block::make_in(mixed, 1);
    (void)inner;
    block::sort(mixed, false, nullptr, nullptr, nullptr, false, false, true);
    EXPECT_EQ(values(mixed), V({-1000 - i32(TYPE_DATATYPE), -1000 - i32(TYPE_BLOCK), 1, 2}));

    Cell three = integer_cell(3), zero = integer_cell(0);
    EXPECT_EQ(error_id_of([&] { block::sort(rec, false, &two, &three, nullptr, false, false, false); }), "out-of-range");
    EXPECT_EQ(error_id_of([&] { block::sort(rec, false, &two, &two, nullptr, true, false, false); }), "bad-refines");
    EXPECT_EQ(error_id_of([&] { block::sort(rec, false, &zero, nullptr, nullptr, false, false, false); }),
              "out-of-range");
    Cell* five = ints({1, 2, 3, 4, 5});
    EXPECT_EQ(error_id_of([&] { block::sort(five, false, &two, nullptr, nullptr, false, false, false); }),
              "invalid-refine-arg");
}

TEST_F(BlockTest, CopyDeepAndCycles) {
    Cell* outer = ints({1});
    Cell* inner = block::make_in(outer, 2);
    Cell two = integer_cell(2);
    block::zs_append(inner, &two);
    Cell* shallow = stack::push_star();
    block::copy(outer, shallow, nullptr, false, nullptr);
    Cell* deep = stack::push_star();
    block::copy(outer, deep, nullptr, true, nullptr);
    EXPECT_EQ(block::zs_abs_at(shallow, 1)->data2, block::zs_abs_at(outer, 1)->data2);
    EXPECT_NE(block::zs_abs_at(deep, 1)->data2, block::zs_abs_at(outer, 1)->data2);
    EXPECT_EQ(values(block::zs_abs_at(deep, 1)), V({2}));

    // A block that contains itself cannot be copied deeply.
    Cell* self = ints({1});
    block::zs_append(self, self);
    Cell* out = stack::push_star();
    EXPECT_EQ(error_id_of([&] { block::copy(self, out, nullptr, true, nullptr); }), "no-cycle");
    EXPECT_EQ(cycles::depth(), 0u);

    // /types copies only the values of the listed datatypes.
    Cell types = DT(TYPE_STRING);
    Cell* typed = stack::push_star();
    block::copy(outer, typed, nullptr, false, &types);
    EXPECT_EQ(block::zs_abs_at(typed, 1)->data2, block::zs_abs_at(outer, 1)->data2);
    types = DT(TYPE_BLOCK);
    block::copy(outer, typed, nullptr, false, &types);
    EXPECT_NE(block::zs_abs_at(typed, 1)->data2, block::zs_abs_at(outer, 1)->data2);

    Cell* cl = block::clone(outer, true, false);
    EXPECT_NE(block::zs_abs_at(cl, 1)->data2, block::zs_abs_at(outer, 1)->data2);
}

TEST_F(BlockTest, MoldWithNewLinesIndentationAndCycles) {
    Cell* b = block::push_only_star(4);
    Cell a = DT(TYPE_BLOCK), c = DT(TYPE_PAREN);
    block::zs_append(b, &a);
    Cell* inner = block::make_in(b, 2);
    block::zs_append(inner, &c);
    block::zs_append(inner, &c)->header |= FLAG_NEW_LINE;
    // A flag on a later value only breaks the line, at the current indent.
    EXPECT_EQ(molded(b), "[block! [paren!\nparen!]]");
    block::zs_abs_at(b, 0)->header |= FLAG_NEW_LINE;
    EXPECT_EQ(molded(b), "[\n    block! [paren!\n    paren!]\n]");
    EXPECT_EQ(molded(b, false, true), "[block! [paren! paren!]]");
    EXPECT_EQ(molded(b, true), "block! [paren!\nparen!]");

    // The first value of a nested block opens an indented level of its own.
    block::zs_abs_at(inner, 0)->header |= FLAG_NEW_LINE;
    EXPECT_EQ(molded(b), "[\n    block! [\n        paren!\n        paren!\n    ]\n]");

    Cell* self = block::push_only_star(2);
    block::zs_append(self, &a);
    block::zs_append(self, self);
    EXPECT_EQ(molded(self), "[block! [...]]");
    EXPECT_EQ(formed(self), "block ...");
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(BlockTest, FormSpacesAndPartLimit) {
    Cell* b = block::push_only_star(4);
    Cell* s1 = stack::push_star();
    string::zs_make_at(s1, 4);
    string::concatenate_literal(s1, "ab\n");
    Cell* s2 = stack::push_star();
    string::zs_make_at(s2, 4);
    string::concatenate_literal(s2, "cd");
    block::zs_append(b, s1);
    block::zs_append(b, s2);
    block::zs_append(b, s2);
    EXPECT_EQ(formed(b), "ab\ncd cd");  // no space after a line feed

    Cell* big = ints({});
    for (int k = 0; k < 5; k++) {
        Cell d = DT(TYPE_BLOCK);
        block::zs_append(big, &d);
    }
    Cell* buf = new_buffer();
    Cell limit = integer_cell(8);
    i32 left = block::form(big, buf, &limit, 8);
    EXPECT_EQ(text(buf), "block block");  // stops once the count falls below 1
    EXPECT_LT(left, 1);
}

TEST_F(BlockTest, CompareCellByCell) {
    Cell* a = ints({1, 2, 3});
    Cell* b = ints({1, 2, 3});
    Cell* c = ints({1, 2});
    Cell* d = ints({1, 5});
    EXPECT_EQ(block::compare(a, b, COMP_EQUAL), 0);
    EXPECT_NE(block::compare(a, c, COMP_EQUAL), 0);
    EXPECT_GT(block::compare(a, c, COMP_SORT), 0);   // same start: the longer is greater
    EXPECT_LT(block::compare(a, d, COMP_SORT), 0);
    EXPECT_EQ(block::compare(a, b, COMP_SAME), -1);
    EXPECT_EQ(block::compare(a, a, COMP_SAME), 0);
    Cell* p = stack::push(a);
    set_type(p, TYPE_PAREN);
    EXPECT_EQ(block::compare(a, p, COMP_EQUAL), -2);

    Cell* s1 = ints({1});
    block::zs_append(s1, s1);
    Cell* s2 = ints({1});
    block::zs_append(s2, s2);
    EXPECT_EQ(block::compare(s1, s2, COMP_EQUAL), 0);  // ends instead of recursing
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(BlockTest, TrimSwapAndHashFind) {
    Cell* b = block::push_only_star(4);
    Cell none, one = integer_cell(1), two = integer_cell(2);
    make_cell(&none, TYPE_NONE);
    for (Cell* c : {&none, &one, &none, &two, &none}) block::zs_append(b, c);
    block::trim(b, false, false, false, false, false, nullptr);
    EXPECT_EQ(values(b), V({1, 2}));
    Cell* other = ints({7, 8});
    series_head(other) = 1;
    block::swap(b, other);
    EXPECT_EQ(values(b), V({8, 2}));
    series_head(other) = 0;
    EXPECT_EQ(values(other), V({7, 1}));
    EXPECT_EQ(error_id_of([&] { block::swap(b, &one); }), "invalid-arg");

    // Inserting before the tail of a hash! keeps every later key findable.
    Cell model;
    make_cell(&model, TYPE_HASH);
    Cell* parent = block::push_only_star(1);
    Cell* h = stack::push(block::make_in_star(parent, 4, &model));
    for (i32 k = 1; k <= 5; k++) {
        Cell v = integer_cell(k * 10);
        Cell* cell = block::zs_append(h, &v);
        hashtable::put(h->data3, cell);
    }
    Cell* ins = ints({1, 2, 3});
    Cell* at1 = stack::push(h);
    series_head(at1) = 1;
    block::insert(at1, ins, nullptr, false, nullptr, false);
    for (i32 k = 1; k <= 5; k++) {
        Cell v = integer_cell(k * 10);
        Cell* r = find_in(h, &v);
        ASSERT_EQ(TYPE_OF(r), TYPE_HASH) << k;
        EXPECT_EQ(block::zs_head(r)->data2, u32(k * 10));
    }
    Cell v = integer_cell(2);
    EXPECT_EQ(series_head(find_in(h, &v)), 2u);
    // /match tests only the first position, even on a hash!.
    EXPECT_EQ(TYPE_OF(find_in(h, &v, false, false, false, false, true)), TYPE_NONE);
}

TEST_F(BlockTest, SetOperations) {
    struct Case {
        i32 op;
        std::vector<i32> expect;
    } cases[] = {
        {8, {1, 2, 3}}, {9, {1, 2, 3, 4}}, {10, {2, 3}}, {11, {1}}, {12, {1, 4}},
    };
    for (const Case& c : cases) {
        Cell* a = ints({1, 2, 2, 3, 1});
        Cell* b = ints({3, 4, 2, 4});
        Cell* r = block::do_set_op(a, b, false, nullptr, c.op);
        EXPECT_EQ(values(r), c.expect) << c.op;
    }
    Cell* recs = ints({1, 10, 2, 20, 1, 30});
    Cell two = integer_cell(2);
    EXPECT_EQ(values(block::do_set_op(recs, recs, false, &two, 8)), V({1, 10, 2, 20}));
    Cell zero = integer_cell(0);
    EXPECT_EQ(error_id_of([&] { block::do_set_op(recs, recs, false, &zero, 8); }), "invalid-refine-arg");
}

TEST_F(BlockTest, MakeAndTo) {
    Cell out, spec = integer_cell(0);
    block::make(&out, &spec, TYPE_BLOCK);
    EXPECT_EQ(TYPE_OF(&out), TYPE_BLOCK);
    EXPECT_EQ(block::zs_length_q(&out), 0u);
    Cell* src = ints({1, 2, 3});
    series_head(src) = 1;
    Cell* r = stack::push_star();
    block::make(r, src, TYPE_BLOCK);
    EXPECT_EQ(values(r), V({2, 3}));
    Cell five = integer_cell(5);
    block::to(r, &five, TYPE_BLOCK);
    EXPECT_EQ(values(r), V({5}));
    Cell logic;
    make_cell(&logic, TYPE_LOGIC, 1);
    EXPECT_EQ(error_id_of([&] { block::make(r, &logic, TYPE_BLOCK); }), "bad-make-arg");
}

TEST_F(BlockTest, EvalPathPicksSelectsAndSets) {
    Cell* b = ints({1, 10, 2, 20});
    Cell two = integer_cell(2), v = integer_cell(99);
    Cell* r = block::eval_path(b, &two, nullptr, nullptr, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(r->data2, 10u);
    block::eval_path(b, &two, &v, nullptr, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(values(b), V({1, 99, 2, 20}));
    Cell key = DT(TYPE_STRING);
    EXPECT_EQ(error_id_of([&] { block::eval_path(b, &key, &v, b, nullptr, nullptr, 0, false, false, false); }),
              "bad-path-set");
    Cell* keyed = block::push_only_star(2);
    block::zs_append(keyed, &key);
    block::zs_append(keyed, &two);
    block::eval_path(keyed, &key, &v, keyed, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(block::zs_abs_at(keyed, 1)->data2, 99u);
    r = block::eval_path(keyed, &key, nullptr, nullptr, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(r->data2, 99u);
}

TEST_F(BlockTest, TextTables) {
    struct Case {
        const char* source;
        const char* action;
        const char* expect;
    } cases[] = {
        {"[\n a b\n c\n]", "mold", "[\n    a b\n    c\n]"},
        {"[a [\n b]]", "mold", "[a [\n    b\n]]"},
        {"[a b\n c]", "mold", "[a b\nc]"},
        {"[\n a b\n c\n]", "mold/flat", "[a b c]"},
        {"[3 1 2.5 \"b\" \"a\"]", "sort", "[\"a\" \"b\" 1 2.5 3]"},
        {"[a 1 b 2]", "reverse/skip", "[b 2 a 1]"},
        {"[1 [2 [3]]]", "form", "1 2 3"},
        {"[x y z]", "take/last", "z"},
        {"\"1 [2 3] x\"", "to-block", "[1 [2 3] x]"},
        {"[a b c d]", "find-b-c", "[b c d]"},
        {"[a b c d]", "select-b", "c"},
    };
    for (const Case& c : cases) {
        Cell* v = test::load_one(c.source);
        std::string a = c.action;
        Cell two;
        make_cell(&two, TYPE_INTEGER, 0, 2);
        if (a == "mold") {
            EXPECT_EQ(test::mold(v), c.expect) << c.source;
            continue;
        }
        if (a == "mold/flat") {
            EXPECT_EQ(molded(v, false, true), c.expect) << c.source;
            continue;
        }
        if (a == "sort") block::sort(v, false, nullptr, nullptr, nullptr, false, false, true);
        if (a == "reverse/skip") series::reverse(v, nullptr, &two);
        if (a == "form") {
            EXPECT_EQ(test::form(v), c.expect) << c.source;
            continue;
        }
        if (a == "take/last") block::take(v, nullptr, false, true);
        if (a == "to-block") block::to(v, stack::push(v), TYPE_BLOCK);
        if (a == "find-b-c") find_in(v, test::load("b c"));
        if (a == "find-b-c") v = stack::top - 1;
        if (a == "select-b") {
            Cell key = *test::load_one("b");
            block::select(v, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
        }
        EXPECT_EQ(test::mold(v), c.expect) << c.source << " " << a;
    }
}
