// The block compressor: a small LZ77 coder with a bit-level format, used for
// compressed ZAVBIN payloads and the program image's compressed data item.
//
// A compressed item is an 8-byte header (packed size: the bytes after the
// header; unpacked size; both u32 little-endian) followed by blocks. A block
// is its unpacked length (u32 LE, 1 to BLOCK_SIZE) and a bit stream, least
// significant bit first, padded with zero bits to a byte boundary. Symbols:
// `0` + 8 bits is a literal; `1` + a length code + a distance code copies
// 3..566 bytes from 1..262,144 bytes back, never across the block's start.
#pragma once
#include "runtime/common.h"

namespace zav::crush {

constexpr u32 HEADER_SIZE = 8;
constexpr u32 BLOCK_SIZE = 0x100000;  // largest block, in unpacked bytes
constexpr u32 WINDOW = 0x40000;       // farthest match distance
constexpr u32 MIN_INPUT = 128;        // shorter inputs are never compressed

// Unpacks the compressed item of `length` bytes at `item`. Answers a buffer
// of the unpacked size + 8 bytes (free it with crush::free) holding the data,
// and stores the unpacked size in *out_size when given; answers null when the
// item is malformed, truncated, or claims more than its bytes can hold.
u8* decompress(const u8* item, size_t length, u32* out_size);
void free(u8* buffer);

// Compresses `n` bytes into `dest`, which has room for n bytes (the header
// and the blocks). Answers the bytes written (packed size + 8), or -1 when
// the data is left uncompressed: fewer than MIN_INPUT bytes, or a compressed
// form that would not be smaller than n.
i32 compress(const u8* src, u32 n, u8* dest);

}  // namespace zav::crush
