// RSA on the library's key blocks, with PKCS #1 v1.5 block formatting.
#pragma once

#include "objects.h"

namespace qx::softalg {

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

    uint32_t transform(const KeyUser& user, const uint8_t* in, size_t length, uint8_t* result) const;

    KeyUser public_{nullptr, false};
    KeyUser private_{nullptr, true};
    KeyUser* active_ = nullptr;
};

}  // namespace qx::softalg
