// The interpreter's fast paths: number operators done in place, and the
// expressions that cannot fail, call anything or allocate (a plain value, a
// word holding one, number operators after it, a set-word storing one),
// done without a call frame. Only the fast tier uses them.
#pragma once
#include "datatypes/context.h"
#include "datatypes/native.h"
#include "datatypes/op.h"
#include "evaluator/actions.h"
#include "evaluator/fastpath.h"
#include "evaluator/interpreter_detail.h"
#include "evaluator/natives.h"
#include "evaluator/series_fast.h"
#include "runtime/budget.h"
#include "runtime/machine_stack.h"

namespace zav::interpreter {


// Applies the operator at `pos` to the value just produced (at `start`);
// answers the next position, or `pos` itself when no operator follows.
// Number operators done in place: the op wraps one of these actions or
// comparison natives and both operands are numbers (see fast_infix and
// actions::fast_compute).
using actions::FastOp;
using actions::fast_compute;
using actions::number_q;
using enum actions::FastOp;

// Looked up on every operator: tables by entry index rather than switches.
struct FastOpTables {
    signed char action[64];
    signed char native[64];
    constexpr FastOpTables() : action{}, native{} {
        for (auto& k : action) k = FAST_NONE;
        for (auto& k : native) k = FAST_NONE;
        action[ACT_ADD] = FAST_ADD;
        action[ACT_SUBTRACT] = FAST_SUB;
        action[ACT_MULTIPLY] = FAST_MUL;
        action[ACT_DIVIDE] = FAST_DIV;
        action[ACT_REMAINDER] = FAST_REM;
        native[natives::N_EQUAL_Q] = FAST_EQ;
        native[natives::N_NOT_EQUAL_Q] = FAST_NE;
        native[natives::N_STRICT_EQUAL_Q] = FAST_STRICT_EQ;
        native[natives::N_LESSER_Q] = FAST_LT;
        native[natives::N_GREATER_Q] = FAST_GT;
        native[natives::N_LESSER_OR_EQUAL_Q] = FAST_LE;
        native[natives::N_GREATER_OR_EQUAL_Q] = FAST_GE;
    }
};
inline constexpr FastOpTables fast_op_tables;

[[gnu::always_inline]] inline FastOp fast_op_for(u32 type, u32 index) {
    if (index >= 64) return FAST_NONE;
    if (type == TYPE_ACTION) return static_cast<FastOp>(fast_op_tables.action[index]);
    if (type == TYPE_NATIVE) return static_cast<FastOp>(fast_op_tables.native[index]);
    return FAST_NONE;
}

// The value slot of a word in the cases word_value does inline, else null
// (the caller then takes the generic path, which raises what it must).
[[gnu::always_inline]] inline const Cell* peek_word(const Cell* w) { return context::peek_slot(w); }

// The function a path calls: its first item a word holding a function
// value (Plain: a function! only). `w` gets the word, `fn` its value,
// `head` the item's index.
template <bool Plain = false>
[[gnu::always_inline]] inline bool path_function(const Cell* path, Cell* w, Cell* fn, u32* head) {
    SeriesBuffer* pb = block::buffer_of(path);
    *head = series_head(path);
    if (*head >= cell_count(pb)) return false;
    const Cell* first = block::cells_of(pb) + *head;
    if (TYPE_OF(first) != TYPE_WORD) return false;
    const Cell* v = peek_word(first);
    if (!v || !(Plain ? TYPE_OF(v) == TYPE_FUNCTION : function_type_q(TYPE_OF(v)))) return false;
    *w = *first;
    *fn = *v;
    return true;
}

[[gnu::always_inline]] inline FastOp fast_op_of(const Cell* op) { return fast_op_for(op::wrapped_type(op), native::entry_of(op)); }

// The frames and value cells that the generic evaluation of a simple
// expression's operators could open and push above the current tops: those
// of the code around it (a set-word's frame, a paren's two), an operator's,
// a paren operand's two and the operator inside it, with their operands.
// Operators are done in place only where all of them could be opened, so
// that recursion bounded by either stack ends at the same depth whichever
// evaluator runs it; nearer the end the generic path runs, and raises the
// overflow where the reference evaluator does.
inline constexpr u32 OPERATOR_ROOM = 8;
[[gnu::always_inline]] inline bool operator_room_q() {
    return stack::frame_top + OPERATOR_ROOM <= stack::frame_end && stack::top + OPERATOR_ROOM < stack::end;
}

// Whether a reader of simple code checks the room its operators need
// (operator_room_q) itself, or its caller made sure of more room already
// (a call read before its frames open asks for CONDITIONAL_ROOM).
enum class Room : bool { CHECK, KNOWN };

// What a reader of simple code knows from its caller: whether room was made
// sure of, and the arguments of the call whose body it reads (null: none),
// whose words' slots it finds without looking at their context.
struct Known {
    Room room = Room::CHECK;
    const BodyArgs* args = nullptr;
    // Whether a call by word of a number operator's own native or action
    // is taken (see simple_prefix_call); not inside such a call's arguments.
    bool calls = true;
    // Where given: learns the value of the expression's first word when
    // that is a function value of any kind (function!, routine!, native!,
    // action!; the expression is then no simple one unless a native's call
    // is taken), for a caller that makes the call next without looking the
    // word up again.
    Cell* called = nullptr;
};

// The slot of a word as peek_word finds it; a word of the arguments the
// body is read over (see BodyArgs) found at once: its context's values
// point at them while the body is read.
[[gnu::always_inline]] inline const Cell* peek_known(const Cell* w, const BodyArgs* args) {
    if (args && w->data1 == args->ctx && static_cast<i32>(w->data3) >= 0) return args->values + w->data3;
    return context::peek_slot(w);
}

// The value of a paren holding one simple expression, as its frames would
// leave it, into *out; false, having done nothing, for any other paren and a
// paren inside one (no nesting on this path). The caller checked
// operator_room_q. Out of line: parens are rarer operands than words.
bool paren_operand(const Cell* paren, Cell* out);

// The slot of the field of an object that a path of words names
// (`obj/field`, `obj/part/field`: the first word holding an object!, each
// later word a field of the object before it, every field but the last
// holding an object), as the objects' eval-path action finds it; the
// last object's context node into *ctx. Null for any other path: the
// generic path then evaluates it, and raises what it must. Reading it
// cannot fail, call anything or allocate.
Cell* object_field(const Cell* path, node_t* ctx);
// A function reached through objects by a path (`obj/method`,
// `obj/part/method/refinement`) from its head word (`item`, the path's
// cells `items` up to `last`), as the objects' eval-path action reaches
// it: `v` the head word's value (null where peek_word found none: `self`
// in a method names its object). The item naming it into *w, its value
// into *fn and the index of the item after it (its first refinement) into
// *ref_item. False for any other path.
bool object_method(const Cell* items, const Cell* item, const Cell* last, const Cell* v, Cell* w, Cell* fn,
                   u32* ref_item);
// The function a path calls: one its head word holds (see path_function),
// or one reached through objects (object_method), the path's buffer read
// and its head looked up once for either. False for any other path, which
// the generic path then evaluates (and raises what it must).
[[gnu::always_inline]] inline bool path_callee(const Cell* path, Cell* w, Cell* fn, u32* ref_item) {
    SeriesBuffer* pb = block::buffer_of(path);
    const u32 head = series_head(path);
    const u32 count = cell_count(pb);
    if (head >= count) return false;
    const Cell* const items = block::cells_of(pb);
    const Cell* const first = items + head;
    if (TYPE_OF(first) != TYPE_WORD) return false;
    const Cell* v = peek_word(first);
    if (v && function_type_q(TYPE_OF(v))) {
        *w = *first;
        *fn = *v;
        *ref_item = head + 1;
        return true;
    }
    return count > head + 1 && object_method(items, first, items + count - 1, v, w, fn, ref_item);
}
// Stores a value (not unset) into such a field of an object without a
// change handler, as its eval-path action stores it (marking the field
// changed); false, having done nothing, for any other path or object.
bool store_object_field(const Cell* path, const Cell* value);
// A set-path of an object's field (`path`, at `pos` of `cells`) whose
// value is a simple value (see simple_value), stored as
// store_object_field stores it: the position after the value, which is
// left in *out; 0, having stored nothing, for any other (or without room
// for the frame the store would otherwise take).
u32 frameless_set_path(const Cell* path, const Cell* cells, u32 pos, u32 tail, Cell* out);

// Stores a value (not unset) under a word bound to a field of an object
// without a change handler, as set() stores it (marking the field
// changed); false, having done nothing, for any other word or object.
bool store_object_word(const Cell* w, const Cell* value);

// The value of an operator's right operand in which nothing can fail, call
// anything or allocate: a literal, a word holding a value, an object's
// field (see object_field), or a paren as paren_operand takes it (its
// value in *inner); null for any other operand. What is not a number
// fast_compute declines.
[[gnu::always_inline]] inline const Cell* simple_operand(const Cell* c, Cell* inner) {
    u32 t = TYPE_OF(c);
    if (t == TYPE_WORD) return peek_word(c);
    if (t == TYPE_PAREN) return paren_operand(c, inner) ? inner : nullptr;
    if (t == TYPE_PATH) {
        node_t ctx;
        return object_field(c, &ctx);
    }
    return c;
}

// An operator between two numbers whose right operand is a simple one (see
// simple_operand): nothing in the call can fail or be seen (no tracing), so
// it runs without its call frame and argument fetch. The result is what the
// action or native leaves: arithmetic rewrites the left cell, a comparison
// makes a logic!. Answers false (and changes nothing) for every other case,
// including an integer zero divisor and a float equality, which the generic
// call then raises or compares. `operand`: the right operand's cell (null:
// none), `word_value` its value when it is a word (null: none or unbound).
inline bool fast_infix(const Cell* op, Cell* start, const Cell* operand, const Cell* word_value, bool sub) {
    if (!fast_paths_on() || !operand || !number_q(start)) return false;
    FastOp kind = fast_op_of(op);
    if (kind == FAST_NONE) return false;
    Cell inner;
    const Cell* right = TYPE_OF(operand) == TYPE_WORD ? word_value : simple_operand(operand, &inner);
    // The room asked only of an operand that can be done here: not of a call.
    if (!right || !number_q(right) || !operator_room_q() || !fast_compute(kind, start, right)) return false;
    stack::top = start + 1;
    if (!sub) *stack::arguments = *start;
    return true;
}

// Values that evaluate to themselves, in code and as the value of a word.
inline constexpr u64 PLAIN_TYPES = 1ull << TYPE_NONE | 1ull << TYPE_LOGIC | 1ull << TYPE_BLOCK | 1ull << TYPE_STRING |
                            1ull << TYPE_FILE | 1ull << TYPE_URL | 1ull << TYPE_CHAR | 1ull << TYPE_INTEGER |
                            1ull << TYPE_FLOAT | 1ull << TYPE_BITSET | 1ull << TYPE_PAIR | 1ull << TYPE_PERCENT |
                            1ull << TYPE_TUPLE | 1ull << TYPE_BINARY | 1ull << TYPE_TIME | 1ull << TYPE_TAG |
                            1ull << TYPE_EMAIL | 1ull << TYPE_DATE | 1ull << TYPE_MONEY;
static_assert(TYPE_MONEY < 64 && TYPE_EMAIL < 64 && TYPE_DATE < 64 && TYPE_TAG < 64);
[[gnu::always_inline]] inline bool plain_value_q(u32 t) { return t < 64 && (PLAIN_TYPES >> t & 1); }

// Values that a word, or an object's field read through a path, gives as
// they are: every value but unset (an error), the functions and operators
// (called) and the internal ids. Wider than PLAIN_TYPES, which also says
// what a cell of code gives as it is (a word, path or paren there does not).
// Only the ids of datatypes that exist: a conditional's record asks its
// condition's typeset for every one of them (see make_record).
inline constexpr u64 HELD_TYPES = ((1ull << (TYPE_EVENT + 1)) - 1) &
                                  ~(1ull << TYPE_NONE_ID | 1ull << TYPE_UNSET | 1ull << TYPE_SYMBOL_ID |
                                    1ull << TYPE_CONTEXT_ID | 1ull << TYPE_NATIVE | 1ull << TYPE_ACTION |
                                    1ull << TYPE_OP | 1ull << TYPE_FUNCTION | 1ull << TYPE_ROUTINE |
                                    1ull << TYPE_TRIPLE_ID | 1ull << TYPE_SERIES_ID);
static_assert((HELD_TYPES & PLAIN_TYPES) == PLAIN_TYPES && TYPE_TOTAL_COUNT < 64);
[[gnu::always_inline]] inline bool held_value_q(u32 t) { return t < 64 && (HELD_TYPES >> t & 1); }

// The number operators after a plain value `v` (at `next` - 1 in `cells`)
// that fast_compute does, each right operand a simple one (simple_operand),
// applied to `v` in place where operator_room_q allows; nothing here can
// fail, call anything or allocate, and the code cannot move. Answers the
// position after the last one; or 0 when an operator follows that it cannot do: `v`
// then holds the value up to there and *stop the operator's position.
// Inline: the call and its saved registers cost more than the work of an
// operator or two.
[[gnu::always_inline]] inline u32 infix_simple(const Cell* cells, u32 next, u32 tail, Cell* v, u32* stop,
                                               Room room = Room::CHECK) {
    const Cell* w = cells + next;
    const Cell* end = cells + tail;
    // Quickly out when no operator can follow.
    if (w >= end || TYPE_OF(w) != TYPE_WORD) return next;
    if (room == Room::CHECK && !operator_room_q()) {
        *stop = next;
        return 0;
    }
    for (; w < end; w += 2) {
        if (TYPE_OF(w) != TYPE_WORD) break;
        const Cell* op = peek_word(w);
        if (op && TYPE_OF(op) != TYPE_OP) break;
        FastOp kind;
        const Cell* right = w + 1;
        Cell inner;
        if (!op || right >= end || (kind = fast_op_of(op)) == FAST_NONE ||
            !(right = simple_operand(right, &inner)) || !fast_compute(kind, v, right)) {
            *stop = static_cast<u32>(w - cells);
            return 0;
        }
    }
    return static_cast<u32>(w - cells);
}

// A value slot known already: the set-word's of the expression (a word of
// the same binding has the same slot), or the field a set-path or path of
// two words names (a path of the same head word and field name reads it).
struct KnownSlot {
    const Cell* word = nullptr;
    Cell* slot = nullptr;
    const Cell* path = nullptr;
};

// Whether a path is of two items.
[[gnu::always_inline]] inline bool two_word_path_q(const Cell* path) {
    return cell_count(block::buffer_of(path)) == series_head(path) + 2;
}

// Whether `path` names the field the path `known` names (both of two
// words, see KnownSlot): its head word bound as the known path's, its field
// spelt as the known path's.
[[gnu::always_inline]] inline bool same_field_path(const Cell* path, const Cell* known) {
    if (!two_word_path_q(path)) return false;
    const Cell* a = block::cells_of(block::buffer_of(path)) + series_head(path);
    const Cell* b = block::cells_of(block::buffer_of(known)) + series_head(known);
    return TYPE_OF(a) == TYPE_WORD && a->data1 == b->data1 && a->data3 == b->data3 && TYPE_OF(a + 1) == TYPE_WORD &&
           a[1].data2 == b[1].data2;
}

struct CallRecord;
// The number operator a native or action (`fn`, of a builtin type) is the
// entry of, where it takes two plain parameters (its call record into
// *rec); FAST_NONE otherwise.
FastOp prefix_fast_op(const Cell* fn, const CallRecord** rec);

// A call by word of the native or action behind a number operator (`add`,
// `lesser?` ...; `fn` the word's value, at `pos`) whose two arguments are
// simple values without calls in them: done as its operator is done in
// place, with the room checked for the frame the call would open. Its value
// goes to `out`; answers the position after it, or 0 for any other call,
// which the generic path then makes. `args` as for Known. Out of line, with
// few parameters: most words hold no such native, and the recursive calls
// around it keep their machine frames small.
u32 simple_prefix_call(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);

// Whether an operator (or a word that may be one) is at `next` of `cells`:
// it would take the value before it as its left operand.
[[gnu::always_inline]] inline bool operator_follows(const Cell* cells, u32 next, u32 tail) {
    if (next >= tail || TYPE_OF(cells + next) != TYPE_WORD) return false;
    const Cell* after = peek_word(cells + next);
    return !after || TYPE_OF(after) == TYPE_OP;
}

// Whether a builtin (`fn`) tests one number: the `odd?` and `even?`
// actions, the `zero?`, `positive?` and `negative?` natives.
[[gnu::always_inline]] inline bool number_test_q(const Cell* fn) {
    const u32 e = native::entry_of(fn);
    if (TYPE_OF(fn) == TYPE_ACTION) return e == ACT_ODD_Q || e == ACT_EVEN_Q;
    return e == natives::N_ZERO_Q || e == natives::N_POSITIVE_Q || e == natives::N_NEGATIVE_Q || e == natives::N_NOT;
}
// A call by word of such a test (`fn`, at `pos`) whose argument is a simple
// value without calls in it, an integer! (or for `zero?`, `positive?` and
// `negative?` a float! too; for `not` any value): its logic! value, as the
// test makes it, into
// `out`, with the room checked for the frame the call would open. Answers
// the position after it, or 0 for any other call, which the generic path
// then makes. `args` as for Known. Out of line, as simple_prefix_call.
u32 simple_number_test(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);
// A call by word of a routine! (`fn`, at `pos`) that tests its argument's
// datatype (`string?`, `error?` ...; see routine::type_tested), the argument
// a simple value without calls in it: its logic! value into `out`, with the
// room checked for the frame the call would open. Answers the position
// after it, or 0 for any other routine or argument, which the generic path
// then calls. `args` as for Known. Out of line, as simple_prefix_call.
u32 simple_type_test(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);

// Whether a builtin (`fn`) is a series reader (series_reader_slot_q).
[[gnu::always_inline]] inline bool series_reader_q(const Cell* fn) {
    return TYPE_OF(fn) == TYPE_ACTION && actions::series_reader_slot_q(native::entry_of(fn));
}
// A call by word of such a reader (`fn`, at `pos`) whose arguments are
// simple values without calls in them, of its parameters' types, and
// which read_series reads: the value it gives into `out`, with the room
// checked for the frame the call would open (nothing in it can fail or be
// seen). Answers the position after it, or 0 for any other call, which
// the generic path then makes. `args` as for Known. Out of line, as
// simple_prefix_call.
u32 simple_series_read(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);

// The operators from `stop` (where infix_simple stopped) after the value
// `v` whose right operands are series readers' calls (`i < length? s`),
// each made as simple_series_read makes it, and infix_simple's after them:
// answers where those stop (the tail, or an operator neither does), `v`
// the value up to there. Out of line: infix_simple's callers, inline, stay
// as small as they were.
u32 resume_readers(const Cell* cells, u32 stop, u32 tail, Cell* v);

// simple_number_test or simple_series_read, as `fn` is a number test or a reader.
u32 simple_test_or_read(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);

// Whether a builtin (`fn`) is the `any` or `all` native.
[[gnu::always_inline]] inline bool any_all_native_q(const Cell* fn) {
    static_assert(natives::N_ALL == natives::N_ANY + 1);
    return TYPE_OF(fn) == TYPE_NATIVE && native::entry_of(fn) - natives::N_ANY <= 1;
}
// A call by word of `any` or `all` (`fn`, at `pos`) over a literal block
// whose expressions, as far as the call reads them, are simple values (see
// simple_value): its value, as the native leaves it, into `out`, without its
// frame and those of its expressions (nothing in them can fail or be seen).
// Answers the position after it, or 0 for any other call, which the generic
// path then makes. `args` as for Known. Out of line, as simple_prefix_call.
u32 simple_any_all(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, const BodyArgs* args);
// Whether the `any` or `all` native `fn` takes one block, as its own spec
// has (see simple_any_all).
bool any_all_known_q(const Cell* fn);

// One expression in a code block's `cells` from `pos` that cannot fail, call
// anything or allocate: a plain value or a word holding one, then any number
// operators fast_compute does; or a call simple_prefix_call takes. The
// value goes to `out`; answers the next position, or 0 for any other
// expression (nothing has been changed then). `tail` is within the live
// tail. `stop`, when given, learns how far a failed attempt got: the value of
// the expression up to there goes to `out` and the position of the
// operator it could not do to *stop (0 when no value was made), so that
// resume_simple goes on from there rather than evaluating it again.
[[gnu::always_inline]] inline u32 simple_value(const Cell* cells, u32 pos, u32 tail, Cell* out, u32* stop,
                                               KnownSlot known = {}, Known k = {}) {
    if (pos >= tail) return 0;
    const Cell* c = cells + pos;
    if (TYPE_OF(c) == TYPE_WORD) {
        if (known.word && known.slot && c->data1 == known.word->data1 && c->data3 == known.word->data3) c = known.slot;
        else if (!(c = peek_known(c, k.args))) return 0;
        if (!held_value_q(TYPE_OF(c))) {
            if (k.called && TYPE_OF(c) == TYPE_FUNCTION) *k.called = *c;
            if (!builtin_q(TYPE_OF(c)) || !k.calls) {
                if (TYPE_OF(c) != TYPE_ROUTINE || !k.calls) return 0;
                *stop = 0;
                return simple_type_test(c, cells, pos, tail, out, k.args);
            }
            if (k.called) *k.called = *c;
            *stop = 0;
            if (fast_op_for(TYPE_OF(c), native::entry_of(c)) != FAST_NONE)
                return simple_prefix_call(c, cells, pos, tail, out, k.args);
            if (any_all_native_q(c)) return simple_any_all(c, cells, pos, tail, out, k.args);
            // One call site for both: the callers' machine frames stay small.
            return number_test_q(c) || series_reader_q(c) ? simple_test_or_read(c, cells, pos, tail, out, k.args) : 0;
        }
    } else if (TYPE_OF(c) == TYPE_PATH) {
        node_t ctx;
        if (known.path && same_field_path(c, known.path)) c = known.slot;
        else if (!(c = object_field(c, &ctx))) return 0;
        if (!held_value_q(TYPE_OF(c))) return 0;
    } else if (!plain_value_q(TYPE_OF(c))) {
        return 0;
    }
    Cell v = *c;
    u32 s = 0;
    u32 next = infix_simple(cells, pos + 1, tail, &v, &s, k.room);
    *out = v;
    if (!next) *stop = s;
    return next;
}

// Room on the machine stack for the frames a call made without them (an
// append, a function's call whose body needs no frames) stands for: nearer
// the limit the call is made in its frames and raises the overflow where
// it must.
[[gnu::always_inline]] inline bool frameless_machine_room_q() {
    char probe;
    return &probe >= machine_stack::limit + 16384;
}
// Room for everything an append without its frames (frameless_append)
// stands for: on the stacks (from a top at `top`) its frame, its action and
// arguments and what the arguments' operators check for; the machine frames
// it would run in; and the budget's two steps. Nearer an end the call runs
// in its frame and raises the overflow where it must.
[[gnu::always_inline]] inline bool append_stack_room_q(const Cell* top) {
    return stack::frame_top + 1 + OPERATOR_ROOM <= stack::frame_end && top + 16 + OPERATOR_ROOM < stack::end;
}
[[gnu::always_inline]] inline bool append_room_q() {
    return append_stack_room_q(stack::top) && frameless_machine_room_q() && !(budget::spent && budget::left <= 2);
}

// The store of an append without its frames (see frameless_append): a
// value that is no block at the tail of a block!, or a char! at the tail of
// a string!, where the parameters' types allow it and the buffer has room;
// false, having done nothing, for anything else.
[[gnu::always_inline]] inline bool append_in_place(Cell* series, const Cell* value, const AppendTypes& types) {
    u32 st = TYPE_OF(series), vt = TYPE_OF(value);
    if (!(types.series >> st & 1) || !(types.value >> vt & 1)) return false;
    return st == TYPE_BLOCK ? actions::add_cell(series, value, true)
                            : st == TYPE_STRING && actions::append_char(series, value);
}

// What fast_set_word made of a set-word's value before it declined: the
// value up to the operator at `stop` (0: nothing made).
struct Partial {
    Cell value;
    u32 stop = 0;
    // Asked for: where no value was made (`stop` 0), `value` learns the
    // function value the value's first word holds, if any (see Known), else none.
    bool call = false;
};

// A set-word (`word`) whose value fast_set_word cut short at the number
// operator at `stop` (`left` the value up to there, see Partial), whose
// right operand is a call of a function that needs no frames of its own
// before its body: its arguments simple (see simple_value), its locals laid.
// When its body is one simple expression or a conditional whose branch is
// one (see read_body), nothing in it can fail, allocate or be seen: the
// value, with any operators infix_simple does after it, is made and stored
// without the set-word's, the operator's and the function's frames, where
// those could be opened, with the calls' budget steps, and left as
// fast_set_word leaves it (`sub`). Any other body runs in those frames,
// opened then over the arguments in place (`framed`): the set-word's frame
// is left open with the operator's value above the set-word, for the
// caller to go on as eval_set_word does. Answers the position after what
// it did (0: nothing done that counts, for any other value, and for a
// body that needs its frames unless `reach` is ANY). The fast paths are on
// (the caller checked).
struct OperatorSetWordEnd {
    u32 next = 0;
    bool framed = false;
};
enum class OperatorReach { ANY, FRAMELESS };
OperatorSetWordEnd set_word_operator_call(const Cell* word, Cell* code, Cell left, u32 stop, u32 tail, bool sub,
                                          OperatorReach reach = OperatorReach::ANY);

// A set-word whose value is a simple expression, stored without the call
// frame (nothing in it can fail or be seen): false when the word or the
// expression needs the generic path. Leaves the value as that path does.
// On false, `partial` tells what simple_value got done of the value (see
// there), for eval_set_word to go on from. The fast paths are on (the
// caller checked).
[[gnu::always_inline]] inline bool fast_set_word(const Cell* word, Cell* code, u32 pos, u32 tail, bool sub,
                                                 u32* next, Partial* partial) {
    Cell* start = stack::top;
    partial->stop = 0;
    if (partial->call) partial->value.header = TYPE_NONE;
    // Where the set-word's frame could not be opened, the generic path
    // raises the overflow, as it would at this depth.
    if (start + 2 >= stack::end || stack::frame_top >= stack::frame_end) return false;
    // Nothing below allocates, so the slot stays put until the store.
    Cell* slot = context::plain_slot(word);
    Cell v;
    u32 after = simple_value(block::cells_of(block::buffer_of(code)), pos, tail, &v, &partial->stop, {word, slot},
                             {Room::CHECK, nullptr, true, partial->call ? &partial->value : nullptr});
    if (!after) {
        if (partial->stop) partial->value = v;
        return false;
    }
    if (slot) {
        *slot = v;
    } else if (!store_object_word(word, &v)) {
        // A refused store leaves the whole value for eval_set_word to store.
        partial->stop = after;
        partial->value = v;
        return false;
    }
    *start = v;
    stack::top = start + 1;
    if (!sub) *stack::arguments = v;
    *next = after;
    return true;
}

}  // namespace zav::interpreter
