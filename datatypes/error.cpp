// error! values: made from a category and an id through the catalog, and
// formed as the report the console prints for an uncaught error.
#include "datatypes/error.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/system_object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/action_slots.h"
#include "datatypes/user_code.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/fire.h"
#include "datatypes/words.h"

namespace zav::error {

Cell thrown{TYPE_NONE, 0, 0, 0};

namespace {

u32 ready_generation = 0xFFFFFFFF;

// The names errors are built from, interned once by ready(): the fields, and
// each catalog category and id (symbols by catalog position), so that
// raising an error hashes no name.
struct Names {
    i32 fields[FIELD_COUNT];
    std::vector<i32> categories;
    std::vector<std::vector<i32>> ids;
};
Names names;

constexpr u32 ERROR_CLASS = 1;
constexpr i32 INTERNAL = 9;  // category positions used by the report
constexpr i32 SYNTAX = 2;

Cell* word_cell(Cell* out, i32 sym) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFF); }
Cell* word_named(Cell* out, const char* name) { return word_cell(out, symbol::make(name)); }
// A field of the error set to a word: the name is interned first, since that
// may allocate and move the values the field lives in.
void set_field_word(Cell* err, u32 index, const char* name) {
    i32 sym = symbol::make(name);
    word_cell(field(err, index), sym);
}
const char* name_of(const Cell* word) { return symbol::get_c_string(static_cast<i32>(word->data2)); }

Cell datatype_cell(u32 type) {
    Cell c;
    datatype::make_at(&c, type);
    return c;
}

// The error every new one copies (ten fields, all none), made once per
// memory generation: a copy shares its word list and index until it adds or
// marks a word, where building one would hash ten words. Nothing sets the
// prototype's own fields.
Cell prototype{TYPE_NONE, 0, 0, 0};
u32 prototype_generation = 0xFFFFFFFF;

void mark_prototype() {
    if (prototype_generation == memory::generation) collector::mark_value(&prototype);
}

// A new error context built word by word, its values none.
node_t build_context() {
    node_t ctx = context::create(FIELD_COUNT, false, true, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    const bool named = ready_q();
    for (u32 i = 0; i < FIELD_COUNT; i++) {
        Cell w;
        if (named) word_cell(&w, names.fields[i]);
        else word_named(&w, field_names[i]);
        context::add_word(context::TO_CTX(ctx), &w);
    }
    Cell* v = context::values_of(context::TO_CTX(ctx));
    for (u32 i = 0; i < FIELD_COUNT; i++) make_cell(v + i, TYPE_NONE);
    return ctx;
}

// A new error on the value stack, its fields none.
Cell* push_blank() {
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    if (ready_q()) {
        if (prototype_generation != memory::generation) {
            node_t made = build_context();
            make_cell(&prototype, TYPE_ERROR, made, ERROR_CLASS, 0);
            *context::owner_of(made) = prototype;
            prototype_generation = memory::generation;
            collector::register_marker(mark_prototype);
        }
        // Its fields none, as the prototype's; the copy is the error's own.
        *out = prototype;
        context::clone_sharing_words(out, context::KIND_OBJECT);
        return out;
    }
    node_t ctx = build_context();
    make_cell(out, TYPE_ERROR, ctx, ERROR_CLASS, 0);
    *context::owner_of(ctx) = *out;
    return out;
}

void set_code(Cell* err, i32 cat, i32 id) {
    make_cell(field(err, FIELD_CODE), TYPE_INTEGER, 0, static_cast<u32>(code_of(cat, id)));
}

void set_near(Cell* err) { *field(err, FIELD_NEAR) = *user_code::evaluator.current_code(); }

// Writes a value formed or molded (flat) into the buffer, cut at `limit` code
// points. Writing stops at the limit too, so that a value too deep or too big
// to show whole still makes a report.
void write_limited(Cell* value, Cell* buffer, bool mold, bool only, i32 limit) {
    u32 before = string::zs_abs_length_q(buffer);
    Cell v = *value;
    Cell part;
    integer::make_at(&part, limit);
    if (mold) actions::mold_dispatch(&v, buffer, only, false, true, &part, limit, 0);
    else actions::form_dispatch(&v, buffer, &part, limit);
    SeriesBuffer* b = GET_BUFFER(series_node(buffer));
    if (b->length() > before + static_cast<u32>(limit)) b->tail = b->offset + (before + limit) * b->unit();
}

void text(Cell* buffer, const char* s) { string::concatenate_literal(buffer, s); }

// Writes a template block of the language (a user message): strings as they
// are, words and get-words by the error field they name.
void form_block_message(Cell* err, Cell* blk, Cell* buffer) {
    bool syntax = get_type(err) >= 0 && find_category(symbol::get_c_string(get_type(err))) == SYNTAX;
    u32 n = block::zs_length_q(blk);
    for (u32 i = 0; i < n; i++) {
        Cell item = *block::zs_abs_at(blk, series_head(blk) + i);
        if (i > 0) text(buffer, " ");
        u32 t = TYPE_OF(&item);
        if (t == TYPE_STRING) {
            actions::form_dispatch(&item, buffer, nullptr, 0x7FFFFFFF);
        } else if (t == TYPE_WORD || t == TYPE_GET_WORD) {
            for (u32 f = 0; f < FIELD_COUNT; f++) {
                if (symbol::resolve(symbol::make(field_names[f])) != symbol::resolve(static_cast<i32>(item.data2)))
                    continue;
                // A failure while writing an argument leaves the report going.
                Cell* saved_top = stack::top;
                try {
                    write_limited(field(err, f), buffer, !syntax, false, 80);
                } catch (Throw& thrown) {
                    if (thrown.value != THROW_ERROR) throw;
                    stack::top = saved_top;
                }
                break;
            }
        }
    }
}

// Turns an error the report cannot show into internal/invalid-error.
void make_invalid(Cell* err, const Cell* offender) {
    Cell w = *offender;
    *field(err, FIELD_ARG1) = w;
    set_field_word(err, FIELD_TYPE, "internal");
    set_field_word(err, FIELD_ID, "invalid-error");
}

// Checks the type and id fields (after a set-word spec) and sets the code.
void finish_from_fields(Cell* err) {
    Cell type_w, id_w;
    Cell* type = field(err, FIELD_TYPE);
    i32 cat = TYPE_OF(type) == TYPE_WORD ? find_category(name_of(type)) : -1;
    if (cat < 0) fire("script", "invalid-spec-field", word_named(&type_w, "type"));
    Cell* id = field(err, FIELD_ID);
    i32 pos = TYPE_OF(id) == TYPE_WORD ? find_id(cat, name_of(id)) : -1;
    if (pos < 0) fire("script", "invalid-spec-field", word_named(&id_w, "id"));
    set_code(err, cat, pos);
}

}  // namespace

void ready() {
    // Every name an error is built from is interned now: building the error
    // that reports a full symbol table must not need a new symbol.
    for (u32 i = 0; i < FIELD_COUNT; i++) names.fields[i] = symbol::make(field_names[i]);
    names.categories.clear();
    names.ids.clear();
    for (const Category& c : catalog()) {
        names.categories.push_back(symbol::make(c.name));
        std::vector<i32>& ids = names.ids.emplace_back();
        for (const ErrorId& e : c.ids) ids.push_back(symbol::make(e.name));
    }
    ready_generation = memory::generation;
}
bool ready_q() { return ready_generation == memory::generation; }

i32 get_type(const Cell* err) {
    Cell* t = field(err, FIELD_TYPE);
    return word::any_word_q(TYPE_OF(t)) ? static_cast<i32>(t->data2) : -1;
}

i32 get_id(const Cell* err) {
    Cell* t = field(err, FIELD_ID);
    return word::any_word_q(TYPE_OF(t)) ? static_cast<i32>(t->data2) : -1;
}

void set_where(Cell* err, const Cell* value) {
    Cell v = *value;
    Cell* w = field(err, FIELD_WHERE);
    if (TYPE_OF(w) == TYPE_NONE) *w = v;
}

void capture_stack(Cell* err) {
    // The trace of the call stack needs the system state object (its
    // stack-trace level and source files); until then an error keeps its
    // in-flight position.
    (void)err;
}

Cell* get_call_name(Cell* out) {
    for (CallFrame* f = stack::frame_top - 1; f >= stack::frame_base; f--) {
        i32 sym = static_cast<i32>(stack::frame_symbol(f));
        if (sym == words::_body || sym == words::_anon) continue;
        return make_cell(out, TYPE_WORD, f->word_ctx, static_cast<u32>(sym), 0xFFFFFFFF);
    }
    return word_cell(out, words::_not_found);
}

Cell* get_call_argument(i32 n, Cell* out) {
    word_cell(out, words::_anon);
    if (stack::frame_top <= stack::frame_base) return out;
    CallFrame* f = stack::frame_top - 1;
    Cell name;
    make_cell(&name, TYPE_WORD, f->word_ctx, stack::frame_symbol(f), 0xFFFFFFFF);
    if (!f->word_ctx) return out;
    i32 idx = context::find_word(context::TO_CTX(f->word_ctx), static_cast<i32>(name.data2), false);
    if (idx < 0) return out;
    Cell* values = context::values_of(context::TO_CTX(f->word_ctx));
    if (!values) return out;
    Cell fn = values[idx];
    u32 t = TYPE_OF(&fn);
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_OP && t != TYPE_FUNCTION && t != TYPE_ROUTINE) return out;
    SeriesBuffer* b = GET_BUFFER(fn.data2);
    const Cell* c = reinterpret_cast<const Cell*>(b->head());
    i32 k = 0;
    for (u32 i = 0; i < b->length(); i++) {
        if (!word::any_word_q(TYPE_OF(c + i))) continue;
        if (k++ == n) {
            *out = c[i];
            set_type(out, TYPE_WORD);
            return out;
        }
    }
    return out;
}

Cell* create(const Cell* type, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    Cell* base = stack::top;
    Cell* spec = block::push_only_star(2);
    block::zs_append(spec, type);
    block::zs_append(spec, id);
    Cell dt = datatype_cell(TYPE_ERROR);
    Cell err = *make(&dt, spec, TYPE_ERROR);
    stack::top = base;
    Cell* out = stack::push(&err);
    if (arg1) *field(out, FIELD_ARG1) = *arg1;
    if (arg2) *field(out, FIELD_ARG2) = *arg2;
    if (arg3) *field(out, FIELD_ARG3) = *arg3;
    return out;
}

Cell* pend_bad_to_arg(u32 type, const Cell* spec) {
    Cell t = datatype_cell(type);
    fire_pending("script", "bad-to-arg", &t, spec);
    return nullptr;
}

namespace {

// create_named for the catalog position (cat, pos) of the names, as
// find_named answers it (pos < 0: not in the catalog). In line: the raise
// path pays no extra call for it.
[[gnu::always_inline]] inline Cell* create_at(i32 cat, i32 pos, const char* category, const char* id,
                                              const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // Copies first: an argument may live where the new cells go. The copies
    // are guarded: an argument made just for the error (a binary of the bad
    // bytes) has no other owner while the error is built.
    Cell a[3];
    const Cell* args[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) {
        if (args[i]) a[i] = *args[i];
        else make_cell(&a[i], TYPE_NONE);
    }
    collector::Guard guard0(&a[0]), guard1(&a[1]), guard2(&a[2]);
    Cell* err = push_blank();
    if (pos < 0 || !ready_q()) {
        // Names not interned yet: making their symbols may move the fields.
        set_field_word(err, FIELD_TYPE, category);
        set_field_word(err, FIELD_ID, id);
    }
    // Nothing below allocates: the fields are written in place.
    Cell* f = field(err, 0);
    if (pos >= 0 && ready_q()) {
        word_cell(f + FIELD_TYPE, names.categories[cat]);
        word_cell(f + FIELD_ID, names.ids[cat][pos]);
    }
    if (pos >= 0) make_cell(f + FIELD_CODE, TYPE_INTEGER, 0, static_cast<u32>(code_of(cat, pos)));
    for (int i = 0; i < 3; i++)
        if (args[i]) f[FIELD_ARG1 + i] = a[i];
    f[FIELD_NEAR] = *user_code::evaluator.current_code();
    return err;
}

}  // namespace

Cell* create_named(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    i32 cat, pos;
    find_named(category, id, &cat, &pos);
    return create_at(cat, pos, category, id, arg1, arg2, arg3);
}

i32 form_message(Cell* err, const ErrorId& id, Cell* buffer, i32 part) {
    bool syntax = get_type(err) >= 0 && find_category(symbol::get_c_string(get_type(err))) == SYNTAX;
    bool first = true;
    for (const MessageItem& item : id.items) {
        if (!first) text(buffer, " ");
        first = false;
        if (item.field < 0) {
            text(buffer, item.text);
        } else {
            // A failure while writing an argument leaves the report going.
            Cell* saved_top = stack::top;
            try {
                write_limited(field(err, static_cast<u32>(item.field)), buffer, !syntax, false, 80);
            } catch (Throw& t) {
                if (t.value != THROW_ERROR) throw;
                stack::top = saved_top;
            }
        }
    }
    return part;
}

// --- Actions ---------------------------------------------------------------

Cell* make(Cell*, Cell* spec, u32) {
    Cell s = *spec;
    switch (TYPE_OF(&s)) {
        case TYPE_INTEGER: {
            Cell* err = push_blank();
            i32 code = static_cast<i32>(s.data2);
            i32 cat = code / 100;
            const auto& cats = catalog();
            if (code < 0 || cat >= static_cast<i32>(cats.size())) fire("script", "out-of-range", &s);
            i32 pos = code % 100;
            if (pos >= static_cast<i32>(cats[cat].ids.size())) fire("script", "out-of-range", &s);
            *field(err, FIELD_CODE) = s;
            set_field_word(err, FIELD_TYPE, cats[cat].name);
            set_field_word(err, FIELD_ID, cats[cat].ids[pos].name);
            set_near(err);
            return err;
        }
        case TYPE_BLOCK: {
            u32 n = block::zs_length_q(&s);
            Cell first;
            if (n > 0) first = *block::zs_head(&s);
            if (n > 0 && TYPE_OF(&first) == TYPE_WORD) {
                Cell type_w, id_w;
                i32 cat = find_category(name_of(&first));
                if (cat < 0) fire("script", "invalid-spec-field", word_named(&type_w, "type"));
                if (n < 2) fire("script", "invalid-spec-field", word_named(&id_w, "id"));
                Cell second = *block::zs_abs_at(&s, series_head(&s) + 1);
                if (TYPE_OF(&second) != TYPE_WORD) fire("script", "invalid-arg", &second);
                i32 pos = find_id(cat, name_of(&second));
                if (pos < 0) fire("script", "invalid-spec-field", word_named(&id_w, "id"));
                Cell* err = push_blank();
                *field(err, FIELD_TYPE) = first;
                *field(err, FIELD_ID) = second;
                set_code(err, cat, pos);
                set_near(err);
                return err;
            }
            if (n > 0 && TYPE_OF(&first) == TYPE_SET_WORD) {
                Cell* err = push_blank();
                context::bind(&s, context::TO_CTX(err->data1), false);
                Cell* base = stack::top;
                user_code::evaluator.eval(&s, false);
                stack::top = base;
                finish_from_fields(err);
                set_near(err);
                return err;
            }
            fire("internal", "invalid-error");
        }
        case TYPE_STRING: {
            // A user message, made again and again: its names found once.
            static i32 cat = -1, pos = -1;
            if (pos < 0) find_named("user", "message", &cat, &pos);
            return create_at(cat, pos, "user", "message", &s, nullptr, nullptr);
        }
        default: {
            Cell dt = datatype_cell(TYPE_ERROR);
            fire("script", "bad-make-arg", &dt, &s);
        }
    }
}

namespace {

// The catalog the report reads: system/catalog/errors, which scripts may
// change; before the system object exists (and in tests without one), the
// runtime's own table.
Cell* catalog_object() {
    Cell* c = system_object::field({"catalog", "errors"});
    return c && TYPE_OF(c) == TYPE_OBJECT ? c : nullptr;
}

// The field of an object that a word names, or null.
Cell* field_named(Cell* obj, const Cell* word) {
    if (!word::any_word_q(TYPE_OF(word)) || object::find_word(obj, word) < 0) return nullptr;
    return object::select_word(obj, word);
}
Cell* field_named(Cell* obj, const char* name) {
    Cell w;
    word_named(&w, name);
    return field_named(obj, &w);
}

// A template that is a word stands for the error field it names.
void write_word_template(Cell* err, Cell* value, Cell* buffer) {
    if (TYPE_OF(value) == TYPE_STRING) {
        actions::form_dispatch(value, buffer, nullptr, 0x7FFFFFFF);
    } else if (TYPE_OF(value) == TYPE_BLOCK) {
        form_block_message(err, value, buffer);
    } else {
        // Any other value (an error, even this error itself) is shown as an
        // argument is: molded and cut, so the report stays readable and
        // bounded, and printing it changes nothing in the error.
        write_limited(value, buffer, true, false, 80);
    }
}

// "Category: message" from the catalog object: the category's `type` text,
// then the id's template (a string as it is, a block filled from the
// error's fields). An unknown category or id, or a template of another
// kind, makes the error internal/invalid-error and the report goes on.
void form_head(Cell* cats, Cell* err, Cell* buffer) {
    Cell* cat = field_named(cats, field(err, FIELD_TYPE));
    Cell* entry = nullptr;
    if (!cat || TYPE_OF(cat) != TYPE_OBJECT) {
        make_invalid(err, field(err, FIELD_TYPE));
    } else if (!(entry = field_named(cat, field(err, FIELD_ID)))) {
        make_invalid(err, field(err, FIELD_ID));
    }
    if (!entry) {
        cat = field_named(cats, "internal");
        entry = cat && TYPE_OF(cat) == TYPE_OBJECT ? field_named(cat, "invalid-error") : nullptr;
    }
    // Copies: writing allocates, which may move the objects' values.
    Cell title, tmpl;
    make_cell(&title, TYPE_NONE);
    make_cell(&tmpl, TYPE_NONE);
    if (cat && TYPE_OF(cat) == TYPE_OBJECT) {
        if (Cell* t = field_named(cat, "type")) title = *t;
    }
    if (entry) tmpl = *entry;
    if (TYPE_OF(&title) == TYPE_STRING) actions::form_dispatch(&title, buffer, nullptr, 0x7FFFFFFF);
    else if (TYPE_OF(&title) != TYPE_NONE) write_limited(&title, buffer, false, false, 80);
    text(buffer, ": ");
    if (TYPE_OF(&tmpl) == TYPE_WORD || TYPE_OF(&tmpl) == TYPE_GET_WORD) {
        // The word names a field of the error: its value is the message.
        Cell value;
        make_cell(&value, TYPE_NONE);
        for (u32 f = 0; f < FIELD_COUNT; f++) {
            if (symbol::resolve(symbol::make(field_names[f])) != symbol::resolve(static_cast<i32>(tmpl.data2))) continue;
            value = *field(err, f);
            break;
        }
        write_word_template(err, &value, buffer);
    } else if (TYPE_OF(&tmpl) == TYPE_STRING) {
        actions::form_dispatch(&tmpl, buffer, nullptr, 0x7FFFFFFF);
    } else if (TYPE_OF(&tmpl) == TYPE_BLOCK) {
        form_block_message(err, &tmpl, buffer);
    } else {
        Cell t = *field(err, FIELD_TYPE);
        make_invalid(err, &t);
    }
}

// The same from the runtime's table.
void form_head_from_table(Cell* err, Cell* buffer, i32 part) {
    const auto& cats = catalog();
    Cell* type = field(err, FIELD_TYPE);
    i32 cat = word::any_word_q(TYPE_OF(type)) ? find_category(name_of(type)) : -1;
    if (cat < 0) {
        make_invalid(err, type);
        cat = INTERNAL;
    }
    Cell* id = field(err, FIELD_ID);
    i32 pos = word::any_word_q(TYPE_OF(id)) ? find_id(cat, name_of(id)) : -1;
    if (pos < 0) {
        make_invalid(err, id);
        cat = INTERNAL;
        pos = find_id(cat, "invalid-error");
    }
    const ErrorId* entry = &cats[cat].ids[pos];
    text(buffer, cats[cat].title);
    text(buffer, ": ");
    if (entry->kind == Template::word) {
        Cell value = *field(err, static_cast<u32>(entry->items[0].field));
        write_word_template(err, &value, buffer);
    } else {
        form_message(err, *entry, buffer, part);
    }
}

}  // namespace

i32 form(Cell* err, Cell* buffer, Cell*, i32 part) {
    // An error among its own arguments (formed, in a syntax message) is
    // written once; inside itself it shows as "...".
    if (cycles::detect_q(err, buffer, part, false)) return part;
    cycles::Guard guard(cycles::node_of(err));
    u32 start = string::zs_abs_length_q(buffer);
    text(buffer, "*** ");
    if (Cell* cats = catalog_object()) form_head(cats, err, buffer);
    else form_head_from_table(err, buffer, part);

    text(buffer, "\n*** Where: ");
    Cell where = *field(err, FIELD_WHERE);
    if (word::any_word_q(TYPE_OF(&where))) actions::form_dispatch(&where, buffer, nullptr, 0x7FFFFFFF);
    else if (TYPE_OF(&where) == TYPE_STRING) actions::form_dispatch(&where, buffer, nullptr, 0x7FFFFFFF);
    else text(buffer, "???");

    text(buffer, "\n*** Near : ");
    // Source text (where no code was running yet, as for a syntax error in a
    // script) is written as it is, as `where` writes a string.
    Cell* near = field(err, FIELD_NEAR);
    write_limited(near, buffer, TYPE_OF(near) != TYPE_STRING, true, 40);

    // The stack line depends on system/state/stack-trace, which does not exist yet.
    Cell files = *field(err, FIELD_FILES);
    if (TYPE_OF(&files) == TYPE_BLOCK) {
        text(buffer, "\n*** Files: ");
        write_limited(&files, buffer, true, true, 40);
    }
    return part - static_cast<i32>(string::zs_abs_length_q(buffer) - start);
}

i32 mold(Cell* err, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    if (cycles::detect_q(err, buffer, part, true)) return part;  // an error inside itself
    u32 start = string::zs_abs_length_q(buffer);
    if (!only) text(buffer, "make error! [");
    if (!flat) text(buffer, "\n");
    // The fields as the object serializer writes them (with the indentation
    // of the closing line).
    Cell fields = *err;
    set_type(&fields, TYPE_OBJECT);
    object::mold(&fields, buffer, true, all, flat, arg, part, indent);
    if (!only) text(buffer, "]");
    return part - static_cast<i32>(string::zs_abs_length_q(buffer) - start);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail) {
    // Fields by name, as in any object.
    return object::eval_path(parent, element, value, path, gparent, p_item, index, case_, get, tail);
}

i32 compare(Cell* err1, Cell* err2, i32 op) {
    if (TYPE_OF(err2) != TYPE_ERROR) return -2;
    if (err1->data1 == err2->data1) return 0;
    // Compared as objects: both read as object! for the comparison.
    Cell a = *err1, b = *err2;
    set_type(&a, TYPE_OBJECT);
    set_type(&b, TYPE_OBJECT);
    i32 r = actions::compare_value(&a, &b, op);
    if (r == -2) return op == COMP_SAME || op == COMP_EQUAL || op == COMP_STRICT_EQUAL ? 1 : -2;
    return r;
}

void init() {
    datatype::register_type(TYPE_ERROR, TYPE_OBJECT, "error!", {
        own<ACT_MAKE>(make), inherit<ACT_REFLECT>(), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), inherit<ACT_COPY>(), inherit<ACT_SELECT>(),
    });
    collector::register_marker([] { collector::mark_value(&thrown); });
}

}  // namespace zav::error
