// ZAVBIN writers: one value with everything reachable from it, in the
// fixed-width or the compact form. Series and contexts met a second time are
// written as reference paths to their first occurrence, so sharing and
// cycles survive the round trip.
#include <cmath>
#include <unordered_map>
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
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "loader/zavbin.h"
#include "loader/zavbin_internal.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/machine_stack.h"

namespace zav::zavbin {

namespace {

inline Cell* cells(node_t n) { return reinterpret_cast<Cell*>(GET_BUFFER(n)->head()); }
inline u32 length(node_t n) { return GET_BUFFER(n)->length(); }

// Fixed-width header bits.
constexpr u32 BIT_REFERENCE = 1u << 19;
constexpr u32 BIT_NEGATIVE = 1u << 22;
constexpr u32 BIT_COMPLEMENTED = 1u << 23;
constexpr u32 BIT_ON_SET = 1u << 24;
constexpr u32 BIT_UNBOUND = 1u << 25;
constexpr u32 BIT_NEW_LINE = 1u << 31;

// Floats within this range that are whole numbers are written as integers.
constexpr double WHOLE_LIMIT = 2147483000.0;
constexpr double PERCENT_LIMIT = 21474836.0;

[[noreturn]] void no_codec(u32 type) {
    Cell dt;
    datatype::make_at(&dt, type);
    fire("access", "no-codec", &dt);
}

class Writer {
public:
    explicit Writer(bool fixed) : fixed_(fixed) {}

    // One record, in the writer's form (every value counts one position in its container).
    void encode_value(const Cell* v) {
        Depth depth(depth_);
        machine_stack::check();
        Cell c = *v;
        bool nl = (c.header & FLAG_NEW_LINE) != 0;
        u32 t = TYPE_OF(&c);
        switch (t) {
            case TYPE_UNSET: case TYPE_NONE:
                start(t, false, 0, nl);
                break;
            case TYPE_DATATYPE:
                start(t, false, 0, nl);
                num(c.data1);
                break;
            case TYPE_LOGIC:
                if (fixed_) {
                    start(t, false, 0, nl);
                    put32(c.data1 ? 1 : 0);
                } else {
                    if (nl) put8(0xC0);
                    put8(c.data1 ? 0xC2 : 0xC3);
                }
                break;
            case TYPE_CHAR:
                start(t, false, 0, nl);
                num(c.data2);
                break;
            case TYPE_INTEGER: {
                i32 n = static_cast<i32>(c.data2);
                if (!fixed_ && n >= 0 && n <= 63) {
                    if (nl) put8(0xC0);
                    put8(static_cast<u8>(0x80 + n));
                } else {
                    start(t, false, 0, nl);
                    znum(n);
                }
                break;
            }
            case TYPE_FLOAT: case TYPE_TIME: case TYPE_PERCENT:
                real(c, nl);
                break;
            case TYPE_PAIR:
                start(t, false, 0, nl);
                znum(static_cast<i32>(c.data2));
                znum(static_cast<i32>(c.data3));
                break;
            case TYPE_TUPLE: {
                u32 n = tuple::size_of(&c);
                const u8* bytes = reinterpret_cast<const u8*>(&c.data1);
                start(t, n != 3, fixed_ ? n << 8 : 0, nl);
                if (fixed_) {
                    raw(bytes, 12);
                } else {
                    if (n != 3) put8(static_cast<u8>(n));
                    raw(bytes, n);
                }
                break;
            }
            case TYPE_POINT2D: case TYPE_POINT3D:
                start(t, false, 0, nl);
                put32(c.data1);
                put32(c.data2);
                if (t == TYPE_POINT3D) put32(c.data3);
                break;
            case TYPE_DATE: {
                bool timed = (c.data1 & date::HAS_TIME) != 0;
                start(t, timed, 0, nl);
                put32(c.data1);
                if (fixed_) {
                    put32(c.data3);
                    put32(c.data2);
                } else if (timed) {
                    put32(c.data2);
                    put32(c.data3);
                }
                break;
            }
            case TYPE_TYPESET: {
                start(t, false, 0, nl);
                if (fixed_) {
                    put32(c.data1);
                    put32(c.data2);
                    put32(c.data3);
                } else {
                    const u8* bytes = reinterpret_cast<const u8*>(&c.data1);
                    u32 n = 12;
                    while (n > 0 && bytes[n - 1] == 0) n--;
                    put8(static_cast<u8>(n));
                    payload_.insert(payload_.end(), bytes, bytes + n);
                }
                break;
            }
            case TYPE_MONEY: {
                bool negative = money::get_sign(&c);
                start(t, negative, negative ? BIT_NEGATIVE : 0, nl);
                raw(money::payload(&c), 12);
                break;
            }
            case TYPE_ISSUE:
                start(t, false, 0, nl);
                num(symbol_index(static_cast<i32>(word_symbol(&c))));
                break;
            case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
            case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_BINARY:
            case TYPE_BITSET: case TYPE_HASH: case TYPE_MAP: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            case TYPE_VECTOR: case TYPE_IMAGE:
                series(c, nl);
                break;
            case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
                any_word(c, nl);
                break;
            case TYPE_OBJECT:
                keyed(c.data1, [&] { start(t, false, 0, nl | REF); }, [&] { object(c, nl); });
                break;
            case TYPE_FUNCTION:
                keyed(c.data1, [&] { start(t, false, 0, nl | REF); }, [&] { function(c, nl); });
                break;
            case TYPE_NATIVE: case TYPE_ACTION: {
                start(t, false, 0, nl);
                num(native::entry_of(&c));
                Cell spec;
                make_cell(&spec, TYPE_BLOCK, 0, native::spec_of(&c), 0);
                encode_value(&spec);
                counter_--;  // the spec stands in the built-in's own place
                break;
            }
            case TYPE_OP: {
                u32 wrapped = op::wrapped_type(&c);
                if (wrapped != TYPE_NATIVE && wrapped != TYPE_ACTION && wrapped != TYPE_FUNCTION) no_codec(wrapped);
                start(t, false, wrapped << 16, nl);
                Cell fn = c;
                fn.header = wrapped;
                encode_value(&fn);
                counter_--;
                break;
            }
            case TYPE_ERROR:
                error(c, nl);
                break;
            default:
                no_codec(t);
        }
        counter_++;
    }

    // The whole encoding as a new binary! on the value stack.
    Cell* finish() {
        std::vector<u8> out = {'Z', 'A', 'V', 'B', 'I', 'N', 2, 0};
        bool syms = !sym_list_.empty();
        auto u32le = [&](u32 v) {
            for (int i = 0; i < 4; i++) out.push_back(static_cast<u8>(v >> (8 * i)));
        };
        if (fixed_) {
            out[7] = syms ? FLAG_SYMBOLS : 0;
            u32le(1);
            u32le(static_cast<u32>(payload_.size()));
            if (syms) {
                u32le(static_cast<u32>(sym_list_.size()));
                u32le(static_cast<u32>(strings_.size()));
            }
        } else {
            out[7] = FLAG_COMPACT | (syms ? FLAG_SYMBOLS : 0);
            varint_to(out, 1);
            varint_to(out, static_cast<u32>(payload_.size()));
            if (syms) {
                varint_to(out, static_cast<u32>(sym_list_.size()));
                varint_to(out, static_cast<u32>(strings_.size()));
            }
        }
        if (syms) {
            for (u32 off : offsets_) u32le(off);
            out.insert(out.end(), strings_.begin(), strings_.end());
        }
        out.insert(out.end(), payload_.begin(), payload_.end());
        return binary::load(out.data(), static_cast<u32>(out.size()));
    }

private:
    // Record nesting, counted as the reader counts it.
    struct Depth {
        u32& d;
        explicit Depth(u32& depth) : d(depth) {
            if (++d > MAX_NESTING) {
                d--;
                fire("internal", "too-deep");
            }
        }
        ~Depth() { d--; }
    };

    // A flag for start(): the record is a reference (0xC1 prefix, bit 19).
    static constexpr u32 REF = 2;

    // ---- Bytes ---------------------------------------------------------------------

    void put8(u8 b) { payload_.push_back(b); }
    void put32(u32 v) {
        for (int i = 0; i < 4; i++) payload_.push_back(static_cast<u8>(v >> (8 * i)));
    }
    static void varint_to(std::vector<u8>& out, u32 v) {
        while (v >= 0x80) {
            out.push_back(static_cast<u8>(v | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<u8>(v));
    }
    void write_varint(u32 v) { varint_to(payload_, v); }
    void num(u32 v) { fixed_ ? put32(v) : write_varint(v); }
    void znum(i32 v) {
        if (fixed_) return put32(static_cast<u32>(v));
        write_varint((static_cast<u32>(v) << 1) ^ static_cast<u32>(v >> 31));
    }
    void raw(const u8* p, u32 n) {
        payload_.insert(payload_.end(), p, p + n);
        if (fixed_)
            while (payload_.size() % 4) payload_.push_back(0);
    }

    // A record's start: compact prefixes and type byte (with S), or the
    // fixed header word with its type bits. `flags`: bit 0 new line, REF.
    void start(u32 type, bool sub, u32 bits, u32 flags) {
        bool nl = flags & 1, ref = flags & REF;
        if (fixed_) {
            put32(type | bits | (nl ? BIT_NEW_LINE : 0) | (ref ? BIT_REFERENCE : 0));
            return;
        }
        if (nl) put8(0xC0);
        if (ref) put8(0xC1);
        u8 s = sub ? 0x40 : 0;
        if (type < 63) {
            put8(static_cast<u8>(type | s));
        } else {
            put8(63 | s);
            write_varint(type);
        }
    }

    // A recorded path: compact varints; fixed the reference record.
    void path(const std::vector<u32>& p) {
        if (fixed_) put32(255);
        num(static_cast<u32>(p.size()));
        for (u32 i : p) num(i);
    }

    u32 symbol_index(i32 sym) {
        auto it = sym_index_.find(sym);
        if (it != sym_index_.end()) return it->second;
        u32 index = static_cast<u32>(sym_list_.size());
        sym_index_.emplace(sym, index);
        sym_list_.push_back(sym);
        offsets_.push_back(static_cast<u32>(strings_.size()));
        // The name straight from its buffer: nothing here may allocate.
        SeriesBuffer* b = GET_BUFFER(symbol::cell_name(symbol::get_raw(sym)));
        strings_.insert(strings_.end(), b->head(), b->head() + b->used_bytes());
        strings_.push_back(0);
        if (fixed_)
            while (strings_.size() % 8) strings_.push_back(0);
        return index;
    }

    // ---- Sharing --------------------------------------------------------------------

    // Writes a reference when the key was met before; otherwise records the
    // path to this value under the key and writes it whole, its members
    // counted from 0.
    template <class Ref, class Whole>
    void keyed(node_t key, Ref ref, Whole whole) {
        auto it = nodes_.find(key);
        if (it != nodes_.end()) {
            std::vector<u32> p = it->second;
            ref();
            path(p);
            return;
        }
        nested(key, whole);
    }
    template <class Whole>
    void nested(node_t key, Whole whole) {
        path_.push_back(counter_);
        nodes_.emplace(key, path_);
        u32 saved = counter_;
        counter_ = 0;
        whole();
        counter_ = saved;
        path_.pop_back();
    }

    // ---- Records ------------------------------------------------------------------------

    void real(const Cell& c, bool nl) {
        double d = cell_float(&c);
        if (!fixed_) {
            bool negative_zero = d == 0 && std::signbit(d);
            if (TYPE_OF(&c) == TYPE_PERCENT) {
                // Whole hundredths that divide back to the very same value.
                double n = std::round(d * 100.0);
                if (!negative_zero && d >= -PERCENT_LIMIT && d <= PERCENT_LIMIT && n / 100.0 == d) {
                    start(TYPE_PERCENT, true, 0, nl);
                    znum(static_cast<i32>(n));
                    return;
                }
            } else if (!negative_zero && d >= -WHOLE_LIMIT && d <= WHOLE_LIMIT &&
                       d == static_cast<double>(static_cast<i32>(d))) {
                start(TYPE_OF(&c), true, 0, nl);
                znum(static_cast<i32>(d));
                return;
            }
            start(TYPE_OF(&c), false, 0, nl);
            put32(c.data2);
            put32(c.data3);
            return;
        }
        // The fixed form keeps doubles 8-byte aligned from the payload start.
        while (payload_.size() % 8) put32(0);
        start(TYPE_OF(&c), false, 0, nl);
        put32(c.data3);
        put32(c.data2);
    }

    void series(const Cell& c, bool nl) {
        u32 t = TYPE_OF(&c);
        node_t node = series_node(&c);
        SeriesBuffer* b = GET_BUFFER(node);
        u32 len = b->length();
        // A head past the tail reads as the tail everywhere: write it so.
        u32 head = series_head(&c) < len ? series_head(&c) : len;
        bool text = string::any_string_q(t);
        u32 unit = text || t == TYPE_VECTOR ? b->unit() : 1;
        u32 log2 = unit == 8 ? 3 : unit == 4 ? 2 : unit == 2 ? 1 : 0;
        if (t == TYPE_IMAGE) {
            // Width and height: the size word fixed, two varints compact.
            u32 width = image::width_of(&c), height = image::height_of(&c);
            auto open = [&](u32 flags) {
                start(t, head != 0, 0, flags);
                if (fixed_ || head) num(head);
            };
            keyed(node, [&] { open(nl | REF); },
                  [&] {
                      open(nl);
                      if (fixed_) {
                          num(c.data3);
                      } else {
                          num(width);
                          num(height);
                      }
                      raw(GET_BUFFER(node)->head(), len * 4);
                  });
            return;
        }
        if (t == TYPE_BITSET) {
            bool complemented = (b->flags & bitset::BITSET_NOT) != 0;
            u32 bits = complemented ? BIT_COMPLEMENTED : 0;
            keyed(node, [&] { start(t, complemented, bits, nl | REF); },
                  [&] {
                      start(t, complemented, bits, nl);
                      num(len);
                      raw(b->head(), len);
                  });
            return;
        }
        u32 bits = text || t == TYPE_VECTOR ? unit << 8 : t == TYPE_BINARY ? 1u << 8 : 0;
        if (t == TYPE_MAP) head = 0;  // maps have no head field
        auto open = [&](u32 flags) {
            start(t, head != 0, bits, flags);
            if (t != TYPE_MAP && (fixed_ || head)) num(head);
        };
        keyed(node, [&] { open(nl | REF); },
              [&] {
                  open(nl);
                  if (t == TYPE_MAP) {
                      // Live pairs only: a removed pair's value cell has header 0.
                      u32 live = 0;
                      for (u32 i = 0; i + 1 < len; i += 2) live += cells(node)[i + 1].header != 0;
                      num(2 * live);
                      for (u32 i = 0; i + 1 < len; i += 2) {
                          if (cells(node)[i + 1].header == 0) continue;
                          encode_value(cells(node) + i);
                          encode_value(cells(node) + i + 1);
                      }
                      return;
                  }
                  if (block::any_block_q(t)) {
                      num(len);
                      for (u32 i = 0; i < len; i++) encode_value(cells(node) + i);
                      return;
                  }
                  if (t == TYPE_VECTOR) {
                      // Element width and type: compact one byte, fixed the count then the type.
                      if (fixed_) {
                          num(len);
                          num(c.data3);
                      } else {
                          put8(static_cast<u8>(log2 | c.data3 << 2));
                          num(len);
                      }
                  } else if (text && !fixed_) {
                      write_varint(len << 2 | log2);
                  } else {
                      num(len);
                  }
                  SeriesBuffer* buf = GET_BUFFER(node);
                  raw(buf->head(), len * unit);
              });
    }

    void any_word(const Cell& c, bool nl) {
        u32 t = TYPE_OF(&c);
        node_t ctx = word_ctx(const_cast<Cell*>(&c));
        i32 sym = static_cast<i32>(c.data2);
        u32 owner_type = ctx && ctx != context::global ? TYPE_OF(context::owner_of(ctx)) : TYPE_NONE;
        // A binding still to be resolved is resolved by name; a name the
        // context lacks leaves the word unbound.
        i32 index = word_index(&c);
        if (owner_type != TYPE_NONE &&
            (index < 0 || static_cast<u32>(index) >= context::word_count(context::TO_CTX(ctx)))) {
            index = context::find_word(context::TO_CTX(ctx), sym, true);
            if (index < 0) owner_type = TYPE_NONE;
        }
        if (owner_type == TYPE_NONE || owner_type == TYPE_UNSET || owner_type == TYPE_BLOCK) {
            // Unbound or global: read back bound to the global context.
            start(t, false, BIT_UNBOUND, nl);
            num(symbol_index(sym));
            if (fixed_) put32(c.data3);
            return;
        }
        if (owner_type != TYPE_OBJECT && owner_type != TYPE_FUNCTION) {
            Cell w = c;
            fire("access", "no-codec", &w);
        }
        auto open = [&](u32 flags) {
            start(t, true, 0, flags);
            num(symbol_index(sym));
            znum(index);
        };
        keyed(ctx, [&] { open(nl | REF); },
              [&] {
                  open(nl);
                  // The owner's record, which the reader keeps aside.
                  Depth depth(depth_);
                  Cell owner = *context::owner_of(ctx);
                  if (owner_type == TYPE_OBJECT) object(owner, false);
                  else function(owner, false);
              });
    }

    void context_record(node_t ctx) {
        Cell* c = context::TO_CTX(ctx);
        u32 kind = context::kind_of(c);
        bool on_stack = context::on_stack_q(c);
        bool self = (c->header & context::CTX_SELF) != 0;
        u32 n = context::word_count(c);
        u32 stored = !on_stack && c->data2 ? length(c->data2) : 0;
        bool values = false;
        for (u32 i = 0; i < stored && i < n && !values; i++) values = TYPE_OF(cells(c->data2) + i) != TYPE_UNSET;
        if (fixed_) {
            put32(TYPE_CONTEXT_ID | kind << 26 | (self ? 1u << 28 : 0) | (on_stack ? 1u << 29 : 0) |
                  (values ? 1u << 30 : 0));
        } else {
            put8(TYPE_CONTEXT_ID);
            put8(static_cast<u8>(kind | (on_stack ? 4 : 0) | (self ? 8 : 0) | (values ? 16 : 0)));
        }
        num(n);
        for (u32 i = 0; i < n; i++)
            num(symbol_index(static_cast<i32>(word_symbol(context::get_word_at(context::TO_CTX(ctx), i)))));
        if (!values) return;
        Cell unset{TYPE_UNSET, 0, 0, 0};
        for (u32 i = 0; i < n; i++) {
            Cell* vc = context::TO_CTX(ctx);
            encode_value(i < stored ? cells(vc->data2) + i : &unset);
        }
    }

    void object(const Cell& c, bool nl) {
        node_t rec = object::on_set_of(&c);
        start(TYPE_OBJECT, rec != 0, rec ? BIT_ON_SET : 0, nl);
        znum(object::class_of(&c));
        if (rec) {
            znum(static_cast<i32>(cells(rec)[0].data1));
            znum(static_cast<i32>(cells(rec)[1].data1));
        }
        context_record(object::ctx_of(&c));
    }

    void function(const Cell& c, bool nl) {
        start(TYPE_FUNCTION, false, 0, nl);
        Cell spec, body;
        make_cell(&spec, TYPE_BLOCK, 0, function::spec_of(&c), 0);
        body = *function::more_cell(&c, function::MORE_BODY);
        bool has_body = block::any_block_q(TYPE_OF(&body));
        num(length(series_node(&spec)));
        num(has_body ? length(series_node(&body)) : 0);
        context_record(function::ctx_of(&c));
        u32 saved = counter_;
        counter_ = 0;
        encode_value(&spec);
        counter_ = 1;
        if (has_body) {
            set_type(&body, TYPE_BLOCK);
            encode_value(&body);
        } else {
            // A function without a body block: an empty one stands in.
            start(TYPE_BLOCK, false, 0, 0);
            if (fixed_) num(0);
            num(0);
        }
        counter_ = saved;
    }

    void error(const Cell& c, bool nl) {
        // Never shared, but its context is known by path for words bound to it.
        nodes_.emplace(c.data1, [&] {
            std::vector<u32> p = path_;
            p.push_back(counter_);
            return p;
        }());
        path_.push_back(counter_);
        u32 saved = counter_;
        counter_ = 0;
        Cell* code = error::field(&c, error::FIELD_CODE);
        start(TYPE_ERROR, false, 0, nl);
        num(TYPE_OF(code) == TYPE_INTEGER ? code->data2 : 0);
        for (u32 f = error::FIELD_ARG1; f <= error::FIELD_STACK; f++) {
            Cell v = *error::field(&c, f);
            encode_value(&v);
        }
        counter_ = saved;
        path_.pop_back();
    }

    bool fixed_;
    std::vector<u8> payload_;
    std::vector<u8> strings_;
    std::vector<u32> offsets_;
    std::vector<i32> sym_list_;
    std::unordered_map<i32, u32> sym_index_;
    // Position of the next value within the container being written, and the
    // positions of the open containers.
    u32 counter_ = 0;
    std::vector<u32> path_;
    // Series buffer and context nodes written so far, with their paths. Node
    // slots never move, and the value being written keeps them all alive.
    std::unordered_map<node_t, std::vector<u32>> nodes_;
    u32 depth_ = 0;
};

Cell* run(const Cell* value, bool fixed) {
    codec_q = true;
    Cell v = *value;
    collector::Guard keep(&v);
    Writer w(fixed);
    w.encode_value(&v);
    return w.finish();
}

}  // namespace

Cell* encode(const Cell* value) { return run(value, true); }
Cell* encode_cp(const Cell* value) { return run(value, false); }

Cell* codec_encode_star(const Cell* data, bool compact) { return compact ? encode_cp(data) : encode(data); }

}  // namespace zav::zavbin
