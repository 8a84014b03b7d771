// Case folding: the generated pair lists, single code points and in-place string changes.
#include <gtest/gtest.h>

#include <vector>

#include "datatypes/error.h"
#include "datatypes/string.h"
#include "runtime/case_folding.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"

using namespace zav;
namespace cf = zav::case_folding;

namespace {

// The whole runtime: a bad part argument names the word `part` in its error.
struct CaseFoldingTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        cf::init();
    }

    Cell make_string(const std::vector<u32>& cps, u32 unit) {
        node_t n = alloc_codepoints(static_cast<u32>(cps.size()), unit);
        SeriesBuffer* b = GET_BUFFER(n);
        for (size_t i = 0; i < cps.size(); i++) std::memcpy(b->head() + i * unit, &cps[i], unit);  // little-endian
        b->tail = b->offset + static_cast<u32>(cps.size()) * unit;
        Cell c;
        make_cell(&c, TYPE_STRING, 0, n);
        stack::push(&c);  // the value stack keeps the series for the test's copies
        return c;
    }
    std::vector<u32> read(const Cell& c) {
        SeriesBuffer* b = GET_BUFFER(series_node(&c));
        std::vector<u32> out;
        for (u32 i = 0; i < b->length(); i++) {
            u32 v = 0;
            std::memcpy(&v, b->head() + i * b->unit(), b->unit());
            out.push_back(v);
        }
        return out;
    }
};

}  // namespace

TEST_F(CaseFoldingTest, PairListsHoldTheUnicode11Mappings) {
    EXPECT_EQ(cf::upper_bmp_count, 1250u);
    EXPECT_EQ(cf::upper_astral_count, 225u);
    EXPECT_EQ(cf::lower_bmp_count, 1158u);
    EXPECT_EQ(cf::lower_astral_count, 225u);
    for (auto* list : {cf::upper_astral, cf::lower_astral}) {
        for (u32 i = 1; i < 225; i++) ASSERT_LT(list[i - 1].from, list[i].from);
        EXPECT_GT(list[0].from, 0xFFFFu);
    }
}

TEST_F(CaseFoldingTest, SingleCodePoints) {
    struct Case {
        u32 cp, upper, lower;
    } cases[] = {
        {'a', 'A', 'a'},          {'Z', 'Z', 'z'},          {'5', '5', '5'},
        {0xDF, 'S', 0xDF},        // sharp s: first code point of "SS"
        {0x149, 0x2BC, 0x149},    // n preceded by apostrophe
        {0x1F80, 0x1F08, 0x1F80}, // alpha with psili and ypogegrammeni
        {0x131, 'I', 0x131},      {0x130, 0x130, 'i'},      {0x1C5, 0x1C4, 0x1C6},
        {0xFF, 0x178, 0xFF},      {0xB5, 0x39C, 0xB5},      {0x10D0, 0x1C90, 0x10D0},  // Georgian, new in 11.0
        {0x1E922, 0x1E900, 0x1E922}, {0x1E900, 0x1E900, 0x1E922}, {0x1E943, 0x1E921, 0x1E943},
        {0x10428, 0x10400, 0x10428}, {0x10400, 0x10400, 0x10428},
        {0x1F600, 0x1F600, 0x1F600}, {0x10FFFF, 0x10FFFF, 0x10FFFF}, {0x110000, 0x110000, 0x110000},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {0x0, 0x0, 0x0},
        {0x1E9E, 0x1E9E, 0xDF},   // capital sharp s lowers, sharp s never uppers to it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cf::change_char(c.cp, 1), c.upper) << std::hex << c.cp;
        EXPECT_EQ(cf::to_upper(c.cp), c.upper) << std::hex << c.cp;
        EXPECT_EQ(cf::change_char(c.cp, 0), c.lower) << std::hex << c.cp;
        EXPECT_EQ(cf::swap_char(c.cp), c.upper != c.cp ? c.upper : c.lower) << std::hex << c.cp;
    }
    for (u32 cp = 0; cp < 0x100; cp++) EXPECT_EQ(cf::to_lower(cp), cf::change_char(cp, 0)) << std::hex << cp;
    // Every Adlam small letter has its capital.
    for (u32 cp = 0x1E922; cp <= 0x1E943; cp++) EXPECT_EQ(cf::to_upper(cp), cp - 0x22);
}

TEST_F(CaseFoldingTest, ChangeCharCell) {
    Cell c;
    make_cell(&c, TYPE_CHAR, 0, 0xDF);
    string::change_case(&c, nullptr, 1);
    EXPECT_EQ(c.data2, u32('S'));
    string::change_case(&c, nullptr, 0);
    EXPECT_EQ(c.data2, u32('s'));
}

TEST_F(CaseFoldingTest, ChangeStringWithPartLimits) {
    Cell part;
    struct Case {
        i32 part;  // INT32_MIN: none
        std::vector<u32> want;
    } cases[] = {
        {INT32_MIN, {'A', 'B', 'C'}}, {2, {'A', 'B', 'c'}}, {-1, {'a', 'b', 'c'}},
        {0, {'a', 'b', 'c'}},         {99, {'A', 'B', 'C'}},
    };
    for (const Case& c : cases) {
        Cell s = make_string({'a', 'b', 'c'}, 1);
        make_cell(&part, TYPE_INTEGER, 0, static_cast<u32>(c.part));
        string::change_case(&s, c.part == INT32_MIN ? nullptr : &part, 1);
        EXPECT_EQ(read(s), c.want) << c.part;
    }
    // From the head, up to a position in the same string.
    Cell s = make_string({'a', 'b', 'c', 'd'}, 1);
    s.data1 = 1;
    Cell end = s;
    end.data1 = 3;
    string::change_case(&s, &end, 1);
    EXPECT_EQ(read(s), (std::vector<u32>{'a', 'B', 'C', 'd'}));
    // A head past the tail is clamped and changes nothing.
    s.data1 = 10;
    string::change_case(&s, nullptr, 1);
    EXPECT_EQ(s.data1, 4u);
}

TEST_F(CaseFoldingTest, ChangeStringWidensAndMapsAstral) {
    Cell s = make_string({'a', 0xFF, 0xDF, 'z'}, 1);
    string::change_case(&s, nullptr, 1);
    EXPECT_EQ(GET_BUFFER(series_node(&s))->unit(), 2u);
    EXPECT_EQ(read(s), (std::vector<u32>{'A', 0x178, 'S', 'Z'}));
    Cell w = make_string({0x1E922, 'x', 0x130}, 4);
    string::change_case(&w, nullptr, 0);
    EXPECT_EQ(read(w), (std::vector<u32>{0x1E922, 'x', 'i'}));
    string::change_case(&w, nullptr, 1);
    EXPECT_EQ(read(w), (std::vector<u32>{0x1E900, 'X', 'I'}));
}

TEST_F(CaseFoldingTest, BadPartRaisesBeforeChanging) {
    Cell s = make_string({'a', 'b'}, 1);
    Cell other = make_string({'a', 'b'}, 1);  // another buffer
    Cell flt;
    make_cell(&flt, TYPE_FLOAT);
    for (Cell* bad : {&other, &flt}) {
        error::last = {nullptr, nullptr};
        EXPECT_THROW(string::change_case(&s, bad, 1), Throw);
        ASSERT_NE(error::last.id, nullptr);
        EXPECT_STREQ(error::last.id, "invalid-refine-arg");
        EXPECT_EQ(read(s), (std::vector<u32>{'a', 'b'}));
    }
}
