// Tab completion through the library, as the line editor asks for it.
#include <gtest/gtest.h>

#include "console/completion.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

struct CompletionTest : RuntimeTest {};

TEST_F(CompletionTest, LineCursorAndCandidates) {
    struct Case {
        std::u32string line;
        size_t cursor;
        bool some;
        std::u32string completed;
        size_t new_cursor;
        std::vector<std::u32string> candidates;
    } cases[] = {
        {U"appen", 5, true, U"append", 6, {}},
        {U"x: to-bl 1", 8, true, U"x: to-block 1", 11, {}},
        {U"append/", 7, true, U"append/", 7, {U"dup", U"only", U"part"}},
        {U"append", 6, false, U"", 0, {}},
        {U"", 0, false, U"", 0, {}},
        {U"no-such-word-at-all", 19, false, U"", 0, {}},
    };
    for (const auto& c : cases) {
        auto r = completion::complete_input(c.line, c.cursor);
        ASSERT_EQ(r.has_value(), c.some) << terminal::to_utf8(c.line);
        if (!r) continue;
        EXPECT_EQ(terminal::to_utf8(r->line), terminal::to_utf8(c.completed));
        EXPECT_EQ(r->cursor, c.new_cursor);
        EXPECT_EQ(r->candidates, c.candidates);
    }
}

// The editor's Tab, completed through the library.
TEST_F(CompletionTest, TabInTheEditor) {
    std::vector<std::u32string> history;
    terminal::Completer completer = completion::complete_input;
    terminal::LineEditor editor(history, &completer);
    editor.begin(U">> ", {}, 80, 0);
    for (char32_t c : std::u32string(U"x: appen\t")) editor.key(static_cast<i32>(c));
    EXPECT_EQ(terminal::to_utf8(editor.line()), "x: append");
}

}  // namespace
