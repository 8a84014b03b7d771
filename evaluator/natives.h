// The native table: the language's 107 built-in functions, each an entry of
// the runtime at a fixed index (1-based; `if` is 1, `apply` 107).
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

constexpr u32 NATIVE_COUNT = 107;
constexpr u32 INDEX_PRINT = 23;
constexpr u32 TABLE_SLOTS = 120;

// Allocates the table and the print buffer, registers the 107 entries.
void init();
// Stores `count` entries from the next native index on.
void register_(u32 count, const NativeFn* entries);
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
void check_args(u32 index, const i32* refinements);

// Sets the global words of start-up: native! values for the 107 natives,
// action! values for the actions (eval-path, set-path and compare have no
// word) and the datatype words. The library defines the operators, true,
// false and none.
void bind_globals();

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

// The entries, in table order.
void if_star(bool check, const i32* refinements);  // 1 if
void unless_star(bool check, const i32* refinements);  // 2 unless
void either_star(bool check, const i32* refinements);  // 3 either
void any_star(bool check, const i32* refinements);  // 4 any
void all_star(bool check, const i32* refinements);  // 5 all
void while_star(bool check, const i32* refinements);  // 6 while
void until_star(bool check, const i32* refinements);  // 7 until
void loop_star(bool check, const i32* refinements);  // 8 loop
void repeat_star(bool check, const i32* refinements);  // 9 repeat
void forever_star(bool check, const i32* refinements);  // 10 forever
void foreach_star(bool check, const i32* refinements);  // 11 foreach
void forall_star(bool check, const i32* refinements);  // 12 forall
void remove_each_star(bool check, const i32* refinements);  // 13 remove-each
void func_star(bool check, const i32* refinements);  // 14 func
void function_star(bool check, const i32* refinements);  // 15 function
void does_star(bool check, const i32* refinements);  // 16 does
void has_star(bool check, const i32* refinements);  // 17 has
void switch_star(bool check, const i32* refinements);  // 18 switch
void case_star(bool check, const i32* refinements);  // 19 case
void do_star(bool check, const i32* refinements);  // 20 do
void get_star(bool check, const i32* refinements);  // 21 get
void set_star(bool check, const i32* refinements);  // 22 set
void print_star(bool check, const i32* refinements);  // 23 print
void prin_star(bool check, const i32* refinements);  // 24 prin
void equal_q_star(bool check, const i32* refinements);  // 25 equal?
void not_equal_q_star(bool check, const i32* refinements);  // 26 not-equal?
void strict_equal_q_star(bool check, const i32* refinements);  // 27 strict-equal?
void lesser_q_star(bool check, const i32* refinements);  // 28 lesser?
void greater_q_star(bool check, const i32* refinements);  // 29 greater?
void lesser_or_equal_q_star(bool check, const i32* refinements);  // 30 lesser-or-equal?
void greater_or_equal_q_star(bool check, const i32* refinements);  // 31 greater-or-equal?
void same_q_star(bool check, const i32* refinements);  // 32 same?
void not_star(bool check, const i32* refinements);  // 33 not
void type_q_star(bool check, const i32* refinements);  // 34 type?
void reduce_star(bool check, const i32* refinements);  // 35 reduce
void compose_star(bool check, const i32* refinements);  // 36 compose
void stats_star(bool check, const i32* refinements);  // 37 stats
void bind_star(bool check, const i32* refinements);  // 38 bind
void in_star(bool check, const i32* refinements);  // 39 in
void parse_star(bool check, const i32* refinements);  // 40 parse
void union_star(bool check, const i32* refinements);  // 41 union
void intersect_star(bool check, const i32* refinements);  // 42 intersect
void unique_star(bool check, const i32* refinements);  // 43 unique
void difference_star(bool check, const i32* refinements);  // 44 difference
void exclude_star(bool check, const i32* refinements);  // 45 exclude
void complement_q_star(bool check, const i32* refinements);  // 46 complement?
void dehex_star(bool check, const i32* refinements);  // 47 dehex
void enhex_star(bool check, const i32* refinements);  // 48 enhex
void negative_q_star(bool check, const i32* refinements);  // 49 negative?
void positive_q_star(bool check, const i32* refinements);  // 50 positive?
void max_star(bool check, const i32* refinements);  // 51 max
void min_star(bool check, const i32* refinements);  // 52 min
void shift_star(bool check, const i32* refinements);  // 53 shift
void to_hex_star(bool check, const i32* refinements);  // 54 to-hex
void sine_star(bool check, const i32* refinements);  // 55 sine
void cosine_star(bool check, const i32* refinements);  // 56 cosine
void tangent_star(bool check, const i32* refinements);  // 57 tangent
void arcsine_star(bool check, const i32* refinements);  // 58 arcsine
void arccosine_star(bool check, const i32* refinements);  // 59 arccosine
void arctangent_star(bool check, const i32* refinements);  // 60 arctangent
void arctangent2_star(bool check, const i32* refinements);  // 61 arctangent2
void NaN_q_star(bool check, const i32* refinements);  // 62 NaN?
void log_2_star(bool check, const i32* refinements);  // 63 log-2
void log_10_star(bool check, const i32* refinements);  // 64 log-10
void log_e_star(bool check, const i32* refinements);  // 65 log-e
void exp_star(bool check, const i32* refinements);  // 66 exp
void square_root_star(bool check, const i32* refinements);  // 67 square-root
void construct_star(bool check, const i32* refinements);  // 68 construct
void value_q_star(bool check, const i32* refinements);  // 69 value?
void try_star(bool check, const i32* refinements);  // 70 try
void uppercase_star(bool check, const i32* refinements);  // 71 uppercase
void lowercase_star(bool check, const i32* refinements);  // 72 lowercase
void as_pair_star(bool check, const i32* refinements);  // 73 as-pair
void as_point2D_star(bool check, const i32* refinements);  // 74 as-point2D
void as_point3D_star(bool check, const i32* refinements);  // 75 as-point3D
void as_money_star(bool check, const i32* refinements);  // 76 as-money
void break_star(bool check, const i32* refinements);  // 77 break
void continue_star(bool check, const i32* refinements);  // 78 continue
void exit_star(bool check, const i32* refinements);  // 79 exit
void return_star(bool check, const i32* refinements);  // 80 return
void throw_star(bool check, const i32* refinements);  // 81 throw
void catch_star(bool check, const i32* refinements);  // 82 catch
void extend_star(bool check, const i32* refinements);  // 83 extend
void debase_star(bool check, const i32* refinements);  // 84 debase
void to_local_file_star(bool check, const i32* refinements);  // 85 to-local-file
void wait_star(bool check, const i32* refinements);  // 86 wait
void checksum_star(bool check, const i32* refinements);  // 87 checksum
void unset_star(bool check, const i32* refinements);  // 88 unset
void new_line_star(bool check, const i32* refinements);  // 89 new-line
void new_line_q_star(bool check, const i32* refinements);  // 90 new-line?
void enbase_star(bool check, const i32* refinements);  // 91 enbase
void context_q_star(bool check, const i32* refinements);  // 92 context?
void set_env_star(bool check, const i32* refinements);  // 93 set-env
void get_env_star(bool check, const i32* refinements);  // 94 get-env
void list_env_star(bool check, const i32* refinements);  // 95 list-env
void now_star(bool check, const i32* refinements);  // 96 now
void sign_q_star(bool check, const i32* refinements);  // 97 sign?
void as_star(bool check, const i32* refinements);  // 98 as
void call_star(bool check, const i32* refinements);  // 99 call
void zero_q_star(bool check, const i32* refinements);  // 100 zero?
void size_q_star(bool check, const i32* refinements);  // 101 size?
void browse_star(bool check, const i32* refinements);  // 102 browse
void compress_star(bool check, const i32* refinements);  // 103 compress
void decompress_star(bool check, const i32* refinements);  // 104 decompress
void recycle_star(bool check, const i32* refinements);  // 105 recycle
void transcode_star(bool check, const i32* refinements);  // 106 transcode
void apply_star(bool check, const i32* refinements);  // 107 apply

}  // namespace zav::natives
