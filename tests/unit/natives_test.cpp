// The native table, the global native and action words, argument checks and
// the print buffer. What natives do is tested by the scripts in tests/scripts.
#include <cstring>
#include <initializer_list>
#include <string>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/helpers.h"
#include "tests/unit/load_helper.h"
#include "tests/unit/runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct NativesTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
};

std::string error_of(const std::function<void()>& f) { return test::error_in_call(f); }

// The running frame's arguments: one loaded value per text.
void args(std::initializer_list<const char*> texts) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    for (const char* t : texts) test::load_one(t);
    ASSERT_EQ(static_cast<size_t>(stack::top - stack::bottom), texts.size());
}

Cell* global(const char* word) { return context::get_global(symbol::make(word)); }

}  // namespace

TEST_F(NativesTest, TableHoldsEveryNativeAtItsIndex) {
    EXPECT_EQ(natives::entry(1), &natives::if_star);
    EXPECT_EQ(natives::entry(20), &natives::do_star);
    EXPECT_EQ(natives::entry(23), &natives::print_star);
    EXPECT_EQ(natives::entry(70), &natives::try_star);
    EXPECT_EQ(natives::entry(82), &natives::catch_star);
    for (u32 i = 1; i <= natives::NATIVE_COUNT; i++) EXPECT_NE(natives::entry(i), nullptr) << i;
    EXPECT_EQ(natives::entry(0), nullptr);
    EXPECT_EQ(natives::entry(108), nullptr);
    EXPECT_STREQ(natives::word_of(1), "if");
    EXPECT_STREQ(natives::word_of(62), "NaN?");
    EXPECT_STREQ(natives::word_of(107), "apply");
    EXPECT_EQ(natives::refinement_count(20), 4u);  // do: /expand /args /next /trace
    EXPECT_EQ(natives::refinement_count(1), 0u);
    EXPECT_EQ(natives::refinement_count(41), natives::refinement_count(45));  // union, exclude share a spec
}

TEST_F(NativesTest, GlobalWordsHoldNativesActionsAndDatatypes) {
    for (u32 i = 1; i <= natives::NATIVE_COUNT; i++) {
        Cell* v = global(natives::word_of(i));
        ASSERT_EQ(TYPE_OF(v), TYPE_NATIVE) << natives::word_of(i);
        EXPECT_EQ(v->data1, i);
    }
    struct {
        const char* word;
        u32 slot;
    } actions[] = {{"make", ACT_MAKE}, {"append", ACT_APPEND}, {"length?", ACT_LENGTH_Q}, {"write", ACT_WRITE}};
    for (auto& a : actions) {
        Cell* v = global(a.word);
        ASSERT_EQ(TYPE_OF(v), TYPE_ACTION) << a.word;
        EXPECT_EQ(v->data1, a.slot);
    }
    EXPECT_EQ(TYPE_OF(global("integer!")), TYPE_DATATYPE);
    EXPECT_EQ(TYPE_OF(global("any-type!")), TYPE_TYPESET);  // typesets keep their values
}

TEST_F(NativesTest, CheckFlagChecksArgumentsAgainstTheSpec) {
    // if: cond [any-type!] then-blk [block!]
    args({"true", "42"});
    EXPECT_EQ(error_of([] { natives::if_star(true, nullptr); }), "script/expect-arg");
    args({"true", "[]"});
    EXPECT_EQ(error_of([] { natives::check_args(1, nullptr); }), "");

    // switch/default: the default case is checked only when the refinement is used.
    args({"1", "[2 [none]]", "3"});
    const i32 used[1] = {2};
    EXPECT_EQ(error_of([&] { natives::check_args(18, used); }), "script/expect-arg");
    const i32 unused[1] = {-1};
    EXPECT_EQ(error_of([&] { natives::check_args(18, unused); }), "");

    // catch/name takes a word or a block; the refinement's argument sits where the integer says.
    args({"[]", "x"});
    const i32 at1[1] = {1};
    EXPECT_EQ(error_of([&] { natives::check_args(82, at1); }), "");
    args({"[]", "5"});
    EXPECT_EQ(error_of([&] { natives::check_args(82, at1); }), "script/expect-arg");
}

TEST_F(NativesTest, PrintBufferIsInTheRootBlock) {
    node_t buf = natives::print_buffer();
    ASSERT_NE(buf, 0u);
    EXPECT_EQ(GET_BUFFER(buf)->length(), 0u);
    EXPECT_GE(GET_BUFFER(buf)->size, 32 * sizeof(Cell));
}
