// The JSON reader and writer. The reader walks the text once, without
// recursion: values are kept on a work block (a collector root) and each
// container is made at its closing bracket from the values above its start.
#include "library/json.h"

#include "library/codec_text.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/action_slots.h"
#include "datatypes/block.h"
#include "datatypes/cycles.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::json {

namespace {

using codec_text::make_text;
using codec_text::Text;
using codec_text::Work;

// Containers open at once: no deeper than what mold and to-json can write back.
constexpr u32 MAX_DEPTH = cycles::CYCLES_SIZE - 1;
// Characters of the text shown after "Near:" in the error message.
constexpr u32 NEAR_CHARS = 40;

bool hex_digit(u32 c, u32* v) {
    if (c >= '0' && c <= '9') *v = c - '0';
    else if (c >= 'a' && c <= 'f') *v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') *v = c - 'A' + 10;
    else return false;
    return true;
}

// Characters that may not appear in a word: a member name made of other
// characters, and not starting with a digit or an apostrophe, becomes a word.
bool not_word_char(u32 c) {
    switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')': case '{': case '}':
        case '"': case '#': case '%': case '$': case '@': case ':': case ';': case '\n': case 0xA0: case ' ':
        case '\t': case '\r': case '<': case '>':
            return true;
        default:
            return false;
    }
}

template <class C>
bool word_shape(const C* chars, u32 n) {
    if (n == 0) return false;
    u32 first = chars[0];
    if (not_word_char(first) || (first >= '0' && first <= '9') || first == '\'') return false;
    for (u32 i = 1; i < n; i++)
        if (not_word_char(chars[i])) return false;
    return true;
}

template <class C>
class Reader {
public:
    Reader(const C* text, u32 length) : s_(text), p_(text), e_(text + length), mark_(text), last_lf_(text) {}

    // The value, left at the work block's first cell; false when the text is not JSON.
    bool parse();
    Cell* result() { return work_.at(0); }
    // The error message of a failed parse.
    void message(Cell* input, Cell* out);

private:
    enum State { VALUE, AFTER_VALUE, MEMBER };
    struct Open {
        u32 start;
        bool object;
    };

    void skip_ws() {
        while (p_ < e_) {
            u32 c = *p_;
            if (c == ' ' || c == '\t' || c == '\r') {
                p_++;
            } else if (c == '\n') {
                p_++;
                line_++;
                last_lf_ = mark_ = p_;
            } else {
                break;
            }
        }
    }
    bool literal(const char* word, u32 n) {
        if (static_cast<u32>(e_ - p_) < n) return false;
        for (u32 i = 0; i < n; i++)
            if (p_[i] != static_cast<u8>(word[i])) return false;
        p_ += n;
        return true;
    }
    void push_scalar(u32 type, u32 d1 = 0, u32 d2 = 0) { make_cell(work_.at(work_.push()), type, d1, d2); }
    void open(bool object) {
        if (open_.size() >= MAX_DEPTH) fire("internal", "too-deep");
        open_.push_back({work_.size(), object});
    }
    void close();
    bool number();
    bool string(bool key);
    [[noreturn]] void bad_surrogate(const C* from, const C* to);
    void push_key(const u32* chars, u32 n);

    const C* s_;
    const C* p_;
    const C* e_;
    const C* mark_;
    const C* last_lf_;
    i64 line_ = 1;
    Work work_;
    std::vector<Open> open_;
    std::vector<u32> decoded_;
    std::string name_;
    std::unordered_map<std::string, Cell> words_;  // member names read as words so far
};

template <class C>
bool Reader<C>::parse() {
    State state = VALUE;
    for (;;) {
        switch (state) {
            case VALUE: {
                skip_ws();
                if (p_ >= e_) return false;
                u32 c = *p_;
                if (c == '{' || c == '[') {
                    bool object = c == '{';
                    open(object);
                    p_++;
                    skip_ws();
                    if (p_ < e_ && *p_ == (object ? '}' : ']')) {
                        p_++;
                        close();
                        state = AFTER_VALUE;
                    } else {
                        state = object ? MEMBER : VALUE;
                    }
                    continue;
                }
                if (c == '"') {
                    if (!string(false)) return false;
                } else if (c == 't' && literal("true", 4)) {
                    push_scalar(TYPE_LOGIC, 1);
                } else if (c == 'f' && literal("false", 5)) {
                    push_scalar(TYPE_LOGIC, 0);
                } else if (c == 'n' && literal("null", 4)) {
                    push_scalar(TYPE_NONE);
                } else if (!number()) {
                    return false;
                }
                state = AFTER_VALUE;
                continue;
            }
            case AFTER_VALUE: {
                mark_ = p_;
                skip_ws();
                if (open_.empty()) return p_ == e_;
                if (p_ >= e_) return false;
                u32 c = *p_;
                bool object = open_.back().object;
                if (c == ',') {
                    p_++;
                    state = object ? MEMBER : VALUE;
                } else if (c == (object ? '}' : ']')) {
                    p_++;
                    close();
                } else {
                    return false;
                }
                continue;
            }
            case MEMBER: {
                skip_ws();
                if (p_ >= e_ || *p_ != '"' || !string(true)) return false;
                skip_ws();
                if (p_ >= e_ || *p_ != ':') return false;
                p_++;
                mark_ = p_;
                state = VALUE;
                continue;
            }
        }
    }
}

// The container whose values lie above its start on the work block: a block,
// or for an object a map over its names and values.
template <class C>
void Reader<C>::close() {
    Open o = open_.back();
    open_.pop_back();
    u32 n = work_.size() - o.start;
    node_t blk = alloc_cells(n ? n : 2);
    SeriesBuffer* b = GET_BUFFER(blk);
    std::memcpy(b->head(), work_.at(o.start), n * sizeof(Cell));
    b->tail = b->offset + n * sizeof(Cell);
    work_.truncate(o.start);
    Cell* c = work_.at(work_.push());  // room is left by the values just taken: nothing is allocated
    make_cell(c, TYPE_BLOCK, 0, blk, 0);
    if (o.object) {
        stack::TopGuard top;
        Cell* m = stack::push(c);
        map::make_at(m, blk, n ? n : 2);
        *work_.at(o.start) = *m;
    }
}

// A number as the lexer makes it: an integer! when it has neither fraction
// nor exponent and fits, else a float!. The longest number that the grammar
// allows is taken; whatever follows is left to the caller.
template <class C>
bool Reader<C>::number() {
    const C* q = p_;
    bool negative = q < e_ && *q == '-';
    if (negative) q++;
    if (q >= e_ || *q < '0' || *q > '9') return false;
    const C* digits = q;
    if (*q == '0') q++;
    else
        while (q < e_ && *q >= '0' && *q <= '9') q++;
    u32 int_digits = static_cast<u32>(q - digits);
    bool fraction = false;
    if (q + 1 < e_ && *q == '.' && q[1] >= '0' && q[1] <= '9') {
        fraction = true;
        q += 2;
        while (q < e_ && *q >= '0' && *q <= '9') q++;
    }
    if (q < e_ && (*q == 'e' || *q == 'E')) {
        const C* x = q + 1;
        if (x < e_ && (*x == '+' || *x == '-')) x++;
        if (x < e_ && *x >= '0' && *x <= '9') {
            fraction = true;
            while (x < e_ && *x >= '0' && *x <= '9') x++;
            q = x;
        }
    }
    const C* start = p_;
    p_ = q;
    if (!fraction && int_digits <= 10) {
        i64 v = 0;
        for (const C* d = digits; d < q; d++) v = v * 10 + (*d - '0');
        if (negative) v = -v;
        if (v >= INT32_MIN && v <= INT32_MAX) {
            push_scalar(TYPE_INTEGER, 0, static_cast<u32>(static_cast<i32>(v)));
            return true;
        }
    }
    double d;
    if constexpr (sizeof(C) == 1) {
        d = dtoa::text_to_float(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(q), 0, nullptr);
    } else {
        name_.assign(start, q);  // digits, signs, points and exponents only
        d = dtoa::text_to_float(name_.data(), name_.data() + name_.size(), 0, nullptr);
    }
    u32 i = work_.push();
    make_cell(work_.at(i), TYPE_FLOAT);
    set_cell_float(work_.at(i), d);
    return true;
}

// A string literal at the position (a double quote): false when it breaks
// the grammar (a bare control character, an unknown escape, no closing quote).
template <class C>
bool Reader<C>::string(bool key) {
    const C* from = p_ + 1;
    const C* q = from;
    u32 max_cp = 0;
    bool escapes = false;
    for (;;) {
        if (q >= e_) return false;
        u32 c = *q;
        if (c == '"') break;
        if (c == '\\') {
            if (q + 1 >= e_) return false;
            u32 d = q[1];
            if (d == 'u') {
                u32 v;
                if (e_ - q < 6) return false;
                for (u32 k = 2; k < 6; k++)
                    if (!hex_digit(q[k], &v)) return false;
                q += 6;
            } else if (d == '"' || d == '\\' || d == '/' || d == 'b' || d == 'f' || d == 'n' || d == 'r' ||
                       d == 't') {
                q += 2;
            } else {
                return false;
            }
            escapes = true;
        } else if (c < 0x20) {
            return false;
        } else {
            if (c > max_cp) max_cp = c;
            q++;
        }
    }
    p_ = q + 1;
    u32 n = static_cast<u32>(q - from);
    if (!escapes && !key) {
        u32 i = work_.push();
        node_t s = make_text(from, n, max_cp);
        make_cell(work_.at(i), TYPE_STRING, 0, s, 0);
        return true;
    }
    // Escapes decoded; a \u code unit of a surrogate must be a high one followed by a low one.
    decoded_.clear();
    max_cp = 0;
    for (const C* r = from; r < q;) {
        u32 c = *r;
        if (c != '\\') {
            decoded_.push_back(c);
            if (c > max_cp) max_cp = c;
            r++;
            continue;
        }
        u32 d = r[1];
        r += 2;
        switch (d) {
            case 'b': c = 8; break;
            case 'f': c = 12; break;
            case 'n': c = 10; break;
            case 'r': c = 13; break;
            case 't': c = 9; break;
            case 'u': {
                c = 0;
                for (u32 k = 0; k < 4; k++) {
                    u32 v = 0;
                    hex_digit(r[k], &v);
                    c = c << 4 | v;
                }
                r += 4;
                if (c >= 0xDC00 && c <= 0xDFFF) bad_surrogate(from, q);
                if (c >= 0xD800 && c <= 0xDBFF) {
                    u32 low = 0;
                    if (q - r < 6 || r[0] != '\\' || r[1] != 'u') bad_surrogate(from, q);
                    for (u32 k = 2; k < 6; k++) {
                        u32 v;
                        if (!hex_digit(r[k], &v)) bad_surrogate(from, q);
                        low = low << 4 | v;
                    }
                    if (low < 0xDC00 || low > 0xDFFF) bad_surrogate(from, q);
                    r += 6;
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                }
                break;
            }
            default: c = d; break;  // the quote, the backslash and the slash stand for themselves
        }
        decoded_.push_back(c);
        if (c > max_cp) max_cp = c;
    }
    if (key) {
        push_key(decoded_.data(), static_cast<u32>(decoded_.size()));
        return true;
    }
    u32 i = work_.push();
    node_t s = make_text(decoded_.data(), static_cast<u32>(decoded_.size()), max_cp);
    make_cell(work_.at(i), TYPE_STRING, 0, s, 0);
    return true;
}

// A member name: a word (kept as a map keeps it, a set-word) when it has the
// shape of one, else a string.
template <class C>
void Reader<C>::push_key(const u32* chars, u32 n) {
    u32 i = work_.push();
    if (!word_shape(chars, n)) {
        u32 max_cp = 0;
        for (u32 k = 0; k < n; k++)
            if (chars[k] > max_cp) max_cp = chars[k];
        node_t s = make_text(chars, n, max_cp);
        make_cell(work_.at(i), TYPE_STRING, 0, s, 0);
        return;
    }
    name_.clear();
    for (u32 k = 0; k < n; k++) {
        u8 buf[4];
        name_.append(reinterpret_cast<char*>(buf), unicode::cp_to_utf8(chars[k], buf));
    }
    auto found = words_.find(name_);
    Cell w;
    if (found != words_.end()) {
        w = found->second;
    } else {
        i32 sym = symbol::make_from_utf8(reinterpret_cast<const u8*>(name_.data()), static_cast<u32>(name_.size()));
        word::make_at(sym, &w);
        set_type(&w, TYPE_SET_WORD);
        words_.emplace(name_, w);
    }
    *work_.at(i) = w;
}

template <class C>
void Reader<C>::bad_surrogate(const C* from, const C* to) {
    u32 max_cp = 0;
    for (const C* r = from; r < to; r++)
        if (*r > max_cp) max_cp = *r;
    Cell text;
    make_cell(&text, TYPE_STRING, 0, make_text(from, static_cast<u32>(to - from), max_cp), 0);
    fire("script", "invalid-data", &text);
}

// "Invalid JSON string. Line: l Index: i Column: c Near: t", t the molded
// text from the mark (at most 40 characters) or "<end of input>". The mark is
// behind the last value, member name or line feed read.
template <class C>
void Reader<C>::message(Cell* input, Cell* out) {
    std::string head = "Invalid JSON string. Line: " + std::to_string(line_) +
                       " Index: " + std::to_string(mark_ - s_ + 1) +
                       " Column: " + std::to_string(mark_ - last_lf_) + " Near: ";
    string::concatenate_literal(out, head.c_str());
    if (mark_ >= e_) {
        string::concatenate_literal(out, "<end of input>");
        return;
    }
    stack::TopGuard top;
    u32 from = series_head(input) + static_cast<u32>(mark_ - s_);
    u32 n = std::min<u32>(NEAR_CHARS, static_cast<u32>(e_ - mark_));
    Cell* near = stack::push_star();
    make_cell(near, TYPE_STRING, 0, copy_series_part(series_node(input), from, n), 0);
    actions::mold_dispatch(near, out, false, false, false, nullptr, 0, 0);
}

template <class C>
void read(Cell* input, u32 length) {
    Cell in = *input;
    collector::Guard keep(&in);
    node_t text = series_node(&in);
    collector::Guard pin(text, collector::GUARD_PIN);  // the reader holds pointers into the text
    const C* chars = reinterpret_cast<const C*>(string::zs_head(&in));
    Reader<C> reader(chars, length);
    stack::TopGuard top;
    if (reader.parse()) {
        Cell value = *reader.result();
        Cell* out = block::push_only_star(1);
        block::zs_append(out, &value);
        *stack::arguments = *out;
    } else {
        Cell* out = string::make_push(80);
        reader.message(&in, out);
        *stack::arguments = *out;
    }
}

// ---- writer ---------------------------------------------------------------------------

class Writer {
public:
    Writer(const Cell* indent, bool ascii) : ascii_(ascii) {
        if (indent) {
            pretty_ = true;
            SeriesBuffer* b = GET_BUFFER(series_node(indent));
            u32 unit = b->unit();
            for (u32 i = series_head(indent), n = b->length(); i < n; i++)
                indent_.push_back(unicode::get_char(b->head() + i * unit, unit));
        }
    }
    void value(const Cell* v);
    Text out;

private:
    void newline() {
        out.put('\n');
        for (u32 i = 0; i < level_; i++)
            for (u32 c : indent_) out.put(c);
    }
    void open(char bracket) {
        out.put(static_cast<u8>(bracket));
        level_++;
        if (pretty_) newline();
    }
    void separate() {
        out.put(',');
        if (pretty_) newline();
    }
    void close(char bracket) {
        level_--;
        if (pretty_) newline();
        out.put(static_cast<u8>(bracket));
    }
    void text(const u8* chars, u32 n, u32 unit);
    void text_of(const Cell* str) {
        SeriesBuffer* b = GET_BUFFER(series_node(str));
        u32 len = b->length(), head = std::min(series_head(str), len);
        text(b->head() + head * b->unit(), len - head, b->unit());
    }
    void symbol_text(i32 sym) {
        SeriesBuffer* b = GET_BUFFER(symbol::cache_string(sym));
        text(b->head(), b->length(), b->unit());
    }
    // Formed or molded first (which may collect), then written.
    void written(const Cell* v, bool mold) {
        stack::TopGuard top;
        Cell* item = stack::push(v);
        Cell* s = string::make_push(16);
        if (mold) actions::mold_dispatch(item, s, false, false, false, nullptr, 0, 0);
        else actions::form_dispatch(item, s, nullptr, 0);
        text_of(s);
    }
    void number(double d, const Cell* v) {
        if (float_::special_q(d)) fire("script", "invalid-arg", v);
        // The shortest text that reads back to the same number (as mold/all
        // writes it): JSON carries data.
        out.ascii(dtoa::form_float(d, 0, true));
    }
    void array(const Cell* blk);
    void map(const Cell* m);
    void object(const Cell* obj);
    void key(const Cell* k);

    bool ascii_;
    bool pretty_ = false;
    std::vector<u32> indent_;
    u32 level_ = 0;
};

// A JSON string: the characters above 31 (or 32 to 127 but the quote and the
// backslash, in ASCII mode) as they are, the usual two-character escapes, and
// \u escapes for the rest; a code point above U+FFFF as a surrogate pair, a
// surrogate code point on its own as its escape (it has no UTF-8 form).
void Writer::text(const u8* chars, u32 n, u32 unit) {
    static const char hex[] = "0123456789ABCDEF";
    out.put('"');
    u32 run = 0;  // start of the run of characters written as they are
    for (u32 i = 0; i < n; i++) {
        u32 c = unicode::get_char(chars + i * unit, unit);
        if (c >= 32 && c != '"' && c != '\\' && (ascii_ ? c <= 127 : (c < 0xD800 || c > 0xDFFF))) continue;
        out.chars(chars + run * unit, i - run, unit);
        run = i + 1;
        const char* esc = nullptr;
        switch (c) {
            case '"': esc = "\\\""; break;
            case '\\': esc = "\\\\"; break;
            case 8: esc = "\\b"; break;
            case 12: esc = "\\f"; break;
            case '\n': esc = "\\n"; break;
            case '\r': esc = "\\r"; break;
            case '\t': esc = "\\t"; break;
        }
        if (esc) {
            out.ascii(esc, 2);
            continue;
        }
        u32 units[2] = {c, 0};
        u32 count = 1;
        if (c > 0xFFFF) {
            u32 v = c - 0x10000;
            units[0] = 0xD800 + (v >> 10);
            units[1] = 0xDC00 + (v & 0x3FF);
            count = 2;
        }
        for (u32 k = 0; k < count; k++) {
            char e[6] = {'\\', 'u', hex[units[k] >> 12 & 15], hex[units[k] >> 8 & 15], hex[units[k] >> 4 & 15],
                         hex[units[k] & 15]};
            out.ascii(e, 6);
        }
    }
    out.chars(chars + run * unit, n - run, unit);
    out.put('"');
}

void Writer::value(const Cell* v) {
    u32 t = TYPE_OF(v);
    switch (t) {
        case TYPE_NONE: out.ascii("null", 4); return;
        case TYPE_LOGIC: v->data1 ? out.ascii("true", 4) : out.ascii("false", 5); return;
        case TYPE_INTEGER: out.ascii(integer::form_signed(static_cast<i32>(v->data2))); return;
        case TYPE_FLOAT: case TYPE_PERCENT: number(cell_float(v), v); return;
        case TYPE_STRING: text_of(v); return;
        case TYPE_MAP: map(v); return;
        case TYPE_OBJECT: object(v); return;
        default: break;
    }
    if (block::any_block_q(t)) array(v);
    else written(v, !string::any_string_q(t));
}

void Writer::array(const Cell* v) {
    Cell blk = *v;
    collector::Guard keep(&blk);
    node_t node = series_node(&blk);
    if (cycles::find_q(node)) fire("internal", "no-cycle");
    cycles::Guard in(node);
    u32 n = GET_BUFFER(node)->length();
    u32 head = std::min(series_head(&blk), n);
    if (head == n) {
        out.ascii("[]", 2);
        return;
    }
    open('[');
    for (u32 i = head; i < n && i < GET_BUFFER(node)->length(); i++) {
        if (i > head) separate();
        Cell item = *block::zs_abs_at(&blk, i);
        value(&item);
    }
    close(']');
}

// A member name: a word formed, a string as it is, any other key molded.
void Writer::key(const Cell* k) {
    u32 t = TYPE_OF(k);
    if (t == TYPE_STRING) text_of(k);
    else if (word::any_word_q(t)) symbol_text(static_cast<i32>(k->data2));
    else written(k, true);
    out.put(':');
    if (pretty_) out.put(' ');
}

void Writer::map(const Cell* v) {
    Cell m = *v;
    collector::Guard keep(&m);
    node_t node = series_node(&m);
    if (cycles::find_q(node)) fire("internal", "no-cycle");
    cycles::Guard in(node);
    bool first = true;
    for (u32 i = 0; i + 1 < GET_BUFFER(node)->length(); i += 2) {
        const Cell* pair = block::cells_of(GET_BUFFER(node)) + i;
        if (pair[1].header == 0) continue;  // a removed pair
        Cell k = pair[0], val = pair[1];
        first ? open('{') : separate();
        first = false;
        key(&k);
        value(&val);
    }
    if (first) out.ascii("{}", 2);
    else close('}');
}

void Writer::object(const Cell* v) {
    Cell obj = *v;
    collector::Guard keep(&obj);
    node_t node = cycles::node_of(&obj);
    if (cycles::find_q(node)) fire("internal", "no-cycle");
    cycles::Guard in(node);
    u32 n = object::get_size(&obj);
    if (n == 0) {
        out.ascii("{}", 2);
        return;
    }
    open('{');
    for (u32 i = 0; i < n; i++) {
        if (i) separate();
        Cell w = *object::get_word(obj.data1, static_cast<i32>(i));
        key(&w);
        Cell val = object::get_values(&obj)[i];
        value(&val);
    }
    close('}');
}

}  // namespace

void decode() {
    codec_text::by_unit(stack::arguments, [](auto unit, u32 n) { read<decltype(unit)>(stack::arguments, n); });
}

void encode() {
    Cell data = stack::arguments[0];
    Cell indent = stack::arguments[1];
    collector::Guard keep_data(&data), keep_indent(&indent);
    Writer w(TYPE_OF(&indent) == TYPE_STRING ? &indent : nullptr, stack::arguments[2].data1 != 0);
    w.value(&data);
    w.out.make(stack::arguments);
}

}  // namespace zav::json
