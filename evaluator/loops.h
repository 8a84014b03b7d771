// The iteration steps shared by the loop natives and compiled library loops.
// A compiled loop opens the same loop frame (stack::mark_loop) and pushes the
// same iteration state just below the frame's arguments:
// - foreach: the series cell (a private copy whose head index is the
//   position) at arguments - 2, the word spec (word or block of words) at
//   arguments - 1;
// - remove-each: as foreach, with an integer! record size at arguments - 3;
// - forall: the starting series at arguments - 2, the loop word at arguments - 1.
#pragma once
#include "datatypes/context.h"
#include "runtime/cell.h"

namespace zav::natives {

// Sets a loop word (repeat's count): a plain store where context::set would
// make one (answering true), else context::set itself (an object's change
// handler runs).
// The plain store in line, at every run of a loop.
void set_loop_word_generic(const Cell* word, const Cell* value);
[[gnu::always_inline]] inline bool set_loop_word(const Cell* word, const Cell* value) {
    if (Cell* slot = context::plain_slot(word)) {
        *slot = *value;
        return true;
    }
    set_loop_word_generic(word, value);
    return false;
}

// Single-word step: sets the word to the element at the position and moves
// on by one; false when no element remains.
bool foreach_next();
// Block-of-words step over n words; the position moves by n, also for the
// last, partial record (words past the tail get none). False at the end.
bool foreach_next_block(i32 n);
// True while the series' position is before its tail.
bool foreach_more_q(const Cell* series);
// Sets words 1..n of the block `words` from the values of a block `value`, or
// each to `value` itself (not a block, or only?). any? admits unset values,
// some? skips none ones. Also the step of `set` on a block of words.
void set_many(Cell* words, Cell* value, i32 n, bool any, bool only, bool some);
// Sets word i to the element picked at i of a non-block series, for i = 1..n.
void set_many_string(Cell* words, Cell* series, i32 n);
// After a remove-each body: removes the record just visited when the body's
// value (the frame's result slot) is truthy.
void remove_each_helper(i32 n);
// Reads the loop word's series; with advance? moves its position by one in
// place. True when the position is at or past the tail.
bool forall_next(bool advance);
// Sets the loop word back to the saved series.
void forall_restore();
// A float! cell becomes an integer! in place, truncated toward zero.
Cell* float_to_integer_arg(Cell* cell);
// The count argument (argument 0) of loop as an integer!.
void loop_count_arg();
// Adds 1 to the integer! a word holds (an object's field goes through its setter).
void loop_index_step(Cell* word);

}  // namespace zav::natives
