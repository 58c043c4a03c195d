// The PIN operations over a fake kernel table and fake dialogs, with the
// shipped language files: the button poll, the call-backs' statuses and
// messages, PIN caching and wiping, and the shared language path (also as a
// second process sees it).
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "language_test_support.h"
#include "pin_dialogs.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "qx/platform/ui_shared.h"
#include "tests/support/qx_test_main.h"

namespace qx::uiext {
namespace {

using language::test::TempTree;

std::string shipped(const char* name) {
    std::ifstream in(std::string(QX_LANGUAGE_SOURCE_DIR) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- the fake kernel ----
struct FakeKernel {
    std::mutex m;
    std::deque<uint32_t> press;  // answers of the button poll; the last repeats
    uint32_t verifyAnswer = 0;
    uint32_t changeAnswer = 0;
    uint32_t unlockAnswer = 0, unlockExAnswer = 0;
    uint32_t retryStatus = 0, retries = 3;
    uint32_t flags = 0, setFlags = 0xDEAD;
    std::string verified, changedNew, shmPin;
    int calls = 0, cancels = 0, unlockExCalls = 0, shmWrites = 0;
};
FakeKernel* fk = nullptr;

uint32_t QXTOKEN_CALL k_verify(DeviceHandle, uint32_t, char* pin, uint32_t length) {
    ++fk->calls;
    fk->verified.assign(pin, length);
    std::fill(pin, pin + length, 0);  // as the kernel does without CachePIN
    return fk->verifyAnswer;
}
uint32_t QXTOKEN_CALL k_change(DeviceHandle, uint32_t, const char*, uint32_t, const char* pin, uint32_t length) {
    ++fk->calls;
    fk->changedNew.assign(pin, length);
    return fk->changeAnswer;
}
uint32_t QXTOKEN_CALL k_unlock(DeviceHandle, uint32_t, const char*, uint32_t, const char*, uint32_t) {
    ++fk->calls;
    return fk->unlockAnswer;
}
uint32_t QXTOKEN_CALL k_unlockEx(DeviceHandle, uint32_t, const char*, uint32_t, const char*, uint32_t) {
    ++fk->unlockExCalls;
    return fk->unlockExAnswer;
}
uint32_t QXTOKEN_CALL k_retry(DeviceHandle, uint32_t, uint32_t* count) {
    *count = fk->retries;
    return fk->retryStatus;
}
uint32_t QXTOKEN_CALL k_auth(DeviceHandle) { return 0; }
uint32_t QXTOKEN_CALL k_getStatus(DeviceHandle, uint32_t* flags) {
    *flags = fk->flags;
    return 0;
}
uint32_t QXTOKEN_CALL k_setStatus(DeviceHandle, uint32_t flags) {
    fk->setFlags = flags;
    return 0;
}
uint32_t QXTOKEN_CALL k_writeShm(DeviceHandle, const uint8_t* pin, uint32_t length) {
    ++fk->shmWrites;
    fk->shmPin.assign(reinterpret_cast<const char*>(pin), length);
    return 0;
}
uint32_t QXTOKEN_CALL k_press(DeviceHandle) {
    std::lock_guard<std::mutex> lock(fk->m);
    const uint32_t answer = fk->press.front();
    if (fk->press.size() > 1) fk->press.pop_front();
    return answer;
}
uint32_t QXTOKEN_CALL k_cancel(KeyHandle, DeviceHandle) {
    ++fk->cancels;
    return 0;
}

// ---- the fake dialogs ----
std::atomic<int> g_pinDialogs{0};
std::thread::id g_pinDialogThread;
// The scripted dialog library's window: messages sent to it are shown in its transcript.
struct ScriptedWindow {
    platform::Module m{platform::directory_of(qx::test::self_path()) + "scripted-ui/" +
                       platform::module_file_name("QXUI")};
    void* window = m.function<void* (*)()>("QXUIScript_Window")();
    void clear() { m.function<void (*)(const char*)>("QXUIScript_Set")(""); }
    // How often the wait was told about the button.
    std::size_t told() {
        auto t = m.function<uint32_t (*)(char*, uint32_t*)>("QXUIScript_Transcript");
        uint32_t n = 0;
        t(nullptr, &n);
        std::string text(n, '\0');
        t(text.data(), &n);
        std::size_t count = 0;
        for (std::size_t at = text.find("show "); at != std::string::npos; at = text.find("show ", at + 1)) ++count;
        return count;
    }
};
ScriptedWindow& scripted() {
    static ScriptedWindow w;
    return w;
}

uint32_t QXUI_CALL ui_wait(QXUI_PollCallback poll, DeviceHandle device, KeyHandle key, uint32_t, uint8_t* out,
                           uint32_t* outLen, uint32_t, const QXUI_CHAR*) {
    QXUI_DialogContext context{scripted().window, 0};
    return poll(device, key, &context, out, outLen);
}
uint32_t QXUI_CALL ui_verify(QXUI_VerifyPinCallback, DeviceHandle, uint32_t, uint32_t, const QXUI_CHAR*) {
    ++g_pinDialogs;
    g_pinDialogThread = std::this_thread::get_id();
    return 0;
}

DeviceHandle const kDevice = reinterpret_cast<DeviceHandle>(0x1000);

class PinOps : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_bytes("Languages/language_enu.ini", shipped("language_enu.ini"));
        tree_.write_bytes("Languages/language_chs.ini", shipped("language_chs.ini"));
        tree_.write_ini("Config.ini",
                        "[PIN]\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\n"
                        "RequireSpecial = 2\r\nRequireComplex = 0\r\n");
        fk = &kernel_;
        Frame& f = frame();
        f.sharedName = "QXUIExtend test " + std::to_string(platform::process_id());
        f.settings = Settings{};
        KernelApi& k = f.kernel;
        k = KernelApi{};
        k.verifyPin = k_verify;
        k.changePin = k_change;
        k.unlockPin = k_unlock;
        k.unlockPinEx = k_unlockEx;
        k.getPinRetryNum = k_retry;
        k.externalAuth = k_auth;
        k.getPinStatus = k_getStatus;
        k.setPinStatus = k_setStatus;
        k.writeShmPin = k_writeShm;
        k.getDevicePressStatus = k_press;
        k.cancelTransaction = k_cancel;
        f.ui = DialogApi{};
        f.ui.waitKeyPressEvent = ui_wait;
        f.ui.verifyPin = ui_verify;
        ASSERT_EQ(0u, f.setLanguagePath(tree_.path("Languages/language_enu.ini")));
        g_pinDialogs = 0;
        ASSERT_NE(nullptr, scripted().window);
        scripted().clear();
        SetPollLimit(poll_limit_ms(15));
    }
    void TearDown() override {
        frame().markReady(false);
        frame().kernel = KernelApi{};
        frame().ui = DialogApi{};
        fk = nullptr;
    }

    struct Result {
        uint32_t status;
        std::string message;
    };
    Result verify(const std::u16string& pin, uint32_t kind = 1) {
        QXUI_CHAR p[QXUI_TEXT_UNITS] = {}, m[QXUI_TEXT_UNITS] = {};
        std::copy(pin.begin(), pin.end(), p);
        const uint32_t rc = VerifyPinCallback(kDevice, kind, p, m);
        for (QXUI_CHAR c : p) EXPECT_EQ(0, c) << "the dialog's PIN buffer was not wiped";
        return {rc, language::to_utf8(std::u16string(reinterpret_cast<char16_t*>(m)))};
    }
    Result change(const std::u16string& oldPin, const std::u16string& newPin, const std::u16string& repeat) {
        QXUI_CHAR o[QXUI_TEXT_UNITS] = {}, n[QXUI_TEXT_UNITS] = {}, r[QXUI_TEXT_UNITS] = {}, m[QXUI_TEXT_UNITS] = {};
        std::copy(oldPin.begin(), oldPin.end(), o);
        std::copy(newPin.begin(), newPin.end(), n);
        std::copy(repeat.begin(), repeat.end(), r);
        const uint32_t rc = ChangePinCallback(kDevice, 1, o, n, r, m);
        for (QXUI_CHAR c : n) EXPECT_EQ(0, c);
        return {rc, language::to_utf8(std::u16string(reinterpret_cast<char16_t*>(m)))};
    }

    TempTree tree_{"uiext-pin"};
    FakeKernel kernel_;
};

TEST_F(PinOps, ButtonPollEndsAsTheTokenAnswers) {
    struct Case {
        std::deque<uint32_t> answers;
        uint32_t result;
        int cancels;
        std::size_t told;  // 0x5226 messages sent
    };
    const Case cases[] = {
        {{0}, 0, 0, 0},
        {{0x7001, 0x700A, 0x7008, 0}, 0, 0, 1},
        {{ERR_PIN_LOCKED}, ERR_PIN_LOCKED, 0, 0},
        {{ERR_TRANSACTION_PIN_INCORRECT}, ERR_TRANSACTION_PIN_INCORRECT, 0, 0},
        {{0x7003}, 0x7003, 0, 0},
        {{0x7002, 0x7004}, 0x7004, 1, 1},
        {{0x7006}, 0x7006, 1, 0},
        {{0x7007}, 0x7007, 1, 0},
        {{0x7009}, 0x7009, 1, 0},
        {{ERR_BUFFER_TOO_SMALL}, ERR_BUFFER_TOO_SMALL, 0, 0},
        {{0x1001}, 1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.answers.back()));
        kernel_.press = c.answers;
        kernel_.cancels = 0;
        scripted().clear();
        EXPECT_EQ(c.result, WaitForButton(kDevice));
        EXPECT_EQ(c.cancels, kernel_.cancels);
        EXPECT_EQ(c.told, scripted().told());
    }
}

TEST_F(PinOps, ButtonPollStopsAfterItsTimeAndCancels) {
    kernel_.press = {0x7001};
    SetPollLimit(300);
    QXUI_DialogContext context{scripted().window, 0};
    EXPECT_EQ(1u, PollTokenButton(kDevice, nullptr, &context, nullptr, nullptr));
    EXPECT_EQ(1, kernel_.cancels);
    EXPECT_EQ(1u, context.flag);
    // The wait and its grace, in 64-bit milliseconds, from the low 16 bits of the setting.
    EXPECT_EQ(20000u, poll_limit_ms(wait_seconds(15)));
    EXPECT_EQ(5000u + 0xFFFFull * 1000u, poll_limit_ms(wait_seconds(0x7FFFFFFFFFFFll)));
    EXPECT_EQ(5u, wait_seconds(0x10005));
}

TEST_F(PinOps, TokenAskingForThePinGetsOneDialogOnAnotherThread) {
    kernel_.press = {0x7005, 0x7005, 0x7001, 0x7005, 0};
    QXUI_DialogContext context{nullptr, 0};
    EXPECT_EQ(0u, PollTokenButton(kDevice, nullptr, &context, nullptr, nullptr));
    EXPECT_EQ(1, g_pinDialogs.load());
    EXPECT_NE(std::this_thread::get_id(), g_pinDialogThread);
    EXPECT_EQ(0u, scripted().told()) << "a context without a window is not told";
}

TEST_F(PinOps, PollRefusesMissingArgumentsAndExports) {
    EXPECT_EQ(ERR_INVALID_PARAM, PollTokenButton(nullptr, nullptr, nullptr, nullptr, nullptr));
    frame().kernel.getDevicePressStatus = nullptr;
    EXPECT_EQ(ERR_LIBRARY_LOAD, PollTokenButton(kDevice, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(PinOps, VerifyFailuresGiveTheLanguageFilesTexts) {
    struct Case {
        const char* language;
        uint32_t answer;
        uint32_t retries;
        uint32_t retryStatus;
        std::string message;
    };
    const Case cases[] = {
        {"enu", 0, 3, 0, ""},
        {"enu", ERR_PIN_INCORRECT, 3, 0, "Wrong PIN: 3 tries left."},
        {"enu", ERR_PIN_INCORRECT, 1, 0, "Wrong PIN: one try left."},
        {"enu", ERR_PIN_INCORRECT, 0, 0, "The PIN is blocked."},
        {"enu", ERR_PIN_LOCKED, 0, 0, "The PIN is blocked."},
        {"enu", ERR_PIN_INCORRECT, 7, ERR_DEVICE_IO, "The PIN cannot be verified."},  // count unreadable
        {"enu", ERR_PIN_MUST_CHANGE, 3, 0, "The PIN is still the default: change it first."},
        {"enu", ERR_DEVICE_IO, 3, 0, "The PIN cannot be verified."},
        {"chs", ERR_PIN_INCORRECT, 3, 0, "PIN 码错误，还可以重试 3 次"},
        {"chs", ERR_PIN_INCORRECT, 1, 0, "PIN 码错误，还剩最后一次机会"},
        {"chs", ERR_PIN_INCORRECT, 0, 0, "PIN 码已锁定"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.language) + " " + std::to_string(c.answer) + " " + std::to_string(c.retries));
        ASSERT_EQ(0u, frame().setLanguagePath(tree_.path(std::string("Languages/language_") + c.language + ".ini")));
        kernel_.verifyAnswer = c.answer;
        kernel_.retries = c.retries;
        kernel_.retryStatus = c.retryStatus;
        const Result r = verify(u"123456");
        EXPECT_EQ(c.answer, r.status);
        EXPECT_EQ(c.message, r.message);
        EXPECT_EQ("123456", kernel_.verified);
    }
}

TEST_F(PinOps, PinsOutsideTwoTo128BytesNeverReachTheKernel) {
    struct Case {
        std::u16string pin;
        uint32_t status;
        std::string message;
    };
    const Case cases[] = {
        {u"1", kUiFailure, "A PIN takes 2 to 128 bytes."},  // the policy allows 1 character
        {u"", kUiFailure, ""},  // shorter than MinPinLen
        {std::u16string(17, u'7'), kUiFailure, ""},  // longer than MaxPinLen: the rule's own text
    };
    for (const auto& c : cases) {
        const Result r = verify(c.pin);
        EXPECT_EQ(c.status, r.status);
        if (!c.message.empty()) {
            EXPECT_EQ(c.message, r.message);
        }
        EXPECT_FALSE(r.message.empty());
    }
    EXPECT_EQ(0, kernel_.calls);
}

TEST_F(PinOps, ButtonWaitCachesThePinOnlyWhenConfirmed) {
    struct Case {
        int64_t cachePin;
        uint32_t kind;
        uint32_t press;
        uint32_t status;
        int shmWrites;
        uint32_t flagsSet;  // 0xDEAD: not written
    };
    const Case cases[] = {
        {1, 1, 0, 0, 1, 0xDEAD},
        {0, 1, 0, 0, 0, 0xDEAD},
        {1, 0, 0, 0, 0, 0xDEAD},
        {1, 1, ERR_PIN_LOCKED, ERR_PIN_LOCKED, 0, 0x40000},
        {1, 0, ERR_PIN_LOCKED, ERR_PIN_LOCKED, 0, 0x400000},
        {1, 1, 0x7009, 0x7009, 0, 0xDEAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.cachePin) + " " + std::to_string(c.kind) + " " + std::to_string(c.press));
        frame().settings.cachePin = c.cachePin;
        kernel_.verifyAnswer = ERR_TRANSACTION_D10D;
        kernel_.press = {c.press};
        kernel_.shmWrites = 0;
        kernel_.shmPin.clear();
        kernel_.setFlags = 0xDEAD;
        const Result r = verify(u"246810", c.kind);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.shmWrites, kernel_.shmWrites);
        // The kernel zeroed the PIN it was given; the cache gets our own copy.
        if (c.shmWrites) {
            EXPECT_EQ("246810", kernel_.shmPin);
        }
        EXPECT_EQ(c.flagsSet, kernel_.setFlags);
    }
}

TEST_F(PinOps, ChangeChecksRepetitionDefaultAndKeepsTheDefaultBit) {
    struct Case {
        std::u16string newPin, repeat;
        uint32_t answer, press;
        uint32_t status;
        std::string message;
        uint32_t flagsSet;
    };
    const Case cases[] = {
        {u"135790", u"135791", 0, 0, kPinsDiffer, "The two new PINs differ.", 0xDEAD},
        {u"314159", u"314159", 0, 0, kUiFailure, "The new PIN must differ from the default PIN.", 0xDEAD},
        {u"135790", u"135790", 0, 0, 0, "", 0xDEAD},
        {u"135790", u"135790", ERR_TRANSACTION_D10D, 0, 0, "", 0x1},  // default bit cleared
        {u"135790", u"135790", ERR_OLD_PIN_INCORRECT, 0, ERR_OLD_PIN_INCORRECT, "Wrong PIN: 3 tries left.", 0xDEAD},
        {u"135790", u"135790", ERR_DEVICE_IO, 0, ERR_DEVICE_IO, "The PIN cannot be changed.", 0xDEAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(language::to_utf8(c.newPin) + " " + std::to_string(c.answer));
        kernel_.flags = 0x80001;
        kernel_.changeAnswer = c.answer;
        kernel_.press = {c.press};
        kernel_.setFlags = 0xDEAD;
        const Result r = change(u"123456", c.newPin, c.repeat);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.message, r.message);
        EXPECT_EQ(c.flagsSet, kernel_.setFlags);
    }
}

TEST_F(PinOps, UnlockAfterTheButtonFinishesWithTheSecondCommand) {
    QXUI_CHAR so[QXUI_TEXT_UNITS] = {u'8', u'8', u'8', u'8', u'8', u'8'};
    QXUI_CHAR n[QXUI_TEXT_UNITS] = {u'2', u'4', u'6', u'8', u'1', u'0'};
    QXUI_CHAR r[QXUI_TEXT_UNITS] = {u'2', u'4', u'6', u'8', u'1', u'0'};
    QXUI_CHAR m[QXUI_TEXT_UNITS] = {};
    kernel_.unlockAnswer = ERR_TRANSACTION_D10D;
    kernel_.unlockExAnswer = 0;
    kernel_.press = {0x7001, 0};
    EXPECT_EQ(0u, UnlockPinCallback(kDevice, so, n, r, m));
    EXPECT_EQ(1, kernel_.unlockExCalls);
    for (QXUI_CHAR c : so) EXPECT_EQ(0, c);
}

TEST_F(PinOps, ProviderVerifyMarksTheFlagsAfterAFailedButtonWait) {
    struct Case {
        uint32_t kind;
        uint32_t verify, press;
        uint32_t status;
        uint32_t flagsSet;
        int shmWrites;
    };
    const Case cases[] = {
        {1, ERR_PIN_INCORRECT, 0, ERR_PIN_INCORRECT, 0xDEAD, 0},  // no button: returned as it is
        {1, ERR_TRANSACTION_D10D, 0, 0, 0x7, 1},
        {1, ERR_TRANSACTION_D10D, ERR_PIN_LOCKED, ERR_PIN_LOCKED, 0x40007, 0},
        {0, ERR_TRANSACTION_D10D, ERR_PIN_LOCKED, ERR_PIN_LOCKED, 0x400007, 0},
        {1, ERR_TRANSACTION_D10D, 0x7009, 0x7009, 0x10007, 0},
        {0, ERR_TRANSACTION_D10D, 0x1001, 1, 0x100007, 0},
    };
    frame().markReady(true);
    frame().settings.cachePin = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + std::to_string(c.verify) + " " + std::to_string(c.press));
        kernel_.flags = 0x7;
        kernel_.verifyAnswer = c.verify;
        kernel_.press = {c.press};
        kernel_.setFlags = 0xDEAD;
        kernel_.shmWrites = 0;
        EXPECT_EQ(c.status, VerifyPinForCSPKCS(kDevice, c.kind, "135790", 6));
        EXPECT_EQ(c.flagsSet, kernel_.setFlags);
        EXPECT_EQ(c.shmWrites, kernel_.shmWrites);
    }
    EXPECT_EQ(ERR_INVALID_PARAM, VerifyPinForCSPKCS(kDevice, 1, nullptr, 6));
    EXPECT_EQ(ERR_INVALID_PARAM, VerifyPinForCSPKCS(nullptr, 1, "135790", 6));
    frame().markReady(false);
}

TEST_F(PinOps, MissingKernelExportFailsWithoutACall) {
    frame().kernel.verifyPin = nullptr;
    EXPECT_EQ(ERR_LIBRARY_LOAD, verify(u"123456").status);
    frame().kernel.changePin = nullptr;
    EXPECT_EQ(ERR_LIBRARY_LOAD, change(u"123456", u"135790", u"135790").status);
    EXPECT_EQ(0, kernel_.calls);
}

TEST_F(PinOps, NullArgumentsAndAnInertFrameAreRefused) {
    QXUI_CHAR m[QXUI_TEXT_UNITS] = {};
    EXPECT_EQ(ERR_INVALID_PARAM, VerifyPinCallback(kDevice, 1, nullptr, m));
    EXPECT_EQ(ERR_INVALID_PARAM, ChangePinCallback(kDevice, 1, nullptr, nullptr, nullptr, m));
    EXPECT_EQ(ERR_INVALID_PARAM, SetPinCallback(kDevice, 1, nullptr, nullptr, m));
    EXPECT_EQ(ERR_INVALID_PARAM, UnlockPinCallback(kDevice, nullptr, nullptr, nullptr, m));
    // Never initialised in this process: every operation answers 0x6.
    EXPECT_EQ(ERR_LIBRARY_LOAD, VerifyPin(kDevice, 1));
    EXPECT_EQ(ERR_LIBRARY_LOAD, ChangePin(kDevice, 1));
    EXPECT_EQ(ERR_LIBRARY_LOAD, SetPin(kDevice, 1));
    EXPECT_EQ(ERR_LIBRARY_LOAD, UnlockPin(kDevice));
    EXPECT_EQ(ERR_LIBRARY_LOAD, VerifyPinForCSPKCS(kDevice, 1, "123456", 6));
    EXPECT_EQ(ERR_LIBRARY_LOAD, ChangePinForCSPKCS(kDevice, 1, "123456", 6, "135790", 6));
    EXPECT_EQ(0, kernel_.calls);
}

TEST_F(PinOps, LanguagePathIsRefusedRatherThanCutAndTheOldOneStays) {
    const Text good = tree_.path("Languages/language_enu.ini");
    struct Case {
        Text path;
        bool refusedAsArgument;
    };
    const Case cases[] = {
        {Text(), true},
        {Text(260, u'a'), true},
        {tree_.path("Languages/missing.ini"), false},
    };
    for (const auto& c : cases) {
        const uint32_t rc = frame().setLanguagePath(c.path);
        EXPECT_NE(0u, rc);
        if (c.refusedAsArgument) {
            EXPECT_EQ(ERR_INVALID_PARAM, rc);
        }
        EXPECT_EQ(good, frame().languagePath());
    }
    // Another process may leave the area without a terminator: the reader ends it.
    char16_t full[platform::kSharedTextUnits];
    std::fill(std::begin(full), std::end(full), u'x');
    ASSERT_TRUE(platform::shared_text_write(frame().sharedName, full));
    EXPECT_EQ(Text(platform::kSharedTextUnits - 1, u'x'), frame().languagePath());
}

TEST(UiSettings, MissingKeysKeepTheirDefaults) {
    struct Case {
        const char* text;
        int64_t tranSign, pinWait, cachePin;
        std::u16string defaultPin;
    };
    const Case cases[] = {
        {"[QXTokenInfo]\r\n", 60, 15, 0, u"314159"},
        {"[QXTokenInfo]\r\nCachePIN = 1\r\n", 60, 15, 1, u"314159"},
        {"[QXTokenInfo]\r\nTranSignWaitTime = 90\r\nPINOperateWaitTime = 30\r\nDefaultPIN = 888888\r\n", 90, 30, 0,
         u"888888"},
        {"[Other]\r\nCachePIN = 1\r\n", 60, 15, 0, u"314159"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TempTree tree("uiext-settings");
        tree.write_ini("Config.ini", c.text);
        Settings s;
        s.cachePin = 77;
        ASSERT_EQ(0u, LoadSettings(tree.path("Config.ini"), &s));
        EXPECT_EQ(c.tranSign, s.tranSignWaitTime);
        EXPECT_EQ(c.pinWait, s.pinOperateWaitTime);
        EXPECT_EQ(c.cachePin, s.cachePin);
        EXPECT_EQ(c.defaultPin, s.defaultPin);
    }
    TempTree empty("uiext-settings");
    Settings s;
    EXPECT_NE(0u, LoadSettings(empty.path("Config.ini"), &s));
}

QX_TEST_CHILD(read_language_path) {
    frame().sharedName = args.at(0);
    return language::to_utf8(frame().languagePath()) == args.at(1) ? 0 : 1;
}

TEST_F(PinOps, PathSetInOneProcessIsSeenByAnother) {
    for (const char* file : {"Languages/language_chs.ini", "Languages/language_enu.ini"}) {
        const Text path = tree_.path(file);
        ASSERT_EQ(0u, frame().setLanguagePath(path));
        auto child = platform::ChildProcess::spawn(
            qx::test::child_command("read_language_path", {frame().sharedName, language::to_utf8(path)}));
        ASSERT_TRUE(child);
        EXPECT_EQ(0, child->wait()) << file;
    }
}

}  // namespace
}  // namespace qx::uiext
