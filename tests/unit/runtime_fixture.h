// Test fixture that brings the runtime up once per process.
#pragma once
#include <gtest/gtest.h>

#include "boot/boot.h"

struct RuntimeTest : ::testing::Test {
    void SetUp() override { zav::boot::init_runtime(); }
};
