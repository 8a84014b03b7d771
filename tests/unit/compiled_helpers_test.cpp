// The helpers of compiled code that decide calls and paths at run time, and
// the console error printer.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/compiled.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "load_helper.h"
#include "output_capture.h"
#include "runtime/cell.h"
#include "runtime/print_hooks.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct CompiledHelpersTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
    void TearDown() override {
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
};

Cell logic(bool v) {
    Cell c;
    return *make_cell(&c, TYPE_LOGIC, v ? 1 : 0);
}

// Opens a native call frame over the loaded values of the texts.
void frame(std::initializer_list<const char*> texts) {
    stack::mark_call(nullptr);
    for (const char* t : texts) test::load_one(t);
}

// Evaluates source text at the global level (the words it sets stay).
void eval(const char* text) {
    Cell* base = stack::top;
    Cell code = *test::load(text);
    stack::mark_call(nullptr);
    interpreter::eval(&code, true);
    stack::unwind();
    stack::top = base;
}

// Pushes the loaded values of the text one by one (compiled code keeps a
// path's items on the value stack); answers the first.
Cell* items(const char* text) {
    Cell blk = *test::load(text);
    stack::pop(1);
    Cell* first = stack::top;
    for (u32 i = 0; i < block::zs_length_q(&blk); i++) stack::push(block::zs_abs_at(&blk, series_head(&blk) + i));
    return first;
}

Cell* global(const char* word) { return context::get_global(symbol::make(word)); }

using test::error_in_call;

}  // namespace

TEST_F(CompiledHelpersTest, CallWithRefinementsUsesOnlyTrueOnes) {
    Cell yes = logic(true), no = logic(false), none;
    make_cell(&none, TYPE_NONE);
    // to-hex value /size length
    frame({"255", "2"});
    RefinementGroup size_on[] = {{&yes, 1, 1, 1}};
    call_with_refinements_star(natives::N_TO_HEX, true, 1, size_on);
    EXPECT_EQ(test::mold(stack::arguments), "#FF");
    stack::unwind();

    // Unused: its argument cell becomes none and the entry ignores it.
    frame({"255", "2"});
    RefinementGroup size_off[] = {{&none, 1, 1, 1}};
    call_with_refinements_star(natives::N_TO_HEX, true, 1, size_off);
    EXPECT_EQ(test::mold(stack::arguments), "#000000FF");
    EXPECT_EQ(TYPE_OF(stack::arguments + 1), u32(TYPE_NONE));
    stack::unwind();

    // shift data bits /left /logical: refinements without arguments.
    frame({"-16", "2"});
    RefinementGroup shifts[] = {{&no, 1, 0, 0}, {&yes, 2, 0, 0}};
    call_with_refinements_star(natives::N_SHIFT, true, 2, shifts);
    EXPECT_EQ(test::mold(stack::arguments), "1073741820");
    stack::unwind();

    // An action by its slot: copy value /part length /deep /types kind.
    frame({"\"abcd\"", "2", "none"});
    RefinementGroup copy_refs[] = {{&yes, 1, 1, 1}, {&no, 2, 0, 0}, {&no, 3, 2, 1}};
    call_with_refinements_star(ACT_COPY, false, 3, copy_refs);
    EXPECT_EQ(test::mold(stack::arguments), "\"ab\"");
    stack::unwind();

    // The native's own argument check runs.
    frame({"\"x\"", "2"});
    EXPECT_EQ(error_in_call([&] { call_with_refinements_star(natives::N_TO_HEX, true, 1, size_on); }), "script/expect-arg");
}

TEST_F(CompiledHelpersTest, CallWithRefinementsLimits) {
    for (u32 i = 1; i <= natives::NATIVE_COUNT; i++) EXPECT_LE(natives::refinement_count(i), MAX_REFINEMENTS) << i;
    Cell yes = logic(true);
    RefinementGroup many[MAX_REFINEMENTS + 1] = {};
    frame({"1"});
    EXPECT_EQ(error_in_call([&] { call_with_refinements_star(natives::N_TO_HEX, true, MAX_REFINEMENTS + 1, many); }),
              "internal/limit-hit");
    // A position outside 1..count is ignored: /size stays unused.
    frame({"255", "2"});
    RefinementGroup stray[] = {{&yes, 2, 1, 1}};
    call_with_refinements_star(natives::N_TO_HEX, true, 1, stray);
    EXPECT_EQ(test::mold(stack::arguments), "#000000FF");
}

TEST_F(CompiledHelpersTest, EvalPathGetsAndSets) {
    eval("ph-log: none ph-o: make object! [a: [1 2 3] on-change*: func [w o n] [set 'ph-log w]]");
    // ph-o/a/2
    Cell* path = test::load_one("ph-o/a/2");
    stack::mark_call(nullptr);
    stack::push_star();
    Cell* first = items("ph-o a 2");
    EXPECT_EQ(test::mold(eval_path_star(false, path, first, 3)), "2");
    EXPECT_EQ(test::mold(stack::arguments), "2");
    stack::unwind();

    // ph-o/a/2: 9 - the value is the frame's last pushed one.
    stack::mark_call(nullptr);
    stack::push_star();
    first = items("ph-o a 2");
    test::load_one("9");
    EXPECT_EQ(test::mold(eval_path_star(true, path, first, 3)), "9");
    stack::unwind();
    eval("ph-r: ph-o/a");
    EXPECT_EQ(test::mold(global("ph-r")), "[1 9 3]");

    // ph-o/a: 5 - an object field: its change handler hears of it.
    stack::mark_call(nullptr);
    stack::push_star();
    first = items("ph-o a");
    test::load_one("5");
    eval_path_star(true, path, first, 2);
    stack::unwind();
    eval("ph-r: reduce [ph-o/a ph-log]");
    EXPECT_EQ(test::mold(global("ph-r")), "[5 a]");

    // A head that is a value already; an empty path; a bad element.
    stack::mark_call(nullptr);
    stack::push_star();
    first = items("[7 8] 2");
    EXPECT_EQ(test::mold(eval_path_star(false, path, first, 2)), "8");
    EXPECT_EQ(error_in_call([&] { eval_path_star(false, path, first, 0); }), "script/empty-path");
    first = items("ph-o nothing-here");
    EXPECT_EQ(error_in_call([&] { eval_path_star(false, path, first, 2); }), "script/invalid-path");
}

// A time changed through a compiled set-path lands back in its word, its
// object field (whose handler hears of it) or its block cell.
TEST_F(CompiledHelpersTest, EvalPathStoresChangedTimesBack) {
    eval("ct-log: none ct-t: 1:02:03 ct-b: [[1:00:00]]"
         " ct-o: make object! [t: 0:00:00 on-change*: func [w o n] [ct-log: reduce [w o n]]]");
    struct Case {
        const char* path;
        const char* items;
        u32 count;
        const char* value;
        const char* check;
        const char* expected;
    } cases[] = {
        {"ct-t/minute", "ct-t minute", 2, "5", "ct-t", "1:05:03"},
        {"ct-t/1", "ct-t 1", 2, "7", "ct-t", "7:05:03"},
        {"ct-o/t/hour", "ct-o t hour", 3, "2", "reduce [ct-o/t ct-log]", "[2:00:00 [t 0:00:00 2:00:00]]"},
        {"ct-b/1/1/second", "ct-b 1 1 second", 4, "30", "ct-b", "[[1:00:30]]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Cell* path = test::load_one(c.path);
        stack::mark_call(nullptr);
        stack::push_star();
        Cell* first = items(c.items);
        test::load_one(c.value);
        EXPECT_EQ(test::mold(eval_path_star(true, path, first, c.count)), c.value);
        stack::unwind();
        std::string source = std::string("ct-r: ") + c.check;
        eval(source.c_str());
        EXPECT_EQ(test::mold(global("ct-r")), c.expected);
    }
}

TEST_F(CompiledHelpersTest, ConsoleErrorPrintsAndClosesItsFrame) {
    Cell word;
    word::make_at(symbol::make("missing-thing"), &word);
    print_hooks::init();
    CallFrame* frames = stack::frame_top;
    Cell* top = stack::top;
    std::string out = zav::testing::capture_output([&] { throw_console_error("script", "no-value", &word); });
    EXPECT_NE(out.find("Script Error"), std::string::npos) << "[" << out << "]";
    EXPECT_NE(out.find("missing-thing has no value"), std::string::npos) << out;
    EXPECT_EQ(stack::frame_top, frames);
    EXPECT_EQ(stack::top, top + 1);
    EXPECT_EQ(TYPE_OF(top), u32(TYPE_UNSET));
}
