// error! values and the error catalog.
#pragma once
#include <vector>

#include "datatypes/context.h"
#include "runtime/fire.h"

namespace zav::error {

// (error::last, the error most recently raised, is in runtime/fire.h.)

// --- Catalog -------------------------------------------------------------
// A message template is a text, a block of texts and argument words, or a
// single word naming an error field.
enum class Template : u8 { text, block, word };

// One item of a template: a text (field < 0) or the error field of that
// position (3 arg1, 4 arg2, 5 arg3), written `get` as :arg1 or plain as arg1.
struct MessageItem {
    i32 field;
    const char* text;
    bool get;
};

struct ErrorId {
    const char* name;
    Template kind;
    std::vector<MessageItem> items;
};

struct Category {
    const char* name;   // the category word
    const char* title;  // its display name, printed in the report
    std::vector<ErrorId> ids;
};

// Categories in catalog order (position = code / 100).
const std::vector<Category>& catalog();
// Position of a category or of an id within it (letter case ignored), or -1.
i32 find_category(const char* name);
i32 find_id(i32 category, const char* name);
// Both at once, by an index over the catalog: *cat as find_category answers,
// *pos as find_id answers for it.
void find_named(const char* category, const char* id, i32* cat, i32* pos);

// script/bad-to-arg for a value make or to cannot turn into `type`, raised
// pending (see fire_pending): a conversion's entries are called only by the
// make and to actions, which return at once. Answers null.
Cell* pend_bad_to_arg(u32 type, const Cell* spec);
// 100 x category position + id position (ids count from 0 here).
inline i32 code_of(i32 category, i32 id) { return 100 * category + id; }

// Field positions of every error object.
enum Field : u32 {
    FIELD_CODE, FIELD_TYPE, FIELD_ID, FIELD_ARG1, FIELD_ARG2, FIELD_ARG3,
    FIELD_NEAR, FIELD_WHERE, FIELD_STACK, FIELD_FILES, FIELD_COUNT
};
extern const char* const field_names[FIELD_COUNT];

}  // namespace zav::error

namespace zav::error {

// The error being thrown (kept alive by the collector), set by fire.
extern Cell thrown;
// fire builds error values once the value stack, symbols and contexts are up:
// start-up calls ready() last; a memory reset turns building off again.
void ready();
bool ready_q();

// Builds an error from category and id words and up to three arguments
// (null when absent); the error is left on the value stack.
Cell* create(const Cell* type, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3);
// The same from the names; names missing from the catalog are kept as given
// (the report then shows internal/invalid-error).
Cell* create_named(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3);

// Field access; in line, as the raise and unwind paths read several.
inline Cell* field(const Cell* err, u32 index) {
    return context::values_of(context::TO_CTX(err->data1)) + index;
}
i32 get_type(const Cell* err);  // symbol of `type`, or -1
i32 get_id(const Cell* err);    // symbol of `id`, or -1
inline u32 stack_field_index() { return FIELD_STACK; }
// Stores the value into `where` only when `where` is still none.
void set_where(Cell* err, const Cell* value);
// Fills `stack` and `files` of an error caught in flight (needs the system state).
void capture_stack(Cell* err);
// The n-th word (from 0) of the running function's spec, or the word <anon>.
Cell* get_call_argument(i32 n, Cell* out);
// The word of the innermost named call frame, or <not-found>.
Cell* get_call_name(Cell* out);

// Writers.
i32 form_message(Cell* err, const ErrorId& id, Cell* buffer, i32 part);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* err, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* err, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* err1, Cell* err2, i32 op);

void init();

}  // namespace zav::error
