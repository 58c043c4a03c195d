#include "crypto_library.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

// Set by the build when libcrypto is linked into this module rather than
// shared with the rest of the process.
#ifndef QX_SOFTALG_PRIVATE_LIBCRYPTO
#define QX_SOFTALG_PRIVATE_LIBCRYPTO 0
#endif

namespace qx::softalg {

namespace {

// A libcrypto of our own would register its clean-up with the process's exit
// handlers, which then call into this module after it has been unloaded; it
// is told not to, and is cleaned up with the module instead.  A shared
// libcrypto belongs to the process and keeps its own arrangements.
constexpr bool kPrivateLibcrypto = QX_SOFTALG_PRIVATE_LIBCRYPTO != 0;

const char* const kMdNames[] = {"MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512", "SM3"};
static_assert(sizeof(kMdNames) / sizeof(kMdNames[0]) == static_cast<int>(Md::Count));

const char* const kCipherNames[] = {
    "DES-ECB",      "DES-CBC",      "DES-EDE-ECB",  "DES-EDE-CBC",  "DES-EDE3-ECB", "DES-EDE3-CBC",
    "AES-128-ECB",  "AES-128-CBC",  "AES-192-ECB",  "AES-192-CBC",  "AES-256-ECB",  "AES-256-CBC",
    "SM4-ECB",      "SM4-CBC",      "RC2-ECB",      "RC2-CBC",      "RC4"};
static_assert(sizeof(kCipherNames) / sizeof(kCipherNames[0]) == static_cast<int>(Cf::Count));

}  // namespace

CryptoLibrary* CryptoLibrary::instance() {
    // Initialising libcrypto first registers its own exit handler before the
    // destructor of the instance below, so the instance is torn down first.
    static const bool initialised =
        OPENSSL_init_crypto(kPrivateLibcrypto ? OPENSSL_INIT_NO_ATEXIT : 0, nullptr) == 1;
    if (!initialised) {
        return nullptr;
    }
    static CryptoLibrary library;
    return library.ctx_ != nullptr && library.default_ != nullptr ? &library : nullptr;
}

CryptoLibrary::CryptoLibrary() {
    ctx_ = OSSL_LIB_CTX_new();
    if (ctx_ == nullptr) {
        return;
    }
    default_ = OSSL_PROVIDER_load(ctx_, "default");
    legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
    for (int i = 0; i < static_cast<int>(Md::Count); ++i) {
        mds_[i] = EVP_MD_fetch(ctx_, kMdNames[i], nullptr);
    }
    for (int i = 0; i < static_cast<int>(Cf::Count); ++i) {
        ciphers_[i] = EVP_CIPHER_fetch(ctx_, kCipherNames[i], nullptr);
    }
}

CryptoLibrary::~CryptoLibrary() {
    for (EVP_MD*& md : mds_) {
        EVP_MD_free(md);
        md = nullptr;
    }
    for (EVP_CIPHER*& c : ciphers_) {
        EVP_CIPHER_free(c);
        c = nullptr;
    }
    if (legacy_ != nullptr) {
        OSSL_PROVIDER_unload(legacy_);
    }
    if (default_ != nullptr) {
        OSSL_PROVIDER_unload(default_);
    }
    OSSL_LIB_CTX_free(ctx_);
    if (kPrivateLibcrypto) {
        OPENSSL_cleanup();
    }
}

bool CryptoLibrary::random_bytes(unsigned char* out, size_t length) const {
    return length == 0 || RAND_bytes_ex(ctx_, out, length, 0) == 1;
}

}  // namespace qx::softalg
