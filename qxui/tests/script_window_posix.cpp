#include "QXUI.h"
#include "form.h"
#include "script_window.h"

namespace qx::qxui {
namespace {
intptr_t send_to_dialog(QXUI_Window*, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return on_message(message, wParam, lParam);
}
QXUI_Window g_window{&send_to_dialog};
}  // namespace

void* script_window() { return &g_window; }
}  // namespace qx::qxui
