/* QXUI: the dialog library the UI extension loads by name from its own
 * directory.  It draws the dialogs; the caller supplies call-backs that do
 * the work.  Every function returns a 32-bit status (0 = success) unless said
 * otherwise; the last argument is the language file path and the one before
 * it the constant 1.
 *
 * Text is UTF-16: wchar_t on Windows, char16_t elsewhere.  PIN, label and
 * message buffers hold QXUI_TEXT_UNITS units (520 bytes on every system).
 *
 * The dialog context handed to call-backs is {window, flag}.  Call-backs tell
 * the dialog about progress by *sending* (never posting: lParam may point at
 * a local) QXUI_MSG_WAIT_BUTTON (wParam 1, lParam 0) and QXUI_MSG_PIECE_SENT
 * (wParam 0, lParam -> 32-bit piece number) to that window.  On Windows the
 * window is an HWND (SendMessageW); elsewhere it is a QXUI_Window whose send
 * function the dialog provides.
 *
 * Call-backs run on a worker thread while the dialog keeps answering; a
 * call-back may open another dialog of this library from its own thread.
 * A dialog the person cancels, or that cannot be shown, returns
 * QXUI_CANCELLED. */
#ifndef QX_QXUI_H
#define QX_QXUI_H

#include <stddef.h>
#include <stdint.h>

#include "QXTokenKernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
typedef wchar_t QXUI_CHAR;
#define QXUI_CALL __stdcall
#else
typedef char16_t QXUI_CHAR;
#define QXUI_CALL
#endif

#define QXUI_TEXT_UNITS 260u
#define QXUI_DEVICE_ENTRY_BYTES 96u
#define QXUI_MSG_WAIT_BUTTON 0x5226u
#define QXUI_MSG_PIECE_SENT 0x522Bu
/* HRESULT of ERROR_CANCELLED. */
#define QXUI_CANCELLED 0x800704C7u
/* QXUI_MessageBox: the person confirmed. */
#define QXUI_CONFIRMED 1u

#if !defined(_WIN32)
/* The dialog window outside Windows: the dialog answers sent messages. */
typedef struct QXUI_Window QXUI_Window;
struct QXUI_Window {
    intptr_t (*send)(QXUI_Window* self, uint32_t message, uintptr_t wParam, intptr_t lParam);
};
#endif

typedef struct QXUI_DialogContext {
    void* window; /* HWND on Windows, QXUI_Window* elsewhere; may be null */
    uint32_t flag; /* wait dialog: set by the poll call-back once the window has been told to wait;
                      transfer dialog: non-zero from the dialog when it counts the pieces */
} QXUI_DialogContext;

typedef struct QXUI_DeviceEntry {
    uint8_t bytes[QXUI_DEVICE_ENTRY_BYTES]; /* the token label at the start, zero-filled */
} QXUI_DeviceEntry;

/* ---- call-backs ---- */
typedef uint32_t(QXUI_CALL* QXUI_VerifyPinCallback)(DeviceHandle device, uint32_t kind, QXUI_CHAR* pin,
                                                    QXUI_CHAR* message);
typedef uint32_t(QXUI_CALL* QXUI_ChangePinCallback)(DeviceHandle device, uint32_t kind, QXUI_CHAR* oldPin,
                                                    QXUI_CHAR* newPin, QXUI_CHAR* repeatPin, QXUI_CHAR* message);
typedef uint32_t(QXUI_CALL* QXUI_GenKeyPairCallback)(DeviceHandle device, uint32_t algorithm, uint32_t keyBits,
                                                     uint32_t keySpec, uint32_t flags, KeyHandle* key);
typedef uint32_t(QXUI_CALL* QXUI_PollCallback)(DeviceHandle device, KeyHandle key, QXUI_DialogContext* context,
                                               uint8_t* output, uint32_t* outputLength);
typedef uint32_t(QXUI_CALL* QXUI_SendDataCallback)(KeyHandle key, QXUI_DialogContext* context, const uint8_t* data,
                                                   uint32_t length);
typedef uint32_t(QXUI_CALL* QXUI_DevNameCallback)(DeviceHandle device, QXUI_CHAR* label, uint32_t set);
typedef uint32_t(QXUI_CALL* QXUI_DevInfoCallback)(DeviceHandle device, QXUI_CHAR* label, QXUI_CHAR* serial,
                                                  QXUI_CHAR* version1, QXUI_CHAR* version2);
typedef uint32_t(QXUI_CALL* QXUI_SetPinCallback)(DeviceHandle device, uint32_t kind, QXUI_CHAR* newPin,
                                                 QXUI_CHAR* repeatPin, QXUI_CHAR* message);
typedef uint32_t(QXUI_CALL* QXUI_InitTokenCallback)(DeviceHandle device, QXUI_CHAR* userPin, QXUI_CHAR* soPin,
                                                    QXUI_CHAR* label, QXUI_CHAR* message, uint32_t skipRules);
typedef uint32_t(QXUI_CALL* QXUI_UnlockPinCallback)(DeviceHandle device, QXUI_CHAR* soPin, QXUI_CHAR* newPin,
                                                    QXUI_CHAR* repeatPin, QXUI_CHAR* message);
/* Returns a certificate store handle, or 0. */
typedef uintptr_t(QXUI_CALL* QXUI_PfxCallback)(const void* blob, const QXUI_CHAR* password);
typedef uint32_t(QXUI_CALL* QXUI_SelectContainerCallback)(DeviceHandle device, const QXUI_CHAR* name, uint32_t flag);

/* ---- the dialogs, in the order the UI extension binds them ---- */
uint32_t QXUI_CALL QXUI_VerifyPin(QXUI_VerifyPinCallback callback, DeviceHandle device, uint32_t kind, uint32_t one,
                                  const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_ChangePin(QXUI_ChangePinCallback callback, DeviceHandle device, uint32_t kind, uint32_t one,
                                  uint32_t two, const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_SelectDevice(const QXUI_DeviceEntry* entries, uint32_t count, uint32_t* index, uint32_t one,
                                     const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_GenKeyPairProgress(QXUI_GenKeyPairCallback callback, DeviceHandle device, uint32_t algorithm,
                                           uint32_t keyBits, uint32_t keySpec, uint32_t flags, KeyHandle* key,
                                           uint32_t one, const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_WaitKeyPressEvent(QXUI_PollCallback callback, DeviceHandle device, KeyHandle key,
                                          uint32_t seconds, uint8_t* output, uint32_t* outputLength, uint32_t one,
                                          const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_WaitTransDataEvent(QXUI_SendDataCallback callback, KeyHandle key, const uint8_t* data,
                                           uint32_t length, uint32_t pieces, uint32_t one,
                                           const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_MessageBox(const QXUI_CHAR* text, const QXUI_CHAR* caption, uint32_t type, uint32_t one,
                                   const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_ChangeDevName(QXUI_DevNameCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                      uint32_t one, const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_ShowDevInfo(QXUI_DevInfoCallback callback, DeviceHandle device, uint32_t one,
                                    const QXUI_CHAR* languagePath);
/* Present for the binding only: always QXUI_CANCELLED. */
uint32_t QXUI_CALL QXUI_ShowKeyBoard(void* reserved, uint32_t one, const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_SetPin(QXUI_SetPinCallback callback, DeviceHandle device, uint32_t kind, uint32_t one,
                               const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_InitToken(QXUI_InitTokenCallback callback, DeviceHandle device, QXUI_CHAR* label,
                                  uint32_t one, const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_UnlockPin(QXUI_UnlockPinCallback callback, DeviceHandle device, uint32_t one,
                                  const QXUI_CHAR* languagePath);
/* Returns the call-back's store for the confirmed password, or 0. */
uintptr_t QXUI_CALL QXUI_VerifyImportCertPin(QXUI_PfxCallback callback, const void* blob, uint32_t one,
                                             const QXUI_CHAR* languagePath);
uint32_t QXUI_CALL QXUI_SelectContainer(QXUI_SelectContainerCallback callback,
                                        const QXUI_CHAR (*names)[QXUI_TEXT_UNITS], uint32_t count,
                                        DeviceHandle device, uint32_t flag, uint32_t one,
                                        const QXUI_CHAR* languagePath);

typedef uint32_t(QXUI_CALL* PFN_QXUI_VerifyPin)(QXUI_VerifyPinCallback, DeviceHandle, uint32_t, uint32_t,
                                                const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_ChangePin)(QXUI_ChangePinCallback, DeviceHandle, uint32_t, uint32_t, uint32_t,
                                                const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_SelectDevice)(const QXUI_DeviceEntry*, uint32_t, uint32_t*, uint32_t,
                                                   const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_GenKeyPairProgress)(QXUI_GenKeyPairCallback, DeviceHandle, uint32_t, uint32_t,
                                                         uint32_t, uint32_t, KeyHandle*, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_WaitKeyPressEvent)(QXUI_PollCallback, DeviceHandle, KeyHandle, uint32_t,
                                                        uint8_t*, uint32_t*, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_WaitTransDataEvent)(QXUI_SendDataCallback, KeyHandle, const uint8_t*, uint32_t,
                                                         uint32_t, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_MessageBox)(const QXUI_CHAR*, const QXUI_CHAR*, uint32_t, uint32_t,
                                                 const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_ChangeDevName)(QXUI_DevNameCallback, DeviceHandle, QXUI_CHAR*, uint32_t,
                                                    const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_ShowDevInfo)(QXUI_DevInfoCallback, DeviceHandle, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_ShowKeyBoard)(void*, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_SetPin)(QXUI_SetPinCallback, DeviceHandle, uint32_t, uint32_t, const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_InitToken)(QXUI_InitTokenCallback, DeviceHandle, QXUI_CHAR*, uint32_t,
                                                const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_UnlockPin)(QXUI_UnlockPinCallback, DeviceHandle, uint32_t, const QXUI_CHAR*);
typedef uintptr_t(QXUI_CALL* PFN_QXUI_VerifyImportCertPin)(QXUI_PfxCallback, const void*, uint32_t,
                                                           const QXUI_CHAR*);
typedef uint32_t(QXUI_CALL* PFN_QXUI_SelectContainer)(QXUI_SelectContainerCallback, const QXUI_CHAR (*)[QXUI_TEXT_UNITS],
                                                      uint32_t, DeviceHandle, uint32_t, uint32_t, const QXUI_CHAR*);

#ifdef __cplusplus
}
#endif

#endif /* QX_QXUI_H */
