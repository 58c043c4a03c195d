// Signed transactions end to end: the kernel module as applications load it,
// on a fresh virtual token initialised with RSA-1024, RSA-2048 and SM2 slots.
// The button is pressed through the token store, as `qxvtoken press` does
// from another process, and libcrypto checks what the token signed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../key/tests/openssl_keys.h"
#include "QXTokenKernel.h"
#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr uint32_t kRsa = 0x20000, kSm2 = 0x10000;

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_GenAsymKey gen = bind<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey");
    PFN_QXToken_CloseKey close = bind<PFN_QXToken_CloseKey>("QXToken_CloseKey");
    PFN_QXToken_GetKeyBuffer buffer = bind<PFN_QXToken_GetKeyBuffer>("QXToken_GetKeyBuffer");
    PFN_QXToken_GetSM3DigestZA za = bind<PFN_QXToken_GetSM3DigestZA>("QXToken_GetSM3DigestZA");
    PFN_QXToken_NegotiateTransaction negotiate =
        bind<PFN_QXToken_NegotiateTransaction>("QXToken_NegotiateTransaction");
    PFN_QXToken_SignTransaction piece = bind<PFN_QXToken_SignTransaction>("QXToken_SignTransaction");
    PFN_QXToken_GetTranSignature signature = bind<PFN_QXToken_GetTranSignature>("QXToken_GetTranSignature");
    PFN_QXToken_CancelTransaction cancel = bind<PFN_QXToken_CancelTransaction>("QXToken_CancelTransaction");
    PFN_QXToken_IsTranHashMeth hashMeth = bind<PFN_QXToken_IsTranHashMeth>("QXToken_IsTranHashMeth");
};

class TransactionE2eTest : public KernelE2eTest<Exports> {
protected:
    void start(int skAlg, int waitSeconds = 60) {
        clear_tokens();
        open_blank_token("tx", "\r\nSKAlg = " + std::to_string(skAlg) + "\r\nTranSignWaitTime = " +
                                   std::to_string(waitSeconds) +
                                   "\r\nTranHashMeth = 5\r\n"
                                   "[InitKeypairsNum]\r\nRSA1024 = 1\r\nRSA2048 = 1\r\nSM2256 = 1");
        if (HasFatalFailure()) return;
        ASSERT_TRUE(initialise_and_login(*k_, h_));
    }
    void verify_pin() {
        std::string pin = kUserPin;
        ASSERT_EQ(ERR_OK, k_->verify(h_, QXTOKEN_PIN_USER, pin.data(), 6));
    }
    // Changes the token's state as a second process would.
    // True when `change` applied (it returns false to say it could not).
    bool on_token(const std::function<bool(vtoken::TokenState&)>& change) {
        bool applied = false;
        const auto status = vtoken::TokenStore(vtoken_home()).update(name_, [&](vtoken::TokenState& s) {
            applied = change(s);
            return applied;
        });
        return status == vtoken::StoreStatus::Ok && applied;
    }
    bool press() { return on_token([](vtoken::TokenState& s) { return vtoken::press_button(s); }); }

    KeyHandle generate(uint32_t algorithm, uint32_t bits) {
        KeyHandle key = nullptr;
        EXPECT_EQ(ERR_OK, k_->gen(h_, algorithm, bits, 2, 0, &key));
        return key;
    }
    Bytes public_block(KeyHandle key) {
        Bytes b(600);
        uint32_t length = uint32_t(b.size());
        EXPECT_EQ(ERR_OK, k_->buffer(nullptr, key, b.data(), &length));
        b.resize(length);
        return b;
    }
    // What the UI extension sends for a text: SM2 puts Z_A in front.
    Bytes transaction_data(KeyHandle key, uint32_t hashAlg, const Bytes& text) {
        if (hashAlg != 16) return text;
        Bytes data(32);
        uint32_t length = 32;
        EXPECT_EQ(ERR_OK, k_->za(key, data.data(), &length));
        data.insert(data.end(), text.begin(), text.end());
        return data;
    }
    // Negotiation and every piece; the first failure is returned.
    uint32_t announce_and_send(KeyHandle key, uint32_t hashAlg, const Bytes& data, std::size_t pieces = SIZE_MAX) {
        const uint32_t count = uint32_t((data.size() + 191) / 192);
        uint32_t rc = k_->negotiate(key, hashAlg, count, 1, data.data(), uint32_t(data.size()));
        for (uint32_t n = 1; rc == ERR_OK && n <= count && n <= pieces; ++n) {
            const std::size_t off = (n - 1) * 192, len = std::min<std::size_t>(192, data.size() - off);
            uint8_t answer[260];
            uint32_t answerLength = sizeof answer;
            rc = k_->piece(key, n, data.data() + off, uint32_t(len), answer, &answerLength);
        }
        return rc;
    }
    uint32_t poll(KeyHandle key, Bytes& sig) {
        sig.assign(256, 0);
        uint32_t length = 256;
        const uint32_t rc = k_->signature(key, sig.data(), &length);
        sig.resize(rc == ERR_OK ? length : 0);
        return rc;
    }
};

TEST_F(TransactionE2eTest, TokenSignsAfterTheUserPinAndTheButton) {
    const Bytes text(400, 'T');
    for (int skAlg : {0, 1, 4}) {
        start(skAlg);
        struct Case {
            uint32_t algorithm, bits, hashAlg;
            const char* md;
        } cases[] = {{kRsa, 1024, 5, "SHA256"}, {kRsa, 2048, 4, "SHA1"}, {kSm2, 256, 16, "SM3"}};
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.md) + " " + std::to_string(c.bits) + " SKAlg " + std::to_string(skAlg));
            KeyHandle key = generate(c.algorithm, c.bits);
            ASSERT_NE(nullptr, key);
            const Bytes data = transaction_data(key, c.hashAlg, text);
            Bytes sig;
            ASSERT_EQ(ERR_OK, announce_and_send(key, c.hashAlg, data, 2));
            EXPECT_EQ(ERR_TRANSACTION_D100, poll(key, sig));  // the last piece is still to come
            ASSERT_EQ(ERR_OK, announce_and_send(key, c.hashAlg, data));
            // The user PIN is gone (as after a reset): the token asks for it first.
            ASSERT_TRUE(on_token([](vtoken::TokenState& s) {
                s.vol.security = 1;
                return true;
            }));
            EXPECT_EQ(ERR_TRANSACTION_D105, poll(key, sig));
            verify_pin();
            EXPECT_EQ(ERR_TRANSACTION_D101, poll(key, sig));  // waiting for the button
            ASSERT_TRUE(press());
            ASSERT_EQ(ERR_OK, poll(key, sig));
            const Bytes block = public_block(key);
            if (c.algorithm == kRsa) {
                ASSERT_EQ(c.bits / 8, sig.size());
                Pkey pub = rsa_from_block(block);
                EXPECT_TRUE(rsa_verify(pub.get(), c.md, digest(c.md, text), sig));
            } else {
                ASSERT_EQ(64u, sig.size());
                Pkey pub = sm2_from_block(block);
                EXPECT_TRUE(sm2_verify(pub.get(), text, sig));  // over the text: one Z_A only
            }
            EXPECT_EQ(ERR_TRANSACTION_D107, poll(key, sig));  // released once
            EXPECT_EQ(ERR_OK, k_->close(key));
        }
        TearDown();
        h_ = nullptr;
    }
}

TEST_F(TransactionE2eTest, CancelEndsTheTransactionAndPollingAloneDoesNot) {
    start(0);
    KeyHandle key = generate(kRsa, 1024);
    const Bytes data(100, 'c');
    ASSERT_EQ(ERR_OK, announce_and_send(key, 5, data));
    // A key without a device only polls.
    EXPECT_EQ(ERR_TRANSACTION_D101, k_->cancel(key, nullptr));
    EXPECT_EQ(ERR_OK, k_->cancel(key, h_));
    Bytes sig;
    EXPECT_EQ(ERR_TRANSACTION_D107, poll(key, sig));
    EXPECT_FALSE(press());
    // The device handle alone cancels as well.
    ASSERT_EQ(ERR_OK, announce_and_send(key, 5, data));
    EXPECT_EQ(ERR_OK, k_->cancel(nullptr, h_));
    EXPECT_EQ(ERR_TRANSACTION_D107, poll(key, sig));
}

TEST_F(TransactionE2eTest, ConfirmationTimeRunsOut) {
    start(4, 1);
    KeyHandle key = generate(kSm2, 256);
    const Bytes data = transaction_data(key, 16, Bytes(10, 'w'));
    ASSERT_EQ(ERR_OK, announce_and_send(key, 16, data));
    Bytes sig;
    EXPECT_EQ(ERR_TRANSACTION_D101, poll(key, sig));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(ERR_TRANSACTION_D104, poll(key, sig));
    EXPECT_EQ(ERR_TRANSACTION_D107, poll(key, sig));
}

TEST_F(TransactionE2eTest, MacMismatchFailsTheLastPiece) {
    start(0);
    KeyHandle key = generate(kRsa, 2048);
    // Another line-protection key on the token than the one the kernel derives.
    ASSERT_TRUE(on_token([](vtoken::TokenState& s) {
        vtoken::CardFile* adf = s.mf ? s.mf->child(0x3F01) : nullptr;
        vtoken::CardKey* line = adf ? adf->key(vtoken::kKeyLineProtection, 0) : nullptr;
        if (!line) return false;
        line->value[0] ^= 0x80;  // not a parity bit, which DES ignores
        return true;
    }));
    const Bytes data(400, 'm');
    ASSERT_EQ(ERR_OK, announce_and_send(key, 4, data, 2));
    uint8_t answer[16];
    uint32_t answerLength = sizeof answer;
    EXPECT_EQ(ERR_COMMAND_FAILED, k_->piece(key, 3, data.data() + 384, 16, answer, &answerLength));
    Bytes sig;
    EXPECT_EQ(ERR_TRANSACTION_D107, poll(key, sig));
}

TEST_F(TransactionE2eTest, HashMaskAndRefusedArguments) {
    start(0);
    EXPECT_EQ(1u, k_->hashMeth(4));
    EXPECT_EQ(1u, k_->hashMeth(16));
    EXPECT_EQ(0u, k_->hashMeth(5));
    // Every argument check is covered on the scripted token; here the handle
    // checks of the exports and the size answer of the signature buffer.
    KeyHandle rsa = generate(kRsa, 1024);
    const Bytes data(10, 'x');
    uint8_t out[300];
    uint32_t len = sizeof out;
    int notAHandle = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, k_->negotiate(h_, 5, 1, 1, data.data(), 10));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->negotiate(rsa, 5, 1, 1, data.data(), 0));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->piece(&notAHandle, 1, data.data(), 10, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->piece(rsa, 0, data.data(), 10, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->signature(nullptr, out, &len));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->cancel(nullptr, &notAHandle));
    len = 127;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->signature(rsa, out, &len));
    EXPECT_EQ(128u, len);
}

}  // namespace
}  // namespace qx::kernel::test
