// The native table's bounds, the check flag's argument checks and the print
// buffer. What natives do, and that each word reaches its own entry and spec,
// is tested by the scripts in tests/scripts.
#include <initializer_list>
#include <string>

#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/cell.h"
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

using test::error_in_call;

// The running frame's arguments: one loaded value per text.
void args(std::initializer_list<const char*> texts) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    for (const char* t : texts) test::load_one(t);
    ASSERT_EQ(static_cast<size_t>(stack::top - stack::bottom), texts.size());
}

}  // namespace

TEST_F(NativesTest, TableAnswersOnlyWithinItsIndexes) {
    EXPECT_EQ(natives::entry(0), nullptr);
    EXPECT_EQ(natives::entry(natives::NATIVE_COUNT + 1), nullptr);
    EXPECT_EQ(natives::word_of(0), nullptr);
    EXPECT_EQ(natives::spec_text(natives::NATIVE_COUNT + 1), nullptr);
    EXPECT_EQ(natives::refinement_count(natives::N_DO), 4u);  // /expand /args /next /trace
    EXPECT_EQ(natives::refinement_count(natives::N_IF), 0u);
    EXPECT_EQ(natives::refinement_count(0), 0u);
}

TEST_F(NativesTest, CheckFlagChecksArgumentsAgainstTheSpec) {
    // if: cond [any-type!] then-blk [block!]
    args({"true", "42"});
    EXPECT_EQ(error_in_call([] { natives::if_star(true, nullptr); }), "script/expect-arg");
    args({"true", "[]"});
    EXPECT_EQ(error_in_call([] { natives::check_args(natives::N_IF, nullptr); }), "");

    // switch/default: the default case is checked only when the refinement is used.
    args({"1", "[2 [none]]", "3"});
    const i32 used[1] = {2};
    EXPECT_EQ(error_in_call([&] { natives::check_args(natives::N_SWITCH, used); }), "script/expect-arg");
    const i32 unused[1] = {-1};
    EXPECT_EQ(error_in_call([&] { natives::check_args(natives::N_SWITCH, unused); }), "");

    // catch/name takes a word or a block; the refinement's argument sits where the integer says.
    args({"[]", "x"});
    const i32 at1[1] = {1};
    EXPECT_EQ(error_in_call([&] { natives::check_args(natives::N_CATCH, at1); }), "");
    args({"[]", "5"});
    EXPECT_EQ(error_in_call([&] { natives::check_args(natives::N_CATCH, at1); }), "script/expect-arg");
}

TEST_F(NativesTest, PrintBufferIsInTheRootBlock) {
    node_t buf = natives::print_buffer();
    ASSERT_NE(buf, 0u);
    EXPECT_EQ(GET_BUFFER(buf)->length(), 0u);
    EXPECT_GE(GET_BUFFER(buf)->size, 32 * sizeof(Cell));
}
