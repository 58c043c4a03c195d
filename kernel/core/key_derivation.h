// Keys that protect the conversation with a token are never stored: each is
// derived when needed from a purpose label (provider name + suffix), the
// token's identity bytes and the file identifier of its directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::kernel {

// Key indexes and their purposes.
enum KeyIndex : uint32_t {
    kKeyInit = 0,
    kKeyMfEraseAdf = 1,
    kKeyMfLineProtect = 2,
    kKeyMfExternalAuth = 3,
    kKeyAdfMaster = 4,
    kKeyAdfLineProtect = 5,
    kKeyAdfExternalAuth = 6,
    kKeyAdfInternalAuth = 7,
    kKeyAdfSymKeyProtect = 8,
    kKeyAdfUnlock = 9,
    kKeyAdfCommandProtect = 10,
};

constexpr uint16_t kFileMF = 0x3F00;
constexpr uint16_t kFileADF = 0x3F01;

// The salt strings (12 ASCII characters each).  Tokens personalised with keys
// derived from them depend on them: never change an entry.
constexpr std::size_t kSaltCount = 16;
extern const char kSaltTable[kSaltCount][32];

// Derives a key of 8 or 16 bytes into `out`.  False (nothing written) when the
// label or identity is absent, the identity is empty or the length is not 8 or 16.
bool derive_key(const char* label, std::size_t labelLength, const uint8_t* identity, std::size_t identityLength,
                uint16_t fileId, std::size_t keyLength, uint8_t* out);

// The label suffix and file identifier of a key index (unknown indexes: none, ADF).
const char* key_label_suffix(uint32_t index);
uint16_t key_file_id(uint32_t index);

// Derives the 16-byte key of `index` for a token.  out null: *length = 16, 0.
// *length below 16: *length = 16, ERR_BUFFER_TOO_SMALL.  A refused derivation
// returns ERR_COMMAND_FAILED with *length unchanged.
uint32_t derive_key_for_index(const std::string& providerName, const uint8_t* identity,
                              std::size_t identityLength, uint32_t index, uint8_t* out, uint32_t* length);

}  // namespace qx::kernel
