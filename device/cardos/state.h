// The state of one virtual token: its configuration, file system, keys, PINs
// and the volatile state that a reset or unplugging clears.  Plain data, with
// a versioned binary form for the token file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/cardos/bytes.h"

namespace qx::vtoken {

// Key types of key headers.
enum KeyType : uint8_t {
    kKeyExternalAuth = 0x39,
    kKeyLineProtection = 0x36,
    kKeyMaster = 0x35,
    kKeyInternalAuth = 0x13,
    kKeySymProtection = 0x33,
    kKeyUnlock = 0x06,
    kKeyCommandProtection = 0x07,
    kKeyPin = 0x66,
};

// A key or PIN of a directory, as written with its 8-byte header
// F0 T I 00 A U C N.  For a PIN, U is the retry byte (maximum × 16).
struct CardKey {
    std::array<uint8_t, 8> header{};
    Bytes value;
    uint8_t tries_left = 0;  // PINs only

    uint8_t type() const { return header[1]; }
    uint8_t id() const { return header[2]; }
    uint8_t alg() const { return header[4]; }
    uint8_t use_condition() const { return header[5]; }
    uint8_t change_condition() const { return header[6]; }
    uint8_t state_after() const { return header[7]; }
    uint8_t max_tries() const { return static_cast<uint8_t>(header[5] >> 4); }
};

// EF kinds (sixth byte of an EF description).
enum EfKind : uint8_t { kEfBinary = 0x00, kEfPublicKey = 0x10, kEfPrivateKey = 0x20, kEfCertificate = 0x80 };
// Key-pair types of key files.
enum KeyPairType : uint16_t { kPairRsa1024 = 0, kPairRsa2048 = 1, kPairSm2 = 2 };

struct CardFile {
    uint16_t fid = 0;
    bool is_df = false;
    Bytes description;              // as given to CREATE FILE
    std::array<uint8_t, 4> access{};  // DF: create, delete; EF: read/use, write
    // EF
    uint8_t ef_kind = kEfBinary;
    uint16_t size = 0;      // binary and certificate files
    uint16_t pair_type = 0; // key files
    Bytes data;
    // DF
    Bytes name;
    bool initialising = false;
    std::vector<CardKey> keys;
    std::vector<std::unique_ptr<CardFile>> children;

    CardFile* child(uint16_t id) const;
    const CardKey* key(uint8_t type, uint8_t id) const;
    CardKey* key(uint8_t type, uint8_t id);
    ~CardFile();
};

// A pending signed transaction.
struct Transaction {
    bool active = false;
    uint8_t slot = 0;
    uint8_t algorithm = 0;
    uint16_t confirm_seconds = 0;
    uint16_t piece_count = 0;
    uint32_t data_length = 0;
    Bytes mac;
    uint8_t mode = 0;
    uint16_t pieces_received = 0;
    Bytes data;
    bool ready = false;          // every piece received and the MAC matched
    int64_t ready_since_ms = 0;  // wall-clock time at which the button wait began
    bool pressed = false;
};

// A PIN operation the token holds until its button is pressed (tokens
// made with a PIN button): the PIN was right, the change waits.
struct PinPress {
    uint8_t operation = 0;  // 0 none, 1 verify, 2 change
    uint8_t reference = 0;
    Bytes new_value;        // change: the new PIN block
    int64_t since_ms = 0;
    bool pressed = false;
};

// Everything that a reset or unplugging clears.
struct VolatileState {
    uint8_t security = 0;
    std::vector<uint16_t> current_path;  // DF path from the MF; empty: none
    uint16_t current_ef = 0;             // 0: none
    Bytes challenge;
    Bytes pending_response;              // rest of a long answer, fetched with GET RESPONSE
    Bytes session_key;
    Bytes cipher_chain;                  // CBC chaining value between pieces of a token cipher run
    bool cipher_running = false;
    uint8_t digest_alg = 0xFF;           // 0xFF: no digest running
    Bytes digest_data;
    uint8_t cert_slot = 0;               // certificate being written in pieces
    Bytes cert_data;
    uint8_t rsa_slot = 0, rsa_mode = 0;  // private-key operation being collected
    Bytes rsa_input;
    Bytes sm2_slot0;                     // X || Y of the public key in slot 0
    Transaction transaction;
    uint8_t language = 2;
    uint16_t pin_wait_seconds = 0;
    PinPress pin_press;

    void clear();
};

// Channel types, as the transport names them.
constexpr uint32_t kChannelCcid = 1;
constexpr uint32_t kChannelUms = 16;
constexpr uint32_t kChannelHid = 256;

struct TokenConfig {
    uint32_t channel = kChannelCcid;
    Bytes identity;       // 1 to 32 bytes
    Bytes cos_info;       // 16 bytes
    Bytes transport_key;  // empty or 16 bytes
    Bytes serial;         // empty: not set
    int32_t auto_press_ms = -1;  // -1: the button is pressed only by the control command
    bool pin_button = false;     // VERIFY and CHANGE PIN wait for the button (status D10D)
};

struct TokenState {
    TokenConfig config;
    std::unique_ptr<CardFile> mf;  // null: blank token
    bool plugged = true;
    uint64_t power_session = 1;    // changes at every reset and plug-in
    uint64_t plug_generation = 1;  // changes at every plug-in
    VolatileState vol;

    TokenState();
    ~TokenState();
    TokenState(TokenState&&) noexcept;
    TokenState& operator=(TokenState&&) noexcept;

    // Power loss: the security state and everything volatile is gone.
    void power_cycle();
    void unplug();
    void plug();
};

// A new blank token with the given channel, identity (random when empty),
// card-OS version bytes and, when asked, random transport key material.
TokenState make_token(uint32_t channel, const Bytes& identity, const Bytes& cos_version, bool transport_key);

// The token file: "QXVT", format version, then the fields.
Bytes serialise(const TokenState& state);
std::optional<TokenState> parse(const Bytes& bytes);

constexpr uint16_t kStateFormatVersion = 1;

}  // namespace qx::vtoken
