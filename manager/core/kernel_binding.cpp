#include "kernel_binding.h"

#include <filesystem>
#include <system_error>

namespace qx::manager {

const std::array<const char*, kKernelNameCount> kKernelNames = {
    "InitQXToken", "FreeQXToken", "QXToken_DebugTrace", "QXToken_GetProviderName", "QXToken_EnumContainer",
    "QXToken_OpenContainer", "QXToken_CloseContainer", "QXToken_CloseAllContainer", "QXToken_CreateContainer",
    "QXToken_DeleteContainerByHandle", "QXToken_DeleteContainerByName", "QXToken_UpdateContainer",
    "QXToken_GetContainerName", "QXToken_GetContainerType", "QXToken_GetAsymKeyFormContainer",
    "QXToken_UpdateAsymKeyToContainer", "QXToken_GetCertIndexFormContainer", "QXToken_SetContainerStatus",
    "QXToken_GetContainerStatus", "QXToken_IsSupportDev", "QXToken_EnumDevice", "QXToken_DestroyEnum",
    "QXToken_OpenDeviceByName", "QXToken_OpenDeviceByHandle", "QXToken_CloseDevice", "QXToken_ResetDevice",
    "QXToken_AddDevice", "QXToken_RemoveDevice", "QXToken_GetDeviceType", "QXToken_GetDeviceStatus",
    "QXToken_GetDeviceName", "QXToken_GetDeviceATR", "QXToken_GetDeviceChange", "QXToken_GetDeviceSlotNO",
    "QXToken_GenRandom", "QXToken_GenSessionKey", "QXToken_GenAsymKey", "QXToken_CloseKey", "QXToken_GetKeyAlgID",
    "QXToken_GetKeyBlockLen", "QXToken_GetKeyLen", "QXToken_GetAsymKeySpec", "QXToken_GetAsymKeyIndex",
    "QXToken_GetSymKeySalt", "QXToken_GetSymKeyIV", "QXToken_GetSymKeyPadding", "QXToken_GetSymKeyMode",
    "QXToken_GetSymKeyFeedBackLenBit", "QXToken_GetSymKeyEffectiveLenBit", "QXToken_SetSymKeySalt",
    "QXToken_SetSymKeyIV", "QXToken_SetSymKeyPadding", "QXToken_SetSymKeyMode", "QXToken_SetSymKeyFeedbackLenBit",
    "QXToken_SetSymKeyEffectLenBit", "QXToken_GetKeyBuffer", "QXToken_SetKeyBuffer", "QXToken_MessageDigest",
    "QXToken_GetSM3DigestZA", "QXToken_Encrypt", "QXToken_Decrypt", "QXToken_SignHash", "QXToken_VerifyHash",
    "QXToken_ImportKey", "QXToken_NegotiateTransaction", "QXToken_SignTransaction", "QXToken_GetTranSignature",
    "QXToken_CancelTransaction", "QXToken_ReadCert", "QXToken_WriteCert", "QXToken_DeleteUserCert",
    "QXToken_RegUserCert", "QXToken_RegCertToStore", "QXToken_UnRegUserCert", "QXToken_IsSignSelf",
    "QXToken_ReadMemCert", "QXToken_ClearMemInfo", "QXToken_DeleteMemCert", "QXToken_DuplicateObject",
    "QXToken_IsMeetSecurityStatus", "QXToken_ExternalAuth", "QXToken_VerifyPin", "QXToken_GetPinRetryNum",
    "QXToken_UnlockPin", "QXToken_UnlockPinEx", "QXToken_ChangePin", "QXToken_GetTokenLabel",
    "QXToken_SetTokenLabel", "QXToken_GetTokenInfo", "QXToken_GetPinStatus", "QXToken_SetTokenDisplayLang",
    "QXToken_IsTranHashMeth", "QXToken_InitToken", "QXToken_GetDevicePressStatus", "QXToken_GetDeviceSerialNumber",
    "QXToken_GetCOSInfo", "QXToken_SetPinStatus", "QXToken_ReadShmPin", "QXToken_WriteShmPin", "QXToken_RegCACert",
    "QXToken_ReadBinFile", "QXToken_WriteBinFile", "QXToken_GetDeviceChannelType",
};

const std::array<const char*, kUIExtendNameCount> kUIExtendNames = {
    "QXUIEx_InitCtx",     "QXUIEx_FreeCtx",         "QXUIEx_VerifyPin",          "QXUIEx_ChangePin",
    "QXUIEx_SetPin",      "QXUIEx_UnlockPin",       "QXUIEx_SelectDevice",       "QXUIEx_ChangeDevName",
    "QXUIEx_GenKeyPair",  "QXUIEx_ShowDevInfo",     "QXUIEx_InitToken",          "QXUIEx_TransDataSign",
    "QXUIEx_ParseTransData", "QXUIEx_SetSysLangPath", "QXUIEx_MessageBox",       "QXUIEx_ImportCert",
    "QXUIEx_OverRideContainer", "QXUIEx_ChangePinForCSPKCS", "QXUIEx_VerifyPinForCSPKCS",
};

const std::array<const char*, kSoftAlgNameCount> kSoftAlgNames = {
    "QXCreateMessageDigest", "QXDestroyMessageDigest", "QXCreateCipher", "QXDestroyCipher"};

namespace {

// Stand-ins for kernel entries the library does not export: the caller takes
// its ordinary failure path instead of jumping through an empty entry.
constexpr uint32_t kMissing = ERR_LIBRARY_LOAD;
uint32_t QXTOKEN_CALL missing_IsSupportDev(const char*, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_EnumDevice(uint32_t*, DeviceHandle*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_DestroyEnum() { return kMissing; }
uint32_t QXTOKEN_CALL missing_OpenDeviceByName(const char*, DeviceHandle*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_Handle(DeviceHandle) { return kMissing; }
uint32_t QXTOKEN_CALL missing_GetDeviceName(DeviceHandle, char*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_HandleU32(DeviceHandle, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_GetDeviceChange(uint32_t*, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_HandleBytes(DeviceHandle, uint8_t*, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_GetPinRetryNum(DeviceHandle, uint32_t, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_IsMeetSecurityStatus(DeviceHandle, uint32_t) { return 0; }
uint32_t QXTOKEN_CALL missing_EnumContainer(DeviceHandle, uint32_t, uint32_t*, ContainerHandle*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_GetContainerName(ContainerHandle, char*, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_GetCertIndex(ContainerHandle, uint32_t, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_ReadCert(DeviceHandle, uint32_t, uint8_t*, uint32_t*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_DeleteUserCert(DeviceHandle, uint32_t, const uint8_t*, uint32_t) { return kMissing; }
uint32_t QXTOKEN_CALL missing_RegUserCert(const uint8_t*, uint32_t, const char*, uint32_t, char*) { return kMissing; }
uint32_t QXTOKEN_CALL missing_UnRegUserCert(const uint8_t*, uint32_t) { return kMissing; }
uint32_t QXTOKEN_CALL missing_ReadMemCert(uint32_t, uint8_t*, uint32_t*, uint32_t) { return kMissing; }
uint32_t QXTOKEN_CALL missing_ClearMemInfo(uint32_t) { return kMissing; }
uint32_t QXTOKEN_CALL missing_RegCACert() { return kMissing; }

template <typename F>
void take(F& member, const KernelBinding& b, const char* name, F fallback) {
    for (std::size_t i = 0; i < kKernelNameCount; ++i) {
        if (std::string_view(kKernelNames[i]) == name) {
            member = b.entries[i] ? reinterpret_cast<F>(b.entries[i]) : fallback;
            return;
        }
    }
    member = fallback;
}

void fill_api(KernelBinding& b) {
    KernelApi& a = b.api;
    take(a.IsSupportDev, b, "QXToken_IsSupportDev", &missing_IsSupportDev);
    take(a.EnumDevice, b, "QXToken_EnumDevice", &missing_EnumDevice);
    take(a.DestroyEnum, b, "QXToken_DestroyEnum", &missing_DestroyEnum);
    take(a.OpenDeviceByName, b, "QXToken_OpenDeviceByName", &missing_OpenDeviceByName);
    take(a.OpenDeviceByHandle, b, "QXToken_OpenDeviceByHandle", &missing_Handle);
    take(a.CloseDevice, b, "QXToken_CloseDevice", &missing_Handle);
    take(a.GetDeviceName, b, "QXToken_GetDeviceName", &missing_GetDeviceName);
    take(a.GetDeviceSlotNO, b, "QXToken_GetDeviceSlotNO", &missing_HandleU32);
    take(a.GetDeviceChange, b, "QXToken_GetDeviceChange", &missing_GetDeviceChange);
    take(a.GetDeviceSerialNumber, b, "QXToken_GetDeviceSerialNumber", &missing_HandleBytes);
    take(a.GetTokenLabel, b, "QXToken_GetTokenLabel", &missing_HandleBytes);
    take(a.GetTokenInfo, b, "QXToken_GetTokenInfo", &missing_HandleBytes);
    take(a.GetPinStatus, b, "QXToken_GetPinStatus", &missing_HandleU32);
    take(a.GetPinRetryNum, b, "QXToken_GetPinRetryNum", &missing_GetPinRetryNum);
    take(a.IsMeetSecurityStatus, b, "QXToken_IsMeetSecurityStatus", &missing_IsMeetSecurityStatus);
    take(a.ExternalAuth, b, "QXToken_ExternalAuth", &missing_Handle);
    take(a.EnumContainer, b, "QXToken_EnumContainer", &missing_EnumContainer);
    take(a.GetContainerName, b, "QXToken_GetContainerName", &missing_GetContainerName);
    take(a.GetCertIndexFormContainer, b, "QXToken_GetCertIndexFormContainer", &missing_GetCertIndex);
    take(a.ReadCert, b, "QXToken_ReadCert", &missing_ReadCert);
    take(a.DeleteUserCert, b, "QXToken_DeleteUserCert", &missing_DeleteUserCert);
    take(a.RegUserCert, b, "QXToken_RegUserCert", &missing_RegUserCert);
    take(a.UnRegUserCert, b, "QXToken_UnRegUserCert", &missing_UnRegUserCert);
    take(a.ReadMemCert, b, "QXToken_ReadMemCert", &missing_ReadMemCert);
    take(a.ClearMemInfo, b, "QXToken_ClearMemInfo", &missing_ClearMemInfo);
    take(a.RegCACert, b, "QXToken_RegCACert", &missing_RegCACert);
}

// Sets the current directory for the lifetime of the object.
class DirectoryScope {
public:
    explicit DirectoryScope(const std::string& directory) {
        if (directory.empty()) return;
        std::error_code ec;
        previous_ = std::filesystem::current_path(ec);
        if (ec) return;
        std::filesystem::current_path(std::filesystem::path(reinterpret_cast<const char8_t*>(directory.c_str())), ec);
        changed_ = !ec;
    }
    ~DirectoryScope() {
        if (!changed_) return;
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
    }
    DirectoryScope(const DirectoryScope&) = delete;
    DirectoryScope& operator=(const DirectoryScope&) = delete;

private:
    std::filesystem::path previous_;
    bool changed_ = false;
};

}  // namespace

KernelBinding bind_kernel(const Resolver& resolve) {
    KernelBinding b;
    for (std::size_t i = 0; i < kKernelNameCount; ++i) {
        b.entries[i] = resolve ? resolve(kKernelNames[i]) : nullptr;
        if (!b.entries[i]) ++b.missing;
    }
    fill_api(b);
    return b;
}

KernelApi unbound_kernel_api() { return bind_kernel(nullptr).api; }

UIExtendBinding bind_uiextend(const Resolver& resolve) {
    UIExtendBinding b;
    for (std::size_t i = 0; i < kUIExtendNameCount; ++i) {
        void* entry = resolve ? resolve(kUIExtendNames[i]) : nullptr;
        if (!entry) {
            b.firstMissing = kUIExtendNames[i];
            b.entries = {};
            return b;
        }
        b.entries[i] = entry;
    }
    b.complete = true;
    return b;
}

SoftAlgBinding bind_softalg(const Resolver& resolve) {
    SoftAlgBinding b;
    for (std::size_t i = 0; i < kSoftAlgNameCount; ++i) {
        b.entries[i] = resolve ? resolve(kSoftAlgNames[i]) : nullptr;
        if (!b.entries[i]) {
            b.entries = {};
            return b;
        }
    }
    b.complete = true;
    return b;
}

std::string ToolLibraries::library_path(const char* baseName) const {
    const std::string file = platform::module_file_name(baseName);
    return directory_.empty() ? file : directory_ + file;
}

bool ToolLibraries::load_kernel() {
    unload_kernel();
    {
        DirectoryScope scope(directory_);
        kernelModule_ = platform::Module(library_path("QXTokenKernel"));
    }
    if (!kernelModule_) return false;
    platform::ModuleHandle handle = kernelModule_.get();
    kernel_ = bind_kernel([handle](const char* name) { return platform::bind_symbol(handle, name); });
    return true;
}

bool ToolLibraries::load_uiextend() {
    unload_uiextend();
    {
        DirectoryScope scope(directory_);
        uiextendModule_ = platform::Module(library_path("QXUIExtend"));
    }
    if (!uiextendModule_) return false;
    platform::ModuleHandle handle = uiextendModule_.get();
    uiextend_ = bind_uiextend([handle](const char* name) { return platform::bind_symbol(handle, name); });
    if (!uiextend_.complete) {
        uiextendModule_ = platform::Module();
        return false;
    }
    return true;
}

void ToolLibraries::unload_kernel() {
    kernel_ = bind_kernel(nullptr);
    kernelModule_ = platform::Module();
}

void ToolLibraries::unload_uiextend() {
    uiextend_ = UIExtendBinding{};
    uiextendModule_ = platform::Module();
}

}  // namespace qx::manager
