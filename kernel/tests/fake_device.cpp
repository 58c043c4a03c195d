// A transport library for the module tests: every operation succeeds and
// transmit answers 90 00.  Copied next to the kernel as QXDevice.
#include <cstring>

#include "QXDevice.h"

namespace {

class FakeTransport final : public QXDeviceTransport {
public:
    explicit FakeTransport(uint32_t channel) { channelType = channel; }
    uint32_t Open(const char* name) override {
        std::strncpy(deviceName, name, sizeof deviceName - 1);
        openStatus = 1;
        return 0;
    }
    uint32_t Close(void*) override {
        openStatus = 0;
        return 0;
    }
    uint32_t Transmit(const uint8_t*, uint32_t, uint8_t* response, uint32_t* responseLength) override {
        response[0] = 0x90;
        response[1] = 0x00;
        *responseLength = 2;
        return 0;
    }
    uint32_t Reset(uint8_t*, uint32_t* atrLength) override {
        *atrLength = 0;
        return 0;
    }
    uint32_t Enumerate(const char* const*, uint32_t, char (*)[QXDEV_NAME_SIZE], uint32_t* count) override {
        *count = 0;
        return 0;
    }
    ~FakeTransport() = default;
};

}  // namespace

extern "C" {
QXDEV_EXPORT QXDeviceHandle QXDEV_CALL QXCreateDevInstance(uint32_t channelType) {
    if (channelType != QXDEV_CHANNEL_CCID && channelType != QXDEV_CHANNEL_UMS && channelType != QXDEV_CHANNEL_HID)
        return nullptr;
    return new FakeTransport(channelType);
}
QXDEV_EXPORT void QXDEV_CALL QXDestroyDevInstance(QXDeviceHandle device) {
    delete static_cast<FakeTransport*>(device);
}
}
