// The qxtoken command line on fresh virtual tokens: every command with its
// output, the PIN prompts, the errors by name, and the program itself as a
// child process.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

using qxtoken::KernelApi;

class QxTokenTool : public ::testing::Test {
protected:
    void SetUp() override {
        clear_tokens();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        name_ = std::string("qt") + std::to_string(++counter_);
        dir_ = install_kernel(name_, kChannelWords);
        // The program beside the kernel, as an installation has it.
        auto exe = platform::read_file(binary_directory() + "qxtoken" + exe_suffix());
        ASSERT_TRUE(exe.has_value());
        write_bytes(dir_ + "qxtoken" + exe_suffix(), *exe);
        std::filesystem::permissions(dir_ + "qxtoken" + exe_suffix(), std::filesystem::perms::owner_exec,
                                     std::filesystem::perm_options::add);
        (void)info;
        kernel_ = std::make_unique<KernelApi>(dir_);
        ASSERT_TRUE(kernel_->module);
        ASSERT_EQ("", kernel_->missing);
    }
    static std::string exe_suffix() {
        const std::string self = platform::executable_path();
        return self.size() > 4 && self.substr(self.size() - 4) == ".exe" ? ".exe" : "";
    }
    // Runs a command line; `answers` feed the PIN prompts.
    int run(const std::vector<std::string>& args, std::deque<std::string> answers = {}) {
        out_.str("");
        err_.str("");
        prompts_.clear();
        qxtoken::Io io{out_, err_, [&](const std::string& prompt, std::string& secret) {
                           prompts_.push_back(prompt);
                           if (answers.empty()) return false;
                           secret = answers.front();
                           answers.pop_front();
                           return true;
                       }};
        return qxtoken::run(args, *kernel_, io);
    }

    static int counter_;
    std::string name_, dir_;
    std::unique_ptr<KernelApi> kernel_;
    std::ostringstream out_, err_;
    std::vector<std::string> prompts_;
};
int QxTokenTool::counter_ = 0;

TEST_F(QxTokenTool, ListsInitialisesAndShowsTheToken) {
    EXPECT_EQ(0, run({"list"}));
    EXPECT_EQ("no token is plugged in\n", out_.str());
    const std::string device = create_blank_token(name_ + "a");
    EXPECT_EQ(0, run({"list"}));
    EXPECT_EQ(device + "\n", out_.str());

    EXPECT_EQ(1, run({"info"}));
    EXPECT_NE(std::string::npos, err_.str().find("ERR_FILE_NOT_FOUND (0x6022)")) << err_.str();
    EXPECT_NE(std::string::npos, err_.str().find("qxtoken init")) << err_.str();

    ASSERT_EQ(0, run({"init"})) << err_.str();
    EXPECT_NE(std::string::npos, out_.str().find("qxtoken pin change"));
    ASSERT_EQ(0, run({"info"})) << err_.str();
    const std::string info = out_.str();
    EXPECT_NE(std::string::npos, info.find("Device:         " + device + "\n")) << info;
    EXPECT_NE(std::string::npos, info.find("Label:          QXUSBKey\n")) << info;
    EXPECT_NE(std::string::npos, info.find("Manufacturer:   Quorvantix Co.,Ltd.\n")) << info;
    EXPECT_NE(std::string::npos, info.find("Flags:          0x88060D (user PIN is the default and must be changed, SO PIN is the default)")) << info;
    EXPECT_NE(std::string::npos, info.find("User PIN:       10 tries left\n")) << info;
    EXPECT_NE(std::string::npos, info.find("SO PIN:         15 tries left\n")) << info;

    // Several tokens: one must be named.
    create_blank_token(name_ + "b");
    EXPECT_EQ(1, run({"serial"}));
    EXPECT_NE(std::string::npos, err_.str().find("--token")) << err_.str();
    EXPECT_EQ(0, run({"--token", name_ + "a", "serial"})) << err_.str();
    EXPECT_EQ(13u, out_.str().size());
    EXPECT_EQ(0, run({"--token", device, "label", "get"})) << err_.str();
    EXPECT_EQ("QXUSBKey\n", out_.str());
    EXPECT_EQ(1, run({"--token", "nosuch", "info"}));
    EXPECT_NE(std::string::npos, err_.str().find("no token named 'nosuch'")) << err_.str();
}

TEST_F(QxTokenTool, PinCommandsAskWithoutEchoAndNameTheirErrors) {
    create_blank_token(name_);
    ASSERT_EQ(0, run({"init", "--label", "Mine", "--so-pin", "87654321"})) << err_.str();
    // The default PIN must be changed first.
    EXPECT_EQ(1, run({"pin", "verify"}, {"314159"}));
    EXPECT_EQ(std::vector<std::string>{"User PIN: "}, prompts_);
    EXPECT_NE(std::string::npos, err_.str().find("ERR_PIN_MUST_CHANGE (0x6019)")) << err_.str();

    // Asked for: the current PIN, the new one twice; a mismatch changes nothing.
    EXPECT_EQ(1, run({"pin", "change"}, {"314159", "24680135", "24680136"}));
    EXPECT_NE(std::string::npos, err_.str().find("differ")) << err_.str();
    ASSERT_EQ(0, run({"pin", "change"}, {"314159", "24680135", "24680135"})) << err_.str();
    EXPECT_EQ((std::vector<std::string>{"Current user PIN: ", "New user PIN: ", "Repeat the new user PIN: "}), prompts_);
    EXPECT_EQ(0, run({"pin", "verify"}, {"24680135"})) << err_.str();
    EXPECT_EQ("the user PIN is correct\n", out_.str());

    EXPECT_EQ(1, run({"pin", "verify", "--pin", "000000"}));
    EXPECT_NE(std::string::npos, err_.str().find("ERR_PIN_INCORRECT (0x6015), 9 tries left")) << err_.str();
    EXPECT_EQ(0, run({"pin", "retries"}));
    EXPECT_EQ("user PIN: 9 tries left\nSO PIN:   15 tries left\n", out_.str());
    EXPECT_EQ(1, run({"pin", "verify"}));  // no PIN at all
    EXPECT_NE(std::string::npos, err_.str().find("no User PIN given")) << err_.str();

    EXPECT_EQ(0, run({"pin", "verify", "--so", "--pin", "87654321"})) << err_.str();
    EXPECT_EQ(0, run({"pin", "unlock", "--so-pin", "87654321", "--new", "13572468"})) << err_.str();
    EXPECT_EQ(0, run({"pin", "verify", "--pin", "13572468"})) << err_.str();
    EXPECT_EQ(0, run({"pin", "status"}));
    EXPECT_EQ("0x60D (PINs set)\n", out_.str());

    EXPECT_EQ(0, run({"label", "get"}));
    EXPECT_EQ("Mine\n", out_.str());
    EXPECT_EQ(0, run({"label", "set", "Zweite"}));
    EXPECT_EQ(0, run({"label", "get"}));
    EXPECT_EQ("Zweite\n", out_.str());
    EXPECT_EQ(2, run({"label", "set", "Thirteen char"}));
    EXPECT_EQ(2, run({"pin", "verify", "--pin"}));
    EXPECT_EQ(2, run({"pin", "frobnicate"}));
    EXPECT_EQ(2, run({}));
    EXPECT_EQ(0, run({"--help"}));
    EXPECT_NE(std::string::npos, out_.str().find("usage: qxtoken"));
}

TEST_F(QxTokenTool, StatusNames) {
    EXPECT_EQ("ERR_PIN_INCORRECT (0x6015)", qxtoken::describe_status(0x6015));
    EXPECT_EQ("ERR_COMMAND_FAILED (0xFFFFFFFF)", qxtoken::describe_status(0xFFFFFFFF));
    EXPECT_EQ("status 0x1234", qxtoken::describe_status(0x1234));
}

TEST_F(QxTokenTool, TheProgramRunsBesideItsKernel) {
    create_blank_token(name_);
    auto runProgram = [&](std::vector<std::string> args) {
        args.insert(args.begin(), dir_ + "qxtoken" + exe_suffix());
        auto child = platform::ChildProcess::spawn(args);
        if (!child) return -1;
        return child->wait();
    };
    EXPECT_EQ(0, runProgram({"init", "--user-pin", "123456", "--so-pin", "87654321", "--label", "Child"}));
    EXPECT_EQ(0, runProgram({"pin", "verify", "--pin", "123456"}));
    EXPECT_EQ(1, runProgram({"pin", "verify", "--pin", "654321"}));
    EXPECT_EQ(2, runProgram({"nonsense"}));
    // What the program did is on the token.
    EXPECT_EQ(0, run({"label", "get"}));
    EXPECT_EQ("Child\n", out_.str());
    EXPECT_EQ(0, run({"pin", "retries"}));
    EXPECT_EQ("user PIN: 9 tries left\nSO PIN:   15 tries left\n", out_.str());
}

}  // namespace
}  // namespace qx::kernel::test
