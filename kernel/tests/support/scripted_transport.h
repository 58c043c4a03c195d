// A device transport that answers from a script: each step names the command
// bytes it expects, the answer to give, or a transport code to fail with.
// Reset and open calls are recorded so that reconnection can be followed.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "QXDevice.h"

namespace qx::kernel::test {

std::vector<uint8_t> H(const std::string& hex);
std::string hex(const std::vector<uint8_t>& bytes);
std::string hex(const uint8_t* bytes, std::size_t n);

struct Step {
    std::vector<uint8_t> expect;  // empty: any command
    std::vector<uint8_t> reply;
    uint32_t code = 0;            // non-zero: the transport fails with it
    uint32_t reportedLength = 0;  // non-zero: the length reported instead of the reply's
};

class ScriptedTransport : public QXDeviceTransport {
public:
    explicit ScriptedTransport(const char* name = "Scripted Reader 0") {
        channelType = QXDEV_CHANNEL_CCID;
        std::strncpy(deviceName, name, sizeof deviceName - 1);
        openStatus = 1;
    }
    ~ScriptedTransport() { EXPECT_TRUE(script.empty()) << script.size() << " scripted steps were not used"; }

    ScriptedTransport& expect(const std::string& command, const std::string& reply) {
        script.push_back({H(command), H(reply), 0, 0});
        return *this;
    }
    ScriptedTransport& fail(const std::string& command, uint32_t code) {
        script.push_back({H(command), {}, code, 0});
        return *this;
    }

    uint32_t Open(const char* name) override {
        events.push_back(std::string("open:") + name);
        if (openResult == 0) {
            std::strncpy(deviceName, name, sizeof deviceName - 1);
            openStatus = 1;
        }
        return openResult;
    }
    uint32_t Close(void*) override {
        openStatus = 0;
        return 0;
    }
    uint32_t Transmit(const uint8_t* command, uint32_t length, uint8_t* response, uint32_t* responseLength) override {
        std::vector<uint8_t> cmd(command, command + length);
        sent.push_back(cmd);
        events.push_back("apdu:" + hex(cmd));
        if (script.empty()) {
            ADD_FAILURE() << "unexpected command " << hex(cmd);
            return QXDEV_ERR_DEVICE_IO;
        }
        Step step = script.front();
        script.pop_front();
        if (onWire) onWire(cmd, step);
        if (!step.expect.empty()) {
            EXPECT_EQ(hex(step.expect), hex(cmd));
        }
        if (step.code) return step.code;
        if (step.reply.size() > *responseLength) {
            ADD_FAILURE() << "reply longer than the response buffer";
            return QXDEV_ERR_DEVICE_IO;
        }
        if (!step.reply.empty()) std::memcpy(response, step.reply.data(), step.reply.size());
        *responseLength = step.reportedLength ? step.reportedLength : static_cast<uint32_t>(step.reply.size());
        return 0;
    }
    uint32_t Reset(uint8_t* atr, uint32_t* atrLength) override {
        events.push_back("reset");
        if (resetResult == 0 && atr && atrLength && *atrLength >= 2) {
            atr[0] = 0x3B;
            atr[1] = 0x00;
            *atrLength = 2;
        }
        return resetResult;
    }
    uint32_t Enumerate(const char* const*, uint32_t, char (*)[QXDEV_NAME_SIZE], uint32_t* count) override {
        if (count) *count = 0;
        return 0;
    }

    void set_identity(const std::vector<uint8_t>& id) {
        std::memcpy(identity, id.data(), id.size());
        identityLength = static_cast<uint32_t>(id.size());
    }

    std::deque<Step> script;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<std::string> events;
    uint32_t openResult = 0;
    uint32_t resetResult = 0;
    // Lets a test see (and change) each command on the wire before it is checked.
    std::function<void(const std::vector<uint8_t>&, Step&)> onWire;
};

}  // namespace qx::kernel::test
