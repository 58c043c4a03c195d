#include "rsa_public.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "capi.h"

namespace qx::csp {

namespace {

uint32_t u32_le(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
void put_u32_le(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes strip(const uint8_t* p, std::size_t n) {
    while (n && *p == 0) ++p, --n;
    return Bytes(p, p + n);
}

// Owning EVP_PKEY of an RSA public key.
struct HostKey {
    EVP_PKEY* pkey = nullptr;
    explicit HostKey(const RsaPublic& k) {
        BIGNUM* bn = BN_bin2bn(k.modulus.data(), static_cast<int>(k.modulus.size()), nullptr);
        BIGNUM* be = BN_new();
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        if (bn && be && BN_set_word(be, k.exponent) == 1 && bld && ctx &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn) == 1 &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be) == 1 &&
            (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1)
            EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        EVP_PKEY_CTX_free(ctx);
        BN_free(bn);
        BN_free(be);
    }
    ~HostKey() { EVP_PKEY_free(pkey); }
    HostKey(const HostKey&) = delete;
    HostKey& operator=(const HostKey&) = delete;
};

struct PkeyCtx {
    EVP_PKEY_CTX* ctx;
    explicit PkeyCtx(EVP_PKEY* k) : ctx(k ? EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr) : nullptr) {}
    ~PkeyCtx() { EVP_PKEY_CTX_free(ctx); }
    PkeyCtx(const PkeyCtx&) = delete;
    PkeyCtx& operator=(const PkeyCtx&) = delete;
};

}  // namespace

uint32_t RsaPublic::bits() const {
    if (modulus.empty()) return 0;
    uint32_t b = static_cast<uint32_t>(modulus.size()) * 8;
    for (uint8_t top = modulus[0]; !(top & 0x80); top <<= 1) --b;
    return b;
}

bool rsa_from_key_block(const uint8_t* block, uint32_t length, RsaPublic* key) {
    if (!block || length != 516) return false;
    const uint32_t bits = u32_le(block);
    if (bits < 512 || bits > 2048 || bits % 8) return false;
    key->modulus = strip(block + 4, 256);
    const Bytes e = strip(block + 260, 256);
    if (e.empty() || e.size() > 4 || key->bits() != bits) return false;
    key->exponent = 0;
    for (uint8_t b : e) key->exponent = (key->exponent << 8) | b;
    return true;
}

Bytes public_key_blob(const RsaPublic& key, uint32_t algId) {
    Bytes out{capi::kPublicKeyBlob, capi::kBlobVersion, 0, 0};
    put_u32_le(out, algId);
    put_u32_le(out, capi::kRsa1Magic);
    const uint32_t bits = key.bits();
    put_u32_le(out, bits);
    put_u32_le(out, key.exponent);
    Bytes n(bits / 8 + (bits % 8 ? 1 : 0), 0);
    std::copy(key.modulus.begin(), key.modulus.end(), n.end() - static_cast<std::ptrdiff_t>(key.modulus.size()));
    out.insert(out.end(), n.rbegin(), n.rend());
    return out;
}

bool parse_public_key_blob(const uint8_t* blob, uint32_t length, RsaPublic* key, uint32_t* algId) {
    if (!blob || length < 20 || blob[0] != capi::kPublicKeyBlob || blob[1] != capi::kBlobVersion) return false;
    if (u32_le(blob + 8) != capi::kRsa1Magic) return false;
    const uint32_t bits = u32_le(blob + 12);
    if (bits < 512 || bits > 4096 || bits % 8 || length < 20 + bits / 8) return false;
    *algId = u32_le(blob + 4);
    key->exponent = u32_le(blob + 16);
    Bytes n(blob + 20, blob + 20 + bits / 8);
    std::reverse(n.begin(), n.end());
    key->modulus = strip(n.data(), n.size());
    return key->exponent != 0 && key->bits() == bits;
}

bool private_blob_to_key_block(const uint8_t* blob, uint32_t length, Bytes* block, uint32_t* algId, uint32_t* bits) {
    if (!blob || length < 20 || blob[0] != capi::kPrivateKeyBlob || blob[1] != capi::kBlobVersion) return false;
    if (u32_le(blob + 8) != capi::kRsa2Magic) return false;
    const uint32_t b = u32_le(blob + 12);
    if ((b != 1024 && b != 2048)) return false;
    const uint32_t n = b / 8, h = b / 16;
    if (length < 20 + n + 5 * h + n) return false;
    *algId = u32_le(blob + 4);
    *bits = b;
    block->assign(1412, 0);
    uint8_t* out = block->data();
    out[0] = static_cast<uint8_t>(b);
    out[1] = static_cast<uint8_t>(b >> 8);
    // Little-endian field of `size` bytes into a right-aligned big-endian field of `width`.
    auto field = [&](const uint8_t* src, uint32_t size, uint8_t* dst, uint32_t width) {
        for (uint32_t i = 0; i < size; ++i) dst[width - 1 - i] = src[i];
    };
    const uint32_t e = u32_le(blob + 16);
    for (int i = 0; i < 4; ++i) out[260 + 255 - i] = static_cast<uint8_t>(e >> (8 * i));
    const uint8_t* p = blob + 20;
    field(p, n, out + 4, 256);
    p += n;
    field(p, h, out + 772, 128);
    p += h;
    field(p, h, out + 900, 128);
    p += h;
    field(p, h, out + 1028, 128);
    p += h;
    field(p, h, out + 1156, 128);
    p += h;
    field(p, h, out + 1284, 128);
    p += h;
    field(p, n, out + 516, 256);
    return true;
}

bool rsa_verify_pkcs1(const RsaPublic& key, const Bytes& message, const Bytes& signature) {
    HostKey k(key);
    PkeyCtx c(k.pkey);
    if (!c.ctx || EVP_PKEY_verify_init(c.ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(c.ctx, RSA_PKCS1_PADDING) != 1)
        return false;
    return EVP_PKEY_verify(c.ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
}

bool rsa_encrypt_pkcs1(const RsaPublic& key, const Bytes& data, Bytes* out) {
    HostKey k(key);
    PkeyCtx c(k.pkey);
    if (!c.ctx || EVP_PKEY_encrypt_init(c.ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(c.ctx, RSA_PKCS1_PADDING) != 1)
        return false;
    std::size_t size = 0;
    if (EVP_PKEY_encrypt(c.ctx, nullptr, &size, data.data(), data.size()) != 1) return false;
    out->assign(size, 0);
    if (EVP_PKEY_encrypt(c.ctx, out->data(), &size, data.data(), data.size()) != 1) return false;
    out->resize(size);
    return true;
}

}  // namespace qx::csp
