// libFuzzer target: the gunzip decompressor on arbitrary bytes.
#include "fuzz/inflate_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_inflate::check(zav::compress::Format::gzip, zav::compress::gzip, zav::compress::gunzip, data, size);
    return 0;
}
