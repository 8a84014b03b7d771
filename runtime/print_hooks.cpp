// Print hooks: two growable arrays of callbacks and the default printer.
#include "runtime/print_hooks.h"

#include <cstdio>

#include "runtime/console_output.h"
#include "runtime/memory.h"
#include "runtime/rt.h"

namespace zav::print_hooks {

namespace {

template <class Hook>
struct HookList {
    Hook* items = nullptr;
    u32 count = 0;
    u32 capacity = 0;

    void make() {
        items = static_cast<Hook*>(rt::allocate(HOOKS_GROWTH * sizeof(Hook)));
        count = 0;
        capacity = HOOKS_GROWTH;
    }
    void add(Hook h) {
        if (count == capacity) {
            capacity += HOOKS_GROWTH;
            items = static_cast<Hook*>(rt::resize(items, capacity * sizeof(Hook)));
        }
        items[count++] = h;
    }
    void remove(Hook h) {
        for (u32 i = 0; i < count; i++) {
            if (items[i] != h) continue;
            std::memmove(items + i, items + i + 1, (count - i - 1) * sizeof(Hook));
            count--;
            return;
        }
    }
};

HookList<PrintHook> print_list;
HookList<LineHook> line_list;

}  // namespace

void init() {
    print_list.make();
    line_list.make();
    print_list.add(default_print);
}

void add(PrintHook print, LineHook line) {
    if (print) print_list.add(print);
    if (line) line_list.add(line);
}

void remove(PrintHook print, LineHook line) {
    if (print) print_list.remove(print);
    if (line) line_list.remove(line);
}

// A hook may add or remove hooks while it runs: walking by index and rereading
// the count keeps the walk inside the (possibly moved) array.
void print(const Cell* string, bool new_line) {
    for (u32 i = 0; i < print_list.count; i++) print_list.items[i](string, new_line);
}

void print_line(const void* text, u32 length, u32 unit) {
    for (u32 i = 0; i < line_list.count; i++) line_list.items[i](text, length, unit);
}

void default_print(const Cell* string, bool new_line) {
    console::print_begin();
    SeriesBuffer* b = GET_BUFFER(series_node(string));
    u32 unit = b->unit();
    if (unit == 1 || unit == 2 || unit == 4) {
        u64 first = u64(b->offset) + u64(series_head(string)) * unit;
        u32 bytes = first < b->tail ? static_cast<u32>(b->tail - first) : 0;  // head past the tail: nothing
        const u8* text = at(static_cast<off32>(bytes ? first : b->tail));
        switch (unit) {
            case 1: new_line ? console::print_line_latin1(text, bytes) : console::print_latin1(text, bytes); break;
            case 2: new_line ? console::print_line_utf16(text, bytes) : console::print_utf16(text, bytes); break;
            default: new_line ? console::print_line_ucs4(text, bytes) : console::print_ucs4(text, bytes); break;
        }
    } else {
        rt::prin("Error: unknown string encoding: ");
        rt::prin_int(static_cast<i32>(unit));
        rt::print_char('\n');
    }
    std::fflush(nullptr);
    console::print_end();
}

}  // namespace zav::print_hooks
