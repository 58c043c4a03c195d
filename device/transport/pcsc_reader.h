// The transport's path to real readers: the card in a PC/SC reader, reached
// through the system's smart-card service.  Status codes from the service pass
// through unchanged, so that the kernel sees a reset or vanished card as it
// would from any reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qx/platform/smartcard.h"

namespace qx::device {

// True for names in the virtual tokens' name space ("Quorvantix VToken ..."),
// which readers never take.
bool is_virtual_device_name(const std::string& name);

// Appends the reader names that contain one of `lowered_words` (already in
// lower case; no words: every reader) until `out` holds `limit` names.  Names
// that do not fit `max_length` or that lie in the virtual tokens' name space
// are left out.  No service or no reader adds nothing.
void list_readers(const std::vector<std::string>& lowered_words, size_t limit, size_t max_length,
                  std::vector<std::string>& out);

class PcscReader {
public:
    // Connects to the card in the named reader (shared, T=0 or T=1); any
    // earlier connection of this object is dropped first.
    uint32_t open(const std::string& reader);
    // Disconnects, leaving the card as it is; the reader name is kept for a later reset.
    void close();
    // One command APDU; `response_length` is the buffer size in and the answer's size out.
    uint32_t transmit(const uint8_t* command, uint32_t command_length, uint8_t* response, uint32_t* response_length);
    // Resets the card (connecting first when the connection was dropped) and returns the new ATR.
    uint32_t reset(std::vector<uint8_t>& atr);
    bool is_open() const;
    // True once a reader was opened (until forget): Reset may then reconnect to it.
    bool has_reader() const;
    // Disconnects and drops the reader name (the object moved on to a virtual token).
    void forget();

private:
    uint32_t connect_locked();

    mutable std::mutex mutex_;
    platform::smartcard::Context context_;
    platform::smartcard::Card card_;
    std::string reader_;
};

}  // namespace qx::device
