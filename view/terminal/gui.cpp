// Terminal user interface hooks of the runtime; no interface runs yet.
#include "view/terminal/gui.h"

#include "evaluator/natives.h"
#include "runtime/console_output.h"

namespace zav::gui {

void print_begin() {}
void print_end() {}
void wait_events() {}

void init() {
    console::before_print = print_begin;
    console::after_print = print_end;
    natives::after_wait = wait_events;
}

}  // namespace zav::gui
