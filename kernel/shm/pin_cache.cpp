#include "pin_cache.h"

#include <algorithm>
#include <cstring>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "core/shared_area.h"

namespace qx::kernel {

namespace {

constexpr uint32_t kBlock = 8;
constexpr uint32_t kReadBuffer = 260;

// The 16-byte PIN-cache key of a token; false when it cannot be derived.
bool pin_cache_key(const QXDeviceTransport& device, uint8_t (&key)[16]) {
    uint32_t length = sizeof key;
    const std::size_t idLength = std::min<uint32_t>(device.identityLength, sizeof device.identity);
    return derive_key_for_index(state().config().cspName, device.identity, idLength, kKeyAdfMaster, key, &length) ==
               ERR_OK &&
           length == sizeof key;
}

// Runs the cache cipher in one direction; *outLength receives the result's length.
uint32_t run_cipher(const uint8_t (&key)[16], uint32_t direction, const uint8_t* in, uint32_t inLength,
                    uint8_t* out, uint32_t* outLength) {
    SoftCipher cipher(state().soft_alg(), QXSA_CIPHER_DES_EDE2);
    if (!cipher) return ERR_NO_MEMORY;
    if (cipher.init(QXSA_MODE_ECB, key, sizeof key, direction, QXSA_PAD_ISO9797_M2) != 0) return ERR_FAILED;
    return cipher->Process(in, inLength, out, outLength) == 0 ? ERR_OK : ERR_FAILED;
}

}  // namespace

uint32_t cache_pin(const DeviceRecord& device, const uint8_t* pin, uint32_t length) {
    if (!device.device || !pin || length == 0) return ERR_INVALID_PARAM;
    if (!kernel_area_open()) return ERR_INVALID_HANDLE;
    const uint32_t slot = device.device->slotNumber;
    if (slot >= kAreaSlots) return ERR_INVALID_PARAM;
    // Padding always adds at least one byte, up to a whole block.
    if (length / kBlock + 1 > kPinMaxData / kBlock) return ERR_BUFFER_TOO_SMALL;

    uint8_t key[16];
    if (!pin_cache_key(*device.device, key)) {
        secure_zero(key, sizeof key);
        return ERR_COMMAND_FAILED;
    }
    uint8_t sealed[kPinMaxData + kBlock];
    uint32_t sealedLength = 0;
    uint32_t rc = run_cipher(key, QXSA_ENCRYPT, pin, length, sealed, &sealedLength);
    secure_zero(key, sizeof key);
    if (rc == ERR_OK) rc = sealedLength > kPinMaxData ? ERR_BUFFER_TOO_SMALL : pin_cache_write(slot, sealed, sealedLength);
    secure_zero(sealed, sizeof sealed);
    return rc;
}

uint32_t read_cached_pin(const DeviceRecord& device, uint8_t* out, uint32_t* length, uint32_t mode) {
    if (!device.device || !length) return ERR_INVALID_PARAM;
    uint8_t sealed[kReadBuffer];
    uint32_t sealedLength = sizeof sealed;
    uint32_t rc = pin_cache_read(device.device->slotNumber, sealed, &sealedLength, mode);
    if (rc != ERR_OK) return rc;

    uint8_t key[16];
    uint8_t plain[kReadBuffer];
    uint32_t plainLength = 0;
    if (!pin_cache_key(*device.device, key)) {
        rc = ERR_COMMAND_FAILED;
    } else {
        rc = run_cipher(key, QXSA_DECRYPT, sealed, sealedLength, plain, &plainLength);
    }
    secure_zero(key, sizeof key);
    secure_zero(sealed, sizeof sealed);
    if (rc == ERR_OK) {
        if (!out) {
            *length = plainLength;
        } else if (*length < plainLength) {
            *length = plainLength;
            rc = ERR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(out, plain, plainLength);
            *length = plainLength;
        }
    }
    secure_zero(plain, sizeof plain);
    return rc;
}

}  // namespace qx::kernel
