// string! storage, text helpers and actions.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/cell.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct StringTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

using test::S;

Cell make_char(u32 cp) {
    Cell c;
    make_cell(&c, TYPE_CHAR, 0, cp);
    return c;
}
using test::integer_cell;

using test::text_of;

std::string molded(Cell* value, bool all = false, i32 part = -1) {
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 16);
    Cell limit = integer_cell(part);
    string::mold(value, &buf, false, all, false, part >= 0 ? &limit : nullptr, part, 0);
    return text_of(&buf);
}

using test::error_of;

u32 unit_of(Cell* s) { return GET_BUFFER(series_node(s))->unit(); }

}  // namespace

// ---- storage and widening ------------------------------------------------------

TEST_F(StringTest, WideningKeepsContent) {
    Cell* s = S("abc");
    string::append_char(s, 200);  // appending widens a unit-1 buffer from 128 on
    EXPECT_EQ(unit_of(s), 2u);
    EXPECT_EQ(text_of(s), "abc\u00C8");

    Cell* p = S("abc");
    SeriesBuffer* b = GET_BUFFER(series_node(p));
    string::poke_char(b, b->head() + 1, 200);  // storing keeps unit 1 up to 255
    EXPECT_EQ(unit_of(p), 1u);
    EXPECT_EQ(text_of(p), "a\u00C8c");
    string::poke_char(GET_BUFFER(series_node(p)), GET_BUFFER(series_node(p))->head(), 0x3B1);
    EXPECT_EQ(unit_of(p), 2u);
    EXPECT_EQ(text_of(p), "\u03B1\u00C8c");

    for (Cell* c : {s, p}) {
        string::append_char(c, 0x1F600);
        EXPECT_EQ(unit_of(c), 4u);
    }
    EXPECT_EQ(text_of(s), "abc\u00C8\U0001F600");
    EXPECT_EQ(text_of(p), "\u03B1\u00C8c\U0001F600");
}

TEST_F(StringTest, CharEditsAndHeadClamp) {
    Cell* s = S("hello");
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    b = string::insert_char(b, 0, 'X');
    b = string::insert_char(b, 6, 0x4E2D);
    EXPECT_EQ(text_of(s), "Xhello\u4E2D");
    string::remove_char(GET_BUFFER(series_node(s)), 0);
    string::remove_chars(GET_BUFFER(series_node(s)), 3, 10);
    EXPECT_EQ(text_of(s), "hel");
    string::overwrite_char(GET_BUFFER(series_node(s)), 3, 'p');
    EXPECT_EQ(text_of(s), "help");

    Cell view = *s;
    series_head(&view) = 10;
    string::zs_head(&view);  // a head past the tail moves back to the tail
    EXPECT_EQ(series_head(&view), 4u);
    EXPECT_TRUE(string::zs_tail_q(&view));

    string::zs_reset(s);
    EXPECT_EQ(unit_of(s), 1u);
    EXPECT_EQ(string::zs_length_q(s), 0u);
}

TEST_F(StringTest, Concatenate) {
    struct Case {
        const char* target;
        u32 head;
        const char* source;
        i32 part, index, mode;
        const char* expect;  // the whole buffer
    } cases[] = {
        {"abc", 0, "de", -1, 0, string::CONCAT_APPEND, "abcde"},
        {"abc", 0, "def", 2, 0, string::CONCAT_APPEND, "abcde"},
        {"abc", 1, "XY", -1, 0, string::CONCAT_INSERT, "aXYbc"},
        {"abc", 0, "XY", -1, 3, string::CONCAT_INSERT, "abcXY"},
        {"abcd", 1, "XY", -1, 0, string::CONCAT_OVERWRITE, "aXYd"},
        {"abc", 2, "XYZ", -1, 0, string::CONCAT_OVERWRITE, "abXYZ"},
        {"ab", 0, "\u00E9\u4E2D", -1, 0, string::CONCAT_APPEND, "ab\u00E9\u4E2D"},
        {"\u4E2D", 0, "abc", -1, 0, string::CONCAT_INSERT, "abc\u4E2D"},
    };
    for (const Case& c : cases) {
        Cell* t = S(c.target);
        Cell* src = S(c.source);
        series_head(t) = c.head;
        string::concatenate(t, src, c.part, c.index, true, c.mode);
        series_head(t) = 0;
        EXPECT_EQ(text_of(t), c.expect) << c.target << " + " << c.source;
        EXPECT_EQ(text_of(src), c.source);
    }
}

TEST_F(StringTest, ConcatenateToItselfWhileMoving) {
    Cell* s = S("0123456789");
    for (int i = 0; i < 6; i++) string::append(s, s);  // buffers move as they grow
    EXPECT_EQ(string::zs_length_q(s), 640u);
    std::string t = text_of(s);
    for (size_t i = 0; i < t.size(); i++) ASSERT_EQ(t[i], '0' + static_cast<char>(i % 10));

    Cell* w = S("ab");
    series_head(w) = 1;
    Cell whole = *w;
    series_head(&whole) = 0;
    string::concatenate(w, &whole, -1, 0, true, string::CONCAT_INSERT);
    series_head(w) = 0;
    EXPECT_EQ(text_of(w), "aabb");
}

TEST_F(StringTest, LiteralAndNarrowSourceKept) {
    Cell* t = S("\u4E2D");
    string::concatenate_literal(t, "ab\xE9");
    EXPECT_EQ(text_of(t), "\u4E2Dab\u00E9");
    Cell* wide = S("\u4E2D");
    Cell* narrow = S("xy");
    string::concatenate(wide, narrow, -1, 0, true, string::CONCAT_APPEND);
    EXPECT_EQ(unit_of(narrow), 1u);
    string::concatenate(wide, narrow, -1, 0, false, string::CONCAT_APPEND);
    EXPECT_EQ(unit_of(narrow), 2u);  // without keep-source the source is widened
    EXPECT_EQ(text_of(wide), "\u4E2Dxyxy");
    EXPECT_EQ(text_of(narrow), "xy");
}

// ---- comparison ---------------------------------------------------------------------

TEST_F(StringTest, EqualQ) {
    struct Case {
        const char *a, *b;
        i32 op;
        bool match;
        i32 expect;
    } cases[] = {
        {"abc", "ABC", COMP_EQUAL, false, 0},
        {"abc", "ABC", COMP_LESSER, false, 0},
        {"abc", "ABC", COMP_STRICT_EQUAL, false, 1},
        {"abc", "ABC", COMP_CASE_SORT, false, 1},
        {"ab", "abc", COMP_LESSER, false, -1},
        {"ab", "abc", COMP_EQUAL, false, 1},
        {"abc", "ab", COMP_SORT, false, 1},
        {"", "", COMP_EQUAL, false, 0},
        {"", "a", COMP_SORT, false, -1},
        {"a", "", COMP_SORT, false, 1},
        {"_", "a", COMP_SORT, false, 1},  // folded to upper case: "_" (95) after "A" (65)
        {"abd", "abc", COMP_SORT, false, 1},
        {"\u00E9t\u00E9", "\u00C9T\u00C9", COMP_EQUAL, false, 0},
        {"abc\U0001F600", "ABC\U0001F600", COMP_EQUAL, false, 0},
        {"abcdef", "ABC", COMP_EQUAL, true, 0},
        {"ab", "abc", COMP_EQUAL, true, 1},
        {"abc", "", COMP_EQUAL, true, 0},
        {"abc", "", COMP_FIND, true, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(string::equal_q(S(c.a), S(c.b), c.op, c.match), c.expect)
            << c.a << " vs " << c.b << " op " << c.op << (c.match ? " match" : "");
    }
    Cell* s = S("abc");
    Cell other = *s;
    EXPECT_EQ(string::equal_q(s, &other, COMP_SAME, false), 0);
    EXPECT_EQ(string::equal_q(s, S("abc"), COMP_SAME, false), -1);
    Cell* wide = S("\u4E2Dabc");
    series_head(wide) = 1;
    EXPECT_EQ(string::equal_q(wide, S("abc"), COMP_STRICT_EQUAL, false), 0);  // units differ, text equal
}

TEST_F(StringTest, CompareAcrossTypes) {
    Cell* s = S("a.txt");
    Cell* f = S("a.txt");
    set_type(f, TYPE_FILE);
    EXPECT_EQ(string::compare(s, f, COMP_EQUAL), 0);
    EXPECT_EQ(string::compare(s, f, COMP_LESSER), -2);
    Cell i = integer_cell(1);
    EXPECT_EQ(string::compare(s, &i, COMP_EQUAL), -2);
}

TEST_F(StringTest, SortComparatorsFold) {
    // Unit 1 folds only A-Z, to lower case: "_" (95) sorts before "a" (97).
    u8 under = '_', a = 'a', A = 'A';
    EXPECT_LT(string::sort_cmp_1(&under, &a, 0, 0), 0);
    EXPECT_EQ(string::sort_cmp_1(&A, &a, 0, 0), 0);
    EXPECT_LT(string::sort_cmp_1(&A, &a, 1, 0), 0);
    EXPECT_GT(string::sort_cmp_1(&A, &a, 1, string::SORT_REVERSE), 0);
    // Wider units fold to upper case: "_" after "a".
    u16 under2 = '_', a2 = 'a';
    EXPECT_GT(string::sort_cmp_2(&under2, &a2, 0, 0), 0);
    double x = 1.5, nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(string::sort_cmp_f64(&x, &nan, 0, 0), 0);
}

// ---- escaping, hex, mold and form -------------------------------------------------------

TEST_F(StringTest, EscapedChars) {
    struct Case {
        u32 cp;
        bool all;
        const char* expect;
    } cases[] = {
        {'\t', false, "^-"}, {'\n', false, "^/"}, {0, false, "^@"}, {27, false, "^["},
        {30, false, "^(1E)"}, {127, false, "^~"}, {150, false, "^(96)"}, {233, false, "\u00E9"},
        {233, true, "^(E9)"}, {'"', false, "^\""}, {'^', false, "^^"}, {'a', false, "a"},
        {0x1F600, true, "^(1F600)"}, {0x4E2D, false, "\u4E2D"},
    };
    for (const Case& c : cases) {
        collector::GuardedCell buf_root;  // the buffer is a new series
        Cell& buf = buf_root.value;
        string::zs_make_at(&buf, 4);
        string::append_escaped_char(&buf, c.cp, string::ESC_MOLD, c.all);
        EXPECT_EQ(text_of(&buf), c.expect) << c.cp;
    }
}

TEST_F(StringTest, Hex) {
    EXPECT_EQ(std::string(string::to_hex(255, false)), "000000FF");
    EXPECT_EQ(std::string(string::to_hex(255, true)), "FF");
    EXPECT_EQ(std::string(string::to_hex(0, true)), "00");
    EXPECT_EQ(std::string(string::to_hex(0x1F600, true)), "1F600");
    EXPECT_EQ(std::string(string::byte_to_hex(0xA5), 2), "A5");
    const u8 digits[] = {'1', '.', '5', 'e', '2'};
    EXPECT_EQ(string::to_float(digits, 5, 1), 150.0);
}

TEST_F(StringTest, Mold) {
    struct Case {
        std::string text;
        const char* expect;
    } cases[] = {
        {"abc", "\"abc\""},
        {"", "\"\""},
        {"a\tb", "\"a^-b\""},
        {"a^b", "\"a^^b\""},
        {"a\nb\nc", "\"a^/b^/c\""},
        {"a\nb\nc\nd", "{a^/b^/c^/d}"},
        {"say \"hi\"", "{say \"hi\"}"},
        {std::string(49, 'x'), nullptr},
        {std::string(50, 'x'), nullptr},
        {"\"{a}\"", "{\"{a}\"}"},
        {"\"a{b", "{\"a^{b}"},
        {"\"a{b{c}", "{\"a^{b^{c^}}"},  // tracking stops at the lone brace
        {"\"a}b", "{\"a^}b}"},
        {"\"^", "{\"^^}"},
        {"caf\u00E9", "\"caf\u00E9\""},
        {"\x7F", "\"^~\""},
    };
    for (const Case& c : cases) {
        Cell* s = S(c.text.c_str());
        std::string expect;
        if (c.expect) expect = c.expect;
        else if (c.text.size() < 50) expect = "\"" + c.text + "\"";
        else expect = "{" + c.text + "}";
        EXPECT_EQ(molded(s), expect) << c.text;
    }
    EXPECT_EQ(molded(S("caf\u00E9"), true), "\"caf^(E9)\"");
    // A part limit cuts the range; the result is the limit less what was written.
    Cell* s = S("abcdef");
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 16);
    Cell limit = integer_cell(3);
    EXPECT_EQ(string::mold(s, &buf, false, false, false, &limit, 3, 0), -2);
    EXPECT_EQ(text_of(&buf), "\"abc\"");
    series_head(s) = 4;
    EXPECT_EQ(molded(s), "\"ef\"");
}

TEST_F(StringTest, Form) {
    Cell* s = S("hello");
    series_head(s) = 1;
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 4);
    EXPECT_EQ(string::form(s, &buf, nullptr, 0), -4);
    EXPECT_EQ(text_of(&buf), "ello");
    Cell limit = integer_cell(2);
    EXPECT_EQ(string::form(s, &buf, &limit, 2), -2);
    EXPECT_EQ(text_of(&buf), "elloel");
}

// ---- actions ------------------------------------------------------------------------------

TEST_F(StringTest, FindAndSelect) {
    struct Case {
        const char* series;
        const char* value;  // text pattern (a single char when `ch`)
        bool ch;
        bool case_, last, reverse, tail, match;
        i32 part;       // -1 none
        u32 head;       // start position
        i32 expect;     // found index, -1 none
    } cases[] = {
        {"abcabc", "bc", false, false, false, false, false, false, -1, 0, 1},
        {"abcabc", "bc", false, false, true, false, false, false, -1, 0, 4},
        {"abcabc", "bc", false, false, true, false, true, false, -1, 0, 6},
        {"abc", "ab", false, false, false, false, false, true, -1, 0, 0},
        {"abc", "ab", false, false, false, false, true, true, -1, 0, 2},
        {"abc", "bc", false, false, false, false, false, true, -1, 0, -1},
        {"abc", "B", false, false, false, false, false, false, -1, 0, 1},
        {"abc", "B", false, true, false, false, false, false, -1, 0, -1},
        {"abc", "b", true, false, false, false, true, false, -1, 0, 2},
        {"abcabc", "a", true, false, false, true, false, false, -1, 4, 3},
        {"abcabc", "a", true, false, false, true, true, false, -1, 4, 4},
        {"abcabc", "ab", false, false, false, true, false, false, -1, 5, 3},
        {"abcabc", "ab", false, false, false, true, false, false, 1, 5, -1},
        {"abcabc", "ab", false, false, false, true, false, true, -1, 5, -1},  // /reverse with /match
        {"abcabc", "c", true, false, false, false, false, false, 2, 0, -1},
        {"abcabc", "c", true, false, false, false, false, false, 3, 0, 2},
        {"abc", "a", true, false, false, false, false, false, 0, 0, -1},
        {"abc", "a", true, false, false, false, false, false, -1, 3, -1},  // at the tail
        {"abc", "", false, false, false, false, false, false, -1, 0, -1},
        {"\u00E9T\u00C9", "\u00E9", true, false, true, false, false, false, -1, 0, 2},
        {"x\U0001F600y", "\U0001F600y", false, false, false, false, false, false, -1, 0, 1},
    };
    for (const Case& c : cases) {
        Cell* s = S(c.series);
        series_head(s) = c.head;
        Cell value;
        if (c.ch) {
            Cell* v = S(c.value);
            value = make_char(string::zs_abs_at(v, 0));
        } else {
            value = *S(c.value);
        }
        Cell part = integer_cell(c.part);
        string::find(s, &value, c.part >= 0 ? &part : nullptr, false, c.case_, false, false, nullptr, nullptr,
                     c.last, c.reverse, c.tail, c.match);
        if (c.expect < 0) {
            EXPECT_EQ(TYPE_OF(s), TYPE_NONE) << c.series << " / " << c.value;
        } else {
            ASSERT_EQ(TYPE_OF(s), TYPE_STRING) << c.series << " / " << c.value;
            EXPECT_EQ(series_head(s), static_cast<u32>(c.expect)) << c.series << " / " << c.value;
        }
    }

    Cell* s = S("abc");
    EXPECT_EQ(TYPE_OF(string::select(s, S("b"), nullptr, false, false, false, false, nullptr, nullptr, false, false)),
              TYPE_CHAR);
    EXPECT_EQ(s->data2, static_cast<u32>('c'));
    s = S("abc");
    string::select(s, S("c"), nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(s), TYPE_NONE);

    Cell skip = integer_cell(2);
    s = S("abab");
    Cell b = make_char('b');
    string::find(s, &b, nullptr, false, false, false, false, nullptr, &skip, false, false, false, false);
    EXPECT_EQ(TYPE_OF(s), TYPE_NONE);  // with /skip 2 only positions 0 and 2 are tried
    Cell zero = integer_cell(0);
    EXPECT_EQ(error_of([&] {
                  string::find(S("ab"), &b, nullptr, false, false, false, false, nullptr, &zero, false, false, false,
                               false);
              }),
              "script/out-of-range");
    EXPECT_EQ(error_of([&] {
                  string::find(S("ab"), &b, nullptr, false, false, false, true, nullptr, nullptr, false, false, false,
                               false);
              }),
              "internal/not-done");
    Cell* other = S("ab");
    EXPECT_EQ(error_of([&] {
                  string::find(S("ab"), &b, other, false, false, false, false, nullptr, nullptr, false, false, false,
                               false);
              }),
              "script/invalid-refine-arg");
}

TEST_F(StringTest, InsertAppendChange) {
    Cell* s = S("abc");
    Cell* v = S("XY");
    string::insert(s, v, nullptr, false, nullptr, true);
    EXPECT_EQ(series_head(s), 0u);
    EXPECT_EQ(text_of(s), "abcXY");

    s = S("abc");
    series_head(s) = 1;
    string::insert(s, v, nullptr, false, nullptr, false);
    EXPECT_EQ(series_head(s), 3u);  // just past the inserted text
    series_head(s) = 0;
    EXPECT_EQ(text_of(s), "aXYbc");

    s = S("abc");
    series_head(s) = 3;
    Cell ch = make_char(0x4E2D);
    Cell dup = integer_cell(3);
    string::insert(s, &ch, nullptr, false, &dup, false);
    EXPECT_EQ(series_head(s), 6u);
    series_head(s) = 0;
    EXPECT_EQ(text_of(s), "abc\u4E2D\u4E2D\u4E2D");

    s = S("abc");
    Cell part = integer_cell(1);
    string::insert(s, v, &part, false, &dup, true);
    EXPECT_EQ(text_of(s), "abcXXX");

    s = S("ab");
    Cell* tag = S("b");
    set_type(tag, TYPE_TAG);
    string::insert(s, tag, nullptr, false, nullptr, true);
    EXPECT_EQ(text_of(s), "ab<b>");

    // Inserting a string into itself, several times.
    s = S("ab");
    Cell self = *s;
    Cell two = integer_cell(2);
    string::insert(s, &self, nullptr, false, &two, false);
    series_head(s) = 0;
    EXPECT_EQ(text_of(s), "ababab");

    struct Change {
        const char* series;
        u32 head;
        const char* value;
        i32 part;
        i32 dup;
        const char* expect;
        u32 new_head;
    } changes[] = {
        {"abcdef", 1, "XY", -1, -1, "aXYdef", 3},
        {"abcdef", 1, "XY", 4, -1, "aXYf", 3},
        {"abcdef", 1, "XY", 0, -1, "aXYbcdef", 3},
        {"abcdef", 4, "XYZ", -1, -1, "abcdXYZ", 7},
        {"abc", 3, "XY", -1, -1, "abcXY", 5},
        {"abcdef", 0, "X", 2, 3, "XXXcdef", 3},
        {"abc", 1, "\u4E2D", -1, -1, "a\u4E2Dc", 2},
    };
    for (const Change& c : changes) {
        Cell* t = S(c.series);
        series_head(t) = c.head;
        Cell p = integer_cell(c.part), d = integer_cell(c.dup);
        string::change(t, S(c.value), c.part >= 0 ? &p : nullptr, false, c.dup >= 0 ? &d : nullptr);
        EXPECT_EQ(series_head(t), c.new_head) << c.series;
        series_head(t) = 0;
        EXPECT_EQ(text_of(t), c.expect) << c.series;
    }
}

TEST_F(StringTest, Sort) {
    struct Case {
        const char* text;
        bool case_, reverse, all, stable;
        i32 skip, compare, part;
        const char* expect;
    } cases[] = {
        {"dcBa", false, false, false, false, 0, 0, -1, "aBcd"},
        {"dcBa", true, false, false, false, 0, 0, -1, "Bacd"},
        {"dcBa", false, true, false, false, 0, 0, -1, "dcBa"},
        {"bBaA", false, false, false, true, 0, 0, -1, "aAbB"},  // stable
        {"zyxw", false, false, false, false, 0, 0, 2, "yzxw"},
        {"b2a1c0", false, false, false, false, 2, 0, -1, "a1b2c0"},
        {"b2a1c0", false, false, false, false, 2, 2, -1, "c0a1b2"},
        {"a2a1b0", false, false, true, false, 2, 0, -1, "a1a2b0"},
        {"\u4E2D\u00E9a", false, false, false, false, 0, 0, -1, "a\u00E9\u4E2D"},
    };
    for (const Case& c : cases) {
        Cell* s = S(c.text);
        Cell skip = integer_cell(c.skip), cmp = integer_cell(c.compare), part = integer_cell(c.part);
        string::sort(s, c.case_, c.skip ? &skip : nullptr, c.compare ? &cmp : nullptr, c.part >= 0 ? &part : nullptr,
                     c.all, c.reverse, c.stable);
        EXPECT_EQ(text_of(s), c.expect) << c.text;
    }
    Cell* s = S("dcba");
    series_head(s) = 2;
    Cell back = integer_cell(-2);
    string::sort(s, false, nullptr, nullptr, &back, false, false, false);
    EXPECT_EQ(series_head(s), 0u);  // a negative part sorts what lies before the head
    EXPECT_EQ(text_of(s), "cdba");

    Cell three = integer_cell(3), one = integer_cell(1), four = integer_cell(4);
    EXPECT_EQ(error_of([&] { string::sort(S("abcd"), false, &three, nullptr, nullptr, false, false, false); }),
              "script/invalid-refine-arg");
    EXPECT_EQ(error_of([&] { string::sort(S("abcd"), false, nullptr, nullptr, nullptr, true, false, false); }),
              "script/bad-refines");
    Cell two = integer_cell(2);
    EXPECT_EQ(error_of([&] { string::sort(S("abcd"), false, &two, &four, nullptr, false, false, false); }),
              "script/out-of-range");
    EXPECT_EQ(error_of([&] { string::sort(S("abcd"), false, nullptr, &one, nullptr, false, false, false); }),
              "script/bad-refines");
}

TEST_F(StringTest, Trim) {
    struct Case {
        const char* text;
        bool head, tail, lines, all;
        const char* with;
        const char* expect;
    } cases[] = {
        {"  a  \n  b  \n", false, false, false, false, nullptr, "a\nb\n"},
        {"  a  \n  b  ", false, false, false, false, nullptr, "a\nb"},
        {"  a b  \n", true, false, false, false, nullptr, "a b  \n"},
        {"  a b  \n", false, true, false, false, nullptr, "  a b"},
        {"  a b  \n", true, true, false, false, nullptr, "a b"},
        {" a \n\t b \n", false, false, true, false, nullptr, "a b"},
        {" a\tb\r\nc ", false, false, false, true, nullptr, "abc"},
        {"banana", false, false, false, false, "an", "b"},
        {"\u3000x\u00A0", false, false, false, false, nullptr, "x"},
        {"   ", false, false, false, false, nullptr, ""},
    };
    for (const Case& c : cases) {
        Cell* s = S(c.text);
        string::trim(s, c.head, c.tail, false, c.lines, c.all, c.with ? S(c.with) : nullptr);
        EXPECT_EQ(text_of(s), c.expect) << c.text;
    }
    Cell* s = S("xx  a  ");
    series_head(s) = 2;
    string::trim(s, false, false, false, false, false, nullptr);
    series_head(s) = 0;
    EXPECT_EQ(text_of(s), "xxa");  // only from the head on
    EXPECT_EQ(error_of([&] { string::trim(S("a"), false, false, true, false, false, nullptr); }),
              "internal/not-done");
}

TEST_F(StringTest, TakeAndSwap) {
    Cell* s = S("abc");
    string::take(s, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(s), TYPE_CHAR);
    EXPECT_EQ(s->data2, static_cast<u32>('a'));
    s = S("abc");
    Cell one = integer_cell(1);
    string::take(s, &one, false, false);
    EXPECT_EQ(TYPE_OF(s), TYPE_STRING);
    EXPECT_EQ(text_of(s), "a");

    Cell* a = S("abc");
    Cell* b = S("\u4E2Dxy");
    string::swap(a, b);
    EXPECT_EQ(text_of(a), "\u4E2Dbc");
    EXPECT_EQ(text_of(b), "axy");
    Cell i = integer_cell(1);
    EXPECT_EQ(error_of([&] { string::swap(S("a"), &i); }), "script/invalid-arg");
}

TEST_F(StringTest, SetOperations) {
    struct Case {
        i32 op;
        const char *a, *b;
        bool case_;
        i32 skip;
        const char* expect;
    } cases[] = {
        {string::SET_UNIQUE, "abcabd", "", false, 0, "abcd"},
        {string::SET_UNIQUE, "aAb", "", false, 0, "ab"},
        {string::SET_UNIQUE, "aAb", "", true, 0, "aAb"},
        {string::SET_UNION, "abc", "cde", false, 0, "abcde"},
        {string::SET_INTERSECT, "abcd", "db", false, 0, "bd"},
        {string::SET_EXCLUDE, "abcd", "db", false, 0, "ac"},
        {string::SET_DIFFERENCE, "abc", "bcd", false, 0, "ad"},
        {string::SET_UNIQUE, "a1a2b3", "", false, 2, "a1b3"},
    };
    for (const Case& c : cases) {
        Cell skip = integer_cell(c.skip);
        Cell* r = string::do_set_op(c.op, S(c.a), S(c.b), c.case_, c.skip ? &skip : nullptr);
        EXPECT_EQ(text_of(r), c.expect) << c.op << " " << c.a << " " << c.b;
    }
    Cell zero = integer_cell(0);
    EXPECT_EQ(error_of([&] { string::do_set_op(string::SET_UNIQUE, S("a"), S("b"), false, &zero); }),
              "script/invalid-refine-arg");
}

TEST_F(StringTest, MakeAndTo) {
    collector::GuardedCell out_root;  // each result is a new series only in this cell
    Cell& out = out_root.value;
    Cell size = integer_cell(10);
    string::make(&out, &size, TYPE_FILE);
    EXPECT_EQ(TYPE_OF(&out), TYPE_FILE);
    EXPECT_EQ(string::zs_length_q(&out), 0u);
    Cell neg = integer_cell(-1);
    EXPECT_EQ(error_of([&] { string::make(&out, &neg, TYPE_STRING); }), "script/out-of-range");
    Cell none;
    make_cell(&none, TYPE_NONE);
    EXPECT_EQ(error_of([&] { string::to(&out, &none, TYPE_STRING); }), "script/bad-to-arg");

    Cell* src = S("hello");
    series_head(src) = 2;
    string::to(&out, src, TYPE_URL);
    EXPECT_EQ(TYPE_OF(&out), TYPE_URL);
    EXPECT_EQ(text_of(&out), "llo");
    EXPECT_NE(series_node(&out), series_node(src));

    // to string! of a binary decodes UTF-8; bad bytes are an access error.
    auto binary = [](std::vector<u8> bytes) {
        Cell* b = stack::push_star();  // on the value stack, where the collector sees it
        node_t node = alloc_bytes(static_cast<u32>(bytes.size()) + 1);
        SeriesBuffer* buf = GET_BUFFER(node);
        std::memcpy(buf->head(), bytes.data(), bytes.size());
        buf->tail = buf->offset + static_cast<u32>(bytes.size());
        return *make_cell(b, TYPE_BINARY, 0, node);
    };
    Cell good = binary({'a', 0xC3, 0xA9});
    string::to(&out, &good, TYPE_STRING);
    EXPECT_EQ(text_of(&out), "a\u00E9");
    Cell bad = binary({'a', 0xFF});
    EXPECT_EQ(error_of([&] { string::to(&out, &bad, TYPE_STRING); }), "access/invalid-utf8");
}

TEST_F(StringTest, MatchHelpers) {
    Cell* s = S("<b>bold");
    Cell* tag = S("b");
    set_type(tag, TYPE_TAG);
    EXPECT_TRUE(string::match_q(s, tag, COMP_EQUAL));
    Cell c = make_char('<');
    EXPECT_TRUE(string::match_q(s, &c, COMP_EQUAL));
    EXPECT_TRUE(string::match_q(S("Abc"), S("ab"), COMP_EQUAL));
    EXPECT_FALSE(string::match_q(S("Abc"), S("ab"), COMP_STRICT_EQUAL));
    EXPECT_TRUE(string::match_c_string_q(S("hello"), "hel"));
    EXPECT_FALSE(string::match_c_string_q(S("he"), "hel"));
    EXPECT_EQ(string::find_char(S("abc"), 'c'), 2);
    EXPECT_EQ(string::find_char(S("abc"), 'd'), -1);
    EXPECT_TRUE(string::find_char_case(S("aBc"), 'b', 1, false));
    EXPECT_FALSE(string::find_char_case(S("aBc"), 'b', 1, true));
    EXPECT_FALSE(string::find_char_case(S("aBc"), 'B', 2, true));  // only every second character
}

TEST_F(StringTest, CaseChangeWidens) {
    // The upper case of U+00FF is U+0178: a unit-1 buffer must widen.
    Cell* s = S("a\u00FFb");
    string::change_case(s, nullptr, 1);
    EXPECT_EQ(unit_of(s), 2u);
    EXPECT_EQ(text_of(s), "A\u0178B");
    Cell* t = S("ABCD");
    series_head(t) = 1;
    Cell two = integer_cell(2);
    string::change_case(t, &two, 0);
    series_head(t) = 0;
    EXPECT_EQ(text_of(t), "AbcD");
    EXPECT_EQ(error_of([&] { string::change_case(S("a"), S("b"), 1); }), "script/invalid-refine-arg");
}

// ---- the same actions driven by text: loaded arguments, molded results ----------------

#include "tests/unit/load_helper.h"

namespace {

// Runs a string action on loaded arguments. `refs` names the refinements in
// use; those that take a value (part skip dup with compare) take the next
// loaded argument in order. Answers the molded result, and for the modifying
// actions "|" and the whole series molded from its start.
std::string run_action(const char* action, const char* args, const char* refs) {
    Cell* block = test::load(args);
    std::vector<Cell> a;
    SeriesBuffer* b = GET_BUFFER(series_node(block));
    for (u32 i = 0; i < b->length(); i++) a.push_back(reinterpret_cast<Cell*>(b->head())[i]);
    std::string act = action;
    bool takes_value = act != "trim" && act != "sort" && act != "take";
    size_t next = takes_value ? 2 : 1;
    std::string r = std::string(" ") + refs + " ";
    auto has = [&](const char* name) { return r.find(std::string(" ") + name + " ") != std::string::npos; };
    Cell *part = nullptr, *skip = nullptr, *dup = nullptr, *with = nullptr, *compare = nullptr;
    for (const char* name : {"part", "skip", "dup", "with", "compare"}) {
        if (!has(name)) continue;
        Cell* arg = &a.at(next++);
        if (!std::strcmp(name, "part")) part = arg;
        else if (!std::strcmp(name, "skip")) skip = arg;
        else if (!std::strcmp(name, "dup")) dup = arg;
        else if (!std::strcmp(name, "with")) with = arg;
        else compare = arg;
    }
    Cell* s = stack::push(&a.at(0));
    Cell whole = *s;
    series_head(&whole) = 0;
    Cell* v = takes_value ? &a.at(1) : nullptr;
    bool modifies = true;
    if (act == "find") {
        string::find(s, v, part, false, has("case"), false, false, with, skip, has("last"), has("reverse"),
                     has("tail"), has("match"));
        modifies = false;
    } else if (act == "select") {
        string::select(s, v, part, false, has("case"), false, false, with, skip, has("last"), has("reverse"));
        modifies = false;
    } else if (act == "append" || act == "insert") {
        string::insert(s, v, part, false, dup, act == "append");
    } else if (act == "change") {
        string::change(s, v, part, false, dup);
    } else if (act == "trim") {
        string::trim(s, has("head"), has("tail"), false, has("lines"), has("all"), with ? with : nullptr);
    } else if (act == "sort") {
        string::sort(s, has("case"), skip, compare, part, has("all"), has("reverse"), has("stable"));
    } else if (act == "take") {
        string::take(s, part, false, has("last"));
    }
    std::string out = test::mold(s);
    if (modifies) out += " | " + test::mold(&whole);
    return out;
}

}  // namespace

TEST_F(StringTest, ActionsFromText) {
    struct Row {
        const char* action;
        const char* args;
        const char* refs;
        const char* expect;
    } rows[] = {
        {"find", R"("abcabc" "bc")", "last", R"("bc")"},
        {"find", R"("abc" "ab")", "match", R"("abc")"},
        {"find", R"("abc" "ab")", "match tail", R"("c")"},
        {"find", R"("abc" b)", "", R"("bc")"},  // a word searches its name
        {"find", R"("abc" #"C")", "case", "none"},
        {"find", R"("abc" #"a" 0)", "part", "none"},
        {"find", R"("a-b-c" #"-")", "last tail", R"("c")"},
        {"select", R"("abc" "b")", "", R"(#"c")"},
        {"select", R"("abc" "c")", "", "none"},
        {"append", R"("ab" #"c" 3)", "dup", R"("abccc" | "abccc")"},
        {"append", R"("ab" "cdef" 2)", "part", R"("abcd" | "abcd")"},
        {"insert", R"("ab" "XY")", "", R"("ab" | "XYab")"},
        {"change", R"("abcd" "XY")", "", R"("cd" | "XYcd")"},
        {"change", R"("abcd" "X" 3)", "part", R"("d" | "Xd")"},
        {"trim", "{  a  \n  b  \n}", "", R"("a^/b^/" | "a^/b^/")"},
        {"trim", "{  a b  \n}", "head", R"("a b  ^/" | "a b  ^/")"},
        {"trim", "{  a  \n  b  \n}", "lines", R"("a b" | "a b")"},
        {"trim", R"("a-b-c" "-")", "with", R"("abc" | "abc")"},
        {"sort", R"("cbaCBA")", "stable", R"("aAbBcC" | "aAbBcC")"},
        {"sort", R"("cbaCBA")", "case", R"("ABCabc" | "ABCabc")"},
        {"sort", R"("b2a1c3" 2)", "skip", R"("a1b2c3" | "a1b2c3")"},
        {"sort", R"("abc")", "reverse", R"("cba" | "cba")"},
        {"take", R"("abc")", "", R"(#"a" | "bc")"},
        {"take", R"("abc")", "last", R"(#"c" | "ab")"},
        {"take", R"("abc" 1)", "part", R"("a" | "bc")"},
    };
    for (const Row& row : rows) {
        std::string got;
        std::string err;
        try {
            err = error_of([&] { got = run_action(row.action, row.args, row.refs); });
        } catch (std::exception& e) {
            err = test::mold_values(test::load(row.args));
        }
        EXPECT_EQ(err, "") << row.action << " " << row.args << " /" << row.refs;
        EXPECT_EQ(got, row.expect) << row.action << " " << row.args << " /" << row.refs;
        stack::reset();
    }
}

TEST_F(StringTest, MoldRoundTrip) {
    // Source text loads to a string that molds back to the same text.
    for (const char* text : {R"("abc")", R"("a^-b^/c")", "{a^/b^/c^/d}", R"({say "hi"})",
                             R"({"{a}"})", R"({"a^{b})", R"x("^(1E)^@^~")x", R"x("caf^(E9)")x", R"x("^(96)")x"}) {
        Cell* s = test::load_one(text);
        ASSERT_TRUE(string::any_string_q(TYPE_OF(s))) << text;
        bool all = std::strstr(text, "E9") != nullptr;
        EXPECT_EQ(test::mold(s, all), text);
        stack::reset();
    }
}

TEST_F(StringTest, EvalPath) {
    Cell* s = S("abc");
    Cell two = integer_cell(2);
    Cell* got = string::eval_path(s, &two, nullptr, nullptr, nullptr, nullptr, 0, false, true, false);
    EXPECT_EQ(TYPE_OF(got), TYPE_CHAR);
    EXPECT_EQ(got->data2, static_cast<u32>('b'));
    Cell z = make_char('Z');
    string::eval_path(s, &two, &z, nullptr, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(text_of(s), "aZc");
    got = string::eval_path(s, S("a"), nullptr, nullptr, nullptr, nullptr, 0, false, true, false);
    EXPECT_EQ(got->data2, static_cast<u32>('Z'));
    Cell y = make_char('y');
    string::eval_path(s, S("z"), &y, nullptr, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(text_of(s), "aZy");  // the character after the key
    Cell path;
    make_cell(&path, TYPE_NONE);
    EXPECT_EQ(error_of([&] { string::eval_path(s, S("q"), &y, &path, nullptr, nullptr, 0, false, false, false); }),
              "script/bad-path-set");
    Cell* word = test::load_one("w");
    EXPECT_EQ(error_of([&] { string::eval_path(s, word, nullptr, &path, nullptr, nullptr, 0, false, true, false); }),
              "script/invalid-path");
}

// The byte count of a long text, where the eight lanes' counts together
// pass 255 before they are summed (every byte a match, one in five, none),
// and from every offset of a short text (the bytes after the last word).
TEST(CountByte, LongAndShortTexts) {
    std::vector<u8> all(5000, ' '), fifth(5000, 'a'), none(5000, 'a');
    for (size_t i = 0; i < fifth.size(); i += 5) fifth[i] = ' ';
    EXPECT_EQ(string::count_byte(all.data(), all.data() + all.size(), ' '), 5000u);
    EXPECT_EQ(string::count_byte(fifth.data(), fifth.data() + fifth.size(), ' '), 1000u);
    EXPECT_EQ(string::count_byte(none.data(), none.data() + none.size(), ' '), 0u);
    const std::string s = "a b  c d e f g h i j k ";
    const u8* p = reinterpret_cast<const u8*>(s.data());
    for (size_t from = 0; from <= s.size(); from++)
        EXPECT_EQ(string::count_byte(p + from, p + s.size(), ' '),
                  static_cast<u32>(std::count(s.begin() + from, s.end(), ' ')))
            << from;
}
