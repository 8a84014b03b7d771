// op! values: two-argument functions called infix.
#include "datatypes/op.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "datatypes/words.h"

namespace zav::op {

bool valid_spec_q(node_t spec) {
    SeriesBuffer* b = GET_BUFFER(spec);
    const Cell* c = reinterpret_cast<const Cell*>(b->head());
    u32 n = b->length();
    i32 count = 0;
    bool plain_seen = false;
    for (u32 i = 0; i < n; i++) {
        switch (TYPE_OF(c + i)) {
            case TYPE_WORD:
                count++;
                plain_seen = true;
                break;
            case TYPE_LIT_WORD: case TYPE_GET_WORD:
                // A literal left operand cannot be taken infix.
                if (!plain_seen) return false;
                count++;
                break;
            case TYPE_REFINEMENT: {
                i32 sym = symbol::resolve(static_cast<i32>(c[i].data2));
                if (sym == symbol::resolve(words::local) || sym == symbol::resolve(symbol::make("extern")))
                    return count == 2;
                return false;
            }
            case TYPE_SET_WORD:
                return count == 2;
            default:
                break;
        }
    }
    return count == 2;
}

Cell* make(Cell*, Cell* spec, u32) {
    u32 t = TYPE_OF(spec);
    if (t != TYPE_ACTION && t != TYPE_NATIVE && t != TYPE_FUNCTION && t != TYPE_ROUTINE) {
        Cell dt;
        datatype::make_at(&dt, t);
        fire("script", "invalid-type", &dt);
    }
    if (!valid_spec_q(native::spec_of(spec))) fire("script", "bad-op-spec");
    Cell* out = stack::push(spec);
    out->header = (t << 16) | TYPE_OP;
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
        Cell* more = reinterpret_cast<Cell*>(GET_BUFFER(native::more_of(spec))->head());
        more[3] = *spec;
    }
    return out;
}

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?op?");
    return part - 4;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    bool is_func = wrapped_type(fn) == TYPE_FUNCTION;
    const char* second = is_func ? "func " : "[";
    string::concatenate_literal(buffer, "make op! ");
    string::concatenate_literal(buffer, second);
    part -= 9 + static_cast<i32>(std::strlen(second));
    Cell spec;
    make_cell(&spec, TYPE_BLOCK, 0, native::spec_of(fn), 0);
    part = block::mold(&spec, buffer, only, all, flat, arg, part, indent);
    if (is_func) {
        Cell body = *reinterpret_cast<Cell*>(GET_BUFFER(native::more_of(fn))->head());
        if (TYPE_OF(&body) == TYPE_BLOCK) part = block::mold(&body, buffer, only, all, flat, arg, part, indent);
        return part;
    }
    string::concatenate_literal(buffer, "]");
    return part - 1;
}

i32 compare(Cell* value1, Cell* value2, i32 op) { return native::compare_entries(value1, value2, op); }

void init() {
    datatype::register_type(TYPE_OP, TYPE_NATIVE, "op!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::op
