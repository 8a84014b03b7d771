// libFuzzer target: arbitrary bytes through the image codecs' decoder, as
// `load` hands a binary to them (the format told by the signature); the
// first byte may also put one of the five signatures in front of the rest,
// so that every decoder sees the input. Whatever decodes is encoded again
// in every format: PNG, BMP and TIFF must give back the very pixels. A
// language error is a normal outcome; a crash, hang, sanitizer report, leak
// or changed pixel is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot/boot.h"
#include "datatypes/binary.h"
#include "datatypes/cycles.h"
#include "datatypes/image.h"
#include "datatypes/imaging.h"
#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

using namespace zav;

namespace {

// Arena bytes the runtime may hold (the boot environment takes a few MiB):
// an image of some ten million pixels, so that a header that declares a
// giant picture fails as no-memory, never as an out-of-memory of the fuzzer.
constexpr u64 MEMORY_CAP = u64(64) << 20;
// Re-encoding is for small results: it is the decoders that are fuzzed.
constexpr u32 REENCODE_PIXELS = 1 << 16;

bool same_pixels(const Cell* a, const Cell* b) {
    return a->data3 == b->data3 &&
           std::memcmp(image::pixels_of(a), image::pixels_of(b), u64(image::pixel_count(a)) * 4) == 0;
}

void decode_and_reencode(const u8* data, size_t size) {
    Cell* saved = stack::top;
    try {
        Cell* decoded = image::decode(binary::load(data, static_cast<u32>(size)));
        u32 n = TYPE_OF(decoded) == TYPE_IMAGE ? image::pixel_count(decoded) : 0;
        if (n > 0 && n <= REENCODE_PIXELS) {
            for (i32 format : {image::IMAGE_PNG, image::IMAGE_BMP, image::IMAGE_TIFF, image::IMAGE_GIF,
                               image::IMAGE_JPEG}) {
                Cell* again = image::decode(image::encode(decoded, nullptr, format));
                bool exact = format == image::IMAGE_PNG || format == image::IMAGE_BMP || format == image::IMAGE_TIFF;
                if (TYPE_OF(again) != TYPE_IMAGE || (exact && !same_pixels(decoded, again))) std::abort();
            }
        }
    } catch (Throw&) {
        cycles::reset();
    }
    stack::top = saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = false;
    static unsigned runs = 0;
    if (!up) {
        boot::init_runtime();
        up = true;
    }
    if (memory::record.total > MEMORY_CAP / 2) collector::do_cycle();
    memory::cap = MEMORY_CAP;
    if (size > 0x7FFFFFFF) return 0;
    decode_and_reencode(data, size);
    static const std::string SIGNATURES[] = {"\x89PNG\r\n\x1A\n", "\xFF\xD8\xFF", "BM", "GIF89a",
                                             std::string("II\x2A\x00", 4)};
    if (size > 0 && data[0] < 5) {
        std::string framed = SIGNATURES[data[0]];
        framed.append(reinterpret_cast<const char*>(data + 1), size - 1);
        decode_and_reencode(reinterpret_cast<const u8*>(framed.data()), framed.size());
    }
    if (++runs % 256 == 0) collector::do_cycle();
    memory::cap = 0;
    return 0;
}
