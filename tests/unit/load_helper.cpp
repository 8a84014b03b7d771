// Text in, values out, text back, for the unit tests.
#include "tests/unit/load_helper.h"

#include <cstdio>
#include <deque>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/common.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::test {

static std::string last_category;

Cell& kept() {
    // Cells that outlive every scope are marked by a marker, not guarded.
    // Never destroyed: marking may run until the process ends. A runtime
    // brought up again starts with none.
    static auto* cells = new std::deque<Cell>;
    static u32 generation = memory::generation;
    collector::register_marker([] {
        if (generation == memory::generation)
            for (const Cell& c : *cells) collector::mark_value(&c);
    });
    if (generation != memory::generation) {
        cells->clear();
        generation = memory::generation;
    }
    return cells->emplace_back(Cell{TYPE_UNSET, 0, 0, 0});
}

Cell* load(std::string_view text) {
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), false, true, true,
                &consumed, nullptr, nullptr);
    return out;
}

Cell* load_one(std::string_view text) {
    Cell* block = load(text);
    SeriesBuffer* b = GET_BUFFER(series_node(block));
    if (b->length() == 0) return make_cell(block, TYPE_UNSET);
    Cell first = *reinterpret_cast<Cell*>(b->head());
    *block = first;
    return block;
}

static std::string to_utf8(Cell* str) {
    std::string r;
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 unit = b->unit();
    for (u8* p = b->head(); p < b->tail_ptr(); p += unit) {
        u32 cp = string::get_char(p, unit);
        char buf[4];
        int n;
        if (cp < 0x80) buf[0] = static_cast<char>(cp), n = 1;
        else if (cp < 0x800) buf[0] = static_cast<char>(0xC0 | (cp >> 6)), buf[1] = static_cast<char>(0x80 | (cp & 63)), n = 2;
        else if (cp < 0x10000)
            buf[0] = static_cast<char>(0xE0 | (cp >> 12)), buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 63)),
            buf[2] = static_cast<char>(0x80 | (cp & 63)), n = 3;
        else
            buf[0] = static_cast<char>(0xF0 | (cp >> 18)), buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 63)),
            buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 63)), buf[3] = static_cast<char>(0x80 | (cp & 63)), n = 4;
        r.append(buf, static_cast<size_t>(n));
    }
    return r;
}

std::string mold(const Cell* value, bool all) {
    Cell* saved = stack::top;
    // The value is copied first: it may live in a buffer that the allocation moves.
    Cell* vc = stack::push(value);
    Cell* buffer = stack::push_star();
    string::zs_make_at(buffer, 64);
    actions::mold_dispatch(vc, buffer, false, all, false, nullptr, 0x7FFFFFFF, 0);
    std::string r = to_utf8(buffer);
    stack::top = saved;
    return r;
}

std::string form(const Cell* value) {
    Cell* saved = stack::top;
    Cell* vc = stack::push(value);
    Cell* buffer = stack::push_star();
    string::zs_make_at(buffer, 64);
    actions::form_dispatch(vc, buffer, nullptr, 0x7FFFFFFF);
    std::string r = to_utf8(buffer);
    stack::top = saved;
    return r;
}

std::string load_error(std::string_view text) {
    Cell* saved = stack::top;
    try {
        load(text);
    } catch (Throw& t) {
        stack::top = saved;
        if (t.value != THROW_ERROR) throw;
        last_category = error::last.category ? error::last.category : "";
        return error::last.id ? error::last.id : "?";
    }
    stack::top = saved;
    last_category.clear();
    return "";
}

std::string last_error_category() { return last_category; }

std::string last_syntax_message() {
    const lexer::SyntaxError& e = lexer::last_error;
    std::string id = e.id;
    std::string r = "(line " + std::to_string(e.line) + ") ";
    if (id == "invalid") {
        // Names of the datatypes that may not be registered yet.
        static const char* const further[] = {"vector!", "hash!", "pair!", "percent!", "tuple!", "map!"};
        static const char* const later[] = {"time!", "tag!", "email!", "handle!", "date!", "port!", "money!",
                                            "ref!", "point2D!", "point3D!"};
        const char* name = datatype::name_of(static_cast<u32>(e.type));
        if (e.type >= i32(TYPE_VECTOR) && e.type <= i32(TYPE_MAP)) name = further[e.type - TYPE_VECTOR];
        if (e.type >= i32(TYPE_TIME) && e.type <= i32(TYPE_POINT3D) && datatype::records[e.type].name == nullptr)
            name = later[e.type - TYPE_TIME];
        r += std::string("invalid ") + name + " at \"" + e.text + "\"";
    } else if (id == "missing") {
        r += std::string("missing \"") + e.missing + "\" at \"" + e.text + "\"";
    } else if (id == "malconstruct") {
        r += std::string("invalid construction spec at \"") + e.text + "\"";
    } else {
        r += std::string("invalid character at \"") + e.text + "\"";
    }
    return r;
}

std::string mold_values(const Cell* block, bool all) {
    std::string r;
    SeriesBuffer* b = GET_BUFFER(series_node(block));
    u32 n = b->length();
    for (u32 i = series_head(block); i < n; i++) {
        Cell v = reinterpret_cast<Cell*>(GET_BUFFER(series_node(block))->head())[i];
        if (!r.empty()) r += ' ';
        r += mold(&v, all);
    }
    return r;
}

}  // namespace zav::test
