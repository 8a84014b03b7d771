// Operating-system services over POSIX.
#include "runtime/platform/platform.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <pthread.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" void* __libc_stack_end;

#include "runtime/console_output.h"
#include "runtime/rt.h"

namespace zav::platform {

// Without reading the process's memory map (about a tenth of a millisecond
// at every start): the stack's mapping ends just past the program's file
// name, the last string the kernel puts on it, and the size limit counts
// from there.
bool main_thread_stack(const char** low, size_t* size) {
    if (getpid() != static_cast<pid_t>(syscall(SYS_gettid))) return false;
    rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > (rlim_t(256) << 20))
        return false;
    const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (!name) return false;
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t here = reinterpret_cast<uintptr_t>(__libc_stack_end);
    // The name is followed by one null pointer, then the mapping's end.
    uintptr_t to = (reinterpret_cast<uintptr_t>(name) + std::strlen(name) + 1 + sizeof(void*) + page - 1) & ~(page - 1);
    uintptr_t top = (here & ~(page - 1)) + page;
    if (!here || to < top || to - top > rl.rlim_cur) return false;
    size_t bytes = (static_cast<size_t>(rl.rlim_cur - (to - top)) / page) * page;
    if (!bytes || bytes > top) return false;
    *low = reinterpret_cast<const char*>(top - bytes);
    *size = bytes;
    return true;
}

bool thread_stack(const char** low, size_t* size) {
    if (main_thread_stack(low, size)) return true;
    return library_thread_stack(low, size);
}

bool library_thread_stack(const char** low, size_t* size) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* addr = nullptr;
    size_t bytes = 0;
    bool ok = pthread_attr_getstack(&attr, &addr, &bytes) == 0 && addr && bytes;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    *low = static_cast<const char*>(addr);
    *size = bytes;
    return true;
}

char* get_current_dir(u32* length) {
    size_t size = 256;
    for (;;) {
        auto* buffer = static_cast<char*>(rt::allocate(size));
        if (getcwd(buffer, size)) {
            if (length) *length = static_cast<u32>(std::strlen(buffer));
            return buffer;
        }
        rt::free(buffer);
        if (errno != ERANGE || size >= (size_t(1) << 24)) break;
        size *= 2;
    }
    if (length) *length = 0;
    return nullptr;
}

bool set_current_dir(const char* path) { return path && chdir(path) == 0; }

bool create_dir(const char* path) { return ::mkdir(path, 0777) == 0; }

bool exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool set_env(const char* name, const char* value) {
    if (!name) return false;
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

u32 get_env(const char* name, char* buffer, u32 size) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value) return 0;
    size_t n = std::strlen(value);
    if (n >= 0xFFFFFFFF) return 0;  // cannot be described in 32 bits
    if (!buffer || size < n + 1) return static_cast<u32>(n + 1);
    std::memcpy(buffer, value, n + 1);
    return static_cast<u32>(n);
}

std::vector<std::pair<std::string, std::string>> list_env() {
    std::vector<std::pair<std::string, std::string>> entries;
    for (char** e = environ; e && *e; e++) {
        std::string entry(*e);
        size_t eq = entry.find('=', 1);
        if (eq == std::string::npos) entries.emplace_back(entry, std::string());
        else entries.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return entries;
}

std::string home_folder() {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
        passwd entry{}, *found = nullptr;
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && *found->pw_dir)
            home = found->pw_dir;
        else
            home = "/tmp/zav-" + std::to_string(::geteuid());
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home == "/") home.clear();  // root's home: the folders go under "/" itself
    return home;
}

bool own_or_absent(const char* path) {
    // A final "/" would make lstat follow a link.
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return errno == ENOENT;
    return !S_ISLNK(st.st_mode) && st.st_uid == ::geteuid();
}

u32 sleep_milliseconds(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return 1;  // also NaN
    if (ms >= 4294967295.0) return 0xFFFFFFFF;
    return static_cast<u32>(ms);
}

void sleep(double seconds) {
    u32 ms = sleep_milliseconds(seconds);
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

double get_time(bool precise) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm t{};
    gmtime_r(&now.tv_sec, &t);
    double seconds = t.tm_hour * 3600.0 + t.tm_min * 60.0 + t.tm_sec;
    if (precise) seconds += static_cast<double>(now.tv_nsec / 100 * 100) / 1e9;
    return seconds;
}

u32 zone_of(i32 minutes_east) {
    // The sign belongs to the whole offset: half an hour west is west too.
    u32 west = minutes_east < 0 ? 0x40 : 0;
    u32 magnitude = static_cast<u32>(minutes_east < 0 ? -minutes_east : minutes_east);
    return west | (((magnitude / 60) & 0xF) << 2) | ((magnitude % 60 / 15) & 3);
}

Now get_now(bool utc, bool precise) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm t{};
    // The zone follows TZ as the script sets it (localtime_r alone would not notice).
    if (!utc) tzset();
    if (utc) gmtime_r(&now.tv_sec, &t); else localtime_r(&now.tv_sec, &t);
    Now n;
    n.year = t.tm_year + 1900;
    n.month = t.tm_mon + 1;
    n.day = t.tm_mday;
    n.seconds = t.tm_hour * 3600.0 + t.tm_min * 60.0 + t.tm_sec;
    if (precise) n.seconds += static_cast<double>(now.tv_nsec / 100 * 100) / 1e9;
    n.zone = utc ? 0 : zone_of(static_cast<i32>(t.tm_gmtoff / 60));
    return n;
}

u32 get_date(bool utc) {
    time_t now = std::time(nullptr);
    tm t{};
    if (utc) gmtime_r(&now, &t); else localtime_r(&now, &t);
    u32 zone = utc ? 0 : zone_of(static_cast<i32>(t.tm_gmtoff / 60));
    return (static_cast<u32>(t.tm_year + 1900) << 17) | (static_cast<u32>(t.tm_mon + 1) << 12) |
           (static_cast<u32>(t.tm_mday) << 7) | zone;
}

void init() { console::output_init(); }

}  // namespace zav::platform
