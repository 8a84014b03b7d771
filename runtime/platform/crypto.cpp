// Digests through libcrypto's EVP interface; HMAC built on them (RFC 2104);
// secure random bytes through getrandom(2).
#include "runtime/platform/crypto.h"
#include "runtime/platform/dynlib.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <memory>

namespace zav::crypto {

using platform::open_library;

namespace {

// libcrypto is opened on the first digest: linked, it and its libraries
// would be loaded at every start-up, costing more than the start-up itself.
struct Library {
    decltype(&::EVP_md5) md5;
    decltype(&::EVP_sha1) sha1;
    decltype(&::EVP_sha256) sha256;
    decltype(&::EVP_sha384) sha384;
    decltype(&::EVP_sha512) sha512;
    decltype(&::EVP_MD_CTX_new) ctx_new;
    decltype(&::EVP_MD_CTX_free) ctx_free;
    decltype(&::EVP_DigestInit_ex) init;
    decltype(&::EVP_DigestUpdate) update;
    decltype(&::EVP_DigestFinal_ex) final;
};

// Null when the library or one of its entries is missing.
const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = open_library("libcrypto.so.3", {
        {&lib.md5, "EVP_md5"},
        {&lib.sha1, "EVP_sha1"},
        {&lib.sha256, "EVP_sha256"},
        {&lib.sha384, "EVP_sha384"},
        {&lib.sha512, "EVP_sha512"},
        {&lib.ctx_new, "EVP_MD_CTX_new"},
        {&lib.ctx_free, "EVP_MD_CTX_free"},
        {&lib.init, "EVP_DigestInit_ex"},
        {&lib.update, "EVP_DigestUpdate"},
        {&lib.final, "EVP_DigestFinal_ex"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

const EVP_MD* algorithm(const Library* lib, i32 code) {
    switch (code) {
        case MD5: return lib->md5();
        case SHA1: return lib->sha1();
        case SHA256: return lib->sha256();
        case SHA384: return lib->sha384();
        case SHA512: return lib->sha512();
        default: return nullptr;
    }
}

struct FreeContext {
    void operator()(EVP_MD_CTX* c) const { library()->ctx_free(c); }
};

// The digest of two consecutive pieces, as HMAC needs it.
bool digest2(const u8* a, size_t a_length, const u8* b, size_t b_length, i32 code, u8* out) {
    const Library* lib = library();
    if (!lib) return false;
    const EVP_MD* md = algorithm(lib, code);
    if (!md) return false;
    std::unique_ptr<EVP_MD_CTX, FreeContext> ctx(lib->ctx_new());
    unsigned int written = 0;
    return ctx && lib->init(ctx.get(), md, nullptr) == 1 &&
           (a_length == 0 || lib->update(ctx.get(), a, a_length) == 1) &&
           (b_length == 0 || lib->update(ctx.get(), b, b_length) == 1) &&
           lib->final(ctx.get(), out, &written) == 1 && written == digest_size(code);
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
