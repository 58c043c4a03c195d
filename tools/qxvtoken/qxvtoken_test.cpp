// The qxvtoken command lines: their effects on the token store and their errors.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "device/cardos/cardos.h"
#include "device/store/token_store.h"
#include "device/tests/card_fixture.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "tools/qxvtoken/commands.h"
#include "tests/support/qx_test_main.h"

namespace qx::vtoken::tool {
namespace {

using test::hex;

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> n{0};
        dir = platform::temp_directory() + platform::path_separator() + "qx-vtoken-tool-" +
              std::to_string(platform::process_id()) + "-" + std::to_string(n++);
        platform::make_directories(dir);
        qx::test::remove_tree_at_exit(dir);
        clean();
    }
    void TearDown() override { clean(); }
    void clean() {
        for (const auto& f : platform::list_directory(dir)) platform::remove_file(dir + platform::path_separator() + f);
    }
    int run_tool(std::vector<std::string> args) {
        out.str("");
        err.str("");
        return run(args, dir, out, err);
    }
    TokenState read(const std::string& name) {
        TokenState s;
        EXPECT_EQ(TokenStore(dir).read(name, s), StoreStatus::Ok);
        return s;
    }
    std::string dir;
    std::ostringstream out, err;
};

TEST_F(ToolTest, CreateWithOptions) {
    ASSERT_EQ(run_tool({"create", "--channel", "hid", "--identity", "A1B2C3", "--cos-version", "030201",
                        "--transport-key", "--auto-press=250", "tok"}),
              kExitOk)
        << err.str();
    EXPECT_NE(out.str().find("Quorvantix VToken HID tok"), std::string::npos);
    TokenState s = read("tok");
    EXPECT_EQ(s.config.channel, kChannelHid);
    EXPECT_EQ(to_hex(s.config.identity), "A1B2C3");
    EXPECT_EQ(to_hex(s.config.cos_info.data() + 13, 3), "030201");
    EXPECT_EQ(s.config.transport_key.size(), 16u);
    EXPECT_EQ(s.config.auto_press_ms, 250);
    EXPECT_TRUE(s.plugged);
    ASSERT_EQ(run_tool({"create", "plain"}), kExitOk);
    s = read("plain");
    EXPECT_EQ(s.config.channel, kChannelCcid);
    EXPECT_TRUE(s.config.transport_key.empty());
    EXPECT_EQ(s.config.auto_press_ms, -1);
    EXPECT_EQ(run_tool({"create", "plain"}), kExitFailed);
    EXPECT_NE(err.str().find("exists already"), std::string::npos);
    ASSERT_EQ(run_tool({"list"}), kExitOk);
    EXPECT_NE(out.str().find("plain  CCID  plugged  blank"), std::string::npos);
    EXPECT_NE(out.str().find("tok  HID  plugged  blank"), std::string::npos);
}

TEST_F(ToolTest, BadArgumentsAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"create"}, "needs a token name"},
        {{"create", "a", "b"}, "unexpected argument"},
        {{"create", "bad/name"}, "invalid token name"},
        {{"create", "--channel", "usb", "x"}, "--channel expects"},
        {{"create", "--channel"}, "needs a value"},
        {{"create", "--identity", "XYZ", "x"}, "--identity expects"},
        {{"create", "--identity", std::string(66, 'A'), "x"}, "--identity expects"},
        {{"create", "--cos-version", "0102", "x"}, "--cos-version expects"},
        {{"create", "--cos-version", "0102030405", "x"}, "3 bytes"},
        {{"create", "--auto-press", "-5", "x"}, "--auto-press expects"},
        {{"create", "--auto-press", "12ms", "x"}, "--auto-press expects"},
        {{"create", "--transport-key=1", "x"}, "takes no value"},
        {{"create", "--channel", "ccid", "--channel", "hid", "x"}, "given twice"},
        {{"create", "--secrets", "x"}, "unknown option"},
        {{"list", "x"}, "takes no name"},
        {{"dump"}, "needs a token name"},
        {{"plug", ".x"}, "invalid token name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_tool(c.args), kExitUsage) << c.says;
        EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("usage:"), std::string::npos);
    }
    EXPECT_TRUE(TokenStore(dir).names().empty());
    for (const char* c : {"plug", "unplug", "press", "reset", "remove", "dump"}) {
        EXPECT_EQ(run_tool({c, "ghost"}), kExitFailed) << c;
        EXPECT_NE(err.str().find("no such virtual token"), std::string::npos) << c;
    }
    EXPECT_EQ(run_tool({"--help"}), kExitOk);
    EXPECT_NE(out.str().find("qxvtoken COMMAND"), std::string::npos);
}

TEST_F(ToolTest, PlugUnplugResetPressAndRemove) {
    ASSERT_EQ(run_tool({"create", "t"}), kExitOk);
    TokenState before = read("t");
    ASSERT_EQ(run_tool({"unplug", "t"}), kExitOk);
    EXPECT_FALSE(read("t").plugged);
    EXPECT_EQ(run_tool({"reset", "t"}), kExitFailed);
    EXPECT_EQ(run_tool({"press", "t"}), kExitFailed);
    ASSERT_EQ(run_tool({"plug", "t"}), kExitOk);
    TokenState after = read("t");
    EXPECT_TRUE(after.plugged);
    EXPECT_GT(after.plug_generation, before.plug_generation);
    ASSERT_EQ(run_tool({"plug", "t"}), kExitOk);
    EXPECT_NE(out.str().find("already plugged in"), std::string::npos);
    ASSERT_EQ(run_tool({"reset", "t"}), kExitOk);
    EXPECT_GT(read("t").power_session, after.power_session);
    EXPECT_EQ(run_tool({"press", "t"}), kExitFailed);
    EXPECT_NE(err.str().find("nothing is waiting"), std::string::npos);
    // With a transaction waiting the press is recorded.
    TokenStore(dir).update("t", [](TokenState& s) {
        s.vol.transaction.active = true;
        return true;
    });
    ASSERT_EQ(run_tool({"press", "t"}), kExitOk);
    EXPECT_TRUE(read("t").vol.transaction.pressed);
    ASSERT_EQ(run_tool({"remove", "t"}), kExitOk);
    EXPECT_TRUE(TokenStore(dir).names().empty());
}

TEST_F(ToolTest, DumpShowsSecretsOnlyWhenAsked) {
    ASSERT_EQ(run_tool({"create", "--identity", "0102030405060708", "--transport-key", "t"}), kExitOk);
    ASSERT_EQ(run_tool({"dump", "t"}), kExitOk);
    EXPECT_NE(out.str().find("blank token"), std::string::npos);
    test::TestKeys keys = test::test_keys(0);
    TokenStore(dir).update("t", [&](TokenState& s) {
        test::Host h(test::direct(s, nullptr));
        EXPECT_EQ(h.personalise(keys), 0x9000);
        EXPECT_EQ(h.verify_pin(2, keys.user_block, keys), 0x9000);
        EXPECT_EQ(h.run("8056000400"), "9000");
        return true;
    });
    ASSERT_EQ(run_tool({"dump", "t"}), kExitOk);
    std::string plain = out.str();
    EXPECT_NE(plain.find("3F01  directory \"QuorvantixPKIApp\""), std::string::npos) << plain;
    EXPECT_NE(plain.find("PIN #2"), std::string::npos);
    EXPECT_NE(plain.find("tries 6/6"), std::string::npos);
    EXPECT_NE(plain.find("2004  SM2256 private key, use/write 33 33, present"), std::string::npos);
    EXPECT_NE(plain.find("transport key   present"), std::string::npos);
    EXPECT_NE(plain.find("security state  3"), std::string::npos);
    EXPECT_EQ(plain.find(to_hex(keys.user_block)), std::string::npos);
    EXPECT_EQ(plain.find(to_hex(keys.adf_ext)), std::string::npos);
    ASSERT_EQ(run_tool({"dump", "--secrets", "t"}), kExitOk);
    std::string secret = out.str();
    EXPECT_NE(secret.find(to_hex(keys.user_block)), std::string::npos);
    EXPECT_NE(secret.find(to_hex(keys.adf_ext)), std::string::npos);
    EXPECT_EQ(secret.find("transport key   present"), std::string::npos);
}

// Serving needs pcscd's reader (covered by the reader and module tests); here
// only what is refused before a reader is reached, and a port where none listens.
TEST_F(ToolTest, ServeRefusesBadArgumentsAndAMissingReader) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{"serve"}, kExitUsage, "needs a token name"},
        {{"serve", "--port", "0", "tok"}, kExitUsage, "--port expects"},
        {{"serve", "--port", "65536", "tok"}, kExitUsage, "--port expects"},
        {{"serve", "--port", "35963x", "tok"}, kExitUsage, "--port expects"},
        {{"serve", "--port"}, kExitUsage, "needs a value"},
        {{"serve", "ghost"}, kExitFailed, "no such virtual token"},
        // Port 1 on the loopback address: nothing listens, the connection is refused.
        {{"serve", "--port", "1", "tok"}, kExitFailed, "no virtual reader accepts a card on port 1"},
    };
    ASSERT_EQ(run_tool({"create", "tok"}), kExitOk) << err.str();
    for (const auto& c : cases) {
        EXPECT_EQ(run_tool(c.args), c.code) << c.says;
        EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
    }
    EXPECT_EQ(run_tool({"help"}), kExitOk);
    EXPECT_NE(out.str().find("serve [--port N] NAME"), std::string::npos);
}

}  // namespace
}  // namespace qx::vtoken::tool
