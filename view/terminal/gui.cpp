// Terminal user interface hooks of the runtime; no interface runs yet.
#include "view/terminal/gui.h"

namespace zav::gui {

void print_begin() {}
void print_end() {}
void wait_events() {}

}  // namespace zav::gui
