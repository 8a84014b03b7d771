// The library's routines: routine! bodies written in C++. Each works on the
// current frame's arguments and leaves its result in stack::arguments[0]; a
// routine that declares no result leaves its first argument there.
#include "library/routines.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "console/routines.h"
#include "console/script.h"
#include "library/codecs.h"
#include "library/csv.h"
#include "library/image_codecs.h"
#include "library/json.h"
#include "library/math.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/simple_io.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/user_code.h"
#include "datatypes/word.h"
#include "library/host.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "evaluator/frames.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/platform/files.h"
#include "runtime/platform/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::routines {

namespace {

Cell* arg(u32 i) { return stack::arguments + i; }
i32 int_arg(u32 i) { return static_cast<i32>(arg(i)->data2); }
void result_logic(bool b) { make_cell(arg(0), TYPE_LOGIC, b ? 1 : 0); }
void result_integer(i32 n) { make_cell(arg(0), TYPE_INTEGER, 0, static_cast<u32>(n)); }
void result_none() { make_cell(arg(0), TYPE_NONE); }

// script/expect-arg naming the running routine, a datatype and a parameter.
[[noreturn]] void expect_arg(u32 type, const char* param) {
    Cell name, dt, p;
    frames::get_call_name(&name);
    set_type(&name, TYPE_WORD);
    make_cell(&dt, TYPE_DATATYPE, type);
    word::make_at(symbol::make(param), &p);
    fire("script", "expect-arg", &name, &dt, &p);
}

// ---- builtins called by routines --------------------------------------------------------

// A native or action a routine calls in a frame of its own, named by its
// global word, as the library functions these routines replaced called it:
// the errors it raises name it. Read from the global context as the natives
// left it, before the library runs (a collector root: a script may set the
// word to another value).
struct Builtin {
    Cell word;
    Cell value;
};
Builtin to_builtin, reduce_builtin;

void read_builtin(Builtin* b, const char* name) {
    b->word = *context::add_global_word(symbol::make(name), true, false);
    b->value = *context::get_in(&b->word, context::TO_CTX(context::global));
}

// The builtin called with the `count` values from `args` by `entry`, which
// works on its frame as the builtin's entry does; its value goes to arg(0),
// unless an exit or error it raised is pending (the stacks are then its
// target's).
template <class Entry>
void call_framed(const Builtin& b, const Cell* args, u32 count, Entry entry) {
    stack::push(&b.value);
    stack::mark_kind82(&b.word);
    for (u32 i = 0; i < count; i++) stack::push(args + i);
    entry();
    if (stack::pending) [[unlikely]] return;
    const Cell result = *stack::arguments;
    stack::unwind();
    *arg(0) = result;
}

// User code a routine runs as a library function's body would run it: the
// routine's frame is a body frame meanwhile, so that a return or exit in
// that code ends the routine with its value, as it ended the function.
// False when one did.
template <class Code>
bool as_body(Code code) {
    CallFrame* me = stack::frame_top - 1;
    me->header |= FRAME_BODY;
    try {
        code();
    } catch (Throw& t) {
        me->header &= ~FRAME_BODY;
        if (t.value != THROW_RETURN && t.value != THROW_EXIT) throw;
        return false;
    }
    me->header &= ~FRAME_BODY;
    if (stack::pending == THROW_RETURN || stack::pending == THROW_EXIT) {
        stack::pending = 0;
        return false;
    }
    return true;
}

// ---- process, values and slots ------------------------------------------------------

// The process's status is 8 bits: a status outside 0 to 255 must not end up
// 0, success. Negative ones keep their low byte (-2 is 254); larger ones are 255.
int exit_status(i32 n) {
    if (n >= 0 && n <= 255) return n;
    if (n > 255) return 255;
    return (n & 0xFF) ? (n & 0xFF) : 255;
}

void quit_return() {
    std::fflush(nullptr);
    rt::free_all();
    std::exit(exit_status(int_arg(0)));
}

// attempt's body: the block tried, none where it failed (`all`: where
// anything stopped it).
void attempt_() {
    natives::attempt_block(TYPE_OF(arg(1)) == TYPE_LOGIC && arg(1)->data1);
}

void set_quiet() {
    Cell* w = arg(0);
    u32 t = TYPE_OF(w);
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
        Cell name, dt, p;
        frames::get_call_name(&name);
        set_type(&name, TYPE_WORD);
        make_cell(&dt, TYPE_DATATYPE, t);
        word::make_at(symbol::make("word"), &p);
        fire("script", "expect-arg", &name, &dt, &p);
    }
    // An unbound word has no context to store through.
    if (!word_ctx(w)) fire("script", "not-defined", w);
    Cell value = *arg(1);
    context::set_in(w, &value, context::TO_CTX(word_ctx(w)), false);
    *arg(0) = value;
}

void set_slot_quiet() {
    Cell* s = arg(0);
    u32 t = TYPE_OF(s);
    if (t != TYPE_BLOCK && t != TYPE_PAREN && !block::any_path_q(t)) expect_arg(TYPE_BLOCK, "series");
    u32 head = series_head(s);
    if (head < block::buffer_of(s)->length()) *block::zs_abs_at(s, head) = *arg(1);
}

// shift's refinements: /left, /logical.
void shift_with(i32 left, i32 logical) {
    i32 refinements[2] = {left, logical};
    natives::call(natives::N_SHIFT, false, refinements);
}
void shift_right() { shift_with(-1, -1); }
void shift_left() { shift_with(0, -1); }
void shift_logical() { shift_with(-1, 0); }

void last_lf_q() { result_logic(natives::line_ended); }

// ---- files and the system -------------------------------------------------------------

void get_current_dir() { file::get_current_dir(arg(0)); }

void set_current_dir() {
    Cell path = *arg(0);
    if (!platform::set_current_dir(file::to_OS_path(&path).c_str())) fire("access", "cannot-open", &path);
}

void create_dir() {
    Cell path = *arg(0);
    if (!platform::create_dir(file::to_OS_path(&path).c_str())) fire("access", "no-create", &path);
}

void exists_q() { result_logic(platform::exists(file::to_OS_path(arg(0)).c_str())); }

void home_folder() {
    std::string home = platform::home_folder();
    file::load(reinterpret_cast<const u8*>(home.data()), static_cast<u32>(home.size()), arg(0));
}

void own_or_absent_q() { result_logic(platform::own_or_absent(file::to_OS_path(arg(0)).c_str())); }

void warn() {
    std::string text;
    simple_io::to_bytes(arg(0), -1, false, text);
    text += '\n';
    (void)simple_io::write_all(STDERR_FILENO, text);
    make_cell(arg(0), TYPE_UNSET);
}

void os_info() { *arg(0) = *host::os_info(); }

// ---- float text switches ------------------------------------------------------------

// The second switch is kept for scripts that set it; no formatting step reads it.
bool float_full = false;

// system/options/float/on-change*: pretty? turns the formatter's pretty
// printing on or off; full? sets the other switch.
void float_switch() {
    const char* name = symbol::get_c_string(static_cast<i32>(arg(0)->data2));
    Cell* v = arg(1);
    bool on = !(TYPE_OF(v) == TYPE_NONE || (TYPE_OF(v) == TYPE_LOGIC && !v->data1));
    if (std::strcmp(name, "pretty?") == 0) float_::pretty_print_q = on;
    else if (std::strcmp(name, "full?") == 0) float_full = on;
}

// ---- tuples ----------------------------------------------------------------------------

void result_tuple(u32 count, const u8* bytes) {
    Cell* out = make_cell(arg(0), TYPE_TUPLE | (count << 19));
    std::memcpy(&out->data1, bytes, count);
}

void check_components(u32 count) {
    for (u32 i = 0; i < count; i++)
        if (int_arg(i) < 0) fire("script", "invalid-arg", arg(i));
}

void as_color() {
    check_components(3);
    u8 bytes[3];
    for (u32 i = 0; i < 3; i++) bytes[i] = static_cast<u8>(int_arg(i) % 256);
    result_tuple(3, bytes);
}

// The components are or-ed into one word unreduced, so one above 255 spills
// into the next byte.
void as_ipv4() {
    check_components(4);
    u32 word = 0;
    for (u32 i = 0; i < 4; i++) word |= static_cast<u32>(int_arg(i)) << (8 * i);
    u8 bytes[4] = {static_cast<u8>(word), static_cast<u8>(word >> 8), static_cast<u8>(word >> 16),
                   static_cast<u8>(word >> 24)};
    result_tuple(4, bytes);
}

// ---- binaries ---------------------------------------------------------------------------

// Characters from start's position up to pos's position in the same buffer;
// an end beyond the tail stops at the tail, and a sequence cut by the end
// still counts as one character.
void count_chars() {
    SeriesBuffer* b = GET_BUFFER(series_node(arg(0)));
    u32 length = b->length();
    u32 from = series_head(arg(0));
    u32 to = series_head(arg(1));
    if (to > length) to = length;
    i32 count = 0;
    const u8* p = b->head() + from;
    const u8* end = b->head() + to;
    while (p < end) {
        i32 cp;
        const u8* next = unicode::fast_decode_utf8_char(p, end, &cp);
        p = next > p ? next : p + 1;
        count++;
    }
    result_integer(count);
}

// empty?'s test in one call: true for none, a series at or past its tail
// and an empty map.
void empty_q() {
    result_logic(TYPE_OF(arg(0)) == TYPE_NONE || actions::length_q_dispatch(arg(0)) == 0);
}

// first .. fifth and last: pick's work on the argument (the index in a
// rooted cell, as pick's own argument, for the error that names it).
void pick_nth(i32 n) {
    Cell* index = stack::push_star();
    make_cell(index, TYPE_INTEGER, 0, static_cast<u32>(n));
    Cell value = *actions::pick_dispatch(arg(0), n, index);
    *arg(0) = value;
}
void pick_first() { pick_nth(1); }
void pick_second() { pick_nth(2); }
void pick_third() { pick_nth(3); }
void pick_fourth() { pick_nth(4); }
void pick_fifth() { pick_nth(5); }
void pick_last() { pick_nth(actions::length_q_dispatch(arg(0))); }

// split's scan of a text: each piece up to the next delimiter, the delimiter
// skipped, then what remains after the last one (an empty string when the
// text ends with one). Delimiters are found as parse's `to` finds them in
// text, letter case ignored, and a piece is a copy of the text's own type.
// An empty text delimiter, which would never move the scan on, is an
// invalid argument.
void split_text() {
    u32 len = string::zs_abs_length_q(arg(0));
    u32 pos = series_head(arg(0));
    u32 skip = 1;
    if (TYPE_OF(arg(1)) == TYPE_STRING) {
        const u32 dlm_len = string::zs_abs_length_q(arg(1));
        if (series_head(arg(1)) >= dlm_len) fire("script", "invalid-arg", arg(1));
        skip = dlm_len - series_head(arg(1));
    }
    // One-byte text split at one-byte text or a character below 256: the
    // delimiter found by the byte search that find uses, without its set-up.
    u8 one = 0;
    u32 dn = 0;
    if (GET_BUFFER(series_node(arg(0)))->unit() == 1) {
        if (TYPE_OF(arg(1)) == TYPE_CHAR && arg(1)->data2 < 256) {
            one = static_cast<u8>(arg(1)->data2);
            dn = 1;
        } else if (TYPE_OF(arg(1)) == TYPE_STRING && skip > 0 && GET_BUFFER(series_node(arg(1)))->unit() == 1) {
            dn = skip;
            one = *(GET_BUFFER(series_node(arg(1)))->head() + series_head(arg(1)));
        }
    }
    // Pieces allocate: a longer delimiter's buffer is found again each time.
    auto delimiter = [&]() {
        return dn == 1 ? &one : GET_BUFFER(series_node(arg(1)))->head() + series_head(arg(1));
    };
    // A delimiter byte that no letter case can change (the commonest: a
    // blank, a comma, a line end) is counted first, so that the block is
    // made once at its size.
    u32 pieces = 8;
    const bool counted = dn == 1 && one < 0x80 && u32((one | 0x20) - 'a') >= 26;
    if (counted && pos < len) {
        const u8* text = GET_BUFFER(series_node(arg(0)))->head();
        pieces = 1 + string::count_byte(text + pos, text + len, one);
    }
    Cell* out = block::push_only_star(pieces);
    collector::GuardedCell piece;
    auto keep = [&](u32 from, u32 n) {
        piece.value = Cell{arg(0)->header, 0, copy_series_part(series_node(arg(0)), from, n), 0};
        block::zs_append(out, &piece.value);
    };
    // A delimiter byte that letter case cannot change is found by memchr.
    while (pos < len && counted) {
        const u8* text = GET_BUFFER(series_node(arg(0)))->head();
        const void* hit = std::memchr(text + pos, one, len - pos);
        if (!hit) break;
        u32 at = static_cast<u32>(static_cast<const u8*>(hit) - text);
        keep(pos, at - pos);
        pos = at + 1;
    }
    while (pos < len && dn && !counted) {
        const u8* text = GET_BUFFER(series_node(arg(0)))->head();
        i64 hit = string::find_narrow(text, pos, len, delimiter(), dn, true);
        if (hit < 0) break;
        keep(pos, static_cast<u32>(hit) - pos);
        pos = static_cast<u32>(hit) + skip;
    }
    while (pos < len && !dn) {
        Cell probe = *arg(0), what = *arg(1), part;
        series_head(&probe) = pos;
        make_cell(&part, TYPE_INTEGER, 0, len - pos);
        string::find(&probe, &what, &part, false, false, false, false, nullptr, nullptr, false, false, false, false);
        if (TYPE_OF(&probe) == TYPE_NONE) break;
        u32 hit = series_head(&probe);
        keep(pos, hit - pos);
        pos = hit + skip;
    }
    if (pos >= len) {
        string::make_at(&piece.value, 0);
        block::zs_append(out, &piece.value);
    } else {
        keep(pos, len - pos);
    }
    *arg(0) = *out;
}

// rejoin: the block reduced in `reduce`'s own frame (a return in it ends
// rejoin, whose body it was when rejoin was a function), then joined. An empty
// block is the result; else a copy of its first value (formed when it is no
// series) with the rest appended as `append` appends a block's values. Onto
// text each value is appended in turn, as `append` forms them (text as it
// is, a character as itself, any other value formed), into a string made
// once with room for the text values.
void join_text(Cell* out, const Cell* rest);
void rejoin() {
    const Cell block = *arg(0);
    const bool reduced = as_body([&] {
        call_framed(reduce_builtin, &block, 1, [] {
            i32 refs[32];
            std::fill(refs, refs + 32, -1);
            natives::call(natives::N_REDUCE, false, refs);
        });
    });
    if (!reduced || stack::pending) [[unlikely]] return;
    if (series::tail_at_q(arg(0))) return;
    Cell first = block::cells_of(GET_BUFFER(series_node(arg(0))))[series_head(arg(0))];
    Cell rest = *arg(0);
    series_head(&rest) += 1;
    Cell* out;
    if (TYPE_OF(&first) == TYPE_STRING || !series::series_q(TYPE_OF(&first))) {
        // Room for the text values, the others' forms counted as a few bytes.
        u64 room = 0;
        const Cell* cells = block::cells_of(GET_BUFFER(series_node(arg(0))));
        for (u32 i = series_head(arg(0)), n = GET_BUFFER(series_node(arg(0)))->length(); i < n; i++)
            room += TYPE_OF(cells + i) == TYPE_STRING ? string::zs_length_q(cells + i) : 8;
        out = string::make_push(static_cast<u32>(std::min<u64>(room, 1u << 20)));
        if (TYPE_OF(&first) == TYPE_STRING) string::append(out, &first);
        else actions::form_dispatch(&first, out, nullptr, 0);
        join_text(out, &rest);
        *arg(0) = *out;
        return;
    }
    if (TYPE_OF(&first) == TYPE_IMAGE) {
        // append takes no image!: its argument check's error.
        Cell name, dt, p;
        word::make_at(symbol::make("append"), &name);
        make_cell(&dt, TYPE_DATATYPE, TYPE_IMAGE);
        word::make_at(symbol::make("series"), &p);
        fire("script", "expect-arg", &name, &dt, &p);
    }
    out = stack::push_star();
    actions::copy_dispatch(&first, out, nullptr, false, nullptr);
    *arg(0) = *actions::append_dispatch(out, &rest, nullptr, false, nullptr);
}

void join_text(Cell* out, const Cell* rest) {
    const node_t node = series_node(rest);
    for (u32 i = series_head(rest);; i++) {
        SeriesBuffer* b = GET_BUFFER(node);  // forming may move it
        if (i >= b->length()) break;
        Cell item = block::cells_of(b)[i];
        if (TYPE_OF(&item) == TYPE_STRING) string::append(out, &item);
        else if (TYPE_OF(&item) == TYPE_CHAR) string::append_char(out, item.data2);
        else actions::form_dispatch(&item, out, nullptr, -1);
    }
}

// replace/all of one-byte text by one-byte text in a one-byte string: the
// matches found by the byte search that find uses and the result built in
// one pass, then put in by the one change of the general way. False (nothing
// done) for any other arguments.
bool replace_narrow(bool case_) {
    auto narrow = [](const Cell* c) {
        return string::any_string_q(TYPE_OF(c)) && TYPE_OF(c) != TYPE_TAG && GET_BUFFER(series_node(c))->unit() == 1;
    };
    if (!narrow(arg(0)) || !narrow(arg(1)) || TYPE_OF(arg(2)) != TYPE_STRING || !narrow(arg(2))) return false;
    auto text_at = [](const Cell* c, u32* n) {
        SeriesBuffer* b = GET_BUFFER(series_node(c));
        u32 head = std::min(series_head(c), b->used_bytes());
        *n = b->used_bytes() - head;
        return b->head() + head;
    };
    u32 len = GET_BUFFER(series_node(arg(0)))->used_bytes();
    const u8* t = GET_BUFFER(series_node(arg(0)))->head();
    u32 pn, vn;
    const u8* p = text_at(arg(1), &pn);
    const u8* v = text_at(arg(2), &vn);
    u32 pos = series_head(arg(0));
    // Built aside in one buffer kept from call to call (nothing runs while it fills).
    static std::vector<u8> out;
    u64 size = 0;
    auto put = [&](const u8* from, u64 n) {
        if (!n) return;  // an empty buffer has no data to copy to
        if (size + n > out.size()) out.resize(std::max<u64>(2 * out.size(), size + n));
        copy_bytes(out.data() + size, from, static_cast<u32>(n));
        size += n;
    };
    bool found = false;
    for (i64 hit; pos < len && (hit = string::find_narrow(t, pos, len, p, pn, !case_)) >= 0; found = true) {
        put(t + pos, static_cast<u64>(hit) - pos);
        put(v, vn);
        pos = static_cast<u32>(hit) + pn;
    }
    if (!found) return true;  // the series stays as it is
    put(t + pos, len - pos);
    if (size > 0x3FFFFFFF) fire("internal", "no-memory");
    // Nobody hears of the change of a series no one owns: the result is
    // written over its text from its position, as the change would leave
    // it. An owned one takes the change, which tells its owner.
    SeriesBuffer* b = GET_BUFFER(series_node(arg(0)));
    const bool in_place = !(b->flags & SERIES_OWNED);
    Cell value;
    if (in_place) {
        const u32 head = series_head(arg(0));
        const u64 need = u64(head) + size;
        if (need > off_of(b->data_end()) - b->offset)
            b = expand_series(b, static_cast<u32>(std::min<u64>(need * 2, 0x7FFFFFFF)));
        std::memcpy(b->head() + head, out.data(), size);
        b->tail = b->offset + static_cast<u32>(need);
    } else {
        Cell* result = string::make_push(static_cast<u32>(size));
        SeriesBuffer* rb = GET_BUFFER(series_node(result));
        std::memcpy(rb->head(), out.data(), size);
        rb->tail += static_cast<u32>(size);
        value = *result;
    }
    if (out.size() > (1u << 20)) std::vector<u8>().swap(out);  // a large text's room is given back
    if (in_place) return true;
    Cell series = *arg(0), end = *arg(0);
    series_head(&end) = len;
    actions::change_dispatch(&series, &value, &end, false, nullptr);
    return true;
}

// replace's routine. A plain pattern (no parse rule) and a plain new value
// (no function): the pattern formed when text is searched for a value that
// is not text, the extent of a match, then the first match changed or, with
// /all, every match found as `find` finds it, the result built aside and put
// into the series by one change so that the tail moves once. A tag is
// worked on as its text (the same buffer), so that its pieces take no angle
// brackets. A block or bitset pattern (a rule), a function value or /deep:
// the library's `_replace-rule` does it, named as `replace`. Arguments: the
// series, the pattern, the new value, the /all, /deep and /case slots; the
// result is the series as given.
void replace_with(bool all, bool case_);
void replace_rule();
void replace_series() {
    auto on = [](const Cell* c) { return !(TYPE_OF(c) == TYPE_NONE || (TYPE_OF(c) == TYPE_LOGIC && !c->data1)); };
    const Cell series = *arg(0);
    if (on(arg(4)) || TYPE_OF(arg(1)) == TYPE_BLOCK || TYPE_OF(arg(1)) == TYPE_BITSET ||
        TYPE_OF(arg(2)) == TYPE_FUNCTION) {
        replace_rule();
    } else {
        if (TYPE_OF(arg(0)) == TYPE_TAG) set_type(arg(0), TYPE_STRING);
        replace_with(on(arg(3)), on(arg(5)));
    }
    if (stack::pending) return;
    *arg(0) = series;
}

// The library's general replace, called with the six values of the
// routine's frame (kept on the stack while it runs).
void replace_rule() {
    static node_t in = 0;
    static Cell word;
    if (in != context::global) {
        word = *context::add_global_word(symbol::make("_replace-rule"), true, false);
        in = context::global;
    }
    Cell fn = *context::get_in(&word, context::TO_CTX(context::global));
    if (TYPE_OF(&fn) != TYPE_FUNCTION) fire("internal", "routines");
    Cell* base = stack::top;
    stack::push(&fn);
    Cell* args = block::make_at(stack::push_star(), 6);
    for (u32 i = 0; i < 6; i++) block::zs_append(args, arg(i));
    Cell name;
    word::make_at(symbol::make("replace"), &name);
    user_code::evaluator.apply_values(base, args, 0, 6, &name);
    stack::top = base;
}

void replace_with(bool all, bool case_) {
    const u32 st = TYPE_OF(arg(0));
    const bool text = string::any_string_q(st) || st == TYPE_BINARY;
    if (string::any_string_q(st) && (!string::any_string_q(TYPE_OF(arg(1))) || TYPE_OF(arg(1)) == TYPE_TAG)) {
        Cell value = *arg(1);
        Cell* formed = string::make_push(16);
        actions::form_dispatch(&value, formed, nullptr, 0);
        *arg(1) = *formed;
    }
    const u32 pt = TYPE_OF(arg(1));
    const bool any_list = st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH;
    const bool pattern_list = pt == TYPE_BLOCK || pt == TYPE_PAREN || pt == TYPE_HASH;
    u32 many = 1;
    if (text ? series::series_q(pt) : any_list && pattern_list) {
        Cell pattern = *arg(1);
        many = static_cast<u32>(actions::length_q_dispatch(&pattern));
    }
    if (many == 0) return;
    if (all && replace_narrow(case_)) return;
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    Cell pos = *arg(0);
    for (;;) {
        Cell probe = pos, pattern = *arg(1);
        Cell hit = *actions::find_dispatch(&probe, &pattern, nullptr, false, case_, false, false, nullptr, nullptr,
                                           false, false, false, false);
        if (TYPE_OF(&hit) == TYPE_NONE) break;
        Cell value = *arg(2);
        if (!all) {
            Cell part;
            make_cell(&part, TYPE_INTEGER, 0, many);
            actions::change_dispatch(&hit, &value, &part, false, nullptr);
            return;
        }
        if (TYPE_OF(out) == TYPE_NONE) {
            Cell source = *arg(0), none_yet, zero;
            make_cell(&none_yet, TYPE_NONE);
            make_cell(&zero, TYPE_INTEGER, 0, 0);
            *out = *actions::copy_dispatch(&source, &none_yet, &zero, false, nullptr);
        }
        Cell from = pos;
        actions::append_dispatch(out, &from, &hit, false, nullptr);
        actions::append_dispatch(out, &value, nullptr, false, nullptr);
        pos = hit;
        const u32 length = GET_BUFFER(series_node(&hit))->length();
        series_head(&pos) = std::min(series_head(&hit) + many, length);
    }
    if (TYPE_OF(out) == TYPE_NONE) return;
    actions::append_dispatch(out, &pos, nullptr, false, nullptr);
    Cell series = *arg(0), end = *arg(0), result = *out;
    series_head(&end) = GET_BUFFER(series_node(&end))->length();
    actions::change_dispatch(&series, &result, &end, false, nullptr);
}

// ---- stacks and tracing ------------------------------------------------------------------

i32 stack_size() { return static_cast<i32>(stack::top - stack::bottom); }
void stack_size_q() { result_integer(stack_size()); }

void pick_stack() {
    i32 idx = int_arg(0);
    i32 size = stack_size();
    if (idx > 0 && idx < size) *arg(0) = stack::bottom[idx - 1];
    else result_none();
}

void frame_index_q() { result_integer(static_cast<i32>(stack::arguments - stack::bottom)); }

void collect_calls() {
    Cell blk = *arg(0);
    frames::collect_calls(&blk);
    *arg(0) = blk;
}

void tracing_q() { result_logic(interpreter::trace.active); }

// trace on / trace off: delivery in the traced run in progress.
void trace_switch() { interpreter::suspend_trace(!arg(0)->data1); }

// system/state/interpreted?: whether its caller is interpreted user code.
void interpreted_q() { result_logic(!interpreter::called_from_library()); }

// ---- clipboard and standard output ------------------------------------------------------

void read_clipboard() { *arg(0) = *host::read_clipboard(); }
void write_clipboard() { result_logic(host::write_clipboard(arg(0))); }

void write_stdout() {
    Cell* data = arg(0);
    if (TYPE_OF(data) == TYPE_BINARY) {
        SeriesBuffer* b = GET_BUFFER(series_node(data));
        u32 head = series_head(data);
        if (head < b->length()) std::fwrite(b->head() + head, 1, b->length() - head, stdout);
    } else {
        print_hooks::print(data, false);
    }
    std::fflush(stdout);
}

// ---- the collector ----------------------------------------------------------------------

void gc_active_q() { result_logic(collector::active); }
void gc_series_cycles() { result_integer(static_cast<i32>(collector::cycles)); }
// Node frames are never compacted on their own, so no node cycle ever runs.
void gc_nodes_cycles() { result_integer(0); }

// ---- type tests -------------------------------------------------------------------------

// A test for every datatype ("NAME?" for "NAME!") and every named typeset;
// the library says which of them it defines. A datatype test is one
// comparison of the value's type id.
template <u32 TYPE>
void type_test() {
    result_logic(TYPE_OF(arg(0)) == TYPE);
}

// A typeset test reads its typeset from the global word at each call, so a
// script that redefines the word changes the test; the value is taken as a
// typeset as it is.
constexpr u32 MAX_TYPESET_TESTS = 32;
const char* typeset_names[MAX_TYPESET_TESTS];
template <u32 I>
void typeset_test() {
    // The typeset's global word, found once: the global context only grows,
    // so its slot index holds (the value is read at each call).
    static node_t in = 0;
    static Cell word;
    if (in != context::global) {
        word = *context::add_global_word(symbol::make(typeset_names[I]), true, false);
        in = context::global;
    }
    const Cell* ts = context::get_in(&word, context::TO_CTX(context::global));
    result_logic(typeset_has(ts, TYPE_OF(arg(0))));
}

template <u32... I>
constexpr std::array<routine::Entry, sizeof...(I)> type_tests(std::integer_sequence<u32, I...>) {
    return {type_test<I>...};
}
template <u32... I>
constexpr std::array<routine::Entry, sizeof...(I)> typeset_tests(std::integer_sequence<u32, I...>) {
    return {typeset_test<I>...};
}
constexpr auto TYPE_TESTS = type_tests(std::make_integer_sequence<u32, TYPE_TOTAL_COUNT>{});
constexpr auto TYPESET_TESTS = typeset_tests(std::make_integer_sequence<u32, MAX_TYPESET_TESTS>{});

// The tests' table, made once from the datatype and typeset names.
void register_type_tests() {
    static std::vector<std::string> names;
    static std::vector<routine::Row> rows;
    if (rows.empty()) {
        std::vector<std::pair<std::string, routine::Entry>> tests;
        auto add = [&](const char* name, routine::Entry entry) {
            std::string s = name;
            if (s.size() > 1 && s.back() == '!' && s != "unknown!") tests.push_back({s.substr(0, s.size() - 1) + "?", entry});
        };
        // Typesets first: a name found twice is the first one's, and series!
        // names both a typeset and an id that no value has.
        u32 n = typeset::named_count();
        if (n > MAX_TYPESET_TESTS) rt::quit(rt::RT_ERR_NO_CASE, rt::code_address());
        for (u32 i = 0; i < n; i++) {
            typeset_names[i] = typeset::named(i).name;
            add(typeset_names[i], TYPESET_TESTS[i]);
        }
        for (u32 t = 0; t < TYPE_TOTAL_COUNT; t++) add(datatype::name_of(t), TYPE_TESTS[t]);
        names.reserve(tests.size());
        for (auto& [name, entry] : tests) {
            names.push_back(name);
            rows.push_back({names.back().c_str(), entry});
        }
    }
    routine::register_table(rows.data(), static_cast<u32>(rows.size()));
    routine::set_type_tests(TYPE_TESTS.data(), static_cast<u32>(TYPE_TESTS.size()));
}

// ---- converters -------------------------------------------------------------------------

// `to-NAME` for every datatype NAME!: `to NAME! value` (a function value is
// converted, not called), `to` called in its own frame. The library says
// which converters it defines.
void convert(u32 type) {
    Cell args[2];
    datatype::make_at(args, type);
    args[1] = *arg(0);
    call_framed(to_builtin, args, 2, [type] {
        const Cell* r = actions::to_dispatch(stack::arguments, stack::arguments + 1, type);
        if (!stack::pending) stack::set_last(r);
    });
}

template <u32 TYPE>
void convert_to() {
    convert(TYPE);
}
template <u32... I>
constexpr std::array<routine::Entry, sizeof...(I)> converters(std::integer_sequence<u32, I...>) {
    return {convert_to<I>...};
}
constexpr auto CONVERTERS = converters(std::make_integer_sequence<u32, TYPE_TOTAL_COUNT>{});

// The converters' table, made once from the datatype names, and the
// builtins the routines call.
void register_converters() {
    static std::vector<std::string> names;
    static std::vector<routine::Row> rows;
    if (rows.empty()) {
        for (u32 t = 0; t < TYPE_TOTAL_COUNT; t++) {
            std::string name = datatype::name_of(t);
            if (name.size() > 1 && name.back() == '!' && name != "unknown!") names.push_back("to-" + name.substr(0, name.size() - 1));
            else names.emplace_back();
        }
        for (u32 t = 0; t < TYPE_TOTAL_COUNT; t++)
            if (!names[t].empty()) rows.push_back({names[t].c_str(), CONVERTERS[t]});
        collector::register_marker([] {
            collector::mark_value(&to_builtin.value);
            collector::mark_value(&reduce_builtin.value);
        });
    }
    read_builtin(&to_builtin, "to");
    read_builtin(&reduce_builtin, "reduce");
    routine::register_table(rows.data(), static_cast<u32>(rows.size()));
}

const routine::Row ROWS[] = {
    {"quit-return", quit_return},
    {"_attempt", attempt_},
    {"set-quiet", set_quiet},
    {"set-slot-quiet", set_slot_quiet},
    {"shift-right", shift_right},
    {"shift-left", shift_left},
    {"shift-logical", shift_logical},
    {"last-lf?", last_lf_q},
    {"get-current-dir", get_current_dir},
    {"set-current-dir", set_current_dir},
    {"create-dir", create_dir},
    {"exists?", exists_q},
    {"_home-folder", home_folder},
    {"_own-or-absent?", own_or_absent_q},
    {"_warn", warn},
    {"os-info", os_info},
    {"float-switch", float_switch},
    {"as-color", as_color},
    {"as-ipv4", as_ipv4},
    {"count-chars", count_chars},
    {"empty?", empty_q},
    {"first", pick_first},
    {"second", pick_second},
    {"third", pick_third},
    {"fourth", pick_fourth},
    {"fifth", pick_fifth},
    {"last", pick_last},
    {"split", split_text},
    {"rejoin", rejoin},
    {"replace", replace_series},
    {"stack-size?", stack_size_q},
    {"pick-stack", pick_stack},
    {"frame-index?", frame_index_q},
    {"collect-calls", collect_calls},
    {"tracing?", tracing_q},
    {"_trace-switch", trace_switch},
    {"interpreted?", interpreted_q},
    {"read-clipboard", read_clipboard},
    {"write-clipboard", write_clipboard},
    {"write-stdout", write_stdout},
    {"_set-buffer-history", console::set_buffer_history},
    {"_read-input", console::read_input},
    {"_terminate-console", console::terminate_console},
    {"input-stdin", console::input_stdin},
    {"read-stdin", console::read_stdin},
    {"_console-init", console::init},
    {"_read-script", console::read_script},
    {"_load-script", console::load_script},
    {"_run-script", console::run_script_file},
    {"image-encode-png", image_codecs::encode_png},
    {"image-encode-jpeg", image_codecs::encode_jpeg},
    {"image-encode-bmp", image_codecs::encode_bmp},
    {"image-encode-gif", image_codecs::encode_gif},
    {"image-encode-tiff", image_codecs::encode_tiff},
    {"image-decode", image_codecs::decode},
    {"zavbin-encode*", codecs::zavbin_encode_star},
    {"zavbin-decode", codecs::zavbin_decode},
    {"json-decode", json::decode},
    {"json-encode", json::encode},
    {"csv-decode", csv::decode},
    {"csv-encode", csv::encode},
    {"cos", math::cos_},
    {"sin", math::sin_},
    {"tan", math::tan_},
    {"acos", math::acos_},
    {"asin", math::asin_},
    {"atan", math::atan_},
    {"atan2", math::atan2_},
    {"sqrt", math::sqrt_},
    {"gc-active?", gc_active_q},
    {"gc-series-cycles", gc_series_cycles},
    {"gc-nodes-cycles", gc_nodes_cycles},
};

}  // namespace

void register_all() {
    routine::register_table(ROWS, sizeof ROWS / sizeof ROWS[0]);
    register_type_tests();
    register_converters();
}

}  // namespace zav::routines
