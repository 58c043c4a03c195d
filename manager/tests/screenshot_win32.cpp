#include "screenshot.h"

#include <filesystem>
#include <vector>

#include "tests/support/png_file.h"

namespace qx::test {

bool capture_window_png(HWND window, const std::string& path) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(memory, dib);
        ok = BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
        if (ok) {
            std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
            const auto* p = static_cast<const uint8_t*>(bits);
            for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; ++i) {
                rgb[3 * i] = p[4 * i + 2];
                rgb[3 * i + 1] = p[4 * i + 1];
                rgb[3 * i + 2] = p[4 * i];
            }
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
            ok = write_png(path, static_cast<uint32_t>(w), static_cast<uint32_t>(h), rgb);
        }
    }
    if (dib) DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace qx::test
