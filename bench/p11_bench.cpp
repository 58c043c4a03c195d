// The PKCS #11 module's cost per operation: C_Sign with an RSA-2048 key
// through the module beside the kernel's own QXToken_SignHash with the same
// key on the same virtual token (the difference is the module's overhead),
// and C_FindObjects over the objects of ten containers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "p11/cryptoki.h"
#include "qx/platform/module.h"
#include "token_env.h"

using namespace qx::kernel::test;

namespace qx::test {
std::string self_path() { return qx::platform::executable_path(); }
}  // namespace qx::test

namespace {

constexpr char kSoPin[] = "87654321";
constexpr char kUserPin[] = "123456";
constexpr int kContainers = 10;

CK_UTF8CHAR_PTR utf8(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

// One token initialised through the module, ten RSA-2048 key pairs made by
// C_GenerateKeyPair (one container each), a user session logged in, and the
// kernel's own handle on the first pair's container for the direct calls.
struct Setup {
    std::unique_ptr<qx::platform::Module> p11, kernel;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    DeviceHandle device = nullptr;
    KeyHandle kernelKey = nullptr;
    PFN_QXToken_SignHash signHash = nullptr;
    std::string error;
};

std::string prepare(Setup& s) {
    clear_tokens();
    const std::string dir = install_kernel("p11bench");
    {
        // Room for more containers than the default five.
        std::ofstream ini(dir + "Config.ini", std::ios::binary | std::ios::trunc);
        ini << "\xef\xbb\xbf[QXTokenInfo]\r\nCSPName = " << provider_of("p11bench")
            << "\r\nMaxContainerCount = 16\r\n[DeviceInfo]\r\n" << kChannelWords
            << "[InitKeypairsNum]\r\nRSA2048 = " << kContainers << "\r\n";
    }
    const std::string bin = qx::platform::directory_of(qx::platform::executable_path());
    const std::string file = qx::platform::module_file_name("QXP11");
    std::filesystem::copy_file(bin + file, dir + file, std::filesystem::copy_options::overwrite_existing);
    const std::string deviceName = create_blank_token("p11bench");
    s.p11 = std::make_unique<qx::platform::Module>(dir + file);
    auto get = s.p11->function<CK_C_GetFunctionList>("C_GetFunctionList");
    if (!get || get(&s.f) != CKR_OK) return "the module or C_GetFunctionList is missing";
    CK_FUNCTION_LIST& f = *s.f;
    if (f.C_Initialize(nullptr) != CKR_OK) return "C_Initialize failed";
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    if (f.C_GetSlotList(CK_TRUE, &slot, &n) != CKR_OK || n != 1) return "no slot";
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Bench", 5);
    if (f.C_InitToken(slot, utf8(kSoPin), 8, label) != CKR_OK) return "C_InitToken failed";
    CK_SESSION_HANDLE h = 0;
    if (f.C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) != CKR_OK ||
        f.C_Login(h, CKU_SO, utf8(kSoPin), 8) != CKR_OK || f.C_InitPIN(h, utf8(kUserPin), 6) != CKR_OK ||
        f.C_Logout(h) != CKR_OK || f.C_Login(h, CKU_USER, utf8(kUserPin), 6) != CKR_OK)
        return "the user PIN could not be set";
    s.session = h;
    for (int i = 0; i < kContainers; ++i) {
        CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_ULONG bits = 2048;
        const std::string name = "bench" + std::to_string(i);
        CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}};
        CK_ATTRIBUTE priv[] = {{CKA_LABEL, const_cast<char*>(name.data()), name.size()}};
        CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
        const CK_RV rv = f.C_GenerateKeyPair(h, &mech, pub, 1, priv, 1, &pubKey, &privKey);
        if (rv != CKR_OK) return "C_GenerateKeyPair " + std::to_string(i) + " failed: " + std::to_string(rv);
        if (i == 0) s.key = privKey;
    }

    // The kernel of the same directory (the module loaded it already) on the same token.
    s.kernel = std::make_unique<qx::platform::Module>(dir + qx::platform::module_file_name("QXTokenKernel"));
    auto& k = *s.kernel;
    auto openByName = k.function<PFN_QXToken_OpenDeviceByName>("QXToken_OpenDeviceByName");
    auto verifyPin = k.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
    auto openContainer = k.function<PFN_QXToken_OpenContainer>("QXToken_OpenContainer");
    auto getKey = k.function<PFN_QXToken_GetAsymKeyFormContainer>("QXToken_GetAsymKeyFormContainer");
    s.signHash = k.function<PFN_QXToken_SignHash>("QXToken_SignHash");
    if (!openByName || !verifyPin || !openContainer || !getKey || !s.signHash) return "a kernel export is missing";
    if (openByName(deviceName.c_str(), &s.device) != 0 || !s.device) return "the kernel cannot open the token";
    char pin[] = "123456";
    if (verifyPin(s.device, QXTOKEN_PIN_USER, pin, 6) != 0) return "the kernel's PIN verification failed";
    ContainerHandle container = nullptr;
    if (openContainer(s.device, "bench0", &container) != 0) return "the kernel cannot open the first container";
    // The module files a pair without CKA_SIGN as the exchange pair (1), else the signature pair (2).
    if (getKey(container, 1, &s.kernelKey) != 0 && getKey(container, 2, &s.kernelKey) != 0)
        return "the kernel cannot reach the first key pair";
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

// DigestInfo of SHA-256 with a digest: what CKM_RSA_PKCS signs for a SHA-256 signature.
std::vector<uint8_t> digest_info() {
    std::vector<uint8_t> d = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                              0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    d.resize(d.size() + 32, 0x5A);
    return d;
}

void BM_P11SignRsa2048(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    std::vector<uint8_t> data = digest_info();
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    uint8_t sig[256];
    for (auto _ : st) {
        CK_ULONG length = sizeof sig;
        if (s.f->C_SignInit(s.session, &mech, s.key) != CKR_OK ||
            s.f->C_Sign(s.session, data.data(), data.size(), sig, &length) != CKR_OK)
            return st.SkipWithError("C_Sign failed");
    }
}

void BM_KernelSignHashRsa2048(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    // The very call the module makes for CKM_RSA_PKCS: the DigestInfo block as it is.
    const std::vector<uint8_t> data = digest_info();
    uint8_t sig[256];
    for (auto _ : st) {
        uint32_t length = sizeof sig;
        if (s.signHash(s.kernelKey, 0, 8, data.data(), static_cast<uint32_t>(data.size()), sig, &length) != 0)
            return st.SkipWithError("QXToken_SignHash failed");
    }
}

// Every private key of the ten containers, then all their objects.
void BM_P11FindObjects(benchmark::State& st) {
    Setup& s = setup();
    if (!s.error.empty()) return st.SkipWithError(s.error.c_str());
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE privateKeys[] = {{CKA_CLASS, &cls, sizeof cls}};
    const CK_ULONG templateCount = st.range(0) ? 1 : 0;
    CK_OBJECT_HANDLE found[64];
    for (auto _ : st) {
        CK_ULONG n = 0;
        if (s.f->C_FindObjectsInit(s.session, templateCount ? privateKeys : nullptr, templateCount) != CKR_OK ||
            s.f->C_FindObjects(s.session, found, 64, &n) != CKR_OK || s.f->C_FindObjectsFinal(s.session) != CKR_OK)
            return st.SkipWithError("C_FindObjects failed");
        if (n < static_cast<CK_ULONG>(kContainers)) return st.SkipWithError("fewer objects than containers");
    }
}

}  // namespace

BENCHMARK(BM_P11SignRsa2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelSignHashRsa2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P11FindObjects)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
