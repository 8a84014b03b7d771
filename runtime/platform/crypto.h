// The platform's digest provider and secure random source: MD5 and the SHA
// family from libcrypto, random bytes from the kernel. Every operation
// answers whether it succeeded; callers raise the error.
#pragma once
#include "runtime/common.h"

namespace zav::crypto {

// Algorithm codes shared with the checksum methods.
enum Code : i32 { TCP = 0, CRC32 = 1, MD5 = 2, SHA1 = 3, SHA256 = 4, SHA384 = 5, SHA512 = 6 };
constexpr u32 MAX_DIGEST = 64;

// Bytes of the digest of a code (0 for codes that are not digests).
u32 digest_size(i32 code);
// Input block size of a digest, which HMAC pads its key to.
u32 block_size(i32 code);

// Writes the digest of [bytes, bytes + length) into `out` (room for
// MAX_DIGEST bytes); false for a code that is not a digest or any failure.
bool digest(const u8* bytes, size_t length, i32 code, u8* out);
// HMAC of the data under the key with the digest of `code` into `out`.
bool hmac(const u8* data, size_t length, const u8* key, size_t key_length, i32 code, u8* out);
// Fills the buffer from the kernel's secure source; false when it cannot.
bool random_bytes(u8* buffer, size_t length);

}  // namespace zav::crypto
