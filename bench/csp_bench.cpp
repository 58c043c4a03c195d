// The CryptoAPI provider's cost per signature: CryptSignHash through
// advapi32 and QXCSP beside the kernel's own QXToken_SignHash with the same
// RSA-2048 key on the same virtual token (the difference is the provider's
// overhead), and a repeated signature of the same hash value (answered from
// the provider's last signature, as CryptSignMessage's second pass is).
// A Windows program: it runs under Wine.
#include <windows.h>
#include <wincrypt.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"
#include "token_env.h"

using namespace qx::kernel::test;

namespace qx::test {
std::string self_path() { return qx::platform::executable_path(); }
}  // namespace qx::test

namespace {

constexpr char kSoPin[] = "87654321";
constexpr char kUserPin[] = "123456";

struct Setup {
    std::unique_ptr<qx::platform::Module> kernel, csp;
    HCRYPTPROV prov = 0;
    KeyHandle kernelKey = nullptr;
    PFN_QXToken_SignHash signHash = nullptr;
    std::string error;
};

std::string prepare(Setup& s) {
    clear_tokens();
    const std::string dir = install_kernel("cspbench");
    const std::string provider = provider_of("cspbench");
    {
        std::ofstream ini(dir + "Config.ini", std::ios::binary | std::ios::trunc);
        ini << "\xef\xbb\xbf[QXTokenInfo]\r\nCSPName = " << provider << "\r\n[DeviceInfo]\r\n" << kChannelWords
            << "[InitKeypairsNum]\r\nRSA2048 = 2\r\n";
    }
    const std::string bin = qx::platform::directory_of(qx::platform::executable_path());
    for (const char* m : {"QXCSP", "QXUIExtend"})
        std::filesystem::copy_file(bin + qx::platform::module_file_name(m), dir + qx::platform::module_file_name(m),
                                   std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(bin + "scripted-ui/" + qx::platform::module_file_name("QXUI"),
                               dir + qx::platform::module_file_name("QXUI"),
                               std::filesystem::copy_options::overwrite_existing);
    const std::string device = create_blank_token("cspbench");

    s.kernel = std::make_unique<qx::platform::Module>(dir + qx::platform::module_file_name("QXTokenKernel"));
    auto& k = *s.kernel;
    auto openDezo = k.function<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
    auto openByName = k.function<PFN_QXToken_OpenDeviceByName>("QXToken_OpenDeviceByName");
    auto closeDevice = k.function<PFN_QXToken_CloseDevice>("QXToken_CloseDevice");
    auto init = k.function<PFN_QXToken_InitToken>("QXToken_InitToken");
    auto verifyPin = k.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
    auto openContainer = k.function<PFN_QXToken_OpenContainer>("QXToken_OpenContainer");
    auto getKey = k.function<PFN_QXToken_GetAsymKeyFormContainer>("QXToken_GetAsymKeyFormContainer");
    s.signHash = k.function<PFN_QXToken_SignHash>("QXToken_SignHash");
    if (!openDezo || !openByName || !closeDevice || !init || !verifyPin || !openContainer || !getKey || !s.signHash)
        return "a kernel export is missing";
    DeviceHandle blank = nullptr;
    openDezo(device.c_str(), &blank);
    if (!blank || init(blank, kUserPin, 6, kSoPin, 8, reinterpret_cast<const uint8_t*>("B"), 1) != 0)
        return "the token could not be initialised";
    closeDevice(blank);
    DeviceHandle h = nullptr;
    if (openByName(device.c_str(), &h) != 0 || !h) return "the kernel cannot open the token";
    char pin[] = "123456";
    if (verifyPin(h, QXTOKEN_PIN_USER, pin, 6) != 0) return "the kernel's PIN verification failed";

    s.csp = std::make_unique<qx::platform::Module>(dir + qx::platform::module_file_name("QXCSP"));
    auto reg = s.csp->function<HRESULT(WINAPI*)()>("DllRegisterServer");
    if (!reg || reg() != S_OK) return "DllRegisterServer failed";
    if (!CryptAcquireContextA(&s.prov, "bench", provider.c_str(), PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_SILENT))
        return "CryptAcquireContext failed: " + std::to_string(GetLastError());
    HCRYPTKEY key = 0;
    if (!CryptGenKey(s.prov, AT_SIGNATURE, 2048u << 16, &key)) return "CryptGenKey failed";
    CryptDestroyKey(key);
    ContainerHandle container = nullptr;
    if (openContainer(h, "bench", &container) != 0 || getKey(container, 2, &s.kernelKey) != 0)
        return "the kernel cannot reach the provider's key pair";
    return {};
}

Setup& setup() {
    static Setup s = [] {
        Setup s;
        s.error = prepare(s);
        return s;
    }();
    return s;
}

// A SHA-256 value that differs per call, so that every signature is a new one.
void next_value(BYTE* value, uint32_t n) {
    std::memset(value, 0x5A, 32);
    std::memcpy(value, &n, sizeof n);
}

bool csp_sign(Setup& s, const BYTE* value, BYTE* sig, DWORD* length) {
    HCRYPTHASH h = 0;
    bool ok = CryptCreateHash(s.prov, CALG_SHA_256, 0, 0, &h) && CryptSetHashParam(h, HP_HASHVAL, value, 0) &&
              CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig, length);
    if (h) CryptDestroyHash(h);
    return ok;
}

void BM_CspSignHashRsa2048(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    BYTE value[32], sig[256];
    uint32_t n = 0;
    for (auto _ : st) {
        next_value(value, ++n);
        DWORD length = sizeof sig;
        if (!csp_sign(s, value, sig, &length)) return st.SkipWithError("CryptSignHash failed");
    }
}
BENCHMARK(BM_CspSignHashRsa2048)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_KernelSignHashRsa2048(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    BYTE value[32], sig[256];
    uint32_t n = 0;
    for (auto _ : st) {
        next_value(value, ++n);
        uint32_t length = sizeof sig;
        if (s.signHash(s.kernelKey, 1, 5, value, 32, sig, &length) != 0)
            return st.SkipWithError("QXToken_SignHash failed");
    }
}
BENCHMARK(BM_KernelSignHashRsa2048)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_CspSignHashRepeat(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    BYTE value[32], sig[256];
    next_value(value, 0);
    for (auto _ : st) {
        DWORD length = sizeof sig;
        if (!csp_sign(s, value, sig, &length)) return st.SkipWithError("CryptSignHash failed");
    }
}
BENCHMARK(BM_CspSignHashRepeat)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
