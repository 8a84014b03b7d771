// The path family and paren!: registration, making, converting, form and mold.
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "runtime_fixture.h"
#include "test_util.h"
#include "tests/unit/load_helper.h"

using namespace zav;

namespace {

struct PathTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

using test::error_id_of;

}  // namespace

TEST_F(PathTest, MoldAndFormText) {
    struct Case {
        const char* source;
        const char* mold;
        const char* form;
    } cases[] = {
        {"a/b/c", "a/b/c", "a/b/c"},
        {"'a/b", "'a/b", "a/b"},
        {"a/b:", "a/b:", "a/b"},
        {":a/b", ":a/b", "a/b"},
        {"a/1/(b c)", "a/1/(b c)", "a/1/b c"},
        {"(a [b] c)", "(a [b] c)", "a b c"},
    };
    for (const Case& c : cases) {
        Cell* v = test::load_one(c.source);
        EXPECT_EQ(test::mold(v), c.mold) << c.source;
        EXPECT_EQ(test::form(v), c.form) << c.source;
    }
}

TEST_F(PathTest, MakeAndTo) {
    Cell* out = stack::push_star();
    Cell zero;
    make_cell(&zero, TYPE_INTEGER, 0, 0);
    path::make(out, &zero, TYPE_PATH);
    EXPECT_EQ(TYPE_OF(out), TYPE_PATH);
    EXPECT_EQ(block::zs_length_q(out), 0u);
    EXPECT_GE(block::buffer_of(out)->size, 16u);  // room for one element

    Cell* blk = test::load("a b");
    path::to(out, blk, TYPE_PATH);
    EXPECT_EQ(test::mold(out), "a/b");
    path::make(out, blk, TYPE_SET_PATH);
    EXPECT_EQ(test::mold(out), "a/b:");
    Cell* p = test::load_one("x/y");
    path::to(out, p, TYPE_GET_PATH);
    EXPECT_EQ(test::mold(out), ":x/y");
    Cell dt;
    datatype::make_at(&dt, TYPE_BLOCK);
    path::to(out, &dt, TYPE_PATH);
    EXPECT_EQ(test::mold(out), "block!");
    EXPECT_EQ(block::zs_length_q(out), 1u);
    EXPECT_EQ(error_id_of([&] { path::make(out, &dt, TYPE_PATH); }), "bad-make-arg");

    // copy keeps the path type
    Cell* copy = stack::push_star();
    path::copy(p, copy, nullptr, false, nullptr);
    EXPECT_EQ(TYPE_OF(copy), TYPE_PATH);
    EXPECT_NE(series_node(copy), series_node(p));
}

TEST_F(PathTest, SelfContainingPathsAndParensUseTheCycleMark) {
    Cell* p = test::load_one("a/b");
    Cell* held = stack::push(p);
    block::zs_append(held, held);
    EXPECT_EQ(test::mold(held), "a/b/...");
    EXPECT_EQ(test::form(held), "a/b/...");
    Cell* paren = test::load_one("(a)");
    Cell* ph = stack::push(paren);
    block::zs_append(ph, ph);
    EXPECT_EQ(test::mold(ph), "(a (...))");
    EXPECT_EQ(test::form(ph), "a ...");
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(PathTest, ScannerMakers) {
    Cell* b = test::load_one("[a b]");
    Cell c = *b;
    Cell* pushed = lit_path::push(&c);
    EXPECT_EQ(TYPE_OF(pushed), TYPE_LIT_PATH);
    EXPECT_EQ(test::mold(pushed), "'a/b");
    EXPECT_EQ(TYPE_OF(paren::push(&c)), TYPE_PAREN);
    EXPECT_EQ(TYPE_OF(set_path::push(&c)), TYPE_SET_PATH);
    EXPECT_EQ(TYPE_OF(get_path::push(&c)), TYPE_GET_PATH);
    EXPECT_EQ(TYPE_OF(path::push(&c)), TYPE_PATH);
}
