// Checksum method words and the digest and HMAC results of the checksum native.
#include "evaluator/checksum.h"

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
