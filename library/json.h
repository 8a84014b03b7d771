// The JSON codec's routines: a reader from JSON text to values and a writer
// from values to JSON text, behind load-json and to-json.
#pragma once

namespace zav::json {

// json-decode: input [string!]. A block holding the value of the JSON text,
// or, when the text is not JSON, the message of the error (a string!) that
// load-json makes: "Invalid JSON string. Line: l Index: i Column: c Near: t".
// A broken \u surrogate raises script/invalid-data with the string's
// content; nesting deeper than a value can be written raises internal/too-deep.
void decode();
// json-encode: data [any-type!] indent [string! none!] ascii? [logic!]. A
// new string! with the JSON text of the data: compact without an indent,
// else one member or element a line, indented by the indent once per level;
// with ascii? every character above 127 as an escape. NaN and the infinities
// raise script/invalid-arg, a value that contains itself internal/no-cycle.
void encode();

}  // namespace zav::json
