// Small helpers shared by the runtime and the datatypes: cell primitives,
// the error raiser, tail allocation and the root block.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav {

// The error most recently raised: category and id words as text.
namespace error {
struct Raised {
    const char* category;
    const char* id;
};
extern Raised last;
}  // namespace error

// Raises the language error category/id with up to three argument values and
// unwinds with THROW_ERROR. Never returns. The evaluator registers the
// raiser that builds the error value and throws it to its guard frame; until
// then the error is only noted in error::last.
extern void (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                            const Cell* arg3);
[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// script/bad-make-arg ("cannot MAKE" value "from:" spec).
[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec);

// Date and time of this build, as "dd-Mon-yyyy/hh:mm:ss".
const char* build_date();

// Appends one unset cell at the tail of a block's buffer, growing it when full.
Cell* alloc_at_tail(node_t block);
// The same on a buffer: doubles it first when its tail is at the end of its data.
Cell* alloc_tail(SeriesBuffer* buffer);
// Reserves `bytes` at the tail and returns the old tail; grows to twice the
// request when that is larger than the buffer, else to double. `buffer`
// follows the move.
u8* alloc_tail_unit(SeriesBuffer*& buffer, u32 bytes);
// New series of the same unit holding `length` units from unit `offset`; not owned.
node_t copy_series_part(node_t node, u32 offset, u32 length);

// The root block holds the boot environment's values; compiled code reads them by index.
extern node_t root;
Cell* get_root(u32 index);
node_t get_root_node(u32 index);

// Typeset test: bit (0x80 >> (type % 8)) of byte (type / 8) of the typeset's payload.
inline bool typeset_has(const Cell* typeset, u32 type) {
    const u8* bits = reinterpret_cast<const u8*>(&typeset->data1);
    return type < 96 && (bits[type / 8] & (0x80 >> (type % 8)));
}

inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

inline void clear_cell_flag(Cell* c) { c->header &= ~FLAG_NEW_LINE; }

}  // namespace zav
