// point2D! and point3D!: coordinates in 32-bit floats; arithmetic, paths,
// comparison with almost-equality, rounding and the text form.
#include "datatypes/point2d.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/point3d.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "datatypes/forming.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::point2D {

namespace {

Cell* make_point(Cell* cell, u32 type, const float* c) {
    make_cell(cell, type);
    for (u32 i = 0; i < (type == TYPE_POINT3D ? 3u : 2u); i++) set_coord(cell, i, c[i]);
    return cell;
}

[[noreturn]] void invalid_type(u32 type) {
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, type));
}

[[noreturn]] void bad_to(u32 type, const Cell* spec) {
    Cell dt, s = *spec;
    fire("script", "bad-to-arg", datatype::make_at(&dt, type), &s);
}

// Field 1-3 of a selector word (x y z), 0 when it names none.
u32 field_word(const Cell* element, u32 dims) {
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    static const char* const names[] = {"x", "y", "z"};
    for (u32 i = 0; i < dims; i++)
        if (sym == symbol::resolve(symbol::make(names[i]))) return i + 1;
    return 0;
}

// The second operand as one value per coordinate; `single` when it is a plain float factor.
void operand_values(const Cell* right, u32 type, float* v, bool* single) {
    u32 dims = type == TYPE_POINT3D ? 3 : 2;
    *single = false;
    switch (TYPE_OF(right)) {
        case TYPE_INTEGER:
            for (u32 i = 0; i < dims; i++) v[i] = static_cast<float>(integer::get(right));
            return;
        case TYPE_FLOAT: case TYPE_PERCENT:
            for (u32 i = 0; i < dims; i++) v[i] = static_cast<float>(cell_float(right));
            *single = true;
            return;
        case TYPE_PAIR:
            if (type != TYPE_POINT2D) break;
            v[0] = static_cast<float>(pair::x_of(right));
            v[1] = static_cast<float>(pair::y_of(right));
            return;
        default:
            if (TYPE_OF(right) != type) break;
            for (u32 i = 0; i < dims; i++) v[i] = coord(right, i);
            return;
    }
    invalid_type(TYPE_OF(right));
}

Cell* with_each(Cell* spec, u32 type, Cell* proto) {
    u32 dims = type == TYPE_POINT3D ? 3 : 2;
    float c[3] = {0, 0, 0};
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER: case TYPE_FLOAT:
            for (u32 i = 0; i < dims; i++)
                c[i] = static_cast<float>(TYPE_OF(spec) == TYPE_INTEGER ? integer::get(spec) : cell_float(spec));
            return make_point(proto, type, c);
        case TYPE_BLOCK: {
            if (block::zs_length_q(spec) < dims) {
                Cell s = *spec;
                fire("syntax", "malconstruct", &s);
            }
            const Cell* items = block::zs_head(spec);
            for (u32 i = 0; i < dims; i++) {
                u32 t = TYPE_OF(items + i);
                if (t == TYPE_INTEGER) c[i] = static_cast<float>(integer::get(items + i));
                else if (t == TYPE_FLOAT) c[i] = static_cast<float>(cell_float(items + i));
                else {
                    Cell s = *spec;
                    fire("syntax", "malconstruct", &s);
                }
            }
            return make_point(proto, type, c);
        }
        case TYPE_PAIR:
            c[0] = static_cast<float>(pair::x_of(spec));
            c[1] = static_cast<float>(pair::y_of(spec));
            return make_point(proto, type, c);
        case TYPE_POINT2D:
            if (type == TYPE_POINT2D) return copy_cell(spec, proto);
            c[0] = coord(spec, 0);
            c[1] = coord(spec, 1);
            return make_point(proto, type, c);
        case TYPE_POINT3D:
            if (type == TYPE_POINT3D) return copy_cell(spec, proto);
            bad_to(type, spec);
        case TYPE_STRING: {
            Cell s = *spec, loaded;
            if (!load_value(&s, &loaded) || TYPE_OF(&loaded) != type) bad_to(type, spec);
            return copy_cell(&loaded, proto);
        }
        default:
            bad_to(type, spec);
    }
}

}  // namespace

Cell* make_in(Cell* cell, float x, float y) {
    float c[2] = {x, y};
    return make_point(cell, TYPE_POINT2D, c);
}
Cell* make_at(Cell* block, float x, float y) { return make_in(alloc_at_tail(series_node(block)), x, y); }
Cell* push(float x, float y) { return make_in(stack::push_star(), x, y); }

Cell* do_math(i32 op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    u32 type = TYPE_OF(left), dims = dims_of(left);
    float v[3];
    bool single;
    operand_values(right, type, v, &single);
    for (u32 i = 0; i < dims; i++) {
        float c = coord(left, i);
        float r;
        if (single && op == integer::OP_MUL) r = c * v[i];
        else if (single && op == integer::OP_DIV) r = c / v[i];
        else if (op == integer::OP_DIV) r = static_cast<float>(double(c) / double(v[i]));  // no zero check
        else if (op == integer::OP_REM) r = static_cast<float>(std::fmod(double(c), double(v[i])));
        else r = static_cast<float>(float_::do_math_op(c, v[i], op));
        set_coord(left, i, r);
    }
    return left;
}

Cell* negate(Cell* value) {
    for (u32 i = 0; i < dims_of(value); i++) set_coord(value, i, 0.0f - coord(value, i));
    return value;
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    if (type != TYPE_POINT3D) type = TYPE_POINT2D;
    return with_each(spec, type, proto);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
    u32 dims = dims_of(value);
    if (seed) {
        random::seed(hashtable::murmur3(reinterpret_cast<const u8*>(&value->data1), 4 * dims));
        return make_cell(value, TYPE_UNSET);
    }
    for (u32 i = 0; i < dims; i++) {
        float c = coord(value, i);
        if (c != 0.0f) set_coord(value, i, static_cast<float>(float_::random_range(c, secure)));
    }
    return value;
}

namespace {

// Exact text for mold/all, and always when pretty float text is off.
i32 write(Cell* value, Cell* buffer, i32 part, bool exact) {
    exact = exact || !float_::pretty_print_q;
    string::concatenate_literal(buffer, "(");
    part--;
    for (u32 i = 0; i < dims_of(value); i++) {
        if (i) {
            string::concatenate_literal(buffer, ", ");
            part -= 2;
        }
        const char* text = exact ? float_::exact_text32(coord(value, i)) : float_::form_float(coord(value, i), float_::FORM_POINT);
        string::concatenate_literal(buffer, text);
        part -= static_cast<i32>(std::strlen(text));
    }
    string::concatenate_literal(buffer, ")");
    return part - 1;
}

}  // namespace

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) { return write(value, buffer, part, false); }

// mold/all keeps every coordinate exactly.
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    return write(value, buffer, part, all);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    u32 dims = dims_of(parent), field = 0;
    if (TYPE_OF(element) == TYPE_INTEGER) {
        i32 n = integer::get(element);
        if (n >= 1 && static_cast<u32>(n) <= dims) field = static_cast<u32>(n);
    } else if (word::any_word_q(TYPE_OF(element))) {
        field = field_word(element, dims);
    }
    if (!field) fire("script", "invalid-path", path, element);
    if (!value) return float_::push(coord(parent, field - 1));
    double v;
    if (TYPE_OF(value) == TYPE_INTEGER) v = integer::get(value);
    else if (TYPE_OF(value) == TYPE_FLOAT) v = cell_float(value);
    else invalid_type(TYPE_OF(value));
    set_coord(parent, field - 1, static_cast<float>(v));
    return value;
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
    u32 dims = dims_of(value);
    if (word::any_word_q(TYPE_OF(boxed))) {
        u32 field = field_word(boxed, dims);
        if (!field) {
            Cell w = *boxed, p = *value;
            fire("script", "cannot-use", &w, &p);
        }
        return float_::push(coord(value, field - 1));
    }
    if (index < 1 || static_cast<u32>(index) > dims) fire("script", "out-of-range", boxed);
    return float_::push(coord(value, static_cast<u32>(index) - 1));
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    u32 type = TYPE_OF(value1), dims = dims_of(value1);
    Cell other = *value2;
    if (TYPE_OF(&other) == TYPE_PAIR && type == TYPE_POINT2D) {
        make_in(&other, static_cast<float>(pair::x_of(value2)), static_cast<float>(pair::y_of(value2)));
    }
    if (TYPE_OF(&other) != type) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL:
            for (u32 i = 0; i < dims; i++)
                if (!float_::almost_equal32(coord(value1, i), coord(&other, i))) return 1;
            return 0;
        case COMP_STRICT_EQUAL:
            for (u32 i = 0; i < dims; i++)
                if (coord(value1, i) != coord(&other, i)) return 1;
            return 0;
        case COMP_SAME:
            for (u32 i = 0; i < dims; i++)
                if ((&value1->data1)[i] != (&other.data1)[i]) return 1;
            return 0;
        default: {
            double d = 0;
            for (u32 i = 0; i < dims; i++) {
                float a = coord(value1, i), b = coord(&other, i);
                d = double(a) - double(b);
                if (!float_::almost_equal32(a, b)) break;
            }
            return std::isnan(d) || d < 0 ? -1 : d > 0 ? 1 : 0;
        }
    }
}

Cell* absolute() {
    Cell* v = stack::arguments;
    for (u32 i = 0; i < dims_of(v); i++) set_coord(v, i, std::fabs(coord(v, i)));
    return v;
}
Cell* add() { return do_math(integer::OP_ADD); }
Cell* divide() { return do_math(integer::OP_DIV); }
Cell* multiply() { return do_math(integer::OP_MUL); }
Cell* remainder() { return do_math(integer::OP_REM); }
Cell* subtract() { return do_math(integer::OP_SUB); }
Cell* negate_(Cell* value) { return negate(value); }

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil, bool half_ceil) {
    if (scale && TYPE_OF(scale) == TYPE_MONEY) {
        Cell w, dt;
        fire("script", "not-related", copy_cell(word::load("round"), &w), datatype::make_at(&dt, TYPE_MONEY));
    }
    u32 dims = dims_of(value);
    u32 st = scale ? TYPE_OF(scale) : 0;
    bool per = st == TYPE_PAIR || st == TYPE_POINT2D || st == TYPE_POINT3D;
    if (per && dims == 3 && st == TYPE_PAIR) per = false;
    for (u32 i = 0; i < dims; i++) {
        Cell c, s;
        float_::make_at(&c, coord(value, i));
        Cell* sc = scale;
        if (per) {
            if (st == TYPE_PAIR) integer::make_at(&s, i == 0 ? pair::x_of(scale) : pair::y_of(scale));
            else float_::make_at(&s, i < dims_of(scale) ? coord(scale, i) : 0.0f);
            sc = &s;
        }
        float_::do_round(&c, sc, even, down, half_down, floor, ceil, half_ceil, true);
        set_coord(value, i, static_cast<float>(TYPE_OF(&c) == TYPE_INTEGER ? integer::get(&c) : cell_float(&c)));
    }
    return value;
}

Cell* reverse(Cell* value, Cell*, Cell*) {
    u32 last = dims_of(value) - 1;
    float a = coord(value, 0);
    set_coord(value, 0, coord(value, last));
    set_coord(value, last, a);
    return value;
}

void init() {
    for (u32 type : {TYPE_POINT2D, TYPE_POINT3D}) {
        datatype::register_type(type, 0, type == TYPE_POINT2D ? "point2D!" : "point3D!", {
            own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form),
            own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
            own<ACT_ABSOLUTE>(absolute), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide), own<ACT_MULTIPLY>(multiply),
            own<ACT_NEGATE>(negate_), own<ACT_REMAINDER>(remainder), own<ACT_ROUND>(round),
            own<ACT_SUBTRACT>(subtract), own<ACT_PICK>(pick), own<ACT_REVERSE>(reverse),
        });
    }
}

}  // namespace zav::point2D

namespace zav::point3D {

Cell* make_in(Cell* cell, float x, float y, float z) {
    make_cell(cell, TYPE_POINT3D);
    point2D::set_coord(cell, 0, x);
    point2D::set_coord(cell, 1, y);
    point2D::set_coord(cell, 2, z);
    return cell;
}
Cell* make_at(Cell* block, float x, float y, float z) { return make_in(alloc_at_tail(series_node(block)), x, y, z); }
Cell* push(float x, float y, float z) { return make_in(stack::push_star(), x, y, z); }
Cell* do_math(i32 op) { return point2D::do_math(op); }
Cell* negate(Cell* value) { return point2D::negate(value); }
// Registered with point2D!, which implements both.
void init() {}

}  // namespace zav::point3D
