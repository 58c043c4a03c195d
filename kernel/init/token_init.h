// Token initialisation: erase, file system, every card key derived for this
// token, both PINs with their retry counts, the key files of the key-pair
// slot table and the token information record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QXDevice.h"
#include "config/kernel_config.h"
#include "core/handles.h"

namespace qx::kernel {

constexpr uint32_t kMaxInitPinLength = 128;
constexpr uint32_t kRecordLabelSize = 32;
// Key indexes the key commands accept (1 to 30).
constexpr uint32_t kMaxKeyIndexes = 30;
constexpr uint32_t kContainerRecordSize = 280;

struct InitRequest {
    const uint8_t* userPin = nullptr;  // null: DefaultPIN
    uint32_t userPinLength = 0;
    const uint8_t* soPin = nullptr;  // null: DefaultSOPIN
    uint32_t soPinLength = 0;
    const uint8_t* label = nullptr;  // null or empty: DefaultLabel
    uint32_t labelLength = 0;
};

// The 2-byte type code of a key-pair type name; false for an unknown name.
bool key_pair_type_code(const std::string& name, uint8_t (&code)[2]);

// The key files of the slot table: for each entry in section order, its
// index range (the first starting at 1) and the three files of each index.
// An entry of unknown type keeps its range but gets no files.
std::vector<std::vector<uint8_t>> key_file_descriptions(const std::vector<KeyPairRange>& ranges);

// The label bytes of the record: the caller's, or DefaultLabel as UTF-16
// little-endian cut to 32 bytes.
std::vector<uint8_t> record_label(const uint8_t* label, uint32_t length, const std::string& defaultLabel);

// The 160-byte token information record as initialisation writes it.
std::vector<uint8_t> token_info_record(const std::vector<uint8_t>& label, const std::vector<uint8_t>& serial,
                                       uint32_t flags, int32_t maxPinLength, int32_t minPinLength,
                                       const uint8_t* cosInfo);

// Runs the whole initialisation under the token's logical lock.
uint32_t initialise_token(DeviceRecord& device, const KernelConfig& config, const InitRequest& request);

}  // namespace qx::kernel
