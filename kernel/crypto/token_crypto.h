// The token's own symmetric cipher (a session key loaded for the purpose),
// its digest and its random numbers.  Each operation is a run of commands
// that holds the token's logical lock from the first to the last, so that
// another process cannot load its session key or start its digest between
// two pieces of ours.
#pragma once

#include <cstdint>

#include "core/commands.h"

namespace qx::kernel {

// Digest identifiers the token computes (SM3, SHA-1, SHA-256): the algorithm
// code of the digest command (0, 1, 2), or -1.
int token_digest_code(uint32_t digestId);
// Digest size in bytes of a digest identifier of the software library (0: unknown).
uint32_t digest_size(uint32_t digestId);

// Bytes of data in one token-cipher command: whole blocks up to 250 bytes.
inline uint32_t token_cipher_piece(uint32_t block) { return block ? 250 / block * block : 0; }

class TokenCryptoCommands : public CommandObject {
public:
    using CommandObject::CommandObject;

    // Loads the 16-byte session key and runs the token cipher over `length`
    // bytes (a multiple of `block`) into `out`, which holds *outLength bytes
    // (below `length`: ERR_BUFFER_TOO_SMALL with `length`).  Mode 1 is CBC
    // from `iv` (exactly one block, else ERR_NO_MEMORY); other modes are ECB.
    // A refused key gives ERR_KEY_COMMAND, a refused piece or an answer of
    // the wrong size ERR_COMMAND_FAILED.
    uint32_t session_cipher(bool encrypt, const uint8_t* key, uint32_t keyLength, uint32_t mode, uint32_t block,
                            const uint8_t* iv, uint32_t ivLength, const uint8_t* in, uint32_t length, uint8_t* out,
                            uint32_t* outLength);

    // The token's digest of `data` (`digestId` 16, 4 or 5, else
    // ERR_INVALID_PARAM) into `out`, which must hold digest_size(digestId).
    uint32_t digest(uint32_t digestId, const uint8_t* data, uint32_t length, uint8_t* out);

    // `length` random bytes from GET CHALLENGE: 16 per command while 17 or
    // more remain; the rest from one command asking for exactly the rest
    // when it is a multiple of 4, else for 16.  Any failure, including an
    // answer of another length than asked: ERR_COMMAND_FAILED.
    uint32_t random(uint8_t* out, uint32_t length);
};

}  // namespace qx::kernel
