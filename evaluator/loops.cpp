// The loop natives (while, until, loop, repeat, forever, foreach, forall,
// remove-each) and the iteration steps they share with compiled loops.
//
// Every loop opens a loop frame named <body> and runs its body through
// interpreter::LoopBody, which takes its break and continue: break leaves the
// loop, continue goes on with the next iteration, any other exit passes on
// (pending: the loop returns at once). The break and continue throwers have
// already unwound the stacks to the loop frame when the loop takes them, with
// the break value (or unset) in the frame's result slot.
#include "evaluator/loops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "datatypes/words.h"

namespace zav::natives {

namespace {

Cell* arg(u32 n) { return stack::arguments + n; }

void open_loop_frame() {
    Cell body;
    make_cell(&body, TYPE_WORD, 0, static_cast<u32>(words::_body), 0xFFFFFFFFu);
    stack::mark_loop(&body);
}

// word!, set-word!, lit-word! and get-word! (not refinement!).
bool plain_word_q(u32 t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

// "A block" to set-many: its values are picked one by one.
bool block_value_q(u32 t) { return block::any_block_q(t) || t == TYPE_MAP; }

// Value i (1-based) from the head of a block value; none past the tail.
Cell pick_value(Cell* value, i32 i) {
    Cell v;
    if (TYPE_OF(value) == TYPE_MAP) {
        actions::typed<action_fn::Pick>(value, ACT_PICK)(value, i, &v);
        return v;
    }
    u32 pos = series_head(value) + static_cast<u32>(i - 1);
    SeriesBuffer* b = GET_BUFFER(series_node(value));
    if (pos >= b->length()) return *make_cell(&v, TYPE_NONE);
    return reinterpret_cast<Cell*>(b->head())[pos];
}

// Word i (1-based) of a words block, checked to be a word.
Cell word_at(Cell* words, i32 i) {
    Cell w = pick_value(words, i);
    if (!plain_word_q(TYPE_OF(&w))) fire("script", "invalid-arg", &w);
    return w;
}

void set_word(Cell* word, const Cell* value) {
    Cell w = *word;
    context::set(&w, value);
}

Cell* iteration_series() { return stack::arguments - 2; }
Cell* iteration_words() { return stack::arguments - 1; }

bool pixel_walk_done(const Cell* image) {
    u32 size = image->data3;
    return series_head(image) >= (size & 0xFFFF) * (size >> 16);
}

[[noreturn]] void bad_loop_series(const Cell* value) {
    Cell v = *value;
    fire("script", "bad-loop-series", &v);
}

}  // namespace

// ---- iteration steps ---------------------------------------------------------

bool foreach_more_q(const Cell* series) {
    u32 t = TYPE_OF(series);
    if (t == TYPE_IMAGE) return !pixel_walk_done(series);
    // A map! walks its pairs in its own step, which tells the end.
    if (t == TYPE_MAP) return true;
    return series_head(series) < GET_BUFFER(series_node(series))->length();
}

bool foreach_next() {
    Cell* s = iteration_series();
    Cell v;
    if (block::any_block_q(TYPE_OF(s))) {
        // The common case first: the next cell of a block, read in place.
        SeriesBuffer* b = GET_BUFFER(series_node(s));
        u32 head = series_head(s);
        if (u64(head) * sizeof(Cell) >= b->used_bytes()) return false;
        v = block::cells_of(b)[head];
    } else {
        if (!foreach_more_q(s)) return false;
        actions::typed<action_fn::Pick>(s, ACT_PICK)(s, 1, &v);
    }
    stack::keep();
    if (Cell* slot = context::plain_slot(iteration_words())) {
        *slot = v;
    } else {
        // The value stays on the stack while an object's setter may run.
        set_word(iteration_words(), stack::push(&v));
        stack::keep();
    }
    series_head(iteration_series())++;
    return true;
}

bool foreach_next_block(i32 n) {
    Cell* s = iteration_series();
    bool more = foreach_more_q(s) && n > 0;
    if (!more) return false;
    Cell* words = iteration_words();
    u32 t = TYPE_OF(s);
    if (string::any_string_q(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
        set_many_string(words, s, n);
    } else if (t == TYPE_MAP) {
        if (n != 2) fire("script", "invalid-arg", words);
        // The map's own step keeps its position (counted in pairs).
        return map::foreach_next(words, s, n);
    } else if (t == TYPE_IMAGE) {
        image::get_pixels(words, s, n);
    } else {
        set_many(words, s, n, true, false, false);
    }
    series_head(iteration_series()) += static_cast<u32>(n);
    return true;
}

void set_many(Cell* words, Cell* value, i32 n, bool any, bool only, bool some) {
    bool block = block_value_q(TYPE_OF(value)) && !only;
    if (block) {
        for (i32 i = 1; i <= n; i++) {
            Cell w = word_at(words, i);
            Cell v = pick_value(value, i);
            if (!any && TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", &w);
        }
    }
    for (i32 i = 1; i <= n; i++) {
        Cell v = block ? pick_value(value, i) : *value;
        if (some && TYPE_OF(&v) == TYPE_NONE) continue;
        Cell w = word_at(words, i);
        stack::keep();
        // The value stays on the stack while an object's setter may run.
        set_word(&w, stack::push(&v));
        stack::keep();
    }
}

void set_many_string(Cell* words, Cell* series, i32 n) {
    auto pick = actions::typed<action_fn::Pick>(series, ACT_PICK);
    for (i32 i = 1; i <= n; i++) {
        Cell w = word_at(words, i);
        stack::keep();
        Cell* v = stack::push_star();
        make_cell(v, TYPE_NONE);
        pick(series, i, v);
        set_word(&w, v);
        stack::keep();
    }
}

void remove_each_helper(i32 n) {
    if (!logic::is_true(stack::arguments)) return;
    Cell* s = iteration_series();
    // The body may have shortened the series: remove only what is still there.
    u32 len = GET_BUFFER(series_node(s))->length();
    u32 pos = series_head(s) >= static_cast<u32>(n) ? series_head(s) - static_cast<u32>(n) : 0;
    if (pos > len) pos = len;
    Cell* target = stack::push(s);
    series_head(target) = pos;
    Cell* part = n == 1 ? nullptr : stack::arguments - 3;
    actions::typed<action_fn::Remove>(target, ACT_REMOVE)(target, part, nullptr);
    u32 t = TYPE_OF(target);
    series_head(iteration_series()) = series::series_q(t) ? series_head(target) : pos;
    stack::pop(1);
}

bool forall_next(bool advance) {
    Cell word = *(stack::arguments - 1);
    Cell* value = context::get(&word);
    if (!series::series_q(TYPE_OF(value))) bad_loop_series(value);
    if (advance) series_head(value)++;
    if (TYPE_OF(value) == TYPE_IMAGE) return pixel_walk_done(value);
    return series_head(value) >= GET_BUFFER(series_node(value))->length();
}

void forall_restore() {
    Cell saved = *(stack::arguments - 2);
    set_word(stack::arguments - 1, &saved);
}

Cell* float_to_integer_arg(Cell* cell) {
    if (TYPE_OF(cell) != TYPE_FLOAT) return cell;
    double d = std::trunc(cell_float(cell));
    // Out-of-range counts saturate; NaN counts as 0.
    i32 v = std::isnan(d) ? 0 : d >= 2147483647.0 ? 2147483647 : d <= -2147483648.0 ? INT32_MIN : static_cast<i32>(d);
    return integer::make_at(cell, v);
}

void loop_count_arg() { float_to_integer_arg(stack::arguments); }

void loop_index_step(Cell* word) {
    Cell w = *word;
    Cell* slot = context::get(&w);
    if (TYPE_OF(slot) != TYPE_INTEGER) return;
    Cell next = *slot;
    next.data2 = static_cast<u32>(static_cast<i32>(next.data2) + 1);
    node_t ctx = word_ctx(&w);
    if (ctx && context::kind_of(context::TO_CTX(ctx)) == context::KIND_OBJECT) {
        context::set(&w, &next);
    } else {
        *slot = next;
    }
}

// ---- loop natives ------------------------------------------------------------

void while_star(bool check, const i32* refinements) {
    if (check) check_args(N_WHILE, refinements);
    interpreter::LoopBody cond(arg(0));
    interpreter::LoopBody body(arg(1));
    open_loop_frame();
    body.run_while(cond);
    if (stack::pending) [[unlikely]] return;
    stack::unwind();
    make_cell(stack::arguments, TYPE_UNSET);
}

void until_star(bool check, const i32* refinements) {
    if (check) check_args(N_UNTIL, refinements);
    interpreter::LoopBody body(arg(0));
    open_loop_frame();
    body.run_until();
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void loop_star(bool check, const i32* refinements) {
    if (check) check_args(N_LOOP, refinements);
    loop_count_arg();
    i32 n = integer::get(arg(0));
    if (n < 1) {
        make_cell(arg(0), TYPE_NONE);
        return;
    }
    interpreter::LoopBody body(arg(1));
    open_loop_frame();
    body.run_times(n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void repeat_star(bool check, const i32* refinements) {
    if (check) check_args(N_REPEAT, refinements);
    Cell* word = arg(0);
    Cell* counter = float_to_integer_arg(arg(1));
    interpreter::LoopBody body(arg(2));
    i32 n = integer::get(counter);
    if (n < 1) {
        make_cell(arg(0), TYPE_NONE);
        return;
    }
    counter->data2 = 1;
    open_loop_frame();
    body.run_counted(word, counter, n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void forever_star(bool check, const i32* refinements) {
    if (check) check_args(N_FOREVER, refinements);
    interpreter::LoopBody body(arg(0));
    open_loop_frame();
    body.run_forever();
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

namespace {

// The word spec of foreach and remove-each: the record size, checked.
i32 record_size(Cell* spec, Cell* series) {
    if (TYPE_OF(spec) == TYPE_BLOCK) {
        i32 n = static_cast<i32>(block::zs_length_q(spec));
        if (n < 1) fire("script", "invalid-arg", spec);
        for (i32 i = 1; i <= n; i++) word_at(spec, i);
        if (TYPE_OF(series) == TYPE_MAP && n != 2) fire("script", "invalid-arg", spec);
        return n;
    }
    if (TYPE_OF(series) == TYPE_MAP) fire("script", "invalid-arg", spec);
    return 0;
}

// remove-each's walk: foreach's steps, `after` (a callable) following each
// body that ended normally.
template <class AfterBody>
void walk(i32 n, interpreter::LoopBody& body, AfterBody& after) {
    struct State {
        i32 n;
        AfterBody* after;
    } state{n, &after};
    body.run_walk({[](void* s) {
                       i32 k = static_cast<State*>(s)->n;
                       return k > 0 ? foreach_next_block(k) : foreach_next();
                   },
                   [](void* s) { (*static_cast<State*>(s)->after)(); }, &state});
}

}  // namespace

void foreach_star(bool check, const i32* refinements) {
    if (check) check_args(N_FOREACH, refinements);
    i32 n = record_size(arg(0), arg(1));
    interpreter::LoopBody body(arg(2));
    stack::push(arg(1));
    stack::push(arg(0));
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    body.run_foreach(n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

namespace {

// The records remove-each's body chose to drop, taken out in one pass when
// the walk ends (normally, by break or by an error): removing each at once
// would move the rest of the series every time. Until then the body sees the
// series whole. Each record's units are kept, so that a body that changed
// the series can be checked: a record past a shortened tail is gone already;
// one whose place no longer holds its units is an error, never a removal of
// something else.
struct Removals {
    node_t node;
    bool cells;  // a block (16-byte cells), else a string or binary (characters or bytes)
    u32 start_length;
    std::vector<u32> starts;  // record positions, ascending
    std::vector<u32> counts;  // elements of each record (the last may be short)
    std::vector<Cell> kept_cells;  // the records' elements, in order
    std::vector<u32> kept_chars;   // (code points: a string may widen meanwhile)

    // Block and string buffers are plain runs of elements; a hash! must update
    // its table and an owned series tell its owner at each removal.
    static bool applies_q(const Cell* s) {
        u32 t = TYPE_OF(s);
        if (t == TYPE_HASH || !(block::any_block_q(t) || string::any_string_q(t) || t == TYPE_BINARY)) return false;
        return !(GET_BUFFER(series_node(s))->flags & SERIES_OWNED);
    }

    explicit Removals(const Cell* s)
        : node(series_node(s)), cells(block::any_block_q(TYPE_OF(s))),
          start_length(GET_BUFFER(series_node(s))->length()) {}

    // After a body that answered: drops the record just walked when the answer is true.
    void note(i32 n) {
        if (!logic::is_true(stack::arguments)) return;
        SeriesBuffer* b = GET_BUFFER(node);
        u32 len = b->length(), unit = b->unit();
        u32 head = series_head(iteration_series());
        u32 pos = head >= static_cast<u32>(n) ? head - static_cast<u32>(n) : 0;
        if (pos >= len || (!starts.empty() && pos < starts.back() + counts.back())) return;
        u32 count = std::min(static_cast<u32>(n), len - pos);
        starts.push_back(pos);
        counts.push_back(count);
        const u8* from = b->head() + u64(pos) * unit;
        for (u32 k = 0; k < count; k++, from += unit) {
            if (cells) kept_cells.push_back(*reinterpret_cast<const Cell*>(from));
            else kept_chars.push_back(string::get_char(from, unit));
        }
    }

    // Takes the records out; answers false when one is no longer where it was.
    bool finish() {
        if (starts.empty()) return true;
        SeriesBuffer* b = GET_BUFFER(node);
        u32 len = b->length(), unit = b->unit();
        u8* base = b->head();
        u64 w = 0, r = 0;  // write and read positions in bytes
        size_t k = 0;      // first kept element of the record
        bool ok = true;
        for (size_t i = 0; i < starts.size(); i++) {
            u32 count = counts[i];
            size_t first = k;
            k += count;
            if (starts[i] + count > len) continue;  // past a shortened tail: gone already
            const u8* at_p = base + u64(starts[i]) * unit;
            bool same = true;
            for (u32 j = 0; j < count && same; j++) {
                if (cells) same = std::memcmp(at_p + u64(j) * unit, &kept_cells[first + j], sizeof(Cell)) == 0;
                else same = string::get_char(at_p + u64(j) * unit, unit) == kept_chars[first + j];
            }
            if (!same) {  // moved by the body: never remove another
                ok = false;
                continue;
            }
            u64 at = u64(starts[i]) * unit;
            if (w != r) std::memmove(base + w, base + r, at - r);
            w += at - r;
            r = at + u64(count) * unit;
        }
        u64 end = u64(len) * unit;
        if (r > end) r = end;
        if (w != r) std::memmove(base + w, base + r, end - r);
        w += end - r;
        b->tail = b->offset + static_cast<u32>(w);
        starts.clear();
        return ok;
    }
};

}  // namespace

void remove_each_star(bool check, const i32* refinements) {
    if (check) check_args(N_REMOVE_EACH, refinements);
    i32 n = record_size(arg(0), arg(1));
    interpreter::LoopBody body(arg(2));
    Cell data = *arg(1);
    integer::push(n > 0 ? n : 1);
    stack::push(arg(1));
    stack::push(arg(0));
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    i32 size = n > 0 ? n : 1;
    if (Removals::applies_q(&data)) {
        Removals removals(&data);
        auto note = [&removals, size] { removals.note(size); };
        try {
            walk(n, body, note);
        } catch (Throw&) {
            removals.finish();  // what was decided before the error still goes
            throw;
        }
        bool same = removals.finish();
        if (stack::pending) [[unlikely]] return;
        if (!same) fire("script", "protected");
    } else {
        auto remove = [size] { remove_each_helper(size); };
        walk(n, body, remove);
        if (stack::pending) [[unlikely]] return;
    }
    stack::unwind();
    copy_cell(&data, stack::arguments);
}

void forall_star(bool check, const i32* refinements) {
    if (check) check_args(N_FORALL, refinements);
    Cell* word = arg(0);
    interpreter::LoopBody body(arg(1));
    Cell start = *context::get(word);
    u32 t = TYPE_OF(&start);
    if (!series::series_q(t)) {
        Cell name, type;
        series::word_arg(&name, "forall");
        datatype::make_at(&type, t);
        fire("script", "expect-arg", &name, &type, word);
    }
    stack::push(&start);
    stack::push(word);
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    // After each run (also one that continued): the word must still hold
    // the same series; it moves on by one.
    struct State {
        Cell* word;
        Cell* start;
        bool first;
    } state{word, &start, true};
    bool broke = !body.run_walk({[](void* p) {
                                     auto* s = static_cast<State*>(p);
                                     if (!s->first) {
                                         Cell* now = context::get(s->word);
                                         if (!series::series_q(TYPE_OF(now)) || series_node(now) != series_node(s->start))
                                             bad_loop_series(now);
                                         if (forall_next(true)) return false;
                                     }
                                     s->first = false;
                                     return foreach_more_q(context::get(s->word));
                                 },
                                 nullptr, &state});
    if (stack::pending) [[unlikely]] return;
    if (!broke) forall_restore();
    stack::unwind_last();
}

}  // namespace zav::natives
