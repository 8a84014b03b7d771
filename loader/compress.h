// DEFLATE (RFC 1951) with the zlib (RFC 1950) and gzip (RFC 1952) framings.
//
// The entry points work on caller-supplied buffers with a needed-size
// protocol: `size` holds the output's capacity on entry and the bytes written
// (or, when the output was too small, the bytes needed) on return. Writes
// past the capacity are suppressed but counted; a null output with capacity 0
// is a sizing pass. Results are codes, never raised errors.
#pragma once
#include <cstdlib>
#include <memory>

#include "runtime/common.h"

namespace zav::compress {

enum Result : i32 {
    OK = 0,
    TOO_SMALL = 1,          // `size` holds the needed size
    BAD_DATA = 2,           // bad format, truncated stream or failed check
    STORED_PAST_INPUT = 3,  // a stored block runs past the input
    BAD_BLOCK_TYPE = 4,     // block type 3
    BAD_DISTANCE = 5,       // a distance reaches before the output's start
};

i32 deflate(u8* dest, u32* size, const u8* src, u32 length);
i32 inflate(u8* dest, u32* size, const u8* src, u32 length);
i32 zlib_deflate(u8* dest, u32* size, const u8* src, u32 length);
i32 zlib_inflate(u8* dest, u32* size, const u8* src, u32 length);
i32 gzip(u8* dest, u32* size, const u8* src, u32 length);
i32 gunzip(u8* dest, u32* size, const u8* src, u32 length);

// Decompression into an output that grows as the data demands, for callers
// that cannot know the size in advance. `hint` is a first guess (a declared
// size is trusted only as far as the input could produce it); the output
// never grows past `limit` bytes (TOO_SMALL then).
enum class Format { deflate, zlib, gzip };
struct FreeBytes {
    void operator()(u8* p) const { std::free(p); }
};
struct Bytes {
    std::unique_ptr<u8, FreeBytes> data;
    size_t size = 0;
};
i32 decompress(Format format, const u8* src, size_t length, size_t hint, size_t limit, Bytes& out);

// The most that `length` bytes of DEFLATE data can unpack to.
constexpr u64 max_expansion(u64 length) { return length * 1032 + 1032; }

}  // namespace zav::compress
