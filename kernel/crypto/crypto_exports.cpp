// Random numbers and message digests, in host software or on the token.
#include <memory>
#include <vector>

#include "QXTokenKernel.h"
#include "config/soft_alg.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "crypto/block_padding.h"
#include "crypto/token_crypto.h"

using namespace qx::kernel;

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenRandom(DeviceHandle device, uint32_t length, uint32_t onToken,
                                                       uint8_t* output) {
    return run_export({"QXToken_GenRandom"}, [&](ExportContext& ctx) {
        ctx.require(length != 0 && output != nullptr);
        if (!onToken) return random_bytes(output, length) ? ERR_OK : ERR_COMMAND_FAILED;
        DeviceRecord& dev = ctx.device(device, ERR_INVALID_PARAM);
        return ctx.command<TokenCryptoCommands>(dev).random(output, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_MessageDigest(void* handle, const uint8_t* data, uint32_t length,
                                                           uint32_t digestId, uint32_t onToken, uint8_t* output,
                                                           uint32_t* outputLength) {
    return run_export({"QXToken_MessageDigest"}, [&](ExportContext& ctx) {
        ctx.require(data != nullptr && length != 0 && outputLength != nullptr);
        if (onToken) {
            DeviceRecord& dev = ctx.device(handle, ERR_INVALID_PARAM);
            ctx.require(token_digest_code(digestId) >= 0);
            const uint32_t size = digest_size(digestId);
            // Callers size their buffer by asking without one; that answer
            // has always come with ERR_BUFFER_TOO_SMALL.
            if (!output || *outputLength < size) {
                *outputLength = size;
                return ERR_BUFFER_TOO_SMALL;
            }
            ctx.check(ctx.command<TokenCryptoCommands>(dev).digest(digestId, data, length, output));
            *outputLength = size;
            return ERR_OK;
        }
        const SoftAlgFunctions fns = state().soft_alg();
        ctx.require(fns.complete(), ERR_FAILED);
        std::unique_ptr<MessageDigest, PFN_QXDestroyMessageDigest> md(fns.createDigest(digestId), fns.destroyDigest);
        ctx.require(md != nullptr);
        uint32_t size = 0;
        ctx.check(md->Digest(data, length, nullptr, &size));
        if (!output || *outputLength < size) {
            *outputLength = size;
            return ERR_BUFFER_TOO_SMALL;
        }
        *outputLength = size;
        return md->Digest(data, length, output, outputLength);
    });
}

}  // extern "C"
