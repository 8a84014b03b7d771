// The compositor: windows, focus, painting and frames.
#include "view/terminal/compositor.h"

#include <algorithm>

#include "datatypes/block.h"
#include "view/terminal/draw.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"
#include "view/terminal/tty_io.h"

namespace zav::gui {

Windows windows;

namespace {

Widget* window_above(const Widget& w) {
    Widget* p = get(w.parent);
    while (p && p->kind != Kind::WINDOW) p = get(p->parent);
    return p;
}

}  // namespace

void add_window(Widget& w) {
    if (w.has(WF_FULLSCREEN)) frame.fullscreen = true;
    windows.newest = w.id;
    if (!get(windows.focused)) windows.focused = w.id;
    w.window = WindowRecord{};
    windows.list.push_back(w.id);
}

void window_grow_box(Widget& w) {
    Widget* win = w.kind == Kind::WINDOW ? &w : get(w.parent);
    if (!win || win->kind != Kind::WINDOW) return;
    float* box = win->window.box;
    float x1 = &w == win ? 0 : w.x1, y1 = &w == win ? 0 : w.y1;
    float x2 = &w == win ? w.x2 - w.x1 : w.x2, y2 = &w == win ? w.y2 - w.y1 : w.y2;
    box[0] = std::min(box[0], x1);
    box[1] = std::min(box[1], y1);
    box[2] = std::max(box[2], x2);
    box[3] = std::max(box[3], y2);
}

void count_caret_face(Widget& w) {
    if (!w.has(WF_CARET)) return;
    if (Widget* win = w.kind == Kind::WINDOW ? &w : window_above(w)) win->window.caret_count++;
}

void auto_focus(Widget& w) {
    Widget* newest = get(windows.newest);
    if (!newest || get(newest->window.focused) || !w.has(WF_FOCUSABLE)) return;
    if (Widget* win = window_above(w)) set_focus(w.id, win);
}

void set_focus(WidgetId target, Widget* window) {
    WidgetId win_id = window ? window->id : windows.current;
    WidgetId prev = windows.focused;
    if (Widget* p = get(prev)) {
        p->flags &= ~WF_FOCUSED;
        send_face_event(EVT_UNFOCUS, prev, 0);
    }
    if (Widget* win = get(win_id)) win->window.focused = target;
    windows.focused = target;
    if (Widget* t = get(target)) {
        t->flags |= WF_FOCUSED;
        send_face_event(EVT_FOCUS, target, 0);
    }
    if (Widget* t = get(target)) request_redraw(t);
}

void activate_window(Widget& window) {
    WidgetId id = window.id;
    WidgetId target = get(window.window.focused) ? window.window.focused : id;
    windows.current = id;
    set_focus(target, &window);
    Widget* w = get(id);
    if (w && w->window.caret_count == 0 && session.active) hide_cursor();
    forget_pointer();
    request_full_redraw();
}

void remove_window(Widget& window) {
    auto& l = windows.list;
    l.erase(std::remove(l.begin(), l.end(), window.id), l.end());
    if (windows.current == window.id) windows.current = 0;
    if (windows.newest == window.id) windows.newest = l.empty() ? 0 : l.back();
    if (!l.empty())
        if (Widget* last = get(l.back())) activate_window(*last);
}

bool request_redraw(const Widget* w) {
    if (!w) w = get(windows.focused);
    if (!w) return false;
    const Widget* win = w->kind == Kind::WINDOW ? w : window_above(*w);
    if (!win || win->id != windows.current) return false;
    frame.redraw_needed = true;
    return true;
}

void request_full_redraw() { frame.redraw_needed = true; }

// ---- painting -----------------------------------------------------------------

void render_face(i32 x, i32 y, Widget& w, u32 flags) {
    const face::Symbols& s = face::sym();
    const Cell* face = &w.face;
    const Cell* color = face::facet(face, face::COLOR);
    u32 bg = TYPE_OF(color) == TYPE_TUPLE ? rgb_to_256(tuple_color(color)) : 0;
    // A font without a colour leaves the terminal's own foreground.
    const Cell* font_color = face::field(face::facet(face, face::FONT), s.color);
    u32 fg = TYPE_OF(font_color) == TYPE_TUPLE ? rgb_to_256(tuple_color(font_color)) : 0;
    u32 para = para_flags(face::facet(face, face::PARA));
    Rect clip = face_clip(x, y, w);
    if (clip.width() < 1 || clip.height() < 1) return;
    fill_rect(clip.left, clip.top, clip.width(), clip.height(), bg);
    if (w.image && w.image_width > 0) {
        const auto& cells = w.image->cells;
        i32 rows = static_cast<i32>(cells.size()) / w.image_width;
        for (i32 r = std::max(clip.top - y, 0); r < rows && y + r < clip.bottom; r++)
            for (i32 c = std::max(clip.left - x, 0); c < w.image_width && x + c < clip.right; c++)
                screen.at(x + c, y + r) = cells[static_cast<size_t>(r) * static_cast<size_t>(w.image_width) + static_cast<size_t>(c)];
    }
    if (TYPE_OF(&w.ui) == TYPE_STRING) {
        TextStyle st;
        st.attrs = flags & ~ATTR_NO_TEXT;
        st.para = para;
        st.fg = fg;
        Text t = text_of(&w.ui);
        Rect at = align_text(t, w.width(), w.height(), para);
        render_text(t, x + at.left, y + at.top, clip, st);
    }
    if (!(flags & ATTR_NO_TEXT)) {
        const Cell* text = face::facet(face, face::TEXT);
        TextStyle st;
        st.attrs = flags;
        st.para = para;
        st.fg = fg;
        bool has_text = TYPE_OF(text) == TYPE_STRING && text_of(text).length > 0;
        if (TYPE_OF(text) == TYPE_STRING && w.kind == Kind::RICH_TEXT && w.styles) {
            st.line = w.styles.get();
            st.attrs &= ~ATTR_ESCAPES;
        } else if (!has_text) {
            const Cell* options = face::facet(face, face::OPTIONS);
            text = nullptr;
            if (TYPE_OF(options) == TYPE_BLOCK) {
                u32 n = block::zs_length_q(options);
                Cell* items = block::zs_head(const_cast<Cell*>(options));
                for (u32 i = 0; i + 1 < n; i++)
                    if (face::word_is(items + i, s.hint) && TYPE_OF(items + i + 1) == TYPE_STRING) {
                        text = items + i + 1;
                        st.attrs |= ATTR_DIM;
                        break;
                    }
            }
        }
        if (text && TYPE_OF(text) == TYPE_STRING) {
            Text t = text_of(text);
            Rect at = st.line ? Rect{0, 0, 0, 0} : align_text(t, w.width(), w.height(), para);
            render_text(t, x + at.left, y + at.top, clip, st);
        }
    }
    const Cell* draw = face::facet(face, face::DRAW);
    if (TYPE_OF(draw) == TYPE_BLOCK && block::zs_length_q(draw) > 0) {
        DrawContext ctx = draw_begin(&w, x, y, clip, flags);
        Cell cmds = *draw;
        draw_commands(ctx, &cmds);
    }
}

void render_tree(Widget& w) {
    if (w.has(WF_HIDDEN)) return;
    WidgetId id = w.id;
    i32 x, y;
    handle_origin(w, &x, &y);
    kind_render(x, y, w);
    Widget* self = get(id);
    if (!self) return;
    for (WidgetId child : children(*self))
        if (Widget* c = get(child)) render_tree(*c);
}

void fit_ui_area() {
    InputDecoder& in = session.input;
    if (frame.fullscreen) {
        in.left_column = 0;
        in.top_row = 0;
    } else if (session.rows < in.top_row + screen.height) {
        in.top_row = std::max(session.rows - screen.height, 0);
    }
}

void render_frame() {
    fit_ui_area();
    if (!frame.redraw_needed) return;
    Widget* win = get(windows.current);
    if (!win || !tty().output_is_console()) {
        frame.redraw_needed = false;
        return;
    }
    const float* box = win->window.box;
    screen.resize_to_box(box[0], box[1], box[2], box[3]);
    screen.clear();
    frame.caret_column = frame.caret_row = -1;
    render_tree(*win);
    Widget* focused = get(windows.focused);
    bool caret = focused && focused->has(WF_CARET) && frame.caret_column >= 0;
    if (!caret) hide_cursor();
    emit_frame(caret);
    if (caret) show_cursor();
    flush_out();
    set_exit_moves(frame.fullscreen ? -1 : screen.height - 1 - frame.lines_below_top);
}

void erase_ui() {
    if (!frame.frame_shown) return;
    out.push_back('\r');
    if (frame.lines_below_top > 0) emit_csi(frame.lines_below_top, 'A');
    out.append("\x1b[0J");
    flush_out();
    frame.lines_below_top = 0;
    frame.frame_shown = false;
    set_exit_moves(-1);
}

void leave_ui_area() {
    if (!frame.frame_shown || frame.fullscreen) return;
    cursor_down(screen.height - 1 - frame.lines_below_top);
    out.append("\r\n");
    flush_out();
    frame.frame_shown = false;
    set_exit_moves(-1);
}

void on_resize_windows() {
    std::vector<WidgetId> list = windows.list;
    for (WidgetId id : list) {
        Widget* w = get(id);
        if (!w) continue;
        EventRecord rec;
        rec.widget = id;
        kind_event(EVT_RESIZE, *w, rec);
        if (get(id) && TYPE_OF(&get(id)->face) == TYPE_OBJECT) call_awake(EVT_RESIZE, rec, 0);
    }
    request_full_redraw();
    if (frame.alt_screen) render_frame();
}

void enter_fullscreen() {
    if (!frame.fullscreen || frame.alt_screen || !terminal_output()) return;
    enter_alt_screen();
    frame.alt_screen = true;
}

void leave_fullscreen() {
    if (!frame.alt_screen) return;
    leave_alt_screen();
    frame.alt_screen = false;
}

void screen_reset() {
    std::vector<WidgetId> list = windows.list;
    for (WidgetId id : list)
        if (Widget* w = get(id)) destroy_view(&w->face, false);
    bool alt = frame.alt_screen;
    u64 bytes = frame.bytes_written;
    frame = FrameState{};
    frame.alt_screen = alt;
    frame.bytes_written = bytes;
    windows = Windows{};
    out.clear();
    screen.reset();
    reset_loop_state();
}

}  // namespace zav::gui
