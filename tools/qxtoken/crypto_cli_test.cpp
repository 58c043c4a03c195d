// qxtoken random, digest, encrypt and decrypt on a fresh virtual token.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "qx/platform/file_io.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

class QxTokenCrypto : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        dir_ = install_kernel("qcrypto", kChannelWords);
        kernel_ = std::make_unique<qxtoken::KernelApi>(dir_);
        ASSERT_EQ("", kernel_->missing);
        create_blank_token("qcrypto");
        ASSERT_EQ(0, run({"init", "--user-pin", "123456", "--so-pin", "87654321"})) << err_.str();
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

TEST_F(QxTokenCrypto, RandomDigestAndASessionKeyBothWays) {
    const std::string plain = dir_ + "plain.bin", sealed = dir_ + "sealed.bin", back = dir_ + "back.bin";
    write_text(plain, "abc");
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;  // the start of the output
    } cases[] = {
        {{"digest", plain}, 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  " + plain},
        {{"digest", "--alg", "sha1", "--on-token", plain}, 0, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {{"digest", "--alg", "sm3", "--on-token", plain}, 0,
         "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
        {{"digest", "--alg", "md5", plain}, 2, ""},
        {{"digest", dir_ + "missing.bin"}, 1, ""},
        {{"random", "0"}, 2, ""},
        {{"encrypt", "--alg", "aes", "--key-hex", "000102030405060708090a0b0c0d0e0f", "--iv-hex",
          "0f0e0d0c0b0a09080706050403020100", plain, sealed},
         0, "enciphered 3 bytes into 16"},
        {{"decrypt", "--alg", "aes", "--key-hex", "000102030405060708090a0b0c0d0e0f", "--iv-hex",
          "0f0e0d0c0b0a09080706050403020100", sealed, back},
         0, "deciphered 16 bytes into 3"},
        {{"encrypt", "--alg", "aes", "--key-hex", "0001", plain, sealed}, 1, ""},
        {{"encrypt", "--alg", "rot13", "--key-hex", "00", plain, sealed}, 2, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.exit, run(c.args)) << c.args[0] << " " << err_.str();
        EXPECT_EQ(c.out, out_.str().substr(0, c.out.size())) << c.args[0];
    }
    EXPECT_EQ("abc", read_text(back));
    // The AES result is the reference CBC of "abc" and its PKCS #7 padding.
    const auto sealedBytes = platform::read_file(sealed);
    ASSERT_TRUE(sealedBytes);
    uint8_t key[16], iv[16], block[16] = {'a', 'b', 'c'}, want[32];
    for (int i = 0; i < 16; ++i) key[i] = uint8_t(i), iv[i] = uint8_t(15 - i);
    for (int i = 3; i < 16; ++i) block[i] = 13;
    int n = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, want, &n, block, 16);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(std::vector<uint8_t>(want, want + 16), *sealedBytes);

    // The token's own cipher, and random bytes of both sources.
    ASSERT_EQ(0, run({"encrypt", "--alg", "token-0x500", "--key-hex", "00112233445566778899aabbccddeeff", plain, sealed}))
        << err_.str();
    ASSERT_EQ(0, run({"decrypt", "--alg", "token-0x500", "--key-hex", "00112233445566778899aabbccddeeff", sealed, back}))
        << err_.str();
    EXPECT_EQ("abc", read_text(back));
    ASSERT_EQ(0, run({"random", "--on-token", "21"})) << err_.str();
    EXPECT_EQ(43u, out_.str().size());
    ASSERT_EQ(0, run({"random", "5"})) << err_.str();
    EXPECT_EQ(11u, out_.str().size());
}

}  // namespace
}  // namespace qx::kernel::test
