// Checksums: over byte ranges, CRC-32 (the reflected ISO-HDLC CRC of gzip and
// PNG), Adler-32 (zlib's) and the 16-bit ones'-complement TCP checksum, which
// the compression codecs frame their data with; and the methods behind the
// checksum native: the method words, their algorithm codes, digests and HMAC
// as binary! values.
#pragma once
#include "runtime/cell.h"
#include "runtime/platform/crypto.h"

namespace zav::checksum {

u32 crc32(const u8* bytes, size_t length);
// Continues a CRC-32 over more bytes (crc32 = crc32_update(0, ...)).
u32 crc32_update(u32 crc, const u8* bytes, size_t length);

u32 adler32(const u8* bytes, size_t length);
// Continues an Adler-32 over more bytes (adler32 = adler32_update(1, ...)).
u32 adler32_update(u32 adler, const u8* bytes, size_t length);

// Big-endian 16-bit words summed, a last odd byte added unshifted, folded.
u16 tcp(const u8* bytes, size_t length);

// ---- the checksum native's methods

// Interns the method words tcp md5 sha1 crc32 adler32 sha256 sha384 sha512 hash.
void init();
// Is the symbol (letter case ignored) one of the nine method words?
bool method_q(i32 symbol);
// The algorithm code of a method word (crypto::Code); adler32 and hash have
// none, which callers rule out first (anything else is a runtime error).
i32 method_index(i32 symbol);
bool is_(i32 symbol, const char* name);  // the method word `name`?
u32 digest_size(i32 code);

// The digest of the bytes as a new binary! in `out`. An unknown code raises
// script/invalid-arg; a provider failure raises internal/not-here.
Cell* digest(const u8* bytes, size_t length, i32 code, Cell* out);
// HMAC of the data under the key with the method's digest, as a new binary!
// in `out`. Methods without a digest print a notice and leave none.
Cell* hmac(const u8* data, size_t length, const u8* key, size_t key_length, i32 symbol, Cell* out);
// The `hash` method's sized form: a notice, and 0.
i32 hash_not_implemented(const u8* data, size_t length, i32 size);

}  // namespace zav::checksum
