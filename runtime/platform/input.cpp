// Standard input read ahead in blocks.
#include "runtime/platform/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace zav::input {

namespace {

constexpr size_t BLOCK = 65536;

// Bytes read ahead of what was taken, for one descriptor at a time.
int ahead_fd = -1;
u8 ahead[BLOCK];
size_t ahead_pos = 0, ahead_end = 0;

size_t buffered(int fd) { return fd == ahead_fd ? ahead_end - ahead_pos : 0; }

// One read into the buffer; false at the end or on failure.
bool fill(int fd) {
    if (fd != ahead_fd) give_back(ahead_fd);
    ahead_fd = fd;
    ahead_pos = ahead_end = 0;
    for (;;) {
        ssize_t r = ::read(fd, ahead, BLOCK);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ahead_end = static_cast<size_t>(r);
        return true;
    }
}

}  // namespace

int next_byte(int fd) {
    if (!buffered(fd) && !fill(fd)) return -1;
    return ahead[ahead_pos++];
}

ssize_t read_bytes(int fd, u8* out, size_t count) {
    if (count == 0) return 0;
    if (size_t have = buffered(fd)) {
        size_t n = std::min(have, count);
        std::memcpy(out, ahead + ahead_pos, n);
        ahead_pos += n;
        return static_cast<ssize_t>(n);
    }
    for (;;) {
        ssize_t r = ::read(fd, out, count);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

void give_back(int fd) {
    if (fd < 0 || fd != ahead_fd) return;
    size_t have = ahead_end - ahead_pos;
    if (have && ::lseek(fd, -static_cast<off_t>(have), SEEK_CUR) < 0) return;  // a pipe: they stay
    ahead_fd = -1;
    ahead_pos = ahead_end = 0;
}

}  // namespace zav::input
