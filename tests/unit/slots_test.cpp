// The value registry: handles, the free list and growth.
#include "datatypes/block.h"
#include "runtime/stack.h"
#include "runtime/cell.h"
#include "runtime/slots.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {
struct SlotsTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        slots::init();
    }
};
}  // namespace

TEST_F(SlotsTest, StoreGrowsReleaseReuses) {
    EXPECT_EQ(slots::capacity, 100u);
    for (u32 k = 1; k <= 101; k++) {
        Cell v;
        make_cell(&v, TYPE_INTEGER, 0, k * 10);
        EXPECT_EQ(slots::store(&v), k);
    }
    EXPECT_EQ(slots::capacity, 200u);
    EXPECT_EQ(block::buffer_of(&slots::registry)->length(), 200u);
    for (u32 k = 1; k <= 101; k++) EXPECT_EQ(slots::get(k)->data2, k * 10) << k;

    slots::release(5);
    slots::release(0);  // ignored
    Cell v;
    make_cell(&v, TYPE_LOGIC, 1);
    EXPECT_EQ(slots::store(&v), 5u);
    EXPECT_EQ(TYPE_OF(slots::get(5)), TYPE_LOGIC);
    EXPECT_EQ(slots::store(&v), 102u);

    // Storing a value that lives in the registry itself, across its growth.
    for (u32 k = 103; k <= 200; k++) slots::store(slots::get(1));
    EXPECT_EQ(slots::free_head, -1);
    EXPECT_EQ(slots::store(slots::get(1)), 201u);
    EXPECT_EQ(slots::get(201)->data2, 10u);
    EXPECT_EQ(slots::capacity, 400u);
}

TEST_F(SlotsTest, LinkFreeChainsToTheEnd) {
    slots::link_free(98);
    EXPECT_EQ(slots::free_head, 98);
    EXPECT_EQ(static_cast<i32>(slots::get(99)->data2), 99);
    EXPECT_EQ(static_cast<i32>(slots::get(100)->data2), -1);
}
