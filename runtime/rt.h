// Low-level runtime: system record, throws, the low-level heap, numbered
// runtime errors, typed printing and the process's fatal-signal report.
#pragma once
#include "runtime/common.h"

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

struct SystemRecord {
    int argc;
    char** argv;  // UTF-8, ended by a null pointer
    u32 thrown;   // value of the throw in progress, 0 when none
    const u8* boot_data;
    HeapList heap_list;
};
extern SystemRecord system_record;

namespace rt {

// Runtime error numbers used by the runtime itself.
enum RuntimeError : int {
    RT_ERR_OUT_OF_MEMORY = 94,
    RT_ERR_NO_CATCH = 95,
    RT_ERR_ASSERTION = 98,
    RT_ERR_UNKNOWN = 99,
    RT_ERR_NO_CASE = 100,
    RT_ERR_NO_SWITCH = 101,
};

// Throws v (recorded in system_record.thrown) as the one exception type.
[[noreturn]] void throw_value(u32 v);

void* allocate(size_t size);
void* allocate_zeroed(size_t size);
void free(void* p);
void* resize(void* p, size_t size);
void free_all();
void free_all_at_exit();

// Message of a runtime error number ("unknown error code!" when unknown).
const char* error_message(int code);
// Prints the numbered report (nothing for status 0), frees the heap and exits.
[[noreturn]] void quit(int status, uintptr_t code_address);
uintptr_t code_address();
// The outermost catch: a quit request exits 0, anything else is "no CATCH for THROW".
[[noreturn]] void top_catch_handler(u32 thrown);

inline u32 round_up(u32 value, u32 alignment) { return (value + alignment - 1) & ~(alignment - 1); }

}  // namespace rt
}  // namespace zav
