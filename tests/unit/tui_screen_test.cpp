// The screen of cells, the text writer and frame output, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "fake_tty.h"
#include "view/terminal/compositor.h"
#include "view/terminal/frame.h"
#include "view/terminal/screen.h"

using namespace zav;
using namespace zav::gui;

namespace {

// Text over a code point string (unit 4), as the writer reads strings.
struct U32Text {
    std::u32string s;
    explicit U32Text(std::u32string t) : s(std::move(t)) {}
    Text text() const { return Text{reinterpret_cast<const u8*>(s.data()), 4, static_cast<u32>(s.size())}; }
};

struct TuiScreen : ::testing::Test {
    void SetUp() override {
        screen.reset();
        screen.raw = true;
        screen.set_size(10, 3);
        screen.clear();
        frame = FrameState{};
    }
    void TearDown() override { screen.reset(); }
    // The code points of a row as text ('.' for an empty cell, '+' for a covered half).
    static std::u32string row(i32 y) {
        std::u32string s;
        for (i32 x = 0; x < screen.width; x++) {
            const ScreenCell& c = screen.at(x, y);
            s += (c.attrs & ATTR_CONTINUATION) ? U'+' : c.cp == 0 ? U'.' : static_cast<char32_t>(c.cp);
        }
        return s;
    }
    static void write(const std::u32string& s, i32 x, i32 y, Rect clip, TextStyle style = {}) {
        U32Text t(s);
        render_text(t.text(), x, y, clip, style);
    }
};

const Rect ALL{0, 0, 10, 3};

TEST_F(TuiScreen, TextPlacement) {
    struct Case {
        std::u32string text;
        i32 x, y;
        Rect clip;
        u32 para;
        std::u32string rows[3];
    } cases[] = {
        {U"abc", 1, 0, ALL, 0, {U".abc......", U"..........", U".........."}},
        // A wide character at the last column that still fits takes two cells.
        {U"abcdefgh\u4e00", 0, 0, ALL, 0, {U"abcdefgh\u4e00+", U"..........", U".........."}},
        // One that would pass the clip's right edge is not written.
        {U"abcdefghi\u4e00", 0, 0, ALL, 0, {U"abcdefghi.", U"..........", U".........."}},
        // Without wrap a long line is cut; drawing resumes after the line feed.
        {U"0123456789AB\nxy", 0, 0, ALL, 0, {U"0123456789", U"xy........", U".........."}},
        {U"0123456789AB\nxy", 0, 0, ALL, PARA_WRAP, {U"0123456789", U"AB........", U"xy........"}},
        // Lines above the clip are skipped; the clip's left edge cuts a wide character.
        {U"skip\n\u4e00b", -1, -1, ALL, 0, {U".b........", U"..........", U".........."}},
        {U"abcdef", 2, 1, Rect{3, 1, 5, 2}, 0, {U"..........", U"...bc.....", U".........."}},
        {U"abc", 0, 0, Rect{0, 0, 0, 3}, 0, {U"..........", U"..........", U".........."}},
        // A character wider than the whole line never fits: it is dropped.
        {U"\u4e00a", 0, 0, Rect{0, 0, 1, 3}, PARA_WRAP, {U"a.........", U"..........", U".........."}},
    };
    for (const auto& c : cases) {
        screen.clear();
        TextStyle style;
        style.para = c.para;
        write(c.text, c.x, c.y, c.clip, style);
        for (i32 y = 0; y < 3; y++) EXPECT_EQ(row(y), c.rows[y]) << "row " << y;
    }
}

TEST_F(TuiScreen, EscapesInText) {
    TextStyle style;
    style.attrs = ATTR_ESCAPES;
    write(U"\x1b[1;31mX", 0, 0, ALL, style);
    EXPECT_EQ(screen.at(0, 0).cp, U'X');
    EXPECT_EQ(screen.at(0, 0).attrs & ATTR_BOLD, ATTR_BOLD);
    EXPECT_EQ(screen.at(0, 0).fg, color16(1));
    screen.clear();
    write(U"\x1b[38;5;200mY\x1b[2JZ\x1b[mW", 0, 0, ALL, style);
    EXPECT_EQ(row(0), U"YZW.......");
    EXPECT_EQ(screen.at(0, 0).fg, color256(200));
    EXPECT_EQ(screen.at(2, 0).fg, color256(200));  // only an explicit 0 resets
    // A background code is consumed; the cells keep the background under them.
    screen.clear();
    fill_rect(0, 0, 10, 1, color256(4));
    write(U"\x1b[41mA\x1b[97mB\x1b[0mC", 0, 0, ALL, style);
    EXPECT_EQ(row(0), U"ABC       ");
    EXPECT_EQ(screen.at(0, 0).bg, color256(4));
    EXPECT_EQ(screen.at(1, 0).fg, color16(17));
    EXPECT_EQ(screen.at(2, 0).fg, 0u);
    // Without the request the sequence is text.
    screen.clear();
    write(U"\x1b[1m", 0, 0, ALL);
    EXPECT_EQ(row(0), U"\x1b[1m......");
}

TEST_F(TuiScreen, ResizeKeepsTheBufferUnlessItGrows) {
    screen.reset();
    screen.term_columns = 200;
    screen.term_rows = 100;
    screen.resize_to_box(0, 0, 80, 24);
    screen.resize_to_box(0, 0, 60, 30);
    EXPECT_EQ(screen.cells.size(), 1800u);
    screen.resize_to_box(0, 0, 60, 20);
    EXPECT_EQ(screen.cells.size(), 1800u);
    EXPECT_EQ(screen.width * screen.height, 1200);
    // Capped by the terminal; not followed at all outside terminal mode.
    screen.resize_to_box(0, 0, 500, 500);
    EXPECT_EQ(screen.width, 200);
    EXPECT_EQ(screen.height, 100);
    screen.raw = false;
    screen.resize_to_box(0, 0, 5, 5);
    EXPECT_EQ(screen.width, 200);
}

TEST_F(TuiScreen, Colours) {
    struct Case {
        u32 abgr, word;
    } cases[] = {
        {0x00FFFFFF, color256(231)}, {0x00000000, color256(16)}, {0x000000FF, color256(196)},
        {0xFF000000, 0},             {0x00808080, color256(244)}, {0x00FF0000, color256(21)},
    };
    for (auto c : cases) EXPECT_EQ(rgb_to_256(c.abgr), c.word) << std::hex << c.abgr;
}

TEST_F(TuiScreen, Alignment) {
    U32Text t(U"ab");
    struct Case {
        i32 w, h;
        u32 para;
        Rect r;
    } cases[] = {
        {10, 3, 0, {0, 0, 10, 3}},
        {10, 3, PARA_CENTER, {4, 0, 6, 1}},
        {10, 3, PARA_RIGHT, {8, 0, 10, 1}},
        {10, 3, PARA_MIDDLE, {0, 1, 2, 2}},
        {10, 3, PARA_BOTTOM | PARA_CENTER, {4, 2, 6, 3}},
    };
    for (auto c : cases) {
        Rect r = align_text(t.text(), c.w, c.h, c.para);
        EXPECT_EQ(r.left, c.r.left);
        EXPECT_EQ(r.top, c.r.top);
        EXPECT_EQ(r.right, c.r.right);
        EXPECT_EQ(r.bottom, c.r.bottom);
    }
    U32Text two(U"ab\nabcd");
    Extent e = wrap_extent(two.text(), 0);
    EXPECT_EQ(e.width, 4);
    EXPECT_EQ(e.lines, 2);
    e = wrap_extent(two.text(), 3);
    EXPECT_EQ(e.width, 3);
    EXPECT_EQ(e.lines, 3);
}

// ---- frames -----------------------------------------------------------------

struct TuiFrame : TuiScreen {
    test::UseFakeTty fake;
    std::string frame_of(i32 w, i32 h, bool caret = false) {
        screen.set_size(w, h);
        emit_frame(caret);
        return fake.tty.take();
    }
};

TEST_F(TuiFrame, BlankScreen) {
    screen.reset();
    screen.set_size(3, 2);
    screen.clear();
    EXPECT_EQ(frame_of(3, 2), "\r\x1b[0J   \x1b[49m\r\n   ");
    EXPECT_EQ(frame.lines_below_top, 1);
    EXPECT_TRUE(frame.frame_shown);
    // A full frame starts by going back up to the UI's top.
    frame.full = true;
    EXPECT_EQ(frame_of(3, 2), "\r\x1b[1A\x1b[0J   \x1b[49m\r\n   ");
    frame.full = true;
    frame.fullscreen = true;
    EXPECT_EQ(frame_of(3, 2), "\x1b[H   \x1b[49m\r\n   ");
}

TEST_F(TuiFrame, OnlyChangedCellsOnceAFrameIsShown) {
    screen.reset();
    screen.set_size(20, 3);
    screen.clear();
    std::string first = frame_of(20, 3);
    EXPECT_EQ(frame.lines_below_top, 2);
    // Nothing changed: the cursor stays where it is.
    EXPECT_EQ(frame_of(20, 3), "\r");
    // One cell in the middle row: up one row, across, the cell.
    screen.at(7, 1).cp = 'x';
    screen.at(7, 1).fg = color256(9);
    EXPECT_EQ(frame_of(20, 3), "\r\x1b[1A\x1b[7C\x1b[38;5;9mx\x1b[39m\r\x1b[1B");
    // Two changes close together are one run; far apart, two.
    screen.at(1, 0).cp = 'a';
    screen.at(3, 0).cp = 'b';
    screen.at(18, 2).cp = 'c';
    EXPECT_EQ(frame_of(20, 3), "\r\x1b[2A\x1b[1Ca b\r\x1b[2B\x1b[18Cc\r");
    // A wide character is written whole, its covered half skipped.
    screen.at(10, 2) = {0x4E00, 0, 0, 0};
    screen.at(11, 2) = {0, 0, 0, ATTR_CONTINUATION};
    EXPECT_EQ(frame_of(20, 3), "\r\x1b[10C\xe4\xb8\x80\r");
    // A different size starts again with a full frame.
    std::string resized = frame_of(10, 3);
    EXPECT_NE(resized.find("\x1b[0J"), std::string::npos);
}

TEST_F(TuiFrame, CaretPlacement) {
    screen.reset();
    screen.set_size(10, 10);
    screen.clear();
    frame.caret_column = 5;
    frame.caret_row = 0;
    std::string bytes = frame_of(10, 10, true);
    EXPECT_EQ(bytes.substr(bytes.size() - 9), "\r\x1b[9A\x1b[5C");
    EXPECT_EQ(frame.lines_below_top, 0);
    // When the loop ends the cursor goes below the UI's last row, also from
    // a caret on its first row, and no further.
    leave_ui_area();
    EXPECT_EQ(fake.tty.take(), "\x1b[9B\r\n");
    frame_of(10, 10);
    leave_ui_area();
    EXPECT_EQ(fake.tty.take(), "\r\n");
}

TEST_F(TuiFrame, StyleChanges) {
    screen.reset();
    screen.set_size(4, 1);
    screen.clear();
    for (i32 x = 0; x < 4; x++) screen.at(x, 0).cp = 'a' + static_cast<u32>(x);
    screen.at(1, 0).fg = color256(196);
    screen.at(2, 0).fg = color256(196);
    screen.at(3, 0).fg = color16(16);
    EXPECT_EQ(frame_of(4, 1), "\r\x1b[0Ja\x1b[38;5;196mbc\x1b[96md\x1b[39m");

    struct Case {
        u32 from, to;
        const char* bytes;
    } cases[] = {
        {ATTR_BOLD, 0, "\x1b[22m"},
        {0, ATTR_BOLD | ATTR_ITALIC, "\x1b[1m\x1b[3m"},
        {ATTR_BOLD | ATTR_DIM, ATTR_BOLD, "\x1b[22m\x1b[1m"},  // dim off keeps bold
        {ATTR_DIM | ATTR_BOLD, ATTR_DIM, "\x1b[22m\x1b[2m"},
        {ATTR_INVERSE | ATTR_UNDERLINE, ATTR_STRIKE, "\x1b[27m\x1b[9m\x1b[24m"},
    };
    for (auto c : cases) {
        out.clear();
        emit_style(ScreenCell{0, 0, 0, c.from}, ScreenCell{0, 0, 0, c.to});
        EXPECT_EQ(out, c.bytes);
    }
    struct Colour {
        u32 word;
        bool fg;
        const char* bytes;
    } colours[] = {
        {0, true, "\x1b[39m"},           {0, false, "\x1b[49m"},          {color16(3), true, "\x1b[33m"},
        {color16(3), false, "\x1b[43m"}, {color16(8), true, "\x1b[0m"},   {color16(9), false, "\x1b[49m"},
        {color16(17), false, "\x1b[107m"}, {color256(7), false, "\x1b[48;5;7m"},
        {color_rgb(1, 2, 3), true, "\x1b[38;2;1;2;3m"}, {0x7000000, true, "\x1b[0m"},
    };
    for (auto c : colours) {
        out.clear();
        emit_color(c.word, c.fg);
        EXPECT_EQ(out, c.bytes);
    }
    out.clear();
}

TEST_F(TuiFrame, NothingRawReachesTheTerminal) {
    screen.reset();
    screen.set_size(6, 1);
    screen.clear();
    const u32 cps[] = {0x1B, '[', '2', 'J', 0x9B, 0x07};
    for (i32 x = 0; x < 6; x++) screen.at(x, 0).cp = cps[x];
    EXPECT_EQ(frame_of(6, 1), "\r\x1b[0J\xef\xbf\xbd[2J\xef\xbf\xbd\xef\xbf\xbd");
    // Masked cells show "*"; a wide character whose covered half was painted
    // over shows as a blank, and a covered half without its character too:
    // every row keeps its width.
    screen.clear();
    screen.at(0, 0) = {0x4E00, 0, 0, 0};
    screen.at(1, 0) = {'x', 0, 0, 0};
    screen.at(2, 0) = {0, 0, 0, ATTR_CONTINUATION};
    screen.at(3, 0) = {'p', 0, 0, ATTR_MASKED};
    screen.at(4, 0) = {0x4E00, 0, 0, 0};
    screen.at(5, 0) = {0, 0, 0, ATTR_CONTINUATION};
    frame.full = true;
    EXPECT_EQ(frame_of(6, 1), "\r\x1b[0J x *\xe4\xb8\x80");
}

}  // namespace
