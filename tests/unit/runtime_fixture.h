// Test fixtures: the booted runtime, or bare memory for the lowest layers.
#pragma once
#include <gtest/gtest.h>

#include "boot/boot.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

// Brings the runtime up once per process (again after bare_memory freed it).
struct RuntimeTest : ::testing::Test {
    void SetUp() override { zav::boot::init_runtime(); }
};

namespace zav::test {

// Empty memory and no collections, as in a process that has not booted:
// tests of the lowest layers hold fresh nodes in locals with no roots, so
// a collector left enabled by an earlier booted test must not run under them.
inline void bare_memory() {
    memory::init();
    free_all_memory();
    collector::disable();
}

}  // namespace zav::test
