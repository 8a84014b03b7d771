// function! values: building, spec validation, local collection and actions.
#include "datatypes/function.h"

#include <unordered_map>
#include <unordered_set>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/user_code.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "datatypes/words.h"

namespace zav::function {

namespace {

i32 resolved(const Cell* c) { return symbol::resolve(static_cast<i32>(c->data2)); }
bool is(const Cell* c, i32 word) { return resolved(c) == symbol::resolve(word); }
bool any_param_q(u32 t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }

i32 extern_symbol() { return symbol::make("extern"); }

// Cell i of a block's buffer, counted from the buffer's offset.
Cell* cell_at(node_t blk, u32 i) { return reinterpret_cast<Cell*>(GET_BUFFER(blk)->head()) + i; }
u32 length_of(node_t blk) { return GET_BUFFER(blk)->length(); }

[[noreturn]] void bad_def(Cell* spec) { fire("script", "bad-func-def", spec); }

// Step 6 of validation: the entries of a type block.
void check_type_block(const Cell* types) {
    node_t node = series_node(types);
    for (u32 i = series_head(types); i < length_of(node); i++) {
        Cell entry = *cell_at(node, i);
        Cell value = entry;
        if (TYPE_OF(&entry) == TYPE_WORD) {
            value = *context::get(&entry);
            if (TYPE_OF(&value) == TYPE_UNSET) fire("script", "no-value", &entry);
        }
        u32 t = TYPE_OF(&value);
        if (t != TYPE_DATATYPE && t != TYPE_TYPESET && t != TYPE_WORD) fire("script", "invalid-type-spec", &entry);
    }
}

bool is_word_kind(u32 t) { return any_param_q(t) || t == TYPE_REFINEMENT; }

}  // namespace

Cell* more_cell(const Cell* fn, u32 index) { return cell_at(more_of(fn), index); }

u32 validate(Cell* spec) {
    node_t node = series_node(spec);
    u32 head = series_head(spec);
    u32 tail = length_of(node);
    u32 flags = 0;
    bool return_seen = false, local_seen = false;
    u32 i = head;
    if (i < tail && TYPE_OF(cell_at(node, i)) == TYPE_BLOCK) {
        Cell attrs = *cell_at(node, i);
        node_t an = series_node(&attrs);
        for (u32 k = series_head(&attrs); k < length_of(an); k++) {
            Cell* a = cell_at(an, k);
            if (TYPE_OF(a) != TYPE_WORD) bad_def(spec);
            if (is(a, words::trace)) flags |= FLAG_TRACE;
            else if (is(a, words::no_trace)) flags |= FLAG_NO_TRACE;
        }
        i++;
    }
    for (; i < tail; i++) {
        Cell c = *cell_at(node, i);
        u32 t = TYPE_OF(&c);
        const Cell* next = i + 1 < tail ? cell_at(node, i + 1) : nullptr;
        if (any_param_q(t)) {
            if (local_seen && t != TYPE_WORD) bad_def(spec);
            if (return_seen && !local_seen) bad_def(spec);
            if (next && TYPE_OF(next) == TYPE_STRING && i + 2 < tail && TYPE_OF(cell_at(node, i + 2)) == TYPE_BLOCK)
                bad_def(spec);  // the type block comes before the doc string
            if (next && TYPE_OF(next) == TYPE_BLOCK) {
                check_type_block(next);
                i++;
            }
        } else if (t == TYPE_SET_WORD) {
            if (!is(&c, words::return_) || return_seen || local_seen) bad_def(spec);
            return_seen = true;
            if (!next || TYPE_OF(next) != TYPE_BLOCK) bad_def(spec);
            if (i + 2 < tail) {
                u32 after = TYPE_OF(cell_at(node, i + 2));
                if (after != TYPE_REFINEMENT && after != TYPE_STRING) bad_def(spec);
            }
            check_type_block(cell_at(node, i + 1));
            i++;
        } else if (t == TYPE_REFINEMENT) {
            if (is(&c, words::local)) local_seen = true;
            else if (return_seen || local_seen) bad_def(spec);
            if (next) {
                u32 nt = TYPE_OF(next);
                if (!any_param_q(nt) && nt != TYPE_REFINEMENT && nt != TYPE_SET_WORD && nt != TYPE_STRING)
                    bad_def(spec);
            }
        } else if (t != TYPE_STRING) {
            bad_def(spec);
        }
    }
    // No name may appear twice. One pass with the first place of each name
    // (a spec may hold many thousand gathered locals); the pair reported is
    // the one whose first name comes earliest, then its earliest repeat.
    u32 best_first = tail, best_dup = tail;
    auto repeat = [&](u32 first_at, u32 b) {
        if (first_at < best_first || (first_at == best_first && b < best_dup)) {
            best_first = first_at;
            best_dup = b;
        }
    };
    // Most specs name a handful of words: compared pairwise without a map.
    constexpr u32 FEW = 24;
    i32 names[FEW];
    u32 places[FEW];
    u32 count = 0;
    for (u32 b = head; b < tail && count <= FEW; b++) {
        Cell* w = cell_at(node, b);
        if (!is_word_kind(TYPE_OF(w))) continue;
        if (count == FEW) {
            count++;
            break;
        }
        names[count] = resolved(w);
        places[count++] = b;
    }
    if (count <= FEW) {
        for (u32 j = 1; j < count; j++)
            for (u32 k = 0; k < j; k++)
                if (names[k] == names[j]) {
                    repeat(places[k], places[j]);
                    break;
                }
    } else {
        std::unordered_map<i32, u32> first;
        for (u32 b = head; b < tail; b++) {
            Cell* w = cell_at(node, b);
            if (!is_word_kind(TYPE_OF(w))) continue;
            auto [it, added] = first.try_emplace(resolved(w), b);
            if (!added) repeat(it->second, b);
        }
    }
    if (best_dup < tail) {
        Cell dup = *cell_at(node, best_dup);
        fire("script", "dup-vars", &dup);
    }
    return flags;
}

namespace {

// The context last made for a spec block (by the low bits of its node),
// until the next collection: a function made again from that spec (a
// function made in a loop, an object's method copied for each object made
// from a prototype) shares its word list while the spec still lists the
// same words.
struct SpecContext {
    node_t spec = 0;
    node_t ctx = 0;
    u32 cycles = 0;
};
SpecContext spec_contexts[64];

node_t spec_context(Cell* spec) {
    const node_t sn = series_node(spec);
    SpecContext& e = spec_contexts[sn % std::size(spec_contexts)];
    if (e.spec == sn && e.cycles == collector::cycles)
        if (node_t ctx = context::share_function_words(spec, e.ctx)) return ctx;
    node_t ctx = context::make(spec, true, false, context::KIND_FUNCTION);
    e = {sn, ctx, collector::cycles};
    return ctx;
}

}  // namespace

node_t push(Cell* spec_in, Cell* body_in, node_t ctx, i32 code, node_t owner, u32 flags) {
    Cell* base = stack::top;
    Cell* spec = stack::push(spec_in);
    Cell* body = body_in ? stack::push(body_in) : nullptr;
    if (series_head(spec) > 0) {
        Cell* copy = block::clone(spec, false, false);
        *spec = *copy;
        stack::pop(1);
    }
    if (series_head(spec) > length_of(series_node(spec))) series_head(spec) = length_of(series_node(spec));
    if (body && series_head(body) > length_of(series_node(body))) series_head(body) = length_of(series_node(body));

    node_t more = alloc_cells(MORE_COUNT);
    collector::Guard more_root(more);
    bool own_ctx = ctx == 0;
    if (own_ctx) ctx = spec_context(spec);
    collector::Guard ctx_root(ctx);

    Cell fn;
    make_cell(&fn, TYPE_FUNCTION | flags, ctx, series_node(spec), more);
    *context::owner_of(ctx) = fn;

    Cell* c = alloc_at_tail(more);  // 0: body
    make_cell(c, TYPE_NONE);
    for (u32 k = 1; k < MORE_COUNT; k++) alloc_at_tail(more);  // unset
    if (body) {
        u32 source_flags = block::buffer_of(body)->flags;
        if ((source_flags & SERIES_PRIVATE) && series_head(body) == 0) {
            // Nothing else holds it: a copy would only be garbage.
            block::buffer_of(body)->flags &= ~SERIES_PRIVATE;
            make_cell(cell_at(more, MORE_BODY), TYPE_BLOCK, 0, series_node(body), 0);
        } else {
            Cell* copy = block::clone(body, true, true);
            // The copy of a library body is library code too.
            if (source_flags & SERIES_LIBRARY) block::set_flags_deep(copy, SERIES_LIBRARY);
            *cell_at(more, MORE_BODY) = *copy;
            stack::pop(1);
        }
        if (own_ctx) context::bind(cell_at(more, MORE_BODY), context::TO_CTX(ctx), false);
    }
    if (code) make_cell(cell_at(more, MORE_CODE), TYPE_INTEGER, 0, static_cast<u32>(code));
    if (owner) make_cell(cell_at(more, MORE_OWNER), TYPE_INTEGER, 0, owner);

    stack::top = base;
    stack::push(&fn);
    return ctx;
}

i32 count_locals(node_t spec, u32 head, bool strict) {
    i32 count = -1;
    for (u32 i = head; i < length_of(spec); i++) {
        Cell* c = cell_at(spec, i);
        if (count < 0) {
            if (TYPE_OF(c) == TYPE_REFINEMENT && is(c, words::local)) count = 1;
        } else if (TYPE_OF(c) == TYPE_WORD) {
            count++;
        }
    }
    if (count < 0) return strict ? -1 : 0;
    return count;
}

u32 arity(const Cell* fn) {
    node_t spec = spec_of(fn);
    u32 n = 0;
    for (u32 i = 0; i < length_of(spec); i++) {
        u32 t = TYPE_OF(cell_at(spec, i));
        if (t == TYPE_REFINEMENT || t == TYPE_SET_WORD) break;
        if (any_param_q(t)) n++;
    }
    return n;
}

void check_callback(const Cell* fn, u32 count, const char* refinement) {
    if (TYPE_OF(fn) != TYPE_FUNCTION || arity(fn) == count) return;
    Cell w, f = *fn;
    word::make_at(symbol::make(refinement), &w);
    fire("script", "invalid-refine-arg", &w, &f);
}

u32 event_mask(const Cell* fn, const char* const* names, u32 count, u32 all) {
    if (TYPE_OF(fn) != TYPE_FUNCTION) return all;
    Cell body = *more_cell(fn, MORE_BODY);
    if (TYPE_OF(&body) != TYPE_BLOCK || block::zs_length_q(&body) == 0) return all;
    Cell first = *block::zs_head(&body);
    if (TYPE_OF(&first) != TYPE_BLOCK) return all;
    u32 mask = 0;
    for (u32 i = 0, n = block::zs_length_q(&first); i < n; i++) {
        Cell w = *block::zs_abs_at(&first, series_head(&first) + i);
        if (TYPE_OF(&w) != TYPE_WORD) continue;
        i32 sym = symbol::resolve(static_cast<i32>(w.data2));
        for (u32 k = 0; k < count; k++)
            if (symbol::resolve(symbol::make(names[k])) == sym) mask |= 1u << k;
    }
    return mask;
}

void push_unused_slots(const Cell* fn, u32 given) {
    node_t spec = spec_of(fn);
    u32 k = 0;
    for (u32 i = 0; i < length_of(spec); i++) {
        u32 t = TYPE_OF(cell_at(spec, i));
        if (!any_param_q(t) && t != TYPE_REFINEMENT) continue;
        if (k++ < given) continue;
        if (t == TYPE_REFINEMENT) make_cell(stack::push_star(), TYPE_LOGIC, 0);
        else make_cell(stack::push_star(), TYPE_NONE);
    }
}

namespace {

struct Collector {
    Cell* result;  // on the value stack
    // Names already taken (the spec's, then each one gathered), by resolved
    // symbol: a body may set many thousand words.
    std::unordered_set<i32> taken;

    void collect(const Cell* word) {
        Cell w = *word;
        set_type(&w, TYPE_WORD);
        w.header &= ~FLAG_NEW_LINE;
        if (!taken.insert(symbol::resolve(static_cast<i32>(w.data2))).second) return;
        block::zs_append(result, &w);
    }

    void walk(node_t body, u32 head) {
        if (cycles::find_q(body)) return;
        cycles::push(body);
        for (u32 i = head; i < length_of(body); i++) {
            Cell c = *cell_at(body, i);
            u32 t = TYPE_OF(&c);
            if (t == TYPE_SET_WORD) {
                collect(&c);
            } else if (t == TYPE_WORD && i + 1 < length_of(body)) {
                bool rep = is(&c, words::repeat);
                bool each = is(&c, words::foreach) || is(&c, words::remove_each);
                Cell next = *cell_at(body, i + 1);
                u32 nt = TYPE_OF(&next);
                if ((rep || each) && (nt == TYPE_WORD || nt == TYPE_SET_WORD)) {
                    collect(&next);
                } else if (each && nt == TYPE_BLOCK) {
                    node_t wn = series_node(&next);
                    for (u32 k = series_head(&next); k < length_of(wn); k++) {
                        Cell w = *cell_at(wn, k);
                        if (any_param_q(TYPE_OF(&w))) collect(&w);
                    }
                }
            } else if (t == TYPE_BLOCK || t == TYPE_PAREN) {
                walk(series_node(&c), series_head(&c));
            }
        }
        cycles::pop();
    }
};

}  // namespace

Cell* collect_locals(Cell* spec, Cell* body) {
    Cell* base = stack::top;
    Cell* result = block::push_only_star(8);
    Cell* ignore = block::clone(spec, false, false);
    node_t sn = series_node(spec);
    i32 ext = extern_symbol();
    bool has_extern = false;
    for (u32 i = series_head(spec); i < length_of(sn); i++) {
        Cell* c = cell_at(sn, i);
        if (TYPE_OF(c) != TYPE_REFINEMENT || !is(c, ext)) continue;
        has_extern = true;
        u32 k = i + 1;
        while (k < length_of(sn) && TYPE_OF(cell_at(sn, k)) == TYPE_WORD) k++;
        if (k < length_of(sn) && TYPE_OF(cell_at(sn, k)) == TYPE_REFINEMENT && is(cell_at(sn, k), words::local)) {
            for (k++; k < length_of(sn); k++) {
                Cell w = *cell_at(sn, k);
                if (TYPE_OF(&w) == TYPE_WORD) block::zs_append(result, &w);
            }
        }
        block::zs_clear_at(spec, i);  // the spec ends where /extern was
        break;
    }
    node_t in = series_node(ignore);
    for (u32 i = 0; i < length_of(in); i++) {
        Cell* c = cell_at(in, i);
        u32 t = TYPE_OF(c);
        if (t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT) {
            set_type(c, TYPE_WORD);
        } else if (t != TYPE_WORD && t != TYPE_BLOCK && t != TYPE_STRING && has_extern) {
            Cell bad = *c;
            fire("script", "bad-func-extern", &bad);
        }
    }
    Collector col{result, {}};
    for (u32 i = 0; i < length_of(in); i++) {
        Cell* c = cell_at(in, i);
        if (TYPE_OF(c) == TYPE_WORD) col.taken.insert(resolved(c));
    }
    col.walk(series_node(body), series_head(body));

    if (block::zs_length_q(result) > 0) {
        if (count_locals(series_node(spec), 0, true) < 0) block::zs_append(spec, &words::ref_local);
        node_t rn = series_node(result);
        for (u32 i = 0; i < length_of(rn); i++) {
            if (is(cell_at(rn, i), words::local)) {
                Cell* rb = block::buffer_of(result) ? block::cells_of(block::buffer_of(result)) : nullptr;
                std::memmove(rb + i, rb + i + 1, (length_of(rn) - i - 1) * sizeof(Cell));
                GET_BUFFER(rn)->tail -= sizeof(Cell);
                break;
            }
        }
        for (u32 i = 0; i < length_of(rn); i++) {
            Cell w = *cell_at(rn, i);
            block::zs_append(spec, &w);
        }
    }
    Cell out = *result;
    stack::top = base;
    return stack::push(&out);
}

// --- Actions ---------------------------------------------------------------

Cell* make(Cell*, Cell* spec, u32) {
    if (TYPE_OF(spec) != TYPE_BLOCK || block::zs_length_q(spec) < 2) fire("script", "bad-func-def", spec);
    Cell fn_spec = *block::zs_head(spec);
    Cell body = *block::zs_abs_at(spec, series_head(spec) + 1);
    if (TYPE_OF(&fn_spec) != TYPE_BLOCK || TYPE_OF(&body) != TYPE_BLOCK) fire("script", "bad-func-def", spec);
    u32 flags = validate(&fn_spec);
    push(&fn_spec, &body, 0, 0, 0, flags);
    return stack::top - 1;
}

Cell* reflect(Cell* fn, u32 field_symbol) {
    i32 f = symbol::resolve(static_cast<i32>(field_symbol));
    if (f == symbol::resolve(words::spec)) return make_cell(fn, TYPE_BLOCK, 0, spec_of(fn), 0);
    if (f == symbol::resolve(words::body)) return copy_cell(more_cell(fn, MORE_BODY), fn);
    if (f == symbol::resolve(words::words)) {
        Cell list;
        const node_t ctx = ctx_of(fn);
        make_cell(&list, TYPE_BLOCK, 0, context::get_words_node(context::TO_CTX(ctx)), 0);
        Cell* copy = block::clone(&list, false, false);
        // A shared list's words are bound to the context that made it.
        if (context::TO_CTX(ctx)->header & context::CTX_SHARED_WORDS) {
            Cell* w = block::cells_of(block::buffer_of(copy));
            for (u32 i = 0, n = block::buffer_of(copy)->length(); i < n; i++) w[i].data1 = ctx;
        }
        *fn = *copy;
        stack::pop(1);
        return fn;
    }
    fire("internal", "not-done");
}

i32 form(Cell*, Cell* buffer, Cell*, i32 part) {
    string::concatenate_literal(buffer, "?function?");
    return part - 10;
}

i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    string::concatenate_literal(buffer, "func ");
    Cell spec;
    make_cell(&spec, TYPE_BLOCK, 0, spec_of(fn), 0);
    part = block::mold(&spec, buffer, only, all, flat, arg, part - 5, indent);
    Cell body = *more_cell(fn, MORE_BODY);
    if (TYPE_OF(&body) == TYPE_BLOCK) return block::mold(&body, buffer, only, all, flat, arg, part, indent);
    string::concatenate_literal(buffer, " none");
    return part - 5;
}

i32 call_comparator(Cell* fn, Cell* args) {
    Cell* base = stack::top;
    Cell name;
    word::make_at(words::_anon, &name);
    u32 head = series_head(args);
    // Both values are fetched before the body runs, so a comparator that
    // sorts again (and reuses a scratch block) does not disturb this call.
    user_code::evaluator.apply_values(fn, args, head, 2, &name);
    Cell r = *base;
    stack::top = base;
    switch (TYPE_OF(&r)) {
        case TYPE_LOGIC: return r.data1 ? -1 : 1;
        case TYPE_NONE: return 1;
        case TYPE_INTEGER: {
            i32 n = static_cast<i32>(r.data2);
            return n > 0 ? -1 : n < 0 ? 1 : 0;
        }
        case TYPE_FLOAT: {
            double f = cell_float(&r);
            return f > 0 ? -1 : f < 0 ? 1 : 0;
        }
        default: return -1;
    }
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_OF(value1)) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_SAME: case COMP_FIND: {
            node_t a = more_of(value1), b = more_of(value2);
            return a == b ? 0 : (a < b ? -1 : 1);
        }
        default:
            return -2;
    }
}

void init() {
    datatype::register_type(TYPE_FUNCTION, TYPE_CONTEXT_ID, "function!", {
        own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare),
    });
}

}  // namespace zav::function
