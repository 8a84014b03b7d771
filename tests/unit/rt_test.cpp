// Low-level runtime: throw thresholds, the heap list, runtime error reports,
// fatal signals, typed printing, start-up arguments and the OS services.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <vector>

#include "runtime/console_output.h"
#include "runtime/platform/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"
#include "tests/unit/output_capture.h"

using namespace zav;
using zav::testing::capture_output;
using zav::testing::run_in_child;

// Both recursions below end by a throw or by overflowing the stack on purpose.
#pragma GCC diagnostic ignored "-Winfinite-recursion"

namespace {

// Nested catch regions, outermost first; returns the index of the region that
// caught a throw of `value` (-1: none did).
int region(const std::vector<u32>& thresholds, size_t i, u32 value) {
    if (i == thresholds.size()) rt::throw_value(value);
    try {
        return region(thresholds, i + 1, value);
    } catch (Throw& t) {
        if (!catches(thresholds[i], t.value)) throw;
        EXPECT_EQ(system_record.thrown, value);
        system_record.thrown = 0;
        return static_cast<int>(i);
    }
}

}  // namespace

TEST(RtThrow, InnermostRegionNotBelowTheValueCatches) {
    struct Case {
        u32 value;
        std::vector<u32> thresholds;
        int caught_by;
    } cases[] = {
        {THROW_BREAK, {0x7FFFFFFF, 0x7FFFFFFE, 0x7FFFFFFA, 0x7FFFFFF8}, 1},
        {THROW_BREAK, {0x7FFFFFFF, 0x7FFFFFFA, 0x7FFFFFF8}, 0},
        {THROW_BREAK, {0x7FFFFFFE}, 0},
        {THROW_THROW, {0x7FFFFFFF, 0x7FFFFFFE, 0x7FFFFFFA}, 2},
        {THROW_ALLOC_VIRTUAL, {0x7FFFFFFF, THRESHOLD_VIRTUAL, 0x7FFFFFF6}, 1},
        {THROW_ERROR, {THRESHOLD_TOP, 0x7FFFFFFE}, 0},
    };
    for (const Case& c : cases) {
        int caught = -1;
        try {
            caught = region(c.thresholds, 0, c.value);
        } catch (Throw&) {
        }
        EXPECT_EQ(caught, c.caught_by) << std::hex << c.value;
    }
}

TEST(RtThrow, CleanUpRegionPassesTheThrowOn) {
    int restored = 0;
    u32 seen = 0;
    try {
        try {
            rt::throw_value(THROW_CONTINUE);
        } catch (Throw& t) {
            if (!catches(THROW_ERROR, t.value)) throw;
            restored++;
            rt::throw_();
        }
    } catch (Throw& t) {
        seen = t.value;
    }
    EXPECT_EQ(restored, 1);
    EXPECT_EQ(seen, u32(THROW_CONTINUE));
    system_record.thrown = 0;
}

// ---------------------------------------------------------------------------

namespace {

// Each heap test works on a list of its own, so blocks of other modules
// (console buffers, print hooks) stay untouched.
struct RtHeap : ::testing::Test {
    HeapList saved{};
    void SetUp() override {
        saved = system_record.heap_list;
        system_record.heap_list = {};
    }
    void TearDown() override {
        rt::free_all();
        system_record.heap_list = saved;
    }
    static std::vector<void*> listed() {
        std::vector<void*> out;
        HeapBlock* prev = nullptr;
        for (HeapBlock* b = system_record.heap_list.first; b; prev = b, b = b->next) {
            EXPECT_EQ(b->prev, prev);
            out.push_back(b + 1);
        }
        EXPECT_EQ(system_record.heap_list.last, prev);
        return out;
    }
};

}  // namespace

TEST_F(RtHeap, FreeingTheOnlyBlockEmptiesTheList) {
    void* p = rt::allocate(10);
    EXPECT_EQ(listed(), std::vector<void*>{p});
    rt::free(p);
    EXPECT_EQ(system_record.heap_list.first, nullptr);
    EXPECT_EQ(system_record.heap_list.last, nullptr);
}

TEST_F(RtHeap, ResizeOfNullAllocatesAndToZeroFrees) {
    void* a = rt::allocate(8);
    void* b = rt::resize(nullptr, 24);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((listed()), (std::vector<void*>{a, b}));
    EXPECT_EQ(rt::resize(a, 0), nullptr);
    EXPECT_EQ(listed(), std::vector<void*>{b});
    rt::free_all();
    EXPECT_TRUE(listed().empty());
}

TEST_F(RtHeap, ResizeKeepsPlaceContentAndLinks) {
    void* a = rt::allocate(16);
    char* b = static_cast<char*>(rt::allocate(16));
    void* c = rt::allocate(16);
    std::memcpy(b, "0123456789abcde", 16);
    for (size_t size : {size_t(100000), size_t(3)}) {
        b = static_cast<char*>(rt::resize(b, size));
        EXPECT_EQ((listed()), (std::vector<void*>{a, b, c}));
        EXPECT_EQ(reinterpret_cast<HeapBlock*>(b)[-1].size, size);
        EXPECT_EQ(std::memcmp(b, "012", 3), 0);
    }
    c = rt::resize(c, 4096);  // the last block
    EXPECT_EQ((listed()), (std::vector<void*>{a, b, c}));
}

TEST_F(RtHeap, ForeignPointersAreLeftAlone) {
    void* a = rt::allocate(4);
    char outside[64] = {};
    rt::free(outside + 48);
    rt::free(nullptr);
    EXPECT_EQ(listed(), std::vector<void*>{a});
    auto* zeroed = static_cast<u8*>(rt::allocate_zeroed(33));
    for (int i = 0; i < 33; i++) EXPECT_EQ(zeroed[i], 0);
}

// ---------------------------------------------------------------------------

namespace {

const char* const ANY_ADDRESS = "[0-9A-F]{8}h\n";

std::string report(int code, const std::string& message, const std::string& at = ANY_ADDRESS) {
    return "\n\\*\\*\\* Runtime Error " + std::to_string(code) + ": " + message + "\n\\*\\*\\* at: " + at;
}

struct ChildCase {
    const char* name;
    std::function<void()> body;
    int status;
    std::string pattern;  // regular expression for the whole output
};

void expect_children(const std::vector<ChildCase>& cases) {
    for (const ChildCase& c : cases) {
        auto r = run_in_child(c.body);
        EXPECT_TRUE(r.exited) << c.name << ": ended by signal " << r.status;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(std::regex_match(r.output, std::regex(c.pattern))) << c.name << ": " << r.output;
    }
}

}  // namespace

TEST(RtQuit, ReportsAndExitStatuses) {
    expect_children({
        {"unknown code", [] { rt::quit(57, 0x12345678); }, 57, report(57, "unknown error code!", "12345678h\n")},
        {"quit 0", [] { rt::quit(0, 0x1234); }, 0, ""},
        {"low 32 bits", [] { rt::quit(94, uintptr_t(0x1ABCD0123)); }, 94, report(94, "out of memory", "ABCD0123h\n")},
        {"table end", [] { rt::quit(34, 0); }, 34, report(34, "Bus error", "00000000h\n")},
        {"no catch",
         [] {
             try {
                 rt::throw_value(THROW_BREAK);
             } catch (Throw& t) {
                 rt::top_catch_handler(t.value);
             }
         },
         95, report(95, "no CATCH for THROW")},
        {"quit request",
         [] {
             try {
                 rt::throw_value(THROW_QUIT);
             } catch (Throw& t) {
                 rt::top_catch_handler(t.value);
             }
         },
         0, ""},
        {"heap exhausted", [] { rt::allocate(SIZE_MAX); }, 94, report(94, "out of memory")},
        {"unknown unit", [] { console::print_to_file("abc", 3, 3, false); }, 101,
         report(101, "no value matched in SWITCH")},
        {"earlier output first",
         [] {
             std::printf("before");
             rt::quit(99, 0);
         },
         99, "before" + report(99, "unknown error", "00000000h\n")},
    });
}

// ---------------------------------------------------------------------------

namespace {

[[gnu::noinline]] int recurse_forever(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return recurse_forever(depth + 1) + frame[0];
}

// Division by a zero the compiler cannot see, without the sanitizer's check,
// so that the processor itself raises the fault.
__attribute__((no_sanitize("undefined"), noinline)) int divide(int a, int b) { return a / b; }

}  // namespace

TEST(RtSignals, FatalSignalsBecomeNumberedReports) {
    auto with_handlers = [](std::function<void()> body) {
        return [body] {
            rt::install_signal_handlers();
            body();
        };
    };
    expect_children({
        {"bad address",
         with_handlers([] {
             volatile uintptr_t bad = 16;
             *reinterpret_cast<volatile int*>(bad) = 1;
         }),
         32,
         report(32, "segmentation fault")},
        {"read-only page",
         with_handlers([] {
             void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             *static_cast<volatile int*>(page) = 1;
         }),
         1, report(1, "access violation")},
        {"integer division", with_handlers([] {
             volatile int one = 1, zero = 0;
             std::printf("%d", divide(one, zero));
         }),
         13, report(13, "integer divide by zero")},
        {"stack overflow", with_handlers([] { recurse_forever(0); }), 19, report(19, "stack error or overflow")},
        {"SIGBUS", with_handlers([] { raise(SIGBUS); }), 34, report(34, "Bus error")},
        {"SIGILL", with_handlers([] { raise(SIGILL); }), 17, report(17, "illegal instruction")},
        {"SIGFPE sent", with_handlers([] { raise(SIGFPE); }), 33, report(33, "FPU error")},
        {"abort", with_handlers([] { std::abort(); }), 98, report(98, "assertion failed")},
        {"SIGTRAP", with_handlers([] { raise(SIGTRAP); }), 3, report(3, "breakpoint")},
        {"SIGINT", with_handlers([] { raise(SIGINT); }), 130, ""},
    });
}

// ---------------------------------------------------------------------------

TEST(RtPrint, TypedItemsAndSeparators) {
    using I = rt::PrintItem;
    struct Case {
        std::vector<I> items;
        bool separate;
        const char* out;
    } cases[] = {
        {{I::string("a"), I::string("b")}, true, "a b"},
        {{I::string("a\n"), I::string("b")}, true, "a\nb"},
        {{I::string("a "), I::string("b")}, true, "a b"},
        {{I::string("a\t"), I::string("b\r"), I::string("c")}, true, "a\tb\rc"},
        {{I::string(""), I::string("b")}, true, " b"},
        {{I::string("last"), I::string("x ")}, true, "last x "},
        {{I::byte(' '), I::byte('q'), I::integer(-7)}, true, " q -7"},
        {{I::logic(true), I::logic(false), I::float64(0.1)}, true, "true false 0.1"},
        {{I::float64(1.0 / 3), I::float32(1.0f / 3)}, true, "0.3333333333333333 0.3333333"},
        {{I::hex(0xABC), I::integer(2147483647), {9, 255}}, true, "00000ABC 2147483647 000000FF"},
        {{I::string("a"), I::integer(1), I::string("b")}, false, "a1b"},
    };
    for (const Case& c : cases) {
        std::string out = capture_output(
            [&] { rt::print_typed(static_cast<int>(c.items.size()), c.items.data(), c.separate); });
        EXPECT_EQ(out, c.out);
    }
    I two[] = {I::string("x"), I::integer(2)};
    EXPECT_EQ(capture_output([&] { rt::print_line(2, two); }), "x 2\n");
    EXPECT_EQ(capture_output([&] { rt::print(2, two); }), "x2");
}

TEST(RtPrint, NumericPrintsReachTheSecondKindHooks) {
    static std::string seen;
    seen.clear();
    auto hook = [](const void* text, u32 length, u32 unit) {
        seen.append(static_cast<const char*>(text), length);
        seen += unit == 1 ? "|" : "?";
    };
    print_hooks::init();
    print_hooks::add(nullptr, hook);
    std::string out = capture_output([] {
        rt::prin("p");
        rt::prin_int(-12);
        rt::prin_2hex(0x0F);
        rt::prin_hex(0xDEADBEEF);
        rt::prin_float(2.5);
        rt::prin_float32(0.1f);
        rt::print_char('!');
    });
    print_hooks::remove(nullptr, hook);
    EXPECT_EQ(out, "p-120FDEADBEEF2.50.1!");
    EXPECT_EQ(seen, "p|-12|0F|DEADBEEF|2.5|0.1|!|");
}

// ---------------------------------------------------------------------------

TEST_F(RtHeap, CommandLineIsCopiedIntoHeapBlocks) {
    char a0[] = "zav", a1[] = "--catch", a2[] = "sk\xC3\xA9.zav";
    char* argv[] = {a0, a1, a2, nullptr};
    rt::read_command_line(3, argv);
    ASSERT_EQ(system_record.argc, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(system_record.argv[i], argv[i]);
        EXPECT_NE(system_record.argv[i], argv[i]);
    }
    EXPECT_EQ(system_record.argv[3], nullptr);
    EXPECT_EQ(listed().size(), 4u);  // the array and three strings
    rt::read_command_line(0, nullptr);
    EXPECT_EQ(system_record.argc, 0);
    EXPECT_EQ(system_record.argv[0], nullptr);
}

TEST(Platform, SleepMilliseconds) {
    struct Case {
        double seconds;
        u32 ms;
    } cases[] = {
        {0.0004, 1}, {-1.0, 1}, {0.0, 1}, {NAN, 1}, {0.0025, 2}, {1.5, 1500}, {1e300, 0xFFFFFFFF}, {INFINITY, 0xFFFFFFFF},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::sleep_milliseconds(c.seconds), c.ms) << c.seconds;
}

TEST(Platform, ZoneOfOffsets) {
    struct Case {
        i32 minutes_east;
        u32 zone;
    } cases[] = {
        {0, 0},
        {60, 1 << 2},
        {330, (5 << 2) | 2},
        {345, (5 << 2) | 3},
        {840, 14 << 2},
        {-60, (0x11 << 2)},
        {-210, (0x13 << 2) | 2},
        {-225, (0x13 << 2) | 3},  // 3:45 west: three quarters, not one
        {-480, 0x18 << 2},
        {-30, (0x10 << 2) | 2},  // half an hour west is west
        {-59, (0x10 << 2) | 3},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::zone_of(c.minutes_east), c.zone) << c.minutes_east;
}

TEST(Platform, DateCarriesTheLocalZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char* tz;
        u32 zone;
    } cases[] = {{"UTC0", 0}, {"XST-5:45", (5 << 2) | 3}, {"XST3:30", (0x13 << 2) | 2}, {"XST8", 0x18 << 2}};
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(platform::get_date(false) & 0x7F, c.zone) << c.tz;
        EXPECT_EQ(platform::get_date(true) & 0x7F, 0u);
    }
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    time_t now = std::time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    u32 date = platform::get_date(true);
    EXPECT_EQ(date >> 17, u32(t.tm_year + 1900));
    EXPECT_EQ((date >> 12) & 0x1F, u32(t.tm_mon + 1));
    EXPECT_EQ((date >> 7) & 0x1F, u32(t.tm_mday));
}

TEST(Platform, TimeOfDay) {
    double coarse = platform::get_time(false);
    double precise = platform::get_time(true);
    EXPECT_GE(coarse, 0.0);
    EXPECT_LT(precise, 86400.0);
    EXPECT_EQ(coarse, std::floor(coarse));
}

TEST(Platform, Environment) {
    const char* name = "ZAV_RT_TEST_VARIABLE";
    char buffer[8];
    ASSERT_TRUE(platform::set_env(name, "abc"));
    EXPECT_EQ(platform::get_env(name, nullptr, 0), 4u);
    EXPECT_EQ(platform::get_env(name, buffer, 3), 4u);
    EXPECT_EQ(platform::get_env(name, buffer, 4), 3u);
    EXPECT_STREQ(buffer, "abc");
    ASSERT_TRUE(platform::set_env(name, ""));
    EXPECT_EQ(platform::get_env(name, nullptr, 0), 1u);
    EXPECT_EQ(platform::get_env(name, buffer, 1), 0u);
    ASSERT_TRUE(platform::set_env(name, nullptr));
    EXPECT_EQ(platform::get_env(name, buffer, sizeof buffer), 0u);
    EXPECT_FALSE(platform::set_env("BAD=NAME", "x"));
}

TEST(Platform, CurrentDirectory) {
    u32 length = 0;
    char* start = platform::get_current_dir(&length);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(length, std::strlen(start));
    ASSERT_TRUE(platform::set_current_dir("/"));
    char* root = platform::get_current_dir(&length);
    EXPECT_STREQ(root, "/");
    EXPECT_EQ(length, 1u);
    EXPECT_FALSE(platform::set_current_dir("/no/such/directory/here"));
    EXPECT_TRUE(platform::set_current_dir(start));
    rt::free(root);
    rt::free(start);
}

// The main thread's stack is told without the memory map: the same bounds as
// the C library reads from it.
TEST(Platform, MainThreadStackAsTheLibraryTellsIt) {
    const char *fast = nullptr, *slow = nullptr;
    size_t fast_size = 0, slow_size = 0;
    rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) != 0 || rl.rlim_cur > (rlim_t(256) << 20)) GTEST_SKIP() << "no usual stack size limit";
    ASSERT_TRUE(platform::main_thread_stack(&fast, &fast_size));
    ASSERT_TRUE(platform::library_thread_stack(&slow, &slow_size));
    EXPECT_EQ(fast, slow);
    EXPECT_EQ(fast_size, slow_size);
}
