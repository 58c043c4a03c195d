// Internal bases of the objects the library hands out, and the factories the
// exports call.
#pragma once

#include "QXSoftAlg.h"

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace qx::softalg {

// Allocator that wipes memory before giving it back: collected cipher input
// may be a PIN or key material.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

using SecureBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// Every digest class: argument handling of the four operations is shared, the
// classes supply the hash.
class DigestObject : public MessageDigest {
public:
    ~DigestObject() override = default;

    uint32_t Init() final;
    uint32_t Digest(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t* outLength) final;
    uint32_t Update(const uint8_t* data, uint32_t length) final;
    uint32_t Final(uint8_t* out, uint32_t* outLength) final;

    uint32_t algorithm() const { return algorithm_; }
    uint32_t digest_length() const { return length_; }

protected:
    DigestObject(uint32_t algorithm, uint32_t length) : algorithm_(algorithm), length_(length) {}
    virtual bool restart() = 0;
    virtual bool absorb(const uint8_t* data, size_t length) = 0;
    // Writes digest_length() bytes and leaves the object at the start of a new message.
    virtual bool finish(uint8_t* out) = 0;

private:
    uint32_t algorithm_;
    uint32_t length_;
};

// Every cipher class: Update collects, Final runs Process over what was collected.
class CipherObject : public Cipher {
public:
    ~CipherObject() override = default;

    uint32_t Update(const uint8_t* in, uint32_t inLength) override;
    uint32_t Final(uint8_t* out, uint32_t* outLength) override;

protected:
    CipherObject() = default;
    void discard_collected() { SecureBytes().swap(collected_); }

private:
    SecureBytes collected_;
};

MessageDigest* create_digest(uint32_t algorithm);
Cipher* create_cipher(uint32_t algorithm);
void destroy_digest(MessageDigest* digest);
void destroy_cipher(Cipher* cipher);

// Padding of block ciphers (values 0 to 5).  pad_block fills the last block:
// `tail` bytes of data are already at block[0..tail), tail < block_size; it
// returns false for a padding value it does not know.
bool padding_known(uint32_t padding);
bool pad_block(uint32_t padding, uint8_t* block, size_t tail, size_t block_size);
// Computes the data length left after removing the padding from `data`;
// false when the padding cannot be removed.
bool unpad_length(uint32_t padding, const uint8_t* data, size_t length, size_t* remaining);

}  // namespace qx::softalg
