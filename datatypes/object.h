// object!: a value that owns an object context (kind 2, with self), its class
// id, and the record of its change handlers on-change* and on-deep-change*.
#pragma once
#include "runtime/cell.h"

namespace zav::object {

// Object cell: data1 context node, data2 class id, data3 handler record node (0: none).
inline node_t ctx_of(const Cell* obj) { return obj->data1; }
inline i32 class_of(const Cell* obj) { return static_cast<i32>(obj->data2); }
inline node_t on_set_of(const Cell* obj) { return obj->data3; }

constexpr i32 CLASS_ERROR = 1;
constexpr i32 CLASS_PORT = 2;
// The class counter: the first class made at run time is 1,000,001.
extern i32 class_counter;
i32 next_class();

void init();

// Fields by position.
Cell* get_word(node_t ctx, i32 position);
Cell* get_first(const Cell* obj);
Cell* get_word_ptr(const Cell* obj, const Cell* value);  // null when outside the values
Cell* get_values(const Cell* obj);
u32 get_size(const Cell* obj);
i32 find_word(const Cell* obj, const Cell* word);  // case-insensitive; -1 when missing
Cell* select_word(const Cell* obj, const Cell* word);  // the value cell, or the shared none cell
bool unchanged_q(const Cell* word, i32 class_id);
bool unchanged2_q(node_t ctx, i32 index, i32 class_id);

// Makers.
Cell* push(node_t ctx, i32 class_id, node_t on_set);
Cell* push_ctx(node_t ctx, i32 class_id);
Cell* make_at(Cell* obj, i32 change_pos, i32 change_locals, i32 deep_pos, i32 deep_locals);
Cell* make_ctx_at(Cell* cell, u32 capacity);

// Change notification.
void fire_on_change(Cell* owner, Cell* word, Cell* old_value, Cell* new_value);
void fire_on_set(Cell* obj, Cell* word);
void fire_on_word(Cell* obj_word, Cell* field_word);
void fire_on_deep_change(Cell* owner, Cell* word, Cell* target, Cell* action, Cell* new_value, i32 index,
                         i32 part);
void set_many(Cell* obj, Cell* value, bool any, bool only, bool some);

// Building blocks of make, copy and construct.
bool extend(node_t target, node_t source);
void rebind_function(Cell* fn, node_t ctx);
Cell* clone(Cell* src, Cell* dst, bool deep, Cell* types, bool finish);
void finish_make(Cell* obj);
Cell* make_proto(Cell* cell, Cell* proto);
Cell* construct_values(Cell* obj, Cell* spec, bool only);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* obj, u32 field_symbol);
i32 form(Cell* obj, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* obj, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* obj1, Cell* obj2, i32 op);
Cell* copy(Cell* obj, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* obj, Cell* key, Cell* value, bool case_);
Cell* select(Cell* obj, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* modify(Cell* obj, Cell* field, Cell* value, bool case_);

}  // namespace zav::object
