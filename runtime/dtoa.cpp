// Float to decimal text and back. The exact digit work (shortest round-trip
// digits, correctly rounded fixed-precision digits, correctly rounded reading
// of any number of digits) is done by the standard library's charconv; this
// module lays out the digits, handles the special values and checks the text.
#include "runtime/dtoa.h"

#include <bit>
#include <charconv>
#include <memory>

namespace zav::dtoa {

namespace {

// One sign position in front of the digits, so a negative special is the same
// text with the "-" included: "-1.#INF" is digit_buffer, "1.#INF" digit_buffer + 1.
char digit_buffer[1 + MAX_DIGITS + 1] = "-";
char text_buffer[64];

constexpr u64 EXPONENT_MASK = 0x7FF0000000000000ull;
constexpr u64 MANTISSA_MASK = 0x000FFFFFFFFFFFFFull;
constexpr u64 QUIET_NAN = 0x7FF8000000000000ull;


const char* special(const char* text, bool negative, i32 point, i32* point_out, i32* length, i32* sign) {
    size_t n = std::strlen(text);
    std::memcpy(digit_buffer + 1, text, n + 1);
    *point_out = point;
    *sign = negative;
    *length = static_cast<i32>(n) + negative;
    return negative ? digit_buffer : digit_buffer + 1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Exponents are saturated here: past this no number of digits can bring the
// value back into the range of a double.
constexpr i64 EXPONENT_LIMIT = 1000000000000LL;

}  // namespace

const char* float_to_digits(double value, i32 precision, i32* point, i32* length, i32* sign) {
    u64 bits = std::bit_cast<u64>(value);
    bool negative = bits >> 63;
    if ((bits & EXPONENT_MASK) == EXPONENT_MASK) {
        if (bits & MANTISSA_MASK) return special("1.#NaN", false, POINT_SPECIAL, point, length, sign);
        return special("1.#INF", negative, POINT_SPECIAL, point, length, sign);
    }
    if ((bits << 1) == 0) return special("0.0", negative, POINT_ZERO, point, length, sign);

    if (precision < 0) precision = 0;
    if (precision > MAX_DIGITS) precision = MAX_DIGITS;
    double magnitude = value < 0 ? -value : value;
    // Scientific form "d.ddde±xx": the digits in order and the exponent of the first.
    char sci[64];
    std::to_chars_result r =
        precision == 0 ? std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific)
                       : std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific, precision - 1);
    const char* p = sci;
    char* out = digit_buffer + 1;
    i32 n = 0;
    for (; p < r.ptr && *p != 'e'; p++)
        if (*p != '.') out[n++] = *p;
    i32 exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);  // always "e+xx" or "e-xx"
    while (n > 1 && out[n - 1] == '0') n--;
    out[n] = 0;
    *point = exponent + 1;
    *length = n;
    *sign = negative;
    return out;
}

const char* form_float(double value, i32 precision, bool keep_zero) {
    i32 point, n, sign;
    const char* d = float_to_digits(value, precision, &point, &n, &sign);
    if (point > POINT_ZERO - 1) return d;

    char* o = text_buffer;
    if (sign) *o++ = '-';
    // After the point: the remaining digits, else "0" or no point at all.
    auto fraction = [&](const char* rest, i32 count) {
        *o++ = '.';
        if (count > 0) {
            std::memcpy(o, rest, count);
            o += count;
        } else if (keep_zero) {
            *o++ = '0';
        } else {
            o--;
        }
    };
    if (point > 17 || point < -6) {
        *o++ = d[0];
        fraction(d + 1, n - 1);
        *o++ = 'e';
        o = std::to_chars(o, text_buffer + sizeof text_buffer, point - 1).ptr;
    } else if (point >= 1) {
        for (i32 i = 0; i < point; i++) *o++ = i < n ? d[i] : '0';
        fraction(d + point, n - point);
    } else {
        *o++ = '0';
        *o++ = '.';
        for (i32 i = 0; i < -point; i++) *o++ = '0';
        std::memcpy(o, d, n);
        o += n;
    }
    *o = 0;
    return text_buffer;
}

double text_to_float(const char* start, const char* end, i32 exponent_shift, i32* error) {
    i32 ignored;
    if (!error) error = &ignored;
    *error = -1;
    const double failed = std::bit_cast<double>(QUIET_NAN);
    if (!start || end < start) return failed;

    const char* s = start;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) negative = *s++ == '-';
    const char* int_start = s;
    while (s < end && is_digit(*s)) s++;
    const char* int_end = s;
    const char* frac_start = s;
    const char* frac_end = s;
    if (s < end && *s == '.') {
        frac_start = ++s;
        while (s < end && is_digit(*s)) s++;
        frac_end = s;
    }
    if (int_start == int_end && frac_start == frac_end) return failed;
    i64 exponent = 0;
    if (s < end && (*s == 'e' || *s == 'E')) {
        s++;
        bool exponent_negative = false;
        if (s < end && (*s == '+' || *s == '-')) exponent_negative = *s++ == '-';
        if (s == end || !is_digit(*s)) return failed;
        for (; s < end && is_digit(*s); s++)
            if (exponent < EXPONENT_LIMIT) exponent = exponent * 10 + (*s - '0');
        if (exponent_negative) exponent = -exponent;
    }
    if (s != end) return failed;
    *error = 0;

    // The significant digits run from the first to the last non-zero digit,
    // possibly across the point; `lead` is the power of ten of the first.
    auto digit_at = [&](i64 i) {  // i-th mantissa digit, the point skipped
        i64 int_len = int_end - int_start;
        return i < int_len ? int_start[i] : frac_start[i - int_len];
    };
    i64 total = (int_end - int_start) + (frac_end - frac_start);
    i64 first = 0;
    while (first < total && digit_at(first) == '0') first++;
    if (first == total) return negative ? -0.0 : 0.0;
    i64 last = total - 1;
    while (digit_at(last) == '0') last--;
    i64 lead = (int_end - int_start) - 1 - first + exponent + exponent_shift;

    // value = d1.d2d3... x 10^lead, so beyond these bounds the result is
    // settled without reading the digits (and the exponent text stays short).
    const double huge = std::bit_cast<double>(EXPONENT_MASK);
    if (lead > 310) return negative ? -huge : huge;
    if (lead < -330) return negative ? -0.0 : 0.0;

    // Canonical text "d.ddd...e<lead>" for the exact reader.
    i64 count = last - first + 1;
    size_t size = static_cast<size_t>(count) + 16;
    char local[400];
    std::unique_ptr<char[]> heap;
    char* text = local;
    if (size > sizeof local) {
        heap.reset(new char[size]);
        text = heap.get();
    }
    char* o = text;
    *o++ = digit_at(first);
    *o++ = '.';
    for (i64 i = first + 1; i <= last; i++) *o++ = digit_at(i);
    *o++ = 'e';
    o = std::to_chars(o, text + size, lead).ptr;

    double value = 0;
    std::from_chars_result r = std::from_chars(text, o, value, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range) value = lead > 0 ? huge : 0.0;
    return negative ? -value : value;
}

namespace {

// Digit strings without leading zeros ("" is zero), compared and combined as
// unsigned integers.
bool digits_less(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::string digits_add(const std::string& a, const std::string& b) {
    std::string out;
    i32 carry = 0;
    for (size_t i = 0; i < a.size() || i < b.size() || carry; i++) {
        i32 d = carry + (i < a.size() ? a[a.size() - 1 - i] - '0' : 0) + (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
        out.push_back(static_cast<char>('0' + d % 10));
        carry = d / 10;
    }
    return {out.rbegin(), out.rend()};
}

// a - b with a >= b.
std::string digits_subtract(const std::string& a, const std::string& b) {
    std::string out;
    i32 borrow = 0;
    for (size_t i = 0; i < a.size(); i++) {
        i32 d = (a[a.size() - 1 - i] - '0') - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
        borrow = d < 0;
        out.push_back(static_cast<char>('0' + d + (borrow ? 10 : 0)));
    }
    while (!out.empty() && out.back() == '0') out.pop_back();
    return {out.rbegin(), out.rend()};
}

std::string strip_zeros(std::string s) {
    size_t n = s.find_first_not_of('0');
    return n == std::string::npos ? std::string() : s.substr(n);
}

}  // namespace

std::string add_decimal(i64 whole, std::string_view decimal, bool subtract) {
    size_t dot = decimal.find('.');
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : decimal.substr(dot + 1);
    // Both as integers counted in units of the fraction's last digit.
    std::string scaled = whole == 0 ? std::string() : std::to_string(whole < 0 ? 0 - static_cast<u64>(whole) : static_cast<u64>(whole));
    if (!scaled.empty()) scaled.append(fraction.size(), '0');
    std::string other = strip_zeros(std::string(decimal.substr(0, dot)) + std::string(fraction));
    bool whole_negative = whole < 0;
    std::string sum;
    bool negative;
    if (whole_negative == subtract) {
        sum = digits_add(scaled, other);
        negative = whole_negative;
    } else if (digits_less(scaled, other)) {
        sum = digits_subtract(other, scaled);
        negative = subtract;
    } else {
        sum = digits_subtract(scaled, other);
        negative = whole_negative;
    }
    if (sum.size() <= fraction.size()) sum.insert(0, fraction.size() + 1 - sum.size(), '0');
    if (!fraction.empty()) sum.insert(sum.size() - fraction.size(), 1, '.');
    if (negative) sum.insert(0, 1, '-');
    return sum;
}

}  // namespace zav::dtoa
