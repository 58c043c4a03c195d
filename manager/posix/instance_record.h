// The running monitor's instance record: named shared memory {mark, pid,
// request} beside a named mutex that the running monitor holds for its whole
// life.  A later start finds the mutex taken, leaves its show code in the
// record and exits; the monitor picks the request up on its next round.  A
// monitor that died leaves the mutex abandoned, so the next start takes over.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "qx/platform/named_mutex.h"
#include "qx/platform/shared_memory.h"

namespace qx::manager {

constexpr uint32_t kNoRequest = 0xFFFFFFFFu;

struct InstanceRecordLayout {
    uint32_t mark;
    uint32_t processId;
    uint32_t request;
    uint32_t reserved;
};

class InstanceRecord {
public:
    // The record of an installation and product; null when it cannot be made.
    static std::unique_ptr<InstanceRecord> open(const std::string& providerName, const std::string& productName);
    ~InstanceRecord();
    InstanceRecord(const InstanceRecord&) = delete;
    InstanceRecord& operator=(const InstanceRecord&) = delete;

    // Becomes the running instance when none runs: true, and the record
    // carries `mark` and this process.  False when another instance runs.
    bool claim(uint32_t mark);
    // Gives up being the running instance (clears the record).
    void release();
    bool claimed() const { return claimed_; }

    // For a later start: leaves `showCode` for the running instance; false
    // when none runs or it carries another mark.
    bool hand_over(uint32_t mark, uint32_t showCode);
    // For the running instance: the request left since the last call, if any.
    std::optional<uint32_t> take_request();
    // The running instance's process (0 when none).
    uint32_t running_process();

private:
    InstanceRecord(std::unique_ptr<platform::SharedMemory> memory, std::unique_ptr<platform::NamedMutex> life,
                   std::unique_ptr<platform::NamedMutex> lock)
        : memory_(std::move(memory)), life_(std::move(life)), lock_(std::move(lock)) {}
    InstanceRecordLayout& record() const { return *static_cast<InstanceRecordLayout*>(memory_->data()); }
    bool someone_runs();

    std::unique_ptr<platform::SharedMemory> memory_;
    std::unique_ptr<platform::NamedMutex> life_;
    std::unique_ptr<platform::NamedMutex> lock_;
    bool claimed_ = false;
};

}  // namespace qx::manager
