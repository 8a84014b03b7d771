// Garbage collector. Collections are not wired up yet: run_if counts nothing.
#include "runtime/collector.h"

namespace zav::collector {

bool active = false;
u32 cycles = 0;

void run_if() {}

}  // namespace zav::collector
