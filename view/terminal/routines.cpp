// The routines of system/view/platform and TUI-helpers: thin bindings of the
// View engine's platform interface to the terminal back-end. Each works on
// the current frame's arguments and leaves its result in the first slot.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/event.h"
#include "datatypes/handle.h"
#include "datatypes/imaging.h"
#include "datatypes/ownership.h"
#include "datatypes/point2d.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "view/terminal/calls.h"
#include "view/terminal/compositor.h"
#include "view/terminal/draw.h"
#include "view/terminal/faces.h"
#include "view/terminal/gui.h"
#include "view/terminal/loop.h"
#include "view/terminal/metrics.h"
#include "view/terminal/widgets.h"

namespace zav::gui {

// The colour support of the terminal: 2 (256 colours) or 4 (true colour).
i32 color_support = 4;

namespace {

Cell* arg(u32 i) { return stack::arguments + i; }
void result_none() { make_cell(arg(0), TYPE_NONE); }
void result_logic(bool b) { make_cell(arg(0), TYPE_LOGIC, b ? 1 : 0); }

[[noreturn]] void invalid_type(const Cell* value) {
    Cell dt;
    make_cell(&dt, TYPE_DATATYPE, TYPE_OF(value));
    fire("script", "invalid-type", &dt);
}

bool true_q(const Cell* v) { return TYPE_OF(v) == TYPE_LOGIC && v->data1; }

// ---- platform ---------------------------------------------------------------

void make_null_handle() { handle::box(0, handle::CLASS_NULL); }

void get_screen_size() {
    tty_get_size();
    make_cell(arg(0), TYPE_PAIR, 0, static_cast<u32>(session.columns), static_cast<u32>(session.rows));
}

void size_text() {
    Cell face = *arg(0);
    Cell* value = arg(1);
    Cell text;
    if (TYPE_OF(value) == TYPE_STRING) text = *value;
    else if (TYPE_OF(value) == TYPE_NONE) text = *face::facet(&face, face::TEXT);
    else invalid_type(value);
    if (TYPE_OF(&text) != TYPE_STRING) return result_none();
    Extent e = wrap_extent(text_of(&text), 0);
    point2D::make_in(arg(0), static_cast<float>(e.width), static_cast<float>(e.lines));
}

void on_change_facet() {
    Cell owner = *arg(0), word = *arg(1), value = *arg(2), action = *arg(3), fresh = *arg(4);
    collector::Guard k1(&owner), k2(&value), k3(&fresh);
    update_facet(&owner, &word, &value, &action, &fresh, static_cast<i32>(arg(5)->data2),
                 static_cast<i32>(arg(6)->data2));
    result_none();
}

void update_font() {
    i32 kind = static_cast<i32>(arg(1)->data2);
    if ((kind >= 0 && kind <= 3) || kind == 5) request_full_redraw();
    result_none();
}

void update_para() {
    Cell* face = arg(0);
    const Cell* type = face::facet(face, face::TYPE);
    Cell* state = face::facet(face, face::STATE);
    if (face::word_alias(type) >= 0 && TYPE_OF(state) == TYPE_BLOCK && block::zs_length_q(state) >= 2) {
        Cell* mask = block::zs_head(state) + 1;
        if (TYPE_OF(mask) == TYPE_INTEGER) mask->data2 |= 0x40000;
    }
    result_none();
}

void destroy_view_routine() {
    Cell face = *arg(0);
    collector::Guard keep(&face);
    destroy_view(&face, true_q(arg(1)));
    result_none();
}

void update_view_routine() {
    Cell value = *arg(0);
    collector::Guard keep(&value);
    if (TYPE_OF(&value) == TYPE_BLOCK) {
        u32 n = block::zs_length_q(&value);
        for (u32 i = 0; i < n; i++) {
            Cell* item = block::zs_head(&value) + i;
            if (TYPE_OF(item) != TYPE_OBJECT) invalid_type(item);
        }
        for (u32 i = 0; i < block::zs_length_q(&value); i++) {
            Cell face = *(block::zs_head(&value) + i);
            collector::Guard keep_face(&face);
            if (TYPE_OF(face::facet(&face, face::STATE)) == TYPE_BLOCK) update_view(&face);
        }
    } else if (TYPE_OF(&value) == TYPE_OBJECT) {
        if (!face::word_is(face::facet(&value, face::TYPE), face::sym().screen)) update_view(&value);
    } else {
        invalid_type(&value);
    }
    result_none();
}

void refresh_window_routine() {
    refresh_window(arg(0)->data2);
    result_none();
}

void redraw_routine() {
    Cell face = *arg(0);
    redraw(&face);
    result_none();
}

void show_window_routine() {
    show_window(arg(0)->data2);
    result_none();
}

void make_view_routine() {
    Cell face = *arg(0);
    collector::Guard keep(&face);
    WidgetId id = make_view(&face, arg(1)->data2);
    handle::box(id, handle::CLASS_WINDOW);
}

// Draw commands run over an image: checked, and the image's owner told of
// a change to the whole of it, as a poke would. An empty image is left alone.
void draw_image() {
    Cell img = *arg(0), cmds = *arg(1);
    collector::Guard keep(&img), keep_cmds(&cmds);
    if (TYPE_OF(&img) != TYPE_IMAGE) invalid_type(&img);
    if (image::width_of(&img) > 0 && image::height_of(&img) > 0) {
        do_draw(&cmds);
        if (ownership::owned_q(series_node(&img))) ownership::check(&img, symbol::make("poke"), nullptr, -1, -1);
    }
    result_none();
}

void do_event_loop() { result_logic(do_events(true_q(arg(0)))); }

void exit_event_loop() {
    post_quit_msg();
    result_none();
}

void text_box_metrics_routine() {
    Cell box = *arg(0), value = *arg(1);
    collector::Guard k1(&box), k2(&value);
    const Cell* type = face::facet(&box, face::TYPE);
    if (!face::word_is(type, face::sym().rich_text)) {
        Cell t = *type;
        fire("script", "face-type", &t);
    }
    if (TYPE_OF(face::facet(&box, face::TEXT)) != TYPE_STRING) return result_none();
    Cell out;
    text_box_metrics(&box, &value, static_cast<i32>(arg(2)->data2), &out);
    *arg(0) = out;
}

// ---- TUI-helpers ---------------------------------------------------------------

void focused_q() {
    Widget* w = of_face(arg(0));
    result_logic(w && w->has(WF_FOCUSED));
}

void widget_data() {
    Widget* w = of_face(arg(0));
    make_cell(arg(0), TYPE_INTEGER, 0, static_cast<u32>(w ? w->first_visible : 0));
}

void set_face_ui() {
    if (Widget* w = of_face(arg(0))) {
        w->ui = *arg(1);
        request_redraw(w);
    }
    result_none();
}

void tui_init() {
    color_support = TYPE_OF(arg(0)) == TYPE_INTEGER ? static_cast<i32>(arg(0)->data2) : 4;
    result_none();
}

// ---- events ---------------------------------------------------------------------

void event_q() { result_logic(TYPE_OF(arg(0)) == TYPE_EVENT); }

void send_event_os() { result_logic(false); }

void find_flag_q() {
    const Cell* facet = arg(0);
    i32 flag = face::word_alias(arg(1));
    bool found = false;
    if (TYPE_OF(facet) == TYPE_WORD) {
        found = face::word_alias(facet) == flag;
    } else if (TYPE_OF(facet) == TYPE_BLOCK) {
        Cell blk = *facet;
        for (u32 i = 0, n = block::zs_length_q(&blk); i < n && !found; i++) {
            const Cell* item = block::zs_head(&blk) + i;
            found = (TYPE_OF(item) == TYPE_WORD || TYPE_OF(item) == TYPE_LIT_WORD) && face::word_alias(item) == flag;
        }
    }
    result_logic(found);
}

const routine::Row ROWS[] = {
    {"gui-make-null-handle", make_null_handle},
    {"gui-get-screen-size", get_screen_size},
    {"gui-size-text", size_text},
    {"gui-on-change-facet", on_change_facet},
    {"gui-update-font", update_font},
    {"gui-update-para", update_para},
    {"gui-destroy-view", destroy_view_routine},
    {"gui-update-view", update_view_routine},
    {"gui-refresh-window", refresh_window_routine},
    {"gui-redraw", redraw_routine},
    {"gui-show-window", show_window_routine},
    {"gui-make-view", make_view_routine},
    {"gui-draw-image", draw_image},
    {"gui-do-event-loop", do_event_loop},
    {"gui-exit-event-loop", exit_event_loop},
    {"gui-text-box-metrics", text_box_metrics_routine},
    {"gui-focused?", focused_q},
    {"gui-widget-data", widget_data},
    {"gui-set-face-ui", set_face_ui},
    {"gui-init", tui_init},
    {"event?", event_q},
    {"send-event-os", send_event_os},
    {"find-flag?", find_flag_q},
};

}  // namespace

void register_routines() { routine::register_table(ROWS, sizeof ROWS / sizeof ROWS[0]); }

}  // namespace zav::gui
