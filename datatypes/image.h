// image!: a two-dimensional array of 32-bit pixels (datatypes/imaging.h)
// reached through a series-like value with a head position.
//
// An image cell: header 53, data1 the head as a pixel index (row-major from
// 0), data2 the node of the pixel buffer, data3 the size: width in the low 16
// bits, height in the high 16.
#pragma once
#include "runtime/cell.h"

namespace zav::image {

// Container formats, as the codecs number them.
enum Format : i32 { IMAGE_BMP = 0, IMAGE_PNG = 1, IMAGE_GIF = 2, IMAGE_JPEG = 3, IMAGE_TIFF = 4 };

// The pixels from pixel 0 as a new binary! pushed on the value stack: mode 0
// one byte a pixel (alpha, inverted), 1 three bytes (red, green, blue), 2
// the four bytes of each pixel word as they are.
Cell* extract_data(Cell* image, i32 mode);

// Sets the n words of the block to successive pixels (tuples) from the
// image's position; none past the last pixel.
void get_pixels(Cell* words, Cell* image, i32 n);

// True when the binary, from its head, starts with an image file's signature.
bool known_format_q(const Cell* binary);
// A new image! pushed on the stack from a binary (none when it carries no
// known signature; access/bad-media when it does not decode) or from a
// file! (access/cannot-open when it cannot be read or decoded, and for any
// other value, which names no file). A format
// whose library is missing raises access/no-codec.
Cell* decode(Cell* data);
// The image encoded in a format as a new binary!, written into `where` when
// given, else pushed. An image of width or height 0 raises access/bad-media.
Cell* encode(Cell* image, Cell* where, i32 format);

// A new image! of width x height pushed on the stack, each pixel taken from
// the nearest of the image's (a drawing back-end fits pictures to its cells).
Cell* resize(Cell* image, u32 width, u32 height);

void init();

}  // namespace zav::image
