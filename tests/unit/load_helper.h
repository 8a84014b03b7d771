// Text in, values out, text back: the loader and the mold/form dispatch for tests.
#pragma once
#include <string>
#include <string_view>

#include "runtime/cell.h"

namespace zav::test {

// Loads source text into a block of its values. The block is pushed on the
// value stack (so the collector sees it); the returned cell stays valid until
// the stack is reset. A syntax error propagates as the language error (Throw).
Cell* load(std::string_view text);

// Loads the text and answers the first value (unset when there is none).
Cell* load_one(std::string_view text);

// A cell that the collector keeps (with what it refers to) for the rest of
// the process: for values that tests hold in C++ tables and locals.
Cell& kept();

// Mold (with /all when asked) and form of a value, as UTF-8.
std::string mold(const Cell* value, bool all = false);
std::string form(const Cell* value);

// Loads the text and answers the id of the error raised ("invalid",
// "missing", "malconstruct", "bad-char", ...), or "" when it loads.
std::string load_error(std::string_view text);

// The category of the last error load_error saw ("syntax", ...).
std::string last_error_category();

// The full syntax error message the lexer recorded for the last failure:
// e.g. `(line 1) invalid integer! at "1''0"`, or `(line 2) missing "]" at "[a"`.
std::string last_syntax_message();

// The values of a loaded block, each molded, joined by one space.
std::string mold_values(const Cell* block, bool all = false);

}  // namespace zav::test
