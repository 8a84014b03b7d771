// The console's routines: the line editor as the language reaches it, the
// console's start-up, and standard input read directly.
#include "console/routines.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/completion.h"
#include "console/terminal.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/files.h"
#include "runtime/platform/input.h"
#include "runtime/platform/tty.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::console {

namespace {

// The string and the history block of the next edit, from _set-buffer-history
// to the _read-input that uses them up.
Cell edit_line, edit_history;

void mark_edit() {
    collector::mark_value(&edit_line);
    collector::mark_value(&edit_history);
}

// A field of system/console, or nullptr when there is no such object or field.
Cell* console_field(const char* name) {
    Cell* sys = context::get_global(symbol::make("system"));
    if (TYPE_OF(sys) != TYPE_OBJECT) return nullptr;
    Cell w;
    word::make_at(symbol::make("console"), &w);
    if (object::find_word(sys, &w) < 0) return nullptr;
    Cell* con = object::select_word(sys, &w);
    if (TYPE_OF(con) != TYPE_OBJECT) return nullptr;
    word::make_at(symbol::make(name), &w);
    if (object::find_word(con, &w) < 0) return nullptr;
    return object::select_word(con, &w);
}

// system/console/size follows the window when the terminal says how big it is.
void measure_window() {
    int columns = 0, rows = 0;
    if (!terminal::window_size(&columns, &rows)) return;
    if (Cell* size = console_field("size"))
        make_cell(size, TYPE_PAIR, 0, static_cast<u32>(columns), static_cast<u32>(rows));
}

std::string utf8_of(Cell* str) {
    i32 len = -1;  // every character
    u8* text = unicode::to_utf8(str, len);
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
}

// The longest line of redirected input taken: what one string, and the
// memory left, can hold.
u64 line_most() { return std::min<u64>(memory::room_for_series(), simple_io::MAX_CONTENT); }

// The text lines of a history block from its index, newest first.
std::vector<std::u32string> history_lines(const Cell* blk) {
    std::vector<std::u32string> lines;
    node_t n = series_node(blk);
    for (u32 i = series_head(blk); i < GET_BUFFER(n)->length(); i++) {
        // A copy: converting may collect and move the block's cells (never its nodes).
        Cell c = reinterpret_cast<Cell*>(GET_BUFFER(n)->head())[i];
        if (TYPE_OF(&c) != TYPE_STRING) continue;
        lines.push_back(terminal::from_utf8(utf8_of(&c)));
    }
    return lines;
}

}  // namespace

void set_buffer_history() {
    static bool registered = false;
    if (!registered) {
        collector::register_marker(mark_edit);
        registered = true;
    }
    edit_line = stack::arguments[0];
    edit_history = stack::arguments[1];
    make_cell(stack::arguments, TYPE_UNSET);
}

void read_input() {
    Cell* args = stack::arguments;
    if (TYPE_OF(&edit_line) != TYPE_STRING || TYPE_OF(&edit_history) != TYPE_BLOCK)
        fire("script", "invalid-arg", args);  // no _set-buffer-history before
    // Both go on the value stack for the edit: completion runs language code.
    Cell* line = stack::push(&edit_line);
    Cell* hist = stack::push(&edit_history);
    make_cell(&edit_line, TYPE_NONE);
    make_cell(&edit_history, TYPE_NONE);

    std::string prompt = TYPE_OF(args) == TYPE_STRING ? utf8_of(args) : std::string();
    terminal::EditOptions options;
    options.hide = TYPE_OF(args + 1) == TYPE_LOGIC && args[1].data1 != 0;
    if (options.hide) options.complete = false;

    // A redirected line stops at what one string, and the memory left, can hold.
    bool too_long = false;
    options.most = line_most();
    options.too_long = &too_long;
    std::vector<std::u32string> history = history_lines(hist);
    size_t before = history.size();
    if (terminal::stdin_console_q()) measure_window();
    terminal::Completer completer = completion::complete_input;
    std::optional<std::string> text = terminal::read_line(prompt, options, history, &completer);
    if (terminal::stdin_console_q()) measure_window();
    if (too_long) fire("script", "too-long");
    if (!text) {
        make_cell(stack::arguments, TYPE_LOGIC, 0);
        return;
    }
    // A carriage return kept from CR LF input is not part of the line.
    if (!text->empty() && text->back() == '\r') text->pop_back();
    string::concatenate_utf8(line, text->data(), static_cast<u32>(text->size()));
    if (history.size() > before) {
        // The editor took the line as the newest entry: so does the block.
        Cell* entry = string::load(reinterpret_cast<const u8*>(text->data()), static_cast<u32>(text->size()), 0);
        block::insert_value(hist, entry);
    }
    make_cell(stack::arguments, TYPE_LOGIC, 1);
}

void init() {
    Cell* title = stack::arguments;
    // The window's title, where there is a terminal to show it; at exit the
    // one it had before comes back (terminals that keep a stack of titles).
    static bool titled = false;
    if (!titled && TYPE_OF(title) == TYPE_STRING && tty::is_terminal(STDOUT_FILENO)) {
        const char* term = std::getenv("TERM");
        if (term && std::string_view(term) != "dumb") {
            // A control character would end the sequence early or act on the terminal.
            std::string text = utf8_of(title);
            std::erase_if(text, [](char c) { return static_cast<u8>(c) < 32 || c == 127; });
            std::string seq = "\x1b[22;0t\x1b]0;" + text + "\x07";
            if (tty::write_all(STDOUT_FILENO, seq.data(), seq.size())) {
                titled = true;
                std::atexit([] { tty::write_all(STDOUT_FILENO, "\x1b[23;0t", 8); });
            }
        }
    }
    terminal::stdin_console_q();
    measure_window();
    if (Cell* size = console_field("size")) {
        if (TYPE_OF(size) != TYPE_PAIR || size->data2 == 0 || size->data3 == 0)
            make_cell(size, TYPE_PAIR, 0, 80, 50);
    }
    make_cell(stack::arguments, TYPE_UNSET);
}

void terminate_console() { make_cell(stack::arguments, TYPE_UNSET); }

void input_stdin() {
    bool too_long = false;
    std::optional<std::string> line = terminal::stdin_readline(STDIN_FILENO, line_most(), &too_long);
    if (too_long) fire("script", "too-long");
    if (!line) {
        make_cell(stack::arguments, TYPE_NONE);
        return;
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    Cell* s = string::load(reinterpret_cast<const u8*>(line->data()), static_cast<u32>(line->size()), 0);
    stack::arguments[0] = *s;
}

void read_stdin() {
    Cell* buffer = stack::arguments;
    i32 wanted = static_cast<i32>(stack::arguments[1].data2);
    // One read never brings more than a pipe holds at once; the cap keeps a
    // huge count from reserving memory that will not be used.
    constexpr i32 MOST = 1 << 20;
    std::vector<u8> bytes(static_cast<size_t>(std::clamp(wanted, 0, MOST)));
    // What line reads took ahead comes first.
    ssize_t got = bytes.empty() ? 0 : input::read_bytes(STDIN_FILENO, bytes.data(), bytes.size());
    if (got > 0) {
        // The bytes go at the head, over whatever was there; the series grows to hold them.
        binary::zs_clear(buffer);
        binary::zs_append(buffer, bytes.data(), static_cast<u32>(got));
    }
    make_cell(stack::arguments, TYPE_INTEGER, 0, static_cast<u32>(got > 0 ? got : 0));
}

}  // namespace zav::console
