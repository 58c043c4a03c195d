// A minimal TCP client for the card side of vpcd: connect with a time limit,
// and reads and writes that give up after a time limit so that nothing can
// hang on a peer that went quiet.  The link answers every message at once, so
// Nagle's algorithm and delayed acknowledgements are switched off where the
// system allows: otherwise each exchange can stall for tens of milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qx::vtoken {

class TcpClient {
public:
    enum class Read { Ok, Timeout, Closed };

    // Connects to a port on the loopback address; null when that fails within `timeout_ms`.
    static std::unique_ptr<TcpClient> connect_loopback(uint16_t port, uint32_t timeout_ms);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Reads exactly `length` bytes.  Timeout when nothing at all arrived within
    // `first_byte_ms`; once a message has started, the rest must follow within
    // a few seconds or the connection counts as closed.
    Read read_exact(uint8_t* data, size_t length, uint32_t first_byte_ms);
    bool write_all(const uint8_t* data, size_t length);
    // Closes the connection at once (the peer sees end of stream).
    void close();

    // Whether TCP_NODELAY (and, where the system has it, TCP_QUICKACK) is in force.
    bool no_delay() const;
    bool quick_ack() const;

    struct Impl;

private:
    explicit TcpClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx::vtoken
