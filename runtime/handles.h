// External handle table: platform objects that values refer to by slot index,
// released by their kind's handler once no value marks them in a collection.
#pragma once
#include "runtime/common.h"

namespace zav::handles {

using ReleaseFn = void (*)(void* object);

constexpr u32 MAX_KINDS = 20;         // kinds of platform objects: a handful exist, registered at start-up
constexpr u32 INITIAL_SLOTS = 1000;   // doubled whenever full, which copies the table: more than most runs hold
constexpr u32 KIND_MASK = 0xFF;
constexpr u32 SLOT_FREE = 0x40000000;
constexpr u32 SLOT_MARK = 0x80000000;

struct Slot {
    u32 flags;     // kind in bits 0-7, SLOT_FREE, SLOT_MARK
    i32 next;      // next slot on the same list, -1 at the end
    void* object;  // the platform object
};

struct Table {
    Slot* slots;
    u32 capacity;
    i32 free_head;
    i32 used_head;  // -1 when empty
};
extern Table table;

// Makes the kind registry and a table of 1,000 free slots (dropping any old table).
void init();
// Returns the 1-based kind number.
u32 register_kind(u32 flags, ReleaseFn release);
// Formats `count` slots from `first` as free and chains them; the last gets -1.
void init_slots(u32 first, u32 count);
// Takes a free slot for the object; returns its index, stable while in use.
u32 store(void* object, u32 kind);
void release_one(u32 flags, void* object);
void release_slot(const Slot* slot);
void remove(u32 index, bool release);
// Sets the mark; replaces the object when one is given. True when it was not marked yet.
bool mark(u32 index, void* object = nullptr);
// After marking: unmarked used slots are released and freed, marked ones unmarked.
void sweep();

// Slots in use (on the used list).
u32 used_count();

}  // namespace zav::handles
