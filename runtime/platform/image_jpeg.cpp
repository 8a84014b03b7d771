// JPEG through libjpeg-turbo: greyscale, colour and CMYK files read as BGRA
// (libjpeg-turbo converts to BGRA itself), written at quality 90 from BGRA.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csetjmp>

#include <jpeglib.h>
#include <jerror.h>

#include "runtime/platform/dynlib.h"
#include "runtime/platform/image_files_internal.h"

namespace zav::image_files {

namespace {

struct Library {
    decltype(&::jpeg_std_error) std_error;
    decltype(&::jpeg_CreateDecompress) create_decompress;
    decltype(&::jpeg_CreateCompress) create_compress;
    decltype(&::jpeg_destroy_decompress) destroy_decompress;
    decltype(&::jpeg_destroy_compress) destroy_compress;
    decltype(&::jpeg_mem_src) mem_src;
    decltype(&::jpeg_mem_dest) mem_dest;
    decltype(&::jpeg_read_header) read_header;
    decltype(&::jpeg_calc_output_dimensions) calc_output_dimensions;
    decltype(&::jpeg_start_decompress) start_decompress;
    decltype(&::jpeg_read_scanlines) read_scanlines;
    decltype(&::jpeg_finish_decompress) finish_decompress;
    decltype(&::jpeg_set_defaults) set_defaults;
    decltype(&::jpeg_set_quality) set_quality;
    decltype(&::jpeg_start_compress) start_compress;
    decltype(&::jpeg_write_scanlines) write_scanlines;
    decltype(&::jpeg_finish_compress) finish_compress;
};

const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = platform::open_library("libjpeg.so.62", {
        {&lib.std_error, "jpeg_std_error"},
        {&lib.create_decompress, "jpeg_CreateDecompress"},
        {&lib.create_compress, "jpeg_CreateCompress"},
        {&lib.destroy_decompress, "jpeg_destroy_decompress"},
        {&lib.destroy_compress, "jpeg_destroy_compress"},
        {&lib.mem_src, "jpeg_mem_src"},
        {&lib.mem_dest, "jpeg_mem_dest"},
        {&lib.read_header, "jpeg_read_header"},
        {&lib.calc_output_dimensions, "jpeg_calc_output_dimensions"},
        {&lib.start_decompress, "jpeg_start_decompress"},
        {&lib.read_scanlines, "jpeg_read_scanlines"},
        {&lib.finish_decompress, "jpeg_finish_decompress"},
        {&lib.set_defaults, "jpeg_set_defaults"},
        {&lib.set_quality, "jpeg_set_quality"},
        {&lib.start_compress, "jpeg_start_compress"},
        {&lib.write_scanlines, "jpeg_write_scanlines"},
        {&lib.finish_compress, "jpeg_finish_compress"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

// A progressive file may hold any number of scans, each a pass over the
// whole image: past this many the file is taken as hostile.
constexpr int MAX_SCANS = 1000;
constexpr int QUALITY = 90;  // the quality that image tools write by default

// The error manager first: libjpeg hands it back as the struct's `err`.
struct Errors {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

// libjpeg's errors end the run: back to the setjmp, never a return.
[[noreturn]] void on_error(j_common_ptr info) {
    longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
}

// Warnings that mean damaged data (the library would fill in the missing
// part with grey and go on) end the run as errors; the others are silent.
void on_message(j_common_ptr info, int level) {
    if (level >= 0) return;
    switch (info->err->msg_code) {
        case JWRN_ARITH_BAD_CODE: case JWRN_BOGUS_PROGRESSION: case JWRN_HIT_MARKER: case JWRN_HUFF_BAD_CODE:
        case JWRN_JPEG_EOF: case JWRN_MUST_RESYNC: case JWRN_NOT_SEQUENTIAL:
            on_error(info);
        default:
            return;
    }
}

void on_progress(j_common_ptr info) {
    if (info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > MAX_SCANS)
        on_error(info);
}

struct Decoder {
    Errors errors;
    jpeg_decompress_struct info;
    jpeg_progress_mgr progress;
    bool stopped;
};

// CMYK as Adobe's tools write it (inverted: 0 is full ink) or plain.
void cmyk_to_bgra(u32* row, u32 width, bool inverted) {
    u8* p = reinterpret_cast<u8*>(row);
    for (u32 x = 0; x < width; x++, p += 4) {
        u32 c = p[0], m = p[1], y = p[2], k = p[3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        row[x] = pixel((c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255, 255);
    }
}

// The decoding proper. It holds no object with a destructor: libjpeg's
// errors leave it by longjmp.
Status read_jpeg(const Library* lib, Decoder& d, const u8* bytes, size_t length, Sink sink, void* context) {
    jpeg_decompress_struct& info = d.info;
    if (setjmp(d.errors.jump)) return d.stopped ? Status::stopped : Status::corrupt;
    lib->mem_src(&info, bytes, static_cast<unsigned long>(length));
    if (lib->read_header(&info, TRUE) != JPEG_HEADER_OK) return Status::corrupt;
    bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    lib->calc_output_dimensions(&info);
    if (info.output_width == 0 || info.output_height == 0) return Status::corrupt;
    // The pixels are asked for before the library makes its own buffers,
    // whose size follows the image's: a size refused stops the run first.
    u32 width = info.output_width, height = info.output_height;
    u32* pixels = sink(context, width, height);
    if (!pixels) {
        d.stopped = true;
        return Status::stopped;
    }
    lib->start_decompress(&info);
    if (info.output_components != 4) return Status::corrupt;
    while (info.output_scanline < height) {
        // A few rows a call: the library hands back what one call can give.
        JSAMPROW rows[8];
        u32 first = info.output_scanline;
        u32 n = height - first < 8 ? height - first : 8;
        for (u32 k = 0; k < n; k++) rows[k] = reinterpret_cast<JSAMPROW>(pixels + u64(first + k) * width);
        u32 got = lib->read_scanlines(&info, rows, n);
        if (got == 0) return Status::corrupt;
        if (cmyk)
            for (u32 k = 0; k < got; k++) cmyk_to_bgra(pixels + u64(first + k) * width, width, info.saw_Adobe_marker);
    }
    lib->finish_decompress(&info);
    return Status::ok;
}

struct Encoder {
    Errors errors;
    jpeg_compress_struct info;
    unsigned char* buffer;
    unsigned long size;
};

Status write_jpeg(const Library* lib, Encoder& e, const u32* pixels, u32 width, u32 height) {
    jpeg_compress_struct& info = e.info;
    if (setjmp(e.errors.jump)) return Status::corrupt;
    lib->mem_dest(&info, &e.buffer, &e.size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    lib->set_defaults(&info);
    lib->set_quality(&info, QUALITY, TRUE);
    lib->start_compress(&info, TRUE);
    while (info.next_scanline < height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<u32*>(pixels + u64(info.next_scanline) * width));
        lib->write_scanlines(&info, &row, 1);
    }
    lib->finish_compress(&info);
    return Status::ok;
}

void set_errors(const Library* lib, Errors& errors) {
    lib->std_error(&errors.mgr);
    errors.mgr.error_exit = on_error;
    errors.mgr.emit_message = on_message;
}

}  // namespace

Status decode_jpeg(const u8* bytes, size_t length, Sink sink, void* context) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    Decoder d{};
    set_errors(lib, d.errors);
    d.info.err = &d.errors.mgr;
    // Creating allocates, and so may fail into the error handler too.
    if (setjmp(d.errors.jump)) return Status::corrupt;
    lib->create_decompress(&d.info, JPEG_LIB_VERSION, sizeof d.info);
    d.progress.progress_monitor = on_progress;
    d.info.progress = &d.progress;
    Status s = read_jpeg(lib, d, bytes, length, sink, context);
    lib->destroy_decompress(&d.info);
    return s;
}

Status encode_jpeg(const u32* pixels, u32 width, u32 height, std::string& out) {
    const Library* lib = library();
    if (!lib) return Status::no_library;
    // Refused before the library starts, which would fail holding its buffer.
    if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) return Status::corrupt;
    Encoder e{};
    set_errors(lib, e.errors);
    e.info.err = &e.errors.mgr;
    if (setjmp(e.errors.jump)) return Status::corrupt;
    lib->create_compress(&e.info, JPEG_LIB_VERSION, sizeof e.info);
    Status s = write_jpeg(lib, e, pixels, width, height);
    lib->destroy_compress(&e.info);
    // The library's own buffer, made with malloc. After a failure (out of
    // memory) it may already have been replaced and freed: left alone then.
    if (s == Status::ok) {
        if (e.buffer) out.assign(reinterpret_cast<const char*>(e.buffer), e.size);
        std::free(e.buffer);
    }
    return s;
}

}  // namespace zav::image_files
