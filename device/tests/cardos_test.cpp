// The card OS command by command: status words and data byte for byte.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "device/cardos/cardos.h"
#include "device/cardos/crypto.h"
#include "device/tests/card_fixture.h"

namespace qx::vtoken::test {
namespace {

// PKCS #1 v1.5 encryption by OpenSSL under the public key (n, e).
Bytes openssl_rsa_encrypt(const Bytes& n, const Bytes& e, const Bytes& msg) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(kctx);
    EVP_PKEY_fromdata(kctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    Bytes out(n.size());
    size_t len = out.size();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (ctx == nullptr || EVP_PKEY_encrypt_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx, out.data(), &len, msg.data(), msg.size()) != 1)
        out.clear();
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(kctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn);
    BN_free(be);
    return out;
}

class CardOsTest : public ::testing::Test {
protected:
    void SetUp() override { token = make_token(kChannelCcid, hex("0102030405060708"), hex("010200"), false); }

    void personalise(uint8_t alg = 0) {
        keys = test_keys(alg);
        ASSERT_EQ(host.personalise(keys), 0x9000);
    }
    void login_user() { ASSERT_EQ(host.verify_pin(2, keys.user_block, keys), 0x9000); }
    uint8_t security() { return hex(host.run("8070000001"))[0]; }

    TokenState token;
    int64_t now = 1'000'000;
    Host host{direct(token, &now)};
    TestKeys keys;
};

TEST_F(CardOsTest, BlankTokenAnswersIdentityInformationAndChannel) {
    EXPECT_EQ(host.run("8076000000"), "01020304050607089000");
    EXPECT_EQ(host.run("807D000010"), "515856544F4B454E00000100320102009000");
    EXPECT_EQ(host.run("807D000008"), "6C10");  // wrong Le
    EXPECT_EQ(host.run("F00F000000"), "9001");
    EXPECT_EQ(host.run("8078000010"), "6A88");  // no transport key material
    EXPECT_EQ(host.run("00A40000023F00"), "6A82");
    EXPECT_EQ(host.run("8070000001"), "009000");
    EXPECT_EQ(host.run("807B000000"), "3033303430353036303730389000");  // last six identity bytes as text
    EXPECT_EQ(host.run("807B01000431"), "6700");             // Lc disagrees with the data
    EXPECT_EQ(host.run("807B01000431323334"), "9000");       // blank token: writable
    EXPECT_EQ(host.run("807B000000"), "313233349000");
    EXPECT_EQ(host.run("80"), "6700");
    EXPECT_EQ(host.run("8099000000"), "6D00");
    EXPECT_EQ(host.run("7076000000"), "6E00");
    EXPECT_EQ(host.run("8476000000"), "6882");  // no secure-messaging form
}

// Readers and the PC/SC service parse the answer to reset: every interface
// byte that T0 and the TDi announce must be there, then exactly K historical
// bytes (the identity), then the check byte.
TEST_F(CardOsTest, AnswerToResetIsWellFormed) {
    for (const char* identity : {"0102030405060708", "01", "00112233445566778899AABBCCDDEEFF0011"}) {
        token.config.identity = hex(identity);
        Bytes atr = answer_to_reset(token);
        ASSERT_GE(atr.size(), 2u);
        EXPECT_EQ(atr[0], 0x3B);
        size_t k = atr[1] & 0x0F, pos = 2;
        uint8_t y = atr[1] >> 4;
        bool t1 = false;
        while (true) {
            pos += ((y & 1) != 0) + ((y & 2) != 0) + ((y & 4) != 0);
            if ((y & 8) == 0) break;
            ASSERT_LT(pos, atr.size());
            t1 |= (atr[pos] & 0x0F) == 1;
            y = atr[pos++] >> 4;
        }
        EXPECT_TRUE(t1);
        ASSERT_EQ(atr.size(), pos + k + 1) << hexs(atr);  // historical bytes, check byte
        EXPECT_EQ(hexs(Bytes(atr.begin() + static_cast<std::ptrdiff_t>(pos), atr.end() - 1)),
                  hexs(Bytes(token.config.identity.begin(),
                             token.config.identity.begin() + static_cast<std::ptrdiff_t>(k))));
        uint8_t check = 0;
        for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
        EXPECT_EQ(check, 0) << hexs(atr);
    }
    // At most 15 historical bytes: the identity's first 15.
    EXPECT_EQ(hexs(answer_to_reset(token)).substr(0, 18), "3BFF1300008131FE45");
}

TEST_F(CardOsTest, ChannelTypeFollowsTheConfiguredChannel) {
    token.config.channel = kChannelHid;
    EXPECT_EQ(host.run("F00F000000"), "9100");
    token.config.channel = kChannelUms;
    EXPECT_EQ(host.run("F00F000000"), "9010");
}

TEST_F(CardOsTest, PersonalisationBuildsTheFileSystem) {
    personalise();
    EXPECT_EQ(security(), 1);
    EXPECT_EQ(host.run("00A40000020001"), "9000");
    // Erased memory: a fresh container table reads as free records (all FF).
    EXPECT_EQ(host.run("00A40000020003"), "9000");
    EXPECT_EQ(host.run("00B0000004"), "FFFFFFFF9000");
    EXPECT_EQ(host.run("00B0057700"), "FF9000");  // Le 00: up to the end of the file
    EXPECT_EQ(host.run("00B0057802"), "6B00");    // offset at the end
    EXPECT_EQ(host.run("00B0057602"), "FFFF9000");
    EXPECT_EQ(host.run("00B0057704"), "6C01");    // fewer bytes left than asked
    EXPECT_EQ(host.run("00A40000021234"), "6A82");
    EXPECT_EQ(host.run("00A4000002000B"), "9000");
    EXPECT_EQ(host.run("00D6000002ABCD"), "9000");
    EXPECT_EQ(host.run("00B0000002"), "ABCD9000");
    EXPECT_EQ(host.run("00D6000103010203"), "6700");  // past the end
    EXPECT_EQ(host.run("00D6000201AA"), "6B00");
    // Key files are not binary files.
    EXPECT_EQ(host.run("00A40000021001"), "9000");
    EXPECT_EQ(host.run("00B0000010"), "6981");
    // Selecting the MF and the ADF again.
    EXPECT_EQ(host.run("00A40000023F00"), "9000");
    EXPECT_EQ(host.run("00A40000023F01"), "9000");
    EXPECT_EQ(host.run("00A4010002 3F01"), "6A86");
}

TEST_F(CardOsTest, AccessBytesGuardFilesAfterInitialisation) {
    personalise();
    token.power_cycle();
    EXPECT_EQ(security(), 0);
    EXPECT_EQ(host.run("00A40000023F01"), "9000");
    EXPECT_EQ(host.run("00A40000020001"), "9000");
    EXPECT_EQ(host.run("00B0000004"), "6982");      // F1: authentication first
    EXPECT_EQ(host.run("00D600000100"), "6982");
    EXPECT_EQ(host.run("80E000000C00EF0005050000 10F1F10000"), "6982");  // ADF create condition F1
    ASSERT_EQ(host.external_auth(0, 0, keys.adf_ext), 0x9000);
    EXPECT_EQ(host.run("00B0000004"), "FFFFFFFF9000");
    EXPECT_EQ(host.run("80E000000C00EF0005050000 10F1F10000"), "9000");
    EXPECT_EQ(host.run("80E000000C00EF0005050000 10F1F10000"), "6A89");  // exists
    EXPECT_EQ(host.run("800E0000020005"), "9000");
    EXPECT_EQ(host.run("800E0000020005"), "6A82");
    // Under the MF (66 66) only state 6 creates and deletes directories.
    EXPECT_EQ(host.run("00A40000023F00"), "9000");
    EXPECT_EQ(host.run("800E0000023F01"), "6982");
    ASSERT_EQ(host.external_auth(3, 0, keys.mf_erase), 0x9000);
    EXPECT_EQ(security(), 6);
    EXPECT_EQ(host.run("800E0000023F00"), "6982");  // the MF itself needs state 5
    ASSERT_EQ(host.external_auth(2, 0, keys.mf_key0), 0x9000);
    EXPECT_EQ(security(), 5);
    EXPECT_EQ(host.run("800E0000023F00"), "9000");
    EXPECT_EQ(host.run("00A40000023F00"), "6A82");
    EXPECT_EQ(security(), 0);
}

TEST_F(CardOsTest, InitialisingAgainErasesTheMfOrOnlyTheAdf) {
    personalise();
    ASSERT_EQ(host.run("00A4000002000B"), "9000");
    ASSERT_EQ(host.run("00D60000020102"), "9000");
    // With the MF erased (MF key 2, state 5) the whole sequence runs again.
    token.power_cycle();
    ASSERT_EQ(host.personalise(keys), 0x9000);
    ASSERT_EQ(host.run("00A4000002000B"), "9000");
    EXPECT_EQ(host.run("00B0000002"), "FFFF9000");
    // Keeping the MF: the erase key (state 6) deletes and recreates the ADF.
    token.power_cycle();
    ASSERT_EQ(host.run("00A40000023F00"), "9000");
    ASSERT_EQ(host.external_auth(3, 0, keys.mf_erase), 0x9000);
    ASSERT_EQ(host.run("800E0000023F01"), "9000");
    ASSERT_EQ(host.run("00A40000023F01"), "6A82");
    ASSERT_EQ(host.run("80E000001E00AF3F011200FF00F1F1EF001051756F7276616E746978504B4941707000"), "9000");
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    // Being initialised: keys and files go in without conditions (state is still 6).
    Bytes ext = hex("8071000018F039000000F0F001");
    Bytes newkey(16, 0x3C);
    ext.insert(ext.end(), newkey.begin(), newkey.end());
    ASSERT_EQ(host.sw(ext), 0x9000);
    ASSERT_EQ(host.run("80E000000C00EF0001010000A0F1310000"), "9000");
    ASSERT_EQ(host.run("00D6000003414243"), "9000");
    // The first authentication in the ADF ends its initialisation.
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    ASSERT_EQ(host.external_auth(0, 0, newkey), 0x9000);
    EXPECT_EQ(host.sw(ext), 0x9000);  // F0 conditions: still allowed
    Bytes pin = hex("8071000018F066020000" "60F103");
    pin.insert(pin.end(), 16, 0x01);
    ASSERT_EQ(host.sw(pin), 0x9000);
    token.power_cycle();
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    EXPECT_EQ(host.sw(pin), 0x6982);  // no longer being initialised
    ASSERT_EQ(host.run("00A40000020001"), "9000");
    EXPECT_EQ(host.run("00D6000003414243"), "6982");
}

TEST_F(CardOsTest, WriteKeyInSecureMessagingForm) {
    personalise();
    Bytes cmd = hex("8071000018F013000000F0F001");
    cmd.insert(cmd.end(), 16, 0x5A);
    Bytes wrapped = host.secure(cmd, 0, keys.adf_protect);
    EXPECT_EQ(wrapped[0], 0x84);
    EXPECT_EQ(host.sw(wrapped), 0x9000);
    Bytes f4 = cmd;
    f4[0] = 0xF0;
    f4[1] = 0xF4;
    wrapped = host.secure(f4, 0, keys.adf_protect);
    EXPECT_EQ(wrapped[0], 0xF4);
    EXPECT_EQ(host.sw(wrapped), 0x9000);
    wrapped = host.secure(f4, 0, keys.adf_line);  // not the command-protection key
    EXPECT_EQ(host.sw(wrapped), 0x6988);
}

TEST_F(CardOsTest, ExternalAuthenticationNeedsAFreshChallengeAndTheRightKey) {
    personalise();
    token.power_cycle();
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    EXPECT_EQ(host.run("0082000008 0000000000000000"), "6985");  // no challenge
    Bytes wrong = keys.adf_ext;
    wrong[0] ^= 0x80;  // not a DES parity bit
    EXPECT_EQ(host.external_auth(0, 0, wrong), 0x6300);
    EXPECT_EQ(security(), 0);
    EXPECT_EQ(host.external_auth(7, 0, keys.adf_ext), 0x6A88);  // no such key
    // A replayed cryptogram is refused: the challenge is used up.
    Bytes c = hex(host.run("0084000008"));
    auto crypt = crypto::ecb(0, keys.adf_ext, Bytes(c.begin(), c.end() - 2), true);
    Bytes cmd = hex("0082000008");
    cmd.insert(cmd.end(), crypt->begin(), crypt->end());
    EXPECT_EQ(host.sw(cmd), 0x9000);
    EXPECT_EQ(host.sw(cmd), 0x6985);
    EXPECT_EQ(host.run("0084000000"), "6700");
    EXPECT_EQ(hex(host.run("0084000010")).size(), 18u);
}

TEST_F(CardOsTest, WriteKeyAfterInitialisationFollowsTheConditions) {
    personalise();
    token.power_cycle();
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    Bytes newkey = hex("F039050000F0F0011112131415161718191A1B1C1D1E1F20");
    Bytes cmd = hex("8071000018");
    cmd.insert(cmd.end(), newkey.begin(), newkey.end());
    EXPECT_EQ(host.sw(cmd), 0x6982);
    ASSERT_EQ(host.external_auth(0, 0, keys.adf_ext), 0x9000);
    EXPECT_EQ(host.sw(cmd), 0x9000);
    EXPECT_EQ(host.external_auth(5, 0, hex("1112131415161718191A1B1C1D1E1F20")), 0x9000);
    // Replacing the unlock key needs the SO PIN (change condition 22).
    Bytes unlock = hex("8071000018F006000000F022FF") ;
    unlock.insert(unlock.end(), 16, 0x55);
    EXPECT_EQ(host.sw(unlock), 0x6982);
    ASSERT_EQ(host.verify_pin(1, keys.so_block, keys), 0x9000);
    EXPECT_EQ(host.sw(unlock), 0x9000);
    EXPECT_EQ(host.run("8071000004F0390600"), "6700");
    EXPECT_EQ(host.run("8071000009A039060000F0F00111"), "6A80");  // not a key header
}

TEST_F(CardOsTest, PinRetriesBlockingAndUnlock) {
    personalise();
    EXPECT_EQ(host.run("0020800200"), "63C6");
    EXPECT_EQ(host.run("0020800100"), "63CA");
    EXPECT_EQ(host.run("0020800300"), "6A88");
    Bytes wrong(16, 0x11);
    EXPECT_EQ(host.verify_pin(2, wrong, keys), 0x63C5);
    EXPECT_EQ(host.verify_pin(2, wrong, keys, false), 0x63C4);
    EXPECT_EQ(host.verify_pin(2, keys.user_block, keys), 0x9000);  // a right PIN restores the tries
    EXPECT_EQ(security(), 3);
    EXPECT_EQ(host.run("0020800200"), "63C6");
    for (int left = 5; left >= 0; --left) EXPECT_EQ(host.verify_pin(2, wrong, keys), 0x63C0 | left);
    EXPECT_EQ(host.verify_pin(2, keys.user_block, keys), 0x6983);
    EXPECT_EQ(host.run("0020800200"), "63C0");
    // Unlock needs the SO PIN verified and the unlock key.
    Bytes newblock(16, 0x42);
    Bytes unlock = hex("80240200 20");
    unlock.insert(unlock.end(), keys.adf_unlock.begin(), keys.adf_unlock.end());
    unlock.insert(unlock.end(), newblock.begin(), newblock.end());
    EXPECT_EQ(host.sw(host.secure(unlock, 0, keys.adf_protect)), 0x6982);
    ASSERT_EQ(host.verify_pin(1, keys.so_block, keys), 0x9000);
    EXPECT_EQ(security(), 2);
    Bytes bad = unlock;
    bad[5] ^= 1;
    EXPECT_EQ(host.sw(host.secure(bad, 0, keys.adf_protect)), 0x6300);
    EXPECT_EQ(host.sw(host.secure(unlock, 0, keys.adf_protect)), 0x9000);
    EXPECT_EQ(host.run("0020800200"), "63C6");
    EXPECT_EQ(host.verify_pin(2, newblock, keys), 0x9000);
}

TEST_F(CardOsTest, PinCommandsNeedAuthenticationAndCorrectSecureMessaging) {
    personalise();
    token.power_cycle();
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    EXPECT_EQ(host.verify_pin(2, keys.user_block, keys, false), 0x6982);
    ASSERT_EQ(host.external_auth(0, 0, keys.adf_ext), 0x9000);
    // A flipped MAC bit or a flipped ciphertext bit: 6988, and no try is spent.
    Bytes cmd = hex("0020000210");
    cmd.insert(cmd.end(), keys.user_block.begin(), keys.user_block.end());
    Bytes wrapped = host.secure(cmd, 0, keys.adf_protect);
    wrapped.back() ^= 1;
    EXPECT_EQ(host.sw(wrapped), 0x6988);
    wrapped = host.secure(cmd, 0, keys.adf_protect);
    wrapped[6] ^= 1;
    EXPECT_EQ(host.sw(wrapped), 0x6988);
    EXPECT_EQ(host.run("0020800200"), "63C6");
    // Without a challenge the wrapped command is refused.
    wrapped = host.secure(cmd, 0, keys.adf_protect);
    host.run("00A40000023F01");
    EXPECT_EQ(host.sw(wrapped), 0x9000);  // SELECT does not use up the challenge
    EXPECT_EQ(host.sw(wrapped), 0x6985);  // but the wrapped command did
    EXPECT_EQ(security(), 3);
}

TEST_F(CardOsTest, ChangePinReplacesTheBlock) {
    personalise();
    Bytes newblock(16, 0x77);
    Bytes change = hex("805E020020");
    change.insert(change.end(), keys.user_block.begin(), keys.user_block.end());
    change.insert(change.end(), newblock.begin(), newblock.end());
    EXPECT_EQ(host.sw(host.secure(change, 0, keys.adf_protect)), 0x9000);
    EXPECT_EQ(host.sw(host.secure(change, 0, keys.adf_protect)), 0x63C5);  // old block no longer right
    EXPECT_EQ(host.verify_pin(2, newblock, keys), 0x9000);
    EXPECT_EQ(host.run("805E020010" + std::string(32, '0')), "6700");
}

TEST_F(CardOsTest, PinButtonHoldsVerifyAndChangeUntilPressed) {
    personalise();
    token.config.pin_button = true;
    const auto poll = [&] { return host.run("8077000003090100"); };
    EXPECT_EQ(poll(), "D107");  // nothing held
    EXPECT_FALSE(press_button(token));
    Bytes wrong(16, 0x11);
    EXPECT_EQ(host.verify_pin(2, wrong, keys), 0x63C5) << "a wrong PIN is refused at once";

    // A right PIN is held: no security state until the press, then the tries come back.
    EXPECT_EQ(host.verify_pin(2, keys.user_block, keys), 0xD10D);
    EXPECT_NE(security(), 3);
    EXPECT_EQ(poll(), "D10D");
    EXPECT_TRUE(press_button(token));
    EXPECT_EQ(poll(), "9000");
    EXPECT_EQ(security(), 3);
    EXPECT_EQ(host.run("0020800200"), "63C6");
    EXPECT_EQ(poll(), "D107");

    // A change not confirmed within the PIN-operation wait time is dropped.
    Bytes newblock(16, 0x77);
    Bytes change = hex("805E020020");
    change.insert(change.end(), keys.user_block.begin(), keys.user_block.end());
    change.insert(change.end(), newblock.begin(), newblock.end());
    ASSERT_EQ(host.run("80770000040B020002"), "9000");
    EXPECT_EQ(host.sw(host.secure(change, 0, keys.adf_protect)), 0xD10D);
    now += 2001;
    EXPECT_EQ(poll(), "D104");
    EXPECT_EQ(host.verify_pin(2, newblock, keys), 0x63C5) << "the old PIN stays";
    EXPECT_EQ(host.sw(host.secure(change, 0, keys.adf_protect)), 0xD10D);
    EXPECT_TRUE(press_button(token));
    EXPECT_EQ(poll(), "9000");

    // The held operation and the option survive the state file (a press
    // from another process goes through it); older files read as tokens
    // without the button.
    EXPECT_EQ(host.verify_pin(2, newblock, keys), 0xD10D);
    Bytes file = serialise(token);
    auto back = parse(file);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->config.pin_button);
    EXPECT_EQ(1, back->vol.pin_press.operation);
    EXPECT_TRUE(press_button(*back));
    token = std::move(*back);
    EXPECT_EQ(poll(), "9000");
    EXPECT_EQ(security(), 3);
    file = serialise(token);
    auto old = parse(Bytes(file.begin(), file.end() - 16));
    ASSERT_TRUE(old);
    EXPECT_FALSE(old->config.pin_button);

    // Pressed on its own after the configured time.
    token.config.auto_press_ms = 0;
    EXPECT_EQ(host.verify_pin(2, newblock, keys), 0xD10D);
    EXPECT_EQ(poll(), "9000");
}

TEST_F(CardOsTest, SecureMessagingWorksWithEveryAlgorithm) {
    for (uint8_t alg : {0, 1, 2, 3, 4}) {
        SetUp();
        personalise(alg);
        EXPECT_EQ(host.verify_pin(2, keys.user_block, keys), 0x9000) << int(alg);
        EXPECT_EQ(security(), 3) << int(alg);
    }
}

TEST_F(CardOsTest, LongAnswersAreFetchedWithGetResponse) {
    personalise();
    login_user();
    // A 600-byte certificate written in pieces, read back through 61xx chaining.
    Bytes cert = hex("30820254");
    for (size_t i = 0; cert.size() < 600; ++i) cert.push_back(static_cast<uint8_t>(i));
    for (size_t off = 0, piece = 0; off < cert.size(); off += 224, ++piece) {
        size_t n = std::min<size_t>(224, cert.size() - off);
        uint8_t p2 = off == 0 ? 0 : (off + n == cert.size() ? 2 : 1);
        Bytes cmd{0x80, 0x44, 0x02, p2, static_cast<uint8_t>(n)};
        cmd.insert(cmd.end(), cert.begin() + static_cast<long>(off), cert.begin() + static_cast<long>(off + n));
        ASSERT_EQ(host.sw(cmd), 0x9000) << piece;
    }
    EXPECT_EQ(host.run("8042020004"), "000002589000");
    Bytes r = hex(host.run("8042020100"));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(r[256], 0x61);
    EXPECT_EQ(r[257], 0x00);
    Bytes all(r.begin(), r.begin() + 256);
    r = hex(host.run("00C0000000"));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(hexs(Bytes(r.end() - 2, r.end())), "6158");
    all.insert(all.end(), r.begin(), r.end() - 2);
    r = hex(host.run("00C0000058"));
    EXPECT_EQ(hexs(Bytes(r.end() - 2, r.end())), "9000");
    all.insert(all.end(), r.begin(), r.end() - 2);
    EXPECT_EQ(all, cert);
    EXPECT_EQ(host.run("00C0000010"), "6985");
    // The same bytes are in the slot's file.
    EXPECT_EQ(host.run("00A40000028002"), "9000");
    EXPECT_EQ(host.run("00B0000004"), "308202549000");
    // An empty slot and a broken certificate.
    EXPECT_EQ(host.run("8042010004"), "6A88");
    EXPECT_EQ(host.run("8044010303020100"), "6A80");
    EXPECT_EQ(host.run("8044010102AABB"), "6985");
    EXPECT_EQ(host.run("80441F0303300100"), "6A86");
}

TEST_F(CardOsTest, TransportEncryptionRoundTrip) {
    token = make_token(kChannelCcid, hex("0102030405060708"), {}, true);
    Bytes material = hex(host.run("8078000010"));
    ASSERT_EQ(material.size(), 18u);
    material.resize(16);
    EXPECT_EQ(material, token.config.transport_key);
    Bytes cmd = transport_encipher_command(material, hex("8076000000"));
    EXPECT_NE(hexs(cmd), "8076000000");
    EXPECT_EQ(cmd[4], 0x00);  // the length byte travels in clear
    Bytes resp = process_enciphered_command(token, cmd, 0);
    EXPECT_EQ(hexs(transport_decipher_response(material, resp)), "01020304050607089000");
    // A command with data.
    cmd = transport_encipher_command(material, hex("807B01000441424344"));
    resp = process_enciphered_command(token, cmd, 0);
    EXPECT_EQ(hexs(transport_decipher_response(material, resp)), "9000");
    EXPECT_EQ(hexs(token.config.serial), "41424344");
    // The wrong material gives garbage, not a command.
    Bytes other = material;
    other[0] ^= 1;
    resp = process_enciphered_command(token, transport_encipher_command(other, hex("8076000000")), 0);
    EXPECT_NE(hexs(transport_decipher_response(material, resp)), "01020304050607089000");
}

TEST_F(CardOsTest, PowerCycleLosesSecurityStateButKeepsFiles) {
    personalise();
    login_user();
    ASSERT_EQ(host.run("00A4000002000B"), "9000");
    ASSERT_EQ(host.run("00D60000021234"), "9000");
    token.power_cycle();
    EXPECT_EQ(security(), 0);
    EXPECT_EQ(host.run("00B0000002"), "6986");  // nothing selected after power-on
    ASSERT_EQ(host.run("00A40000023F01"), "9000");
    ASSERT_EQ(host.external_auth(0, 0, keys.adf_ext), 0x9000);
    ASSERT_EQ(host.run("00A4000002000B"), "9000");
    EXPECT_EQ(host.run("00B0000002"), "12349000");
}

TEST_F(CardOsTest, SessionKeyCipherMatchesCamelliaAndChainsPieces) {
    // RFC 3713 test vector for Camellia-128.
    EXPECT_EQ(host.run("80E8620010" + std::string(32, '0')), "6985");  // no session key yet
    ASSERT_EQ(host.run("80E6000010 0123456789ABCDEFFEDCBA9876543210"), "9000");
    EXPECT_EQ(host.run("80E8620010 0123456789ABCDEFFEDCBA9876543210"), "67673138549669730857065648EABE439000");
    EXPECT_EQ(host.run("80E8E20010 67673138549669730857065648EABE43"), "0123456789ABCDEFFEDCBA98765432109000");
    EXPECT_EQ(host.run("80E862000F 0123456789ABCDEFFEDCBA98765432"), "6700");
    EXPECT_EQ(host.run("80E8220010 0123456789ABCDEFFEDCBA9876543210"), "6985");  // middle piece without a first
    // CBC in two pieces equals CBC in one.
    std::string iv = "000102030405060708090A0B0C0D0E0F";
    std::string data = "00112233445566778899AABBCCDDEEFF" "F0E0D0C0B0A090807060504030201000";
    std::string whole = host.run("80E86A0030" + iv + data);
    std::string first = host.run("80E80A0020" + iv + data.substr(0, 32));
    std::string last = host.run("80E84A0010" + data.substr(32));
    EXPECT_EQ(whole, first.substr(0, 32) + last);
    std::string back = host.run("80E8EA0030" + iv + whole.substr(0, 64));
    EXPECT_EQ(back, data + "9000");
}

TEST_F(CardOsTest, OnTokenDigestInPieces) {
    EXPECT_EQ(host.run("8051016003616263"), "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E09000");
    EXPECT_EQ(host.run("805101010161"), "9000");
    EXPECT_EQ(host.run("805101210162"), "9000");
    EXPECT_EQ(host.run("805101410163"), "A9993E364706816ABA3E25717850C26C9CD0D89D9000");
    EXPECT_EQ(host.run("805101410163"), "6985");
    EXPECT_EQ(host.run("805101630161"), "6A86");
}

// RSA: generation, export and the private-key operation in its modes.
class RsaTest : public CardOsTest {
protected:
    Bytes modulus(uint8_t slot, size_t k) {
        Bytes cmd{0x80, 0x4C, slot, 0x02, static_cast<uint8_t>(k & 0xFF)};
        Bytes r = host.send(cmd);
        EXPECT_EQ(r.size(), k + 2);
        return Bytes(r.begin(), r.end() - 2);
    }
    Bytes private_op(uint8_t slot, uint8_t mode, const Bytes& input) {
        Bytes out;
        for (size_t off = 0; off < input.size(); off += 255) {
            size_t n = std::min<size_t>(255, input.size() - off);
            Bytes cmd{0x80, 0x4A, slot, mode, static_cast<uint8_t>(n)};
            cmd.insert(cmd.end(), input.begin() + static_cast<long>(off), input.begin() + static_cast<long>(off + n));
            out = host.send(cmd);
        }
        return out;
    }
    static Bytes sign_block(size_t k, const Bytes& data) {
        Bytes prefix = hex("3031300d060960864801650304020105000420");
        Bytes h = crypto::digest("SHA256", data);
        Bytes b{0x00, 0x01};
        b.insert(b.end(), k - 3 - prefix.size() - h.size(), 0xFF);
        b.push_back(0);
        b.insert(b.end(), prefix.begin(), prefix.end());
        b.insert(b.end(), h.begin(), h.end());
        return b;
    }
};

TEST_F(RsaTest, GenerateExportAndSignBothSizes) {
    personalise();
    EXPECT_EQ(host.run("8046000100"), "6982");  // private key files need the user PIN
    login_user();
    EXPECT_EQ(host.run("8046020100"), "6985");  // slot 1 holds a 1024-bit pair
    EXPECT_EQ(host.run("80464C0000"), "6A86");
    EXPECT_EQ(host.run("80460006 00"), "6A82");  // no key files for slot 6
    EXPECT_EQ(host.run("804C010280"), "6A88");  // nothing generated yet
    ASSERT_EQ(host.run("8046000100"), "9000");
    ASSERT_EQ(host.run("8046020300"), "9000");
    Bytes data = hex("48656C6C6F");
    for (auto [slot, k] : {std::pair<uint8_t, size_t>{1, 128}, {3, 256}}) {
        Bytes n = modulus(slot, k);
        Bytes sig = private_op(slot, 0x00, sign_block(k, data));
        ASSERT_EQ(sig.size(), k + 2);
        EXPECT_EQ(hexs(Bytes(sig.end() - 2, sig.end())), "9000");
        sig.resize(k);
        EXPECT_TRUE(crypto::rsa_verify_pkcs1(n, hex("00010001"), "SHA256", data, sig)) << k;
    }
    // A block that is not smaller than the modulus is refused.
    EXPECT_EQ(hexs(private_op(1, 0x00, Bytes(128, 0xFF))), "6A80");
    // Too much input for one block.
    EXPECT_EQ(hexs(private_op(1, 0x01, Bytes(129, 0x00))), "6700");
    // Without the user PIN the private key cannot be used; the public key can be read.
    token.power_cycle();
    host.run("00A40000023F01");
    ASSERT_EQ(host.external_auth(0, 0, keys.adf_ext), 0x9000);
    EXPECT_EQ(hexs(private_op(1, 0x00, sign_block(128, data))), "6982");
    EXPECT_EQ(modulus(1, 128).size(), 128u);
}

TEST_F(RsaTest, ImportedKeyDecryptsPkcs1AndRaw) {
    personalise();
    login_user();
    crypto::RsaKey key;
    ASSERT_TRUE(crypto::rsa_generate(1024, key));
    Bytes pub = key.modulus;
    pub.insert(pub.end(), key.exponent.begin(), key.exponent.end());
    Bytes cmd{0x80, 0x47, 0x02, 0x01, static_cast<uint8_t>(pub.size())};
    cmd.insert(cmd.end(), pub.begin(), pub.end());
    ASSERT_EQ(host.sw(cmd), 0x9000);
    for (uint8_t part = 1; part <= 7; ++part) {
        Bytes c{0x80, 0x49, 0x02, part, 64};
        c.insert(c.end(), key.parts[part - 1].begin(), key.parts[part - 1].end());
        ASSERT_EQ(host.sw(c), 0x9000) << int(part);
    }
    EXPECT_EQ(host.run("8049020810" + std::string(32, '0')), "6A86");
    EXPECT_EQ(host.run("8049020110" + std::string(32, '0')), "6700");
    EXPECT_EQ(modulus(2, 128), key.modulus);
    Bytes msg = hex("00112233445566778899");
    // P2 02 deciphers and removes the PKCS #1 v1.5 encryption block.
    Bytes c = openssl_rsa_encrypt(key.modulus, key.exponent, msg);
    ASSERT_EQ(c.size(), 128u);
    EXPECT_EQ(hexs(private_op(2, 0x02, c)), hexs(msg) + "9000");
    // P2 01 gives the whole block: 00 02, padding, 00, message.
    Bytes raw = private_op(2, 0x01, c);
    ASSERT_EQ(raw.size(), 130u);
    EXPECT_EQ(raw[0], 0x00);
    EXPECT_EQ(raw[1], 0x02);
    EXPECT_EQ(hexs(Bytes(raw.end() - 13, raw.end())), "00" + hexs(msg) + "9000");
    c[5] ^= 1;  // a damaged cryptogram does not give the message back
    EXPECT_NE(hexs(private_op(2, 0x02, c)), hexs(msg) + "9000");
    // P2 00 and P2 01 are the same raw private-key operation.
    Bytes block = sign_block(128, msg);
    Bytes s0 = private_op(2, 0x00, block);
    Bytes s1 = private_op(2, 0x01, block);
    EXPECT_EQ(s0, s1);
    s0.resize(128);
    EXPECT_TRUE(crypto::rsa_verify_pkcs1(key.modulus, key.exponent, "SHA256", msg, s0));
}

// SM2: generation, coordinates, Z_A, signatures and encryption.
class Sm2Test : public CardOsTest {
protected:
    Bytes coordinate(uint8_t slot, uint8_t which) {
        Bytes r = host.send({0x80, 0x61, slot, which, 0x20});
        EXPECT_EQ(r.size(), 34u);
        return Bytes(r.begin(), r.end() - 2);
    }
    Bytes za(uint8_t slot) {
        Bytes cmd{0x80, 0x51, 0x02, static_cast<uint8_t>(slot == 0 ? 0 : slot * 8 + 1), 0x11, 0x10};
        cmd.insert(cmd.end(), crypto::kSm2DefaultId.begin(), crypto::kSm2DefaultId.end());
        Bytes r = host.send(cmd);
        EXPECT_EQ(r.size(), 34u);
        return Bytes(r.begin(), r.end() - 2);
    }
};


TEST_F(Sm2Test, GenerateSignVerifyAgainstOpenSsl) {
    personalise();
    EXPECT_EQ(host.run("8056000400"), "6982");
    login_user();
    EXPECT_EQ(host.run("8056000100"), "6985");  // an RSA slot
    ASSERT_EQ(host.run("8056000400"), "9000");
    Bytes x = coordinate(4, 1), y = coordinate(4, 2);
    EXPECT_TRUE(crypto::sm2_point_valid(x, y));
    EXPECT_EQ(host.run("8061040320"), "6A86");
    Bytes z = za(4);
    Bytes msg = hex("6D65737361676520646967657374");
    Bytes m = z;
    m.insert(m.end(), msg.begin(), msg.end());
    Bytes e = crypto::digest("SM3", m);
    Bytes cmd{0x80, 0x57, 0x04, 0x00, 0x20};
    cmd.insert(cmd.end(), e.begin(), e.end());
    Bytes sig = host.send(cmd);
    ASSERT_EQ(sig.size(), 66u);
    sig.resize(64);
    EXPECT_TRUE(openssl_sm2_verify(x, y, msg, sig));
    Bytes v{0x80, 0x58, 0x04, 0x00, 0x60};
    v.insert(v.end(), e.begin(), e.end());
    v.insert(v.end(), sig.begin(), sig.end());
    EXPECT_EQ(host.sw(v), 0x9000);
    v.back() ^= 1;
    EXPECT_EQ(host.sw(v), 0x6300);
    EXPECT_EQ(host.run("8057040010" + std::string(32, '0')), "6700");
}

TEST_F(Sm2Test, EncryptDecryptAndLengthLimits) {
    personalise();
    login_user();
    ASSERT_EQ(host.run("8056000500"), "9000");
    Bytes plain(159);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
    Bytes cmd{0x80, 0x59, 0x05, 0x00, 159};
    cmd.insert(cmd.end(), plain.begin(), plain.end());
    Bytes c = host.send(cmd);
    ASSERT_EQ(c.size(), 64 + 32 + 159 + 2u);
    c.resize(c.size() - 2);
    Bytes d{0x80, 0x60, 0x05, 0x00, static_cast<uint8_t>(c.size())};
    d.insert(d.end(), c.begin(), c.end());
    Bytes p = host.send(d);
    EXPECT_EQ(hexs(p), hexs(plain) + "9000");
    d[10] ^= 1;  // a damaged C1
    EXPECT_EQ(hexs(host.send(d)), "6A80");
    Bytes big{0x80, 0x59, 0x05, 0x00, 160};
    big.resize(5 + 160, 0x01);
    EXPECT_EQ(host.sw(big), 0x6700);
}

TEST_F(Sm2Test, ImportThroughSecureMessagingAndPublicKeyInSlotZero) {
    personalise();
    login_user();
    SecureBytes dd;
    Bytes x, y;
    ASSERT_TRUE(crypto::sm2_generate(dd.get(), x, y));
    // Public coordinates into slot 5, then d in its secure-messaging form under the line key.
    Bytes cx{0x80, 0x62, 0x05, 0x01, 0x20};
    cx.insert(cx.end(), x.begin(), x.end());
    Bytes cy{0x80, 0x62, 0x05, 0x02, 0x20};
    cy.insert(cy.end(), y.begin(), y.end());
    ASSERT_EQ(host.sw(cx), 0x9000);
    ASSERT_EQ(host.sw(cy), 0x9000);
    Bytes cd{0x80, 0x63, 0x05, 0x01, 0x20};
    cd.insert(cd.end(), dd.get().begin(), dd.get().end());
    EXPECT_EQ(host.sw(cd), 0x6982);  // never in clear
    EXPECT_EQ(host.sw(host.secure(cd, 0, keys.adf_protect)), 0x6988);  // wrong key
    EXPECT_EQ(host.sw(host.secure(cd, 0, keys.adf_line)), 0x9000);
    EXPECT_EQ(coordinate(5, 1), x);
    // Signatures of the imported key verify with its public key.
    Bytes e = crypto::digest("SM3", hex("616263"));
    Bytes s{0x80, 0x57, 0x05, 0x00, 0x20};
    s.insert(s.end(), e.begin(), e.end());
    Bytes sig = host.send(s);
    ASSERT_EQ(sig.size(), 66u);
    sig.resize(64);
    EXPECT_TRUE(crypto::sm2_verify(x, y, e, sig));
    // Slot 0 holds a public key for verification only.
    cx[2] = 0;
    cy[2] = 0;
    EXPECT_EQ(host.run("8061000120"), "6A88");
    ASSERT_EQ(host.sw(cx), 0x9000);
    ASSERT_EQ(host.sw(cy), 0x9000);
    EXPECT_EQ(za(0), za(5));
    Bytes v{0x80, 0x58, 0x00, 0x00, 0x60};
    v.insert(v.end(), e.begin(), e.end());
    v.insert(v.end(), sig.begin(), sig.end());
    EXPECT_EQ(host.sw(v), 0x9000);
    // A point off the curve is refused.
    cy[10] ^= 1;
    EXPECT_EQ(host.sw(cy), 0x6A80);
    cy[10] ^= 1;
    // Another key after a complete one: its X starts a new point instead of
    // being checked against the old Y (which it would almost never fit).
    ASSERT_EQ(host.sw(cx), 0x9000);
    ASSERT_EQ(host.sw(cy), 0x9000);
    Bytes otherX = cx;
    otherX[5 + 3] ^= 0x5A;
    EXPECT_EQ(host.sw(otherX), 0x9000);
}

// Transactions: negotiate, pieces, the button, the signature.
class TransactionTest : public CardOsTest {
protected:
    void SetUp() override {
        CardOsTest::SetUp();
        personalise();
        login_user();
        ASSERT_EQ(host.run("8056000400"), "9000");
        ASSERT_EQ(host.run("8046000100"), "9000");
    }
    uint16_t negotiate(uint8_t slot, uint8_t alg, const Bytes& data, uint16_t seconds, bool good_mac = true) {
        const char* dname = alg == 7 ? "SM3" : (alg == 2 || alg == 5) ? "SHA1" : "SHA256";
        auto mac = crypto::cbc_mac(0, keys.adf_line, Bytes(8, 0), crypto::digest(dname, data), 8);
        if (!good_mac) (*mac)[0] ^= 1;
        uint16_t pieces = static_cast<uint16_t>((data.size() + 191) / 192);
        Bytes cmd{0x80, 0x77, 0x00, 0x00, 22, 0x06, 0x14, slot, alg};
        put_u16(cmd, seconds);
        put_u16(cmd, pieces);
        put_u32(cmd, static_cast<uint32_t>(data.size()));
        cmd.insert(cmd.end(), mac->begin(), mac->end());
        cmd.push_back(1);
        cmd.push_back(0);
        return host.sw(cmd);
    }
    uint16_t send_pieces(const Bytes& data) {
        uint16_t sw = 0;
        for (size_t off = 0, n = 1; off < data.size(); off += 192, ++n) {
            size_t len = std::min<size_t>(192, data.size() - off);
            Bytes cmd{0x80, 0x77, 0x00, 0x00, static_cast<uint8_t>(len + 4), 0x08, static_cast<uint8_t>(len + 2)};
            put_u16(cmd, static_cast<uint16_t>(n));
            cmd.insert(cmd.end(), data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(off + len));
            sw = host.sw(cmd);
            if (sw != 0x9000) return sw;
        }
        return sw;
    }
    std::string poll() { return host.run("8077000003090100"); }
};

TEST_F(TransactionTest, Sm2SignatureAfterTheButton) {
    // The host sends Z_A and the text; the signature is the text's, so the
    // token must not put a second Z_A in front.
    Bytes x = hex(host.run("8061040120")), y = hex(host.run("8061040220"));
    x.resize(32);
    y.resize(32);
    const Bytes text(400, 'a');
    auto za = crypto::sm2_za(crypto::kSm2DefaultId, x, y);
    ASSERT_TRUE(za);
    Bytes data = *za;
    data.insert(data.end(), text.begin(), text.end());
    EXPECT_EQ(poll(), "D107");
    ASSERT_EQ(negotiate(4, 7, data, 60), 0x9000);
    EXPECT_EQ(poll(), "D100");
    ASSERT_EQ(send_pieces(data), 0x9000);
    EXPECT_EQ(poll(), "D101");
    EXPECT_TRUE(press_button(token));
    Bytes sig = hex(poll());
    ASSERT_EQ(sig.size(), 66u);
    sig.resize(64);
    EXPECT_TRUE(openssl_sm2_verify(x, y, text, sig));
    EXPECT_FALSE(openssl_sm2_verify(x, y, data, sig));
    EXPECT_EQ(poll(), "D107");  // the transaction is over
    EXPECT_FALSE(press_button(token));
}

TEST_F(TransactionTest, RsaSignatureWithAutomaticPress) {
    token.config.auto_press_ms = 500;
    Bytes data(10, 'z');
    ASSERT_EQ(negotiate(1, 1, data, 60), 0x9000);
    ASSERT_EQ(send_pieces(data), 0x9000);
    EXPECT_EQ(poll(), "D101");
    now += 500;
    Bytes sig = hex(poll());
    ASSERT_EQ(sig.size(), 130u);
    sig.resize(128);
    Bytes n = hex(host.run("804C010280"));
    n.resize(128);
    EXPECT_TRUE(crypto::rsa_verify_pkcs1(n, hex("00010001"), "SHA256", data, sig));
}

TEST_F(TransactionTest, WrongMacTimeoutCancelAndPin) {
    Bytes data(200, 'q');
    ASSERT_EQ(negotiate(4, 7, data, 60, false), 0x9000);
    EXPECT_EQ(send_pieces(data), 0x6988);  // checked when the last piece is in
    EXPECT_EQ(poll(), "D107");
    ASSERT_EQ(negotiate(4, 7, data, 2), 0x9000);
    ASSERT_EQ(send_pieces(data), 0x9000);
    now += 2001;
    EXPECT_EQ(poll(), "D104");
    EXPECT_EQ(poll(), "D107");
    ASSERT_EQ(negotiate(4, 7, data, 60), 0x9000);
    EXPECT_EQ(host.run("80770000050803000261"), "6A80");  // piece 2 before piece 1
    EXPECT_EQ(host.run("8077000003070104"), "9000");      // cancel
    EXPECT_EQ(poll(), "D107");
    // The private key needs the user PIN: the token asks for it.
    ASSERT_EQ(negotiate(4, 7, data, 60), 0x9000);
    ASSERT_EQ(send_pieces(data), 0x9000);
    token.vol.security = 1;
    EXPECT_EQ(poll(), "D105");
    EXPECT_EQ(negotiate(2, 1, data, 60), 0x6A88);  // slot 2 has no key yet
    EXPECT_EQ(negotiate(4, 1, data, 60), 0x6985);  // not an RSA slot
    EXPECT_EQ(negotiate(4, 9, data, 60), 0x6A80);
    EXPECT_EQ(host.run("8077000003 0A0102"), "9000");
    EXPECT_EQ(host.run("8077000003 0A0104"), "6A80");
    EXPECT_EQ(host.run("8077000004 0B02003C"), "9000");
    EXPECT_EQ(host.run("8077000004 0B03003C"), "6700");
}

TEST(StateFile, SerialisationRoundTripAndDamage) {
    TokenState s = make_token(kChannelUms, {}, hex("0A0B0C"), true);
    int64_t now = 0;
    Host host(direct(s, &now));
    TestKeys k = test_keys(4);
    ASSERT_EQ(host.personalise(k), 0x9000);
    ASSERT_EQ(host.verify_pin(2, k.user_block, k), 0x9000);
    ASSERT_EQ(host.run("8056000400"), "9000");
    Bytes file = serialise(s);
    EXPECT_EQ(hexs(Bytes(file.begin(), file.begin() + 6)), "515856540001");
    auto back = parse(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(serialise(*back), file);
    EXPECT_EQ(back->vol.security, 3);
    EXPECT_EQ(hexs(Bytes(back->config.cos_info.begin() + 13, back->config.cos_info.end())), "0A0B0C");
    for (size_t cut : {size_t{0}, size_t{5}, file.size() / 2, file.size() - 1})
        EXPECT_FALSE(parse(Bytes(file.begin(), file.begin() + static_cast<long>(cut)))) << cut;
    Bytes other = file;
    other[5] = 2;  // unknown format version
    EXPECT_FALSE(parse(other));
    other = file;
    other.push_back(0);
    EXPECT_FALSE(parse(other));
}

}  // namespace
}  // namespace qx::vtoken::test
