// The POSIX monitor as installed, with the real kernel and virtual tokens, in
// real processes: another process sees plugging and unplugging in the slot
// list and its own change word; a second start hands over; "-q" ends it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "instance_record.h"
#include "qx/platform/process.h"
#include "qx/platform/system.h"
#include "shm/p11_slot_area.h"
#include "startup.h"
#include "tests/support/qx_test_main.h"

namespace qx::manager {
namespace {

namespace fs = std::filesystem;

class MonitorProcess : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> n{0};
        const std::string id = std::to_string(platform::process_id()) + "-" + std::to_string(n++);
        bin = fs::path(qx::test::self_path()).parent_path();
        dir = fs::path(platform::temp_directory()) / ("qx-mgr-monitor-" + id);
        fs::create_directories(dir / "Languages");
        qx::test::remove_tree_at_exit(dir.string());
        for (const char* f : {"QXUKMgrSvr", "QXTokenKernel.so", "QXDevice.so", "QXSoftAlg.so", "qxtoken"})
            fs::copy_file(bin / f, dir / f, fs::copy_options::overwrite_existing);
        for (const char* f : {"language_chs.ini", "language_cht.ini", "language_enu.ini"})
            fs::copy_file(bin / "Languages" / f, dir / "Languages" / f, fs::copy_options::overwrite_existing);
        provider = "QX Monitor Test " + id;
        product = "{MonitorTest-" + id + "}";
        std::ofstream(dir / "Config.ini", std::ios::binary)
            << "\xEF\xBB\xBF[QXTokenInfo]\r\nCSPName = " << provider << "\r\nProductName = " << product
            << "\r\n[DeviceInfo]\r\nSupportDevType = 273\r\nVirtualReaderWords = VToken CCID\r\n"
               "UMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n"
               "[LanguageDefaultSetting]\r\nlanguage = English\r\n2052 = language_chs.ini\r\n"
               "1028 = language_cht.ini\r\n1033 = language_enu.ini\r\n";
        setenv("QX_VTOKEN_HOME", (dir / "vt").string().c_str(), 1);
        setenv("QX_DEBUG_OUTPUT", (dir / "monitor.log").string().c_str(), 1);
    }
    void TearDown() override {
        if (monitor) {
            int code = 0;
            if (!monitor->wait_for(0, &code)) monitor->kill();
            monitor.reset();
        }
        unsetenv("QX_DEBUG_OUTPUT");
    }

    int run(std::vector<std::string> argv) {
        auto child = platform::ChildProcess::spawn(argv);
        if (!child) return -1;
        int code = -1;
        if (!child->wait_for(60000, &code)) {
            child->kill();
            return -2;
        }
        return code;
    }
    int vtoken(std::vector<std::string> args) {
        args.insert(args.begin(), (bin / "qxvtoken").string());
        return run(args);
    }
    // A token ready for use: created, initialised, left plugged or not.
    void make_token(const std::string& name, const std::string& channel, bool plugged) {
        ASSERT_EQ(vtoken({"create", "--channel", channel, name}), 0);
        ASSERT_EQ(run({(dir / "qxtoken").string(), "--token", name, "init", "--label", name}), 0);
        if (!plugged) {
            ASSERT_EQ(vtoken({"unplug", name}), 0);
        }
    }
    std::unique_ptr<platform::ChildProcess> start(const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv{(dir / "QXUKMgrSvr").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return platform::ChildProcess::spawn(argv);
    }
    static bool wait_until(const std::function<bool()>& done, uint32_t ms = 20000) {
        for (uint64_t end = platform::tick_ms() + ms; platform::tick_ms() < end; platform::sleep_ms(50))
            if (done()) return true;
        return done();
    }
    std::string log() const {
        std::ifstream in(dir / "monitor.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The slot of the named token in the published list, or -1.
    static int slot_of(const p11area::AreaLayout& a, const std::string& token) {
        for (uint32_t s = 0; s < p11area::kSlots; ++s)
            if (a.slots[s].present && std::string(a.slots[s].deviceName, 256).find(token) != std::string::npos)
                return static_cast<int>(s);
        return -1;
    }

    fs::path bin, dir;
    std::string provider, product;
    std::unique_ptr<platform::ChildProcess> monitor;
};

TEST_F(MonitorProcess, AnotherProcessSeesPlugAndUnplug) {
    make_token("alpha", "ccid", true);
    make_token("beta", "hid", false);
    monitor = start();
    ASSERT_TRUE(monitor);
    auto area = p11area::SlotArea::open(provider);
    ASSERT_TRUE(area);
    ASSERT_TRUE(wait_until([&] { return slot_of(*area->snapshot(), "CCID alpha") >= 0; }))
        << log();
    // This process watches from now on.
    const int entry = area->register_process(platform::process_id());
    ASSERT_GE(entry, 0);
    const auto word = [&] { return p11area::load32(area->snapshot()->processes[entry].slotMap); };
    EXPECT_EQ(word(), p11area::kNothingChanged);

    ASSERT_EQ(vtoken({"plug", "beta"}), 0);
    int beta = -1;
    ASSERT_TRUE(wait_until([&] {
        beta = slot_of(*area->snapshot(), "HID beta");
        return beta >= 0 && word() == (static_cast<uint32_t>(beta) | p11area::kAddedFlag);
    })) << log();
    EXPECT_GE(slot_of(*area->snapshot(), "CCID alpha"), 0);

    ASSERT_EQ(vtoken({"unplug", "beta"}), 0);
    ASSERT_TRUE(wait_until([&] { return word() == static_cast<uint32_t>(beta); })) << log();
    EXPECT_EQ(slot_of(*area->snapshot(), "HID beta"), -1);
    EXPECT_GE(slot_of(*area->snapshot(), "CCID alpha"), 0);
    const std::string text = log();
    EXPECT_NE(text.find("notice: A UKey was plugged in"), std::string::npos);
    EXPECT_NE(text.find("notice: A UKey was removed"), std::string::npos);
    EXPECT_NE(text.find("row 0 slot"), std::string::npos);

    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string(), "-q"}), 0);
    int code = -1;
    EXPECT_TRUE(monitor->wait_for(20000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(log().find("OnDestroy"), std::string::npos);
}

TEST_F(MonitorProcess, SecondStartHandsOverAndQuitEndsTheMonitor) {
    auto record = InstanceRecord::open(provider, product);
    ASSERT_TRUE(record);
    // "-q" with nothing running creates nothing.
    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string(), "-q"}), 0);
    EXPECT_EQ(record->running_process(), 0u);

    monitor = start();
    ASSERT_TRUE(monitor);
    ASSERT_TRUE(wait_until([&] { return record->running_process() == monitor->pid(); })) << log();
    ASSERT_TRUE(wait_until([&] { return log().find("running, shown") != std::string::npos; })) << log();

    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string()}), 0);
    EXPECT_TRUE(wait_until([&] { return log().find("ShowMainDialogEx: shown") != std::string::npos; })) << log();
    int code = -1;
    EXPECT_FALSE(monitor->wait_for(0, &code));

    // "-sys" sets the default language of the user's locale, then hands over.
    setenv("LC_ALL", "zh_TW.UTF-8", 1);
    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string(), "-SYS"}), 0);
    unsetenv("LC_ALL");
    std::ifstream config(dir / "Config.ini");
    std::stringstream content;
    content << config.rdbuf();
    EXPECT_NE(content.str().find("language = \xE7\xB9\x81\xE9\xAB\x94\xE4\xB8\xAD\xE6\x96\x87"), std::string::npos)
        << content.str();
    EXPECT_FALSE(monitor->wait_for(0, &code));

    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string(), "-Q"}), 0);
    EXPECT_TRUE(monitor->wait_for(20000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(record->running_process(), 0u);
    // A new start after the quit becomes the monitor again.
    monitor = start();
    ASSERT_TRUE(wait_until([&] { return record->running_process() == monitor->pid(); })) << log();
    EXPECT_EQ(run({(dir / "QXUKMgrSvr").string(), "-q"}), 0);
    EXPECT_TRUE(monitor->wait_for(20000, &code));
}

}  // namespace
}  // namespace qx::manager
