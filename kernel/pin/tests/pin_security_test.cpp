// PIN operations against a scripted token: the PIN block, the command bytes,
// the translation of the token's answers and the recovery after each.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "QXTokenStatus.h"
#include "core/key_derivation.h"
#include "core/kernel_state.h"
#include "pin/pin_security.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

constexpr char kIdentity[] = "11 22 33 44 55 66 77 88";

std::string le32(uint32_t v) {
    return hex(std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

// The PIN block computed independently: MD5 of identity and PIN, enciphered
// with two-key triple DES (K1 K2 K1) under the derived " ADF MASTER" key.
std::vector<uint8_t> expected_block(const std::string& pin) {
    std::vector<uint8_t> in = H(kIdentity);
    in.insert(in.end(), pin.begin(), pin.end());
    uint8_t md[16];
    unsigned int mdLength = 0;
    EVP_Digest(in.data(), in.size(), md, &mdLength, EVP_md5(), nullptr);
    uint8_t key[16];
    uint32_t keyLength = 16;
    const auto id = H(kIdentity);
    EXPECT_EQ(ERR_OK, derive_key_for_index(kDefaultProviderName, id.data(), id.size(), kKeyAdfMaster, key, &keyLength));
    std::vector<uint8_t> out(32);
    int n = 0;
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_des_ede_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_EncryptUpdate(c, out.data(), &n, md, 16);
    EVP_CIPHER_CTX_free(c);
    out.resize(16);
    return out;
}

class PinTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H(kIdentity));
        settings.secureMessaging = false;
        settings.defaultPin = "314159";
        settings.defaultSoPin = "27182818";
    }
    void security_status(const std::string& s) { dev.expect("80 70 00 00 01", s + " 90 00"); }
    void authentication() {
        dev.expect("00 A4 00 00 02 3F 01", "90 00");
        dev.expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
        dev.expect("", "90 00");  // EXTERNAL AUTHENTICATE with the cryptogram
    }
    void flags_read(uint32_t flags) {
        dev.expect("00 A4 00 00 02 00 01", "90 00");
        dev.expect("00 B0 00 60 04", le32(flags) + " 90 00");
    }
    void flags_write(uint32_t flags) {
        dev.expect("00 A4 00 00 02 00 01", "90 00");
        dev.expect("00 D6 00 60 04 " + le32(flags), "90 00");
    }
    void wait_message() { dev.expect("80 77 00 00 04 0B 02 00 0F", "90 00"); }
    void verify(uint8_t ref, const std::string& pin, const std::string& sw) {
        dev.expect("00 20 00 0" + std::to_string(ref) + " 10 " + hex(expected_block(pin)), sw);
    }
    uint32_t run_verify(uint32_t kind, const std::string& pin) {
        PinOperations ops(record, settings);
        return ops.verify(kind, reinterpret_cast<const uint8_t*>(pin.data()), static_cast<uint32_t>(pin.size()));
    }

    ScriptedTransport dev;
    DeviceRecord record{2, &dev, 0, 0};
    PinSettings settings;
};

TEST_F(PinTest, PinBlockIsBoundToTheTokenIdentity) {
    uint8_t block[16];
    ASSERT_EQ(ERR_OK, make_pin_block(dev, reinterpret_cast<const uint8_t*>("123456"), 6, block));
    EXPECT_EQ(hex(expected_block("123456")), hex(block, 16));
    ScriptedTransport other;
    other.set_identity(H("11 22 33 44 55 66 77 89"));
    uint8_t otherBlock[16];
    ASSERT_EQ(ERR_OK, make_pin_block(other, reinterpret_cast<const uint8_t*>("123456"), 6, otherBlock));
    EXPECT_NE(hex(block, 16), hex(otherBlock, 16));
}

TEST_F(PinTest, VerifyAuthenticatesFirstThenSendsWaitMessageAndTheBlock) {
    security_status("00");  // not authenticated: authenticate first
    authentication();
    flags_read(0x60D);
    wait_message();
    verify(2, "123456", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinUser, "123456"));

    security_status("01");
    flags_read(0x60D);
    wait_message();
    verify(1, "27182818", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinSo, "27182818"));
}

TEST_F(PinTest, VerifyTranslatesTheTokensAnswers) {
    struct Case {
        const char* sw;
        uint32_t status;
        bool reauthenticates;
    } cases[] = {
        {"63 C3", ERR_PIN_INCORRECT, true},
        {"D1 0D", ERR_TRANSACTION_D10D, false},
        {"6A 80", ERR_FAILED, true},
    };
    for (const Case& c : cases) {
        security_status("01");
        flags_read(0x60D);
        wait_message();
        verify(2, "123456", c.sw);
        if (c.reauthenticates) authentication();
        EXPECT_EQ(c.status, run_verify(kPinUser, "123456")) << c.sw;
        EXPECT_TRUE(dev.script.empty()) << c.sw;
    }
}

TEST_F(PinTest, DefaultUserPinMustBeChangedBeforeItIsVerified) {
    security_status("01");
    flags_read(0x60D | 0x80000);
    EXPECT_EQ(ERR_PIN_MUST_CHANGE, run_verify(kPinUser, "314159"));

    // Without the forced change (or in DEZO mode) the PIN is verified.
    settings.forcedModify = false;
    security_status("01");
    flags_read(0x60D | 0x80000);
    wait_message();
    verify(2, "314159", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinUser, "314159"));
    settings.forcedModify = true;
    settings.dezo = true;
    security_status("01");
    wait_message();
    verify(2, "314159", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinUser, "314159"));
}

TEST_F(PinTest, SecurityStatusLostTwiceEndsWithSecurityStatusError) {
    security_status("01");
    flags_read(0x60D);
    wait_message();
    verify(2, "123456", "69 82");
    authentication();
    wait_message();
    verify(2, "123456", "69 82");
    EXPECT_EQ(ERR_SECURITY_STATUS, run_verify(kPinUser, "123456"));
}

TEST_F(PinTest, SecurityStatusLostOnceIsRecovered) {
    security_status("01");
    flags_read(0x60D);
    wait_message();
    verify(2, "123456", "69 82");
    authentication();
    wait_message();
    verify(2, "123456", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinUser, "123456"));
}

TEST_F(PinTest, BlockedPinIsMarkedInTheFlagsWord) {
    for (const char* sw : {"69 83", "63 C0"}) {
        security_status("01");
        flags_read(0x60D);
        wait_message();
        verify(2, "123456", sw);
        authentication();
        flags_write(0x60D | 0x40000);
        EXPECT_EQ(ERR_PIN_LOCKED, run_verify(kPinUser, "123456")) << sw;
    }
    security_status("01");
    flags_read(0x60D);
    wait_message();
    verify(1, "12345678", "69 83");
    authentication();
    flags_write(0x60D | 0x400000);
    EXPECT_EQ(ERR_PIN_LOCKED, run_verify(kPinSo, "12345678"));
}

TEST_F(PinTest, ChangeFromTheDefaultClearsAndToTheDefaultSetsTheMark) {
    auto change = [&](uint32_t kind, const char* oldPin, const std::string& newPin) {
        PinOperations ops(record, settings);
        return ops.change(kind, reinterpret_cast<const uint8_t*>(oldPin), oldPin ? uint32_t(std::strlen(oldPin)) : 0,
                          reinterpret_cast<const uint8_t*>(newPin.data()), uint32_t(newPin.size()));
    };
    auto expect_change = [&](uint8_t ref, const std::string& oldPin, const std::string& newPin, const char* sw) {
        dev.expect("80 5E 0" + std::to_string(ref) + " 00 20 " + hex(expected_block(oldPin)) + " " +
                       hex(expected_block(newPin)),
                   sw);
    };
    // Null old PIN: the configured default is the old PIN.
    security_status("01");
    flags_read(0x60D | 0x80000 | 0x800000);
    wait_message();
    expect_change(2, "314159", "24680135", "90 00");
    flags_write(0x60D | 0x800000);
    EXPECT_EQ(ERR_OK, change(kPinUser, nullptr, "24680135"));

    security_status("01");
    flags_read(0x60D);
    wait_message();
    expect_change(2, "24680135", "314159", "90 00");
    flags_write(0x60D | 0x80000);
    EXPECT_EQ(ERR_OK, change(kPinUser, "24680135", "314159"));

    // A new SO PIN equal to the default keeps the default mark; another clears it.
    security_status("01");
    flags_read(0x60D | 0x800000);
    wait_message();
    expect_change(1, "27182818", "27182818", "90 00");
    flags_write(0x60D | 0x800000);
    EXPECT_EQ(ERR_OK, change(kPinSo, "27182818", "27182818"));
    security_status("01");
    flags_read(0x60D | 0x800000);
    wait_message();
    expect_change(1, "27182818", "11223344", "90 00");
    flags_write(0x60D);
    EXPECT_EQ(ERR_OK, change(kPinSo, "27182818", "11223344"));

    // A wrong old PIN.
    security_status("01");
    flags_read(0x60D);
    wait_message();
    expect_change(2, "000000", "123456", "63 C4");
    authentication();
    EXPECT_EQ(ERR_OLD_PIN_INCORRECT, change(kPinUser, "000000", "123456"));
}

TEST_F(PinTest, UnlockVerifiesTheSoPinThenSendsUnlockKeyAndNewBlock) {
    uint8_t unlockKey[16];
    uint32_t keyLength = 16;
    const auto id = H(kIdentity);
    ASSERT_EQ(ERR_OK, derive_key_for_index(kDefaultProviderName, id.data(), id.size(), kKeyAdfUnlock, unlockKey, &keyLength));
    security_status("01");
    flags_read(0x60D | 0x40000);
    verify(1, "27182818", "90 00");
    dev.expect("80 24 02 00 20 " + hex(unlockKey, 16) + " " + hex(expected_block("654321")), "90 00");
    authentication();
    flags_write(0x60D);
    PinOperations ops(record, settings);
    EXPECT_EQ(ERR_OK, ops.unlock(kPinUser, reinterpret_cast<const uint8_t*>("27182818"), 8,
                                 reinterpret_cast<const uint8_t*>("654321"), 6));

    // A refused unlock.
    security_status("01");
    flags_read(0x60D | 0x40000);
    verify(1, "27182818", "90 00");
    dev.expect("", "6A 80");
    authentication();
    EXPECT_EQ(ERR_UNLOCK_FAILED, ops.unlock(kPinUser, reinterpret_cast<const uint8_t*>("27182818"), 8,
                                            reinterpret_cast<const uint8_t*>("654321"), 6));
}

TEST_F(PinTest, UnlockWithoutVerifiedSoPinSendsNoUnlock) {
    security_status("01");
    PinOperations ops(record, settings);
    EXPECT_EQ(ERR_COMMAND_FAILED, ops.unlock_verified(kPinUser, reinterpret_cast<const uint8_t*>("654321"), 6));
    EXPECT_EQ(1u, dev.sent.size());
}

TEST_F(PinTest, RetryCountAndSecurityLevels) {
    PinOperations ops(record, settings);
    uint32_t count = 99;
    dev.expect("00 20 80 02 00", "63 C7");
    EXPECT_EQ(ERR_OK, ops.retries(kPinUser, count));
    EXPECT_EQ(7u, count);
    dev.expect("00 20 80 01 00", "90 00");
    EXPECT_EQ(ERR_COMMAND_FAILED, ops.retries(kPinSo, count));

    struct Case {
        const char* state;
        uint32_t level;
        bool met;
    } cases[] = {{"00", 0, true},  {"00", 1, false}, {"01", 1, true},  {"03", 1, true},   {"05", 1, false},
                 {"02", 2, true},  {"03", 2, false}, {"03", 3, true},  {"0F", 15, true},  {"0F", 4, false},
                 {"F3", 3, true}};
    for (const Case& c : cases) {
        security_status(c.state);
        EXPECT_EQ(c.met, ops.level_met(c.level)) << c.state << " level " << c.level;
    }
    // An unreadable status meets no level, not even 0.
    dev.expect("80 70 00 00 01", "6D 00");
    EXPECT_FALSE(ops.level_met(0));
}

TEST_F(PinTest, SecureMessagingFormOfVerify) {
    settings.secureMessaging = true;
    security_status("01");
    flags_read(0x60D);
    wait_message();
    dev.expect("00 84 00 00 08", "A1 A2 A3 A4 A5 A6 A7 A8 90 00");  // challenge for the MAC
    dev.expect("", "90 00");
    EXPECT_EQ(ERR_OK, run_verify(kPinUser, "123456"));
    const auto& sent = dev.sent.back();
    ASSERT_EQ(5u + 24 + 4, sent.size());  // Lc and block padded to 24 bytes, then the MAC
    EXPECT_EQ("04 20 00 02 1C", hex(sent.data(), 5));
}

}  // namespace
}  // namespace qx::kernel::test
