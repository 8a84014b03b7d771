// The draw dialect on a grid of cells: every command and its arguments are
// checked as any back-end would; pens and fills, box, line, triangle, circle,
// ellipse, font colours and text paint cells, the rest has no effect here.
#pragma once
#include "runtime/cell.h"
#include "view/terminal/screen.h"
#include "view/terminal/widgets.h"

namespace zav::gui {

struct DrawContext {
    WidgetId widget = 0;
    i32 ox = 0, oy = 0;  // screen cell of the face's top-left corner
    Rect clip{0, 0, 0, 0};
    bool pen_on = true;
    u32 pen = 0;
    u32 fill = 0;
    bool fill_on = false;
    u32 text_color = 0;
    bool font_set = false;
    u32 flags = 0;  // the face render's attribute flags
};

DrawContext draw_begin(const Widget* w, i32 x, i32 y, Rect clip, u32 flags);
// Runs a draw block; bad input raises script/draw-invalid (or draw-infinite
// for a block drawn inside itself) with the block at the fault.
void draw_commands(DrawContext& ctx, Cell* block);
// `draw` on an image: the commands are checked; with no face nothing is painted.
void do_draw(Cell* block);

// The plotted shapes, in the context's coordinates (its origin added),
// painted only inside its clip.
void plot_line(DrawContext& ctx, i64 x0, i64 y0, i64 x1, i64 y1);
void plot_ellipse(DrawContext& ctx, i64 cx, i64 cy, i64 rx, i64 ry);
void draw_triangle(DrawContext& ctx, const i64 xs[3], const i64 ys[3]);
void draw_box(DrawContext& ctx, i64 ax, i64 ay, i64 bx, i64 by);

// A rich-text style block applied to the cells of a styled line.
void draw_text_styles(StyledLine& line, Cell* styles);

}  // namespace zav::gui
