// Value and comparison natives on values that scripts cannot write yet
// (pair!, point2D!, typeset! operands) and on paths only compiled callers
// reach (no argument check).
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/typeset.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_eval.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

using test::I;
using test::F;
Cell Pair(i32 x, i32 y) { Cell c; return *make_cell(&c, TYPE_PAIR, 0, static_cast<u32>(x), static_cast<u32>(y)); }
u32 bits(float f) { u32 b; std::memcpy(&b, &f, sizeof b); return b; }
float fl(u32 b) { float f; std::memcpy(&f, &b, sizeof f); return f; }
Cell Point(float x, float y) { Cell c; return *make_cell(&c, TYPE_POINT2D, bits(x), bits(y), 0); }

using ValueNativesTest = RuntimeTest;

TEST_F(ValueNativesTest, MaxMinOnPairsAndPoints) {
    struct Case {
        Cell a, b;
        bool max;
        u32 type;
        double x, y;
    };
    const Case cases[] = {
        {I(3), Pair(1, 5), true, TYPE_PAIR, 3, 5},          // the pair goes first
        {Pair(1, 5), F(2.5), true, TYPE_PAIR, 2, 5},        // the float truncated
        {Pair(1, 5), F(-2.5), false, TYPE_PAIR, -2, -2},
        {Pair(1, 5), Pair(4, 2), true, TYPE_PAIR, 4, 5},
        {Pair(1, 5), Pair(4, 2), false, TYPE_PAIR, 1, 2},
        {Pair(1, 5), F(1e10), true, TYPE_POINT2D, 1e10, 1e10},  // beyond 32 bits: points
        {Pair(1, 5), Point(0.5f, 9.5f), true, TYPE_POINT2D, 1, 9.5},
        {Point(1.5f, -1.0f), I(0), true, TYPE_POINT2D, 1.5, 0},
        {Point(1.5f, -1.0f), I(0), false, TYPE_POINT2D, 0, -1},
    };
    for (const Case& c : cases) {
        Cell r = test::call_native(c.max ? natives::max_star : natives::min_star, {c.a, c.b});
        ASSERT_EQ(TYPE_OF(&r), c.type);
        if (c.type == TYPE_PAIR) {
            EXPECT_EQ(static_cast<i32>(r.data2), static_cast<i32>(c.x));
            EXPECT_EQ(static_cast<i32>(r.data3), static_cast<i32>(c.y));
        } else {
            EXPECT_FLOAT_EQ(fl(r.data1), static_cast<float>(c.x));
            EXPECT_FLOAT_EQ(fl(r.data2), static_cast<float>(c.y));
        }
    }
    // NaN in the second point wins per coordinate.
    Cell r = test::call_native(natives::max_star, {Point(1, 2), Point(std::nanf(""), 0)});
    EXPECT_TRUE(std::isnan(fl(r.data1)));
    EXPECT_FLOAT_EQ(fl(r.data2), 2.0f);
}

TEST_F(ValueNativesTest, SameAndZeroOnCompoundValues) {
    EXPECT_EQ(test::call_native(natives::same_q_star, {Pair(1, 2), Pair(1, 2)}).data1, 1u);
    EXPECT_EQ(test::call_native(natives::same_q_star, {Pair(1, 2), Pair(2, 1)}).data1, 0u);
    EXPECT_EQ(test::call_native(natives::same_q_star, {Point(1, 2), Point(1, 2)}).data1, 1u);
    EXPECT_EQ(test::call_native(natives::same_q_star, {Pair(1, 2), Point(1, 2)}).data1, 0u);
    EXPECT_EQ(test::call_native(natives::zero_q_star, {Pair(0, 0)}).data1, 1u);
    EXPECT_EQ(test::call_native(natives::zero_q_star, {Pair(0, 1)}).data1, 0u);
    EXPECT_EQ(test::call_native(natives::zero_q_star, {Point(0, -0.0f)}).data1, 1u);
    // Unchecked callers may pass any value: zero? answers false, no error.
    Cell* s = string::load("abc");
    EXPECT_EQ(test::call_native(natives::zero_q_star, {*s}).data1, 0u);
}

TEST_F(ValueNativesTest, AsPairAndPoints) {
    Cell p = test::call_native(natives::as_pair_star, {F(-2.7), I(3)});
    ASSERT_EQ(TYPE_OF(&p), TYPE_PAIR);
    EXPECT_EQ(static_cast<i32>(p.data2), -2);
    EXPECT_EQ(static_cast<i32>(p.data3), 3);
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::as_pair_star, {F(std::nan("")), I(1)}); }), "script/invalid-arg");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::as_pair_star, {I(1), F(INFINITY)}); }), "script/invalid-arg");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::as_pair_star, {F(1e12), I(1)}); }), "script/invalid-arg");
    Cell q = test::call_native(natives::as_point3D_star, {I(1), F(0.1), F(-3)});
    ASSERT_EQ(TYPE_OF(&q), TYPE_POINT3D);
    EXPECT_EQ(fl(q.data2), 0.1f);
    EXPECT_EQ(fl(q.data3), -3.0f);
}

TEST_F(ValueNativesTest, TypesetSetOperations) {
    Cell a, b;
    typeset::make_at(&a, 0, 0, 0);
    typeset::make_at(&b, 0, 0, 0);
    typeset::add(&a, TYPE_INTEGER);
    typeset::add(&a, TYPE_STRING);
    typeset::add(&b, TYPE_STRING);
    typeset::add(&b, TYPE_BLOCK);
    Cell u = test::call_native(natives::union_star, {a, b}, {-1, -1});
    EXPECT_TRUE(typeset::has(&u, TYPE_INTEGER) && typeset::has(&u, TYPE_STRING) && typeset::has(&u, TYPE_BLOCK));
    Cell i = test::call_native(natives::intersect_star, {a, b}, {-1, -1});
    EXPECT_TRUE(typeset::has(&i, TYPE_STRING));
    EXPECT_FALSE(typeset::has(&i, TYPE_INTEGER) || typeset::has(&i, TYPE_BLOCK));
    Cell e = test::call_native(natives::exclude_star, {a, b}, {-1, -1});
    EXPECT_TRUE(typeset::has(&e, TYPE_INTEGER));
    EXPECT_FALSE(typeset::has(&e, TYPE_STRING));
    // Mixed set types, and a set type of its own, are refused.
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::union_star, {a, I(1)}, {-1, -1}); }), "script/expect-val");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::union_star, {I(1), I(2)}, {-1, -1}); }), "script/expect-arg");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::sign_q_star, {a}); }), "script/expect-arg");
}

TEST_F(ValueNativesTest, UncheckedArgumentsGetTheNativesOwnErrors) {
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::compose_star, {I(1)}, {-1, -1, -1}); }), "script/expect-val");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::complement_q_star, {I(1)}); }), "script/expect-arg");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::extend_star, {I(1), I(2)}, {-1}); }), "internal/not-done");
}

// The natives build their results while every allocation may move or free
// buffers: run them with a collection at each allocation.
TEST_F(ValueNativesTest, ResultsSurviveCollectionsAtEveryAllocation) {
    const char* cases[][2] = {
        {"reduce [copy \"a\" [b] copy \"c\" 1]", "[\"a\" [b] \"c\" 1]"},
        {"reduce/into [copy \"x\" copy \"y\"] copy []", "[\"x\" \"y\"]"},
        {"compose/deep [(copy \"a\") [(copy [1 2])] (copy [3 4])]", "[\"a\" [1 2] 3 4]"},
        {"compose/into [(copy \"a\") b] tail copy [t]", "[\"a\" b]"},
        {"transcode/next {[1 \"s\"] x}", "[[1 \"s\"] \" x\"]"},
        {"construct [a: \"s\" b: [1 2]]", "make object! [\n    a: \"s\"\n    b: [1 2]\n]"},
        {"bind/copy [a [b (c)]] make object! [a: 1]", "[a [b (c)]]"},
        {"union [\"a\" \"b\"] [\"b\" \"c\"]", "[\"a\" \"b\" \"c\"]"},
    };
    bool saved_active = collector::active, saved_stress = collector::stress;
    for (auto& c : cases) {
        Cell* saved_args = stack::arguments;
        Cell* saved_top = stack::top;
        CallFrame* saved_frame = stack::frame_top;
        Cell* code = stack::push(test::load(c[0]));
        stack::mark_call(nullptr);
        stack::push_star();
        collector::active = collector::stress = true;
        std::string result;
        try {
            interpreter::eval(code, false);
            result = test::mold(stack::top - 1);
        } catch (Throw&) {
            result = std::string(error::last.category) + "/" + error::last.id;
        }
        collector::active = saved_active;
        collector::stress = saved_stress;
        EXPECT_EQ(result, c[1]) << c[0];
        stack::arguments = saved_args;
        stack::top = saved_top;
        stack::frame_top = saved_frame;
    }
}

}  // namespace
