// The clipboard in bytes: the desktop's clipboard through wl-copy and
// wl-paste (Wayland) or xclip (X11) when one of them can reach a display,
// else a clipboard of this process alone.
#pragma once
#include <string>

#include "runtime/common.h"

namespace zav::clipboard {

// What the clipboard offers, in the order reading prefers it.
enum class Kind { nothing, text, files, image };

enum class ReadResult { ok, empty, unavailable };
// The UTF-8 text, for files the "text/uri-list" lines, for an image the
// bytes of a PNG file.
ReadResult get(Kind& kind, std::string& data);
// Puts UTF-8 text, a "text/uri-list" or a PNG image on the clipboard; Kind::nothing
// empties it. False when the clipboard could not be written.
bool set(Kind kind, const std::string& data);

}  // namespace zav::clipboard
