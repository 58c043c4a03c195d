// Token initialisation export.
#include "QXTokenKernel.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "init/token_init.h"

using namespace qx::kernel;

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_InitToken(DeviceHandle device, const char* userPin, uint32_t userPinLength,
                                                       const char* soPin, uint32_t soPinLength, const uint8_t* label,
                                                       uint32_t labelLength) {
    return run_export({"QXToken_InitToken"}, [&](ExportContext& ctx) {
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_HANDLE);
        ctx.require(dev.device != nullptr, ERR_DEVICE_IO);
        // The record's label field holds 32 bytes; a longer label is refused
        // before the token is touched instead of running past the field.
        ctx.require(!label || labelLength <= kRecordLabelSize);
        InitRequest request;
        request.userPin = reinterpret_cast<const uint8_t*>(userPin);
        request.userPinLength = userPin ? userPinLength : 0;
        request.soPin = reinterpret_cast<const uint8_t*>(soPin);
        request.soPinLength = soPin ? soPinLength : 0;
        request.label = label;
        request.labelLength = label ? labelLength : 0;
        return initialise_token(dev, state().config(), request);
    });
}

}  // extern "C"
