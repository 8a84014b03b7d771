// Exact conversion between 64-bit IEEE floats and decimal text.
#pragma once
#include <string>
#include <string_view>

#include "runtime/common.h"

namespace zav::dtoa {

// Most significant digits float_to_digits can return (the size of its buffer).
constexpr i32 MAX_DIGITS = 30;

// Decimal-point positions at or above this mean the returned text is final
// ("1.#INF", "-1.#INF", "1.#NaN", "0.0", "-0.0") and is not to be laid out.
constexpr i32 POINT_ZERO = 9998;
constexpr i32 POINT_SPECIAL = 9999;

// Decimal digits of `value`: value = 0.d1d2d3... x 10^point, no sign, no point,
// no trailing zeros. precision 0 gives the shortest digits that read back to
// the same double; precision n > 0 at most n significant digits, correctly
// rounded (ties to even); n above MAX_DIGITS counts as MAX_DIGITS. *sign is 1
// for a negative value. The text is NUL-terminated and lives in a static
// buffer valid until the next call.
const char* float_to_digits(double value, i32 precision, i32* point, i32* length, i32* sign);

// The value as NUL-terminated text in a static buffer valid until the next
// call: 123.45, 0.001, 1.5e-8, 1.0e17 (exponent form when the point position
// is above 17 or below -6). A point with no digit after it gets a "0" when
// keep_zero is set and is dropped otherwise. Specials come back as they are.
const char* form_float(double value, i32 precision, bool keep_zero);

// Nearest double of the decimal text [start, end): an optional sign, digits
// with an optional point (at least one digit), an optional exponent "e" or
// "E" with optional sign and at least one digit. exponent_shift is added to
// the decimal exponent (-2 reads a percent as its fraction). A result beyond
// the largest double is an infinity, one below the smallest denormal a zero.
// *error (when given) is 0 on success, -1 when the text is not such a number;
// the result is then NaN. Never reads outside [start, end).
double text_to_float(const char* start, const char* end, i32 exponent_shift, i32* error);

// The exact decimal text of whole + decimal (or whole - decimal when
// `subtract`), where decimal is digits with an optional point and no sign or
// exponent ("59.25", "7", ".5"): a time's whole seconds and its seconds field
// are read as one number with a single rounding, so that any double can be
// written as such a pair and read back unchanged.
std::string add_decimal(i64 whole, std::string_view decimal, bool subtract);

}  // namespace zav::dtoa
