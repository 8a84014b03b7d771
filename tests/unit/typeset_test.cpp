// typeset! values: making, membership, set operations, mold and compare,
// and the named typesets made at start-up.
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct TypesetTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

Cell* make_ts(const char* spec_text) {
    Cell* spec = test::load(spec_text);
    return typeset::make(nullptr, spec, TYPE_TYPESET);
}

using test::error_of;

using test::DT;

}  // namespace

TEST_F(TypesetTest, MakeAndMold) {
    struct Case {
        const char* spec;
        const char* mold;
    } cases[] = {
        {"", "make typeset! []"},
        {"integer! float!", "make typeset! [integer! float!]"},
        {"float! integer! float!", "make typeset! [integer! float!]"},  // type-id order, no repeats
        {"block! any-word!", "make typeset! [block! word! set-word! lit-word! get-word!]"},
    };
    for (const Case& c : cases) {
        Cell* ts = make_ts(c.spec);
        EXPECT_EQ(test::mold(ts), c.mold) << c.spec;
        EXPECT_EQ(test::form(ts), c.mold) << c.spec;
    }
    Cell* ts = make_ts("integer! float!");
    Cell* buf = stack::push_star();
    string::zs_make_at(buf, 16);
    typeset::mold(ts, buf, true, false, false, nullptr, 1000, 0);
    EXPECT_EQ(test::form(buf), "integer! float!");
}

TEST_F(TypesetTest, MakeErrors) {
    EXPECT_EQ(error_of([] { make_ts("1"); }), "script/invalid-arg");
    EXPECT_EQ(error_of([] {
                  Cell i;
                  make_cell(&i, TYPE_INTEGER, 0, 3);
                  typeset::make(nullptr, &i, TYPE_TYPESET);
              }),
              "script/bad-to-arg");
    // A typeset spec is answered as it is.
    Cell* ts = make_ts("integer!");
    EXPECT_EQ(typeset::make(nullptr, ts, TYPE_TYPESET), ts);
}

TEST_F(TypesetTest, FindAndCount) {
    Cell* ts = make_ts("integer! char!");
    Cell i = DT(TYPE_INTEGER), s = DT(TYPE_STRING);
    Cell r = *ts;
    EXPECT_EQ(typeset::find(&r, &i, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                            false)->data1, 1u);
    r = *ts;
    EXPECT_EQ(typeset::find(&r, &s, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                            false)->data1, 0u);
    Cell n;
    make_cell(&n, TYPE_INTEGER, 0, 3);
    EXPECT_EQ(error_of([&] {
                  Cell t = *ts;
                  typeset::find(&t, &n, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                                false);
              }),
              "script/invalid-arg");
    EXPECT_EQ(typeset::count_types(ts), 2u);
    Cell* blk = stack::push_star();
    make_cell(blk, TYPE_UNSET);
    typeset::to_block(ts, blk);
    EXPECT_EQ(test::mold(blk), "[char! integer!]");
}

TEST_F(TypesetTest, SetOperations) {
    struct Case {
        i32 op;
        const char* a;
        const char* b;
        const char* result;
    } cases[] = {
        {9, "integer! float!", "float! string!", "make typeset! [string! integer! float!]"},
        {10, "integer! float!", "float! string!", "make typeset! [float!]"},
        {11, "integer! float!", "float! string!", "make typeset! [integer!]"},
        {12, "integer! float!", "float! string!", "make typeset! [string! integer!]"},
        {8, "integer! float!", "float! string!", "make typeset! [integer! float!]"},
        {5, "integer!", "char!", "make typeset! [char! integer!]"},
        {6, "integer! char!", "char!", "make typeset! [char!]"},
        {7, "integer! char!", "char! none!", "make typeset! [none! integer!]"},
    };
    for (const Case& c : cases) {
        stack::arguments = stack::top = stack::bottom;
        Cell a = *make_ts(c.a), b = *make_ts(c.b);
        stack::arguments = stack::top = stack::bottom;
        stack::push(&a);
        stack::push(&b);
        EXPECT_EQ(test::mold(typeset::do_set_op(c.op)), c.result) << c.op;
    }
    // A datatype second operand is a one-type typeset.
    stack::arguments = stack::top = stack::bottom;
    Cell a = *make_ts("integer!"), d = DT(TYPE_FLOAT);
    stack::arguments = stack::top = stack::bottom;
    stack::push(&a);
    stack::push(&d);
    EXPECT_EQ(test::mold(typeset::or_t()), "make typeset! [integer! float!]");
    stack::arguments = stack::top = stack::bottom;
    stack::push(&a);
    Cell n;
    make_cell(stack::push_star(), TYPE_NONE);
    EXPECT_EQ(error_of([] { typeset::do_set_op(9); }), "script/invalid-arg");
    (void)n;
}

TEST_F(TypesetTest, ComplementAndCompare) {
    Cell a = *make_ts("integer! float!");
    Cell b = a;
    typeset::complement(&b);
    EXPECT_FALSE(typeset::has(&b, TYPE_INTEGER));
    EXPECT_TRUE(typeset::has(&b, TYPE_STRING));
    EXPECT_TRUE(typeset::has(&b, 95));  // bits above the highest type id invert too
    typeset::complement(&b);
    EXPECT_EQ(typeset::compare(&a, &b, COMP_STRICT_EQUAL), 0);
    Cell c = *make_ts("integer!");
    EXPECT_EQ(typeset::compare(&a, &c, COMP_EQUAL), 1);
    EXPECT_EQ(typeset::compare(&c, &a, COMP_SORT), -1);  // fewer types first
    EXPECT_EQ(typeset::compare(&a, &c, COMP_LESSER), -2);
    Cell* blk = test::load("integer!");
    EXPECT_EQ(typeset::compare(&a, blk, COMP_EQUAL), -2);
}

TEST_F(TypesetTest, FunctionArgumentTypes) {
    Cell* out = block::push_only_star(2);
    Cell* spec = test::load("integer! [ignored] any-word!");
    Cell* ts = typeset::make_from_block(out, spec);
    EXPECT_EQ(test::mold(ts), "make typeset! [integer! word! set-word! lit-word! get-word!]");
    // A word whose value is a word names an object class.
    Cell w = *block::zs_head(test::load("foo"));
    context::set_global(symbol::make("klass"), &w);
    Cell* obj = typeset::make_from_block(out, test::load("klass"));
    EXPECT_TRUE(typeset::has(obj, TYPE_OBJECT));
    EXPECT_EQ(error_of([&] { typeset::make_from_block(out, test::load("\"text\"")); }),
              "script/invalid-type-spec");
    Cell* def = typeset::make_default(out);
    EXPECT_FALSE(typeset::has(def, TYPE_UNSET));
    EXPECT_TRUE(typeset::has(def, TYPE_NONE));
    EXPECT_TRUE(typeset::has(def, TYPE_EVENT));
}

TEST_F(TypesetTest, NamedTypesetsAreGlobalWords) {
    struct Case {
        const char* name;
        u32 in;
        u32 out;
    } cases[] = {
        {"any-word!", TYPE_GET_WORD, TYPE_REFINEMENT}, {"all-word!", TYPE_ISSUE, TYPE_STRING},
        {"any-block!", TYPE_SET_PATH, TYPE_STRING},   {"any-list!", TYPE_HASH, TYPE_PATH},
        {"series!", TYPE_BINARY, TYPE_CHAR},          {"any-string!", TYPE_REF, TYPE_BINARY},
        {"number!", TYPE_PERCENT, TYPE_MONEY},        {"scalar!", TYPE_MONEY, TYPE_STRING},
        {"any-function!", TYPE_OP, TYPE_OBJECT},      {"any-object!", TYPE_ERROR, TYPE_MAP},
        {"any-type!", TYPE_UNSET, TYPE_SYMBOL_ID},    {"default!", TYPE_NONE, TYPE_UNSET},
        {"immediate!", TYPE_TYPESET, TYPE_BLOCK},     {"any-point!", TYPE_POINT3D, TYPE_PAIR},
    };
    for (const Case& c : cases) {
        Cell w;
        make_cell(&w, TYPE_WORD, context::global, static_cast<u32>(symbol::make(c.name)), 0xFFFFFFFF);
        Cell* ts = context::get_global(symbol::make(c.name));
        ASSERT_EQ(TYPE_OF(ts), u32(TYPE_TYPESET)) << c.name;
        EXPECT_TRUE(typeset::has(ts, c.in)) << c.name;
        EXPECT_FALSE(typeset::has(ts, c.out)) << c.name;
    }
}
