// bitset! values: making from specs, member access, complement and set
// operations, mold and compare; triple! mold.
#include <string>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/triple.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct BitsetTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

// A bitset made from the first loaded value of the text.
Cell make_bits(const char* text) { return *bitset::make(nullptr, test::load_one(text), TYPE_BITSET); }

using test::error_of;

bool has(Cell bits, const char* member) {
    Cell b = bits;
    return bitset::find(&b, test::load_one(member), nullptr, false, false, false, false, nullptr, nullptr, false,
                        false, false, false)
               ->data1 != 0;
}

using test::integer_cell;

}  // namespace

TEST_F(BitsetTest, MakeFromSpecs) {
    struct Case {
        const char* spec;
        const char* mold;
    } cases[] = {
        {"#\"A\"", "make bitset! #{000000000000000040}"},
        {"\"AB\"", "make bitset! #{000000000000000060}"},
        {"[0 7 8]", "make bitset! #{8180}"},
        {"[0 - 9]", "make bitset! #{FFC0}"},
        {"[#\"a\" \"b\" [99]]", "make bitset! #{00000000000000000000000070}"},
        {"10", "make bitset! #{0000}"},
        {"2.9", "make bitset! #{00}"},
        {"0", "make bitset! #{}"},
        {"#{F0}", "make bitset! #{F0}"},
        {"\"\"", "make bitset! #{00}"},
        {"[not \"a\"]", "make bitset! [not #{00000000000000000000000040}]"},
        {"[not #{F0}]", "make bitset! [not #{F0}]"},
        {"[not]", "make bitset! [not #{00}]"},
    };
    for (const Case& c : cases) {
        Cell b = make_bits(c.spec);
        EXPECT_EQ(test::mold(&b), c.mold) << c.spec;
        EXPECT_EQ(test::form(&b), c.mold) << c.spec;
    }
}

TEST_F(BitsetTest, RangesAndTheirErrors) {
    Cell letters = make_bits("[#\"a\" - #\"z\"]");
    i32 count = 0;
    for (u32 cp = 0; cp < 256; cp++) count += bitset::test(&letters, cp);
    EXPECT_EQ(count, 26);
    EXPECT_TRUE(bitset::test(&letters, 'a'));
    EXPECT_TRUE(bitset::test(&letters, 'z'));
    EXPECT_FALSE(bitset::test(&letters, 'A'));

    struct Case {
        const char* spec;
        const char* error;
    } cases[] = {
        {"[#\"z\" - #\"a\"]", "script/past-end"},
        {"[#\"a\" -]", "script/past-end"},
        {"[#\"a\" - 100]", "script/invalid-arg"},
        {"-1", "script/out-of-range"},
        {"[5 -1]", "script/out-of-range"},
        {"true", "script/bad-make-arg"},
        {"[a]", "script/bad-make-arg"},
        {"[#{00}]", "internal/not-done"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of([&] { make_bits(c.spec); }), c.error) << c.spec;

    // to refuses sizes.
    EXPECT_EQ(error_of([] { bitset::to(nullptr, test::load_one("10"), TYPE_BITSET); }), "script/bad-to-arg");
    EXPECT_EQ(error_of([] { bitset::to(nullptr, test::load_one("none"), TYPE_BITSET); }), "script/bad-to-arg");
    Cell t = *bitset::to(nullptr, test::load_one("\"a\""), TYPE_BITSET);
    EXPECT_TRUE(bitset::test(&t, 'a'));
}

TEST_F(BitsetTest, SizeSpecsGiveRoom) {
    Cell b = make_bits("10");
    EXPECT_EQ(bitset::length_q(&b), 16);
    for (u32 n = 0; n < 16; n++) EXPECT_FALSE(bitset::test(&b, n));
    EXPECT_FALSE(bitset::test(&b, 100000));
}

TEST_F(BitsetTest, ComplementedMembership) {
    Cell b = make_bits("[not \"a\"]");
    EXPECT_FALSE(has(b, "#\"a\""));
    EXPECT_TRUE(has(b, "#\"b\""));
    EXPECT_TRUE(has(b, "100000"));  // beyond the stored bytes
    EXPECT_TRUE(has(b, "\"bcd\""));
    EXPECT_FALSE(has(b, "\"bad\""));
    EXPECT_FALSE(has(b, "-1"));  // testing a negative number finds nothing
    // The copies complement makes live on the value stack, where the collector sees them.
    Cell* c = stack::push(&b);
    bitset::complement(c);
    EXPECT_EQ(test::mold(c), "make bitset! #{00000000000000000000000040}");
    EXPECT_FALSE(bitset::complemented_q(c));
    EXPECT_TRUE(bitset::complemented_q(&b));  // complement made a copy
    Cell* n = stack::push(&b);
    bitset::negate(n);
    EXPECT_EQ(test::mold(n), test::mold(c));
}

TEST_F(BitsetTest, PickPokeFindRemove) {
    Cell b = make_bits("\"abc\"");
    Cell idx = *test::load_one("#\"b\"");
    Cell bb = b;
    EXPECT_EQ(bitset::pick(&bb, 0, &idx)->data1, 1u);
    bb = b;
    EXPECT_EQ(TYPE_OF(bitset::pick(&bb, 98, nullptr)), u32(TYPE_LOGIC));
    EXPECT_EQ(bb.data1, 1u);

    // poke: none, false, 0 and 0.0 clear; anything else sets (growing when needed).
    Cell none, no;
    make_cell(&none, TYPE_NONE);
    make_cell(&no, TYPE_LOGIC, 0);
    Cell clearing[] = {none, no, integer_cell(0), *test::load_one("0.0")};
    for (Cell& v : clearing) {
        bb = b;
        idx = *test::load_one("#\"b\"");
        bitset::poke(&bb, 0, &v, &idx);
        EXPECT_FALSE(has(b, "#\"b\"")) << TYPE_OF(&v);
        bitset::process_spec(test::load_one("#\"b\""), &b, bitset::SET);
    }
    bb = b;
    idx = integer_cell(1000);
    bitset::poke(&bb, 0, test::load_one("yes"), &idx);
    EXPECT_TRUE(has(b, "1000"));
    EXPECT_EQ(bitset::length_q(&b), 1008);

    bb = b;
    bitset::insert(&bb, test::load_one("[#\"x\" - #\"z\"]"), nullptr, false, nullptr, true);
    EXPECT_TRUE(has(b, "\"xyz\""));
    EXPECT_EQ(error_of([&] { bitset::remove(&b, nullptr, nullptr); }), "script/missing-arg");
    bitset::remove(&b, nullptr, test::load_one("\"ay\""));
    EXPECT_FALSE(has(b, "#\"a\""));
    EXPECT_TRUE(has(b, "\"bcxz\""));

    // Removing from a complemented bitset leaves the numbers outside, beyond the bytes too.
    Cell c = make_bits("[not \"a\"]");
    bitset::remove(&c, nullptr, test::load_one("5000"));
    EXPECT_FALSE(has(c, "5000"));
    EXPECT_TRUE(has(c, "5001"));

    bitset::clear(&b);
    EXPECT_FALSE(has(b, "#\"b\""));
    EXPECT_EQ(bitset::length_q(&b), 1008);
}

TEST_F(BitsetTest, PathAccess) {
    Cell b = make_bits("\"a\"");
    Cell* r = bitset::eval_path(&b, test::load_one("#\"a\""), nullptr, nullptr, nullptr, nullptr, 0, false, false,
                                false);
    EXPECT_EQ(r->data1, 1u);
    bitset::eval_path(&b, test::load_one("3"), test::load_one("true"), nullptr, nullptr, nullptr, 0, false, false,
                      false);
    EXPECT_TRUE(bitset::test(&b, 3));
    EXPECT_EQ(error_of([&] {
                  bitset::eval_path(&b, test::load_one("\"a\""), nullptr, nullptr, nullptr, nullptr, 0, false, false,
                                    false);
              }),
              "script/invalid-type");
}

TEST_F(BitsetTest, SetOperations) {
    struct Case {
        i32 op;
        const char* a;
        const char* b;
        const char* result;
    } cases[] = {
        {9, "#{F0}", "#{0F00FF01}", "make bitset! #{FF00FF01}"},   // union: longer length
        {10, "#{F0}", "#{3F00FF01}", "make bitset! #{30000000}"},  // intersect: zero beyond
        {6, "#{F0}", "#{3F00FF01}", "make bitset! #{30}"},         // and~: common length
        {12, "#{F0}", "#{3F00FF01}", "make bitset! #{CF00FF01}"},
        {7, "#{F0}", "#{3F00FF01}", "make bitset! #{CF00FF01}"},
        {11, "#{F0}", "#{3F00FF01}", "make bitset! #{C0000000}"},  // exclude: first is shorter
        {11, "#{3F00FF01}", "#{F0}", "make bitset! #{0F00FF01}"},  // exclude: first is longer
        {8, "#{F0}", "#{3F00FF01}", "make bitset! #{F0}"},
        // Complemented operands: what lies beyond the bytes follows the operation.
        {9, "[not #{80}]", "[not #{40}]", "make bitset! [not #{00}]"},
        {10, "[not #{80}]", "#{C0FF}", "make bitset! #{40FF}"},
        {6, "[not #{80}]", "#{C0FF}", "make bitset! #{40FF}"},
    };
    for (const Case& c : cases) {
        stack::arguments = stack::top = stack::bottom;
        Cell a = make_bits(c.a), b = make_bits(c.b);
        stack::arguments = stack::top = stack::bottom;
        stack::push(&a);
        stack::push(&b);
        EXPECT_EQ(test::mold(bitset::do_bitwise(c.op)), c.result) << c.op << " " << c.a << " " << c.b;
    }
    stack::arguments = stack::top = stack::bottom;
    Cell a = make_bits("#{F0}"), bin = *test::load_one("#{F0}");
    stack::arguments = stack::top = stack::bottom;
    stack::push(&a);
    stack::push(&bin);
    EXPECT_EQ(error_of([] { bitset::do_bitwise(9); }), "script/invalid-type");
}

TEST_F(BitsetTest, CompareAndCopy) {
    Cell a = make_bits("#{0102}"), b = make_bits("#{0201}"), c = make_bits("#{01}");
    EXPECT_EQ(bitset::compare(&a, &b, COMP_EQUAL), 1);   // last byte decides first
    EXPECT_EQ(bitset::compare(&b, &a, COMP_SORT), -1);
    EXPECT_EQ(bitset::compare(&c, &a, COMP_EQUAL), -1);  // fewer bytes first
    Cell copy = a;
    bitset::copy(&a, &copy, nullptr, false, nullptr);
    EXPECT_EQ(bitset::compare(&a, &copy, COMP_EQUAL), 0);
    EXPECT_EQ(bitset::compare(&a, &copy, COMP_SAME), 1);
    EXPECT_EQ(bitset::compare(&a, &a, COMP_SAME), 0);
    Cell n = make_bits("[not #{0102}]");
    EXPECT_EQ(bitset::compare(&a, &n, COMP_EQUAL), -1);  // the plain one first
    EXPECT_EQ(bitset::compare(&a, test::load_one("1"), COMP_EQUAL), -2);
    Cell e1 = make_bits("0"), e2 = make_bits("[not #{}]");
    EXPECT_EQ(bitset::compare(&e1, &e2, COMP_EQUAL), 0);
    Cell ncopy = n;
    bitset::copy(&n, &ncopy, nullptr, false, nullptr);
    EXPECT_TRUE(bitset::complemented_q(&ncopy));
}

TEST_F(BitsetTest, MoldPartLimit) {
    Cell b = make_bits("#{0102030405}");
    Cell* buf = stack::push_star();
    string::zs_make_at(buf, 64);
    Cell part = integer_cell(19);
    bitset::mold(&b, buf, false, false, false, &part, 19, 0);
    // 13 + 2 for the prefix leaves 4: bytes are written while it is not below 0.
    EXPECT_EQ(test::form(buf), "make bitset! #{010203}");
}

TEST_F(BitsetTest, TripleMold) {
    Cell t;
    triple::make_at(&t, 1, -2, 300);
    EXPECT_EQ(test::mold(&t), "make triple! [1 -2 300]");
    EXPECT_EQ(test::form(&t), "make triple! [1 -2 300]");
}

TEST_F(BitsetTest, ReflectOwned) {
    Cell b = make_bits("\"a\"");
    Cell r = b;
    EXPECT_EQ(TYPE_OF(bitset::reflect(&r, static_cast<u32>(words::owned))), u32(TYPE_NONE));
    r = b;
    EXPECT_EQ(error_of([&] { bitset::reflect(&r, static_cast<u32>(words::spec)); }), "internal/not-done");
}
