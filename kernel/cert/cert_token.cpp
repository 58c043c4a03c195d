#include "cert/cert_token.h"

#include <cstring>

#include "QXTokenStatus.h"
#include "core/logical_lock.h"
#include "core/shared_area.h"

namespace qx::kernel {

uint32_t CertCommands::read_length(uint8_t slot, uint32_t& length) {
    ApduResponse r;
    const uint32_t rc = send({0x80, 0x42, slot, 0x00, 0x04}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != 0x9000 || r.length != 4) return ERR_COMMAND_FAILED;
    length = static_cast<uint32_t>(r.bytes[0]) << 24 | static_cast<uint32_t>(r.bytes[1]) << 16 |
             static_cast<uint32_t>(r.bytes[2]) << 8 | r.bytes[3];
    return ERR_OK;
}

uint32_t CertCommands::read_data(uint8_t slot, uint32_t expected, std::vector<uint8_t>& out) {
    out.clear();
    if (expected == 0 || expected > kMaxTokenCertificate) return ERR_COMMAND_FAILED;
    std::vector<uint8_t> data;
    uint16_t sw = 0;
    // Room for the announced length and two more answers, so that a token
    // sending more than it announced is seen as such rather than cut short.
    const uint32_t rc = channel().transmit_long({0x80, 0x42, slot, 0x01, 0x00}, expected + 512, data, sw);
    // Still more does not fit the joined buffer and fails the exchange: that,
    // too, is a token that does not answer as it announced.
    if (rc == ERR_FAILED) return ERR_COMMAND_FAILED;
    if (rc != ERR_OK) return rc;
    if (sw != 0x9000 || data.size() != expected) return ERR_COMMAND_FAILED;
    out = std::move(data);
    return ERR_OK;
}

uint32_t CertCommands::write(uint8_t slot, const uint8_t* data, uint32_t length) {
    auto piece = [&](uint8_t p2, const uint8_t* bytes, uint32_t n) -> uint32_t {
        std::vector<uint8_t> cmd{0x80, 0x44, slot, p2, static_cast<uint8_t>(n)};
        cmd.insert(cmd.end(), bytes, bytes + n);
        ApduResponse r;
        const uint32_t rc = send(cmd, r);
        if (rc != ERR_OK) return rc;
        return r.sw == 0x9000 ? ERR_OK : ERR_COMMAND_FAILED;
    };
    if (length == 0) return ERR_INVALID_PARAM;
    if (length < kCertSingleLimit) return piece(0x03, data, length);
    uint32_t offset = 0;
    while (offset < length) {
        const uint32_t rest = length - offset;
        const bool last = rest <= kCertPiece;
        const uint32_t n = last ? rest : kCertPiece;
        const uint8_t p2 = last ? 0x02 : (offset == 0 ? 0x00 : 0x01);
        const uint32_t rc = piece(p2, data + offset, n);
        if (rc != ERR_OK) return rc;
        offset += n;
    }
    return ERR_OK;
}

int unbind_in_table(std::vector<ContainerRecord>& records, uint32_t slot) {
    for (std::size_t i = 0; i < records.size(); ++i) {
        ContainerRecord& r = records[i];
        if (!r.occupied()) continue;
        if (r.signatureKeyIndex == slot) {
            r.signatureKeyIndex = kNoKeyIndex;
        } else if (r.exchangeKeyIndex == slot) {
            r.exchangeKeyIndex = kNoKeyIndex;
        } else {
            continue;
        }
        if (r.signatureKeyIndex == kNoKeyIndex && r.exchangeKeyIndex == kNoKeyIndex) {
            std::memset(r.name, 0xFF, sizeof r.name);
            r.type = kContainerFree;
            r.status = kContainerFree;
            r.spare = kContainerFree;
        }
        return static_cast<int>(i);
    }
    return -1;
}

uint32_t unbind_slot(const DeviceRecord& device, uint32_t slot) {
    if (!device.device) return ERR_DEVICE_IO;
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    std::vector<ContainerRecord> records;
    if (read_container_table(device, records) != ERR_OK) return ERR_READ_CONTAINER_FILE;
    const int index = unbind_in_table(records, slot);
    if (index < 0) return ERR_CONTAINER_NOT_FOUND;
    return write_table_record(device, static_cast<uint32_t>(index), records[static_cast<std::size_t>(index)]);
}

namespace {
bool cacheable(const DeviceRecord& device, uint32_t certSlot, const uint8_t* data, uint32_t length) {
    return device.device && device.device->slotNumber < kAreaSlots && certSlot >= 1 && certSlot <= kCertEntries &&
           data && length >= 1 && length <= kCertMaxData && kernel_area_open();
}
}  // namespace

void cache_certificate(const DeviceRecord& device, uint32_t certSlot, const uint8_t* data, uint32_t length) {
    if (cacheable(device, certSlot, data, length)) cert_cache_write(device.device->slotNumber, certSlot, data, length);
}

void uncache_certificate(const DeviceRecord& device, uint32_t certSlot, const uint8_t* data, uint32_t length) {
    if (cacheable(device, certSlot, data, length)) cert_cache_delete(device.device->slotNumber, certSlot, data, length);
}

}  // namespace qx::kernel
