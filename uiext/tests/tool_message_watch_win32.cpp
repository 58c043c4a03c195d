// Windows: a hidden top-level window on a thread of its own that counts the
// registered message it receives by broadcast.
#include <windows.h>

#include <atomic>
#include <thread>

#include "tool_message_watch.h"

namespace qx::uiext::test {
namespace {

std::atomic<int> g_seen{0};
UINT g_message = 0;

LRESULT CALLBACK watch_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_message != 0 && message == g_message) {
        ++g_seen;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class WindowWatch final : public ToolMessageWatch {
public:
    explicit WindowWatch(const std::string& name) {
        g_message = RegisterWindowMessageA(name.c_str());
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = watch_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"QxUixToolWatch";
            RegisterClassW(&wc);
            window_ = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      wc.hInstance, nullptr);
            threadId_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
            if (window_) DestroyWindow(window_);
        });
        WaitForSingleObject(ready, 5000);
        CloseHandle(ready);
    }
    ~WindowWatch() override {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        if (thread_.joinable()) thread_.join();
    }
    int seen(int expected) override {
        // Posted messages arrive through the watch thread's queue.
        for (int i = 0; i < 50 && g_seen.load() < expected; ++i) Sleep(100);
        Sleep(200);  // and one more would have come by now
        return g_seen.load();
    }

private:
    std::thread thread_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
};

}  // namespace

std::unique_ptr<ToolMessageWatch> ToolMessageWatch::start(const std::string& name, const std::string&) {
    g_seen = 0;
    return std::make_unique<WindowWatch>(name);
}

}  // namespace qx::uiext::test
