// Tab completion for the console's line editor through the library's
// zav-complete-ctx/complete-input.
#pragma once
#include <optional>
#include <string>

#include "console/terminal.h"

namespace zav::completion {

// The completions of the word that ends at `cursor` in `line`: nullopt when
// there is nothing to complete or the library has no completion. A language
// error raised by the completion goes on to the caller.
std::optional<terminal::Completion> complete_input(const std::u32string& line, size_t cursor);

}  // namespace zav::completion
