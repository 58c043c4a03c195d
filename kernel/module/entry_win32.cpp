// Process-attach and process-detach entry of the kernel DLL.  Thread
// notifications are ignored; the DLL always reports success to the loader,
// so a failed initialisation shows in later calls.
#include <windows.h>

#include "QXTokenKernel.h"
#include "core/kernel_state.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        qx::platform::debug_output("TOKEN: DLL_PROCESS_ATTACH");
        qx::kernel::state().set_directory(
            qx::platform::directory_of(qx::platform::module_path_of(reinterpret_cast<const void*>(instance))));
        InitQXToken();
    } else if (reason == DLL_PROCESS_DETACH) {
        qx::platform::debug_output("TOKEN: DLL_PROCESS_DETACH");
        FreeQXToken();
    }
    return TRUE;
}
