// The per-token lock held across a sequence of commands that must not be
// interleaved with another process's (select then read, challenge then PIN...).
#pragma once

#include <cstdint>

#include "QXDevice.h"
#include "qx/platform/named_mutex.h"

namespace qx::kernel {

class LogicalLock {
public:
    LogicalLock() = default;
    ~LogicalLock() { release(); }
    LogicalLock(const LogicalLock&) = delete;
    LogicalLock& operator=(const LogicalLock&) = delete;

    // ERR_LOCK_HELD when this slot already holds a lock, ERR_FAILED when the
    // token identity is not known, ERR_NO_MEMORY when the mutex cannot be made.
    uint32_t acquire(const QXDeviceTransport& device);
    void release();
    bool held() const { return mutex_ != nullptr; }

private:
    platform::NamedMutex* mutex_ = nullptr;
};

}  // namespace qx::kernel
