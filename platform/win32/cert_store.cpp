// The current user's certificate stores through CryptoAPI.
//
// Every change is committed (CERT_STORE_CTRL_COMMIT) before the handle is
// closed: some store providers otherwise report a delete, or a second add
// through the same handle, as done and drop it when the process exits.
#include "qx/platform/cert_store.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <cstring>

namespace qx::platform {

namespace {

std::wstring wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
std::u16string narrow16(const wchar_t* s) {
    std::u16string out;
    if (!s) return out;
    for (; *s; ++s) out.push_back(static_cast<char16_t>(*s));
    return out;
}

struct ContextFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

// The certificate at the start of the bytes, trailing bytes ignored.
ContextPtr parse(const uint8_t* der, std::size_t length) {
    const std::size_t n = der_certificate_length(der, length);
    if (n == 0 || n > 0x7FFFFFFF) return nullptr;
    return ContextPtr(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(n)));
}

std::optional<KeyProvider> key_provider_of(const CERT_CONTEXT* c) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0)
        return std::nullopt;
    std::vector<uint8_t> buffer(size);
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return std::nullopt;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    KeyProvider k;
    k.container = narrow16(info->pwszContainerName);
    k.provider = narrow16(info->pwszProvName);
    k.providerType = info->dwProvType;
    k.flags = info->dwFlags;
    k.keySpec = info->dwKeySpec;
    return k;
}

StoredCertificate entry_of(const CERT_CONTEXT* c) {
    StoredCertificate e;
    e.der.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    e.keyProvider = key_provider_of(c);
    return e;
}

class SystemStore final : public CertStore {
public:
    explicit SystemStore(HCERTSTORE h) : h_(h) {}
    ~SystemStore() override { CertCloseStore(h_, CERT_CLOSE_STORE_FORCE_FLAG); }

    StoreStatus add(const uint8_t* der, std::size_t length, AddMode mode, const KeyProvider* keyProvider) override {
        ContextPtr c = parse(der, length);
        if (!c) return StoreStatus::BadCertificate;
        std::wstring container, provider;
        if (keyProvider) {
            container = wide(keyProvider->container);
            provider = wide(keyProvider->provider);
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = container.data();
            info.pwszProvName = provider.data();
            info.dwProvType = keyProvider->providerType;
            info.dwFlags = keyProvider->flags;
            info.cProvParam = 0;
            info.rgProvParam = nullptr;
            info.dwKeySpec = keyProvider->keySpec;
            if (!CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
                return StoreStatus::Failed;
        }
        const DWORD disposition =
            mode == AddMode::ReplaceExisting ? CERT_STORE_ADD_REPLACE_EXISTING : CERT_STORE_ADD_USE_EXISTING;
        if (!CertAddCertificateContextToStore(h_, c.get(), disposition, nullptr)) {
            return GetLastError() == ERROR_CANCELLED ? StoreStatus::Cancelled : StoreStatus::Failed;
        }
        return commit();
    }

    StoreStatus find(const uint8_t* der, std::size_t length, StoredCertificate* found) override {
        ContextPtr wanted = parse(der, length);
        if (!wanted) return StoreStatus::BadCertificate;
        ContextPtr match(first_match(wanted.get()));
        if (!match) return StoreStatus::NotFound;
        if (found) *found = entry_of(match.get());
        return StoreStatus::Ok;
    }

    StoreStatus remove(const uint8_t* der, std::size_t length) override {
        ContextPtr wanted = parse(der, length);
        if (!wanted) return StoreStatus::BadCertificate;
        const CERT_CONTEXT* match = first_match(wanted.get());
        if (!match) return StoreStatus::NotFound;
        // The delete frees the context, whatever its result.
        if (!CertDeleteCertificateFromStore(match)) {
            return GetLastError() == ERROR_CANCELLED ? StoreStatus::Cancelled : StoreStatus::Failed;
        }
        return commit();
    }

    std::vector<StoredCertificate> list() override {
        std::vector<StoredCertificate> out;
        const CERT_CONTEXT* c = nullptr;
        while ((c = CertEnumCertificatesInStore(h_, c)) != nullptr) out.push_back(entry_of(c));
        return out;
    }

private:
    // Issuer and serial number, as the system compares them.
    const CERT_CONTEXT* first_match(const CERT_CONTEXT* wanted) {
        return CertFindCertificateInStore(h_, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                                          wanted->pCertInfo, nullptr);
    }

    StoreStatus commit() {
        if (CertControlStore(h_, 0, CERT_STORE_CTRL_COMMIT, nullptr)) return StoreStatus::Ok;
        const DWORD e = GetLastError();
        // Providers that write through have nothing to commit.
        if (e == ERROR_CALL_NOT_IMPLEMENTED || e == ERROR_NOT_SUPPORTED || e == static_cast<DWORD>(E_NOTIMPL))
            return StoreStatus::Ok;
        return StoreStatus::Failed;
    }

    HCERTSTORE h_;
};

std::u16string name_string(const CERT_CONTEXT* c, DWORD type, DWORD flags, void* para) {
    const DWORD n = CertGetNameStringW(c, type, flags, para, nullptr, 0);
    if (n <= 1) return {};
    std::vector<wchar_t> buffer(n);
    CertGetNameStringW(c, type, flags, para, buffer.data(), n);
    return narrow16(buffer.data());
}

int64_t unix_seconds(const FILETIME& ft) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (static_cast<int64_t>(ticks) - 116444736000000000LL) / 10000000LL;
}

}  // namespace

std::unique_ptr<CertStore> CertStore::open(const std::string& name, StoreStatus* status) {
    auto fail = [&](StoreStatus s) -> std::unique_ptr<CertStore> {
        if (status) *status = s;
        return nullptr;
    };
    // Opening creates the store: only plain names reach the system.
    if (!valid_store_name(name)) return fail(StoreStatus::BadName);
    const std::wstring wname(name.begin(), name.end());
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, wname.c_str());
    if (!h) return fail(StoreStatus::Failed);
    if (status) *status = StoreStatus::Ok;
    return std::make_unique<SystemStore>(h);
}

bool certificate_info(const uint8_t* der, std::size_t length, CertificateInfo* info) {
    ContextPtr c = parse(der, length);
    if (!c || !info) return false;
    CertificateInfo out;
    char oid[] = szOID_COMMON_NAME;
    out.subjectCommonName = name_string(c.get(), CERT_NAME_ATTR_TYPE, 0, oid);
    out.subjectName = name_string(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr);
    out.issuerName = name_string(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr);
    out.notBefore = unix_seconds(c->pCertInfo->NotBefore);
    out.notAfter = unix_seconds(c->pCertInfo->NotAfter);
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(c.get(), CERT_SHA1_HASH_PROP_ID, hash, &size) || size != sizeof hash)
        return false;
    static const char digits[] = "0123456789abcdef";
    for (BYTE b : hash) {
        out.thumbprint.push_back(digits[b >> 4]);
        out.thumbprint.push_back(digits[b & 15]);
    }
    *info = std::move(out);
    return true;
}

}  // namespace qx::platform
