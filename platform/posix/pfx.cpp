// PFX files through OpenSSL.  The files are read in a library context of
// their own that carries the legacy provider as well as the default one, so
// that files protected with RC2 and 3DES open; that context is the thread's
// default only while a file is being read.
#include "qx/platform/pfx.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <string>

#include "qx/platform/text.h"

namespace qx::platform {
namespace {

// The context lives as long as the module that uses it: a library unloaded
// and loaded again makes a new one and frees the old.
class PfxContext {
public:
    PfxContext() : ctx_(OSSL_LIB_CTX_new()) {
        if (!ctx_) return;
        default_ = OSSL_PROVIDER_load(ctx_, "default");
        legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");  // absent: legacy files fail to open, nothing else
    }
    ~PfxContext() {
        // Unloaded explicitly: the legacy provider frees its own context only then.
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
        if (default_) OSSL_PROVIDER_unload(default_);
        OSSL_LIB_CTX_free(ctx_);
    }
    PfxContext(const PfxContext&) = delete;
    PfxContext& operator=(const PfxContext&) = delete;
    OSSL_LIB_CTX* get() const { return ctx_; }

private:
    OSSL_LIB_CTX* ctx_;
    OSSL_PROVIDER* default_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
};

OSSL_LIB_CTX* pfx_context() {
    static const PfxContext context;
    return context.get();
}

// Makes the PFX context the calling thread's default for its lifetime.
class ContextScope {
public:
    explicit ContextScope(OSSL_LIB_CTX* ctx) : previous_(ctx ? OSSL_LIB_CTX_set0_default(ctx) : nullptr), set_(ctx) {}
    ~ContextScope() {
        if (set_) OSSL_LIB_CTX_set0_default(previous_);
        ERR_clear_error();
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    OSSL_LIB_CTX* previous_;
    OSSL_LIB_CTX* set_;
};

struct P12Free {
    void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using P12Ptr = std::unique_ptr<PKCS12, P12Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

P12Ptr decode(const uint8_t* data, std::size_t length) {
    if (!data || length == 0 || length > static_cast<std::size_t>(LONG_MAX)) return nullptr;
    const unsigned char* p = data;
    return P12Ptr(d2i_PKCS12(nullptr, &p, static_cast<long>(length)));
}

std::vector<uint8_t> der_of(X509* x) {
    unsigned char* out = nullptr;
    const int n = i2d_X509(x, &out);
    if (n <= 0) return {};
    std::vector<uint8_t> der(out, out + n);
    OPENSSL_free(out);
    return der;
}

// The certificates of a list of safe bags (and of bags nested in them), in order.
void collect(const STACK_OF(PKCS12_SAFEBAG) * bags, std::vector<std::vector<uint8_t>>* out) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        const int nid = PKCS12_SAFEBAG_get_nid(bag);
        if (nid == NID_safeContentsBag) {
            collect(PKCS12_SAFEBAG_get0_safes(bag), out);
        } else if (nid == NID_certBag && PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
            X509Ptr x(PKCS12_SAFEBAG_get1_cert(bag));
            if (!x) continue;
            std::vector<uint8_t> der = der_of(x.get());
            if (!der.empty()) out->push_back(std::move(der));
        }
    }
}

// Every certificate bag of the file in file order; false when a part cannot be read.
bool certificates_in_order(PKCS12* p12, const char* password, std::vector<std::vector<uint8_t>>* out) {
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
    if (!safes) return false;
    bool ok = true;
    for (int i = 0; ok && i < sk_PKCS7_num(safes); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        const int nid = OBJ_obj2nid(p7->type);
        if (nid == NID_pkcs7_data) {
            bags = PKCS12_unpack_p7data(p7);
        } else if (nid == NID_pkcs7_encrypted) {
            bags = PKCS12_unpack_p7encdata(p7, password, password ? -1 : 0);
        } else {
            continue;
        }
        if (!bags) {
            ok = false;
            break;
        }
        collect(bags, out);
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    return ok;
}

void put_le32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_header(std::vector<uint8_t>& b, uint8_t type, uint32_t algorithm) {
    b.push_back(type);
    b.push_back(2);
    b.push_back(0);
    b.push_back(0);
    put_le32(b, algorithm);
}

BnPtr bn_param(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return nullptr;
    return BnPtr(bn);
}

// Appends `bn` little-endian in `size` bytes; false when it does not fit.
bool put_number(std::vector<uint8_t>& b, const BIGNUM* bn, std::size_t size) {
    if (!bn) return false;
    const std::size_t at = b.size();
    b.resize(at + size);
    return BN_bn2lebinpad(bn, b.data() + at, static_cast<int>(size)) == static_cast<int>(size);
}

bool export_rsa(const EVP_PKEY* key, PfxKeyPair* out) {
    const int bits = EVP_PKEY_get_bits(key);
    if (bits <= 0 || bits % 16 != 0) return false;
    const std::size_t full = static_cast<std::size_t>(bits) / 8, half = full / 2;
    BnPtr n = bn_param(key, OSSL_PKEY_PARAM_RSA_N), e = bn_param(key, OSSL_PKEY_PARAM_RSA_E),
          d = bn_param(key, OSSL_PKEY_PARAM_RSA_D), p = bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
          q = bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR2), dp = bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
          dq = bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), qi = bn_param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    if (!n || !e || !d || !p || !q || !dp || !dq || !qi) return false;
    if (BN_num_bits(e.get()) > 32) return false;
    const uint32_t exponent = static_cast<uint32_t>(BN_get_word(e.get()));

    std::vector<uint8_t>& pub = out->publicBlob;
    pub.clear();
    put_header(pub, kPublicKeyBlob, kBlobRsaExchange);
    put_le32(pub, 0x31415352u);  // "RSA1"
    put_le32(pub, static_cast<uint32_t>(bits));
    put_le32(pub, exponent);
    if (!put_number(pub, n.get(), full)) return false;

    std::vector<uint8_t>& priv = out->privateBlob.bytes();
    out->privateBlob.wipe();
    priv.reserve(20 + full * 2 + half * 5);  // no reallocation leaves a copy behind
    put_header(priv, kPrivateKeyBlob, kBlobRsaExchange);
    put_le32(priv, 0x32415352u);  // "RSA2"
    put_le32(priv, static_cast<uint32_t>(bits));
    put_le32(priv, exponent);
    const bool ok = put_number(priv, n.get(), full) && put_number(priv, p.get(), half) &&
                    put_number(priv, q.get(), half) && put_number(priv, dp.get(), half) &&
                    put_number(priv, dq.get(), half) && put_number(priv, qi.get(), half) &&
                    put_number(priv, d.get(), full);
    if (!ok) out->privateBlob.wipe();
    out->keySpec = 1;
    return ok;
}

bool is_sm2(const EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "SM2")) return true;
    if (!EVP_PKEY_is_a(key, "EC")) return false;
    char group[64] = {};
    std::size_t len = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) != 1) return false;
    return std::strcmp(group, "SM2") == 0;
}

bool export_sm2(const EVP_PKEY* key, PfxKeyPair* out) {
    BnPtr x = bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X), y = bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y),
          d = bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY);
    if (!x || !y || !d) return false;
    std::vector<uint8_t>& pub = out->publicBlob;
    pub.clear();
    put_header(pub, kPublicKeyBlob, kBlobSm2Exchange);
    put_le32(pub, 256);
    if (!put_number(pub, x.get(), 64) || !put_number(pub, y.get(), 64)) return false;

    std::vector<uint8_t>& priv = out->privateBlob.bytes();
    out->privateBlob.wipe();
    priv.reserve(12 + 64);
    put_header(priv, kPrivateKeyBlob, kBlobSm2Exchange);
    put_le32(priv, 256);
    if (!put_number(priv, d.get(), 64)) {
        out->privateBlob.wipe();
        return false;
    }
    out->keySpec = 1;
    return true;
}

class OpenSslPfx final : public PfxFile {
public:
    OpenSslPfx(KeyPtr key, std::vector<std::vector<uint8_t>> certs) : key_(std::move(key)), certs_(std::move(certs)) {}

    std::size_t count() const override { return certs_.size(); }
    const std::vector<uint8_t>& certificate(std::size_t index) const override { return certs_.at(index); }

    bool has_private_key(std::size_t index) override {
        if (!key_ || index >= certs_.size()) return false;
        const unsigned char* p = certs_[index].data();
        X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(certs_[index].size())));
        if (!x) return false;
        ContextScope scope(pfx_context());
        return X509_check_private_key(x.get(), key_.get()) == 1;
    }

    bool export_key(std::size_t index, PfxKeyPair* out) override {
        if (!out || !has_private_key(index)) return false;
        if (EVP_PKEY_is_a(key_.get(), "RSA")) return export_rsa(key_.get(), out);
        if (is_sm2(key_.get())) return export_sm2(key_.get(), out);
        return false;
    }

    bool set_key_provider(std::size_t index, const KeyProvider&) override {
        // The file's certificates live in memory only; nothing else reads them.
        return index < certs_.size();
    }

private:
    KeyPtr key_;
    std::vector<std::vector<uint8_t>> certs_;
};

}  // namespace

void SecretBlob::wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
}

bool is_pfx_blob(const uint8_t* data, std::size_t length) {
    ContextScope scope(pfx_context());
    return decode(data, length) != nullptr;
}

std::unique_ptr<PfxFile> PfxFile::open(const uint8_t* data, std::size_t length, std::u16string_view password) {
    OSSL_LIB_CTX* ctx = pfx_context();
    if (!ctx) return nullptr;
    ContextScope scope(ctx);
    P12Ptr p12 = decode(data, length);
    if (!p12) return nullptr;

    std::string utf8;
    if (!utf16_to_utf8(password, &utf8)) return nullptr;
    struct Wipe {
        std::string& s;
        ~Wipe() {
            if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
        }
    } wipe{utf8};
    // An empty password may stand for no password or the empty one.
    const char* pass = utf8.c_str();
    if (utf8.empty()) {
        if (PKCS12_mac_present(p12.get()) && !PKCS12_verify_mac(p12.get(), "", 0)) {
            if (!PKCS12_verify_mac(p12.get(), nullptr, 0)) return nullptr;
            pass = nullptr;
        }
    } else if (PKCS12_mac_present(p12.get()) && !PKCS12_verify_mac(p12.get(), pass, -1)) {
        return nullptr;
    }

    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* ca = nullptr;
    if (PKCS12_parse(p12.get(), pass, &key, &cert, &ca) != 1) return nullptr;
    KeyPtr keyOwner(key);
    X509Ptr certOwner(cert);

    std::vector<std::vector<uint8_t>> certs;
    if (!certificates_in_order(p12.get(), pass, &certs)) {
        // The parse succeeded: fall back to its own order.
        certs.clear();
        if (cert) certs.push_back(der_of(cert));
        for (int i = 0; i < sk_X509_num(ca); ++i) certs.push_back(der_of(sk_X509_value(ca, i)));
    }
    sk_X509_pop_free(ca, X509_free);
    return std::make_unique<OpenSslPfx>(std::move(keyOwner), std::move(certs));
}

}  // namespace qx::platform
