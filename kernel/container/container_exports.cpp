// Container exports.
#include <algorithm>
#include <cstring>

#include "QXTokenKernel.h"
#include "container/container.h"
#include "container/container_ops.h"
#include "core/export_shape.h"

using namespace qx::kernel;

namespace {

// Highest key-pair slot a certificate can be stored under.
constexpr uint32_t kMaxCertSlot = 30;

ContainerInfo info_of(ExportContext& ctx, const void* handle) {
    ContainerInfo info;
    ctx.require(container_info(handle, info));
    return info;
}

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_EnumContainer(DeviceHandle device, uint32_t typeMask,
                                                           uint32_t* position, ContainerHandle* container) {
    return run_export({"QXToken_EnumContainer", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(position != nullptr && container != nullptr);
        QXContainer* found = nullptr;
        uint32_t at = *position;
        const uint32_t rc = enumerate_containers(dev, typeMask, at, found);
        if (rc == ERR_OK) {
            *position = at;
            *container = found;
        }
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenContainer(DeviceHandle device, const char* name,
                                                           ContainerHandle* container) {
    return run_export({"QXToken_OpenContainer", TraceCalls::Both}, [&](ExportContext& ctx) {
        ctx.require(container != nullptr);
        *container = nullptr;
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(valid_container_name(name));
        QXContainer* opened = nullptr;
        const uint32_t rc = open_container(dev, name, opened);
        if (rc == ERR_OK) *container = opened;
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseContainer(ContainerHandle container) {
    return run_export({"QXToken_CloseContainer"}, [&](ExportContext&) { return close_container(container); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CreateContainer(DeviceHandle device, const char* name, uint32_t type,
                                                             ContainerHandle* container) {
    return run_export({"QXToken_CreateContainer", TraceCalls::Both}, [&](ExportContext& ctx) {
        ctx.require(container != nullptr);
        *container = nullptr;
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(valid_container_name(name));
        QXContainer* created = nullptr;
        const uint32_t rc = create_container(dev, name, type, created);
        if (rc == ERR_OK) *container = created;
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteContainerByHandle(ContainerHandle container) {
    return run_export({"QXToken_DeleteContainerByHandle", TraceCalls::Both},
                      [&](ExportContext&) { return delete_container(container); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteContainerByName(DeviceHandle device, const char* name) {
    return run_export({"QXToken_DeleteContainerByName", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        ctx.require(valid_container_name(name));
        return delete_container_by_name(dev, name);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UpdateContainer(ContainerHandle container) {
    return run_export({"QXToken_UpdateContainer"}, [&](ExportContext&) { return update_container(container); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerName(ContainerHandle container, char* name,
                                                              uint32_t* length) {
    return run_export({"QXToken_GetContainerName"}, [&](ExportContext& ctx) {
        ctx.require(length != nullptr);
        const ContainerInfo info = info_of(ctx, container);
        const uint32_t required = static_cast<uint32_t>(info.name.size()) + 1;
        // Unlike the other getters, a missing buffer is answered like a short one.
        if (!name || *length < required) {
            *length = required;
            return ERR_BUFFER_TOO_SMALL;
        }
        std::memcpy(name, info.name.c_str(), required);
        *length = required;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerType(ContainerHandle container, uint32_t* type) {
    return run_export({"QXToken_GetContainerType"}, [&](ExportContext& ctx) {
        ctx.require(type != nullptr);
        *type = info_of(ctx, container).type;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetContainerType(ContainerHandle container, uint32_t type,
                                                              uint32_t writeNow) {
    return run_export({"QXToken_SetContainerType"}, [&](ExportContext& ctx) {
        if (!writeNow) {
            ctx.require(set_container_type(container, type));
            return ERR_OK;
        }
        return write_container_record(container, [&](ContainerFields& f) { f.type = type; });
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerStatus(ContainerHandle container, uint32_t* status) {
    return run_export({"QXToken_GetContainerStatus"}, [&](ExportContext& ctx) {
        ctx.require(status != nullptr);
        *status = info_of(ctx, container).status;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetContainerStatus(ContainerHandle container, uint32_t status) {
    return run_export({"QXToken_SetContainerStatus"}, [&](ExportContext&) {
        return write_container_record(container, [&](ContainerFields& f) { f.status = status; });
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetCertIndexFormContainer(ContainerHandle container, uint32_t keySpec,
                                                                       uint32_t* index) {
    return run_export({"QXToken_GetCertIndexFormContainer"}, [&](ExportContext& ctx) {
        ctx.require(index != nullptr && (keySpec == 1 || keySpec == 2));
        const ContainerInfo info = info_of(ctx, container);
        const uint32_t slot = keySpec == 1 ? info.exchangeKeyIndex : info.signatureKeyIndex;
        // Statuses 3 and 4 mean that no certificate has been stored with the key.
        if (info.status == 3 || info.status == kContainerStatusKeyBound) return ERR_KEY_NOT_IN_CONTAINER;
        if (slot == 0 || slot > kMaxCertSlot) return ERR_KEY_NOT_IN_CONTAINER;
        *index = slot;
        return ERR_OK;
    });
}

}  // extern "C"
