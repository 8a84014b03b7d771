// Start-up: the runtime's modules in their fixed order, the boot environment
// from the embedded image, and the library's top level.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace zav::boot {

// Phases B to E: brings the runtime up (memory, tables, datatypes, stacks,
// natives), loads the boot image into the root block, defines the library
// and runs its top level. Idempotent, so that tests can call it from every
// fixture; without an image (the image tool) the library is left out.
void init_runtime();

// Loads an image into the root block as library code; an image whose root is
// not one block of modules ends start-up with status 1.
struct Image;
void load_image(const Image& from);

// The library modules of the boot image, as loaded into the root block
// (a block of one block per module, in load order); none without an image.
Cell* library();

// Writes the image of the library modules (blocks of loaded source) to bytes.
std::string encode_image(Cell* modules);

// The system's error catalog: one object per error category, from the
// runtime's table.
void make_error_catalog(Cell* out);

// A block of loaded source text, pushed on the value stack.
Cell* load_source(const char* text);

}  // namespace zav::boot
