#include "token_crypto.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/logical_lock.h"
#include "core/status_words.h"

namespace qx::kernel {

namespace {

constexpr uint8_t kChainOnly = 0x60, kChainFirst = 0x00, kChainMiddle = 0x20, kChainLast = 0x40;

uint8_t chain_bits(std::size_t offset, std::size_t piece, std::size_t total) {
    const bool first = offset == 0, last = offset + piece >= total;
    if (first && last) return kChainOnly;
    if (first) return kChainFirst;
    return last ? kChainLast : kChainMiddle;
}

}  // namespace

int token_digest_code(uint32_t digestId) {
    switch (digestId) {
    case 0x10: return 0;
    case 4: return 1;
    case 5: return 2;
    default: return -1;
    }
}

uint32_t digest_size(uint32_t digestId) {
    switch (digestId) {
    case 1: case 2: case 3: return 16;
    case 4: return 20;
    case 5: case 0x10: return 32;
    case 6: return 48;
    case 7: return 64;
    default: return 0;
    }
}

uint32_t TokenCryptoCommands::session_cipher(bool encrypt, const uint8_t* key, uint32_t keyLength, uint32_t mode,
                                             uint32_t block, const uint8_t* iv, uint32_t ivLength, const uint8_t* in,
                                             uint32_t length, uint8_t* out, uint32_t* outLength) {
    if (!key || !in || !out || !outLength || length == 0 || block == 0 || block > 16 || length % block) {
        return ERR_INVALID_PARAM;
    }
    if (keyLength != 16) return ERR_INVALID_PARAM;
    if (*outLength < length) {
        *outLength = length;
        return ERR_BUFFER_TOO_SMALL;
    }
    const bool cbc = mode == 1;
    if (cbc && (!iv || ivLength != block)) return ERR_NO_MEMORY;

    // The vector travels as the first block of the first piece; the token
    // does not echo it, so the answers add up to the data alone.
    std::vector<uint8_t> stream;
    stream.reserve(length + (cbc ? block : 0));
    if (cbc) stream.insert(stream.end(), iv, iv + block);
    stream.insert(stream.end(), in, in + length);

    LogicalLock lock;
    uint32_t rc = lock.acquire(*device());
    if (rc != ERR_OK) {
        secure_zero(stream);
        return rc;
    }

    std::vector<uint8_t> cmd{0x80, 0xE6, 0x00, 0x00, 0x10};
    cmd.insert(cmd.end(), key, key + 16);
    {
        ApduResponse r;
        rc = send(cmd, r, Visibility::Secret);
        secure_zero(cmd);
        if (rc != ERR_OK || r.sw != kSwSuccess) {
            secure_zero(stream);
            return ERR_KEY_COMMAND;
        }
    }

    const uint32_t piece = token_cipher_piece(block);
    const uint8_t p1Base = static_cast<uint8_t>((encrypt ? 0x00 : 0x80) | 0x02 | (cbc ? 0x08 : 0x00));
    uint32_t produced = 0;
    rc = ERR_OK;
    for (std::size_t off = 0; off < stream.size() && rc == ERR_OK; off += piece) {
        const std::size_t n = std::min<std::size_t>(piece, stream.size() - off);
        cmd.assign({0x80, 0xE8, static_cast<uint8_t>(p1Base | chain_bits(off, n, stream.size())), 0x00,
                    static_cast<uint8_t>(n)});
        cmd.insert(cmd.end(), stream.begin() + static_cast<std::ptrdiff_t>(off),
                   stream.begin() + static_cast<std::ptrdiff_t>(off + n));
        ApduResponse r;
        const uint32_t sent = send(cmd, r, Visibility::Secret);
        secure_zero(cmd);
        if (sent != ERR_OK || r.sw != kSwSuccess || r.length > length - produced) {
            rc = ERR_COMMAND_FAILED;
        } else {
            std::memcpy(out + produced, r.data(), r.length);
            produced += r.length;
        }
    }
    secure_zero(stream);
    if (rc == ERR_OK && produced != length) rc = ERR_COMMAND_FAILED;
    if (rc != ERR_OK) {
        secure_zero(out, std::min(*outLength, length));
        return rc;
    }
    *outLength = length;
    return ERR_OK;
}

uint32_t TokenCryptoCommands::digest(uint32_t digestId, const uint8_t* data, uint32_t length, uint8_t* out) {
    const int code = token_digest_code(digestId);
    if (code < 0 || !data || length == 0 || !out) return ERR_INVALID_PARAM;
    const uint32_t size = digest_size(digestId);

    LogicalLock lock;
    uint32_t rc = lock.acquire(*device());
    if (rc != ERR_OK) return rc;
    constexpr uint32_t kPiece = 255;
    for (uint32_t off = 0; off < length; off += kPiece) {
        const uint32_t n = std::min(kPiece, length - off);
        std::vector<uint8_t> cmd{0x80, 0x51, 0x01,
                                 static_cast<uint8_t>(chain_bits(off, n, length) | static_cast<uint8_t>(code)),
                                 static_cast<uint8_t>(n)};
        cmd.insert(cmd.end(), data + off, data + off + n);
        ApduResponse r;
        rc = send(cmd, r);
        if (rc != ERR_OK || r.sw != kSwSuccess) return ERR_COMMAND_FAILED;
        const bool last = off + n >= length;
        if (last) {
            if (r.length != size) return ERR_COMMAND_FAILED;
            std::memcpy(out, r.data(), size);
        }
    }
    return ERR_OK;
}

uint32_t TokenCryptoCommands::random(uint8_t* out, uint32_t length) {
    if (!out || length == 0) return ERR_INVALID_PARAM;
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device());
    if (rc != ERR_OK) return ERR_COMMAND_FAILED;
    uint32_t pos = 0;
    while (pos < length) {
        const uint32_t left = length - pos;
        const uint32_t take = left >= 17 ? 16 : left;
        const uint8_t ask = static_cast<uint8_t>(left >= 17 || left % 4 ? 16 : left);
        ApduResponse r;
        rc = send({0x00, 0x84, 0x00, 0x00, ask}, r, Visibility::Secret);
        if (rc != ERR_OK || r.sw != kSwSuccess || r.length != ask) {
            secure_zero(out, pos);
            return ERR_COMMAND_FAILED;
        }
        std::memcpy(out + pos, r.data(), take);
        pos += take;
    }
    return ERR_OK;
}

}  // namespace qx::kernel
