// MD2 (RFC 1319): 16-byte blocks, a running checksum and a 48-byte state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::softalg {

class Md2 {
public:
    static constexpr size_t kDigestSize = 16;

    Md2() { reset(); }
    ~Md2() { wipe(); }
    void reset();
    void update(const uint8_t* data, size_t length);
    // Writes the digest and starts over.
    void final(uint8_t out[kDigestSize]);
    void wipe();

private:
    void compress(const uint8_t block[16]);

    uint8_t state_[48];
    uint8_t checksum_[16];
    uint8_t buffer_[16];
    size_t buffered_;
};

}  // namespace qx::softalg
