/* QXDevice: the device transport that the token kernel talks to tokens through.
 *
 * A transport object serves one device name at a time.  Its operation table
 * (slots 0 to 4) and the public fields that follow it are an interface between
 * separately built modules: their order and offsets never change.  Anything a
 * transport needs besides these lives after the last field, in a derived class.
 */
#ifndef QX_DEVICE_H
#define QX_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define QXDEV_CALL __stdcall
#define QXDEV_EXPORT
#else
#define QXDEV_CALL
#define QXDEV_EXPORT __attribute__((visibility("default")))
#endif

/* Channel types. */
#define QXDEV_CHANNEL_CCID 1u
#define QXDEV_CHANNEL_UMS 16u
#define QXDEV_CHANNEL_HID 256u

#define QXDEV_NAME_SIZE 260u
#define QXDEV_MAX_ENUM 10u
#define QXDEV_IDENTITY_SIZE 32u
#define QXDEV_TRANSPORT_KEY_SIZE 16u
#define QXDEV_ATR_SIZE 64u

/* Transport status codes besides 0.  The four smart-card codes make the kernel
 * reconnect; any other non-zero code is an I/O failure. */
#define QXDEV_SCARD_W_RESET_CARD 0x80100068u
#define QXDEV_SCARD_E_SERVICE_STOPPED 0x8010001Eu
#define QXDEV_SCARD_E_INVALID_VALUE 0x80100011u
#define QXDEV_SCARD_E_INVALID_HANDLE 0x80100003u
#define QXDEV_ERR_DEVICE_IO 0x1001u

#ifdef __cplusplus
#include <type_traits>

class QXDeviceTransport {
public:
    /* slot 0: open the named device; stores the name in deviceName. */
    virtual uint32_t Open(const char* name) = 0;
    /* slot 1: close; the kernel passes its device handle record, which is ignored. */
    virtual uint32_t Close(void* deviceHandle) = 0;
    /* slot 2: send one command APDU; the response includes SW1 SW2. */
    virtual uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                              uint32_t* responseLength) = 0;
    /* slot 3: reset the token; atr holds QXDEV_ATR_SIZE bytes. */
    virtual uint32_t Reset(uint8_t* atr, uint32_t* atrLength) = 0;
    /* slot 4: list up to QXDEV_MAX_ENUM device names containing one of the words. */
    virtual uint32_t Enumerate(const char* const* words, uint32_t wordCount, char (*names)[QXDEV_NAME_SIZE],
                               uint32_t* count) = 0;

    uint32_t channelType;
    char deviceName[QXDEV_NAME_SIZE];
    uint8_t identity[QXDEV_IDENTITY_SIZE];
    uint32_t identityLength;
    uint32_t openStatus;
    uint32_t slotNumber;
    uint8_t transportKey[QXDEV_TRANSPORT_KEY_SIZE];
    uint32_t transportKeyLength;

protected:
    QXDeviceTransport()
        : channelType(0), deviceName{}, identity{}, identityLength(0), openStatus(0), slotNumber(0),
          transportKey{}, transportKeyLength(0) {}
    /* Objects are destroyed only through QXDestroyDevInstance of the library that made them. */
    ~QXDeviceTransport() = default;
};

/* Layout that separately compiled modules rely on (one vtable pointer, then the fields).
 * offsetof on a class with virtual functions is conditionally supported; GCC
 * and Clang support it and only warn. */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "unexpected pointer size");
#define QXDEV_FIELD_BASE sizeof(void*)
static_assert(offsetof(QXDeviceTransport, channelType) == QXDEV_FIELD_BASE + 0, "channelType offset");
static_assert(offsetof(QXDeviceTransport, deviceName) == QXDEV_FIELD_BASE + 4, "deviceName offset");
static_assert(offsetof(QXDeviceTransport, identity) == QXDEV_FIELD_BASE + 264, "identity offset");
static_assert(offsetof(QXDeviceTransport, identityLength) == QXDEV_FIELD_BASE + 296, "identityLength offset");
static_assert(offsetof(QXDeviceTransport, openStatus) == QXDEV_FIELD_BASE + 300, "openStatus offset");
static_assert(offsetof(QXDeviceTransport, slotNumber) == QXDEV_FIELD_BASE + 304, "slotNumber offset");
static_assert(offsetof(QXDeviceTransport, transportKey) == QXDEV_FIELD_BASE + 308, "transportKey offset");
static_assert(offsetof(QXDeviceTransport, transportKeyLength) == QXDEV_FIELD_BASE + 324, "transportKeyLength offset");
#undef QXDEV_FIELD_BASE
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

extern "C" {
#endif /* __cplusplus */

#ifdef __cplusplus
typedef QXDeviceTransport* QXDeviceHandle;
#else
typedef void* QXDeviceHandle;
#endif

/* Creates a transport for a channel type (1, 16 or 256); null for any other. */
QXDEV_EXPORT QXDeviceHandle QXDEV_CALL QXCreateDevInstance(uint32_t channelType);
/* Destroys a transport made by QXCreateDevInstance; null is accepted. */
QXDEV_EXPORT void QXDEV_CALL QXDestroyDevInstance(QXDeviceHandle device);

typedef QXDeviceHandle(QXDEV_CALL* PFN_QXCreateDevInstance)(uint32_t channelType);
typedef void(QXDEV_CALL* PFN_QXDestroyDevInstance)(QXDeviceHandle device);

#ifdef __cplusplus
}
#endif

#endif /* QX_DEVICE_H */
