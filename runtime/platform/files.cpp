// Files and folders over POSIX calls.
#include "runtime/platform/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zav::simple_io {

namespace {

// Reads of special files grow their buffer by this much at a time: a pipe's
// default capacity, so one read takes what a full pipe holds.
constexpr size_t CHUNK = 64 * 1024;

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool pwrite_all(int fd, const u8* p, u64 n, u64 offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n > (1u << 30) ? (1u << 30) : n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<u64>(w);
        offset += static_cast<u64>(w);
    }
    return true;
}

mode_t current_umask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// The folder part of a path ("." when it has none) and the last name.
void split_path(const std::string& path, std::string& dir, std::string& name) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

// Replaces the file through a new file renamed into place. Answers 1 on
// success, 0 on failure, -1 when no new file can be made in the folder.
int replace_file(const std::string& path, std::string_view bytes, const struct stat* old) {
    std::string dir, name;
    split_path(path, dir, name);
    std::string temp = dir + "/." + name + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    Fd guard(fd);
    bool ok = write_all(fd, bytes);
    if (ok) {
        if (old) {
            ok = ::fchmod(fd, old->st_mode & 07777) == 0;
            if (ok && ::geteuid() == 0) (void)!::fchown(fd, old->st_uid, old->st_gid);
        } else {
            ok = ::fchmod(fd, 0666 & ~current_umask()) == 0;
        }
    }
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok ? 1 : 0;
}

}  // namespace

int open_file(const char* path, u32 flags) {
    int mode = O_CLOEXEC;
    if (flags & OPEN_READ) {
        mode |= O_RDONLY;
    } else {
        // Writing at an offset reads back what it covers, to undo a failed write.
        mode |= (flags & OPEN_SEEK ? O_RDWR : O_WRONLY) | O_CREAT;
        if (flags & OPEN_APPEND) mode |= O_APPEND;
        else if (!(flags & OPEN_SEEK)) mode |= O_TRUNC;
    }
    int fd;
    do {
        fd = ::open(path, mode, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

i64 file_size_q(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    return S_ISREG(st.st_mode) ? static_cast<i64>(st.st_size) : 0;
}

bool seek_file(int fd, u64 offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }

i64 read_data(int fd, u8* buffer, u64 count) {
    u64 done = 0;
    while (done < count) {
        u64 want = std::min<u64>(count - done, 1u << 30);
        ssize_t r = ::read(fd, buffer + done, want);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<u64>(r);
    }
    return static_cast<i64>(done);
}

i64 write_data(int fd, const u8* buffer, u64 count) {
    u64 done = 0;
    while (done < count) {
        u64 want = std::min<u64>(count - done, 1u << 30);
        ssize_t w = ::write(fd, buffer + done, want);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<u64>(w);
    }
    return static_cast<i64>(done);
}

void close_file(int fd) {
    if (fd >= 0) ::close(fd);
}

bool file_exists_q(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0;
}

bool directory_q(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_dir(const char* path) { return ::mkdir(path, 0777) == 0; }

ReadResult read_file(const char* path, i64 part, i64 seek, std::string& out) {
    out.clear();
    Fd f(open_file(path, OPEN_READ));
    if (f.fd < 0) return ReadResult::cannot_open;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || S_ISDIR(st.st_mode)) return ReadResult::cannot_open;
    if (part == 0) return ReadResult::ok;
    u64 skip = seek > 0 ? static_cast<u64>(seek) : 0;
    u64 limit = part > 0 ? static_cast<u64>(part) : UINT64_MAX;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        u64 size = static_cast<u64>(st.st_size);
        if (skip >= size) return ReadResult::ok;  // past the end: nothing to read
        size = std::min(size - skip, limit);
        if (size > MAX_CONTENT) return ReadResult::too_long;
        if (skip && !seek_file(f.fd, skip)) return ReadResult::cannot_open;
        out.resize(size);
        i64 n = read_data(f.fd, reinterpret_cast<u8*>(out.data()), size);
        if (n < 0) return ReadResult::cannot_open;
        out.resize(static_cast<size_t>(n));  // the file may have shrunk meanwhile
        return ReadResult::ok;
    }
    // Devices, pipes and files whose size is not known: one pass to the end,
    // dropping what lies before the seek (such files cannot be rewound).
    for (;;) {
        size_t have = out.size();
        if (have >= limit) break;
        if (have > MAX_CONTENT) return ReadResult::too_long;
        out.resize(have + CHUNK);
        u64 want = std::min<u64>(CHUNK, limit - have);
        ssize_t r = ::read(f.fd, out.data() + have, want);
        if (r < 0 && errno == EINTR) {
            out.resize(have);
            continue;
        }
        if (r < 0) return ReadResult::cannot_open;
        out.resize(have + static_cast<size_t>(r));
        if (r == 0) break;
        if (skip) {
            size_t drop = static_cast<size_t>(std::min<u64>(skip, out.size()));
            out.erase(0, drop);
            skip -= drop;
        }
    }
    if (out.size() > MAX_CONTENT) return ReadResult::too_long;
    return ReadResult::ok;
}

bool write_all(int fd, std::string_view bytes) {
    return write_data(fd, reinterpret_cast<const u8*>(bytes.data()), bytes.size()) == static_cast<i64>(bytes.size());
}

bool write_file(const char* path, std::string_view bytes, i64 seek, bool append) {
    if (append || seek >= 0) {
        Fd f(open_file(path, append ? OPEN_APPEND : OPEN_SEEK));
        if (f.fd < 0) return false;
        struct stat st {};
        if (::fstat(f.fd, &st) != 0) return false;
        if (!S_ISREG(st.st_mode)) return write_all(f.fd, bytes);
        u64 old_size = static_cast<u64>(st.st_size);
        u64 at = append ? old_size : static_cast<u64>(seek);
        // What the write covers of the old content, to put back on failure.
        std::string saved;
        if (at < old_size) {
            saved.resize(static_cast<size_t>(std::min<u64>(bytes.size(), old_size - at)));
            if (::pread(f.fd, saved.data(), saved.size(), static_cast<off_t>(at)) != static_cast<ssize_t>(saved.size()))
                return false;
        }
        bool ok = append ? write_all(f.fd, bytes)
                         : pwrite_all(f.fd, reinterpret_cast<const u8*>(bytes.data()), bytes.size(), at);
        if (!ok) {
            pwrite_all(f.fd, reinterpret_cast<const u8*>(saved.data()), saved.size(), at);
            (void)!::ftruncate(f.fd, static_cast<off_t>(old_size));
        }
        return ok;
    }
    std::string target = path;
    struct stat st {};
    bool exists = ::lstat(path, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        // Write through the link to the file it names; the link stays.
        char* real = ::realpath(path, nullptr);
        if (real) {
            target = real;
            std::free(real);
            exists = ::lstat(target.c_str(), &st) == 0;
        } else {
            exists = false;  // a dangling link: its target is made below
            Fd f(open_file(path, 0));
            return f.fd >= 0 && write_all(f.fd, bytes);
        }
    }
    if (exists && S_ISDIR(st.st_mode)) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes are written to, never replaced.
        Fd f(open_file(target.c_str(), 0));
        return f.fd >= 0 && write_all(f.fd, bytes);
    }
    int done = replace_file(target, bytes, exists ? &st : nullptr);
    if (done >= 0) return done == 1;
    // No new file can be made in the folder, yet the file itself may be writable.
    if (!exists) return false;
    Fd f(open_file(target.c_str(), 0));
    return f.fd >= 0 && write_all(f.fd, bytes);
}

bool read_dir(const char* path, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(path);
    if (!d) return false;
    int dfd = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            dir = ::fstatat(dfd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (dir) name += '/';
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

bool delete_(const char* path, bool dir) { return (dir ? ::rmdir(path) : ::unlink(path)) == 0; }

bool rename(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // The file system cannot refuse to replace by itself.
    struct stat st {};
    if (::lstat(to, &st) == 0) return false;
    return ::rename(from, to) == 0;
}

bool modified_time(const char* path, i64& seconds, i32& nanoseconds) {
    struct stat st {};
    if (::stat(path, &st) != 0) return false;
    seconds = static_cast<i64>(st.st_mtim.tv_sec);
    nanoseconds = static_cast<i32>(st.st_mtim.tv_nsec);
    return true;
}

}  // namespace zav::simple_io
