#include "token_init.h"

#include <algorithm>
#include <cstring>

#include "QXTokenStatus.h"
#include "config/soft_alg.h"
#include "core/commands.h"
#include "core/key_derivation.h"
#include "core/logical_lock.h"
#include "core/status_words.h"
#include "core/trace.h"
#include "init/after_init.h"
#include "pin/pin_security.h"
#include "token/token_info.h"

namespace qx::kernel {

namespace {

constexpr uint16_t kFileContainers = 0x0003;
constexpr uint16_t kFileTwoBytes = 0x000B;
constexpr uint32_t kInitialFlags = 0x60D;

std::vector<uint8_t> named_directory(std::vector<uint8_t> head, const char* name, uint8_t fill) {
    uint8_t field[16];
    std::memset(field, fill, sizeof field);
    std::memcpy(field, name, std::min<std::size_t>(std::strlen(name), sizeof field));
    head.insert(head.end(), field, field + sizeof field);
    head.push_back(0x00);
    return head;
}

// One card key: its 8-byte header (algorithm byte in the fifth place) and the
// key index it is derived from (or a PIN).
struct CardKey {
    uint8_t header[8];
    int32_t keyIndex;  // -1: SO PIN, -2: user PIN
};

constexpr CardKey kMfKeys[] = {
    {{0xF0, 0x39, 0x02, 0x00, 0x00, 0xF0, 0xF0, 0x05}, kKeyInit},
    {{0xF0, 0x39, 0x03, 0x00, 0x00, 0xF0, 0xF0, 0x06}, kKeyMfEraseAdf},
    {{0xF0, 0x36, 0x00, 0x00, 0x00, 0xF0, 0xF1, 0xFF}, kKeyMfLineProtect},
    {{0xF0, 0x39, 0x01, 0x00, 0x00, 0xF0, 0xF0, 0x01}, kKeyMfExternalAuth},
};
constexpr CardKey kAdfKeys[] = {
    {{0xF0, 0x35, 0x00, 0x00, 0x00, 0xF0, 0xF0, 0x08}, kKeyAdfMaster},
    {{0xF0, 0x36, 0x00, 0x00, 0x00, 0xF0, 0xF1, 0xFF}, kKeyAdfLineProtect},
    {{0xF0, 0x39, 0x00, 0x00, 0x00, 0xF0, 0xF0, 0x01}, kKeyAdfExternalAuth},
    {{0xF0, 0x13, 0x00, 0x00, 0x00, 0xF0, 0xF0, 0x01}, kKeyAdfInternalAuth},
    {{0xF0, 0x33, 0x00, 0x00, 0x00, 0xF0, 0xF1, 0xFF}, kKeyAdfSymKeyProtect},
    {{0xF0, 0x06, 0x00, 0x00, 0x00, 0xF0, 0x22, 0xFF}, kKeyAdfUnlock},
    {{0xF0, 0x07, 0x00, 0x00, 0x00, 0xF0, 0xF1, 0xFF}, kKeyAdfCommandProtect},
};

// The retry byte holds the count in its high nibble: more than 15 cannot be said.
uint8_t retry_byte(int32_t count) { return static_cast<uint8_t>(std::clamp(count, 0, 15) << 4); }

void put_le32(std::vector<uint8_t>& out, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_text(std::vector<uint8_t>& out, std::size_t at, std::size_t size, const uint8_t* text, std::size_t length) {
    std::memset(out.data() + at, ' ', size);
    if (length) std::memcpy(out.data() + at, text, std::min(length, size));
}

// UTF-8 to UTF-16 little-endian; a malformed sequence becomes U+FFFD.
std::vector<uint8_t> utf16le(const std::string& text) {
    std::vector<uint8_t> out;
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (std::size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        uint32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
        }
        if (n > 1) {
            bool ok = i + n <= text.size();
            uint32_t v = c & (0x7F >> n);
            for (std::size_t k = 1; ok && k < n; ++k) {
                const uint8_t t = static_cast<uint8_t>(text[i + k]);
                ok = (t & 0xC0) == 0x80;
                v = v << 6 | (t & 0x3F);
            }
            const uint32_t minimum = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
            if (ok && v >= minimum && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                cp = v;
            } else {
                n = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 | (cp >> 10));
            unit(0xDC00 | (cp & 0x3FF));
        } else {
            unit(cp);
        }
        i += n;
    }
    return out;
}

// The commands of one initialisation, with the status words of each kind.
class Initialiser {
public:
    Initialiser(DeviceRecord& record, const KernelConfig& config)
        : record_(record), device_(*record.device), config_(config), files_(record.device), security_(record.device),
          erase_(config.eraseMF != 0), algorithm_(static_cast<uint8_t>(config.skAlg)) {
        if (config.skAlg < 0 || config.skAlg > 4) algorithm_ = 0;
    }

    uint32_t create_file(const std::vector<uint8_t>& description) {
        std::vector<uint8_t> cmd{static_cast<uint8_t>(erase_ ? 0xF0 : 0x80), static_cast<uint8_t>(erase_ ? 0xF2 : 0xE0),
                                 0x00, 0x00, static_cast<uint8_t>(description.size())};
        cmd.insert(cmd.end(), description.begin(), description.end());
        ApduResponse r;
        uint32_t rc = files_.send(cmd, r);
        if (rc != ERR_OK) return rc;
        return r.sw == kSwSuccess ? ERR_OK : ERR_CREATE_FILE;
    }

    uint32_t delete_file(uint16_t fileId) {
        ApduResponse r;
        uint32_t rc = files_.send(
            {0x80, 0x0E, 0x00, 0x00, 0x02, static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId)}, r);
        if (rc != ERR_OK) return rc;
        if (r.sw == kSwSuccess) return ERR_OK;
        return r.sw == 0x6A82 ? ERR_FILE_NOT_FOUND : ERR_DELETE_FILE;
    }

    uint32_t write_key(const uint8_t (&header)[8], const uint8_t* key) {
        std::vector<uint8_t> cmd{static_cast<uint8_t>(erase_ ? 0xF0 : 0x80), static_cast<uint8_t>(erase_ ? 0xF4 : 0x71),
                                 0x00, 0x00, 24};
        cmd.insert(cmd.end(), header, header + 8);
        cmd.insert(cmd.end(), key, key + 16);
        ApduResponse r;
        uint32_t rc = security_.send(cmd, r, Visibility::Secret);
        secure_zero(cmd);
        if (rc != ERR_OK) return rc;
        return r.sw == kSwSuccess ? ERR_OK : ERR_COMMAND_FAILED;
    }

    uint32_t derive(uint32_t index, uint8_t (&key)[16]) {
        uint32_t length = sizeof key;
        const uint32_t idLength = std::min<uint32_t>(device_.identityLength, sizeof device_.identity);
        return derive_key_for_index(config_.cspName, device_.identity, idLength, index, key, &length);
    }

    uint32_t write_derived_key(const CardKey& card) {
        uint8_t header[8];
        std::memcpy(header, card.header, sizeof header);
        header[4] = algorithm_;
        uint8_t key[16];
        uint32_t rc = derive(static_cast<uint32_t>(card.keyIndex), key);
        if (rc == ERR_OK) rc = write_key(header, key);
        secure_zero(key, sizeof key);
        return rc;
    }

    uint32_t write_pin(uint8_t reference, uint8_t retries, uint8_t granted, const uint8_t* pin, uint32_t length) {
        const uint8_t header[8] = {0xF0, 0x66, reference, 0x00, 0x00, retries, 0xF1, granted};
        uint8_t block[kPinBlockSize];
        uint32_t rc = make_pin_block(device_, pin, length, block);
        if (rc == ERR_OK) rc = write_key(header, block);
        secure_zero(block, sizeof block);
        return rc;
    }

    uint32_t authenticate(uint8_t keyId, uint32_t index) {
        uint8_t key[16];
        uint32_t rc = derive(index, key);
        const uint32_t algorithm = sk_algorithm(config_.skAlg);
        if (rc == ERR_OK) rc = security_.external_authenticate(keyId, algorithm, key, derived_key_length(algorithm, sizeof key));
        secure_zero(key, sizeof key);
        return rc;
    }

    uint32_t end_of_initialisation() {
        ApduResponse r;
        return security_.send({0xF0, 0xF3, 0x00, 0x00, 0x00}, r);
    }

    uint32_t erase() {
        if (erase_) {
            uint32_t rc = files_.select(kFileMF);
            if (rc == ERR_FILE_NOT_FOUND) return ERR_OK;  // a blank token: nothing to erase
            if (rc != ERR_OK) return rc;
            rc = authenticate(2, kKeyInit);
            if (rc != ERR_OK) return rc;
            rc = delete_file(kFileMF);
            return rc == ERR_FILE_NOT_FOUND ? ERR_OK : rc;
        }
        uint32_t rc = files_.select(kFileMF);
        if (rc != ERR_OK) return rc;
        rc = authenticate(3, kKeyMfEraseAdf);
        if (rc != ERR_OK) return rc;
        rc = delete_file(kFileADF);
        return rc == ERR_FILE_NOT_FOUND ? ERR_OK : rc;
    }

    uint32_t run(const InitRequest& request) {
        uint32_t rc = erase();
        if (rc != ERR_OK) return rc;
        if (erase_) {
            rc = create_file(named_directory({0x00, 0xDF, 0x3F, 0x00, 0x12, 0x00, 0xFF, 0x00, 0x66, 0x66, 0xEF, 0x00, 0x10},
                                             "Quorva", 0xFF));
            for (const CardKey& k : kMfKeys) {
                if (rc == ERR_OK) rc = write_derived_key(k);
            }
            if (rc != ERR_OK) return rc;
        }
        rc = create_file(named_directory({0x00, 0xAF, 0x3F, 0x01, 0x12, 0x00, 0xFF, 0x00, 0xF1, 0xF1, 0xEF, 0x00, 0x10},
                                         "QuorvantixPKIApp", ' '));
        if (rc == ERR_OK) rc = files_.select(kFileADF);
        for (const CardKey& k : kAdfKeys) {
            if (rc == ERR_OK) rc = write_derived_key(k);
        }
        if (rc == ERR_OK)
            rc = write_pin(1, retry_byte(config_.soRetryTimes), 0x02, request.soPin, request.soPinLength);
        if (rc == ERR_OK)
            rc = write_pin(2, retry_byte(config_.retryTimes), 0x03, request.userPin, request.userPinLength);
        if (rc != ERR_OK) return rc;

        const uint32_t containerBytes = static_cast<uint32_t>(std::max(config_.maxContainerCount, 0)) *
                                        kContainerRecordSize;
        rc = create_file({0x00, 0xEF, 0x00, 0x01, 0x01, 0x00, 0x00, 0xA0, 0xF1, 0x31, 0x00, 0x00});
        if (rc == ERR_OK)
            rc = create_file({0x00, 0xEF, 0x00, 0x03, 0x03, 0x00, static_cast<uint8_t>(containerBytes >> 8),
                              static_cast<uint8_t>(containerBytes), 0xF1, 0x31, 0x00, 0x00});
        if (rc == ERR_OK) rc = create_file({0x00, 0xEF, 0x00, 0x0B, 0x0B, 0x00, 0x00, 0x02, 0xF1, 0x31, 0x00, 0x00});
        for (const auto& description : key_file_descriptions(config_.keyPairRanges)) {
            if (rc == ERR_OK) rc = create_file(description);
        }
        if (rc != ERR_OK) return rc;

        if (erase_) end_of_initialisation();
        rc = external_auth(record_);
        if (rc != ERR_OK) return rc;

        uint32_t flags = kInitialFlags;
        auto is = [](const uint8_t* pin, uint32_t length, const std::string& value) {
            return value.size() == length && std::memcmp(value.data(), pin, length) == 0;
        };
        if (is(request.userPin, request.userPinLength, config_.defaultPin)) flags |= kFlagUserPinDefault;
        if (is(request.soPin, request.soPinLength, config_.defaultSoPin)) flags |= kFlagSoPinDefault;
        std::vector<uint8_t> serial;
        rc = read_serial_number(device_, serial);
        if (rc != ERR_OK) return rc;
        uint8_t cos[kCosInfoSize];
        const bool haveCos = read_cos_info(device_, cos) == ERR_OK;
        const std::vector<uint8_t> record =
            token_info_record(record_label(request.label, request.labelLength, config_.defaultLabel), serial, flags,
                              config_.maxPinLen, config_.minPinLen, haveCos ? cos : nullptr);
        rc = files_.write_file(kFileTokenInfo, 0, record.data(), static_cast<uint32_t>(record.size()));
        return rc;
    }

    bool erases() const { return erase_; }

private:
    DeviceRecord& record_;
    QXDeviceTransport& device_;
    const KernelConfig& config_;
    FileCommands files_;
    SecurityCommands security_;
    bool erase_;
    uint8_t algorithm_;
};

}  // namespace

bool key_pair_type_code(const std::string& name, uint8_t (&code)[2]) {
    code[0] = 0x00;
    if (name == "RSA1024") code[1] = 0x00;
    else if (name == "RSA2048") code[1] = 0x01;
    else if (name == "SM2256") code[1] = 0x02;
    else return false;
    return true;
}

std::vector<std::vector<uint8_t>> key_file_descriptions(const std::vector<KeyPairRange>& ranges) {
    std::vector<std::vector<uint8_t>> out;
    uint32_t next = 1;
    for (const KeyPairRange& range : ranges) {
        const uint32_t count = static_cast<uint32_t>(std::max(range.count, 0));
        uint8_t type[2];
        const bool known = key_pair_type_code(range.name, type);
        for (uint32_t i = 0; i < count; ++i, ++next) {
            if (!known) continue;
            const uint8_t ii = static_cast<uint8_t>(next);
            out.push_back({0x00, 0xEF, 0x10, ii, ii, 0x10, type[0], type[1], 0xF1, 0xF1, 0xF1, 0xFF});
            out.push_back({0x00, 0xEF, 0x20, ii, ii, 0x20, type[0], type[1], 0x33, 0x33, 0xEF, 0xFF});
            out.push_back({0x00, 0xEF, 0x80, ii, ii, 0x80, 0x08, 0x00, 0xF1, 0xF1, 0xF1, 0xDF});
        }
    }
    return out;
}

std::vector<uint8_t> record_label(const uint8_t* label, uint32_t length, const std::string& defaultLabel) {
    if (label && length) return std::vector<uint8_t>(label, label + std::min(length, kRecordLabelSize));
    std::vector<uint8_t> wide = utf16le(defaultLabel);
    if (wide.size() > kRecordLabelSize) wide.resize(kRecordLabelSize);
    return wide;
}

std::vector<uint8_t> token_info_record(const std::vector<uint8_t>& label, const std::vector<uint8_t>& serial,
                                       uint32_t flags, int32_t maxPinLength, int32_t minPinLength,
                                       const uint8_t* cosInfo) {
    static const char kManufacturer[] = "Quorvantix Co.,Ltd.";
    static const char kModel[] = "QuorvaCOS";
    std::vector<uint8_t> r(kTokenInfoSize, 0);
    put_text(r, 0, 32, label.data(), label.size());
    put_text(r, 32, 32, reinterpret_cast<const uint8_t*>(kManufacturer), sizeof kManufacturer - 1);
    put_text(r, 64, 16, reinterpret_cast<const uint8_t*>(kModel), sizeof kModel - 1);
    put_text(r, 80, 16, serial.data(), serial.size());
    put_le32(r, 96, flags);
    for (int i = 0; i < 4; ++i) put_le32(r, 100 + 4 * i, 0xFFFFFFFF);
    put_le32(r, 116, static_cast<uint32_t>(maxPinLength));
    put_le32(r, 120, static_cast<uint32_t>(minPinLength));
    for (int i = 0; i < 4; ++i) put_le32(r, 124 + 4 * i, 0xFFFFFFFF);
    const uint8_t major = cosInfo ? cosInfo[10] : 1;
    const uint8_t minor = cosInfo ? cosInfo[11] : 0;
    r[140] = major;
    r[141] = minor;
    r[142] = major;
    r[143] = minor;
    std::memset(r.data() + 144, ' ', 16);
    if (cosInfo) r[144] = cosInfo[12];
    return r;
}

uint32_t initialise_token(DeviceRecord& record, const KernelConfig& config, const InitRequest& given) {
    if (!record.device) return ERR_DEVICE_IO;
    QXDeviceTransport& device = *record.device;
    InitRequest request = given;
    if (!request.userPin) {
        request.userPin = reinterpret_cast<const uint8_t*>(config.defaultPin.data());
        request.userPinLength = static_cast<uint32_t>(config.defaultPin.size());
    }
    if (!request.soPin) {
        request.soPin = reinterpret_cast<const uint8_t*>(config.defaultSoPin.data());
        request.soPinLength = static_cast<uint32_t>(config.defaultSoPin.size());
    }
    if (request.userPinLength > kMaxInitPinLength || request.soPinLength > kMaxInitPinLength)
        return ERR_COMMAND_FAILED;

    uint32_t indexes = 0;
    for (const KeyPairRange& range : config.keyPairRanges) indexes += static_cast<uint32_t>(std::max(range.count, 0));
    if (indexes > kMaxKeyIndexes) return ERR_INVALID_PARAM;

    LogicalLock lock;
    uint32_t rc = lock.acquire(device);
    if (rc != ERR_OK) return rc;
    Initialiser init(record, config);
    rc = init.run(request);
    // A token left half-way must still leave its initialisation state.
    if (init.erases()) init.end_of_initialisation();
    lock.release();
    if (rc == ERR_OK) after_initialisation(device);
    return rc;
}

}  // namespace qx::kernel
