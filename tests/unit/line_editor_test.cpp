// The line editor without a terminal: key decoding from bytes, editing and
// history, and the drawing checked on a small model of a VT screen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console/char_width.h"
#include "console/terminal.h"
#include "runtime/platform/input.h"

using namespace zav;
using namespace zav::terminal;

namespace {

std::vector<i32> decode(const std::string& bytes, bool pause_at_end = true) {
    KeyDecoder d;
    std::vector<i32> keys;
    for (char c : bytes) d.feed(static_cast<u8>(c));
    if (pause_at_end) d.timeout();
    i32 k;
    while (d.next(&k)) keys.push_back(k);
    return keys;
}

TEST(KeyDecoder, Sequences) {
    struct Case {
        const char* bytes;
        std::vector<i32> keys;
    } cases[] = {
        {"a", {'a'}},
        {"\r", {KEY_ENTER}},
        {"\n", {KEY_ENTER}},
        {"\x7f", {127}},
        {"\x08", {8}},
        {"\x03\x04", {3, 4}},
        {"\x1b[A\x1b[B\x1b[C\x1b[D", {KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT}},
        {"\x1bOA\x1bOB\x1bOC\x1bOD", {KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT}},
        {"\x1b[H\x1b[F\x1bOH\x1bOF", {KEY_HOME, KEY_END, KEY_HOME, KEY_END}},
        {"\x1b[1~\x1b[4~\x1b[7~\x1b[8~", {KEY_HOME, KEY_END, KEY_HOME, KEY_END}},
        {"\x1b[3~\x1b[2~\x1b[5~\x1b[6~", {KEY_DELETE, KEY_INSERT, KEY_PAGE_UP, KEY_PAGE_DOWN}},
        {"\x1b[1;5C", {KEY_RIGHT}},            // with a modifier
        {"\x1b[15~x", {KEY_NONE, 'x'}},        // F5: no meaning here
        {"\x1b", {KEY_ESC}},                   // a lone Esc, told by the pause
        {"\x1bx", {KEY_ESC, 'x'}},
        {"\x1b[12;40R", {KEY_CURSOR_REPORT}},
        {"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", {0xE9, 0x4E2D, 0x1F600}},
        {"\xc3(", {0xFFFD, '('}},              // broken sequence: the byte starts afresh
        {"\xc0\xaf", {0xFFFD, 0xFFFD}},        // overlong
        {"\xed\xa0\x80", {0xFFFD}},            // surrogate
        {"\xff", {0xFFFD}},
        {"\xe4\xb8", {0xFFFD}},                // cut off by the pause
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.bytes), c.keys) << c.bytes;
}

TEST(KeyDecoder, SequenceSplitAcrossReadsWaits) {
    KeyDecoder d;
    d.feed(0x1b);
    EXPECT_TRUE(d.pending());
    i32 k;
    EXPECT_FALSE(d.next(&k));
    d.feed('[');
    d.feed('D');
    ASSERT_TRUE(d.next(&k));
    EXPECT_EQ(k, KEY_LEFT);
    EXPECT_FALSE(d.pending());
}

// A VT screen as far as the editor uses it: printing with wide characters and
// the pending wrap at the end of a row, CR, LF, cursor up, down and right,
// erase to the end of the screen; other sequences (colours) are ignored.
class Screen {
public:
    explicit Screen(int columns) : columns_(columns) { rows_.emplace_back(columns, U' '); }

    void write(const std::string& bytes) {
        std::u32string text = from_utf8(bytes);
        for (size_t i = 0; i < text.size(); i++) {
            char32_t c = text[i];
            if (c == 27 && i + 1 < text.size() && text[i + 1] == '[') {
                size_t j = i + 2;
                int n = 0;
                bool has = false;
                while (j < text.size() && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) {
                    if (text[j] != ';') n = n * 10 + static_cast<int>(text[j] - '0'), has = true;
                    j++;
                }
                if (!has) n = 1;
                csi(text[j], n);
                i = j;
            } else if (c == '\r') {
                col = 0;
                pending_ = false;
            } else if (c == '\n') {
                down(1);
            } else {
                put(c);
            }
        }
    }
    std::string row_text(int r) const {
        std::u32string s;
        for (char32_t c : rows_[static_cast<size_t>(r)])
            if (c != 0) s += c;
        while (!s.empty() && s.back() == U' ') s.pop_back();
        return to_utf8(s);
    }
    int row_count() const { return static_cast<int>(rows_.size()); }
    int row = 0, col = 0;

private:
    void down(int n) {
        row += n;
        pending_ = false;
        while (row >= row_count()) rows_.emplace_back(columns_, U' ');
    }
    void csi(char32_t f, int n) {
        pending_ = false;
        if (f == 'A') row = std::max(0, row - n);
        if (f == 'B') down(n);
        if (f == 'C') col = std::min(columns_ - 1, col + n);
        if (f == 'J') {
            for (int c = col; c < columns_; c++) rows_[static_cast<size_t>(row)][static_cast<size_t>(c)] = U' ';
            rows_.resize(static_cast<size_t>(row) + 1);
        }
    }
    void put(char32_t c) {
        int w = static_cast<int>(console::char_width(static_cast<u32>(c)));
        if (w == 0) return;
        if (pending_ || col + w > columns_) {
            down(1);
            col = 0;
        }
        auto& r = rows_[static_cast<size_t>(row)];
        r[static_cast<size_t>(col)] = c;
        if (w == 2) r[static_cast<size_t>(col) + 1] = 0;
        col += w;
        if (col == columns_) {
            col = columns_ - 1;
            pending_ = true;
        }
    }
    int columns_;
    bool pending_ = false;
    std::vector<std::u32string> rows_;
};

struct Session {
    std::vector<std::u32string> history;
    Completer completer;
    LineEditor editor{history, &completer};
    Screen screen;
    LineEditor::Step last = LineEditor::Step::More;

    explicit Session(int columns, const std::string& prompt = ">> ", EditOptions options = {}, int start_col = 0)
        : screen(columns) {
        if (start_col > 0) screen.write(std::string(static_cast<size_t>(start_col), '.'));
        editor.begin(from_utf8(prompt), options, columns, start_col);
        screen.write(editor.take_output());
    }
    void type(const std::string& bytes) {
        KeyDecoder d;
        for (char c : bytes) d.feed(static_cast<u8>(c));
        d.timeout();
        i32 k;
        while (d.next(&k)) {
            last = editor.key(k);
            screen.write(editor.take_output());
        }
    }
    std::string line() const { return to_utf8(editor.line()); }
};

const char* LEFT = "\x1b[D";
const char* RIGHT = "\x1b[C";
const char* UP = "\x1b[A";
const char* DOWN = "\x1b[B";

TEST(LineEditor, EditingKeys) {
    struct Case {
        std::string keys, line;
        size_t cursor;
    } cases[] = {
        {"abc", "abc", 3},
        {std::string("abc") + LEFT + LEFT + "X", "aXbc", 2},
        {std::string("abc") + "\x1b[H" + "X" + "\x1b[F" + "Y", "XabcY", 5},
        {std::string("abc") + "\x1b[1~" + "\x1b[3~", "bc", 0},
        {std::string("abc") + "\x01" + "\x06" + "\x0b", "a", 1},  // Ctrl-A, Ctrl-F, Ctrl-K
        {std::string("abc") + "\x7f" + "\x08", "a", 1},
        {std::string("abc") + "\x02\x02\x04", "ac", 1},             // Ctrl-D inside deletes
        {std::string("abc") + "\x04", "abc", 3},                    // Ctrl-D at the end: nothing
        {std::string("ab") + LEFT + LEFT + LEFT + "\x7f" + RIGHT + RIGHT + RIGHT + "c", "abc", 3},
        {"a\x1b[5~\x1b[2~\x12" "b", "ab", 2},                         // ignored keys
        {"\xe4\xb8\xad\xe6\x96\x87", "\xe4\xb8\xad\xe6\x96\x87", 2},
    };
    for (const auto& c : cases) {
        Session s(40);
        s.type(c.keys);
        EXPECT_EQ(s.line(), c.line) << c.keys;
        EXPECT_EQ(s.editor.cursor(), c.cursor) << c.keys;
        EXPECT_EQ(s.screen.row_text(0), ">> " + c.line) << c.keys;
    }
}

TEST(LineEditor, EndingKeys) {
    struct Case {
        std::string keys, line;
    } cases[] = {
        {"abc\r", "abc"},
        {"\x04", "q"},          // Ctrl-D on an empty line
        {"ab\x03", "q"},        // Ctrl-C anywhere
        {"ab\x1b", "ab\x1b"},   // Esc keeps the text before it
    };
    for (const auto& c : cases) {
        Session s(40);
        s.type(c.keys);
        EXPECT_EQ(s.last, LineEditor::Step::Done) << c.keys;
        EXPECT_EQ(s.line(), c.line);
        EXPECT_EQ(s.screen.row, 1);  // the line is left behind with a line break
        EXPECT_EQ(s.screen.col, 0);
    }
}

TEST(LineEditor, History) {
    std::vector<std::u32string> history;
    Completer none;
    auto enter_into = [&](std::vector<std::u32string>& into, const std::string& keys) {
        LineEditor e(into, &none);
        e.begin(U">> ", {}, 80, 0);
        KeyDecoder d;
        for (char c : keys) d.feed(static_cast<u8>(c));
        d.timeout();
        i32 k;
        while (d.next(&k))
            if (e.key(k) == LineEditor::Step::Done) break;
        return to_utf8(e.line());
    };
    auto enter = [&](const std::string& keys) { return enter_into(history, keys); };
    enter("one\r");
    enter("two\r");
    enter("two\r");  // same as the newest: not added
    enter("\r");     // empty: not added
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(to_utf8(history[0]), "two");
    struct Case {
        std::string keys, line;
    } cases[] = {
        {std::string(UP) + "\r", "two"},
        {std::string(UP) + UP + "\r", "one"},
        {std::string(UP) + UP + UP + "\r", ""},            // past the oldest: empty
        {std::string(UP) + UP + UP + DOWN + "\r", "one"},  // and back
        {std::string(UP) + UP + DOWN + "\r", "one"},       // Down shows the entry again first
        {std::string(UP) + UP + DOWN + DOWN + "\r", "two"},
        {std::string(UP) + DOWN + "\r", "two"},
        {std::string(UP) + DOWN + DOWN + "\r", ""},
        {std::string(DOWN) + "\r", ""},
        {std::string(UP) + "\x10\x0e\r", "one"},             // Ctrl-P, Ctrl-N
        {std::string(UP) + "!\r", "two!"},
    };
    for (const auto& c : cases) {
        auto copy = history;
        EXPECT_EQ(enter_into(copy, c.keys), c.line) << c.keys;
    }
    enter(std::string(UP) + "!\r");
    EXPECT_EQ(to_utf8(history[0]), "two!");
}

TEST(LineEditor, HiddenInput) {
    Session s(40, "Password: ", {.hide = true});
    s.type("s\xc3\xa9\tc\x7f" "t\r");
    EXPECT_EQ(s.line(), "s\xc3\xa9\tt");
    EXPECT_EQ(s.screen.row_text(0), "Password: ****");
    EXPECT_TRUE(s.history.empty());
}

TEST(LineEditor, ColumnsOfPromptAndLine) {
    {  // a colour sequence in the prompt takes no column
        Session s(40, "\x1b[31m>>\x1b[0m ");
        s.type("ab");
        EXPECT_EQ(s.screen.col, 5);
        s.type(LEFT);
        EXPECT_EQ(s.screen.col, 4);
    }
    {  // a tab takes four
        Session s(40);
        s.completer = nullptr;
        s.type("a\tb");
        EXPECT_EQ(s.screen.row_text(0), ">> a    b");
        EXPECT_EQ(s.screen.col, 9);
        s.type(LEFT);
        EXPECT_EQ(s.screen.col, 8);
    }
    {  // combining marks take none
        Session s(40);
        s.type("e\xcc\x81x");
        EXPECT_EQ(s.screen.col, 5);
    }
    {  // output before the prompt that did not end its line
        Session s(40, ">> ", {}, 3);
        s.type("ab" + std::string(LEFT) + "X");
        EXPECT_EQ(s.screen.row_text(0), "...>> aXb");
        EXPECT_EQ(s.screen.col, 8);
    }
}

TEST(LineEditor, LongLinesWrap) {
    Session s(10);
    s.type("abcdefg");  // fills the first row exactly: the cursor goes below
    EXPECT_EQ(s.screen.row_text(0), ">> abcdefg");
    EXPECT_EQ(s.screen.row, 1);
    EXPECT_EQ(s.screen.col, 0);
    s.type("\x7f");
    EXPECT_EQ(s.screen.row, 0);
    EXPECT_EQ(s.screen.col, 9);
    s.type("ghijklmnopqrstu");
    EXPECT_EQ(s.screen.row_text(1), "hijklmnopq");
    EXPECT_EQ(s.screen.row_text(2), "rstu");
    s.type("\x1b[H" "X");  // an insertion near the start rewraps every row
    EXPECT_EQ(s.screen.row_text(0), ">> Xabcdef");
    EXPECT_EQ(s.screen.row_text(1), "ghijklmnop");
    EXPECT_EQ(s.screen.row_text(2), "qrstu");
    EXPECT_EQ(s.screen.row, 0);
    EXPECT_EQ(s.screen.col, 4);
    s.type("\x1b[F");
    EXPECT_EQ(s.screen.row, 2);
    EXPECT_EQ(s.screen.col, 5);
}

TEST(LineEditor, WideCharacterAtTheLastColumn) {
    Session s(10);
    s.type("abcdef");  // the cursor at the last column
    EXPECT_EQ(s.screen.col, 9);
    s.type("\xe4\xb8\xad");  // does not fit: starts the next row, the last column stays blank
    EXPECT_EQ(s.screen.row_text(0), ">> abcdef");
    EXPECT_EQ(s.screen.row_text(1), "\xe4\xb8\xad");
    EXPECT_EQ(s.screen.row, 1);
    EXPECT_EQ(s.screen.col, 2);
    s.type(LEFT);  // the cursor stands on the wide character, on its row
    EXPECT_EQ(s.screen.row, 1);
    EXPECT_EQ(s.screen.col, 0);
    s.type(LEFT);
    EXPECT_EQ(s.screen.row, 0);
    EXPECT_EQ(s.screen.col, 8);
    s.type("\x1b[3~" "x");  // delete f, insert x: the wide character now fits behind it
    EXPECT_EQ(s.screen.row_text(0), ">> abcdex");
    EXPECT_EQ(s.screen.row_text(1), "\xe4\xb8\xad");
    s.type("\x7f");  // now it fits the first row exactly
    EXPECT_EQ(s.screen.row_text(0), ">> abcde\xe4\xb8\xad");
    EXPECT_EQ(s.screen.row_text(1), "");
    EXPECT_EQ(s.screen.row, 0);
    EXPECT_EQ(s.screen.col, 8);
}

TEST(LineEditor, Resize) {
    Session s(20);
    s.type("abcdefghijklmnopqrstuvw");
    s.editor.resize(10);
    Screen fresh(10);  // what the new width shows from scratch
    fresh.write(">> abcdefghijklmnopqrstuvw");
    s.screen = fresh;
    s.screen.row = 2;  // the terminal keeps the cursor with its character
    s.screen.col = 6;
    s.type("!" + std::string(LEFT) + LEFT + "?");
    EXPECT_EQ(s.line(), "abcdefghijklmnopqrstuv?w!");
    EXPECT_EQ(s.screen.row_text(0), ">> abcdefg");
    EXPECT_EQ(s.screen.row_text(2), "rstuv?w!");
    EXPECT_EQ(s.screen.row, 2);
    EXPECT_EQ(s.screen.col, 6);
}

TEST(LineEditor, Completion) {
    Session s(40);
    s.completer = [](const std::u32string& line, size_t cursor) -> std::optional<Completion> {
        if (line == U"pri") return Completion{U"print", 5, {}};
        if (line == U"x: ap") return Completion{U"x: appe", 7, {U"append", U"appendix"}};
        return std::nullopt;
    };
    s.type("pri\t");
    EXPECT_EQ(s.line(), "print");
    EXPECT_EQ(s.screen.col, 8);
    s.type("\x01\x0b" "x: ap\t");  // several: listed after the prompt, the edit goes on below
    EXPECT_EQ(s.screen.row_text(0), ">> append appendix");
    EXPECT_EQ(s.screen.row_text(1), ">> x: appe");
    EXPECT_EQ(s.line(), "x: appe");
    s.type("nd\r");
    EXPECT_EQ(s.line(), "x: append");
    s.type("");
    Session t(40);
    t.completer = s.completer;
    t.type("zz\t");  // nothing to complete: the Tab is typed
    EXPECT_EQ(t.line(), "zz\t");
    Session h(40, ">> ", {.hide = true});
    h.completer = s.completer;
    h.type("pri\t");  // never while hidden
    EXPECT_EQ(h.line(), "pri\t");
}

std::vector<std::string> read_lines(const std::string& input) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    std::vector<std::string> lines;
    while (auto line = stdin_readline(fds[0])) lines.push_back(*line);
    close(fds[0]);
    return lines;
}

TEST(StdinReadline, Lines) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\n", {""}},
        {"one\ntwo\n", {"one", "two"}},
        {"one\r\ntwo", {"one\r", "two"}},  // the CR is kept; a last line without LF still counts
        {"\xc3\xa9\xe4\xb8\xad\n", {"\xc3\xa9\xe4\xb8\xad"}},
        {"a\xff" "b\x80\n", {"a\xef\xbf\xbd" "b\xef\xbf\xbd"}},
        {"a\xe4\xb8\n" "b\n", {"a\xef\xbf\xbd", "b"}},  // a sequence broken by the line feed
        {"a\xe4", {"a\xef\xbf\xbd"}},
    };
    for (const auto& c : cases) EXPECT_EQ(read_lines(c.input), c.lines) << c.input;
}

// A line longer than the bound stops there, what follows left for the next
// read: an endless line cannot take all memory.
TEST(StdinReadline, StopsAtTheBound) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abcdefgh\nij\n", 12), 12);
    close(fds[1]);
    bool too_long = false;
    EXPECT_EQ(stdin_readline(fds[0], 5, &too_long), "abcde");
    EXPECT_TRUE(too_long);
    EXPECT_EQ(stdin_readline(fds[0], 5, &too_long), "fgh");
    EXPECT_FALSE(too_long);
    EXPECT_EQ(stdin_readline(fds[0], 5, &too_long), "ij");
    EXPECT_EQ(stdin_readline(fds[0], 5, &too_long), std::nullopt);
    EXPECT_FALSE(too_long);
    close(fds[0]);
}

// Lines are read in blocks: what follows a line stays for the process's
// other readers (read-stdin), and a file shared with a child gets its offset
// back to just after the line.
TEST(StdinReadline, LeavesWhatFollowsTheLineForOtherReaders) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "one\nrest", 8), 8);
    close(fds[1]);
    EXPECT_EQ(stdin_readline(fds[0]), "one");
    u8 buf[8];
    EXPECT_EQ(input::read_bytes(fds[0], buf, sizeof buf), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "rest");
    close(fds[0]);

    char name[] = "/tmp/zav-lines-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    ASSERT_EQ(write(fd, "one\ntwo\n", 8), 8);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(stdin_readline(fd), "one");
    input::give_back(fd);
    char rest[8];
    EXPECT_EQ(read(fd, rest, sizeof rest), 4);
    close(fd);
}

}  // namespace
