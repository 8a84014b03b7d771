// string! values: cells, buffer access and the character edits that widen.
#include "datatypes/string.h"

#include "runtime/helpers.h"

#include <cstdio>

#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::string {

namespace {

Cell* make_string(Cell* cell, u32 capacity, u32 unit) {
    make_cell(cell, TYPE_UNSET);  // not a string until its buffer exists
    node_t node = alloc_codepoints(capacity ? capacity : 1, unit);
    return make_cell(cell, TYPE_STRING, 0, node, 0);
}

}  // namespace

u32 buffer_unit(const SeriesBuffer* buf) {
    u32 unit = GET_UNIT(buf);
    if (unit != 1 && unit != 2 && unit != 4) rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    return unit;
}

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

Cell* zs_make_at(Cell* cell, u32 n) { return make_string(cell, n, 1); }

Cell* make_fixed_at(Cell* cell, u32 capacity, u32 unit) { return make_string(cell, capacity, unit); }

Cell* load_at(const u8* src, u32 size, Cell* target, i32 encoding) {
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
    u32 wider = 0;
    if (unit == 1 && cp > 0xFF) wider = cp > 0xFFFF ? 4 : 2;
    else if (unit == 2 && cp > 0xFFFF) wider = 4;
    if (wider) {
        u32 index = static_cast<u32>(p - buf->head()) / unit;
        buf = widen_to(buf, wider);
        unit = wider;
        p = buf->head() + index * unit;
    }
    put_char(p, unit, cp);
    return buf;
}

void concatenate_literal(Cell* target, const char* text) {
    concatenate_literal_part(target, text, static_cast<u32>(std::strlen(text)));
}

void concatenate_literal_part(Cell* target, const char* text, u32 n) {
    SeriesBuffer* buf = GET_BUFFER(series_node(target));
    for (u32 i = 0; i < n; i++) buf = append_char(buf, static_cast<u8>(text[i]));
}

}  // namespace zav::string
