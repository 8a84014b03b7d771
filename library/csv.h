// The CSV codec's routines: the reader of delimited text into lines of
// strings and the writer of lines of values into delimited text, behind
// load-csv and to-csv (which shape records, columns and headers around them).
#pragma once

namespace zav::csv {

// csv-decode: data [string!] delimiter [char! string!] quote [char!]
// trim? [logic!] flat? [logic!] header? [logic!]. A block of the header line
// (a block of strings, none without header?) and the lines: a block of one
// block of strings a line, or with flat? all values in one block. Lines of
// different lengths give the message "Data are not aligned" (a string!);
// malformed text (a quoted value never closed, text after a closing quote)
// the message "CSV data are malformed at line N", N the line where the value
// starts. With header? and no line after the first: none.
void decode();
// csv-encode: rows [block!] delimiter [char! string!] quote [char!] size
// [integer!]. A new string! of one line a row, each ended by a line feed:
// with size 0 the rows are blocks of values, which must all be as long as
// the first; else the block holds the values of all rows, size a row, and
// its length must be a multiple of size. Rows that do not line up give none.
void encode();

}  // namespace zav::csv
