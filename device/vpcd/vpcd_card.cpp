#include "device/vpcd/vpcd_card.h"

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"

namespace qx::vtoken {

CardAccess store_access(TokenStore& store, const std::string& name) {
    return [&store, name](const std::function<void(TokenState&)>& fn) {
        return store.update(name, [&](TokenState& s) {
            fn(s);
            return true;
        }) == StoreStatus::Ok;
    };
}

VpcdCard::VpcdCard(TokenState state)
    : own_mutex_(std::make_shared<std::mutex>()), own_state_(std::make_shared<TokenState>(std::move(state))) {
    access_ = [mutex = own_mutex_, held = own_state_](const std::function<void(TokenState&)>& fn) {
        std::lock_guard<std::mutex> lock(*mutex);
        fn(*held);
        return true;
    };
}

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

VpcdCard::End VpcdCard::serve_here(uint16_t port, uint32_t timeout_ms,
                                   const std::function<void(const TcpClient&)>& on_inserted) {
    remove();
    link_ = TcpClient::connect_loopback(port, timeout_ms);
    if (!link_) return End::NoReader;
    stop_ = false;
    if (on_inserted) on_inserted(*link_);
    End end = serve();
    link_.reset();
    return end;
}

void VpcdCard::with_state(const std::function<void(TokenState&)>& fn) { access_(fn); }

bool VpcdCard::send(const Bytes& payload) {
    if (payload.size() > 0xFFFF) return false;
    Bytes message{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    return link_->write_all(message.data(), message.size());
}

VpcdCard::End VpcdCard::serve() {
    End end = End::ReaderClosed;
    while (!stop_) {
        uint8_t header[2];
        TcpClient::Read r = link_->read_exact(header, 2, 100);
        if (r == TcpClient::Read::Timeout) continue;
        if (r != TcpClient::Read::Ok) break;
        size_t length = static_cast<size_t>(header[0]) << 8 | header[1];
        Bytes payload(length);
        if (length > 0 && link_->read_exact(payload.data(), length, 5000) != TcpClient::Read::Ok) break;
        Bytes answer;
        bool answers = false;
        if (length == 1) {
            const uint8_t control = payload[0];
            if (control == 0x00 || control == 0x01 || control == 0x02 || control == 0x04) {
                const bool present = access_([&](TokenState& s) {
                    if (control == 0x04) {
                        answer = answer_to_reset(s);
                        return;
                    }
                    s.power_cycle();  // power off loses everything volatile; on and reset start afresh
                });
                if (!present) {
                    end = End::CardGone;
                    break;
                }
                if (control == 0x01 || control == 0x02) ++resets_;
                answers = control == 0x04;
            }
        } else if (length >= 4) {
            ++commands_;
            if (!access_([&](TokenState& s) { answer = process_command(s, payload, wall_clock_ms()); })) {
                end = End::CardGone;
                break;
            }
            answers = true;
        }
        wipe(payload);
        if (answers && !send(answer)) break;
        wipe(answer);
    }
    link_->close();
    return end;
}

}  // namespace qx::vtoken
