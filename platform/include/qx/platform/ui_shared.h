// Services of the UI extension: a text shared by every process that loads
// the module, and messages sent to a dialog window of the dialog library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::platform {

// Units of the shared text, terminator included.
constexpr std::size_t kSharedTextUnits = 260;

// The shared text of the module.  Windows: a data section of the module
// shared by all its processes (`name` is unused).  POSIX: named shared
// memory `name`, zero-filled when first created.  The caller serialises
// readers and writers (a named mutex); these only copy.  False when the
// area cannot be reached (the output is then all zeros).
bool shared_text_read(const std::string& name, char16_t out[kSharedTextUnits]);
bool shared_text_write(const std::string& name, const char16_t in[kSharedTextUnits]);

// Sends (never posts) a message to a dialog window and returns its answer;
// the call returns once the dialog has handled it, so lParam may point at a
// local.  Windows: SendMessageW to the HWND.  POSIX: the window is the
// dialog library's window object and its send function is called.  A null
// window is ignored (0).
intptr_t send_dialog_message(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// The window message other processes are told of changes by.  Windows: a
// registered window message, let through the message filter (when the
// system has ChangeWindowMessageFilter); 0 when it cannot be registered.
// POSIX has no window messages: a nonzero stand-in identifier.
uint32_t register_tool_message(const std::string& name);
// Posts the message to every top-level window with both parameters 0.
// POSIX: a line in the debugger output.  False when it cannot be posted.
bool broadcast_tool_message(uint32_t message, const std::string& name);

}  // namespace qx::platform
