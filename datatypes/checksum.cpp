// CRC-32 eight bytes at a time over eight derived tables; Adler-32 reducing
// modulo 65521 only once per run of bytes that cannot overflow 32 bits. The
// checksum native's method words and its digest and HMAC results.
#include "datatypes/checksum.h"

#include <array>

#include "datatypes/binary.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"

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

// ---- the checksum native's methods

namespace {

struct Method {
    const char* name;
    i32 code;  // -1: no algorithm code
    i32 symbol;
};
Method methods[] = {
    {"tcp", crypto::TCP, -1},       {"md5", crypto::MD5, -1},       {"sha1", crypto::SHA1, -1},
    {"crc32", crypto::CRC32, -1},   {"adler32", -1, -1},            {"sha256", crypto::SHA256, -1},
    {"sha384", crypto::SHA384, -1}, {"sha512", crypto::SHA512, -1}, {"hash", -1, -1},
};

const Method* find(i32 symbol) {
    i32 id = symbol::resolve(symbol);
    for (const Method& m : methods)
        if (m.symbol == id) return &m;
    return nullptr;
}

// Prints a notice of the runtime's own on a line.
void notice(const char* text) {
    Cell* s = string::load(text);
    print_hooks::print(s, true);
}

[[noreturn]] void provider_failed(i32 code) {
    Cell word;
    for (const Method& m : methods)
        if (m.code == code) word::make_at(m.symbol, &word);
    fire("internal", "not-here", &word);
}

}  // namespace

void init() {
    for (Method& m : methods) m.symbol = symbol::resolve(symbol::make(m.name));
}

bool method_q(i32 symbol) { return find(symbol) != nullptr; }

i32 method_index(i32 symbol) {
    const Method* m = find(symbol);
    if (!m || m->code < 0) rt::quit(rt::RT_ERR_NO_CASE, rt::code_address());
    return m->code;
}

bool is_(i32 symbol, const char* name) {
    const Method* m = find(symbol);
    return m && std::strcmp(m->name, name) == 0;
}

u32 digest_size(i32 code) { return crypto::digest_size(code); }

Cell* digest(const u8* bytes, size_t length, i32 code, Cell* out) {
    if (!crypto::digest_size(code)) {
        Cell c;
        integer::make_at(&c, code);
        fire("script", "invalid-arg", &c);
    }
    u8 result[crypto::MAX_DIGEST];
    if (!crypto::digest(bytes, length, code, result)) provider_failed(code);
    binary::load_in(out, digest_size(code));
    binary::zs_append(out, result, digest_size(code));
    return out;
}

Cell* hmac(const u8* data, size_t length, const u8* key, size_t key_length, i32 symbol, Cell* out) {
    const Method* m = find(symbol);
    if (!m || m->code < crypto::MD5) {
        notice("The selected algorithm doesn't support HMAC calculation");
        return make_cell(out, TYPE_NONE);
    }
    u8 result[crypto::MAX_DIGEST];
    if (!crypto::hmac(data, length, key, key_length, m->code, result)) provider_failed(m->code);
    binary::load_in(out, digest_size(m->code));
    binary::zs_append(out, result, digest_size(m->code));
    return out;
}

i32 hash_not_implemented(const u8*, size_t, i32) {
    notice("** /hash support not yet implemented; algorithm TBD.");
    return 0;
}

}  // namespace zav::checksum
