// Image transforms: pixel geometry on raw 32-bit pixel arrays, for drawing
// back-ends. An image mapped onto a convex quadrilateral with bilinear
// sampling, a rectangle copied out of an array, and packed YUV 4:2:2 camera
// data converted to pixels; copy_region ties them to image! values.
#pragma once
#include <vector>

#include "runtime/cell.h"

namespace zav::image {

// Four corners: top-left, top-right, bottom-right, bottom-left (clockwise on
// a screen whose y grows downwards).
struct Quad {
    float x[4];
    float y[4];
};

// Where a transformed picture goes: its top-left corner and size; a
// negative width or height says it is mirrored in that direction.
struct Placement {
    i32 x = 0, y = 0, w = 0, h = 0;
};

// True unless the point is left of an edge (outside a clockwise quad).
bool point_in_quad_q(const Quad& quad, float x, float y);
// Each point's x (or y) reflected about the given coordinate.
void mirror_quad_x(Quad& quad, float x);
void mirror_quad_y(Quad& quad, float y);

// Copies the rectangle at x, y of w x h (clipped to the source) into the
// packed target; false, copying nothing, when x, y lies outside the source.
bool copy_rect_pixels(const u32* source, u32 width, u32 height, i32 x, i32 y, u32 w, u32 h, u32* target);

// The source mapped onto the quad: the pixels of the quad's bounding box
// (zero outside the quad), its place in `out`. Empty for an empty source,
// or a box that is not finite or larger than an image can be.
std::vector<u32> transform(const u32* source, u32 width, u32 height, const Quad& quad, Placement& out);
// The source scaled to w x h by the same sampling; empty unless the
// result is exactly that size.
std::vector<u32> scale_pixels(const u32* source, u32 width, u32 height, u32 w, u32 h);

// Packed YUYV (4 bytes a pair of pixels) to opaque pixel words.
void yuyv_to_rgb(u32 width, u32 height, const u8* source, u32* target);

// The image (or its crop: two pair! cells, offset then size) mapped onto
// the target given by `count` points (pair! or point2D!) from `points`: one
// point places it unscaled, two are opposite corners, three a
// parallelogram's corner and its two neighbours, four every corner. The new
// image! goes into `result` with its placement, or none there when there is
// nothing to draw (another point count, a crop outside the image).
Cell* copy_region(Cell* image, Cell* result, const Cell* crop, const Cell* points, u32 count, Placement& out);

}  // namespace zav::image
