// Low-level runtime: the heap list, runtime errors and process exit.
#include "runtime/rt.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace zav {

SystemRecord system_record;

namespace rt {

[[noreturn]] void throw_value(u32 v) {
    system_record.thrown = v;
    throw Throw{v};
}

static HeapBlock* header_of(void* p) { return reinterpret_cast<HeapBlock*>(static_cast<u8*>(p) - sizeof(HeapBlock)); }

void* allocate(size_t size) {
    auto* b = static_cast<HeapBlock*>(std::malloc(size + sizeof(HeapBlock)));
    if (!b) quit(RT_ERR_OUT_OF_MEMORY, code_address());
    HeapList& list = system_record.heap_list;
    b->prev = list.last;
    b->next = nullptr;
    b->size = size;
    b->unused = 0;
    if (list.last) list.last->next = b; else list.first = b;
    list.last = b;
    return b + 1;
}

void* allocate_zeroed(size_t size) {
    void* p = allocate(size);
    std::memset(p, 0, size);
    return p;
}

static bool listed(HeapBlock* h) {
    for (HeapBlock* b = system_record.heap_list.first; b; b = b->next)
        if (b == h) return true;
    return false;
}

static void unlink(HeapBlock* b) {
    HeapList& list = system_record.heap_list;
    if (b->prev) b->prev->next = b->next; else list.first = b->next;
    if (b->next) b->next->prev = b->prev; else list.last = b->prev;
}

void free(void* p) {
    if (!p) return;
    HeapBlock* b = header_of(p);
    if (!listed(b)) return;  // not ours: leave it alone
    unlink(b);
    std::free(b);
}

void* resize(void* p, size_t size) {
    if (!p) return allocate(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    HeapBlock* old = header_of(p);
    auto* b = static_cast<HeapBlock*>(std::realloc(old, size + sizeof(HeapBlock)));
    if (!b) quit(RT_ERR_OUT_OF_MEMORY, code_address());
    b->size = size;
    HeapList& list = system_record.heap_list;
    if (b->prev) b->prev->next = b; else list.first = b;
    if (b->next) b->next->prev = b; else list.last = b;
    return b + 1;
}

void free_all() {
    HeapList& list = system_record.heap_list;
    for (HeapBlock* b = list.first; b;) {
        HeapBlock* next = b->next;
        std::free(b);
        b = next;
    }
    list.first = list.last = nullptr;
}

void free_all_at_exit() { free_all(); }

const char* error_message(int code) {
    static const char* const low[] = {
        nullptr, "access violation", "invalid alignment", "breakpoint", "single step",
        "bounds exceeded", "float denormal operan", "float divide by zero", "float inexact result",
        "float invalid operation", "float overflow", "float stack check", "float underflow",
        "integer divide by zero", "integer overflow", "privileged instruction",
        "invalid virtual address", "illegal instruction", "non-continuable exception",
        "stack error or overflow", "invalid disposition", "guard page", "invalid handle",
        "illegal operand", "illegal addressing mode", "illegal trap", "coprocessor error",
        "non-existent physical address", "object specific hardware error",
        "hardware memory error consumed AR", "hardware memory error consumed AO",
        "privileged register", "segmentation fault", "FPU error", "Bus error"};
    if (code >= 1 && code <= 34) return low[code];
    switch (code) {
        case 94: return "out of memory";
        case 95: return "no CATCH for THROW";
        case 98: return "assertion failed";
        case 99: return "unknown error";
        case 100: return "no value matched in CASE";
        case 101: return "no value matched in SWITCH";
        default: return "unknown error code!";
    }
}

uintptr_t code_address() { return reinterpret_cast<uintptr_t>(__builtin_return_address(0)); }

[[noreturn]] void quit(int status, uintptr_t address) {
    if (status != 0) {
        std::fflush(nullptr);
        std::printf("\n*** Runtime Error %d: %s\n*** at: %08X%s\n", status, error_message(status),
                    static_cast<u32>(address), "h");
        std::fflush(nullptr);
    }
    free_all();
    std::exit(status);
}

[[noreturn]] void top_catch_handler(u32 thrown) {
    if (thrown == THROW_QUIT) quit(0, 0);
    quit(RT_ERR_NO_CATCH, code_address());
}

}  // namespace rt
}  // namespace zav
