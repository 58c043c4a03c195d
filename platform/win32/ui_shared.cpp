// Windows: the shared text is a data section of the module shared by every
// process that loads it; dialog windows are HWNDs.
#include <windows.h>

#include <cstring>

#include "qx/platform/ui_shared.h"

namespace qx::platform {
namespace {

__attribute__((section(".qxlang"), shared)) char16_t g_shared_text[kSharedTextUnits] = {};

}  // namespace

bool shared_text_read(const std::string&, char16_t out[kSharedTextUnits]) {
    std::memcpy(out, g_shared_text, sizeof g_shared_text);
    return true;
}

bool shared_text_write(const std::string&, const char16_t in[kSharedTextUnits]) {
    std::memcpy(g_shared_text, in, sizeof g_shared_text);
    return true;
}

intptr_t send_dialog_message(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!window) return 0;
    return static_cast<intptr_t>(SendMessageW(static_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                                              static_cast<LPARAM>(lParam)));
}

uint32_t register_tool_message(const std::string& name) {
    const UINT id = RegisterWindowMessageA(name.c_str());
    if (id == 0) return 0;
    using Filter = BOOL(WINAPI*)(UINT, DWORD);
    HMODULE user = GetModuleHandleW(L"user32.dll");
    auto filter = user ? reinterpret_cast<Filter>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilter")))
                       : nullptr;
    if (filter) filter(id, 1 /* MSGFLT_ADD */);
    return id;
}

bool broadcast_tool_message(uint32_t message, const std::string&) {
    return message != 0 && PostMessageW(HWND_BROADCAST, message, 0, 0) != 0;
}

}  // namespace qx::platform
