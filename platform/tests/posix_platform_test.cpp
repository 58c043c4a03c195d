// Behaviour that only the POSIX implementations promise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "qx/platform/load_counter.h"
#include "qx/platform/process.h"
#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

using namespace qx::platform;

QX_TEST_CHILD(counter_sleeper) {
    load_counter_increment(args.at(0));
    auto shm = SharedMemory::open(args.at(1), 4);
    if (!shm) return 2;
    *static_cast<volatile int*>(shm->data()) = 1;
    for (;;) sleep_ms(100);
}

TEST(PosixLoadCounter, ForgetsProcessesThatDied) {
    const std::string cname = "qxposix_dead_" + std::to_string(process_id());
    const std::string sname = cname + "_flag";
    auto shm = SharedMemory::open(sname, 4);
    ASSERT_TRUE(shm);
    EXPECT_EQ(load_counter_increment(cname), 1);
    auto child = ChildProcess::spawn(qx::test::child_command("counter_sleeper", {cname, sname}));
    ASSERT_TRUE(child);
    for (int i = 0; i < 2000 && *static_cast<volatile int*>(shm->data()) == 0; ++i) sleep_ms(5);
    EXPECT_EQ(load_counter_value(cname), 2);
    child->kill();
    child->wait();
    EXPECT_EQ(load_counter_value(cname), 1);
    EXPECT_EQ(load_counter_decrement(cname), 0);
}

TEST(PosixSystem, RemoteDesktopSessionsAreRecognised) {
    unsetenv("XRDP_SESSION");
    unsetenv("VNCDESKTOP");
    EXPECT_FALSE(is_remote_session());
    setenv("XRDP_SESSION", "1", 1);
    EXPECT_TRUE(is_remote_session());
    unsetenv("XRDP_SESSION");
    setenv("VNCDESKTOP", "host:1", 1);
    EXPECT_TRUE(is_remote_session());
    unsetenv("VNCDESKTOP");
}

TEST(PosixSystem, DebugOutputGoesWhereTheEnvironmentSays) {
    const std::string path = temp_directory() + "/qx_debug_" + std::to_string(process_id()) + ".txt";
    std::remove(path.c_str());
    unsetenv("QX_DEBUG_OUTPUT");
    debug_output("dropped\n");
    setenv("QX_DEBUG_OUTPUT", path.c_str(), 1);
    set_last_error(77);
    debug_output("TOKEN: DLL_PROCESS_ATTACH");
    debug_output("\n");
    EXPECT_EQ(last_error(), 77u);
    unsetenv("QX_DEBUG_OUTPUT");
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "TOKEN: DLL_PROCESS_ATTACH\n");
    std::remove(path.c_str());
}
