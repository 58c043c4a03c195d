// The kernel's shared-memory area and its lock, opened at initialisation and
// released at the end.  The area's content (certificate and PIN caches) is
// managed on top of this.
#pragma once

#include <cstdint>
#include <string>

namespace qx::kernel {

constexpr std::size_t kKernelAreaSize = 0x11A000;

// Opens (or creates) the area and its lock for `providerName`.  ERR_NO_MEMORY
// when either cannot be had.
uint32_t open_kernel_area(const std::string& providerName);
// Releases this process's view and lock.  Returns ERR_OK.
uint32_t close_kernel_area();
// Whether the area is open in this process.
bool kernel_area_open();

}  // namespace qx::kernel
