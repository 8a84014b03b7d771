// none!: the explicit "no value".
#pragma once
#include "runtime/cell.h"

namespace zav::none {

// The shared none cell that conversions return by reference.
extern Cell value;

Cell* push_last();            // the result slot becomes none
Cell* make_in(Cell* parent);  // appends a none cell to a block
Cell* push();

Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

// Series actions on none answer none; length? answers -1, which the generic
// length? turns into none.
Cell* clear(Cell* series);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
i32 length_q(Cell* series);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* take(Cell* series, Cell* part, bool deep, bool last);

void init();

}  // namespace zav::none
