// The simple I/O layer: files, folders and HTTP requests as values.
#include "datatypes/simple_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <unistd.h>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/files.h"
#include "runtime/platform/http.h"
#include "runtime/unicode.h"

namespace zav::simple_io {

namespace {

// The platform path of a file!; false when it cannot name a file (a NUL
// inside would make the platform see another, shorter name).
bool os_path(Cell* file, std::string& path) {
    path = file::to_OS_path(file);
    return path.find('\0') == std::string::npos;
}

[[noreturn]] void cannot_open(Cell* file) { fire("access", "cannot-open", file); }
[[noreturn]] void cannot_write(Cell* file, int err) {
    Cell where = *file;
    fire("access", "cannot-write", &where, outside_text(std::strerror(err)));
}

// The integer of a /part or /seek argument; another type raises
// script/invalid-refine-arg naming the refinement.
i64 integer_arg(Cell* value, const char* refinement) {
    if (!value || TYPE_OF(value) == TYPE_NONE) return -1;
    if (TYPE_OF(value) != TYPE_INTEGER) {
        Cell word;
        fire("script", "invalid-refine-arg", series::word_arg(&word, refinement), value);
    }
    return static_cast<i32>(value->data2);
}

// The UTF-8 bytes of a string from its head, at most `part` code points.
void utf8_of(Cell* str, i32 part, std::string& out) {
    i32 len = part;
    const u8* p = unicode::to_utf8(str, len);
    out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
}

// Loads a whole UTF-8 text into a new string node (with crlf, CR LF and a
// lone CR read as LF); a sequence cut off by the end is as invalid as any other.
node_t load_text(const u8* bytes, u32 length, bool crlf) {
    u32 left = 0;
    node_t node = unicode::load_utf8(bytes, length, nullptr, &left, crlf);
    if (left) {
        Cell* rest = binary::load(bytes + (length - left), left);
        fire("access", "invalid-utf8", rest);
    }
    return node;
}

void append_header(platform::HeaderList& list, Cell* name, Cell* value) {
    std::string n, v;
    u32 t = TYPE_OF(name);
    if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
        n = symbol::get_c_string(static_cast<i32>(word_symbol(name)));
    } else {
        to_bytes(name, -1, true, n);
    }
    to_bytes(value, -1, true, v);
    list.emplace_back(std::move(n), std::move(v));
}

// The response headers as a map of name words to values, a repeated name
// gathering its values in a block in the order received.
Cell* header_map(const platform::HeaderList& headers) {
    Cell* out = block::make_at(stack::push_star(), static_cast<u32>(headers.size() * 2 + 1));
    std::vector<std::pair<i32, u32>> seen;  // alias of a name, index of its value cell
    for (const auto& [name, value] : headers) {
        i32 sym = symbol::make_from_utf8(reinterpret_cast<const u8*>(name.data()), static_cast<u32>(name.size()));
        i32 alias = symbol::resolve(sym);
        Cell* text = outside_text(value);
        u32 found = 0;
        for (const auto& [a, index] : seen)
            if (a == alias) found = index;
        if (!found) {
            Cell key;
            word::make_at(sym, &key);
            set_type(&key, TYPE_SET_WORD);
            block::zs_append(out, &key);
            block::zs_append(out, text);
            seen.emplace_back(alias, block::zs_length_q(out) - 1);
        } else {
            Cell* slot = block::zs_abs_at(out, found);
            if (TYPE_OF(slot) != TYPE_BLOCK) {
                Cell first = *slot;  // stays reachable through its slot until replaced
                Cell* many = block::make_at(stack::push_star(), 4);
                block::zs_append(many, &first);
                *block::zs_abs_at(out, found) = *many;
                stack::pop(1);
            }
            Cell many = *block::zs_abs_at(out, found);
            block::zs_append(&many, text);
        }
        stack::pop(1);
    }
    return map::make_at(out, series_node(out), block::zs_length_q(out));
}

}  // namespace

bool dir_q(const Cell* file) {
    Cell f = *file;
    u32 len = string::zs_length_q(&f);
    u32 head = series_head(&f);
    auto at = [&](u32 back) { return string::zs_abs_at(&f, head + len - back); };
    auto slash = [](u32 c) { return c == '/' || c == '\\'; };
    if (len == 0) return false;
    if (slash(at(1))) return true;
    if (at(1) != '.') return false;
    // "." or ".." alone, or after a slash.
    if (len == 1 || slash(at(2))) return true;
    return at(2) == '.' && (len == 2 || slash(at(3)));
}

Cell* utf8_to_string(const u8* bytes, u32 length) {
    node_t node = load_text(bytes, length, true);
    return make_cell(stack::push_star(), TYPE_STRING, 0, node, 0);
}

Cell* utf8_to_lines(const u8* bytes, u32 length) {
    u32 lines = 1;
    // An empty read may come with no buffer at all: memchr must not see it.
    for (const u8* p = bytes; length && (p = static_cast<const u8*>(std::memchr(p, '\n', bytes + length - p))); p++)
        lines++;
    Cell* out = block::make_at(stack::push_star(), lines);
    u32 start = 0;
    // A leading byte-order mark belongs to no line.
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    for (u32 i = start; i <= length; i++) {
        const void* nl = i < length ? std::memchr(bytes + i, '\n', length - i) : nullptr;
        i = nl ? static_cast<u32>(static_cast<const u8*>(nl) - bytes) : length;
        if (i == length && i == start) break;  // no text after the last line end
        u32 end = i > start && bytes[i - 1] == '\r' ? i - 1 : i;
        Cell* line = make_cell(stack::push_star(), TYPE_STRING, 0, load_text(bytes + start, end - start, false), 0);
        block::zs_append(out, line);
        stack::pop(1);
        start = i + 1;
    }
    return out;
}

Cell* outside_text(const std::string& bytes) {
    const u8* p = reinterpret_cast<const u8*>(bytes.data());
    const u8* end = p + bytes.size();
    bool utf8 = true;
    for (const u8* q = p; q < end && utf8;) {
        i32 cp;
        q = unicode::fast_decode_utf8_char(q, end, &cp);
        utf8 = cp >= 0;
    }
    if (utf8) return string::load(p, static_cast<u32>(bytes.size()), 0);
    Cell* out = string::make_push(static_cast<u32>(bytes.size()));
    for (u8 c : bytes) string::append_char(out, c);
    return out;
}

Cell* read_file(Cell* file, i64 part, i64 seek, bool binary, bool lines) {
    std::string path;
    if (!os_path(file, path)) return nullptr;
    // Bytes go straight into a binary's buffer, or into one scratch buffer
    // (its memory not zeroed first) that the text is decoded from.
    struct IntoBinary final : ReadInto {
        Cell* bin = nullptr;
        u8* room(u64 n) override {
            if (!bin) bin = binary::load_in(stack::push_star(), static_cast<u32>(n));
            SeriesBuffer* b = GET_BUFFER(series_node(bin));
            if (b->size < n) b = expand_series(b, static_cast<u32>(n));
            return b->head();
        }
        void done(u64 n) override {
            if (!bin) return;
            SeriesBuffer* b = GET_BUFFER(series_node(bin));
            b->tail = b->offset + static_cast<u32>(n);
        }
    };
    // A whole text is decoded a piece at a time as it is read (CR LF and a
    // lone CR as LF): a CR that ends a piece waits for the next, as does a
    // code point cut by its end. Bytes that are not UTF-8 are kept from
    // there to the end of the file for the error, as for a text read whole.
    struct IntoText final : ReadPieces {
        Cell* str = nullptr;
        bool failed = false;
        std::string bad;
        void size(u64 n) override { str = string::make_push(static_cast<u32>(n)); }
        u64 take(const u8* bytes, u64 n, bool last) override {
            if (failed) {
                bad.append(reinterpret_cast<const char*>(bytes), n);
                return 0;
            }
            u64 used = !last && n && bytes[n - 1] == '\r' ? n - 1 : n;
            u32 left = 0;
            unicode::load_utf8(bytes, static_cast<u32>(used), str, &left, true);
            if (left && (last || left > 3)) {
                failed = true;
                bad.assign(reinterpret_cast<const char*>(bytes + used - left), n - (used - left));
                return 0;
            }
            return (n - used) + left;
        }
    };
    auto check = [&](ReadResult r) {
        if (r == ReadResult::too_long) fire("script", "too-long");
        return r == ReadResult::ok;
    };
    // No more than one value, and the memory left, can hold.
    const u64 most = memory::room_for_series();
    if (binary) {
        IntoBinary into;
        if (!check(read_file(path.c_str(), part, seek, into, most))) return nullptr;
        return into.bin ? into.bin : binary::load_in(stack::push_star(), 0);
    }
    if (lines) {
        ReadScratch into;
        if (!check(read_file(path.c_str(), part, seek, into, most))) return nullptr;
        return utf8_to_lines(into.bytes(), static_cast<u32>(into.size()));
    }
    IntoText into;
    if (!check(read_file(path.c_str(), part, seek, into, most))) return nullptr;
    if (into.failed) fire("access", "invalid-utf8", binary::load(reinterpret_cast<const u8*>(into.bad.data()), static_cast<u32>(into.bad.size())));
    return into.str ? into.str : string::make_push(0);
}

Cell* read_dir(Cell* file) {
    std::string path;
    if (!os_path(file, path)) cannot_open(file);
    if (!path.empty() && path.back() == '.') path += '/';
    std::vector<std::string> names;
    if (!read_dir(path.empty() ? "." : path.c_str(), names)) cannot_open(file);
    Cell* out = block::make_at(stack::push_star(), static_cast<u32>(names.size() + 1));
    for (const std::string& name : names) {
        Cell* f = file::load(reinterpret_cast<const u8*>(name.data()), static_cast<u32>(name.size()),
                             stack::push_star());
        block::zs_append(out, f);
        stack::pop(1);
    }
    return out;
}

Cell* read(Cell* file, Cell* part, Cell* seek, bool binary, bool lines) {
    if (dir_q(file)) return read_dir(file);
    i64 p = integer_arg(part, "part");
    i64 s = integer_arg(seek, "seek");
    Cell* result = read_file(file, p, s, binary, lines);
    if (!result) cannot_open(file);
    return result;
}

void to_bytes(Cell* value, i32 part, bool binary, std::string& out) {
    switch (TYPE_OF(value)) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            utf8_of(value, part, out);
            return;
        case TYPE_BINARY: {
            u32 n = binary::zs_length_q(value);
            if (part >= 0 && static_cast<u32>(part) < n) n = static_cast<u32>(part);
            out.append(reinterpret_cast<const char*>(binary::zs_head(value)), n);
            return;
        }
        default: {
            Cell* text = string::make_push(64);
            actions::form_dispatch(value, text, nullptr, 0x7FFFFFFF);
            utf8_of(text, part, out);
            stack::pop(1);
        }
    }
}

namespace {

// Writes the bytes (a view or a ByteSource) to the file's path, or raises the error of the failure.
template <class Bytes>
void written(Cell* file, const std::string& path, Bytes&& bytes, i64 at, bool append) {
    if (!write_file(path.c_str(), bytes, at, append)) {
        // A file that opened but took not all the bytes (a full disk, the
        // size limit) is a failed write, not a file that cannot be opened.
        if (int err = last_write_error()) cannot_write(file, err);
        cannot_open(file);
    }
}

}  // namespace

i32 write(Cell* file, Cell* value, Cell* part, Cell* seek, bool binary, bool append, bool lines) {
    i32 limit = -1;
    if (part && TYPE_OF(part) != TYPE_NONE) {
        if (TYPE_OF(part) != TYPE_INTEGER) {
            Cell word;
            fire("script", "invalid-refine-arg", series::word_arg(&word, "part"), part);
        }
        limit = static_cast<i32>(part->data2);
        if (limit < 0) return -1;
    }
    i64 at = integer_arg(seek, "seek");
    u32 vt = TYPE_OF(value);
    if (file && !lines && (string::any_string_q(vt) || vt == TYPE_BINARY)) {
        // One text or binary goes to the file from where its bytes lie (a
        // text's UTF-8 conversion), without a copy: the path is made first,
        // since its making may allocate and move them.
        std::string path;
        if (!os_path(file, path) || dir_q(file)) cannot_open(file);
        if (vt == TYPE_BINARY) {
            u32 n = binary::zs_length_q(value);
            if (limit >= 0 && static_cast<u32>(limit) < n) n = static_cast<u32>(limit);
            std::string_view bytes{reinterpret_cast<const char*>(binary::zs_head(value)), n};
            written(file, path, bytes, at, append);
            return static_cast<i32>(bytes.size());
        }
        // A text's UTF-8 is made a piece at a time as it is written: no
        // buffer of it all (fresh memory for a large text) unless the file
        // is changed in place. Nothing allocates meanwhile: the text stays put.
        struct Utf8Pieces final : ByteSource {
            node_t node = 0;
            u32 start = 0, from = 0, end = 0;
            u64 given = 0;
            std::unique_ptr<u8[]> buffer;
            std::string whole;
            std::string_view piece() override {
                constexpr u32 PIECE = 1u << 18;
                if (!buffer) buffer.reset(new u8[PIECE]);
                u32 n = unicode::to_utf8_piece(node, &from, end, buffer.get(), PIECE);
                given += n;
                return {reinterpret_cast<const char*>(buffer.get()), n};
            }
            void rewind() override {
                from = start;
                given = 0;
            }
            std::string_view all() override {
                rewind();
                whole.clear();
                for (std::string_view p; !(p = piece()).empty();) whole.append(p);
                return whole;
            }
        } text;
        text.node = series_node(value);
        text.start = text.from = std::min(series_head(value), string::zs_abs_length_q(value));
        u32 n = string::zs_length_q(value);
        if (limit >= 0 && static_cast<u32>(limit) < n) n = static_cast<u32>(limit);
        text.end = text.start + n;
        written(file, path, text, at, append);
        return static_cast<i32>(text.given);
    }
    std::string bytes;
    if (lines && TYPE_OF(value) == TYPE_BLOCK) {
        u32 n = block::zs_length_q(value);
        for (u32 i = 0; i < n; i++) {
            Cell* item = stack::push(block::zs_head(value) + i);
            to_bytes(item, limit, binary, bytes);
            bytes += '\n';
            stack::pop(1);
        }
    } else {
        to_bytes(value, limit, binary, bytes);
        if (lines) bytes += '\n';
    }
    if (!file) {
        if (!write_all(STDOUT_FILENO, bytes)) cannot_write(value, errno);
        return static_cast<i32>(bytes.size());
    }
    std::string path;
    if (!os_path(file, path) || dir_q(file)) cannot_open(file);
    written(file, path, bytes, at, append);
    return static_cast<i32>(bytes.size());
}

bool delete_(Cell* file) {
    std::string path;
    return os_path(file, path) && delete_(path.c_str(), dir_q(file));
}

Cell* query(Cell* file) {
    std::string path;
    i64 seconds = 0;
    i32 nanoseconds = 0;
    bool ok = os_path(file, path) && modified_time(path.c_str(), seconds, nanoseconds);
    // A name ending in a slash must be a folder.
    if (ok && !path.empty() && (path.back() == '/' || path.back() == '\\') && !directory_q(path.c_str())) ok = false;
    Cell* out = stack::push_star();
    if (!ok) return make_cell(out, TYPE_NONE);
    time_t t = static_cast<time_t>(seconds);
    tm u{};
    gmtime_r(&t, &u);
    return date::make_from_hms(out, u.tm_year + 1900, u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec,
                               nanoseconds);
}

bool rename(Cell* from, Cell* to) {
    std::string a, b;
    return os_path(from, a) && os_path(to, b) && rename(a.c_str(), b.c_str());
}

Cell* request_http(i32 method, Cell* url, Cell* headers, Cell* data, bool binary, bool lines, bool info) {
    platform::HttpRequest request;
    std::string name = symbol::get_c_string(method);
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    request.method = name;
    to_bytes(url, -1, true, request.url);
    if (request.url.find('\0') != std::string::npos) return nullptr;
    std::string body;
    bool get_like = name == "GET" || name == "HEAD";
    if (!get_like && data) {
        to_bytes(data, -1, true, body);
        request.body = &body;
    }
    if (headers) {
        u32 n = block::zs_length_q(headers);
        for (u32 i = 0; i + 1 < n; i += 2) {
            Cell* k = stack::push(block::zs_head(headers) + i);
            Cell* v = stack::push(block::zs_head(headers) + i + 1);
            append_header(request.headers, k, v);
            stack::pop(2);
        }
    } else {
        request.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                           {"Accept-Charset", "UTF-8"},
                           {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"}};
    }
    // A body must fit one value, and the memory left.
    request.max_body = memory::room_for_series();
    platform::HttpResponse response;
    if (!platform::http_request(request, response)) {
        Cell where = *url;
        switch (response.failure) {
            case platform::HttpFailure::timeout: fire("access", "timeout", &where);
            case platform::HttpFailure::too_large: fire("access", "too-large", &where);
            case platform::HttpFailure::cut_short: fire("access", "cut-short", &where);
            case platform::HttpFailure::redirect_loop: fire("access", "redirect-loop", &where);
            default: {
                Cell* reason = outside_text(response.reason);
                fire("access", "no-connect", &where, reason);
            }
        }
    }
    Cell* result = nullptr;
    if (info) {
        result = block::make_at(stack::push_star(), 3);
        Cell status;
        make_cell(&status, TYPE_INTEGER, 0, static_cast<u32>(response.status));
        block::zs_append(result, &status);
        block::zs_append(result, header_map(response.headers));
        stack::pop(1);
    }
    const u8* p = reinterpret_cast<const u8*>(response.body.data());
    u32 n = static_cast<u32>(response.body.size());
    Cell* body_value = binary ? binary::load(p, n) : lines ? utf8_to_lines(p, n) : utf8_to_string(p, n);
    if (!info) return body_value;
    block::zs_append(result, body_value);
    stack::pop(1);
    return result;
}

}  // namespace zav::simple_io
