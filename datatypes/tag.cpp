// tag! (<a href>), email! (name@host) and ref! (@name): strings whose text
// forms differ; an email also reaches its user and host parts by path.
#include "datatypes/tag.h"

#include <algorithm>

#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/stack.h"
#include "runtime/helpers.h"

namespace zav {

namespace {

// The string slots every kind takes as they are; `own` fills the others.
struct Slots {
    ActionFn form, mold, eval_path, append;
};

// A slot the kind leaves unsupported although string! has it.
void no_slot_marker() {}
const ActionFn NO_SLOT = &no_slot_marker;

void register_kind(u32 type, const char* name, const Slots& own) {
    ActionFn n = nullptr, I = datatype::INHERIT;
    ActionFn form = own.form ? own.form : I;
    ActionFn eval_path = own.eval_path == NO_SLOT ? n : own.eval_path ? own.eval_path : I;
    datatype::register_type(type, TYPE_STRING, name, {
        // make random reflect to form mold eval-path set-path compare
        I, n, I, I, form, own.mold, eval_path, n, I,
        // absolute add divide multiply negate power remainder round subtract even? odd? and~ complement or~ xor~
        n, n, n, n, n, n, n, n, n, n, n, n, n, n, n,
        // append at back change clear copy find head head? index? insert length? move next
        own.append, I, I, I, I, I, I, I, I, I, I, I, I, I,
        // pick poke put remove reverse select sort skip swap tail tail? take trim
        I, I, n, I, I, I, n, I, I, I, I, I, n,
        // create close delete modify open open? query read rename update write
        n, n, n, I, n, n, n, n, n, n, n,
    });
}

i32 bracketed(Cell* value, Cell* buffer, Cell* arg, i32 part) {
    string::concatenate_literal(buffer, "<");
    part = string::form(value, buffer, arg, part - 1);
    string::concatenate_literal(buffer, ">");
    return part - 1;
}

i32 tag_form(Cell* value, Cell* buffer, Cell* arg, i32 part) { return bracketed(value, buffer, arg, part); }
i32 tag_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return bracketed(value, buffer, arg, part);
}

i32 email_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return string::form(value, buffer, arg, part);
}

i32 ref_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    string::concatenate_literal(buffer, "@");
    return string::form(value, buffer, arg, part - 1);
}

// email/user and email/host: the characters before the first "@" from the
// head, and those after it (none when the email has no "@").
Cell* email_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                 bool case_, bool get, bool tail) {
    if (TYPE_OF(element) == TYPE_INTEGER)
        return string::eval_path(parent, element, value, path, gparent, p_item, index, case_, get, tail);
    bool user = false, host = false;
    if (word::any_word_q(TYPE_OF(element))) {
        i32 sym = symbol::resolve(static_cast<i32>(element->data2));
        user = sym == symbol::resolve(symbol::make("user"));
        host = sym == symbol::resolve(symbol::make("host"));
    }
    if (!user && !host) fire("script", "invalid-path", path, element);
    u32 length = string::zs_length_q(parent);
    i32 at = string::find_char(parent, '@');
    u32 p = at < 0 ? length : static_cast<u32>(at);
    u32 head = series_head(parent);
    // Without an "@" the host is empty, at the tail.
    u32 from = user ? head : head + std::min(p + 1, length);
    u32 count = user ? p : length - std::min(p + 1, length);
    if (!value) {
        node_t node = copy_series_part(series_node(parent), from, count);
        return make_cell(stack::push_star(), TYPE_STRING, 0, node, 0);
    }
    Cell* at_cell = stack::push(parent);
    series_head(at_cell) = from;
    Cell* part = integer::push(static_cast<i32>(count));
    Cell* v = stack::push(value);
    Cell* out = string::change(at_cell, v, part, false, nullptr);
    (void)out;
    stack::pop(3);
    return value;
}

}  // namespace

namespace tag {
Cell* push(const Cell* value) { return stack::push(value); }
void init() { register_kind(TYPE_TAG, "tag!", {A<ACT_FORM>(tag_form), A<ACT_MOLD>(tag_mold), nullptr, datatype::INHERIT}); }
}  // namespace tag

namespace email {
Cell* push(const Cell* value) { return stack::push(value); }
void init() {
    register_kind(TYPE_EMAIL, "email!",
                  {nullptr, A<ACT_MOLD>(email_mold), A<ACT_EVAL_PATH>(email_path), datatype::INHERIT});
}
}  // namespace email

namespace ref {
Cell* push(const Cell* value) { return stack::push(value); }
void init() { register_kind(TYPE_REF, "ref!", {nullptr, A<ACT_MOLD>(ref_mold), NO_SLOT, nullptr}); }
}  // namespace ref

}  // namespace zav
