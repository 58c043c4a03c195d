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

#ifdef __cplusplus
}
#endif

#endif /* QX_TOKEN_KERNEL_H */
