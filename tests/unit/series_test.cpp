// series! actions on blocks and strings: navigation and index clamping, pick
// and poke, and the in-place edits shared by every series datatype.
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct SeriesTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

using test::integer_cell;

using test::ints;

// The integers from the index (-999 for any other value).
std::vector<i32> values(Cell* b) {
    std::vector<i32> out;
    for (u32 k = series_head(b); k < block::buffer_of(b)->length(); k++) {
        Cell* c = block::zs_abs_at(b, k);
        out.push_back(TYPE_OF(c) == TYPE_INTEGER ? static_cast<i32>(c->data2) : -999);
    }
    return out;
}


std::string text(Cell* s) {
    std::string out;
    for (u32 i = series_head(s); i < string::zs_abs_length_q(s); i++)
        out += static_cast<char>(string::zs_abs_at(s, i));
    return out;
}

// Runs a navigation action over (series, n) in a fresh argument region.
Cell nav(Cell* (*fn)(), const Cell* s, i32 n = 0) {
    Cell* saved = stack::arguments;
    Cell* base = stack::top;
    stack::push(s);
    Cell i = integer_cell(n);
    stack::push(&i);
    stack::arguments = base;
    fn();
    Cell r = *base;
    stack::arguments = saved;
    stack::top = base;
    return r;
}

using test::error_id_of;

std::vector<i32> V(std::initializer_list<i32> v) { return v; }

}  // namespace

TEST_F(SeriesTest, AtAndSkipClampToHeadAndTail) {
    struct Case {
        bool at;
        u32 index;
        i32 n;
        u32 expect;
    } cases[] = {
        {true, 2, 1, 2},  {true, 2, 0, 2},  {true, 2, -1, 1}, {true, 2, 3, 4},   {true, 2, 9, 5},
        {true, 2, -9, 0}, {true, 0, 1, 0},  {true, 0, 6, 5},  {false, 2, 0, 2},  {false, 2, 1, 3},
        {false, 2, -1, 1}, {false, 2, 9, 5}, {false, 2, -9, 0}, {false, 5, 1, 5},
    };
    Cell* b = ints({1, 2, 3, 4, 5});
    for (const Case& c : cases) {
        Cell s = *b;
        series_head(&s) = c.index;
        Cell r = nav(c.at ? series::at : series::skip, &s, c.n);
        EXPECT_EQ(series_head(&r), c.expect) << (c.at ? "at " : "skip ") << c.index << " " << c.n;
    }
    Cell s = *b;
    Cell* saved = stack::arguments;
    stack::arguments = stack::top;
    stack::push(&s);
    stack::push(test::S("x"));
    EXPECT_EQ(error_id_of([] { series::at(); }), "invalid-arg");
    stack::arguments = saved;
}

TEST_F(SeriesTest, NextBackHeadTailAndPredicates) {
    Cell* b = ints({1, 2});
    Cell s = *b;
    series_head(&s) = 2;
    EXPECT_EQ(series_head(&(s = nav(series::next, &s))), 2u);  // next at the tail stays
    EXPECT_EQ(series_head(&(s = nav(series::back, &s))), 1u);
    series_head(&s) = 0;
    EXPECT_EQ(series_head(&(s = nav(series::back, &s))), 0u);  // back at the head stays
    Cell r = nav(series::head_q, &s);
    EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
    EXPECT_EQ(r.data1, 1u);
    r = nav(series::index_q, &s);
    EXPECT_EQ(static_cast<i32>(r.data2), 1);
    s = nav(series::tail, &s);
    EXPECT_EQ(series_head(&s), 2u);
    r = nav(series::tail_q, &s);
    EXPECT_EQ(r.data1, 1u);
    EXPECT_EQ(series_head(&(s = nav(series::head, &s))), 0u);
}

TEST_F(SeriesTest, IndexPastTailAfterClearThroughAnotherValue) {
    Cell* b = ints({1, 2, 3, 4});
    Cell* late = stack::push(b);
    series_head(late) = 3;
    series::clear(b);  // b is at its head: everything goes
    EXPECT_EQ(series::length_q(late), 0);
    EXPECT_EQ(series_head(late), 0u);  // length-from clamps the index
    series_head(late) = 3;
    Cell r = nav(series::tail_q, late);
    EXPECT_EQ(r.data1, 1u);
    EXPECT_EQ(block::zs_length_q(late), 0u);
}

TEST_F(SeriesTest, PickCountsFromOneForwardAndMinusOneBackward) {
    Cell* b = ints({10, 20, 30, 40});
    Cell s = *b;
    series_head(&s) = 2;
    struct Case {
        i32 n;
        i32 expect;  // -1: none
    } cases[] = {{1, 30}, {2, 40}, {3, -1}, {0, -1}, {-1, 20}, {-2, 10}, {-3, -1}};
    for (const Case& c : cases) {
        Cell out;
        series::pick(&s, c.n, &out);
        if (c.expect < 0) EXPECT_EQ(TYPE_OF(&out), TYPE_NONE) << c.n;
        else EXPECT_EQ(static_cast<i32>(out.data2), c.expect) << c.n;
    }
    Cell* t = test::S("abc");
    Cell out;
    series::pick(t, 2, &out);
    EXPECT_EQ(TYPE_OF(&out), TYPE_CHAR);
    EXPECT_EQ(out.data2, u32('b'));
}

TEST_F(SeriesTest, PokeStoresOrRaises) {
    Cell* b = ints({1, 2, 3});
    Cell s = *b;
    series_head(&s) = 1;
    Cell v = integer_cell(9), out;
    series::poke(&s, -1, &v, &out);
    EXPECT_EQ(values(b), V({9, 2, 3}));
    EXPECT_EQ(static_cast<i32>(out.data2), 9);
    for (i32 n : {0, 3, -2}) EXPECT_EQ(error_id_of([&] { series::poke(&s, n, &v, &out); }), "out-of-range") << n;

    Cell* t = test::S("abc");
    EXPECT_EQ(error_id_of([&] { series::poke(t, 1, &v, &out); }), "invalid-arg");
    Cell ch;
    make_cell(&ch, TYPE_CHAR, 0, 0x263A);  // needs a wider buffer
    series::poke(t, 2, &ch, &out);
    EXPECT_EQ(string::zs_abs_at(t, 1), 0x263Au);
    EXPECT_EQ(string::zs_abs_at(t, 2), u32('c'));
}

TEST_F(SeriesTest, RemoveWithPart) {
    struct Case {
        u32 index;
        i32 part;  // -100: no /part
        std::vector<i32> expect;
    } cases[] = {
        {1, -100, {1, 3, 4, 5}}, {1, 2, {1, 4, 5}}, {1, 99, {1}}, {1, 0, {1, 2, 3, 4, 5}},
        {5, -100, {1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        Cell* b = ints({1, 2, 3, 4, 5});
        series_head(b) = c.index;
        Cell p = integer_cell(c.part);
        series::remove(b, c.part == -100 ? nullptr : &p, nullptr);
        EXPECT_EQ(series_head(b), c.index);
        series_head(b) = 0;
        EXPECT_EQ(values(b), c.expect) << c.index << " " << c.part;
    }
    Cell* b = ints({1, 2, 3, 4, 5});
    Cell end = *b;
    series_head(&end) = 3;
    series::remove(b, &end, nullptr);
    EXPECT_EQ(values(b), V({4, 5}));
    Cell* other = ints({1});
    EXPECT_EQ(error_id_of([&] { series::remove(b, other, nullptr); }), "invalid-refine-arg");
}

TEST_F(SeriesTest, ReverseWholeRecordsAndErrors) {
    Cell* b = ints({1, 2, 3, 4, 5, 6});
    series::reverse(b, nullptr, nullptr);
    EXPECT_EQ(values(b), V({6, 5, 4, 3, 2, 1}));
    Cell two = integer_cell(2);
    series::reverse(b, nullptr, &two);
    EXPECT_EQ(values(b), V({2, 1, 4, 3, 6, 5}));
    Cell part = integer_cell(3);
    series::reverse(b, &part, nullptr);
    EXPECT_EQ(values(b), V({4, 1, 2, 3, 6, 5}));
    Cell zero = integer_cell(0), four = integer_cell(4);
    EXPECT_EQ(error_id_of([&] { series::reverse(b, nullptr, &zero); }), "out-of-range");
    EXPECT_EQ(error_id_of([&] { series::reverse(b, nullptr, &four); }), "invalid-refine-arg");
    Cell* s = test::S("abc");
    series::reverse(s, nullptr, nullptr);
    EXPECT_EQ(text(s), "cba");
}

TEST_F(SeriesTest, TakeFirstLastAndParts) {
    Cell* b = ints({1, 2, 3, 4, 5});
    Cell r = *b;
    series::take(&r, nullptr, false, false);
    EXPECT_EQ(static_cast<i32>(r.data2), 1);
    r = *b;
    series::take(&r, nullptr, false, true);
    EXPECT_EQ(static_cast<i32>(r.data2), 5);
    Cell part = integer_cell(2);
    r = *b;
    series::take(&r, &part, false, true);
    stack::push(&r);
    EXPECT_EQ(values(&r), V({3, 4}));
    r = *b;
    series::take(&r, &part, false, false);
    EXPECT_EQ(values(&r), V({2}));
    EXPECT_EQ(values(b), V({}));
    r = *b;
    series::take(&r, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);  // nothing left

    Cell* s = test::S("hello");
    r = *s;
    series::take(&r, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(&r), TYPE_CHAR);
    EXPECT_EQ(r.data2, u32('h'));
    r = *s;
    series::take(&r, &part, false, false);
    EXPECT_EQ(TYPE_OF(&r), TYPE_STRING);
    EXPECT_EQ(text(&r), "el");
    EXPECT_EQ(text(s), "lo");
}

TEST_F(SeriesTest, CopyPartCountsAndNewLineFlag) {
    Cell* b = ints({1, 2, 3, 4, 5});
    series_head(b) = 3;
    struct Case {
        i32 part;
        std::vector<i32> expect;
    } cases[] = {{1, {4}}, {9, {4, 5}}, {0, {}}, {-2, {2, 3}}, {-9, {1, 2, 3}}};
    for (const Case& c : cases) {
        Cell p = integer_cell(c.part);
        Cell* out = stack::push_star();
        series::copy(b, out, &p, false, nullptr);
        EXPECT_EQ(values(out), c.expect) << c.part;
    }
    Cell end = *b;
    series_head(&end) = 1;  // a series before the index copies the units between
    Cell* out = stack::push_star();
    series::copy(b, out, &end, false, nullptr);
    EXPECT_EQ(values(out), V({2, 3}));

    b->header |= FLAG_NEW_LINE;
    series::copy(b, out, nullptr, false, nullptr);
    EXPECT_TRUE(out->header & FLAG_NEW_LINE);
    Cell* s = test::S("x");
    EXPECT_EQ(error_id_of([&] { series::copy(b, out, s, false, nullptr); }), "invalid-refine-arg");
}

TEST_F(SeriesTest, MoveInsideOneBufferAndAcross) {
    Cell* b = ints({1, 2, 3, 4, 5});
    Cell to = *b;
    series_head(&to) = 4;  // before 5, counted before the removal
    Cell from = *b;
    Cell two = integer_cell(2);
    series::move(&from, &to, &two);
    EXPECT_EQ(values(b), V({3, 4, 1, 2, 5}));
    from = *b;
    series_head(&from) = 3;
    to = *b;
    series::move(&from, &to, nullptr);
    EXPECT_EQ(values(b), V({2, 3, 4, 1, 5}));

    Cell* target = ints({7, 8});
    series_head(target) = 1;
    from = *b;
    series::move(&from, target, &two);
    series_head(target) = 0;
    EXPECT_EQ(values(target), V({7, 2, 3, 8}));
    EXPECT_EQ(values(b), V({4, 1, 5}));

    Cell* s = test::S("ab");
    from = *b;
    EXPECT_EQ(error_id_of([&] { series::move(&from, s, nullptr); }), "move-bad");
}

TEST_F(SeriesTest, MoveWidensAStringTarget) {
    Cell* wide = test::S("x");
    Cell ch;
    make_cell(&ch, TYPE_CHAR, 0, 0x3A9);
    Cell out;
    series::poke(wide, 1, &ch, &out);  // unit 2 now
    Cell* narrow = test::S("abc");
    Cell two = integer_cell(2);
    Cell from = *wide;
    series::move(&from, narrow, &two);  // only one unit remains in the source
    EXPECT_EQ(series_node(&from), series_node(narrow));  // the result is the target
    EXPECT_EQ(string::zs_abs_length_q(narrow), 4u);
    EXPECT_EQ(string::zs_abs_at(narrow, 0), 0x3A9u);
    EXPECT_EQ(string::zs_abs_at(narrow, 1), u32('a'));
    EXPECT_EQ(string::zs_abs_length_q(wide), 0u);
}
