#include "pin_security.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/commands.h"
#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "core/logical_lock.h"
#include "core/status_words.h"
#include "device/device_open.h"
#include "shm/pin_cache.h"

namespace qx::kernel {

namespace {

constexpr SwRule kVerifyRules[] = {
    {0x9000, 0xFFFF, ERR_OK},           {0x6982, 0xFFFF, ERR_SECURITY_STATUS}, {0x6983, 0xFFFF, ERR_PIN_LOCKED},
    {0x63C0, 0xFFFF, ERR_PIN_LOCKED},   {0x63C0, 0xFFF0, ERR_PIN_INCORRECT},   {0xD10D, 0xFFFF, ERR_TRANSACTION_D10D},
};
constexpr SwRule kChangeRules[] = {
    {0x9000, 0xFFFF, ERR_OK},           {0x6982, 0xFFFF, ERR_SECURITY_STATUS}, {0x6983, 0xFFFF, ERR_PIN_LOCKED},
    {0x63C0, 0xFFFF, ERR_PIN_LOCKED},   {0xD10D, 0xFFFF, ERR_TRANSACTION_D10D}, {0x63C0, 0xFFF0, ERR_OLD_PIN_INCORRECT},
};
constexpr SwRule kUnlockRules[] = {
    {0x9000, 0xFFFF, ERR_OK},
    {0x6982, 0xFFFF, ERR_SECURITY_STATUS},
    {0x6983, 0xFFFF, ERR_PIN_LOCKED},
    {0x63C0, 0xFFF0, ERR_PIN_LOCKED},
};
const SwTable kSwVerify{kVerifyRules, sizeof kVerifyRules / sizeof kVerifyRules[0], ERR_FAILED};
const SwTable kSwChange{kChangeRules, sizeof kChangeRules / sizeof kChangeRules[0], ERR_FAILED};
const SwTable kSwUnlock{kUnlockRules, sizeof kUnlockRules / sizeof kUnlockRules[0], ERR_UNLOCK_FAILED};

uint32_t locked_bit(uint32_t kind) { return kind == kPinUser ? kFlagUserPinLocked : kFlagSoPinLocked; }

uint8_t reference(uint32_t kind) { return static_cast<uint8_t>(kind + 1); }

// A 16-byte secret that wipes itself.
struct Block {
    uint8_t bytes[kPinBlockSize] = {};
    ~Block() { secure_zero(bytes, sizeof bytes); }
};

}  // namespace

PinSettings current_pin_settings() {
    const KernelConfig cfg = state().config();
    PinSettings s;
    s.dezo = cfg.isDezoRivov != 0;
    s.forcedModify = cfg.forcedModifyPin != 0;
    s.cachePin = cfg.cachePin;
    s.secureMessaging = cfg.secMsg != 0;
    s.waitTime = cfg.pinOperateWaitTime;
    s.defaultPin = cfg.defaultPin;
    s.defaultSoPin = cfg.defaultSoPin;
    return s;
}

uint32_t make_pin_block(const QXDeviceTransport& device, const uint8_t* pin, uint32_t length,
                        uint8_t (&block)[kPinBlockSize]) {
    if (length && !pin) return ERR_INVALID_PARAM;
    const uint32_t idLength = std::min<uint32_t>(device.identityLength, sizeof device.identity);
    std::vector<uint8_t> input(device.identity, device.identity + idLength);
    input.insert(input.end(), pin, pin + length);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool hashed = EVP_Digest(input.data(), input.size(), digest, &digestLength, EVP_md5(), nullptr) == 1 &&
                        digestLength == 16;
    secure_zero(input);
    if (!hashed) return ERR_FAILED;

    Block key;
    uint32_t keyLength = sizeof key.bytes;
    uint32_t rc = derive_key_for_index(state().config().cspName, device.identity, idLength, kKeyAdfMaster, key.bytes,
                                       &keyLength);
    if (rc == ERR_OK) {
        SoftCipher cipher(state().soft_alg(), 0x200);
        rc = cipher ? cipher.init(QXSA_MODE_ECB, key.bytes, keyLength, QXSA_ENCRYPT) : ERR_FAILED;
        if (rc == ERR_OK) rc = cipher.process_in_place(digest, 16);
        if (rc == ERR_OK) std::memcpy(block, digest, kPinBlockSize);
    }
    secure_zero(digest, sizeof digest);
    return rc == ERR_OK ? ERR_OK : ERR_FAILED;
}

uint32_t external_auth(DeviceRecord& device) { return authenticate_device(device); }

// ---------------------------------------------------------------------------

PinOperations::PinOperations(DeviceRecord& record, PinSettings settings)
    : record_(record), device_(*record.device), settings_(std::move(settings)) {}

bool PinOperations::security_state(uint32_t& value) {
    LogicalLock lock;
    if (lock.acquire(device_) != ERR_OK) return false;
    SecurityCommands security(&device_);
    ApduResponse r;
    if (security.send({0x80, 0x70, 0x00, 0x00, 0x01}, r) != ERR_OK) return false;
    if (r.sw != kSwSuccess || r.length < 1) return false;
    value = r.bytes[0] & 0x0F;
    return true;
}

bool PinOperations::level_met(uint32_t level) {
    uint32_t s = 0;
    if (!security_state(s)) return false;
    switch (level) {
        case 0: return true;
        case 1: return s >= 1 && s <= 3;
        case 2: return s == 2;
        case 3: return s == 3;
        case 15: return s == 15;
        default: return false;
    }
}

uint32_t PinOperations::read_flags(uint32_t& flags) {
    FileCommands files(&device_);
    uint8_t word[4] = {};
    uint32_t read = 0;
    uint32_t rc = files.read_file(kFileTokenInfo, kFlagsOffset, sizeof word, word, &read);
    if (rc != ERR_OK) return rc;
    if (read != sizeof word) return ERR_COMMAND_FAILED;
    flags = uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16 | uint32_t(word[3]) << 24;
    return ERR_OK;
}

uint32_t PinOperations::write_flags(uint32_t flags) {
    const uint8_t word[4] = {static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8),
                             static_cast<uint8_t>(flags >> 16), static_cast<uint8_t>(flags >> 24)};
    FileCommands files(&device_);
    return files.write_file(kFileTokenInfo, kFlagsOffset, word, sizeof word);
}

uint32_t PinOperations::send_wait_message() {
    const uint16_t wait = static_cast<uint16_t>(std::clamp(settings_.waitTime, 0, 0xFFFF));
    SecurityCommands security(&device_);
    ApduResponse r;
    return security.send({0x80, 0x77, 0x00, 0x00, 0x04, 0x0B, 0x02, static_cast<uint8_t>(wait >> 8),
                          static_cast<uint8_t>(wait)},
                         r);
}

namespace {

// Sends a PIN command, in its secure-messaging form when asked; the status
// word comes back in `sw`.
uint32_t send_pin_command(QXDeviceTransport& device, bool secure, uint8_t plainCla, uint8_t secureCla, uint8_t ins,
                          uint8_t p1, uint8_t p2, const uint8_t* data, uint32_t length, uint16_t& sw) {
    std::vector<uint8_t> cmd{secure ? secureCla : plainCla, ins, p1, p2, static_cast<uint8_t>(length)};
    cmd.insert(cmd.end(), data, data + length);
    SecurityCommands security(&device);
    uint32_t rc = ERR_OK;
    // The challenge and the command it protects go as one sequence: another
    // process's GET CHALLENGE in between would replace the challenge.
    LogicalLock lock;
    if (secure) rc = lock.acquire(device);
    if (rc == ERR_OK && secure) rc = security.secure_messaging_wrap(cmd);
    if (rc == ERR_OK) {
        ApduResponse r;
        rc = security.send(cmd, r, Visibility::Secret);
        sw = r.sw;
    }
    secure_zero(cmd);
    return rc;
}

}  // namespace

uint32_t PinOperations::send_verify(uint32_t kind, const uint8_t (&block)[kPinBlockSize]) {
    uint16_t sw = 0;
    uint32_t rc = send_pin_command(device_, settings_.secureMessaging, 0x00, 0x04, 0x20, 0x00, reference(kind), block,
                                   kPinBlockSize, sw);
    return rc != ERR_OK ? rc : translate_sw(kSwVerify, sw);
}

uint32_t PinOperations::send_change(uint32_t kind, const uint8_t (&oldBlock)[kPinBlockSize],
                                    const uint8_t (&newBlock)[kPinBlockSize]) {
    uint8_t data[2 * kPinBlockSize];
    std::memcpy(data, oldBlock, kPinBlockSize);
    std::memcpy(data + kPinBlockSize, newBlock, kPinBlockSize);
    uint16_t sw = 0;
    uint32_t rc = send_pin_command(device_, settings_.secureMessaging, 0x80, 0x84, 0x5E, reference(kind), 0x00, data,
                                   sizeof data, sw);
    secure_zero(data, sizeof data);
    return rc != ERR_OK ? rc : translate_sw(kSwChange, sw);
}

uint32_t PinOperations::send_unlock(uint32_t kind, const uint8_t (&newBlock)[kPinBlockSize]) {
    uint8_t data[2 * kPinBlockSize];
    uint32_t keyLength = kPinBlockSize;
    const uint32_t idLength = std::min<uint32_t>(device_.identityLength, sizeof device_.identity);
    uint32_t rc = derive_key_for_index(state().config().cspName, device_.identity, idLength, kKeyAdfUnlock, data,
                                       &keyLength);
    if (rc != ERR_OK) return rc;
    std::memcpy(data + kPinBlockSize, newBlock, kPinBlockSize);
    uint16_t sw = 0;
    rc = send_pin_command(device_, settings_.secureMessaging, 0x80, 0x84, 0x24, reference(kind), 0x00, data,
                          sizeof data, sw);
    secure_zero(data, sizeof data);
    return rc != ERR_OK ? rc : translate_sw(kSwUnlock, sw);
}

// What follows a refused PIN command: a blocked PIN is marked in the flags
// word, and any failure but the transaction word re-authenticates the host
// (the refusal may have cost the token its security state).
uint32_t PinOperations::after_verify_failure(uint32_t kind, uint32_t status, bool& flagsRead, uint32_t& flags) {
    if (status == ERR_TRANSACTION_D10D) return status;
    const uint32_t auth = external_auth(record_);
    if (status == ERR_PIN_LOCKED) {
        if (auth != ERR_OK) return auth;
        if (!flagsRead) {
            const uint32_t rc = read_flags(flags);
            if (rc != ERR_OK) return rc;
            flagsRead = true;
        }
        flags |= locked_bit(kind);
        const uint32_t rc = write_flags(flags);
        return rc != ERR_OK ? rc : ERR_PIN_LOCKED;
    }
    return status;
}

uint32_t PinOperations::verify_block(uint32_t kind, const uint8_t (&block)[kPinBlockSize], bool& flagsRead,
                                     uint32_t& flags) {
    uint32_t rc = send_verify(kind, block);
    if (rc == ERR_SECURITY_STATUS) {
        // The token lost the host's authentication: restore it and try once more.
        const uint32_t auth = external_auth(record_);
        if (auth != ERR_OK) return auth;
        send_wait_message();
        rc = send_verify(kind, block);
        if (rc == ERR_SECURITY_STATUS) return rc;
    }
    if (rc != ERR_OK) return after_verify_failure(kind, rc, flagsRead, flags);
    return ERR_OK;
}

uint32_t PinOperations::authenticate_and_read_flags(uint32_t& flags) {
    if (!level_met(1)) {
        const uint32_t rc = external_auth(record_);
        if (rc != ERR_OK) return rc;
    }
    return read_flags(flags);
}

uint32_t PinOperations::verify(uint32_t kind, const uint8_t* pin, uint32_t length) {
    if (!level_met(1)) {
        const uint32_t rc = external_auth(record_);
        if (rc != ERR_OK) return rc;
    }
    uint32_t flags = 0;
    bool flagsRead = false;
    if (!settings_.dezo) {
        const uint32_t rc = read_flags(flags);
        if (rc != ERR_OK) return rc;
        flagsRead = true;
        if (kind == kPinUser && settings_.forcedModify && (flags & kFlagUserPinDefault)) return ERR_PIN_MUST_CHANGE;
    }
    Block block;
    uint32_t rc = make_pin_block(device_, pin, length, block.bytes);
    if (rc != ERR_OK) return rc;
    send_wait_message();
    rc = verify_block(kind, block.bytes, flagsRead, flags);
    if (rc == ERR_OK) cache(kind, pin, length);
    return rc;
}

uint32_t PinOperations::change(uint32_t kind, const uint8_t* oldPin, uint32_t oldLength, const uint8_t* newPin,
                               uint32_t newLength) {
    if (!oldPin) {
        oldPin = reinterpret_cast<const uint8_t*>(settings_.defaultPin.data());
        oldLength = static_cast<uint32_t>(settings_.defaultPin.size());
    }
    Block oldBlock, newBlock;
    uint32_t rc = make_pin_block(device_, oldPin, oldLength, oldBlock.bytes);
    if (rc == ERR_OK) rc = make_pin_block(device_, newPin, newLength, newBlock.bytes);
    if (rc != ERR_OK) return rc;
    uint32_t flags = 0;
    rc = authenticate_and_read_flags(flags);
    if (rc != ERR_OK) return rc;
    bool flagsRead = true;
    send_wait_message();

    rc = send_change(kind, oldBlock.bytes, newBlock.bytes);
    if (rc == ERR_SECURITY_STATUS) {
        const uint32_t auth = external_auth(record_);
        if (auth != ERR_OK) return auth;
        send_wait_message();
        rc = send_change(kind, oldBlock.bytes, newBlock.bytes);
        if (rc == ERR_SECURITY_STATUS) return rc;
    }
    if (rc != ERR_OK) return after_verify_failure(kind, rc, flagsRead, flags);

    if (kind == kPinUser) {
        flags &= ~kFlagUserPinDefault;
        if (equals(settings_.defaultPin, newPin, newLength)) flags |= kFlagUserPinDefault;
    } else {
        // A new SO PIN equal to the configured default keeps the default mark.
        flags &= ~kFlagSoPinDefault;
        if (equals(settings_.defaultSoPin, newPin, newLength)) flags |= kFlagSoPinDefault;
    }
    rc = write_flags(flags);
    if (rc == ERR_OK) cache(kind, newPin, newLength);
    return rc;
}

uint32_t PinOperations::unlock(uint32_t kind, const uint8_t* soPin, uint32_t soLength, const uint8_t* newPin,
                               uint32_t newLength) {
    Block soBlock, newBlock;
    uint32_t rc = make_pin_block(device_, soPin, soLength, soBlock.bytes);
    if (rc == ERR_OK) rc = make_pin_block(device_, newPin, newLength, newBlock.bytes);
    if (rc != ERR_OK) return rc;
    uint32_t flags = 0;
    rc = authenticate_and_read_flags(flags);
    if (rc != ERR_OK) return rc;
    bool flagsRead = true;
    rc = verify_block(kPinSo, soBlock.bytes, flagsRead, flags);
    if (rc != ERR_OK) return rc;
    return finish_unlock(kind, newBlock.bytes, newPin, newLength, flags);
}

uint32_t PinOperations::unlock_verified(uint32_t kind, const uint8_t* newPin, uint32_t newLength) {
    Block newBlock;
    uint32_t rc = make_pin_block(device_, newPin, newLength, newBlock.bytes);
    if (rc != ERR_OK) return rc;
    if (!level_met(2)) return ERR_COMMAND_FAILED;
    uint32_t flags = 0;
    rc = read_flags(flags);
    if (rc != ERR_OK) return rc;
    return finish_unlock(kind, newBlock.bytes, newPin, newLength, flags);
}

uint32_t PinOperations::finish_unlock(uint32_t kind, const uint8_t (&newBlock)[kPinBlockSize], const uint8_t* newPin,
                                      uint32_t newLength, uint32_t flags) {
    uint32_t rc = send_unlock(kind, newBlock);
    if (rc != ERR_OK) {
        // The refused command may have left the token in another state.
        external_auth(record_);
        return rc;
    }
    rc = external_auth(record_);
    if (rc != ERR_OK) return rc;
    if (kind == kPinUser) {
        flags &= ~(kFlagUserPinLocked | kFlagUserPinDefault);
        if (equals(settings_.defaultPin, newPin, newLength)) flags |= kFlagUserPinDefault;
    } else {
        // The SO PIN is usable again and carries the default mark only when it is the default.
        flags &= ~(kFlagSoPinLocked | kFlagSoPinDefault);
        if (equals(settings_.defaultSoPin, newPin, newLength)) flags |= kFlagSoPinDefault;
    }
    rc = write_flags(flags);
    if (rc == ERR_OK) cache(kind, newPin, newLength);
    return rc;
}

uint32_t PinOperations::retries(uint32_t kind, uint32_t& count) {
    LogicalLock lock;
    uint32_t rc = lock.acquire(device_);
    if (rc != ERR_OK) return rc;
    SecurityCommands security(&device_);
    ApduResponse r;
    rc = security.send({0x00, 0x20, 0x80, reference(kind), 0x00}, r);
    if (rc != ERR_OK) return rc;
    if ((r.sw & 0xFFF0) != 0x63C0) return ERR_COMMAND_FAILED;
    count = r.sw & 0x0F;
    return ERR_OK;
}

void PinOperations::cache(uint32_t kind, const uint8_t* pin, uint32_t length) {
    if (kind != kPinUser || settings_.cachePin == 0) return;
    // A PIN that cannot be cached is simply asked for again later.
    cache_pin(record_, pin, length);
}

bool PinOperations::equals(const std::string& text, const uint8_t* pin, uint32_t length) const {
    return pin && text.size() == length && std::memcmp(text.data(), pin, length) == 0;
}

}  // namespace qx::kernel
