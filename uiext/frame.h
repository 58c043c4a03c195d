// The frame of the UI extension: the libraries it binds (the token kernel
// and the dialog library, both from its own directory), the settings of its
// Config.ini, the language file shared by every process that loads it, text
// lookup and conversion, and the notification of the key manager tool.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "QXUI.h"
#include "language.h"

namespace qx::uiext {

using language::Text;

// The UI extension's own statuses besides the kernel's.
constexpr uint32_t kUiFailure = 0xFFFFFFFFu;  // rule violation, default PIN, allocation, label
constexpr uint32_t kPinsDiffer = 1;
constexpr uint32_t kNotLoaded = ERR_LIBRARY_LOAD;  // inert library, or a kernel export it lacks
constexpr uint32_t kOutOfMemoryHr = 0x8007000Eu;

// The kernel exports the UI extension calls; a name the kernel lacks stays null.
struct KernelApi {
    void* module = nullptr;
    PFN_QXToken_ExternalAuth externalAuth = nullptr;
    PFN_QXToken_VerifyPin verifyPin = nullptr;
    PFN_QXToken_ChangePin changePin = nullptr;
    PFN_QXToken_UnlockPin unlockPin = nullptr;
    PFN_QXToken_UnlockPinEx unlockPinEx = nullptr;
    PFN_QXToken_GetPinRetryNum getPinRetryNum = nullptr;
    PFN_QXToken_GetPinStatus getPinStatus = nullptr;
    PFN_QXToken_SetPinStatus setPinStatus = nullptr;
    PFN_QXToken_WriteShmPin writeShmPin = nullptr;
    PFN_QXToken_GetDevicePressStatus getDevicePressStatus = nullptr;
    PFN_QXToken_GetTranSignature getTranSignature = nullptr;
    PFN_QXToken_CancelTransaction cancelTransaction = nullptr;
    // Device and token dialogs, certificate import and container override.
    PFN_QXToken_GetProviderName getProviderName = nullptr;
    PFN_QXToken_OpenDeviceByHandle openDeviceByHandle = nullptr;
    PFN_QXToken_CloseDevice closeDevice = nullptr;
    PFN_QXToken_GetDeviceSlotNO getDeviceSlotNO = nullptr;
    PFN_QXToken_GetTokenInfo getTokenInfo = nullptr;
    PFN_QXToken_GetTokenLabel getTokenLabel = nullptr;
    PFN_QXToken_SetTokenLabel setTokenLabel = nullptr;
    PFN_QXToken_GetDeviceSerialNumber getDeviceSerialNumber = nullptr;
    PFN_QXToken_InitToken initToken = nullptr;
    PFN_QXToken_GenAsymKey genAsymKey = nullptr;
    PFN_QXToken_EnumContainer enumContainer = nullptr;
    PFN_QXToken_OpenContainer openContainer = nullptr;
    PFN_QXToken_CloseContainer closeContainer = nullptr;
    PFN_QXToken_CreateContainer createContainer = nullptr;
    PFN_QXToken_DeleteContainerByHandle deleteContainerByHandle = nullptr;
    PFN_QXToken_GetContainerName getContainerName = nullptr;
    PFN_QXToken_GetContainerStatus getContainerStatus = nullptr;
    PFN_QXToken_SetContainerStatus setContainerStatus = nullptr;
    PFN_QXToken_GetCertIndexFormContainer getCertIndexFormContainer = nullptr;
    PFN_QXToken_ImportKey importKey = nullptr;
    PFN_QXToken_CloseKey closeKey = nullptr;
    PFN_QXToken_GetKeyValue getAsymKeySpec = nullptr;
    PFN_QXToken_GetKeyValue getAsymKeyIndex = nullptr;
    PFN_QXToken_GetAsymKeyFormContainer getAsymKeyFormContainer = nullptr;
    PFN_QXToken_UpdateAsymKeyToContainer updateAsymKeyToContainer = nullptr;
    PFN_QXToken_ReadCert readCert = nullptr;
    PFN_QXToken_WriteCert writeCert = nullptr;
    PFN_QXToken_RegUserCert regUserCert = nullptr;
    PFN_QXToken_UnRegUserCert unRegUserCert = nullptr;
    PFN_QXToken_IsSignSelf isSignSelf = nullptr;
    PFN_QXToken_ReadMemCert readMemCert = nullptr;
    PFN_QXToken_DeleteMemCert deleteMemCert = nullptr;
};

// The fifteen dialogs, bound in this order; every one is required.
struct DialogApi {
    void* module = nullptr;
    PFN_QXUI_VerifyPin verifyPin = nullptr;
    PFN_QXUI_ChangePin changePin = nullptr;
    PFN_QXUI_SelectDevice selectDevice = nullptr;
    PFN_QXUI_GenKeyPairProgress genKeyPairProgress = nullptr;
    PFN_QXUI_WaitKeyPressEvent waitKeyPressEvent = nullptr;
    PFN_QXUI_WaitTransDataEvent waitTransDataEvent = nullptr;
    PFN_QXUI_MessageBox messageBox = nullptr;
    PFN_QXUI_ChangeDevName changeDevName = nullptr;
    PFN_QXUI_ShowDevInfo showDevInfo = nullptr;
    PFN_QXUI_ShowKeyBoard showKeyBoard = nullptr;
    PFN_QXUI_SetPin setPin = nullptr;
    PFN_QXUI_InitToken initToken = nullptr;
    PFN_QXUI_UnlockPin unlockPin = nullptr;
    PFN_QXUI_VerifyImportCertPin verifyImportCertPin = nullptr;
    PFN_QXUI_SelectContainer selectContainer = nullptr;
};

// [QXTokenInfo] of the UI extension's Config.ini.  Wait times are seconds as
// configured; see wait_seconds() for what the dialogs and the token get.
struct Settings {
    int64_t tranSignWaitTime = 60;
    int64_t pinOperateWaitTime = 15;
    int64_t cachePin = 0;
    Text defaultPin = u"314159";
};

// The seconds a wait is given: the low 16 bits of the setting (what the
// token's own time-out field holds).
uint32_t wait_seconds(int64_t configured);
// How long the button poll may run for a wait of `seconds`: the wait plus
// five seconds of grace, in milliseconds.
uint64_t poll_limit_ms(uint32_t seconds);

// Reads the four settings; the reader's status when the file cannot be loaded.
uint32_t LoadSettings(const Text& configFile, Settings* out);

// UTF-16 <-> the system's 8-bit text.  0, or the conversion's HRESULT;
// kOutOfMemoryHr for a missing buffer.
uint32_t ToSystemText(const char16_t* in, std::string* out);
uint32_t FromSystemText(const char* in, std::size_t length, Text* out);

class Frame {
public:
    // Runs the initialisation sequence for the library in `directory` (with
    // its separator): dialog library, kernel, language file, settings.
    // 0, or the first failure (everything bound so far is released then).
    uint32_t initialise(const Text& directory);
    // Releases the kernel and the dialog library once each and clears every
    // pointer; a second call does nothing.
    void release();
    bool ready() const { return ready_.load(); }
    // For callers that fill the tables themselves (the tests' fake kernel).
    void markReady(bool ready) { ready_.store(ready); }

    // The shared language path (forced to end within its 260 units).
    Text languagePath() const;
    // Stores a path in the shared buffer.  ERR_INVALID_PARAM for an empty
    // path or one of 260 units or more; a file the reader cannot load gives
    // its status.  The old path stays on any failure.
    uint32_t setLanguagePath(const Text& path);
    // [TEXT] `key` of the current language file (at most 259 units).
    Text LoadText(const char* key) const;

    // The registered tool message name ("<CSPName>_QX_MANAGE_TOOL").
    const std::string& toolMessageName() const { return toolMessage_; }
    uint32_t toolMessageId() const { return toolMessageId_; }
    // Tells the key manager tool that certificates or containers changed.
    bool notifyManagerTool() const;

    KernelApi kernel;
    DialogApi ui;
    Settings settings;
    Text directory;
    Text configFile;
    // Names the shared language area of this installation.
    std::string sharedName;

private:
    std::atomic<bool> ready_{false};
    std::string toolMessage_;
    uint32_t toolMessageId_ = 0;
};

// The frame of this process.
Frame& frame();

// Writes "[ QXUIExtend ] <text>" to the debugger output.
void trace(const std::string& text);

}  // namespace qx::uiext
