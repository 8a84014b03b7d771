// ZAVBIN reader: both record forms, boot mode and codec mode.
#include "loader/zavbin.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/imaging.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/date.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/scope.h"
#include "runtime/stack.h"
#include "loader/crush.h"
#include "loader/zavbin_internal.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/machine_stack.h"
#include "runtime/unicode.h"

namespace zav::zavbin {

bool codec_q = false;
u32 root_base = 0;

namespace {

BuiltinMaker builtin_maker = nullptr;

bool registered_q(u32 type) {
    return type < TYPE_TOTAL_COUNT && datatype::records[type].name && *datatype::records[type].name;
}

inline Cell* cells(node_t n) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()); }
inline u32 length(node_t n) { return GET_BUFFER(n)->length(); }

// Nesting deeper than this is refused as corrupt: the reader recurses once per
// level, and no value the writers accept goes deeper (they stop at the same depth).
constexpr u32 MAX_DEPTH = MAX_NESTING;

// Reference paths longer than this are corrupt: a path takes a step per level,
// so real ones stay near MAX_NESTING, and the bound keeps a corrupt count from
// sizing the path buffer.
constexpr u32 MAX_PATH = 65536;

struct Header {
    u32 type = 0;
    bool sub = false;      // compact S bit
    u32 bits = 0;          // fixed-width header word
    bool ref = false;      // given by reference
    bool newline = false;
    bool def = false;      // boot definition
};

class Reader {
public:
    // bias: added to error offsets (an unpacked body counts as if it followed the header).
    Reader(const u8* start, Mode mode, node_t dest, i64 bias = 0)
        : start_(start), bias_(bias), mode_(mode), dest_(dest) {
        block::make_at(&scratch_.value, 8);
    }

    // Offsets in errors count from the data start, 1-based.
    [[noreturn]] void throw_corrupted(const u8* p) const {
        Cell at_;
        make_cell(&at_, TYPE_INTEGER, 0, static_cast<u32>(p - start_ + 1 + bias_));
        fire("script", "zb-invalid-record", &at_);
    }

    // ---- Primitive fields ----------------------------------------------------

    u8 byte(const u8*& p, const u8* end) const {
        if (p >= end) throw_corrupted(p);
        return *p++;
    }
    u32 read_varint(const u8*& p, const u8* end) const {
        const u8* from = p;
        u32 v = 0;
        for (u32 i = 0; i < 5; i++) {
            if (p >= end) throw_corrupted(p);
            u8 b = *p++;
            if (i == 4) {
                // The fifth byte holds bits 28-31 and ends the number.
                if (b >= 0x10) throw_corrupted(from);
                return v | (static_cast<u32>(b) << 28);
            }
            v |= static_cast<u32>(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) return v;
        }
        return v;
    }
    u32 word(const u8*& p, const u8* end) const {
        if (end - p < 4) throw_corrupted(p);
        u32 v;
        std::memcpy(&v, p, 4);
        p += 4;
        return v;
    }
    // An unsigned count: a varint, or a word in the fixed form.
    u32 num(const u8*& p, const u8* end) const { return fixed_ ? word(p, end) : read_varint(p, end); }
    // A signed number: a zvarint, or a word in the fixed form.
    i32 znum(const u8*& p, const u8* end) const {
        if (fixed_) return static_cast<i32>(word(p, end));
        u32 u = read_varint(p, end);
        return static_cast<i32>((u >> 1) ^ (0u - (u & 1)));
    }
    // A count of items that each take at least `each` bytes of what is left.
    u32 count(const u8*& p, const u8* end, u32 each) const {
        const u8* at_ = p;
        u32 n = num(p, end);
        if (static_cast<u64>(n) * each > static_cast<u64>(end - p)) throw_corrupted(at_);
        return n;
    }
    // Raw bytes, padded to 4 in the fixed form.
    const u8* bytes(const u8*& p, const u8* end, u64 n) const {
        u64 padded = fixed_ ? (n + 3) & ~u64(3) : n;
        if (padded > static_cast<u64>(end - p)) throw_corrupted(p);
        const u8* data = p;
        p += padded;
        return data;
    }

    // ---- Symbols -------------------------------------------------------------

    // Reads the symbol table at p (its two counts already read) and answers
    // the position after it.
    const u8* read_symbols(const u8* p, const u8* end, const u8* counts_at, u32 count, u32 size) {
        u64 left = static_cast<u64>(end - p);
        if (count > 0x7FFFFFFF || size > 0x7FFFFFFF || count > left / 4 || size > left - u64(count) * 4)
            throw_corrupted(counts_at);
        offsets_ = p;
        strings_ = p + u64(count) * 4;
        sym_count_ = count;
        string_size_ = size;
        if (size && strings_[size - 1] != 0) throw_corrupted(strings_ + size - 1);
        symbols_.assign(count, 0);
        globals_.assign(count, -1);
        if (given_hashes_ && given_hashes_->count == count && given_hashes_->seed == hashtable::seed)
            hashes_ = given_hashes_->hashes;
        return strings_ + size;
    }
    // The interned symbol of a table index, checked on first use.
    i32 symbol(const u8*& p, const u8* end) {
        const u8* at_ = p;
        u32 i = num(p, end);
        if (i >= sym_count_) throw_corrupted(at_);
        return interned(i, at_);
    }
    i32 interned(u32 i, const u8* at_) {
        if (symbols_[i]) return symbols_[i];
        u32 off;
        std::memcpy(&off, offsets_ + u64(i) * 4, 4);
        if (off >= string_size_) throw_corrupted(at_);
        const u8* name = strings_ + off;
        u32 len = static_cast<u32>(std::strlen(reinterpret_cast<const char*>(name)));
        if (len == 0) throw_corrupted(at_);
        for (const u8* q = name; q < name + len;) {
            if (*q < 0x80) {  // most names are ASCII
                q++;
                continue;
            }
            i32 cp;
            q = unicode::fast_decode_utf8_char(q, name + len, &cp);
            if (cp < 0) throw_corrupted(at_);
        }
        symbols_[i] = hashes_ ? symbol::make_hashed(name, len, hashes_[i]) : symbol::make_from_utf8(name, len);
        return symbols_[i];
    }

    // ---- Records ------------------------------------------------------------------

    // Reads records up to `end` into the destination block.
    void read_payload(const u8* p, const u8* end) {
        while (p < end) {
            if (fixed_ && skip_padding(p, end)) break;
            p = record(p, end, dest_);
        }
        check_heads();
    }

    // One record of either form, appended to `parent`: the short path for
    // leaves inline, the rest out of line (its frame is large).
    inline const u8* record(const u8* p, const u8* end, node_t parent);
    [[gnu::noinline]] const u8* general_record(const u8* p, const u8* end, node_t parent);
    const u8* plain_block(const u8* p, const u8* end, node_t parent);
    const u8* plain_text(const u8* p, const u8* end, node_t parent);
    // One record that must leave exactly one value (not a definition), copied to `out`.
    const u8* one(const u8* p, const u8* end, node_t parent, Cell& out) {
        u32 index = length(parent);
        const u8* at_ = p;
        p = record(p, end, parent);
        if (length(parent) != index + 1) throw_corrupted(at_);
        out = cells(parent)[index];
        return p;
    }
    const u8* decode_value(const u8* p, const u8* end, node_t parent);
    const u8* decode_value_compact(const u8* p, const u8* end, node_t parent);

    bool fixed_ = false;
    // Hashes of the symbols, offered by the caller, used when they fit.
    const SymbolHashes* given_hashes_ = nullptr;
    u32 root_base_count_ = 0;
    // Boot images of version 1 bind words by root index; what the writers
    // produce (version 2) carries its bindings as owner records and paths in
    // boot mode too, so a written image loads as it was written.
    bool root_bindings_ = false;
    // Series flags for any-block roots and the any-blocks within them (boot_load).
    u32 block_flags_ = 0;

private:
    struct Depth {
        u32& d;
        Depth(u32& depth, const Reader& r, const u8* p) : d(depth) {
            if (++d > MAX_DEPTH) r.throw_corrupted(p);
        }
        ~Depth() { d--; }
    };

    // Skips type-0 padding words; true when the end is reached.
    bool skip_padding(const u8*& p, const u8* end) const {
        while (end - p >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0) p += 4;
        return p >= end;
    }

    Header header(const u8*& p, const u8* end);
    inline const u8* leaf(const u8* p, const u8* end, node_t parent);
    // The first unbound word of a symbol: its symbol and global word, as
    // finish_word makes them.
    [[gnu::noinline]] void first_global(u32 i, const u8* at_) {
        i32 sym = interned(i, at_);
        Cell w;
        word::make_at(sym, &w);
        globals_[i] = word_index(&w);
    }
    // A new cell at the tail of `parent`: most blocks read are sized for their
    // records, so the room test is inline.
    static Cell* append_cell(node_t parent) {
        SeriesBuffer* b = GET_BUFFER(parent);
        if (b->tail + sizeof(Cell) > off_of(b->data_end())) return alloc_at_tail(parent);
        Cell* c = reinterpret_cast<Cell*>(b->tail_ptr());
        b->tail += sizeof(Cell);
        make_cell(c, TYPE_UNSET);
        return c;
    }
    const u8* append_value(Cell v, bool newline, const u8* p, node_t parent);
    const u8* typed_value(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* value(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);

    // Appends one unset cell to `parent` and answers its index.
    static u32 append(node_t parent) {
        append_cell(parent);
        return length(parent) - 1;
    }
    static Cell* slot(node_t parent, u32 index) { return cells(parent) + index; }

    // A reference path: walks it and answers the named cell.
    const u8* reference(const u8* p, const u8* end, Cell& out);
    Cell resolve(const u8* after) const;
    // A reference record under the fixed form's bit 19 (the word 255 first).
    const u8* fixed_reference(const u8* p, const u8* end, Cell& out) {
        const u8* at_ = p;
        if (word(p, end) != 255) throw_corrupted(at_);
        return reference(p, end, out);
    }
    const u8* named(const u8* p, const u8* end, Cell& out) {
        return fixed_ ? fixed_reference(p, end, out) : reference(p, end, out);
    }

    const u8* series(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* any_word(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    // What any_word read of a word before its cell is made.
    struct WordRead {
        u32 table_index;  // of its symbol
        i32 sym;
        i32 idx = -1;
        const u8* idx_at;
        node_t ctx = 0;
        bool bound;
    };
    const u8* finish_word(const Header& h, const u8* p, const u8* end, node_t parent, u32 index, WordRead& w);
    const u8* context_record(const u8* p, const u8* end, node_t parent, u32 owner_index, bool function);
    // A reference to a context already read: appends the value owning it,
    // which must be of type `type`.
    const u8* owner_by_name(const u8* p, const u8* end, node_t parent, u32 type) {
        Cell named_;
        const u8* at_ = p;
        p = named(p, end, named_);
        node_t ctx = context_of(named_);
        if (!ctx) throw_corrupted(at_);
        Cell owner = *context::owner_of(ctx);
        if (TYPE_OF(&owner) != type) throw_corrupted(at_);
        *slot(parent, append(parent)) = owner;
        return p;
    }
    const u8* object(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* function(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* builtin(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* op(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    const u8* error(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent);
    // Reads one block record (prefixes allowed) into the scratch block and answers its node.
    const u8* block_record(const u8* p, const u8* end, node_t& out);
    // The context a word binds to through the named value, or 0.
    static node_t context_of(const Cell& named);

    // An any-block read into `parent` takes block_flags_ when the parent is
    // the destination or has them: the flags reach what a deep walk from the
    // roots through any-blocks would reach, without the walk.
    bool flagged_parent(node_t parent) const {
        return parent == dest_ || (GET_BUFFER(parent)->flags & block_flags_) == block_flags_;
    }

    // Heads given by reference are checked once every series is complete.
    void check_heads() const {
        for (const PendingHead& h : heads_)
            if (h.head > length(h.node)) throw_corrupted(h.at);
    }

    const u8* start_;
    i64 bias_;
    Mode mode_;
    node_t dest_;
    collector::GuardedCell scratch_;
    const u8* offsets_ = nullptr;
    const u8* strings_ = nullptr;
    u32 sym_count_ = 0;
    u32 string_size_ = 0;
    std::vector<i32> symbols_;
    const u32* hashes_ = nullptr;
    // Per table index, the global context's index of the symbol's word once
    // an unbound word of it was read (-1 before): the global context only
    // grows while data is read, so the first lookup holds for the rest.
    std::vector<i32> globals_;
    std::vector<u32> path_;
    struct PendingHead {
        node_t node;
        u32 head;
        const u8* at;
    };
    std::vector<PendingHead> heads_;
    // A word whose owner record is being read: the owner's context binds it
    // as soon as it exists.
    struct PendingWord {
        node_t parent;
        u32 index;
        bool set;
    } pending_word_{0, 0, false};
    u32 depth_ = 0;
};

// ---- Record header ----------------------------------------------------------------

Header Reader::header(const u8*& p, const u8* end) {
    Header h;
    if (fixed_) {
        h.bits = word(p, end);
        h.type = h.bits & 0xFF;
        h.ref = (h.bits >> 19) & 1;
        h.newline = h.bits >> 31;
        return h;
    }
    const u8* lead = p;
    u8 b = byte(p, end);
    h.sub = (b & 0x40) != 0;
    h.type = b & 0x3F;
    if (h.type == 63) {
        h.type = read_varint(p, end);
        if (h.type < 63) throw_corrupted(lead);
    }
    return h;
}

// The compact form's most common records, read without the general
// machinery: a small integer, a logic value, or an unbound word, each with
// an optional new-line prefix. Answers null, having changed nothing, for
// anything else, which the general reader then takes from the same place
// (and faults exactly as before).
const u8* Reader::leaf(const u8* p, const u8* end, node_t parent) {
    if (end - p < 4) return nullptr;
    bool newline = *p == 0xC0;
    const u8* q = p + newline;
    u8 b = q[0];
    Cell v;
    if (b >= 0x80) {
        if (b <= 0xBF) make_cell(&v, TYPE_INTEGER, 0, b & 63);
        else if (b == 0xC2) make_cell(&v, TYPE_LOGIC, 1);
        else if (b == 0xC3) make_cell(&v, TYPE_LOGIC, 0);
        else return nullptr;
        q++;
    } else {
        // S clear: an unbound word, its symbol's index in one or two bytes.
        u32 type = b;
        if (!word::any_word_q(type)) return nullptr;
        const u8* sym_at = q + 1;
        u32 i = q[1];
        q += 2;
        if (i >= 0x80) {
            if (q[0] >= 0x80) return nullptr;
            i = (i & 0x7F) | u32(*q++) << 7;
        }
        if (i >= sym_count_) return nullptr;
        if (globals_[i] < 0) first_global(i, sym_at);
        make_cell(&v, type, context::global, static_cast<u32>(symbols_[i]), static_cast<u32>(globals_[i]));
    }
    if (newline) v.header |= FLAG_NEW_LINE;
    *append_cell(parent) = v;
    return q;
}

const u8* Reader::record(const u8* p, const u8* end, node_t parent) {
    if (!fixed_ && depth_ < MAX_DEPTH) {
        if (const u8* q = leaf(p, end, parent)) return q;
        if (const u8* q = plain_block(p, end, parent)) return q;
        if (const u8* q = plain_text(p, end, parent)) return q;
    }
    return general_record(p, end, parent);
}

// The compact form's text of one byte per character and no head (a
// string!, file!, url!...), with an optional new-line prefix, read as
// series() reads it; null, having changed nothing, for anything else.
const u8* Reader::plain_text(const u8* p, const u8* end, node_t parent) {
    if (end - p < 2) return nullptr;
    bool newline = *p == 0xC0;
    const u8* q = p + newline;
    u32 type = *q++;
    if (type >= 0x40 || !string::any_string_q(type) || q >= end || (*q & 3) != 0) return nullptr;
    Depth depth(depth_, *this, p);
    machine_stack::check();
    u32 index = append(parent);
    u32 n = num(q, end) >> 2;
    const u8* data = bytes(q, end, n);
    node_t node = alloc_series(n ? n : 1, 1, 0);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), data, n);
    b->tail = b->offset + n;
    Cell* c = make_cell(slot(parent, index), type, 0, node, 0);
    if (newline) c->header |= FLAG_NEW_LINE;
    return q;
}

// The compact form's block, paren or path of no head, with an optional
// new-line prefix, read without the general machinery (code is mostly blocks):
// the same steps and checks as series() takes for it. Null, having changed
// nothing, for anything else.
const u8* Reader::plain_block(const u8* p, const u8* end, node_t parent) {
    if (end - p < 2) return nullptr;
    bool newline = *p == 0xC0;
    const u8* q = p + newline;
    u32 type = *q;
    if (type != TYPE_BLOCK && type != TYPE_PAREN && !block::any_path_q(type)) return nullptr;
    Depth depth(depth_, *this, p);
    machine_stack::check();
    q++;
    u32 index = append(parent);
    u32 n = count(q, end, 1);
    node_t node = alloc_cells(n ? n : 1);
    Cell* c = make_cell(slot(parent, index), type, 0, node, 0);
    if (newline) c->header |= FLAG_NEW_LINE;
    if (block_flags_ && flagged_parent(parent)) GET_BUFFER(node)->flags |= block_flags_;
    for (u32 i = 0; i < n; i++) q = record(q, end, node);
    return q;
}

const u8* Reader::general_record(const u8* p, const u8* end, node_t parent) {
    Depth depth(depth_, *this, p);
    machine_stack::check();
    if (p >= end) throw_corrupted(p);
    return fixed_ ? decode_value(p, end, parent) : decode_value_compact(p, end, parent);
}

// Appends a value given whole by its lead byte or by reference.
const u8* Reader::append_value(Cell v, bool newline, const u8* p, node_t parent) {
    if (newline) v.header |= FLAG_NEW_LINE;
    *slot(parent, append(parent)) = v;
    return p;
}

const u8* Reader::decode_value_compact(const u8* p, const u8* end, node_t parent) {
    Header h;
    for (;; p++) {
        if (p >= end) throw_corrupted(p);
        if (*p == 0xC0) h.newline = true;
        else if (*p == 0xC1) h.ref = true;
        else if (*p == 0xC4) {
            if (mode_ == MODE_CODEC) throw_corrupted(p);
            h.def = true;
        } else break;
    }
    const u8* lead = p;
    u8 b = *p;
    if (b >= 0x80) {
        p++;
        if ((h.ref || h.def) && (b <= 0xC3 || b == 0xFF)) throw_corrupted(lead);
        if (b >= 0xC5 && b <= 0xFE) throw_corrupted(lead);
        Cell v;
        if (b <= 0xBF) make_cell(&v, TYPE_INTEGER, 0, b & 63);
        else if (b == 0xC2) make_cell(&v, TYPE_LOGIC, 1);
        else if (b == 0xC3) make_cell(&v, TYPE_LOGIC, 0);
        else p = reference(p, end, v);
        return append_value(v, h.newline, p, parent);
    }
    Header t = header(p, end);
    h.type = t.type;
    h.sub = t.sub;
    return typed_value(h, lead, p, end, parent);
}

const u8* Reader::decode_value(const u8* p, const u8* end, node_t parent) {
    skip_padding(p, end);
    const u8* lead = p;
    Header h = header(p, end);
    if (root_bindings_ && word::any_word_q(h.type)) h.def = (h.bits >> 25) & 1;
    if (h.type == 255) {
        Cell v;
        p = reference(p, end, v);
        return append_value(v, h.newline, p, parent);
    }
    return typed_value(h, lead, p, end, parent);
}

// The checks every typed record passes, then its value.
const u8* Reader::typed_value(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    if (h.type == 0) throw_corrupted(lead);
    if (h.def && (h.type < TYPE_WORD || h.type > TYPE_ISSUE)) throw_corrupted(lead);
    switch (h.type) {
        case TYPE_ROUTINE: case TYPE_TRIPLE_ID: case TYPE_HANDLE: case TYPE_PORT_ID: case TYPE_EVENT: {
            Cell dt;
            datatype::make_at(&dt, h.type);
            fire("access", "no-codec", &dt);
        }
        default: break;
    }
    u32 index = length(parent);
    p = value(h, lead, p, end, parent);
    // A definition leaves nothing behind; every other record added one cell.
    if (h.newline && length(parent) > index) slot(parent, index)->header |= FLAG_NEW_LINE;
    return p;
}

// ---- Values -----------------------------------------------------------------------------

const u8* Reader::value(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    // Only datatypes this build has can be made.
    if (!registered_q(h.type)) throw_corrupted(lead);
    Cell v;
    switch (h.type) {
        case TYPE_DATATYPE: {
            const u8* at_ = p;
            u32 id = num(p, end);
            if (!id || !registered_q(id)) throw_corrupted(at_);
            datatype::make_at(&v, id);
            break;
        }
        case TYPE_UNSET: case TYPE_NONE:
            if (h.ref) throw_corrupted(lead);
            make_cell(&v, h.type);
            break;
        case TYPE_LOGIC:
            if (!fixed_) throw_corrupted(lead);
            make_cell(&v, TYPE_LOGIC, word(p, end) != 0);
            break;
        case TYPE_CHAR: {
            const u8* at_ = p;
            u32 cp = num(p, end);
            if (cp > 0x10FFFF) throw_corrupted(at_);
            make_cell(&v, TYPE_CHAR, 0, cp);
            break;
        }
        case TYPE_INTEGER:
            make_cell(&v, TYPE_INTEGER, 0, static_cast<u32>(znum(p, end)));
            break;
        case TYPE_FLOAT: case TYPE_TIME: case TYPE_PERCENT: {
            make_cell(&v, h.type);
            if (!fixed_ && h.sub) {
                // Whole numbers; a percent counts hundredths.
                double n = static_cast<double>(znum(p, end));
                set_cell_float(&v, h.type == TYPE_PERCENT ? n / 100.0 : n);
            } else {
                u32 a = word(p, end), b = word(p, end);
                // Compact: low word first; fixed: high word first.
                if (fixed_) std::swap(a, b);
                v.data2 = a;
                v.data3 = b;
            }
            break;
        }
        case TYPE_TYPESET: {
            make_cell(&v, TYPE_TYPESET);
            if (fixed_) {
                v.data1 = word(p, end);
                v.data2 = word(p, end);
                v.data3 = word(p, end);
            } else {
                const u8* at_ = p;
                u32 n = byte(p, end);
                if (n > 12) throw_corrupted(at_);
                std::memcpy(&v.data1, bytes(p, end, n), n);
            }
            break;
        }
        case TYPE_PAIR: {
            i32 x = znum(p, end);
            make_cell(&v, TYPE_PAIR, 0, static_cast<u32>(x), static_cast<u32>(znum(p, end)));
            break;
        }
        case TYPE_DATE: {
            // The packed date, then with the has-time flag (always, fixed) the time.
            const u8* at_ = p;
            u32 d = word(p, end);
            make_cell(&v, TYPE_DATE, d);
            bool timed = fixed_ || (d & date::HAS_TIME);
            if (!fixed_ && h.sub != ((d & date::HAS_TIME) != 0)) throw_corrupted(lead);
            if (timed) {
                u32 a = word(p, end), b = word(p, end);
                if (fixed_) std::swap(a, b);
                v.data2 = a;
                v.data3 = b;
            }
            i32 month = static_cast<i32>(date::month_of(d)), day = static_cast<i32>(date::day_of(d));
            double t = cell_float(&v);
            if (month < 1 || month > 12 || day < 1 || day > date::days_in_month(date::year_of(d), month) ||
                !(t > -86400.0 && t < 2 * 86400.0))
                throw_corrupted(at_);
            break;
        }
        case TYPE_TUPLE: {
            // Compact: three bytes, or under S a count and that many; fixed: the
            // count in header bits 8-15 and all twelve bytes.
            const u8* at_ = p;
            u32 n = fixed_ ? (h.bits >> 8) & 0xFF : h.sub ? byte(p, end) : 3;
            if (n < 1 || n > 12) throw_corrupted(at_);
            const u8* data = bytes(p, end, fixed_ ? 12 : n);
            tuple::make_at(&v, n, data);
            break;
        }
        case TYPE_POINT2D: case TYPE_POINT3D: {
            // The bits of two or three 32-bit floats.
            make_cell(&v, h.type);
            v.data1 = word(p, end);
            v.data2 = word(p, end);
            if (h.type == TYPE_POINT3D) v.data3 = word(p, end);
            break;
        }
        case TYPE_MONEY: {
            // Sign (S, or bit 22), then the currency index and the 11 packed digit bytes.
            bool negative = fixed_ ? (h.bits >> 22) & 1 : h.sub;
            const u8* data = bytes(p, end, 12);
            node_t list = money::currency_list();
            if (data[0] && (!list || data[0] > length(list))) throw_corrupted(data);
            for (u32 i = 1; i < 12; i++)
                if ((data[i] >> 4) > 9 || (data[i] & 15) > 9) throw_corrupted(data + i);
            money::make_at(&v, negative, data[0], data + 1);
            break;
        }
        case TYPE_ISSUE:
            // A definition prefix before an issue! has no effect.
            make_cell(&v, TYPE_ISSUE, context::global, static_cast<u32>(symbol(p, end)), static_cast<u32>(-1));
            break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_BINARY: case TYPE_BITSET:
        case TYPE_HASH: case TYPE_MAP: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_VECTOR:
        case TYPE_IMAGE:
            return series(h, lead, p, end, parent);
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            return any_word(h, lead, p, end, parent);
        case TYPE_CONTEXT_ID: {
            // A bare context becomes an object of no class over it.
            if (h.ref) throw_corrupted(lead);
            u32 index = append(parent);
            make_cell(slot(parent, index), TYPE_OBJECT, 0, static_cast<u32>(-1), 0);
            return context_record(lead, end, parent, index, false);
        }
        case TYPE_OBJECT:
            return object(h, lead, p, end, parent);
        case TYPE_FUNCTION:
            return function(h, lead, p, end, parent);
        case TYPE_NATIVE: case TYPE_ACTION:
            if (h.ref) throw_corrupted(lead);
            return builtin(h, lead, p, end, parent);
        case TYPE_OP:
            if (h.ref) throw_corrupted(lead);
            return op(h, lead, p, end, parent);
        case TYPE_ERROR:
            if (h.ref) throw_corrupted(lead);
            return error(h, lead, p, end, parent);
        default:
            throw_corrupted(lead);
    }
    if (h.ref) throw_corrupted(lead);
    *slot(parent, append(parent)) = v;
    return p;
}

// ---- Series -------------------------------------------------------------------------------

const u8* Reader::series(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    u32 type = h.type;
    bool cells_q = block::any_block_q(type) || type == TYPE_MAP;
    bool text_q = string::any_string_q(type);
    // The head: present in the fixed form (bitsets have none), and in the compact form under S.
    u32 head = 0;
    const u8* head_at = p;
    if (type != TYPE_BITSET && type != TYPE_MAP && (fixed_ || h.sub)) head = num(p, end);
    if (h.ref) {
        Cell named_;
        const u8* at_ = p;
        p = named(p, end, named_);
        u32 t = TYPE_OF(&named_);
        node_t node = 0;
        // The named value must hold the same kind of buffer.
        // hash! and map! cells carry their table: only their own kind may share it.
        if (type == TYPE_HASH || type == TYPE_MAP || t == TYPE_HASH || t == TYPE_MAP) {
            if (type == t) {
                Cell v = named_;
                v.header = type;
                series_head(&v) = type == TYPE_MAP ? 0 : head;
                if (head && type == TYPE_HASH) heads_.push_back({series_node(&v), head, head_at});
                *slot(parent, append(parent)) = v;
                return p;
            }
        } else if (cells_q && block::any_block_q(t)) node = series_node(&named_);
        else if (cells_q && type == TYPE_BLOCK &&
                 (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_OP))
            node = native::spec_of(&named_);
        else if (text_q && string::any_string_q(t)) node = series_node(&named_);
        else if (type == t && (type == TYPE_BINARY || type == TYPE_BITSET)) node = series_node(&named_);
        if (type == TYPE_IMAGE) {
            // The size comes with the named image.
            if (t != TYPE_IMAGE) throw_corrupted(at_);
            Cell v = named_;
            v.header = type;
            series_head(&v) = head;
            if (head) heads_.push_back({series_node(&v), head, head_at});
            *slot(parent, append(parent)) = v;
            return p;
        }
        if (type == TYPE_VECTOR && t == TYPE_VECTOR) {
            // The element type comes with the named vector.
            Cell v = named_;
            v.header = type;
            series_head(&v) = head;
            if (head) heads_.push_back({series_node(&v), head, head_at});
            *slot(parent, append(parent)) = v;
            return p;
        }
        if (!node) throw_corrupted(at_);
        if (head) heads_.push_back({node, head, head_at});
        Cell v;
        make_cell(&v, type, head, node, 0);
        *slot(parent, append(parent)) = v;
        if (block_flags_ && block::any_block_q(type) && flagged_parent(parent)) block::set_flags_deep(&v, block_flags_);
        return p;
    }
    u32 index = append(parent);
    if (cells_q) {
        const u8* count_at = p;
        u32 n = count(p, end, fixed_ ? 4 : 1);
        if (head > n) throw_corrupted(head_at);
        if (type == TYPE_MAP && n % 2) throw_corrupted(count_at);
        node_t node = alloc_cells(n ? n : 1);
        make_cell(slot(parent, index), type, head, node, 0);
        if (block_flags_ && block::any_block_q(type) && flagged_parent(parent)) GET_BUFFER(node)->flags |= block_flags_;
        if (type == TYPE_HASH || type == TYPE_MAP) {
            // The table exists from the start, so references met among the
            // members share it; it indexes the members once they are read.
            Cell blk;
            make_cell(&blk, TYPE_BLOCK, 0, node, 0);
            bool map_q = type == TYPE_MAP;
            node_t table = hashtable::init(n ? n : 1, &blk, map_q ? hashtable::KIND_MAP : hashtable::KIND_HASH,
                                           map_q ? 1 : 0);
            slot(parent, index)->data3 = table;
        }
        for (u32 i = 0; i < n; i++) p = record(p, end, node);
        if (type == TYPE_MAP) {
            for (u32 i = 0; i < n; i += 2) {
                Cell key = cells(node)[i];
                if (!map::valid_key_type_q(TYPE_OF(&key))) throw_corrupted(count_at);
                map::normalise_key(&key);
                cells(node)[i] = key;
            }
        }
        if (type == TYPE_HASH || type == TYPE_MAP)
            hashtable::rehash(slot(parent, index)->data3, 0, type == TYPE_MAP ? 2 : 1);
        return p;
    }
    if (type == TYPE_IMAGE) {
        // Width and height: one size word in the fixed form, two varints in
        // the compact one; then the pixel words as the image keeps them.
        const u8* size_at = p;
        u32 width, height;
        if (fixed_) {
            u32 size = num(p, end);
            width = size & 0xFFFF;
            height = size >> 16;
        } else {
            width = num(p, end);
            height = num(p, end);
            if (width > image::MAX_SIDE || height > image::MAX_SIDE) throw_corrupted(size_at);
        }
        u64 n = u64(width) * height;
        if (head > n) throw_corrupted(head_at);
        const u8* data = bytes(p, end, n * 4);
        Cell v;
        image::make_blank(&v, width, height);
        std::memcpy(image::pixels_of(&v), data, n * 4);
        series_head(&v) = head;
        *slot(parent, index) = v;
        return p;
    }
    if (type == TYPE_BITSET) {
        bool complemented = fixed_ ? (h.bits >> 23) & 1 : h.sub;
        u32 n = count(p, end, 1);
        const u8* data = bytes(p, end, n);
        node_t node = alloc_bytes(n ? n : 1);
        SeriesBuffer* b = GET_BUFFER(node);
        std::memcpy(b->head(), data, n);
        b->tail = b->offset + n;
        if (complemented) b->flags |= bitset::BITSET_NOT;
        make_cell(slot(parent, index), TYPE_BITSET, 0, node, 0);
        return p;
    }
    u32 unit = 1;
    u32 n;
    const u8* size_at = p;
    u32 element = 0;
    if (type == TYPE_VECTOR) {
        // Element width and type: fixed, the width in the header and the type
        // after the count; compact, one byte of log2 width | type << 2.
        if (fixed_) {
            unit = (h.bits >> 8) & 0xFF;
            n = num(p, end);
            element = num(p, end);
        } else {
            u32 b = byte(p, end);
            unit = 1u << (b & 3);
            element = b >> 2;
            n = num(p, end);
        }
        bool whole = element == TYPE_CHAR || element == TYPE_INTEGER;
        bool real = element == TYPE_FLOAT || element == TYPE_PERCENT;
        if (!(whole && (unit == 1 || unit == 2 || unit == 4)) && !(real && (unit == 4 || unit == 8)))
            throw_corrupted(size_at);
    } else if (text_q) {
        if (fixed_) {
            unit = (h.bits >> 8) & 0xFF;
            n = num(p, end);
        } else {
            u32 l = num(p, end);
            if ((l & 3) == 3) throw_corrupted(size_at);
            unit = 1u << (l & 3);
            n = l >> 2;
        }
        if (unit != 1 && unit != 2 && unit != 4) throw_corrupted(lead);
    } else {
        n = num(p, end);
    }
    if (head > n) throw_corrupted(head_at);
    u64 size = static_cast<u64>(n) * unit;
    const u8* data = bytes(p, end, size);
    if (text_q && unit == 4) {
        for (u32 i = 0; i < n; i++) {
            u32 cp;
            std::memcpy(&cp, data + u64(i) * 4, 4);
            if (cp > 0x10FFFF) throw_corrupted(data + u64(i) * 4);
        }
    }
    node_t node = text_q || type == TYPE_VECTOR ? alloc_series(n ? n : 1, unit, 0) : alloc_bytes(n ? n : 1);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), data, size);
    b->tail = b->offset + static_cast<u32>(size);
    make_cell(slot(parent, index), type, head, node, element);
    return p;
}

// ---- References -------------------------------------------------------------------------

const u8* Reader::reference(const u8* p, const u8* end, Cell& out) {
    const u8* at_ = p;
    u32 n = num(p, end);
    if (n == 0 || n > MAX_PATH || n > static_cast<u64>(end - p) / (fixed_ ? 4 : 1)) throw_corrupted(at_);
    path_.resize(n);
    for (u32 i = 0; i < n; i++) path_[i] = num(p, end);
    out = resolve(p);
    out.header &= ~FLAG_NEW_LINE;
    return p;
}

Cell Reader::resolve(const u8* after) const {
    // The first step counts from the first root of this decoding.
    u64 first = u64(path_[0]) + root_base_count_;
    if (first >= length(dest_)) throw_corrupted(after);
    Cell cur = cells(dest_)[first];
    for (size_t k = 1; k < path_.size(); k++) {
        u32 i = path_[k];
        u32 t = TYPE_OF(&cur);
        if (block::any_block_q(t) || t == TYPE_MAP) {
            node_t n = series_node(&cur);
            if (i >= length(n)) throw_corrupted(after);
            cur = cells(n)[i];
            continue;
        }
        if (t == TYPE_OBJECT || t == TYPE_ERROR || word::any_word_q(t)) {
            node_t ctx = cur.data1;
            if (!ctx || ctx == context::global) throw_corrupted(after);
            Cell* c = context::TO_CTX(ctx);
            if (context::on_stack_q(c)) {
                // A function's context: the step applies to the function.
                cur = *context::owner_of(ctx);
                if (TYPE_OF(&cur) != TYPE_FUNCTION) throw_corrupted(after);
                k--;
                continue;
            }
            u64 at_ = u64(i) + (t == TYPE_ERROR ? u32(error::FIELD_ARG1) : 0u);
            if (!c->data2 || at_ >= length(c->data2)) throw_corrupted(after);
            cur = cells(c->data2)[at_];
            continue;
        }
        if (t == TYPE_NATIVE || t == TYPE_ACTION) {
            node_t spec = native::spec_of(&cur);
            if (i >= length(spec)) throw_corrupted(after);
            cur = cells(spec)[i];
            continue;
        }
        if (t == TYPE_FUNCTION || t == TYPE_OP) {
            if (i == 0) make_cell(&cur, TYPE_BLOCK, 0, native::spec_of(&cur), 0);
            else if (i == 1 && t == TYPE_FUNCTION) cur = *function::more_cell(&cur, function::MORE_BODY);
            else throw_corrupted(after);
            continue;
        }
        throw_corrupted(after);
    }
    return cur;
}

node_t Reader::context_of(const Cell& named_) {
    u32 t = TYPE_OF(&named_);
    if (t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_FUNCTION || word::any_word_q(t) ||
        (t == TYPE_OP && op::wrapped_type(&named_) == TYPE_FUNCTION))
        return named_.data1;
    return 0;
}

// ---- Words ----------------------------------------------------------------------------------

const u8* Reader::any_word(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    WordRead r;
    const u8* sym_at = p;
    r.table_index = num(p, end);
    if (r.table_index >= sym_count_) throw_corrupted(sym_at);
    r.sym = interned(r.table_index, sym_at);
    r.idx_at = p;
    if (fixed_) {
        r.bound = root_bindings_ ? true : !((h.bits >> 25) & 1);
    } else {
        r.bound = h.sub;
    }
    // A reference names the binding, so only bound codec words carry one.
    if (h.ref && (!r.bound || root_bindings_)) throw_corrupted(lead);
    if (root_bindings_ && r.bound) {
        // Boot data: root index of the binding value (fixed form: -1 global), then the index.
        const u8* root_at = p;
        i32 root_index = fixed_ ? znum(p, end) : static_cast<i32>(num(p, end));
        r.idx_at = p;
        r.idx = znum(p, end);
        if (fixed_ && root_index == -1) {
            r.bound = false;
        } else {
            u64 at_ = u64(root_base_count_) + static_cast<u32>(root_index);
            if (root_index < 0 || at_ >= length(dest_)) throw_corrupted(root_at);
            r.ctx = context_of(cells(dest_)[at_]);
            if (!r.ctx) throw_corrupted(root_at);
        }
    } else if (r.bound) {
        if (!fixed_) {
            r.idx = znum(p, end);
        } else {
            r.idx = static_cast<i32>(word(p, end));
        }
        Cell owner;
        if (h.ref) {
            const u8* at_ = p;
            p = named(p, end, owner);
            r.ctx = context_of(owner);
            if (!r.ctx) throw_corrupted(at_);
        } else {
            // The owner's whole record, kept in the scratch block only. The
            // word stands in its place first: the owner's values may name
            // the owner through it.
            const u8* at_ = p;
            u32 t = fixed_ ? (end - p >= 4 ? p[0] : 0) : (p < end ? *p & 0x3F : 0);
            if (t != TYPE_OBJECT && t != TYPE_FUNCTION) throw_corrupted(at_);
            node_t scratch = series_node(&scratch_.value);
            u32 index = append(parent);
            make_cell(slot(parent, index), h.type, 0, static_cast<u32>(r.sym), static_cast<u32>(r.idx));
            pending_word_ = {parent, index, true};
            Cell owner_cell;
            p = one(p, end, scratch, owner_cell);
            pending_word_.set = false;
            r.ctx = context_of(owner_cell);
            if (!r.ctx) throw_corrupted(at_);
            return finish_word(h, p, end, parent, index, r);
        }
    } else if (fixed_) {
        word(p, end);  // the index of an unbound word is not used
    }
    return finish_word(h, p, end, parent, append(parent), r);
}

const u8* Reader::finish_word(const Header& h, const u8* p, const u8* end, node_t parent, u32 index, WordRead& r) {
    Cell w;
    if (!r.bound) {
        i32& global = globals_[r.table_index];
        if (global < 0) {
            word::make_at(r.sym, &w);
            global = word_index(&w);
        }
        make_cell(&w, h.type, context::global, static_cast<u32>(r.sym), static_cast<u32>(global));
    } else {
        Cell* c = context::TO_CTX(r.ctx);
        if (r.idx == -1 && root_bindings_) r.idx = context::find_word(c, r.sym, true);
        if (r.idx < 0 || static_cast<u32>(r.idx) >= context::word_count(c)) throw_corrupted(r.idx_at);
        make_cell(&w, h.type, r.ctx, static_cast<u32>(r.sym), static_cast<u32>(r.idx));
    }
    *slot(parent, index) = w;
    if (h.def) {
        // Definition: the value follows, is set, and neither stays in the parent.
        Cell value;
        p = one(p, end, parent, value);
        Cell word_ = w;
        context::set_in(&word_, &value, context::TO_CTX(r.bound ? r.ctx : context::global), false);
        Cell blk;
        make_cell(&blk, TYPE_BLOCK, 0, parent, 0);
        block::zs_clear_at(&blk, index);
    }
    return p;
}

// ---- Contexts, objects, functions --------------------------------------------------

// The context record at p (its type byte or header word included) becomes
// the context of the cell at parent[owner_index], whose type the caller set.
const u8* Reader::context_record(const u8* p, const u8* end, node_t parent, u32 owner_index, bool function_q) {
    const u8* lead = p;
    u32 flags;
    if (fixed_) {
        u32 bits = word(p, end);
        if ((bits & 0xFF) != TYPE_CONTEXT_ID || (bits >> 19) & 1) throw_corrupted(lead);
        flags = ((bits >> 26) & 3) | ((bits >> 29) & 1) << 2 | ((bits >> 28) & 1) << 3 | ((bits >> 30) & 1) << 4;
    } else {
        if (byte(p, end) != TYPE_CONTEXT_ID) throw_corrupted(lead);
        flags = byte(p, end);
    }
    u32 kind = flags & 3;
    bool on_stack = (flags >> 2) & 1;
    bool self = (flags >> 3) & 1;
    bool values = ((flags >> 4) & 1) && !on_stack;
    if (kind == 3 || flags > 31) throw_corrupted(lead);
    // Functions keep their values on the stack; other contexts in a buffer of their own.
    if (mode_ == MODE_CODEC && (on_stack != function_q || (function_q && kind != context::KIND_FUNCTION)))
        throw_corrupted(lead);
    u32 n = count(p, end, fixed_ ? 4 : 1);
    node_t ctx = context::create(n, on_stack, self, nullptr, kind);
    {
        Cell* owner = slot(parent, owner_index);
        owner->data1 = ctx;
        *context::owner_of(ctx) = *owner;
    }
    if (pending_word_.set) {
        slot(pending_word_.parent, pending_word_.index)->data1 = ctx;
        pending_word_.set = false;
    }
    for (u32 i = 0; i < n; i++) {
        const u8* at_ = p;
        Cell w;
        make_cell(&w, TYPE_WORD, 0, static_cast<u32>(symbol(p, end)), static_cast<u32>(-1));
        Cell* c = context::TO_CTX(ctx);
        context::add_word(c, &w);
        // Two names of one word (letters differing in case) would shift every index.
        if (context::word_count(context::TO_CTX(ctx)) != i + 1) throw_corrupted(at_);
    }
    if (values) {
        node_t vals = context::TO_CTX(ctx)->data2;
        SeriesBuffer* vb = GET_BUFFER(vals);
        vb->tail = vb->offset;
        const u8* at_ = p;
        for (u32 i = 0; i < n; i++) p = record(p, end, vals);
        // Every word has its value: field access by position relies on it.
        if (length(vals) != n) throw_corrupted(at_);
    }
    return p;
}

const u8* Reader::object(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    if (h.ref) return owner_by_name(p, end, parent, TYPE_OBJECT);
    bool on_set = fixed_ ? (h.bits >> 24) & 1 : h.sub;
    i32 class_id = znum(p, end);
    i32 handlers[2] = {-1, -1};
    const u8* handlers_at = p;
    if (on_set) {
        handlers[0] = znum(p, end);
        handlers[1] = znum(p, end);
    }
    if (mode_ == MODE_CODEC) class_id = -1;
    u32 index = append(parent);
    make_cell(slot(parent, index), TYPE_OBJECT, 0, static_cast<u32>(class_id), 0);
    p = context_record(p, end, parent, index, false);
    if (on_set) {
        // Positions of the two handlers among the fields: -1 (none) or a field.
        Cell obj = *slot(parent, index);
        i32 n = static_cast<i32>(context::word_count(context::TO_CTX(obj.data1)));
        i32 pos[2], locals[2];
        for (int k = 0; k < 2; k++) {
            pos[k] = handlers[k] >> 16;
            locals[k] = handlers[k] & 0xFFFF;
            if (pos[k] < -1 || pos[k] >= n) throw_corrupted(handlers_at);
        }
        object::make_at(&obj, pos[0], locals[0], pos[1], locals[1]);
        *slot(parent, index) = obj;
    }
    return p;
}

const u8* Reader::block_record(const u8* p, const u8* end, node_t& out) {
    const u8* at_ = p;
    Cell c;
    p = one(p, end, series_node(&scratch_.value), c);
    if (TYPE_OF(&c) != TYPE_BLOCK) throw_corrupted(at_);
    out = series_node(&c);
    return p;
}

const u8* Reader::function(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    if (h.ref) return owner_by_name(p, end, parent, TYPE_FUNCTION);
    count(p, end, 1);  // spec and body sizes: the block records carry their own
    count(p, end, 1);
    u32 index = append(parent);
    {
        // The companion block {body, argument cache, code, op, owner} and a
        // placeholder spec until the records are read.
        node_t more = alloc_cells(function::MORE_COUNT);
        collector::Guard more_root(more);
        node_t spec = alloc_cells(1);
        make_cell(slot(parent, index), TYPE_FUNCTION, 0, spec, more);
        make_cell(alloc_at_tail(more), TYPE_NONE);
        for (u32 k = 1; k < function::MORE_COUNT; k++) alloc_at_tail(more);
    }
    p = context_record(p, end, parent, index, true);
    node_t spec = 0, body = 0;
    const u8* spec_at = p;
    p = block_record(p, end, spec);
    slot(parent, index)->data2 = spec;
    *context::owner_of(slot(parent, index)->data1) = *slot(parent, index);
    p = block_record(p, end, body);
    Cell fn = *slot(parent, index);
    make_cell(function::more_cell(&fn, function::MORE_BODY), TYPE_BLOCK, 0, body, 0);
    // The context must list exactly the spec's words, or calls would index
    // past the argument frame.
    Cell spec_cell;
    make_cell(&spec_cell, TYPE_BLOCK, 0, spec, 0);
    u32 flags = 0;
    try {
        flags = function::validate(&spec_cell);
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        throw_corrupted(spec_at);
    }
    {
        node_t check = context::make(&spec_cell, true, false, context::KIND_FUNCTION);
        Cell* mine = context::TO_CTX(fn.data1);
        Cell* want = context::TO_CTX(check);
        u32 n = context::word_count(want);
        if (context::word_count(mine) != n) throw_corrupted(spec_at);
        for (u32 i = 0; i < n; i++) {
            i32 a = symbol::resolve(static_cast<i32>(word_symbol(context::get_word_at(mine, i))));
            i32 b = symbol::resolve(static_cast<i32>(word_symbol(context::get_word_at(context::TO_CTX(check), i))));
            if (a != b) throw_corrupted(spec_at);
            mine = context::TO_CTX(fn.data1);
        }
    }
    Cell* c = slot(parent, index);
    c->header |= flags;
    *context::owner_of(c->data1) = *c;
    return p;
}

const u8* Reader::builtin(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    const u8* at_ = p;
    u32 entry = num(p, end);
    u32 limit = h.type == TYPE_NATIVE ? native::NATIVE_TABLE_SIZE : ACTIONS_COUNT;
    if (entry < 1 || entry > limit) throw_corrupted(at_);
    // The spec takes the built-in's own place in the parent.
    u32 index = length(parent);
    const u8* spec_at = p;
    Cell spec;
    p = one(p, end, parent, spec);
    if (TYPE_OF(&spec) != TYPE_BLOCK) throw_corrupted(spec_at);
    Cell fn;
    if (mode_ == MODE_CODEC) {
        // Untrusted specs are not believed: the evaluator's own built-in stands in.
        if (!builtin_maker || !builtin_maker(h.type, entry, &fn)) throw_corrupted(at_);
    } else {
        node_t more = alloc_cells(2);
        collector::Guard more_root(more);
        spec = *slot(parent, index);
        node_t ctx = context::make(&spec, true, false, context::KIND_FUNCTION);
        *alloc_at_tail(more) = *context::TO_CTX(ctx);
        make_cell(alloc_at_tail(more), TYPE_NONE);
        make_cell(&fn, h.type, entry, series_node(slot(parent, index)), more);
    }
    *slot(parent, index) = fn;
    return p;
}

const u8* Reader::op(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    u32 index = length(parent);
    const u8* at_ = p;
    Cell fn;
    p = one(p, end, parent, fn);
    u32 t = TYPE_OF(&fn);
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION) throw_corrupted(at_);
    if (!op::valid_spec_q(native::spec_of(&fn))) throw_corrupted(at_);
    Cell o = fn;
    o.header = (t << 16) | TYPE_OP;
    if (t == TYPE_FUNCTION) *function::more_cell(&fn, function::MORE_OP) = fn;
    *slot(parent, index) = o;
    return p;
}

const u8* Reader::error(const Header& h, const u8* lead, const u8* p, const u8* end, node_t parent) {
    const u8* at_ = p;
    u32 code = num(p, end);
    const auto& cats = error::catalog();
    if (code / 100 >= cats.size() || code % 100 >= cats[code / 100].ids.size()) throw_corrupted(at_);
    u32 index = append(parent);
    {
        Cell* saved = stack::top;
        Cell dt, spec;
        datatype::make_at(&dt, TYPE_ERROR);
        make_cell(&spec, TYPE_INTEGER, 0, code);
        Cell err = *error::make(&dt, &spec, TYPE_ERROR);
        *slot(parent, index) = err;
        stack::top = saved;
    }
    node_t scratch = series_node(&scratch_.value);
    for (u32 f = error::FIELD_ARG1; f <= error::FIELD_STACK; f++) {
        Cell v;
        p = one(p, end, scratch, v);
        *error::field(slot(parent, index), f) = v;
    }
    return p;
}

// ---- Bodies ---------------------------------------------------------------------------

[[noreturn]] void invalid(const u8* data, i64 length, const Cell* source) {
    if (source) fire("script", "invalid-data", source);
    Cell* bin = binary::load(data, length < 0 ? 8 : static_cast<u32>(length < 64 ? length : 64));
    Cell b = *bin;
    fire("script", "invalid-data", &b);
}

[[noreturn]] void boot_failure(const char* message) {
    std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    // A boot image that cannot be read is a failed start: never status 0.
    std::exit(1);
}

void decode_stream(Reader& r, const u8* p, const u8* end, bool symbols);
void decode_compact_stream(Reader& r, const u8* p, const u8* end, bool symbols);

// decode, with the block flags boot_load takes.
u32 decode_flagged(const u8* data, Cell* dest, Mode mode, i64 length, const Cell* source, u32 block_flags,
                   const SymbolHashes* hashes) {
    node_t dest_node = series_node(dest);
    u32 before = GET_BUFFER(dest_node)->length();
    const u8* end = length < 0 ? reinterpret_cast<const u8*>(UINTPTR_MAX) : data + length;
    if ((length >= 0 && length < 6) || std::memcmp(data, "ZAVBIN", 6) != 0) {
        if (mode == MODE_BOOT) boot_failure("Error: Not a Zavbin file!");
        invalid(data, length, source);
    }
    Reader r(data, mode, dest_node);
    const u8* p = data + 7;
    u8 flags = r.byte(p, end);
    // A compressed body is one item of the block compressor; offsets in
    // errors then count within the unpacked body, as if it followed the header.
    struct Unpacked {
        u8* buffer = nullptr;
        ~Unpacked() {
            if (buffer) crush::free(buffer);
        }
    } unpacked;
    Reader* reader = &r;
    std::unique_ptr<Reader> inner;
    if (flags & FLAG_COMPRESSED) {
        size_t item = length >= 0 ? static_cast<size_t>(length - 8) : 0;
        if (length < 0) {
            // Trusted boot data: the item's own header says how long it is.
            u32 packed = 0;
            std::memcpy(&packed, data + 8, 4);
            item = size_t(packed) + crush::HEADER_SIZE;
        }
        u32 size = 0;
        unpacked.buffer = crush::decompress(data + 8, item, &size);
        if (!unpacked.buffer) {
            if (mode == MODE_BOOT) boot_failure("Error: Zavbin compressed data corrupted!");
            invalid(data, length, source);
        }
        inner = std::make_unique<Reader>(unpacked.buffer, mode, dest_node, 8);
        reader = inner.get();
        p = unpacked.buffer;
        end = unpacked.buffer + size;
        length = size;
    }
    Reader& r2 = *reader;
    r2.block_flags_ = block_flags;
    r2.given_hashes_ = hashes;
    r2.root_base_count_ = before;
    r2.root_bindings_ = mode == MODE_BOOT && data[6] == 1;
    r2.fixed_ = !(flags & FLAG_COMPACT);
    bool symbols = flags & FLAG_SYMBOLS;
    if (r2.fixed_) {
        if (length >= 0 && end - p < 8) invalid(data, length, source);
        decode_stream(r2, p, end, symbols);
    } else {
        decode_compact_stream(r2, p, end, symbols);
    }
    return before;
}

}  // namespace

void set_builtin_maker(BuiltinMaker maker) { builtin_maker = maker; }

u32 decode(const u8* data, Cell* dest, Mode mode, i64 length, const Cell* source, const SymbolHashes* hashes) {
    return decode_flagged(data, dest, mode, length, source, 0, hashes);
}

namespace {

// The fixed-width body: u32 root count and payload size, the symbol table, the payload.
void decode_stream(Reader& r, const u8* p, const u8* end, bool symbols) {
    r.word(p, end);  // root count: records are read to the payload's end instead
    const u8* size_at = p;
    u32 payload = r.word(p, end);
    if (symbols) {
        const u8* counts_at = p;
        u32 count = r.word(p, end);
        u32 size = r.word(p, end);
        p = r.read_symbols(p, end, counts_at, count, size);
    }
    if (payload > static_cast<u64>(end - p)) r.throw_corrupted(size_at);
    r.read_payload(p, p + payload);
}

// The compact body: the same fields as varints, each read within 20 bytes of its start.
void decode_compact_stream(Reader& r, const u8* p, const u8* end, bool symbols) {
    auto bounded = [&](const u8*& q) {
        const u8* lim = end - q > 20 ? q + 20 : end;
        return r.read_varint(q, lim);
    };
    bounded(p);
    const u8* size_at = p;
    u32 payload = bounded(p);
    if (symbols) {
        const u8* counts_at = p;
        u32 count = bounded(p);
        u32 size = bounded(p);
        p = r.read_symbols(p, end, counts_at, count, size);
    }
    if (payload > 0x7FFFFFFF || payload > static_cast<u64>(end - p)) r.throw_corrupted(size_at);
    r.read_payload(p, p + payload);
}

}  // namespace

std::vector<u32> symbol_hashes(const u8* data, u32 length) {
    std::vector<u32> out;
    if (length < 8 || std::memcmp(data, "ZAVBIN", 6) != 0) return out;
    u8 flags = data[7];
    if ((flags & FLAG_COMPRESSED) || !(flags & FLAG_SYMBOLS)) return out;
    const u8* p = data + 8;
    const u8* end = data + length;
    bool ok = true;
    auto next = [&]() -> u32 {
        u32 v = 0;
        if (!(flags & FLAG_COMPACT)) {
            if (end - p < 4) return ok = false, 0;
            std::memcpy(&v, p, 4);
            p += 4;
            return v;
        }
        for (u32 shift = 0; shift < 35; shift += 7) {
            if (p >= end) return ok = false, 0;
            u8 b = *p++;
            v |= u32(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        return ok = false, 0;
    };
    next();  // root count
    next();  // payload size
    u32 count = next(), size = next();
    if (!ok || u64(count) * 4 + size > u64(end - p)) return out;
    const u8* strings = p + u64(count) * 4;
    for (u32 i = 0; i < count; i++) {
        u32 off;
        std::memcpy(&off, p + u64(i) * 4, 4);
        if (off >= size) return {};
        const u8* name = strings + off;
        const void* nul = std::memchr(name, 0, size - off);
        if (!nul) return {};
        out.push_back(hashtable::symbol_hash(name, static_cast<u32>(static_cast<const u8*>(nul) - name)));
    }
    return out;
}

u32 boot_load(const u8* data, bool keep_root_base, u32 block_flags, const SymbolHashes* hashes) {
    codec_q = false;
    bool was = collector::active;
    collector::disable();
    OnExit restore([was] {
        if (was) collector::enable();
    });
    Cell dest;
    make_cell(&dest, TYPE_BLOCK, 0, zav::root, 0);
    u32 previous = root_base;
    u32 base = decode_flagged(data, &dest, MODE_BOOT, -1, nullptr, block_flags, hashes);
    root_base = keep_root_base ? previous : base;
    return base;
}

Cell* codec_decode(const Cell* payload) {
    Cell source = *payload;
    collector::Guard source_root(&source);
    if (TYPE_OF(&source) != TYPE_BINARY || binary::zs_length_q(&source) <= 10) fire("script", "invalid-data", &source);
    // A private copy: the binary's buffer may move while values are made.
    std::vector<u8> bytes(binary::zs_head(&source), binary::zs_head(&source) + binary::zs_length_q(&source));
    codec_q = true;
    Cell* out = block::push_only_star(4);
    decode(bytes.data(), out, MODE_CODEC, static_cast<i64>(bytes.size()), &source);
    if (block::zs_length_q(out) == 1) *out = *block::zs_head(out);
    return out;
}

}  // namespace zav::zavbin
