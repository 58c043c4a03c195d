// Reading and writing whole files through an open handle, shared by the
// 8-bit and the UTF-16 path services.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace qx::platform::win32 {

// Everything left to read; closes the handle.
inline std::optional<std::vector<uint8_t>> read_and_close(HANDLE h) {
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            CloseHandle(h);
            return std::nullopt;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    CloseHandle(h);
    return out;
}

// Writes all of `content`, flushes and closes the handle; true when all of it is on disk.
inline bool write_flush_and_close(HANDLE h, const std::vector<uint8_t>& content) {
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
        ok = WriteFile(h, content.data() + done, want, &n, nullptr) && n > 0;
        done += n;
    }
    ok = ok && FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}

}  // namespace qx::platform::win32
