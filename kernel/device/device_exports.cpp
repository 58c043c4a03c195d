// The device exports: which names are tokens, enumeration, opening, closing
// and the accessors of an open device.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QXTokenKernel.h"
#include "core/commands.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "core/shared_area.h"
#include "device/device_manager.h"
#include "device/device_open.h"
#include "qx/platform/system.h"

using namespace qx::kernel;

namespace {

bool single_channel(uint32_t type) {
    return type == QXDEV_CHANNEL_CCID || type == QXDEV_CHANNEL_UMS || type == QXDEV_CHANNEL_HID;
}

std::string name_of(const QXDeviceTransport& device) {
    return std::string(device.deviceName, strnlen(device.deviceName, sizeof device.deviceName));
}

// A new device handle record for a transport object, registered as live.
DeviceRecord* make_record(TransportObject& transport, uint32_t owned) {
    auto record = std::make_unique<DeviceRecord>();
    record->device = transport.get();
    record->threadId = qx::platform::thread_id();
    record->owned = owned;
    register_handle(record.get(), HandleKind::Device);
    transport.release();
    return record.release();
}

// Lists the channel's tokens: names the transport finds with the channel's
// words whose token answers the identity and card-OS commands with a
// supported version.
uint32_t probe_channel(uint32_t channel, const KernelConfig& config,
                       std::vector<std::pair<std::string, uint32_t>>& found) {
    TransportObject enumerator(channel);
    if (!enumerator) return ERR_NO_MEMORY;
    const std::vector<std::string> words = split_word_list(channel_words(config, channel));
    std::vector<const char*> wordPointers;
    for (const std::string& w : words) wordPointers.push_back(w.c_str());
    auto names = std::make_unique<char[][QXDEV_NAME_SIZE]>(QXDEV_MAX_ENUM);
    uint32_t count = QXDEV_MAX_ENUM;
    const uint32_t rc = enumerator.get()->Enumerate(wordPointers.data(), static_cast<uint32_t>(wordPointers.size()),
                                                    names.get(), &count);
    if (rc != 0) return rc;
    count = std::min<uint32_t>(count, QXDEV_MAX_ENUM);
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name(names[i], strnlen(names[i], QXDEV_NAME_SIZE - 1));
        TransportObject probe(channel);
        if (!probe) continue;
        if (probe.get()->Open(name.c_str()) == 0) {
            if (check_token(probe.get(), config) == ERR_OK) found.emplace_back(name, channel);
            probe.get()->Close(nullptr);
        }
    }
    return ERR_OK;
}

// Steps 2 to 5 of opening on an existing transport object: open with the
// name, transport key material, identity, card-OS version (the last three
// only when `full`).  The object is closed again on failure.
uint32_t open_transport(QXDeviceTransport* device, const std::string& name, const KernelConfig& config, bool full) {
    uint32_t rc = device->Open(name.c_str());
    if (rc != 0) return rc;
    if (full) {
        SecurityCommands security(device);
        rc = security.read_transport_key();
        if (rc == ERR_OK) rc = check_token(device, config);
    } else {
        rc = read_identity_strict(device);
    }
    if (rc != ERR_OK) device->Close(nullptr);
    return rc;
}

uint32_t open_by_name(ExportContext& ctx, const char* name, DeviceHandle* handle, bool dezo) {
    ctx.require(name != nullptr && handle != nullptr);
    *handle = nullptr;
    KernelAreaAccess access;
    const KernelConfig config = state().config();
    uint32_t type = 0;
    if (matches_word_list(name, config.umsFilterWords)) type = QXDEV_CHANNEL_UMS;
    if (matches_word_list(name, config.virtualReaderWords)) type += QXDEV_CHANNEL_CCID;
    if (matches_word_list(name, config.hidFilterWords)) type |= QXDEV_CHANNEL_HID;
    if (!dezo && !single_channel(type)) return ERR_INVALID_PARAM;

    TransportObject transport(type);
    if (!transport) return ERR_NO_MEMORY;
    uint32_t rc = open_transport(transport.get(), name, config, !dezo);
    if (rc != ERR_OK) return rc;
    if (!dezo) transport.get()->slotNumber = DeviceManager::instance().slot_for(name_of(*transport.get()));
    DeviceRecord* record = make_record(transport, 1);

    rc = authenticate_device(*record);
    if (rc != ERR_OK && !dezo) {
        close_device_locked(*record);
        return rc;
    }
    // Without a card-OS check the handle stays open even when authentication
    // failed (a blank token has no keys yet); the caller closes it.
    *handle = record;
    return rc;
}

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsSupportDev(const char* name, uint32_t* type) {
    return run_export({"QXToken_IsSupportDev", TraceCalls::None, false}, [&](ExportContext& ctx) {
        ctx.require(name != nullptr && type != nullptr);
        const KernelConfig config = state().config();
        const uint32_t enabled = static_cast<uint32_t>(config.supportDevType);
        uint32_t result = 0;
        if (matches_word_list(name, config.qxFilterWords)) {
            if ((enabled & QXDEV_CHANNEL_CCID) && matches_word_list(name, config.ccidFilterWords))
                result |= QXDEV_CHANNEL_CCID;
            if ((enabled & QXDEV_CHANNEL_UMS) && matches_word_list(name, config.umsFilterWords))
                result |= QXDEV_CHANNEL_UMS;
            if ((enabled & QXDEV_CHANNEL_HID) && matches_word_list(name, config.hidFilterWords))
                result |= QXDEV_CHANNEL_HID;
        }
        *type = result;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_EnumDevice(uint32_t* count, DeviceHandle* handles) {
    return run_export({"QXToken_EnumDevice", TraceCalls::Both}, [&](ExportContext& ctx) {
        ctx.require(count != nullptr);
        KernelAreaAccess access;
        const KernelConfig config = state().config();
        const uint32_t enabled = static_cast<uint32_t>(config.supportDevType);
        DeviceManager& manager = DeviceManager::instance();
        manager.set_channel_mask(enabled);

        std::vector<std::pair<std::string, uint32_t>> found;
        for (uint32_t channel : {QXDEV_CHANNEL_CCID, QXDEV_CHANNEL_UMS, QXDEV_CHANNEL_HID}) {
            if (!(enabled & channel)) continue;
            const uint32_t rc = probe_channel(channel, config, found);
            if (rc != ERR_OK) return rc;
        }
        const auto total = static_cast<uint32_t>(found.size());
        if (!handles) {
            *count = total;
            return ERR_OK;
        }
        // The array holds *count handles; never write past it.
        if (*count < total) {
            *count = total;
            return ERR_BUFFER_TOO_SMALL;
        }

        std::vector<std::string> names;
        for (const auto& f : found) names.push_back(f.first);
        manager.begin_enumeration(names);
        uint32_t made = 0;
        uint32_t rc = ERR_OK;
        for (const auto& [name, channel] : found) {
            TransportObject transport(channel);
            if (!transport) {
                rc = ERR_NO_MEMORY;
                break;
            }
            std::memset(transport.get()->deviceName, 0, sizeof transport.get()->deviceName);
            std::memcpy(transport.get()->deviceName, name.data(), std::min<std::size_t>(name.size(), QXDEV_NAME_SIZE - 1));
            transport.get()->slotNumber = manager.slot_for(name);
            DeviceRecord* record = make_record(transport, 0);
            manager.add_enumerated(record);
            handles[made++] = record;
        }
        manager.finish_enumeration();
        *count = made;
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DestroyEnum(void) {
    return run_export({"QXToken_DestroyEnum", TraceCalls::Both}, [&](ExportContext&) {
        for (DeviceRecord* record : DeviceManager::instance().take_thread_handles(qx::platform::thread_id())) {
            unregister_handle(record, HandleKind::Device);
            destroy_transport(record->device);
            delete record;
        }
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDeviceByName(const char* name, DeviceHandle* handle) {
    return run_export({"QXToken_OpenDeviceByName", TraceCalls::Both},
                      [&](ExportContext& ctx) { return open_by_name(ctx, name, handle, false); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDevByNameDEZO(const char* name, DeviceHandle* handle) {
    return run_export({"QXToken_OpenDevByNameDEZO", TraceCalls::None, false},
                      [&](ExportContext& ctx) { return open_by_name(ctx, name, handle, true); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDeviceByHandle(DeviceHandle handle) {
    return run_export({"QXToken_OpenDeviceByHandle", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        QXDeviceTransport* device = record.device;
        ctx.require(device != nullptr);
        KernelAreaAccess access;
        ctx.require(single_channel(device->channelType));
        const KernelConfig config = state().config();
        uint32_t rc = open_transport(device, name_of(*device), config, true);
        if (rc != ERR_OK) return rc;
        device->slotNumber = DeviceManager::instance().slot_for(name_of(*device));
        rc = authenticate_device(record);
        if (rc != ERR_OK) device->Close(&record);
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseDevice(DeviceHandle handle) {
    return run_export({"QXToken_CloseDevice"}, [&](ExportContext& ctx) {
        return close_device(ctx.device(handle, ERR_INVALID_PARAM));
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ResetDevice(DeviceHandle handle, uint8_t* atr, uint32_t* length) {
    return run_export({"QXToken_ResetDevice"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(atr != nullptr && length != nullptr && record.device != nullptr);
        // The answer to reset can be up to 64 bytes: a smaller buffer is
        // refused before the token is touched.
        if (*length < QXDEV_ATR_SIZE) {
            *length = QXDEV_ATR_SIZE;
            return ERR_BUFFER_TOO_SMALL;
        }
        uint8_t answer[QXDEV_ATR_SIZE] = {};
        uint32_t answerLength = sizeof answer;
        const uint32_t rc = record.device->Reset(answer, &answerLength);
        if (rc != 0) return rc;
        answerLength = std::min<uint32_t>(answerLength, sizeof answer);
        std::memcpy(atr, answer, answerLength);
        *length = answerLength;
        SecurityCommands security(record.device);
        security.read_identity();
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_AddDevice(const char*, uint32_t) { return ERR_OK; }

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RemoveDevice(const char*) {
    return run_export({"QXToken_RemoveDevice"}, [&](ExportContext&) { return ERR_OK; });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceType(DeviceHandle handle, uint32_t* type) {
    return run_export({"QXToken_GetDeviceType"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(type != nullptr && record.device != nullptr);
        *type = record.device->channelType;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceStatus(DeviceHandle handle, uint32_t* status) {
    return run_export({"QXToken_GetDeviceStatus"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(status != nullptr && record.device != nullptr);
        *status = record.device->openStatus;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceName(DeviceHandle handle, char* name) {
    return run_export({"QXToken_GetDeviceName"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(name != nullptr && record.device != nullptr);
        // At most 259 characters and the terminating NUL: within the 260
        // bytes every caller must offer.
        const std::size_t n = strnlen(record.device->deviceName, QXDEV_NAME_SIZE - 1);
        std::memcpy(name, record.device->deviceName, n);
        name[n] = '\0';
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceATR(DeviceHandle handle, uint8_t* atr, uint32_t* length) {
    return run_export({"QXToken_GetDeviceATR"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(length != nullptr && record.device != nullptr);
        const uint32_t n = std::min<uint32_t>(record.device->identityLength, QXDEV_IDENTITY_SIZE);
        return ctx.deliver(record.device->identity, n, atr, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceChange(uint32_t* slots, uint32_t* count) {
    return run_export({"QXToken_GetDeviceChange"}, [&](ExportContext& ctx) {
        ctx.require(count != nullptr);
        const std::vector<uint32_t> changes = DeviceManager::instance().changes();
        if (slots && !changes.empty()) std::memcpy(slots, changes.data(), changes.size() * sizeof(uint32_t));
        *count = static_cast<uint32_t>(changes.size());
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceSlotNO(DeviceHandle handle, uint32_t* slot) {
    return run_export({"QXToken_GetDeviceSlotNO"}, [&](ExportContext& ctx) {
        DeviceRecord& record = ctx.device(handle, ERR_INVALID_PARAM);
        ctx.require(slot != nullptr && record.device != nullptr);
        *slot = record.device->slotNumber;
        return ERR_OK;
    });
}

}  // extern "C"
