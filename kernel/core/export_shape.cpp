#include "export_shape.h"

#include <cstring>

#include "kernel_state.h"
#include "qx/platform/system.h"
#include "trace.h"

namespace qx::kernel {

namespace {
constexpr char kKernelSource[] = "QXTokenKernel";
}

DeviceRecord& ExportContext::device(void* handle, uint32_t wrongKind) {
    DeviceRecord* record = device_record(handle);
    if (!record) throw KernelError{wrongKind};
    return *record;
}

void ExportContext::lock_token(const DeviceRecord& device) {
    if (!device.device) throw KernelError{ERR_DEVICE_IO};
    auto lock = std::make_unique<LogicalLock>();
    check(lock->acquire(*device.device));
    locks_.push_back(std::move(lock));
}

uint32_t ExportContext::deliver(const void* data, uint32_t size, void* out, uint32_t* outLength) {
    if (!outLength) return ERR_INVALID_PARAM;
    if (!out) {
        *outLength = size;
        return ERR_OK;
    }
    if (*outLength < size) {
        *outLength = size;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (size) std::memcpy(out, data, size);
    *outLength = size;
    return ERR_OK;
}

uint32_t export_prologue(const ExportShape& shape) {
    if (static_cast<uint8_t>(shape.trace) & static_cast<uint8_t>(TraceCalls::Enter)) {
        trace(kTraceCalls, kKernelSource, __LINE__, "Enter %s", shape.name);
    }
    if (shape.refuseRemote && !state().exchange_settings().dezo && platform::is_remote_session()) {
        platform::debug_output(">>>>>RDP USER LOGIN<<<<");
        return ERR_REMOTE_SESSION;
    }
    return ERR_OK;
}

void export_epilogue(const ExportShape& shape, uint32_t status) {
    if (static_cast<uint8_t>(shape.trace) & static_cast<uint8_t>(TraceCalls::Leave)) {
        trace(kTraceCalls, kKernelSource, __LINE__, "Leave %s with dwRet = %x", shape.name, status);
    }
}

}  // namespace qx::kernel
