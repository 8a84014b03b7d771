// Field access for the back-end.
#include "view/terminal/faces.h"

#include "datatypes/context.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point2d.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"

namespace zav::gui::face {

namespace {

const char* const FACET_NAMES[FACET_COUNT] = {
    "type", "offset", "size", "text", "image", "color", "menu", "data", "enabled?", "visible?", "selected", "flags",
    "options", "parent", "pane", "state", "rate", "edge", "para", "font", "actors", "extra", "draw"};

Symbols symbols;
bool known = false;

}  // namespace

const Symbols& sym() {
    if (!known) {
#define ZAV_GUI_MAKE(name, text) symbols.name = symbol::resolve(symbol::make(text));
        ZAV_GUI_SYMBOLS(ZAV_GUI_MAKE)
#undef ZAV_GUI_MAKE
        for (u32 i = 0; i < FACET_COUNT; i++) symbols.facets[i] = symbol::resolve(symbol::make(FACET_NAMES[i]));
        known = true;
    }
    return symbols;
}

void forget_symbols() { known = false; }

Cell* field(const Cell* obj, i32 sym_id) {
    if (TYPE_OF(obj) != TYPE_OBJECT) return &none::value;
    Cell w;
    make_cell(&w, TYPE_WORD, 0, static_cast<u32>(sym_id), static_cast<u32>(-1));
    return object::select_word(obj, &w);
}

Cell* facet(const Cell* face, Facet f) {
    if (TYPE_OF(face) != TYPE_OBJECT) return &none::value;
    i32 want = sym().facets[f];
    node_t ctx = object::ctx_of(face);
    if (f < object::get_size(face)) {
        const Cell* w = word::at(ctx, static_cast<i32>(f));
        if (symbol::resolve(static_cast<i32>(w->data2)) == want) return object::get_values(face) + f;
    }
    return field(face, want);
}

i32 word_alias(const Cell* value) {
    u32 t = TYPE_OF(value);
    if (t < TYPE_WORD || t > TYPE_REFINEMENT) return -1;
    return symbol::resolve(static_cast<i32>(value->data2));
}

bool planar(const Cell* value, float* x, float* y) {
    if (TYPE_OF(value) == TYPE_PAIR) {
        *x = static_cast<float>(pair::x_of(value));
        *y = static_cast<float>(pair::y_of(value));
        return true;
    }
    if (TYPE_OF(value) == TYPE_POINT2D) {
        *x = point2D::coord(value, 0);
        *y = point2D::coord(value, 1);
        return true;
    }
    *x = *y = 0;
    return false;
}

bool word_is(const Cell* value, i32 sym_id) { return word_alias(value) == sym_id; }

}  // namespace zav::gui::face
