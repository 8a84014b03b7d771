// binary! values: byte helpers, base encodings, conversion, mold and the
// binary! actions.
#include "datatypes/binary.h"

#include <string>
#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/image.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/platform/virtual_memory.h"
#include "runtime/unicode.h"

namespace zav::binary {

namespace {

using Bytes = std::vector<u8>;

SeriesBuffer* buffer_of(const Cell* bin) { return GET_BUFFER(series_node(bin)); }

// Bytes inside the arena may move with the next allocation; callers copy
// them out first when they are about to allocate.
bool in_arena(const void* p) {
    const u8* q = static_cast<const u8*>(p);
    return q >= arena_base && q < arena_base + platform::arena_bytes;
}

// The head clamped to the buffer's length.
u32 clamped_head(Cell* bin) {
    u32 len = buffer_of(bin)->used_bytes();
    if (series_head(bin) > len) series_head(bin) = len;
    return series_head(bin);
}

Cell* datatype_arg(Cell* out, u32 type) { return datatype::make_at(out, type); }

[[noreturn]] void bad_to_arg(const Cell* value) {
    Cell type;
    fire("script", "bad-to-arg", datatype_arg(&type, TYPE_BINARY), value);
}

// Grows the buffer so that `extra` more bytes fit after its tail, to twice
// its size plus the request; returns the buffer, which may have moved.
SeriesBuffer* ensure_room(SeriesBuffer* buf, u32 extra) {
    u64 end = u64(buf->tail) + extra;
    if (end <= off_of(buf->data_end())) return buf;
    u64 want = u64(buf->size) * 2 + extra;
    if (want > 0xFFFFFFFFu) fire("internal", "no-memory");
    return expand_series(buf, static_cast<u32>(want));
}

void put_be32(u8* p, u32 v) {
    p[0] = static_cast<u8>(v >> 24);
    p[1] = static_cast<u8>(v >> 16);
    p[2] = static_cast<u8>(v >> 8);
    p[3] = static_cast<u8>(v);
}

// The UTF-8 form of a string value from its head.
void append_utf8(Cell* str, Bytes& out) {
    u8* head = string::zs_head(str);
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u64 n = unicode::count_utf8_bytes(head, b->tail_ptr(), b->unit());
    if (n > 0xFFFFFFFFu - out.size()) fire("internal", "no-memory");
    size_t at_ = out.size();
    out.resize(at_ + n);
    unicode::to_utf8_buffer(str, out.data() + at_, -1, false);
}

void append_cp(u32 cp, Bytes& out) {
    u8 tmp[4];
    u32 n = unicode::cp_to_utf8(cp, tmp);
    out.insert(out.end(), tmp, tmp + n);
}

const u8* tuple_bytes(const Cell* t, u32& n) {
    // The tuple! cell keeps its byte count in header bits 19-22 and its bytes
    // in the three payload words, first byte first.
    n = (t->header >> 19) & 0x0F;
    if (n > 12) n = 12;
    return reinterpret_cast<const u8*>(&t->data1);
}

// The bytes that insert, append and change write for a value; `formed`
// selects change's rule (other values are formed) over insert's (bad-to-arg).
void value_bytes(Cell* value, Bytes& out, bool formed) {
    u32 type = TYPE_OF(value);
    switch (type) {
        case TYPE_CHAR: append_cp(value->data2, out); return;
        case TYPE_INTEGER: out.push_back(get_byte(value)); return;
        case TYPE_BINARY: {
            u32 len = zs_length_q(value);
            const u8* p = zs_head(value);
            out.insert(out.end(), p, p + len);
            return;
        }
        case TYPE_TUPLE: {
            u32 n;
            const u8* p = tuple_bytes(value, n);
            out.insert(out.end(), p, p + n);
            return;
        }
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
            node_t node = series_node(value);
            if (cycles::find_q(node)) return;  // a block inside itself adds nothing more
            cycles::push(node);
            struct Pop { ~Pop() { cycles::pop(); } } guard;
            for (u32 i = series_head(value);; i++) {
                SeriesBuffer* b = GET_BUFFER(node);
                if (i >= b->length()) break;
                // The element is copied out: the buffer may move while it is converted.
                Cell* slot = stack::push(reinterpret_cast<Cell*>(b->head()) + i);
                value_bytes(slot, out, formed);
                stack::pop(1);
            }
            return;
        }
        default:
            if (string::any_string_q(type)) {
                append_utf8(value, out);
                return;
            }
            if (!formed) bad_to_arg(value);
            Cell* text = string::make_push(16);
            actions::form_dispatch(value, text, nullptr, 0x7FFFFFFF);
            append_utf8(text, out);
            stack::pop(1);
            return;
    }
}

// A count from a /part argument: an integer, or a position in the same
// buffer as `base`; anything else raises script/invalid-refine-arg.
i32 part_count(Cell* part, Cell* base) {
    if (TYPE_OF(part) == TYPE_INTEGER) return static_cast<i32>(part->data2);
    if (TYPE_OF(part) == TYPE_OF(base) && series_node(part) == series_node(base))
        return static_cast<i32>(series_head(part)) - static_cast<i32>(series_head(base));
    Cell word;
    make_cell(&word, TYPE_WORD, 0, static_cast<u32>(symbol::make("part")), 0);
    fire("script", "invalid-refine-arg", &word, part);
}

i32 dup_count(Cell* dup) {
    if (!dup) return 1;
    if (TYPE_OF(dup) != TYPE_INTEGER) fire("script", "invalid-arg", dup);
    return static_cast<i32>(dup->data2);
}

// Repeats `bytes` dup times; internal/no-memory when the total overflows.
u32 total_of(u32 length, i32 dup) {
    if (dup < 1) return 0;
    u64 total = u64(length) * u32(dup);
    if (total > 0x7FFFFFFFu) fire("internal", "no-memory");
    return static_cast<u32>(total);
}

// Writes the first `length` bytes of p again and again until `total` are
// written, doubling the copied run each time.
void fill_repeat(u8* p, u32 length, u32 total) {
    u32 done = length;
    while (done < total) {
        u32 n = done < total - done ? done : total - done;
        std::memcpy(p + done, p, n);
        done += n;
    }
}

}  // namespace

// ---- Byte helpers --------------------------------------------------------------

u32 zs_length_q(const Cell* bin) {
    u32 len = buffer_of(bin)->used_bytes();
    u32 head = series_head(bin);
    return head < len ? len - head : 0;
}

void zs_skip(Cell* bin, i32 n) { series_head(bin) = static_cast<u32>(static_cast<i32>(series_head(bin)) + n); }

void zs_next(Cell* bin) { series_head(bin)++; }

u8* zs_head(Cell* bin) { return buffer_of(bin)->head() + clamped_head(bin); }

u8* zs_tail(const Cell* bin) { return buffer_of(bin)->tail_ptr(); }

bool zs_tail_q(const Cell* bin) { return zs_length_q(bin) == 0; }

u8 zs_abs_at(const Cell* bin, u32 offset) { return buffer_of(bin)->head()[offset]; }

void zs_clear(Cell* bin) {
    SeriesBuffer* b = buffer_of(bin);
    if (series_head(bin) < b->used_bytes()) b->tail = b->offset + series_head(bin);
}

void zs_append(Cell* bin, const u8* bytes, u32 length) {
    if (length == 0) return;
    SeriesBuffer* b = buffer_of(bin);
    if (u64(b->tail) + length > off_of(b->data_end()) && in_arena(bytes)) {
        Bytes copy(bytes, bytes + length);
        zs_append(bin, copy.data(), length);
        return;
    }
    u8* p = alloc_tail_unit(b, length);
    std::memmove(p, bytes, length);
}

void zs_insert(Cell* bin, u32 offset, const u8* bytes, u32 length) {
    if (length == 0) return;
    if (in_arena(bytes)) {  // the move below or the growth could disturb the source
        Bytes copy(bytes, bytes + length);
        zs_insert(bin, offset, copy.data(), length);
        return;
    }
    u32 pos = clamped_head(bin) + offset;
    SeriesBuffer* b = ensure_room(buffer_of(bin), length);
    u32 used = b->used_bytes();
    if (pos > used) pos = used;
    u8* p = b->head() + pos;
    std::memmove(p + length, p, used - pos);
    std::memcpy(p, bytes, length);
    b->tail += length;
}

void zs_overwrite(Cell* bin, u32 offset, const u8* bytes, u32 length) {
    if (length == 0) return;
    SeriesBuffer* b = buffer_of(bin);
    u64 pos = u64(clamped_head(bin)) + offset;
    if (pos > b->used_bytes()) pos = b->used_bytes();
    u64 end = u64(b->offset) + pos + length;
    if (end > off_of(b->data_end())) {
        if (in_arena(bytes)) {
            Bytes copy(bytes, bytes + length);
            zs_overwrite(bin, offset, copy.data(), length);
            return;
        }
        u64 want = u64(b->size) * 2 + (end - off_of(b->data_end()));
        if (want > 0xFFFFFFFFu) fire("internal", "no-memory");
        b = expand_series(b, static_cast<u32>(want));
    }
    std::memmove(b->head() + pos, bytes, length);
    u32 new_end = b->offset + static_cast<u32>(pos) + length;
    if (new_end > b->tail) b->tail = new_end;
}

void zs_append_int(i32 value, Cell* bin) {
    u8 tmp[4];
    put_be32(tmp, static_cast<u32>(value));
    zs_append(bin, tmp, 4);
}

Cell* load_in(Cell* cell, u32 size) {
    make_cell(cell, TYPE_UNSET);  // not a binary until its buffer exists
    node_t node = alloc_bytes(size ? size : 1);
    return make_cell(cell, TYPE_BINARY, 0, node, 0);
}

Cell* make_at(Cell* parent, u32 size) {
    node_t pnode = series_node(parent);
    alloc_at_tail(pnode);  // made first, so the new series is reachable once it exists
    u32 index = GET_BUFFER(pnode)->length() - 1;
    node_t node = alloc_bytes(size ? size : 1);
    Cell* c = reinterpret_cast<Cell*>(GET_BUFFER(pnode)->head()) + index;
    return make_cell(c, TYPE_BINARY, 0, node, 0);
}

Cell* load(const u8* bytes, u32 length) {
    Bytes copy;
    if (in_arena(bytes)) {
        copy.assign(bytes, bytes + length);
        bytes = copy.data();
    }
    Cell* c = load_in(stack::push_star(), length);
    zs_append(c, bytes, length);
    return c;
}

Cell* load_bytes(const u8* bytes, u32 length, Cell* block) {
    if (!block) return load(bytes, length);
    Bytes copy;
    if (in_arena(bytes)) {
        copy.assign(bytes, bytes + length);
        bytes = copy.data();
    }
    node_t pnode = series_node(block);
    make_at(block, length);
    u32 index = GET_BUFFER(pnode)->length() - 1;
    zs_append(reinterpret_cast<Cell*>(GET_BUFFER(pnode)->head()) + index, bytes, length);
    return reinterpret_cast<Cell*>(GET_BUFFER(pnode)->head()) + index;
}

Cell* push(const Cell* bin) { return stack::push(bin); }

u8 get_byte(const Cell* value) {
    u32 type = TYPE_OF(value);
    if ((type == TYPE_INTEGER || type == TYPE_CHAR) && value->data2 <= 255) return static_cast<u8>(value->data2);
    fire("script", "invalid-arg", value);
}

// ---- Matching and comparison -------------------------------------------------------

bool match_q(Cell* bin, Cell* value, i32 op) {
    u32 type = TYPE_OF(value);
    if (type == TYPE_CHAR) return !zs_tail_q(bin) && *zs_head(bin) == value->data2;
    if (type == TYPE_BINARY || string::any_string_q(type)) return equal_q(bin, value, op, true) == 0;
    return false;
}

bool match_bitset(Cell* bin, Cell* bitset) {
    if (zs_tail_q(bin)) return false;
    u32 byte = *zs_head(bin);
    SeriesBuffer* bits = GET_BUFFER(bitset->data2);
    constexpr u32 BITSET_NOT = 0x00080000;  // complemented: members beyond the stored bytes
    if ((byte >> 3) >= bits->used_bytes()) return (bits->flags & BITSET_NOT) != 0;
    return (bits->head()[byte >> 3] & (0x80 >> (byte & 7))) != 0;
}

i32 equal_q(Cell* bin, Cell* value, i32 op, bool match) {
    u32 type = TYPE_OF(value);
    if (type != TYPE_BINARY && !string::any_string_q(type)) return -2;
    bool same = series_node(bin) == series_node(value) && series_head(bin) == series_head(value) &&
                type == TYPE_BINARY;
    if (op == COMP_SAME) return same ? 0 : -1;
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
    if (same && equality) return 0;

    // A string is compared through its UTF-8 bytes (its binary! form).
    Bytes text;
    const u8* b;
    u32 lb;
    if (type == TYPE_BINARY) {
        lb = zs_length_q(value);
    } else {
        append_utf8(value, text);
        lb = static_cast<u32>(text.size());
    }
    u32 la = zs_length_q(bin);
    const u8* a = zs_head(bin);
    b = type == TYPE_BINARY ? zs_head(value) : text.data();

    u32 bound;
    if (match) {
        if (lb == 0) return (op == COMP_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND) ? 0 : 1;
        if (la < lb) return 1;  // the pattern is longer than what is left
        bound = lb;
    } else {
        if (la != lb && equality) return 1;
        bound = la < lb ? la : lb;
    }
    for (u32 i = 0; i < bound; i++) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (match) return 0;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- Form and mold ---------------------------------------------------------------------

i32 serialize(Cell* bin, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    (void)all;
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    auto line = [&](i32 level) {
        out += '\n';
        if (level > 0) out.append(static_cast<size_t>(level) * 4, ' ');
    };
    i32 left = part;
    auto spend = [&](size_t before) { left -= static_cast<i32>(out.size() - before); };

    u32 len = zs_length_q(bin);
    const u8* p = zs_head(bin);  // nothing allocates until the text is appended
    size_t mark = out.size();
    if (!only) out += "#{";
    if (len >= 31 && !flat) line(indent + 1);
    spend(mark);
    u32 written = 0;
    for (u32 i = 0; i < len; i++) {
        if (arg && left - 2 < 3) break;
        mark = out.size();
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
        written++;
        if (!flat && written % 32 == 0) line(indent + 1);
        spend(mark);
    }
    mark = out.size();
    if (written > 30 && !flat && written % 32 != 0) line(indent);
    if (!only) out += '}';
    spend(mark);
    string::concatenate_literal_part(buffer, out.data(), static_cast<u32>(out.size()));
    return left;
}

i32 form(Cell* bin, Cell* buffer, Cell* arg, i32 part) {
    return serialize(bin, buffer, false, false, false, arg, part, 0);
}

i32 mold(Cell* bin, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return serialize(bin, buffer, only, all, flat, arg, part, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_BINARY) return -2;
    return equal_q(value1, value2, op, false);
}

// ---- Base encodings ---------------------------------------------------------------

namespace {

const char B16[] = "0123456789ABCDEF";
const char B58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Reverse tables of the decoders: 0-63 a digit, SKIP a blank, BAD anything else.
constexpr u8 SKIP = 0xFE;
constexpr u8 BAD = 0xFF;

struct Table {
    u8 v[128];
};

Table make_table(const char* alphabet) {
    Table t;
    for (u8& e : t.v) e = BAD;
    for (u32 i = 0; alphabet[i]; i++) t.v[static_cast<u8>(alphabet[i])] = static_cast<u8>(i);
    for (u32 c : {8u, 9u, 10u, 12u, 13u, 32u, 39u}) t.v[c] = SKIP;
    return t;
}

const Table& table_58() {
    static const Table t = make_table(B58);
    return t;
}
const Table& table_64() {
    static const Table t = make_table(B64);
    return t;
}

i32 hex_digit(u32 c) {
    if (c >= '0' && c <= '9') return static_cast<i32>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<i32>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<i32>(c - 'a' + 10);
    return -1;
}

// Reads characters one at a time; skip_comment() passes a ";" comment.
struct Reader {
    const u8* src;
    u32 unit, count, i = 0;
    bool done() const { return i >= count; }
    u32 get() { return string::get_char(src + u64(i++) * unit, unit); }
    void skip_comment() {
        while (!done() && get() != '\n') {}
    }
};

node_t to_buffer(const Bytes& bytes) {
    node_t node = alloc_bytes(bytes.empty() ? 1 : static_cast<u32>(bytes.size()));
    SeriesBuffer* b = GET_BUFFER(node);
    if (!bytes.empty()) std::memcpy(b->head(), bytes.data(), bytes.size());
    b->tail = b->offset + static_cast<u32>(bytes.size());
    return node;
}

// Base-58 to base-256 (or back): multiplies the digits gathered so far by
// `from` and adds `digit`, keeping the number in base `to`, most significant first.
void big_push(std::vector<u8>& num, u32 digit, u32 from, u32 to) {
    u32 carry = digit;
    for (size_t k = num.size(); k-- > 0;) {
        carry += num[k] * from;
        num[k] = static_cast<u8>(carry % to);
        carry /= to;
    }
    while (carry) {
        num.insert(num.begin(), static_cast<u8>(carry % to));
        carry /= to;
    }
}

}  // namespace

u64 encoded_size(u32 base, u32 count) {
    switch (base) {
        case 2: return u64(count) * 8;
        case 16: return u64(count) * 2;
        case 58: return u64(count) * 138 / 100 + 1;
        case 64: return (u64(count) + 2) / 3 * 4;
        default: return 0;
    }
}

u8* encode_2(u8* out, const u8* src, u32 count) {
    for (u32 i = 0; i < count; i++)
        for (i32 bit = 7; bit >= 0; bit--) *out++ = static_cast<u8>('0' + ((src[i] >> bit) & 1));
    return out;
}

u8* encode_16(u8* out, const u8* src, u32 count) {
    for (u32 i = 0; i < count; i++) {
        *out++ = static_cast<u8>(B16[src[i] >> 4]);
        *out++ = static_cast<u8>(B16[src[i] & 15]);
    }
    return out;
}

u8* encode_58(u8* out, const u8* src, u32 count) {
    u32 zeros = 0;
    while (zeros < count && src[zeros] == 0) zeros++;
    std::vector<u8> digits;  // base-58 digits, most significant first, no leading zeros
    for (u32 i = zeros; i < count; i++) big_push(digits, src[i], 256, 58);
    for (u32 i = 0; i < zeros; i++) *out++ = '1';
    for (u8 d : digits) *out++ = static_cast<u8>(B58[d]);
    return out;
}

u8* encode_64(u8* out, const u8* src, u32 count) {
    u32 i = 0;
    for (; i + 3 <= count; i += 3) {
        u32 v = u32(src[i]) << 16 | u32(src[i + 1]) << 8 | src[i + 2];
        *out++ = static_cast<u8>(B64[v >> 18]);
        *out++ = static_cast<u8>(B64[(v >> 12) & 63]);
        *out++ = static_cast<u8>(B64[(v >> 6) & 63]);
        *out++ = static_cast<u8>(B64[v & 63]);
    }
    if (i < count) {
        u32 v = u32(src[i]) << 16 | (i + 1 < count ? u32(src[i + 1]) << 8 : 0);
        *out++ = static_cast<u8>(B64[v >> 18]);
        *out++ = static_cast<u8>(B64[(v >> 12) & 63]);
        *out++ = i + 1 < count ? static_cast<u8>(B64[(v >> 6) & 63]) : '=';
        *out++ = '=';
    }
    return out;
}

node_t decode_2(const u8* src, u32 unit, u32 count) {
    Reader r{src, unit, count};
    Bytes out;
    u32 acc = 0, n = 0;
    while (!r.done()) {
        u32 c = r.get();
        if (c <= ' ') continue;
        if (c == ';') { r.skip_comment(); continue; }
        if (c != '0' && c != '1') return 0;
        acc = acc << 1 | (c - '0');
        if (++n == 8) {
            out.push_back(static_cast<u8>(acc));
            acc = n = 0;
        }
    }
    if (n != 0) return 0;
    return to_buffer(out);
}

node_t decode_16(const u8* src, u32 unit, u32 count) {
    Reader r{src, unit, count};
    Bytes out;
    i32 high = -1;
    while (!r.done()) {
        u32 c = r.get();
        if (c <= ' ') continue;
        if (c == ';') { r.skip_comment(); continue; }
        i32 d = hex_digit(c);
        if (d < 0) return 0;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<u8>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) return 0;  // a lone last digit is not a byte: refuse rather than drop it
    return to_buffer(out);
}

node_t decode_58(const u8* src, u32 unit, u32 count) {
    const Table& t = table_58();
    Reader r{src, unit, count};
    std::vector<u8> num;  // base-256, most significant first
    u32 zeros = 0;
    bool leading = true;
    while (!r.done()) {
        u32 c = r.get();
        if (c > 127) return 0;  // not a base-58 digit: refuse rather than stop short
        if (c == ';') { r.skip_comment(); continue; }
        u8 d = t.v[c];
        if (d == SKIP) continue;
        if (d == BAD) return 0;
        if (leading && d == 0) {
            zeros++;
            continue;
        }
        leading = false;
        big_push(num, d, 58, 256);
    }
    Bytes out(zeros, 0);
    out.insert(out.end(), num.begin(), num.end());
    return to_buffer(out);
}

node_t decode_64(const u8* src, u32 unit, u32 count) {
    const Table& t = table_64();
    Reader r{src, unit, count};
    Bytes out;
    out.reserve((u64(count) * 3 + 9) / 4);
    u32 acc = 0, n = 0;
    bool padded = false;
    while (!r.done()) {
        u32 c = r.get();
        if (c > 127) return 0;
        if (c == '=') { padded = true; break; }
        if (c == ';') { r.skip_comment(); continue; }
        u8 d = t.v[c];
        if (d == SKIP) continue;
        if (d == BAD) return 0;
        acc = acc << 6 | d;
        if (++n == 4) {
            out.push_back(static_cast<u8>(acc >> 16));
            out.push_back(static_cast<u8>(acc >> 8));
            out.push_back(static_cast<u8>(acc));
            acc = n = 0;
        }
    }
    // A final group of 2 or 3 characters, padded or cut short, gives 1 or 2 bytes.
    if (n == 3) {
        acc <<= 6;
        out.push_back(static_cast<u8>(acc >> 16));
        out.push_back(static_cast<u8>(acc >> 8));
    } else if (n == 2) {
        acc <<= 12;
        out.push_back(static_cast<u8>(acc >> 16));
    } else if (n == 1 || padded) {
        return 0;
    }
    return to_buffer(out);
}

// ---- Conversion -----------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32 type) {
    (void)type;
    Bytes bytes;
    u32 st = TYPE_OF(spec);
    switch (st) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: value_bytes(spec, bytes, false); break;
        case TYPE_CHAR: append_cp(spec->data2, bytes); break;
        case TYPE_INTEGER: {
            u8 tmp[4];
            put_be32(tmp, spec->data2);
            bytes.assign(tmp, tmp + 4);
            break;
        }
        case TYPE_FLOAT: case TYPE_PERCENT: {
            u64 bits;
            double d = cell_float(spec);
            std::memcpy(&bits, &d, 8);
            for (i32 s = 56; s >= 0; s -= 8) bytes.push_back(static_cast<u8>(bits >> s));
            break;
        }
        case TYPE_ISSUE: {
            i32 sym = static_cast<i32>(word_symbol(spec));
            const char* name = symbol::get_c_string(sym);
            u32 n = symbol::name_length(sym);
            Bytes name_copy(name, name + n);  // the decoder allocates
            node_t node = decode_16(name_copy.data(), 1, n);
            if (!node) fire("script", "invalid-data", spec);
            return make_cell(proto, TYPE_BINARY, 0, node, 0);
        }
        case TYPE_BITSET: {
            SeriesBuffer* b = GET_BUFFER(spec->data2);
            bytes.assign(b->head(), b->tail_ptr());
            break;
        }
        case TYPE_TUPLE: {
            u32 n;
            const u8* p = tuple_bytes(spec, n);
            bytes.assign(p, p + n);
            break;
        }
        case TYPE_BINARY: {
            const u8* p = zs_head(spec);
            bytes.assign(p, p + zs_length_q(spec));
            break;
        }
        case TYPE_IMAGE:
            copy_cell(image::extract_data(spec, 2), proto);
            stack::pop(1);
            return proto;
        default:
            if (string::any_string_q(st)) {
                // Straight into the new binary: save turns whole molded documents into bytes here.
                u8* head = string::zs_head(spec);
                u64 n = unicode::count_utf8_bytes(head, GET_BUFFER(series_node(spec))->tail_ptr(), GET_BUFFER(series_node(spec))->unit());
                if (n > 0x7FFFFFF0u) fire("internal", "no-memory");
                node_t node = alloc_bytes(n ? static_cast<u32>(n) : 1);  // may move the string's buffer
                SeriesBuffer* b = GET_BUFFER(node);
                b->tail = b->offset + unicode::to_utf8_buffer(spec, b->head(), -1, false);
                return make_cell(proto, TYPE_BINARY, 0, node, 0);
            }
            bad_to_arg(spec);
    }
    node_t node = to_buffer(bytes);
    return make_cell(proto, TYPE_BINARY, 0, node, 0);
}

// ---- Series actions --------------------------------------------------------------

Cell* insert(Cell* bin, Cell* value, Cell* part, bool only, Cell* dup, bool append) {
    (void)only;
    Bytes bytes;
    value_bytes(value, bytes, false);
    u32 length = static_cast<u32>(bytes.size());
    if (part) {
        i32 n = part_count(part, value);
        if (n < 0) n = 0;
        if (static_cast<u32>(n) < length) length = static_cast<u32>(n);
    }
    u32 total = total_of(length, dup_count(dup));

    u32 used = buffer_of(bin)->used_bytes();
    u32 pos = append ? used : clamped_head(bin);
    series::tell(bin, append ? "append" : "insert", pos, total);
    if (total > 0) {
        SeriesBuffer* b = ensure_room(buffer_of(bin), total);
        u8* p = b->head() + pos;
        std::memmove(p + total, p, used - pos);
        std::memcpy(p, bytes.data(), length);
        fill_repeat(p, length, total);
        b->tail += total;
    }
    series::tell(bin, append ? "appended" : "inserted", pos, total);
    series_head(bin) = append ? 0 : pos + total;
    return bin;
}

Cell* change(Cell* bin, Cell* value, Cell* part, bool only, Cell* dup) {
    (void)only;
    Bytes bytes;
    value_bytes(value, bytes, true);
    u32 length = static_cast<u32>(bytes.size());
    u32 total = total_of(length, dup_count(dup));
    u32 pos = clamped_head(bin);
    u32 used = buffer_of(bin)->used_bytes();
    u32 room = used - pos;
    // The range replaced: /part's count (clamped to what is left), else as
    // many bytes as are written.
    u32 range = total < room ? total : room;
    if (part) {
        i32 n = part_count(part, bin);
        range = n < 0 ? 0 : static_cast<u32>(n) < room ? static_cast<u32>(n) : room;
    }
    series::tell(bin, "change", pos, total);
    if (total > range) {
        SeriesBuffer* b = ensure_room(buffer_of(bin), total - range);
        u8* p = b->head() + pos;
        std::memmove(p + total, p + range, used - pos - range);
        b->tail += total - range;
    } else if (total < range) {
        SeriesBuffer* b = buffer_of(bin);
        u8* p = b->head() + pos;
        std::memmove(p + total, p + range, used - pos - range);
        b->tail -= range - total;
    }
    if (total > 0) {
        u8* p = buffer_of(bin)->head() + pos;
        std::memcpy(p, bytes.data(), length);
        fill_repeat(p, length, total);
    }
    series::tell(bin, "changed", pos, total);
    series_head(bin) = pos + total;
    return bin;
}

Cell* trim(Cell* bin, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    if (auto_ || lines) fire("internal", "not-done");
    u32 pos = clamped_head(bin);
    u32 used = buffer_of(bin)->used_bytes();
    series::tell(bin, "trim", pos, used - pos);
    SeriesBuffer* b = buffer_of(bin);
    u8* start = b->head() + pos;
    u8* end = b->tail_ptr();
    if (with || all) {
        bool drop[256] = {};
        if (!with) {
            drop[0] = true;
        } else if (TYPE_OF(with) == TYPE_BINARY) {
            for (u8* q = zs_head(with); q < zs_tail(with); q++) drop[*q] = true;
            b = buffer_of(bin);  // the same buffer; nothing allocated
            start = b->head() + pos;
            end = b->tail_ptr();
        } else {
            drop[get_byte(with)] = true;
        }
        u8* w = start;
        for (u8* r = start; r < end; r++)
            if (!drop[*r]) *w++ = *r;
        b->tail = off_of(w);
    } else {
        bool from_start = !(tail && !head);
        bool from_end = !(head && !tail);
        u8* s = start;
        u8* e = end;
        if (from_start)
            while (s < e && *s == 0) s++;
        if (from_end)
            while (e > s && e[-1] == 0) e--;
        std::memmove(start, s, static_cast<size_t>(e - s));
        b->tail = off_of(start + (e - s));
    }
    series::tell(bin, "trimmed", pos, buffer_of(bin)->used_bytes() - pos);
    return bin;
}

// ---- Bitwise actions ----------------------------------------------------------------

Cell* do_bitwise(Cell* left, Cell* right, Cell* result, i32 op) {
    if (TYPE_OF(right) != TYPE_BINARY) fire("script", "invalid-arg", right);
    u32 la = zs_length_q(left), lb = zs_length_q(right);
    u32 longer = la > lb ? la : lb;
    u32 shorter = la < lb ? la : lb;
    // Made on the stack: `result` may be one of the operands.
    Cell* fresh = load_in(stack::push_star(), longer);
    SeriesBuffer* out = buffer_of(fresh);
    const u8* a = zs_head(left);
    const u8* b = zs_head(right);
    u8* o = out->head();
    for (u32 i = 0; i < shorter; i++) {
        switch (op) {
            case 6: o[i] = a[i] & b[i]; break;
            case 5: o[i] = a[i] | b[i]; break;
            default: o[i] = a[i] ^ b[i]; break;
        }
    }
    const u8* rest = la > lb ? a : b;
    for (u32 i = shorter; i < longer; i++) o[i] = op == 6 ? 0 : rest[i];
    out->tail = out->offset + longer;
    copy_cell(fresh, result);
    stack::pop(1);
    return result;
}

Cell* and_t() { return do_bitwise(stack::arguments, stack::arguments + 1, stack::arguments, 6); }
Cell* or_t() { return do_bitwise(stack::arguments, stack::arguments + 1, stack::arguments, 5); }
Cell* xor_t() { return do_bitwise(stack::arguments, stack::arguments + 1, stack::arguments, 7); }

Cell* complement(Cell* bin) {
    u8* p = zs_head(bin);
    u8* end = zs_tail(bin);
    for (; p < end; p++) *p = static_cast<u8>(~*p);
    return bin;
}

// ---- Registration ------------------------------------------------------------------

void init() {
    datatype::register_type(TYPE_BINARY, TYPE_STRING, "binary!", {
        inherit<ACT_MAKE>(), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), own<ACT_TO>(to), own<ACT_FORM>(form),
        own<ACT_MOLD>(mold), inherit<ACT_EVAL_PATH>(), own<ACT_COMPARE>(compare), own<ACT_AND_T>(and_t),
        own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t), own<ACT_APPEND>(insert),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), own<ACT_CHANGE>(change), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(),
        inherit<ACT_FIND>(), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        own<ACT_INSERT>(insert), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        inherit<ACT_SELECT>(), inherit<ACT_SORT>(), inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), own<ACT_TRIM>(trim), inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::binary
