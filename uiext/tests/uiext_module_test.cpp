// The UI extension as applications load it: an installation of its own (the
// kernel with the real transport, the scripted dialog library, Config.ini and
// the shipped language files) and a fresh virtual token per test, initialised
// with a user PIN.  The dialogs answer from a script; their transcript shows
// what the person saw.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "QXTokenKernel.h"
#include "QXUI.h"
#include "language.h"
#include "qx/platform/module.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr char kUserPin[] = "123456";
constexpr char kSoPin[] = "87654321";

using SetScript = void (*)(const char*);
using Transcript = uint32_t (*)(char*, uint32_t*);
using InitCtx = uint32_t (*)();
using FreeCtx = void (*)();
using SetPath = uint32_t (*)(const QXUI_CHAR*);
using DialogOp = uint32_t (*)(DeviceHandle, uint32_t);
using UnlockOp = uint32_t (*)(DeviceHandle);
using VerifyForCsp = uint32_t (*)(DeviceHandle, uint32_t, const char*, uint32_t);
using ChangeForCsp = uint32_t (*)(DeviceHandle, uint32_t, const char*, uint32_t, const char*, uint32_t);

std::u16string u16(const std::string& s) { return language::to_text(s); }

// Puts the UI extension, the scripted dialogs and (unless told not to) the
// language files into a kernel installation.
constexpr char kLoosePolicy[] =
    "MaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
    "RequireComplex = 0\r\n";

std::string install_ui(const std::string& name, bool languages = true, bool config = true,
                       const std::string& info = "", const std::string& policy = kLoosePolicy) {
    const std::string dir = install_kernel(name);
    const std::string bin = binary_directory();
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(bin + platform::module_file_name("QXUIExtend"),
                               dir + platform::module_file_name("QXUIExtend"), overwrite);
    std::filesystem::copy_file(bin + "scripted-ui/" + platform::module_file_name("QXUI"),
                               dir + platform::module_file_name("QXUI"), overwrite);
    std::filesystem::remove_all(dir + "Languages");
    if (languages) {
        std::filesystem::create_directories(dir + "Languages");
        for (const char* f : {"language_chs.ini", "language_enu.ini"})
            std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/" + f, dir + "Languages/" + f, overwrite);
    }
    if (config) {
        write_bytes(dir + "Config.ini",
                    plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name) + "\r\n" + info + "[DeviceInfo]\r\n" +
                              kChannelWords + "[PIN]\r\n" + policy + "[LanguageDefaultSetting]\r\nlanguage = English\r\n"));
    } else {
        std::filesystem::remove(dir + "Config.ini");
    }
    return dir;
}

class UiExtension : public ::testing::Test {
protected:
    void start(const std::string& info = "", const std::string& policy = kLoosePolicy) {
        clear_tokens();
        name_ = "ui" + std::to_string(++counter_);
        device_ = create_blank_token(name_);
        dir_ = install_ui(name_, true, true, info, policy);
        kernel_ = std::make_unique<Kernel>(dir_);
        ui_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUIExtend"));
        dialogs_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUI"));
        ASSERT_TRUE(*ui_);
        ASSERT_TRUE(*dialogs_);
        init_ = kernel_->module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        retries_ = kernel_->module.function<PFN_QXToken_GetPinRetryNum>("QXToken_GetPinRetryNum");
        kverify_ = kernel_->module.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
        kernel_->openDezo(device_.c_str(), &h_);
        ASSERT_NE(nullptr, h_);
        ASSERT_EQ(ERR_OK, init_(h_, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1));
    }
    void TearDown() override {
        if (kernel_ && h_) kernel_->close(h_);
    }
    template <typename F>
    F fn(const char* name) {
        F f = ui_->function<F>(name);
        EXPECT_NE(nullptr, f) << name;
        return f;
    }
    void script(const std::string& lines) { dialogs_->function<SetScript>("QXUIScript_Set")(lines.c_str()); }
    std::string transcript() {
        auto t = dialogs_->function<Transcript>("QXUIScript_Transcript");
        uint32_t length = 0;
        t(nullptr, &length);
        std::string out(length, '\0');
        t(out.data(), &length);
        out.resize(length ? length - 1 : 0);
        return out;
    }
    uint32_t tries(uint32_t kind = QXTOKEN_PIN_USER) {
        uint32_t n = 99;
        EXPECT_EQ(ERR_OK, retries_(h_, kind, &n));
        return n;
    }
    uint32_t kernel_verify(const std::string& pin) {
        std::string copy = pin;
        return kverify_(h_, QXTOKEN_PIN_USER, copy.data(), static_cast<uint32_t>(copy.size()));
    }
    std::string tries_text(uint32_t n) {
        if (n == 0) return "The PIN is blocked.";
        if (n == 1) return "Wrong PIN: one try left.";
        return "Wrong PIN: " + std::to_string(n) + " tries left.";
    }

    static inline int counter_ = 0;
    std::string name_, device_, dir_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<platform::Module> ui_, dialogs_;
    PFN_QXToken_InitToken init_ = nullptr;
    PFN_QXToken_GetPinRetryNum retries_ = nullptr;
    PFN_QXToken_VerifyPin kverify_ = nullptr;
    DeviceHandle h_ = nullptr;
};

TEST_F(UiExtension, VerifyShowsTheRetryTextThenAcceptsTheRightPin) {
    start();
    auto verify = fn<DialogOp>("QXUIEx_VerifyPin");
    script("111111\n<cancel>\n");
    EXPECT_EQ(ERR_PIN_INCORRECT, verify(h_, QXTOKEN_PIN_USER));
    const uint32_t left = tries();
    EXPECT_NE(std::string::npos, transcript().find("show " + tries_text(left) + "\n")) << transcript();
    EXPECT_NE(std::string::npos, transcript().find("ask Verify PIN: User PIN:")) << transcript();

    script("1\n123456\n");  // one byte: refused before the token, then the right PIN
    EXPECT_EQ(ERR_OK, verify(h_, QXTOKEN_PIN_USER));
    EXPECT_NE(std::string::npos, transcript().find("show A PIN takes 2 to 128 bytes.\n")) << transcript();
    EXPECT_EQ(left + 1, tries()) << "the refused 1-byte PIN cost no try";
}

TEST_F(UiExtension, ChineseTextsAfterTheLanguagePathChanges) {
    start();
    auto setPath = fn<SetPath>("QXUIEx_SetSysLangPath");
    const std::u16string chs = u16(dir_ + "Languages/language_chs.ini");
    ASSERT_EQ(ERR_OK, setPath(reinterpret_cast<const QXUI_CHAR*>(chs.c_str())));
    script("111111\n<cancel>\n");
    EXPECT_EQ(ERR_PIN_INCORRECT, fn<DialogOp>("QXUIEx_VerifyPin")(h_, QXTOKEN_PIN_USER));
    const uint32_t left = tries();
    const std::string expected = left == 1 ? "PIN 码错误，还剩最后一次机会"
                                           : "PIN 码错误，还可以重试 " + std::to_string(left) + " 次";
    EXPECT_NE(std::string::npos, transcript().find("ask 验证 PIN 码")) << transcript();
    EXPECT_NE(std::string::npos, transcript().find("show " + expected + "\n")) << transcript();
}

TEST_F(UiExtension, ChangeThenUnlockGiveTheTokenTheirPins) {
    start();
    script("123456\n13579a\n13579b\n<cancel>\n");
    EXPECT_EQ(1u, fn<DialogOp>("QXUIEx_ChangePin")(h_, QXTOKEN_PIN_USER));
    EXPECT_NE(std::string::npos, transcript().find("show The two new PINs differ.\n")) << transcript();

    script("123456\n13579a\n13579a\n");
    ASSERT_EQ(ERR_OK, fn<DialogOp>("QXUIEx_ChangePin")(h_, QXTOKEN_PIN_USER)) << transcript();
    EXPECT_EQ(ERR_OK, kernel_verify("13579a"));

    script("87654321\n24680c\n24680c\n");
    ASSERT_EQ(ERR_OK, fn<UnlockOp>("QXUIEx_UnlockPin")(h_)) << transcript();
    EXPECT_EQ(ERR_OK, kernel_verify("24680c"));

    // Dialog-less: the provider's change and verify.
    auto changeCsp = fn<ChangeForCsp>("QXUIEx_ChangePinForCSPKCS");
    EXPECT_EQ(0xFFFFFFFFu, changeCsp(h_, QXTOKEN_PIN_USER, "24680c", 6, "314159", 6));  // the default PIN
    EXPECT_EQ(ERR_OK, changeCsp(h_, QXTOKEN_PIN_USER, "24680c", 6, "97531d", 6));
    EXPECT_EQ(ERR_OK, fn<VerifyForCsp>("QXUIEx_VerifyPinForCSPKCS")(h_, QXTOKEN_PIN_USER, "97531d", 6));
}

TEST_F(UiExtension, WrongAdministratorPinReportsItsTries) {
    start();
    script("11111111\n24680c\n24680c\n<cancel>\n");
    const uint32_t rc = fn<UnlockOp>("QXUIEx_UnlockPin")(h_);
    EXPECT_EQ(ERR_PIN_INCORRECT, rc);
    const uint32_t left = tries(QXTOKEN_PIN_SO);
    EXPECT_NE(std::string::npos, transcript().find("show " + tries_text(left) + "\n")) << transcript();
}

TEST_F(UiExtension, SetPinReplacesTheDefaultPinOnly) {
    start();
    // The user PIN is not the default: the token refuses the default as the
    // old PIN, and the person sees the tries left.
    script("24680c\n24680c\n<cancel>\n");
    EXPECT_EQ(ERR_OLD_PIN_INCORRECT, fn<DialogOp>("QXUIEx_SetPin")(h_, QXTOKEN_PIN_USER));
    EXPECT_NE(std::string::npos, transcript().find("show " + tries_text(tries()) + "\n")) << transcript();
    EXPECT_EQ(ERR_OK, kernel_verify(kUserPin));

    // Initialised with the default PIN, the set replaces it.
    ASSERT_EQ(ERR_OK, init_(h_, "314159", 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1));
    script("24680c\n24680c\n");
    EXPECT_EQ(ERR_OK, fn<DialogOp>("QXUIEx_SetPin")(h_, QXTOKEN_PIN_USER)) << transcript();
    EXPECT_EQ(ERR_OK, kernel_verify("24680c"));
}

TEST_F(UiExtension, PolicyKeysOfTheInstallationDecideTheMessage) {
    struct Case {
        const char* policy;
        const char* newPin;
        const char* message;
    };
    const Case cases[] = {
        {"MaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 1\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
         "RequireComplex = 0\r\n",
         "abcxyz", "The PIN must contain a digit."},
        {"MaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 0\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
         "RequireComplex = 0\r\n",
         "abc1yz", "The PIN must not contain digits."},
        {"MaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
         "RequireComplex = 1\r\n",
         "111111", "The PIN is too simple: avoid runs and repeated characters."},
        {"MaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n",
         "135790", "The configuration file cannot be read."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.policy);
        start("", c.policy);
        script((std::string("123456\n") + c.newPin + "\n" + c.newPin + "\n<cancel>\n").c_str());
        EXPECT_NE(ERR_OK, fn<DialogOp>("QXUIEx_ChangePin")(h_, QXTOKEN_PIN_USER));
        EXPECT_NE(std::string::npos, transcript().find(std::string("show ") + c.message + "\n")) << transcript();
        EXPECT_EQ(ERR_OK, kernel_verify("123456")) << "the PIN was not changed";
        kernel_->close(h_);
        h_ = nullptr;
    }
}

TEST_F(UiExtension, NullArgumentsAreRefused) {
    start();
    EXPECT_EQ(ERR_INVALID_PARAM, fn<SetPath>("QXUIEx_SetSysLangPath")(nullptr));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<DialogOp>("QXUIEx_VerifyPin")(nullptr, 1));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<DialogOp>("QXUIEx_ChangePin")(nullptr, 1));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<DialogOp>("QXUIEx_SetPin")(nullptr, 1));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<UnlockOp>("QXUIEx_UnlockPin")(nullptr));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<VerifyForCsp>("QXUIEx_VerifyPinForCSPKCS")(h_, 1, nullptr, 6));
    EXPECT_EQ(ERR_INVALID_PARAM, fn<ChangeForCsp>("QXUIEx_ChangePinForCSPKCS")(h_, 1, nullptr, 0, "1", 1));
    // A path of 260 units does not fit and is not cut.
    const std::u16string longPath(260, u'a');
    EXPECT_EQ(ERR_INVALID_PARAM, fn<SetPath>("QXUIEx_SetSysLangPath")(reinterpret_cast<const QXUI_CHAR*>(longPath.c_str())));
}

TEST_F(UiExtension, FreeAndInitAgain) {
    start();
    fn<FreeCtx>("QXUIEx_FreeCtx")();
    fn<FreeCtx>("QXUIEx_FreeCtx")();  // a second release does nothing
    EXPECT_EQ(ERR_LIBRARY_LOAD, fn<DialogOp>("QXUIEx_VerifyPin")(h_, 1));
    EXPECT_EQ(1u, fn<InitCtx>("QXUIEx_InitCtx")());
    script("123456\n");
    EXPECT_EQ(ERR_OK, fn<DialogOp>("QXUIEx_VerifyPin")(h_, 1));
}

TEST(UiExtensionInstall, WithoutLanguagesOrConfigTheLibraryFailsToStart) {
    struct Case {
        const char* name;
        bool languages, config;
    };
    const Case cases[] = {{"nolang", false, true}, {"noconfig", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = install_ui(c.name, c.languages, c.config);
        platform::Module ui(dir + platform::module_file_name("QXUIExtend"));
        // Windows refuses a library whose attach failed; POSIX keeps it loaded but inert.
        if (!ui) continue;
        EXPECT_EQ(0u, ui.function<InitCtx>("QXUIEx_InitCtx")());
        EXPECT_EQ(ERR_LIBRARY_LOAD, ui.function<DialogOp>("QXUIEx_VerifyPin")(reinterpret_cast<DeviceHandle>(1), 1));
        const std::u16string p = u"x";
        EXPECT_EQ(ERR_LIBRARY_LOAD, ui.function<SetPath>("QXUIEx_SetSysLangPath")(reinterpret_cast<const QXUI_CHAR*>(p.c_str())));
    }
}

}  // namespace
}  // namespace qx::kernel::test
