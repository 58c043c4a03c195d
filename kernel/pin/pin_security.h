// PINs and the token's security state: the PIN block that binds a PIN to one
// token, the PIN-state flags word of the token information file, the host's
// own authentication to the token, and the PIN commands with their status
// translation and recovery (re-authentication after a lost security state).
#pragma once

#include <cstdint>
#include <string>

#include "QXDevice.h"
#include "core/handles.h"

namespace qx::kernel {

// PIN kinds as callers name them; on the token the PIN reference is kind + 1.
constexpr uint32_t kPinSo = 0;
constexpr uint32_t kPinUser = 1;

// The token information file and the flags word inside it.
constexpr uint16_t kFileTokenInfo = 0x0001;
constexpr uint32_t kTokenInfoSize = 160;
constexpr uint32_t kFlagsOffset = 96;

constexpr uint32_t kFlagUserPinLocked = 0x40000;
constexpr uint32_t kFlagUserPinDefault = 0x80000;
constexpr uint32_t kFlagSoPinLocked = 0x400000;
constexpr uint32_t kFlagSoPinDefault = 0x800000;

constexpr uint32_t kPinBlockSize = 16;

// Everything about a PIN call that changes the bytes sent: kept in one place
// so that the export layer and the tests see the same rules.
struct PinSettings {
    bool dezo = false;            // IsDEZORivov: no forced-change check
    bool forcedModify = true;     // ForcedModifyPIN
    int32_t cachePin = 1;         // CachePIN
    bool secureMessaging = true;  // SecMsg
    int32_t waitTime = 15;        // PINOperateWaitTime
    std::string defaultPin;       // DefaultPIN
    std::string defaultSoPin;     // DefaultSOPIN
};
// The settings as the configuration now says.
PinSettings current_pin_settings();

// The 16-byte PIN block of `pin` for this token.  ERR_FAILED when the key
// cannot be derived or the cipher cannot run.
uint32_t make_pin_block(const QXDeviceTransport& device, const uint8_t* pin, uint32_t length,
                        uint8_t (&block)[kPinBlockSize]);

// The host's authentication to the token, as at opening: under the logical
// lock, the application directory selected and the directory's
// external-authentication key derived for this token.
uint32_t external_auth(DeviceRecord& device);

// The PIN operations on one device.  Each runs its own commands under the
// token's logical lock where several must follow one another.
class PinOperations {
public:
    PinOperations(DeviceRecord& record, PinSettings settings);

    // The low four bits of the security-status answer; false when unreadable.
    bool security_state(uint32_t& state);
    // Whether `level` (0, 1, 2, 3, 15) is met now.
    bool level_met(uint32_t level);

    uint32_t read_flags(uint32_t& flags);
    uint32_t write_flags(uint32_t flags);
    // Authenticates the host when level 1 is not met, then reads the flags word.
    uint32_t authenticate_and_read_flags(uint32_t& flags);

    uint32_t verify(uint32_t kind, const uint8_t* pin, uint32_t length);
    // `oldPin` null (with length 0): the configured default PIN.
    uint32_t change(uint32_t kind, const uint8_t* oldPin, uint32_t oldLength, const uint8_t* newPin,
                    uint32_t newLength);
    uint32_t unlock(uint32_t kind, const uint8_t* soPin, uint32_t soLength, const uint8_t* newPin,
                    uint32_t newLength);
    // Unlock when the SO PIN is already verified (level 2); nothing else is sent otherwise.
    uint32_t unlock_verified(uint32_t kind, const uint8_t* newPin, uint32_t newLength);
    // Tries left (63Cx); ERR_COMMAND_FAILED for any other answer.
    uint32_t retries(uint32_t kind, uint32_t& count);

private:
    uint32_t send_wait_message();
    uint32_t send_verify(uint32_t kind, const uint8_t (&block)[kPinBlockSize]);
    uint32_t send_change(uint32_t kind, const uint8_t (&oldBlock)[kPinBlockSize],
                         const uint8_t (&newBlock)[kPinBlockSize]);
    uint32_t send_unlock(uint32_t kind, const uint8_t (&newBlock)[kPinBlockSize]);
    // VERIFY with the recovery steps shared by verify, change and unlock.
    uint32_t verify_block(uint32_t kind, const uint8_t (&block)[kPinBlockSize], bool& flagsRead, uint32_t& flags);
    uint32_t after_verify_failure(uint32_t kind, uint32_t status, bool& flagsRead, uint32_t& flags);
    // UNLOCK, then the host's authentication again and the flags word brought up to date.
    uint32_t finish_unlock(uint32_t kind, const uint8_t (&newBlock)[kPinBlockSize], const uint8_t* newPin,
                           uint32_t newLength, uint32_t flags);
    void cache(uint32_t kind, const uint8_t* pin, uint32_t length);
    bool equals(const std::string& text, const uint8_t* pin, uint32_t length) const;

    DeviceRecord& record_;
    QXDeviceTransport& device_;
    PinSettings settings_;
};

}  // namespace qx::kernel
