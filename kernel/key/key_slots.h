// The key-pair slot table: ranges of numbered slots on the token, one per
// entry of the configuration section "InitKeypairsNum" ("RSA1024", "SM2256",
// ...), numbered from 1 across the entries in the order they stand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/kernel_config.h"
#include "core/handles.h"

namespace qx::kernel {

// First and last slot of the first range called `name`; ERR_COMMAND_FAILED
// when the table has no such range (or it holds no slot).
uint32_t slot_range(const std::vector<KeyPairRange>& table, const std::string& name, uint32_t& first,
                    uint32_t& last);

// The algorithm (0x20000 RSA, 0x10000 SM2) and key length of the range that
// holds `slot`.  ERR_COMMAND_FAILED for a slot in no range, ERR_INVALID_PARAM
// for a range name that is neither "RSA..." nor "SM2..." or has no length.
uint32_t slot_key_size(const std::vector<KeyPairRange>& table, uint32_t slot, uint32_t& algorithm, uint32_t& bits);

// The range name of an algorithm and key length ("RSA2048"); empty for other algorithms.
std::string slot_range_name(uint32_t algorithm, uint32_t bits);

// Chooses a free slot for a key pair of `algorithm` and `bits` on the device:
// the first of its range that no occupied container names and no live key
// object of this process holds.  ERR_INVALID_PARAM for other algorithms,
// ERR_COMMAND_FAILED for a range missing from the table,
// ERR_READ_CONTAINER_FILE when the container table cannot be read,
// ERR_NO_FREE_KEY_INDEX when none is free or the free one is above slot 30.
// The slot is not reserved.
uint32_t allocate_slot(const DeviceRecord& device, uint32_t algorithm, uint32_t bits, uint32_t& slot);

}  // namespace qx::kernel
