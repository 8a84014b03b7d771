// Start-up: every runtime module's initialisation in its fixed order, the
// boot environment from the embedded image, and the library's top level.
#include "boot/boot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boot/image.h"
#include "library/host.h"
#include "loader/zavbin.h"
#include "library/routines.h"

#include "datatypes/action.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/char.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "loader/lexer.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/op.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/system_object.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/date.h"
#include "datatypes/handle.h"
#include "datatypes/map.h"
#include "datatypes/port.h"
#include "datatypes/pair.h"
#include "datatypes/percent.h"
#include "datatypes/point2d.h"
#include "datatypes/point3d.h"
#include "datatypes/image.h"
#include "datatypes/event.h"
#include "datatypes/money.h"
#include "datatypes/tag.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/case_folding.h"
#include "datatypes/cycles.h"
#include "runtime/collector.h"
#include "runtime/handles.h"
#include "runtime/memory.h"
#include "runtime/slots.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"
#include "runtime/rt.h"
#include "runtime/scope.h"
#include "runtime/unicode.h"
#include "evaluator/parse.h"
#include "evaluator/actions.h"
#include "datatypes/checksum.h"
#include "evaluator/interpreter.h"
#include "view/terminal/gui.h"

namespace zav::boot {

namespace {

// Series bytes the library's top level may allocate before a collection is
// due (it takes about 3 MiB).
constexpr u64 STARTUP_HEAP = u64(8) << 20;

// Root cell of the library block (0: no library loaded).
u32 library_root = 0;

zavbin::SymbolHashes hashes_of(const Image& from) { return {from.symbol_hashes, from.symbol_count, from.hash_seed}; }

// A block the image tool loaded from text, decoded onto the value stack;
// null for an empty image (the tool's own start-up).
Cell* load_block(const Image& from) {
    if (!from.size) return nullptr;
    Cell* out = block::push_only_star(1);
    zavbin::SymbolHashes hashes = hashes_of(from);
    zavbin::decode(from.data, out, zavbin::MODE_BOOT, from.size, nullptr, &hashes);
    if (block::zs_length_q(out) != 1 || TYPE_OF(block::zs_head(out)) != TYPE_BLOCK) {
        std::fputs("Error: boot image corrupted!\n", stderr);
        std::exit(1);
    }
    *out = *block::zs_head(out);
    return out;
}

// Phase B: the runtime modules, each initialised once, in this order.
void runtime_boot() {
    // No collection while start-up builds the runtime: its parts are not all
    // reachable from the roots until the end (a second start-up, after the
    // memory was wiped, begins with the collector still active).
    collector::disable();
    gui::init();
    random::init();
    memory::init();
    collector::init();
    handles::init();
    auto env_on = [](const char* name) { const char* v = std::getenv(name); return v && v[0] == '1' && !v[1]; };
    collector::stress = env_on("ZAV_GC_STRESS");
    // Only ever switched on here: a test may have set it before start-up.
    if (env_on("ZAV_REFERENCE_EVAL")) interpreter::reference_only = true;

    // Datatypes register parent first, in this fixed order.
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();
    binary::init();
    integer::init();
    symbol::init_type();
    context::init();
    word::init();
    lit_word::init();
    set_word::init();
    get_word::init();
    refinement::init();
    char_::init();
    native::init();
    action::init();
    op::init();
    path::init();
    lit_path::init();
    set_path::init();
    get_path::init();
    function::init();
    routine::init();
    paren::init();
    issue::init();
    url::init();
    file::init();
    object::init();
    bitset::init();
    triple::init();
    float_::init();
    typeset::init();
    error::init();
    // (further datatypes: vector! map! hash! pair! percent! tuple! time! tag! email! handle! date! port! money! ref! point2D! point3D! image!)
    vector::init();
    map::init();
    hash::init();
    pair::init();
    percent::init();
    tuple::init();
    time::init();
    tag::init();
    email::init();
    handle::init();
    date::init();
    port::init();
    money::init();
    ref::init();
    point2D::init();
    point3D::init();
    image::init();
    event::init();

    cycles::init();
    case_folding::init();
    symbol::init();
    // The root block holds values that the runtime keeps for good.
    root = alloc_cells(1000);
    // Start-up defines about 1,250 words: room for a script's own before it grows.
    context::make_global(4000);
    words::build();
    words::build_locals();
    words::build_issue();
    typeset::init_named();
    ownership::init();
    stack::init_default();
    slots::init();
    lexer::init();
    // The generic action entries come after every datatype's action table.
    actions::init();
    interpreter::init();
    // The native table, then the native and action words of the global context.
    natives::init();
    {
        Cell* saved = stack::top;
        natives::bind_globals(load_block(builtin_specs));
        stack::top = saved;
    }
    parse::init();
    checksum::init();
    // Errors can be built as values from here on.
    error::ready();
}

// Cells of a module block, re-read at every use.
Cell* cells(const Cell* blk) { return block::cells_of(block::buffer_of(blk)); }

// The boot image into the root block: one block per library module, all of
// it marked as library code (compiled code for the interpreter) as it is read.
void load_modules(const Image& from) {
    library_root = 0;
    if (!from.size) return;
    zavbin::SymbolHashes hashes = hashes_of(from);
    u32 base = zavbin::boot_load(from.data, false, SERIES_LIBRARY, &hashes);
    Cell* modules = get_root(base);
    if (GET_BUFFER(root)->length() != base + 1 || TYPE_OF(modules) != TYPE_BLOCK) {
        std::fputs("Error: boot image corrupted!\n", stderr);
        std::exit(1);  // a start that cannot load its library has failed: never status 0
    }
    library_root = base;
}

// A set-word of the global context for a name.
Cell* global_slot(const char* name) { return context::get_global(symbol::make(name)); }

// A field of an object value by name (the shared none cell when missing).
Cell* field(const Cell* obj, const char* name) {
    Cell w;
    word::make_at(symbol::make(name), &w);
    return object::select_word(obj, &w);
}

}  // namespace

// The error catalog as `make object!` makes it from its text, built without
// loading and evaluating that text (the unit tests compare the two): one
// object per category of code, type (its title) and a field per id holding
// its message: a text, a field word or a block of texts and (get-)words of
// fields.
void make_error_catalog(Cell* out) {
    using error::Template;
    const auto& cats = error::catalog();
    // Every name's symbol, looked up once.
    i32 fields[error::FIELD_COUNT];
    for (u32 f = 0; f < error::FIELD_COUNT; f++) fields[f] = symbol::make(error::field_names[f]);
    const i32 make = symbol::make("make"), object_type = symbol::make("object!");
    const i32 code = fields[error::FIELD_CODE], type = fields[error::FIELD_TYPE];
    std::vector<i32> names;  // per category: its own, then its ids'
    for (const auto& c : cats) {
        names.push_back(symbol::make(c.name));
        for (const auto& id : c.ids) names.push_back(symbol::make(id.name));
    }
    // Loading the text makes the global word of each of its words, in order
    // of their first appearance.
    std::vector<i32> global(symbol::count() + 1, -1);  // by symbol: the index of its global word
    auto add_global = [&](i32 sym) {
        if (global[sym] >= 0) return;
        Cell w;
        word::make_at(sym, &w);
        global[sym] = word_index(&w);
    };
    for (u32 k = 0, n = 0; k < cats.size(); k++) {
        for (i32 sym : {names[n++], make, object_type, code, type}) add_global(sym);
        for (const auto& id : cats[k].ids) {
            add_global(names[n++]);
            if (id.kind == Template::text) continue;
            for (const auto& item : id.items)
                if (item.field >= 0) add_global(fields[item.field]);
        }
    }
    auto values = [](const Cell& obj) { return context::values_of(context::TO_CTX(obj.data1)); };
    // A new object of fields of these names (case variants share one), given
    // its class as make does before it evaluates the body; answers the index
    // of each name.
    auto new_object = [](Cell* obj, const i32* syms, u32 count, std::vector<i32>& at) {
        object::make_ctx_at(obj, 4);
        at.resize(count);
        for (u32 i = 0; i < count; i++) {
            Cell w;
            make_cell(&w, TYPE_SET_WORD, 0, static_cast<u32>(syms[i]), static_cast<u32>(-1));
            at[i] = context::add_word(context::TO_CTX(obj->data1), &w);
        }
        obj->data2 = static_cast<u32>(object::next_class());
        *context::owner_of(obj->data1) = *obj;
    };
    std::vector<i32> cat_syms, outer_at, cat_at;
    for (u32 k = 0, n = 0; k < cats.size(); n += 1 + static_cast<u32>(cats[k].ids.size()), k++) cat_syms.push_back(names[n]);
    Cell outer;
    make_cell(&outer, TYPE_NONE);
    collector::Guard outer_root(&outer);
    new_object(&outer, cat_syms.data(), static_cast<u32>(cat_syms.size()), outer_at);
    Cell* saved = stack::top;
    for (u32 k = 0, n = 0; k < cats.size(); k++) {
        const auto& c = cats[k];
        Cell cat;
        make_cell(&cat, TYPE_NONE);
        collector::Guard cat_root(&cat);
        std::vector<i32> syms{code, type};
        syms.insert(syms.end(), names.begin() + n + 1, names.begin() + n + 1 + c.ids.size());
        n += 1 + static_cast<u32>(c.ids.size());
        new_object(&cat, syms.data(), static_cast<u32>(syms.size()), cat_at);
        // A field word of a message ends bound in the innermost object having its name.
        Cell bound[error::FIELD_COUNT];
        for (u32 f = 0; f < error::FIELD_COUNT; f++) {
            i32 in_cat = context::find_word(context::TO_CTX(cat.data1), fields[f], true);
            i32 in_outer = context::find_word(context::TO_CTX(outer.data1), fields[f], true);
            node_t ctx = in_cat >= 0 ? cat.data1 : in_outer >= 0 ? outer.data1 : context::global;
            i32 at = in_cat >= 0 ? in_cat : in_outer >= 0 ? in_outer : global[fields[f]];
            make_cell(&bound[f], TYPE_WORD, ctx, static_cast<u32>(fields[f]), static_cast<u32>(at));
        }
        auto word_of = [&](const error::MessageItem& item, u32 as) {
            Cell w = bound[item.field];
            set_type(&w, as);
            return w;
        };
        // Nothing below allocates between reading a field's place and setting it.
        make_cell(values(cat) + cat_at[0], TYPE_INTEGER, 0, 100 * k);
        Cell title = *string::load(c.title);
        values(cat)[cat_at[1]] = title;
        for (u32 j = 0; j < c.ids.size(); j++) {
            const auto& id = c.ids[j];
            Cell v;
            if (id.kind == Template::text) {
                v = *string::load(id.items[0].text);
            } else if (id.kind == Template::word) {
                v = word_of(id.items[0], TYPE_WORD);
            } else {
                block::make_at(&v, static_cast<u32>(id.items.size()));
                collector::Guard v_root(&v);
                for (const auto& item : id.items) {
                    Cell e = item.field < 0 ? *string::load(item.text)
                                            : word_of(item, item.get ? TYPE_GET_WORD : TYPE_WORD);
                    *alloc_at_tail(series_node(&v)) = e;
                    stack::top = saved;
                }
            }
            stack::top = saved;
            values(cat)[cat_at[2 + j]] = v;
        }
        object::finish_make(&cat);
        values(outer)[outer_at[k]] = cat;
    }
    object::finish_make(&outer);
    *out = outer;
}

namespace {

// Date and time of this build, as "dd-Mon-yyyy/hh:mm:ss".
const char* build_date() {
    // __DATE__ is "Mmm dd yyyy"; the language writes dates as dd-Mmm-yyyy.
    static char text[24];
    if (!text[0]) {
        const char* d = __DATE__;
        int day = (d[4] == ' ' ? 0 : d[4] - '0') * 10 + (d[5] - '0');
        std::snprintf(text, sizeof text, "%d-%.3s-%.4s/%s", day, d, d + 7, __TIME__);
    }
    return text;
}

// What the library's top level cannot say in the language: the object over
// the global context, the error catalog and the raw command line.
void complete_system() {
    Cell* system = global_slot("system");
    if (TYPE_OF(system) != TYPE_OBJECT) return;
    Cell sys = *system;
    collector::Guard sys_root(&sys);
    // The datatypes read their settings from it from now on.
    system_object::set(&sys);
    Cell* saved = stack::top;
    // system/words reads and sets the global words themselves.
    Cell words = *object::push(context::global, -1, 0);
    *context::owner_of(context::global) = words;
    memory::forget_buffers();  // the memo knows the global context's owner
    *field(&sys, "words") = words;
    // The build's date and time, when the date! datatype reads it.
    Cell build = *field(&sys, "build");
    if (TYPE_OF(&build) == TYPE_OBJECT) {
        Cell* date = load_source(build_date());
        if (TYPE_OF(date) == TYPE_BLOCK && block::zs_length_q(date) == 1 &&
            TYPE_OF(block::zs_head(date)) == TYPE_DATE)
            *field(&build, "date") = *block::zs_head(date);
    }
    Cell catalog = *field(&sys, "catalog");
    if (TYPE_OF(&catalog) == TYPE_OBJECT) {
        Cell errors;
        make_error_catalog(&errors);
        *field(&catalog, "errors") = errors;
    }
    Cell script = *field(&sys, "script");
    if (TYPE_OF(&script) == TYPE_OBJECT) {
        // Made on the stack first: a collection may move the object's values.
        Cell* line = stack::push_star();
        make_cell(line, TYPE_NONE);
        host::command_line(line);
        *field(&script, "args") = *line;
    }
    stack::top = saved;
}

// The words that make functions and objects, as the walk below reads them.
struct Makers {
    i32 func = symbol::resolve(symbol::make("func"));
    i32 function = symbol::resolve(symbol::make("function"));
    i32 has = symbol::resolve(symbol::make("has"));
    i32 does = symbol::resolve(symbol::make("does"));
    i32 context = symbol::resolve(symbol::make("context"));
    i32 object = symbol::resolve(symbol::make("object"));
    i32 make = symbol::resolve(symbol::make("make"));
    i32 object_type = symbol::resolve(symbol::make("object!"));
};

// Marks the literal bodies of the functions that a module's top level makes,
// directly or in the body of an object it makes, as private: that code runs
// once and the module block never again, so the function made from such a
// body may take it without copying it.
void mark_private_bodies(const Cell* code, const Makers& m) {
    node_t n = series_node(code);
    u32 len = GET_BUFFER(n)->length();
    auto at = [&](u32 i) { return block::cells_of(GET_BUFFER(n)) + i; };
    auto symbol_of = [&](u32 i) { return symbol::resolve(static_cast<i32>(word_symbol(at(i)))); };
    for (u32 i = series_head(code); i < len; i++) {
        if (TYPE_OF(at(i)) != TYPE_WORD) continue;
        i32 s = symbol_of(i);
        u32 args = s == m.func || s == m.function || s == m.has ? 2 : s == m.does ? 1 : 0;
        if (args) {
            if (i + args >= len) continue;
            bool literal = true;
            for (u32 k = 1; k <= args; k++) literal = literal && TYPE_OF(at(i + k)) == TYPE_BLOCK;
            if (literal && series_head(at(i + args)) == 0) block::buffer_of(at(i + args))->flags |= SERIES_PRIVATE;
            continue;
        }
        if ((s == m.context || s == m.object) && i + 1 < len && TYPE_OF(at(i + 1)) == TYPE_BLOCK) {
            mark_private_bodies(at(i + 1), m);
        } else if (s == m.make && i + 2 < len && TYPE_OF(at(i + 2)) == TYPE_BLOCK &&
                   (TYPE_OF(at(i + 1)) == TYPE_PATH || (TYPE_OF(at(i + 1)) == TYPE_WORD && symbol_of(i + 1) == m.object_type))) {
            mark_private_bodies(at(i + 2), m);
        }
    }
}

// Phase E: the library modules, in order, as compiled code; routines can be
// defined only while it runs.
void run_top_level() {
    if (!library_root) return;
    routines::register_all();
    routine::defining = true;
    Cell modules = *get_root(library_root);
    Cell* saved = stack::top;
    const Makers makers;
    for (u32 i = 0, n = block::buffer_of(&modules)->length(); i < n; i++) {
        Cell module = cells(&modules)[i];
        mark_private_bodies(&module, makers);
        stack::top = saved;
        interpreter::eval(&module, false);
        stack::throw_pending();
    }
    stack::top = saved;
    routine::defining = false;
    complete_system();
}

}  // namespace

void load_image(const Image& from) { load_modules(from); }

Cell* load_source(const char* text) {
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), false, true, true,
                &consumed, nullptr, nullptr);
    return out;
}

void init_runtime() {
    static bool done = false;
    static u32 generation = 0;
    if (done && generation == memory::generation) return;
    done = true;
    runtime_boot();
    generation = memory::generation;
    load_image(image);
    // Everything built so far is reachable from the roots: collections may run.
    collector::enable();
    // The library's top level leaves little garbage: collecting it would cost
    // more than the room it frees, so none runs before the script starts
    // unless start-up allocates far more than it does (or every allocation
    // collects, under stress).
    if (!collector::stress) collector::defer_until(STARTUP_HEAP);
    // Back to collecting whenever a frame is full, also when the top level fails.
    OnExit collect_again([] { collector::defer_until(0); });
    run_top_level();
    // What start-up holds now stays for the whole run: the first collection
    // makes it permanent, and later ones do not mark it again.
    collector::promote_at_next_cycle(root, context::global);
}

Cell* library() {
    static Cell none{TYPE_NONE, 0, 0, 0};
    return library_root ? get_root(library_root) : &none;
}

std::string encode_image(Cell* modules) {
    Cell* bin = zavbin::encode_cp(modules);
    std::string out(reinterpret_cast<const char*>(binary::zs_head(bin)), binary::zs_length_q(bin));
    stack::pop(1);
    return out;
}

}  // namespace zav::boot
