// The card side of vpcd, the virtual reader driver of pcscd: a card made of
// our card OS that plugs into the reader over TCP (port 35963 is the first
// reader, "Virtual PCD 00 00").  Messages both ways are a two-byte big-endian
// length and the payload.  From the reader, one-byte messages are power off
// (00), power on (01), reset (02) and "send the ATR" (04); anything longer is
// a command APDU, answered with the response APDU.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "device/cardos/state.h"
#include "device/tests/support/tcp_client.h"

namespace qx::vtoken::test {

constexpr uint16_t kVpcdFirstPort = 35963;

class VpcdCard {
public:
    explicit VpcdCard(TokenState state) : state_(std::move(state)) {}
    ~VpcdCard() { remove(); }
    VpcdCard(const VpcdCard&) = delete;
    VpcdCard& operator=(const VpcdCard&) = delete;

    // Puts the card into the reader; false when vpcd does not accept the connection.
    bool insert(uint16_t port = kVpcdFirstPort, uint32_t timeout_ms = 2000);
    // Pulls the card out: the connection closes and the serving thread ends.
    void remove();
    bool inserted() const { return thread_.joinable(); }

    // Runs `fn` on the card's state while no command runs.
    void with_state(const std::function<void(TokenState&)>& fn);
    // Power-on resets and commands seen so far.
    uint32_t resets() const { return resets_.load(); }
    uint32_t commands() const { return commands_.load(); }

private:
    void serve();
    bool send(const Bytes& payload);

    std::mutex mutex_;
    TokenState state_;
    std::unique_ptr<TcpClient> link_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> resets_{0};
    std::atomic<uint32_t> commands_{0};
};

}  // namespace qx::vtoken::test
