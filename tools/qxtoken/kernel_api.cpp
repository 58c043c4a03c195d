#include "kernel_api.h"

namespace qx::qxtoken {

KernelApi::KernelApi(const std::string& directory)
    : module(directory + platform::module_file_name("QXTokenKernel")) {
    if (!module) return;
    auto bind = [&](auto& fn, const char* name) {
        fn = module.function<std::remove_reference_t<decltype(fn)>>(name);
        if (!fn) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    bind(enumDevice, "QXToken_EnumDevice");
    bind(destroyEnum, "QXToken_DestroyEnum");
    bind(deviceName, "QXToken_GetDeviceName");
    bind(openByHandle, "QXToken_OpenDeviceByHandle");
    bind(openDezo, "QXToken_OpenDevByNameDEZO");
    bind(closeDevice, "QXToken_CloseDevice");
    bind(initToken, "QXToken_InitToken");
    bind(verifyPin, "QXToken_VerifyPin");
    bind(changePin, "QXToken_ChangePin");
    bind(unlockPin, "QXToken_UnlockPin");
    bind(retries, "QXToken_GetPinRetryNum");
    bind(pinStatus, "QXToken_GetPinStatus");
    bind(tokenInfo, "QXToken_GetTokenInfo");
    bind(getLabel, "QXToken_GetTokenLabel");
    bind(setLabel, "QXToken_SetTokenLabel");
    bind(serial, "QXToken_GetDeviceSerialNumber");
    bind(enumContainer, "QXToken_EnumContainer");
    bind(createContainer, "QXToken_CreateContainer");
    bind(closeContainer, "QXToken_CloseContainer");
    bind(deleteContainer, "QXToken_DeleteContainerByName");
    bind(containerName, "QXToken_GetContainerName");
    bind(containerType, "QXToken_GetContainerType");
    bind(containerStatus, "QXToken_GetContainerStatus");
    bind(genRandom, "QXToken_GenRandom");
    bind(digest, "QXToken_MessageDigest");
    bind(importKey, "QXToken_ImportKey");
    bind(setIv, "QXToken_SetSymKeyIV");
    bind(setPadding, "QXToken_SetSymKeyPadding");
    bind(setMode, "QXToken_SetSymKeyMode");
    bind(encrypt, "QXToken_Encrypt");
    bind(decrypt, "QXToken_Decrypt");
    bind(closeKey, "QXToken_CloseKey");
    bind(openContainer, "QXToken_OpenContainer");
    bind(genAsymKey, "QXToken_GenAsymKey");
    bind(bindKey, "QXToken_UpdateAsymKeyToContainer");
    bind(keyFromContainer, "QXToken_GetAsymKeyFormContainer");
    bind(keyAlgorithm, "QXToken_GetKeyAlgID");
    bind(keyLength, "QXToken_GetKeyLen");
    bind(keyIndex, "QXToken_GetAsymKeyIndex");
    bind(keyBuffer, "QXToken_GetKeyBuffer");
    bind(signHash, "QXToken_SignHash");
    bind(verifyHash, "QXToken_VerifyHash");
    bind(sm2Za, "QXToken_GetSM3DigestZA");
    bind(isTranHashMeth, "QXToken_IsTranHashMeth");
    bind(negotiateTransaction, "QXToken_NegotiateTransaction");
    bind(signTransaction, "QXToken_SignTransaction");
    bind(getTranSignature, "QXToken_GetTranSignature");
    bind(cancelTransaction, "QXToken_CancelTransaction");
}

}  // namespace qx::qxtoken
