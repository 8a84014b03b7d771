// Shared body of the decompressor fuzz targets: arbitrary bytes through the
// fixed-buffer entry (a sizing pass, then a buffer of the reported size) and
// the growing one must agree and stay in bounds; the bytes themselves must
// round-trip through the matching compressor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loader/compress.h"

namespace fuzz_inflate {

using namespace zav;
using Codec = i32 (*)(u8*, u32*, const u8*, u32);

inline void check(compress::Format format, Codec pack, Codec unpack, const uint8_t* data, size_t size) {
    u32 length = static_cast<u32>(size);
    u32 need = 0;
    i32 sizing = unpack(nullptr, &need, data, length);
    compress::Bytes grown;
    i32 grew = compress::decompress(format, data, size, 0, 1u << 26, grown);
    if (sizing == compress::TOO_SMALL || sizing == compress::OK) {
        std::vector<u8> out(need + 1);
        u32 got = need;
        i32 r = unpack(out.data(), &got, data, length);
        if (r == compress::TOO_SMALL || got != need) std::abort();
        if (r == compress::OK && (grew != compress::OK || grown.size != got ||
                                  (got && std::memcmp(grown.data.get(), out.data(), got) != 0)))
            std::abort();
    }
    if (grew == compress::OK && sizing != compress::OK && sizing != compress::TOO_SMALL) std::abort();

    u32 packed_size = 0;
    pack(nullptr, &packed_size, data, length);
    std::vector<u8> packed(packed_size);
    if (pack(packed.data(), &packed_size, data, length) != compress::OK) std::abort();
    std::vector<u8> back(size + 1);
    u32 back_size = length;
    if (unpack(back.data(), &back_size, packed.data(), packed_size) != compress::OK || back_size != length ||
        (size && std::memcmp(back.data(), data, size) != 0))
        std::abort();
}

}  // namespace fuzz_inflate
