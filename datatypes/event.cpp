// event! values: make, form, mold, path access, pick and compare.
#include "datatypes/event.h"

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace zav::event {

namespace {

const char* const TYPE_NAMES[TYPE_CODE_COUNT] = {
    "down",     "up",      "mid-down", "mid-up",    "alt-down", "alt-up",   "aux-down", "aux-up",
    "click",    "dbl-click", "wheel",  "over",      "key",      "key-down", "key-up",   "ime",
    "focus",    "unfocus", "enter",    "zoom",      "pan",      "rotate",   "two-tap",  "press-tap",
    "select",   "change",  "menu",     "close",     "move",     "resize",   "moving",   "resizing",
    "time",     "drawing", "scroll",   "minimize",  "maximize", "restore",
};

const char* const FIELD_NAMES[FIELD_COUNT] = {
    "type",     "face",      "window",    "offset", "key",   "picked", "flags", "away?",
    "down?",    "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};

// The `flags` field lists its words in this order; `command` is never listed.
struct FlagName {
    const char* name;
    u32 bit;
};
const FlagName FLAG_NAMES[] = {
    {"away", AWAY},         {"down", DOWN},       {"mid-down", MID_DOWN}, {"alt-down", ALT_DOWN},
    {"aux-down", AUX_DOWN}, {"control", CONTROL}, {"shift", SHIFT},       {"alt", ALT},
    {"command", COMMAND},
};
constexpr u32 LISTED_FLAGS = 8;

// The bit each flag test reads, by field.
u32 test_bit(i32 field) {
    switch (field) {
        case F_AWAY_Q: return AWAY;
        case F_DOWN_Q: return DOWN;
        case F_MID_DOWN_Q: return MID_DOWN;
        case F_ALT_DOWN_Q: return ALT_DOWN;
        case F_AUX_DOWN_Q: return AUX_DOWN;
        case F_CTRL_Q: return CONTROL;
        case F_SHIFT_Q: return SHIFT;
        default: return 0;
    }
}

// Symbols of the names above, interned on first use (the symbol table does
// not exist yet when the datatype registers). Aliases, for case-insensitive
// matching.
struct Symbols {
    i32 types[TYPE_CODE_COUNT];
    i32 fields[FIELD_COUNT];
    i32 flags[sizeof FLAG_NAMES / sizeof FLAG_NAMES[0]];
    i32 type_words[TYPE_CODE_COUNT];  // the symbols themselves, for making words
    i32 flag_words[LISTED_FLAGS];
};
// Made again after each start-up, whose symbol table is new.
bool symbols_made = false;

const Symbols& symbols() {
    static Symbols s;
    bool& made = symbols_made;
    if (!made) {
        for (u32 i = 0; i < TYPE_CODE_COUNT; i++) {
            s.type_words[i] = symbol::make(TYPE_NAMES[i]);
            s.types[i] = symbol::resolve(s.type_words[i]);
        }
        for (u32 i = 0; i < FIELD_COUNT; i++) s.fields[i] = symbol::resolve(symbol::make(FIELD_NAMES[i]));
        for (u32 i = 0; i < sizeof FLAG_NAMES / sizeof FLAG_NAMES[0]; i++) {
            i32 sym = symbol::make(FLAG_NAMES[i].name);
            s.flags[i] = symbol::resolve(sym);
            if (i < LISTED_FLAGS) s.flag_words[i] = sym;
        }
        made = true;
    }
    return s;
}

ReadField backend = nullptr;

// The block every read of `flags` refills, made once per runtime and kept in
// its root block.
node_t flags_block = 0;

Cell* source_cell(const Cell* ev, u32 n) {
    Cell b;
    make_cell(&b, TYPE_BLOCK, 0, ev->data2);
    return block::zs_abs_at(&b, n);
}

bool made_q(const Cell* ev) { return (ev->header & MADE) != 0; }

Cell* flags_of(u32 bits, Cell* out) {
    if (!flags_block) {
        Cell blk;
        block::make_at(&blk, 4);
        collector::Guard keep(&blk);  // the root block may grow to take it
        *alloc_at_tail(root) = blk;
        flags_block = series_node(&blk);
    }
    make_cell(out, TYPE_BLOCK, 0, flags_block);
    block::zs_clear(out);
    for (u32 i = 0; i < LISTED_FLAGS; i++) {
        if (!(bits & FLAG_NAMES[i].bit)) continue;
        Cell w;
        word::make_at(symbols().flag_words[i], &w);
        block::zs_append(out, &w);
    }
    return out;
}

// The value a word or get-word of a make spec refers to, when it is bound.
Cell deref(const Cell* item) {
    Cell v = *item;
    u32 t = TYPE_OF(item);
    if ((t == TYPE_WORD || t == TYPE_GET_WORD) && item->data1) v = *context::get(item);
    return v;
}

Cell* make(Cell* proto, Cell* spec, u32) {
    u32 code = 0, flags = 0;
    Cell slot[4];  // face, window, offset, picked
    bool given = false;
    make_cell(&slot[0], TYPE_NONE);
    make_cell(&slot[1], TYPE_NONE);
    pair::make_in(&slot[2], 0, 0);
    integer::make_at(&slot[3], 0);
    if (TYPE_OF(spec) == TYPE_BLOCK) {
        u32 n = block::zs_length_q(spec);
        for (u32 i = 0; i < n; i++) {
            Cell item = *block::zs_abs_at(spec, series_head(spec) + i);
            if (TYPE_OF(&item) != TYPE_SET_WORD || i + 1 >= n) continue;
            Cell v = deref(block::zs_abs_at(spec, series_head(spec) + i + 1));
            i++;
            i32 field = field_index(static_cast<i32>(item.data2));
            u32 vt = TYPE_OF(&v);
            switch (field) {
                case F_TYPE:
                    if (vt == TYPE_WORD || vt == TYPE_LIT_WORD) {
                        code = type_code(static_cast<i32>(v.data2));
                        if (!code) fire("script", "not-event-type", set_type(&v, TYPE_WORD));
                    }
                    break;
                case F_KEY:
                    if (vt == TYPE_CHAR) flags |= char_::get(&v) & 0xFFFF;
                    break;
                case F_FLAGS:
                    if (vt == TYPE_BLOCK) {
                        u32 m = block::zs_length_q(&v);
                        for (u32 k = 0; k < m; k++) {
                            const Cell* f = block::zs_abs_at(&v, series_head(&v) + k);
                            if (TYPE_OF(f) == TYPE_WORD) flags |= flag_bit(static_cast<i32>(f->data2));
                        }
                    }
                    break;
                case F_FACE:
                case F_WINDOW:
                    if (vt == TYPE_OBJECT) slot[field - F_FACE] = v, given = true;
                    break;
                case F_OFFSET:
                    if (vt == TYPE_PAIR || vt == TYPE_POINT2D) slot[2] = v, given = true;
                    break;
                case F_PICKED:
                    if (vt == TYPE_INTEGER) slot[3] = v, given = true;
                    break;
                default:
                    break;
            }
        }
    }
    node_t source = 0;
    if (given) {
        // The objects stay reachable from the spec; guard them anyway across the allocation.
        collector::Guard g0(&slot[0]), g1(&slot[1]);
        Cell blk;
        block::make_at(&blk, 4);
        collector::Guard gb(&blk);
        for (const Cell& c : slot) block::zs_append(&blk, &c);
        source = series_node(&blk);
    }
    return make_cell(proto, TYPE_EVENT | MADE, code, source, flags);
}

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "event");
    return part - 5;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    return form(value, buffer, arg, part);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    i32 field = word::any_word_q(TYPE_OF(element)) ? field_index(static_cast<i32>(element->data2)) : -1;
    if (!value) {
        if (field < 0) fire("script", "invalid-path", path, element);
        Cell out;
        get_field(parent, field, &out);
        return stack::push(&out);
    }
    if (field != F_TYPE) fire("script", "bad-path-set", path, element);
    if (TYPE_OF(value) != TYPE_WORD) fire("script", "bad-path-set", path, value);
    u32 code = type_code(static_cast<i32>(value->data2));
    if (!code) fire("script", "not-event-type", value);
    parent->data1 = code;
    return value;
}

Cell* pick(Cell* ev, i32 index, Cell* boxed) {
    if (word::any_word_q(TYPE_OF(boxed))) {
        index = field_index(static_cast<i32>(boxed->data2));
        if (index < 0) {
            Cell w = *boxed, e = *ev;
            fire("script", "cannot-use", &w, &e);
        }
    } else if (index < 1 || index > FIELD_COUNT) {
        fire("script", "out-of-range", boxed);
    }
    Cell out;
    get_field(ev, index, &out);
    return stack::push(&out);
}

// Events carry no order: any two are equal, and ordering them is an error.
i32 compare(Cell*, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_EVENT) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
        case COMP_SORT: case COMP_CASE_SORT:
            return 0;
        default:
            return -2;
    }
}

}  // namespace

void set_backend(ReadField read) { backend = read; }

Cell* make_backend(Cell* out, u32 type_code, u32 serial, u32 flags) {
    return make_cell(out, TYPE_EVENT, type_code, serial, flags);
}

Cell* push(const Cell* ev) { return stack::push(ev); }

u32 type_code(i32 sym) {
    i32 a = symbol::resolve(sym);
    const Symbols& s = symbols();
    for (u32 i = 0; i < TYPE_CODE_COUNT; i++)
        if (s.types[i] == a) return i + 1;
    return 0;
}

i32 type_symbol(u32 code) { return code >= 1 && code <= TYPE_CODE_COUNT ? symbols().type_words[code - 1] : 0; }

u32 flag_bit(i32 sym) {
    i32 a = symbol::resolve(sym);
    const Symbols& s = symbols();
    for (u32 i = 0; i < sizeof FLAG_NAMES / sizeof FLAG_NAMES[0]; i++)
        if (s.flags[i] == a) return FLAG_NAMES[i].bit;
    return 0;
}

i32 field_index(i32 sym) {
    i32 a = symbol::resolve(sym);
    const Symbols& s = symbols();
    for (u32 i = 0; i < FIELD_COUNT; i++)
        if (s.fields[i] == a) return static_cast<i32>(i) + 1;
    return -1;
}

Cell* get_field(const Cell* ev, i32 field, Cell* out) {
    u32 flags = ev->data3;
    switch (field) {
        case F_TYPE: {
            // A made event given no type has none: no word exists for code 0.
            i32 sym = type_symbol(ev->data1);
            if (!sym) return make_cell(out, TYPE_NONE);
            return word::make_at(sym, out);
        }
        case F_FLAGS: return flags_of(flags, out);
        case F_ORIENTATION: return make_cell(out, TYPE_NONE);
        default: break;
    }
    if (u32 bit = test_bit(field)) return logic::make_at(out, (flags & bit) != 0);
    if (made_q(ev)) {
        switch (field) {
            case F_FACE: case F_WINDOW: case F_OFFSET: case F_PICKED: {
                static const u32 CELL[] = {0, 0, 0, 1, 2, 0, 3};  // by field: face window offset . picked
                if (ev->data2) return copy_cell(source_cell(ev, CELL[field]), out);
                if (field == F_OFFSET) return pair::make_in(out, 0, 0);
                if (field == F_PICKED) return integer::make_at(out, 0);
                return make_cell(out, TYPE_NONE);
            }
            case F_KEY:
                if (flags & 0xFFFF) return char_::make_at(out, flags & 0xFFFF);
                return make_cell(out, TYPE_NONE);
            default: return make_cell(out, TYPE_NONE);
        }
    }
    if (backend && backend(ev->data2, field, out)) return out;
    return make_cell(out, TYPE_NONE);
}

void init() {
    // A runtime brought up again has a new symbol table and a new root block.
    symbols_made = false;
    flags_block = 0;
    datatype::register_type(TYPE_EVENT, 0, "event!", {
        own<ACT_MAKE>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path),
        own<ACT_COMPARE>(compare), own<ACT_PICK>(pick),
    });
}

}  // namespace zav::event
