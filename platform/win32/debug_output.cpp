// Debugger output, apart from the other services so that a module that only
// traces links nothing else.
#include "qx/platform/system.h"

#include <windows.h>

namespace qx::platform {

void debug_output(const char* text) {
    if (!text) return;
    DWORD saved = GetLastError();
    OutputDebugStringA(text);
    SetLastError(saved);
}

}  // namespace qx::platform
