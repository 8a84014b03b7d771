// The CSV reader and writer. The reader walks the text once: values of the
// line being read sit on a work block (a collector root) above the lines
// already made, and each line becomes a block when its line break is read.
#include "library/csv.h"

#include <vector>

#include "datatypes/action_slots.h"
#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "library/codec_text.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace zav::csv {

namespace {

using codec_text::make_text;
using codec_text::Text;
using codec_text::Work;

// A char! or the characters of a string from its head.
std::vector<u32> chars_of(const Cell* v) {
    if (TYPE_OF(v) == TYPE_CHAR) return {v->data2};
    std::vector<u32> out;
    SeriesBuffer* b = GET_BUFFER(series_node(v));
    for (u32 i = series_head(v), n = b->length(), unit = b->unit(); i < n; i++)
        out.push_back(unicode::get_char(b->head() + i * unit, unit));
    return out;
}

void make_string(Cell* c, node_t s) { make_cell(c, TYPE_STRING, 0, s, 0); }

enum Outcome { OK, RAGGED, MALFORMED, TOO_SMALL };

template <class C>
class Reader {
public:
    Reader(const C* text, u32 n, std::vector<u32> delimiter, u32 quote, bool trim, bool flat)
        : p_(text), e_(text + n), delimiter_(std::move(delimiter)), quote_(quote), trim_(trim), flat_(flat) {}

    // Reads every line; with header the first goes to the work block's first cell.
    Outcome run(bool header);
    // The header line or none, and a block of the lines (or values), in a block pushed on the value stack.
    Cell* result(bool header);
    u32 bad_line() const { return bad_line_; }

private:
    bool delimiter_char(u32 c) const {
        for (u32 d : delimiter_)
            if (c == d) return true;
        return false;
    }
    bool at_delimiter() const {
        if (static_cast<size_t>(e_ - p_) < delimiter_.size()) return false;
        for (size_t i = 0; i < delimiter_.size(); i++)
            if (p_[i] != delimiter_[i]) return false;
        return !delimiter_.empty();
    }
    // CR LF, LF or CR; false when none is here.
    bool line_break() {
        if (p_ >= e_ || (*p_ != '\n' && *p_ != '\r')) return false;
        if (*p_ == '\r' && p_ + 1 < e_ && p_[1] == '\n') p_++;
        p_++;
        line_++;
        return true;
    }
    bool values();
    bool value();
    void push_value(const C* from, const C* to, u32 max_cp);
    bool add_line(u32 start);

    const C* p_;
    const C* e_;
    std::vector<u32> delimiter_;
    u32 quote_;
    bool trim_, flat_;
    u32 line_ = 1;
    u32 bad_line_ = 0;
    u32 longest_ = 0;
    Work work_;
    std::vector<C> unquoted_;
};

template <class C>
Outcome Reader<C>::run(bool header) {
    if (header) {
        if (!values()) return MALFORMED;
        if (!line_break()) {
            if (p_ == e_) return TOO_SMALL;
            return MALFORMED;
        }
        if (p_ == e_) return TOO_SMALL;
        u32 n = work_.size();
        node_t blk = alloc_cells(n ? n : 1);
        std::memcpy(block::cells_of(GET_BUFFER(blk)), work_.at(0), n * sizeof(Cell));
        GET_BUFFER(blk)->tail = GET_BUFFER(blk)->offset + n * sizeof(Cell);
        work_.truncate(0);
        make_cell(work_.at(work_.push()), TYPE_BLOCK, 0, blk, 0);
    }
    while (p_ < e_) {
        u32 start = work_.size();
        if (!values()) return MALFORMED;
        if (p_ < e_ && !line_break()) return MALFORMED;
        if (!add_line(start)) return RAGGED;
    }
    return OK;
}

// Values separated by the delimiter, up to a line break or the end.
template <class C>
bool Reader<C>::values() {
    for (;;) {
        bad_line_ = line_;
        if (!value()) return false;
        if (!at_delimiter()) break;
        p_ += delimiter_.size();
    }
    // Only a quoted value can stop anywhere but at a line break or the end.
    return p_ == e_ || *p_ == '\n' || *p_ == '\r';
}

// A quoted value (the quote character, then anything with the quote character
// doubled, then the quote character) or a normal one (up to a line break or a
// delimiter character). A quoted value that is never closed is malformed.
template <class C>
bool Reader<C>::value() {
    if (p_ < e_ && *p_ == quote_) {
        const C* q = p_ + 1;
        const C* from = q;
        bool doubled = false;
        u32 max_cp = 0;
        for (;; q++) {
            if (q >= e_) return false;
            u32 c = *q;
            if (c == quote_) {
                if (q + 1 < e_ && q[1] == quote_) {
                    doubled = true;
                    q++;
                    continue;
                }
                break;
            }
            if (c == '\n' || (c == '\r' && !(q + 1 < e_ && q[1] == '\n'))) line_++;
            if (c > max_cp) max_cp = c;
        }
        p_ = q + 1;
        if (!doubled) {
            push_value(from, q, max_cp);
            return true;
        }
        unquoted_.clear();
        for (const C* r = from; r < q; r++) {
            unquoted_.push_back(*r);
            if (*r == quote_) r++;
        }
        push_value(unquoted_.data(), unquoted_.data() + unquoted_.size(), max_cp);
        return true;
    }
    const C* from = p_;
    u32 max_cp = 0;
    if (delimiter_.size() == 1) {
        u32 d = delimiter_[0];
        while (p_ < e_) {
            u32 c = *p_;
            if (c == d || c == '\n' || c == '\r') break;
            if (c > max_cp) max_cp = c;
            p_++;
        }
    } else {
        while (p_ < e_) {
            u32 c = *p_;
            if (c == '\n' || c == '\r' || delimiter_char(c)) break;
            if (c > max_cp) max_cp = c;
            p_++;
        }
    }
    push_value(from, p_, max_cp);
    return true;
}

// With trim: white space off both ends, then a quote character at each end.
template <class C>
void Reader<C>::push_value(const C* from, const C* to, u32 max_cp) {
    if (trim_) {
        while (from < to && string::whitespace_q(*from)) from++;
        while (to > from && string::whitespace_q(to[-1])) to--;
        if (from < to && *from == quote_ && to[-1] == quote_) {
            from++;
            if (to > from) to--;
        }
    }
    u32 i = work_.push();
    node_t s = make_text(from, static_cast<u32>(to - from), max_cp);
    make_string(work_.at(i), s);
}

// Lines must all be as long as the first; a line's values become one block
// (or, flat, stay as they are).
template <class C>
bool Reader<C>::add_line(u32 start) {
    u32 n = work_.size() - start;
    if (longest_ == 0) longest_ = n;
    if (n != longest_) return false;
    if (flat_) return true;
    node_t blk = alloc_cells(n);
    std::memcpy(block::cells_of(GET_BUFFER(blk)), work_.at(start), n * sizeof(Cell));
    GET_BUFFER(blk)->tail = GET_BUFFER(blk)->offset + n * sizeof(Cell);
    work_.truncate(start);
    make_cell(work_.at(work_.push()), TYPE_BLOCK, 0, blk, 0);  // room left by the values taken
    return true;
}

template <class C>
Cell* Reader<C>::result(bool header) {
    Cell* out = block::push_only_star(2);
    u32 base = header ? 1 : 0;
    u32 n = work_.size() - base;
    node_t lines = alloc_cells(n ? n : 1);
    std::memcpy(block::cells_of(GET_BUFFER(lines)), work_.at(base), n * sizeof(Cell));
    GET_BUFFER(lines)->tail = GET_BUFFER(lines)->offset + n * sizeof(Cell);
    Cell names, all;
    if (header) names = *work_.at(0);
    else make_cell(&names, TYPE_NONE);
    make_cell(&all, TYPE_BLOCK, 0, lines, 0);
    block::zs_append(out, &names);
    block::zs_append(out, &all);
    return out;
}

template <class C>
void read(Cell* data, u32 length) {
    Cell* args = stack::arguments;
    Cell in = *data;
    collector::Guard keep(&in);
    node_t text = series_node(&in);
    collector::Guard pin(text, collector::GUARD_PIN);  // the reader holds pointers into the text
    bool header = args[5].data1 != 0;
    Reader<C> reader(reinterpret_cast<const C*>(string::zs_head(&in)), length, chars_of(args + 1), args[2].data2,
                     args[3].data1 != 0, args[4].data1 != 0);
    stack::TopGuard top;
    switch (reader.run(header)) {
        case OK:
            *args = *reader.result(header);
            return;
        case RAGGED:
            *args = *string::load("Data are not aligned");
            return;
        case MALFORMED: {
            std::string text = "CSV data are malformed at line " + std::to_string(reader.bad_line());
            *args = *string::load(text.c_str());
            return;
        }
        case TOO_SMALL:
            make_cell(args, TYPE_NONE);
            return;
    }
}

// ---- writer ---------------------------------------------------------------------------

class Writer {
public:
    Writer(const Cell* delimiter, u32 quote) : delimiter_(chars_of(delimiter)), quote_(quote) {
        for (u32 c = 0; c < 256; c++) special_[c] = quotable(c);
    }
    // A value formed, enclosed in quote characters (inner ones doubled) when
    // it holds one, or a blank, a line break or a delimiter character.
    void field(const Cell* v);
    void separator() {
        for (u32 c : delimiter_) out.put(c);
    }
    Text out;

private:
    bool quotable(u32 c) const {
        if (c == ' ' || c == '\n' || c == '\r' || c == quote_) return true;
        for (u32 d : delimiter_)
            if (c == d) return true;
        return false;
    }
    void text(const u8* p, u32 n, u32 unit);

    std::vector<u32> delimiter_;
    u32 quote_;
    bool special_[256];
};

void Writer::text(const u8* p, u32 n, u32 unit) {
    bool quote = false;
    if (unit == 1) {
        for (u32 i = 0; i < n && !quote; i++) quote = special_[p[i]];
    } else {
        for (u32 i = 0; i < n && !quote; i++) {
            u32 c = unicode::get_char(p + i * unit, unit);
            quote = c < 256 ? special_[c] : quotable(c);
        }
    }
    if (!quote) {
        out.chars(p, n, unit);
        return;
    }
    // Runs between quote characters as they are; each quote character twice.
    out.put(quote_);
    u32 run = 0;
    for (u32 i = 0; i < n; i++) {
        if (unicode::get_char(p + i * unit, unit) != quote_) continue;
        out.chars(p + run * unit, i + 1 - run, unit);
        out.put(quote_);
        run = i + 1;
    }
    out.chars(p + run * unit, n - run, unit);
    out.put(quote_);
}

void Writer::field(const Cell* v) {
    u32 t = TYPE_OF(v);
    if (t == TYPE_INTEGER) {
        out.ascii(integer::form_signed(static_cast<i32>(v->data2)));
        return;
    }
    if (t == TYPE_STRING) {  // written from its buffer: nothing is allocated meanwhile
        SeriesBuffer* b = GET_BUFFER(series_node(v));
        u32 len = b->length(), head = std::min(series_head(v), len);
        text(b->head() + head * b->unit(), len - head, b->unit());
        return;
    }
    stack::TopGuard top;
    Cell* item = stack::push(v);
    Cell* s = string::make_push(16);
    actions::form_dispatch(item, s, nullptr, 0);
    field(s);
}

// Values from a block's head, read one at a time: forming may move buffers.
u32 length_from_head(const Cell* blk) {
    u32 n = block::buffer_of(blk)->length();
    return n - std::min(series_head(blk), n);
}
Cell value_at(const Cell* blk, u32 i) { return *block::zs_abs_at(blk, std::min(series_head(blk), block::buffer_of(blk)->length()) + i); }

}  // namespace

void decode() {
    codec_text::by_unit(stack::arguments, [](auto unit, u32 n) { read<decltype(unit)>(stack::arguments, n); });
}

void encode() {
    Cell* args = stack::arguments;
    Cell rows = args[0];
    collector::Guard keep(&rows);
    Writer w(args + 1, args[2].data2);
    u32 size = args[3].data2;
    u32 n = length_from_head(&rows);
    if (size > 0) {
        if (n % size) {
            make_cell(args, TYPE_NONE);
            return;
        }
        for (u32 i = 0; i < n; i++) {
            Cell v = value_at(&rows, i);
            w.field(&v);
            if ((i + 1) % size) w.separator();
            else w.out.put('\n');
        }
    } else {
        u32 width = 0;
        for (u32 r = 0; r < n; r++) {
            Cell row = value_at(&rows, r);
            collector::Guard keep_row(&row);
            if (!block::any_block_q(TYPE_OF(&row))) fire("script", "invalid-arg", &row);
            u32 len = length_from_head(&row);
            if (r == 0) width = len;
            if (len != width) {
                make_cell(args, TYPE_NONE);
                return;
            }
            for (u32 i = 0; i < len; i++) {
                if (i) w.separator();
                Cell v = value_at(&row, i);
                w.field(&v);
            }
            w.out.put('\n');
        }
    }
    w.out.make(args);
}

}  // namespace zav::csv
