// Thin operating-system services: current directory, environment, time,
// date, sleep, and the platform step of start-up.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "runtime/common.h"

namespace zav::platform {

// The current directory as UTF-8 in a new low-level heap block (the caller
// frees it with rt::free) and its length without the NUL; null and 0 when it
// cannot be read.
char* get_current_dir(u32* length);
// True on success.
bool set_current_dir(const char* path);
// Creates one directory (its parent must exist). True on success.
bool create_dir(const char* path);
// Whether a file or directory is found at the path.
bool exists(const char* path);
// A null value removes the variable. True on success.
bool set_env(const char* name, const char* value);
// Copies the value with its NUL into buffer and returns its length without
// the NUL; when buffer is null or smaller than that, returns the size needed
// with the NUL; 0 when the variable does not exist.
u32 get_env(const char* name, char* buffer, u32 size);
// Every environment variable as {name, value}, split at the first "=" that
// is not the entry's first character.
std::vector<std::pair<std::string, std::string>> list_env();

// The user's home folder, without a final "/": HOME when it is set and not
// empty, else the password database's entry for this user, else a folder of
// this user's own under /tmp ("/tmp/zav-UID"), never a folder shared by all.
std::string home_folder();
// True when nothing is at the path, or what is there is no symbolic link and
// belongs to this process's user: a settings file may be written there
// without reaching through a link or into another user's folder.
bool own_or_absent(const char* path);

// Whole milliseconds slept for `seconds`: at least 1 (also for negative or
// NaN), at most 0xFFFFFFFF.
u32 sleep_milliseconds(double seconds);
void sleep(double seconds);
// UTC time of day in seconds; `precise` adds the fraction of the second
// (to 100 ns).
double get_time(bool precise);
// The packed date: year << 17 | month << 12 | day << 7 | zone; the zone is 0
// with `utc`, else the local offset (see zone_of).
u32 get_date(bool utc);
// 7-bit zone of an offset in minutes east of UTC: hours in bits 2-5 (bit 6
// set when west of UTC, bits 2-5 then the magnitude), quarter hours in bits 0-1.
u32 zone_of(i32 minutes_east);
// Date, time of day and zone from one reading of the clock (two readings
// could straddle midnight): local with its zone, or UTC with zone 0.
struct Now {
    i32 year, month, day;
    double seconds;  // of the day, whole unless precise (then to 100 ns)
    u32 zone;
};
Now get_now(bool utc, bool precise);

// The calling thread's stack: its lowest usable address and its size in
// bytes (for the main thread, as far as its size limit lets it grow). False
// when it cannot be told.
bool thread_stack(const char** low, size_t* size);
// The same as the C library reports it (slower for the main thread).
bool library_thread_stack(const char** low, size_t* size);
// The main thread's stack as the C library would report it; false on another
// thread or when it cannot be told (no finite size limit).
bool main_thread_stack(const char** low, size_t* size);

// Platform step of start-up: console output detection.
void init();

}  // namespace zav::platform
