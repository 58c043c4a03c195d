// Signed transactions: the token shows the transaction data to its user and
// signs it only after the user presses the token's button.  Every step is a
// sub-command (tag, length, value) of one token command, 80 77 00 00; the
// transaction's state lives on the token, the kernel keeps none between calls.
#pragma once

#include <cstdint>
#include <vector>

#include "core/handles.h"
#include "key/key_object.h"

namespace qx::kernel {

// The largest piece of transaction data one piece sub-command carries.
constexpr uint32_t kMaxTransactionPiece = 192;
// Piece numbers and counts travel in two bytes, the mode in one.
constexpr uint32_t kMaxTransactionPieces = 0xFFFF;
constexpr uint32_t kMaxTransactionMode = 0xFF;
constexpr uint32_t kTransactionMacSize = 8;
// What a failed random generation of the MAC key object answers.
constexpr uint32_t kTransactionKeyGenerateFailed = 1;

enum TransactionTag : uint8_t {
    kTagNegotiate = 0x06,
    kTagCancel = 0x07,
    kTagPiece = 0x08,
    kTagSignature = 0x09,
};

// The algorithm code of the negotiation for a key and digest; 0 when the pair
// has none (RSA takes SHA-1 and SHA-256, SM2 takes SM3).
uint8_t transaction_algorithm_code(uint32_t keyAlgorithm, uint32_t keyBits, uint32_t hashAlg);

// 1 when `mask` (bit 0 SHA-1, bit 1 SHA-256, bit 2 SM3) allows the digest, else 0.
uint32_t is_transaction_hash_allowed(uint32_t mask, uint32_t hashAlg);

// The sub-commands as whole commands.
std::vector<uint8_t> negotiate_command(uint8_t slot, uint8_t code, uint16_t waitSeconds, uint16_t pieceCount,
                                       uint32_t dataLength, const uint8_t (&mac)[kTransactionMacSize], uint8_t mode);
std::vector<uint8_t> piece_command(uint16_t number, const uint8_t* piece, uint32_t length);
std::vector<uint8_t> signature_command();
std::vector<uint8_t> cancel_command();

// The transaction MAC: the block-cipher MAC, from a zero block, of `digest`
// under the key derived for index 5 from the token's identity, held by a
// session key of the algorithm that `skAlg` selects.  A DES key (8 bytes)
// takes the first half of the derived key.  `device` carries the identity
// (and runs the token's own ciphers when `skAlg` picks one of them).
uint32_t transaction_mac(void* deviceHandle, int32_t skAlg, const uint8_t* digest, uint32_t digestLength,
                         uint8_t (&mac)[kTransactionMacSize]);

// The steps that RSA and SM2 share once the key has checked its own
// arguments: digest of the data in software, MAC, negotiate sub-command.
uint32_t negotiate_transaction(QXAsymKey& key, uint8_t code, uint32_t hashAlg, uint32_t pieceCount, uint32_t mode,
                               const uint8_t* data, uint32_t length);

// The exports' work once handles are resolved (null: not a live handle).
// Each checks its arguments as the export prescribes and sends at most one
// sub-command.
uint32_t negotiate(QXKey* key, uint32_t hashAlg, uint32_t pieceCount, uint32_t mode, const uint8_t* data,
                   uint32_t length);
uint32_t send_piece(QXKey* key, uint32_t number, const uint8_t* piece, uint32_t length, uint8_t* out,
                    uint32_t* outLength);
uint32_t get_signature(QXKey* key, uint8_t* out, uint32_t* outLength);
// `keyHandle` and `deviceHandle` as the caller passed them: with a device
// the transaction is cancelled, without one the token is polled once.
uint32_t cancel(void* keyHandle, void* deviceHandle);

// The size of the signature a key pair's transaction ends with (RSA: the
// modulus bytes, SM2: r and s); 0 when unknown.
uint32_t transaction_signature_size(const QXKey& key);

}  // namespace qx::kernel
