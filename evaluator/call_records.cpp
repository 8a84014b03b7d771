// Call records (see call_record.h): made from a value's argument cache.
#include "evaluator/call_record.h"

#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/routine.h"
#include "datatypes/typeset.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/natives.h"
#include "runtime/machine_stack.h"

namespace zav::interpreter {

CallRecord native_records[BUILTIN_RECORDS];
CallRecord action_records[BUILTIN_RECORDS];
CallRecord function_records[FUNCTION_RECORDS];

// The record of a native, action or function value (made from its argument
// cache when missing); null when it has no slot or no cache yet, or its
// shape is not a lean one.
CallRecord* make_record(const Cell* fn, u32 type, CallRecord* r) {
    const Cell* cache = cache_cell(fn);
    if (!cache || TYPE_OF(cache) != TYPE_BLOCK) return nullptr;
    u32 shape = cache->data3;
    if (!(shape & SHAPE_LEAN)) return nullptr;
    node_t cache_node = series_node(cache);
    u32 cache_head = series_head(cache);
    auto [entries, n] = cache_entries(cache_node, cache_head);
    u32 args = shape & SHAPE_ARGS_MASK;
    u32 slots = 0;
    u64 slot_logic = 0;
    if (type == TYPE_FUNCTION || type == TYPE_ROUTINE) {
        // As the generic fetch lays them out: a return after the
        // refinements has no slot.
        for (u32 c = args; c < n; c++) {
            u32 et = TYPE_OF(entries + c);
            bool logic = et == TYPE_REFINEMENT;
            if (!logic && !(et == TYPE_TYPESET && (entries[c].header & FETCH_MASK) != FETCH_RETURN)) continue;
            if (slots == LEAN_MAX_SLOTS) return nullptr;
            if (logic) slot_logic |= u64{1} << slots;
            slots++;
        }
    }
    r->more = function::more_of(fn);
    r->cycles = collector::cycles;
    r->shape = shape;
    r->cache_node = cache_node;
    r->cache_head = cache_head;
    r->slots = slots;
    r->slot_logic = slot_logic;
    static_assert(TYPE_TOTAL_COUNT <= 64);
    for (u32 i = 0; i < args; i++) {
        r->type_bits[i] = 0;
        for (u32 t = 0; t < TYPE_TOTAL_COUNT; t++)
            if (typeset::has(entries + i, t)) r->type_bits[i] |= u64{1} << t;
    }
    r->refs_known = true;
    r->nrefs = 0;
    for (u32 c = args; c < n && r->refs_known; c++) {
        if (TYPE_OF(entries + c) != TYPE_REFINEMENT) continue;
        i32 sym = symbol::resolve(static_cast<i32>(entries[c].data2));
        for (u32 k = 0; k < r->nrefs; k++)
            if (r->ref_sym[k] == sym) r->refs_known = false;
        if (r->nrefs == LEAN_MAX_REFS) r->refs_known = false;
        if (!r->refs_known) break;
        r->ref_raw[r->nrefs] = entries[c].data2;
        r->ref_sym[r->nrefs] = sym;
        r->ref_entry[r->nrefs++] = c;
    }
    r->conditional = false;
    if (type == TYPE_NATIVE) {
        u32 index = native::entry_of(fn);
        u32 blocks = index == natives::N_EITHER ? 2 : conditional_index_q(index) ? 1 : 0;
        bool ok = blocks && args == blocks + 1 && !(shape & (SHAPE_REFS | SHAPE_LIT_MASK)) &&
                  (r->type_bits[0] & HELD_TYPES) == HELD_TYPES;
        for (u32 i = 1; ok && i <= blocks; i++) ok = r->type_bits[i] >> TYPE_BLOCK & 1;
        // `switch`: a value of any type, then its cases, and one refinement
        // (the default) taking a block.
        if (index == natives::N_SWITCH) {
            const u32 d = r->nrefs == 1 ? r->ref_entry[0] : 0;
            ok = args == 2 && !(shape & SHAPE_LIT_MASK) && (r->type_bits[0] & HELD_TYPES) == HELD_TYPES &&
                 (r->type_bits[1] >> TYPE_BLOCK & 1) && r->refs_known && d && d + 1 < n &&
                 TYPE_OF(entries + d + 1) == TYPE_TYPESET && typeset::has(entries + d + 1, TYPE_BLOCK) &&
                 (d + 2 == n || TYPE_OF(entries + d + 2) != TYPE_TYPESET);
        }
        r->conditional = ok;
    }
    r->compiled = false;
    r->decoded.form = BodyForm::UNREAD;
    r->frameless = false;
    r->locals = 0;
    r->argless_refs = 0;
    if (type == TYPE_FUNCTION) {
        const Cell* more = block::cells_of(GET_BUFFER(r->more));
        const Cell* code = more + function::MORE_CODE;
        r->compiled = TYPE_OF(code) == TYPE_INTEGER && code->data2;
        r->body = more[function::MORE_BODY];
        r->frameless = !r->compiled && !(shape & SHAPE_LIT_MASK);
        r->locals = shape >> SHAPE_LOCALS_SHIFT & LEAN_MAX_LOCALS;
        for (u32 c = args; c < n && c < 64; c++)
            if (TYPE_OF(entries + c) == TYPE_REFINEMENT && !(c + 1 < n && TYPE_OF(entries + c + 1) == TYPE_TYPESET))
                r->argless_refs |= u64{1} << c;
    }
    r->laid_slots = slots + r->locals;
    if (r->locals) {
        if (slots >= 64) r->frameless = false;
        else r->slot_logic |= u64{1} << slots;
    }
    for (u32 k = 0; k < r->laid_slots && k < LAID_TEMPLATE; k++)
        r->laid[k] = Cell{r->slot_logic >> k & 1 ? TYPE_LOGIC : TYPE_NONE, 0, 0, 0};
    return r;
}

u64 conditional_seen[3] = {~u64{0}, ~u64{0}, ~u64{0}};

bool conditional_native(const Cell* fn) {
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    if (!rec || !rec->conditional) return false;
    conditional_seen[native::entry_of(fn) - natives::N_IF] = conditional_key(rec->more, rec->cycles);
    return true;
}

FastOp prefix_fast_op(const Cell* fn, const CallRecord** rec_out) {
    const u32 type = TYPE_OF(fn);
    const FastOp kind = fast_op_for(type, native::entry_of(fn));
    if (kind == FAST_NONE) return FAST_NONE;
    // Two plain parameters, as the operator's own native has. The record
    // is read from the argument cache where it is missing, which allocates
    // nothing.
    const CallRecord* rec = call_record(fn, type);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != 2) return FAST_NONE;
    *rec_out = rec;
    return kind;
}

namespace {

// Room for a call's frame and its arguments (or an expression's) above what
// an operator asks, so that the generic path would not overflow here either.
[[gnu::always_inline]] inline bool prefix_call_room_q() {
    char probe;
    return &probe >= machine_stack::limit + 16384 && stack::frame_top + OPERATOR_ROOM + 2 <= stack::frame_end &&
           stack::top + OPERATOR_ROOM + 4 < stack::end;
}

}  // namespace

u32 simple_prefix_call(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    const CallRecord* rec;
    const FastOp kind = prefix_fast_op(fn, &rec);
    if (kind == FAST_NONE) return 0;
    if (!prefix_call_room_q()) return 0;
    const Known inner{Room::CHECK, args, false};
    Cell a, b;
    u32 s;
    u32 next = simple_value(cells, pos + 1, tail, &a, &s, {}, inner);
    if (!next || !(rec->type_bits[0] >> TYPE_OF(&a) & 1)) return 0;
    next = simple_value(cells, next, tail, &b, &s, {}, inner);
    if (!next || !(rec->type_bits[1] >> TYPE_OF(&b) & 1) || !fast_compute(kind, &a, &b)) return 0;
    *out = a;
    return next;
}

namespace {

// The calls of series readers found with an argument that is not simple
// (`pick s random 9`), by the place of their word in the code (with the
// collections run when found, which may move code): the next read there is
// left to the generic path at once rather than read again up to that
// argument. Only a guess: a call found so is merely made the general way.
constexpr u32 REFUSED_READS = 64;
u64 refused_reads[REFUSED_READS];

[[gnu::always_inline]] inline u64& refused_read(u64 key) {
    return refused_reads[(static_cast<u32>(key) * 0x9E3779B1u) >> 26];
}

}  // namespace

u32 simple_series_read(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    const u64 key = conditional_key(off_of(cells + pos), collector::cycles);
    if (refused_read(key) == key) return 0;
    const CallRecord* rec = call_record(fn, TYPE_ACTION);
    if (!rec || (rec->shape & SHAPE_LIT_MASK) || !prefix_call_room_q()) return 0;
    const u32 n = rec->shape & SHAPE_ARGS_MASK;
    if (n == 0 || n > 2) return 0;
    Cell a[2];
    u32 next = pos + 1, s;
    for (u32 i = 0; i < n; i++) {
        next = simple_value(cells, next, tail, a + i, &s, {}, {Room::CHECK, args, false});
        if (!next || !(rec->type_bits[i] >> TYPE_OF(a + i) & 1)) {
            refused_read(key) = key;
            return 0;
        }
    }
    Cell v;
    // A value the call gives that a simple one cannot be (unset, a
    // function) is left to it.
    if (!actions::read_series(native::entry_of(fn), a, &v) || !held_value_q(TYPE_OF(&v))) return 0;
    *out = v;
    return next;
}

u32 simple_test_or_read(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    return series_reader_q(fn) ? simple_series_read(fn, cells, pos, tail, out, args)
                               : simple_number_test(fn, cells, pos, tail, out, args);
}

u32 resume_readers(const Cell* cells, u32 stop, u32 tail, Cell* v) {
    for (;;) {
        const Cell* op;
        const Cell* fn;
        FastOp kind;
        Cell right;
        u32 next;
        if (stop + 1 >= tail || TYPE_OF(cells + stop) != TYPE_WORD || TYPE_OF(cells + stop + 1) != TYPE_WORD ||
            !(op = peek_word(cells + stop)) || TYPE_OF(op) != TYPE_OP || (kind = fast_op_of(op)) == FAST_NONE ||
            !(fn = peek_word(cells + stop + 1)) || !series_reader_q(fn) || !operator_room_q() ||
            !(next = simple_series_read(fn, cells, stop + 1, tail, &right, nullptr)))
            return stop;
        Cell x = *v;
        if (!fast_compute(kind, &x, &right)) return stop;
        *v = x;
        u32 s = 0;
        // The reader's arguments took the operators after it.
        if ((next = infix_simple(cells, next, tail, v, &s, Room::KNOWN))) return next;
        stop = s;
    }
}

u32 simple_number_test(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    // One plain parameter, as the tests' own specs have.
    const u32 type = TYPE_OF(fn);
    const CallRecord* rec = call_record(fn, type);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != 1 || !prefix_call_room_q()) return 0;
    Cell a;
    u32 s;
    const u32 next = simple_value(cells, pos + 1, tail, &a, &s, {}, {Room::CHECK, args, false});
    const u32 t = TYPE_OF(&a);
    if (!next || !(rec->type_bits[0] >> t & 1)) return 0;
    if (type == TYPE_NATIVE && native::entry_of(fn) == natives::N_NOT) {
        // As not_star: true of none and false only.
        make_cell(out, TYPE_LOGIC, t == TYPE_NONE || (t == TYPE_LOGIC && !a.data1) ? 1 : 0);
        return next;
    }
    if (t != TYPE_INTEGER && !(t == TYPE_FLOAT && type == TYPE_NATIVE)) return 0;
    // As the tests make it (see sign_of and zero_q_star).
    const double d = t == TYPE_INTEGER ? integer::get(&a) : cell_float(&a);
    bool r;
    switch (type == TYPE_ACTION ? 0x100 | native::entry_of(fn) : native::entry_of(fn)) {
        case 0x100 | ACT_ODD_Q: r = integer::get(&a) & 1; break;
        case 0x100 | ACT_EVEN_Q: r = !(integer::get(&a) & 1); break;
        case natives::N_ZERO_Q: r = d == 0.0; break;
        case natives::N_POSITIVE_Q: r = d > 0.0; break;
        default: r = d < 0.0; break;
    }
    make_cell(out, TYPE_LOGIC, r ? 1 : 0);
    return next;
}

u32 simple_type_test(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    // Only the library defines routines, a test's spec is `value [any-type!]`:
    // any value simple_value makes passes it.
    const i32 type = routine::type_tested(fn);
    if (type < 0 || !prefix_call_room_q()) return 0;
    Cell a;
    u32 s;
    const u32 next = simple_value(cells, pos + 1, tail, &a, &s, {}, {Room::CHECK, args, false});
    if (!next) return 0;
    make_cell(out, TYPE_LOGIC, TYPE_OF(&a) == static_cast<u32>(type) ? 1 : 0);
    return next;
}

namespace {

// The blocks of `any` and `all` calls found holding an expression that is
// not simple, by their buffer node (with the collections run when found,
// as a call record's key): the next call over one is left to the generic
// path at once rather than read again up to that expression. Only a guess:
// a block found so is merely evaluated the general way.
constexpr u32 REFUSED_BLOCKS = 64;
u64 refused_blocks[REFUSED_BLOCKS];

[[gnu::always_inline]] inline u64& refused_slot(node_t node) {
    return refused_blocks[(node * 0x9E3779B1u) >> 26];
}

// Whether the expression at `c` calls a native or action by word that has
// no record yet (none is made before its first call): it may be simple
// from then on, so its block is not refused for it.
bool unmade_call_q(const Cell* c) {
    const Cell* fn;
    return TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && (TYPE_OF(fn) == TYPE_NATIVE || TYPE_OF(fn) == TYPE_ACTION) &&
           !call_record(fn, TYPE_OF(fn));
}

// The `any` and `all` natives last found with their own spec (one block
// parameter), by their keys as conditional_seen keeps them.
u64 any_all_seen[2] = {~u64{0}, ~u64{0}};

// Whether the `any` or `all` native `fn` takes one block parameter, as the
// natives' own spec has; noted in any_all_seen when it does.
[[gnu::noinline]] bool any_all_spec_q(const Cell* fn) {
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK | SHAPE_REFS)) != 1 ||
        !(rec->type_bits[0] >> TYPE_BLOCK & 1))
        return false;
    any_all_seen[native::entry_of(fn) - natives::N_ANY] = conditional_key(rec->more, rec->cycles);
    return true;
}

// The conditions of an `any` or `all` block (`all`), cells [p, end) of
// `conds`, read as simple_any_all reads them, up to one that decides: 1
// when one did, 0 when none did, the last value in *v; -1 at one that is
// not simple, its position into *at. Fields: the block starts with a path,
// and a condition's path of two words naming the field an earlier one read
// (`all [p/x >= 0 p/x < 10]`) takes it from the slot found, as nothing in
// the conditions changes anything; a block of other conditions is read
// without that bookkeeping.
template <bool Fields>
[[gnu::always_inline]] inline int read_conditions(const Cell* conds, u32 p, u32 end, bool all, const Known& inner,
                                                  Cell* v, u32* at) {
    // Each expression is read only once those before it decided nothing:
    // what the native would not evaluate is not looked at.
    const Cell* field_path = nullptr;
    const Cell* field_slot = nullptr;
    while (p < end) {
        u32 s;
        *at = p;
        const Cell* c = conds + p;
        if (Fields && TYPE_OF(c) == TYPE_PATH) {
            // As simple_value reads a path, and the operators after it.
            const Cell* slot = field_slot;
            if (!field_path || !same_field_path(c, field_path)) {
                node_t ctx;
                field_slot = slot = object_field(c, &ctx);
                field_path = slot && two_word_path_q(c) ? c : nullptr;
            }
            if (!slot || !held_value_q(TYPE_OF(slot))) return -1;
            *v = *slot;
            p = infix_simple(conds, p + 1, end, v, &s, inner.room);
        } else {
            p = simple_value(conds, p, end, v, &s, {}, inner);
        }
        if (!p) return -1;
        if (logic::is_true(v) != all) return 1;
    }
    return 0;
}

}  // namespace

bool any_all_known_q(const Cell* fn) {
    return any_all_seen[native::entry_of(fn) == natives::N_ALL] == conditional_key(native::more_of(fn), collector::cycles) ||
           any_all_spec_q(fn);
}

u32 simple_any_all(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args) {
    if (pos + 1 >= tail || TYPE_OF(cells + pos + 1) != TYPE_BLOCK) return 0;
    const bool all = native::entry_of(fn) == natives::N_ALL;
    if (!any_all_known_q(fn)) return 0;
    const u64 key = conditional_key(series_node(cells + pos + 1), collector::cycles);
    if (refused_slot(series_node(cells + pos + 1)) == key) return 0;
    // An operator after the block would take it as its left operand.
    const u32 next = pos + 2;
    if (operator_follows(cells, next, tail)) return 0;
    // No tracer that a block of other code could wake.
    if (trace.active || !prefix_call_room_q()) return 0;
    const Cell* block = cells + pos + 1;
    const SeriesBuffer* b = block::buffer_of(block);
    const Cell* conds = block::cells_of(b);
    const u32 end = cell_count(b);
    const Known inner{Room::CHECK, args, true};
    Cell v;
    make_cell(&v, TYPE_NONE);
    const u32 head = series_head(block);
    u32 at;
    const int decided = head < end && TYPE_OF(conds + head) == TYPE_PATH
                            ? read_conditions<true>(conds, head, end, all, inner, &v, &at)
                            : read_conditions<false>(conds, head, end, all, inner, &v, &at);
    if (decided < 0) {
        if (!unmade_call_q(conds + at)) refused_slot(series_node(block)) = key;
        return 0;
    }
    // `any` decided by a true value answers it, `all` by a false one none;
    // undecided, `all` answers its last value (none for no expression).
    if (static_cast<bool>(decided) == all) make_cell(&v, TYPE_NONE);
    *out = v;
    return next;
}

}  // namespace zav::interpreter
