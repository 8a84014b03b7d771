// date!: a calendar date with an optional time of day and zone. Word 1 packs
// the date, words 2-3 hold the time in seconds from midnight UTC of that day.
#pragma once
#include "runtime/cell.h"

namespace zav::date {

constexpr u32 HAS_TIME = 0x10000;
constexpr u32 ZONE_MASK = 0x7F;
constexpr u32 ZONE_NEGATIVE = 0x40;
constexpr i32 YEAR_MIN = -16384, YEAR_MAX = 16383;  // what 15 bits hold

inline i32 year_of(u32 d) { return static_cast<i32>(d) >> 17; }
inline u32 month_of(u32 d) { return (d >> 12) & 15; }
inline u32 day_of(u32 d) { return (d >> 7) & 31; }

// Days since the calendar's origin, and back (floor arithmetic, so negative
// day numbers work too).
i32 date_to_days(i32 year, i32 month, i32 day);
void days_to_date(i32 days, i32* year, i32* month, i32* day);
bool leap_year_q(i32 year);
i32 days_in_month(i32 year, i32 month);
// Zone bits of signed hours and minutes (minutes in 15-minute steps);
// hours beyond 15 raise script/out-of-range.
u32 zone_bits(i32 hours, i32 minutes);

// A date from its parts with a local time (seconds) and a zone; without time
// the has-time flag is clear and the time 0.
Cell* make_from_parts(Cell* cell, i32 year, i32 month, i32 day, bool has_time, double local_seconds, u32 zone);
// A date with time from its parts, the time given in seconds from midnight UTC.
Cell* make_from_utc(Cell* cell, i32 year, i32 month, i32 day, double utc_seconds, u32 zone);
// The offset of zone bits in seconds.
double zone_offset(u32 zone);
// From the platform clock: UTC, with time.
Cell* make_from_hms(Cell* cell, i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds);
// Moves the date to ISO week `week`, weekday `weekday` (1 Monday) of its year.
void set_week_day(Cell* date, i32 week, i32 weekday);
// Moves the date to day `yearday` of its year.
void set_yearday(Cell* date, i32 yearday);
// Field 1-14 as a new value on the stack.
Cell* get_field(Cell* date, i32 field);
i32 get_yearday(u32 packed);
// Normalises seconds of a day for a zone, carrying whole days into *days.
void normalise_time(i32* days, double* seconds, u32 zone);

// Arithmetic worker with the date! in the first argument slot.
Cell* do_math(i32 op);
// The date as seconds since the epoch.
i32 to_epoch(Cell* value);
// The difference of two dates as a time!, left in the first cell.
Cell* difference(Cell* date1, Cell* date2);

i32 compare(Cell* value1, Cell* value2, i32 op);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

void init();

}  // namespace zav::date
