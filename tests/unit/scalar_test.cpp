// Scalars: unset!, none!, logic!, integer!, char!, float! and time!.
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/unset.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/memory.h"
#include "load_helper.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

using test::I;
using test::F;
Cell T(double v) { Cell c; return *time::make_at(&c, v); }
Cell C(u32 v) { Cell c; return *char_::make_at(&c, v); }
Cell L(bool v) { Cell c; return *logic::make_at(&c, v); }
Cell N() { return none::value; }
Cell U() { return unset::value; }
using test::P;
Cell Typed(u32 type) { Cell c; return *make_cell(&c, type); }

std::string text_of(Cell* str) {
    std::string out;
    u32 n = string::zs_length_q(str);
    for (u32 i = 0; i < n; i++) {
        u32 cp = string::zs_abs_at(str, series_head(str) + i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "<%X>", cp);
            out += buf;
        }
    }
    return out;
}

// percent! registers with the further datatypes; until then its float! row stands in.
u32 row_of(const Cell* v) {
    u32 t = TYPE_OF(v);
    return t == TYPE_PERCENT && !datatype::action_table[t][ACT_FORM] ? TYPE_FLOAT : t;
}

// Values are written through the action table, as the generic actions will.
std::string mold(Cell v, bool all = false, i32* left = nullptr) {
    if (row_of(&v) != TYPE_OF(&v)) return float_::form_float(cell_float(&v) * 100, float_::FORM_PERCENT, all);
    collector::Guard v_root(&v);
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 16);
    i32 part = actions::mold_dispatch(&v, &buf, false, all, false, nullptr, 1000, 0);
    if (left) *left = part;
    return text_of(&buf);
}

std::string form(Cell v) {
    collector::Guard v_root(&v);
    collector::GuardedCell buf_root;  // the buffer is a new series
    Cell& buf = buf_root.value;
    string::zs_make_at(&buf, 16);
    actions::form_dispatch(&v, &buf, nullptr, 1000);
    return text_of(&buf);
}

// Series for the case tables: kept alive for the rest of the process.
Cell str(const char* text) {
    Cell& c = test::kept();
    string::load_at(reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), &c, 0);
    return c;
}

Cell bin(std::initializer_list<u8> bytes) {
    Cell& c = test::kept();
    make_cell(&c, TYPE_BINARY, 0, alloc_bytes(static_cast<u32>(bytes.size()) + 1));
    SeriesBuffer* b = GET_BUFFER(series_node(&c));
    u8* p = b->head();
    for (u8 x : bytes) *p++ = x;
    b->tail = b->offset + static_cast<u32>(bytes.size());
    return c;
}

Cell blk(std::initializer_list<Cell> items) {
    Cell& c = test::kept();
    make_cell(&c, TYPE_BLOCK, 0, alloc_cells(static_cast<u32>(items.size()) + 1));
    for (const Cell& it : items) *alloc_at_tail(series_node(&c)) = it;
    return c;
}

using test::word_cell;

using test::error_of;

// A two-argument slot action on a fresh frame: the result, or the error as text.
using StackFn = Cell* (*)();
std::string run(StackFn fn, Cell a, Cell b) {
    stack::reset();
    stack::push(&a);
    stack::push(&b);
    std::string err = error_of([&] { fn(); });
    if (!err.empty()) return err;
    return mold(stack::arguments[0]);
}

// The action-table entry of a two-argument slot for the left operand's type.
std::string act(u32 slot, Cell a, Cell b) {
    ActionFn fn = datatype::action_table[row_of(&a)][slot];
    if (!fn) return "unsupported";
    return run(reinterpret_cast<StackFn>(fn), a, b);
}

i32 cmp(Cell a, Cell b, i32 op) {
    auto fn = reinterpret_cast<action_fn::Compare>(datatype::action_table[row_of(&a)][ACT_COMPARE]);
    return fn ? fn(&a, &b, op) : -2;
}

// The two values of a source text such as "7 2".
std::pair<Cell, Cell> two(const char* source) {
    Cell* block = test::load(source);
    SeriesBuffer* b = GET_BUFFER(series_node(block));
    EXPECT_EQ(b->length(), 2u) << source;
    Cell* items = reinterpret_cast<Cell*>(b->head());
    return {items[0], items[1]};
}

std::string act_text(u32 slot, const char* source) {
    auto [a, b] = two(source);
    return act(slot, a, b);
}

std::string run_text(StackFn fn, const char* source) {
    auto [a, b] = two(source);
    return run(fn, a, b);
}

i32 cmp_text(const char* source, i32 op) {
    auto [a, b] = two(source);
    stack::reset();
    return cmp(a, b, op);
}

std::string do_make(action_fn::Make fn, Cell spec, u32 type) {
    collector::GuardedCell out_root;
    Cell& out = out_root.value;
    std::string err = error_of([&] { fn(&out, &spec, type); });
    if (!err.empty()) return err;
    return mold(out);
}

double bits_back(const std::string& text) {
    return dtoa::text_to_float(text.data(), text.data() + text.size(), 0, nullptr);
}

struct ScalarTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        float_::pretty_print_q = true;
    }
    void TearDown() override { float_::pretty_print_q = true; }
};

}  // namespace

// ---- unset! none! logic! ----------------------------------------------------

TEST_F(ScalarTest, UnsetNoneLogicText) {
    struct Case { Cell v; const char* form; const char* mold; const char* mold_all; } cases[] = {
        {U(), "", "unset", "#(unset)"},
        {N(), "none", "none", "#(none)"},
        {L(true), "true", "true", "#(true)"},
        {L(false), "false", "false", "#(false)"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(form(c.v), c.form);
        i32 left;
        EXPECT_EQ(mold(c.v, false, &left), c.mold);
        EXPECT_EQ(left, 1000 - static_cast<i32>(std::strlen(c.mold)));
        EXPECT_EQ(mold(c.v, true), c.mold_all);
    }
}

TEST_F(ScalarTest, UnsetNoneLogicCompare) {
    struct Case { Cell a, b; i32 op, expect; } cases[] = {
        {U(), U(), COMP_EQUAL, 0}, {U(), U(), COMP_SORT, 0}, {U(), U(), COMP_LESSER, -2}, {U(), N(), COMP_EQUAL, -2},
        {N(), N(), COMP_STRICT_EQUAL, 0}, {N(), N(), COMP_FIND, 0}, {N(), N(), COMP_GREATER, -2},
        {N(), L(false), COMP_EQUAL, -2},  // reported as not equal by the caller
        {L(true), L(false), COMP_SORT, 1}, {L(false), L(true), COMP_SORT, -1}, {L(true), L(true), COMP_EQUAL, 0},
        {L(true), I(1), COMP_EQUAL, -2}, {L(true), L(false), COMP_LESSER, -2},
    };
    for (auto& c : cases)
        EXPECT_EQ(cmp(c.a, c.b, c.op), c.expect) << mold(c.a) << " " << mold(c.b) << " op " << c.op;
}

TEST_F(ScalarTest, TruthRules) {
    Cell falsy[] = {N(), L(false)};
    Cell truthy[] = {L(true), I(0), F(0.0), U(), str(""), C(0)};
    for (Cell& v : falsy) EXPECT_FALSE(logic::true_q(&v)) << mold(v);
    for (Cell& v : truthy) EXPECT_TRUE(logic::true_q(&v)) << mold(v);
    Cell u = U(), w = word_cell("x");
    EXPECT_EQ(error_of([&] { logic::true_q(&u, true, &w); }), "script/no-value");

    stack::reset();
    stack::push(&u);
    EXPECT_EQ(error_of([] { logic::true_arg_q(); }), "script/no-return");
    EXPECT_FALSE(logic::false_arg_q());  // unset: no error, not false
    EXPECT_TRUE(logic::true_top_q());
    for (Cell v : {N(), L(false), L(true), I(0)}) {
        stack::reset();
        stack::push(&v);
        bool is_false = TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && !v.data1);
        EXPECT_EQ(logic::true_arg_q(), !is_false);
        EXPECT_EQ(logic::false_arg_q(), is_false);
        EXPECT_EQ(logic::false_top_q(), is_false);
    }
}

TEST_F(ScalarTest, LogicMakeAndTo) {
    struct Case { action_fn::Make fn; Cell spec; const char* expect; } cases[] = {
        {logic::make, I(0), "false"}, {logic::make, I(-3), "true"}, {logic::make, F(0.0), "false"},
        {logic::make, F(NaN), "true"}, {logic::make, P(0.0), "false"}, {logic::make, N(), "false"},
        {logic::make, str(""), "true"},
        {logic::to, I(0), "true"}, {logic::to, F(0.0), "true"}, {logic::to, N(), "false"},
        {logic::to, str(""), "true"}, {logic::to, L(false), "false"}, {logic::to, U(), "true"},
    };
    for (auto& c : cases) EXPECT_EQ(do_make(c.fn, c.spec, TYPE_LOGIC), c.expect) << mold(c.spec);
    Cell out, none = N();
    EXPECT_EQ(std::memcmp(logic::to(&out, &none, TYPE_LOGIC), &logic::false_value, sizeof(Cell)), 0);
}

TEST_F(ScalarTest, LogicBitwise) {
    struct Case { u32 slot; bool a, b, expect; } cases[] = {
        {ACT_AND_T, true, true, true}, {ACT_AND_T, true, false, false}, {ACT_OR_T, false, true, true},
        {ACT_OR_T, false, false, false}, {ACT_XOR_T, true, true, false}, {ACT_XOR_T, true, false, true},
    };
    for (auto& c : cases) EXPECT_EQ(act(c.slot, L(c.a), L(c.b)), c.expect ? "true" : "false");
    EXPECT_EQ(act(ACT_AND_T, L(true), I(1)), "script/expect-arg");
    Cell t = L(true);
    EXPECT_EQ(mold(*logic::complement(&t)), "false");
    EXPECT_EQ(mold(*logic::complement(&t)), "true");
}

TEST_F(ScalarTest, NoneSeriesActions) {
    Cell n = N();
    EXPECT_EQ(none::length_q(&n), -1);
    Cell fill = I(5);
    auto check = [&](const std::function<void()>& fn) {
        stack::reset();
        stack::push(&fill);
        fn();
        EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_NONE);
    };
    check([&] { none::find(&n, &fill, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false); });
    check([&] { none::select(&n, &fill, nullptr, false, false, false, false, nullptr, nullptr, false, false); });
    check([&] { none::take(&n, nullptr, false, false); });
    check([&] { none::clear(&n); });
    check([&] { none::remove(&n, nullptr, nullptr); });
    Cell u = U();
    EXPECT_EQ(do_make(unset::make, I(1), TYPE_UNSET), "unset");
    EXPECT_EQ(do_make(none::make, u, TYPE_NONE), "none");
}

// ---- integer! -------------------------------------------------------------------

TEST_F(ScalarTest, IntegerArithmetic) {
    struct Case { u32 slot; const char* operands; const char* expect; } cases[] = {
        {ACT_ADD, "1 2", "3"},
        {ACT_ADD, "2147483647 1", "2147483648.0"},
        {ACT_SUBTRACT, "-2147483648 1", "-2147483649.0"},
        {ACT_MULTIPLY, "65536 65536", "4294967296.0"},
        {ACT_MULTIPLY, "-2147483648 -1", "2147483648.0"},
        {ACT_MULTIPLY, "-46341 46341", "-2147488281.0"},
        {ACT_DIVIDE, "7 2", "3.5"},
        {ACT_DIVIDE, "6 3", "2"},
        {ACT_DIVIDE, "-6 4", "-1.5"},
        {ACT_DIVIDE, "7 0", "math/zero-divide"},
        {ACT_DIVIDE, "-2147483648 -1", "math/overflow"},
        {ACT_REMAINDER, "7 0", "math/zero-divide"},
        {ACT_REMAINDER, "-2147483648 -1", "math/overflow"},
        {ACT_REMAINDER, "-7 2", "-1"},
        {ACT_REMAINDER, "7 -2", "1"},
        {ACT_AND_T, "12 10", "8"},
        {ACT_OR_T, "12 10", "14"},
        {ACT_XOR_T, "12 10", "6"},
        {ACT_ADD, "1 #\"a\"", "98"},
        {ACT_ADD, "1 1.5", "2.5"},
        {ACT_DIVIDE, "1 0.0", "1.#INF"},
        {ACT_ADD, "1 0:00:01", "0:00:02"},
        {ACT_ADD, "1 \"1\"", "script/invalid-type"},
        {ACT_ADD, "1 none", "script/invalid-type"},  // the word none: not a number
    };
    for (auto& c : cases) EXPECT_EQ(act_text(c.slot, c.operands), c.expect) << c.operands << " slot " << c.slot;

    // Operands that the loader does not make yet.
    struct Built { u32 slot; Cell a, b; const char* expect; } built[] = {
        {ACT_MULTIPLY, I(2), P(0.5), "1.0"},
        {ACT_DIVIDE, I(1), Typed(TYPE_PAIR), "script/not-related"},
        {ACT_SUBTRACT, I(1), Typed(TYPE_TUPLE), "script/not-related"},
        {ACT_DIVIDE, I(1), Typed(TYPE_TUPLE), "script/not-related"},
        {ACT_MULTIPLY, I(1), Typed(TYPE_DATE), "script/not-related"},
        {ACT_ADD, I(1), Typed(TYPE_PAIR), "1x1"},
    };
    for (auto& c : built) EXPECT_EQ(act(c.slot, c.a, c.b), c.expect) << mold(c.a) << " slot " << c.slot << " " << mold(c.b);

    // Exact division stays integer!, inexact becomes float!.
    stack::reset();
    Cell a = I(6), b = I(3);
    stack::push(&a);
    stack::push(&b);
    integer::divide();
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_INTEGER);
    // Without a result cell the core truncates.
    EXPECT_EQ(integer::do_math_op(7, 2, integer::OP_DIV, nullptr), 3);
}

TEST_F(ScalarTest, IntegerUnaryActions) {
    const i32 MIN = std::numeric_limits<i32>::min();
    Cell v = I(5);
    EXPECT_EQ(mold(*integer::negate(&v)), "-5");
    v = I(MIN);
    EXPECT_EQ(error_of([&] { integer::negate(&v); }), "math/overflow");
    EXPECT_EQ(run(integer::absolute, I(-7), U()), "7");
    EXPECT_EQ(run(integer::absolute, I(MIN), U()), "math/overflow");
    v = I(0);
    EXPECT_EQ(mold(*integer::complement(&v)), "-1");
    for (i32 n : {-3, -2, 0, 1, 2, MIN}) {
        Cell c = I(n);
        EXPECT_EQ(integer::even_q(&c), n % 2 == 0) << n;
        EXPECT_EQ(integer::odd_q(&c), n % 2 != 0) << n;
    }
    // Absolute on a char! keeps it a char!.
    EXPECT_EQ(act(ACT_ABSOLUTE, C('a'), U()), "#\"a\"");
}

TEST_F(ScalarTest, IntegerPower) {
    struct Case { const char* operands; const char* expect; } cases[] = {
        {"2 31", "2147483648.0"}, {"2 30", "1073741824"}, {"-2 31", "-2147483648"}, {"2 -1", "0.5"},
        {"3 2", "9"},             {"10 10", "10000000000.0"}, {"0 0", "1"},        {"5 0", "1"},
        {"-1 2147483647", "-1"},  {"4 0.5", "2.0"},       {"0 -1", "1.#INF"},       {"46341 2", "2147488281.0"},
        {"2 \"1\"", "script/expect-arg"}, {"2 #\"a\"", "script/expect-arg"},
    };
    for (auto& c : cases) EXPECT_EQ(run_text(integer::power, c.operands), c.expect) << c.operands;
}

TEST_F(ScalarTest, IntegerRound) {
    const i32 MIN = std::numeric_limits<i32>::min(), MAX = std::numeric_limits<i32>::max();
    enum Flag { NONE, EVEN, DOWN, HALF_DOWN, FLOOR, CEIL, HALF_CEIL };
    struct Case { i32 value; Cell scale; Flag flag; const char* expect; } cases[] = {
        {15, I(10), NONE, "20"},      {14, I(10), NONE, "10"},       {-15, I(10), NONE, "-20"},
        {25, I(10), EVEN, "20"},      {35, I(10), EVEN, "40"},       {-25, I(10), EVEN, "-20"},
        {-15, I(10), FLOOR, "-20"},   {15, I(10), FLOOR, "10"},      {-15, I(10), DOWN, "-10"},
        {19, I(10), DOWN, "10"},      {11, I(10), CEIL, "20"},       {-19, I(10), CEIL, "-10"},
        {15, I(10), HALF_DOWN, "10"}, {-15, I(10), HALF_DOWN, "-10"}, {16, I(10), HALF_DOWN, "20"},
        {15, I(10), HALF_CEIL, "20"}, {-15, I(10), HALF_CEIL, "-10"}, {-16, I(10), HALF_CEIL, "-20"},
        {7, I(-5), NONE, "5"},        {8, I(-5), NONE, "10"},        {20, I(10), CEIL, "20"},
        {5, I(0), NONE, "5"},         {3, I(10), NONE, "0"},         {MIN, I(1), NONE, "-2147483648"},
        // -2147483648 is not a multiple of 10: it rounds like any other value.
        {MIN, I(10), NONE, "math/overflow"}, {MIN, I(10), DOWN, "-2147483640"}, {MIN, I(2), NONE, "-2147483648"},
        {MAX, I(10), NONE, "math/overflow"}, {MAX, I(10), DOWN, "2147483640"}, {5, I(MIN), NONE, "math/overflow"},
        {-2147483641, I(10), FLOOR, "math/overflow"},
        {7, F(2.5), NONE, "7.5"},     {7, Typed(TYPE_MONEY), NONE, "script/not-related"},
    };
    for (auto& c : cases) {
        Cell v = I(c.value);
        Cell* scale = &c.scale;
        std::string got = error_of([&] {
            integer::round(&v, scale, c.flag == EVEN, c.flag == DOWN, c.flag == HALF_DOWN, c.flag == FLOOR,
                           c.flag == CEIL, c.flag == HALF_CEIL);
        });
        if (got.empty()) got = mold(v);
        EXPECT_EQ(got, c.expect) << c.value << " to " << mold(c.scale) << " flag " << c.flag;
    }
    Cell v = I(7);
    integer::round(&v, nullptr, false, false, false, false, false, false);
    EXPECT_EQ(mold(v), "7");
}

TEST_F(ScalarTest, IntegerCompare) {
    struct Case { const char* operands; i32 op, expect; } cases[] = {
        {"1 1.0", COMP_EQUAL, 0},         {"1 1.0", COMP_STRICT_EQUAL, 1}, {"1 1", COMP_STRICT_EQUAL, 0},
        {"1 2", COMP_LESSER, -1},         {"-1 -2", COMP_SORT, 1},         {"97 #\"a\"", COMP_EQUAL, 0},
        {"97 #\"a\"", COMP_STRICT_EQUAL, 1}, {"97 #\"a\"", COMP_FIND, 1},  {"1 \"1\"", COMP_EQUAL, -2},
        {"2 1.5", COMP_GREATER, 1},       {"3600 1:00:00", COMP_EQUAL, 0}, {"#\"a\" 97", COMP_EQUAL, 0},
        {"#\"a\" 97", COMP_STRICT_EQUAL, 1}, {"#\"a\" #\"b\"", COMP_LESSER, -1}, {"#\"a\" 97.0", COMP_EQUAL, -2},
    };
    for (auto& c : cases) EXPECT_EQ(cmp_text(c.operands, c.op), c.expect) << c.operands << " op " << c.op;
    EXPECT_EQ(cmp(I(1), P(0.01), COMP_EQUAL), 1);
}

TEST_F(ScalarTest, IntegerText) {
    struct Case { i32 v; const char* text; } cases[] = {
        {0, "0"}, {-5, "-5"}, {2147483647, "2147483647"}, {std::numeric_limits<i32>::min(), "-2147483648"}, {100, "100"},
    };
    for (auto& c : cases) {
        i32 left;
        EXPECT_EQ(mold(I(c.v), false, &left), c.text);
        EXPECT_EQ(left, 1000 - static_cast<i32>(std::strlen(c.text)));
        EXPECT_EQ(form(I(c.v)), c.text);
    }
}

TEST_F(ScalarTest, ToInteger) {
    Cell issue_ff = word_cell("FF", TYPE_ISSUE), issue_neg = word_cell("ffffffff", TYPE_ISSUE);
    Cell issue_long = word_cell("123456789", TYPE_ISSUE), issue_bad = word_cell("xyz", TYPE_ISSUE);
    struct Case { action_fn::Make fn; Cell spec; const char* expect; } cases[] = {
        {integer::to, F(2147483648.0), "script/type-limit"}, {integer::to, F(2147483647.0), "2147483647"},
        {integer::to, F(-2147483648.0), "-2147483648"},      {integer::to, F(-2147483649.0), "script/type-limit"},
        {integer::to, F(1.9), "1"},                           {integer::to, F(-1.9), "-1"},
        {integer::to, F(NaN), "script/type-limit"},           {integer::to, F(-INF), "script/type-limit"},
        {integer::to, P(0.5), "0"},                           {integer::to, T(1.5), "2"},
        {integer::to, T(-1.7), "-1"},                         {integer::to, C(0x10FFFF), "1114111"},
        {integer::to, bin({1, 2, 3, 4}), "16909060"},         {integer::to, bin({1, 2, 3, 4, 5}), "16909060"},
        {integer::to, bin({0xFF}), "255"},                    {integer::to, bin({}), "0"},
        {integer::to, bin({0xFF, 0xFF, 0xFF, 0xFE}), "-2"},
        {integer::to, issue_ff, "255"},                       {integer::to, issue_neg, "-1"},
        {integer::to, issue_long, "script/invalid-data"},     {integer::to, issue_bad, "script/invalid-data"},
        {integer::to, str("123"), "123"},                     {integer::to, str("-12'345"), "-12345"},
        {integer::to, str("+7"), "7"},                        {integer::to, str("abc"), "script/bad-to-arg"},
        {integer::to, str("2147483648"), "script/bad-to-arg"}, {integer::to, str("-2147483648"), "-2147483648"},
        {integer::to, str(""), "script/bad-to-arg"},          {integer::to, str("1.5"), "script/bad-to-arg"},
        {integer::to, L(true), "script/bad-to-arg"},          {integer::to, N(), "script/bad-to-arg"},
        {integer::make, L(true), "1"},                        {integer::make, L(false), "0"},
        {integer::make, F(3.7), "3"},
    };
    for (auto& c : cases) EXPECT_EQ(do_make(c.fn, c.spec, TYPE_INTEGER), c.expect) << mold(c.spec);
}

// ---- char! --------------------------------------------------------------------

TEST_F(ScalarTest, CharMakeAndArithmetic) {
    struct MakeCase { Cell spec; const char* expect; } makes[] = {
        {I(1114112), "script/out-of-range"}, {I(-1), "script/out-of-range"}, {I(65), "#\"A\""},
        {F(65.9), "#\"A\""},                 {F(-0.5), "#\"^@\""},           {F(NaN), "script/out-of-range"},
        {F(1e20), "script/out-of-range"},    {str("abc"), "#\"a\""},         {str(""), "script/bad-to-arg"},
        {bin({0xC3, 0xA9, 'x'}), "#\"<E9>\""}, {bin({0xFF}), "script/bad-to-arg"}, {bin({}), "script/bad-to-arg"},
        {N(), "script/bad-to-arg"},          {C('z'), "#\"z\""},
    };
    for (auto& c : makes) EXPECT_EQ(do_make(char_::make, c.spec, TYPE_CHAR), c.expect) << mold(c.spec);

    struct Case { u32 slot; Cell a, b; const char* expect; } cases[] = {
        {ACT_ADD, C('a'), I(1), "#\"b\""},         {ACT_ADD, C('a'), C(1), "#\"b\""},
        {ACT_SUBTRACT, C('a'), I(98), "math/overflow"}, {ACT_ADD, C(0x10FFFF), I(1), "math/overflow"},
        {ACT_DIVIDE, C('a'), I(2), "#\"0\""},      {ACT_MULTIPLY, C('a'), I(100000), "math/overflow"},
        {ACT_ADD, C('a'), I(2147483647), "math/overflow"}, {ACT_ADD, C('a'), F(1.7), "#\"b\""},
        {ACT_REMAINDER, C('a'), I(0), "math/zero-divide"}, {ACT_AND_T, C('a'), I(0xDF), "#\"A\""},
        {ACT_ADD, C('a'), str("x"), "script/invalid-type"}, {ACT_ADD, C('a'), F(1e20), "math/overflow"},
    };
    for (auto& c : cases) EXPECT_EQ(act(c.slot, c.a, c.b), c.expect) << mold(c.a) << " slot " << c.slot << " " << mold(c.b);
}

TEST_F(ScalarTest, CharText) {
    struct Case { u32 cp; const char* mold; const char* mold_all; } cases[] = {
        {'a', "#\"a\"", "#\"a\""},         {'\t', "#\"^-\"", "#\"^-\""},     {'\n', "#\"^/\"", "#\"^/\""},
        {0, "#\"^@\"", "#\"^@\""},         {27, "#\"^[\"", "#\"^[\""},       {30, "#\"^(1E)\"", "#\"^(1E)\""},
        {31, "#\"^_\"", "#\"^_\""},        {'"', "#\"^\"\"", "#\"^\"\""},    {'^', "#\"^^\"", "#\"^^\""},
        {127, "#\"^~\"", "#\"^~\""},       {0x85, "#\"^(85)\"", "#\"^(85)\""}, {0xE9, "#\"<E9>\"", "#\"^(E9)\""},
        {0x1F600, "#\"<1F600>\"", "#\"^(1F600)\""}, {' ', "#\" \"", "#\" \""}, {'{', "#\"{\"", "#\"{\""},
    };
    for (auto& c : cases) {
        i32 left;
        EXPECT_EQ(mold(C(c.cp), false, &left), c.mold) << c.cp;
        // The limit falls by what was written, escapes included.
        std::string m = c.mold;
        i32 written = 0;
        for (size_t i = 0; i < m.size(); i++) written += m[i] == '<' ? (i = m.find('>', i), 1) : 1;
        EXPECT_EQ(left, 1000 - written) << c.cp;
        EXPECT_EQ(mold(C(c.cp), true), c.mold_all) << c.cp;
    }
    EXPECT_EQ(form(C('a')), "a");
    EXPECT_EQ(form(C('\n')), "\n");
    EXPECT_EQ(form(C(0xE9)), "<E9>");
}

// ---- float! -----------------------------------------------------------------------

TEST_F(ScalarTest, FloatPrettyText) {
    // Source text, then its mold and form with pretty printing on.
    struct Case { const char* source; const char* text; } cases[] = {
        {"56.99999999999999", "57.0"}, {"0.09999999999999998", "0.09999999999999998"}, {"1e20", "1.0e20"},
        {"1e-5", "1.0e-5"},            {"100.0", "100.0"},                  {"0.1", "0.1"},
        {"0.30000000000000004", "0.3"}, {"1e-17", "0.0"},                   {"-1e-17", "0.0"},
        {"-0.0", "0.0"},               {"1.#INF", "1.#INF"},                {"-1.#INF", "-1.#INF"},
        {"1.#NaN", "1.#NaN"},          {"1.5e300", "1.5e300"},              {"-2.5e-300", "0.0"},
        {"1e16", "1.0e16"},            {"123456789012.0", "123456789012.0"}, {"-3.0", "-3.0"},
        {"1.0000000000000011", "1.0"}, {"-56.99999999999999", "-57.0"},     {"2.5e-10", "2.5e-10"},
        {"1.2345678901234567e-7", "1.234567890123457e-7"},
    };
    for (auto& c : cases) {
        Cell v = *test::load_one(c.source);
        ASSERT_EQ(TYPE_OF(&v), TYPE_FLOAT) << c.source;
        EXPECT_EQ(mold(v), c.text) << c.source;
        EXPECT_EQ(form(v), c.text) << c.source;
    }
    EXPECT_EQ(mold(F(0.57 * 100)), "57.0");
    EXPECT_EQ(mold(F(1 - 0.9)), "0.09999999999999998");
    i32 left;
    mold(F(0.5), false, &left);
    EXPECT_EQ(left, 1000 - 3);
}

TEST_F(ScalarTest, FloatExactText) {
    // mold/all always, and form/mold with pretty printing off: shortest text that reads back.
    struct Case { const char* source; const char* text; } cases[] = {
        {"56.99999999999999", "56.99999999999999"}, {"0.30000000000000004", "0.30000000000000004"},
        {"-0.0", "-0.0"},       {"1e-17", "1.0e-17"},  {"1e20", "1.0e20"},     {"1e16", "10000000000000000.0"},
        {"1e17", "1.0e17"},     {"1e-7", "0.0000001"}, {"5e-324", "5.0e-324"}, {"2.0", "2.0"},
        {"1.7976931348623157e308", "1.7976931348623157e308"}, {"1.#INF", "1.#INF"}, {"1.#NaN", "1.#NaN"},
    };
    for (auto& c : cases) EXPECT_EQ(mold(*test::load_one(c.source), true), c.text) << c.source;
    float_::pretty_print_q = false;
    for (auto& c : cases) {
        Cell v = *test::load_one(c.source);
        EXPECT_EQ(mold(v), c.text) << c.source;
        EXPECT_EQ(form(v), c.text) << c.source;
    }
    EXPECT_EQ(mold(F(0.57 * 100)), "56.99999999999999");
}

TEST_F(ScalarTest, MoldAllReadsBackBitIdentical) {
    std::mt19937_64 rng(20240601);
    std::vector<double> values = {0.1, 1.0 / 3, 2.0 / 3, 1e23, 9007199254740993.0, 5e-324, 2.2250738585072014e-308,
                                  1.7976931348623157e308, -123.456, 0.57 * 100};
    for (int i = 0; i < 2000; i++) {
        u64 bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) values.push_back(d);
    }
    for (double d : values) {
        std::string text = mold(F(d), true);
        double back = bits_back(text);
        EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    }
}

TEST_F(ScalarTest, FormFloatModes) {
    struct Case { double v; i32 mode; const char* text; } cases[] = {
        {50.0, float_::FORM_PERCENT, "50%"},     {0.0, float_::FORM_PERCENT, "0%"},
        {12.5, float_::FORM_PERCENT, "12.5%"},   {1e-20, float_::FORM_PERCENT32, "0%"},
        {3.0, float_::FORM_POINT, "3"},          {1e-20, float_::FORM_POINT, "0"},
        {2.5, float_::FORM_POINT, "2.5"},        {0.1f, float_::FORM_FLOAT32, "0.1"},
        {3.0, float_::FORM_FLOAT32, "3.0"},      {1.5, float_::FORM_TIME, "1.5"},
        {3.0, float_::FORM_TIME, "3"},           {59.1234567, float_::FORM_TIME, "59.1235"},
        {1e20, float_::FORM_POINT, "1e20"},      {1e-5, float_::FORM_FLOAT32, "1.0e-5"},
    };
    for (auto& c : cases) EXPECT_EQ(std::string(float_::form_float(c.v, c.mode)), c.text) << c.v << " mode " << c.mode;
}

TEST_F(ScalarTest, FloatArithmetic) {
    struct Case { u32 slot; const char* operands; const char* expect; } cases[] = {
        {ACT_ADD, "0.1 0.2", "0.3"},              {ACT_DIVIDE, "1.0 0", "1.#INF"},
        {ACT_DIVIDE, "-1.0 0.0", "-1.#INF"},      {ACT_DIVIDE, "0.0 0.0", "1.#NaN"},
        {ACT_REMAINDER, "5.0 1.#INF", "1.#NaN"},  {ACT_REMAINDER, "5.5 2", "1.5"},
        {ACT_REMAINDER, "-5.5 2", "-1.5"},        {ACT_REMAINDER, "5.0 0.0", "1.#NaN"},
        {ACT_ADD, "1.0 #\"a\"", "98.0"},          {ACT_ADD, "1.0 \"1\"", "script/invalid-type"},
        {ACT_ADD, "1.0 0:01:00", "0:01:01"},      {ACT_ADD, "0:01:00 1.5", "0:01:01.5"},
        {ACT_MULTIPLY, "1:00:00 2", "2:00:00"},   {ACT_SUBTRACT, "0:01:00 0:01:30", "-0:00:30"},
        {ACT_ADD, "0:01:00 #\"a\"", "script/invalid-type"}, {ACT_REMAINDER, "0:01:30 60", "0:00:30"},
        {ACT_DIVIDE, "1:00:00 4", "0:15:00"},
    };
    for (auto& c : cases) EXPECT_EQ(act_text(c.slot, c.operands), c.expect) << c.operands << " slot " << c.slot;

    // Operands that the loader does not make yet.
    struct Built { u32 slot; Cell a, b; const char* expect; } built[] = {
        {ACT_MULTIPLY, F(2.0), P(0.5), "1.0"},       {ACT_MULTIPLY, P(0.5), I(2), "100%"},
        {ACT_MULTIPLY, P(0.5), P(0.5), "25%"},       {ACT_ADD, P(0.5), C('a'), "script/invalid-type"},
        {ACT_ADD, P(0.5), T(60), "0:01:00.5"},
        {ACT_SUBTRACT, F(1.0), Typed(TYPE_PAIR), "script/not-related"},
        {ACT_DIVIDE, F(1.0), Typed(TYPE_POINT2D), "script/not-related"},
        {ACT_ADD, F(1.0), Typed(TYPE_PAIR), "1x1"},
        {ACT_ADD, T(60), Typed(TYPE_PAIR), "script/invalid-type"},
        {ACT_SUBTRACT, T(60), Typed(TYPE_DATE), "script/not-related"},
        {ACT_MULTIPLY, T(60), Typed(TYPE_DATE), "script/not-related"},
        {ACT_ADD, T(60), *test::load_one("1-Jan-2000"), "1-Jan-2000/0:01:00"},
    };
    for (auto& c : built) EXPECT_EQ(act(c.slot, c.a, c.b), c.expect) << mold(c.a) << " slot " << c.slot << " " << mold(c.b);
    EXPECT_EQ(error_of([] { float_::do_math_op(1, 2, integer::OP_AND); }), "script/cannot-use");
}

TEST_F(ScalarTest, FloatUnaryActions) {
    Cell v = F(0.0);
    EXPECT_EQ(mold(*float_::negate(&v), true), "0.0");  // 0.0 - value
    v = F(2.5);
    EXPECT_EQ(mold(*float_::negate(&v)), "-2.5");
    EXPECT_EQ(run(float_::absolute, F(-0.0), U()), "0.0");
    EXPECT_EQ(run(float_::absolute, F(-2.5), U()), "2.5");
    EXPECT_EQ(run(float_::power, F(2.0), F(0.5)), "1.414213562373095");
    EXPECT_EQ(run(float_::power, F(2.0), I(-2)), "0.25");
    EXPECT_EQ(run(float_::power, F(2.0), T(1)), "script/expect-arg");
    struct Odd { double v; bool odd; } odds[] = {{3.0, true}, {4.7, false}, {-3.2, true}, {3000000001.0, true},
                                                 {0.5, false}, {-0.0, false}};
    for (auto& o : odds) {
        Cell c = F(o.v);
        EXPECT_EQ(float_::odd_q(&c), o.odd) << o.v;
        EXPECT_EQ(float_::even_q(&c), !o.odd) << o.v;
    }
}

TEST_F(ScalarTest, FloatCompare) {
    struct Case { const char* operands; i32 op, expect; } cases[] = {
        {"0.30000000000000004 0.3", COMP_EQUAL, 0},  {"0.30000000000000004 0.3", COMP_STRICT_EQUAL, 1},
        {"1.0 1.0000000000000022", COMP_EQUAL, 0},   {"1.0 1.000000000001", COMP_EQUAL, -1},
        {"1.0 1", COMP_EQUAL, 0},                    {"1.0 1", COMP_STRICT_EQUAL, 1},
        {"1.0 1", COMP_FIND, 1},                     {"1.0 1.0", COMP_FIND, 0},
        {"0.0 -0.0", COMP_STRICT_EQUAL, 0},          {"0.0 -0.0", COMP_SAME, 1},
        {"1e-300 -1e-300", COMP_EQUAL, 0},           {"1.#NaN 1.#NaN", COMP_EQUAL, 1},
        {"1.#NaN 1.#NaN", COMP_STRICT_EQUAL, 1},     {"1.#INF 1.#INF", COMP_EQUAL, 0},
        {"1.#INF 1e308", COMP_EQUAL, 1},             {"1.0 1.#INF", COMP_LESSER, -1},
        {"-1.#INF 1.0", COMP_LESSER, -1},            {"1.#INF 1.0", COMP_GREATER, 1},
        {"1.#NaN 1.0", COMP_LESSER, 1},              {"1.#NaN 1.0", COMP_LESSER_EQUAL, 1},
        {"1.#NaN 1.0", COMP_GREATER, -1},            {"1.0 1.#NaN", COMP_GREATER_EQUAL, -1},
        {"1.#NaN 1.0", COMP_SORT, 1},                {"1.0 1.#NaN", COMP_SORT, -1},
        {"1.#NaN 1.#NaN", COMP_SORT, 0},             {"2.0 1.0", COMP_SORT, 1},
        {"1.0 \"1\"", COMP_EQUAL, -2},               {"97.0 #\"a\"", COMP_EQUAL, -2},
        {"0:01:00 0:01:00", COMP_EQUAL, 0},          {"0:01:00 60", COMP_EQUAL, 0},
        {"0:01:00 60.0", COMP_STRICT_EQUAL, 1},      {"0:00:30 0:01:00", COMP_LESSER, -1},
    };
    for (auto& c : cases) EXPECT_EQ(cmp_text(c.operands, c.op), c.expect) << c.operands << " op " << c.op;
    EXPECT_EQ(cmp(P(0.5), F(0.5), COMP_EQUAL), 0);
    EXPECT_TRUE(float_::almost_equal32(0.1f + 0.2f, 0.3f));
    EXPECT_FALSE(float_::almost_equal32(1.0f, 1.001f));
}

TEST_F(ScalarTest, FloatRound) {
    enum Flag { NONE, EVEN, DOWN, HALF_DOWN, FLOOR, CEIL, HALF_CEIL };
    Cell none_scale = U();
    struct Case { Cell value; Cell scale; Flag flag; const char* expect; } cases[] = {
        {F(2.5), none_scale, NONE, "3.0"},          {F(2.5), none_scale, EVEN, "2.0"},
        {F(3.5), none_scale, EVEN, "4.0"},          {F(2.5), none_scale, HALF_DOWN, "2.0"},
        {F(-2.5), none_scale, HALF_CEIL, "-2.0"},   {F(2.5), none_scale, HALF_CEIL, "3.0"},
        {F(-2.5), none_scale, NONE, "-3.0"},        {F(2.4), none_scale, NONE, "2.0"},
        {F(2.6), none_scale, HALF_DOWN, "3.0"},     {F(-2.6), none_scale, DOWN, "-2.0"},
        {F(-2.1), none_scale, FLOOR, "-3.0"},       {F(2.1), none_scale, CEIL, "3.0"},
        {F(1.23456), F(0.01), NONE, "1.23"},        {F(1.15), F(0.1), NONE, "1.2"},
        {F(1234.5), I(100), NONE, "1200"},          {F(1234.5), F(100.0), NONE, "1200.0"},
        {F(1234.5), I(-100), NONE, "1200"},         {F(3.5), I(1), NONE, "4"},
        {F(1e300), I(1), NONE, "1.0e300"},          {F(1e10), I(1), NONE, "math/overflow"},
        {F(1.7e308), F(1e308), NONE, "math/overflow"}, {F(5.0), F(0.0), NONE, "5.0"},
        {F(NaN), none_scale, NONE, "1.#NaN"},       {F(INF), none_scale, NONE, "1.#INF"},
        {F(1.5), Typed(TYPE_MONEY), NONE, "script/not-related"},
        {F(1.5), str("x"), NONE, "script/invalid-arg"},
        {T(3723.5), none_scale, NONE, "1:02:04"},   {T(3723), T(900), NONE, "1:00:00"},
        {T(4050), T(900), NONE, "1:15:00"},         {T(3723.4), I(1), NONE, "1:02:03"},
        {T(3723.5), I(1), DOWN, "1:02:03"},          {T(60), Typed(TYPE_MONEY), NONE, "script/not-related"},
        {P(0.12345), none_scale, NONE, "12%"},      {P(0.12345), F(0.1), NONE, "12.3%"},
        {P(0.12345), P(0.001), NONE, "12.3%"},
    };
    for (auto& c : cases) {
        Cell v = c.value;
        Cell* scale = TYPE_OF(&c.scale) == TYPE_UNSET ? nullptr : &c.scale;
        auto fn = reinterpret_cast<action_fn::Round>(datatype::action_table[row_of(&v)][ACT_ROUND]);
        std::string got = error_of([&] {
            fn(&v, scale, c.flag == EVEN, c.flag == DOWN, c.flag == HALF_DOWN, c.flag == FLOOR, c.flag == CEIL,
               c.flag == HALF_CEIL);
        });
        if (got.empty()) got = mold(v);
        EXPECT_EQ(got, c.expect) << mold(c.value) << " to " << mold(c.scale) << " flag " << c.flag;
    }
    // Rounding to hundredths gives the double nearest 1.23, not a product with an error.
    Cell v = F(1.23456), s = F(0.01);
    float_::round(&v, &s, false, false, false, false, false, false);
    EXPECT_EQ(cell_float(&v), 1.23);
    // A scale too small for its reciprocal.
    v = F(1.5e-310);
    s = F(1e-310);
    float_::round(&v, &s, false, false, false, false, false, false);
    EXPECT_DOUBLE_EQ(cell_float(&v) / 1e-310, 2.0);
}

TEST_F(ScalarTest, ToFloat) {
    struct Case { Cell spec; u32 type; const char* expect; } cases[] = {
        {I(3), TYPE_FLOAT, "3.0"},                  {C('a'), TYPE_FLOAT, "97.0"},
        {T(90), TYPE_FLOAT, "90.0"},                {P(0.5), TYPE_FLOAT, "0.5"},
        {F(0.25), TYPE_PERCENT, "25%"},             {I(2), TYPE_PERCENT, "200%"},
        {bin({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), TYPE_FLOAT, "1.0"},
        {bin({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xFF}), TYPE_FLOAT, "1.0"},
        {blk({I(15), I(-1)}), TYPE_FLOAT, "1.5"},   {blk({I(3), I(-1)}), TYPE_FLOAT, "0.3"},
        {blk({F(2.5), I(2)}), TYPE_FLOAT, "250.0"}, {blk({I(1), I(2), I(3)}), TYPE_FLOAT, "script/bad-to-arg"},
        {blk({I(1), str("2")}), TYPE_FLOAT, "script/bad-to-arg"}, {blk({}), TYPE_FLOAT, "script/bad-to-arg"},
        {str("1.5e3"), TYPE_FLOAT, "1500.0"},       {str("-0.25"), TYPE_FLOAT, "-0.25"},
        {str(""), TYPE_FLOAT, "script/bad-to-arg"}, {str("abc"), TYPE_FLOAT, "script/bad-to-arg"},
        {N(), TYPE_FLOAT, "script/bad-to-arg"},     {L(true), TYPE_FLOAT, "script/bad-to-arg"},
    };
    for (auto& c : cases) EXPECT_EQ(do_make(float_::make, c.spec, c.type), c.expect) << mold(c.spec);
    Cell out, b = blk({I(3), I(-1)});
    float_::make(&out, &b, TYPE_FLOAT);
    EXPECT_EQ(cell_float(&out), 0.3);
}

// ---- time! ---------------------------------------------------------------------

TEST_F(ScalarTest, TimeText) {
    struct Case { double s; const char* text; } cases[] = {
        {3723.5, "1:02:03.5"}, {60, "0:01:00"},     {-90, "-0:01:30"},     {90000, "25:00:00"},
        {0.0000001, "0:00:00"}, {0, "0:00:00"},     {0.5, "0:00:00.5"},    {3.25, "0:00:03.25"},
        {3599.999, "0:59:59.999"}, {600, "0:10:00"}, {-3723, "-1:02:03"},  {36000.123456789, "10:00:00.123457"},
        {INF, "1.#INF"},
    };
    for (auto& c : cases) {
        i32 left;
        EXPECT_EQ(mold(T(c.s), false, &left), c.text) << c.s;
        EXPECT_EQ(left, 1000 - static_cast<i32>(std::strlen(c.text))) << c.s;
        EXPECT_EQ(form(T(c.s)), c.text) << c.s;
    }
    EXPECT_EQ(time::get_hours(-5400), -1);
    EXPECT_EQ(time::get_minutes(-5400), 30);
}

TEST_F(ScalarTest, TimeMake) {
    struct Case { Cell spec; const char* expect; } cases[] = {
        {blk({I(1), I(2), I(3)}), "1:02:03"},   {blk({I(-1), I(30)}), "-1:30:00"},
        {blk({I(1), I(-30)}), "script/bad-to-arg"}, {blk({I(1), I(2), F(3.5)}), "1:02:03.5"},
        {blk({I(1), F(2.5)}), "script/bad-to-arg"}, {blk({I(1), I(2), I(3), I(4)}), "script/bad-to-arg"},
        {blk({I(1), I(2), F(-3.0)}), "script/bad-to-arg"}, {blk({}), "0:00:00"}, {blk({I(2)}), "2:00:00"},
        {blk({F(1.0)}), "script/bad-to-arg"},   {I(90), "0:01:30"}, {F(1.5), "0:00:01.5"}, {T(60), "0:01:00"},
        {N(), "script/bad-to-arg"},             {L(true), "script/bad-to-arg"},
        {str("1:02:03"), "1:02:03"},            {str("-0:00:30.5"), "-0:00:30.5"}, {str("12"), "script/bad-to-arg"},
        {str(""), "script/bad-to-arg"},
    };
    for (auto& c : cases) EXPECT_EQ(do_make(time::make, c.spec, TYPE_TIME), c.expect) << mold(c.spec);
}

TEST_F(ScalarTest, TimeFields) {
    Cell t = T(3723.5), path = blk({});
    struct Read { Cell element; const char* expect; } reads[] = {
        {word_cell("hour"), "1"}, {word_cell("minute"), "2"}, {word_cell("second"), "3.5"}, {word_cell("HOUR"), "1"},
        {I(1), "1"},         {I(3), "3.5"},         {word_cell("foo"), "script/invalid-path"}, {I(4), "script/invalid-path"},
    };
    for (auto& r : reads) {
        stack::reset();
        Cell* out = nullptr;
        std::string err = error_of([&] {
            out = time::eval_path(&t, &r.element, nullptr, &path, nullptr, nullptr, 0, false, true, false);
        });
        EXPECT_EQ(err.empty() ? mold(*out) : err, r.expect) << mold(r.element);
    }
    struct Write { double start; Cell element; Cell value; const char* expect; } writes[] = {
        {3723, word_cell("minute"), I(5), "1:05:03"},   {3723, word_cell("hour"), I(10), "10:02:03"},
        {3723, word_cell("second"), F(1.5), "1:02:01.5"}, {3723, word_cell("second"), I(9), "1:02:09"},
        {1800, word_cell("hour"), I(-1), "-1:30:00"},    {-5400, word_cell("minute"), I(15), "-1:15:00"},
        {-5400, word_cell("hour"), I(2), "2:30:00"},     {3723, word_cell("minute"), F(1.5), "script/invalid-arg"},
        {3723, I(2), I(7), "1:07:03"},
    };
    for (auto& w : writes) {
        Cell tw = T(w.start);
        std::string err = error_of([&] {
            time::eval_path(&tw, &w.element, &w.value, &path, nullptr, nullptr, 0, false, false, false);
        });
        EXPECT_EQ(err.empty() ? mold(tw) : err, w.expect) << w.start << " " << mold(w.element);
    }
    stack::reset();
    Cell idx = I(4);
    EXPECT_EQ(mold(*time::pick(&t, 2, &idx)), "2");
    EXPECT_EQ(error_of([&] { time::pick(&t, 4, &idx); }), "script/out-of-range");
    EXPECT_EQ(error_of([&] { time::pick(&t, 0, &idx); }), "script/out-of-range");
}

TEST_F(ScalarTest, TimeEvenOdd) {
    struct Case { double s; bool odd; } cases[] = {
        {3, true}, {4, false}, {3.9999999, false}, {-3, true}, {63, true}, {62.5, false},
    };
    for (auto& c : cases) {
        Cell t = T(c.s);
        EXPECT_EQ(time::odd_q(&t), c.odd) << c.s;
        EXPECT_EQ(time::even_q(&t), !c.odd) << c.s;
    }
}

TEST_F(ScalarTest, LiteralsMoldBackToTheirSource) {
    const char* sources[] = {
        "0", "-5", "2147483647", "-2147483648", "0.1", "-2.5", "1.0e20", "1.0e-5", "100.0",
        "1:02:03.5", "0:01:00", "-0:01:30", "25:00:00", "0:00:00.25", "#\"a\"", "#\"^/\"", "#\"^-\"",
        "#\"^(1E)\"", "#\"^^\"", "#\"^\"\"", "#\"^@\"", "#\"^~\"",
    };
    for (const char* src : sources) EXPECT_EQ(test::mold(test::load_one(src)), src);
    EXPECT_EQ(test::mold_values(test::load("#(true) #(false) #(none)"), true), "#(true) #(false) #(none)");
}
