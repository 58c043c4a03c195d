// The window the scripted dialogs hand to call-backs: messages sent to it
// reach on_message (form.h).
#pragma once

namespace qx::qxui {
void* script_window();
}
