// No desktop message box on POSIX: the text goes to the debugger output.
#include "qx/platform/message_box.h"

#include <string>

#include "qx/platform/system.h"
#include "qx/platform/text.h"

namespace qx::platform {

int show_message_box(std::u16string_view text, std::u16string_view caption, MessageIcon icon) {
    std::string t, c;
    if (!utf16_to_utf8(text, &t)) t = "(text not valid UTF-16)";
    if (!utf16_to_utf8(caption, &c)) c = "(caption not valid UTF-16)";
    const std::string line = std::string(icon == MessageIcon::error ? "[MessageBox error] " : "[MessageBox] ") + c +
                             ": " + t + "\n";
    debug_output(line.c_str());
    return 1;
}

}  // namespace qx::platform
