// typeset! values: sets of datatypes, the argument types of function specs.
#include "datatypes/typeset.h"

#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/fire.h"

namespace zav::typeset {

namespace {

// The value a word stands for in a type spec.
Cell* word_value(Cell* word) { return context::get(word); }

Cell datatype_cell(u32 type) {
    Cell c;
    datatype::make_at(&c, type);
    return c;
}

}  // namespace

Cell* make_at(Cell* cell, u32 w1, u32 w2, u32 w3) { return make_cell(cell, TYPE_TYPESET, w1, w2, w3); }

Cell* clear(Cell* ts) {
    ts->data1 = ts->data2 = ts->data3 = 0;
    return ts;
}

Cell* make_default(Cell* blk) {
    Cell ts;
    make_at(&ts, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    bits_of(&ts)[TYPE_UNSET >> 3] &= static_cast<u8>(~(0x80 >> (TYPE_UNSET & 7)));
    return block::zs_append(blk, &ts);
}

Cell* make_from_block(Cell* blk, Cell* spec) {
    Cell ts;
    make_at(&ts, 0, 0, 0);
    u32 n = block::zs_length_q(spec);
    for (u32 i = 0; i < n; i++) {
        Cell item = *block::zs_abs_at(spec, series_head(spec) + i);
        if (TYPE_OF(&item) == TYPE_WORD) item = *word_value(&item);
        switch (TYPE_OF(&item)) {
            case TYPE_DATATYPE: add(&ts, item.data1); break;
            case TYPE_TYPESET:
                ts.data1 |= item.data1;
                ts.data2 |= item.data2;
                ts.data3 |= item.data3;
                break;
            case TYPE_WORD: add(&ts, TYPE_OBJECT); break;  // a word naming a word: an object class
            case TYPE_BLOCK: break;
            default: fire("script", "invalid-type-spec", &item);
        }
    }
    return block::zs_append(blk, &ts);
}

void set_bit(Cell* ts, Cell* value) {
    Cell v = *value;
    if (TYPE_OF(&v) == TYPE_WORD) v = *word_value(&v);
    switch (TYPE_OF(&v)) {
        case TYPE_DATATYPE: add(ts, v.data1); break;
        case TYPE_TYPESET:
            ts->data1 |= v.data1;
            ts->data2 |= v.data2;
            ts->data3 |= v.data3;
            break;
        default: fire("script", "invalid-arg", &v);
    }
}

u32 count_types(const Cell* ts) {
    u32 n = 0;
    for (u32 t = 1; t <= datatype::top_id; t++)
        if (has(ts, t)) n++;
    return n;
}

Cell* to_block(Cell* ts, Cell* blk) {
    Cell set = *ts;  // the target may be the typeset's own slot
    if (TYPE_OF(blk) != TYPE_BLOCK) block::make_at(blk, 4);
    for (u32 t = 1; t <= datatype::top_id; t++) {
        if (!has(&set, t)) continue;
        Cell dt = datatype_cell(t);
        block::zs_append(blk, &dt);
    }
    return blk;
}

Cell* push(const Cell* ts) { return stack::push(ts); }

Cell* do_set_op(i32 op) {
    Cell* set1 = stack::arguments;
    Cell* set2 = set1 + 1;
    if (op == 8) return set1;  // unique
    Cell other;
    if (TYPE_OF(set2) == TYPE_DATATYPE) {
        make_at(&other, 0, 0, 0);
        add(&other, set2->data1);
    } else if (TYPE_OF(set2) == TYPE_TYPESET) {
        other = *set2;
    } else {
        fire("script", "invalid-arg", set2);
    }
    switch (op) {
        case 5: case 9:
            set1->data1 |= other.data1; set1->data2 |= other.data2; set1->data3 |= other.data3;
            break;
        case 6: case 10:
            set1->data1 &= other.data1; set1->data2 &= other.data2; set1->data3 &= other.data3;
            break;
        case 7: case 12:
            set1->data1 ^= other.data1; set1->data2 ^= other.data2; set1->data3 ^= other.data3;
            break;
        case 11:
            set1->data1 &= ~other.data1; set1->data2 &= ~other.data2; set1->data3 &= ~other.data3;
            break;
        default: fire("internal", "not-done");
    }
    return set1;
}

i32 mold_body(Cell* ts, Cell* buffer, bool only, bool limited, i32 part) {
    if (!only) {
        string::concatenate_literal(buffer, "make typeset! [");
        part -= 15;
    }
    bool wrote = false;
    for (u32 t = 1; t <= datatype::top_id; t++) {
        if (!has(ts, t) || !datatype::records[t].name) continue;
        if (limited && part < 0) break;
        const char* name = datatype::records[t].name;
        string::concatenate_literal(buffer, name);
        string::concatenate_literal(buffer, " ");
        part -= static_cast<i32>(std::strlen(name)) + 1;
        wrote = true;
    }
    if (wrote) {
        // Drop the last space: replaced by the closing bracket unless /only.
        SeriesBuffer* b = GET_BUFFER(series_node(buffer));
        b->tail -= b->unit();
        if (!only) string::concatenate_literal(buffer, "]");
    } else if (!only) {
        string::concatenate_literal(buffer, "]");
    }
    return part;
}

Cell* make(Cell*, Cell* spec, u32) {
    if (TYPE_OF(spec) == TYPE_TYPESET) return spec;
    if (TYPE_OF(spec) != TYPE_BLOCK) {
        Cell dt = datatype_cell(TYPE_TYPESET);
        fire("script", "bad-to-arg", &dt, spec);
    }
    Cell* ts = stack::push_star();
    make_at(ts, 0, 0, 0);
    u32 n = block::zs_length_q(spec);
    for (u32 i = 0; i < n; i++) set_bit(ts, block::zs_abs_at(spec, series_head(spec) + i));
    return ts;
}

i32 form(Cell* ts, Cell* buffer, Cell* arg, i32 part) { return mold_body(ts, buffer, false, arg != nullptr, part); }

i32 mold(Cell* ts, Cell* buffer, bool only, bool, bool, Cell* arg, i32 part, i32) {
    return mold_body(ts, buffer, only, arg != nullptr, part);
}

i32 compare(Cell* ts1, Cell* ts2, i32 op) {
    if (TYPE_OF(ts2) != TYPE_TYPESET) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
            return ts1->data1 == ts2->data1 && ts1->data2 == ts2->data2 && ts1->data3 == ts2->data3 ? 0 : 1;
        case COMP_SORT: case COMP_CASE_SORT: {
            u32 a = count_types(ts1), b = count_types(ts2);
            return a == b ? 0 : (a < b ? -1 : 1);
        }
        default: return -2;
    }
}

Cell* and_t() { return do_set_op(6); }
Cell* or_t() { return do_set_op(5); }
Cell* xor_t() { return do_set_op(7); }

Cell* complement(Cell* ts) {
    ts->data1 = ~ts->data1;
    ts->data2 = ~ts->data2;
    ts->data3 = ~ts->data3;
    return ts;
}

Cell* find(Cell* ts, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    if (TYPE_OF(value) != TYPE_DATATYPE) fire("script", "invalid-arg", value);
    bool in = has(ts, value->data1);
    return make_cell(ts, TYPE_LOGIC, in ? 1 : 0);
}

// --- Named typesets --------------------------------------------------------

namespace {

struct Builder {
    u32 w[3] = {0, 0, 0};
    Builder& operator<<(u32 type) {
        reinterpret_cast<u8*>(w)[type >> 3] |= static_cast<u8>(0x80 >> (type & 7));
        return *this;
    }
    Builder& operator<<(const Builder& other) {
        for (int i = 0; i < 3; i++) w[i] |= other.w[i];
        return *this;
    }
};

std::vector<Named> build_named() {
    Builder number, planar, any_point, scalar, any_word, all_word, any_list, any_path, any_block, any_function,
        any_object, any_string, series, immediate, external, internal, any_type, default_;
    number << TYPE_INTEGER << TYPE_FLOAT << TYPE_PERCENT;
    any_point << TYPE_POINT2D << TYPE_POINT3D;
    planar << TYPE_PAIR << TYPE_POINT2D;
    scalar << number << TYPE_CHAR << TYPE_PAIR << TYPE_TUPLE << TYPE_TIME << TYPE_DATE << TYPE_MONEY << any_point;
    any_word << TYPE_WORD << TYPE_SET_WORD << TYPE_GET_WORD << TYPE_LIT_WORD;
    all_word << any_word << TYPE_REFINEMENT << TYPE_ISSUE;
    any_list << TYPE_BLOCK << TYPE_PAREN << TYPE_HASH;
    any_path << TYPE_PATH << TYPE_SET_PATH << TYPE_GET_PATH << TYPE_LIT_PATH;
    any_block << any_list << any_path;
    any_function << TYPE_NATIVE << TYPE_ACTION << TYPE_OP << TYPE_FUNCTION << TYPE_ROUTINE;
    any_object << TYPE_OBJECT << TYPE_ERROR << TYPE_PORT_ID;
    any_string << TYPE_STRING << TYPE_FILE << TYPE_URL << TYPE_TAG << TYPE_EMAIL << TYPE_REF;
    series << any_block << any_string << TYPE_BINARY << TYPE_IMAGE << TYPE_VECTOR;
    immediate << scalar << all_word << TYPE_DATATYPE << TYPE_NONE << TYPE_LOGIC << TYPE_TYPESET << TYPE_HANDLE;
    external << TYPE_EVENT;
    for (u32 t = TYPE_DATATYPE; t <= TYPE_EVENT; t++) {
        if (t == TYPE_SYMBOL_ID || t == TYPE_CONTEXT_ID || t == TYPE_SERIES_ID) continue;  // never values
        any_type << t;
        if (t != TYPE_UNSET) default_ << t;
        if (t != TYPE_EVENT) internal << t;
    }
    auto n = [](const char* name, const Builder& b) { return Named{name, b.w[0], b.w[1], b.w[2]}; };
    return {
        n("internal!", internal),   n("external!", external),         n("number!", number),
        n("planar!", planar),       n("any-point!", any_point),       n("scalar!", scalar),
        n("any-word!", any_word),   n("all-word!", all_word),         n("any-list!", any_list),
        n("any-path!", any_path),   n("any-block!", any_block),       n("any-function!", any_function),
        n("any-object!", any_object), n("any-string!", any_string),   n("series!", series),
        n("immediate!", immediate), n("default!", default_),          n("any-type!", any_type),
    };
}

const std::vector<Named>& named_table() {
    static const std::vector<Named> table = build_named();
    return table;
}

}  // namespace

u32 named_count() { return static_cast<u32>(named_table().size()); }
const Named& named(u32 i) { return named_table()[i]; }

bool find_named(const char* name, Cell* out) {
    for (const Named& n : named_table()) {
        if (std::strcmp(n.name, name) == 0) {
            make_at(out, n.w1, n.w2, n.w3);
            return true;
        }
    }
    return false;
}

void init_named() {
    for (const Named& n : named_table()) {
        Cell ts;
        make_at(&ts, n.w1, n.w2, n.w3);
        context::set_global(symbol::make(n.name), &ts);
    }
}

void init() {
    datatype::register_type(TYPE_TYPESET, 0, "typeset!", {
        own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
        own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t),
        own<ACT_FIND>(find),
    });
}

}  // namespace zav::typeset
