// UTF-16 paths on Windows: the wide (W) functions.
#include "qx/platform/wide_file.h"

#include <windows.h>

#include <algorithm>

#include "qx/platform/system.h"
#include "handle_io.h"

namespace qx::platform {

namespace {

std::wstring wide(std::u16string_view path) {
    return std::wstring(reinterpret_cast<const wchar_t*>(path.data()), path.size());
}

}  // namespace

std::optional<std::vector<uint8_t>> read_wide_file(std::u16string_view path) {
    if (path.empty()) return std::nullopt;
    const std::wstring p = wide(path);
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    return win32::read_and_close(h);
}

bool write_wide_file_atomically(std::u16string_view path, const std::vector<uint8_t>& content) {
    if (path.empty()) return false;
    const std::wstring p = wide(path);
    const std::wstring tmp =
        p + L".tmp." + std::to_wstring(process_id()) + L"." + std::to_wstring(thread_id());
    HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = win32::write_flush_and_close(h, content);
    if (ok) ok = MoveFileExW(tmp.c_str(), p.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileW(tmp.c_str());
    return ok;
}

bool wide_file_exists(std::u16string_view path) {
    return !path.empty() && GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<WideDirectoryEntry> find_wide_files(std::u16string_view directory, std::u16string_view pattern) {
    std::vector<WideDirectoryEntry> out;
    if (directory.empty() || pattern.empty()) return out;
    std::wstring query = wide(directory);
    if (query.back() != L'\\' && query.back() != L'/') query.push_back(L'\\');
    query += wide(pattern);
    WIN32_FIND_DATAW fd{};
    HANDLE h = FindFirstFileW(query.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        WideDirectoryEntry entry;
        entry.name.assign(reinterpret_cast<const char16_t*>(name.data()), name.size());
        entry.directory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out.push_back(std::move(entry));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
}

namespace {

std::u16string module_file(HMODULE m) {
    // Long paths: grow the buffer until the name fits.
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(m, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::u16string(reinterpret_cast<const char16_t*>(buf.data()), n);
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::u16string wide_module_path_of(const void* address) {
    HMODULE m = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &m))
        return {};
    return module_file(m);
}

std::u16string wide_executable_path() { return module_file(nullptr); }

char16_t wide_path_separator() { return u'\\'; }

}  // namespace qx::platform
