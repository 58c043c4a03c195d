// The trace: masks, line formats, live configuration and the last error.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "QXTokenStatus.h"

#include "core/apdu.h"
#include "core/kernel_state.h"
#include "core/trace.h"
#include "qx/platform/system.h"
#include "support/kernel_fixture.h"
#include "support/scripted_transport.h"

namespace qx::kernel::test {
namespace {

class TraceTest : public KernelTest {
protected:
    void configure(int debug, bool toFile = true, int dezo = 0) {
        std::string text = "[QXTokenInfo]\r\nDebug = " + std::to_string(debug) + "\r\n";
        if (toFile) text += "LogFile = " + log() + "\r\n";
        text += "IsDEZORivov = " + std::to_string(dezo) + "\r\n";
        write_config(text);
    }
    std::string log() const { return dir_ + "trace.log"; }
    std::string lines() const { return log_text(log()); }
};

TEST_F(TraceTest, LineFormatInTheLogFile) {
    configure(256);
    trace(256, "QXTokenKernel", 42, "Enter %s", "QXToken_GetTokenLabel");
    const std::string pid = std::to_string(platform::process_id());
    const std::string tid = std::to_string(platform::thread_id());
    std::regex line("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2} QXTokenKernel\\(42\\): Process\\(" + pid +
                    "\\)_Thread\\(" + tid + "\\)-->Enter QXToken_GetTokenLabel\n$");
    EXPECT_TRUE(std::regex_match(lines(), line)) << lines();
}

TEST_F(TraceTest, MasksSelectTheLines) {
    configure(2048);
    trace(256, "token", 1, "calls");
    trace(1024, " ", 2, "transport");
    trace(2048, "QuorvaAPDU", 3, "apdu");
    const std::string text = lines();
    EXPECT_EQ(std::string::npos, text.find("calls"));
    EXPECT_EQ(std::string::npos, text.find("transport"));
    EXPECT_NE(std::string::npos, text.find("QuorvaAPDU(3)"));

    configure(0);
    trace(0xFFFFFFFF, "token", 4, "nothing at all");
    EXPECT_EQ(std::string::npos, lines().find("nothing"));

    configure(256 | 1024);
    trace(1024, " ", 5, "$$$$$$$$m_pDevice->QXTransmitAPDU ret=%x", 0x1001u);
    EXPECT_NE(std::string::npos, lines().find("  (5): Process(")) << lines();
    EXPECT_NE(std::string::npos, lines().find("-->$$$$$$$$m_pDevice->QXTransmitAPDU ret=1001\n"));
}

TEST_F(TraceTest, ChangesTakeEffectAtTheNextCall) {
    configure(0);
    trace(256, "token", 1, "first");
    configure(256);
    trace(256, "token", 2, "second");
    std::string other = dir_ + "other.log";
    write_config("[QXTokenInfo]\r\nDebug = 256\r\nLogFile = " + other + "\r\n");
    trace(256, "token", 3, "third");
    EXPECT_EQ(std::string::npos, lines().find("first"));
    EXPECT_NE(std::string::npos, lines().find("second"));
    EXPECT_EQ(std::string::npos, lines().find("third"));
    EXPECT_NE(std::string::npos, read_text(other).find("third"));
}

TEST_F(TraceTest, DebuggerOutputLineEndsWithCrLf) {
    configure(256, false);
    const std::string out = dir_ + "debugger.txt";
    // POSIX debugger output goes to the file named by QX_DEBUG_OUTPUT.
    if (platform::environment("QX_DEBUG_OUTPUT").empty()) {
#ifdef _WIN32
        GTEST_SKIP() << "the debugger output is not readable here";
#else
        setenv("QX_DEBUG_OUTPUT", out.c_str(), 1);
#endif
    }
    trace(256, "token", 7, "to the debugger %d", 1);
    std::string text = read_text(out);
#ifndef _WIN32
    unsetenv("QX_DEBUG_OUTPUT");
#endif
    EXPECT_NE(std::string::npos, text.find(" token(7): Process(")) << text;
    EXPECT_NE(std::string::npos, text.find("-->to the debugger 1\r\n")) << text;
    // A message that fills its buffer still ends the line.
    std::string huge(5000, 'm');
#ifndef _WIN32
    setenv("QX_DEBUG_OUTPUT", out.c_str(), 1);
#endif
    trace(256, "token", 8, "%s", huge.c_str());
#ifndef _WIN32
    unsetenv("QX_DEBUG_OUTPUT");
#endif
    text = read_text(out);
    EXPECT_NE(std::string::npos, text.find("mmm\r\n"));
}

TEST_F(TraceTest, LastErrorSurvivesTheTrace) {
    configure(256);
    platform::set_last_error(1234);
    trace(256, "token", 1, "with a line");
    EXPECT_EQ(1234u, platform::last_error());
    platform::set_last_error(4321);
    trace(2048, "token", 1, "without a line");
    EXPECT_EQ(4321u, platform::last_error());
    std::remove((dir_ + "Config.ini").c_str());
    platform::set_last_error(77);
    trace(256, "token", 1, "no configuration");
    EXPECT_EQ(77u, platform::last_error());
}

TEST_F(TraceTest, UnwritableLogFileDropsTheLine) {
    write_config("[QXTokenInfo]\r\nDebug = 256\r\nLogFile = " + dir_ + "missing/dir/trace.log\r\n");
    trace(256, "token", 1, "dropped");
    SUCCEED();
}

TEST_F(TraceTest, ApduTrafficIsTracedInHexadecimalUnlessDezo) {
    configure(2048);
    KernelConfig config;
    use_config(config);
    ScriptedTransport dev;
    dev.expect("00 A4 00 00 02 3F 01", "01 02 90 00");
    ApduChannel channel(&dev);
    ApduResponse r;
    ASSERT_EQ(ERR_OK, channel.transmit(H("00 A4 00 00 02 3F 01"), r));
    std::string text = lines();
    EXPECT_NE(std::string::npos, text.find("QuorvaAPDU(")) << text;
    EXPECT_NE(std::string::npos, text.find("-->APDU:00A40000023F01\n")) << text;
    EXPECT_NE(std::string::npos, text.find("-->\t\t\tAPDU RESP:0102,RET:0x9000\n")) << text;

    // Secret commands show only their header.
    dev.expect("00 20 00 02 04 31 32 33 34", "90 00");
    ASSERT_EQ(ERR_OK, channel.transmit(H("00 20 00 02 04 31 32 33 34"), r, Visibility::Secret));
    EXPECT_EQ(std::string::npos, lines().find("31323334"));
    EXPECT_NE(std::string::npos, lines().find("APDU:00200002\n"));

    write_text(log(), "");
    config.isDezoRivov = 1;
    use_config(config);
    dev.expect("00 A4 00 00 02 3F 01", "90 00");
    ASSERT_EQ(ERR_OK, channel.transmit(H("00 A4 00 00 02 3F 01"), r));
    EXPECT_EQ("", lines());
}

}  // namespace
}  // namespace qx::kernel::test
