// Load-time entry of the kernel on systems with ELF constructors: the
// counterpart of the process-attach and process-detach notifications.  The
// library always loads; a failed initialisation shows in later calls.
#include "QXTokenKernel.h"
#include "core/kernel_state.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"

namespace {

__attribute__((constructor)) void kernel_attach() {
    qx::platform::debug_output("TOKEN: DLL_PROCESS_ATTACH");
    qx::kernel::state().set_directory(
        qx::platform::directory_of(qx::platform::module_path_of(reinterpret_cast<const void*>(&kernel_attach))));
    InitQXToken();
}

__attribute__((destructor)) void kernel_detach() {
    qx::platform::debug_output("TOKEN: DLL_PROCESS_DETACH");
    FreeQXToken();
}

}  // namespace
