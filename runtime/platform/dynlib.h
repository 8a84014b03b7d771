// Shared libraries opened on first use rather than linked, so that start-up
// does not pay for loading them (and their own dependencies).
#pragma once
#include <initializer_list>

namespace zav::platform {

// One entry to look up: where its address goes, and its name.
struct Symbol {
    void* slot;  // address of a function pointer
    const char* name;
};

// Opens `file` and stores the address of every named entry in its slot.
// False when the library or any entry is missing.
bool open_library(const char* file, std::initializer_list<Symbol> symbols);

}  // namespace zav::platform
