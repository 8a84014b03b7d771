// The console's routines: reading a line and measuring the window.
#include "console/routines.h"

#include <string>
#include <vector>
#include <unistd.h>

#include "console/terminal.h"
#include "datatypes/string.h"
#include "runtime/helpers.h"
#include "runtime/platform/tty.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::console {

void read_input() {
    Cell* args = stack::arguments;
    std::string prompt;
    if (TYPE_OF(args) == TYPE_STRING) {
        i32 len = 0;
        u8* text = unicode::to_utf8(args, len);
        prompt.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
    }
    terminal::EditOptions options;
    options.hide = TYPE_OF(args + 1) == TYPE_LOGIC && args[1].data1 != 0;
    if (options.hide) options.complete = false;
    std::optional<std::string> line = terminal::read_line(prompt, options);
    if (!line) {
        make_cell(args, TYPE_NONE);
        return;
    }
    // A carriage return kept from CR LF input is not part of the line.
    if (!line->empty() && line->back() == '\r') line->pop_back();
    Cell* s = string::load(reinterpret_cast<const u8*>(line->data()), static_cast<u32>(line->size()), 0);
    stack::arguments[0] = *s;
}

void console_size() {
    int columns = 80, rows = 50;
    if (!tty::window_size(STDOUT_FILENO, &columns, &rows) || columns <= 0 || rows <= 0) {
        columns = 80;
        rows = 50;
    }
    make_cell(stack::arguments, TYPE_PAIR, 0, static_cast<u32>(columns), static_cast<u32>(rows));
}

void set_history() {
    Cell* blk = stack::arguments;
    std::vector<std::string> lines;
    node_t n = series_node(blk);
    for (u32 i = series_head(blk); i < GET_BUFFER(n)->length(); i++) {
        // A copy: converting may collect and move the block's cells (never its nodes).
        Cell c = reinterpret_cast<Cell*>(GET_BUFFER(n)->head())[i];
        if (TYPE_OF(&c) != TYPE_STRING) continue;
        i32 len = 0;
        u8* text = unicode::to_utf8(&c, len);
        lines.emplace_back(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
    }
    terminal::set_history(lines);
    make_cell(stack::arguments, TYPE_UNSET);
}

}  // namespace zav::console
