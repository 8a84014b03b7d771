// libFuzzer target: arbitrary bytes as a block-compressor item must be
// refused or unpacked within bounds; the bytes themselves must round-trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "loader/crush.h"

using namespace zav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u32 out = 0;
    if (u8* p = crush::decompress(data, size, &out)) crush::free(p);

    std::vector<u8> packed(size);
    i32 n = crush::compress(data, static_cast<u32>(size), packed.data());
    if (n >= 0) {
        u8* p = crush::decompress(packed.data(), static_cast<size_t>(n), &out);
        if (!p || out != size || std::memcmp(p, data, size) != 0) std::abort();
        crush::free(p);
    }
    return 0;
}
