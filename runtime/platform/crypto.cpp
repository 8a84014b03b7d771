// Digests through libcrypto's EVP interface; HMAC built on them (RFC 2104);
// secure random bytes through getrandom(2).
#include "runtime/platform/crypto.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

namespace zav::crypto {

namespace {

const EVP_MD* algorithm(i32 code) {
    switch (code) {
        case MD5: return EVP_md5();
        case SHA1: return EVP_sha1();
        case SHA256: return EVP_sha256();
        case SHA384: return EVP_sha384();
        case SHA512: return EVP_sha512();
        default: return nullptr;
    }
}

struct FreeContext {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// The digest of two consecutive pieces, as HMAC needs it.
bool digest2(const u8* a, size_t a_length, const u8* b, size_t b_length, i32 code, u8* out) {
    const EVP_MD* md = algorithm(code);
    if (!md) return false;
    std::unique_ptr<EVP_MD_CTX, FreeContext> ctx(EVP_MD_CTX_new());
    unsigned int written = 0;
    return ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
           (a_length == 0 || EVP_DigestUpdate(ctx.get(), a, a_length) == 1) &&
           (b_length == 0 || EVP_DigestUpdate(ctx.get(), b, b_length) == 1) &&
           EVP_DigestFinal_ex(ctx.get(), out, &written) == 1 && written == digest_size(code);
}

}  // namespace

u32 digest_size(i32 code) {
    static const u32 sizes[] = {0, 0, 16, 20, 32, 48, 64};
    return code >= 0 && code <= SHA512 ? sizes[code] : 0;
}

u32 block_size(i32 code) { return code == SHA384 || code == SHA512 ? 128 : 64; }

bool digest(const u8* bytes, size_t length, i32 code, u8* out) { return digest2(bytes, length, nullptr, 0, code, out); }

bool hmac(const u8* data, size_t length, const u8* key, size_t key_length, i32 code, u8* out) {
    u32 block = block_size(code);
    if (!digest_size(code)) return false;
    u8 short_key[MAX_DIGEST];
    if (key_length > block) {
        if (!digest(key, key_length, code, short_key)) return false;
        key = short_key;
        key_length = digest_size(code);
    }
    u8 inner_pad[128] = {}, outer_pad[128] = {};
    if (key_length) std::memcpy(inner_pad, key, key_length);
    if (key_length) std::memcpy(outer_pad, key, key_length);
    for (u32 k = 0; k < block; k++) {
        inner_pad[k] ^= 0x36;
        outer_pad[k] ^= 0x5C;
    }
    u8 inner[MAX_DIGEST];
    return digest2(inner_pad, block, data, length, code, inner) &&
           digest2(outer_pad, block, inner, digest_size(code), code, out);
}

bool random_bytes(u8* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t r = getrandom(buffer + got, length - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace zav::crypto
