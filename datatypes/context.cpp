// context!: word lists, values, the global context and binding.
#include "datatypes/context.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/words.h"

namespace zav::context {

node_t global = 0;

namespace {

inline Cell* cells(node_t block) { return reinterpret_cast<Cell*>(GET_BUFFER(block)->head()); }
inline u32 cell_count(node_t block) { return GET_BUFFER(block)->length(); }

// The word list block of a context's table.
inline node_t words_node(node_t ctx) { return hashtable::record(table_of(TO_CTX(ctx)))->block; }

// Pops the cycle stack on the way out, also when a fire unwinds through.
struct CycleGuard {
    bool pushed = false;
    explicit CycleGuard(node_t n) {
        cycles::push(n);
        pushed = true;
    }
    ~CycleGuard() {
        if (pushed) cycles::pop();
    }
};

// Appends one unset value for a new word of a context whose values live in a block.
void append_value(node_t ctx) {
    Cell* c = TO_CTX(ctx);
    if (on_stack_q(c) || !c->data2) return;
    alloc_at_tail(c->data2);
}

}  // namespace

node_t node_of(const Cell* ctx) {
    // A context's cells start its buffer's data area.
    return reinterpret_cast<const SeriesBuffer*>(reinterpret_cast<const u8*>(ctx) - SERIES_HEADER)->node;
}

namespace {

// A context node over a table already made: its cell, an unset owner and
// (unless its values live on the stack) room for `size` values, `count` in
// use: unset, or the first `count` cells of the values series `from`.
node_t wrap(node_t table, u32 count, u32 size, bool on_stack, bool self, u32 kind, node_t from = 0) {
    collector::Guard table_root(table, collector::GUARD_TABLE);
    node_t ctx = alloc_cells(2);
    {
        SeriesBuffer* b = GET_BUFFER(ctx);
        make_cell(reinterpret_cast<Cell*>(b->head()), TYPE_UNSET);
        make_cell(reinterpret_cast<Cell*>(b->head()) + 1, TYPE_UNSET);
        b->tail = b->offset + 2 * sizeof(Cell);
    }
    // The context cell holds the table (and later the values) from here on,
    // so the guarded context node keeps them.
    collector::Guard ctx_root(ctx);
    u32 header = TYPE_CONTEXT_ID | ((kind << CTX_KIND_SHIFT) & CTX_KIND_MASK) | (self ? CTX_SELF : 0);
    if (on_stack) header |= CTX_ON_STACK;
    make_cell(TO_CTX(ctx), header, table, 0);
    if (!on_stack) {
        u32 room = size > count ? size : count;
        node_t values;
        if (from) {
            // Copied whole, the unset fill only past them: a clone's values
            // are written once.
            values = alloc_cells(room);
            SeriesBuffer* vb = GET_BUFFER(values);
            std::memcpy(vb->data(), GET_BUFFER(from)->head(), count * sizeof(Cell));
            Cell* rest = reinterpret_cast<Cell*>(vb->data());
            for (u32 i = count; i < vb->size / sizeof(Cell); i++) make_cell(rest + i, TYPE_UNSET);
        } else {
            values = alloc_unset_cells(room);
        }
        SeriesBuffer* vb = GET_BUFFER(values);
        vb->tail = vb->offset + count * sizeof(Cell);
        TO_CTX(ctx)->data2 = values;
    }
    return ctx;
}

}  // namespace

node_t create(u32 size, bool on_stack, bool self, const Cell* words, u32 kind) {
    if (size == 0) size = 1;
    // The table's word list: the given block, or a new one.
    node_t list = 0;
    u32 count = 0;
    if (words && TYPE_OF(words) == TYPE_BLOCK) {
        list = series_node(words);
        count = cell_count(list);
    } else {
        list = alloc_cells(size);
    }
    collector::Guard list_root(list);
    Cell blk;
    make_cell(&blk, TYPE_BLOCK, 0, list);
    node_t table = hashtable::init_words(size, &blk);
    return wrap(table, count, size, on_stack, self, kind);
}

node_t make(Cell* spec, bool on_stack, bool self, u32 kind) {
    node_t sn = series_node(spec);
    u32 len = cell_count(sn);
    u32 head = series_head(spec);
    node_t ctx = create(len > head ? len - head : 1, on_stack, self, nullptr, kind);
    collector::Guard ctx_root(ctx);
    for (u32 i = 0; i < cell_count(sn); i++) {
        Cell* c = cells(sn) + i;
        u32 t = TYPE_OF(c);
        if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
        i32 pos = -1;
        hashtable::get_ctx(table_of(TO_CTX(ctx)), word_symbol(c), true, ctx, &pos);
    }
    // One value per word (a word named twice is listed once).
    if (!on_stack) {
        node_t values = TO_CTX(ctx)->data2;
        u32 n = cell_count(words_node(ctx));
        SeriesBuffer* vb = GET_BUFFER(values);
        if (vb->size < n * sizeof(Cell)) vb = expand_series(vb, n * sizeof(Cell));
        Cell* v = reinterpret_cast<Cell*>(vb->head());
        for (u32 i = 0; i < n; i++) make_cell(v + i, TYPE_UNSET);
        vb->tail = vb->offset + n * sizeof(Cell);
    }
    return ctx;
}

node_t share_function_words(const Cell* spec, node_t like) {
    const Cell* old = TO_CTX(like);
    if (kind_of(old) != KIND_FUNCTION || !on_stack_q(old)) return 0;
    // The words make would list, in its order: each the next of the list.
    const node_t sn = series_node(spec);
    SeriesBuffer* wb = get_words(old);
    const Cell* words = reinterpret_cast<const Cell*>(wb->head());
    const u32 n = wb->used_bytes() / sizeof(Cell);
    u32 k = 0;
    for (u32 i = 0, len = cell_count(sn); i < len; i++) {
        const Cell* c = cells(sn) + i;
        const u32 t = TYPE_OF(c);
        if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
        if (k == n || words[k].data2 != c->data2) return 0;
        k++;
    }
    if (k != n) return 0;
    node_t ctx = wrap(table_of(old), n, n, true, false, KIND_FUNCTION);
    TO_CTX(ctx)->header |= CTX_SHARED_WORDS;
    return ctx;
}

i32 find_word(Cell* ctx, i32 symbol, bool case_insensitive) {
    // A small context (an object's fields, a function's locals) is read
    // faster than hashed: the word is mostly spelt as it was defined, and a
    // context holds one spelling of each word, so the first equal symbol is it.
    SeriesBuffer* b = GET_BUFFER(hashtable::record(table_of(ctx))->block);
    u32 n = b->used_bytes() / sizeof(Cell);
    const Cell* words = reinterpret_cast<const Cell*>(b->head());
    const u32 sym = static_cast<u32>(symbol);
    // (The global context may hold words of several spellings of one word
    // that share one of their slots: the hashed lookup picks that one.)
    const bool hint = ctx != TO_CTX(global);
    if (i32 hinted = hint ? hinted_index(words, n, sym) : -1; hinted >= 0) return hinted;
    if (n <= hashtable::SMALL_WORDS) {
        for (u32 i = 0; i < n; i++) {
            if (words[i].data2 == sym) {
                if (hint) remember_index(sym, static_cast<i32>(i));
                return static_cast<i32>(i);
            }
        }
        // A word spelt one way only can be no other word of the list.
        if (!case_insensitive || !hashtable::spelt_otherwise_q(symbol)) return -1;
    }
    i32 idx = hashtable::get_ctx(table_of(ctx), sym, case_insensitive, 0, nullptr);
    if (hint) remember_index(sym, idx);
    return idx;
}

i32 add_word(Cell* ctx, const Cell* word) {
    node_t n = node_of(ctx);
    u32 sym = word->data2;
    if (ctx->header & CTX_SHARED_WORDS) [[unlikely]] {
        i32 found = hashtable::get_ctx(table_of(ctx), sym, true, 0, nullptr);
        if (found >= 0) return found;
        ctx = own_words(n);
    }
    i32 pos = -1;
    i32 idx = hashtable::get_ctx(table_of(ctx), sym, true, n, &pos);
    if (idx >= 0) return idx;
    append_value(n);
    return pos;
}

void add_with_value(Cell* ctx, const Cell* word, const Cell* value) {
    node_t n = node_of(ctx);
    Cell v = *value;
    if (find_word(ctx, static_cast<i32>(word->data2), true) >= 0) return;
    i32 idx = add_word(ctx, word);
    Cell* c = TO_CTX(n);
    if (on_stack_q(c)) {
        if (c->data2) at<Cell>(c->data2)[idx] = v;
    } else {
        cells(c->data2)[idx] = v;
    }
}

Cell* set_in(Cell* word, const Cell* value, Cell* ctx, bool notify) {
    node_t n = node_of(ctx);
    Cell v = *value;  // the value may live in a buffer that the steps below move
    if (word_index(word) == -1) {
        i32 idx = find_word(ctx, static_cast<i32>(word_symbol(word)), false);
        if (idx < 0) {
            Cell w = *word;
            u32 before = collector::cycles;
            idx = add_word(ctx, &w);
            // A word cell inside a series moved if a collection ran: work on the copy.
            if (collector::cycles != before) word = &w;
        }
        word->data3 = static_cast<u32>(idx);
    }
    ctx = TO_CTX(n);
    i32 idx = word_index(word);
    if (!ctx->data2) fire("script", "not-defined", word);
    if (on_stack_q(ctx)) {
        Cell* slot = at<Cell>(ctx->data2) + idx;
        *slot = v;
        return slot;
    }
    if (idx < 0 || static_cast<u32>(idx) >= cell_count(ctx->data2)) fire("script", "not-defined", word);
    Cell held;
    if (kind_of(ctx) == KIND_OBJECT) {
        // Marking may copy a shared word list, which may move the word.
        held = *word;
        word = &held;
        if (ctx->header & CTX_SHARED_WORDS) {
            collector::Guard value_root(&v);
            own_words(n);
        }
        mark_changed(n, static_cast<u32>(idx));
        ctx = TO_CTX(n);
    }
    Cell* slot = cells(ctx->data2) + idx;
    Cell* owner = owner_of(n);
    if (notify && TYPE_OF(owner) != TYPE_UNSET && owner->data3 != 0) {
        Cell* saved_top = stack::top;
        Cell* old = stack::push(slot);
        Cell w = *word;
        Cell own = *owner;
        slot = cells(TO_CTX(n)->data2) + idx;
        *slot = v;
        object::fire_on_change(&own, &w, old, slot);
        stack::top = saved_top;
        return cells(TO_CTX(n)->data2) + idx;
    }
    *slot = v;
    return slot;
}

Cell* set(Cell* word, const Cell* value) {
    if (!word_ctx(word)) fire("script", "not-defined", word);
    return set_in(word, value, TO_CTX(word_ctx(word)), true);
}

Cell* get_in(const Cell* word, Cell* ctx) {
    i32 idx = word_index(word);
    if (idx != -1) {
        if (!ctx->data2) fire("script", "not-in-context", word);
        if (on_stack_q(ctx)) return at<Cell>(ctx->data2) + idx;
        if (idx < 0 || static_cast<u32>(idx) >= cell_count(ctx->data2)) fire("script", "no-value", word);
        return cells(ctx->data2) + idx;
    }
    if (static_cast<i32>(word->data2) == words::self && word->data1) return owner_of(word->data1);
    fire("script", "no-value", word);
}

Cell* get(const Cell* word) {
    // An unbound word (a refinement made outside any context) has no value.
    if (!word->data1) fire("script", "no-value", word);
    return get_in(word, TO_CTX(word->data1));
}

Cell* add_global_word(i32 symbol, bool case_insensitive, bool keep_spelling) {
    node_t table = table_of(TO_CTX(global));
    // A case variant already in the global context shares its value slot.
    i32 variant = -1;
    if (!case_insensitive && symbol::get_alias(symbol) > 0) {
        variant = hashtable::get_ctx(table, static_cast<u32>(symbol), true, 0, nullptr);
    }
    i32 pos = -1;
    i32 idx = hashtable::get_ctx(table, static_cast<u32>(symbol), case_insensitive, global, &pos);
    if (idx >= 0) {
        Cell* w = get_word_at(TO_CTX(global), static_cast<u32>(idx));
        if (case_insensitive && keep_spelling && static_cast<i32>(word_symbol(w)) != symbol) {
            Cell* copy = alloc_at_tail(root);
            *copy = *get_word_at(TO_CTX(global), static_cast<u32>(idx));
            word_symbol(copy) = static_cast<u32>(symbol);
            return copy;
        }
        return w;
    }
    append_value(global);
    Cell* w = get_word_at(TO_CTX(global), static_cast<u32>(pos));
    if (variant >= 0) w->data3 = static_cast<u32>(variant);
    return w;
}

Cell* add_global(i32 symbol) { return add_global_word(symbol, false, false); }

namespace {

// A copy of the context's word list with its index, the words bound to `ctx`
// and unmarked: the original's index serves the copy as it is, without
// hashing every word again.
node_t copy_words(node_t old, node_t ctx) {
    node_t list = copy_series(GET_BUFFER(words_node(old)));
    collector::Guard list_root(list);
    // The copy allocates: the original's cell is read anew.
    node_t table = hashtable::copy(table_of(TO_CTX(old)), list);
    Cell* w = cells(list);
    for (u32 i = 0, n = cell_count(list); i < n; i++) {
        w[i].data1 = ctx;
        w[i].header &= ~WORD_CHANGED;
    }
    return table;
}

}  // namespace

node_t clone(Cell* value, u32 kind) {
    Cell* old = TO_CTX(value->data1);
    u32 size = word_count(old);
    bool on_stack = on_stack_q(old);
    bool self = (old->header & CTX_SELF) != 0;
    // The new context's node is only known once the table exists: the
    // words are bound to it afterwards.
    node_t table = copy_words(value->data1, 0);
    node_t ctx = wrap(table, size, size, on_stack, self, kind);
    Cell* w = cells(hashtable::record(table)->block);
    for (u32 i = 0; i < size; i++) w[i].data1 = ctx;
    value->data1 = ctx;
    return ctx;
}

node_t clone_sharing_words(Cell* value, u32 kind) {
    // Laid out directly rather than through wrap: errors are made this way,
    // one per raise. The values first, empty (nothing for a collection to
    // read) and guarded while the context node is made; the original's
    // table is kept by the original, which `value` holds.
    u32 size = word_count(TO_CTX(value->data1));
    node_t values = alloc_cells(size);
    collector::Guard values_root(values);
    node_t ctx = alloc_cells(2);
    const Cell* old = TO_CTX(value->data1);  // the allocations may have moved it
    SeriesBuffer* vb = GET_BUFFER(values);
    std::memcpy(vb->data(), GET_BUFFER(old->data2)->head(), size * sizeof(Cell));
    vb->tail = vb->offset + size * sizeof(Cell);
    SeriesBuffer* b = GET_BUFFER(ctx);
    Cell* c = reinterpret_cast<Cell*>(b->head());
    u32 header = TYPE_CONTEXT_ID | ((kind << CTX_KIND_SHIFT) & CTX_KIND_MASK) | (old->header & CTX_SELF) |
                 CTX_SHARED_WORDS;
    make_cell(c, header, table_of(old), values);
    value->data1 = ctx;
    c[1] = *value;
    b->tail = b->offset + 2 * sizeof(Cell);
    return ctx;
}

Cell* own_words(node_t ctx) {
    Cell* c = TO_CTX(ctx);
    if (!(c->header & CTX_SHARED_WORDS)) return c;
    collector::Guard ctx_root(ctx);
    node_t table = copy_words(ctx, ctx);
    c = TO_CTX(ctx);
    c->data1 = table;
    c->header &= ~CTX_SHARED_WORDS;
    return c;
}

i32 bind_word(Cell* ctx, Cell* word) {
    i32 idx = find_word(ctx, static_cast<i32>(word_symbol(word)), true);
    if (idx >= 0) {
        word->data1 = node_of(ctx);
        word->data3 = static_cast<u32>(idx);
    }
    return idx;
}

namespace {

// The words of one context by resolved symbol, for binding a whole block:
// a lookup is then two loads instead of a hash probe. Entries are valid for
// the current stamp only, so each bind starts afresh without clearing. A
// context holding two case variants of one word is left to its own table,
// whose choice between them depends on its probing history.
struct Binder {
    std::vector<u32> position;
    std::vector<u32> stamp;
    u32 current = 0;
    // The symbol block as symbol::resolve reads it, taken once per bind:
    // binding makes no symbol and moves no buffer.
    const Cell* symbols = nullptr;
    u32 symbol_count = 0;

    i32 resolve(i32 id) const {
        if (id < 1 || static_cast<u32>(id) > symbol_count) return id;
        i32 alias = symbol::cell_alias(symbols + (id - 1));
        return alias > 0 ? alias : id;
    }

    // False (and nothing to find) for case variants or a word of no interned symbol.
    bool load(const Cell* ctx) {
        if (++current == 0) {
            std::fill(stamp.begin(), stamp.end(), 0u);
            current = 1;
        }
        symbol_count = symbol::count();
        symbols = symbol_count ? symbol::get_raw(1) : nullptr;
        Cell* w = get_word_at(ctx, 0);
        for (u32 i = 0, n = word_count(ctx); i < n; i++) {
            u32 sym = static_cast<u32>(resolve(static_cast<i32>(word_symbol(w + i))));
            if (sym < 1 || sym > symbol_count) return false;
            if (sym >= stamp.size()) {
                position.resize(sym + 64);
                stamp.resize(sym + 64, 0);
            }
            if (stamp[sym] == current) return false;
            stamp[sym] = current;
            position[sym] = i;
        }
        return true;
    }
    i32 find(i32 symbol) const {
        u32 sym = static_cast<u32>(resolve(symbol));
        return sym < stamp.size() && stamp[sym] == current ? static_cast<i32>(position[sym]) : -1;
    }
};
Binder binder;

void bind_block(Cell* block, node_t cn, bool self, bool by_table) {
    node_t bn = series_node(block);
    if (cycles::find_q(bn)) return;
    CycleGuard guard(bn);
    memory::note_write(GET_BUFFER(bn));
    // Binding allocates nothing, so the cell pointers stay put.
    Cell* c = cells(bn) + series_head(block);
    Cell* end = cells(bn) + cell_count(bn);
    for (; c < end; c++) {
        u32 t = TYPE_OF(c);
        if (block::any_block_q(t)) {
            bind_block(c, cn, self, by_table);
        } else if (word::any_word_q(t)) {
            if (self && t == TYPE_WORD && static_cast<i32>(word_symbol(c)) == words::self) {
                c->data1 = cn;
                c->data3 = static_cast<u32>(-1);
            } else if (!by_table) {
                if (i32 idx = binder.find(static_cast<i32>(word_symbol(c))); idx >= 0) {
                    c->data1 = cn;
                    c->data3 = static_cast<u32>(idx);
                }
            } else {
                bind_word(TO_CTX(cn), c);
            }
        }
    }
}

}  // namespace

Cell* bind(Cell* block, Cell* ctx, bool self) {
    // Loading the binder costs a step per word of the context: worth it
    // unless a big context (the global one) binds a short block.
    u32 words = word_count(ctx), length = cell_count(series_node(block));
    bool by_table = (words > 16 && words > 4 * length) || !binder.load(ctx);
    bind_block(block, node_of(ctx), self, by_table);
    return block;
}

bool collect_set_words(Cell* ctx, Cell* block) {
    node_t cn = node_of(ctx);
    node_t bn = series_node(block);
    u32 before = word_count(ctx);
    for (u32 i = series_head(block); i < cell_count(bn); i++) {
        Cell* c = cells(bn) + i;
        if (TYPE_OF(c) != TYPE_SET_WORD) continue;
        // A word the context held before, spelt as it is here (the usual
        // field of an object made from a prototype), needs no hashed
        // look-up; add_word finds the others it holds.
        if (before && find_word(TO_CTX(cn), static_cast<i32>(word_symbol(c)), false) >= 0) continue;
        Cell w = *c;
        add_word(TO_CTX(cn), &w);
    }
    return word_count(TO_CTX(cn)) > before;
}

Cell* get_global(i32 symbol) {
    Cell* w = add_global_word(symbol, true, false);
    Cell word = *w;
    return get_in(&word, TO_CTX(global));
}

Cell* set_in_ctx(i32 symbol, const Cell* value, node_t ctx) {
    Cell v = *value;
    Cell word;
    make_cell(&word, TYPE_WORD, ctx, static_cast<u32>(symbol), static_cast<u32>(-1));
    i32 idx = find_word(TO_CTX(ctx), symbol, true);
    if (idx < 0) idx = add_word(TO_CTX(ctx), &word);
    word.data3 = static_cast<u32>(idx);
    return set_in(&word, &v, TO_CTX(ctx), false);
}

Cell* set_global(i32 symbol, const Cell* value) {
    Cell v = *value;
    Cell word = *add_global_word(symbol, true, false);
    return set_in(&word, &v, TO_CTX(global), false);
}

Cell* set_integer(Cell* word, i32 value, node_t ctx) {
    if (word_index(word) == -1) {
        i32 idx = find_word(TO_CTX(ctx), static_cast<i32>(word_symbol(word)), false);
        if (idx >= 0) word->data3 = static_cast<u32>(idx);
    }
    Cell v;
    make_cell(&v, TYPE_INTEGER, 0, static_cast<u32>(value));
    return set_in(word, &v, TO_CTX(ctx), false);
}

bool any_type_q(const Cell* word) {
    return symbol::resolve(static_cast<i32>(word->data2)) == symbol::resolve(words::any_type_t);
}

Cell* get_word_at(const Cell* ctx, u32 n) { return reinterpret_cast<Cell*>(get_words(ctx)->head()) + n; }

void init() {
    datatype::register_type(TYPE_CONTEXT_ID, 0, "context!", {});
}

void make_global(u32 size) {
    global = 0;
    global = create(size, false, false, nullptr, KIND_GLOBAL);
    collector::register_marker([] {
        if (global) collector::mark_context(global);
    });
}

}  // namespace zav::context
