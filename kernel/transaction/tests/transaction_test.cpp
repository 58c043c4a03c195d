// Transactions against a scripted token: the bytes of each sub-command, the
// MAC under each session-key algorithm, and how answers, refusals and failed
// exchanges come back to the caller.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "QXTokenStatus.h"
#include "core/handles.h"
#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "key/asym_key.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "transaction/transaction.h"

namespace qx::kernel::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kIdentity = H("0102030405060708");

Bytes md(const EVP_MD* type, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out.data(), &n, type, nullptr));
    out.resize(n);
    return out;
}

// The reference MAC: CBC from a zero block over the digest padded with 80 00..,
// the front 8 bytes of the last block.
Bytes reference_mac(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& digest) {
    const int b = EVP_CIPHER_get_block_size(cipher);
    Bytes padded = digest;
    padded.push_back(0x80);
    while (padded.size() % b) padded.push_back(0);
    Bytes iv(b, 0), out(padded.size() + b);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int n = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data()));
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EXPECT_EQ(1, EVP_EncryptUpdate(ctx.get(), out.data(), &n, padded.data(), int(padded.size())));
    return Bytes(out.begin() + (n - b), out.begin() + (n - b) + 8);
}

Bytes line_key() {
    uint8_t key[16];
    uint32_t length = sizeof key;
    EXPECT_EQ(ERR_OK, derive_key_for_index(kDefaultProviderName, kIdentity.data(), kIdentity.size(),
                                           kKeyAdfLineProtect, key, &length));
    return Bytes(key, key + 16);
}

class TransactionTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(kIdentity);
        record.device = &dev;
        register_handle(&record, HandleKind::Device);
    }
    void TearDown() override {
        for (QXKey* k : live_) destroy_key(k);
        unregister_handle(&record, HandleKind::Device);
        KernelTest::TearDown();
    }
    void configure(int32_t skAlg, int32_t waitTime = 60) {
        KernelConfig c;
        c.skAlg = skAlg;
        c.tranSignWaitTime = waitTime;
        use_config(c);
    }
    // A key pair bound to the scripted token, handed out as a live key handle.
    QXAsymKey* pair(uint32_t algorithm, uint32_t bits, uint32_t slot) {
        std::unique_ptr<QXKey> k = make_key(algorithm);
        auto* a = static_cast<QXAsymKey*>(k.get());
        a->bind_device(&record);
        a->slot = slot;
        a->keyBits = a->blockBits = bits;
        live_.push_back(adopt_key(std::move(k)));
        return a;
    }

    ScriptedTransport dev;
    DeviceRecord record;
    std::vector<QXKey*> live_;
};

TEST_F(TransactionTest, NegotiationNamesSlotAlgorithmTimePiecesLengthMacAndMode) {
    configure(0);
    const Bytes data(400, 0x61);
    const Bytes key = line_key();
    struct Case {
        uint32_t algorithm, bits, slot, hashAlg;
        const EVP_MD* (*md)();
        const char* code;
    } cases[] = {
        {kAlgRsa, 1024, 1, 5, EVP_sha256, "01"}, {kAlgRsa, 1024, 2, 4, EVP_sha1, "02"},
        {kAlgRsa, 2048, 3, 5, EVP_sha256, "04"}, {kAlgRsa, 2048, 4, 4, EVP_sha1, "05"},
        {kAlgSm2, 256, 5, 16, EVP_sm3, "07"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        QXAsymKey* k = pair(c.algorithm, c.bits, c.slot);
        const Bytes mac = reference_mac(EVP_des_ede_cbc(), key, md(c.md(), data));
        // 400 bytes: three pieces, length 00 00 01 90; 60 seconds: 00 3C.
        dev.expect("80 77 00 00 16 06 14 0" + std::to_string(c.slot) + c.code + " 00 3C 00 03 00 00 01 90" +
                       hex(mac) + "01 00",
                   "90 00");
        EXPECT_EQ(ERR_OK, negotiate(k, c.hashAlg, 3, 1, data.data(), uint32_t(data.size())));
    }
    // Any other answer, and a confirmation time above 16 bits keeps its low 16 bits.
    configure(0, 0x1003C);
    QXAsymKey* k = pair(kAlgRsa, 2048, 7);
    dev.expect("", "6A 88");
    EXPECT_EQ(ERR_COMMAND_FAILED, negotiate(k, 5, 3, 1, data.data(), uint32_t(data.size())));
    EXPECT_EQ("80 77 00 00 16 06 14 07 04 00 3C", hex(Bytes(dev.sent.back().begin(), dev.sent.back().begin() + 11)));
}

TEST_F(TransactionTest, MacKeyFollowsSkAlgAndDesTakesTheFrontHalf) {
    const Bytes key = line_key();
    const Bytes digest = md(EVP_sha256(), Bytes{'p', 'a', 'y'});
    Bytes des3(key.begin(), key.begin() + 8);
    des3.insert(des3.end(), key.begin(), key.begin() + 8);
    des3.insert(des3.end(), key.begin(), key.begin() + 8);
    struct Case {
        int32_t skAlg;
        const EVP_CIPHER* cipher;
        Bytes key;
    } cases[] = {
        {0, EVP_des_ede_cbc(), key},
        {1, EVP_des_ede3_cbc(), des3},  // single DES under the first 8 bytes
        {4, EVP_sm4_cbc(), key},
        {9, EVP_des_ede_cbc(), key},  // unknown values fall back to two-key triple DES
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skAlg);
        uint8_t mac[kTransactionMacSize] = {};
        ASSERT_EQ(ERR_OK, transaction_mac(&record, c.skAlg, digest.data(), uint32_t(digest.size()), mac));
        EXPECT_EQ(hex(reference_mac(c.cipher, c.key, digest)), hex(mac, sizeof mac));
    }
    uint8_t mac[kTransactionMacSize];
    EXPECT_EQ(ERR_DEVICE_IO, transaction_mac(nullptr, 0, digest.data(), uint32_t(digest.size()), mac));
}

TEST_F(TransactionTest, FourHundredBytesGoAsPiecesOf192192And16) {
    QXAsymKey* k = pair(kAlgRsa, 1024, 1);
    Bytes data(400);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    const struct {
        uint32_t number, offset, length;
        const char* header;
    } pieces[] = {{1, 0, 192, "80 77 00 00 C4 08 C2 00 01"},
                  {2, 192, 192, "80 77 00 00 C4 08 C2 00 02"},
                  {3, 384, 16, "80 77 00 00 14 08 12 00 03"}};
    for (const auto& p : pieces) {
        dev.expect(p.header + hex(Bytes(data.begin() + p.offset, data.begin() + p.offset + p.length)), "90 00");
        uint8_t out[260];
        uint32_t outLength = sizeof out;
        EXPECT_EQ(ERR_OK, send_piece(k, p.number, data.data() + p.offset, p.length, out, &outLength));
        EXPECT_EQ(0u, outLength);  // an empty answer says so
    }
}

TEST_F(TransactionTest, PieceAnswersAreCopiedOnlyWhenTheyFit) {
    QXAsymKey* k = pair(kAlgSm2, 256, 5);
    const struct {
        const char* reply;  // empty: the exchange fails
        uint32_t room, status, length;
        const char* out;
    } cases[] = {
        {"AA BB 90 00", 4, ERR_OK, 2, "AA BB 00"},
        {"AA BB CC 90 00", 2, ERR_BUFFER_TOO_SMALL, 3, "00 00 00"},  // never copied in part
        {"69 88", 4, ERR_COMMAND_FAILED, 4, "00 00 00"},
        {"", 4, ERR_COMMAND_FAILED, 4, "00 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        if (*c.reply) dev.expect("80 77 00 00 06 08 04 00 01 41 42", c.reply);
        else dev.fail("80 77 00 00 06 08 04 00 01 41 42", QXDEV_ERR_DEVICE_IO);
        uint8_t out[3] = {};
        uint32_t outLength = c.room;
        EXPECT_EQ(c.status, send_piece(k, 1, reinterpret_cast<const uint8_t*>("AB"), 2, out, &outLength));
        EXPECT_EQ(c.length, outLength);
        EXPECT_EQ(c.out, hex(out, 3));
    }
}

TEST_F(TransactionTest, RefusedArgumentsSendNothing) {
    configure(0);
    QXAsymKey* rsa = pair(kAlgRsa, 1024, 1);
    QXAsymKey* host = pair(kAlgRsa, 1024, kHostSlot);
    QXAsymKey* sm2 = pair(kAlgSm2, 256, 5);
    QXKey* sym = adopt_key(make_key(0x200));
    live_.push_back(sym);
    const Bytes data(10, 1);
    uint8_t out[300];
    uint32_t len = sizeof out;
    const struct {
        const char* what;
        uint32_t status, result;
    } cases[] = {
        {"no key", ERR_INVALID_PARAM, negotiate(nullptr, 5, 1, 1, data.data(), 10)},
        {"session key", ERR_INVALID_HANDLE, negotiate(sym, 5, 1, 1, data.data(), 10)},
        {"digest with low byte 0", ERR_INVALID_HANDLE, negotiate(rsa, 0x100, 1, 1, data.data(), 10)},
        {"piece count above 65535", ERR_INVALID_PARAM, negotiate(rsa, 5, 0x10000, 1, data.data(), 10)},
        {"mode above 255", ERR_INVALID_PARAM, negotiate(rsa, 5, 1, 0x100, data.data(), 10)},
        {"RSA with SM3", ERR_INVALID_PARAM, negotiate(rsa, 16, 1, 1, data.data(), 10)},
        {"SM2 with SHA-256", ERR_INVALID_PARAM, negotiate(sm2, 5, 1, 1, data.data(), 10)},
        {"RSA in slot 0", ERR_INVALID_PARAM, negotiate(host, 5, 1, 1, data.data(), 10)},
        {"no data", ERR_INVALID_PARAM, negotiate(sm2, 16, 1, 1, nullptr, 10)},
        {"data length 0", ERR_INVALID_PARAM, negotiate(rsa, 4, 1, 1, data.data(), 0)},
        {"piece of no key", ERR_INVALID_PARAM, send_piece(nullptr, 1, data.data(), 10, out, &len)},
        {"piece of a session key", ERR_INVALID_HANDLE, send_piece(sym, 1, data.data(), 10, out, &len)},
        {"piece number 0", ERR_INVALID_PARAM, send_piece(rsa, 0, data.data(), 10, out, &len)},
        {"piece number above 65535", ERR_INVALID_PARAM, send_piece(rsa, 0x10000, data.data(), 10, out, &len)},
        {"piece length 0", ERR_INVALID_PARAM, send_piece(rsa, 1, data.data(), 0, out, &len)},
        {"piece of 193 bytes", ERR_INVALID_PARAM, send_piece(rsa, 1, out, 193, out, &len)},
        {"no piece", ERR_INVALID_PARAM, send_piece(rsa, 1, nullptr, 10, out, &len)},
        {"no answer buffer", ERR_INVALID_PARAM, send_piece(rsa, 1, data.data(), 10, nullptr, &len)},
        {"no answer length", ERR_INVALID_PARAM, send_piece(rsa, 1, data.data(), 10, out, nullptr)},
        {"signature of no key", ERR_INVALID_PARAM, get_signature(nullptr, out, &len)},
        {"signature of a session key", ERR_INVALID_HANDLE, get_signature(sym, out, &len)},
        {"no signature buffer", ERR_INVALID_PARAM, get_signature(rsa, nullptr, &len)},
        {"no signature length", ERR_INVALID_PARAM, get_signature(rsa, out, nullptr)},
        {"cancel without key or device", ERR_INVALID_PARAM, cancel(nullptr, nullptr)},
        {"cancel with a session key", ERR_INVALID_HANDLE, cancel(sym, &record)},
        {"cancel with a stale device", ERR_INVALID_PARAM, cancel(nullptr, &len)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, c.result) << c.what;
    EXPECT_TRUE(dev.sent.empty());
}

TEST_F(TransactionTest, SignatureAnswersAndBufferSizes) {
    QXAsymKey* rsa = pair(kAlgRsa, 1024, 1);
    QXAsymKey* sm2 = pair(kAlgSm2, 256, 5);
    const std::string sig64 = hex(Bytes(64, 0x5A));
    const struct {
        QXAsymKey* key;
        std::string reply;  // empty: the exchange fails
        uint32_t status, length;
    } cases[] = {
        {sm2, sig64 + "90 00", ERR_OK, 64},
        {rsa, "D1 01", ERR_TRANSACTION_D101, 128},
        {sm2, "D1 07", ERR_TRANSACTION_D107, 64},
        {sm2, "63 C2", ERR_TRANSACTION_PIN_INCORRECT, 64},
        {sm2, "69 83", ERR_PIN_LOCKED, 64},
        {sm2, "90 00", ERR_TRANSACTION_OTHER, 64},  // success without a signature
        {sm2, hex(Bytes(66, 0x11)) + "90 00", ERR_BUFFER_TOO_SMALL, 66},  // longer: not copied
        {rsa, "", ERR_TRANSACTION_OTHER, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        if (!c.reply.empty()) dev.expect("80 77 00 00 03 09 01 00", c.reply);
        else dev.fail("80 77 00 00 03 09 01 00", QXDEV_ERR_DEVICE_IO);
        Bytes out(transaction_signature_size(*c.key), 0);
        uint32_t length = uint32_t(out.size());
        EXPECT_EQ(c.status, get_signature(c.key, out.data(), &length));
        EXPECT_EQ(c.length, length);
        EXPECT_EQ(c.status == ERR_OK ? sig64 : hex(Bytes(out.size(), 0)), hex(out));
    }
    // A buffer below the signature is refused before the token could hand the signature out.
    for (QXAsymKey* k : {rsa, sm2}) {
        uint8_t out[200];
        uint32_t length = transaction_signature_size(*k) - 1;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, get_signature(k, out, &length));
        EXPECT_EQ(k == rsa ? 128u : 64u, length);
    }
    EXPECT_EQ(8u, dev.sent.size());
}

TEST_F(TransactionTest, CancelWithADeviceCancelsAndWithAKeyAlonePolls) {
    QXAsymKey* rsa = pair(kAlgRsa, 2048, 3);
    const std::string cancelCmd = "80 77 00 00 03 07 01 04", poll = "80 77 00 00 03 09 01 00";
    struct Case {
        const char* what;
        void *key, *device;
        std::string command;
        const char* reply;  // null: the exchange fails
        uint32_t status;
    } cases[] = {
        {"key and device", rsa, &record, cancelCmd, "90 00", ERR_OK},
        {"device alone", nullptr, &record, cancelCmd, "90 00", ERR_OK},
        {"refused cancel", rsa, &record, cancelCmd, "69 85", ERR_COMMAND_FAILED},
        {"failed cancel", nullptr, &record, cancelCmd, nullptr, ERR_COMMAND_FAILED},
        {"key alone, waiting", rsa, nullptr, poll, "D1 01", ERR_TRANSACTION_D101},
        {"key alone, signature dropped", rsa, nullptr, poll, "01 02 03 90 00", ERR_OK},
        {"key alone, timed out", rsa, nullptr, poll, "D1 04", ERR_TRANSACTION_D104},
        {"key alone, failed exchange", rsa, nullptr, poll, nullptr, ERR_TRANSACTION_OTHER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.reply)
            dev.expect(c.command, c.reply);
        else
            dev.fail(c.command, QXDEV_ERR_DEVICE_IO);
        EXPECT_EQ(c.status, cancel(c.key, c.device));
    }
}

TEST(TransactionHashMask, DigestsAllowedByTheMask) {
    const struct {
        uint32_t mask, hashAlg, allowed;
    } cases[] = {{5, 4, 1}, {5, 16, 1}, {5, 5, 0}, {1, 4, 1}, {1, 5, 0}, {2, 5, 1},
                 {2, 4, 0}, {0, 4, 0}, {7, 3, 0}, {7, 0, 0}, {4, 16, 1}, {0xFFFFFFFF, 6, 0}};
    for (const auto& c : cases) EXPECT_EQ(c.allowed, is_transaction_hash_allowed(c.mask, c.hashAlg)) << c.mask << " " << c.hashAlg;
    EXPECT_EQ(0, transaction_algorithm_code(0x200, 128, 5));
    EXPECT_EQ(0, transaction_algorithm_code(kAlgRsa, 1024, 16));
}

}  // namespace
}  // namespace qx::kernel::test
