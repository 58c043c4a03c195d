// Signing and verifying with key pairs through the kernel module on a virtual
// token (the card OS and its file store included): RSA-2048 signs on the
// token and verifies in host software, SM2 does both on the token.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

using namespace qx::kernel::test;

// The test set-up finds the modules beside the running program; the test main
// normally says where that is.
namespace qx::test {
std::string self_path() { return qx::platform::executable_path(); }
}  // namespace qx::test

namespace {

struct Token {
    std::unique_ptr<qx::platform::Module> module;
    PFN_QXToken_SignHash sign = nullptr;
    PFN_QXToken_VerifyHash verify = nullptr;
    DeviceHandle device = nullptr;
    KeyHandle rsa = nullptr, sm2 = nullptr;
    std::string error;
};

// One initialised token with the user PIN verified and a key pair of each kind.
Token& token() {
    static Token t = [] {
        Token t;
        clear_tokens();
        const std::string dir = install_kernel("keybench", std::string(kChannelWords) +
                                                               "\r\n[InitKeypairsNum]\r\nRSA2048 = 1\r\nSM2256 = 1\r\n");
        const std::string device = create_blank_token("keybench");
        t.module = std::make_unique<qx::platform::Module>(dir + qx::platform::module_file_name("QXTokenKernel"));
        auto& m = *t.module;
        auto openDezo = m.function<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
        auto init = m.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        auto verifyPin = m.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
        auto gen = m.function<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey");
        t.sign = m.function<PFN_QXToken_SignHash>("QXToken_SignHash");
        t.verify = m.function<PFN_QXToken_VerifyHash>("QXToken_VerifyHash");
        if (!openDezo || !init || !verifyPin || !gen || !t.sign || !t.verify) {
            t.error = "the kernel module or one of its exports is missing";
            return t;
        }
        openDezo(device.c_str(), &t.device);
        char pin[] = "123456";
        if (!t.device || init(t.device, pin, 6, "87654321", 8, reinterpret_cast<const uint8_t*>("B"), 1) != 0 ||
            verifyPin(t.device, QXTOKEN_PIN_USER, pin, 6) != 0 || gen(t.device, 0x20000, 2048, 2, 0, &t.rsa) != 0 ||
            gen(t.device, 0x10000, 256, 2, 0, &t.sm2) != 0)
            t.error = "the virtual token could not be prepared";
        return t;
    }();
    return t;
}

const std::vector<uint8_t> kHash(32, 0x5A);
const std::vector<uint8_t> kMessage(64, 0x6D);

void BM_Rsa2048SignOnToken(benchmark::State& st) {
    Token& t = token();
    if (!t.error.empty()) return st.SkipWithError(t.error.c_str());
    uint8_t sig[256];
    for (auto _ : st) {
        uint32_t length = sizeof sig;
        if (t.sign(t.rsa, 1, 5, kHash.data(), 32, sig, &length) != 0) return st.SkipWithError("signing failed");
    }
}

void BM_Rsa2048VerifyInKernel(benchmark::State& st) {
    Token& t = token();
    if (!t.error.empty()) return st.SkipWithError(t.error.c_str());
    uint8_t sig[256];
    uint32_t length = sizeof sig;
    if (t.sign(t.rsa, 1, 5, kHash.data(), 32, sig, &length) != 0) return st.SkipWithError("signing failed");
    for (auto _ : st) {
        if (t.verify(t.rsa, 1, 5, kHash.data(), 32, sig, length) != 0) return st.SkipWithError("verifying failed");
    }
}

void BM_Sm2SignOnToken(benchmark::State& st) {
    Token& t = token();
    if (!t.error.empty()) return st.SkipWithError(t.error.c_str());
    uint8_t sig[64];
    for (auto _ : st) {
        uint32_t length = sizeof sig;
        if (t.sign(t.sm2, 0, 16, kMessage.data(), uint32_t(kMessage.size()), sig, &length) != 0)
            return st.SkipWithError("signing failed");
    }
}

void BM_Sm2VerifyOnToken(benchmark::State& st) {
    Token& t = token();
    if (!t.error.empty()) return st.SkipWithError(t.error.c_str());
    uint8_t sig[64];
    uint32_t length = sizeof sig;
    if (t.sign(t.sm2, 0, 16, kMessage.data(), uint32_t(kMessage.size()), sig, &length) != 0)
        return st.SkipWithError("signing failed");
    for (auto _ : st) {
        if (t.verify(t.sm2, 0, 16, kMessage.data(), uint32_t(kMessage.size()), sig, 64) != 0)
            return st.SkipWithError("verifying failed");
    }
}

}  // namespace

BENCHMARK(BM_Rsa2048SignOnToken)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048VerifyInKernel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sm2SignOnToken)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sm2VerifyOnToken)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
