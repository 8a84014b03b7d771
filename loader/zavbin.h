// ZAVBIN: the binary form of values. One header ("ZAVBIN", version, flags)
// and two record encodings, fixed-width (32-bit words) and compact (bytes and
// LEB128 varints). It carries the boot environment and serves the zavbin codec.
//
// The reader runs in two modes. Boot mode reads the trusted boot image into
// the root block: definitions set words and failures end the process. Codec
// mode reads untrusted bytes: every fault is a language error, never a crash,
// a hang or an allocation the data cannot pay for (script/zb-invalid-record
// with the 1-based byte offset, script/invalid-data, access/no-codec).
#pragma once
#include <vector>

#include "runtime/cell.h"

namespace zav::zavbin {

enum Mode : i32 { MODE_BOOT = 0, MODE_CODEC = 1 };

// Header flags.
constexpr u8 FLAG_COMPACT = 1;
constexpr u8 FLAG_COMPRESSED = 2;
constexpr u8 FLAG_SYMBOLS = 4;

// Set by the codec's routines and the writers before a run, cleared by the boot load.
extern bool codec_q;

// Decodes one buffer and appends its root values to `dest` (a block cell the
// caller keeps rooted). `data` must stay in place while values are made, so
// never in a series buffer (copy a binary's bytes out first). A negative
// length means unbounded (boot data only). `source` is the value named by
// invalid-data errors (null: a binary of the data). Answers the number of
// cells `dest` held before: in boot mode the index of the first root (the
// root base). Boot images of version 1 bind words by root index; images the
// writers made (version 2) load in boot mode with their bindings as written.
// Hashes of a boot image's symbols (hashtable::symbol_hash, in the order of
// its symbol table) worked out when the image was made, under `seed`; the
// reader interns with them when they fit the image and the seed is the same.
struct SymbolHashes {
    const u32* hashes;
    u32 count;
    u32 seed;
};
u32 decode(const u8* data, Cell* dest, Mode mode, i64 length, const Cell* source = nullptr,
           const SymbolHashes* hashes = nullptr);
// The hashes of the symbols of an encoding (empty for a compressed one).
std::vector<u32> symbol_hashes(const u8* data, u32 length);

// Loads the boot image into the root block with the collector off; answers
// the root base (the root-block index of its first root). With keep_root_base
// the previous root base stays the current one. Series flags in block_flags
// are set on every any-block root and every any-block reached from one
// through any-blocks, as block::set_flags_deep would set them.
u32 boot_load(const u8* data, bool keep_root_base, u32 block_flags = 0, const SymbolHashes* hashes = nullptr);
// Root-block index of the boot environment's first root.
extern u32 root_base;

// The writers: the value with everything reachable from it as one root, in a
// new binary! pushed on the value stack. encode is the fixed-width form,
// encode_cp the compact one. routine!, triple!, handle!, port! and event!
// raise access/no-codec.
Cell* encode(const Cell* value);
Cell* encode_cp(const Cell* value);

// The zavbin codec's entries: decode (a binary! of more than 10 bytes; any
// other value raises script/invalid-data, so the routine reads a file! or
// url! payload first) answers the only value decoded or a block of them,
// pushed; encode_star answers the encoding of `data`.
Cell* codec_decode(const Cell* payload);
Cell* codec_encode_star(const Cell* data, bool compact);

// Built-ins come from the evaluator's tables: it registers a maker that
// fills `out` with the native! (or action!) of a table index and answers
// false when the index names none. Codec mode reads built-ins through it.
using BuiltinMaker = bool (*)(u32 type, u32 index, Cell* out);
void set_builtin_maker(BuiltinMaker maker);

}  // namespace zav::zavbin
