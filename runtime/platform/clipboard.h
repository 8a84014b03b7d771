// The clipboard in bytes: the desktop's clipboard through wl-copy and
// wl-paste (Wayland) or xclip (X11) when one of them can reach a display,
// else a clipboard of this process alone.
#pragma once
#include <string>

#include "runtime/common.h"

namespace zav::clipboard {

// What the clipboard offers, richest first.
enum class Kind { nothing, text, files };

enum class ReadResult { ok, empty, unavailable };
// The UTF-8 text, or for files the "text/uri-list" lines.
ReadResult get(Kind& kind, std::string& data);
// Puts UTF-8 text or a "text/uri-list" on the clipboard; Kind::nothing
// empties it. False when the clipboard could not be written.
bool set(Kind kind, const std::string& data);

}  // namespace zav::clipboard
