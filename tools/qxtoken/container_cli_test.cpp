// qxtoken container commands on a fresh virtual token: listing (plain and
// JSON), creating with a type, deleting, and the errors by name.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

class QxTokenContainers : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        name_ = std::string("qc") + std::to_string(++counter_);
        kernel_ = std::make_unique<qxtoken::KernelApi>(install_kernel(name_, kChannelWords));
        ASSERT_TRUE(kernel_->module);
        ASSERT_EQ("", kernel_->missing);
        create_blank_token(name_);
        ASSERT_EQ(0, run({"init", "--user-pin", "123456", "--so-pin", "87654321"})) << err_.str();
    }
    int run(const std::vector<std::string>& args, std::deque<std::string> answers = {}) {
        out_.str("");
        err_.str("");
        qxtoken::Io io{out_, err_, [&](const std::string&, std::string& secret) {
                           if (answers.empty()) return false;
                           secret = answers.front();
                           answers.pop_front();
                           return true;
                       }};
        return qxtoken::run(args, *kernel_, io);
    }

    static int counter_;
    std::string name_;
    std::unique_ptr<qxtoken::KernelApi> kernel_;
    std::ostringstream out_, err_;
};
int QxTokenContainers::counter_ = 0;

TEST_F(QxTokenContainers, CreateListDelete) {
    EXPECT_EQ(0, run({"container", "list"})) << err_.str();
    EXPECT_EQ("no container on the token\n", out_.str());
    EXPECT_EQ(0, run({"container", "list", "--json"})) << err_.str();
    EXPECT_EQ("[]\n", out_.str());

    ASSERT_EQ(0, run({"container", "create", "first", "--pin", "123456"})) << err_.str();
    EXPECT_EQ("created container first\n", out_.str());
    ASSERT_EQ(0, run({"container", "create", "sec\"ond", "--type", "sm2"}, {"123456"})) << err_.str();
    EXPECT_EQ(0, run({"container", "list"})) << err_.str();
    EXPECT_EQ("first  type rsa, status 1\nsec\"ond  type sm2, status 1\n", out_.str());
    EXPECT_EQ(0, run({"container", "list", "--json"})) << err_.str();
    EXPECT_EQ("[{\"name\": \"first\", \"type\": \"rsa\", \"status\": 1},\n"
              " {\"name\": \"sec\\\"ond\", \"type\": \"sm2\", \"status\": 1}]\n",
              out_.str());

    ASSERT_EQ(0, run({"container", "delete", "first", "--pin", "123456"})) << err_.str();
    EXPECT_EQ(0, run({"container", "list"})) << err_.str();
    EXPECT_EQ("sec\"ond  type sm2, status 1\n", out_.str());
}

TEST_F(QxTokenContainers, FailuresAreNamedAndBadLinesRefused) {
    ASSERT_EQ(0, run({"container", "create", "box", "--pin", "123456"})) << err_.str();
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* message;
    };
    const Case cases[] = {
        {{"container", "create", "box", "--pin", "123456"}, 1, "ERR_CONTAINER_EXISTS (0x6008)"},
        {{"container", "delete", "nobody", "--pin", "123456"}, 1, "ERR_CONTAINER_NOT_FOUND (0x6007)"},
        {{"container", "create", "other", "--pin", "999999"}, 1, "ERR_PIN_INCORRECT (0x6015)"},
        {{"container", "create", std::string(260, 'n'), "--pin", "123456"}, 1, "ERR_INVALID_PARAM (0x13)"},
        {{"container", "create", "other"}, 1, "no User PIN given"},
        {{"container", "create", "other", "--type", "dsa"}, 2, "--type takes rsa or sm2"},
        {{"container", "create"}, 2, "missing container name"},
        {{"container", "list", "extra"}, 2, "unexpected argument 'extra'"},
        {{"container", "rename"}, 2, "unknown container command 'rename'"},
        {{"container"}, 2, "missing container command"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.exit, run(c.args)) << c.message;
        EXPECT_NE(std::string::npos, err_.str().find(c.message)) << err_.str();
    }
    EXPECT_EQ(0, run({"container", "list"})) << err_.str();
    EXPECT_EQ("box  type rsa, status 1\n", out_.str());
}

}  // namespace
}  // namespace qx::kernel::test
