// Float/decimal conversion: layout of the text, shortest and fixed-precision
// digits, and correctly rounded reading, checked against the C library.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/dtoa.h"

using namespace zav;

namespace {

u64 bits_of(double d) {
    u64 b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double double_of(u64 b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// Reads a text from a buffer of exactly its size, so a read past the end is a
// sanitizer fault rather than a silent look at a NUL.
double read(const std::string& text, i32* error, i32 shift = 0) {
    std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
    std::memcpy(exact.get(), text.data(), text.size());
    return dtoa::text_to_float(exact.get(), exact.get() + text.size(), shift, error);
}

double read_ok(const std::string& text, i32 shift = 0) {
    i32 error = 99;
    double d = read(text, &error, shift);
    EXPECT_EQ(error, 0) << text;
    return d;
}

struct Digits {
    std::string digits;
    i32 point, sign;
};

Digits digits_of(double d, i32 precision) {
    Digits r;
    i32 length;
    const char* p = dtoa::float_to_digits(d, precision, &r.point, &length, &r.sign);
    r.digits.assign(p, length);
    EXPECT_EQ(p[length], '\0');
    return r;
}

// Digits of the C library's correctly rounded "%.*e" with trailing zeros dropped.
Digits printf_digits(double d, int count) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.*e", count - 1, std::fabs(d));
    Digits r{"", 0, std::signbit(d)};
    char* p = buf;
    for (; *p != 'e'; p++)
        if (*p != '.') r.digits += *p;
    r.point = std::atoi(p + 1) + 1;
    while (r.digits.size() > 1 && r.digits.back() == '0') r.digits.pop_back();
    return r;
}

bool round_trips(const std::string& digits, i32 point, double d) {
    std::string text = "0." + digits + "e" + std::to_string(point);
    return bits_of(std::strtod(text.c_str(), nullptr)) == bits_of(std::fabs(d));
}

// A random double of the kinds where conversions go wrong.
double random_double(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return double_of(rng() & 0x800FFFFFFFFFFFFFull);  // subnormal
        case 1: return std::ldexp(1.0, static_cast<int>(rng() % 2098) - 1074);  // power of two
        case 2: return static_cast<double>(static_cast<i64>(rng() >> (rng() % 64)));  // integer
        case 3: return std::nextafter(DBL_MAX, 0.0) - double_of(rng() % 1000);  // near the largest
        case 4: return double_of(bits_of(DBL_MIN) + rng() % 2000 - 1000);  // near the smallest normal
        default: {
            u64 b = rng();
            if ((b & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) b ^= 0x4000000000000000ull;
            return double_of(b);
        }
    }
}

// Exact decimal text of m x 2^e (any double or midpoint between doubles).
std::string exact_decimal(u64 m, int e) {
    std::vector<int> digits;  // least significant first
    for (; m; m /= 10) digits.push_back(static_cast<int>(m % 10));
    if (digits.empty()) digits.push_back(0);
    auto times = [&](int k) {
        int carry = 0;
        for (int& d : digits) {
            int v = d * k + carry;
            d = v % 10;
            carry = v / 10;
        }
        for (; carry; carry /= 10) digits.push_back(carry % 10);
    };
    for (int i = 0; i < e; i++) times(2);
    for (int i = 0; i < -e; i++) times(5);  // m x 5^-e x 10^e
    std::string text;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) text += static_cast<char>('0' + *it);
    if (e < 0) text += "e" + std::to_string(e);
    return text;
}

// Exact decimal of the midpoint between d and the next double up.
std::string midpoint_above(double d) {
    u64 b = bits_of(d);
    int biased = static_cast<int>(b >> 52);
    u64 m = b & 0xFFFFFFFFFFFFFull;
    int e = biased ? biased - 1075 : -1074;
    if (biased) m |= 1ull << 52;
    return exact_decimal(2 * m + 1, e - 1);
}

}  // namespace

TEST(Dtoa, FormFloatLayout) {
    struct Case {
        double value;
        i32 precision;
        bool keep_zero;
        const char* text;
    } cases[] = {
        {0.1, 0, true, "0.1"},
        {1e16, 0, true, "10000000000000000.0"},
        {1e17, 0, true, "1.0e17"},
        {1e-7, 0, true, "0.0000001"},
        {1e-8, 0, true, "1.0e-8"},
        {1.5e-8, 0, true, "1.5e-8"},
        {-0.0, 0, true, "-0.0"},
        {0.0, 0, true, "0.0"},
        {0.0, 6, false, "0.0"},  // a zero's text is final whatever the flags
        {HUGE_VAL, 0, true, "1.#INF"},
        {-HUGE_VAL, 0, true, "-1.#INF"},
        {std::nan(""), 0, true, "1.#NaN"},
        {-std::nan(""), 0, true, "1.#NaN"},
        {2.0, 0, false, "2"},
        {2.0, 0, true, "2.0"},
        {123.45, 0, true, "123.45"},
        {100.0, 0, true, "100.0"},
        {0.001, 0, true, "0.001"},
        {-1.5, 0, true, "-1.5"},
        {1e20, 0, true, "1.0e20"},
        {1e20, 0, false, "1e20"},
        {1.25e-300, 0, true, "1.25e-300"},
        {5e-324, 0, true, "5.0e-324"},
        {DBL_MAX, 0, true, "1.7976931348623157e308"},
        {0.1 + 0.2, 0, true, "0.30000000000000004"},
        {1 - 0.9, 0, true, "0.09999999999999998"},
        {123456789012345678.0, 0, true, "1.2345678901234568e17"},
        {12345678901234567.0, 0, true, "12345678901234568.0"},
        {3.14159265358979, 6, false, "3.14159"},
        {1234567.0, 6, false, "1234570"},
        {9.9999996, 6, false, "10"},
        {0.5, 6, false, "0.5"},
        {-0.000001234, 6, true, "-0.000001234"},
        {0.1, 22, true, "0.1000000000000000055511"},
        {0.1, 99, true, "0.100000000000000005551115123126"},  // capped at 30 digits
    };
    for (const Case& c : cases)
        EXPECT_STREQ(dtoa::form_float(c.value, c.precision, c.keep_zero), c.text)
            << c.value << " precision " << c.precision;
}

TEST(Dtoa, DigitsAndPointOfSpecialsAndExtremes) {
    struct Case {
        double value;
        const char* digits;
        i32 point, sign;
    } cases[] = {
        {5e-324, "5", -323, 0},
        {-5e-324, "5", -323, 1},
        {DBL_MAX, "17976931348623157", 309, 0},
        {DBL_MIN, "22250738585072014", -307, 0},
        {1.0, "1", 1, 0},
        {0.1, "1", 0, 0},
        {HUGE_VAL, "1.#INF", dtoa::POINT_SPECIAL, 0},
        {-HUGE_VAL, "-1.#INF", dtoa::POINT_SPECIAL, 1},
        {std::nan(""), "1.#NaN", dtoa::POINT_SPECIAL, 0},
        {0.0, "0.0", dtoa::POINT_ZERO, 0},
        {-0.0, "-0.0", dtoa::POINT_ZERO, 1},
    };
    for (const Case& c : cases) {
        Digits d = digits_of(c.value, 0);
        EXPECT_EQ(d.digits, c.digits) << c.value;
        EXPECT_EQ(d.point, c.point) << c.value;
        EXPECT_EQ(d.sign, c.sign) << c.value;
    }
}

// The shortest digits read back bit-identical, no correctly rounded "%.*e"
// text one digit shorter does, and the one as long equals them when it reads back.
TEST(Dtoa, ShortestDigitsRoundTrip) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 100000; i++) {
        double d = random_double(rng);
        if (d == 0) continue;
        Digits ours = digits_of(d, 0);
        ASSERT_TRUE(round_trips(ours.digits, ours.point, d)) << ours.digits << " " << ours.point;
        ASSERT_EQ(ours.sign, std::signbit(d) ? 1 : 0);
        ASSERT_NE(ours.digits.back(), '0');
        Digits at_length = printf_digits(d, static_cast<int>(ours.digits.size()));
        if (round_trips(at_length.digits, at_length.point, d)) {
            ASSERT_EQ(ours.digits, at_length.digits) << d;
            ASSERT_EQ(ours.point, at_length.point) << d;
        }
        if (ours.digits.size() > 1) {
            Digits shorter = printf_digits(d, static_cast<int>(ours.digits.size()) - 1);
            ASSERT_FALSE(round_trips(shorter.digits, shorter.point, d)) << d;
        }
        // Molded text reads back through the reader to the same bits.
        const char* text = dtoa::form_float(d, 0, true);
        ASSERT_EQ(bits_of(read_ok(text)), bits_of(d)) << text;
    }
}

TEST(Dtoa, FixedPrecisionMatchesCorrectRounding) {
    std::mt19937_64 rng(77);
    for (int i = 0; i < 50000; i++) {
        double d = random_double(rng);
        if (d == 0) continue;
        int n = 1 + static_cast<int>(rng() % dtoa::MAX_DIGITS);
        Digits ours = digits_of(d, n);
        Digits ref = printf_digits(d, n);
        ASSERT_EQ(ours.digits, ref.digits) << d << " precision " << n;
        ASSERT_EQ(ours.point, ref.point) << d << " precision " << n;
    }
    // Exact ties go to the even digit; a carry moves the point.
    EXPECT_EQ(digits_of(2.5, 1).digits, "2");
    EXPECT_EQ(digits_of(3.5, 1).digits, "4");
    Digits carried = digits_of(9.96, 2);
    EXPECT_EQ(carried.digits, "1");
    EXPECT_EQ(carried.point, 2);
}

TEST(Dtoa, ReadsLikeTheCorrectlyRoundedLibrary) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 100000; i++) {
        std::string text;
        if (rng() % 2) text += "-+"[rng() % 2];
        int int_digits = static_cast<int>(rng() % 25);
        int frac_digits = static_cast<int>(rng() % 25);
        if (int_digits + frac_digits == 0) int_digits = 1;
        for (int k = 0; k < int_digits; k++) text += static_cast<char>('0' + rng() % 10);
        if (frac_digits || rng() % 2) text += '.';
        for (int k = 0; k < frac_digits; k++) text += static_cast<char>('0' + rng() % 10);
        if (rng() % 3) text += "eE"[rng() % 2] + std::to_string(static_cast<int>(rng() % 700) - 350);
        double ours = read_ok(text);
        ASSERT_EQ(bits_of(ours), bits_of(std::strtod(text.c_str(), nullptr))) << text;
    }
}

TEST(Dtoa, ReadsWellFormedText) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"0", 0.0},
        {"-0", -0.0},
        {"-0.0e-5000", -0.0},
        {"1", 1.0},
        {"+1.5", 1.5},
        {"1.", 1.0},
        {".5", 0.5},
        {"-.5E1", -5.0},
        {"1e0", 1.0},
        {"1.7976931348623157e308", DBL_MAX},
        {"1.8e308", HUGE_VAL},
        {"-1e99999999999999999999999", -HUGE_VAL},
        {"4.9406564584124654e-324", 5e-324},
        {"2.4703282292062328e-324", 5e-324},
        {"2.4703282292062327e-324", 0.0},
        {"1e-400", 0.0},
        {"-1e-99999999999999999999999", -0.0},
        {"0.000000000000000000000000000001e30", 1.0},
        {"100000000000000000000000000000e-28", 10.0},
        {"2.2250738585072011e-308", double_of(0x000FFFFFFFFFFFFFull)},
        {"2.2250738585072012e-308", DBL_MIN},
        {"9007199254740993", 9007199254740992.0},  // tie to even, below
        {"9007199254740995", 9007199254740996.0},  // tie to even, above
        {"9007199254740993.0000000000000000000000001", 9007199254740994.0},
    };
    for (const Case& c : cases) {
        double d = read_ok(c.text);
        EXPECT_EQ(bits_of(d), bits_of(c.value)) << c.text;
    }
}

TEST(Dtoa, ExponentShiftReadsPercentAsFraction) {
    EXPECT_EQ(read_ok("50", -2), 0.5);
    EXPECT_EQ(bits_of(read_ok("0.3", -2)), bits_of(0.003));
    EXPECT_EQ(bits_of(read_ok("1.5e-320", -2)), bits_of(1.5e-322));
    EXPECT_EQ(bits_of(read_ok("1e310", -2)), bits_of(1e308));
}

TEST(Dtoa, RejectsMalformedTextWithinItsLength) {
    const std::string bad[] = {"",     "+",     "-",     ".",     "-.",   "e5",   "1e",   "1e+",
                               "1e-",  "1.2.3", "1x",    " 1",    "1 ",   "--1",  "1e5.0", "0x10",
                               "inf",  "nan",   "1.#INF", "1,5",  "1'000", "1e5e5", "+-1", ".e1",
                               "1e 5", std::string("\0", 1), std::string("1\0", 2)};
    for (const std::string& text : bad) {
        i32 error = 0;
        double d = read(text, &error);
        EXPECT_EQ(error, -1) << '"' << text << '"';
        EXPECT_TRUE(std::isnan(d)) << text;
    }
    // The end bounds the text even when valid characters follow it.
    const char buf[] = "1.5e10";
    i32 error = 0;
    EXPECT_EQ(dtoa::text_to_float(buf, buf + 3, 0, &error), 1.5);
    EXPECT_EQ(error, 0);
    dtoa::text_to_float(buf, buf + 4, 0, &error);
    EXPECT_EQ(error, -1);
    EXPECT_TRUE(std::isnan(dtoa::text_to_float(buf, buf, 0, nullptr)));
}

// Midpoints between neighbouring doubles, written out exactly (hundreds of
// digits), round to the even neighbour; the least extra digit tips them over.
TEST(Dtoa, ExactHalfwayCasesRoundToEven) {
    std::mt19937_64 rng(3);
    std::vector<double> lows = {1.0, 5e-324, 0.0, DBL_MIN, std::nextafter(DBL_MIN, 0.0), 0.1, 1e300, 123456.789,
                                DBL_MAX};
    for (int i = 0; i < 100; i++) lows.push_back(std::fabs(random_double(rng)));
    for (double low : lows) {
        double high = std::nextafter(low, HUGE_VAL);
        double even = (bits_of(low) & 1) ? high : low;
        std::string mid = midpoint_above(low);
        size_t e = mid.find('e');
        std::string mantissa = mid.substr(0, e), exponent = e == std::string::npos ? "" : mid.substr(e);
        ASSERT_EQ(bits_of(read_ok(mid)), bits_of(even)) << mid;
        ASSERT_EQ(bits_of(read_ok(mantissa + "." + std::string(3000, '0') + "1" + exponent)), bits_of(high));
        // Just below: the midpoint less one unit in a far decimal place.
        std::string below = mantissa;
        size_t k = below.size();
        while (below[--k] == '0') below[k] = '9';
        below[k]--;
        ASSERT_EQ(bits_of(read_ok(below + "." + std::string(2000, '9') + exponent)), bits_of(low)) << below;
    }
}

TEST(Dtoa, VeryLongInputsAreCorrectlyRounded) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 200; i++) {
        std::string text = std::to_string(1 + rng() % 9);
        size_t len = 500 + rng() % 5000;
        for (size_t k = 0; k < len; k++) text += static_cast<char>('0' + rng() % 10);
        text += "e-" + std::to_string(rng() % (len + 330));
        ASSERT_EQ(bits_of(read_ok(text)), bits_of(std::strtod(text.c_str(), nullptr))) << text.substr(0, 40);
    }
    // Leading zeros by the thousand before the first significant digit.
    EXPECT_EQ(read_ok("0." + std::string(5000, '0') + "15e5001"), 1.5);
    EXPECT_EQ(read_ok(std::string(5000, '0') + "7"), 7.0);
}

TEST(Dtoa, AddDecimalIsExact) {
    struct Case {
        i64 whole;
        const char* decimal;
        bool subtract;
        const char* sum;
    };
    const Case cases[] = {
        {0, "59.25", false, "59.25"},         {3600, "3.1", false, "3603.1"},
        {-3600, "0.5", false, "-3599.5"},     {-60, "59.999", false, "-0.001"},
        {60, "0.000001", true, "59.999999"},  {-43200, "7", false, "-43193"},
        {0, ".5", false, "0.5"},              {120, "120", true, "0"},
        {0, "0.0", true, "0.0"},              {-9000000000000000000, "1.5", true, "-9000000000000000001.5"},
        {99, "0.01", false, "99.01"},         {1, "99.99", false, "100.99"},
    };
    for (const Case& c : cases) EXPECT_EQ(dtoa::add_decimal(c.whole, c.decimal, c.subtract), c.sum) << c.whole << " " << c.decimal;
}
