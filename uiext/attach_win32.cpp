// Windows: a failed initialisation makes the library refuse to load.
#include <windows.h>

#include "attach.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) return qx::uiext::attach() ? TRUE : FALSE;
    if (reason == DLL_PROCESS_DETACH) qx::uiext::detach();
    return TRUE;
}
