// Unicode conversion: UTF-8 validation and encoding, widening, loading,
// UTF-16 both ways, the conversion cache, Windows-1251, and the string edits.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/string.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"
#include "runtime/unicode.h"

using namespace zav;

namespace {

using Bytes = std::vector<u8>;
using Chars = std::vector<u32>;

struct UnicodeTest : ::testing::Test {
    void SetUp() override {
        test::bare_memory();
    }
    void TearDown() override { free_all_memory(); }
};

// Bytes placed so that they end exactly where an inaccessible page begins:
// any read past the end faults.
class Guarded {
public:
    Guarded() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<u8*>(m);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~Guarded() { munmap(base_, 2 * page_); }
    u8* place(const Bytes& b) {
        u8* p = base_ + page_ - b.size();
        if (!b.empty()) std::memcpy(p, b.data(), b.size());
        return p;
    }
    u8* end() const { return base_ + page_; }

private:
    size_t page_;
    u8* base_;
};

// True when f raises the language error category/id.
bool raises(const std::function<void()>& f, const char* category, const char* id) {
    try {
        f();
    } catch (Throw& t) {
        return t.value == THROW_ERROR && std::string(error::last.category) == category &&
               std::string(error::last.id) == id;
    }
    return false;
}

Cell string_of(const Chars& cps, u32 unit) {
    Cell c;
    string::make_fixed_at(&c, static_cast<u32>(cps.size()), unit);
    SeriesBuffer* b = GET_BUFFER(series_node(&c));
    for (u32 cp : cps) {
        string::put_char(b->tail_ptr(), unit, cp);
        b->tail += unit;
    }
    return c;
}

Chars chars_of_buffer(SeriesBuffer* b) {
    Chars out;
    for (u8* p = b->head(); p < b->tail_ptr(); p += b->unit()) out.push_back(string::get_char(p, b->unit()));
    return out;
}
Chars chars_of(node_t node) { return chars_of_buffer(GET_BUFFER(node)); }
Chars chars_of(const Cell& c) { return chars_of(series_node(&c)); }
u32 unit_of(node_t node) { return GET_BUFFER(node)->unit(); }

Chars ascii(const char* s) {
    Chars out;
    for (; *s; s++) out.push_back(static_cast<u8>(*s));
    return out;
}

Bytes utf16le(const std::vector<u16>& units) {
    Bytes out;
    for (u16 u : units) {
        out.push_back(static_cast<u8>(u));
        out.push_back(static_cast<u8>(u >> 8));
    }
    return out;
}

std::vector<u16> units_of(const u16* p, i32 n) { return std::vector<u16>(p, p + n); }

}  // namespace

// ---- UTF-8 decoding ----------------------------------------------------------

TEST_F(UnicodeTest, MalformedUtf8IsRejectedWithoutReadingPastTheEnd) {
    const Bytes invalid[] = {
        {0xC0, 0x80}, {0xC1, 0xBF},                          // overlong 2-byte
        {0xE0, 0x80, 0x80}, {0xE0, 0x9F, 0xBF},              // overlong 3-byte
        {0xF0, 0x80, 0x80, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF},  // overlong 4-byte
        {0xED, 0xA0, 0x80}, {0xED, 0xAF, 0xBF}, {0xED, 0xB0, 0x80}, {0xED, 0xBF, 0xBF},  // surrogates
        {0xF4, 0x90, 0x80, 0x80}, {0xF5, 0x80, 0x80, 0x80}, {0xF7, 0xBF, 0xBF, 0xBF},    // above U+10FFFF
        {0xF8, 0x88, 0x80, 0x80, 0x80}, {0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}, {0xFE}, {0xFF},
        {0x80}, {0xBF}, {0x80, 0x41},                                // stray continuation bytes
        {0xC3, 0x41}, {0xE2, 0x28, 0xA1}, {0xE2, 0x82, 0x28}, {0xF0, 0x9F, 0x98, 0x41},  // bad continuation
        {0xC0}, {0xF5}, {0xE0, 0x80}, {0xED, 0xA0}, {0xF4, 0x90}, {0xF0, 0x8F},  // cut, but already invalid
    };
    Guarded g;
    for (const Bytes& in : invalid) {
        SCOPED_TRACE(::testing::PrintToString(in));
        const u8* p = g.place(in);
        i32 cp = 0;
        const u8* next = unicode::fast_decode_utf8_char(p, g.end(), &cp);
        EXPECT_EQ(cp, -1);
        EXPECT_GT(next, p);
        EXPECT_LE(next, g.end());
        u32 len = static_cast<u32>(in.size());
        EXPECT_TRUE(raises([&] { unicode::decode_utf8_char(p, len); }, "access", "invalid-utf8"));
        EXPECT_TRUE(raises([&] { unicode::load_utf8_new(p, static_cast<u32>(in.size())); }, "access",
                           "invalid-utf8"));
    }
}

TEST_F(UnicodeTest, SequencesCutByTheEndAreReportedAsIncomplete) {
    const Bytes cut[] = {{0xC3}, {0xE2}, {0xE2, 0x82}, {0xE0, 0xA0}, {0xED, 0x9F},
                         {0xF0}, {0xF0, 0x9F}, {0xF0, 0x9F, 0x98}, {0xF4, 0x8F, 0xBF}};
    Guarded g;
    for (const Bytes& in : cut) {
        SCOPED_TRACE(::testing::PrintToString(in));
        const u8* p = g.place(in);
        i32 cp = 0;
        EXPECT_EQ(unicode::fast_decode_utf8_char(p, g.end(), &cp), g.end());
        EXPECT_EQ(cp, -1);
        u32 len = static_cast<u32>(in.size());
        EXPECT_EQ(unicode::decode_utf8_char(p, len), -1);
        EXPECT_EQ(len, 0u);  // nothing consumed
    }
    // Nothing at all to decode.
    i32 cp = 0;
    EXPECT_EQ(unicode::fast_decode_utf8_char(g.end(), g.end(), &cp), g.end());
    EXPECT_EQ(cp, -1);
}

TEST_F(UnicodeTest, ValidSequencesDecodeAndEncodeBothWays) {
    struct Case {
        u32 cp;
        Bytes utf8;
    } cases[] = {
        {0x00, {0x00}}, {0x41, {0x41}}, {0x7F, {0x7F}},
        {0x80, {0xC2, 0x80}}, {0xE9, {0xC3, 0xA9}}, {0x7FF, {0xDF, 0xBF}},
        {0x800, {0xE0, 0xA0, 0x80}}, {0x20AC, {0xE2, 0x82, 0xAC}}, {0xD7FF, {0xED, 0x9F, 0xBF}},
        {0xE000, {0xEE, 0x80, 0x80}}, {0xFFFE, {0xEF, 0xBF, 0xBE}}, {0xFFFF, {0xEF, 0xBF, 0xBF}},
        {0x10000, {0xF0, 0x90, 0x80, 0x80}}, {0x1F600, {0xF0, 0x9F, 0x98, 0x80}},
        {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}},
    };
    Guarded g;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cp);
        const u8* p = g.place(c.utf8);
        i32 cp = -2;
        EXPECT_EQ(unicode::fast_decode_utf8_char(p, g.end(), &cp), g.end());
        EXPECT_EQ(cp, static_cast<i32>(c.cp));
        u32 len = static_cast<u32>(c.utf8.size());
        EXPECT_EQ(unicode::decode_utf8_char(p, len), static_cast<i32>(c.cp));
        EXPECT_EQ(len, c.utf8.size());
        u8 out[4] = {};
        ASSERT_EQ(unicode::cp_to_utf8(c.cp, out), c.utf8.size());
        EXPECT_EQ(Bytes(out, out + c.utf8.size()), c.utf8);
        EXPECT_EQ(unicode::utf8_length(c.cp), c.utf8.size());
        EXPECT_EQ(unicode::utf8_lead_length(c.utf8[0]), c.utf8.size() == 1 ? 0u : c.utf8.size());
    }
}

TEST_F(UnicodeTest, EveryScalarValueRoundTrips) {
    u8 buf[4];
    for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp == 0xD800) cp = 0xE000;
        u32 n = unicode::cp_to_utf8(cp, buf);
        i32 got = -1;
        const u8* next = unicode::fast_decode_utf8_char(buf, buf + n, &got);
        u32 len = n;
        i32 checked = unicode::decode_utf8_char(buf, len);
        if (got != static_cast<i32>(cp) || next != buf + n || checked != static_cast<i32>(cp) || len != n ||
            n != unicode::utf8_length(cp)) {
            FAIL() << "code point " << cp;
        }
    }
}

// The table-driven decoder and the checked decoder agree on every short
// sequence: same code point and length, or both reject.
TEST_F(UnicodeTest, BothDecodersAgreeOnShortSequences) {
    const u8 tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    std::vector<Bytes> inputs;
    for (u32 b0 = 0x80; b0 <= 0xFF; b0++)
        for (u32 b1 = 0; b1 <= 0xFF; b1++) {
            inputs.push_back({u8(b0), u8(b1)});
            if (b0 >= 0xE0)
                for (u8 b2 : tails) {
                    inputs.push_back({u8(b0), u8(b1), b2});
                    if (b0 >= 0xF0)
                        for (u8 b3 : {u8(0x41), u8(0x80), u8(0xBF), u8(0xC0)})
                            inputs.push_back({u8(b0), u8(b1), b2, b3});
                }
        }
    for (const Bytes& in : inputs) {
        const u8* end = in.data() + in.size();
        i32 fast;
        const u8* next = unicode::fast_decode_utf8_char(in.data(), end, &fast);
        u32 len = static_cast<u32>(in.size());
        i32 checked;
        bool threw = false;
        try {
            checked = unicode::decode_utf8_char(in.data(), len);
        } catch (Throw&) {
            threw = true;
        }
        bool agree;
        if (threw) agree = fast == -1;
        else if (checked == -1) agree = fast == -1 && next == end;  // cut off
        else agree = fast == checked && next == in.data() + len;
        if (!agree) FAIL() << ::testing::PrintToString(in);
    }
}

TEST_F(UnicodeTest, CountingAndSkippingStopAtTheEnd) {
    // "a", e-acute, euro, grinning face, then a 4-byte sequence cut after 2 bytes.
    Bytes text = {0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9F};
    Guarded g;
    const u8* p = g.place(text);
    EXPECT_EQ(unicode::count_utf8_chars(p, g.end()), 5u);
    EXPECT_EQ(unicode::skip_utf8_chars(p, g.end(), 2), p + 3);
    EXPECT_EQ(unicode::skip_utf8_chars(p, g.end(), 4), p + 10);
    EXPECT_EQ(unicode::skip_utf8_chars(p, g.end(), 100), g.end());
    // A byte that breaks a sequence starts the next one.
    Bytes broken = {0xE2, 0x82, 0x41, 0x42};
    p = g.place(broken);
    EXPECT_EQ(unicode::count_utf8_chars(p, g.end()), 3u);
    i32 cp;
    EXPECT_EQ(unicode::fast_decode_utf8_char(p, g.end(), &cp), p + 2);
    EXPECT_EQ(cp, -1);
}

// ---- UTF-8 encoding ------------------------------------------------------------

TEST_F(UnicodeTest, CodePointsAboveTheRangeRaiseInvalidChar) {
    u8 out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_TRUE(raises([&] { unicode::cp_to_utf8(0x110000, out); }, "script", "invalid-char"));
    EXPECT_EQ(out[0], 0xAA);  // nothing written
    EXPECT_TRUE(raises([&] { unicode::utf8_length(0x110000); }, "script", "invalid-char"));
    EXPECT_TRUE(raises([&] { unicode::cp_to_utf8_limited(0xFFFFFFFF, out, 4); }, "script", "invalid-char"));
    Cell s = string_of({0x41, 0x110000}, 4);
    SeriesBuffer* b = GET_BUFFER(series_node(&s));
    EXPECT_TRUE(raises([&] { unicode::count_utf8_bytes(b->head(), b->tail_ptr(), 4); }, "script", "invalid-char"));
    i32 len = -1;
    EXPECT_TRUE(raises([&] { unicode::to_utf8(&s, len); }, "script", "invalid-char"));
    EXPECT_EQ(unicode::cp_to_utf16(0x110000, out), 0u);
    len = -1;
    EXPECT_EQ(unicode::to_utf16_star(&s, len, false), nullptr);
}

TEST_F(UnicodeTest, CountsUtf8BytesOfEachUnit) {
    Cell s1 = string_of({0x41, 0xE9, 0x0A}, 1);
    Cell s2 = string_of({0x41, 0x7FF, 0x800, 0xFFFF}, 2);
    Cell s4 = string_of({0x41, 0x10000, 0x10FFFF}, 4);
    for (auto [cell, bytes] : {std::pair{&s1, 4u}, {&s2, 9u}, {&s4, 9u}}) {
        SeriesBuffer* b = GET_BUFFER(series_node(cell));
        EXPECT_EQ(unicode::count_utf8_bytes(b->head(), b->tail_ptr(), b->unit()), bytes);
    }
}

TEST_F(UnicodeTest, LimitedWritesNeverCutACodePoint) {
    u8 out[8];
    EXPECT_EQ(unicode::cp_to_utf8_limited(0x1F600, out, 3), 0u);
    EXPECT_EQ(unicode::cp_to_utf8_limited(0x1F600, out, 4), 4u);
    Cell s = string_of({0x61, 0x20AC, 0x62}, 2);
    struct Case {
        u32 room;
        bool nul;
        Bytes expected;
    } cases[] = {
        {0, false, {}}, {1, true, {}}, {3, false, {0x61}}, {4, false, {0x61, 0xE2, 0x82, 0xAC}},
        {5, true, {0x61, 0xE2, 0x82, 0xAC}}, {8, false, {0x61, 0xE2, 0x82, 0xAC, 0x62}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        std::memset(out, 0xAA, sizeof out);
        u32 n = unicode::to_utf8_buffer_limited(&s, out, c.room, -1, c.nul);
        EXPECT_EQ(Bytes(out, out + n), c.expected);
        if (c.nul && c.room) {
            EXPECT_EQ(out[n], 0);
        }
        EXPECT_EQ(out[c.room < 8 ? c.room : 7], c.room < 8 ? 0xAA : out[7]);  // nothing beyond the room
    }
    u8 big[16];
    EXPECT_EQ(unicode::to_utf8_buffer(&s, big, 2, true), 4u);
    EXPECT_EQ(big[4], 0);
}

// ---- Widening ----------------------------------------------------------------

TEST_F(UnicodeTest, WideningKeepsEveryCodePoint) {
    Chars text = ascii("abcdefgh");
    text.push_back(0xE9);
    for (i32 offset : {0, -1}) {  // data at the start, and placed mid-buffer
        SCOPED_TRACE(offset);
        // Twice the room, since a mid-buffer offset leaves only the second half.
        node_t node = alloc_series(2 * static_cast<u32>(text.size()), 1, offset);
        SeriesBuffer* b = GET_BUFFER(node);
        for (u32 cp : text) *at(b->tail++) = static_cast<u8>(cp);
        b = unicode::widen_1_2(b);
        EXPECT_EQ(b, GET_BUFFER(node));
        EXPECT_EQ(b->unit(), 2u);
        EXPECT_EQ(chars_of(node), text);
        EXPECT_LE(b->tail, off_of(b->data_end()));
        b = unicode::widen_2_4(b);
        EXPECT_EQ(b->unit(), 4u);
        EXPECT_EQ(chars_of(node), text);
        EXPECT_LE(b->tail, off_of(b->data_end()));
    }
    // A buffer with room enough widens where it is.
    node_t node = alloc_series(64, 1, 0);
    SeriesBuffer* b = GET_BUFFER(node);
    for (u32 cp : text) *at(b->tail++) = static_cast<u8>(cp);
    EXPECT_EQ(unicode::widen_1_4(b), b);
    EXPECT_EQ(chars_of(node), text);
}

TEST_F(UnicodeTest, AppendWidensAt128AndStoreAt256) {
    struct Case {
        bool append;
        u32 unit, cp, expected_unit;
    } cases[] = {
        {true, 1, 0x7F, 1}, {true, 1, 0x80, 2}, {true, 1, 0xFF, 2}, {true, 1, 0xFFFF, 2},
        {true, 1, 0x10000, 4}, {true, 2, 0xFFFF, 2}, {true, 2, 0x10000, 4}, {true, 4, 0x41, 4},
        {false, 1, 0xFF, 1}, {false, 1, 0x100, 2}, {false, 1, 0x10000, 4}, {false, 2, 0xFFFF, 2},
        {false, 2, 0x10000, 4}, {false, 4, 0x10FFFF, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.append ? "append " : "poke ") << c.unit << " " << c.cp);
        Chars text = {0x61, 0x62, 0x63};
        Cell s = string_of(text, c.unit);
        node_t node = series_node(&s);
        SeriesBuffer* b = GET_BUFFER(node);
        if (c.append) {
            b = string::append_char(b, c.cp);
            text.push_back(c.cp);
        } else {
            b = string::poke_char(b, b->head() + c.unit, c.cp);
            text[1] = c.cp;
        }
        EXPECT_EQ(b, GET_BUFFER(node));
        EXPECT_EQ(b->unit(), c.expected_unit);
        EXPECT_EQ(chars_of(node), text);
    }
}

TEST_F(UnicodeTest, AppendingManyCharactersGrowsTheBuffer) {
    Cell s;
    string::zs_make_at(&s, 0);
    SeriesBuffer* b = GET_BUFFER(series_node(&s));
    Chars expected;
    for (u32 i = 0; i < 1000; i++) {
        u32 cp = i == 500 ? 0x1F600 : 0x61 + i % 26;
        b = string::append_char(b, cp);
        expected.push_back(cp);
    }
    EXPECT_EQ(chars_of(s), expected);
    EXPECT_EQ(string::zs_length_q(&s), 1000u);
    EXPECT_EQ(string::zs_abs_at(&s, 500), 0x1F600u);
}

// ---- Loading UTF-8 -------------------------------------------------------------

TEST_F(UnicodeTest, ByteOrderMarkIsSkipped) {
    Guarded g;
    const u8* p = g.place({0xEF, 0xBB, 0xBF});
    node_t n = unicode::load_utf8_new(p, 3);
    EXPECT_TRUE(chars_of(n).empty());
    p = g.place({0xEF, 0xBB, 0xBF, 0x41});
    EXPECT_EQ(chars_of(unicode::load_utf8_new(p, 4)), ascii("A"));
    // Only at the start of the text: appended to existing text it is a character.
    Cell s = string_of(ascii("x"), 1);
    unicode::load_utf8_in(p, 4, &s, nullptr);
    EXPECT_EQ(chars_of(s), (Chars{0x78, 0xFEFF, 0x41}));
}

TEST_F(UnicodeTest, LoadingWidensStepByStepAndKeepsEarlierText) {
    const u8 cafe[] = {'c', 'a', 'f', 0xC3, 0xA9};
    const u8 euro[] = {0xE2, 0x82, 0xAC};
    const u8 face[] = {0xF0, 0x9F, 0x98, 0x80};
    Cell s;
    make_cell(&s, TYPE_STRING, 0, unicode::load_utf8_new(cafe, sizeof cafe));
    Chars expected = {'c', 'a', 'f', 0xE9};
    EXPECT_EQ(unit_of(series_node(&s)), 1u);
    EXPECT_EQ(chars_of(s), expected);
    u32 left = 99;
    unicode::load_utf8_in(euro, sizeof euro, &s, &left);
    expected.push_back(0x20AC);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(unit_of(series_node(&s)), 2u);
    EXPECT_EQ(chars_of(s), expected);
    unicode::load_utf8_in(face, sizeof face, &s, &left);
    expected.push_back(0x1F600);
    EXPECT_EQ(unit_of(series_node(&s)), 4u);
    EXPECT_EQ(chars_of(s), expected);
}

TEST_F(UnicodeTest, CutInputLoadsWholeCodePointsAndReportsTheRest) {
    Guarded g;
    const u8* p = g.place({'a', 'b', 0xE2, 0x82});
    Cell s;
    string::zs_make_at(&s, 0);
    u32 left = 0;
    unicode::load_utf8(p, 4, &s, &left, false);
    EXPECT_EQ(chars_of(s), ascii("ab"));
    EXPECT_EQ(left, 2u);
    // The caller carries the rest over to the next chunk.
    const u8 next[] = {0xE2, 0x82, 0xAC, 'c'};
    unicode::load_utf8(next, 4, &s, &left, false);
    EXPECT_EQ(chars_of(s), (Chars{'a', 'b', 0x20AC, 'c'}));
    EXPECT_EQ(left, 0u);
    // A whole input may not end inside a sequence.
    EXPECT_TRUE(raises([&] { unicode::load_utf8_new(p, 4); }, "access", "invalid-utf8"));
}

TEST_F(UnicodeTest, LineEndsAreNormalisedOnRequest) {
    const u8 text[] = {'a', '\r', '\n', 'b', '\r', 'c', '\r'};
    Cell s;
    string::zs_make_at(&s, 0);
    unicode::load_utf8(text, sizeof text, &s, nullptr, true);
    EXPECT_EQ(chars_of(s), ascii("a\nb\nc\n"));
    EXPECT_EQ(chars_of(unicode::load_utf8_new(text, sizeof text)), ascii("a\r\nb\rc\r"));
}

TEST_F(UnicodeTest, InvalidUtf8InsideTextRaises) {
    const u8 text[] = {'a', 'b', 0xC0, 0x80, 'c'};
    EXPECT_TRUE(raises([&] { unicode::load_utf8_new(text, sizeof text); }, "access", "invalid-utf8"));
    Cell s;
    EXPECT_TRUE(raises([&] { string::load_at(text, sizeof text, &s, 0); }, "access", "invalid-utf8"));
}

TEST_F(UnicodeTest, LongInputsGrowAcrossWidenings) {
    std::vector<u8> text;
    Chars expected;
    for (u32 i = 0; i < 3000; i++) {
        u32 cp = i < 1000 ? 'a' + i % 26 : i < 2000 ? 0x20AC : 0x1F600;
        u8 buf[4];
        u32 n = unicode::cp_to_utf8(cp, buf);
        text.insert(text.end(), buf, buf + n);
        expected.push_back(cp);
    }
    node_t n = unicode::load_utf8_new(text.data(), static_cast<u32>(text.size()));
    EXPECT_EQ(unit_of(n), 4u);
    EXPECT_EQ(chars_of(n), expected);
    EXPECT_TRUE(chars_of(unicode::load_utf8_new(nullptr, 0)).empty());
}

TEST_F(UnicodeTest, LoadAtMakesAStringCell) {
    const u8 utf8[] = {'h', 0xC3, 0xA9};
    Cell s;
    string::load_at(utf8, sizeof utf8, &s, 0);
    EXPECT_EQ(TYPE_OF(&s), TYPE_STRING);
    EXPECT_EQ(series_head(&s), 0u);
    EXPECT_EQ(s.data3, 0u);
    EXPECT_EQ(chars_of(s), (Chars{'h', 0xE9}));
    Bytes utf16 = utf16le({'h', 0x20AC, 'i'});
    utf16.push_back(0x55);  // an odd byte at the end is no unit
    string::load_at(utf16.data(), static_cast<u32>(utf16.size()), &s, -1);
    EXPECT_EQ(chars_of(s), (Chars{'h', 0x20AC, 'i'}));
}

// ---- UTF-16 --------------------------------------------------------------------

TEST_F(UnicodeTest, CodePointsToUtf16) {
    struct Case {
        u32 cp;
        std::vector<u16> units;
    } cases[] = {
        {0x41, {0x0041}}, {0xFFFF, {0xFFFF}}, {0x10000, {0xD800, 0xDC00}},
        {0x1F600, {0xD83D, 0xDE00}}, {0x10FFFF, {0xDBFF, 0xDFFF}}, {0x110000, {}},
    };
    Guarded g;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cp);
        // The output area is exactly as long as the result.
        u8* out = g.place(Bytes(c.units.size() * 2, 0));
        ASSERT_EQ(unicode::cp_to_utf16(c.cp, out), c.units.size());
        EXPECT_EQ(Bytes(out, g.end()), utf16le(c.units));
    }
    u16 out[4];
    unicode::ascii_to_utf16("ok", out);
    EXPECT_EQ(units_of(out, 3), (std::vector<u16>{'o', 'k', 0}));
}

TEST_F(UnicodeTest, Utf16InputChoosesTheNarrowestUnit) {
    struct Case {
        std::vector<u16> units;
        u32 unit;
        Chars chars;
    } cases[] = {
        {{}, 1, {}},
        {{'a', 0xFF}, 1, {'a', 0xFF}},
        {{'a', 0x100}, 2, {'a', 0x100}},
        {{0xDC00, 'b'}, 2, {0xDC00, 'b'}},  // a lone low surrogate is kept as it is
        {{'a', 0xD83D, 0xDE00, 0x20AC}, 4, {'a', 0x1F600, 0x20AC}},
        {{0xDBFF, 0xDFFF}, 4, {0x10FFFF}},
    };
    Guarded g;
    for (const Case& c : cases) {
        Bytes in = utf16le(c.units);
        const u8* p = g.place(in);
        u32 n = static_cast<u32>(c.units.size());
        EXPECT_EQ(unicode::utf16_unit(p, n), c.unit);
        node_t node = unicode::load_utf16(p, n, nullptr, false);
        EXPECT_EQ(unit_of(node), c.unit);
        EXPECT_EQ(chars_of(node), c.chars);
    }
}

TEST_F(UnicodeTest, UnpairedHighSurrogateRaisesInvalidChars) {
    const std::vector<u16> bad[] = {{'a', 0xD800}, {0xD800, 'b'}, {0xDBFF, 0xD800, 0xDC00}};
    Guarded g;
    for (const auto& units : bad) {
        const u8* p = g.place(utf16le(units));
        EXPECT_TRUE(raises([&] { unicode::load_utf16(p, static_cast<u32>(units.size()), nullptr, false); },
                           "script", "invalid-chars"));
    }
}

TEST_F(UnicodeTest, Utf16LoadingDropsCrAndAppendsToACell) {
    Bytes in = utf16le({'a', '\r', '\n', 'b'});
    EXPECT_EQ(chars_of(unicode::load_utf16(in.data(), 4, nullptr, true)), ascii("a\nb"));
    EXPECT_EQ(chars_of(unicode::load_utf16(in.data(), 4, nullptr, false)), ascii("a\r\nb"));
    Cell s = string_of(ascii("xy"), 1);
    Bytes more = utf16le({0x20AC, 0xD83D, 0xDE00});
    unicode::load_utf16(more.data(), 3, &s, false);
    EXPECT_EQ(unit_of(series_node(&s)), 4u);
    EXPECT_EQ(chars_of(s), (Chars{'x', 'y', 0x20AC, 0x1F600}));
}

TEST_F(UnicodeTest, StringsRoundTripThroughUtf16) {
    const std::pair<Chars, u32> cases[] = {
        {ascii("plain\ntext"), 1},
        {{'a', 0xE9, 0x20AC, 0xFFFD}, 2},
        {{'a', 0x10000, 0x1F600, 0x10FFFF, 0xE9}, 4},
    };
    for (const auto& [text, unit] : cases) {
        Cell s = string_of(text, unit);
        i32 len = -1;
        u16* out = unicode::to_utf16_star(&s, len, false);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out[len], 0);
        Cell back;
        string::zs_make_at(&back, 0);
        unicode::load_utf16(out, static_cast<u32>(len), &back, false);
        EXPECT_EQ(chars_of(back), text);
    }
}

TEST_F(UnicodeTest, PlatformTextGetsCrLf) {
    Cell s = string_of({'a', '\n', 0x1F600, '\n'}, 4);
    u16* out = unicode::to_utf16(&s);
    EXPECT_EQ(units_of(out, 7), (std::vector<u16>{'a', '\r', '\n', 0xD83D, 0xDE00, '\r', '\n'}));
    EXPECT_EQ(out[7], 0);
    Cell s1 = string_of(ascii("x\ny"), 1);
    i32 len = -1;
    out = unicode::to_utf16_star(&s1, len, true);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(units_of(out, 5), (std::vector<u16>{'x', '\r', '\n', 'y', 0}));
    Cell s2 = string_of({'x', '\n', 0x20AC}, 2);
    len = 2;  // at most two code points
    out = unicode::to_utf16_star(&s2, len, true);
    EXPECT_EQ(units_of(out, len + 1), (std::vector<u16>{'x', '\r', '\n', 0}));
}

// ---- Conversion to UTF-8 and the cache ------------------------------------------

TEST_F(UnicodeTest, StringsConvertToUtf8FromTheirHead) {
    struct Case {
        Chars text;
        u32 unit;
        u32 head;
        i32 limit;
        bool crlf;
        std::string utf8;
    } cases[] = {
        {ascii("hello"), 1, 0, -1, false, "hello"},
        {{'a', 0xE9}, 1, 0, -1, false, "a\xC3\xA9"},
        {{'a', 0x20AC, '\n'}, 2, 0, -1, true, "a\xE2\x82\xAC\r\n"},
        {{'a', 0x1F600, 'b'}, 4, 1, -1, false, "\xF0\x9F\x98\x80" "b"},
        {ascii("a\nb\nc"), 1, 0, 3, true, "a\r\nb"},
        {ascii("abc"), 1, 7, -1, false, ""},  // a head past the tail is clamped
        {{}, 1, 0, -1, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        Cell s = string_of(c.text, c.unit);
        series_head(&s) = c.head;
        i32 len = c.limit;
        u8* out = unicode::to_utf8_lines(&s, len, c.crlf);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(len)), c.utf8);
        EXPECT_EQ(out[len], 0);
    }
}

// ASCII runs are copied many bytes at a time: a byte that ends a run (a
// Latin-1 letter, a CR) at every place of texts of every length up to past
// two steps must come out the same in each direction.
TEST_F(UnicodeTest, AsciiRunsEndAtEveryPlace) {
    for (u32 len = 1; len <= 40; len++) {
        for (u32 at = 0; at < len; at++) {
            for (u32 stop : {0xE9u, u32('\r')}) {
                SCOPED_TRACE(testing::Message() << len << " " << at << " " << stop);
                Chars text;
                std::string utf8;
                for (u32 i = 0; i < len; i++) {
                    u32 cp = i == at ? stop : 'a' + i % 26;
                    text.push_back(cp);
                    u8 buf[4];
                    utf8.append(reinterpret_cast<char*>(buf), unicode::cp_to_utf8(cp, buf));
                }
                node_t n = unicode::load_utf8_new(reinterpret_cast<const u8*>(utf8.data()), static_cast<u32>(utf8.size()));
                EXPECT_EQ(unit_of(n), 1u);
                EXPECT_EQ(chars_of(n), text);
                Cell s = string_of(text, 1);
                i32 count = -1;
                u8* out = unicode::to_utf8(&s, count);
                EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(count)), utf8);
                std::string buffer(utf8.size(), '\0');
                EXPECT_EQ(unicode::to_utf8_buffer(&s, reinterpret_cast<u8*>(buffer.data()), -1, false), utf8.size());
                EXPECT_EQ(buffer, utf8);
            }
        }
    }
}

// A large text is written a piece at a time: pieces of any room never cut a
// code point, and together they are the whole conversion, in every unit.
TEST_F(UnicodeTest, PiecesTogetherAreTheWholeConversion) {
    const Chars texts[] = {
        ascii("a plain line of text that is longer than one step\n"),
        {'a', 0xE9, 'b', 0xFF, 0xE9, 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 0xE0},
        {'x', 0x20AC, 'y', 0xE9, 0x4E2D, 'z'},
        {0x1F600, 'a', 0x20AC, 0xE9, 'b', 0x1F601},
    };
    for (const Chars& text : texts) {
        u32 unit = 1;
        for (u32 cp : text) unit = std::max(unit, cp > 0xFFFF ? 4u : cp > 0xFF ? 2u : 1u);
        Cell s = string_of(text, unit);
        i32 count = -1;
        u8* out = unicode::to_utf8(&s, count);
        const std::string whole(reinterpret_cast<char*>(out), static_cast<size_t>(count));
        for (u32 room = 4; room <= 20; room++) {
            SCOPED_TRACE(testing::Message() << whole << " room " << room);
            std::string joined;
            u32 from = 1, end = static_cast<u32>(text.size()) - 1;  // not from the very first nor to the last
            u8 piece[32];
            while (from < end) {
                u32 n = unicode::to_utf8_piece(series_node(&s), &from, end, piece, room);
                ASSERT_GT(n, 0u);
                ASSERT_LE(n, room);
                joined.append(reinterpret_cast<char*>(piece), n);
            }
            Cell inner = s;
            series_head(&inner) = 1;
            i32 inner_count = static_cast<i32>(text.size()) - 2;
            u8* expected = unicode::to_utf8(&inner, inner_count);
            EXPECT_EQ(joined, std::string(reinterpret_cast<char*>(expected), static_cast<size_t>(inner_count)));
        }
    }
}

TEST_F(UnicodeTest, ConversionCacheIsReusedGrownAndShared) {
    Cell s = string_of(ascii("abc"), 1);
    EXPECT_EQ(s.data3, 0u);
    i32 len = -1;
    u8* first = unicode::to_utf8(&s, len);
    node_t cache = s.data3;
    ASSERT_NE(cache, 0u);
    EXPECT_NE(cache, series_node(&s));
    len = -1;
    EXPECT_EQ(unicode::to_utf8(&s, len), first);  // fits: no new buffer
    EXPECT_EQ(s.data3, cache);

    // A copy shares the cache; converting either writes into it.
    Cell copy = s;
    SeriesBuffer* b = GET_BUFFER(series_node(&s));
    for (int i = 0; i < 100; i++) b = string::append_char(b, 0x1F600);
    len = -1;
    u8* grown = unicode::to_utf8(&copy, len);
    EXPECT_EQ(copy.data3, cache);
    EXPECT_EQ(len, 3 + 400);
    EXPECT_EQ(GET_BUFFER(cache)->head(), grown);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(grown), 7), "abc\xF0\x9F\x98\x80");

    // The UTF-16 form uses the same cache; the text is untouched by it.
    u16* wide = unicode::to_utf16(&s);
    EXPECT_EQ(s.data3, cache);
    EXPECT_EQ(reinterpret_cast<u8*>(wide), GET_BUFFER(cache)->head());
    EXPECT_EQ(string::zs_length_q(&s), 103u);

    // Loading from the cache: UTF-16 units of "ab" + face, read back into another string.
    Cell t = string_of(ascii("ab"), 1);
    len = -1;
    unicode::to_utf16_star(&t, len, false);
    Cell u;
    string::zs_make_at(&u, 0);
    u.data3 = t.data3;
    unicode::load_utf16(nullptr, static_cast<u32>(len), &u, false);
    EXPECT_EQ(chars_of(u), ascii("ab"));
    // A count larger than the cache holds reads no further than the cache.
    Cell v;
    string::zs_make_at(&v, 0);
    v.data3 = t.data3;
    unicode::load_utf16(nullptr, 1u << 20, &v, false);
    EXPECT_LE(string::zs_length_q(&v), GET_BUFFER(t.data3)->size / 2);
}

// ---- Windows-1251 ----------------------------------------------------------------

TEST_F(UnicodeTest, Cp1251BytesMapThroughTheTable) {
    const u8 text[] = {'A', 0xC0, 0xFF, 0x88, 0x98, 0xB9, 0xA8, '\r', '\n', 'x', '\r'};
    node_t n = unicode::load_cp1251(text, sizeof text, nullptr, true);
    EXPECT_EQ(unit_of(n), 2u);
    EXPECT_EQ(chars_of(n), (Chars{'A', 0x0410, 0x044F, 0x20AC, 0x98, 0x2116, 0x0401, '\n', 'x', '\n'}));
    Cell s = string_of(ascii("z"), 1);
    unicode::load_cp1251(text, 1, &s, false);
    EXPECT_EQ(chars_of(s), ascii("zA"));
}
