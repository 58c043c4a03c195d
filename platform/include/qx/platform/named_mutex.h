// Named mutexes shared by every process of the same user.
//
// Recursive for the owning thread (also through another NamedMutex object of
// the same name in the same process).  When an owner dies while holding the
// mutex, the next waiter acquires it and is told so (`Abandoned`): a dead
// process never blocks the others forever.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qx::platform {

class NamedMutex {
public:
    enum class Wait { Acquired, Abandoned, Timeout, Failed };

    // Creates the mutex or opens the existing one; null on failure.
    static std::unique_ptr<NamedMutex> open(const std::string& name);

    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits without time-out.  Acquired and Abandoned both mean "now owned".
    Wait lock();
    // Waits at most `milliseconds`.
    Wait lock_for(uint32_t milliseconds);
    // Releases one level of ownership; false when this thread does not own it.
    bool unlock();

    const std::string& name() const { return name_; }

    struct Impl;

private:
    NamedMutex(std::string name, std::unique_ptr<Impl> impl);
    std::string name_;
    std::unique_ptr<Impl> impl_;
};

inline bool owned(NamedMutex::Wait w) { return w == NamedMutex::Wait::Acquired || w == NamedMutex::Wait::Abandoned; }

// Holds a named mutex for a scope (waits without time-out).
class NamedMutexLock {
public:
    explicit NamedMutexLock(NamedMutex* mutex) : mutex_(mutex) {
        if (mutex_ && !owned(mutex_->lock())) mutex_ = nullptr;
    }
    ~NamedMutexLock() {
        if (mutex_) mutex_->unlock();
    }
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;
    bool owns() const { return mutex_ != nullptr; }

private:
    NamedMutex* mutex_;
};

}  // namespace qx::platform
