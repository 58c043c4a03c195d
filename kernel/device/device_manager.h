// The process's device manager: which device names count as tokens, the slot
// numbers given to device names, the handles handed out by enumeration and
// the list of slots that changed between the last two enumerations.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "QXDevice.h"
#include "config/kernel_config.h"
#include "core/handles.h"

namespace qx::kernel {

// Longest word of a word list; longer words are cut.
constexpr std::size_t kMaxWordLength = 259;
// Most slot numbers the change list holds.
constexpr uint32_t kMaxChanges = 16;

// Splits a ";"-separated list (empty words kept, each cut to 259 characters).
std::vector<std::string> split_word_list(const std::string& list);
// True when the lower-cased name contains one of the lower-cased words; an
// empty word (empty list, ";;" or a trailing ";") matches every name.
bool matches_word_list(const std::string& name, const std::string& list);

// The channel's name words and card-OS version list (channel 1, 16 or 256).
const std::string& channel_words(const KernelConfig& config, uint32_t channel);
const std::string& channel_versions(const KernelConfig& config, uint32_t channel);

// The card-OS version text ("%02X" of bytes 13 to 15 of the 16-byte card-OS
// information).
std::string cos_version_text(const uint8_t (&cosInfo)[16]);

// A transport object of the loaded QXDevice, destroyed through it unless released.
class TransportObject {
public:
    explicit TransportObject(uint32_t channel);
    ~TransportObject() { reset(); }
    TransportObject(const TransportObject&) = delete;
    TransportObject& operator=(const TransportObject&) = delete;

    QXDeviceTransport* get() const { return device_; }
    explicit operator bool() const { return device_ != nullptr; }
    QXDeviceTransport* release() {
        QXDeviceTransport* d = device_;
        device_ = nullptr;
        return d;
    }
    void reset();

private:
    QXDeviceTransport* device_ = nullptr;
};
// Destroys a transport object made by the loaded QXDevice (null accepted).
void destroy_transport(QXDeviceTransport* device);

// Reads the token identity into the device object: the exchange's status, or
// ERR_FAILED when the token answers anything but 9000.
uint32_t read_identity_strict(QXDeviceTransport* device);
// Reads the 16-byte card-OS information: the exchange's status, or ERR_FAILED
// for another status word or length.
uint32_t read_cos_info(QXDeviceTransport* device, uint8_t (&cosInfo)[16]);
// Identity and card-OS version check of an open transport: ERR_OK when the
// token answers both and its version is in the channel's list.
uint32_t check_token(QXDeviceTransport* device, const KernelConfig& config);

struct SlotRecord {
    uint32_t number;
    std::string name;
};

class DeviceManager {
public:
    static DeviceManager& instance();

    // The slot number of `name` in the current slot table, given on first sight.
    uint32_t slot_for(const std::string& name);

    // Starts a new enumeration result with the names found: the current table
    // becomes the previous one, the records of names still present keep their
    // numbers, and the change list is computed after the new names got theirs.
    void begin_enumeration(const std::vector<std::string>& found);
    void finish_enumeration();

    void set_channel_mask(uint32_t mask);
    // Records a handle handed out by enumeration.
    void add_enumerated(DeviceRecord* record);
    // Takes the calling thread's enumerated handles off the list; those whose
    // device is not open are returned to be freed, open ones are kept aside
    // until they are closed.
    std::vector<DeviceRecord*> take_thread_handles(uint32_t threadId);
    // True (and forgotten) when `record` was an open enumerated handle whose
    // enumeration has been destroyed: closing it frees it.
    bool take_orphan(DeviceRecord* record);

    std::vector<uint32_t> changes() const;

private:
    DeviceManager() = default;
    uint32_t slot_for_locked(const std::string& name);

    mutable std::mutex mutex_;
    uint32_t channelMask_ = 0;
    std::vector<DeviceRecord*> enumerated_;
    std::vector<DeviceRecord*> orphans_;
    std::vector<SlotRecord> current_;
    std::vector<SlotRecord> previous_;
    std::vector<uint32_t> changes_;
};

}  // namespace qx::kernel
