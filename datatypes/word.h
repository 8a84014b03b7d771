// The word family: word!, set-word!, lit-word!, get-word!, refinement! and
// issue!, one cell layout {context node, symbol id, index} under six type ids.
#pragma once
#include "runtime/cell.h"

namespace zav {

namespace word {

// True for word! through refinement!; issue! shares their cell layout but is
// not counted among them.
inline bool any_word_q(u32 type) { return type >= TYPE_WORD && type <= TYPE_REFINEMENT; }

// While on, word::load and issue::load answer copies appended to the root
// block (start-up turns it on around some of its loading steps).
extern bool root_copy;

// Registers word!.
void init();

// The global word for a name, found case-insensitively or added, keeping the
// name's own spelling. The cell may live in a movable buffer: copy it.
Cell* load(const char* name);
// Fills `cell` as a word! bound to the global context.
Cell* make_at(i32 symbol, Cell* cell);
Cell* push_new(i32 symbol);
// The same into the first argument slot.
Cell* set_new(i32 symbol);
// A new word! appended to a block; the name form retypes it.
Cell* make_in(i32 symbol, node_t block);
Cell* load_in(const char* name, node_t block, u32 type = TYPE_WORD);
// Appends a copy of a cell to the root block and answers the copy.
Cell* duplicate(const Cell* cell);

Cell* push(const Cell* word);
Cell* push_local(node_t ctx, i32 index);
// The word-list cell itself.
Cell* at(node_t ctx, i32 index);
// The word found exactly in a context, else the global word of the symbol.
Cell* from_context(node_t ctx, i32 symbol);

// Reading.
Cell* get(Cell* word);      // pushes the value; unset fires no-value
Cell* get_any(Cell* word);  // pushes the value, no check
Cell* get_local(node_t ctx, i32 index);
Cell* get_in(node_t ctx, i32 index);
// Writing. set: word in the first argument slot, value in the second.
Cell* set();
Cell* set_local(node_t ctx, i32 index);
Cell* get_local_any(node_t ctx, i32 index);
// Copies the first argument slot into the value slot at an index (changed mark).
Cell* set_local_arg(node_t ctx, i32 index);
// Copies the first argument slot into `slot` after the need-value check against `word`.
Cell* set_arg_checked(Cell* slot, const Cell* word);

// Text.
Cell* push_string(const Cell* word);
// The symbol cell (string cache filled) of a word's symbol.
Cell* get_symbol(const Cell* word);
u32 scan_symbol(const Cell* word);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* index_q();

}  // namespace word

namespace set_word {
void init();
Cell* load(const char* name);
Cell* push(const Cell* word);
Cell* push_local(node_t ctx, i32 index);
Cell* set();
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
}  // namespace set_word

namespace lit_word {
void init();
Cell* load(const char* name);
Cell* push(const Cell* word);
Cell* push_local(node_t ctx, i32 index);
Cell* set();
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
}  // namespace lit_word

namespace get_word {
void init();
Cell* load(const char* name);
Cell* push(const Cell* word);
Cell* push_local(node_t ctx, i32 index);
Cell* get(Cell* word);  // pushes the value without the unset check
Cell* set();
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
}  // namespace get_word

namespace refinement {
void init();
// A refinement {context 0, symbol} appended to the root block.
Cell* load_in(const char* name);
Cell* push(const Cell* word);
Cell* push_local(node_t ctx, i32 index);
Cell* set();
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
}  // namespace refinement

namespace issue {
void init();
// issue {global context, symbol, -1}.
Cell* make_at(Cell* cell, const char* name);
Cell* load_in(const char* name, node_t block);
Cell* load(const char* name);
Cell* push(const Cell* word);
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
}  // namespace issue

}  // namespace zav
