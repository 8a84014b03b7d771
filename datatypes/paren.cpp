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
    // Everything block! supports except trim.
    datatype::register_type(TYPE_PAREN, TYPE_BLOCK, "paren!", {
        inherit<ACT_MAKE>(), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), inherit<ACT_TO>(), inherit<ACT_FORM>(),
        own<ACT_MOLD>(mold), inherit<ACT_EVAL_PATH>(), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(),
        inherit<ACT_FIND>(), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        inherit<ACT_INSERT>(), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_PUT>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        inherit<ACT_SELECT>(), inherit<ACT_SORT>(), inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::paren
