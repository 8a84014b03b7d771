// Test helpers: capture what the runtime writes to standard output, in this
// process or in a forked child that is expected to end the process.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "runtime/rt.h"

namespace zav::testing {

inline std::string read_all(int fd) {
    std::string out;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    return out;
}

// Runs `body` with the runtime's standard output sent into a pipe and returns
// the bytes written (the pipe holds 64 KiB, more than any test writes).
inline std::string capture_output(const std::function<void()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe failed>";
    int saved = rt::std_output;
    rt::std_output = fds[1];
    body();
    rt::std_output = saved;
    close(fds[1]);
    std::string out = read_all(fds[0]);
    close(fds[0]);
    return out;
}

struct ChildResult {
    bool exited;  // false when a signal ended it
    int status;   // exit status, or the signal
    std::string output;
};

// Runs `body` in a forked child whose standard output is a pipe; a child that
// returns from `body` exits with 222.
inline ChildResult run_in_child(const std::function<void()>& body) {
    std::fflush(nullptr);  // nothing buffered is written twice
    int fds[2];
    if (pipe(fds) != 0) return {false, -1, "<pipe failed>"};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        rt::std_output = STDOUT_FILENO;
        body();
        _exit(222);
    }
    close(fds[1]);
    ChildResult r{false, -1, read_all(fds[0])};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return r;
}

}  // namespace zav::testing
