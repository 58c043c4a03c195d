#include "transaction.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "QXTokenStatus.h"
#include "config/kernel_config.h"
#include "core/commands.h"
#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "core/logical_lock.h"
#include "core/status_words.h"
#include "key/asym_key.h"
#include "key/sym_key.h"
#include "token/token_info.h"

namespace qx::kernel {

namespace {

constexpr uint32_t kHashSha1 = 4;
constexpr uint32_t kHashSha256 = 5;
constexpr uint32_t kHashSm3 = 16;
constexpr uint32_t kSm2SignatureSize = 64;
constexpr uint32_t kDesAlgorithm = 0x100;

std::vector<uint8_t> sub_command(uint8_t tag, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> c{0x80, 0x77, 0x00, 0x00, static_cast<uint8_t>(value.size() + 2), tag,
                           static_cast<uint8_t>(value.size())};
    c.insert(c.end(), value.begin(), value.end());
    return c;
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// The logical lock and a command object on one device for one sub-command.
class TokenStep {
public:
    TokenStep() = default;
    TokenStep(const TokenStep&) = delete;
    TokenStep& operator=(const TokenStep&) = delete;
    ~TokenStep() {
        commands_.reset();
        lock_.release();
    }
    uint32_t open(QXDeviceTransport* device) {
        if (!device) return ERR_DEVICE_IO;
        const uint32_t rc = lock_.acquire(*device);
        if (rc != ERR_OK) return rc;
        commands_ = std::make_unique<CommandObject>(device);
        return ERR_OK;
    }
    uint32_t send(const std::vector<uint8_t>& command, ApduResponse& response) {
        return commands_->send(command, response);
    }

private:
    LogicalLock lock_;
    std::unique_ptr<CommandObject> commands_;
};

QXDeviceTransport* key_device(const QXKey& key) {
    DeviceRecord* record = key.live_device();
    return record ? record->device : nullptr;
}

// One sub-command whose only answer that counts is 9000.
uint32_t send_plain(QXDeviceTransport* device, const std::vector<uint8_t>& command) {
    TokenStep step;
    uint32_t rc = step.open(device);
    if (rc != ERR_OK) return rc;
    ApduResponse r;
    rc = step.send(command, r);
    return rc == ERR_OK && r.sw == kSwSuccess ? ERR_OK : ERR_COMMAND_FAILED;
}

// The get-signature sub-command.  `room` is what the caller's buffer holds:
// a longer signature is not copied (the token gives it only once, so the
// caller learns the size it would have needed).
uint32_t poll_signature(QXDeviceTransport* device, uint8_t* out, uint32_t* outLength) {
    TokenStep step;
    uint32_t rc = step.open(device);
    if (rc != ERR_OK) return rc;
    ApduResponse r;
    if (step.send(signature_command(), r) != ERR_OK) return ERR_TRANSACTION_OTHER;
    const uint32_t status = translate_transaction_sw(r.sw);
    if (status != ERR_OK) return status;
    // Success without a signature is no success.
    if (r.length == 0) return ERR_TRANSACTION_OTHER;
    if (r.length > *outLength) {
        *outLength = r.length;
        return ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, r.data(), r.length);
    *outLength = r.length;
    return ERR_OK;
}

}  // namespace

uint8_t transaction_algorithm_code(uint32_t keyAlgorithm, uint32_t keyBits, uint32_t hashAlg) {
    if (keyAlgorithm == kAlgSm2) return hashAlg == kHashSm3 ? 7 : 0;
    if (keyAlgorithm != kAlgRsa) return 0;
    const bool short1024 = keyBits == 1024;
    if (hashAlg == kHashSha1) return short1024 ? 2 : 5;
    if (hashAlg == kHashSha256) return short1024 ? 1 : 4;
    return 0;
}

uint32_t is_transaction_hash_allowed(uint32_t mask, uint32_t hashAlg) {
    switch (hashAlg) {
    case kHashSha1: return (mask & 1u) ? 1 : 0;
    case kHashSha256: return (mask & 2u) ? 1 : 0;
    case kHashSm3: return (mask & 4u) ? 1 : 0;
    default: return 0;
    }
}

std::vector<uint8_t> negotiate_command(uint8_t slot, uint8_t code, uint16_t waitSeconds, uint16_t pieceCount,
                                       uint32_t dataLength, const uint8_t (&mac)[kTransactionMacSize], uint8_t mode) {
    std::vector<uint8_t> v{slot, code};
    put16(v, waitSeconds);
    put16(v, pieceCount);
    put16(v, dataLength >> 16);
    put16(v, dataLength & 0xFFFF);
    v.insert(v.end(), mac, mac + kTransactionMacSize);
    v.push_back(mode);
    v.push_back(0x00);
    return sub_command(kTagNegotiate, v);
}

std::vector<uint8_t> piece_command(uint16_t number, const uint8_t* piece, uint32_t length) {
    std::vector<uint8_t> v;
    put16(v, number);
    v.insert(v.end(), piece, piece + length);
    return sub_command(kTagPiece, v);
}

std::vector<uint8_t> signature_command() { return sub_command(kTagSignature, {0x00}); }
std::vector<uint8_t> cancel_command() { return sub_command(kTagCancel, {0x04}); }

uint32_t transaction_signature_size(const QXKey& key) {
    if (key.algorithm == kAlgSm2) return kSm2SignatureSize;
    if (key.algorithm == kAlgRsa) return key.keyBits / 8;
    return 0;
}

uint32_t transaction_mac(void* deviceHandle, int32_t skAlg, const uint8_t* digest, uint32_t digestLength,
                         uint8_t (&mac)[kTransactionMacSize]) {
    DeviceRecord* record = device_record(deviceHandle);
    if (!record || !record->device) return ERR_DEVICE_IO;
    const QXDeviceTransport& device = *record->device;
    const uint32_t idLength = std::min<uint32_t>(device.identityLength, sizeof device.identity);

    uint8_t derived[16];
    uint32_t derivedLength = sizeof derived;
    uint32_t rc = derive_key_for_index(state().config().cspName, device.identity, idLength, kKeyAdfLineProtect,
                                       derived, &derivedLength);
    if (rc != ERR_OK) return rc;

    const uint32_t algorithm = sk_algorithm(skAlg);
    std::unique_ptr<QXKey> made = make_sym_key(algorithm);
    auto* key = static_cast<QXSymKeyBase*>(as_sym(made.get()));
    if (!key) {
        secure_zero(derived, sizeof derived);
        return ERR_NO_MEMORY;
    }
    key->bind_device(deviceHandle);
    if (key->Generate(nullptr, 0) != ERR_OK) {
        secure_zero(derived, sizeof derived);
        return kTransactionKeyGenerateFailed;
    }
    // DES holds 8 key bytes: the token keys its DES MAC with the front half.
    const uint32_t keyBytes = algorithm == kDesAlgorithm ? 8 : derivedLength;
    rc = key->Import(nullptr, 0, 0, derived, keyBytes);
    secure_zero(derived, sizeof derived);
    if (rc != ERR_OK) return rc;

    const uint8_t zero[16] = {};
    return sym_key_mac(*key, zero, digest, digestLength, mac, kTransactionMacSize);
}

uint32_t negotiate_transaction(QXAsymKey& key, uint8_t code, uint32_t hashAlg, uint32_t pieceCount, uint32_t mode,
                               const uint8_t* data, uint32_t length) {
    const SoftAlgFunctions fns = state().soft_alg();
    if (!fns.complete()) return ERR_FAILED;
    uint8_t digest[64];
    uint32_t digestLength = sizeof digest;
    {
        std::unique_ptr<MessageDigest, PFN_QXDestroyMessageDigest> md(fns.createDigest(hashAlg), fns.destroyDigest);
        if (!md) return ERR_NO_MEMORY;
        const uint32_t rc = md->Digest(data, length, digest, &digestLength);
        if (rc != ERR_OK) return rc;
    }
    const KernelConfig config = state().config();
    uint8_t mac[kTransactionMacSize];
    uint32_t rc = transaction_mac(key.deviceHandle, config.skAlg, digest, digestLength, mac);
    if (rc != ERR_OK) return rc;

    const auto wait = static_cast<uint16_t>(static_cast<uint32_t>(config.tranSignWaitTime) & 0xFFFF);
    return send_plain(key_device(key),
                      negotiate_command(static_cast<uint8_t>(key.slot), code, wait, static_cast<uint16_t>(pieceCount),
                                        length, mac, static_cast<uint8_t>(mode)));
}

uint32_t QXRsaKey::NegotiateTransaction(uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                                        uint32_t length) {
    if ((hashAlg != kHashSha1 && hashAlg != kHashSha256) || !data || length == 0) return ERR_INVALID_PARAM;
    // Slot 0 is a public key in host memory; an unallocated key has no slot either.
    if (slot == kHostSlot || slot == kNoSlot) return ERR_INVALID_PARAM;
    return negotiate_transaction(*this, transaction_algorithm_code(algorithm, keyBits, hashAlg), hashAlg, pieceCount,
                                 mode, data, length);
}

uint32_t QXSm2Key::NegotiateTransaction(uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                                        uint32_t length) {
    if (hashAlg != kHashSm3 || !data || length == 0) return ERR_INVALID_PARAM;
    // The caller puts Z_A in front of the data: the digest is over what is sent.
    return negotiate_transaction(*this, transaction_algorithm_code(algorithm, keyBits, hashAlg), hashAlg, pieceCount,
                                 mode, data, length);
}

uint32_t negotiate(QXKey* key, uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                   uint32_t length) {
    if (!key) return ERR_INVALID_PARAM;
    QXAsymKey* pair = as_asym(key);
    if (!pair || (hashAlg & 0xFF) == 0) return ERR_INVALID_HANDLE;
    if (pieceCount > kMaxTransactionPieces || mode > kMaxTransactionMode) return ERR_INVALID_PARAM;
    return pair->NegotiateTransaction(hashAlg, pieceCount, mode, data, length);
}

uint32_t send_piece(QXKey* key, uint32_t number, const uint8_t* piece, uint32_t length, uint8_t* out,
                    uint32_t* outLength) {
    if (!key) return ERR_INVALID_PARAM;
    if (!as_asym(key)) return ERR_INVALID_HANDLE;
    if (number == 0 || number > kMaxTransactionPieces || !piece || length == 0 || length > kMaxTransactionPiece ||
        !out || !outLength) {
        return ERR_INVALID_PARAM;
    }
    TokenStep step;
    uint32_t rc = step.open(key_device(*key));
    if (rc != ERR_OK) return rc;
    ApduResponse r;
    rc = step.send(piece_command(static_cast<uint16_t>(number), piece, length), r);
    if (rc != ERR_OK || r.sw != kSwSuccess) return ERR_COMMAND_FAILED;
    if (r.length > *outLength) {
        *outLength = r.length;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (r.length) std::memcpy(out, r.data(), r.length);
    *outLength = r.length;
    return ERR_OK;
}

uint32_t get_signature(QXKey* key, uint8_t* out, uint32_t* outLength) {
    if (!key) return ERR_INVALID_PARAM;
    if (!as_asym(key)) return ERR_INVALID_HANDLE;
    if (!out || !outLength) return ERR_INVALID_PARAM;
    // Asked before anything is sent: once the token has released the
    // signature it is gone, so a short buffer must not cost the caller it.
    const uint32_t size = transaction_signature_size(*key);
    if (*outLength < size) {
        *outLength = size;
        return ERR_BUFFER_TOO_SMALL;
    }
    return poll_signature(key_device(*key), out, outLength);
}

uint32_t cancel(void* keyHandle, void* deviceHandle) {
    QXDeviceTransport* device = nullptr;
    if (QXKey* key = key_from_handle(keyHandle)) {
        if (!as_asym(key)) return ERR_INVALID_HANDLE;
        device = key_device(*key);
        if (!device) return ERR_DEVICE_IO;
    } else {
        DeviceRecord* record = device_record(deviceHandle);
        if (!record) return ERR_INVALID_PARAM;
        device = record->device;
    }
    if (deviceHandle) return send_plain(device, cancel_command());
    // Without a device the token is only asked for the signature, which is dropped.
    uint8_t area[kResponseBufferSize];
    uint32_t areaLength = sizeof area;
    const uint32_t status = poll_signature(device, area, &areaLength);
    secure_zero(area, sizeof area);
    return status;
}

}  // namespace qx::kernel
