// PNG through libpng: every colour type and bit depth read as 8-bit BGRA,
// written as 8-bit RGB (opaque images) or RGBA.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "runtime/platform/dynlib.h"
#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

// libpng is opened on the first image: linked, it would load at every start.
struct Library {
    decltype(&::png_create_read_struct) create_read;
    decltype(&::png_create_write_struct) create_write;
    decltype(&::png_create_info_struct) create_info;
    decltype(&::png_destroy_read_struct) destroy_read;
    decltype(&::png_destroy_write_struct) destroy_write;
    decltype(&::png_set_longjmp_fn) set_longjmp_fn;
    decltype(&::png_longjmp) longjmp_;
    decltype(&::png_set_read_fn) set_read_fn;
    decltype(&::png_set_write_fn) set_write_fn;
    decltype(&::png_get_io_ptr) get_io_ptr;
    decltype(&::png_error) error;
    decltype(&::png_read_info) read_info;
    decltype(&::png_get_IHDR) get_IHDR;
    decltype(&::png_get_valid) get_valid;
    decltype(&::png_set_palette_to_rgb) palette_to_rgb;
    decltype(&::png_set_expand_gray_1_2_4_to_8) expand_gray;
    decltype(&::png_set_tRNS_to_alpha) tRNS_to_alpha;
    decltype(&::png_set_scale_16) scale_16;
    decltype(&::png_set_gray_to_rgb) gray_to_rgb;
    decltype(&::png_set_bgr) bgr;
    decltype(&::png_set_filler) filler;
    decltype(&::png_set_interlace_handling) interlace_handling;
    decltype(&::png_read_update_info) update_info;
    decltype(&::png_get_rowbytes) rowbytes;
    decltype(&::png_read_row) read_row;
    decltype(&::png_read_end) read_end;
    decltype(&::png_set_IHDR) set_IHDR;
    decltype(&::png_write_info) write_info;
    decltype(&::png_write_row) write_row;
    decltype(&::png_write_end) write_end;
};

const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = platform::open_library("libpng16.so.16", {
        {&lib.create_read, "png_create_read_struct"},
        {&lib.create_write, "png_create_write_struct"},
        {&lib.create_info, "png_create_info_struct"},
        {&lib.destroy_read, "png_destroy_read_struct"},
        {&lib.destroy_write, "png_destroy_write_struct"},
        {&lib.set_longjmp_fn, "png_set_longjmp_fn"},
        {&lib.longjmp_, "png_longjmp"},
        {&lib.set_read_fn, "png_set_read_fn"},
        {&lib.set_write_fn, "png_set_write_fn"},
        {&lib.get_io_ptr, "png_get_io_ptr"},
        {&lib.error, "png_error"},
        {&lib.read_info, "png_read_info"},
        {&lib.get_IHDR, "png_get_IHDR"},
        {&lib.get_valid, "png_get_valid"},
        {&lib.palette_to_rgb, "png_set_palette_to_rgb"},
        {&lib.expand_gray, "png_set_expand_gray_1_2_4_to_8"},
        {&lib.tRNS_to_alpha, "png_set_tRNS_to_alpha"},
        {&lib.scale_16, "png_set_scale_16"},
        {&lib.gray_to_rgb, "png_set_gray_to_rgb"},
        {&lib.bgr, "png_set_bgr"},
        {&lib.filler, "png_set_filler"},
        {&lib.interlace_handling, "png_set_interlace_handling"},
        {&lib.update_info, "png_read_update_info"},
        {&lib.rowbytes, "png_get_rowbytes"},
        {&lib.read_row, "png_read_row"},
        {&lib.read_end, "png_read_end"},
        {&lib.set_IHDR, "png_set_IHDR"},
        {&lib.write_info, "png_write_info"},
        {&lib.write_row, "png_write_row"},
        {&lib.write_end, "png_write_end"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

// The state of one run. Everything the code after a longjmp reads lives
// here, in memory, never in a register that setjmp would not restore.
struct Run {
    const Library* lib;
    const u8* data;
    size_t length;
    size_t pos;
    std::string* out;
    png_structp png;
    png_infop info;
    Sink sink;
    void* context;
    bool stopped;
};

// libpng's errors end the run: back to its setjmp, never a return.
[[noreturn]] void on_error(png_structp png, png_const_charp) {
    library()->longjmp_(png, 1);
    __builtin_unreachable();
}

void on_warning(png_structp, png_const_charp) {}

// Reading past the end of the bytes is a truncated file.
void read_bytes(png_structp png, png_bytep to, size_t count) {
    Run* r = static_cast<Run*>(library()->get_io_ptr(png));
    if (count > r->length - r->pos) r->lib->error(png, "truncated");
    std::memcpy(to, r->data + r->pos, count);
    r->pos += count;
}

void write_bytes(png_structp png, png_bytep from, size_t count) {
    Run* r = static_cast<Run*>(library()->get_io_ptr(png));
    r->out->append(reinterpret_cast<const char*>(from), count);
}

void flush(png_structp) {}

// The decoding proper. It holds no object with a destructor: libpng's
// errors leave it by longjmp.
Status read_png(Run& r) {
    const Library* lib = r.lib;
    if (setjmp(*lib->set_longjmp_fn(r.png, longjmp, sizeof(jmp_buf)))) {
        return r.stopped ? Status::stopped : Status::corrupt;
    }
    lib->set_read_fn(r.png, &r, read_bytes);
    lib->read_info(r.png, r.info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
    lib->get_IHDR(r.png, r.info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
    if (colour == PNG_COLOR_TYPE_PALETTE) lib->palette_to_rgb(r.png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) lib->expand_gray(r.png);
    bool alpha = (colour & PNG_COLOR_MASK_ALPHA) != 0;
    if (lib->get_valid(r.png, r.info, PNG_INFO_tRNS)) {
        lib->tRNS_to_alpha(r.png);
        alpha = true;
    }
    if (depth == 16) lib->scale_16(r.png);
    if (!(colour & PNG_COLOR_MASK_COLOR)) lib->gray_to_rgb(r.png);
    lib->bgr(r.png);
    if (!alpha) lib->filler(r.png, 0xFF, PNG_FILLER_AFTER);
    int passes = lib->interlace_handling(r.png);
    lib->update_info(r.png, r.info);
    if (width == 0 || height == 0 || lib->rowbytes(r.png, r.info) != u64(width) * 4) return Status::corrupt;
    u32* pixels = r.sink(r.context, width, height);
    if (!pixels) {
        r.stopped = true;
        return Status::stopped;
    }
    // The rows are read straight into the pixels: the interlaced passes
    // come back to each row and fill it further.
    for (int pass = 0; pass < passes; pass++)
        for (png_uint_32 y = 0; y < height; y++)
            lib->read_row(r.png, reinterpret_cast<png_bytep>(pixels + u64(y) * width), nullptr);
    // The rest of the file up to IEND: a file cut short there is corrupt too.
    lib->read_end(r.png, nullptr);
    return Status::ok;
}

Status write_png(Run& r, const u32* pixels, u32 width, u32 height) {
    const Library* lib = r.lib;
    if (setjmp(*lib->set_longjmp_fn(r.png, longjmp, sizeof(jmp_buf)))) return Status::corrupt;
    lib->set_write_fn(r.png, &r, write_bytes, flush);
    bool alpha = !opaque_q(pixels, u64(width) * height);
    lib->set_IHDR(r.png, r.info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                  PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    lib->write_info(r.png, r.info);
    // The pixels go as they are: libpng swaps blue and red, and drops the
    // alpha byte of an opaque image.
    lib->bgr(r.png);
    if (!alpha) lib->filler(r.png, 0, PNG_FILLER_AFTER);
    for (u32 y = 0; y < height; y++) lib->write_row(r.png, reinterpret_cast<png_const_bytep>(pixels + u64(y) * width));
    lib->write_end(r.png, r.info);
    return Status::ok;
}

}  // namespace

Status decode_png(const u8* bytes, size_t length, Sink sink, void* context) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    Run r{lib, bytes, length, 0, nullptr, nullptr, nullptr, sink, context, false};
    r.png = lib->create_read(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    if (!r.png) return Status::corrupt;
    r.info = lib->create_info(r.png);
    Status s = r.info ? read_png(r) : Status::corrupt;
    lib->destroy_read(&r.png, &r.info, nullptr);
    return s;
}

Status encode_png(const u32* pixels, u32 width, u32 height, std::string& out) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    Run r{lib, nullptr, 0, 0, &out, nullptr, nullptr, nullptr, nullptr, false};
    r.png = lib->create_write(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    if (!r.png) return Status::corrupt;
    r.info = lib->create_info(r.png);
    Status s = r.info ? write_png(r, pixels, width, height) : Status::corrupt;
    lib->destroy_write(&r.png, &r.info);
    return s;
}

}  // namespace zav::image_files
