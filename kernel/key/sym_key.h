// Symmetric session keys: one class per algorithm fixes the defaults; the
// ciphers of the software library run in host memory, the token's own
// ciphers (0x500, 0x700) under a session key loaded into the token.
#pragma once

#include <cstdint>

#include "crypto/block_mac.h"
#include "key_object.h"

namespace qx::kernel {

// Whether `bits` is a key length the algorithm's cipher takes.
bool sym_key_bits_allowed(uint32_t algorithm, uint32_t bits);
// The longest key GenSessionKey derives from data: an MD5 and a SHA-1 digest.
constexpr uint32_t kMaxDerivedKeyBits = (16 + 20) * 8;

// Key making and export shared by every symmetric key.
class QXSymKeyBase : public QXSymKey {
public:
    QXSymKeyBase(uint32_t algorithm, uint32_t keyBits, uint32_t blockBits, uint32_t mode, uint32_t padding);

    // Without data the key bytes are random; with data they are the front of
    // MD5(data) || SHA-1(data).  Vector and salt become zero blocks.
    uint32_t Generate(const uint8_t* data, uint32_t length) override;
    uint32_t GetKeyBuffer(uint8_t* buffer, uint32_t* length) override;
    // The data (deciphered first with the wrapping key) becomes the key.
    uint32_t Import(QXKey* wrappingKey, uint32_t reserved, uint32_t keySpec, const uint8_t* data,
                    uint32_t length) override;

    // Block size in bytes the key's cipher works in (0 for a stream cipher).
    uint32_t cipher_block() const;
    // Forgets a message in progress: the next call starts from the vector.
    void unprime() { primed = false; }

protected:
    // Sets the key bytes, a zero vector and salt of one block, and unprimes.
    uint32_t take_key(const uint8_t* bytes, uint32_t length);
};

// Algorithms of the software library.  A message may come in parts; the
// last part (final set) is padded or unpadded with the key's padding, the
// others must be whole blocks and pass unpadded.
class QXSoftSymKey : public QXSymKeyBase {
public:
    using QXSymKeyBase::QXSymKeyBase;
    uint32_t Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;

private:
    uint32_t run(uint32_t direction, uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                 uint32_t* outLength);
    uint32_t primedDirection_ = 0;
    uint32_t primedPadding_ = 0;
    // The last cipher block of the message so far (CBC), for re-keying the
    // cipher with the key's padding before the last part.
    SecureBytes chain_;
};

// The token's ciphers: every call loads the session key and starts the
// chain afresh from the key's vector.
class QXTokenSymKey : public QXSymKeyBase {
public:
    explicit QXTokenSymKey(uint32_t algorithm);
    uint32_t Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
};

// A symmetric key as the block cipher of the MAC routine: switches the key to
// ECB without padding and enciphers each block with the key's Encrypt.
class SymKeyBlockEncryptor : public BlockEncryptor {
public:
    explicit SymKeyBlockEncryptor(QXSymKeyBase& key);
    uint32_t block_size() const override { return key_.cipher_block(); }
    uint32_t encrypt_block(uint8_t* block) override;

private:
    QXSymKeyBase& key_;
};

// The MAC of `data` under a symmetric key from `iv` (one block), `macLength` bytes.
uint32_t sym_key_mac(QXSymKeyBase& key, const uint8_t* iv, const uint8_t* data, uint32_t length, uint8_t* mac,
                     uint32_t macLength);

}  // namespace qx::kernel
