// Cell and buffer helpers, the cycle guard and the value stack.
#include <gtest/gtest.h>

#include "datatypes/error.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "test_util.h"

using namespace zav;

namespace {
struct HelpersTest : ::testing::Test {
    void SetUp() override { memory::init(); }
};

using test::integer_cell;
}  // namespace

TEST_F(HelpersTest, CopyCellAndFlags) {
    Cell a = integer_cell(7);
    a.header |= FLAG_NEW_LINE;
    EXPECT_EQ(copy_cell(&a, &a), &a);
    EXPECT_EQ(a.data2, 7u);
    Cell b;
    copy_cell(&a, &b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    clear_cell_flag(&b);
    EXPECT_EQ(b.header, u32(TYPE_INTEGER));
    set_type(&a, TYPE_CHAR);
    EXPECT_EQ(a.header, TYPE_CHAR | FLAG_NEW_LINE);
}

TEST_F(HelpersTest, TailAllocationGrows) {
    node_t block = alloc_cells(1);
    for (i32 i = 0; i < 100; i++) *alloc_at_tail(block) = integer_cell(i);
    SeriesBuffer* b = GET_BUFFER(block);
    ASSERT_EQ(b->length(), 100u);
    auto* cells = reinterpret_cast<Cell*>(b->head());
    for (i32 i = 0; i < 100; i++) ASSERT_EQ(cells[i].data2, u32(i));

    // 100 bytes on a 16-byte buffer: twice the request.
    node_t bytes = alloc_bytes(16);
    SeriesBuffer* buf = GET_BUFFER(bytes);
    u8* old_tail = alloc_tail_unit(buf, 100);
    EXPECT_EQ(GET_BUFFER(bytes)->size, 208u);  // 200 rounded to the 16-byte granule
    EXPECT_EQ(GET_BUFFER(bytes)->used_bytes(), 100u);
    EXPECT_EQ(old_tail, GET_BUFFER(bytes)->head());
}

TEST_F(HelpersTest, CopySeriesPartClampsAndDropsOwnership) {
    node_t s = alloc_bytes(16);
    SeriesBuffer* b = GET_BUFFER(s);
    std::memcpy(b->head(), "hello world", 11);
    b->tail = b->offset + 11;
    b->flags |= SERIES_OWNED;
    struct Case {
        u32 offset, length;
        const char* expect;
    } cases[] = {{6, 5, "world"}, {0, 5, "hello"}, {6, 100, "world"}, {20, 3, ""}};
    for (const Case& c : cases) {
        SeriesBuffer* p = GET_BUFFER(copy_series_part(s, c.offset, c.length));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->head()), p->used_bytes()), c.expect);
        EXPECT_FALSE(p->flags & SERIES_OWNED);
    }
}

TEST_F(HelpersTest, TypesetBits) {
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    auto* bits = reinterpret_cast<u8*>(&ts.data1);
    bits[TYPE_INTEGER / 8] |= 0x80 >> (TYPE_INTEGER % 8);
    EXPECT_TRUE(typeset_has(&ts, TYPE_INTEGER));
    EXPECT_FALSE(typeset_has(&ts, TYPE_FLOAT));
    EXPECT_FALSE(typeset_has(&ts, 200));
}

TEST_F(HelpersTest, CycleGuard) {
    cycles::reset();
    cycles::push(10);
    cycles::push(20);
    EXPECT_TRUE(cycles::find_q(10));
    EXPECT_FALSE(cycles::find_q(30));
    cycles::pop_n(5);
    EXPECT_EQ(cycles::depth(), 0u);
    cycles::pop();  // on an empty stack: nothing
    // The thousandth nested push raises too-deep and leaves the stack empty.
    error::last = {nullptr, nullptr};
    bool raised = false;
    try {
        for (u32 i = 0; i < cycles::CYCLES_SIZE; i++) cycles::push(i + 1);
    } catch (Throw& t) {
        raised = t.value == THROW_ERROR;
    }
    EXPECT_TRUE(raised);
    EXPECT_STREQ(error::last.id, "too-deep");
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(HelpersTest, ValueStackBasics) {
    stack::init_default();
    EXPECT_EQ(stack::get_top(), stack::bottom);  // empty: the bottom cell itself
    Cell one = integer_cell(1), two = integer_cell(2);
    stack::push(&one);
    stack::push(&two);
    EXPECT_EQ(stack::get_top()->data2, 2u);
    stack::pop(10);
    EXPECT_EQ(stack::top, stack::bottom);

    // A frame's region starts at the top; unwinding keeps the callee's result.
    stack::push(&one);
    stack::mark_call(nullptr);
    stack::push(&two);
    stack::set_last(&two);
    stack::unwind_last();
    EXPECT_EQ(stack::arguments, stack::bottom);
    EXPECT_EQ(stack::bottom->data2, 2u);
    EXPECT_EQ(stack::frame_top, stack::frame_base);
}

TEST_F(HelpersTest, StackOverflowIsALanguageError) {
    stack::init_default();
    Cell v = integer_cell(3);
    bool raised = false;
    try {
        for (u32 i = 0; i <= ARG_STACK_CELLS; i++) stack::push(&v);
    } catch (Throw&) {
        raised = true;
    }
    EXPECT_TRUE(raised);
    EXPECT_STREQ(error::last.id, "stack-overflow");
    EXPECT_LT(stack::top, stack::end);
    raised = false;
    try {
        for (u32 i = 0; i <= 12000; i++) stack::mark_loop(nullptr);
    } catch (Throw&) {
        raised = true;
    }
    EXPECT_TRUE(raised);
}
