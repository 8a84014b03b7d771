// The parse engine. Rules are matched by a recursive walk over the rule
// blocks; every level it enters is also recorded on the rule stack block (three
// cells per level, as the trace callback sees it), and the size of that block
// bounds the recursion: a runaway rule ends with script/parse-stack long before
// the machine stack is at risk. With no tracer, the levels nothing can see (a
// bitset run's, and a copy's or set's around one) are not written; the limit
// they would meet is checked all the same. Over string input with no tracer,
// a block's commonest rules (string literals, bitset runs and their copies
// and sets, parens) are stepped in one loop (lean_rules), the rest one at a
// time by match_rule.
#include "evaluator/parse.h"

#include <algorithm>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/scope.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/budget.h"
#include "runtime/case_folding.h"
#include "runtime/machine_stack.h"
#include "datatypes/words.h"

namespace zav::parse {

// A parse/trace callback takes event, match?, rule, input and stack.
constexpr u32 TRACER_ARITY = 5;

namespace {

// ---- Keywords -------------------------------------------------------------------

enum Keyword : i32 {
    KW_NONE_ = -1,
    KW_BAR, KW_SKIP, KW_ANY, KW_SOME, KW_OPT, KW_WHILE, KW_TO, KW_THRU, KW_COPY, KW_SET, KW_REMOVE,
    KW_BREAK, KW_REJECT, KW_FAIL, KW_AHEAD, KW_NOT, KW_END, KW_NONE, KW_QUOTE, KW_IF, KW_CASE, KW_INTO,
    KW_INSERT, KW_CHANGE, KW_COLLECT, KW_KEEP, KW_ONLY, KW_PICK, KW_AFTER,
    KW_COUNT
};

const char* const keyword_names[KW_COUNT] = {
    "|", "skip", "any", "some", "opt", "while", "to", "thru", "copy", "set", "remove",
    "break", "reject", "fail", "ahead", "not", "end", "none", "quote", "if", "case", "into",
    "insert", "change", "collect", "keep", "only", "pick", "after",
};

i32 keyword_syms[KW_COUNT];  // resolved (alias) symbol ids

// Event words given to the trace callback.
enum Event : u32 { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END, EV_COUNT };
const char* const event_names[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
i32 event_syms[EV_COUNT];
i32 callback_sym = 0;

node_t rules_node = 0;   // the rule stack
node_t series_node_ = 0;  // the input stack
u32 rules_head = 0;      // where the current frame starts
u32 series_head_ = 0;

// The keyword of each symbol id met so far: 0 not looked up yet, else the
// keyword + 2 (1: none). A symbol's alias never changes once it is
// interned, so the answer for an id holds until the symbol table is rebuilt
// (init clears it).
std::vector<signed char> keyword_memo;
const signed char* memo_cells = nullptr;  // keyword_memo's data and size, read on every rule
u32 memo_size = 0;

i32 keyword_lookup(u32 id) {
    i32 sym = symbol::resolve(static_cast<i32>(id));
    i32 kw = KW_NONE_;
    for (i32 k = 0; k < KW_COUNT; k++) {
        if (keyword_syms[k] == sym) {
            kw = k;
            break;
        }
    }
    if (id < (1u << 22)) {
        if (id >= keyword_memo.size()) keyword_memo.resize(std::max<size_t>(id + 1, keyword_memo.size() * 2), 0);
        keyword_memo[id] = static_cast<signed char>(kw + 2);
        memo_cells = keyword_memo.data();
        memo_size = static_cast<u32>(keyword_memo.size());
    }
    return kw;
}

inline i32 keyword_of(const Cell* c) {
    if (TYPE_OF(c) != TYPE_WORD) return KW_NONE_;
    u32 id = c->data2;
    if (id < memo_size && memo_cells[id]) return memo_cells[id] - 2;
    return keyword_lookup(id);
}

bool is_kw(const Cell* c, i32 kw) { return keyword_of(c) == kw; }

// ---- Small cell helpers ---------------------------------------------------------

Cell* make_int(Cell* c, i32 v) { return make_cell(c, TYPE_INTEGER, 0, static_cast<u32>(v)); }
Cell* make_logic(Cell* c, bool v) { return make_cell(c, TYPE_LOGIC, v ? 1 : 0); }
// The cells of a rule level, made as values: they go straight onto the rule
// stack rather than being written field by field and read back whole.
Cell pair_cell(i32 x, i32 y) { return Cell{TYPE_PAIR, static_cast<u32>(x), static_cast<u32>(y), 0}; }
Cell triple_cell(i32 a, i32 b, i32 d) {
    return Cell{TYPE_TRIPLE_ID, static_cast<u32>(a), static_cast<u32>(b), static_cast<u32>(d)};
}
constexpr Cell NONE_CELL{TYPE_NONE, 0, 0, 0};
Cell block_cell(node_t node, u32 head) { return Cell{TYPE_BLOCK, head, node, 0}; }

u32 length_of(const Cell* s) { return GET_BUFFER(series_node(s))->length(); }
u32 node_length(node_t n) { return GET_BUFFER(n)->length(); }
Cell* cell_at(node_t n, u32 i) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()) + i; }

// Steps over an `only` after insert or change; answers whether it was there.
bool skip_only(node_t rb, u32& j) {
    if (j >= node_length(rb) || !is_kw(cell_at(rb, j), KW_ONLY)) return false;
    j++;
    return true;
}

// A bound word's value slot: the common bindings read in place, the rest
// (and the errors) through context::get.
inline Cell* word_slot(const Cell* w) {
    if (Cell* slot = context::peek_slot(w)) return slot;
    return context::get(w);
}

// Sets a word as context::set does; a plain slot (no object, no change
// handler) is stored in place.
void set_word(Cell* w, const Cell* v) {
    if (Cell* slot = context::plain_slot(w)) {
        *slot = *v;
        return;
    }
    context::set(w, v);
}

bool falsy(const Cell* v) {
    return TYPE_OF(v) == TYPE_NONE || (TYPE_OF(v) == TYPE_LOGIC && v->data1 == 0);
}

enum InputKind { IN_BLOCK, IN_STRING, IN_BINARY };

InputKind kind_of(const Cell* input) {
    u32 t = TYPE_OF(input);
    if (block::any_block_q(t)) return IN_BLOCK;
    if (string::any_string_q(t)) return IN_STRING;
    return IN_BINARY;
}

// UTF-8 length of a string's text from its head: what it covers in binary input.
u32 utf8_length(Cell* str) {
    u32 n = 0;
    for (u32 i = series_head(str), len = length_of(str); i < len; i++) {
        u32 cp = string::zs_abs_at(str, i);
        n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return n;
}

// ---- The stacks -----------------------------------------------------------------

void append_to(node_t node, const Cell* value) {
    Cell blk = block_cell(node, 0);
    block::zs_append(&blk, value);
}

void truncate(node_t node, u32 n) {
    SeriesBuffer* b = GET_BUFFER(node);
    off32 t = b->offset + n * static_cast<u32>(sizeof(Cell));
    if (b->tail > t) b->tail = t;
}

[[noreturn]] void fire_stack() { fire("script", "parse-stack"); }

// Both stacks are blocks: their cell counts compared as byte sizes.
inline bool stack_full(node_t n) { return GET_BUFFER(n)->used_bytes() >= STACK_LIMIT * sizeof(Cell); }

inline void check_stacks() {
    if (stack_full(rules_node) || stack_full(series_node_)) fire_stack();
}

// The frame of one `process` call; closes it on every way out.
struct Frame {
    u32 saved_rules_head, saved_series_head, rules_len, series_len;
    Frame() {
        saved_rules_head = rules_head;
        saved_series_head = series_head_;
        rules_len = node_length(rules_node);
        series_len = node_length(series_node_);
        if (rules_len > rules_head) push_frame();
    }
    ~Frame() {
        truncate(rules_node, rules_len);
        truncate(series_node_, series_len);
        rules_head = saved_rules_head;
        series_head_ = saved_series_head;
    }
};

// A level pushed on the rule stack, popped when it goes out of scope.
struct Level {
    u32 mark;
    // The three cells go on in one growth step: every level of every match
    // passes here. They come by value: the growth may move a buffer they
    // were read from.
    Level(Cell va, Cell vb, Cell vc) {
        SeriesBuffer* buf = GET_BUFFER(rules_node);
        mark = buf->used_bytes() / sizeof(Cell);
        if (mark >= STACK_LIMIT || stack_full(series_node_)) fire_stack();
        Cell* d;
        if (u64(buf->tail) + 3 * sizeof(Cell) <= off_of(buf->data_end())) {
            d = at<Cell>(buf->tail);  // room at the tail, as nearly always
            buf->tail += 3 * sizeof(Cell);
        } else {
            d = reinterpret_cast<Cell*>(alloc_tail_unit(buf, 3 * sizeof(Cell)));
        }
        d[0] = va;
        d[1] = vb;
        d[2] = vc;
    }
    ~Level() { truncate(rules_node, mark); }
    // The repetition triple's iteration count.
    void set_count(i32 count) { cell_at(rules_node, mark)->data3 = static_cast<u32>(count); }
};

// A tracer that answers false ends the whole parse with that match result.
// Thrown by the engine itself after the tracer has returned, and caught by
// the process() that runs the engine, so it never crosses an interpreter
// frame: paren and tracer calls have returned before it is thrown, and a
// nested parse catches its own.
struct Stop {
    bool match;
};

// ---- The engine -----------------------------------------------------------------

// R_NEXT: lean_rules leaves the rule at its index to the general step.
// R_EXIT: a paren rule's code left an exit pending (an error, break, return,
// throw): every rule hands it up at once, and parse returns with it, a few
// returns where a C++ throw would cost the unwinder a walk over every level.
enum Result { R_FAIL = 0, R_OK = 1, R_BREAK = 2, R_REJECT = 3, R_NEXT = 4, R_EXIT = 5 };
inline bool succ(Result r) { return r == R_OK || r == R_BREAK; }

struct Collect {
    Cell* target = nullptr;  // on the value stack; for insertion its head is the insertion point
    bool append = true;
};

struct Engine {
    Cell* input = nullptr;   // on the value stack: the current input, its head the position
    InputKind in_kind = IN_BLOCK;  // kind_of(input), kept as the input changes (only `into` changes it)
    Cell* tracer = nullptr;  // on the value stack, or null
    i32 op = 0;
    u32 limit = 0;  // absolute end index of the outer input (0: none)
    bool last_match = false;
    Collect collect;
    Cell* result_block = nullptr;  // on the value stack: the block of a top-level collect
    bool has_result_block = false;

    u32 pos() const { return series_head(input); }
    void set_pos(u32 p) { series_head(input) = p; }
    u32 len() const { return length_of(input); }
    u32 end() const {
        u32 t = len();
        return limit > 0 && limit < t ? limit : t;
    }
    bool at_end() const { return pos() >= end(); }
    InputKind kind() const { return in_kind; }

    // The engine's shortcuts, which leave levels unwritten: not under a
    // tracer (it sees every level), nor under the reference switch, so that
    // the differential fuzzer weighs them against the plain walk.
    bool shortcuts() const { return !tracer && interpreter::fast_paths_on(); }

    // -- events --
    void fire_event(u32 event, bool match, node_t rb, u32 ri) {
        if (tracer) fire_traced(event, match, rb, ri);
    }

    void fire_traced(u32 event, bool match, node_t rb, u32 ri) {
        Cell* base = stack::top;
        Cell name;
        word::make_at(callback_sym, &name);
        Cell fn = *tracer;
        stack::mark_frame(&name, function::ctx_of(&fn));
        word::make_at(event_syms[event], stack::push_star());
        make_logic(stack::push_star(), match);
        Cell rule = block_cell(rb, ri);
        stack::push(&rule);
        stack::push(input);
        Cell rs = block_cell(rules_node, rules_head);
        stack::push(&rs);
        function::push_unused_slots(&fn, TRACER_ARITY);
        interpreter::call_function(&fn, function::ctx_of(&fn), &name, 0);
        stack::throw_pending();
        stack::unwind();
        Cell res = *base;
        stack::top = base;
        if (event != EV_END && falsy(&res)) throw Stop{match};
    }

    // Evaluates a paren; its value is left on the value stack (the caller pops).
    // Actions run again and again: their leading set-words go without the frame.
    // An exit out of it goes on as a throw (the rules would go on after it),
    // or stays pending with `pend`, answering null, for a caller that
    // answers R_EXIT.
    Cell* eval_paren(const Cell* paren, bool pend = false) {
        Cell* base = stack::top;
        Cell code = *paren;
        interpreter::eval_pushed(&code);
        if (stack::pending) [[unlikely]] {
            if (pend) return nullptr;
            stack::throw_pending();
        }
        stack::top = base + 1;
        return base;
    }

    // -- values --
    Cell get_value(const Cell* word) {
        Cell v = *context::get(word);
        if (TYPE_OF(&v) == TYPE_UNSET) fire("script", "no-value", word);
        return v;
    }

    // A series position in the input's own series (a get-word or position word).
    bool same_series(const Cell* v) const {
        return series::series_q(TYPE_OF(v)) && series_node(v) == series_node(input);
    }

    // The value an insert, change or keep uses: a paren evaluated, a word's value.
    // Left on the value stack.
    Cell* operand(const Cell* c) {
        u32 t = TYPE_OF(c);
        if (t == TYPE_PAREN) return eval_paren(c);
        if (t == TYPE_WORD) {
            Cell v = get_value(c);
            return stack::push(&v);
        }
        if (block::any_path_q(t)) fire("script", "parse-rule", c);
        return stack::push(c);
    }

    // The element at a position as a value: a char! of a string, an integer!
    // byte of a binary, the cell of a block.
    Cell element(u32 p) {
        Cell out;
        switch (kind()) {
            case IN_BLOCK: out = *block::zs_abs_at(input, p); break;
            case IN_STRING: make_cell(&out, TYPE_CHAR, 0, string::zs_abs_at(input, p)); break;
            default: make_int(&out, binary::zs_abs_at(input, p)); break;
        }
        return out;
    }

    // Copies string or binary input from `start` up to the position with the
    // series copy: one buffer of the final size, filled at once. The value is
    // not rooted: it must be stored before anything else allocates.
    Cell text_copy(u32 start) {
        u32 p = pos();
        u32 n = p > start ? p - start : 0;
        node_t node = copy_series_part(series_node(input), std::min(start, p), n);
        return Cell{input->header, 0, node, 0};
    }

    // Copies the input from `start` up to the position (stack-pushed).
    Cell* copy_part(u32 start) {
        if (kind() != IN_BLOCK) {
            Cell v = text_copy(start);
            return stack::push(&v);
        }
        u32 p = pos();
        u32 n = p > start ? p - start : 0;
        Cell* slot = stack::push_star();
        make_cell(slot, TYPE_NONE);
        Cell src = *input;
        series_head(&src) = std::min(start, p);
        Cell part;
        make_int(&part, static_cast<i32>(n));
        Cell* r = actions::typed<action_fn::Copy>(&src, ACT_COPY)(&src, slot, &part, false, nullptr);
        if (r != slot) *slot = *r;
        return slot;
    }

    // -- matching one value at the position --
    bool compare(Cell* value, Cell* rule) {
        i32 o = op;
        u32 t = TYPE_OF(rule);
        if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) o = op == COMP_STRICT_EQUAL ? COMP_STRICT_EQUAL_WORD : COMP_EQUAL_WORD;
        return actions::compare_value(value, rule, o) == 0;
    }

    bool match_datatype(Cell* rule, u32& adv) {
        u32 p = pos(), e = end();
        if (p >= e) return false;
        SeriesBuffer* b = GET_BUFFER(series_node(input));
        std::vector<u8> bytes(b->head() + p, b->head() + e);
        i32 consumed = 0;
        i32 t = lexer::scan(nullptr, bytes.data(), static_cast<u32>(bytes.size()), true, false, false, &consumed,
                            nullptr, nullptr);
        if (t <= 0) return false;
        bool ok = TYPE_OF(rule) == TYPE_DATATYPE ? static_cast<u32>(t) == rule->data1
                                                 : typeset_has(rule, static_cast<u32>(t));
        if (ok) adv = consumed > 0 ? static_cast<u32>(consumed) : 1;
        return ok;
    }

    // A string rule against one-byte string input (its buffer `ib`) at `p`:
    // the text is compared in place, as the string comparison does it (a
    // mismatch is tried again folded unless the case counts). Answers 1 or 0
    // and sets `adv`, or -1 for a rule of wider characters.
    [[gnu::always_inline]] int match_bytes(SeriesBuffer* ib, const Cell* rule, u32 p, u32& adv) {
        SeriesBuffer* rb = GET_BUFFER(series_node(rule));
        if (rb->unit() != 1) return -1;
        u32 rh = series_head(rule), rl = rb->used_bytes();
        u32 lb = rh < rl ? rl - rh : 0;
        adv = lb;
        if (series_node(rule) == series_node(input) && rh == p) return 1;
        if (lb == 0) return 1;
        u32 il = ib->used_bytes();
        if (p > il || il - p < lb) return 0;
        const u8* a = ib->head() + p;
        const u8* b = rb->head() + rh;
        u32 k = 0;
        while (k < lb && a[k] == b[k]) k++;
        return k == lb || (op != COMP_STRICT_EQUAL && folded_equal(a + k, b + k, lb - k));
    }

    // The rest of two one-byte texts from their first difference, compared
    // with the case folded.
    [[gnu::noinline]] static bool folded_equal(const u8* a, const u8* b, u32 n) {
        for (u32 k = 0; k < n; k++) {
            if (a[k] != b[k] && case_folding::change_char(a[k], 1) != case_folding::change_char(b[k], 1)) return false;
        }
        return true;
    }

    // Does the rule value match at the position? `adv` gets the units covered.
    [[gnu::always_inline]] bool match_value(Cell* rule, u32& adv) {
        // The commonest literal, a string over string input, goes straight to
        // the comparison in place (match_other does the same).
        if (TYPE_OF(rule) == TYPE_STRING) {
            if (const int m = text_literal(rule, adv); m >= 0) return m;
        }
        return match_other(rule, adv);
    }

    // A string rule over one-byte string input, short of the end: answers
    // whether it matches there (1 or 0, `adv` set), or -1 for any other case.
    [[gnu::always_inline]] int text_literal(const Cell* rule, u32& adv) {
        if (kind() != IN_STRING) return -1;
        SeriesBuffer* ib = GET_BUFFER(series_node(input));
        if (ib->unit() != 1) return -1;
        // One byte a character: the length is the byte count.
        u32 p = pos(), n = ib->used_bytes();
        u32 e = limit > 0 && limit < n ? limit : n;
        if (p >= e) return -1;
        const int m = match_bytes(ib, rule, p, adv);
        return m < 0 ? -1 : m && p + adv <= e;
    }

    [[gnu::noinline]] bool match_other(Cell* rule, u32& adv) {
        u32 t = TYPE_OF(rule);
        u32 p = pos(), e = end();
        adv = 1;
        switch (kind()) {
            case IN_BLOCK: {
                if (p >= e) return false;
                Cell el = *block::zs_abs_at(input, p);
                if (t == TYPE_DATATYPE) return TYPE_OF(&el) == rule->data1;
                if (t == TYPE_TYPESET) return typeset_has(rule, TYPE_OF(&el));
                return compare(&el, rule);
            }
            case IN_STRING: {
                if (t == TYPE_DATATYPE || t == TYPE_TYPESET) fire("script", "parse-unsupported");
                bool text = string::any_string_q(t);
                if (!text && t != TYPE_CHAR && t != TYPE_BITSET) fire("script", "parse-rule", rule);
                if (p >= e) {
                    if ((t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL) && length_of(rule) <= series_head(rule)) {
                        adv = 0;
                        return true;
                    }
                    return false;
                }
                Cell s = *input;
                bool ok;
                if (t == TYPE_BITSET) {
                    ok = string::match_bitset_q(&s, rule);
                } else {
                    ok = string::match_q(&s, rule, op);
                    if (text) adv = string::zs_length_q(rule) + (t == TYPE_TAG ? 2 : 0);
                }
                return ok && p + adv <= e;
            }
            default: {
                if (t == TYPE_DATATYPE || t == TYPE_TYPESET) return match_datatype(rule, adv);
                bool ok;
                Cell s = *input;
                if (t == TYPE_BITSET) {
                    if (p >= e) return false;
                    ok = binary::match_bitset(&s, rule);
                } else if (t == TYPE_CHAR || t == TYPE_BINARY || string::any_string_q(t)) {
                    if (p >= e) return false;
                    ok = binary::match_q(&s, rule, op);
                    if (t == TYPE_BINARY) adv = binary::zs_length_q(rule);
                    else if (t != TYPE_CHAR) adv = utf8_length(rule);
                } else {
                    fire("script", "parse-rule", rule);
                }
                return ok && p + adv <= e;
            }
        }
    }

    Result value_rule(Cell* rule, node_t rb, u32 ri) {
        u32 adv;
        bool ok = match_value(rule, adv);
        fire_event(EV_MATCH, matched(ok, adv), rb, ri);
        return ok ? R_OK : R_FAIL;
    }

    // Moves past a value rule's match; answers `ok`.
    bool matched(bool ok, u32 adv) {
        if (ok) set_pos(pos() + adv);
        last_match = ok;
        return ok;
    }

    // -- rule shapes --
    static bool is_bar(const Cell* c) { return is_kw(c, KW_BAR); }

    // An integer rule, or a word holding an integer.
    bool int_rule(const Cell* c, i32& n) {
        if (TYPE_OF(c) == TYPE_INTEGER) {
            n = static_cast<i32>(c->data2);
            return true;
        }
        if (TYPE_OF(c) == TYPE_WORD && keyword_of(c) == KW_NONE_ && c->data1) {
            const Cell* v = context::get(c);
            if (TYPE_OF(v) == TYPE_INTEGER) {
                n = static_cast<i32>(v->data2);
                return true;
            }
        }
        return false;
    }

    // A word whose value is a position in the input series.
    bool position_word(const Cell* c) {
        if (TYPE_OF(c) != TYPE_WORD || keyword_of(c) != KW_NONE_ || !c->data1) return false;
        return same_series(context::get(c));
    }

    // Index just past the rule at i, without running it (a count of 0 skips).
    u32 rule_end(node_t rb, u32 i) {
        u32 n = node_length(rb);
        if (i >= n) return i;
        Cell c = *cell_at(rb, i);
        i32 k;
        if (int_rule(&c, k)) {
            u32 j = i + 1;
            if (j < n && int_rule(cell_at(rb, j), k)) j++;
            return rule_end(rb, j);
        }
        switch (keyword_of(&c)) {
            case KW_ANY: case KW_SOME: case KW_OPT: case KW_WHILE: case KW_TO: case KW_THRU:
            case KW_AHEAD: case KW_NOT: case KW_REMOVE:
                return rule_end(rb, i + 1);
            case KW_COPY: case KW_SET: case KW_CASE:
                return rule_end(rb, i + 2);
            case KW_IF: case KW_QUOTE: case KW_INTO:
                return std::min(i + 2, n);
            case KW_KEEP: {
                u32 j = i + 1;
                if (j < n && is_kw(cell_at(rb, j), KW_PICK)) j++;
                return rule_end(rb, j);
            }
            case KW_COLLECT: {
                u32 j = i + 1;
                if (j < n) {
                    Cell* m = cell_at(rb, j);
                    if (is_kw(m, KW_SET) || is_kw(m, KW_INTO) || is_kw(m, KW_AFTER)) j += 2;
                }
                return rule_end(rb, j);
            }
            case KW_INSERT: {
                u32 j = i + 1;
                skip_only(rb, j);
                if (j + 1 < n && position_word(cell_at(rb, j))) j++;
                return std::min(j + 1, n);
            }
            case KW_CHANGE: {
                u32 j = i + 1;
                skip_only(rb, j);
                j = (j < n && position_word(cell_at(rb, j))) ? j + 1 : rule_end(rb, j);
                return std::min(j + 1, n);
            }
            default:
                return i + 1;
        }
    }

    // The rule following a keyword at i: raises parse-end when there is none.
    void need_rule(node_t rb, u32 j, const Cell* keyword) {
        if (j >= node_length(rb) || is_bar(cell_at(rb, j))) fire("script", "parse-end", keyword);
    }

    // -- levels --
    Result match_block(const Cell* blk, u32 resume) {
        machine_stack::check();
        budget::step();
        node_t rb = series_node(blk);
        u32 begin = series_head(blk);
        Level level(NONE_CELL, triple_cell(static_cast<i32>(resume), static_cast<i32>(pos()), static_cast<i32>(len())),
                    *blk);
        fire_event(EV_PUSH, last_match, rb, begin);
        u32 start = pos();
        u32 i = begin;
        Result r;
        const bool lean = !tracer && kind() == IN_STRING;
        for (;;) {
            r = R_OK;
            for (;;) {
                if (lean) {
                    r = lean_rules(rb, i);
                    if (r != R_NEXT) break;
                    r = R_OK;
                }
                SeriesBuffer* b = GET_BUFFER(rb);
                u32 n = b->used_bytes() / sizeof(Cell);
                if (i >= n) break;
                const Cell* c = reinterpret_cast<Cell*>(b->head()) + i;
                i32 kw = keyword_of(c);
                if (kw == KW_BAR) {
                    if (i + 1 >= n) fire("script", "parse-end", c);
                    break;  // a sequence matched: the level succeeds at once
                }
                r = match_rule_at(rb, i, c, kw);
                if (r != R_OK) break;
            }
            if (r != R_FAIL) break;
            i32 bar = find_alternative_at(rb, i);
            if (bar < 0) break;
            if (static_cast<u32>(bar) + 1 >= node_length(rb)) fire("script", "parse-end", cell_at(rb, bar));
            set_pos(start);
            i = static_cast<u32>(bar) + 1;
        }
        if (r == R_FAIL || r == R_REJECT) set_pos(std::min(start, len()));
        last_match = succ(r);
        fire_event(EV_POP, last_match, rb, begin);
        return r;
    }

    // The commonest rules of a sequence over string input, stepped in one
    // loop when nothing traces: string literals over one-byte text, bitset
    // runs (`some alpha`) and copies or sets of them, and parens. They do
    // what match_rule does for them, less its unseen levels and events.
    // Answers the result of the first rule that fails, R_OK at the block's
    // end, or R_NEXT at a rule left to the general step (`i` at it): any
    // other rule, a `|`, and every case that could end in an error.
    [[gnu::noinline]] Result lean_rules(node_t rb, u32& i) {
        if (!interpreter::fast_paths_on()) return R_NEXT;
        // The limit the unwritten levels of a run would meet (a copy's three
        // cells and its run's): the stacks are as deep at every rule here, a
        // paren's nested parse taking its levels off again. Near it, the
        // general step raises the error where it falls.
        if (GET_BUFFER(rules_node)->used_bytes() / sizeof(Cell) + 3 >= STACK_LIMIT || stack_full(series_node_))
            return R_NEXT;
        for (;;) {
            // The block is read again after anything that can allocate or run code.
            SeriesBuffer* b = GET_BUFFER(rb);
            const u32 n = b->used_bytes() / sizeof(Cell);
            const Cell* cells = block::cells_of(b);
            const Cell* c;
            u32 t;
            // String literals in a row, comparing in place.
            for (;;) {
                if (i >= n) return R_OK;
                c = cells + i;
                t = TYPE_OF(c);
                if (t != TYPE_STRING) break;
                u32 adv;
                const int m = text_literal(c, adv);
                if (m < 0) return R_NEXT;
                i++;
                if (!matched(m, adv)) return R_FAIL;
            }
            if (t == TYPE_PAREN) {
                Cell v = *c;
                if (paren_rule(&v, rb, i, true) == R_EXIT) return R_EXIT;
                // The paren may have started a trace.
                if (!interpreter::fast_paths_on()) return R_NEXT;
                continue;
            }
            if (t != TYPE_WORD) return R_NEXT;
            i32 kw = keyword_of(c);
            const bool copy = kw == KW_COPY;
            const bool capture = copy || kw == KW_SET;
            // The word a copy or set stores (checked below), then the repeat.
            const u32 j = capture ? i + 2 : i;
            if (j + 1 >= n) return R_NEXT;
            if (capture) {
                if (TYPE_OF(c + 1) != TYPE_WORD) return R_NEXT;
                kw = keyword_of(c + 2);
            }
            if (kw != KW_ANY && kw != KW_SOME && kw != KW_OPT && kw != KW_WHILE) return R_NEXT;
            const Cell* rule = cells + j + 1;
            const i32 rule_kw = keyword_of(rule);
            if (rule_kw == KW_BAR) return R_NEXT;
            const Cell* bits = bitset_rule(rule, rule_kw);
            if (!bits) return R_NEXT;
            i32 min, max;
            repeat_bounds(kw, min, max);
            const u32 start = pos();
            const Cell word = c[1];  // kept: the copy's allocation may move the block
            i = j + 2;
            if (bitset_run(bits, min, max) != R_OK) return R_FAIL;
            if (capture) store_capture(word, start, copy);
        }
    }

    static i32 find_alternative_at(node_t rb, u32 i) {
        for (u32 n = node_length(rb); i < n; i++) {
            if (is_bar(cell_at(rb, i))) return static_cast<i32>(i);
        }
        return -1;
    }

    // A keyword level: first cell, the position triple, the kind pair.
    struct KLevel : Level {
        KLevel(Engine& e, const Cell& first, u32 ri, i32 kind, i32 extra)
            : Level(first, triple_cell(static_cast<i32>(ri), static_cast<i32>(e.pos()), static_cast<i32>(e.len())),
                    pair_cell(kind, extra)) {}
    };

    // The bitset a rule cell (of keyword `kw`) stands for in a run over text:
    // a literal bitset, or (as match_rule takes a word, int_rule reading it
    // first) a bound word that is no keyword and holds one; else null. Read
    // in place: good until anything runs or allocates.
    [[gnu::always_inline]] static const Cell* bitset_rule(const Cell* c, i32 kw) {
        if (TYPE_OF(c) == TYPE_WORD) {
            if (!c->data1 || kw != KW_NONE_) return nullptr;
            c = word_slot(c);
        }
        return TYPE_OF(c) == TYPE_BITSET ? c : nullptr;
    }

    // The repetition of a bitset over string input, without a tracer: no
    // step can run code or move the text, so the characters are tested in
    // place. Each match covers one character, so the "no progress" end
    // never applies.
    [[gnu::always_inline]] Result bitset_run(const Cell* bits, i32 min, i32 max) {
        SeriesBuffer* sb = GET_BUFFER(bitset::node_of(bits));
        const u8* set = sb->head();
        u32 set_bytes = sb->used_bytes();
        bool beyond = (sb->flags & bitset::BITSET_NOT) != 0;
        SeriesBuffer* b = GET_BUFFER(series_node(input));
        const u8* text = b->head();
        u32 unit = b->unit();
        u32 p = pos(), e = end();
        u32 from = p;
        u32 room = p < e ? e - p : 0;
        u32 stop = p + (max >= 0 && static_cast<u32>(max) < room ? static_cast<u32>(max) : room);
        if (unit == 1) {
            // Bytes from `stored` up are all in the set or all out of it.
            u32 stored = set_bytes < 32 ? set_bytes * 8 : 256;
            const u8* q = text + p;
            const u8* last = text + stop;
            if (beyond) {
                while (q < last && (*q >= stored || (set[*q >> 3] << (*q & 7)) & 0x80)) q++;
            } else {
                while (q < last && *q < stored && (set[*q >> 3] << (*q & 7)) & 0x80) q++;
            }
            p = static_cast<u32>(q - text);
        } else {
            while (p < stop) {
                u32 c = string::get_char(text + p * unit, unit);
                if (!((c >> 3) < set_bytes ? (set[c >> 3] & (0x80 >> (c & 7))) != 0 : beyond)) break;
                p++;
            }
        }
        Result res = static_cast<i32>(p - from) >= min ? R_OK : R_FAIL;
        set_pos(res == R_OK ? p : std::min(pos(), len()));
        last_match = res == R_OK;
        return res;
    }

    // The bounds of `any`, `some`, `opt` and `while`.
    static void repeat_bounds(i32 kw, i32& min, i32& max) {
        min = kw == KW_SOME ? 1 : 0;
        max = kw == KW_OPT ? 1 : -1;
    }

    Result repeat(node_t rb, u32& i, i32 min, i32 max, bool while_) {
        if (max == 0) {
            i = rule_end(rb, i);
            last_match = true;
            return R_OK;
        }
        if (shortcuts()) {
            // Nothing can see the level of a bitset run (no events, no code
            // runs inside it), so it is not written; its limit still holds.
            check_stacks();
            if (kind() == IN_STRING) {
                const Cell* rule = cell_at(rb, i);
                if (const Cell* bits = bitset_rule(rule, keyword_of(rule))) {
                    i++;
                    return bitset_run(bits, min, max);
                }
            }
        }
        KLevel level(*this, triple_cell(min, max, 1), i, while_ ? KIND_WHILE : KIND_REPEAT, 0);
        fire_event(EV_PUSH, last_match, rb, i);
        u32 start = pos();
        i32 count = 0;
        u32 j = i;
        Result res;
        for (;;) {
            if (max >= 0 && count >= max) {
                res = R_OK;
                break;
            }
            u32 p0 = pos(), l0 = len();
            if (count > 0) {
                level.set_count(count + 1);
                fire_event(EV_ITERATE, last_match, rb, i);
            }
            j = i;
            Result r = tracer ? match_rule(rb, j) : repeated_rule(rb, j);
            if (r == R_EXIT) return r;
            if (r == R_BREAK) {
                res = R_OK;
                break;
            }
            if (r == R_REJECT) {
                res = R_FAIL;
                break;
            }
            if (r == R_FAIL) {
                res = count >= min ? R_OK : R_FAIL;
                break;
            }
            count++;
            if (!while_ && pos() == p0 && len() == l0) {
                res = count >= min ? R_OK : R_FAIL;
                break;
            }
        }
        if (res == R_FAIL) set_pos(std::min(start, len()));
        last_match = res == R_OK;
        fire_event(EV_POP, last_match, rb, i);
        i = j;
        return res;
    }

    // match_rule without a tracer (no fetch event to deliver), a word
    // holding a block (`some record`) going straight to the block.
    [[gnu::always_inline]] Result repeated_rule(node_t rb, u32& j) {
        const Cell* c = cell_at(rb, j);
        const i32 kw = keyword_of(c);
        if (TYPE_OF(c) == TYPE_WORD && kw == KW_NONE_) {
            if (const Cell* slot = context::peek_slot(c); slot && TYPE_OF(slot) == TYPE_BLOCK) {
                const Cell v = *slot;
                return match_block(&v, j++);
            }
        }
        return match_rule_at(rb, j, c, kw);
    }

    // to / thru: searches the following rule from the position on.
    [[gnu::noinline]] Result to_thru(node_t rb, u32& i, bool thru) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        need_rule(rb, j, &kw);
        Cell target = *cell_at(rb, j);
        if (is_kw(&target, KW_END)) {
            set_pos(std::max(pos(), end()));
            i = j + 1;
            last_match = true;
            fire_event(EV_MATCH, true, rb, j);
            return R_OK;
        }
        KLevel level(*this, NONE_CELL, j, thru ? KIND_THRU : KIND_TO, 0);
        u32 start = pos();
        Cell value = target;
        if (TYPE_OF(&target) == TYPE_WORD && keyword_of(&target) == KW_NONE_) value = get_value(&target);
        u32 vt = TYPE_OF(&value);
        bool found = false;
        u32 next_i = j + 1;
        if (vt == TYPE_BLOCK || TYPE_OF(&value) == TYPE_WORD) {
            // A block (or a keyword rule) is tried at each position in turn.
            for (u32 p = start; p <= end() && !found; p++) {
                set_pos(p);
                Result r;
                if (vt == TYPE_BLOCK) {
                    r = match_block(&value, j);
                } else {
                    u32 k = j;
                    r = match_rule(rb, k);
                    next_i = k;
                }
                if (r == R_EXIT) return r;
                if (succ(r)) {
                    found = true;
                    if (!thru) set_pos(p);
                }
            }
        } else {
            if (kind() == IN_STRING && vt != TYPE_CHAR && vt != TYPE_BITSET && vt != TYPE_BINARY &&
                !string::any_string_q(vt)) {
                fire("script", "parse-rule", &value);
            }
            // A character, a bitset or a non-empty string in text is searched
            // for by find, which compares as a value rule does.
            bool text_search = kind() == IN_STRING &&
                               (vt == TYPE_CHAR || vt == TYPE_BITSET ||
                                (vt == TYPE_STRING && length_of(&value) > series_head(&value)));
            if (text_search) {
                u32 e = end();
                if (start < e) {
                    Cell probe = *input, what = value, part;
                    series_head(&probe) = start;
                    make_cell(&part, TYPE_INTEGER, 0, e - start);
                    string::find(&probe, &what, &part, false, op == COMP_STRICT_EQUAL, false, false, nullptr, nullptr,
                                 false, false, thru, false);
                    if (TYPE_OF(&probe) != TYPE_NONE) {
                        found = true;
                        set_pos(series_head(&probe));
                    }
                }
            }
            for (u32 p = start; !text_search && p <= end() && !found; p++) {
                set_pos(p);
                u32 adv;
                if (match_value(&value, adv)) {
                    found = true;
                    if (thru) set_pos(p + adv);
                }
            }
        }
        if (!found) set_pos(start);
        i = next_i;
        last_match = found;
        fire_event(EV_MATCH, found, rb, j);
        return found ? R_OK : R_FAIL;
    }

    // A paren rule: its code run, its value dropped. A tracer is told of
    // every level on the way out, so under one an exit goes on as a throw;
    // `untraced` says there is none.
    Result paren_rule(const Cell* paren, node_t rb, u32& i, bool untraced = false) {
        fire_event(EV_PAREN, last_match, rb, i);
        stack::TopGuard guard;
        const Cell* value = eval_paren(paren, untraced || !tracer);
        i++;
        return value ? R_OK : R_EXIT;
    }

    [[gnu::noinline]] Result copy_set(node_t rb, u32& i, bool copy) {
        u32 j = i + 1;
        Cell w;
        {
            // The keyword, its word and the start of its rule, read in one go.
            SeriesBuffer* b = GET_BUFFER(rb);
            const Cell* cells = reinterpret_cast<Cell*>(b->head());
            u32 n = b->used_bytes() / sizeof(Cell);
            if (j + 1 >= n || keyword_of(cells + j + 1) == KW_BAR || TYPE_OF(cells + j) != TYPE_WORD) {
                Cell k = cells[i];
                fire("script", "parse-end", &k);
            }
            w = cells[j];
            j++;
        }
        KLevel level(*this, w, j, copy ? KIND_COPY : KIND_SET, 0);
        u32 start = pos();
        Result r = match_rule(rb, j);
        i = j;
        if (succ(r)) store_capture(w, start, copy);
        return r;
    }

    // Sets the word of a copy or set that matched from `start`.
    [[gnu::always_inline]] void store_capture(Cell w, u32 start, bool copy) {
        if (copy && kind() != IN_BLOCK) {
            // A plain slot takes the copy at once, nothing allocating between.
            Cell v = text_copy(start);
            if (Cell* slot = context::plain_slot(&w)) {
                *slot = v;
                return;
            }
            stack::TopGuard guard;
            context::set(&w, stack::push(&v));
            return;
        }
        stack::TopGuard guard;
        if (copy) {
            set_word(&w, copy_part(start));
        } else if (pos() == start) {
            set_word(&w, &NONE_CELL);
        } else {
            Cell el = element(start);
            set_word(&w, &el);
        }
    }

    void remove_range(u32 from, u32 count) {
        if (!count) return;
        Cell s = *input;
        series_head(&s) = from;
        Cell part;
        make_int(&part, static_cast<i32>(count));
        actions::typed<action_fn::Remove>(&s, ACT_REMOVE)(&s, &part, nullptr);
    }

    [[gnu::noinline]] Result remove(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        need_rule(rb, j, &kw);
        Cell t = *cell_at(rb, j);
        if (block::any_path_q(TYPE_OF(&t))) fire("script", "parse-rule", &t);
        if (position_word(&t)) {
            u32 to = std::min(series_head(context::get(&t)), len());
            u32 p = pos();
            u32 from = std::min(p, to);
            remove_range(from, std::max(p, to) - from);
            set_pos(from);
            i = j + 1;
            return R_OK;
        }
        KLevel level(*this, NONE_CELL, j, KIND_REMOVE, 0);
        u32 start = pos();
        Result r = match_rule(rb, j);
        i = j;
        if (!succ(r)) return r;
        u32 p = pos();
        if (p > start) remove_range(start, p - start);
        set_pos(start);
        return r;
    }

    [[gnu::noinline]] Result insert(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        bool only = skip_only(rb, j);
        if (j >= node_length(rb)) fire("script", "parse-end", &kw);
        u32 at_pos = pos();
        if (j + 1 < node_length(rb) && position_word(cell_at(rb, j))) {
            at_pos = std::min(series_head(context::get(cell_at(rb, j))), len());
            j++;
        }
        stack::TopGuard guard;
        Cell t = *cell_at(rb, j);
        Cell* value = operand(&t);
        u32 before = len();
        Cell s = *input;
        series_head(&s) = at_pos;
        actions::typed<action_fn::Insert>(&s, ACT_INSERT)(&s, value, nullptr, only, nullptr, false);
        u32 grown = len() - before;
        if (at_pos <= pos()) set_pos(pos() + grown);
        i = j + 1;
        return R_OK;
    }

    [[gnu::noinline]] Result change(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        bool only = skip_only(rb, j);
        need_rule(rb, j, &kw);
        u32 from, to;
        if (j + 1 < node_length(rb) && position_word(cell_at(rb, j))) {
            u32 w = std::min(series_head(context::get(cell_at(rb, j))), len());
            from = std::min(pos(), w);
            to = std::max(pos(), w);
            j++;
        } else {
            KLevel level(*this, NONE_CELL, j, only ? KIND_CHANGE_ONLY : KIND_CHANGE, 0);
            from = pos();
            Result r = match_rule(rb, j);
            if (!succ(r)) {
                i = std::min(j + 1, node_length(rb));
                return r;
            }
            to = std::max(pos(), from);
        }
        if (j >= node_length(rb)) fire("script", "parse-end", &kw);
        stack::TopGuard guard;
        Cell t = *cell_at(rb, j);
        Cell* value = operand(&t);
        u32 before = len();
        Cell s = *input;
        series_head(&s) = from;
        Cell part;
        make_int(&part, static_cast<i32>(to - from));
        actions::typed<action_fn::Change>(&s, ACT_CHANGE)(&s, value, &part, only, nullptr);
        i32 now = static_cast<i32>(len()) - static_cast<i32>(before) + static_cast<i32>(to - from);
        set_pos(from + static_cast<u32>(std::max(now, 0)));
        i = j + 1;
        return R_OK;
    }

    [[gnu::noinline]] Result look(node_t rb, u32& i, bool not_) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        need_rule(rb, j, &kw);
        KLevel level(*this, NONE_CELL, j, not_ ? KIND_NOT : KIND_AHEAD, 0);
        u32 start = pos();
        Result r = match_rule(rb, j);
        i = j;
        set_pos(std::min(start, len()));
        if (not_) {
            if (r == R_OK) r = R_FAIL;
            else if (r == R_FAIL) r = R_OK;
        }
        last_match = succ(r);
        return r;
    }

    [[gnu::noinline]] Result into(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        if (kind() != IN_BLOCK) fire("script", "parse-block", input);
        u32 j = i + 1;
        if (j >= node_length(rb)) fire("script", "parse-end", &kw);
        Cell sub = *cell_at(rb, j);
        if (TYPE_OF(&sub) == TYPE_WORD && keyword_of(&sub) == KW_NONE_) sub = get_value(&sub);
        if (TYPE_OF(&sub) != TYPE_BLOCK) fire("script", "parse-end", &kw);
        i = j + 1;
        if (at_end()) return R_FAIL;
        Cell el = *block::zs_abs_at(input, pos());
        u32 et = TYPE_OF(&el);
        if (!series::series_q(et) || et == TYPE_IMAGE || et == TYPE_VECTOR) {
            last_match = false;
            return R_FAIL;
        }
        KLevel level(*this, NONE_CELL, j, static_cast<i32>(et), 0);
        check_stacks();
        u32 mark = node_length(series_node_);
        append_to(series_node_, input);
        Cell outer = *input;
        u32 saved_limit = limit;
        series_head(&el) = std::min(series_head(&el), length_of(&el));
        *input = el;
        in_kind = kind_of(input);
        limit = 0;
        Result r;
        bool ok;
        {
            OnExit restore([&] {
                *input = outer;
                in_kind = kind_of(input);
                limit = saved_limit;
                truncate(series_node_, mark);
            });
            r = match_block(&sub, j);
            ok = succ(r) && pos() >= len();
        }
        if (r == R_EXIT) return r;
        if (ok) set_pos(pos() + 1);
        last_match = ok;
        if (r == R_REJECT) return r;
        return ok ? R_OK : R_FAIL;
    }

    // Stores a kept value in the innermost collect target.
    void insert_value(Cell* value, bool only) {
        Cell* t = collect.target;
        u32 before = length_of(t);
        Cell s = *t;
        if (collect.append) series_head(&s) = before;
        actions::typed<action_fn::Insert>(&s, ACT_INSERT)(&s, value, nullptr, only, nullptr, collect.append);
        if (!collect.append) series_head(t) += length_of(t) - before;
    }

    [[gnu::noinline]] Result collect_rule(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        u32 j = i + 1;
        u32 n = node_length(rb);
        enum { PLAIN, SET, INTO, AFTER } mode = PLAIN;
        Cell w{TYPE_NONE, 0, 0, 0};
        // The rules may drop the word (and with it its context) before it is set.
        collector::Guard w_root(&w);
        if (j < n) {
            Cell* m = cell_at(rb, j);
            if (is_kw(m, KW_SET)) mode = SET;
            else if (is_kw(m, KW_INTO)) mode = INTO;
            else if (is_kw(m, KW_AFTER)) mode = AFTER;
            if (mode != PLAIN) {
                if (j + 1 >= n || TYPE_OF(cell_at(rb, j + 1)) != TYPE_WORD) fire("script", "parse-end", &kw);
                w = *cell_at(rb, j + 1);
                j += 2;
            }
        }
        need_rule(rb, j, &kw);
        stack::TopGuard guard;
        Cell* target;
        if (mode == INTO || mode == AFTER) {
            Cell v = get_value(&w);
            u32 vt = TYPE_OF(&v);
            bool fits = block::any_block_q(vt) ||
                        ((string::any_string_q(vt) || vt == TYPE_BINARY) && kind() != IN_BLOCK);
            if (!series::series_q(vt) || !fits) fire("script", "parse-into-type");
            if (series_node(&v) == series_node(input)) fire("script", "parse-into-bad");
            target = stack::push(&v);
            if (mode == AFTER) series_head(target) = length_of(target);
            else series_head(target) = std::min(series_head(target), length_of(target));
        } else {
            target = block::make_at(stack::push_star(), 8);
        }
        KLevel level(*this, NONE_CELL, j, KIND_COLLECT, mode);
        Collect outer = collect;
        collect.target = target;
        collect.append = mode == PLAIN || mode == SET;
        Result r;
        {
            OnExit restore([&] { collect = outer; });
            r = match_rule(rb, j);
        }
        if (r == R_EXIT) return r;
        i = j;
        if (mode == PLAIN) {
            if (collect.target) {
                insert_value(target, true);
            } else {
                *result_block = *target;
                has_result_block = true;
            }
        } else if (mode == SET) {
            context::set(&w, target);
        }
        return r;
    }

    [[gnu::noinline]] Result keep(node_t rb, u32& i) {
        Cell kw = *cell_at(rb, i);
        if (!collect.target) fire("script", "parse-keep");
        u32 j = i + 1;
        bool pick = false;
        if (j < node_length(rb) && is_kw(cell_at(rb, j), KW_PICK)) {
            pick = true;
            j++;
        }
        need_rule(rb, j, &kw);
        stack::TopGuard guard;
        Cell t = *cell_at(rb, j);
        if (TYPE_OF(&t) == TYPE_PAREN) {
            fire_event(EV_PAREN, last_match, rb, j);
            Cell* v = eval_paren(&t);
            insert_value(v, !pick);
            i = j + 1;
            return R_OK;
        }
        KLevel level(*this, NONE_CELL, j, KIND_KEEP, pick ? 1 : 0);
        u32 start = pos();
        Result r = match_rule(rb, j);
        i = j;
        if (!succ(r)) return r;
        u32 p = pos();
        if (p <= start) return r;
        u32 tt = TYPE_OF(collect.target);
        if (!block::any_block_q(tt)) {
            insert_value(copy_part(start), false);
        } else if (pick) {
            for (u32 k = start; k < p; k++) {
                Cell el = element(k);
                insert_value(&el, true);
            }
        } else if (p - start == 1) {
            Cell el = element(start);
            insert_value(&el, true);
        } else {
            insert_value(copy_part(start), true);
        }
        return r;
    }

    // A count (the integer `n`, from the rule `r` at i) and an optional
    // second one, then the rule they repeat.
    [[gnu::noinline]] Result count_rule(node_t rb, u32& i, const Cell* r, i32 n) {
        u32 j = i + 1;
        i32 m = n;
        if (n < 0) fire("script", "out-of-range", r);
        if (j < node_length(rb) && int_rule(cell_at(rb, j), m)) {
            Cell second = *cell_at(rb, j);
            if (m < 0) fire("script", "out-of-range", &second);
            if (m < n) fire("script", "parse-rule", &second);
            j++;
        }
        if (j >= node_length(rb) || is_bar(cell_at(rb, j))) fire("script", "parse-rule", r);
        i = j;
        return repeat(rb, i, n, m, false);
    }

    // -- one rule at index i; i moves past the rule and its arguments --
    Result match_rule(node_t rb, u32& i) {
        const Cell* c = cell_at(rb, i);
        return match_rule_at(rb, i, c, keyword_of(c));
    }

    // match_rule with the rule's cell (in the block, at i) and its keyword
    // already read.
    Result match_rule_at(node_t rb, u32& i, const Cell* c, i32 kw) {
        Cell r = *c;  // as it was before the fetch event
        // The type read from the block, not back from the copy just stored
        // (the same value, without waiting on the store).
        u32 t = TYPE_OF(c);
        fire_event(EV_FETCH, last_match, rb, i);
        if (t == TYPE_WORD) {
            // A word is looked up once: a keyword, a count, or the rule it holds.
            if (kw != KW_NONE_) return keyword(rb, i, kw);
            // An unbound word fails in word_slot with no-value, as get_value would.
            const Cell* slot = word_slot(&r);
            u32 vt = TYPE_OF(slot);
            Cell v = *slot;
            if (vt == TYPE_INTEGER) return count_rule(rb, i, &r, static_cast<i32>(v.data2));
            if (vt == TYPE_UNSET) fire("script", "no-value", &r);
            i++;
            if (vt == TYPE_BLOCK) return match_block(&v, i - 1);
            return value_rule(&v, rb, i - 1);
        }
        if (t == TYPE_INTEGER) return count_rule(rb, i, &r, static_cast<i32>(r.data2));
        switch (t) {
            case TYPE_BLOCK:
                i++;
                return match_block(&r, i - 1);
            case TYPE_PAREN:
                return paren_rule(&r, rb, i);
            case TYPE_SET_WORD: {
                set_word(&r, input);
                i++;
                return R_OK;
            }
            case TYPE_GET_WORD: {
                Cell v = *context::get(&r);
                if (!same_series(&v)) fire("script", "parse-invalid-ref", &r);
                set_pos(std::min(series_head(&v), len()));
                i++;
                return R_OK;
            }
            case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
                fire("script", "parse-rule", &r);
            default:
                i++;
                return value_rule(&r, rb, i - 1);
        }
    }

    Result keyword(node_t rb, u32& i, i32 kw) {
        Cell k = *cell_at(rb, i);
        switch (kw) {
            case KW_SKIP: {
                bool ok = !at_end();
                if (ok) set_pos(pos() + 1);
                last_match = ok;
                fire_event(EV_MATCH, ok, rb, i);
                i++;
                return ok ? R_OK : R_FAIL;
            }
            case KW_ANY: case KW_SOME: case KW_OPT: case KW_WHILE: {
                u32 j = i + 1;
                need_rule(rb, j, &k);
                i = j;
                i32 min, max;
                repeat_bounds(kw, min, max);
                return repeat(rb, i, min, max, kw == KW_WHILE);
            }
            case KW_TO: case KW_THRU:
                return to_thru(rb, i, kw == KW_THRU);
            case KW_COPY: case KW_SET:
                return copy_set(rb, i, kw == KW_COPY);
            case KW_REMOVE:
                return remove(rb, i);
            case KW_BREAK:
                i++;
                return R_BREAK;
            case KW_REJECT:
                i++;
                return R_REJECT;
            case KW_FAIL:
                i++;
                last_match = false;
                return R_FAIL;
            case KW_AHEAD: case KW_NOT:
                return look(rb, i, kw == KW_NOT);
            case KW_END: {
                bool ok = at_end();
                last_match = ok;
                fire_event(EV_MATCH, ok, rb, i);
                i++;
                return ok ? R_OK : R_FAIL;
            }
            case KW_NONE:
                i++;
                return R_OK;
            case KW_QUOTE: {
                u32 j = i + 1;
                if (j >= node_length(rb)) fire("script", "parse-end", &k);
                Cell v = *cell_at(rb, j);
                i = j + 1;
                return value_rule(&v, rb, j);
            }
            case KW_IF: {
                u32 j = i + 1;
                if (j >= node_length(rb) || TYPE_OF(cell_at(rb, j)) != TYPE_PAREN) fire("script", "parse-end", &k);
                Cell p = *cell_at(rb, j);
                fire_event(EV_PAREN, last_match, rb, j);
                stack::TopGuard guard;
                bool ok = !falsy(eval_paren(&p));
                i = j + 1;
                last_match = ok;
                return ok ? R_OK : R_FAIL;
            }
            case KW_CASE: {
                u32 j = i + 1;
                if (j >= node_length(rb) || TYPE_OF(cell_at(rb, j)) != TYPE_WORD) fire("script", "parse-end", &k);
                Cell w = *cell_at(rb, j);
                Cell v = get_value(&w);
                j++;
                need_rule(rb, j, &k);
                KLevel level(*this, NONE_CELL, j, KIND_CASE, op);
                Result r;
                {
                    Restore<i32> case_op(op, falsy(&v) ? 0 : COMP_STRICT_EQUAL);
                    r = match_rule(rb, j);
                }
                i = j;
                return r;
            }
            case KW_INTO:
                return into(rb, i);
            case KW_INSERT:
                return insert(rb, i);
            case KW_CHANGE:
                return change(rb, i);
            case KW_COLLECT:
                return collect_rule(rb, i);
            case KW_KEEP:
                return keep(rb, i);
            default:  // only, pick, after out of place
                fire("script", "parse-rule", &k);
        }
    }
};

}  // namespace

// ---- Interface ---------------------------------------------------------------------

void init() {
    keyword_memo.clear();
    memo_cells = nullptr;
    memo_size = 0;
    for (i32 k = 0; k < KW_COUNT; k++) keyword_syms[k] = symbol::resolve(symbol::make_boot(keyword_names[k]));
    for (u32 e = 0; e < EV_COUNT; e++) event_syms[e] = symbol::make_boot(event_names[e]);
    callback_sym = symbol::make_boot("<parse-callback>");
    rules_node = series_node(block::make_in(nullptr, 100));
    series_node_ = series_node(block::make_in(nullptr, 8));
    rules_head = 0;
    series_head_ = 0;
}

void push_frame() {
    Cell t;
    t = triple_cell(static_cast<i32>(rules_head), static_cast<i32>(series_head_), 0);
    check_stacks();
    append_to(rules_node, &t);
    rules_head = node_length(rules_node);
    series_head_ = node_length(series_node_);
}

void pop_frame() {
    if (rules_head == 0) return;
    Cell t = *cell_at(rules_node, rules_head - 1);
    truncate(rules_node, rules_head - 1);
    truncate(series_node_, series_head_);
    rules_head = t.data1;
    series_head_ = t.data2;
}

void clear_stacks() {
    truncate(rules_node, rules_head);
    truncate(series_node_, series_head_);
}

Cell* rules_block(Cell* out) {
    *out = block_cell(rules_node, rules_head);
    return out;
}

Cell* series_block(Cell* out) {
    *out = block_cell(series_node_, series_head_);
    return out;
}

i32 find_alternative(const Cell* rules, u32 position) {
    i32 bar = Engine::find_alternative_at(series_node(rules), series_head(rules) + position);
    return bar < 0 ? -1 : bar - static_cast<i32>(series_head(rules));
}

void process(Cell* input, Cell* rules, i32 op, i32 part, Cell* tracer, Cell* result) {
    // The stacks are made at start-up and written in place: the collector's
    // write mark, once per parse rather than at every level.
    memory::note_write(GET_BUFFER(rules_node));
    memory::note_write(GET_BUFFER(series_node_));
    stack::TopGuard guard;
    Frame frame;
    Engine e;
    e.input = stack::push(input);
    e.in_kind = kind_of(input);
    series_head(e.input) = std::min(series_head(e.input), length_of(e.input));
    e.result_block = stack::push_star();
    make_cell(e.result_block, TYPE_NONE);
    if (tracer && TYPE_OF(tracer) == TYPE_FUNCTION) {
        function::check_callback(tracer, TRACER_ARITY, "trace");
        e.tracer = stack::push(tracer);
    }
    e.op = op;
    e.limit = part > 0 ? static_cast<u32>(part) : 0;
    append_to(series_node_, input);
    Cell rule_blk = *rules;
    bool ok;
    try {
        Result r = e.match_block(&rule_blk, 0);
        if (r == R_EXIT) return;  // no result: the exit is pending
        ok = succ(r) && e.at_end();
        e.fire_event(EV_END, ok, series_node(&rule_blk), series_head(&rule_blk));
    } catch (Stop& s) {
        make_logic(result, s.match);
        return;
    }
    if (e.has_result_block) *result = *e.result_block;
    else make_logic(result, ok);
}

}  // namespace zav::parse

namespace zav::natives {

// parse input rules /case /part length /trace callback
void parse_star(bool check, const i32* refinements) {
    if (check) check_args(N_PARSE, refinements);
    Cell* args = stack::arguments;
    Cell* input = args;
    Cell* rules = args + 1;
    i32 op = refinements && refinements[0] >= 0 ? COMP_STRICT_EQUAL : COMP_EQUAL;
    i32 end = 0;
    if (refinements && refinements[1] >= 0) {
        Cell* limit = args + refinements[1];
        u32 lt = TYPE_OF(limit);
        if (lt == TYPE_INTEGER) {
            end = static_cast<i32>(series_head(input)) + static_cast<i32>(limit->data2);
        } else if (lt == TYPE_FLOAT) {
            end = static_cast<i32>(series_head(input)) + static_cast<i32>(cell_float(limit));
        } else if (lt == TYPE_OF(input) && series_node(limit) == series_node(input)) {
            end = static_cast<i32>(series_head(limit));
        } else {
            Cell w;
            fire("script", "invalid-refine-arg", series::word_arg(&w, "part"), limit);
        }
        if (end <= 0) {
            bool empty = GET_BUFFER(series_node(input))->length() <= series_head(input);
            make_cell(args, TYPE_LOGIC, empty ? 1 : 0);
            return;
        }
    }
    Cell* tracer = refinements && refinements[2] >= 0 ? args + refinements[2] : nullptr;
    Cell result;
    parse::process(input, rules, op, end, tracer, &result);
    if (stack::pending) [[unlikely]] return;  // the stacks are the exit's now
    *args = result;
}

}  // namespace zav::natives
