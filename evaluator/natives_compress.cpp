// checksum, compress and decompress: the natives over the checksum methods
// and the DEFLATE, zlib and gzip codecs. The codecs work on raw pointers into
// series, so every result is built in C++ memory first and copied into a new
// binary! only afterwards, when an allocation may move buffers.
#include <memory>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/integer.h"
#include "datatypes/simple_io.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/checksum.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "loader/compress.h"
#include "runtime/fire.h"
#include "runtime/unicode.h"

namespace zav::natives {

namespace {

// Outputs are binary! values, which cannot reach 2 GB.
constexpr size_t OUTPUT_LIMIT = 0x7FFFFFF0;

Cell* arg(i32 i) { return stack::arguments + i; }

// Bytes of a value, valid until the next allocation.
struct Span {
    const u8* bytes;
    u32 length;
};

// A binary! from its head, any string as UTF-8; anything else is invalid-arg.
Span bytes_of(Cell* value) {
    if (TYPE_OF(value) == TYPE_BINARY) return {binary::zs_head(value), binary::zs_length_q(value)};
    if (string::any_string_q(TYPE_OF(value))) {
        i32 length = -1;
        const u8* p = unicode::to_utf8(value, length);
        return {p, static_cast<u32>(length)};
    }
    fire("script", "invalid-arg", value);
}

i32 method_symbol(Cell* method) {
    if (TYPE_OF(method) != TYPE_WORD) fire("script", "invalid-arg", method);
    return symbol::resolve(static_cast<i32>(word_symbol(method)));
}

compress::Format format_of(Cell* method) {
    i32 id = method_symbol(method);
    for (auto [name, format] : {std::pair{"zlib", compress::Format::zlib}, std::pair{"deflate", compress::Format::deflate},
                                std::pair{"gzip", compress::Format::gzip}})
        if (symbol::resolve(symbol::make(name)) == id) return format;
    fire("script", "invalid-arg", method);
}

// Makes the result slot a new binary! holding the bytes.
void result_bytes(const u8* bytes, size_t length) {
    Cell* out = binary::load_in(arg(0), static_cast<u32>(length));
    binary::zs_append(out, bytes, static_cast<u32>(length));
    stack::top = stack::arguments + 1;
}

}  // namespace

void checksum_star(bool check, const i32* refinements) {
    if (check) check_args(N_CHECKSUM, refinements);
    i32 with = refinements ? refinements[0] : -1;
    Cell* data = arg(0);
    Cell* method = arg(1);
    i32 id = method_symbol(method);
    if (!checksum::method_q(id)) fire("script", "invalid-arg", method);
    if (TYPE_OF(data) == TYPE_FILE) {
        // Read whole as binary; the read leaves its result on the stack top.
        Cell* saved = stack::top;
        Cell* content = simple_io::read(data, nullptr, nullptr, true, false);
        *arg(0) = *content;
        stack::top = saved;
    } else if (TYPE_OF(data) != TYPE_BINARY && TYPE_OF(data) != TYPE_STRING) {
        fire("script", "invalid-arg", data);
    }
    Cell with_word;
    word::make_at(symbol::make("with"), &with_word);
    bool simple = checksum::is_(id, "crc32") || checksum::is_(id, "tcp") || checksum::is_(id, "adler32");
    if (simple) {
        if (with >= 0) fire("script", "invalid-refine-arg", &with_word, arg(with));
        Span s = bytes_of(arg(0));
        u32 sum = checksum::is_(id, "crc32")  ? checksum::crc32(s.bytes, s.length)
                  : checksum::is_(id, "tcp") ? checksum::tcp(s.bytes, s.length)
                                              : checksum::adler32(s.bytes, s.length);
        integer::make_at(arg(0), static_cast<i32>(sum));
        stack::top = stack::arguments + 1;
        return;
    }
    if (with < 0) {
        if (checksum::is_(id, "hash")) fire("script", "invalid-refine-arg", &with_word, method);
        Span s = bytes_of(arg(0));
        checksum::digest(s.bytes, s.length, checksum::method_index(id), arg(0));
        stack::top = stack::arguments + 1;
        return;
    }
    Cell* spec = arg(with);
    if (TYPE_OF(spec) == TYPE_INTEGER) {
        Span s = bytes_of(arg(0));
        integer::make_at(arg(0), checksum::hash_not_implemented(s.bytes, s.length, integer::get(spec)));
        stack::top = stack::arguments + 1;
        return;
    }
    if (TYPE_OF(spec) != TYPE_BINARY && !string::any_string_q(TYPE_OF(spec))) fire("script", "invalid-arg", spec);
    if (checksum::is_(id, "hash")) fire("script", "invalid-refine-arg", &with_word, spec);
    // The key is copied: converting the data may move the key's bytes.
    Span k = bytes_of(spec);
    std::vector<u8> key(k.bytes, k.bytes + k.length);
    Span s = bytes_of(arg(0));
    checksum::hmac(s.bytes, s.length, key.data(), key.size(), id, arg(0));
    stack::top = stack::arguments + 1;
}

void compress_star(bool check, const i32*) {
    if (check) check_args(N_COMPRESS, nullptr);
    compress::Format format = format_of(arg(1));
    auto codec = format == compress::Format::zlib      ? compress::zlib_deflate
                 : format == compress::Format::deflate ? compress::deflate
                                                       : compress::gzip;
    Span in = bytes_of(arg(0));
    u64 room = static_cast<u64>(in.length) + (in.length >> 11) + 32;
    if (room > OUTPUT_LIMIT) fire("internal", "no-memory");
    u32 size = static_cast<u32>(room);
    auto out = std::make_unique_for_overwrite<u8[]>(size);
    i32 r = codec(out.get(), &size, in.bytes, in.length);
    if (r == compress::TOO_SMALL) {
        out = std::make_unique_for_overwrite<u8[]>(size);
        r = codec(out.get(), &size, in.bytes, in.length);
    }
    if (r != compress::OK) fire("script", "invalid-data", arg(1));
    result_bytes(out.get(), size);
}

void decompress_star(bool check, const i32* refinements) {
    if (check) check_args(N_DECOMPRESS, refinements);
    i32 size_at = refinements ? refinements[0] : -1;
    compress::Format format = format_of(arg(1));
    if (TYPE_OF(arg(0)) != TYPE_BINARY) fire("script", "invalid-arg", arg(0));
    // A size given by the caller is only a first guess at the output's room.
    size_t hint = 0;
    if (size_at >= 0 && TYPE_OF(arg(size_at)) == TYPE_INTEGER && integer::get(arg(size_at)) > 0)
        hint = static_cast<size_t>(integer::get(arg(size_at)));
    Span in = bytes_of(arg(0));
    compress::Bytes out;
    i32 r = compress::decompress(format, in.bytes, in.length, hint, OUTPUT_LIMIT, out);
    if (r == compress::TOO_SMALL) fire("internal", "no-memory");
    if (r != compress::OK) fire("script", "invalid-data", arg(1));
    result_bytes(out.data.get(), out.size);
}

}  // namespace zav::natives
