// Windows: a message-only window on a thread of its own that pumps its
// messages, so that call-backs can SendMessageW to it from any thread.  The
// library pins itself in the process: the pump must outlive every unload.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "QXUI.h"
#include "form.h"
#include "script_window.h"

namespace qx::qxui {
namespace {

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == QXUI_MSG_WAIT_BUTTON || message == QXUI_MSG_PIECE_SENT)
        return static_cast<LRESULT>(on_message(message, static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam)));
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void* script_window() {
    static HWND window = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&window_proc)), &self);
        std::mutex m;
        std::condition_variable made;
        bool done = false;
        std::thread([&, self] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = window_proc;
            wc.hInstance = self;
            wc.lpszClassName = L"QXUIScriptWindow";
            RegisterClassW(&wc);
            HWND w = CreateWindowExW(0, L"QXUIScriptWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, self, nullptr);
            {
                std::lock_guard<std::mutex> lock(m);
                window = w;
                done = true;
                made.notify_all();
            }
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        }).detach();
        std::unique_lock<std::mutex> lock(m);
        made.wait(lock, [&] { return done; });
    });
    return window;
}

}  // namespace qx::qxui
