// The library found live at the first collection is permanent: not marked
// again, so a young value written into one of its blocks lives only because
// the write mark remembered the block.
#include <gtest/gtest.h>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"
#include "test_util.h"

namespace zav {
namespace {

struct PermanentTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        collector::do_cycle();  // the first cycle after start-up makes the library permanent
    }

    // A library block not written since it was made permanent, whose
    // cells are at least `cells` long.
    static node_t old_block(u32 cells) {
        node_t found = 0;
        auto walk = [&](auto& self, node_t n) -> void {
            SeriesBuffer* b = GET_BUFFER(n);
            if (found) return;
            if ((b->flags & SERIES_OLD) && b->length() >= cells) {
                found = n;
                return;
            }
            for (u32 i = 0, len = b->length(); i < len && !found; i++) {
                const Cell* c = block::cells_of(b) + i;
                if (block::any_block_q(TYPE_OF(c)) && collector::permanent_q(c->data2)) self(self, c->data2);
            }
        };
        walk(walk, boot::library()->data2);
        return found;
    }

    static Cell young_string(const char* text) {
        Cell s = *test::load(text);
        return *block::zs_head(&s);
    }

    static void cycles(u32 n) {
        for (u32 i = 0; i < n; i++) collector::do_cycle();
    }
};

TEST_F(PermanentTest, TheLibraryIsPermanentAndMostOfItOld) {
    EXPECT_TRUE(collector::permanent_q(boot::library()->data2));
    EXPECT_NE(old_block(1), 0u);
}

// Written through the series actions (note_write): the block is remembered,
// and what it holds lives through later cycles and stays where it was read.
TEST_F(PermanentTest, AYoungValueAppendedToAnOldBlockLives) {
    node_t blk = old_block(1);
    ASSERT_NE(blk, 0u);
    Cell held;
    make_cell(&held, TYPE_BLOCK, 0, blk);
    collector::Guard guard(&held);
    u32 at = GET_BUFFER(blk)->length();
    // Enough cells to move the block's buffer: its new one stays permanent.
    for (u32 i = 0; i < 40; i++) {
        Cell s = young_string(i % 2 ? "\"young text\"" : "[a young block]");
        collector::Guard keep(&s);
        block::zs_append(&held, &s);
    }
    EXPECT_TRUE(collector::permanent_q(blk));
    EXPECT_FALSE(GET_BUFFER(blk)->flags & SERIES_OLD);
    cycles(3);
    for (u32 i = 0; i < 40; i++) {
        Cell c = *(block::cells_of(GET_BUFFER(blk)) + at + i);
        EXPECT_EQ(test::mold(&c), i % 2 ? "\"young text\"" : "[a young block]");
    }
    SeriesBuffer* b = GET_BUFFER(blk);
    memory::note_write(b);
    b->tail = b->offset + at * sizeof(Cell);
}

// A cache kept in a code cell (the text conversion cache, an object path's
// context): stored in place, with the cell's own write mark.
TEST_F(PermanentTest, ACacheStoredInAnOldCellLives) {
    node_t blk = old_block(1);
    ASSERT_NE(blk, 0u);
    Cell* cell = block::cells_of(GET_BUFFER(blk));
    Cell saved = *cell;
    Cell s = young_string("\"cached\"");
    *cell = s;
    collector::note_cell_store(cell, s.data2);
    EXPECT_FALSE(GET_BUFFER(blk)->flags & SERIES_OLD);
    cycles(3);
    Cell now = *block::cells_of(GET_BUFFER(blk));
    EXPECT_EQ(test::mold(&now), "\"cached\"");
    *cell = saved;
}

}  // namespace
}  // namespace zav
