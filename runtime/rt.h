// Low-level runtime: system record, throws, the low-level heap, numbered
// runtime errors, typed printing and the process's fatal-signal report.
#pragma once
#include "runtime/common.h"

#include <bit>

namespace zav {

struct HeapBlock {
    HeapBlock* prev;
    HeapBlock* next;
    size_t size;  // the size that was asked for
    size_t unused;
};

struct HeapList {
    HeapBlock* first;
    HeapBlock* last;
};

// Where a fatal error was detected: the stack and frame pointers of that place.
struct FaultRecord {
    uintptr_t sp;
    uintptr_t fp;
};

struct SystemRecord {
    int argc;
    char** argv;  // UTF-8, ended by a null pointer
    u32 thrown;   // value of the throw in progress, 0 when none
    const u8* boot_data;
    FaultRecord* fault_record;
    HeapList heap_list;
};
extern SystemRecord system_record;

namespace rt {

// Runtime error numbers used by the runtime itself.
enum RuntimeError : int {
    RT_ERR_ACCESS_VIOLATION = 1,
    RT_ERR_STACK_OVERFLOW = 19,
    RT_ERR_SEGMENTATION_FAULT = 32,
    RT_ERR_FPU = 33,
    RT_ERR_BUS = 34,
    RT_ERR_OUT_OF_MEMORY = 94,
    RT_ERR_NO_CATCH = 95,
    RT_ERR_ASSERTION = 98,
    RT_ERR_UNKNOWN = 99,
    RT_ERR_NO_CASE = 100,
    RT_ERR_NO_SWITCH = 101,
};

// Standard file descriptors, taken once by platform_start; console output
// writes to std_output.
extern int std_input;
extern int std_output;
extern int std_error;

// Throws v (recorded in system_record.thrown) as the one exception type.
[[noreturn]] void throw_value(u32 v);
// Throws again the value held in system_record.thrown.
[[noreturn]] void throw_();

void* allocate(size_t size);
void* allocate_zeroed(size_t size);
// Pointers that are not on the heap list are left alone.
void free(void* p);
// A null pointer allocates; size 0 frees and returns null.
void* resize(void* p, size_t size);
void free_all();
void free_all_at_exit();

// Message of a runtime error number ("unknown error code!" when unknown).
const char* error_message(int code);
// Prints the numbered report (nothing for status 0), frees the heap and exits.
// Inside a fatal-signal handler it writes the report with write(2) only.
[[noreturn]] void quit(int status, uintptr_t code_address);
// Standard output failed with `err` (errno): says so on standard error and
// exits with OUTPUT_PIPE_STATUS (reader gone) or OUTPUT_FAILED_STATUS. Does
// nothing inside a fatal-signal report, whose own output may be what failed.
void output_failed(int err);
// The shell's status for a writer ended by a closed pipe (128 + SIGPIPE).
constexpr int OUTPUT_PIPE_STATUS = 141;
// Any other failed write (full disk, I/O error): sysexits' EX_IOERR.
constexpr int OUTPUT_FAILED_STATUS = 74;
// An interrupted script (SIGINT), as shells report it (128 + SIGINT).
constexpr int INTERRUPTED_STATUS = 130;
// The address just after the call to code_address in its caller; also records
// the caller's place in the fault record.
uintptr_t code_address();
// The outermost catch: a quit request exits 0, anything else is "no CATCH for THROW".
[[noreturn]] void top_catch_handler(u32 thrown);

// Start-up: fatal-signal handlers, standard descriptors and the arguments.
void platform_start(int argc, char** argv);
// Turns fatal signals into numbered runtime errors (on an alternate stack, so
// that a stack overflow can still be reported).
void install_signal_handlers();
// Called first by the fatal-signal handler (and so only async-signal-safe):
// gives back what must not outlive the process, such as a terminal left in
// raw mode. Null when nothing is registered.
extern void (*volatile fatal_signal_cleanup)();
// Copies the arguments into heap blocks and stores them in the system record.
void read_command_line(int argc, char** argv);
// The runtime error number of a fatal signal with its si_code; `stack_fault`
// tells that a SIGSEGV hit the area just beyond the stack.
int signal_error_code(int sig, int si_code, bool stack_fault);

// Typed printing: an item is a type tag and a 64-bit value.
enum PrintType : u32 {
    PRINT_LOGIC = 1,
    PRINT_INTEGER = 2,
    PRINT_BYTE = 3,
    PRINT_FLOAT32 = 4,
    PRINT_FLOAT64 = 5,
    PRINT_STRING = 6,  // NUL-terminated text
    PRINT_HEX = 7,     // 32-bit value in hexadecimal
};

struct PrintItem {
    u32 type;
    u64 value;

    static PrintItem logic(bool b) { return {PRINT_LOGIC, b}; }
    static PrintItem integer(i32 i) { return {PRINT_INTEGER, static_cast<u64>(static_cast<u32>(i))}; }
    static PrintItem byte(char c) { return {PRINT_BYTE, static_cast<u8>(c)}; }
    static PrintItem float32(float f) {
        return {PRINT_FLOAT32, std::bit_cast<u32>(f)};
    }
    static PrintItem float64(double d) {
        return {PRINT_FLOAT64, std::bit_cast<u64>(d)};
    }
    static PrintItem string(const char* s) { return {PRINT_STRING, reinterpret_cast<uintptr_t>(s)}; }
    static PrintItem hex(u32 v) { return {PRINT_HEX, v}; }
};

// Prints the items in order; with `separate` one blank goes after every item
// but the last unless that item ends in a blank, tab, CR or LF.
void print_typed(int count, const PrintItem* items, bool separate);
// Without separators.
void print(int count, const PrintItem* items);
// With separators, then a line feed.
void print_line(int count, const PrintItem* items);
void print_char(u8 c);
void prin(const char* text);
void prin_int(i32 i);
void prin_2hex(u8 b);
void prin_hex(u32 v);
void prin_float(double d);
void prin_float32(float f);

inline u32 round_up(u32 value, u32 alignment) { return (value + alignment - 1) & ~(alignment - 1); }

}  // namespace rt
}  // namespace zav
