#include "logical_lock.h"

#include <string>

#include "QXTokenStatus.h"
#include "named_locks.h"
#include "trace.h"

namespace qx::kernel {

uint32_t LogicalLock::acquire(const QXDeviceTransport& device) {
    if (mutex_) return ERR_LOCK_HELD;
    uint32_t n = device.identityLength;
    if (n == 0 || n > sizeof device.identity) return ERR_FAILED;
    std::string name = hex_text(device.identity, n) + "GLOBAL_DEVICE_APDU_LOGIC_LOCK";
    platform::NamedMutex* m = named_mutex(name);
    if (!m) return ERR_NO_MEMORY;
    if (!platform::owned(m->lock())) return ERR_NO_MEMORY;
    mutex_ = m;
    return ERR_OK;
}

void LogicalLock::release() {
    if (mutex_) {
        mutex_->unlock();
        mutex_ = nullptr;
    }
}

}  // namespace qx::kernel
