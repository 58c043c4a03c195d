// The kernel module end to end, as applications load it: a kernel
// installation of a test's own with its Config.ini, the exports bound by
// name, and a fresh virtual token opened, initialised and logged in.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"
#include "token_env.h"

namespace qx::kernel::test {

// The PINs a token is initialised with.
constexpr const char kUserPin[] = "123456";
constexpr const char kSoPin[] = "87654321";

// The exports every end-to-end test needs; a test's own binding derives from
// it and adds the exports it exercises.  A missing export fails the test.
struct KernelExports {
    explicit KernelExports(const std::string& dir);
    template <typename F>
    F bind(const char* name) {
        F f = m.function<F>(name);
        if (!f) ADD_FAILURE() << "missing export " << name;
        return f;
    }
    platform::Module m;
    PFN_QXToken_OpenDevByNameDEZO openDezo = bind<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
    PFN_QXToken_CloseDevice closeDevice = bind<PFN_QXToken_CloseDevice>("QXToken_CloseDevice");
    PFN_QXToken_InitToken init = bind<PFN_QXToken_InitToken>("QXToken_InitToken");
    PFN_QXToken_VerifyPin verify = bind<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
};

// The provider name of a test kernel: unique to this process and `name`,
// followed by the running test's name.
std::string test_provider(const std::string& name);

// Config.ini of a test kernel: [QXTokenInfo] naming `provider`, then
// `tokenInfo` (lines each led by CR LF), [DeviceInfo] with the channel words,
// then `tail` (further sections).
std::string e2e_config(const std::string& provider, const std::string& tokenInfo, const std::string& tail = "");

// A kernel installation of its own for `name` with that Config.ini, provided
// by test_provider(name).  Returns the directory.
std::string install_e2e_kernel(const std::string& name, const std::string& tokenInfo, const std::string& tail = "");

// Opens the token `device` the way a blank token allows: the host cannot
// authenticate, yet the handle is kept.  Null when there is no handle.
DeviceHandle open_blank(KernelExports& k, const std::string& device);

// Initialises the token (kUserPin, kSoPin, label "T") and verifies the user
// PIN; false after the first step that failed.
bool initialise_and_login(KernelExports& k, DeviceHandle h);

// A fixture over one test kernel: the token's name, the kernel's directory,
// the bound exports and the open token (closed when the test ends).
template <typename Exports>
class KernelE2eTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (k_ && h_) k_->closeDevice(h_);
        h_ = nullptr;
    }
    // A name for this test's token and kernel not used before in this run.
    static std::string next_name(const std::string& prefix) { return prefix + std::to_string(++counter_); }
    // A fresh blank token and a kernel installation of this test's own, both
    // named after `prefix`, with Config.ini of `tokenInfo` and `tail` (see
    // e2e_config); the token opened as a blank one allows.
    void open_blank_token(const std::string& prefix, const std::string& tokenInfo, const std::string& tail = "") {
        name_ = next_name(prefix);
        device_ = create_blank_token(name_);
        dir_ = install_e2e_kernel(name_, tokenInfo, tail);
        k_ = std::make_unique<Exports>(dir_);
        ASSERT_TRUE(k_->m);
        h_ = open_blank(*k_, device_);
        ASSERT_NE(nullptr, h_);
    }

    static inline int counter_ = 0;
    std::string name_, device_, dir_;
    std::unique_ptr<Exports> k_;
    DeviceHandle h_ = nullptr;
};

}  // namespace qx::kernel::test
