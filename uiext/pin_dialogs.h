// PIN operations of the UI extension: the four PIN dialogs with their
// call-backs, the two dialog-less operations of the cryptographic
// providers, and the poll of the token's button.  All work through frame().
#pragma once

#include <cstdint>

#include "QXUI.h"
#include "frame.h"

namespace qx::uiext {

// The dialog call-backs (exposed for the tests).
uint32_t QXUI_CALL VerifyPinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* pin, QXUI_CHAR* message);
uint32_t QXUI_CALL ChangePinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* oldPin, QXUI_CHAR* newPin,
                                     QXUI_CHAR* repeatPin, QXUI_CHAR* message);
uint32_t QXUI_CALL SetPinCallback(DeviceHandle device, uint32_t kind, QXUI_CHAR* newPin, QXUI_CHAR* repeatPin,
                                  QXUI_CHAR* message);
uint32_t QXUI_CALL UnlockPinCallback(DeviceHandle device, QXUI_CHAR* soPin, QXUI_CHAR* newPin, QXUI_CHAR* repeatPin,
                                     QXUI_CHAR* message);

// Polls the token until the person pressed its button (0), the token
// refused, or the wait's time plus five seconds ran out (the transaction is
// cancelled, 1).  A token asking for the PIN (0x7005) gets one PIN dialog
// per wait on a thread of its own; the poll resumes when it ends.
uint32_t QXUI_CALL PollTokenButton(DeviceHandle device, KeyHandle key, QXUI_DialogContext* context, uint8_t* output,
                                   uint32_t* outputLength);
// The poll limit the next PollTokenButton runs under, in milliseconds.
void SetPollLimit(uint64_t milliseconds);
// Waits for the button through the dialog library: "PINOperateWaitTime".
uint32_t WaitForButton(DeviceHandle device);

uint32_t VerifyPin(DeviceHandle device, uint32_t kind);
uint32_t ChangePin(DeviceHandle device, uint32_t kind);
uint32_t SetPin(DeviceHandle device, uint32_t kind);
uint32_t UnlockPin(DeviceHandle device);
uint32_t VerifyPinForCSPKCS(DeviceHandle device, uint32_t kind, const char* pin, uint32_t length);
uint32_t ChangePinForCSPKCS(DeviceHandle device, uint32_t kind, const char* oldPin, uint32_t oldLength,
                            const char* newPin, uint32_t newLength);

}  // namespace qx::uiext
