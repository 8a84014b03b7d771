// Ownership of series by objects, for deep change notification.
#include "datatypes/ownership.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/word.h"
#include "datatypes/cycles.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/cell.h"

namespace zav::ownership {

node_t table = 0;

namespace {

inline Cell* cells(node_t n) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()); }
inline u32 length(node_t n) { return GET_BUFFER(n)->length(); }

void add_entry(node_t key, const Cell& v, const Cell& o, const Cell& w) {
    Cell* e = hashtable::put_int_key(table, key);
    e[0] = v;
    e[1] = o;
    e[2] = w;
}

// Pops the cycle stack on the way out.
struct CycleGuard {
    explicit CycleGuard(node_t n) { cycles::push(n); }
    ~CycleGuard() { cycles::pop(); }
};

void bind_cells(node_t block, u32 from, const Cell& o, const Cell& w) {
    if (cycles::find_q(block)) return;
    CycleGuard guard(block);
    // Entries allocate: read each cell afresh through the node.
    for (u32 i = from; i < length(block); i++) {
        Cell c = cells(block)[i];
        bind(&c, &o, &w);
    }
}

// Calls f(field copy, index) for each field of an object context that is
// neither an owner itself nor already being walked (cycles).
template <class F>
void for_each_field(node_t ctx, F f) {
    if (!ctx || (context::TO_CTX(ctx)->header & OWNER_CONTEXT) || cycles::find_q(ctx)) return;
    CycleGuard guard(ctx);
    for (u32 i = 0; i < context::word_count(context::TO_CTX(ctx)); i++) {
        Cell* values = context::values_of(context::TO_CTX(ctx));
        if (!values) return;
        Cell field = values[i];
        f(field, i);
    }
}

}  // namespace

void init() {
    table = 0;
    table = hashtable::init(1000, nullptr, hashtable::KIND_OWNERSHIP, 3);
    collector::register_marker([] {
        if (table) hashtable::mark(table);
    });
    // Entries whose value died go once marking is complete.
    collector::register_sweeper([] {
        if (table) hashtable::sweep_entries(table);
    });
}

void bind(const Cell* value, const Cell* owner, const Cell* word) {
    Cell v = *value, o = *owner, w = *word;
    u32 t = TYPE_OF(&v);
    if (series::series_q(t)) {
        node_t n = series_node(&v);
        if (!n) return;
        if (t == TYPE_IMAGE) {
            // The flag lives in the image cell; the entry is what later checks find.
            if (!hashtable::get_int_key(table, n)) {
                v.header |= OWNED_IMAGE;
                add_entry(n, v, o, w);
            }
        } else if (!(GET_BUFFER(n)->flags & SERIES_OWNED)) {
            GET_BUFFER(n)->flags |= SERIES_OWNED;
            add_entry(n, v, o, w);
        }
        if (block::any_block_q(t)) bind_cells(n, series_head(&v), o, w);
        return;
    }
    if (t == TYPE_BITSET) {
        node_t n = v.data2;
        if (n && !(GET_BUFFER(n)->flags & SERIES_OWNED)) {
            GET_BUFFER(n)->flags |= SERIES_OWNED;
            add_entry(n, v, o, w);
        }
        return;
    }
    if (t == TYPE_OBJECT) {
        for_each_field(v.data1, [&](Cell& field, u32 i) {
            if (TYPE_OF(&field) == TYPE_OBJECT && field.data1 == o.data1) return;
            Cell fw = *context::get_word_at(context::TO_CTX(v.data1), i);
            bind(&field, &o, &fw);
        });
    }
}

void set_owner(const Cell* value, const Cell* owner, const Cell* word) {
    Cell o = *owner;
    bind(value, &o, word);
    if (TYPE_OF(&o) == TYPE_OBJECT && o.data1) context::TO_CTX(o.data1)->header |= OWNER_CONTEXT;
}

void unbind(const Cell* value) {
    Cell v = *value;
    u32 t = TYPE_OF(&v);
    if (series::series_q(t) || t == TYPE_BITSET) {
        node_t n = series_node(&v);
        if (!n) return;
        if (t != TYPE_IMAGE) GET_BUFFER(n)->flags &= ~SERIES_OWNED;
        Cell* e = hashtable::get_int_key(table, n);
        if (!e) return;
        for (int i = 0; i < 3; i++) make_cell(e + i, TYPE_UNSET);
        hashtable::delete_int_key(table, n);
        // The entry is gone now, so meeting this block again ends the walk.
        if (block::any_block_q(t)) {
            for (u32 i = series_head(&v); i < length(n); i++) {
                Cell c = cells(n)[i];
                unbind(&c);
            }
        }
        return;
    }
    if (t == TYPE_OBJECT) for_each_field(v.data1, [](Cell& field, u32) { unbind(&field); });
}

void unbind_range(const Cell* block, u32 position, u32 count) {
    node_t n = series_node(block);
    for (u32 i = position; i < position + count && i < length(n); i++) {
        Cell c = cells(n)[i];
        unbind(&c);
    }
}

Cell* owned_q(node_t node) {
    Cell* e = hashtable::get_int_key(table, node);
    return e ? e + 1 : nullptr;
}

bool check(const Cell* value, i32 action, const Cell* new_value, i32 index, i32 count) {
    if (!table) return false;
    u32 t = TYPE_OF(value);
    node_t key;
    if (t == TYPE_OBJECT) {
        key = value->data1;
    } else if (series::series_q(t) || t == TYPE_BITSET) {
        key = series_node(value);
    } else {
        return false;
    }
    Cell* e = hashtable::get_int_key(table, key);
    if (!e || TYPE_OF(e + 1) != TYPE_OBJECT || e[1].data3 == 0) return false;
    Cell owner = e[1], word = e[2], target = *value;
    Cell nv;
    if (new_value) nv = *new_value; else make_cell(&nv, TYPE_NONE);
    Cell act;
    word::make_at(action, &act);
    object::fire_on_deep_change(&owner, &word, &target, &act, &nv, index, count);
    return true;
}

}  // namespace zav::ownership
