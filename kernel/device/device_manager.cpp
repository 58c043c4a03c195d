#include "device_manager.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "QXTokenStatus.h"
#include "container/container.h"
#include "core/commands.h"
#include "core/kernel_state.h"
#include "core/status_words.h"

namespace qx::kernel {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::vector<std::string> split_word_list(const std::string& list) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = list.find(';', start);
        std::string word = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (word.size() > kMaxWordLength) word.resize(kMaxWordLength);
        words.push_back(std::move(word));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return words;
}

bool matches_word_list(const std::string& name, const std::string& list) {
    const std::string lowered = lower(name);
    for (const std::string& word : split_word_list(list))
        if (lowered.find(lower(word)) != std::string::npos) return true;
    return false;
}

const std::string& channel_words(const KernelConfig& config, uint32_t channel) {
    if (channel == QXDEV_CHANNEL_UMS) return config.umsFilterWords;
    if (channel == QXDEV_CHANNEL_HID) return config.hidFilterWords;
    return config.virtualReaderWords;
}

const std::string& channel_versions(const KernelConfig& config, uint32_t channel) {
    if (channel == QXDEV_CHANNEL_UMS) return config.supportUmsCosVers;
    if (channel == QXDEV_CHANNEL_HID) return config.supportHidCosVers;
    return config.supportCcidCosVers;
}

std::string cos_version_text(const uint8_t (&cosInfo)[16]) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X%02X", cosInfo[13], cosInfo[14], cosInfo[15]);
    return text;
}

TransportObject::TransportObject(uint32_t channel) {
    const DeviceFunctions fns = state().device_functions();
    if (fns.create) device_ = fns.create(channel);
}

void TransportObject::reset() {
    destroy_transport(device_);
    device_ = nullptr;
}

void destroy_transport(QXDeviceTransport* device) {
    if (!device) return;
    // No cached container may keep pointing at a transport that is gone.
    forget_device_containers(device);
    const DeviceFunctions fns = state().device_functions();
    // Without the library's destroy function the object cannot be freed here.
    if (fns.destroy) fns.destroy(device);
}

uint32_t read_identity_strict(QXDeviceTransport* device) {
    SecurityCommands security(device);
    ApduResponse r;
    const uint32_t rc = security.send({0x80, 0x76, 0x00, 0x00, 0x00}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess) return ERR_FAILED;
    const uint32_t n = std::min<uint32_t>(r.length, sizeof device->identity);
    std::memset(device->identity, 0, sizeof device->identity);
    std::memcpy(device->identity, r.data(), n);
    device->identityLength = n;
    return ERR_OK;
}

uint32_t read_cos_info(QXDeviceTransport* device, uint8_t (&cosInfo)[16]) {
    SecurityCommands security(device);
    ApduResponse r;
    const uint32_t rc = security.send({0x80, 0x7D, 0x00, 0x00, 0x10}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess || r.length != sizeof cosInfo) return ERR_FAILED;
    std::memcpy(cosInfo, r.data(), sizeof cosInfo);
    return ERR_OK;
}

uint32_t check_token(QXDeviceTransport* device, const KernelConfig& config) {
    uint32_t rc = read_identity_strict(device);
    if (rc != ERR_OK) return rc;
    uint8_t cosInfo[16];
    rc = read_cos_info(device, cosInfo);
    if (rc != ERR_OK) return rc;
    return matches_word_list(cos_version_text(cosInfo), channel_versions(config, device->channelType)) ? ERR_OK
                                                                                                         : ERR_FAILED;
}

DeviceManager& DeviceManager::instance() {
    static DeviceManager manager;
    return manager;
}

uint32_t DeviceManager::slot_for(const std::string& name) {
    std::lock_guard guard(mutex_);
    return slot_for_locked(name);
}

uint32_t DeviceManager::slot_for_locked(const std::string& name) {
    for (const SlotRecord& r : current_)
        if (r.name == name) return r.number;
    uint32_t number = 0;
    while (std::any_of(current_.begin(), current_.end(), [&](const SlotRecord& r) { return r.number == number; }))
        ++number;
    current_.push_back({number, name});
    return number;
}

void DeviceManager::begin_enumeration(const std::vector<std::string>& found) {
    std::lock_guard guard(mutex_);
    previous_ = current_;
    std::vector<SlotRecord> kept;
    for (const SlotRecord& r : current_)
        if (std::find(found.begin(), found.end(), r.name) != found.end()) kept.push_back(r);
    current_ = std::move(kept);
}

void DeviceManager::finish_enumeration() {
    std::lock_guard guard(mutex_);
    // Slots whose name is only in one of the two tables: tokens that came or
    // went.  Both directions count, so a token pulled while another is plugged
    // in between two enumerations is reported as well.
    std::vector<uint32_t> changed;
    auto note = [&](const std::vector<SlotRecord>& from, const std::vector<SlotRecord>& other) {
        for (const SlotRecord& r : from) {
            const bool inOther =
                std::any_of(other.begin(), other.end(), [&](const SlotRecord& o) { return o.name == r.name; });
            if (!inOther && changed.size() < kMaxChanges &&
                std::find(changed.begin(), changed.end(), r.number) == changed.end())
                changed.push_back(r.number);
        }
    };
    note(current_, previous_);
    note(previous_, current_);
    changes_ = std::move(changed);
}

void DeviceManager::set_channel_mask(uint32_t mask) {
    std::lock_guard guard(mutex_);
    channelMask_ = mask;
}

void DeviceManager::add_enumerated(DeviceRecord* record) {
    std::lock_guard guard(mutex_);
    enumerated_.push_back(record);
}

std::vector<DeviceRecord*> DeviceManager::take_thread_handles(uint32_t threadId) {
    std::lock_guard guard(mutex_);
    std::vector<DeviceRecord*> closed;
    std::vector<DeviceRecord*> others;
    for (DeviceRecord* r : enumerated_) {
        if (r->threadId != threadId) {
            others.push_back(r);
        } else if (r->device && r->device->openStatus != 0) {
            orphans_.push_back(r);
        } else {
            closed.push_back(r);
        }
    }
    enumerated_ = std::move(others);
    return closed;
}

bool DeviceManager::take_orphan(DeviceRecord* record) {
    std::lock_guard guard(mutex_);
    auto it = std::find(orphans_.begin(), orphans_.end(), record);
    if (it == orphans_.end()) return false;
    orphans_.erase(it);
    return true;
}

std::vector<uint32_t> DeviceManager::changes() const {
    std::lock_guard guard(mutex_);
    return changes_;
}

}  // namespace qx::kernel
