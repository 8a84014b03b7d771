// The datatype registry, the action table and the datatype! datatype.
#pragma once
#include <initializer_list>
#include <span>

#include "datatypes/action_slots.h"

namespace zav::datatype {

struct Record {
    const char* name;  // "integer!"
    u32 length;        // name length without the final "!"
    Cell word;         // the global word of that name, once words exist
    bool has_word;
};
extern Record records[TYPE_TOTAL_COUNT];
extern u32 top_id;  // highest id registered so far

// The action table (row t, entry s): see action_slots.h.

// Registers a datatype with its action table, given slot by slot (see
// SlotEntry); the parent must be registered first. A slot named twice, an
// inherited slot without a parent or an unregistered parent is a build fault:
// reported, and the process exits with a non-zero status.
void register_type(u32 id, u32 parent, const char* name, std::span<const SlotEntry> entries);
inline void register_type(u32 id, u32 parent, const char* name, std::initializer_list<SlotEntry> entries) {
    register_type(id, parent, name, std::span<const SlotEntry>(entries.begin(), entries.size()));
}

const char* name_of(u32 id);

// datatype! itself.
void init();
Cell* make_at(Cell* cell, u32 id);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

}  // namespace zav::datatype
