// PIN and security-state exports.
#include <cstring>
#include <vector>

#include "QXTokenKernel.h"
#include "config/soft_alg.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "pin/pin_security.h"
#include "qx/platform/system.h"

using namespace qx::kernel;

namespace {

constexpr uint32_t kMinPinLength = 2;
constexpr uint32_t kMaxOldPinLength = 128;

bool valid_kind(uint32_t kind) { return kind == kPinSo || kind == kPinUser; }

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// A private copy of a caller's PIN that is wiped when it goes.
struct PinCopy {
    std::vector<uint8_t> bytes;
    PinCopy(const char* pin, uint32_t length) : bytes(pin, pin + length) {}
    ~PinCopy() { secure_zero(bytes); }
};

}  // namespace

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ExternalAuth(DeviceHandle device) {
    return run_export({"QXToken_ExternalAuth"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        return external_auth(dev);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsMeetSecurityStatus(DeviceHandle device, uint32_t level) {
    // The answer is a truth value, so a refusal (remote session, bad handle)
    // must read as "not met" rather than as a non-zero status.
    const uint32_t met = run_export({"QXToken_IsMeetSecurityStatus", TraceCalls::None, false}, [&](ExportContext& ctx) {
        DeviceRecord* dev = device_record(device);
        if (!dev || !dev->device) return 0u;
        if (!state().exchange_settings().dezo && qx::platform::is_remote_session()) {
            qx::platform::debug_output(">>>>>RDP USER LOGIN<<<<");
            return 0u;
        }
        (void)ctx;
        PinOperations pins(*dev, current_pin_settings());
        return pins.level_met(level) ? 1u : 0u;
    });
    return met == 1 ? 1u : 0u;
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_VerifyPin(DeviceHandle device, uint32_t kind, char* pin,
                                                       uint32_t length) {
    return run_export({"QXToken_VerifyPin", TraceCalls::Enter}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_kind(kind) && pin != nullptr && length >= kMinPinLength);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        const PinSettings settings = current_pin_settings();
        PinCopy copy(pin, length);
        // Without a PIN cache the caller's copy is not left lying around.
        if (settings.cachePin == 0) secure_zero(pin, length);
        PinOperations pins(dev, settings);
        return pins.verify(kind, copy.bytes.data(), length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ChangePin(DeviceHandle device, uint32_t kind, const char* oldPin,
                                                       uint32_t oldLength, const char* newPin, uint32_t newLength) {
    return run_export({"QXToken_ChangePin"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_kind(kind) && newPin != nullptr && newLength >= kMinPinLength);
        ctx.require(oldLength <= kMaxOldPinLength && (oldPin != nullptr ? oldLength > 0 : oldLength == 0));
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.change(kind, oldPin ? bytes(oldPin) : nullptr, oldLength, bytes(newPin), newLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnlockPin(DeviceHandle device, uint32_t kind, const char* soPin,
                                                       uint32_t soLength, const char* newPin, uint32_t newLength) {
    return run_export({"QXToken_UnlockPin"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_kind(kind) && soPin != nullptr && soLength >= kMinPinLength && newPin != nullptr &&
                    newLength >= kMinPinLength);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.unlock(kind, bytes(soPin), soLength, bytes(newPin), newLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnlockPinEx(DeviceHandle device, uint32_t kind, const char* soPin,
                                                         uint32_t soLength, const char* newPin, uint32_t newLength) {
    return run_export({"QXToken_UnlockPinEx"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_kind(kind) && soPin != nullptr && soLength >= kMinPinLength && newPin != nullptr &&
                    newLength >= kMinPinLength);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.unlock_verified(kind, bytes(newPin), newLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetPinRetryNum(DeviceHandle device, uint32_t kind, uint32_t* count) {
    return run_export({"QXToken_GetPinRetryNum"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(valid_kind(kind) && count != nullptr);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.retries(kind, *count);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetPinStatus(DeviceHandle device, uint32_t* flags) {
    return run_export({"QXToken_GetPinStatus"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(flags != nullptr);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.read_flags(*flags);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetPinStatus(DeviceHandle device, uint32_t flags) {
    return run_export({"QXToken_SetPinStatus"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        PinOperations pins(dev, current_pin_settings());
        return pins.write_flags(flags);
    });
}

}  // extern "C"
