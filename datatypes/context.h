// context!: a word list (indexed by a kind-2 hash table) with a parallel set
// of values, a kind and an owner value; the global context; binding.
#pragma once
#include "runtime/cell.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace zav::context {

// context! cell flags.
constexpr u32 CTX_OWNER_FLAG = 0x00010000;  // an object that owns series
constexpr u32 CTX_SELF = 0x01000000;        // has a self value (its owner)
constexpr u32 CTX_KIND_SHIFT = 11;
constexpr u32 CTX_KIND_MASK = 0x1800;

enum Kind : u32 { KIND_GLOBAL = 0, KIND_FUNCTION = 1, KIND_OBJECT = 2 };

// The "changed" mark on word cells in an object's word list.
constexpr u32 WORD_CHANGED = 0x2000;
// The context's word list and index are another context's (a new error
// shares its prototype's): they are copied before a word is added or marked,
// and the list's words are bound to that other context.
constexpr u32 CTX_SHARED_WORDS = 0x00020000;

// The global context's node (a collector root).
extern node_t global;

// A context node's buffer holds two cells: the context! cell and the owner value.
[[gnu::always_inline]] inline Cell* TO_CTX(node_t ctx) { return reinterpret_cast<Cell*>(GET_BUFFER(ctx)->head()); }
inline Cell* owner_of(node_t ctx) { return TO_CTX(ctx) + 1; }
inline node_t table_of(const Cell* ctx) { return ctx->data1; }
inline u32 kind_of(const Cell* ctx) { return (ctx->header & CTX_KIND_MASK) >> CTX_KIND_SHIFT; }
inline bool on_stack_q(const Cell* ctx) { return (ctx->header & CTX_ON_STACK) != 0; }
// The node of the context whose cell this is.
node_t node_of(const Cell* ctx);

// Whether set() stores into a context's values plainly: not an object's, no
// change handler in its owner.
[[gnu::always_inline]] inline bool plain_q(const Cell* ctx) {
    const Cell* owner = ctx + 1;
    return kind_of(ctx) != KIND_OBJECT && (TYPE_OF(owner) == TYPE_UNSET || owner->data3 == 0);
}

// The value slot of a bound word in the common cases, read without a call:
// a context on the stack, or one whose values hold the word's index. Null for
// every other case (unbound, `self`, out of range), which get() handles.
// `ctx_out` learns the word's context cell. The global context's addresses
// come from memory::buffer_memo, kept again after buffers have moved.
[[gnu::always_inline]] inline Cell* peek_slot(const Cell* w, Cell** ctx_out = nullptr) {
    node_t n = w->data1;
    u32 idx = w->data3;
    const memory::BufferMemo& memo = memory::buffer_memo;
    if (n == memo.key && idx < memo.count) {
        if (ctx_out) *ctx_out = memo.ctx;
        return memo.cells + idx;
    }
    if (!n || static_cast<i32>(idx) < 0) return nullptr;
    Cell* ctx = TO_CTX(n);
    if (ctx_out) *ctx_out = ctx;
    u32 values = ctx->data2;
    if (!values) return nullptr;
    if (on_stack_q(ctx)) return at<Cell>(values) + idx;
    SeriesBuffer* b = GET_BUFFER(values);
    u32 count = b->used_bytes() / sizeof(Cell);
    Cell* cells = reinterpret_cast<Cell*>(b->head());
    if (n == global) memory::buffer_memo = {n, count, ctx, cells, plain_q(ctx)};
    if (idx >= count) return nullptr;
    return cells + idx;
}

// The value slot that set() would fill with a plain store: a bound word of a
// function context, or of a context that is not an object's and has no
// change handler. Null for every other case (set() then does the work).
[[gnu::always_inline]] inline Cell* plain_slot(const Cell* w) {
    const memory::BufferMemo& memo = memory::buffer_memo;
    if (w->data1 == memo.key && w->data3 < memo.count) return memo.plain ? memo.cells + w->data3 : nullptr;
    Cell* ctx;
    Cell* slot = peek_slot(w, &ctx);
    if (!slot || on_stack_q(ctx)) return slot;
    return plain_q(ctx) ? slot : nullptr;
}

// Registers context! (no actions).
void init();
// Makes the global context with room for `size` words.
void make_global(u32 size = 4000);

node_t create(u32 size, bool on_stack, bool self, const Cell* words, u32 kind);
node_t make(Cell* spec, bool on_stack, bool self, u32 kind);
// A function context for a spec block (as make makes it, on the stack) that
// shares the word list of `like`, a function context made for the same
// words, until it adds a word (see CTX_SHARED_WORDS); 0, having made
// nothing, where the spec's words are not that list's.
node_t share_function_words(const Cell* spec, node_t like);
i32 find_word(Cell* ctx, i32 symbol, bool case_insensitive);

// Where a word of each spelling was last found in a context's word list,
// by the symbol's low bits: records made alike hold their fields at the
// same index, so a lookup tries it first, at any size of context. An entry
// is only a guess, taken where the word at that index is spelt as asked
// (a context holds one spelling of each word, so that word is the one).
inline constexpr u32 FIELD_HINTS = 1024;
inline u16 field_hint[FIELD_HINTS];
[[gnu::always_inline]] inline i32 hinted_index(const Cell* words, u32 count, u32 symbol) {
    const u32 h = field_hint[symbol & (FIELD_HINTS - 1)];
    return h < count && words[h].data2 == symbol ? static_cast<i32>(h) : -1;
}
[[gnu::always_inline]] inline void remember_index(u32 symbol, i32 index) {
    if (index >= 0) field_hint[symbol & (FIELD_HINTS - 1)] = static_cast<u16>(index);
}
i32 add_word(Cell* ctx, const Cell* word);
void add_with_value(Cell* ctx, const Cell* word, const Cell* value);
Cell* set_in(Cell* word, const Cell* value, Cell* ctx, bool notify);
Cell* set(Cell* word, const Cell* value);
Cell* get_in(const Cell* word, Cell* ctx);
Cell* get(const Cell* word);
Cell* add_global_word(i32 symbol, bool case_insensitive, bool keep_spelling);
Cell* add_global(i32 symbol);
node_t clone(Cell* value, u32 kind);
// As clone, with the values copied as they are (no deep copy) and the word
// list and index shared with the original until the copy adds or marks a
// word (see CTX_SHARED_WORDS). `value` then refers to the copy and is its owner.
node_t clone_sharing_words(Cell* value, u32 kind);
// Gives a context that shares its word list a copy of its own; answers its
// cell (allocation may have moved it).
Cell* own_words(node_t ctx);
// Marks the word at the index as changed (an object's field set).
inline void mark_changed(node_t ctx, u32 index);
i32 bind_word(Cell* ctx, Cell* word);
Cell* bind(Cell* block, Cell* ctx, bool self);
bool collect_set_words(Cell* ctx, Cell* block);

// The value cell of a symbol in the global context (added unset when missing).
Cell* get_global(i32 symbol);
// Stores a value under a word of the global context, or of the given context,
// adding the word when missing; answers the value slot.
Cell* set_global(i32 symbol, const Cell* value);
Cell* set_in_ctx(i32 symbol, const Cell* value, node_t ctx);
// Stores an integer! under a word of a context; an index of -1 is looked up exactly first.
Cell* set_integer(Cell* word, i32 value, node_t ctx);
// True when the word names any-type! (by resolved symbol).
bool any_type_q(const Cell* word);

// Word list and values.
Cell* get_word_at(const Cell* ctx, u32 n);
[[gnu::always_inline]] inline node_t get_words_node(const Cell* ctx) { return hashtable::record(table_of(ctx))->block; }
[[gnu::always_inline]] inline SeriesBuffer* get_words(const Cell* ctx) { return GET_BUFFER(get_words_node(ctx)); }
inline u32 word_count(const Cell* ctx) { return get_words(ctx)->length(); }
// A copy of the word at the index, bound to the context (a shared list's
// words are bound to the context that owns it).
inline Cell word_at(node_t ctx, u32 index) {
    const Cell* c = TO_CTX(ctx);
    Cell w = reinterpret_cast<Cell*>(get_words(c)->head())[index];
    if (c->header & CTX_SHARED_WORDS) w.data1 = ctx;
    return w;
}
inline void mark_changed(node_t ctx, u32 index) {
    Cell* c = TO_CTX(ctx);
    if (c->header & CTX_SHARED_WORDS) [[unlikely]] c = own_words(ctx);
    reinterpret_cast<Cell*>(get_words(c)->head())[index].header |= WORD_CHANGED;
}
// The first value cell, or null when the values are absent (a function that is not running).
[[gnu::always_inline]] inline Cell* values_of(const Cell* ctx) {
    if (!ctx->data2) return nullptr;
    if (on_stack_q(ctx)) return at<Cell>(ctx->data2);
    return reinterpret_cast<Cell*>(GET_BUFFER(ctx->data2)->head());
}

}  // namespace zav::context
