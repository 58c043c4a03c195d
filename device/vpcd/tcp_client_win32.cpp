#include <winsock2.h>
#include <ws2tcpip.h>

#include "device/vpcd/tcp_client.h"

namespace qx::vtoken {

struct TcpClient::Impl {
    SOCKET s = INVALID_SOCKET;
};

namespace {

constexpr uint32_t kRestOfMessageMs = 5000;

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// Waits until the socket is readable (or writable); false on timeout or error.
bool wait_for(SOCKET s, bool write, uint32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval tv{static_cast<long>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000)};
    int rc = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
    return rc > 0 && FD_ISSET(s, &set);
}

}  // namespace

TcpClient::TcpClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TcpClient::~TcpClient() { close(); }

std::unique_ptr<TcpClient> TcpClient::connect_loopback(uint16_t port, uint32_t timeout_ms) {
    if (!winsock_ready()) return nullptr;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    u_long nonblocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonblocking);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK && wait_for(s, true, timeout_ms)) rc = 0;
    if (rc != 0) {
        ::closesocket(s);
        return nullptr;
    }
    nonblocking = 0;
    ::ioctlsocket(s, FIONBIO, &nonblocking);
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    auto impl = std::make_unique<Impl>();
    impl->s = s;
    return std::unique_ptr<TcpClient>(new TcpClient(std::move(impl)));
}

TcpClient::Read TcpClient::read_exact(uint8_t* data, size_t length, uint32_t first_byte_ms) {
    size_t done = 0;
    while (done < length) {
        if (impl_->s == INVALID_SOCKET) return Read::Closed;
        if (!wait_for(impl_->s, false, done == 0 ? first_byte_ms : kRestOfMessageMs))
            return done == 0 ? Read::Timeout : Read::Closed;
        int n = ::recv(impl_->s, reinterpret_cast<char*>(data + done), static_cast<int>(length - done), 0);
        if (n <= 0) return Read::Closed;
        done += static_cast<size_t>(n);
    }
    return Read::Ok;
}

bool TcpClient::write_all(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        if (impl_->s == INVALID_SOCKET) return false;
        int n = ::send(impl_->s, reinterpret_cast<const char*>(data + done), static_cast<int>(length - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TcpClient::no_delay() const {
    if (impl_->s == INVALID_SOCKET) return false;
    BOOL value = FALSE;
    int length = sizeof value;
    return ::getsockopt(impl_->s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length) == 0 && value;
}

// Windows has no per-socket switch for immediate acknowledgements.
bool TcpClient::quick_ack() const { return false; }

void TcpClient::close() {
    if (impl_ && impl_->s != INVALID_SOCKET) {
        ::shutdown(impl_->s, SD_BOTH);
        ::closesocket(impl_->s);
        impl_->s = INVALID_SOCKET;
    }
}

}  // namespace qx::vtoken
