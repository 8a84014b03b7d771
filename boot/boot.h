// Start-up of the runtime: every module's initialisation, in its fixed order.
#pragma once

namespace zav::boot {

// Brings the runtime up: memory, tables, datatypes, stacks. Idempotent, so
// that tests can call it from every fixture.
void init_runtime();

}  // namespace zav::boot
