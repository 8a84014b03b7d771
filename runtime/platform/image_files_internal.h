// What the format modules of image_files share: their entries and the small
// pixel helpers.
#pragma once
#include <string>

#include "runtime/platform/image_files.h"

namespace zav::image_files {

Status decode_png(const u8* bytes, size_t length, Sink sink, void* context);
Status encode_png(const u32* pixels, u32 width, u32 height, std::string& out);
Status decode_jpeg(const u8* bytes, size_t length, Sink sink, void* context);
Status encode_jpeg(const u32* pixels, u32 width, u32 height, std::string& out);
Status decode_gif(const u8* bytes, size_t length, Sink sink, void* context);
Status encode_gif(const u32* pixels, u32 width, u32 height, std::string& out);
Status decode_tiff(const u8* bytes, size_t length, Sink sink, void* context);
Status encode_tiff(const u32* pixels, u32 width, u32 height, std::string& out);
Status decode_bmp(const u8* bytes, size_t length, Sink sink, void* context);
Status encode_bmp(const u32* pixels, u32 width, u32 height, std::string& out);

// True when no pixel has alpha below 255.
bool opaque_q(const u32* pixels, u64 count);

inline u32 pixel(u32 red, u32 green, u32 blue, u32 alpha) { return blue | green << 8 | red << 16 | alpha << 24; }

// Straight colour from colour premultiplied by alpha (rounded, at most 255).
inline u32 unpremultiply(u32 premultiplied) {
    u32 a = premultiplied >> 24;
    if (a == 255) return premultiplied;
    if (a == 0) return 0;
    auto ch = [a](u32 c) {
        u32 v = (c * 255 + a / 2) / a;
        return v > 255 ? 255u : v;
    };
    return pixel(ch((premultiplied >> 16) & 255), ch((premultiplied >> 8) & 255), ch(premultiplied & 255), a);
}

}  // namespace zav::image_files
