// ZAVBIN: the writers' exact bytes, write-then-read round trips in both
// forms, sharing and cycles, and the reader's refusal of corrupt input.
#include <cmath>
#include <algorithm>
#include <dirent.h>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "loader/crush.h"
#include "loader/zavbin.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "test_util.h"

using namespace zav;

namespace {

using Bytes = std::vector<u8>;

struct ZavbinTest : test::CleanRuntimeTest {
    // The encoding of a value as bytes.
    static Bytes enc(const Cell* v, bool compact) {
        Cell* saved = stack::top;
        Cell* bin = compact ? zavbin::encode_cp(v) : zavbin::encode(v);
        Bytes out(binary_head(bin), binary_head(bin) + binary_len(bin));
        stack::top = saved;
        return out;
    }
    static const u8* binary_head(Cell* bin) { return GET_BUFFER(series_node(bin))->head() + series_head(bin); }
    static u32 binary_len(Cell* bin) { return GET_BUFFER(series_node(bin))->length() - series_head(bin); }

    // Decodes in codec mode into a new block left on the stack.
    static Cell* dec(const Bytes& data) {
        Cell* out = block::push_only_star(4);
        zavbin::decode(data.data(), out, zavbin::MODE_CODEC, static_cast<i64>(data.size()));
        return out;
    }
    static Cell first(Cell* blk) { return *block::zs_head(blk); }

    // "category/id arg1" of what decoding raises, or "" when it decodes.
    static std::string fault(const Bytes& data) {
        Cell* saved = stack::top;
        std::string what = test::error_of([&] { dec(data); });
        stack::top = saved;
        if (what.empty()) return what;
        Cell a = *error::field(&error::thrown, error::FIELD_ARG1);
        if (TYPE_OF(&a) == TYPE_INTEGER) what += " " + std::to_string(static_cast<i32>(a.data2));
        else if (TYPE_OF(&a) == TYPE_DATATYPE) what += " " + test::mold(&a);
        return what;
    }

    // A compact buffer around a payload (no symbols).
    static Bytes compact(const Bytes& payload) {
        Bytes b(10 + payload.size());
        const u8 head[] = {'Z', 'A', 'V', 'B', 'I', 'N', 2, 1, 1, static_cast<u8>(payload.size())};
        std::copy(head, head + 10, b.begin());
        std::copy(payload.begin(), payload.end(), b.begin() + 10);
        return b;
    }
    static Bytes payload_of(const Bytes& encoded) { return Bytes(encoded.begin() + 10, encoded.end()); }
};

// ---- Exact bytes ---------------------------------------------------------------------

TEST_F(ZavbinTest, CompactScalarsHaveTheirDocumentedBytes) {
    struct Case {
        const char* source;
        Bytes payload;
    } cases[] = {
        {"63", {0xBF}},
        {"64", {0x0B, 0x80, 0x01}},
        {"-1", {0x0B, 0x01}},
        {"3.0", {0x4C, 0x06}},
        {"2.0", {0x4C, 0x04}},
        {"-0.0", {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"1.5", {0x0C, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
        {"2147483647.0", {0x0C, 0, 0, 0xC0, 0xFF, 0xFF, 0xFF, 0xDF, 0x41}},
        {"#\"a\"", {0x0A, 0x61}},
        {"none", {0x03}},
        {"[]", {0x05, 0x00}},
        {"\"abcde\"", {0x07, 20, 'a', 'b', 'c', 'd', 'e'}},
        {"\"\xC4\x80" "bcde\"", {0x07, 21, 0, 1, 'b', 0, 'c', 0, 'd', 0, 'e', 0}},
        {"#{0102}", {0x29, 0x02, 1, 2}},
        {"50%", {0x66, 0x64}},
        {"1%", {0x66, 0x02}},
        {"10x-3", {0x25, 0x14, 0x05}},
        {"1.2.3", {0x27, 1, 2, 3}},
        {"1.2.3.4", {0x67, 0x04, 1, 2, 3, 4}},
        {"<b>", {0x2C, 0x04, 'b'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Cell v = *test::load_one(c.source);
        if (std::string(c.source) == "none") make_cell(&v, TYPE_NONE);
        EXPECT_EQ(payload_of(enc(&v, true)), c.payload);
    }
}

TEST_F(ZavbinTest, IntegerFiveIsElevenBytes) {
    Cell v = test::integer_cell(5);
    EXPECT_EQ(enc(&v, true), (Bytes{'Z', 'A', 'V', 'B', 'I', 'N', 2, 1, 1, 1, 0x85}));
    Bytes fixed = enc(&v, false);
    EXPECT_EQ(fixed, (Bytes{'Z', 'A', 'V', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, 8, 0, 0, 0, 11, 0, 0, 0, 5, 0, 0, 0}));
}

TEST_F(ZavbinTest, EmptyTypesetAndLowTypesetsAreShort) {
    Cell ts;
    make_cell(&ts, TYPE_TYPESET);
    EXPECT_EQ(payload_of(enc(&ts, true)), (Bytes{0x21, 0x00}));
    make_cell(&ts, TYPE_TYPESET, 0x00000040);  // datatype! is in the first byte only
    EXPECT_EQ(payload_of(enc(&ts, true)), (Bytes{0x21, 0x01, 0x40}));
}

TEST_F(ZavbinTest, BlockAtHeadTwoCarriesItsHead) {
    Cell* blk = test::load("[1 2 3]");
    Cell b = first(blk);
    series_head(&b) = 2;
    EXPECT_EQ(payload_of(enc(&b, true)), (Bytes{0x45, 0x02, 0x03, 0x81, 0x82, 0x83}));
}

TEST_F(ZavbinTest, SelfContainingBlockIsWrittenOnce) {
    Cell b = first(test::load("[[]]"));
    Cell inner = *block::zs_head(&b);
    // b's only member becomes b itself.
    *block::zs_head(&b) = b;
    (void)inner;
    EXPECT_EQ(payload_of(enc(&b, true)), (Bytes{0x05, 0x01, 0xC1, 0x05, 0x01, 0x00}));
    Cell back = first(dec(enc(&b, true)));
    EXPECT_EQ(series_node(block::zs_head(&back)), series_node(&back));
}

// Words met again are read by a shorter path than their first occurrence:
// every form, one- and two-byte symbol indexes, new-line marks and small
// integers between them come back as written, bound like a fresh word.
TEST_F(ZavbinTest, RepeatedWordsReadBackLikeTheirFirstOccurrence) {
    std::string text = "[";
    for (int round = 0; round < 2; round++)
        for (int i = 0; i < 300; i++) {
            static const char* forms[] = {"w", "'w", ":w", "w", "/w"};
            text += std::string(i % 7 == 0 ? "\n" : " ") + (i % 5 == 3 ? "s" : forms[i % 5]) +
                    std::to_string(i) + (i % 5 == 3 ? "-x:" : "") + (i % 11 == 0 ? " 7 true" : "");
        }
    text += "]";
    Cell v = first(test::load(text));
    collector::Guard keep(&v);
    std::string molded = test::mold(&v, true);
    Cell* out = dec(enc(&v, true));
    Cell back = first(out);
    EXPECT_EQ(test::mold(&back, true), molded);
    u32 n = block::zs_length_q(&back);
    ASSERT_EQ(n, block::zs_length_q(&v));
    for (u32 i = 0; i < n; i++) {
        Cell* a = block::zs_head(&v) + i;
        Cell* b = block::zs_head(&back) + i;
        ASSERT_EQ(a->header, b->header) << i;
        ASSERT_EQ(a->data1, b->data1) << i;
        ASSERT_EQ(a->data2, b->data2) << i;
        ASSERT_EQ(a->data3, b->data3) << i;
    }
}

TEST_F(ZavbinTest, SymbolsAreListedOnceInOrderOfFirstUse) {
    Cell v = first(test::load("[foo bar foo]"));
    Bytes e = enc(&v, true);
    // flags 5; root count 1; payload; 2 symbols in 8 bytes; offsets 0 and 4; names.
    Bytes head(e.begin(), e.begin() + 28);
    EXPECT_EQ(head, (Bytes{'Z', 'A', 'V', 'B', 'I', 'N', 2, 5, 1, 8, 2, 8, 0, 0, 0, 0, 4, 0, 0, 0,
                           'f', 'o', 'o', 0, 'b', 'a', 'r', 0}));
    EXPECT_EQ(Bytes(e.begin() + 28, e.end()), (Bytes{0x05, 0x03, 0x0F, 0x00, 0x0F, 0x01, 0x0F, 0x00}));
}

}  // namespace

namespace {

// Evaluates source text in a guard frame and answers the result (valid until
// the stack is reset).
Cell eval(const std::string& text) {
    Cell code = *test::load(text);
    Cell* base = stack::top;
    stack::mark_kind5(nullptr);
    interpreter::eval(&code, true);
    Cell result = *stack::arguments;
    stack::unwind();
    stack::top = base;
    return result;
}

// Random source text of an expression whose value exercises the records.
struct Generator {
    std::mt19937 rng{2027};
    u32 below(u32 n) { return static_cast<u32>(rng() % n); }

    std::string name() {
        static const char* names[] = {"a", "b", "foo", "bar-baz", "x?", "ümlaut", "Zed", "q1"};
        return names[below(8)];
    }
    std::string number() {
        switch (below(10)) {
            case 0: return std::to_string(below(64));
            case 1: return std::to_string(static_cast<i32>(rng()));
            case 2: {
                Cell f = test::float_cell(std::ldexp(static_cast<double>(static_cast<i32>(rng())), below(80) - 40));
                return test::mold(&f, true);
            }
            case 3: return std::to_string(static_cast<i32>(below(2000)) - 1000) + ".0";
            case 4: return "-0.0";
            case 5: return std::to_string(below(30)) + ":" + std::to_string(10 + below(50)) + (below(2) ? ".25" : "");
            case 6: return std::to_string(static_cast<i32>(rng())) + "x" + std::to_string(below(100));
            case 7: {
                static const char* p[] = {"50%", "1%", "12.5%", "0.1%", "-200%", "33.333%"};
                return p[below(6)];
            }
            case 8: {
                static const char* d[] = {"1-Jan-2000", "29-Feb-2024/23:59:59", "3-Mar-2020/10:20:30+5:30",
                                          "31-Dec-1999/0:00-8:00"};
                return d[below(4)];
            }
            default: {
                static const char* m[] = {"$1.25", "-$3", "USD$4.5", "$0.00001", "-EUR$99999999999999999.99999"};
                return m[below(5)];
            }
        }
    }
    std::string text() {
        static const char* texts[] = {"\"\"", "\"abc\"", "\"caf\xC3\xA9\"", "\"\xE2\x82\xAC uro\"",
                                      "\"\xF0\x9F\x98\x80!\"", "%a/b.txt", "http://x.org/p?q=1", "#{}",
                                      "#{DEADBEEF00}", "#\"x\"", "#\"\xE2\x82\xAC\"", "#issue",
                                      "<tag a=1>", "me@x.org", "@ref", "1.2.3", "255.0.10.20.30",
                                      "(1.5, -2)", "(1, 2, 3.25)"};
        return texts[below(19)];
    }
    // Literal data, as it stands inside a block.
    std::string literal(int depth) {
        switch (below(depth > 3 ? 6 : 9)) {
            case 0: return number();
            case 1: return text();
            case 2: return name();
            case 3: return name() + ":";
            case 4: return below(2) ? "'" + name() : ":" + name();
            case 5: return "/" + name();
            case 6: return "[" + literals(depth + 1) + "]";
            case 7: return "(" + literals(depth + 1) + ")";
            default: {
                static const char* forms[] = {"", "'", ":", ""};
                u32 k = below(4);
                return forms[k] + name() + "/" + name() + (below(2) ? "/1" : "") + (k == 3 ? ":" : "");
            }
        }
    }
    std::string literals(int depth) {
        std::string s;
        for (u32 n = below(5); n > 0; n--) s += literal(depth) + (below(4) ? " " : "\n");
        return s;
    }
    // An expression, evaluated.
    std::string expr(int depth) {
        switch (below(depth > 2 ? 4 : 21)) {
            case 0: return number();
            case 1: return text();
            case 2: return "[" + literals(depth) + "]";
            case 3: return "'" + name();
            case 4: return "reduce [" + exprs(depth + 1) + "]";
            case 5: return "make object! [a: " + expr(depth + 1) + " b: 'a c: " + expr(depth + 1) + "]";
            case 6: return "func [x [integer!] /y z] [x + 1 " + name() + " z]";
            case 7: return below(2) ? "make bitset! \"abc\"" : "complement make bitset! #{F0}";
            case 8: return "make typeset! [integer! block! string!]";
            case 9: return "try [1 / 0]";
            case 10: return below(3) == 0 ? ":print" : below(2) ? ":append" : ":+";
            case 11: return below(2) ? "integer!" : below(2) ? "none" : below(2) ? "true" : "reduce [() 1]";
            case 12: return "skip [1 2 3] " + std::to_string(below(4));
            case 13: return "(b: [1 \"s\"] reduce [b next b b/2 " + expr(depth + 1) + "])";
            case 14: return "(b: copy [1] append/only b b b)";
            case 15: return "(o: make object! [x: 1 y: 'x] reduce [in o 'x o 'x])";
            case 16: return "(f: func [a] [a + 1] reduce [:f f 1 :f])";
            case 17: return below(2) ? "make hash! [" + literals(depth) + "]"
                                     : "(h: make hash! [1 [a] 2] reduce [h next h])";
            case 19: {
                static const char* v[] = {"make vector! [1 2 3]", "make vector! [integer! 8 [1 -2 300]]",
                                          "make vector! [integer! 16 [1 -2]]", "make vector! [1.5 -0.0]",
                                          "make vector! [float! 32 [1.5 2.0]]", "make vector! [#\"a\" #\"\xE2\x82\xAC\"]",
                                          "next make vector! [percent! 64 [50% 1%]]", "(v: make vector! [1 2] reduce [v next v])"};
                return v[below(8)];
            }
            case 18: return "(m: make map! [a 1 b [x] \"k\" 3 4x4 " + number() + "] remove/key m 'a m)";
            default: return "next \"" + name() + "\"";
        }
    }
    std::string exprs(int depth) {
        std::string s;
        for (u32 n = below(4); n > 0; n--) s += expr(depth) + " ";
        return s;
    }
};

}  // namespace

// Every generated value encodes and decodes back to a value with the same
// molded form and (where values compare by content) equal, in both forms.
TEST_F(ZavbinTest, WriteThenReadGivesBackEqualValues) {
    Generator g;
    for (int i = 0; i < 1500; i++) {
        stack::reset();
        std::string source = g.expr(0);
        SCOPED_TRACE(source);
        Cell original;
        std::string failure = test::error_of([&] { original = eval(source); });
        ASSERT_EQ(failure, "");
        collector::Guard keep(&original);
        std::string molded = test::mold(&original, true);
        for (bool compact : {true, false}) {
            Bytes bytes;
            ASSERT_EQ(test::error_of([&] { bytes = enc(&original, compact); }), "") << molded;
            Cell* out = nullptr;
            ASSERT_EQ(test::error_of([&] { out = dec(bytes); }), "") << molded << (compact ? " compact" : " fixed");
            ASSERT_EQ(block::zs_length_q(out), 1u) << molded;
            Cell back = first(out);
            EXPECT_EQ(TYPE_OF(&back), TYPE_OF(&original));
            EXPECT_EQ(test::mold(&back, true), molded) << (compact ? "compact" : "fixed");
            u32 t = TYPE_OF(&original);
            if (t != TYPE_FUNCTION && t != TYPE_OBJECT && t != TYPE_ERROR && t != TYPE_NATIVE && t != TYPE_ACTION &&
                t != TYPE_OP && t != TYPE_BLOCK) {
                EXPECT_EQ(actions::compare_value(&original, &back, COMP_STRICT_EQUAL), 0) << molded;
            }
            // After one trip (objects lose their class) the bytes are stable.
            Bytes again = enc(&back, compact);
            Cell twice = first(dec(again));
            EXPECT_EQ(enc(&twice, compact), again) << molded;
        }
    }
}

// ---- Corrupt and refused input ------------------------------------------------------

TEST_F(ZavbinTest, CorruptInputRaisesTheRecordOffset) {
    const Bytes magic = {'Z', 'A', 'V', 'B', 'I', 'N', 2};
    auto with = [&](std::initializer_list<u8> rest) {
        Bytes b = magic;
        b.insert(b.end(), rest);
        return b;
    };
    struct Case {
        const char* what;
        Bytes data;
        const char* error;
    } cases[] = {
        {"empty compact body", with({1}), "script/zb-invalid-record 9"},
        {"no flags byte", magic, "script/zb-invalid-record 8"},
        {"0xC1 before an integer", compact({0xC1, 0x85}), "script/zb-invalid-record 12"},
        {"definition in codec mode", compact({0xC4, 0x0F, 0x00, 0x85}), "script/zb-invalid-record 11"},
        {"type 0", compact({0x00}), "script/zb-invalid-record 11"},
        {"lead byte 0xC5", compact({0xC5}), "script/zb-invalid-record 11"},
        {"fifth varint byte too large", compact({0x0B, 0x80, 0x80, 0x80, 0x80, 0x10}), "script/zb-invalid-record 12"},
        {"string unit log2 3", compact({0x07, 0x07, 1, 2, 3, 4, 5, 6, 7, 8}), "script/zb-invalid-record 12"},
        {"string longer than the data", compact({0x07, 0x50, 'a'}), "script/zb-invalid-record 13"},
        {"block count beyond the data", compact({0x05, 0x7F}), "script/zb-invalid-record 12"},
        {"head beyond the length", compact({0x45, 0x03, 0x01, 0x81}), "script/zb-invalid-record 12"},
        {"path of 0 indexes", compact({0xFF, 0x00}), "script/zb-invalid-record 12"},
        {"path of 65,537 indexes", compact({0xFF, 0x81, 0x80, 0x04}), "script/zb-invalid-record 12"},
        {"path to nothing", compact({0xFF, 0x01, 0x00}), "script/zb-invalid-record 14"},
        {"word without a symbol table", compact({0x0F, 0x00}), "script/zb-invalid-record 12"},
        {"char beyond Unicode", compact({0x0A, 0x80, 0x80, 0xC4, 0x00}), "script/zb-invalid-record 12"},
        {"unknown datatype id", compact({0x01, 0x3F}), "script/zb-invalid-record 12"},
        {"typeset of 13 bytes", compact({0x21, 0x0D}), "script/zb-invalid-record 12"},
        {"truncated float", compact({0x0C, 0, 0, 0}), "script/zb-invalid-record 12"},
        {"payload size beyond the data", with({1, 1, 9, 0x85}), "script/zb-invalid-record 10"},
        {"error code outside the catalog", compact({0x22, 0xE7, 0x07}), "script/zb-invalid-record 12"},
        {"native index outside the table", compact({0x15, 0x7F, 0x05, 0x00}), "script/zb-invalid-record 12"},
        {"op over an integer", compact({0x17, 0x85}), "script/zb-invalid-record 12"},
        {"odd money digit", compact({0x31, 0, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "script/zb-invalid-record 13"},
        {"port!", compact({0x30}), "access/no-codec port!"},
        {"routine!", compact({0x1D}), "access/no-codec routine!"},
        {"bad magic", Bytes{'Z', 'A', 'V', 'B', 'I', 'X', 2, 1, 1, 1, 0x85}, "script/invalid-data"},
        {"compressed garbage", with({3, 1, 2, 3, 4, 5, 6, 7, 8, 9}), "script/invalid-data"},
        {"fixed body shorter than 8 bytes", with({0, 1, 0, 0}), "script/invalid-data"},
        {"fixed record past the end", with({0, 1, 0, 0, 0, 4, 0, 0, 0, 11, 0, 0, 0}), "script/zb-invalid-record 21"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(fault(c.data), c.error);
    }
}

TEST_F(ZavbinTest, TruncatedAndFlippedEncodingsNeverFault) {
    // Every prefix and every single-byte change of real encodings either
    // decodes or raises one of the reader's errors.
    Cell v = eval("(o: make object! [a: 1 b: 'a c: \"x\"] reduce [o in o 'b [1 2.5] func [x] [x + 1] :append #{01}])");
    collector::Guard keep(&v);
    for (bool compact_form : {true, false}) {
        Bytes e = enc(&v, compact_form);
        for (size_t n = 0; n < e.size(); n++) {
            std::string f = fault(Bytes(e.begin(), e.begin() + static_cast<long>(n)));
            EXPECT_TRUE(f.rfind("script/zb-invalid-record", 0) == 0 || f == "script/invalid-data") << n << ": " << f;
        }
        for (size_t i = 8; i < e.size(); i++) {
            for (u8 x : {0x01, 0x40, 0x80, 0xFF}) {
                Bytes b = e;
                b[i] ^= x;
                std::string f = fault(b);
                EXPECT_TRUE(f.empty() || f.rfind("script/", 0) == 0 || f.rfind("access/no-codec", 0) == 0)
                    << i << ": " << f;
            }
        }
    }
}

TEST_F(ZavbinTest, SymbolTableIsChecked) {
    // One symbol "a": a word naming index 1 is corrupt, as is a table whose
    // names do not end with a NUL byte.
    Bytes ok = {'Z', 'A', 'V', 'B', 'I', 'N', 2, 5, 1, 2, 1, 2, 0, 0, 0, 0, 'a', 0, 0x0F, 0x00};
    EXPECT_EQ(fault(ok), "");
    Bytes bad_index = ok;
    bad_index.back() = 0x01;
    EXPECT_EQ(fault(bad_index), "script/zb-invalid-record 20");
    Bytes no_nul = ok;
    no_nul[17] = 'b';
    EXPECT_EQ(fault(no_nul), "script/zb-invalid-record 18");
    Bytes too_many = ok;
    too_many[10] = 0x7F;
    EXPECT_EQ(fault(too_many), "script/zb-invalid-record 11");
}

TEST_F(ZavbinTest, SinglePayloadByte0x80IsTheIntegerZero) {
    Cell v = first(dec(compact({0x80})));
    EXPECT_EQ(TYPE_OF(&v), TYPE_INTEGER);
    EXPECT_EQ(v.data2, 0u);
}

TEST_F(ZavbinTest, VectorsCarryTheirElementTypeAndWidth) {
    Cell v;
    ASSERT_EQ(test::error_of([&] { v = eval("make vector! [1 2 3]"); }), "");
    collector::Guard keep(&v);
    EXPECT_EQ(payload_of(enc(&v, true)), (Bytes{0x23, 0x2E, 0x03, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
    // Widths that do not fit the element type are corrupt: 8-byte integers, 1-byte floats.
    EXPECT_EQ(fault(compact({0x23, 0x2F, 0x01, 1, 2, 3, 4, 5, 6, 7, 8})), "script/zb-invalid-record 12");
    EXPECT_EQ(fault(compact({0x23, 0x30, 0x01, 1})), "script/zb-invalid-record 12");
    EXPECT_EQ(fault(compact({0x23, 0x02 | 5 << 2, 0x01, 1, 2, 3, 4})), "script/zb-invalid-record 12");
}

TEST_F(ZavbinTest, ImagesCarryTheirSizeAndPixelWords) {
    Cell v;
    ASSERT_EQ(test::error_of([&] { v = eval("make image! [2x1 #{FF00000000FF}]"); }), "");
    collector::Guard keep(&v);
    EXPECT_EQ(payload_of(enc(&v, true)), (Bytes{0x35, 0x02, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF}));
    // A side beyond 65,535, pixels beyond the data (checked before anything
    // is made for them, however large the size), a head beyond the pixels.
    EXPECT_EQ(fault(compact({0x35, 0x80, 0x80, 0x04, 0x01})), "script/zb-invalid-record 12");
    EXPECT_EQ(fault(compact({0x35, 0x02, 0x01, 0, 0, 0})), "script/zb-invalid-record 14");
    EXPECT_EQ(fault(compact({0x35, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0x03})), "script/zb-invalid-record 18");
    EXPECT_EQ(fault(compact({0x75, 0x03, 0x01, 0x01, 1, 2, 3, 4})), "script/zb-invalid-record 12");
}

TEST_F(ZavbinTest, RefusedTypesLeaveTheWriterClean) {
    Cell r;
    make_cell(&r, TYPE_HANDLE, 0, 1, 0xFFFFFFFFu);
    Cell* blk = test::load("[1 2]");
    Cell b = first(blk);
    block::zs_append(&b, &r);
    EXPECT_EQ(test::error_of([&] { enc(&b, true); }), "access/no-codec");
    Cell i = test::integer_cell(5);
    EXPECT_EQ(payload_of(enc(&i, true)), (Bytes{0x85}));
}

TEST_F(ZavbinTest, DecodedObjectsHaveNoClass) {
    Cell o = eval("make object! [a: 1]");
    collector::Guard keep(&o);
    ASSERT_GT(object::class_of(&o), 0);
    Cell back = first(dec(enc(&o, true)));
    EXPECT_EQ(object::class_of(&back), -1);
    EXPECT_NE(back.data1, o.data1);
}

// ---- Sharing and bindings -------------------------------------------------------------

TEST_F(ZavbinTest, TwoWordsOfOneObjectShareItsRecord) {
    Cell v = eval("(o: make object! [x: 1] reduce [in o 'x in o 'x])");
    collector::Guard keep(&v);
    Bytes e = enc(&v, true);
    // The second word: reference to the first (destination 0, member 0).
    Bytes tail(e.end() - 7, e.end());
    EXPECT_EQ(tail, (Bytes{0xC1, 0x4F, 0x00, 0x00, 0x02, 0x00, 0x00}));
    for (bool compact_form : {true, false}) {
        Cell back = first(dec(enc(&v, compact_form)));
        Cell* w = block::zs_head(&back);
        EXPECT_EQ(word_ctx(w), word_ctx(w + 1));
        EXPECT_NE(word_ctx(w), context::global);
        Cell owner = *context::owner_of(word_ctx(w));
        EXPECT_EQ(TYPE_OF(&owner), TYPE_OBJECT);
        Cell field = *context::values_of(context::TO_CTX(owner.data1));
        EXPECT_EQ(test::mold(&field), "1");
    }
}

TEST_F(ZavbinTest, SharedSeriesAndCyclesStayShared) {
    Cell v = eval("(s: \"ab\" o: make object! [me: none t: s] o/me: o b: copy [] append/only b b "
                  "reduce [s next s o b])");
    collector::Guard keep(&v);
    for (bool compact_form : {true, false}) {
        SCOPED_TRACE(compact_form ? "compact" : "fixed");
        Cell back = first(dec(enc(&v, compact_form)));
        Cell* m = block::zs_head(&back);
        EXPECT_EQ(series_node(m), series_node(m + 1));
        EXPECT_EQ(series_head(m + 1), 1u);
        Cell* fields = context::values_of(context::TO_CTX(m[2].data1));
        EXPECT_EQ(fields[0].data1, m[2].data1);           // o/me is o
        EXPECT_EQ(series_node(&fields[1]), series_node(m));  // o/t is s
        EXPECT_EQ(series_node(block::zs_head(m + 3)), series_node(m + 3));
    }
}

TEST_F(ZavbinTest, DecodedFunctionsAndBuiltinsRun) {
    Cell v = eval("reduce [func [x /twice] [either twice [x + x] [x + 1]] :append :+]");
    collector::Guard keep(&v);
    for (bool compact_form : {true, false}) {
        SCOPED_TRACE(compact_form ? "compact" : "fixed");
        Cell back = first(dec(enc(&v, compact_form)));
        Cell m[3] = {block::zs_head(&back)[0], block::zs_head(&back)[1], block::zs_head(&back)[2]};
        context::set_global(symbol::make("zb-f"), &m[0]);
        context::set_global(symbol::make("zb-append"), &m[1]);
        context::set_global(symbol::make("zb-plus"), &m[2]);
        std::string result;
        EXPECT_EQ(test::error_of([&] {
                      Cell r = eval("reduce [zb-f 41 zb-f/twice 4 zb-append [1] 2 3 zb-plus 4]");
                      result = test::mold(&r);
                  }),
                  "");
        EXPECT_EQ(result, "[42 8 [1 2] 7]");
    }
}

TEST_F(ZavbinTest, FixedFormAlignsFloats) {
    Cell v = eval("[1 2.5]");
    collector::Guard keep(&v);
    Bytes e = enc(&v, false);
    // Header 16 bytes; block header, head, count, integer (8 bytes), one padding word, then the float.
    ASSERT_EQ(e.size(), 16u + 12 + 8 + 4 + 12);
    EXPECT_EQ(e[16 + 24], TYPE_FLOAT);
    EXPECT_EQ((24) % 8, 0);
    EXPECT_EQ(test::mold(block::zs_head(dec(e))), "[1 2.5]");
}

// ---- Boot mode ----------------------------------------------------------------------------

TEST_F(ZavbinTest, BootDefinitionsSetWordsAndAddNoRoot) {
    // Symbols "zb-boot-dt" and "zb-boot-obj"; a definition of zb-boot-dt as
    // datatype! 2, then an object root and a word bound to it by root index.
    Bytes b = {'Z', 'A', 'V', 'B', 'I', 'N', 1, 5, 2, 0, 2, 23, 0, 0, 0, 0, 11, 0, 0, 0};
    for (const char* name : {"zb-boot-dt", "zb-boot-obj"}) {
        b.insert(b.end(), name, name + std::strlen(name));
        b.push_back(0);
    }
    Bytes payload = {0xC4, 0x10, 0x00, 0x01, 0x02,                            // zb-boot-dt: unset!
                     0x20, 0x8E, 0x02, 0x0E, 0x1A, 0x01, 0x01, 0x85,  // object [zb-boot-obj: 5], class 135
                     0x4F, 0x01, 0x00, 0x00};                                 // zb-boot-obj, root 0, index 0
    b[9] = static_cast<u8>(payload.size());
    b.insert(b.end(), payload.begin(), payload.end());
    Cell* out = block::push_only_star(4);
    u32 base = zavbin::decode(b.data(), out, zavbin::MODE_BOOT, static_cast<i64>(b.size()));
    EXPECT_EQ(base, 0u);
    ASSERT_EQ(block::zs_length_q(out), 2u);
    Cell dt = *context::get_global(symbol::make("zb-boot-dt"));
    EXPECT_EQ(test::mold(&dt), "unset!");
    Cell* roots = block::zs_head(out);
    EXPECT_EQ(object::class_of(roots), 135);
    EXPECT_EQ(word_ctx(roots + 1), roots[0].data1);
    // In codec mode the same definition is refused.
    EXPECT_EQ(fault(b), "script/zb-invalid-record 44");
}

// ---- Compressed payloads and the fuzzer's corpus ---------------------------------------------

TEST_F(ZavbinTest, CompressedBodiesDecode) {
    Cell v = eval("reduce [append/dup copy \"\" \"abc\" 100 [x y z x y z x y z x y z] 12345678]");
    collector::Guard keep(&v);
    for (bool compact_form : {true, false}) {
        Bytes e = enc(&v, compact_form);
        Bytes packed(e.size());
        i32 n = crush::compress(e.data() + 8, static_cast<u32>(e.size() - 8), packed.data());
        ASSERT_GT(n, 0);
        Bytes z(e.begin(), e.begin() + 8);
        z[7] |= zavbin::FLAG_COMPRESSED;
        z.insert(z.end(), packed.begin(), packed.begin() + n);
        EXPECT_EQ(test::mold(block::zs_head(dec(z))), test::mold(&v));
        // A damaged item is invalid data, whatever the damage.
        z.back() ^= 0x55;
        z.resize(z.size() - 3);
        EXPECT_EQ(fault(z), "script/invalid-data");
    }
}

TEST_F(ZavbinTest, FuzzCorpusReplaysWithoutFault) {
    std::string here = __FILE__;
    std::string dir = here.substr(0, here.rfind("/unit/")) + "/fuzz-corpus/zavbin";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    int files = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string f = fault(data);
        EXPECT_TRUE(f.empty() || f.rfind("script/", 0) == 0 || f.rfind("access/no-codec", 0) == 0)
            << e->d_name << ": " << f;
        files++;
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

TEST_F(ZavbinTest, MapsWriteTheirLivePairsOnly) {
    Cell m = eval("(m: make map! [a 1 b 2] remove/key m 'a m)");
    collector::Guard keep(&m);
    Bytes e = enc(&m, true);
    EXPECT_EQ(Bytes(e.end() - 5, e.end()), (Bytes{0x28, 0x02, 0x10, 0x00, 0x82}));
    Cell back = first(dec(enc(&m, true)));
    EXPECT_EQ(test::mold(&back), "#[\n    b: 2\n]");
    // A map holding itself shares its table with the copy inside.
    Cell self = eval("(m: make map! [a 1] m/a: m m)");
    collector::Guard keep2(&self);
    Cell again = first(dec(enc(&self, false)));
    Cell inner = block::zs_head(&again)[1];
    EXPECT_EQ(inner.data2, again.data2);
    EXPECT_EQ(inner.data3, again.data3);
    EXPECT_EQ(fault(compact({0x28, 0x01, 0x81})), "script/zb-invalid-record 12");
    EXPECT_EQ(fault(compact({0x28, 0x02, 0x05, 0x00, 0x81})), "script/zb-invalid-record 12");
}

TEST_F(ZavbinTest, WrittenImagesLoadInBootMode) {
    Cell v;
    const char* source = "(o: make object! [x: 1 y: 'x] f: func [a] [a + o/x] reduce [o in o 'y :f])";
    ASSERT_EQ(test::error_of([&] { v = eval(source); }), "");
    collector::Guard keep(&v);
    std::string molded = test::mold(&v, true);
    for (bool compact_form : {true, false}) {
        Bytes e = enc(&v, compact_form);
        Cell* out = block::push_only_star(1);
        ASSERT_EQ(test::error_of([&] { zavbin::decode(e.data(), out, zavbin::MODE_BOOT, static_cast<i64>(e.size())); }),
                  "");
        Cell back = first(out);
        EXPECT_EQ(test::mold(&back, true), molded);
        Cell* m = block::zs_head(&back);
        EXPECT_EQ(object::class_of(m), object::class_of(block::zs_head(&v)));  // boot mode keeps classes
        EXPECT_EQ(word_ctx(m + 1), m[0].data1);
    }
    // boot_load appends the image's roots to the root block and answers where they start.
    Bytes e = enc(&v, true);
    u32 before = GET_BUFFER(zav::root)->length();
    u32 base = 0;
    ASSERT_EQ(test::error_of([&] { base = zavbin::boot_load(e.data(), false); }), "");
    EXPECT_EQ(base, before);
    EXPECT_EQ(zavbin::root_base, before);
    EXPECT_EQ(test::mold(get_root(before), true), molded);
    EXPECT_FALSE(zavbin::codec_q);
}

// boot_load's block flags land where a deep walk from the roots through
// any-blocks puts them: on nested blocks, parens and paths, on a block first
// read inside an object once a block names it, not on an object's own blocks.
TEST_F(ZavbinTest, BootLoadFlagsWhatADeepWalkThroughBlocksReaches) {
    Cell v;
    const char* source =
        "(s: [shared [deeper]] o: make object! [b: s c: [own]] reduce [o s [x [y (z)]] 'w/p reduce [s]])";
    ASSERT_EQ(test::error_of([&] { v = eval(source); }), "");
    collector::Guard keep(&v);
    Bytes e = enc(&v, true);
    // Library flags of every series buffer met, depth first, through blocks and objects.
    std::function<void(const Cell*, std::string&, std::vector<node_t>&)> walk =
        [&](const Cell* c, std::string& out, std::vector<node_t>& seen) {
            u32 t = TYPE_OF(c);
            if (t == TYPE_OBJECT) {
                Cell* values = object::get_values(c);
                for (u32 i = 0, n = object::get_size(c); i < n; i++) walk(values + i, out, seen);
                return;
            }
            if (!block::any_block_q(t)) return;
            node_t n = series_node(c);
            out += GET_BUFFER(n)->flags & SERIES_LIBRARY ? 'L' : '-';
            if (std::find(seen.begin(), seen.end(), n) != seen.end()) return;
            seen.push_back(n);
            for (u32 i = 0; i < GET_BUFFER(n)->length(); i++) walk(block::cells_of(GET_BUFFER(n)) + i, out, seen);
        };
    u32 flagged = 0, walked = 0;
    ASSERT_EQ(test::error_of([&] { flagged = zavbin::boot_load(e.data(), false, SERIES_LIBRARY); }), "");
    ASSERT_EQ(test::error_of([&] { walked = zavbin::boot_load(e.data(), false); }), "");
    block::set_flags_deep(get_root(walked), SERIES_LIBRARY);
    std::string by_reader, by_walk;
    std::vector<node_t> seen;
    walk(get_root(flagged), by_reader, seen);
    seen.clear();
    walk(get_root(walked), by_walk, seen);
    EXPECT_EQ(by_reader, by_walk);
    EXPECT_NE(by_walk.find('-'), std::string::npos);  // the object's own block stays unflagged
}

TEST_F(ZavbinTest, UnreadableBootImageEndsTheProcessWithAFailure) {
    static const u8 bad[] = {'N', 'O', 'T', 'Z', 'A', 'V', 1, 5};
    EXPECT_EXIT(zavbin::boot_load(bad, false), testing::ExitedWithCode(1), "");
}

TEST_F(ZavbinTest, AnErrorHoldingItselfIsTooDeepNotACrash) {
    // Errors are written whole each time they are met, so one inside itself
    // would recurse without end: the writer stops at its nesting limit.
    Cell e;
    ASSERT_EQ(test::error_of([&] { e = eval("(e: try [1 / 0] e/arg1: e e)"); }), "");
    collector::Guard keep(&e);
    ASSERT_EQ(TYPE_OF(&e), TYPE_ERROR);
    EXPECT_EQ(test::error_of([&] { enc(&e, true); }), "internal/too-deep");
    EXPECT_EQ(test::error_of([&] { enc(&e, false); }), "internal/too-deep");
    Cell i = test::integer_cell(70);
    EXPECT_EQ(payload_of(enc(&i, true)), (Bytes{0x0B, 0x8C, 0x01}));
}

TEST_F(ZavbinTest, NestingHasOneLimitForWritingAndReading) {
    Cell deep;
    ASSERT_EQ(test::error_of([&] { deep = eval("(b: x: copy [] loop 3000 [append/only x y: copy [] x: y] b)"); }), "");
    collector::Guard keep(&deep);
    EXPECT_EQ(test::error_of([&] { enc(&deep, true); }), "internal/too-deep");
    Bytes nested;
    for (int i = 0; i < 3000; i++) nested.insert(nested.end(), {0x05, 0x01});
    nested.push_back(0x80);
    Bytes b = {'Z', 'A', 'V', 'B', 'I', 'N', 2, 1, 1, 0x81, 0x2F};
    b.insert(b.end(), nested.begin(), nested.end());
    EXPECT_EQ(fault(b).rfind("script/zb-invalid-record", 0), 0u);
    Cell shallow;
    const char* source = "(b: x: copy [] loop 1000 [append/only x y: copy [] x: y] b)";
    ASSERT_EQ(test::error_of([&] { shallow = eval(source); }), "");
    collector::Guard keep2(&shallow);
    Cell back;
    ASSERT_EQ(test::error_of([&] { back = *block::zs_head(dec(enc(&shallow, true))); }), "");
    u32 depth = 0;
    for (Cell c = back; block::zs_length_q(&c) == 1; c = *block::zs_head(&c)) depth++;
    EXPECT_EQ(depth, 1000u);
}
