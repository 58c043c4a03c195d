// The QXTokenKernel module as callers load it: attach, initialisation with
// and without its sibling libraries, the load counter across processes, and
// the frame exports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "QXTokenKernel.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "support/kernel_fixture.h"
#include "tests/support/qx_test_main.h"

namespace qx::kernel::test {
namespace {

void copy_file(const std::string& from, const std::string& to) {
    auto bytes = platform::read_file(from);
    ASSERT_TRUE(bytes.has_value()) << from;
    write_bytes(to, *bytes);
}

// A kernel installation in its own directory: the kernel, optionally its
// siblings, and a Config.ini that traces every line to a log file.
std::string install(const std::string& name, bool withSoftAlg, int debug = 256, bool withDevice = true) {
    std::string dir = scratch_directory(name);
    const std::string bin = binary_directory();
    copy_file(bin + platform::module_file_name("QXTokenKernel"), dir + platform::module_file_name("QXTokenKernel"));
    if (withDevice)
        copy_file(bin + platform::module_file_name("QXDeviceFake"), dir + platform::module_file_name("QXDevice"));
    if (withSoftAlg)
        copy_file(bin + platform::module_file_name("QXSoftAlg"), dir + platform::module_file_name("QXSoftAlg"));
    write_bytes(dir + "Config.ini", plain_ini("[QXTokenInfo]\r\nCSPName = Module Test " + name +
                                              "\r\nDebug = " + std::to_string(debug) + "\r\nLogFile = " + dir +
                                              "trace.log\r\n"));
    return dir;
}

// Loads the installed kernel, reports InitQXToken's status of a second call
// through the exit code, and waits for the parent when asked to.
QX_TEST_CHILD(load_kernel) {
    platform::Module kernel(args.at(0) + platform::module_file_name("QXTokenKernel"));
    if (!kernel) return 100;
    if (args.size() > 1) {
        // Hold the kernel until the parent removes the flag file.
        while (platform::file_exists(args[1])) platform::sleep_ms(20);
    }
    return 0;
}

TEST(KernelModule, LoadsAndInitialisesNextToItsSiblings) {
    const std::string dir = install("full", true);
    platform::Module kernel(dir + platform::module_file_name("QXTokenKernel"));
    ASSERT_TRUE(kernel) << platform::last_module_error();
    auto init = kernel.function<PFN_InitQXToken>("InitQXToken");
    auto release = kernel.function<PFN_FreeQXToken>("FreeQXToken");
    auto provider = kernel.function<PFN_QXToken_GetProviderName>("QXToken_GetProviderName");
    auto traceFn = kernel.function<PFN_QXToken_DebugTrace>("QXToken_DebugTrace");
    ASSERT_TRUE(init && release && provider && traceFn);

    char name[64];
    uint32_t length = 0;
    EXPECT_EQ(ERR_OK, provider(nullptr, &length));
    EXPECT_EQ(sizeof "Module Test full", length);
    length = 4;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, provider(name, &length));
    EXPECT_EQ(sizeof "Module Test full", length);
    length = sizeof name;
    EXPECT_EQ(ERR_OK, provider(name, &length));
    EXPECT_STREQ("Module Test full", name);
    EXPECT_EQ(ERR_INVALID_PARAM, provider(name, nullptr));

    traceFn(256, "token", 12, "from the caller %s %d", "text", 5);
    EXPECT_NE(std::string::npos, log_text(dir + "trace.log").find(" token(12): Process("));
    EXPECT_NE(std::string::npos, log_text(dir + "trace.log").find("-->from the caller text 5\n"));

    // Callers may run the sequence again themselves.
    EXPECT_EQ(ERR_OK, release());
    EXPECT_EQ(ERR_OK, init());
}

TEST(KernelModule, InitialisationFailsWithoutSoftAlgButTheLibraryLoads) {
    const std::string dir = install("nosoftalg", false);
    platform::Module kernel(dir + platform::module_file_name("QXTokenKernel"));
    ASSERT_TRUE(kernel) << platform::last_module_error();
    auto init = kernel.function<PFN_InitQXToken>("InitQXToken");
    ASSERT_TRUE(init);
    EXPECT_EQ(ERR_LIBRARY_LOAD, init());
    auto release = kernel.function<PFN_FreeQXToken>("FreeQXToken");
    EXPECT_EQ(ERR_OK, release());
}

TEST(KernelModule, InitialisationFailsWithoutTheTransportLibrary) {
    const std::string dir = install("nodevice", true, 256, false);
    platform::Module kernel(dir + platform::module_file_name("QXTokenKernel"));
    ASSERT_TRUE(kernel) << platform::last_module_error();
    auto init = kernel.function<PFN_InitQXToken>("InitQXToken");
    ASSERT_TRUE(init);
    EXPECT_EQ(ERR_LIBRARY_LOAD, init());
    // Nothing else was initialised: no process was counted in.
    EXPECT_EQ(std::string::npos, log_text(dir + "trace.log").find("load count"));
}

TEST(KernelModule, LoadCounterCountsEveryProcess) {
    const std::string dir = install("counter", true);
    const std::string flag = dir + "hold.flag";
    write_text(flag, "x");
    platform::Module kernel(dir + platform::module_file_name("QXTokenKernel"));
    ASSERT_TRUE(kernel);
    auto child = platform::ChildProcess::spawn(qx::test::child_command("load_kernel", {dir, flag}));
    ASSERT_TRUE(child);
    // Each initialisation writes the count it reached to the shared trace.
    auto count_lines = [&] {
        std::vector<int> counts;
        const std::string text = log_text(dir + "trace.log");
        const std::string tag = "-->InitQXToken: load count ";
        for (auto at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
            counts.push_back(std::atoi(text.c_str() + at + tag.size()));
        return counts;
    };
    for (int i = 0; i < 500 && count_lines().size() < 2; ++i) platform::sleep_ms(20);
    auto counts = count_lines();
    platform::remove_file(flag);
    EXPECT_EQ(0, child->wait());
    ASSERT_EQ(2u, counts.size());
    EXPECT_GE(counts[0], 1);
    EXPECT_EQ(counts[0] + 1, counts[1]);
    // With the child gone, the next process reaches the same count again.
    auto again = platform::ChildProcess::spawn(qx::test::child_command("load_kernel", {dir}));
    ASSERT_TRUE(again);
    EXPECT_EQ(0, again->wait());
    counts = count_lines();
    ASSERT_EQ(3u, counts.size());
    EXPECT_EQ(counts[1], counts[2]);
}

}  // namespace
}  // namespace qx::kernel::test
