// Telling the desktop's windows that a device came or went, as the system
// does for a real USB device.  Used by the virtual-token tool so that a
// resident manager sees its tokens plugged and unplugged.
#pragma once

#include <string>

namespace qx::platform {

// Windows: sends WM_DEVICECHANGE to every top-level window (arrival or
// removal with a USB device-interface record named
// "\\?\QXVTOKEN#<deviceName>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
// then "device nodes changed").  Elsewhere: nothing.
void broadcast_device_change(bool arrival, const std::string& deviceName);

}  // namespace qx::platform
