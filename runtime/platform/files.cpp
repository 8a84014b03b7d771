// Files and folders over POSIX calls.
#include "runtime/platform/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

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

// The error of the last write that failed, for last_write_error.
int write_error = 0;

bool pwrite_all(int fd, const u8* p, u64 n, u64 offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n > (1u << 30) ? (1u << 30) : n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            write_error = errno;
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

// The named temporary file that exists while a file is replaced, if any, for
// a fatal signal's handler to remove (see remove_temporary_file).
char pending_temp[PATH_MAX + 1];
volatile sig_atomic_t pending_set = 0;

struct PendingTemp {
    explicit PendingTemp(const std::string& p) {
        if (p.size() >= sizeof pending_temp) return;
        std::memcpy(pending_temp, p.c_str(), p.size() + 1);
        pending_set = 1;
    }
    ~PendingTemp() { pending_set = 0; }
};

// A temporary name beside the target: a dot, at most 24 bytes of the name
// (cut between characters) and six random letters. Short, so that a target
// whose name is near the 255-byte limit still has one.
std::string temp_name(const std::string& dir, const std::string& name) {
    size_t keep = std::min<size_t>(name.size(), 24);
    while (keep > 0 && keep < name.size() && (static_cast<u8>(name[keep]) & 0xC0) == 0x80) keep--;
    std::string temp = dir + "/." + name.substr(0, keep) + ".";
    u8 random[6] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        u64 t = static_cast<u64>(::getpid()) * 2654435761u ^ static_cast<u64>(::time(nullptr));
        for (u8& r : random) r = static_cast<u8>(t), t >>= 8;
    }
    for (u8 r : random) temp += "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[r % 62];
    return temp;
}

// Sets the new file's permissions (the old file's, else the usual ones for a
// new file) and, for root, its owner.
bool take_mode(int fd, const struct stat* old) {
    if (!old) return ::fchmod(fd, 0666 & ~current_umask()) == 0;
    if (::fchmod(fd, old->st_mode & 07777) != 0) return false;
    if (::geteuid() == 0) (void)!::fchown(fd, old->st_uid, old->st_gid);
    return true;
}

// Writes every piece of the source; false on failure.
bool write_pieces(int fd, ByteSource& bytes) {
    bytes.rewind();
    for (std::string_view p; !(p = bytes.piece()).empty();)
        if (!write_all(fd, p)) return false;
    return true;
}

// Replaces the file through a new file renamed into place. Answers 1 on
// success, 0 on failure, -1 when no new file can be made in the folder.
// The new file has no name while it is written (O_TMPFILE), so that nothing
// is left behind whatever ends the process; it is named just before the
// rename. Where the file system cannot do that, it is written under its
// temporary name, removed on every failure.
int replace_file(const std::string& path, ByteSource& bytes, const struct stat* old) {
    std::string dir, name;
    split_path(path, dir, name);
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        Fd guard(fd);
        if (!write_pieces(fd, bytes) || !take_mode(fd, old)) return 0;
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        for (int attempt = 0; attempt < 100; attempt++) {
            std::string temp = temp_name(dir, name);
            PendingTemp pending(temp);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST) continue;
                break;  // no /proc: write it again under a name
            }
            bool ok = ::rename(temp.c_str(), path.c_str()) == 0;
            if (!ok) ::unlink(temp.c_str());
            return ok ? 1 : 0;
        }
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string temp = temp_name(dir, name);
        PendingTemp pending(temp);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        Fd guard(fd);
        bool ok = write_pieces(fd, bytes) && take_mode(fd, old) && ::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok) ::unlink(temp.c_str());
        return ok ? 1 : 0;
    }
    return -1;
}

// Writes `bytes` at `at` (at the end when appending) in the file itself,
// cutting it after them when `cut`. What the write covers is read first and
// put back, and the old size restored, when it fails; room past the old end
// is reserved before any old byte is overwritten. So a full disk or a size
// limit leaves the old content.
bool write_in_place(int fd, std::string_view bytes, u64 at, bool append, bool cut) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return write_all(fd, bytes);
    u64 old_size = static_cast<u64>(st.st_size);
    if (append) at = old_size;
    u64 end = at + bytes.size();
    auto restore_size = [&] { (void)!::ftruncate(fd, static_cast<off_t>(old_size)); };
    if (!append && end > old_size) {
        int err = ::posix_fallocate(fd, static_cast<off_t>(old_size), static_cast<off_t>(end - old_size));
        if (err != 0 && err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
            write_error = err;
            restore_size();
            return false;
        }
    }
    std::string saved;
    if (at < old_size) {
        saved.resize(static_cast<size_t>(std::min<u64>(bytes.size(), old_size - at)));
        if (::pread(fd, saved.data(), saved.size(), static_cast<off_t>(at)) != static_cast<ssize_t>(saved.size())) {
            restore_size();
            return false;
        }
    }
    bool ok = append ? write_all(fd, bytes)
                     : pwrite_all(fd, reinterpret_cast<const u8*>(bytes.data()), bytes.size(), at);
    if (ok && cut && end < old_size) ok = ::ftruncate(fd, static_cast<off_t>(end)) == 0;
    if (!ok) {
        pwrite_all(fd, reinterpret_cast<const u8*>(saved.data()), saved.size(), at);
        restore_size();
    }
    return ok;
}

// When the path leads, through links, to an entry of a process's descriptor
// folder (/proc/PID/fd/N, where /dev/stdout, /dev/fd/N and /proc/self/fd/N
// lead): the descriptor's number, and whether it is this process's own.
// Such an entry is no file's own name: the file behind it may have none.
bool names_descriptor(const char* path, int& number, bool& own) {
    struct stat st {};
    if (::lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return false;  // descriptor entries are links
    std::string p = path;
    for (int hop = 0; hop < 40; hop++) {
        std::string dir, name;
        split_path(p, dir, name);
        char* real = ::realpath(dir.c_str(), nullptr);
        if (!real) return false;
        std::string folder = real;
        std::free(real);
        // /proc/PID/fd or /proc/PID/task/TID/fd
        unsigned long pid = 0;
        int used = 0;
        if (std::sscanf(folder.c_str(), "/proc/%lu/%n", &pid, &used) == 1 && used > 0) {
            std::string rest = folder.substr(static_cast<size_t>(used));
            unsigned long tid = 0;
            int tail = 0;
            bool fd_folder = rest == "fd" || (std::sscanf(rest.c_str(), "task/%lu/fd%n", &tid, &tail) == 1 &&
                                              static_cast<size_t>(tail) == rest.size());
            if (fd_folder && !name.empty() && name.find_first_not_of("0123456789") == std::string::npos &&
                name.size() < 10) {
                number = std::atoi(name.c_str());
                own = pid == static_cast<unsigned long>(::getpid());
                return true;
            }
        }
        std::string full = folder == "/" ? "/" + name : folder + "/" + name;
        if (::lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
        char target[PATH_MAX + 1];
        ssize_t n = ::readlink(full.c_str(), target, PATH_MAX);
        if (n <= 0) return false;
        target[n] = 0;
        p = target[0] == '/' ? std::string(target) : folder + "/" + target;
    }
    return false;
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
            write_error = errno;
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

void grow_within(std::string& text, size_t more, u64 most) {
    size_t need = text.size() + more;
    if (need <= text.capacity()) return;
    u64 want = std::max<u64>({need, u64(text.capacity()) * 2, CHUNK});
    std::string bigger;
    bigger.reserve(static_cast<size_t>(std::max<u64>(std::min<u64>(want, most), need)));  // a fresh string takes it exactly
    bigger.append(text);
    text.swap(bigger);
}

namespace {

// read_file's start: the file opened, checked and, when regular, positioned
// at the seek. ok with *size the bytes to read from a regular file (0 for
// others, read to their end), or the result to answer at once: `done` set
// for a file with nothing to read.
ReadResult open_to_read(const char* path, i64 part, i64 seek, u64 most, Fd& f, u64* size, u64* skip, u64* limit,
                        bool* done) {
    *done = false;
    *size = 0;
    f.fd = open_file(path, OPEN_READ);
    if (f.fd < 0) return ReadResult::cannot_open;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || S_ISDIR(st.st_mode)) return ReadResult::cannot_open;
    *done = part == 0;
    if (*done) return ReadResult::ok;
    *skip = seek > 0 ? static_cast<u64>(seek) : 0;
    *limit = part > 0 ? static_cast<u64>(part) : UINT64_MAX;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        u64 n = static_cast<u64>(st.st_size);
        *done = *skip >= n;  // past the end: nothing to read
        if (*done) return ReadResult::ok;
        *size = std::min(n - *skip, *limit);
        if (*size > most) return ReadResult::too_long;
        if (*skip && !seek_file(f.fd, *skip)) return ReadResult::cannot_open;
    }
    return ReadResult::ok;
}

// Devices, pipes and files whose size is not known: one pass to the end,
// dropping what lies before the seek (such files cannot be rewound). The
// room asked for doubles, but never past `most` bytes and a chunk.
ReadResult read_to_end(int fd, u64 skip, u64 limit, u64 most, ReadInto& into) {
    u64 have = 0, capacity = 0;
    u8* buffer = nullptr;
    for (;;) {
        if (have >= limit) break;
        if (have > most) return ReadResult::too_long;
        if (capacity - have < CHUNK) {
            capacity = std::max<u64>(std::min<u64>(std::max<u64>(capacity * 2, CHUNK), most + CHUNK), have + CHUNK);
            buffer = into.room(capacity);
        }
        u64 want = std::min<u64>(CHUNK, limit - have);
        ssize_t r = ::read(fd, buffer + have, want);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return ReadResult::cannot_open;
        have += static_cast<u64>(r);
        if (r == 0) break;
        if (skip) {
            u64 drop = std::min<u64>(skip, have);
            std::memmove(buffer, buffer + drop, have - drop);
            have -= drop;
            skip -= drop;
        }
    }
    if (have > most) return ReadResult::too_long;
    into.done(have);
    return ReadResult::ok;
}

}  // namespace

ReadResult read_file(const char* path, i64 part, i64 seek, ReadInto& into, u64 most) {
    most = std::min<u64>(most, MAX_CONTENT);
    into.done(0);
    Fd f(-1);
    u64 size, skip, limit;
    bool done;
    ReadResult r = open_to_read(path, part, seek, most, f, &size, &skip, &limit, &done);
    if (r != ReadResult::ok || done) return r;
    if (!size) return read_to_end(f.fd, skip, limit, most, into);
    i64 n = read_data(f.fd, into.room(size), size);
    if (n < 0) return ReadResult::cannot_open;
    into.done(static_cast<u64>(n));  // the file may have shrunk meanwhile
    return ReadResult::ok;
}

ReadResult read_file(const char* path, i64 part, i64 seek, ReadPieces& to, u64 most) {
    most = std::min<u64>(most, MAX_CONTENT);
    Fd f(-1);
    u64 size, skip, limit;
    bool done;
    ReadResult r = open_to_read(path, part, seek, most, f, &size, &skip, &limit, &done);
    if (r != ReadResult::ok || done) {
        if (r == ReadResult::ok) to.size(0);
        return r;
    }
    if (!size) {
        // Read whole, then given as one piece.
        ReadScratch whole;
        r = read_to_end(f.fd, skip, limit, most, whole);
        if (r != ReadResult::ok) return r;
        to.size(whole.size());
        to.take(whole.bytes(), whole.size(), true);
        return r;
    }
    to.size(size);
    constexpr u64 PIECE = 1u << 18;
    std::unique_ptr<u8[]> piece(new u8[PIECE]);
    u64 kept = 0;
    for (u64 left = size;;) {
        i64 n = read_data(f.fd, piece.get() + kept, std::min(left, PIECE - kept));
        if (n < 0) return ReadResult::cannot_open;
        left -= static_cast<u64>(n);
        const u64 have = kept + static_cast<u64>(n);
        const bool last = left == 0 || n == 0;  // n == 0: the file shrank meanwhile
        kept = to.take(piece.get(), have, last);
        if (last) break;
        std::memmove(piece.get(), piece.get() + have - kept, kept);
    }
    return ReadResult::ok;
}

u8* ReadScratch::room(u64 n) {
    if (n > capacity_) {
        std::unique_ptr<u8[]> bigger(new u8[n]);
        if (capacity_) std::memcpy(bigger.get(), bytes_.get(), capacity_);
        bytes_ = std::move(bigger);
        capacity_ = n;
    }
    return bytes_.get();
}

ReadResult read_file(const char* path, i64 part, i64 seek, std::string& out, u64 most) {
    struct IntoString final : ReadInto {
        std::string& s;
        explicit IntoString(std::string& to) : s(to) {}
        u8* room(u64 n) override {
            s.resize(n);
            return reinterpret_cast<u8*>(s.data());
        }
        void done(u64 n) override { s.resize(n); }
    } into(out);
    return read_file(path, part, seek, into, most);
}

bool write_all(int fd, std::string_view bytes) {
    return write_data(fd, reinterpret_cast<const u8*>(bytes.data()), bytes.size()) == static_cast<i64>(bytes.size());
}

int last_write_error() { return write_error; }

bool write_file(const char* path, ByteSource& bytes, i64 seek, bool append) {
    write_error = 0;
    int number = -1;
    bool own = false;
    if (names_descriptor(path, number, own)) {
        // This process's descriptor is written as it stands, at its own
        // position (standard output goes on after what was printed); another
        // process's is opened anew, never cut.
        if (own) {
            if (seek >= 0) return write_in_place(number, bytes.all(), static_cast<u64>(seek), false, false);
            return write_pieces(number, bytes);
        }
        Fd f(open_file(path, seek >= 0 ? OPEN_SEEK : OPEN_APPEND));
        return f.fd >= 0 && write_in_place(f.fd, bytes.all(), seek >= 0 ? static_cast<u64>(seek) : 0, seek < 0, false);
    }
    if (append || seek >= 0) {
        Fd f(open_file(path, append ? OPEN_APPEND : OPEN_SEEK));
        return f.fd >= 0 && write_in_place(f.fd, bytes.all(), seek >= 0 ? static_cast<u64>(seek) : 0, append, false);
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
            return f.fd >= 0 && write_pieces(f.fd, bytes);
        }
    }
    if (exists && S_ISDIR(st.st_mode)) return false;
    // A file the user may not write stays as it is, as open would refuse it:
    // being able to write its folder does not make it writable.
    if (exists && ::access(target.c_str(), W_OK) != 0) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes are written to, never replaced.
        Fd f(open_file(target.c_str(), 0));
        return f.fd >= 0 && write_pieces(f.fd, bytes);
    }
    int done = replace_file(target, bytes, exists ? &st : nullptr);
    if (done >= 0) return done == 1;
    // No new file can be made in the folder, yet the file itself may be
    // writable: it is changed in place, its old content kept on failure.
    if (!exists) return false;
    int fd;
    do {
        fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    Fd f(fd);
    return f.fd >= 0 && write_in_place(f.fd, bytes.all(), 0, false, true);
}

bool write_file(const char* path, std::string_view bytes, i64 seek, bool append) {
    struct Whole final : ByteSource {
        std::string_view bytes;
        bool given = false;
        std::string_view piece() override { return std::exchange(given, true) ? std::string_view{} : bytes; }
        void rewind() override { given = false; }
        std::string_view all() override { return bytes; }
    } whole;
    whole.bytes = bytes;
    return write_file(path, whole, seek, append);
}

void remove_temporary_file() {
    if (pending_set) ::unlink(pending_temp);
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
