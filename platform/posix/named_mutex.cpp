// POSIX named mutex: a robust, recursive, process-shared pthread mutex that
// lives in named shared memory.  A dead owner leaves the mutex in the
// "owner died" state; the next waiter takes it over and reports Abandoned.
//
// All NamedMutex objects of one name in a process share one mapping, so the
// pthread mutex has a single address per process and this process can tell
// which of its threads owns it.
#include "qx/platform/named_mutex.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <new>

#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"

namespace qx::platform {

namespace {

struct Mapping {
    std::unique_ptr<SharedMemory> memory;
    pthread_mutex_t* mutex = nullptr;
    std::atomic<uint32_t> owner{0};  // thread of this process that owns it, 0 when none
    int depth = 0;                   // changed only by the owner

    ~Mapping() {
        // A mutex still held here must stay mapped: the system marks it
        // "owner died" through this mapping when the owning thread ends, which
        // lets the next waiter in.  (Closing a held mutex does not release it.)
        if (owner.load() != 0) (void)memory.release();
    }
};

// The per-process table of mappings.  Objects with static storage (for
// example a library's own named mutexes) may be destroyed after the table;
// `g_registry_alive` tells them so, and they then skip the bookkeeping.
struct Registry {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<Mapping>> mappings;
    Registry() { alive_flag() = true; }
    ~Registry() { alive_flag() = false; }
    static bool& alive_flag() {
        static bool alive = false;  // trivially destructible: readable at any time
        return alive;
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

void init_mutex(void* where) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (where) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

NamedMutex::Wait take(Mapping& m, int rc) {
    NamedMutex::Wait w;
    switch (rc) {
        case 0:
            w = NamedMutex::Wait::Acquired;
            break;
        case EOWNERDEAD:
            // The previous owner died holding it: what it guarded may be
            // half-changed, but the mutex is ours and usable again.
            pthread_mutex_consistent(m.mutex);
            w = NamedMutex::Wait::Abandoned;
            break;
        case ETIMEDOUT:
            return NamedMutex::Wait::Timeout;
        default:
            return NamedMutex::Wait::Failed;
    }
    m.owner.store(thread_id());
    ++m.depth;
    return w;
}

}  // namespace

struct NamedMutex::Impl {
    std::shared_ptr<Mapping> mapping;
};

std::unique_ptr<NamedMutex> NamedMutex::open(const std::string& name) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    auto& slot = reg.mappings[name];
    std::shared_ptr<Mapping> mapping = slot.lock();
    if (!mapping) {
        mapping = std::make_shared<Mapping>();
        mapping->memory = SharedMemory::open("mutex." + name, sizeof(pthread_mutex_t), init_mutex);
        if (!mapping->memory) return nullptr;
        mapping->mutex = static_cast<pthread_mutex_t*>(mapping->memory->data());
        slot = mapping;
    }
    auto impl = std::make_unique<Impl>();
    impl->mapping = std::move(mapping);
    return std::unique_ptr<NamedMutex>(new NamedMutex(name, std::move(impl)));
}

NamedMutex::NamedMutex(std::string name, std::unique_ptr<Impl> impl) : name_(std::move(name)), impl_(std::move(impl)) {}

NamedMutex::~NamedMutex() {
    if (!Registry::alive_flag()) {
        impl_->mapping.reset();
        return;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.lock);
    impl_->mapping.reset();
    auto it = reg.mappings.find(name_);
    if (it != reg.mappings.end() && it->second.expired()) reg.mappings.erase(it);
}

NamedMutex::Wait NamedMutex::lock() {
    Mapping& m = *impl_->mapping;
    return take(m, pthread_mutex_lock(m.mutex));
}

NamedMutex::Wait NamedMutex::lock_for(uint32_t milliseconds) {
    Mapping& m = *impl_->mapping;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return take(m, pthread_mutex_timedlock(m.mutex, &deadline));
}

bool NamedMutex::unlock() {
    Mapping& m = *impl_->mapping;
    if (m.owner.load() != thread_id() || m.depth == 0) return false;
    if (--m.depth == 0) m.owner.store(0);
    if (pthread_mutex_unlock(m.mutex) != 0) {
        // Should not happen for the owner; put the bookkeeping back.
        m.owner.store(thread_id());
        ++m.depth;
        return false;
    }
    return true;
}

}  // namespace qx::platform
