// PINs, token information and initialisation end to end: the kernel module as
// applications load it, on a fresh virtual token per test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"
#include "support/kernel_e2e.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

struct Exports : KernelExports {
    using KernelExports::KernelExports;
    PFN_QXToken_OpenDeviceByName open = bind<PFN_QXToken_OpenDeviceByName>("QXToken_OpenDeviceByName");
    PFN_QXToken_ReadShmPin readPin = bind<PFN_QXToken_ReadShmPin>("QXToken_ReadShmPin");
    PFN_QXToken_ExternalAuth auth = bind<PFN_QXToken_ExternalAuth>("QXToken_ExternalAuth");
    PFN_QXToken_IsMeetSecurityStatus meets = bind<PFN_QXToken_IsMeetSecurityStatus>("QXToken_IsMeetSecurityStatus");
    PFN_QXToken_ChangePin change = bind<PFN_QXToken_ChangePin>("QXToken_ChangePin");
    PFN_QXToken_UnlockPin unlock = bind<PFN_QXToken_UnlockPin>("QXToken_UnlockPin");
    PFN_QXToken_UnlockPinEx unlockEx = bind<PFN_QXToken_UnlockPinEx>("QXToken_UnlockPinEx");
    PFN_QXToken_GetPinRetryNum retries = bind<PFN_QXToken_GetPinRetryNum>("QXToken_GetPinRetryNum");
    PFN_QXToken_GetPinStatus pinStatus = bind<PFN_QXToken_GetPinStatus>("QXToken_GetPinStatus");
    PFN_QXToken_SetPinStatus setPinStatus = bind<PFN_QXToken_SetPinStatus>("QXToken_SetPinStatus");
    PFN_QXToken_GetTokenInfo info = bind<PFN_QXToken_GetTokenInfo>("QXToken_GetTokenInfo");
    PFN_QXToken_GetTokenLabel label = bind<PFN_QXToken_GetTokenLabel>("QXToken_GetTokenLabel");
    PFN_QXToken_SetTokenLabel setLabel = bind<PFN_QXToken_SetTokenLabel>("QXToken_SetTokenLabel");
    PFN_QXToken_ReadBinFile readFile = bind<PFN_QXToken_ReadBinFile>("QXToken_ReadBinFile");
    PFN_QXToken_WriteBinFile writeFile = bind<PFN_QXToken_WriteBinFile>("QXToken_WriteBinFile");
    PFN_QXToken_GetCOSInfo cos = bind<PFN_QXToken_GetCOSInfo>("QXToken_GetCOSInfo");
    PFN_QXToken_GetDeviceSerialNumber serial = bind<PFN_QXToken_GetDeviceSerialNumber>("QXToken_GetDeviceSerialNumber");
    PFN_QXToken_GetDeviceChannelType channel = bind<PFN_QXToken_GetDeviceChannelType>("QXToken_GetDeviceChannelType");
    PFN_QXToken_GetDevicePressStatus press = bind<PFN_QXToken_GetDevicePressStatus>("QXToken_GetDevicePressStatus");
    PFN_QXToken_SetTokenDisplayLang language = bind<PFN_QXToken_SetTokenDisplayLang>("QXToken_SetTokenDisplayLang");
};

class PinInitTest : public KernelE2eTest<Exports> {
protected:
    // A fresh blank token and a kernel installation of this test's own;
    // `config` is the whole Config.ini after the provider name.
    void start(const std::string& config = "") {
        clear_tokens();
        open_blank_token("pi", "\r\n" + config);
    }
    uint32_t verify(uint32_t kind, const std::string& pin) {
        std::string copy = pin;
        return k_->verify(h_, kind, copy.data(), static_cast<uint32_t>(copy.size()));
    }
    uint32_t change(uint32_t kind, const std::string& oldPin, const std::string& newPin) {
        return k_->change(h_, kind, oldPin.c_str(), uint32_t(oldPin.size()), newPin.c_str(), uint32_t(newPin.size()));
    }
    uint32_t init(const char* user, const char* so, const char* label) {
        return k_->init(h_, user, user ? uint32_t(std::strlen(user)) : 0, so, so ? uint32_t(std::strlen(so)) : 0,
                        reinterpret_cast<const uint8_t*>(label), label ? uint32_t(std::strlen(label)) : 0);
    }
    uint32_t flags() {
        uint32_t f = 0;
        EXPECT_EQ(ERR_OK, k_->pinStatus(h_, &f));
        return f;
    }
    uint32_t tries(uint32_t kind) {
        uint32_t n = 99;
        EXPECT_EQ(ERR_OK, k_->retries(h_, kind, &n));
        return n;
    }
    std::vector<uint8_t> record() {
        std::vector<uint8_t> r(160);
        uint32_t length = 160;
        EXPECT_EQ(ERR_OK, k_->info(h_, r.data(), &length));
        EXPECT_EQ(160u, length);
        return r;
    }
    std::string text(const std::vector<uint8_t>& r, std::size_t from, std::size_t n) {
        return std::string(r.begin() + long(from), r.begin() + long(from + n));
    }
    vtoken::TokenState token() {
        vtoken::TokenState s;
        EXPECT_EQ(vtoken::StoreStatus::Ok, vtoken::TokenStore(vtoken_home()).read(name_, s));
        return s;
    }

};

TEST_F(PinInitTest, DefaultsMustBeChangedThenTheNewPinVerifiesAndIsCached) {
    start();
    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, nullptr));
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_USER_PIN_DEFAULT | QXTOKEN_FLAG_SO_PIN_DEFAULT, flags());
    EXPECT_EQ(ERR_PIN_MUST_CHANGE, verify(QXTOKEN_PIN_USER, "314159"));
    EXPECT_EQ(10u, tries(QXTOKEN_PIN_USER));
    EXPECT_EQ(15u, tries(QXTOKEN_PIN_SO));

    // A null old PIN stands for the default.
    ASSERT_EQ(ERR_OK, k_->change(h_, QXTOKEN_PIN_USER, nullptr, 0, "24680135", 8));
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_SO_PIN_DEFAULT, flags());
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "24680135"));
    EXPECT_EQ(1u, k_->meets(h_, 3));
    EXPECT_EQ(0u, k_->meets(h_, 2));
    EXPECT_EQ(1u, k_->meets(h_, 0));

    char cached[260] = {};
    uint32_t length = sizeof cached;
    ASSERT_EQ(ERR_OK, k_->readPin(h_, reinterpret_cast<uint8_t*>(cached), &length, 1));
    EXPECT_EQ("24680135", std::string(cached, length));

    // Changing back to the default marks it again.
    ASSERT_EQ(ERR_OK, change(QXTOKEN_PIN_USER, "24680135", "314159"));
    EXPECT_EQ(ERR_PIN_MUST_CHANGE, verify(QXTOKEN_PIN_USER, "314159"));
}

TEST_F(PinInitTest, ExplicitPinsAndLabelAndTheRecordByteForByte) {
    start("[PIN]\r\nMaxPinLen = 12\r\nMinPinLen = 4\r\n");
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "Lab"));
    EXPECT_EQ(0x60Du, flags());
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "123456"));
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_SO, "87654321"));
    EXPECT_EQ(1u, k_->meets(h_, 2));

    uint8_t label[24];
    uint32_t length = sizeof label;
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ("Lab", std::string(label, label + length));

    uint8_t cos[16];
    length = sizeof cos;
    ASSERT_EQ(ERR_OK, k_->cos(h_, cos, &length));
    const vtoken::TokenState t = token();
    ASSERT_EQ(16u, t.config.cos_info.size());
    EXPECT_EQ(hex(t.config.cos_info), hex(cos, 16));
    std::string idText;
    static const char d[] = "0123456789ABCDEF";
    for (std::size_t i = t.config.identity.size() - 6; i < t.config.identity.size(); ++i) {
        idText += d[t.config.identity[i] >> 4];
        idText += d[t.config.identity[i] & 15];
    }

    const auto r = record();
    // Trailing spaces of the first 24 bytes come back as NULs.
    EXPECT_EQ(std::string("Lab") + std::string(21, '\0') + std::string(8, ' '), text(r, 0, 32));
    EXPECT_EQ("Quorvantix Co.,Ltd." + std::string(13, ' '), text(r, 32, 32));
    EXPECT_EQ("QuorvaCOS" + std::string(7, ' '), text(r, 64, 16));
    EXPECT_EQ(idText + std::string(4, ' '), text(r, 80, 16));
    EXPECT_EQ("0D 06 00 00", hex(r.data() + 96, 4));
    EXPECT_EQ(std::string(16, '\xFF'), text(r, 100, 16));
    EXPECT_EQ("0C 00 00 00 04 00 00 00", hex(r.data() + 116, 8));
    EXPECT_EQ(std::string(16, '\xFF'), text(r, 124, 16));
    EXPECT_EQ(hex(std::vector<uint8_t>{cos[10], cos[11], cos[10], cos[11]}), hex(r.data() + 140, 4));
    EXPECT_EQ(std::string(1, char(cos[12])) + std::string(15, ' '), text(r, 144, 16));
}

TEST_F(PinInitTest, DefaultLabelIsStoredAsUtf16) {
    start();
    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, nullptr));
    uint8_t label[24];
    uint32_t length = sizeof label;
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ(std::string("Q\0X\0U\0S\0B\0K\0e\0y\0", 16), std::string(label, label + length));
}

TEST_F(PinInitTest, WrongPinsCountDownUntilBlockedAndTheSoPinUnlocks) {
    start("[PIN]\r\nRetryTimes = 3\r\nCachePIN = 0\r\n");
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "T"));
    EXPECT_EQ(3u, tries(QXTOKEN_PIN_USER));
    EXPECT_EQ(ERR_PIN_INCORRECT, verify(QXTOKEN_PIN_USER, "000000"));
    EXPECT_EQ(2u, tries(QXTOKEN_PIN_USER));
    EXPECT_EQ(ERR_PIN_INCORRECT, verify(QXTOKEN_PIN_USER, "000000"));
    EXPECT_EQ(ERR_PIN_LOCKED, verify(QXTOKEN_PIN_USER, "000000"));
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_USER_PIN_LOCKED, flags());
    // Blocked: even the right PIN is refused.
    EXPECT_EQ(ERR_PIN_LOCKED, verify(QXTOKEN_PIN_USER, "123456"));

    // A wrong SO PIN does not unlock; the right one does.
    EXPECT_EQ(ERR_PIN_INCORRECT, k_->unlock(h_, QXTOKEN_PIN_USER, "00000000", 8, "654321", 6));
    EXPECT_EQ(14u, tries(QXTOKEN_PIN_SO));
    ASSERT_EQ(ERR_OK, k_->unlock(h_, QXTOKEN_PIN_USER, "87654321", 8, "654321", 6));
    EXPECT_EQ(0x60Du, flags());
    EXPECT_EQ(3u, tries(QXTOKEN_PIN_USER));
    EXPECT_EQ(15u, tries(QXTOKEN_PIN_SO));
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "654321"));

    // Without a PIN cache nothing was cached, and the caller's buffer is wiped.
    uint8_t cached[260];
    uint32_t length = sizeof cached;
    EXPECT_EQ(ERR_NOT_FOUND, k_->readPin(h_, cached, &length, 1));
    char pin[] = "654321";
    EXPECT_EQ(ERR_OK, k_->verify(h_, QXTOKEN_PIN_USER, pin, 6));
    EXPECT_EQ(std::string(6, '\0'), std::string(pin, 6));
}

// A PIN command in secure-messaging form is a GET CHALLENGE and the command
// enciphered under that challenge; another user of the token authenticating
// in between (opening it, say) replaces the challenge.  Both must come through.
TEST_F(PinInitTest, PinCommandsAndAnotherOpeningNeverShareAChallenge) {
    start("SecMsg = 1\r\n");
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "Lab"));
    DeviceHandle other = nullptr;
    ASSERT_EQ(ERR_OK, k_->open(device_.c_str(), &other));
    int verifyFailures = 0, authFailures = 0;
    std::thread opener([&] {
        for (int i = 0; i < 40; ++i) authFailures += k_->auth(other) != ERR_OK;
    });
    for (int i = 0; i < 40; ++i) verifyFailures += verify(QXTOKEN_PIN_USER, "123456") != ERR_OK;
    opener.join();
    EXPECT_EQ(0, verifyFailures);
    EXPECT_EQ(0, authFailures);
    EXPECT_EQ(ERR_OK, k_->closeDevice(other));
}

TEST_F(PinInitTest, UnlockWithTheSoPinAlreadyVerified) {
    start();
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "T"));
    // Without the SO PIN verified nothing is unlocked.
    EXPECT_EQ(ERR_COMMAND_FAILED, k_->unlockEx(h_, QXTOKEN_PIN_USER, "x", 2, "111111", 6));
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "123456"));
    ASSERT_EQ(ERR_OK, verify(QXTOKEN_PIN_SO, "87654321"));
    ASSERT_EQ(ERR_OK, k_->unlockEx(h_, QXTOKEN_PIN_USER, "x", 2, "314159", 6));
    // The new PIN is the default: it must be changed.
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_USER_PIN_DEFAULT, flags());
    EXPECT_EQ(ERR_PIN_MUST_CHANGE, verify(QXTOKEN_PIN_USER, "314159"));
}

TEST_F(PinInitTest, SoPinChangeKeepsTheDefaultMarkOnlyForTheDefault) {
    start();
    ASSERT_EQ(ERR_OK, init("123456", nullptr, "T"));
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_SO_PIN_DEFAULT, flags());
    ASSERT_EQ(ERR_OK, change(QXTOKEN_PIN_SO, "27182818", "11223344"));
    EXPECT_EQ(0x60Du, flags());
    EXPECT_EQ(ERR_OLD_PIN_INCORRECT, change(QXTOKEN_PIN_SO, "27182818", "11223344"));
    ASSERT_EQ(ERR_OK, change(QXTOKEN_PIN_SO, "11223344", "27182818"));
    EXPECT_EQ(0x60Du | QXTOKEN_FLAG_SO_PIN_DEFAULT, flags());
}

TEST_F(PinInitTest, LabelSerialNumberAndFiles) {
    start();
    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, "First"));
    ASSERT_EQ(ERR_OK, k_->setLabel(h_, reinterpret_cast<const uint8_t*>("Second"), 6));
    uint8_t label[24];
    uint32_t length = 23;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->label(h_, label, &length));
    EXPECT_EQ(24u, length);
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ("Second", std::string(label, label + length));
    const std::string big(25, 'x');
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->setLabel(h_, reinterpret_cast<const uint8_t*>(big.data()), 25));
    length = sizeof label;
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ("Second", std::string(label, label + length));  // nothing was written
    EXPECT_EQ(ERR_OK, k_->setLabel(h_, reinterpret_cast<const uint8_t*>(big.data()), 24));
    length = sizeof label;
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ(24u, length);

    // The serial number, and a buffer too short for it: asked for, never overrun.
    uint8_t serial[32];
    length = 4;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->serial(h_, serial, &length));
    EXPECT_EQ(12u, length);
    length = sizeof serial;
    ASSERT_EQ(ERR_OK, k_->serial(h_, serial, &length));
    EXPECT_EQ(12u, length);
    EXPECT_EQ(ERR_OK, k_->serial(h_, nullptr, &length));

    // The kernel's own files are closed to raw reads; 000B is open and starts erased.
    uint8_t bytes[16];
    length = sizeof bytes;
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->readFile(h_, 0x0001, 0, bytes, &length));
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->readFile(h_, 10, 0, bytes, &length));
    ASSERT_EQ(ERR_OK, k_->readFile(h_, 0x000B, 0, bytes, &length));
    EXPECT_EQ("FF FF", hex(bytes, length));
    EXPECT_EQ(ERR_OK, k_->writeFile(h_, 0x000B, 0, reinterpret_cast<const uint8_t*>("\x12\x34"), 2));
    EXPECT_EQ(ERR_OK, k_->writeFile(h_, 0x000B, 0, nullptr, 2));
    length = sizeof bytes;
    ASSERT_EQ(ERR_OK, k_->readFile(h_, 0x000B, 0, bytes, &length));
    EXPECT_EQ("12 34", hex(bytes, length));
}

TEST_F(PinInitTest, DeviceQuestions) {
    start();
    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, nullptr));
    EXPECT_EQ(0x9001u, k_->channel(h_));
    EXPECT_EQ(ERR_TRANSACTION_D107, k_->press(h_));  // no transaction waits
    EXPECT_EQ(ERR_OK, k_->language(h_, 2052));
    EXPECT_EQ(1, token().vol.language);
    EXPECT_EQ(ERR_OK, k_->language(h_, 4100));
    EXPECT_EQ(3, token().vol.language);
    EXPECT_EQ(ERR_OK, k_->language(h_, 1033));
    EXPECT_EQ(2, token().vol.language);

    uint8_t cos[16];
    uint32_t length = 15;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->cos(h_, cos, &length));
    EXPECT_EQ(16u, length);
    EXPECT_EQ(ERR_OK, k_->cos(h_, nullptr, nullptr));
    EXPECT_EQ(ERR_OK, k_->auth(h_));
    EXPECT_EQ(1u, k_->meets(h_, 1));
}

TEST_F(PinInitTest, SlotTableKeyFilesAndContainerFileSize) {
    start("MaxContainerCount = 8\r\n[InitKeypairsNum]\r\nRSA1024 = 2\r\nSM2256 = 1\r\n");
    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, nullptr));
    const vtoken::TokenState t = token();
    ASSERT_TRUE(t.mf);
    const vtoken::CardFile* adf = t.mf->child(0x3F01);
    ASSERT_NE(nullptr, adf);
    ASSERT_NE(nullptr, adf->child(0x0003));
    EXPECT_EQ(2240, adf->child(0x0003)->size);
    for (uint16_t fid : {0x1001, 0x2001, 0x8001, 0x1002, 0x2002, 0x8002, 0x1003, 0x2003, 0x8003})
        EXPECT_NE(nullptr, adf->child(fid)) << std::hex << fid;
    EXPECT_EQ(nullptr, adf->child(0x1004));
    EXPECT_EQ(vtoken::kPairRsa1024, adf->child(0x1002)->pair_type);
    EXPECT_EQ(vtoken::kPairSm2, adf->child(0x2003)->pair_type);
}

TEST_F(PinInitTest, InitialisingAgainErasesTheOldToken) {
    start();
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "Old"));
    ASSERT_EQ(ERR_OK, k_->setPinStatus(h_, 0x60D | QXTOKEN_FLAG_USER_PIN_LOCKED));
    ASSERT_EQ(ERR_OK, init("222222", "33333333", "New"));
    EXPECT_EQ(0x60Du, flags());
    EXPECT_EQ(ERR_PIN_INCORRECT, verify(QXTOKEN_PIN_USER, "123456"));
    EXPECT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "222222"));
    uint8_t label[24];
    uint32_t length = sizeof label;
    ASSERT_EQ(ERR_OK, k_->label(h_, label, &length));
    EXPECT_EQ("New", std::string(label, label + length));
    // A freshly opened handle authenticates with the new keys.
    DeviceHandle again = nullptr;
    ASSERT_EQ(ERR_OK, k_->open(device_.c_str(), &again));
    EXPECT_EQ(ERR_OK, k_->closeDevice(again));
}

TEST_F(PinInitTest, BadArgumentsAreRefusedWithoutTouchingTheToken) {
    start();
    const std::string longLabel(33, 'L');
    EXPECT_EQ(ERR_INVALID_PARAM, k_->init(h_, nullptr, 0, nullptr, 0, reinterpret_cast<const uint8_t*>(longLabel.data()), 33));
    const std::string longPin(129, '1');
    EXPECT_EQ(ERR_COMMAND_FAILED, k_->init(h_, longPin.c_str(), 129, nullptr, 0, nullptr, 0));
    EXPECT_FALSE(token().mf);  // still blank

    ASSERT_EQ(ERR_OK, init(nullptr, nullptr, nullptr));
    int notAHandle[4] = {3, 0, 0, 0};
    char pin[] = "123456";
    uint32_t value = 0;
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->verify(notAHandle, 1, pin, 6));
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->pinStatus(notAHandle, &value));
    EXPECT_EQ(ERR_INVALID_HANDLE, k_->init(notAHandle, nullptr, 0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->serial(notAHandle, nullptr, &value));
    EXPECT_EQ(0u, k_->meets(notAHandle, 0));
    EXPECT_EQ(0u, k_->meets(nullptr, 0));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->verify(h_, 2, pin, 6));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->verify(h_, 1, pin, 1));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->verify(h_, 1, nullptr, 6));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->change(h_, 1, nullptr, 3, "123456", 6));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->change(h_, 1, longPin.c_str(), 129, "123456", 6));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->retries(h_, 1, nullptr));
    EXPECT_EQ(ERR_INVALID_PARAM, k_->info(h_, nullptr, nullptr));
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, k_->info(h_, nullptr, &length));
    EXPECT_EQ(160u, length);
    uint8_t small[100];
    length = sizeof small;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k_->info(h_, small, &length));
    EXPECT_EQ(160u, length);
    // Nothing of the above cost a PIN try.
    EXPECT_EQ(10u, tries(QXTOKEN_PIN_USER));
}

TEST_F(PinInitTest, RemoteSessionsAreRefusedAndNeverReadAsSecurityMet) {
    start();
    ASSERT_EQ(ERR_OK, init("123456", "87654321", "T"));
    ASSERT_EQ(ERR_OK, verify(QXTOKEN_PIN_USER, "123456"));
    ASSERT_EQ(1u, k_->meets(h_, 3));
    static char on[] = "XRDP_SESSION=1";
    static char off[] = "XRDP_SESSION=";
    putenv(on);
    if (!platform::is_remote_session()) {
        putenv(off);
        GTEST_SKIP() << "this platform does not take a remote session from the environment";
    }
    uint32_t value = 0;
    const uint32_t verifyStatus = verify(QXTOKEN_PIN_USER, "000000");
    const uint32_t initStatus = init(nullptr, nullptr, nullptr);
    const uint32_t statusStatus = k_->pinStatus(h_, &value);
    const uint32_t met = k_->meets(h_, 3);
    uint8_t cos[16];
    uint32_t length = sizeof cos;
    const uint32_t cosStatus = k_->cos(h_, cos, &length);
    putenv(off);
    EXPECT_EQ(ERR_REMOTE_SESSION, verifyStatus);
    EXPECT_EQ(ERR_REMOTE_SESSION, initStatus);
    EXPECT_EQ(ERR_REMOTE_SESSION, statusStatus);
    // A refusal must not read as "met".
    EXPECT_EQ(0u, met);
    // The card-OS information is answered in any session.
    EXPECT_EQ(ERR_OK, cosStatus);
    // Nothing reached the token: no try was spent and the token was not erased.
    EXPECT_EQ(10u, tries(QXTOKEN_PIN_USER));
    EXPECT_EQ(0x60Du, flags());
}

}  // namespace
}  // namespace qx::kernel::test
