// The imaging layer: bitmaps in series buffers, filled, copied, scaled,
// decoded from image files and encoded to them.
#include "datatypes/imaging.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "datatypes/pair.h"
#include "datatypes/tuple.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/image_files.h"

namespace zav::image {

u32* pixels_of(const Cell* image) {
    return reinterpret_cast<u32*>(GET_BUFFER(series_node(image))->head());
}

u32 tuple_pixel(const Cell* tuple) {
    Cell t = *tuple;
    const u8* b = tuple::bytes_of(&t);
    u32 alpha = tuple::size_of(&t) >= 4 ? 255u - b[3] : 255u;
    return b[2] | u32(b[1]) << 8 | u32(b[0]) << 16 | alpha << 24;
}

Cell* pixel_tuple(Cell* cell, u32 pixel) {
    const u8 bytes[4] = {static_cast<u8>(pixel >> 16), static_cast<u8>(pixel >> 8), static_cast<u8>(pixel),
                         static_cast<u8>(255 - (pixel >> 24))};
    return tuple::make_at(cell, 4, bytes);
}

Cell* make_blank(Cell* cell, i64 width, i64 height) {
    if (width > MAX_SIDE || height > MAX_SIDE || width < 0 || height < 0) {
        Cell size;
        pair::make_in(&size, static_cast<i32>(std::clamp<i64>(width, INT32_MIN, INT32_MAX)),
                      static_cast<i32>(std::clamp<i64>(height, INT32_MIN, INT32_MAX)));
        fire("script", "out-of-range", &size);
    }
    u64 count = u64(width) * u64(height);
    if (count * 4 > 0xFFFFFFF0u) fire("internal", "no-memory");
    // An image without pixels still has its (empty) buffer: every series
    // path may read the buffer of the node it is given.
    node_t node = alloc_series(count ? static_cast<u32>(count) : 1, 4, 0);
    SeriesBuffer* b = GET_BUFFER(node);
    b->tail = b->offset + static_cast<u32>(count * 4);
    return make_cell(cell, TYPE_IMAGE, 0, node, size_word(static_cast<u32>(width), static_cast<u32>(height)));
}

Cell* make_from_data(Cell* cell, i64 width, i64 height, const Cell* rgb, const Cell* alpha, const Cell* colour) {
    // The sources are read after the allocation, which may move them.
    Cell c;
    if (colour) c = *colour;
    make_blank(cell, width, height);
    u32 n = pixel_count(cell);
    u32* p = pixels_of(cell);
    if (colour) {
        std::fill(p, p + n, tuple_pixel(&c));
        return cell;
    }
    const u8* colours = nullptr;
    const u8* alphas = nullptr;
    u32 colour_count = 0, alpha_count = 0;
    if (rgb) {
        SeriesBuffer* b = GET_BUFFER(series_node(rgb));
        u32 len = b->length(), head = std::min(series_head(rgb), len);
        colours = b->head() + head;
        colour_count = (len - head) / 3;  // whole pixels only
    }
    if (alpha) {
        SeriesBuffer* b = GET_BUFFER(series_node(alpha));
        u32 len = b->length(), head = std::min(series_head(alpha), len);
        alphas = b->head() + head;
        alpha_count = len - head;
    }
    for (u32 i = 0; i < n; i++) {
        u32 a = i < alpha_count ? 255u - alphas[i] : 255u;
        u32 rgb_word = i < colour_count ? colours[3 * i + 2] | u32(colours[3 * i + 1]) << 8 | u32(colours[3 * i]) << 16
                                        : 0xFFFFFF;
        p[i] = rgb_word | a << 24;
    }
    return cell;
}

Cell* copy_rect(Cell* cell, const Cell* image, u32 x, u32 y, u32 width, u32 height) {
    Cell source = *image;
    u32 sw = width_of(&source), sh = height_of(&source);
    if (x >= sw || y >= sh) width = height = 0;
    width = std::min(width, sw - std::min(x, sw));
    height = std::min(height, sh - std::min(y, sh));
    make_blank(cell, width, height);
    const u32* from = pixels_of(&source);
    u32* to = pixels_of(cell);
    for (u32 r = 0; r < height; r++) std::memcpy(to + u64(r) * width, from + (u64(y) + r) * sw + x, u64(width) * 4);
    return cell;
}

Cell* scale(Cell* cell, const Cell* image, u32 width, u32 height) {
    Cell source = *image;
    u32 sw = width_of(&source), sh = height_of(&source);
    make_blank(cell, sw && sh ? width : 0, sw && sh ? height : 0);
    const u32* from = pixels_of(&source);
    u32* to = pixels_of(cell);
    width = width_of(cell);
    height = height_of(cell);
    // The source pixel whose area holds each target pixel's centre.
    for (u32 r = 0; r < height; r++) {
        const u32* row = from + (u64(r) * 2 + 1) * sh / (u64(height) * 2) * sw;
        for (u32 c = 0; c < width; c++) to[u64(r) * width + c] = row[(u64(c) * 2 + 1) * sw / (u64(width) * 2)];
    }
    return cell;
}

namespace {

// The decoder's pixels go straight into a new image: the cell is made when
// the size is known. An error raised there is kept until the decoder has
// returned, since it cannot pass through the C libraries.
struct Target {
    Cell* cell;
    std::exception_ptr error;
};

u32* into_target(void* context, u32 width, u32 height) {
    Target* t = static_cast<Target*>(context);
    try {
        make_blank(t->cell, width, height);
        return pixels_of(t->cell);
    } catch (...) {
        t->error = std::current_exception();
        return nullptr;
    }
}

}  // namespace

Failure decode(Cell* cell, const u8* bytes, size_t length) {
    Target target{cell, nullptr};
    image_files::Status s = image_files::decode(bytes, length, into_target, &target);
    if (target.error) std::rethrow_exception(target.error);
    switch (s) {
        case image_files::Status::ok: return Failure::none;
        case image_files::Status::no_library: return Failure::no_library;
        default: return Failure::corrupt;
    }
}

Failure encode(const Cell* image, i32 format, std::string& out) {
    switch (image_files::encode(format, pixels_of(image), width_of(image), height_of(image), out)) {
        case image_files::Status::ok: return Failure::none;
        case image_files::Status::no_library: return Failure::no_library;
        default: return Failure::corrupt;
    }
}

}  // namespace zav::image
