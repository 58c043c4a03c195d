// The exchange layer between the kernel's commands and the device transport:
// the per-reader packet lock, GET RESPONSE and Le-correction chaining,
// transport encryption, and reconnection after a lost card or service.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "QXDevice.h"

namespace qx::kernel {

constexpr uint32_t kResponseBufferSize = 1024;
// 5 header bytes and at most 255 data bytes (Lc is one byte).
constexpr uint32_t kMaxCommandSize = 260;

struct ApduResponse {
    std::array<uint8_t, kResponseBufferSize> bytes{};
    // After transmit: the data length without the status word.
    uint32_t length = 0;
    uint16_t sw = 0;

    ApduResponse() = default;
    ~ApduResponse();
    ApduResponse(const ApduResponse&) = delete;
    ApduResponse& operator=(const ApduResponse&) = delete;
    const uint8_t* data() const { return bytes.data(); }
};

// True for the four smart-card codes after which the kernel reconnects.
bool is_reconnect_code(uint32_t code);

// Whether a command's bytes may appear in the trace.  Secret commands show
// their header only, and only the status word of their answer.
enum class Visibility { Traced, Secret };

class ApduChannel {
public:
    explicit ApduChannel(QXDeviceTransport* device) : device_(device) {}

    QXDeviceTransport* device() const { return device_; }

    // One exchange without reconnection.  On success `response` holds the
    // joined answer including the final status word (length counts it).
    uint32_t exchange(const std::vector<uint8_t>& command, ApduResponse& response,
                      Visibility visibility = Visibility::Traced);

    // Exchange with reconnection (at most three exchanges).  On success the
    // status word is split off into response.sw.
    uint32_t transmit(const std::vector<uint8_t>& command, ApduResponse& response,
                      Visibility visibility = Visibility::Traced);

    // Like transmit, for answers longer than the response buffer: the joined
    // answer may hold up to `capacity` data bytes (a longer one fails the
    // exchange), which land in `data`, its status word in `sw`.
    uint32_t transmit_long(const std::vector<uint8_t>& command, uint32_t capacity, std::vector<uint8_t>& data,
                           uint16_t& sw, Visibility visibility = Visibility::Traced);

    // Reconnection is not attempted while reconnecting.
    void set_reconnect_allowed(bool allowed) { reconnectAllowed_ = allowed; }

private:
    // One exchange joining the chained answers into `buffer` (status word included).
    uint32_t exchange_into(const std::vector<uint8_t>& command, uint8_t* buffer, uint32_t capacity,
                           uint32_t& joinedLength, uint16_t& joinedSw, Visibility visibility);

    QXDeviceTransport* device_;
    bool reconnectAllowed_ = true;
};

// Brings a device back after `code` (reset or reopen, identity, ADF, external
// authentication).  Defined with the security commands.
uint32_t reconnect(QXDeviceTransport* device, uint32_t code);

// The session key of transport encryption for a device, or false when the
// device has no transport key material or the key cannot be made.
bool transport_session_key(const QXDeviceTransport& device, uint8_t (&key)[16]);

}  // namespace qx::kernel
