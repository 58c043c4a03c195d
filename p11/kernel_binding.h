// The token kernel as this module uses it: loaded by file name from the
// module's own directory and bound export by export, as applications do.
#pragma once

#include <string>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"

namespace qx::p11 {

struct KernelBinding {
    // Loads QXTokenKernel from `directory` (ending in a separator).
    explicit KernelBinding(const std::string& directory);
    // True when the library loaded and every export below is bound.
    bool complete() const { return module && missing.empty(); }

    platform::Module module;
    std::string missing;  // names that could not be bound

    PFN_QXToken_EnumDevice enumDevice = nullptr;
    PFN_QXToken_DestroyEnum destroyEnum = nullptr;
    PFN_QXToken_GetDeviceName deviceName = nullptr;
    PFN_QXToken_GetDeviceSlotNO deviceSlot = nullptr;
    PFN_QXToken_GetDeviceChange deviceChange = nullptr;
    PFN_QXToken_OpenDeviceByName openByName = nullptr;
    PFN_QXToken_OpenDevByNameDEZO openDezo = nullptr;
    PFN_QXToken_CloseDevice closeDevice = nullptr;
    PFN_QXToken_VerifyPin verifyPin = nullptr;
    PFN_QXToken_ChangePin changePin = nullptr;
    PFN_QXToken_UnlockPin unlockPin = nullptr;
    PFN_QXToken_UnlockPinEx unlockPinEx = nullptr;
    PFN_QXToken_GetPinRetryNum retries = nullptr;
    PFN_QXToken_GetPinStatus pinStatus = nullptr;
    PFN_QXToken_GetTokenInfo tokenInfo = nullptr;
    PFN_QXToken_InitToken initToken = nullptr;
    PFN_QXToken_EnumContainer enumContainer = nullptr;
    PFN_QXToken_OpenContainer openContainer = nullptr;
    PFN_QXToken_CloseContainer closeContainer = nullptr;
    PFN_QXToken_CreateContainer createContainer = nullptr;
    PFN_QXToken_DeleteContainerByName deleteContainer = nullptr;
    PFN_QXToken_GetContainerName containerName = nullptr;
    PFN_QXToken_SetContainerStatus setContainerStatus = nullptr;
    PFN_QXToken_GenRandom genRandom = nullptr;
    PFN_QXToken_MessageDigest digest = nullptr;
    PFN_QXToken_GenAsymKey genAsymKey = nullptr;
    PFN_QXToken_CloseKey closeKey = nullptr;
    PFN_QXToken_GetAsymKeyFormContainer keyFromContainer = nullptr;
    PFN_QXToken_UpdateAsymKeyToContainer bindKey = nullptr;
    PFN_QXToken_GetKeyValue keyAlgorithm = nullptr;
    PFN_QXToken_GetKeyValue keyLength = nullptr;
    PFN_QXToken_GetKeyValue keyIndex = nullptr;
    PFN_QXToken_GetKeyBuffer keyBuffer = nullptr;
    PFN_QXToken_SignHash signHash = nullptr;
    PFN_QXToken_Decrypt decrypt = nullptr;
    PFN_QXToken_ReadCert readCert = nullptr;
    PFN_QXToken_WriteCert writeCert = nullptr;
    PFN_QXToken_DeleteUserCert deleteUserCert = nullptr;
    PFN_QXToken_IsMeetSecurityStatus meetsSecurity = nullptr;
    PFN_QXToken_ReadShmPin readShmPin = nullptr;
    PFN_QXToken_GetCertIndexFormContainer certIndex = nullptr;
    PFN_QXToken_ImportKey importKey = nullptr;
    PFN_QXToken_RegUserCert regUserCert = nullptr;
    PFN_QXToken_UnRegUserCert unregUserCert = nullptr;
};

}  // namespace qx::p11
