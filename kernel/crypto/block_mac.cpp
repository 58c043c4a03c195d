#include "block_mac.h"

#include <cstring>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"

namespace qx::kernel {

uint32_t SoftEcbEncryptor::init(const uint8_t* key, uint32_t keyLength) {
    ready_ = false;
    if (!cipher_) return ERR_NO_MEMORY;
    const uint32_t rc = cipher_.init(QXSA_MODE_ECB, key, keyLength, QXSA_ENCRYPT);
    ready_ = rc == ERR_OK;
    return rc;
}

uint32_t SoftEcbEncryptor::encrypt_block(uint8_t* block) {
    if (!ready_ || block_ == 0 || block_ > 16) return ERR_FAILED;
    uint8_t out[32];
    uint32_t outLength = 0;
    uint32_t rc = cipher_->Process(block, block_, out, &outLength);
    if (rc == ERR_OK && outLength != block_) rc = ERR_FAILED;
    if (rc == ERR_OK) std::memcpy(block, out, block_);
    secure_zero(out, sizeof out);
    return rc;
}

void pad_80(std::vector<uint8_t>& data, uint32_t block) {
    data.push_back(0x80);
    if (block == 0) return;
    while (data.size() % block) data.push_back(0x00);
}

uint32_t block_mac(BlockEncryptor& cipher, const uint8_t* iv, const uint8_t* data, std::size_t length, uint8_t* mac,
                   uint32_t macLength) {
    const uint32_t b = cipher.block_size();
    if (b == 0 || b > 16 || !iv || !mac || macLength == 0 || macLength > b || (length && !data)) {
        return ERR_INVALID_PARAM;
    }
    std::vector<uint8_t> padded(data, data + length);
    pad_80(padded, b);
    uint8_t chain[16];
    std::memcpy(chain, iv, b);
    uint32_t rc = ERR_OK;
    for (std::size_t off = 0; off < padded.size() && rc == ERR_OK; off += b) {
        for (uint32_t i = 0; i < b; ++i) chain[i] ^= padded[off + i];
        rc = cipher.encrypt_block(chain);
    }
    if (rc == ERR_OK) std::memcpy(mac, chain, macLength);
    secure_zero(chain, sizeof chain);
    secure_zero(padded);
    return rc;
}

}  // namespace qx::kernel
