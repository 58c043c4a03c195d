// qxtoken transaction sign on a fresh virtual token: the button is pressed by
// `qxvtoken press` from a second process while the tool counts down, and the
// signature it writes is checked with libcrypto.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

std::string exe_suffix() {
    const std::string self = platform::executable_path();
    return self.size() > 4 && self.substr(self.size() - 4) == ".exe" ? ".exe" : "";
}

// Whether `signature` over `text` verifies under the PEM public key in `pemPath`.
bool libcrypto_verifies(const std::string& pemPath, const std::string& md, const std::vector<uint8_t>& text,
                        const std::vector<uint8_t>& signature) {
    auto pem = platform::read_file(pemPath);
    if (!pem) return false;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem->data(), int(pem->size())), &BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr),
                                                            &EVP_PKEY_free);
    if (!key) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    if (md == "SM3") {
        static const char id[] = "1234567812345678";
        EVP_PKEY_CTX_set1_id(pctx, id, 16);
    }
    EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx);
    const bool ok = EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_get_digestbyname(md.c_str()), nullptr, key.get()) == 1 &&
                    EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), text.data(), text.size()) == 1;
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

class QxTokenTransaction : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        dir_ = install_kernel("qtran");
        write_bytes(dir_ + "Config.ini",
                    plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of("qtran") +
                              "\r\nTranSignWaitTime = 6\r\nTranHashMeth = 7\r\n"
                              "[InitKeypairsNum]\r\nRSA1024 = 1\r\nRSA2048 = 1\r\nSM2256 = 1\r\n[DeviceInfo]\r\n" +
                              kChannelWords));
        kernel_ = std::make_unique<qxtoken::KernelApi>(dir_);
        ASSERT_EQ("", kernel_->missing);
        create_blank_token("qtran");
        ASSERT_EQ(0, run({"init", "--user-pin", "Pin-123", "--so-pin", "So-Pin-8"})) << err_.str();
    }
    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        qxtoken::Io io{out_, err_, [](const std::string&, std::string&) { return false; }};
        return qxtoken::run(args, *kernel_, io);
    }
    // Runs `args` while a second process keeps trying `qxvtoken press` until
    // a transaction waits for the button (or `press` is false).  The wait
    // time leaves room for a slow start of the second process (Wine).
    int run_with_button(const std::vector<std::string>& args, bool press, int& presses) {
        std::atomic<bool> finished{false};
        int exit = -1;
        std::thread tool([&] {
            exit = run(args);
            finished = true;
        });
        presses = 0;
        const std::string qxvtoken = binary_directory() + "qxvtoken" + exe_suffix();
        while (press && !finished && presses == 0) {
            auto child = platform::ChildProcess::spawn({qxvtoken, "press", "qtran"});
            if (!child) {
                ADD_FAILURE() << "cannot start " << qxvtoken;
                break;
            }
            if (child->wait() == 0) ++presses;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        tool.join();
        return exit;
    }

    std::string dir_;
    std::unique_ptr<qxtoken::KernelApi> kernel_;
    std::ostringstream out_, err_;
};

TEST_F(QxTokenTransaction, TokenSignsOnceItsButtonIsPressed) {
    const std::string text = dir_ + "order.txt", sig = dir_ + "order.sig", pem = dir_ + "key.pem";
    std::vector<uint8_t> order(500);
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = uint8_t('a' + i % 26);
    write_bytes(text, order);
    struct Case {
        const char *container, *type, *hash, *md;
        bool exchange;
    } cases[] = {
        {"pay-rsa", "rsa1024", nullptr, "SHA256", false},
        {"pay-rsa2", "rsa2048", "sha1", "SHA1", true},
        {"pay-sm2", "sm2", nullptr, "SM3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.container);
        const bool sm2 = std::string(c.type) == "sm2";
        ASSERT_EQ(0, run({"container", "create", c.container, "--type", sm2 ? "sm2" : "rsa", "--pin", "Pin-123"}))
            << err_.str();
        std::vector<std::string> gen = {"keys", "generate", "--container", c.container, "--type", c.type,
                                        "--pin", "Pin-123"};
        std::vector<std::string> sign = {"transaction", "sign", "--container", c.container, "--in", text,
                                         "--out", sig, "--pin", "Pin-123"};
        std::vector<std::string> exportKey = {"pubkey", "export", "--container", c.container, "--out", pem};
        if (c.exchange) {
            gen.push_back("--exchange");
            sign.push_back("--exchange");
            exportKey.push_back("--exchange");
        }
        if (c.hash) {
            sign.push_back("--hash");
            sign.push_back(c.hash);
        }
        ASSERT_EQ(0, run(gen)) << err_.str();
        ASSERT_EQ(0, run(exportKey)) << err_.str();
        int presses = 0;
        ASSERT_EQ(0, run_with_button(sign, true, presses)) << err_.str();
        EXPECT_EQ(1, presses);
        const std::string shown = out_.str();
        EXPECT_NE(std::string::npos, shown.find("sent 500 bytes in 3 pieces\n")) << shown;
        EXPECT_NE(std::string::npos, shown.find("the token waits for its button: press it to confirm (6 s)\n6"))
            << shown;
        EXPECT_NE(std::string::npos, shown.find("confirmed on the token\nsignature written to " + sig)) << shown;
        auto signature = platform::read_file(sig);
        ASSERT_TRUE(signature);
        EXPECT_TRUE(libcrypto_verifies(pem, c.md, order, *signature));
    }

    // Nobody presses: the countdown runs out and nothing is written.
    std::remove(sig.c_str());
    int presses = 0;
    EXPECT_EQ(1, run_with_button({"transaction", "sign", "--container", "pay-sm2", "--in", text, "--out", sig,
                                  "--pin", "Pin-123"},
                                 false, presses));
    EXPECT_NE(std::string::npos, err_.str().find("the button was not pressed within 6 s")) << err_.str();
    EXPECT_NE(std::string::npos, out_.str().find("6 5 4 3 2 1")) << out_.str();
    EXPECT_FALSE(platform::read_file(sig));
}

TEST_F(QxTokenTransaction, RefusedCommandLines) {
    const std::string text = dir_ + "t.txt";
    write_text(text, "x");
    ASSERT_EQ(0, run({"container", "create", "c", "--type", "rsa", "--pin", "Pin-123"})) << err_.str();
    ASSERT_EQ(0, run({"keys", "generate", "--container", "c", "--type", "rsa1024", "--pin", "Pin-123"}));
    const std::vector<std::string> sign = {"transaction", "sign", "--container", "c", "--in", text, "--out", "s"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), sign.begin(), sign.end());
        return more;
    };
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* message;
    } cases[] = {
        {{"transaction", "verify"}, 2, "unknown transaction command 'verify'"},
        {with({"--hash", "sm3", "--pin", "Pin-123"}), 2, "RSA keys sign transactions with --hash sha1 or sha256"},
        {with({"--exchange", "--pin", "Pin-123"}), 1, "container 'c' has no such key pair"},
        {with({"--pin", "Wrong-99"}), 1, "verifying the user PIN failed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.exit, run(c.args)) << c.message;
        EXPECT_NE(std::string::npos, err_.str().find(c.message)) << err_.str();
    }
}

}  // namespace
}  // namespace qx::kernel::test
