// External handle table.
#include "runtime/handles.h"

#include "runtime/rt.h"

namespace zav::handles {

Table table{nullptr, 0, -1, -1};

namespace {

struct Kind {
    u32 flags;
    ReleaseFn release;
};
Kind kinds[MAX_KINDS];
u32 kind_count = 0;

// Doubles the table; the new half is chained after the current free head.
void grow() {
    u32 old = table.capacity;
    auto* slots = static_cast<Slot*>(rt::resize(table.slots, sizeof(Slot) * old * 2));
    if (!slots) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, rt::code_address());
    table.slots = slots;
    table.capacity = old * 2;
    init_slots(old, old);
    Slot& head = table.slots[table.free_head];
    table.slots[old * 2 - 1].next = head.next;
    head.next = static_cast<i32>(old);
}

}  // namespace

void init() {
    kind_count = 0;
    if (table.slots) rt::free(table.slots);
    table.slots = static_cast<Slot*>(rt::allocate(sizeof(Slot) * INITIAL_SLOTS));
    if (!table.slots) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, rt::code_address());
    table.capacity = INITIAL_SLOTS;
    init_slots(0, INITIAL_SLOTS);
    table.free_head = 0;
    table.used_head = -1;
}

u32 register_kind(u32 flags, ReleaseFn release) {
    if (kind_count == MAX_KINDS) rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    kinds[kind_count] = Kind{flags, release};
    return ++kind_count;
}

void init_slots(u32 first, u32 count) {
    for (u32 i = 0; i < count; i++) {
        Slot& s = table.slots[first + i];
        s.flags = SLOT_FREE;
        s.object = nullptr;
        s.next = i + 1 < count ? static_cast<i32>(first + i + 1) : -1;
    }
}

u32 store(void* object, u32 kind) {
    if (table.slots[table.free_head].next == -1) grow();
    u32 index = static_cast<u32>(table.free_head);
    Slot& s = table.slots[index];
    table.free_head = s.next;
    s.flags = kind;
    s.object = object;
    s.next = table.used_head;
    table.used_head = static_cast<i32>(index);
    return index;
}

void release_one(u32 flags, void* object) {
    u32 kind = flags & KIND_MASK;
    if (kind >= 1 && kind <= kind_count && kinds[kind - 1].release) kinds[kind - 1].release(object);
}

void release_slot(const Slot* slot) { release_one(slot->flags, slot->object); }

namespace {

// Frees slot `index`, whose predecessor on the used list is `prev` (-1: it is the head).
void unlink_and_free(i32 prev, u32 index) {
    if (prev < 0 && table.used_head != static_cast<i32>(index)) {
        // A release handler pushed new slots in front of this one.
        prev = table.used_head;
        while (table.slots[prev].next != static_cast<i32>(index)) prev = table.slots[prev].next;
    }
    Slot& s = table.slots[index];
    if (prev < 0) table.used_head = s.next;
    else table.slots[prev].next = s.next;
    s.flags = SLOT_FREE;
    s.object = nullptr;
    s.next = table.free_head;
    table.free_head = static_cast<i32>(index);
}

}  // namespace

void remove(u32 index, bool release) {
    Slot& s = table.slots[index];
    if (s.flags & SLOT_FREE) return;
    if (release) release_slot(&s);
    i32 prev = -1;
    for (i32 i = table.used_head; i >= 0 && static_cast<u32>(i) != index; i = table.slots[i].next) prev = i;
    unlink_and_free(prev, index);
}

bool mark(u32 index, void* object) {
    if (index >= table.capacity) return false;
    Slot& s = table.slots[index];
    if (object) s.object = object;
    if (s.flags & SLOT_MARK) return false;
    s.flags |= SLOT_MARK;
    return true;
}

void sweep() {
    i32 prev = -1;
    for (i32 i = table.used_head; i >= 0;) {
        Slot& s = table.slots[i];
        i32 next = s.next;
        if (s.flags & SLOT_MARK) {
            s.flags &= ~SLOT_MARK;
            prev = i;
        } else {
            // Unlinked first, so that a handler that stores a new object cannot see this slot.
            Slot old = s;
            unlink_and_free(prev, static_cast<u32>(i));
            release_slot(&old);
        }
        i = next;
    }
}

u32 used_count() {
    u32 n = 0;
    for (i32 i = table.used_head; i >= 0; i = table.slots[i].next) n++;
    return n;
}

}  // namespace zav::handles
