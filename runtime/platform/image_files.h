// Image files in memory: the five container formats recognised by their
// signature, decoded into 32-bit pixels and encoded from them. PNG, JPEG, GIF
// and TIFF go through libpng, libjpeg-turbo, giflib and libtiff, opened on
// first use; BMP is read and written here.
//
// A pixel is one 32-bit word: blue in bits 0-7, green 8-15, red 16-23 and
// alpha 24-31, 255 opaque, colour not premultiplied; rows top to bottom.
#pragma once
#include <string>

#include "runtime/common.h"

namespace zav::image_files {

// Container formats, numbered as the image datatype numbers them.
enum Format : i32 { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4, FORMAT_COUNT = 5 };

// The format whose signature the bytes begin with, or -1. A run of bytes
// shorter than a signature does not match it.
i32 format_of(const u8* bytes, size_t length);
// "png", "jpeg", "bmp", "gif", "tiff".
const char* name_of(i32 format);

// Where decoded pixels go. Called once, after the header was read and the
// size is known (width and height at least 1), for width x height words;
// answers null to stop the decoding (the caller then knows why).
using Sink = u32* (*)(void* context, u32 width, u32 height);

enum class Status {
    ok,
    corrupt,     // not a valid file of its format, truncated, or a feature it cannot hold
    stopped,     // the sink answered null
    no_library,  // the format's library is not installed
};

// Decodes the first image of the bytes, whose format is told by their
// signature (unknown bytes are corrupt). Every pixel the sink's buffer holds
// is written when the answer is ok; on any other answer the buffer's content
// is undefined. Never reads outside the bytes.
Status decode(const u8* bytes, size_t length, Sink sink, void* context);

// Encodes width x height pixels (both at least 1) in a format into `out`.
// JPEG drops alpha; GIF keeps up to 256 colours (more are reduced) and makes
// pixels below half opacity transparent. Answers ok, no_library, or corrupt
// when the library refused.
Status encode(i32 format, const u32* pixels, u32 width, u32 height, std::string& out);

}  // namespace zav::image_files
