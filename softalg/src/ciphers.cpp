// Cipher objects: the block ciphers and RC4 over libcrypto, the shared
// Update/Final collection, and the factory.
#include "crypto_library.h"
#include "objects.h"
#include "rsa_cipher.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cstring>
#include <limits>

namespace qx::softalg {

uint32_t CipherObject::Update(const uint8_t* in, uint32_t inLength) {
    if (inLength == 0) {
        return QXSA_OK;
    }
    if (in == nullptr) {
        return QXSA_ERR_INVALID_PARAM;
    }
    // Process takes a 32-bit length: the collection cannot outgrow it.
    if (inLength > std::numeric_limits<uint32_t>::max() - collected_.size()) {
        return QXSA_ERR_INVALID_PARAM;
    }
    try {
        collected_.insert(collected_.end(), in, in + inLength);
    } catch (const std::bad_alloc&) {
        // The collected input is left as it was.
        return QXSA_ERR_NO_MEMORY;
    }
    return QXSA_OK;
}

uint32_t CipherObject::Final(uint8_t* out, uint32_t* outLength) {
    const uint32_t status = Process(collected_.data(), static_cast<uint32_t>(collected_.size()), out, outLength);
    if (status == QXSA_OK) {
        discard_collected();
    }
    return status;
}

namespace {

struct BlockAlgorithm {
    uint32_t id;
    size_t block;
    bool carries_chain;  // CBC chaining value kept from one Process call to the next
};

class BlockCipher final : public CipherObject {
public:
    explicit BlockCipher(const BlockAlgorithm& alg) : alg_(alg), ctx_(EVP_CIPHER_CTX_new()) {}
    ~BlockCipher() override {
        EVP_CIPHER_CTX_free(ctx_);
        OPENSSL_cleanse(iv_, sizeof iv_);
    }
    // Whether the object could be set up: memory, and libcrypto offers the algorithm.
    bool ready() const {
        const uint32_t keyLength = alg_.id == QXSA_CIPHER_DES ? 8 : alg_.id == QXSA_CIPHER_DES_EDE3 ? 24 : 16;
        return ctx_ != nullptr && select(QXSA_MODE_CBC, keyLength) != nullptr &&
               select(QXSA_MODE_ECB, keyLength) != nullptr &&
               (alg_.id != QXSA_CIPHER_AES ||
                (select(QXSA_MODE_CBC, 24) && select(QXSA_MODE_ECB, 24) && select(QXSA_MODE_CBC, 32) &&
                 select(QXSA_MODE_ECB, 32)));
    }

    uint32_t Init(uint32_t mode, const uint8_t* key, uint32_t keyLength, const uint8_t* iv, uint32_t ivLength,
                  uint32_t direction, uint32_t padding) override;
    uint32_t Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) override;

private:
    const EVP_CIPHER* select(uint32_t mode, uint32_t keyLength) const;
    bool run(uint8_t* out, const uint8_t* in, size_t length);

    BlockAlgorithm alg_;
    EVP_CIPHER_CTX* ctx_;
    bool initialised_ = false;
    uint32_t padding_ = 0;
    uint32_t direction_ = 0;
    uint32_t mode_ = 0;
    uint8_t iv_[16] = {};
};

const EVP_CIPHER* BlockCipher::select(uint32_t mode, uint32_t keyLength) const {
    CryptoLibrary* lib = CryptoLibrary::instance();
    if (lib == nullptr) {
        return nullptr;
    }
    const bool cbc = mode == QXSA_MODE_CBC;
    switch (alg_.id) {
        case QXSA_CIPHER_DES:
            return keyLength == 8 ? lib->cipher(cbc ? Cf::DES_CBC : Cf::DES_ECB) : nullptr;
        case QXSA_CIPHER_DES_EDE2:
            return keyLength == 16 ? lib->cipher(cbc ? Cf::DES_EDE2_CBC : Cf::DES_EDE2_ECB) : nullptr;
        case QXSA_CIPHER_DES_EDE3:
            return keyLength == 24 ? lib->cipher(cbc ? Cf::DES_EDE3_CBC : Cf::DES_EDE3_ECB) : nullptr;
        case QXSA_CIPHER_AES:
            switch (keyLength) {
                case 16: return lib->cipher(cbc ? Cf::AES128_CBC : Cf::AES128_ECB);
                case 24: return lib->cipher(cbc ? Cf::AES192_CBC : Cf::AES192_ECB);
                case 32: return lib->cipher(cbc ? Cf::AES256_CBC : Cf::AES256_ECB);
                default: return nullptr;
            }
        case QXSA_CIPHER_SM4:
            return keyLength == 16 ? lib->cipher(cbc ? Cf::SM4_CBC : Cf::SM4_ECB) : nullptr;
        case QXSA_CIPHER_RC2:
            return keyLength >= 1 && keyLength <= 128 ? lib->cipher(cbc ? Cf::RC2_CBC : Cf::RC2_ECB) : nullptr;
        default:
            return nullptr;
    }
}

uint32_t BlockCipher::Init(uint32_t mode, const uint8_t* key, uint32_t keyLength, const uint8_t* iv,
                           uint32_t ivLength, uint32_t direction, uint32_t padding) {
    if (mode != QXSA_MODE_CBC && mode != QXSA_MODE_ECB) {
        return QXSA_ERR_INVALID_PARAM;
    }
    if (direction != QXSA_ENCRYPT && direction != QXSA_DECRYPT) {
        return QXSA_ERR_INVALID_PARAM;
    }
    if (!padding_known(padding) || key == nullptr) {
        return QXSA_ERR_INVALID_PARAM;
    }
    if (mode == QXSA_MODE_CBC && (iv == nullptr || ivLength != alg_.block)) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const EVP_CIPHER* cipher = select(mode, keyLength);
    if (cipher == nullptr) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const int enc = direction == QXSA_ENCRYPT ? 1 : 0;
    initialised_ = false;
    discard_collected();
    bool ok = EVP_CipherInit_ex2(ctx_, cipher, nullptr, nullptr, enc, nullptr) == 1;
    if (ok && alg_.id == QXSA_CIPHER_RC2) {
        // Any key length, effective key length always 128 bits; both must be
        // in place before the key schedule is made.
        size_t keylen = keyLength;
        unsigned int keybits = 128;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_KEYLEN, &keylen),
                               OSSL_PARAM_construct_uint(OSSL_CIPHER_PARAM_RC2_KEYBITS, &keybits),
                               OSSL_PARAM_construct_end()};
        ok = EVP_CIPHER_CTX_set_params(ctx_, params) == 1;
    }
    ok = ok && EVP_CipherInit_ex2(ctx_, nullptr, key, mode == QXSA_MODE_CBC ? iv : nullptr, enc, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(ctx_, 0) == 1;
    if (!ok) {
        return QXSA_ERR_INTERNAL;
    }
    if (mode == QXSA_MODE_CBC) {
        std::memcpy(iv_, iv, alg_.block);
    }
    mode_ = mode;
    direction_ = direction;
    padding_ = padding;
    initialised_ = true;
    return QXSA_OK;
}

bool BlockCipher::run(uint8_t* out, const uint8_t* in, size_t length) {
    size_t done = 0;
    // EVP takes int lengths.
    while (done < length) {
        const size_t chunk = length - done > (1u << 30) ? (1u << 30) : length - done;
        int written = 0;
        if (EVP_CipherUpdate(ctx_, out + done, &written, in + done, static_cast<int>(chunk)) != 1 ||
            static_cast<size_t>(written) != chunk) {
            return false;
        }
        done += chunk;
    }
    return true;
}

uint32_t BlockCipher::Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (!initialised_ || (in == nullptr && inLength != 0) || out == nullptr || outLength == nullptr) {
        return QXSA_ERR_INVALID_PARAM;
    }
    const size_t bs = alg_.block;
    const size_t n = inLength;
    const bool encrypt = direction_ == QXSA_ENCRYPT;
    const size_t tail = n % bs;
    if (!encrypt && tail != 0) {
        return QXSA_ERR_INVALID_PARAM;
    }
    if (encrypt && padding_ == QXSA_PAD_NONE && tail != 0) {
        return QXSA_ERR_INVALID_PARAM;
    }
    if (encrypt && padding_ != QXSA_PAD_NONE && (n == 0 || n - tail + bs > std::numeric_limits<uint32_t>::max())) {
        return QXSA_ERR_INVALID_PARAM;
    }
    // DES and SM4 start every call from the IV given to Init; the others
    // continue the chain where the previous call left it.
    if (mode_ == QXSA_MODE_CBC && !alg_.carries_chain &&
        EVP_CipherInit_ex2(ctx_, nullptr, nullptr, iv_, -1, nullptr) != 1) {
        return QXSA_ERR_INTERNAL;
    }
    if (encrypt) {
        const size_t body = n - tail;
        uint8_t last[16];
        if (padding_ != QXSA_PAD_NONE) {
            // The tail is taken before the body is written: out may be in.
            std::memcpy(last, in + body, tail);
            if (!pad_block(padding_, last, tail, bs)) {
                OPENSSL_cleanse(last, sizeof last);
                return QXSA_ERR_INVALID_PARAM;
            }
        }
        bool ok = run(out, in, body);
        if (ok && padding_ != QXSA_PAD_NONE) {
            ok = run(out + body, last, bs);
        }
        OPENSSL_cleanse(last, sizeof last);
        if (!ok) {
            return QXSA_ERR_INTERNAL;
        }
        *outLength = static_cast<uint32_t>(padding_ != QXSA_PAD_NONE ? body + bs : body);
        return QXSA_OK;
    }
    if (!run(out, in, n)) {
        return QXSA_ERR_INTERNAL;
    }
    *outLength = inLength;
    size_t remaining = 0;
    if (!unpad_length(padding_, out, n, &remaining)) {
        return QXSA_ERR_INVALID_PARAM;
    }
    *outLength = static_cast<uint32_t>(remaining);
    return QXSA_OK;
}

class Rc4Cipher final : public CipherObject {
public:
    Rc4Cipher() : ctx_(EVP_CIPHER_CTX_new()) {}
    ~Rc4Cipher() override { EVP_CIPHER_CTX_free(ctx_); }
    bool ready() const {
        CryptoLibrary* lib = CryptoLibrary::instance();
        return ctx_ != nullptr && lib != nullptr && lib->cipher(Cf::RC4) != nullptr;
    }

    uint32_t Init(uint32_t, const uint8_t* key, uint32_t keyLength, const uint8_t*, uint32_t, uint32_t,
                  uint32_t) override {
        // The key schedule needs at least one key byte.
        if (key == nullptr || keyLength == 0 || keyLength > 256) {
            return QXSA_ERR_INVALID_PARAM;
        }
        CryptoLibrary* lib = CryptoLibrary::instance();
        const EVP_CIPHER* rc4 = lib != nullptr ? lib->cipher(Cf::RC4) : nullptr;
        if (rc4 == nullptr) {
            return QXSA_ERR_INTERNAL;
        }
        initialised_ = false;
        discard_collected();
        size_t keylen = keyLength;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_KEYLEN, &keylen),
                               OSSL_PARAM_construct_end()};
        if (EVP_CipherInit_ex2(ctx_, rc4, nullptr, nullptr, 1, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_params(ctx_, params) != 1 ||
            EVP_CipherInit_ex2(ctx_, nullptr, key, nullptr, 1, nullptr) != 1) {
            return QXSA_ERR_INTERNAL;
        }
        initialised_ = true;
        return QXSA_OK;
    }

    uint32_t Process(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) override {
        if (!initialised_ || (in == nullptr && inLength != 0) || out == nullptr || outLength == nullptr) {
            return QXSA_ERR_INVALID_PARAM;
        }
        size_t done = 0;
        while (done < inLength) {
            const size_t chunk = inLength - done > (1u << 30) ? (1u << 30) : inLength - done;
            int written = 0;
            if (EVP_CipherUpdate(ctx_, out + done, &written, in + done, static_cast<int>(chunk)) != 1 ||
                static_cast<size_t>(written) != chunk) {
                return QXSA_ERR_INTERNAL;
            }
            done += chunk;
        }
        *outLength = inLength;
        return QXSA_OK;
    }

private:
    EVP_CIPHER_CTX* ctx_;
    bool initialised_ = false;
};

const BlockAlgorithm kBlockAlgorithms[] = {
    {QXSA_CIPHER_DES, 8, false},  {QXSA_CIPHER_DES_EDE2, 8, true}, {QXSA_CIPHER_DES_EDE3, 8, true},
    {QXSA_CIPHER_AES, 16, true},  {QXSA_CIPHER_SM4, 16, false},    {QXSA_CIPHER_RC2, 8, true},
};

template <typename T, typename... Args>
Cipher* make_ready(Args&&... args) {
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (object != nullptr && !object->ready()) {
        delete object;
        return nullptr;
    }
    return object;
}

}  // namespace

Cipher* create_cipher(uint32_t algorithm) {
    // libcrypto is set up before anything else of it is used.
    CryptoLibrary::instance();
    for (const BlockAlgorithm& alg : kBlockAlgorithms) {
        if (alg.id == algorithm) {
            return make_ready<BlockCipher>(alg);
        }
    }
    if (algorithm == QXSA_CIPHER_RC4) {
        return make_ready<Rc4Cipher>();
    }
    if (algorithm == QXSA_CIPHER_RSA) {
        return new (std::nothrow) RsaCipher();
    }
    return nullptr;
}

void destroy_cipher(Cipher* cipher) {
    delete static_cast<CipherObject*>(cipher);
}

}  // namespace qx::softalg
