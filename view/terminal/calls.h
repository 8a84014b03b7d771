// The back-end's calls into the language: system/view's awake, the helpers
// of TUI-helpers, and a few fields it reads and sets quietly.
#pragma once
#include "runtime/cell.h"

namespace zav::gui {

// Calls a function value with `count` arguments; its result is copied into
// *out (none when it is not a function). A throw out of it passes on.
void call_value(const Cell* fn, const Cell* args, u32 count, i32 name, Cell* out);
// system/view itself, and one of its fields (the shared none cell when missing).
Cell* system_view();
Cell* view_field(i32 symbol);
// A function of TUI-helpers called with a face; the result into *out.
void call_helper(const char* name, const Cell* face, Cell* out);
// Sets system/view/auto-sync? without a change event; answers the old value.
bool set_auto_sync(bool on);
// Stores into a face's field without a change event (it holds its value as is).
void set_facet_quiet(const Cell* face, u32 facet, const Cell* value);

// auto-sync? off for a scope: the back-end's own changes to a face do not
// come back to it as updates.
struct QuietSync {
    bool old;
    QuietSync() : old(set_auto_sync(false)) {}
    ~QuietSync() { set_auto_sync(old); }
    QuietSync(const QuietSync&) = delete;
    QuietSync& operator=(const QuietSync&) = delete;
};

}  // namespace zav::gui
