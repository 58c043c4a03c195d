// Binding the system's libraries by name: the kernel's 103 names (a missing
// one leaves its entry empty and the typed table answers ERR_LIBRARY_LOAD for
// it, 0 for QXToken_IsMeetSecurityStatus), the UI extension's 19 names (all or
// nothing, stopping at the first missing one) and the software algorithm
// library's 4 names (all or nothing).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"

namespace qx::manager {

constexpr std::size_t kKernelNameCount = 103;
constexpr std::size_t kUIExtendNameCount = 19;
constexpr std::size_t kSoftAlgNameCount = 4;

// In the order the tool asks for them.
extern const std::array<const char*, kKernelNameCount> kKernelNames;
extern const std::array<const char*, kUIExtendNameCount> kUIExtendNames;
extern const std::array<const char*, kSoftAlgNameCount> kSoftAlgNames;

// name -> address, null when the library lacks it.
using Resolver = std::function<void*(const char*)>;

// The kernel functions the tool calls.  After binding every member is
// callable: a name the library did not export is served by a stand-in that
// answers ERR_LIBRARY_LOAD (QXToken_IsMeetSecurityStatus: 0, "not met").
struct KernelApi {
    PFN_QXToken_IsSupportDev IsSupportDev;
    PFN_QXToken_EnumDevice EnumDevice;
    PFN_QXToken_DestroyEnum DestroyEnum;
    PFN_QXToken_OpenDeviceByName OpenDeviceByName;
    PFN_QXToken_OpenDeviceByHandle OpenDeviceByHandle;
    PFN_QXToken_CloseDevice CloseDevice;
    PFN_QXToken_GetDeviceName GetDeviceName;
    PFN_QXToken_GetDeviceSlotNO GetDeviceSlotNO;
    PFN_QXToken_GetDeviceChange GetDeviceChange;
    PFN_QXToken_GetDeviceSerialNumber GetDeviceSerialNumber;
    PFN_QXToken_GetTokenLabel GetTokenLabel;
    PFN_QXToken_GetTokenInfo GetTokenInfo;
    PFN_QXToken_GetPinStatus GetPinStatus;
    PFN_QXToken_GetPinRetryNum GetPinRetryNum;
    PFN_QXToken_IsMeetSecurityStatus IsMeetSecurityStatus;
    PFN_QXToken_ExternalAuth ExternalAuth;
    PFN_QXToken_EnumContainer EnumContainer;
    PFN_QXToken_GetContainerName GetContainerName;
    PFN_QXToken_GetCertIndexFormContainer GetCertIndexFormContainer;
    PFN_QXToken_ReadCert ReadCert;
    PFN_QXToken_DeleteUserCert DeleteUserCert;
    PFN_QXToken_RegUserCert RegUserCert;
    PFN_QXToken_UnRegUserCert UnRegUserCert;
    PFN_QXToken_ReadMemCert ReadMemCert;
    PFN_QXToken_ClearMemInfo ClearMemInfo;
    PFN_QXToken_RegCACert RegCACert;
};

struct KernelBinding {
    std::array<void*, kKernelNameCount> entries{};  // in kKernelNames order; null when missing
    KernelApi api{};
    std::size_t missing = 0;
};

// Never fails: missing names only leave entries empty.
KernelBinding bind_kernel(const Resolver& resolve);
// A table whose every member is a stand-in (nothing bound).
KernelApi unbound_kernel_api();

struct UIExtendBinding {
    std::array<void*, kUIExtendNameCount> entries{};
    bool complete = false;
    const char* firstMissing = nullptr;

    // The entry of `name` as function type F (null when unbound or unknown).
    template <typename F>
    F function(const char* name) const {
        for (std::size_t i = 0; i < kUIExtendNameCount; ++i)
            if (std::string(kUIExtendNames[i]) == name) return reinterpret_cast<F>(entries[i]);
        return nullptr;
    }
};
UIExtendBinding bind_uiextend(const Resolver& resolve);

struct SoftAlgBinding {
    std::array<void*, kSoftAlgNameCount> entries{};
    bool complete = false;
};
SoftAlgBinding bind_softalg(const Resolver& resolve);

// The libraries of the running tool, loaded from the program's directory
// (or by bare file name when that is unknown).  The kernel and the UI
// extension are loaded with the current directory set to the program's.
class ToolLibraries {
public:
    explicit ToolLibraries(std::string programDirectory) : directory_(std::move(programDirectory)) {}

    // LoadQXTokenLib: false when the file cannot be loaded.
    bool load_kernel();
    // LoadQXUIExtendLib: false when the file cannot be loaded or lacks a name.
    bool load_uiextend();
    void unload_kernel();
    void unload_uiextend();

    const KernelApi& kernel() const { return kernel_.api; }
    const KernelBinding& kernel_binding() const { return kernel_; }
    const UIExtendBinding& uiextend() const { return uiextend_; }
    bool kernel_loaded() const { return static_cast<bool>(kernelModule_); }
    bool uiextend_loaded() const { return static_cast<bool>(uiextendModule_); }

    // The path a library's base name is loaded from.
    std::string library_path(const char* baseName) const;

private:
    std::string directory_;
    platform::Module kernelModule_;
    platform::Module uiextendModule_;
    KernelBinding kernel_{bind_kernel([](const char*) -> void* { return nullptr; })};
    UIExtendBinding uiextend_;
};

}  // namespace qx::manager
