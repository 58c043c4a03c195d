#include "device/tests/support/vpcd_card.h"

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"

namespace qx::vtoken::test {

bool VpcdCard::insert(uint16_t port, uint32_t timeout_ms) {
    remove();
    link_ = TcpClient::connect_loopback(port, timeout_ms);
    if (!link_) return false;
    stop_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void VpcdCard::remove() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    link_.reset();
}

void VpcdCard::with_state(const std::function<void(TokenState&)>& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(state_);
}

bool VpcdCard::send(const Bytes& payload) {
    if (payload.size() > 0xFFFF) return false;
    Bytes message{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    return link_->write_all(message.data(), message.size());
}

void VpcdCard::serve() {
    while (!stop_) {
        uint8_t header[2];
        TcpClient::Read r = link_->read_exact(header, 2, 100);
        if (r == TcpClient::Read::Timeout) continue;
        if (r != TcpClient::Read::Ok) break;
        size_t length = static_cast<size_t>(header[0]) << 8 | header[1];
        Bytes payload(length);
        if (length > 0 && link_->read_exact(payload.data(), length, 5000) != TcpClient::Read::Ok) break;
        std::lock_guard<std::mutex> lock(mutex_);
        if (length == 1) {
            switch (payload[0]) {
            case 0x00:  // power off: everything volatile is lost
                state_.power_cycle();
                break;
            case 0x01:  // power on
            case 0x02:  // reset
                state_.power_cycle();
                ++resets_;
                break;
            case 0x04:
                if (!send(answer_to_reset(state_))) stop_ = true;
                break;
            default:
                break;
            }
            continue;
        }
        if (length < 4) continue;
        ++commands_;
        if (!send(process_command(state_, payload, wall_clock_ms()))) break;
    }
    link_->close();
}

}  // namespace qx::vtoken::test
