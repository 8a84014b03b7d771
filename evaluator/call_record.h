// Call records: what the lean call needs of a native, action, function or
// routine (its shape, parameter types, refinements and body), decoded once from its
// argument cache and companion block; and the matching of a path's
// refinement items against them.
#pragma once
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter_detail.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

namespace zav::interpreter {

constexpr u32 LEAN_MAX_REFS = 8;
constexpr u32 LEAN_MAX_SLOTS = 64;  // refinement slots of a function described by one mask
constexpr u32 LAID_TEMPLATE = 6;    // slots and locals a record keeps laid out (see CallRecord::laid)

// One expression of a function body decoded (see DecodedBody): a first
// operand, then number operators each with its right operand. Operands are
// literals or words, operators words: only what the cells say is kept, the
// words' values are looked up at every run.
constexpr u32 DECODED_OPS = 4;
struct DecodedExpr {
    u32 ops;
    Cell first;
    Cell op[DECODED_OPS];
    Cell right[DECODED_OPS];
};

// A function body as read_body reads it, decoded once from its cells: one
// simple expression (EXPR), or one `either` or `if` call ending the body
// (CONDITIONAL) whose condition is one and whose branches may be, or a
// guard (GUARD): `if` or `unless` of one, its branch an exit of the function (`exit`,
// or `return` of one: branch[0]), then one (branch[1]), `return` of one or
// a set-word of one, or any other statements (run in the body's frame);
// CALL: one call by word whose arguments are words, get-words or plain
// literals (`pick s 1`, `to integer! :value`), where the word holds a
// function of any kind (`call` marks an EXPR body of that shape too, `word`
// the word); NONE for any other body (read_body then reads it as it always does). Valid while
// the body is the block at `node` and `head` it was read from and the
// buffer epoch is `epoch`: the body and its branches are marked decoded, so
// a write to any of them moves the epoch.
enum class BodyForm : u8 { UNREAD, NONE, EXPR, CONDITIONAL, GUARD, CALL };
// One statement after a guard (see DecodedBody's `statements`): a set-word
// (`sets`) or none, then one expression (EXPR), or a call by word
// (`fn_word`) of `args` simple arguments (CALL), or a further guard:
// `if` or `unless` by `fn_word` of one expression then a block (GUARD, run
// here only where its branch is not taken). Its expressions are the body's
// `exprs` from `first`. How a call's cells split into its arguments was read
// from what the words held when the body was decoded: the run checks the
// callee's arity and each word's kind again (see run_statements).
constexpr u32 DECODED_STATEMENTS = 4;
constexpr u32 DECODED_EXPRS = 8;
enum class StatementKind : u8 { EXPR, CALL, GUARD };
struct DecodedStatement {
    u16 at;   // its first cell, from the body's head
    u16 end;  // the cell after it, from the body's head
    u8 first;
    u8 args;
    bool sets;
    StatementKind kind;
    Cell word;
    Cell fn_word;
};
struct DecodedBody {
    BodyForm form;
    bool library;       // the body's cells are library code
    u8 blocks;          // CONDITIONAL: its branch blocks, at `blocks_at` from the body's head
    u8 blocks_at;
    bool branch_expr[2];  // branch i decoded into branch[i]
    bool branch_odd[2];   // branch i holds an odd count of cells (all a simple one can hold)
    bool branch_call[2];  // branch i led by a word that held a function when decoded
    // branch i a call whose first argument is led by a word that held a
    // function! when decoded: a call read_word_call would decline
    bool branch_nested[2];
    node_t node;
    u32 head;
    u64 epoch;
    Cell word;          // CONDITIONAL, GUARD: the word calling the conditional; `call`: the calling word
    DecodedExpr expr;   // EXPR: the body; CONDITIONAL, GUARD: the condition
    DecodedExpr branch[2];
    // GUARD: the words calling the branch's exit and the last expression's
    // return (`returns[i]`: a return of branch[i]; the branch's exit
    // without one is `exit`).
    Cell exit_word[2];
    bool returns[2];
    // GUARD: the last expression stores branch[1] by `store_word`.
    bool stores;
    Cell store_word;
    u32 rest;  // GUARD: the statements after the guard, from the body's head
    // GUARD: the leading ones of those statements decoded (see
    // DecodedStatement), up to `rest_end` from the body's head; the others
    // run as any block's.
    u8 statements;
    u32 rest_end;
    DecodedStatement statement[DECODED_STATEMENTS];
    DecodedExpr exprs[DECODED_EXPRS];
    bool framed;  // NONE: a block whose cells read_body reads no value from
    bool call;    // EXPR, CALL: the body may be one call by `word` (see CALL)
};

// What a call needs of a native, action or function, copied out of its
// argument cache and companion block once: reaching them through the nodes
// at every call is most of a call's cost. Natives and actions have one
// record per entry index, functions share a small table keyed by their
// companion node. A record is valid while its value's companion node is the
// same and no collection has run since (a collection may free the node and
// a later value get it). Routines share the functions' table.
struct CallRecord {
    node_t more;     // the value's companion block (0: empty)
    u32 cycles;      // collector::cycles when made
    u32 shape;       // call_shape of the argument cache
    node_t cache_node;
    u32 cache_head;
    bool compiled;   // function: a compiled body
    Cell body;       // function: its body
    u64 type_bits[LEAN_MAX_ARGS];  // the plain parameters' types: bit t for type id t
    // function and routine: the cells after the plain arguments that every call
    // starts with, one per refinement (a logic, bit set in slot_logic) and
    // per refinement argument (none).
    u32 slots;
    u64 slot_logic;
    // function: its locals (the /local refinement's logic cell counted),
    // which every call starts false, then nones: a call laid out before its
    // frame opens lays them as slots after the slots (`laid_slots` in all,
    // the bit of the first in slot_logic).
    u32 locals;
    u32 laid_slots;
    // Those cells as a call naming no refinement lays them, where they fit here.
    Cell laid[LAID_TEMPLATE];
    // function: no compiled body and no lit-word parameters (see
    // frameless_function_call), and bit c set for a refinement at cache
    // index c (below 64) taking no arguments.
    bool frameless;
    u64 argless_refs;
    // The refinements, in spec order: their symbols as written and resolved,
    // and their cache indexes. refs_known false: more than fit here, or two
    // that resolve alike (the path items are then matched from the cache).
    bool refs_known;
    // native: `either`, `if` or `unless` whose parameters take every simple value,
    // then blocks (a native made from a spec of its own may not); `switch`
    // whose first takes every simple value, its second a block.
    bool conditional;
    u32 nrefs;
    u32 ref_raw[LEAN_MAX_REFS];
    i32 ref_sym[LEAN_MAX_REFS];
    u32 ref_entry[LEAN_MAX_REFS];
    // function: its body decoded at its first frameless call (read_body).
    mutable DecodedBody decoded;
};
constexpr u32 BUILTIN_RECORDS = 128;
constexpr u32 FUNCTION_RECORDS = 512;  // a power of two: keyed by node bits
extern CallRecord native_records[BUILTIN_RECORDS];
extern CallRecord action_records[BUILTIN_RECORDS];
extern CallRecord function_records[FUNCTION_RECORDS];

[[gnu::always_inline]] inline CallRecord* record_slot(const Cell* fn, u32 type) {
    // One test for both kinds keyed by node: function! and routine! come after native! and action!.
    static_assert(TYPE_NATIVE < TYPE_FUNCTION && TYPE_ACTION < TYPE_FUNCTION && TYPE_FUNCTION < TYPE_ROUTINE);
    if (type > TYPE_ACTION) return &function_records[(function::more_of(fn) >> 4) & (FUNCTION_RECORDS - 1)];
    u32 index = native::entry_of(fn);
    if (index >= BUILTIN_RECORDS) return nullptr;
    return type == TYPE_NATIVE ? &native_records[index] : &action_records[index];
}

// The record of a native, action or function value made anew into `r`
// (call_records.cpp); null when the value has no argument cache yet or its
// shape is not a lean one.
CallRecord* make_record(const Cell* fn, u32 type, CallRecord* r);

// Whether a record found earlier in the call still describes the value
// whose companion node is `more`: code run since (an argument) may have
// collected or taken the record's slot for another value.
[[gnu::always_inline]] inline bool record_current(const CallRecord* r, node_t more) {
    return r->more == more && r->cycles == collector::cycles;
}

[[gnu::always_inline]] inline CallRecord* call_record(const Cell* fn, u32 type) {
    CallRecord* r = record_slot(fn, type);
    if (!r) return nullptr;
    if (r->more && record_current(r, function::more_of(fn))) return r;
    return make_record(fn, type, r);
}



// The cells a call laid out before its frame opens takes above the
// function value: its plain arguments, refinement slots and locals.
[[gnu::always_inline]] inline u32 laid_cells(const CallRecord* rec) {
    return (rec->shape & SHAPE_ARGS_MASK) + rec->laid_slots;
}

// A call's refinement slots and locals laid from `p`, above its plain
// arguments, in one pass: a named refinement's logic true (`named`, as bits
// of cache indexes), the other refinements' and /local's logic false, the
// rest none. Answers the top above them.
[[gnu::always_inline]] inline Cell* lay_slots(const CallRecord* rec, u64 named, Cell* p) {
    const u32 args = rec->shape & SHAPE_ARGS_MASK;
    u64 on = named >> args, logic = rec->slot_logic | on;
    Cell* const end = p + rec->laid_slots;
    for (; p < end; p++, on >>= 1, logic >>= 1) *p = Cell{logic & 1 ? TYPE_LOGIC : TYPE_NONE, u32(on & 1), 0, 0};
    return end;
}
// lay_slots of a call naming no refinement: copied from the record where
// its cells are kept there.
[[gnu::always_inline]] inline Cell* lay_unnamed_slots(const CallRecord* rec, Cell* p) {
    const u32 n = rec->laid_slots;
    if (n > LAID_TEMPLATE) return lay_slots(rec, 0, p);
    for (u32 k = 0; k < n; k++) p[k] = rec->laid[k];
    return p + n;
}

// A function body (`fn`'s, with its call record) read before its frame
// opens, over its arguments laid in place from `a` (slots and locals after
// them): SIMPLE with its value in `out`, CONDITIONAL read into `bc`, REST
// with where its frame starts in `bc`; UNREAD for a body that is no block.
// The body goes to *body. The caller made sure of room for the function's
// frame and CONDITIONAL_ROOM more frames and cells above the top. The body
// is read from the form decoded and kept on the record while nothing
// writes it (see DecodedBody), else from its cells (interpreter.cpp).
BlockShape read_body_decoded(const CallRecord* rec, const Cell* fn, const Cell* a, const Cell* body,
                             BlockConditional* bc, Cell* out);
BlockShape read_body_cells(const Cell* fn, const Cell* a, const Cell* body, BlockConditional* bc, Cell* out);
// Whether a body's decoded form was decoded from `body` as its cells are now.
[[gnu::always_inline]] inline bool decoded_current_q(const DecodedBody& d, const Cell* body) {
    return d.epoch == memory::buffer_epoch && d.form != BodyForm::UNREAD && d.node == series_node(body) &&
           d.head == series_head(body);
}
// Decodes the function's body into its record where its decoded form is
// not current (decoded_current_q); answers that form.
BodyForm decode_record_body(const CallRecord* rec);
// Whether reading the function's body (read_body) changes nothing, whatever
// it answers: its decoded form, decoded now where it is not current, is
// not a guard (whose reading takes the guard's steps when it answers REST).
[[gnu::always_inline]] inline bool quiet_read_q(const CallRecord* rec) {
    const BodyForm form = decoded_current_q(rec->decoded, &rec->body) ? rec->decoded.form : decode_record_body(rec);
    return form != BodyForm::GUARD;
}
// The form tested where the call is laid out: each way of reading saves its
// registers apart.
[[gnu::always_inline]] inline BlockShape read_body(const CallRecord* rec, const Cell* fn, const Cell* a, Cell* body,
                                                   BlockConditional* bc, Cell* out) {
    *body = rec->body;
    // A body of no decoded form stays so until the record is made again:
    // one read_cells reads nothing from runs in its frame at once, which
    // suits any body.
    const DecodedBody& d = rec->decoded;
    if (d.form != BodyForm::NONE) return read_body_decoded(rec, fn, a, body, bc, out);
    return d.framed ? BlockShape::OTHER : read_body_cells(fn, a, body, bc, out);
}

// The refinements a path call names, as cache indexes in path order, and
// whether all of them take no arguments.
struct NamedRefs {
    u32 at[LEAN_MAX_REFS];
    u32 count = 0;
    bool argless = true;
    // The same indexes as bits, where all are below 64 (argless ones are).
    u64 on = 0;
};

// The cache index of the refinement a path item names, or 0 when it names
// none of the callee's (or cannot name one).
[[gnu::always_inline]] inline u32 find_refinement(const CallRecord* rec, const Cell* item) {
    u32 raw = item->data2;
    if (rec->refs_known) {
        // The refinements resolve apart: one written alike is the match.
        for (u32 j = 0; j < rec->nrefs; j++)
            if (rec->ref_raw[j] == raw) return rec->ref_entry[j];
        i32 sym = symbol::resolve(static_cast<i32>(raw));
        for (u32 j = 0; j < rec->nrefs; j++)
            if (rec->ref_sym[j] == sym) return rec->ref_entry[j];
        return 0;
    }
    i32 sym = symbol::resolve(static_cast<i32>(raw));
    auto [entries, n] = cache_entries(rec->cache_node, rec->cache_head);
    for (u32 c = rec->shape & SHAPE_ARGS_MASK; c < n; c++)
        if (TYPE_OF(entries + c) == TYPE_REFINEMENT && symbol::resolve(static_cast<i32>(entries[c].data2)) == sym)
            return c;
    return 0;
}

// Matches the path items from `ref_item` on with the callee's refinements,
// all before anything is evaluated. False when an item is not a word or
// refinement naming one of them, or names one twice: the generic path then
// does the call (and raises what it must).
[[gnu::always_inline]] inline bool match_refinements(const CallRecord* rec, const Cell* path, u32 ref_item,
                                                     NamedRefs* named) {
    if (!(rec->shape & SHAPE_REF_LEAN)) return false;
    SeriesBuffer* pb = block::buffer_of(path);
    const Cell* items = block::cells_of(pb);
    u32 len = cell_count(pb);
    for (u32 k = ref_item; k < len; k++) {
        u32 it = TYPE_OF(items + k);
        if ((it != TYPE_WORD && it != TYPE_REFINEMENT) || named->count == LEAN_MAX_REFS) return false;
        u32 found = find_refinement(rec, items + k);
        if (!found) return false;
        for (u32 u = 0; u < named->count; u++)
            if (named->at[u] == found) return false;
        named->at[named->count++] = found;
        if (found >= 64 || !(rec->argless_refs >> found & 1)) named->argless = false;
        else named->on |= u64{1} << found;
    }
    return true;
}

// The refinements a path names from `ref_item` on, as bits of their cache
// indexes (`*named`), for a call of no refinement arguments: false where an
// item is not a word or refinement naming one of the callee's, names one
// twice, or names one that takes arguments (the lean call then does it).
[[gnu::always_inline]] inline bool match_argless_refinements(const CallRecord* rec, const Cell* path, u32 ref_item,
                                                             u64* named) {
    if (!(rec->shape & SHAPE_REF_LEAN)) return false;
    SeriesBuffer* pb = block::buffer_of(path);
    const Cell* const items = block::cells_of(pb);
    const Cell* const end = items + cell_count(pb);
    u64 bits = 0;
    for (const Cell* item = items + ref_item; item < end; item++) {
        u32 t = TYPE_OF(item);
        if (t != TYPE_WORD && t != TYPE_REFINEMENT) return false;
        u32 found = find_refinement(rec, item);
        u64 bit = found && found < 64 ? u64{1} << found : 0;
        if (!(rec->argless_refs & bit & ~bits)) return false;
        bits |= bit;
    }
    *named = bits;
    return true;
}

}  // namespace zav::interpreter
