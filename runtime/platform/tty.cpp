// Terminal modes, window size and byte input over termios and poll.
#include "runtime/platform/tty.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "runtime/platform/files.h"
#include "runtime/rt.h"

namespace zav::tty {

namespace {

// Everything the restore touches is plain data, so that a signal handler may call it.
struct termios saved_modes;
volatile sig_atomic_t raw_fd = -1;
volatile sig_atomic_t resized = 0;
bool hooks_installed = false;

// Signals that end the process by default: the modes go back, then the
// default action runs as if nothing had been caught.
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous[3];
struct sigaction previous_resize;

void on_ending_signal(int sig) {
    leave_raw();
    simple_io::remove_temporary_file();
    for (size_t i = 0; i < 3; i++)
        if (ENDING_SIGNALS[i] == sig) sigaction(sig, &previous[i], nullptr);
    raise(sig);
}

void on_resize(int) { resized = 1; }

void install_hooks() {
    if (hooks_installed) return;
    hooks_installed = true;
    std::atexit(leave_raw);
    rt::fatal_signal_cleanup = leave_raw;
}

// Only while raw: the resize handler interrupts blocking calls (so that a
// waiting read wakes up to redraw), which the rest of the process, reading
// files or waiting for children, must not see.
void catch_signals() {
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_ending_signal;
    for (size_t i = 0; i < 3; i++) sigaction(ENDING_SIGNALS[i], &sa, &previous[i]);
    sa.sa_handler = on_resize;
    sa.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGWINCH, &sa, &previous_resize);
}

void release_signals() {
    for (size_t i = 0; i < 3; i++) sigaction(ENDING_SIGNALS[i], &previous[i], nullptr);
    sigaction(SIGWINCH, &previous_resize, nullptr);
}

}  // namespace

bool is_terminal(int fd) { return isatty(fd) == 1; }

void (*volatile before_leave)() = nullptr;

bool enter_raw(int fd, RawKind kind) {
    if (raw_fd >= 0) return true;
    if (!is_terminal(fd) || tcgetattr(fd, &saved_modes) != 0) return false;
    install_hooks();
    struct termios raw = saved_modes;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN);
    if (kind == RawKind::EDITOR) {
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        raw.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    } else {
        raw.c_cc[VQUIT] = _POSIX_VDISABLE;
        raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    }
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    catch_signals();
    raw_fd = fd;
    // TCSADRAIN, not TCSAFLUSH: keys typed or pasted ahead are kept.
    if (tcsetattr(fd, TCSADRAIN, &raw) != 0) {
        raw_fd = -1;
        release_signals();
        return false;
    }
    return true;
}

void leave_raw() {
    int fd = raw_fd;
    if (fd < 0) return;
    if (auto hook = before_leave) hook();
    raw_fd = -1;
    tcsetattr(fd, TCSADRAIN, &saved_modes);
    // Inside a handler the process is ending anyway; otherwise the default
    // actions come back until the next raw edit.
    release_signals();
}

bool is_raw() { return raw_fd >= 0; }

bool window_size(int fd, int* columns, int* rows) {
    struct winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return false;
    *columns = ws.ws_col;
    *rows = ws.ws_row;
    return true;
}

bool take_resize() {
    if (!resized) return false;
    resized = 0;
    return true;
}

ReadResult read_byte(int fd, int timeout_ms, u8* out) {
    struct pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, timeout_ms);
    if (n < 0) return errno == EINTR ? ReadResult::Interrupted : ReadResult::Error;
    if (n == 0) return ReadResult::Timeout;
    for (;;) {
        ssize_t r = ::read(fd, out, 1);
        if (r == 1) return ReadResult::Byte;
        if (r == 0) return ReadResult::End;
        if (errno == EINTR) return ReadResult::Interrupted;
        if (errno == EAGAIN) return ReadResult::Timeout;
        return ReadResult::Error;
    }
}

bool write_all(int fd, const void* data, size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t w = ::write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace zav::tty
