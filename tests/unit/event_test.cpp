// Back-end events: their fields come from the back-end's live record and read
// as none once its dispatch has ended; type and flags live in the cell.
#include "datatypes/event.h"

#include "datatypes/symbol.h"
#include "load_helper.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

// A stand-in back-end: one live record at a time.
u32 live_serial = 0;
bool read_field(u32 serial, i32 field, Cell* out) {
    if (serial != live_serial) return false;
    if (field == event::F_OFFSET) return make_cell(out, TYPE_PAIR, 0, 3, 4), true;
    if (field == event::F_PICKED) return make_cell(out, TYPE_INTEGER, 0, 9), true;
    return make_cell(out, TYPE_NONE), true;
}

struct EventTest : RuntimeTest {
    void TearDown() override { event::set_backend(nullptr); }
};

std::string field_text(const Cell* ev, i32 field) {
    Cell out;
    event::get_field(ev, field, &out);
    return test::mold(&out);
}

TEST_F(EventTest, BackEndFieldsGoStaleAfterTheirDispatch) {
    event::set_backend(read_field);
    live_serial = 7;
    Cell ev;
    event::make_backend(&ev, event::type_code(symbol::make("click")), 7, event::DOWN | event::SHIFT);
    EXPECT_EQ(field_text(&ev, event::F_OFFSET), "3x4");
    EXPECT_EQ(field_text(&ev, event::F_PICKED), "9");
    live_serial = 8;  // the dispatch of record 7 has ended
    EXPECT_EQ(field_text(&ev, event::F_OFFSET), "none");
    EXPECT_EQ(field_text(&ev, event::F_PICKED), "none");
    EXPECT_EQ(field_text(&ev, event::F_TYPE), "click");
    EXPECT_EQ(field_text(&ev, event::F_FLAGS), "[down shift]");
    EXPECT_EQ(field_text(&ev, event::F_SHIFT_Q), "true");
}

TEST_F(EventTest, NoBackEndReadsNone) {
    Cell ev;
    event::make_backend(&ev, 0, 1, 0);
    EXPECT_EQ(field_text(&ev, event::F_TYPE), "none");
    EXPECT_EQ(field_text(&ev, event::F_FACE), "none");
}

TEST_F(EventTest, NamesMatchWithoutRegardToCase) {
    EXPECT_EQ(event::type_code(symbol::make("Key-Down")), 14u);
    EXPECT_EQ(event::type_code(symbol::make("nothing")), 0u);
    EXPECT_EQ(event::flag_bit(symbol::make("CONTROL")), event::CONTROL);
    EXPECT_EQ(event::flag_bit(symbol::make("ctrl")), 0u);
    EXPECT_EQ(event::field_index(symbol::make("Orientation")), 15);
    EXPECT_EQ(event::field_index(symbol::make("control")), -1);
}

// The one flags block belongs to the runtime that made it: a runtime brought
// up again (as after the memory is freed) makes its own, and never writes
// into a node that the new runtime has given to something else.
TEST_F(EventTest, FlagsBlockIsRemadeByEachRuntime) {
    Cell ev, flags;
    event::make_backend(&ev, 1, 1, event::DOWN);
    event::get_field(&ev, event::F_FLAGS, &flags);
    EXPECT_EQ(test::mold(&flags), "[down]");
    node_t before = series_node(&flags);
    test::bare_memory();
    boot::init_runtime();
    for (int i = 0; i < 100; i++) test::load("x y");
    event::make_backend(&ev, 1, 1, event::SHIFT);
    event::get_field(&ev, event::F_FLAGS, &flags);
    EXPECT_EQ(test::mold(&flags), "[shift]");
    EXPECT_NE(series_node(&flags), before);
}

}  // namespace
