// BMP read and written here: the core (12-byte), the 40-byte and the V2 to
// V5 headers; 1, 2, 4 and 8 bits with a palette (RLE8 and RLE4 too), 16, 24
// and 32 bits, with bit-field masks. Written as 32-bit BGRA with an alpha
// mask in a V5 header, bottom-up, so that alpha survives the round trip.
#include <algorithm>
#include <cstring>

#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

constexpr u32 FILE_HEADER = 14;
constexpr u32 CORE_HEADER = 12;
constexpr u32 INFO_HEADER = 40;
constexpr u32 V5_HEADER = 124;
enum Compression : u32 { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

u32 u16_at(const u8* p) { return p[0] | u32(p[1]) << 8; }
u32 u32_at(const u8* p) { return p[0] | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

// One channel of a bit-field mask, scaled to 8 bits.
struct Field {
    u32 mask = 0, shift = 0, bits = 0;
    Field() = default;
    explicit Field(u32 m) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) shift++;
        while (shift + bits < 32 && ((m >> (shift + bits)) & 1)) bits++;
    }
    u32 get(u32 v, u32 absent) const {
        if (!bits) return absent;
        u32 x = (v & mask) >> shift;
        if (bits >= 8) return x >> (bits - 8);
        u32 top = (1u << bits) - 1;
        return (x * 255 + top / 2) / top;
    }
};

struct Header {
    u32 width, height;
    bool top_down;
    u32 bpp, compression;
    u32 header_size;
    u32 colours;  // palette entries
    u32 entry;    // bytes a palette entry: 3 in a core header, else 4
    Field red{}, green{}, blue{}, alpha{};
};

// The header, checked; false for anything this reader cannot make sense of.
bool read_header(const u8* bytes, size_t length, Header& h, size_t& palette_at) {
    if (length < FILE_HEADER + 4) return false;
    h.header_size = u32_at(bytes + FILE_HEADER);
    const u8* p = bytes + FILE_HEADER;
    if (h.header_size < CORE_HEADER || h.header_size > length - FILE_HEADER) return false;
    i64 w, hh;
    u32 planes;
    if (h.header_size == CORE_HEADER) {
        w = u16_at(p + 4);
        hh = u16_at(p + 6);
        planes = u16_at(p + 8);
        h.bpp = u16_at(p + 10);
        h.compression = BI_RGB;
        h.colours = 0;
        h.entry = 3;
    } else {
        if (h.header_size < INFO_HEADER) return false;
        w = static_cast<int32_t>(u32_at(p + 4));
        hh = static_cast<int32_t>(u32_at(p + 8));
        planes = u16_at(p + 12);
        h.bpp = u16_at(p + 14);
        h.compression = u32_at(p + 16);
        h.colours = u32_at(p + 32);
        h.entry = 4;
    }
    if (planes != 1 || w <= 0 || hh == 0 || hh == INT32_MIN) return false;
    h.top_down = hh < 0;
    h.width = static_cast<u32>(w);
    h.height = static_cast<u32>(hh < 0 ? -hh : hh);
    palette_at = FILE_HEADER + h.header_size;
    switch (h.bpp) {
        case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
        default: return false;
    }
    // The masks: in the header from V2 on, else right after a 40-byte one.
    if (h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS) {
        if (h.bpp != 16 && h.bpp != 32) return false;
        u32 count = h.compression == BI_ALPHABITFIELDS ? 4 : 3;
        const u8* m = p + INFO_HEADER;
        if (h.header_size == INFO_HEADER) {
            if (length - palette_at < count * 4) return false;
            palette_at += count * 4;
        } else if (h.header_size < INFO_HEADER + count * 4) {
            return false;
        }
        h.red = Field(u32_at(m));
        h.green = Field(u32_at(m + 4));
        h.blue = Field(u32_at(m + 8));
        bool alpha_in_header = h.header_size >= INFO_HEADER + 16;
        if (count == 4 || alpha_in_header) h.alpha = Field(u32_at(m + 12));
    } else if (h.compression == BI_RLE8) {
        if (h.bpp != 8 || h.top_down) return false;
    } else if (h.compression == BI_RLE4) {
        if (h.bpp != 4 || h.top_down) return false;
    } else if (h.compression != BI_RGB) {
        return false;
    } else if (h.bpp == 16) {
        h.red = Field(0x7C00);
        h.green = Field(0x03E0);
        h.blue = Field(0x001F);
    } else if (h.bpp == 32) {
        h.red = Field(0xFF0000);
        h.green = Field(0xFF00);
        h.blue = Field(0xFF);
    }
    if (h.bpp <= 8) {
        u32 most = 1u << h.bpp;
        if (h.colours == 0 || h.colours > most) h.colours = most;
    } else {
        h.colours = 0;
    }
    return true;
}

// Pixels of `bpp` bits a row, rows padded to 4 bytes.
u64 stride_of(u32 width, u32 bpp) { return (u64(width) * bpp + 31) / 32 * 4; }

void read_palette(const u8* bytes, size_t length, size_t at, const Header& h, u32* palette) {
    for (u32 i = 0; i < 256; i++) palette[i] = pixel(0, 0, 0, 255);
    for (u32 i = 0; i < h.colours; i++) {
        size_t e = at + size_t(i) * h.entry;
        if (e + 3 > length) break;  // a short palette leaves black entries
        palette[i] = pixel(bytes[e + 2], bytes[e + 1], bytes[e], 255);
    }
}

// Uncompressed rows; `row(y)` gives file row y's place in the pixels.
bool read_plain(const u8* data, const Header& h, const u32* palette, u32* pixels) {
    u64 stride = stride_of(h.width, h.bpp);
    for (u32 y = 0; y < h.height; y++) {
        const u8* in = data + stride * y;
        u32* out = pixels + u64(h.top_down ? y : h.height - 1 - y) * h.width;
        switch (h.bpp) {
            case 1: case 2: case 4: case 8: {
                u32 per_byte = 8 / h.bpp, mask = (1u << h.bpp) - 1;
                for (u32 x = 0; x < h.width; x++) {
                    u32 shift = 8 - h.bpp * (x % per_byte + 1);
                    u32 index = (in[x / per_byte] >> shift) & mask;
                    if (index >= h.colours) return false;
                    out[x] = palette[index];
                }
                break;
            }
            case 24:
                for (u32 x = 0; x < h.width; x++, in += 3) out[x] = pixel(in[2], in[1], in[0], 255);
                break;
            default: {  // 16 and 32 bits through their masks
                u32 bytes = h.bpp / 8;
                for (u32 x = 0; x < h.width; x++, in += bytes) {
                    u32 v = bytes == 2 ? u16_at(in) : u32_at(in);
                    out[x] = pixel(h.red.get(v, 0), h.green.get(v, 0), h.blue.get(v, 0), h.alpha.get(v, 255));
                }
                break;
            }
        }
    }
    return true;
}

// Run-length rows (8 or 4 bits), bottom-up; pixels a run skips stay
// transparent. The runs must end with their end-of-bitmap mark.
bool read_rle(const u8* data, const u8* end, const Header& h, const u32* palette, u32* pixels) {
    std::memset(pixels, 0, u64(h.width) * h.height * 4);
    u32 x = 0, y = 0;  // y counts file rows, from the bottom
    bool four = h.bpp == 4;
    auto put = [&](u32 index) {
        if (index >= h.colours) return false;
        if (x < h.width && y < h.height) pixels[u64(h.height - 1 - y) * h.width + x] = palette[index];
        x++;
        return true;
    };
    const u8* p = data;
    while (end - p >= 2) {
        u32 count = p[0], value = p[1];
        p += 2;
        if (count > 0) {
            for (u32 k = 0; k < count; k++)
                if (!put(four ? (k % 2 ? value & 15 : value >> 4) : value)) return false;
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta
            if (end - p < 2) return false;
            x += p[0];
            y += p[1];
            p += 2;
        } else {  // a literal run of `value` pixels, padded to 2 bytes
            u32 n = value;
            u64 bytes = four ? (n + 1) / 2 : n;
            bytes += bytes % 2;
            if (u64(end - p) < bytes) return false;
            for (u32 k = 0; k < n; k++)
                if (!put(four ? (k % 2 ? p[k / 2] & 15 : p[k / 2] >> 4) : p[k])) return false;
            p += bytes;
        }
        if (y > h.height) return false;
    }
    return false;  // the runs stop before their end mark
}

void put16(std::string& out, u32 v) {
    out += static_cast<char>(v);
    out += static_cast<char>(v >> 8);
}
void put32(std::string& out, u32 v) {
    put16(out, v);
    put16(out, v >> 16);
}

}  // namespace

Status decode_bmp(const u8* bytes, size_t length, Sink sink, void* context) {
    Header h{};
    size_t palette_at = 0;
    if (!read_header(bytes, length, h, palette_at)) return Status::corrupt;
    u64 offset = u32_at(bytes + 10);
    if (offset > length) return Status::corrupt;
    bool rle = h.compression == BI_RLE8 || h.compression == BI_RLE4;
    // Uncompressed rows must all be there before anything is made.
    if (!rle && h.height > (length - offset) / stride_of(h.width, h.bpp)) return Status::corrupt;
    // The palette ends where the pixels begin, whatever count the header says.
    if (h.colours && offset >= palette_at) h.colours = std::min<u64>(h.colours, (offset - palette_at) / h.entry);
    u32 palette[256];
    read_palette(bytes, length, palette_at, h, palette);
    u32* pixels = sink(context, h.width, h.height);
    if (!pixels) return Status::stopped;
    bool ok = rle ? read_rle(bytes + offset, bytes + length, h, palette, pixels)
                  : read_plain(bytes + offset, h, palette, pixels);
    return ok ? Status::ok : Status::corrupt;
}

Status encode_bmp(const u32* pixels, u32 width, u32 height, std::string& out) {
    u64 data = u64(width) * height * 4;
    u64 total = FILE_HEADER + V5_HEADER + data;
    if (total > 0xFFFFFFFFu) return Status::corrupt;
    out.clear();
    out.reserve(total);
    out += "BM";
    put32(out, static_cast<u32>(total));
    put32(out, 0);
    put32(out, FILE_HEADER + V5_HEADER);
    put32(out, V5_HEADER);
    put32(out, width);
    put32(out, height);  // positive: bottom-up rows
    put16(out, 1);
    put16(out, 32);
    put32(out, BI_BITFIELDS);
    put32(out, static_cast<u32>(data));
    put32(out, 2835);  // 72 dots an inch, in dots a metre
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0x00FF0000);  // red, green, blue and alpha masks
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);  // colour space "sRGB"
    out.append(36, '\0');     // endpoints, unused for sRGB
    put32(out, 0);            // gamma red, green, blue
    put32(out, 0);
    put32(out, 0);
    put32(out, 4);  // intent: pictures
    put32(out, 0);  // no profile
    put32(out, 0);
    put32(out, 0);  // reserved
    for (u32 y = height; y-- > 0;) {
        const u32* row = pixels + u64(y) * width;
        for (u32 x = 0; x < width; x++) put32(out, row[x]);
    }
    return Status::ok;
}

}  // namespace zav::image_files
