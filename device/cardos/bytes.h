// Byte strings and small helpers shared by the card OS and its store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::vtoken {

using Bytes = std::vector<uint8_t>;

// Overwrites memory that held a key, PIN block or plaintext.
void wipe(void* data, size_t size);
inline void wipe(Bytes& b) {
    wipe(b.data(), b.size());
    b.clear();
}

// A byte buffer that wipes itself when it goes out of scope.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(Bytes b) : b_(std::move(b)) {}
    ~SecureBytes() { wipe(b_); }
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;
    Bytes& get() { return b_; }
    const Bytes& get() const { return b_; }

private:
    Bytes b_;
};

std::string to_hex(const uint8_t* data, size_t size);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }
// Parses hexadecimal text (spaces allowed between bytes); nullopt on bad input.
std::optional<Bytes> from_hex(std::string_view text);

bool equal_constant_time(const Bytes& a, const Bytes& b);

inline void put_u16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline void put_u32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace qx::vtoken
