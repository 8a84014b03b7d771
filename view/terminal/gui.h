// The terminal interface back-end as the rest of the runtime sees it: its
// start-up, the print hooks that keep printed text above a shown interface,
// and the wait hook that lets faces run while a script waits.
#pragma once

namespace zav::gui {

// Registers the print, wait and collector callbacks, the event! reader and
// the routines; start-up calls it first.
void init();
void register_routines();

// Before runtime printing: the interface is erased so that text takes its place.
void print_begin();
// After runtime printing: the interface is drawn again below the text.
void print_end();
// After a sleep of `wait`: one pass of the interface's event processing.
void wait_events_hook();

}  // namespace zav::gui
