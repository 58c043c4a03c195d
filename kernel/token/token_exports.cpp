// Token information, label, raw file access, serial number and device-question exports.
#include <cstring>
#include <vector>

#include "QXTokenKernel.h"
#include "core/commands.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "pin/pin_security.h"
#include "token/token_info.h"

using namespace qx::kernel;

namespace {

QXDeviceTransport& transport(ExportContext& ctx, DeviceRecord& dev) {
    ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
    return *dev.device;
}

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTokenInfo(DeviceHandle device, uint8_t* info, uint32_t* length) {
    return run_export({"QXToken_GetTokenInfo"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(length != nullptr);
        if (!info) {
            *length = kTokenInfoSize;
            return ERR_OK;
        }
        if (*length < kTokenInfoSize) {
            *length = kTokenInfoSize;
            return ERR_BUFFER_TOO_SMALL;
        }
        uint8_t record[kTokenInfoSize];
        ctx.check(read_token_info(transport(ctx, dev), record));
        return ctx.deliver(record, sizeof record, info, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTokenLabel(DeviceHandle device, uint8_t* label, uint32_t* length) {
    return run_export({"QXToken_GetTokenLabel", TraceCalls::Both}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(length != nullptr);
        if (!label) {
            *length = kLabelFieldSize;
            return ERR_OK;
        }
        if (*length < kLabelFieldSize) {
            *length = kLabelFieldSize;
            return ERR_BUFFER_TOO_SMALL;
        }
        std::vector<uint8_t> text;
        ctx.check(read_label(transport(ctx, dev), text));
        if (!text.empty()) std::memcpy(label, text.data(), text.size());
        *length = static_cast<uint32_t>(text.size());
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetTokenLabel(DeviceHandle device, const uint8_t* label,
                                                           uint32_t length) {
    return run_export({"QXToken_SetTokenLabel"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(label != nullptr && length >= 1 && length <= kLabelFieldSize, ERR_INVALID_HANDLE);
        return write_label(transport(ctx, dev), label, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadBinFile(DeviceHandle device, uint32_t fileId, uint32_t offset,
                                                         uint8_t* buffer, uint32_t* length) {
    return run_export({"QXToken_ReadBinFile"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(fileId >= kFirstRawFile && fileId <= 0xFFFF, ERR_INVALID_HANDLE);
        ctx.require(length != nullptr);
        if (!buffer) return ERR_OK;
        FileCommands files(&transport(ctx, dev));
        uint32_t read = 0;
        const uint32_t rc = files.read_file(static_cast<uint16_t>(fileId), offset, *length, buffer, &read);
        *length = read;
        return rc;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteBinFile(DeviceHandle device, uint32_t fileId, uint32_t offset,
                                                          const uint8_t* data, uint32_t length) {
    return run_export({"QXToken_WriteBinFile"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(fileId <= 0xFFFF, ERR_INVALID_HANDLE);
        if (!data) return ERR_OK;
        FileCommands files(&transport(ctx, dev));
        return files.write_file(static_cast<uint16_t>(fileId), offset, data, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetCOSInfo(DeviceHandle device, uint8_t* info, uint32_t* length) {
    return run_export({"QXToken_GetCOSInfo", TraceCalls::None, false}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        if (!info) return ERR_OK;
        ctx.require(length != nullptr);
        if (*length < kCosInfoSize) {
            *length = kCosInfoSize;
            return ERR_BUFFER_TOO_SMALL;
        }
        uint8_t cos[kCosInfoSize];
        ctx.check(read_cos_info(transport(ctx, dev), cos));
        std::memcpy(info, cos, sizeof cos);
        *length = kCosInfoSize;
        return ERR_OK;
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceSerialNumber(DeviceHandle device, uint8_t* serial,
                                                                   uint32_t* length) {
    return run_export({"QXToken_GetDeviceSerialNumber"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        if (!serial) return ERR_OK;
        ctx.require(length != nullptr);
        const uint32_t minimum = static_cast<uint32_t>(std::max(state().config().serialNumberLen, 0));
        if (*length < minimum) {
            *length = minimum;
            return ERR_BUFFER_TOO_SMALL;
        }
        std::vector<uint8_t> text;
        ctx.check(read_serial_number(transport(ctx, dev), text));
        // Never more than the caller's buffer holds: a longer number asks for room.
        return ctx.deliver(text.data(), static_cast<uint32_t>(text.size()), serial, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceChannelType(DeviceHandle device) {
    return run_export({"QXToken_GetDeviceChannelType"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        return channel_status_word(transport(ctx, dev));
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDevicePressStatus(DeviceHandle device) {
    return run_export({"QXToken_GetDevicePressStatus"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        return press_status(transport(ctx, dev));
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetTokenDisplayLang(DeviceHandle device, uint32_t languageId) {
    return run_export({"QXToken_SetTokenDisplayLang"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        return set_display_language(transport(ctx, dev), languageId);
    });
}

}  // extern "C"
