// QXUIExtend: the transaction exports.  Until the initialisation has
// succeeded they answer 0x6.
#include "QXUI.h"
#include "frame.h"
#include "qx/platform/export.h"
#include "transaction.h"

using namespace qx::uiext;

QX_EXPORT uint32_t QXUIEx_TransDataSign(DeviceHandle device, KeyHandle key, uint32_t hashAlg, const uint8_t* data,
                                        uint32_t length, uint8_t* signature, uint32_t* signatureLength) {
    return TransDataSign(device, key, hashAlg, data, length, signature, signatureLength);
}

QX_EXPORT uint32_t QXUIEx_ParseTransData(const uint8_t* data, uint32_t length) {
    if (!frame().ready()) return kNotLoaded;
    return ParseTransData(data, length);
}
