// End-to-end set-up of the token dialog and certificate import tests: an
// installation of the UI extension of its own (kernel with the real
// transport, the scripted dialog library, Config.ini with key-pair slots and
// the shipped language files), fresh virtual tokens, the user's certificate
// stores (natively a scratch folder, under Wine the prefix's own), and the
// UI extension's call-backs in this process bound to the same installation.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "QXTokenKernel.h"
#include "QXUI.h"
#include "frame.h"
#include "language.h"
#include "qx/platform/module.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::uiext::test {

using namespace qx::kernel::test;

inline constexpr char kUser[] = "123456";
inline constexpr char kSo[] = "87654321";
inline constexpr char kLoosePolicy[] =
    "MaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
    "RequireComplex = 0\r\n";
inline constexpr char kSlots[] = "[InitKeypairsNum]\r\nRSA1024 = 6\r\nRSA2048 = 2\r\nSM2256 = 2\r\n";

// The certificate stores of this test binary (natively a folder of its own).
inline void use_scratch_stores() {
    static const bool done = [] {
        std::string dir = scratch_directory("uix-certstore");
        dir.pop_back();
        static std::string assignment = "QX_CERTSTORE_HOME=" + dir;
        putenv(assignment.data());
        return true;
    }();
    (void)done;
}

inline std::u16string u16(const std::string& s) { return language::to_text(s); }
inline const QXUI_CHAR* ui_text(const std::u16string& s) { return reinterpret_cast<const QXUI_CHAR*>(s.c_str()); }

class UiTokenTest : public ::testing::Test {
protected:
    // A fresh blank token and installation; `info` goes to [QXTokenInfo],
    // `policy` to [PIN].  The token is initialised with kUser and kSo.
    void start(const std::string& info = "", const std::string& policy = kLoosePolicy,
               const std::string& cosVersion = "010000") {
        use_scratch_stores();
        clear_tokens();
        name_ = "uix" + std::to_string(++counter_);
        device_ = create_blank_token(name_, 1, cosVersion);
        dir_ = install_kernel(name_);
        const std::string bin = binary_directory();
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(bin + platform::module_file_name("QXUIExtend"),
                                   dir_ + platform::module_file_name("QXUIExtend"), overwrite);
        std::filesystem::copy_file(bin + "scripted-ui/" + platform::module_file_name("QXUI"),
                                   dir_ + platform::module_file_name("QXUI"), overwrite);
        std::filesystem::create_directories(dir_ + "Languages");
        for (const char* f : {"language_chs.ini", "language_enu.ini"})
            std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/" + f, dir_ + "Languages/" + f,
                                       overwrite);
        write_bytes(dir_ + "Config.ini",
                    plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name_) + "\r\n" + info + "[DeviceInfo]\r\n" +
                              kChannelWords + "[PIN]\r\n" + policy + kSlots +
                              "[LanguageDefaultSetting]\r\nlanguage = English\r\n"));
        kernel_ = std::make_unique<Kernel>(dir_);
        ui_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUIExtend"));
        dialogs_ = std::make_unique<platform::Module>(dir_ + platform::module_file_name("QXUI"));
        ASSERT_TRUE(*ui_);
        ASSERT_TRUE(*dialogs_);
        // The call-backs of this process work on the same installation.
        ASSERT_EQ(0u, frame().initialise(language::to_text(dir_)));
        h_ = open_and_initialise(device_, "T");
        ASSERT_NE(nullptr, h_);
    }
    void TearDown() override {
        if (kernel_ && h_) kernel_->close(h_);
        h_ = nullptr;
        frame().release();
    }

    // Opens a blank token by name and initialises it with kUser, kSo and the
    // 8-bit label; null on failure.
    DeviceHandle open_and_initialise(const std::string& device, const std::string& label) {
        DeviceHandle h = nullptr;
        const uint32_t opened = kernel_->openDezo(device.c_str(), &h);
        if (!h) {
            ADD_FAILURE() << "open: " << std::hex << opened;
            return nullptr;
        }
        const uint32_t rc = k<PFN_QXToken_InitToken>("QXToken_InitToken")(
            h, kUser, 6, kSo, 8, reinterpret_cast<const uint8_t*>(label.data()), static_cast<uint32_t>(label.size()));
        if (rc != 0) {
            ADD_FAILURE() << "initialisation: " << std::hex << rc;
            kernel_->close(h);
            return nullptr;
        }
        return h;
    }

    template <typename F>
    F fn(const char* name) {
        F f = ui_->function<F>(name);
        EXPECT_NE(nullptr, f) << name;
        return f;
    }
    template <typename F>
    F k(const char* name) {
        F f = kernel_->module.function<F>(name);
        EXPECT_NE(nullptr, f) << name;
        return f;
    }
    void script(const std::string& lines) {
        dialogs_->function<void (*)(const char*)>("QXUIScript_Set")(lines.c_str());
    }
    std::string transcript() {
        auto t = dialogs_->function<uint32_t (*)(char*, uint32_t*)>("QXUIScript_Transcript");
        uint32_t length = 0;
        t(nullptr, &length);
        std::string out(length, '\0');
        t(out.data(), &length);
        out.resize(length ? length - 1 : 0);
        return out;
    }
    bool saw(const std::string& line) { return transcript().find(line) != std::string::npos; }
    uint32_t verify_user(const std::string& pin = kUser) {
        std::string copy = pin;
        return k<PFN_QXToken_VerifyPin>("QXToken_VerifyPin")(h_, QXTOKEN_PIN_USER, copy.data(),
                                                            static_cast<uint32_t>(copy.size()));
    }
    // The token's label bytes as the kernel reads them.
    std::string label_bytes() {
        uint8_t b[32] = {};
        uint32_t n = 24;
        if (k<PFN_QXToken_GetTokenLabel>("QXToken_GetTokenLabel")(h_, b, &n) != 0) return "<error>";
        return std::string(reinterpret_cast<const char*>(b), n);
    }

    static inline int counter_ = 0;
    std::string name_, device_, dir_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<platform::Module> ui_, dialogs_;
    DeviceHandle h_ = nullptr;
};

}  // namespace qx::uiext::test
