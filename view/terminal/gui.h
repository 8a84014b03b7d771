// What the runtime calls in the terminal user interface, so that plain
// printing and waiting cooperate with an interface shown on the terminal.
// No interface exists yet: each does nothing.
#pragma once

namespace zav::gui {

// Registers the print callbacks with the console output and the wait callback.
void init();

// Before runtime printing: give the terminal back to plain text output.
void print_begin();
// After runtime printing: return to the interface and redraw it.
void print_end();
// After a sleep of `wait`: one pass of the interface's event processing.
void wait_events();

}  // namespace zav::gui
