// Ownership: series reachable from an object's fields are recorded as owned by
// the object and the field word, so that in-place changes to them can be
// reported to the object's on-deep-change* handler.
#pragma once
#include "runtime/cell.h"

namespace zav::ownership {

// Owned marks: on a series buffer, on an image! cell, on an owning object's context! cell.
constexpr u32 OWNED_IMAGE = 0x10000;
constexpr u32 OWNER_CONTEXT = 0x10000;

// The ownership table: keyed by series node; entries [value, owner, word].
extern node_t table;

void init();
// Marks the value's series (deeply) as owned by `owner` under `word`; a
// series already owned keeps its first owner.
void bind(const Cell* value, const Cell* owner, const Cell* word);
// bind, then flags the owner's context as an owner.
void set_owner(const Cell* value, const Cell* owner, const Cell* word);
// Removes ownership from the value, deeply.
void unbind(const Cell* value);
void unbind_range(const Cell* block, u32 position, u32 count);
// The owner recorded for a series node, or null.
Cell* owned_q(node_t node);
// After an in-place change: calls the owner's on-deep-change* with the field
// word, the value, the action word (a symbol id), `new_value`, the index and
// the count changed. True when a handler was called.
bool check(const Cell* value, i32 action, const Cell* new_value, i32 index, i32 count);

}  // namespace zav::ownership
