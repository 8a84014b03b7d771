// Widget kinds: how fields, buttons, check and radio boxes, progress bars,
// text lists, group boxes, rich text and caret bases look and answer keys
// and clicks. Every other face type draws its background and text.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/image.h"
#include "datatypes/imaging.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "view/terminal/calls.h"
#include "view/terminal/compositor.h"
#include "view/terminal/draw.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"
#include "view/terminal/widgets.h"

namespace zav::gui {

namespace {

constexpr u32 STYLE_TEXT = ATTR_ESCAPES;                       // 4096
constexpr u32 STYLE_FOCUSED = ATTR_ESCAPES | ATTR_INVERSE;     // 4104
constexpr u32 STYLE_MARK = ATTR_ESCAPES | ATTR_NO_TEXT;        // 12288
constexpr u32 STYLE_MARK_FOCUSED = STYLE_MARK | ATTR_INVERSE;  // 12296

// The faces named by a base's `caret` options.
std::vector<WidgetId> caret_targets(const Widget& w) {
    std::vector<WidgetId> ids;
    const Cell* options = face::facet(&w.face, face::OPTIONS);
    if (TYPE_OF(options) != TYPE_BLOCK) return ids;
    u32 n = block::zs_length_q(options);
    if (n % 2) return ids;
    const Cell* items = block::zs_head(const_cast<Cell*>(options));
    for (u32 i = 0; i < n; i += 2) {
        if (!face::word_is(items + i, face::sym().caret)) continue;
        const Cell* target = items + i + 1;
        if (TYPE_OF(target) == TYPE_WORD && target->data1) target = context::get(target);
        if (TYPE_OF(target) == TYPE_OBJECT)
            if (WidgetId id = id_of_face(target)) ids.push_back(id);
    }
    return ids;
}

// The face's text as a string it can be edited in (an empty one is made
// when it holds none).
Cell* field_text(Widget& w) {
    Cell* text = face::facet(&w.face, face::TEXT);
    if (TYPE_OF(text) == TYPE_STRING) return text;
    Cell fresh;
    string::make_at(&fresh, 16);
    set_facet_quiet(&w.face, face::TEXT, &fresh);
    return face::facet(&w.face, face::TEXT);
}

// The caret kept in step with the text, which a script can replace or
// change (`f/text: "x"`, `clear f/text`) between two keys: a new text puts
// it at the end of what fits, as when the field was made; a changed one
// keeps its place, never past the end.
void sync_caret(Widget& w, const Cell* text) {
    Caret& c = w.caret;
    Text t = text_of(text);
    u32 series = TYPE_OF(text) == TYPE_STRING ? series_node(text) : 0;
    if (series != c.series) {
        c.series = series;
        c.index = text_extent(t, std::max(w.width(), 0)).chars;
    }
    c.index = std::clamp(c.index, 0, static_cast<i32>(t.length));
    c.column = c.width = 0;
    for (u32 i = 0; i < t.length; i++) {
        i32 cw = static_cast<i32>(char_width(t.at(i)));
        if (static_cast<i32>(i) < c.index) c.column += cw;
        c.width += cw;
    }
}

void field_event(u32 type, Widget& w, EventRecord& rec) {
    WidgetId id = w.id;
    Caret& c = w.caret;
    if (type == EVT_CLICK) {
        sync_caret(w, field_text(w));
        Text t = text_of(field_text(w));
        TextWalk walk = text_extent(t, static_cast<i32>(rec.x));
        c.index = walk.chars;
        c.column = walk.width;
        request_redraw(&w);
        return;
    }
    if (type != EVT_KEY) return;
    i32 code = rec.key;
    if (code == 0 || code == 9 || code == 13 || code == 10) return;
    Cell* text = field_text(w);
    sync_caret(w, text);
    Text t = text_of(text);
    bool edited = false;
    if (code == KEY_LEFT || code == 2) {
        if (c.index <= 0) return;
        c.index--;
        c.column -= static_cast<i32>(char_width(t.at(static_cast<u32>(c.index))));
    } else if (code == KEY_RIGHT || code == 6) {
        if (c.index >= static_cast<i32>(t.length)) return;
        c.column += static_cast<i32>(char_width(t.at(static_cast<u32>(c.index))));
        c.index++;
    } else if (code == 8 || code == 127) {
        if (c.index <= 0) return;
        c.index--;
        i32 cw = static_cast<i32>(char_width(t.at(static_cast<u32>(c.index))));
        c.column -= cw;
        c.width -= cw;
        string::remove_char(GET_BUFFER(series_node(text)), series_head(text) + static_cast<u32>(c.index));
        edited = true;
    } else if (code < 32) {
        return;
    } else {
        // A code point typed (special keys arrive as negative codes).
        i32 cw = static_cast<i32>(char_width(static_cast<u32>(code)));
        if (c.width + cw > w.width() || c.index > static_cast<i32>(t.length)) return;
        string::insert_char(GET_BUFFER(series_node(text)), series_head(text) + static_cast<u32>(c.index),
                            static_cast<u32>(code));
        c.index++;
        c.column += cw;
        c.width += cw;
        edited = true;
    }
    request_redraw(&w);
    // The face's handlers learn of each edit, as of any other user change.
    if (edited) send_value_event(EVT_CHANGE, id, 0);
}

// `announce`: the face learns of it by a change event. A click on a radio
// is not announced here: the click itself goes on to the face, and the
// `radio` event function makes it the change, so the face hears of it once.
void toggle(Widget& w, bool radio, bool announce) {
    WidgetId id = w.id;
    Cell* data = face::facet(&w.face, face::DATA);
    Cell value;
    if (radio || TYPE_OF(data) == TYPE_NONE) make_cell(&value, TYPE_LOGIC, 1);
    else if (TYPE_OF(data) == TYPE_LOGIC) make_cell(&value, TYPE_LOGIC, data->data1 ? 0 : 1);
    else make_cell(&value, TYPE_LOGIC, 0);
    set_facet_quiet(&w.face, face::DATA, &value);
    kind_update(w);
    if (Widget* self = get(id)) request_redraw(self);
    if (announce) send_value_event(EVT_CHANGE, id, 0);
}

i32 list_count(const Cell* face) {
    const Cell* data = face::facet(face, face::DATA);
    u32 t = TYPE_OF(data);
    if (t == TYPE_BLOCK || t == TYPE_HASH || t == TYPE_MAP) return static_cast<i32>(block::zs_length_q(data));
    return 0;
}

void text_list_event(u32 type, Widget& w, EventRecord& rec) {
    WidgetId id = w.id;
    if (type == EVT_FOCUS) {
        kind_update(w);
        if (Widget* self = get(id)) request_redraw(self);
        return;
    }
    Cell face = w.face;
    collector::Guard keep(&face);
    i32 count = list_count(&face);
    i32 height = std::max(w.height(), 1);
    const Cell* selected = face::facet(&face, face::SELECTED);
    i32 old = TYPE_OF(selected) == TYPE_INTEGER ? static_cast<i32>(selected->data2) : 0;
    i32 sel = old;
    if (type == EVT_KEY && rec.key == KEY_UP) {
        if (sel > 1) sel--;
        if (sel - 1 < w.first_visible && w.first_visible > 0) w.first_visible--;
    } else if (type == EVT_KEY && rec.key == KEY_DOWN) {
        if (sel < count) sel++;
        if (w.first_visible < sel - height) w.first_visible++;
    } else if (type == EVT_CLICK) {
        // A click below the last item picks nothing.
        sel = w.first_visible + static_cast<i32>(rec.y) + 1;
        if (sel < 1 || sel > count) return;
        if (TYPE_OF(selected) != TYPE_INTEGER) {
            Cell v;
            make_cell(&v, TYPE_INTEGER, 0, static_cast<u32>(old));
            set_facet_quiet(&face, face::SELECTED, &v);
        }
    } else {
        return;
    }
    if (sel == old) {
        request_redraw(&w);
        return;
    }
    bool done = send_value_event(EVT_SELECT, id, sel);
    Widget* self = get(id);
    const Cell* now = face::facet(&face, face::SELECTED);
    if (!self || TYPE_OF(now) != TYPE_INTEGER || static_cast<i32>(now->data2) != old) return;
    Cell v;
    make_cell(&v, TYPE_INTEGER, 0, static_cast<u32>(sel));
    set_facet_quiet(&face, face::SELECTED, &v);
    kind_update(*self);
    if ((self = get(id))) request_redraw(self);
    if (!done) send_value_event(EVT_CHANGE, id, sel);
}

// A group box: its background, an outline of box-drawing characters, and
// its text on the top edge.
void draw_border(i32 x, i32 y, Widget& w) {
    const face::Symbols& s = face::sym();
    render_face(x, y, w, ATTR_NO_TEXT);
    bool round = false;
    u32 color = 0;
    const Cell* options = face::facet(&w.face, face::OPTIONS);
    if (TYPE_OF(options) == TYPE_BLOCK) {
        u32 n = block::zs_length_q(options);
        const Cell* items = block::zs_head(const_cast<Cell*>(options));
        for (u32 i = 0; i + 1 < n; i++) {
            if (face::word_is(items + i, s.border_corners)) round = face::word_is(items + i + 1, s.round);
            if (face::word_is(items + i, s.border_color) && TYPE_OF(items + i + 1) == TYPE_TUPLE)
                color = rgb_to_256(tuple_color(items + i + 1));
        }
    }
    Rect clip = face_clip(x, y, w);
    i32 right = x + w.width() - 1, bottom = y + w.height() - 1;
    auto inside = [&](i32 cx, i32 cy) { return cx >= clip.left && cx < clip.right && cy >= clip.top && cy < clip.bottom; };
    auto put = [&](i32 cx, i32 cy, u32 cp) {
        if (!inside(cx, cy)) return;
        ScreenCell& c = screen.at(cx, cy);
        c.cp = cp;
        c.attrs &= ~ATTR_CONTINUATION;
        if (color) c.fg = color;
    };
    if (w.width() < 1 || w.height() < 1) return;
    for (i32 cx = x + 1; cx < right; cx++) {
        put(cx, y, 0x2500);
        put(cx, bottom, 0x2500);
    }
    for (i32 cy = y + 1; cy < bottom; cy++) {
        put(x, cy, 0x2502);
        put(right, cy, 0x2502);
    }
    put(x, y, round ? 0x256D : 0x250C);
    put(right, y, round ? 0x256E : 0x2510);
    put(x, bottom, round ? 0x2570 : 0x2514);
    put(right, bottom, round ? 0x256F : 0x2518);
    const Cell* text = face::facet(&w.face, face::TEXT);
    if (TYPE_OF(text) == TYPE_STRING) {
        TextStyle st;
        const Cell* font_color = face::field(face::facet(&w.face, face::FONT), s.color);
        if (TYPE_OF(font_color) == TYPE_TUPLE) st.fg = rgb_to_256(tuple_color(font_color));
        Rect top{std::max(clip.left, x + 1), clip.top, std::min(clip.right, right), std::min(clip.bottom, y + 1)};
        render_text(text_of(text), x + 1, y, top, st);
    }
}

// A rich-text face's text as styled cells, its data's styles applied.
void build_styles(Widget& w) {
    const Cell* text = face::facet(&w.face, face::TEXT);
    Cell data = *face::facet(&w.face, face::DATA);
    if (TYPE_OF(text) != TYPE_STRING || TYPE_OF(&data) != TYPE_BLOCK) {
        w.styles.reset();
        return;
    }
    Text t = text_of(text);
    if (t.length == 0) {
        w.styles.reset();
        return;
    }
    const Cell* color = face::facet(&w.face, face::COLOR);
    u32 bg = TYPE_OF(color) == TYPE_TUPLE ? rgb_to_256(tuple_color(color)) : 0;
    auto line = std::make_unique<StyledLine>();
    line->cells.resize(t.length);
    for (u32 i = 0; i < t.length; i++) line->cells[i] = {t.at(i), bg, 0, 0};
    collector::Guard keep(&data);
    WidgetId id = w.id;
    draw_text_styles(*line, &data);
    if (Widget* self = get(id)) self->styles = std::move(line);
}

}  // namespace

void kind_made(Widget& w) {
    switch (w.kind) {
        case Kind::FIELD: {
            w.flags |= WF_CARET;
            sync_caret(w, face::facet(&w.face, face::TEXT));
            break;
        }
        case Kind::BASE:
            for (WidgetId target : caret_targets(w)) {
                w.flags |= WF_CARET_OPTION;
                if (Widget* t = get(target)) t->flags |= WF_CARET;
            }
            break;
        case Kind::TEXT_LIST: w.first_visible = 0; break;
        default: break;
    }
}

void kind_update(Widget& w) {
    WidgetId id = w.id;
    Cell face = w.face;
    collector::Guard keep(&face);
    collector::GuardedCell result;
    QuietSync quiet;
    switch (w.kind) {
        case Kind::PROGRESS: call_helper("make-progress-ui", &face, &result.value); break;
        case Kind::TEXT_LIST: call_helper("make-text-list-ui", &face, &result.value); break;
        case Kind::CHECK:
        case Kind::RADIO: {
            bool radio = w.kind == Kind::RADIO;
            call_helper(radio ? "make-radio-ui" : "make-checkbox-ui", &face, &result.value);
            if (Widget* self = get(id)) self->ui = TYPE_OF(&result.value) == TYPE_STRING ? result.value : Cell{TYPE_NONE, 0, 0, 0};
            if (!radio) break;
            // Radios beside it that it cleared show their new mark at once.
            Cell parent = *face::facet(&face, face::PARENT);
            collector::Guard keep_parent(&parent);
            Widget* pw = of_face(&parent);
            if (!pw) break;
            for (WidgetId sib : children(*pw)) {
                Widget* s = get(sib);
                if (!s || sib == id || s->kind != Kind::RADIO) continue;
                Cell sface = s->face;
                collector::Guard keep_sib(&sface);
                collector::GuardedCell ui;
                call_helper("make-radio-ui", &sface, &ui.value);
                if ((s = get(sib)) && TYPE_OF(&ui.value) == TYPE_STRING) s->ui = ui.value;
            }
            request_full_redraw();
            break;
        }
        case Kind::RICH_TEXT: build_styles(w); break;
        default: break;
    }
}

void kind_render(i32 x, i32 y, Widget& w) {
    bool focused = w.has(WF_FOCUSED);
    switch (w.kind) {
        case Kind::WINDOW: return;
        case Kind::BASE:
            if (w.has(WF_CARET_OPTION)) {
                for (WidgetId target : caret_targets(w))
                    if (Widget* t = get(target)) {
                        t->flags |= WF_CARET;
                        if (t->has(WF_FOCUSED)) {
                            frame.caret_column = x;
                            frame.caret_row = y;
                        }
                    }
                return;
            }
            return render_face(x, y, w, STYLE_TEXT);
        case Kind::FIELD:
            w.y2 = w.y1 + 1;
            render_face(x, y, w, STYLE_TEXT | (w.has(WF_PASSWORD) ? ATTR_MASKED : 0));
            if (focused) {
                sync_caret(w, face::facet(&w.face, face::TEXT));
                frame.caret_column = x + std::clamp(w.caret.column, 0, std::max(w.width(), 0));
                frame.caret_row = y;
            }
            return;
        case Kind::BUTTON: return render_face(x, y, w, focused ? STYLE_FOCUSED : STYLE_TEXT);
        case Kind::PROGRESS: return render_face(x, y, w, 0);
        case Kind::GROUP_BOX: return draw_border(x, y, w);
        case Kind::CHECK:
        case Kind::RADIO: return render_face(x, y, w, focused ? STYLE_MARK_FOCUSED : STYLE_MARK);
        case Kind::RICH_TEXT: return render_face(x, y, w, 0);
        case Kind::TEXT_LIST:
        case Kind::DEFAULT: return render_face(x, y, w, STYLE_TEXT);
    }
}

void kind_event(u32 type, Widget& w, EventRecord& rec) {
    WidgetId id = w.id;
    switch (w.kind) {
        case Kind::FIELD: return field_event(type, w, rec);
        case Kind::BUTTON:
            if (type != EVT_KEY) return;
            if (rec.key == 32) send_mouse(EVT_CLICK, id, 0, 0, 0);
            if (rec.key != 0)
                if (Widget* self = get(id)) request_redraw(self);
            return;
        case Kind::CHECK:
        case Kind::RADIO:
            if ((type == EVT_KEY && rec.key == 32) || type == EVT_CLICK) {
                bool radio = w.kind == Kind::RADIO;
                return toggle(w, radio, !(radio && type == EVT_CLICK));
            }
            if (type == EVT_FOCUS || type == EVT_UNFOCUS) request_redraw(&w);
            return;
        case Kind::TEXT_LIST: return text_list_event(type, w, rec);
        default:
            if (type == EVT_FOCUS || type == EVT_UNFOCUS) request_redraw(&w);
            return;
    }
}

void update_image(Widget& w) {
    w.image.reset();
    w.image_width = 0;
    Cell img = *face::facet(&w.face, face::IMAGE);
    i32 cols = w.width(), rows = w.height();
    if (TYPE_OF(&img) != TYPE_IMAGE || cols < 1 || rows < 1 || image::pixel_count(&img) == 0) return;
    collector::Guard keep(&img);
    // Two pixels a cell: the upper one is the background of a lower half
    // block, the lower one its foreground.
    collector::GuardedCell scaled;
    image::scale(&scaled.value, &img, static_cast<u32>(cols), static_cast<u32>(2 * rows));
    const u32* px = image::pixels_of(&scaled.value);
    auto color = [](u32 p) -> u32 {
        u32 r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF, a = p >> 24;
        if (color_support == 4) return color_rgb(r, g, b);
        return rgb_to_256(r | g << 8 | b << 16 | (255 - a) << 24);
    };
    auto line = std::make_unique<StyledLine>();
    line->cells.resize(static_cast<size_t>(cols) * static_cast<size_t>(rows));
    for (i32 y = 0; y < rows; y++)
        for (i32 x = 0; x < cols; x++) {
            u32 upper = px[static_cast<size_t>(2 * y) * static_cast<size_t>(cols) + static_cast<size_t>(x)];
            u32 lower = px[static_cast<size_t>(2 * y + 1) * static_cast<size_t>(cols) + static_cast<size_t>(x)];
            ScreenCell& c = line->cells[static_cast<size_t>(y) * static_cast<size_t>(cols) + static_cast<size_t>(x)];
            if ((upper >> 24) == 0) c = {32, 0, 0, 0};
            else c = {0x2584, color(upper), (lower >> 24) ? color(lower) : 0, 0};
        }
    w.image = std::move(line);
    w.image_width = cols;
}

}  // namespace zav::gui
