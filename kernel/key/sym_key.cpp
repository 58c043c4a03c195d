#include "sym_key.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/kernel_state.h"
#include "crypto/block_padding.h"
#include "crypto/token_crypto.h"
#include "qx/platform/system.h"

namespace qx::kernel {

namespace {

struct SymDefaults {
    uint32_t algorithm;
    uint32_t keyBits;
    uint32_t blockBits;
    uint32_t mode;
    uint32_t padding;
    bool onToken;
};

// RC2 and RC4 take their key length from the key they are given.
constexpr SymDefaults kDefaults[] = {
    {0x100, 64, 64, 2, 1, false},   {0x200, 128, 64, 1, 1, false}, {0x300, 192, 64, 2, 1, false},
    {0x400, 128, 128, 2, 1, false}, {0x500, 128, 128, 2, 0, true}, {0x600, 128, 128, 2, 1, false},
    {0x700, 128, 128, 2, 0, true},  {0x800, 0, 0, 0, 0, false},    {0x1100, 0, 0, 0, 0, false},
};

constexpr uint32_t kModeCbc = 1, kModeEcb = 2;

// Block size of the software cipher itself (RC2 works in 8-byte blocks even
// though its key objects report a block length of 0).
uint32_t software_block(uint32_t algorithm) {
    switch (algorithm) {
    case 0x100: case 0x200: case 0x300: case 0x800: return 8;
    case 0x400: case 0x500: case 0x600: case 0x700: return 16;
    default: return 0;
    }
}

// Whether the software cipher carries the CBC chain from one Process call to
// the next (DES and SM4 start each call from the vector given to Init).
bool chain_carries(uint32_t algorithm) {
    return algorithm == 0x200 || algorithm == 0x300 || algorithm == 0x400 || algorithm == 0x800;
}

struct DigestDeleter {
    PFN_QXDestroyMessageDigest destroy;
    void operator()(MessageDigest* md) const {
        if (md && destroy) destroy(md);
    }
};

// MD5(data) || SHA-1(data) into `area` (36 bytes).
uint32_t derive_from_data(const uint8_t* data, uint32_t length, uint8_t* area) {
    const SoftAlgFunctions fns = state().soft_alg();
    if (!fns.complete()) return ERR_COMMAND_FAILED;
    uint32_t offset = 0;
    for (uint32_t id : {3u, 4u}) {
        std::unique_ptr<MessageDigest, DigestDeleter> md(fns.createDigest(id), DigestDeleter{fns.destroyDigest});
        if (!md) return ERR_COMMAND_FAILED;
        uint32_t size = id == 3 ? 16 : 20;
        if (md->Digest(data, length, area + offset, &size) != 0) return ERR_COMMAND_FAILED;
        offset += size;
    }
    return offset == 36 ? ERR_OK : ERR_COMMAND_FAILED;
}

void decrypt_trace(const char* format, uint32_t value) {
    char line[96];
    std::snprintf(line, sizeof line, format, static_cast<unsigned>(value));
    platform::debug_output(line);
}

}  // namespace

bool sym_key_bits_allowed(uint32_t algorithm, uint32_t bits) {
    switch (algorithm) {
    case 0x100: return bits == 64;
    case 0x200: return bits == 128;
    case 0x300: return bits == 192;
    case 0x400: return bits == 128 || bits == 192 || bits == 256;
    case 0x500: case 0x600: case 0x700: return bits == 128;
    case 0x800: return bits >= 8 && bits <= 1024 && bits % 8 == 0;
    case 0x1100: return bits >= 8 && bits <= 2048 && bits % 8 == 0;
    default: return false;
    }
}

std::unique_ptr<QXKey> make_sym_key(uint32_t algorithm) {
    for (const SymDefaults& d : kDefaults) {
        if (d.algorithm != algorithm) continue;
        if (d.onToken) return std::make_unique<QXTokenSymKey>(algorithm);
        return std::make_unique<QXSoftSymKey>(algorithm, d.keyBits, d.blockBits, d.mode, d.padding);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------

QXSymKeyBase::QXSymKeyBase(uint32_t alg, uint32_t bits, uint32_t block, uint32_t defaultMode,
                           uint32_t defaultPadding)
    : QXSymKey(alg) {
    keyBits = bits;
    blockBits = block;
    mode = defaultMode;
    padding = defaultPadding;
    keyBuffer.reset(bits / 8);
}

uint32_t QXSymKeyBase::cipher_block() const { return blockBits ? blockBits / 8 : software_block(algorithm); }

uint32_t QXSymKeyBase::take_key(const uint8_t* bytes, uint32_t length) {
    keyBuffer.assign(bytes, length);
    keyBits = length * 8;
    iv.reset(blockBits / 8);
    salt.reset(blockBits / 8);
    unprime();
    return ERR_OK;
}

uint32_t QXSymKeyBase::Generate(const uint8_t* data, uint32_t length) {
    if (keyBits == 0 || keyBits % 8 != 0) return ERR_INVALID_PARAM;
    const uint32_t n = keyBits / 8;
    SecureBytes key(n);
    if (data && length) {
        if (keyBits > kMaxDerivedKeyBits) return ERR_INVALID_PARAM;
        uint8_t area[256] = {};
        const uint32_t rc = derive_from_data(data, length, area);
        if (rc == ERR_OK) std::memcpy(key.data(), area, n);
        secure_zero(area, sizeof area);
        if (rc != ERR_OK) return rc;
    } else if (!random_bytes(key.data(), n)) {
        return ERR_COMMAND_FAILED;
    }
    return take_key(key.data(), n);
}

uint32_t QXSymKeyBase::GetKeyBuffer(uint8_t* buffer, uint32_t* length) {
    if (!length || keyBuffer.empty()) return ERR_INVALID_PARAM;
    if (buffer && *length < keyBuffer.size()) {
        *length = keyBuffer.size();
        return ERR_BUFFER_TOO_SMALL;
    }
    if (buffer) std::memcpy(buffer, keyBuffer.data(), keyBuffer.size());
    *length = keyBuffer.size();
    return ERR_OK;
}

uint32_t QXSymKeyBase::Import(QXKey* wrappingKey, uint32_t, uint32_t, const uint8_t* data, uint32_t length) {
    if (!data || length == 0) return ERR_INVALID_PARAM;
    SecureBytes key(data, length);
    if (wrappingKey) {
        SecureBytes plain(length);
        uint32_t plainLength = plain.size();
        const uint32_t rc = wrappingKey->Decrypt(1, data, length, plain.data(), &plainLength);
        if (rc != ERR_OK) return rc;
        if (plainLength == 0 || plainLength > length) return ERR_INVALID_PARAM;
        key.assign(plain.data(), plainLength);
    }
    if (!sym_key_bits_allowed(algorithm, key.size() * 8)) return ERR_INVALID_PARAM;
    return take_key(key.data(), key.size());
}

// ---------------------------------------------------------------------------

uint32_t QXSoftSymKey::Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                               uint32_t* outLength) {
    return run(QXSA_ENCRYPT, final, in, inLength, out, outLength);
}

uint32_t QXSoftSymKey::Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                               uint32_t* outLength) {
    platform::debug_output("++++into QXSymKey::Decrypt");
    const uint32_t rc = run(QXSA_DECRYPT, final, in, inLength, out, outLength);
    decrypt_trace("\n ++++++QXSymKey::Decrypt dwRet = %x                    ", rc);
    return rc;
}

uint32_t QXSoftSymKey::run(uint32_t direction, uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                           uint32_t* outLength) {
    if (!in || inLength == 0 || !out || !outLength) return ERR_INVALID_PARAM;
    if (!cipher) return ERR_INVALID_PARAM;
    const bool stream = (algorithm & kStreamMask) != 0;
    const uint32_t b = cipher_block();
    uint32_t callPadding = padding;
    if (!stream && !final) {
        if (b && inLength % b) return ERR_INVALID_PARAM;
        callPadding = QXSA_PAD_NONE;
    }
    // The cipher writes without knowing the room it has: make sure of it first.
    uint64_t need = inLength;
    if (!stream && b && direction == QXSA_ENCRYPT && callPadding != QXSA_PAD_NONE) {
        need = (static_cast<uint64_t>(inLength) / b + 1) * b;
    }
    if (need > UINT32_MAX) return ERR_INVALID_PARAM;
    if (*outLength < need) {
        *outLength = static_cast<uint32_t>(need);
        return ERR_BUFFER_TOO_SMALL;
    }

    uint32_t rc = ERR_OK;
    if (!primed || primedDirection_ != direction) {
        if (direction == QXSA_DECRYPT) decrypt_trace("\n ++++QXSymKey::Decrypt m_dwKeyLenBit = %d", keyBits);
        chain_.clear();
        rc = cipher->Init(mode, keyBuffer.data(), keyBuffer.size(), iv.data(), iv.size(), direction, callPadding);
        primed = rc == ERR_OK;
        if (rc != ERR_OK) return rc;
        primedDirection_ = direction;
        primedPadding_ = callPadding;
    } else if (!stream && primedPadding_ != callPadding) {
        // The last part of a message that came in parts: the cipher takes the
        // key's padding now and goes on from where the chain stands.
        const bool carry = mode == kModeCbc && chain_carries(algorithm) && chain_.size() == b;
        rc = cipher->Init(mode, keyBuffer.data(), keyBuffer.size(), carry ? chain_.data() : iv.data(),
                          carry ? chain_.size() : iv.size(), direction, callPadding);
        if (rc != ERR_OK) {
            primed = false;
            return rc;
        }
        primedPadding_ = callPadding;
    }

    uint32_t produced = 0;
    rc = cipher->Process(in, inLength, out, &produced);
    if (rc == ERR_OK && produced > need) rc = ERR_FAILED;
    if (rc != ERR_OK) {
        primed = false;
        chain_.clear();
        return rc;
    }
    if (final) {
        primed = false;
        chain_.clear();
    } else if (!stream && mode == kModeCbc && b) {
        const uint8_t* last = direction == QXSA_ENCRYPT ? out + produced - b : in + inLength - b;
        if (produced >= b && inLength >= b) chain_.assign(last, b);
    }
    *outLength = produced;
    return ERR_OK;
}

// ---------------------------------------------------------------------------

QXTokenSymKey::QXTokenSymKey(uint32_t alg) : QXSymKeyBase(alg, 128, 128, kModeEcb, kPadNone) {}

uint32_t QXTokenSymKey::Encrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                uint32_t* outLength) {
    if (!in || inLength == 0 || !out || !outLength) return ERR_INVALID_PARAM;
    const uint32_t b = cipher_block();
    std::vector<uint8_t> data(in, in + inLength);
    uint32_t rc = final ? apply_padding(padding, b, data) : (inLength % b ? ERR_INVALID_PARAM : ERR_OK);
    if (rc == ERR_OK && (keyBuffer.size() != 16 || data.size() > UINT32_MAX)) rc = ERR_INVALID_PARAM;
    if (rc == ERR_OK) {
        DeviceRecord* record = live_device();
        if (!record) {
            rc = ERR_DEVICE_IO;
        } else {
            TokenCryptoCommands token(record->device);
            rc = token.session_cipher(true, keyBuffer.data(), keyBuffer.size(), mode, b, iv.data(), iv.size(),
                                      data.data(), static_cast<uint32_t>(data.size()), out, outLength);
        }
    }
    secure_zero(data);
    return rc;
}

uint32_t QXTokenSymKey::Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                uint32_t* outLength) {
    if (!in || inLength == 0 || !out || !outLength) return ERR_INVALID_PARAM;
    const uint32_t b = cipher_block();
    if (inLength % b || keyBuffer.size() != 16) return ERR_INVALID_PARAM;
    DeviceRecord* record = live_device();
    if (!record) return ERR_DEVICE_IO;
    TokenCryptoCommands token(record->device);
    const uint32_t room = *outLength;
    uint32_t rc = token.session_cipher(false, keyBuffer.data(), keyBuffer.size(), mode, b, iv.data(), iv.size(), in,
                                       inLength, out, outLength);
    if (rc != ERR_OK || !final) return rc;
    uint32_t kept = 0;
    if (remove_padding(padding, b, out, *outLength, &kept) != ERR_OK) {
        secure_zero(out, std::min(room, inLength));
        return ERR_INVALID_PARAM;
    }
    *outLength = kept;
    return ERR_OK;
}

// ---------------------------------------------------------------------------

SymKeyBlockEncryptor::SymKeyBlockEncryptor(QXSymKeyBase& key) : key_(key) {
    key_.mode = kModeEcb;
    key_.padding = kPadNone;
    key_.unprime();
}

uint32_t SymKeyBlockEncryptor::encrypt_block(uint8_t* block) {
    const uint32_t b = key_.cipher_block();
    if (b == 0 || b > 16) return ERR_INVALID_PARAM;
    uint8_t out[32];
    uint32_t outLength = sizeof out;
    uint32_t rc = key_.Encrypt(1, block, b, out, &outLength);
    if (rc == ERR_OK && outLength != b) rc = ERR_FAILED;
    if (rc == ERR_OK) std::memcpy(block, out, b);
    secure_zero(out, sizeof out);
    return rc;
}

uint32_t sym_key_mac(QXSymKeyBase& key, const uint8_t* iv, const uint8_t* data, uint32_t length, uint8_t* mac,
                     uint32_t macLength) {
    SymKeyBlockEncryptor cipher(key);
    return block_mac(cipher, iv, data, length, mac, macLength);
}

}  // namespace qx::kernel
