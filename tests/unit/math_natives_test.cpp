// Math natives called on a frame of their own, and the random generator.
#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_math.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

using test::I;
using test::F;
using test::P;

struct MathNativesTest : RuntimeTest {
    // A native's float! result.
    double f(natives::NativeFn fn, std::vector<Cell> args, std::vector<i32> refs = {}) {
        Cell r = test::call_native(fn, std::move(args), std::move(refs));
        EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
        return cell_float(&r);
    }
};

const std::vector<i32> NO_RADIANS{-1};
const std::vector<i32> RADIANS{0};

TEST_F(MathNativesTest, Shift) {
    struct Case { i32 data, bits; i32 left, logical; i32 expected; };
    const Case cases[] = {
        {-8, 1, -1, -1, -4},          {-8, 40, -1, -1, -1},         {8, 40, -1, -1, 0},
        {-8, 40, -1, 0, 0},           {-8, 28, -1, 0, 15},          {-1, 31, -1, -1, -1},
        {1, 31, 0, -1, INT32_MIN},    {1, 32, 0, -1, 0},            {3, -5, 0, -1, 3},
        {-16, -1, -1, -1, -16},       {0x40000001, 1, 0, -1, -2147483646},
        {-8, 1, 0, 0, -16},  // /left wins over /logical
    };
    for (const Case& c : cases) {
        Cell r = test::call_native(natives::shift_star, {I(c.data), I(c.bits)}, {c.left, c.logical});
        EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
        EXPECT_EQ(integer::get(&r), c.expected) << c.data << " " << c.bits << " " << c.left << c.logical;
    }
}

TEST_F(MathNativesTest, ToHex) {
    struct Case { i32 value; i32 size; const char* mold; };
    const Case cases[] = {
        {255, 0, "#000000FF"}, {255, 2, "#FF"}, {-1, 0, "#FFFFFFFF"}, {-1, 3, "#FFF"},
        {0x12345678, 8, "#12345678"}, {0x12345678, 12, "#12345678"}, {0x12345678, 1, "#8"},
        {INT32_MIN, 0, "#80000000"},
    };
    for (const Case& c : cases) {
        Cell r = c.size ? test::call_native(natives::to_hex_star, {I(c.value), I(c.size)}, {1})
                        : test::call_native(natives::to_hex_star, {I(c.value), I(0)}, {-1});
        EXPECT_EQ(TYPE_OF(&r), TYPE_ISSUE);
        EXPECT_EQ(test::mold(&r), c.mold);
    }
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::to_hex_star, {I(255), I(0)}, {1}); }), "script/invalid-arg");
    EXPECT_EQ(test::error_in_call([&] { test::call_native(natives::to_hex_star, {I(255), I(-4)}, {1}); }), "script/invalid-arg");
}

TEST_F(MathNativesTest, SineCosineInDegrees) {
    EXPECT_EQ(f(natives::sine_star, {I(180)}, NO_RADIANS), 0.0);
    EXPECT_EQ(f(natives::sine_star, {I(0)}, NO_RADIANS), 0.0);
    EXPECT_NEAR(f(natives::sine_star, {I(30)}, NO_RADIANS), 0.5, 1e-15);
    EXPECT_EQ(f(natives::sine_star, {I(90)}, NO_RADIANS), 1.0);
    EXPECT_EQ(f(natives::sine_star, {I(450)}, NO_RADIANS), f(natives::sine_star, {I(90)}, NO_RADIANS));
    EXPECT_EQ(f(natives::sine_star, {I(-190)}, NO_RADIANS), f(natives::sine_star, {I(170)}, NO_RADIANS));
    EXPECT_EQ(f(natives::sine_star, {I(-90)}, NO_RADIANS), -1.0);
    EXPECT_EQ(f(natives::sine_star, {F(360.0)}, NO_RADIANS), 0.0);
    EXPECT_EQ(f(natives::cosine_star, {I(90)}, NO_RADIANS), 0.0);
    EXPECT_EQ(f(natives::cosine_star, {I(0)}, NO_RADIANS), 1.0);
    EXPECT_EQ(f(natives::cosine_star, {I(180)}, NO_RADIANS), -1.0);
    EXPECT_NEAR(f(natives::cosine_star, {I(60)}, NO_RADIANS), 0.5, 1e-15);
    EXPECT_EQ(f(natives::cosine_star, {I(270)}, NO_RADIANS), 0.0);
}

TEST_F(MathNativesTest, TrigInRadians) {
    const double pi = 3.141592653589793;
    EXPECT_EQ(f(natives::sine_star, {F(pi)}, RADIANS), 0.0);  // 1.2e-16 is below epsilon
    EXPECT_NEAR(f(natives::sine_star, {F(pi / 6)}, RADIANS), 0.5, 1e-15);
    EXPECT_EQ(f(natives::cosine_star, {F(pi / 2)}, RADIANS), 0.0);
    EXPECT_NEAR(f(natives::tangent_star, {F(pi / 4)}, RADIANS), 1.0, 1e-15);
    // Radians are taken as they are: 30 radians, not 30 degrees.
    EXPECT_NEAR(f(natives::sine_star, {I(30)}, RADIANS), std::sin(30.0), 1e-15);
    EXPECT_EQ(f(natives::tangent_star, {F(pi / 2)}, RADIANS), INF);
    EXPECT_EQ(f(natives::tangent_star, {F(pi / -2)}, RADIANS), -INF);
}

TEST_F(MathNativesTest, Tangent) {
    EXPECT_EQ(f(natives::tangent_star, {I(90)}, NO_RADIANS), INF);
    EXPECT_EQ(f(natives::tangent_star, {I(-90)}, NO_RADIANS), -INF);
    EXPECT_NEAR(f(natives::tangent_star, {I(45)}, NO_RADIANS), 1.0, 1e-15);
    EXPECT_EQ(f(natives::tangent_star, {I(225)}, NO_RADIANS), f(natives::tangent_star, {I(45)}, NO_RADIANS));
    EXPECT_EQ(f(natives::tangent_star, {I(270)}, NO_RADIANS), -INF);  // folds onto -90
    EXPECT_NEAR(f(natives::tangent_star, {I(-45)}, NO_RADIANS), -1.0, 1e-15);
}

TEST_F(MathNativesTest, ArcFunctions) {
    EXPECT_EQ(f(natives::arcsine_star, {I(1)}, NO_RADIANS), 90.0);
    EXPECT_EQ(f(natives::arcsine_star, {I(1)}, RADIANS), 1.5707963267948966);
    EXPECT_EQ(f(natives::arcsine_star, {I(-1)}, NO_RADIANS), -90.0);
    EXPECT_EQ(f(natives::arccosine_star, {I(-1)}, NO_RADIANS), 180.0);
    EXPECT_EQ(f(natives::arccosine_star, {I(1)}, NO_RADIANS), 0.0);
    EXPECT_NEAR(f(natives::arccosine_star, {F(0.5)}, NO_RADIANS), 60.0, 1e-12);
    EXPECT_NEAR(f(natives::arctangent_star, {I(1)}, NO_RADIANS), 45.0, 1e-12);
    EXPECT_EQ(f(natives::arctangent_star, {F(INF)}, NO_RADIANS), 90.0);
    // Outside the domain the library's NaN comes back, no error.
    EXPECT_TRUE(std::isnan(f(natives::arcsine_star, {I(2)}, NO_RADIANS)));
    EXPECT_TRUE(std::isnan(f(natives::arccosine_star, {F(-1.5)}, RADIANS)));
}

TEST_F(MathNativesTest, Arctangent2) {
    EXPECT_EQ(f(natives::arctangent2_star, {I(1), I(-1)}, NO_RADIANS), 135.0);
    EXPECT_EQ(f(natives::arctangent2_star, {I(0), I(-1)}, NO_RADIANS), 180.0);
    EXPECT_EQ(f(natives::arctangent2_star, {I(-1), I(0)}, NO_RADIANS), -90.0);
    EXPECT_NEAR(f(natives::arctangent2_star, {I(1), I(-1)}, RADIANS), 3 * 3.141592653589793 / 4, 1e-15);
    EXPECT_EQ(f(natives::arctangent2_star, {F(0.0), F(0.0)}, NO_RADIANS), 0.0);
}

TEST_F(MathNativesTest, NaNTest) {
    auto nan_q = [&](Cell v) {
        Cell r = test::call_native(natives::NaN_q_star, {v});
        EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
        return r.data1 != 0;
    };
    EXPECT_TRUE(nan_q(F(std::nan(""))));
    EXPECT_TRUE(nan_q(F(INF)));
    EXPECT_TRUE(nan_q(F(-INF)));
    EXPECT_FALSE(nan_q(F(1.5)));
    EXPECT_FALSE(nan_q(I(0)));
    EXPECT_TRUE(nan_q(P(std::nan(""))));
    EXPECT_FALSE(nan_q(P(0.5)));
}

TEST_F(MathNativesTest, LogarithmsExpAndRoot) {
    EXPECT_EQ(f(natives::log_2_star, {P(0.5)}), -1.0);
    EXPECT_EQ(f(natives::log_2_star, {I(1024)}), 10.0);
    EXPECT_EQ(f(natives::log_10_star, {I(1000)}), 3.0);
    EXPECT_EQ(f(natives::log_e_star, {I(1)}), 0.0);
    EXPECT_EQ(f(natives::log_e_star, {I(0)}), -INF);
    EXPECT_TRUE(std::isnan(f(natives::log_e_star, {I(-1)})));
    EXPECT_TRUE(std::isnan(f(natives::log_10_star, {F(-2.5)})));
    EXPECT_EQ(f(natives::exp_star, {I(0)}), 1.0);
    EXPECT_NEAR(f(natives::exp_star, {I(1)}), 2.718281828459045, 1e-15);
    EXPECT_EQ(f(natives::square_root_star, {I(16)}), 4.0);
    EXPECT_EQ(f(natives::square_root_star, {P(0.25)}), 0.5);
    EXPECT_TRUE(std::isnan(f(natives::square_root_star, {I(-1)})));
}

TEST_F(MathNativesTest, NormalizeAngle) {
    const double pi = 3.141592653589793;
    EXPECT_EQ(natives::normalize_angle(90.0, 0), 90.0 * pi / 180.0);
    EXPECT_EQ(natives::normalize_angle(135.0, 0), -45.0 * pi / 180.0);   // tangent folds by 180
    EXPECT_EQ(natives::normalize_angle(135.0, 1), 135.0 * pi / 180.0);   // cosine does not
    EXPECT_EQ(natives::normalize_angle(135.0, 2), 45.0 * pi / 180.0);    // sine mirrors
    EXPECT_EQ(natives::normalize_angle(-200.0, 1), 160.0 * pi / 180.0);
    EXPECT_EQ(natives::normalize_angle(-135.0, 2), -45.0 * pi / 180.0);
}

TEST_F(MathNativesTest, CheckFlagRejectsWrongTypes) {
    Cell s;
    make_cell(&s, TYPE_NONE);
    std::string e = test::error_in_call([&] {
        stack::arguments = stack::top;
        stack::push(&s);
        const i32 refs[] = {-1};
        natives::sine_star(true, refs);
    });
    EXPECT_EQ(e, "script/expect-arg");
}

// ---- random ----------------------------------------------------------------

// The tempering of the generator, with its arithmetic right shifts.
i32 temper(i32 y) {
    y ^= y >> 11;
    y ^= static_cast<i32>(static_cast<u32>(y) << 7) & static_cast<i32>(0x9D2C5680u);
    y ^= static_cast<i32>(static_cast<u32>(y) << 15) & static_cast<i32>(0xEFC60000u);
    y ^= y >> 18;
    return y;
}

TEST_F(MathNativesTest, RandomSeedingAndDraws) {
    random::seed(19650218);
    EXPECT_EQ(random::next(), temper(19650218));
    // Reproducible, non-negative, and past the first regeneration too.
    random::seed(42);
    std::vector<i32> first;
    for (int i = 0; i < 2000; i++) first.push_back(random::next());
    random::seed(42);
    for (int i = 0; i < 2000; i++) {
        i32 d = random::next();
        ASSERT_EQ(d, first[i]) << i;
        ASSERT_GE(d, 0);
    }
    random::seed(43);
    EXPECT_NE(random::next(), first[0]);
    // A negative seed (arithmetic shift in the seeding) still gives non-negative draws.
    random::seed(0x80000001u);
    for (int i = 0; i < 1000; i++) ASSERT_GE(random::next(), 0);
    for (int i = 0; i < 100; i++) ASSERT_GE(random::next_secure(), 0);
}

TEST_F(MathNativesTest, RandomIntRange) {
    random::seed(7);
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ(random::int_range(false, 1), 1);
        ASSERT_EQ(random::int_range(false, -1), -1);
        ASSERT_EQ(random::int_range(false, 0), 0);
        i32 d = random::int_range(false, 6);
        ASSERT_TRUE(d >= 1 && d <= 6) << d;
        i32 n = random::int_range(false, -6);
        ASSERT_TRUE(n >= -6 && n <= -1) << n;
        i32 m = random::int_range(false, INT32_MIN);
        ASSERT_LT(m, 0);
        i32 big = random::int_range(false, INT32_MAX);
        ASSERT_TRUE(big >= 1) << big;
        i32 s = random::int_range(true, 3);
        ASSERT_TRUE(s >= 1 && s <= 3) << s;
    }
    std::set<i32> seen;
    for (int i = 0; i < 300; i++) seen.insert(random::int_range(false, 4));
    EXPECT_EQ(seen.size(), 4u);
}

}  // namespace
