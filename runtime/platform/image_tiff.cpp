// TIFF through libtiff: the first image of a file. 8-bit RGB and RGBA strips
// are read as they are (straight alpha kept exactly); every other layout goes
// through libtiff's RGBA reader. Written as LZW-compressed 8-bit RGB, or RGBA
// with straight alpha.
#include <tiffio.h>

#include <cstring>
#include <vector>

#include "runtime/platform/dynlib.h"
#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

struct Library {
    decltype(&::TIFFClientOpenExt) client_open;
    decltype(&::TIFFClose) close;
    decltype(&::TIFFOpenOptionsAlloc) options_alloc;
    decltype(&::TIFFOpenOptionsFree) options_free;
    decltype(&::TIFFOpenOptionsSetErrorHandlerExtR) set_error_handler;
    decltype(&::TIFFOpenOptionsSetWarningHandlerExtR) set_warning_handler;
    decltype(&::TIFFOpenOptionsSetMaxSingleMemAlloc) set_max_alloc;
    decltype(&::TIFFGetField) get_field;
    decltype(&::TIFFGetFieldDefaulted) get_field_defaulted;
    decltype(&::TIFFSetField) set_field;
    decltype(&::TIFFIsTiled) is_tiled;
    decltype(&::TIFFScanlineSize) scanline_size;
    decltype(&::TIFFReadScanline) read_scanline;
    decltype(&::TIFFWriteScanline) write_scanline;
    decltype(&::TIFFDefaultStripSize) default_strip_size;
    decltype(&::TIFFRGBAImageOK) rgba_ok;
    decltype(&::TIFFReadRGBAImageOriented) read_rgba;
};

const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = platform::open_library("libtiff.so.6", {
        {&lib.client_open, "TIFFClientOpenExt"},
        {&lib.close, "TIFFClose"},
        {&lib.options_alloc, "TIFFOpenOptionsAlloc"},
        {&lib.options_free, "TIFFOpenOptionsFree"},
        {&lib.set_error_handler, "TIFFOpenOptionsSetErrorHandlerExtR"},
        {&lib.set_warning_handler, "TIFFOpenOptionsSetWarningHandlerExtR"},
        {&lib.set_max_alloc, "TIFFOpenOptionsSetMaxSingleMemAlloc"},
        {&lib.get_field, "TIFFGetField"},
        {&lib.get_field_defaulted, "TIFFGetFieldDefaulted"},
        {&lib.set_field, "TIFFSetField"},
        {&lib.is_tiled, "TIFFIsTiled"},
        {&lib.scanline_size, "TIFFScanlineSize"},
        {&lib.read_scanline, "TIFFReadScanline"},
        {&lib.write_scanline, "TIFFWriteScanline"},
        {&lib.default_strip_size, "TIFFDefaultStripSize"},
        {&lib.rgba_ok, "TIFFRGBAImageOK"},
        {&lib.read_rgba, "TIFFReadRGBAImageOriented"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

// libtiff's buffers follow sizes the file declares (a tile may claim to be
// larger than its image); none may be larger than this. Writers make strips
// of a few kilobytes; even a picture held in one strip fits up to some 60
// million pixels.
constexpr tmsize_t MAX_ALLOC = tmsize_t(256) << 20;

// The file in memory: read from the bytes, or written to a string that grows.
struct File {
    const u8* data;
    std::string* out;
    u64 size;
    u64 pos;
    bool failed;  // libtiff reported an error
};

tmsize_t read_proc(thandle_t h, void* to, tmsize_t count) {
    File* f = static_cast<File*>(h);
    const u8* base = f->out ? reinterpret_cast<const u8*>(f->out->data()) : f->data;
    if (count < 0 || f->pos >= f->size) return 0;
    u64 n = static_cast<u64>(count) < f->size - f->pos ? static_cast<u64>(count) : f->size - f->pos;
    std::memcpy(to, base + f->pos, n);
    f->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t write_proc(thandle_t h, void* from, tmsize_t count) {
    File* f = static_cast<File*>(h);
    if (!f->out || count < 0) return -1;
    u64 end = f->pos + static_cast<u64>(count);
    if (end > f->out->size()) f->out->resize(end);
    std::memcpy(f->out->data() + f->pos, from, static_cast<size_t>(count));
    f->pos = end;
    if (end > f->size) f->size = end;
    return count;
}

toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    File* f = static_cast<File*>(h);
    u64 base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
    f->pos = base + offset;
    return f->pos;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return static_cast<File*>(h)->size; }

// Read from memory: libtiff reads the bytes in place.
int map_proc(thandle_t h, void** base, toff_t* size) {
    File* f = static_cast<File*>(h);
    if (f->out) return 0;
    *base = const_cast<u8*>(f->data);
    *size = f->size;
    return 1;
}
void unmap_proc(thandle_t, void*, toff_t) {}

int on_error(::TIFF*, void* user, const char*, const char*, va_list) {
    static_cast<File*>(user)->failed = true;
    return 1;  // handled: nothing is printed
}
int on_warning(::TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Opens the file with handlers that keep libtiff silent and note its errors.
struct Opened {
    const Library* lib;
    ::TIFF* tif = nullptr;
    Opened(const Library* l, File& f, const char* mode) : lib(l) {
        TIFFOpenOptions* options = lib->options_alloc();
        if (!options) return;
        lib->set_error_handler(options, on_error, &f);
        lib->set_warning_handler(options, on_warning, &f);
        lib->set_max_alloc(options, MAX_ALLOC);
        tif = lib->client_open("memory", mode, &f, read_proc, write_proc, seek_proc, close_proc, size_proc, map_proc,
                               unmap_proc, options);
        lib->options_free(options);
    }
    ~Opened() {
        if (tif) lib->close(tif);
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
};

// 8-bit RGB or RGBA in contiguous strips, read row by row as it stands.
Status read_rows(const Library* lib, ::TIFF* tif, u32* pixels, u32 width, u32 height, u32 samples, bool premultiplied,
                 const File& f) {
    if (static_cast<u64>(lib->scanline_size(tif)) != u64(width) * samples) return Status::corrupt;
    std::vector<u8> row(u64(width) * samples);
    for (u32 y = 0; y < height; y++) {
        if (lib->read_scanline(tif, row.data(), y, 0) < 0 || f.failed) return Status::corrupt;
        u32* out = pixels + u64(y) * width;
        const u8* p = row.data();
        for (u32 x = 0; x < width; x++, p += samples) {
            u32 a = samples == 4 ? p[3] : 255;
            out[x] = pixel(p[0], p[1], p[2], a);
            if (premultiplied) out[x] = unpremultiply(out[x]);
        }
    }
    return Status::ok;
}

// Any other layout, through libtiff's RGBA reader (which premultiplies).
Status read_rgba(const Library* lib, ::TIFF* tif, u32* pixels, u32 width, u32 height, const File& f) {
    if (!lib->read_rgba(tif, width, height, pixels, ORIENTATION_TOPLEFT, 1) || f.failed) return Status::corrupt;
    u64 n = u64(width) * height;
    for (u64 i = 0; i < n; i++) {
        u32 p = pixels[i];  // red in the low byte
        pixels[i] = unpremultiply(pixel(p & 255, (p >> 8) & 255, (p >> 16) & 255, p >> 24));
    }
    return Status::ok;
}

Status read_tiff(const Library* lib, ::TIFF* tif, Sink sink, void* context, const File& f) {
    uint32_t width = 0, height = 0;
    if (!lib->get_field(tif, TIFFTAG_IMAGEWIDTH, &width) || !lib->get_field(tif, TIFFTAG_IMAGELENGTH, &height) ||
        width == 0 || height == 0)
        return Status::corrupt;
    uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, orientation = 0, extra_count = 0;
    uint16_t* extra = nullptr;
    lib->get_field_defaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    lib->get_field_defaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    lib->get_field_defaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    lib->get_field_defaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    lib->get_field_defaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    bool has_photometric = lib->get_field(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    bool alpha = samples == 4 && extra_count == 1 && extra &&
                 (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA);
    bool plain = has_photometric && photometric == PHOTOMETRIC_RGB && bits == 8 && (samples == 3 || alpha) &&
                 planar == PLANARCONFIG_CONTIG && orientation == ORIENTATION_TOPLEFT && !lib->is_tiled(tif);
    if (!plain) {
        char message[1024];
        if (!lib->rgba_ok(tif, message)) return Status::corrupt;
    }
    u32* pixels = sink(context, width, height);
    if (!pixels) return Status::stopped;
    if (plain) return read_rows(lib, tif, pixels, width, height, samples, alpha && extra[0] == EXTRASAMPLE_ASSOCALPHA, f);
    return read_rgba(lib, tif, pixels, width, height, f);
}

}  // namespace

Status decode_tiff(const u8* bytes, size_t length, Sink sink, void* context) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    File f{bytes, nullptr, length, 0, false};
    Opened file(lib, f, "r");
    if (!file.tif || f.failed) return Status::corrupt;
    return read_tiff(lib, file.tif, sink, context, f);
}

Status encode_tiff(const u32* pixels, u32 width, u32 height, std::string& out) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    std::string bytes;
    File f{nullptr, &bytes, 0, 0, false};
    {
        Opened file(lib, f, "w");
        ::TIFF* tif = file.tif;
        if (!tif) return Status::corrupt;
        bool alpha = !opaque_q(pixels, u64(width) * height);
        u32 samples = alpha ? 4 : 3;
        lib->set_field(tif, TIFFTAG_IMAGEWIDTH, width);
        lib->set_field(tif, TIFFTAG_IMAGELENGTH, height);
        lib->set_field(tif, TIFFTAG_BITSPERSAMPLE, 8);
        lib->set_field(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
        lib->set_field(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        lib->set_field(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        lib->set_field(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        lib->set_field(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        if (alpha) {
            uint16_t kind = EXTRASAMPLE_UNASSALPHA;
            lib->set_field(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
        }
        lib->set_field(tif, TIFFTAG_ROWSPERSTRIP, lib->default_strip_size(tif, 0));
        std::vector<u8> row(u64(width) * samples);
        for (u32 y = 0; y < height; y++) {
            const u32* in = pixels + u64(y) * width;
            u8* p = row.data();
            for (u32 x = 0; x < width; x++, p += samples) {
                p[0] = static_cast<u8>(in[x] >> 16);
                p[1] = static_cast<u8>(in[x] >> 8);
                p[2] = static_cast<u8>(in[x]);
                if (alpha) p[3] = static_cast<u8>(in[x] >> 24);
            }
            if (lib->write_scanline(tif, row.data(), y, 0) < 0 || f.failed) return Status::corrupt;
        }
    }  // closing writes the directory
    if (f.failed) return Status::corrupt;
    out = std::move(bytes);
    return Status::ok;
}

}  // namespace zav::image_files
