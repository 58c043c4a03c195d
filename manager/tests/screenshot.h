// Screenshots of a window as the screen shows it (BitBlt from the screen).
#pragma once

#include <windows.h>

#include <string>

namespace qx::test {

// Copies the window's rectangle from the screen into a PNG file (the folder
// is created); false when nothing could be captured.
bool capture_window_png(HWND window, const std::string& path);

}  // namespace qx::test
