// Process attach and detach of the UI extension (called by the system's
// load notification: a library constructor on POSIX, DllMain on Windows).
#pragma once

namespace qx::uiext {

// Runs the initialisation sequence; false when the library must stay inert
// (POSIX) or refuse to load (Windows).
bool attach();
void detach();

}  // namespace qx::uiext
