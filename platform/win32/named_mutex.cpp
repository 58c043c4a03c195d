#include "qx/platform/named_mutex.h"

#include <windows.h>

#include "qx/platform/object_name.h"

namespace qx::platform {

struct NamedMutex::Impl {
    HANDLE handle = nullptr;
};

std::unique_ptr<NamedMutex> NamedMutex::open(const std::string& name) {
    HANDLE h = CreateMutexA(nullptr, FALSE, legal_object_name(name).c_str());
    if (!h) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->handle = h;
    return std::unique_ptr<NamedMutex>(new NamedMutex(name, std::move(impl)));
}

NamedMutex::NamedMutex(std::string name, std::unique_ptr<Impl> impl) : name_(std::move(name)), impl_(std::move(impl)) {}

NamedMutex::~NamedMutex() {
    if (impl_->handle) CloseHandle(impl_->handle);
}

namespace {
NamedMutex::Wait translate(DWORD rc) {
    switch (rc) {
        case WAIT_OBJECT_0:
            return NamedMutex::Wait::Acquired;
        case WAIT_ABANDONED:
            return NamedMutex::Wait::Abandoned;
        case WAIT_TIMEOUT:
            return NamedMutex::Wait::Timeout;
        default:
            return NamedMutex::Wait::Failed;
    }
}
}  // namespace

NamedMutex::Wait NamedMutex::lock() { return translate(WaitForSingleObject(impl_->handle, INFINITE)); }

NamedMutex::Wait NamedMutex::lock_for(uint32_t milliseconds) {
    return translate(WaitForSingleObject(impl_->handle, milliseconds));
}

bool NamedMutex::unlock() { return ReleaseMutex(impl_->handle) != 0; }

}  // namespace qx::platform
