// Memory manager: allocation sizes, frames, big frames, expansion and failures.
#include <gtest/gtest.h>

#include "datatypes/error.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"
#include "runtime/rt.h"

using namespace zav;

namespace {

struct MemoryTest : ::testing::Test {
    void SetUp() override {
        test::bare_memory();
    }
    void TearDown() override { free_all_memory(); }
};

u32 frame_bytes_taken(SeriesFrame* f, off32 heap_before) { return f->heap - heap_before; }

}  // namespace

TEST_F(MemoryTest, SizesOfSmallAllocations) {
    struct Case {
        u32 units, unit;
        i32 offset;
        u32 size;       // data area
        u32 first;      // offset of the first used byte in the data area
        u32 taken;      // bytes of the frame used
    } cases[] = {
        {3, 16, 0, 48, 0, 72},
        {1, 1, 0, 16, 0, 40},
        {100, 1, -1, 112, 56, 136},
        {0, 1, 0, 0, 0, 24},
    };
    alloc_bytes(1);  // make the first frame
    for (const Case& c : cases) {
        SeriesFrame* f = at<SeriesFrame>(memory::record.s_active);
        off32 before = f->heap;
        node_t n = alloc_series(c.units, c.unit, c.offset);
        SeriesBuffer* b = GET_BUFFER(n);
        EXPECT_EQ(b->size, c.size);
        EXPECT_EQ(b->offset - off_of(b->data()), c.first);
        EXPECT_EQ(b->tail, b->offset);
        EXPECT_EQ(frame_bytes_taken(f, before), c.taken);
        EXPECT_EQ(b->node, n);
        EXPECT_EQ(b->unit(), c.unit);
        EXPECT_TRUE(b->flags & SERIES_USED);
        EXPECT_TRUE(b->flags & SERIES_NEW);
        EXPECT_EQ(bool(b->flags & SERIES_SHIFTED), c.offset == -1);
    }
}

TEST_F(MemoryTest, EmptyRequestsGetSixteenBytes) {
    EXPECT_EQ(GET_BUFFER(alloc_bytes(0))->size, 16u);
    EXPECT_EQ(GET_BUFFER(alloc_codepoints(0, 4))->size, 16u);
    EXPECT_EQ(GET_BUFFER(alloc_codepoints(0, 2))->size, 16u);
}

TEST_F(MemoryTest, UnsetCellsAndFilledBytes) {
    SeriesBuffer* b = GET_BUFFER(alloc_unset_cells(3));
    auto* words = reinterpret_cast<u32*>(b->data());
    for (u32 i = 0; i < 3; i++) EXPECT_EQ(words[i * 4], 2u);
    b = GET_BUFFER(alloc_bytes_filled(20, 0xAB));
    for (u32 i = 0; i < b->size; i++) ASSERT_EQ(b->data()[i], 0xAB);
}

TEST_F(MemoryTest, BigFrameThreshold) {
    // size + 24 reaching 2 MB takes a big frame; one 16-byte step less does not.
    u32 exact = S_MAX - SERIES_HEADER - SERIES_SLACK;
    EXPECT_TRUE(GET_BUFFER(alloc_bytes(exact))->flags & SERIES_BIG);
    EXPECT_FALSE(GET_BUFFER(alloc_bytes(exact - 16))->flags & SERIES_BIG);
}

TEST_F(MemoryTest, SeriesFramesGrowToTheMaximum) {
    alloc_bytes(1);
    EXPECT_EQ(at<SeriesFrame>(memory::record.s_head)->size, S_START + 20);
    EXPECT_EQ(memory::record.s_size, S_MAX);
    // Fill the first frame so that a second one is made.
    for (int i = 0; i < 40; i++) alloc_bytes(50000);
    // The list is in address order, and a frame made first may sit above a
    // later one (where an earlier test freed room): count sizes, not places.
    u32 frames = 0, first_sized = 0;
    for (off32 o = memory::record.s_head; o; o = at<SeriesFrame>(o)->next) {
        SeriesFrame* f = at<SeriesFrame>(o);
        frames++;
        if (f->size == S_START + 20) first_sized++;
        else EXPECT_EQ(f->size, S_MAX + 20);
        if (f->prev) {
            EXPECT_LT(f->prev, o);  // ascending addresses
        }
    }
    EXPECT_GE(frames, 2u);
    EXPECT_EQ(first_sized, 1u);
    EXPECT_EQ(memory::record.s_size, S_MAX);
}

TEST_F(MemoryTest, FullActiveFrameFallsBackToSearch) {
    // When the active frame is full, the first frame in address order with
    // room becomes active, however little room it has left.
    struct Case {
        u32 free_left;
        bool reused;
    } cases[] = {{2000, true}, {0xCCCC, true}, {1000, false}};
    for (const Case& c : cases) {
        free_all_memory();
        alloc_bytes(16);
        SeriesFrame* first = at<SeriesFrame>(memory::record.s_head);
        first->heap = first->end - c.free_left;
        SeriesFrame* second = new_series_frame();
        second->heap = second->end;
        memory::record.s_active = off_of(second);
        alloc_bytes(1000);
        EXPECT_EQ(memory::record.s_active == off_of(first), c.reused) << c.free_left;
    }
}

TEST_F(MemoryTest, ExpansionDoublesAndKeepsContent) {
    node_t n = alloc_bytes(16);
    SeriesBuffer* b = GET_BUFFER(n);
    std::memcpy(b->head(), "abcdefghij", 10);
    b->tail = b->offset + 10;
    b->flags |= SERIES_OWNED;
    alloc_bytes(16);  // a buffer after it: it moves
    SeriesBuffer* old = b;
    SeriesBuffer* fresh = expand_series(b, 0);
    EXPECT_EQ(GET_BUFFER(n), fresh);
    EXPECT_EQ(fresh->size, 32u);
    EXPECT_EQ(fresh->used_bytes(), 10u);
    EXPECT_EQ(std::memcmp(fresh->head(), "abcdefghij", 10), 0);
    EXPECT_TRUE(fresh->flags & SERIES_OWNED);
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & SERIES_USED);
}

TEST_F(MemoryTest, ExpansionFilledAndCopy) {
    node_t n = alloc_bytes(16);
    SeriesBuffer* b = GET_BUFFER(n);
    std::memset(b->head(), 'x', 16);
    b->tail = b->offset + 16;
    SeriesBuffer* fresh = expand_series_filled(b, 64, '-');
    EXPECT_EQ(fresh->size, 64u);
    for (u32 i = 16; i < 64; i++) ASSERT_EQ(fresh->data()[i], '-');
    node_t c = copy_series(fresh);
    SeriesBuffer* cb = GET_BUFFER(c);
    EXPECT_NE(c, n);
    EXPECT_EQ(cb->used_bytes(), 16u);
    EXPECT_EQ(std::memcmp(cb->head(), fresh->head(), 16), 0);
}

// The last buffer of the active series frame grows into the frame's free
// bytes; once another buffer follows it, it moves. Content is kept either way.
TEST_F(MemoryTest, LastBufferOfTheFrameGrowsInPlace) {
    node_t n = alloc_bytes(64);
    SeriesBuffer* b = GET_BUFFER(n);
    std::memcpy(b->head(), "abcdefgh", 8);
    b->tail = b->offset + 8;
    SeriesFrame* f = at<SeriesFrame>(memory::record.s_active);
    SeriesBuffer* grown = expand_series(b, 256);
    EXPECT_EQ(grown, b);
    EXPECT_EQ(grown->size, 256u);
    EXPECT_EQ(f->heap, off_of(b) + 256 + SERIES_HEADER + SERIES_SLACK);
    EXPECT_EQ(std::memcmp(grown->head(), "abcdefgh", 8), 0);

    node_t after = alloc_bytes(16);
    SeriesBuffer* moved = expand_series(GET_BUFFER(n), 0);
    EXPECT_NE(moved, b);
    EXPECT_EQ(GET_BUFFER(n), moved);
    EXPECT_EQ(moved->size, 512u);
    EXPECT_EQ(std::memcmp(moved->head(), "abcdefgh", 8), 0);
    EXPECT_EQ(GET_BUFFER(after)->size, 16u);
}

// A buffer in a big frame grows into the free pages after it: same address,
// content kept, the new room filled as asked, only the growth counted.
// Whether it grows in place or moves once another frame may follow it, the
// content is the same.
TEST_F(MemoryTest, BigBufferGrowsInPlaceWhileThePagesAfterItAreFree) {
    alloc_node();
    // Earlier tests in this process may have left holes in the arena that a
    // new big buffer fills exactly; such buffers move when they grow. Taking
    // buffers until one grows in place fills those holes first.
    node_t n = 0;
    SeriesBuffer* b = nullptr;
    SeriesBuffer* grown = nullptr;
    u64 total = 0;
    for (int attempt = 0; attempt < 64; attempt++) {
        n = alloc_bytes(S_MAX);
        b = GET_BUFFER(n);
        ASSERT_TRUE(b->flags & SERIES_BIG);
        std::memset(b->head(), 'x', S_MAX);
        b->tail = b->offset + S_MAX;
        total = memory::record.total;
        grown = expand_series_filled(b, 2 * S_MAX, '-');
        if (grown == b) break;
        // Moved: the content went along.
        ASSERT_EQ(grown->used_bytes(), S_MAX);
        ASSERT_EQ(grown->head()[S_MAX - 1], 'x');
        ASSERT_EQ(grown->head()[S_MAX], '-');
    }
    EXPECT_EQ(grown, b);
    EXPECT_EQ(GET_BUFFER(n), b);
    EXPECT_EQ(grown->size, 2 * S_MAX);
    EXPECT_EQ(grown->used_bytes(), S_MAX);
    EXPECT_EQ(grown->head()[S_MAX - 1], 'x');
    EXPECT_EQ(grown->head()[S_MAX], '-');
    EXPECT_EQ(grown->head()[2 * S_MAX - 1], '-');
    EXPECT_EQ(memory::record.total, total + S_MAX);

    node_t after = alloc_bytes(S_MAX);
    SeriesBuffer* again = expand_series(GET_BUFFER(n), 0);
    EXPECT_EQ(GET_BUFFER(n), again);
    EXPECT_EQ(again->size, 4 * S_MAX);
    EXPECT_EQ(again->used_bytes(), S_MAX);
    EXPECT_EQ(again->head()[0], 'x');
    EXPECT_EQ(again->head()[2 * S_MAX - 1], '-');
    // Content that starts past the data's first byte keeps the room asked for after it.
    node_t m = alloc_series(S_MAX, 1, -1);
    SeriesBuffer* shifted = GET_BUFFER(m);
    ASSERT_TRUE(shifted->flags & SERIES_BIG);
    u32 gap = shifted->offset - off_of(shifted->data());
    EXPECT_GT(gap, 0u);
    shifted->tail = shifted->offset + 100;
    SeriesBuffer* roomy = expand_series(shifted, 3 * S_MAX);
    EXPECT_EQ(roomy->used_bytes(), 100u);
    EXPECT_GE(u64(off_of(roomy->data_end()) - roomy->offset), 3u * S_MAX);
    // A grown frame is released whole.
    u64 before_free = memory::record.total;
    free_big(again);
    EXPECT_EQ(memory::record.total, before_free - (4 * S_MAX + PAGE_SIZE_BYTES));
    free_big(GET_BUFFER(after));
}

TEST_F(MemoryTest, OversizedRequestsRaiseNoMemory) {
    struct Case {
        u32 units, unit;
    } cases[] = {{0xFFFFFFFFu, 1}, {0x10000000u, 16}, {0xFFFFFFF0u, 4}};
    for (const Case& c : cases) {
        error::last = {nullptr, nullptr};
        try {
            alloc_series(c.units, c.unit, 0);
            ADD_FAILURE() << "no error for " << c.units;
        } catch (Throw& t) {
            EXPECT_EQ(t.value, THROW_ERROR);
            EXPECT_STREQ(error::last.category, "internal");
            EXPECT_STREQ(error::last.id, "no-memory");
        }
    }
    // Expanding past the cap fails the same way, and doubling never wraps.
    node_t n = alloc_bytes(16);
    EXPECT_THROW(expand_series(GET_BUFFER(n), 0xFFFFFFF0u), Throw);
}

TEST_F(MemoryTest, NodesComeFromFramesAndReturn) {
    node_t a = alloc_node();
    node_t b = alloc_node();
    NodeFrame* f = node_frame_of(a);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->used, 2u);
    EXPECT_EQ(f->capacity, NODE_FRAME_NODES);
    free_node(f, b);
    EXPECT_EQ(f->used, 1u);
    EXPECT_EQ(alloc_node(), b);  // the freed node is reused first
    // Exhausting a frame makes a second one.
    for (u32 i = 0; i < NODE_FRAME_NODES; i++) alloc_node();
    EXPECT_NE(memory::record.n_head, memory::record.n_tail);
    // Frames that are empty after a collection are released.
    NodeFrame* second = at<NodeFrame>(memory::record.n_tail);
    while (second->used) {
        // free every node of the second frame
        for (u32 i = 0; i < second->capacity; i++) {
            off32 node = off_of(&second->nodes()[i]);
            bool is_free = false;
            for (off32 x = second->free; x; x = *at<off32>(x))
                if (x == node) { is_free = true; break; }
            if (!is_free) free_node(second, node);
        }
    }
    free_node_frames();
    EXPECT_EQ(memory::record.n_head, memory::record.n_tail);
}

TEST_F(MemoryTest, TotalCountsPages) {
    alloc_node();  // the node frame is counted too; make it first
    u64 before = memory::record.total;
    node_t n = alloc_bytes(S_MAX);
    EXPECT_GT(memory::record.total, before + S_MAX);
    free_big(GET_BUFFER(n));
    EXPECT_EQ(memory::record.total, before);
}

// A decoded block's mark: a write through the tail helpers ends what was
// decoded (the epoch moves, once) and drops the mark; an unmarked block's
// writes move nothing; a copy is never marked, and growth keeps the mark.
TEST_F(MemoryTest, WritesToADecodedBlockMoveTheEpoch) {
    node_t n = alloc_cells(4);
    u64 e = memory::buffer_epoch;
    alloc_at_tail(n);
    EXPECT_EQ(memory::buffer_epoch, e);
    memory::note_decoded(GET_BUFFER(n));
    node_t copy = copy_series(GET_BUFFER(n));
    EXPECT_FALSE(GET_BUFFER(copy)->flags & SERIES_DECODED);
    e = memory::buffer_epoch;
    alloc_at_tail(n);
    EXPECT_EQ(memory::buffer_epoch, e + 1);
    EXPECT_FALSE(GET_BUFFER(n)->flags & SERIES_DECODED);
    alloc_at_tail(n);
    EXPECT_EQ(memory::buffer_epoch, e + 1);
    memory::note_decoded(GET_BUFFER(n));
    SeriesBuffer* grown = expand_series(GET_BUFFER(n), 0);
    EXPECT_GT(memory::buffer_epoch, e + 1);
    EXPECT_TRUE(grown->flags & SERIES_DECODED);
}
