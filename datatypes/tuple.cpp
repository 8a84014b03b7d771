// tuple!: 3 to 12 unsigned bytes (1.2.3, 255.0.0.128); arithmetic works byte
// by byte and saturates at 0 and 255.
#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"

namespace zav::tuple {

namespace {

constexpr u32 COUNT_SHIFT = 19, COUNT_MASK = 0xF << COUNT_SHIFT;

void set_size(Cell* c, u32 n) { c->header = (c->header & ~COUNT_MASK) | (n << COUNT_SHIFT); }

u8 clamp(i64 v) { return static_cast<u8>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Raised pending: a conversion's entries return at once (see pend_bad_to_arg).
Cell* bad_to(const Cell* spec) { return error::pend_bad_to_arg(TYPE_TUPLE, spec); }

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

i32 hex_digit(u32 c) {
    c &= 0x7F;
    if (c >= '0' && c <= '9') return static_cast<i32>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<i32>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<i32>(c - 'A' + 10);
    return -1;
}

}  // namespace

u32 size_of(const Cell* value) { return (value->header & COUNT_MASK) >> COUNT_SHIFT; }
u8* bytes_of(Cell* value) { return reinterpret_cast<u8*>(&value->data1); }
static const u8* bytes_of(const Cell* value) { return reinterpret_cast<const u8*>(&value->data1); }

Cell* make_at(Cell* cell, u32 count, const u8* bytes) {
    make_cell(cell, TYPE_TUPLE);
    if (count > 12) count = 12;
    std::memcpy(bytes_of(cell), bytes, count);
    set_size(cell, count < 3 ? 3 : count);
    return cell;
}

Cell* push_bytes(u32 count, const u8* bytes) { return make_at(stack::push_star(), count, bytes); }

Cell* make_rgba(Cell* cell, i32 red, i32 green, i32 blue, i32 alpha) {
    u8 b[4] = {clamp(red), clamp(green), clamp(blue), clamp(alpha)};
    return make_at(cell, alpha == -1 ? 3 : 4, b);
}

Cell* from_binary(Cell* binary, Cell* cell) {
    SeriesBuffer* b = GET_BUFFER(series_node(binary));
    u32 len = b->length(), head = series_head(binary);
    u32 n = head < len ? len - head : 0;
    return make_at(cell, n > 12 ? 12 : n, b->head() + head);
}

Cell* from_hex(Cell* issue, Cell* cell) {
    Cell text = *word::push_string(issue);
    u32 n = string::zs_length_q(&text);
    u32 unit = string::buffer_unit(GET_BUFFER(series_node(&text)));
    const u8* p = string::zs_head(&text);
    i32 d[8];
    bool ok = n == 3 || n == 6 || n == 8;
    for (u32 i = 0; ok && i < n; i++) {
        u32 c = string::get_char(p + i * unit, unit);
        d[i] = (c & 0x7F) < 32 ? -1 : hex_digit(c);
        if (d[i] < 0) ok = false;
    }
    stack::pop(1);
    if (!ok) {
        Cell v = *issue;
        fire("script", "invalid-data", &v);
    }
    u8 b[4];
    if (n == 3) {
        for (u32 i = 0; i < 3; i++) b[i] = static_cast<u8>(d[i] * 17);
        return make_at(cell, 3, b);
    }
    for (u32 i = 0; i < n / 2; i++) b[i] = static_cast<u8>(d[2 * i] * 16 + d[2 * i + 1]);
    return make_at(cell, n / 2, b);
}

bool zero_q(const Cell* value) {
    const u8* b = bytes_of(value);
    for (u32 i = 0; i < size_of(value); i++)
        if (b[i]) return false;
    return true;
}

// ---- arithmetic --------------------------------------------------------------------

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (TYPE_OF(left) != TYPE_TUPLE) {
        if (op == integer::OP_SUB || op == integer::OP_DIV) {
            Cell w, dt;
            fire("script", "not-related", word_of(&w, op == integer::OP_SUB ? "subtract" : "divide"),
                 datatype::make_at(&dt, TYPE_OF(left)));
        }
        Cell number = *left;
        *left = *right;
        *right = number;
    }
    u32 rt = TYPE_OF(right);
    u8* a = bytes_of(left);
    u32 n = size_of(left);
    switch (rt) {
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double f = cell_float(right);
            for (u32 i = 0; i < n; i++) {
                double r = float_::do_math_op(a[i], f, op);
                a[i] = std::isnan(r) ? 0 : clamp(static_cast<i64>(std::trunc(std::fmax(-1.0, std::fmin(256.0, r)))));
            }
            break;
        }
        case TYPE_INTEGER: case TYPE_TUPLE: {
            u32 rn = rt == TYPE_TUPLE ? size_of(right) : 0;
            if (rn > n) {
                set_size(left, rn);
                n = rn;
            }
            const u8* b = bytes_of(right);
            for (u32 i = 0; i < n; i++) {
                i32 v = rt == TYPE_INTEGER ? integer::get(right) : (i < rn ? b[i] : 0);
                // Division gets no overflow cell: its quotient is truncated.
                Cell result;
                make_cell(&result, TYPE_INTEGER);
                i32 r = integer::do_math_op(a[i], v, op, op == integer::OP_DIV ? nullptr : &result);
                if (TYPE_OF(&result) == TYPE_FLOAT) a[i] = cell_float(&result) > 0 ? 255 : 0;
                else a[i] = clamp(r);
            }
            break;
        }
        default:
            invalid_type(rt);
    }
    return left;
}

// ---- comparison --------------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32) {
    if (TYPE_OF(value2) != TYPE_TUPLE) return -2;
    u32 n1 = size_of(value1), n2 = size_of(value2);
    const u8* a = bytes_of(value1);
    const u8* b = bytes_of(value2);
    for (u32 i = 0; i < std::max(n1, n2); i++) {
        u32 x = i < n1 ? a[i] : 0, y = i < n2 ? b[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// ---- actions --------------------------------------------------------------------

namespace {

Cell* make(Cell* proto, Cell* spec, u32) {
    switch (TYPE_OF(spec)) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
            u32 n = block::zs_length_q(spec);
            if (n > 12) return bad_to(spec);
            const Cell* items = block::zs_head(spec);
            u8 b[12] = {};
            for (u32 i = 0; i < n; i++) {
                double v;
                switch (TYPE_OF(items + i)) {
                    case TYPE_INTEGER: case TYPE_CHAR: v = static_cast<i32>(items[i].data2); break;
                    case TYPE_FLOAT: v = std::trunc(cell_float(items + i)); break;
                    default: return bad_to(spec);
                }
                if (!(v >= 0 && v <= 255)) return bad_to(spec);
                b[i] = static_cast<u8>(v);
            }
            return make_at(proto, n, b);
        }
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: {
            Cell s = *spec, loaded;
            if (!load_value(&s, &loaded) || TYPE_OF(&loaded) != TYPE_TUPLE) return bad_to(spec);
            return copy_cell(&loaded, proto);
        }
        case TYPE_ISSUE: {
            Cell s = *spec;
            return from_hex(&s, proto);
        }
        case TYPE_BINARY: {
            Cell s = *spec;
            return from_binary(&s, proto);
        }
        case TYPE_TUPLE: return copy_cell(spec, proto);
        default: return bad_to(spec);
    }
}

Cell* random_(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1 ^ value->data2 ^ value->data3);
        return make_cell(value, TYPE_UNSET);
    }
    u8* b = bytes_of(value);
    for (u32 i = 0; i < size_of(value); i++) b[i] = static_cast<u8>(random::int_range(secure, b[i] + 1) - 1);
    return value;
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    char text[64];
    i32 n = 0;
    const u8* b = bytes_of(value);
    for (u32 i = 0; i < size_of(value); i++) n += std::snprintf(text + n, sizeof text - n, i ? ".%u" : "%u", b[i]);
    string::concatenate_literal(buffer, text);
    return part - n;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) { return form(value, buffer, arg, part); }

Cell* pick(Cell* value, i32 index, Cell* boxed) {
    if (index < 1 || static_cast<u32>(index) > size_of(value)) fire("script", "out-of-range", boxed);
    return integer::push(bytes_of(value)[index - 1]);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, i32, bool, bool, bool) {
    if (TYPE_OF(element) != TYPE_INTEGER) invalid_type(TYPE_OF(element));
    i32 index = integer::get(element);
    if (!value) return pick(parent, index, element);
    u32 n = size_of(parent);
    if (index < 1 || static_cast<u32>(index) > n) fire("script", "out-of-range", element);
    u8* b = bytes_of(parent);
    if (TYPE_OF(value) == TYPE_INTEGER) {
        b[index - 1] = clamp(integer::get(value));
    } else if (TYPE_OF(value) == TYPE_NONE) {
        // none cuts the tuple there, never below 3 bytes.
        for (u32 i = static_cast<u32>(index) - 1; i < n; i++) b[i] = 0;
        set_size(parent, std::max<u32>(3, static_cast<u32>(index) - 1));
    } else {
        invalid_type(TYPE_OF(value));
    }
    return value;
}

i32 length_q(Cell* value) { return static_cast<i32>(size_of(value)); }

Cell* complement(Cell* value) {
    u8* b = bytes_of(value);
    for (u32 i = 0; i < size_of(value); i++) b[i] = static_cast<u8>(~b[i]);
    return value;
}

Cell* reverse(Cell* value, Cell* part, Cell* skip) {
    u32 n = size_of(value);
    u32 count = n, step = 1;
    if (part) {
        if (TYPE_OF(part) != TYPE_INTEGER) {
            Cell w, v = *part;
            fire("script", "invalid-refine-arg", word_of(&w, "part"), &v);
        }
        i32 p = integer::get(part);
        if (p < 0) fire("script", "out-of-range", part);
        count = std::min<u32>(static_cast<u32>(p), n);
    }
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) {
            Cell w, v = *skip;
            fire("script", "invalid-refine-arg", word_of(&w, "skip"), &v);
        }
        i32 s = integer::get(skip);
        if (s < 1) fire("script", "out-of-range", skip);
        step = static_cast<u32>(s);
    }
    if (step == count) return value;
    u8* b = bytes_of(value);
    if (step == 1) {
        std::reverse(b, b + count);
        return value;
    }
    // Groups of `step` bytes swap from both ends toward the middle.
    u32 groups = count / step;
    for (u32 i = 0, j = groups - 1; groups && i < j; i++, j--)
        for (u32 k = 0; k < step; k++) std::swap(b[i * step + k], b[j * step + k]);
    return value;
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* subtract() { return do_math(integer::OP_SUB); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* xor_t() { return do_math(integer::OP_XOR); }

}  // namespace

void init() {
    datatype::register_type(TYPE_TUPLE, 0, "tuple!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random_), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide),
        own<ACT_MULTIPLY>(multiply), own<ACT_REMAINDER>(remainder), own<ACT_SUBTRACT>(subtract),
        own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t),
        own<ACT_LENGTH_Q>(length_q), own<ACT_PICK>(pick), own<ACT_REVERSE>(reverse),
    });
}

}  // namespace zav::tuple
