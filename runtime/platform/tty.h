// The terminal as the line editor needs it: raw mode with its modes always
// given back, the window size, resize notices and byte reads with a timeout.
#pragma once
#include <cstddef>

#include "runtime/common.h"

namespace zav::tty {

bool is_terminal(int fd);

// Saves the modes of fd and switches it to raw mode: no echo, no line
// buffering, no signals from Ctrl-C or Ctrl-Z (they arrive as keys), no CR
// to LF translation. The saved modes are put back by leave_raw, at exit, on
// a fatal signal and on SIGTERM, SIGHUP and SIGQUIT. False when fd is not a
// terminal or its modes cannot be set. Not nested: a second call while raw
// does nothing and returns true.
// The interface kind keeps output processing (LF still ends a line) and the
// interrupt key (Ctrl-C raises SIGINT), with the suspend and quit keys off.
enum class RawKind { EDITOR, INTERFACE };
bool enter_raw(int fd, RawKind kind = RawKind::EDITOR);
// Called by leave_raw first, on every way out (normal, exit, signal), so
// that what was switched on with the raw modes goes back too (the mouse
// reports, a hidden cursor). Must be async-signal-safe. Null: nothing.
extern void (*volatile before_leave)();
// Puts the saved modes back; does nothing when not raw. Async-signal-safe.
void leave_raw();
bool is_raw();

// Raw mode for the lifetime of a scope, left on every way out of it.
class RawMode {
public:
    explicit RawMode(int fd) : ok_(enter_raw(fd)) {}
    ~RawMode() { leave_raw(); }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// Columns and rows of the terminal on fd; false when it does not say.
bool window_size(int fd, int* columns, int* rows);
// True once after each change of the window size (SIGWINCH) while raw,
// which also interrupts a waiting read_byte.
bool take_resize();

enum class ReadResult { Byte, Timeout, Interrupted, End, Error };
// Reads one byte; waits at most timeout_ms (negative: without limit).
// Interrupted when a signal (a resize) came first.
ReadResult read_byte(int fd, int timeout_ms, u8* out);
// Writes every byte, retrying short writes; false on failure.
bool write_all(int fd, const void* data, size_t size);

}  // namespace zav::tty
