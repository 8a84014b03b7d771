// url! values: percent-encoding, mold, URL building, joining and I/O.
#include "datatypes/url.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/port.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "datatypes/simple_io.h"
#include "runtime/unicode.h"

namespace zav::url {

namespace {

const char HEX[] = "0123456789ABCDEF";

bool alnum_q(u32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

i32 hex_value(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value's text from its head as UTF-8, in ordinary memory (it survives
// the allocations that writing the output makes).
std::string utf8_of(Cell* str) {
    u8* head = string::zs_head(str);
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u64 n = unicode::count_utf8_bytes(head, b->tail_ptr(), b->unit());
    std::string out(n, '\0');
    unicode::to_utf8_buffer(str, reinterpret_cast<u8*>(out.data()), -1, false);
    return out;
}

void append_ascii(Cell* output, const std::string& text) {
    string::concatenate_literal_part(output, text.data(), static_cast<u32>(text.size()));
}

// Percent-decodes UTF-8 text into `output`.
void decode_bytes(const std::string& text, Cell* output) {
    const u8* p = reinterpret_cast<const u8*>(text.data());
    const u8* end = p + text.size();
    auto escape_at = [&](const u8* q) -> i32 {  // the byte of a "%XX" at q, or -1
        if (end - q < 3 || q[0] != '%') return -1;
        i32 hi = hex_value(q[1]), lo = hex_value(q[2]);
        return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
    };
    while (p < end) {
        i32 b = escape_at(p);
        if (b >= 0 && b < 0x80) {
            string::append_char(output, static_cast<u32>(b));
            p += 3;
            continue;
        }
        if (b >= 0) {
            u32 n = unicode::utf8_lead_length(static_cast<u8>(b));
            u8 seq[4];
            u32 got = 0;
            if (n >= 2) {
                seq[got++] = static_cast<u8>(b);
                while (got < n) {
                    i32 next = escape_at(p + 3 * got);
                    if (next < 0) break;
                    seq[got++] = static_cast<u8>(next);
                }
            }
            if (n >= 2 && got == n) {
                i32 cp;
                const u8* after = unicode::fast_decode_utf8_char(seq, seq + n, &cp);
                if (cp >= 0 && after == seq + n) {
                    string::append_char(output, static_cast<u32>(cp));
                    p += 3 * n;
                    continue;
                }
            }
        }
        // Not an escape that decodes: the next character as it stands.
        i32 cp;
        const u8* after = unicode::fast_decode_utf8_char(p, end, &cp);
        string::append_char(output, cp < 0 ? 0xFFFD : static_cast<u32>(cp));
        p = after;
    }
}

bool starts_with_http(Cell* url) {
    static const char prefix[] = "http";
    if (string::zs_length_q(url) < 4) return false;
    u32 head = series_head(url);
    for (u32 i = 0; i < 4; i++)
        if (string::zs_abs_at(url, head + i) != static_cast<u8>(prefix[i])) return false;
    return true;
}

bool any_block_q(u32 type) { return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH; }

// The library's URL parser: an object! of the URL's parts.
// until the library provides url-parser/parse-url
Cell* parse_url(Cell*) { fire("internal", "not-done"); }

Cell* form_into(Cell* value, Cell* out) {
    actions::form_dispatch(value, out, nullptr, 0x7FFFFFFF);
    return out;
}

// scheme://host[:port]/value/value#issue from the values of a block.
Cell* build(Cell* proto, Cell* spec) {
    node_t node = series_node(spec);
    u32 head = series_head(spec);
    u32 len = GET_BUFFER(node)->length();
    // Raised pending: make and to return at once (see pend_bad_to_arg).
    if (head >= len) return error::pend_bad_to_arg(TYPE_URL, spec);
    Cell* out = string::make_push(32);
    // Each element is copied to the stack: forming may move the block's buffer.
    auto element = [&](u32 i) { return stack::push(reinterpret_cast<Cell*>(GET_BUFFER(node)->head()) + i); };
    u32 i = head;
    form_into(element(i++), out);
    stack::pop(1);
    string::concatenate_literal(out, "://");
    if (i < len) {
        form_into(element(i++), out);
        stack::pop(1);
    }
    if (i < len) {
        Cell* port = element(i);
        if (TYPE_OF(port) == TYPE_INTEGER) {
            string::append_char(out, ':');
            form_into(port, out);
            i++;
        }
        stack::pop(1);
    }
    string::append_char(out, '/');
    for (u32 first = i; i < len; i++) {
        Cell* v = element(i);
        if (TYPE_OF(v) == TYPE_ISSUE) string::append_char(out, '#');
        else if (i > first) string::append_char(out, '/');
        form_into(v, out);
        stack::pop(1);
    }
    set_type(out, TYPE_URL);
    copy_cell(out, proto);
    stack::pop(1);
    return proto;
}

}  // namespace

bool url_char_q(u32 c) {
    if (alnum_q(c)) return true;
    switch (c) {
        case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case '-': case '.': case '/': case ':': case '=': case '?': case '@': case '_': case '~':
            return true;
        default:
            return false;
    }
}

bool component_char_q(u32 c) { return alnum_q(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

void encode(Cell* str, Cell* output, i32 mode) {
    std::string text = utf8_of(str);
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (mode == ENCODE_COMPONENT ? component_char_q(c) : url_char_q(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    append_ascii(output, out);
}

void decode(Cell* value, Cell* output) { decode_bytes(utf8_of(value), output); }

void decode(Cell* value) {
    std::string text = utf8_of(value);
    Cell* out = string::make_push(static_cast<u32>(text.size()));
    decode_bytes(text, out);
    series_node(value) = series_node(out);
    series_head(value) = 0;
    value->data3 = 0;
    stack::pop(1);
}

Cell* decode_text(const u8* text, u32 length, Cell* result) {
    std::string copy(reinterpret_cast<const char*>(text), length);
    string::make_at(result, length);
    decode_bytes(copy, result);
    return result;
}

Cell* dispatch_port(Cell* url, bool open_, bool new_, bool read_, bool write_, bool seek, Cell* allow) {
    Cell* spec = parse_url(url);
    if (TYPE_OF(spec) != TYPE_OBJECT) fire("script", "invalid-arg", url);
    Cell* p = port::make(spec);
    if (open_) p = port::open(p, new_, read_, write_, seek, allow);
    return p;
}

// ---- Actions ------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type) {
    if (type == TYPE_URL && any_block_q(TYPE_OF(spec))) return build(proto, spec);
    return string::make(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, u32 type) {
    if (type == TYPE_URL && any_block_q(TYPE_OF(spec))) return build(proto, spec);
    return string::to(proto, spec, type);
}

i32 mold(Cell* url, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    std::string text = utf8_of(url);
    std::string out;
    out.reserve(text.size());
    i32 left = part;
    for (unsigned char c : text) {
        if (arg && left <= 0) break;
        if (url_char_q(c)) {
            out += static_cast<char>(c);
            left--;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
            left -= 3;
        }
    }
    append_ascii(buffer, out);
    return left;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    if (value) fire("script", "bad-path-set", path, element);
    Cell* tail = form_into(element, string::make_push(16));
    u32 plen = string::zs_length_q(parent);
    bool ends = plen > 0 && string::zs_abs_at(parent, series_head(parent) + plen - 1) == '/';
    bool starts = string::zs_length_q(tail) > 0 && string::zs_abs_at(tail, series_head(tail)) == '/';
    Cell* out = string::make_push(plen + string::zs_length_q(tail) + 1);
    string::append(out, parent);
    if (ends && starts) series_head(tail)++;
    else if (!ends && !starts) string::append_char(out, '/');
    string::append(out, tail);
    set_type(out, TYPE_OF(parent));
    copy_cell(out, tail);
    stack::pop(1);
    return tail;
}

Cell* open(Cell* url, bool new_, bool read_, bool write_, bool seek, Cell* allow) {
    return copy_cell(dispatch_port(url, true, new_, read_, write_, seek, allow), url);
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    if (!starts_with_http(source)) {
        Cell* p = dispatch_port(source, false, false, false, false, false, nullptr);
        return port::read(p, source, part, seek, binary, lines, info, as);
    }
    if (part || seek || as) fire("internal", "not-done");
    Cell* answer = simple_io::request_http(symbol::make("get"), source, nullptr, nullptr, binary, lines, info);
    if (!answer) fire("access", "no-connect", source);
    copy_cell(answer, source);
    stack::pop(1);
    return source;
}

Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
    if (!starts_with_http(destination)) {
        Cell* p = dispatch_port(destination, false, false, false, false, false, nullptr);
        return port::write(p, destination, data, binary, lines, info, append, part, seek, allow, as);
    }
    // The HTTP service takes binary, lines and info only.
    if (append || part || seek || allow || as) fire("internal", "not-done");
    Cell* saved = stack::top;
    i32 method;
    Cell* headers = nullptr;
    Cell* body = nullptr;
    if (TYPE_OF(data) == TYPE_BLOCK) {
        u32 head = series_head(data);
        SeriesBuffer* b = GET_BUFFER(series_node(data));
        u32 n = head < b->length() ? b->length() - head : 0;
        Cell* items = reinterpret_cast<Cell*>(b->head()) + head;
        if (n == 0) {
            method = symbol::make("get");
        } else {
            // Copied to the stack: the request may allocate and move the block.
            Cell* word = stack::push(items);
            if (TYPE_OF(word) != TYPE_WORD) fire("script", "invalid-arg", word);
            method = symbol::resolve(static_cast<i32>(word_symbol(word)));
            items = reinterpret_cast<Cell*>(GET_BUFFER(series_node(data))->head()) + head;
            if (n > 1) {
                headers = stack::push(items + 1);
                if (TYPE_OF(headers) != TYPE_BLOCK) fire("script", "invalid-arg", headers);
            }
            if (n > 2) body = stack::push(reinterpret_cast<Cell*>(GET_BUFFER(series_node(data))->head()) + head + 2);
        }
    } else {
        method = symbol::make("post");
        body = data;
    }
    if (body) {
        u32 t = TYPE_OF(body);
        if (t != TYPE_BLOCK && t != TYPE_STRING && t != TYPE_BINARY) fire("script", "invalid-arg", body);
    }
    Cell* answer = simple_io::request_http(method, destination, headers, body, binary, lines, info);
    if (!answer) fire("access", "no-connect", destination);
    copy_cell(answer, destination);
    stack::top = saved;
    return destination;
}

void init() {
    datatype::register_type(TYPE_URL, TYPE_STRING, "url!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), own<ACT_TO>(to), inherit<ACT_FORM>(),
        own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(),
        inherit<ACT_FIND>(), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        inherit<ACT_INSERT>(), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        inherit<ACT_SELECT>(), inherit<ACT_SORT>(), inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), inherit<ACT_TRIM>(), inherit<ACT_MODIFY>(), own<ACT_OPEN>(open),
        own<ACT_READ>(read), own<ACT_WRITE>(write),
    });
}

}  // namespace zav::url
