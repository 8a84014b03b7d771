// Checksums over byte ranges: CRC-32 (the reflected ISO-HDLC CRC of gzip and
// PNG), Adler-32 (zlib's) and the 16-bit ones'-complement TCP checksum. They
// sit this low so the compression codecs can frame their data with them.
#pragma once
#include "runtime/common.h"

namespace zav::checksum {

u32 crc32(const u8* bytes, size_t length);
// Continues a CRC-32 over more bytes (crc32 = crc32_update(0, ...)).
u32 crc32_update(u32 crc, const u8* bytes, size_t length);

u32 adler32(const u8* bytes, size_t length);
// Continues an Adler-32 over more bytes (adler32 = adler32_update(1, ...)).
u32 adler32_update(u32 adler, const u8* bytes, size_t length);

// Big-endian 16-bit words summed, a last odd byte added unshifted, folded.
u16 tcp(const u8* bytes, size_t length);

}  // namespace zav::checksum
