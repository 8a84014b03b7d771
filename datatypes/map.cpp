// map!: an ordered key/value block indexed by a map-kind hash table; and
// hash!, a block that keeps a hash index of its cells in step.
#include "datatypes/map.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/context.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "datatypes/forming.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/words.h"

namespace zav::map {

namespace {

using block::cells_of;

hashtable::Table* table_of(const Cell* m) { return hashtable::record(m->data3); }
SeriesBuffer* pairs_of(const Cell* m) { return GET_BUFFER(m->data2); }
u32 cell_count(const Cell* m) { return pairs_of(m)->used_bytes() / sizeof(Cell); }
// A pair whose value cell has header 0 was removed.
bool live_q(const Cell* key) { return key[1].header != 0; }

[[noreturn]] void bad_to(const Cell* spec) {
    Cell dt;
    fire("script", "bad-to-arg", datatype::make_at(&dt, TYPE_MAP), spec);
}

// The live key cell matching `key` under lookup mode op, or null.
Cell* lookup(Cell* map, const Cell* key, u32 op) {
    Cell k = *key;
    Cell* found = hashtable::map_get(map->data3, &k, op, nullptr);
    return found && live_q(found) ? found : nullptr;
}

// A set-word key as the word! it was given as.
Cell key_as_word(const Cell* key) {
    Cell k = *key;
    if (TYPE_OF(&k) == TYPE_SET_WORD) k.header = TYPE_WORD;
    return k;
}

}  // namespace

bool valid_key_type_q(u32 type) {
    switch (type) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_BINARY: case TYPE_TIME:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_DATE: case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D:
        case TYPE_POINT3D:
            return true;
        default:
            return false;
    }
}

namespace {

// Keys that a map stores as a private copy of their series.
bool copied_key_q(u32 type) {
    switch (type) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        case TYPE_BINARY:
            return true;
        default:
            return false;
    }
}

}  // namespace

void normalise_key(Cell* key) {
    if (copied_key_q(TYPE_OF(key))) {
        // A private copy from the head: later changes to the caller's series do not reach the key.
        u32 len = GET_BUFFER(key->data2)->length();
        u32 head = std::min(series_head(key), len);
        key->data2 = copy_series_part(key->data2, head, len - head);
        key->data1 = 0;
        if (TYPE_OF(key) != TYPE_BINARY) key->data3 = 0;  // the text cache belonged to the original
        return;
    }
    switch (TYPE_OF(key)) {
        case TYPE_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_SET_WORD:
            key->header = TYPE_SET_WORD;
            break;
        default:
            if (valid_key_type_q(TYPE_OF(key))) break;
            Cell type, k = *key;
            make_cell(&type, TYPE_DATATYPE, TYPE_OF(key));
            fire("script", "invalid-path", &k, &type);
    }
}

Cell* make_at(Cell* cell, node_t blk, u32 size) {
    if (!blk) blk = alloc_cells(size ? size : 2);
    make_cell(cell, TYPE_BLOCK, 0, blk, 0);
    node_t table = hashtable::init(size ? size : 2, cell, hashtable::KIND_MAP, 1);
    cell->header = TYPE_MAP;
    cell->data3 = table;
    return cell;
}

node_t get_table(const Cell* map) { return map->data3; }

u32 length_of(const Cell* map) { return table_of(map)->size; }

// ---- storing -------------------------------------------------------------------

Cell* set_value(Cell* map_in, Cell* key, Cell* value, bool case_, Cell* path) {
    Cell k = *key;
    hashtable::MapMiss miss;
    // The lookup allocates nothing: the arguments stay where they are until the key is new.
    if (Cell* found = hashtable::map_get(map_in->data3, &k, case_ ? 2 : 0, &miss)) {
        // A removed pair comes back in place.
        if (!live_q(found)) table_of(map_in)->size++;
        found[1] = *value;
        return value;
    }
    if (!valid_key_type_q(TYPE_OF(key))) {
        Cell dt, at = path ? *path : *key;
        fire("script", "invalid-path", &at, datatype::make_at(&dt, TYPE_OF(key)));
    }
    // A key kept as it is, into room that the pairs and the table have:
    // nothing allocates, so nothing moves and the arguments need no guard.
    if (!copied_key_q(TYPE_OF(key)) && hashtable::map_room_q(map_in->data3)) {
        SeriesBuffer* pairs = pairs_of(map_in);
        if (u64(pairs->tail) + 2 * sizeof(Cell) <= off_of(pairs->data_end())) {
            Cell* pair = reinterpret_cast<Cell*>(alloc_tail_unit(pairs, 2 * sizeof(Cell)));
            pair[0] = *key;
            clear_cell_flag(pair);
            pair[1] = *value;
            hashtable::map_put(map_in->data3, pair, miss);
            return value;
        }
    }
    stack::TopGuard guard;
    // The map may sit in a buffer that the allocations below move: a copy is used.
    Cell* map = stack::push(map_in);
    Cell* v = stack::push(value);
    Cell* held = stack::push(key);
    SeriesBuffer* pairs = pairs_of(map);
    Cell* pair = reinterpret_cast<Cell*>(alloc_tail_unit(pairs, 2 * sizeof(Cell)));
    pair[0] = *held;
    clear_cell_flag(pair);
    pair[1] = Cell{TYPE_UNSET, 0, 0, 0};
    hashtable::map_put(map->data3, pair, miss);
    cells_of(pairs_of(map))[cell_count(map) - 1] = *v;
    return value;
}

// ---- actions -------------------------------------------------------------------

namespace {

// Builds a map from a block value's cells from its head (shallow copy).
Cell* from_block(Cell* out, Cell* spec) {
    u32 n = block::zs_length_q(spec);
    if (n & 1) {
        Cell s = *spec;
        fire("script", "invalid-arg", &s);
    }
    stack::TopGuard guard;
    Cell* copy = block::clone(spec, false, false);
    SeriesBuffer* b = block::buffer_of(copy);
    for (u32 i = 0; i < n; i++) clear_cell_flag(cells_of(b) + i);
    make_at(copy, series_node(copy), n ? n : 2);
    *out = *copy;
    return out;
}

Cell* make_or_to(Cell* proto, Cell* spec, bool to) {
    switch (TYPE_OF(spec)) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
            return from_block(proto, spec);
        case TYPE_INTEGER: case TYPE_FLOAT: {
            if (to) bad_to(spec);
            i32 n = check_float_range(spec);
            if (n < 0) {
                Cell s = *spec;
                fire("script", "out-of-range", &s);
            }
            if (n > 0x07FFFFFF) fire("internal", "no-memory");
            stack::TopGuard guard;
            Cell* c = stack::push_star();
            make_at(c, 0, n ? 2 * static_cast<u32>(n) : 2);
            *proto = *c;
            return proto;
        }
        case TYPE_MAP: {
            Cell* out = stack::push_star();
            Cell s = *spec;
            Cell* r = copy(&s, out, nullptr, false, nullptr);
            *proto = *r;
            stack::pop(1);
            return proto;
        }
        default:
            bad_to(spec);
    }
}

}  // namespace

Cell* make(Cell* proto, Cell* spec, u32) { return make_or_to(proto, spec, false); }
Cell* to(Cell* proto, Cell* spec, u32) { return make_or_to(proto, spec, true); }

Cell* reflect(Cell* map, u32 field_symbol) {
    i32 f = symbol::resolve(static_cast<i32>(field_symbol));
    auto is = [&](i32 sym) { return f == symbol::resolve(sym); };
    bool keys = is(words::words), values = is(words::values), body = is(words::body);
    if (!keys && !values && !body) fire("internal", "not-done");
    stack::TopGuard guard;
    Cell* m = stack::push(map);
    u32 live = length_of(m);
    Cell* blk = block::push_only_star(live ? live * (body ? 2 : 1) : 1);
    u32 n = cell_count(m);
    for (u32 i = 0; i < n; i += 2) {
        Cell* k = cells_of(pairs_of(m)) + i;
        if (!live_q(k)) continue;
        Cell key = key_as_word(k), value = k[1];
        if (keys || body) {
            if (body) key.header = TYPE_OF(k) | FLAG_NEW_LINE;
            block::zs_append(blk, &key);
        }
        if (values || body) block::zs_append(blk, &value);
    }
    *map = *blk;
    return map;
}

namespace {

// The live pairs: key, a blank, value, then the separator (mold mode) or newlines (form).
i32 serialize(Cell* map, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent, bool mold) {
    if (length_of(map) == 0) return part;
    bool indenting = mold && !flat;
    if (indenting && !only) {
        string::concatenate_literal(buffer, "\n");
        part--;
    }
    node_t node = map->data2;
    cycles::push(node);
    u32 n = GET_BUFFER(node)->length();
    // Cells after the last live pair do not need a separator.
    u32 last_live = 0;
    for (u32 i = 0; i < n; i += 2)
        if (live_q(cells_of(GET_BUFFER(node)) + i)) last_live = i;
    for (u32 i = 0; i < n; i += 2) {
        Cell k = cells_of(GET_BUFFER(node))[i];
        Cell v = cells_of(GET_BUFFER(node))[i + 1];
        if (v.header == 0) continue;
        if (indenting) part = mold_indent(buffer, indent, part);
        part = actions::mold_dispatch(&k, buffer, false, all, flat, arg, part, indent);
        string::concatenate_literal(buffer, " ");
        part--;
        part = mold ? actions::mold_dispatch(&v, buffer, false, all, flat, arg, part, indent)
                    : actions::mold_dispatch(&v, buffer, false, false, flat, arg, part, indent);
        if (indenting || i < last_live) {
            string::concatenate_literal(buffer, indenting ? "\n" : (mold ? " " : "\n"));
            part--;
        }
        if (arg && part <= 0) break;
    }
    cycles::pop();
    return part;
}

}  // namespace

i32 form(Cell* map, Cell* buffer, Cell* arg, i32 part) {
    if (cycles::detect_q(map, buffer, part, false)) return part;
    return serialize(map, buffer, true, false, true, arg, part, 0, false);
}

i32 mold(Cell* map, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (cycles::detect_q(map, buffer, part, true)) return part;
    if (!only) {
        string::concatenate_literal(buffer, "#[");
        part -= 2;
    }
    u32 before = string::zs_length_q(buffer);
    part = serialize(map, buffer, only, all, flat, arg, part, indent + 1, true);
    if (only) return part;
    if (string::zs_length_q(buffer) != before && indent > 0 && !flat) part = mold_indent(buffer, indent, part);
    string::concatenate_literal(buffer, "]");
    return part - 1;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool, bool) {
    if (value) return set_value(parent, element, value, case_, path);
    Cell* found = lookup(parent, element, case_ ? 2 : 0);
    if (!found) return make_cell(stack::push_star(), TYPE_NONE);
    return stack::push(found + 1);
}

i32 compare_each(Cell* m1, Cell* m2, i32 op) {
    if (m1->data2 == m2->data2 && m1->data3 == m2->data3) return 0;
    if (cycles::find_q(m1->data2)) return cycles::find_q(m2->data2) ? 0 : -1;
    if (length_of(m1) != length_of(m2)) return 1;
    if (length_of(m1) == 0) return 0;
    cycles::push(m1->data2);
    cycles::push(m2->data2);
    i32 res = 0;
    u32 n = cell_count(m1);
    for (u32 i = 0; i < n && res == 0; i += 2) {
        Cell k = cells_of(pairs_of(m1))[i];
        Cell v = cells_of(pairs_of(m1))[i + 1];
        if (v.header == 0) continue;
        if (op == COMP_STRICT_EQUAL) {
            Cell* other = lookup(m2, &k, 2);
            if (!other) {
                res = 1;
                break;
            }
            Cell ov = other[1];
            if (actions::compare_value(&v, &ov, COMP_STRICT_EQUAL) != 0) res = 1;
            continue;
        }
        // Several keys of the other map may match loosely ("a" and "A" under /case keys).
        i32 bucket = -1, start = 0, step = 0;
        bool matched = false;
        Cell key = k;
        if (TYPE_OF(&key) == TYPE_WORD || TYPE_OF(&key) == TYPE_LIT_WORD || TYPE_OF(&key) == TYPE_GET_WORD)
            set_type(&key, TYPE_SET_WORD);
        while (Cell* other = hashtable::find_next(m2->data3, &key, &bucket, &start, &step)) {
            if (other[1].header == 0) continue;
            Cell ov = other[1];
            if (actions::compare_value(&v, &ov, COMP_EQUAL) == 0) {
                matched = true;
                break;
            }
        }
        if (!matched) res = 1;
    }
    cycles::pop_n(2);
    return res;
}

i32 compare(Cell* m1, Cell* m2, i32 op) {
    if (TYPE_OF(m2) != TYPE_MAP) return -2;
    switch (op) {
        case COMP_SAME:
            return m1->data2 == m2->data2 && m1->data3 == m2->data3 ? 0 : -1;
        case COMP_SORT: case COMP_CASE_SORT: {
            i64 d = i64(m1->data2) - i64(m2->data2);
            return d < 0 ? -1 : d > 0 ? 1 : 0;
        }
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_FIND:
            return compare_each(m1, m2, op);
        default:
            return -2;
    }
}

Cell* clear(Cell* map) {
    SeriesBuffer* b = pairs_of(map);
    b->tail = b->offset;
    hashtable::clear_map(map->data3);
    return map;
}

Cell* copy(Cell* map, Cell* result, Cell*, bool deep, Cell* types) {
    stack::TopGuard guard;
    Cell* m = stack::push(map);
    Cell blk{TYPE_BLOCK, 0, m->data2, 0};
    Cell* cloned = block::clone(&blk, deep && !types, false);
    node_t table = hashtable::copy(m->data3, series_node(cloned));
    make_cell(cloned, TYPE_MAP, 0, series_node(cloned), table);
    if (types) {
        node_t node = series_node(cloned);
        Cell view{TYPE_BLOCK, 0, node, 0};
        bool pushed = false;
        if (deep) {
            if (cycles::find_q(m->data2)) {
                cycles::reset();
                fire("internal", "no-cycle");
            }
            cycles::push(m->data2);
            pushed = true;
        }
        for (u32 i = 1; i < GET_BUFFER(node)->length(); i += 2) {
            if (cells_of(GET_BUFFER(node))[i].header == 0) continue;
            block::copy_types(&view, i, 1, types, deep);
        }
        if (pushed) cycles::pop();
    }
    *result = *cloned;
    return result;
}

Cell* find(Cell* map, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool, bool, bool) {
    Cell* found = lookup(map, value, same ? 9 : case_ ? 2 : 0);
    if (!found) return make_cell(map, TYPE_NONE);
    Cell k = key_as_word(found);
    clear_cell_flag(&k);
    *map = k;
    return map;
}

i32 length_q(Cell* map) { return static_cast<i32>(length_of(map)); }

Cell* put(Cell* map, Cell* key, Cell* value, bool case_) {
    Cell v = *value;
    set_value(map, key, value, case_);
    *map = v;
    return map;
}

Cell* remove(Cell* map, Cell*, Cell* key) {
    if (!key) fire("script", "missing-arg");
    Cell k = *key;
    Cell* found = hashtable::get(map->data3, &k, 0, 0, 2, false, false);
    if (found && live_q(found)) {
        Cell k2 = *key;
        hashtable::delete_key(map->data3, &k2);
    }
    return map;
}

Cell* select(Cell* map, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool) {
    Cell* found = lookup(map, value, same ? 9 : case_ ? 2 : 0);
    if (!found) return make_cell(map, TYPE_NONE);
    *map = found[1];
    clear_cell_flag(map);
    return map;
}

void extend(Cell* map_in, Cell* spec, bool case_) {
    stack::TopGuard guard;
    Cell* map = stack::push(map_in);
    Cell* s = stack::push(spec);
    if (TYPE_OF(s) == TYPE_MAP) {
        for (u32 i = 0; i < cell_count(s); i += 2) {
            Cell* k = cells_of(pairs_of(s)) + i;
            if (!live_q(k)) continue;
            Cell* key = stack::push(k);
            Cell* value = stack::push(k + 1);
            set_value(map, key, value, case_);
            stack::pop(2);
        }
        return;
    }
    if (!block::any_block_q(TYPE_OF(s))) {
        fire("script", "invalid-arg", s);
    }
    u32 n = block::zs_length_q(s);
    if (n & 1) fire("script", "invalid-arg", s);
    // Room for every new pair at once.
    {
        SeriesBuffer* b = pairs_of(map);
        u32 need = b->used_bytes() + n * u32(sizeof(Cell));
        if (static_cast<u32>(b->data_end() - b->head()) < need) expand_series(b, need);
    }
    for (u32 i = 0; i < n; i += 2) {
        Cell* cells = block::zs_head(s);
        Cell* key = stack::push(cells + i);
        Cell* value = stack::push(block::zs_head(s) + i + 1);
        set_value(map, key, value, case_);
        stack::pop(2);
    }
}

bool foreach_next(Cell* words, Cell* map, i32) {
    u32 n = cell_count(map);
    u32 i = 2 * series_head(map);
    while (i < n && cells_of(pairs_of(map))[i + 1].header == 0) i += 2;
    if (i >= n) return false;
    Cell* key = stack::push(cells_of(pairs_of(map)) + i);
    *key = key_as_word(key);
    clear_cell_flag(key);
    Cell* value = stack::push(cells_of(pairs_of(map)) + i + 1);
    series_head(map) = i / 2 + 1;
    u32 count = block::zs_length_q(words);
    for (u32 w = 0; w < count; w++) {
        Cell word = block::zs_head(words)[w];
        u32 t = TYPE_OF(&word);
        if (t < TYPE_WORD || t > TYPE_GET_WORD) fire("script", "invalid-arg", &word);
        Cell none{TYPE_NONE, 0, 0, 0};
        context::set(&word, w == 0 ? key : w == 1 ? value : &none);
    }
    stack::pop(2);
    return true;
}

void init() {
    hashtable::normalise_map_key = normalise_key;
    datatype::register_type(TYPE_MAP, 0, "map!", {
        own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_CLEAR>(clear), own<ACT_COPY>(copy),
        own<ACT_FIND>(find), own<ACT_LENGTH_Q>(length_q), own<ACT_PUT>(put), own<ACT_REMOVE>(remove),
        own<ACT_SELECT>(select),
    });
}

}  // namespace zav::map

// ---- hash! -----------------------------------------------------------------------

namespace zav::hash {

namespace {

// Gives a block cell (on the stack) its index: type hash!, table in word 3.
Cell* index_block(Cell* blk, u32 capacity) {
    node_t table = hashtable::init(capacity ? capacity : 1, blk, hashtable::KIND_HASH, 0);
    blk->header = TYPE_HASH;
    blk->data3 = table;
    return blk;
}

}  // namespace

Cell* to(Cell* proto, Cell* spec, u32) {
    // The top put back by hand, not by a guard: after a syntax error of
    // text, raised pending, the stacks are its guard's.
    Cell* const base = stack::top;
    Cell* s = stack::push(spec);
    Cell* out = stack::push_star();
    if (TYPE_OF(s) == TYPE_HASH) {
        copy(s, out, nullptr, false, nullptr);
    } else {
        if (!block::to(out, s, TYPE_BLOCK)) return nullptr;
        index_block(out, block::zs_length_q(out));
    }
    *proto = *out;
    stack::top = base;
    return proto;
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    stack::TopGuard guard;
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER: case TYPE_FLOAT: {
            i32 n = check_float_range(spec);
            if (n < 1) n = 1;
            if (n > 0x07FFFFFF) fire("internal", "no-memory");
            Cell* out = block::push_only_star(static_cast<u32>(n));
            index_block(out, static_cast<u32>(n));
            *proto = *out;
            return proto;
        }
        case TYPE_BLOCK: case TYPE_PAREN: {
            Cell* s = stack::push(spec);
            Cell* out = stack::push_star();
            block::copy(s, out, nullptr, false, nullptr);
            index_block(out, block::zs_length_q(out));
            *proto = *out;
            return proto;
        }
        case TYPE_HASH: {
            Cell* s = stack::push(spec);
            Cell* out = stack::push_star();
            copy(s, out, nullptr, false, nullptr);
            *proto = *out;
            return proto;
        }
        default:
            return to(proto, spec, type);
    }
}

Cell* copy(Cell* hash, Cell* result, Cell* part, bool deep, Cell* types) {
    stack::TopGuard guard;
    Cell* h = stack::push(hash);
    Cell* out = stack::push_star();
    if (!block::copy(h, out, part, deep, types)) return nullptr;  // its error pending
    if (series_head(h) == 0 && !part && !deep && !types && h->data3) {
        node_t table = hashtable::copy(h->data3, series_node(out));
        out->header = TYPE_HASH;
        out->data3 = table;
    } else {
        index_block(out, block::zs_length_q(out));
    }
    *result = *out;
    return result;
}

namespace {
void reindex(Cell* hash) {
    if (!hash->data3) return;
    hashtable::clear(hash->data3, 0, 0xFFFFFFFF);
    hashtable::rehash(hash->data3, 0, 1);
}
}  // namespace

Cell* sort(Cell* hash, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable) {
    Cell h = *hash;
    Cell* r = block::sort(hash, case_, skip, comparator, part, all, reverse, stable);
    reindex(&h);
    return r;
}

Cell* trim(Cell* hash, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    Cell h = *hash;
    Cell* r = block::trim(hash, head, tail, auto_, lines, all, with);
    reindex(&h);
    return r;
}

i32 mold(Cell* hash, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (only) return block::mold(hash, buffer, true, all, flat, arg, part, indent);
    string::concatenate_literal(buffer, "make hash! ");
    return block::mold(hash, buffer, false, all, flat, arg, part - 11, indent);
}

void init() {
    datatype::register_type(TYPE_HASH, TYPE_BLOCK, "hash!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_TO>(to), inherit<ACT_FORM>(), own<ACT_MOLD>(mold),
        inherit<ACT_EVAL_PATH>(), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(), inherit<ACT_AT>(),
        inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), own<ACT_COPY>(copy), inherit<ACT_FIND>(),
        inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(), inherit<ACT_INSERT>(),
        inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(), inherit<ACT_PICK>(), inherit<ACT_POKE>(),
        inherit<ACT_PUT>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(), inherit<ACT_SELECT>(),
        own<ACT_SORT>(sort), inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(), inherit<ACT_TAIL_Q>(),
        inherit<ACT_TAKE>(), own<ACT_TRIM>(trim), inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::hash
