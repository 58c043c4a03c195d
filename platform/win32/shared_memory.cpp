#include "qx/platform/shared_memory.h"

#include <windows.h>
#include <sddl.h>

#include "qx/platform/named_mutex.h"
#include "qx/platform/object_name.h"

namespace qx::platform {

struct SharedMemory::Impl {
    HANDLE mapping = nullptr;
};

namespace {

// Security attributes that let low-integrity processes write the area:
// the mandatory label "no write-up below low", else a null DACL.
class LowIntegrityAttributes {
public:
    LowIntegrityAttributes() {
        sa_.nLength = sizeof sa_;
        sa_.bInheritHandle = FALSE;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA("S:(ML;;NW;;;LW)", SDDL_REVISION_1, &label_,
                                                                 nullptr)) {
            sa_.lpSecurityDescriptor = label_;
        } else if (InitializeSecurityDescriptor(&plain_, SECURITY_DESCRIPTOR_REVISION) &&
                   SetSecurityDescriptorDacl(&plain_, TRUE, nullptr, FALSE)) {
            sa_.lpSecurityDescriptor = &plain_;
        } else {
            sa_.lpSecurityDescriptor = nullptr;
        }
    }
    ~LowIntegrityAttributes() {
        if (label_) LocalFree(label_);
    }
    SECURITY_ATTRIBUTES* get() { return &sa_; }

private:
    SECURITY_ATTRIBUTES sa_{};
    PSECURITY_DESCRIPTOR label_ = nullptr;
    SECURITY_DESCRIPTOR plain_{};
};

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::open(const std::string& name, std::size_t size,
                                                 const std::function<void(void*)>& initialise) {
    if (size == 0) return nullptr;
    // Creation and initialisation happen under a guard so that no other
    // process sees the area before it is initialised.
    auto guard = NamedMutex::open(name + ".g");
    if (!guard) return nullptr;
    NamedMutexLock hold(guard.get());
    LowIntegrityAttributes attributes;
    const unsigned long long sz = size;
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, attributes.get(), PAGE_READWRITE,
                                  static_cast<DWORD>(sz >> 32), static_cast<DWORD>(sz & 0xFFFFFFFFu),
                                  legal_object_name(name).c_str());
    if (!h) return nullptr;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!view) {
        CloseHandle(h);
        return nullptr;
    }
    if (created && initialise) initialise(view);
    auto impl = std::make_unique<Impl>();
    impl->mapping = h;
    return std::unique_ptr<SharedMemory>(new SharedMemory(view, size, created, std::move(impl)));
}

SharedMemory::SharedMemory(void* data, std::size_t size, bool created, std::unique_ptr<Impl> impl)
    : data_(data), size_(size), created_(created), impl_(std::move(impl)) {}

SharedMemory::~SharedMemory() {
    if (data_) UnmapViewOfFile(data_);
    if (impl_ && impl_->mapping) CloseHandle(impl_->mapping);
}

}  // namespace qx::platform
