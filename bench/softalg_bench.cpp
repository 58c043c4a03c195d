// Throughput of every digest and cipher of QXSoftAlg through its objects, next
// to libcrypto's EVP interface on the same data (64 bytes, 1 KiB, 16 KiB).
// Names: <algorithm>/<qx|evp>/<bytes>.  MD2 has no EVP counterpart.
#include "QXSoftAlg.h"

#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const size_t kSizes[] = {64, 1024, 16384};

// EVP algorithms come from a context with the default and legacy providers,
// as the library's own do.
OSSL_LIB_CTX* evp_context() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(c, "default");
        OSSL_PROVIDER_load(c, "legacy");
        return c;
    }();
    return ctx;
}

std::vector<uint8_t> data_of(size_t n) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 31 + 7);
    return d;
}

struct DigestCase {
    const char* name;
    uint32_t id;
    const char* evp;  // null: none
};
const DigestCase kDigests[] = {{"MD2", QXSA_MD_MD2, nullptr},  {"MD4", QXSA_MD_MD4, "MD4"},
                               {"MD5", QXSA_MD_MD5, "MD5"},    {"SHA1", QXSA_MD_SHA1, "SHA1"},
                               {"SHA256", QXSA_MD_SHA256, "SHA256"}, {"SHA384", QXSA_MD_SHA384, "SHA384"},
                               {"SHA512", QXSA_MD_SHA512, "SHA512"}, {"SM3", QXSA_MD_SM3, "SM3"}};

void digest_qx(benchmark::State& state, uint32_t id, size_t n) {
    MessageDigest* md = QXCreateMessageDigest(id);
    const std::vector<uint8_t> data = data_of(n);
    uint8_t out[64];
    for (auto _ : state) {
        uint32_t len = sizeof out;
        if (md->Digest(data.data(), static_cast<uint32_t>(n), out, &len) != QXSA_OK) state.SkipWithError("Digest");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    QXDestroyMessageDigest(md);
}

void digest_evp(benchmark::State& state, const char* name, size_t n) {
    EVP_MD* md = EVP_MD_fetch(evp_context(), name, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const std::vector<uint8_t> data = data_of(n);
    uint8_t out[64];
    for (auto _ : state) {
        unsigned int len = 0;
        if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, data.data(), n) != 1 ||
            EVP_DigestFinal_ex(ctx, out, &len) != 1) {
            state.SkipWithError("EVP digest");
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

struct CipherCase {
    const char* name;
    uint32_t id;
    uint32_t mode;  // 0: stream
    size_t key;
    size_t iv;
    const char* evp;
};
const CipherCase kCiphers[] = {
    {"DES-ECB", QXSA_CIPHER_DES, QXSA_MODE_ECB, 8, 0, "DES-ECB"},
    {"DES-CBC", QXSA_CIPHER_DES, QXSA_MODE_CBC, 8, 8, "DES-CBC"},
    {"DES-EDE2-ECB", QXSA_CIPHER_DES_EDE2, QXSA_MODE_ECB, 16, 0, "DES-EDE-ECB"},
    {"DES-EDE2-CBC", QXSA_CIPHER_DES_EDE2, QXSA_MODE_CBC, 16, 8, "DES-EDE-CBC"},
    {"DES-EDE3-ECB", QXSA_CIPHER_DES_EDE3, QXSA_MODE_ECB, 24, 0, "DES-EDE3-ECB"},
    {"DES-EDE3-CBC", QXSA_CIPHER_DES_EDE3, QXSA_MODE_CBC, 24, 8, "DES-EDE3-CBC"},
    {"AES128-ECB", QXSA_CIPHER_AES, QXSA_MODE_ECB, 16, 0, "AES-128-ECB"},
    {"AES128-CBC", QXSA_CIPHER_AES, QXSA_MODE_CBC, 16, 16, "AES-128-CBC"},
    {"AES256-ECB", QXSA_CIPHER_AES, QXSA_MODE_ECB, 32, 0, "AES-256-ECB"},
    {"AES256-CBC", QXSA_CIPHER_AES, QXSA_MODE_CBC, 32, 16, "AES-256-CBC"},
    {"SM4-ECB", QXSA_CIPHER_SM4, QXSA_MODE_ECB, 16, 0, "SM4-ECB"},
    {"SM4-CBC", QXSA_CIPHER_SM4, QXSA_MODE_CBC, 16, 16, "SM4-CBC"},
    {"RC2-ECB", QXSA_CIPHER_RC2, QXSA_MODE_ECB, 16, 0, "RC2-ECB"},
    {"RC2-CBC", QXSA_CIPHER_RC2, QXSA_MODE_CBC, 16, 8, "RC2-CBC"},
    {"RC4", QXSA_CIPHER_RC4, 0, 16, 0, "RC4"},
};

void cipher_qx(benchmark::State& state, const CipherCase& c, size_t n) {
    Cipher* cipher = QXCreateCipher(c.id);
    const std::vector<uint8_t> key = data_of(c.key), iv = data_of(c.iv ? c.iv : 1), data = data_of(n);
    std::vector<uint8_t> out(n + 16);
    if (cipher->Init(c.mode, key.data(), static_cast<uint32_t>(c.key), iv.data(), static_cast<uint32_t>(c.iv),
                     QXSA_ENCRYPT, QXSA_PAD_NONE) != QXSA_OK) {
        state.SkipWithError("Init");
    }
    for (auto _ : state) {
        uint32_t len = 0;
        if (cipher->Process(data.data(), static_cast<uint32_t>(n), out.data(), &len) != QXSA_OK) {
            state.SkipWithError("Process");
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    QXDestroyCipher(cipher);
}

void cipher_evp(benchmark::State& state, const CipherCase& c, size_t n) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(evp_context(), c.evp, nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const std::vector<uint8_t> key = data_of(c.key), iv = data_of(c.iv ? c.iv : 1), data = data_of(n);
    std::vector<uint8_t> out(n + 16);
    size_t keylen = c.key;
    unsigned int keybits = 128;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_KEYLEN, &keylen),
                           OSSL_PARAM_construct_uint(OSSL_CIPHER_PARAM_RC2_KEYBITS, &keybits),
                           OSSL_PARAM_construct_end()};
    if (c.id != QXSA_CIPHER_RC2) params[1] = OSSL_PARAM_construct_end();
    if (EVP_EncryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_params(ctx, params) != 1 ||
        EVP_EncryptInit_ex2(ctx, nullptr, key.data(), c.iv ? iv.data() : nullptr, nullptr) != 1) {
        state.SkipWithError("EVP init");
    }
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int len = 0;
        if (EVP_EncryptUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(n)) != 1) {
            state.SkipWithError("EVP update");
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

// RSA-2048: one private-key and one public-key operation on a raw block.
struct RsaKey {
    EVP_PKEY* pkey = nullptr;
    RsaPublicKeyBlock pub{};
    RsaPrivateKeyBlock priv{};
};

const RsaKey& rsa_key() {
    static RsaKey key = [] {
        RsaKey k;
        k.pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
        auto put = [&](const char* name, uint8_t* field, int width) {
            BIGNUM* bn = nullptr;
            EVP_PKEY_get_bn_param(k.pkey, name, &bn);
            BN_bn2binpad(bn, field, width);
            BN_clear_free(bn);
        };
        k.pub.bits = k.priv.bits = 2048;
        put(OSSL_PKEY_PARAM_RSA_N, k.pub.modulus, 256);
        put(OSSL_PKEY_PARAM_RSA_E, k.pub.publicExponent, 256);
        std::memcpy(k.priv.modulus, k.pub.modulus, 256);
        std::memcpy(k.priv.publicExponent, k.pub.publicExponent, 256);
        put(OSSL_PKEY_PARAM_RSA_D, k.priv.privateExponent, 256);
        put(OSSL_PKEY_PARAM_RSA_FACTOR1, k.priv.prime[0], 128);
        put(OSSL_PKEY_PARAM_RSA_FACTOR2, k.priv.prime[1], 128);
        put(OSSL_PKEY_PARAM_RSA_EXPONENT1, k.priv.primeExponent[0], 128);
        put(OSSL_PKEY_PARAM_RSA_EXPONENT2, k.priv.primeExponent[1], 128);
        put(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k.priv.coefficient, 128);
        return k;
    }();
    return key;
}

void rsa_qx(benchmark::State& state, bool isPrivate) {
    const RsaKey& k = rsa_key();
    Cipher* c = QXCreateCipher(QXSA_CIPHER_RSA);
    std::vector<uint8_t> in = data_of(256), out(256);
    in[0] = 0x01;
    c->Init(0, isPrivate ? reinterpret_cast<const uint8_t*>(&k.priv) : reinterpret_cast<const uint8_t*>(&k.pub),
            isPrivate ? 1412 : 516, nullptr, 0, QXSA_ENCRYPT, QXSA_PAD_NONE);
    for (auto _ : state) {
        uint32_t len = 0;
        if (c->Process(in.data(), 256, out.data(), &len) != QXSA_OK) state.SkipWithError("Process");
        benchmark::DoNotOptimize(out.data());
    }
    QXDestroyCipher(c);
}

void rsa_evp(benchmark::State& state, bool isPrivate) {
    const RsaKey& k = rsa_key();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey, nullptr);
    std::vector<uint8_t> in = data_of(256), out(256);
    in[0] = 0x01;
    if (isPrivate) {
        EVP_PKEY_sign_init(ctx);
    } else {
        EVP_PKEY_encrypt_init(ctx);
    }
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    for (auto _ : state) {
        size_t len = out.size();
        const int ok = isPrivate ? EVP_PKEY_sign(ctx, out.data(), &len, in.data(), 256)
                                 : EVP_PKEY_encrypt(ctx, out.data(), &len, in.data(), 256);
        if (ok != 1) state.SkipWithError("EVP RSA");
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
}

void register_all() {
    for (const DigestCase& d : kDigests) {
        for (size_t n : kSizes) {
            const std::string size = "/" + std::to_string(n);
            benchmark::RegisterBenchmark((std::string(d.name) + "/qx" + size).c_str(), digest_qx, d.id, n);
            if (d.evp != nullptr) {
                benchmark::RegisterBenchmark((std::string(d.name) + "/evp" + size).c_str(), digest_evp, d.evp, n);
            }
        }
    }
    for (const CipherCase& c : kCiphers) {
        for (size_t n : kSizes) {
            const std::string size = "/" + std::to_string(n);
            benchmark::RegisterBenchmark((std::string(c.name) + "/qx" + size).c_str(), cipher_qx, c, n);
            benchmark::RegisterBenchmark((std::string(c.name) + "/evp" + size).c_str(), cipher_evp, c, n);
        }
    }
    for (bool isPrivate : {true, false}) {
        const std::string name = isPrivate ? "RSA2048-private" : "RSA2048-public";
        benchmark::RegisterBenchmark((name + "/qx/256").c_str(), rsa_qx, isPrivate);
        benchmark::RegisterBenchmark((name + "/evp/256").c_str(), rsa_evp, isPrivate);
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
