#include "frame.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "config/CU8Ini.h"
#include "qx/platform/module.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/object_name.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "qx/platform/ui_shared.h"

namespace qx::uiext {
namespace {

constexpr char kInfoSection[] = "QXTokenInfo";

std::string system_path(const Text& path) { return language::to_utf8(path); }

template <typename F>
void bind(void* module, const char* name, F* slot) {
    *slot = platform::bind_function<F>(module, name);
}

// Binds the fifteen dialogs in order; false at the first one missing.
bool bind_dialogs(DialogApi& ui) {
    struct Entry {
        const char* name;
        void** slot;
    };
    const Entry entries[] = {
        {"QXUI_VerifyPin", reinterpret_cast<void**>(&ui.verifyPin)},
        {"QXUI_ChangePin", reinterpret_cast<void**>(&ui.changePin)},
        {"QXUI_SelectDevice", reinterpret_cast<void**>(&ui.selectDevice)},
        {"QXUI_GenKeyPairProgress", reinterpret_cast<void**>(&ui.genKeyPairProgress)},
        {"QXUI_WaitKeyPressEvent", reinterpret_cast<void**>(&ui.waitKeyPressEvent)},
        {"QXUI_WaitTransDataEvent", reinterpret_cast<void**>(&ui.waitTransDataEvent)},
        {"QXUI_MessageBox", reinterpret_cast<void**>(&ui.messageBox)},
        {"QXUI_ChangeDevName", reinterpret_cast<void**>(&ui.changeDevName)},
        {"QXUI_ShowDevInfo", reinterpret_cast<void**>(&ui.showDevInfo)},
        {"QXUI_ShowKeyBoard", reinterpret_cast<void**>(&ui.showKeyBoard)},
        {"QXUI_SetPin", reinterpret_cast<void**>(&ui.setPin)},
        {"QXUI_InitToken", reinterpret_cast<void**>(&ui.initToken)},
        {"QXUI_UnlockPin", reinterpret_cast<void**>(&ui.unlockPin)},
        {"QXUI_VerifyImportCertPin", reinterpret_cast<void**>(&ui.verifyImportCertPin)},
        {"QXUI_SelectContainer", reinterpret_cast<void**>(&ui.selectContainer)},
    };
    for (const auto& e : entries) {
        *e.slot = platform::bind_symbol(ui.module, e.name);
        if (!*e.slot) {
            trace(std::string("dialog library lacks ") + e.name + "\n");
            return false;
        }
    }
    return true;
}

void bind_kernel(KernelApi& k) {
    bind(k.module, "QXToken_ExternalAuth", &k.externalAuth);
    bind(k.module, "QXToken_VerifyPin", &k.verifyPin);
    bind(k.module, "QXToken_ChangePin", &k.changePin);
    bind(k.module, "QXToken_UnlockPin", &k.unlockPin);
    bind(k.module, "QXToken_UnlockPinEx", &k.unlockPinEx);
    bind(k.module, "QXToken_GetPinRetryNum", &k.getPinRetryNum);
    bind(k.module, "QXToken_GetPinStatus", &k.getPinStatus);
    bind(k.module, "QXToken_SetPinStatus", &k.setPinStatus);
    bind(k.module, "QXToken_WriteShmPin", &k.writeShmPin);
    bind(k.module, "QXToken_GetDevicePressStatus", &k.getDevicePressStatus);
    bind(k.module, "QXToken_GetTranSignature", &k.getTranSignature);
    bind(k.module, "QXToken_CancelTransaction", &k.cancelTransaction);
    bind(k.module, "QXToken_GetProviderName", &k.getProviderName);
    bind(k.module, "QXToken_OpenDeviceByHandle", &k.openDeviceByHandle);
    bind(k.module, "QXToken_CloseDevice", &k.closeDevice);
    bind(k.module, "QXToken_GetDeviceSlotNO", &k.getDeviceSlotNO);
    bind(k.module, "QXToken_GetTokenInfo", &k.getTokenInfo);
    bind(k.module, "QXToken_GetTokenLabel", &k.getTokenLabel);
    bind(k.module, "QXToken_SetTokenLabel", &k.setTokenLabel);
    bind(k.module, "QXToken_GetDeviceSerialNumber", &k.getDeviceSerialNumber);
    bind(k.module, "QXToken_InitToken", &k.initToken);
    bind(k.module, "QXToken_GenAsymKey", &k.genAsymKey);
    bind(k.module, "QXToken_EnumContainer", &k.enumContainer);
    bind(k.module, "QXToken_OpenContainer", &k.openContainer);
    bind(k.module, "QXToken_CloseContainer", &k.closeContainer);
    bind(k.module, "QXToken_CreateContainer", &k.createContainer);
    bind(k.module, "QXToken_DeleteContainerByHandle", &k.deleteContainerByHandle);
    bind(k.module, "QXToken_GetContainerName", &k.getContainerName);
    bind(k.module, "QXToken_GetContainerStatus", &k.getContainerStatus);
    bind(k.module, "QXToken_SetContainerStatus", &k.setContainerStatus);
    bind(k.module, "QXToken_GetCertIndexFormContainer", &k.getCertIndexFormContainer);
    bind(k.module, "QXToken_ImportKey", &k.importKey);
    bind(k.module, "QXToken_CloseKey", &k.closeKey);
    bind(k.module, "QXToken_GetAsymKeySpec", &k.getAsymKeySpec);
    bind(k.module, "QXToken_GetAsymKeyIndex", &k.getAsymKeyIndex);
    bind(k.module, "QXToken_GetAsymKeyFormContainer", &k.getAsymKeyFormContainer);
    bind(k.module, "QXToken_UpdateAsymKeyToContainer", &k.updateAsymKeyToContainer);
    bind(k.module, "QXToken_ReadCert", &k.readCert);
    bind(k.module, "QXToken_WriteCert", &k.writeCert);
    bind(k.module, "QXToken_RegUserCert", &k.regUserCert);
    bind(k.module, "QXToken_UnRegUserCert", &k.unRegUserCert);
    bind(k.module, "QXToken_IsSignSelf", &k.isSignSelf);
    bind(k.module, "QXToken_ReadMemCert", &k.readMemCert);
    bind(k.module, "QXToken_DeleteMemCert", &k.deleteMemCert);
}

std::unique_ptr<platform::NamedMutex> path_mutex(const std::string& sharedName) {
    return platform::NamedMutex::open(platform::legal_object_name(sharedName + "_LOCK"));
}

}  // namespace

void trace(const std::string& text) { platform::debug_output(("[ QXUIExtend ] " + text).c_str()); }

uint32_t wait_seconds(int64_t configured) { return static_cast<uint32_t>(static_cast<uint64_t>(configured) & 0xFFFFu); }

uint64_t poll_limit_ms(uint32_t seconds) { return static_cast<uint64_t>(seconds) * 1000u + 5000u; }

uint32_t LoadSettings(const Text& configFile, Settings* out) {
    kernel::CU8Ini ini;
    const uint32_t rc = language::load_ini(ini, configFile);
    if (rc != 0) return rc;
    Settings s;
    s.tranSignWaitTime = ini.GetInteger(kInfoSection, "TranSignWaitTime", 60);
    s.pinOperateWaitTime = ini.GetInteger(kInfoSection, "PINOperateWaitTime", 15);
    s.cachePin = ini.GetInteger(kInfoSection, "CachePIN", 0);
    s.defaultPin = language::ini_text(ini, kInfoSection, "DefaultPIN", language::kLabelLimit + 1, u"314159");
    *out = std::move(s);
    return 0;
}

uint32_t ToSystemText(const char16_t* in, std::string* out) {
    if (!in || !out) return kOutOfMemoryHr;
    return platform::to_system_text(std::u16string_view(in), out);
}

uint32_t FromSystemText(const char* in, std::size_t length, Text* out) {
    if (!in || !out) return kOutOfMemoryHr;
    return platform::from_system_text(std::string_view(in, length), out);
}

uint32_t Frame::initialise(const Text& dir) {
    release();
    directory = dir;
    configFile = language::join_path(dir, language::kConfigFileName);
    sharedName = "QXUIExtend LANGUAGE PATH " + system_path(dir);

    ui.module = platform::load_module(system_path(dir) + platform::module_file_name("QXUI"));
    if (!ui.module) {
        trace("QXUI cannot be loaded: " + platform::last_module_error() + "\n");
        return kNotLoaded;
    }
    if (!bind_dialogs(ui)) {
        release();
        return kNotLoaded;
    }
    kernel.module = platform::load_module(system_path(dir) + platform::module_file_name("QXTokenKernel"));
    if (!kernel.module) {
        trace("QXTokenKernel cannot be loaded: " + platform::last_module_error() + "\n");
        release();
        return kNotLoaded;
    }
    bind_kernel(kernel);

    kernel::CU8Ini config;
    if (language::load_ini(config, configFile) != 0) {
        platform::debug_output("[ManagerTools] ini.LoadFile Failed!\n");
        release();
        return language::kLanguageFailure;
    }
    language::LanguagePaths paths;
    if (language::GetLanguageFilePath(&dir, nullptr, &paths) != 0) {
        trace("no language file with the configured language\n");
        release();
        return language::kLanguageFailure;
    }
    if (setLanguagePath(paths.languageFile) != 0) {
        release();
        return language::kLanguageFailure;
    }
    const uint32_t rc = LoadSettings(configFile, &settings);
    if (rc != 0) {
        release();
        return rc;
    }
    const std::string provider =
        config.GetString(kInfoSection, "CSPName", language::kLabelLimit, language::kDefaultProviderName);
    toolMessage_ = provider + "_QX_MANAGE_TOOL";
    toolMessageId_ = platform::register_tool_message(toolMessage_);
    ready_.store(true);
    return 0;
}

void Frame::release() {
    ready_.store(false);
    void* k = kernel.module;
    void* u = ui.module;
    kernel = KernelApi{};
    ui = DialogApi{};
    platform::free_module(k);
    platform::free_module(u);
}

Text Frame::languagePath() const {
    char16_t units[platform::kSharedTextUnits] = {};
    {
        auto mutex = path_mutex(sharedName);
        platform::NamedMutexLock lock(mutex.get());
        platform::shared_text_read(sharedName, units);
    }
    units[platform::kSharedTextUnits - 1] = 0;  // another process may have left it unterminated
    return Text(units);
}

uint32_t Frame::setLanguagePath(const Text& path) {
    if (path.empty() || path.size() >= platform::kSharedTextUnits || path.find(u'\0') != Text::npos)
        return ERR_INVALID_PARAM;
    kernel::CU8Ini probe;
    const uint32_t rc = language::load_ini(probe, path);
    if (rc != 0) return rc;
    char16_t units[platform::kSharedTextUnits] = {};
    std::copy(path.begin(), path.end(), units);
    auto mutex = path_mutex(sharedName);
    platform::NamedMutexLock lock(mutex.get());
    if (!lock.owns()) return kNotLoaded;
    return platform::shared_text_write(sharedName, units) ? 0u : kNotLoaded;
}

Text Frame::LoadText(const char* key) const { return language::LoadText(key, languagePath(), language::kLabelLimit); }

bool Frame::notifyManagerTool() const { return platform::broadcast_tool_message(toolMessageId_, toolMessage_); }

Frame& frame() {
    static Frame f;
    return f;
}

}  // namespace qx::uiext
