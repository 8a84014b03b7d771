// The process's terminal over termios and poll: standard input for keys and
// mouse reports, standard output for frames.
#include "view/terminal/tty_io.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/platform/tty.h"

namespace zav::gui {

namespace {

class ProcessTty final : public Tty {
public:
    int read(u8* buf, int max) override {
        if (!input_is_console() || input_gone_) return -1;
        struct pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return 0;
        ssize_t n = ::read(STDIN_FILENO, buf, static_cast<size_t>(max));
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        input_gone_ = true;
        return -1;
    }
    bool poll(int ms) override {
        if (ms < 0) ms = 0;
        // Input that is not a terminal is never read, and a terminal that
        // went away (hung up, its end closed) has nothing more to give:
        // the wait is a plain sleep, never a loop that spins.
        if (!input_is_console() || input_gone_) return sleep(ms);
        struct pollfd p{STDIN_FILENO, POLLIN, 0};
        int n = ::poll(&p, 1, ms);
        if (n > 0 && !(p.revents & POLLIN)) {
            input_gone_ = true;
            return sleep(ms);
        }
        return n > 0 || (n < 0 && errno == EINTR);
    }
    bool write(const void* data, size_t size) override { return tty::write_all(STDOUT_FILENO, data, size); }
    bool size(int* columns, int* rows) override { return tty::window_size(STDOUT_FILENO, columns, rows); }
    bool input_is_console() override {
        if (input_console_ < 0) input_console_ = tty::is_terminal(STDIN_FILENO) ? 1 : 0;
        return input_console_ == 1;
    }
    bool output_is_console() override {
        if (output_console_ < 0) output_console_ = tty::is_terminal(STDOUT_FILENO) ? 1 : 0;
        return output_console_ == 1;
    }
    bool raw_mode() override { return tty::enter_raw(STDIN_FILENO, tty::RawKind::INTERFACE); }
    void restore_mode() override { tty::leave_raw(); }
    bool take_resize() override {
        bool r = resized_ || tty::take_resize();
        resized_ = false;
        return r;
    }

private:
    // Sleeps; true when the window changed size meanwhile.
    bool sleep(int ms) {
        struct timespec t{ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
            if (tty::take_resize()) {
                resized_ = true;
                return true;
            }
        }
        return false;
    }
    int input_console_ = -1;
    bool input_gone_ = false;
    int output_console_ = -1;
    bool resized_ = false;
};

ProcessTty process_tty;
Tty* current = &process_tty;

}  // namespace

Tty& tty() { return *current; }
void set_tty(Tty* t) { current = t ? t : &process_tty; }

i64 now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<i64>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace zav::gui
