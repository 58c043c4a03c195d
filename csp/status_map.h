// Kernel and UI-extension statuses as the CryptoAPI error an application sees.
#pragma once

#include <cstdint>
#include <utility>

namespace qx::csp {

// The error for a kernel or UI-extension status; 0 stays 0, anything the
// table does not name becomes NTE_FAIL.
uint32_t capi_error(uint32_t kernelStatus);

// The table itself, for the tests: (kernel status, CryptoAPI error) rows.
const std::pair<uint32_t, uint32_t>* status_table(std::size_t* count);

// Statuses meaning the token went away (the provider then forgets its handle).
bool is_removal(uint32_t kernelStatus);

}  // namespace qx::csp
