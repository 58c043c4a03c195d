// Paddings, the MAC routine, session keys in software and the token's
// cipher, digest and random commands, driven through a scripted transport.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "crypto/block_mac.h"
#include "crypto/block_padding.h"
#include "crypto/token_crypto.h"
#include "key/sym_key.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes seq(std::size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

// A reference cipher run straight through libcrypto, without padding.
Bytes openssl(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EXPECT_EQ(1, EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                                   encrypt ? 1 : 0));
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size() + 32);
    int n = 0, m = 0;
    EXPECT_EQ(1, EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m));
    out.resize(static_cast<std::size_t>(n + m));
    return out;
}

class SymCryptoTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H("0102030405060708"));
        record.device = &dev;
        register_handle(&record, HandleKind::Device);
    }
    void TearDown() override {
        unregister_handle(&record, HandleKind::Device);
        KernelTest::TearDown();
    }
    std::unique_ptr<QXSymKeyBase> key(uint32_t algorithm, const Bytes& bytes) {
        std::unique_ptr<QXKey> k = make_sym_key(algorithm);
        EXPECT_NE(nullptr, k);
        auto* sym = static_cast<QXSymKeyBase*>(k.release());
        std::unique_ptr<QXSymKeyBase> owned(sym);
        EXPECT_EQ(ERR_OK, owned->Import(nullptr, 0, 0, bytes.data(), static_cast<uint32_t>(bytes.size())));
        owned->bind_device(&record);
        return owned;
    }
    // Runs a message through the key in parts of `part` bytes (0: one call).
    static uint32_t run(QXKey& k, bool encrypt, const Bytes& in, std::size_t part, Bytes& out) {
        out.assign(in.size() + 64, 0);
        std::size_t pos = 0, produced = 0;
        do {
            const std::size_t n = part && in.size() - pos > part ? part : in.size() - pos;
            const uint32_t final = pos + n == in.size();
            uint32_t len = static_cast<uint32_t>(out.size() - produced);
            const uint32_t rc = encrypt ? k.Encrypt(final, in.data() + pos, uint32_t(n), out.data() + produced, &len)
                                        : k.Decrypt(final, in.data() + pos, uint32_t(n), out.data() + produced, &len);
            if (rc != ERR_OK) return rc;
            pos += n;
            produced += len;
        } while (pos < in.size());
        out.resize(produced);
        return ERR_OK;
    }

    ScriptedTransport dev;
    DeviceRecord record;
};

// --- block paddings --------------------------------------------------------

TEST(BlockPadding, EachValueAddsOneToABlockAndComesOffAgain) {
    struct Case {
        uint32_t padding, block;
        std::size_t length;
        const char* tail;  // the bytes added (random ones of value 2 are not compared)
    } cases[] = {
        {1, 16, 16, "10101010101010101010101010101010"},
        {1, 8, 5, "030303"},
        {2, 8, 6, "??02"},
        {3, 8, 3, "0000000000"},
        {4, 16, 15, "01"},
        {4, 8, 4, "00000004"},
        {5, 8, 7, "80"},
        {5, 8, 8, "8000000000000000"},
        {0, 16, 32, ""},
    };
    for (const auto& c : cases) {
        Bytes data = seq(c.length, 0x41);
        ASSERT_EQ(ERR_OK, apply_padding(c.padding, c.block, data)) << c.padding;
        const std::string tail = c.tail;
        ASSERT_EQ(c.length + tail.size() / 2, data.size()) << c.padding << "/" << c.length;
        std::string added = hex(data.data() + c.length, data.size() - c.length);
        std::string want = hex(H(tail == "??02" ? "000002" : tail));
        if (c.padding == 2) added = added.substr(added.size() - 2), want = want.substr(want.size() - 2);
        EXPECT_EQ(want, added) << c.padding << "/" << c.length;
        uint32_t kept = 0;
        ASSERT_EQ(ERR_OK, remove_padding(c.padding, c.block, data.data(), uint32_t(data.size()), &kept));
        EXPECT_EQ(c.length, kept) << c.padding;
    }
}

TEST(BlockPadding, RefusedPaddingAndRemoval) {
    Bytes ragged = seq(5);
    EXPECT_EQ(ERR_INVALID_PARAM, apply_padding(0, 8, ragged));
    EXPECT_EQ(ERR_INVALID_PARAM, apply_padding(6, 8, ragged));
    EXPECT_EQ(ERR_INVALID_PARAM, apply_padding(1, 0, ragged));
    struct Case {
        uint32_t padding;
        const char* data;
        uint32_t block;
        uint32_t status, kept;
    } cases[] = {
        {1, "4142434400", 8, ERR_INVALID_PARAM, 0},          // a count of 0
        {1, "414243444546474809", 8, ERR_INVALID_PARAM, 0},  // a count beyond the block
        {4, "0505", 8, ERR_INVALID_PARAM, 0},                // a count beyond the data
        {2, "41424344454647484142434445464708", 8, ERR_OK, 8},
        {5, "4142434445800000", 8, ERR_OK, 5},
        {5, "4142434445461200", 8, ERR_OK, 8},               // no 0x80 before the zeros: nothing dropped
        {5, "0000000000000000", 8, ERR_OK, 8},
        {3, "4100410000000000", 8, ERR_OK, 3},
        {7, "41", 8, ERR_INVALID_PARAM, 0},
    };
    for (const auto& c : cases) {
        const Bytes d = H(c.data);
        uint32_t kept = 0;
        EXPECT_EQ(c.status, remove_padding(c.padding, c.block, d.data(), uint32_t(d.size()), &kept)) << c.data;
        if (c.status == ERR_OK) {
            EXPECT_EQ(c.kept, kept) << c.data;
        }
    }
}

// --- the MAC routine --------------------------------------------------------

TEST_F(SymCryptoTest, MacIsTheLastCbcBlockOfThe80PaddedDataWhicheverKeyHoldsTheCipher) {
    const Bytes aesKey = H("000102030405060708090A0B0C0D0E0F");
    const Bytes iv = H("F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF");
    for (std::size_t length : {0u, 1u, 15u, 16u, 40u}) {
        const Bytes data = seq(length, 0x30);
        Bytes padded = data;
        pad_80(padded, 16);
        const Bytes chain = openssl(EVP_aes_128_cbc(), aesKey, iv, padded, true);
        const std::string want = hex(chain.data() + chain.size() - 16, 8);

        SoftEcbEncryptor soft(state().soft_alg(), 0x400, 16);
        ASSERT_EQ(ERR_OK, soft.init(aesKey.data(), 16));
        uint8_t mac[8];
        ASSERT_EQ(ERR_OK, block_mac(soft, iv.data(), data.data(), data.size(), mac, 8));
        EXPECT_EQ(want, hex(mac, 8)) << length;

        auto k = key(0x400, aesKey);
        k->padding = 1;
        ASSERT_EQ(ERR_OK, sym_key_mac(*k, iv.data(), data.data(), uint32_t(data.size()), mac, 8));
        EXPECT_EQ(want, hex(mac, 8)) << length;
        EXPECT_EQ(2u, k->mode);
        EXPECT_EQ(0u, k->padding);
    }
    SoftEcbEncryptor soft(state().soft_alg(), 0x400, 16);
    ASSERT_EQ(ERR_OK, soft.init(aesKey.data(), 16));
    uint8_t mac[16];
    EXPECT_EQ(ERR_INVALID_PARAM, block_mac(soft, iv.data(), nullptr, 0, mac, 17));
    EXPECT_EQ(ERR_INVALID_PARAM, block_mac(soft, iv.data(), nullptr, 0, mac, 0));
}

// --- session keys in software -----------------------------------------------

TEST_F(SymCryptoTest, MessageInPartsEqualsOneCallAndComesBack) {
    struct Case {
        uint32_t algorithm;
        const EVP_CIPHER* (*reference)();
        std::size_t keyBytes, block;
    } cases[] = {
        {0x400, EVP_aes_128_cbc, 16, 16},
        {0x200, EVP_des_ede_cbc, 16, 8},
        {0x300, EVP_des_ede3_cbc, 24, 8},
    };
    for (const auto& c : cases) {
        for (uint32_t padding : {1u, 3u, 4u, 5u}) {
            const Bytes keyBytes = seq(c.keyBytes, 0x11);
            const Bytes iv = seq(c.block, 0xA0);
            const Bytes message = seq(5 * c.block + 3, 0x20);
            auto k = key(c.algorithm, keyBytes);
            k->iv.assign(iv.data(), iv.size());
            k->mode = 1;
            k->padding = padding;
            Bytes whole, parts, back;
            ASSERT_EQ(ERR_OK, run(*k, true, message, 0, whole)) << c.algorithm << "/" << padding;
            ASSERT_EQ(ERR_OK, run(*k, true, message, 2 * c.block, parts)) << c.algorithm << "/" << padding;
            EXPECT_EQ(hex(whole), hex(parts)) << c.algorithm << "/" << padding;
            // The library's padding on the reference's CBC.
            Bytes padded = message;
            ASSERT_EQ(ERR_OK, apply_padding(padding, uint32_t(c.block), padded));
            EXPECT_EQ(hex(openssl(c.reference(), keyBytes, iv, padded, true)), hex(whole));
            ASSERT_EQ(ERR_OK, run(*k, false, parts, c.block, back)) << c.algorithm << "/" << padding;
            EXPECT_EQ(hex(message), hex(back)) << c.algorithm << "/" << padding;
        }
    }
}

TEST_F(SymCryptoTest, SoftwareKeyRefusals) {
    auto k = key(0x400, seq(16));
    uint8_t out[64];
    struct Case {
        uint32_t final;
        uint32_t length;
        uint32_t room;
        uint32_t status, lengthAfter;
    } cases[] = {
        {0, 20, 64, ERR_INVALID_PARAM, 64},     // a middle part that is not whole blocks
        {1, 16, 31, ERR_BUFFER_TOO_SMALL, 32},  // padding 1 adds a whole block
        {1, 17, 31, ERR_BUFFER_TOO_SMALL, 32},
        {0, 32, 16, ERR_BUFFER_TOO_SMALL, 32},
        {1, 0, 64, ERR_INVALID_PARAM, 64},
        {1, 17, 32, ERR_OK, 32},
    };
    const Bytes in = seq(64);
    for (const auto& c : cases) {
        uint32_t len = c.room;
        EXPECT_EQ(c.status, k->Encrypt(c.final, in.data(), c.length, out, &len)) << c.length << "/" << c.room;
        EXPECT_EQ(c.lengthAfter, len) << c.length << "/" << c.room;
    }
    uint32_t len = sizeof out;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Encrypt(1, nullptr, 16, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k->Encrypt(1, in.data(), 16, nullptr, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k->Decrypt(1, in.data(), 16, out, nullptr));
    // An RC4 key has no block: parts of any length, never a division by zero.
    auto rc4 = key(0x1100, seq(16));
    Bytes whole, parts;
    const Bytes message = seq(37);
    ASSERT_EQ(ERR_OK, run(*rc4, true, message, 0, whole));
    ASSERT_EQ(ERR_OK, run(*rc4, true, message, 5, parts));
    EXPECT_EQ(hex(whole), hex(parts));
}

TEST_F(SymCryptoTest, AKeyPrimedOneWayStartsAfreshTheOtherWay) {
    auto k = key(0x400, seq(16));
    k->iv.assign(seq(16, 0x80).data(), 16);
    k->mode = 1;
    const Bytes message = seq(48);
    Bytes cipher;
    ASSERT_EQ(ERR_OK, run(*k, true, message, 0, cipher));
    // Half a message enciphered, then the key deciphers: a fresh start, not the chain.
    uint8_t scratch[64];
    uint32_t len = sizeof scratch;
    ASSERT_EQ(ERR_OK, k->Encrypt(0, message.data(), 16, scratch, &len));
    Bytes back;
    ASSERT_EQ(ERR_OK, run(*k, false, cipher, 0, back));
    EXPECT_EQ(hex(message), hex(back));
}

TEST_F(SymCryptoTest, KeysFromDataAreTheFrontOfMd5AndSha1) {
    const std::string md5 = "900150983CD24FB0D6963F7D28E17F72";
    const std::string sha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
    struct Case {
        uint32_t algorithm, bits;
        std::string key;
    } cases[] = {
        {0x200, 128, md5},
        {0x300, 192, md5 + sha1.substr(0, 16)},
        {0x400, 256, md5 + sha1.substr(0, 32)},
        {0x1100, 288, md5 + sha1},
    };
    const Bytes abc{'a', 'b', 'c'};
    for (const auto& c : cases) {
        std::unique_ptr<QXKey> k = make_sym_key(c.algorithm);
        k->keyBits = c.bits;
        ASSERT_EQ(ERR_OK, k->Generate(abc.data(), 3)) << c.algorithm;
        EXPECT_EQ(hex(H(c.key)), hex(k->keyBuffer.data(), k->keyBuffer.size())) << c.algorithm;
        auto* sym = static_cast<QXSymKey*>(k.get());
        EXPECT_EQ(k->blockBits / 8, sym->iv.size());
        EXPECT_EQ(k->blockBits / 8, sym->salt.size());
    }
    std::unique_ptr<QXKey> k = make_sym_key(0x1100);
    k->keyBits = 296;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Generate(abc.data(), 3));
    k->keyBits = 12;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Generate(nullptr, 0));
    // Random keys differ from each other.
    std::unique_ptr<QXKey> a = make_sym_key(0x400), b = make_sym_key(0x400);
    ASSERT_EQ(ERR_OK, a->Generate(nullptr, 0));
    ASSERT_EQ(ERR_OK, b->Generate(nullptr, 0));
    EXPECT_NE(hex(a->keyBuffer.data(), 16), hex(b->keyBuffer.data(), 16));
}

// --- the token's commands ---------------------------------------------------

TEST_F(SymCryptoTest, RandomFromChallengesOfSixteenAndTheRest) {
    struct Case {
        uint32_t length;
        std::vector<std::string> asks;
    } cases[] = {
        {21, {"10", "10"}}, {20, {"10", "04"}}, {16, {"10"}}, {3, {"10"}}, {8, {"08"}}, {33, {"10", "10", "10"}},
    };
    for (const auto& c : cases) {
        ScriptedTransport d;
        d.set_identity(H("0102030405060708"));
        std::string expected;
        uint8_t fill = 1;
        for (const auto& ask : c.asks) {
            const std::size_t n = H(ask)[0];
            const Bytes answer(n, fill++);
            d.expect("00 84 00 00 " + ask, hex(answer) + "9000");
            expected += hex(answer.data(), std::min<std::size_t>(16, answer.size()));
        }
        Bytes out(c.length);
        TokenCryptoCommands token(&d);
        ASSERT_EQ(ERR_OK, token.random(out.data(), c.length)) << c.length;
        EXPECT_EQ(hex(H(expected)).substr(0, c.length * 3 - 1), hex(out)) << c.length;
    }
    // A challenge of another length than asked is a refusal.
    ScriptedTransport d;
    d.set_identity(H("0102030405060708"));
    d.expect("00 84 00 00 10", "0102030405060708 9000");
    uint8_t out[16];
    TokenCryptoCommands token(&d);
    EXPECT_EQ(ERR_COMMAND_FAILED, token.random(out, 16));
    d.expect("00 84 00 00 10", "6A86");
    EXPECT_EQ(ERR_COMMAND_FAILED, token.random(out, 16));
}

TEST_F(SymCryptoTest, TokenDigestChainsPiecesOfAtMost255Bytes) {
    struct Case {
        uint32_t digestId, length;
        std::vector<std::string> heads;
        uint32_t size;
    } cases[] = {
        {5, 600, {"80 51 01 02 FF", "80 51 01 22 FF", "80 51 01 42 5A"}, 32},
        {4, 510, {"80 51 01 01 FF", "80 51 01 41 FF"}, 20},
        {16, 10, {"80 51 01 60 0A"}, 32},
    };
    for (const auto& c : cases) {
        const Bytes data = seq(c.length);
        std::size_t off = 0;
        for (std::size_t i = 0; i < c.heads.size(); ++i) {
            const std::size_t n = H(c.heads[i]).back();
            const bool last = i + 1 == c.heads.size();
            dev.expect(c.heads[i] + hex(data.data() + off, n), last ? hex(Bytes(c.size, 0xD0)) + "9000" : "9000");
            off += n;
        }
        uint8_t out[32];
        TokenCryptoCommands token(&dev);
        ASSERT_EQ(ERR_OK, token.digest(c.digestId, data.data(), c.length, out)) << c.digestId;
        EXPECT_EQ(hex(Bytes(c.size, 0xD0)), hex(out, c.size));
    }
    uint8_t out[32];
    TokenCryptoCommands token(&dev);
    EXPECT_EQ(ERR_INVALID_PARAM, token.digest(3, seq(4).data(), 4, out));
    dev.expect("80 51 01 60 04 00010203", "0102 9000");  // short answer
    EXPECT_EQ(ERR_COMMAND_FAILED, token.digest(16, seq(4).data(), 4, out));
    dev.expect("80 51 01 62 04 00010203", "6985");
    EXPECT_EQ(ERR_COMMAND_FAILED, token.digest(5, seq(4).data(), 4, out));
}

TEST_F(SymCryptoTest, TokenCipherSendsTheVectorFirstAndCollectsAnswersAtARunningOffset) {
    const Bytes key = seq(16, 0x40), iv = seq(16, 0xA0), data = seq(496);
    struct Case {
        bool encrypt;
        uint32_t mode;
        std::vector<std::string> heads;
    } cases[] = {
        {true, 1, {"80 E8 0A 00 F0", "80 E8 2A 00 F0", "80 E8 4A 00 20"}},
        {false, 1, {"80 E8 8A 00 F0", "80 E8 AA 00 F0", "80 E8 CA 00 20"}},
        {true, 2, {"80 E8 02 00 F0", "80 E8 22 00 F0", "80 E8 42 00 10"}},
    };
    for (const auto& c : cases) {
        Bytes stream = c.mode == 1 ? iv : Bytes{};
        stream.insert(stream.end(), data.begin(), data.end());
        dev.expect("80 E6 00 00 10" + hex(key), "9000");
        std::size_t off = 0;
        Bytes joined;
        for (std::size_t i = 0; i < c.heads.size(); ++i) {
            const std::size_t n = H(c.heads[i]).back();
            // The vector is not echoed: the first CBC answer is one block short.
            const Bytes answer(off == 0 && c.mode == 1 ? n - 16 : n, uint8_t(0x10 + i));
            dev.expect(c.heads[i] + hex(stream.data() + off, n), hex(answer) + "9000");
            joined.insert(joined.end(), answer.begin(), answer.end());
            off += n;
        }
        Bytes out(500);
        uint32_t len = 500;
        TokenCryptoCommands token(&dev);
        ASSERT_EQ(ERR_OK, token.session_cipher(c.encrypt, key.data(), 16, c.mode, 16, iv.data(), 16, data.data(), 496,
                                               out.data(), &len));
        EXPECT_EQ(496u, len);
        out.resize(len);
        EXPECT_EQ(hex(joined), hex(out));
    }
}

TEST_F(SymCryptoTest, TokenCipherRefusals) {
    const Bytes key = seq(16), iv = seq(16), data = seq(32);
    uint8_t out[64];
    TokenCryptoCommands token(&dev);
    uint32_t len = 31;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, token.session_cipher(true, key.data(), 16, 2, 16, nullptr, 0, data.data(), 32, out, &len));
    EXPECT_EQ(32u, len);
    len = sizeof out;
    EXPECT_EQ(ERR_NO_MEMORY, token.session_cipher(true, key.data(), 16, 1, 16, iv.data(), 8, data.data(), 32, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, token.session_cipher(true, key.data(), 8, 2, 16, nullptr, 0, data.data(), 32, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, token.session_cipher(true, key.data(), 16, 2, 16, nullptr, 0, data.data(), 20, out, &len));

    dev.expect("80 E6 00 00 10" + hex(key), "6A80");
    EXPECT_EQ(ERR_KEY_COMMAND, token.session_cipher(true, key.data(), 16, 2, 16, nullptr, 0, data.data(), 32, out, &len));
    // An answer longer than its piece would run past the data.
    dev.expect("80 E6 00 00 10" + hex(key), "9000");
    dev.expect("", hex(seq(48)) + "9000");
    len = sizeof out;
    EXPECT_EQ(ERR_COMMAND_FAILED, token.session_cipher(true, key.data(), 16, 2, 16, nullptr, 0, data.data(), 32, out, &len));
    dev.expect("80 E6 00 00 10" + hex(key), "9000");
    dev.expect("", "6985");
    EXPECT_EQ(ERR_COMMAND_FAILED, token.session_cipher(false, key.data(), 16, 2, 16, nullptr, 0, data.data(), 32, out, &len));
}

TEST_F(SymCryptoTest, TokenKeyPadsTheLastPartAndUnpadsOnlyThere) {
    auto k = key(0x500, seq(16, 0x40));
    k->padding = 1;
    const Bytes data = seq(16);
    Bytes padded = data;
    padded.insert(padded.end(), 16, 0x10);
    dev.expect("80 E6 00 00 10" + hex(seq(16, 0x40)), "9000");
    dev.expect("80 E8 62 00 20" + hex(padded), hex(padded) + "9000");  // an echoing token
    uint8_t out[64];
    uint32_t len = sizeof out;
    ASSERT_EQ(ERR_OK, k->Encrypt(1, data.data(), 16, out, &len));
    EXPECT_EQ(32u, len);

    // Decrypting the last part drops the 16 bytes of padding, a middle part keeps them.
    for (uint32_t final : {1u, 0u}) {
        dev.expect("80 E6 00 00 10" + hex(seq(16, 0x40)), "9000");
        dev.expect("80 E8 E2 00 20" + hex(padded), hex(padded) + "9000");
        len = sizeof out;
        ASSERT_EQ(ERR_OK, k->Decrypt(final, padded.data(), 32, out, &len));
        EXPECT_EQ(final ? 16u : 32u, len);
    }
    // A last byte beyond the block is no padding of ours.
    Bytes bad = seq(32);
    bad[31] = 0x11;
    dev.expect("80 E6 00 00 10" + hex(seq(16, 0x40)), "9000");
    dev.expect("", hex(bad) + "9000");
    len = sizeof out;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Decrypt(1, bad.data(), 32, out, &len));
    // Nothing is sent for a ragged middle part or a ragged cipher text.
    len = sizeof out;
    EXPECT_EQ(ERR_INVALID_PARAM, k->Encrypt(0, data.data(), 15, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k->Decrypt(1, data.data(), 15, out, &len));
    // A closed device is not used.
    unregister_handle(&record, HandleKind::Device);
    EXPECT_EQ(ERR_DEVICE_IO, k->Encrypt(1, data.data(), 16, out, &len));
    register_handle(&record, HandleKind::Device);
}

}  // namespace
}  // namespace qx::kernel::test
