// The card OS of the virtual token: one command APDU in, one response APDU
// (data and status word) out, applied to a TokenState.  No files, no clocks:
// the caller passes the wall-clock time in milliseconds.
#pragma once

#include <cstdint>

#include "device/cardos/state.h"

namespace qx::vtoken {

// Runs one plain command.
Bytes process_command(TokenState& state, const Bytes& apdu, int64_t now_ms);

// Runs one command that the host enciphered for the transport link with the
// token's transport key material, and enciphers the response the same way.
Bytes process_enciphered_command(TokenState& state, const Bytes& apdu, int64_t now_ms);

// The transport link cipher: RC4 under SM4-ECB("HALCYONBRIDGEKEY", material),
// over the four header bytes and then everything after byte 5 (command), or
// over the whole response.  Exposed for tests and host-side tools.
Bytes transport_encipher_command(const Bytes& material, const Bytes& apdu);
Bytes transport_decipher_response(const Bytes& material, const Bytes& response);

// The token's button.  True when a transaction or a PIN operation held for
// the button (tokens made with a PIN button) was waiting for it.
bool press_button(TokenState& state);

// The answer to reset that the transport reports.
Bytes answer_to_reset(const TokenState& state);

}  // namespace qx::vtoken
