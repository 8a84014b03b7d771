// The draw renderer.
#include "view/terminal/draw.h"

#include <algorithm>
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/cycles.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "view/terminal/faces.h"

namespace zav::gui {

namespace {

constexpr u32 FULL_BLOCK = 0x2588;
// Radii past this draw as this: a walk over a huge ellipse would take
// seconds, and nothing of it that far out reaches a screen.
constexpr i64 MAX_RADIUS = i64(1) << 16;

// ---- the command words --------------------------------------------------------

#define ZAV_DRAW_WORDS(X)                                                                                  \
    X(pen, "pen") X(fill_pen, "fill-pen") X(box, "box") X(line, "line") X(triangle, "triangle")            \
    X(polygon, "polygon") X(circle, "circle") X(ellipse, "ellipse") X(anti_alias, "anti-alias")             \
    X(font, "font") X(text, "text") X(arc, "arc") X(curve, "curve") X(spline, "spline") X(image, "image")   \
    X(line_width, "line-width") X(line_join, "line-join") X(line_cap, "line-cap")                          \
    X(line_pattern, "line-pattern") X(shadow, "shadow") X(clip, "clip") X(shape, "shape")                  \
    X(rotate, "rotate") X(scale, "scale") X(translate, "translate") X(skew, "skew")                        \
    X(transform, "transform") X(push, "push") X(matrix, "matrix") X(reset_matrix, "reset-matrix")           \
    X(invert_matrix, "invert-matrix") X(off, "off") X(linear, "linear") X(radial, "radial")                \
    X(diamond, "diamond") X(pattern, "pattern") X(bitmap, "bitmap") X(pad, "pad") X(repeat, "repeat")      \
    X(reflect, "reflect") X(tile, "tile") X(flip_x, "flip-x") X(flip_y, "flip-y") X(flip_xy, "flip-xy")     \
    X(clamp, "clamp") X(closed, "closed") X(border, "border") X(crop, "crop") X(inset, "inset")             \
    X(replace, "replace") X(intersect, "intersect") X(union_, "union") X(xor_, "xor") X(exclude, "exclude") \
    X(fill_pen_lit, "fill-pen") X(move, "move") X(hline, "hline") X(vline, "vline") X(sweep, "sweep")       \
    X(large, "large") X(curv, "curv") X(qcurve, "qcurve") X(qcurv, "qcurv") X(close, "close")               \
    X(backdrop, "backdrop") X(bold, "bold") X(italic, "italic") X(underline, "underline")                  \
    X(strike, "strike")

struct Words {
#define ZAV_DRAW_FIELD(name, text) i32 name;
    ZAV_DRAW_WORDS(ZAV_DRAW_FIELD)
#undef ZAV_DRAW_FIELD
};

const Words& words() {
    static Words w;
    static u32 made_for = 0;
    // Symbols are made again when the runtime starts again (tests).
    u32 now = static_cast<u32>(symbol::make("pen"));
    if (made_for != now) {
#define ZAV_DRAW_MAKE(name, text) w.name = symbol::resolve(symbol::make(text));
        ZAV_DRAW_WORDS(ZAV_DRAW_MAKE)
#undef ZAV_DRAW_MAKE
        made_for = now;
    }
    return w;
}

// ---- reading arguments ---------------------------------------------------------

// A position in a draw block; cells are fetched by index, since drawing can
// allocate (a rich-text face given to `text`).
struct Cursor {
    Cell block;  // head at the block's start
    u32 pos, tail;

    Cell* at(u32 i) const { return block::zs_abs_at(&block, i); }
    bool end() const { return pos >= tail; }
    Cell* peek() const { return end() ? nullptr : at(pos); }
    [[noreturn]] void invalid(u32 at_pos) const {
        Cell here = block;
        series_head(&here) = at_pos;
        fire("script", "draw-invalid", &here);
    }
    [[noreturn]] void invalid() const { invalid(pos); }
};

i32 alias(const Cell* v) { return face::word_alias(v); }

bool is_lit_word(const Cell* v, i32 sym) { return v && TYPE_OF(v) == TYPE_LIT_WORD && alias(v) == sym; }

// The value a word refers to, for arguments that may be given by a word.
const Cell* deref(const Cell* v) {
    if (v && TYPE_OF(v) == TYPE_WORD && v->data1) return context::get(v);
    return v;
}

bool point_q(const Cell* v) { return v && (TYPE_OF(v) == TYPE_PAIR || TYPE_OF(v) == TYPE_POINT2D); }
bool number_q(const Cell* v) { return v && (TYPE_OF(v) == TYPE_INTEGER || TYPE_OF(v) == TYPE_FLOAT); }
bool color_q(const Cell* v) { return v && TYPE_OF(v) == TYPE_TUPLE; }

struct Point {
    i64 x, y;
};

Point point_of(const Cell* v) {
    float x, y;
    face::planar(v, &x, &y);
    auto trunc = [](float f) -> i64 {
        if (!(f == f)) return 0;
        return static_cast<i64>(std::clamp<double>(f, -2147483648.0, 2147483647.0));
    };
    return {trunc(x), trunc(y)};
}

double number_of(const Cell* v) {
    return TYPE_OF(v) == TYPE_INTEGER ? static_cast<double>(static_cast<i32>(v->data2)) : cell_float(v);
}

Point take_point(Cursor& c) {
    Cell* v = c.peek();
    if (!point_q(v)) c.invalid();
    c.pos++;
    return point_of(v);
}

double take_number(Cursor& c) {
    Cell* v = c.peek();
    if (!number_q(v)) c.invalid();
    c.pos++;
    return number_of(v);
}

bool opt_point(Cursor& c, Point* p = nullptr) {
    Cell* v = c.peek();
    if (!point_q(v)) return false;
    if (p) *p = point_of(v);
    c.pos++;
    return true;
}

bool opt_number(Cursor& c) {
    if (!number_q(c.peek())) return false;
    c.pos++;
    return true;
}

bool opt_integer(Cursor& c) {
    Cell* v = c.peek();
    if (!v || TYPE_OF(v) != TYPE_INTEGER) return false;
    c.pos++;
    return true;
}

bool opt_color(Cursor& c, u32* color = nullptr) {
    const Cell* v = c.peek();
    if (v && TYPE_OF(v) == TYPE_WORD) v = deref(v);
    if (!color_q(v)) return false;
    if (color) *color = tuple_color(v);
    c.pos++;
    return true;
}

bool opt_word(Cursor& c, std::initializer_list<i32> syms) {
    Cell* v = c.peek();
    if (!v || TYPE_OF(v) != TYPE_WORD) return false;
    for (i32 s : syms)
        if (alias(v) == s) {
            c.pos++;
            return true;
        }
    return false;
}

// A block argument, when one follows: drawn with the same context.
bool opt_block(Cursor& c, Cell* out) {
    Cell* v = c.peek();
    if (!v || TYPE_OF(v) != TYPE_BLOCK) return false;
    *out = *v;
    c.pos++;
    return true;
}

// ---- painting ------------------------------------------------------------------

bool in_clip(const DrawContext& ctx, i64 x, i64 y) {
    return x >= ctx.clip.left && x < ctx.clip.right && y >= ctx.clip.top && y < ctx.clip.bottom && x >= 0 &&
           y >= 0 && x < screen.width && y < screen.height;
}

void plot(DrawContext& ctx, i64 x, i64 y) {
    if (!ctx.pen_on || !in_clip(ctx, x, y)) return;
    ScreenCell& c = screen.at(static_cast<i32>(x), static_cast<i32>(y));
    c.cp = FULL_BLOCK;
    c.fg = ctx.pen;
    c.attrs &= ~ATTR_CONTINUATION;
}

void fill_cell(DrawContext& ctx, i64 x, i64 y) {
    if (!in_clip(ctx, x, y)) return;
    ScreenCell& c = screen.at(static_cast<i32>(x), static_cast<i32>(y));
    c.cp = 32;
    c.bg = ctx.fill;
    c.attrs &= ~ATTR_CONTINUATION;
}

// Fills a row from x0 to x1 (inclusive, either order), only inside the clip.
void fill_row(DrawContext& ctx, i64 y, i64 x0, i64 x1) {
    if (x0 > x1) std::swap(x0, x1);
    x0 = std::max<i64>(x0, std::max(ctx.clip.left, 0));
    x1 = std::min<i64>(x1, std::min(ctx.clip.right, screen.width) - 1);
    for (i64 x = x0; x <= x1; x++) fill_cell(ctx, x, y);
}

// The part of a segment inside the clip, on whole cells (Liang-Barsky), so
// that a walk never runs over cells far outside.
bool clip_segment(const DrawContext& ctx, i64& x0, i64& y0, i64& x1, i64& y1) {
    double left = std::max(ctx.clip.left, 0), top = std::max(ctx.clip.top, 0);
    double right = std::min(ctx.clip.right, screen.width) - 1, bottom = std::min(ctx.clip.bottom, screen.height) - 1;
    if (left > right || top > bottom) return false;
    double dx = static_cast<double>(x1 - x0), dy = static_cast<double>(y1 - y0);
    double t0 = 0, t1 = 1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {static_cast<double>(x0) - left, right - static_cast<double>(x0),
                         static_cast<double>(y0) - top, bottom - static_cast<double>(y0)};
    for (int i = 0; i < 4; i++) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
        } else {
            double t = q[i] / p[i];
            if (p[i] < 0) t0 = std::max(t0, t);
            else t1 = std::min(t1, t);
        }
    }
    if (t0 > t1) return false;
    if (t1 < 1) {
        x1 = x0 + std::llround(dx * t1);
        y1 = y0 + std::llround(dy * t1);
    }
    if (t0 > 0) {
        x0 = x0 + std::llround(dx * t0);
        y0 = y0 + std::llround(dy * t0);
    }
    return true;
}

}  // namespace

DrawContext draw_begin(const Widget* w, i32 x, i32 y, Rect clip, u32 flags) {
    DrawContext ctx;
    ctx.widget = w ? w->id : 0;
    ctx.ox = x;
    ctx.oy = y;
    ctx.clip = clip;
    ctx.flags = flags;
    return ctx;
}

void plot_line(DrawContext& ctx, i64 x0, i64 y0, i64 x1, i64 y1) {
    x0 += ctx.ox;
    x1 += ctx.ox;
    y0 += ctx.oy;
    y1 += ctx.oy;
    if (!clip_segment(ctx, x0, y0, x1, y1)) return;
    i64 dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    i64 sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    i64 err = dx + dy;
    for (;;) {
        plot(ctx, x0, y0);
        if (x0 == x1 && y0 == y1) break;
        i64 e2 = 2 * err;
        if (e2 >= dy) {
            if (x0 == x1) break;
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            if (y0 == y1) break;
            err += dx;
            y0 += sy;
        }
    }
}

void plot_ellipse(DrawContext& ctx, i64 cx, i64 cy, i64 rx, i64 ry) {
    cx += ctx.ox;
    cy += ctx.oy;
    rx = std::min(std::abs(rx), MAX_RADIUS);
    ry = std::min(std::abs(ry), MAX_RADIUS);
    // Nothing of it reaches the clip: nothing to walk.
    if (cx + rx < ctx.clip.left || cx - rx >= ctx.clip.right || cy + ry < ctx.clip.top || cy - ry >= ctx.clip.bottom)
        return;
    auto point = [&](i64 px, i64 py) {
        plot(ctx, px, py);
        if (ctx.fill_on && px != cx) fill_row(ctx, py, px < cx ? px + 1 : px - 1, cx);
    };
    i64 a2 = rx * rx, b2 = ry * ry;
    i64 x = -rx, y = 0;
    i64 dx = (1 - 2 * rx) * b2, dy = a2;
    i64 err = dx + a2;
    while (x <= 0) {
        point(cx - x, cy + y);
        point(cx + x, cy + y);
        point(cx + x, cy - y);
        point(cx - x, cy - y);
        i64 e2 = 2 * err;
        if (e2 >= dx) {
            x++;
            dx += 2 * b2;
            err += dx;
        }
        if (e2 <= dy) {
            y++;
            dy += 2 * a2;
            err += dy;
        }
    }
    while (y++ < ry) {
        point(cx, cy + y);
        point(cx, cy - y);
    }
}

void draw_triangle(DrawContext& ctx, const i64 xs[3], const i64 ys[3]) {
    Point p[3] = {{xs[0] + ctx.ox, ys[0] + ctx.oy}, {xs[1] + ctx.ox, ys[1] + ctx.oy}, {xs[2] + ctx.ox, ys[2] + ctx.oy}};
    std::sort(p, p + 3, [](const Point& a, const Point& b) { return a.y < b.y; });
    if (ctx.fill_on && p[2].y > p[0].y) {
        i64 h = p[2].y - p[0].y;
        // Only the rows inside the clip are walked.
        i64 first = std::max<i64>(0, std::max(ctx.clip.top, 0) - p[0].y);
        i64 last = std::min<i64>(h, std::min(ctx.clip.bottom, screen.height) - p[0].y);
        for (i64 i = first; i < last; i++) {
            bool lower = i > p[1].y - p[0].y || p[1].y == p[0].y;
            double a = static_cast<double>(i) / static_cast<double>(h);
            double b = static_cast<double>(i - (lower ? p[1].y - p[0].y : 0)) /
                       static_cast<double>(lower ? p[2].y - p[1].y : p[1].y - p[0].y);
            i64 xa = p[0].x + static_cast<i64>(static_cast<double>(p[2].x - p[0].x) * a);
            i64 xb = lower ? p[1].x + static_cast<i64>(static_cast<double>(p[2].x - p[1].x) * b)
                           : p[0].x + static_cast<i64>(static_cast<double>(p[1].x - p[0].x) * b);
            fill_row(ctx, p[0].y + i, xa, xb);
        }
    }
    if (ctx.pen_on) {
        // The edges in the context's coordinates again: plot_line adds the origin.
        for (int i = 0; i < 3; i++) {
            int j = (i + 1) % 3;
            plot_line(ctx, xs[i], ys[i], xs[j], ys[j]);
        }
    }
}

void draw_box(DrawContext& ctx, i64 ax, i64 ay, i64 bx, i64 by) {
    i64 x0 = std::min(ax, bx), x1 = std::max(ax, bx), y0 = std::min(ay, by), y1 = std::max(ay, by);
    if (x0 > ctx.clip.right - ctx.clip.left || x1 <= 0 || y0 > ctx.clip.bottom - ctx.clip.top || y1 <= 0) return;
    i64 left = x0 + ctx.ox, top = y0 + ctx.oy, right = x1 + ctx.ox, bottom = y1 + ctx.oy;
    i64 last_col = std::min<i64>(right, screen.width - 1), last_row = std::min<i64>(bottom, screen.height - 1);
    i64 col0 = std::max<i64>(left, std::max(ctx.clip.left, 0)), row0 = std::max<i64>(top, std::max(ctx.clip.top, 0));
    for (i64 y = row0; y <= last_row && y < ctx.clip.bottom; y++)
        for (i64 x = col0; x <= last_col && x < ctx.clip.right; x++) {
            ScreenCell& c = screen.at(static_cast<i32>(x), static_cast<i32>(y));
            c.attrs &= ~ATTR_CONTINUATION;
            if (ctx.fill_on) {
                c.cp = 32;
                c.bg = ctx.fill;
            }
            if (!ctx.pen_on) continue;
            bool l = x == left, r = x == right, t = y == top, b = y == bottom;
            u32 ch = 0;
            if (t && l) ch = 0x250C;
            else if (t && r) ch = 0x2510;
            else if (b && l) ch = 0x2514;
            else if (b && r) ch = 0x2518;
            else if (l || r) ch = 0x2502;
            else if (t || b) ch = 0x2500;
            if (ch) {
                c.cp = ch;
                c.fg = ctx.pen;
            }
        }
}

namespace {

void run(DrawContext& ctx, Cell* block);

// pen and fill-pen: a colour, off, or a gradient, pattern or bitmap pen
// (checked; the pens stay as they were).
void pen_command(DrawContext& ctx, Cursor& c, bool fill) {
    const Words& w = words();
    u32 color;
    if (opt_color(c, &color)) {
        if (fill) {
            ctx.fill = rgb_to_256(color);
            ctx.fill_on = true;
        } else {
            ctx.pen = rgb_to_256(color);
            ctx.pen_on = true;
            if (!ctx.font_set) ctx.text_color = ctx.pen;
        }
        return;
    }
    if (opt_word(c, {w.off})) {
        if (fill) ctx.fill_on = false;
        else ctx.pen_on = false;
        return;
    }
    auto tile = [&] { opt_word(c, {w.tile, w.flip_x, w.flip_y, w.flip_xy, w.clamp}); };
    if (opt_word(c, {w.linear, w.radial, w.diamond})) {
        u32 stops = 0;
        while (opt_color(c)) {
            stops++;
            if (c.peek() && TYPE_OF(c.peek()) == TYPE_FLOAT) c.pos++;
        }
        if (stops < 1) c.invalid();
        while (opt_point(c) || opt_number(c)) {}
        opt_word(c, {w.pad, w.repeat, w.reflect});
        return;
    }
    if (point_q(c.peek())) {
        c.pos++;
        if (!opt_integer(c) || !opt_integer(c)) c.invalid();
        for (int i = 0; i < 3 && opt_number(c); i++) {}
        u32 colors = 0;
        while (opt_color(c)) colors++;
        if (colors < 2) c.invalid();
        return;
    }
    if (opt_word(c, {w.pattern})) {
        take_point(c);
        if (opt_point(c)) take_point(c);
        tile();
        Cell blk;
        if (!opt_block(c, &blk)) c.invalid();
        return;
    }
    if (opt_word(c, {w.bitmap})) {
        const Cell* img = deref(c.peek());
        if (!img || TYPE_OF(img) != TYPE_IMAGE) c.invalid();
        c.pos++;
        if (opt_point(c)) take_point(c);
        tile();
        return;
    }
    c.invalid();
}

// A transform's optional 'pen or 'fill-pen.
void opt_pen_target(Cursor& c) {
    const Words& w = words();
    Cell* v = c.peek();
    if (is_lit_word(v, w.pen) || is_lit_word(v, w.fill_pen)) c.pos++;
}

// A block drawn between a save and a restore of the drawing state; this
// back-end keeps no state that the restore would put back.
void sub_block(DrawContext& ctx, Cursor& c) {
    Cell blk;
    if (opt_block(c, &blk)) run(ctx, &blk);
}

void shape_block(Cell* block);

void check_shape_args(Cursor& c) {
    while (point_q(c.peek()) || number_q(c.peek())) c.pos++;
}

void shape_block(Cell* block) {
    const Words& w = words();
    if (cycles::find_q(series_node(block))) fire("script", "draw-infinite", block);
    cycles::Guard hold(series_node(block));
    Cursor c{*block, series_head(block), block::buffer_of(block)->length()};
    while (!c.end()) {
        Cell* v = c.peek();
        if (TYPE_OF(v) == TYPE_BLOCK) {
            Cell inner = *v;
            c.pos++;
            shape_block(&inner);
            continue;
        }
        if (TYPE_OF(v) != TYPE_WORD) c.invalid();
        i32 a = alias(v);
        if (a == w.move || a == w.line || a == w.hline || a == w.vline || a == w.curve || a == w.curv ||
            a == w.qcurve || a == w.qcurv) {
            c.pos++;
            check_shape_args(c);
        } else if (a == w.arc) {
            c.pos++;
            check_shape_args(c);
            while (opt_word(c, {w.sweep, w.large})) {}
        } else if (a == w.close) {
            c.pos++;
        } else {
            const Cell* held = deref(v);
            if (held && TYPE_OF(held) == TYPE_BLOCK) {
                Cell inner = *held;
                c.pos++;
                shape_block(&inner);
            } else {
                c.invalid();
            }
        }
    }
}

void text_command(DrawContext& ctx, Cursor& c) {
    Point p = take_point(c);
    const Cell* v = c.peek();
    if (!v || (TYPE_OF(v) != TYPE_STRING && TYPE_OF(v) != TYPE_OBJECT)) c.invalid();
    c.pos++;
    TextStyle st;
    st.attrs = ctx.flags | ATTR_ESCAPES;
    st.para = PARA_WRAP;
    st.fg = ctx.font_set ? ctx.text_color : ctx.pen_on ? ctx.pen : 0;
    i32 x = static_cast<i32>(std::clamp<i64>(ctx.ox + p.x, -1000000, 1000000));
    i32 y = static_cast<i32>(std::clamp<i64>(ctx.oy + p.y, -1000000, 1000000));
    if (TYPE_OF(v) == TYPE_STRING) {
        render_text(text_of(v), x, y, ctx.clip, st);
        return;
    }
    // A rich-text face: its styled line, and its para's flags.
    Cell face = *v;
    Widget* w = of_face(&face);
    if (!w || w->kind != Kind::RICH_TEXT) return;
    kind_update(*w);
    w = of_face(&face);
    if (!w || !w->styles) return;
    const Cell* para = face::facet(&face, face::PARA);
    if (TYPE_OF(para) == TYPE_OBJECT) st.para = para_flags(para);
    st.line = w->styles.get();
    st.attrs &= ~ATTR_ESCAPES;
    render_text(Text{}, x, y, ctx.clip, st);
}

void command(DrawContext& ctx, Cursor& c, i32 word) {
    const Words& w = words();
    if (word == w.pen || word == w.fill_pen) return pen_command(ctx, c, word == w.fill_pen);
    if (word == w.box) {
        Point a = take_point(c), b = take_point(c);
        opt_number(c);
        return draw_box(ctx, a.x, a.y, b.x, b.y);
    }
    if (word == w.line) {
        Point a = take_point(c), b = take_point(c);
        plot_line(ctx, a.x, a.y, b.x, b.y);
        Point next;
        while (opt_point(c, &next)) {
            plot_line(ctx, b.x, b.y, next.x, next.y);
            b = next;
        }
        return;
    }
    if (word == w.triangle) {
        Point p[3] = {take_point(c), take_point(c), take_point(c)};
        i64 xs[3] = {p[0].x, p[1].x, p[2].x}, ys[3] = {p[0].y, p[1].y, p[2].y};
        return draw_triangle(ctx, xs, ys);
    }
    if (word == w.polygon) {
        for (int i = 0; i < 3; i++) take_point(c);
        while (opt_point(c)) {}
        return;
    }
    if (word == w.circle) {
        Point centre = take_point(c);
        double r = take_number(c);
        if (number_q(c.peek())) r = take_number(c);
        i64 radius = static_cast<i64>(std::clamp(r, -1e12, 1e12));
        if (radius > 0) plot_ellipse(ctx, centre.x, centre.y, 2 * radius, radius);
        return;
    }
    if (word == w.ellipse) {
        Point corner = take_point(c), size = take_point(c);
        if (size.x < 1 || size.y < 1) return;
        i64 hx = static_cast<i64>((static_cast<double>(size.x) + 0.5) / 2.0);
        i64 hy = static_cast<i64>((static_cast<double>(size.y) + 0.5) / 2.0);
        return plot_ellipse(ctx, corner.x + hx, corner.y + hy, hx, hy);
    }
    if (word == w.anti_alias) {
        if (!c.peek() || TYPE_OF(c.peek()) != TYPE_WORD) c.invalid();
        c.pos++;
        return;
    }
    if (word == w.font) {
        const Cell* f = deref(c.peek());
        if (!f || TYPE_OF(f) != TYPE_OBJECT) c.invalid();
        c.pos++;
        const Cell* color = face::field(f, face::sym().color);
        if (TYPE_OF(color) == TYPE_TUPLE) {
            ctx.text_color = rgb_to_256(tuple_color(color));
            ctx.font_set = true;
        } else {
            ctx.font_set = false;
        }
        return;
    }
    if (word == w.text) return text_command(ctx, c);
    if (word == w.arc) {
        take_point(c);
        take_point(c);
        take_number(c);
        take_number(c);
        opt_word(c, {w.closed});
        return;
    }
    if (word == w.curve) {
        for (int i = 0; i < 3; i++) take_point(c);
        opt_point(c);
        return;
    }
    if (word == w.spline) {
        take_point(c);
        take_point(c);
        while (opt_point(c)) {}
        opt_word(c, {w.closed});
        return;
    }
    if (word == w.image) {
        const Cell* img = deref(c.peek());
        if (!img || TYPE_OF(img) != TYPE_IMAGE) c.invalid();
        c.pos++;
        while (opt_point(c)) {}
        opt_color(c);
        if (opt_word(c, {w.crop})) {
            take_point(c);
            take_point(c);
        } else {
            opt_word(c, {w.border});
        }
        return;
    }
    if (word == w.line_width) {
        take_number(c);
        return;
    }
    if (word == w.line_join || word == w.line_cap) {
        if (!c.peek() || TYPE_OF(c.peek()) != TYPE_WORD) c.invalid();
        c.pos++;
        return;
    }
    if (word == w.line_pattern) {
        if (!opt_integer(c)) c.invalid();
        while (opt_integer(c)) {}
        return;
    }
    if (word == w.shadow) {
        if (opt_word(c, {w.off})) return;
        take_point(c);
        opt_integer(c);
        opt_integer(c);
        opt_color(c);
        opt_word(c, {w.inset});
        return;
    }
    if (word == w.clip) {
        Cell blk;
        if (point_q(c.peek())) {
            take_point(c);
            take_point(c);
        } else if (opt_word(c, {w.shape})) {
            if (!opt_block(c, &blk)) c.invalid();
            shape_block(&blk);
        } else if (opt_block(c, &blk)) {
            shape_block(&blk);
        } else {
            c.invalid();
        }
        opt_word(c, {w.replace, w.intersect, w.union_, w.xor_, w.exclude});
        return sub_block(ctx, c);
    }
    if (word == w.shape) {
        Cell blk;
        if (!opt_block(c, &blk)) c.invalid();
        return shape_block(&blk);
    }
    if (word == w.rotate) {
        opt_pen_target(c);
        take_number(c);
        opt_point(c);
        return sub_block(ctx, c);
    }
    if (word == w.scale) {
        opt_pen_target(c);
        for (int i = 0; i < 2; i++) {
            Cell* v = c.peek();
            if (!number_q(v) && !(v && TYPE_OF(v) == TYPE_PERCENT)) c.invalid();
            c.pos++;
        }
        return sub_block(ctx, c);
    }
    if (word == w.translate) {
        opt_pen_target(c);
        take_point(c);
        return sub_block(ctx, c);
    }
    if (word == w.skew) {
        opt_pen_target(c);
        take_number(c);
        opt_number(c);
        return sub_block(ctx, c);
    }
    if (word == w.transform) {
        opt_pen_target(c);
        take_number(c);
        opt_point(c);
        take_number(c);
        take_number(c);
        take_point(c);
        return sub_block(ctx, c);
    }
    if (word == w.push) {
        Cell blk;
        if (!opt_block(c, &blk)) c.invalid();
        return run(ctx, &blk);
    }
    if (word == w.matrix) {
        opt_pen_target(c);
        const Cell* m = c.peek();
        if (!m || TYPE_OF(m) != TYPE_BLOCK || block::zs_length_q(m) != 6) c.invalid();
        Cell mat = *m;
        for (u32 i = 0; i < 6; i++)
            if (!number_q(block::zs_head(&mat) + i)) c.invalid();
        c.pos++;
        return;
    }
    if (word == w.reset_matrix || word == w.invert_matrix) return opt_pen_target(c);
    c.invalid(c.pos - 1);
}

void run(DrawContext& ctx, Cell* block) {
    node_t node = series_node(block);
    if (cycles::find_q(node)) fire("script", "draw-infinite", block);
    cycles::Guard hold(node);
    Cursor c{*block, series_head(block), block::buffer_of(block)->length()};
    collector::Guard keep(&c.block);
    while (!c.end()) {
        Cell* v = c.peek();
        switch (TYPE_OF(v)) {
            case TYPE_WORD: {
                i32 word = alias(v);
                c.pos++;
                command(ctx, c, word);
                break;
            }
            case TYPE_SET_WORD: {
                Cell here = c.block;
                series_head(&here) = c.pos + 1;
                Cell w = *v;
                c.pos++;
                context::set(&w, &here);
                break;
            }
            case TYPE_BLOCK: {
                Cell inner = *v;
                c.pos++;
                run(ctx, &inner);
                break;
            }
            default: c.invalid();
        }
    }
}

}  // namespace

void draw_commands(DrawContext& ctx, Cell* block) {
    Cell blk = *block;
    collector::Guard keep(&blk);
    // A block that holds itself through a word is caught by the cycle check.
    run(ctx, &blk);
}

void do_draw(Cell* block) {
    if (TYPE_OF(block) != TYPE_BLOCK || block::zs_length_q(block) == 0) return;
    DrawContext ctx = draw_begin(nullptr, 0, 0, Rect{0, 0, 0, 0}, 0);
    draw_commands(ctx, block);
}

void draw_text_styles(StyledLine& line, Cell* styles) {
    const Words& w = words();
    Cursor c{*styles, series_head(styles), block::buffer_of(styles)->length()};
    collector::Guard keep(&c.block);
    u32 start = 0, length = 0;
    const u32 count = static_cast<u32>(line.cells.size());
    auto each = [&](auto&& f) {
        for (u32 i = start; i < count && i < start + length; i++) f(line.cells[i]);
    };
    while (!c.end()) {
        const Cell* v = c.peek();
        c.pos++;
        u32 t = TYPE_OF(v);
        if (t == TYPE_PAIR) {
            i64 s = pair::x_of(v), n = pair::y_of(v);
            start = static_cast<u32>(std::clamp<i64>(s - 1, 0, count));
            length = static_cast<u32>(std::clamp<i64>(n, 0, count - start));
        } else if (t == TYPE_TUPLE) {
            u32 fg = rgb_to_256(tuple_color(v));
            each([&](ScreenCell& cell) { cell.fg = fg; });
        } else if (t == TYPE_STRING || t == TYPE_INTEGER || t == TYPE_FLOAT) {
            // font name, font size: nothing on a terminal
        } else if (t == TYPE_WORD && alias(v) == w.backdrop) {
            u32 color;
            if (!opt_color(c, &color)) c.invalid();
            u32 bg = rgb_to_256(color);
            each([&](ScreenCell& cell) { cell.bg = bg; });
        } else if (t == TYPE_WORD && (alias(v) == w.bold || alias(v) == w.italic)) {
            u32 bit = alias(v) == w.bold ? ATTR_BOLD : ATTR_ITALIC;
            each([&](ScreenCell& cell) { cell.attrs |= bit; });
        } else if (t == TYPE_WORD && (alias(v) == w.underline || alias(v) == w.strike || alias(v) == w.border)) {
            u32 bit = alias(v) == w.underline ? ATTR_UNDERLINE : alias(v) == w.strike ? ATTR_STRIKE : 0;
            opt_color(c);
            if (c.peek() && TYPE_OF(c.peek()) == TYPE_LIT_WORD) c.pos++;
            if (bit) each([&](ScreenCell& cell) { cell.attrs |= bit; });
        } else {
            c.invalid(c.pos - 1);
        }
    }
}

}  // namespace zav::gui
