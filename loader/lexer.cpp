// The lexer driver: byte classes, the transition table, the scan loop, the
// structural tokens (nesting, braced strings, paths, construction syntax) and
// syntax errors.
#include "loader/lexer.h"

#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "loader/lexer_internal.h"
#include "datatypes/map.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::lexer {

SyntaxError last_error;

static bool default_caller(const Cell*, u32, Cell*, Cell*, i32, Cell*) { return true; }
static u32 default_mask(const Cell*) { return 63; }
TraceCaller call_tracer = default_caller;
TraceMask tracer_mask = default_mask;

// ---- Tables ------------------------------------------------------------------

constexpr i32 STATES = 65;
constexpr i32 CLASSES = 40;
constexpr i32 T_EOF = 66, T_ERROR = 67, T_PATH = 75, T_STRING = 79, T_WORD = 80;
constexpr i32 S_BRACED = 4, S_POINT = 35, S_PATH = 59;

// Each row: the most frequent next state, then "classes->state" exceptions.
struct Row {
    u8 common;
    const char* exceptions;
};
constexpr Row rows[STATES] = {
    {52, "0,1,35->0; 28->1; 10->2; 26->6; 21->13; 11->16; 2,3->23; 31->36; 18,20->40; 23->43; 32,33->47; 30->49; 12,13->51; 29->57; 25->58; 39->66; 9,22,36,38->67; 4->68; 5->69; 6->70; 7->71; 8->72; 27->78"},  // 0
    {1, "38->67; 1,39->77"},  // 1
    {2, "34->3; 1,38,39->67; 10->79"},  // 2
    {2, "38,39->67"},  // 3
    {4, "34->5; 38,39->67; 8->72; 9->73"},  // 4
    {4, "38,39->67"},  // 5
    {7, "10->8; 26->9; 8->10; 13->54; 38->67; 0,1,4,5,6,7,9,28,29,35,39->80"},  // 6
    {7, "10,38->67; 0,1,4,5,6,7,8,9,13,28,29,39->85"},  // 7
    {8, "1,38,39->67; 10->85"},  // 8
    {7, "26->9; 8->10; 38->67; 0,1,4,5,6,7,9,10,22,28,35,39->80"},  // 9
    {10, "9->11; 38,39->67"},  // 10
    {10, "9->11; 26->12; 38,39->67"},  // 11
    {67, "26->12; 0,1,4,5,6,7,8,10,23,28,35,39->100"},  // 12
    {14, "21->15; 13->53; 27,38->67; 0,1,4,5,6,7,8,9,10,11,28,29,35,39->80"},  // 13
    {14, "13,27,38->67; 0,1,4,5,6,7,8,9,10,21,28,29,35,39->83"},  // 14
    {52, "21->15; 26,27,31,38->67; 0,1,4,5,6,7,8,9,10,11,28,29,35,39->80"},  // 15
    {22, "8->17; 10->19; 6->21; 0,1,5,7,9,13,23,24,27,38->67; 4->74; 28,29,35,39->81"},  // 16
    {67, "0,1,2,3,14,15,16,17,18,19,20,21,25,32,37->17; 28->18; 9->86"},  // 17
    {18, "1->17; 38,39->67"},  // 18
    {19, "34->20; 38,39->67; 10->84"},  // 19
    {19, "38,39->67"},  // 20
    {21, "38,39->67; 7->76"},  // 21
    {22, "13,21,38->67; 0,1,4,5,6,7,8,9,10,28,29,35,39->81"},  // 22
    {82, "11->16; 2,3,12->23; 30->24; 17->26; 18->27; 15,21,33->30; 13->31; 14->33; 20->39; 16->42; 29->56; 19,22,24,25,31,32,34,36,37,38->67; 26->87"},  // 23
    {67, "2,3,12->25; 17,18->26; 11->28; 14->33; 26->87; 0,1,4,5,6,7,8,9,10,21,23,27,28,35,39->88"},  // 24
    {88, "2,3,12->25; 17,18->26; 30->29; 14->33; 29->56; 11,15,16,19,20,22,24,25,31,32,33,34,36,37,38->67; 26->87"},  // 25
    {67, "2,3,32,33->26; 29->56; 0,1,4,5,6,7,8,9,10,13,21,23,27,28,35,39->88; 26->87"},  // 26: a percent may have an exponent, as it molds
    {88, "32,33->26; 2,3->27; 30->29; 18,20->40; 16->42; 29->56; 11,12,14,15,17,19,22,24,25,28,31,34,36,37,38->67; 26->87"},  // 27
    {89, "14,15,16,17,18,19,20,24,25,30,32,33,36,37->28; 11,12,13,26,29,31,34,38->67; 2->88"},  // 28
    {67, "2,3,30->29; 0,1,4,5,6,7,8,9,10,13,21,23,28,35,39->90"},  // 29
    {30, "26,27,29,34,36,38->67; 0,1,4,5,6,7,8,9,10,23,28,31,35,39->91"},  // 30
    {67, "2,3->32"},  // 31
    {67, "2,3,13,30->32; 0,1,4,5,6,7,8,9,10,21,23,28,35,39->94"},  // 32
    {67, "2,3,32,33->34; 29->56"},  // 33
    {67, "2,3,17,18,30->34; 29->56; 0,1,4,5,6,7,8,9,10,13,21,23,28,35,39->92"},  // 34
    {67, "0,2,3,5,11,17,18,19,20,27,30,32,33,37->35; 7->93"},  // 35
    {67, "2,3->37"},  // 36
    {67, "2,3,12->37; 30->38; 0,1,4,5,6,7,8,9,10,11,13,21,23,28,35,39->95"},  // 37
    {67, "2,3,12->38; 0,1,4,5,6,7,8,9,10,11,13,21,23,28,35,39->95"},  // 38
    {67, "2,3,18,20->39; 16->41; 29->56"},  // 39
    {80, "31->37; 2,3,18,20->40; 16->41; 12,14,15,17,19,23,24,25,30,32,33,34,36,37->52; 13->53; 29->56; 26,27,38->67; 21->75"},  // 40
    {52, "31->37; 13->53; 29->56; 11,26,27,38->67; 21->75; 0,1,4,5,6,7,8,9,10,22,28,35,39->99"},  // 41
    {67, "31->37; 29->56; 21->75; 0,1,4,5,6,7,8,9,10,22,23,28,35,39->99"},  // 42
    {44, "23->43; 12->46; 24,25,33->52; 13->53; 38->67; 0,1,4,5,6,7,8,9,10,28,35,39->80"},  // 43
    {44, "10->45; 12->46; 38,39->67; 24->96"},  // 44
    {45, "10->44; 38,39->67"},  // 45
    {46, "12->44; 38,39->67"},  // 46
    {52, "2,3->23; 31->37; 30->49; 12,26,34,38->67; 21->75; 0,1,4,5,6,7,8,9,10,11,22,28,35,39->80"},  // 47
    {52, "12,26,31,34,38->67; 21->75; 0,1,4,5,6,7,8,9,10,11,22,28,35,39->80"},  // 48
    {52, "2,3,32,33->50; 13->53; 29->56; 26,27,31,38->67; 21->75; 0,1,4,5,6,7,8,9,10,11,22,28,35,39->80"},  // 49
    {67, "14->33; 2,3,17,18,32,33->50; 29->56; 26->87; 0,1,4,5,6,7,8,9,10,13,21,23,35,39->88"},  // 50
    {67, "21->13; 23->43; 32,33->48; 14,15,16,17,18,19,20,24,30,34,36,37->52; 26->54; 25->58"},  // 51
    {52, "31->36; 13->53; 29->56; 26,27,38->67; 21->75; 0,1,4,5,6,7,8,9,10,11,22,23,28,35,39->80"},  // 52
    {55, "23,38->67; 0,1,4,5,6,7,8,9,10,22,28,35,39->80"},  // 53
    {67, "26->54; 0,1,4,5,6,7,8,9,22,28,35,39->80"},  // 54
    {55, "24,34,38->67; 0,1,4,5,6,7,8,9,10,22,23,28,35,39->97"},  // 55
    {98, "2,3,14,15,16,17,18,19,20,26,30,32,33,36,37->56; 11,12,13,24,25,27,29,31,34,38->67"},  // 56
    {57, "11,12,22,24,25,27,29,31,34,38->67; 0,1,4,5,6,7,8,9,10,23,28,35,39->101"},  // 57
    {52, "11,26,27,29,31,38->67; 21->75; 0,1,4,5,6,7,8,9,10,13,22,28,35,39->80"},  // 58
    {67, "10->2; 31->36; 23->43; 29->57; 2,3->60; 12,13->61; 14,15,16,17,18,19,20,24,25,30,36,37->62; 11->63; 32,33->64; 6->70; 7->71"},  // 59
    {67, "30->24; 17,18->26; 14->33; 29->56; 2,3,12->60; 0,1,4,5,6,7,8,9,10,13,21,23,28,35,39->82; 26->87"},  // 60
    {67, "14,15,16,17,18,19,20,23,24,25,30,32,33,36,37->62"},  // 61
    {62, "31->36; 29->56; 11,26,27,38->67; 0,1,4,5,6,7,8,9,10,13,21,22,28,35,39->80"},  // 62
    {22, "10->19; 4->21; 0,1,5,6,7,8,9,13,21,23,24,25,27,28,29,35,38,39->67"},  // 63
    {80, "31->36; 29->56; 2,3->60; 14,15,16,17,18,19,20,24,25,30,36,37->62; 32,33->64; 11,12,23,26,27,34,38->67"},  // 64
};

// Datatype id a token ending in each state produces (scanning states: the
// type guessed when the input ends or an error strikes inside them).

constexpr void fill_kinds(u8 (&kinds)[102]) {
    auto set = [&](std::initializer_list<int> states, u8 type) {
        for (int s : states) kinds[s] = type;
    };
    set({2, 3, 4, 5, 10, 11, 12}, TYPE_STRING);
    set({6, 7, 8, 9}, TYPE_FILE);
    set({13, 15, 41, 47, 48, 49, 51, 52, 54, 58, 61, 62, 64}, TYPE_WORD);
    set({14}, TYPE_REFINEMENT);
    set({16, 22, 63}, TYPE_ISSUE);
    set({17}, TYPE_BINARY);
    set({19, 20}, TYPE_CHAR);
    set({23, 40, 42, 60}, TYPE_INTEGER);
    set({24, 25, 26, 27, 28, 50}, TYPE_FLOAT);
    set({29}, TYPE_TUPLE);
    set({30}, TYPE_DATE);
    set({31, 32}, TYPE_TIME);
    set({33, 34}, TYPE_PAIR);
    set({35}, TYPE_POINT2D);
    set({36, 37, 38}, TYPE_MONEY);
    set({43, 44, 45, 46}, TYPE_TAG);
    set({53}, TYPE_SET_WORD);
    set({55}, TYPE_URL);
    set({56}, TYPE_EMAIL);
    set({57}, TYPE_REF);
    set({59}, TYPE_PATH);
    const u8 finals[36] = {
        0, TYPE_ERROR, 0, 0, 0, 0, 0, TYPE_STRING, 0, 0, 0, 0, 0, TYPE_STRING, TYPE_WORD, TYPE_ISSUE,
        TYPE_INTEGER, TYPE_REFINEMENT, TYPE_CHAR, TYPE_FILE, TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT,
        TYPE_FLOAT, TYPE_TUPLE, TYPE_DATE, TYPE_PAIR, TYPE_POINT2D, TYPE_TIME, TYPE_MONEY, TYPE_TAG,
        TYPE_URL, TYPE_EMAIL, TYPE_INTEGER, TYPE_STRING, TYPE_REF,
    };
    for (int i = 0; i < 36; i++) kinds[66 + i] = finals[i];
}

constexpr void fill_classes(u32 (&byte_classes)[256]) {
    for (int b = 0; b < 256; b++) {
        u32 c = C_WORD;
        if (b == 0) c = C_EOF | F_EOF;
        else if (b == '\t' || b == '\r' || b == ' ') c = C_BLANK;
        else if (b == '\n') c = C_LINE;
        else if (b < 0x20) c = C_BIN;
        else if (b >= '1' && b <= '9') c = C_DIGIT;
        else if (b == '0') c = C_ZERO;
        else if (b == 0x7F || (b >= 0x80 && b <= 0xBF)) c = C_WORD_CONT;
        else if (b == 0xC0 || b == 0xC1 || b >= 0xF8) c = C_ILLEGAL;
        else if (b >= 0xC2 && b <= 0xEF) c = C_WORD | F_UTF8_23;
        else if (b >= 0xF0) c = C_WORD | F_UTF8_4;
        else if (b == 'x' || b == 'X') c = C_X;
        else if (b == 'T') c = C_T;
        else if (b == 'h') c = C_H;
        else if (b == 'e') c = C_E_LOW | F_EXP;
        else if (b == 'E') c = C_E_UP | F_EXP;
        else if ((b >= 'a' && b <= 'd') || b == 'f') c = C_ALPHAX_LOW;
        else if ((b >= 'A' && b <= 'D') || b == 'F') c = C_ALPHAX_UP;
        else {
            switch (b) {
                case '[': c = C_BLOCK_OP; break;
                case ']': c = C_BLOCK_CL; break;
                case '(': c = C_PAREN_OP; break;
                case ')': c = C_PAREN_CL; break;
                case '{': c = C_BRACE_OP; break;
                case '}': c = C_BRACE_CL; break;
                case '"': c = C_DBL_QUOTE; break;
                case '#': c = C_SHARP | F_SHARP; break;
                case '\'': c = C_QUOTE | F_QUOTE; break;
                case ':': c = C_COLON | F_COLON; break;
                case '/': c = C_SLASH; break;
                case '\\': c = C_BSLASH; break;
                case '<': c = C_LESSER | F_LESSER; break;
                case '>': c = C_GREATER | F_GREATER; break;
                case '=': c = C_EQUAL; break;
                case '%': c = C_PERCENT | F_PERCENT; break;
                case ',': c = C_COMMA | F_COMMA; break;
                case ';': c = C_SEMICOL; break;
                case '@': c = C_AT; break;
                case '.': c = C_DOT | F_DOT; break;
                case '$': c = C_MONEY; break;
                case '+': c = C_PLUS | F_SIGN; break;
                case '-': c = C_MINUS | F_SIGN; break;
                case '^': c = C_CARET | F_CARET; break;
                default: c = C_WORD; break;  // ! & * ? _ ` | ~ and the remaining letters
            }
        }
        byte_classes[b] = c;
    }
}

// strtol in base 10 for the tables below, at compile time: blanks, a sign,
// digits; `end` is `p` when none are there.
constexpr long table_number(const char* p, const char** end) {
    const char* q = p;
    while (*q == ' ' || (*q >= '\t' && *q <= '\r')) q++;
    bool negative = *q == '-';
    if (*q == '-' || *q == '+') q++;
    if (*q < '0' || *q > '9') {
        *end = p;
        return 0;
    }
    long v = 0;
    while (*q >= '0' && *q <= '9') v = v * 10 + (*q++ - '0');
    *end = q;
    return negative ? -v : v;
}

constexpr void fill_transitions(u8 (&transitions)[STATES][CLASSES]) {
    for (int s = 0; s < STATES; s++) {
        for (int c = 0; c < CLASSES; c++) transitions[s][c] = rows[s].common;
        const char* p = rows[s].exceptions;
        int list[CLASSES] = {};
        int n = 0;
        while (*p) {
            const char* q = p;
            long v = table_number(p, &q);
            if (q == p) break;
            p = q;
            if (n < CLASSES) list[n++] = static_cast<int>(v);
            if (*p == ',') {
                p++;
            } else if (p[0] == '-' && p[1] == '>') {
                long to = table_number(p + 2, &q);
                p = q;
                for (int i = 0; i < n; i++) transitions[s][list[i]] = static_cast<u8>(to);
                n = 0;
                while (*p == ';' || *p == ' ') p++;
            } else {
                break;
            }
        }
    }
}

// The scanner's tables, built at compile time.
struct Tables {
    u32 byte_classes[256] = {};
    u8 transitions[STATES][CLASSES] = {};
    u8 kinds[102] = {};
};
constexpr Tables build_tables() {
    Tables t;
    fill_classes(t.byte_classes);
    fill_transitions(t.transitions);
    fill_kinds(t.kinds);
    return t;
}
constexpr Tables tables = build_tables();
const u32 (&byte_classes)[256] = tables.byte_classes;
constexpr auto& transitions = tables.transitions;
constexpr auto& kinds = tables.kinds;

// Unicode blanks: between tokens and ending a word.
static bool unicode_blank(i32 cp) {
    switch (cp) {
        case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        case 0x180E: case 0x200B: case 0x200C:
        // A byte-order mark is invisible: inside a name it would make a word
        // that prints like another but is not the same symbol.
        case 0xFEFF:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

u32 blank_at(const u8* p, const u8* end) {
    if (p >= end || *p < 0xC2) return 0;
    i32 cp;
    const u8* q = unicode::fast_decode_utf8_char(p, end, &cp);
    return unicode_blank(cp) ? static_cast<u32>(q - p) : 0;
}

// ---- Value buffer and states -------------------------------------------------

Cell* values = nullptr;
u32 values_size = 0;
static u8* scratch = nullptr;
// Text converted for one scan fits here without an allocation: console lines
// and most loaded strings; longer text gets a buffer of its own.
constexpr u32 SCRATCH_SIZE = 100000;
static bool scratch_busy = false;
static State* first_state = nullptr;
static State* last_state = nullptr;

static void grow_values() {
    u64 size = u64(values_size) * 2;
    if (size * sizeof(Cell) > 0x7FFFFFFFu) fire("internal", "no-memory");
    auto* p = static_cast<Cell*>(rt::resize(values, size_t(size) * sizeof(Cell)));
    if (!p) fire("internal", "no-memory");
    values = p;
    values_size = static_cast<u32>(size);
}

Cell* alloc_cell(State* lex) {
    if (lex->tail >= values_size) grow_values();
    Cell* c = &values[lex->tail++];
    make_cell(c, TYPE_UNSET | (lex->nl ? FLAG_NEW_LINE : 0));
    return c;
}

Cell* emit(State* lex, u32 type, u32 d1, u32 d2, u32 d3) {
    Cell* c = alloc_cell(lex);
    set_type(c, type);
    c->data1 = d1;
    c->data2 = d2;
    c->data3 = d3;
    return c;
}

void init() {
    if (!values) {
        values_size = 1000;
        values = static_cast<Cell*>(rt::allocate(values_size * sizeof(Cell)));
        scratch = static_cast<u8*>(rt::allocate(SCRATCH_SIZE));
    }
    first_state = last_state = nullptr;
    scratch_busy = false;
    static bool registered = false;
    if (!registered) {
        collector::register_marker(mark_states);
        registered = true;
    }
}

void mark_states() {
    for (State* s = first_state; s; s = s->next) {
        collector::mark_values(&values[s->head], &values[s->tail]);
        collector::mark_value(&s->callback);
        collector::mark_value(&s->input_series);
    }
}

// ---- Levels ------------------------------------------------------------------

// Marker of an open level (a triple! cell): data1 distance from the enclosing
// level's first cell, data2 level type, data3 input offset of the opener.
static Cell* innermost(State* lex) { return lex->begin > lex->head ? &values[lex->begin - 1] : nullptr; }
static u32 level_type(const Cell* marker) { return marker->data2 & 0xFFFF; }
static bool is_path_type(u32 t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }

static void open_level(State* lex, u32 type, const u8* at) {
    Cell* m = alloc_cell(lex);
    set_type(m, TYPE_TRIPLE_ID);
    m->data1 = (lex->tail - 1) - lex->begin;
    m->data2 = type;
    m->data3 = static_cast<u32>(at - lex->input);
    lex->begin = lex->tail;
}

// Folds the innermost level's values into a series of `type` written over its marker.
static void close_level(State* lex, u32 type) {
    u32 mpos = lex->begin - 1;
    u32 outer = mpos - values[mpos].data1;
    u32 n = lex->tail - lex->begin;
    if (lex->load) {
        node_t node = alloc_cells(n ? n : 1);
        SeriesBuffer* b = GET_BUFFER(node);
        if (n) std::memcpy(b->data(), &values[lex->begin], size_t(n) * sizeof(Cell));
        b->tail = b->offset + n * u32(sizeof(Cell));
        Cell* m = &values[mpos];
        make_cell(m, type | (m->header & FLAG_NEW_LINE), 0, node, 0);
        lex->tail = mpos + 1;
    } else {
        lex->tail = mpos;  // nothing is built: the marker goes
    }
    lex->begin = outer;
    lex->closing = static_cast<i32>(type);
    lex->token_type = static_cast<i32>(type);
    Cell* up = innermost(lex);
    lex->entry = (up && is_path_type(level_type(up))) ? S_PATH : 0;
}

// Closes the levels left open: blocks and parens as such, the others dropped.
static void close_all_levels(State* lex) {
    while (Cell* m = innermost(lex)) {
        u32 t = level_type(m);
        if (t == TYPE_BLOCK || t == TYPE_PAREN) {
            close_level(lex, t);
        } else {
            u32 mpos = lex->begin - 1;
            lex->begin = mpos - m->data1;
            lex->tail = mpos;
        }
    }
    lex->entry = 0;
}

// ---- Events --------------------------------------------------------------------

// Offset of a byte position in input units (code points for string input).
static i32 offset_of(State* lex, const u8* p) {
    if (p < lex->input) p = lex->input;
    if (p > lex->in_end) p = lex->in_end;
    if (!lex->string_input) return static_cast<i32>(p - lex->input);
    // Counted from the last position asked for, backwards as well as
    // forwards: a token's start after its end must not count from the
    // input's start, or tracing a long text is quadratic.
    if (p < lex->cache_pos) lex->cache_chars -= static_cast<i32>(unicode::count_utf8_chars(p, lex->cache_pos));
    else lex->cache_chars += static_cast<i32>(unicode::count_utf8_chars(lex->cache_pos, p));
    lex->cache_pos = p;
    return lex->cache_chars;
}

// Byte position of an offset in input units.
static const u8* position_of(State* lex, i32 offset) {
    if (offset <= 0) return lex->input;
    if (!lex->string_input)
        return offset >= lex->in_end - lex->input ? lex->in_end : lex->input + offset;
    return unicode::skip_utf8_chars(lex->input, lex->in_end, static_cast<u32>(offset));
}

static const char* exit_state_names[34] = {
    "eof", "error!", "block!", "block!", "paren!", "paren!", "string!", "string!", "map!", "path!",
    "datatype!", "comment", "string!", "word!", "issue!", "integer!", "refinement!", "char!", "file!",
    "binary!", "percent!", "float!", "float!", "tuple!", "date!", "pair!", "time!", "money!", "tag!",
    "url!", "email!", "hex", "rawstring", "ref!",
};

static u32 type_by_name(const char* name, u32 len) {
    for (u32 id = 1; id <= datatype::top_id && id < TYPE_TOTAL_COUNT; id++) {
        const char* n = datatype::name_of(id);
        if (n && std::strlen(n) == len && strncasecmp(n, name, len) == 0) return id;
    }
    return 0;
}

static void type_cell(Cell* c, i32 type, i32 token) {
    if (type > 0 && static_cast<u32>(type) <= datatype::top_id) {
        datatype::make_at(c, static_cast<u32>(type));
        return;
    }
    if (token >= 0 && token < 34) {
        const char* name = exit_state_names[token];
        u32 id = type_by_name(name, static_cast<u32>(std::strlen(name)));
        if (id) {
            datatype::make_at(c, id);
            return;
        }
        make_word_at(c, symbol::make(name), TYPE_WORD);
        return;
    }
    make_cell(c, TYPE_NONE);
}

static const char* event_names[6] = {"prescan", "scan", "load", "open", "close", "error"};

static i32 token_index = -1;  // token of the event being fired (for the type of kind-less tokens)

// Fires `event` for the token [s, e) when the callback asks for it and
// answers the callback's logic! result. `at_start` places the input's index
// at the token start. A callback that moves the input's index moves the lexer.
static bool trace(State* lex, u32 event, i32 type, const u8* s, const u8* e, const Cell* value, bool at_start) {
    if (!lex->has_callback || !(lex->mask & event)) return true;
    int bit = 0;
    while (!(event & (1u << bit))) bit++;
    Cell* args = stack::push_star();  // event, input, type, line, token
    stack::push_star();
    stack::push_star();
    stack::push_star();
    stack::push_star();
    make_word_at(&args[0], symbol::make(event_names[bit]), TYPE_WORD);
    args[1] = lex->input_series;
    u32 base = lex->input_series.data1;
    i32 index = offset_of(lex, at_start ? s : e);
    args[1].data1 = base + static_cast<u32>(index);
    type_cell(&args[2], type, token_index);
    make_cell(&args[3], TYPE_INTEGER, 0, static_cast<u32>(lex->line));
    if (value) {
        args[4] = *value;
        args[4].header &= ~FLAG_NEW_LINE;
    } else {
        make_cell(&args[4], TYPE_PAIR, 0, static_cast<u32>(offset_of(lex, s) + 1),
                  static_cast<u32>(offset_of(lex, e) + 1));
    }
    bool answer = call_tracer(&lex->callback, event, &args[1], &args[2], lex->line, &args[4]);
    if (args[1].data1 != base + static_cast<u32>(index)) {
        i32 moved = static_cast<i32>(args[1].data1) - static_cast<i32>(base);
        lex->in_pos = position_of(lex, moved);
    }
    stack::top = args;
    return answer;
}

bool fire_event(State* lex, u32 event, i32 type, const u8* s, const u8* e, Cell* value) {
    return trace(lex, event, type, s, e, value, false);
}

// ---- Errors --------------------------------------------------------------------

// Ends a scan (an error while not loading, or its trace callback said
// stop). A run that takes its errors pending returns up from every step on
// `stop`; any other is ended by a throw its own region catches, thrown only
// after the callback has returned, so it never crosses an interpreter frame.
// A type of its own: a language error thrown by the scan passes that region
// by, where a catch of Throw would have to throw it again.
namespace {
struct Stop {};
}  // namespace

static void stop_run(State* lex) {
    lex->stop = true;
    if (!lex->pend) throw Stop{};
}

bool pend_errors = false;

// Raises syntax/id: thrown, or pending with the run stopped.
// The values of the run's top level that were complete before a syntax
// error go to the destination block, as they would have without the error:
// a caller that traps the error keeps what loaded (the open levels are lost).
static void append_values(node_t block, u32 from, u32 to);

static void keep_completed(State* lex) {
    if (!lex->dst || !lex->load) return;
    u32 end = lex->tail;
    for (u32 b = lex->begin; b > lex->head;) {
        end = b - 1;
        b = end - values[end].data1;
    }
    append_values(series_node(lex->dst), lex->head, end);
    lex->dst = nullptr;
}

static void raise_syntax(State* lex, const char* id, const Cell* arg1, const Cell* arg2,
                         const Cell* arg3 = nullptr) {
    keep_completed(lex);
    if (!lex->pend) zav::fire("syntax", id, arg1, arg2, arg3);
    zav::fire_pending("syntax", id, arg1, arg2, arg3);
    lex->token_type = -static_cast<i32>(TYPE_ERROR);
    lex->stop = true;
}

void throw_error(State* lex, const u8* s, const u8* e, i32 code) {
    if (lex->stop) return;  // one error a run
    Cell* up = innermost(lex);
    if (code > 0 && !is_path_type(static_cast<u32>(code)) && up && is_path_type(level_type(up)) &&
        lex->entry == S_PATH)
        code = SYNTAX_BAD_CHAR;
    // The failing text: up to a line break, the token end or 30 characters.
    if (s < lex->input) s = lex->input;
    if (e > lex->in_end) e = lex->in_end;
    if (e < s) e = s;
    const u8* t = s;
    u32 chars = 0;
    while (t < e && *t != '\n' && chars < 30) {
        i32 cp;
        t = unicode::fast_decode_utf8_char(t, e, &cp);
        chars++;
    }
    if (lex->has_callback && (lex->mask & EVT_ERROR)) {
        i32 type = code > 0 ? code : lex->type > 0 ? lex->type : lex->token_type > 0 ? lex->token_type : static_cast<i32>(TYPE_ERROR);
        // Text that ends inside a level names the level, so that a caller
        // can tell an unfinished block, paren or map from a wrong token.
        if (code == SYNTAX_UNCLOSED && up) type = static_cast<i32>(level_type(up));
        if (!trace(lex, EVT_ERROR, type, s, e, nullptr, false)) {
            close_all_levels(lex);
            return stop_run(lex);
        }
    }
    if (!lex->load) {
        lex->token_type = -static_cast<i32>(TYPE_ERROR);
        return stop_run(lex);
    }
    const char* id = code > 0 ? "invalid" : code == SYNTAX_BAD_CHAR ? "bad-char" : code == SYNTAX_MALCONSTRUCT ? "malconstruct" : "missing";
    SyntaxError& r = last_error;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.id, sizeof r.id, "%s", id);
    r.line = lex->line;
    r.offset = static_cast<u32>(s - lex->input);
    r.type = code > 0 ? code : 0;
    u32 n = static_cast<u32>(t - s);
    if (n >= sizeof r.text) n = sizeof r.text - 1;
    std::memcpy(r.text, s, n);
    if (code == SYNTAX_UNMATCHED || code == SYNTAX_UNCLOSED) {
        const char* missing = ")";
        if (up) {
            u32 lt = level_type(up);
            missing = (lt == TYPE_BLOCK || lt == TYPE_MAP) ? "]" : ")";
        } else {
            missing = (s < lex->in_end && *s == ']') ? "[" : "(";
        }
        std::snprintf(r.missing, sizeof r.missing, "%s", missing);
    }
    // Error arguments: "(line N)", then the type or missing character, then the text.
    char line_text[32];
    std::snprintf(line_text, sizeof line_text, "(line %d)", lex->line);
    Cell* args = stack::push_star();
    stack::push_star();
    stack::push_star();
    string::load_at(reinterpret_cast<const u8*>(line_text), static_cast<u32>(std::strlen(line_text)), &args[0], 0);
    // The text as valid UTF-8: undecodable bytes become U+FFFD.
    u8 clean[128];
    u32 k = 0;
    for (const u8* q = s; q < t && k + 4 < sizeof clean;) {
        i32 cp;
        const u8* next = unicode::fast_decode_utf8_char(q, t, &cp);
        if (cp < 0) {
            std::memcpy(clean + k, "\xEF\xBF\xBD", 3);
            k += 3;
        } else if (cp == 0) {
            std::memcpy(clean + k, "^@", 2);  // a NUL shown as its escape, not sent raw
            k += 2;
        } else {
            std::memcpy(clean + k, q, static_cast<size_t>(next - q));
            k += static_cast<u32>(next - q);
        }
        q = next;
    }
    string::load_at(clean, k, &args[2], 0);
    if (code > 0) {
        datatype::make_at(&args[1], static_cast<u32>(code));
        return raise_syntax(lex, id, &args[0], &args[1], &args[2]);
    }
    if (code == SYNTAX_UNMATCHED || code == SYNTAX_UNCLOSED) {
        string::load_at(reinterpret_cast<const u8*>(r.missing), 1, &args[1], 0);
        return raise_syntax(lex, id, &args[0], &args[1], &args[2]);
    }
    raise_syntax(lex, id, &args[0], &args[2]);
}

// ---- Structural tokens -----------------------------------------------------------

static void tok_eof(State* lex, const u8*, const u8*, u32, bool) { lex->in_pos = lex->in_end; }

static bool delimiter(u8 b) {
    switch (byte_classes[b] & 0xFF) {
        case C_BLANK: case C_LINE: case C_BLOCK_OP: case C_BLOCK_CL: case C_PAREN_OP: case C_PAREN_CL:
        case C_EOF:
            return true;
        default:
            return false;
    }
}

static void tok_error(State* lex, const u8* s, const u8* e, u32, bool) {
    i32 code = kinds[lex->exit];
    if (code == 0) {
        switch (lex->exit) {
            case 18: code = TYPE_BINARY; break;
            case 21: code = SYNTAX_MALCONSTRUCT; break;
            case 39: code = TYPE_INTEGER; break;
            default: code = SYNTAX_BAD_CHAR; break;
        }
    }
    if (lex->entry == S_BRACED) s = lex->brace_start;
    // Report the whole run of token bytes, not only up to the failing byte.
    while (e < lex->in_end && !delimiter(*e)) e++;
    return throw_error(lex, s, e, code);
}

// True when "(" at s starts a point: at least 4 bytes follow and the first
// byte that cannot be part of a point body is ",". Text that ends before any
// such byte is an unclosed paren, not a point: "(1 + 2" at the end of a file
// is missing its ")".
static bool point_ahead(State* lex, const u8* s) {
    const u8* p = s + 1;
    if (lex->in_end - p < 4) return false;
    for (; p < lex->in_end; p++) {
        switch (*p) {
            case '\t': case ' ': case '#': case '+': case '-': case '.': case 'A': case 'E': case 'F':
            case 'I': case 'N': case 'a': case 'e': case 'f': case 'i': case 'n':
                continue;
            default:
                if (*p >= '0' && *p <= '9') continue;
                return *p == ',';
        }
    }
    return false;
}

static void open_nesting(State* lex, const u8* s, const u8* e, u32 type) {
    Cell* up = innermost(lex);
    if (up && level_type(up) == TYPE_POINT2D) return throw_error(lex, s, e, TYPE_POINT2D);
    lex->entry = 0;
    if (lex->has_callback && !trace(lex, EVT_OPEN, static_cast<i32>(type), s, e, nullptr, true)) return;
    open_level(lex, type, s);
}

static void tok_open_block(State* lex, const u8* s, const u8* e, u32, bool) { open_nesting(lex, s, e, TYPE_BLOCK); }

static void tok_open_paren(State* lex, const u8* s, const u8* e, u32, bool) {
    if (point_ahead(lex, s)) {
        lex->entry = S_POINT;  // the whole point is read as one token
        return;
    }
    open_nesting(lex, s, e, TYPE_PAREN);
}

static void close_nesting(State* lex, const u8* s, u32 type) {
    Cell* m = innermost(lex);
    if (lex->has_callback) {
        i32 t = m ? static_cast<i32>(level_type(m)) : static_cast<i32>(type);
        const u8* opener = m ? lex->input + m->data3 : s;
        if (!trace(lex, EVT_CLOSE, t, opener, s + 1, nullptr, false)) {
            lex->entry = 0;
            return;
        }
        m = innermost(lex);
    }
    u32 lt = m ? level_type(m) : 0;
    bool match = type == TYPE_BLOCK ? (lt == TYPE_BLOCK || lt == TYPE_MAP) : lt == TYPE_PAREN;
    if (!match) return throw_error(lex, s, s + 1, SYNTAX_UNMATCHED);
    if (lt == TYPE_MAP && lex->load) {
        // A map literal holds key/value pairs with keys a map accepts.
        u32 n = lex->tail - lex->begin;
        const u8* opener = lex->input + m->data3;
        if (n & 1) return throw_error(lex, opener, s + 1, TYPE_MAP);
        for (u32 i = lex->begin; i < lex->tail; i += 2)
            if (!map::valid_key_type_q(TYPE_OF(&values[i]))) return throw_error(lex, opener, s + 1, TYPE_MAP);
        u32 mpos = lex->begin - 1;
        close_level(lex, lt);
        Cell* c = &values[mpos];
        u32 nl = c->header & FLAG_NEW_LINE;
        map::make_at(c, series_node(c), n);
        c->header |= nl;
        return;
    }
    close_level(lex, lt);
}

static void tok_close_block(State* lex, const u8* s, const u8*, u32, bool) { close_nesting(lex, s, TYPE_BLOCK); }
static void tok_close_paren(State* lex, const u8* s, const u8*, u32, bool) { close_nesting(lex, s, TYPE_PAREN); }

static void tok_open_brace(State* lex, const u8* s, const u8*, u32 flags, bool) {
    if (lex->brace_depth == 0) {
        lex->brace_start = s;
        lex->brace_flags = 0;
        lex->brace_nl = lex->nl;
        if (lex->has_callback) trace(lex, EVT_OPEN, TYPE_STRING, s, s + 1, nullptr, true);
    }
    lex->brace_flags |= flags;
    lex->brace_depth++;
    lex->entry = S_BRACED;
}

static void tok_close_brace(State* lex, const u8*, const u8* e, u32 flags, bool load) {
    lex->brace_flags |= flags;
    if (--lex->brace_depth > 0) return;
    lex->entry = 0;
    lex->token_type = TYPE_STRING;
    const u8* s = lex->brace_start;
    bool nl = lex->nl;
    lex->nl = lex->brace_nl;
    // The string was reported open: its end is reported too, so that a
    // caller counting open delimiters sees it closed. The string is one
    // value either way, so the answer changes nothing.
    if (lex->has_callback) trace(lex, EVT_CLOSE, TYPE_STRING, s, e, nullptr, false);
    bool go = load;
    if (lex->has_callback && (lex->mask & EVT_SCAN)) go = trace(lex, EVT_SCAN, TYPE_STRING, s, e, nullptr, false) && go;
    if (go) {
        u32 before = lex->tail;
        load_braced(lex, s, e, lex->brace_flags, lex->load);
        if (lex->stop) return;
        if (lex->has_callback && lex->tail > before && (lex->mask & EVT_LOAD)) {
            if (!trace(lex, EVT_LOAD, TYPE_STRING, s, e, &values[lex->tail - 1], false)) lex->tail = before;
        }
    } else if (!lex->load) {
        load_braced(lex, s, e, lex->brace_flags, false);  // check only
        if (lex->stop) return;
    }
    lex->nl = nl;
    lex->in_pos = e;
}

static void tok_open_map(State* lex, const u8* s, const u8* e, u32, bool) { open_nesting(lex, s, e, TYPE_MAP); }

static void tok_path(State* lex, const u8* s, const u8* e, u32 flags, bool load) {
    u32 type = *s == '\'' ? TYPE_LIT_PATH : *s == ':' ? TYPE_GET_PATH : TYPE_PATH;
    const u8* w = (type == TYPE_PATH) ? s : s + 1;
    if (lex->has_callback && !trace(lex, EVT_OPEN, static_cast<i32>(type), s, e, nullptr, true)) {
        lex->in_pos = e + 1;
        return;
    }
    open_level(lex, type, s);
    bool go = load;
    if (lex->has_callback && (lex->mask & EVT_SCAN)) go = trace(lex, EVT_SCAN, TYPE_WORD, w, e, nullptr, false) && go;
    lex->type = TYPE_WORD;
    if (go && lex->load) {
        u32 before = lex->tail;
        load_word(lex, w, e, flags & ~(F_QUOTE | F_COLON), true);
        if (lex->stop) return;
        if (lex->has_callback && lex->tail > before && (lex->mask & EVT_LOAD)) {
            if (!trace(lex, EVT_LOAD, TYPE_WORD, w, e, &values[lex->tail - 1], false)) lex->tail = before;
        }
    } else {
        load_word(lex, w, e, flags & ~(F_QUOTE | F_COLON), false);
        if (lex->stop) return;
    }
    lex->type = -1;
    lex->in_pos = e + 1;  // after the "/"
    lex->entry = S_PATH;
    if (lex->in_pos >= lex->in_end) return throw_error(lex, s, lex->in_end, static_cast<i32>(type));
}

static void tok_construct(State* lex, const u8* s, const u8* e, u32, bool load) {
    const u8* name = s + 2;
    u32 len = static_cast<u32>((e - 1) - name);
    auto is = [&](const char* word) { return std::strlen(word) == len && strncasecmp(word, reinterpret_cast<const char*>(name), len) == 0; };
    u32 type = 0, d1 = 0;
    if (is("true")) type = TYPE_LOGIC, d1 = 1;
    else if (is("false")) type = TYPE_LOGIC;
    else if (is("none")) type = TYPE_NONE;
    else if (is("unset")) type = TYPE_UNSET;
    else if (u32 id = type_by_name(reinterpret_cast<const char*>(name), len)) type = TYPE_DATATYPE, d1 = id;
    if (!type) return throw_error(lex, s, e, SYNTAX_MALCONSTRUCT);
    lex->token_type = static_cast<i32>(type);
    if (!load || !lex->load) return;
    if (type == TYPE_DATATYPE) {
        Cell* c = alloc_cell(lex);
        u32 nl = c->header & FLAG_NEW_LINE;
        datatype::make_at(c, d1);
        c->header |= nl;
    } else {
        emit(lex, type, d1);
    }
}

static void tok_comment(State*, const u8*, const u8*, u32, bool) {}

static void tok_comma(State* lex, const u8* s, const u8* e, u32, bool) {
    // Commas only separate point coordinates, which a point token reads itself.
    return throw_error(lex, s, e, TYPE_POINT2D);
}

// ---- Token tables ------------------------------------------------------------------

static const Handler scanners[36] = {
    tok_eof, tok_error, tok_open_block, tok_close_block, tok_open_paren, tok_close_paren, tok_open_brace,
    tok_close_brace, tok_open_map, tok_path, tok_construct, tok_comment, tok_comma, scan_string_token,
    scan_word_token, scan_issue, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

static const Handler loaders[36] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, load_string, load_word, load_issue, load_integer, load_refinement, load_char,
    load_file, load_binary, load_percent, load_float, load_float_special, load_tuple, load_date, load_pair,
    load_point, load_time, load_money, load_tag, load_url, load_email, load_hex, load_rawstring, load_ref,
};

// Whether the byte that ended the token belongs to it (closing delimiters).
static bool final_byte_included(i32 state, i32 before) {
    switch (state) {
        case 68: case 69: case 70: case 71: case 72: case 73: case 74: case 76: case 78: case 79: case 84:
        case 86: case 87: case 93: case 96:
            return true;
        case 85:
            return before == 8;  // a quoted file name ends on its quote
        default:
            return false;
    }
}

// ---- Scan loop ---------------------------------------------------------------------

// Closes the innermost level, a path, as `type`, its text ending at `end`;
// the callback may refuse the close, which leaves the level open.
static void close_path(State* lex, u32 type, const u8* end) {
    if (lex->has_callback) {
        const u8* opener = lex->input + innermost(lex)->data3;
        if (!trace(lex, EVT_CLOSE, static_cast<i32>(type), opener, end, nullptr, false)) {
            lex->entry = 0;
            return;
        }
    }
    close_level(lex, type);
}

// After an element of a path: closes the path, or steps over the "/" to the next element.
static void path_end_check(State* lex) {
    const u8* p = lex->in_pos;
    Cell* m = innermost(lex);
    u32 type = level_type(m);
    if (p >= lex->in_end) {
        close_path(lex, type, p);
        return;
    }
    switch (byte_classes[*p] & 0xFF) {
        case C_BLANK: case C_LINE: case C_BLOCK_OP: case C_BLOCK_CL: case C_PAREN_OP: case C_PAREN_CL:
        case C_BRACE_OP: case C_DBL_QUOTE: case C_COLON: case C_LESSER: case C_SEMICOL: case C_WORD:
        case C_ILLEGAL: case C_EOF:
            if (*p == ':') {
                if (p + 1 < lex->in_end && p[1] == '/') return throw_error(lex, lex->input + m->data3, p + 2, TYPE_PATH);
                type = TYPE_SET_PATH;
                lex->in_pos = p + 1;
            }
            close_path(lex, type, lex->in_pos);
            return;
        default:
            if (*p != '/') return throw_error(lex, lex->input + m->data3, p + 1, static_cast<i32>(type));
            lex->in_pos = p + 1;
            if (lex->in_pos >= lex->in_end) return throw_error(lex, lex->input + m->data3, lex->in_pos, static_cast<i32>(type));
            return;
    }
}

static void scan_tokens(State* lex, bool one, bool pscan) {
    const u8* end = lex->in_end;
    bool carried_nl = false;
    for (;;) {
        const u8* s = lex->in_pos;
        const u8* p = s;
        u32 flags = 0;
        i32 state = lex->entry;
        if (state == S_POINT) lex->entry = 0;  // a point is one token, whatever follows it
        i32 before = state;
        i32 line0 = lex->line;
        i32 line_at_token = line0;  // line breaks inside the token itself (a binary) do not count
        while (p < end) {
            u32 c = byte_classes[*p];
            flags |= c;
            before = state;
            state = transitions[state][c & 0xFF];
            if (state > 65) break;
            lex->line += (c & 0xFF) == C_LINE;
            p++;
            if (state == 0) {  // blanks, line breaks and control bytes before a token
                s = p;
                line_at_token = lex->line;
            }
        }
        flags &= ~0xFFu;
        if (state <= 65) {
            before = state;
            state = transitions[state][C_EOF];
            if (state <= 65) state = T_ERROR;
        }
        lex->nl = carried_nl || (lex->entry == 0 && line_at_token > line0);
        carried_nl = false;
        lex->exit = before;
        lex->type = -1;
        lex->tok_end = p;
        i32 index = state - 66;
        const u8* e = p + (final_byte_included(state, before) ? 1 : 0);
        if (e > end) e = end;
        lex->in_pos = e;

        // Unicode blanks before a word are not part of it.
        if (state == T_WORD) {
            const u8* q = s;
            while (u32 n = blank_at(q, p)) q += n;
            if (q != s) {
                carried_nl = lex->nl;
                if (q < p || p < end) {
                    lex->in_pos = q < p ? q : p;
                    continue;
                }
                state = T_EOF;
                index = 0;
            }
        }
        // A NUL byte is not the end of the text: what follows it would be lost.
        if (state == T_EOF && p < end && *p == 0) return throw_error(lex, p, p + 1, SYNTAX_BAD_CHAR);
        lex->token_type = kinds[state];
        token_index = index;

        Handler scanner = scanners[index];
        Handler loader = loaders[index];
        bool go;
        if (pscan) {
            if (state <= T_STRING && scanner) scanner(lex, s, e, flags, false);
            if (lex->stop) return;
            if (lex->has_callback && lex->entry != S_BRACED) {
                bool kindless = kinds[state] == 0;
                trace(lex, EVT_PRESCAN, kinds[state], s, e, nullptr, kindless);
            }
            go = false;
        } else if (lex->has_callback && lex->entry != S_BRACED && state != 73) {
            bool kindless = kinds[state] == 0;
            go = trace(lex, EVT_PRESCAN, kinds[state], s, e, nullptr, kindless);
        } else {
            go = true;
        }
        if (go) {
            bool load = !one || lex->load;
            if (state > 78) {
                if (!lex->load || scanner || (lex->has_callback && (lex->mask & EVT_SCAN))) {
                    if (scanner) scanner(lex, s, e, flags, false);
                    else loader(lex, s, e, flags, false);
                    if (lex->stop) return;
                    if (lex->has_callback && (lex->mask & EVT_SCAN)) {
                        i32 t = lex->type > 0 ? lex->type : lex->token_type;
                        load = trace(lex, EVT_SCAN, t, s, lex->in_pos, nullptr, false) && load;
                    }
                }
                if (lex->type > 0) lex->token_type = lex->type;
                if (load && lex->load && loader) {
                    u32 before_tail = lex->tail;
                    loader(lex, s, e, flags, true);
                    if (lex->stop) return;
                    if (lex->has_callback && (lex->mask & EVT_LOAD) && lex->tail > before_tail) {
                        Cell* v = &values[lex->tail - 1];
                        if (!trace(lex, EVT_LOAD, static_cast<i32>(TYPE_OF(v)), s, lex->in_pos, v, false))
                            lex->tail = before_tail;
                    }
                }
            } else {
                scanner(lex, s, e, flags, load);
                if (lex->stop) return;
            }
        }

        if (lex->entry == S_PATH && state != T_PATH && state != T_ERROR) {
            path_end_check(lex);
            if (lex->stop) return;
        }

        if ((one || pscan) && lex->token_type != 0 && lex->entry != S_PATH && state != T_PATH &&
            lex->entry != S_BRACED && lex->begin == lex->head)
            return;
        if (lex->in_pos >= end) break;
    }
}

// ---- Runs ----------------------------------------------------------------------------

namespace {
// Links a run into the chain of live states for its lifetime.
struct Link {
    State* s;
    explicit Link(State* st) : s(st) {
        s->prev = last_state;
        s->next = nullptr;
        if (last_state) last_state->next = s;
        else first_state = s;
        last_state = s;
    }
    ~Link() {
        if (s->prev) s->prev->next = nullptr;
        else first_state = nullptr;
        last_state = s->prev;
    }
};
}  // namespace

static void append_values(node_t block, u32 from, u32 to) {
    for (u32 i = from; i < to; i++) {
        Cell v = values[i];
        Cell* c = alloc_at_tail(block);
        *c = v;
    }
}

void check_size(u64 bytes) {
    if (bytes >= MAX_INPUT_BYTES) fire("script", "too-long");
}

// The text ends inside a braced string or a level: a syntax error (a path
// open at the end closes there).
static void check_end(State* lex) {
    if (lex->entry == S_BRACED) return throw_error(lex, lex->brace_start, lex->in_end, TYPE_STRING);
    if (Cell* m = innermost(lex)) {
        u32 lt = level_type(m);
        if (is_path_type(lt)) close_level(lex, lt);
        else throw_error(lex, lex->input + m->data3, lex->in_end, SYNTAX_UNCLOSED);
    }
}

static bool take_pend_errors() {
    bool pend = pend_errors;
    pend_errors = false;
    return pend;
}

static i32 run(Cell* out, const u8* src, u32 size, bool one, bool pscan, bool build, i32* consumed,
               const Cell* tracer, Cell* dst, const Cell* source, bool pend) {
    if (!values) init();
    check_size(size);
    State st;
    std::memset(static_cast<void*>(&st), 0, sizeof st);
    st.pend = pend;
    st.head = st.begin = st.tail = last_state ? last_state->tail : 0;
    st.input = src;
    st.in_end = src + size;
    st.in_pos = src;
    st.line = 1;
    st.type = -1;
    st.load = build && !pscan;
    st.string_input = source != nullptr;
    st.cache_pos = src;
    st.dst = dst;
    make_cell(&st.callback, TYPE_NONE);
    make_cell(&st.input_series, TYPE_NONE);
    if (tracer && (TYPE_OF(tracer) == TYPE_FUNCTION || TYPE_OF(tracer) == TYPE_ROUTINE)) {
        st.has_callback = true;
        st.callback = *tracer;
        st.mask = tracer_mask(tracer);
        if (source) {
            st.input_series = *source;
        } else {
            node_t node = alloc_bytes(size);
            SeriesBuffer* b = GET_BUFFER(node);
            if (size) std::memcpy(b->data(), src, size);
            b->tail = b->offset + size;
            make_cell(&st.input_series, TYPE_BINARY, 0, node, 0);
        }
    }
    Link link(&st);
    try {
        scan_tokens(&st, one, pscan);
        if (!st.stop) check_end(&st);
    } catch (Stop&) {
    }
    bool failed = st.stop && st.token_type == -static_cast<i32>(TYPE_ERROR);
    if (consumed) *consumed = offset_of(&st, st.in_pos);
    if (failed) return -static_cast<i32>(TYPE_ERROR);
    if (build && !pscan) {
        u32 n = st.tail - st.head;
        if (dst) {
            append_values(series_node(dst), st.head, st.tail);
        } else if (out) {
            if (one && n > 0) {
                *out = values[st.head];
                out->header &= ~FLAG_NEW_LINE;
            } else {
                node_t node = alloc_cells(n ? n : 1);
                SeriesBuffer* b = GET_BUFFER(node);
                if (n) std::memcpy(b->data(), &values[st.head], size_t(n) * sizeof(Cell));
                b->tail = b->offset + n * u32(sizeof(Cell));
                make_cell(out, TYPE_BLOCK, 0, node, 0);
            }
        }
    }
    return st.token_type;
}

i32 scan(Cell* out, const u8* src, u32 size, bool one, bool load, bool build, i32* consumed, const Cell* tracer,
         Cell* dst) {
    bool pend = take_pend_errors();
    return run(out, src, size, one, !load, build, consumed, tracer, dst, nullptr, pend);
}

i32 scan_string(Cell* dst, Cell* source, i32 length, u32 flags, i32* consumed, const Cell* tracer) {
    bool pend = take_pend_errors();
    if (!values) init();
    SeriesBuffer* b = GET_BUFFER(series_node(source));
    u32 unit = b->unit();
    u32 have = string::zs_length_q(source);
    u32 n = (length < 0 || static_cast<u32>(length) > have) ? have : static_cast<u32>(length);
    const u8* head = string::zs_head(source);
    u64 bytes = unicode::count_utf8_bytes(head, head + u64(n) * unit, unit);
    check_size(bytes);
    u8* area = scratch;
    bool temporary = scratch_busy || bytes + 1 > SCRATCH_SIZE;
    if (temporary) area = static_cast<u8*>(rt::allocate(size_t(bytes) + 1));
    struct Release {
        u8* area;
        bool temporary;
        bool was_busy;
        ~Release() {
            if (temporary) rt::free(area);
            else scratch_busy = was_busy;
        }
    } release{area, temporary, scratch_busy};
    if (!temporary) scratch_busy = true;
    u8* w = area;
    for (u32 i = 0; i < n; i++) w += unicode::cp_to_utf8(string::get_char(head + u64(i) * unit, unit), w);
    *w = 0;
    Cell* out = TYPE_OF(dst) == TYPE_BLOCK ? nullptr : dst;
    Cell* into = out ? nullptr : dst;
    Cell src_copy = *source;
    return run(out, area, static_cast<u32>(w - area), flags & SCAN_ONE, !(flags & SCAN_LOAD), flags & SCAN_BUILD,
               consumed, tracer, into, &src_copy, pend);
}

}  // namespace zav::lexer
