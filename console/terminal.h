// The line editor: one line edited on a terminal with cursor keys, history
// and completion, or read as UTF-8 from redirected input. The console loop
// and `ask` read through read_line; everything else here is the machinery,
// public so that it can be driven with bytes alone.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/common.h"

namespace zav::terminal {

// ---- The interface the console uses ----------------------------------------

struct EditOptions {
    bool hide = false;      // echo "*" for every typed character; the line goes to no history
    bool complete = true;   // Tab completes (never while hidden)
    // Redirected input: a line of more than `most` bytes stops there and
    // sets `too_long` (see stdin_readline).
    u64 most = UINT64_MAX;
    bool* too_long = nullptr;
};

// Whether standard input is a terminal; decided once, on the first call.
bool stdin_console_q();

// Completion asked for by Tab: `line` and the cursor in it. nullopt when
// there is nothing to complete (the Tab then goes into the line). Otherwise
// `line` and `cursor` are the line completed as far as the candidates agree;
// two or more `candidates` are listed below the prompt first.
struct Completion {
    std::u32string line;
    size_t cursor = 0;
    std::vector<std::u32string> candidates;
};
using Completer = std::function<std::optional<Completion>(const std::u32string& line, size_t cursor)>;

// One line as UTF-8, without its line feed; nullopt at the end of input.
// On a terminal the prompt (which may hold escape sequences) is shown and
// the line edited, with Up and Down walking `history` (newest first, where
// Enter adds the line unless it is hidden, empty or equal to the newest)
// and Tab asking `completer`; Ctrl-C, and Ctrl-D on an empty line, give
// "q"; Esc gives the typed text followed by the character 27. Redirected
// input is read without prompt, echo or history; a carriage return before
// the line feed is kept.
std::optional<std::string> read_line(std::string_view prompt, const EditOptions& options,
                                     std::vector<std::u32string>& history, const Completer* completer = nullptr);

// The window's columns and rows when standard output is a terminal that says.
bool window_size(int* columns, int* rows);

// ---- Key decoding -----------------------------------------------------------

// Keys are code points, control characters as their codes, or these.
enum Key : i32 {
    KEY_FAIL = -1,
    KEY_NONE = 0,  // a key or sequence with no meaning here
    KEY_UP = -20,
    KEY_DOWN = -21,
    KEY_RIGHT = -22,
    KEY_LEFT = -23,
    KEY_END = -24,
    KEY_HOME = -25,
    KEY_INSERT = -26,
    KEY_DELETE = -27,
    KEY_PAGE_UP = -28,
    KEY_PAGE_DOWN = -29,
    KEY_CURSOR_REPORT = -30,  // the terminal's answer to a cursor position query
};
constexpr i32 KEY_ENTER = 13;
constexpr i32 KEY_TAB = 9;
constexpr i32 KEY_ESC = 27;

// Turns terminal bytes into keys: UTF-8 characters, CSI and SS3 sequences
// (arrows, Home and End in their ESC[H, ESC[1~, ESC[7~ and ESC O H forms,
// Delete, Insert, Page Up and Down), Backspace as 8 or 127, LF as Enter.
class KeyDecoder {
public:
    void feed(u8 byte);
    // No byte came in time: a lone ESC is the Esc key, a cut sequence is dropped.
    void timeout();
    // In the middle of a sequence (a short wait decides a lone ESC).
    bool pending() const { return state_ != State::Ground; }
    bool next(i32* key);
    // Row and column (from 1) of the last KEY_CURSOR_REPORT.
    int report_row = 0, report_col = 0;

private:
    enum class State { Ground, Escape, Csi, Ss3, Utf8 };
    void emit(i32 key) { keys_.push_back(key); }
    void finish_csi(u8 final_byte);
    State state_ = State::Ground;
    std::string params_;
    u32 utf8_value_ = 0, utf8_left_ = 0, utf8_min_ = 0;
    std::vector<i32> keys_;
    size_t taken_ = 0;
};

// ---- Editing ----------------------------------------------------------------

// The state of one edit and its drawing, as bytes for a VT terminal. The
// screen is tracked relative to the row where the prompt starts, so nothing
// needs reading back from the terminal.
class LineEditor {
public:
    enum class Step { More, Done };

    LineEditor(std::vector<std::u32string>& history, const Completer* completer)
        : history_(history), completer_(completer) {}
    // Starts an edit: the prompt at column start_col of a window `columns`
    // wide, the line holding `initial` with the cursor at its end.
    void begin(std::u32string_view prompt, const EditOptions& options, int columns, int start_col,
               std::u32string_view initial = {});
    Step key(i32 key);
    // The window changed width: the text is drawn again for it.
    void resize(int columns);
    // The bytes to write to the terminal since the last call.
    std::string take_output();
    const std::u32string& line() const { return line_; }
    size_t cursor() const { return cursor_; }

private:
    struct Pos {
        int row, col;
    };
    void insert(u32 c);
    Pos measure(size_t line_chars, bool* wide_at_cursor) const;
    Pos position_of(size_t line_chars) const;
    void redraw();
    void move_to(Pos target);
    void show(const std::u32string& text);
    void finish();
    bool complete();

    std::vector<std::u32string>& history_;
    const Completer* completer_;
    std::u32string prompt_, line_;
    size_t cursor_ = 0;
    EditOptions options_;
    int columns_ = 80, start_col_ = 0;
    Pos at_{0, 0};           // where the terminal's cursor is, from the prompt's row
    int history_index_ = -1;  // the entry Up showed last; -1: none (the line being typed)
    std::string out_;
};

// The history rule: nothing empty, nothing equal to the newest entry.
void add_to(std::vector<std::u32string>& history, const std::u32string& line);

// One line of redirected input as UTF-8 text (an invalid byte becomes
// U+FFFD), without its line feed; what follows the line stays for the next
// read. nullopt when the input ended before any byte. A line of more than
// `most` bytes stops there, with `too_long` set: an endless line (a device,
// a pipe that never ends it) cannot take all memory.
std::optional<std::string> stdin_readline(int fd, u64 most = UINT64_MAX, bool* too_long = nullptr);

std::string to_utf8(const std::u32string& text);
std::u32string from_utf8(std::string_view text);

}  // namespace zav::terminal
