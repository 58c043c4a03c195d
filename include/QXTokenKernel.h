/* QXTokenKernel: the token kernel's exported interface.
 *
 * Every export returns a 32-bit status (QXTokenStatus.h); 0 is success.
 * Handles are opaque: pass back only what the kernel handed out. */
#ifndef QX_TOKEN_KERNEL_H
#define QX_TOKEN_KERNEL_H

#include <stdint.h>

#include "QXTokenStatus.h"

#ifdef _WIN32
#define QXTOKEN_CALL __stdcall
#define QXTOKEN_EXPORT
#else
#define QXTOKEN_CALL
#define QXTOKEN_EXPORT __attribute__((visibility("default")))
#endif

/* Trace masks of QXToken_DebugTrace. */
#define QXTOKEN_TRACE_CALLS 256u
#define QXTOKEN_TRACE_TRANSPORT 1024u
#define QXTOKEN_TRACE_APDU 2048u

#ifdef __cplusplus
extern "C" {
#endif

typedef void* DeviceHandle;
typedef void* ContainerHandle;
typedef void* KeyHandle;

/* Loads QXDevice and QXSoftAlg from the kernel's directory, reads Config.ini,
 * counts this process in and opens the kernel's shared memory.  Runs when the
 * library is loaded; calling it again repeats the whole sequence. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL InitQXToken(void);
/* Undoes InitQXToken; runs when the library is unloaded. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL FreeQXToken(void);
/* Writes one trace line when mask shares a bit with the Debug value of Config.ini. */
QXTOKEN_EXPORT void QXToken_DebugTrace(uint32_t mask, const char* sourceFile, long line, const char* format, ...);
/* The provider name, NUL included in *length.  name null: length only; short: ERR_BUFFER_TOO_SMALL. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetProviderName(char* name, uint32_t* length);

typedef uint32_t(QXTOKEN_CALL* PFN_InitQXToken)(void);
typedef uint32_t(QXTOKEN_CALL* PFN_FreeQXToken)(void);
typedef void (*PFN_QXToken_DebugTrace)(uint32_t mask, const char* sourceFile, long line, const char* format, ...);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetProviderName)(char* name, uint32_t* length);

/* ---- Devices: enumeration, opening and closing ----
 * Channel types: 1 CCID reader, 16 USB mass storage, 256 HID.  Device handles
 * made by enumeration belong to the enumerating thread and are freed by its
 * QXToken_DestroyEnum (while not open); handles of the open-by-name exports
 * are freed by QXToken_CloseDevice. */

/* Always 0.  *type: 0 unless the name matches QXFilterWords, else the OR of
 * the enabled channels whose filter words the name matches. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsSupportDev(const char* name, uint32_t* type);
/* Lists the supported tokens.  handles null: *count = number found.  Otherwise
 * *count is the array's capacity: too small gives ERR_BUFFER_TOO_SMALL with
 * the number found; on success *count = handles written. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_EnumDevice(uint32_t* count, DeviceHandle* handles);
/* Frees the calling thread's enumerated handles whose device is not open. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DestroyEnum(void);
/* Opens, checks and authenticates the named token; on failure no handle. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDeviceByName(const char* name, DeviceHandle* handle);
/* Opens the named token without card-OS checks and authenticates; when the
 * authentication fails its status is returned with the handle still open
 * (a blank token has no keys): the caller closes it. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDevByNameDEZO(const char* name, DeviceHandle* handle);
/* Opens and authenticates an enumerated handle's token. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenDeviceByHandle(DeviceHandle handle);
/* Closes the device (and frees handles of the open-by-name exports). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseDevice(DeviceHandle handle);
/* Resets the token.  *length is the capacity of atr and must be at least 64
 * (else ERR_BUFFER_TOO_SMALL with 64, nothing reset); then the answer's length. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ResetDevice(DeviceHandle handle, uint8_t* atr, uint32_t* length);
/* Do nothing (kept for callers that still call them). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_AddDevice(const char* name, uint32_t value);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RemoveDevice(const char* name);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceType(DeviceHandle handle, uint32_t* type);
/* 1 when the device is open, 0 when not. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceStatus(DeviceHandle handle, uint32_t* status);
/* name must hold 260 bytes: the name (at most 259 characters) and a NUL. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceName(DeviceHandle handle, char* name);
/* The token identity bytes (at most 32): atr null asks for the length; a
 * shorter *length gives ERR_BUFFER_TOO_SMALL with the length needed. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceATR(DeviceHandle handle, uint8_t* atr, uint32_t* length);
/* Slot numbers of tokens that came or went between the last two enumerations;
 * slots must hold 16 entries (null: count only). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceChange(uint32_t* slots, uint32_t* count);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceSlotNO(DeviceHandle handle, uint32_t* slot);

/* ---- PIN cache in shared memory ---- */
/* Enciphers the PIN under the token's key and caches it for the device's slot
 * (0 to 3) in this process's row.  Enciphered over 254 bytes (a PIN of 248
 * bytes or more): ERR_BUFFER_TOO_SMALL. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteShmPin(DeviceHandle handle, const uint8_t* pin, uint32_t length);
/* mode 1: this process's cached PIN; 2: the first one cached by any process.
 * pin null asks for the length; short: ERR_BUFFER_TOO_SMALL; nothing cached: ERR_NOT_FOUND. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadShmPin(DeviceHandle handle, uint8_t* pin, uint32_t* length,
                                                        uint32_t mode);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_IsSupportDev)(const char*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_EnumDevice)(uint32_t*, DeviceHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DestroyEnum)(void);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_OpenDeviceByName)(const char*, DeviceHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_OpenDevByNameDEZO)(const char*, DeviceHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_OpenDeviceByHandle)(DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_CloseDevice)(DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ResetDevice)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_AddDevice)(const char*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_RemoveDevice)(const char*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceType)(DeviceHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceStatus)(DeviceHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceName)(DeviceHandle, char*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceATR)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceChange)(uint32_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceSlotNO)(DeviceHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_WriteShmPin)(DeviceHandle, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ReadShmPin)(DeviceHandle, uint8_t*, uint32_t*, uint32_t);
/* ---- end of devices and PIN cache ---- */

/* ---- PINs and security state ------------------------------------------
 * PIN kinds: 0 the SO (administrator) PIN, 1 the user PIN.  PINs are 8-bit
 * text of at least 2 bytes.  A handle of the wrong kind gives
 * ERR_INVALID_HANDLE. */
#define QXTOKEN_PIN_SO 0u
#define QXTOKEN_PIN_USER 1u
/* Bits of the PIN-state flags word (QXToken_GetPinStatus). */
#define QXTOKEN_FLAG_USER_PIN_LOCKED 0x40000u
#define QXTOKEN_FLAG_USER_PIN_DEFAULT 0x80000u
#define QXTOKEN_FLAG_SO_PIN_LOCKED 0x400000u
#define QXTOKEN_FLAG_SO_PIN_DEFAULT 0x800000u

/* Authenticates the kernel to the token again. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ExternalAuth(DeviceHandle device);
/* 1 when the security level (0, 1 authenticated, 2 SO PIN, 3 user PIN, 15) is met, else 0. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsMeetSecurityStatus(DeviceHandle device, uint32_t level);
/* ERR_PIN_INCORRECT (tries left: QXToken_GetPinRetryNum), ERR_PIN_LOCKED, or
 * ERR_PIN_MUST_CHANGE while the user PIN is the default.  With CachePIN = 0
 * the caller's PIN buffer is zeroed. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_VerifyPin(DeviceHandle device, uint32_t kind, char* pin, uint32_t length);
/* oldPin null with oldLength 0: the configured default PIN is the old PIN. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ChangePin(DeviceHandle device, uint32_t kind, const char* oldPin,
                                                       uint32_t oldLength, const char* newPin, uint32_t newLength);
/* Verifies the SO PIN, then sets a new PIN of `kind` and unblocks it. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnlockPin(DeviceHandle device, uint32_t kind, const char* soPin,
                                                       uint32_t soLength, const char* newPin, uint32_t newLength);
/* As QXToken_UnlockPin, with the SO PIN already verified (else ERR_COMMAND_FAILED). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnlockPinEx(DeviceHandle device, uint32_t kind, const char* soPin,
                                                         uint32_t soLength, const char* newPin, uint32_t newLength);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetPinRetryNum(DeviceHandle device, uint32_t kind, uint32_t* count);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetPinStatus(DeviceHandle device, uint32_t* flags);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetPinStatus(DeviceHandle device, uint32_t flags);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ExternalAuth)(DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_IsMeetSecurityStatus)(DeviceHandle, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_VerifyPin)(DeviceHandle, uint32_t, char*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ChangePin)(DeviceHandle, uint32_t, const char*, uint32_t, const char*,
                                                      uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_UnlockPin)(DeviceHandle, uint32_t, const char*, uint32_t, const char*,
                                                      uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_UnlockPinEx)(DeviceHandle, uint32_t, const char*, uint32_t, const char*,
                                                        uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetPinRetryNum)(DeviceHandle, uint32_t, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetPinStatus)(DeviceHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetPinStatus)(DeviceHandle, uint32_t);

/* ---- Token information and files ----------------------------------------
 * Output buffers: null asks for the length; short gives ERR_BUFFER_TOO_SMALL
 * with the needed length written back. */
#define QXTOKEN_TOKEN_INFO_SIZE 160u
#define QXTOKEN_LABEL_SIZE 24u
#define QXTOKEN_COS_INFO_SIZE 16u

/* The 160-byte token information record (label, manufacturer, model, serial
 * number, flags, PIN lengths, versions, time). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTokenInfo(DeviceHandle device, uint8_t* info, uint32_t* length);
/* The label without trailing spaces; the buffer must hold 24 bytes. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTokenLabel(DeviceHandle device, uint8_t* label, uint32_t* length);
/* 1 to 24 bytes, else ERR_INVALID_HANDLE. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetTokenLabel(DeviceHandle device, const uint8_t* label, uint32_t length);
/* Files 0 to 10 are the kernel's own (ERR_INVALID_HANDLE); *length in: wanted, out: read. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadBinFile(DeviceHandle device, uint32_t fileId, uint32_t offset,
                                                         uint8_t* buffer, uint32_t* length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteBinFile(DeviceHandle device, uint32_t fileId, uint32_t offset,
                                                          const uint8_t* data, uint32_t length);
/* The 16 bytes of card-OS information; null buffer: ERR_OK and nothing else. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetCOSInfo(DeviceHandle device, uint8_t* info, uint32_t* length);
/* The serial number (the token's, else 12 hexadecimal characters of its identity). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceSerialNumber(DeviceHandle device, uint8_t* serial,
                                                                   uint32_t* length);
/* The status word the token answers to the channel question (0 when it cannot be asked). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDeviceChannelType(DeviceHandle device);
/* ERR_OK once the button is pressed for a waiting transaction, else its transaction status. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetDevicePressStatus(DeviceHandle device);
/* A Windows language identifier: 2052 simplified Chinese, 1028/3076/4100 traditional, else English. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetTokenDisplayLang(DeviceHandle device, uint32_t languageId);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetTokenInfo)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetTokenLabel)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetTokenLabel)(DeviceHandle, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ReadBinFile)(DeviceHandle, uint32_t, uint32_t, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_WriteBinFile)(DeviceHandle, uint32_t, uint32_t, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetCOSInfo)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceSerialNumber)(DeviceHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDeviceChannelType)(DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetDevicePressStatus)(DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetTokenDisplayLang)(DeviceHandle, uint32_t);

/* ---- Token initialisation ------------------------------------------------
 * Erases the token and makes it a fresh, empty token.  Null PINs stand for
 * DefaultPIN / DefaultSOPIN (longer than 128 bytes: ERR_COMMAND_FAILED); a
 * null or empty label for DefaultLabel; a label longer than 32 bytes is
 * refused with ERR_INVALID_PARAM. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_InitToken(DeviceHandle device, const char* userPin, uint32_t userPinLength,
                                                       const char* soPin, uint32_t soPinLength, const uint8_t* label,
                                                       uint32_t labelLength);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_InitToken)(DeviceHandle, const char*, uint32_t, const char*, uint32_t,
                                                      const uint8_t*, uint32_t);

/* ---- Containers ----------------------------------------------------------
 * Named holders for an exchange (key spec 1) and a signature (key spec 2) key
 * pair.  Names are 1 to 259 characters, compared byte for byte.  Types: 1 RSA,
 * 2 SM2, 4, 8.  A handle that is not a live container (closed, deleted,
 * discarded by a new enumeration or by initialisation) gives ERR_INVALID_PARAM. */
#define QXTOKEN_CONTAINER_RSA 1u
#define QXTOKEN_CONTAINER_SM2 2u

/* *position 0 starts an enumeration (the device's cached containers are
 * discarded and the table read again); each call returns the next container
 * whose type shares a bit with typeMask and advances *position.  No more:
 * ERR_NO_CONTAINER with *position unchanged.  The handles have open count 0. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_EnumContainer(DeviceHandle device, uint32_t typeMask,
                                                           uint32_t* position, ContainerHandle* container);
/* Opening a name twice gives the same handle; each open needs its close. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_OpenContainer(DeviceHandle device, const char* name,
                                                           ContainerHandle* container);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseContainer(ContainerHandle container);
/* ERR_CONTAINER_EXISTS (unless IsDEZORivov), ERR_CONTAINER_FULL. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CreateContainer(DeviceHandle device, const char* name, uint32_t type,
                                                             ContainerHandle* container);
/* Frees the record; the handle is gone whatever its open count. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteContainerByHandle(ContainerHandle container);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteContainerByName(DeviceHandle device, const char* name);
/* Writes the container's fields to its record. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UpdateContainer(ContainerHandle container);
/* *length: the name's length plus its NUL.  A null or short buffer gives
 * ERR_BUFFER_TOO_SMALL with that length. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerName(ContainerHandle container, char* name,
                                                              uint32_t* length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerType(ContainerHandle container, uint32_t* type);
/* Writes the record only when writeNow is non-zero; returns that write's status. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetContainerType(ContainerHandle container, uint32_t type,
                                                              uint32_t writeNow);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetContainerStatus(ContainerHandle container, uint32_t* status);
/* Stores any value and writes the record; returns the write's status. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetContainerStatus(ContainerHandle container, uint32_t status);
/* The slot of the certificate for key spec 1 or 2; ERR_KEY_NOT_IN_CONTAINER when there is none. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetCertIndexFormContainer(ContainerHandle container, uint32_t keySpec,
                                                                       uint32_t* index);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_EnumContainer)(DeviceHandle, uint32_t, uint32_t*, ContainerHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_OpenContainer)(DeviceHandle, const char*, ContainerHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_CloseContainer)(ContainerHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_CreateContainer)(DeviceHandle, const char*, uint32_t, ContainerHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DeleteContainerByHandle)(ContainerHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DeleteContainerByName)(DeviceHandle, const char*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_UpdateContainer)(ContainerHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetContainerName)(ContainerHandle, char*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetContainerType)(ContainerHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetContainerType)(ContainerHandle, uint32_t, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetContainerStatus)(ContainerHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetContainerStatus)(ContainerHandle, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetCertIndexFormContainer)(ContainerHandle, uint32_t, uint32_t*);

/* ---- Random numbers, session keys and digests ------------------------------
 * Symmetric algorithms: 0x100 DES, 0x200 two-key and 0x300 three-key triple
 * DES, 0x400 AES, 0x600 SM4, 0x800 RC2, 0x1100 RC4 (in host software); 0x500
 * and 0x700 the token's own ciphers.  Modes 1 CBC, 2 ECB; paddings 0 none,
 * 1 PKCS #7, 2 random bytes and count, 3 zeros, 4 zeros and count, 5 0x80 and
 * zeros.  Digest identifiers 1 MD2, 2 MD4, 3 MD5, 4 SHA-1, 5 SHA-256, 6 SHA-384,
 * 7 SHA-512, 16 SM3 (on the token: 4, 5 and 16). */

/* length random bytes: from the system's generator (onToken 0) or the token's. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenRandom(DeviceHandle device, uint32_t length, uint32_t onToken,
                                                       uint8_t* output);
/* A new session key of keyBits bits: random, or the front of MD5(data) || SHA-1(data)
 * (at most 288 bits).  Lengths the cipher cannot take: ERR_INVALID_PARAM. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenSessionKey(DeviceHandle device, uint32_t algorithm, uint32_t keyBits,
                                                           const uint8_t* data, uint32_t dataLength, uint32_t flags,
                                                           KeyHandle* key);
/* Salt and vector: buffer null asks for the length; none present: ERR_INVALID_HANDLE.
 * Setting with length 0 keeps the present length; setting the vector selects CBC. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeySalt(KeyHandle key, uint8_t* salt, uint32_t* length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeySalt(KeyHandle key, const uint8_t* salt, uint32_t length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyIV(KeyHandle key, uint8_t* iv, uint32_t* length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyIV(KeyHandle key, const uint8_t* iv, uint32_t length);
/* Padding of any key (RSA keys: 0 raw, 6 PKCS #1). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyPadding(KeyHandle key, uint32_t* padding);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyPadding(KeyHandle key, uint32_t padding);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyMode(KeyHandle key, uint32_t* mode);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyMode(KeyHandle key, uint32_t mode);
/* Only in modes 3 and 4, else ERR_INVALID_HANDLE. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyFeedBackLenBit(KeyHandle key, uint32_t* bits);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyFeedbackLenBit(KeyHandle key, uint32_t bits);
/* Only for RC4, else ERR_INVALID_HANDLE. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSymKeyEffectiveLenBit(KeyHandle key, uint32_t* bits);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetSymKeyEffectLenBit(KeyHandle key, uint32_t bits);
/* The digest of data, in software or (onToken non-zero, device handle) on the
 * token.  Output null or short: ERR_BUFFER_TOO_SMALL with the digest size. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_MessageDigest(void* handle, const uint8_t* data, uint32_t length,
                                                           uint32_t digestId, uint32_t onToken, uint8_t* output,
                                                           uint32_t* outputLength);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GenRandom)(DeviceHandle, uint32_t, uint32_t, uint8_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GenSessionKey)(DeviceHandle, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                                          uint32_t, KeyHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetSymKeyBytes)(KeyHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetSymKeyBytes)(KeyHandle, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetSymKeyValue)(KeyHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetSymKeyValue)(KeyHandle, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_MessageDigest)(void*, const uint8_t*, uint32_t, uint32_t, uint32_t,
                                                          uint8_t*, uint32_t*);

/* ---- Key objects, key pairs, signing and encryption ----------------------
 * Algorithms 0x20000 RSA and 0x10000 SM2 (key pairs in numbered slots on the
 * token; slot 0 is a public key held in host memory); key specs 1 exchange,
 * 2 signature.  Key blocks: RsaPublicKeyBlock (516 bytes), RsaPrivateKeyBlock
 * (1412), SM2 public (132: bits, X, Y), private (196: bits, X, Y, d; or 68:
 * bits, d), numbers big-endian and right-aligned in 64-byte fields.  A closed
 * or stale key handle is refused like one never handed out. */

/* A new key pair in a free slot of the range "RSA<bits>"/"SM2<bits>"; *key, when
 * it is a live key pair of this device and algorithm, is generated again in its
 * slot (and destroyed when that fails). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GenAsymKey(DeviceHandle device, uint32_t algorithm, uint32_t keyBits,
                                                        uint32_t keySpec, uint32_t flags, KeyHandle* key);
/* Imports a key block (unwrapped first with wrappingKey when one is given). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ImportKey(DeviceHandle device, KeyHandle wrappingKey, uint32_t reserved,
                                                       uint32_t algorithm, uint32_t keySpec, const uint8_t* data,
                                                       uint32_t length, KeyHandle* key);
/* Destroys the key object; a key pair stays in its slot. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CloseKey(KeyHandle key);
/* A copy of a key object (kind must be 3). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DuplicateObject(KeyHandle key, uint32_t kind, KeyHandle* copy);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyAlgID(KeyHandle key, uint32_t* algorithm);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyLen(KeyHandle key, uint32_t* bits);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyBlockLen(KeyHandle key, uint32_t* bits);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeySpec(KeyHandle key, uint32_t* keySpec);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeyIndex(KeyHandle key, uint32_t* slot);
/* The key buffer: a key pair's public key block (read from the token when
 * needed).  The device argument is not used. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetKeyBuffer(DeviceHandle device, KeyHandle key, uint8_t* buffer,
                                                          uint32_t* length);
/* Replaces the key buffer's bytes; length must be its size. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SetKeyBuffer(DeviceHandle device, KeyHandle key, const uint8_t* data,
                                                          uint32_t length);
/* A key object for the container's key pair of keySpec. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetAsymKeyFormContainer(ContainerHandle container, uint32_t keySpec,
                                                                     KeyHandle* key);
/* Binds a key pair of the container's token (slot 1 to 30) to the container. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UpdateAsymKeyToContainer(ContainerHandle container, KeyHandle key);
/* RSA: PKCS #1 v1.5 (flag: with the DigestInfo of hashAlg 1-5, 8 none; hashAlg 0:
 * the hash is the whole block).  SM2: hashAlg 16 signs SM3(Z_A || message),
 * otherwise the 32-byte e.  Short signature buffer: ERR_BUFFER_TOO_SMALL. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SignHash(KeyHandle key, uint32_t flag, uint32_t hashAlg,
                                                      const uint8_t* hash, uint32_t hashLength, uint8_t* signature,
                                                      uint32_t* signatureLength);
/* 0 when the signature verifies, ERR_COMMAND_FAILED when it does not. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_VerifyHash(KeyHandle key, uint32_t flag, uint32_t hashAlg,
                                                        const uint8_t* hash, uint32_t hashLength,
                                                        const uint8_t* signature, uint32_t signatureLength);
/* Z_A (32 bytes) of an SM2 key with the identity "1234567812345678". */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetSM3DigestZA(KeyHandle key, uint8_t* za, uint32_t* length);
/* final non-zero ends a message.  RSA decryption is raw unless final is 3
 * (PKCS #1 v1.5 from then on); SM2 ciphertext is C1 (X, Y) || C3 || C2. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_Encrypt(KeyHandle key, uint32_t final, const uint8_t* input,
                                                     uint32_t inputLength, uint8_t* output, uint32_t* outputLength);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_Decrypt(KeyHandle key, uint32_t final, const uint8_t* input,
                                                     uint32_t inputLength, uint8_t* output, uint32_t* outputLength);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GenAsymKey)(DeviceHandle, uint32_t, uint32_t, uint32_t, uint32_t,
                                                       KeyHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ImportKey)(DeviceHandle, KeyHandle, uint32_t, uint32_t, uint32_t,
                                                      const uint8_t*, uint32_t, KeyHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_CloseKey)(KeyHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DuplicateObject)(KeyHandle, uint32_t, KeyHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetKeyValue)(KeyHandle, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetKeyBuffer)(DeviceHandle, KeyHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SetKeyBuffer)(DeviceHandle, KeyHandle, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetAsymKeyFormContainer)(ContainerHandle, uint32_t, KeyHandle*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_UpdateAsymKeyToContainer)(ContainerHandle, KeyHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SignHash)(KeyHandle, uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                                     uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_VerifyHash)(KeyHandle, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                                       const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetSM3DigestZA)(KeyHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_Encrypt)(KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                                    uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_Decrypt)(KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                                    uint32_t*);

/* ---- Certificates: on the token, in the user's store, in shared memory -------
 * A token holds one DER certificate per key-pair slot 1 to 30.  Store names
 * are 1 to 64 ASCII letters or digits ("MY", "ca", "root"), UTF-16 text. */
#if defined(_WIN32)
typedef wchar_t QXWCHAR;
#elif defined(__cplusplus)
typedef char16_t QXWCHAR;
#else
typedef uint_least16_t QXWCHAR;
#endif

/* buffer null: *length = the certificate's length.  A short buffer gives
 * ERR_BUFFER_TOO_SMALL and leaves *length as it was.  No certificate, or a
 * token answer of another length than announced: ERR_COMMAND_FAILED. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadCert(DeviceHandle device, uint32_t slot, uint8_t* buffer,
                                                      uint32_t* length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_WriteCert(DeviceHandle device, uint32_t slot, const uint8_t* data,
                                                       uint32_t length);
/* Unbinds the slot from the first container naming it (a container left
 * without key pairs is freed); cert, when given, leaves the certificate cache. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteUserCert(DeviceHandle device, uint32_t slot, const uint8_t* cert,
                                                            uint32_t certLength);
/* Adds the certificate to "MY" with the key provider (container, CSPName,
 * type 1, keySpec); commonName, when given, receives the subject's common
 * name (8-bit system text, 1024 bytes with the terminator). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegUserCert(const uint8_t* cert, uint32_t length, const char* container,
                                                         uint32_t keySpec, char* commonName);
/* Removes the first certificate of "MY" with the same issuer and serial number. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_UnRegUserCert(const uint8_t* cert, uint32_t length);
/* 1 when added (an equal certificate already there is kept), else 0. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegCertToStore(const QXWCHAR* store, const uint8_t* cert,
                                                            uint32_t length);
/* Installs the CA and root certificates listed in [InstallCert]; always 1. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_RegCACert(void);
/* 1 when the certificate's signature verifies with its own public key, else 0. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsSignSelf(const uint8_t* cert, uint32_t length);
/* The certificate cache of a device slot (0 to 3): restart non-zero reads
 * entry 1, otherwise the calling thread's next entry; past entry 16
 * ERR_NOT_FOUND; an empty entry gives *length 0.  *length at least 2046. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ReadMemCert(uint32_t slot, uint8_t* buffer, uint32_t* length,
                                                         uint32_t restart);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_ClearMemInfo(uint32_t slot);
/* Empties the cache entry of the certificate slot when it holds exactly cert. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_DeleteMemCert(DeviceHandle device, uint32_t slot, const uint8_t* cert,
                                                           uint32_t length);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ReadCert)(DeviceHandle, uint32_t, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_WriteCert)(DeviceHandle, uint32_t, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DeleteUserCert)(DeviceHandle, uint32_t, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_RegUserCert)(const uint8_t*, uint32_t, const char*, uint32_t, char*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_UnRegUserCert)(const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_RegCertToStore)(const QXWCHAR*, const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_RegCACert)(void);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_IsSignSelf)(const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ReadMemCert)(uint32_t, uint8_t*, uint32_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_ClearMemInfo)(uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_DeleteMemCert)(DeviceHandle, uint32_t, const uint8_t*, uint32_t);

/* ---- Signed transactions ------------------------------------------------------
 * The token shows the data and signs it only after its button is pressed:
 * negotiate once (digest 4 or 5 with RSA, 16 with SM2 where the data starts
 * with Z_A; mode below 256; piece count below 65536), send pieces 1, 2, ... of
 * 1 to 192 bytes, then poll QXToken_GetTranSignature until it gives 0 (the
 * signature; its buffer must hold the key's signature, else ERR_BUFFER_TOO_SMALL
 * before anything is sent) or a final status (0x7001-0x700A, 0x6018, 0x6025). */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_NegotiateTransaction(KeyHandle key, uint32_t hashAlg, uint32_t pieceCount,
                                                                  uint32_t mode, const uint8_t* data,
                                                                  uint32_t length);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_SignTransaction(KeyHandle key, uint32_t pieceNumber, const uint8_t* piece,
                                                             uint32_t pieceLength, uint8_t* output,
                                                             uint32_t* outputLength);
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_GetTranSignature(KeyHandle key, uint8_t* signature,
                                                              uint32_t* signatureLength);
/* With a device handle the transaction is cancelled (on the key's token when
 * the key is valid); with a key alone the token is polled once and a signature
 * it gives is dropped. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_CancelTransaction(KeyHandle key, DeviceHandle device);
/* 1 when TranHashMeth allows the digest for transactions, else 0. */
QXTOKEN_EXPORT uint32_t QXTOKEN_CALL QXToken_IsTranHashMeth(uint32_t hashAlg);

typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_NegotiateTransaction)(KeyHandle, uint32_t, uint32_t, uint32_t,
                                                                 const uint8_t*, uint32_t);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_SignTransaction)(KeyHandle, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                                            uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_GetTranSignature)(KeyHandle, uint8_t*, uint32_t*);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_CancelTransaction)(KeyHandle, DeviceHandle);
typedef uint32_t(QXTOKEN_CALL* PFN_QXToken_IsTranHashMeth)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* QX_TOKEN_KERNEL_H */
