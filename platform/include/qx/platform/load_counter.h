// A counter of how often a module is loaded across all processes.
//
// Windows: a 32-bit value in a data section shared by every process that has
// the module loaded, changed with interlocked operations; `name` is unused.
// POSIX: a table in named shared memory of (process, start time, count),
// guarded by a named mutex; entries of processes that died are forgotten.
#pragma once

#include <cstdint>
#include <string>

namespace qx::platform {

// Adds one for the calling process and returns the new total.
int32_t load_counter_increment(const std::string& name);
// Takes one off for the calling process and returns the new total.
int32_t load_counter_decrement(const std::string& name);
// The current total.
int32_t load_counter_value(const std::string& name);

}  // namespace qx::platform
