// Image files: the formats told apart by their signature, and the decoder or
// encoder of each.
#include "runtime/platform/image_files.h"

#include <cstring>

#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

bool starts_with(const u8* bytes, size_t length, const char* signature, size_t n) {
    return length >= n && std::memcmp(bytes, signature, n) == 0;
}

}  // namespace

i32 format_of(const u8* bytes, size_t length) {
    if (starts_with(bytes, length, "\x89PNG", 4)) return PNG;
    if (starts_with(bytes, length, "\xFF\xD8\xFF", 3)) return JPEG;
    if (starts_with(bytes, length, "BM", 2)) return BMP;
    if (starts_with(bytes, length, "GIF87a", 6) || starts_with(bytes, length, "GIF89a", 6)) return GIF;
    if (starts_with(bytes, length, "II\x2A\x00", 4) || starts_with(bytes, length, "MM\x00\x2A", 4)) return TIFF;
    return -1;
}

const char* name_of(i32 format) {
    static const char* const NAMES[FORMAT_COUNT] = {"bmp", "png", "gif", "jpeg", "tiff"};
    return format >= 0 && format < FORMAT_COUNT ? NAMES[format] : "";
}

bool opaque_q(const u32* pixels, u64 count) {
    u32 all = 0xFF000000u;
    for (u64 i = 0; i < count; i++) all &= pixels[i];
    return all == 0xFF000000u;
}

Status decode(const u8* bytes, size_t length, Sink sink, void* context) {
    switch (format_of(bytes, length)) {
        case PNG: return decode_png(bytes, length, sink, context);
        case JPEG: return decode_jpeg(bytes, length, sink, context);
        case BMP: return decode_bmp(bytes, length, sink, context);
        case GIF: return decode_gif(bytes, length, sink, context);
        case TIFF: return decode_tiff(bytes, length, sink, context);
        default: return Status::corrupt;
    }
}

Status encode(i32 format, const u32* pixels, u32 width, u32 height, std::string& out) {
    out.clear();
    switch (format) {
        case PNG: return encode_png(pixels, width, height, out);
        case JPEG: return encode_jpeg(pixels, width, height, out);
        case BMP: return encode_bmp(pixels, width, height, out);
        case GIF: return encode_gif(pixels, width, height, out);
        case TIFF: return encode_tiff(pixels, width, height, out);
        default: return Status::corrupt;
    }
}

}  // namespace zav::image_files
