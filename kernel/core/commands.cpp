#include "commands.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "crypto/block_mac.h"
#include "kernel_state.h"
#include "key_derivation.h"
#include "logical_lock.h"
#include "named_locks.h"
#include "status_words.h"
#include "trace.h"

namespace qx::kernel {

namespace {

constexpr SymAlgInfo kSymAlgs[] = {
    {0x100, 8, 8, true},    {0x200, 16, 8, true},   {0x300, 24, 8, true},  {0x400, 16, 16, true},
    {0x500, 16, 16, false}, {0x600, 16, 16, true},  {0x700, 16, 16, false}, {0x800, 0, 0, true},
    {0x1100, 0, 0, true},
};

std::vector<uint8_t> select_command(uint16_t fileId) {
    return {0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId)};
}

// ECB encipherment of whole blocks with a software cipher object.
uint32_t ecb_encrypt(uint32_t algorithm, const uint8_t* key, uint32_t keyLength, const uint8_t* in, uint32_t length,
                     uint8_t* out) {
    SoftCipher cipher(state().soft_alg(), algorithm);
    if (!cipher) return ERR_NO_MEMORY;
    uint32_t rc = cipher.init(QXSA_MODE_ECB, key, keyLength, QXSA_ENCRYPT);
    if (rc != 0) return rc;
    std::vector<uint8_t> buffer(length + 32);
    uint32_t outLength = 0;
    rc = cipher->Process(in, length, buffer.data(), &outLength);
    if (rc == 0 && outLength != length) rc = ERR_FAILED;
    if (rc == 0) std::memcpy(out, buffer.data(), length);
    secure_zero(buffer);
    return rc;
}

}  // namespace

const SymAlgInfo* sym_alg_info(uint32_t algorithm) {
    for (const auto& a : kSymAlgs) {
        if (a.id == algorithm) return &a;
    }
    return nullptr;
}

uint32_t CommandObject::get_challenge(uint8_t length, uint8_t* out) {
    ApduResponse r;
    uint32_t rc = send({0x00, 0x84, 0x00, 0x00, length}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess || r.length != length) return ERR_COMMAND_FAILED;
    std::memcpy(out, r.data(), length);
    return ERR_OK;
}

// ---------------------------------------------------------------------------

uint32_t FileCommands::select(uint16_t fileId) {
    ApduResponse r;
    uint32_t rc = send(select_command(fileId), r);
    return rc != ERR_OK ? rc : translate_sw(kSwSelect, r.sw);
}

uint32_t FileCommands::read_file(uint16_t fileId, uint32_t offset, uint32_t length, uint8_t* out, uint32_t* read) {
    if (!read || (length && !out)) return ERR_INVALID_PARAM;
    *read = 0;
    if (offset > 0xFFFF || length > 0x10000 - offset) return ERR_INVALID_PARAM;
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device());
    if (rc != ERR_OK) return rc;
    if (fileId != kCurrentFile) {
        ApduResponse r;
        rc = send(select_command(fileId), r);
        if (rc != ERR_OK) return rc;
        if (r.sw != kSwSuccess) return ERR_COMMAND_FAILED;
    }
    uint32_t pos = 0;
    while (pos < length) {
        const uint32_t want = std::min(kFileChunk, length - pos);
        const uint32_t at = offset + pos;
        uint8_t le = static_cast<uint8_t>(want);
        // The token may name the length it can give (6Cxx, 67xx); ask again
        // with it, but never loop on a token that keeps objecting.
        int retries = 0;
        for (;;) {
            ApduResponse r;
            rc = send({0x00, 0xB0, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at), le}, r);
            if (rc != ERR_OK) {
                *read = pos;
                return rc;
            }
            if (r.sw == kSwSuccess) {
                uint32_t n = std::min(r.length, want);
                std::memcpy(out + pos, r.data(), n);
                pos += n;
                if (n < want) {  // end of file
                    *read = pos;
                    return ERR_OK;
                }
                break;
            }
            if (r.sw == 0x6B00) {
                *read = 0;
                return ERR_COMMAND_FAILED;
            }
            const uint8_t sw1 = static_cast<uint8_t>(r.sw >> 8);
            if ((sw1 == 0x6C || sw1 == 0x67) && ++retries <= 2) {
                le = static_cast<uint8_t>(r.sw);
                continue;
            }
            *read = pos;
            return r.sw == 0x6982 ? ERR_SECURITY_STATUS : ERR_COMMAND_FAILED;
        }
    }
    *read = pos;
    return ERR_OK;
}

uint32_t FileCommands::write_file(uint16_t fileId, uint32_t offset, const uint8_t* data, uint32_t length) {
    if (length && !data) return ERR_INVALID_PARAM;
    if (offset > 0xFFFF || length > 0x10000 - offset) return ERR_INVALID_PARAM;
    LogicalLock lock;
    uint32_t rc = lock.acquire(*device());
    if (rc != ERR_OK) return rc;
    if (fileId != kCurrentFile) {
        rc = select(fileId);
        if (rc != ERR_OK) return rc;
    }
    for (uint32_t pos = 0; pos < length;) {
        const uint32_t n = std::min(kFileChunk, length - pos);
        const uint32_t at = offset + pos;
        std::vector<uint8_t> cmd(5 + n);
        cmd[0] = 0x00;
        cmd[1] = 0xD6;
        cmd[2] = static_cast<uint8_t>(at >> 8);
        cmd[3] = static_cast<uint8_t>(at);
        cmd[4] = static_cast<uint8_t>(n);
        std::memcpy(cmd.data() + 5, data + pos, n);
        ApduResponse r;
        rc = send(cmd, r);
        secure_zero(cmd);
        if (rc != ERR_OK) return rc;
        // A refused chunk ends the write: the file would otherwise be left
        // partly old and partly new while the caller is told it succeeded.
        if (r.sw != kSwSuccess) return translate_sw(kSwGeneric, r.sw);
        pos += n;
    }
    return ERR_OK;
}

// ---------------------------------------------------------------------------

uint32_t derived_key_length(uint32_t algorithm, uint32_t derivedLength) {
    // Card keys are derived and written as 16 bytes; a cipher with a shorter
    // key (single DES, SKAlg 1) uses their first bytes, as the token does.
    const SymAlgInfo* info = sym_alg_info(algorithm);
    return info ? std::min(derivedLength, info->keyBytes) : derivedLength;
}

uint32_t SecurityCommands::external_authenticate(uint8_t keyId, uint32_t algorithm, const uint8_t* key,
                                                 uint32_t keyLength) {
    const SymAlgInfo* info = sym_alg_info(algorithm);
    if ((algorithm & 0xF000) || (algorithm & 0xF0000) || !info || info->blockBytes == 0 || !key ||
        keyLength != info->keyBytes) {
        return ERR_INVALID_PARAM;
    }
    uint8_t challenge[16];
    const uint8_t block = static_cast<uint8_t>(info->blockBytes);
    if (get_challenge(block, challenge) != ERR_OK) return ERR_GET_CHALLENGE;

    std::vector<uint8_t> cmd{0x00, 0x82, 0x00, keyId, block};
    cmd.resize(5 + block);
    uint32_t rc = info->software ? ecb_encrypt(algorithm, key, keyLength, challenge, block, cmd.data() + 5)
                                 : ERR_EXTERNAL_AUTH;
    if (rc != ERR_OK) return ERR_EXTERNAL_AUTH;
    ApduResponse r;
    rc = send(cmd, r);
    if (rc != ERR_OK) return rc;
    return r.sw == kSwSuccess ? ERR_OK : ERR_EXTERNAL_AUTH;
}

uint32_t SecurityCommands::authenticate_adf() {
    QXDeviceTransport* dev = device();
    uint8_t key[16];
    uint32_t keyLength = sizeof key;
    uint32_t rc = derive_key_for_index(state().config().cspName, dev->identity,
                                       std::min<uint32_t>(dev->identityLength, sizeof dev->identity),
                                       kKeyAdfExternalAuth, key, &keyLength);
    if (rc == ERR_OK) {
        const uint32_t algorithm = state().exchange_settings().skAlgorithm;
        rc = external_authenticate(0, algorithm, key, derived_key_length(algorithm, keyLength));
    }
    secure_zero(key, sizeof key);
    return rc;
}

uint32_t SecurityCommands::read_identity() {
    ApduResponse r;
    uint32_t rc = send({0x80, 0x76, 0x00, 0x00, 0x00}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess) return translate_sw(kSwGeneric, r.sw);
    QXDeviceTransport* dev = device();
    const uint32_t n = std::min<uint32_t>(r.length, sizeof dev->identity);
    std::memset(dev->identity, 0, sizeof dev->identity);
    std::memcpy(dev->identity, r.data(), n);
    dev->identityLength = n;
    return ERR_OK;
}

uint32_t SecurityCommands::read_transport_key() {
    QXDeviceTransport* dev = device();
    secure_zero(dev->transportKey, sizeof dev->transportKey);
    dev->transportKeyLength = 0;
    if (dev->openStatus == 0) return ERR_DEVICE_IO;
    const uint8_t cmd[5] = {0x80, 0x78, 0x00, 0x00, 0x10};
    ApduResponse r;
    uint32_t length = kResponseBufferSize;
    uint32_t rc;
    {
        // Straight through the transport (no encryption, no chaining), but
        // still one exchange at a time on the reader.
        std::string lockName(dev->deviceName, strnlen(dev->deviceName, sizeof dev->deviceName));
        platform::NamedMutex* mutex = named_mutex(lockName + "_GLOBAL_DEVICE_APDU_PACKET_LOCK");
        if (!mutex) return ERR_NO_MEMORY;
        platform::NamedMutexLock packetLock(mutex);
        if (!packetLock.owns()) return ERR_NO_MEMORY;
        rc = dev->Transmit(cmd, sizeof cmd, r.bytes.data(), &length);
    }
    if (rc != 0) {
        trace(kTraceTransport, " ", __LINE__, "$$$$$$$$m_pDevice->QXTransmitAPDU ret=%x", rc);
        return ERR_OK;  // encryption simply stays off
    }
    if (length == 18 && r.bytes[16] == 0x90 && r.bytes[17] == 0x00) {
        std::memcpy(dev->transportKey, r.data(), 16);
        dev->transportKeyLength = 16;
    }
    return ERR_OK;
}

uint32_t SecurityCommands::secure_messaging_wrap(std::vector<uint8_t>& command, uint32_t keyIndex) {
    QXDeviceTransport* dev = device();
    const uint32_t algorithm = state().exchange_settings().skAlgorithm;
    const SymAlgInfo* info = sym_alg_info(algorithm);
    if (command.size() < 4 || !info || !info->software || info->blockBytes == 0) return ERR_COMMAND_FAILED;
    const uint32_t b = info->blockBytes;

    uint8_t key[16];
    uint32_t keyLength = sizeof key;
    if (derive_key_for_index(state().config().cspName, dev->identity,
                             std::min<uint32_t>(dev->identityLength, sizeof dev->identity), keyIndex, key,
                             &keyLength) != ERR_OK) {
        return ERR_COMMAND_FAILED;
    }
    // A cipher with a shorter key (single DES) takes the first bytes of the derived key.
    const uint32_t cipherKeyLength = std::min(keyLength, info->keyBytes);
    uint32_t rc = ERR_OK;
    std::vector<uint8_t> wrapped(command.begin(), command.begin() + 4);
    if (command.size() > 5) {
        // Lc and the data, enciphered together.
        std::vector<uint8_t> plain(command.begin() + 4, command.end());
        pad_80(plain, b);
        std::vector<uint8_t> enciphered(plain.size());
        rc = ecb_encrypt(algorithm, key, cipherKeyLength, plain.data(), static_cast<uint32_t>(plain.size()),
                         enciphered.data());
        secure_zero(plain);
        if (rc == ERR_OK && enciphered.size() + 4 > 255) rc = ERR_COMMAND_FAILED;
        wrapped.push_back(static_cast<uint8_t>(enciphered.size() + 4));
        wrapped.insert(wrapped.end(), enciphered.begin(), enciphered.end());
        secure_zero(enciphered);
    } else {
        wrapped.push_back(4);
    }

    uint8_t challenge[16] = {};
    uint8_t mac[4] = {};
    if (rc == ERR_OK) rc = get_challenge(static_cast<uint8_t>(b), challenge);
    if (rc == ERR_OK) {
        // The MAC over the new header and data, chained from the challenge.
        SoftEcbEncryptor cipher(state().soft_alg(), algorithm, b);
        rc = cipher.init(key, cipherKeyLength);
        if (rc == ERR_OK) rc = block_mac(cipher, challenge, wrapped.data(), wrapped.size(), mac, sizeof mac);
    }
    secure_zero(key, sizeof key);
    if (rc != ERR_OK) {
        secure_zero(wrapped);
        return ERR_COMMAND_FAILED;
    }
    wrapped.insert(wrapped.end(), mac, mac + sizeof mac);
    secure_zero(command);
    command = std::move(wrapped);
    return ERR_OK;
}

// ---------------------------------------------------------------------------

uint32_t reconnect(QXDeviceTransport* device, uint32_t code) {
    if (!device) return ERR_INVALID_PARAM;
    uint32_t rc;
    if (code == QXDEV_SCARD_W_RESET_CARD) {
        uint8_t atr[QXDEV_ATR_SIZE];
        uint32_t atrLength = sizeof atr;
        rc = device->Reset(atr, &atrLength);
        if (rc != 0) {
            trace(kTraceTransport, " ", __LINE__, "QXResetDevice dwRet=%x", rc);
            return rc;
        }
    } else {
        char name[QXDEV_NAME_SIZE];
        std::memcpy(name, device->deviceName, sizeof name);
        name[sizeof name - 1] = '\0';
        rc = device->Open(name);
        if (rc != 0) {
            trace(kTraceTransport, " ", __LINE__, "QXOpenDevice dwRet=%x", rc);
            return rc;
        }
    }
    SecurityCommands security(device);
    security.channel().set_reconnect_allowed(false);
    rc = security.read_identity();
    if (rc != ERR_OK) return rc;
    ApduResponse r;
    rc = security.send(select_command(kFileADF), r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess) return ERR_SELECT_FILE;
    return security.authenticate_adf();
}

}  // namespace qx::kernel
