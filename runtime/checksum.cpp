// CRC-32 eight bytes at a time over eight derived tables; Adler-32 reducing
// modulo 65521 only once per run of bytes that cannot overflow 32 bits.
#include "runtime/checksum.h"

#include <array>

namespace zav::checksum {

namespace {

using Tables = std::array<std::array<u32, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (u32 k = 0; k < 256; k++) {
        u32 c = k;
        for (int i = 0; i < 8; i++) c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][k] = c;
    }
    for (u32 k = 0; k < 256; k++)
        for (int s = 1; s < 8; s++) t[s][k] = (t[s - 1][k] >> 8) ^ t[0][t[s - 1][k] & 0xFF];
    return t;
}

constexpr Tables TABLES = make_tables();

constexpr u32 ADLER_MOD = 65521;
// The longest run after which b still fits in 32 bits before reduction.
constexpr size_t ADLER_RUN = 5552;

}  // namespace

u32 crc32_update(u32 crc, const u8* p, size_t n) {
    u32 c = ~crc;
    while (n >= 8) {
        u32 lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = TABLES[7][lo & 0xFF] ^ TABLES[6][(lo >> 8) & 0xFF] ^ TABLES[5][(lo >> 16) & 0xFF] ^
            TABLES[4][lo >> 24] ^ TABLES[3][hi & 0xFF] ^ TABLES[2][(hi >> 8) & 0xFF] ^
            TABLES[1][(hi >> 16) & 0xFF] ^ TABLES[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ TABLES[0][(c ^ *p++) & 0xFF];
    return ~c;
}

u32 crc32(const u8* bytes, size_t length) { return crc32_update(0, bytes, length); }

u32 adler32_update(u32 adler, const u8* p, size_t n) {
    u32 a = adler & 0xFFFF, b = adler >> 16;
    while (n) {
        size_t run = n < ADLER_RUN ? n : ADLER_RUN;
        n -= run;
        while (run >= 8) {
            a += p[0]; b += a; a += p[1]; b += a; a += p[2]; b += a; a += p[3]; b += a;
            a += p[4]; b += a; a += p[5]; b += a; a += p[6]; b += a; a += p[7]; b += a;
            p += 8;
            run -= 8;
        }
        while (run--) {
            a += *p++;
            b += a;
        }
        a %= ADLER_MOD;
        b %= ADLER_MOD;
    }
    return a | b << 16;
}

u32 adler32(const u8* bytes, size_t length) { return adler32_update(1, bytes, length); }

u16 tcp(const u8* p, size_t n) {
    u64 sum = 0;
    size_t i = 0;
    for (; i + 1 < n; i += 2) sum += static_cast<u32>(p[i]) << 8 | p[i + 1];
    if (i < n) sum += p[i];
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<u16>(~sum & 0xFFFF);
}

}  // namespace zav::checksum
