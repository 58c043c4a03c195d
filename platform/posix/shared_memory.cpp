// POSIX shared memory with the lifetime of a Windows file mapping.
//
// Every opener holds a shared flock on the shm object for as long as it has
// it open; the kernel drops that lock when the process dies.  An opener that
// can take the lock exclusively therefore knows that nobody (alive) uses the
// area and starts it afresh, zero-filled.  A second object, "<name>.g", is a
// guard held around opening and closing so that these checks never race.
#include "qx/platform/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qx/platform/object_name.h"

namespace qx::platform {

struct SharedMemory::Impl {
    std::string os_name;
    int fd = -1;
};

namespace {

int flock_retry(int fd, int op) {
    int rc;
    do {
        rc = flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Holds the guard object of a shm name locked for a scope.
class Guard {
public:
    explicit Guard(const std::string& os_name) {
        fd_ = shm_open((os_name + ".g").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ >= 0 && flock_retry(fd_, LOCK_EX) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Guard() {
        if (fd_ >= 0) close(fd_);  // closing drops the lock
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::open(const std::string& name, std::size_t size,
                                                 const std::function<void(void*)>& initialise) {
    if (size == 0) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->os_name = legal_object_name(name);
    Guard guard(impl->os_name);
    if (!guard.ok()) return nullptr;

    int fd = shm_open(impl->os_name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    bool created = false;
    if (flock_retry(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody has it open: start from zero.
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            close(fd);
            return nullptr;
        }
        created = true;
        flock_retry(fd, LOCK_UN);
    } else {
        struct stat st {};
        if (fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < size) {
            close(fd);
            return nullptr;
        }
    }
    if (flock_retry(fd, LOCK_SH) != 0) {
        close(fd);
        return nullptr;
    }
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    if (created && initialise) initialise(data);
    impl->fd = fd;
    return std::unique_ptr<SharedMemory>(new SharedMemory(data, size, created, std::move(impl)));
}

SharedMemory::SharedMemory(void* data, std::size_t size, bool created, std::unique_ptr<Impl> impl)
    : data_(data), size_(size), created_(created), impl_(std::move(impl)) {}

SharedMemory::~SharedMemory() {
    if (!impl_) return;
    Guard guard(impl_->os_name);
    munmap(data_, size_);
    flock_retry(impl_->fd, LOCK_UN);
    // The last user removes the name, as the system does for a mapping.
    if (guard.ok() && flock_retry(impl_->fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(impl_->os_name.c_str());
    close(impl_->fd);
}

}  // namespace qx::platform
