// A module with one export, loaded by the platform tests.
#include <string>

#include "qx/platform/export.h"
#include "qx/platform/module.h"

QX_EXPORT int qx_testmodule_answer(char* path, int size) {
    // Reports where the module itself lives, as the kernel finds its siblings.
    std::string p = qx::platform::module_path_of(reinterpret_cast<const void*>(&qx_testmodule_answer));
    if (path && size > 0) {
        std::string cut = p.substr(0, static_cast<size_t>(size - 1));
        cut.copy(path, cut.size());
        path[cut.size()] = '\0';
    }
    return 42;
}
