// PIN operations of the UI extension on a token that holds them for its
// button (status D10D): the wait dialog appears, another process presses the
// button with `qxvtoken press`, and the operation ends as confirmed.  The
// dialogs are the scripted library's; the token is a virtual one made with
// a PIN button.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "QXUI.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

constexpr char kUserPin[] = "123456";
constexpr char kSoPin[] = "87654321";
constexpr char kWaitShown[] = "show Press the button on your UKey to confirm.\n";

using SetScript = void (*)(const char*);
using Transcript = uint32_t (*)(char*, uint32_t*);
using DialogOp = uint32_t (*)(DeviceHandle, uint32_t);
using UnlockOp = uint32_t (*)(DeviceHandle);

std::string program(const std::string& name) {
    const std::string p = binary_directory() + name;
    return std::filesystem::exists(p + ".exe") ? p + ".exe" : p;
}

class PinButton : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        name_ = "pb" + std::to_string(++counter_);
        device_ = create_blank_token(name_);
        dir_ = install_kernel(name_);
        const std::string bin = binary_directory();
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(bin + platform::module_file_name("QXUIExtend"),
                                   dir_ + platform::module_file_name("QXUIExtend"), overwrite);
        std::filesystem::copy_file(bin + "scripted-ui/" + platform::module_file_name("QXUI"),
                                   dir_ + platform::module_file_name("QXUI"), overwrite);
        std::filesystem::create_directories(dir_ + "Languages");
        std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_enu.ini",
                                   dir_ + "Languages/language_enu.ini", overwrite);
        write_bytes(dir_ + "Config.ini",
                    plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name_) + "\r\nPINOperateWaitTime = 20\r\n"
                              "[DeviceInfo]\r\n" + kChannelWords +
                              "[PIN]\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\n"
                              "RequireAlphabetic = 2\r\nRequireSpecial = 2\r\nRequireComplex = 0\r\n"
                              "[LanguageDefaultSetting]\r\nlanguage = English\r\n"));
        kernel_ = std::make_unique<Kernel>(dir_);
        ui_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUIExtend"));
        dialogs_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUI"));
        ASSERT_TRUE(*ui_);
        ASSERT_TRUE(*dialogs_);
        kernel_->openDezo(device_.c_str(), &h_);
        ASSERT_NE(nullptr, h_);
        auto init = kernel_->module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        ASSERT_EQ(ERR_OK, init(h_, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("T"), 1));
        // From now on the token holds right PINs for its button.
        ASSERT_EQ(vtoken::StoreStatus::Ok, store().update(name_, [](vtoken::TokenState& s) {
            s.config.pin_button = true;
            return true;
        }));
    }
    void TearDown() override {
        if (kernel_ && h_) kernel_->close(h_);
    }
    vtoken::TokenStore store() const { return vtoken::TokenStore(vtoken_home()); }
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
    // Runs `op` while another process presses the button once the token
    // holds an operation and the wait dialog has told the person; returns
    // the operation's status and the presser's exit code.
    template <typename Op>
    std::pair<uint32_t, int> with_press(Op op) {
        int pressed = -100;
        std::thread presser([&] {
            for (int i = 0; i < 400; ++i) {
                vtoken::TokenState s;
                if (store().read(name_, s) == vtoken::StoreStatus::Ok && s.vol.pin_press.operation != 0 &&
                    transcript().find(kWaitShown) != std::string::npos)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            auto child = platform::ChildProcess::spawn({program("qxvtoken"), "press", name_});
            pressed = child ? child->wait() : -1;
        });
        const uint32_t rc = op();
        presser.join();
        return {rc, pressed};
    }
    // The kernel's own verification: a wrong PIN is refused at once, a
    // right one is held for the button (0x700A).
    uint32_t kernel_verify(uint32_t kind, const std::string& pin) {
        std::string copy = pin;
        return kernel_->module.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin")(
            h_, kind, copy.data(), static_cast<uint32_t>(copy.size()));
    }

    static inline int counter_ = 0;
    std::string name_, device_, dir_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<platform::Module> ui_, dialogs_;
    DeviceHandle h_ = nullptr;
};

TEST_F(PinButton, VerifyChangeAndUnlockFinishWhenAnotherProcessPresses) {
    script("123456\n");
    auto [verified, pressed] = with_press([&] { return ui_->function<DialogOp>("QXUIEx_VerifyPin")(h_, QXTOKEN_PIN_USER); });
    EXPECT_EQ(ERR_OK, verified);
    EXPECT_EQ(0, pressed);
    EXPECT_NE(std::string::npos, transcript().find(kWaitShown)) << transcript();
    EXPECT_EQ(3, security_state(name_)) << "the user PIN counts as verified after the press";

    script("123456\n654321\n654321\n");
    auto [changed, pressed2] = with_press([&] { return ui_->function<DialogOp>("QXUIEx_ChangePin")(h_, QXTOKEN_PIN_USER); });
    EXPECT_EQ(ERR_OK, changed);
    EXPECT_EQ(0, pressed2);
    EXPECT_NE(std::string::npos, transcript().find(kWaitShown)) << transcript();
    EXPECT_EQ(ERR_PIN_INCORRECT, kernel_verify(QXTOKEN_PIN_USER, "123456"));
    EXPECT_EQ(0x700Au, kernel_verify(QXTOKEN_PIN_USER, "654321")) << "the new PIN is the right one";

    script("87654321\n111111\n111111\n");
    auto [unlocked, pressed3] = with_press([&] { return ui_->function<UnlockOp>("QXUIEx_UnlockPin")(h_); });
    EXPECT_EQ(ERR_OK, unlocked);
    EXPECT_EQ(0, pressed3);
    EXPECT_EQ(ERR_PIN_INCORRECT, kernel_verify(QXTOKEN_PIN_USER, "654321"));
    EXPECT_EQ(0x700Au, kernel_verify(QXTOKEN_PIN_USER, "111111"));
}

TEST_F(PinButton, AWrongPinIsRefusedWithoutWaitingForTheButton) {
    script("999999\n<cancel>\n");
    EXPECT_EQ(ERR_PIN_INCORRECT, ui_->function<DialogOp>("QXUIEx_VerifyPin")(h_, QXTOKEN_PIN_USER));
    EXPECT_EQ(std::string::npos, transcript().find(kWaitShown)) << transcript();
    vtoken::TokenState s;
    ASSERT_EQ(vtoken::StoreStatus::Ok, store().read(name_, s));
    EXPECT_EQ(0, s.vol.pin_press.operation);
    // Nothing waits for the button, so a press is refused.
    auto child = platform::ChildProcess::spawn({program("qxvtoken"), "press", name_});
    ASSERT_TRUE(child);
    EXPECT_NE(0, child->wait());
}

TEST(PinButtonOption, QxvtokenCreateMakesTokensWithAndWithoutIt) {
    clear_tokens();
    const vtoken::TokenStore store(vtoken_home());
    for (const bool withButton : {true, false}) {
        const std::string name = withButton ? "pbcli1" : "pbcli0";
        std::vector<std::string> argv = {program("qxvtoken"), "create"};
        if (withButton) argv.push_back("--pin-button");
        argv.push_back(name);
        auto child = platform::ChildProcess::spawn(argv);
        ASSERT_TRUE(child);
        ASSERT_EQ(0, child->wait());
        vtoken::TokenState s;
        ASSERT_EQ(vtoken::StoreStatus::Ok, store.read(name, s));
        EXPECT_EQ(withButton, s.config.pin_button) << name;
    }
    clear_tokens();
}

}  // namespace
}  // namespace qx::kernel::test
