// Garbage collector entry points used by the memory manager.
#pragma once
#include "runtime/common.h"

namespace zav::collector {

extern bool active;  // collections allowed
extern u32 cycles;   // collections run so far

// Runs a collection when collections are allowed.
void run_if();

}  // namespace zav::collector
