// The RSA object on 1024- and 2048-bit keys made by libcrypto: every row of
// the key block / direction / padding table, cross-checked with libcrypto's RSA.
#include "test_support.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <map>

using namespace softalg_test;

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PctxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Pctx = std::unique_ptr<EVP_PKEY_CTX, PctxFree>;

struct Key {
    Pkey pkey;
    RsaPublicKeyBlock pub;
    RsaPrivateKeyBlock priv;
    size_t size;  // modulus bytes
};

void put(EVP_PKEY* pkey, const char* name, uint8_t* field, size_t width) {
    BIGNUM* bn = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(pkey, name, &bn), 1) << name;
    ASSERT_GT(BN_bn2binpad(bn, field, static_cast<int>(width)), 0) << name;
    BN_clear_free(bn);
}

const Key& key_of(unsigned bits) {
    static std::map<unsigned, std::unique_ptr<Key>> keys;
    auto& slot = keys[bits];
    if (!slot) {
        slot = std::make_unique<Key>();
        Key& k = *slot;
        k.pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
        EXPECT_TRUE(k.pkey);
        std::memset(&k.pub, 0, sizeof k.pub);
        std::memset(&k.priv, 0, sizeof k.priv);
        k.pub.bits = k.priv.bits = bits;
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_N, k.pub.modulus, 256);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_E, k.pub.publicExponent, 256);
        std::memcpy(k.priv.modulus, k.pub.modulus, 256);
        std::memcpy(k.priv.publicExponent, k.pub.publicExponent, 256);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_D, k.priv.privateExponent, 256);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, k.priv.prime[0], 128);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, k.priv.prime[1], 128);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, k.priv.primeExponent[0], 128);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, k.priv.primeExponent[1], 128);
        put(k.pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, k.priv.coefficient, 128);
        k.size = bits / 8;
    }
    return *slot;
}

enum class Op { Encrypt, Decrypt, Sign, Recover };

// libcrypto's own RSA: Encrypt/Recover with the public key, Decrypt/Sign with the private key.
Bytes reference(const Key& k, Op op, int padding, const Bytes& in) {
    Pctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey.get(), nullptr));
    size_t len = 512;
    Bytes out(len);
    int ok = 0;
    switch (op) {
        case Op::Encrypt:
            ok = EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
                 EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
            break;
        case Op::Decrypt:
            ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
                 EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
            break;
        case Op::Sign:
            ok = EVP_PKEY_sign_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
                 EVP_PKEY_sign(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
            break;
        case Op::Recover:
            ok = EVP_PKEY_verify_recover_init(ctx.get()) == 1 &&
                 EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1 &&
                 EVP_PKEY_verify_recover(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
            break;
    }
    EXPECT_TRUE(ok) << "libcrypto reference operation failed";
    out.resize(ok ? len : 0);
    return out;
}

uint32_t rsa(const void* block, uint32_t blockSize, uint32_t direction, uint32_t padding, const Bytes& in, Bytes* out,
             Cipher* reuse = nullptr) {
    CipherPtr owned;
    Cipher* c = reuse;
    if (c == nullptr) {
        owned = make_cipher(QXSA_CIPHER_RSA);
        c = owned.get();
    }
    const uint32_t status =
        c->Init(QXSA_MODE_CBC, static_cast<const uint8_t*>(block), blockSize, nullptr, 0, direction, padding);
    if (status != QXSA_OK) return status;
    return process(c, in, out);
}

uint32_t pub(const Key& k, uint32_t dir, uint32_t pad, const Bytes& in, Bytes* out) {
    return rsa(&k.pub, sizeof k.pub, dir, pad, in, out);
}
uint32_t priv(const Key& k, uint32_t dir, uint32_t pad, const Bytes& in, Bytes* out) {
    return rsa(&k.priv, sizeof k.priv, dir, pad, in, out);
}

Bytes below_modulus(const Key& k, uint8_t seed) {
    Bytes x(k.size);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<uint8_t>(seed + 13 * i);
    x[0] = 0x01;
    return x;
}

class RsaTable : public ::testing::TestWithParam<unsigned> {};

TEST_P(RsaTable, PublicEncryptPkcs1) {
    const Key& k = key_of(GetParam());
    for (size_t n : {size_t{0}, size_t{1}, k.size - 11}) {
        const Bytes data = Bytes(n, 0x5A);
        Bytes ct, again;
        ASSERT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, data, &ct), QXSA_OK) << n;
        ASSERT_EQ(ct.size(), k.size);
        EXPECT_EQ(reference(k, Op::Decrypt, RSA_PKCS1_PADDING, ct), data);
        Bytes back;
        ASSERT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, ct, &back), QXSA_OK);
        EXPECT_EQ(back, data);
        // The padding bytes are random: the same data never enciphers the same twice.
        ASSERT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, data, &again), QXSA_OK);
        EXPECT_NE(again, ct);
    }
    Bytes out;
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, Bytes(k.size - 10, 1), &out), QXSA_ERR_RSA_DATA_LEN);
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, Bytes(k.size, 1), &out), QXSA_ERR_RSA_DATA_LEN);
}

TEST_P(RsaTable, PublicEncryptRaw) {
    const Key& k = key_of(GetParam());
    const Bytes x = below_modulus(k, 3);
    Bytes out;
    ASSERT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_NONE, x, &out), QXSA_OK);
    EXPECT_EQ(out, reference(k, Op::Encrypt, RSA_NO_PADDING, x));
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.size - 1, 1), &out), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.size + 1, 1), &out), QXSA_ERR_INVALID_PARAM);
    // The modulus itself and anything above are not below the modulus.
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.pub.modulus + 256 - k.size, k.pub.modulus + 256), &out),
              QXSA_ERR_RSA_INPUT);
    EXPECT_EQ(pub(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.size, 0xFF), &out), QXSA_ERR_RSA_INPUT);
}

TEST_P(RsaTable, PublicDecryptPkcs1) {
    const Key& k = key_of(GetParam());
    for (size_t n : {size_t{0}, size_t{20}, k.size - 11}) {
        const Bytes data(n, 0xA5);
        Bytes out;
        ASSERT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Sign, RSA_PKCS1_PADDING, data), &out), QXSA_OK);
        EXPECT_EQ(out, data);
    }
    Bytes out;
    // A block that is not 00 01 FF.. 00: the raw image of arbitrary numbers, and type 2 blocks.
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, below_modulus(k, 9), &out), QXSA_ERR_RSA_INPUT);
    Bytes type2(k.size, 0x33);
    type2[0] = 0;
    type2[1] = 2;
    type2[20] = 0;
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Sign, RSA_NO_PADDING, type2), &out),
              QXSA_ERR_RSA_INPUT);
    // Fewer than eight FF bytes leaves too much data.
    Bytes shortPad(k.size, 0x44);
    shortPad[0] = 0;
    shortPad[1] = 1;
    std::memset(shortPad.data() + 2, 0xFF, 7);
    shortPad[9] = 0;
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Sign, RSA_NO_PADDING, shortPad), &out),
              QXSA_ERR_RSA_INPUT);
    shortPad[9] = 0xFF;
    shortPad[10] = 0;
    ASSERT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Sign, RSA_NO_PADDING, shortPad), &out), QXSA_OK);
    EXPECT_EQ(out.size(), k.size - 11);
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, Bytes(k.size - 1, 1), &out), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, Bytes(k.size, 0xFF), &out), QXSA_ERR_RSA_INPUT);
}

TEST_P(RsaTable, PublicDecryptRaw) {
    const Key& k = key_of(GetParam());
    const Bytes x = below_modulus(k, 21);
    Bytes out;
    ASSERT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_NONE, x, &out), QXSA_OK);
    EXPECT_EQ(out, reference(k, Op::Recover, RSA_NO_PADDING, x));
    EXPECT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_NONE, Bytes(12, 1), &out), QXSA_ERR_INVALID_PARAM);
}

TEST_P(RsaTable, PrivateEncryptPkcs1) {
    const Key& k = key_of(GetParam());
    const Bytes data(k.size - 11, 0x17);
    Bytes sig, back;
    ASSERT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, data, &sig), QXSA_OK);
    ASSERT_EQ(sig.size(), k.size);
    EXPECT_EQ(sig, reference(k, Op::Sign, RSA_PKCS1_PADDING, data));
    ASSERT_EQ(pub(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, sig, &back), QXSA_OK);
    EXPECT_EQ(back, data);
    // The input must be exactly modulus length - 11.
    EXPECT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, Bytes(100, 1), &sig), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_PKCS1, Bytes(k.size - 10, 1), &sig), QXSA_ERR_INVALID_PARAM);
}

TEST_P(RsaTable, PrivateEncryptRaw) {
    const Key& k = key_of(GetParam());
    const Bytes x = below_modulus(k, 77);
    Bytes out;
    ASSERT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_NONE, x, &out), QXSA_OK);
    EXPECT_EQ(out, reference(k, Op::Sign, RSA_NO_PADDING, x));
    EXPECT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.size, 0xFF), &out), QXSA_ERR_RSA_INPUT);
    EXPECT_EQ(priv(k, QXSA_ENCRYPT, QXSA_PAD_NONE, Bytes(k.size - 11, 1), &out), QXSA_ERR_INVALID_PARAM);
}

TEST_P(RsaTable, PrivateDecryptPkcs1) {
    const Key& k = key_of(GetParam());
    for (size_t n : {size_t{0}, size_t{16}, k.size - 11}) {
        const Bytes data(n, 0x3C);
        Bytes out;
        ASSERT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Encrypt, RSA_PKCS1_PADDING, data), &out),
                  QXSA_OK);
        EXPECT_EQ(out, data);
    }
    Bytes out;
    // A type 1 block (a signature image) or no zero separator: bad format.
    EXPECT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Sign, RSA_PKCS1_PADDING, Bytes(5, 1)), &out),
              QXSA_ERR_RSA_INPUT);
    Bytes noSep(k.size, 0x66);
    noSep[0] = 0;
    noSep[1] = 2;
    EXPECT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, reference(k, Op::Encrypt, RSA_NO_PADDING, noSep), &out),
              QXSA_ERR_RSA_INPUT);
    EXPECT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_PKCS1, Bytes(k.size + 1, 1), &out), QXSA_ERR_INVALID_PARAM);
}

TEST_P(RsaTable, PrivateDecryptRaw) {
    const Key& k = key_of(GetParam());
    const Bytes x = below_modulus(k, 40);
    Bytes out;
    ASSERT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_NONE, x, &out), QXSA_OK);
    EXPECT_EQ(out, reference(k, Op::Decrypt, RSA_NO_PADDING, x));
    EXPECT_EQ(priv(k, QXSA_DECRYPT, QXSA_PAD_NONE, Bytes(), &out), QXSA_ERR_INVALID_PARAM);
}

INSTANTIATE_TEST_SUITE_P(Keys, RsaTable, ::testing::Values(1024u, 2048u),
                         [](const ::testing::TestParamInfo<unsigned>& i) { return "Rsa" + std::to_string(i.param); });

TEST(Rsa, SpecifiedExampleWith1024BitPrivateKey) {
    const Key& k = key_of(1024);
    CipherPtr c = make_cipher(QXSA_CIPHER_RSA);
    Bytes sig, back;
    const Bytes data(117, 0x42);
    ASSERT_EQ(rsa(&k.priv, 1412, QXSA_ENCRYPT, QXSA_PAD_PKCS1, data, &sig, c.get()), QXSA_OK);
    EXPECT_EQ(sig.size(), 128u);
    EXPECT_EQ(rsa(&k.priv, 1412, QXSA_ENCRYPT, QXSA_PAD_PKCS1, Bytes(100, 0x42), &back, c.get()),
              QXSA_ERR_INVALID_PARAM);
    // The same object switched to the public block.
    ASSERT_EQ(rsa(&k.pub, 516, QXSA_DECRYPT, QXSA_PAD_PKCS1, sig, &back, c.get()), QXSA_OK);
    EXPECT_EQ(back, data);
}

TEST(Rsa, InitArgumentsAndUninitialisedObject) {
    const Key& k = key_of(1024);
    CipherPtr c = make_cipher(QXSA_CIPHER_RSA);
    Bytes out(256);
    uint32_t len = 0;
    const Bytes data(128, 1);
    EXPECT_EQ(c->Process(data.data(), 128, out.data(), &len), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(c->Update(data.data(), 128), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(c->Final(out.data(), &len), QXSA_ERR_INVALID_PARAM);
    const uint8_t* pubBlock = reinterpret_cast<const uint8_t*>(&k.pub);
    EXPECT_EQ(c->Init(0, pubBlock, 515, nullptr, 0, 1, 6), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(c->Init(0, pubBlock, 1411, nullptr, 0, 1, 6), QXSA_ERR_INVALID_PARAM);
    EXPECT_EQ(c->Init(0, nullptr, 516, nullptr, 0, 1, 6), QXSA_ERR_INVALID_PARAM);
    for (uint32_t pad : {1u, 5u, 7u}) {
        EXPECT_EQ(c->Init(0, pubBlock, 516, nullptr, 0, 1, pad), QXSA_ERR_INVALID_PARAM) << pad;
    }
    RsaPublicKeyBlock odd = k.pub;
    odd.bits = 0;
    EXPECT_EQ(c->Init(0, reinterpret_cast<const uint8_t*>(&odd), 516, nullptr, 0, 1, 0), QXSA_ERR_INVALID_PARAM);
    odd.bits = 4096;
    EXPECT_EQ(c->Init(0, reinterpret_cast<const uint8_t*>(&odd), 516, nullptr, 0, 1, 0), QXSA_ERR_INVALID_PARAM);
    // Still uninitialised after the refusals.
    EXPECT_EQ(c->Final(out.data(), &len), QXSA_ERR_INVALID_PARAM);
    // Update/Final after Init: the collected input is processed in one piece.
    ASSERT_EQ(c->Init(0, pubBlock, 516, nullptr, 0, QXSA_ENCRYPT, QXSA_PAD_PKCS1), QXSA_OK);
    ASSERT_EQ(c->Update(data.data(), 60), QXSA_OK);
    ASSERT_EQ(c->Update(data.data(), 57), QXSA_OK);
    ASSERT_EQ(c->Final(out.data(), &len), QXSA_OK);
    ASSERT_EQ(len, 128u);
    Bytes back = reference(k, Op::Decrypt, RSA_PKCS1_PADDING, Bytes(out.begin(), out.begin() + 128));
    EXPECT_EQ(back, Bytes(117, 1));
}

TEST(Rsa, InconsistentPrivateBlockIsNotUsed) {
    // A damaged prime gives a wrong CRT result; it is caught, not returned.
    const Key& k = key_of(1024);
    RsaPrivateKeyBlock bad = k.priv;
    bad.primeExponent[0][127] ^= 0x02;
    Bytes out;
    EXPECT_EQ(rsa(&bad, 1412, QXSA_ENCRYPT, QXSA_PAD_NONE, below_modulus(k, 5), &out), QXSA_ERR_INTERNAL);
}

}  // namespace

namespace {

TEST(Rsa, RepeatedPrivateOperationsOnOneObjectAcrossKeys) {
    // The object keeps state between private-key operations (blinding); many
    // operations in a row, and a change of key in between, must stay exact.
    const Key& a = key_of(1024);
    const Key& b = key_of(2048);
    CipherPtr c = make_cipher(QXSA_CIPHER_RSA);
    for (int i = 0; i < 70; ++i) {
        const Key& k = (i / 20) % 2 == 0 ? a : b;
        const Bytes x = below_modulus(k, static_cast<uint8_t>(i));
        Bytes out;
        ASSERT_EQ(rsa(&k.priv, 1412, QXSA_DECRYPT, QXSA_PAD_NONE, x, &out, c.get()), QXSA_OK) << i;
        ASSERT_EQ(out, reference(k, Op::Decrypt, RSA_NO_PADDING, x)) << i;
    }
}

}  // namespace
