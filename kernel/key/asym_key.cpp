#include "asym_key.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <cstring>

#include "core/kernel_state.h"
#include "core/key_derivation.h"
#include "core/status_words.h"
#include "core/trace.h"
#include "key_slots.h"

namespace qx::kernel {

namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kSource[] = "asym_key.cpp";
constexpr uint32_t kRsaPublicBlock = QXSA_RSA_PUBLIC_BLOCK_SIZE;
constexpr uint32_t kRsaPrivateBlock = QXSA_RSA_PRIVATE_BLOCK_SIZE;
constexpr uint32_t kApduPiece = 255;
constexpr uint32_t kSm2Coordinate = 32;
constexpr uint32_t kSm2Signature = 64;
constexpr uint32_t kSm2CipherOverhead = 96;  // C1 (X, Y) and C3
constexpr uint32_t kSm2MaxPlain = 159;
constexpr uint32_t kSm2MaxCipher = 255;
constexpr uint32_t kDigestSm3 = 16;

// Overwrites a byte vector when it goes out of scope.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { secure_zero(bytes); }
};

Bytes command(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data = nullptr, uint32_t length = 0) {
    Bytes c{cla, ins, p1, p2};
    if (length) {
        c.push_back(static_cast<uint8_t>(length));
        c.insert(c.end(), data, data + length);
    }
    return c;
}

// Sends one command; true when it went through and the token answered 9000.
bool accepted(KeyTokenSession& session, const Bytes& cmd, ApduResponse& r,
              Visibility visibility = Visibility::Traced) {
    return session.commands().send(cmd, r, visibility) == ERR_OK && r.sw == kSwSuccess;
}

bool all_zero(const uint8_t* p, std::size_t n) {
    uint8_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= p[i];
    return acc == 0;
}

// True when the big-endian number in `field` has at most `bits` significant bits.
bool fits_bits(const uint8_t* field, std::size_t size, uint32_t bits) {
    std::size_t whole = bits / 8, rest = bits % 8;
    std::size_t used = whole + (rest ? 1 : 0);
    if (used > size) return true;
    if (!all_zero(field, size - used)) return false;
    return rest == 0 || (field[size - used] >> rest) == 0;
}

bool rsa_token_bits(uint32_t bits) { return bits == 1024 || bits == 2048; }

uint32_t block_bits(const SecureBytes& block) {
    uint32_t bits = 0;
    if (block.size() >= 4) std::memcpy(&bits, block.data(), 4);
    return bits;
}

struct DigestInfo {
    uint32_t alg;
    uint32_t hashSize;
    Bytes prefix;
};

const DigestInfo* digest_info(uint32_t alg) {
    static const DigestInfo table[] = {
        {1, 16, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10}},
        {2, 16, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x04, 0x05, 0x00, 0x04, 0x10}},
        {3, 16, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
        {4, 20, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
        {5, 32, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
                 0x04, 0x20}},
        {8, 0, {}},  // no digest: the input is used unchanged, any size
    };
    for (const DigestInfo& d : table)
        if (d.alg == alg) return &d;
    return nullptr;
}

// The hash unchanged as the whole block, left-padded with zeros to k bytes.
uint32_t raw_block(const uint8_t* hash, uint32_t hashLength, uint32_t k, Bytes& block) {
    if (hashLength == 0 || hashLength > k) return ERR_INVALID_PARAM;
    block.assign(k, 0);
    std::memcpy(block.data() + (k - hashLength), hash, hashLength);
    return ERR_OK;
}

// Unwraps data imported under a wrapping key with that key's Decrypt.
uint32_t unwrap(QXKey& wrappingKey, const uint8_t* data, uint32_t length, Bytes& plain) {
    uint32_t blockBytes = wrappingKey.blockBits / 8;
    if (blockBytes != 0 && length % blockBytes != 0) return ERR_INVALID_PARAM;
    plain.assign(static_cast<std::size_t>(length) + 32, 0);
    uint32_t plainLength = static_cast<uint32_t>(plain.size());
    uint32_t rc = wrappingKey.Decrypt(1, data, length, plain.data(), &plainLength);
    if (rc != ERR_OK) {
        secure_zero(plain);
        return rc;
    }
    if (plainLength > plain.size()) {
        secure_zero(plain);
        return ERR_FAILED;
    }
    plain.resize(plainLength);
    return ERR_OK;
}

// Imports `data` as it is, or what it deciphers to under `wrappingKey`.
template <typename ImportPlain>
uint32_t import_maybe_wrapped(QXKey* wrappingKey, const uint8_t* data, uint32_t length, ImportPlain importPlain) {
    if (!data || length == 0) return ERR_INVALID_PARAM;
    if (!wrappingKey) return importPlain(data, length);
    Bytes plain;
    WipeOnExit wipe{plain};
    if (uint32_t rc = unwrap(*wrappingKey, data, length, plain)) return rc;
    return importPlain(plain.data(), static_cast<uint32_t>(plain.size()));
}

// A digest object of the software library, destroyed on every path.
class SoftDigest {
public:
    explicit SoftDigest(uint32_t alg) : fns_(state().soft_alg()) {
        if (fns_.createDigest && fns_.destroyDigest) digest_ = fns_.createDigest(alg);
    }
    ~SoftDigest() {
        if (digest_) fns_.destroyDigest(digest_);
    }
    SoftDigest(const SoftDigest&) = delete;
    SoftDigest& operator=(const SoftDigest&) = delete;
    MessageDigest* operator->() const { return digest_; }
    explicit operator bool() const { return digest_ != nullptr; }

private:
    SoftAlgFunctions fns_;
    MessageDigest* digest_ = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// PKCS #1 v1.5

uint32_t pkcs1_signature_block(uint32_t flag, uint32_t hashAlg, uint32_t bits, const uint8_t* hash,
                               uint32_t hashLength, Bytes& block) {
    const uint32_t k = (bits + 7) / 8;
    const Bytes* prefix = nullptr;
    if (flag) {
        const DigestInfo* info = digest_info(hashAlg);
        if (!info) return ERR_INVALID_PARAM;
        if (info->hashSize != 0 && hashLength != info->hashSize) return ERR_INVALID_PARAM;
        prefix = &info->prefix;
    }
    const uint64_t prefixSize = prefix ? prefix->size() : 0;
    if (!hash || hashLength == 0 || prefixSize + hashLength + 11 > k) return ERR_INVALID_PARAM;
    block.assign(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    std::size_t at = k - hashLength - prefixSize - 1;
    block[at++] = 0x00;
    if (prefix) {
        std::copy(prefix->begin(), prefix->end(), block.begin() + static_cast<std::ptrdiff_t>(at));
        at += prefix->size();
    }
    std::memcpy(block.data() + at, hash, hashLength);
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// RSA

QXRsaKey::~QXRsaKey() = default;

uint32_t QXRsaKey::Generate(const uint8_t* data, uint32_t length) {
    if (data || length) return ERR_INVALID_PARAM;
    keyBuffer.reset(kRsaPublicBlock);
    if (slot == kHostSlot || slot > kMaxKeySlot || !rsa_token_bits(keyBits)) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x46, keyBits == 2048 ? 0x02 : 0x00, static_cast<uint8_t>(slot)), r))
        return ERR_KEY_COMMAND;
    return ERR_OK;
}

uint32_t QXRsaKey::ensure_public_key() {
    if (keyBuffer.size() != kRsaPublicBlock) keyBuffer.reset(kRsaPublicBlock);
    if (block_bits(keyBuffer) == blockBits && blockBits != 0) return ERR_OK;
    if (slot == kHostSlot || slot > kMaxKeySlot || !rsa_token_bits(keyBits)) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    const uint32_t k = keyBits / 8;
    ApduResponse r;
    Bytes cmd{0x80, 0x4C, static_cast<uint8_t>(slot), 0x02, static_cast<uint8_t>(k & 0xFF)};
    // An answer that is not exactly one modulus is as good as a refusal.
    if (!accepted(session, cmd, r) || r.length != k) return ERR_EXPORT_PUBLIC_KEY;
    RsaPublicKeyBlock block{};
    block.bits = keyBits;
    std::memcpy(block.modulus + sizeof block.modulus - k, r.data(), k);
    const uint8_t exponent[4] = {0x00, 0x01, 0x00, 0x01};
    std::memcpy(block.publicExponent + sizeof block.publicExponent - 4, exponent, 4);
    keyBuffer.assign(reinterpret_cast<const uint8_t*>(&block), sizeof block);
    return ERR_OK;
}

uint32_t QXRsaKey::GetKeyBuffer(uint8_t* buffer, uint32_t* length) {
    if (!length) return ERR_INVALID_PARAM;
    if (keyBuffer.size() != kRsaPublicBlock) keyBuffer.reset(kRsaPublicBlock);
    if (buffer) {
        if (*length < kRsaPublicBlock) {
            *length = kRsaPublicBlock;
            return ERR_BUFFER_TOO_SMALL;
        }
        if (uint32_t rc = ensure_public_key()) return rc;
        std::memcpy(buffer, keyBuffer.data(), kRsaPublicBlock);
    }
    *length = kRsaPublicBlock;
    return ERR_OK;
}

uint32_t QXRsaKey::Import(QXKey* wrappingKey, uint32_t, uint32_t spec, const uint8_t* data, uint32_t length) {
    return import_maybe_wrapped(wrappingKey, data, length, [&](const uint8_t* plain, uint32_t plainLength) {
        return import_plain(spec, plain, plainLength);
    });
}

uint32_t QXRsaKey::import_plain(uint32_t spec, const uint8_t* data, uint32_t length) {
    if (length == kRsaPublicBlock) {
        RsaPublicKeyBlock block;
        std::memcpy(&block, data, sizeof block);
        if (block.bits == 0 || block.bits > QXSA_RSA_MAX_BITS ||
            !fits_bits(block.modulus, sizeof block.modulus, block.bits) ||
            all_zero(block.publicExponent, sizeof block.publicExponent))
            return ERR_INVALID_PARAM;
        keyBuffer.assign(data, length);
        slot = kHostSlot;
        keyBits = blockBits = block.bits;
        keySpec = spec == kKeySpecSignature ? kKeySpecSignature : kKeySpecExchange;
        return ERR_OK;
    }
    if (length != kRsaPrivateBlock) return ERR_INVALID_PARAM;

    struct Wiped {
        RsaPrivateKeyBlock b;
        ~Wiped() { secure_zero(&b, sizeof b); }
    } priv;
    std::memcpy(&priv.b, data, sizeof priv.b);
    const RsaPrivateKeyBlock& b = priv.b;
    const uint32_t bits = b.bits;
    if (!rsa_token_bits(bits)) return ERR_INVALID_PARAM;
    const uint32_t k = bits / 8, half = k / 2;
    // The token keeps only the exponent 65537 and answers it on export.
    const uint8_t f4[4] = {0x00, 0x01, 0x00, 0x01};
    if (!all_zero(b.publicExponent, sizeof b.publicExponent - 4) ||
        std::memcmp(b.publicExponent + sizeof b.publicExponent - 4, f4, 4) != 0)
        return ERR_INVALID_PARAM;
    if (!fits_bits(b.modulus, sizeof b.modulus, bits) || !fits_bits(b.privateExponent, sizeof b.privateExponent, bits))
        return ERR_INVALID_PARAM;
    const uint8_t* parts[5] = {b.prime[0], b.prime[1], b.primeExponent[0], b.primeExponent[1], b.coefficient};
    for (const uint8_t* part : parts)
        if (!all_zero(part, 128 - half)) return ERR_INVALID_PARAM;

    DeviceRecord* device = live_device();
    if (!device) return ERR_DEVICE_IO;
    uint32_t newSlot = 0;
    if (allocate_slot(*device, kAlgRsa, bits, newSlot) != ERR_OK) return ERR_COMMAND_FAILED;

    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    // Public part: modulus and the exponent's last four bytes, in numbered pieces.
    Bytes pub(b.modulus + sizeof b.modulus - k, b.modulus + sizeof b.modulus);
    pub.insert(pub.end(), f4, f4 + 4);
    uint8_t piece = 1;
    for (uint32_t at = 0; at < pub.size(); at += kApduPiece, ++piece) {
        uint32_t n = std::min<uint32_t>(kApduPiece, static_cast<uint32_t>(pub.size()) - at);
        ApduResponse r;
        if (!accepted(session, command(0x80, 0x47, static_cast<uint8_t>(newSlot), piece, pub.data() + at, n), r))
            return ERR_IMPORT_PUBLIC_KEY;
    }
    // Private part: p, q, dp, dq, qinv, then d's less and more significant halves.
    const uint8_t* d = b.privateExponent + sizeof b.privateExponent - k;
    const uint8_t* fields[7] = {parts[0] + 128 - half, parts[1] + 128 - half, parts[2] + 128 - half,
                                parts[3] + 128 - half, parts[4] + 128 - half, d + half, d};
    for (uint8_t p2 = 1; p2 <= 7; ++p2) {
        Bytes cmd = command(0x80, 0x49, static_cast<uint8_t>(newSlot), p2, fields[p2 - 1], half);
        WipeOnExit wipeCmd{cmd};
        ApduResponse r;
        if (!accepted(session, cmd, r, Visibility::Secret)) return ERR_IMPORT_PRIVATE_KEY;
    }

    RsaPublicKeyBlock block{};
    block.bits = bits;
    std::memcpy(block.modulus, b.modulus, sizeof block.modulus);
    std::memcpy(block.publicExponent, b.publicExponent, sizeof block.publicExponent);
    keyBuffer.assign(reinterpret_cast<const uint8_t*>(&block), sizeof block);
    slot = newSlot;
    keyBits = blockBits = bits;
    keySpec = spec == kKeySpecSignature ? kKeySpecSignature : kKeySpecExchange;
    return ERR_OK;
}

uint32_t QXRsaKey::private_operation(uint32_t direction, uint32_t operationPadding, const uint8_t* in,
                                     uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    trace(kTraceCalls, kSource, __LINE__,
          "Enter RSAPriKeyCipher dwEnc = %d, dwPadding = %d, dwIndex = %d, dwKeyLenBit = %d",
          static_cast<int>(direction), static_cast<int>(operationPadding), static_cast<int>(slot),
          static_cast<int>(keyBits));
    auto body = [&]() -> uint32_t {
        const bool paddingKnown =
            operationPadding == 0 || operationPadding == 6 || operationPadding == 7 || operationPadding == 66;
        if (direction > 1 || !paddingKnown || slot > kMaxKeySlot || !rsa_token_bits(keyBits) || !outLength)
            return ERR_INVALID_PARAM;
        const uint32_t k = keyBits / 8;
        if (!out) {
            *outLength = k;
            return ERR_OK;
        }
        if (*outLength < k) {
            *outLength = k;
            return ERR_BUFFER_TOO_SMALL;
        }
        if (!in || inLength == 0 || inLength > k) return ERR_INVALID_PARAM;
        KeyTokenSession session;
        if (uint32_t rc = session.open(*this)) return rc;
        const uint8_t p2 = operationPadding == 66 ? 0x02 : (direction == 1 ? 0x00 : 0x01);
        // Deciphered answers never reach the trace.
        const Visibility visibility = direction == 0 ? Visibility::Secret : Visibility::Traced;
        for (uint32_t at = 0; at < inLength; at += kApduPiece) {
            uint32_t n = std::min(kApduPiece, inLength - at);
            Bytes cmd = command(0x80, 0x4A, static_cast<uint8_t>(slot), p2, in + at, n);
            WipeOnExit wipeCmd{cmd};
            ApduResponse r;
            uint32_t rc = session.commands().send(cmd, r, visibility);
            if (rc != ERR_OK) return rc;
            if (r.sw != kSwSuccess) return ERR_KEY_COMMAND;
            if (at + n < inLength) continue;
            if (r.length == 0 || r.length > k) return ERR_KEY_COMMAND;
            std::memcpy(out, r.data(), r.length);
            *outLength = r.length;
        }
        return ERR_OK;
    };
    uint32_t rc = body();
    trace(kTraceCalls, kSource, __LINE__, "RSAPriKeyCipher return %x", rc);
    return rc;
}

uint32_t QXRsaKey::Encrypt(uint32_t, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (!in || !out || !outLength) return ERR_INVALID_PARAM;
    if (uint32_t rc = ensure_public_key()) return rc;
    if (!cipher) return ERR_COMMAND_FAILED;
    // The software cipher writes a whole modulus whatever the caller's room.
    const uint32_t k = (block_bits(keyBuffer) + 7) / 8;
    if (*outLength < k) {
        *outLength = k;
        return ERR_BUFFER_TOO_SMALL;
    }
    uint32_t rc = cipher.init(0, keyBuffer.data(), kRsaPublicBlock, QXSA_ENCRYPT, padding);
    if (rc != ERR_OK) return rc;
    return cipher->Process(in, inLength, out, outLength);
}

uint32_t QXRsaKey::Decrypt(uint32_t final, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (!in || !out || !outLength || inLength != blockBits / 8) return ERR_INVALID_PARAM;
    if (final == 3) padding = 66;
    return private_operation(0, padding, in, inLength, out, outLength);
}

uint32_t QXRsaKey::SignHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                            uint8_t* signature, uint32_t* signatureLength) {
    if (!hash || !signature || !signatureLength) return ERR_INVALID_PARAM;
    if (!rsa_token_bits(keyBits)) return ERR_INVALID_PARAM;
    const uint32_t k = keyBits / 8;
    if (*signatureLength < k) {
        *signatureLength = k;
        return ERR_BUFFER_TOO_SMALL;
    }
    Bytes block;
    WipeOnExit wipe{block};
    uint32_t rc = hashAlg == 0 ? raw_block(hash, hashLength, k, block)
                               : pkcs1_signature_block(flag, hashAlg, keyBits, hash, hashLength, block);
    if (rc != ERR_OK) return rc;
    uint32_t produced = *signatureLength;
    rc = private_operation(1, 0, block.data(), k, signature, &produced);
    if (rc == ERR_DEVICE_IO || rc == ERR_INVALID_PARAM) return rc;
    if (rc != ERR_OK || produced != k) return ERR_COMMAND_FAILED;
    *signatureLength = k;
    return ERR_OK;
}

uint32_t QXRsaKey::VerifyHash(uint32_t flag, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                              const uint8_t* signature, uint32_t signatureLength) {
    if (!hash || !signature || signatureLength == 0) return ERR_INVALID_PARAM;
    if (keyBits == 0 || keyBits > QXSA_RSA_MAX_BITS) return ERR_INVALID_PARAM;
    const uint32_t k = (keyBits + 7) / 8;
    Bytes expected;
    uint32_t rc = hashAlg == 0 ? raw_block(hash, hashLength, k, expected)
                               : pkcs1_signature_block(flag, hashAlg, keyBits, hash, hashLength, expected);
    if (rc != ERR_OK) return rc;
    if ((rc = ensure_public_key()) != ERR_OK) return rc;
    if (block_bits(keyBuffer) != keyBits) return ERR_COMMAND_FAILED;
    if (signatureLength > k || !cipher) return ERR_COMMAND_FAILED;
    // A signature with leading zero bytes may come shortened: it is the same number.
    Bytes sig(k, 0);
    std::memcpy(sig.data() + (k - signatureLength), signature, signatureLength);
    rc = cipher.init(0, keyBuffer.data(), kRsaPublicBlock, QXSA_DECRYPT, QXSA_PAD_NONE);
    if (rc != ERR_OK) return rc;
    uint8_t recovered[256] = {};
    uint32_t recoveredLength = sizeof recovered;
    rc = cipher->Process(sig.data(), k, recovered, &recoveredLength);
    if (rc != ERR_OK) return rc;
    if (recoveredLength != k) return ERR_COMMAND_FAILED;
    uint8_t diff = 0;
    for (uint32_t i = 0; i < k; ++i) diff |= static_cast<uint8_t>(recovered[i] ^ expected[i]);
    return diff == 0 ? ERR_OK : ERR_COMMAND_FAILED;
}

// ---------------------------------------------------------------------------
// SM2

bool sm2_public_from_scalar(const uint8_t (&d)[32], uint8_t (&x)[32], uint8_t (&y)[32]) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* k = BN_secure_new();
    BIGNUM* bx = BN_new();
    BIGNUM* by = BN_new();
    EC_POINT* point = group ? EC_POINT_new(group) : nullptr;
    bool ok = group && ctx && k && bx && by && point && BN_bin2bn(d, 32, k) != nullptr;
    if (ok) {
        BN_set_flags(k, BN_FLG_CONSTTIME);
        const BIGNUM* order = EC_GROUP_get0_order(group);
        // d must lie in [1, n - 2] for SM2.
        BIGNUM* limit = BN_dup(order);
        ok = limit && BN_sub_word(limit, 1) == 1 && !BN_is_zero(k) && BN_cmp(k, limit) < 0;
        BN_free(limit);
    }
    ok = ok && EC_POINT_mul(group, point, k, nullptr, nullptr, ctx) == 1 &&
         EC_POINT_get_affine_coordinates(group, point, bx, by, ctx) == 1 && BN_bn2binpad(bx, x, 32) == 32 &&
         BN_bn2binpad(by, y, 32) == 32;
    EC_POINT_free(point);
    BN_free(by);
    BN_free(bx);
    BN_clear_free(k);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
    return ok;
}

namespace {

bool sm2_point_on_curve(const uint8_t* x, const uint8_t* y) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bx = BN_bin2bn(x, 32, nullptr);
    BIGNUM* by = BN_bin2bn(y, 32, nullptr);
    EC_POINT* point = group ? EC_POINT_new(group) : nullptr;
    bool ok = group && ctx && bx && by && point &&
              EC_POINT_set_affine_coordinates(group, point, bx, by, ctx) == 1 &&
              EC_POINT_is_on_curve(group, point, ctx) == 1;
    EC_POINT_free(point);
    BN_free(by);
    BN_free(bx);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
    return ok;
}

// The 32 significant bytes of a 64-byte field, or null when the upper half is not zero.
const uint8_t* low_half(const uint8_t (&field)[64]) { return all_zero(field, 32) ? field + 32 : nullptr; }

}  // namespace

uint32_t QXSm2Key::Generate(const uint8_t* data, uint32_t length) {
    if (data || length) return ERR_INVALID_PARAM;
    keyBuffer.reset(kSm2PublicBlockSize);
    if (slot == kHostSlot || slot > kMaxKeySlot || keyBits != 256) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x56, 0x00, static_cast<uint8_t>(slot)), r)) return ERR_KEY_COMMAND;
    return ensure_public_key(session);
}

uint32_t QXSm2Key::ensure_public_key(KeyTokenSession& session) {
    if (keyBuffer.size() != kSm2PublicBlockSize) keyBuffer.reset(kSm2PublicBlockSize);
    if (block_bits(keyBuffer) == blockBits && blockBits != 0) return ERR_OK;
    if (slot == kHostSlot || slot > kMaxKeySlot || keyBits != 256) return ERR_INVALID_PARAM;
    Sm2PublicKeyBlock block{};
    block.bits = keyBits;
    for (uint8_t p2 : {uint8_t{0x01}, uint8_t{0x02}}) {
        ApduResponse r;
        Bytes cmd{0x80, 0x61, static_cast<uint8_t>(slot), p2, kSm2Coordinate};
        if (!accepted(session, cmd, r) || r.length != kSm2Coordinate) return ERR_EXPORT_PUBLIC_KEY;
        std::memcpy((p2 == 0x01 ? block.x : block.y) + 32, r.data(), kSm2Coordinate);
    }
    keyBuffer.assign(reinterpret_cast<const uint8_t*>(&block), sizeof block);
    return ERR_OK;
}

uint32_t QXSm2Key::GetKeyBuffer(uint8_t* buffer, uint32_t* length) {
    if (!length) return ERR_INVALID_PARAM;
    if (keyBuffer.size() != kSm2PublicBlockSize) keyBuffer.reset(kSm2PublicBlockSize);
    if (buffer) {
        if (*length < kSm2PublicBlockSize) {
            *length = kSm2PublicBlockSize;
            return ERR_BUFFER_TOO_SMALL;
        }
        if (block_bits(keyBuffer) != blockBits || blockBits == 0) {
            if (slot == kHostSlot || slot > kMaxKeySlot || keyBits != 256) return ERR_INVALID_PARAM;
            KeyTokenSession session;
            if (uint32_t rc = session.open(*this)) return rc;
            if (uint32_t rc = ensure_public_key(session)) return rc;
        }
        std::memcpy(buffer, keyBuffer.data(), kSm2PublicBlockSize);
    }
    *length = kSm2PublicBlockSize;
    return ERR_OK;
}

uint32_t QXSm2Key::write_host_key(KeyTokenSession& session) {
    if (keyBuffer.size() != kSm2PublicBlockSize) return ERR_IMPORT_PRIVATE_KEY;
    Sm2PublicKeyBlock block;
    std::memcpy(&block, keyBuffer.data(), sizeof block);
    for (uint8_t p2 : {uint8_t{0x01}, uint8_t{0x02}}) {
        const uint8_t* coordinate = (p2 == 0x01 ? block.x : block.y) + 32;
        ApduResponse r;
        if (!accepted(session, command(0x80, 0x62, 0x00, p2, coordinate, kSm2Coordinate), r))
            return ERR_IMPORT_PRIVATE_KEY;
    }
    return ERR_OK;
}

uint32_t QXSm2Key::za(KeyTokenSession& session, uint8_t (&out)[32]) {
    if (slot > kMaxKeySlot) return ERR_INVALID_PARAM;
    if (slot == kHostSlot)
        if (uint32_t rc = write_host_key(session)) return rc;
    const uint8_t* id = userIdLength ? userId : reinterpret_cast<const uint8_t*>(kDefaultUserId);
    const uint32_t idLength = userIdLength ? std::min<uint32_t>(userIdLength, sizeof userId)
                                           : static_cast<uint32_t>(sizeof kDefaultUserId - 1);
    Bytes data{static_cast<uint8_t>(idLength)};
    data.insert(data.end(), id, id + idLength);
    const uint8_t p2 = slot == kHostSlot ? 0x00 : static_cast<uint8_t>(slot * 8 + 1);
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x51, 0x02, p2, data.data(), static_cast<uint32_t>(data.size())), r) ||
        r.length != 32)
        return ERR_COMMAND_FAILED;
    std::memcpy(out, r.data(), 32);
    return ERR_OK;
}

uint32_t QXSm2Key::GetZA(uint8_t* out, uint32_t* outLength) {
    if (!outLength) return ERR_INVALID_PARAM;
    if (!out || *outLength < 32) {
        *outLength = 32;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (slot > kMaxKeySlot) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    uint8_t z[32];
    if (uint32_t rc = za(session, z)) return rc;
    std::memcpy(out, z, 32);
    *outLength = 32;
    return ERR_OK;
}

uint32_t QXSm2Key::message_e(KeyTokenSession& session, uint32_t hashAlg, const uint8_t* data, uint32_t length,
                             uint8_t (&e)[32]) {
    if (hashAlg != kDigestSm3) {
        if (length != 32) return ERR_INVALID_PARAM;
        std::memcpy(e, data, 32);
        return ERR_OK;
    }
    uint8_t z[32];
    if (uint32_t rc = za(session, z)) return rc;
    SoftDigest sm3(kDigestSm3);
    if (!sm3) return ERR_COMMAND_FAILED;
    uint32_t eLength = 32;
    if (sm3->Init() != 0 || sm3->Update(z, 32) != 0 || (length && sm3->Update(data, length) != 0) ||
        sm3->Final(e, &eLength) != 0 || eLength != 32)
        return ERR_COMMAND_FAILED;
    return ERR_OK;
}

uint32_t QXSm2Key::SignHash(uint32_t, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                            uint8_t* signature, uint32_t* signatureLength) {
    if (!hash || !signature || !signatureLength) return ERR_INVALID_PARAM;
    if (slot > kMaxKeySlot || keyBits != 256) return ERR_INVALID_PARAM;
    if (hashAlg != kDigestSm3 && hashLength != 32) return ERR_INVALID_PARAM;
    if (*signatureLength < kSm2Signature) {
        *signatureLength = kSm2Signature;
        return ERR_BUFFER_TOO_SMALL;
    }
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    uint8_t e[32];
    if (uint32_t rc = message_e(session, hashAlg, hash, hashLength, e)) return rc;
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x57, static_cast<uint8_t>(slot), 0x00, e, 32), r) ||
        r.length != kSm2Signature)
        return ERR_COMMAND_FAILED;
    std::memcpy(signature, r.data(), kSm2Signature);
    *signatureLength = kSm2Signature;
    return ERR_OK;
}

uint32_t QXSm2Key::VerifyHash(uint32_t, uint32_t hashAlg, const uint8_t* hash, uint32_t hashLength,
                              const uint8_t* signature, uint32_t signatureLength) {
    if (hashAlg != kDigestSm3 || !hash || !signature || signatureLength != kSm2Signature) return ERR_INVALID_PARAM;
    if (slot > kMaxKeySlot || keyBits != 256) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    uint8_t e[32];
    if (uint32_t rc = message_e(session, hashAlg, hash, hashLength, e)) return rc;
    Bytes data(e, e + 32);
    data.insert(data.end(), signature, signature + kSm2Signature);
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x58, static_cast<uint8_t>(slot), 0x00, data.data(), 96), r))
        return ERR_COMMAND_FAILED;
    return ERR_OK;
}

uint32_t QXSm2Key::Encrypt(uint32_t, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (!in || !outLength || inLength == 0 || inLength > kSm2MaxPlain) return ERR_INVALID_PARAM;
    const uint32_t needed = inLength + kSm2CipherOverhead;
    if (!out) {
        *outLength = needed;
        return ERR_OK;
    }
    if (*outLength < needed) {
        *outLength = needed;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (slot > kMaxKeySlot) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    if (slot == kHostSlot)
        if (uint32_t rc = write_host_key(session)) return rc;
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x59, static_cast<uint8_t>(slot), 0x00, in, inLength), r) ||
        r.length != needed)
        return ERR_COMMAND_FAILED;
    std::memcpy(out, r.data(), needed);
    *outLength = needed;
    return ERR_OK;
}

uint32_t QXSm2Key::Decrypt(uint32_t, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t* outLength) {
    if (!in || !outLength || inLength <= kSm2CipherOverhead || inLength > kSm2MaxCipher) return ERR_INVALID_PARAM;
    const uint32_t needed = inLength - kSm2CipherOverhead;
    if (!out) {
        *outLength = needed;
        return ERR_OK;
    }
    if (*outLength < needed) {
        *outLength = needed;
        return ERR_BUFFER_TOO_SMALL;
    }
    if (slot == kHostSlot || slot > kMaxKeySlot) return ERR_INVALID_PARAM;
    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    ApduResponse r;
    if (!accepted(session, command(0x80, 0x60, static_cast<uint8_t>(slot), 0x00, in, inLength), r,
                  Visibility::Secret) ||
        r.length != needed)
        return ERR_COMMAND_FAILED;
    std::memcpy(out, r.data(), needed);
    *outLength = needed;
    return ERR_OK;
}

uint32_t QXSm2Key::Import(QXKey* wrappingKey, uint32_t, uint32_t spec, const uint8_t* data, uint32_t length) {
    return import_maybe_wrapped(wrappingKey, data, length, [&](const uint8_t* plain, uint32_t plainLength) {
        return import_plain(spec, plain, plainLength);
    });
}

uint32_t QXSm2Key::import_plain(uint32_t spec, const uint8_t* data, uint32_t length) {
    const uint32_t newSpec = spec == kKeySpecSignature ? kKeySpecSignature : kKeySpecExchange;
    if (length == kSm2PublicBlockSize) {
        Sm2PublicKeyBlock block;
        std::memcpy(&block, data, sizeof block);
        const uint8_t* x = low_half(block.x);
        const uint8_t* y = low_half(block.y);
        if (block.bits != 256 || !x || !y || !sm2_point_on_curve(x, y)) return ERR_INVALID_PARAM;
        keyBuffer.assign(data, length);
        slot = kHostSlot;
        keyBits = blockBits = 256;
        keySpec = newSpec;
        return ERR_OK;
    }

    struct Wiped {
        Sm2PrivateKeyBlock b{};
        ~Wiped() { secure_zero(&b, sizeof b); }
    } priv;
    if (length == kSm2ScalarBlockSize) {
        // bits and d alone: the public point is d·G.
        uint32_t bits = 0;
        std::memcpy(&bits, data, 4);
        std::memcpy(priv.b.d, data + 4, 64);
        const uint8_t* d = low_half(priv.b.d);
        if (bits != 256 || !d) return ERR_INVALID_PARAM;
        uint8_t scalar[32], x[32], y[32];
        std::memcpy(scalar, d, 32);
        bool ok = sm2_public_from_scalar(scalar, x, y);
        secure_zero(scalar, sizeof scalar);
        if (!ok) return ERR_INVALID_PARAM;
        priv.b.bits = bits;
        std::memcpy(priv.b.x + 32, x, 32);
        std::memcpy(priv.b.y + 32, y, 32);
    } else if (length == kSm2PrivateBlockSize) {
        std::memcpy(&priv.b, data, sizeof priv.b);
    } else {
        return ERR_INVALID_PARAM;
    }
    const Sm2PrivateKeyBlock& b = priv.b;
    const uint8_t* x = low_half(b.x);
    const uint8_t* y = low_half(b.y);
    const uint8_t* d = low_half(b.d);
    if (b.bits != 256 || !x || !y || !d) return ERR_INVALID_PARAM;

    DeviceRecord* device = live_device();
    if (!device) return ERR_DEVICE_IO;
    uint32_t newSlot = 0;
    if (allocate_slot(*device, kAlgSm2, 256, newSlot) != ERR_OK) return ERR_COMMAND_FAILED;

    KeyTokenSession session;
    if (uint32_t rc = session.open(*this)) return rc;
    for (uint8_t p2 : {uint8_t{0x01}, uint8_t{0x02}}) {
        ApduResponse r;
        if (!accepted(session, command(0x80, 0x62, static_cast<uint8_t>(newSlot), p2, p2 == 0x01 ? x : y, 32), r))
            return ERR_IMPORT_PRIVATE_KEY;
    }
    // d always travels in secure-messaging form under the line-protection key.
    Bytes cmd = command(0x84, 0x63, static_cast<uint8_t>(newSlot), 0x01, d, 32);
    WipeOnExit wipeCmd{cmd};
    SecurityCommands security(session.device());
    if (security.secure_messaging_wrap(cmd, kKeyAdfLineProtect) != ERR_OK) return ERR_IMPORT_PRIVATE_KEY;
    ApduResponse r;
    if (security.send(cmd, r, Visibility::Secret) != ERR_OK || r.sw != kSwSuccess) return ERR_IMPORT_PRIVATE_KEY;

    Sm2PublicKeyBlock block{};
    block.bits = 256;
    std::memcpy(block.x, b.x, 64);
    std::memcpy(block.y, b.y, 64);
    keyBuffer.assign(reinterpret_cast<const uint8_t*>(&block), sizeof block);
    slot = newSlot;
    keyBits = blockBits = 256;
    keySpec = newSpec;
    return ERR_OK;
}

// ---------------------------------------------------------------------------

std::unique_ptr<QXKey> make_asym_key(uint32_t algorithm) {
    if (algorithm == kAlgRsa) return std::make_unique<QXRsaKey>();
    if (algorithm == kAlgSm2) return std::make_unique<QXSm2Key>();
    return nullptr;
}

}  // namespace qx::kernel
