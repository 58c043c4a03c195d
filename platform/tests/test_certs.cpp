#include "test_certs.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qx::test {

void KeyFree::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

TestKey make_key(KeyKind kind) {
    if (kind == KeyKind::Sm2) return TestKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    return TestKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
}

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

std::vector<uint8_t> build(const CertSpec& spec, std::size_t padding) {
    std::unique_ptr<X509, X509Free> x(X509_new());
    if (!x || !spec.subjectKey) return {};
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(x.get()), spec.serial);
    X509_NAME* subject = X509_get_subject_name(x.get());
    if (!spec.subjectOrg.empty())
        X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(spec.subjectOrg.c_str()), -1, -1, 0);
    if (!spec.subjectCN.empty())
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(spec.subjectCN.c_str()), -1, -1, 0);
    if (spec.issuerCert.empty()) {
        X509_set_issuer_name(x.get(), subject);
    } else {
        const unsigned char* p = spec.issuerCert.data();
        std::unique_ptr<X509, X509Free> issuer(d2i_X509(nullptr, &p, static_cast<long>(spec.issuerCert.size())));
        if (!issuer) return {};
        X509_set_issuer_name(x.get(), X509_get_subject_name(issuer.get()));
    }
    ASN1_TIME_set(X509_getm_notBefore(x.get()), static_cast<time_t>(spec.notBefore));
    ASN1_TIME_set(X509_getm_notAfter(x.get()), static_cast<time_t>(spec.notAfter));
    X509_set_pubkey(x.get(), spec.subjectKey);
    if (padding > 0) {
        std::string comment(padding, 'p');
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str());
        if (!ext) return {};
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    EVP_PKEY* signer = spec.issuerKey ? spec.issuerKey : spec.subjectKey;
    const EVP_MD* md = EVP_PKEY_is_a(signer, "SM2") ? EVP_sm3() : EVP_sha256();
    if (X509_sign(x.get(), signer, md) <= 0) return {};
    unsigned char* der = nullptr;
    const int n = i2d_X509(x.get(), &der);
    std::vector<uint8_t> out;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

}  // namespace

std::vector<uint8_t> make_certificate(const CertSpec& spec) {
    if (spec.padTo == 0) return build(spec, 0);
    // Grow the comment until the encoding has the size asked for; signatures
    // of varying length (SM2, ECDSA) need a few more tries.
    std::size_t padding = 1;
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::vector<uint8_t> der = build(spec, padding);
        if (der.empty()) return {};
        if (der.size() == spec.padTo) return der;
        if (der.size() < spec.padTo) padding += spec.padTo - der.size();
        else if (padding > 1) padding -= std::min(padding - 1, der.size() - spec.padTo);
        else return {};
    }
    return {};
}

std::vector<uint8_t> self_signed(KeyKind kind, const std::string& cn, uint64_t serial) {
    TestKey key = make_key(kind);
    CertSpec spec;
    spec.subjectCN = cn;
    spec.serial = serial;
    spec.subjectKey = key.get();
    return make_certificate(spec);
}

std::vector<uint8_t> der_blob(std::size_t size, uint8_t seed) {
    std::vector<uint8_t> out;
    if (size < 4) return out;
    std::size_t header = 2;
    if (size - 2 >= 0x80) header = size - 3 <= 0xFF ? 3 : 4;
    const std::size_t content = size - header;
    out.push_back(0x30);
    if (header == 3) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(content));
    } else if (header == 4) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(content >> 8));
        out.push_back(static_cast<uint8_t>(content));
    } else {
        out.push_back(static_cast<uint8_t>(content));
    }
    for (std::size_t i = 0; i < content; ++i) out.push_back(static_cast<uint8_t>(seed + i * 7 + (i >> 8)));
    return out;
}

}  // namespace qx::test
