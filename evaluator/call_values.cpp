// call_values::run: turns the call native's values into redirections and back.
#include "evaluator/call_values.h"

#include <string>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/simple_io.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/platform/process.h"

namespace zav::call_values {

using call::Redirect;
using call::SpawnResult;
using call::spawn;

namespace {

// The redirection a value asks for; input takes text, bytes or a file, the
// outputs a string, a binary or a file.
Redirect redirect_of(Cell* value, bool input) {
    Redirect r;
    if (!value || TYPE_OF(value) == TYPE_NONE) return r;
    switch (TYPE_OF(value)) {
        case TYPE_FILE:
            r.kind = Redirect::file;
            r.path = file::to_OS_path(value);
            if (r.path.find('\0') != std::string::npos) fire("script", "invalid-arg", value);
            return r;
        case TYPE_STRING: case TYPE_BINARY:
            r.kind = Redirect::pipe;
            if (input) simple_io::to_bytes(value, -1, true, r.data);
            return r;
        default:
            fire("script", "invalid-arg", value);
    }
}

// What the child wrote goes into the target: raw at a binary's head, decoded
// as UTF-8 text (CR LF read as LF) at a string's tail.
void output_to_string(Cell* target, const Redirect& r) {
    if (!target || r.kind != Redirect::pipe || r.data.empty()) return;
    const u8* p = reinterpret_cast<const u8*>(r.data.data());
    u32 n = static_cast<u32>(r.data.size());
    if (TYPE_OF(target) == TYPE_BINARY) {
        binary::zs_insert(target, 0, p, n);
        return;
    }
    Cell* text = simple_io::utf8_to_string(p, n);
    string::concatenate(target, text, -1, 0, true, string::CONCAT_APPEND);
    stack::pop(1);
}

}  // namespace

i32 run(Cell* command, bool wait, bool, bool console, bool shell, Cell* in, Cell* out, Cell* err) {
    std::string text;
    simple_io::to_bytes(command, -1, true, text);
    Redirect rin = redirect_of(in, true);
    Redirect rout = redirect_of(out, false);
    Redirect rerr = redirect_of(err, false);
    // A NUL would cut the command short at the platform.
    if (text.find('\0') != std::string::npos) fire("script", "invalid-arg", command);
    SpawnResult result = spawn(text, wait, console, shell, rin, rout, rerr);
    if (result.too_long) fire("script", "too-long");
    output_to_string(out, rout);
    output_to_string(err, rerr);
    if (result.value < -0x80000000LL || result.value > 0x7FFFFFFF) return -1;
    return static_cast<i32>(result.value);
}

}  // namespace zav::call_values
