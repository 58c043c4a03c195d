// Run-time binding of the software algorithm library and owning wrappers for
// the objects it hands out.  The library is never linked: it is loaded by
// file name and its four factory functions are bound by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QXSoftAlg.h"

namespace qx::kernel {

// The four bound factory functions.  All four set means "usable".
struct SoftAlgFunctions {
    PFN_QXCreateMessageDigest createDigest = nullptr;
    PFN_QXDestroyMessageDigest destroyDigest = nullptr;
    PFN_QXCreateCipher createCipher = nullptr;
    PFN_QXDestroyCipher destroyCipher = nullptr;

    bool complete() const { return createDigest && destroyDigest && createCipher && destroyCipher; }
};

// Loads the library from `directory` (ending in a separator; empty: bare file
// name) and binds the four functions.  The library stays loaded while the
// object lives.
class SoftAlgLibrary {
public:
    // Returns null when the library cannot be loaded or a function is missing.
    static std::unique_ptr<SoftAlgLibrary> load(const std::string& directory);
    ~SoftAlgLibrary();
    SoftAlgLibrary(const SoftAlgLibrary&) = delete;
    SoftAlgLibrary& operator=(const SoftAlgLibrary&) = delete;

    const SoftAlgFunctions& functions() const { return functions_; }

private:
    SoftAlgLibrary(void* module, const SoftAlgFunctions& functions) : module_(module), functions_(functions) {}
    void* module_;
    SoftAlgFunctions functions_;
};

// A cipher object of the library, destroyed through the library's own export.
class SoftCipher {
public:
    SoftCipher() = default;
    SoftCipher(const SoftAlgFunctions& fns, uint32_t algorithm)
        : destroy_(fns.destroyCipher), cipher_(fns.createCipher ? fns.createCipher(algorithm) : nullptr) {}
    ~SoftCipher() {
        if (cipher_ && destroy_) destroy_(cipher_);
    }
    SoftCipher(const SoftCipher&) = delete;
    SoftCipher& operator=(const SoftCipher&) = delete;

    explicit operator bool() const { return cipher_ != nullptr; }
    Cipher* operator->() const { return cipher_; }

    // Keys the object for one direction without padding (ECB) or as a stream (RC4).
    uint32_t init(uint32_t mode, const uint8_t* key, uint32_t keyLength, uint32_t direction,
                  uint32_t padding = QXSA_PAD_NONE) {
        return cipher_->Init(mode, key, keyLength, nullptr, 0, direction, padding);
    }
    // In-place processing for stream ciphers and for block ciphers without padding.
    uint32_t process_in_place(uint8_t* data, uint32_t length);

private:
    PFN_QXDestroyCipher destroy_ = nullptr;
    Cipher* cipher_ = nullptr;
};

// Overwrites memory in a way the optimiser keeps.
void secure_zero(void* data, std::size_t length);

template <typename T>
void secure_zero(std::vector<T>& v) {
    if (!v.empty()) secure_zero(v.data(), v.size() * sizeof(T));
}

}  // namespace qx::kernel
