// The QXDevice module as the kernel loads it: creation, enumeration, open,
// transmit, reset, and what unplugging and resetting look like from outside.
#include <gtest/gtest.h>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
#include <QXDevice.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/tests/card_fixture.h"
#include "device/tests/support/transport_fixture.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

namespace qx::vtoken::test {
namespace {

class QXDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib().create && lib().destroy);
        store = std::make_unique<TokenStore>(store_dir("qx-vtoken-dev-"));
        for (const auto& n : store->names()) store->remove(n);
    }
    void TearDown() override {
        for (const auto& n : store->names()) store->remove(n);
    }
    void add(const std::string& name, uint32_t channel, bool transport_key = false) {
        ASSERT_EQ(store->create(name, make_token(channel, hex("0011223344556677"), {}, transport_key)), StoreStatus::Ok);
    }
    void personalise(const std::string& name) {
        uint16_t sw = 0;
        store->update(name, [&](TokenState& s) {
            Host h(direct(s, nullptr));
            sw = h.personalise(test_keys(0));
            return true;
        });
        ASSERT_EQ(sw, 0x9000);
    }
    void set(const std::string& name, const std::function<void(TokenState&)>& fn) {
        ASSERT_EQ(store->update(name,
                                [&](TokenState& s) {
                                    fn(s);
                                    return true;
                                }),
                  StoreStatus::Ok);
    }
    std::unique_ptr<TokenStore> store;
};

TEST_F(QXDeviceTest, CreatesOnlyTheThreeChannelTypes) {
    for (uint32_t ch : {QXDEV_CHANNEL_CCID, QXDEV_CHANNEL_UMS, QXDEV_CHANNEL_HID}) {
        Device d = make_device(ch);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->channelType, ch);
        EXPECT_EQ(d->openStatus, 0u);
        EXPECT_EQ(d->transportKeyLength, 0u);
    }
    for (uint32_t ch : {0u, 2u, 17u, 257u}) EXPECT_EQ(lib().create(ch), nullptr);
    lib().destroy(nullptr);
}

TEST_F(QXDeviceTest, EnumerateFiltersByChannelPlugAndWords) {
    add("alice", kChannelCcid);
    add("bob", kChannelCcid);
    add("carol", kChannelHid);
    set("bob", [](TokenState& s) { s.unplug(); });
    Device d = make_device(QXDEV_CHANNEL_CCID);
    char names[QXDEV_MAX_ENUM][QXDEV_NAME_SIZE];
    uint32_t count = 99;
    const char* vt[] = {"vtoken"};
    ASSERT_EQ(d->Enumerate(vt, 1, names, &count), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(names[0], "Quorvantix VToken CCID alice");
    const char* words[] = {"nothing", "ALICE"};
    ASSERT_EQ(d->Enumerate(words, 2, names, &count), 0u);
    EXPECT_EQ(count, 1u);
    const char* none[] = {"nothing"};
    ASSERT_EQ(d->Enumerate(none, 1, names, &count), 0u);
    EXPECT_EQ(count, 0u);
    const char* empty[] = {""};
    Device h = make_device(QXDEV_CHANNEL_HID);
    ASSERT_EQ(h->Enumerate(empty, 1, names, &count), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(names[0], "Quorvantix VToken HID carol");
    EXPECT_NE(d->Enumerate(vt, 1, nullptr, &count), 0u);
    EXPECT_NE(d->Enumerate(vt, 1, names, nullptr), 0u);
    // At most ten names.
    for (int i = 0; i < 12; ++i) add("t" + std::to_string(10 + i), kChannelCcid);
    ASSERT_EQ(d->Enumerate(vt, 1, names, &count), 0u);
    EXPECT_EQ(count, QXDEV_MAX_ENUM);
}

TEST_F(QXDeviceTest, OpenTransmitClose) {
    add("alice", kChannelCcid);
    add("carol", kChannelHid);
    Device d = make_device(QXDEV_CHANNEL_CCID);
    EXPECT_EQ(run(d.get(), "8076000000"), "rc=00001001");  // not open
    EXPECT_NE(d->Open("Quorvantix VToken CCID nobody"), 0u);
    EXPECT_NE(d->Open("Quorvantix VToken HID carol"), 0u);  // another channel
    EXPECT_NE(d->Open(nullptr), 0u);
    EXPECT_NE(d->Open(""), 0u);
    EXPECT_EQ(d->openStatus, 0u);
    ASSERT_EQ(d->Open("Quorvantix VToken CCID alice"), 0u);
    EXPECT_EQ(d->openStatus, 1u);
    EXPECT_STREQ(d->deviceName, "Quorvantix VToken CCID alice");
    EXPECT_EQ(run(d.get(), "8076000000"), "00112233445566779000");
    EXPECT_EQ(run(d.get(), "F00F000000"), "9001");
    EXPECT_EQ(run(d.get(), "80"), "rc=80100011");
    // A response buffer that is too small.
    uint8_t small[4];
    uint32_t len = sizeof small;
    Bytes cmd = hex("8076000000");
    EXPECT_EQ(d->Transmit(cmd.data(), 5, small, &len), 0x80100008u);
    EXPECT_EQ(d->Transmit(nullptr, 5, small, &len), QXDEV_SCARD_E_INVALID_VALUE);
    // Reopening with the name field itself, as the kernel does when it reconnects.
    ASSERT_EQ(d->Open(d->deviceName), 0u);
    EXPECT_STREQ(d->deviceName, "Quorvantix VToken CCID alice");
    EXPECT_EQ(d->Close(nullptr), 0u);
    EXPECT_EQ(d->openStatus, 0u);
    EXPECT_EQ(run(d.get(), "8076000000"), "rc=00001001");
}

TEST_F(QXDeviceTest, SecurityStateBelongsToTheTokenAndResetIsSeenByEveryone) {
    add("alice", kChannelCcid);
    personalise("alice");
    Device a = make_device(QXDEV_CHANNEL_CCID), b = make_device(QXDEV_CHANNEL_CCID);
    ASSERT_EQ(a->Open("Quorvantix VToken CCID alice"), 0u);
    ASSERT_EQ(b->Open("Quorvantix VToken CCID alice"), 0u);
    EXPECT_EQ(run(b.get(), "8070000001"), "019000");  // authenticated at personalisation
    // B resets the token; A's next command reports the reset card.
    uint8_t atr[QXDEV_ATR_SIZE];
    uint32_t atr_len = sizeof atr;
    ASSERT_EQ(b->Reset(atr, &atr_len), 0u);
    EXPECT_GT(atr_len, 8u);
    EXPECT_EQ(atr[0], 0x3B);
    EXPECT_EQ(run(b.get(), "8070000001"), "009000");
    EXPECT_EQ(run(a.get(), "8070000001"), "rc=80100068");
    // A reconnects: its reset only takes up the new session, B is not disturbed.
    atr_len = sizeof atr;
    ASSERT_EQ(a->Reset(atr, &atr_len), 0u);
    EXPECT_EQ(run(a.get(), "8070000001"), "009000");
    EXPECT_EQ(run(b.get(), "8070000001"), "009000");
    // A state reached through A is seen through B.
    Host ha([&](const Bytes& apdu) {
        Bytes out;
        transmit(a.get(), apdu, out);
        return out;
    });
    ASSERT_EQ(ha.sw("00A40000023F01"), 0x9000);
    ASSERT_EQ(ha.external_auth(0, 0, test_keys(0).adf_ext), 0x9000);
    EXPECT_EQ(run(b.get(), "8070000001"), "019000");
    atr_len = 4;
    EXPECT_EQ(b->Reset(atr, &atr_len), 0x80100008u);
}

TEST_F(QXDeviceTest, UnplugAndRemoveLookLikeAVanishedReader) {
    add("alice", kChannelCcid);
    personalise("alice");
    Device d = make_device(QXDEV_CHANNEL_CCID);
    ASSERT_EQ(d->Open("Quorvantix VToken CCID alice"), 0u);
    // A long answer is half read when the token is unplugged.
    Host h([&](const Bytes& apdu) {
        Bytes out;
        transmit(d.get(), apdu, out);
        return out;
    });
    ASSERT_EQ(h.verify_pin(2, test_keys(0).user_block, test_keys(0)), 0x9000);
    Bytes cert = hex("30820196");
    cert.resize(410, 0x5A);
    for (size_t off = 0; off < cert.size(); off += 224) {
        size_t n = std::min<size_t>(224, cert.size() - off);
        Bytes c{0x80, 0x44, 0x01, static_cast<uint8_t>(off == 0 ? 0 : 2), static_cast<uint8_t>(n)};
        c.insert(c.end(), cert.begin() + static_cast<long>(off), cert.begin() + static_cast<long>(off + n));
        ASSERT_EQ(h.sw(c), 0x9000);
    }
    std::string first = run(d.get(), "8042010100");
    EXPECT_EQ(first.substr(first.size() - 4), "619A");
    set("alice", [](TokenState& s) { s.unplug(); });
    EXPECT_EQ(run(d.get(), "00C000009A"), "rc=80100003");
    uint8_t atr[QXDEV_ATR_SIZE];
    uint32_t atr_len = sizeof atr;
    EXPECT_EQ(d->Reset(atr, &atr_len), QXDEV_SCARD_E_INVALID_HANDLE);
    EXPECT_NE(d->Open(d->deviceName), 0u);
    char names[QXDEV_MAX_ENUM][QXDEV_NAME_SIZE];
    uint32_t count = 0;
    const char* vt[] = {"vtoken"};
    ASSERT_EQ(d->Enumerate(vt, 1, names, &count), 0u);
    EXPECT_EQ(count, 0u);
    // Plugged in again: the old connection stays dead until it is reopened;
    // the half-read answer and the security state are gone.
    set("alice", [](TokenState& s) { s.plug(); });
    EXPECT_EQ(run(d.get(), "8070000001"), "rc=80100003");
    ASSERT_EQ(d->Open(d->deviceName), 0u);
    EXPECT_EQ(run(d.get(), "00C000009A"), "6985");
    EXPECT_EQ(run(d.get(), "8070000001"), "009000");
    // A token removed from the store is gone the same way.
    ASSERT_EQ(store->remove("alice"), StoreStatus::Ok);
    EXPECT_EQ(run(d.get(), "8070000001"), "rc=80100003");
}

TEST_F(QXDeviceTest, TransportEncryptionWhenTheKernelSetsTheKey) {
    add("enc", kChannelUms, true);
    Device d = make_device(QXDEV_CHANNEL_UMS);
    ASSERT_EQ(d->Open("Quorvantix VToken UMS enc"), 0u);
    Bytes material = hex(run(d.get(), "8078000010"));
    ASSERT_EQ(material.size(), 18u);
    material.resize(16);
    std::memcpy(d->transportKey, material.data(), 16);
    d->transportKeyLength = 16;
    Bytes out;
    ASSERT_EQ(transmit(d.get(), transport_encipher_command(material, hex("8076000000")), out), 0u);
    EXPECT_EQ(hexs(transport_decipher_response(material, out)), "00112233445566779000");
    ASSERT_EQ(transmit(d.get(), transport_encipher_command(material, hex("F00F000000")), out), 0u);
    EXPECT_EQ(hexs(transport_decipher_response(material, out)), "9010");
}

QX_TEST_CHILD(vtoken_device_loop) {
    Device d = make_device(QXDEV_CHANNEL_CCID);
    if (!d || d->Open("Quorvantix VToken CCID shared") != 0) return 2;
    int n = std::stoi(args.at(0));
    for (int i = 0; i < n; ++i) {
        if (run(d.get(), "0084000008").size() != 20) return 3;
        if (run(d.get(), "8076000000") != "00112233445566779000") return 4;
    }
    return 0;
}

TEST_F(QXDeviceTest, TwoProcessesShareOneToken) {
    add("shared", kChannelCcid);
    auto a = platform::ChildProcess::spawn(qx::test::child_command("vtoken_device_loop", {"60"}));
    auto b = platform::ChildProcess::spawn(qx::test::child_command("vtoken_device_loop", {"60"}));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->wait(), 0);
    EXPECT_EQ(b->wait(), 0);
    TokenState s;
    EXPECT_EQ(store->read("shared", s), StoreStatus::Ok);
}

}  // namespace
}  // namespace qx::vtoken::test
