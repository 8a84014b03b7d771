// The native table: the language's 107 built-in functions, each an entry of
// the runtime at a fixed index (1-based; `if` is 1, `apply` 107), named by the
// NativeIndex enum below. One table in natives.cpp pairs each index with its
// word, its spec and its entry; it does not compile unless it lists every
// native once, in index order.
//
// Entry shape. Every entry is `void NAME_star(bool check, const i32* refinements)`:
// - the arguments are the current frame's argument cells, stack::arguments[0]
//   first, in spec order (refinement arguments included, after the plain ones);
// - refinements[k] is the k-th refinement of the native's spec, in spec order:
//   -1 when the refinement is not used; when used, the position among the
//   argument cells where its arguments begin (for a refinement without
//   arguments only >= 0 matters; compiled callers pass 0). A native without
//   refinements may get null.
// - check set: the entry first checks its arguments against its parameters'
//   typesets (check_args below) and raises script/expect-arg on a mismatch;
// - the result is left in argument cell 0 (stack::arguments[0]);
// - break, continue, return, exit, throw and errors leave by C++ `Throw`.
//   Compiled callers that want the unwinding code handed back instead call
//   the `*_code` variants of do and try.
#pragma once
#include "runtime/cell.h"

namespace zav::natives {

using NativeFn = void (*)(bool check, const i32* refinements);

// The natives by index, in table order.
enum NativeIndex : u32 {
    N_IF = 1, N_UNLESS, N_EITHER, N_ANY, N_ALL, N_WHILE, N_UNTIL, N_LOOP, N_REPEAT, N_FOREVER, N_FOREACH, N_FORALL,
    N_REMOVE_EACH, N_FUNC, N_FUNCTION, N_DOES, N_HAS, N_SWITCH, N_CASE, N_DO, N_GET, N_SET, N_PRINT, N_PRIN,
    N_EQUAL_Q, N_NOT_EQUAL_Q, N_STRICT_EQUAL_Q, N_LESSER_Q, N_GREATER_Q, N_LESSER_OR_EQUAL_Q, N_GREATER_OR_EQUAL_Q,
    N_SAME_Q, N_NOT, N_TYPE_Q, N_REDUCE, N_COMPOSE, N_STATS, N_BIND, N_IN, N_PARSE, N_UNION, N_INTERSECT, N_UNIQUE,
    N_DIFFERENCE, N_EXCLUDE, N_COMPLEMENT_Q, N_DEHEX, N_ENHEX, N_NEGATIVE_Q, N_POSITIVE_Q, N_MAX, N_MIN, N_SHIFT,
    N_TO_HEX, N_SINE, N_COSINE, N_TANGENT, N_ARCSINE, N_ARCCOSINE, N_ARCTANGENT, N_ARCTANGENT2, N_NAN_Q, N_LOG_2,
    N_LOG_10, N_LOG_E, N_EXP, N_SQUARE_ROOT, N_CONSTRUCT, N_VALUE_Q, N_TRY, N_UPPERCASE, N_LOWERCASE, N_AS_PAIR,
    N_AS_POINT2D, N_AS_POINT3D, N_AS_MONEY, N_BREAK, N_CONTINUE, N_EXIT, N_RETURN, N_THROW, N_CATCH, N_EXTEND,
    N_DEBASE, N_TO_LOCAL_FILE, N_WAIT, N_CHECKSUM, N_UNSET, N_NEW_LINE, N_NEW_LINE_Q, N_ENBASE, N_CONTEXT_Q,
    N_SET_ENV, N_GET_ENV, N_LIST_ENV, N_NOW, N_SIGN_Q, N_AS, N_CALL, N_ZERO_Q, N_SIZE_Q, N_BROWSE, N_COMPRESS,
    N_DECOMPRESS, N_RECYCLE, N_TRANSCODE, N_APPLY,
};
constexpr u32 NATIVE_COUNT = 107;
static_assert(N_APPLY == NATIVE_COUNT, "a native index is missing or given twice");

// Makes the print buffer.
void init();
// The entry at a 1-based index (null outside 1..107).
NativeFn entry(u32 index);
// Calls the entry at `index` over the current frame.
void call(u32 index, bool check, const i32* refinements);
// The word a native is bound to ("if", "equal?" ...), null outside 1..107.
const char* word_of(u32 index);
// The native's spec block as source text (without the outer brackets).
const char* spec_text(u32 index);
// Number of refinements in the native's spec (the length of `refinements`).
u32 refinement_count(u32 index);

// The check of a set check flag: every argument (and every argument of a
// used refinement) against the typeset of its parameter; script/expect-arg.
void check_args(NativeIndex index, const i32* refinements);

// Sets the global words of start-up: native! values for the 107 natives
// (working out each one's argument checks from its spec block, once; a spec
// that does not describe its native ends start-up),
// action! values for the actions (eval-path, set-path and compare have no
// word) and the datatype words. The library defines the operators, true,
// false and none. `specs` is what load_builtin_specs answers, loaded here
// when null (start-up passes the copy that the boot image carries).
void bind_globals(const Cell* specs = nullptr);

// The built-ins' specs loaded from their text, pushed: a block of two
// blocks (natives, then actions), each of "[spec] index word" triples in
// table order. Loading them makes each word where loading each spec and
// then naming its built-in would.
Cell* load_builtin_specs();

// The 32-cell block print and prin reduce into.
node_t print_buffer();
// Whether the last print or prin ended a line (print sets it, prin clears
// it); false before any output.
extern bool line_ended;
// Called after `wait` has slept, so that a text user interface shown on the
// terminal handles its pending events; the View back-end registers it.
extern void (*after_wait)();

// Steps of the control natives.
// Block step of `do`: /expand and /next refinement positions (-1 unused).
void do_block(i32 expand, i32 next);
// End of a compiled try: the value at the stack top becomes the result.
void try_handler(bool keep);
// do and try for compiled callers: hand back break, continue, return and exit
// codes (0 when nothing is pending) instead of re-throwing them.
u32 do_code(bool check, const i32* refinements);
u32 try_code(bool check, const i32* refinements);
// attempt's work: the block at the first argument tried as try (/all when
// `all`) tries it, its value the result, none where the guard stopped an
// error or (with `all`) any other exit.
void attempt_block(bool all);

// The entries.
void if_star(bool check, const i32* refinements);
void unless_star(bool check, const i32* refinements);
void either_star(bool check, const i32* refinements);
void any_star(bool check, const i32* refinements);
void all_star(bool check, const i32* refinements);
void while_star(bool check, const i32* refinements);
void until_star(bool check, const i32* refinements);
void loop_star(bool check, const i32* refinements);
void repeat_star(bool check, const i32* refinements);
void forever_star(bool check, const i32* refinements);
void foreach_star(bool check, const i32* refinements);
void forall_star(bool check, const i32* refinements);
void remove_each_star(bool check, const i32* refinements);
void func_star(bool check, const i32* refinements);
void function_star(bool check, const i32* refinements);
void does_star(bool check, const i32* refinements);
void has_star(bool check, const i32* refinements);
void switch_star(bool check, const i32* refinements);
// `switch`'s choice: whether a case of the block `cases` equals `value` (of
// its type, as compare_value's equality finds it; never a block value), and
// the first block after that case into *branch (null: none).
bool switch_match(const Cell* value, const Cell* cases, const Cell** branch);
void case_star(bool check, const i32* refinements);
void do_star(bool check, const i32* refinements);
void get_star(bool check, const i32* refinements);
void set_star(bool check, const i32* refinements);
void print_star(bool check, const i32* refinements);
void prin_star(bool check, const i32* refinements);
void equal_q_star(bool check, const i32* refinements);
void not_equal_q_star(bool check, const i32* refinements);
void strict_equal_q_star(bool check, const i32* refinements);
void lesser_q_star(bool check, const i32* refinements);
void greater_q_star(bool check, const i32* refinements);
void lesser_or_equal_q_star(bool check, const i32* refinements);
void greater_or_equal_q_star(bool check, const i32* refinements);
void same_q_star(bool check, const i32* refinements);
void not_star(bool check, const i32* refinements);
void type_q_star(bool check, const i32* refinements);
void reduce_star(bool check, const i32* refinements);
void compose_star(bool check, const i32* refinements);
void stats_star(bool check, const i32* refinements);
void bind_star(bool check, const i32* refinements);
void in_star(bool check, const i32* refinements);
void parse_star(bool check, const i32* refinements);
void union_star(bool check, const i32* refinements);
void intersect_star(bool check, const i32* refinements);
void unique_star(bool check, const i32* refinements);
void difference_star(bool check, const i32* refinements);
void exclude_star(bool check, const i32* refinements);
void complement_q_star(bool check, const i32* refinements);
void dehex_star(bool check, const i32* refinements);
void enhex_star(bool check, const i32* refinements);
void negative_q_star(bool check, const i32* refinements);
void positive_q_star(bool check, const i32* refinements);
void max_star(bool check, const i32* refinements);
void min_star(bool check, const i32* refinements);
void shift_star(bool check, const i32* refinements);
void to_hex_star(bool check, const i32* refinements);
void sine_star(bool check, const i32* refinements);
void cosine_star(bool check, const i32* refinements);
void tangent_star(bool check, const i32* refinements);
void arcsine_star(bool check, const i32* refinements);
void arccosine_star(bool check, const i32* refinements);
void arctangent_star(bool check, const i32* refinements);
void arctangent2_star(bool check, const i32* refinements);
void NaN_q_star(bool check, const i32* refinements);
void log_2_star(bool check, const i32* refinements);
void log_10_star(bool check, const i32* refinements);
void log_e_star(bool check, const i32* refinements);
void exp_star(bool check, const i32* refinements);
void square_root_star(bool check, const i32* refinements);
void construct_star(bool check, const i32* refinements);
void value_q_star(bool check, const i32* refinements);
void try_star(bool check, const i32* refinements);
void uppercase_star(bool check, const i32* refinements);
void lowercase_star(bool check, const i32* refinements);
void as_pair_star(bool check, const i32* refinements);
void as_point2D_star(bool check, const i32* refinements);
void as_point3D_star(bool check, const i32* refinements);
void as_money_star(bool check, const i32* refinements);
void break_star(bool check, const i32* refinements);
void continue_star(bool check, const i32* refinements);
void exit_star(bool check, const i32* refinements);
void return_star(bool check, const i32* refinements);
void throw_star(bool check, const i32* refinements);
void catch_star(bool check, const i32* refinements);
void extend_star(bool check, const i32* refinements);
void debase_star(bool check, const i32* refinements);
void to_local_file_star(bool check, const i32* refinements);
void wait_star(bool check, const i32* refinements);
void checksum_star(bool check, const i32* refinements);
void unset_star(bool check, const i32* refinements);
void new_line_star(bool check, const i32* refinements);
void new_line_q_star(bool check, const i32* refinements);
void enbase_star(bool check, const i32* refinements);
void context_q_star(bool check, const i32* refinements);
void set_env_star(bool check, const i32* refinements);
void get_env_star(bool check, const i32* refinements);
void list_env_star(bool check, const i32* refinements);
void now_star(bool check, const i32* refinements);
void sign_q_star(bool check, const i32* refinements);
void as_star(bool check, const i32* refinements);
void call_star(bool check, const i32* refinements);
void zero_q_star(bool check, const i32* refinements);
void size_q_star(bool check, const i32* refinements);
void browse_star(bool check, const i32* refinements);
void compress_star(bool check, const i32* refinements);
void decompress_star(bool check, const i32* refinements);
void recycle_star(bool check, const i32* refinements);
void transcode_star(bool check, const i32* refinements);
void apply_star(bool check, const i32* refinements);

}  // namespace zav::natives
