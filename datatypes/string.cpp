// string! values: buffers, character edits, concatenation, comparison and escaping.
#include "datatypes/string.h"
#include "datatypes/words.h"
#include "datatypes/ownership.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"

#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/forming.h"
#include "runtime/rt.h"
#include "runtime/sort.h"
#include "runtime/unicode.h"

namespace zav::string {

namespace {

Cell* make_string(Cell* cell, u32 capacity, u32 unit) {
    make_cell(cell, TYPE_UNSET);  // not a string until its buffer exists
    node_t node = alloc_codepoints(capacity ? capacity : 1, unit);
    return make_cell(cell, TYPE_STRING, 0, node, 0);
}

// A symbol's name as a string cell at index 0: its string cache when filled
// (symbol::get fills it), else decoded afresh.
void symbol_as_string(const Cell* sym, Cell* out) {
    if (sym->data2) {
        node_t cache = sym->data2;
        make_cell(out, TYPE_STRING, 0, cache, 0);
        return;
    }
    node_t name = sym->data3;
    SeriesBuffer* b = GET_BUFFER(name);
    u32 len = b->used_bytes();
    std::vector<u8> bytes(b->head(), b->head() + len);  // the allocation below may move it
    node_t node = unicode::load_utf8(bytes.data(), len, nullptr, nullptr, false);
    make_cell(out, TYPE_STRING, 0, node, 0);
}

// Room for `bytes` more at the tail; returns the buffer, which may have moved.
SeriesBuffer* reserve_tail(SeriesBuffer* buf, u64 bytes) {
    u64 room = off_of(buf->data_end()) - buf->tail;
    if (room >= bytes) return buf;
    u64 want = (u64(buf->used_bytes()) + bytes) * 2;
    if (want > 0x7FFFFFFFu) fire("internal", "no-memory");
    return expand_series(buf, static_cast<u32>(want));
}

const char hex_digits[] = "0123456789ABCDEF";

// Escape letters for code points 0 to 94 (0 = none).
u8 escape_letter(u32 cp) {
    static const char controls[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    if (cp < 32) return static_cast<u8>(controls[cp]);
    if (cp == '"') return '"';
    if (cp == '^') return '^';
    return 0;
}

inline u32 fold(u32 cp) { return case_folding::change_char(cp, 1); }
// The same for a code point of a one-byte text: ASCII without the tables.
inline u32 fold_narrow(u32 cp) {
    if (cp < 0x80) return cp - 'a' < 26 ? cp - 32 : cp;
    return fold(cp);
}

// A text from its head: where it starts, how many code points, their width.
struct Text {
    const u8* head;
    u32 length;
    u32 unit;
};
inline Text text_view(Cell* str) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = buffer_unit(b);
    u32 total = b->used_bytes() >> (unit >> 1);  // units are 1, 2 or 4
    if (series_head(str) > total) series_head(str) = total;
    return {b->head() + series_head(str) * unit, total - series_head(str), unit};
}

}  // namespace

// ---- Accessors ---------------------------------------------------------------

u8* zs_head(Cell* str) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 len = b->used_bytes() / buffer_unit(b);
    if (series_head(str) > len) series_head(str) = len;
    return b->head() + series_head(str) * b->unit();
}

u8* zs_tail(const Cell* str) { return GET_BUFFER(series_node(str))->tail_ptr(); }

bool zs_tail_q(const Cell* str) { return zs_length_q(str) == 0; }

u32 zs_length_q(const Cell* str) {
    u32 len = zs_abs_length_q(str);
    u32 head = series_head(str);
    return head < len ? len - head : 0;
}

u32 zs_abs_length_q(const Cell* str) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    return b->used_bytes() / buffer_unit(b);
}

u32 zs_abs_at(const Cell* str, u32 index) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = buffer_unit(b);
    return get_char(b->head() + index * unit, unit);
}

void zs_reset(Cell* str) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    b->tail = b->offset;
    b->flags = (b->flags & ~SERIES_UNIT_MASK) | 1;
    series_head(str) = 0;
}

void update_cursor(SeriesBuffer* buf, u32 n) {
    u64 bytes = u64(n) * buffer_unit(buf);
    if (buf->size >= bytes) {
        u64 end = u64(buf->offset) + bytes;
        if (end < buf->tail) buf->tail = static_cast<off32>(end);
    }
}

// ---- Makers ------------------------------------------------------------------

Cell* zs_make_at(Cell* cell, u32 n) { return make_string(cell, n, 1); }

Cell* make_fixed_at(Cell* cell, u32 capacity, u32 unit) { return make_string(cell, capacity, unit); }

Cell* make_push(u32 n) { return make_string(stack::push_star(), n, 1); }

Cell* push(const Cell* str) { return stack::push(str); }

Cell* load_at(const u8* src, u32 size, Cell* target, i32 encoding) {
    if (!target) target = stack::push_star();
    make_cell(target, TYPE_UNSET);
    node_t node;
    if (encoding == 0) {
        node = unicode::load_utf8_new(src, size);
    } else if (encoding == -1) {
        node = unicode::load_utf16(src, size / 2, nullptr, false);
    } else {
        std::fputs("*** Loading Error: input encoding unsupported\n", stdout);
        rt::quit(0, 0);
    }
    return make_cell(target, TYPE_STRING, 0, node, 0);
}

Cell* load_in(const u8* src, u32 size, node_t block, i32 encoding) {
    // The new string waits on the value stack while the block's slot is made.
    Cell* tmp = load_at(src, size, nullptr, encoding);
    if (!block) return tmp;
    Cell* c = copy_cell(tmp, alloc_at_tail(block));
    stack::pop(1);
    return c;
}

Cell* load(const u8* src, u32 size, i32 encoding) { return load_at(src, size, nullptr, encoding); }

Cell* from_utf8_binary(const u8* src, u32 size) {
    Cell* out = make_push(size);
    u32 left = 0;
    unicode::load_utf8_in(src, size, out, &left);
    if (left) {
        Cell bin;
        node_t node = alloc_bytes(left);
        SeriesBuffer* b = GET_BUFFER(node);
        std::memcpy(b->head(), src + (size - left), left);
        b->tail = b->offset + left;
        make_cell(&bin, TYPE_BINARY, 0, node, 0);
        fire("access", "invalid-utf8", &bin);
    }
    return out;
}

// ---- Character edits -------------------------------------------------------------

SeriesBuffer* widen_to(SeriesBuffer* buf, u32 unit) {
    u32 from = buffer_unit(buf);
    if (from == 1 && unit == 2) return unicode::widen_1_2(buf);
    if (from == 1 && unit == 4) return unicode::widen_1_4(buf);
    if (from == 2 && unit == 4) return unicode::widen_2_4(buf);
    rt::quit(rt::RT_ERR_NO_CASE, rt::code_address());
}

SeriesBuffer* append_char(SeriesBuffer* buf, u32 cp) {
    u32 unit = buffer_unit(buf);
    if (unit == 1 && cp > 0x7F) {
        buf = widen_to(buf, cp > 0xFFFF ? 4 : 2);
    } else if (unit == 2 && cp > 0xFFFF) {
        buf = widen_to(buf, 4);
    }
    unit = buf->unit();
    put_char(alloc_tail_unit(buf, unit), unit, cp);
    return buf;
}

SeriesBuffer* poke_char(SeriesBuffer* buf, u8* p, u32 cp) {
    u32 unit = buffer_unit(buf);
    u32 need = unit_for(cp);
    if (need > unit) {
        u32 index = static_cast<u32>(p - buf->head()) / unit;
        buf = widen_to(buf, need);
        unit = need;
        p = buf->head() + index * unit;
    }
    put_char(p, unit, cp);
    return buf;
}

SeriesBuffer* overwrite_char(SeriesBuffer* buf, u32 index, u32 cp) {
    u32 unit = buffer_unit(buf);
    if (unit_for(cp) > unit) buf = widen_to(buf, unit = unit_for(cp));
    u32 len = buf->length();
    if (index >= len) {
        u64 need = (u64(index) + 1 - len) * unit;
        buf = reserve_tail(buf, need);
        std::memset(buf->tail_ptr(), 0, static_cast<size_t>(need));
        buf->tail += static_cast<u32>(need);
    }
    put_char(buf->head() + index * unit, unit, cp);
    return buf;
}

SeriesBuffer* insert_char(SeriesBuffer* buf, u32 index, u32 cp) {
    u32 unit = buffer_unit(buf);
    if (unit_for(cp) > unit) buf = widen_to(buf, unit = unit_for(cp));
    buf = reserve_tail(buf, unit);
    u32 len = buf->length();
    if (index > len) index = len;
    u8* p = buf->head() + index * unit;
    std::memmove(p + unit, p, (len - index) * unit);
    buf->tail += unit;
    put_char(p, unit, cp);
    return buf;
}

void remove_char(SeriesBuffer* buf, u32 index) { remove_chars(buf, index, 1); }

void remove_chars(SeriesBuffer* buf, u32 index, u32 n) {
    u32 unit = buffer_unit(buf);
    u32 len = buf->length();
    if (index >= len || n == 0) return;
    if (n > len - index) n = len - index;
    u8* p = buf->head() + index * unit;
    std::memmove(p, p + n * unit, (len - index - n) * unit);
    buf->tail -= n * unit;
}

// Replaces n characters at index with the first count of text's, moving the
// tail once (a remove then an insert would move it twice). text must not
// share the target's buffer.
void splice_chars(Cell* target, u32 index, u32 n, const Cell* text, u32 count) {
    node_t tnode = series_node(target);
    SeriesBuffer* tb = GET_BUFFER(tnode);
    u32 tu = buffer_unit(tb);
    u32 su = buffer_unit(GET_BUFFER(series_node(text)));
    if (count && tu < su) {
        tb = widen_to(tb, su);
        tu = su;
    }
    u32 len = tb->length();
    if (index > len) index = len;
    if (n > len - index) n = len - index;
    if (count > n) tb = reserve_tail(tb, u64(count - n) * tu);
    u8* dst = tb->head() + u64(index) * tu;
    if (count != n) std::memmove(dst + u64(count) * tu, dst + u64(n) * tu, u64(len - index - n) * tu);
    const u8* from = GET_BUFFER(series_node(text))->head() + u64(series_head(text)) * su;
    if (su == tu) std::memcpy(dst, from, u64(count) * tu);
    else copy_widening(from, dst, count, su, tu);
    tb->tail = tb->tail - n * tu + count * tu;
}

void move_chars(Cell* source, Cell* target, u32 index, u32 n) {
    u32 head = series_head(source);
    for (u32 i = 0; i < n; i++) {
        u32 cp = zs_abs_at(source, head + i);
        insert_char(GET_BUFFER(series_node(target)), index + i, cp);
    }
    remove_chars(GET_BUFFER(series_node(source)), head, n);
}

void copy_widening(const u8* src, u8* dst, u32 n, u32 from, u32 to) {
    for (u32 i = 0; i < n; i++) put_char(dst + i * to, to, get_char(src + i * from, from));
}

void swap_chunks(u8* p, u32 a, u32 b) {
    // The scratch buffer is kept between calls: chunk swaps come in runs.
    static std::vector<u8> scratch;
    if (a == 0 || b == 0) return;
    if (scratch.size() < a) scratch.resize(a);
    std::memcpy(scratch.data(), p, a);
    std::memmove(p, p + a, b);
    std::memcpy(p + b, scratch.data(), a);
}

// ---- Concatenation -------------------------------------------------------------

void concatenate(Cell* target, Cell* source, i32 part, i32 index, bool keep_source, i32 mode) {
    Cell src = *source;
    if (TYPE_OF(&src) == TYPE_SYMBOL_ID) symbol_as_string(&src, &src);
    node_t tnode = series_node(target);
    node_t snode = series_node(&src);
    SeriesBuffer* tb = GET_BUFFER(tnode);
    SeriesBuffer* sb = GET_BUFFER(snode);
    u32 tu = buffer_unit(tb);
    u32 su = buffer_unit(sb);
    if (tu < su) {
        tb = widen_to(tb, su);
        tu = su;
    } else if (su < tu && !keep_source) {
        sb = widen_to(sb, tu);
        su = tu;
    }
    u32 count = zs_length_q(&src);
    if (part >= 0 && static_cast<u32>(part) < count) count = static_cast<u32>(part);
    if (count == 0) return;
    u64 need = u64(count) * tu;
    if (need > 0x7FFFFFFFu) fire("internal", "no-memory");
    tb = reserve_tail(GET_BUFFER(tnode), need);

    // Inserting a string into itself moves the source text: take it aside first.
    std::vector<u8> aside;
    bool same = tnode == snode;
    if (same && mode != CONCAT_APPEND) {
        u8* s = GET_BUFFER(snode)->head() + u64(series_head(&src)) * su;
        aside.assign(s, s + u64(count) * su);
    }

    u32 tlen = tb->length();
    u32 at_index = tlen;
    if (mode != CONCAT_APPEND) {
        u64 pos = u64(series_head(target) > tlen ? tlen : series_head(target)) + (index > 0 ? index : 0);
        at_index = pos > tlen ? tlen : static_cast<u32>(pos);
    }
    u8* dst = tb->head() + u64(at_index) * tu;
    if (mode == CONCAT_INSERT) std::memmove(dst + need, dst, u64(tlen - at_index) * tu);

    const u8* from = same && mode != CONCAT_APPEND ? aside.data()
                                                   : GET_BUFFER(snode)->head() + u64(series_head(&src)) * su;
    if (su == tu) std::memmove(dst, from, static_cast<size_t>(need));
    else copy_widening(from, dst, count, su, tu);

    switch (mode) {
        case CONCAT_APPEND:
        case CONCAT_INSERT:
            tb->tail += static_cast<u32>(need);
            break;
        default: {
            off32 end = off_of(dst) + static_cast<u32>(need);
            if (end > tb->tail) tb->tail = end;
        }
    }
}

void concatenate_literal(Cell* target, const char* text) {
    concatenate_literal_part(target, text, static_cast<u32>(std::strlen(text)));
}

void concatenate_literal_part(Cell* target, const char* text, u32 n) {
    SeriesBuffer* buf = GET_BUFFER(series_node(target));
    if (buffer_unit(buf) == 1) {
        // The common case: one block copy while the bytes stay ASCII.
        u32 ascii = 0;
        while (ascii < n && static_cast<u8>(text[ascii]) < 0x80) ascii++;
        append_ascii(target, text, ascii);
        buf = GET_BUFFER(series_node(target));
        text += ascii;
        n -= ascii;
    }
    for (u32 i = 0; i < n; i++) buf = append_char(buf, static_cast<u8>(text[i]));
}

void append_ascii(Cell* target, const char* text, u32 n) {
    SeriesBuffer* buf = GET_BUFFER(series_node(target));
    if (buffer_unit(buf) != 1) {
        for (u32 i = 0; i < n; i++) buf = append_char(buf, static_cast<u8>(text[i]));
        return;
    }
    buf = reserve_tail(buf, n);
    copy_bytes(buf->tail_ptr(), reinterpret_cast<const u8*>(text), n);
    buf->tail += n;
}

void concatenate_utf8(Cell* target, const char* text, u32 n) {
    unicode::load_utf8(reinterpret_cast<const u8*>(text), n, target, nullptr, false);
}

// ---- Searching and comparison -----------------------------------------------------

i32 find_char(Cell* str, u32 cp) {
    u8* p = zs_head(str);
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = b->unit();
    u32 n = static_cast<u32>(b->tail_ptr() - p) / unit;
    for (u32 i = 0; i < n; i++)
        if (get_char(p + i * unit, unit) == cp) return static_cast<i32>(i);
    return -1;
}

bool find_char_case(Cell* str, u32 cp, u32 step, bool case_) {
    u8* p = zs_head(str);
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = b->unit();
    u32 n = static_cast<u32>(b->tail_ptr() - p) / unit;
    if (step == 0) step = 1;
    if (!case_) cp = fold(cp);
    for (u32 i = 0; i < n; i += step) {
        u32 c = get_char(p + i * unit, unit);
        if (!case_) c = fold(c);
        if (c == cp) return true;
    }
    return false;
}

bool match_c_string_q(Cell* str, const char* text) {
    u8* p = zs_head(str);
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = b->unit();
    u32 n = static_cast<u32>(b->tail_ptr() - p) / unit;
    u32 i = 0;
    for (; text[i]; i++) {
        if (i >= n) return false;
        u32 c = get_char(p + i * unit, unit);
        if (c > 255 || c != static_cast<u8>(text[i])) return false;
    }
    return true;
}

i32 equal_q(Cell* a, Cell* b, i32 op, bool match) {
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
    if (op == COMP_SAME || equality) {
        bool same_place = series_node(a) == series_node(b) && series_head(a) == series_head(b) &&
                          TYPE_OF(a) != TYPE_SYMBOL_ID && TYPE_OF(b) != TYPE_SYMBOL_ID;
        if (op == COMP_SAME) return same_place ? 0 : -1;
        if (same_place) return 0;
    }
    Cell sa = *a, sb = *b;
    if (TYPE_OF(&sa) == TYPE_SYMBOL_ID) symbol_as_string(a, &sa);
    if (TYPE_OF(&sb) == TYPE_SYMBOL_ID) symbol_as_string(b, &sb);
    Text ta = text_view(&sa), tb = text_view(&sb);
    u32 la = ta.length, lb = tb.length;
    u32 n;
    if (match) {
        if (lb == 0) return op == COMP_FIND ? 1 : 0;
        if (la < lb) return 1;
        n = lb;
    } else {
        if (la != lb) {
            if (equality) return 1;
            if (lb == 0) return 1;
        } else if (la == 0) {
            return 0;
        }
        n = la < lb ? la : lb;
    }
    bool fold_case = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT;
    u32 ua = ta.unit, ub = tb.unit;
    const u8* pa = ta.head;
    const u8* pb = tb.head;
    u32 ca = 0, cb = 0;
    u32 i = 0;
    // Equal characters stay equal folded: only a mismatch is worth folding.
    if (ua == 1 && ub == 1) {
        for (; i < n; i++) {
            ca = pa[i];
            cb = pb[i];
            if (ca == cb) continue;
            if (!fold_case) break;
            ca = fold_narrow(ca);
            cb = fold_narrow(cb);
            if (ca != cb) break;
        }
    } else {
        for (; i < n; i++) {
            ca = get_char(pa + i * ua, ua);
            cb = get_char(pb + i * ub, ub);
            if (ca != cb && fold_case) {
                ca = fold(ca);
                cb = fold(cb);
            }
            if (ca != cb) break;
        }
    }
    if (ca == cb && !match) return la > lb ? 1 : la == lb ? 0 : -1;
    return ca > cb ? 1 : ca == cb ? 0 : -1;
}

u64 sort_prefix(const Cell* str, bool case_, u32* state) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = buffer_unit(b);
    u32 total = b->used_bytes() >> (unit >> 1);
    u32 head = std::min(series_head(str), total);
    u32 len = total - head;
    const u8* p = b->head() + u64(head) * unit;
    u32 n = len < 8 ? len : 8;
    u64 key = 0;
    for (u32 i = 0; i < n; i++) {
        u32 c = unit == 1 ? p[i] : get_char(p + u64(i) * unit, unit);
        if (!case_) c = unit == 1 ? fold_narrow(c) : fold(c);
        if (c > 0xFF) {
            *state = PREFIX_NONE;
            return 0;
        }
        key |= u64(c) << (56 - 8 * i);
    }
    *state = len <= 8 ? len : PREFIX_PART;
    return key;
}

bool match_tag_q(Cell* str, Cell* tag) {
    u32 len = zs_length_q(str);
    u32 tl = zs_length_q(tag);
    if (len < tl + 2) return false;
    u32 head = series_head(str);
    return zs_abs_at(str, head) == '<' && zs_abs_at(str, head + tl + 1) == '>';
}

bool match_q(Cell* str, Cell* value, i32 op) {
    switch (TYPE_OF(value)) {
        case TYPE_CHAR: {
            if (zs_tail_q(str)) return false;
            u32 c = get_char(zs_head(str), GET_BUFFER(series_node(str))->unit());
            u32 v = value->data2;
            if (op != COMP_STRICT_EQUAL) {
                c = fold(c);
                v = fold(v);
            }
            return c == v;
        }
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_EMAIL: case TYPE_REF:
            return equal_q(str, value, op, true) == 0;
        case TYPE_TAG: {
            if (!match_tag_q(str, value)) return false;
            Cell moved = *str;
            series_head(&moved)++;
            return equal_q(&moved, value, op, true) == 0;
        }
        default:
            return false;
    }
}

bool match_bitset_q(Cell* str, Cell* bits) {
    if (zs_tail_q(str)) return false;
    return bitset::test(bits, get_char(zs_head(str), GET_BUFFER(series_node(str))->unit()));
}

// ---- Hexadecimal ------------------------------------------------------------------

const char* byte_to_hex(u32 byte) {
    static char out[2];
    out[0] = hex_digits[(byte >> 4) & 15];
    out[1] = hex_digits[byte & 15];
    return out;
}

const char* to_hex(u32 value, bool trim) {
    static char out[9];
    for (int i = 7; i >= 0; i--) {
        out[i] = hex_digits[value & 15];
        value >>= 4;
    }
    out[8] = 0;
    if (!trim) return out;
    int first = 0;
    while (first < 7 && out[first] == '0') first++;
    if (first == 7 && out[7] == '0') return out + 6;  // "00"
    return out + first;
}

double to_float(const u8* p, u32 n, u32 unit) {
    std::vector<char> text(n + 1);
    for (u32 i = 0; i < n; i++) {
        u32 c = get_char(p + i * unit, unit);
        text[i] = c < 128 ? static_cast<char>(c) : '?';
    }
    text[n] = 0;
    i32 error = 0;
    return dtoa::text_to_float(text.data(), text.data() + n, 0, &error);
}

// ---- Escaping -------------------------------------------------------------------------

SeriesBuffer* append_escaped_char(SeriesBuffer* buf, u32 cp, i32 mode, bool all) {
    auto literal = [&](const char* s) {
        for (; *s; s++) buf = append_char(buf, static_cast<u8>(*s));
    };
    if (cp == 30) {
        literal("^(1E)");
    } else if ((cp >= 128 && cp <= 159) || (all && cp > 127)) {
        literal("^(");
        literal(to_hex(cp, true));
        literal(")");
    } else if (mode == ESC_MOLD && cp < 95 && escape_letter(cp)) {
        buf = append_char(buf, '^');
        buf = append_char(buf, escape_letter(cp));
    } else if (cp == 127) {
        literal("^~");
    } else {
        buf = append_char(buf, cp);
    }
    return buf;
}

// ---- Sort comparators -------------------------------------------------------------------

namespace {

template <u32 Unit>
int sort_cmp_chars(const void* a, const void* b, uintptr_t case_, uintptr_t flags) {
    const u8* pa = static_cast<const u8*>(a);
    const u8* pb = static_cast<const u8*>(b);
    u32 n = static_cast<u32>(flags >> 2);
    u32 from = 0, count = 1;
    if (flags & SORT_ALL) count = n;
    else from = n;
    int r = 0;
    for (u32 i = from; i < from + count; i++) {
        u32 ca = get_char(pa + i * Unit, Unit);
        u32 cb = get_char(pb + i * Unit, Unit);
        if (!case_) {
            if (Unit == 1) {
                if (ca >= 'A' && ca <= 'Z') ca += 32;
                if (cb >= 'A' && cb <= 'Z') cb += 32;
            } else {
                ca = fold(ca);
                cb = fold(cb);
            }
        }
        r = static_cast<int>(static_cast<i64>(ca) - static_cast<i64>(cb));
        if (r) break;
    }
    return (flags & SORT_REVERSE) ? -r : r;
}

template <class F>
int sort_cmp_floats(const void* a, const void* b, uintptr_t flags) {
    u32 n = static_cast<u32>(flags >> 2);
    u32 from = 0, count = 1;
    if (flags & SORT_ALL) count = n;
    else from = n;
    int r = 0;
    for (u32 i = from; i < from + count; i++) {
        F fa, fb;
        std::memcpy(&fa, static_cast<const u8*>(a) + i * sizeof(F), sizeof(F));
        std::memcpy(&fb, static_cast<const u8*>(b) + i * sizeof(F), sizeof(F));
        r = fa < fb ? -1 : fa > fb ? 1 : 0;  // unordered pairs compare equal
        if (r) break;
    }
    return (flags & SORT_REVERSE) ? -r : r;
}

}  // namespace

int sort_cmp_1(const void* a, const void* b, uintptr_t c, uintptr_t f) { return sort_cmp_chars<1>(a, b, c, f); }
int sort_cmp_2(const void* a, const void* b, uintptr_t c, uintptr_t f) { return sort_cmp_chars<2>(a, b, c, f); }
int sort_cmp_4(const void* a, const void* b, uintptr_t c, uintptr_t f) { return sort_cmp_chars<4>(a, b, c, f); }
int sort_cmp_f32(const void* a, const void* b, uintptr_t, uintptr_t f) { return sort_cmp_floats<float>(a, b, f); }
int sort_cmp_f64(const void* a, const void* b, uintptr_t, uintptr_t f) { return sort_cmp_floats<double>(a, b, f); }

namespace {

// A new string holding the n code points of a record.
Cell* record_string(Cell* out, const void* record, u32 n, u32 unit) {
    make_fixed_at(out, n, unit);
    SeriesBuffer* buf = GET_BUFFER(series_node(out));
    std::memcpy(buf->head(), record, u64(n) * unit);
    buf->tail = buf->offset + n * unit;
    return out;
}

}  // namespace

int sort_cmp_call(const void* a, const void* b, uintptr_t call, uintptr_t flags) {
    const SortCall& sc = *reinterpret_cast<const SortCall*>(call);
    if (flags & SORT_REVERSE) std::swap(a, b);
    u32 unit = static_cast<u32>(flags >> 2) & 7;
    u32 record = static_cast<u32>(flags >> 5);
    collector::GuardedCell va, vb;
    if ((flags & SORT_ALL) && record > 0) {
        record_string(&va.value, a, record, unit);
        record_string(&vb.value, b, record, unit);
    } else {
        char_::make_at(&va.value, get_char(static_cast<const u8*>(a), unit));
        char_::make_at(&vb.value, get_char(static_cast<const u8*>(b), unit));
    }
    Cell* slots = block::cells_of(block::buffer_of(sc.args)) + series_head(sc.args);
    slots[0] = va.value;
    slots[1] = vb.value;
    return function::call_comparator(sc.fn, sc.args);
}

// ---- string! actions ------------------------------------------------------------------

bool whitespace_q(u32 c) {
    return (c >= 1 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

Cell* make_none(Cell* c) { return make_cell(c, TYPE_NONE); }

[[noreturn]] void refine_error(const char* refinement, const Cell* value) {
    Cell w;
    fire("script", "invalid-refine-arg", series::word_arg(&w, refinement), value);
}

u32 unit_of(const Cell* s) { return buffer_unit(GET_BUFFER(series_node(s))); }

// Clamped head index.
u32 head_of(Cell* s) {
    u32 len = zs_abs_length_q(s);
    if (series_head(s) > len) series_head(s) = len;
    return series_head(s);
}

// Text that a value adds to a string: formed into `out` (a new string).
void form_into(Cell* value, Cell* out) {
    Cell v = *value;
    actions::form_dispatch(&v, out, nullptr, -1);
}

// The text that append, insert and change write for a value, as a string
// cell (the value itself for plain any-string values, else a new string on
// the value stack), limited to `limit` code points when limit >= 0.
Cell text_of(Cell* value, i32 limit) {
    u32 type = TYPE_OF(value);
    Cell text;
    if (type != TYPE_TAG && any_string_q(type)) {
        text = *value;
        return text;
    }
    Cell* out = make_push(16);
    switch (type) {
        case TYPE_CHAR:
            append_char(out, value->data2);
            break;
        case TYPE_TAG:
            append_char(out, '<');
            append(out, value);
            append_char(out, '>');
            break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
            node_t node = series_node(value);
            u32 from = series_head(value);
            for (u32 i = from;; i++) {
                SeriesBuffer* b = GET_BUFFER(node);
                if (i >= b->length()) break;
                if (limit >= 0 && zs_length_q(out) >= static_cast<u32>(limit)) break;
                Cell item = reinterpret_cast<Cell*>(b->head())[i];
                form_into(&item, out);
            }
            break;
        }
        default:
            form_into(value, out);
    }
    if (limit >= 0) update_cursor(GET_BUFFER(series_node(out)), static_cast<u32>(limit));
    return *out;
}

i32 int_arg(const Cell* c) { return static_cast<i32>(c->data2); }

bool horizontal_q(u32 c) { return c == ' ' || c == '\t' || (c >= 0x85 && whitespace_q(c)); }

}  // namespace

Cell* make(Cell* proto, Cell* spec, u32 type) {
    u32 st = TYPE_OF(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        i32 size = check_float_range(spec);
        if (size < 0) fire("script", "out-of-range", spec);
        make_fixed_at(proto, static_cast<u32>(size), 1);
        set_type(proto, type);
        return proto;
    }
    if (type == TYPE_BINARY && st == TYPE_MONEY) {
        Cell dt;
        datatype::make_at(&dt, type);
        fire("script", "bad-make-arg", &dt, spec);
    }
    return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, u32 type) {
    u32 st = TYPE_OF(spec);
    Cell result;
    switch (st) {
        case TYPE_NONE: {
            Cell dt;
            datatype::make_at(&dt, type);
            fire("script", "bad-to-arg", &dt, spec);
        }
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
            result = text_of(spec, -1);
            break;
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: {
            u32 from = head_of(spec);
            node_t node = copy_series_part(series_node(spec), from, zs_abs_length_q(spec) - from);
            make_cell(&result, TYPE_STRING, 0, node, 0);
            break;
        }
        case TYPE_REFINEMENT: {
            Cell* out = make_push(16);
            Cell v = *spec;
            if (type == TYPE_STRING) actions::form_dispatch(&v, out, nullptr, -1);
            else actions::mold_dispatch(&v, out, false, false, false, nullptr, -1, 0);
            result = *out;
            break;
        }
        case TYPE_BINARY: {
            SeriesBuffer* b = GET_BUFFER(series_node(spec));
            u32 from = series_head(spec) > b->length() ? b->length() : series_head(spec);
            std::vector<u8> bytes(b->head() + from, b->tail_ptr());
            result = *from_utf8_binary(bytes.data(), static_cast<u32>(bytes.size()));
            break;
        }
        default: {
            Cell* out = make_push(16);
            form_into(spec, out);
            result = *out;
        }
    }
    set_type(&result, type);
    return copy_cell(&result, proto);
}

i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part) {
    concatenate(buffer, value, arg ? (part > 0 ? part : 0) : -1, 0, true, CONCAT_APPEND);
    return part - static_cast<i32>(zs_length_q(value));
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* arg, i32 part, i32) {
    u32 head = head_of(value);
    u32 len = zs_length_q(value);
    u32 n = len;
    if (arg && part >= 0 && static_cast<u32>(part) < n) n = static_cast<u32>(part);
    u32 quotes = 0, lines = 0;
    for (u32 i = 0; i < n; i++) {
        u32 c = zs_abs_at(value, head + i);
        if (c == '"') quotes++;
        else if (c == '\n') lines++;
    }
    node_t out = series_node(buffer);
    SeriesBuffer* ob = GET_BUFFER(out);
    if (lines < 3 && quotes == 0 && len < 50) {
        ob = append_char(ob, '"');
        for (u32 i = 0; i < n; i++) ob = append_escaped_char(ob, zs_abs_at(value, head + i), ESC_MOLD, all);
        append_char(ob, '"');
    } else {
        ob = append_char(ob, '{');
        bool tracking = true;
        u32 open = 0;
        for (u32 i = 0; i < n; i++) {
            u32 c = zs_abs_at(value, head + i);
            switch (c) {
                case '"':
                    ob = append_char(ob, c);
                    break;
                case '^':
                    ob = append_char(ob, '^');
                    ob = append_char(ob, '^');
                    break;
                case '{': {
                    if (tracking) {
                        // Is there a closing brace for this one later in the range?
                        u32 depth = 0;
                        bool closed = false;
                        for (u32 j = i + 1; j < n && !closed; j++) {
                            u32 d = zs_abs_at(value, head + j);
                            if (d == '{') depth++;
                            else if (d == '}') {
                                if (depth == 0) closed = true;
                                else depth--;
                            }
                        }
                        if (!closed) tracking = false;
                    }
                    if (tracking) {
                        open++;
                        ob = append_char(ob, '{');
                    } else {
                        ob = append_char(ob, '^');
                        ob = append_char(ob, '{');
                    }
                    break;
                }
                case '}':
                    if (open > 0) {
                        open--;
                        ob = append_char(ob, '}');
                    } else {
                        ob = append_char(ob, '^');
                        ob = append_char(ob, '}');
                    }
                    break;
                default:
                    ob = append_escaped_char(ob, c, ESC_MOLD, all);
            }
        }
        append_char(ob, '}');
    }
    return part - static_cast<i32>(n) - 2;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool,
                bool) {
    const bool pend = take_pend_path_errors();
    u32 et = TYPE_OF(element);
    if (et == TYPE_INTEGER) {
        Cell* out = stack::push_star();
        if (value) return series::poke_at(parent, int_arg(element), value, out, pend);
        return series::pick(parent, int_arg(element), out);
    }
    if (et == TYPE_WORD) return fire_or_pend(pend, "script", "invalid-path", path, element);
    if (!value) {
        Cell* out = stack::push(parent);
        return select(out, element, nullptr, false, case_, false, false, nullptr, nullptr, false, false);
    }
    Cell* found = stack::push(parent);
    find(found, element, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
    if (TYPE_OF(found) == TYPE_NONE) return fire_or_pend(pend, "script", "bad-path-set", path, element);
    return series::poke_at(found, 2, value, stack::push_star(), pend);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
    if (t1 != t2) {
        if (!any_string_q(t1) || !any_string_q(t2) || (op != COMP_EQUAL && op != COMP_NOT_EQUAL)) return -2;
    }
    return equal_q(value1, value2, op, false);
}

namespace {

// The most text bytes an insert or change may leave: buffers grow by doubling
// within the 2 GiB a single request may take.
constexpr u64 MAX_TEXT_BYTES = 0x3FFFFFFF;

// `times` copies of text's first `count` characters, in a new string on the
// stack, built by doubling. The caller has checked the size.
Cell* repeat_text(Cell* text, u32 count, u32 times) {
    Cell* out = make_push(count * times);
    concatenate(out, text, static_cast<i32>(count), 0, true, CONCAT_APPEND);
    for (u32 done = 1; done < times;) {
        u32 more = done < times - done ? done : times - done;
        Cell whole = *out;
        concatenate(out, &whole, static_cast<i32>(more * count), 0, true, CONCAT_APPEND);
        done += more;
    }
    return out;
}

}  // namespace

Cell* insert(Cell* series, Cell* value, Cell* part, bool, Cell* dup, bool append_) {
    i32 limit = -1;
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            limit = int_arg(part) < 0 ? 0 : int_arg(part);
        } else if (series::series_q(TYPE_OF(part)) && series::series_q(TYPE_OF(value)) &&
                   series_node(part) == series_node(value)) {
            // A position in the inserted value's own series (a string's or a block's).
            i64 d = i64(series_head(part)) - series_head(value);
            limit = d < 0 ? 0 : static_cast<i32>(d);
        } else {
            refine_error("part", part);
        }
    }
    i32 times = 1;
    if (dup) {
        if (TYPE_OF(dup) != TYPE_INTEGER) fire("script", "invalid-arg", dup);
        times = int_arg(dup);
        if (times < 1) return series;  // nothing to write
    }
    if (TYPE_OF(value) == TYPE_CHAR && !part && times == 1) {
        // One character at the tail, the commonest append: written in place
        // rather than formed into a scratch string first (same widening).
        u32 len = zs_abs_length_q(series);
        if (append_ || head_of(series) >= len) {
            u32 cp = value->data2;
            u32 unit = cp > 0xFFFF ? 4 : cp > 0x7F ? 2 : 1;
            if (unit_of(series) > unit) unit = unit_of(series);
            if ((u64(len) + 1) * unit > 0xFFFFFFFFu) fire("internal", "no-memory");
            const char* word = append_ ? "append" : "insert";
            series::tell(series, word, len, 1);
            append_char(series, cp);
            series::tell(series, append_ ? "appended" : "inserted", len, 1);
            series_head(series) = append_ ? 0 : zs_abs_length_q(series);
            return series;
        }
    }
    if (times == 1 && TYPE_OF(value) != TYPE_TAG && any_string_q(TYPE_OF(value)) &&
        series_node(value) != series_node(series) && unit_of(value) == 1 && unit_of(series) == 1) {
        // Narrow text onto narrow text at the tail, the commonest append:
        // copied straight in, no view of the value made nor widths weighed.
        u32 len = zs_abs_length_q(series);
        if (append_ || head_of(series) >= len) {
            u32 count = zs_length_q(value);
            if (limit >= 0 && static_cast<u32>(limit) < count) count = static_cast<u32>(limit);
            if (u64(count) + len > MAX_TEXT_BYTES) fire("internal", "no-memory");
            series::tell(series, append_ ? "append" : "insert", len, count);
            if (count) {
                SeriesBuffer* tb = reserve_tail(GET_BUFFER(series_node(series)), count);
                std::memcpy(tb->head() + len, GET_BUFFER(series_node(value))->head() + series_head(value), count);
                tb->tail += count;
            }
            series::tell(series, append_ ? "appended" : "inserted", len, count);
            series_head(series) = append_ ? 0 : len + count;
            return series;
        }
    }
    Cell text = text_of(value, limit);
    u32 count = zs_length_q(&text);
    if (limit >= 0 && static_cast<u32>(limit) < count) count = static_cast<u32>(limit);
    u32 unit = unit_of(series) > unit_of(&text) ? unit_of(series) : unit_of(&text);
    if ((u64(times) * count + zs_abs_length_q(series)) * unit > MAX_TEXT_BYTES) fire("internal", "no-memory");

    u32 len = zs_abs_length_q(series);
    u32 head = head_of(series);
    bool at_tail = append_ || head >= len;
    const char* word = append_ ? "append" : "insert";
    series::tell(series, word, at_tail ? len : head, times * count);
    // Repeats are built aside once and written in one go (which also keeps a
    // source in the same buffer from seeing the text written before it).
    Cell src = text;
    if (times > 1) src = *repeat_text(&text, count, static_cast<u32>(times));
    u32 written = times * count;
    u32 at_index = head;
    if (at_tail) {
        concatenate(series, &src, static_cast<i32>(written), 0, true, CONCAT_APPEND);
    } else {
        Cell pos = *series;
        series_head(&pos) = at_index;
        concatenate(&pos, &src, static_cast<i32>(written), 0, true, CONCAT_INSERT);
        at_index += written;
    }
    series::tell(series, append_ ? "appended" : "inserted", at_tail ? len : head, times * count);
    if (append_) series_head(series) = 0;
    else if (at_tail) series_head(series) = zs_abs_length_q(series);
    else series_head(series) = at_index;
    return series;
}

Cell* change(Cell* series, Cell* value, Cell* part, bool, Cell* dup) {
    i32 times = 1;
    if (dup) {
        if (TYPE_OF(dup) != TYPE_INTEGER) fire("script", "invalid-arg", dup);
        times = int_arg(dup);
        if (times < 0) times = 0;
    }
    u32 len = zs_abs_length_q(series);
    u32 head = head_of(series);
    if (head >= len) {
        if (times == 0) return series;
        Cell d;
        integer::make_at(&d, times);
        insert(series, value, nullptr, false, &d, true);
        series_head(series) = zs_abs_length_q(series);
        return series;
    }
    Cell text = text_of(value, -1);
    if (series_node(&text) == series_node(series)) {
        Cell* copy = make_push(zs_length_q(&text));
        concatenate(copy, &text, -1, 0, true, CONCAT_APPEND);
        text = *copy;
    }
    u32 count = zs_length_q(&text);
    u64 total = u64(times) * count;
    u32 unit = unit_of(series) > unit_of(&text) ? unit_of(series) : unit_of(&text);
    if ((total + len) * unit > MAX_TEXT_BYTES) fire("internal", "no-memory");
    if (times > 1) {
        text = *repeat_text(&text, count, static_cast<u32>(times));
        count = static_cast<u32>(total);
        times = 1;
    }
    // The range replaced: the new text's length, or the /part count.
    u64 replaced = total;
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            replaced = int_arg(part) < 0 ? 0 : static_cast<u32>(int_arg(part));
        } else if (TYPE_OF(part) == TYPE_OF(series) && series_node(part) == series_node(series)) {
            replaced = series_head(part) > head ? series_head(part) - head : 0;
        } else {
            refine_error("part", part);
        }
    }
    if (replaced > len - head) replaced = len - head;
    series::tell(series, "change", head, static_cast<u32>(total));
    if (part) {
        splice_chars(series, head, static_cast<u32>(replaced), &text, static_cast<u32>(total));
    } else {
        u32 at_index = head;
        for (i32 t = 0; t < times; t++) {
            Cell pos = *series;
            series_head(&pos) = at_index;
            concatenate(&pos, &text, -1, 0, true, CONCAT_OVERWRITE);
            at_index += count;
        }
    }
    series::tell(series, "changed", head, static_cast<u32>(total));
    u64 end = head + total;
    u32 now = zs_abs_length_q(series);
    series_head(series) = end > now ? now : static_cast<u32>(end);
    return series;
}

namespace {

// What find looks for.
struct Matcher {
    enum Kind { CHAR, BITSET, PATTERN, BYTE } kind;
    u32 cp = 0;
    Cell pattern{};  // string cell (PATTERN) or bitset cell (BITSET)
    u32 length = 1;
};

Matcher matcher_for(Cell* series, Cell* value) {
    Matcher m{};
    u32 st = TYPE_OF(series), vt = TYPE_OF(value);
    switch (vt) {
        case TYPE_CHAR:
            m.kind = Matcher::CHAR;
            m.cp = value->data2;
            return m;
        case TYPE_BITSET:
            m.kind = Matcher::BITSET;
            m.pattern = *value;
            return m;
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_EMAIL: case TYPE_REF:
            m.kind = Matcher::PATTERN;
            m.pattern = *value;
            break;
        case TYPE_BINARY:
            if (st != TYPE_BINARY) fire("script", "invalid-arg", value);
            m.kind = Matcher::PATTERN;
            m.pattern = *value;
            break;
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            if (vt == TYPE_WORD) {
                m.kind = Matcher::PATTERN;
                symbol_as_string(symbol::get(static_cast<i32>(value->data2)), &m.pattern);
                break;
            }
            [[fallthrough]];
        default:
            if (vt == TYPE_INTEGER && st == TYPE_BINARY) {
                m.kind = Matcher::BYTE;
                m.cp = value->data2;
                return m;
            }
            m.kind = Matcher::PATTERN;
            m.pattern = *make_push(16);
            form_into(value, &m.pattern);
    }
    m.length = zs_length_q(&m.pattern);
    return m;
}

// Does the matcher match at absolute position pos (pattern: starting there)?
bool match_at(Cell* series, const Matcher& m, u32 pos, bool fold_case) {
    SeriesBuffer* b = GET_BUFFER(series_node(series));
    u32 unit = b->unit();
    const u8* base = b->head();
    switch (m.kind) {
        case Matcher::CHAR: {
            u32 c = get_char(base + pos * unit, unit);
            return fold_case ? fold(c) == fold(m.cp) : c == m.cp;
        }
        case Matcher::BYTE:
            return get_char(base + pos * unit, unit) == m.cp;
        case Matcher::BITSET: {
            Cell probe = *series;
            series_head(&probe) = pos;
            Cell bits = m.pattern;
            return match_bitset_q(&probe, &bits);
        }
        default: {
            SeriesBuffer* pb = GET_BUFFER(series_node(&m.pattern));
            u32 pu = pb->unit();
            const u8* pp = pb->head() + series_head(&m.pattern) * pu;
            for (u32 i = 0; i < m.length; i++) {
                u32 a = get_char(base + (pos + i) * unit, unit);
                u32 c = get_char(pp + i * pu, pu);
                if (fold_case ? fold(a) != fold(c) : a != c) return false;
            }
            return true;
        }
    }
}

// The forward search of a character or a text in a one-byte text, the
// commonest: a tight loop over the bytes for the first character, then the
// rest compared. Answers the position, -1 when none, or NOT_NARROW for the
// other cases (wider texts, bitsets), which match_at serves.
constexpr i64 NOT_NARROW = -2;
i64 scan_narrow(Cell* series, const Matcher& m, u32 from, i64 end, bool fold_case) {
    SeriesBuffer* b = GET_BUFFER(series_node(series));
    if (b->unit() != 1) return NOT_NARROW;
    const u8* p;
    u32 n;
    u8 one;
    if (m.kind == Matcher::CHAR) {
        if (m.cp > 0xFF) return NOT_NARROW;
        one = static_cast<u8>(m.cp);
        p = &one;
        n = 1;
    } else if (m.kind == Matcher::PATTERN) {
        SeriesBuffer* pb = GET_BUFFER(series_node(&m.pattern));
        if (pb->unit() != 1) return NOT_NARROW;
        p = pb->head() + series_head(&m.pattern);
        n = m.length;
    } else {
        return NOT_NARROW;
    }
    return find_narrow(b->head(), from, end, p, n, fold_case);
}

}  // namespace

namespace {

// fold_narrow of every byte, read by the searches' inner loops.
const u16* narrow_folds() {
    static const std::array<u16, 256> table = [] {
        std::array<u16, 256> t{};
        for (u32 c = 0; c < 256; c++) t[c] = static_cast<u16>(fold_narrow(c));
        return t;
    }();
    return table.data();
}

// Whether no byte but the two cases of the ASCII letter `lower` folds as
// it does: the letter search below then need look only at those two. Asked
// of each letter, as a byte above 127 may fold as one (0xDF as S) and leave
// the others apart.
bool letter_apart(u32 lower) {
    static const u32 apart = [] {
        const u16* f = narrow_folds();
        u32 mask = (1u << 26) - 1;
        for (u32 c = 0; c < 256; c++)
            if (u32((c | 0x20) - 'a') >= 26 && u32(f[c] - 'A') < 26) mask &= ~(1u << (f[c] - 'A'));
        return mask;
    }();
    return apart >> (lower - 'a') & 1;
}

}  // namespace

i64 find_narrow(const u8* t, u32 from, i64 end, const u8* p, u32 n, bool fold_case) {
    u32 first = p[0];
    const i64 last = end - n;
    // A first character that folds as itself only (no letter) is found by memchr.
    if (!fold_case || (first < 0x80 && u32((first | 0x20) - 'a') >= 26)) {
        for (i64 pos = from; pos <= last; pos++) {
            const void* hit = std::memchr(t + pos, static_cast<int>(first), static_cast<size_t>(last + 1 - pos));
            if (!hit) return -1;
            pos = static_cast<const u8*>(hit) - t;
            u32 i = 1;
            if (fold_case) {
                const u16* f = narrow_folds();
                while (i < n && f[t[pos + i]] == f[p[i]]) i++;
            } else {
                while (i < n && t[pos + i] == p[i]) i++;
            }
            if (i == n) return pos;
        }
        return -1;
    }
    const u16* f = narrow_folds();
    const u16 folded = f[first];
    i64 pos = from;
    if (first < 0x80 && letter_apart(first | 0x20)) {
        // An ASCII letter: only its two cases fold as it does, so eight
        // bytes at a time are looked at with the case bit set, and a byte
        // that then equals the lower case letter is a place to compare.
        const u64 ones = 0x0101010101010101ull, letter = ones * (first | 0x20);
        while (pos + 8 <= last + 1) {
            u64 w;
            std::memcpy(&w, t + pos, 8);
            u64 x = (w | (ones * 0x20)) ^ letter;
            u64 zero = (x - ones) & ~x & (ones * 0x80);
            if (!zero) {
                pos += 8;
                continue;
            }
            pos += __builtin_ctzll(zero) >> 3;
            u32 i = 1;
            while (i < n && f[t[pos + i]] == f[p[i]]) i++;
            if (i == n) return pos;
            pos++;
        }
    }
    for (; pos <= last; pos++) {
        if (f[t[pos]] != folded) continue;
        u32 i = 1;
        while (i < n && f[t[pos + i]] == f[p[i]]) i++;
        if (i == n) return pos;
    }
    return -1;
}

u32 count_byte(const u8* from, const u8* end, u8 byte) {
    // A byte equal to `byte` is a zero byte of the word xor'ed with it; its
    // high bit, moved to the bottom of its lane, is added into eight lane
    // counters, summed before any lane could pass 255. The eight lanes are
    // summed in 16-bit lanes: their total may pass 255.
    const u64 ones = 0x0101010101010101ull, low7 = ones * 0x7F, pattern = ones * byte;
    const u64 even = 0x00FF00FF00FF00FFull, wide_ones = 0x0001000100010001ull;
    u32 count = 0;
    while (end - from >= 8) {
        u64 lanes = 0;
        for (u32 round = 0; round < 255 && end - from >= 8; round++, from += 8) {
            u64 w;
            std::memcpy(&w, from, 8);
            const u64 x = w ^ pattern;
            lanes += (~(((x & low7) + low7) | x) >> 7) & ones;
        }
        const u64 pairs = (lanes & even) + (lanes >> 8 & even);
        count += static_cast<u32>((pairs * wide_ones) >> 48);
    }
    for (; from < end; from++) count += *from == byte;
    return count;
}

Cell* find(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    if (!part && !skip && !last && !reverse && !match && !any && !with && TYPE_OF(value) == TYPE_STRING) {
        // The commonest search, one-byte text for one-byte text forward:
        // straight to the byte search, none of the options weighed.
        SeriesBuffer* b = GET_BUFFER(series_node(series));
        SeriesBuffer* pb = GET_BUFFER(series_node(value));
        if (b->unit() == 1 && pb->unit() == 1) {
            u32 len = b->used_bytes(), head = series_head(series);
            u32 plen = pb->used_bytes(), phead = series_head(value);
            if (head >= len || phead >= plen) return make_none(series);  // an empty text is never found
            i64 found = find_narrow(b->head(), head, len, pb->head() + phead, plen - phead,
                                    any_string_q(TYPE_OF(series)) && !case_ && !same);
            if (found < 0) return make_none(series);
            series_head(series) = static_cast<u32>(tail ? found + (plen - phead) : found);
            return series;
        }
    }
    u32 len = zs_abs_length_q(series);
    u32 head = series_head(series);
    if (len == 0 || (head >= len && !reverse)) return make_none(series);
    if (head > len) head = len;
    if (any || with) fire("internal", "not-done");
    u32 step = 1;
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) fire("script", "invalid-arg", skip);
        if (int_arg(skip) < 1) fire("script", "out-of-range", skip);
        step = static_cast<u32>(int_arg(skip));
    }
    i64 count = -1;
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) count = int_arg(part);
        else if (TYPE_OF(part) == TYPE_OF(series) && series_node(part) == series_node(series))
            count = i64(series_head(part)) - head;
        else refine_error("part", part);
        if (count < 1) return make_none(series);
    }
    bool fold_case = any_string_q(TYPE_OF(series)) && !case_ && !same;
    Matcher m = matcher_for(series, value);
    if (m.kind == Matcher::PATTERN && m.length == 0) return make_none(series);  // an empty text is never found
    u32 plen = m.kind == Matcher::PATTERN ? m.length : 1;

    i64 found = -1;
    if (!last && !reverse) {
        i64 end = count < 0 ? len : std::min<i64>(len, head + count);
        if (step == 1 && !match && (found = scan_narrow(series, m, head, end, fold_case)) != NOT_NARROW) {
            if (found < 0) return make_none(series);
            series_head(series) = static_cast<u32>(tail ? found + plen : found);
            return series;
        }
        found = -1;
        for (i64 pos = head; pos + plen <= end; pos += step) {
            if (match_at(series, m, static_cast<u32>(pos), fold_case)) {
                found = pos;
                break;
            }
            if (match) break;
        }
    } else {
        if (reverse && match) return make_none(series);
        i64 lower, start;
        if (last) {
            lower = head;
            start = (count < 0 ? len : std::min<i64>(len, head + count)) - 1;
        } else {
            lower = count < 0 ? 0 : std::max<i64>(0, i64(head) - count);
            start = i64(head) - 1;
        }
        if (start < lower) return make_none(series);
        // Candidates are where a match would end.
        for (i64 c = start; c >= lower; c -= step) {
            i64 pos = c - (plen - 1);
            if (pos >= lower && match_at(series, m, static_cast<u32>(pos), fold_case)) {
                found = pos;
                break;
            }
            if (match) break;
        }
    }
    if (found < 0) return make_none(series);
    series_head(series) = static_cast<u32>(tail ? found + plen : found);
    return series;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse) {
    u32 plen = 1;
    u32 vt = TYPE_OF(value);
    if (any_string_q(vt) && vt != TYPE_TAG) plen = zs_length_q(value);
    else if (vt == TYPE_WORD) plen = zs_length_q(symbol::get(static_cast<i32>(value->data2)));
    else if (vt == TYPE_BINARY) plen = GET_BUFFER(series_node(value))->length() - series_head(value);
    find(series, value, part, only, case_, same, any, with, skip, last, reverse, false, false);
    if (TYPE_OF(series) == TYPE_NONE) return series;
    u32 pos = series_head(series) + plen;
    SeriesBuffer* b = GET_BUFFER(series_node(series));
    if (pos >= b->length()) return make_none(series);
    u32 c = get_char(b->head() + pos * b->unit(), b->unit());
    if (TYPE_OF(series) == TYPE_BINARY) return integer::make_at(series, static_cast<i32>(c));
    return make_cell(series, TYPE_CHAR, 0, c);
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable) {
    u32 head = head_of(series);
    u32 len = zs_abs_length_q(series) - head;
    // Its argument errors are raised pending: the sort action returns at once.
    if (part) {
        i64 n;
        if (TYPE_OF(part) == TYPE_INTEGER) n = int_arg(part);
        else if (TYPE_OF(part) == TYPE_OF(series) && series_node(part) == series_node(series))
            n = i64(series_head(part)) - head;
        else return series::refine_arg_error("part", part, true);
        if (n < 0) {
            i64 from = std::max<i64>(0, i64(head) + n);
            len = head - static_cast<u32>(from);
            head = static_cast<u32>(from);
            series_head(series) = head;
        } else if (n < len) {
            len = static_cast<u32>(n);
        }
    }
    u32 size = 1;
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) return fire_or_pend(true, "script", "invalid-arg", skip);
        i32 s = int_arg(skip);
        if (s < 1 || len % static_cast<u32>(s) != 0 || len < static_cast<u32>(s)) return series::refine_arg_error("skip", skip, true);
        size = static_cast<u32>(s);
    } else if (all) {
        fire("script", "bad-refines");
    }
    u32 count = len / size;
    if (count < 2) return series;
    u32 unit = unit_of(series);
    sort::Comparator cmp = unit == 1 ? sort_cmp_1 : unit == 2 ? sort_cmp_2 : sort_cmp_4;
    uintptr_t ctx1 = case_ ? 1 : 0;
    uintptr_t flags = reverse ? SORT_REVERSE : 0;
    if (comparator) {
        u32 ct = TYPE_OF(comparator);
        if (ct == TYPE_FUNCTION) {
            function::check_callback(comparator, 2, "compare");
            cmp = sort_cmp_call;
            flags |= unit << 2;
            if (all && skip) flags |= SORT_ALL | (uintptr_t(size) << 5);
        } else if (ct == TYPE_INTEGER) {
            if (!skip || all) fire("script", "bad-refines");
            i32 offset = int_arg(comparator);
            if (offset < 1 || static_cast<u32>(offset) > size) fire("script", "out-of-range", comparator);
            flags |= uintptr_t(offset - 1) << 2;
        } else {
            refine_error("compare", comparator);
        }
    } else if (all && skip) {
        flags |= SORT_ALL | (uintptr_t(size) << 2);
    }
    series::tell(series, "sort", head, len);
    if (cmp == sort_cmp_call) {
        // The comparison function may allocate (moving the buffer) or change
        // the string: sort a private copy; a string changed under its own
        // sort is an error that leaves it as the comparator made it.
        collector::GuardedCell args;
        block::make_at(&args.value, 2);
        Cell none{TYPE_NONE, 0, 0, 0};
        block::zs_append(&args.value, &none);
        block::zs_append(&args.value, &none);
        SortCall call{comparator, &args.value};
        const u8* from = GET_BUFFER(series_node(series))->head() + u64(head) * unit;
        std::vector<u8> tmp(from, from + u64(len) * unit);
        const std::vector<u8> before = tmp;
        u32 total = GET_BUFFER(series_node(series))->length();
        uintptr_t ctx = reinterpret_cast<uintptr_t>(&call);
        if (stable) sort::mergesort(tmp.data(), count, size * unit, ctx, flags, cmp);
        else sort::qsort(tmp.data(), count, size * unit, ctx, flags, cmp);
        SeriesBuffer* buf = GET_BUFFER(series_node(series));
        if (buf->unit() != unit || buf->length() != total ||
            std::memcmp(buf->head() + u64(head) * unit, before.data(), before.size()))
            fire("script", "protected");
        std::memcpy(buf->head() + u64(head) * unit, tmp.data(), tmp.size());
    } else {
        u8* base = GET_BUFFER(series_node(series))->head() + u64(head) * unit;
        if (stable && !case_) sort::mergesort(base, count, size * unit, ctx1, flags, cmp);
        else sort::qsort(base, count, size * unit, ctx1, flags, cmp);
    }
    series::tell(series, "sorted", head, len);
    return series;
}

Cell* swap(Cell* series1, Cell* series2) {
    u32 t2 = TYPE_OF(series2);
    if (!any_string_q(t2) && t2 != TYPE_BINARY) fire("script", "invalid-arg", series2);
    if (zs_tail_q(series1) || zs_tail_q(series2)) return series1;
    u32 h1 = head_of(series1), h2 = head_of(series2);
    u32 c1 = zs_abs_at(series1, h1), c2 = zs_abs_at(series2, h2);
    series::tell(series1, "swap", h1, 1);
    series::tell(series2, "swap", h2, 1);
    SeriesBuffer* b1 = GET_BUFFER(series_node(series1));
    poke_char(b1, b1->head() + h1 * b1->unit(), c2);
    SeriesBuffer* b2 = GET_BUFFER(series_node(series2));
    if (t2 == TYPE_BINARY) b2->head()[h2] = static_cast<u8>(c1);
    else poke_char(b2, b2->head() + h2 * b2->unit(), c1);
    series::tell(series1, "swaped", h1, 1);
    series::tell(series2, "swaped", h2, 1);
    return series1;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) { return series::take(series, part, deep, last); }

Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    u32 from = head_of(series);
    node_t node = series_node(series);
    std::vector<u32> text;
    {
        // Sized once: growing it character by character reallocated it at
        // every power of two.
        SeriesBuffer* b = GET_BUFFER(node);
        u32 unit = b->unit(), n = b->length();
        text.resize(n > from ? n - from : 0);
        for (u32 i = from; i < n; i++) text[i - from] = get_char(b->head() + i * unit, unit);
    }
    std::vector<u32> out;
    out.reserve(text.size());
    if (all || with) {
        std::vector<u32> set;
        if (!with) {
            set = {'\t', '\n', '\r', ' '};
        } else {
            u32 wt = TYPE_OF(with);
            if (any_string_q(wt)) {
                for (u32 i = series_head(with), n = zs_abs_length_q(with); i < n; i++) set.push_back(zs_abs_at(with, i));
            } else if (wt == TYPE_BINARY) {
                SeriesBuffer* wb = GET_BUFFER(series_node(with));
                for (u32 i = series_head(with), n = wb->length(); i < n; i++) set.push_back(wb->head()[i]);
            } else if (wt == TYPE_CHAR || wt == TYPE_INTEGER) {
                set.push_back(with->data2);
            } else {
                fire("script", "invalid-arg", with);
            }
        }
        for (u32 c : text)
            if (std::find(set.begin(), set.end(), c) == set.end()) out.push_back(c);
    } else if (auto_) {
        fire("internal", "not-done");
    } else if (lines) {
        bool pending = false;
        for (u32 c : text) {
            if (whitespace_q(c)) {
                pending = !out.empty();
            } else {
                if (pending) out.push_back(' ');
                pending = false;
                out.push_back(c);
            }
        }
    } else {
        // Both /head and /tail given trims both ends, as neither alone would.
        bool cut_head = !tail || head;
        bool cut_tail = !head || tail;
        size_t b = 0, e = text.size();
        if (cut_head)
            while (b < e && whitespace_q(text[b])) b++;
        bool newline = false;
        if (cut_tail)
            while (e > b && whitespace_q(text[e - 1])) {
                if (text[e - 1] == '\n') newline = true;
                e--;
            }
        if (!head && !tail) {
            // Clean each line: no horizontal blanks after or before a line feed.
            for (size_t i = b; i < e; i++) {
                u32 c = text[i];
                if (c == '\n') {
                    while (!out.empty() && horizontal_q(out.back())) out.pop_back();
                    out.push_back(c);
                    while (i + 1 < e && horizontal_q(text[i + 1])) i++;
                } else {
                    out.push_back(c);
                }
            }
        } else {
            out.assign(text.begin() + static_cast<std::ptrdiff_t>(b), text.begin() + static_cast<std::ptrdiff_t>(e));
        }
        if (!tail && newline) out.push_back('\n');
    }
    series::tell(series, "trim", from, static_cast<u32>(text.size()));
    // Write back: the characters only ever get fewer, so they fit in place.
    SeriesBuffer* b = GET_BUFFER(node);
    u32 unit = b->unit();
    u8* p = b->head() + u64(from) * unit;
    for (size_t i = 0; i < out.size(); i++) put_char(p + i * unit, unit, out[i]);
    b->tail = off_of(p) + static_cast<u32>(out.size()) * unit;
    series::tell(series, "trimmed", from, static_cast<u32>(out.size()));
    return series;
}

Cell* do_set_op(i32 op, Cell* set1, Cell* set2, bool case_, Cell* skip) {
    u32 step = 1;
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER || int_arg(skip) < 1) refine_error("skip", skip);
        step = static_cast<u32>(int_arg(skip));
    }
    Cell* result = make_push(zs_length_q(set1));
    set_type(result, TYPE_OF(set1));
    auto walk = [&](Cell* set, Cell* other, bool want_in, bool check) {
        Cell s = *set;
        u32 from = head_of(&s);
        u32 len = zs_abs_length_q(&s);
        for (u32 i = from; i < len; i += step) {
            u32 c = zs_abs_at(&s, i);
            if (find_char_case(result, c, step, case_)) continue;
            if (check && other) {
                Cell o = *other;
                if (find_char_case(&o, c, step, case_) != want_in) continue;
            }
            for (u32 k = 0; k < step && i + k < len; k++) append_char(result, zs_abs_at(&s, i + k));
        }
    };
    switch (op) {
        case SET_UNIQUE: walk(set1, nullptr, false, false); break;
        case SET_UNION: walk(set1, nullptr, false, false); walk(set2, nullptr, false, false); break;
        case SET_INTERSECT: walk(set1, set2, true, true); break;
        case SET_EXCLUDE: walk(set1, set2, false, true); break;
        case SET_DIFFERENCE: walk(set1, set2, false, true); walk(set2, set1, false, true); break;
        default: fire("internal", "not-done");
    }
    return result;
}

void init() {
    datatype::register_type(TYPE_STRING, TYPE_SERIES_ID, "string!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), own<ACT_TO>(to), own<ACT_FORM>(form),
        own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_APPEND>(insert),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), own<ACT_CHANGE>(change), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(),
        own<ACT_FIND>(find), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        own<ACT_INSERT>(insert), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        own<ACT_SELECT>(select), own<ACT_SORT>(sort), inherit<ACT_SKIP>(), own<ACT_SWAP>(swap), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), own<ACT_TAKE>(take), own<ACT_TRIM>(trim), inherit<ACT_MODIFY>(),
    });
}

Cell* change_case(Cell* value, const Cell* part, int upper) {
    if (TYPE_OF(value) == TYPE_CHAR) {
        value->data2 = case_folding::change_char(value->data2, upper);
        return value;
    }
    node_t node = series_node(value);
    SeriesBuffer* b = GET_BUFFER(node);
    u32 unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    u32 len = b->length();
    if (series_head(value) > len) series_head(value) = len;
    u32 head = series_head(value);
    u32 n = len - head;
    if (part && TYPE_OF(part) != TYPE_NONE) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            i32 limit = static_cast<i32>(part->data2);
            if (limit < 0) limit = 0;
            if (static_cast<u32>(limit) < n) n = static_cast<u32>(limit);
        } else if (TYPE_OF(part) == TYPE_OF(value) && string::any_string_q(TYPE_OF(part)) && series_node(part) == node) {
            u32 end = series_head(part) > len ? len : series_head(part);
            n = end > head ? end - head : 0;
        } else {
            Cell word;
            fire("script", "invalid-refine-arg", series::word_arg(&word, "part"), part);
        }
    }
    u32 i = head;
    if (unit == 1) {
        // One-byte text in place, ASCII without the tables, until a code
        // point needs a wider buffer.
        u8* p = b->head();
        // Eight ASCII bytes at a time: the high bit of each byte's sum with
        // the distance from the first letter to 0x80 tells it is at least
        // that letter, the same with the last letter's tells it is past it;
        // a letter's case bit (0x20) is then flipped.
        const u64 ones = 0x0101010101010101ull, high = ones * 0x80;
        const u64 from = ones * (0x80 - (upper ? 'a' : 'A')), past = ones * (0x80 - (upper ? 'z' : 'Z') - 1);
        for (u64 w; head + n - i >= 8 && (std::memcpy(&w, p + i, 8), !(w & high)); i += 8) {
            w ^= (((w + from) & ~(w + past)) & high) >> 2;
            std::memcpy(p + i, &w, 8);
        }
        for (; i < head + n; i++) {
            u32 cp = p[i], to;
            if (cp < 0x80) to = upper ? (cp - 'a' < 26 ? cp - 32 : cp) : (cp - 'A' < 26 ? cp + 32 : cp);
            else if ((to = case_folding::change_char(cp, upper)) > 0xFF) break;
            p[i] = static_cast<u8>(to);
        }
    }
    for (; i < head + n; i++) {
        b = GET_BUFFER(node);
        u8* p = b->head() + i * b->unit();
        u32 cp = string::get_char(p, b->unit());
        u32 to = case_folding::change_char(cp, upper);
        if (to != cp) string::poke_char(b, p, to);  // widens a buffer that cannot hold the new code point
    }
    // Only an owned buffer has an owner to tell (its flag says so without the table).
    if (GET_BUFFER(node)->flags & SERIES_OWNED)
        ownership::check(value, upper ? words::uppercase : words::lowercase, nullptr, static_cast<i32>(head),
                         static_cast<i32>(n));
    return value;
}

}  // namespace zav::string
