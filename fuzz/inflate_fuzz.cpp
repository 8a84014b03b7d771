// libFuzzer target: the inflate decompressor on arbitrary bytes.
#include "fuzz/inflate_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_inflate::check(zav::compress::Format::deflate, zav::compress::deflate, zav::compress::inflate, data, size);
    return 0;
}
