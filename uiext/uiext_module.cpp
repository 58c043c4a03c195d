// QXUIExtend: the exports of the frame and the PIN operations.  Until the
// initialisation has succeeded every export answers 0x6 (QXUIEx_InitCtx 0).
#include <string>

#include "QXUI.h"
#include "attach.h"
#include "frame.h"
#include "pin_dialogs.h"
#include "qx/platform/export.h"
#include "qx/platform/module.h"

namespace qx::uiext {

namespace {
Text module_directory() {
    const std::string path = platform::module_path_of(reinterpret_cast<const void*>(&attach));
    return language::to_text(platform::directory_of(path));
}
}  // namespace

bool attach() {
    trace("DllMain() -> DLL_PROCESS_ATTACH\n");
    try {
        const uint32_t rc = frame().initialise(module_directory());
        if (rc != 0) trace("initialisation failed: " + std::to_string(rc) + "\n");
        return rc == 0;
    } catch (...) {
        return false;
    }
}

void detach() {
    trace("DllMain() -> DLL_PROCESS_DETACH\n");
    frame().release();
}

}  // namespace qx::uiext

using namespace qx::uiext;

QX_EXPORT uint32_t QXUIEx_InitCtx() {
    try {
        return frame().initialise(module_directory()) == 0 ? 1u : 0u;
    } catch (...) {
        return 0;
    }
}

QX_EXPORT void QXUIEx_FreeCtx() { frame().release(); }

QX_EXPORT uint32_t QXUIEx_SetSysLangPath(const QXUI_CHAR* path) {
    if (!frame().ready()) return kNotLoaded;
    if (!path) return ERR_INVALID_PARAM;
    try {
        Text text;
        for (std::size_t i = 0; path[i] != 0; ++i) {
            if (i + 1 >= QXUI_TEXT_UNITS) return ERR_INVALID_PARAM;  // never cut a path
            text.push_back(static_cast<char16_t>(path[i]));
        }
        return frame().setLanguagePath(text);
    } catch (...) {
        return ERR_FAILED;
    }
}

QX_EXPORT uint32_t QXUIEx_MessageBox(const QXUI_CHAR* text, const QXUI_CHAR* caption, uint32_t type, uint32_t one,
                                     const QXUI_CHAR* languagePath) {
    if (!frame().ready()) return kNotLoaded;
    return frame().ui.messageBox(text, caption, type, one, languagePath);
}

QX_EXPORT uint32_t QXUIEx_VerifyPin(DeviceHandle device, uint32_t kind) { return VerifyPin(device, kind); }
QX_EXPORT uint32_t QXUIEx_ChangePin(DeviceHandle device, uint32_t kind) { return ChangePin(device, kind); }
QX_EXPORT uint32_t QXUIEx_SetPin(DeviceHandle device, uint32_t kind) { return SetPin(device, kind); }
QX_EXPORT uint32_t QXUIEx_UnlockPin(DeviceHandle device) { return UnlockPin(device); }
QX_EXPORT uint32_t QXUIEx_VerifyPinForCSPKCS(DeviceHandle device, uint32_t kind, const char* pin, uint32_t length) {
    return VerifyPinForCSPKCS(device, kind, pin, length);
}
QX_EXPORT uint32_t QXUIEx_ChangePinForCSPKCS(DeviceHandle device, uint32_t kind, const char* oldPin,
                                             uint32_t oldLength, const char* newPin, uint32_t newLength) {
    return ChangePinForCSPKCS(device, kind, oldPin, oldLength, newPin, newLength);
}
