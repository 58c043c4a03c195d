// Key objects on two transports for measuring and checking the host's share
// of a key-pair operation: one that hands each command to a card OS in memory
// (recording the exchanges when asked), and one that answers at once from such
// a recording, refusing any command that is not the recorded one.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "QXDevice.h"
#include "QXTokenKernel.h"
#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "token_env.h"

namespace qx::kernel::test {

using qx::vtoken::Bytes;

struct Exchange {
    Bytes command;
    Bytes answer;
};
using Recording = std::vector<Exchange>;

// Either runs commands on an in-memory card OS (recording them when asked) or
// replays a recording: each command must be the recorded one, and gets the
// recorded answer without any work.
class LayerTransport final : public QXDeviceTransport {
public:
    explicit LayerTransport(qx::vtoken::TokenState& card) : card_(card) {
        std::strncpy(deviceName, "Key Layers 0", sizeof deviceName - 1);
        channelType = QXDEV_CHANNEL_CCID;
        openStatus = 1;
        const Bytes& id = card.config.identity;
        identityLength = static_cast<uint32_t>(std::min<std::size_t>(id.size(), sizeof identity));
        std::memcpy(identity, id.data(), identityLength);
    }

    void use_card(Recording* log = nullptr) {
        replay_ = nullptr;
        log_ = log;
    }
    void replay(const Recording& recording) {
        replay_ = &recording;
        next_ = 0;
        diverged_ = false;
        log_ = nullptr;
    }
    // True when the replayed operation sent exactly the recorded commands, all of them.
    bool replay_complete() const { return replay_ && !diverged_ && next_ == replay_->size(); }
    bool diverged() const { return diverged_; }

    uint32_t Open(const char*) override { return 0; }
    uint32_t Close(void*) override { return 0; }
    uint32_t Reset(uint8_t*, uint32_t*) override { return 0; }
    uint32_t Enumerate(const char* const*, uint32_t, char (*)[QXDEV_NAME_SIZE], uint32_t* count) override {
        *count = 0;
        return 0;
    }
    uint32_t Transmit(const uint8_t* command, uint32_t length, uint8_t* response, uint32_t* responseLength) override {
        if (replay_) {
            if (next_ >= replay_->size()) return fail();
            const Exchange& e = (*replay_)[next_++];
            if (e.command.size() != length || std::memcmp(e.command.data(), command, length) != 0 ||
                e.answer.size() > *responseLength)
                return fail();
            std::memcpy(response, e.answer.data(), e.answer.size());
            *responseLength = static_cast<uint32_t>(e.answer.size());
            return 0;
        }
        Bytes apdu(command, command + length);
        Bytes answer = qx::vtoken::process_command(card_, apdu, qx::vtoken::wall_clock_ms());
        if (answer.size() > *responseLength) return QXDEV_ERR_DEVICE_IO;
        std::memcpy(response, answer.data(), answer.size());
        *responseLength = static_cast<uint32_t>(answer.size());
        if (log_) log_->push_back({std::move(apdu), std::move(answer)});
        return 0;
    }

private:
    uint32_t fail() {
        diverged_ = true;
        return QXDEV_ERR_DEVICE_IO;
    }
    qx::vtoken::TokenState& card_;
    Recording* log_ = nullptr;
    const Recording* replay_ = nullptr;
    std::size_t next_ = 0;
    bool diverged_ = false;
};

// Initialises the blank token `name` through the kernel module loaded into
// `module` (user PIN "123456" verified), generates an RSA-2048 pair (slot 1)
// and an SM2 pair (slot 2), and loads the token's state from the store into
// `card`.  Returns the kernel's directory, or throws with what failed.
inline std::string prepare_key_token(const std::string& name, std::unique_ptr<platform::Module>& module,
                                     qx::vtoken::TokenState& card) {
    clear_tokens();
    const std::string dir =
        install_kernel(name, std::string(kChannelWords) + "\r\n[InitKeypairsNum]\r\nRSA2048 = 1\r\nSM2256 = 1\r\n");
    const std::string device = create_blank_token(name);
    module = std::make_unique<platform::Module>(dir + platform::module_file_name("QXTokenKernel"));
    auto& m = *module;
    auto openDezo = m.function<PFN_QXToken_OpenDevByNameDEZO>("QXToken_OpenDevByNameDEZO");
    auto init = m.function<PFN_QXToken_InitToken>("QXToken_InitToken");
    auto verifyPin = m.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin");
    auto gen = m.function<PFN_QXToken_GenAsymKey>("QXToken_GenAsymKey");
    auto closeKey = m.function<PFN_QXToken_CloseKey>("QXToken_CloseKey");
    auto closeDevice = m.function<PFN_QXToken_CloseDevice>("QXToken_CloseDevice");
    if (!openDezo || !init || !verifyPin || !gen || !closeKey || !closeDevice)
        throw std::runtime_error("the kernel module or one of its exports is missing");
    DeviceHandle dev = nullptr;
    KeyHandle rsa = nullptr, sm2 = nullptr;
    openDezo(device.c_str(), &dev);
    char pin[] = "123456";
    // With the slot table above, the RSA-2048 pair takes slot 1 and the SM2 pair slot 2.
    const bool prepared =
        dev && init(dev, pin, 6, "87654321", 8, reinterpret_cast<const uint8_t*>("B"), 1) == 0 &&
        verifyPin(dev, QXTOKEN_PIN_USER, pin, 6) == 0 && gen(dev, 0x20000, 2048, 2, 0, &rsa) == 0 &&
        gen(dev, 0x10000, 256, 2, 0, &sm2) == 0;
    if (rsa) closeKey(rsa);
    if (sm2) closeKey(sm2);
    // The state as the token file holds it, security state (PIN verified)
    // included: read before the device is closed.
    const bool read = prepared && qx::vtoken::TokenStore(vtoken_home()).read(name, card) == qx::vtoken::StoreStatus::Ok;
    if (dev) closeDevice(dev);
    if (!prepared) throw std::runtime_error("the virtual token could not be prepared");
    if (!read) throw std::runtime_error("the token could not be read from the store");
    return dir;
}

}  // namespace qx::kernel::test
