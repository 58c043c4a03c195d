#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "device/vpcd/tcp_client.h"

namespace qx::vtoken {

struct TcpClient::Impl {
    int fd = -1;
};

namespace {

constexpr uint32_t kRestOfMessageMs = 5000;

// Waits for `events` on the socket; false on timeout or error.
bool wait_for(int fd, short events, uint32_t timeout_ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = ::poll(&p, 1, static_cast<int>(timeout_ms));
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

// Linux leaves quick-acknowledgement mode on its own after a while, so it is
// asked for again after every read.
void quick_ack_now(int fd) {
#ifdef TCP_QUICKACK
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    (void)fd;
#endif
}

int socket_option(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, option, &value, &length) != 0) return 0;
    return value;
}

}  // namespace

TcpClient::TcpClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TcpClient::~TcpClient() { close(); }

std::unique_ptr<TcpClient> TcpClient::connect_loopback(uint16_t port, uint32_t timeout_ms) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        int error = 0;
        socklen_t len = sizeof error;
        if (wait_for(fd, POLLOUT, timeout_ms) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
            error == 0)
            rc = 0;
    }
    if (rc != 0) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, flags);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto impl = std::make_unique<Impl>();
    impl->fd = fd;
    quick_ack_now(fd);
    return std::unique_ptr<TcpClient>(new TcpClient(std::move(impl)));
}

TcpClient::Read TcpClient::read_exact(uint8_t* data, size_t length, uint32_t first_byte_ms) {
    size_t done = 0;
    while (done < length) {
        if (impl_->fd < 0) return Read::Closed;
        if (!wait_for(impl_->fd, POLLIN, done == 0 ? first_byte_ms : kRestOfMessageMs))
            return done == 0 ? Read::Timeout : Read::Closed;
        ssize_t n = ::recv(impl_->fd, data + done, length - done, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Read::Closed;
        done += static_cast<size_t>(n);
        quick_ack_now(impl_->fd);
    }
    return Read::Ok;
}

bool TcpClient::write_all(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        if (impl_->fd < 0) return false;
        ssize_t n = ::send(impl_->fd, data + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TcpClient::no_delay() const { return socket_option(impl_->fd, TCP_NODELAY) != 0; }

bool TcpClient::quick_ack() const {
#ifdef TCP_QUICKACK
    return socket_option(impl_->fd, TCP_QUICKACK) != 0;
#else
    return false;
#endif
}

void TcpClient::close() {
    if (impl_ && impl_->fd >= 0) {
        ::shutdown(impl_->fd, SHUT_RDWR);
        ::close(impl_->fd);
        impl_->fd = -1;
    }
}

}  // namespace qx::vtoken
