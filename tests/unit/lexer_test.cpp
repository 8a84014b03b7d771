// The lexer: token recognition, loaders, nesting, errors, modes, trace events
// and round trips of molded values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "loader/tokenizer.h"
#include "runtime/cell.h"
#include "tests/unit/load_helper.h"
#include "tests/unit/runtime_fixture.h"

using namespace zav;

namespace {

struct LexerTest : RuntimeTest {
    Cell* saved = nullptr;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved = stack::top;
    }
    void TearDown() override { stack::top = saved; }

    // The loaded values molded with /all, one space between them.
    std::string loads(const std::string& text) { return test::mold_values(test::load(text), true); }

    std::string type_name(const Cell* c) { return datatype::name_of(TYPE_OF(c)); }

    // The text loaded, or null with a failure naming the lexer's message.
    Cell* load_or_fail(const std::string& text) {
        try {
            return test::load(text);
        } catch (Throw&) {
            ADD_FAILURE() << text << ": " << test::last_syntax_message();
            return nullptr;
        }
    }

    Cell* item(Cell* block, u32 i) {
        return reinterpret_cast<Cell*>(GET_BUFFER(series_node(block))->head()) + i;
    }
    u32 count(Cell* block) { return GET_BUFFER(series_node(block))->length(); }

    // Runs the lexer in one of its modes; answers its result code.
    i32 run(const std::string& text, bool one, bool load, bool build, i32* consumed = nullptr, Cell* out = nullptr) {
        Cell* o = out ? out : make_cell(stack::push_star(), TYPE_NONE);
        i32 used = 0;
        i32 r = lexer::scan(o, reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), one, load,
                            build, &used, nullptr, nullptr);
        if (consumed) *consumed = used;
        return r;
    }
};

struct Case {
    const char* source;
    const char* type;   // datatype of the single value
    const char* molded; // mold/all of it
};

TEST_F(LexerTest, TokensLoadAsTheirValues) {
    const Case cases[] = {
        {"abc", "word!", "abc"},
        {"a:", "set-word!", "a:"},
        {":a", "get-word!", ":a"},
        {"'a", "lit-word!", "'a"},
        {"/ref", "refinement!", "/ref"},
        {"#iss", "issue!", "#iss"},
        {"/", "word!", "/"},
        {"//", "word!", "//"},
        {"/:", "set-word!", "/:"},
        {":/", "get-word!", ":/"},
        {"'/", "lit-word!", "'/"},
        {"+", "word!", "+"},
        {"<", "word!", "<"},
        {"<=", "word!", "<="},
        {"%", "word!", "%"},
        {"été", "word!", "été"},
        {"0", "integer!", "0"},
        {"-7", "integer!", "-7"},
        {"+42", "integer!", "42"},
        {"1'000", "integer!", "1000"},
        {"2147483647", "integer!", "2147483647"},
        {"-2147483648", "integer!", "-2147483648"},
        {"2147483648", "float!", "2147483648.0"},
        {"12345678901", "float!", "12345678901.0"},
        {"FFh", "integer!", "255"},
        {"0Fh", "integer!", "15"},
        {"FFFFFFFFh", "integer!", "-1"},
        {"1.5", "float!", "1.5"},
        {".5", "float!", "0.5"},
        {"-.5", "float!", "-0.5"},
        {"1.", "float!", "1.0"},
        {"1e5", "float!", "100000.0"},
        {"1.5E-3", "float!", "0.0015"},
        {"1'000.5", "float!", "1000.5"},
        {"1.#INF", "float!", "1.#INF"},
        {"-1.#inf", "float!", "-1.#INF"},
        {"1.#NaN", "float!", "1.#NaN"},
        {"1:30", "time!", "1:30:00"},
        {"1:30:15.5", "time!", "1:30:15.5"},
        {"-2:00", "time!", "-2:00:00"},
        {"0:90", "time!", "1:30:00"},
        {"\"\"", "string!", "\"\""},
        {"\"abc\"", "string!", "\"abc\""},
        {"\"^(tab)^-^(09)\"", "string!", "\"^-^-^-\""},
        {"\"^\"q^\"\"", "string!", "{\"q\"}"},
        {"\"a^/b\"", "string!", "\"a^/b\""},
                                {"{a {b} c}", "string!", "\"a {b} c\""},
        {"{a ^} b}", "string!", "\"a } b\""},
        {"%{raw ^ text}%", "string!", "\"raw ^^ text\""},
        {"%%{a}% b}%%", "string!", "\"a}% b\""},
        {"#\"x\"", "char!", "#\"x\""},
        {"#\"^(line)\"", "char!", "#\"^/\""},
        {"#\"^\"\"", "char!", "#\"^\"\""},
                {"%file.txt", "file!", "%file.txt"},
        {"%\"a b\"", "file!", "%\"a b\""},
        {"%a%20b", "file!", "%\"a b\""},
        {"%dir/sub/", "file!", "%dir/sub/"},
        {"http://host/p?q=1", "url!", "http://host/p?q=1"},
        {"#{0F}", "binary!", "#{0F}"},
        {"16#{0f 10}", "binary!", "#{0F10}"},
        {"2#{00001111}", "binary!", "#{0F}"},
        {"64#{AQI=}", "binary!", "#{0102}"},
        {"64#{AQID}", "binary!", "#{010203}"},
        {"#{0F ; comment\n 10}", "binary!", "#{0F10}"},
        {"#{}", "binary!", "#{}"},
        {"#(true)", "logic!", "#(true)"},
        {"#(FALSE)", "logic!", "#(false)"},
        {"#(none)", "none!", "#(none)"},
        {"#(unset)", "unset!", "#(unset)"},
        {"#(integer!)", "datatype!", "#(integer!)"},
        {"[]", "block!", "[]"},
        {"[a [b] (c)]", "block!", "[a [b] (c)]"},
        {"(1 2)", "paren!", "(1 2)"},
        {"a/b/c", "path!", "a/b/c"},
        {"'a/b", "lit-path!", "'a/b"},
        {":a/b", "get-path!", ":a/b"},
        {"a/b:", "set-path!", "a/b:"},
        {"a/1/(b)/\"c\"", "path!", "a/1/(b)/\"c\""},
        {"a/:b/'c", "path!", "a/:b/'c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        Cell* b = test::load(c.source);
        ASSERT_EQ(count(b), 1u);
        EXPECT_EQ(type_name(item(b, 0)), c.type);
        EXPECT_EQ(test::mold(item(b, 0), true), c.molded);
    }
}

TEST_F(LexerTest, BlanksCommentsAndSeparation) {
    EXPECT_EQ(loads(""), "");
    EXPECT_EQ(loads("  \t\r\n "), "");
    Cell* b = test::load("a;comment\nb ; another");
    EXPECT_EQ(test::mold_values(b), "a b");
    EXPECT_TRUE(item(b, 1)->header & FLAG_NEW_LINE);
    EXPECT_EQ(loads("[a]b(c)\"d\"e"), "[a] b (c) \"d\" e");
    EXPECT_EQ(loads("\xC2\xA0word"), "word");
    EXPECT_EQ(loads("a\xC2\xA0" "b"), "a b");
    EXPECT_EQ(loads("\xE3\x80\x80\xE3\x80\x80"), "");  // only U+3000
    EXPECT_EQ(loads("a\xE2\x80\x83" "12"), "a 12");    // em space, then an integer
}

TEST_F(LexerTest, NestingAndNewLineFlags) {
    Cell* b = test::load("[a [b (c d) [[]]] e]");
    EXPECT_EQ(test::mold(item(b, 0), true), "[a [b (c d) [[]]] e]");
    b = test::load("a\nb c\n\n[d\ne]");
    ASSERT_EQ(count(b), 4u);
    EXPECT_FALSE(item(b, 0)->header & FLAG_NEW_LINE);
    EXPECT_TRUE(item(b, 1)->header & FLAG_NEW_LINE);
    EXPECT_FALSE(item(b, 2)->header & FLAG_NEW_LINE);
    EXPECT_TRUE(item(b, 3)->header & FLAG_NEW_LINE);
    Cell* inner = item(b, 3);
    EXPECT_FALSE(item(inner, 0)->header & FLAG_NEW_LINE);
    EXPECT_TRUE(item(inner, 1)->header & FLAG_NEW_LINE);
    // A braced string takes the flag of its opening brace, not of its inner lines.
    b = test::load("x\n{a\nb} {c\nd}");
    EXPECT_TRUE(item(b, 1)->header & FLAG_NEW_LINE);
    EXPECT_FALSE(item(b, 2)->header & FLAG_NEW_LINE);
}

struct ErrorCase {
    const char* source;
    const char* id;
    const char* message;
};

TEST_F(LexerTest, SyntaxErrors) {
    const ErrorCase cases[] = {
        {"[a b", "missing", "(line 1) missing \"]\" at \"[a b\""},
        {"a ]", "missing", "(line 1) missing \"[\" at \"]\""},
        {"(a ]", "missing", "(line 1) missing \")\" at \"]\""},
        {"x\n(a", "missing", "(line 2) missing \")\" at \"(a\""},
        {"1''000", "invalid", "(line 1) invalid integer! at \"1''000\""},
        {"12a", "invalid", "(line 1) invalid integer! at \"12a\""},
        {"1.5e", "invalid", "(line 1) invalid float! at \"1.5e\""},
        {"1.#XYZ", "invalid", "(line 1) invalid float! at \"1.#XYZ\""},
        {"8#{00}", "invalid", "(line 1) invalid binary! at \"8#{00}\""},
        {"#{0G}", "invalid", "(line 1) invalid binary! at \"G\""},
        {"#{0}", "invalid", "(line 1) invalid binary! at \"#{0}\""},
        {"64#{A=B=}", "invalid", "(line 1) invalid binary! at \"=B=\""},
        {"#\"\"", "invalid", "(line 1) invalid char! at \"#\"\"\""},
        {"#\"ab\"", "invalid", "(line 1) invalid char! at \"#\"ab\"\""},
        {"\"abc", "invalid", "(line 1) invalid string! at \"\"abc\""},
        {"{abc", "invalid", "(line 1) invalid string! at \"{abc\""},
        {"\"a^(zz)\"", "invalid", "(line 1) invalid string! at \"\"a^(zz)\"\""},
        {"\"\x80\"", "invalid", "(line 1) invalid string! at \"\"\x80\"\""},
        {"'a:", "invalid", "(line 1) invalid lit-word! at \"'a:\""},
        {"#", "invalid", "(line 1) invalid issue! at \"#\""},
        {"#(bogus)", "malconstruct", "(line 1) invalid construction spec at \"#(bogus)\""},
        {"a/", "invalid", "(line 1) invalid path! at \"a/\""},
        {"a/b:/c", "invalid", "(line 1) invalid path! at \"a/b:/\""},
        {"Eh", "invalid", "(line 1) invalid word! at \"Eh\""},
        {"1:", "invalid", "(line 1) invalid time! at \"1:\""},
        {"%\"abc", "invalid", "(line 1) invalid file! at \"%\"abc\""},
        {"a\n}", "bad-char", "(line 2) invalid character at \"}\""},
        {"\\", "bad-char", "(line 1) invalid character at \"\\\""},
        {"%{abc}%%", "invalid", "(line 1) invalid string! at \"%{abc}%%\""},
        // Datatypes this lexer does not build yet fail cleanly.
        {"256.1.1", "invalid", "(line 1) invalid tuple! at \"256.1.1\""},
        {"1.2..3", "invalid", "(line 1) invalid tuple! at \"1.2..3\""},
        {"3000000000x1", "invalid", "(line 1) invalid pair! at \"3000000000x1\""},
        {"1.5x2", "invalid", "(line 1) invalid pair! at \"1.5x2\""},
        {"29-Feb-2001", "invalid", "(line 1) invalid date! at \"29-Feb-2001\""},
        {"#[a]", "invalid", "(line 1) invalid map! at \"#[a]\""},
        {"#[[1] 2]", "invalid", "(line 1) invalid map! at \"#[[1] 2]\""},
        {"$1.123456", "invalid", "(line 1) invalid money! at \"$1.123456\""},
        {"XYZ$1", "invalid", "(line 1) invalid money! at \"XYZ$1\""},
        {"(1, )", "invalid", "(line 1) invalid point2D! at \"1, )\""},
        {"(1, 2, 3, 4)", "invalid", "(line 1) invalid point3D! at \"1, 2, 3, 4)\""},
        {"a , b", "invalid", "(line 1) invalid point2D! at \",\""},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.source);
        EXPECT_EQ(test::load_error(c.source), c.id);
        EXPECT_EQ(test::last_error_category(), "syntax");
        EXPECT_EQ(test::last_syntax_message(), c.message);
    }
}

TEST_F(LexerTest, ErrorTextStopsAtLineBreakOr30Characters) {
    EXPECT_EQ(test::load_error("\"abcdefghijklmnopqrstuvwxyz0123456789"), "invalid");
    EXPECT_STREQ(lexer::last_error.text, "\"abcdefghijklmnopqrstuvwxyz012");
    EXPECT_EQ(test::load_error("a [b\nc d"), "missing");
    EXPECT_STREQ(lexer::last_error.text, "[b");
    EXPECT_EQ(lexer::last_error.line, 2);
    // 30 characters, not 30 bytes.
    EXPECT_EQ(test::load_error("\"ééééééééééééééééééééééééééééééééé"), "invalid");
    std::string expected = "\"";
    for (int i = 0; i < 29; i++) expected += "é";
    EXPECT_EQ(std::string(lexer::last_error.text), expected);
}

TEST_F(LexerTest, ModesReportTypesWithoutBuilding) {
    i32 used = 0;
    EXPECT_EQ(run("", true, true, false), 0);
    EXPECT_EQ(run("123 abc", true, true, false, &used), TYPE_INTEGER);
    EXPECT_EQ(used, 3);
    EXPECT_EQ(run("  [a [b] c] d", true, true, false, &used), TYPE_BLOCK);
    EXPECT_EQ(used, 11);
    EXPECT_EQ(run("a/b/c d", true, true, false, &used), TYPE_PATH);
    EXPECT_EQ(run("{x {y} z} w", true, false, false, &used), TYPE_STRING);
    EXPECT_EQ(used, 9);
    EXPECT_EQ(run("\"s\"", true, false, false), TYPE_STRING);
    // Errors are reported, not raised, when nothing is built.
    EXPECT_EQ(run("1''0", true, true, false), -static_cast<i32>(TYPE_ERROR));
    EXPECT_EQ(run("[a", true, false, false), -static_cast<i32>(TYPE_ERROR));
    // One-value loading: the first value itself, and the position after it.
    Cell* out = make_cell(stack::push_star(), TYPE_NONE);
    EXPECT_EQ(run(" [1 2] 3", true, true, true, &used, out), TYPE_BLOCK);
    EXPECT_EQ(test::mold(out), "[1 2]");
    EXPECT_EQ(used, 6);
    EXPECT_EQ(run("x: 3", true, true, true, &used, out), TYPE_SET_WORD);
    EXPECT_EQ(test::mold(out), "x:");
}

TEST_F(LexerTest, ScanStringCountsCodePointsAndAppends) {
    Cell* src = stack::push_star();
    const char* text = "\xC3\xA9t\xC3\xA9 [1 2] \"\xE2\x82\xAC\"";
    string::load_at(reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), src, 0);
    Cell* dst = test::load("old");
    i32 used = 0;
    lexer::scan_string(dst, src, -1, lexer::SCAN_ALL, &used, nullptr);
    EXPECT_EQ(test::mold_values(dst), "old été [1 2] \"\xE2\x82\xAC\"");
    EXPECT_EQ(used, 13);
    Cell* one = make_cell(stack::push_star(), TYPE_NONE);
    lexer::scan_string(one, src, -1, lexer::SCAN_ALL | lexer::SCAN_ONE, &used, nullptr);
    EXPECT_EQ(test::mold(one), "été");
    EXPECT_EQ(used, 3);
    // A length limit scans only that many code points.
    lexer::scan_string(one, src, 2, lexer::SCAN_ALL, &used, nullptr);
    EXPECT_EQ(test::mold(one), "[ét]");
}

TEST_F(LexerTest, ValueBufferGrowsAndNestedLevelsFold) {
    std::string text;
    for (int i = 0; i < 5000; i++) text += std::to_string(i) + (i % 100 == 99 ? " [x [y]]\n" : " ");
    Cell* b = test::load(text);
    EXPECT_EQ(count(b), 5050u);
    std::string deep(3000, '[');
    deep += std::string(3000, ']');
    b = test::load(deep);
    EXPECT_EQ(count(b), 1u);
}

// ---- Trace callback ---------------------------------------------------------

struct Event {
    u32 event;
    std::string type;
    i32 line;
    std::string token;
};
static std::vector<Event> events;
static bool answer_error = true;
static i32 skip_to = -1;

static bool recording_tracer(const Cell*, u32 event, Cell* input, Cell* type, i32 line, Cell* token) {
    std::string tok = TYPE_OF(token) == TYPE_PAIR
                          ? std::to_string(token->data2) + "x" + std::to_string(token->data3)
                          : test::mold(token);
    events.push_back({event, test::form(type), line, tok});
    if (event == lexer::EVT_PRESCAN && skip_to >= 0) {
        input->data1 = static_cast<u32>(skip_to);
        skip_to = -1;
    }
    return event == lexer::EVT_ERROR ? answer_error : true;
}
static u32 tracer_events = 63;
static u32 mask_of(const Cell*) { return tracer_events; }

struct LexerTraceTest : LexerTest {
    lexer::TraceCaller old_caller = nullptr;
    lexer::TraceMask old_mask = nullptr;
    Cell callback;
    void SetUp() override {
        LexerTest::SetUp();
        old_caller = lexer::call_tracer;
        old_mask = lexer::tracer_mask;
        lexer::call_tracer = recording_tracer;
        lexer::tracer_mask = mask_of;
        events.clear();
        answer_error = true;
        tracer_events = 63;
        skip_to = -1;
        make_cell(&callback, TYPE_FUNCTION);
    }
    void TearDown() override {
        lexer::call_tracer = old_caller;
        lexer::tracer_mask = old_mask;
        LexerTest::TearDown();
    }
    Cell* traced_load(const std::string& text) {
        Cell* out = make_cell(stack::push_star(), TYPE_NONE);
        i32 used;
        lexer::scan(out, reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), false, true, true,
                    &used, &callback, nullptr);
        return out;
    }
};

TEST_F(LexerTraceTest, EventsCarryTypeLineAndToken) {
    Cell* b = traced_load("a\n[1]");
    EXPECT_EQ(test::mold_values(b), "a [1]");
    std::vector<std::string> seen;
    for (const Event& e : events) seen.push_back(std::to_string(e.event) + " " + e.type + " " + std::to_string(e.line) + " " + e.token);
    const std::vector<std::string> expected = {
        "1 word 1 1x2", "2 word 1 1x2", "4 word 1 a", "1 block 2 3x4", "8 block 2 3x4",
        "1 integer 2 4x5", "2 integer 2 4x5", "4 integer 2 1", "1 block 2 5x6", "16 block 2 3x6",
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(LexerTraceTest, ErrorOnlyMaskAndQuietStop) {
    tracer_events = lexer::EVT_ERROR;
    answer_error = false;
    Cell* b = traced_load("a [b 1''0 c");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, lexer::EVT_ERROR);
    EXPECT_EQ(events[0].type, "integer");
    EXPECT_EQ(test::mold_values(b), "a [b]");  // what was read, levels closed
    answer_error = true;
    EXPECT_EQ(test::load_error("x"), "");
    EXPECT_THROW(traced_load("1''0"), Throw);
}

TEST_F(LexerTraceTest, MovingTheInputSkipsText) {
    tracer_events = lexer::EVT_PRESCAN;
    skip_to = 7;  // at the first token: go on after "skip "
    Cell* b = traced_load("a skip b");
    EXPECT_EQ(test::mold_values(b), "a b");
}

// ---- Number tokenizer -------------------------------------------------------------

TEST_F(LexerTest, TokenizerScansIntegersAndFloats) {
    struct IntCase {
        const char* text;
        i32 value;
        i32 error;
    } ints[] = {
        {"-2147483648", INT32_MIN, 0}, {"2147483647", INT32_MAX, 0}, {"2147483648", 0, -2},
        {"-2147483649", 0, -2},        {"12a", 12, -1},              {"1'000", 1000, 0},
        {"+5", 5, 0},                  {"", 0, 0},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.text);
        i32 err = 0;
        EXPECT_EQ(tokenizer::scan_integer(reinterpret_cast<const u8*>(c.text), static_cast<i32>(std::strlen(c.text)), 1, &err), c.value);
        EXPECT_EQ(err, c.error);
    }
    // Wide units.
    const u16 wide[] = {'-', '4', '2'};
    i32 err = 0;
    EXPECT_EQ(tokenizer::scan_integer(reinterpret_cast<const u8*>(wide), 3, 2, &err), -42);
    const u32 wide4[] = {'1', ',', '5'};
    EXPECT_EQ(tokenizer::scan_float(reinterpret_cast<const u8*>(wide4), 3, 4, &err), 1.5);
    EXPECT_EQ(err, 0);

    const char* good[] = {"1,5", "1.5", "-1e10", ".5", "1'000.25", "1.", "+3E+2"};
    for (const char* t : good) {
        SCOPED_TRACE(t);
        tokenizer::scan_float(reinterpret_cast<const u8*>(t), static_cast<i32>(std::strlen(t)), 1, &err);
        EXPECT_EQ(err, 0);
    }
    EXPECT_EQ(tokenizer::scan_float(reinterpret_cast<const u8*>("1,5"), 3, 1, &err), 1.5);
    const char* bad[] = {"1e", "e5", "", "1.2.3", "1..2", "1e5.5", "abc", "1''0"};
    for (const char* t : bad) {
        SCOPED_TRACE(t);
        double d = tokenizer::scan_float(reinterpret_cast<const u8*>(t), static_cast<i32>(std::strlen(t)), 1, &err);
        EXPECT_EQ(err, -1);
        EXPECT_TRUE(std::isnan(d));
    }
    std::string digits(312, '1');
    tokenizer::scan_float(reinterpret_cast<const u8*>(digits.data()), 312, 1, &err);
    EXPECT_EQ(err, 0);
    digits += '1';
    tokenizer::scan_float(reinterpret_cast<const u8*>(digits.data()), 313, 1, &err);
    EXPECT_EQ(err, -1);
}

// ---- Round trip ---------------------------------------------------------------------

// Random source text of one value of a core datatype, and its molded form
// must load back to an equal value.
struct Generator {
    std::mt19937 rng{12345};
    u32 below(u32 n) { return static_cast<u32>(rng() % n); }

    std::string name() {
        static const char* first = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!&*?_|~";
        static const char* rest = "abcdefghijklmnopqrstuvwxyz0123456789-!&*?_|~+.'";
        std::string s(1, first[below(static_cast<u32>(std::strlen(first)))]);
        for (u32 n = below(8); n > 0; n--) s += rest[below(static_cast<u32>(std::strlen(rest)))];
        if (below(5) == 0) s += "\xC3\xA9";
        if (s.back() == 'h') s += 'z';  // "Ah" and the like read as hexadecimal integers
        return s;
    }
    u32 code_point() {
        switch (below(4)) {
            case 0: return 32 + below(95);
            case 1: return below(32);
            case 2: return 0xA0 + below(0xD800 - 0xA0);
            default: return 0x10000 + below(0x100000);
        }
    }
    static std::string utf8(u32 cp) {
        std::string s;
        if (cp < 0x80) s += static_cast<char>(cp);
        else if (cp < 0x800) s += static_cast<char>(0xC0 | (cp >> 6)), s += static_cast<char>(0x80 | (cp & 63));
        else if (cp < 0x10000)
            s += static_cast<char>(0xE0 | (cp >> 12)), s += static_cast<char>(0x80 | ((cp >> 6) & 63)),
                s += static_cast<char>(0x80 | (cp & 63));
        else
            s += static_cast<char>(0xF0 | (cp >> 18)), s += static_cast<char>(0x80 | ((cp >> 12) & 63)),
                s += static_cast<char>(0x80 | ((cp >> 6) & 63)), s += static_cast<char>(0x80 | (cp & 63));
        return s;
    }
    std::string escaped(u32 cp) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "^(%X)", cp);
        return buf;
    }
    // Values of the further datatypes.
    std::string further(int depth) {
        char buf[96];
        switch (below(8)) {
            case 6: {
                std::string t = std::to_string(below(256));
                for (u32 n = 2 + below(10); n > 0; n--) t += "." + std::to_string(below(256));
                return t;
            }
            case 5:
                switch (below(3)) {
                    case 0: return "<t" + std::to_string(below(1000)) + " x=\"" + name() + "\">";
                    case 1: return "u" + std::to_string(below(1000)) + "@h" + std::to_string(below(99)) + ".org";
                    default: return "@r" + std::to_string(below(100000));
                }
            case 2:
                std::snprintf(buf, sizeof buf, "%dx%d", static_cast<i32>(rng()), static_cast<i32>(rng()));
                return buf;
            case 3: {
                float c[3];
                for (float& f : c) {
                    u32 bits = static_cast<u32>(rng());
                    std::memcpy(&f, &bits, sizeof f);
                    if (!std::isfinite(f)) f = static_cast<float>(below(1000)) / 8;
                }
                std::snprintf(buf, sizeof buf, below(2) ? "(%.9g, %.9g)" : "(%.9g, %.9g, %.9g)", double(c[0]),
                              double(c[1]), double(c[2]));
                return buf;
            }
            case 4:
                std::snprintf(buf, sizeof buf, "%d.%u%%", static_cast<i32>(rng() % 100000) - 50000, below(1000));
                return buf;
            case 1: {
                static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
                i32 year = static_cast<i32>(below(12000)) - 2000;
                i32 n = std::snprintf(buf, sizeof buf, "%u%s%s%s%s%04d", 1 + below(28), year < 0 ? "/" : "-",
                                      months[below(12)], year < 0 ? "/" : "-", year < 0 ? "-" : "", std::abs(year));
                if (below(2))
                    std::snprintf(buf + n, sizeof buf - n, "/%u:%02u:%02u%s", below(24), below(60), below(60),
                                  below(2) ? "" : below(2) ? "+05:30" : "-11:45");
                return buf;
            }
            case 0: {
                const char* codes[] = {"", "USD", "eur", "JPY"};
                std::snprintf(buf, sizeof buf, "%s%s$%u.%05u", below(3) ? "" : "-", codes[below(4)], below(1000000),
                              below(100000));
                return buf;
            }
            default: {
                std::string s = "#[";
                for (u32 n = below(4); n > 0; n--) {
                    switch (below(3)) {
                        case 0: s += std::to_string(static_cast<i32>(rng())); break;
                        case 1: s += name() + ":"; break;
                        default: s += "\"" + name() + "\""; break;
                    }
                    s += " " + (depth > 2 ? name() : value(depth + 1)) + " ";
                }
                return s + "]";
            }
        }
    }
    std::string value(int depth) {
        char buf[64];
        if (below(4) == 0) return further(depth);
        switch (below(depth > 2 ? 13 : 15)) {
            case 0: return std::to_string(static_cast<i32>(rng()));
            case 1: {
                std::snprintf(buf, sizeof buf, "#\"%s\"", escaped(code_point()).c_str());
                return buf;
            }
            case 2: {
                std::string s = "\"";
                for (u32 n = below(12); n > 0; n--) {
                    u32 cp = code_point();
                    s += (below(3) && cp >= 32 && cp != '"' && cp != '^') ? utf8(cp) : escaped(cp);
                }
                return s + "\"";
            }
            case 3: return name();
            case 4: return name() + ":";
            case 5: return ":" + name();
            case 6: return "'" + name();
            case 7: return "/" + name();
            case 8: return "#" + name();
            case 9: {
                std::string s = "#{";
                for (u32 n = below(10); n > 0; n--) {
                    std::snprintf(buf, sizeof buf, "%02X", below(256));
                    s += buf;
                }
                return s + "}";
            }
            case 10: return "%" + name() + "/" + name() + (below(2) ? "%20x" : "");
            case 11: return "http://" + name() + ".com/" + name() + "?q=" + std::to_string(below(99));
            case 12: {
                std::snprintf(buf, sizeof buf, "%s%u:%02u:%02u%s", below(4) ? "" : "-", below(30), below(60), below(60),
                              below(2) ? ".5" : "");
                return buf;
            }
            case 13: {
                std::string s = below(2) ? "[" : "(";
                for (u32 n = below(5); n > 0; n--) s += value(depth + 1) + (below(4) ? " " : "\n");
                return s + (s[0] == '[' ? "]" : ")");
            }
            default: {
                std::string s = below(3) ? name() : "'" + name();
                for (u32 n = 1 + below(3); n > 0; n--) s += "/" + (below(3) ? name() : std::to_string(below(100)));
                return s;
            }
        }
    }
};

TEST_F(LexerTest, MoldedValuesLoadBackEqual) {
    Generator g;
    for (int i = 0; i < 3000; i++) {
        stack::top = saved;
        std::string source = g.value(0);
        SCOPED_TRACE(source);
        Cell* v = load_or_fail(source);
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(count(v), 1u);
        Cell original = *item(v, 0);
        std::string text = test::mold(&original, true);
        Cell* w = load_or_fail(text);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(count(w), 1u) << text;
        Cell back = *item(w, 0);
        EXPECT_EQ(TYPE_OF(&back), TYPE_OF(&original)) << text;
        EXPECT_EQ(actions::compare_value(&original, &back, COMP_STRICT_EQUAL), 0) << text;
        EXPECT_EQ(test::mold(&back, true), text);
        // Plain mold may round floats, within what equal? allows.
        std::string plain = test::mold(&original, false);
        Cell* p = test::load(plain);
        ASSERT_EQ(count(p), 1u) << plain;
        Cell again = *item(p, 0);
        EXPECT_EQ(actions::compare_value(&original, &again, COMP_EQUAL), 0) << plain;
    }
}

TEST_F(LexerTest, FloatsRoundTripBitForBit) {
    std::mt19937_64 rng(99);
    for (int i = 0; i < 20000; i++) {
        stack::top = saved;
        u64 bits = rng();
        if (i % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // subnormals and zeros
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isnan(d)) continue;
        Cell f;
        make_cell(&f, TYPE_FLOAT);
        set_cell_float(&f, d);
        std::string text = test::mold(&f, true);
        Cell* w = test::load(text);
        ASSERT_EQ(count(w), 1u) << text;
        ASSERT_EQ(TYPE_OF(item(w, 0)), TYPE_FLOAT) << text;
        double back = cell_float(item(w, 0));
        u64 back_bits;
        std::memcpy(&back_bits, &back, sizeof back);
        ASSERT_EQ(back_bits, bits) << text;
    }
}

// A percent far from 1 molds with an exponent ("1.0e-7%"), which must load
// back as the same percent, with either letter case.
TEST_F(LexerTest, PercentsWithExponentsRoundTripBitForBit) {
    struct Text { const char* source; double value; } texts[] = {
        {"1e2%", 1.0},        {"1E2%", 1.0},          {"1.5e-5%", 1.5e-7}, {"1.5E+5%", 1500.0},
        {"-2.5e-3%", -2.5e-5}, {"5.0e-322%", 5e-324}, {"1.7976931348623157e310%", 1.7976931348623157e308},
    };
    for (const Text& t : texts) {
        stack::top = saved;
        Cell* w = load_or_fail(t.source);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(TYPE_OF(item(w, 0)), TYPE_PERCENT) << t.source;
        EXPECT_EQ(cell_float(item(w, 0)), t.value) << t.source;
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; i++) {
        stack::top = saved;
        u64 bits = rng();
        if (i % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull;  // subnormals and zeros
        if (i % 4 == 1) bits = (bits & 0x800FFFFFFFFFFFFFull) | (u64(1023 + i % 60 - 30) << 52);  // near 1
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isnan(d) || std::isinf(d)) continue;
        Cell p;
        make_cell(&p, TYPE_PERCENT);
        set_cell_float(&p, d);
        std::string text = test::mold(&p, true);
        Cell* w = load_or_fail(text);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(count(w), 1u) << text;
        ASSERT_EQ(TYPE_OF(item(w, 0)), TYPE_PERCENT) << text;
        double back = cell_float(item(w, 0));
        ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    }
}

// ---- Fuzzer findings and corpus -------------------------------------------------------

TEST_F(LexerTest, FuzzCorpusReplaysWithoutFault) {
    std::string here = __FILE__;
    std::string dir = here.substr(0, here.rfind("/unit/")) + "/fuzz-corpus/lexer";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    int files = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string data = ss.str();
        files++;
        for (int mode = 0; mode < 4; mode++) {
            stack::top = saved;
            try {
                run(data, mode != 0, mode != 3, mode < 2);
            } catch (Throw&) {
            }
        }
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

}  // namespace
