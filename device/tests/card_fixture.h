// Host-side helpers for the virtual-token tests: APDU text, a host that
// authenticates and wraps secure messaging, and a personalisation that sends
// the command sequence of token initialisation with fixed test keys.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "device/cardos/state.h"

namespace qx::vtoken::test {

Bytes hex(std::string_view text);
std::string hexs(const Bytes& b);

struct TestKeys {
    uint8_t alg = 0;
    Bytes mf_key0, mf_erase, mf_line, mf_ext;
    Bytes adf_master, adf_line, adf_ext, adf_in, adf_sym, adf_unlock, adf_protect;
    Bytes so_block, user_block;
};
TestKeys test_keys(uint8_t alg);

// Key-pair slots of the test layout: RSA1024 1-2, RSA2048 3, SM2 4-5.
constexpr uint8_t kSlotRsa1024 = 1;
constexpr uint8_t kSlotRsa2048 = 3;
constexpr uint8_t kSlotSm2 = 4;

class Host {
public:
    using Transport = std::function<Bytes(const Bytes&)>;
    explicit Host(Transport t) : t_(std::move(t)) {}

    Bytes send(const Bytes& apdu) { return t_(apdu); }
    // The response as hexadecimal text, status word included.
    std::string run(std::string_view apdu_hex) { return hexs(send(hex(apdu_hex))); }
    uint16_t sw(const Bytes& apdu);
    uint16_t sw(std::string_view apdu_hex) { return sw(hex(apdu_hex)); }

    uint16_t external_auth(uint8_t key_id, uint8_t alg, const Bytes& key);
    // GET CHALLENGE, then the command in its secure-messaging form.
    Bytes secure(const Bytes& apdu, uint8_t alg, const Bytes& key);
    uint16_t verify_pin(uint8_t ref, const Bytes& block, const TestKeys& k, bool sm = true);

    // Token initialisation on a blank token (or one whose MF key 0 is `k`):
    // MF, MF keys, ADF, ADF keys, PINs (retries 6 and 10), files, key files.
    uint16_t personalise(const TestKeys& k, uint8_t user_tries = 6, uint8_t so_tries = 10);

private:
    Transport t_;
};

// An SM2 signature r || s of `msg` checked by OpenSSL's own SM2 verification
// with the default user identity (defined in cardos_crypto_test.cpp).
bool openssl_sm2_verify(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& rs);

// A host bound directly to a state in memory.
Host::Transport direct(TokenState& s, int64_t* now);

}  // namespace qx::vtoken::test
