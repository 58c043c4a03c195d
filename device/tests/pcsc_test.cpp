// QXDevice driving a real PC/SC stack: pcscd with vpcd's virtual reader, and
// our card OS plugged into that reader from this process.  Without a PC/SC
// service or without the vpcd reader the reader tests are skipped
// (scripts/start-pcscd.sh starts the service).
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
#include <thread>
#include <vector>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/tests/card_fixture.h"
#include "device/tests/support/transport_fixture.h"
#include "device/vpcd/vpcd_card.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "qx/platform/smartcard.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

namespace qx::vtoken::test {
namespace {

namespace sc = platform::smartcard;

std::vector<std::string> enumerate(QXDeviceTransport* d, std::vector<const char*> words) {
    char names[QXDEV_MAX_ENUM][QXDEV_NAME_SIZE];
    uint32_t count = 99;
    if (d->Enumerate(words.data(), static_cast<uint32_t>(words.size()), names, &count) != 0) return {"<failed>"};
    return std::vector<std::string>(names, names + count);
}

bool pcsc_failure(uint32_t rc) { return (rc & 0xFFFF0000u) == 0x80100000u; }

// Waits (bounded) until `fn` returns 0; returns the last code.
template <typename Fn>
uint32_t retry(Fn fn, uint32_t timeout_ms = 5000) {
    uint64_t end = platform::tick_ms() + timeout_ms;
    uint32_t rc = fn();
    while (rc != 0 && platform::tick_ms() < end) {
        platform::sleep_ms(50);
        rc = fn();
    }
    return rc;
}

class PcscReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib().create && lib().destroy);
        store = std::make_unique<TokenStore>(store_dir("qx-vtoken-pcsc-"));
        for (const auto& n : store->names()) store->remove(n);
        sc::Context context;
        uint32_t rc = context.establish();
        if (rc != sc::kSuccess) GTEST_SKIP() << "no PC/SC service (establishing a context gives " << std::hex << rc
                                          << "); natively, scripts/start-pcscd.sh starts one";
        std::vector<std::string> readers;
        ASSERT_EQ(context.list_readers(readers), sc::kSuccess);
        for (const std::string& r : readers)
            if (r.find("Virtual PCD") != std::string::npos && r.size() >= 5 && r.compare(r.size() - 5, 5, "00 00") == 0)
                reader = r;
        if (reader.empty()) GTEST_SKIP() << "no vpcd reader (package vsmartcard-vpcd)";
        // A card that a previous test pulled out must be gone from pcscd's view first.
        sc::Card leftover;
        uint64_t end = platform::tick_ms() + 5000;
        while (leftover.connect(context, reader) == sc::kSuccess && platform::tick_ms() < end) {
            leftover.disconnect();
            platform::sleep_ms(50);
        }
        card = std::make_unique<VpcdCard>(make_token(kChannelCcid, hex("0011223344556677"), {}, false));
        // Another card may still be in the reader (another test run): it must leave first.
        ASSERT_TRUE(card->insert()) << "vpcd does not accept a card on port " << kVpcdFirstPort;
    }
    void TearDown() override {
        card.reset();
        if (store)
            for (const auto& n : store->names()) store->remove(n);
    }
    // Opens the reader once pcscd has noticed the card.
    Device open_reader() {
        Device d = make_device(QXDEV_CHANNEL_CCID);
        EXPECT_EQ(retry([&] { return d->Open(reader.c_str()); }), 0u);
        return d;
    }
    std::unique_ptr<TokenStore> store;
    std::unique_ptr<VpcdCard> card;
    std::string reader;
};

TEST_F(PcscReaderTest, PlatformServiceTalksToTheCard) {
    sc::Context context;
    ASSERT_EQ(context.establish(), sc::kSuccess);
    sc::Card c;
    ASSERT_EQ(retry([&] { return c.connect(context, reader); }), sc::kSuccess);
    uint8_t response[300];
    size_t length = sizeof response;
    Bytes cmd = hex("8076000000");
    ASSERT_EQ(c.transmit(cmd.data(), cmd.size(), response, &length), sc::kSuccess);
    EXPECT_EQ(hexs(Bytes(response, response + length)), "00112233445566779000");
    length = 4;  // too small for the answer
    EXPECT_EQ(c.transmit(cmd.data(), cmd.size(), response, &length), sc::kInsufficientBuffer);
    std::vector<uint8_t> atr;
    uint32_t before = card->resets();
    ASSERT_EQ(c.reconnect_reset(atr), sc::kSuccess);
    EXPECT_GT(card->resets(), before);
    Bytes expected;
    card->with_state([&](TokenState& s) { expected = answer_to_reset(s); });
    EXPECT_EQ(hexs(atr), hexs(expected));
    EXPECT_EQ(c.disconnect(), sc::kSuccess);
    EXPECT_FALSE(c.connected());
    length = sizeof response;
    EXPECT_EQ(c.transmit(cmd.data(), cmd.size(), response, &length), sc::kInvalidHandle);
    EXPECT_NE(c.connect(context, "No Such Reader 99"), sc::kSuccess);
    sc::Context released;
    std::vector<std::string> readers{"stale"};
    EXPECT_EQ(released.list_readers(readers), sc::kInvalidHandle);
    EXPECT_TRUE(readers.empty());
}

TEST_F(PcscReaderTest, EnumerationMergesReadersAfterVirtualTokens) {
    ASSERT_EQ(store->create("alice", make_token(kChannelCcid, hex("01"), {}, false)), StoreStatus::Ok);
    ASSERT_EQ(store->create("hidden", make_token(kChannelHid, hex("02"), {}, false)), StoreStatus::Ok);
    Device d = make_device(QXDEV_CHANNEL_CCID);
    std::vector<std::string> both = enumerate(d.get(), {"vtoken", "VIRTUAL pcd"});
    ASSERT_GE(both.size(), 2u);
    EXPECT_EQ(both[0], "Quorvantix VToken CCID alice");
    EXPECT_NE(std::find(both.begin(), both.end(), reader), both.end());
    EXPECT_EQ(enumerate(d.get(), {"vtoken"}), std::vector<std::string>{"Quorvantix VToken CCID alice"});
    EXPECT_EQ(enumerate(d.get(), {"nothing"}), std::vector<std::string>{});
    std::vector<std::string> all = enumerate(d.get(), {});
    EXPECT_NE(std::find(all.begin(), all.end(), reader), all.end());
    // Words that are all null match nothing, on either path.
    EXPECT_EQ(enumerate(d.get(), {nullptr}), std::vector<std::string>{});
    // Readers serve only the CCID channel.
    Device h = make_device(QXDEV_CHANNEL_HID);
    EXPECT_EQ(enumerate(h.get(), {""}), std::vector<std::string>{"Quorvantix VToken HID hidden"});
    EXPECT_NE(h->Open(reader.c_str()), 0u);
    // Never more than ten names, virtual tokens first.
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(store->create("t" + std::to_string(10 + i), make_token(kChannelCcid, hex("03"), {}, false)),
                  StoreStatus::Ok);
    std::vector<std::string> full = enumerate(d.get(), {"vtoken", "pcd"});
    EXPECT_EQ(full.size(), QXDEV_MAX_ENUM);
    EXPECT_EQ(std::find(full.begin(), full.end(), reader), full.end());
}

TEST_F(PcscReaderTest, OpenTransmitAndReadAFile) {
    Device d = open_reader();
    ASSERT_EQ(d->openStatus, 1u);
    EXPECT_STREQ(d->deviceName, reader.c_str());
    EXPECT_EQ(run(d.get(), "8076000000"), "00112233445566779000");
    Bytes info;
    card->with_state([&](TokenState& s) { info = s.config.cos_info; });
    EXPECT_EQ(run(d.get(), "807D000010"), hexs(info) + "9000");
    EXPECT_EQ(run(d.get(), "F00F000000"), "9001");
    EXPECT_EQ(run(d.get(), "80"), "rc=80100011");
    uint8_t small[4];
    uint32_t len = sizeof small;
    Bytes cmd = hex("8076000000");
    EXPECT_EQ(d->Transmit(cmd.data(), 5, small, &len), 0x80100008u);
    // Personalisation runs over the reader (plain and secure-messaging
    // commands), then a file written and read back.
    Host host([&](const Bytes& apdu) {
        Bytes out;
        uint32_t rc = transmit(d.get(), apdu, out);
        EXPECT_EQ(rc, 0u) << hexs(apdu);
        return rc == 0 ? out : Bytes{0x6F, 0x00};
    });
    ASSERT_EQ(host.personalise(test_keys(0)), 0x9000);
    EXPECT_EQ(run(d.get(), "00A4000002000B"), "9000");
    EXPECT_EQ(run(d.get(), "00D6000002ABCD"), "9000");
    EXPECT_EQ(run(d.get(), "00B0000002"), "ABCD9000");
    EXPECT_EQ(run(d.get(), "00A40000020003"), "9000");
    EXPECT_EQ(run(d.get(), "00B0000004"), "FFFFFFFF9000");
    // Reopening with the name field itself, as the kernel does when it reconnects.
    ASSERT_EQ(d->Open(d->deviceName), 0u);
    EXPECT_STREQ(d->deviceName, reader.c_str());
    EXPECT_EQ(run(d.get(), "8076000000"), "00112233445566779000");
    EXPECT_EQ(d->Close(nullptr), 0u);
    EXPECT_EQ(d->openStatus, 0u);
    EXPECT_EQ(run(d.get(), "8076000000"), "rc=00001001");
    // The virtual tokens' names never reach the reader path.
    EXPECT_EQ(d->Open("Quorvantix VToken CCID nobody"), 0x80100009u);
    EXPECT_EQ(d->Open("No Such Reader 99"), 0x80100009u);
}

TEST_F(PcscReaderTest, ResetStartsANewSessionThatOthersSee) {
    Device a = open_reader();
    Device b = open_reader();
    Host host([&](const Bytes& apdu) {
        Bytes out;
        uint32_t rc = transmit(a.get(), apdu, out);
        EXPECT_EQ(rc, 0u) << hexs(apdu);
        return rc == 0 ? out : Bytes{0x6F, 0x00};
    });
    ASSERT_EQ(host.personalise(test_keys(0)), 0x9000);
    uint8_t security = 0;
    card->with_state([&](TokenState& s) { security = s.vol.security; });
    EXPECT_NE(security, 0);
    uint8_t atr[QXDEV_ATR_SIZE];
    uint32_t atr_length = sizeof atr;
    uint32_t resets = card->resets();
    ASSERT_EQ(a->Reset(atr, &atr_length), 0u);
    EXPECT_GT(card->resets(), resets);
    Bytes expected;
    card->with_state([&](TokenState& s) {
        expected = answer_to_reset(s);
        security = s.vol.security;
    });
    EXPECT_EQ(hexs(Bytes(atr, atr + atr_length)), hexs(expected));
    EXPECT_EQ(security, 0);
    EXPECT_EQ(run(a.get(), "00B0000002"), "6986");  // no file selected in the new session
    // The other connection hears of the reset once, as the kernel expects, and goes on after its own reset.
    EXPECT_EQ(run(b.get(), "8076000000"), "rc=80100068");
    atr_length = sizeof atr;
    ASSERT_EQ(b->Reset(atr, &atr_length), 0u);
    EXPECT_EQ(run(b.get(), "8076000000"), "00112233445566779000");
    // Reset after Close reconnects to the same reader.
    ASSERT_EQ(b->Close(nullptr), 0u);
    atr_length = sizeof atr;
    ASSERT_EQ(b->Reset(atr, &atr_length), 0u);
    EXPECT_EQ(b->openStatus, 1u);
    EXPECT_EQ(run(b.get(), "8076000000"), "00112233445566779000");
    atr_length = 2;
    EXPECT_EQ(b->Reset(atr, &atr_length), 0x80100008u);
    EXPECT_EQ(b->Reset(nullptr, &atr_length), QXDEV_SCARD_E_INVALID_VALUE);
}

TEST_F(PcscReaderTest, RemovedCardFailsCleanlyAndComesBack) {
    Device d = open_reader();
    EXPECT_EQ(run(d.get(), "8076000000"), "00112233445566779000");
    card->remove();
    // The next command fails with the service's own code, in bounded time.
    uint64_t start = platform::tick_ms();
    Bytes out;
    uint32_t rc = transmit(d.get(), hex("8076000000"), out);
    EXPECT_TRUE(pcsc_failure(rc)) << std::hex << rc;
    RecordProperty("transmit_after_removal", std::to_string(rc));
    // Once pcscd has seen the card go, the reader stays failing: no card to connect to.
    uint32_t open_rc = 0;
    uint64_t end = platform::tick_ms() + 5000;
    do {
        platform::sleep_ms(50);
        open_rc = d->Open(reader.c_str());
    } while (open_rc == 0 && platform::tick_ms() < end);
    EXPECT_TRUE(pcsc_failure(open_rc)) << std::hex << open_rc;
    RecordProperty("open_after_removal", std::to_string(open_rc));
    EXPECT_TRUE(pcsc_failure(transmit(d.get(), hex("8076000000"), out)) ||
                transmit(d.get(), hex("8076000000"), out) == QXDEV_ERR_DEVICE_IO);
    uint8_t atr[QXDEV_ATR_SIZE];
    uint32_t atr_length = sizeof atr;
    EXPECT_NE(d->Reset(atr, &atr_length), 0u);
    EXPECT_LT(platform::tick_ms() - start, 15000u);
    // A card put back is reachable again.
    ASSERT_TRUE(card->insert());
    EXPECT_EQ(retry([&] { return d->Open(reader.c_str()); }), 0u);
    EXPECT_EQ(run(d.get(), "8076000000"), "00112233445566779000");
}

// A card kept in the token store (as `qxvtoken serve` serves it): every
// command reads the stored token and writes it back, so other tools' changes
// reach the reader, and the card leaves the reader when its token is removed.
TEST_F(PcscReaderTest, StoreBackedCardFollowsItsTokenAndLeavesWithIt) {
    card.reset();
    ASSERT_EQ(store->create("served", make_token(kChannelCcid, hex("A1A2A3"), {}, false)), StoreStatus::Ok);
    VpcdCard served(store_access(*store, "served"));
    std::atomic<bool> no_delay{false};
    std::atomic<int> end{-1};
    std::thread server([&] {
        end = static_cast<int>(served.serve_here(kVpcdFirstPort, 5000, [&](const TcpClient& link) {
            no_delay = link.no_delay();
        }));
    });
    Device d = make_device(QXDEV_CHANNEL_CCID);
    EXPECT_EQ(retry([&] { return d->Open(reader.c_str()); }, 10000), 0u);
    EXPECT_TRUE(no_delay.load());
    EXPECT_EQ(run(d.get(), "8076000000"), "A1A2A39000");
    ASSERT_EQ(store->update("served",
                            [](TokenState& s) {
                                s.config.identity = hex("B1B2");
                                return true;
                            }),
              StoreStatus::Ok);
    EXPECT_EQ(run(d.get(), "8076000000"), "B1B29000");
    EXPECT_GE(served.commands(), 2u);
    ASSERT_EQ(store->remove("served"), StoreStatus::Ok);
    Bytes out;
    // The command that finds the token gone gets no answer (vpcd passes the
    // card's silence on as an empty response); then the reader has no card.
    const uint32_t rc = transmit(d.get(), hex("8076000000"), out);
    EXPECT_TRUE(rc != 0 || out.empty()) << hexs(out);
    server.join();
    EXPECT_EQ(end.load(), static_cast<int>(VpcdCard::End::CardGone));
    EXPECT_EQ(retry([&] { return pcsc_failure(transmit(d.get(), hex("8076000000"), out)) ? 0u : 1u; }), 0u);
}

// Without any PC/SC service, enumeration lists the virtual tokens only and
// opening a reader fails with the service's code; everything else works.
QX_TEST_CHILD(pcsc_no_service) {
    // pcsc-lite finds its daemon through this socket name (read once per process).
    static char socket_name[] = "PCSCLITE_CSOCK_NAME=/nonexistent/qx-no-pcscd.comm";
    putenv(socket_name);
    sc::Context probe;
    uint32_t service_code = probe.establish();
    bool service = service_code == sc::kSuccess;
    probe.release();
    Device d = make_device(QXDEV_CHANNEL_CCID);
    if (!d) return 2;
    std::vector<std::string> names = enumerate(d.get(), {});
    if (names.empty() || names[0] != "Quorvantix VToken CCID alice") return 3;
    if (!service && names.size() != 1) return 4;
    uint32_t rc = d->Open("No Such Reader 99");
    if (rc == 0) return 5;
    // The service's own code, unchanged (pcsc-lite: 0x8010001D, not the "stopped" code that makes
    // the kernel reconnect).
    if (!service && rc != service_code) return 6;
    // A bare name of a virtual token that is unplugged stays an unknown reader; it is not taken for a reader.
    if (d->Open("bob") != 0x80100009u) return 9;
    if (d->Open("Quorvantix VToken CCID alice") != 0) return 7;
    if (run(d.get(), "8076000000") != "019000") return 8;
    return 0;
}

TEST(PcscNoService, VirtualTokensStillWork) {
    TokenStore st(store_dir("qx-vtoken-pcsc-"));
    for (const auto& n : st.names()) st.remove(n);
    ASSERT_EQ(st.create("alice", make_token(kChannelCcid, hex("01"), {}, false)), StoreStatus::Ok);
    TokenState bob = make_token(kChannelCcid, hex("02"), {}, false);
    bob.unplug();
    ASSERT_EQ(st.create("bob", bob), StoreStatus::Ok);
    auto child = platform::ChildProcess::spawn(qx::test::child_command("pcsc_no_service", {}));
    ASSERT_TRUE(child);
    int code = -1;
    bool done = child->wait_for(30000, &code);
    if (!done) child->kill();
    EXPECT_TRUE(done);
    EXPECT_EQ(code, 0);
    st.remove("alice");
    st.remove("bob");
}

}  // namespace
}  // namespace qx::vtoken::test
