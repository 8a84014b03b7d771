// block!: the list of values programs and data are made of.
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/vector.h"

#include <algorithm>
#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "datatypes/forming.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/sort.h"
#include "datatypes/words.h"

namespace zav::block {

// ---- accessors -------------------------------------------------------------

u32 zs_length_q(const Cell* blk) {
    u32 len = buffer_of(blk)->length();
    u32 i = series_head(blk);
    return i >= len ? 0 : len - i;
}

bool zs_next(Cell* blk) {
    u32 len = buffer_of(blk)->length();
    if (series_head(blk) < len) series_head(blk)++;
    return series_head(blk) >= len;
}

Cell* zs_head(Cell* blk) {
    SeriesBuffer* b = buffer_of(blk);
    u32 len = b->length();
    if (series_head(blk) > len) series_head(blk) = len;
    return cells_of(b) + series_head(blk);
}

Cell* zs_tail(const Cell* blk) { return reinterpret_cast<Cell*>(buffer_of(blk)->tail_ptr()); }

bool zs_tail_q(const Cell* blk) { return series_head(blk) >= buffer_of(blk)->length(); }

Cell* zs_abs_at(const Cell* blk, u32 n) { return cells_of(buffer_of(blk)) + n; }

void zs_clear_at(Cell* blk, u32 n) {
    SeriesBuffer* b = buffer_of(blk);
    memory::note_write(b);
    if (n < b->length()) b->tail = b->offset + n * sizeof(Cell);
}

void zs_clear(Cell* blk) { zs_clear_at(blk, series_head(blk)); }

Cell* zs_append(Cell* blk, const Cell* value) {
    Cell v = *value;  // the value may live in this very buffer, which may move
    Cell* c = alloc_at_tail(series_node(blk));
    *c = v;
    return c;
}

void zs_pop(Cell* blk) {
    SeriesBuffer* b = buffer_of(blk);
    u32 len = b->length();
    if (!len) return;
    memory::note_write(b);
    b->tail -= sizeof(Cell);
    if (series_head(blk) > len - 1) series_head(blk) = len - 1;
}

void zs_append_block(Cell* target, Cell* source) {
    u32 n = zs_length_q(source);
    if (!n) return;
    u32 from = series_head(source);
    node_t src = series_node(source);
    SeriesBuffer* t = buffer_of(target);
    u8* dst = alloc_tail_unit(t, n * sizeof(Cell));
    // Re-read the source after the growth: it may be the target itself.
    std::memmove(dst, cells_of(GET_BUFFER(src)) + from, n * sizeof(Cell));
}

// ---- builders --------------------------------------------------------------

Cell* make_at(Cell* cell, u32 capacity) {
    node_t node = alloc_cells(capacity ? capacity : 1);
    return make_cell(cell, TYPE_BLOCK, 0, node, 0);
}

Cell* make_fixed_at(Cell* cell, u32 capacity, bool fixed) {
    if (!fixed) return make_at(cell, capacity);
    node_t node = alloc_fixed_buffer(capacity ? capacity : 1, sizeof(Cell), 0);
    return make_cell(cell, TYPE_BLOCK, 0, node, 0);
}

Cell* make_in_star(Cell* parent, u32 capacity, const Cell* model) {
    u32 type = model ? TYPE_OF(model) : TYPE_BLOCK;
    if (!any_block_q(type) || type == TYPE_PAREN) type = TYPE_BLOCK;
    node_t pnode = parent ? series_node(parent) : root;
    // The cell is made first so that the new series is reachable once it exists.
    alloc_at_tail(pnode);
    u32 index = GET_BUFFER(pnode)->length() - 1;
    node_t node = alloc_cells(capacity ? capacity : 1);
    Cell* c = cells_of(GET_BUFFER(pnode)) + index;
    make_cell(c, type, 0, node, 0);
    if (type == TYPE_HASH) {
        node_t table = hashtable::init(capacity, c, hashtable::KIND_HASH, 0);
        c = cells_of(GET_BUFFER(pnode)) + index;
        c->data3 = table;
    }
    return c;
}

Cell* make_in(Cell* parent, u32 capacity) { return make_in_star(parent, capacity, nullptr); }

Cell* push(const Cell* blk) { return stack::push(blk); }

Cell* push_only_star(u32 capacity) {
    Cell* c = stack::push_star();
    make_cell(c, TYPE_NONE);
    return make_at(c, capacity);
}

// ---- shared workers --------------------------------------------------------

namespace {

Cell none_cell{TYPE_NONE, 0, 0, 0};

inline bool number_q(u32 t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

[[noreturn]] void bad_refine(const char* name, Cell* value) {
    Cell w;
    fire("script", "invalid-refine-arg", series::word_arg(&w, name), value);
}

// Count of a /dup argument (at least 0).
i64 dup_count(Cell* dup) {
    if (!dup) return 1;
    if (TYPE_OF(dup) != TYPE_INTEGER) bad_refine("dup", dup);
    i32 n = static_cast<i32>(dup->data2);
    return n < 0 ? 0 : n;
}

// Makes room for `need` cells from the buffer's offset; `slack` doubles it.
SeriesBuffer* reserve(Cell* blk, u64 need, bool slack) {
    SeriesBuffer* b = buffer_of(blk);
    u64 bytes = need * sizeof(Cell);
    if (bytes > 0xFFFFFFF0u) fire("internal", "no-memory");
    if (bytes <= u64(off_of(b->data_end()) - b->offset)) return b;
    u64 want = slack && bytes * 2 <= 0xFFFFFFF0u ? bytes * 2 : bytes;
    return expand_series(b, static_cast<u32>(want));
}

// Copies n source cells to dst, then repeats the run by doubling until total cells are filled.
void fill_cells(Cell* dst, const Cell* src, u32 n, u64 total) {
    if (n == 0) return;  // a source emptied by a change handler
    std::memcpy(dst, src, u64(n) * sizeof(Cell));
    u64 done = n;
    while (done < total) {
        u64 chunk = std::min(done, total - done);
        std::memcpy(dst + done, dst, chunk * sizeof(Cell));
        done += chunk;
    }
}

// The cells of an insert or change source, read before the target changes.
struct Source {
    std::vector<Cell> cells;
    Cell single;
    const Cell* data = nullptr;
    u32 n = 0;
};

void read_source(Source& src, Cell* value, bool many, u32 n) {
    src.n = n;
    if (!many) {
        src.single = *value;
        src.data = &src.single;
        return;
    }
    const Cell* from = zs_head(value);
    src.cells.assign(from, from + n);
    src.data = src.cells.data();
}

bool is_series_cell(u32 t) { return series::series_q(t); }

// Replaces a series cell by its deep copy through the copy action.
void deep_copy_cell(node_t node, u32 k) {
    Cell v = cells_of(GET_BUFFER(node))[k];
    u32 t = TYPE_OF(&v);
    if (!is_series_cell(t)) return;
    Cell* held = stack::push(&v);
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    actions::typed<action_fn::Copy>(held, ACT_COPY)(held, out, nullptr, true, nullptr);
    cells_of(GET_BUFFER(node))[k] = *out;
    stack::pop(2);
}

// Compares two cells by value under op, on copies (a compare may allocate).
i32 compare_cells(const Cell* a, const Cell* b, i32 op) {
    Cell x = *a, y = *b;
    return actions::compare_value(&x, &y, op);
}

bool equal_cells(const Cell* a, const Cell* b, i32 op) { return compare_cells(a, b, op) == 0; }

// The search of find and select. Answers the absolute position of the match
// (past it with tail) and sets `len_out` to the matched length; -1 when none.
i64 search(Cell* blk, Cell* value, Cell* part, bool only, bool case_, bool same, Cell* skip, bool last,
           bool reverse, bool match, u32& matched) {
    u32 len = buffer_of(blk)->length();
    if (series_head(blk) > len) series_head(blk) = len;
    i64 index = series_head(blk);
    if (len == 0 || (!reverse && index >= len)) return -1;
    i64 step = 1;
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) bad_refine("skip", skip);
        step = static_cast<i32>(skip->data2);
        if (step < 1) fire("script", "out-of-range", skip);
    }
    i64 end = len - 1;  // last cell searched
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            i32 n = static_cast<i32>(part->data2);
            if (n < 1) return -1;
            end = index + n - 1;
        } else if (TYPE_OF(part) == TYPE_OF(blk) && series_node(part) == series_node(blk)) {
            end = i64(series_head(part)) - 1;
        } else {
            bad_refine("part", part);
        }
        if (end > len - 1) end = len - 1;
    }
    u32 vt = TYPE_OF(value);
    bool by_type = !only && vt == TYPE_DATATYPE;
    bool by_typeset = !only && vt == TYPE_TYPESET;
    bool seq = !only && any_block_q(vt);
    Cell key = *value;
    std::vector<Cell> keys;
    if (seq) {
        u32 n = zs_length_q(value);
        const Cell* h = zs_head(value);
        keys.assign(h, h + n);
    }
    u32 klen = seq ? static_cast<u32>(keys.size()) : 1;
    matched = klen;
    i32 op = case_ ? COMP_STRICT_EQUAL : same ? COMP_SAME : COMP_FIND;

    // hash!: its table answers single-value searches.
    if (TYPE_OF(blk) == TYPE_HASH && blk->data3 && !match && !seq && !by_type && !by_typeset &&
        (vt != TYPE_OBJECT || same)) {
        Cell* hit = hashtable::get(blk->data3, &key, static_cast<i32>(index), static_cast<i32>(step), op, last,
                                   reverse);
        if (!hit) return -1;
        i64 pos = hit - cells_of(buffer_of(blk));
        if (pos > end) return -1;
        return pos;
    }

    node_t node = series_node(blk);
    auto matches = [&](i64 pos) -> bool {
        if (pos < 0 || pos + klen - 1 > (reverse ? i64(len) - 1 : end)) return false;
        const Cell* c = cells_of(GET_BUFFER(node)) + pos;
        if (by_type) return TYPE_OF(c) == key.data1;
        if (by_typeset) return typeset_has(&key, TYPE_OF(c));
        if (!seq) return equal_cells(c, &key, op);
        for (u32 j = 0; j < klen; j++) {
            if (!equal_cells(cells_of(GET_BUFFER(node)) + pos + j, &keys[j], op)) return false;
        }
        return true;
    };
    i64 first, stop, dir;
    if (reverse) {
        first = index - klen;
        if (first < 0) return -1;
        stop = 0;
        dir = -step;
    } else if (last) {
        first = end - klen + 1;
        stop = index;
        dir = -step;
    } else {
        first = index;
        stop = end - klen + 1;
        dir = step;
    }
    for (i64 pos = first; dir > 0 ? pos <= stop : pos >= stop; pos += dir) {
        if (matches(pos)) return pos;
        if (match) break;
    }
    return -1;
}

}  // namespace

// ---- insert, append, change ------------------------------------------------

Cell* insert(Cell* blk, Cell* value, Cell* part, bool only, Cell* dup, bool append) {
    bool many = !only && any_block_q(TYPE_OF(value));
    u32 cnt = many ? zs_length_q(value) : 1;
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            i32 p = static_cast<i32>(part->data2);
            if (p >= 0 && static_cast<u32>(p) < cnt) cnt = static_cast<u32>(p);
        } else if (many && any_block_q(TYPE_OF(part)) && series_node(part) == series_node(value)) {
            // A position in the inserted block's own series: the cells up to it.
            i64 d = i64(series_head(part)) - series_head(value);
            cnt = static_cast<u32>(std::clamp<i64>(d, 0, cnt));
        } else {
            bad_refine("part", part);
        }
    }
    u64 total = u64(cnt) * dup_count(dup);
    u32 len = buffer_of(blk)->length();
    if (series_head(blk) > len) series_head(blk) = len;
    if (total == 0) {
        if (append) series_head(blk) = 0;
        return blk;
    }
    if ((u64(len) + total) * sizeof(Cell) > 0xFFFFFFF0u) fire("internal", "no-memory");
    u32 pos = append ? len : series_head(blk);
    series::tell(blk, append ? "append" : "insert", pos, static_cast<u32>(total), value);
    // A change handler may have changed the target or the source (and
    // dropped the source's values): measure both again and copy the source
    // only now, so that its cells are not held outside the collector's view.
    len = buffer_of(blk)->length();
    if (series_head(blk) > len) series_head(blk) = len;
    pos = append ? len : series_head(blk);
    if (many) {
        cnt = std::min(cnt, zs_length_q(value));
        total = u64(cnt) * dup_count(dup);
    }
    Source src;
    read_source(src, value, many, cnt);
    SeriesBuffer* b = reserve(blk, u64(len) + total, dup_count(dup) < 5);
    u32 bytes = static_cast<u32>(total * sizeof(Cell));
    // A hash!'s index is refreshed below for the values after pos: they must be the ones that move.
    Cell* at = TYPE_OF(blk) == TYPE_HASH ? nullptr : reinterpret_cast<Cell*>(open_gap(b, pos * sizeof(Cell), bytes));
    if (!at) {
        at = cells_of(b) + pos;
        std::memmove(at + total, at, u64(len - pos) * sizeof(Cell));
        b->tail += bytes;
    }
    fill_cells(at, src.data, cnt, total);
    if (TYPE_OF(blk) == TYPE_HASH && blk->data3) {
        bool rebuild = pos < len && hashtable::refresh(blk->data3, static_cast<i32>(total), pos, len - pos, false);
        if (rebuild) {
            series::hash_rebuild(blk);
        } else {
            for (u64 k = 0; k < total; k++) hashtable::put(blk->data3, cells_of(buffer_of(blk)) + pos + k);
        }
    }
    series::tell(blk, append ? "appended" : "inserted", pos, static_cast<u32>(total), cnt ? &src.data[0] : value);
    series_head(blk) = append ? 0 : static_cast<u32>(std::min<u64>(pos + total, buffer_of(blk)->length()));
    return blk;
}

Cell* change(Cell* blk, Cell* value, Cell* part, bool only, Cell* dup) {
    bool many = !only && any_block_q(TYPE_OF(value));
    u32 len, i, n;
    u64 w, r, new_len;
    auto measure = [&] {
        len = buffer_of(blk)->length();
        if (series_head(blk) > len) series_head(blk) = len;
        i = series_head(blk);
        n = many ? zs_length_q(value) : 1;
        w = u64(n) * dup_count(dup);
        if (w * sizeof(Cell) > 0xFFFFFFF0u) fire("internal", "no-memory");
        u32 remaining = len - i;
        if (part) {
            if (TYPE_OF(part) == TYPE_INTEGER) {
                i32 p = static_cast<i32>(part->data2);
                r = p < 0 ? 0 : std::min<u32>(static_cast<u32>(p), remaining);
            } else if (TYPE_OF(part) == TYPE_OF(blk) && series_node(part) == series_node(blk)) {
                i64 d = i64(series_head(part)) - i;
                r = d < 0 ? 0 : std::min<i64>(d, remaining);
            } else {
                bad_refine("part", part);
            }
        } else {
            r = std::min<u64>(w, remaining);
        }
        new_len = u64(len) + w - r;
    };
    measure();
    bool owned = buffer_of(blk)->flags & SERIES_OWNED;
    series::tell(blk, "change", i, static_cast<u32>(w));
    // A change handler may have changed the target or the source (and
    // dropped the source's values): measure both again and copy the source
    // only now, so that its cells are not held outside the collector's view.
    if (owned) measure();
    Source src;
    read_source(src, value, many, n);
    // Grown with room to spare, as insert grows: a block changed into a
    // longer one over and over would otherwise be copied whole each time.
    SeriesBuffer* b = reserve(blk, new_len, dup_count(dup) < 5);
    Cell* cells = cells_of(b);
    if (w != r) std::memmove(cells + i + w, cells + i + r, (len - i - r) * sizeof(Cell));
    if (w) fill_cells(cells + i, src.data, n, w);
    b->tail = b->offset + static_cast<u32>(new_len * sizeof(Cell));
    series::hash_rebuild(blk);
    series::tell(blk, "changed", i, static_cast<u32>(w));
    series_head(blk) = static_cast<u32>(std::min<u64>(i + w, new_len));
    return blk;
}

Cell* insert_value(Cell* blk, const Cell* value) {
    u32 i = series_head(blk);
    Cell v = *value;
    insert(blk, &v, nullptr, true, nullptr, false);
    series_head(blk) = i;
    return blk;
}

void insert_block(Cell* blk, Cell* source) {
    u32 i = series_head(blk);
    insert(blk, source, nullptr, false, nullptr, false);
    series_head(blk) = i;
}

void insert_thru() {
    Cell* value = stack::top - 1;
    Cell* blk = stack::top - 2;
    insert(blk, value, nullptr, true, nullptr, false);
    stack::pop(1);
}

void append_thru() {
    Cell* value = stack::top - 1;
    Cell* blk = stack::top - 2;
    zs_append(blk, value);
    stack::pop(1);
}

u32 append_star() {
    u32 t = TYPE_OF(stack::top - 1);
    append_thru();
    return t;
}

// ---- copies ----------------------------------------------------------------

void set_flags_deep(const Cell* blk, u32 bits) {
    SeriesBuffer* b = buffer_of(blk);
    if ((b->flags & bits) == bits) return;
    b->flags |= bits;
    for (u32 i = 0, n = b->length(); i < n; i++) {
        Cell* c = cells_of(buffer_of(blk)) + i;
        if (any_block_q(TYPE_OF(c))) set_flags_deep(c, bits);
    }
}

Cell* clone(Cell* blk, bool deep, bool paths) {
    u32 n = zs_length_q(blk);
    node_t src = series_node(blk);
    u32 from = series_head(blk);
    Cell* out = push_only_star(n);
    node_t node = series_node(out);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), cells_of(GET_BUFFER(src)) + from, u64(n) * sizeof(Cell));
    b->tail = b->offset + n * sizeof(Cell);
    if (!deep) return out;
    if (cycles::find_q(src)) {
        cycles::reset();
        fire("internal", "no-cycle");
    }
    cycles::push(src);
    for (u32 k = 0; k < n; k++) {
        Cell v = cells_of(GET_BUFFER(node))[k];
        u32 t = TYPE_OF(&v);
        if (t != TYPE_BLOCK && !(paths && (t == TYPE_PAREN || any_path_q(t)))) continue;
        Cell* inner = clone(&v, true, paths);
        set_type(inner, t);
        inner->header = (inner->header & TYPE_MASK) | (v.header & ~TYPE_MASK);
        cells_of(GET_BUFFER(node))[k] = *inner;
        stack::pop(1);
    }
    cycles::pop();
    return out;
}

void copy_types(Cell* blk, u32 from, u32 count, Cell* types, bool deep) {
    node_t node = series_node(blk);
    for (u32 k = from; k < from + count && k < GET_BUFFER(node)->length(); k++) {
        Cell v = cells_of(GET_BUFFER(node))[k];
        u32 t = TYPE_OF(&v);
        bool in = TYPE_OF(types) == TYPE_DATATYPE ? t == types->data1 : typeset_has(types, t);
        if (!in) continue;
        if (!(series::series_q(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP))
            continue;
        Cell* held = stack::push(&v);
        Cell* out = stack::push_star();
        make_cell(out, TYPE_NONE);
        actions::typed<action_fn::Copy>(held, ACT_COPY)(held, out, nullptr, deep, nullptr);
        cells_of(GET_BUFFER(node))[k] = *out;
        stack::pop(2);
    }
}

Cell* copy(Cell* blk, Cell* result, Cell* part, bool deep, Cell* types) {
    node_t src = series_node(blk);
    if (!series::copy(blk, result, part, deep, types)) return nullptr;  // its error pending
    if (types) {
        copy_types(result, 0, buffer_of(result)->length(), types, deep);
        return result;
    }
    if (!deep) return result;
    if (cycles::find_q(src)) {
        cycles::reset();
        fire("internal", "no-cycle");
    }
    // The copy stays reachable on the stack while its cells are copied.
    Cell* held = stack::push(result);
    cycles::push(src);
    node_t node = series_node(held);
    for (u32 k = 0; k < GET_BUFFER(node)->length(); k++) deep_copy_cell(node, k);
    cycles::pop();
    stack::pop(1);
    return result;
}

Cell* take(Cell* blk, Cell* part, bool deep, bool last) {
    if (!series::take(blk, part, deep, last)) return nullptr;  // its error pending
    if (!deep || TYPE_OF(blk) == TYPE_NONE) return blk;
    if (part) {
        node_t node = series_node(blk);
        for (u32 k = 0; k < GET_BUFFER(node)->length(); k++) deep_copy_cell(node, k);
    } else if (is_series_cell(TYPE_OF(blk))) {
        Cell* held = stack::push(blk);
        actions::typed<action_fn::Copy>(held, ACT_COPY)(held, blk, nullptr, true, nullptr);
        stack::pop(1);
    }
    return blk;
}

// ---- searches --------------------------------------------------------------

Cell* find(Cell* blk, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    u32 matched;
    i64 pos = search(blk, value, part, only, case_, same, skip, last, reverse, match, matched);
    if (pos < 0) return make_cell(blk, TYPE_NONE);
    series_head(blk) = static_cast<u32>(tail ? pos + matched : pos);
    return blk;
}

Cell* select(Cell* blk, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
             bool last, bool reverse) {
    u32 matched;
    i64 pos = search(blk, value, part, only, case_, same, skip, last, reverse, false, matched);
    if (pos < 0 || pos + matched >= buffer_of(blk)->length()) return make_cell(blk, TYPE_NONE);
    return copy_cell(cells_of(buffer_of(blk)) + pos + matched, blk);
}

Cell* select_word(Cell* blk, const Cell* word, bool strict) {
    i32 sym = static_cast<i32>(word->data2);
    i32 want = strict ? sym : symbol::resolve(sym);
    SeriesBuffer* b = buffer_of(blk);
    u32 len = b->length();
    Cell* cells = cells_of(b);
    for (u32 k = series_head(blk); k + 1 < len; k++) {
        if (!word::any_word_q(TYPE_OF(cells + k))) continue;
        i32 s = static_cast<i32>(cells[k].data2);
        if ((strict ? s : symbol::resolve(s)) == want) return cells + k + 1;
    }
    return &none_cell;
}

Cell* select_by_compare(Cell* blk, Cell* value) {
    u32 len = buffer_of(blk)->length();
    for (u32 k = series_head(blk); k + 1 < len; k++) {
        if (equal_cells(cells_of(buffer_of(blk)) + k, value, COMP_FIND)) return cells_of(buffer_of(blk)) + k + 1;
    }
    return &none_cell;
}

void remove_by_compare(Cell* blk, Cell* value, bool from_head) {
    u32 len = buffer_of(blk)->length();
    for (u32 k = from_head ? 0 : series_head(blk); k < len; k++) {
        if (!equal_cells(cells_of(buffer_of(blk)) + k, value, COMP_FIND)) continue;
        Cell s = *blk;
        series_head(&s) = k;
        series::remove(&s, nullptr, nullptr);
        return;
    }
}

Cell* put(Cell* blk, Cell* key, Cell* value, bool case_) {
    Cell k = *key, v = *value;
    u32 matched;
    Cell s = *blk;
    i64 pos = search(&s, &k, nullptr, true, case_, false, nullptr, false, false, false, matched);
    u32 len = buffer_of(blk)->length();
    if (pos < 0) {
        series::tell(blk, "put", len, 2);
        zs_append(blk, &k);
        zs_append(blk, &v);
        if (TYPE_OF(blk) == TYPE_HASH && blk->data3) {
            hashtable::put(blk->data3, cells_of(buffer_of(blk)) + len);
            hashtable::put(blk->data3, cells_of(buffer_of(blk)) + len + 1);
        }
        series::tell(blk, "put-ed", len, 2);
    } else {
        u32 at_p = static_cast<u32>(pos) + 1;
        series::tell(blk, "put", at_p, 1);
        if (at_p >= len) {
            zs_append(blk, &v);
            if (TYPE_OF(blk) == TYPE_HASH && blk->data3) hashtable::put(blk->data3, cells_of(buffer_of(blk)) + at_p);
        } else if (!equal_cells(cells_of(buffer_of(blk)) + at_p, &v, COMP_FIND)) {
            if (TYPE_OF(blk) == TYPE_HASH && blk->data3) hashtable::delete_(blk->data3, at_p, 1);
            cells_of(buffer_of(blk))[at_p] = v;
            if (TYPE_OF(blk) == TYPE_HASH && blk->data3) hashtable::put(blk->data3, cells_of(buffer_of(blk)) + at_p);
        }
        series::tell(blk, "put-ed", at_p, 1);
    }
    return copy_cell(&v, blk);
}

// ---- sort, swap, trim ------------------------------------------------------

namespace {

struct SortSpec {
    i32 op;
    u32 column;
    u32 size;
    bool all;
    bool reverse;
    Cell* fn = nullptr;     // on the value stack: the /compare function, or null
    Cell* args = nullptr;   // on the value stack: the block of the two arguments
    Cell* rec_a = nullptr;  // on the value stack, with /all: the two records
    Cell* rec_b = nullptr;
};

// Fills a scratch block (through its node: a call may move its buffer).
void fill_scratch(Cell* blk, const Cell* from, u32 n) {
    SeriesBuffer* b = buffer_of(blk);
    std::memcpy(cells_of(b), from, u64(n) * sizeof(Cell));
    b->tail = b->offset + n * sizeof(Cell);
}

// The user's comparator sees the two values (or, with /all, the two records
// as blocks); /reverse swaps them.
int sort_call(const SortSpec& spec, const Cell* a, const Cell* b) {
    if (spec.reverse) std::swap(a, b);
    Cell pair[2];
    if (spec.all && spec.size > 1) {
        std::vector<Cell> ra(a, a + spec.size), rb(b, b + spec.size);
        fill_scratch(spec.rec_a, ra.data(), spec.size);
        fill_scratch(spec.rec_b, rb.data(), spec.size);
        pair[0] = *spec.rec_a;
        pair[1] = *spec.rec_b;
    } else {
        pair[0] = a[spec.column];
        pair[1] = b[spec.column];
    }
    fill_scratch(spec.args, pair, 2);
    Cell fn = *spec.fn;
    return function::call_comparator(&fn, spec.args);
}

i32 sort_cells(const Cell* a, const Cell* b, i32 op) {
    // Two integers, the commonest keys, compare in place: whatever the
    // comparison's kind, their order is their values' order.
    if (TYPE_OF(a) == TYPE_INTEGER && TYPE_OF(b) == TYPE_INTEGER) {
        i32 x = integer::get(a), y = integer::get(b);
        return x == y ? 0 : (x < y ? -1 : 1);
    }
    // Two strings, the commonest text keys, are ordered without the action
    // dispatch and the copies: the comparison neither allocates nor writes.
    if (TYPE_OF(a) == TYPE_STRING && TYPE_OF(b) == TYPE_STRING)
        return string::equal_q(const_cast<Cell*>(a), const_cast<Cell*>(b), op, false);
    i32 r = compare_cells(a, b, op);
    if (r == -2) {
        u32 ta = TYPE_OF(a), tb = TYPE_OF(b);
        return ta == tb ? 0 : (ta < tb ? -1 : 1);
    }
    return r;
}

int sort_compare(const void* pa, const void* pb, uintptr_t ctx, uintptr_t) {
    const SortSpec& spec = *reinterpret_cast<const SortSpec*>(ctx);
    const Cell* a = static_cast<const Cell*>(pa);
    const Cell* b = static_cast<const Cell*>(pb);
    if (spec.fn) return sort_call(spec, a, b);
    if (spec.reverse) std::swap(a, b);
    if (!spec.all) return sort_cells(a + spec.column, b + spec.column, spec.op);
    for (u32 j = 0; j < spec.size; j++) {
        i32 r = sort_cells(a + j, b + j, spec.op);
        if (r) return r;
    }
    return 0;
}

// A string sorted by key: its first code points packed in one word, so that
// most comparisons read neither its cell nor its buffer.
struct TextKey {
    u64 prefix;
    u32 index;  // in the unsorted values
    u32 state;  // string::sort_prefix's
};
static_assert(sizeof(TextKey) == 16);

struct TextKeys {
    const Cell* values;
    i32 op;
    bool reverse;
};

int text_key_compare(const void* pa, const void* pb, uintptr_t ctx, uintptr_t) {
    const TextKeys& keys = *reinterpret_cast<const TextKeys*>(ctx);
    const TextKey* a = static_cast<const TextKey*>(pa);
    const TextKey* b = static_cast<const TextKey*>(pb);
    if (keys.reverse) std::swap(a, b);
    if (a->state != string::PREFIX_NONE && b->state != string::PREFIX_NONE) {
        if (a->prefix != b->prefix) return a->prefix < b->prefix ? -1 : 1;
        if (a->state < string::PREFIX_PART && b->state < string::PREFIX_PART)
            return a->state < b->state ? -1 : a->state > b->state ? 1 : 0;
    }
    return string::equal_q(const_cast<Cell*>(keys.values + a->index), const_cast<Cell*>(keys.values + b->index),
                           keys.op, false);
}

// Sorts n strings by key (the same comparisons' outcomes as sort_compare,
// so the same order, equal values included) into `out`; false, with
// nothing written, when some value is no string.
bool sort_texts(const Cell* values, u32 n, const SortSpec& spec, bool stable, Cell* out) {
    for (u32 i = 0; i < n; i++)
        if (TYPE_OF(values + i) != TYPE_STRING) return false;
    std::vector<TextKey> keys(n);
    for (u32 i = 0; i < n; i++) {
        keys[i].index = i;
        keys[i].prefix = string::sort_prefix(values + i, spec.op == COMP_CASE_SORT, &keys[i].state);
    }
    TextKeys ctx{values, spec.op, spec.reverse};
    auto c = reinterpret_cast<uintptr_t>(&ctx);
    if (stable) sort::mergesort(keys.data(), n, sizeof(TextKey), c, 0, text_key_compare);
    else sort::qsort(keys.data(), n, sizeof(TextKey), c, 0, text_key_compare);
    for (u32 i = 0; i < n; i++) out[i] = values[keys[i].index];
    return true;
}

}  // namespace

Cell* sort(Cell* blk, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable) {
    u32 remaining = series::length_from(blk, false);
    if (!remaining) return blk;
    u32 start = series_head(blk);
    u32 n = part ? series::part_range(blk, part, true, false, start, true) : remaining;
    if (stack::pending) return nullptr;
    SortSpec spec{case_ ? COMP_CASE_SORT : COMP_SORT, 0, 1, all, reverse};
    Cell* base = stack::top;  // the comparator's scratch cells go above it
    // Its argument errors are raised pending: the sort action returns at once.
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) return series::refine_arg_error("skip", skip, true);
        i32 k = static_cast<i32>(skip->data2);
        if (k < 1) return fire_or_pend(true, "script", "out-of-range", skip);
        spec.size = static_cast<u32>(k);
        if (n % spec.size) return series::refine_arg_error("skip", skip, true);
    }
    if (comparator) {
        u32 ct = TYPE_OF(comparator);
        if (ct == TYPE_INTEGER) {
            if (all) fire("script", "bad-refines");
            i32 c = static_cast<i32>(comparator->data2);
            if (c < 1 || static_cast<u32>(c) > spec.size) fire("script", "out-of-range", comparator);
            spec.column = static_cast<u32>(c) - 1;
        } else if (ct == TYPE_FUNCTION) {
            function::check_callback(comparator, 2, "compare");
            spec.fn = stack::push(comparator);
            spec.args = push_only_star(2);
            if (all && spec.size > 1) {
                spec.rec_a = push_only_star(spec.size);
                spec.rec_b = push_only_star(spec.size);
            }
        } else {
            bad_refine("compare", comparator);
        }
    }
    if (n < 2 * spec.size) {
        stack::top = base;
        return blk;
    }
    series::tell(blk, "sort", start, n);
    // Sorted in a private copy: comparisons may allocate and move the buffer.
    // A comparison function may also change the block: a copy on the value
    // stack keeps the values being sorted alive, and a block changed under
    // its own sort is an error that leaves it as the comparator made it
    // (putting the sorted copy back would lose or repeat values).
    node_t keep = 0;
    u32 total = buffer_of(blk)->length();
    if (spec.fn) {
        keep = copy_series_part(series_node(blk), start, n);
        make_cell(stack::push_star(), TYPE_BLOCK, 0, keep, 0);
    }
    std::vector<Cell> tmp(cells_of(buffer_of(blk)) + start, cells_of(buffer_of(blk)) + start + n);
    u32 count = n / spec.size;
    u32 bytes = spec.size * sizeof(Cell);
    // Strings sorted by key go straight back into the block (nothing in that
    // sort allocates, so the buffer stays put).
    if (spec.fn || spec.size != 1 || !sort_texts(tmp.data(), count, spec, stable, cells_of(buffer_of(blk)) + start)) {
        if (stable) sort::mergesort(tmp.data(), count, bytes, reinterpret_cast<uintptr_t>(&spec), 0, sort_compare);
        else sort::qsort(tmp.data(), count, bytes, reinterpret_cast<uintptr_t>(&spec), 0, sort_compare);
        if (keep && (buffer_of(blk)->length() != total ||
                     std::memcmp(cells_of(buffer_of(blk)) + start, cells_of(GET_BUFFER(keep)), u64(n) * sizeof(Cell)))) {
            stack::top = base;
            fire("script", "protected");
        }
        std::memcpy(cells_of(buffer_of(blk)) + start, tmp.data(), u64(n) * sizeof(Cell));
    }
    series::hash_rebuild(blk);
    series::tell(blk, "sorted", start, n);
    stack::top = base;
    return blk;
}

Cell* swap(Cell* blk1, Cell* blk2) {
    if (!any_block_q(TYPE_OF(blk2))) fire("script", "invalid-arg", blk2);
    if (zs_tail_q(blk1) || zs_tail_q(blk2)) return blk1;
    u32 i = series_head(blk1), j = series_head(blk2);
    series::tell(blk1, "swap", i, 1);
    series::tell(blk2, "swap", j, 1);
    for (Cell* s : {blk1, blk2})
        if (TYPE_OF(s) == TYPE_HASH && s->data3) hashtable::delete_(s->data3, series_head(s), 1);
    Cell* a = cells_of(buffer_of(blk1)) + i;
    Cell* b = cells_of(buffer_of(blk2)) + j;
    std::swap(*a, *b);
    for (Cell* s : {blk1, blk2})
        if (TYPE_OF(s) == TYPE_HASH && s->data3) hashtable::put(s->data3, cells_of(buffer_of(s)) + series_head(s));
    series::tell(blk1, "swaped", i, 1);
    series::tell(blk2, "swaped", j, 1);
    return blk1;
}

Cell* trim(Cell* blk, bool, bool, bool, bool, bool, Cell*) {
    u32 n = series::length_from(blk, false);
    if (!n) return blk;
    u32 i = series_head(blk);
    series::tell(blk, "trim", i, n);
    SeriesBuffer* b = buffer_of(blk);
    Cell* cells = cells_of(b);
    u32 out = i;
    for (u32 k = i; k < i + n; k++)
        if (TYPE_OF(cells + k) != TYPE_NONE) cells[out++] = cells[k];
    b->tail = b->offset + out * sizeof(Cell);
    series::hash_rebuild(blk);
    series::tell(blk, "trimmed", i, n);
    return blk;
}

// ---- form, mold, compare ---------------------------------------------------

bool cycle_mark(const Cell* value, Cell* buffer, i32& part, bool mold) {
    return cycles::detect_q(value, buffer, part, mold);
}

namespace {

u32 last_char(Cell* buffer) {
    SeriesBuffer* b = GET_BUFFER(series_node(buffer));
    if (b->tail == b->offset) return 0;
    return string::get_char(b->tail_ptr() - b->unit(), b->unit());
}

i32 mold_depth = 0;  // nesting of cells being molded

}  // namespace

i32 form(Cell* blk, Cell* buffer, Cell* arg, i32 part) {
    if (cycle_mark(blk, buffer, part, false)) return part;
    node_t node = series_node(blk);
    u32 from = series_head(blk);
    cycles::push(node);
    for (u32 k = from; k < GET_BUFFER(node)->length(); k++) {
        if (arg && part < 1) break;
        if (k != from) {
            u32 c = last_char(buffer);
            if (c != '\t' && c != '\n' && c != '\r') {
                string::concatenate_literal(buffer, " ");
                part--;
            }
        }
        Cell v = cells_of(GET_BUFFER(node))[k];
        part = actions::form_dispatch(&v, buffer, arg, part);
    }
    cycles::pop();
    return part;
}

i32 mold_each(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    node_t node = series_node(blk);
    u32 from = series_head(blk);
    bool raised = false;
    cycles::push(node);
    for (u32 k = from; k < GET_BUFFER(node)->length(); k++) {
        if (arg && part < 1) {
            cycles::pop();
            return part;
        }
        Cell v = cells_of(GET_BUFFER(node))[k];
        if (!flat && (v.header & FLAG_NEW_LINE)) {
            if (!only && k == from) {
                indent++;
                raised = true;
            }
            if (!only || k != from) {
                string::concatenate_literal(buffer, "\n");
                part--;
            }
            part = mold_indent(buffer, indent, part);
        } else if (k != from) {
            string::concatenate_literal(buffer, " ");
            part--;
        }
        mold_depth++;
        part = actions::mold_dispatch(&v, buffer, false, all, flat, arg, part, indent);
        mold_depth--;
    }
    cycles::pop();
    if (raised) {
        indent--;
        string::concatenate_literal(buffer, "\n");
        part = mold_indent(buffer, indent, part - 1);
    }
    return part;
}

i32 mold(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (cycle_mark(blk, buffer, part, true)) return part;
    if (!only) {
        string::concatenate_literal(buffer, "[");
        part--;
    }
    part = mold_each(blk, buffer, only, all, flat, arg, part, indent);
    if (!only) {
        string::concatenate_literal(buffer, "]");
        part--;
    }
    return part;
}

i32 compare_each(Cell* blk1, Cell* blk2, i32 op) {
    node_t n1 = series_node(blk1), n2 = series_node(blk2);
    if (n1 == n2 && series_head(blk1) == series_head(blk2)) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles::find_q(n1)) return cycles::find_q(n2) ? 0 : -1;
    u32 len1 = zs_length_q(blk1), len2 = zs_length_q(blk2);
    if (len1 != len2) {
        switch (op) {
            case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL:
            case COMP_STRICT_EQUAL_WORD: case COMP_EQUAL_WORD: case COMP_FIND:
                return 1;
            default:
                break;
        }
    }
    u32 i1 = series_head(blk1), i2 = series_head(blk2);
    cycles::push(n1);
    cycles::push(n2);
    i32 res = 0;
    for (u32 k = 0; k < std::min(len1, len2); k++) {
        Cell a = cells_of(GET_BUFFER(n1))[i1 + k];
        Cell b = cells_of(GET_BUFFER(n2))[i2 + k];
        u32 ta = TYPE_OF(&a), tb = TYPE_OF(&b);
        if (ta != tb && !(word::any_word_q(ta) && word::any_word_q(tb)) && !(number_q(ta) && number_q(tb))) {
            res = ta < tb ? -1 : 1;
            break;
        }
        res = actions::compare_value(&a, &b, op);
        if (res) break;
    }
    cycles::pop_n(2);
    if (res) return res;
    return len1 == len2 ? 0 : (len1 < len2 ? -1 : 1);
}

i32 compare(Cell* blk1, Cell* blk2, i32 op) {
    u32 t1 = TYPE_OF(blk1), t2 = TYPE_OF(blk2);
    if (t1 != t2) {
        bool paths = (t1 == TYPE_PATH || t1 == TYPE_LIT_PATH) && (t2 == TYPE_PATH || t2 == TYPE_LIT_PATH);
        if (!(paths && (op == COMP_STRICT_EQUAL_WORD || op == COMP_EQUAL_WORD))) return -2;
    }
    return compare_each(blk1, blk2, op);
}

// ---- make, to, eval-path ---------------------------------------------------

namespace {

// An object's body block: its set-words and values.
Cell* object_body(Cell* out, Cell* spec, u32 type) {
    Cell body = *spec;
    object::reflect(&body, static_cast<u32>(words::body));
    set_type(&body, type);
    *out = body;  // no allocation between the reflect and this store
    return out;
}
// A vector's elements as values, as `type`.
Cell* vector_values(Cell* out, Cell* spec, u32 type) {
    Cell* held = stack::push(spec);
    vector::to_block(held, held);
    set_type(held, type);
    *out = *held;
    stack::pop(1);
    return out;
}

// A map's keys and values, alternating, as `type`.
Cell* map_body(Cell* out, Cell* spec, u32 type) {
    Cell* held = stack::push(spec);
    map::reflect(held, static_cast<u32>(words::body));
    set_type(held, type);
    *out = *held;
    stack::pop(1);
    return out;
}

// A shallow copy as `type`, written into `out`.
Cell* convert(Cell* out, Cell* spec, u32 type, bool) {
    Cell src = *spec;
    Cell* held = stack::push(&src);
    Cell* c = clone(held, false, false);
    c->header = type;  // a fresh value: no new-line flag
    *out = *c;
    stack::pop(2);
    return out;
}

}  // namespace

Cell* convert_to(Cell* out, Cell* spec, u32 type) { return convert(out, spec, type, false); }

Cell* make(Cell* proto, Cell* spec, u32 type) {
    u32 st = TYPE_OF(spec);
    if (type == 0) type = TYPE_BLOCK;
    if (any_block_q(st)) return convert(proto, spec, type, false);
    switch (st) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            i64 n = st == TYPE_INTEGER ? static_cast<i32>(spec->data2) : static_cast<i64>(cell_float(spec));
            if (n < 1) n = 1;
            if (n > 0x0FFFFFFF) fire("internal", "no-memory");
            Cell* c = push_only_star(static_cast<u32>(n));
            set_type(c, type);
            *proto = *c;
            stack::pop(1);
            return proto;
        }
        case TYPE_OBJECT: return object_body(proto, spec, type);
        case TYPE_MAP: return map_body(proto, spec, type);
        case TYPE_VECTOR: return vector_values(proto, spec, type);
        default: {
            Cell dt;
            fire("script", "bad-make-arg", datatype::make_at(&dt, type), spec);
        }
    }
}

Cell* to(Cell* proto, Cell* spec, u32 type) {
    u32 st = TYPE_OF(spec);
    if (type == 0) type = TYPE_BLOCK;
    if (any_block_q(st)) return convert(proto, spec, type, false);
    switch (st) {
        case TYPE_OBJECT: return object_body(proto, spec, type);
        case TYPE_MAP: return map_body(proto, spec, type);
        case TYPE_VECTOR: return vector_values(proto, spec, type);
        case TYPE_TYPESET: {
            Cell* c = stack::push_star();
            make_cell(c, TYPE_NONE);
            typeset::to_block(spec, c);
            set_type(c, type);
            *proto = *c;
            stack::pop(1);
            return proto;
        }
        case TYPE_STRING: {
            Cell src = *spec;
            Cell* held = stack::push(&src);
            Cell* c = push_only_star(4);
            i32 consumed = 0;
            // Only the to action calls this entry, and it returns at once: a
            // syntax error goes up pending, the stacks then its guard's.
            lexer::pend_errors = true;
            lexer::scan_string(c, held, -1, lexer::SCAN_LOAD | lexer::SCAN_BUILD, &consumed, nullptr);
            if (stack::pending) [[unlikely]] return nullptr;
            set_type(c, type);
            *proto = *c;
            stack::pop(2);
            return proto;
        }
        default: {
            Cell v = *spec;
            clear_cell_flag(&v);
            Cell* c = push_only_star(1);
            set_type(c, type);
            zs_append(c, &v);
            *proto = *c;
            stack::pop(1);
            return proto;
        }
    }
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool, bool) {
    const bool pend = take_pend_path_errors();
    u32 et = TYPE_OF(element);
    Cell s = *parent;
    if (et == TYPE_INTEGER) {
        i32 n = static_cast<i32>(element->data2);
        if (value) return series::poke_at(&s, n, value, value, pend);
        Cell* out = stack::push_star();
        return series::pick(&s, n, out);
    }
    if (!value) {
        if (et == TYPE_WORD && TYPE_OF(parent) != TYPE_HASH) return select_word(parent, element, case_);
        Cell* out = stack::push(parent);
        return select(out, element, nullptr, true, case_, false, false, nullptr, nullptr, false, false);
    }
    u32 matched;
    i64 pos = search(&s, element, nullptr, true, case_, false, nullptr, false, false, false, matched);
    if (pos < 0) fire("script", "bad-path-set", path, element);
    Cell v = *value;
    u32 at_p = static_cast<u32>(pos) + 1;
    series::tell(parent, "set-path", at_p, 1);
    if (at_p >= buffer_of(parent)->length()) {
        zs_append(parent, &v);
    } else {
        if (TYPE_OF(parent) == TYPE_HASH && parent->data3) hashtable::delete_(parent->data3, at_p, 1);
        cells_of(buffer_of(parent))[at_p] = v;
    }
    if (TYPE_OF(parent) == TYPE_HASH && parent->data3)
        hashtable::put(parent->data3, cells_of(buffer_of(parent)) + at_p);
    series::tell(parent, "set-path", at_p, 1);
    return value;
}

// ---- set operations --------------------------------------------------------

namespace {

// True when `v` occurs at a record start of `other` (table when it has one).
bool member_q(Cell* other, node_t table, Cell* v, i32 op, u32 step) {
    if (any_block_q(TYPE_OF(v))) {
        Cell s = *other;
        Cell sk = {TYPE_INTEGER, 0, step, 0};
        u32 m;
        return search(&s, v, nullptr, true, op == COMP_STRICT_EQUAL, false, &sk, false, false, false, m) >= 0;
    }
    Cell key = *v;
    return hashtable::get(table, &key, static_cast<i32>(series_head(other)), static_cast<i32>(step),
                          static_cast<u32>(op), false, false) != nullptr;
}

}  // namespace

Cell* do_set_op(Cell* set1, Cell* set2, bool case_, Cell* skip, i32 op) {
    u32 step = 1;
    if (skip) {
        i32 k = TYPE_OF(skip) == TYPE_INTEGER ? static_cast<i32>(skip->data2) : 0;
        if (k < 1) bad_refine("skip", skip);
        step = static_cast<u32>(k);
    }
    Cell* s1 = stack::push(set1);
    Cell* s2 = stack::push(set2);
    series::length_from(s1, false);
    if (op != 8) series::length_from(s2, false);
    i32 cmp = case_ ? COMP_STRICT_EQUAL : COMP_EQUAL;
    u32 size = zs_length_q(s1) + (op == 9 ? zs_length_q(s2) : 0);
    Cell* result = push_only_star(size);
    node_t rtable = hashtable::init(size, result, hashtable::KIND_HASH, 0);
    collector::Guard rtable_root(rtable, collector::GUARD_TABLE);
    // Temporary tables over the other series when they are not hash! values.
    node_t t1 = 0, t2 = 0;
    collector::Guard t1_root(t1, collector::GUARD_TABLE);
    collector::Guard t2_root(t2, collector::GUARD_TABLE);
    if (op >= 10) {
        t2 = TYPE_OF(s2) == TYPE_HASH && s2->data3 ? s2->data3 : hashtable::init(zs_length_q(s2), s2, hashtable::KIND_HASH, 0);
        if (op == 12)
            t1 = TYPE_OF(s1) == TYPE_HASH && s1->data3 ? s1->data3
                                                        : hashtable::init(zs_length_q(s1), s1, hashtable::KIND_HASH, 0);
    }
    auto walk = [&](Cell* src, Cell* other, node_t other_table) {
        node_t node = series_node(src);
        u32 len = GET_BUFFER(node)->length();
        for (u32 p = series_head(src); p < len; p += step) {
            Cell v = cells_of(GET_BUFFER(node))[p];
            bool keep = true;
            if (op == 10) keep = member_q(other, other_table, &v, cmp, step);
            else if (op == 11 || op == 12) keep = !member_q(other, other_table, &v, cmp, step);
            if (!keep) continue;
            Cell probe = *result;
            series_head(&probe) = 0;
            if (buffer_of(result)->length() && member_q(&probe, rtable, &v, cmp, step)) continue;
            u32 at_p = buffer_of(result)->length();
            clear_cell_flag(&v);
            zs_append(result, &v);
            hashtable::put(rtable, cells_of(buffer_of(result)) + at_p);
            // The rest of the record as far as the series goes, as strings do
            // (padding a short last record would let a huge /skip fill memory).
            for (u32 j = 1; j < step && p + j < len; j++) zs_append(result, cells_of(GET_BUFFER(node)) + p + j);
        }
    };
    walk(s1, s2, t2);
    if (op == 9) walk(s2, s1, 0);
    if (op == 12) walk(s2, s1, t1);
    Cell r = *result;
    stack::pop(3);
    return stack::push(&r);
}

// ---- registration ----------------------------------------------------------

void init() {
    datatype::register_type(TYPE_BLOCK, TYPE_SERIES_ID, "block!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), own<ACT_TO>(to), own<ACT_FORM>(form),
        own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_APPEND>(insert),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), own<ACT_CHANGE>(change), inherit<ACT_CLEAR>(), own<ACT_COPY>(copy),
        own<ACT_FIND>(find), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        own<ACT_INSERT>(insert), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), own<ACT_PUT>(put), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        own<ACT_SELECT>(select), own<ACT_SORT>(sort), inherit<ACT_SKIP>(), own<ACT_SWAP>(swap), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), own<ACT_TAKE>(take), own<ACT_TRIM>(trim), inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::block
