// Growable arrays: appending and growth, picks and pokes, insertion, removal
// and searches.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/array.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

struct ArrayTest : ::testing::Test {
    void SetUp() override {
        test::bare_memory();
    }
    void TearDown() override { free_all_memory(); }

    static std::vector<i32> ints(node_t a) {
        std::vector<i32> v;
        for (u32 i = 1; i <= array::length_q(a); i++) v.push_back(array::pick_int(a, i));
        return v;
    }
};

}  // namespace

TEST_F(ArrayTest, AppendingGrowsAcrossManyElements) {
    node_t ints = array::make(4, array::INT_UNIT);
    node_t bytes = array::make(1, array::BYTE_UNIT);
    const u32 n = 100000;  // enough to pass into a big frame of its own
    for (u32 i = 0; i < n; i++) {
        array::append_int(ints, i32(i * 3 - 5));
        array::append_byte(bytes, u8(i * 7));
    }
    ASSERT_EQ(array::length_q(ints), n);
    ASSERT_EQ(array::length_q(bytes), n);
    for (u32 i = 1; i <= n; i++) {
        ASSERT_EQ(array::pick_int(ints, i), i32((i - 1) * 3 - 5));
        ASSERT_EQ(array::pick_byte(bytes, i), u8((i - 1) * 7));
    }
    // Doubling, not unit by unit: the buffer is never more than twice what is used.
    EXPECT_LE(GET_BUFFER(ints)->size, 2 * n * 4);
    EXPECT_EQ(GET_BUFFER(ints)->node, ints);
}

TEST_F(ArrayTest, LargeRequestOnSmallBufferTakesTwiceTheRequest) {
    node_t a = array::make(16, array::BYTE_UNIT);
    u8 src[100];
    for (u8 i = 0; i < 100; i++) src[i] = i;
    array::append_bytes(a, src, 100);
    EXPECT_EQ(GET_BUFFER(a)->size, 208u);  // 200, rounded up to 16
    EXPECT_EQ(array::length_q(a), 100u);
    EXPECT_EQ(std::memcmp(array::head(a), src, 100), 0);
}

TEST_F(ArrayTest, AppendBytesFromItsOwnBuffer) {
    // The source moves with the buffer when the append makes it grow.
    node_t a = array::make(0, array::BYTE_UNIT);
    array::append_bytes(a, "abcdefgh", 8);
    for (int i = 0; i < 6; i++) array::append_bytes(a, array::head(a), array::length_q(a));
    ASSERT_EQ(array::length_q(a), 8u << 6);
    for (u32 i = 0; i < array::length_q(a); i++) ASSERT_EQ(array::head(a)[i], "abcdefgh"[i % 8]);
    array::append_bytes(a, nullptr, 0);
    EXPECT_EQ(array::length_q(a), 8u << 6);
}

TEST_F(ArrayTest, InsertAtEveryPosition) {
    struct Case {
        u32 index;
        std::vector<i32> expect;
    } cases[] = {
        {0, {9, 1, 2, 3}},
        {1, {1, 9, 2, 3}},
        {3, {1, 2, 3, 9}},
        {50, {1, 2, 3, 9}},  // beyond the tail: appended
    };
    for (const Case& c : cases) {
        node_t a = array::make(3, array::INT_UNIT);  // 16 bytes: the fourth value still fits
        for (i32 v : {1, 2, 3}) array::append_int(a, v);
        array::insert_at(a, c.index, 9);
        EXPECT_EQ(ints(a), c.expect) << c.index;
    }
    // Inserting into full buffers keeps growing them.
    node_t a = array::make(0, array::INT_UNIT);
    std::vector<i32> expect;
    for (i32 i = 0; i < 2000; i++) {
        u32 at = u32(i * 31) % (expect.size() + 1);
        array::insert_at(a, at, i);
        expect.insert(expect.begin() + at, i);
    }
    EXPECT_EQ(ints(a), expect);
}

TEST_F(ArrayTest, FindAndRemoveIntegers) {
    node_t a = array::make(8, array::INT_UNIT);
    for (i32 v : {10, 20, 30, 20, 40}) array::append_int(a, v);
    EXPECT_EQ(array::find_int(a, 10), 0);
    EXPECT_EQ(array::find_int(a, 20), 4);  // the first of two
    EXPECT_EQ(array::find_int(a, 40), 16);
    EXPECT_EQ(array::find_int(a, 99), -1);
    array::remove_at(a, u32(array::find_int(a, 20)), 4);
    EXPECT_EQ(ints(a), (std::vector<i32>{10, 30, 20, 40}));
    array::remove_at(a, 12, 4);  // the last
    EXPECT_EQ(ints(a), (std::vector<i32>{10, 30, 20}));
    array::remove_at(a, 8, 100);  // more than is left: only what is there
    EXPECT_EQ(ints(a), (std::vector<i32>{10, 30}));
    array::remove_at(a, 8, 4);  // at the tail: nothing
    EXPECT_EQ(ints(a), (std::vector<i32>{10, 30}));
    array::poke_int(a, 2, -7);
    EXPECT_EQ(ints(a), (std::vector<i32>{10, -7}));
}

TEST_F(ArrayTest, PointerArrays) {
    int objects[5];
    node_t a = array::make(2, array::PTR_UNIT);
    for (int& o : objects) array::append_ptr(a, &o);
    ASSERT_EQ(array::length_q(a), 5u);
    EXPECT_EQ(array::pick_ptr(a, 1), &objects[0]);
    EXPECT_EQ(array::pick_ptr(a, 5), &objects[4]);
    EXPECT_EQ(array::find_ptr(a, &objects[3]), i32(3 * array::PTR_UNIT));
    EXPECT_EQ(array::find_ptr(a, nullptr), -1);

    array::remove_ptr(a, &objects[2]);
    array::remove_ptr(a, nullptr);  // absent: nothing
    ASSERT_EQ(array::length_q(a), 4u);
    EXPECT_EQ(array::pick_ptr(a, 2), &objects[1]);
    EXPECT_EQ(array::pick_ptr(a, 3), &objects[3]);
    EXPECT_EQ(array::find_ptr(a, &objects[2]), -1);
}

TEST_F(ArrayTest, LengthClearAndCopy) {
    node_t a = array::make(4, array::INT_UNIT);
    for (i32 v : {1, 2, 3, 4}) array::append_int(a, v);
    node_t b = array::copy(a);
    EXPECT_NE(b, a);

    array::set_length(a, 3);  // 1-based end 3: two elements
    EXPECT_EQ(ints(a), (std::vector<i32>{1, 2}));
    array::set_length(a, 1);
    EXPECT_EQ(array::length_q(a), 0u);
    array::set_length(a, 1000);  // never past the buffer's end
    EXPECT_EQ(array::length_q(a), GET_BUFFER(a)->size / 4);

    array::clear(a);
    EXPECT_EQ(array::length_q(a), 0u);
    EXPECT_EQ(GET_BUFFER(a)->size, 16u);  // emptied, not freed

    // The copy is independent and grows on its own.
    EXPECT_EQ(ints(b), (std::vector<i32>{1, 2, 3, 4}));
    array::append_int(b, 5);
    EXPECT_EQ(ints(b), (std::vector<i32>{1, 2, 3, 4, 5}));
    EXPECT_EQ(array::length_q(a), 0u);
}
