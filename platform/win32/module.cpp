#include "qx/platform/module.h"

#include <windows.h>

namespace qx::platform {
namespace {
thread_local std::string t_last_error;

std::string module_file(HMODULE m) {
    char buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(m, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return {};
    return std::string(buf, n);
}
}  // namespace

std::string module_file_name(std::string_view base) { return std::string(base) + ".dll"; }

std::string module_path_of(const void* address) {
    HMODULE m = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &m))
        return {};
    return module_file(m);
}

std::string executable_path() { return module_file(nullptr); }

std::string directory_of(std::string_view path) {
    auto pos = path.find_last_of("\\/");
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos + 1));
}

ModuleHandle load_module(const std::string& path) {
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) t_last_error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<ModuleHandle>(h);
}

void* bind_symbol(ModuleHandle module, const char* name) {
    if (!module || !name) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void free_module(ModuleHandle module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

std::string last_module_error() { return t_last_error; }

}  // namespace qx::platform
