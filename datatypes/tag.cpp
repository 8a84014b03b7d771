// tag! (<a href>), email! (name@host) and ref! (@name): strings whose text
// forms differ; an email also reaches its user and host parts by path.
#include "datatypes/tag.h"

#include <vector>

#include <algorithm>

#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav {

namespace {

// The string! slots every kind takes as they are; `own` adds the kind's own
// and may take one of these back.
void register_kind(u32 type, const char* name, std::initializer_list<SlotEntry> own) {
    std::vector<SlotEntry> slots = {
        inherit<ACT_MAKE>(), inherit<ACT_REFLECT>(), inherit<ACT_TO>(), inherit<ACT_FORM>(),
        inherit<ACT_EVAL_PATH>(), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(), inherit<ACT_AT>(),
        inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(), inherit<ACT_FIND>(),
        inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(), inherit<ACT_INSERT>(),
        inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(), inherit<ACT_PICK>(), inherit<ACT_POKE>(),
        inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(), inherit<ACT_SELECT>(), inherit<ACT_SKIP>(),
        inherit<ACT_SWAP>(), inherit<ACT_TAIL>(), inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), inherit<ACT_MODIFY>(),
    };
    for (const SlotEntry& e : own) {
        auto same = std::find_if(slots.begin(), slots.end(), [&](const SlotEntry& s) { return s.slot == e.slot; });
        if (same != slots.end()) *same = e;
        else slots.push_back(e);
    }
    datatype::register_type(type, TYPE_STRING, name, slots);
}

// The text from its head (up to the part limit with `arg`), as form writes
// it, but with control characters as string! escapes: a molded value never
// sends raw control codes to a terminal. (These kinds have no escapes of
// their own to load back; their text is shown, not changed.)
i32 form_visible(Cell* value, Cell* buffer, Cell* arg, i32 part) {
    u32 head = series_head(value);
    u32 n = string::zs_length_q(value);
    if (arg && part >= 0 && static_cast<u32>(part) < n) n = static_cast<u32>(part);
    bool plain = true;
    for (u32 i = 0; i < n && plain; i++) {
        u32 c = string::zs_abs_at(value, head + i);
        plain = !string::terminal_control_q(c);
    }
    if (plain) return string::form(value, buffer, arg, part);
    SeriesBuffer* out = GET_BUFFER(series_node(buffer));
    u32 before = out->length();
    for (u32 i = 0; i < n; i++) {
        u32 c = string::zs_abs_at(value, head + i);
        if (string::terminal_control_q(c)) out = string::append_escaped_char(out, c, string::ESC_MOLD, false);
        else out = string::append_char(out, c);
    }
    return part - static_cast<i32>(out->length() - before);
}

i32 bracketed(Cell* value, Cell* buffer, Cell* arg, i32 part, bool mold) {
    string::concatenate_literal(buffer, "<");
    part = mold ? form_visible(value, buffer, arg, part - 1) : string::form(value, buffer, arg, part - 1);
    string::concatenate_literal(buffer, ">");
    return part - 1;
}

i32 tag_form(Cell* value, Cell* buffer, Cell* arg, i32 part) { return bracketed(value, buffer, arg, part, false); }
i32 tag_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return bracketed(value, buffer, arg, part, true);
}

i32 email_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return form_visible(value, buffer, arg, part);
}

i32 ref_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    string::concatenate_literal(buffer, "@");
    return form_visible(value, buffer, arg, part - 1);
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
void init() { register_kind(TYPE_TAG, "tag!", {own<ACT_FORM>(tag_form), own<ACT_MOLD>(tag_mold)}); }
}  // namespace tag

namespace email {
Cell* push(const Cell* value) { return stack::push(value); }
void init() {
    register_kind(TYPE_EMAIL, "email!",
                  {own<ACT_MOLD>(email_mold), own<ACT_EVAL_PATH>(email_path)});
}
}  // namespace email

namespace ref {
Cell* push(const Cell* value) { return stack::push(value); }
void init() {
    register_kind(TYPE_REF, "ref!", {own<ACT_MOLD>(ref_mold), empty<ACT_EVAL_PATH>(), empty<ACT_APPEND>()});
}
}  // namespace ref

}  // namespace zav
