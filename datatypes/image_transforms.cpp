// Image transforms: quadrilateral mapping with bilinear sampling, rectangle
// copies, YUYV conversion, and the transformed copy of an image! value.
#include "datatypes/image_transforms.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "datatypes/imaging.h"
#include "datatypes/pair.h"
#include "datatypes/point2d.h"

namespace zav::image {

namespace {

// 2-D vectors in doubles.
struct Vec {
    double x, y;
};
double vector_length(Vec v) { return std::sqrt(v.x * v.x + v.y * v.y); }
Vec vector_normalise(Vec v) {
    double n = vector_length(v);
    return {v.x / n, v.y / n};
}
Vec vector_from_to(double ax, double ay, double bx, double by) { return {bx - ax, by - ay}; }
double cross(Vec a, Vec b) { return a.x * b.y - a.y * b.x; }

// A float truncated toward zero into `out`; false for NaN or a value
// outside 32 bits, which no pixel coordinate can be.
bool truncated(double f, i32& out) {
    if (!(f > -2147483649.0 && f < 2147483648.0)) return false;
    out = static_cast<i32>(f);
    return true;
}

}  // namespace

bool point_in_quad_q(const Quad& q, float x, float y) {
    for (u32 i = 0; i < 4; i++) {
        u32 j = (i + 1) % 4;
        Vec to_point = vector_from_to(q.x[i], q.y[i], x, y);
        Vec edge = vector_from_to(q.x[i], q.y[i], q.x[j], q.y[j]);
        if (cross(to_point, edge) > 0.0) return false;
    }
    return true;
}

void mirror_quad_x(Quad& q, float x) {
    for (float& v : q.x) v = 2.0f * x - v;
}

void mirror_quad_y(Quad& q, float y) {
    for (float& v : q.y) v = 2.0f * y - v;
}

bool copy_rect_pixels(const u32* source, u32 width, u32 height, i32 x, i32 y, u32 w, u32 h, u32* target) {
    if (x < 0 || y < 0 || static_cast<u32>(x) >= width || static_cast<u32>(y) >= height) return false;
    w = std::min(w, width - static_cast<u32>(x));
    h = std::min(h, height - static_cast<u32>(y));
    for (u32 r = 0; r < h; r++) std::memcpy(target + u64(r) * w, source + (u64(y) + r) * width + x, u64(w) * 4);
    return true;
}

std::vector<u32> transform(const u32* source, u32 width, u32 height, const Quad& q, Placement& out) {
    out = {};
    if (width < 1 || height < 1) return {};
    float min_x = FLT_MAX, min_y = FLT_MAX, max_x = -FLT_MAX, max_y = -FLT_MAX;
    for (u32 i = 0; i < 4; i++) {
        if (!std::isfinite(q.x[i]) || !std::isfinite(q.y[i])) return {};
        min_x = std::min(min_x, q.x[i]);
        min_y = std::min(min_y, q.y[i]);
        max_x = std::max(max_x, q.x[i]);
        max_y = std::max(max_y, q.y[i]);
    }
    Placement p;
    if (!truncated(min_x, p.x) || !truncated(min_y, p.y) || !truncated(double(max_x) - min_x, p.w) ||
        !truncated(double(max_y) - min_y, p.h) || p.w > i32(MAX_SIDE) || p.h > i32(MAX_SIDE))
        return {};
    out = p;
    Vec edges[4];
    for (u32 i = 0; i < 4; i++) {
        u32 j = (i + 1) % 4;
        edges[i] = vector_normalise(vector_from_to(q.x[i], q.y[i], q.x[j], q.y[j]));
    }
    std::vector<u32> target(u64(p.w) * p.h, 0);
    for (i32 r = 0; r < p.h; r++) {
        for (i32 c = 0; c < p.w; c++) {
            float px = static_cast<float>(c + p.x), py = static_cast<float>(r + p.y);
            if (!point_in_quad_q(q, px, py)) continue;
            float d[4];
            for (u32 i = 0; i < 4; i++)
                d[i] = static_cast<float>(std::fabs(cross(vector_from_to(q.x[i], q.y[i], px, py), edges[i])));
            // The distances to opposite edges say how far across the quad
            // the point lies; a degenerate quad gives no number.
            float sx = d[3] / (d[3] + d[1]) * static_cast<float>(width);
            float sy = d[0] / (d[0] + d[2]) * static_cast<float>(height);
            if (!(sx >= 0.0f && sx < static_cast<float>(width) && sy >= 0.0f && sy < static_cast<float>(height)))
                continue;
            u32 ix = static_cast<u32>(sx), iy = static_cast<u32>(sy);
            if (ix >= width || iy >= height) continue;
            u32 ix1 = ix + 1 < width ? ix + 1 : ix, iy1 = iy + 1 < height ? iy + 1 : iy;
            float fx = std::max(sx - static_cast<float>(ix), 0.0f), fy = std::max(sy - static_cast<float>(iy), 0.0f);
            const u8* s00 = reinterpret_cast<const u8*>(source + u64(iy) * width + ix);
            const u8* s10 = reinterpret_cast<const u8*>(source + u64(iy) * width + ix1);
            const u8* s01 = reinterpret_cast<const u8*>(source + u64(iy1) * width + ix);
            const u8* s11 = reinterpret_cast<const u8*>(source + u64(iy1) * width + ix1);
            u8* t = reinterpret_cast<u8*>(&target[u64(r) * p.w + c]);
            for (u32 k = 0; k < 4; k++) {
                float v = (1 - fx) * (1 - fy) * s00[k] + fx * (1 - fy) * s10[k] + (1 - fx) * fy * s01[k] +
                          fx * fy * s11[k];
                t[k] = static_cast<u8>(std::min(v, 255.0f));
            }
        }
    }
    return target;
}

std::vector<u32> scale_pixels(const u32* source, u32 width, u32 height, u32 w, u32 h) {
    float fw = static_cast<float>(w), fh = static_cast<float>(h);
    Quad q{{0, fw, fw, 0}, {0, 0, fh, fh}};
    Placement p;
    std::vector<u32> pixels = transform(source, width, height, q, p);
    if (p.w != static_cast<i32>(w) || p.h != static_cast<i32>(h)) return {};
    return pixels;
}

void yuyv_to_rgb(u32 width, u32 height, const u8* source, u32* target) {
    auto clamp = [](i32 v) { return static_cast<u32>(std::clamp(v, 0, 255)); };
    // A right shift of a negative product rounds toward minus infinity.
    auto shifted = [](i32 v) { return v >> 16; };
    // Red in bits 16-23 and blue in the low byte, as every pixel word here.
    auto word = [&](i32 y, i32 r_add, i32 g_sub, i32 b_add) {
        return clamp(y + b_add) | clamp(y - g_sub) << 8 | clamp(y + r_add) << 16 | 0xFF000000u;
    };
    for (u32 r = 0; r < height; r++) {
        for (u32 c = 0; c < width; c += 2, source += 4) {
            i32 y0 = source[0], u = source[1] - 128, y1 = source[2], v = source[3] - 128;
            i32 r_add = shifted(v * 91881), g_sub = shifted(v * 46792) + shifted(u * 21889);
            i32 b_add = shifted(u * 116129);
            *target++ = word(y0, r_add, g_sub, b_add);
            if (c + 1 < width) *target++ = word(y1, r_add, g_sub, b_add);  // an odd width's last pair gives one
        }
    }
}

Cell* copy_region(Cell* image, Cell* result, const Cell* crop, const Cell* points, u32 count, Placement& out) {
    out = {};
    Cell img = *image;
    u32 width = width_of(&img), height = height_of(&img);
    auto none = [&] { return make_cell(result, TYPE_NONE); };
    auto point = [&](u32 i, float& x, float& y) {
        const Cell* p = points + i;
        if (TYPE_OF(p) == TYPE_PAIR) {
            x = static_cast<float>(pair::x_of(p));
            y = static_cast<float>(pair::y_of(p));
            return true;
        }
        if (TYPE_OF(p) == TYPE_POINT2D) {
            x = point2D::coord(p, 0);
            y = point2D::coord(p, 1);
            return true;
        }
        return false;
    };
    i32 cx = 0, cy = 0;
    u32 sw = width, sh = height;
    if (crop) {
        if (TYPE_OF(crop) != TYPE_PAIR || TYPE_OF(crop + 1) != TYPE_PAIR) return none();
        cx = pair::x_of(crop);
        cy = pair::y_of(crop);
        i32 cw = pair::x_of(crop + 1), ch = pair::y_of(crop + 1);
        // A crop that starts outside the image holds nothing to draw.
        if (cx < 0 || cy < 0 || static_cast<u32>(cx) >= width || static_cast<u32>(cy) >= height || cw < 1 || ch < 1)
            return none();
        sw = std::min<u32>(static_cast<u32>(cw), width - static_cast<u32>(cx));
        sh = std::min<u32>(static_cast<u32>(ch), height - static_cast<u32>(cy));
    }
    if (count < 1 || count > 4) return none();
    float x[4], y[4];
    for (u32 i = 0; i < count; i++)
        if (!point(i, x[i], y[i])) return none();
    Quad q;
    q.x[0] = x[0];
    q.y[0] = y[0];
    switch (count) {
        case 1:
            q = {{x[0], x[0] + sw, x[0] + sw, x[0]}, {y[0], y[0], y[0] + sh, y[0] + sh}};
            break;
        case 2:
            q = {{x[0], x[1], x[1], x[0]}, {y[0], y[0], y[1], y[1]}};
            break;
        case 3:
            q = {{x[0], x[1], x[1] + x[2] - x[0], x[2]}, {y[0], y[1], y[1] + y[2] - y[0], y[2]}};
            break;
        default:
            q = {{x[0], x[1], x[3], x[2]}, {y[0], y[1], y[3], y[2]}};
            break;
    }
    bool mirrored_x = q.x[0] > q.x[1], mirrored_y = q.y[1] > q.y[2];
    if (mirrored_x) mirror_quad_x(q, q.x[0]);
    if (mirrored_y) mirror_quad_y(q, q.y[0]);
    std::vector<u32> pixels;
    if (crop) {
        std::vector<u32> part(u64(sw) * sh);
        copy_rect_pixels(pixels_of(&img), width, height, cx, cy, sw, sh, part.data());
        pixels = transform(part.data(), sw, sh, q, out);
    } else {
        pixels = transform(pixels_of(&img), width, height, q, out);
    }
    if (pixels.empty()) return none();
    make_blank(result, out.w, out.h);
    std::memcpy(pixels_of(result), pixels.data(), pixels.size() * 4);
    if (mirrored_x) out.w = -out.w;
    if (mirrored_y) out.h = -out.h;
    return result;
}

}  // namespace zav::image
