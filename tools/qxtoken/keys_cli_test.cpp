// qxtoken keys, pubkey, sign and verify on a fresh virtual token; the public
// keys and signatures it writes are checked with the openssl program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "qx/platform/file_io.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

bool have_openssl() { return std::system("openssl version > /dev/null 2>&1") == 0; }

int shell(const std::string& command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

class QxTokenKeys : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        dir_ = install_kernel("qkeys", std::string(kChannelWords) +
                                           "\r\n[InitKeypairsNum]\r\nRSA1024 = 2\r\nRSA2048 = 2\r\nSM2256 = 2\r\n");
        kernel_ = std::make_unique<qxtoken::KernelApi>(dir_);
        ASSERT_EQ("", kernel_->missing);
        create_blank_token("qkeys");
        ASSERT_EQ(0, run({"init", "--user-pin", "123456", "--so-pin", "87654321"})) << err_.str();
        ASSERT_EQ(0, run({"container", "create", "rsa", "--type", "rsa", "--pin", "123456"})) << err_.str();
        ASSERT_EQ(0, run({"container", "create", "sm2", "--type", "sm2", "--pin", "123456"})) << err_.str();
    }
    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        qxtoken::Io io{out_, err_, [](const std::string&, std::string&) { return false; }};
        return qxtoken::run(args, *kernel_, io);
    }

    std::string dir_;
    std::unique_ptr<qxtoken::KernelApi> kernel_;
    std::ostringstream out_, err_;
};

TEST_F(QxTokenKeys, GeneratedPairsSignFilesThatOpensslVerifies) {
    const std::string msg = dir_ + "message.txt", other = dir_ + "other.txt";
    write_text(msg, "a file to be signed on the token\n");
    write_text(other, "a different file\n");
    const std::string rsaPem = dir_ + "rsa.pem", sm2Pem = dir_ + "sm2.pem";
    const std::string sig1 = dir_ + "rsa-sha1.sig", sig256 = dir_ + "rsa-sha256.sig", sigSm2 = dir_ + "sm2.sig";
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;  // the start of the output
    } cases[] = {
        {{"keys", "generate", "--container", "rsa", "--type", "rsa2048", "--pin", "123456"}, 0,
         "signature key pair rsa2048 generated in container rsa (slot 3)"},
        {{"keys", "generate", "--container", "sm2", "--type", "sm2", "--exchange", "--pin", "123456"}, 0,
         "exchange key pair sm2 generated in container sm2 (slot 5)"},
        {{"keys", "list"}, 0, "rsa  signature  rsa2048  slot 3\nsm2  exchange   sm2  slot 5\n"},
        {{"pubkey", "export", "--container", "rsa", "--out", rsaPem}, 0, "public key of rsa2048 written to"},
        {{"pubkey", "export", "--container", "sm2", "--exchange", "--out", sm2Pem}, 0, "public key of sm2 written"},
        {{"sign", "--container", "rsa", "--in", msg, "--hash", "sha1", "--out", sig1, "--pin", "123456"}, 0,
         "signature written"},
        {{"sign", "--container", "rsa", "--in", msg, "--out", sig256, "--pin", "123456"}, 0, "signature written"},
        {{"sign", "--container", "sm2", "--exchange", "--in", msg, "--out", sigSm2, "--pin", "123456"}, 0,
         "signature written"},
        {{"verify", "--container", "rsa", "--in", msg, "--hash", "sha1", "--sig", sig1}, 0, "signature verifies"},
        {{"verify", "--container", "rsa", "--in", msg, "--sig", sig256}, 0, "signature verifies"},
        {{"verify", "--container", "sm2", "--exchange", "--in", msg, "--sig", sigSm2}, 0, "signature verifies"},
        {{"verify", "--container", "rsa", "--in", other, "--sig", sig256}, 1, "signature does not verify"},
        {{"verify", "--container", "sm2", "--exchange", "--in", other, "--sig", sigSm2}, 1, "signature does not verify"},
        {{"verify", "--container", "rsa", "--in", msg, "--hash", "sha1", "--sig", sig256}, 1, "signature does not"},
        {{"keys", "generate", "--container", "rsa", "--type", "rsa4096", "--pin", "123456"}, 2, ""},
        {{"keys", "generate", "--container", "none", "--type", "sm2", "--pin", "123456"}, 1, ""},
        {{"sign", "--container", "sm2", "--in", msg, "--out", sigSm2, "--pin", "123456"}, 1, ""},
        {{"sign", "--container", "sm2", "--exchange", "--hash", "sha1", "--in", msg, "--out", sigSm2}, 2, ""},
        {{"sign", "--container", "rsa", "--in", dir_ + "missing", "--out", sig1, "--pin", "123456"}, 1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.exit, run(c.args)) << c.args[0] << " " << c.args[1] << ": " << err_.str();
        EXPECT_EQ(c.out, out_.str().substr(0, c.out.size())) << c.args[0] << " " << c.args[1];
    }

    if (!have_openssl()) GTEST_SKIP() << "no openssl program to check the files with";
    EXPECT_EQ(0, shell("openssl dgst -sha1 -verify " + rsaPem + " -signature " + sig1 + " " + msg));
    EXPECT_EQ(0, shell("openssl dgst -sha256 -verify " + rsaPem + " -signature " + sig256 + " " + msg));
    EXPECT_NE(0, shell("openssl dgst -sha256 -verify " + rsaPem + " -signature " + sig256 + " " + other));
    const std::string sm2Verify = "openssl pkeyutl -verify -pubin -inkey " + sm2Pem +
                                  " -rawin -digest sm3 -pkeyopt distid:1234567812345678 -sigfile " + sigSm2 + " -in ";
    EXPECT_EQ(0, shell(sm2Verify + msg));
    EXPECT_NE(0, shell(sm2Verify + other));
}

TEST_F(QxTokenKeys, GenerationShowsProgressAndListsNothingBefore) {
    ASSERT_EQ(0, run({"keys", "list"}));
    EXPECT_EQ("no key pair on the token\n", out_.str());
    ASSERT_EQ(0, run({"keys", "generate", "--container", "rsa", "--type", "rsa1024", "--pin", "123456"})) << err_.str();
    EXPECT_EQ(0u, err_.str().find("generating an RSA-1024 key pair on the token"));
    EXPECT_NE(std::string::npos, err_.str().find(" done\n"));
}

}  // namespace
}  // namespace qx::kernel::test
