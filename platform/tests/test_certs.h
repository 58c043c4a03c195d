// Certificates made for the tests with libcrypto: RSA and SM2 keys, self-signed
// roots and certificates issued by them, and DER blobs of an exact size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace qx::test {

struct KeyFree {
    void operator()(EVP_PKEY* k) const;
};
using TestKey = std::unique_ptr<EVP_PKEY, KeyFree>;

enum class KeyKind { Rsa, Sm2 };
TestKey make_key(KeyKind kind);

struct CertSpec {
    std::string subjectCN;           // empty: no common name
    std::string subjectOrg;          // empty: no organisation
    uint64_t serial = 1;
    EVP_PKEY* subjectKey = nullptr;  // the certified public key
    EVP_PKEY* issuerKey = nullptr;   // signs; null: subjectKey (self-signed)
    std::vector<uint8_t> issuerCert; // empty: the issuer is the subject
    int64_t notBefore = 1700000000;  // seconds since 1970
    int64_t notAfter = 2000000000;
    std::size_t padTo = 0;           // non-zero: a comment extension grows the DER to this size
};
// The DER encoding; empty on failure.
std::vector<uint8_t> make_certificate(const CertSpec& spec);

// A self-signed certificate with a fresh key of `kind`.
std::vector<uint8_t> self_signed(KeyKind kind, const std::string& cn, uint64_t serial = 1);

// A DER SEQUENCE of exactly `size` bytes (at least 4) filled with a pattern
// that depends on `seed`: the token takes it for a certificate.
std::vector<uint8_t> der_blob(std::size_t size, uint8_t seed = 0);

}  // namespace qx::test
