// series!: navigation, length, pick and poke, and the in-place edits that
// every series datatype takes over.
#include "datatypes/series.h"
#include "datatypes/vector.h"

#include <algorithm>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"

namespace zav::series {

namespace {

inline Cell* make_logic(Cell* c, bool v) { return make_cell(c, TYPE_LOGIC, v ? 1 : 0); }

// The element at unit position pos as a value.
Cell* element_at(Cell* s, u32 pos, Cell* out) {
    SeriesBuffer* b = buffer_of(s);
    u32 type = TYPE_OF(s);
    u8* p = b->head() + u64(pos) * b->unit();
    if (block::any_block_q(type) || type == TYPE_MAP) return copy_cell(reinterpret_cast<Cell*>(p), out);
    if (type == TYPE_BINARY) return integer::make_at(out, *p);
    if (type == TYPE_VECTOR) {
        Cell* e = vector::get_value(p, b->unit(), vector::element_type(s));
        *out = *e;
        stack::pop(1);
        return out;
    }
    return make_cell(out, TYPE_CHAR, 0, string::get_char(p, b->unit()));
}

// Units [from, from + n) removed by moving the rest down; hash! kept in step.
void remove_units(Cell* s, u32 from, u32 n) {
    SeriesBuffer* b = buffer_of(s);
    u32 unit = b->unit();
    u32 len = b->length();
    if (from >= len || n == 0) return;
    if (n > len - from) n = len - from;
    if (TYPE_OF(s) != TYPE_HASH) {
        close_gap(b, from * unit, n * unit);
        return;
    }
    // A hash!'s index is refreshed below for the values after the gap: they
    // are the ones that must move.
    u8* p = b->head() + u64(from) * unit;
    std::memmove(p, p + u64(n) * unit, u64(len - from - n) * unit);
    b->tail -= n * unit;
    if (TYPE_OF(s) == TYPE_HASH) hash_refresh(s, -static_cast<i32>(n), from + n, len - from - n, true);
}

bool same_buffer_q(const Cell* s, const Cell* other) {
    return TYPE_OF(other) == TYPE_OF(s) && series_node(other) == series_node(s);
}

}  // namespace

// ---- shared helpers --------------------------------------------------------

bool tail_at_q(const Cell* s) { return series_head(s) >= buffer_of(s)->length(); }

u32 buffer_length_q(const Cell* s) { return buffer_of(s)->length(); }

bool skip_in(Cell* s, i32 count) {
    u32 len = buffer_of(s)->length();
    i64 n = i64(series_head(s)) + count;
    if (n >= 0 && n <= len) series_head(s) = static_cast<u32>(n);
    return series_head(s) >= len;
}


u32 get_int_arg(i32 base) {
    Cell* s = stack::arguments;
    Cell* arg = stack::arguments + 1;
    if (TYPE_OF(arg) != TYPE_INTEGER) fire("script", "invalid-arg", arg);
    i64 n = static_cast<i32>(arg->data2);
    i64 i = series_head(s);
    i64 r = base == 1 ? (n >= 1 ? i + n - 1 : i + n) : i + n;
    i64 len = buffer_of(s)->length();
    return static_cast<u32>(std::clamp<i64>(r, 0, len));
}

u32 part_range(Cell* s, Cell* part, bool negative, bool pair, u32& start, bool pend) {
    u32 len = buffer_of(s)->length();
    i64 i = std::min<u32>(series_head(s), len);
    i64 from = i, to = i;
    u32 pt = TYPE_OF(part);
    if (pt == TYPE_INTEGER) {
        i64 n = static_cast<i32>(part->data2);
        if (n >= 0) to = i + n;
        else if (negative) from = i + n;
    } else if (pair && pt == TYPE_PAIR) {
        // until pair provides its accessors: x and y in the second and third payload words
        i64 x = static_cast<i32>(part->data2), y = static_cast<i32>(part->data3);
        from = x > 0 ? i + x - 1 : i + x;
        to = y < x ? from : from + (y - x);
    } else if (same_buffer_q(s, part)) {
        i64 j = series_head(part);
        if (j >= i) to = j;
        else from = j;
    } else {
        refine_arg_error("part", part, pend);
        return 0;
    }
    from = std::clamp<i64>(from, 0, len);
    to = std::clamp<i64>(to, from, len);
    start = static_cast<u32>(from);
    return static_cast<u32>(to - from);
}

void tell_owner(Cell* s, const char* action, u32 index, u32 count, const Cell* value) {
    memory::note_write(buffer_of(s));
    if (!(buffer_of(s)->flags & SERIES_OWNED)) return;
    // The action's word is interned only here, for an owned series.
    Cell held = *s;
    ownership::check(&held, symbol::make(action), value, static_cast<i32>(index), static_cast<i32>(count));
}

void hash_refresh(Cell* s, i32 shift, u32 position, u32 count, bool remove) {
    if (TYPE_OF(s) != TYPE_HASH || !s->data3) return;
    if (hashtable::refresh(s->data3, shift, position, count, remove)) hash_rebuild(s);
}

void hash_rebuild(Cell* s) {
    if (TYPE_OF(s) != TYPE_HASH || !s->data3) return;
    hashtable::clear(s->data3, 0, 0xFFFFFFFFu);
    hashtable::rehash(s->data3, 0, 1);
}

Cell* word_arg(Cell* out, const char* name) {
    i32 sym = symbol::make(name);
    return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFFu);
}

// ---- navigation ------------------------------------------------------------

Cell* at() {
    u32 i = get_int_arg(1);
    series_head(stack::arguments) = i;
    return stack::arguments;
}

Cell* skip() {
    u32 i = get_int_arg(0);
    series_head(stack::arguments) = i;
    return stack::arguments;
}

Cell* back() {
    Cell* s = stack::arguments;
    u32 len = buffer_of(s)->length();
    if (series_head(s) > len) series_head(s) = len;
    if (series_head(s) > 0) series_head(s)--;
    return s;
}

Cell* next() {
    Cell* s = stack::arguments;
    if (series_head(s) < buffer_of(s)->length()) series_head(s)++;
    return s;
}

Cell* head() {
    series_head(stack::arguments) = 0;
    return stack::arguments;
}

Cell* tail() {
    Cell* s = stack::arguments;
    series_head(s) = buffer_of(s)->length();
    return s;
}

Cell* head_q() {
    Cell* s = stack::arguments;
    return make_logic(s, series_head(s) == 0);
}

Cell* tail_q() {
    Cell* s = stack::arguments;
    return make_logic(s, tail_at_q(s));
}

Cell* index_q() {
    Cell* s = stack::arguments;
    return integer::make_at(s, static_cast<i32>(series_head(s)) + 1);
}

i32 length_q(Cell* s) { return static_cast<i32>(length_from(s, false)); }

// ---- pick and poke ---------------------------------------------------------

Cell* pick(Cell* s, i32 n, Cell* boxed) {
    Cell* out = boxed ? boxed : s;
    i64 i = series_head(s);
    i64 pos = n > 0 ? i + n - 1 : i + n;
    if (n == 0 || pos < 0 || pos >= buffer_of(s)->length()) return make_cell(out, TYPE_NONE);
    Cell v;
    element_at(s, static_cast<u32>(pos), &v);
    return copy_cell(&v, out);
}

Cell* poke_at(Cell* s, i32 n, Cell* data, Cell* boxed, bool pend) {
    i64 i = series_head(s);
    i64 pos = n > 0 ? i + n - 1 : i + n;
    if (n == 0 || pos < 0 || pos >= buffer_of(s)->length()) {
        Cell arg;
        return fire_or_pend(pend, "script", "out-of-range", integer::make_at(&arg, n));
    }
    u32 p = static_cast<u32>(pos);
    u32 type = TYPE_OF(s);
    Cell v = *data;
    u8 byte = 0;
    if (type == TYPE_BINARY) byte = binary::get_byte(&v);  // checked before the owner hears of it
    tell(s, "poke", p, 1, &v);
    SeriesBuffer* b = buffer_of(s);
    u8* at_p = b->head() + u64(p) * b->unit();
    if (block::any_block_q(type)) {
        if (type == TYPE_HASH && s->data3) hashtable::delete_(s->data3, p, 1);
        *reinterpret_cast<Cell*>(buffer_of(s)->head() + u64(p) * sizeof(Cell)) = v;
        if (type == TYPE_HASH && s->data3)
            hashtable::put(s->data3, reinterpret_cast<Cell*>(buffer_of(s)->head()) + p);
    } else if (type == TYPE_BINARY) {
        *at_p = byte;
    } else if (type == TYPE_VECTOR) {
        vector::set_value(at_p, &v, b->unit(), vector::element_type(s));
    } else {
        if (TYPE_OF(&v) != TYPE_CHAR) fire("script", "invalid-arg", &v);
        string::poke_char(b, at_p, v.data2);
    }
    tell(s, "poked", p, 1, &v);
    Cell* out = boxed ? boxed : s;
    return copy_cell(&v, out);
}

Cell* refine_arg_error(const char* refinement, const Cell* value, bool pend) {
    Cell w, v = *value;
    return fire_or_pend(pend, "script", "invalid-refine-arg", word_arg(&w, refinement), &v);
}

// The action's one caller, the poke native, returns at once.
Cell* poke(Cell* s, i32 n, Cell* data, Cell* boxed) { return poke_at(s, n, data, boxed, true); }

// ---- in-place edits --------------------------------------------------------

Cell* clear(Cell* s) {
    u32 n = length_from(s, false);
    if (n) {
        u32 i = series_head(s);
        tell(s, "clear", i, n);
        if (TYPE_OF(s) == TYPE_HASH && s->data3) hashtable::delete_(s->data3, i, n);
        SeriesBuffer* b = buffer_of(s);
        b->tail = b->offset + i * b->unit();
        tell(s, "cleared", i, n);
    }
    return s;
}

Cell* remove(Cell* s, Cell* part, Cell* key) {
    u32 count = 1;
    if (part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            i32 n = static_cast<i32>(part->data2);
            if (n < 1) return s;
            count = static_cast<u32>(n);
        } else if (same_buffer_q(s, part)) {
            i64 n = i64(series_head(part)) - series_head(s);
            if (n < 1) return s;
            count = static_cast<u32>(n);
        } else {
            Cell w;
            fire("script", "invalid-refine-arg", word_arg(&w, "part"), part);
        }
    }
    u32 from = series_head(s);
    if (key) {
        Cell found = *s;
        auto find = actions::typed<action_fn::Find>(s, ACT_FIND);
        find(&found, key, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
        if (TYPE_OF(&found) == TYPE_NONE) return make_cell(s, TYPE_NONE);
        from = series_head(&found);
        count++;
    }
    u32 len = buffer_of(s)->length();
    if (from < len) {
        u32 n = std::min(count, len - from);
        tell(s, "remove", from, n);
        remove_units(s, from, n);
        tell(s, "removed", from, n);
    }
    return s;
}

Cell* reverse(Cell* s, Cell* part, Cell* skip) {
    u32 start = std::min<u32>(series_head(s), buffer_of(s)->length());
    // Its argument errors are raised pending: the reverse action returns at once.
    u32 n = part ? part_range(s, part, false, false, start, true) : length_from(s, false);
    if (stack::pending) return nullptr;
    u32 size = 1;
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) return refine_arg_error("skip", skip, true);
        i32 k = static_cast<i32>(skip->data2);
        if (k < 1) return fire_or_pend(true, "script", "out-of-range", skip);
        size = static_cast<u32>(k);
        if (n < size || n % size) return refine_arg_error("skip", skip, true);
    }
    if (n <= size) return s;
    tell(s, "reverse", start, n);
    SeriesBuffer* b = buffer_of(s);
    u32 unit = b->unit();
    u32 rec = size * unit;
    std::vector<u8> tmp(rec);
    u8* lo = b->head() + u64(start) * unit;
    u8* hi = lo + u64(n - size) * unit;
    while (lo < hi) {
        std::memcpy(tmp.data(), lo, rec);
        std::memcpy(lo, hi, rec);
        std::memcpy(hi, tmp.data(), rec);
        lo += rec;
        hi -= rec;
    }
    hash_rebuild(s);
    tell(s, "reversed", start, n);
    return s;
}

Cell* take(Cell* s, Cell* part, bool, bool last) {
    u32 len = buffer_of(s)->length();
    u32 remaining = length_from(s, false);
    if (!remaining) return make_cell(s, TYPE_NONE);
    u32 index = series_head(s);
    u32 start, n;
    if (!part) {
        start = last ? len - 1 : index;
        n = 1;
    } else if (last && TYPE_OF(part) == TYPE_INTEGER) {
        i32 p = static_cast<i32>(part->data2);
        n = p < 0 ? 0 : std::min<u32>(static_cast<u32>(p), remaining);
        start = len - n;
    } else {
        // Raised pending: the take action returns at once.
        n = part_range(s, part, true, false, start, true);
        if (stack::pending) return nullptr;
    }
    tell(s, "take", start, n);
    Cell result;
    if (!part) {
        element_at(s, start, &result);
    } else {
        node_t node = copy_series_part(series_node(s), start, n);
        make_cell(&result, TYPE_OF(s), 0, node, 0);
        if (TYPE_OF(s) == TYPE_VECTOR) result.data3 = s->data3;
    }
    // Keep the new series reachable while the table is made.
    Cell* held = stack::push(&result);
    if (TYPE_OF(s) == TYPE_HASH && part) held->data3 = hashtable::init(n, held, hashtable::KIND_HASH, 0);
    Cell source = *s;
    remove_units(&source, start, n);
    tell(&source, "taken", start, n);
    *s = *held;
    stack::pop(1);
    return s;
}

Cell* copy(Cell* s, Cell* result, Cell* part, bool, Cell*) {
    u32 len = buffer_of(s)->length();
    u32 start = std::min<u32>(series_head(s), len);
    u32 n;
    if (!part) {
        n = length_from(s, false);
    } else if (TYPE_OF(part) == TYPE_INTEGER) {
        // part_range's integer case, inline: the common copy/part.
        i64 k = static_cast<i32>(part->data2);
        if (k >= 0) {
            n = static_cast<u32>(std::min<i64>(k, len - start));
        } else {
            n = static_cast<u32>(std::min<i64>(-k, start));
            start -= n;
        }
    } else {
        // Raised pending: the copy action returns at once.
        n = part_range(s, part, true, true, start, true);
        if (stack::pending) return nullptr;
    }
    u32 header = s->header;
    u32 extra = TYPE_OF(s) == TYPE_VECTOR ? s->data3 : 0;
    node_t node = copy_series_part(series_node(s), start, n);
    return make_cell(result, header, 0, node, extra);
}

Cell* move(Cell* origin, Cell* target, Cell* part) {
    u32 ot = TYPE_OF(origin), tt = TYPE_OF(target);
    if (!series_q(tt)) {
        Cell word, type;
        fire("script", "expect-arg", word_arg(&word, "move"), datatype::make_at(&type, tt), target);
    }
    u32 remaining = length_from(origin, false);
    if (!remaining) return copy_cell(target, origin);
    u32 n = 1;
    if (part) {
        if (TYPE_OF(part) != TYPE_INTEGER) {
            Cell w;
            fire("script", "invalid-refine-arg", word_arg(&w, "part"), part);
        }
        i32 p = static_cast<i32>(part->data2);
        if (p < 1) return copy_cell(target, origin);
        n = std::min<u32>(static_cast<u32>(p), remaining);
    }
    u32 from = series_head(origin);
    if (block::any_block_q(ot) != block::any_block_q(tt)) fire("script", "move-bad", origin, target);
    if (series_node(origin) == series_node(target)) {
        u32 len = buffer_of(origin)->length();
        u32 to = std::min<u32>(series_head(target), len);
        if (to >= from && to <= from + n) return copy_cell(target, origin);
        tell(origin, "move", from, n);
        SeriesBuffer* b = buffer_of(origin);
        u32 unit = b->unit();
        std::vector<u8> tmp(u64(n) * unit);
        u8* base = b->head();
        std::memcpy(tmp.data(), base + u64(from) * unit, tmp.size());
        if (to > from) {
            // Units between close the gap; the target position counted before the removal.
            std::memmove(base + u64(from) * unit, base + u64(from + n) * unit, u64(to - from - n) * unit);
            std::memcpy(base + u64(to - n) * unit, tmp.data(), tmp.size());
            if (ot == TYPE_HASH && origin->data3) hashtable::move(origin->data3, to - 1, from, n);
        } else {
            std::memmove(base + u64(to + n) * unit, base + u64(to) * unit, u64(from - to) * unit);
            std::memcpy(base + u64(to) * unit, tmp.data(), tmp.size());
            if (ot == TYPE_HASH && origin->data3) hashtable::move(origin->data3, to, from, n);
        }
        tell(origin, "moved", from, n);
        return copy_cell(target, origin);
    }
    tell(origin, "move", from, n);
    tell(target, "move", series_head(target), n);
    u32 ou = unit_of(origin), tu = unit_of(target);
    if (ou != tu && (!string::any_string_q(ot) || !string::any_string_q(tt))) fire("script", "move-bad", origin, target);
    // Read the moved units out first: the target may grow.
    std::vector<u8> tmp(u64(n) * ou);
    std::memcpy(tmp.data(), buffer_of(origin)->head() + u64(from) * ou, tmp.size());
    u32 tlen = buffer_of(target)->length();
    u32 to = std::min<u32>(series_head(target), tlen);
    if (ou == tu) {
        SeriesBuffer* t = buffer_of(target);
        u64 need = u64(tlen + n) * tu;
        if (need > u64(off_of(t->data_end()) - t->offset)) {
            if (need * 2 > 0xFFFFFFF0u) fire("internal", "no-memory");
            t = expand_series(t, static_cast<u32>(need * 2));
        }
        u8* base = t->head();
        std::memmove(base + u64(to + n) * tu, base + u64(to) * tu, u64(tlen - to) * tu);
        std::memcpy(base + u64(to) * tu, tmp.data(), tmp.size());
        t->tail += n * tu;
        if (tt == TYPE_HASH && target->data3) {
            hash_refresh(target, static_cast<i32>(n), to, tlen - to, false);
            for (u32 k = 0; k < n; k++)
                hashtable::put(target->data3, reinterpret_cast<Cell*>(buffer_of(target)->head()) + to + k);
        }
    } else {
        // Strings of different widths go character by character, widening the target.
        u32 at_i = to;
        for (u32 k = 0; k < n; k++) {
            u32 cp = string::get_char(tmp.data() + u64(k) * ou, ou);
            SeriesBuffer* t = string::append_char(buffer_of(target), cp);  // grows and widens as needed
            u32 unit = t->unit();
            u8* base = t->head();
            u32 last = t->length() - 1;
            std::memmove(base + u64(at_i + 1) * unit, base + u64(at_i) * unit, u64(last - at_i) * unit);
            string::put_char(base + u64(at_i) * unit, unit, cp);
            at_i++;
        }
    }
    remove_units(origin, from, n);
    tell(origin, "moved", from, n);
    tell(target, "moved", to, n);
    return copy_cell(target, origin);
}

Cell* random(Cell* s, bool seed, bool secure, bool only) {
    if (seed) {
        SeriesBuffer* b = buffer_of(s);
        u32 n = length_from(s, false);
        random::seed(hashtable::murmur3(b->head() + u64(series_head(s)) * b->unit(), n * b->unit()));
        return make_cell(s, TYPE_UNSET);
    }
    u32 n = length_from(s, false);
    if (only) {
        if (n < 1) return make_cell(s, TYPE_NONE);
        i32 k = random::int_range(secure, static_cast<i32>(n));
        Cell v;
        element_at(s, series_head(s) + static_cast<u32>(k) - 1, &v);
        return copy_cell(&v, s);
    }
    if (n < 2) return s;
    u32 i = series_head(s);
    tell(s, "random", i, n);
    for (u32 c = n; c > 0; c--, i++) {
        i32 k = random::int_range(secure, static_cast<i32>(c));
        if (k <= 1) continue;
        SeriesBuffer* b = buffer_of(s);
        u32 unit = b->unit();
        u8 tmp[16];
        u8* a = b->head() + u64(i) * unit;
        u8* o = a + u64(k - 1) * unit;
        std::memcpy(tmp, a, unit);
        std::memcpy(a, o, unit);
        std::memcpy(o, tmp, unit);
    }
    hash_rebuild(s);
    tell(s, "randomized", series_head(s), n);
    return s;
}

Cell* reflect(Cell* s, u32 field_symbol) {
    if (symbol::resolve(static_cast<i32>(field_symbol)) != symbol::resolve(words::owned))
        fire("internal", "not-done");
    Cell* owner = ownership::owned_q(series_node(s));
    if (!owner) return make_cell(s, TYPE_NONE);
    return copy_cell(owner, s);
}

Cell* modify(Cell* s, Cell* field, Cell* value, bool) {
    u32 ft = TYPE_OF(field);
    if (ft < TYPE_WORD || ft > TYPE_REFINEMENT) return value;
    if (symbol::resolve(static_cast<i32>(word_symbol(field))) != symbol::resolve(words::owned))
        return value;
    if (TYPE_OF(value) == TYPE_NONE) {
        ownership::unbind(s);
    } else if (TYPE_OF(value) == TYPE_BLOCK && block::zs_length_q(value) >= 2) {
        Cell owner = block::zs_head(value)[0];
        Cell word = block::zs_head(value)[1];
        if (TYPE_OF(&owner) == TYPE_OBJECT) ownership::set_owner(s, &owner, &word);
    }
    return value;
}

void init() {
    datatype::register_type(TYPE_SERIES_ID, 0, "series!", {
        own<ACT_RANDOM>(random), own<ACT_REFLECT>(reflect), own<ACT_AT>(at), own<ACT_BACK>(back),
        own<ACT_CLEAR>(clear), own<ACT_COPY>(copy), own<ACT_HEAD>(head), own<ACT_HEAD_Q>(head_q),
        own<ACT_INDEX_Q>(index_q), own<ACT_LENGTH_Q>(length_q), own<ACT_MOVE>(move), own<ACT_NEXT>(next),
        own<ACT_PICK>(pick), own<ACT_POKE>(poke), own<ACT_REMOVE>(remove), own<ACT_REVERSE>(reverse),
        own<ACT_SKIP>(skip), own<ACT_TAIL>(tail), own<ACT_TAIL_Q>(tail_q), own<ACT_TAKE>(take),
        own<ACT_MODIFY>(modify),
    });
}

}  // namespace zav::series
