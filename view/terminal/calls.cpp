// Calls into the language.
#include "view/terminal/calls.h"

#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/user_code.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "view/terminal/faces.h"

namespace zav::gui {

void call_value(const Cell* fn_in, const Cell* args, u32 count, i32 name, Cell* out) {
    Cell fn = *fn_in;
    if (TYPE_OF(&fn) != TYPE_FUNCTION) {
        make_cell(out, TYPE_NONE);
        return;
    }
    collector::Guard keep(&fn);
    Cell w;
    make_cell(&w, TYPE_WORD, 0, static_cast<u32>(name), static_cast<u32>(-1));
    Cell* base = stack::top;
    stack::mark_frame(&w, function::ctx_of(&fn));
    for (u32 i = 0; i < count; i++) stack::push(args + i);
    // Parameters past the given ones are none, refinements off.
    function::push_unused_slots(&fn, count);
    user_code::evaluator.call_function(&fn, function::ctx_of(&fn), &w, 0);
    stack::unwind();
    *out = *base;
    stack::top = base;
}

Cell* system_view() {
    const face::Symbols& s = face::sym();
    Cell* system = context::get_global(symbol::make("system"));
    return face::field(system, s.view);
}

Cell* view_field(i32 sym) { return face::field(system_view(), sym); }

void call_helper(const char* name, const Cell* face, Cell* out) {
    Cell helpers = *context::get_global(symbol::make("TUI-helpers"));
    i32 sym = symbol::make(name);
    Cell fn = *face::field(&helpers, symbol::resolve(sym));
    Cell arg = *face;
    collector::Guard keep(&arg);
    call_value(&fn, &arg, 1, sym, out);
}

bool set_auto_sync(bool on) {
    Cell* flag = view_field(face::sym().auto_sync_q);
    if (flag == &none::value) return false;
    bool old = TYPE_OF(flag) == TYPE_LOGIC && flag->data1;
    make_cell(flag, TYPE_LOGIC, on ? 1 : 0);
    return old;
}

void set_facet_quiet(const Cell* face, u32 facet, const Cell* value) {
    Cell* slot = face::facet(face, static_cast<face::Facet>(facet));
    if (slot != &none::value) *slot = *value;
}

}  // namespace zav::gui
