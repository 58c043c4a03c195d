// Smart-card readers through the system's PC/SC service (winscard on Windows,
// pcsc-lite elsewhere).  Status codes are the service's own, unchanged, as
// 32-bit values: 0 is success, and the SCARD_* codes have the same values on
// every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::platform::smartcard {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidHandle = 0x80100003u;
constexpr uint32_t kInsufficientBuffer = 0x80100008u;
constexpr uint32_t kUnknownReader = 0x80100009u;
constexpr uint32_t kNoSmartcard = 0x8010000Cu;
constexpr uint32_t kInvalidValue = 0x80100011u;
constexpr uint32_t kNotTransacted = 0x80100016u;
constexpr uint32_t kReaderUnavailable = 0x80100017u;
constexpr uint32_t kNoService = 0x8010001Du;       // the service is not running
constexpr uint32_t kServiceStopped = 0x8010001Eu;  // the service stopped while in use
constexpr uint32_t kNoReadersAvailable = 0x8010002Eu;
constexpr uint32_t kResetCard = 0x80100068u;
constexpr uint32_t kRemovedCard = 0x80100069u;

// A connection to the PC/SC service.  Not copyable; released by the destructor.
class Context {
public:
    Context() = default;
    ~Context();
    Context(Context&& other) noexcept;
    Context& operator=(Context&& other) noexcept;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Connects to the service (user scope); kNoService when it is not running.
    uint32_t establish();
    void release();
    bool valid() const { return handle_ != 0; }
    uintptr_t handle() const { return handle_; }

    // The names of all readers.  No reader at all is success with an empty list.
    uint32_t list_readers(std::vector<std::string>& readers) const;

private:
    uintptr_t handle_ = 0;
};

// A connection to the card in one reader: shared access, T=0 or T=1.
class Card {
public:
    Card() = default;
    ~Card();
    Card(Card&& other) noexcept;
    Card& operator=(Card&& other) noexcept;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    uint32_t connect(const Context& context, const std::string& reader);
    // Sends one command APDU; `response_length` is the buffer size in and the answer's size out.
    uint32_t transmit(const uint8_t* command, size_t command_length, uint8_t* response, size_t* response_length);
    // Resets the card and reconnects to it; `atr` receives the new answer to reset.
    uint32_t reconnect_reset(std::vector<uint8_t>& atr);
    // Leaves the card as it is and drops the connection.
    uint32_t disconnect();
    bool connected() const { return handle_ != 0; }

private:
    uintptr_t handle_ = 0;
    uint32_t protocol_ = 0;
};

}  // namespace qx::platform::smartcard
