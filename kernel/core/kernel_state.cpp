#include "kernel_state.h"

namespace qx::kernel {

KernelState& KernelState::instance() {
    // Released with the library, so that unloading the kernel leaves nothing behind.
    static KernelState s;
    return s;
}

std::string KernelState::directory() const {
    std::shared_lock lock(mutex_);
    return directory_;
}

void KernelState::set_directory(const std::string& directory) {
    std::unique_lock lock(mutex_);
    directory_ = directory;
}

std::string KernelState::soft_alg_directory() const {
    std::shared_lock lock(mutex_);
    return softAlgDirectorySet_ ? softAlgDirectory_ : directory_;
}

void KernelState::set_soft_alg_directory(const std::string& directory) {
    std::unique_lock lock(mutex_);
    softAlgDirectory_ = directory;
    softAlgDirectorySet_ = true;
}

std::string KernelState::config_path() const { return directory() + "Config.ini"; }

KernelConfig KernelState::config() const {
    std::shared_lock lock(mutex_);
    return config_;
}

void KernelState::set_config(const KernelConfig& config) {
    std::unique_lock lock(mutex_);
    config_ = config;
    settings_.dezo = config.isDezoRivov != 0;
    settings_.responseCorrection = config.getResponseCorrection();
    settings_.secureMessaging = config.secMsg != 0;
    settings_.skAlgorithm = sk_algorithm(config.skAlg);
}

KernelState::ExchangeSettings KernelState::exchange_settings() const {
    std::shared_lock lock(mutex_);
    return settings_;
}

SoftAlgFunctions KernelState::soft_alg() const {
    std::shared_lock lock(mutex_);
    return softAlg_;
}

void KernelState::set_soft_alg(const SoftAlgFunctions& functions) {
    std::unique_lock lock(mutex_);
    softAlg_ = functions;
}

DeviceFunctions KernelState::device_functions() const {
    std::shared_lock lock(mutex_);
    return device_;
}

void KernelState::set_device_functions(const DeviceFunctions& functions) {
    std::unique_lock lock(mutex_);
    device_ = functions;
}

}  // namespace qx::kernel
