// GIF through giflib: the first frame read onto the logical screen, written
// as one frame with an exact palette when the image has few enough colours,
// else with a median-cut one; pixels below half opacity become transparent.
#include <gif_lib.h>

#include <cstring>
#include <unordered_map>
#include <vector>

#include "runtime/platform/dynlib.h"
#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

struct Library {
    decltype(&::DGifOpen) d_open;
    decltype(&::DGifCloseFile) d_close;
    decltype(&::DGifGetRecordType) get_record_type;
    decltype(&::DGifGetImageDesc) get_image_desc;
    decltype(&::DGifGetLine) get_line;
    decltype(&::DGifGetExtension) get_extension;
    decltype(&::DGifGetExtensionNext) get_extension_next;
    decltype(&::EGifOpen) e_open;
    decltype(&::EGifCloseFile) e_close;
    decltype(&::EGifSetGifVersion) set_version;
    decltype(&::EGifPutScreenDesc) put_screen_desc;
    decltype(&::EGifPutExtension) put_extension;
    decltype(&::EGifPutImageDesc) put_image_desc;
    decltype(&::EGifPutLine) put_line;
    decltype(&::GifMakeMapObject) make_map;
    decltype(&::GifFreeMapObject) free_map;
    decltype(&::GifQuantizeBuffer) quantize;
};

const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = platform::open_library("libgif.so.7", {
        {&lib.d_open, "DGifOpen"},
        {&lib.d_close, "DGifCloseFile"},
        {&lib.get_record_type, "DGifGetRecordType"},
        {&lib.get_image_desc, "DGifGetImageDesc"},
        {&lib.get_line, "DGifGetLine"},
        {&lib.get_extension, "DGifGetExtension"},
        {&lib.get_extension_next, "DGifGetExtensionNext"},
        {&lib.e_open, "EGifOpen"},
        {&lib.e_close, "EGifCloseFile"},
        {&lib.set_version, "EGifSetGifVersion"},
        {&lib.put_screen_desc, "EGifPutScreenDesc"},
        {&lib.put_extension, "EGifPutExtension"},
        {&lib.put_image_desc, "EGifPutImageDesc"},
        {&lib.put_line, "EGifPutLine"},
        {&lib.make_map, "GifMakeMapObject"},
        {&lib.free_map, "GifFreeMapObject"},
        {&lib.quantize, "GifQuantizeBuffer"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

struct Input {
    const u8* data;
    size_t length;
    size_t pos;
};

// A short read is how giflib learns that the file ends early.
int read_bytes(GifFileType* gif, GifByteType* to, int count) {
    Input* in = static_cast<Input*>(gif->UserData);
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > in->length - in->pos) n = in->length - in->pos;
    std::memcpy(to, in->data + in->pos, n);
    in->pos += n;
    return static_cast<int>(n);
}

int write_bytes(GifFileType* gif, const GifByteType* from, int count) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(from), static_cast<size_t>(count));
    return count;
}

constexpr u8 GCE_TRANSPARENT = 1;  // graphics control extension: the transparent index is valid

// Closes the file whatever way the decoding ends.
struct Reader {
    const Library* lib;
    GifFileType* gif;
    ~Reader() {
        int error;
        if (gif) lib->d_close(gif, &error);
    }
};

Status read_gif(const Library* lib, GifFileType* gif, Sink sink, void* context) {
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (lib->get_record_type(gif, &type) == GIF_ERROR) return Status::corrupt;
        if (type == TERMINATE_RECORD_TYPE) return Status::corrupt;  // no frame at all
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* block;
            if (lib->get_extension(gif, &code, &block) == GIF_ERROR) return Status::corrupt;
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
                transparent = (block[1] & GCE_TRANSPARENT) ? block[4] : -1;
            while (block)
                if (lib->get_extension_next(gif, &block) == GIF_ERROR) return Status::corrupt;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) return Status::corrupt;
        if (lib->get_image_desc(gif) == GIF_ERROR) return Status::corrupt;
        break;
    }
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!map || frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) return Status::corrupt;
    // The frame on the logical screen, the screen widened when the frame
    // reaches past it; what the frame leaves uncovered is transparent.
    u32 left = static_cast<u32>(frame.Left), top = static_cast<u32>(frame.Top);
    u32 fw = static_cast<u32>(frame.Width), fh = static_cast<u32>(frame.Height);
    u64 width = gif->SWidth > 0 ? static_cast<u64>(gif->SWidth) : 0;
    u64 height = gif->SHeight > 0 ? static_cast<u64>(gif->SHeight) : 0;
    if (width < u64(left) + fw) width = u64(left) + fw;
    if (height < u64(top) + fh) height = u64(top) + fh;
    if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu) return Status::corrupt;
    u32* pixels = sink(context, static_cast<u32>(width), static_cast<u32>(height));
    if (!pixels) return Status::stopped;
    std::memset(pixels, 0, width * height * 4);
    u32 colours[256];
    for (int i = 0; i < 256; i++) {
        if (i < map->ColorCount) {
            const GifColorType& c = map->Colors[i];
            colours[i] = pixel(c.Red, c.Green, c.Blue, i == transparent ? 0 : 255);
        } else {
            colours[i] = 0;
        }
    }
    std::vector<GifPixelType> line(fw);
    // Interlaced rows come in four passes: every 8th from 0, every 8th from
    // 4, every 4th from 2, every 2nd from 1.
    static const u32 FIRST[] = {0, 4, 2, 1}, STEP[] = {8, 8, 4, 2};
    u32 passes = frame.Interlace ? 4 : 1;
    for (u32 pass = 0; pass < passes; pass++) {
        u32 first = frame.Interlace ? FIRST[pass] : 0, step = frame.Interlace ? STEP[pass] : 1;
        for (u32 y = first; y < fh; y += step) {
            if (lib->get_line(gif, line.data(), static_cast<int>(fw)) == GIF_ERROR) return Status::corrupt;
            u32* row = pixels + (u64(top) + y) * width + left;
            for (u32 x = 0; x < fw; x++) {
                if (line[x] >= map->ColorCount) return Status::corrupt;
                row[x] = colours[line[x]];
            }
        }
    }
    return Status::ok;
}

// Frees the colour map and closes the file whatever way encoding ends.
struct Writer {
    const Library* lib;
    GifFileType* gif = nullptr;
    ColorMapObject* map = nullptr;
    ~Writer() {
        int error;
        if (map) lib->free_map(map);
        if (gif) lib->e_close(gif, &error);
    }
};

// The palette of the pixels and each pixel's index in it.
struct Palette {
    std::vector<GifColorType> colours;
    std::vector<GifPixelType> indexes;
    int transparent = -1;
};

bool shown_q(u32 p) { return (p >> 24) >= 128; }

// Every colour kept exactly; false when there are more than `room`.
bool exact_palette(const u32* pixels, u64 count, u32 room, Palette& out) {
    std::unordered_map<u32, u8> seen;
    u32 last = 0xFFFFFFFFu;
    u8 last_index = 0;
    for (u64 i = 0; i < count; i++) {
        if (!shown_q(pixels[i])) continue;
        u32 rgb = pixels[i] & 0xFFFFFF;
        if (rgb == last) {
            out.indexes[i] = last_index;
            continue;
        }
        auto found = seen.find(rgb);
        if (found == seen.end()) {
            if (seen.size() == room) return false;
            found = seen.emplace(rgb, static_cast<u8>(seen.size())).first;
            out.colours.push_back({static_cast<GifByteType>(rgb >> 16), static_cast<GifByteType>(rgb >> 8),
                                   static_cast<GifByteType>(rgb)});
        }
        last = rgb;
        last_index = found->second;
        out.indexes[i] = last_index;
    }
    return true;
}

bool palette_of(const Library* lib, const u32* pixels, u32 width, u32 height, Palette& out) {
    u64 count = u64(width) * height;
    bool hidden = false;
    for (u64 i = 0; i < count && !hidden; i++) hidden = !shown_q(pixels[i]);
    // One index stays free for the transparent pixels.
    u32 room = hidden ? 255 : 256;
    out.indexes.assign(count, 0);
    if (!exact_palette(pixels, count, room, out)) {
        out.colours.clear();
        std::vector<GifByteType> red(count), green(count), blue(count);
        for (u64 i = 0; i < count; i++) {
            red[i] = static_cast<GifByteType>(pixels[i] >> 16);
            green[i] = static_cast<GifByteType>(pixels[i] >> 8);
            blue[i] = static_cast<GifByteType>(pixels[i]);
        }
        int size = static_cast<int>(room);
        std::vector<GifColorType> map(256);
        if (lib->quantize(width, height, &size, red.data(), green.data(), blue.data(), out.indexes.data(),
                          map.data()) == GIF_ERROR)
            return false;
        out.colours.assign(map.begin(), map.begin() + size);
    }
    if (hidden) {
        out.transparent = static_cast<int>(out.colours.size());
        out.colours.push_back({0, 0, 0});
        for (u64 i = 0; i < count; i++)
            if (!shown_q(pixels[i])) out.indexes[i] = static_cast<GifPixelType>(out.transparent);
    }
    return true;
}

}  // namespace

Status decode_gif(const u8* bytes, size_t length, Sink sink, void* context) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    Input in{bytes, length, 0};
    int error = 0;
    Reader r{lib, lib->d_open(&in, read_bytes, &error)};
    if (!r.gif) return Status::corrupt;
    return read_gif(lib, r.gif, sink, context);
}

}  // namespace zav::image_files

namespace zav::image_files {

Status encode_gif(const u32* pixels, u32 width, u32 height, std::string& out) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    Palette palette;
    if (!palette_of(lib, pixels, width, height, palette)) return Status::corrupt;
    // A colour map holds a power of two colours, at least two.
    size_t size = 2;
    while (size < palette.colours.size()) size *= 2;
    palette.colours.resize(size, GifColorType{0, 0, 0});
    Writer w{lib};
    int error = 0;
    w.gif = lib->e_open(&out, write_bytes, &error);
    if (!w.gif) return Status::corrupt;
    w.map = lib->make_map(static_cast<int>(size), palette.colours.data());
    if (!w.map) return Status::corrupt;
    lib->set_version(w.gif, true);
    if (lib->put_screen_desc(w.gif, static_cast<int>(width), static_cast<int>(height), 8, 0, w.map) == GIF_ERROR)
        return Status::corrupt;
    if (palette.transparent >= 0) {
        GifByteType control[4] = {GCE_TRANSPARENT, 0, 0, static_cast<GifByteType>(palette.transparent)};
        if (lib->put_extension(w.gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_ERROR) return Status::corrupt;
    }
    if (lib->put_image_desc(w.gif, 0, 0, static_cast<int>(width), static_cast<int>(height), false, nullptr) ==
        GIF_ERROR)
        return Status::corrupt;
    for (u32 y = 0; y < height; y++)
        if (lib->put_line(w.gif, palette.indexes.data() + u64(y) * width, static_cast<int>(width)) == GIF_ERROR)
            return Status::corrupt;
    // Closing writes the trailer and frees the file, failed or not.
    GifFileType* gif = w.gif;
    w.gif = nullptr;
    return lib->e_close(gif, &error) == GIF_ERROR ? Status::corrupt : Status::ok;
}

}  // namespace zav::image_files
