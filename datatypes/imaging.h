// The imaging layer: the pixel store behind every image! value, and the
// operations on whole bitmaps (filling, copying a rectangle, scaling,
// decoding and encoding files).
//
// An image's pixels live in one series buffer of 4-byte units, width x
// height of them, row-major from the top left: the collector keeps them and
// moves them as it moves any series, so a pixel pointer is good only until
// the next allocation. Each pixel is blue | green << 8 | red << 16 | alpha <<
// 24 with alpha 255 opaque and colour not premultiplied; the language's
// tuples carry alpha inverted (0 opaque), converted at the edges.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace zav::image {

// The largest width or height: both share the cell's size word.
constexpr u32 MAX_SIDE = 0xFFFF;

inline u32 width_of(const Cell* image) { return image->data3 & 0xFFFF; }
inline u32 height_of(const Cell* image) { return image->data3 >> 16; }
inline u32 pixel_count(const Cell* image) { return width_of(image) * height_of(image); }
inline u32 size_word(u32 width, u32 height) { return width | height << 16; }

// Pixel 0 of the image's bitmap.
u32* pixels_of(const Cell* image);

// The pixel word of a tuple red.green.blue[.alpha] (alpha inverted; a
// 3-byte tuple is opaque), and the 4-byte tuple of a pixel word.
u32 tuple_pixel(const Cell* tuple);
Cell* pixel_tuple(Cell* cell, u32 pixel);

// A new image! in `cell` of width x height pixels whose content is not
// set. A side above MAX_SIDE raises script/out-of-range with the size as a
// pair; one that the memory cannot hold, internal/no-memory.
Cell* make_blank(Cell* cell, i64 width, i64 height);
// A new image! filled: with a colour (a tuple!) when given, else from the
// red, green, blue bytes of `rgb` and the (inverted) alpha bytes of `alpha`
// while they last, white and opaque after them.
Cell* make_from_data(Cell* cell, i64 width, i64 height, const Cell* rgb, const Cell* alpha, const Cell* colour);
// A new image! of the rectangle (clipped to the source's bitmap).
Cell* copy_rect(Cell* cell, const Cell* image, u32 x, u32 y, u32 width, u32 height);
// A new image! of the given size, sampled from the image's nearest pixels.
Cell* scale(Cell* cell, const Cell* image, u32 width, u32 height);

// Decodes the bytes of an image file (its format told by its signature)
// into a new image! in `cell` (which must be where the collector sees it).
// Answers none, or why it failed: bytes that are not a whole, valid file of
// a known format, or a format whose library is not installed. Raises what
// make_blank raises for a size it cannot hold.
enum class Failure { none, corrupt, no_library };
Failure decode(Cell* cell, const u8* bytes, size_t length);
// Encodes the whole bitmap (width and height at least 1) in a format
// (image_files::Format) into `out`.
Failure encode(const Cell* image, i32 format, std::string& out);

}  // namespace zav::image
