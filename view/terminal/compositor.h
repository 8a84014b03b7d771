// The compositor: the windows and the keyboard focus, the current window's
// faces painted into the screen, and frames written when a redraw was asked for.
#pragma once
#include <vector>

#include "view/terminal/widgets.h"

namespace zav::gui {

struct Windows {
    std::vector<WidgetId> list;  // window widgets, oldest first
    WidgetId current = 0;        // the window drawn and given the keys
    WidgetId newest = 0;
    WidgetId focused = 0;        // one for the whole back-end
};
extern Windows windows;

void add_window(Widget& w);
void window_grow_box(Widget& w);
void count_caret_face(Widget& w);
void auto_focus(Widget& w);
// Moves the focus to `target` (sending unfocus and focus); `window` null is the current one.
void set_focus(WidgetId target, Widget* window);
void activate_window(Widget& window);
// A window widget leaves the list; the last one left is activated.
void remove_window(Widget& window);
// Asks for a frame when the widget (null: the focused one) is in the current window.
bool request_redraw(const Widget* w);
void request_full_redraw();

// Flags of a face render: escapes are interpreted in ordinary faces' texts.
constexpr u32 RENDER_DEFAULT = 0x1000;
void render_face(i32 x, i32 y, Widget& w, u32 flags);
void render_tree(Widget& w);
// Paints and writes a frame of the current window when a redraw is due.
void render_frame();
// The UI's place when the terminal is shorter than it.
void fit_ui_area();
// Before runtime printing: the UI is erased so that text takes its place.
void erase_ui();
// When the loop ends: the cursor below the UI.
void leave_ui_area();
void on_resize_windows();
void enter_fullscreen();
void leave_fullscreen();
// The end of a loop: every window released, the screen and frame state cleared.
void screen_reset();

}  // namespace zav::gui
