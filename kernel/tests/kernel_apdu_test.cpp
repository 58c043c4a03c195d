// The exchange layer and the command objects, driven byte by byte through a
// scripted transport.
#include <gtest/gtest.h>

#include <algorithm>

#include "QXTokenStatus.h"
#include "core/apdu.h"
#include "core/commands.h"
#include "core/kernel_state.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

const char kIdentity[] = "0102030405060708";

class ApduTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        dev.set_identity(H(kIdentity));
    }
    uint32_t send(const std::string& command, ApduResponse& r) {
        ApduChannel channel(&dev);
        return channel.transmit(H(command), r);
    }
    ScriptedTransport dev;
};

// --- response chaining ---------------------------------------------------

TEST_F(ApduTest, ChainsGetResponseAndJoinsTheData) {
    dev.expect("80 7D 00 00 10", "11 22 61 10")
        .expect("00 C0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("80 7D 00 00 10", r));
    EXPECT_EQ(0x9000, r.sw);
    EXPECT_EQ("11 22 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", hex(r.data(), r.length));
}

TEST_F(ApduTest, WrongLengthAnswerResendsTheHeaderWithTheNamedLe) {
    dev.expect("00 B0 00 00 20", "6C 08").expect("00 B0 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("00 B0 00 00 20", r));
    EXPECT_EQ("01 02 03 04 05 06 07 08", hex(r.data(), r.length));
}

TEST_F(ApduTest, GetResponseLengthCorrectionFollowsBit16OfSupportDevType) {
    struct Case {
        int32_t devType;
        const char* sw;
        const char* getResponse;
    } cases[] = {
        {1, "61 3A", "00 C0 00 00 3A"},  {17, "61 3A", "00 C0 00 00 30"}, {17, "61 7A", "00 C0 00 00 70"},
        {17, "61 BA", "00 C0 00 00 B0"}, {17, "61 FA", "00 C0 00 00 F0"}, {17, "61 3B", "00 C0 00 00 3B"},
    };
    for (const auto& c : cases) {
        KernelConfig config;
        config.supportDevType = c.devType;
        use_config(config);
        ScriptedTransport d;
        d.expect("80 7D 00 00 00", c.sw).expect(c.getResponse, "AA 90 00");
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(ERR_OK, channel.transmit(H("80 7D 00 00 00"), r)) << c.sw;
        EXPECT_EQ("AA", hex(r.data(), r.length));
    }
}

TEST_F(ApduTest, AnswerAfterGetResponseIsCutToLePlusStatusWord) {
    // The device reports four bytes more than GET RESPONSE asked for.
    dev.expect("80 7D 00 00 00", "61 02");
    dev.script.push_back({H("00 C0 00 00 02"), H("AA BB 90 00 EE EE EE EE"), 0, 0});
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("80 7D 00 00 00", r));
    EXPECT_EQ(0x9000, r.sw);
    EXPECT_EQ("AA BB", hex(r.data(), r.length));
}

TEST_F(ApduTest, ShortAnswerAfterGetResponseIsNotPaddedWithUnwrittenBytes) {
    dev.expect("80 7D 00 00 00", "61 10").expect("00 C0 00 00 10", "6A 82");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("80 7D 00 00 00", r));
    EXPECT_EQ(0x6A82, r.sw);
    EXPECT_EQ(0u, r.length);
}

TEST_F(ApduTest, AnswerWithoutStatusWordIsAFailure) {
    dev.expect("00 84 00 00 08", "90");
    ApduResponse r;
    EXPECT_EQ(ERR_DEVICE_IO, send("00 84 00 00 08", r));
    ScriptedTransport empty;
    empty.expect("00 84 00 00 08", "");
    ApduChannel channel(&empty);
    EXPECT_EQ(ERR_DEVICE_IO, channel.transmit(H("00 84 00 00 08"), r));
}

TEST_F(ApduTest, EndlessChainingIsCutOff) {
    for (int i = 0; i < 65; ++i) dev.expect("", "6C 08");
    ApduResponse r;
    EXPECT_EQ(ERR_FAILED, send("00 B0 00 00 20", r));
}

TEST_F(ApduTest, ClosedDeviceAndOtherTransportCodesGiveDeviceIoError) {
    ApduResponse r;
    dev.openStatus = 0;
    EXPECT_EQ(ERR_DEVICE_IO, send("00 84 00 00 08", r));
    dev.openStatus = 1;
    dev.fail("00 84 00 00 08", 0x80100069);  // removed card: no reconnection
    EXPECT_EQ(ERR_DEVICE_IO, send("00 84 00 00 08", r));
    ApduChannel none(nullptr);
    EXPECT_EQ(ERR_INVALID_PARAM, none.transmit(H("00 84 00 00 08"), r));
}

// --- reconnection ----------------------------------------------------------

// What a reconnection sends after the device is back: identity, SELECT ADF,
// GET CHALLENGE and EXTERNAL AUTHENTICATE with the derived ADF key (SKAlg 0).
void script_reauthentication(ScriptedTransport& d) {
    d.expect("80 76 00 00 00", "01 02 03 04 05 06 07 08 90 00")
        .expect("00 A4 00 00 02 3F 01", "90 00")
        .expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00")
        .expect("00 82 00 00 08 16 09 C1 9C 37 DF 2B 99", "90 00");
}

TEST_F(ApduTest, CardResetLeadsToResetReauthenticationAndOneMoreAttempt) {
    dev.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
    script_reauthentication(dev);
    dev.expect("00 B0 00 00 04", "DE AD BE EF 90 00");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("00 B0 00 00 04", r));
    EXPECT_EQ("DE AD BE EF", hex(r.data(), r.length));
    ASSERT_GE(dev.events.size(), 2u);
    EXPECT_EQ("reset", dev.events[1]);
}

TEST_F(ApduTest, LostServiceOrHandleReopensTheDeviceByItsName) {
    for (uint32_t code : {QXDEV_SCARD_E_SERVICE_STOPPED, QXDEV_SCARD_E_INVALID_VALUE, QXDEV_SCARD_E_INVALID_HANDLE}) {
        ScriptedTransport d("Reader With A Name 1");
        d.set_identity(H(kIdentity));
        d.fail("00 B0 00 00 04", code);
        script_reauthentication(d);
        d.expect("00 B0 00 00 04", "DE AD BE EF 90 00");
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(ERR_OK, channel.transmit(H("00 B0 00 00 04"), r));
        ASSERT_GE(d.events.size(), 2u);
        EXPECT_EQ("open:Reader With A Name 1", d.events[1]);
    }
}

TEST_F(ApduTest, ThreeFailuresInARowEndWithTheTransportCode) {
    dev.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
    script_reauthentication(dev);
    dev.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
    script_reauthentication(dev);
    dev.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
    ApduResponse r;
    EXPECT_EQ(QXDEV_SCARD_W_RESET_CARD, send("00 B0 00 00 04", r));
    EXPECT_EQ(2, std::count(dev.events.begin(), dev.events.end(), "reset"));
}

TEST_F(ApduTest, FailedReconnectionStepsEndTheExchange) {
    {  // reset refused
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        d.resetResult = 0x8010000C;
        d.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(0x8010000Cu, channel.transmit(H("00 B0 00 00 04"), r));
    }
    {  // reopen refused
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        d.openResult = 0x8010000E;
        d.fail("00 B0 00 00 04", QXDEV_SCARD_E_SERVICE_STOPPED);
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(0x8010000Eu, channel.transmit(H("00 B0 00 00 04"), r));
    }
    {  // application directory gone
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        d.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD)
            .expect("80 76 00 00 00", "01 02 03 04 05 06 07 08 90 00")
            .expect("00 A4 00 00 02 3F 01", "6A 82");
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(ERR_SELECT_FILE, channel.transmit(H("00 B0 00 00 04"), r));
    }
    {  // authentication rejected, and a reconnection inside the reconnection is not tried
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        d.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD)
            .expect("80 76 00 00 00", "01 02 03 04 05 06 07 08 90 00")
            .expect("00 A4 00 00 02 3F 01", "90 00")
            .fail("00 84 00 00 08", QXDEV_SCARD_W_RESET_CARD);
        ApduChannel channel(&d);
        ApduResponse r;
        EXPECT_EQ(ERR_GET_CHALLENGE, channel.transmit(H("00 B0 00 00 04"), r));
    }
}

TEST_F(ApduTest, ReconnectionRereadsTheTokenIdentity) {
    dev.set_identity(H("FF FF"));
    dev.fail("00 B0 00 00 04", QXDEV_SCARD_W_RESET_CARD);
    script_reauthentication(dev);
    dev.expect("00 B0 00 00 04", "90 00");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("00 B0 00 00 04", r));
    EXPECT_EQ("01 02 03 04 05 06 07 08", hex(dev.identity, dev.identityLength));
}

// --- transport encryption ----------------------------------------------------

// RC4, written out here so that the expected wire bytes do not come from the
// code under test.
std::vector<uint8_t> rc4(const std::vector<uint8_t>& key, std::vector<uint8_t> data) {
    uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % key.size()]) & 255;
        std::swap(s[i], s[j]);
    }
    for (std::size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        data[n] ^= s[(s[i] + s[j]) & 255];
    }
    return data;
}

// Session key of material 00..0F under "HALCYONBRIDGEKEY" (SM4-ECB).
const char kSessionKey[] = "90CD6328465D85E8D0AF64B919C3ACC2";

TEST_F(ApduTest, TransportEncryptionRoundTrip) {
    for (int i = 0; i < 16; ++i) dev.transportKey[i] = static_cast<uint8_t>(i);
    dev.transportKeyLength = 16;
    const auto key = H(kSessionKey);
    // The token side: decipher the command (header, then data, Lc untouched),
    // check it, and answer enciphered.
    std::vector<std::vector<uint8_t>> seen;
    dev.onWire = [&](const std::vector<uint8_t>& wire, Step& step) {
        std::vector<uint8_t> stream(wire.begin(), wire.begin() + 4);
        stream.insert(stream.end(), wire.begin() + 5, wire.end());
        stream = rc4(key, stream);
        std::vector<uint8_t> plain(stream.begin(), stream.begin() + 4);
        plain.push_back(wire[4]);
        plain.insert(plain.end(), stream.begin() + 4, stream.end());
        seen.push_back(plain);
        step.expect.clear();
        step.reply = rc4(key, step.reply);
    };
    dev.expect("", "61 04").expect("", "11 22 33 44 90 00");
    ApduResponse r;
    ASSERT_EQ(ERR_OK, send("00 D6 00 10 03 AA BB CC", r));
    EXPECT_EQ("11 22 33 44", hex(r.data(), r.length));
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("00 D6 00 10 03 AA BB CC", hex(seen[0]));
    EXPECT_EQ("00 C0 00 00 04", hex(seen[1]));
    // Byte 5 travels in clear; the rest does not.
    EXPECT_EQ(0x03, dev.sent[0][4]);
    EXPECT_NE("00 D6 00 10", hex(dev.sent[0].data(), 4));
}

TEST_F(ApduTest, TransportEncryptionNeedsAFiveByteCommand) {
    dev.transportKeyLength = 16;
    ApduResponse r;
    EXPECT_EQ(ERR_FAILED, send("00 A4 00 00", r));
    EXPECT_TRUE(dev.sent.empty());
}

TEST_F(ApduTest, TransportKeyMaterialIsKeptOnlyForSixteenBytesAndSuccess) {
    struct Case {
        const char* reply;
        uint32_t expected;
    } cases[] = {{"00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00", 16},
                 {"00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 90 00", 0},
                 {"00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 6D 00", 0},
                 {"6D 00", 0}};
    for (const auto& c : cases) {
        ScriptedTransport d;
        d.transportKeyLength = 16;
        d.expect("80 78 00 00 10", c.reply);
        SecurityCommands security(&d);
        EXPECT_EQ(ERR_OK, security.read_transport_key());
        EXPECT_EQ(c.expected, d.transportKeyLength) << c.reply;
    }
}

// --- secure messaging ----------------------------------------------------------

TEST_F(ApduTest, SecureMessagingWrapEnciphersAndMacsWithTheChallenge) {
    struct Case {
        int32_t skAlg;
        const char* challenge;
        const char* wrapped;
    } cases[] = {
        {0, "A0A1A2A3A4A5A6A7", "042000021CE35E7AF4F2C9912E5EC3E2EB62C551200BEDC9C4C69D538B0B5791DD"},
        {1, "A0A1A2A3A4A5A6A7", "042000021C4C7663C8914B845C5B34EA5000C81A0789CA6B9F285F2FDA5FC6FB5B"},
        {4, "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF",
         "0420000224BB999295B4BF691F7D9712208E2916A827B74807E917944CDC5289F39D360D423D7000BF"},
    };
    for (const auto& c : cases) {
        KernelConfig config;
        config.skAlg = c.skAlg;
        use_config(config);
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        const auto challenge = H(c.challenge);
        d.expect(c.skAlg == 4 ? "00 84 00 00 10" : "00 84 00 00 08", std::string(c.challenge) + "9000");
        SecurityCommands security(&d);
        std::vector<uint8_t> cmd = H("04 20 00 02 10 31 32 33 34 35 36 37 38 39 30 41 42 43 44 45 46");
        ASSERT_EQ(ERR_OK, security.secure_messaging_wrap(cmd)) << c.skAlg;
        EXPECT_EQ(hex(H(c.wrapped)), hex(cmd)) << c.skAlg;
    }
}

TEST_F(ApduTest, SecureMessagingOfACommandWithoutDataCarriesOnlyTheMac) {
    dev.expect("00 84 00 00 08", "A0 A1 A2 A3 A4 A5 A6 A7 90 00");
    SecurityCommands security(&dev);
    std::vector<uint8_t> cmd = H("04 20 00 02");
    ASSERT_EQ(ERR_OK, security.secure_messaging_wrap(cmd));
    EXPECT_EQ("04 20 00 02 04 05 6A 0D 6F", hex(cmd));
}

TEST_F(ApduTest, FailedSecureMessagingWrapSendsNothingFurther) {
    {  // challenge refused
        dev.expect("00 84 00 00 08", "6D 00");
        SecurityCommands security(&dev);
        std::vector<uint8_t> cmd = H("04 20 00 02 02 31 32");
        EXPECT_EQ(ERR_COMMAND_FAILED, security.secure_messaging_wrap(cmd));
        EXPECT_EQ("04 20 00 02 02 31 32", hex(cmd));
    }
    for (int32_t alg : {2, 3}) {  // the token's own ciphers cannot be run here
        KernelConfig config;
        config.skAlg = alg;
        use_config(config);
        ScriptedTransport d;
        d.set_identity(H(kIdentity));
        SecurityCommands security(&d);
        std::vector<uint8_t> cmd = H("04 20 00 02 02 31 32");
        EXPECT_EQ(ERR_COMMAND_FAILED, security.secure_messaging_wrap(cmd));
        EXPECT_TRUE(d.sent.empty());
    }
    {  // no identity, no key
        ScriptedTransport d;
        SecurityCommands security(&d);
        std::vector<uint8_t> cmd = H("04 20 00 02 02 31 32");
        EXPECT_EQ(ERR_COMMAND_FAILED, security.secure_messaging_wrap(cmd));
    }
}

// --- external authentication -----------------------------------------------------

TEST_F(ApduTest, ExternalAuthenticationForEachSoftwareAlgorithm) {
    const auto key = H("00112233445566778899AABBCCDDEEFF");
    struct Case {
        uint32_t alg;
        uint32_t keyLength;
        const char* challenge;
        const char* auth;
    } cases[] = {
        {0x100, 8, "0102030405060708", "00 82 00 05 08 E4 04 F3 DF 18 A4 53 1B"},
        {0x200, 16, "0102030405060708", "00 82 00 05 08 00 E2 B1 53 07 A7 A3 30"},
        {0x600, 16, "0102030405060708090A0B0C0D0E0F10",
         "00 82 00 05 10 86 6A 69 DE A0 C1 D3 43 59 5B 57 15 18 63 5B 7D"},
    };
    for (const auto& c : cases) {
        ScriptedTransport d;
        const std::string le = c.alg == 0x600 ? "10" : "08";
        d.expect("00 84 00 00 " + le, std::string(c.challenge) + "9000").expect(c.auth, "90 00");
        SecurityCommands security(&d);
        EXPECT_EQ(ERR_OK, security.external_authenticate(5, c.alg, key.data(), c.keyLength)) << c.alg;
    }
}

TEST_F(ApduTest, ExternalAuthenticationFailures) {
    const auto key = H("00112233445566778899AABBCCDDEEFF");
    SecurityCommands security(&dev);
    // Not symmetric, or a key that does not fit: nothing is sent.
    EXPECT_EQ(ERR_INVALID_PARAM, security.external_authenticate(0, 0x20000, key.data(), 16));
    EXPECT_EQ(ERR_INVALID_PARAM, security.external_authenticate(0, 0x1100, key.data(), 16));
    EXPECT_EQ(ERR_INVALID_PARAM, security.external_authenticate(0, 0x200, key.data(), 8));
    EXPECT_EQ(ERR_INVALID_PARAM, security.external_authenticate(0, 0x100, key.data(), 16));
    EXPECT_EQ(ERR_INVALID_PARAM, security.external_authenticate(0, 0x900, key.data(), 16));
    EXPECT_TRUE(dev.sent.empty());

    dev.expect("00 84 00 00 08", "6A 86");
    EXPECT_EQ(ERR_GET_CHALLENGE, security.external_authenticate(0, 0x200, key.data(), 16));
    dev.expect("00 84 00 00 08", "01 02 03 04 90 00");  // short challenge
    EXPECT_EQ(ERR_GET_CHALLENGE, security.external_authenticate(0, 0x200, key.data(), 16));
    dev.expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00").expect("", "63 00");
    EXPECT_EQ(ERR_EXTERNAL_AUTH, security.external_authenticate(0, 0x200, key.data(), 16));
    // A cipher of the token cannot make the cryptogram on the host.
    dev.expect("00 84 00 00 10", "0102030405060708090A0B0C0D0E0F10 9000");
    EXPECT_EQ(ERR_EXTERNAL_AUTH, security.external_authenticate(0, 0x500, key.data(), 16));
}

// --- token files -------------------------------------------------------------------

std::string bytes_text(uint8_t first, std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return hex(v);
}

TEST_F(ApduTest, ReadFileInChunksOf224Bytes) {
    dev.expect("00 A4 00 00 02 00 01", "90 00")
        .expect("00 B0 00 10 E0", bytes_text(0, 224) + " 90 00")
        .expect("00 B0 00 F0 1E", bytes_text(224, 30) + " 90 00");
    FileCommands files(&dev);
    std::vector<uint8_t> out(254);
    uint32_t read = 0;
    ASSERT_EQ(ERR_OK, files.read_file(0x0001, 0x10, 254, out.data(), &read));
    EXPECT_EQ(254u, read);
    EXPECT_EQ(bytes_text(0, 254), hex(out));
}

TEST_F(ApduTest, ReadFileEdgeCases) {
    FileCommands files(&dev);
    std::vector<uint8_t> out(300, 0xEE);
    uint32_t read = 99;

    // A short chunk ends the file.
    dev.expect("00 A4 00 00 02 00 02", "90 00").expect("00 B0 00 00 E0", bytes_text(0, 20) + " 90 00");
    EXPECT_EQ(ERR_OK, files.read_file(2, 0, 300, out.data(), &read));
    EXPECT_EQ(20u, read);

    // Offset beyond the end.
    dev.expect("00 B0 01 00 10", "6B 00");
    EXPECT_EQ(ERR_COMMAND_FAILED, files.read_file(0xFFFF, 0x100, 16, out.data(), &read));
    EXPECT_EQ(0u, read);

    // 6Cxx and 67xx name the length to ask for; the shorter answer ends the file.
    dev.expect("00 B0 00 00 10", "6C 04").expect("00 B0 00 00 04", "01 02 03 04 90 00");
    EXPECT_EQ(ERR_OK, files.read_file(0xFFFF, 0, 16, out.data(), &read));
    EXPECT_EQ(4u, read);
    dev.expect("00 B0 00 00 10", "67 05").expect("00 B0 00 00 05", "01 02 03 04 05 90 00");
    EXPECT_EQ(ERR_OK, files.read_file(0xFFFF, 0, 16, out.data(), &read));
    EXPECT_EQ(5u, read);
    // A token that names more than was asked for never overfills the buffer.
    dev.expect("00 B0 00 00 02", "67 00").expect("00 B0 00 00 00", bytes_text(0, 256) + " 90 00");
    out.assign(3, 0xEE);
    EXPECT_EQ(ERR_OK, files.read_file(0xFFFF, 0, 2, out.data(), &read));
    EXPECT_EQ(2u, read);
    EXPECT_EQ(0xEE, out[2]);
    out.assign(300, 0xEE);

    // Security status, refused select, other words.
    dev.expect("00 B0 00 00 10", "69 82");
    EXPECT_EQ(ERR_SECURITY_STATUS, files.read_file(0xFFFF, 0, 16, out.data(), &read));
    dev.expect("00 A4 00 00 02 00 03", "6A 82");
    EXPECT_EQ(ERR_COMMAND_FAILED, files.read_file(3, 0, 16, out.data(), &read));
    dev.expect("00 B0 00 00 10", "6F 00");
    EXPECT_EQ(ERR_COMMAND_FAILED, files.read_file(0xFFFF, 0, 16, out.data(), &read));

    // A token that keeps objecting is not asked forever.
    dev.expect("00 B0 00 00 10", "67 08").expect("00 B0 00 00 08", "67 08").expect("00 B0 00 00 08", "67 08");
    EXPECT_EQ(ERR_COMMAND_FAILED, files.read_file(0xFFFF, 0, 16, out.data(), &read));

    // Arguments and the identity the logical lock needs.
    EXPECT_EQ(ERR_INVALID_PARAM, files.read_file(1, 0, 16, nullptr, &read));
    EXPECT_EQ(ERR_INVALID_PARAM, files.read_file(1, 0xFFF0, 0x20, out.data(), &read));
    ScriptedTransport anonymous;
    FileCommands noIdentity(&anonymous);
    EXPECT_EQ(ERR_FAILED, noIdentity.read_file(1, 0, 16, out.data(), &read));
}

TEST_F(ApduTest, WriteFileInChunksAndStopsAtARefusedChunk) {
    std::vector<uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    FileCommands files(&dev);

    dev.expect("00 A4 00 00 02 00 05", "90 00")
        .expect("00 D6 00 00 E0 " + bytes_text(0, 224), "90 00")
        .expect("00 D6 00 E0 4C " + bytes_text(224, 76), "90 00");
    EXPECT_EQ(ERR_OK, files.write_file(5, 0, data.data(), 300));

    // The second chunk is refused: the write ends with the translated word.
    dev.expect("00 A4 00 00 02 00 05", "90 00")
        .expect("00 D6 00 00 E0 " + bytes_text(0, 224), "90 00")
        .expect("00 D6 00 E0 4C " + bytes_text(224, 76), "69 82");
    EXPECT_EQ(ERR_SECURITY_STATUS, files.write_file(5, 0, data.data(), 300));
    dev.expect("00 D6 00 00 E0 " + bytes_text(0, 224), "65 81");
    EXPECT_EQ(ERR_COMMAND_FAILED, files.write_file(0xFFFF, 0, data.data(), 300));

    dev.expect("00 A4 00 00 02 00 06", "6A 82");
    EXPECT_EQ(ERR_FILE_NOT_FOUND, files.write_file(6, 0, data.data(), 10));
    dev.expect("00 A4 00 00 02 00 06", "69 85");
    EXPECT_EQ(ERR_SELECT_FILE, files.write_file(6, 0, data.data(), 10));
    dev.fail("00 D6 00 00 0A " + bytes_text(0, 10), 0x80100069);
    EXPECT_EQ(ERR_DEVICE_IO, files.write_file(0xFFFF, 0, data.data(), 10));
}

TEST_F(ApduTest, SelectTranslatesTheNotFoundWords) {
    FileCommands files(&dev);
    for (const char* sw : {"6A 82", "6A 81", "93 03"}) {
        dev.expect("00 A4 00 00 02 3F 01", sw);
        EXPECT_EQ(ERR_FILE_NOT_FOUND, files.select(0x3F01)) << sw;
    }
    dev.expect("00 A4 00 00 02 3F 01", "69 82");
    EXPECT_EQ(ERR_SELECT_FILE, files.select(0x3F01));
    dev.expect("00 A4 00 00 02 3F 01", "90 00");
    EXPECT_EQ(ERR_OK, files.select(0x3F01));
}

}  // namespace
}  // namespace qx::kernel::test
