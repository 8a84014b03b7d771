// The event loop, timers and dispatch.
#include "view/terminal/loop.h"

#include <algorithm>
#include <cmath>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/scope.h"
#include "view/terminal/calls.h"
#include "view/terminal/compositor.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/tty_io.h"

namespace zav::gui {

namespace {

// The loop wakes at least this often: timers and frames keep this pace.
constexpr i32 PASS_MS = 33;
// Two releases closer than this make a double click.
constexpr i32 DOUBLE_CLICK_MS = 500;
constexpr i32 CLICK_TIMER_LIMIT = 800;
// What a waiting pass costs of a budget of evaluation steps: ten passes, a
// third of a second, take what a long computation does.
constexpr u32 WAIT_COST = 100000;

struct LoopState {
    i32 depth = 0;  // loop levels running that were not told to stop
    i32 running = 0;  // do_events calls on the C++ stack
    WidgetId hover = 0;
    float last_x = 0, last_y = 0;
    WidgetId captured = 0;
    std::vector<WidgetId> pressed;
    i32 click_state = 0;  // 2 after a release, 10 after a double click
    i32 click_timer = 0;
} loop;

// The records of the dispatches running now, innermost last: an event! reads
// its fields here, and finds nothing once its dispatch has ended.
struct LiveRecord {
    EventRecord* rec;
    Cell face;
    u32 type, flags;
};
std::vector<LiveRecord> live;
u32 next_serial = 0;

struct Timer {
    WidgetId widget;
    i32 interval, accumulated;
    bool one_shot, fired, dead;
};
std::vector<Timer> timers;

bool done_q(const Cell* v) { return face::word_is(v, face::sym().done); }

}  // namespace

i32 loop_depth() { return loop.running; }

// ---- events to the language ----------------------------------------------------

bool call_awake(u32 type, EventRecord& rec, u32 flags) {
    Widget* w = get(rec.widget);
    if (!w) return false;
    Cell awake = *view_field(face::sym().awake);
    if (TYPE_OF(&awake) != TYPE_FUNCTION) return false;
    collector::Guard keep(&awake);
    rec.serial = ++next_serial;
    live.push_back({&rec, w->face, type, flags});
    OnExit pop([] { live.pop_back(); });
    Cell event;
    make_cell(&event, TYPE_EVENT, type, rec.serial, flags);
    collector::GuardedCell result;
    call_value(&awake, &event, 1, face::sym().awake, &result.value);
    return done_q(&result.value);
}

bool read_event_field(u32 serial, i32 field, Cell* out) {
    for (auto it = live.rbegin(); it != live.rend(); ++it) {
        if (it->rec->serial != serial) continue;
        const EventRecord& r = *it->rec;
        switch (field) {
            case 2: *out = it->face; return true;                   // face
            case 3: make_cell(out, TYPE_NONE); return true;         // window
            case 4: pair::make_in(out, static_cast<i32>(std::floor(r.x)), static_cast<i32>(std::floor(r.y))); return true;
            case 5:                                                 // key
                if (!(it->flags & FLAG_SPECIAL_KEY)) {
                    if (r.key > 0) char_::make_at(out, static_cast<u32>(r.key));
                    else make_cell(out, TYPE_NONE);
                    return true;
                }
                {
                    static const char* const NAMES[] = {"up", "down", "right", "left", "end", "home", "insert",
                                                        "delete", "page-up", "page-down", nullptr, "F1", "F2",
                                                        "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12"};
                    i32 i = -20 - r.key;
                    if (i >= 0 && i < 23 && NAMES[i]) word::make_at(symbol::make(NAMES[i]), out);
                    else make_cell(out, TYPE_NONE);
                }
                return true;
            case 6:                                                 // picked
                if (it->type == EVT_WHEEL) float_::make_at(out, r.wheel);
                else make_cell(out, TYPE_INTEGER, 0, static_cast<u32>(r.key));
                return true;
            default: return false;
        }
    }
    return false;
}

bool send_mouse(u32 type, WidgetId id, float x, float y, u32 flags) {
    Widget* w = get(id);
    if (!w || w->has(WF_DISABLED)) return false;
    EventRecord rec;
    rec.widget = id;
    rec.x = x;
    rec.y = y;
    kind_event(type, *w, rec);
    if (!get(id)) return false;
    return call_awake(type, rec, flags);
}

bool send_face_event(u32 type, WidgetId id, u32 flags) {
    Widget* w = get(id);
    if (!w || w->has(WF_DISABLED)) return false;
    EventRecord rec;
    rec.widget = id;
    kind_event(type, *w, rec);
    if (!get(id)) return false;
    return call_awake(type, rec, flags);
}

bool send_value_event(u32 type, WidgetId id, i32 value) {
    Widget* w = get(id);
    if (!w || w->has(WF_DISABLED)) return false;
    EventRecord rec;
    rec.widget = id;
    rec.key = value;
    return call_awake(type, rec, 0);
}

bool send_key(WidgetId id, i32 code, i32 special, u32 flags) {
    if (!id) id = windows.focused;
    Widget* w = get(id);
    if (!w || w->has(WF_DISABLED)) return false;
    if (special == SPECIAL_BACK_TAB) {
        code = 9;
        flags |= FLAG_SHIFT;
    } else if (special) {
        code = special;
        flags |= FLAG_SPECIAL_KEY;
    }
    if (code == 0) return false;
    EventRecord rec;
    rec.widget = id;
    rec.key = code;
    if (call_awake(EVT_KEY_DOWN, rec, flags)) return true;
    if (!get(id)) return false;
    if (call_awake(EVT_KEY, rec, flags)) return true;
    if (Widget* self = get(id)) kind_event(EVT_KEY, *self, rec);
    return false;
}

// ---- the pointer ------------------------------------------------------------

namespace {

bool ancestor_q(const Widget* a, const Widget* b) {
    for (const Widget* p = b ? get(b->parent) : nullptr; p; p = get(p->parent))
        if (p == a) return true;
    return false;
}

void move_in(WidgetId id, float x, float y, u32 flags) {
    Widget* w = get(id);
    if (!w) return;
    bool first = !get(loop.hover);
    if (first) send_mouse(EVT_OVER, id, x, y, flags);
    if (!(w = get(id))) return;
    if (Widget* child = hit_test(*w, x, y)) {
        WidgetId cid = child->id;
        float cx = x - child->x1, cy = y - child->y1;
        move_in(cid, cx, cy, flags);
        if ((w = get(id)) && w->has(WF_ALL_OVER) && loop.hover != id) send_mouse(EVT_OVER, id, x, y, flags);
        return;
    }
    Widget* h = get(loop.hover);
    if (id == loop.hover) {
        if (w->has(WF_ALL_OVER)) send_mouse(EVT_OVER, id, x, y, flags);
        loop.last_x = x;
        loop.last_y = y;
        return;
    }
    bool same_parent = h && h->parent == w->parent;
    if (h && (ancestor_q(w, h) || same_parent)) {
        WidgetId hid = h->id;
        if (hid == loop.captured) h->flags |= WF_LEFT_HELD;
        send_mouse(EVT_OVER, hid, loop.last_x, loop.last_y, flags | FLAG_AWAY);
    }
    h = get(loop.hover);
    if ((w = get(id)) && h && (ancestor_q(h, w) || h->parent == w->parent)) {
        w->flags &= ~WF_LEFT_HELD;
        send_mouse(EVT_OVER, id, x, y, flags);
    }
    loop.hover = id;
    loop.last_x = x;
    loop.last_y = y;
}

// A child's handling answers done, or reports a double click.
struct ButtonResult {
    bool done = false;
    bool double_click = false;
};

ButtonResult button_in(WidgetId id, u32 type, float x, float y, u32 flags) {
    ButtonResult r;
    Widget* w = get(id);
    if (!w) return r;
    ButtonResult child;
    bool has_child = false;
    if (Widget* c = hit_test(*w, x, y)) {
        has_child = true;
        child = button_in(c->id, type, x - c->x1, y - c->y1, flags);
    }
    if (!child.done) r.done = send_mouse(type, id, x, y, flags);
    if (type == EVT_DOWN) loop.pressed.push_back(id);
    if (type == EVT_UP && std::find(loop.pressed.begin(), loop.pressed.end(), id) != loop.pressed.end() &&
        !child.done) {
        bool dbl = child.double_click || (loop.click_state == 2 && loop.click_timer < DOUBLE_CLICK_MS);
        r.done = send_mouse(EVT_CLICK, id, x, y, flags) || r.done;
        if (dbl) {
            r.done = send_mouse(EVT_DBL_CLICK, id, x, y, flags) || r.done;
            loop.click_state = 10;
            r.double_click = true;
        }
        Widget* self = get(id);
        if (self && self->has(WF_FOCUSABLE) && !has_child && !self->has(WF_FOCUSED)) set_focus(id, nullptr);
    }
    return r;
}

}  // namespace

void mouse_move(float x, float y, u32 flags) {
    WidgetId win = windows.current;
    if (!get(win)) return;
    move_in(win, x, y, flags);
    // A held widget the pointer left still follows it when it wants every move.
    Widget* c = get(loop.captured);
    if (c && c->has(WF_LEFT_HELD) && c->has(WF_ALL_OVER) && c->id != loop.hover) {
        i32 ox, oy;
        handle_origin(*c, &ox, &oy);
        send_mouse(EVT_OVER, c->id, x - static_cast<float>(ox), y - static_cast<float>(oy), flags);
    }
}

void button_event(u32 type, float x, float y, u32 flags) {
    if (type == EVT_DOWN) loop.captured = loop.hover;
    if (Widget* win = get(windows.current)) button_in(win->id, type, x, y, flags);
    if (type != EVT_UP) return;
    Widget* c = get(loop.captured);
    if (c && c->has(WF_LEFT_HELD)) {
        c->flags &= ~WF_LEFT_HELD;
        i32 ox, oy;
        handle_origin(*c, &ox, &oy);
        send_mouse(EVT_UP, c->id, x - static_cast<float>(ox), y - static_cast<float>(oy), flags);
    }
    loop.captured = 0;
    loop.pressed.clear();
    loop.click_state = loop.click_state == 10 ? 0 : 2;
    loop.click_timer = 0;
}

void wheel_event(float amount, float x, float y, u32 flags) {
    std::vector<WidgetId> path;
    Widget* w = get(windows.current);
    while (w) {
        path.push_back(w->id);
        Widget* c = hit_test(*w, x, y);
        if (!c) break;
        x -= c->x1;
        y -= c->y1;
        w = c;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        Widget* t = get(*it);
        if (!t || t->has(WF_DISABLED) || TYPE_OF(&t->face) != TYPE_OBJECT) continue;
        EventRecord rec;
        rec.widget = *it;
        rec.wheel = amount;
        if (call_awake(EVT_WHEEL, rec, flags)) break;
    }
}

void forget_pointer() {
    loop.hover = 0;
    loop.captured = 0;
    loop.pressed.clear();
}

void reset_loop_state() {
    forget_pointer();
    loop.click_state = 0;
    loop.click_timer = 0;
    session.mouse_on = false;
}

void post_quit_msg() {
    // Only a loop that waits can be told to stop.
    if (loop.depth > 0) loop.depth--;
}

// ---- timers -----------------------------------------------------------------

void add_timer(WidgetId w, i32 interval_ms) {
    timers.push_back({w, std::max(interval_ms, 1), 0, false, false, false});
    if (Widget* wd = get(w)) wd->timer = true;
}

void remove_timer(WidgetId w) {
    for (auto it = timers.rbegin(); it != timers.rend(); ++it)
        if (it->widget == w && !it->dead) {
            it->dead = true;
            break;
        }
}

void tick_timers(i32 elapsed) {
    // Timers added during the walk wait for the next round; removed ones
    // are skipped and dropped after it. An actor can run a loop of its own
    // (a window shown from on-time) whose walk runs inside this one: only
    // the outermost walk drops timers, so that the places of those still to
    // come stay where they were.
    static i32 walking = 0;
    walking++;
    OnExit leave([] { walking--; });
    size_t n = timers.size();
    for (size_t i = 0; i < n; i++) {
        if (timers[i].dead) continue;
        timers[i].accumulated += elapsed;
        if (timers[i].fired || timers[i].accumulated < timers[i].interval) continue;
        WidgetId w = timers[i].widget;
        // What the pass overshot counts toward the next event, so that the
        // rate holds on average; a timer behind by more waits no burst.
        timers[i].accumulated -= timers[i].interval;
        if (timers[i].accumulated >= timers[i].interval) timers[i].accumulated = 0;
        timers[i].fired = timers[i].one_shot;
        if (!get(w)) {
            timers[i].dead = true;
            continue;
        }
        send_face_event(EVT_TIME, w, 0);
    }
    if (walking > 1) return;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [](const Timer& t) { return t.dead || !get(t.widget); }),
                 timers.end());
}

void apply_rate(Widget& w, const Cell* rate) {
    WidgetId id = w.id;
    i32 ms = 0;
    switch (TYPE_OF(rate)) {
        case TYPE_NONE: remove_timer(id); return;
        case TYPE_INTEGER: {
            i32 n = static_cast<i32>(rate->data2);
            if (n <= 0) fire("script", "invalid-facet-type", rate);
            ms = 1000 / n;
            break;
        }
        case TYPE_TIME: {
            double seconds = cell_float(rate);
            if (!(seconds > 0)) fire("script", "invalid-facet-type", rate);
            ms = static_cast<i32>(std::min(seconds * 1000.0, 2147483647.0));
            break;
        }
        default: fire("script", "invalid-facet-type", rate);
    }
    remove_timer(id);
    add_timer(id, ms);
}

// ---- the loop -----------------------------------------------------------------

namespace {

// Decoded input goes to the widgets.
struct Dispatch final : InputSink {
    void key(i32 code, i32 special, u32 flags) override { send_key(0, code, special, flags); }
    void mouse_move(float x, float y, u32 flags) override { gui::mouse_move(x, y, flags); }
    void button(u32 type, float x, float y, u32 flags) override { button_event(type, x, y, flags); }
    void wheel(float amount, float x, float y, u32 flags) override { wheel_event(amount, x, y, flags); }
};

// Mouse reports follow system/view/platform/mouse-event?.
void sync_mouse() {
    Cell* platform = view_field(face::sym().platform);
    Cell* wanted = face::field(platform, face::sym().mouse_event_q);
    bool on = TYPE_OF(wanted) == TYPE_LOGIC && wanted->data1;
    if (on == session.mouse_on || !terminal_output()) return;
    session.mouse_on = on;
    if (on) enable_mouse();
    else disable_mouse();
}

// The end of an outer loop, also when a throw leaves it.
void leave_outer() {
    leave_ui_area();
    if (session.mouse_on) {
        disable_mouse();
        session.mouse_on = false;
    }
    leave_fullscreen();
    show_cursor();
    flush_out();
    leave_tui();
    screen_reset();
}

}  // namespace

bool do_events(bool no_wait) {
    bool nested = no_wait || loop.running > 0 || session.active;
    i32 saved_depth = loop.depth;
    if (!no_wait) loop.depth++;
    loop.running++;
    OnExit done([&] {
        loop.running--;
        if (!no_wait) loop.depth = std::min(loop.depth, saved_depth);
        if (loop.running == 0) release_dead();
    });
    if (!nested) {
        enter_tui();
        enter_fullscreen();
        sync_mouse();
    } else if (!no_wait) {
        session.input.clear();
    } else if (!session.active && loop.running == 1) {
        // Frames without terminal mode: drawn when the output is a terminal.
        tty_get_size();
        screen.raw = tty().output_is_console();
    }
    // Whatever way the outer loop ends, the terminal is given back.
    auto restore = [nested] {
        if (!nested) leave_outer();
    };
    OnExit leave(restore);
    Dispatch dispatch;
    bool read = false;
    i64 last_tick = now_ms();
    for (;;) {
        i32 n = tty_read_events(true);
        read = n > 0;
        if (!no_wait) {
            // A budget of work (running untrusted code) also bounds a loop
            // that waits for input that never comes.
            budget::steps(WAIT_COST);
            i64 wait = last_tick + PASS_MS - now_ms();
            if (wait > 0 && !read && tty().poll(static_cast<int>(wait))) {
                n = tty_read_events(true);
                read = n > 0;
            }
        }
        i64 now = now_ms();
        i32 elapsed = static_cast<i32>(std::clamp<i64>(now - last_tick, 0, 1000000));
        if (elapsed > 0) {
            last_tick = now;
            tick_timers(elapsed);
        }
        render_frame();
        // A lone ESC, or a sequence cut short, that nothing followed for a
        // whole pass is taken as it stands.
        session.input.process(dispatch, !read && session.input_kept);
        session.input_kept = !session.input.empty();
        render_frame();
        if (loop.click_state == 2 && loop.click_timer < CLICK_TIMER_LIMIT) loop.click_timer += elapsed;
        if (loop.running == 1) release_dead();
        if (no_wait || loop.depth <= saved_depth) break;
    }
    if (nested && !no_wait) session.input.clear();
    return read;
}

bool wait_events() {
    if (loop.running == 0 && !session.active && windows.list.empty()) return false;
    return do_events(true);
}

}  // namespace zav::gui
