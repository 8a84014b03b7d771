// The native table, the boot environment's native and action words, and the
// control natives: conditionals, function makers, switch, case, do, try,
// catch, throw and the non-local exits.
#include "evaluator/natives.h"
#include "evaluator/natives_eval.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/op.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "evaluator/actions.h"
#include "evaluator/compiled.h"
#include "evaluator/frames.h"
#include "evaluator/interpreter.h"
#include "evaluator/interpreter_fast.h"
#include "loader/lexer.h"
#include "loader/zavbin.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/rt.h"
#include "runtime/stack.h"

namespace zav::natives {

namespace {

// ---- the boot environment's view of the natives -------------------------------

// union, intersect and exclude share one spec.
constexpr const char* SET_OP_SPEC =
    "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] "
    "/case /skip size [integer!]";

// One native: its index, the word the boot environment binds to it, its spec
// (the spec block's text without the outer brackets) and its entry.
struct NativeDef {
    NativeIndex index;
    const char* word;
    const char* spec;
    NativeFn fn;
};

constexpr NativeDef NATIVES[] = {
    {N_IF, "if", "cond [any-type!] then-blk [block!]", if_star},
    {N_UNLESS, "unless", "cond [any-type!] then-blk [block!]", unless_star},
    {N_EITHER, "either", "cond [any-type!] true-blk [block!] false-blk [block!]", either_star},
    {N_ANY, "any", "conds [block!]", any_star},
    {N_ALL, "all", "conds [block!]", all_star},
    {N_WHILE, "while", "cond [block!] body [block!]", while_star},
    {N_UNTIL, "until", "body [block!]", until_star},
    {N_LOOP, "loop", "count [integer! float!] body [block!]", loop_star},
    {N_REPEAT, "repeat", "'word [word!] value [integer! float!] body [block!]", repeat_star},
    {N_FOREVER, "forever", "body [block!]", forever_star},
    {N_FOREACH, "foreach", "'word [word! block!] series [series! map!] body [block!]", foreach_star},
    {N_FORALL, "forall", "'word [word!] body [block!]", forall_star},
    {N_REMOVE_EACH, "remove-each", "'word [word! block!] data [series!] body [block!]", remove_each_star},
    {N_FUNC, "func", "spec [block!] body [block!]", func_star},
    {N_FUNCTION, "function", "spec [block!] body [block!]", function_star},
    {N_DOES, "does", "body [block!]", does_star},
    {N_HAS, "has", "vars [block!] body [block!]", has_star},
    {N_SWITCH, "switch", "value [any-type!] cases [block!] /default case [block!]", switch_star},
    {N_CASE, "case", "cases [block!] /all", case_star},
    {N_DO, "do", "value [any-type!] /expand /args arg /next position [word!] /trace callback [function!]", do_star},
    {N_GET, "get", "word [any-word! any-path! object!] /any /case", get_star},
    {N_SET, "set", "word [any-word! block! object! any-path!] value [any-type!] /any /case /only /some", set_star},
    {N_PRINT, "print", "value [any-type!]", print_star},
    {N_PRIN, "prin", "value [any-type!]", prin_star},
    {N_EQUAL_Q, "equal?", "value1 [any-type!] value2 [any-type!]", equal_q_star},
    {N_NOT_EQUAL_Q, "not-equal?", "value1 [any-type!] value2 [any-type!]", not_equal_q_star},
    {N_STRICT_EQUAL_Q, "strict-equal?", "value1 [any-type!] value2 [any-type!]", strict_equal_q_star},
    {N_LESSER_Q, "lesser?", "value1 [any-type!] value2 [any-type!]", lesser_q_star},
    {N_GREATER_Q, "greater?", "value1 [any-type!] value2 [any-type!]", greater_q_star},
    {N_LESSER_OR_EQUAL_Q, "lesser-or-equal?", "value1 [any-type!] value2 [any-type!]", lesser_or_equal_q_star},
    {N_GREATER_OR_EQUAL_Q, "greater-or-equal?", "value1 [any-type!] value2 [any-type!]", greater_or_equal_q_star},
    {N_SAME_Q, "same?", "value1 [any-type!] value2 [any-type!]", same_q_star},
    {N_NOT, "not", "value [any-type!]", not_star},
    {N_TYPE_Q, "type?", "value [any-type!] /word", type_q_star},
    {N_REDUCE, "reduce", "value [any-type!] /into out [any-block!]", reduce_star},
    {N_COMPOSE, "compose", "value [block!] /deep /only /into out [any-block!]", compose_star},
    {N_STATS, "stats", "/show /info", stats_star},
    {N_BIND, "bind", "word [block! any-word!] context [any-word! any-object! function!] /copy", bind_star},
    {N_IN, "in", "object [any-object! any-function!] word [any-word! refinement!]", in_star},
    {N_PARSE, "parse",
     "input [binary! any-block! any-string!] rules [block!] /case /part length [number! "
     "series!] /trace callback",
     parse_star},
    {N_UNION, "union", SET_OP_SPEC, union_star},
    {N_INTERSECT, "intersect", SET_OP_SPEC, intersect_star},
    {N_UNIQUE, "unique", "set [block! hash! string!] /case /skip size [integer!]", unique_star},
    {N_DIFFERENCE, "difference",
     "set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! "
     "typeset! date!] /case /skip size [integer!]",
     difference_star},
    {N_EXCLUDE, "exclude", SET_OP_SPEC, exclude_star},
    {N_COMPLEMENT_Q, "complement?", "bits [bitset!]", complement_q_star},
    {N_DEHEX, "dehex", "value [any-string!]", dehex_star},
    {N_ENHEX, "enhex", "value [any-string!]", enhex_star},
    {N_NEGATIVE_Q, "negative?", "number [number! money! time!]", negative_q_star},
    {N_POSITIVE_Q, "positive?", "number [number! money! time!]", positive_q_star},
    {N_MAX, "max", "value1 [scalar! series!] value2 [scalar! series!]", max_star},
    {N_MIN, "min", "value1 [scalar! series!] value2 [scalar! series!]", min_star},
    {N_SHIFT, "shift", "data [integer!] bits [integer!] /left /logical", shift_star},
    {N_TO_HEX, "to-hex", "value [integer!] /size length [integer!]", to_hex_star},
    {N_SINE, "sine", "angle [float! integer!] /radians", sine_star},
    {N_COSINE, "cosine", "angle [float! integer!] /radians", cosine_star},
    {N_TANGENT, "tangent", "angle [float! integer!] /radians", tangent_star},
    {N_ARCSINE, "arcsine", "sine [float! integer!] /radians", arcsine_star},
    {N_ARCCOSINE, "arccosine", "cosine [float! integer!] /radians", arccosine_star},
    {N_ARCTANGENT, "arctangent", "tangent [float! integer!] /radians", arctangent_star},
    {N_ARCTANGENT2, "arctangent2", "y [float! integer!] x [float! integer!] /radians", arctangent2_star},
    {N_NAN_Q, "NaN?", "value [number!]", NaN_q_star},
    {N_LOG_2, "log-2", "value [float! integer! percent!]", log_2_star},
    {N_LOG_10, "log-10", "value [float! integer! percent!]", log_10_star},
    {N_LOG_E, "log-e", "value [float! integer! percent!]", log_e_star},
    {N_EXP, "exp", "value [float! integer! percent!]", exp_star},
    {N_SQUARE_ROOT, "square-root", "value [float! integer! percent!]", square_root_star},
    {N_CONSTRUCT, "construct", "block [block!] /with object [object!] /only", construct_star},
    {N_VALUE_Q, "value?", "value [word!]", value_q_star},
    {N_TRY, "try", "block [block!] /all /keep", try_star},
    {N_UPPERCASE, "uppercase", "string [any-string! char!] /part limit [number! any-string!]", uppercase_star},
    {N_LOWERCASE, "lowercase", "string [any-string! char!] /part limit [number! any-string!]", lowercase_star},
    {N_AS_PAIR, "as-pair", "x [integer! float!] y [integer! float!]", as_pair_star},
    {N_AS_POINT2D, "as-point2D", "x [integer! float!] y [integer! float!]", as_point2D_star},
    {N_AS_POINT3D, "as-point3D", "x [integer! float!] y [integer! float!] z [integer! float!]", as_point3D_star},
    {N_AS_MONEY, "as-money", "currency [word!] amount [integer! float!]", as_money_star},
    {N_BREAK, "break", "/return value [any-type!]", break_star},
    {N_CONTINUE, "continue", "", continue_star},
    {N_EXIT, "exit", "", exit_star},
    {N_RETURN, "return", "value [any-type!]", return_star},
    {N_THROW, "throw", "value [any-type!] /name word [word!]", throw_star},
    {N_CATCH, "catch", "block [block!] /name word [word! block!]", catch_star},
    {N_EXTEND, "extend", "obj [object! map!] spec [block! hash! map!] /case", extend_star},
    {N_DEBASE, "debase", "value [string!] /base base-value [integer!]", debase_star},
    {N_TO_LOCAL_FILE, "to-local-file", "path [file! string!] /full", to_local_file_star},
    {N_WAIT, "wait", "value [number! time! block! none!] /all", wait_star},
    {N_CHECKSUM, "checksum",
     "data [binary! string! file!] method [word!] /with spec [any-string! binary! "
     "integer!]",
     checksum_star},
    {N_UNSET, "unset", "word [word! block!]", unset_star},
    {N_NEW_LINE, "new-line", "position [any-list!] value [logic!] /all /skip size [integer!]", new_line_star},
    {N_NEW_LINE_Q, "new-line?", "position [any-list!]", new_line_q_star},
    {N_ENBASE, "enbase", "value [binary! string!] /base base-value [integer!]", enbase_star},
    {N_CONTEXT_Q, "context?", "word [any-word!]", context_q_star},
    {N_SET_ENV, "set-env", "var [any-string! any-word!] value [string! none!]", set_env_star},
    {N_GET_ENV, "get-env", "var [any-string! any-word!]", get_env_star},
    {N_LIST_ENV, "list-env", "", list_env_star},
    {N_NOW, "now", "/year /month /day /time /zone /date /weekday /yearday /precise /utc", now_star},
    {N_SIGN_Q, "sign?", "number [number! money! time!]", sign_q_star},
    {N_AS, "as",
     "type [datatype! block! paren! any-path! any-string!] spec [block! paren! any-path! "
     "any-string!]",
     as_star},
    {N_CALL, "call", "cmd [string! file!] /wait /show /console /shell /input in /output out /error err", call_star},
    {N_ZERO_Q, "zero?", "value [number! money! pair! time! char! tuple! any-point!]", zero_q_star},
    {N_SIZE_Q, "size?", "file [file!]", size_q_star},
    {N_BROWSE, "browse", "url [url! file!]", browse_star},
    {N_COMPRESS, "compress", "data [any-string! binary!] method [word!]", compress_star},
    {N_DECOMPRESS, "decompress", "data [binary!] method [word!] /size sz [integer!]", decompress_star},
    {N_RECYCLE, "recycle", "/on /off", recycle_star},
    {N_TRANSCODE, "transcode",
     "src [binary! string!] /next /one /prescan /scan /part length [integer! binary!] /into dst "
     "[block!] /trace callback",
     transcode_star},
    {N_APPLY, "apply", "func [word! path! any-function!] args [block!] /all /safer", apply_star},
};
static_assert(std::size(NATIVES) == NATIVE_COUNT, "every native has one entry in the table");
static_assert(NATIVE_COUNT <= native::NATIVE_TABLE_SIZE, "a native! index fits the table");

constexpr bool in_index_order() {
    for (u32 i = 0; i < std::size(NATIVES); i++) {
        if (NATIVES[i].index != i + 1) return false;
#ifndef __SANITIZE_ADDRESS__
        // The sanitizer build keeps null-pointer checks, under which GCC cannot
        // take a function's address as non-null at compile time; the other
        // builds check the entries.
        if (!NATIVES[i].fn) return false;
#endif
    }
    return true;
}
static_assert(in_index_order(), "the table lists the natives in index order, each with its entry");

// The entries alone, for the call that every native goes through: a dense
// array keeps that call to one bounds test, one load and one jump.
constexpr std::array<NativeFn, NATIVE_COUNT> ENTRIES = [] {
    std::array<NativeFn, NATIVE_COUNT> a{};
    for (u32 i = 0; i < NATIVE_COUNT; i++) a[i] = NATIVES[i].fn;
    return a;
}();

// The action words (slots 7 to 9, eval-path, set-path and compare, are
// reached by the runtime only and have no word).
struct ActionSpec {
    u32 slot;
    const char* word;
    const char* spec;
};

const ActionSpec ACTION_SPECS[] = {
    {ACT_MAKE, "make", "type [any-type!] spec [any-type!]"},
    {ACT_RANDOM, "random", "value [any-type!] /seed /secure /only"},
    {ACT_REFLECT, "reflect", "value [any-type!] field [word!]"},
    {ACT_TO, "to", "type [any-type!] spec [any-type!]"},
    {ACT_FORM, "form", "value [any-type!] /part limit [integer!]"},
    {ACT_MOLD, "mold", "value [any-type!] /only /all /flat /part limit [integer!]"},
    {ACT_ABSOLUTE, "absolute", "value [any-type!]"},
    {ACT_ADD, "add", "value1 [any-type!] value2 [any-type!]"},
    {ACT_DIVIDE, "divide", "value1 [any-type!] value2 [any-type!]"},
    {ACT_MULTIPLY, "multiply", "value1 [any-type!] value2 [any-type!]"},
    {ACT_NEGATE, "negate", "number [any-type!]"},
    {ACT_POWER, "power", "number [any-type!] exponent [any-type!]"},
    {ACT_REMAINDER, "remainder", "value1 [any-type!] value2 [any-type!]"},
    {ACT_ROUND, "round", "n [any-type!] /to scale [any-type!] /even /down /half-down /floor /ceiling /half-ceiling"},
    {ACT_SUBTRACT, "subtract", "value1 [any-type!] value2 [any-type!]"},
    {ACT_EVEN_Q, "even?", "number [any-type!]"},
    {ACT_ODD_Q, "odd?", "number [any-type!]"},
    {ACT_AND_T, "and~", "value1 [any-type!] value2 [any-type!]"},
    {ACT_COMPLEMENT, "complement", "value [any-type!]"},
    {ACT_OR_T, "or~", "value1 [any-type!] value2 [any-type!]"},
    {ACT_XOR_T, "xor~", "value1 [any-type!] value2 [any-type!]"},
    {ACT_APPEND, "append", "series [any-type!] value [any-type!] /part length [any-type!] /only /dup count [any-type!]"},
    {ACT_AT, "at", "series [any-type!] index [any-type!]"},
    {ACT_BACK, "back", "series [any-type!]"},
    {ACT_CHANGE, "change", "series [any-type!] value [any-type!] /part length [any-type!] /only /dup count [any-type!]"},
    {ACT_CLEAR, "clear", "series [any-type!]"},
    {ACT_COPY, "copy", "value [any-type!] /part length [any-type!] /deep /types kind [any-type!]"},
    {ACT_FIND, "find",
     "series [any-type!] value [any-type!] /part length [any-type!] /only /case /same /any /with wild [any-type!] "
     "/skip size [any-type!] /last /reverse /tail /match"},
    {ACT_HEAD, "head", "series [any-type!]"},
    {ACT_HEAD_Q, "head?", "series [any-type!]"},
    {ACT_INDEX_Q, "index?", "series [any-type!]"},
    {ACT_INSERT, "insert", "series [any-type!] value [any-type!] /part length [any-type!] /only /dup count [any-type!]"},
    {ACT_LENGTH_Q, "length?", "series [any-type!]"},
    {ACT_MOVE, "move", "origin [any-type!] target [any-type!] /part length [any-type!]"},
    {ACT_NEXT, "next", "series [any-type!]"},
    {ACT_PICK, "pick", "series [any-type!] index [any-type!]"},
    {ACT_POKE, "poke", "series [any-type!] index [any-type!] value [any-type!]"},
    {ACT_PUT, "put", "series [any-type!] key [any-type!] value [any-type!] /case"},
    {ACT_REMOVE, "remove", "series [any-type!] /part length [any-type!] /key key-arg [any-type!]"},
    {ACT_REVERSE, "reverse", "series [any-type!] /part length [any-type!] /skip size [any-type!]"},
    {ACT_SELECT, "select",
     "series [any-type!] value [any-type!] /part length [any-type!] /only /case /same /any /with wild [any-type!] "
     "/skip size [any-type!] /last /reverse"},
    {ACT_SORT, "sort",
     "series [any-type!] /case /skip size [any-type!] /compare comparator [any-type!] /part length [any-type!] "
     "/all /reverse /stable"},
    {ACT_SKIP, "skip", "series [any-type!] offset [any-type!]"},
    {ACT_SWAP, "swap", "series1 [any-type!] series2 [any-type!]"},
    {ACT_TAIL, "tail", "series [any-type!]"},
    {ACT_TAIL_Q, "tail?", "series [any-type!]"},
    {ACT_TAKE, "take", "series [any-type!] /part length [any-type!] /deep /last"},
    {ACT_TRIM, "trim", "series [any-type!] /head /tail /auto /lines /all /with str [any-type!]"},
    {ACT_CREATE, "create", "port [any-type!]"},
    {ACT_CLOSE, "close", "port [any-type!]"},
    {ACT_DELETE, "delete", "file [any-type!]"},
    {ACT_MODIFY, "modify", "target [any-type!] field [any-type!] value [any-type!] /case"},
    {ACT_OPEN, "open", "port [any-type!] /new /read /write /seek /allow access [any-type!]"},
    {ACT_OPEN_Q, "open?", "port [any-type!]"},
    {ACT_QUERY, "query", "target [any-type!]"},
    {ACT_READ, "read",
     "source [any-type!] /part length [any-type!] /seek index [any-type!] /binary /lines /info /as encoding [any-type!]"},
    {ACT_RENAME, "rename", "from [any-type!] to [any-type!]"},
    {ACT_UPDATE, "update", "port [any-type!]"},
    {ACT_WRITE, "write",
     "destination [any-type!] data [any-type!] /binary /lines /info /append /part length [any-type!] "
     "/seek index [any-type!] /allow access [any-type!] /as encoding [any-type!]"},
};

node_t print_buffer_node = 0;

Cell* arg(i32 i) { return stack::arguments + i; }

Cell* cell_at(node_t blk, u32 i) { return reinterpret_cast<Cell*>(GET_BUFFER(blk)->head()) + i; }
u32 length_of(node_t blk) { return GET_BUFFER(blk)->length(); }

// A word cell naming one of the runtime's own frames (<anon>, <body> ...).
Cell* frame_word(Cell* out, i32 symbol) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(symbol), 0xFFFFFFFF); }

// The stacks as a native found them, put back when it handles a throw itself.
struct StackState {
    Cell* arguments = stack::arguments;
    Cell* top = stack::top;
    CallFrame* frame_top = stack::frame_top;
    void restore() const {
        stack::frame_top = frame_top;
        stack::arguments = arguments;
        stack::top = top;
    }
};

// The error value of a caught THROW_ERROR.
Cell caught_error() {
    Cell err;
    frames::take_thrown_error(&err);
    return err;
}

// One expression at the block's head (in a <body> frame of its own); its
// value goes into the current result slot. Answers the new head index.
u32 eval_next(Cell* code) {
    Cell* above = stack::top;
    u32 index = interpreter::simple_next(code);
    if (!index) {
        index = interpreter::eval_next(code, series_head(code), length_of(series_node(code)), false);
        if (stack::pending) [[unlikely]] return index;
    }
    stack::top = above > stack::arguments ? above : stack::arguments + 1;  // keep the result slot
    return index;
}

bool at_tail(const Cell* block) { return series_head(block) >= length_of(series_node(block)); }

void clamp_head(Cell* series) {
    u32 len = length_of(series_node(series));
    if (series_head(series) > len) series_head(series) = len;
}

// Result slot becomes the value (the entry's frame region keeps one cell).
void result(const Cell* value) { stack::set_last_reset(value); }

// ---- argument checks -----------------------------------------------------------

// The types a type word names: a named typeset or a datatype. Remembered by
// symbol while the checks are built, as the same few names recur in the specs.
struct NamedTypes {
    u32 symbol;
    Cell types;
    bool known;
};
std::vector<NamedTypes> named_types;

const NamedTypes& types_named(u32 sym) {
    for (const NamedTypes& r : named_types)
        if (r.symbol == sym) return r;
    NamedTypes r{sym, {}, true};
    const char* text = symbol::get_c_string(static_cast<i32>(sym));
    if (!typeset::find_named(text, &r.types)) {
        typeset::make_at(&r.types, 0, 0, 0);
        u8* bits = reinterpret_cast<u8*>(&r.types.data1);
        r.known = false;
        for (u32 t = 0; t <= datatype::top_id && t < 96; t++) {
            const char* dn = datatype::name_of(t);
            if (dn && std::strcmp(dn, text) == 0) {
                bits[t / 8] |= static_cast<u8>(0x80 >> (t % 8));
                r.known = true;
            }
        }
    }
    named_types.push_back(r);
    return named_types.back();
}

// Typeset of a block of type words. A word that names no type is left in
// `unknown`.
Cell typeset_of(Cell* types, const char** unknown) {
    Cell ts;
    typeset::make_at(&ts, 0, 0, 0);
    node_t n = series_node(types);
    for (u32 i = series_head(types); i < length_of(n); i++) {
        Cell* w = cell_at(n, i);
        if (TYPE_OF(w) != TYPE_WORD) continue;
        const NamedTypes& named = types_named(w->data2);
        if (!named.known) *unknown = symbol::get_c_string(static_cast<i32>(w->data2));
        ts.data1 |= named.types.data1;
        ts.data2 |= named.types.data2;
        ts.data3 |= named.types.data3;
    }
    return ts;
}

// A spec that does not describe its native is the runtime's own fault.
[[noreturn]] void native_fault(u32 index, const char* what, const char* detail) {
    std::printf("*** Native Error: %s%s for native: %u\n", what, detail, index);
    std::fflush(stdout);
    rt::quit(rt::RT_ERR_ASSERTION, 0);
}

// What the check flag tests, worked out once from the specs: per native a run
// of its typed parameters. A parameter's argument cell is `offset` from cell 0
// (a plain argument) or from the first argument cell of its refinement, which
// the entry's refinement integer gives.
struct ParamCheck {
    Cell types;
    i32 refinement;  // -1: a plain argument; else its refinement's number
    i32 offset;
    i32 position;    // among the spec's words, for the error's argument name
};
struct NativeChecks {
    u32 first;
    u32 count;
    u32 refinements;
};

std::vector<ParamCheck> param_checks;
NativeChecks native_checks[NATIVE_COUNT + 1];

// The checks of native `index` from its spec block `n`.
void build_checks(u32 index, node_t n) {
    NativeChecks& nc = native_checks[index];
    nc = {static_cast<u32>(param_checks.size()), 0, 0};
    i32 position = 0;
    i32 offset = 0;
    i32 refinement = -1;
    for (u32 i = 0; i < length_of(n); i++) {
        Cell* c = cell_at(n, i);
        u32 t = TYPE_OF(c);
        if (t == TYPE_REFINEMENT) {
            refinement++;
            offset = 0;
            position++;
            continue;
        }
        if (t != TYPE_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) continue;
        if (i + 1 < length_of(n) && TYPE_OF(cell_at(n, i + 1)) == TYPE_BLOCK) {
            Cell types = *cell_at(n, i + 1);
            const char* unknown = nullptr;
            Cell ts = typeset_of(&types, &unknown);
            if (unknown) native_fault(index, "unknown type ", unknown);
            param_checks.push_back({ts, refinement, offset, position});
            nc.count++;
        }
        offset++;
        position++;
    }
    nc.refinements = static_cast<u32>(refinement + 1);
    if (nc.refinements > MAX_REFINEMENTS) native_fault(index, "too many refinements", "");
}

}  // namespace

// ---- the table -------------------------------------------------------------------

NativeFn entry(u32 index) { return index >= 1 && index <= NATIVE_COUNT ? ENTRIES[index - 1] : nullptr; }

void call(u32 index, bool check, const i32* refinements) {
    // A native! made with an index past the table's filled part has no entry.
    if (index - 1 >= NATIVE_COUNT) fire("internal", "not-done");
    ENTRIES[index - 1](check, refinements);
}

const char* word_of(u32 index) { return index >= 1 && index <= NATIVE_COUNT ? NATIVES[index - 1].word : nullptr; }

const char* spec_text(u32 index) { return index >= 1 && index <= NATIVE_COUNT ? NATIVES[index - 1].spec : nullptr; }

u32 refinement_count(u32 index) {
    return index >= 1 && index <= NATIVE_COUNT ? native_checks[index].refinements : 0;
}

node_t print_buffer() { return print_buffer_node; }

void init() {
    install_lexer_tracer();
    // The print buffer lives in the root block so that the collector keeps it.
    Cell buf;
    block::make_at(&buf, 32);
    print_buffer_node = series_node(&buf);
    *alloc_at_tail(root) = buf;
}

void check_args(NativeIndex index, const i32* refinements) {
    const NativeChecks& nc = native_checks[index];
    for (u32 k = nc.first; k < nc.first + nc.count; k++) {
        const ParamCheck& p = param_checks[k];
        i32 cell = p.offset;
        if (p.refinement >= 0) {
            i32 at = refinements ? refinements[p.refinement] : -1;
            if (at < 0) continue;
            cell += at;
        }
        check_arg_type(arg(cell), &p.types, p.position);
    }
}

// ---- the global words --------------------------------------------------------------

namespace {

// Loads "[spec] index" and makes the built-in from it (left on the stack).
// A block of loaded source text, pushed.
Cell* push_loaded(const char* text, size_t size) {
    Cell* block = stack::push_star();
    make_cell(block, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(block, reinterpret_cast<const u8*>(text), static_cast<u32>(size), false, true, true, &consumed,
                nullptr, nullptr);
    return block;
}

Cell* make_builtin(const char* spec, u32 index, u32 type) {
    char text[512];
    std::snprintf(text, sizeof text, "[%s] %u", spec, index);
    Cell* block = push_loaded(text, std::strlen(text));
    return native::make_from(block, type, type == TYPE_NATIVE ? native::NATIVE_TABLE_SIZE : ACTIONS_COUNT);
}

// The built-in of a table index for the ZAVBIN reader, which does not
// believe the specs that untrusted data brings along.
bool codec_builtin(u32 type, u32 index, Cell* out) {
    Cell* saved = stack::top;
    Cell* fn = nullptr;
    if (type == TYPE_NATIVE && index >= 1 && index <= NATIVE_COUNT) fn = make_builtin(spec_text(index), index, type);
    for (const ActionSpec& a : ACTION_SPECS)
        if (type == TYPE_ACTION && a.slot == index) fn = make_builtin(a.spec, a.slot, type);
    if (fn) *out = *fn;
    stack::top = saved;
    return fn != nullptr;
}

// "[spec] index word " of one built-in.
void append_row(std::string& text, const char* spec, u32 index, const char* word) {
    text.append("[").append(spec).append("] ").append(std::to_string(index)).append(" ").append(word).append(" ");
}

// Built-in k of a table's triples (see load_builtin_specs) made and left on
// the stack; the symbol of its word in `name`. A triple that is not what
// the table says ends start-up.
Cell* builtin_at(const Cell* triples, u32 k, u32 type, u32 index, const char* word, i32& name) {
    Cell rows = *triples;
    Cell* pair = block::push_only_star(2);
    Cell* at = block::zs_head(&rows) + 3 * k;
    if (TYPE_OF(&rows) != TYPE_BLOCK || block::zs_length_q(&rows) < 3 * k + 3 || TYPE_OF(at) != TYPE_BLOCK ||
        TYPE_OF(at + 1) != TYPE_INTEGER || at[1].data2 != index || TYPE_OF(at + 2) != TYPE_WORD ||
        std::strcmp(symbol::get_c_string(static_cast<i32>(word_symbol(at + 2))), word) != 0)
        native_fault(index, "spec does not load", "");
    name = static_cast<i32>(word_symbol(at + 2));
    block::zs_append(pair, at);
    block::zs_append(pair, block::zs_head(&rows) + 3 * k + 1);
    return native::make_from(pair, type, type == TYPE_NATIVE ? native::NATIVE_TABLE_SIZE : ACTIONS_COUNT);
}

}  // namespace

Cell* load_builtin_specs() {
    std::string text = "[";
    for (const NativeDef& d : NATIVES) append_row(text, d.spec, d.index, d.word);
    text += "] [";
    for (const ActionSpec& a : ACTION_SPECS) append_row(text, a.spec, a.slot, a.word);
    text += "]";
    return push_loaded(text.data(), text.size());
}

// The argument cache of a number operator's native or action, made now:
// the expressions that call it by word without its frame (see
// simple_prefix_call) read its call record, which needs the cache, and
// cannot make it themselves (it allocates).
void prepare_operator_cache(Cell* fn, u32 type, u32 index) {
    if (interpreter::fast_op_for(type, index) == actions::FAST_NONE) return;
    Cell cache;
    interpreter::cache_path_spec(fn, &cache);
}

void bind_globals(const Cell* specs) {
    zavbin::set_builtin_maker(codec_builtin);
    Cell* saved = stack::top;
    Cell loaded = specs ? *specs : *load_builtin_specs();
    collector::Guard loaded_root(&loaded);
    if (TYPE_OF(&loaded) != TYPE_BLOCK || block::zs_length_q(&loaded) != 2)
        native_fault(0, "built-in specs do not load", "");
    Cell* tables = stack::push(&loaded);
    Cell* after = stack::top;
    param_checks.clear();
    for (u32 k = 0; k < NATIVE_COUNT; k++) {
        const NativeDef& d = NATIVES[k];
        i32 name;
        Cell* fn = builtin_at(block::zs_head(tables), k, TYPE_NATIVE, d.index, d.word, name);
        build_checks(d.index, native::spec_of(fn));
        prepare_operator_cache(fn, TYPE_NATIVE, d.index);
        context::set_global(name, fn);
        stack::top = after;
    }
    named_types.clear();
    for (u32 k = 0; k < std::size(ACTION_SPECS); k++) {
        const ActionSpec& a = ACTION_SPECS[k];
        i32 name;
        Cell* fn = builtin_at(block::zs_head(tables) + 1, k, TYPE_ACTION, a.slot, a.word, name);
        prepare_operator_cache(fn, TYPE_ACTION, a.slot);
        context::set_global(name, fn);
        stack::top = after;
    }
    stack::top = saved;
    // The datatype words name their datatype! values.
    // Every datatype the language names has its word, registered yet or not
    // (symbol! and context! are internal; series! is a typeset).
    for (u32 t = TYPE_DATATYPE; t <= TYPE_EVENT; t++) {
        if (t == TYPE_SYMBOL_ID || t == TYPE_CONTEXT_ID) continue;
        const char* name = datatype::name_of(t);
        Cell dt;
        if (!name || !*name || typeset::find_named(name, &dt)) continue;
        datatype::make_at(&dt, t);
        context::set_global(symbol::make(name), &dt);
    }
}

// ---- conditionals --------------------------------------------------------------------

void if_star(bool check, const i32*) {
    if (check) check_args(N_IF, nullptr);
    if (logic::false_arg_q()) none::push_last();
    else interpreter::evaluate_branch(arg(1));
}

void unless_star(bool check, const i32*) {
    if (check) check_args(N_UNLESS, nullptr);
    if (logic::false_arg_q()) interpreter::evaluate_branch(arg(1));
    else none::push_last();
}

void either_star(bool check, const i32*) {
    if (check) check_args(N_EITHER, nullptr);
    interpreter::evaluate_branch(arg(logic::true_arg_q() ? 1 : 2));
}

void any_star(bool check, const i32*) {
    if (check) check_args(N_ANY, nullptr);
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    while (!at_tail(code)) {
        series_head(code) = eval_next(code);
        if (stack::pending) [[unlikely]] return;
        if (logic::is_true(arg(0))) return void(stack::top = stack::arguments + 1);
    }
    none::push_last();
    stack::top = stack::arguments + 1;
}

void all_star(bool check, const i32*) {
    if (check) check_args(N_ALL, nullptr);
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    while (!at_tail(code)) {
        series_head(code) = eval_next(code);
        if (stack::pending) [[unlikely]] return;
        if (!logic::is_true(arg(0))) {
            none::push_last();
            break;
        }
    }
    stack::top = stack::arguments + 1;
}

// ---- function makers -------------------------------------------------------------------

void func_star(bool check, const i32*) {
    if (check) check_args(N_FUNC, nullptr);
    clamp_head(arg(0));
    clamp_head(arg(1));
    stack::top = stack::arguments + 2;
    u32 flags = function::validate(arg(0));
    function::push(arg(0), arg(1), 0, 0, 0, flags);
    result(stack::top - 1);
}

void function_star(bool check, const i32*) {
    if (check) check_args(N_FUNCTION, nullptr);
    stack::top = stack::arguments + 2;
    Cell* copy = block::clone(arg(0), false, false);
    *arg(0) = *copy;
    stack::top = stack::arguments + 2;
    Cell* locals = function::collect_locals(arg(0), arg(1));
    (void)locals;
    stack::top = stack::arguments + 2;
    func_star(false, nullptr);
}

void does_star(bool check, const i32*) {
    if (check) check_args(N_DOES, nullptr);
    stack::top = stack::arguments + 1;
    stack::push(arg(0));
    block::make_at(arg(0), 1);
    func_star(false, nullptr);
}

void has_star(bool check, const i32*) {
    if (check) check_args(N_HAS, nullptr);
    stack::top = stack::arguments + 2;
    Cell* copy = block::clone(arg(0), false, false);
    *arg(0) = *copy;
    stack::top = stack::arguments + 2;
    block::insert_value(arg(0), &words::ref_local);
    func_star(false, nullptr);
}

// ---- switch and case -----------------------------------------------------------------------

bool switch_match(const Cell* value, const Cell* cases, const Cell** branch) {
    *branch = nullptr;
    const u32 t = TYPE_OF(value);
    if (t == TYPE_BLOCK) return false;
    const node_t n = series_node(cases);
    const SeriesBuffer* b = GET_BUFFER(n);
    const Cell* cells = block::cells_of(b);
    u32 count = b->length();
    // word!'s equality, the symbols' case-insensitive aliases, worked out
    // once for the value.
    const i32 alias = t == TYPE_WORD ? hashtable::resolve_alias(static_cast<i32>(value->data2)) : 0;
    for (u32 i = series_head(cases); i < count; i++) {
        if (TYPE_OF(cells + i) != t) continue;
        if (t == TYPE_INTEGER) {
            // integer!'s equality of two integers, without the action's call.
            if (cells[i].data2 != value->data2) continue;
        } else if (t == TYPE_WORD) {
            if (cells[i].data2 != value->data2 && hashtable::resolve_alias(static_cast<i32>(cells[i].data2)) != alias)
                continue;
        } else {
            Cell candidate = cells[i];
            Cell v = *value;
            const bool equal = actions::compare_value(&candidate, &v, COMP_EQUAL) == 0;
            // A comparison runs no code, but the block is read again after it.
            b = GET_BUFFER(n);
            cells = block::cells_of(b);
            count = b->length();
            if (!equal) continue;
        }
        for (u32 k = i + 1; k < count; k++)
            if (TYPE_OF(cells + k) == TYPE_BLOCK) return *branch = cells + k, true;
        return true;
    }
    return false;
}

void switch_star(bool check, const i32* refinements) {
    if (check) check_args(N_SWITCH, refinements);
    const i32 fallback = refinements ? refinements[0] : -1;
    const Cell* branch;
    // A value matched with no block after it answers none: the default does not run.
    if (!switch_match(arg(0), arg(1), &branch) && fallback >= 0) branch = arg(fallback);
    if (!branch) return void(none::push_last());
    Cell chosen = *branch;
    stack::top = stack::arguments;
    Cell* code = stack::push(&chosen);
    interpreter::evaluate_branch(code);
}

void case_star(bool check, const i32* refinements) {
    if (check) check_args(N_CASE, refinements);
    bool all = refinements && refinements[0] >= 0;
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    Cell w;
    stack::mark(frame_word(&w, words::_anon), FRAME_CALL);
    bool found = false;
    while (!at_tail(code)) {
        if (all) found = false;
        series_head(code) = eval_next(code);
        if (stack::pending) [[unlikely]] return;
        if (at_tail(code)) {
            Cell name;
            word::make_at(words::case_, &name);
            fire("script", "need-value", &name);
        }
        if (logic::true_arg_q()) {
            Cell* branch = block::zs_head(code);
            if (TYPE_OF(branch) == TYPE_BLOCK) {
                Cell* body = stack::push(branch);
                interpreter::evaluate_branch(body);
                if (stack::pending) [[unlikely]] return;
                stack::top = stack::arguments + 1;
                series_head(code)++;
            } else {
                series_head(code) = eval_next(code);
                if (stack::pending) [[unlikely]] return;
            }
            if (!all) {
                stack::unwind_last();
                stack::top = stack::arguments + 1;
                return;
            }
            found = true;
        } else {
            series_head(code)++;
        }
    }
    stack::unwind_last();
    stack::top = stack::arguments + 1;
    if (!found) none::push_last();
}

// ---- do ----------------------------------------------------------------------------------

namespace {

// until the library provides them: running a script file, and the preprocessor
// A script file or URL: the library's do-file, called with the value, no
// trace callback and the /args value.
void library_do_file(const Cell* file, const Cell* args) {
    static const char call[] = "do-file";
    Cell* code = stack::push_star();
    make_cell(code, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(call), sizeof call - 1, false, true, true, &consumed, nullptr,
                nullptr);
    block::zs_append(code, file);
    Cell none_value;
    make_cell(&none_value, TYPE_NONE);
    block::zs_append(code, &none_value);
    block::zs_append(code, args);
    interpreter::evaluate(code, true);
}
// `do/expand`: the library's preprocessor rewrites the block in place first,
// with no build configuration and without starting over.
void library_preprocessor_expand(Cell* block) {
    static const char call[] = "preprocessor/expand";
    Cell* top = stack::top;
    Cell* code = stack::push_star();
    make_cell(code, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(call), sizeof call - 1, false, true, true, &consumed, nullptr,
                nullptr);
    block::zs_append(code, block);
    Cell none_value;
    make_cell(&none_value, TYPE_NONE);
    block::zs_append(code, &none_value);
    interpreter::eval(code, false);
    *block = top[1];
    stack::top = top;
}

}  // namespace

void do_block(i32 expand, i32 next) {
    clamp_head(arg(0));
    if (expand > 0) library_preprocessor_expand(arg(0));
    if (next < 0) {
        interpreter::evaluate(arg(0), true);
        return;
    }
    // The evaluation overwrites the arguments: the word (and the context
    // it is bound to) may have no other reference by the time it is set.
    // So may the block's cell pushed for it: the rest is made from a copy.
    Cell position = *arg(next);
    collector::Guard position_root(&position);
    Cell rest = *arg(0);
    collector::Guard rest_root(&rest);
    Cell* code = stack::push(arg(0));
    i32 index = interpreter::do_next_index(code);
    if (stack::pending) [[unlikely]] return;
    series_head(&rest) = static_cast<u32>(index);
    context::set(&position, &rest);
    stack::top = stack::arguments + 1;
}

namespace {

// Ends the trace a `do` started, also when it is left by a throw.
struct TraceGuard {
    bool started = false;
    CallFrame* exit_target = nullptr;
    ~TraceGuard() {
        stack::clear_exit_target(exit_target);
        if (!started) return;
        u32 pending = system_record.thrown;
        // The end event runs user code: an exit on its way out waits.
        u32 exit = stack::pending;
        stack::pending = 0;
        try {
            if (interpreter::trace.enabled) interpreter::fire_end();
        } catch (Throw& t) {
            // A tracer that throws at the end loses that throw: the evaluation's
            // own outcome wins. A quit request cannot travel out of a
            // destructor, so it ends the process here as the outermost handler would.
            if (t.value == THROW_QUIT) rt::top_catch_handler(THROW_QUIT);
        }
        system_record.thrown = pending;
        stack::pending = exit;
        make_cell(interpreter::tracer(), TYPE_NONE);
        interpreter::trace.active = false;
        interpreter::trace.enabled = false;
    }
};

// Raises an error value that do was given: the tracer is told, as of an
// error fire raises, and it goes on as a pending exit, as a native's does.
void raise_value(Cell* error) {
    if (on_error) on_error(error);
    frames::pend_error(error);
}

u32 do_core(bool check, const i32* refinements, bool hand_back) {
    if (check) check_args(N_DO, refinements);
    i32 expand = refinements ? refinements[0] : -1;
    i32 args = refinements ? refinements[1] : -1;
    i32 next = refinements ? refinements[2] : -1;
    i32 trace = refinements ? refinements[3] : -1;
    // An error with no tracer to start needs none of the set-up below.
    if (TYPE_OF(arg(0)) == TYPE_ERROR && trace < 0) {
        Cell value = *arg(0);
        raise_value(&value);
        return 0;
    }
    bool interpreted = stack::eval_q(stack::top_frame(), true);
    Cell script_args;
    if (args >= 0) script_args = *arg(args);
    else make_cell(&script_args, TYPE_NONE);

    TraceGuard guard;
    if (trace >= 0) {
        // return and exit inside the traced code stop at this do.
        guard.exit_target = stack::mark_exit_target();
        if (!interpreter::trace.active) {
            Cell* fn = arg(trace);
            function::check_callback(fn, interpreter::TRACER_ARITY, "trace");
            *interpreter::tracer() = *fn;
            interpreter::trace.mask = interpreter::trace_event_mask(fn);
            interpreter::trace.active = true;
            interpreter::trace.enabled = true;
            guard.started = true;
            interpreter::fire_init();
        }
    }

    // An exit out of the evaluation (pending, or thrown by code that could
    // not return at once): a traced return stops here and goes on to the
    // function around; compiled callers take break, continue, return and
    // exit as a code. Answers that code, or 0 with the exit pending.
    auto exit_from = [&](u32 code) -> u32 {
        bool loop_code = code == THROW_BREAK || code == THROW_CONTINUE;
        bool exit_code = code == THROW_RETURN || code == THROW_EXIT;
        if (exit_code && guard.exit_target) {
            // The traced code's return stopped at this do: hand it on to the function around it.
            Cell result_value = *stack::arguments;
            stack::clear_exit_target(guard.exit_target);
            guard.exit_target = nullptr;
            *arg(0) = result_value;
            stack::top = stack::arguments + 1;
            stack::throw_exit(code == THROW_RETURN, true);
            return 0;
        }
        if ((loop_code || exit_code) && hand_back && !interpreted) return code;
        stack::pending = code;
        return 0;
    };
    Cell value = *arg(0);
    try {
        switch (TYPE_OF(&value)) {
            case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
                do_block(expand, next);
                break;
            case TYPE_PATH: {
                Cell* code = stack::push_star();
                block::make_at(code, 1);
                block::zs_append(code, &value);
                interpreter::evaluate(code, true);
                break;
            }
            case TYPE_STRING: {
                Cell* loaded = stack::push_star();
                make_cell(loaded, TYPE_NONE);
                i32 consumed = 0;
                lexer::pend_errors = true;
                lexer::scan_string(loaded, arg(0), -1, lexer::SCAN_ALL, &consumed, nullptr);
                if (stack::pending) break;  // a syntax error, on its way to its guard
                *arg(0) = *loaded;
                stack::top = stack::arguments + 1;
                do_block(expand, next);
                break;
            }
            case TYPE_FILE: case TYPE_URL:
                library_do_file(&value, &script_args);
                break;
            case TYPE_ERROR:
                break;  // raised after the clean-up below
            default: {
                // One expression: the value alone in a block.
                Cell* code = stack::push_star();
                block::make_at(code, 1);
                block::zs_append(code, &value);
                interpreter::evaluate(code, true);
                break;
            }
        }
    } catch (Throw& t) {
        if (t.value < THROW_THROW || t.value >= THROW_ERROR) throw;
        return exit_from(t.value);
    }
    if (u32 code = stack::pending) [[unlikely]] {
        // An error goes on as it came.
        if (code == THROW_ERROR) return 0;
        stack::pending = 0;
        return exit_from(code);
    }
    if (TYPE_OF(&value) == TYPE_ERROR) {
        stack::clear_exit_target(guard.exit_target);
        guard.exit_target = nullptr;
        raise_value(&value);
    }
    return 0;
}

}  // namespace

void do_star(bool check, const i32* refinements) { do_core(check, refinements, false); }
u32 do_code(bool check, const i32* refinements) { return do_core(check, refinements, true); }

// ---- try ---------------------------------------------------------------------------------

namespace {

// try's work; `quiet`: what the guard stops gives none rather than the error
// (attempt's way).
u32 try_core(bool check, const i32* refinements, bool hand_back, bool quiet = false) {
    if (check) check_args(N_TRY, refinements);
    bool all = refinements && refinements[0] >= 0;
    bool keep = refinements && refinements[1] >= 0;
    bool interpreted = stack::eval_q(stack::top_frame(), true);
    Cell w;
    // The frame keeps only the word's context and symbol: no lookup needed.
    make_cell(&w, TYPE_WORD, context::global, static_cast<u32>(words::try_), 0xFFFFFFFF);
    Cell* block = arg(0);
    StackState entry;
    // An error raised by fire travels in error::thrown: start clean so that
    // only an error of this evaluation is found there.
    make_cell(&error::thrown, TYPE_NONE);
    stack::mark(&w, all ? FRAME_TRY_ALL : FRAME_TRY);
    // How the evaluation ended: an exit pending as it returned, or thrown.
    u32 code = 0;
    bool thrown = false;
    try {
        interpreter::evaluate_held(block);
        code = stack::pending;
    } catch (Throw& t) {
        // Only the language's own exits stop here; the quit request and the
        // low-level failures go on to the outermost handler.
        if (t.value < THROW_THROW || t.value > THROW_ERROR) throw;
        code = t.value;
        thrown = true;
    }
    if (!code) {
        stack::unwind_last();
    } else {
        if (!all) {
            bool passes = code == THROW_BREAK || code == THROW_CONTINUE || code == THROW_RETURN || code == THROW_EXIT;
            if (passes && hand_back && !interpreted) {
                stack::pending = 0;
                return code;
            }
            // Any exit but an error passes the guard (a kind-5 one stops it
            // with an error).
            if (code != THROW_ERROR) {
                if (thrown) throw Throw{code};
                return 0;
            }
        }
        stack::pending = 0;
        // A bare error is built once the stacks are back where try found them.
        Cell err = *stack::arguments;
        entry.restore();
        if (code == THROW_ERROR) err = caught_error();
        if (quiet) make_cell(&err, TYPE_NONE);
        result(&err);
        system_record.thrown = 0;
    }
    stack::top = stack::arguments + 1;
    if (keep && TYPE_OF(arg(0)) == TYPE_ERROR) error::capture_stack(arg(0));
    return 0;
}

}  // namespace

void try_star(bool check, const i32* refinements) { try_core(check, refinements, false); }
u32 try_code(bool check, const i32* refinements) { return try_core(check, refinements, true); }
void attempt_block(bool all) {
    const i32 refinements[2] = {all ? 1 : -1, -1};
    try_core(false, refinements, false, true);
}

void try_handler(bool keep) {
    Cell* value = stack::get_top();
    if (keep && TYPE_OF(value) == TYPE_ERROR) error::capture_stack(value);
    if (TYPE_OF(value) == TYPE_ERROR) {
        i32 type = error::get_type(value), id = error::get_id(value);
        i32 th = symbol::resolve(words::throw_);
        if (type >= 0 && id >= 0 && symbol::resolve(type) == th && symbol::resolve(id) == th) rt::throw_();
    }
    stack::reset_keep_last();
}

// ---- non-local exits ----------------------------------------------------------------------

void break_star(bool check, const i32* refinements) {
    if (check) check_args(N_BREAK, refinements);
    stack::throw_break(refinements && refinements[0] >= 0, false);
}

void continue_star(bool, const i32*) { stack::throw_break(false, true); }
void exit_star(bool, const i32*) { stack::throw_exit(false, false); }

void return_star(bool check, const i32*) {
    if (check) check_args(N_RETURN, nullptr);
    stack::throw_exit(true, false);
}

void throw_star(bool check, const i32* refinements) {
    if (check) check_args(N_THROW, refinements);
    bool named = refinements && refinements[0] >= 0;
    if (interpreter::trace.enabled) interpreter::fire_throw(arg(0));
    if (named) {
        Cell name = *arg(refinements[0]);
        stack::top = stack::arguments + 1;
        stack::push(&name);
    } else {
        stack::top = stack::arguments + 1;
        unset::push();
    }
    stack::throw_throw(THROW_THROW);
}

namespace {

bool same_word(const Cell* a, const Cell* b) {
    return symbol::resolve(static_cast<i32>(a->data2)) == symbol::resolve(static_cast<i32>(b->data2));
}

}  // namespace

void catch_star(bool check, const i32* refinements) {
    if (check) check_args(N_CATCH, refinements);
    i32 name_at = refinements ? refinements[0] : -1;
    Cell w;
    Cell* block = arg(0);
    StackState entry;
    stack::mark(frame_word(&w, words::_body), FRAME_CATCH);
    try {
        interpreter::evaluate_held(block);
    } catch (Throw& t) {
        if (t.value != THROW_THROW) throw;
        stack::pending = t.value;
    }
    if (stack::pending != THROW_THROW) {
        if (stack::pending) [[unlikely]] return;
        stack::unwind_last();
        stack::top = stack::arguments + 1;
        return;
    }
    stack::pending = 0;
    {
        // The thrower left the value and its name at the head of our region.
        Cell value = stack::arguments[0];
        Cell thrown_name = stack::arguments[1];
        entry.restore();
        bool match = name_at < 0;
        if (!match && TYPE_OF(&thrown_name) == TYPE_WORD) {
            Cell names = *arg(name_at);
            if (TYPE_OF(&names) == TYPE_WORD) {
                match = same_word(&thrown_name, &names);
            } else {
                node_t n = series_node(&names);
                for (u32 i = series_head(&names); i < length_of(n) && !match; i++) {
                    Cell* c = cell_at(n, i);
                    if (TYPE_OF(c) != TYPE_WORD) {
                        Cell nw;
                        word::make_at(words::name, &nw);
                        fire("script", "invalid-refine-arg", &nw, &names);
                    }
                    match = same_word(&thrown_name, c);
                }
            }
        }
        if (!match) {
            *arg(0) = value;
            stack::top = stack::arguments + 1;
            stack::push(&thrown_name);
            stack::throw_throw(THROW_THROW);
            return;
        }
        system_record.thrown = 0;
        stack::throw_origin = nullptr;
        result(&value);
        if (interpreter::trace.enabled) interpreter::fire_catch(arg(0));
    }
}

}  // namespace zav::natives
