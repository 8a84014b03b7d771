// The terminal as the interface back-end sees it: a small interface (read,
// poll, write, size, modes) over the real terminal, which tests replace with
// a fake one that records what is written and plays back input.
#pragma once
#include <cstddef>

#include "runtime/common.h"

namespace zav::gui {

class Tty {
public:
    virtual ~Tty() = default;
    // Console input available now, without waiting: up to `max` bytes into
    // `buf`; 0 when none is pending, -1 at the end of input or on failure.
    virtual int read(u8* buf, int max) = 0;
    // Waits at most `ms` milliseconds for console input; true when some is
    // ready or the window changed size.
    virtual bool poll(int ms) = 0;
    // Writes every byte unchanged; false when the write failed.
    virtual bool write(const void* data, size_t size) = 0;
    // Columns and rows; false when the terminal does not say.
    virtual bool size(int* columns, int* rows) = 0;
    // Whether standard input and output are terminals.
    virtual bool input_is_console() = 0;
    virtual bool output_is_console() = 0;
    // Raw mode for the interface (no echo, no line buffering, Ctrl-C still
    // interrupts, output processing kept) and back.
    virtual bool raw_mode() = 0;
    virtual void restore_mode() = 0;
    // True once after each change of the window size.
    virtual bool take_resize() = 0;
};

// The terminal in use: the process's own unless a test set another.
Tty& tty();
// Null puts the process's terminal back.
void set_tty(Tty* t);

// Milliseconds of a monotonic clock.
i64 now_ms();

}  // namespace zav::gui
