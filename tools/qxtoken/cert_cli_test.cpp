// qxtoken cert commands on a fresh virtual token with a key pair: writing
// DER and PEM, reading back, listing with the store state, registering,
// unregistering, unbinding, and refused command lines.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/tests/test_certs.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

class QxTokenCerts : public ::testing::Test {
protected:
    void SetUp() override {
        static const std::string home = [] {
            std::string dir = scratch_directory("qxtoken-certstore");
            dir.pop_back();
            static std::string assignment = "QX_CERTSTORE_HOME=" + dir;
            putenv(assignment.data());
            return dir;
        }();
        clear_tokens();
        name_ = std::string("qcert") + std::to_string(++counter_);
        dir_ = install_kernel(name_, std::string(kChannelWords) + "\r\n[InitKeypairsNum]\r\nRSA1024 = 2\r\n");
        kernel_ = std::make_unique<qxtoken::KernelApi>(dir_);
        ASSERT_TRUE(kernel_->module);
        create_blank_token(name_);
        ASSERT_EQ(0, run({"init", "--user-pin", "123456", "--so-pin", "87654321"})) << err_.str();
        ASSERT_EQ(0, run({"container", "create", "box", "--pin", "123456"})) << err_.str();
        ASSERT_EQ(0, run({"keys", "generate", "--container", "box", "--type", "rsa1024", "--pin", "123456"}))
            << err_.str();
    }
    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        qxtoken::Io io{out_, err_, [](const std::string&, std::string&) { return false; }};
        return qxtoken::run(args, *kernel_, io);
    }
    bool said(const std::string& text) const { return out_.str().find(text) != std::string::npos; }

    static int counter_;
    std::string name_, dir_;
    std::unique_ptr<qxtoken::KernelApi> kernel_;
    std::ostringstream out_, err_;
};
int QxTokenCerts::counter_ = 0;

TEST_F(QxTokenCerts, WriteListRegisterUnregisterDelete) {
    const std::string cn = "Cli User " + std::to_string(platform::process_id()) + "-" + std::to_string(platform::tick_ms());
    const auto der = qx::test::self_signed(qx::test::KeyKind::Rsa, cn, platform::tick_ms());
    write_bytes(dir_ + "user.der", der);

    ASSERT_EQ(0, run({"cert", "write", "--container", "box", "--in", dir_ + "user.der", "--pin", "123456"}))
        << err_.str();
    // PEM out of the container's slot, then back in through another slot.
    ASSERT_EQ(0, run({"cert", "read", "--container", "box", "--out", dir_ + "user.pem", "--pem"})) << err_.str();
    const auto pem = platform::read_file(dir_ + "user.pem");
    ASSERT_TRUE(pem.has_value());
    EXPECT_EQ(std::string(pem->begin(), pem->end()).rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
    ASSERT_EQ(0, run({"cert", "write", "--slot", "2", "--in", dir_ + "user.pem", "--pin", "123456"})) << err_.str();
    ASSERT_EQ(0, run({"cert", "read", "--slot", "2", "--out", dir_ + "back.der"})) << err_.str();
    EXPECT_EQ(platform::read_file(dir_ + "back.der"), der);

    struct Step {
        std::vector<std::string> args;
        std::vector<std::string> listed;  // in the list afterwards
    } steps[] = {
        {{"cert", "list"}, {"box  signature  slot 1", "  subject  " + cn, "  issuer   " + cn,
                            "  valid    2023-11-14 to 2033-05-18", "  in store no"}},
        {{"cert", "register", "--container", "box"}, {"  in store yes"}},
        {{"cert", "unregister", "--slot", "1"}, {"  in store no"}},
        {{"cert", "delete", "--container", "box", "--pin", "123456"}, {"no certificate on the token"}},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(0, run(s.args)) << err_.str();
        ASSERT_EQ(0, run({"cert", "list"})) << err_.str();
        for (const auto& line : s.listed) EXPECT_TRUE(said(line)) << s.args[1] << ": " << line << "\n" << out_.str();
    }
}

TEST_F(QxTokenCerts, BadCommandLinesAndFailures) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* message;
    } cases[] = {
        {{"cert"}, 2, "missing cert command"},
        {{"cert", "move"}, 2, "unknown cert command 'move'"},
        {{"cert", "read", "--slot", "1"}, 2, "cert read needs --out FILE"},
        {{"cert", "read", "--container", "box", "--slot", "1", "--out", "x"}, 2, "give --container C or --slot N"},
        {{"cert", "read", "--out", "x"}, 2, "give --container C or --slot N"},
        {{"cert", "read", "--slot", "31", "--out", "x"}, 2, "--slot takes 1 to 30"},
        {{"cert", "read", "--slot", "1x", "--out", "x"}, 2, "--slot takes 1 to 30"},
        {{"cert", "write", "--slot", "1"}, 2, "cert write needs --in FILE"},
        {{"cert", "register", "--slot", "1"}, 2, "cert register needs --container C"},
        {{"cert", "list", "extra"}, 2, "unexpected argument 'extra'"},
        {{"cert", "read", "--slot", "2", "--out", "x"}, 1, "slot 2 holds no certificate"},
        {{"cert", "read", "--container", "nobody", "--out", "x"}, 1, "ERR_CONTAINER_NOT_FOUND"},
        {{"cert", "write", "--slot", "1", "--in", "/nonexistent/file", "--pin", "123456"}, 1, "cannot read"},
        {{"cert", "write", "--slot", "1", "--in", "x"}, 1, "cannot read"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.exit, run(c.args)) << c.message;
        EXPECT_NE(std::string::npos, err_.str().find(c.message)) << err_.str();
    }
}

}  // namespace
}  // namespace qx::kernel::test
