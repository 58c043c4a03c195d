#include "openssl_keys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>

namespace qx::kernel::test {

namespace {

const char kId[] = "1234567812345678";

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Bytes bn_param(EVP_PKEY* key, const char* name, std::size_t width) {
    BIGNUM* bn = nullptr;
    Bytes out(width, 0);
    if (EVP_PKEY_get_bn_param(key, name, &bn) == 1) BN_bn2binpad(bn, out.data(), int(width));
    BN_clear_free(bn);
    return out;
}

void put(Bytes& block, std::size_t offset, const Bytes& value) {
    std::memcpy(block.data() + offset, value.data(), value.size());
}

void put_bits(Bytes& block, uint32_t bits) { std::memcpy(block.data(), &bits, 4); }

Pkey from_params(const char* type, OSSL_PARAM_BLD* bld) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    Ctx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (ctx && params && EVP_PKEY_fromdata_init(ctx.get()) == 1)
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(key);
}

// The uncompressed point 04 || X || Y.
Bytes sm2_point(EVP_PKEY* key) {
    Bytes pub(65);
    std::size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &n);
    pub.resize(n);
    return pub;
}

// Minimal DER for the SM2 ciphertext: SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }.
void der_item(Bytes& out, uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    if (value.size() < 128) {
        out.push_back(uint8_t(value.size()));
    } else if (value.size() < 256) {
        out.push_back(0x81);
        out.push_back(uint8_t(value.size()));
    } else {
        out.push_back(0x82);
        out.push_back(uint8_t(value.size() >> 8));
        out.push_back(uint8_t(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
}

Bytes der_integer(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i + 1 < n && p[i] == 0) ++i;
    const std::size_t lead = (p[i] & 0x80) ? 1 : 0;
    Bytes v(lead + n - i, 0);
    std::memcpy(v.data() + lead, p + i, n - i);
    return v;
}

bool der_read(const Bytes& in, std::size_t& at, uint8_t tag, Bytes& value) {
    if (at + 2 > in.size() || in[at] != tag) return false;
    std::size_t len = in[at + 1], head = 2;
    if (len == 0x81) {
        len = in[at + 2];
        head = 3;
    } else if (len == 0x82) {
        len = std::size_t(in[at + 2]) << 8 | in[at + 3];
        head = 4;
    }
    if (at + head + len > in.size()) return false;
    value.assign(in.begin() + long(at + head), in.begin() + long(at + head + len));
    at += head + len;
    return true;
}

Bytes fixed32(const Bytes& integer) {
    Bytes v = integer;
    while (v.size() > 32 && v[0] == 0) v.erase(v.begin());
    Bytes out(32 - std::min<std::size_t>(32, v.size()), 0);
    out.insert(out.end(), v.begin(), v.end());
    return out;
}

}  // namespace

Pkey rsa_generate(unsigned bits, unsigned exponent) {
    Ctx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* key = nullptr;
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    if (ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) == 1 &&
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e) == 1)
        EVP_PKEY_keygen(ctx.get(), &key);
    BN_free(e);
    return Pkey(key);
}

Pkey sm2_generate() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

Bytes rsa_public_block(EVP_PKEY* key) {
    Bytes b(516, 0);
    put_bits(b, uint32_t(EVP_PKEY_get_bits(key)));
    put(b, 4, bn_param(key, OSSL_PKEY_PARAM_RSA_N, 256));
    put(b, 260, bn_param(key, OSSL_PKEY_PARAM_RSA_E, 256));
    return b;
}

Bytes rsa_private_block(EVP_PKEY* key) {
    Bytes b(1412, 0);
    put_bits(b, uint32_t(EVP_PKEY_get_bits(key)));
    put(b, 4, bn_param(key, OSSL_PKEY_PARAM_RSA_N, 256));
    put(b, 260, bn_param(key, OSSL_PKEY_PARAM_RSA_E, 256));
    put(b, 516, bn_param(key, OSSL_PKEY_PARAM_RSA_D, 256));
    put(b, 772, bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR1, 128));
    put(b, 900, bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR2, 128));
    put(b, 1028, bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, 128));
    put(b, 1156, bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, 128));
    put(b, 1284, bn_param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 128));
    return b;
}

Bytes sm2_public_block(EVP_PKEY* key) {
    Bytes b(132, 0), p = sm2_point(key);
    put_bits(b, 256);
    if (p.size() == 65) {
        put(b, 4 + 32, Bytes(p.begin() + 1, p.begin() + 33));
        put(b, 68 + 32, Bytes(p.begin() + 33, p.end()));
    }
    return b;
}

Bytes sm2_private_block(EVP_PKEY* key) {
    Bytes b = sm2_public_block(key);
    b.resize(196, 0);
    put(b, 132 + 32, bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, 32));
    return b;
}

Bytes sm2_scalar_block(EVP_PKEY* key) {
    Bytes b(68, 0);
    put_bits(b, 256);
    put(b, 4 + 32, bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, 32));
    return b;
}

Pkey rsa_from_block(const Bytes& block) {
    if (block.size() != 516) return nullptr;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* n = BN_bin2bn(block.data() + 4, 256, nullptr);
    BIGNUM* e = BN_bin2bn(block.data() + 260, 256, nullptr);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    Pkey key = from_params("RSA", bld);
    BN_free(n);
    BN_free(e);
    return key;
}

Pkey sm2_from_block(const Bytes& block) {
    if (block.size() < 132) return nullptr;
    Bytes point{0x04};
    point.insert(point.end(), block.begin() + 36, block.begin() + 68);
    point.insert(point.end(), block.begin() + 100, block.begin() + 132);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return from_params("SM2", bld);
}

bool rsa_verify(EVP_PKEY* key, const char* md, const Bytes& hash, const Bytes& signature) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(md)) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

Bytes rsa_encrypt_pkcs1(EVP_PKEY* key, const Bytes& plain) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    Bytes out(512);
    std::size_t n = out.size();
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), out.data(), &n, plain.data(), plain.size()) != 1)
        return {};
    out.resize(n);
    return out;
}

bool sm2_verify(EVP_PKEY* key, const Bytes& message, const Bytes& rs) {
    if (rs.size() != 64) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = derLength > 0 && md && EVP_DigestVerifyInit(md, &pctx, EVP_sm3(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set1_id(pctx, kId, 16) == 1 &&
              EVP_DigestVerify(md, der, std::size_t(derLength), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(md);
    OPENSSL_free(der);
    return ok;
}

Bytes sm2_encrypt(EVP_PKEY* key, const Bytes& plain) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    Bytes der(plain.size() + 200);
    std::size_t n = der.size();
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), der.data(), &n, plain.data(), plain.size()) != 1)
        return {};
    der.resize(n);
    Bytes seq, x, y, c3, c2;
    std::size_t at = 0, inner = 0;
    if (!der_read(der, at, 0x30, seq) || !der_read(seq, inner, 0x02, x) || !der_read(seq, inner, 0x02, y) ||
        !der_read(seq, inner, 0x04, c3) || !der_read(seq, inner, 0x04, c2))
        return {};
    Bytes out = fixed32(x);
    Bytes yy = fixed32(y);
    out.insert(out.end(), yy.begin(), yy.end());
    out.insert(out.end(), c3.begin(), c3.end());
    out.insert(out.end(), c2.begin(), c2.end());
    return out;
}

bool sm2_decrypt(EVP_PKEY* key, const Bytes& c, Bytes& plain) {
    if (c.size() <= 96) return false;
    Bytes body, der;
    der_item(body, 0x02, der_integer(c.data(), 32));
    der_item(body, 0x02, der_integer(c.data() + 32, 32));
    der_item(body, 0x04, Bytes(c.begin() + 64, c.begin() + 96));
    der_item(body, 0x04, Bytes(c.begin() + 96, c.end()));
    der_item(der, 0x30, body);
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    plain.assign(c.size(), 0);
    std::size_t n = plain.size();
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, der.data(), der.size()) != 1)
        return false;
    plain.resize(n);
    return true;
}

Bytes sm2_za(const Bytes& block) {
    // ENTL || ID || a || b || xG || yG || xA || yA
    Bytes data{0x00, 0x80};
    data.insert(data.end(), kId, kId + 16);
    const char* constants[] = {
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
    };
    for (const char* h : constants) {
        BIGNUM* bn = nullptr;
        BN_hex2bn(&bn, h);
        Bytes v(32);
        BN_bn2binpad(bn, v.data(), 32);
        BN_free(bn);
        data.insert(data.end(), v.begin(), v.end());
    }
    data.insert(data.end(), block.begin() + 36, block.begin() + 68);
    data.insert(data.end(), block.begin() + 100, block.begin() + 132);
    return digest("SM3", data);
}

Bytes digest(const char* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_get_digestbyname(md), nullptr);
    out.resize(n);
    return out;
}

}  // namespace qx::kernel::test
