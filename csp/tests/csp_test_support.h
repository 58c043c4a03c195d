// OpenSSL on the test's side of the provider: keys from CryptoAPI blobs,
// signatures checked, data enciphered to a key, certificates made for a key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace qx::csp::test {

// An RSA public key (EVP_PKEY*) from a PUBLICKEYBLOB; null when malformed.  Free with free_key.
void* key_from_public_blob(const Bytes& blob);
void free_key(void* key);
// A fresh RSA key pair made by OpenSSL, as a PRIVATEKEYBLOB for aiKeyAlg; *key receives it (free_key).
Bytes private_blob(uint32_t bits, uint32_t algId, void** key);
// Verifies a CryptoAPI (little-endian) PKCS #1 v1.5 signature over `data` with the digest named
// ("SHA1", "SHA256", ...).
bool verify_reversed(void* key, const char* digest, const Bytes& data, const Bytes& reversedSignature);
// PKCS #1 v1.5 encryption to the key, big-endian.
Bytes encrypt_to(void* key, const Bytes& data);
// A certificate for the key, issued by a throwaway CA, with the common name given.
Bytes certificate_for(void* key, const std::string& commonName);

}  // namespace qx::csp::test
