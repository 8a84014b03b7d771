// The 16-byte value cell, datatype ids and the typed views of the payload.
#pragma once
#include "runtime/common.h"

namespace zav {

enum TypeId : u32 {
    TYPE_NONE_ID = 0,  // no datatype
    TYPE_DATATYPE = 1,
    TYPE_UNSET = 2,
    TYPE_NONE = 3,
    TYPE_LOGIC = 4,
    TYPE_BLOCK = 5,
    TYPE_PAREN = 6,
    TYPE_STRING = 7,
    TYPE_FILE = 8,
    TYPE_URL = 9,
    TYPE_CHAR = 10,
    TYPE_INTEGER = 11,
    TYPE_FLOAT = 12,
    TYPE_SYMBOL_ID = 13,  // symbol! has no public constant; ids kept for the registry
    TYPE_CONTEXT_ID = 14,
    TYPE_WORD = 15,
    TYPE_SET_WORD = 16,
    TYPE_LIT_WORD = 17,
    TYPE_GET_WORD = 18,
    TYPE_REFINEMENT = 19,
    TYPE_ISSUE = 20,
    TYPE_NATIVE = 21,
    TYPE_ACTION = 22,
    TYPE_OP = 23,
    TYPE_FUNCTION = 24,
    TYPE_PATH = 25,
    TYPE_LIT_PATH = 26,
    TYPE_SET_PATH = 27,
    TYPE_GET_PATH = 28,
    TYPE_ROUTINE = 29,
    TYPE_BITSET = 30,
    TYPE_TRIPLE_ID = 31,
    TYPE_OBJECT = 32,
    TYPE_TYPESET = 33,
    TYPE_ERROR = 34,
    TYPE_VECTOR = 35,
    TYPE_HASH = 36,
    TYPE_PAIR = 37,
    TYPE_PERCENT = 38,
    TYPE_TUPLE = 39,
    TYPE_MAP = 40,
    TYPE_BINARY = 41,
    TYPE_SERIES_ID = 42,
    TYPE_TIME = 43,
    TYPE_TAG = 44,
    TYPE_EMAIL = 45,
    TYPE_HANDLE = 46,
    TYPE_DATE = 47,
    TYPE_PORT_ID = 48,
    TYPE_MONEY = 49,
    TYPE_REF = 50,
    TYPE_POINT2D = 51,
    TYPE_POINT3D = 52,
    TYPE_IMAGE = 53,
    TYPE_EVENT = 54,
    TYPE_TOTAL_COUNT = 57,  // rows of the datatype and action tables (ids 0 to 56)
};

// Header flags shared by every datatype.
constexpr u32 FLAG_NEW_LINE = 0x40000000;  // value starts a new line when its block is molded
constexpr u32 TYPE_MASK = 0xFF;

// One value: a header (type id in bits 0-7, flags above) and three payload words.
struct Cell {
    u32 header;
    u32 data1;
    u32 data2;
    u32 data3;
};
static_assert(sizeof(Cell) == 16, "a value cell is 16 bytes");

inline u32 TYPE_OF(const Cell* c) { return c->header & TYPE_MASK; }

// Types whose whole value sits in the cell (no series, context or table behind
// it): a change to such a value through a path is made on a copy, which must
// then be stored back where the value came from.
inline bool immediate_q(u32 type) {
    switch (type) {
        case TYPE_LOGIC: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PAIR:
        case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE: case TYPE_MONEY:
        case TYPE_POINT2D: case TYPE_POINT3D:
        case TYPE_EVENT:  // its type code, the one field a path sets, sits in the cell
            return true;
        default:
            return false;
    }
}

// Replaces the type id and keeps the flags.
inline Cell* set_type(Cell* c, u32 type) {
    c->header = (c->header & ~TYPE_MASK) | type;
    return c;
}

// A 64-bit float occupies payload words 2 and 3 (cells are only 4-byte aligned).
inline double cell_float(const Cell* c) {
    double d;
    std::memcpy(&d, &c->data2, sizeof d);
    return d;
}
inline void set_cell_float(Cell* c, double d) { std::memcpy(&c->data2, &d, sizeof d); }

// Series views: head index in units, then the node.
inline u32& series_head(Cell* c) { return c->data1; }
inline node_t& series_node(Cell* c) { return c->data2; }
inline u32 series_head(const Cell* c) { return c->data1; }
inline node_t series_node(const Cell* c) { return c->data2; }

// Word views: context node, symbol id, index in the context.
inline node_t& word_ctx(Cell* c) { return c->data1; }
inline u32& word_symbol(Cell* c) { return c->data2; }
inline i32 word_index(const Cell* c) { return static_cast<i32>(c->data3); }

// Context views: a flag of the context! cell's header.
namespace context {
constexpr u32 CTX_ON_STACK = 0x00400000;  // values live on the argument stack (a running function's)
}  // namespace context

// Symbol views: alias id (-1 none), string cache node, name node.
namespace symbol {
inline i32 cell_alias(const Cell* c) { return static_cast<i32>(c->data1); }
inline node_t cell_cache(const Cell* c) { return c->data2; }
inline node_t cell_name(const Cell* c) { return c->data3; }
}  // namespace symbol

// True for string! and the types that share its storage.
namespace string {
inline bool any_string_q(u32 type) {
    return type == TYPE_STRING || type == TYPE_FILE || type == TYPE_URL || type == TYPE_TAG ||
           type == TYPE_EMAIL || type == TYPE_REF;
}
}  // namespace string

// money!: the sign sits in the header.
namespace money {
constexpr u32 MONEY_SIGN = 0x4000;  // header bit 14: negative amount
inline bool get_sign(const Cell* c) { return (c->header & MONEY_SIGN) != 0; }
inline void set_sign(Cell* c, bool negative) {
    c->header = negative ? (c->header | MONEY_SIGN) : (c->header & ~MONEY_SIGN);
}
}  // namespace money

inline Cell* make_cell(Cell* c, u32 header, u32 d1 = 0, u32 d2 = 0, u32 d3 = 0) {
    c->header = header;
    c->data1 = d1;
    c->data2 = d2;
    c->data3 = d3;
    return c;
}

inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

inline void clear_cell_flag(Cell* c) { c->header &= ~FLAG_NEW_LINE; }

// Typeset test: bit (0x80 >> (type % 8)) of byte (type / 8) of the typeset's payload.
inline bool typeset_has(const Cell* typeset, u32 type) {
    const u8* bits = reinterpret_cast<const u8*>(&typeset->data1);
    return type < 96 && (bits[type / 8] & (0x80 >> (type % 8)));
}

}  // namespace zav
