// Tab completion: the line goes to complete-input as a string at the cursor;
// its answer (the completed line at the new cursor, then the candidates)
// comes back as editor text.
#include "console/completion.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/user_code.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::completion {

namespace {

bool text_q(const Cell* c) {
    u32 t = TYPE_OF(c);
    return t == TYPE_STRING || t == TYPE_FILE;
}

// The whole text of a string or file value, ignoring its index.
std::u32string text_of(const Cell* s) {
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    u32 unit = unicode::buffer_unit(b);
    std::u32string out;
    out.reserve(b->length());
    for (u8* p = b->head(); p < b->tail_ptr(); p += unit) out.push_back(unicode::get_char(p, unit));
    return out;
}

}  // namespace

std::optional<terminal::Completion> complete_input(const std::u32string& line, size_t cursor) {
    Cell* base = stack::top;
    struct Pop {
        Cell* base;
        ~Pop() { stack::top = base; }
    } pop{base};

    Cell* owner = context::get_global(symbol::make("zav-complete-ctx"));
    if (TYPE_OF(owner) != TYPE_OBJECT) return std::nullopt;
    Cell field;
    word::make_at(symbol::make("complete-input"), &field);
    Cell* found = object::select_word(owner, &field);
    if (TYPE_OF(found) != TYPE_FUNCTION) return std::nullopt;
    // Everything the call needs sits on the value stack, where the collector finds it.
    Cell* fn = stack::push(found);
    Cell* args = block::make_at(stack::push_star(), 2);
    std::string utf8 = terminal::to_utf8(line);
    Cell* str = string::load_in(reinterpret_cast<const u8*>(utf8.data()), static_cast<u32>(utf8.size()),
                                series_node(args), 0);
    series_head(str) = static_cast<u32>(std::min(cursor, line.size()));
    Cell yes;
    make_cell(&yes, TYPE_LOGIC, 1);
    block::zs_append(args, &yes);

    Cell* result = stack::top;
    user_code::evaluator.apply_values(fn, args, 0, 2, &field);
    if (TYPE_OF(result) != TYPE_BLOCK || block::zs_length_q(result) == 0) return std::nullopt;
    Cell* entries = block::zs_head(result);
    u32 count = block::zs_length_q(result);
    if (!text_q(entries)) return std::nullopt;
    terminal::Completion c;
    c.line = text_of(entries);
    c.cursor = std::min<size_t>(series_head(entries), c.line.size());
    for (u32 i = 1; i < count && count > 1; i++) {
        Cell* e = block::zs_head(result) + i;
        if (!text_q(e)) continue;
        std::u32string t = text_of(e);
        c.candidates.push_back(t.substr(std::min<size_t>(series_head(e), t.size())));
    }
    return c;
}

}  // namespace zav::completion
