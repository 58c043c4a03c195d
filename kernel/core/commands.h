// Command objects: short-lived objects bound to one device for one export
// call (or one step of it), each offering one family of card-OS commands on
// top of the exchange layer.
#pragma once

#include <cstdint>
#include <vector>

#include "QXDevice.h"
#include "apdu.h"
#include "key_derivation.h"

namespace qx::kernel {

// Key and block sizes of the symmetric algorithms the kernel's keys use;
// `software` tells whether the software algorithm library can run it.
struct SymAlgInfo {
    uint32_t id;
    uint32_t keyBytes;
    uint32_t blockBytes;
    bool software;
};
const SymAlgInfo* sym_alg_info(uint32_t algorithm);
// How many bytes of a derived 16-byte card key the cipher `algorithm` takes.
uint32_t derived_key_length(uint32_t algorithm, uint32_t derivedLength);

// Bytes of a token file read or written per command.
constexpr uint32_t kFileChunk = 224;
// File identifier that means "the file already selected".
constexpr uint16_t kCurrentFile = 0xFFFF;

class CommandObject {
public:
    explicit CommandObject(QXDeviceTransport* device) : channel_(device) {}
    virtual ~CommandObject() = default;
    CommandObject(const CommandObject&) = delete;
    CommandObject& operator=(const CommandObject&) = delete;

    QXDeviceTransport* device() const { return channel_.device(); }
    ApduChannel& channel() { return channel_; }

    // Sends a command (with reconnection unless disabled); on ERR_OK the
    // answer's data and status word are in `response`.
    uint32_t send(const std::vector<uint8_t>& command, ApduResponse& response,
                  Visibility visibility = Visibility::Traced) {
        return channel_.transmit(command, response, visibility);
    }
    // GET CHALLENGE: exactly `length` bytes into `out`; ERR_COMMAND_FAILED
    // when the token refuses or answers with another length.
    uint32_t get_challenge(uint8_t length, uint8_t* out);

private:
    ApduChannel channel_;
};

// Token files: select, read and write binary.
class FileCommands : public CommandObject {
public:
    using CommandObject::CommandObject;

    // ERR_FILE_NOT_FOUND for the not-found words, ERR_SELECT_FILE for any other refusal.
    uint32_t select(uint16_t fileId);
    // Reads up to `length` bytes from `offset` under the logical lock; *read
    // receives the bytes read (a short file ends the read early).
    uint32_t read_file(uint16_t fileId, uint32_t offset, uint32_t length, uint8_t* out, uint32_t* read);
    // Writes `data` at `offset` under the logical lock.
    uint32_t write_file(uint16_t fileId, uint32_t offset, const uint8_t* data, uint32_t length);
};

// Authentication, identity, transport keys and secure messaging.
class SecurityCommands : public CommandObject {
public:
    using CommandObject::CommandObject;

    // Proves knowledge of `key` (algorithm `algorithm`) for key identifier `keyId`.
    uint32_t external_authenticate(uint8_t keyId, uint32_t algorithm, const uint8_t* key, uint32_t keyLength);
    // Authenticates with the ADF external-authentication key derived for this token.
    uint32_t authenticate_adf();
    // Reads the token identity into the device object.
    uint32_t read_identity();
    // Reads the transport key material straight through the transport; the
    // device object keeps it only when the token answers 16 bytes and 9000.
    uint32_t read_transport_key();
    // Rewrites a command (CLA already set to the secure-messaging form) into
    // its enciphered and MACed form under the derived key `keyIndex` (the
    // command-protection key for PIN commands).  ERR_COMMAND_FAILED sends nothing.
    uint32_t secure_messaging_wrap(std::vector<uint8_t>& command, uint32_t keyIndex = kKeyAdfCommandProtect);
};

}  // namespace qx::kernel
