// Case folding: direct tables for the BMP, sorted pair lists above it.
#include "runtime/case_folding.h"

#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/helpers.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/rt.h"
#include "runtime/words.h"

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
        } else if (TYPE_OF(part) == TYPE_OF(value) && string::any_string_q(TYPE_OF(part)) && series_node(part) == node) {
            u32 end = series_head(part) > len ? len : series_head(part);
            n = end > head ? end - head : 0;
        } else {
            Cell word;
            fire("script", "invalid-refine-arg", series::word_arg(&word, "part"), part);
        }
    }
    for (u32 i = head; i < head + n; i++) {
        b = GET_BUFFER(node);
        u8* p = b->head() + i * b->unit();
        u32 cp = string::get_char(p, b->unit());
        u32 to = change_char(cp, upper);
        if (to != cp) string::poke_char(b, p, to);  // widens a buffer that cannot hold the new code point
    }
    ownership::check(value, upper ? words::uppercase : words::lowercase, nullptr, static_cast<i32>(head),
                     static_cast<i32>(n));
    return value;
}

}  // namespace zav::case_folding
