// Fuzzes what reaches the card OS from outside: command APDUs (plain and
// through the transport link) on a personalised token, and token files.
// Input: first byte selects the target; for commands, the rest is a series
// of length-prefixed APDUs.
#include <cstdlib>

#include "device/cardos/cardos.h"
#include "device/tests/card_fixture.h"

namespace {

using qx::vtoken::Bytes;

const Bytes& personalised_file() {
    static const Bytes file = [] {
        qx::vtoken::TokenState s =
            qx::vtoken::make_token(qx::vtoken::kChannelCcid, Bytes{1, 2, 3, 4, 5, 6, 7, 8}, {}, true);
        qx::vtoken::test::Host h(qx::vtoken::test::direct(s, nullptr));
        auto keys = qx::vtoken::test::test_keys(0);
        if (h.personalise(keys) != 0x9000 || h.verify_pin(2, keys.user_block, keys) != 0x9000) std::abort();
        // One key pair of each kind so that the key commands reach their work.
        h.run("8046000100");
        h.run("8056000400");
        return qx::vtoken::serialise(s);
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] == 0) {
        auto s = qx::vtoken::parse(Bytes(data + 1, data + size));
        if (s && !qx::vtoken::parse(qx::vtoken::serialise(*s))) std::abort();
        return 0;
    }
    auto state = qx::vtoken::parse(personalised_file());
    if (!state) std::abort();
    bool enciphered = (data[0] & 1) != 0;
    int64_t now = 0;
    for (size_t pos = 1; pos < size;) {
        size_t n = data[pos++];
        if (n > size - pos) n = size - pos;
        Bytes apdu(data + pos, data + pos + n);
        pos += n;
        Bytes r = enciphered ? qx::vtoken::process_enciphered_command(*state, apdu, now)
                             : qx::vtoken::process_command(*state, apdu, now);
        if (r.size() < 2) std::abort();
        now += 1000;
    }
    // Whatever the commands did, the token must still be storable and readable.
    if (!qx::vtoken::parse(qx::vtoken::serialise(*state))) std::abort();
    return 0;
}
