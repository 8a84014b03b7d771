// Start-up of the terminal interface back-end and its hooks in the runtime.
#include "view/terminal/gui.h"

#include <cstdlib>

#include "datatypes/event.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/console_output.h"
#include "view/terminal/compositor.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"

namespace zav::gui {

void wait_events_hook() { wait_events(); }

namespace {

void mark() { mark_widgets(); }

// A frame left on the terminal by an interface that no loop waited for
// (view/no-wait): the shell's prompt comes below it.
void at_exit() {
    if (loop_depth() == 0) leave_ui_area();
}

}  // namespace

void init() {
    console::before_print = print_begin;
    console::after_print = print_end;
    natives::after_wait = wait_events_hook;
    face::forget_symbols();
    register_routines();
    collector::register_marker(mark);
    event::set_backend(read_event_field);
    static bool exit_hook = false;
    if (!exit_hook) {
        exit_hook = true;
        std::atexit(at_exit);
    }
}

}  // namespace zav::gui
