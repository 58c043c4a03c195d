// The driving of QXUI's Windows dialogs shared by the dialog tests: a
// WH_CBT hook finds each dialog as it is activated, a driver thread types
// into its edits (WM_SETTEXT), picks list entries, clicks its buttons
// (BM_CLICK), reads what it shows and photographs it into the build's
// screenshots folder, while the test thread waits in the export.  Extension
// installs the UI extension with these dialogs beside a fresh virtual token.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "QXUI.h"
#include "dialog_text.h"
#include "language.h"
#include "tests/support/png_file.h"
#include "qx/platform/module.h"
#include "support/kernel_fixture.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"

namespace qx::qxui::win32_test {

// Control identifiers of the dialogs (qxui/win32_dialog.h).
constexpr int kRow0 = 1001;
constexpr int kMessage = 1100;
constexpr int kCountdown = 1101;

using Text = std::u16string;
inline const QXUI_CHAR* q(const Text& t) { return reinterpret_cast<const QXUI_CHAR*>(t.c_str()); }
inline Text u16(const std::string& s) { return qx::language::to_text(s); }
inline std::string u8(const Text& t) { return qx::language::to_utf8(t); }

// ---- finding dialogs ----
class Watcher {
public:
    Watcher() {
        self_ = this;
        // Process-wide when the system lets a program hook its other threads
        // (dialogs opened from call-backs); else this thread's dialogs only.
        hook_ = SetWindowsHookExW(WH_CBT, &Watcher::cbt, GetModuleHandleW(nullptr), 0);
        if (!hook_) hook_ = SetWindowsHookExW(WH_CBT, &Watcher::cbt, nullptr, GetCurrentThreadId());
        calls_ = SetWindowsHookExW(WH_CALLWNDPROC, &Watcher::call, nullptr, GetCurrentThreadId());
    }
    ~Watcher() {
        if (calls_) UnhookWindowsHookEx(calls_);
        if (hook_) UnhookWindowsHookEx(hook_);
        self_ = nullptr;
    }
    bool hooked() const { return hook_ != nullptr; }
    // The piece numbers the dialogs of this thread were told of, in order.
    std::vector<uint32_t> pieces() {
        std::lock_guard<std::mutex> lock(m_);
        return pieces_;
    }
    std::atomic<int> secretLeft{-1};
    HWND next(DWORD ms = 15000) {
        std::unique_lock<std::mutex> lock(m_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !found_.empty(); })) return nullptr;
        HWND h = found_.front();
        found_.pop_front();
        return h;
    }

private:
    static LRESULT CALLBACK cbt(int code, WPARAM wParam, LPARAM lParam) {
        Watcher* w = self_;
        if (w && code == HCBT_ACTIVATE) {
            wchar_t name[16] = {};
            GetClassNameW(reinterpret_cast<HWND>(wParam), name, 16);
            if (std::wcscmp(name, L"#32770") == 0) w->seen(reinterpret_cast<HWND>(wParam));
        } else if (w && code == HCBT_DESTROYWND) {
            std::lock_guard<std::mutex> lock(w->m_);
            w->live_.erase(reinterpret_cast<HWND>(wParam));
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    // What a masked edit of this thread's dialogs still holds as it goes.
    static LRESULT CALLBACK call(int code, WPARAM wParam, LPARAM lParam) {
        const auto* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
        Watcher* w = self_;
        if (w && code == HC_ACTION && m->message == WM_DESTROY && (GetWindowLongPtrW(m->hwnd, GWL_STYLE) & ES_PASSWORD)) {
            wchar_t name[16] = {};
            GetClassNameW(m->hwnd, name, 16);
            if (_wcsicmp(name, L"Edit") == 0) w->secretLeft = GetWindowTextLengthW(m->hwnd);
        }
        if (w && code == HC_ACTION && m->message == QXUI_MSG_PIECE_SENT && m->lParam != 0) {
            uint32_t piece = 0;
            std::memcpy(&piece, reinterpret_cast<const void*>(m->lParam), sizeof piece);
            std::lock_guard<std::mutex> lock(w->m_);
            w->pieces_.push_back(piece);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    void seen(HWND h) {
        std::lock_guard<std::mutex> lock(m_);
        if (!live_.insert(h).second) return;
        found_.push_back(h);
        cv_.notify_all();
    }
    static inline Watcher* self_ = nullptr;
    HHOOK hook_ = nullptr, calls_ = nullptr;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<HWND> found_;
    std::set<HWND> live_;
    std::vector<uint32_t> pieces_;
};

// ---- driving one dialog ----
inline std::string screenshot_dir() {
    static const std::string dir = [] {
        const std::string d = QX_SCREENSHOT_DIR;
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

struct Driver {
    HWND dialog = nullptr;
    std::string language;

    std::wstring text(int id) const {
        wchar_t buffer[1024] = {};
        GetDlgItemTextW(dialog, id, buffer, 1024);
        return buffer;
    }
    Text utext(int id) const {
        const std::wstring w = text(id);
        return Text(w.begin(), w.end());
    }
    void type(int id, const Text& t) const {
        SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()));
    }
    void pick(int id, int index) const { SendMessageW(GetDlgItem(dialog, id), LB_SETCURSEL, index, 0); }
    void click(int id) const { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
    bool enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    template <typename P>
    bool wait(P p, int ms = 15000) const {
        for (int waited = 0; waited < ms; waited += 50) {
            if (p()) return true;
            Sleep(50);
        }
        return p();
    }
    // The call-back has finished and the dialog takes input again.
    bool idle() const {
        return wait([&] { return enabled(IDOK) || !IsWindow(dialog); });
    }
    // A PNG of the dialog as it is on the screen.
    bool shot(const std::string& name) const {
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(400);
        RECT r{};
        if (!GetWindowRect(dialog, &r)) return false;
        const int w = r.right - r.left, h = r.bottom - r.top;
        if (w <= 0 || h <= 0) return false;
        HDC screen = GetDC(nullptr);
        HDC mem = CreateCompatibleDC(screen);
        BITMAPINFO bi{};
        bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        bool ok = bmp != nullptr;
        std::vector<uint8_t> rgb;
        if (ok) {
            HGDIOBJ old = SelectObject(mem, bmp);
            ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
            GdiFlush();
            const int stride = (w * 3 + 3) & ~3;
            const auto* p = static_cast<const uint8_t*>(bits);
            rgb.reserve(static_cast<std::size_t>(w) * h * 3);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const uint8_t* px = p + y * stride + x * 3;
                    rgb.push_back(px[2]), rgb.push_back(px[1]), rgb.push_back(px[0]);
                }
            SelectObject(mem, old);
            DeleteObject(bmp);
        }
        DeleteDC(mem);
        ReleaseDC(nullptr, screen);
        return ok && qx::test::write_png(screenshot_dir() + "/" + name + "_" + language + ".png",
                                               static_cast<uint32_t>(w), static_cast<uint32_t>(h), rgb);
    }
};

// Runs `call` on this thread while `script` drives the dialog the watcher
// finds next on a driver thread.  Failures of the script come back as text.
template <typename R>
R drive(Watcher& watcher, const std::string& language, const std::function<void(Driver&, std::string&)>& script,
        const std::function<R()>& call, std::string* problems) {
    std::thread driver([&] {
        Driver d;
        d.language = language;
        d.dialog = watcher.next();
        if (!d.dialog) {
            *problems += "no dialog appeared; ";
            return;
        }
        script(d, *problems);
        // A dialog still open after its script is closed so the test goes on.
        if (d.wait([&] { return !IsWindow(d.dialog); }, 5000)) return;
        *problems += "the dialog stayed open; ";
        d.click(IDCANCEL);
    });
    R r = call();
    driver.join();
    return r;
}

#define CHECK_THAT(cond)                                           \
    do {                                                           \
        if (!(cond)) problems += std::string("failed: ") + #cond + "; "; \
    } while (0)

struct Language {
    const char* code;
    Text path;
};
inline std::vector<Language> languages() {
    std::vector<Language> out;
    for (const char* code : {"enu", "chs", "cht"})
        out.push_back({code, u16(std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_" + code + ".ini")});
    return out;
}
inline Text ui(const Language& l, const char* key) { return qx::qxui::ui_text(q(l.path), key); }
inline Text ui(const Language& l, const char* key, int64_t n) { return qx::qxui::ui_text(q(l.path), key, n); }

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = std::make_unique<qx::platform::Module>(qx::platform::directory_of(qx::test::self_path()) +
                                                        qx::platform::module_file_name("QXUI"));
        ASSERT_TRUE(*module_);
        ASSERT_TRUE(watcher_.hooked());
    }
    template <typename F>
    F fn(const char* name) {
        return module_->function<F>(name);
    }
    std::unique_ptr<qx::platform::Module> module_;
    Watcher watcher_;
    std::string problems;
};

// ---- the UI extension's PIN operations through these dialogs ----
namespace kt = qx::kernel::test;
using DialogOp = uint32_t (*)(DeviceHandle, uint32_t);
using SetPath = uint32_t (*)(const QXUI_CHAR*);

class Extension : public Dialogs {
protected:
    void SetUp() override {
        Dialogs::SetUp();
        kt::clear_tokens();
        name_ = prefix_ + std::to_string(++counter_);
        device_ = kt::create_blank_token(name_);
        dir_ = kt::install_kernel(name_);
        const std::string bin = kt::binary_directory();
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        for (const char* m : {"QXUIExtend", "QXUI"})
            std::filesystem::copy_file(bin + qx::platform::module_file_name(m), dir_ + qx::platform::module_file_name(m),
                                       overwrite);
        std::filesystem::create_directories(dir_ + "Languages");
        for (const Language& l : languages())
            std::filesystem::copy_file(std::string(QX_LANGUAGE_SOURCE_DIR) + "/language_" + l.code + ".ini",
                                       dir_ + "Languages/language_" + l.code + ".ini", overwrite);
        kt::write_bytes(dir_ + "Config.ini",
                        kt::plain_ini("[QXTokenInfo]\r\nCSPName = " + kt::provider_of(name_) +
                                      "\r\nPINOperateWaitTime = 30\r\n" + moreInfo_ + "[DeviceInfo]\r\n" + kt::kChannelWords +
                                      "[PIN]\r\nMaxPinLen = 16\r\nMinPinLen = 1\r\nRequireDigit = 2\r\n"
                                      "RequireAlphabetic = 2\r\nRequireSpecial = 2\r\nRequireComplex = 0\r\n" + moreSections_ +
                                      "[LanguageDefaultSetting]\r\nlanguage = English\r\n"));
        kernel_ = std::make_unique<kt::Kernel>(dir_);
        ui_ = std::make_unique<qx::platform::Module>(dir_ + qx::platform::module_file_name("QXUIExtend"));
        ASSERT_TRUE(*ui_);
        kernel_->openDezo(device_.c_str(), &h_);
        ASSERT_NE(nullptr, h_);
        auto init = kernel_->module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        ASSERT_EQ(ERR_OK, init(h_, "123456", 6, "87654321", 8, reinterpret_cast<const uint8_t*>("T"), 1));
    }
    void TearDown() override {
        if (kernel_ && h_) kernel_->close(h_);
    }
    Text language_file(const Language& l) { return u16(dir_ + "Languages/language_" + l.code + ".ini"); }
    uint32_t tries() {
        uint32_t n = 99;
        kernel_->module.function<PFN_QXToken_GetPinRetryNum>("QXToken_GetPinRetryNum")(h_, QXTOKEN_PIN_USER, &n);
        return n;
    }
    static inline int counter_ = 0;
    // Set by a derived fixture before SetUp: the token names' prefix, more
    // [QXTokenInfo] lines and more sections of Config.ini.
    std::string prefix_ = "uiwin", moreInfo_, moreSections_;
    std::string name_, device_, dir_;
    std::unique_ptr<kt::Kernel> kernel_;
    std::unique_ptr<qx::platform::Module> ui_;
    DeviceHandle h_ = nullptr;
};

}  // namespace qx::qxui::win32_test
