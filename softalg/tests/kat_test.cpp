// Known-answer tests: every digest and cipher against the published vectors
// of its standard, through the library's objects.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace softalg_test;

namespace {

struct DigestSuite {
    uint32_t algorithm;
    uint32_t length;
    std::vector<std::string> files;
};

Bytes message_of(const Record& r) {
    const unsigned long bits = std::stoul(r.at("Len"));
    Bytes msg = r.bytes("Msg");
    msg.resize(bits / 8);  // "Msg = 00" stands for the empty message
    return msg;
}

class DigestVectors : public ::testing::TestWithParam<DigestSuite> {};

TEST_P(DigestVectors, OneCallAndPiecewiseGiveTheStandardDigest) {
    const DigestSuite& suite = GetParam();
    DigestPtr md = make_digest(suite.algorithm);
    ASSERT_TRUE(md);
    size_t count = 0;
    for (const std::string& file : suite.files) {
        for (const Record& r : load_records(file)) {
            const Bytes msg = message_of(r);
            const std::string expected = r.at("MD");
            Bytes out(64, 0);
            uint32_t len = static_cast<uint32_t>(out.size());
            ASSERT_EQ(md->Init(), QXSA_OK);
            if (!msg.empty()) {
                ASSERT_EQ(md->Digest(msg.data(), static_cast<uint32_t>(msg.size()), out.data(), &len), QXSA_OK);
                ASSERT_EQ(len, suite.length);
                out.resize(len);
                EXPECT_EQ(to_hex(out), expected) << file << " Len=" << r.at("Len");
            }
            // The same message in uneven pieces that straddle block boundaries.
            ASSERT_EQ(md->Init(), QXSA_OK);
            static const size_t pieces[] = {1, 63, 2, 129, 17, 64, 5};
            size_t pos = 0;
            for (size_t i = 0; pos < msg.size(); ++i) {
                const size_t take = std::min(pieces[i % 7], msg.size() - pos);
                ASSERT_EQ(md->Update(msg.data() + pos, static_cast<uint32_t>(take)), QXSA_OK);
                pos += take;
            }
            Bytes out2(64, 0);
            len = static_cast<uint32_t>(out2.size());
            ASSERT_EQ(md->Final(out2.data(), &len), QXSA_OK);
            out2.resize(len);
            EXPECT_EQ(to_hex(out2), expected) << file << " Len=" << r.at("Len") << " (pieces)";
            ++count;
        }
    }
    EXPECT_GT(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Standards, DigestVectors,
    ::testing::Values(DigestSuite{QXSA_MD_MD2, 16, {"md2-rfc1319.txt"}},
                      DigestSuite{QXSA_MD_MD4, 16, {"md4-rfc1320.txt"}},
                      DigestSuite{QXSA_MD_MD5, 16, {"md5-rfc1321.txt"}},
                      DigestSuite{QXSA_MD_SHA1, 20, {"sha1-cavp-short.rsp", "sha1-cavp-long.rsp"}},
                      DigestSuite{QXSA_MD_SHA256, 32, {"sha256-cavp-short.rsp", "sha256-cavp-long.rsp"}},
                      DigestSuite{QXSA_MD_SHA384, 48, {"sha384-cavp-short.rsp", "sha384-cavp-long.rsp"}},
                      DigestSuite{QXSA_MD_SHA512, 64, {"sha512-cavp-short.rsp", "sha512-cavp-long.rsp"}},
                      DigestSuite{QXSA_MD_SM3, 32, {"sm3-gbt32905.txt"}}),
    [](const ::testing::TestParamInfo<DigestSuite>& info) { return "Alg" + std::to_string(info.param.algorithm); });

// Runs one block-cipher vector both ways (padding 0) under one algorithm.
void check_block_vector(uint32_t algorithm, const Bytes& key, const Record& r, const std::string& where) {
    CipherPtr c = make_cipher(algorithm);
    ASSERT_TRUE(c) << where;
    const Bytes iv = r.has("IV") ? r.bytes("IV") : Bytes();
    const uint32_t mode = iv.empty() ? QXSA_MODE_ECB : QXSA_MODE_CBC;
    const Bytes pt = r.bytes("PLAINTEXT");
    const Bytes ct = r.bytes("CIPHERTEXT");
    Bytes out;
    ASSERT_EQ(crypt(c.get(), mode, key, iv, QXSA_ENCRYPT, QXSA_PAD_NONE, pt, &out), QXSA_OK) << where;
    EXPECT_EQ(to_hex(out), to_hex(ct)) << where << " encrypt";
    ASSERT_EQ(crypt(c.get(), mode, key, iv, QXSA_DECRYPT, QXSA_PAD_NONE, ct, &out), QXSA_OK) << where;
    EXPECT_EQ(to_hex(out), to_hex(pt)) << where << " decrypt";
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(CipherVectors, DesAndTripleDes) {
    const char* const files[] = {
        "des-fips46.txt",          "tdes-cavp-TECBvarkey.rsp",  "tdes-cavp-TECBvartext.rsp", "tdes-cavp-TECBinvperm.rsp",
        "tdes-cavp-TECBpermop.rsp", "tdes-cavp-TECBsubtab.rsp", "tdes-cavp-TECBMMT1.rsp",    "tdes-cavp-TECBMMT2.rsp",
        "tdes-cavp-TECBMMT3.rsp",  "tdes-cavp-TCBCvarkey.rsp",  "tdes-cavp-TCBCvartext.rsp", "tdes-cavp-TCBCinvperm.rsp",
        "tdes-cavp-TCBCpermop.rsp", "tdes-cavp-TCBCsubtab.rsp", "tdes-cavp-TCBCMMT1.rsp",    "tdes-cavp-TCBCMMT2.rsp",
        "tdes-cavp-TCBCMMT3.rsp"};
    size_t des = 0, ede2 = 0, ede3 = 0;
    for (const char* file : files) {
        for (const Record& r : load_records(file)) {
            const std::string where = std::string(file) + " COUNT=" + (r.has("COUNT") ? r.at("COUNT") : "?");
            Bytes k1, k2, k3;
            if (r.has("KEYs")) {
                k1 = k2 = k3 = r.bytes("KEYs");
            } else {
                k1 = r.bytes("KEY1");
                k2 = r.bytes("KEY2");
                k3 = r.bytes("KEY3");
            }
            if (k1 == k2 && k2 == k3) {
                check_block_vector(QXSA_CIPHER_DES, k1, r, where + " DES");
                ++des;
            }
            if (k1 == k3) {
                check_block_vector(QXSA_CIPHER_DES_EDE2, concat({k1, k2}), r, where + " EDE2");
                ++ede2;
            }
            check_block_vector(QXSA_CIPHER_DES_EDE3, concat({k1, k2, k3}), r, where + " EDE3");
            ++ede3;
        }
    }
    EXPECT_GT(des, 100u);
    EXPECT_GT(ede2, 100u);
    EXPECT_GT(ede3, 100u);
}

TEST(CipherVectors, Aes) {
    std::vector<std::string> files = {"aes-fips197.txt"};
    for (const char* mode : {"ECB", "CBC"}) {
        for (const char* kind : {"GFSbox", "KeySbox", "MMT", "VarTxt"}) {
            for (const char* bits : {"128", "192", "256"}) {
                files.push_back(std::string("aes-cavp-") + mode + kind + bits + ".rsp");
            }
        }
    }
    size_t count = 0;
    for (const std::string& file : files) {
        for (const Record& r : load_records(file)) {
            check_block_vector(QXSA_CIPHER_AES, r.bytes("KEY"), r, file + " COUNT=" + r.at("COUNT"));
            ++count;
        }
    }
    EXPECT_GT(count, 1000u);
}

TEST(CipherVectors, Sm4) {
    for (const char* file : {"sm4-ecb.txt", "sm4-cbc.txt"}) {
        for (const Record& r : load_records(file)) {
            check_block_vector(QXSA_CIPHER_SM4, r.bytes("KEY"), r, std::string(file) + " COUNT=" + r.at("COUNT"));
        }
    }
}

TEST(CipherVectors, Sm4RepeatedEncryption) {
    // Example 2 encrypts its own output a million times: each round goes
    // through Process on the same ECB object, then back down by decryption.
    for (const Record& r : load_records("sm4-gbt32907.txt")) {
        const unsigned long rounds = std::stoul(r.at("ITERATIONS"));
        CipherPtr enc = make_cipher(QXSA_CIPHER_SM4);
        ASSERT_TRUE(enc);
        const Bytes key = r.bytes("KEY");
        ASSERT_EQ(enc->Init(QXSA_MODE_ECB, key.data(), 16, nullptr, 0, QXSA_ENCRYPT, QXSA_PAD_NONE), QXSA_OK);
        uint8_t block[16];
        const Bytes pt = r.bytes("PLAINTEXT");
        std::copy(pt.begin(), pt.end(), block);
        uint32_t len = 0;
        for (unsigned long i = 0; i < rounds; ++i) {
            ASSERT_EQ(enc->Process(block, 16, block, &len), QXSA_OK);
        }
        EXPECT_EQ(to_hex(Bytes(block, block + 16)), r.at("CIPHERTEXT")) << rounds << " rounds";
        if (rounds > 1) {
            // Decrypting back a bounded number of rounds and re-encrypting must meet again.
            CipherPtr dec = make_cipher(QXSA_CIPHER_SM4);
            ASSERT_EQ(dec->Init(QXSA_MODE_ECB, key.data(), 16, nullptr, 0, QXSA_DECRYPT, QXSA_PAD_NONE), QXSA_OK);
            for (int i = 0; i < 1000; ++i) {
                ASSERT_EQ(dec->Process(block, 16, block, &len), QXSA_OK);
            }
            for (int i = 0; i < 1000; ++i) {
                ASSERT_EQ(enc->Process(block, 16, block, &len), QXSA_OK);
            }
            EXPECT_EQ(to_hex(Bytes(block, block + 16)), r.at("CIPHERTEXT"));
        }
    }
}

TEST(CipherVectors, Rc2With128EffectiveBits) {
    for (const Record& r : load_records("rc2-rfc2268.txt")) {
        check_block_vector(QXSA_CIPHER_RC2, r.bytes("KEY"), r, "rc2 COUNT=" + r.at("COUNT"));
    }
}

TEST(CipherVectors, Rc4KeyStream) {
    size_t count = 0;
    for (const char* bits : {"40", "56", "64", "80", "128", "192", "256"}) {
        const std::string file = std::string("rc4-rfc6229-") + bits + ".txt";
        for (const Record& r : load_records(file)) {
            CipherPtr c = make_cipher(QXSA_CIPHER_RC4);
            ASSERT_TRUE(c);
            const Bytes key = r.bytes("KEY");
            const size_t offset = std::stoul(r.at("OFFSET"));
            ASSERT_EQ(c->Init(0, key.data(), static_cast<uint32_t>(key.size()), nullptr, 0, 0, 0), QXSA_OK);
            // Skip to the offset in a separate call: the stream continues across calls.
            Bytes skip(offset, 0), out;
            ASSERT_EQ(process(c.get(), skip, &out), QXSA_OK);
            ASSERT_EQ(process(c.get(), r.bytes("PLAINTEXT"), &out), QXSA_OK);
            EXPECT_EQ(to_hex(out), r.at("CIPHERTEXT")) << file << " OFFSET=" << offset;
            ++count;
        }
    }
    EXPECT_GT(count, 100u);
}

}  // namespace
