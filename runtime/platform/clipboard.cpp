// The clipboard through the desktop's command-line tools, or in-process.
#include "runtime/platform/clipboard.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "runtime/platform/process.h"

namespace zav::clipboard {

namespace {

enum class Backend { local, wayland, x11 };

// Where no desktop clipboard is reachable, this process keeps its own.
Kind local_kind = Kind::nothing;
std::string local_data;

bool on_path(const char* program) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string full = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (::access(full.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool set_in_env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

Backend backend() {
    if (set_in_env("WAYLAND_DISPLAY") && on_path("wl-paste") && on_path("wl-copy")) return Backend::wayland;
    if (set_in_env("DISPLAY") && on_path("xclip")) return Backend::x11;
    return Backend::local;
}

// Runs a tool: input bytes in, output captured; its exit status (-1 when it
// could not run).
i64 run(const std::string& command, const std::string* input, std::string* output) {
    call::Redirect in, out, err;
    if (input) {
        in.kind = call::Redirect::pipe;
        in.data = *input;
    }
    // A tool's complaints are answered by its status, not printed. Writers
    // leave a server running in the background that must not hold our pipes,
    // so only readers are captured.
    if (output) {
        out.kind = call::Redirect::pipe;
        err.kind = call::Redirect::pipe;
    }
    call::SpawnResult r = call::spawn(command, true, false, false, in, out, err);
    if (output) *output = out.data;
    return r.value;
}

bool has_line(const std::string& lines, const std::string& wanted, bool prefix) {
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        std::string line = lines.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (prefix ? line.rfind(wanted, 0) == 0 : line == wanted) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

ReadResult get(Kind& kind, std::string& data) {
    kind = Kind::nothing;
    data.clear();
    Backend b = backend();
    if (b == Backend::local) {
        if (local_kind == Kind::nothing) return ReadResult::empty;
        kind = local_kind;
        data = local_data;
        return ReadResult::ok;
    }
    std::string types;
    bool wayland = b == Backend::wayland;
    // No owner of the clipboard makes the listing fail: that is an empty clipboard.
    if (run(wayland ? "wl-paste --list-types" : "xclip -selection clipboard -o -t TARGETS", nullptr, &types) != 0)
        return ReadResult::empty;
    bool text = wayland ? has_line(types, "text/plain", true) || has_line(types, "UTF8_STRING", false)
                        : has_line(types, "UTF8_STRING", false) || has_line(types, "text/plain", true);
    bool files = has_line(types, "text/uri-list", false);
    // Encoded pictures first, the first offered winning; a bare bitmap last.
    // The decoder tells the format by the bytes.
    std::string image;
    for (const char* type : {"image/png", "image/jpeg", "image/gif", "image/bmp"})
        if (image.empty() && has_line(types, type, false)) image = type;
    if (!text && !files && image.empty()) return ReadResult::empty;
    kind = text ? Kind::text : files ? Kind::files : Kind::image;
    std::string command;
    if (wayland) {
        command = text ? "wl-paste --no-newline --type text"
                : files ? "wl-paste --no-newline --type text/uri-list" : "wl-paste --type " + image;
    } else {
        command = text ? "xclip -selection clipboard -o -t UTF8_STRING"
                : files ? "xclip -selection clipboard -o -t text/uri-list" : "xclip -selection clipboard -o -t " + image;
    }
    if (run(command, nullptr, &data) != 0) {
        kind = Kind::nothing;
        return ReadResult::unavailable;
    }
    return ReadResult::ok;
}

bool set(Kind kind, const std::string& data) {
    Backend b = backend();
    if (b == Backend::local) {
        local_kind = kind;
        local_data = kind == Kind::nothing ? std::string() : data;
        return true;
    }
    if (b == Backend::wayland) {
        if (kind == Kind::nothing) return run("wl-copy --clear", nullptr, nullptr) == 0;
        return run(kind == Kind::files   ? "wl-copy --type text/uri-list"
                   : kind == Kind::image ? "wl-copy --type image/png"
                                         : "wl-copy --type \"text/plain;charset=utf-8\"",
                   &data, nullptr) == 0;
    }
    static const std::string nothing;
    if (kind == Kind::nothing) return run("xclip -selection clipboard -i", &nothing, nullptr) == 0;
    return run(kind == Kind::files   ? "xclip -selection clipboard -i -t text/uri-list"
               : kind == Kind::image ? "xclip -selection clipboard -i -t image/png"
                                     : "xclip -selection clipboard -i -t UTF8_STRING",
               &data, nullptr) == 0;
}

}  // namespace zav::clipboard
