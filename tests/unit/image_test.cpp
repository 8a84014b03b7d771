// Images below the language: the file codecs on their own (every prefix of a
// file refused, the sizes at the edges, a refused size stopping the decoder)
// and the pixel transforms, which no language word reaches.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "datatypes/image.h"
#include "datatypes/image_transforms.h"
#include "datatypes/imaging.h"
#include "datatypes/pair.h"
#include "runtime/platform/image_files.h"
#include "test_util.h"

using namespace zav;
using image_files::Status;

namespace {

// A decoder's pixels, into memory of the test's own.
struct Pixels {
    u32 width = 0, height = 0;
    std::vector<u32> words;
    bool refuse = false;
};

u32* into(void* context, u32 width, u32 height) {
    Pixels* p = static_cast<Pixels*>(context);
    if (p->refuse) return nullptr;
    p->width = width;
    p->height = height;
    p->words.assign(u64(width) * height, 0xDEADBEEF);
    return p->words.data();
}

Status decode(const std::string& bytes, Pixels& out) {
    return image_files::decode(reinterpret_cast<const u8*>(bytes.data()), bytes.size(), into, &out);
}

std::string encode(i32 format, const std::vector<u32>& pixels, u32 width, u32 height) {
    std::string out;
    EXPECT_EQ(image_files::encode(format, pixels.data(), width, height, out), Status::ok) << format;
    return out;
}

// Varied colours; alpha 0, 255 and between unless opaque.
std::vector<u32> picture(u32 width, u32 height, bool opaque) {
    std::vector<u32> p(u64(width) * height);
    for (u32 i = 0; i < p.size(); i++) {
        u32 alpha = opaque ? 255 : (i % 3 == 0 ? 255 : i % 3 == 1 ? 0 : 128);
        p[i] = ((i * 37) & 0xFF) | ((i * 11) & 0xFF) << 8 | ((i * 5) & 0xFF) << 16 | alpha << 24;
    }
    return p;
}

const i32 FORMATS[] = {image_files::PNG, image_files::JPEG, image_files::BMP, image_files::GIF, image_files::TIFF};

}  // namespace

TEST(ImageFiles, SignaturesTellTheFormat) {
    struct Case {
        std::string bytes;
        i32 format;
    } cases[] = {
        {"\x89PNG\r\n", image_files::PNG},  {"\xFF\xD8\xFF\xE0", image_files::JPEG},
        {"BM", image_files::BMP},           {"GIF87a", image_files::GIF},
        {"GIF89a", image_files::GIF},       {"GIF88a", -1},
        {"GIF8", -1},                       {std::string("II\x2A\x00", 4), image_files::TIFF},
        {std::string("MM\x00\x2A", 4), image_files::TIFF}, {std::string("II\x2B\x00", 4), -1},
        {"\x89PN", -1},                     {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(image_files::format_of(reinterpret_cast<const u8*>(c.bytes.data()), c.bytes.size()), c.format)
            << c.bytes;
}

TEST(ImageFiles, EveryCutShortFileIsRefused) {
    // Only a GIF that lacks nothing but its trailer byte is whole: the first
    // frame is all that is read.
    std::vector<u32> p = picture(7, 5, false);
    for (i32 format : FORMATS) {
        std::string whole = encode(format, p, 7, 5);
        for (size_t n = 0; n < whole.size(); n++) {
            Pixels out;
            Status s = decode(whole.substr(0, n), out);
            if (format == image_files::GIF && n == whole.size() - 1) continue;
            EXPECT_NE(s, Status::ok) << image_files::name_of(format) << " cut at " << n;
        }
        Pixels out;
        EXPECT_EQ(decode(whole, out), Status::ok) << image_files::name_of(format);
    }
}

TEST(ImageFiles, EdgeSizesRoundTrip) {
    // Exact in PNG, BMP and TIFF, and in GIF for few opaque colours; JPEG keeps the size.
    struct Size {
        u32 width, height;
    } sizes[] = {{1, 1}, {65535, 1}, {1, 65535}, {3, 2}};
    for (Size size : sizes) {
        for (i32 format : FORMATS) {
            bool exact = format != image_files::JPEG;
            std::vector<u32> p(u64(size.width) * size.height);
            for (u32 i = 0; i < p.size(); i++)
                p[i] = format == image_files::GIF ? (i % 7 == 0 ? 0xFF102030 : 0xFFFFFFFF) : 0x80000000u | (i * 2654435761u >> 8);
            if (format == image_files::JPEG) {
                for (u32& w : p) w |= 0xFF000000;
                // The format holds at most 65,500 a side.
                if (size.width > 65500 || size.height > 65500) {
                    std::string refused;
                    EXPECT_NE(image_files::encode(format, p.data(), size.width, size.height, refused), Status::ok);
                    continue;
                }
            }
            Pixels out;
            ASSERT_EQ(decode(encode(format, p, size.width, size.height), out), Status::ok)
                << image_files::name_of(format) << " " << size.width << "x" << size.height;
            EXPECT_EQ(out.width, size.width);
            EXPECT_EQ(out.height, size.height);
            if (exact) {
                EXPECT_EQ(out.words, p) << image_files::name_of(format) << " " << size.width << "x" << size.height;
            }
        }
    }
}

TEST(ImageFiles, ARefusedSizeStopsTheDecoder) {
    std::vector<u32> p = picture(4, 4, true);
    for (i32 format : FORMATS) {
        Pixels out;
        out.refuse = true;
        EXPECT_EQ(decode(encode(format, p, 4, 4), out), Status::stopped) << image_files::name_of(format);
    }
}

TEST(ImageFiles, FuzzCorpusDecodesOrIsRefused) {
    // The fuzzer's seeds and whatever it found once mended: each decodes or
    // is refused, and what decodes has every pixel written.
    std::string here = __FILE__;
    std::string dir = here.substr(0, here.rfind("/unit/")) + "/fuzz-corpus/image";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    int files = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Pixels out;
        if (decode(data, out) == Status::ok) {
            EXPECT_EQ(std::count(out.words.begin(), out.words.end(), 0xDEADBEEF), 0) << e->d_name;
        }
        files++;
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

// ---- transforms ------------------------------------------------------------------------

namespace {

std::vector<u32> numbered(u32 n) {
    std::vector<u32> p(n);
    for (u32 i = 0; i < n; i++) p[i] = 0xFF000000u | (i * 40) << 8 | i;
    return p;
}

}  // namespace

TEST(ImageTransforms, TheSourceRectangleReproducesTheSource) {
    std::vector<u32> src = numbered(12);
    image::Quad q{{0, 4, 4, 0}, {0, 0, 3, 3}};
    image::Placement at;
    std::vector<u32> out = image::transform(src.data(), 4, 3, q, at);
    EXPECT_EQ(at.x, 0);
    EXPECT_EQ(at.y, 0);
    EXPECT_EQ(at.w, 4);
    EXPECT_EQ(at.h, 3);
    EXPECT_EQ(out, src);
    EXPECT_EQ(image::scale_pixels(src.data(), 4, 3, 4, 3), src);
    // Twice the size: every source pixel covers two by two, blended at the seams.
    std::vector<u32> big = image::scale_pixels(src.data(), 4, 3, 8, 6);
    ASSERT_EQ(big.size(), 48u);
    EXPECT_EQ(big[0], src[0]);
    EXPECT_EQ(big[8 * 2 + 2], src[4 + 1]);
}

TEST(ImageTransforms, OutsideAQuadIsZero) {
    std::vector<u32> src(16, 0xFFFFFFFF);
    // A diamond in an 8x8 box: its corners' pixels lie outside it.
    image::Quad q{{4, 8, 4, 0}, {0, 4, 8, 4}};
    image::Placement at;
    std::vector<u32> out = image::transform(src.data(), 4, 4, q, at);
    ASSERT_EQ(out.size(), 64u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[7], 0u);
    EXPECT_EQ(out[63], 0u);
    EXPECT_EQ(out[4 * 8 + 4], 0xFFFFFFFFu);
    // No pixels for a source without any, or a box no image can be.
    EXPECT_TRUE(image::transform(src.data(), 0, 4, q, at).empty());
    image::Quad huge{{0, 1e9f, 1e9f, 0}, {0, 0, 1, 1}};
    EXPECT_TRUE(image::transform(src.data(), 4, 4, huge, at).empty());
    image::Quad nan{{0, NAN, 1, 0}, {0, 0, 1, 1}};  // no number: no pixels, and no undefined conversion
    EXPECT_TRUE(image::transform(src.data(), 4, 4, nan, at).empty());
}

TEST(ImageTransforms, PointsInAQuadAndMirrors) {
    image::Quad q{{0, 10, 10, 0}, {0, 0, 10, 10}};
    EXPECT_TRUE(image::point_in_quad_q(q, 5, 5));
    EXPECT_TRUE(image::point_in_quad_q(q, 0, 0));
    EXPECT_FALSE(image::point_in_quad_q(q, 11, 5));
    EXPECT_FALSE(image::point_in_quad_q(q, 5, -1));
    image::mirror_quad_x(q, 0);
    EXPECT_EQ(q.x[1], -10.0f);
    image::mirror_quad_y(q, 5);
    EXPECT_EQ(q.y[2], 0.0f);
}

TEST(ImageTransforms, RectangleCopies) {
    std::vector<u32> src = numbered(12), out(4, 0);
    EXPECT_TRUE(image::copy_rect_pixels(src.data(), 4, 3, 2, 1, 5, 5, out.data()));
    EXPECT_EQ(out, (std::vector<u32>{src[6], src[7], src[10], src[11]}));
    EXPECT_FALSE(image::copy_rect_pixels(src.data(), 4, 3, 4, 0, 1, 1, out.data()));
    EXPECT_FALSE(image::copy_rect_pixels(src.data(), 4, 3, -1, 0, 1, 1, out.data()));
}

TEST(ImageTransforms, YuyvToPixelWords) {
    // Grey without chroma; then pure luma extremes with strong chroma, clamped.
    const u8 grey[] = {128, 128, 128, 128};
    u32 out[3] = {};
    image::yuyv_to_rgb(2, 1, grey, out);
    EXPECT_EQ(out[0], 0xFF808080u);
    EXPECT_EQ(out[1], 0xFF808080u);
    // Strong red chroma (V high): red in bits 16-23, as every pixel word.
    const u8 red[] = {128, 128, 128, 255};
    image::yuyv_to_rgb(2, 1, red, out);
    EXPECT_EQ((out[0] >> 16) & 255, 255u);
    EXPECT_LT(out[0] & 255, 200u);
    // An odd width takes one pixel from its last pair.
    out[1] = 7;
    image::yuyv_to_rgb(1, 1, grey, out);
    EXPECT_EQ(out[0], 0xFF808080u);
    EXPECT_EQ(out[1], 7u);
}

struct ImageRegionTest : test::CleanRuntimeTest {};

TEST_F(ImageRegionTest, CopyRegionPlacesAndMirrors) {
    Cell img;
    image::make_blank(&img, 4, 2);
    collector::Guard keep(&img);
    std::vector<u32> src = numbered(8);
    std::copy(src.begin(), src.end(), image::pixels_of(&img));
    Cell points[4], crop[2], result;
    collector::Guard keep_result(&result);
    image::Placement at;
    // One point: unscaled at that place.
    pair::make_in(&points[0], 10, 20);
    ASSERT_EQ(TYPE_OF(image::copy_region(&img, &result, nullptr, points, 1, at)), TYPE_IMAGE);
    EXPECT_EQ(at.x, 10);
    EXPECT_EQ(at.y, 20);
    EXPECT_EQ(at.w, 4);
    EXPECT_EQ(at.h, 2);
    EXPECT_EQ(std::vector<u32>(image::pixels_of(&result), image::pixels_of(&result) + 8), src);
    // Two points with the end left of the start: mirrored, a negative width.
    pair::make_in(&points[1], 6, 22);
    ASSERT_EQ(TYPE_OF(image::copy_region(&img, &result, nullptr, points, 2, at)), TYPE_IMAGE);
    EXPECT_EQ(at.w, -4);
    EXPECT_EQ(at.h, 2);
    // A crop: offset 2x1, size beyond the image, clipped to 2x1.
    pair::make_in(&crop[0], 2, 1);
    pair::make_in(&crop[1], 9, 9);
    ASSERT_EQ(TYPE_OF(image::copy_region(&img, &result, crop, points, 1, at)), TYPE_IMAGE);
    EXPECT_EQ(at.w, 2);
    EXPECT_EQ(at.h, 1);
    EXPECT_EQ(image::pixels_of(&result)[0], src[6]);
    // Nothing to draw: a crop outside the image, five points.
    pair::make_in(&crop[0], 4, 0);
    EXPECT_EQ(TYPE_OF(image::copy_region(&img, &result, crop, points, 1, at)), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(image::copy_region(&img, &result, nullptr, points, 5, at)), TYPE_NONE);
}

// ---- BMP variants -------------------------------------------------------------------------

namespace {

void le16(std::string& s, u32 v) {
    s += static_cast<char>(v);
    s += static_cast<char>(v >> 8);
}
void le32(std::string& s, u32 v) {
    le16(s, v);
    le16(s, v >> 16);
}

// A BMP file: the 14-byte file header, a 40-byte (or 12-byte core) info
// header, then `extra` (masks, palette) and the pixel data.
std::string bmp(i32 width, i32 height, u32 bpp, u32 compression, const std::string& extra, const std::string& data,
                bool core = false) {
    std::string h;
    if (core) {
        le32(h, 12);
        le16(h, static_cast<u32>(width));
        le16(h, static_cast<u32>(height));
        le16(h, 1);
        le16(h, bpp);
    } else {
        le32(h, 40);
        le32(h, static_cast<u32>(width));
        le32(h, static_cast<u32>(height));
        le16(h, 1);
        le16(h, bpp);
        le32(h, compression);
        le32(h, static_cast<u32>(data.size()));
        le32(h, 0);
        le32(h, 0);
        le32(h, 0);
        le32(h, 0);
    }
    std::string f = "BM";
    le32(f, static_cast<u32>(14 + h.size() + extra.size() + data.size()));
    le32(f, 0);
    le32(f, static_cast<u32>(14 + h.size() + extra.size()));
    return f + h + extra + data;
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += static_cast<char>(x);
    return s;
}

constexpr u32 RED = 0xFFFF0000, GREEN = 0xFF00FF00, BLUE = 0xFF0000FF, WHITE = 0xFFFFFFFF, BLACK = 0xFF000000;

}  // namespace

TEST(ImageFiles, BmpVariantsDecode) {
    // Palette entries: blue, green, red, 0.
    std::string palette = bytes({0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0});
    struct Case {
        const char* what;
        std::string file;
        std::vector<u32> pixels;  // top row first
    } cases[] = {
        {"24 bits, bottom-up, rows padded to 4 bytes",
         bmp(2, 2, 24, 0, "", bytes({255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0})),
         {RED, WHITE, BLUE, GREEN}},
        {"8-bit palette, top-down", bmp(3, -1, 8, 0, palette, bytes({0, 1, 3, 0})), {RED, GREEN, WHITE}},
        {"1-bit core header, 3-byte palette entries",
         bmp(3, 1, 1, 0, bytes({0, 0, 0, 255, 255, 255}), bytes({0xA0, 0, 0, 0}), true), {WHITE, BLACK, WHITE}},
        {"16 bits 5-5-5", bmp(2, 1, 16, 0, "", bytes({0x00, 0x7C, 0x1F, 0x00})), {RED, BLUE}},
        {"16 bits with 5-6-5 masks",
         bmp(2, 1, 16, 3, bytes({0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0}), bytes({0xE0, 0x07, 0x00, 0xF8})),
         {GREEN, RED}},
        {"32 bits without masks: the fourth byte is not alpha", bmp(1, 1, 32, 0, "", bytes({255, 0, 0, 7})), {BLUE}},
        {"RLE8: a run, end of line, a literal run, end of bitmap",
         bmp(3, 2, 8, 1, palette, bytes({3, 1, 0, 0, 0, 3, 0, 2, 3, 0, 0, 1})), {RED, BLUE, WHITE, GREEN, GREEN, GREEN}},
        {"RLE4: two pixels a byte; a delta leaves pixels transparent",
         bmp(4, 1, 4, 2, palette, bytes({2, 0x01, 0, 2, 1, 0, 1, 0x30, 0, 1})), {RED, GREEN, 0, WHITE}},
    };
    for (const Case& c : cases) {
        Pixels out;
        ASSERT_EQ(decode(c.file, out), Status::ok) << c.what;
        EXPECT_EQ(out.words, c.pixels) << c.what;
    }
}

TEST(ImageFiles, BrokenBmpsAreRefused) {
    std::string palette = bytes({0, 0, 255, 0, 0, 255, 0, 0});
    std::string cases[] = {
        bmp(2, 1, 8, 0, palette, bytes({0, 5, 0, 0})),        // an index beyond the palette
        bmp(4, 4, 24, 0, "", std::string(20, '\0')),           // rows missing
        bmp(2, 1, 8, 1, palette, bytes({2, 0})),               // runs without their end mark
        bmp(2, 1, 8, 1, palette, bytes({0, 4, 0, 0, 0, 1})),   // a literal run past the data
        bmp(0, 1, 24, 0, "", std::string(4, '\0')),            // no width
        bmp(1, 1, 7, 0, "", std::string(4, '\0')),             // no such depth
        bmp(1, 1, 24, 4, "", std::string(4, '\0')),            // a JPEG inside
        bmp(2, -1, 8, 1, palette, bytes({2, 0, 0, 1})),        // run-length rows cannot go top-down
    };
    for (const std::string& file : cases) {
        Pixels out;
        EXPECT_EQ(decode(file, out), Status::corrupt);
    }
}

TEST_F(ImageRegionTest, ResizeTakesTheNearestPixels) {
    Cell img;
    image::make_blank(&img, 4, 2);
    collector::Guard keep(&img);
    std::vector<u32> src = numbered(8);
    std::copy(src.begin(), src.end(), image::pixels_of(&img));
    // Halved: the pixel under each new pixel's centre; doubled: each twice.
    Cell* half = image::resize(&img, 2, 1);
    EXPECT_EQ(std::vector<u32>(image::pixels_of(half), image::pixels_of(half) + 2), (std::vector<u32>{src[5], src[7]}));
    Cell* twice = image::resize(&img, 8, 4);
    EXPECT_EQ(image::pixels_of(twice)[0], src[0]);
    EXPECT_EQ(image::pixels_of(twice)[1], src[0]);
    EXPECT_EQ(image::pixels_of(twice)[8 * 3 + 7], src[7]);
    Cell* none = image::resize(&img, 0, 5);
    EXPECT_EQ(image::pixel_count(none), 0u);
}

// ---- GIF and TIFF layouts this system does not write ---------------------------------------

namespace {

// A GIF of one frame with a 4-colour global palette (red, green, blue,
// white), its pixels coded without compression: a clear code before every
// two pixels keeps every code 3 bits wide.
std::string gif(u32 screen_w, u32 screen_h, u32 left, u32 top, u32 w, u32 h, bool interlaced, int transparent,
                const std::vector<u8>& rows_as_stored) {
    std::string g = "GIF89a";
    le16(g, screen_w);
    le16(g, screen_h);
    g += bytes({0x91, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255});
    if (transparent >= 0) g += bytes({0x21, 0xF9, 4, 1, 0, 0, transparent, 0});
    g += ',';
    le16(g, left);
    le16(g, top);
    le16(g, w);
    le16(g, h);
    g += static_cast<char>(interlaced ? 0x40 : 0);
    std::string codes;
    u32 acc = 0, bits = 0;
    auto put = [&](u32 code) {
        acc |= code << bits;
        bits += 3;
        while (bits >= 8) {
            codes += static_cast<char>(acc & 255);
            acc >>= 8;
            bits -= 8;
        }
    };
    for (size_t i = 0; i < rows_as_stored.size(); i++) {
        if (i % 2 == 0) put(4);
        put(rows_as_stored[i]);
    }
    put(5);
    if (bits) codes += static_cast<char>(acc & 255);
    g += static_cast<char>(2);  // minimum code size
    for (size_t i = 0; i < codes.size(); i += 255) {
        std::string block = codes.substr(i, 255);
        g += static_cast<char>(block.size());
        g += block;
    }
    g += bytes({0, 0x3B});
    return g;
}

// A little-endian TIFF of one strip: the entries (tag, type, count, value)
// in tag order, values of more than four bytes at `extra`'s place, then the pixels.
struct Tag {
    u32 tag, type, count, value;
};
std::string tiff(std::vector<Tag> tags, const std::string& extra, const std::string& pixels) {
    u32 ifd = 8, ifd_size = 2 + 12 * static_cast<u32>(tags.size() + 1) + 4;
    u32 extra_at = ifd + ifd_size, pixels_at = extra_at + static_cast<u32>(extra.size());
    tags.push_back({273, 4, 1, pixels_at});  // StripOffsets, in tag order after 262
    std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.tag < b.tag; });
    std::string t = std::string("II\x2A\x00", 4);
    le32(t, ifd);
    le16(t, static_cast<u32>(tags.size()));
    for (Tag& e : tags) {
        le16(t, e.tag);
        le16(t, e.type);
        le32(t, e.count);
        if (e.value == ~0u) e.value = extra_at;  // the extra data
        if (e.type == 3 && e.count == 1) {
            le16(t, e.value);
            le16(t, 0);
        } else {
            le32(t, e.value);
        }
    }
    le32(t, 0);
    return t + extra + pixels;
}

}  // namespace

TEST(ImageFiles, GifFramesOnTheScreen) {
    // A 3x5 interlaced frame at 1x1 on a 5x7 screen, index 3 transparent:
    // rows come as 0, 4 (pass 1), 2 (pass 3), 1, 3 (pass 4).
    std::vector<u8> rows = {0, 0, 0, 2, 2, 2, 1, 1, 1, 3, 0, 3, 0, 3, 0};
    Pixels out;
    ASSERT_EQ(decode(gif(5, 7, 1, 1, 3, 5, true, 3, rows), out), Status::ok);
    ASSERT_EQ(out.width, 5u);
    ASSERT_EQ(out.height, 7u);
    auto at = [&](u32 x, u32 y) { return out.words[y * 5 + x]; };
    EXPECT_EQ(at(0, 0), 0u);  // the screen outside the frame: transparent
    EXPECT_EQ(at(1, 1), RED);
    EXPECT_EQ(at(1, 2), 0x00FFFFFFu);  // row 1 of the frame, index 3: transparent white
    EXPECT_EQ(at(2, 2), RED);
    EXPECT_EQ(at(1, 3), GREEN);
    EXPECT_EQ(at(2, 4), 0x00FFFFFFu);
    EXPECT_EQ(at(3, 4), RED);
    EXPECT_EQ(at(1, 5), BLUE);
    EXPECT_EQ(at(4, 6), 0u);
    // An index beyond the palette, or pixels cut short, is a damaged file.
    std::vector<u8> wrong = rows;
    wrong[4] = 7;
    EXPECT_EQ(decode(gif(5, 7, 1, 1, 3, 5, true, 3, wrong), out), Status::corrupt);
    EXPECT_EQ(decode(gif(5, 7, 1, 1, 3, 5, true, 3, std::vector<u8>(rows.begin(), rows.begin() + 9)), out),
              Status::corrupt);
}

TEST(ImageFiles, TiffLayoutsThroughTheLibrary) {
    std::vector<Tag> grey = {{256, 3, 1, 2}, {257, 3, 1, 2}, {258, 3, 1, 8}, {259, 3, 1, 1},
                             {262, 3, 1, 1}, {277, 3, 1, 1}, {278, 3, 1, 2}, {279, 4, 1, 4}};
    Pixels out;
    ASSERT_EQ(decode(tiff(grey, "", bytes({0, 85, 170, 255})), out), Status::ok);
    EXPECT_EQ(out.words, (std::vector<u32>{BLACK, 0xFF555555, 0xFFAAAAAA, WHITE}));
    // A palette of 16-bit entries: all reds, then all greens, then all blues.
    std::vector<Tag> palette = {{256, 3, 1, 2}, {257, 3, 1, 1}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 3},
                                {277, 3, 1, 1}, {278, 3, 1, 1}, {279, 4, 1, 2}, {320, 3, 768, ~0u}};
    std::string map(1536, '\0');
    map[2] = map[3] = '\xFF';                 // entry 1: red
    map[512 + 0] = map[512 + 1] = '\xFF';     // entry 0: green
    ASSERT_EQ(decode(tiff(palette, map, bytes({0, 1})), out), Status::ok);
    EXPECT_EQ(out.words, (std::vector<u32>{GREEN, RED}));
    // RGBA with premultiplied alpha comes back straight.
    std::vector<Tag> rgba = {{256, 3, 1, 1}, {257, 3, 1, 1}, {258, 3, 4, ~0u}, {259, 3, 1, 1}, {262, 3, 1, 2},
                             {277, 3, 1, 4}, {278, 3, 1, 1}, {279, 4, 1, 4}, {338, 3, 1, 1}};
    ASSERT_EQ(decode(tiff(rgba, bytes({8, 0, 8, 0, 8, 0, 8, 0}), bytes({128, 0, 64, 128})), out), Status::ok);
    EXPECT_EQ(out.words, (std::vector<u32>{0x80FF0080u}));
    // Pixels the strip does not hold: refused.
    EXPECT_NE(decode(tiff(grey, "", bytes({0, 85})), out), Status::ok);
}
