// End-to-end set-up for the device and shared-memory tests: a kernel
// installation of its own (the module with the real transport and the
// software algorithm library beside it, and a Config.ini), and virtual tokens
// in a temporary token directory that the test's child processes share.
#pragma once

#include <cstdint>
#include <string>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"

namespace qx::kernel::test {

// The token directory of this test binary (set in the environment at first
// use, so child processes see it too).
std::string vtoken_home();
// Removes every virtual token: each test starts without tokens.
void clear_tokens();

// A blank token (no file system, no keys); returns its device name.
std::string create_blank_token(const std::string& name, uint32_t channel = 1, const std::string& cosVersion = "010000");
// A token whose application directory holds the external-authentication key
// the kernel derives for `provider`, so that opening it authenticates.
std::string create_keyed_token(const std::string& name, const std::string& provider, uint32_t channel = 1,
                               const std::string& cosVersion = "010000");
void set_plugged(const std::string& name, bool plugged);
// The token's security state (nonzero once the host has authenticated).
int security_state(const std::string& name);

// A kernel installation in a fresh directory: its provider name is unique to
// this process and `name`; `config` is added to the [DeviceInfo] section and
// `pinConfig` to [PIN].  Returns the directory.
std::string install_kernel(const std::string& name, const std::string& config = std::string(),
                           const std::string& pinConfig = std::string());
std::string provider_of(const std::string& name);
// The default device words: each channel's tokens by their channel word.
extern const char kChannelWords[];

// The installed kernel loaded, with the exports of the device and PIN-cache families bound.
struct Kernel {
    explicit Kernel(const std::string& directory);
    platform::Module module;
    PFN_QXToken_IsSupportDev isSupportDev = nullptr;
    PFN_QXToken_EnumDevice enumDevice = nullptr;
    PFN_QXToken_DestroyEnum destroyEnum = nullptr;
    PFN_QXToken_OpenDeviceByName openByName = nullptr;
    PFN_QXToken_OpenDevByNameDEZO openDezo = nullptr;
    PFN_QXToken_OpenDeviceByHandle openByHandle = nullptr;
    PFN_QXToken_CloseDevice close = nullptr;
    PFN_QXToken_ResetDevice reset = nullptr;
    PFN_QXToken_AddDevice addDevice = nullptr;
    PFN_QXToken_RemoveDevice removeDevice = nullptr;
    PFN_QXToken_GetDeviceType type = nullptr;
    PFN_QXToken_GetDeviceStatus status = nullptr;
    PFN_QXToken_GetDeviceName name = nullptr;
    PFN_QXToken_GetDeviceATR atr = nullptr;
    PFN_QXToken_GetDeviceChange change = nullptr;
    PFN_QXToken_GetDeviceSlotNO slot = nullptr;
    PFN_QXToken_WriteShmPin writePin = nullptr;
    PFN_QXToken_ReadShmPin readPin = nullptr;
    bool complete() const;
};

}  // namespace qx::kernel::test
