// The block-cipher MAC of the token's protected commands and transactions:
// pad with 80 00 .. to whole blocks, then chain each block through the
// cipher in ECB mode starting from an initial value; the MAC is the front of
// the last chaining value.  One routine whichever key holds the cipher: a
// software cipher keyed directly (secure messaging) or a key object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/soft_alg.h"

namespace qx::kernel {

// Enciphers single blocks in place under one key.
class BlockEncryptor {
public:
    virtual ~BlockEncryptor() = default;
    virtual uint32_t block_size() const = 0;
    virtual uint32_t encrypt_block(uint8_t* block) = 0;
};

// A software cipher of the algorithm library keyed for ECB encipherment.
class SoftEcbEncryptor : public BlockEncryptor {
public:
    SoftEcbEncryptor(const SoftAlgFunctions& functions, uint32_t algorithm, uint32_t blockBytes)
        : cipher_(functions, algorithm), block_(blockBytes) {}
    // ERR_NO_MEMORY when the library has no such cipher, else the cipher's Init status.
    uint32_t init(const uint8_t* key, uint32_t keyLength);
    uint32_t block_size() const override { return block_; }
    uint32_t encrypt_block(uint8_t* block) override;

private:
    SoftCipher cipher_;
    uint32_t block_;
    bool ready_ = false;
};

// Appends 0x80 and zero bytes up to a multiple of `block` (at least one byte).
void pad_80(std::vector<uint8_t>& data, uint32_t block);

// MAC of `data` under `cipher` from the initial value `iv` (one block);
// `macLength` (1 to the block size) bytes are written to `mac`.
// ERR_INVALID_PARAM for a block size above 16 or a bad MAC length, else the
// cipher's first failure.
uint32_t block_mac(BlockEncryptor& cipher, const uint8_t* iv, const uint8_t* data, std::size_t length, uint8_t* mac,
                   uint32_t macLength);

}  // namespace qx::kernel
