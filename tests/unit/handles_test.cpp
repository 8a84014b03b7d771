// External handle table: growth, marking, sweeping and reuse of slots.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/handles.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

std::vector<void*> released;
void record_release(void* object) { released.push_back(object); }

struct HandlesTest : RuntimeTest {
    u32 kind = 0;
    void SetUp() override {
        RuntimeTest::SetUp();
        handles::init();
        released.clear();
        kind = handles::register_kind(0, record_release);
    }
};

void* object(uintptr_t n) { return reinterpret_cast<void*>(n * 16); }

}  // namespace

TEST_F(HandlesTest, TableDoublesWhenTheLastFreeSlotIsTaken) {
    std::vector<u32> slots;
    for (uintptr_t i = 1; i <= 999; i++) slots.push_back(handles::store(object(i), kind));
    EXPECT_EQ(handles::table.capacity, 1000u);
    slots.push_back(handles::store(object(1000), kind));
    EXPECT_EQ(handles::table.capacity, 2000u);
    slots.push_back(handles::store(object(1001), kind));
    for (u32 i = 0; i < slots.size(); i++) {
        EXPECT_EQ(slots[i], i);
        EXPECT_EQ(handles::table.slots[slots[i]].object, object(i + 1));
    }
    EXPECT_EQ(handles::used_count(), 1001u);
}

TEST_F(HandlesTest, SweepReleasesUnmarkedSlotsOnceAndReusesThem) {
    u32 a = handles::store(object(1), kind);
    u32 b = handles::store(object(2), kind);
    u32 c = handles::store(object(3), kind);
    EXPECT_TRUE(handles::mark(a));
    EXPECT_FALSE(handles::mark(a));  // already marked
    EXPECT_TRUE(handles::mark(c, object(30)));  // the object may be replaced while marking
    handles::sweep();
    EXPECT_EQ(released, std::vector<void*>{object(2)});
    EXPECT_EQ(handles::table.slots[c].object, object(30));
    EXPECT_FALSE(handles::table.slots[a].flags & handles::SLOT_MARK);
    EXPECT_EQ(handles::used_count(), 2u);
    // Last in, first out: the freed slot is taken first.
    EXPECT_EQ(handles::store(object(4), kind), b);
    // Nothing marked this time: all three go, each released once.
    handles::sweep();
    EXPECT_EQ(released.size(), 4u);
    EXPECT_EQ(handles::used_count(), 0u);
    handles::sweep();
    EXPECT_EQ(released.size(), 4u);
}

TEST_F(HandlesTest, RemoveReleasesOnlyWhenAsked) {
    u32 a = handles::store(object(1), kind);
    u32 b = handles::store(object(2), kind);
    u32 none = handles::store(object(3), 0);  // kind 0 has no handler
    handles::remove(a, false);
    handles::remove(b, true);
    handles::remove(none, true);
    EXPECT_EQ(released, std::vector<void*>{object(2)});
    EXPECT_EQ(handles::used_count(), 0u);
    EXPECT_EQ(handles::store(object(5), kind), none);
}

TEST_F(HandlesTest, KindsAreNumberedFromOne) {
    EXPECT_EQ(kind, 1u);
    EXPECT_EQ(handles::register_kind(0, nullptr), 2u);
    handles::release_one(2, object(1));  // no handler: nothing happens
    handles::release_one(1, object(7));
    EXPECT_EQ(released, std::vector<void*>{object(7)});
}
