// The one shape every kernel export has: optional entry trace, refusal of
// remote-desktop sessions, handle and argument checks, locks, a command
// object, the exception firewall and the optional leave trace.  An export is
// written as
//
//   return run_export({"QXToken_Foo", TraceCalls::Both}, [&](ExportContext& ctx) {
//       DeviceRecord& dev = ctx.device(handle, ERR_INVALID_HANDLE);
//       ctx.require(buffer != nullptr);
//       ctx.lock_token(dev);
//       auto& files = ctx.command<FileCommands>(dev);
//       return files.select(0x3F01);
//   });
//
// Anything thrown inside the body ends the call with its status: a
// KernelError with its own, std::bad_alloc with ERR_NO_MEMORY, anything else
// with ERR_FAILED.  Locks and command objects live until the body returns.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "QXTokenStatus.h"
#include "commands.h"
#include "handles.h"
#include "logical_lock.h"

namespace qx::kernel {

struct KernelError {
    uint32_t status;
};

enum class TraceCalls : uint8_t { None = 0, Enter = 1, Leave = 2, Both = 3 };

struct ExportShape {
    const char* name;
    TraceCalls trace = TraceCalls::None;
    bool refuseRemote = true;
};

class ExportContext {
public:
    ExportContext() = default;
    ExportContext(const ExportContext&) = delete;
    ExportContext& operator=(const ExportContext&) = delete;
    ~ExportContext() {
        commands_.clear();  // command objects go before the locks are released
        locks_.clear();
    }

    // The live device record behind `handle`; `wrongKind` (ERR_INVALID_HANDLE
    // or ERR_INVALID_PARAM, as the export prescribes) otherwise.
    DeviceRecord& device(void* handle, uint32_t wrongKind);

    // Fails the call with `status` unless `condition` holds.
    void require(bool condition, uint32_t status = ERR_INVALID_PARAM) {
        if (!condition) throw KernelError{status};
    }
    // Fails the call with `status` unless it is ERR_OK.
    void check(uint32_t status) {
        if (status != ERR_OK) throw KernelError{status};
    }

    // Takes the token's logical lock for the rest of the call.
    void lock_token(const DeviceRecord& device);

    // A command object bound to the device for the rest of the call.
    template <typename Command>
    Command& command(const DeviceRecord& device) {
        if (!device.device) throw KernelError{ERR_DEVICE_IO};
        auto object = std::make_unique<Command>(device.device);
        Command& ref = *object;
        commands_.push_back(std::move(object));
        return ref;
    }

    // The output-buffer convention: null `out` asks for the length; a short
    // buffer gets ERR_BUFFER_TOO_SMALL; both write the needed length back.
    uint32_t deliver(const void* data, uint32_t size, void* out, uint32_t* outLength);

    // A status recorded while working, returned when an exception ends the call.
    void record(uint32_t status) { recorded_ = status; }
    uint32_t recorded() const { return recorded_; }

private:
    std::vector<std::unique_ptr<LogicalLock>> locks_;
    std::vector<std::unique_ptr<CommandObject>> commands_;
    uint32_t recorded_ = ERR_FAILED;
};

// Steps that come before the body (entry trace, remote-session refusal);
// returns ERR_OK to go on.
uint32_t export_prologue(const ExportShape& shape);
void export_epilogue(const ExportShape& shape, uint32_t status);

template <typename Body>
uint32_t run_export(const ExportShape& shape, Body&& body) noexcept {
    uint32_t status = ERR_FAILED;
    try {
        status = export_prologue(shape);
        if (status == ERR_OK) {
            ExportContext ctx;
            try {
                status = body(ctx);
            } catch (const KernelError& e) {
                status = e.status;
            } catch (const std::bad_alloc&) {
                status = ERR_NO_MEMORY;
            } catch (...) {
                status = ctx.recorded();
            }
        }
    } catch (const std::bad_alloc&) {
        status = ERR_NO_MEMORY;
    } catch (...) {
        status = ERR_FAILED;
    }
    try {
        export_epilogue(shape, status);
    } catch (...) {
    }
    return status;
}

}  // namespace qx::kernel
