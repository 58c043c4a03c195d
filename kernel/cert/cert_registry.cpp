#include "cert/cert_registry.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "core/kernel_state.h"
#include "core/shared_area.h"
#include "core/trace.h"
#include "init/after_init.h"
#include "qx/platform/file_io.h"
#include "qx/platform/text.h"

namespace qx::kernel {

namespace {

using platform::AddMode;
using platform::CertStore;
using platform::StoreStatus;

constexpr char kSource[] = "QuorvaCert";

// The system's 8-bit form of a name; a character without one becomes '?'.
std::string system_text(const std::u16string& text) {
    std::string out;
    if (platform::to_system_text(text, &out) == 0) return out;
    out.clear();
    for (char16_t unit : text) {
        std::string one;
        out += platform::to_system_text(std::u16string_view(&unit, 1), &one) == 0 ? one : std::string("?");
    }
    return out;
}

// Initialisation of a token unregisters what its slot had cached; installed
// once when the certificate code is linked in, keeping the other steps.
const bool g_stepInstalled = [] {
    AfterInitSteps steps;
    steps.unregister_slot_certificates = &unregister_slot_certificates;
    set_after_init_steps(steps);
    return true;
}();

}  // namespace

bool add_with_retries(const std::function<StoreStatus()>& attempt) {
    for (int i = 0; i < kMaxStoreAddAttempts; ++i) {
        const StoreStatus s = attempt();
        if (s == StoreStatus::Ok) return true;
        if (s != StoreStatus::Cancelled) return false;
    }
    return false;
}

uint32_t register_user_certificate(const uint8_t* der, uint32_t length, const char* container, uint32_t keySpec,
                                   char* commonName) {
    platform::KeyProvider provider;
    if (platform::from_system_text(container, &provider.container) != 0) return ERR_INVALID_PARAM;
    if (provider.container.size() > kMaxProviderNameUnits) return ERR_INVALID_PARAM;
    if (platform::from_system_text(state().config().cspName, &provider.provider) != 0 ||
        provider.provider.size() > kMaxProviderNameUnits)
        return ERR_COMMAND_FAILED;
    provider.providerType = 1;
    provider.flags = 0;
    provider.keySpec = keySpec;

    platform::CertificateInfo info;
    if (!platform::certificate_info(der, length, &info)) return ERR_COMMAND_FAILED;
    if (commonName) {
        const std::string cn = system_text(info.subjectCommonName);
        const std::size_t n = std::min<std::size_t>(cn.size(), kCommonNameSize - 1);
        std::memcpy(commonName, cn.data(), n);
        commonName[n] = '\0';
    }
    auto store = CertStore::open("MY");
    if (!store) return ERR_COMMAND_FAILED;
    const StoreStatus s = store->add(der, length, AddMode::ReplaceExisting, &provider);
    return s == StoreStatus::Ok ? ERR_OK : ERR_COMMAND_FAILED;
}

uint32_t unregister_user_certificate(const uint8_t* der, uint32_t length) {
    auto store = CertStore::open("MY");
    if (!store) return ERR_COMMAND_FAILED;
    return store->remove(der, length) == StoreStatus::Ok ? ERR_OK : ERR_COMMAND_FAILED;
}

uint32_t register_certificate_to_store(const std::u16string& store, const uint8_t* der, uint32_t length) {
    if (!der || length == 0 || der[0] == 0) return 0;
    std::string name;
    for (char16_t unit : store) {
        if (unit == 0 || unit > 0x7F) return 0;
        name.push_back(static_cast<char>(unit));
    }
    if (!platform::valid_store_name(name)) return 0;
    auto opened = CertStore::open(name);
    if (!opened) return 0;
    const bool added =
        add_with_retries([&] { return opened->add(der, length, AddMode::UseExisting, nullptr); });
    if (!added) trace(kTraceCalls, kSource, __LINE__, "certificate not added to store %s", name.c_str());
    return added ? 1 : 0;
}

void install_listed_certificates() {
    const KernelState& s = state();
    CU8Ini ini;
    if (ini.LoadFile(s.config_path(), s.soft_alg_directory()) != 0) return;
    const std::string dir = s.directory();
    struct List {
        const char* countKey;
        const char* base;
        const char16_t* store;
    } lists[] = {{"CACertNum", "CACert", u"ca"}, {"RootCertNum", "RootCert", u"root"}};
    for (const List& list : lists) {
        const int32_t count = std::min(ini.GetInteger("InstallCert", list.countKey, 0), kMaxInstallCount);
        for (int32_t i = 1; i <= count; ++i) {
            const std::string key = std::string(list.base) + '[' + std::to_string(i) + ']';
            const std::string file = ini.GetString("InstallCert", key.c_str(), 1024, "");
            if (file.empty()) continue;
            auto bytes = platform::read_file(dir + file);
            // A missing, empty or oversized file is skipped, never cut short.
            if (!bytes || bytes->empty() || bytes->size() > kMaxInstallFile) continue;
            register_certificate_to_store(list.store, bytes->data(), static_cast<uint32_t>(bytes->size()));
        }
    }
}

uint32_t is_self_signed(const uint8_t* der, uint32_t length) {
    const std::size_t n = platform::der_certificate_length(der, length);
    if (n == 0 || n > 0x7FFFFFFF) return 0;
    const unsigned char* p = der;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(n));
    if (!x) {
        ERR_clear_error();
        return 0;
    }
    EVP_PKEY* key = X509_get0_pubkey(x);
    const bool ok = key && X509_verify(x, key) == 1;
    X509_free(x);
    ERR_clear_error();  // a failed check leaves nothing behind for the caller's thread
    return ok ? 1 : 0;
}

uint32_t unregister_slot_certificates(uint32_t slot) {
    if (slot >= kAreaSlots || !kernel_area_open()) return ERR_OK;
    std::vector<uint8_t> cell(kCertMaxData);
    for (uint32_t entry = 1; entry <= kCertEntries; ++entry) {
        uint32_t length = kCertMaxData;
        if (cert_cache_read(slot, entry, cell.data(), &length) != ERR_OK || length == 0) continue;
        unregister_user_certificate(cell.data(), length);
    }
    return ERR_OK;
}

}  // namespace qx::kernel
