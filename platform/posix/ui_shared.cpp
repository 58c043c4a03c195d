// POSIX: the shared text lives in named shared memory; a dialog window is
// the dialog library's object whose first member is its send function.
#include <cstring>
#include <memory>
#include <mutex>

#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"
#include "qx/platform/ui_shared.h"

namespace qx::platform {
namespace {

constexpr std::size_t kBytes = kSharedTextUnits * sizeof(char16_t);

// The area stays open for the life of the process, as a module's section does.
SharedMemory* area(const std::string& name) {
    static std::mutex m;
    static std::string openName;
    static std::unique_ptr<SharedMemory> open;
    std::lock_guard<std::mutex> lock(m);
    if (!open || openName != name) {
        auto fresh = SharedMemory::open(name, kBytes);
        if (!fresh) return nullptr;
        open = std::move(fresh);
        openName = name;
    }
    return open.get();
}

struct DialogWindow {
    intptr_t (*send)(DialogWindow* self, uint32_t message, uintptr_t wParam, intptr_t lParam);
};

}  // namespace

bool shared_text_read(const std::string& name, char16_t out[kSharedTextUnits]) {
    SharedMemory* a = area(name);
    if (!a) {
        std::memset(out, 0, kBytes);
        return false;
    }
    std::memcpy(out, a->data(), kBytes);
    return true;
}

bool shared_text_write(const std::string& name, const char16_t in[kSharedTextUnits]) {
    SharedMemory* a = area(name);
    if (!a) return false;
    std::memcpy(a->data(), in, kBytes);
    return true;
}

intptr_t send_dialog_message(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* w = static_cast<DialogWindow*>(window);
    if (!w || !w->send) return 0;
    return w->send(w, message, wParam, lParam);
}

uint32_t register_tool_message(const std::string&) { return 0xC000u; }

bool broadcast_tool_message(uint32_t, const std::string& name) {
    debug_output(("[ QXUIExtend ] broadcast " + name + " (0, 0)\n").c_str());
    return true;
}

}  // namespace qx::platform
