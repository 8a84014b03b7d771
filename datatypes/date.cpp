// date!: calendar dates with optional time and zone; day numbers, fields,
// arithmetic and the text form.
#include "datatypes/date.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/system_object.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"

namespace zav::date {

namespace {

constexpr double DAY = 86400.0;

i32 floor_div(i64 a, i64 b) { return static_cast<i32>(a / b - ((a % b != 0) && ((a < 0) != (b < 0)))); }
i32 floor_mod(i64 a, i64 b) {
    i64 m = a % b;
    return static_cast<i32>(m < 0 ? m + b : m);
}

double time_of(const Cell* c) { return cell_float(c); }

// Offset of the zone bits in seconds.
double zone_seconds(u32 zone) {
    double s = ((zone >> 2) & 15) * 3600.0 + (zone & 3) * 900.0;
    return (zone & ZONE_NEGATIVE) ? -s : s;
}

[[noreturn]] void out_of_range(i32 v) {
    Cell c;
    fire("script", "out-of-range", integer::make_at(&c, v));
}

u32 pack(i32 year, i32 month, i32 day, bool has_time, u32 zone) {
    if (year < YEAR_MIN || year > YEAR_MAX) out_of_range(year);
    return (static_cast<u32>(year) << 17) | static_cast<u32>(month) << 12 | static_cast<u32>(day) << 7 |
           (has_time ? HAS_TIME : 0) | (zone & ZONE_MASK);
}

i32 days_of(u32 d) { return date_to_days(year_of(d), static_cast<i32>(month_of(d)), static_cast<i32>(day_of(d))); }

// Writes the date for local day number `days` and UTC time `t` after normalising.
Cell* store(Cell* cell, i32 days, double t, bool has_time, u32 zone) {
    // A date without time has no instant to keep: its day stays.
    if (has_time) normalise_time(&days, &t, zone);
    i32 y, m, d;
    days_to_date(days, &y, &m, &d);
    make_cell(cell, TYPE_DATE, pack(y, m, d, has_time, zone));
    set_cell_float(cell, has_time ? t : 0.0);
    return cell;
}

i32 jan1_of(u32 d) { return date_to_days(year_of(d), 1, 1); }

i32 iso_week1_start(i32 jan1) {
    i32 w = floor_mod(jan1 + 2, 7);
    return jan1 - w + (w >= 4 ? 7 : 0);
}

i32 weekday_of(i32 days) { return floor_mod(i64(days) + 2, 7) + 1; }

const char* const field_names[] = {"date",   "year",   "month",   "day",      "zone",     "time", "hour",
                                   "minute", "second", "weekday", "yearday",  "timezone", "week", "isoweek"};

// Field index 1-14 of a selector, 0 when it names none.
i32 field_of(const Cell* element) {
    u32 t = TYPE_OF(element);
    if (t == TYPE_INTEGER) {
        i32 n = integer::get(element);
        return n >= 1 && n <= 14 ? n : 0;
    }
    if (!word::any_word_q(t)) return 0;
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    if (sym == symbol::resolve(symbol::make("julian"))) return 11;
    for (i32 i = 0; i < 14; i++)
        if (sym == symbol::resolve(symbol::make(field_names[i]))) return i + 1;
    return 0;
}

// Raised pending: a conversion's entries return at once (see pend_bad_to_arg).
Cell* bad_to(const Cell* spec) { return error::pend_bad_to_arg(TYPE_DATE, spec); }

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

const char* const month_names[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

}  // namespace

// ---- calendar ------------------------------------------------------------------------

bool leap_year_q(i32 y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

i32 days_in_month(i32 year, i32 month) {
    static const i32 days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && leap_year_q(year)) return 29;
    return month >= 1 && month <= 12 ? days[month - 1] : 0;
}

i32 date_to_days(i32 year, i32 month, i32 day) {
    i64 m = floor_mod(i64(month) + 9, 12);  // March = 0
    i64 y = i64(year) - m / 10;
    return static_cast<i32>(365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400) + (306 * m + 5) / 10 +
                            (day - 1));
}

void days_to_date(i32 days, i32* year, i32* month, i32* day) {
    i64 n = days;
    i64 y = static_cast<i64>(std::floor((10000.0 * double(n) + 14780.0) / 3652425.0));
    auto start = [](i64 yy) { return 365 * yy + floor_div(yy, 4) - floor_div(yy, 100) + floor_div(yy, 400); };
    i64 r = n - start(y);
    if (r < 0) {
        y--;
        r = n - start(y);
    }
    i64 mi = (100 * r + 52) / 3060;
    *month = static_cast<i32>((mi + 2) % 12 + 1);
    *year = static_cast<i32>(y + (mi + 2) / 12);
    *day = static_cast<i32>(r - (306 * mi + 5) / 10 + 1);
}

u32 zone_bits(i32 hours, i32 minutes) {
    bool negative = hours < 0 || (hours == 0 && minutes < 0);
    i32 h = std::abs(hours), q = std::abs(minutes) / 15;
    if (h > 15 || q > 3) out_of_range(hours);
    return (negative && (h || q) ? ZONE_NEGATIVE : 0) | static_cast<u32>(h) << 2 | static_cast<u32>(q);
}

void normalise_time(i32* days, double* seconds, u32 zone) {
    double z = zone_seconds(zone) / 3600.0;
    double t = *seconds;
    i64 carry = static_cast<i64>(std::trunc(t / 3600.0 + z)) / 24;
    t -= double(carry) * DAY;
    i64 n = *days + carry;
    // The local time t + z lies in [0, DAY): compared without rounding the
    // sum, so that a hair before midnight stays in its own day.
    double zs = zone_seconds(zone);
    if (t < -zs) {
        t += DAY;
        n--;
    }
    // Also when a hair before midnight rounded up to a whole day on the way.
    if (t >= DAY - zs) {
        t -= DAY;
        n++;
    }
    if (n < INT32_MIN || n > INT32_MAX) out_of_range(static_cast<i32>(carry));
    *days = static_cast<i32>(n);
    *seconds = t;
}

Cell* make_from_parts(Cell* cell, i32 year, i32 month, i32 day, bool has_time, double local_seconds, u32 zone) {
    i32 days = date_to_days(year, month, 1) + day - 1;
    if (!has_time) return store(cell, days, 0.0, false, zone);
    return store(cell, days, local_seconds - zone_seconds(zone), true, zone);
}

Cell* make_from_utc(Cell* cell, i32 year, i32 month, i32 day, double utc_seconds, u32 zone) {
    return store(cell, date_to_days(year, month, 1) + day - 1, utc_seconds, true, zone);
}

double zone_offset(u32 zone) { return zone_seconds(zone); }

Cell* make_from_hms(Cell* cell, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds) {
    double t = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
    return make_from_parts(cell, year, month, day, true, t, 0);
}

i32 get_yearday(u32 packed) { return days_of(packed) - jan1_of(packed) + 1; }

void set_week_day(Cell* date, i32 week, i32 weekday) {
    u32 d = date->data1;
    i32 n = iso_week1_start(jan1_of(d)) + 7 * (week - 1) + weekday - 1;
    store(date, n, time_of(date), d & HAS_TIME, d & ZONE_MASK);
}

void set_yearday(Cell* date, i32 yearday) {
    u32 d = date->data1;
    store(date, jan1_of(d) + yearday - 1, time_of(date), d & HAS_TIME, d & ZONE_MASK);
}

// ---- fields ------------------------------------------------------------------------

Cell* get_field(Cell* date, i32 field) {
    u32 d = date->data1;
    bool has_time = d & HAS_TIME;
    double z = zone_seconds(d & ZONE_MASK);
    double local = time_of(date) + z;
    i32 days = days_of(d);
    switch (field) {
        case 1: {
            Cell* c = make_cell(stack::push_star(), TYPE_DATE, d & ~(HAS_TIME | ZONE_MASK));
            set_cell_float(c, 0.0);
            return c;
        }
        case 2: return integer::push(year_of(d));
        case 3: return integer::push(static_cast<i32>(month_of(d)));
        case 4: return integer::push(static_cast<i32>(day_of(d)));
        case 5:
        case 12:
            if (!has_time) return make_cell(stack::push_star(), TYPE_NONE);
            return time::push(z);
        case 6:
            if (!has_time) return make_cell(stack::push_star(), TYPE_NONE);
            return time::push(local);
        case 7: return integer::push(time::get_hours(local));
        case 8: return integer::push(time::get_minutes(local));
        case 9: return float_::push(std::fmod(local, 60.0));
        case 10: return integer::push(weekday_of(days));
        case 11: return integer::push(days - jan1_of(d) + 1);
        case 13: {
            i32 jan1 = jan1_of(d);
            i32 e = floor_mod(i64(jan1) + 3, 7), yd = days - jan1 + 1;
            return integer::push(yd > 7 - e ? (yd + e - 1) / 7 + 1 : 1);
        }
        default: {
            i32 jan1 = jan1_of(d);
            i32 s = iso_week1_start(jan1);
            i32 week;
            if (days < s) {
                i32 wd = weekday_of(jan1);
                week = wd == 5 ? 53 : wd == 6 ? (leap_year_q(year_of(d) - 1) ? 53 : 52) : 52;
            } else {
                i32 next = iso_week1_start(date_to_days(year_of(d) + 1, 1, 1));
                week = days < next ? (days - s) / 7 + 1 : 1;
            }
            return integer::push(week);
        }
    }
}

namespace {

void need(const Cell* value, u32 type) {
    if (TYPE_OF(value) != type) {
        Cell v = *value;
        fire("script", "invalid-arg", &v);
    }
}

// Zone bits of an integer (hours) or time! value.
u32 zone_of_value(const Cell* value) {
    if (TYPE_OF(value) == TYPE_INTEGER) return zone_bits(integer::get(value), 0);
    if (TYPE_OF(value) == TYPE_TIME) {
        double s = cell_float(value);
        if (!(std::fabs(s) < 16 * 3600.0)) out_of_range(static_cast<i32>(std::fmax(-1e9, std::fmin(1e9, s / 3600))));
        i32 h = time::get_hours(s), m = time::get_minutes(s);
        return zone_bits(s < 0 && h == 0 ? 0 : h, s < 0 ? -m : m);
    }
    Cell v = *value;
    fire("script", "invalid-arg", &v);
}

void set_field(Cell* date, i32 field, Cell* value) {
    u32 d = date->data1;
    bool has_time = d & HAS_TIME;
    u32 zone = d & ZONE_MASK;
    double t = time_of(date);
    i32 y = year_of(d), m = static_cast<i32>(month_of(d)), dd = static_cast<i32>(day_of(d));
    i32 days = days_of(d);
    auto int_value = [&]() {
        need(value, TYPE_INTEGER);
        return integer::get(value);
    };
    switch (field) {
        case 1: {
            need(value, TYPE_DATE);
            u32 o = value->data1;
            store(date, days_of(o), t, has_time, zone);
            return;
        }
        case 2: {
            i32 v = int_value();
            if (v < YEAR_MIN || v > YEAR_MAX) out_of_range(v);
            store(date, date_to_days(v, m, dd), t, has_time, zone);
            return;
        }
        case 3: {
            i64 v = int_value();
            i32 carry = floor_div(v - 1, 12);
            i32 month = floor_mod(v - 1, 12) + 1;
            i64 year = i64(y) + carry;
            if (year < YEAR_MIN || year > YEAR_MAX) out_of_range(static_cast<i32>(v));
            store(date, date_to_days(static_cast<i32>(year), month, dd), t, has_time, zone);
            return;
        }
        case 4: store(date, date_to_days(y, m, 1) - 1 + int_value(), t, has_time, zone); return;
        case 5:
        case 12: {
            u32 nz = zone_of_value(value);
            // zone keeps the clock time, timezone the instant.
            if (field == 5) t = t + zone_seconds(zone) - zone_seconds(nz);
            store(date, days, t, true, nz);
            return;
        }
        case 6:
            if (TYPE_OF(value) == TYPE_NONE) {
                store(date, days, 0.0, false, zone);
                return;
            }
            need(value, TYPE_TIME);
            store(date, days, cell_float(value) - zone_seconds(zone), true, zone);
            return;
        case 7:
        case 8:
        case 9: {
            Cell local;
            time::make_at(&local, has_time ? t + zone_seconds(zone) : 0.0);
            Cell element;
            integer::make_at(&element, field - 6);
            time::eval_path(&local, &element, value, &element, nullptr, nullptr, 0, false, false, false);
            store(date, days, cell_float(&local) - zone_seconds(zone), true, zone);
            return;
        }
        case 10: store(date, days - floor_mod(i64(days) + 2, 7) + int_value() - 1, t, has_time, zone); return;
        case 11: store(date, jan1_of(d) + int_value() - 1, t, has_time, zone); return;
        case 13: {
            i32 v = int_value();
            i32 jan1 = jan1_of(d);
            store(date, v > 1 ? jan1 + 7 * v - floor_mod(i64(jan1) + 3, 7) - 7 : jan1, t, has_time, zone);
            return;
        }
        default: {
            i32 v = int_value();
            store(date, iso_week1_start(jan1_of(d)) + 7 * (v - 1), t, has_time, zone);
            return;
        }
    }
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    i32 field = field_of(element);
    if (!field) fire("script", "invalid-path", path, element);
    if (value) {
        set_field(parent, field, value);
        return value;
    }
    return get_field(parent, field);
}

Cell* pick(Cell* value, i32, Cell* boxed) {
    i32 field = field_of(boxed);
    if (!field) fire("script", "out-of-range", boxed);
    return get_field(value, field);
}

}  // namespace

// ---- arithmetic --------------------------------------------------------------------

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    u32 d = left->data1;
    bool has_time = d & HAS_TIME;
    u32 zone = d & ZONE_MASK;
    i32 days = days_of(d);
    double t = time_of(left);
    if (op != integer::OP_ADD && op != integer::OP_SUB) {
        Cell w, dt;
        static const char* const names[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
        fire("script", "not-related", copy_cell(word::load(op >= 0 && op < 8 ? names[op] : "add"), &w),
             datatype::make_at(&dt, TYPE_DATE));
    }
    i64 sign = op == integer::OP_SUB ? -1 : 1;
    switch (TYPE_OF(right)) {
        case TYPE_INTEGER: {
            i64 n = days + sign * integer::get(right);
            if (n < INT32_MIN / 2 || n > INT32_MAX / 2) out_of_range(integer::get(right));
            return store(left, static_cast<i32>(n), t, has_time, zone);
        }
        case TYPE_TIME: {
            double s = cell_float(right);
            if (!std::isfinite(s) || std::fabs(s) > 1e15) out_of_range(0);
            return store(left, days, t + double(sign) * s, true, zone);
        }
        case TYPE_DATE: {
            if (op == integer::OP_ADD) {
                Cell w, dt;
                fire("script", "not-related", copy_cell(word::load("add"), &w), datatype::make_at(&dt, TYPE_DATE));
            }
            return integer::make_at(left, days - days_of(right->data1));
        }
        default:
            invalid_type(TYPE_OF(right));
    }
}

i32 to_epoch(Cell* value) {
    i64 s = i64(days_of(value->data1) - date_to_days(1970, 1, 1)) * 86400 +
            static_cast<i64>(std::floor(time_of(value) + 0.5));
    if (s < INT32_MIN || s > INT32_MAX) {
        Cell dt;
        fire("script", "type-limit", datatype::make_at(&dt, TYPE_INTEGER));
    }
    return static_cast<i32>(s);
}

Cell* difference(Cell* date1, Cell* date2) {
    double s = double(days_of(date1->data1) - days_of(date2->data1)) * DAY + (time_of(date1) - time_of(date2));
    return time::make_at(date1, s);
}

// ---- comparison --------------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_DATE) return -2;
    u32 d1 = value1->data1 & ~(HAS_TIME | ZONE_MASK), d2 = value2->data1 & ~(HAS_TIME | ZONE_MASK);
    double t1 = time_of(value1), t2 = time_of(value2);
    if (op == COMP_STRICT_EQUAL || op == COMP_SAME) {
        u64 b1, b2;
        std::memcpy(&b1, &value1->data2, 8);
        std::memcpy(&b2, &value2->data2, 8);
        if (d1 == d2 && b1 == b2 && (op != COMP_SAME || value1->data1 == value2->data1)) return 0;
    }
    // The instant orders two dates, whatever their zones.
    double i1 = double(days_of(value1->data1)) * DAY + t1, i2 = double(days_of(value2->data1)) * DAY + t2;
    i32 order = i1 < i2 ? -1 : i1 > i2 ? 1 : 0;
    if (op == COMP_STRICT_EQUAL || op == COMP_SAME) return order ? order : 1;
    return order;
}

// ---- text --------------------------------------------------------------------------

namespace {

// The time of an exact text: the local whole seconds (a multiple of 60 within
// the day) and the seconds field, read back by the lexer as whole seconds less
// the zone plus the field, with one rounding.
std::string exact_time(const Cell* value, u32 zone) {
    double t = time_of(value);
    double r = std::fmod(t, 60);
    // A negative remainder is written as 60 + r from the minute before.
    double utc_whole = t - r - (r < 0 ? 60 : 0);
    double whole = utc_whole + zone_seconds(zone);
    if (!(whole >= 0 && whole < DAY)) {
        Cell dt;
        fire("script", "type-limit", datatype::make_at(&dt, TYPE_DATE));
    }
    i64 w = static_cast<i64>(whole);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:", static_cast<long long>(w / 3600), static_cast<long long>(w % 3600 / 60));
    return text + time::exact_seconds(t, utc_whole, r);
}

i32 write(Cell* value, Cell* buffer, i32 part, bool exact) {
    u32 d = value->data1;
    double local = time_of(value) + zone_seconds(d & ZONE_MASK);
    if ((d & HAS_TIME) && !exact &&
        (local >= DAY || (local >= DAY - 60 && time::rounds_to_minute(std::fmod(local, 60))))) {
        // 23:59:59.99999 shows as midnight of the next day, not as a 60th second.
        i32 y, m, day;
        days_to_date(days_of(d) + 1, &y, &m, &day);
        d = pack(y, m, day, true, d & ZONE_MASK);
        local = 0;
    }
    i32 y = year_of(d);
    if (exact && (y < -9999 || y > 9999)) {
        // The lexer reads four digits of year.
        Cell dt;
        fire("script", "type-limit", datatype::make_at(&dt, TYPE_DATE));
    }
    char text[64];
    const char* sep = y < 0 ? "/" : "-";
    u32 m = month_of(d);
    // The month's name comes from the locale (the English names until the
    // system object exists).
    u32 month[3] = {'?', '?', '?'};
    u32 month_len = 3;
    if (m >= 1 && m <= 12) {
        Cell* months = system_object::field({"locale", "months"});
        if (!months) {
            for (u32 i = 0; i < 3; i++) month[i] = static_cast<u8>(month_names[m - 1][i]);
        } else {
            if (TYPE_OF(months) != TYPE_BLOCK || block::zs_length_q(months) < m) fire("script", "invalid-months");
            const Cell* name = block::zs_head(months) + (m - 1);
            if (TYPE_OF(name) != TYPE_STRING) fire("script", "invalid-months");
            month_len = std::min<u32>(3, string::zs_length_q(name));
            for (u32 i = 0; i < month_len; i++) month[i] = string::zs_abs_at(name, series_head(name) + i);
        }
    }
    i32 n = std::snprintf(text, sizeof text, "%u%s", day_of(d), sep);
    string::concatenate_literal(buffer, text);
    for (u32 i = 0; i < month_len; i++) string::append_char(buffer, month[i]);
    part -= n + static_cast<i32>(month_len);
    n = std::snprintf(text, sizeof text, "%s%s%0*d", sep, y < 0 ? "-" : "", std::abs(y) <= 99 ? 4 : 1, std::abs(y));
    string::concatenate_literal(buffer, text);
    part -= n;
    if (d & HAS_TIME) {
        string::concatenate_literal(buffer, "/");
        u32 zone = d & ZONE_MASK;
        if (exact) {
            std::string text = exact_time(value, zone);
            string::concatenate_literal(buffer, text.c_str());
            part -= 1 + static_cast<i32>(text.size());
        } else {
            part = time::serialize(local, buffer, part - 1);
        }
        if (zone & (ZONE_MASK & ~ZONE_NEGATIVE)) {
            n = std::snprintf(text, sizeof text, "%c%02u:%02u", (zone & ZONE_NEGATIVE) ? '-' : '+', (zone >> 2) & 15,
                              (zone & 3) * 15);
            string::concatenate_literal(buffer, text);
            part -= n;
        }
    }
    return part;
}

}  // namespace

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) { return write(value, buffer, part, false); }

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) { return write(value, buffer, part, all); }

// ---- make, to, random ----------------------------------------------------------------

namespace {

bool number_q(const Cell* c) { return TYPE_OF(c) == TYPE_INTEGER || TYPE_OF(c) == TYPE_FLOAT; }
double number_of(const Cell* c) { return TYPE_OF(c) == TYPE_INTEGER ? integer::get(c) : cell_float(c); }

Cell* from_block(Cell* proto, Cell* spec, bool strict) {
    u32 n = block::zs_length_q(spec);
    const Cell* v = block::zs_head(spec);
    if (n < 3 || n > 8) return bad_to(spec);
    for (u32 i = 0; i < 3; i++)
        if (TYPE_OF(v + i) != TYPE_INTEGER) return bad_to(spec);
    i32 day = integer::get(v), month = integer::get(v + 1), year = integer::get(v + 2);
    if (day > 99 && day > year) std::swap(day, year);
    double seconds = 0;
    i32 hour = 0, minute = 0;
    i32 zh = 0, zm = 0;
    u32 i = 3;
    if (i < n) {
        if (TYPE_OF(v + i) == TYPE_TIME) {
            seconds = cell_float(v + i);
            if (!std::isfinite(seconds)) return bad_to(spec);
            hour = static_cast<i32>(std::floor(seconds / 3600));
            minute = static_cast<i32>(std::floor(std::fmod(seconds, 3600) / 60));
            i++;
        } else if (i + 2 < n + 0 && TYPE_OF(v + i) == TYPE_INTEGER && TYPE_OF(v + i + 1) == TYPE_INTEGER &&
                   number_q(v + i + 2)) {
            hour = integer::get(v + i);
            minute = integer::get(v + i + 1);
            seconds = hour * 3600.0 + minute * 60.0 + number_of(v + i + 2);
            if (!std::isfinite(seconds)) return bad_to(spec);
            i += 3;
        } else {
            return bad_to(spec);
        }
        if (i < n) {
            if (TYPE_OF(v + i) == TYPE_TIME && i + 1 == n) {
                double z = cell_float(v + i);
                if (!(std::fabs(z) < 16 * 3600.0)) return bad_to(spec);
                zh = time::get_hours(z);
                zm = time::get_minutes(z) * (z < 0 ? -1 : 1);
                i++;
            } else if (TYPE_OF(v + i) == TYPE_INTEGER) {
                zh = integer::get(v + i++);
                if (i < n) {
                    if (TYPE_OF(v + i) != TYPE_INTEGER) return bad_to(spec);
                    zm = integer::get(v + i++);
                    if (zh < 0) zm = -zm;
                }
            }
            if (i < n) return bad_to(spec);
        }
    }
    if (std::abs(zh) > 15 || std::abs(zm) > 59) return bad_to(spec);
    if (year < YEAR_MIN || year > YEAR_MAX || month < -100000 || month > 100000 || day < -10000000 ||
        day > 10000000)
        return bad_to(spec);
    bool has_time = n > 3;
    // Months beyond 12 carry into years.
    i32 carry = floor_div(i64(month) - 1, 12);
    i32 y = year + carry, mo = floor_mod(i64(month) - 1, 12) + 1;
    if (y < YEAR_MIN || y > YEAR_MAX) return bad_to(spec);
    Cell out;
    make_from_parts(&out, y, mo, day, has_time, seconds, zone_bits(zh, zm));
    if (strict) {
        u32 d = out.data1;
        bool ok = year_of(d) == year && static_cast<i32>(month_of(d)) == month &&
                  static_cast<i32>(day_of(d)) == day && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59;
        if (ok && has_time) {
            double local = time_of(&out) + zone_seconds(d & ZONE_MASK);
            ok = time::get_hours(local) == hour && time::get_minutes(local) == minute;
        }
        if (!ok) return bad_to(spec);
    }
    return copy_cell(&out, proto);
}

Cell* make_or_to(Cell* proto, Cell* spec, bool strict) {
    switch (TYPE_OF(spec)) {
        case TYPE_DATE: return copy_cell(spec, proto);
        case TYPE_BLOCK: case TYPE_PAREN: return from_block(proto, spec, strict);
        case TYPE_INTEGER: {
            i64 s = integer::get(spec);
            i32 days = floor_div(s, 86400);
            double t = floor_mod(s, 86400);
            return store(proto, date_to_days(1970, 1, 1) + days, t, true, 0);
        }
        default:
            return bad_to(spec);
    }
}

Cell* make(Cell* proto, Cell* spec, u32) { return make_or_to(proto, spec, true); }
Cell* to(Cell* proto, Cell* spec, u32) { return make_or_to(proto, spec, false); }

Cell* random_(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1 + static_cast<u32>(static_cast<i64>(std::trunc(time_of(value)))));
        return make_cell(value, TYPE_UNSET);
    }
    u32 d = value->data1;
    i32 days = days_of(d);
    i32 n = days > 0 ? random::int_range(secure, days) - 1 : 0;
    if (!(d & HAS_TIME)) return store(value, n, 0.0, false, d & ZONE_MASK);
    u32 zone = static_cast<u32>(secure ? random::next_secure() : random::next()) & ZONE_MASK;
    if (((zone >> 2) & 15) == 0 && (zone & 3) == 0) zone = 0;
    double steps = (secure ? random::next_secure() : random::next()) % 3600;
    double local = steps * DAY / 3600.0;
    return store(value, n, local - zone_seconds(zone), true, zone);
}

Cell* add_() { return do_math(integer::OP_ADD); }
Cell* subtract_() { return do_math(integer::OP_SUB); }

}  // namespace

void init() {
    datatype::register_type(TYPE_DATE, 0, "date!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random_), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_ADD>(add_), own<ACT_SUBTRACT>(subtract_),
        own<ACT_PICK>(pick),
    });
}

}  // namespace zav::date
