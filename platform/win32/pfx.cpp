// PFX files through the system's PFX import.  The import persists each
// private key in a key container of its provider; those containers are
// recorded when the file opens and deleted when the file object goes, so
// that nothing of the file stays on the machine whatever path the caller
// took.  (Importing without persisting keys would leave them unreachable.)
#include "qx/platform/pfx.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace qx::platform {
namespace {

struct PersistedKey {
    std::wstring container;
    std::wstring provider;
    DWORD providerType = 0;
    DWORD flags = 0;
};

std::wstring wide_of(const wchar_t* p) { return p ? std::wstring(p) : std::wstring(); }

bool persisted_key_of(PCCERT_CONTEXT ctx, PersistedKey* out) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) return false;
    std::vector<uint8_t> buffer(size);
    if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    out->container = wide_of(info->pwszContainerName);
    out->provider = wide_of(info->pwszProvName);
    out->providerType = info->dwProvType;
    out->flags = info->dwFlags;
    return !out->container.empty();
}

// A provider handle acquired for a certificate's private key.
class AcquiredKey {
public:
    explicit AcquiredKey(PCCERT_CONTEXT ctx) {
        HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = 0;
        BOOL mustFree = FALSE;
        if (CryptAcquireCertificatePrivateKey(ctx, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &handle, &spec_,
                                              &mustFree)) {
            prov_ = static_cast<HCRYPTPROV>(handle);
            free_ = mustFree != FALSE;
        }
    }
    ~AcquiredKey() {
        if (prov_ && free_) CryptReleaseContext(prov_, 0);
    }
    AcquiredKey(const AcquiredKey&) = delete;
    AcquiredKey& operator=(const AcquiredKey&) = delete;
    HCRYPTPROV get() const { return prov_; }

private:
    HCRYPTPROV prov_ = 0;
    DWORD spec_ = 0;
    bool free_ = false;
};

bool export_blob(HCRYPTKEY key, DWORD type, std::vector<uint8_t>* out) {
    DWORD size = 0;
    if (!CryptExportKey(key, 0, type, 0, nullptr, &size) || size == 0) return false;
    out->assign(size, 0);
    if (!CryptExportKey(key, 0, type, 0, out->data(), &size)) return false;
    out->resize(size);
    return true;
}

uint32_t algorithm_of(const std::vector<uint8_t>& blob) {
    if (blob.size() < 8) return 0;
    return static_cast<uint32_t>(blob[4]) | (static_cast<uint32_t>(blob[5]) << 8) |
           (static_cast<uint32_t>(blob[6]) << 16) | (static_cast<uint32_t>(blob[7]) << 24);
}

class SystemPfx final : public PfxFile {
public:
    explicit SystemPfx(HCERTSTORE store) : store_(store) {
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store_, ctx)) != nullptr) {
            contexts_.push_back(CertDuplicateCertificateContext(ctx));
            certs_.emplace_back(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
            PersistedKey key;
            if (persisted_key_of(ctx, &key)) persisted_.push_back(std::move(key));
        }
    }
    ~SystemPfx() override {
        for (PCCERT_CONTEXT ctx : contexts_) CertFreeCertificateContext(ctx);
        for (const PersistedKey& key : persisted_) {
            HCRYPTPROV prov = 0;
            CryptAcquireContextW(&prov, key.container.c_str(), key.provider.empty() ? nullptr : key.provider.c_str(),
                                 key.providerType, CRYPT_DELETEKEYSET | (key.flags & CRYPT_MACHINE_KEYSET));
        }
        CertCloseStore(store_, 0);
    }

    std::size_t count() const override { return certs_.size(); }
    const std::vector<uint8_t>& certificate(std::size_t index) const override { return certs_.at(index); }

    bool has_private_key(std::size_t index) override {
        if (index >= contexts_.size()) return false;
        AcquiredKey key(contexts_[index]);
        return key.get() != 0;
    }

    bool export_key(std::size_t index, PfxKeyPair* out) override {
        if (!out || index >= contexts_.size()) return false;
        AcquiredKey prov(contexts_[index]);
        if (!prov.get()) return false;
        // The key type the acquisition reports may be neither exchange nor
        // signature (3 under some systems): try the exchange key, then the
        // signature key.
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, &key) && !CryptGetUserKey(prov.get(), AT_SIGNATURE, &key))
            return false;
        const bool ok = export_blob(key, PRIVATEKEYBLOB, &out->privateBlob.bytes()) &&
                        export_blob(key, PUBLICKEYBLOB, &out->publicBlob);
        CryptDestroyKey(key);
        if (!ok) {
            out->privateBlob.wipe();
            return false;
        }
        const uint32_t algorithm = algorithm_of(out->privateBlob.bytes());
        out->keySpec = (algorithm == kBlobRsaSign || algorithm == kBlobSm2Sign) ? 2u : 1u;
        return true;
    }

    bool set_key_provider(std::size_t index, const KeyProvider& provider) override {
        if (index >= contexts_.size()) return false;
        std::wstring container(provider.container.begin(), provider.container.end());
        std::wstring name(provider.provider.begin(), provider.provider.end());
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = container.data();
        info.pwszProvName = name.data();
        info.dwProvType = provider.providerType;
        info.dwFlags = provider.flags;
        info.dwKeySpec = provider.keySpec;
        return CertSetCertificateContextProperty(contexts_[index], CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
    }

private:
    HCERTSTORE store_;
    std::vector<PCCERT_CONTEXT> contexts_;
    std::vector<std::vector<uint8_t>> certs_;
    std::vector<PersistedKey> persisted_;
};

}  // namespace

void SecretBlob::wipe() {
    if (!bytes_.empty()) SecureZeroMemory(bytes_.data(), bytes_.size());
    bytes_.clear();
}

bool is_pfx_blob(const uint8_t* data, std::size_t length) {
    if (!data || length == 0 || length > 0xFFFFFFFFu) return false;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(length), const_cast<BYTE*>(data)};
    return PFXIsPFXBlob(&blob) != FALSE;
}

std::unique_ptr<PfxFile> PfxFile::open(const uint8_t* data, std::size_t length, std::u16string_view password) {
    if (!is_pfx_blob(data, length)) return nullptr;
    std::wstring pass(password.begin(), password.end());
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(length), const_cast<BYTE*>(data)};
    HCERTSTORE store = PFXImportCertStore(&blob, pass.c_str(), CRYPT_EXPORTABLE);
    // An empty password may stand for no password at all.
    if (!store && pass.empty()) store = PFXImportCertStore(&blob, nullptr, CRYPT_EXPORTABLE);
    if (!pass.empty()) SecureZeroMemory(pass.data(), pass.size() * sizeof(wchar_t));
    if (!store) return nullptr;
    return std::make_unique<SystemPfx>(store);
}

}  // namespace qx::platform
