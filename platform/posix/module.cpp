#include "qx/platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace qx::platform {
namespace {
thread_local std::string t_last_error;
}

std::string module_file_name(std::string_view base) { return std::string(base) + ".so"; }

std::string module_path_of(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') return {};
    std::string path = info.dli_fname;
    if (path.find('/') == std::string::npos) {
        // The main executable is reported by its bare name.
        return executable_path();
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

std::string executable_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

std::string directory_of(std::string_view path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos + 1));
}

ModuleHandle load_module(const std::string& path) {
    dlerror();
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        t_last_error = e ? e : "dlopen failed";
    }
    return h;
}

void* bind_symbol(ModuleHandle module, const char* name) {
    if (!module || !name) return nullptr;
    return dlsym(module, name);
}

void free_module(ModuleHandle module) {
    if (module) dlclose(module);
}

std::string last_module_error() { return t_last_error; }

}  // namespace qx::platform
