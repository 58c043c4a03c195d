// The token store: names, files, persistence across processes, two processes
// at once, and a process killed in the middle of its work.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/tests/card_fixture.h"
#include "qx/platform/file_io.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

namespace qx::vtoken::test {
namespace {

std::string fresh_directory(const char* tag) {
    static std::atomic<int> counter{0};
    std::string dir = platform::temp_directory() + platform::path_separator() + "qx-vtoken-" + tag + "-" +
                      std::to_string(platform::process_id()) + "-" + std::to_string(counter++);
    platform::make_directories(dir);
    qx::test::remove_tree_at_exit(dir);
    for (const auto& f : platform::list_directory(dir)) platform::remove_file(dir + platform::path_separator() + f);
    return dir;
}

void clean(const std::string& dir) {
    for (const auto& f : platform::list_directory(dir)) platform::remove_file(dir + platform::path_separator() + f);
}

// Runs one plain command on a stored token and returns its response.
Bytes command(TokenStore& store, const std::string& name, const Bytes& apdu) {
    Bytes out;
    store.update(name, [&](TokenState& s) {
        out = process_command(s, apdu, wall_clock_ms());
        return true;
    });
    return out;
}

void personalise(TokenStore& store, const std::string& name) {
    ASSERT_EQ(store.create(name, make_token(kChannelCcid, hex("A1A2A3A4A5A6A7A8"), {}, false)), StoreStatus::Ok);
    uint16_t sw = 0;
    ASSERT_EQ(store.update(name,
                           [&](TokenState& s) {
                               Host h(direct(s, nullptr));
                               sw = h.personalise(test_keys(0));
                               return true;
                           }),
              StoreStatus::Ok);
    ASSERT_EQ(sw, 0x9000);
}

// Adds one to the 16-bit counter in file 000B inside one locked update.
bool increment(TokenStore& store, const std::string& name) {
    bool ok = false;
    StoreStatus st = store.update(name, [&](TokenState& s) {
        Host h(direct(s, nullptr));
        if (h.sw("00A4000002000B") != 0x9000) return false;
        Bytes r = h.send(hex("00B0000002"));
        if (r.size() != 4) return false;
        uint16_t v = static_cast<uint16_t>(r[0] << 8 | r[1]);
        v = v == 0xFFFF ? 1 : static_cast<uint16_t>(v + 1);
        Bytes w{0x00, 0xD6, 0x00, 0x00, 0x02, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        ok = h.sw(w) == 0x9000;
        return ok;
    });
    return st == StoreStatus::Ok && ok;
}

uint16_t counter(TokenStore& store, const std::string& name) {
    command(store, name, hex("00A4000002000B"));
    Bytes r = command(store, name, hex("00B0000002"));
    return r.size() == 4 ? static_cast<uint16_t>(r[0] << 8 | r[1]) : 0;
}

QX_TEST_CHILD(vtoken_wrong_pin) {
    TokenStore store(args.at(0));
    Bytes cmd = hex("0020000210");
    cmd.insert(cmd.end(), 16, 0x33);
    Bytes r = command(store, args.at(1), cmd);
    return r == hex("63C5") ? 0 : 1;
}

QX_TEST_CHILD(vtoken_increment) {
    TokenStore store(args.at(0));
    int n = std::stoi(args.at(2));
    for (int i = 0; i < n; ++i) {
        if (!increment(store, args.at(1))) return 2;
        // Single commands of the other process interleave with ours.
        if (command(store, args.at(1), hex("8070000001")).size() != 3) return 3;
    }
    return 0;
}

QX_TEST_CHILD(vtoken_forever) {
    TokenStore store(args.at(0));
    for (;;) {
        if (!increment(store, args.at(1))) return 2;
    }
}

TEST(TokenStore, NamesAndDeviceNames) {
    EXPECT_TRUE(valid_token_name("alice"));
    EXPECT_TRUE(valid_token_name("Token_1.2-x"));
    EXPECT_FALSE(valid_token_name(""));
    EXPECT_FALSE(valid_token_name(".hidden"));
    EXPECT_FALSE(valid_token_name("a/b"));
    EXPECT_FALSE(valid_token_name("a b"));
    EXPECT_FALSE(valid_token_name(std::string(65, 'a')));
    EXPECT_EQ(device_name_for(kChannelCcid, "alice"), "Quorvantix VToken CCID alice");
    EXPECT_EQ(device_name_for(kChannelHid, "bob"), "Quorvantix VToken HID bob");
    EXPECT_EQ(token_name_from_device("Quorvantix VToken UMS carol"), "carol");
    EXPECT_EQ(token_name_from_device("carol"), "carol");
    EXPECT_EQ(token_name_from_device("Quorvantix VToken CCID"), "");
    EXPECT_EQ(token_name_from_device("Quorvantix VToken CCID ../x"), "");
    EXPECT_EQ(channel_from_text("HID"), kChannelHid);
    EXPECT_EQ(channel_from_text("ums"), kChannelUms);
    EXPECT_EQ(channel_from_text("usb"), 0u);
}

TEST(TokenStore, CreateListRemoveAndDamage) {
    std::string dir = fresh_directory("basic");
    TokenStore store(dir);
    EXPECT_TRUE(store.names().empty());
    TokenState s = make_token(kChannelHid, {}, {}, false);
    EXPECT_EQ(s.config.identity.size(), 8u);
    EXPECT_EQ(store.create("b", s), StoreStatus::Ok);
    EXPECT_EQ(store.create("a", s), StoreStatus::Ok);
    EXPECT_EQ(store.create("a", s), StoreStatus::Exists);
    EXPECT_EQ(store.create("bad name", s), StoreStatus::BadName);
    EXPECT_EQ(store.names(), (std::vector<std::string>{"a", "b"}));
    TokenState back;
    ASSERT_EQ(store.read("a", back), StoreStatus::Ok);
    EXPECT_EQ(back.config.identity, s.config.identity);
    EXPECT_EQ(back.config.channel, kChannelHid);
    EXPECT_EQ(store.read("zz", back), StoreStatus::NotFound);
    EXPECT_EQ(store.update("zz", [](TokenState&) { return true; }), StoreStatus::NotFound);
    // A damaged file is reported, not used.
    ASSERT_TRUE(platform::write_file_atomically(store.state_path("b"), hex("515856540001FF")));
    EXPECT_EQ(store.read("b", back), StoreStatus::Corrupt);
    EXPECT_EQ(store.update("b", [](TokenState&) { return true; }), StoreStatus::Corrupt);
    EXPECT_EQ(store.remove("b"), StoreStatus::Ok);
    EXPECT_EQ(store.remove("b"), StoreStatus::NotFound);
    EXPECT_EQ(store.names(), (std::vector<std::string>{"a"}));
    // A discarded update leaves the file as it was.
    int64_t before_mtime = 0, before_size = 0, after_mtime = 0, after_size = 0;
    platform::file_stamp(store.state_path("a"), &before_mtime, &before_size);
    EXPECT_EQ(store.update("a",
                           [](TokenState& t) {
                               t.config.serial = hex("00");
                               return false;
                           }),
              StoreStatus::Ok);
    ASSERT_EQ(store.read("a", back), StoreStatus::Ok);
    EXPECT_EQ(back.config.serial, s.config.serial);
    platform::file_stamp(store.state_path("a"), &after_mtime, &after_size);
    EXPECT_EQ(before_size, after_size);
    clean(dir);
}

TEST(TokenStore, StatePersistsAcrossProcesses) {
    std::string dir = fresh_directory("persist");
    TokenStore store(dir);
    personalise(store, "t");
    // The child spends one user-PIN try; the parent sees it, and the security
    // state the child left (authenticated) is the token's, shared by both.
    auto child = platform::ChildProcess::spawn(qx::test::child_command("vtoken_wrong_pin", {dir, "t"}));
    ASSERT_TRUE(child);
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(hexs(command(store, "t", hex("0020800200"))), "63C5");
    EXPECT_EQ(hexs(command(store, "t", hex("8070000001"))), "019000");
    clean(dir);
}

TEST(TokenStore, TwoProcessesAtOnce) {
    std::string dir = fresh_directory("concurrent");
    TokenStore store(dir);
    personalise(store, "t");
    const int n = 40;
    auto a = platform::ChildProcess::spawn(qx::test::child_command("vtoken_increment", {dir, "t", std::to_string(n)}));
    auto b = platform::ChildProcess::spawn(qx::test::child_command("vtoken_increment", {dir, "t", std::to_string(n)}));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->wait(), 0);
    EXPECT_EQ(b->wait(), 0);
    // Each increment ran under the token's lock: none was lost.
    EXPECT_EQ(counter(store, "t"), 2 * n);
    clean(dir);
}

TEST(TokenStore, KilledProcessLeavesAConsistentToken) {
    std::string dir = fresh_directory("kill");
    TokenStore store(dir);
    personalise(store, "t");
    command(store, "t", hex("00A4000002000B"));
    ASSERT_EQ(hexs(command(store, "t", hex("00D60000020000"))), "9000");
    for (int round = 0; round < 3; ++round) {
        auto child = platform::ChildProcess::spawn(qx::test::child_command("vtoken_forever", {dir, "t"}));
        ASSERT_TRUE(child);
        uint64_t start = platform::tick_ms();
        int seen = counter(store, "t");
        while (counter(store, "t") < seen + 5 && platform::tick_ms() - start < 20000) platform::sleep_ms(10);
        child->kill();
        child->wait();
        TokenState s;
        ASSERT_EQ(store.read("t", s), StoreStatus::Ok) << round;
        EXPECT_GT(counter(store, "t"), seen) << round;
        // The lock died with the process: the token still works.
        EXPECT_TRUE(increment(store, "t"));
    }
    clean(dir);
}

}  // namespace
}  // namespace qx::vtoken::test
