// RSA public-key operations in host software (verifying and enciphering
// never need the token) and the CryptoAPI key-blob layouts.
#pragma once

#include <cstdint>
#include <vector>

namespace qx::csp {

using Bytes = std::vector<uint8_t>;

// An RSA public key: big-endian modulus (no leading zero bytes) and exponent.
struct RsaPublic {
    Bytes modulus;
    uint32_t exponent = 0;
    uint32_t bits() const;
};

// The key of a 516-byte RsaPublicKeyBlock (bits, right-aligned n and e); false when malformed.
bool rsa_from_key_block(const uint8_t* block, uint32_t length, RsaPublic* key);

// PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA1", bits, e), modulus little-endian.
Bytes public_key_blob(const RsaPublic& key, uint32_t algId);
// Parses a PUBLICKEYBLOB; false when malformed.  *algId receives aiKeyAlg.
bool parse_public_key_blob(const uint8_t* blob, uint32_t length, RsaPublic* key, uint32_t* algId);

// A PRIVATEKEYBLOB ("RSA2") as the 1412-byte RsaPrivateKeyBlock the kernel
// imports (numbers big-endian, right-aligned).  False when malformed or over
// 2048 bits.  The caller wipes `block`.
bool private_blob_to_key_block(const uint8_t* blob, uint32_t length, Bytes* block, uint32_t* algId, uint32_t* bits);

// True when `signature` (big-endian, the modulus length) is a PKCS #1 v1.5
// signature block over exactly `message` (a DigestInfo or raw bytes).
bool rsa_verify_pkcs1(const RsaPublic& key, const Bytes& message, const Bytes& signature);
// PKCS #1 v1.5 (type 2) encryption; false when the data is too long.  Big-endian output.
bool rsa_encrypt_pkcs1(const RsaPublic& key, const Bytes& data, Bytes* out);

}  // namespace qx::csp
