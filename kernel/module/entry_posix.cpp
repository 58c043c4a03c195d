// Load-time entry of the kernel on systems with ELF constructors: the
// counterpart of the process-attach and process-detach notifications.  The
// library always loads; a failed initialisation shows in later calls.
#include "QXTokenKernel.h"
#include "core/kernel_state.h"
#include "core/lifecycle.h"
#include "core/shared_area.h"
#include "qx/platform/load_counter.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"

namespace {

// Detach work runs while every process-wide object of the kernel still
// exists, as it does on Windows: this object is made after them, so it is
// destroyed before them, both when the library is unloaded and at exit.
struct Detach {
    ~Detach() {
        qx::platform::debug_output("TOKEN: DLL_PROCESS_DETACH");
        FreeQXToken();
    }
};

__attribute__((constructor)) void kernel_attach() {
    qx::platform::debug_output("TOKEN: DLL_PROCESS_ATTACH");
    qx::kernel::state().set_directory(
        qx::platform::directory_of(qx::platform::module_path_of(reinterpret_cast<const void*>(&kernel_attach))));
    InitQXToken();
    // What the detach work touches exists now even when initialisation stopped early.
    qx::kernel::kernel_area_open();
    qx::platform::load_counter_value(qx::kernel::load_counter_name());
    static Detach detach;
}

}  // namespace
