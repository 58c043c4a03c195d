// The PIN-cache exports.
#include "QXTokenKernel.h"
#include "core/export_shape.h"
#include "shm/pin_cache.h"

using namespace qx::kernel;

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteShmPin(DeviceHandle handle, const uint8_t* pin, uint32_t length) {
    return run_export({"QXToken_WriteShmPin"}, [&](ExportContext& ctx) {
        return cache_pin(ctx.device(handle, ERR_INVALID_HANDLE), pin, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadShmPin(DeviceHandle handle, uint8_t* pin, uint32_t* length,
                                                        uint32_t mode) {
    return run_export({"QXToken_ReadShmPin"}, [&](ExportContext& ctx) {
        return read_cached_pin(ctx.device(handle, ERR_INVALID_HANDLE), pin, length, mode);
    });
}

}  // extern "C"
