// The differential check of the evaluators: one input evaluated with the
// fast paths and under the reference evaluator, each from the same state,
// must print the same, end the same way and leave the same value. The
// reference run goes in a forked child, so that nothing the first run
// changed (a library block appended to, the random seed) is seen by the
// other; the fast run is the parent's own, so that a fuzzer's coverage
// follows it.
#pragma once
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "fuzz/eval_sandbox.h"

namespace zav::fuzz {

namespace detail {

inline bool write_all(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace detail

// Empty when both evaluators agree (or either was stopped by its budget or
// memory cap), else a report of both outcomes.
inline std::string evaluators_differ(EvalSandbox& sandbox, const uint8_t* data, size_t size) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return "";
    }
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(fds[0]);
        interpreter::reference_only = true;
        Outcome o;
        sandbox.run(data, size, &o);
        detail::write_all(fds[1], std::string(o.comparable ? "1" : "0") + o.text);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string reference;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reference.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reference.empty())
        return "the reference run did not finish (wait status " + std::to_string(status) + ")";

    bool saved = interpreter::reference_only;
    interpreter::reference_only = false;
    Outcome fast;
    sandbox.run(data, size, &fast);
    interpreter::reference_only = saved;
    if (reference[0] == '0' || !fast.comparable) return "";
    reference.erase(0, 1);
    if (reference == fast.text) return "";
    return "fast paths:\n" + fast.text + "\n\nreference evaluator:\n" + reference + "\n";
}

}  // namespace zav::fuzz
