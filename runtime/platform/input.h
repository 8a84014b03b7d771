// Standard input when it is redirected: read in blocks, not a byte per call,
// yet shared with every other reader of the descriptor in the process.
#pragma once
#include <sys/types.h>

#include "runtime/common.h"

namespace zav::input {

// The next byte of the descriptor, or -1 at its end (or when it fails).
int next_byte(int fd);
// Up to `count` bytes: first those read ahead, then at most one read of the
// descriptor. The bytes taken, 0 at the end, -1 on failure.
ssize_t read_bytes(int fd, u8* out, size_t count);
// Before another reader takes the descriptor (a child process): a seekable
// one gets its offset moved back over the bytes read ahead, which are
// dropped here; from a pipe they cannot go back and stay for this process.
void give_back(int fd);

}  // namespace zav::input
