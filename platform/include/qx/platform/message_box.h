// A modal message box with an OK button.
#pragma once

#include <string_view>

namespace qx::platform {

enum class MessageIcon { information, error };

// Windows: MessageBoxW owned by the foreground window, returning the button
// (1 for OK; 0 when the box cannot be shown).  POSIX has no desktop service:
// the caption and text go to the debugger output and 1 is returned.
int show_message_box(std::u16string_view text, std::u16string_view caption, MessageIcon icon);

}  // namespace qx::platform
