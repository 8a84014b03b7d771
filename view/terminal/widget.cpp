// Widgets: the table of face handles, their geometry, and making, updating
// and destroying them.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/handle.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "view/terminal/calls.h"
#include "view/terminal/compositor.h"
#include "view/terminal/faces.h"
#include "view/terminal/loop.h"
#include "view/terminal/widgets.h"

namespace zav::gui {

// ---- the table --------------------------------------------------------------

namespace {

// A widget id: its slot in the low 20 bits (plus one, so that 0 is none),
// the slot's generation above.
constexpr u32 INDEX_BITS = 20;
constexpr u32 INDEX_MASK = (1u << INDEX_BITS) - 1;
constexpr u32 GENERATION_MASK = (1u << (32 - INDEX_BITS)) - 1;

std::vector<std::unique_ptr<Widget>> slots;
std::vector<u32> generations;
std::vector<u32> free_slots;
std::vector<u32> dead;

u32 slot_of(WidgetId id) { return (id & INDEX_MASK) - 1; }

Widget& allocate() {
    u32 idx;
    if (!free_slots.empty()) {
        idx = free_slots.back();
        free_slots.pop_back();
    } else {
        idx = static_cast<u32>(slots.size());
        if (idx >= INDEX_MASK) fire("internal", "no-memory");
        slots.push_back(nullptr);
        generations.push_back(1);
    }
    slots[idx] = std::make_unique<Widget>();
    Widget& w = *slots[idx];
    w.id = (idx + 1) | (generations[idx] << INDEX_BITS);
    w.alive = true;
    return w;
}

void kill(Widget& w) {
    if (!w.alive) return;
    w.alive = false;
    dead.push_back(slot_of(w.id));
}

}  // namespace

Widget* get(WidgetId id) {
    if (!id) return nullptr;
    u32 idx = slot_of(id);
    if (idx >= slots.size()) return nullptr;
    Widget* w = slots[idx].get();
    return w && w->alive && w->id == id ? w : nullptr;
}

WidgetId id_of_face(const Cell* face) {
    const Cell* state = face::facet(face, face::STATE);
    if (TYPE_OF(state) != TYPE_BLOCK || block::zs_length_q(state) < 1) return 0;
    const Cell* h = block::zs_head(const_cast<Cell*>(state));
    return TYPE_OF(h) == TYPE_HANDLE ? h->data2 : 0;
}

Widget* of_face(const Cell* face) { return get(id_of_face(face)); }

void release_dead() {
    for (u32 idx : dead) {
        slots[idx].reset();
        generations[idx] = (generations[idx] + 1) & GENERATION_MASK;
        if (!generations[idx]) generations[idx] = 1;
        free_slots.push_back(idx);
    }
    dead.clear();
}

u32 live_count() {
    u32 n = 0;
    for (const auto& w : slots)
        if (w && w->alive) n++;
    return n;
}

void mark_widgets() {
    // Dead widgets keep their face until their slot is given back: a
    // dispatch still running may read it.
    for (const auto& w : slots)
        if (w) {
            collector::mark_value(&w->face);
            collector::mark_value(&w->ui);
        }
}

std::vector<WidgetId> children(const Widget& w) {
    std::vector<WidgetId> ids;
    Cell* pane = face::facet(&w.face, face::PANE);
    if (TYPE_OF(pane) != TYPE_BLOCK) return ids;
    u32 n = block::zs_length_q(pane);
    Cell* items = block::zs_head(pane);
    for (u32 i = 0; i < n; i++)
        if (TYPE_OF(items + i) == TYPE_OBJECT)
            if (WidgetId id = id_of_face(items + i)) ids.push_back(id);
    return ids;
}

// ---- flags ------------------------------------------------------------------

u32 get_flags(const Cell* flags) {
    struct Name {
        const char* text;
        u32 bit;
    };
    static const Name NAMES[] = {
        {"all-over", FF_ALL_OVER}, {"focusable", FF_FOCUSABLE}, {"popup", FF_POPUP}, {"modal", FF_MODAL},
        {"resize", FF_RESIZE}, {"no-buttons", FF_NO_BUTTONS}, {"no-max", FF_NO_MAX}, {"no-min", FF_NO_MIN},
        {"no-title", FF_NO_TITLE}, {"no-border", FF_NO_BORDER}, {"tri-state", FF_TRI_STATE},
        {"scrollable", FF_SCROLLABLE}, {"password", FF_PASSWORD}, {"no-sync", FF_NO_SYNC},
        {"fullscreen", FF_FULLSCREEN},
    };
    auto bit_of = [](const Cell* w) -> u32 {
        i32 a = face::word_alias(w);
        for (const Name& n : NAMES)
            if (symbol::resolve(symbol::make(n.text)) == a) return n.bit;
        fire("script", "invalid-arg", w);
    };
    if (TYPE_OF(flags) == TYPE_WORD || TYPE_OF(flags) == TYPE_LIT_WORD) return bit_of(flags);
    if (TYPE_OF(flags) != TYPE_BLOCK) return 0;
    Cell blk = *flags;
    u32 bits = 0;
    for (u32 i = 0, n = block::zs_length_q(&blk); i < n; i++) {
        const Cell* item = block::zs_head(&blk) + i;
        if (TYPE_OF(item) == TYPE_WORD || TYPE_OF(item) == TYPE_LIT_WORD) bits |= bit_of(item);
    }
    return bits;
}

// ---- geometry ---------------------------------------------------------------

void handle_origin(const Widget& w, i32* x, i32* y) {
    float fx = 0, fy = 0;
    for (const Widget* c = &w; c && c->kind != Kind::WINDOW; c = get(c->parent)) {
        fx += c->x1;
        fy += c->y1;
    }
    *x = static_cast<i32>(fx);
    *y = static_cast<i32>(fy);
}

Rect face_clip(i32 x, i32 y, const Widget& w) {
    Rect r{x, y, x + w.width(), y + w.height()};
    // Every ancestor below the window clips: nothing shows outside its
    // container, however deep.
    i32 px = x, py = y;
    const Widget* c = &w;
    for (const Widget* p = get(w.parent); p && p->kind != Kind::WINDOW; c = p, p = get(p->parent)) {
        px -= static_cast<i32>(c->x1);
        py -= static_cast<i32>(c->y1);
        r.right = std::min(r.right, px + p->width());
        r.bottom = std::min(r.bottom, py + p->height());
        r.left = std::max(r.left, px);
        r.top = std::max(r.top, py);
    }
    r.right = std::min(r.right, screen.width);
    r.bottom = std::min(r.bottom, screen.height);
    r.left = std::max(r.left, 0);
    r.top = std::max(r.top, 0);
    return r;
}

Widget* hit_test(const Widget& w, float x, float y) {
    std::vector<WidgetId> ids = children(w);
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        Widget* c = get(*it);
        if (c && !c->has(WF_HIDDEN) && c->x1 <= x && x < c->x2 && c->y1 <= y && y < c->y2) return c;
    }
    return nullptr;
}

Widget* window_of(const Widget& w) {
    const Widget* c = &w;
    while (c && c->kind != Kind::WINDOW) c = get(c->parent);
    return const_cast<Widget*>(c);
}

// ---- making -----------------------------------------------------------------

namespace {

Kind kind_of(i32 type) {
    const face::Symbols& s = face::sym();
    if (type == s.window) return Kind::WINDOW;
    if (type == s.field) return Kind::FIELD;
    if (type == s.button) return Kind::BUTTON;
    if (type == s.base) return Kind::BASE;
    if (type == s.progress) return Kind::PROGRESS;
    if (type == s.group_box) return Kind::GROUP_BOX;
    if (type == s.check) return Kind::CHECK;
    if (type == s.radio) return Kind::RADIO;
    if (type == s.text_list) return Kind::TEXT_LIST;
    if (type == s.rich_text) return Kind::RICH_TEXT;
    return Kind::DEFAULT;
}

bool true_q(const Cell* v) { return TYPE_OF(v) == TYPE_LOGIC && v->data1; }

void set_size(Widget& w, const Cell* size) {
    float sx, sy;
    if (face::planar(size, &sx, &sy)) {
        w.x2 = w.x1 + sx;
        w.y2 = w.y1 + sy;
        if (TYPE_OF(size) == TYPE_PAIR) w.flags |= WF_SIZE_PAIR;
        else w.flags &= ~WF_SIZE_PAIR;
    } else {
        w.x2 = w.x1;
        w.y2 = w.y1;
    }
}

void set_state_flags(Widget& w, const Cell* face) {
    if (true_q(face::facet(face, face::VISIBLE_Q))) w.flags &= ~WF_HIDDEN;
    else w.flags |= WF_HIDDEN;
    if (true_q(face::facet(face, face::ENABLED_Q))) w.flags &= ~WF_DISABLED;
    else w.flags |= WF_DISABLED;
}

// The face leaves the face list of its font and its para.
void unlink_font_para(const Cell* face) {
    const face::Symbols& s = face::sym();
    for (face::Facet f : {face::FONT, face::PARA}) {
        Cell* obj = face::facet(face, f);
        if (TYPE_OF(obj) != TYPE_OBJECT) continue;
        Cell* list = face::field(obj, s.parent);
        if (TYPE_OF(list) != TYPE_BLOCK) continue;
        SeriesBuffer* b = block::buffer_of(list);
        Cell* cells = block::cells_of(b);
        u32 n = b->length();
        for (u32 i = 0; i < n; i++)
            if (TYPE_OF(cells + i) == TYPE_OBJECT && object::ctx_of(cells + i) == object::ctx_of(face)) {
                std::memmove(cells + i, cells + i + 1, (n - i - 1) * sizeof(Cell));
                b->tail -= sizeof(Cell);
                break;
            }
    }
}

void free_handle(Widget& w) {
    WidgetId id = w.id;
    remove_timer(id);
    w.image.reset();
    w.styles.reset();
    if (windows.focused == id) windows.focused = 0;
    kill(w);
    if (w.kind == Kind::WINDOW) remove_window(w);
    forget_pointer();
}

void destroy_tree(Cell* face) {
    Cell f = *face;
    collector::Guard keep(&f);
    Widget* w = of_face(&f);
    if (w) free_handle(*w);
    Cell pane = *face::facet(&f, face::PANE);
    collector::Guard keep_pane(&pane);
    if (TYPE_OF(&pane) == TYPE_BLOCK)
        for (u32 i = 0; i < block::zs_length_q(&pane); i++) {
            Cell child = *(block::zs_head(&pane) + i);
            if (TYPE_OF(&child) == TYPE_OBJECT && TYPE_OF(face::facet(&child, face::STATE)) == TYPE_BLOCK)
                destroy_tree(&child);
        }
    unlink_font_para(&f);
    Cell none;
    make_cell(&none, TYPE_NONE);
    set_facet_quiet(&f, face::STATE, &none);
}

}  // namespace

WidgetId make_view(Cell* face_in, WidgetId parent) {
    Cell face = *face_in;
    collector::Guard keep(&face);
    u32 face_flags = get_flags(face::facet(&face, face::FLAGS));
    i32 type = face::word_alias(face::facet(&face, face::TYPE));
    Widget& w = allocate();
    WidgetId id = w.id;
    w.type = type;
    w.kind = kind_of(type);
    w.parent = get(parent) ? parent : 0;
    w.face = face;
    if (face_flags & FF_FOCUSABLE) w.flags |= WF_FOCUSABLE;
    if (face_flags & FF_ALL_OVER) w.flags |= WF_ALL_OVER;
    if (face_flags & FF_PASSWORD) w.flags |= WF_PASSWORD;
    if (face_flags & FF_FULLSCREEN) w.flags |= WF_FULLSCREEN;
    set_state_flags(w, &face);
    if (w.kind == Kind::WINDOW) {
        // A window is drawn from the UI's own top-left corner.
        Cell origin;
        make_cell(&origin, TYPE_PAIR, 0, 0, 0);
        set_facet_quiet(&face, face::OFFSET, &origin);
    } else {
        face::planar(face::facet(&face, face::OFFSET), &w.x1, &w.y1);
    }
    set_size(w, face::facet(&face, face::SIZE));
    kind_made(w);
    if (w.kind == Kind::WINDOW) add_window(w);
    if (Widget* self = get(id)) {
        window_grow_box(*self);
        if (self->parent) {
            count_caret_face(*self);
            auto_focus(*self);
        }
    }
    if (Widget* self = get(id)) update_image(*self);
    if (Widget* self = get(id)) kind_update(*self);
    const Cell* rate = face::facet(&face, face::RATE);
    if (TYPE_OF(rate) != TYPE_NONE)
        if (Widget* self = get(id)) apply_rate(*self, rate);
    return id;
}

void update_view(Cell* face_in) {
    Cell face = *face_in;
    collector::Guard keep(&face);
    Widget* w = of_face(&face);
    if (!w) return;
    WidgetId id = w->id;
    Cell* state = face::facet(&face, face::STATE);
    u32 bits = 0;
    if (TYPE_OF(state) == TYPE_BLOCK && block::zs_length_q(state) >= 2) {
        const Cell* mask = block::zs_head(state) + 1;
        if (TYPE_OF(mask) == TYPE_INTEGER) bits = mask->data2;
    }
    auto bit = [&](u32 facet) { return (bits >> facet) & 1; };
    if (bit(face::RATE)) {
        remove_timer(id);
        Cell rate = *face::facet(&face, face::RATE);
        if (TYPE_OF(&rate) != TYPE_NONE) apply_rate(*w, &rate);
    }
    if (!(w = get(id))) return;
    if (bit(face::OFFSET) && w->kind != Kind::WINDOW) {
        float nx, ny;
        if (face::planar(face::facet(&face, face::OFFSET), &nx, &ny)) {
            float width = w->x2 - w->x1, height = w->y2 - w->y1;
            w->x1 = nx;
            w->y1 = ny;
            w->x2 = nx + width;
            w->y2 = ny + height;
        }
    }
    if (bit(face::SIZE)) {
        set_size(*w, face::facet(&face, face::SIZE));
        if (w->kind == Kind::WINDOW) {
            float* box = w->window.box;
            box[0] = box[1] = 0;
            box[2] = std::max(box[2], w->x2 - w->x1);
            box[3] = std::max(box[3], w->y2 - w->y1);
        } else if (Widget* win = get(w->parent)) {
            if (win->kind == Kind::WINDOW) window_grow_box(*w);
        }
    }
    if (bit(face::SELECTED) && w->kind == Kind::WINDOW) {
        const Cell* selected = face::facet(&face, face::SELECTED);
        WidgetId target = TYPE_OF(selected) == TYPE_OBJECT ? id_of_face(selected) : 0;
        if (!target || get(target)) set_focus(target, w);
    }
    if (!(w = get(id))) return;
    if (bit(face::ENABLED_Q) || bit(face::VISIBLE_Q)) set_state_flags(*w, &face);
    if (bit(face::FLAGS)) {
        u32 f = get_flags(face::facet(&face, face::FLAGS));
        w->flags = (w->flags & ~(WF_ALL_OVER | WF_PASSWORD)) | ((f & FF_ALL_OVER) ? WF_ALL_OVER : 0) |
                   ((f & FF_PASSWORD) ? WF_PASSWORD : 0);
    }
    if (bit(face::IMAGE) || bit(face::SIZE)) update_image(*w);
    if (bit(face::TEXT) && w->kind == Kind::FIELD) kind_made(*w);
    if (!(w = get(id))) return;
    kind_update(*w);
    if ((w = get(id))) request_redraw(w);
    // Hidden widgets change what the whole window shows.
    if (bits & ((1u << face::VISIBLE_Q) | (1u << face::PANE) | (1u << face::OFFSET) | (1u << face::SIZE)))
        request_full_redraw();
    state = face::facet(&face, face::STATE);
    if (TYPE_OF(state) == TYPE_BLOCK && block::zs_length_q(state) >= 2) {
        Cell* mask = block::zs_head(state) + 1;
        make_cell(mask, TYPE_INTEGER, 0, 0);
    }
}

void update_facet(Cell* owner_in, const Cell* word, const Cell* value, const Cell* action, const Cell*, i32 index,
                  i32 part) {
    const face::Symbols& s = face::sym();
    Cell owner = *owner_in;
    collector::Guard keep(&owner);
    Widget* w = of_face(&owner);
    i32 field = face::word_alias(word);
    if (!w) return;
    if (field == s.data) {
        i32 act = face::word_alias(action);
        if (w->kind == Kind::TEXT_LIST && (act == s.remove || act == s.take || act == s.clear || act == s.move)) {
            Cell* data = face::facet(&owner, face::DATA);
            i32 length = block::any_block_q(TYPE_OF(data)) ? static_cast<i32>(block::zs_length_q(data)) : 0;
            if (index < w->first_visible) w->first_visible = index;
            if (index == 0 && part >= length) w->first_visible = 0;
            Cell* selected = face::facet(&owner, face::SELECTED);
            if (TYPE_OF(selected) == TYPE_INTEGER) {
                i32 most = std::max(length - part, 0);
                if (static_cast<i32>(selected->data2) > most) selected->data2 = static_cast<u32>(most);
            }
        }
        if ((w->type == s.drop_list || w->type == s.drop_down) && part == 0) return;
    }
    (void)value;
    update_view(&owner);
}

void destroy_view(Cell* face, bool ends_loop) {
    destroy_tree(face);
    if (ends_loop) post_quit_msg();
    request_full_redraw();
}

void show_window(WidgetId id) {
    Widget* w = get(id);
    if (!w) return;
    // show calls this for a visible window at every update: the window
    // already in front keeps its focus, hover and a drag in progress.
    Widget* win = window_of(*w);
    if (win && win->id != windows.current) activate_window(*win);
}

void refresh_window(WidgetId id) {
    if (Widget* w = get(id)) request_redraw(w);
}

void redraw(const Cell* face) {
    if (Widget* w = of_face(face)) request_redraw(w);
}

}  // namespace zav::gui
