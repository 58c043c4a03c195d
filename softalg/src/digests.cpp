// Digest objects: MD2 is computed here, the others by libcrypto.
#include "crypto_library.h"
#include "md2.h"
#include "objects.h"

namespace qx::softalg {

uint32_t DigestObject::Init() {
    return restart() ? QXSA_OK : QXSA_DIGEST_FAILED;
}

uint32_t DigestObject::Digest(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t* outLength) {
    if (data == nullptr || length == 0 || outLength == nullptr) {
        return QXSA_DIGEST_FAILED;
    }
    if (out == nullptr) {
        *outLength = length_;
        return QXSA_OK;
    }
    if (*outLength < length_) {
        *outLength = length_;
        return QXSA_DIGEST_FAILED;
    }
    // The SM3 object digests the data of this call alone.
    if (algorithm_ == QXSA_MD_SM3 && !restart()) {
        return QXSA_DIGEST_FAILED;
    }
    if (!absorb(data, length) || !finish(out)) {
        restart();
        return QXSA_DIGEST_FAILED;
    }
    *outLength = length_;
    return QXSA_OK;
}

uint32_t DigestObject::Update(const uint8_t* data, uint32_t length) {
    if (length == 0) {
        return QXSA_OK;
    }
    if (data == nullptr) {
        return QXSA_DIGEST_FAILED;
    }
    return absorb(data, length) ? QXSA_OK : QXSA_DIGEST_FAILED;
}

uint32_t DigestObject::Final(uint8_t* out, uint32_t* outLength) {
    if (outLength == nullptr) {
        return QXSA_DIGEST_FAILED;
    }
    if (out == nullptr) {
        *outLength = length_;
        return QXSA_OK;
    }
    if (*outLength < length_) {
        *outLength = length_;
        return QXSA_DIGEST_FAILED;
    }
    if (!finish(out)) {
        restart();
        return QXSA_DIGEST_FAILED;
    }
    *outLength = length_;
    return QXSA_OK;
}

namespace {

class Md2Digest final : public DigestObject {
public:
    Md2Digest() : DigestObject(QXSA_MD_MD2, Md2::kDigestSize) {}

private:
    bool restart() override {
        md2_.reset();
        return true;
    }
    bool absorb(const uint8_t* data, size_t length) override {
        md2_.update(data, length);
        return true;
    }
    bool finish(uint8_t* out) override {
        md2_.final(out);
        return true;
    }

    Md2 md2_;
};

class EvpDigest final : public DigestObject {
public:
    EvpDigest(uint32_t algorithm, const EVP_MD* md)
        : DigestObject(algorithm, static_cast<uint32_t>(EVP_MD_get_size(md))), md_(md), ctx_(EVP_MD_CTX_new()) {}
    ~EvpDigest() override { EVP_MD_CTX_free(ctx_); }
    // Whether the object could be set up (memory, libcrypto).
    bool ready() { return ctx_ != nullptr && restart(); }

private:
    bool restart() override { return EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1; }
    bool absorb(const uint8_t* data, size_t length) override {
        return EVP_DigestUpdate(ctx_, data, length) == 1;
    }
    bool finish(uint8_t* out) override {
        unsigned int written = 0;
        const bool ok = EVP_DigestFinal_ex(ctx_, out, &written) == 1;
        // A finished context takes no more input; start the next message.
        return restart() && ok && written == digest_length();
    }

    const EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

bool md_for(uint32_t algorithm, Md* which) {
    switch (algorithm) {
        case QXSA_MD_MD4: *which = Md::MD4; return true;
        case QXSA_MD_MD5: *which = Md::MD5; return true;
        case QXSA_MD_SHA1: *which = Md::SHA1; return true;
        case QXSA_MD_SHA256: *which = Md::SHA256; return true;
        case QXSA_MD_SHA384: *which = Md::SHA384; return true;
        case QXSA_MD_SHA512: *which = Md::SHA512; return true;
        case QXSA_MD_SM3: *which = Md::SM3; return true;
        default: return false;
    }
}

}  // namespace

MessageDigest* create_digest(uint32_t algorithm) {
    // libcrypto is set up before anything else of it is used.
    CryptoLibrary* lib = CryptoLibrary::instance();
    if (algorithm == QXSA_MD_MD2) {
        return new (std::nothrow) Md2Digest();
    }
    Md which;
    if (!md_for(algorithm, &which)) {
        return nullptr;
    }
    const EVP_MD* md = lib != nullptr ? lib->md(which) : nullptr;
    if (md == nullptr) {
        return nullptr;
    }
    auto* digest = new (std::nothrow) EvpDigest(algorithm, md);
    if (digest != nullptr && !digest->ready()) {
        delete digest;
        return nullptr;
    }
    return digest;
}

void destroy_digest(MessageDigest* digest) {
    delete static_cast<DigestObject*>(digest);
}

}  // namespace qx::softalg
