// The boot image: the library in serialised form, embedded in the executable
// by the build (a generated source), or empty in the tool that makes it.
#pragma once
#include "runtime/common.h"

namespace zav::boot {

struct Image {
    const u8* data;
    u32 size;
    // The hashes its symbols intern with, worked out by the tool under hash_seed.
    const u32* symbol_hashes = nullptr;
    u32 symbol_count = 0;
    u32 hash_seed = 0;
};
// Defined by the generated image source, or by the tool's empty stand-in.
extern const Image image;
// What start-up would otherwise load from text, loaded by the tool: the
// built-ins' specs (natives::load_builtin_specs), one block.
extern const Image builtin_specs;

}  // namespace zav::boot
