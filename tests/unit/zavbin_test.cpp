// ZAVBIN: the writers' exact bytes, write-then-read round trips in both
// forms, sharing and cycles, and the reader's refusal of corrupt input.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/stack.h"
#include "loader/zavbin.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/helpers.h"
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
        Bytes b = {'Z', 'A', 'V', 'B', 'I', 'N', 2, 1, 1, static_cast<u8>(payload.size())};
        b.insert(b.end(), payload.begin(), payload.end());
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
        switch (below(6)) {
            case 0: return std::to_string(below(64));
            case 1: return std::to_string(static_cast<i32>(rng()));
            case 2: {
                Cell f = test::float_cell(std::ldexp(static_cast<double>(static_cast<i32>(rng())), below(80) - 40));
                return test::mold(&f, true);
            }
            case 3: return std::to_string(static_cast<i32>(below(2000)) - 1000) + ".0";
            case 4: return "-0.0";
            default: return std::to_string(below(30)) + ":" + std::to_string(10 + below(50)) + (below(2) ? ".25" : "");
        }
    }
    std::string text() {
        static const char* texts[] = {"\"\"", "\"abc\"", "\"caf\xC3\xA9\"", "\"\xE2\x82\xAC uro\"",
                                      "\"\xF0\x9F\x98\x80!\"", "%a/b.txt", "http://x.org/p?q=1", "#{}",
                                      "#{DEADBEEF00}", "#\"x\"", "#\"\xE2\x82\xAC\"", "#issue"};
        return texts[below(12)];
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
            default: return name() + "/" + name() + (below(2) ? "/1" : "");
        }
    }
    std::string literals(int depth) {
        std::string s;
        for (u32 n = below(5); n > 0; n--) s += literal(depth) + (below(4) ? " " : "\n");
        return s;
    }
    // An expression, evaluated.
    std::string expr(int depth) {
        switch (below(depth > 2 ? 4 : 18)) {
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
            case 11: return below(2) ? "integer!" : below(2) ? "none" : "true";
            case 12: return "skip [1 2 3] " + std::to_string(below(4));
            case 13: return "(b: [1 \"s\"] reduce [b next b b/2 " + expr(depth + 1) + "])";
            case 14: return "(b: copy [1] append/only b b b)";
            case 15: return "(o: make object! [x: 1 y: 'x] reduce [in o 'x o 'x])";
            case 16: return "(f: func [a] [a + 1] reduce [:f f 1 :f])";
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
        collector::Root keep(&original);
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
                t != TYPE_OP && t != TYPE_BLOCK)
                EXPECT_EQ(actions::compare_value(&original, &back, COMP_STRICT_EQUAL), 0) << molded;
            // After one trip (objects lose their class) the bytes are stable.
            Bytes again = enc(&back, compact);
            Cell twice = first(dec(again));
            EXPECT_EQ(enc(&twice, compact), again) << molded;
        }
    }
}
