// Reading faces, fonts and paras from the back-end: their fields by fixed
// place (checked against the field's name, so that another layout still
// reads right) and the words the back-end compares with.
#pragma once
#include "runtime/cell.h"

namespace zav::gui::face {

// A face's fields in the order of face!.
enum Facet : u32 {
    TYPE, OFFSET, SIZE, TEXT, IMAGE, COLOR, MENU, DATA, ENABLED_Q, VISIBLE_Q, SELECTED, FLAGS, OPTIONS,
    PARENT, PANE, STATE, RATE, EDGE, PARA, FONT, ACTORS, EXTRA, DRAW, FACET_COUNT
};

// The value of a face's field (the shared none cell when the object has no
// such field). Valid until the next allocation.
Cell* facet(const Cell* face, Facet f);
// Any object's field by symbol; the shared none cell when missing.
Cell* field(const Cell* obj, i32 symbol);
// Whether a value is a word (of any word type) naming the symbol, letter case aside.
bool word_is(const Cell* value, i32 symbol);
// The symbol of a word value's name, letter case folded; -1 for other values.
i32 word_alias(const Cell* value);

// A pair! or point2D! as two floats; false (and 0, 0) for anything else.
bool planar(const Cell* value, float* x, float* y);

// The symbols the back-end looks for, made once per start-up.
struct Symbols {
#define ZAV_GUI_SYMBOLS(X)                                                                              \
    X(align, "align") X(v_align, "v-align") X(wrap_q, "wrap?") X(center, "center") X(right, "right")     \
    X(middle, "middle") X(bottom, "bottom") X(color, "color") X(state, "state") X(parent, "parent")     \
    X(window, "window") X(screen, "screen") X(field, "field") X(button, "button") X(base, "base")        \
    X(progress, "progress") X(group_box, "group-box") X(check, "check") X(radio, "radio")               \
    X(text_list, "text-list") X(rich_text, "rich-text") X(area, "area") X(drop_list, "drop-list")        \
    X(drop_down, "drop-down") X(hint, "hint") X(caret, "caret") X(border_corners, "border-corners")     \
    X(round, "round") X(border_color, "border-color") X(done, "done") X(awake, "awake")                 \
    X(view, "view") X(platform, "platform") X(mouse_event_q, "mouse-event?") X(auto_sync_q, "auto-sync?") \
    X(screens, "screens") X(tui_helpers, "TUI-helpers") X(pane, "pane") X(data, "data") X(text, "text")  \
    X(selected, "selected") X(remove, "remove") X(take, "take") X(clear, "clear") X(move, "move")       \
    X(size, "size") X(offset, "offset") X(rate, "rate") X(flags, "flags") X(image, "image")             \
    X(enabled_q, "enabled?") X(visible_q, "visible?") X(font, "font") X(para, "para")
#define ZAV_GUI_FIELD(name, text) i32 name;
    ZAV_GUI_SYMBOLS(ZAV_GUI_FIELD)
#undef ZAV_GUI_FIELD
    i32 facets[FACET_COUNT];
};
const Symbols& sym();
// Start-up made new symbols: look them up again.
void forget_symbols();

}  // namespace zav::gui::face
