// paren!: molded as "(" elements ")"; every other action is block!'s.
#include "datatypes/paren.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace zav::paren {

Cell* push(Cell* cell) {
    set_type(cell, TYPE_PAREN);
    return stack::push(cell);
}

i32 mold(Cell* paren, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (block::cycle_mark(paren, buffer, part, true)) return part;
    if (!only) {
        string::concatenate_literal(buffer, "(");
        part--;
    }
    part = block::mold_each(paren, buffer, only, all, flat, arg, part, indent);
    if (!only) {
        string::concatenate_literal(buffer, ")");
        part--;
    }
    return part;
}

void init() {
    ActionFn n = nullptr;
    ActionFn I = datatype::INHERIT;
    // Everything block! supports except trim.
    datatype::register_type(TYPE_PAREN, TYPE_BLOCK, "paren!", {
        I, I, I, I, I, A<ACT_MOLD>(mold), I, n, I,
        n, n, n, n, n, n, n, n, n, n, n, n, n, n, n,
        I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, I, n,
        n, n, n, I, n, n, n, n, n, n, n,
    });
}

}  // namespace zav::paren
