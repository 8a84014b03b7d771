// Print hooks: every text printed by the language goes to each registered
// hook, so that other parts (output capture, a terminal interface) see it.
#pragma once
#include "runtime/cell.h"

namespace zav::print_hooks {

// First kind: a string! value and whether a line end follows.
using PrintHook = void (*)(const Cell* string, bool new_line);
// Second kind: text of the low-level prints, its length in units and its
// unit (1 for the byte text of the runtime's own prints).
using LineHook = void (*)(const void* text, u32 length, u32 unit);

constexpr u32 HOOKS_GROWTH = 5;  // hooks are few; both arrays start with and grow by this

// Makes both arrays and registers default_print as the first first-kind hook.
void init();
// Appends each hook that is not null.
void add(PrintHook print, LineHook line);
// Removes the first equal entry of each kind that is not null, closing the gap.
void remove(PrintHook print, LineHook line);
// Calls every first-kind hook in registration order.
void print(const Cell* string, bool new_line);
// Calls every second-kind hook in registration order.
void print_line(const void* text, u32 length, u32 unit);
// Writes a string! value by its unit (the first-kind hook made by init).
void default_print(const Cell* string, bool new_line);

}  // namespace zav::print_hooks
