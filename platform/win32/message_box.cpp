#include "qx/platform/message_box.h"

#include <windows.h>

#include <string>

namespace qx::platform {

int show_message_box(std::u16string_view text, std::u16string_view caption, MessageIcon icon) {
    const std::wstring t(reinterpret_cast<const wchar_t*>(text.data()), text.size());
    const std::wstring c(reinterpret_cast<const wchar_t*>(caption.data()), caption.size());
    const UINT type = MB_OK | (icon == MessageIcon::error ? MB_ICONERROR : MB_ICONINFORMATION);
    return MessageBoxW(GetForegroundWindow(), t.c_str(), c.c_str(), type);
}

}  // namespace qx::platform
