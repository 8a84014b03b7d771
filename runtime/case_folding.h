// Case folding: code point to upper or lower case through two direct BMP
// tables and two short sorted lists for the code points above 0xFFFF.
#pragma once
#include "runtime/common.h"

namespace zav::case_folding {

struct CasePair {
    u32 from;
    u32 to;
};

// The generated pair lists (runtime/case_tables.cpp), each sorted by code point.
extern const CasePair upper_bmp[];
extern const u32 upper_bmp_count;
extern const CasePair upper_astral[];
extern const u32 upper_astral_count;
extern const CasePair lower_bmp[];
extern const u32 lower_bmp_count;
extern const CasePair lower_astral[];
extern const u32 lower_astral_count;

// Fills the two BMP tables. Called once at start-up; calling again is harmless.
void init();

// The mapped code point (upper: 1 upper case, 0 lower case); unchanged when it has no mapping.
u32 change_char(u32 cp, int upper);
u32 to_upper(u32 cp);
// ASCII inline (hashing and comparing keys folds every character); the
// tables give the same there.
inline u32 to_lower(u32 cp) { return cp < 0x80 ? (cp - 'A' < 26u ? cp + 32 : cp) : change_char(cp, 0); }
// The upper case when it differs from the code point, else the lower case.
u32 swap_char(u32 cp);

}  // namespace zav::case_folding
