#include "instance_record.h"

#include "qx/platform/system.h"

namespace qx::manager {

std::unique_ptr<InstanceRecord> InstanceRecord::open(const std::string& providerName,
                                                     const std::string& productName) {
    const std::string base = providerName + "_" + productName + "_QX_MANAGE_TOOL_INSTANCE";
    auto life = platform::NamedMutex::open(base + "_LIFE");
    auto lock = platform::NamedMutex::open(base + "_LOCK");
    auto memory = platform::SharedMemory::open(base, sizeof(InstanceRecordLayout), [](void* view) {
        static_cast<InstanceRecordLayout*>(view)->request = kNoRequest;
    });
    if (!life || !lock || !memory || memory->size() < sizeof(InstanceRecordLayout)) return nullptr;
    return std::unique_ptr<InstanceRecord>(new InstanceRecord(std::move(memory), std::move(life), std::move(lock)));
}

InstanceRecord::~InstanceRecord() { release(); }

bool InstanceRecord::claim(uint32_t mark) {
    if (claimed_) return true;
    if (!platform::owned(life_->lock_for(0))) return false;
    claimed_ = true;
    platform::NamedMutexLock held(lock_.get());
    record() = {mark, platform::process_id(), kNoRequest, 0};
    return true;
}

void InstanceRecord::release() {
    if (!claimed_) return;
    {
        platform::NamedMutexLock held(lock_.get());
        record() = {0, 0, kNoRequest, 0};
    }
    life_->unlock();
    claimed_ = false;
}

bool InstanceRecord::someone_runs() {
    if (claimed_) return true;
    if (platform::owned(life_->lock_for(0))) {
        life_->unlock();
        return false;
    }
    return true;
}

bool InstanceRecord::hand_over(uint32_t mark, uint32_t showCode) {
    if (!someone_runs()) return false;
    platform::NamedMutexLock held(lock_.get());
    if (record().mark != mark || record().processId == 0) return false;
    record().request = showCode;
    return true;
}

std::optional<uint32_t> InstanceRecord::take_request() {
    platform::NamedMutexLock held(lock_.get());
    const uint32_t request = record().request;
    if (request == kNoRequest) return std::nullopt;
    record().request = kNoRequest;
    return request;
}

uint32_t InstanceRecord::running_process() {
    if (!someone_runs()) return 0;
    platform::NamedMutexLock held(lock_.get());
    return record().processId;
}

}  // namespace qx::manager
