// Named shared memory seen by every process of the same user.
//
// The area lives while at least one process has it open (as a Windows file
// mapping does); the first opener finds it zero-filled and is told that it
// created it.  Windows: the mapping carries the low-integrity label
// "S:(ML;;NW;;;LW)", falling back to a null DACL.  POSIX: a shm object of mode
// 0600 whose lifetime follows its openers, dead ones included.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qx::platform {

class SharedMemory {
public:
    // Creates or opens the area and maps it whole; null on failure.  When this
    // call created the area, `initialise` (if given) runs on the zero-filled
    // view before any other process can open it.
    static std::unique_ptr<SharedMemory> open(const std::string& name, std::size_t size,
                                              const std::function<void(void*)>& initialise = {});

    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    void* data() const { return data_; }
    std::size_t size() const { return size_; }
    // True when this call created the area.
    bool created() const { return created_; }

    struct Impl;

private:
    SharedMemory(void* data, std::size_t size, bool created, std::unique_ptr<Impl> impl);
    void* data_;
    std::size_t size_;
    bool created_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx::platform
