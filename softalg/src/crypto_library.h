// The libcrypto algorithms behind the objects, fetched once per process from a
// library context of our own.  MD4, RC2, RC4 and single DES live in the legacy
// provider; loading it into the application's default context would change
// what every other libcrypto user in the process sees, so it is loaded only
// here.
#pragma once

#include <openssl/evp.h>
#include <openssl/types.h>

namespace qx::softalg {

enum class Md { MD4, MD5, SHA1, SHA256, SHA384, SHA512, SM3, Count };

enum class Cf {
    DES_ECB, DES_CBC,
    DES_EDE2_ECB, DES_EDE2_CBC,
    DES_EDE3_ECB, DES_EDE3_CBC,
    AES128_ECB, AES128_CBC, AES192_ECB, AES192_CBC, AES256_ECB, AES256_CBC,
    SM4_ECB, SM4_CBC,
    RC2_ECB, RC2_CBC,
    RC4,
    Count
};

class CryptoLibrary {
public:
    // The process-wide instance, made on first use; null when libcrypto could
    // not be set up at all.
    static CryptoLibrary* instance();

    // Null when the algorithm is not available.
    const EVP_MD* md(Md which) const { return mds_[static_cast<int>(which)]; }
    const EVP_CIPHER* cipher(Cf which) const { return ciphers_[static_cast<int>(which)]; }
    OSSL_LIB_CTX* context() const { return ctx_; }

    // Cryptographically secure random bytes; false on failure.
    bool random_bytes(unsigned char* out, size_t length) const;

    ~CryptoLibrary();
    CryptoLibrary(const CryptoLibrary&) = delete;
    CryptoLibrary& operator=(const CryptoLibrary&) = delete;

private:
    CryptoLibrary();

    OSSL_LIB_CTX* ctx_ = nullptr;
    OSSL_PROVIDER* default_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
    EVP_MD* mds_[static_cast<int>(Md::Count)] = {};
    EVP_CIPHER* ciphers_[static_cast<int>(Cf::Count)] = {};
};

}  // namespace qx::softalg
