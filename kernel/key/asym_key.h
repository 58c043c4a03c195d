// RSA and SM2 key pairs: the private half lives in a numbered slot on the
// token, the public half in the key buffer (an RsaPublicKeyBlock or an
// Sm2PublicKeyBlock).  Slot 0 holds a public key that only lives in host memory.
#pragma once

#include <cstdint>
#include <vector>

#include "key_object.h"

namespace qx::kernel {

constexpr uint32_t kSm2PublicBlockSize = 132;
constexpr uint32_t kSm2PrivateBlockSize = 196;
// The SM2 private key as the UI extension hands it over: bits and d alone.
constexpr uint32_t kSm2ScalarBlockSize = 68;

struct Sm2PublicKeyBlock {
    uint32_t bits;
    uint8_t x[64];
    uint8_t y[64];
};
struct Sm2PrivateKeyBlock {
    uint32_t bits;
    uint8_t x[64];
    uint8_t y[64];
    uint8_t d[64];
};
static_assert(sizeof(Sm2PublicKeyBlock) == kSm2PublicBlockSize, "Sm2PublicKeyBlock size");
static_assert(sizeof(Sm2PrivateKeyBlock) == kSm2PrivateBlockSize, "Sm2PrivateKeyBlock size");

class QXRsaKey : public QXAsymKey {
public:
    QXRsaKey() : QXAsymKey(kAlgRsa) {}
    ~QXRsaKey() override;

    uint32_t Generate(const uint8_t* data, uint32_t length) override;
    uint32_t Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t GetKeyBuffer(uint8_t* buffer, uint32_t* length) override;
    uint32_t Import(QXKey* wrappingKey, uint32_t reserved, uint32_t keySpec, const uint8_t* data,
                    uint32_t length) override;
    uint32_t SignHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                      uint8_t* signature, uint32_t* signatureLength) override;
    uint32_t VerifyHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                        const uint8_t* signature, uint32_t signatureLength) override;
    // Defined with the transactions (kernel/transaction/).
    uint32_t NegotiateTransaction(uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                                  uint32_t length) override;

    // The private-key operation on the token: direction 1 signs, 0 deciphers;
    // padding 0, 6, 7 (raw) or 66 (PKCS #1 v1.5 deciphering).
    uint32_t private_operation(uint32_t direction, uint32_t operationPadding, const uint8_t* in,
                               uint32_t inLength, uint8_t* out, uint32_t* outLength);

private:
    // Reads the public key from the token when the key buffer does not hold it yet.
    uint32_t ensure_public_key();
    uint32_t import_plain(uint32_t keySpec, const uint8_t* data, uint32_t length);
};

class QXSm2Key : public QXAsymKey {
public:
    QXSm2Key() : QXAsymKey(kAlgSm2) {}

    uint32_t Generate(const uint8_t* data, uint32_t length) override;
    uint32_t Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t* outLength) override;
    uint32_t GetKeyBuffer(uint8_t* buffer, uint32_t* length) override;
    uint32_t Import(QXKey* wrappingKey, uint32_t reserved, uint32_t keySpec, const uint8_t* data,
                    uint32_t length) override;
    uint32_t SignHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                      uint8_t* signature, uint32_t* signatureLength) override;
    uint32_t VerifyHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                        const uint8_t* signature, uint32_t signatureLength) override;
    // Defined with the transactions: the data is signed as sent (Z_A already in front).
    uint32_t NegotiateTransaction(uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                                  uint32_t length) override;
    // Z_A of the key's public key and identity (32 bytes).
    virtual uint32_t GetZA(uint8_t* out, uint32_t* outLength);

    // The identity used for Z_A: `userId` when set, else the default one.
    static constexpr char kDefaultUserId[] = "1234567812345678";
    uint8_t userId[128] = {};
    uint32_t userIdLength = 0;

private:
    uint32_t ensure_public_key(KeyTokenSession& session);
    uint32_t write_host_key(KeyTokenSession& session);
    uint32_t za(KeyTokenSession& session, uint8_t (&out)[32]);
    uint32_t message_e(KeyTokenSession& session, uint32_t hashAlg, const uint8_t* data, uint32_t length,
                       uint8_t (&e)[32]);
    uint32_t import_plain(uint32_t keySpec, const uint8_t* data, uint32_t length);
};

// X and Y of d·G on the SM2 curve, each 32 bytes; false when d is not a valid
// private scalar.
bool sm2_public_from_scalar(const uint8_t (&d)[32], uint8_t (&x)[32], uint8_t (&y)[32]);

// The factory's asymmetric branch.
std::unique_ptr<QXKey> make_asym_key(uint32_t algorithm);

// The PKCS #1 v1.5 signature block (k = bytes of `bits`): 00 01 FF.. 00
// [DigestInfo prefix when `flag`] hash.  ERR_INVALID_PARAM for an identifier
// without a prefix when one is asked for, a hash that is not its digest's
// size when the prefix is used, or a block that does not fit.
uint32_t pkcs1_signature_block(uint32_t flag, uint32_t hashAlg, uint32_t bits, const uint8_t* hash,
                               uint32_t hashLength, std::vector<uint8_t>& block);

}  // namespace qx::kernel
