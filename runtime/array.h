// Growable arrays of bytes, 32-bit integers and pointers for the runtime's own
// bookkeeping, kept in series buffers so the collector can mark them by node.
#pragma once
#include "runtime/common.h"

namespace zav::array {

// Element sizes. Pointer arrays hold native pointers, so their unit is the
// machine's pointer size.
constexpr u32 BYTE_UNIT = 1;
constexpr u32 INT_UNIT = 4;
constexpr u32 PTR_UNIT = sizeof(void*);

// An empty array with room for n elements of `unit` bytes.
node_t make(u32 n, u32 unit);
u32 length_q(node_t array);
void clear(node_t array);
// Cuts the array to end - 1 elements (end is a 1-based end position).
void set_length(node_t array, u32 end);
node_t copy(node_t array);
// The first element; valid until the next allocation.
u8* head(node_t array);

void append_byte(node_t array, u8 value);
void append_bytes(node_t array, const void* src, u32 n);
void append_int(node_t array, i32 value);
void append_ptr(node_t array, const void* value);

// 1-based, no bound check.
u8 pick_byte(node_t array, u32 index);
i32 pick_int(node_t array, u32 index);
void* pick_ptr(node_t array, u32 index);
void poke_int(node_t array, u32 index, i32 value);

// Byte offset from the head of the first equal element, -1 when absent.
i32 find_int(node_t array, i32 value);
i32 find_ptr(node_t array, const void* value);

// Inserts a 32-bit value before element index (0-based).
void insert_at(node_t array, u32 index, i32 value);
// Removes n bytes at a byte offset from the head.
void remove_at(node_t array, u32 offset, u32 n);
// Removes the first element equal to value; nothing when absent.
void remove_ptr(node_t array, const void* value);

}  // namespace zav::array
