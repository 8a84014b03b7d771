// The draw renderer on the screen's cells, rich-text styles and text metrics.
#include <gtest/gtest.h>

#include <string>

#include "evaluator/interpreter.h"
#include "load_helper.h"
#include "test_util.h"
#include "view/terminal/draw.h"
#include "view/terminal/metrics.h"
#include "view/terminal/screen.h"

using namespace zav;
using namespace zav::gui;

namespace {

struct TuiDraw : test::CleanRuntimeTest {
    void SetUp() override {
        test::CleanRuntimeTest::SetUp();
        screen.reset();
        screen.raw = true;
        screen.set_size(30, 12);
        screen.clear();
    }
    void TearDown() override {
        screen.reset();
        test::CleanRuntimeTest::TearDown();
    }
    // Runs a draw block with the face's corner at (x, y) and a clip over the screen.
    static std::string draw(const char* block, i32 x = 10, i32 y = 5) {
        Cell& kept = test::kept();
        kept = *test::load_one(block);
        DrawContext ctx = draw_begin(nullptr, x, y, Rect{0, 0, 30, 12}, 0x1000);
        return test::error_id_of([&] { draw_commands(ctx, &kept); });
    }
    static Cell* run(const char* text) {
        Cell code = *test::load(text);
        collector::Guard guard(&code);
        interpreter::eval(&code, false);
        return stack::top - 1;
    }
    static std::u32string row(i32 y, i32 from, i32 to) {
        std::u32string s;
        for (i32 x = from; x < to; x++) {
            u32 cp = screen.at(x, y).cp;
            s += cp == 0 ? U'.' : static_cast<char32_t>(cp);
        }
        return s;
    }
};

TEST_F(TuiDraw, Boxes) {
    EXPECT_EQ(draw("[pen 255.0.0 box 0x0 4x2]"), "");
    EXPECT_EQ(row(4, 9, 16), U".......");
    EXPECT_EQ(row(5, 9, 16), U".┌───┐.");
    EXPECT_EQ(row(6, 9, 16), U".│...│.");
    EXPECT_EQ(row(7, 9, 16), U".└───┘.");
    EXPECT_EQ(row(8, 9, 16), U".......");
    EXPECT_EQ(screen.at(10, 5).fg, color256(196));
    EXPECT_EQ(screen.at(14, 6).fg, color256(196));
    screen.clear();
    EXPECT_EQ(draw("[fill-pen 0.0.255 box 0x0 2x1]"), "");
    EXPECT_EQ(row(5, 10, 13), U"┌─┐");
    EXPECT_EQ(row(6, 10, 13), U"└─┘");
    EXPECT_EQ(screen.at(11, 5).bg, color256(21));
    EXPECT_EQ(screen.at(11, 5).fg, 0u);
    EXPECT_EQ(screen.at(13, 5).bg, 0u);
    // Transforms draw their block as it stands.
    screen.clear();
    EXPECT_EQ(draw("[rotate 45 [box 0x0 2x2]]", 0, 0), "");
    EXPECT_EQ(row(0, 0, 4), U"┌─┐.");
    EXPECT_EQ(row(2, 0, 4), U"└─┘.");
}

TEST_F(TuiDraw, PlottedShapesFromTheFacesCorner) {
    EXPECT_EQ(draw("[line 0x0 3x0]"), "");
    EXPECT_EQ(row(5, 9, 15), U".████.");
    EXPECT_EQ(row(0, 0, 4), U"....");
    screen.clear();
    EXPECT_EQ(draw("[circle 10x5 2]", 0, 0), "");
    for (auto [x, y] : {std::pair{6, 5}, {14, 5}, {10, 3}, {10, 7}}) EXPECT_EQ(screen.at(x, y).cp, 0x2588u) << x << "," << y;
    EXPECT_EQ(screen.at(10, 5).cp, 0u);
    screen.clear();
    EXPECT_EQ(draw("[pen off fill-pen 255.0.0 triangle 0x0 8x0 0x4]", 0, 0), "");
    EXPECT_EQ(row(0, 0, 10), U"         .");
    EXPECT_EQ(screen.at(0, 3).bg, color256(196));
    EXPECT_EQ(screen.at(8, 3).cp, 0u);
    // Huge shapes stay inside the screen and end at once.
    screen.clear();
    EXPECT_EQ(draw("[fill-pen 255.0.0 ellipse -2000000000x-2000000000 2147483647x2147483647 "
                   "triangle -100000000x-100000000 100000000x0 0x100000000 "
                   "circle 5x5 2000000000 line -2000000000x3 2000000000x3]", 0, 0), "");
    EXPECT_EQ(row(3, 0, 30), std::u32string(30, U'█'));
}

TEST_F(TuiDraw, BadInput) {
    struct Case {
        const char* block;
        const char* error;
    } cases[] = {
        {"[frobnicate 1x1]", "draw-invalid"},
        {"[box 0x0]", "draw-invalid"},
        {"[pen 12]", "draw-invalid"},
        {"[text 1x1 12]", "draw-invalid"},
        {"[shape [move 1x1 wobble]]", "draw-invalid"},
        {"[matrix [1 2 3]]", "draw-invalid"},
        {"[pen linear 255.0.0 0.0 0.0.255 1.0 0x0 10x10 pad line-width 2 anti-alias on]", ""},
        {"[push [pen 255.0.0] clip 0x0 5x5 [box 0x0 1x1] shape [move 0x0 line 1x1 arc 2x2 sweep close]]", ""},
        {"[b: [pen 255.0.0] box 0x0 1x1 translate 'pen 2x2 [] line-pattern 1 2 3]", ""},
    };
    for (auto c : cases) EXPECT_EQ(draw(c.block), c.error) << c.block;
    Cell& self = test::kept();
    self = *test::load_one("[pen 255.0.0]");
    block::zs_append(&self, &self);
    DrawContext ctx = draw_begin(nullptr, 0, 0, Rect{0, 0, 30, 12}, 0);
    EXPECT_EQ(test::error_id_of([&] { draw_commands(ctx, &self); }), "draw-infinite");
}

TEST_F(TuiDraw, RichTextStyles) {
    StyledLine line;
    for (u32 cp : {'h', 'e', 'l', 'l', 'o'}) line.cells.push_back({cp, 0, 0, 0});
    Cell& styles = test::kept();
    styles = *test::load_one("[1x3 bold 255.0.0 4x9 backdrop 0.0.255 underline]");
    draw_text_styles(line, &styles);
    for (u32 i = 0; i < 3; i++) {
        EXPECT_EQ(line.cells[i].attrs, ATTR_BOLD);
        EXPECT_EQ(line.cells[i].fg, color256(196));
    }
    EXPECT_EQ(line.cells[3].attrs, ATTR_UNDERLINE);
    EXPECT_EQ(line.cells[4].bg, color256(21));
    EXPECT_EQ(line.cells[2].bg, 0u);
    // One cell a code point: a character past U+FFFF moves no range.
    StyledLine wide;
    for (u32 cp : {u32('a'), 0x1F600u, u32('b'), u32('c'), u32('d')}) wide.cells.push_back({cp, 0, 0, 0});
    styles = *test::load_one("[3x2 bold]");
    draw_text_styles(wide, &styles);
    for (u32 i = 0; i < 5; i++) EXPECT_EQ(wide.cells[i].attrs, i == 2 || i == 3 ? ATTR_BOLD : 0u) << i;
    styles = *test::load_one("[1x1 wobble]");
    EXPECT_EQ(test::error_id_of([&] { draw_text_styles(line, &styles); }), "draw-invalid");
}

TEST_F(TuiDraw, TextMetrics) {
    Cell& face = test::kept();
    auto metric = [&](i32 type, const char* arg) {
        Cell a = *test::load_one(arg);
        Cell out;
        text_box_metrics(&face, &a, type, &out);
        return test::mold(&out);
    };
    face = *run("make object! [type: 'rich-text size: 10x2 text: \"ab\"]");
    EXPECT_EQ(metric(METRIC_CARET_TO_OFFSET, "1"), "(0, 0)");
    EXPECT_EQ(metric(METRIC_CARET_TO_OFFSET_LOWER, "1"), "(1, 1)");
    EXPECT_EQ(metric(METRIC_OFFSET_TO_CARET, "0x0"), "1");
    EXPECT_EQ(metric(METRIC_LINE_HEIGHT, "0"), "1.0");
    face = *run("make object! [type: 'rich-text size: 3x2 text: \"abcde\"]");
    EXPECT_EQ(metric(METRIC_CARET_TO_OFFSET, "4"), "(0, 1)");
    EXPECT_EQ(metric(METRIC_SIZE, "0"), "(3, 2)");
    EXPECT_EQ(metric(METRIC_LINE_COUNT, "0"), "2");
    EXPECT_EQ(metric(METRIC_OFFSET_TO_CARET, "1x1"), "5");
    EXPECT_EQ(metric(METRIC_OFFSET_TO_CHAR, "9x9"), "5");
}

}  // namespace
