#include "token_info.h"

#include <algorithm>
#include <cstring>

#include "QXTokenStatus.h"
#include "core/commands.h"
#include "core/logical_lock.h"
#include "core/status_words.h"
#include "pin/pin_security.h"

namespace qx::kernel {

namespace {

constexpr SwRule kTransactionRules[] = {
    {0x9000, 0xFFFF, ERR_OK},
    {0xD100, 0xFFFF, ERR_TRANSACTION_D100},
    {0xD101, 0xFFFF, ERR_TRANSACTION_D101},
    {0xD102, 0xFFFF, ERR_TRANSACTION_D102},
    {0xD104, 0xFFFF, ERR_TRANSACTION_D104},
    {0xD105, 0xFFFF, ERR_TRANSACTION_D105},
    {0xD107, 0xFFFF, ERR_TRANSACTION_D107},
    {0xD109, 0xFFFF, ERR_TRANSACTION_D109},
    {0xD10C, 0xFFFF, ERR_TRANSACTION_D10C},
    {0xD10D, 0xFFFF, ERR_TRANSACTION_D10D},
    {0x6983, 0xFFFF, ERR_PIN_LOCKED},
    {0x63C0, 0xFFFF, ERR_PIN_LOCKED},
    {0x63C0, 0xFFF0, ERR_TRANSACTION_PIN_INCORRECT},
};
const SwTable kSwTransaction{kTransactionRules, sizeof kTransactionRules / sizeof kTransactionRules[0],
                             ERR_TRANSACTION_OTHER};

uint32_t read_exact(QXDeviceTransport& device, uint32_t offset, uint8_t* out, uint32_t length) {
    FileCommands files(&device);
    uint32_t read = 0;
    uint32_t rc = files.read_file(kFileTokenInfo, offset, length, out, &read);
    if (rc != ERR_OK) return rc;
    return read == length ? ERR_OK : ERR_COMMAND_FAILED;
}

}  // namespace

uint32_t translate_transaction_sw(uint16_t sw) { return translate_sw(kSwTransaction, sw); }

uint32_t read_token_info(QXDeviceTransport& device, uint8_t (&record)[160]) {
    uint32_t rc = read_exact(device, 0, record, sizeof record);
    if (rc != ERR_OK) return rc;
    for (uint32_t i = kLabelFieldSize; i > 0 && record[i - 1] == ' '; --i) record[i - 1] = 0;
    return ERR_OK;
}

uint32_t read_label(QXDeviceTransport& device, std::vector<uint8_t>& label) {
    uint8_t field[kLabelFieldSize];
    uint32_t rc = read_exact(device, 0, field, sizeof field);
    if (rc != ERR_OK) return rc;
    uint32_t n = kLabelFieldSize;
    while (n > 0 && field[n - 1] == ' ') --n;
    label.assign(field, field + n);
    return ERR_OK;
}

uint32_t write_label(QXDeviceTransport& device, const uint8_t* label, uint32_t length) {
    if (!label || length == 0 || length > kLabelFieldSize) return ERR_INVALID_HANDLE;
    uint8_t field[kLabelFieldSize];
    std::memset(field, ' ', sizeof field);
    std::memcpy(field, label, length);
    FileCommands files(&device);
    return files.write_file(kFileTokenInfo, 0, field, sizeof field);
}

uint32_t read_cos_info(QXDeviceTransport& device, uint8_t (&info)[kCosInfoSize]) {
    SecurityCommands security(&device);
    ApduResponse r;
    uint32_t rc = security.send({0x80, 0x7D, 0x00, 0x00, 0x10}, r);
    if (rc != ERR_OK) return rc;
    if (r.sw != kSwSuccess || r.length < kCosInfoSize) return ERR_COMMAND_FAILED;
    std::memcpy(info, r.data(), kCosInfoSize);
    return ERR_OK;
}

uint32_t read_serial_number(QXDeviceTransport& device, std::vector<uint8_t>& serial) {
    {
        LogicalLock lock;
        uint32_t rc = lock.acquire(device);
        if (rc != ERR_OK) return rc;
        SecurityCommands security(&device);
        ApduResponse r;
        rc = security.send({0x80, 0x7B, 0x00, 0x00, 0x00}, r);
        if (rc == ERR_OK && r.sw == kSwSuccess && r.length > 0) {
            serial.assign(r.data(), r.data() + r.length);
            return ERR_OK;
        }
    }
    // The token gives no serial number: name it after its identity instead.
    const uint32_t idLength = std::min<uint32_t>(device.identityLength, sizeof device.identity);
    if (idLength == 0) return ERR_FAILED;
    static const char digits[] = "0123456789ABCDEF";
    serial.clear();
    for (uint32_t i = idLength > 6 ? idLength - 6 : 0; i < idLength; ++i) {
        serial.push_back(static_cast<uint8_t>(digits[device.identity[i] >> 4]));
        serial.push_back(static_cast<uint8_t>(digits[device.identity[i] & 15]));
    }
    return ERR_OK;
}

uint32_t channel_status_word(QXDeviceTransport& device) {
    SecurityCommands security(&device);
    ApduResponse r;
    if (security.send({0xF0, 0x0F, 0x00, 0x00, 0x00}, r) != ERR_OK) return 0;
    return r.sw;
}

uint32_t press_status(QXDeviceTransport& device) {
    SecurityCommands security(&device);
    ApduResponse r;
    uint32_t rc = security.send({0x80, 0x77, 0x00, 0x00, 0x03, 0x09, 0x01, 0x00}, r);
    if (rc != ERR_OK) return rc;
    return translate_transaction_sw(r.sw);
}

uint8_t display_language_code(uint32_t languageId) {
    switch (languageId) {
        case 2052: return 1;
        case 1028:
        case 3076:
        case 4100: return 3;
        default: return 2;
    }
}

uint32_t set_display_language(QXDeviceTransport& device, uint32_t languageId) {
    SecurityCommands security(&device);
    ApduResponse r;
    uint32_t rc = security.send({0x80, 0x77, 0x00, 0x00, 0x03, 0x0A, 0x01, display_language_code(languageId)}, r);
    if (rc != ERR_OK) return rc;
    return r.sw == kSwSuccess ? ERR_OK : ERR_COMMAND_FAILED;
}

}  // namespace qx::kernel
