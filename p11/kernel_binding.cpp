#include "kernel_binding.h"

#include <type_traits>

namespace qx::p11 {

KernelBinding::KernelBinding(const std::string& directory)
    : module(directory + platform::module_file_name("QXTokenKernel")) {
    if (!module) {
        missing = "QXTokenKernel";
        return;
    }
    auto bind = [&](auto& fn, const char* name) {
        fn = module.function<std::remove_reference_t<decltype(fn)>>(name);
        if (!fn) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    bind(enumDevice, "QXToken_EnumDevice");
    bind(destroyEnum, "QXToken_DestroyEnum");
    bind(deviceName, "QXToken_GetDeviceName");
    bind(deviceSlot, "QXToken_GetDeviceSlotNO");
    bind(deviceChange, "QXToken_GetDeviceChange");
    bind(openByName, "QXToken_OpenDeviceByName");
    bind(openDezo, "QXToken_OpenDevByNameDEZO");
    bind(closeDevice, "QXToken_CloseDevice");
    bind(verifyPin, "QXToken_VerifyPin");
    bind(changePin, "QXToken_ChangePin");
    bind(unlockPin, "QXToken_UnlockPin");
    bind(unlockPinEx, "QXToken_UnlockPinEx");
    bind(retries, "QXToken_GetPinRetryNum");
    bind(pinStatus, "QXToken_GetPinStatus");
    bind(tokenInfo, "QXToken_GetTokenInfo");
    bind(initToken, "QXToken_InitToken");
    bind(enumContainer, "QXToken_EnumContainer");
    bind(openContainer, "QXToken_OpenContainer");
    bind(closeContainer, "QXToken_CloseContainer");
    bind(createContainer, "QXToken_CreateContainer");
    bind(deleteContainer, "QXToken_DeleteContainerByName");
    bind(containerName, "QXToken_GetContainerName");
    bind(setContainerStatus, "QXToken_SetContainerStatus");
    bind(genRandom, "QXToken_GenRandom");
    bind(digest, "QXToken_MessageDigest");
    bind(genAsymKey, "QXToken_GenAsymKey");
    bind(closeKey, "QXToken_CloseKey");
    bind(keyFromContainer, "QXToken_GetAsymKeyFormContainer");
    bind(bindKey, "QXToken_UpdateAsymKeyToContainer");
    bind(keyAlgorithm, "QXToken_GetKeyAlgID");
    bind(keyLength, "QXToken_GetKeyLen");
    bind(keyIndex, "QXToken_GetAsymKeyIndex");
    bind(keyBuffer, "QXToken_GetKeyBuffer");
    bind(signHash, "QXToken_SignHash");
    bind(decrypt, "QXToken_Decrypt");
    bind(readCert, "QXToken_ReadCert");
    bind(writeCert, "QXToken_WriteCert");
    bind(deleteUserCert, "QXToken_DeleteUserCert");
    bind(meetsSecurity, "QXToken_IsMeetSecurityStatus");
    bind(readShmPin, "QXToken_ReadShmPin");
    bind(certIndex, "QXToken_GetCertIndexFormContainer");
    bind(importKey, "QXToken_ImportKey");
    bind(regUserCert, "QXToken_RegUserCert");
    bind(unregUserCert, "QXToken_UnRegUserCert");
}

}  // namespace qx::p11
