// The quit request passes every region that catches throws on its way to the
// outermost handler: try, try/all, catch, loops, do, function bodies.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "output_capture.h"
#include "runtime/print_hooks.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

// Printing "quit" raises the quit request, as the library's quit does.
void quit_hook(const Cell* text, bool) {
    if (test::form(text) == "quit") throw Throw{THROW_QUIT};
}

struct QuitTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        print_hooks::init();
        print_hooks::add(quit_hook, nullptr);
    }
    void TearDown() override {
        print_hooks::remove(quit_hook, nullptr);
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
};

// Evaluates source text in a guard frame: "quit" when the quit request got
// out, else the molded result or the error's category/id.
std::string run(const char* text) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    Cell con;
    word::make_at(symbol::make("console"), &con);
    stack::mark_kind5(&con);
    Cell code = *test::load(text);
    std::string result;
    zav::testing::capture_output([&] {
        try {
            interpreter::eval(&code, true);
            result = test::mold(stack::arguments);
        } catch (Throw& t) {
            if (t.value == THROW_QUIT) result = "quit";
            else if (t.value == THROW_ERROR) result = std::string(error::last.category) + "/" + error::last.id;
            else result = "throw " + std::to_string(t.value);
        }
    });
    return result;
}

}  // namespace

TEST_F(QuitTest, PassesEveryCatchingRegion) {
    const char* cases[] = {
        "try [print \"quit\"]",
        "try/all [print \"quit\"]",
        "try/all [try/all [print \"quit\"]]",
        "catch [print \"quit\"]",
        "catch/name [print \"quit\"] 'x",
        "loop 3 [print \"quit\"]",
        "while [print \"quit\" true] [1]",
        "until [print \"quit\"]",
        "foreach x [1 2] [try/all [print \"quit\"]]",
        "repeat i 2 [catch [print \"quit\"]]",
        "do [print \"quit\"]",
        "do func [] [print \"quit\"]",
        "f: func [] [try/all [print \"quit\"] 1] f",
        "parse [a] [(print \"quit\")]",
        "sort/compare [2 1] func [a b] [print \"quit\"]",
    };
    for (const char* c : cases) EXPECT_EQ(run(c), "quit") << c;
}

TEST_F(QuitTest, TryAllStillStopsTheLanguageExits) {
    EXPECT_EQ(run("try/all [print \"fine\" 1]"), "1");
    EXPECT_EQ(run("type? try/all [1 / 0]"), "error!");
    EXPECT_EQ(run("loop 2 [try/all [break]] 3"), "3");
    EXPECT_EQ(run("f: func [] [try/all [return 4] 5] f"), "5");
}
