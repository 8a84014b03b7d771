// The native table, the boot environment's native and action words, and the
// control natives: conditionals, function makers, switch, case, do, try,
// catch, throw and the non-local exits.
#include "evaluator/natives.h"
#include "evaluator/natives_eval.h"

#include <cstdio>
#include <cstring>

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
#include "loader/lexer.h"
#include "loader/zavbin.h"
#include "runtime/collector.h"
#include "runtime/helpers.h"
#include "runtime/memory.h"
#include "runtime/rt.h"
#include "runtime/stack.h"

namespace zav::natives {

namespace {

// ---- the boot environment's view of the natives -------------------------------

struct NativeSpec {
    const char* word;
    const char* spec;
};

constexpr const char* SETS = "[block! hash! string! bitset! typeset!]";

// Index i + 1 is the native's number.
const NativeSpec SPECS[NATIVE_COUNT] = {
    {"if", "cond [any-type!] then-blk [block!]"},
    {"unless", "cond [any-type!] then-blk [block!]"},
    {"either", "cond [any-type!] true-blk [block!] false-blk [block!]"},
    {"any", "conds [block!]"},
    {"all", "conds [block!]"},
    {"while", "cond [block!] body [block!]"},
    {"until", "body [block!]"},
    {"loop", "count [integer! float!] body [block!]"},
    {"repeat", "'word [word!] value [integer! float!] body [block!]"},
    {"forever", "body [block!]"},
    {"foreach", "'word [word! block!] series [series! map!] body [block!]"},
    {"forall", "'word [word!] body [block!]"},
    {"remove-each", "'word [word! block!] data [series!] body [block!]"},
    {"func", "spec [block!] body [block!]"},
    {"function", "spec [block!] body [block!]"},
    {"does", "body [block!]"},
    {"has", "vars [block!] body [block!]"},
    {"switch", "value [any-type!] cases [block!] /default case [block!]"},
    {"case", "cases [block!] /all"},
    {"do", "value [any-type!] /expand /args arg /next position [word!] /trace callback [function!]"},
    {"get", "word [any-word! any-path! object!] /any /case"},
    {"set", "word [any-word! block! object! any-path!] value [any-type!] /any /case /only /some"},
    {"print", "value [any-type!]"},
    {"prin", "value [any-type!]"},
    {"equal?", "value1 [any-type!] value2 [any-type!]"},
    {"not-equal?", "value1 [any-type!] value2 [any-type!]"},
    {"strict-equal?", "value1 [any-type!] value2 [any-type!]"},
    {"lesser?", "value1 [any-type!] value2 [any-type!]"},
    {"greater?", "value1 [any-type!] value2 [any-type!]"},
    {"lesser-or-equal?", "value1 [any-type!] value2 [any-type!]"},
    {"greater-or-equal?", "value1 [any-type!] value2 [any-type!]"},
    {"same?", "value1 [any-type!] value2 [any-type!]"},
    {"not", "value [any-type!]"},
    {"type?", "value [any-type!] /word"},
    {"reduce", "value [any-type!] /into out [any-block!]"},
    {"compose", "value [block!] /deep /only /into out [any-block!]"},
    {"stats", "/show /info"},
    {"bind", "word [block! any-word!] context [any-word! any-object! function!] /copy"},
    {"in", "object [any-object! any-function!] word [any-word! refinement!]"},
    {"parse", "input [binary! any-block! any-string!] rules [block!] /case /part length [number! series!] /trace callback"},
    {"union", nullptr},
    {"intersect", nullptr},
    {"unique", "set [block! hash! string!] /case /skip size [integer!]"},
    {"difference",
     "set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! typeset! date!] "
     "/case /skip size [integer!]"},
    {"exclude", nullptr},
    {"complement?", "bits [bitset!]"},
    {"dehex", "value [any-string!]"},
    {"enhex", "value [any-string!]"},
    {"negative?", "number [number! money! time!]"},
    {"positive?", "number [number! money! time!]"},
    {"max", "value1 [scalar! series!] value2 [scalar! series!]"},
    {"min", "value1 [scalar! series!] value2 [scalar! series!]"},
    {"shift", "data [integer!] bits [integer!] /left /logical"},
    {"to-hex", "value [integer!] /size length [integer!]"},
    {"sine", "angle [float! integer!] /radians"},
    {"cosine", "angle [float! integer!] /radians"},
    {"tangent", "angle [float! integer!] /radians"},
    {"arcsine", "sine [float! integer!] /radians"},
    {"arccosine", "cosine [float! integer!] /radians"},
    {"arctangent", "tangent [float! integer!] /radians"},
    {"arctangent2", "y [float! integer!] x [float! integer!] /radians"},
    {"NaN?", "value [number!]"},
    {"log-2", "value [float! integer! percent!]"},
    {"log-10", "value [float! integer! percent!]"},
    {"log-e", "value [float! integer! percent!]"},
    {"exp", "value [float! integer! percent!]"},
    {"square-root", "value [float! integer! percent!]"},
    {"construct", "block [block!] /with object [object!] /only"},
    {"value?", "value [word!]"},
    {"try", "block [block!] /all /keep"},
    {"uppercase", "string [any-string! char!] /part limit [number! any-string!]"},
    {"lowercase", "string [any-string! char!] /part limit [number! any-string!]"},
    {"as-pair", "x [integer! float!] y [integer! float!]"},
    {"as-point2D", "x [integer! float!] y [integer! float!]"},
    {"as-point3D", "x [integer! float!] y [integer! float!] z [integer! float!]"},
    {"as-money", "currency [word!] amount [integer! float!]"},
    {"break", "/return value [any-type!]"},
    {"continue", ""},
    {"exit", ""},
    {"return", "value [any-type!]"},
    {"throw", "value [any-type!] /name word [word!]"},
    {"catch", "block [block!] /name word [word! block!]"},
    {"extend", "obj [object! map!] spec [block! hash! map!] /case"},
    {"debase", "value [string!] /base base-value [integer!]"},
    {"to-local-file", "path [file! string!] /full"},
    {"wait", "value [number! time! block! none!] /all"},
    {"checksum", "data [binary! string! file!] method [word!] /with spec [any-string! binary! integer!]"},
    {"unset", "word [word! block!]"},
    {"new-line", "position [any-list!] value [logic!] /all /skip size [integer!]"},
    {"new-line?", "position [any-list!]"},
    {"enbase", "value [binary! string!] /base base-value [integer!]"},
    {"context?", "word [any-word!]"},
    {"set-env", "var [any-string! any-word!] value [string! none!]"},
    {"get-env", "var [any-string! any-word!]"},
    {"list-env", ""},
    {"now", "/year /month /day /time /zone /date /weekday /yearday /precise /utc"},
    {"sign?", "number [number! money! time!]"},
    {"as", "type [datatype! block! paren! any-path! any-string!] spec [block! paren! any-path! any-string!]"},
    {"call", "cmd [string! file!] /wait /show /console /shell /input in /output out /error err"},
    {"zero?", "value [number! money! pair! time! char! tuple! any-point!]"},
    {"size?", "file [file!]"},
    {"browse", "url [url! file!]"},
    {"compress", "data [any-string! binary!] method [word!]"},
    {"decompress", "data [binary!] method [word!] /size sz [integer!]"},
    {"recycle", "/on /off"},
    {"transcode",
     "src [binary! string!] /next /one /prescan /scan /part length [integer! binary!] /into dst [block!] "
     "/trace callback"},
    {"apply", "func [word! path! any-function!] args [block!] /all /safer"},
};

// union, intersect and exclude share one spec.
const char* const SET_OP_SPEC =
    "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] "
    "/case /skip size [integer!]";

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

NativeFn table[TABLE_SLOTS] = {};
u32 next_index = 1;
node_t print_buffer_node = 0;

[[noreturn]] void not_done(bool, const i32*) { fire("internal", "not-done"); }

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

// The error value of a caught THROW_ERROR: `fire` leaves it in error::thrown,
// stack::throw_error on the stack top.
Cell caught_error() {
    Cell err;
    if (TYPE_OF(&error::thrown) == TYPE_ERROR) {
        err = error::thrown;
        make_cell(&error::thrown, TYPE_NONE);
    } else if (stack::top > stack::bottom && TYPE_OF(stack::top - 1) == TYPE_ERROR) {
        err = stack::top[-1];
    } else {
        make_cell(&err, TYPE_NONE);
    }
    return err;
}

// One expression at the block's head (in a <body> frame of its own); its
// value goes into the current result slot. Answers the new head index.
u32 eval_next(Cell* code) {
    Cell* above = stack::top;
    u32 index = interpreter::eval_next(code, series_head(code), length_of(series_node(code)), false);
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

// Typeset of a block of type words: named typesets and datatype names.
Cell typeset_of(Cell* types) {
    Cell ts;
    typeset::make_at(&ts, 0, 0, 0);
    u8* bits = reinterpret_cast<u8*>(&ts.data1);
    node_t n = series_node(types);
    for (u32 i = series_head(types); i < length_of(n); i++) {
        Cell* w = cell_at(n, i);
        if (TYPE_OF(w) != TYPE_WORD) continue;
        const char* text = symbol::get_c_string(static_cast<i32>(w->data2));
        Cell named;
        if (typeset::find_named(text, &named)) {
            const u8* nb = reinterpret_cast<const u8*>(&named.data1);
            for (u32 k = 0; k < 12; k++) bits[k] |= nb[k];
            continue;
        }
        for (u32 t = 0; t <= datatype::top_id && t < 96; t++) {
            const char* dn = datatype::name_of(t);
            if (dn && std::strcmp(dn, text) == 0) bits[t / 8] |= static_cast<u8>(0x80 >> (t % 8));
        }
    }
    return ts;
}

}  // namespace

// ---- the table -------------------------------------------------------------------

void register_(u32 count, const NativeFn* entries) {
    for (u32 i = 0; i < count && next_index <= TABLE_SLOTS; i++) table[next_index++ - 1] = entries[i];
}

NativeFn entry(u32 index) { return index >= 1 && index <= NATIVE_COUNT ? table[index - 1] : nullptr; }

void call(u32 index, bool check, const i32* refinements) {
    NativeFn fn = entry(index);
    if (!fn) fire("internal", "not-done");
    fn(check, refinements);
}

const char* word_of(u32 index) { return index >= 1 && index <= NATIVE_COUNT ? SPECS[index - 1].word : nullptr; }

const char* spec_text(u32 index) {
    if (index < 1 || index > NATIVE_COUNT) return nullptr;
    const char* s = SPECS[index - 1].spec;
    return s ? s : SET_OP_SPEC;
}

u32 refinement_count(u32 index) {
    const char* s = spec_text(index);
    u32 n = 0;
    for (; s && *s; s++)
        if (*s == '/') n++;
    return n;
}

node_t print_buffer() { return print_buffer_node; }

void init() {
    install_lexer_tracer();
    std::memset(table, 0, sizeof table);
    next_index = 1;
    // The print buffer lives in the root block so that the collector keeps it.
    Cell buf;
    block::make_at(&buf, 32);
    print_buffer_node = series_node(&buf);
    *alloc_at_tail(root) = buf;

    const NativeFn entries[NATIVE_COUNT] = {
        // entries:begin
        if_star,                    // 1 if
        unless_star,                // 2 unless
        either_star,                // 3 either
        any_star,                   // 4 any
        all_star,                   // 5 all
        while_star,                 // 6 while
        until_star,                 // 7 until
        loop_star,                  // 8 loop
        repeat_star,                // 9 repeat
        forever_star,               // 10 forever
        foreach_star,               // 11 foreach
        forall_star,                // 12 forall
        remove_each_star,           // 13 remove-each
        func_star,                  // 14 func
        function_star,              // 15 function
        does_star,                  // 16 does
        has_star,                   // 17 has
        switch_star,                // 18 switch
        case_star,                  // 19 case
        do_star,                    // 20 do
        get_star,                   // 21 get
        set_star,                   // 22 set
        print_star,                 // 23 print
        prin_star,                  // 24 prin
        equal_q_star,               // 25 equal?
        not_equal_q_star,           // 26 not-equal?
        strict_equal_q_star,        // 27 strict-equal?
        lesser_q_star,              // 28 lesser?
        greater_q_star,             // 29 greater?
        lesser_or_equal_q_star,     // 30 lesser-or-equal?
        greater_or_equal_q_star,    // 31 greater-or-equal?
        same_q_star,                // 32 same?
        not_star,                   // 33 not
        type_q_star,                // 34 type?
        reduce_star,                // 35 reduce
        compose_star,               // 36 compose
        stats_star,                 // 37 stats
        bind_star,                  // 38 bind
        in_star,                    // 39 in
        parse_star,                 // 40 parse
        union_star,                 // 41 union
        intersect_star,             // 42 intersect
        unique_star,                // 43 unique
        difference_star,            // 44 difference
        exclude_star,               // 45 exclude
        complement_q_star,          // 46 complement?
        dehex_star,                 // 47 dehex
        enhex_star,                 // 48 enhex
        negative_q_star,            // 49 negative?
        positive_q_star,            // 50 positive?
        max_star,                   // 51 max
        min_star,                   // 52 min
        shift_star,                 // 53 shift
        to_hex_star,                // 54 to-hex
        sine_star,                  // 55 sine
        cosine_star,                // 56 cosine
        tangent_star,               // 57 tangent
        arcsine_star,               // 58 arcsine
        arccosine_star,             // 59 arccosine
        arctangent_star,            // 60 arctangent
        arctangent2_star,           // 61 arctangent2
        NaN_q_star,                 // 62 NaN?
        log_2_star,                 // 63 log-2
        log_10_star,                // 64 log-10
        log_e_star,                 // 65 log-e
        exp_star,                   // 66 exp
        square_root_star,           // 67 square-root
        construct_star,             // 68 construct
        value_q_star,               // 69 value?
        try_star,                   // 70 try
        uppercase_star,             // 71 uppercase
        lowercase_star,             // 72 lowercase
        as_pair_star,               // 73 as-pair
        as_point2D_star,            // 74 as-point2D
        as_point3D_star,            // 75 as-point3D
        as_money_star,              // 76 as-money
        break_star,                 // 77 break
        continue_star,              // 78 continue
        exit_star,                  // 79 exit
        return_star,                // 80 return
        throw_star,                 // 81 throw
        catch_star,                 // 82 catch
        extend_star,                // 83 extend
        debase_star,                // 84 debase
        to_local_file_star,         // 85 to-local-file
        wait_star,                  // 86 wait
        checksum_star,              // 87 checksum
        unset_star,                 // 88 unset
        new_line_star,              // 89 new-line
        new_line_q_star,            // 90 new-line?
        enbase_star,                // 91 enbase
        context_q_star,             // 92 context?
        set_env_star,               // 93 set-env
        get_env_star,               // 94 get-env
        list_env_star,              // 95 list-env
        now_star,                   // 96 now
        sign_q_star,                // 97 sign?
        as_star,                    // 98 as
        call_star,                  // 99 call
        zero_q_star,                // 100 zero?
        size_q_star,                // 101 size?
        browse_star,                // 102 browse
        compress_star,              // 103 compress
        decompress_star,            // 104 decompress
        recycle_star,               // 105 recycle
        transcode_star,             // 106 transcode
        apply_star,                 // 107 apply
        // entries:end
    };
    register_(NATIVE_COUNT, entries);
}

void check_args(u32 index, const i32* refinements) {
    const char* text = spec_text(index);
    if (!text || !*text) return;
    Cell* saved = stack::top;
    Cell* spec = stack::push_star();
    make_cell(spec, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(spec, reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), false, true, true,
                &consumed, nullptr, nullptr);
    node_t n = series_node(spec);
    i32 position = 0;     // parameter's position among the spec's words
    i32 cell = 0;         // argument cell it reads
    i32 refinement = -1;  // refinement being walked (-1: plain arguments)
    bool used = true;
    for (u32 i = 0; i < length_of(n); i++) {
        Cell* c = cell_at(n, i);
        u32 t = TYPE_OF(c);
        if (t == TYPE_REFINEMENT) {
            refinement++;
            i32 at = refinements ? refinements[refinement] : -1;
            used = at >= 0;
            if (used) cell = at;
            position++;
            continue;
        }
        if (t != TYPE_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) continue;
        if (used) {
            if (i + 1 < length_of(n) && TYPE_OF(cell_at(n, i + 1)) == TYPE_BLOCK) {
                Cell types = *cell_at(n, i + 1);
                Cell ts = typeset_of(&types);
                check_arg_type(arg(cell), &ts, position);
            }
            cell++;
        }
        position++;
    }
    stack::top = saved;
}

// ---- the global words --------------------------------------------------------------

namespace {

// Loads "[spec] index" and makes the built-in from it (left on the stack).
Cell* make_builtin(const char* spec, u32 index, u32 type) {
    char text[512];
    std::snprintf(text, sizeof text, "[%s] %u", spec, index);
    Cell* block = stack::push_star();
    make_cell(block, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(block, reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), false, true, true,
                &consumed, nullptr, nullptr);
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

}  // namespace

void bind_globals() {
    zavbin::set_builtin_maker(codec_builtin);
    Cell* saved = stack::top;
    for (u32 i = 1; i <= NATIVE_COUNT; i++) {
        Cell* fn = make_builtin(spec_text(i), i, TYPE_NATIVE);
        context::set_global(symbol::make(SPECS[i - 1].word), fn);
        stack::top = saved;
    }
    for (const ActionSpec& a : ACTION_SPECS) {
        Cell* fn = make_builtin(a.spec, a.slot, TYPE_ACTION);
        context::set_global(symbol::make(a.word), fn);
        stack::top = saved;
    }
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
    if (check) check_args(1, nullptr);
    if (logic::false_arg_q()) none::push_last();
    else interpreter::eval(arg(1), true);
}

void unless_star(bool check, const i32*) {
    if (check) check_args(2, nullptr);
    if (logic::false_arg_q()) interpreter::eval(arg(1), true);
    else none::push_last();
}

void either_star(bool check, const i32*) {
    if (check) check_args(3, nullptr);
    interpreter::eval(arg(logic::true_arg_q() ? 1 : 2), true);
}

void any_star(bool check, const i32*) {
    if (check) check_args(4, nullptr);
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    while (!at_tail(code)) {
        series_head(code) = eval_next(code);
        if (logic::is_true(arg(0))) return void(stack::top = stack::arguments + 1);
    }
    none::push_last();
    stack::top = stack::arguments + 1;
}

void all_star(bool check, const i32*) {
    if (check) check_args(5, nullptr);
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    while (!at_tail(code)) {
        series_head(code) = eval_next(code);
        if (!logic::is_true(arg(0))) {
            none::push_last();
            break;
        }
    }
    stack::top = stack::arguments + 1;
}

// ---- function makers -------------------------------------------------------------------

void func_star(bool check, const i32*) {
    if (check) check_args(14, nullptr);
    clamp_head(arg(0));
    clamp_head(arg(1));
    stack::top = stack::arguments + 2;
    u32 flags = function::validate(arg(0));
    function::push(arg(0), arg(1), 0, 0, 0, flags);
    result(stack::top - 1);
}

void function_star(bool check, const i32*) {
    if (check) check_args(15, nullptr);
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
    if (check) check_args(16, nullptr);
    stack::top = stack::arguments + 1;
    stack::push(arg(0));
    block::make_at(arg(0), 1);
    func_star(false, nullptr);
}

void has_star(bool check, const i32*) {
    if (check) check_args(17, nullptr);
    stack::top = stack::arguments + 2;
    Cell* copy = block::clone(arg(0), false, false);
    *arg(0) = *copy;
    stack::top = stack::arguments + 2;
    block::insert_value(arg(0), &words::ref_local);
    func_star(false, nullptr);
}

// ---- switch and case -----------------------------------------------------------------------

void switch_star(bool check, const i32* refinements) {
    if (check) check_args(18, refinements);
    i32 fallback = refinements ? refinements[0] : -1;
    Cell value = *arg(0);
    Cell cases = *arg(1);
    bool found = false;
    Cell chosen;
    if (TYPE_OF(&value) != TYPE_BLOCK) {
        node_t n = series_node(&cases);
        for (u32 i = series_head(&cases); i < length_of(n) && !found; i++) {
            Cell* c = cell_at(n, i);
            if (TYPE_OF(c) != TYPE_OF(&value)) continue;
            Cell candidate = *c;
            if (actions::compare_value(&candidate, &value, COMP_EQUAL) != 0) continue;
            found = true;
            for (u32 k = i + 1; k < length_of(n); k++) {
                if (TYPE_OF(cell_at(n, k)) == TYPE_BLOCK) {
                    chosen = *cell_at(n, k);
                    stack::top = stack::arguments;
                    Cell* code = stack::push(&chosen);
                    interpreter::eval(code, true);
                    return;
                }
            }
        }
    }
    if (!found && fallback >= 0) {
        chosen = *arg(fallback);
        stack::top = stack::arguments;
        Cell* code = stack::push(&chosen);
        interpreter::eval(code, true);
        return;
    }
    none::push_last();
}

void case_star(bool check, const i32* refinements) {
    if (check) check_args(19, refinements);
    bool all = refinements && refinements[0] >= 0;
    Cell* code = stack::push(arg(0));
    if (at_tail(code)) return void(none::push_last());
    Cell w;
    stack::mark(frame_word(&w, words::_anon), FRAME_CALL);
    bool found = false;
    while (!at_tail(code)) {
        if (all) found = false;
        series_head(code) = eval_next(code);
        if (at_tail(code)) {
            Cell name;
            word::make_at(words::case_, &name);
            fire("script", "need-value", &name);
        }
        if (logic::true_arg_q()) {
            Cell* branch = block::zs_head(code);
            if (TYPE_OF(branch) == TYPE_BLOCK) {
                Cell* body = stack::push(branch);
                interpreter::eval(body, true);
                stack::top = stack::arguments + 1;
                series_head(code)++;
            } else {
                series_head(code) = eval_next(code);
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
    interpreter::eval(code, true);
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
        interpreter::eval(arg(0), true);
        return;
    }
    // The evaluation overwrites the arguments: the word (and the context
    // it is bound to) may have no other reference by the time it is set.
    Cell position = *arg(next);
    collector::Root position_root(&position);
    Cell* code = stack::push(arg(0));
    i32 index = interpreter::do_next_index(code);
    Cell rest = *code;
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
        try {
            if (interpreter::trace.enabled) interpreter::fire_end();
        } catch (Throw& t) {
            // A tracer that throws at the end loses that throw: the evaluation's
            // own outcome wins. A quit request cannot travel out of a
            // destructor, so it ends the process here as the outermost handler would.
            if (t.value == THROW_QUIT) rt::top_catch_handler(THROW_QUIT);
        }
        system_record.thrown = pending;
        make_cell(interpreter::tracer(), TYPE_NONE);
        interpreter::trace.active = false;
        interpreter::trace.enabled = false;
    }
};

u32 do_core(bool check, const i32* refinements, bool hand_back) {
    if (check) check_args(20, refinements);
    i32 expand = refinements ? refinements[0] : -1;
    i32 args = refinements ? refinements[1] : -1;
    i32 next = refinements ? refinements[2] : -1;
    i32 trace = refinements ? refinements[3] : -1;
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
                interpreter::eval(code, true);
                break;
            }
            case TYPE_STRING: {
                Cell* loaded = stack::push_star();
                make_cell(loaded, TYPE_NONE);
                i32 consumed = 0;
                lexer::scan_string(loaded, arg(0), -1, lexer::SCAN_ALL, &consumed, nullptr);
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
                interpreter::eval(code, true);
                break;
            }
        }
    } catch (Throw& t) {
        u32 code = t.value;
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
        }
        if ((loop_code || exit_code) && hand_back && !interpreted) return code;
        throw;
    }
    if (TYPE_OF(&value) == TYPE_ERROR) {
        stack::clear_exit_target(guard.exit_target);
        guard.exit_target = nullptr;
        // Raised here rather than by fire: the tracer is told all the same.
        if (on_error) on_error(&value);
        stack::throw_error(&value);
    }
    return 0;
}

}  // namespace

void do_star(bool check, const i32* refinements) { do_core(check, refinements, false); }
u32 do_code(bool check, const i32* refinements) { return do_core(check, refinements, true); }

// ---- try ---------------------------------------------------------------------------------

namespace {

u32 try_core(bool check, const i32* refinements, bool hand_back) {
    if (check) check_args(70, refinements);
    bool all = refinements && refinements[0] >= 0;
    bool keep = refinements && refinements[1] >= 0;
    bool interpreted = stack::eval_q(stack::top_frame(), true);
    Cell w;
    word::make_at(symbol::make("try"), &w);
    Cell block = *arg(0);
    StackState entry;
    // An error raised by fire travels in error::thrown: start clean so that
    // only an error of this evaluation is found there.
    make_cell(&error::thrown, TYPE_NONE);
    stack::mark(&w, all ? FRAME_TRY_ALL : FRAME_TRY);
    try {
        interpreter::eval(&block, true);
        stack::unwind_last();
    } catch (Throw& t) {
        u32 code = t.value;
        // Only the language's own exits stop here; the quit request and the
        // low-level failures go on to the outermost handler.
        if (code < THROW_THROW || code > THROW_ERROR) throw;
        if (!all) {
            bool passes = code == THROW_BREAK || code == THROW_CONTINUE || code == THROW_RETURN || code == THROW_EXIT;
            if (passes && hand_back && !interpreted) return code;
            if (code != THROW_ERROR) throw;
        }
        Cell err = code == THROW_ERROR ? caught_error() : *stack::arguments;
        entry.restore();
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
    if (check) check_args(77, refinements);
    stack::throw_break(refinements && refinements[0] >= 0, false);
}

void continue_star(bool, const i32*) { stack::throw_break(false, true); }
void exit_star(bool, const i32*) { stack::throw_exit(false, false); }

void return_star(bool check, const i32*) {
    if (check) check_args(80, nullptr);
    stack::throw_exit(true, false);
}

void throw_star(bool check, const i32* refinements) {
    if (check) check_args(81, refinements);
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
    if (check) check_args(82, refinements);
    i32 name_at = refinements ? refinements[0] : -1;
    Cell w;
    Cell block = *arg(0);
    StackState entry;
    stack::mark(frame_word(&w, words::_body), FRAME_CATCH);
    try {
        interpreter::eval(&block, true);
        stack::unwind_last();
        stack::top = stack::arguments + 1;
        return;
    } catch (Throw& t) {
        if (t.value != THROW_THROW) throw;
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
        }
        system_record.thrown = 0;
        stack::throw_origin = nullptr;
        result(&value);
        if (interpreter::trace.enabled) interpreter::fire_catch(arg(0));
    }
}

}  // namespace zav::natives
