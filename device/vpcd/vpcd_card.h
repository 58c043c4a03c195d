// The card side of vpcd, the virtual reader driver of pcscd: a card made of
// our card OS that plugs into the reader over TCP (port 35963 is the first
// reader, "Virtual PCD 00 00").  Messages both ways are a two-byte big-endian
// length and the payload.  From the reader, one-byte messages are power off
// (00), power on (01), reset (02) and "send the ATR" (04); anything longer is
// a command APDU, answered with the response APDU.
//
// The card's state is either held here (tests) or kept elsewhere and reached
// through a CardAccess (`qxvtoken serve`: the token store, so that the token
// keeps what the reader's commands did and other tools see it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/cardos/state.h"
#include "device/vpcd/tcp_client.h"

namespace qx::vtoken {

class TokenStore;

constexpr uint16_t kVpcdFirstPort = 35963;

// Runs the function on the card's state and keeps its changes; false when the
// state is gone (the card has left).
using CardAccess = std::function<bool(const std::function<void(TokenState&)>&)>;

// The token `name` of `store`, every change written back under the token's lock.
CardAccess store_access(TokenStore& store, const std::string& name);

class VpcdCard {
public:
    // A card whose state lives in this object.
    explicit VpcdCard(TokenState state);
    explicit VpcdCard(CardAccess access) : access_(std::move(access)) {}
    ~VpcdCard() { remove(); }
    VpcdCard(const VpcdCard&) = delete;
    VpcdCard& operator=(const VpcdCard&) = delete;

    // Puts the card into the reader, served by a thread of its own; false when
    // vpcd does not accept the connection.
    bool insert(uint16_t port = kVpcdFirstPort, uint32_t timeout_ms = 2000);
    // Pulls the card out: the connection closes and the serving thread ends.
    void remove();
    bool inserted() const { return thread_.joinable(); }

    // How serving in the calling thread ended.
    enum class End { NoReader, ReaderClosed, CardGone };
    // Puts the card into the reader and serves it in the calling thread until
    // the reader closes the connection or the card's state is gone.
    // `on_inserted` runs once the reader has accepted the card.
    End serve_here(uint16_t port, uint32_t timeout_ms, const std::function<void(const TcpClient&)>& on_inserted = {});

    // Runs `fn` on the card's state while no command runs.
    void with_state(const std::function<void(TokenState&)>& fn);
    // Power-on resets and commands seen so far.
    uint32_t resets() const { return resets_.load(); }
    uint32_t commands() const { return commands_.load(); }

private:
    End serve();
    bool send(const Bytes& payload);

    std::shared_ptr<std::mutex> own_mutex_;
    std::shared_ptr<TokenState> own_state_;
    CardAccess access_;
    std::unique_ptr<TcpClient> link_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> resets_{0};
    std::atomic<uint32_t> commands_{0};
};

}  // namespace qx::vtoken
