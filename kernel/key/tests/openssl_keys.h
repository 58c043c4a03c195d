// libcrypto on the test side: key pairs made and checked independently of
// the kernel, converted to and from the kernel's key blocks.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::kernel::test {

using Bytes = std::vector<uint8_t>;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Fresh key pairs.
Pkey rsa_generate(unsigned bits, unsigned exponent = 65537);
Pkey sm2_generate();

// Kernel key blocks of a key pair: RSA 516 / 1412 bytes, SM2 132 / 196 / 68.
Bytes rsa_public_block(EVP_PKEY* key);
Bytes rsa_private_block(EVP_PKEY* key);
Bytes sm2_public_block(EVP_PKEY* key);
Bytes sm2_private_block(EVP_PKEY* key);
Bytes sm2_scalar_block(EVP_PKEY* key);

// Public keys from the kernel's blocks.
Pkey rsa_from_block(const Bytes& block);
Pkey sm2_from_block(const Bytes& block);

// PKCS #1 v1.5 over a digest (md: "SHA1", "SHA256").
bool rsa_verify(EVP_PKEY* key, const char* md, const Bytes& hash, const Bytes& signature);
Bytes rsa_encrypt_pkcs1(EVP_PKEY* key, const Bytes& plain);
// SM2 with SM3 and the identity "1234567812345678"; the signature as r || s.
bool sm2_verify(EVP_PKEY* key, const Bytes& message, const Bytes& rs);
// SM2 ciphertext as C1 (X || Y) || C3 || C2, converted from and to the DER form.
Bytes sm2_encrypt(EVP_PKEY* key, const Bytes& plain);
bool sm2_decrypt(EVP_PKEY* key, const Bytes& c1c3c2, Bytes& plain);
// Z_A of a public key block for the default identity, computed here.
Bytes sm2_za(const Bytes& publicBlock);

Bytes digest(const char* md, const Bytes& data);

}  // namespace qx::kernel::test
