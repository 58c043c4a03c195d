// Bringing the kernel up in a process and taking it down again.
#pragma once

#include <cstdint>
#include <string>

namespace qx::kernel {

// Base name of the cross-process load counter.
constexpr char kLoadCounterName[] = "QXTokenKernel_LOAD_COUNTER";

// The load counter of this kernel file.  On Windows the counter lives in the
// library's shared data section, so every copy of the library file has one of
// its own; the name carries the kernel's directory to count the same way
// elsewhere.
std::string load_counter_name();

// Loads QXDevice and QXSoftAlg from the kernel's directory (ERR_LIBRARY_LOAD
// when either or one of their entry points is missing; nothing else is then
// done), reads Config.ini, counts the process in and opens the shared area.
uint32_t kernel_initialise();
// Releases both libraries, clears the key-pair slot table, counts the process
// out (only as often as it was counted in) and releases the shared area.
uint32_t kernel_release();

}  // namespace qx::kernel
