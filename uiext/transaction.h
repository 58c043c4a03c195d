// Transactions the person confirms on the token: the format check of the
// transaction text, the token's display language taken from it, and the
// signing sequence (negotiate, send the pieces, wait for the button, collect
// the signature).
#pragma once

#include <cstdint>

#include "QXUI.h"
#include "frame.h"
#include "transaction_text.h"

namespace qx::uiext {

// Sends the pieces of a negotiated transaction (the dialog's call-back).
uint32_t QXUI_CALL SendTransData(KeyHandle key, QXUI_DialogContext* context, const uint8_t* data, uint32_t length);

// QXUIEx_TransDataSign: a digest that is not a transaction method signs
// `data` as a hash; otherwise the transaction sequence.
uint32_t TransDataSign(DeviceHandle device, KeyHandle key, uint32_t hashAlg, const uint8_t* data, uint32_t length,
                       uint8_t* signature, uint32_t* signatureLength);

}  // namespace qx::uiext
