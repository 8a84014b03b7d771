// Case folding: direct tables for the BMP, sorted pair lists above it.
#include "runtime/case_folding.h"

namespace zav::case_folding {

namespace {

// 0 = unchanged. 256 KB each, zero from the start and filled once: they
// never change after, so a later start-up finds them ready.
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
    if (filled) return;
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

}  // namespace zav::case_folding
