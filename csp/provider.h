// The CryptoAPI provider's logic over the token kernel and the UI extension,
// without any system header: every CP* entry point has one method here of
// the same shape, with handles as integers and the CryptoAPI error as the
// result (0 for success).  The Windows face only passes its arguments on and
// turns a non-zero result into SetLastError + FALSE.
//
// Handles are numbers handed out once and looked up in tables, so a stale,
// forged or foreign handle is refused rather than followed.  A context holds
// its token by device name and reopens containers and keys by name for each
// operation: the kernel's container handles go stale on every enumeration.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "config/soft_alg.h"
#include "hash.h"
#include "kernel_binding.h"
#include "rsa_public.h"

namespace qx::csp {

using Handle = uintptr_t;

// The two UI-extension entry points the provider uses.
using UiVerifyPin = uint32_t (*)(DeviceHandle, uint32_t);
using UiVerifyPinForCsp = uint32_t (*)(DeviceHandle, uint32_t, const char*, uint32_t);

class Provider {
public:
    // `directory` (ending in a separator) holds QXTokenKernel, QXUIExtend,
    // QXSoftAlg and Config.ini, as beside the installed provider.
    explicit Provider(const std::string& directory);
    ~Provider();
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    // The provider name of Config.ini ([QXTokenInfo] CSPName).
    const std::string& name() const { return name_; }
    // How many private-key operations went to the token (tests and benchmarks).
    uint64_t token_signatures() const { return tokenSignatures_; }

    uint32_t AcquireContext(Handle* prov, const char* container, uint32_t flags);
    uint32_t ReleaseContext(Handle prov, uint32_t flags);
    uint32_t GetProvParam(Handle prov, uint32_t param, uint8_t* data, uint32_t* length, uint32_t flags);
    uint32_t SetProvParam(Handle prov, uint32_t param, const uint8_t* data, uint32_t flags);
    uint32_t GenKey(Handle prov, uint32_t algId, uint32_t flags, Handle* key);
    uint32_t DeriveKey(Handle prov, uint32_t algId, Handle hash, uint32_t flags, Handle* key);
    uint32_t DestroyKey(Handle prov, Handle key);
    uint32_t SetKeyParam(Handle prov, Handle key, uint32_t param, const uint8_t* data, uint32_t flags);
    uint32_t GetKeyParam(Handle prov, Handle key, uint32_t param, uint8_t* data, uint32_t* length, uint32_t flags);
    uint32_t ExportKey(Handle prov, Handle key, Handle expKey, uint32_t blobType, uint32_t flags, uint8_t* data,
                       uint32_t* length);
    uint32_t ImportKey(Handle prov, const uint8_t* data, uint32_t length, Handle pubKey, uint32_t flags, Handle* key);
    uint32_t Encrypt(Handle prov, Handle key, Handle hash, bool final, uint32_t flags, uint8_t* data,
                     uint32_t* length, uint32_t bufferLength);
    uint32_t Decrypt(Handle prov, Handle key, Handle hash, bool final, uint32_t flags, uint8_t* data,
                     uint32_t* length);
    uint32_t CreateHash(Handle prov, uint32_t algId, Handle key, uint32_t flags, Handle* hash);
    uint32_t HashData(Handle prov, Handle hash, const uint8_t* data, uint32_t length, uint32_t flags);
    uint32_t HashSessionKey(Handle prov, Handle hash, Handle key, uint32_t flags);
    uint32_t SignHash(Handle prov, Handle hash, uint32_t keySpec, uint32_t flags, uint8_t* signature,
                      uint32_t* length);
    uint32_t DestroyHash(Handle prov, Handle hash);
    uint32_t VerifySignature(Handle prov, Handle hash, const uint8_t* signature, uint32_t length, Handle pubKey,
                             uint32_t flags);
    uint32_t GenRandom(Handle prov, uint32_t length, uint8_t* buffer);
    uint32_t GetUserKey(Handle prov, uint32_t keySpec, Handle* key);
    uint32_t SetHashParam(Handle prov, Handle hash, uint32_t param, const uint8_t* data, uint32_t flags);
    uint32_t GetHashParam(Handle prov, Handle hash, uint32_t param, uint8_t* data, uint32_t* length,
                          uint32_t flags);
    uint32_t DuplicateHash(Handle prov, Handle hash, uint32_t* reserved, uint32_t flags, Handle* copy);
    uint32_t DuplicateKey(Handle prov, Handle key, uint32_t* reserved, uint32_t flags, Handle* copy);

private:
    struct Context;
    struct Key;
    struct SignCache {
        uint32_t keySpec = 0;
        uint32_t algId = 0;
        bool noOid = false;
        Bytes hashValue, signature;
    };

    // Runs one entry point under the provider's lock; no exception gets out.
    template <typename F>
    uint32_t guard(F&& body);
    bool ready();
    bool ui_ready();
    Context* context(Handle prov);
    Key* key_of(Context& ctx, Handle key);
    Hash* hash_of(Context& ctx, Handle hash);

    // Devices: names of the present tokens (by slot), and the handle this process keeps per name.
    std::vector<std::string> token_names();
    DeviceHandle device(const std::string& name);
    void forget_device(const std::string& name);
    // The CryptoAPI error of a kernel status; a token that went away is forgotten.
    uint32_t token_error(Context& ctx, uint32_t status);
    // `otherwise`, unless the status or the token's absence says it was pulled out.
    uint32_t failure(Context& ctx, uint32_t status, uint32_t otherwise);

    uint32_t find_container(const std::string& wanted, std::string* token, std::string* container);
    uint32_t ensure_user_pin(Context& ctx);
    // Opens the context's container and its key pair of keySpec for one use.
    template <typename F>
    uint32_t with_key(Context& ctx, uint32_t keySpec, F&& use);
    uint32_t make_token_key(Context& ctx, uint32_t keySpec, Handle* out);
    uint32_t bind_new_key(Context& ctx, DeviceHandle d, KeyHandle k, uint32_t keySpec, Handle* out);
    uint32_t delete_keyset(const std::string& token, const std::string& container);

    std::string directory_;
    std::string name_;
    std::recursive_mutex mutex_;
    bool loaded_ = false;
    std::unique_ptr<p11::KernelBinding> kernel_;
    std::unique_ptr<kernel::SoftAlgLibrary> softAlg_;
    platform::Module ui_;
    UiVerifyPin uiVerifyPin_ = nullptr;
    UiVerifyPinForCsp uiVerifyPinForCsp_ = nullptr;
    std::map<std::string, DeviceHandle> devices_;
    std::map<Handle, std::unique_ptr<Context>> contexts_;
    Handle nextHandle_ = 0x51C0;
    uint64_t tokenSignatures_ = 0;
};

}  // namespace qx::csp
