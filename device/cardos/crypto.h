// The cryptography of the virtual token: block ciphers selected by the
// algorithm byte of a key header, digests, RC4 for the transport link, and
// the RSA and SM2 key-pair operations (OpenSSL).
#pragma once

#include <array>
#include <optional>

#include "device/cardos/bytes.h"

namespace qx::vtoken::crypto {

// Algorithm bytes of key headers.  2 and 3 name the token's own ciphers; the
// simulator stands in for both with Camellia-128 (see device/README.md).
constexpr uint8_t kAlgTwoKeyTripleDes = 0;
constexpr uint8_t kAlgDes = 1;
constexpr uint8_t kAlgTokenCipherA = 2;
constexpr uint8_t kAlgTokenCipherB = 3;
constexpr uint8_t kAlgSm4 = 4;
constexpr uint8_t kAlgSessionCipher = kAlgTokenCipherA;

// Block size in bytes of a key-header algorithm; 0 when the value is unknown.
size_t block_size(uint8_t alg);

// ECB over whole blocks without padding; nullopt for a bad key or length.
std::optional<Bytes> ecb(uint8_t alg, const Bytes& key, const Bytes& in, bool encrypt);
// CBC over whole blocks; `iv` is updated to the last ciphertext block.
std::optional<Bytes> cbc(uint8_t alg, const Bytes& key, Bytes& iv, const Bytes& in, bool encrypt);

// 80 00 ... padding to a multiple of `block` (at least one byte added), and its removal.
Bytes pad80(const Bytes& data, size_t block);
std::optional<Bytes> unpad80(const Bytes& data);

// CBC-MAC over the 80-padded data, starting from `iv`; the first `mac_len` bytes of the last block.
std::optional<Bytes> cbc_mac(uint8_t alg, const Bytes& key, const Bytes& iv, const Bytes& data, size_t mac_len);

Bytes random_bytes(size_t n);

// "SM3", "SHA1" or "SHA256"; empty on failure.
Bytes digest(const char* name, const Bytes& data);
// SM4-ECB encryption of whole blocks with a 16-byte key.
std::optional<Bytes> sm4_ecb(const Bytes& key, const Bytes& in);

// RC4 key stream, applied in place.
class Rc4 {
public:
    explicit Rc4(const Bytes& key);
    ~Rc4();
    void apply(uint8_t* data, size_t size);

private:
    std::array<uint8_t, 256> s_{};
    uint8_t i_ = 0, j_ = 0;
};

// RSA key material as the token keeps it: modulus, 4-byte public exponent and
// the seven private parts in the order of the import command (first prime,
// second prime, their CRT exponents, CRT coefficient, less significant half
// of the private exponent, more significant half).
struct RsaKey {
    Bytes modulus;
    Bytes exponent;
    std::array<Bytes, 7> parts;
    ~RsaKey();
};

bool rsa_generate(unsigned bits, RsaKey& out);
// m^d mod n for an input as long as the modulus.
std::optional<Bytes> rsa_private_raw(const RsaKey& key, const Bytes& input);
// Private decryption with PKCS #1 v1.5 block type 2 removed.
std::optional<Bytes> rsa_private_decrypt_pkcs1(const RsaKey& key, const Bytes& input);
// PKCS #1 v1.5 signature with DigestInfo over `data` hashed with "SHA1" or "SHA256".
std::optional<Bytes> rsa_sign_pkcs1(const RsaKey& key, const char* digest_name, const Bytes& data);
bool rsa_verify_pkcs1(const Bytes& modulus, const Bytes& exponent, const char* digest_name, const Bytes& data,
                      const Bytes& signature);

// SM2 (GM/T 0003) on 32-byte big-endian numbers.
bool sm2_generate(Bytes& d, Bytes& x, Bytes& y);
bool sm2_public_from_private(const Bytes& d, Bytes& x, Bytes& y);
bool sm2_point_valid(const Bytes& x, const Bytes& y);
// Z_A of the user identity `id` for the public key (x, y).
std::optional<Bytes> sm2_za(const Bytes& id, const Bytes& x, const Bytes& y);
// Signature r || s (64 bytes) of the 32-byte value e.
std::optional<Bytes> sm2_sign(const Bytes& d, const Bytes& x, const Bytes& y, const Bytes& e);
bool sm2_verify(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& signature);
// Ciphertext C1 (X || Y, 64 bytes) || C3 (32) || C2.
std::optional<Bytes> sm2_encrypt(const Bytes& x, const Bytes& y, const Bytes& plain);
std::optional<Bytes> sm2_decrypt(const Bytes& d, const Bytes& x, const Bytes& y, const Bytes& cipher);

extern const Bytes kSm2DefaultId;  // "1234567812345678"

}  // namespace qx::vtoken::crypto
