// POSIX named mutex: a robust, recursive, process-shared pthread mutex that
// lives in named shared memory.  A dead owner leaves the mutex in the
// "owner died" state; the next waiter takes it over and reports Abandoned.
#include "qx/platform/named_mutex.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "qx/platform/shared_memory.h"

namespace qx::platform {

struct NamedMutex::Impl {
    std::unique_ptr<SharedMemory> memory;
    pthread_mutex_t* mutex = nullptr;
    // Levels of ownership taken through this object (changed only by the owner).
    std::atomic<int> depth{0};
};

namespace {

void init_mutex(void* where) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (where) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

NamedMutex::Wait translate(pthread_mutex_t* m, int rc) {
    switch (rc) {
        case 0:
            return NamedMutex::Wait::Acquired;
        case EOWNERDEAD:
            // The previous owner died holding it: the state it guarded may be
            // half-changed, but the mutex itself is ours and usable again.
            pthread_mutex_consistent(m);
            return NamedMutex::Wait::Abandoned;
        case ETIMEDOUT:
            return NamedMutex::Wait::Timeout;
        default:
            return NamedMutex::Wait::Failed;
    }
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::open(const std::string& name) {
    auto impl = std::make_unique<Impl>();
    impl->memory = SharedMemory::open("mutex." + name, sizeof(pthread_mutex_t), init_mutex);
    if (!impl->memory) return nullptr;
    impl->mutex = static_cast<pthread_mutex_t*>(impl->memory->data());
    return std::unique_ptr<NamedMutex>(new NamedMutex(name, std::move(impl)));
}

NamedMutex::NamedMutex(std::string name, std::unique_ptr<Impl> impl) : name_(std::move(name)), impl_(std::move(impl)) {}
NamedMutex::~NamedMutex() {
    // A mutex still held through this object must stay mapped: the system
    // marks it "owner died" through this mapping when the owning thread ends,
    // which is what lets the next waiter in.  (Closing a held mutex does not
    // release it, as on Windows.)
    if (impl_->depth.load() > 0) (void)impl_->memory.release();
}

namespace {
NamedMutex::Wait counted(std::atomic<int>& depth, NamedMutex::Wait w) {
    if (owned(w)) depth.fetch_add(1);
    return w;
}
}  // namespace

NamedMutex::Wait NamedMutex::lock() {
    return counted(impl_->depth, translate(impl_->mutex, pthread_mutex_lock(impl_->mutex)));
}

NamedMutex::Wait NamedMutex::lock_for(uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return counted(impl_->depth, translate(impl_->mutex, pthread_mutex_timedlock(impl_->mutex, &deadline)));
}

bool NamedMutex::unlock() {
    if (pthread_mutex_unlock(impl_->mutex) != 0) return false;
    impl_->depth.fetch_sub(1);
    return true;
}

}  // namespace qx::platform
