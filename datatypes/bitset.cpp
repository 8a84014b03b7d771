// bitset! values: member n is bit (0x80 >> (n & 7)) of byte n >> 3.
#include "datatypes/bitset.h"

#include <cmath>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/action_slots.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"

namespace zav::bitset {

namespace {

Cell datatype_cell(u32 type) {
    Cell c;
    datatype::make_at(&c, type);
    return c;
}

Cell bitset_type() { return datatype_cell(TYPE_BITSET); }

bool word_named(const Cell* c, const char* name) {
    return c && TYPE_OF(c) == TYPE_WORD && std::strcmp(symbol::get_c_string(static_cast<i32>(c->data2)), name) == 0;
}

SeriesBuffer* buf(const Cell* bits) { return GET_BUFFER(node_of(bits)); }

// Modifying actions tell the owner of the bitset, if any.
void tell(Cell* bits, i32 action, const Cell* value) {
    if (!(buf(bits)->flags & SERIES_OWNED)) return;
    ownership::check(bits, action, value, 0, 0);
}

// Makes room for member n, filling new bytes with the bits of "beyond".
void grow(Cell* bits, u32 n) {
    u32 need = (n >> 3) + 1;
    SeriesBuffer* b = buf(bits);
    u32 have = b->used_bytes();
    if (need <= have) return;
    u8 fill = (b->flags & BITSET_NOT) ? 0xFF : 0x00;
    if (u64(b->offset) + need > off_of(b->data_end())) {
        u32 want = need > b->size ? need : b->size * 2;
        if (want < need) want = need;
        b = expand_series(b, want);
    }
    std::memset(b->head() + have, fill, need - have);
    b->tail = b->offset + need;
}

// True when n lies beyond the stored bytes.
bool beyond(const Cell* bits, u32 n) { return (n >> 3) >= buf(bits)->used_bytes(); }

void invert(node_t node) {
    SeriesBuffer* b = GET_BUFFER(node);
    for (u8* p = b->head(); p < b->tail_ptr(); p++) *p = static_cast<u8>(~*p);
}

// One member under a mode; false in test mode when it is missing.
bool member(Cell* bits, u32 n, i32 mode, i32& largest) {
    switch (mode) {
        case MEASURE:
            if (static_cast<i32>(n) > largest) largest = static_cast<i32>(n);
            return true;
        case SET:
            grow(bits, n);
            buf(bits)->head()[n >> 3] |= static_cast<u8>(0x80 >> (n & 7));
            return true;
        case TEST:
            return test(bits, n);
        default:  // CLEAR
            if (beyond(bits, n)) {
                if (!complemented_q(bits)) return true;
                grow(bits, n);
            }
            buf(bits)->head()[n >> 3] &= static_cast<u8>(~(0x80 >> (n & 7)));
            return true;
    }
}

// The member a char!, integer! or float! stands for; -1 when negative.
i64 number_of(const Cell* v) {
    switch (TYPE_OF(v)) {
        case TYPE_CHAR: return v->data2;
        case TYPE_INTEGER: return static_cast<i32>(v->data2);
        default: {
            double d = std::trunc(cell_float(v));
            if (!(d >= 0)) return -1;  // negative or NaN
            return d > 2147483647.0 ? i64(1) << 40 : static_cast<i64>(d);
        }
    }
}

bool range(Cell* bits, u32 low, u32 high, i32 mode, i32& largest) {
    if (mode == MEASURE) return member(bits, high, mode, largest);
    if (mode == SET) grow(bits, high);
    for (u64 n = low; n <= high; n++)
        if (!member(bits, static_cast<u32>(n), mode, largest)) return false;
    return true;
}

// A member number checked for the range the bit array can address.
u32 checked(const Cell* v, i64 n, i32 mode) {
    if (n < 0 || n > 0x7FFFFFFF) {
        if (mode == TEST) return 0xFFFFFFFF;
        fire("script", "out-of-range", v);
    }
    return static_cast<u32>(n);
}

bool string_walk(Cell* str, Cell* bits, i32 mode, i32& largest) {
    u32 len = string::zs_length_q(str);
    u32 start = series_head(str);
    for (u32 i = 0; i < len; i++) {
        u32 cp = string::zs_abs_at(str, start + i);
        if (!member(bits, cp, mode, largest)) return false;
    }
    return true;
}

bool walk(Cell* spec, Cell* bits, i32 mode, i32& largest);

bool block_walk(Cell* blk, Cell* bits, i32 mode, i32& largest) {
    u32 head = series_head(blk);
    u32 len = block::zs_length_q(blk);
    for (u32 i = 0; i < len; i++) {
        Cell item = *block::zs_abs_at(blk, head + i);
        u32 t = TYPE_OF(&item);
        if ((t == TYPE_CHAR || t == TYPE_INTEGER) && i + 1 < len && word_named(block::zs_abs_at(blk, head + i + 1), "-")) {
            if (i + 2 >= len) fire("script", "past-end");
            Cell upper = *block::zs_abs_at(blk, head + i + 2);
            if (TYPE_OF(&upper) != t) fire("script", "invalid-arg", &upper);
            i64 lo = number_of(&item), hi = number_of(&upper);
            if (hi < lo) fire("script", "past-end");
            u32 l = checked(&item, lo, mode), h = checked(&upper, hi, mode);
            if (l == 0xFFFFFFFF || h == 0xFFFFFFFF) return false;
            if (!range(bits, l, h, mode, largest)) return false;
            i += 2;
            continue;
        }
        if (!walk(&item, bits, mode, largest)) return false;
    }
    return true;
}

bool walk(Cell* spec, Cell* bits, i32 mode, i32& largest) {
    switch (TYPE_OF(spec)) {
        case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: {
            u32 n = checked(spec, number_of(spec), mode);
            if (n == 0xFFFFFFFF) return false;
            return member(bits, n, mode, largest);
        }
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return string_walk(spec, bits, mode, largest);
        case TYPE_BLOCK:
            return block_walk(spec, bits, mode, largest);
        case TYPE_BINARY:
            fire("internal", "not-done");
        default: {
            Cell dt = bitset_type();
            if (mode == MEASURE) fire("script", "bad-make-arg", &dt, spec);
            if (mode == SET) fire("script", "bad-to-arg", &dt, spec);
            fire("script", "invalid-arg", spec);
        }
    }
}

// A new bit array of `bytes` bytes filled with `fill`.
node_t alloc_bits(u32 bytes, u8 fill) {
    node_t node = alloc_bytes(bytes ? bytes : 1);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memset(b->head(), fill, bytes);
    b->tail = b->offset + bytes;
    return node;
}

void set_not(node_t node, bool on) {
    SeriesBuffer* b = GET_BUFFER(node);
    if (on) b->flags |= BITSET_NOT; else b->flags &= ~BITSET_NOT;
}

Cell* make_bitset(Cell* proto, Cell* spec, bool is_to) {
    (void)proto;
    Cell s = *spec;
    bool negated = false;
    if (TYPE_OF(&s) == TYPE_BLOCK && block::zs_length_q(&s) > 0 && word_named(block::zs_head(&s), "not")) {
        negated = true;
        series_head(&s)++;
        if (block::zs_length_q(&s) > 0 && TYPE_OF(block::zs_head(&s)) == TYPE_BINARY) s = *block::zs_head(&s);
    }
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    switch (TYPE_OF(&s)) {
        case TYPE_INTEGER: case TYPE_FLOAT: {
            if (is_to) {
                Cell dt = bitset_type();
                fire("script", "bad-to-arg", &dt, spec);
            }
            i64 n = number_of(&s);
            if (n < 0 || n > 0x7FFFFFF8) fire("script", "out-of-range", &s);
            node_t node = alloc_bits(static_cast<u32>((n + 7) >> 3), 0);
            make_cell(out, TYPE_BITSET, 0, node, 0);
            break;
        }
        case TYPE_BITSET: {
            SeriesBuffer* b = buf(&s);
            bool was_not = b->flags & BITSET_NOT;  // read before the copy moves the buffer
            node_t node = copy_series_part(node_of(&s), 0, b->used_bytes());
            set_not(node, was_not);
            make_cell(out, TYPE_BITSET, 0, node, 0);
            break;
        }
        case TYPE_BINARY: {
            SeriesBuffer* b = GET_BUFFER(series_node(&s));
            u32 head = series_head(&s) > b->used_bytes() ? b->used_bytes() : series_head(&s);
            node_t node = copy_series_part(series_node(&s), head, b->used_bytes() - head);
            if (negated) invert(node);
            make_cell(out, TYPE_BITSET, 0, node, 0);
            break;
        }
        default: {
            if (is_to) {
                u32 t = TYPE_OF(&s);
                if (t != TYPE_CHAR && t != TYPE_BLOCK && !(t >= TYPE_STRING && t <= TYPE_URL) && t != TYPE_TAG &&
                    t != TYPE_EMAIL && t != TYPE_REF) {
                    Cell dt = bitset_type();
                    fire("script", "bad-to-arg", &dt, spec);
                }
            }
            i32 largest = 0;
            walk(&s, out, MEASURE, largest);
            node_t node = alloc_bits((static_cast<u32>(largest) >> 3) + 1, negated ? 0xFF : 0x00);
            make_cell(out, TYPE_BITSET, 0, node, 0);
            if (negated) set_not(node, true);
            walk(&s, out, negated ? CLEAR : SET, largest);
            return out;
        }
    }
    if (negated) set_not(node_of(out), true);
    return out;
}

const char hex_digits[] = "0123456789ABCDEF";

}  // namespace

u8* zs_head(Cell* bits) { return buf(bits)->head(); }
u32 byte_count(const Cell* bits) { return buf(bits)->used_bytes(); }
bool complemented_q(const Cell* bits) { return buf(bits)->flags & BITSET_NOT; }

bool test(Cell* bits, u32 n) {
    if (beyond(bits, n)) return complemented_q(bits);
    return buf(bits)->head()[n >> 3] & (0x80 >> (n & 7));
}

Cell* make_at(Cell* cell, u32 bytes) { return make_cell(cell, TYPE_BITSET, 0, alloc_bits(bytes, 0), 0); }

i32 process_spec(Cell* spec, Cell* bits, i32 mode) {
    i32 largest = 0;
    bool ok = walk(spec, bits, mode, largest);
    if (mode == MEASURE) return largest;
    return mode == TEST ? (ok ? 1 : 0) : 0;
}

Cell* do_bitwise(i32 op) {
    Cell* set1 = stack::arguments;
    Cell* set2 = set1 + 1;
    if (op == 8) return set1;  // unique
    if (TYPE_OF(set2) != TYPE_BITSET) {
        Cell dt = datatype_cell(TYPE_OF(set2));
        fire("script", "invalid-type", &dt);
    }
    bool not1 = complemented_q(set1), not2 = complemented_q(set2);
    u32 len1 = byte_count(set1), len2 = byte_count(set2);
    u32 common = len1 < len2 ? len1 : len2;
    u32 longer = len1 < len2 ? len2 : len1;
    // Bytes beyond an operand's stored ones hold its "beyond" membership, so
    // the operation applies to them as to any byte, and to the flags too.
    auto apply = [op](u32 a, u32 b) -> u32 {
        switch (op) {
            case 5: case 9: return a | b;
            case 6: case 10: return a & b;
            case 7: case 12: return a ^ b;
            default: return a & ~b;  // 11 exclude
        }
    };
    bool result_not = apply(not1, not2) & 1;
    // and~ stops at the common length when what lies beyond is empty anyway.
    u32 size = longer;
    if (op == 6 && !result_not && !(len1 < len2 ? not1 : not2)) size = common;
    node_t node = alloc_bits(size, 0);
    const u8* a = buf(set1)->head();
    const u8* b = buf(set2)->head();
    u8* r = GET_BUFFER(node)->head();
    u8 fill1 = not1 ? 0xFF : 0, fill2 = not2 ? 0xFF : 0;
    for (u32 i = 0; i < size; i++) {
        u32 x = i < len1 ? a[i] : fill1;
        u32 y = i < len2 ? b[i] : fill2;
        r[i] = static_cast<u8>(apply(x, y));
    }
    set_not(node, result_not);
    return make_cell(set1, TYPE_BITSET, 0, node, 0);
}

// --- Actions ---------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32) { return make_bitset(proto, spec, false); }
Cell* to(Cell* proto, Cell* spec, u32) { return make_bitset(proto, spec, true); }

Cell* reflect(Cell* bits, u32 field_symbol) {
    if (symbol::resolve(static_cast<i32>(field_symbol)) == symbol::resolve(words::owned)) {
        Cell* owner = ownership::owned_q(node_of(bits));
        if (!owner) return make_cell(bits, TYPE_NONE);
        Cell o = *owner;
        return copy_cell(&o, bits);
    }
    fire("internal", "not-done");
}

i32 mold(Cell* bits, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    bool negated = complemented_q(bits);
    string::concatenate_literal(buffer, "make bitset! ");
    part -= 13;
    if (negated) {
        string::concatenate_literal(buffer, "[not ");
        part -= 5;
    }
    string::concatenate_literal(buffer, "#{");
    part -= 2;
    std::string hex;
    SeriesBuffer* b = buf(bits);
    for (const u8* p = b->head(); p < b->tail_ptr(); p++) {
        if (arg && part < 0) break;
        u8 byte = negated ? static_cast<u8>(~*p) : *p;
        hex += hex_digits[byte >> 4];
        hex += hex_digits[byte & 15];
        part -= 2;
    }
    hex += '}';
    part--;
    if (negated) {
        hex += ']';
        part--;
    }
    string::concatenate_literal(buffer, hex.c_str());
    return part;
}

i32 form(Cell* bits, Cell* buffer, Cell* arg, i32 part) {
    return mold(bits, buffer, false, false, false, arg, part, 0);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, i32, bool, bool, bool) {
    u32 t = TYPE_OF(element);
    if (t != TYPE_INTEGER && t != TYPE_CHAR) {
        Cell dt = datatype_cell(t);
        fire("script", "invalid-type", &dt);
    }
    Cell* out = stack::push(element);
    if (value) return poke(parent, 0, value, out);
    return pick(parent, 0, out);
}

i32 compare(Cell* bits1, Cell* bits2, i32 op) {
    if (TYPE_OF(bits2) != TYPE_BITSET) return -2;
    if (op == COMP_SAME) return node_of(bits1) == node_of(bits2) ? 0 : 1;
    u32 len1 = byte_count(bits1), len2 = byte_count(bits2);
    if (len1 != len2) return len1 < len2 ? -1 : 1;
    if (len1 == 0) return 0;
    bool not1 = complemented_q(bits1), not2 = complemented_q(bits2);
    if (not1 != not2) return not1 ? 1 : -1;
    const u8* a = buf(bits1)->head();
    const u8* b = buf(bits2)->head();
    for (u32 i = len1; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

Cell* complement(Cell* bits) {
    SeriesBuffer* b = buf(bits);
    bool negated = b->flags & BITSET_NOT;
    node_t node = copy_series_part(node_of(bits), 0, b->used_bytes());
    invert(node);
    set_not(node, !negated);
    return make_cell(bits, TYPE_BITSET, 0, node, 0);
}

Cell* negate(Cell* bits) { return complement(bits); }

Cell* and_t() { return do_bitwise(6); }
Cell* or_t() { return do_bitwise(5); }
Cell* xor_t() { return do_bitwise(7); }

Cell* insert(Cell* bits, Cell* value, Cell*, bool, Cell*, bool append) {
    tell(bits, append ? words::append : words::insert, value);
    process_spec(value, bits, SET);
    tell(bits, append ? words::appended : words::inserted, value);
    return bits;
}

Cell* clear(Cell* bits) {
    tell(bits, words::clear, nullptr);
    SeriesBuffer* b = buf(bits);
    std::memset(b->head(), 0, b->used_bytes());
    tell(bits, words::cleared, nullptr);
    return bits;
}

Cell* copy(Cell* bits, Cell* result, Cell*, bool, Cell*) {
    SeriesBuffer* b = buf(bits);
    bool negated = b->flags & BITSET_NOT;
    node_t node = copy_series_part(node_of(bits), 0, b->used_bytes());
    set_not(node, negated);
    return make_cell(result ? result : bits, TYPE_BITSET, 0, node, 0);
}

Cell* find(Cell* bits, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    bool in = process_spec(value, bits, TEST) != 0;
    return make_cell(bits, TYPE_LOGIC, in ? 1 : 0);
}

i32 length_q(Cell* bits) { return static_cast<i32>(byte_count(bits) * 8); }

Cell* pick(Cell* bits, i32 index, Cell* boxed) {
    Cell spec;
    if (boxed) spec = *boxed; else make_cell(&spec, TYPE_INTEGER, 0, static_cast<u32>(index));
    bool in = process_spec(&spec, bits, TEST) != 0;
    return make_cell(boxed ? boxed : bits, TYPE_LOGIC, in ? 1 : 0);
}

Cell* poke(Cell* bits, i32 index, Cell* data, Cell* boxed) {
    Cell spec;
    if (boxed) spec = *boxed; else make_cell(&spec, TYPE_INTEGER, 0, static_cast<u32>(index));
    Cell v = *data;
    bool off = false;
    switch (TYPE_OF(&v)) {
        case TYPE_NONE: off = true; break;
        case TYPE_LOGIC: off = v.data1 == 0; break;
        case TYPE_INTEGER: off = v.data2 == 0; break;
        case TYPE_FLOAT: off = cell_float(&v) == 0.0; break;
        default: break;
    }
    tell(bits, words::poke, &v);
    process_spec(&spec, bits, off ? CLEAR : SET);
    tell(bits, words::poked, &v);
    return copy_cell(&v, boxed ? boxed : bits);
}

Cell* remove(Cell* bits, Cell*, Cell* key) {
    if (!key) fire("script", "missing-arg");
    tell(bits, words::remove, key);
    process_spec(key, bits, CLEAR);
    tell(bits, words::removed, key);
    return bits;
}

Cell* modify(Cell* bits, Cell* field, Cell* value, bool) {
    // `owned`: none removes the owner; a block [owner word] sets it, as for objects.
    if (!field || TYPE_OF(field) != TYPE_WORD ||
        symbol::resolve(static_cast<i32>(field->data2)) != symbol::resolve(words::owned))
        return value;
    if (TYPE_OF(value) == TYPE_NONE) {
        ownership::unbind(bits);
    } else if (TYPE_OF(value) == TYPE_BLOCK && block::zs_length_q(value) >= 2) {
        Cell owner = *block::zs_head(value);
        Cell word = *block::zs_abs_at(value, series_head(value) + 1);
        ownership::set_owner(bits, &owner, &word);
    }
    return value;
}

void init() {
    datatype::register_type(TYPE_BITSET, 0, "bitset!", {
        own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_NEGATE>(negate), own<ACT_AND_T>(and_t),
        own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t), own<ACT_APPEND>(insert),
        own<ACT_CLEAR>(clear), own<ACT_COPY>(copy), own<ACT_FIND>(find), own<ACT_INSERT>(insert),
        own<ACT_LENGTH_Q>(length_q), own<ACT_PICK>(pick), own<ACT_POKE>(poke), own<ACT_REMOVE>(remove),
        own<ACT_MODIFY>(modify),
    });
}

}  // namespace zav::bitset
