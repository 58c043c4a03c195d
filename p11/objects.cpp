#include "objects.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace qx::p11 {

namespace {

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;

void put(Object& o, CK_ATTRIBUTE_TYPE type, Bytes value, bool sensitive = false) {
    o.attributes[type] = Attribute{std::move(value), sensitive};
}

Bytes text_value(const std::string& s) { return Bytes(s.begin(), s.end()); }

void common(Object& o, CK_OBJECT_CLASS cls, const std::string& container, bool isPrivate) {
    o.objectClass = cls;
    o.isPrivate = isPrivate;
    o.container = container;
    put(o, CKA_CLASS, ulong_value(cls));
    put(o, CKA_TOKEN, bool_value(true));
    put(o, CKA_PRIVATE, bool_value(isPrivate));
    put(o, CKA_MODIFIABLE, bool_value(false));
    put(o, CKA_LABEL, text_value(container));
}

// The public key of an X.509 certificate in this module's terms.
std::optional<PublicKey> public_key_of(X509* cert) {
    EVP_PKEY* pkey = X509_get0_pubkey(cert);
    if (!pkey) return std::nullopt;
    PublicKey key;
    if (EVP_PKEY_is_a(pkey, "RSA")) {
        BIGNUM *n = nullptr, *e = nullptr;
        if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
            EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
            BN_free(n);
            BN_free(e);
            return std::nullopt;
        }
        key.algorithm = kRsa;
        key.bits = static_cast<uint32_t>(BN_num_bits(n));
        key.modulus.resize(static_cast<size_t>(BN_num_bytes(n)));
        key.exponent.resize(static_cast<size_t>(BN_num_bytes(e)));
        BN_bn2bin(n, key.modulus.data());
        BN_bn2bin(e, key.exponent.data());
        BN_free(n);
        BN_free(e);
        return key;
    }
    if (EVP_PKEY_is_a(pkey, "EC") || EVP_PKEY_is_a(pkey, "SM2")) {
        size_t length = 0;
        if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &length) != 1) return std::nullopt;
        key.point.resize(length);
        if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, key.point.data(), length, &length) != 1)
            return std::nullopt;
        key.point.resize(length);
        key.algorithm = kSm2;
        key.bits = 256;
        return key;
    }
    return std::nullopt;
}

template <typename T, typename F>
Bytes der_of(const T* item, F encode) {
    const int length = encode(item, nullptr);
    if (length <= 0) return {};
    Bytes out(static_cast<size_t>(length));
    unsigned char* p = out.data();
    encode(item, &p);
    return out;
}

}  // namespace

const Bytes kSm2CurveOid = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

const Bytes* Object::value(CK_ATTRIBUTE_TYPE type) const {
    auto it = attributes.find(type);
    return it == attributes.end() || it->second.sensitive ? nullptr : &it->second.value;
}

bool Object::flag(CK_ATTRIBUTE_TYPE type) const {
    const Bytes* v = value(type);
    return v && v->size() == sizeof(CK_BBOOL) && (*v)[0] != CK_FALSE;
}

Bytes ulong_value(CK_ULONG v) {
    Bytes out(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return out;
}

Bytes bool_value(bool v) { return Bytes{static_cast<uint8_t>(v ? CK_TRUE : CK_FALSE)}; }

Bytes strip_leading_zeros(const uint8_t* data, size_t length) {
    size_t i = 0;
    while (i + 1 < length && data[i] == 0) ++i;
    if (length == 0) return Bytes{0};
    return Bytes(data + i, data + length);
}

Bytes sha1(const Bytes& data) {
    Bytes out(20);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha1(), nullptr) != 1) return {};
    return out;
}

std::optional<PublicKey> parse_public_block(uint32_t algorithm, const uint8_t* block, size_t length) {
    if (!block) return std::nullopt;
    PublicKey key;
    key.algorithm = algorithm;
    uint32_t bits = 0;
    if (length < 4) return std::nullopt;
    std::memcpy(&bits, block, 4);
    if (algorithm == kRsa) {
        // bits, modulus[256], exponent[256]: numbers right-aligned in their fields.
        if (length < 516 || bits < 512 || bits > 2048 || bits % 8 != 0) return std::nullopt;
        key.bits = bits;
        key.modulus.assign(block + 4 + 256 - bits / 8, block + 4 + 256);
        key.exponent = strip_leading_zeros(block + 260, 256);
        if (key.modulus.empty() || key.modulus[0] == 0) return std::nullopt;
        return key;
    }
    if (algorithm == kSm2) {
        // bits, X[64], Y[64]: coordinates right-aligned.
        if (length < 132 || bits != 256) return std::nullopt;
        key.bits = 256;
        key.point.push_back(0x04);
        key.point.insert(key.point.end(), block + 4 + 32, block + 4 + 64);
        key.point.insert(key.point.end(), block + 68 + 32, block + 68 + 64);
        return key;
    }
    return std::nullopt;
}

Bytes key_id(const PublicKey& key) { return sha1(key.algorithm == kRsa ? key.modulus : key.point); }

std::vector<Object> key_pair_objects(const std::string& container, uint32_t keySpec, uint32_t keyIndex,
                                     const PublicKey& key) {
    const Bytes id = key_id(key);
    const bool rsa = key.algorithm == kRsa;
    Object pub, priv;
    common(pub, CKO_PUBLIC_KEY, container, false);
    common(priv, CKO_PRIVATE_KEY, container, true);
    for (Object* o : {&pub, &priv}) {
        o->keySpec = keySpec;
        o->keyIndex = keyIndex;
        o->algorithm = key.algorithm;
        put(*o, CKA_ID, id);
        put(*o, CKA_KEY_TYPE, ulong_value(rsa ? CKK_RSA : CKK_EC));
        put(*o, CKA_LOCAL, bool_value(true));
        put(*o, CKA_DERIVE, bool_value(false));
        put(*o, CKA_KEY_GEN_MECHANISM,
            ulong_value(rsa ? CKM_RSA_PKCS_KEY_PAIR_GEN : CK_MECHANISM_TYPE(CKM_QX_SM2_KEY_PAIR_GEN)));
        if (rsa) {
            put(*o, CKA_MODULUS, key.modulus);
            put(*o, CKA_PUBLIC_EXPONENT, key.exponent);
        } else {
            put(*o, CKA_EC_PARAMS, kSm2CurveOid);
        }
    }
    put(pub, CKA_MODULUS_BITS, ulong_value(key.bits));
    if (rsa) put(priv, CKA_MODULUS_BITS, ulong_value(key.bits));
    if (!rsa) {
        Bytes point{0x04, static_cast<uint8_t>(key.point.size())};
        point.insert(point.end(), key.point.begin(), key.point.end());
        put(pub, CKA_EC_POINT, point);
        put(priv, CKA_VALUE, {}, true);
    } else {
        for (CK_ATTRIBUTE_TYPE t : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                    CKA_COEFFICIENT})
            put(priv, t, {}, true);
    }
    put(pub, CKA_ENCRYPT, bool_value(true));
    put(pub, CKA_VERIFY, bool_value(true));
    put(pub, CKA_VERIFY_RECOVER, bool_value(false));
    put(pub, CKA_WRAP, bool_value(false));
    put(pub, CKA_TRUSTED, bool_value(false));
    put(priv, CKA_SENSITIVE, bool_value(true));
    put(priv, CKA_ALWAYS_SENSITIVE, bool_value(true));
    put(priv, CKA_EXTRACTABLE, bool_value(false));
    put(priv, CKA_NEVER_EXTRACTABLE, bool_value(true));
    put(priv, CKA_DECRYPT, bool_value(true));
    put(priv, CKA_SIGN, bool_value(true));
    put(priv, CKA_SIGN_RECOVER, bool_value(false));
    put(priv, CKA_UNWRAP, bool_value(false));
    put(priv, CKA_ALWAYS_AUTHENTICATE, bool_value(false));
    return {pub, priv};
}

std::optional<CertificateFields> parse_certificate(const Bytes& der) {
    if (der.empty()) return std::nullopt;
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) return std::nullopt;
    CertificateFields f;
    f.subject = der_of(X509_get_subject_name(cert), [](const X509_NAME* n, unsigned char** out) {
        return i2d_X509_NAME(n, out);
    });
    f.issuer = der_of(X509_get_issuer_name(cert), [](const X509_NAME* n, unsigned char** out) {
        return i2d_X509_NAME(n, out);
    });
    f.serial = der_of(X509_get0_serialNumber(cert), [](const ASN1_INTEGER* n, unsigned char** out) {
        return i2d_ASN1_INTEGER(n, out);
    });
    f.publicKey = public_key_of(cert);
    X509_free(cert);
    if (f.subject.empty() || f.issuer.empty() || f.serial.empty()) return std::nullopt;
    return f;
}

std::optional<Object> certificate_object(const std::string& container, uint32_t keySpec, uint32_t keyIndex,
                                         const Bytes& der, const Bytes& id) {
    auto fields = parse_certificate(der);
    if (!fields) return std::nullopt;
    Object o;
    common(o, CKO_CERTIFICATE, container, false);
    o.keySpec = keySpec;
    o.keyIndex = keyIndex;
    o.algorithm = fields->publicKey ? fields->publicKey->algorithm : 0;
    put(o, CKA_CERTIFICATE_TYPE, ulong_value(CKC_X_509));
    put(o, CKA_TRUSTED, bool_value(false));
    put(o, CKA_CERTIFICATE_CATEGORY, ulong_value(0));
    put(o, CKA_VALUE, der);
    put(o, CKA_SUBJECT, fields->subject);
    put(o, CKA_ISSUER, fields->issuer);
    put(o, CKA_SERIAL_NUMBER, fields->serial);
    put(o, CKA_ID, !id.empty() ? id : fields->publicKey ? key_id(*fields->publicKey) : sha1(der));
    return o;
}

bool matches(const Object& object, const CK_ATTRIBUTE* templ, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const Bytes* v = object.value(templ[i].type);
        if (!v || v->size() != templ[i].ulValueLen) return false;
        if (!v->empty() && (!templ[i].pValue || std::memcmp(v->data(), templ[i].pValue, v->size()) != 0)) return false;
    }
    return true;
}

CK_RV read_attributes(const Object& object, CK_ATTRIBUTE* templ, CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = templ[i];
        auto it = object.attributes.find(a.type);
        if (it == object.attributes.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (it->second.sensitive) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK) rv = CKR_ATTRIBUTE_SENSITIVE;
        } else if (!a.pValue) {
            a.ulValueLen = it->second.value.size();
        } else if (a.ulValueLen < it->second.value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!it->second.value.empty()) std::memcpy(a.pValue, it->second.value.data(), it->second.value.size());
            a.ulValueLen = it->second.value.size();
        }
    }
    return rv;
}

std::optional<Bytes> template_value(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (templ[i].type != type) continue;
        if (!templ[i].pValue) return Bytes{};
        const auto* p = static_cast<const uint8_t*>(templ[i].pValue);
        return Bytes(p, p + templ[i].ulValueLen);
    }
    return std::nullopt;
}

std::optional<CK_ULONG> template_ulong(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                                       bool& malformed) {
    auto v = template_value(templ, count, type);
    if (!v) return std::nullopt;
    if (v->size() != sizeof(CK_ULONG)) {
        malformed = true;
        return std::nullopt;
    }
    CK_ULONG out = 0;
    std::memcpy(&out, v->data(), sizeof out);
    return out;
}

std::optional<bool> template_bool(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                                  bool& malformed) {
    auto v = template_value(templ, count, type);
    if (!v) return std::nullopt;
    if (v->size() != sizeof(CK_BBOOL)) {
        malformed = true;
        return std::nullopt;
    }
    return (*v)[0] != CK_FALSE;
}

Bytes digest_info_prefix(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
    case CKM_SHA1_RSA_PKCS:
        return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    case CKM_SHA256_RSA_PKCS:
        return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    case CKM_SHA384_RSA_PKCS:
        return {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    case CKM_SHA512_RSA_PKCS:
        return {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    default:
        return {};
    }
}

void pad_text(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

}  // namespace qx::p11

namespace qx::p11 {

std::string label_from_token(const uint8_t* field, size_t size) {
    size_t n = size;
    while (n > 0 && field[n - 1] == ' ') --n;
    if (n % 2 == 1 && n < size) ++n;  // a UTF-16 space's zero byte may remain: keep pairs whole
    size_t zeros = 0;
    for (size_t i = 1; i < n; i += 2) zeros += field[i] == 0;
    const bool utf16 = n > 0 && n % 2 == 0 && zeros * 2 >= n / 2;
    std::string out;
    if (!utf16) {
        for (size_t i = 0; i < n && field[i]; ++i) out += static_cast<char>(field[i]);
        return out;
    }
    for (size_t i = 0; i + 1 < n; i += 2) {
        const uint32_t cp = field[i] | uint32_t(field[i + 1]) << 8;
        if (cp == 0) break;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::optional<Bytes> label_to_token(const std::string& utf8, size_t maxBytes) {
    Bytes out;
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = static_cast<uint8_t>(utf8[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            cp = (c & 0x1Fu) << 6 | (utf8[i + 1] & 0x3F);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < utf8.size()) {
            cp = (c & 0x0Fu) << 12 | (utf8[i + 1] & 0x3Fu) << 6 | (utf8[i + 2] & 0x3F);
            n = 3;
        } else {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(cp));
        out.push_back(static_cast<uint8_t>(cp >> 8));
        i += n;
    }
    if (out.size() > maxBytes) return std::nullopt;
    return out;
}

}  // namespace qx::p11
