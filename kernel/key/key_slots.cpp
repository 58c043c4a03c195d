#include "key_slots.h"

#include <algorithm>

#include "QXTokenStatus.h"
#include "container/container.h"
#include "core/kernel_state.h"
#include "key_object.h"

namespace qx::kernel {

namespace {

uint32_t count_of(const KeyPairRange& range) { return range.count > 0 ? static_cast<uint32_t>(range.count) : 0; }

}  // namespace

uint32_t slot_range(const std::vector<KeyPairRange>& table, const std::string& name, uint32_t& first,
                    uint32_t& last) {
    uint64_t next = 1;
    for (const KeyPairRange& range : table) {
        if (range.name == name) {
            if (count_of(range) == 0) return ERR_COMMAND_FAILED;
            first = static_cast<uint32_t>(std::min<uint64_t>(next, UINT32_MAX));
            last = static_cast<uint32_t>(std::min<uint64_t>(next + count_of(range) - 1, UINT32_MAX));
            return ERR_OK;
        }
        next += count_of(range);
    }
    return ERR_COMMAND_FAILED;
}

uint32_t slot_key_size(const std::vector<KeyPairRange>& table, uint32_t slot, uint32_t& algorithm, uint32_t& bits) {
    uint64_t next = 1;
    for (const KeyPairRange& range : table) {
        uint64_t end = next + count_of(range);
        if (slot >= next && slot < end) {
            const std::string& name = range.name;
            std::string prefix = name.substr(0, 3);
            std::string digits = name.size() > 3 ? name.substr(3) : std::string();
            if (prefix == "RSA") {
                algorithm = kAlgRsa;
            } else if (prefix == "SM2") {
                algorithm = kAlgSm2;
            } else {
                return ERR_INVALID_PARAM;
            }
            if (digits.empty() || digits.size() > 5 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return ERR_INVALID_PARAM;
            }
            bits = static_cast<uint32_t>(std::stoul(digits));
            return ERR_OK;
        }
        next = end;
    }
    return ERR_COMMAND_FAILED;
}

std::string slot_range_name(uint32_t algorithm, uint32_t bits) {
    if (algorithm == kAlgRsa) return "RSA" + std::to_string(bits);
    if (algorithm == kAlgSm2) return "SM2" + std::to_string(bits);
    return std::string();
}

uint32_t allocate_slot(const DeviceRecord& device, uint32_t algorithm, uint32_t bits, uint32_t& slot) {
    std::string name = slot_range_name(algorithm, bits);
    if (name.empty()) return ERR_INVALID_PARAM;
    uint32_t first = 0, last = 0;
    if (slot_range(state().config().keyPairRanges, name, first, last) != ERR_OK) return ERR_COMMAND_FAILED;

    std::vector<ContainerRecord> records;
    if (read_container_table(device, records) != ERR_OK) return ERR_READ_CONTAINER_FILE;
    std::vector<uint32_t> taken = live_key_slots(device.device);
    for (const ContainerRecord& r : records) {
        if (!r.occupied()) continue;
        taken.push_back(r.signatureKeyIndex);
        taken.push_back(r.exchangeKeyIndex);
    }
    for (uint64_t candidate = first; candidate <= last; ++candidate) {
        if (std::find(taken.begin(), taken.end(), static_cast<uint32_t>(candidate)) != taken.end()) continue;
        if (candidate > kMaxKeySlot) return ERR_NO_FREE_KEY_INDEX;
        slot = static_cast<uint32_t>(candidate);
        return ERR_OK;
    }
    return ERR_NO_FREE_KEY_INDEX;
}

}  // namespace qx::kernel
