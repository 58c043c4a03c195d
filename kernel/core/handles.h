// Handles that cross the kernel interface.  Each is a pointer to a record
// whose kind tag says what it is; besides the tag, the kernel keeps a registry
// of the records it handed out, so that a pointer it never made or has already
// freed is refused like a handle of the wrong kind instead of being read.
#pragma once

#include <cstdint>

#include "QXDevice.h"

namespace qx::kernel {

enum class HandleKind : uint32_t { Container = 1, Device = 2, Key = 3 };

// The device handle record: tag, transport object, opening thread, and
// whether the kernel made the transport object (and so destroys it on close).
struct DeviceRecord {
    uint32_t kind = static_cast<uint32_t>(HandleKind::Device);
    QXDeviceTransport* device = nullptr;
    uint32_t threadId = 0;
    uint32_t owned = 0;
};

// Adds a record to the live set (when it is handed out).
void register_handle(const void* record, HandleKind kind);
// Removes it (before it is freed).  False when it was not live.
bool unregister_handle(const void* record, HandleKind kind);
// True when `record` is live and of `kind` (and its tag still says so).
bool is_live_handle(const void* record, HandleKind kind);

// The device record behind a handle, or null when it is not a live device handle.
DeviceRecord* device_record(void* handle);

}  // namespace qx::kernel
