// Child processes over posix_spawn, pipes and poll.
#include "runtime/platform/process.h"
#include "runtime/platform/files.h"
#include "runtime/platform/input.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zav::call {

namespace {

// Pipe reads take this much at a time: a pipe's default capacity, so one
// read empties a full pipe.
constexpr size_t CHUNK = 64 * 1024;
// What one stream may deliver: the most one string or binary can hold.
constexpr size_t MAX_CAPTURE = 0x7FFFFFFF;

// Children started without waiting, reaped later so none stays a zombie.
std::vector<pid_t> unwaited;

void reap_unwaited() {
    for (size_t i = 0; i < unwaited.size();) {
        int status;
        if (::waitpid(unwaited[i], &status, WNOHANG) != 0) unwaited.erase(unwaited.begin() + static_cast<long>(i));
        else i++;
    }
}

// Descriptors closed on every way out.
struct Fds {
    std::vector<int> fds;
    int add(int fd) {
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    // Closes a tracked descriptor once, however many names it has.
    void close(int& fd) {
        if (fd < 0) return;
        for (int& f : fds) {
            if (f == fd) {
                ::close(f);
                f = -1;
            }
        }
        fd = -1;
    }
    ~Fds() {
        for (int f : fds)
            if (f >= 0) ::close(f);
    }
};

std::vector<std::string> split_command(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

// Spawns argv with the three descriptors as the child's standard streams;
// answers the error number (0 on success).
int start(const std::vector<std::string>& args, int in, int out, int err, pid_t& pid) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
    else input::give_back(STDIN_FILENO);  // the child reads on where the script stopped
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with the default disposition of SIGPIPE (the caller
    // ignores it while it feeds the child) and an empty signal mask.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

i64 wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Feeds the input and drains both outputs until all three are done.
// Answers true when an output stream delivered more than it may.
bool pump(int& in_fd, const std::string& input, int& out_fd, std::string* output, int& err_fd,
          std::string* error, Fds& fds) {
    bool overflow = false;
    size_t sent = 0;
    if (in_fd >= 0) ::fcntl(in_fd, F_SETFL, ::fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    if (in_fd >= 0 && input.empty()) fds.close(in_fd);
    char buffer[CHUNK];
    while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
        pollfd p[3];
        int n = 0;
        int* which[3];
        if (in_fd >= 0) { p[n] = {in_fd, POLLOUT, 0}; which[n++] = &in_fd; }
        if (out_fd >= 0) { p[n] = {out_fd, POLLIN, 0}; which[n++] = &out_fd; }
        if (err_fd >= 0) { p[n] = {err_fd, POLLIN, 0}; which[n++] = &err_fd; }
        if (::poll(p, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; i++) {
            if (!p[i].revents) continue;
            int& fd = *which[i];
            if (&fd == &in_fd) {
                ssize_t w = ::write(fd, input.data() + sent, input.size() - sent);
                if (w > 0) sent += static_cast<size_t>(w);
                // The child may stop reading early: what it did not take is dropped.
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) fds.close(fd);
            } else {
                ssize_t r = ::read(fd, buffer, sizeof buffer);
                std::string* into = &fd == &out_fd ? output : error;
                if (r > 0) {
                    simple_io::grow_within(*into, static_cast<size_t>(r), MAX_CAPTURE + sizeof buffer);
                    into->append(buffer, static_cast<size_t>(r));
                }
                else if (r == 0 || (errno != EAGAIN && errno != EINTR)) fds.close(fd);
                // More than one value can hold: stop listening; the child's
                // next write to that stream fails.
                if (fd >= 0 && into->size() > MAX_CAPTURE) {
                    overflow = true;
                    fds.close(fd);
                }
            }
        }
    }
    return overflow;
}

}  // namespace

SpawnResult spawn(const std::string& command, bool wait, bool console, bool shell, Redirect& in, Redirect& out,
                  Redirect& err) {
    reap_unwaited();
    SpawnResult result;
    Fds fds;
    bool redirected = in.kind != Redirect::unused || out.kind != Redirect::unused || err.kind != Redirect::unused;
    if (redirected || console) wait = true;

    int null_in = -1, null_out = -1;
    if (!console) {
        null_in = fds.add(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        null_out = fds.add(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (null_in < 0 || null_out < 0) return result;
    }
    // The child's ends and the caller's ends of the three streams.
    int child[3] = {null_in, null_out, null_out};
    int feed = -1, drain_out = -1, drain_err = -1;
    if (in.kind == Redirect::file) {
        child[0] = fds.add(::open(in.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (child[0] < 0) return result;
    } else if (in.kind == Redirect::pipe) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return result;
        child[0] = fds.add(p[0]);
        feed = fds.add(p[1]);
    }
    Redirect* outs[2] = {&out, &err};
    int* drains[2] = {&drain_out, &drain_err};
    for (int k = 0; k < 2; k++) {
        Redirect& r = *outs[k];
        if (r.kind == Redirect::file) {
            child[k + 1] = fds.add(::open(r.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
            if (child[k + 1] < 0) return result;  // output with nowhere to go is a failure, not silence
        } else if (r.kind == Redirect::pipe) {
            int p[2];
            if (::pipe2(p, O_CLOEXEC) != 0) return result;
            child[k + 1] = fds.add(p[1]);
            *drains[k] = fds.add(p[0]);
            r.data.clear();
        }
    }

    std::vector<std::string> args;
    if (!shell) args = split_command(command);
    pid_t pid = -1;
    int rc = ENOENT;
    if (!args.empty()) rc = start(args, child[0], child[1], child[2], pid);
    // Not a program, or a script without "#!": perhaps something the shell knows.
    if ((rc == ENOENT || rc == ENOEXEC) && !shell) shell = true;
    if (rc != 0 && shell) {
        result.shell_used = true;
        rc = start({"/bin/sh", "-c", command}, child[0], child[1], child[2], pid);
    }
    if (rc != 0) return result;

    // Only the child keeps its ends.
    for (int& c : child) fds.close(c);
    if (null_in >= 0) fds.close(null_in);
    if (null_out >= 0) fds.close(null_out);

    // Writing to a child that has stopped reading must not end the caller.
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved);
    result.too_long = pump(feed, in.data, drain_out, &out.data, drain_err, &err.data, fds);
    ::sigaction(SIGPIPE, &saved, nullptr);

    if (wait) {
        result.value = wait_for(pid);
    } else {
        unwaited.push_back(pid);
        result.value = pid;
    }
    return result;
}

}  // namespace zav::call
