// time!: a duration or time of day as seconds in a 64-bit float (a child of float!).
#include "datatypes/time.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/dtoa.h"

namespace zav::time {

namespace {

// The global word naming an action or argument in an error (copied: the word
// list may move).
Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

// Field number (1 hour, 2 minute, 3 second) of a path element, 0 when it names none.
i32 field_of(const Cell* element) {
    u32 t = TYPE_OF(element);
    if (t == TYPE_INTEGER) {
        i32 n = integer::get(element);
        return n >= 1 && n <= 3 ? n : 0;
    }
    if (!word::any_word_q(t)) return 0;
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    static const char* const names[] = {"hour", "minute", "second"};
    for (i32 i = 0; i < 3; i++)
        if (sym == symbol::resolve(symbol::make(names[i]))) return i + 1;
    return 0;
}

// A new value holding a field: hour and minute as integer!, second as float!.
Cell* push_field(double seconds, i32 field) {
    switch (field) {
        case 1: return integer::push(get_hours(seconds));
        case 2: return integer::push(get_minutes(seconds));
        default: return float_::push(std::fmod(seconds, 60.0));
    }
}

// Rebuilds the time from one new field and the two others; the sign of the
// time follows a new hour, and stays for a new minute or second.
void set_field(Cell* time, i32 field, Cell* value) {
    u32 t = TYPE_OF(value);
    if (!(t == TYPE_INTEGER || (field == 3 && t == TYPE_FLOAT))) fire("script", "invalid-arg", value);
    double seconds = cell_float(time);
    bool negative = std::signbit(seconds);
    double a = std::fabs(seconds);
    double hours = std::trunc(a / 3600), minutes = std::floor(std::fmod(a, 3600) / 60), secs = std::fmod(a, 60);
    double v = t == TYPE_INTEGER ? integer::get(value) : cell_float(value);
    switch (field) {
        case 1:
            if (v != 0) negative = v < 0;
            hours = std::fabs(v);
            break;
        case 2: minutes = v; break;
        default: secs = v; break;
    }
    double magnitude = hours * 3600 + minutes * 60 + secs;
    set_cell_float(time, negative ? -magnitude : magnitude);
}

// The dispatch of add, subtract and multiply: a date! right operand is special.
Cell* arithmetic(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (TYPE_OF(right) == TYPE_DATE) {
        if (op == integer::OP_ADD) {
            // The date goes first.
            Cell tmp = *left;
            *left = *right;
            *right = tmp;
            return date::do_math(op);
        }
        Cell w, t;
        fire("script", "not-related", word_of(&w, op == integer::OP_SUB ? "subtract" : "multiply"),
             datatype::make_at(&t, TYPE_DATE));
    }
    return float_::do_math(op);
}

}  // namespace

Cell* make_at(Cell* cell, double seconds) {
    make_cell(cell, TYPE_TIME);
    set_cell_float(cell, seconds);
    return cell;
}

Cell* push(double seconds) { return make_at(stack::push_star(), seconds); }

Cell* make_in(Cell* parent, double seconds) { return make_at(alloc_at_tail(series_node(parent)), seconds); }

i32 get_hours(double seconds) {
    double h = std::trunc(seconds / 3600);
    // Hours beyond 32 bits cannot be read as an integer field.
    if (!(h >= -2147483648.0 && h <= 2147483647.0)) fire("math", "overflow");
    return static_cast<i32>(h);
}

i32 get_minutes(double seconds) { return static_cast<i32>(std::floor(std::fmod(std::fabs(seconds), 3600) / 60)); }

// Raised pending: a conversion's entries return at once (see pend_bad_to_arg).
Cell* invalid_arg(Cell* value) { return error::pend_bad_to_arg(TYPE_TIME, value); }

namespace {

// The lexer reads at most 15 digits of hours.
constexpr double LARGEST_TEXT = 1e15 * 3600;

// The shortest digits of x (finite, above 0) laid out without an exponent.
std::string positional(double x) {
    i32 point, length, sign;
    const char* digits = dtoa::float_to_digits(x, 0, &point, &length, &sign);
    if (point <= 0) return "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= length) return digits + std::string(static_cast<size_t>(point - length), '0');
    std::string text(digits, static_cast<size_t>(point));
    return text + "." + (digits + point);
}

const char* short_seconds(double s) { return s < 0.000001 ? "00" : float_::form_float(s, float_::FORM_TIME); }

}  // namespace

std::string exact_seconds(double value, double whole, double remainder) {
    // Digits before the point, or -1 when the text is not within [0, 60).
    auto integer_digits = [](const std::string& text) -> i32 {
        size_t point = text.find('.');
        std::string integer = text.substr(0, point);
        if (integer.empty() || integer[0] == '-' || integer.size() > 2 || (integer.size() == 2 && integer >= "60")) return -1;
        return static_cast<i32>(integer.size());
    };
    std::string text = value == 0 ? "0"
                                  : dtoa::add_decimal(-static_cast<i64>(whole), positional(std::fabs(value)), value < 0);
    if (integer_digits(text) < 0)
        text = remainder == 0 ? "0" : remainder > 0 ? positional(remainder) : dtoa::add_decimal(60, positional(-remainder), true);
    if (integer_digits(text) < 2) text.insert(0, 1, '0');
    return text;
}

bool rounds_to_minute(double s) { return std::strcmp(short_seconds(s), "60") == 0; }

i32 serialize(double seconds, Cell* buffer, i32 part, bool exact) {
    if (!std::isfinite(seconds) || (exact && std::fabs(seconds) >= LARGEST_TEXT)) {
        // The text cannot hold it: an exact form would load as something else.
        if (exact) {
            Cell t;
            fire("script", "type-limit", datatype::make_at(&t, TYPE_TIME));
        }
        // Only arithmetic makes these; show the float text.
        const char* special = float_::form_float(seconds, float_::FORM_FLOAT);
        string::concatenate_literal(buffer, special);
        return part - static_cast<i32>(std::strlen(special));
    }
    double magnitude = std::fabs(seconds);
    double s = std::fmod(magnitude, 60);
    double whole = magnitude - s;  // exact: a multiple of 60
    std::string field;
    if (exact) {
        field = exact_seconds(magnitude, whole, s);
    } else {
        const char* digits = short_seconds(s);
        // 59.99999 shows as the next minute, not as a 60th second.
        if (std::strcmp(digits, "60") == 0) {
            whole += 60;
            digits = "00";
        }
        field = digits[1] == 0 || digits[1] == '.' ? std::string("0") + digits : digits;
    }
    char text[400];
    const char* sign = std::signbit(seconds) ? "-" : "";
    i32 n;
    if (whole < 9.2e18) {
        // In integers, so that the hours of the largest exact texts are exact too.
        u64 w = static_cast<u64>(whole);
        n = std::snprintf(text, sizeof text, "%s%llu:%02llu:", sign, static_cast<unsigned long long>(w / 3600),
                          static_cast<unsigned long long>(w % 3600 / 60));
    } else {
        n = std::snprintf(text, sizeof text, "%s%.0f:%02.0f:", sign, std::floor(whole / 3600),
                          std::floor(std::fmod(whole, 3600) / 60));
    }
    string::concatenate_literal(buffer, text);
    string::concatenate_literal(buffer, field.c_str());
    return part - n - static_cast<i32>(field.size());
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) { return serialize(cell_float(value), buffer, part); }

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    return serialize(cell_float(value), buffer, part, all);
}

Cell* make(Cell* proto, Cell* spec, u32) {
    u32 t = TYPE_OF(spec);
    switch (t) {
        case TYPE_TIME:
            return copy_cell(spec, proto);
        case TYPE_INTEGER:
            return make_at(proto, integer::get(spec));
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            return make_at(proto, cell_float(spec));
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            // [hours minutes seconds]: only the hours may be negative.
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 len = b->length(), head = series_head(spec);
            u32 count = head < len ? len - head : 0;
            if (count > 3) return invalid_arg(spec);
            const Cell* items = reinterpret_cast<const Cell*>(b->head()) + head;
            double parts[3] = {0, 0, 0};
            for (u32 i = 0; i < count; i++) {
                u32 it = TYPE_OF(items + i);
                if (it == TYPE_INTEGER) parts[i] = integer::get(items + i);
                else if (i == 2 && it == TYPE_FLOAT) parts[i] = cell_float(items + i);
                else return invalid_arg(spec);
                if (i > 0 && parts[i] < 0) return invalid_arg(spec);
            }
            bool negative = parts[0] < 0;
            double magnitude = std::fabs(parts[0]) * 3600 + parts[1] * 60 + parts[2];
            return make_at(proto, negative ? -magnitude : magnitude);
        }
        default:
            if (string::any_string_q(t)) {
                Cell loaded;
                if (!load_value(spec, &loaded) || TYPE_OF(&loaded) != TYPE_TIME) return invalid_arg(spec);
                return copy_cell(&loaded, proto);
            }
            return invalid_arg(spec);
    }
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    i32 field = field_of(element);
    if (!field) fire("script", "invalid-path", path, element);
    if (value) {
        set_field(parent, field, value);
        return value;
    }
    return push_field(cell_float(parent), field);
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
    if (index < 1 || index > 3) fire("script", "out-of-range", boxed);
    return push_field(cell_float(value), index);
}

Cell* add() { return arithmetic(integer::OP_ADD); }
Cell* subtract() { return arithmetic(integer::OP_SUB); }
Cell* multiply() { return arithmetic(integer::OP_MUL); }
Cell* divide() { return float_::do_math(integer::OP_DIV); }

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil) {
    return float_::do_round(value, scale, even, down, half_down, floor, ceil, half_ceil, true);
}

namespace {
// The whole seconds within the minute, nudged away from zero so that 3.9999999 counts as 4.
i32 whole_seconds(Cell* value) {
    double s = cell_float(value);
    s += s < 0 ? -0.000001 : 0.000001;
    return static_cast<i32>(std::trunc(std::fmod(s, 60)));
}
}  // namespace

bool even_q(Cell* value) { return (whole_seconds(value) & 1) == 0; }
bool odd_q(Cell* value) { return (whole_seconds(value) & 1) != 0; }

void init() {
    datatype::register_type(TYPE_TIME, TYPE_FLOAT, "time!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), inherit<ACT_COMPARE>(), inherit<ACT_ABSOLUTE>(), own<ACT_ADD>(add),
        own<ACT_DIVIDE>(divide), own<ACT_MULTIPLY>(multiply), inherit<ACT_NEGATE>(), inherit<ACT_REMAINDER>(),
        own<ACT_ROUND>(round), own<ACT_SUBTRACT>(subtract), own<ACT_EVEN_Q>(even_q), own<ACT_ODD_Q>(odd_q),
        own<ACT_PICK>(pick),
    });
}

}  // namespace zav::time
