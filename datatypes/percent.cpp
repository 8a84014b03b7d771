// percent!: float! values shown as percentages.
#include "datatypes/percent.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::percent {

Cell* make_at(Cell* cell, double value) {
    make_cell(cell, TYPE_PERCENT);
    set_cell_float(cell, value);
    return cell;
}
Cell* push(double value) { return make_at(stack::push_star(), value); }
Cell* make_in(Cell* block, double value) { return make_at(alloc_at_tail(series_node(block)), value); }
Cell* box(double value) { return make_at(stack::arguments, value); }

namespace {

// The fraction's own shortest digits with the point moved two places: the
// text reads back (divided by 100) to the very same double, which the text
// of the multiplied value would not always do.
const char* own_digits_text(double d) {
    static char text[64];
    if (!std::isfinite(d) || d == 0) return float_::form_float(d * 100.0, float_::FORM_PERCENT, true);
    i32 point, length, sign;
    const char* digits = dtoa::float_to_digits(d, 0, &point, &length, &sign);
    point += 2;  // value = 0.digits x 10^point, in percent
    std::string t = sign ? "-" : "";
    if (point > 21 || point < -5) {
        t += digits[0];
        t += '.';
        t += length > 1 ? std::string(digits + 1, static_cast<size_t>(length - 1)) : "0";
        t += "e" + std::to_string(point - 1);
    } else if (point <= 0) {
        t += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    } else if (point >= length) {
        t += std::string(digits, static_cast<size_t>(length)) + std::string(static_cast<size_t>(point - length), '0') + ".0";
    } else {
        t += std::string(digits, static_cast<size_t>(point)) + "." + (digits + point);
    }
    t += '%';
    std::snprintf(text, sizeof text, "%s", t.c_str());
    return text;
}

i32 write(Cell* value, Cell* buffer, i32 part, bool exact) {
    double d = cell_float(value);
    // A fraction above about 1.8e306 has no finite hundredfold: its own digits then.
    bool own_digits = exact || !float_::pretty_print_q || (std::isfinite(d) && !std::isfinite(d * 100.0));
    const char* text = exact                ? exact_text(d)
                       : own_digits         ? own_digits_text(d)
                                            : float_::form_float(d * 100.0, float_::FORM_PERCENT, false);
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}
}  // namespace

const char* exact_text(double fraction) {
    if (!std::isfinite(fraction)) {
        // "1.#INF" would load as a float!.
        Cell t;
        fire("script", "type-limit", datatype::make_at(&t, TYPE_PERCENT));
    }
    return own_digits_text(fraction);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) { return write(value, buffer, part, false); }
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) { return write(value, buffer, part, all); }

void init() {
    datatype::register_type(TYPE_PERCENT, TYPE_FLOAT, "percent!", {
        inherit<ACT_MAKE>(), inherit<ACT_RANDOM>(), inherit<ACT_TO>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        inherit<ACT_COMPARE>(), inherit<ACT_ABSOLUTE>(), inherit<ACT_ADD>(), inherit<ACT_DIVIDE>(),
        inherit<ACT_MULTIPLY>(), inherit<ACT_NEGATE>(), inherit<ACT_POWER>(), inherit<ACT_REMAINDER>(),
        inherit<ACT_ROUND>(), inherit<ACT_SUBTRACT>(), inherit<ACT_EVEN_Q>(), inherit<ACT_ODD_Q>(),
    });
}

}  // namespace zav::percent
