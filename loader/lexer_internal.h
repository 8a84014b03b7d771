// What the lexer driver and the token loaders share.
#pragma once
#include "loader/lexer.h"

namespace zav::lexer {

// Byte class table entry: class in the low byte, flag bits above.
constexpr u32 C_BLANK = 0, C_LINE = 1, C_DIGIT = 2, C_ZERO = 3, C_BLOCK_OP = 4, C_BLOCK_CL = 5,
              C_PAREN_OP = 6, C_PAREN_CL = 7, C_BRACE_OP = 8, C_BRACE_CL = 9, C_DBL_QUOTE = 10,
              C_SHARP = 11, C_QUOTE = 12, C_COLON = 13, C_X = 14, C_T = 15, C_H = 16, C_E_LOW = 17,
              C_E_UP = 18, C_ALPHAX_LOW = 19, C_ALPHAX_UP = 20, C_SLASH = 21, C_BSLASH = 22, C_LESSER = 23,
              C_GREATER = 24, C_EQUAL = 25, C_PERCENT = 26, C_COMMA = 27, C_SEMICOL = 28, C_AT = 29,
              C_DOT = 30, C_MONEY = 31, C_PLUS = 32, C_MINUS = 33, C_CARET = 34, C_BIN = 35, C_WORD_CONT = 36,
              C_WORD = 37, C_ILLEGAL = 38, C_EOF = 39;

constexpr u32 F_SHARP = 0x00800000, F_QUOTE = 0x02000000, F_COLON = 0x04000000, F_EXP = 0x01000000,
              F_LESSER = 0x00100000, F_GREATER = 0x00080000, F_PERCENT = 0x00040000, F_COMMA = 0x08000000,
              F_DOT = 0x10000000, F_SIGN = 0x00200000, F_CARET = 0x20000000, F_UTF8_23 = 0x40000000,
              F_UTF8_4 = 0x80000000, F_EOF = 0x00400000;

extern const u32 (&byte_classes)[256];

// One run of the lexer.
struct State {
    State* next;
    State* prev;
    u32 head;   // first cell of this run in the value buffer
    u32 begin;  // first cell of the innermost open level
    u32 tail;   // next free cell
    const u8* input;
    const u8* in_end;
    const u8* in_pos;
    const u8* tok_end;
    i32 line;
    i32 nlines;       // lines crossed before the current token
    i32 type;         // value type chosen by a scanner, -1 none
    i32 token_type;   // datatype id of the last token
    i32 entry;        // entry state of the next token
    i32 exit;         // state before the final step
    i32 closing;      // type of the last closed level
    const u8* brace_start;
    i32 brace_depth;
    u32 brace_flags;
    bool brace_nl;
    bool nl;          // a line break preceded the current token
    bool load;        // build values
    bool stop;        // the run is stopped: every step returns at once
    bool pend;        // a syntax error is raised pending (see lexer::pend_errors)
    bool has_callback;
    Cell* dst;  // the block the values go to (transcode/into), or null
    u32 mask;
    Cell callback;
    Cell input_series;  // the value handed to the callback (binary or string)
    bool string_input;
    const u8* cache_pos;  // position -> character count cache for string input
    i32 cache_chars;
};

// The shared value buffer.
extern Cell* values;
extern u32 values_size;

// A new cell at the run's tail: unset!, with the new-line flag of the token.
Cell* alloc_cell(State* lex);

// Writes a value of `type` into a new cell at the tail, keeping the new-line flag.
Cell* emit(State* lex, u32 type, u32 d1 = 0, u32 d2 = 0, u32 d3 = 0);

// Syntax error codes below zero; a code above zero is the id of the datatype
// whose text is invalid.
enum SyntaxCode : i32 {
    SYNTAX_BAD_CHAR = -1,       // a byte no token may hold
    SYNTAX_MALCONSTRUCT = -2,   // a malformed construct
    SYNTAX_UNMATCHED = -3,      // a closing ] or ) with no opener of its kind
    SYNTAX_UNCLOSED = -4,       // the text ends inside a block or paren
};

// Raises a syntax error for the text [s, e): a datatype id (invalid) or a
// SyntaxCode. Unwinds, or stops the run: a run that takes its errors pending
// (see lexer::pend_errors) is stopped by `stop` set as this returns, and
// every caller returns at once on it, up to the run.
void throw_error(State* lex, const u8* s, const u8* e, i32 code);

// Fires a trace event when the callback asks for it; answers the callback's result.
bool fire_event(State* lex, u32 event, i32 type, const u8* s, const u8* e, Cell* value);

// Token handlers: the lexer state, the token text [s, e), the ORed class flags, the load flag.
using Handler = void (*)(State* lex, const u8* s, const u8* e, u32 flags, bool load);

// Loaders of the value tokens (scanners.cpp).
void load_string(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void scan_string_token(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_braced(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void scan_word_token(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_word(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void scan_issue(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_issue(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_integer(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_refinement(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_char(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_file(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_binary(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_percent(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_float(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_float_special(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_tuple(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_date(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_pair(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_point(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_time(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_money(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_tag(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_url(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_email(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_hex(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_rawstring(State* lex, const u8* s, const u8* e, u32 flags, bool load);
void load_ref(State* lex, const u8* s, const u8* e, u32 flags, bool load);

// Escapes: decodes the "^" sequence at p (p points after the "^"); answers the
// code point or -1, and leaves p after the sequence.
i32 decode_escape(const u8*& p, const u8* end);

// Word cell of a symbol bound to the global context.
Cell* make_word_at(Cell* cell, i32 symbol, u32 type);

}  // namespace zav::lexer
