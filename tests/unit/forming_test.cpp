// Forming helpers and the cycle guard.
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "datatypes/error.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "datatypes/forming.h"
#include "runtime/cell.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct FormingTest : test::CleanRuntimeTest {};

using test::text_of;

using test::float_cell;

using test::error_of;

}  // namespace

TEST_F(FormingTest, CheckFloatRange) {
    struct Case {
        double value;
        i32 expect;
    } ok[] = {{2147483647.0, 2147483647}, {-2147483648.0, -2147483647 - 1}, {1.4, 1}, {1.6, 2}, {-2.6, -3}, {0.0, 0}};
    for (const Case& c : ok) {
        Cell f = float_cell(c.value);
        EXPECT_EQ(check_float_range(&f), c.expect) << c.value;
    }
    for (double bad : {2147483648.0, -2147483649.0, std::nan(""), 1e300}) {
        Cell f = float_cell(bad);
        EXPECT_EQ(error_of([&] { check_float_range(&f); }), "script/out-of-range") << bad;
    }
    Cell i;
    make_cell(&i, TYPE_INTEGER, 0, static_cast<u32>(-5));
    EXPECT_EQ(check_float_range(&i), -5);
}

TEST_F(FormingTest, IndentAndFill) {
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 4);
    EXPECT_EQ(mold_indent(&buf, 2, 100), 92);
    EXPECT_EQ(text_of(&buf), std::string(8, ' '));
    EXPECT_EQ(mold_indent(&buf, 0, 5), 5);

    for (u32 count : {0u, 1u, 2u, 5u, 16u, 33u}) {
        std::string area(3 * (count + 1) + 3, '.');
        area.replace(0, 3, "abc");
        fill_repeat(reinterpret_cast<u8*>(area.data()), 3, count);
        std::string expect;
        for (u32 i = 0; i <= count; i++) expect += "abc";
        EXPECT_EQ(area, expect + "...") << count;
    }
}

TEST_F(FormingTest, FormValue) {
    Cell* s = string::load("hello world");
    Cell value = *s;
    EXPECT_EQ(text_of(form_value(&value, false, 0)), "hello world");
    EXPECT_EQ(text_of(form_value(&value, true, 5)), "hello");
    EXPECT_EQ(text_of(form_value(&value, true, 0)), "hello world");
}

TEST_F(FormingTest, CycleDetection) {
    collector::GuardedCell blk_root;
    Cell& blk = blk_root.value;
    make_cell(&blk, TYPE_BLOCK, 0, alloc_cells(4));
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 16);
    i32 limit = 100;
    EXPECT_FALSE(cycles::detect_q(&blk, &buf, limit, true));
    cycles::push(series_node(&blk));
    EXPECT_TRUE(cycles::detect_q(&blk, &buf, limit, true));
    EXPECT_EQ(text_of(&buf), "[...]");
    EXPECT_EQ(limit, 95);
    EXPECT_TRUE(cycles::detect_q(&blk, &buf, limit, false));
    EXPECT_EQ(text_of(&buf), "[...]...");
    EXPECT_EQ(limit, 92);
    Cell paren = blk;
    set_type(&paren, TYPE_PAREN);
    string::zs_reset(&buf);
    EXPECT_TRUE(cycles::detect_q(&paren, &buf, limit, true));
    Cell path = blk;
    set_type(&path, TYPE_PATH);
    EXPECT_TRUE(cycles::detect_q(&path, &buf, limit, true));
    EXPECT_EQ(text_of(&buf), "(...)...");
    cycles::pop();
    EXPECT_FALSE(cycles::detect_q(&blk, &buf, limit, true));
}

TEST_F(FormingTest, TooDeepEmptiesTheStack) {
    std::string err;
    for (u32 i = 1; i <= cycles::CYCLES_SIZE && err.empty(); i++) err = error_of([&] { cycles::push(i); });
    EXPECT_EQ(err, "internal/too-deep");
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(FormingTest, LoadValue) {
    collector::GuardedCell result_root;  // a loaded string is only in this cell
    Cell& result = result_root.value;
    ASSERT_TRUE(load_value(string::load("12 abc"), &result));
    EXPECT_EQ(TYPE_OF(&result), TYPE_INTEGER);
    EXPECT_EQ(static_cast<i32>(result.data2), 12);
    ASSERT_TRUE(load_value(string::load("  "), &result));
    EXPECT_EQ(TYPE_OF(&result), TYPE_UNSET);
    ASSERT_TRUE(load_value(string::load("\"hi\""), &result));
    EXPECT_EQ(TYPE_OF(&result), TYPE_STRING);
    EXPECT_EQ(text_of(&result), "hi");
}
