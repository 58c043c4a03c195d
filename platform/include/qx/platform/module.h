// Shared libraries: where a module lives, loading by path, binding by name.
#pragma once

#include <string>
#include <string_view>

namespace qx::platform {

using ModuleHandle = void*;

// The file name a deliverable library is loaded by: "<base>.dll" on Windows,
// "<base>.so" elsewhere (no "lib" prefix on either).
std::string module_file_name(std::string_view base);

// Full path of the module (library or executable) that contains `address`;
// empty when it cannot be found.
std::string module_path_of(const void* address);

// Full path of the running executable; empty when unknown.
std::string executable_path();

// Everything up to and including the last path separator; empty when the path has none.
std::string directory_of(std::string_view path);

// Loads a library by path (or bare name); null on failure.
ModuleHandle load_module(const std::string& path);

// The address of an exported symbol; null when the module lacks it.
void* bind_symbol(ModuleHandle module, const char* name);

// Releases a library loaded with load_module; null is ignored.
void free_module(ModuleHandle module);

// Text describing the last module-loading failure of this thread (for traces).
std::string last_module_error();

// Binds `name` and converts it to the function pointer type F.
template <typename F>
F bind_function(ModuleHandle module, const char* name) {
    return reinterpret_cast<F>(bind_symbol(module, name));
}

// A loaded library that is released when the object goes away.
class Module {
public:
    Module() = default;
    explicit Module(const std::string& path) : handle_(load_module(path)) {}
    ~Module() { free_module(handle_); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    Module(Module&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Module& operator=(Module&& other) noexcept {
        if (this != &other) {
            free_module(handle_);
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    explicit operator bool() const { return handle_ != nullptr; }
    ModuleHandle get() const { return handle_; }
    template <typename F>
    F function(const char* name) const {
        return handle_ ? bind_function<F>(handle_, name) : nullptr;
    }
    ModuleHandle release() {
        ModuleHandle h = handle_;
        handle_ = nullptr;
        return h;
    }

private:
    ModuleHandle handle_ = nullptr;
};

}  // namespace qx::platform
