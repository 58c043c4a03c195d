// qxtoken refuses a PIN it is asked to set when the PIN rules (the [PIN]
// policy beside the kernel, the token's length range) or the token's 2 to
// 128 bytes forbid it, before the PIN reaches the token.
#include <gtest/gtest.h>

#include <sstream>

#include "cli.h"
#include "pin_check.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

class QxTokenPinRules : public ::testing::Test {
protected:
    void install(const std::string& pinConfig) {
        clear_tokens();
        name_ = "qp" + std::to_string(++counter_);
        dir_ = install_kernel(name_, kChannelWords, pinConfig);
        kernel_ = std::make_unique<qxtoken::KernelApi>(dir_);
        ASSERT_TRUE(kernel_->module);
        create_blank_token(name_);
    }
    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        qxtoken::Io io{out_, err_, [](const std::string&, std::string&) { return false; }};
        return qxtoken::run(args, *kernel_, io);
    }

    static int counter_;
    std::string name_, dir_;
    std::unique_ptr<qxtoken::KernelApi> kernel_;
    std::ostringstream out_, err_;
};
int QxTokenPinRules::counter_ = 0;

const std::string k200(200, '7');

TEST_F(QxTokenPinRules, InitialisationRefusesPinsBeforeTouchingTheToken) {
    struct Case {
        const char* what;
        std::string pinConfig;
        std::vector<std::string> args;
        const char* message;  // null: accepted
    };
    const Case cases[] = {
        {"one-character user PIN", "", {"init", "--user-pin", "1"}, "the user PIN must have 6 to 8 characters"},
        {"200-character user PIN", "", {"init", "--user-pin", k200}, "the user PIN must have 6 to 8 characters"},
        {"short SO PIN", "", {"init", "--so-pin", "12345"}, "the SO PIN must have 6 to 8 characters"},
        {"a configured range", "MinPinLen = 2\r\nMaxPinLen = 12\r\n", {"init", "--user-pin", "1"},
         "the user PIN must have 2 to 12 characters"},
        {"range allows 1, the token does not", "MinPinLen = 1\r\nMaxPinLen = 12\r\n", {"init", "--user-pin", "1"},
         "the user PIN must have 2 to 128 bytes"},
        {"digit required", "RequireDigit = 1\r\n", {"init", "--user-pin", "abcdefg"}, "must contain a digit"},
        {"letters forbidden", "RequireAlphabetic = 0\r\n", {"init", "--user-pin", "abc123"}, "must not contain letters"},
        {"complexity", "RequireComplex = 1\r\n", {"init", "--user-pin", "123456"}, "is too simple"},
        {"a PIN that passes", "RequireDigit = 1\r\nRequireComplex = 1\r\n", {"init", "--user-pin", "382915"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        install(c.pinConfig);
        if (c.message) {
            EXPECT_EQ(1, run(c.args));
            EXPECT_NE(std::string::npos, err_.str().find(c.message)) << err_.str();
            EXPECT_NE(std::string::npos, err_.str().find("nothing was sent to the token")) << err_.str();
            // The token is still blank.
            EXPECT_EQ(1, run({"info"}));
            EXPECT_NE(std::string::npos, err_.str().find("ERR_FILE_NOT_FOUND")) << err_.str();
        } else {
            EXPECT_EQ(0, run(c.args)) << err_.str();
        }
    }
}

TEST_F(QxTokenPinRules, ChangeAndUnblockUseTheTokensLengthRange) {
    install("");
    ASSERT_EQ(0, run({"init", "--user-pin", "123456", "--so-pin", "87654321"})) << err_.str();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"pin", "change", "--old", "123456", "--new", k200}, "the new user PIN must have 6 to 8 characters"},
        {{"pin", "change", "--old", "123456", "--new", "1"}, "the new user PIN must have 6 to 8 characters"},
        {{"pin", "change", "--so", "--old", "87654321", "--new", "123456789"}, "the new SO PIN must have 6 to 8"},
        {{"pin", "unlock", "--so-pin", "87654321", "--new", k200}, "the new user PIN must have 6 to 8 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(1, run(c.args));
        EXPECT_NE(std::string::npos, err_.str().find(c.message)) << err_.str();
    }
    // Nothing reached the token: the PINs and their tries are as they were.
    EXPECT_EQ(0, run({"pin", "retries"}));
    EXPECT_EQ("user PIN: 10 tries left\nSO PIN:   15 tries left\n", out_.str());
    EXPECT_EQ(0, run({"pin", "change", "--old", "123456", "--new", "24680135"})) << err_.str();
    EXPECT_EQ(0, run({"pin", "verify", "--pin", "24680135"})) << err_.str();
}

TEST(QxTokenPinRange, TheRecordDecidesUnlessItIsNonsense) {
    struct Case {
        uint32_t min, max;
        int32_t wantMin, wantMax;
    };
    const Case cases[] = {
        {4, 12, 4, 12},
        {6, 8, 6, 8},
        {0, 8, 6, 8},                    // no sensible record: initialisation's range
        {8, 6, 6, 8},
        {0xFFFFFFFF, 0xFFFFFFFF, 6, 8},
        {2, 200, 6, 8},                  // beyond what the token takes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.min) + ".." + std::to_string(c.max));
        // A directory without Config.ini: the kernel's defaults, no character rules.
        const qxtoken::NewPinRules r = qxtoken::rules_for_token("/nonexistent-qx-dir/", c.min, c.max);
        EXPECT_EQ(c.wantMin, r.policy.minPinLen);
        EXPECT_EQ(c.wantMax, r.policy.maxPinLen);
        EXPECT_EQ(-1, r.policy.requireDigit);
        EXPECT_EQ(-1, r.policy.requireComplex);
    }
}

}  // namespace
}  // namespace qx::kernel::test
