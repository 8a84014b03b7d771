// The floor of the imaging benchmark: libpng and libjpeg called directly, as
// a program written for one format would, doing what `load` and `save` of
// an image do (the file read whole and decoded to 32-bit BGRA; BGRA encoded
// with the same settings and the file written).
//   zav_image_floor make DIR   writes DIR/big.png and DIR/big.jpg (4000x3000)
//   zav_image_floor time DIR   best of 3 seconds of each step, one "name secs" a line
#include <png.h>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr unsigned WIDTH = 4000, HEIGHT = 3000;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A picture with the texture of a photograph: smooth shading and fine noise.
std::vector<uint32_t> picture() {
    std::vector<uint32_t> p(size_t(WIDTH) * HEIGHT);
    uint32_t seed = 12345;
    for (unsigned y = 0; y < HEIGHT; y++) {
        for (unsigned x = 0; x < WIDTH; x++) {
            seed = seed * 1664525 + 1013904223;
            int noise = static_cast<int>(seed >> 28) - 8;
            auto ch = [&](int v) { return static_cast<uint32_t>(std::min(255, std::max(0, v + noise))); };
            int r = static_cast<int>(x * 255 / WIDTH), g = static_cast<int>(y * 255 / HEIGHT);
            int b = static_cast<int>((x + y) % 512 < 256 ? (x + y) % 256 : 511 - (x + y) % 512);
            p[size_t(y) * WIDTH + x] = ch(b) | ch(g) << 8 | ch(r) << 16 | 0xFF000000u;
        }
    }
    return p;
}

// ---- PNG ----------------------------------------------------------------------------------

struct Input {
    const std::string* bytes;
    size_t pos;
};

void read_bytes(png_structp png, png_bytep to, size_t n) {
    Input* in = static_cast<Input*>(png_get_io_ptr(png));
    if (n > in->bytes->size() - in->pos) png_error(png, "truncated");
    std::memcpy(to, in->bytes->data() + in->pos, n);
    in->pos += n;
}

void write_bytes(png_structp png, png_bytep from, size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(from), n);
}
void flush(png_structp) {}

std::vector<uint32_t> png_decode(const std::string& bytes, unsigned& w, unsigned& h) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Input in{&bytes, 0};
    std::vector<uint32_t> pixels;
    if (setjmp(png_jmpbuf(png))) std::abort();
    png_set_read_fn(png, &in, read_bytes);
    png_read_info(png, info);
    w = png_get_image_width(png, info);
    h = png_get_image_height(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    pixels.resize(size_t(w) * h);
    for (unsigned y = 0; y < h; y++) png_read_row(png, reinterpret_cast<png_bytep>(&pixels[size_t(y) * w]), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return pixels;
}

std::string png_encode(const std::vector<uint32_t>& pixels, unsigned w, unsigned h) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) std::abort();
    png_set_write_fn(png, &out, write_bytes, flush);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (unsigned y = 0; y < h; y++) png_write_row(png, reinterpret_cast<png_const_bytep>(&pixels[size_t(y) * w]));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// ---- JPEG ---------------------------------------------------------------------------------

std::vector<uint32_t> jpeg_decode(const std::string& bytes, unsigned& w, unsigned& h) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&info);
    w = info.output_width;
    h = info.output_height;
    std::vector<uint32_t> pixels(size_t(w) * h);
    while (info.output_scanline < h) {
        JSAMPROW rows[8];
        unsigned first = info.output_scanline, n = std::min(8u, h - first);
        for (unsigned k = 0; k < n; k++) rows[k] = reinterpret_cast<JSAMPROW>(&pixels[size_t(first + k) * w]);
        jpeg_read_scanlines(&info, rows, n);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return pixels;
}

std::string jpeg_encode(const std::vector<uint32_t>& pixels, unsigned w, unsigned h) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = w;
    info.image_height = h;
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < h) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(&pixels[size_t(info.next_scanline) * w]));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

template <class F>
double best_of_3(F f) {
    double best = 1e30;
    for (int i = 0; i < 3; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: zav_image_floor make|time DIR\n", stderr);
        return 2;
    }
    std::string mode = argv[1], dir = std::string(argv[2]) + "/";
    if (mode == "make") {
        std::vector<uint32_t> p = picture();
        write_file(dir + "big.png", png_encode(p, WIDTH, HEIGHT));
        write_file(dir + "big.jpg", jpeg_encode(p, WIDTH, HEIGHT));
        return 0;
    }
    unsigned w = 0, h = 0;
    std::vector<uint32_t> png_pixels, jpeg_pixels;
    double pd = best_of_3([&] { png_pixels = png_decode(read_file(dir + "big.png"), w, h); });
    double pe = best_of_3([&] { write_file(dir + "floor.png", png_encode(png_pixels, w, h)); });
    double jd = best_of_3([&] { jpeg_pixels = jpeg_decode(read_file(dir + "big.jpg"), w, h); });
    double je = best_of_3([&] { write_file(dir + "floor.jpg", jpeg_encode(jpeg_pixels, w, h)); });
    std::printf("png-decode %.4f\npng-encode %.4f\njpeg-decode %.4f\njpeg-encode %.4f\nsize %ux%u\n", pd, pe, jd, je,
                w, h);
    return 0;
}
