// The skin engine on Windows: a thread-local window hook that attaches a skin
// object to every matching window created after it, the objects' painting,
// and their removal at exit.
#pragma once

#include <windows.h>

#include <string>

namespace qx::skin {

// LoadSkin: checks the display depth, reads Config.ini's
// [SkinDefaultSetting] SkinRelatePath and installs the engine.  Logs each
// step; never fails the tool.
void LoadSkin(const std::u16string& programDirectory, const std::u16string& configPath);

// InstallSkin: remembers the theme and hooks the current thread.  The hook
// handle, or null when the hook could not be installed.
HHOOK InstallSkin(const std::u16string& themePath);

// Detaches every skin object from its window (a dialog frame gets its caption
// style back), deletes them and unhooks.
void RemoveSkin();

// For tests and traces: how many skin objects of `kind` are attached, and
// whether `window` carries a skin object at all.
int SkinObjectCount(int kind);
bool IsSkinned(HWND window);

}  // namespace qx::skin
