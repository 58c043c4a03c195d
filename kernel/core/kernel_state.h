// Process-wide state of the kernel: where it lives, the configuration read at
// initialisation and the two libraries it binds at run time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "QXDevice.h"
#include "config/kernel_config.h"
#include "config/soft_alg.h"

namespace qx::kernel {

struct DeviceFunctions {
    PFN_QXCreateDevInstance create = nullptr;
    PFN_QXDestroyDevInstance destroy = nullptr;
};

class KernelState {
public:
    static KernelState& instance();

    // Directory of the kernel library, ending in a separator; empty when unknown.
    std::string directory() const;
    void set_directory(const std::string& directory);
    // Where QXSoftAlg is loaded from to decipher Config.ini: the kernel's own
    // directory unless set otherwise (tests run the core without the module).
    std::string soft_alg_directory() const;
    void set_soft_alg_directory(const std::string& directory);
    // Directory + "Config.ini" ("Config.ini" alone when the directory is unknown).
    std::string config_path() const;

    KernelConfig config() const;
    void set_config(const KernelConfig& config);
    // The few values every exchange looks at, read without copying the whole configuration.
    struct ExchangeSettings {
        bool dezo;               // IsDEZORivov: no remote-session refusal, no APDU trace lines
        bool responseCorrection; // SupportDevType bit 16
        bool secureMessaging;    // SecMsg
        uint32_t skAlgorithm;
    };
    ExchangeSettings exchange_settings() const;

    SoftAlgFunctions soft_alg() const;
    void set_soft_alg(const SoftAlgFunctions& functions);
    DeviceFunctions device_functions() const;
    void set_device_functions(const DeviceFunctions& functions);

private:
    KernelState() = default;
    mutable std::shared_mutex mutex_;
    std::string directory_;
    std::string softAlgDirectory_;
    bool softAlgDirectorySet_ = false;
    KernelConfig config_;
    ExchangeSettings settings_{false, false, true, 0x200};
    SoftAlgFunctions softAlg_;
    DeviceFunctions device_;
};

inline KernelState& state() { return KernelState::instance(); }

}  // namespace qx::kernel
