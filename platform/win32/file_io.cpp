#include "qx/platform/file_io.h"

#include <windows.h>

#include <algorithm>

#include "qx/platform/system.h"
#include "handle_io.h"

namespace qx::platform {

std::optional<std::vector<uint8_t>> read_file(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    return win32::read_and_close(h);
}

bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& content) {
    const std::string tmp = path + ".tmp." + std::to_string(process_id()) + "." + std::to_string(thread_id());
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = win32::write_flush_and_close(h, content);
    if (ok) ok = MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileA(tmp.c_str());
    return ok;
}

bool file_stamp(const std::string& path, int64_t* mtime, int64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return false;
    if (mtime)
        *mtime = static_cast<int64_t>((static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) |
                                      d.ftLastWriteTime.dwLowDateTime);
    if (size) *size = static_cast<int64_t>((static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
    return true;
}

bool file_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool remove_file(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool make_directories(const std::string& path) {
    if (path.empty()) return false;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find_first_of("\\/", pos + 1);
        std::string cur = path.substr(0, pos);
        if (cur.empty() || (cur.size() == 2 && cur[1] == ':')) continue;
        if (!CreateDirectoryA(cur.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> out;
    WIN32_FIND_DATAA fd{};
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") out.push_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(out.begin(), out.end());
    return out;
}

char path_separator() { return '\\'; }

struct FileLock::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

std::unique_ptr<FileLock> FileLock::acquire(const std::string& lock_path) {
    HANDLE h = CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED ov{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov)) {
        CloseHandle(h);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->handle = h;
    return std::unique_ptr<FileLock>(new FileLock(std::move(impl)));
}

FileLock::FileLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FileLock::~FileLock() {
    if (impl_ && impl_->handle != INVALID_HANDLE_VALUE) {
        OVERLAPPED ov{};
        UnlockFileEx(impl_->handle, 0, MAXDWORD, MAXDWORD, &ov);
        CloseHandle(impl_->handle);
    }
}

}  // namespace qx::platform
