// The kernel's frame exports.
#include <cstdarg>
#include <cstring>
#include <string>

#include "QXTokenKernel.h"
#include "config/CU8Ini.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "core/lifecycle.h"
#include "core/trace.h"

using namespace qx::kernel;

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL InitQXToken(void) {
    return run_export({"InitQXToken", TraceCalls::None, false}, [](ExportContext&) { return kernel_initialise(); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL FreeQXToken(void) {
    return run_export({"FreeQXToken", TraceCalls::None, false}, [](ExportContext&) { return kernel_release(); });
}

QXTOKEN_EXPORT void QXToken_DebugTrace(uint32_t mask, const char* sourceFile, long line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        vtrace(mask, sourceFile, line, format, args);
    } catch (...) {
        // The trace never fails its caller.
    }
    va_end(args);
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetProviderName(char* name, uint32_t* length) {
    return run_export({"QXToken_GetProviderName", TraceCalls::None, false}, [&](ExportContext& ctx) {
        ctx.require(length != nullptr);
        std::string provider = state().config().cspName;
        if (provider.empty()) {
            CU8Ini ini;
            if (ini.LoadFile(state().config_path(), state().soft_alg_directory()) == 0) {
                provider = ini.GetString("QXTokenInfo", "CSPName", kNameBufferSize, kDefaultProviderName);
            }
        }
        if (provider.empty()) return ERR_COMMAND_FAILED;
        return ctx.deliver(provider.c_str(), static_cast<uint32_t>(provider.size() + 1), name, length);
    });
}

}  // extern "C"
