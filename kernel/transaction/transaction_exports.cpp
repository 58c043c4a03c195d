// Transaction exports: handle resolution and the export shape; the checks
// and the sub-commands are in transaction.cpp.
#include "QXTokenKernel.h"
#include "core/export_shape.h"
#include "core/kernel_state.h"
#include "key/key_object.h"
#include "transaction.h"

using namespace qx::kernel;

extern "C" {

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_NegotiateTransaction(KeyHandle key, uint32_t hashAlg, uint32_t pieceCount,
                                                                  uint32_t mode, const uint8_t* data,
                                                                  uint32_t length) {
    return run_export({"QXToken_NegotiateTransaction", TraceCalls::Both}, [&](ExportContext&) {
        return negotiate(key_from_handle(key), hashAlg, pieceCount, mode, data, length);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SignTransaction(KeyHandle key, uint32_t pieceNumber, const uint8_t* piece,
                                                             uint32_t pieceLength, uint8_t* output,
                                                             uint32_t* outputLength) {
    return run_export({"QXToken_SignTransaction", TraceCalls::Both}, [&](ExportContext&) {
        return send_piece(key_from_handle(key), pieceNumber, piece, pieceLength, output, outputLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTranSignature(KeyHandle key, uint8_t* signature,
                                                              uint32_t* signatureLength) {
    return run_export({"QXToken_GetTranSignature", TraceCalls::Both}, [&](ExportContext&) {
        return get_signature(key_from_handle(key), signature, signatureLength);
    });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CancelTransaction(KeyHandle key, DeviceHandle device) {
    return run_export({"QXToken_CancelTransaction", TraceCalls::Both},
                      [&](ExportContext&) { return cancel(key, device); });
}

QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsTranHashMeth(uint32_t hashAlg) {
    const uint32_t answer = run_export({"QXToken_IsTranHashMeth", TraceCalls::None, false}, [&](ExportContext&) {
        return is_transaction_hash_allowed(static_cast<uint32_t>(state().config().tranHashMeth), hashAlg);
    });
    // A failure inside can only be an exception: the digest is then not allowed.
    return answer == 1 ? 1 : 0;
}

}  // extern "C"
