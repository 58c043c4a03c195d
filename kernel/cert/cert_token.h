// Certificates on the token: one DER certificate per key-pair slot (1 to 30),
// read and written with the card OS's certificate commands, and the
// unbinding of a slot from the container that names it.
#pragma once

#include <cstdint>
#include <vector>

#include "container/container.h"
#include "core/commands.h"
#include "core/handles.h"

namespace qx::kernel {

constexpr uint32_t kMaxCertSlot = 30;
// A certificate shorter than this goes in one command; longer ones in pieces.
constexpr uint32_t kCertSingleLimit = 255;
constexpr uint32_t kCertPiece = 224;
// No token file holds more: a larger announced length is a broken answer.
constexpr uint32_t kMaxTokenCertificate = 0x10000;

inline bool valid_cert_slot(uint32_t slot) { return slot >= 1 && slot <= kMaxCertSlot; }

class CertCommands : public CommandObject {
public:
    using CommandObject::CommandObject;

    // 80 42 slot 00, Le 4: the certificate's length, big-endian.  Any status
    // other than 9000, or an answer that is not exactly 4 bytes, gives
    // ERR_COMMAND_FAILED.
    uint32_t read_length(uint8_t slot, uint32_t& length);
    // 80 42 slot 01, Le 0: the certificate, collected over the chained answers
    // up to `expected` bytes.  ERR_COMMAND_FAILED unless 9000 and exactly
    // `expected` bytes arrive.
    uint32_t read_data(uint8_t slot, uint32_t expected, std::vector<uint8_t>& out);
    // 80 44 slot P2: in one command (P2 03) below 255 bytes, else in pieces of
    // 224 bytes (P2 00 first, 01 middle, 02 last).  ERR_COMMAND_FAILED at the
    // first status other than 9000.
    uint32_t write(uint8_t slot, const uint8_t* data, uint32_t length);
};

// Chooses the first occupied record whose signature (first) or exchange key
// index is `slot`, clears that index and frees the record when no index is
// left.  Returns the record's index, or -1 when no record names the slot.
int unbind_in_table(std::vector<ContainerRecord>& records, uint32_t slot);

// Unbinds `slot` on the token under its logical lock (read, scan and write
// without another process in between) and refreshes a cached container of
// that record.  ERR_READ_CONTAINER_FILE, ERR_CONTAINER_NOT_FOUND, or the
// write's status.
uint32_t unbind_slot(const DeviceRecord& device, uint32_t slot);

// The certificate cache of the device's slot in shared memory.  Neither
// changes a caller's result: slots above the area's, entries above 16 and
// certificates over 2046 bytes are simply not cached.  Both take the shared
// memory's lock, so they run after the logical lock has been released.
void cache_certificate(const DeviceRecord& device, uint32_t certSlot, const uint8_t* data, uint32_t length);
void uncache_certificate(const DeviceRecord& device, uint32_t certSlot, const uint8_t* data, uint32_t length);

}  // namespace qx::kernel
