// url! values: strings that name a resource. They keep the string! cell and
// buffer and add percent-encoding, their molded form, joining through paths,
// URL building from a block, and reads and writes over HTTP or ports.
#pragma once
#include "runtime/cell.h"

namespace zav::url {

// Character classes (ASCII only; bytes of 0x80 and above belong to neither).
// URL text: letters, digits and ! # $ & ' ( ) * + , - . / : = ? @ _ ~
bool url_char_q(u32 byte);
// Component: letters, digits and - . _ ~
bool component_char_q(u32 byte);

constexpr i32 ENCODE_COMPONENT = 0xFE;  // escape all but the component class
constexpr i32 ENCODE_URL = 0xFF;        // escape all but the URL text class

// Appends the string's UTF-8 bytes from its head to `output`, each kept when
// it is in the mode's class and written as "%" and two upper-case digits otherwise.
void encode(Cell* str, Cell* output, i32 mode);
// Appends the percent-decoded text of the value from its head to `output`:
// "%XX" escapes give bytes, escaped UTF-8 sequences give one character, and
// anything that does not decode is kept as it stands.
void decode(Cell* value, Cell* output);
// Replaces the value's text by its decoded form, in a new buffer of the same value.
void decode(Cell* value);
// Decodes UTF-8 URL text into a new string! written into `result`.
Cell* decode_text(const u8* text, u32 length, Cell* result);

// Makes the url's port from the library's URL parser and, with open, opens it.
Cell* dispatch_port(Cell* url, bool open, bool new_, bool read, bool write, bool seek, Cell* allow);

// Actions; url! also serves file! for make, to and eval-path.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 mold(Cell* url, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);

void init();

}  // namespace zav::url
