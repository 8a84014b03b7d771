// libFuzzer target: the zlib-inflate decompressor on arbitrary bytes.
#include "fuzz/inflate_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_inflate::check(zav::compress::Format::zlib, zav::compress::zlib_deflate, zav::compress::zlib_inflate, data, size);
    return 0;
}
