// Widgets: the back-end's record of a shown face. A face holds its widget as
// a handle! whose value is an id (a table index with a generation), never a
// pointer: a widget destroyed while an event is still being dispatched to
// it is only marked dead, every later look-up of its id finds nothing, and
// its slot is reused only after the dispatch pass has ended.
#pragma once
#include <memory>
#include <vector>

#include "runtime/cell.h"
#include "view/terminal/screen.h"

namespace zav::gui {

using WidgetId = u32;  // 0: none

// Widget flags.
constexpr u32 WF_SIZE_PAIR = 0x10000;   // size was given as a pair!
constexpr u32 WF_HIDDEN = 0x20000;
constexpr u32 WF_DISABLED = 0x40000;
constexpr u32 WF_ALL_OVER = 0x100000;   // gets `over` on every move inside it
constexpr u32 WF_CARET = 0x200000;      // shows the text cursor when focused
constexpr u32 WF_FOCUSABLE = 0x400000;
constexpr u32 WF_LEFT_HELD = 0x1000000;  // the pointer left it during a press
constexpr u32 WF_FOCUSED = 0x2000000;
constexpr u32 WF_PASSWORD = 0x10000000;
constexpr u32 WF_FULLSCREEN = 0x40000000;
constexpr u32 WF_CARET_OPTION = 0x80000000;  // a base whose options name caret faces

// Face flag words as bits.
constexpr u32 FF_ALL_OVER = 0x1, FF_FOCUSABLE = 0x2, FF_TRI_STATE = 0x20000, FF_SCROLLABLE = 0x40000,
              FF_PASSWORD = 0x80000, FF_NO_SYNC = 0x100000, FF_FULLSCREEN = 0x200000, FF_POPUP = 0x1000000,
              FF_MODAL = 0x2000000, FF_RESIZE = 0x4000000, FF_NO_BUTTONS = 0x8000000, FF_NO_MAX = 0x10000000,
              FF_NO_MIN = 0x20000000, FF_NO_TITLE = 0x40000000, FF_NO_BORDER = 0x80000000;
// A face's `flags` (a word or a block of words) as bits; an unknown word
// raises script/invalid-arg.
u32 get_flags(const Cell* flags);

enum class Kind : u8 { DEFAULT, WINDOW, FIELD, BUTTON, BASE, PROGRESS, GROUP_BOX, CHECK, RADIO, TEXT_LIST, RICH_TEXT };

// A field's caret: characters and cells before it, cells of the whole text,
// and the series of the text it was placed in (0: none yet).
struct Caret {
    i32 index = 0, column = 0, width = 0;
    u32 series = 0;
};

// A window's record: its box grown over its children, the widget that has
// the focus in it and how many of its widgets show the text cursor.
struct WindowRecord {
    float box[4] = {0, 0, 0, 0};
    WidgetId focused = 0;
    i32 caret_count = 0;
};

struct Widget {
    WidgetId id = 0;
    bool alive = false;
    Kind kind = Kind::DEFAULT;
    i32 type = -1;  // the face type's symbol, letter case folded
    u32 flags = 0;
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // the box in the parent's cells
    WidgetId parent = 0;
    Cell face{TYPE_NONE, 0, 0, 0};
    Cell ui{TYPE_NONE, 0, 0, 0};  // text shown instead of the face's (check and radio marks)
    std::unique_ptr<StyledLine> image;  // the image facet as half-block cells, row by row
    i32 image_width = 0;
    // Kind data.
    Caret caret;                        // field
    i32 first_visible = 0;              // text-list
    WindowRecord window;                // window
    std::unique_ptr<StyledLine> styles; // rich-text: its text with its styles
    bool timer = false;                 // has a rate timer

    bool has(u32 f) const { return (flags & f) != 0; }
    i32 width() const { return static_cast<i32>(x2 - x1); }
    i32 height() const { return static_cast<i32>(y2 - y1); }
};

// ---- the table --------------------------------------------------------------

// The live widget of an id, or null.
Widget* get(WidgetId id);
// The widget of a face (its state's first item), or null.
Widget* of_face(const Cell* face);
WidgetId id_of_face(const Cell* face);
// Widgets destroyed during the pass that just ended give their slots back.
void release_dead();
// Every live widget, for the collector and for tests.
u32 live_count();
// Marks every live widget's face and ui text.
void mark_widgets();

// ---- geometry ---------------------------------------------------------------

// The widget's position on the screen: its box's corner plus its
// ancestors', up to (not including) its window.
void handle_origin(const Widget& w, i32* x, i32* y);
// The face's rectangle on the screen when drawn at (x, y), clipped by its
// direct parent and the screen.
Rect face_clip(i32 x, i32 y, const Widget& w);
// The child under (x, y) (relative to w): the last visible one in pane order.
Widget* hit_test(const Widget& w, float x, float y);
// The widget's window widget (itself for a window), or null.
Widget* window_of(const Widget& w);

// ---- making, changing, destroying ------------------------------------------

// A new widget for a face under `parent` (0 for a window or a screen's child).
WidgetId make_view(Cell* face, WidgetId parent);
// Applies the face's change bits to its widget and clears them.
void update_view(Cell* face);
// A change inside one of the face's series (pane, data, text...).
void update_facet(Cell* owner, const Cell* word, const Cell* value, const Cell* action, const Cell* new_value,
                  i32 index, i32 part);
// Frees the views of a face and of its pane; `ends_loop` (its window is the
// one a loop waits on) ends a loop level.
void destroy_view(Cell* face, bool ends_loop);
void show_window(WidgetId id);
void refresh_window(WidgetId id);
void redraw(const Cell* face);

// Kind behaviour (widget kinds).
void kind_made(Widget& w);
void kind_update(Widget& w);
void kind_render(i32 x, i32 y, Widget& w);
// A widget's own handling of an event after the face's actors saw it.
struct EventRecord;
void kind_event(u32 type, Widget& w, EventRecord& rec);
// The image facet as cells.
void update_image(Widget& w);
// The terminal's colours: 4 true colour, 2 the 256-colour palette.
extern i32 color_support;

// The widgets of the faces in a face's pane, in pane order (ids).
std::vector<WidgetId> children(const Widget& w);

}  // namespace zav::gui
