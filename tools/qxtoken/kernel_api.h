// The token kernel as this tool uses it: loaded by file name from a directory
// and bound export by export, the way applications bind it.
#pragma once

#include <string>

#include "QXTokenKernel.h"
#include "qx/platform/module.h"

namespace qx::qxtoken {

struct KernelApi {
    // Loads QXTokenKernel from `directory` (ending in a separator).
    explicit KernelApi(const std::string& directory);

    platform::Module module;
    // Names of exports that could not be bound (empty when all are there).
    std::string missing;

    PFN_QXToken_EnumDevice enumDevice = nullptr;
    PFN_QXToken_DestroyEnum destroyEnum = nullptr;
    PFN_QXToken_GetDeviceName deviceName = nullptr;
    PFN_QXToken_OpenDeviceByHandle openByHandle = nullptr;
    PFN_QXToken_OpenDevByNameDEZO openDezo = nullptr;
    PFN_QXToken_CloseDevice closeDevice = nullptr;
    PFN_QXToken_InitToken initToken = nullptr;
    PFN_QXToken_VerifyPin verifyPin = nullptr;
    PFN_QXToken_ChangePin changePin = nullptr;
    PFN_QXToken_UnlockPin unlockPin = nullptr;
    PFN_QXToken_GetPinRetryNum retries = nullptr;
    PFN_QXToken_GetPinStatus pinStatus = nullptr;
    PFN_QXToken_GetTokenInfo tokenInfo = nullptr;
    PFN_QXToken_GetTokenLabel getLabel = nullptr;
    PFN_QXToken_SetTokenLabel setLabel = nullptr;
    PFN_QXToken_GetDeviceSerialNumber serial = nullptr;
    PFN_QXToken_EnumContainer enumContainer = nullptr;
    PFN_QXToken_CreateContainer createContainer = nullptr;
    PFN_QXToken_CloseContainer closeContainer = nullptr;
    PFN_QXToken_DeleteContainerByName deleteContainer = nullptr;
    PFN_QXToken_GetContainerName containerName = nullptr;
    PFN_QXToken_GetContainerType containerType = nullptr;
    PFN_QXToken_GetContainerStatus containerStatus = nullptr;
    PFN_QXToken_GenRandom genRandom = nullptr;
    PFN_QXToken_MessageDigest digest = nullptr;
    PFN_QXToken_ImportKey importKey = nullptr;
    PFN_QXToken_SetSymKeyBytes setIv = nullptr;
    PFN_QXToken_SetSymKeyValue setPadding = nullptr;
    PFN_QXToken_SetSymKeyValue setMode = nullptr;
    PFN_QXToken_Encrypt encrypt = nullptr;
    PFN_QXToken_Decrypt decrypt = nullptr;
    PFN_QXToken_CloseKey closeKey = nullptr;
    PFN_QXToken_OpenContainer openContainer = nullptr;
    PFN_QXToken_GenAsymKey genAsymKey = nullptr;
    PFN_QXToken_UpdateAsymKeyToContainer bindKey = nullptr;
    PFN_QXToken_GetAsymKeyFormContainer keyFromContainer = nullptr;
    PFN_QXToken_GetKeyValue keyAlgorithm = nullptr;
    PFN_QXToken_GetKeyValue keyLength = nullptr;
    PFN_QXToken_GetKeyValue keyIndex = nullptr;
    PFN_QXToken_GetKeyBuffer keyBuffer = nullptr;
    PFN_QXToken_SignHash signHash = nullptr;
    PFN_QXToken_VerifyHash verifyHash = nullptr;
    PFN_QXToken_GetSM3DigestZA sm2Za = nullptr;
    PFN_QXToken_IsTranHashMeth isTranHashMeth = nullptr;
    PFN_QXToken_NegotiateTransaction negotiateTransaction = nullptr;
    PFN_QXToken_SignTransaction signTransaction = nullptr;
    PFN_QXToken_GetTranSignature getTranSignature = nullptr;
    PFN_QXToken_CancelTransaction cancelTransaction = nullptr;
};

}  // namespace qx::qxtoken
