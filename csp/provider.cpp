#include "provider.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "QXTokenStatus.h"
#include "capi.h"
#include "config/CU8Ini.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/module.h"
#include "status_map.h"

namespace qx::csp {

namespace {

constexpr char kDefaultProviderName[] = "Quorvantix Base CSP v1.0";
constexpr uint32_t kRsa = 0x20000;
constexpr uint32_t kUserLevel = 3;
constexpr uint32_t kMaxName = 260;
// Container status the UI extension leaves after a certificate was written.
constexpr uint32_t kContainerCertWritten = 2;

// What PP_ENUMALGS(_EX) lists, in order.
struct AlgInfo {
    uint32_t algId, defaultBits, minBits, maxBits;
    const char* name;
    const char* longName;
};
constexpr AlgInfo kAlgs[] = {
    {capi::kCalgRsaSign, 1024, 1024, 2048, "RSA_SIGN", "RSA Signature"},
    {capi::kCalgRsaKeyx, 1024, 1024, 2048, "RSA_KEYX", "RSA Key Exchange"},
    {capi::kCalgMd5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
    {capi::kCalgSha1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {capi::kCalgSha256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
    {capi::kCalgSha384, 384, 384, 384, "SHA-384", "Secure Hash Algorithm (SHA-384)"},
    {capi::kCalgSha512, 512, 512, 512, "SHA-512", "Secure Hash Algorithm (SHA-512)"},
    {capi::kCalgSsl3ShaMd5, 288, 288, 288, "SSL3 SHAMD5", "SSL3 SHAMD5"},
};

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The CryptoAPI output convention: null asks for the size, short gives ERROR_MORE_DATA.
uint32_t give(const uint8_t* value, uint32_t size, uint8_t* data, uint32_t* length) {
    if (!length) return capi::kErrorInvalidParameter;
    if (!data) {
        *length = size;
        return 0;
    }
    if (*length < size) {
        *length = size;
        return capi::kErrorMoreData;
    }
    if (size) std::memcpy(data, value, size);
    *length = size;
    return 0;
}
uint32_t give_u32(uint32_t v, uint8_t* data, uint32_t* length) {
    uint8_t b[4];
    put_u32(b, v);
    return give(b, 4, data, length);
}
uint32_t give_text(const std::string& s, uint8_t* data, uint32_t* length) {
    return give(reinterpret_cast<const uint8_t*>(s.c_str()), static_cast<uint32_t>(s.size() + 1), data, length);
}

// A container name as applications give it: plain, or "\\.\reader\container".
std::string container_part(const char* name) {
    if (!name) return {};
    std::string s(name);
    if (s.rfind("\\\\.\\", 0) == 0) {
        const std::size_t slash = s.find('\\', 4);
        s = slash == std::string::npos ? std::string() : s.substr(slash + 1);
    }
    return s;
}

bool valid_container_name(const std::string& s) {
    if (s.size() >= kMaxName) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; });
}

uint32_t key_spec_of(uint32_t algId) {
    if (algId == capi::kAtKeyExchange || algId == capi::kCalgRsaKeyx) return capi::kAtKeyExchange;
    if (algId == capi::kAtSignature || algId == capi::kCalgRsaSign) return capi::kAtSignature;
    return 0;
}
uint32_t alg_of_spec(uint32_t spec) { return spec == capi::kAtKeyExchange ? capi::kCalgRsaKeyx : capi::kCalgRsaSign; }

void wipe(void* p, std::size_t n) { kernel::secure_zero(p, n); }

}  // namespace

struct Provider::Key {
    bool onToken = false;
    uint32_t keySpec = 0;  // token keys
    uint32_t algId = 0;
    RsaPublic pub;
};

struct Provider::Context {
    uint32_t flags = 0;
    bool verify = false, silent = false;
    std::string token, container;
    std::vector<std::string> enumNames;
    std::size_t enumAt = 0, algAt = 0;
    std::map<Handle, std::unique_ptr<Key>> keys;
    std::map<Handle, std::unique_ptr<Hash>> hashes;
    // Modulus bits of the container's key pairs by key spec, as last read from
    // the token: a signature's size query needs nothing else.
    std::map<uint32_t, uint32_t> keyBits;
    SignCache last;
};

Provider::Provider(const std::string& directory) : directory_(directory), name_(kDefaultProviderName) {
    kernel::CU8Ini ini;
    if (ini.LoadFile(directory_ + "Config.ini", directory_) == 0)
        name_ = ini.GetString("QXTokenInfo", "CSPName", kMaxName, kDefaultProviderName);
}

Provider::~Provider() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    contexts_.clear();
    if (kernel_ && kernel_->closeDevice)
        for (auto& [name, d] : devices_) kernel_->closeDevice(d);
    devices_.clear();
}

template <typename F>
uint32_t Provider::guard(F&& body) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return capi::kNteNoMemory;
    } catch (...) {
        return capi::kNteFail;
    }
}

bool Provider::ready() {
    if (loaded_) return kernel_ && kernel_->complete() && softAlg_;
    loaded_ = true;
    kernel_ = std::make_unique<p11::KernelBinding>(directory_);
    softAlg_ = kernel::SoftAlgLibrary::load(directory_);
    return kernel_->complete() && softAlg_;
}

bool Provider::ui_ready() {
    if (!ui_) {
        ui_ = platform::Module(directory_ + platform::module_file_name("QXUIExtend"));
        uiVerifyPin_ = ui_.function<UiVerifyPin>("QXUIEx_VerifyPin");
        uiVerifyPinForCsp_ = ui_.function<UiVerifyPinForCsp>("QXUIEx_VerifyPinForCSPKCS");
    }
    return uiVerifyPin_ && uiVerifyPinForCsp_;
}

Provider::Context* Provider::context(Handle prov) {
    auto it = contexts_.find(prov);
    return it == contexts_.end() ? nullptr : it->second.get();
}

Provider::Key* Provider::key_of(Context& ctx, Handle key) {
    auto it = ctx.keys.find(key);
    return it == ctx.keys.end() ? nullptr : it->second.get();
}

Hash* Provider::hash_of(Context& ctx, Handle hash) {
    auto it = ctx.hashes.find(hash);
    return it == ctx.hashes.end() ? nullptr : it->second.get();
}

// ---- tokens ----

std::vector<std::string> Provider::token_names() {
    std::vector<std::string> names;
    p11::KernelBinding& k = *kernel_;
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t count = 0;
        if (k.enumDevice(&count, nullptr) != ERR_OK) break;
        std::vector<DeviceHandle> handles(count + 4, nullptr);
        count = static_cast<uint32_t>(handles.size());
        const uint32_t rc = k.enumDevice(&count, handles.data());
        if (rc == ERR_BUFFER_TOO_SMALL) continue;
        if (rc != ERR_OK) break;
        std::vector<std::pair<uint32_t, std::string>> bySlot;
        for (uint32_t i = 0; i < count && i < handles.size(); ++i) {
            char name[kMaxName] = {};
            uint32_t slot = 0;
            if (k.deviceName(handles[i], name) != ERR_OK || k.deviceSlot(handles[i], &slot) != ERR_OK) continue;
            bySlot.emplace_back(slot, std::string(name, strnlen(name, sizeof name - 1)));
        }
        std::sort(bySlot.begin(), bySlot.end());
        for (auto& [slot, name] : bySlot) names.push_back(name);
        break;
    }
    k.destroyEnum();
    // Handles of tokens that went away are of no more use.
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (std::find(names.begin(), names.end(), it->first) == names.end()) {
            k.closeDevice(it->second);
            it = devices_.erase(it);
        } else {
            ++it;
        }
    }
    return names;
}

DeviceHandle Provider::device(const std::string& name) {
    auto it = devices_.find(name);
    if (it != devices_.end()) return it->second;
    DeviceHandle d = nullptr;
    if (kernel_->openByName(name.c_str(), &d) != ERR_OK || !d) return nullptr;
    devices_[name] = d;
    return d;
}

void Provider::forget_device(const std::string& name) {
    auto it = devices_.find(name);
    if (it == devices_.end()) return;
    kernel_->closeDevice(it->second);
    devices_.erase(it);
}

uint32_t Provider::token_error(Context& ctx, uint32_t status) {
    if (status == ERR_OK) return 0;
    if (is_removal(status)) {
        forget_device(ctx.token);
        return capi::kScardRemovedCard;
    }
    return capi_error(status);
}

uint32_t Provider::failure(Context& ctx, uint32_t status, uint32_t otherwise) {
    if (is_removal(status)) return token_error(ctx, status);
    // A token pulled out shows as any kind of failure of the command that met it.
    const std::vector<std::string> names = token_names();
    if (std::find(names.begin(), names.end(), ctx.token) == names.end()) return capi::kScardRemovedCard;
    return otherwise;
}

uint32_t Provider::find_container(const std::string& wanted, std::string* token, std::string* container) {
    const std::vector<std::string> names = token_names();
    if (names.empty()) return capi::kScardNoSmartcard;
    for (const std::string& name : names) {
        DeviceHandle d = device(name);
        if (!d) continue;
        if (wanted.empty()) {
            uint32_t position = 0;
            ContainerHandle c = nullptr;
            if (kernel_->enumContainer(d, QXTOKEN_CONTAINER_RSA, &position, &c) != ERR_OK || !c) continue;
            char buffer[kMaxName] = {};
            uint32_t length = sizeof buffer;
            if (kernel_->containerName(c, buffer, &length) != ERR_OK) continue;
            *token = name;
            *container = buffer;
            return 0;
        }
        ContainerHandle c = nullptr;
        if (kernel_->openContainer(d, wanted.c_str(), &c) == ERR_OK && c) {
            kernel_->closeContainer(c);
            *token = name;
            *container = wanted;
            return 0;
        }
    }
    return capi::kNteBadKeyset;
}

uint32_t Provider::ensure_user_pin(Context& ctx) {
    DeviceHandle d = device(ctx.token);
    if (!d) return capi::kScardRemovedCard;
    if (kernel_->meetsSecurity(d, kUserLevel) == 1) return 0;
    // A PIN cached by this process, else by another one for this token.
    for (uint32_t mode : {1u, 2u}) {
        uint8_t pin[260];
        uint32_t length = sizeof pin;
        const uint32_t rc = kernel_->readShmPin(d, pin, &length, mode);
        if (rc != ERR_OK || length < 2 || length > sizeof pin) {
            wipe(pin, sizeof pin);
            continue;
        }
        const uint32_t verified = kernel_->verifyPin(d, QXTOKEN_PIN_USER, reinterpret_cast<char*>(pin), length);
        wipe(pin, sizeof pin);
        if (verified == ERR_OK) return 0;
        if (is_removal(verified)) return token_error(ctx, verified);
        break;  // a stale cached PIN: ask the person rather than spend another try
    }
    // No dialog for a token that is no longer there.
    const std::vector<std::string> names = token_names();
    if (std::find(names.begin(), names.end(), ctx.token) == names.end()) return capi::kScardRemovedCard;
    if (ctx.silent) return capi::kNteSilentContext;
    if (!ui_ready()) return capi::kNteProviderDllFail;
    return token_error(ctx, uiVerifyPin_(d, QXTOKEN_PIN_USER));
}

template <typename F>
uint32_t Provider::with_key(Context& ctx, uint32_t keySpec, F&& use) {
    DeviceHandle d = device(ctx.token);
    if (!d) return capi::kScardRemovedCard;
    ContainerHandle c = nullptr;
    uint32_t rc = kernel_->openContainer(d, ctx.container.c_str(), &c);
    if (rc != ERR_OK || !c) return failure(ctx, rc, capi::kNteBadKeyset);
    KeyHandle k = nullptr;
    rc = kernel_->keyFromContainer(c, keySpec, &k);
    uint32_t result = 0;
    if (rc != ERR_OK || !k) {
        result = failure(ctx, rc, capi::kNteNoKey);
    } else {
        result = use(c, k);
        kernel_->closeKey(k);
    }
    kernel_->closeContainer(c);
    return result;
}

// A key pair just made or imported on the token joins the context's
// container; the kernel key object is closed on every path.
uint32_t Provider::bind_new_key(Context& ctx, DeviceHandle d, KeyHandle k, uint32_t keySpec, Handle* out) {
    ContainerHandle c = nullptr;
    uint32_t rc = kernel_->openContainer(d, ctx.container.c_str(), &c);
    if (rc == ERR_OK && c) {
        rc = kernel_->bindKey(c, k);
        kernel_->closeContainer(c);
    }
    kernel_->closeKey(k);
    if (rc != ERR_OK) return token_error(ctx, rc);
    ctx.last = SignCache{};
    return make_token_key(ctx, keySpec, out);
}

uint32_t Provider::make_token_key(Context& ctx, uint32_t keySpec, Handle* out) {
    auto key = std::make_unique<Key>();
    key->onToken = true;
    key->keySpec = keySpec;
    key->algId = alg_of_spec(keySpec);
    const uint32_t rc = with_key(ctx, keySpec, [&](ContainerHandle, KeyHandle k) -> uint32_t {
        uint32_t algorithm = 0;
        if (kernel_->keyAlgorithm(k, &algorithm) != ERR_OK || algorithm != kRsa) return capi::kNteNoKey;
        uint8_t block[516];
        uint32_t length = sizeof block;
        const uint32_t got = kernel_->keyBuffer(nullptr, k, block, &length);
        if (got != ERR_OK) return failure(ctx, got, capi_error(got));
        return rsa_from_key_block(block, length, &key->pub) ? 0 : capi::kNteBadKey;
    });
    if (rc) return rc;
    ctx.keyBits[keySpec] = key->pub.bits();
    const Handle h = nextHandle_++;
    ctx.keys[h] = std::move(key);
    *out = h;
    return 0;
}

uint32_t Provider::delete_keyset(const std::string& token, const std::string& container) {
    DeviceHandle d = device(token);
    if (!d) return capi::kScardRemovedCard;
    ContainerHandle c = nullptr;
    if (kernel_->openContainer(d, container.c_str(), &c) != ERR_OK || !c) return capi::kNteBadKeyset;
    // The certificates of both key pairs leave the store with the container.
    for (uint32_t spec : {capi::kAtKeyExchange, capi::kAtSignature}) {
        uint32_t slot = 0;
        if (kernel_->certIndex(c, spec, &slot) != ERR_OK) continue;
        uint32_t length = 0;
        if (kernel_->readCert(d, slot, nullptr, &length) != ERR_OK || length == 0 || length > 4096) continue;
        Bytes cert(length);
        if (kernel_->readCert(d, slot, cert.data(), &length) == ERR_OK)
            kernel_->unregUserCert(cert.data(), length);
    }
    kernel_->closeContainer(c);
    const uint32_t rc = kernel_->deleteContainer(d, container.c_str());
    return rc == ERR_OK ? 0 : capi_error(rc);
}

// ---- contexts ----

uint32_t Provider::AcquireContext(Handle* prov, const char* container, uint32_t flags) {
    return guard([&]() -> uint32_t {
        if (!prov) return capi::kErrorInvalidParameter;
        *prov = 0;
        constexpr uint32_t known = capi::kVerifyContext | capi::kNewKeyset | capi::kDeleteKeyset |
                                   capi::kMachineKeyset | capi::kSilent | capi::kDefaultContainerOptional;
        if (flags & ~known) return capi::kNteBadFlags;
        const bool verify = (flags & capi::kVerifyContext) == capi::kVerifyContext;
        const bool create = flags & capi::kNewKeyset, remove = flags & capi::kDeleteKeyset;
        if ((verify && (create || remove)) || (create && remove)) return capi::kNteBadFlags;
        if (!ready()) return capi::kNteProviderDllFail;
        const std::string wanted = container_part(container);
        if (!valid_container_name(wanted)) return capi::kNteBadKeysetParam;

        auto ctx = std::make_unique<Context>();
        ctx->flags = flags;
        ctx->verify = verify;
        ctx->silent = flags & capi::kSilent;
        if (verify) {
            const std::vector<std::string> names = token_names();
            if (!names.empty()) ctx->token = names.front();
        } else if (create) {
            const std::vector<std::string> names = token_names();
            if (names.empty()) return capi::kScardNoSmartcard;
            std::string token, found;
            if (!wanted.empty() && find_container(wanted, &token, &found) == 0) return capi::kNteExists;
            ctx->token = names.front();
            ctx->container = wanted;
            if (ctx->container.empty()) {
                uint8_t random[8] = {};
                DeviceHandle d = device(ctx->token);
                if (!d) return capi::kScardRemovedCard;
                if (kernel_->genRandom(d, sizeof random, 0, random) != ERR_OK) return capi::kNteFail;
                static const char hex[] = "0123456789abcdef";
                ctx->container = "csp-";
                for (uint8_t b : random) (ctx->container += hex[b >> 4]) += hex[b & 15];
            }
            if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
            ContainerHandle c = nullptr;
            const uint32_t rc = kernel_->createContainer(device(ctx->token), ctx->container.c_str(),
                                                         QXTOKEN_CONTAINER_RSA, &c);
            if (rc != ERR_OK) return token_error(*ctx, rc);
            if (c) kernel_->closeContainer(c);
        } else {
            if (uint32_t rc = find_container(wanted, &ctx->token, &ctx->container)) return rc;
            if (remove) {
                if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
                return delete_keyset(ctx->token, ctx->container);
            }
        }
        const Handle h = nextHandle_++;
        contexts_[h] = std::move(ctx);
        *prov = h;
        return 0;
    });
}

uint32_t Provider::ReleaseContext(Handle prov, uint32_t flags) {
    return guard([&]() -> uint32_t {
        auto it = contexts_.find(prov);
        if (it == contexts_.end()) return capi::kNteBadUid;
        contexts_.erase(it);
        return flags ? capi::kNteBadFlags : 0;
    });
}

uint32_t Provider::GetProvParam(Handle prov, uint32_t param, uint8_t* data, uint32_t* length, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!length) return capi::kErrorInvalidParameter;
        switch (param) {
        case capi::kPpName:
            return give_text(name_, data, length);
        case capi::kPpContainer:
        case capi::kPpUniqueContainer:
            if (ctx->verify) return capi::kNteBadKeyset;
            return give_text(ctx->container, data, length);
        case capi::kPpImpType:
            return give_u32(capi::kImplHardware, data, length);
        case capi::kPpVersion:
            return give_u32(0x0200, data, length);
        case capi::kPpProvType:
            return give_u32(capi::kProvRsaFull, data, length);
        case capi::kPpKeySpec:
            return give_u32(capi::kAtKeyExchange | capi::kAtSignature, data, length);
        case capi::kPpEnumContainers: {
            if (flags & capi::kCryptFirst) {
                ctx->enumNames.clear();
                ctx->enumAt = 0;
                for (const std::string& name : token_names()) {
                    if (!ctx->verify && name != ctx->token) continue;
                    DeviceHandle d = device(name);
                    if (!d) continue;
                    uint32_t position = 0;
                    ContainerHandle c = nullptr;
                    while (kernel_->enumContainer(d, 0xFFFFFFFFu, &position, &c) == ERR_OK && c) {
                        char buffer[kMaxName] = {};
                        uint32_t n = sizeof buffer;
                        if (kernel_->containerName(c, buffer, &n) == ERR_OK) ctx->enumNames.emplace_back(buffer);
                        c = nullptr;
                    }
                }
            }
            if (!data) {
                *length = kMaxName;
                return 0;
            }
            if (ctx->enumAt >= ctx->enumNames.size()) return capi::kErrorNoMoreItems;
            const uint32_t rc = give_text(ctx->enumNames[ctx->enumAt], data, length);
            if (rc == 0) ++ctx->enumAt;
            return rc;
        }
        case capi::kPpEnumAlgs:
        case capi::kPpEnumAlgsEx: {
            if (flags & capi::kCryptFirst) ctx->algAt = 0;
            const bool ex = param == capi::kPpEnumAlgsEx;
            uint8_t record[88] = {};
            const uint32_t size = ex ? 88 : 32;
            if (!data) {
                *length = size;
                return 0;
            }
            if (ctx->algAt >= std::size(kAlgs)) return capi::kErrorNoMoreItems;
            const AlgInfo& a = kAlgs[ctx->algAt];
            put_u32(record, a.algId);
            if (ex) {
                put_u32(record + 4, a.defaultBits);
                put_u32(record + 8, a.minBits);
                put_u32(record + 12, a.maxBits);
                put_u32(record + 16, 0);
                put_u32(record + 20, static_cast<uint32_t>(std::strlen(a.name) + 1));
                std::memcpy(record + 24, a.name, std::strlen(a.name));
                put_u32(record + 44, static_cast<uint32_t>(std::strlen(a.longName) + 1));
                std::memcpy(record + 48, a.longName, std::strlen(a.longName));
            } else {
                put_u32(record + 4, a.defaultBits);
                put_u32(record + 8, static_cast<uint32_t>(std::strlen(a.name) + 1));
                std::memcpy(record + 12, a.name, std::strlen(a.name));
            }
            const uint32_t rc = give(record, size, data, length);
            if (rc == 0) ++ctx->algAt;
            return rc;
        }
        default:
            return capi::kNteBadType;
        }
    });
}

uint32_t Provider::SetProvParam(Handle prov, uint32_t param, const uint8_t* data, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (param != capi::kPpKeyExchangePin && param != capi::kPpSignaturePin) return capi::kNteBadType;
        if (flags) return capi::kNteBadFlags;
        if (!data) return capi::kErrorInvalidParameter;
        if (ctx->verify || ctx->token.empty()) return capi::kNtePerm;
        const std::size_t length = strnlen(reinterpret_cast<const char*>(data), 129);
        if (length < 2 || length > 128) return capi::kScardWrongChv;
        DeviceHandle d = device(ctx->token);
        if (!d) return capi::kScardRemovedCard;
        std::vector<char> pin(data, data + length);
        uint32_t rc;
        if (ui_ready())
            rc = uiVerifyPinForCsp_(d, QXTOKEN_PIN_USER, pin.data(), static_cast<uint32_t>(length));
        else
            rc = kernel_->verifyPin(d, QXTOKEN_PIN_USER, pin.data(), static_cast<uint32_t>(length));
        wipe(pin.data(), pin.size());
        return token_error(*ctx, rc);
    });
}

// ---- keys ----

uint32_t Provider::GetUserKey(Handle prov, uint32_t keySpec, Handle* key) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!key) return capi::kErrorInvalidParameter;
        *key = 0;
        if (ctx->verify) return capi::kNteNoKey;
        if (keySpec != capi::kAtKeyExchange && keySpec != capi::kAtSignature) return capi::kNteBadKey;
        return make_token_key(*ctx, keySpec, key);
    });
}

uint32_t Provider::GenKey(Handle prov, uint32_t algId, uint32_t flags, Handle* key) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!key) return capi::kErrorInvalidParameter;
        *key = 0;
        const uint32_t spec = key_spec_of(algId);
        if (!spec) return capi::kNteBadAlgId;
        if (ctx->verify) return capi::kNtePerm;
        const uint32_t bits = flags >> 16 ? flags >> 16 : 1024;
        if (bits != 1024 && bits != 2048) return capi::kNteBadFlags;
        if ((flags & 0xFFFF) & ~(capi::kExportable | capi::kUserProtected)) return capi::kNteBadFlags;
        if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
        DeviceHandle d = device(ctx->token);
        if (!d) return capi::kScardRemovedCard;
        KeyHandle k = nullptr;
        uint32_t rc = kernel_->genAsymKey(d, kRsa, bits, spec, 0, &k);
        if (rc != ERR_OK) return token_error(*ctx, rc);
        return bind_new_key(*ctx, d, k, spec, key);
    });
}

uint32_t Provider::DeriveKey(Handle prov, uint32_t, Handle, uint32_t, Handle* key) {
    return guard([&]() -> uint32_t {
        if (!context(prov)) return capi::kNteBadUid;
        if (key) *key = 0;
        return capi::kNteBadAlgId;  // no session keys on this provider
    });
}

uint32_t Provider::DestroyKey(Handle prov, Handle key) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        return ctx->keys.erase(key) ? 0 : capi::kNteBadKey;
    });
}

uint32_t Provider::GetKeyParam(Handle prov, Handle key, uint32_t param, uint8_t* data, uint32_t* length,
                               uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Key* k = key_of(*ctx, key);
        if (!k) return capi::kNteBadKey;
        if (!length) return capi::kErrorInvalidParameter;
        if (flags) return capi::kNteBadFlags;
        switch (param) {
        case capi::kKpAlgId:
            return give_u32(k->algId, data, length);
        case capi::kKpKeyLen:
        case capi::kKpBlockLen:
            return give_u32(k->pub.bits(), data, length);
        case capi::kKpPermissions:
            return give_u32(capi::kPermEncrypt | capi::kPermDecrypt | capi::kPermRead |
                                (k->onToken ? capi::kPermWrite : 0),
                            data, length);
        case capi::kKpCertificate: {
            if (!k->onToken) return capi::kScardNoSuchCertificate;
            Bytes cert;
            const uint32_t rc = with_key(*ctx, k->keySpec, [&](ContainerHandle c, KeyHandle) -> uint32_t {
                DeviceHandle d = device(ctx->token);
                uint32_t slot = 0;
                if (!d || kernel_->certIndex(c, k->keySpec, &slot) != ERR_OK) return capi::kScardNoSuchCertificate;
                uint32_t n = 0;
                uint32_t got = kernel_->readCert(d, slot, nullptr, &n);
                if (is_removal(got)) return token_error(*ctx, got);
                if (got != ERR_OK || n == 0 || n > 4096) return capi::kScardNoSuchCertificate;
                cert.resize(n);
                got = kernel_->readCert(d, slot, cert.data(), &n);
                if (got != ERR_OK) return is_removal(got) ? token_error(*ctx, got) : capi::kScardNoSuchCertificate;
                cert.resize(n);
                return 0;
            });
            if (rc) return rc;
            return give(cert.data(), static_cast<uint32_t>(cert.size()), data, length);
        }
        default:
            return capi::kNteBadType;
        }
    });
}

uint32_t Provider::SetKeyParam(Handle prov, Handle key, uint32_t param, const uint8_t* data, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Key* k = key_of(*ctx, key);
        if (!k) return capi::kNteBadKey;
        if (param != capi::kKpCertificate) return param == capi::kKpPermissions ? capi::kNtePerm : capi::kNteBadType;
        if (flags) return capi::kNteBadFlags;
        if (!data) return capi::kErrorInvalidParameter;
        if (!k->onToken) return capi::kNteBadKey;
        // CryptoAPI passes the certificate without its length: its DER header tells it.
        const std::size_t length = platform::der_certificate_length(data, 4096);
        if (length == 0) return capi::kNteBadData;
        if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
        return with_key(*ctx, k->keySpec, [&](ContainerHandle c, KeyHandle kh) -> uint32_t {
            DeviceHandle d = device(ctx->token);
            uint32_t slot = 0;
            if (!d || kernel_->keyIndex(kh, &slot) != ERR_OK) return capi::kNteBadKey;
            uint32_t rc = kernel_->writeCert(d, slot, data, static_cast<uint32_t>(length));
            if (rc != ERR_OK) return token_error(*ctx, rc);
            kernel_->setContainerStatus(c, kContainerCertWritten);
            rc = kernel_->regUserCert(data, static_cast<uint32_t>(length), ctx->container.c_str(), k->keySpec, nullptr);
            return rc == ERR_OK ? 0 : capi::kNteFail;
        });
    });
}

uint32_t Provider::ExportKey(Handle prov, Handle key, Handle expKey, uint32_t blobType, uint32_t flags, uint8_t* data,
                             uint32_t* length) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Key* k = key_of(*ctx, key);
        if (!k) return capi::kNteBadKey;
        if (!length) return capi::kErrorInvalidParameter;
        if (expKey) return capi::kNteBadKey;
        if (flags) return capi::kNteBadFlags;
        if (blobType == capi::kPrivateKeyBlob) return capi::kNteBadKeyState;  // private keys never leave the token
        if (blobType != capi::kPublicKeyBlob) return capi::kNteBadType;
        const Bytes blob = public_key_blob(k->pub, k->algId);
        return give(blob.data(), static_cast<uint32_t>(blob.size()), data, length);
    });
}

uint32_t Provider::ImportKey(Handle prov, const uint8_t* data, uint32_t length, Handle pubKey, uint32_t flags,
                             Handle* key) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!data || !key) return capi::kErrorInvalidParameter;
        *key = 0;
        if (length < 8) return capi::kNteBadData;
        if (pubKey) return capi::kNteBadKey;  // no wrapped imports
        if (data[0] == capi::kPublicKeyBlob) {
            auto k = std::make_unique<Key>();
            if (!parse_public_key_blob(data, length, &k->pub, &k->algId)) return capi::kNteBadData;
            if (k->algId != capi::kCalgRsaKeyx && k->algId != capi::kCalgRsaSign) return capi::kNteBadAlgId;
            const Handle h = nextHandle_++;
            ctx->keys[h] = std::move(k);
            *key = h;
            return 0;
        }
        if (data[0] != capi::kPrivateKeyBlob) return capi::kNteBadType;
        if (ctx->verify) return capi::kNtePerm;
        if (flags & ~(capi::kExportable | capi::kUserProtected)) return capi::kNteBadFlags;
        Bytes block;
        uint32_t algId = 0, bits = 0;
        const bool parsed = private_blob_to_key_block(data, length, &block, &algId, &bits);
        struct Wipe {
            Bytes& b;
            ~Wipe() { kernel::secure_zero(b); }
        } wipeBlock{block};
        if (!parsed) return capi::kNteBadData;
        const uint32_t spec = key_spec_of(algId);
        if (!spec) return capi::kNteBadAlgId;
        if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
        DeviceHandle d = device(ctx->token);
        if (!d) return capi::kScardRemovedCard;
        KeyHandle k = nullptr;
        uint32_t rc = kernel_->importKey(d, nullptr, 0, kRsa, spec, block.data(), static_cast<uint32_t>(block.size()), &k);
        if (rc != ERR_OK) return token_error(*ctx, rc);
        return bind_new_key(*ctx, d, k, spec, key);
    });
}

uint32_t Provider::DuplicateKey(Handle prov, Handle key, uint32_t*, uint32_t, Handle* copy) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (copy) *copy = 0;
        if (!key_of(*ctx, key)) return capi::kNteBadKey;
        return capi::kNteNotSupported;
    });
}

// ---- public-key operations in software, private-key operations on the token ----

uint32_t Provider::Encrypt(Handle prov, Handle key, Handle hash, bool final, uint32_t flags, uint8_t* data,
                           uint32_t* length, uint32_t bufferLength) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Key* k = key_of(*ctx, key);
        if (!k) return capi::kNteBadKey;
        if (!length) return capi::kErrorInvalidParameter;
        if (hash) return capi::kNteNotSupported;
        if (flags) return capi::kNteBadFlags;
        if (!final) return capi::kNteBadData;  // RSA takes one block
        const uint32_t size = (k->pub.bits() + 7) / 8;
        if (*length > size - 11) return capi::kNteBadLen;
        if (!data) {
            *length = size;
            return 0;
        }
        if (bufferLength < size) {
            *length = size;
            return capi::kErrorMoreData;
        }
        Bytes in(data, data + *length), out;
        if (!rsa_encrypt_pkcs1(k->pub, in, &out) || out.size() != size) return capi::kNteFail;
        std::reverse_copy(out.begin(), out.end(), data);
        *length = size;
        return 0;
    });
}

uint32_t Provider::Decrypt(Handle prov, Handle key, Handle hash, bool final, uint32_t flags, uint8_t* data,
                           uint32_t* length) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Key* k = key_of(*ctx, key);
        if (!k) return capi::kNteBadKey;
        if (!data || !length) return capi::kErrorInvalidParameter;
        if (hash) return capi::kNteNotSupported;
        if (flags & capi::kOaep) return capi::kNteNotSupported;
        if (flags) return capi::kNteBadFlags;
        if (!final) return capi::kNteBadData;
        if (!k->onToken) return capi::kNteBadKey;  // only the token holds private keys
        const uint32_t size = (k->pub.bits() + 7) / 8;
        if (*length != size) return capi::kNteBadLen;
        if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
        Bytes in(size), out(size);
        std::reverse_copy(data, data + size, in.begin());
        uint32_t produced = size;
        const uint32_t rc = with_key(*ctx, k->keySpec, [&](ContainerHandle, KeyHandle kh) -> uint32_t {
            const uint32_t got = kernel_->decrypt(kh, 3, in.data(), size, out.data(), &produced);
            if (got == ERR_OK) return 0;
            return failure(*ctx, got, capi::kNteBadData);
        });
        if (rc == 0) {
            std::memcpy(data, out.data(), produced);
            *length = produced;
        }
        kernel::secure_zero(out);
        return rc;
    });
}

// ---- hashes ----

uint32_t Provider::CreateHash(Handle prov, uint32_t algId, Handle key, uint32_t flags, Handle* hash) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!hash) return capi::kErrorInvalidParameter;
        *hash = 0;
        if (key) return capi::kNteBadKey;
        if (flags) return capi::kNteBadFlags;
        if (!ready()) return capi::kNteProviderDllFail;
        std::unique_ptr<Hash> h = Hash::create(softAlg_->functions(), algId);
        if (!h) return capi::kNteBadAlgId;
        const Handle id = nextHandle_++;
        ctx->hashes[id] = std::move(h);
        *hash = id;
        return 0;
    });
}

uint32_t Provider::HashData(Handle prov, Handle hash, const uint8_t* data, uint32_t length, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Hash* h = hash_of(*ctx, hash);
        if (!h) return capi::kNteBadHash;
        if (flags) return capi::kNteBadFlags;
        if (!data && length) return capi::kErrorInvalidParameter;
        return h->update(data, length);
    });
}

uint32_t Provider::HashSessionKey(Handle prov, Handle hash, Handle, uint32_t) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!hash_of(*ctx, hash)) return capi::kNteBadHash;
        return capi::kNteBadKey;  // there are no session keys to hash
    });
}

uint32_t Provider::DestroyHash(Handle prov, Handle hash) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        return ctx->hashes.erase(hash) ? 0 : capi::kNteBadHash;
    });
}

uint32_t Provider::DuplicateHash(Handle prov, Handle hash, uint32_t*, uint32_t, Handle* copy) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (copy) *copy = 0;
        if (!hash_of(*ctx, hash)) return capi::kNteBadHash;
        return capi::kNteNotSupported;
    });
}

uint32_t Provider::SetHashParam(Handle prov, Handle hash, uint32_t param, const uint8_t* data, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Hash* h = hash_of(*ctx, hash);
        if (!h) return capi::kNteBadHash;
        if (flags) return capi::kNteBadFlags;
        if (param != capi::kHpHashVal) return capi::kNteBadType;
        return h->set_value(data, h->size());
    });
}

uint32_t Provider::GetHashParam(Handle prov, Handle hash, uint32_t param, uint8_t* data, uint32_t* length,
                                uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Hash* h = hash_of(*ctx, hash);
        if (!h) return capi::kNteBadHash;
        if (!length) return capi::kErrorInvalidParameter;
        if (flags) return capi::kNteBadFlags;
        switch (param) {
        case capi::kHpAlgId:
            return give_u32(h->algId(), data, length);
        case capi::kHpHashSize:
            return give_u32(h->size(), data, length);
        case capi::kHpHashVal: {
            if (!data) {
                *length = h->size();
                return 0;
            }
            if (*length < h->size()) {
                *length = h->size();
                return capi::kErrorMoreData;
            }
            Bytes v;
            if (uint32_t rc = h->value(&v)) return rc;
            return give(v.data(), static_cast<uint32_t>(v.size()), data, length);
        }
        default:
            return capi::kNteBadType;
        }
    });
}

uint32_t Provider::SignHash(Handle prov, Handle hash, uint32_t keySpec, uint32_t flags, uint8_t* signature,
                            uint32_t* length) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Hash* h = hash_of(*ctx, hash);
        if (!h) return capi::kNteBadHash;
        if (!length) return capi::kErrorInvalidParameter;
        if (flags & ~capi::kNoHashOid) return capi::kNteBadFlags;
        if (keySpec != capi::kAtKeyExchange && keySpec != capi::kAtSignature) return capi::kNteBadKey;
        if (ctx->verify) return capi::kNteNoKey;
        // The length needs the key's size only: no PIN, no private-key operation.
        if (!ctx->keyBits.count(keySpec)) {
            Handle probe = 0;
            if (uint32_t rc = make_token_key(*ctx, keySpec, &probe)) return rc;
            ctx->keys.erase(probe);
        }
        const uint32_t size = (ctx->keyBits[keySpec] + 7) / 8;
        if (!signature) {
            *length = size;
            return 0;
        }
        if (*length < size) {
            *length = size;
            return capi::kErrorMoreData;
        }
        const bool noOid = flags & capi::kNoHashOid;
        Bytes value, message;
        if (uint32_t rc = h->value(&value)) return rc;
        if (uint32_t rc = h->signed_message(noOid, &message)) return rc;
        // CryptSignMessage signs once for the size and once for real: the repeat
        // is answered from the last signature, so the token signs (and the person
        // confirms) once.
        SignCache& last = ctx->last;
        if (!last.signature.empty() && last.keySpec == keySpec && last.algId == h->algId() && last.noOid == noOid &&
            last.hashValue == value) {
            std::memcpy(signature, last.signature.data(), last.signature.size());
            *length = static_cast<uint32_t>(last.signature.size());
            return 0;
        }
        if (uint32_t rc = ensure_user_pin(*ctx)) return rc;
        Bytes out(size);
        uint32_t produced = size;
        const uint32_t rc = with_key(*ctx, keySpec, [&](ContainerHandle, KeyHandle kh) -> uint32_t {
            ++tokenSignatures_;
            const uint32_t got = kernel_->signHash(kh, 0, 8, message.data(), static_cast<uint32_t>(message.size()),
                                                   out.data(), &produced);
            if (got == ERR_OK) return 0;
            if (got == ERR_INVALID_PARAM) return capi::kNteBadLen;  // the DigestInfo does not fit the key
            return failure(*ctx, got, capi_error(got));
        });
        if (rc == capi::kErrorMoreData) {
            // The key pair was made again elsewhere with another size.
            ctx->keyBits.erase(keySpec);
            *length = produced;
        }
        if (rc) return rc;
        std::reverse(out.begin(), out.begin() + produced);
        out.resize(produced);
        std::memcpy(signature, out.data(), produced);
        *length = produced;
        last.keySpec = keySpec;
        last.algId = h->algId();
        last.noOid = noOid;
        last.hashValue = value;
        last.signature = out;
        return 0;
    });
}

uint32_t Provider::VerifySignature(Handle prov, Handle hash, const uint8_t* signature, uint32_t length,
                                   Handle pubKey, uint32_t flags) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        Hash* h = hash_of(*ctx, hash);
        if (!h) return capi::kNteBadHash;
        Key* k = key_of(*ctx, pubKey);
        if (!k) return capi::kNteBadKey;
        if (!signature) return capi::kErrorInvalidParameter;
        if (flags & ~capi::kNoHashOid) return capi::kNteBadFlags;
        const uint32_t size = (k->pub.bits() + 7) / 8;
        if (length != size) return capi::kNteBadSignature;
        Bytes message;
        if (uint32_t rc = h->signed_message(flags & capi::kNoHashOid, &message)) return rc;
        Bytes sig(signature, signature + length);
        std::reverse(sig.begin(), sig.end());
        return rsa_verify_pkcs1(k->pub, message, sig) ? 0 : capi::kNteBadSignature;
    });
}

uint32_t Provider::GenRandom(Handle prov, uint32_t length, uint8_t* buffer) {
    return guard([&]() -> uint32_t {
        Context* ctx = context(prov);
        if (!ctx) return capi::kNteBadUid;
        if (!buffer && length) return capi::kErrorInvalidParameter;
        if (length == 0) return 0;
        if (ctx->token.empty()) return capi::kScardNoSmartcard;
        DeviceHandle d = device(ctx->token);
        if (!d) return capi::kScardRemovedCard;
        return token_error(*ctx, kernel_->genRandom(d, length, 1, buffer));
    });
}

}  // namespace qx::csp
