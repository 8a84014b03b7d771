// vector!: packed numeric series; element access, element-wise arithmetic,
// make, mold, comparison, insertion and change.
#include "datatypes/vector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/percent.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/fire.h"

namespace zav::vector {

namespace {

bool int_type_q(u32 type) { return type == TYPE_CHAR || type == TYPE_INTEGER; }
u32 default_unit(u32 type) { return int_type_q(type) ? 4 : 8; }

SeriesBuffer* buf(const Cell* v) { return GET_BUFFER(series_node(v)); }
u32 length_of(const Cell* v) {
    u32 len = buf(v)->length(), head = series_head(v);
    return head < len ? len - head : 0;
}
u8* head_ptr(const Cell* v) {
    SeriesBuffer* b = buf(v);
    return b->head() + u64(std::min(series_head(v), b->length())) * b->unit();
}

// Room for `bytes` from the head (doubling when that is enough); the buffer may move.
SeriesBuffer* reserve(Cell* v, u64 bytes) {
    SeriesBuffer* b = buf(v);
    u64 room = static_cast<u64>(b->data_end() - b->head());
    if (bytes > 0x7FFFFFFF) fire("internal", "no-memory");
    if (bytes > room) expand_series(b, static_cast<u32>(bytes < 2 * room ? 2 * room : bytes));
    return buf(v);
}

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

[[noreturn]] void bad_make(const Cell* spec) {
    Cell dt, s = *spec;
    fire("script", "bad-make-arg", datatype::make_at(&dt, TYPE_VECTOR), &s);
}

[[noreturn]] void spec_field(const Cell* spec) {
    Cell s = *spec;
    fire("script", "invalid-spec-field", &s);
}

void store_int(u8* p, u32 unit, i64 v) {
    switch (unit) {
        case 1: *p = static_cast<u8>(v); break;
        case 2: { u16 x = static_cast<u16>(v); std::memcpy(p, &x, 2); break; }
        default: { u32 x = static_cast<u32>(v); std::memcpy(p, &x, 4); break; }
    }
}

void store_float(u8* p, u32 unit, double d) {
    if (unit == 4) {
        float f = static_cast<float>(d);
        std::memcpy(p, &f, 4);
    } else {
        std::memcpy(p, &d, 8);
    }
}

// Integer arithmetic of two elements; results that leave 32 bits wrap.
i64 int_op(i32 a, i32 b, i32 op) {
    switch (op) {
        case integer::OP_ADD: return i64(a) + b;
        case integer::OP_SUB: return i64(a) - b;
        case integer::OP_MUL: return i64(a) * b;
        default: return integer::do_math_op(a, b, op, nullptr);
    }
}

}  // namespace

// ---- elements ------------------------------------------------------------------------

i32 get_int_value(const u8* p, u32 unit) {
    switch (unit) {
        case 1: return static_cast<int8_t>(*p);
        case 2: { int16_t x; std::memcpy(&x, p, 2); return x; }
        default: { i32 x; std::memcpy(&x, p, 4); return x; }
    }
}

double get_float_value(const u8* p, u32 unit) {
    if (unit == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

Cell* get_value(const u8* p, u32 unit, u32 type) {
    Cell* c = stack::push_star();
    if (int_type_q(type)) return make_cell(c, type, 0, static_cast<u32>(get_int_value(p, unit)));
    make_cell(c, type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
    set_cell_float(c, get_float_value(p, unit));
    return c;
}

void set_value(u8* p, const Cell* value, u32 unit, u32 type) {
    u32 vt = TYPE_OF(value);
    bool int_value = vt == TYPE_INTEGER || vt == TYPE_CHAR;
    if (!int_value && vt != TYPE_FLOAT && vt != TYPE_PERCENT) invalid_type(vt);
    if (int_type_q(type)) {
        i64 v;
        if (int_value) {
            v = static_cast<i32>(value->data2);
        } else {
            double d = std::trunc(cell_float(value));
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
                Cell c = *value;
                fire("script", "out-of-range", &c);
            }
            v = static_cast<i64>(d);
        }
        store_int(p, unit, v);
    } else {
        store_float(p, unit, int_value ? static_cast<i32>(value->data2) : cell_float(value));
    }
}

Cell* make_at(Cell* cell, u32 count, u32 type, u32 unit) {
    if (u64(count) * unit > 0x7FFFFFFF) fire("internal", "no-memory");
    node_t node = alloc_series(count ? count : 1, unit, 0);
    return make_cell(cell, TYPE_VECTOR, 0, node, type);
}

Cell* to_block(Cell* vec, Cell* block) {
    stack::TopGuard guard;
    Cell* v = stack::push(vec);
    u32 n = length_of(v);
    Cell* out = block::push_only_star(n ? n : 1);
    u32 unit = buf(v)->unit();
    for (u32 i = 0; i < n; i++) {
        Cell* e = get_value(head_ptr(v) + u64(i) * unit, unit, element_type(v));
        block::zs_append(out, e);
        stack::pop(1);
    }
    *block = *out;
    return block;
}

// ---- arithmetic ----------------------------------------------------------------------

Cell* do_math_scalar(i32 op, Cell* vec, Cell* scalar, bool scalar_first) {
    u32 st = TYPE_OF(scalar), type = element_type(vec);
    if (st != TYPE_INTEGER && st != TYPE_FLOAT && st != TYPE_PERCENT) fire("internal", "not-done");
    double f = st == TYPE_INTEGER ? integer::get(scalar) : cell_float(scalar);
    if (scalar_first && op != integer::OP_ADD && op != integer::OP_MUL && op > integer::OP_REM) scalar_first = false;
    if (!scalar_first && ((f == 0.0 && (op == integer::OP_ADD || op == integer::OP_SUB)) ||
                          (f == 1.0 && (op == integer::OP_MUL || op == integer::OP_DIV))))
        return vec;
    u32 n = length_of(vec), unit = buf(vec)->unit();
    u8* p = head_ptr(vec);
    if (!int_type_q(type)) {
        if (unit == 8 && !scalar_first && op <= integer::OP_DIV) {
            // The common cases stay in tight loops (elements are only 4-byte
            // aligned: they are read and written through memcpy).
            auto each = [&](auto fn) {
                for (u32 i = 0; i < n; i++) {
                    double d;
                    std::memcpy(&d, p + u64(i) * 8, 8);
                    d = fn(d);
                    std::memcpy(p + u64(i) * 8, &d, 8);
                }
            };
            switch (op) {
                case integer::OP_ADD: each([f](double d) { return d + f; }); return vec;
                case integer::OP_SUB: each([f](double d) { return d - f; }); return vec;
                case integer::OP_MUL: each([f](double d) { return d * f; }); return vec;
                default: each([f](double d) { return d / f; }); return vec;
            }
        }
        for (u32 i = 0; i < n; i++, p += unit) {
            double e = get_float_value(p, unit);
            store_float(p, unit, scalar_first ? float_::do_math_op(f, e, op) : float_::do_math_op(e, f, op));
        }
        return vec;
    }
    double t = std::trunc(f);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) {
        Cell c = *scalar;
        fire("script", "out-of-range", &c);
    }
    i32 k = static_cast<i32>(t);
    for (u32 i = 0; i < n; i++, p += unit) {
        i32 e = get_int_value(p, unit);
        store_int(p, unit, scalar_first ? int_op(k, e, op) : int_op(e, k, op));
    }
    return vec;
}

namespace {

// The action slots: a vector with a vector gives a new vector; a vector with
// a scalar is changed in place.
Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (TYPE_OF(right) != TYPE_VECTOR) return do_math_scalar(op, left, right);
    u32 type = element_type(left);
    if (element_type(right) != type) fire("script", "not-same-type");
    u32 ua = buf(left)->unit(), ub = buf(right)->unit(), unit = std::max(ua, ub);
    u32 n = std::min(length_of(left), length_of(right));
    Cell out;
    make_at(&out, n, type, unit);
    SeriesBuffer* ob = buf(&out);
    ob->tail = ob->offset + n * unit;
    u8* o = ob->head();
    const u8* a = head_ptr(left);
    const u8* b = head_ptr(right);
    for (u32 i = 0; i < n; i++) {
        if (int_type_q(type)) {
            store_int(o + u64(i) * unit, unit,
                      int_op(get_int_value(a + u64(i) * ua, ua), get_int_value(b + u64(i) * ub, ub), op));
        } else {
            store_float(o + u64(i) * unit, unit,
                        float_::do_math_op(get_float_value(a + u64(i) * ua, ua), get_float_value(b + u64(i) * ub, ub), op));
        }
    }
    *left = out;
    return left;
}

Cell* add() { return do_math(integer::OP_ADD); }
Cell* subtract() { return do_math(integer::OP_SUB); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* and_t() { return do_math(integer::OP_AND); }
Cell* or_t() { return do_math(integer::OP_OR); }
Cell* xor_t() { return do_math(integer::OP_XOR); }

// Values of a block from its head (or the one value) as a run of elements.
struct Source {
    Cell held;
    const Cell* cells;
    u32 count;
    bool vector;
};

Source source_of(Cell* value, Cell* part) {
    Source s{*value, nullptr, 1, false};
    u32 t = TYPE_OF(value);
    if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
        s.cells = block::zs_head(value);
        s.count = block::zs_length_q(value);
    } else if (t == TYPE_VECTOR) {
        s.count = length_of(value);
        s.vector = true;
    } else {
        s.cells = value;
        return s;
    }
    // /part: a count, or a position in the inserted series.
    if (part && TYPE_OF(part) == TYPE_INTEGER) {
        i32 n = integer::get(part);
        s.count = std::min<u32>(s.count, n < 0 ? 0 : static_cast<u32>(n));
    } else if (part && TYPE_OF(part) == t && series_node(part) == series_node(value)) {
        u32 from = series_head(value), to = series_head(part);
        s.count = std::min<u32>(s.count, to > from ? to - from : 0);
    }
    return s;
}

// Element i of a source, stored into p.
void store_source(u8* p, Source& s, u32 i, u32 unit, u32 type) {
    if (s.vector) {
        // Another width or type: converted element by element.
        u32 su = buf(&s.held)->unit();
        Cell* e = get_value(head_ptr(&s.held) + u64(i) * su, su, element_type(&s.held));
        set_value(p, e, unit, type);
        stack::pop(1);
        return;
    }
    set_value(p, s.cells + i, unit, type);
}

// Every value is tried on a scratch element first, so that a bad one raises
// its error before the vector changes.
void check_source(Source& s, u32 unit, u32 type) {
    if (s.vector) return;
    u8 scratch[8];
    for (u32 i = 0; i < s.count; i++) set_value(scratch, s.cells + i, unit, type);
}

u32 dup_count(Cell* dup) {
    if (!dup || TYPE_OF(dup) != TYPE_INTEGER) return 1;
    i32 n = integer::get(dup);
    return n < 0 ? 0 : static_cast<u32>(n);
}

Cell* insert(Cell* vec, Cell* value, Cell* part, bool, Cell* dup, bool append) {
    stack::TopGuard guard;
    Cell* v = stack::push(vec);
    Cell* val = stack::push(value);
    SeriesBuffer* b = buf(v);
    if (series_head(v) > b->length()) series_head(v) = b->length();
    Source src = source_of(val, part);
    u32 times = dup_count(dup);
    u64 count = u64(src.count) * times;
    u32 unit = b->unit(), type = element_type(v);
    u64 bytes = (count + b->length()) * unit;
    if (bytes > 0x7FFFFFFF) fire("internal", "no-memory");
    u32 at = append ? b->length() : series_head(v);
    check_source(src, unit, type);
    if (count) {
        series::tell(v, "insert", at, static_cast<u32>(count), val);
        b = reserve(v, bytes);
        u8* p = b->head() + u64(at) * unit;
        std::memmove(p + count * unit, p, u64(b->length() - at) * unit);
        b->tail += static_cast<u32>(count * unit);
        for (u32 i = 0; i < src.count; i++) store_source(buf(v)->head() + (u64(at) + i) * unit, src, i, unit, type);
        u8* first = buf(v)->head() + u64(at) * unit;
        for (u32 k = 1; k < times; k++) std::memcpy(first + u64(k) * src.count * unit, first, u64(src.count) * unit);
        series::tell(v, "inserted", at, static_cast<u32>(count), val);
    }
    if (!append) series_head(vec) = at + static_cast<u32>(count);
    return vec;
}

Cell* change(Cell* vec, Cell* value, Cell* part, bool, Cell* dup) {
    stack::TopGuard guard;
    Cell* v = stack::push(vec);
    Cell* val = stack::push(value);
    SeriesBuffer* b = buf(v);
    u32 head = std::min(series_head(v), b->length());
    Source src = source_of(val, nullptr);
    u32 times = dup_count(dup);
    u64 written = u64(src.count) * times;
    u32 after = b->length() - head;
    u64 replaced = written;
    if (part && TYPE_OF(part) == TYPE_INTEGER) {
        if (integer::get(part) >= 0) replaced = static_cast<u32>(integer::get(part));
    } else if (part && TYPE_OF(part) == TYPE_VECTOR && series_node(part) == series_node(v)) {
        replaced = series_head(part) > head ? series_head(part) - head : 0;
    }
    if (replaced > after) replaced = after;
    u32 unit = b->unit(), type = element_type(v);
    u64 new_len = u64(b->length()) - replaced + written;
    if (new_len * unit > 0x7FFFFFFF) fire("internal", "no-memory");
    check_source(src, unit, type);
    if (written || replaced) {
        series::tell(v, "change", head, static_cast<u32>(written), val);
        b = reserve(v, new_len * unit);
        u8* p = b->head() + u64(head) * unit;
        std::memmove(p + written * unit, p + replaced * unit, u64(after - replaced) * unit);
        b->tail = b->offset + static_cast<u32>(new_len * unit);
        for (u32 i = 0; i < src.count; i++) store_source(buf(v)->head() + (u64(head) + i) * unit, src, i, unit, type);
        u8* first = buf(v)->head() + u64(head) * unit;
        for (u32 k = 1; k < times; k++) std::memcpy(first + u64(k) * src.count * unit, first, u64(src.count) * unit);
        series::tell(v, "changed", head, static_cast<u32>(written), val);
    }
    series_head(vec) = head + static_cast<u32>(written);
    return vec;
}

// Element i from the head as a number.
double number_at(const Cell* v, u32 i) {
    u32 unit = buf(v)->unit();
    const u8* p = head_ptr(v) + u64(i) * unit;
    return int_type_q(element_type(v)) ? get_int_value(p, unit) : get_float_value(p, unit);
}

// Position of a number from the head (-1 when absent), by the find refinements.
i64 search(Cell* vec, Cell* value, Cell* part, Cell* skip, bool last, bool reverse, bool match) {
    u32 t = TYPE_OF(value);
    if (t != TYPE_INTEGER && t != TYPE_CHAR && t != TYPE_FLOAT && t != TYPE_PERCENT) return -1;
    double want = t == TYPE_INTEGER || t == TYPE_CHAR ? static_cast<i32>(value->data2) : cell_float(value);
    i64 n = length_of(vec);
    if (part && TYPE_OF(part) == TYPE_INTEGER) n = std::min<i64>(n, std::max(0, integer::get(part)));
    i64 step = skip && TYPE_OF(skip) == TYPE_INTEGER ? std::max(1, integer::get(skip)) : 1;
    if (match) return n > 0 && number_at(vec, 0) == want ? 0 : -1;
    if (reverse) {
        // Backwards from before the head.
        SeriesBuffer* b = buf(vec);
        i64 head = std::min(series_head(vec), b->length());
        for (i64 i = head - 1; i >= 0; i -= step) {
            Cell at = *vec;
            series_head(&at) = 0;
            if (number_at(&at, static_cast<u32>(i)) == want) return i - head;
        }
        return INT64_MIN;
    }
    if (last) {
        for (i64 i = n - 1; i >= 0; i--)
            if (i % step == 0 && number_at(vec, static_cast<u32>(i)) == want) return i;
        return -1;
    }
    for (i64 i = 0; i < n; i += step)
        if (number_at(vec, static_cast<u32>(i)) == want) return i;
    return -1;
}

Cell* find(Cell* vec, Cell* value, Cell* part, bool, bool, bool, bool, Cell*, Cell* skip, bool last, bool reverse,
           bool tail, bool match) {
    i64 at = search(vec, value, part, skip, last, reverse, match);
    if (at == -1 || at == INT64_MIN) return make_cell(vec, TYPE_NONE);
    series_head(vec) = static_cast<u32>(series_head(vec) + at + (tail || match ? 1 : 0));
    return vec;
}

Cell* select(Cell* vec, Cell* value, Cell* part, bool, bool, bool, bool, Cell*, Cell* skip, bool last,
             bool reverse) {
    i64 at = search(vec, value, part, skip, last, reverse, false);
    if (at == -1 || at == INT64_MIN || at + 1 >= static_cast<i64>(length_of(vec))) return make_cell(vec, TYPE_NONE);
    u32 unit = buf(vec)->unit();
    Cell* e = get_value(head_ptr(vec) + u64(at + 1) * unit, unit, element_type(vec));
    Cell r = *e;
    stack::pop(1);
    *vec = r;
    return vec;
}

// How a vector is sorted: records of `size` elements, ordered by the element
// at `offset` or by all of them, or by a comparison function.
struct VecSort {
    u32 unit, type, size, offset;
    bool all, reverse;
    Cell* fn;
    Cell* args;
};

double element_number(const u8* p, u32 unit, u32 type) {
    return int_type_q(type) ? get_int_value(p, unit) : get_float_value(p, unit);
}

int compare_records(const void* a, const void* b, uintptr_t ctx, uintptr_t) {
    const VecSort& s = *reinterpret_cast<const VecSort*>(ctx);
    u32 from = s.all ? 0 : s.offset, to = s.all ? s.size : s.offset + 1;
    int r = 0;
    for (u32 i = from; i < to && !r; i++) {
        double x = element_number(static_cast<const u8*>(a) + u64(i) * s.unit, s.unit, s.type);
        double y = element_number(static_cast<const u8*>(b) + u64(i) * s.unit, s.unit, s.type);
        r = x < y ? -1 : x > y ? 1 : 0;  // unordered pairs compare equal
    }
    return s.reverse ? -r : r;
}

// The comparator sees element values, or whole records as vectors with /all.
void record_value(Cell* out, const u8* p, const VecSort& s) {
    if (s.all) {
        make_at(out, s.size, s.type, s.unit);
        SeriesBuffer* b = buf(out);
        std::memcpy(b->head(), p, u64(s.size) * s.unit);
        b->tail = b->offset + s.size * s.unit;
        return;
    }
    *out = *get_value(p, s.unit, s.type);
    stack::pop(1);
}

int call_comparator(const void* a, const void* b, uintptr_t ctx, uintptr_t) {
    const VecSort& s = *reinterpret_cast<const VecSort*>(ctx);
    if (s.reverse) std::swap(a, b);
    collector::GuardedCell va, vb;
    record_value(&va.value, static_cast<const u8*>(a), s);
    record_value(&vb.value, static_cast<const u8*>(b), s);
    Cell* slots = block::cells_of(block::buffer_of(s.args)) + series_head(s.args);
    slots[0] = va.value;
    slots[1] = vb.value;
    return function::call_comparator(s.fn, s.args);
}

[[noreturn]] void refine_error(const char* refinement, const Cell* value) {
    Cell w;
    fire("script", "invalid-refine-arg", series::word_arg(&w, refinement), value);
}

// Numeric order of the elements from the head (a /part count limits them);
// /skip sorts records, /compare orders them by one of their elements or by
// a function of two values.
Cell* sort(Cell* vec, bool, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool) {
    u32 len = length_of(vec);
    if (part && TYPE_OF(part) == TYPE_INTEGER) len = std::min<u32>(len, static_cast<u32>(std::max(0, integer::get(part))));
    u32 size = 1;
    // Its argument errors are raised pending: the sort action returns at once.
    if (skip) {
        if (TYPE_OF(skip) != TYPE_INTEGER) return fire_or_pend(true, "script", "invalid-arg", skip);
        i32 n = integer::get(skip);
        if (n < 1 || len < static_cast<u32>(n) || len % static_cast<u32>(n) != 0)
            return series::refine_arg_error("skip", skip, true);
        size = static_cast<u32>(n);
    } else if (all) {
        fire("script", "bad-refines");
    }
    VecSort s{buf(vec)->unit(), element_type(vec), size, 0, all && skip, reverse, nullptr, nullptr};
    sort::Comparator cmp = compare_records;
    if (comparator) {
        u32 ct = TYPE_OF(comparator);
        if (ct == TYPE_FUNCTION) {
            function::check_callback(comparator, 2, "compare");
            cmp = call_comparator;
            s.fn = comparator;
        } else if (ct == TYPE_INTEGER) {
            if (!skip || all) fire("script", "bad-refines");
            i32 offset = integer::get(comparator);
            if (offset < 1 || static_cast<u32>(offset) > size) fire("script", "out-of-range", comparator);
            s.offset = static_cast<u32>(offset - 1);
        } else {
            refine_error("compare", comparator);
        }
    }
    u32 count = len / size;
    if (count < 2) return vec;
    series::tell(vec, "sort", series_head(vec), len);
    u32 bytes = len * s.unit;
    // Sorted in a private copy: a comparison function may allocate (moving
    // the buffer) or change the vector, which is an error that leaves it as
    // the function made it.
    std::vector<u8> tmp(head_ptr(vec), head_ptr(vec) + bytes);
    const std::vector<u8> before = tmp;
    u32 total = buf(vec)->length();
    collector::GuardedCell args;
    if (s.fn) {
        block::make_at(&args.value, 2);
        Cell none{TYPE_NONE, 0, 0, 0};
        block::zs_append(&args.value, &none);
        block::zs_append(&args.value, &none);
        s.args = &args.value;
    }
    sort::mergesort(tmp.data(), count, size * s.unit, reinterpret_cast<uintptr_t>(&s), 0, cmp);
    if (buf(vec)->length() != total || std::memcmp(head_ptr(vec), before.data(), bytes)) fire("script", "protected");
    std::memcpy(head_ptr(vec), tmp.data(), bytes);
    series::tell(vec, "sorted", series_head(vec), len);
    return vec;
}

}  // namespace

// ---- make ---------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32) {
    stack::TopGuard guard;
    u32 st = TYPE_OF(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        i32 n = check_float_range(spec);
        if (n < 0) fire("script", "out-of-range", spec);
        Cell* out = stack::push_star();
        make_at(out, static_cast<u32>(n), TYPE_INTEGER, 4);
        SeriesBuffer* b = buf(out);
        std::memset(b->head(), 0, u64(n) * 4);
        b->tail = b->offset + static_cast<u32>(n) * 4;
        *proto = *out;
        return proto;
    }
    if (st != TYPE_BLOCK) fire("internal", "not-done");
    Cell* s = stack::push(spec);
    u32 len = block::zs_length_q(s);
    u32 type = TYPE_INTEGER, unit = 4;
    u32 i = 0;
    i32 count = 0;
    const Cell* values = nullptr;  // the values block, when given
    Cell values_cell;
    const Cell* items = block::zs_head(s);
    if (len > 0 && TYPE_OF(items) == TYPE_WORD) {
        if (len < 2) bad_make(spec);
        i32 sym = symbol::resolve(static_cast<i32>(items[0].data2));
        auto named = [&](const char* name) { return sym == symbol::resolve(symbol::make(name)); };
        if (named("integer!")) type = TYPE_INTEGER;
        else if (named("char!")) type = TYPE_CHAR;
        else if (named("float!")) type = TYPE_FLOAT;
        else if (named("percent!")) type = TYPE_PERCENT;
        else bad_make(spec);
        i = 1;
        if (type == TYPE_PERCENT) {
            unit = 8;
            if (i < len && TYPE_OF(items + i) == TYPE_INTEGER) i++;  // its width is always 64 bits
        } else {
            if (i >= len || TYPE_OF(items + i) != TYPE_INTEGER) spec_field(spec);
            i32 bits = integer::get(items + i);
            bool ok = int_type_q(type) ? (bits == 8 || bits == 16 || bits == 32) : (bits == 32 || bits == 64);
            if (!ok) bad_make(spec);
            unit = static_cast<u32>(bits / 8);
            i++;
        }
        if (i < len && TYPE_OF(items + i) == TYPE_INTEGER) {
            count = integer::get(items + i);
            if (count < 0) fire("script", "out-of-range", items + i);
            i++;
        }
        if (i < len && TYPE_OF(items + i) == TYPE_BLOCK) {
            values_cell = items[i];
            values = &values_cell;
            i++;
        }
        if (i < len) spec_field(spec);
    } else if (len > 0) {
        type = TYPE_OF(items);
        if (!int_type_q(type) && type != TYPE_FLOAT && type != TYPE_PERCENT) invalid_type(type);
        unit = default_unit(type);
        values_cell = *s;
        values = &values_cell;
    }
    u32 given = values ? block::zs_length_q(values) : 0;
    u32 size = static_cast<u32>(count);
    bool fill = true;
    if (values && given >= size) {
        size = given;
        fill = false;
    }
    Cell* vals = values ? stack::push(values) : nullptr;
    Cell* out = stack::push_star();
    make_at(out, size ? size : 1, type, unit);
    for (u32 k = 0; k < given; k++) {
        const Cell* v = block::zs_head(vals) + k;
        if (TYPE_OF(v) != type) {
            Cell bad = *v;
            fire("script", "invalid-arg", &bad);
        }
        SeriesBuffer* b = reserve(out, u64(buf(out)->used_bytes()) + unit);
        set_value(b->tail_ptr(), v, unit, type);
        b->tail += unit;
    }
    if (fill && size > given) {
        u32 extra = (size - given) * unit;
        SeriesBuffer* b = reserve(out, u64(buf(out)->used_bytes()) + extra);
        std::memset(b->tail_ptr(), 0, extra);
        b->tail += extra;
    }
    *proto = *out;
    return proto;
}

// ---- text ---------------------------------------------------------------------------------

namespace {

void append_text(Cell* buffer, const char* text, i32& part) {
    string::concatenate_literal(buffer, text);
    part -= static_cast<i32>(std::strlen(text));
}

// With `exact` (mold/all) every float and percent reads back unchanged.
i32 write_elements(Cell* vec, Cell* buffer, Cell* arg, i32 part, bool mold, bool exact = false) {
    u32 n = length_of(vec), unit = buf(vec)->unit(), type = element_type(vec);
    for (u32 i = 0; i < n; i++) {
        if (mold && arg && part < 1) break;
        if (i) append_text(buffer, " ", part);
        const u8* p = head_ptr(vec) + u64(i) * unit;
        switch (type) {
            case TYPE_CHAR: {
                u32 cp = static_cast<u32>(get_int_value(p, unit));
                if (mold) {
                    append_text(buffer, "#\"", part);
                    string::append_escaped_char(buffer, cp, string::ESC_MOLD, false);
                    append_text(buffer, "\"", part);
                    part--;
                } else {
                    string::append_char(buffer, cp);
                    part--;
                }
                break;
            }
            case TYPE_INTEGER: append_text(buffer, integer::form_signed(get_int_value(p, unit)), part); break;
            case TYPE_FLOAT: {
                double v = get_float_value(p, unit);
                append_text(buffer,
                            exact && unit == 4 ? float_::exact_text32(static_cast<float>(v))
                                               : float_::form_float(v, unit == 4 ? float_::FORM_FLOAT32 : float_::FORM_FLOAT, exact),
                            part);
                break;
            }
            default: {
                double v = get_float_value(p, unit);
                append_text(buffer,
                            exact ? percent::exact_text(v)
                                  : float_::form_float(v * 100.0, unit == 4 ? float_::FORM_PERCENT32 : float_::FORM_PERCENT),
                            part);
                break;
            }
        }
    }
    return part;
}

}  // namespace

i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part) { return write_elements(value, buffer, arg, part, false); }

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool, Cell* arg, i32 part, i32) {
    u32 type = element_type(value), unit = buf(value)->unit();
    if (!only) append_text(buffer, "make vector! [", part);
    bool plain = length_of(value) > 0 && unit == default_unit(type);
    if (!plain) {
        char text[32];
        std::snprintf(text, sizeof text, "%s %u [", datatype::name_of(type), unit * 8);
        append_text(buffer, text, part);
    }
    part = write_elements(value, buffer, arg, part, true, all);
    if (!plain) append_text(buffer, "]", part);
    if (!only) append_text(buffer, "]", part);
    return part;
}

// ---- comparison -----------------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_VECTOR) return -2;
    u32 type = element_type(value1);
    if (element_type(value2) != type) fire("script", "not-same-type");
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
    if (series_node(value1) == series_node(value2) && series_head(value1) == series_head(value2)) return 0;
    if (op == COMP_SAME) return 1;
    u32 n1 = length_of(value1), n2 = length_of(value2);
    if (equality && n1 != n2) return 1;
    u32 u1 = buf(value1)->unit(), u2 = buf(value2)->unit();
    const u8* a = head_ptr(value1);
    const u8* b = head_ptr(value2);
    for (u32 i = 0; i < std::min(n1, n2); i++) {
        if (int_type_q(type)) {
            i32 x = get_int_value(a + u64(i) * u1, u1), y = get_int_value(b + u64(i) * u2, u2);
            if (x != y) return x < y ? -1 : 1;
        } else {
            double x = get_float_value(a + u64(i) * u1, u1), y = get_float_value(b + u64(i) * u2, u2);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return n1 == n2 ? 0 : n1 < n2 ? -1 : 1;
}

void init() {
    datatype::register_type(TYPE_VECTOR, TYPE_STRING, "vector!", {
        own<ACT_MAKE>(make), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), own<ACT_FORM>(form),
        own<ACT_MOLD>(mold), inherit<ACT_EVAL_PATH>(), own<ACT_COMPARE>(compare), own<ACT_ADD>(add),
        own<ACT_DIVIDE>(divide), own<ACT_MULTIPLY>(multiply), own<ACT_REMAINDER>(remainder),
        own<ACT_SUBTRACT>(subtract), own<ACT_AND_T>(and_t), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t),
        own<ACT_APPEND>(insert), inherit<ACT_AT>(), inherit<ACT_BACK>(), own<ACT_CHANGE>(change),
        inherit<ACT_CLEAR>(), inherit<ACT_COPY>(), own<ACT_FIND>(find), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(),
        inherit<ACT_INDEX_Q>(), own<ACT_INSERT>(insert), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(),
        inherit<ACT_NEXT>(), inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_REMOVE>(),
        inherit<ACT_REVERSE>(), own<ACT_SELECT>(select), own<ACT_SORT>(sort), inherit<ACT_SKIP>(),
        inherit<ACT_TAIL>(), inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::vector
