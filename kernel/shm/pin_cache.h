// The enciphered PIN cache of a device: the PIN is enciphered under the
// token's derived ADF master key before it goes into shared memory, so other
// processes of the same token can use it but the area never holds it in clear.
#pragma once

#include <cstdint>

#include "core/handles.h"

namespace qx::kernel {

// Enciphers `pin` (two-key triple DES, ECB, padding 80 00 ...) and writes it
// into this process's PIN cell of the device's slot.  ERR_INVALID_PARAM for
// an empty PIN or a slot above 3, ERR_BUFFER_TOO_SMALL when the enciphered
// PIN would exceed 254 bytes, ERR_INVALID_HANDLE when the area is not open.
uint32_t cache_pin(const DeviceRecord& device, const uint8_t* pin, uint32_t length);

// Reads and deciphers the cached PIN of the device's slot (mode 1: this
// process's cell, 2: the first cell of any process) into `out` (the output
// buffer convention: null asks for the length, short gives
// ERR_BUFFER_TOO_SMALL).  ERR_NOT_FOUND when nothing is cached.
uint32_t read_cached_pin(const DeviceRecord& device, uint8_t* out, uint32_t* length, uint32_t mode);

}  // namespace qx::kernel
