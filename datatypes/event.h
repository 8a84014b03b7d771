// event! values: what the View engine hands to actors, event handlers and
// `system/view/awake`. One cell: the type code in data1, the source in data2,
// the flag bits in data3.
//
// A made event (header flag MADE) carries its own values: data2 is the node
// of a four-cell block [face window offset picked], or 0, and the low 16 flag
// bits hold the key's code point. A back-end event names a record of the
// back-end by a serial number in data2; its face, window, offset, key and
// picked are asked of the back-end, which answers only while that record's
// dispatch runs: afterwards they read as none, never as freed data.
#pragma once
#include "runtime/cell.h"

namespace zav::event {

constexpr u32 MADE = 0x1000;

enum Flag : u32 {
    SPECIAL_KEY = 0x00000001,  // back-end events: the key is a special key word
    AUX_DOWN = 0x00400000,
    ALT_DOWN = 0x00800000,
    MID_DOWN = 0x01000000,
    DOWN = 0x02000000,
    AWAY = 0x04000000,
    CONTROL = 0x10000000,
    SHIFT = 0x20000000,
    ALT = 0x40000000,
    COMMAND = 0x80000000,
};

// Field numbers, as `pick` takes them.
enum Field : i32 {
    F_TYPE = 1, F_FACE, F_WINDOW, F_OFFSET, F_KEY, F_PICKED, F_FLAGS, F_AWAY_Q, F_DOWN_Q, F_MID_DOWN_Q,
    F_ALT_DOWN_Q, F_AUX_DOWN_Q, F_CTRL_Q, F_SHIFT_Q, F_ORIENTATION,
    FIELD_COUNT = F_ORIENTATION,
};

// The highest type code (1 `down` .. 38 `restore`).
constexpr u32 TYPE_CODE_COUNT = 38;

// The back-end's reader: fills `out` with field F_FACE, F_WINDOW, F_OFFSET,
// F_KEY or F_PICKED of its live record `serial` and answers true, or answers
// false when that record's dispatch has ended.
using ReadField = bool (*)(u32 serial, i32 field, Cell* out);
void set_backend(ReadField read);

// A back-end event over record `serial`.
Cell* make_backend(Cell* out, u32 type_code, u32 serial, u32 flags);
// Copies an event onto the value stack.
Cell* push(const Cell* event);

// Type word symbol <-> type code (0: none / unknown), case-insensitively.
u32 type_code(i32 symbol);
i32 type_symbol(u32 code);
// The flag bit of a flag word, 0 for any other word.
u32 flag_bit(i32 symbol);
// 1..15 for a field word, -1 for any other.
i32 field_index(i32 symbol);
// Field N of an event into `out`.
Cell* get_field(const Cell* event, i32 field, Cell* out);

void init();

}  // namespace zav::event
