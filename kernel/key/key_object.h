// Key objects: every key the kernel works with lives behind a key handle
// (kind 3) that points at one of the classes below.
//
// Who implements what:
//  - this header, key_object.cpp: QXKey/QXAsymKey/QXSymKey fields, the key
//    factory `make_key`, the live-key registry (`adopt_key`, `key_from_handle`,
//    `destroy_key`) and `KeyTokenSession` (logical lock + commands for a key op);
//  - asym_key.*: QXRsaKey and QXSm2Key (slots on the token, sign/verify, ...);
//  - sym_key.*: the QXSymKey subclasses, created through `make_sym_key`;
//  - key_exports.cpp: the generic key exports and Encrypt/Decrypt, which only
//    dispatch to the virtual operations; sym_exports.cpp: the symmetric ones.
// The first word after the vtable pointer is the kind tag (3): the handle check
// reads it there, so no field may be put in front of it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "QXDevice.h"
#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/commands.h"
#include "core/handles.h"
#include "core/logical_lock.h"

namespace qx::kernel {

// Algorithm identifiers of key objects.
constexpr uint32_t kAlgSm2 = 0x10000;
constexpr uint32_t kAlgRsa = 0x20000;
constexpr uint32_t kAsymMask = 0xF0000;
constexpr uint32_t kSymMask = 0xFF00;
constexpr uint32_t kStreamMask = 0xF000;  // ciphers without block alignment (RC4)

// Key specs of asymmetric keys.
constexpr uint32_t kKeySpecExchange = 1;
constexpr uint32_t kKeySpecSignature = 2;
// Slot values of asymmetric keys: not yet allocated, and "public key in host memory".
constexpr uint32_t kNoSlot = 0xFFFFFFFF;
constexpr uint32_t kHostSlot = 0;
constexpr uint32_t kMaxKeySlot = 30;

// True for the identifiers the kernel accepts where an algorithm is asked for
// (digests 1..7 and 16, the symmetric ciphers, SM2 and RSA).
bool is_accepted_algorithm(uint32_t algorithm);
inline bool is_asym_algorithm(uint32_t algorithm) { return (algorithm & kAsymMask) != 0; }
inline bool is_sym_algorithm(uint32_t algorithm) { return (algorithm & kSymMask) != 0; }

// An owned byte buffer that is overwritten before its memory is given back.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t size) : bytes_(size, 0) {}
    SecureBytes(const uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    SecureBytes(const SecureBytes& other) : bytes_(other.bytes_) {}
    SecureBytes& operator=(const SecureBytes& other) {
        if (this != &other) assign(other.data(), other.size());
        return *this;
    }
    SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecureBytes& operator=(SecureBytes&& other) noexcept {
        if (this != &other) {
            clear();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecureBytes() { clear(); }

    // Replaces the content (the old bytes are wiped first).
    void assign(const uint8_t* data, std::size_t size) {
        std::vector<uint8_t> fresh(data, data + size);
        clear();
        bytes_ = std::move(fresh);
    }
    // Replaces the content with `size` zero bytes.
    void reset(std::size_t size) {
        std::vector<uint8_t> fresh(size, 0);
        clear();
        bytes_ = std::move(fresh);
    }
    // Wipes and frees.
    void clear() {
        secure_zero(bytes_);
        std::vector<uint8_t>().swap(bytes_);
    }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    bool empty() const { return bytes_.empty(); }

private:
    std::vector<uint8_t> bytes_;
};

// Base of every key object.  The five operations are the key's own; the
// exports check handles and arguments and then call them.
class QXKey {
public:
    explicit QXKey(uint32_t algorithm);
    virtual ~QXKey();
    QXKey(const QXKey&) = delete;
    QXKey& operator=(const QXKey&) = delete;

    // Makes a key from `data` (session keys) or on the token (key pairs).
    virtual uint32_t Generate(const uint8_t* data, uint32_t length) = 0;
    // `final` non-zero marks the last part of a message; *outLength is in/out.
    virtual uint32_t Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                             uint32_t* outLength) = 0;
    virtual uint32_t Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                             uint32_t* outLength) = 0;
    // The key buffer (public key block of a key pair); null buffer asks for the size.
    virtual uint32_t GetKeyBuffer(uint8_t* buffer, uint32_t* length) = 0;
    // `wrappingKey` null: `data` is the key as it is.
    virtual uint32_t Import(QXKey* wrappingKey, uint32_t reserved, uint32_t keySpec, const uint8_t* data,
                            uint32_t length) = 0;

    // The live device record the key was made for, or null when that device
    // has been closed since (token operations then answer ERR_DEVICE_IO).
    DeviceRecord* live_device() const;
    // Binds the key to an open device handle (null: no device).
    void bind_device(void* deviceHandle);
    void* device_handle() const { return deviceHandle; }

    uint32_t tag = static_cast<uint32_t>(HandleKind::Key);  // must stay the first field
    uint32_t algorithm;
    uint32_t keyBits = 0;
    SecureBytes keyBuffer;
    uint32_t blockBits = 0;
    uint32_t padding = 0;
    uint32_t flags = 0;
    // The device handle given at creation and the transport object it referred
    // to then (both compared to tell a closed device from a live one).
    void* deviceHandle = nullptr;
    QXDeviceTransport* device = nullptr;
    // The software cipher of the key's algorithm (empty when the library has none).
    SoftCipher cipher;
};

// RSA and SM2 key pairs (private half in a numbered slot on the token) and
// public keys held in host memory (slot 0).
class QXAsymKey : public QXKey {
public:
    using QXKey::QXKey;

    // `flag` non-zero: wrap the hash in its DigestInfo (RSA); `hashAlg` is a
    // digest identifier (0: the hash is the block as it is; 16 with SM2: the
    // input is the message).
    virtual uint32_t SignHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                              uint8_t* signature, uint32_t* signatureLength) = 0;
    virtual uint32_t VerifyHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                                const uint8_t* signature, uint32_t signatureLength) = 0;
    // Announces a signed transaction of `data` to the token (kernel/transaction/):
    // digest `hashAlg`, `pieceCount` pieces, `mode`.  ERR_INVALID_PARAM for a
    // key kind without transactions.
    virtual uint32_t NegotiateTransaction(uint32_t hashAlg, uint32_t pieceCount, uint32_t mode,
                                          const uint8_t* data, uint32_t length);

    uint32_t keySpec = kKeySpecExchange;
    uint32_t slot = kNoSlot;
};

// Session keys in host memory (the token ciphers 0x500 and 0x700 run on the token).
class QXSymKey : public QXKey {
public:
    using QXKey::QXKey;

    SecureBytes salt;
    SecureBytes iv;
    uint32_t mode = 0;
    uint32_t feedbackBits = 0;
    uint32_t effectiveBits = 0;
    // Whether `cipher` has been initialised for the current message.
    bool primed = false;
};

// A new key object of `algorithm` (asymmetric or symmetric), or null when the
// algorithm has no key class or memory ran out.
std::unique_ptr<QXKey> make_key(uint32_t algorithm);
// The symmetric branch of the factory (sym_key.cpp): null for an identifier
// without a symmetric key class.
std::unique_ptr<QXKey> make_sym_key(uint32_t algorithm);

// Hands a key out: registers it as a live key handle and gives up ownership.
QXKey* adopt_key(std::unique_ptr<QXKey> key);
// The live key behind a handle, or null (never made, closed, wrong kind).
QXKey* key_from_handle(void* handle);
// Unregisters and deletes a live key; false when `key` was not live.
bool destroy_key(QXKey* key);
// Destroys every live key (when the kernel is released: their software
// ciphers belong to the library that is about to be unloaded).
void release_all_keys();
// The slots held by live asymmetric keys of this process on `device`.
std::vector<uint32_t> live_key_slots(const QXDeviceTransport* device);

inline QXAsymKey* as_asym(QXKey* key) {
    return key && is_asym_algorithm(key->algorithm) ? static_cast<QXAsymKey*>(key) : nullptr;
}
inline QXSymKey* as_sym(QXKey* key) {
    return key && is_sym_algorithm(key->algorithm) ? static_cast<QXSymKey*>(key) : nullptr;
}

// What a key operation on the token holds for its whole command sequence: the
// token's logical lock and a command object on the key's device.
class KeyTokenSession {
public:
    KeyTokenSession() = default;
    KeyTokenSession(const KeyTokenSession&) = delete;
    KeyTokenSession& operator=(const KeyTokenSession&) = delete;
    ~KeyTokenSession() {
        commands_.reset();
        lock_.release();
    }

    // ERR_DEVICE_IO when the key's device is closed; a lock failure as it is.
    uint32_t open(const QXKey& key);
    CommandObject& commands() { return *commands_; }
    QXDeviceTransport* device() const { return commands_ ? commands_->device() : nullptr; }

private:
    LogicalLock lock_;
    std::unique_ptr<CommandObject> commands_;
};

}  // namespace qx::kernel
