#include "handles.h"

#include <mutex>
#include <unordered_map>

namespace qx::kernel {

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, HandleKind> live;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Where each record keeps its tag is fixed by its kind; device and key records
// are ours to lay out, the container record places it after its name and key
// fields, so only the registry is consulted for that kind.
bool tag_matches(const void* record, HandleKind kind) {
    if (kind == HandleKind::Device) return static_cast<const DeviceRecord*>(record)->kind == static_cast<uint32_t>(kind);
    if (kind == HandleKind::Key) return static_cast<const uint32_t*>(record)[2] == static_cast<uint32_t>(kind);
    return true;
}

}  // namespace

void register_handle(const void* record, HandleKind kind) {
    if (!record) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.live[record] = kind;
}

bool unregister_handle(const void* record, HandleKind kind) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(record);
    if (it == r.live.end() || it->second != kind) return false;
    r.live.erase(it);
    return true;
}

bool is_live_handle(const void* record, HandleKind kind) {
    if (!record) return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(record);
    return it != r.live.end() && it->second == kind && tag_matches(record, kind);
}

DeviceRecord* device_record(void* handle) {
    return is_live_handle(handle, HandleKind::Device) ? static_cast<DeviceRecord*>(handle) : nullptr;
}

}  // namespace qx::kernel
