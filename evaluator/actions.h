// The generic actions: what an action! value calls, and typed workers that
// dispatch on the target's datatype.
#pragma once
#include "datatypes/action_slots.h"

namespace zav::actions {

// ---- Generic entries --------------------------------------------------------
// What an action! value calls: the arguments are the running frame's cells
// (target first, then the others in spec order); each refinement arrives as
// one integer, -1 when unused, else the index from stack::arguments of its
// first argument cell (0 for a used refinement without arguments). The
// result is left in the first cell.
using GenericEntry = void (*)(const i32* refinements);
// Slot 1..62 (slot 8, set-path, has none).
extern GenericEntry generic_table[ACTIONS_COUNT + 1];
void register_(u32 n, const GenericEntry* entries);
void init();
// Calls the generic entry of an action slot with its refinement integers.
// `tried`: the caller tried the typed series shapes (plain_series_action)
// already, which are not tried again.
void call_generic(u32 slot, const i32* refinements, bool tried = false);

// Calls the slot entry (a "stack" slot) for the type of the first argument.
void dispatch_stack(u32 slot);
// The eval-path (7) or set-path (8) entry of a value's type; raises
// script/bad-path-type (path given) or bad-path-type2.
action_fn::EvalPath get_path_action(const Cell* value, u32 slot, Cell* element, Cell* path, Cell* parent);
// pick/poke index: integer!, char! code point, 1 for true, 2 for false, else 0.
i32 get_index_argument();
// Compares argument cells 0 and 1; the logic result goes into cell 0.
void compare_op(i32 op);
// With `pending` (the evaluator's own path steps, which check for an exit as
// the step returns), a value without path steps and a missing object field
// are raised pending (see fire_pending), the step answering null.
Cell* eval_path_dispatch(Cell* parent, Cell* element, Cell* value, Cell* path, bool case_, Cell* gparent = nullptr,
                         Cell* p_item = nullptr, i32 index = 0, bool get = false, bool tail = false,
                         bool pending = false);
// After a set through a path changed an immediate value (time!, pair!, ...),
// which is always a copy: stores `changed` back where it came from. `steps`
// holds `count` pairs (container, item), one per path step before the last,
// the head's value first; the walk goes outward through immediate containers,
// stops at the first reference container (whose eval-path changes it in place
// and fires an object's on-change*), and past the first step sets the head
// word, when it is one.
void store_path_back(const Cell* changed, Cell* steps, u32 count, Cell* head, Cell* path, bool case_);

void make_star();
void random_star(i32 seed, i32 secure, i32 only);
void reflect_star();
void to_star();
void form_star(i32 part);
void mold_star(i32 only, i32 all, i32 flat, i32 part);
void eval_path_star(i32 case_);
void compare_star_entry();
void absolute_star();
void add_star();
void divide_star();
void multiply_star();
void negate_star();
void power_star();
void remainder_star();
void round_star(i32 to, i32 even, i32 down, i32 half_down, i32 floor, i32 ceiling, i32 half_ceiling);
void subtract_star();
void even_q_star();
void odd_q_star();
void and_t_star();
void complement_star();
void or_t_star();
void xor_t_star();
void append_star(i32 part, i32 only, i32 dup);
void at_star();
void back_star();
void change_star(i32 part, i32 only, i32 dup);
void clear_star();
void copy_star(i32 part, i32 deep, i32 types);
void find_star(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse,
               i32 tail, i32 match);
void head_star();
void head_q_star();
void index_q_star();
void insert_star(i32 part, i32 only, i32 dup);
void length_q_star();
void move_star(i32 part);
void next_star();
void pick_star();
void poke_star();
void put_star(i32 case_);
void remove_star(i32 part, i32 key);
void reverse_star(i32 part, i32 skip);
void select_star(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse);
void sort_star(i32 case_, i32 skip, i32 compare, i32 part, i32 all, i32 reverse, i32 stable);
void skip_star();
void swap_star();
void tail_star();
void tail_q_star();
void take_star(i32 part, i32 deep, i32 last);
void trim_star(i32 head, i32 tail, i32 auto_, i32 lines, i32 all, i32 with);
void create_star();
void close_star();
void delete_star();
void modify_star(i32 case_);
void open_star(i32 new_, i32 read, i32 write, i32 seek, i32 allow);
void open_q_star();
void query_star();
void read_star(i32 part, i32 seek, i32 binary, i32 lines, i32 info, i32 as);
void rename_star();
void update_star();
void write_star(i32 binary, i32 lines, i32 info, i32 append, i32 part, i32 seek, i32 allow, i32 as);

// Typed workers: the arguments as values, dispatched on the target's type.
Cell* make_dispatch(Cell* proto, Cell* spec, u32 type);
Cell* random_dispatch(Cell* value, bool seed, bool secure, bool only);
Cell* reflect_dispatch(Cell* value, u32 field_symbol);
Cell* to_dispatch(Cell* proto, Cell* spec, u32 type);
Cell* negate_dispatch(Cell* value);
Cell* round_dispatch(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil,
                     bool half_ceil);
bool even_q_dispatch(Cell* value);
bool odd_q_dispatch(Cell* value);
Cell* complement_dispatch(Cell* value);
Cell* append_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup);
Cell* insert_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup);
Cell* change_dispatch(Cell* series, Cell* value, Cell* part, bool only, Cell* dup);
Cell* clear_dispatch(Cell* series);
Cell* copy_dispatch(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find_dispatch(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                    Cell* skip, bool last, bool reverse, bool tail, bool match);
i32 length_q_dispatch(Cell* series);
Cell* move_dispatch(Cell* origin, Cell* target, Cell* part);
Cell* pick_dispatch(Cell* series, i32 index, Cell* boxed);
Cell* poke_dispatch(Cell* series, i32 index, Cell* data, Cell* boxed);
Cell* put_dispatch(Cell* series, Cell* key, Cell* value, bool case_);
Cell* remove_dispatch(Cell* series, Cell* part, Cell* key);
Cell* reverse_dispatch(Cell* series, Cell* part, Cell* skip);
Cell* select_dispatch(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                      Cell* with, Cell* skip, bool last, bool reverse);
Cell* sort_dispatch(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
                    bool stable);
Cell* swap_dispatch(Cell* series1, Cell* series2);
Cell* take_dispatch(Cell* series, Cell* part, bool deep, bool last);
Cell* trim_dispatch(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
Cell* create_dispatch(Cell* port);
Cell* close_dispatch(Cell* port);
Cell* delete_dispatch(Cell* port);
Cell* modify_dispatch(Cell* target, Cell* field, Cell* value, bool case_);
Cell* open_dispatch(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* open_q_dispatch(Cell* port);
Cell* query_dispatch(Cell* port);
Cell* read_dispatch(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* rename_dispatch(Cell* from, Cell* to);
Cell* update_dispatch(Cell* port);
Cell* write_dispatch(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
                     Cell* seek, Cell* allow, Cell* as);

}  // namespace zav::actions
