// The token's descriptive data: the token information record (file 0001),
// its label, the serial number, the card-OS information, and the small
// device questions (channel, button, display language).
#pragma once

#include <cstdint>
#include <vector>

#include "QXDevice.h"

namespace qx::kernel {

constexpr uint32_t kLabelFieldSize = 24;  // the part of the label field callers read and write
constexpr uint32_t kCosInfoSize = 16;
// File identifiers below this are the kernel's own files, not open to raw reads.
constexpr uint16_t kFirstRawFile = 11;

// The 160-byte record with the trailing spaces of its first 24 bytes made NULs.
uint32_t read_token_info(QXDeviceTransport& device, uint8_t (&record)[160]);
// The label: the first 24 bytes of the record without trailing spaces.
uint32_t read_label(QXDeviceTransport& device, std::vector<uint8_t>& label);
// Writes the 24-byte label field: `label` (1 to 24 bytes) padded with spaces.
uint32_t write_label(QXDeviceTransport& device, const uint8_t* label, uint32_t length);

// The card-OS information (80 7D).  ERR_COMMAND_FAILED for a word other than 9000.
uint32_t read_cos_info(QXDeviceTransport& device, uint8_t (&info)[kCosInfoSize]);

// The token's serial number (80 7B under the logical lock); when the token
// does not give one, the uppercase hexadecimal text of the last six identity
// bytes.  Fails only when neither can be had.
uint32_t read_serial_number(QXDeviceTransport& device, std::vector<uint8_t>& serial);

// The status word the token answers to the channel-type command; 0 when the exchange failed.
uint32_t channel_status_word(QXDeviceTransport& device);
// The button state of a transaction, translated as the transaction exports do.
uint32_t press_status(QXDeviceTransport& device);
// Sets the display language from a Windows language identifier.
uint32_t set_display_language(QXDeviceTransport& device, uint32_t languageId);
// The token's language code (1 simplified Chinese, 2 English, 3 traditional Chinese).
uint8_t display_language_code(uint32_t languageId);

// The transaction answer words as kernel statuses.
uint32_t translate_transaction_sw(uint16_t sw);

}  // namespace qx::kernel
