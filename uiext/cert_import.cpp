#include "cert_import.h"

#include <array>
#include <memory>
#include <string>

#include "QXSoftAlg.h"
#include "callback_support.h"
#include "pin_dialogs.h"
#include "qx/platform/pfx.h"

namespace qx::uiext {
namespace {

constexpr uint32_t kAlgRsa = 0x20000;
constexpr uint32_t kAlgSm2 = 0x10000;
constexpr uint32_t kContainerTypeImport = 8;
constexpr uint32_t kAllContainers = 255;
constexpr uint32_t kStatusCertWritten = 2;
constexpr uint32_t kStatusGivenUp = 5;
constexpr uint32_t kNameBytes = 260;
constexpr uint32_t kMemCertBytes = 4096;
constexpr uint32_t kMemCertEntries = 20;
constexpr uint32_t kCommonNameBytes = 1024;
constexpr uint32_t kRsaMagicPrivate = 0x32415352u;  // "RSA2"
constexpr uint32_t kRsaMagicPublic = 0x31415352u;   // "RSA1"
constexpr std::size_t kBlobHeader = 8;
constexpr std::size_t kRsaNumbers = 20;
constexpr std::size_t kSm2Numbers = 12;
constexpr std::size_t kSm2Field = 64;
constexpr uint32_t kSm2Bits = 256;

uint32_t le32(const std::vector<uint8_t>& b, std::size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct BlobAlgorithm {
    uint32_t id;
    uint32_t kernelAlgorithm;
    uint32_t keySpec;
};
constexpr BlobAlgorithm kAlgorithms[] = {
    {platform::kBlobRsaSign, kAlgRsa, 2},
    {platform::kBlobRsaExchange, kAlgRsa, 1},
    {platform::kBlobSm2Sign, kAlgSm2, 2},
    {platform::kBlobSm2Exchange, kAlgSm2, 1},
};

const BlobAlgorithm* algorithm_of(const std::vector<uint8_t>& blob) {
    if (blob.size() < kBlobHeader) return nullptr;
    const uint32_t id = le32(blob, 4);
    for (const auto& a : kAlgorithms)
        if (a.id == id) return &a;
    return nullptr;
}

// The blob's bit length; 0 when the blob is too short to say.
uint32_t bits_of(const std::vector<uint8_t>& blob, uint32_t kernelAlgorithm) {
    if (kernelAlgorithm == kAlgRsa) return blob.size() >= kRsaNumbers ? le32(blob, 12) : 0;
    return blob.size() >= kSm2Numbers ? le32(blob, 8) : 0;
}

// The exact length of a blob of `bits` (RSA or SM2, public or private).
std::size_t expected_length(uint32_t kernelAlgorithm, uint8_t type, uint32_t bits) {
    if (kernelAlgorithm == kAlgSm2) return kSm2Numbers + (type == platform::kPublicKeyBlob ? 2 : 1) * kSm2Field;
    const std::size_t full = bits / 8, half = bits / 16;
    return kRsaNumbers + (type == platform::kPublicKeyBlob ? full : 2 * full + 5 * half);
}

// Copies a little-endian number of `length` bytes into a big-endian field,
// right-aligned.
void reverse_into(const uint8_t* le, std::size_t length, uint8_t* field, std::size_t fieldSize) {
    for (std::size_t i = 0; i < length && i < fieldSize; ++i) field[fieldSize - 1 - i] = le[i];
}

const QXUI_CHAR* dialog_text(const Text& t) { return reinterpret_cast<const QXUI_CHAR*>(t.c_str()); }

// A container handle closed when it goes (when it was opened, not enumerated).
class OpenContainer {
public:
    OpenContainer() = default;
    ~OpenContainer() { close(); }
    OpenContainer(const OpenContainer&) = delete;
    OpenContainer& operator=(const OpenContainer&) = delete;
    ContainerHandle* out() {
        close();
        return &h_;
    }
    ContainerHandle get() const { return h_; }
    // The handle is gone (deleted): nothing to close.
    void forget() { h_ = nullptr; }
    void close() {
        if (h_ && frame().kernel.closeContainer) frame().kernel.closeContainer(h_);
        h_ = nullptr;
    }

private:
    ContainerHandle h_ = nullptr;
};

class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() { close(); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    KeyHandle* out() {
        close();
        return &h_;
    }
    KeyHandle get() const { return h_; }
    void close() {
        if (h_ && frame().kernel.closeKey) frame().kernel.closeKey(h_);
        h_ = nullptr;
    }

private:
    KeyHandle h_ = nullptr;
};

// Whether one of the container's key pairs has a certificate on the token.
bool holds_certificate(DeviceHandle device, ContainerHandle c) {
    const KernelApi& k = frame().kernel;
    for (uint32_t spec : {1u, 2u}) {
        OpenKey key;
        if (k.getAsymKeyFormContainer(c, spec, key.out()) != 0) continue;
        uint32_t index = 0, length = 0;
        if (k.getAsymKeyIndex(key.get(), &index) != 0) continue;
        if (k.readCert(device, index, nullptr, &length) == 0 && length != 0) return true;
    }
    return false;
}

// Deletes every container that is not a finished one holding a certificate.
void remove_stale_containers(DeviceHandle device) {
    const KernelApi& k = frame().kernel;
    uint32_t position = 0;
    for (;;) {
        ContainerHandle c = nullptr;
        if (k.enumContainer(device, kAllContainers, &position, &c) != 0 || !c) return;
        uint32_t status = 0;
        const bool finished = k.getContainerStatus(c, &status) == 0 &&
                              (status == kStatusCertWritten || status == kStatusGivenUp);
        if (!finished || !holds_certificate(device, c)) k.deleteContainerByHandle(c);
    }
}

// Reads the certificate in `index` after asking for its length.
uint32_t read_certificate(DeviceHandle device, uint32_t index, std::vector<uint8_t>* out) {
    const KernelApi& k = frame().kernel;
    uint32_t length = 0;
    uint32_t rc = k.readCert(device, index, nullptr, &length);
    if (rc != 0) return rc;
    if (length == 0) return ERR_COMMAND_FAILED;
    out->assign(length, 0);
    rc = k.readCert(device, index, out->data(), &length);
    if (rc == 0) out->resize(std::min<std::size_t>(length, out->size()));
    return rc;
}

// Deletes the container with its certificates (leaving the store and the
// cache first), or marks it given up.
uint32_t act_on_container(DeviceHandle device, OpenContainer& opened, ContainerHandle c, uint32_t deleteFlag) {
    const KernelApi& k = frame().kernel;
    if (deleteFlag == 0) return k.setContainerStatus(c, kStatusGivenUp);
    for (uint32_t spec : {1u, 2u}) {
        uint32_t index = 0;
        if (k.getCertIndexFormContainer(c, spec, &index) != 0) continue;
        std::vector<uint8_t> cert;
        if (read_certificate(device, index, &cert) != 0) continue;
        k.unRegUserCert(cert.data(), static_cast<uint32_t>(cert.size()));
        k.deleteMemCert(device, index, cert.data(), static_cast<uint32_t>(cert.size()));
    }
    const uint32_t rc = k.deleteContainerByHandle(c);
    if (opened.get() == c) opened.forget();
    if (rc == 0) frame().notifyManagerTool();
    return rc;
}

bool container_api_bound(const KernelApi& k) {
    return k.enumContainer && k.openContainer && k.closeContainer && k.deleteContainerByHandle &&
           k.getContainerName && k.getContainerStatus && k.setContainerStatus && k.getCertIndexFormContainer &&
           k.readCert && k.unRegUserCert && k.deleteMemCert && k.getAsymKeyFormContainer && k.getAsymKeyIndex &&
           k.closeKey;
}

bool import_api_bound(const KernelApi& k) {
    return container_api_bound(k) && k.createContainer && k.importKey && k.getAsymKeySpec &&
           k.updateAsymKeyToContainer && k.writeCert && k.regUserCert && k.isSignSelf && k.getProviderName &&
           k.getDeviceSlotNO && k.readMemCert;
}

// Whether the token's certificate cache already holds these bytes.
bool cached_on_token(DeviceHandle device, const std::vector<uint8_t>& cert) {
    const KernelApi& k = frame().kernel;
    uint32_t slot = 0;
    if (k.getDeviceSlotNO(device, &slot) != 0) return false;
    std::vector<uint8_t> entry(kMemCertBytes);
    for (uint32_t i = 0; i < kMemCertEntries; ++i) {
        uint32_t length = kMemCertBytes;
        if (k.readMemCert(slot, entry.data(), &length, i == 0 ? 1 : 0) != 0) return false;
        if (length == cert.size() && std::equal(cert.begin(), cert.end(), entry.begin())) return true;
    }
    return false;
}

// Imports one kernel block; the private one only after the user PIN.
uint32_t import_block(DeviceHandle device, const std::vector<uint8_t>& blob, bool isPrivate, OpenKey* key) {
    if (blob.empty()) return kNoBlob;
    KernelKeyBlock block;
    uint32_t rc = BuildKeyBlock(blob, &block);
    if (rc != 0) return rc;
    if (isPrivate && VerifyPin(device, QXTOKEN_PIN_USER) != 0) return kNteFail;
    rc = frame().kernel.importKey(device, nullptr, 0, block.algorithm, block.keySpec, block.bytes.data(),
                                  static_cast<uint32_t>(block.bytes.size()), key->out());
    return rc == 0 ? 0u : kNteFail;
}

uint32_t create_container(DeviceHandle device, const std::string& name) {
    const KernelApi& k = frame().kernel;
    OpenContainer created;
    uint32_t rc = k.createContainer(device, name.c_str(), kContainerTypeImport, created.out());
    if (rc == ERR_CONTAINER_FULL) {
        created.close();
        if (OverRideContainer(device, 1) != 0) return kNteFail;
        rc = k.createContainer(device, name.c_str(), kContainerTypeImport, created.out());
    }
    return rc == 0 || rc == ERR_CONTAINER_EXISTS ? 0u : kNteFail;
}

uint32_t import_certificate(DeviceHandle device, const QXUI_CHAR* containerName, const PfxDataBlob* blob) {
    Frame& f = frame();
    const KernelApi& k = f.kernel;
    if (!import_api_bound(k)) return kNotLoaded;
    if (!platform::is_pfx_blob(blob->data, blob->length)) return kImportBadArgument;

    DialogPath path;
    std::unique_ptr<platform::PfxFile> pfx(
        reinterpret_cast<platform::PfxFile*>(f.ui.verifyImportCertPin(&PfxCallback, blob, 1, path.get())));
    if (!pfx) return kImportBadArgument;

    std::size_t chosen = pfx->count();
    for (std::size_t i = 0; i < pfx->count(); ++i) {
        if (pfx->has_private_key(i)) {
            chosen = i;
            break;
        }
    }
    if (chosen == pfx->count()) return kImportBadArgument;
    const std::vector<uint8_t>& cert = pfx->certificate(chosen);
    if (cert.empty()) return kImportBadArgument;
    if (cached_on_token(device, cert)) return kCertAlreadyOnToken;

    platform::PfxKeyPair pair;
    if (!pfx->export_key(chosen, &pair)) return kImportBadArgument;
    // Both blobs are checked before anything on the token changes.
    uint32_t rc = CheckKeyBlobs(pair.publicBlob, pair.privateBlob.bytes());
    if (rc != 0) return rc;

    const Text wideName(buffer_view(containerName, QXUI_TEXT_UNITS - 1));
    std::string name;
    rc = ToSystemText(wideName.c_str(), &name);
    if (rc != 0) return rc;

    remove_stale_containers(device);
    rc = create_container(device, name);
    if (rc != 0) return rc;

    OpenKey publicKey, privateKey;
    rc = import_block(device, pair.publicBlob, false, &publicKey);
    if (rc != 0) return rc;
    rc = import_block(device, pair.privateBlob.bytes(), true, &privateKey);
    pair.privateBlob.wipe();
    if (rc != 0) return rc;

    OpenContainer container;
    rc = k.openContainer(device, name.c_str(), container.out());
    if (rc != 0) return rc;
    rc = k.updateAsymKeyToContainer(container.get(), privateKey.get());
    if (rc != 0) return rc;

    uint32_t providerLength = 0;
    k.getProviderName(nullptr, &providerLength);
    std::string provider(providerLength ? providerLength : 1, '\0');
    if (k.getProviderName(provider.data(), &providerLength) != 0) return kNteFail;
    provider.resize(std::min<std::size_t>(strnlen(provider.c_str(), provider.size()), provider.size()));
    Text wideProvider;
    if (FromSystemText(provider.data(), provider.size(), &wideProvider) != 0) return kNteFail;
    platform::KeyProvider property{wideName, wideProvider, 1, 0, pair.keySpec};
    if (!pfx->set_key_provider(chosen, property)) return kNteFail;

    // The certificate's length is its encoding's, as the file service read it.
    const uint32_t certLength = static_cast<uint32_t>(cert.size());
    k.isSignSelf(cert.data(), certLength);
    std::array<char, kNameBytes> storedName{};
    uint32_t nameLength = kNameBytes;
    if (k.getContainerName(container.get(), storedName.data(), &nameLength) != 0) return kNteBadUid;
    storedName.back() = 0;
    uint32_t keyIndex = 0, keySpec = 0;
    if (k.getAsymKeyIndex(privateKey.get(), &keyIndex) != 0 || k.getAsymKeySpec(privateKey.get(), &keySpec) != 0)
        return kNteBadKey;
    if (k.writeCert(device, keyIndex, cert.data(), certLength) != 0) return kNteFail;
    if (k.setContainerStatus(container.get(), kStatusCertWritten) != 0) return kNteFail;
    std::array<char, kCommonNameBytes> commonName{};
    if (k.regUserCert(cert.data(), certLength, storedName.data(), keySpec, commonName.data()) != 0) return kNteFail;
    f.notifyManagerTool();
    return 0u;
}

// The container names of the token in UTF-16; 0 once the walk reached the end.
uint32_t container_names(DeviceHandle device, std::vector<std::array<QXUI_CHAR, QXUI_TEXT_UNITS>>* names,
                         std::vector<ContainerHandle>* handles) {
    const KernelApi& k = frame().kernel;
    uint32_t position = 0;
    for (;;) {
        ContainerHandle c = nullptr;
        uint32_t rc = k.enumContainer(device, kAllContainers, &position, &c);
        if (rc == ERR_NO_CONTAINER) return 0;
        if (rc != 0) return rc;
        std::array<char, kNameBytes> name{};
        uint32_t length = kNameBytes - 1;
        rc = k.getContainerName(c, name.data(), &length);
        if (rc != 0) return rc;
        Text wide;
        rc = FromSystemText(name.data(), strnlen(name.data(), kNameBytes - 1), &wide);
        if (rc != 0) return rc;
        std::array<QXUI_CHAR, QXUI_TEXT_UNITS> entry{};
        put_text(entry.data(), wide);
        names->push_back(entry);
        handles->push_back(c);
    }
}

}  // namespace

KernelKeyBlock::~KernelKeyBlock() {
    if (!bytes.empty()) wipe_bytes(bytes.data(), bytes.size());
}

uint32_t CheckKeyBlobs(const std::vector<uint8_t>& publicBlob, const std::vector<uint8_t>& privateBlob) {
    if (publicBlob.empty() || privateBlob.empty()) return kNoBlob;
    if (publicBlob.size() < kBlobHeader || privateBlob.size() < kBlobHeader) return kNteBadData;
    if (publicBlob[1] != 2 || privateBlob[1] != 2) return kNteBadVersion;
    if (publicBlob[0] != platform::kPublicKeyBlob || privateBlob[0] != platform::kPrivateKeyBlob) return kNteBadData;
    const BlobAlgorithm* pub = algorithm_of(publicBlob);
    const BlobAlgorithm* priv = algorithm_of(privateBlob);
    if (!pub || !priv || pub->id != priv->id) return kNteBadData;
    const uint32_t bits = bits_of(privateBlob, priv->kernelAlgorithm);
    if (bits != bits_of(publicBlob, pub->kernelAlgorithm)) return kNteBadData;
    if (priv->kernelAlgorithm == kAlgRsa) {
        if (bits != 1024 && bits != 2048) return kNteBadData;  // 4096 would overrun the 256-byte fields
        if (le32(privateBlob, 8) != kRsaMagicPrivate || le32(publicBlob, 8) != kRsaMagicPublic) return kNteBadData;
    } else if (bits != kSm2Bits) {
        return kNteBadData;
    }
    if (publicBlob.size() != expected_length(pub->kernelAlgorithm, platform::kPublicKeyBlob, bits) ||
        privateBlob.size() != expected_length(priv->kernelAlgorithm, platform::kPrivateKeyBlob, bits))
        return kNteBadData;
    return 0;
}

uint32_t BuildKeyBlock(const std::vector<uint8_t>& blob, KernelKeyBlock* out) {
    if (blob.empty()) return kNoBlob;
    if (blob.size() < kBlobHeader) return kNteBadData;
    if (blob[1] != 2) return kNteBadVersion;
    const BlobAlgorithm* a = algorithm_of(blob);
    if (!a) return kNteBadData;
    const bool isPrivate = blob[0] == platform::kPrivateKeyBlob;
    const uint32_t bits = bits_of(blob, a->kernelAlgorithm);
    const std::size_t need = expected_length(a->kernelAlgorithm, blob[0], bits);
    if ((blob[0] != platform::kPublicKeyBlob && !isPrivate) || blob.size() != need) return kNteBadData;
    out->algorithm = a->kernelAlgorithm;
    out->keySpec = a->keySpec;
    std::vector<uint8_t>& b = out->bytes;
    if (a->kernelAlgorithm == kAlgSm2) {
        if (bits != kSm2Bits) return kNteBadData;
        b.assign(isPrivate ? 4 + kSm2Field : 4 + 2 * kSm2Field, 0);
        std::memcpy(b.data(), &bits, 4);
        reverse_into(blob.data() + kSm2Numbers, kSm2Field, b.data() + 4, kSm2Field);
        if (!isPrivate) reverse_into(blob.data() + kSm2Numbers + kSm2Field, kSm2Field, b.data() + 4 + kSm2Field, kSm2Field);
        return 0;
    }
    if (bits != 1024 && bits != 2048) return kNteBadData;
    const std::size_t full = bits / 8, half = bits / 16;
    const uint8_t* n = blob.data() + kRsaNumbers;
    const uint32_t exponent = le32(blob, 16);
    const uint8_t e[4] = {static_cast<uint8_t>(exponent), static_cast<uint8_t>(exponent >> 8),
                          static_cast<uint8_t>(exponent >> 16), static_cast<uint8_t>(exponent >> 24)};
    if (!isPrivate) {
        RsaPublicKeyBlock k{};
        k.bits = bits;
        reverse_into(n, full, k.modulus, sizeof k.modulus);
        reverse_into(e, 4, k.publicExponent, sizeof k.publicExponent);
        b.assign(reinterpret_cast<const uint8_t*>(&k), reinterpret_cast<const uint8_t*>(&k) + sizeof k);
        return 0;
    }
    if (le32(blob, 8) != kRsaMagicPrivate) return kNteBadData;
    auto* k = new (std::nothrow) RsaPrivateKeyBlock{};
    if (!k) return kNteNoMemory;
    struct Wipe {
        RsaPrivateKeyBlock* k;
        ~Wipe() {
            wipe_bytes(k, sizeof *k);
            delete k;
        }
    } wipe{k};
    k->bits = bits;
    reverse_into(n, full, k->modulus, sizeof k->modulus);
    reverse_into(e, 4, k->publicExponent, sizeof k->publicExponent);
    const uint8_t* p = n + full;
    reverse_into(p, half, k->prime[0], sizeof k->prime[0]);
    reverse_into(p + half, half, k->prime[1], sizeof k->prime[1]);
    reverse_into(p + 2 * half, half, k->primeExponent[0], sizeof k->primeExponent[0]);
    reverse_into(p + 3 * half, half, k->primeExponent[1], sizeof k->primeExponent[1]);
    reverse_into(p + 4 * half, half, k->coefficient, sizeof k->coefficient);
    reverse_into(p + 5 * half, full, k->privateExponent, sizeof k->privateExponent);
    b.reserve(sizeof *k);
    b.assign(reinterpret_cast<const uint8_t*>(k), reinterpret_cast<const uint8_t*>(k) + sizeof *k);
    return 0;
}

uintptr_t QXUI_CALL PfxCallback(const void* blob, const QXUI_CHAR* password) {
    if (!blob || !password) return 0;
    try {
        const auto* b = static_cast<const PfxDataBlob*>(blob);
        if (!b->data || b->length == 0) return 0;
        std::u16string pass(buffer_view(password, QXUI_TEXT_UNITS - 1));
        struct Wipe {
            std::u16string& s;
            ~Wipe() {
                if (!s.empty()) wipe_bytes(s.data(), s.size() * sizeof(char16_t));
            }
        } wipe{pass};
        return reinterpret_cast<uintptr_t>(platform::PfxFile::open(b->data, b->length, pass).release());
    } catch (...) {
        return 0;
    }
}

uint32_t QXUI_CALL SelectContainerCallback(DeviceHandle device, const QXUI_CHAR* name, uint32_t deleteFlag) {
    if (!name) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        Frame& f = frame();
        const KernelApi& k = f.kernel;
        if (!container_api_bound(k)) return kNotLoaded;
        const Text chosen(buffer_view(name, QXUI_TEXT_UNITS - 1));
        const Text text = language::FormatText(f.LoadText("OverRideContainer"), chosen);
        const Text caption = f.LoadText("SelectContainer");
        DialogPath path;
        if (f.ui.messageBox(dialog_text(text), dialog_text(caption), 1, 1, path.get()) != QXUI_CONFIRMED)
            return kImportBadArgument;
        std::string narrow;
        uint32_t rc = ToSystemText(chosen.c_str(), &narrow);
        if (rc != 0) return rc;
        OpenContainer opened;
        rc = k.openContainer(device, narrow.c_str(), opened.out());
        if (rc != 0) return rc;
        return act_on_container(device, opened, opened.get(), deleteFlag);
    });
}

uint32_t ImportCert(DeviceHandle device, const QXUI_CHAR* container, const PfxDataBlob* blob) {
    if (!frame().ready()) return kNotLoaded;
    if (!device || !container || !blob || !blob->data || blob->length == 0) return kImportBadArgument;
    return shield([&] { return import_certificate(device, container, blob); });
}

uint32_t OverRideContainer(DeviceHandle device, uint32_t deleteFlag) {
    if (!frame().ready()) return kNotLoaded;
    if (!device) return ERR_INVALID_PARAM;
    return shield([&]() -> uint32_t {
        Frame& f = frame();
        const KernelApi& k = f.kernel;
        if (!container_api_bound(k)) return kNotLoaded;
        std::vector<std::array<QXUI_CHAR, QXUI_TEXT_UNITS>> names;
        std::vector<ContainerHandle> handles;
        const uint32_t rc = container_names(device, &names, &handles);
        if (rc != 0) return rc;
        if (handles.empty()) return ERR_NO_CONTAINER;
        if (handles.size() == 1) {
            OpenContainer none;
            return act_on_container(device, none, handles[0], deleteFlag);
        }
        DialogPath path;
        using Names = const QXUI_CHAR(*)[QXUI_TEXT_UNITS];
        return f.ui.selectContainer(&SelectContainerCallback, reinterpret_cast<Names>(names.data()),
                                    static_cast<uint32_t>(names.size()), device, deleteFlag, 1, path.get());
    });
}

}  // namespace qx::uiext
