#include "device/cardos/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace qx::vtoken {

void wipe(void* data, size_t size) {
    if (data != nullptr && size != 0) OPENSSL_cleanse(data, size);
}

std::string to_hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

std::optional<Bytes> from_hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if ((c == ' ' || c == ':') && high < 0) continue;
        else return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

bool equal_constant_time(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace crypto {

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

// Key bytes and the OpenSSL cipher for an algorithm byte.  Single DES runs as
// triple DES with three equal keys, which the default provider offers.
bool cipher_for(uint8_t alg, const Bytes& key, bool cbc_mode, const EVP_CIPHER*& cipher, Bytes& k) {
    switch (alg) {
    case kAlgTwoKeyTripleDes:
        if (key.size() != 16) return false;
        cipher = cbc_mode ? EVP_des_ede_cbc() : EVP_des_ede_ecb();
        k = key;
        return true;
    case kAlgDes:
        // Keys are written as 16 bytes; the first 8 are the DES key.
        if (key.size() != 8 && key.size() != 16) return false;
        cipher = cbc_mode ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
        k.assign(key.begin(), key.begin() + 8);
        k.insert(k.end(), key.begin(), key.begin() + 8);
        k.insert(k.end(), key.begin(), key.begin() + 8);
        return true;
    case kAlgTokenCipherA:
    case kAlgTokenCipherB:
        if (key.size() != 16) return false;
        cipher = cbc_mode ? EVP_camellia_128_cbc() : EVP_camellia_128_ecb();
        k = key;
        return true;
    case kAlgSm4:
        if (key.size() != 16) return false;
        cipher = cbc_mode ? EVP_sm4_cbc() : EVP_sm4_ecb();
        k = key;
        return true;
    default:
        return false;
    }
}

std::optional<Bytes> run_cipher(const EVP_CIPHER* cipher, const Bytes& key, const uint8_t* iv, const Bytes& in,
                                bool encrypt) {
    if (cipher == nullptr) return std::nullopt;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1) return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n1, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n1, &n2) != 1) {
        wipe(out);
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

Bytes bn_to_bytes(const BIGNUM* bn, size_t width) {
    Bytes out(width);
    if (BN_bn2binpad(bn, out.data(), static_cast<int>(width)) < 0) return {};
    return out;
}

Bn bn_from(const Bytes& b) { return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }

Bytes get_bn_param(EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return {};
    Bn holder(bn);
    return bn_to_bytes(bn, width);
}

Pkey rsa_pkey(const RsaKey& key) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    Bytes d = key.parts[6];
    d.insert(d.end(), key.parts[5].begin(), key.parts[5].end());
    Bn n = bn_from(key.modulus), e = bn_from(key.exponent), dd = bn_from(d), p = bn_from(key.parts[0]),
       q = bn_from(key.parts[1]), dp = bn_from(key.parts[2]), dq = bn_from(key.parts[3]),
       qi = bn_from(key.parts[4]);
    wipe(d);
    if (!n || !e || !dd || !p || !q || !dp || !dq || !qi) return nullptr;
    if (OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, dd.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qi.get()) != 1)
        return nullptr;
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* out = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return nullptr;
    return Pkey(out);
}

Pkey rsa_public_pkey(const Bytes& modulus, const Bytes& exponent) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    Bn n = bn_from(modulus), e = bn_from(exponent);
    if (!bld || !n || !e || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return nullptr;
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* out = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Pkey(out);
}

std::optional<Bytes> rsa_decrypt_with(const RsaKey& key, const Bytes& input, int padding) {
    Pkey pkey = rsa_pkey(key);
    if (!pkey) return std::nullopt;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1)
        return std::nullopt;
    size_t len = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, input.data(), input.size()) != 1) return std::nullopt;
    Bytes out(len);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, input.data(), input.size()) != 1) {
        wipe(out);
        return std::nullopt;
    }
    out.resize(len);
    return out;
}

Bytes digest_info_prefix(const char* digest_name) {
    if (std::strcmp(digest_name, "SHA1") == 0)
        return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    if (std::strcmp(digest_name, "SHA256") == 0)
        return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    return {};
}

std::optional<Bytes> pkcs1_sign_block(size_t k, const char* digest_name, const Bytes& data) {
    Bytes prefix = digest_info_prefix(digest_name);
    Bytes hash = digest(digest_name, data);
    if (prefix.empty() || hash.empty() || prefix.size() + hash.size() + 11 > k) return std::nullopt;
    Bytes block{0x00, 0x01};
    block.insert(block.end(), k - 3 - prefix.size() - hash.size(), 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), prefix.begin(), prefix.end());
    block.insert(block.end(), hash.begin(), hash.end());
    return block;
}

// SM2 keys.
std::unique_ptr<EC_GROUP, GroupFree> sm2_group() {
    return std::unique_ptr<EC_GROUP, GroupFree>(EC_GROUP_new_by_curve_name(NID_sm2));
}

Pkey sm2_pkey(const Bytes* d, const Bytes& x, const Bytes& y) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    Bytes pub{0x04};
    pub.insert(pub.end(), x.begin(), x.end());
    pub.insert(pub.end(), y.begin(), y.end());
    Bn priv;
    if (OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()) != 1)
        return nullptr;
    if (d != nullptr) {
        priv = bn_from(*d);
        if (!priv || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1) return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* out = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &out, d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Pkey(out);
}

// Minimal DER for the SM2 signature and ciphertext structures.
void der_len(Bytes& out, size_t len) {
    if (len < 0x80) {
        out.push_back(static_cast<uint8_t>(len));
    } else if (len < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
    }
}
void der_integer(Bytes& out, const uint8_t* v, size_t n) {
    while (n > 1 && v[0] == 0) {
        ++v;
        --n;
    }
    Bytes body;
    if (n == 0 || (v[0] & 0x80) != 0) body.push_back(0);
    body.insert(body.end(), v, v + n);
    out.push_back(0x02);
    der_len(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
}
void der_octets(Bytes& out, const uint8_t* v, size_t n) {
    out.push_back(0x04);
    der_len(out, n);
    out.insert(out.end(), v, v + n);
}
Bytes der_sequence(const Bytes& body) {
    Bytes out{0x30};
    der_len(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

struct DerReader {
    const Bytes& b;
    size_t pos = 0;
    bool read(uint8_t tag, const uint8_t*& v, size_t& n) {
        if (pos + 2 > b.size() || b[pos] != tag) return false;
        size_t len = b[pos + 1];
        pos += 2;
        if (len == 0x81 || len == 0x82) {
            size_t bytes = len - 0x80;
            if (pos + bytes > b.size()) return false;
            len = 0;
            for (size_t i = 0; i < bytes; ++i) len = len * 256 + b[pos + i];
            pos += bytes;
        } else if (len > 0x80) {
            return false;
        }
        if (pos + len > b.size()) return false;
        v = b.data() + pos;
        n = len;
        pos += len;
        return true;
    }
    // An unsigned INTEGER as exactly `width` bytes.
    bool integer(size_t width, Bytes& out) {
        const uint8_t* v;
        size_t n;
        if (!read(0x02, v, n)) return false;
        while (n > 0 && v[0] == 0) {
            ++v;
            --n;
        }
        if (n > width) return false;
        out.assign(width - n, 0);
        out.insert(out.end(), v, v + n);
        return true;
    }
};

}  // namespace

const Bytes kSm2DefaultId{'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8'};

size_t block_size(uint8_t alg) {
    switch (alg) {
    case kAlgTwoKeyTripleDes:
    case kAlgDes:
        return 8;
    case kAlgTokenCipherA:
    case kAlgTokenCipherB:
    case kAlgSm4:
        return 16;
    default:
        return 0;
    }
}

std::optional<Bytes> ecb(uint8_t alg, const Bytes& key, const Bytes& in, bool encrypt) {
    size_t b = block_size(alg);
    if (b == 0 || in.size() % b != 0) return std::nullopt;
    const EVP_CIPHER* cipher = nullptr;
    SecureBytes k;
    if (!cipher_for(alg, key, false, cipher, k.get())) return std::nullopt;
    return run_cipher(cipher, k.get(), nullptr, in, encrypt);
}

std::optional<Bytes> cbc(uint8_t alg, const Bytes& key, Bytes& iv, const Bytes& in, bool encrypt) {
    size_t b = block_size(alg);
    if (b == 0 || in.size() % b != 0 || iv.size() != b) return std::nullopt;
    const EVP_CIPHER* cipher = nullptr;
    SecureBytes k;
    if (!cipher_for(alg, key, true, cipher, k.get())) return std::nullopt;
    auto out = run_cipher(cipher, k.get(), iv.data(), in, encrypt);
    if (out && !in.empty()) {
        const Bytes& last = encrypt ? *out : in;
        iv.assign(last.end() - static_cast<std::ptrdiff_t>(b), last.end());
    }
    return out;
}

Bytes pad80(const Bytes& data, size_t block) {
    Bytes out = data;
    out.push_back(0x80);
    while (out.size() % block != 0) out.push_back(0x00);
    return out;
}

std::optional<Bytes> unpad80(const Bytes& data) {
    size_t i = data.size();
    while (i > 0 && data[i - 1] == 0x00) --i;
    if (i == 0 || data[i - 1] != 0x80) return std::nullopt;
    return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(i - 1));
}

std::optional<Bytes> cbc_mac(uint8_t alg, const Bytes& key, const Bytes& iv, const Bytes& data, size_t mac_len) {
    size_t b = block_size(alg);
    if (b == 0 || iv.size() != b || mac_len > b) return std::nullopt;
    Bytes chain = iv;
    Bytes padded = pad80(data, b);
    auto out = cbc(alg, key, chain, padded, true);
    if (!out) return std::nullopt;
    return Bytes(out->end() - static_cast<std::ptrdiff_t>(b), out->end() - static_cast<std::ptrdiff_t>(b - mac_len));
}

Bytes random_bytes(size_t n) {
    Bytes out(n);
    if (n != 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1) return {};
    return out;
}

Bytes digest(const char* name, const Bytes& data) {
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, name, nullptr), &EVP_MD_free);
    if (!md) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, md.get(), nullptr) != 1) return {};
    out.resize(len);
    return out;
}

std::optional<Bytes> sm4_ecb(const Bytes& key, const Bytes& in) { return ecb(kAlgSm4, key, in, true); }

Rc4::Rc4(const Bytes& key) {
    for (int i = 0; i < 256; ++i) s_[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    if (key.empty()) return;
    uint8_t j = 0;
    for (size_t i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + s_[i] + key[i % key.size()]);
        std::swap(s_[i], s_[j]);
    }
}

Rc4::~Rc4() { wipe(s_.data(), s_.size()); }

void Rc4::apply(uint8_t* data, size_t size) {
    for (size_t n = 0; n < size; ++n) {
        i_ = static_cast<uint8_t>(i_ + 1);
        j_ = static_cast<uint8_t>(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
        data[n] ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
    }
}

RsaKey::~RsaKey() {
    for (auto& p : parts) wipe(p);
}

bool rsa_generate(unsigned bits, RsaKey& out) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return false;
    Pkey key(raw);
    size_t k = bits / 8, h = bits / 16;
    out.modulus = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, k);
    out.exponent = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, 4);
    out.parts[0] = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, h);
    out.parts[1] = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, h);
    out.parts[2] = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, h);
    out.parts[3] = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, h);
    out.parts[4] = get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, h);
    SecureBytes d(get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_D, k));
    if (out.modulus.empty() || out.exponent.empty() || d.get().empty()) return false;
    for (size_t i = 0; i < 5; ++i)
        if (out.parts[i].empty()) return false;
    out.parts[6].assign(d.get().begin(), d.get().begin() + static_cast<std::ptrdiff_t>(h));
    out.parts[5].assign(d.get().begin() + static_cast<std::ptrdiff_t>(h), d.get().end());
    return true;
}

std::optional<Bytes> rsa_private_raw(const RsaKey& key, const Bytes& input) {
    if (input.size() != key.modulus.size()) return std::nullopt;
    if (std::lexicographical_compare(key.modulus.begin(), key.modulus.end(), input.begin(), input.end()) ||
        input == key.modulus)
        return std::nullopt;
    auto out = rsa_decrypt_with(key, input, RSA_NO_PADDING);
    if (out && out->size() < key.modulus.size()) out->insert(out->begin(), key.modulus.size() - out->size(), 0);
    return out;
}

std::optional<Bytes> rsa_private_decrypt_pkcs1(const RsaKey& key, const Bytes& input) {
    if (input.size() != key.modulus.size()) return std::nullopt;
    return rsa_decrypt_with(key, input, RSA_PKCS1_PADDING);
}

std::optional<Bytes> rsa_sign_pkcs1(const RsaKey& key, const char* digest_name, const Bytes& data) {
    auto block = pkcs1_sign_block(key.modulus.size(), digest_name, data);
    if (!block) return std::nullopt;
    return rsa_private_raw(key, *block);
}

bool rsa_verify_pkcs1(const Bytes& modulus, const Bytes& exponent, const char* digest_name, const Bytes& data,
                      const Bytes& signature) {
    Pkey pkey = rsa_public_pkey(modulus, exponent);
    if (!pkey) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestVerifyInit_ex(md.get(), nullptr, digest_name, nullptr, nullptr, pkey.get(), nullptr) != 1)
        return false;
    return EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

bool sm2_generate(Bytes& d, Bytes& x, Bytes& y) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_generate(ctx.get(), &raw) != 1) return false;
    Pkey key(raw);
    d = get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32);
    return !d.empty() && sm2_public_from_private(d, x, y);
}

bool sm2_public_from_private(const Bytes& d, Bytes& x, Bytes& y) {
    auto group = sm2_group();
    std::unique_ptr<BN_CTX, BnCtxFree> bctx(BN_CTX_new());
    Bn k = bn_from(d), bx(BN_new()), by(BN_new());
    if (!group || !bctx || !k || !bx || !by || BN_is_zero(k.get()) ||
        BN_cmp(k.get(), EC_GROUP_get0_order(group.get())) >= 0)
        return false;
    std::unique_ptr<EC_POINT, PointFree> p(EC_POINT_new(group.get()));
    if (!p || EC_POINT_mul(group.get(), p.get(), k.get(), nullptr, nullptr, bctx.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group.get(), p.get(), bx.get(), by.get(), bctx.get()) != 1)
        return false;
    x = bn_to_bytes(bx.get(), 32);
    y = bn_to_bytes(by.get(), 32);
    return x.size() == 32 && y.size() == 32;
}

bool sm2_point_valid(const Bytes& x, const Bytes& y) {
    if (x.size() != 32 || y.size() != 32) return false;
    auto group = sm2_group();
    std::unique_ptr<BN_CTX, BnCtxFree> bctx(BN_CTX_new());
    Bn bx = bn_from(x), by = bn_from(y);
    if (!group || !bctx || !bx || !by) return false;
    std::unique_ptr<EC_POINT, PointFree> p(EC_POINT_new(group.get()));
    return p && EC_POINT_set_affine_coordinates(group.get(), p.get(), bx.get(), by.get(), bctx.get()) == 1 &&
           EC_POINT_is_on_curve(group.get(), p.get(), bctx.get()) == 1;
}

std::optional<Bytes> sm2_za(const Bytes& id, const Bytes& x, const Bytes& y) {
    if (id.size() > 8191 || x.size() != 32 || y.size() != 32) return std::nullopt;
    auto group = sm2_group();
    std::unique_ptr<BN_CTX, BnCtxFree> bctx(BN_CTX_new());
    Bn p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    if (!group || !bctx || !p || !a || !b || !gx || !gy ||
        EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bctx.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(), gy.get(),
                                        bctx.get()) != 1)
        return std::nullopt;
    Bytes m;
    put_u16(m, static_cast<uint16_t>(id.size() * 8));
    m.insert(m.end(), id.begin(), id.end());
    for (const BIGNUM* v : {a.get(), b.get(), gx.get(), gy.get()}) {
        Bytes part = bn_to_bytes(v, 32);
        m.insert(m.end(), part.begin(), part.end());
    }
    m.insert(m.end(), x.begin(), x.end());
    m.insert(m.end(), y.begin(), y.end());
    Bytes z = digest("SM3", m);
    if (z.size() != 32) return std::nullopt;
    return z;
}

std::optional<Bytes> sm2_sign(const Bytes& d, const Bytes& x, const Bytes& y, const Bytes& e) {
    if (e.size() != 32) return std::nullopt;
    Pkey key = sm2_pkey(&d, x, y);
    if (!key) return std::nullopt;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return std::nullopt;
    size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, e.data(), e.size()) != 1) return std::nullopt;
    Bytes der(len);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &len, e.data(), e.size()) != 1) return std::nullopt;
    der.resize(len);
    DerReader rd{der};
    const uint8_t* v;
    size_t n;
    Bytes r, s;
    if (!rd.read(0x30, v, n)) return std::nullopt;
    rd.pos = static_cast<size_t>(v - der.data());
    if (!rd.integer(32, r) || !rd.integer(32, s)) return std::nullopt;
    r.insert(r.end(), s.begin(), s.end());
    return r;
}

bool sm2_verify(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& signature) {
    if (e.size() != 32 || signature.size() != 64) return false;
    Pkey key = sm2_pkey(nullptr, x, y);
    if (!key) return false;
    Bytes body;
    der_integer(body, signature.data(), 32);
    der_integer(body, signature.data() + 32, 32);
    Bytes der = der_sequence(body);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), e.data(), e.size()) == 1;
}

std::optional<Bytes> sm2_encrypt(const Bytes& x, const Bytes& y, const Bytes& plain) {
    if (plain.empty()) return std::nullopt;
    Pkey key = sm2_pkey(nullptr, x, y);
    if (!key) return std::nullopt;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1) return std::nullopt;
    size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) != 1) return std::nullopt;
    Bytes der(len);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &len, plain.data(), plain.size()) != 1) return std::nullopt;
    der.resize(len);
    DerReader rd{der};
    const uint8_t* v;
    size_t n;
    if (!rd.read(0x30, v, n)) return std::nullopt;
    rd.pos = static_cast<size_t>(v - der.data());
    Bytes cx, cy;
    const uint8_t *c3, *c2;
    size_t n3, n2;
    if (!rd.integer(32, cx) || !rd.integer(32, cy) || !rd.read(0x04, c3, n3) || !rd.read(0x04, c2, n2) || n3 != 32)
        return std::nullopt;
    Bytes out = cx;
    out.insert(out.end(), cy.begin(), cy.end());
    out.insert(out.end(), c3, c3 + n3);
    out.insert(out.end(), c2, c2 + n2);
    return out;
}

std::optional<Bytes> sm2_decrypt(const Bytes& d, const Bytes& x, const Bytes& y, const Bytes& cipher) {
    if (cipher.size() <= 96) return std::nullopt;
    Pkey key = sm2_pkey(&d, x, y);
    if (!key) return std::nullopt;
    Bytes body;
    der_integer(body, cipher.data(), 32);
    der_integer(body, cipher.data() + 32, 32);
    der_octets(body, cipher.data() + 64, 32);
    der_octets(body, cipher.data() + 96, cipher.size() - 96);
    Bytes der = der_sequence(body);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1) return std::nullopt;
    size_t len = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, der.data(), der.size()) != 1) return std::nullopt;
    Bytes out(len);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, der.data(), der.size()) != 1) {
        wipe(out);
        return std::nullopt;
    }
    out.resize(len);
    return out;
}

}  // namespace crypto
}  // namespace qx::vtoken
