// Token loaders: check a token's text and, when loading, append its value to
// the lexer's value buffer.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "datatypes/date.h"
#include "datatypes/pair.h"
#include "datatypes/point2d.h"
#include "datatypes/point3d.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "loader/lexer_internal.h"
#include "loader/tokenizer.h"
#include "runtime/dtoa.h"
#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace zav::lexer {

u32 blank_at(const u8* p, const u8* end);

Cell* make_word_at(Cell* cell, i32 symbol, u32 type) {
    u32 nl = cell->header & FLAG_NEW_LINE;
    word::make_at(symbol, cell);
    cell->header = type | nl;
    return cell;
}

// ---- Escapes --------------------------------------------------------------------

static i32 hex_value(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

i32 decode_escape(const u8*& p, const u8* end) {
    if (p >= end) return -1;
    u8 c = *p;
    switch (c) {
        case '"': p++; return '"';
        case '-': p++; return '\t';
        case '/': p++; return '\n';
        case '^': p++; return '^';
        case '{': p++; return '{';
        case '}': p++; return '}';
        case '~': p++; return 127;
        case '@': p++; return 0;
        case '(': {
            const u8* q = p + 1;
            const u8* close = q;
            while (close < end && close < q + 8 && *close != ')') close++;
            if (close >= end || *close != ')') return -1;
            u32 len = static_cast<u32>(close - q);
            static const struct { const char* name; i32 code; } names[] = {
                {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127},
            };
            for (auto& n : names) {
                if (std::strlen(n.name) == len && strncasecmp(n.name, reinterpret_cast<const char*>(q), len) == 0) {
                    p = close + 1;
                    return n.code;
                }
            }
            if (len == 0 || len > 6) return -1;
            i32 v = 0;
            for (const u8* h = q; h < close; h++) {
                i32 d = hex_value(*h);
                if (d < 0) return -1;
                v = v * 16 + d;
            }
            if (v > 0x10FFFF) return -1;
            p = close + 1;
            return v;
        }
        default:
            break;
    }
    if (c >= 'a' && c <= 'z') {
        p++;
        return c - 'a' + 1;
    }
    if (c >= 'A' && c <= '_') {
        p++;
        return c - '@';
    }
    i32 cp;
    const u8* q = unicode::fast_decode_utf8_char(p, end, &cp);
    if (cp < 0) return -1;
    p = q;
    return cp;
}

// ---- Strings --------------------------------------------------------------------

// Decodes [s, e) (UTF-8, with "^" escapes when asked) into a new string of
// `type` at the tail; with load false only checks. Returns false when a
// character or escape cannot be decoded.
static bool decode_text(State* lex, const u8* s, const u8* e, u32 flags, bool load, u32 type, bool escapes) {
    u32 unit = 1u << (flags >> 30);
    if (unit > 4) unit = 4;
    // Two-byte sequences whose lead is C2 or C3 are code points below 256:
    // a text of those and ASCII fits one byte per character, as read gives it.
    if (unit == 2 && std::none_of(s, e, [](u8 b) { return b >= 0xC4; })) unit = 1;
    if (escapes && (flags & F_CARET)) {
        // A "^(...)" escape of more than 2 (4) hex digits needs a wider unit.
        for (const u8* p = s; p + 1 < e; p++) {
            if (*p != '^') continue;
            if (p[1] != '(') {
                p++;
                continue;
            }
            const u8* q = p + 2;
            u32 digits = 0;
            while (q < e && hex_value(*q) >= 0 && digits < 7) q++, digits++;
            if (q < e && *q == ')') {
                if (digits > 4) unit = 4;
                else if (digits > 2 && unit < 2) unit = 2;
            }
            p = q - 1;
        }
    }
    u32 n = static_cast<u32>(e - s);
    if (!(escapes && (flags & F_CARET)) && unit == 1 && !(flags & F_UTF8_23)) {
        for (const u8* p = s; p < e; p++)
            if (*p >= 0x80) return false;  // a stray continuation byte
        if (!load) return true;
        Cell* c = alloc_cell(lex);
        u32 nl = c->header & FLAG_NEW_LINE;
        string::make_fixed_at(c, n ? n : 1, 1);
        c->header = type | nl;
        SeriesBuffer* b = GET_BUFFER(series_node(c));
        if (n) std::memcpy(b->data(), s, n);
        b->tail = b->offset + n;
        return true;
    }
    node_t node = 0;
    u8* w = nullptr;
    if (load) {
        node = alloc_codepoints(n ? n : 1, unit);
        w = GET_BUFFER(node)->data();
    }
    u32 count = 0;
    for (const u8* p = s; p < e;) {
        i32 cp;
        if (*p < 0x80 && !(escapes && *p == '^')) {
            cp = *p++;
        } else if (*p == '^' && escapes) {
            p++;
            cp = decode_escape(p, e);
        } else {
            p = unicode::fast_decode_utf8_char(p, e, &cp);
        }
        if (cp < 0) return false;
        if (unit == 1 && cp > 0xFF) return false;
        if (unit == 2 && cp > 0xFFFF) return false;
        if (load) {
            string::put_char(w, unit, static_cast<u32>(cp));
            w += unit;
        }
        count++;
    }
    if (!load) return true;
    SeriesBuffer* b = GET_BUFFER(node);
    b->tail = b->offset + count * unit;
    emit(lex, type, 0, node, 0);
    return true;
}

static u32 value_type(State* lex, u32 fallback) { return lex->type > 0 ? static_cast<u32>(lex->type) : fallback; }

void load_string(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    u32 type = value_type(lex, TYPE_STRING);
    if (!decode_text(lex, s + 1, e - 1, flags, load, type, true)) return throw_error(lex, s, e, static_cast<i32>(type));
}

void scan_string_token(State* lex, const u8* s, const u8* e, u32 flags, bool) {
    if (lex->load) return;  // the loader checks as it decodes
    load_string(lex, s, e, flags, false);
}

void load_braced(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (!decode_text(lex, s + 1, e - 1, flags, load, TYPE_STRING, true)) return throw_error(lex, s, e, TYPE_STRING);
}

void load_rawstring(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    u32 n = 0;
    while (s + n < e && s[n] == '%') n++;
    const u8* body = s + n + 1;
    const u8* end = lex->in_end;
    const u8* q = body;
    for (; q < end; q++) {
        if (*q != '}') continue;
        u32 k = 0;
        while (k < n && q + 1 + k < end && q[1 + k] == '%') k++;
        if (k == n) break;
    }
    if (q >= end) return throw_error(lex, s, end, TYPE_STRING);
    const u8* after = q + 1 + n;
    if (after < end && *after == '%') return throw_error(lex, s, after + 1, TYPE_STRING);
    for (const u8* p = e; p < after; p++) lex->line += *p == '\n';
    lex->in_pos = after;
    if (!decode_text(lex, body, q, flags & (F_UTF8_23 | F_UTF8_4), load, TYPE_STRING, false))
        return throw_error(lex, s, after, TYPE_STRING);
}

// A bare file or url name with "%" is then percent-decoded in place.
static bool load_percent_text(State* lex, const u8* s, const u8* e, u32 flags, bool load, u32 type, bool escapes) {
    if (!decode_text(lex, s, e, flags, load, type, escapes)) return false;
    if (load) url::decode(&values[lex->tail - 1]);
    return true;
}

void load_file(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (e - s >= 2 && s[1] == '"') {
        if (e - s < 3 || e[-1] != '"') return throw_error(lex, s, e, TYPE_FILE);
        if (!decode_text(lex, s + 2, e - 1, flags, load, TYPE_FILE, true)) return throw_error(lex, s, e, TYPE_FILE);
        return;
    }
    bool ok = (flags & F_PERCENT) && std::memchr(s + 1, '%', static_cast<size_t>(e - s - 1))
                  ? load_percent_text(lex, s + 1, e, flags, load, TYPE_FILE, true)
                  : decode_text(lex, s + 1, e, flags, load, TYPE_FILE, true);
    if (!ok) return throw_error(lex, s, e, TYPE_FILE);
}

void load_url(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (*s == ':') return throw_error(lex, s, e, TYPE_GET_WORD);
    if (*s == '\'') return throw_error(lex, s, e, TYPE_LIT_WORD);
    bool ok = (flags & F_PERCENT) ? load_percent_text(lex, s, e, flags, load, TYPE_URL, false)
                                  : decode_text(lex, s, e, flags, load, TYPE_URL, false);
    if (!ok) return throw_error(lex, s, e, TYPE_URL);
}

void load_tag(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (e - s < 2 || *s != '<' || e[-1] != '>') return throw_error(lex, s, e, TYPE_TAG);
    if (!decode_text(lex, s + 1, e - 1, flags, load, TYPE_TAG, false)) return throw_error(lex, s, e, TYPE_TAG);
}

void load_email(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (!decode_text(lex, s, e, flags, load, TYPE_EMAIL, false)) return throw_error(lex, s, e, TYPE_EMAIL);
}

void load_ref(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (e - s < 1 || *s != '@' || !decode_text(lex, s + 1, e, flags, load, TYPE_REF, false))
        return throw_error(lex, s, e, TYPE_REF);
}
void load_percent(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    const u8* end = e - 1;  // the "%"
    if (end <= s || *end != '%' || !tokenizer::float_syntax_ok(s, end)) return throw_error(lex, s, e, TYPE_FLOAT);
    char buf[320];
    u32 n = 0;
    for (const u8* p = s; p < end; p++)
        if (!((flags & F_QUOTE) && *p == '\'')) buf[n++] = static_cast<char>(*p);
    i32 err = 0;
    double d = dtoa::text_to_float(buf, buf + n, -2, &err);
    if (err) return throw_error(lex, s, e, TYPE_FLOAT);
    if (load) {
        Cell* c = emit(lex, TYPE_PERCENT);
        set_cell_float(c, d);
    }
}
void load_tuple(State* lex, const u8* s, const u8* e, u32, bool load) {
    u8 bytes[12];
    u32 n = 0;
    for (const u8* p = s; p <= e; p++) {
        const u8* b = p;
        u32 v = 0;
        while (p < e && *p >= '0' && *p <= '9') {
            v = v * 10 + (*p++ - '0');
            if (v > 255) return throw_error(lex, s, e, TYPE_TUPLE);
        }
        if (p == b || n == 12 || (p < e && *p != '.')) return throw_error(lex, s, e, TYPE_TUPLE);
        bytes[n++] = static_cast<u8>(v);
    }
    if (load) {
        Cell* c = emit(lex, TYPE_TUPLE);
        u32 nl = c->header & FLAG_NEW_LINE;
        tuple::make_at(c, n, bytes);
        c->header |= nl;
    }
}
namespace {

// A cursor over a date token; every failure is the same syntax error.
struct DateText {
    const u8* p;
    const u8* e;
    bool digit() const { return p < e && *p >= '0' && *p <= '9'; }
    bool at(u8 c) const { return p < e && *p == c; }
    bool take(u8 c) {
        if (!at(c)) return false;
        p++;
        return true;
    }
    // Up to `most` digits (at least one); -1 when none.
    i32 number(i32 most, i32* count = nullptr) {
        i32 v = 0, n = 0;
        while (n < most && digit()) v = v * 10 + (*p++ - '0'), n++;
        if (count) *count = n;
        return n ? v : -1;
    }
};

// Month 1-12 of a name given by 3 letters or more of it, case-insensitively; 0 when none.
i32 month_by_name(const u8* s, const u8* e) {
    static const char* const names[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
    size_t n = static_cast<size_t>(e - s);
    if (n < 3 || n > 9) return 0;
    for (i32 m = 0; m < 12; m++)
        if (std::strlen(names[m]) >= n && strncasecmp(reinterpret_cast<const char*>(s), names[m], n) == 0) return m + 1;
    return 0;
}

// The seconds field at t.p: digits with an optional fraction, below 60; its
// text with "," read as the point. False when malformed.
bool date_seconds(DateText& t, std::string* text, bool comma) {
    const u8* f = t.p;
    while (t.digit()) t.p++;
    const u8* point = t.p;
    if (t.at('.') || (comma && t.at(','))) {
        t.p++;
        while (t.digit()) t.p++;
    }
    if (t.p == f) return false;
    text->assign(reinterpret_cast<const char*>(f), static_cast<size_t>(t.p - f));
    if (point < t.p) (*text)[static_cast<size_t>(point - f)] = '.';
    // Below 60 by its whole part: a long fraction may round up to 60.0.
    i64 whole = 0;
    for (const u8* q = f; q < point; q++)
        if ((whole = whole * 10 + (*q - '0')) >= 60) return false;
    return text->size() > 1 || (*text)[0] != '.';
}

// hour ":" minute [":" seconds] then "Z" or a zone; false on a malformed text.
// The time comes back as whole seconds and the seconds field's text.
bool date_time_part(DateText& t, i64* whole, std::string* seconds, i32* zh, i32* zm, bool* zone) {
    i32 hour = t.number(2);
    if (hour < 0 || !t.take(':')) return false;
    i32 minute = t.number(2);
    if (minute < 0) return false;
    if (t.take(':') && !date_seconds(t, seconds, true)) return false;
    if (hour > 23 || minute > 59) return false;
    *whole = hour * 3600 + minute * 60;
    if (t.take('Z')) {
        *zone = true;
    } else if (t.at('+') || t.at('-')) {
        bool negative = *t.p++ == '-';
        i32 count;
        i32 v = t.number(4, &count);
        if (v < 0) return false;
        i32 h = v, m = 0;
        if (count == 4) {
            h = v / 100;
            m = v % 100;
        } else if (count > 2) {
            return false;
        } else if (t.take(':')) {
            i32 mc;
            m = t.number(2, &mc);
            if (mc != 2) return false;
        }
        if (h > 15 || m > 59) return false;
        *zh = negative ? -h : h;
        *zm = negative ? -m : m;
        *zone = true;
    }
    return t.p == t.e;
}

}  // namespace

void load_date(State* lex, const u8* s, const u8* e, u32, bool load) {
    DateText t{s, e};
    auto fail = [&]() { throw_error(lex, s, e, TYPE_DATE); };
    i32 year = 0, month = 0, day = 0, week = 0, weekday = 0, yearday = 0;
    i64 whole = 0;
    std::string seconds;
    i32 zh = 0, zm = 0;
    bool has_time = false, zone = false;
    bool negative = t.take('-');
    i32 first_count;
    i32 first = t.number(4, &first_count);
    if (first < 0) return fail();
    if (negative) first = -first;
    if (t.digit()) {
        // Compact: yyyymmddThhmm[ss[.f]][Z|+hhmm]
        if (negative || first_count != 4) return fail();
        i32 c1, c2;
        month = t.number(2, &c1);
        day = t.number(2, &c2);
        year = first;
        if (c1 != 2 || c2 != 2 || !t.take('T')) return fail();
        i32 h = t.number(2, &c1), mi = t.number(2, &c2);
        if (c1 != 2 || c2 != 2 || h > 23 || mi > 59) return fail();
        if (t.digit() && !date_seconds(t, &seconds, false)) return fail();
        whole = h * 3600 + mi * 60;
        has_time = true;
        if (t.take('Z')) {
            zone = true;
        } else if (t.at('+') || t.at('-')) {
            bool neg = *t.p++ == '-';
            i32 zc;
            i32 v = t.number(4, &zc);
            if (zc != 4 || v / 100 > 15 || v % 100 > 59) return fail();
            zh = neg ? -(v / 100) : v / 100;
            zm = neg ? -(v % 100) : v % 100;
            zone = true;
        }
        if (t.p != e) return fail();
    } else if (first_count == 4 && !negative && t.p + 1 < e && t.p[0] == '-' && t.p[1] == 'W') {
        // ISO week date: yyyy-Www[-d][Ttime]
        t.p += 2;
        i32 c;
        week = t.number(2, &c);
        if (c != 2 || week < 1 || week > 53) return fail();
        weekday = 1;
        if (t.take('-')) {
            weekday = t.number(1);
            if (weekday < 1 || weekday > 7) return fail();
        }
        year = first;
        month = 1;
        day = 1;
        if (t.take('T')) {
            has_time = true;
            if (!date_time_part(t, &whole, &seconds, &zh, &zm, &zone)) return fail();
        }
        if (t.p != e) return fail();
    } else if (t.p + 3 < e + 0 && t.at('-') && t.p + 4 <= e && t.p[1] >= '0' && t.p[1] <= '9' && t.p[2] >= '0' &&
               t.p[2] <= '9' && t.p[3] >= '0' && t.p[3] <= '9' && (t.p + 4 == e || !(t.p[4] >= '0' && t.p[4] <= '9')) &&
               (t.p + 4 == e || t.p[4] == 'T')) {
        // Ordinal date: yyyy-ddd[Ttime]
        t.p++;
        yearday = t.number(3);
        if (yearday < 1 || yearday > (date::leap_year_q(first) ? 366 : 365)) return fail();
        year = first;
        month = 1;
        day = 1;
        if (t.take('T')) {
            has_time = true;
            if (!date_time_part(t, &whole, &seconds, &zh, &zm, &zone)) return fail();
        }
        if (t.p != e) return fail();
    } else {
        if (!(t.at('-') || t.at('/'))) return fail();
        u8 sep = *t.p++;
        if (t.digit()) {
            month = t.number(2);
        } else {
            const u8* m = t.p;
            while (t.p < e && ((*t.p | 0x20) >= 'a' && (*t.p | 0x20) <= 'z')) t.p++;
            month = month_by_name(m, t.p);
            if (!month) return fail();
        }
        if (!t.take(sep)) return fail();
        bool last_negative = t.take('-');
        i32 last_count;
        i32 last = t.number(4, &last_count);
        if (last < 0) return fail();
        if (last_negative) last = -last;
        if (last < 0 || last > 31 || (first <= 99 && !negative)) {
            day = first;
            year = last;
            if (last_count <= 2 && !last_negative && last >= 0 && last <= 99) year = last > 49 ? 1900 + last : 2000 + last;
        } else {
            year = first;
            day = last;
            if (first_count <= 2 && !negative && first >= 0 && first <= 99) year = first > 49 ? 1900 + first : 2000 + first;
        }
        if (t.take('/') || t.take('T')) {
            has_time = true;
            if (!date_time_part(t, &whole, &seconds, &zh, &zm, &zone)) return fail();
        }
        if (t.p != e) return fail();
    }
    if (day < 1 || month < 1 || month > 12 || year < -9999 || year > 9999) return fail();
    if (day > date::days_in_month(year, month)) return fail();
    if (!load) return;
    Cell d;
    u32 zone_bits = zone ? date::zone_bits(zh, zm) : 0;
    if (has_time) {
        // The time from midnight UTC with one rounding of the whole sum, so
        // that molded dates read back exactly.
        i64 utc = whole - static_cast<i64>(date::zone_offset(zone_bits));
        double t = static_cast<double>(utc);
        if (!seconds.empty()) {
            std::string sum = dtoa::add_decimal(utc, seconds, false);
            t = dtoa::text_to_float(sum.data(), sum.data() + sum.size(), 0, nullptr);
        }
        date::make_from_utc(&d, year, month, day, t, zone_bits);
    } else {
        date::make_from_parts(&d, year, month, day, false, 0.0, zone_bits);
    }
    if (week) date::set_week_day(&d, week, weekday);
    if (yearday) date::set_yearday(&d, yearday);
    Cell* c = emit(lex, TYPE_DATE);
    u32 nl = c->header & FLAG_NEW_LINE;
    *c = d;
    c->header |= nl;
}
void load_money(State* lex, const u8* s, const u8* e, u32, bool load) {
    Cell m;
    if (!tokenizer::read_money(s, e, true, &m)) return throw_error(lex, s, e, TYPE_MONEY);
    if (load) {
        Cell* c = emit(lex, TYPE_MONEY);
        u32 nl = c->header & FLAG_NEW_LINE;
        *c = m;
        c->header |= nl;
    }
}

// ---- Words ----------------------------------------------------------------------

// A word kind's syntax error: answers a kind its caller drops, the run stopped.
static u32 fail_kind(State* lex, const u8* s, const u8* e, i32 code) {
    throw_error(lex, s, e, code);
    return TYPE_WORD;
}

// The kind of a word token and its name [ns, ne); raises for a misplaced ":" or "'".
static u32 word_kind(State* lex, const u8* s, const u8* e, u32 flags, const u8*& ns, const u8*& ne) {
    ns = s;
    ne = e;
    u32 type = TYPE_WORD;
    if (flags & F_COLON) {
        if (*s == ':' && e - s > 1) {
            type = TYPE_GET_WORD;
            ns = s + 1;
        } else if (e[-1] == ':' && e - s > 1) {
            type = TYPE_SET_WORD;
            ne = e - 1;
        }
        if (std::memchr(ns, ':', static_cast<size_t>(ne - ns))) return fail_kind(lex, s, e, TYPE_WORD);
    }
    if (*ns == '\'') {
        if (type == TYPE_SET_WORD) return fail_kind(lex, s, e, TYPE_LIT_WORD);
        if (type == TYPE_GET_WORD) return fail_kind(lex, s, e, TYPE_GET_WORD);
        type = TYPE_LIT_WORD;
        ns++;
    }
    if (ns >= ne) return fail_kind(lex, s, e, static_cast<i32>(type));
    return type;
}

// A word ends at the first Unicode blank.
static const u8* word_end(State* lex, const u8* s, const u8* e, u32 flags) {
    if (!(flags & F_UTF8_23)) return e;
    for (const u8* p = s; p < e; p++) {
        if (blank_at(p, e)) {
            lex->in_pos = p;
            return p;
        }
    }
    return e;
}

void scan_word_token(State* lex, const u8* s, const u8* e, u32 flags, bool) {
    e = word_end(lex, s, e, flags);
    const u8 *ns, *ne;
    lex->type = static_cast<i32>(word_kind(lex, s, e, flags, ns, ne));
}

static void check_name(State* lex, const u8* s, const u8* e, const u8* ns, const u8* ne, u32 type) {
    for (const u8* p = ns; p < ne;) {
        i32 cp;
        if (*p < 0x80) {
            p++;
            continue;
        }
        p = unicode::fast_decode_utf8_char(p, ne, &cp);
        if (cp < 0) return throw_error(lex, s, e, static_cast<i32>(type));
    }
}

static void put_word(State* lex, const u8* ns, const u8* ne, u32 type) {
    i32 sym = symbol::make_from_utf8(ns, static_cast<u32>(ne - ns));
    make_word_at(alloc_cell(lex), sym, type);
}

void load_word(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    e = word_end(lex, s, e, flags);
    const u8 *ns, *ne;
    u32 type = word_kind(lex, s, e, flags, ns, ne);
    if (lex->stop) return;
    if (lex->type > 0 && lex->type != TYPE_WORD) type = static_cast<u32>(lex->type);
    check_name(lex, s, e, ns, ne, type);
    if (load && !lex->stop) put_word(lex, ns, ne, type);
}

void scan_issue(State* lex, const u8* s, const u8* e, u32, bool) {
    if (e - s < 2) return throw_error(lex, s, e, TYPE_ISSUE);
}

void load_issue(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    e = word_end(lex, s, e, flags);
    if (e - s < 2) return throw_error(lex, s, e, TYPE_ISSUE);
    check_name(lex, s, e, s + 1, e, TYPE_ISSUE);
    if (load && !lex->stop) put_word(lex, s + 1, e, TYPE_ISSUE);
}

void load_refinement(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    e = word_end(lex, s, e, flags);
    if (*s != '/' || e - s < 2) return throw_error(lex, s, e, TYPE_REFINEMENT);
    check_name(lex, s, e, s + 1, e, TYPE_REFINEMENT);
    if (load && !lex->stop) put_word(lex, s + 1, e, TYPE_REFINEMENT);
}

// ---- Numbers --------------------------------------------------------------------

static void put_float(State* lex, double d) {
    Cell* c = emit(lex, TYPE_FLOAT);
    set_cell_float(c, d);
}

void load_float(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (!tokenizer::float_syntax_ok(s, e)) return throw_error(lex, s, e, TYPE_FLOAT);
    char buf[320];
    u32 n = 0;
    for (const u8* p = s; p < e; p++)
        if (!((flags & F_QUOTE) && *p == '\'')) buf[n++] = static_cast<char>(*p);
    i32 err = 0;
    double d = dtoa::text_to_float(buf, buf + n, 0, &err);
    if (err) return throw_error(lex, s, e, TYPE_FLOAT);
    lex->token_type = TYPE_FLOAT;
    if (load) put_float(lex, d);
}

void load_integer(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    const u8* p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (e - p == 1) {
        if (load) emit(lex, TYPE_INTEGER, 0, static_cast<u32>(neg ? -(*p - '0') : *p - '0'));
        return;
    }
    u64 v = 0;
    u32 digits = 0;
    bool prev_quote = false;
    for (; p < e; p++) {
        if (*p == '\'') {
            if (!(flags & F_QUOTE) || prev_quote) return throw_error(lex, s, e, TYPE_INTEGER);
            prev_quote = true;
            continue;
        }
        prev_quote = false;
        if (*p < '0' || *p > '9') return throw_error(lex, s, e, TYPE_INTEGER);
        if (v || *p != '0') digits++;
        v = v * 10 + static_cast<u32>(*p - '0');
        if (digits > 10) break;
    }
    if (digits > 10 || v > (neg ? 2147483648ull : 2147483647ull)) {
        lex->token_type = TYPE_FLOAT;
        load_float(lex, s, e, flags, load);
        return;
    }
    i64 r = neg ? -static_cast<i64>(v) : static_cast<i64>(v);
    if (load) emit(lex, TYPE_INTEGER, 0, static_cast<u32>(static_cast<i32>(r)));
}

void load_hex(State* lex, const u8* s, const u8* e, u32, bool load) {
    const u8* end = e - 1;  // the final "h"
    u32 n = static_cast<u32>(end - s);
    if (n == 1) return throw_error(lex, s, e, TYPE_WORD);
    if (n < 2 || n > 8) return throw_error(lex, s, e, TYPE_INTEGER);
    u32 v = 0;
    for (const u8* p = s; p < end; p++) {
        i32 d = hex_value(*p);
        if (d < 0) return throw_error(lex, s, e, TYPE_INTEGER);
        v = v * 16 + static_cast<u32>(d);
    }
    if (load) emit(lex, TYPE_INTEGER, 0, v);
}

// "1.#NaN", "-1.#INF" and the like (case-insensitive); false for anything else.
static bool special_float(const u8* p, const u8* e, double* d) {
    bool neg = false;
    if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
    if (e - p != 6 || std::memcmp(p, "1.#", 3) != 0) return false;
    if (strncasecmp(reinterpret_cast<const char*>(p + 3), "NAN", 3) == 0) {
        u64 bits = 0x7FF8000000000000ull;
        std::memcpy(d, &bits, sizeof *d);
        return true;
    }
    if (strncasecmp(reinterpret_cast<const char*>(p + 3), "INF", 3) == 0) {
        *d = neg ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    return false;
}

void load_float_special(State* lex, const u8* s, const u8* e, u32, bool load) {
    double d;
    if (!special_float(s, e, &d)) return throw_error(lex, s, e, TYPE_FLOAT);
    if (load) put_float(lex, d);
}

// Digits with "'" separators as a non-negative number; -1 when unreadable.
static i64 read_count(const u8*& p, const u8* e) {
    i64 v = 0;
    u32 digits = 0;
    while (p < e && ((*p >= '0' && *p <= '9') || *p == '\'')) {
        if (*p != '\'') {
            v = v * 10 + (*p - '0');
            if (++digits > 15) return -1;
        }
        p++;
    }
    return digits ? v : -1;
}

void load_time(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    if (flags & F_EXP) return throw_error(lex, s, e, TYPE_TIME);
    const u8* p = s;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    i64 first = read_count(p, e);
    if (first < 0 || p >= e || *p != ':') return throw_error(lex, s, e, TYPE_TIME);
    p++;
    i64 second = read_count(p, e);
    if (second < 0) return throw_error(lex, s, e, TYPE_TIME);
    i64 hours = first, minutes = second;
    double t;
    if (p < e) {
        u8 sep = *p;
        if (sep != ':' && sep != '.' && sep != ',') return throw_error(lex, s, e, TYPE_TIME);
        const u8* f = sep == ':' ? p + 1 : s;
        if (f >= e) return throw_error(lex, s, e, TYPE_TIME);
        // The seconds text, however long: the tiniest fractions have hundreds of digits.
        std::string buf;
        if (sep != ':') {
            // minutes:seconds.fraction
            hours = 0;
            minutes = first;
            f = s + (neg ? 1 : 0);
            while (f < e && *f != ':') f++;
            f++;
        }
        for (const u8* q = f; q < e; q++)
            if (*q != '\'') buf += *q == ',' ? '.' : static_cast<char>(*q);
        i32 err = 0;
        double seconds = dtoa::text_to_float(buf.data(), buf.data() + buf.size(), 0, &err);
        if (err || buf.empty() || buf[0] == '-' || buf[0] == '+' || seconds < 0) return throw_error(lex, s, e, TYPE_TIME);
        // One rounding of the whole sum, so that molded times read back exactly.
        std::string sum = dtoa::add_decimal(hours * 3600 + minutes * 60, buf, false);
        t = dtoa::text_to_float(sum.data(), sum.data() + sum.size(), 0, nullptr);
    } else {
        t = static_cast<double>(hours * 3600 + minutes * 60);
    }
    if (neg) t = -t;
    if (load) {
        Cell* c = emit(lex, TYPE_TIME);
        set_cell_float(c, t);
    }
}

void load_char(State* lex, const u8* s, const u8* e, u32, bool load) {
    // #"c": the character between the quotes.
    const u8* p = s + 2;
    const u8* end = e - 1;
    if (e - s < 4 || *p == '"' || *end != '"') return throw_error(lex, s, e, TYPE_CHAR);
    i32 cp;
    if (*p == '^') {
        p++;
        cp = decode_escape(p, end);
    } else {
        p = unicode::fast_decode_utf8_char(p, end, &cp);
    }
    if (cp < 0 || cp > 0x10FFFF || p != end) return throw_error(lex, s, e, TYPE_CHAR);
    if (load) emit(lex, TYPE_CHAR, 0, static_cast<u32>(cp));
}

// ---- Binary ---------------------------------------------------------------------

static i32 base64_value(u8 c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void load_binary(State* lex, const u8* s, const u8* e, u32, bool load) {
    u32 base = 16;
    const u8* p = s;
    if (*p != '#') {
        u32 b = 0;
        while (p < e && *p >= '0' && *p <= '9' && b < 1000) b = b * 10 + (*p++ - '0');
        base = b;
        if (base != 2 && base != 16 && base != 64) return throw_error(lex, s, e, TYPE_BINARY);
    }
    const u8* text = p + 2;  // after "#{"
    const u8* end = e - 1;   // the "}"
    u32 len = static_cast<u32>(end - text);
    u32 size = base == 16 ? len / 2 : base == 64 ? (len + 1) * 3 / 4 : len / 8;
    node_t node = 0;
    u8* out = nullptr;
    if (load) {
        node = alloc_bytes(size ? size : 1);
        out = GET_BUFFER(node)->data();
    }
    u32 count = 0;
    u32 acc = 0, have = 0;
    bool padded = false;
    for (const u8* q = text; q < end; q++) {
        u8 c = *q;
        if (c == ';') {
            while (q < end && *q != '\n') q++;
            continue;
        }
        if (base == 64) {
            if (c == 8 || c == '\t' || c == '\n' || c == 12 || c == '\r' || c == ' ' || c == '\'') continue;
            if (c == '=') {
                if (!padded) {
                    if (have == 2) {
                        if (load) out[count] = static_cast<u8>(acc >> 4);
                        count++;
                    } else if (have == 3) {
                        if (load) {
                            out[count] = static_cast<u8>(acc >> 10);
                            out[count + 1] = static_cast<u8>(acc >> 2);
                        }
                        count += 2;
                    } else {
                        return throw_error(lex, q, end, TYPE_BINARY);
                    }
                    padded = true;
                    have = 0;
                    acc = 0;
                }
                continue;
            }
            i32 v = base64_value(c);
            if (v < 0 || padded) return throw_error(lex, q, end, TYPE_BINARY);
            acc = (acc << 6) | static_cast<u32>(v);
            if (++have == 4) {
                if (load) {
                    out[count] = static_cast<u8>(acc >> 16);
                    out[count + 1] = static_cast<u8>(acc >> 8);
                    out[count + 2] = static_cast<u8>(acc);
                }
                count += 3;
                acc = 0;
                have = 0;
            }
            continue;
        }
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        if (base == 16) {
            i32 v = hex_value(c);
            if (v < 0) return throw_error(lex, q, end, TYPE_BINARY);
            acc = (acc << 4) | static_cast<u32>(v);
            if (++have == 2) {
                if (load) out[count] = static_cast<u8>(acc);
                count++;
                acc = 0;
                have = 0;
            }
        } else {
            if (c != '0' && c != '1') return throw_error(lex, q, end, TYPE_BINARY);
            acc = (acc << 1) | static_cast<u32>(c - '0');
            if (++have == 8) {
                if (load) out[count] = static_cast<u8>(acc);
                count++;
                acc = 0;
                have = 0;
            }
        }
    }
    if (have) return throw_error(lex, s, e, TYPE_BINARY);
    if (!load) return;
    SeriesBuffer* b = GET_BUFFER(node);
    b->tail = b->offset + count;
    emit(lex, TYPE_BINARY, 0, node, 0);
}

// ---- Pairs and points ----------------------------------------------------------------

void load_pair(State* lex, const u8* s, const u8* e, u32, bool load) {
    if (std::memchr(s, '.', static_cast<size_t>(e - s))) return throw_error(lex, s, e, TYPE_PAIR);
    const u8* x = s;
    while (x < e && *x != 'x' && *x != 'X') x++;
    if (x == s || x + 1 >= e) return throw_error(lex, s, e, TYPE_PAIR);
    i32 err1, err2;
    i32 a = tokenizer::scan_integer(s, static_cast<i32>(x - s), 1, &err1);
    i32 b = tokenizer::scan_integer(x + 1, static_cast<i32>(e - x - 1), 1, &err2);
    // A coordinate beyond 32 bits is refused rather than wrapped.
    if (err1 || err2) return throw_error(lex, s, e, TYPE_PAIR);
    if (load) pair::make_in(emit(lex, TYPE_PAIR), a, b);
}

void load_point(State* lex, const u8* s, const u8* e, u32, bool load) {
    const u8* p = s;
    if (p < e && *p == '(') p++;
    double c[3];
    u32 n = 0;
    for (;;) {
        while (p < e && (*p == ' ' || *p == '\t')) p++;
        const u8* b = p;
        while (p < e && *p != ',' && *p != ')' && *p != ' ' && *p != '\t') p++;
        if (p == b) return throw_error(lex, s, e, n == 2 ? TYPE_POINT3D : TYPE_POINT2D);
        if (std::memchr(b, '#', static_cast<size_t>(p - b))) {
            if (!special_float(b, p, &c[n])) return throw_error(lex, b, p, TYPE_FLOAT);
        } else {
            if (!tokenizer::float_syntax_ok(b, p)) return throw_error(lex, b, p, TYPE_FLOAT);
            char buf[320];
            u32 k = 0;
            for (const u8* q = b; q < p; q++)
                if (*q != '\'') buf[k++] = static_cast<char>(*q);
            i32 err = 0;
            c[n] = dtoa::text_to_float(buf, buf + k, 0, &err);
            if (err) return throw_error(lex, b, p, TYPE_FLOAT);
        }
        n++;
        while (p < e && (*p == ' ' || *p == '\t')) p++;
        if (n == 3) {
            if (p >= e || *p != ')') return throw_error(lex, s, e, TYPE_POINT3D);
            break;
        }
        if (p < e && *p == ',' && n == 1) {
            p++;
            continue;
        }
        if (n == 2 && p < e && *p == ',') {
            p++;
            continue;
        }
        if (n == 2 && p < e && *p == ')') break;
        return throw_error(lex, s, e, TYPE_POINT2D);
    }
    if (!load) return;
    if (n == 3) {
        point3D::make_in(emit(lex, TYPE_POINT3D), static_cast<float>(c[0]), static_cast<float>(c[1]),
                         static_cast<float>(c[2]));
    } else {
        point2D::make_in(emit(lex, TYPE_POINT2D), static_cast<float>(c[0]), static_cast<float>(c[1]));
    }
}

}  // namespace zav::lexer
