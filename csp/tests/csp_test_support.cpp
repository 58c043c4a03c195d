#include "csp_test_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>

namespace qx::csp::test {

namespace {

uint32_t u32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
void put(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
// A big number as `size` little-endian bytes.
void put_le(Bytes& out, const BIGNUM* bn, int size) {
    Bytes be(size);
    BN_bn2binpad(bn, be.data(), size);
    out.insert(out.end(), be.rbegin(), be.rend());
}
BIGNUM* param(EVP_PKEY* k, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(k, name, &bn);
    return bn;
}

}  // namespace

void* key_from_public_blob(const Bytes& blob) {
    if (blob.size() < 20 || blob[0] != 6 || u32(&blob[8]) != 0x31415352) return nullptr;
    const uint32_t bits = u32(&blob[12]), e = u32(&blob[16]);
    if (blob.size() < 20 + bits / 8) return nullptr;
    Bytes n(blob.begin() + 20, blob.begin() + 20 + bits / 8);
    std::reverse(n.begin(), n.end());
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_new();
    BN_set_word(be, e);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn);
    BN_free(be);
    return key;
}

void free_key(void* key) { EVP_PKEY_free(static_cast<EVP_PKEY*>(key)); }

Bytes private_blob(uint32_t bits, uint32_t algId, void** key) {
    EVP_PKEY* k = EVP_RSA_gen(bits);
    *key = k;
    Bytes out{7, 2, 0, 0};
    put(out, algId);
    put(out, 0x32415352);
    put(out, bits);
    BIGNUM* e = param(k, OSSL_PKEY_PARAM_RSA_E);
    put(out, static_cast<uint32_t>(BN_get_word(e)));
    const int n = static_cast<int>(bits / 8), h = static_cast<int>(bits / 16);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                           OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                           OSSL_PKEY_PARAM_RSA_COEFFICIENT1, OSSL_PKEY_PARAM_RSA_D};
    const int sizes[] = {n, h, h, h, h, h, n};
    for (int i = 0; i < 7; ++i) {
        BIGNUM* bn = param(k, names[i]);
        put_le(out, bn, sizes[i]);
        BN_clear_free(bn);
    }
    BN_free(e);
    return out;
}

bool verify_reversed(void* key, const char* digest, const Bytes& data, const Bytes& reversedSignature) {
    Bytes sig(reversedSignature.rbegin(), reversedSignature.rend());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_get_digestbyname(digest), nullptr, static_cast<EVP_PKEY*>(key)) ==
                  1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

Bytes encrypt_to(void* key, const Bytes& data) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(static_cast<EVP_PKEY*>(key), nullptr);
    Bytes out;
    size_t n = 0;
    if (EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &n, data.data(), data.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_encrypt(ctx, out.data(), &n, data.data(), data.size()) != 1) out.clear();
        out.resize(out.empty() ? 0 : n);
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

Bytes certificate_for(void* key, const std::string& commonName) {
    EVP_PKEY* ca = EVP_RSA_gen(2048);
    X509* x = X509_new();
    X509_set_version(x, 2);
    // A random serial: the store matches certificates by issuer and serial
    // number, and every certificate here has the same issuer.
    BIGNUM* serial = BN_new();
    BN_rand(serial, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
    BN_free(serial);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
    X509_set_pubkey(x, static_cast<EVP_PKEY*>(key));
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CSP test CA"), -1,
                               -1, 0);
    X509_set_issuer_name(x, issuer);
    X509_NAME_free(issuer);
    X509_sign(x, ca, EVP_sha256());
    Bytes der(static_cast<size_t>(i2d_X509(x, nullptr)));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    X509_free(x);
    EVP_PKEY_free(ca);
    return der;
}

}  // namespace qx::csp::test
