// handle! text forms and comparison; memory statistics that add up.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/handle.h"
#include "datatypes/integer.h"
#include "datatypes/stats.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

struct HandleStatsTest : RuntimeTest {
    Cell* saved = nullptr;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved = stack::top;
    }
    void TearDown() override { stack::top = saved; }
};

TEST_F(HandleStatsTest, HandleFormsMoldsAndCompares) {
    Cell null_h, window, minus, same_value;
    handle::make_in(&null_h, 0, handle::CLASS_NULL);
    handle::make_in(&window, 0x12FF40, handle::CLASS_WINDOW);
    handle::make_in(&minus, 0xFFFFFFFFu, handle::CLASS_FD);
    handle::make_in(&same_value, 0x12FF40, handle::CLASS_FONT);
    EXPECT_EQ(test::form(&null_h), "00000000h");
    EXPECT_EQ(test::mold(&null_h, true), "#[handle! 00000000h]");
    EXPECT_EQ(test::mold(&window, true), "#[handle! 0012FF40h window]");
    EXPECT_EQ(test::mold(&window), "handle!");
    EXPECT_EQ(test::form(&minus), "FFFFFFFFh");
    // The kind is not compared; another type never equals a handle.
    EXPECT_EQ(actions::compare_value(&window, &same_value, COMP_EQUAL), 0);
    EXPECT_EQ(actions::compare_value(&minus, &window, COMP_LESSER), -1);
    Cell n;
    integer::make_at(&n, 0x12FF40);
    EXPECT_NE(actions::compare_value(&window, &n, COMP_EQUAL), 0);
}

TEST_F(HandleStatsTest, StatsDetailAddsUpToBytesInUse) {
    Cell* blk = block::push_only_star(5);
    double used = memory::stats(nullptr, 1);
    EXPECT_EQ(memory::stats(blk, 2), 0.0);
    ASSERT_EQ(block::zs_length_q(blk), 5u);
    double sum = 0;
    auto list = [&](u32 i) { return block::zs_abs_at(blk, i); };
    for (u32 k = 0; k < block::zs_length_q(list(0)); k++) sum += 4.0 * integer::get(block::zs_abs_at(block::zs_abs_at(list(0), k), 1));
    for (u32 k = 0; k < block::zs_length_q(list(1)); k++) sum += integer::get(block::zs_abs_at(block::zs_abs_at(list(1), k), 1));
    for (u32 k = 0; k < block::zs_length_q(list(2)); k++) sum += integer::get(block::zs_abs_at(list(2), k));
    EXPECT_EQ(sum, used);
    EXPECT_GT(integer::get(list(3)), integer::get(list(4)));  // the footprint includes the heap
}

}  // namespace
