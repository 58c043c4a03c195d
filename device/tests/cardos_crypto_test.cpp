// Known answers for the token's primitives and the transport link cipher.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "device/cardos/cardos.h"
#include "device/cardos/crypto.h"
#include "device/tests/card_fixture.h"

namespace qx::vtoken::test {

bool openssl_sm2_verify(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& rs) {
    Bytes pub{0x04};
    pub.insert(pub.end(), x.begin(), x.end());
    pub.insert(pub.end(), y.begin(), y.end());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(kctx);
    EVP_PKEY_fromdata(kctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    // r || s to DER.
    auto integer = [](Bytes& out, const uint8_t* v) {
        size_t n = 32;
        while (n > 1 && *v == 0) {
            ++v;
            --n;
        }
        bool pad = (*v & 0x80) != 0;
        out.push_back(0x02);
        out.push_back(static_cast<uint8_t>(n + (pad ? 1 : 0)));
        if (pad) out.push_back(0);
        out.insert(out.end(), v, v + n);
    };
    Bytes body;
    integer(body, rs.data());
    integer(body, rs.data() + 32);
    Bytes der{0x30, static_cast<uint8_t>(body.size())};
    der.insert(der.end(), body.begin(), body.end());
    bool ok = false;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (key != nullptr && md != nullptr && pctx != nullptr &&
        EVP_PKEY_CTX_set1_id(pctx, crypto::kSm2DefaultId.data(), crypto::kSm2DefaultId.size()) == 1) {
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        ok = EVP_DigestVerifyInit_ex(md, nullptr, "SM3", nullptr, nullptr, key, nullptr) == 1 &&
             EVP_DigestVerify(md, der.data(), der.size(), msg.data(), msg.size()) == 1;
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(kctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}

namespace {

TEST(TokenCrypto, BlockCipherKnownAnswers) {
    // SM4: GB/T 32907 example.
    auto sm4 = crypto::ecb(crypto::kAlgSm4, hex("0123456789abcdeffedcba9876543210"),
                           hex("0123456789abcdeffedcba9876543210"), true);
    ASSERT_TRUE(sm4);
    EXPECT_EQ(hexs(*sm4), "681EDF34D206965E86B3E94F536E4246");
    // Camellia-128: RFC 3713, for both of the token's own cipher bytes.
    for (uint8_t alg : {crypto::kAlgTokenCipherA, crypto::kAlgTokenCipherB}) {
        auto c = crypto::ecb(alg, hex("0123456789abcdeffedcba9876543210"), hex("0123456789abcdeffedcba9876543210"), true);
        ASSERT_TRUE(c);
        EXPECT_EQ(hexs(*c), "67673138549669730857065648EABE43");
    }
    // DES (FIPS 46 worked example), keyed with the first 8 of 16 bytes.
    auto des = crypto::ecb(crypto::kAlgDes, hex("133457799BBCDFF1 0000000000000000"), hex("0123456789ABCDEF"), true);
    ASSERT_TRUE(des);
    EXPECT_EQ(hexs(*des), "85E813540F0AB405");
    // Two-key triple DES with K1 = K2 is single DES.
    auto tdes = crypto::ecb(crypto::kAlgTwoKeyTripleDes, hex("133457799BBCDFF1133457799BBCDFF1"),
                            hex("0123456789ABCDEF"), true);
    ASSERT_TRUE(tdes);
    EXPECT_EQ(hexs(*tdes), "85E813540F0AB405");
    auto back = crypto::ecb(crypto::kAlgTwoKeyTripleDes, hex("133457799BBCDFF1133457799BBCDFF1"), *tdes, false);
    EXPECT_EQ(hexs(*back), "0123456789ABCDEF");
    // Bad lengths and algorithms.
    EXPECT_FALSE(crypto::ecb(crypto::kAlgSm4, Bytes(16, 0), Bytes(15, 0), true));
    EXPECT_FALSE(crypto::ecb(crypto::kAlgSm4, Bytes(8, 0), Bytes(16, 0), true));
    EXPECT_FALSE(crypto::ecb(9, Bytes(16, 0), Bytes(16, 0), true));
}

TEST(TokenCrypto, PaddingAndMac) {
    EXPECT_EQ(hexs(crypto::pad80(hex("0102"), 8)), "0102800000000000");
    EXPECT_EQ(hexs(crypto::pad80(hex("0102030405060708"), 8)), "01020304050607088000000000000000");
    EXPECT_EQ(hexs(*crypto::unpad80(hex("0102800000"))), "0102");
    EXPECT_FALSE(crypto::unpad80(hex("0102000000")));
    EXPECT_FALSE(crypto::unpad80(Bytes{}));
    // The MAC is the CBC chain over the padded data, cut to its length.
    Bytes key = hex("0123456789abcdeffedcba9876543210"), iv(16, 0);
    auto mac = crypto::cbc_mac(crypto::kAlgSm4, key, iv, hex("0123456789abcdeffedcba98765432"), 4);
    auto full = crypto::ecb(crypto::kAlgSm4, key, hex("0123456789abcdeffedcba9876543280"), true);
    ASSERT_TRUE(mac && full);
    EXPECT_EQ(hexs(*mac), hexs(Bytes(full->begin(), full->begin() + 4)));
}

TEST(TokenCrypto, Rc4AndTransportLink) {
    // RFC 6229, 40-bit key 0102030405, key stream at offset 0.
    Bytes zero(8, 0);
    crypto::Rc4 rc4(hex("0102030405"));
    rc4.apply(zero.data(), zero.size());
    EXPECT_EQ(hexs(zero), "B2396305F03DC027");
    // The link cipher leaves byte 5 in clear and is its own inverse.
    Bytes material = hex("00112233445566778899AABBCCDDEEFF");
    Bytes cmd = hex("00A40000023F01");
    Bytes enc = transport_encipher_command(material, cmd);
    EXPECT_EQ(enc[4], 0x02);
    EXPECT_NE(enc, cmd);
    EXPECT_EQ(transport_encipher_command(material, enc), cmd);
    // Session key: SM4-ECB of the material under the fixed key, then RC4 from the start.
    auto session = crypto::sm4_ecb(Bytes{'H', 'A', 'L', 'C', 'Y', 'O', 'N', 'B', 'R', 'I', 'D', 'G', 'E', 'K', 'E', 'Y'},
                                   material);
    ASSERT_TRUE(session);
    Bytes expect = cmd;
    crypto::Rc4 r(*session);
    r.apply(expect.data(), 4);
    r.apply(expect.data() + 5, expect.size() - 5);
    EXPECT_EQ(enc, expect);
}

TEST(TokenCrypto, Sm2ZaMatchesOpenSslSignatures) {
    Bytes d, x, y;
    ASSERT_TRUE(crypto::sm2_generate(d, x, y));
    Bytes msg = hex("616263");
    auto za = crypto::sm2_za(crypto::kSm2DefaultId, x, y);
    ASSERT_TRUE(za);
    Bytes m = *za;
    m.insert(m.end(), msg.begin(), msg.end());
    auto sig = crypto::sm2_sign(d, x, y, crypto::digest("SM3", m));
    ASSERT_TRUE(sig);
    EXPECT_TRUE(openssl_sm2_verify(x, y, msg, *sig));
    Bytes other = *sig;
    other[40] ^= 1;
    EXPECT_FALSE(openssl_sm2_verify(x, y, msg, other));
    Bytes x2, y2;
    ASSERT_TRUE(crypto::sm2_public_from_private(d, x2, y2));
    EXPECT_EQ(x2, x);
    EXPECT_EQ(y2, y);
    EXPECT_FALSE(crypto::sm2_public_from_private(Bytes(32, 0), x2, y2));
    EXPECT_FALSE(crypto::sm2_point_valid(x, x));
}

}  // namespace
}  // namespace qx::vtoken::test
