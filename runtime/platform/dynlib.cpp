// Shared libraries opened on first use, over dlopen(3).
#include "runtime/platform/dynlib.h"

#include <dlfcn.h>

#include <cstring>

namespace zav::platform {

bool open_library(const char* file, std::initializer_list<Symbol> symbols) {
    void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return false;
    for (const Symbol& s : symbols) {
        void* address = dlsym(handle, s.name);
        if (!address) return false;
        std::memcpy(s.slot, &address, sizeof address);
    }
    return true;
}

}  // namespace zav::platform
