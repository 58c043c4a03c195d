#include "device_open.h"

#include "QXTokenStatus.h"
#include "container/container.h"
#include "core/commands.h"
#include "core/logical_lock.h"
#include "core/shared_area.h"
#include "device_manager.h"

namespace qx::kernel {

uint32_t authenticate_device(DeviceRecord& device) {
    if (!device.device) return ERR_INVALID_PARAM;
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device.device);
    if (rc != ERR_OK) return rc;
    FileCommands files(device.device);
    rc = files.select(0x3F01);
    if (rc != ERR_OK) return rc;
    SecurityCommands security(device.device);
    return security.authenticate_adf();
}

uint32_t close_device(DeviceRecord& device) {
    KernelAreaAccess access;  // closing goes ahead even when the area is not open
    return close_device_locked(device);
}

uint32_t close_device_locked(DeviceRecord& device) {
    QXDeviceTransport* transport = device.device;
    const uint32_t rc = transport ? transport->Close(&device) : ERR_OK;
    // Containers read through this opening must not outlive it.
    if (transport) forget_device_containers(transport);
    const bool freeRecord = device.owned != 0 || DeviceManager::instance().take_orphan(&device);
    if (freeRecord) {
        unregister_handle(&device, HandleKind::Device);
        destroy_transport(transport);
        delete &device;
    }
    return rc;
}

}  // namespace qx::kernel
