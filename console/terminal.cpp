// The line editor: key decoding, editing and drawing on a VT terminal in raw
// mode, history, and the redirected-input reader.
#include "console/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <new>

#include "console/char_width.h"
#include "runtime/platform/input.h"
#include "runtime/platform/tty.h"
#include "runtime/unicode.h"

namespace zav::terminal {

// ---- Text --------------------------------------------------------------------

std::string to_utf8(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    u8 bytes[4];
    for (char32_t c : text) {
        u32 cp = static_cast<u32>(c) > 0x10FFFF ? 0xFFFD : static_cast<u32>(c);
        u32 n = unicode::cp_to_utf8(cp, bytes);
        out.append(reinterpret_cast<const char*>(bytes), n);
    }
    return out;
}

std::u32string from_utf8(std::string_view text) {
    std::u32string out;
    auto* p = reinterpret_cast<const u8*>(text.data());
    auto* end = p + text.size();
    while (p < end) {
        i32 cp;
        p = unicode::fast_decode_utf8_char(p, end, &cp);
        out.push_back(cp < 0 ? U'\uFFFD' : static_cast<char32_t>(cp));
    }
    return out;
}

namespace {

// Length of a UTF-8 sequence from its lead byte and the smallest code point
// it may carry (so that overlong forms are refused); 0 for a byte that
// cannot lead.
u32 lead_length(u8 b, u32* min) {
    if (b >= 0xC2 && b <= 0xDF) return *min = 0x80, 2;
    if (b >= 0xE0 && b <= 0xEF) return *min = 0x800, 3;
    if (b >= 0xF0 && b <= 0xF4) return *min = 0x10000, 4;
    return 0;
}

u32 checked(u32 cp, u32 min) {
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
    return cp;
}

}  // namespace

// ---- Key decoding ------------------------------------------------------------

void KeyDecoder::feed(u8 b) {
    switch (state_) {
        case State::Ground:
            if (b == 0x1B) {
                state_ = State::Escape;
            } else if (b < 0x80) {
                emit(b == '\n' ? KEY_ENTER : b);
            } else if (u32 n = lead_length(b, &utf8_min_)) {
                utf8_left_ = n - 1;
                utf8_value_ = b & (0x7F >> n);
                state_ = State::Utf8;
            } else {
                emit(0xFFFD);
            }
            return;
        case State::Utf8:
            if ((b & 0xC0) != 0x80) {  // broken off: the byte starts afresh
                emit(0xFFFD);
                state_ = State::Ground;
                feed(b);
                return;
            }
            utf8_value_ = (utf8_value_ << 6) | (b & 0x3F);
            if (--utf8_left_ == 0) {
                emit(static_cast<i32>(checked(utf8_value_, utf8_min_)));
                state_ = State::Ground;
            }
            return;
        case State::Escape:
            if (b == '[') {
                params_.clear();
                state_ = State::Csi;
            } else if (b == 'O') {
                state_ = State::Ss3;
            } else {
                emit(KEY_ESC);
                state_ = State::Ground;
                feed(b);
            }
            return;
        case State::Csi:
            if (b >= 0x30 && b <= 0x3F) {
                if (params_.size() < 32) params_.push_back(static_cast<char>(b));
            } else if (b >= 0x40 && b <= 0x7E) {
                state_ = State::Ground;
                finish_csi(b);
            } else if (b < 0x20 || b > 0x7E) {  // not a sequence after all
                state_ = State::Ground;
                feed(b);
            }
            return;
        case State::Ss3:
            state_ = State::Ground;
            switch (b) {
                case 'A': emit(KEY_UP); break;
                case 'B': emit(KEY_DOWN); break;
                case 'C': emit(KEY_RIGHT); break;
                case 'D': emit(KEY_LEFT); break;
                case 'H': emit(KEY_HOME); break;
                case 'F': emit(KEY_END); break;
                case 'M': emit(KEY_ENTER); break;  // keypad Enter
                default: emit(KEY_NONE); break;
            }
            return;
    }
}

void KeyDecoder::finish_csi(u8 final_byte) {
    // Parameters: numbers separated by ";"; a private marker (?, <, =, >) means
    // a sequence that is not a key.
    int p[2] = {0, 0};
    int count = 0;
    for (char c : params_) {
        if (c >= '0' && c <= '9') {
            if (count == 0) count = 1;
            if (count <= 2 && p[count - 1] < 100000) p[count - 1] = p[count - 1] * 10 + (c - '0');
        } else if (c == ';') {
            count = count == 0 ? 2 : count + 1;
        } else {
            emit(KEY_NONE);
            return;
        }
    }
    switch (final_byte) {
        case 'A': emit(KEY_UP); return;
        case 'B': emit(KEY_DOWN); return;
        case 'C': emit(KEY_RIGHT); return;
        case 'D': emit(KEY_LEFT); return;
        case 'H': emit(KEY_HOME); return;
        case 'F': emit(KEY_END); return;
        case 'R':
            if (count == 2) {
                report_row = p[0];
                report_col = p[1];
                emit(KEY_CURSOR_REPORT);
                return;
            }
            break;
        case '~':
            switch (p[0]) {
                case 1: case 7: emit(KEY_HOME); return;
                case 4: case 8: emit(KEY_END); return;
                case 2: emit(KEY_INSERT); return;
                case 3: emit(KEY_DELETE); return;
                case 5: emit(KEY_PAGE_UP); return;
                case 6: emit(KEY_PAGE_DOWN); return;
            }
            break;
    }
    emit(KEY_NONE);
}

void KeyDecoder::timeout() {
    if (state_ == State::Escape) emit(KEY_ESC);
    if (state_ == State::Utf8) emit(0xFFFD);
    state_ = State::Ground;
}

bool KeyDecoder::next(i32* key) {
    if (taken_ == keys_.size()) {
        keys_.clear();
        taken_ = 0;
        return false;
    }
    *key = keys_[taken_++];
    return true;
}

// ---- History -----------------------------------------------------------------

void add_to(std::vector<std::u32string>& history, const std::u32string& line) {
    if (line.empty() || (!history.empty() && history.front() == line)) return;
    history.insert(history.begin(), line);
}

// ---- Editing -----------------------------------------------------------------

namespace {

constexpr int TAB_COLUMNS = 4;  // a tab typed into the line is shown as this many blanks

// Emoji of this block are drawn two columns wide by every terminal in use,
// whatever their East Asian width says.
u32 display_width(u32 c) {
    if (c >= 0x1F300 && c <= 0x1F5FF) return 2;
    return console::char_width(c);
}

// A control character in the line would act on the terminal instead of showing.
bool control_q(u32 c) { return c < 32 || (c >= 127 && c < 160); }

void csi(std::string& out, int n, char final_byte) {
    out += "\x1b[";
    out += std::to_string(n);
    out += final_byte;
}

void append_utf8(std::string& out, u32 c) {
    u8 bytes[4];
    u32 n = unicode::cp_to_utf8(c > 0x10FFFF ? 0xFFFD : c, bytes);
    out.append(reinterpret_cast<const char*>(bytes), n);
}

// Where text lands on rows `columns` wide: a character that does not fit
// in what is left of a row starts the next one (so a wide character at the
// last column leaves it blank, as terminals do). A column equal to `columns`
// is the terminal's pending wrap at the end of a full row.
struct Walker {
    int columns;
    int row, col;
    void advance(int width) {
        if (width == 0) return;
        if (col + width > columns) {
            row++;
            col = 0;
        }
        col += width;
    }
};

// The prompt: escape sequences take no column (ESC, then after "[" or "("
// any digits and ";" and one more character); a tab takes four.
void walk_prompt(const std::u32string& prompt, Walker& w, std::string* out) {
    for (size_t i = 0; i < prompt.size(); i++) {
        u32 c = prompt[i];
        if (c == 27) {
            size_t j = i + 1;
            if (j < prompt.size() && (prompt[j] == '[' || prompt[j] == '(')) {
                j++;
                while (j < prompt.size() && ((prompt[j] >= '0' && prompt[j] <= '9') || prompt[j] == ';')) j++;
                if (j < prompt.size()) j++;
                if (out) out->append(to_utf8(prompt.substr(i, j - i)));
                i = j - 1;
            } else if (out) {
                *out += '\x1b';
            }
            continue;
        }
        if (c == '\t') {
            for (int k = 0; k < TAB_COLUMNS; k++) w.advance(1);
            if (out) out->append(TAB_COLUMNS, ' ');
            continue;
        }
        w.advance(static_cast<int>(display_width(c)));
        if (out) append_utf8(*out, c);
    }
}

// One character of the line: "*" when hidden, four blanks for a tab, "?"
// for another control character.
void walk_char(u32 c, bool hide, Walker& w, std::string* out) {
    if (hide) {
        w.advance(1);
        if (out) *out += '*';
    } else if (c == '\t') {
        for (int k = 0; k < TAB_COLUMNS; k++) w.advance(1);
        if (out) out->append(TAB_COLUMNS, ' ');
    } else if (control_q(c)) {
        w.advance(1);
        if (out) *out += '?';
    } else {
        w.advance(static_cast<int>(display_width(c)));
        if (out) append_utf8(*out, c);
    }
}

}  // namespace

void LineEditor::begin(std::u32string_view prompt, const EditOptions& options, int columns, int start_col,
                       std::u32string_view initial) {
    prompt_ = prompt;
    options_ = options;
    if (options_.hide) options_.complete = false;
    columns_ = columns < 2 ? 80 : columns;
    start_col_ = start_col < 0 || start_col >= columns_ ? 0 : start_col;
    line_ = initial;
    cursor_ = line_.size();
    history_index_ = -1;
    at_ = {0, start_col_};
    redraw();
}

LineEditor::Pos LineEditor::measure(size_t line_chars, bool* wide_at_cursor) const {
    Walker w{columns_, 0, start_col_};
    walk_prompt(prompt_, w, nullptr);
    for (size_t i = 0; i < line_chars && i < line_.size(); i++) walk_char(line_[i], options_.hide, w, nullptr);
    if (wide_at_cursor)
        *wide_at_cursor = !options_.hide && line_chars < line_.size() && display_width(line_[line_chars]) == 2;
    return {w.row, w.col};
}

// Where the terminal's cursor stands before the character at line_chars.
LineEditor::Pos LineEditor::position_of(size_t line_chars) const {
    bool wide = false;
    Pos p = measure(line_chars, &wide);
    if (p.col >= columns_ || (wide && p.col == columns_ - 1)) p = {p.row + 1, 0};
    return p;
}

void LineEditor::move_to(Pos target) {
    if (target.row < at_.row) csi(out_, at_.row - target.row, 'A');
    if (target.row > at_.row) csi(out_, target.row - at_.row, 'B');
    out_ += '\r';
    if (target.col > 0) csi(out_, target.col, 'C');
    at_ = target;
}

void LineEditor::show(const std::u32string& text) {
    // Back to where the prompt starts, blank everything after it, write again.
    if (at_.row > 0) csi(out_, at_.row, 'A');
    out_ += '\r';
    if (start_col_ > 0) csi(out_, start_col_, 'C');
    out_ += "\x1b[J";
    Walker w{columns_, 0, start_col_};
    walk_prompt(prompt_, w, &out_);
    for (char32_t c : text) walk_char(c, options_.hide, w, &out_);
    at_ = {w.row, w.col};
    if (at_.col >= columns_) {  // a full last row: the cursor needs a row below it
        out_ += "\r\n";
        at_ = {at_.row + 1, 0};
    }
}

void LineEditor::redraw() {
    show(line_);
    move_to(position_of(cursor_));
}

void LineEditor::resize(int columns) {
    if (columns < 2 || columns == columns_) return;
    // The terminal keeps the cursor with its character when it rewraps rows,
    // so the cursor's row comes from its offset in the text.
    int offset = at_.row * columns_ + at_.col;
    columns_ = columns;
    at_ = {offset / columns_, offset % columns_};
    if (start_col_ >= columns_) start_col_ = 0;
    redraw();
}

void LineEditor::insert(u32 c) {
    if (cursor_ == line_.size() && display_width(c) > 0 && c != '\t' && !control_q(c)) {
        // At the end only the new character is written.
        line_.push_back(static_cast<char32_t>(c));
        cursor_++;
        Walker w{columns_, 0, start_col_};
        Pos before = measure(cursor_ - 1, nullptr);
        w.row = before.row;
        w.col = before.col;
        walk_char(c, options_.hide, w, &out_);
        at_ = {w.row, w.col};
        if (at_.col >= columns_) {
            out_ += "\r\n";
            at_ = {at_.row + 1, 0};
        }
        return;
    }
    line_.insert(cursor_, 1, static_cast<char32_t>(c));
    cursor_++;
    redraw();
}

void LineEditor::finish() {
    move_to(position_of(line_.size()));
    // A full last row has already put the cursor on a new row.
    if (!(at_.col == 0 && at_.row > 0)) out_ += "\r\n";
    at_ = {0, 0};
}

bool LineEditor::complete() {
    if (!completer_ || !*completer_) return false;
    std::optional<Completion> result = (*completer_)(line_, cursor_);
    if (!result) return false;
    if (result->candidates.size() > 1) {
        // The candidates go after the prompt and stay on screen; the edit
        // goes on below them with the completed line.
        std::u32string list;
        for (const auto& c : result->candidates) list += c + U" ";
        show(list);
        finish();
        start_col_ = 0;
    }
    line_ = result->line;
    cursor_ = std::min(result->cursor, line_.size());
    history_index_ = -1;
    redraw();
    return true;
}

LineEditor::Step LineEditor::key(i32 key) {
    if (key == KEY_TAB && options_.complete && complete()) return Step::More;
    int count = static_cast<int>(history_.size());
    switch (key) {
        case KEY_ENTER:
            if (!options_.hide) add_to(history_, line_);
            finish();
            return Step::Done;
        case 8:
        case 127:
            if (cursor_ == 0) return Step::More;
            cursor_--;
            if (cursor_ == line_.size() - 1 && !options_.hide && display_width(line_[cursor_]) > 0) {
                // At the end: step back and blank what follows.
                line_.pop_back();
                move_to(position_of(cursor_));
                out_ += "\x1b[J";
            } else {
                line_.erase(cursor_, 1);
                redraw();
            }
            return Step::More;
        case KEY_LEFT:
        case 2:  // Ctrl-B
            if (cursor_ > 0) move_to(position_of(--cursor_));
            return Step::More;
        case KEY_RIGHT:
        case 6:  // Ctrl-F
            if (cursor_ < line_.size()) move_to(position_of(++cursor_));
            return Step::More;
        case KEY_HOME:
        case 1:  // Ctrl-A
            cursor_ = 0;
            move_to(position_of(cursor_));
            return Step::More;
        case KEY_END:
        case 5:  // Ctrl-E
            cursor_ = line_.size();
            move_to(position_of(cursor_));
            return Step::More;
        case KEY_UP:
        case 16:  // Ctrl-P: towards older entries; past the oldest, an empty line
            if (history_index_ < count - 1) {
                line_ = history_[static_cast<size_t>(++history_index_)];
            } else {
                line_.clear();
            }
            cursor_ = line_.size();
            redraw();
            return Step::More;
        case KEY_DOWN:
        case 14:  // Ctrl-N: the entry shown by the last Up again, then newer ones, then the empty line
            if (history_index_ < 0) {
                line_.clear();
            } else {
                line_ = history_[static_cast<size_t>(std::min(history_index_, count - 1))];
                history_index_--;
            }
            cursor_ = line_.size();
            redraw();
            return Step::More;
        case KEY_DELETE:
            if (cursor_ < line_.size()) {
                line_.erase(cursor_, 1);
                redraw();
            }
            return Step::More;
        case 11:  // Ctrl-K
            if (cursor_ < line_.size()) {
                line_.erase(cursor_);
                redraw();
            }
            return Step::More;
        case 4:  // Ctrl-D: quits on an empty line, deletes inside one
            if (line_.empty()) {
                finish();
                line_ = U"q";
                return Step::Done;
            }
            if (cursor_ < line_.size()) {
                line_.erase(cursor_, 1);
                redraw();
            }
            return Step::More;
        case 3:  // Ctrl-C
            finish();
            line_ = U"q";
            return Step::Done;
        case KEY_ESC:
            finish();
            line_.push_back(27);
            return Step::Done;
        default:
            if (key == KEY_TAB || (key > 31 && key != 127)) insert(static_cast<u32>(key));
            return Step::More;
    }
}

std::string LineEditor::take_output() {
    std::string out;
    out.swap(out_);
    return out;
}

// ---- Redirected input --------------------------------------------------------

std::optional<std::string> stdin_readline(int fd, u64 most, bool* too_long) {
    if (too_long) *too_long = false;
    std::string line;
    bool any = false;
    int held = -1;  // a byte that broke a sequence, read again as a start
    // Read ahead in blocks (input::next_byte), so that a long line costs no
    // system call per byte; what is read past the line stays for the next.
    auto read_one = [&](u8* b) {
        if (held >= 0) {
            *b = static_cast<u8>(held);
            held = -1;
            return true;
        }
        int c = input::next_byte(fd);  // -1: the end, or input that is gone
        if (c < 0) return false;
        *b = static_cast<u8>(c);
        return true;
    };
    // Room for a character more, the buffer doubled but never past the
    // bound; false when the bound, or the memory left, is reached.
    auto room = [&] {
        if (line.size() + 4 <= line.capacity()) return true;
        if (line.size() >= most) return false;
        u64 want = std::min<u64>(std::max<u64>(u64(line.capacity()) * 2, 256), most + 4);
        try {
            line.reserve(static_cast<size_t>(want));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    };
    u8 b;
    for (;;) {
        // What follows stays unread, for the next read.
        if (line.size() >= most || !room()) {
            if (too_long) *too_long = true;
            return line;
        }
        if (!read_one(&b)) break;
        any = true;
        if (b == '\n') return line;
        if (b < 0x80) {
            line.push_back(static_cast<char>(b));
            continue;
        }
        u32 min = 0;
        u32 n = lead_length(b, &min);
        if (n == 0) {
            append_utf8(line, 0xFFFD);
            continue;
        }
        u32 cp = b & (0x7F >> n);
        bool whole = true;
        for (u32 k = 1; k < n; k++) {
            u8 next;
            if (!read_one(&next)) {
                whole = false;
                break;
            }
            if ((next & 0xC0) != 0x80) {
                held = next;
                whole = false;
                break;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        append_utf8(line, whole ? checked(cp, min) : 0xFFFD);
    }
    if (!any) return std::nullopt;
    return line;
}

// ---- The console's editor ----------------------------------------------------

namespace {

// Keys that came after the end of an edit (pasted lines), for the next one.
std::deque<i32> leftover;
int stdin_console = -1;

// A lone ESC is told from the start of a sequence by the pause after it.
constexpr int ESCAPE_WAIT_MS = 50;
// How long a terminal may take to say where its cursor is.
constexpr int REPORT_WAIT_MS = 200;

bool write_out(const std::string& bytes) { return tty::write_all(STDOUT_FILENO, bytes.data(), bytes.size()); }

// Keys read while waiting for the cursor report, handed to the editor after it.
struct Input {
    KeyDecoder decoder;
    std::deque<i32> early;
};

// The column where the prompt will start (output before it may not have
// ended its line); 0 when the terminal does not answer.
int cursor_column(Input& in) {
    if (!write_out("\x1b[6n")) return 0;
    for (;;) {
        u8 b;
        tty::ReadResult r = tty::read_byte(STDIN_FILENO, REPORT_WAIT_MS, &b);
        if (r != tty::ReadResult::Byte && r != tty::ReadResult::Interrupted) return 0;
        if (r == tty::ReadResult::Byte) in.decoder.feed(b);
        i32 k;
        while (in.decoder.next(&k)) {
            if (k == KEY_CURSOR_REPORT) {
                while (in.decoder.next(&k)) in.early.push_back(k);
                return in.decoder.report_col > 0 ? in.decoder.report_col - 1 : 0;
            }
            in.early.push_back(k);
        }
    }
}

int window_columns() {
    int columns = 80, rows = 50;
    tty::window_size(STDOUT_FILENO, &columns, &rows);
    return columns;
}

}  // namespace

bool stdin_console_q() {
    if (stdin_console < 0) stdin_console = tty::is_terminal(STDIN_FILENO) ? 1 : 0;
    return stdin_console == 1;
}

bool window_size(int* columns, int* rows) {
    return tty::is_terminal(STDOUT_FILENO) && tty::window_size(STDOUT_FILENO, columns, rows) && *columns > 0 &&
           *rows > 0;
}

std::optional<std::string> read_line(std::string_view prompt, const EditOptions& options,
                                     std::vector<std::u32string>& history, const Completer* completer) {
    std::fflush(stdout);
    auto plain = [&] { return stdin_readline(STDIN_FILENO, options.most, options.too_long); };
    // Editing needs the terminal on both sides; otherwise the line is read as it comes.
    if (!stdin_console_q() || !tty::is_terminal(STDOUT_FILENO)) return plain();
    tty::RawMode raw(STDIN_FILENO);
    if (!raw.ok()) return plain();
    tty::take_resize();

    Input in;
    in.early.swap(leftover);
    int start_col = cursor_column(in);
    LineEditor editor(history, completer);
    editor.begin(from_utf8(prompt), options, window_columns(), start_col);
    write_out(editor.take_output());
    for (;;) {
        i32 key;
        if (!in.early.empty()) {
            key = in.early.front();
            in.early.pop_front();
        } else if (!in.decoder.next(&key)) {
            u8 b;
            switch (tty::read_byte(STDIN_FILENO, in.decoder.pending() ? ESCAPE_WAIT_MS : -1, &b)) {
                case tty::ReadResult::Byte: in.decoder.feed(b); break;
                case tty::ReadResult::Timeout: in.decoder.timeout(); break;
                case tty::ReadResult::Interrupted:
                    if (tty::take_resize()) {
                        editor.resize(window_columns());
                        write_out(editor.take_output());
                    }
                    break;
                case tty::ReadResult::End:
                case tty::ReadResult::Error:
                    // The terminal is gone (hung up): the end of input.
                    write_out("\r\n");
                    return std::nullopt;
            }
            continue;
        }
        LineEditor::Step step = editor.key(key);
        write_out(editor.take_output());
        if (step == LineEditor::Step::Done) {
            leftover.swap(in.early);
            while (in.decoder.next(&key)) leftover.push_back(key);
            return to_utf8(editor.line());
        }
    }
}

}  // namespace zav::terminal
