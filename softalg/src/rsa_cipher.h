// RSA on the library's key blocks, with PKCS #1 v1.5 block formatting.
#pragma once

#include "objects.h"

#include <openssl/bn.h>

#include <memory>

namespace qx::softalg {

// Blinding values for one modulus and public exponent: a = r^e mod n and
// ai = r^-1 mod n.  Made afresh for a new key and every 32 uses, squared in
// between (the inverse is the costly part).
struct RsaBlinding {
    struct Free {
        void operator()(BIGNUM* b) const { BN_clear_free(b); }
    };
    uint8_t key[512] = {};  // n || e the values belong to
    std::unique_ptr<BIGNUM, Free> a, ai;
    int uses = 0;
};

class RsaCipher final : public CipherObject {
public:
    RsaCipher() = default;
    ~RsaCipher() override = default;

    uint32_t Init(uint32_t mode, const uint8_t* key, uint32_t keyLength, const uint8_t* iv, uint32_t ivLength,
                  uint32_t direction, uint32_t padding) override;
    uint32_t Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) override;
    uint32_t Update(const uint8_t* in, uint32_t inLength) override;
    uint32_t Final(uint8_t* out, uint32_t* outLength) override;

private:
    // One per kind of key block; the block is the caller's, kept by pointer.
    struct KeyUser {
        const uint8_t* block = nullptr;
        bool is_private = false;
        uint32_t bits = 0;
        uint32_t direction = 0;
        uint32_t padding = 0;
    };

    KeyUser public_{nullptr, false};
    KeyUser private_{nullptr, true};
    KeyUser* active_ = nullptr;
    RsaBlinding blinding_;
};

}  // namespace qx::softalg
