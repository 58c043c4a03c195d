#include "shared_area.h"

#include <memory>
#include <mutex>

#include "QXTokenStatus.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/shared_memory.h"

namespace qx::kernel {

namespace {

struct KernelArea {
    std::mutex mutex;
    std::unique_ptr<platform::SharedMemory> memory;
    std::unique_ptr<platform::NamedMutex> lock;
};

KernelArea& area() {
    static KernelArea a;
    return a;
}

}  // namespace

uint32_t open_kernel_area(const std::string& providerName) {
    KernelArea& a = area();
    std::lock_guard guard(a.mutex);
    auto lock = platform::NamedMutex::open(providerName + "_GLOBAL_TOKEN_KERNEL_SHM_LOCK");
    if (!lock) return ERR_NO_MEMORY;
    auto memory = platform::SharedMemory::open(providerName + "_GLOBAL_CSP_SLOT_MANAGER_SHARED_MEMORY_x64",
                                               kKernelAreaSize);
    if (!memory) return ERR_NO_MEMORY;
    a.lock = std::move(lock);
    a.memory = std::move(memory);
    return ERR_OK;
}

uint32_t close_kernel_area() {
    KernelArea& a = area();
    std::lock_guard guard(a.mutex);
    a.memory.reset();
    a.lock.reset();
    return ERR_OK;
}

bool kernel_area_open() {
    KernelArea& a = area();
    std::lock_guard guard(a.mutex);
    return a.memory != nullptr;
}

}  // namespace qx::kernel
