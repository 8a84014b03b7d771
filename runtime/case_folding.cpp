// Case folding: direct tables for the BMP, sorted pair lists above it.
#include "runtime/case_folding.h"

#include "runtime/helpers.h"
#include "runtime/memory.h"
#include "runtime/rt.h"

namespace zav::case_folding {

namespace {

// 0 = unchanged. 256 KB each, filled once.
u32 upper_table[0x10000];
u32 lower_table[0x10000];
bool filled = false;

u32 astral(const CasePair* list, u32 count, u32 cp) {
    if (count == 0 || cp < list[0].from || cp > list[count - 1].from) return cp;
    for (u32 i = 0; i < count; i++) {
        if (list[i].from == cp) return list[i].to;
        if (list[i].from > cp) break;
    }
    return cp;
}

u32 read_cp(const u8* p, u32 unit) {
    switch (unit) {
        case 1: return *p;
        case 2: { u16 v; std::memcpy(&v, p, 2); return v; }
        default: { u32 v; std::memcpy(&v, p, 4); return v; }
    }
}

void write_cp(u8* p, u32 unit, u32 cp) {
    switch (unit) {
        case 1: *p = static_cast<u8>(cp); break;
        case 2: { u16 v = static_cast<u16>(cp); std::memcpy(p, &v, 2); break; }
        default: std::memcpy(p, &cp, 4); break;
    }
}

// Re-encodes a whole string buffer with a wider unit under the same node.
SeriesBuffer* widen(node_t node, u32 unit) {
    SeriesBuffer* old = GET_BUFFER(node);
    u32 len = old->length();
    SeriesBuffer* fresh = alloc_series_buffer(len ? len : 1, unit, 0);
    old = GET_BUFFER(node);
    u32 old_unit = old->unit();
    fresh->flags = (old->flags & ~(SERIES_UNIT_MASK | SERIES_BIG | SERIES_FIXED | SERIES_MARK | SERIES_SHIFTED)) |
                   (fresh->flags & SERIES_BIG) | unit;
    for (u32 i = 0; i < len; i++) write_cp(fresh->head() + i * unit, unit, read_cp(old->head() + i * old_unit, old_unit));
    fresh->tail = fresh->offset + len * unit;
    fresh->node = node;
    *at<off32>(node) = off_of(fresh);
    old->node = 0;
    old->flags &= ~SERIES_USED;
    return fresh;
}

// Stores a code point at index i of the buffer, widening it as a positional
// store does: unit 1 holds up to 255, unit 2 up to 0xFFFF.
void store(node_t node, u32 i, u32 cp) {
    SeriesBuffer* b = GET_BUFFER(node);
    u32 unit = b->unit();
    u32 need = cp > 0xFFFF ? 4 : cp > 0xFF ? 2 : 1;
    if (need > unit) b = widen(node, unit = need);
    write_cp(b->head() + i * unit, unit, cp);
}

bool is_stringlike(u32 type) {
    return type == TYPE_STRING || type == TYPE_FILE || type == TYPE_URL || type == TYPE_TAG ||
           type == TYPE_EMAIL || type == TYPE_REF;
}

}  // namespace

void init() {
    std::memset(upper_table, 0, sizeof upper_table);
    std::memset(lower_table, 0, sizeof lower_table);
    for (u32 i = 0; i < upper_bmp_count; i++) upper_table[upper_bmp[i].from] = upper_bmp[i].to;
    for (u32 i = 0; i < lower_bmp_count; i++) lower_table[lower_bmp[i].from] = lower_bmp[i].to;
    filled = true;
}

u32 change_char(u32 cp, int upper) {
    if (cp <= 0xFFFF) {
        if (!filled) init();
        u32 to = upper ? upper_table[cp] : lower_table[cp];
        return to ? to : cp;
    }
    return upper ? astral(upper_astral, upper_astral_count, cp) : astral(lower_astral, lower_astral_count, cp);
}

u32 to_upper(u32 cp) {
    if (cp <= 0xFFFF) {
        if (!filled) init();
        u32 to = upper_table[cp];
        return to ? to : cp;
    }
    return change_char(cp, 1);
}

u32 swap_char(u32 cp) {
    u32 up = to_upper(cp);
    return up != cp ? up : change_char(cp, 0);
}

Cell* change_string(Cell* value, const Cell* part, int upper) {
    if (TYPE_OF(value) == TYPE_CHAR) {
        value->data2 = change_char(value->data2, upper);
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
        } else if (TYPE_OF(part) == TYPE_OF(value) && is_stringlike(TYPE_OF(part)) && series_node(part) == node) {
            u32 end = series_head(part) > len ? len : series_head(part);
            n = end > head ? end - head : 0;
        } else {
            fire("script", "invalid-refine-arg", nullptr, part);
        }
    }
    for (u32 i = head; i < head + n; i++) {
        b = GET_BUFFER(node);
        u32 cp = read_cp(b->head() + i * b->unit(), b->unit());
        u32 to = change_char(cp, upper);
        if (to != cp) store(node, i, to);
    }
    return value;
}

}  // namespace zav::case_folding
