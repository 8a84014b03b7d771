// Argument fetching: the argument cache of a function value and the generic
// fetch of a call's arguments and refinements (eval_arguments_at).
#include <cstring>

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "evaluator/actions.h"
#include "evaluator/conditional.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/natives.h"
#include "evaluator/series_fast.h"
#include "runtime/budget.h"
#include "runtime/machine_stack.h"

namespace zav::interpreter {

// The i-th parameter entry of a spec (words, lit-words, get-words,
// refinements and the return: set-word, in order), for error messages.
namespace {

Cell param_word(const Cell* fn, u32 i) {
    Cell out;
    word_of(&out, words::_anon);
    SeriesBuffer* b = GET_BUFFER(native::spec_of(fn));
    Cell* c = reinterpret_cast<Cell*>(b->head());
    u32 k = 0;
    for (u32 n = 0; n < b->length(); n++) {
        u32 t = TYPE_OF(c + n);
        if (t < TYPE_WORD || t > TYPE_REFINEMENT) continue;
        if (k++ == i) {
            out = c[n];
            set_type(&out, TYPE_WORD);
            out.header &= ~FLAG_NEW_LINE;
            return out;
        }
    }
    return out;
}

}  // namespace

// Name of the running call for argument errors.
Cell call_name(const Cell* name) {
    Cell n;
    if (name && TYPE_OF(name) >= TYPE_WORD && TYPE_OF(name) <= TYPE_REFINEMENT) {
        n = *name;
        set_type(&n, TYPE_WORD);
    } else {
        word_of(&n, words::_anon);
    }
    return n;
}

void expect_arg(const Cell* fn, const Cell* name, const Cell* value, u32 param) {
    Cell n = call_name(name), dt, w = param_word(fn, param);
    datatype::make_at(&dt, TYPE_OF(value));
    fire_pending("script", "expect-arg", &n, &dt, &w);
}

void no_arg(const Cell* fn, const Cell* name, u32 param) {
    Cell n = call_name(name), w = param_word(fn, param);
    fire_pending("script", "no-arg", &n, &w);
}

// ---- argument cache -----------------------------------------------------------------

Cell* cache_cell(const Cell* fn) {
    node_t more = native::more_of(fn);
    if (!more) return nullptr;
    SeriesBuffer* b = GET_BUFFER(more);
    if (cell_count(b) < 2) return nullptr;
    return reinterpret_cast<Cell*>(b->head()) + 1;
}

namespace {

// The typeset of a parameter's type block, appended to `blk`. Function specs
// were checked when the function was made; in a built-in's spec a name
// without a datatype or typeset value (a type not built in) adds nothing.
Cell* make_arg_typeset(Cell* blk, Cell* types) {
    Cell ts;
    typeset::make_at(&ts, 0, 0, 0);
    for (u32 i = 0, n = block::zs_length_q(types); i < n; i++) {
        Cell item = *block::zs_abs_at(types, series_head(types) + i);
        if (TYPE_OF(&item) == TYPE_WORD && word_ctx(&item)) {
            Cell* ctx = context::TO_CTX(word_ctx(&item));
            if (word_index(&item) < 0 || !context::values_of(ctx)) continue;
            item = *context::get(&item);
        }
        if (TYPE_OF(&item) == TYPE_DATATYPE || TYPE_OF(&item) == TYPE_TYPESET) typeset::set_bit(&ts, &item);
    }
    return block::zs_append(blk, &ts);
}

u32 call_shape(const Cell* blk, bool builtin) {
    SeriesBuffer* b = block::buffer_of(blk);
    const Cell* e = block::cells_of(b);
    u32 n = cell_count(b);
    u32 args = 0, locals = 0, lit = 0;
    bool lean = true, ref_lean = true, refs = false;
    // A return: entry after the plain parameters has no slot (the generic
    // fetch skips it): they keep their places. The refinements after it
    // would not sit at their cache indexes, which named ones are found by.
    bool returns = false;
    for (u32 i = 0; i < n; i++) {
        u32 t = TYPE_OF(e + i);
        if (t == TYPE_TYPESET) {
            u32 fetch = e[i].header & FETCH_MASK;
            bool eval = fetch == FETCH_EVAL;
            if (refs) {
                ref_lean = ref_lean && eval;
            } else if (fetch == FETCH_RETURN) {
                returns = true;
            } else {
                if (returns || (!eval && fetch != FETCH_LIT) || args == LEAN_MAX_ARGS) lean = false;
                else if (fetch == FETCH_LIT) lit |= 1u << args++;
                else args++;
            }
        } else if (t == TYPE_REFINEMENT) {
            refs = true;
            if (returns) ref_lean = false;
        } else if (t == TYPE_INTEGER && i + 1 == n) {
            if (!builtin) locals = e[i].data2;
        } else {
            lean = false;
        }
    }
    if (!lean || locals > LEAN_MAX_LOCALS) return 0;
    return SHAPE_LEAN | (ref_lean ? SHAPE_REF_LEAN : 0) | (refs ? SHAPE_REFS : 0) | args |
           locals << SHAPE_LOCALS_SHIFT | lit << SHAPE_LIT_SHIFT;
}

}  // namespace

Cell* cache_path_spec(Cell* fn_in, Cell* out) {
    Cell fn = *fn_in;
    Cell* cached = cache_cell(&fn);
    if (cached && TYPE_OF(cached) == TYPE_BLOCK) return copy_cell(cached, out);
    bool builtin = builtin_q(TYPE_OF(&fn));
    collector::GuardedCell blk;
    block::make_at(&blk.value, 8);
    node_t spec = native::spec_of(&fn);
    i32 locals = -1;
    u32 refinements = 0;
    for (u32 i = 0; i < GET_BUFFER(spec)->length(); i++) {
        Cell item = *(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i);
        u32 t = TYPE_OF(&item);
        bool has_types = i + 1 < GET_BUFFER(spec)->length() &&
                         TYPE_OF(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i + 1) == TYPE_BLOCK;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_SET_WORD) {
            u32 mode = FETCH_EVAL;
            if (t == TYPE_LIT_WORD) mode = FETCH_LIT;
            else if (t == TYPE_GET_WORD) mode = FETCH_GET;
            else if (t == TYPE_SET_WORD) {
                if (symbol::resolve(static_cast<i32>(item.data2)) != symbol::resolve(words::return_)) {
                    fire("script", "bad-func-def", &item);
                }
                mode = FETCH_RETURN;
            }
            Cell* ts;
            Cell types;
            if (has_types) types = *(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i + 1);
            if (has_types && block::zs_length_q(&types) > 0) ts = make_arg_typeset(&blk.value, &types);
            else ts = typeset::make_default(&blk.value);
            ts->header = (ts->header & ~FETCH_MASK) | mode;
        } else if (t == TYPE_REFINEMENT) {
            if (symbol::resolve(static_cast<i32>(item.data2)) == symbol::resolve(words::local)) {
                locals = 0;
                for (u32 k = i; k < GET_BUFFER(spec)->length(); k++) {
                    u32 kt = TYPE_OF(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + k);
                    if (kt == TYPE_SET_WORD) break;
                    if (kt == TYPE_REFINEMENT || kt == TYPE_WORD) locals++;
                }
                break;
            }
            Cell r = item;
            r.header &= ~FLAG_NEW_LINE;
            if (builtin) r.data3 = ++refinements;
            block::zs_append(&blk.value, &r);
        }
    }
    Cell n;
    if (locals > 0) block::zs_append(&blk.value, make_cell(&n, TYPE_INTEGER, 0, static_cast<u32>(locals)));
    if (builtin && refinements > 0) block::zs_append(&blk.value, make_cell(&n, TYPE_INTEGER, 0, refinements));
    blk.value.data3 = call_shape(&blk.value, builtin);
    cached = cache_cell(&fn);
    if (cached) {
        *cached = blk.value;
        memory::note_write(GET_BUFFER(native::more_of(&fn)));  // the collector's write mark
    }
    return copy_cell(&blk.value, out);
}

// A lit-word parameter's argument `v` (the cell at `pos` of `code`), pushed:
// a paren evaluated in a frame of its own, a get-word's or get-path's
// value, anything else as it is. Answers whether code ran for it.
bool push_literal_arg(Cell* v, Cell* code, u32 pos, u32 tail) {
    switch (TYPE_OF(v)) {
        case TYPE_PAREN: {
            Cell bw = body_word();
            stack::mark_kind82(&bw);
            evaluate(v, true);
            if (exiting()) [[unlikely]] return true;
            stack::unwind();
            return true;
        }
        case TYPE_GET_WORD:
            stack::push(context::get(v));
            return false;
        case TYPE_GET_PATH:
            eval_path_at(v, code, pos, tail, PathAccess::GET, true);
            return true;
        default:
            stack::push(v);
            return false;
    }
}

namespace {

// ---- argument fetching ------------------------------------------------------------

// Fetches one argument at `pos` (pushed as a new stack value).
u32 fetch_arg(const Cell* fn, const Cell* name, const Cell* ts, u32 param, Cell* code, u32 pos, u32 tail,
              bool infix, i32 mode) {
    u32 fetch = ts->header & FETCH_MASK;
    tail = clamp_tail(code, tail);  // an earlier argument may have shortened the code
    if (pos >= tail) {
        if (fetch == FETCH_LIT && typeset::has(ts, TYPE_UNSET)) {
            make_cell(stack::push_star(), TYPE_UNSET);
            return pos;
        }
        if (mode & (MODE_APPLY_ALL | MODE_APPLY)) {
            make_cell(stack::push_star(), TYPE_NONE);
            return pos;
        }
        no_arg(fn, name, param);
        return pos;
    }
    if (mode & (MODE_APPLY_ALL | MODE_APPLY)) {
        // apply's argument block holds the values themselves.
        if (mode & MODE_SAFER) {
            stack::push(code_at(code, pos));
            return pos + 1;
        }
    }
    Cell v = *code_at(code, pos);
    switch (fetch) {
        case FETCH_GET:
            if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &v);
            stack::push(&v);
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &v);
            return pos + 1;
        case FETCH_LIT:
            push_literal_arg(&v, code, pos, tail);
            return pos + 1;
        default:
            return eval_expression(code, pos, (mode & MODE_SAFER) ? pos + 1 : tail, {.prefix = infix, .sub = true});
    }
}

// False, the error raised pending, for a value not of the parameter's types.
bool check_type(const Cell* fn, const Cell* name, const Cell* ts, const Cell* value, u32 param) {
    if (typeset::has(ts, TYPE_OF(value))) return true;
    expect_arg(fn, name, value, param);
    return false;
}

// A path item used as a refinement: its symbol, or -1 when it cannot be one.
i32 refinement_symbol(const Cell* item, i32 mode) {
    u32 t = TYPE_OF(item);
    if (mode == MODE_APPLY) return t == TYPE_REFINEMENT ? symbol::resolve(static_cast<i32>(item->data2)) : -1;
    if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT)
        return symbol::resolve(static_cast<i32>(item->data2));
    return -1;
}

}  // namespace

// The arguments of a call: the plain parameters in spec order, then each
// refinement named by the path (or the apply block) with its arguments.
u32 eval_arguments_at(Cell* fn_in, Cell* code, u32 pos, u32 tail, Cell* path, u32 ref_item, Cell* name, i32 mode,
                      bool infix, const Cell* site) {
    Cell fn = *fn_in;
    u32 type = TYPE_OF(&fn);
    bool builtin = builtin_q(type);
    Cell cache;
    cache_path_spec(&fn, &cache);
    collector::Guard cache_hold(&cache);
    // Entries are read through the node each time: fetching may move the buffer.
    const node_t cache_node = series_node(&cache);
    const u32 cache_head = series_head(&cache);
    const u32 n = cache_entries(cache_node, cache_head).count;
    auto entry = [&](u32 i) { return block::cells_of(GET_BUFFER(cache_node))[cache_head + i]; };

    i32 refs[32];  // set for the refinements found below

    // Plain parameters.
    u32 i = 0;
    u32 param = 0;  // position among the spec's parameter words (for errors)
    bool first = true;
    for (; i < n; i++, param++) {
        Cell e = entry(i);
        if (TYPE_OF(&e) != TYPE_TYPESET) break;
        if ((e.header & FETCH_MASK) == FETCH_RETURN) {
            first = false;
            continue;
        }
        if (infix && first) {
            stack::top = stack::arguments + 1;  // the left operand is already in place
        } else {
            pos = fetch_arg(&fn, name, &e, param, code, pos, tail, infix && !first, mode);
            if (exiting()) [[unlikely]] return pos;
        }
        first = false;
        if (!check_type(&fn, name, &e, stack::top - 1, param)) [[unlikely]] return pos;
    }

    // Refinements: for function! and routine! every refinement has its logic
    // cell and argument slots, in spec order, filled as the call names them.
    struct Ref {
        i32 symbol;
        u32 cache_index;  // index of the refinement entry
        u32 param;        // its position among the parameter words
        i32 slot;         // function!: cell index of its logic; builtin: refinement number - 1
        bool used;
    };
    Ref table[32];
    u32 nrefs = 0;
    i32 locals = 0;
    for (u32 k = i, p = param; k < n; k++, p++) {
        Cell e = entry(k);
        if (TYPE_OF(&e) == TYPE_REFINEMENT) {
            if (nrefs < 32) {
                i32 slot = builtin ? static_cast<i32>(e.data3) - 1 : static_cast<i32>(stack::top - stack::arguments);
                table[nrefs++] = Ref{symbol::resolve(static_cast<i32>(e.data2)), k, p, slot, false};
            }
            if (!builtin) make_cell(stack::push_star(), TYPE_LOGIC, 0);
        } else if (TYPE_OF(&e) == TYPE_TYPESET) {
            // A return: after the refinements has no slot.
            if (!builtin && (e.header & FETCH_MASK) != FETCH_RETURN) make_cell(stack::push_star(), TYPE_NONE);
        } else if (TYPE_OF(&e) == TYPE_INTEGER && !builtin) {
            locals = static_cast<i32>(e.data2);
        }
    }

    // Only the slots of the refinements there are (a few more when there are none).
    if (builtin)
        for (u32 k = 0, m = nrefs ? 32 : 4; k < m; k++) refs[k] = -1;

    auto use = [&](Ref& r, bool fetch_values) {
        if (r.used) {
            Cell w;
            word_of(&w, r.symbol);
            set_type(&w, TYPE_REFINEMENT);
            fire("script", "dup-refine", &w);
        }
        r.used = true;
        if (builtin) {
            if (r.slot >= 0 && r.slot < 32) refs[r.slot] = static_cast<i32>(stack::top - stack::arguments);
        } else {
            make_cell(stack::arguments + r.slot, TYPE_LOGIC, 1);
        }
        u32 p = r.param + 1;
        i32 offset = 1;
        for (u32 k = r.cache_index + 1; k < n; k++, p++, offset++) {
            Cell e = entry(k);
            if (TYPE_OF(&e) != TYPE_TYPESET || (e.header & FETCH_MASK) == FETCH_RETURN) break;
            if (fetch_values) {
                pos = fetch_arg(&fn, name, &e, p, code, pos, tail, false, mode);
                if (exiting()) [[unlikely]] return;
            } else {
                make_cell(stack::push_star(), TYPE_NONE);
            }
            if (!check_type(&fn, name, &e, stack::top - 1, p)) [[unlikely]] return;
            if (!builtin) {
                stack::arguments[r.slot + offset] = stack::top[-1];
                stack::top--;
            }
        }
    };
    auto find_ref = [&](i32 sym) -> Ref* {
        for (u32 k = 0; k < nrefs; k++)
            if (table[k].symbol == sym) return &table[k];
        return nullptr;
    };

    // apply: the value deciding whether a refinement is used; evaluated as
    // one expression like the arguments, unless /safer takes it as it is.
    auto switch_value = [&]() -> bool {
        Cell v = *code_at(code, pos);
        if (!(mode & MODE_SAFER) && TYPE_OF(&v) != TYPE_LOGIC && TYPE_OF(&v) != TYPE_NONE) {
            Cell* base = stack::top;
            pos = eval_expression(code, pos, tail, {.prefix = true, .sub = true});
            if (exiting()) [[unlikely]] return false;
            v = *base;
            stack::top = base;
        } else {
            pos++;
        }
        return !(TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && !v.data1));
    };

    if (path) {
        u32 len = block::buffer_of(path)->length();
        for (u32 k = ref_item; k < len; k++) {
            Cell item = *code_at(path, k);
            bool on = true;
            if (TYPE_OF(&item) == TYPE_GET_WORD) {
                // A get-word names the refinement by the word it holds, or
                // holds a logic (or none) that decides whether the
                // refinement of its own name is used.
                Cell v = *context::get(&item);
                if (TYPE_OF(&v) >= TYPE_WORD && TYPE_OF(&v) <= TYPE_REFINEMENT) item = v;
                else if (TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && !v.data1)) on = false;
            }
            i32 sym = refinement_symbol(&item, 0);
            if (sym < 0) fire("script", "bad-refine", &item);
            Ref* r = find_ref(sym);
            if (!r) {
                Cell nm = call_name(name);
                fire("script", "no-refine", &nm, &item);
            }
            if (on) {
                use(*r, true);
                if (exiting()) [[unlikely]] return pos;
                continue;
            }
            // Unused: its arguments are still evaluated, then dropped.
            r->used = true;
            u32 p = r->param + 1;
            for (u32 c = r->cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++, p++) {
                Cell e = entry(c);
                Cell* base = stack::top;
                pos = fetch_arg(&fn, name, &e, p, code, pos, tail, false, mode);
                if (exiting()) [[unlikely]] return pos;
                stack::top = base;
            }
        }
    } else if (mode & MODE_APPLY_ALL) {
        // /all: every refinement is a value of the block, its truth deciding its use.
        for (u32 k = 0; k < nrefs; k++) {
            bool on = false;
            if (pos < clamp_tail(code, tail)) on = switch_value();
            if (exiting()) [[unlikely]] return pos;
            if (on) {
                use(table[k], true);
                if (exiting()) [[unlikely]] return pos;
            } else {
                // The arguments of an unused refinement are still in the block.
                for (u32 c = table[k].cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++)
                    if (pos < clamp_tail(code, tail)) pos++;
            }
        }
    } else if (mode & MODE_APPLY) {
        while (pos < clamp_tail(code, tail)) {
            Cell item = *code_at(code, pos);
            i32 sym = refinement_symbol(&item, MODE_APPLY);
            if (sym < 0) fire("script", "bad-refine", &item);
            Ref* r = find_ref(sym);
            if (!r) {
                Cell nm = call_name(name);
                fire("script", "no-refine", &nm, &item);
            }
            pos++;
            bool on = true;
            if (pos < clamp_tail(code, tail)) on = switch_value();
            if (exiting()) [[unlikely]] return pos;
            if (on) {
                use(*r, true);
                if (exiting()) [[unlikely]] return pos;
            } else {
                for (u32 c = r->cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++)
                    if (pos < clamp_tail(code, tail)) pos++;
            }
        }
    }

    if (locals > 0) function::init_locals(locals);
    if (site && enabled()) {
        // An operator is heard as the op! it is, not the function it wraps.
        Cell callee = fn;
        if (infix) set_type(&callee, TYPE_OP);
        fire_event(EVT_CALL, code, static_cast<i32>(pos), site, &callee);
    }

    if (builtin) {
        u32 index = native::entry_of(&fn);
        // Number arithmetic and comparisons in place of the generic entry
        // (their arguments are checked already; the result is the same).
        Cell* a = stack::arguments;
        if (stack::top - a == 2 && number_q(a) && number_q(a + 1) && fast_paths_on()) {
            FastOp kind = fast_op_for(type, index);
            if (kind != FAST_NONE && fast_compute(kind, a, a + 1)) return pos;
        }
        if (type != TYPE_NATIVE && type != TYPE_ACTION) rt::quit(rt::RT_ERR_NO_CASE, rt::code_address());
        call_builtin(type, index, refs);
    }
    return pos;
}

}  // namespace zav::interpreter
