// Start-up units of the key manager tool: command words, marks, the start
// decision table, hand-over and broadcast validation, binding by name, the
// initialisation and shutdown sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "language.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"
#include "kernel_binding.h"
#include "startup.h"

namespace qx::manager {
namespace {

TEST(ManagerStartup, CommandWordsInAnyCaseAndAnythingElseIsNormal) {
    struct Case {
        std::u16string line;
        uint32_t show;
        bool system;
    } cases[] = {
        {u"-q", kShowQuit, false},   {u"-Q", kShowQuit, false},     {u"  -q \r\n", kShowQuit, false},
        {u"-sys", kShowHide, true},  {u"-SYS", kShowHide, true},    {u"-SyS", kShowHide, true},
        {u"", kShowShow, false},     {u"-q -sys", kShowShow, false}, {u"-quit", kShowShow, false},
        {u"/q", kShowShow, false},
    };
    for (const Case& c : cases) {
        const CommandLine line = parse_command_line(c.line);
        EXPECT_EQ(line.showCode, c.show) << std::string(c.line.begin(), c.line.end());
        EXPECT_EQ(line.systemMode, c.system);
    }
}

TEST(ManagerStartup, MarksSwapHalvesAndShortNamesCountZeroBytes) {
    InstanceMarks m = make_instance_marks(kDefaultProductName);  // "{81B"
    EXPECT_EQ(m.mark32, 0x4231387Bu);
    EXPECT_EQ(m.mark64, 0x387B4231u);
    EXPECT_EQ(m.property64, std::u16string(kDefaultProductName) + u"X64");
    m = make_instance_marks(u"AB");
    EXPECT_EQ(m.mark32, 0x00004241u);
    EXPECT_EQ(m.mark64, 0x42410000u);
    m = make_instance_marks(u"");
    EXPECT_EQ(m.mark32, 0u);
    EXPECT_EQ(m.property32, u"");
    // Only the low byte of each character counts.
    EXPECT_EQ(make_instance_marks(u"\u4E2D\u6587xy").mark32, 0x7978872Du);
}

TEST(ManagerStartup, UiLanguageMapAndKeys) {
    const std::map<uint16_t, uint16_t> map = {{0x0804, 0x0804}, {0x0404, 0x0404}, {0x0C04, 0x0404},
                                              {0x1004, 0x0404}, {0x1404, 0x0409}, {0x0409, 0x0409},
                                              {0x0809, 0x0409}, {0x0000, 0x0409}, {0x0411, 0x0409}};
    for (auto [in, out] : map) EXPECT_EQ(map_ui_language(in), out) << std::hex << in;
    EXPECT_EQ(language_key(0x0804), "2052");
    EXPECT_EQ(language_key(0x0404), "1028");
    EXPECT_EQ(language_key(0x0409), "1033");
}

TEST(ManagerStartup, VirtualStorePathNeedsBothValues) {
    EXPECT_EQ(virtual_store_config_path(u"C:\\Users\\ann", u"C:\\Program Files", u"P"),
              u"C:\\Users\\ann\\AppData\\Local\\VirtualStore\\Program Files\\Quorvantix\\P\\Config.ini");
    EXPECT_EQ(virtual_store_config_path(u"", u"C:\\Program Files", u"P"), u"");
    EXPECT_EQ(virtual_store_config_path(u"C:\\Users\\ann", u"C:", u"P"), u"");
}

// "-sys": the user's language picks a file by its key, "language_chs.ini"
// when the key is missing; the file's display name goes into Config.ini.
TEST(ManagerStartup, SystemModeWritesTheDefaultLanguage) {
    const std::string dir = platform::temp_directory() + platform::path_separator() + "qx-mgr-sys-" +
                            std::to_string(platform::process_id());
    const std::string languages = dir + platform::path_separator() + "Languages";
    ASSERT_TRUE(platform::make_directories(languages));
    qx::test::remove_tree_at_exit(dir);
    const auto write = [](const std::string& path, const std::string& text) {
        std::string bytes = "\xEF\xBB\xBF" + text;
        ASSERT_TRUE(platform::write_file_atomically(path, std::vector<uint8_t>(bytes.begin(), bytes.end())));
    };
    const auto file = [&](const char* name) { return languages + platform::path_separator() + name; };
    write(file("language_chs.ini"), "[LanguageSetting]\r\nlanguage = Chinese S\r\n");
    write(file("language_cht.ini"), "[LanguageSetting]\r\nlanguage = Chinese T\r\n");
    write(file("language_empty.ini"), "[LanguageSetting]\r\nlanguage =\r\n");
    const std::string config = dir + platform::path_separator() + "Config.ini";
    const std::u16string base = language::to_text(dir);
    struct Case {
        uint16_t ui;
        uint32_t status;
        const char* written;
    } cases[] = {
        {0x0C04, ERR_OK, "Chinese T"},   // 1028 is listed
        {0x0409, ERR_OK, "Chinese S"},   // 1033 is not: the default file
        {0x0804, ERR_INI_OPEN, nullptr},  // 2052 names a file that is missing
        {0x0411, ERR_NOT_FOUND, nullptr}, // mapped to 1033, whose file has no name
    };
    for (const Case& c : cases) {
        std::string keys = "[LanguageDefaultSetting]\r\nlanguage = Before\r\n1028 = language_cht.ini\r\n"
                           "2052 = language_gone.ini\r\n";
        if (c.ui == 0x0411) keys += "1033 = language_empty.ini\r\n";
        write(config, keys);
        std::u16string name;
        EXPECT_EQ(apply_default_language(base, c.ui, &name), c.status) << std::hex << c.ui;
        kernel::CU8Ini ini;
        ASSERT_EQ(language::load_ini(ini, language::to_text(config)), 0u);
        const std::string now = ini.GetString("LanguageDefaultSetting", "language", 260, "");
        EXPECT_EQ(now, c.written ? c.written : "Before");
        EXPECT_EQ(language::to_utf8(name), c.written ? c.written : "");
    }
}

// The decision table of both CreateMainDialog variants.
TEST(ManagerStartup, StartDecisionTable) {
    using W = WindowKind;
    struct Case {
        const char* what;
        StartEnvironment env;
        std::vector<std::pair<W, uint32_t>> handovers;
        bool create;
        uint32_t dialogShow;
        bool success;
    } cases[] = {
        {"32: none, show", {false, false, false, false, 1}, {}, true, 1, true},
        {"32: none, hide (-sys)", {false, false, false, false, 0}, {}, true, 0, true},
        {"32: none, quit", {false, false, false, false, 2}, {}, false, 0, false},
        {"32: running, show", {false, false, true, false, 1}, {{W::build32, 1}}, false, 0, true},
        {"32: running, hide sent as show", {false, false, true, false, 0}, {{W::build32, 1}}, false, 0, true},
        {"32: running, quit", {false, false, true, false, 2}, {{W::build32, 2}}, false, 0, true},
        {"64: quit both", {true, false, true, true, 2}, {{W::build32, 2}, {W::build64, 2}}, false, 0, true},
        {"64: quit none", {true, false, false, false, 2}, {}, false, 0, true},
        {"64: both running, show goes to 32", {true, false, true, true, 1}, {{W::build32, 1}}, false, 0, true},
        {"64: both running, hide sent as show", {true, false, true, true, 0}, {{W::build32, 1}}, false, 0, true},
        {"wow64: 32 running", {true, true, true, false, 0}, {{W::build32, 1}}, false, 0, true},
        {"wow64: none", {true, true, false, false, 1}, {}, true, 1, true},
        {"x64: alone, show", {true, false, false, false, 1}, {}, true, 1, true},
        {"x64: 64 running, show", {true, false, false, true, 1}, {{W::build64, 1}}, false, 0, true},
        {"x64: 64 running, hide sent as show", {true, false, false, true, 0}, {{W::build64, 1}}, false, 0, true},
        {"x64: beside 32, hidden", {true, false, true, false, 1}, {}, true, 0, true},
        {"x64: beside 32 and 64", {true, false, true, true, 1}, {{W::build32, 1}}, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const StartDecision d = decide_start(c.env);
        ASSERT_EQ(d.handovers.size(), c.handovers.size());
        for (std::size_t i = 0; i < d.handovers.size(); ++i) {
            EXPECT_EQ(d.handovers[i].target, c.handovers[i].first);
            EXPECT_EQ(d.handovers[i].showCode, c.handovers[i].second);
        }
        EXPECT_EQ(d.createDialog, c.create);
        if (c.create) {
            EXPECT_EQ(d.dialogShowCode, c.dialogShow);
        }
        EXPECT_EQ(d.success, c.success);
        EXPECT_EQ(d.log != nullptr, !c.success);
    }
}

TEST(ManagerStartup, HandoverAcceptedOnlyWithWholeIdentityText) {
    const HandoverPayload p = make_handover(2);
    EXPECT_EQ(p.byteCount, 20u);
    EXPECT_EQ(accept_handover(p.showCode, p.text, p.byteCount), 2u);
    EXPECT_EQ(accept_handover(0, p.text, 64), 0u);  // longer data is fine
    EXPECT_FALSE(accept_handover(1, nullptr, 20));
    EXPECT_FALSE(accept_handover(1, p.text, 19));
    EXPECT_FALSE(accept_handover(1, p.text, 0));
    char16_t other[10];
    std::memcpy(other, p.text, sizeof other);
    other[9] = u'!';  // no terminator
    EXPECT_FALSE(accept_handover(1, other, 20));
    other[9] = 0;
    other[0] = u'q';
    EXPECT_FALSE(accept_handover(1, other, 20));
}

std::vector<uint8_t> broadcast(uint32_t size, uint32_t type, std::u16string name, bool terminate = true) {
    std::vector<uint8_t> b(std::max<std::size_t>(size, kInterfaceNameOffset + 2 * name.size() + 2), 0);
    std::memcpy(b.data(), &size, 4);
    std::memcpy(b.data() + 4, &type, 4);
    if (!terminate) name += u'X';
    std::memcpy(b.data() + kInterfaceNameOffset, name.data(), 2 * name.size());
    if (!terminate) std::fill(b.begin() + kInterfaceNameOffset + 2 * name.size() - 2, b.end(), 'X');
    return b;
}

TEST(ManagerStartup, BroadcastRecordsWithoutNameOrTerminatorAreIgnored) {
    const std::u16string path = u"\\\\?\\QXVTOKEN#Quorvantix VToken CCID a#{a5dcbf10}";
    const uint32_t size = kInterfaceNameOffset + 2 * static_cast<uint32_t>(path.size()) + 2;
    EXPECT_EQ(device_interface_name(broadcast(size, 5, path).data()), path);
    EXPECT_FALSE(device_interface_name(nullptr));
    EXPECT_FALSE(device_interface_name(broadcast(size, 3, path).data()));       // another type
    EXPECT_FALSE(device_interface_name(broadcast(12, 5, path).data()));         // header only
    EXPECT_FALSE(device_interface_name(broadcast(size - 2, 5, path).data()));   // NUL outside the record
    EXPECT_FALSE(device_interface_name(broadcast(size, 5, path, false).data()));
}

TEST(ManagerStartup, ArrivalStartsAtNextChangeWithoutRecordRemovalAtOnce) {
    const std::u16string token = u"\\\\?\\QXVTOKEN#Quorvantix VToken CCID a#g";
    const std::u16string mouse = u"\\\\?\\HID#VID_046D#mouse";
    const auto size = [](const std::u16string& n) { return kInterfaceNameOffset + 2 * uint32_t(n.size()) + 2; };
    std::vector<std::string> asked;
    const auto supported = [&](const std::string& p) {
        asked.push_back(p);
        return p.find("QXVTOKEN") != std::string::npos;
    };
    DeviceEventFilter f;
    EXPECT_FALSE(f.on_device_change(kDeviceArrival, broadcast(size(mouse), 5, mouse).data(), supported));
    EXPECT_FALSE(f.on_device_change(7, nullptr, supported));  // nothing accepted: no run
    EXPECT_FALSE(f.on_device_change(kDeviceArrival, broadcast(size(token), 5, token).data(), supported));
    EXPECT_EQ(f.pending(), kDeviceArrival);
    EXPECT_EQ(f.on_device_change(7, nullptr, supported), EnumKind::arrival);
    EXPECT_EQ(f.pending(), 0u);
    EXPECT_EQ(f.on_device_change(kDeviceRemoveComplete, broadcast(size(token), 5, token).data(), supported),
              EnumKind::removal);
    // Hostile records never reach the kernel.
    const std::size_t before = asked.size();
    EXPECT_FALSE(f.on_device_change(kDeviceArrival, nullptr, supported));
    EXPECT_FALSE(f.on_device_change(kDeviceRemoveComplete, broadcast(20, 5, token).data(), supported));
    EXPECT_EQ(asked.size(), before);
    EXPECT_EQ(asked.back(), "\\\\?\\QXVTOKEN#Quorvantix VToken CCID a#g");
}

uint32_t QXTOKEN_CALL fake_slot(DeviceHandle, uint32_t* slot) {
    *slot = 3;
    return 0;
}

TEST(ManagerStartup, KernelBindingLeavesMissingEntriesEmptyAndCallable) {
    std::map<std::string, void*> exported = {{"QXToken_GetDeviceSlotNO", reinterpret_cast<void*>(&fake_slot)}};
    const KernelBinding b = bind_kernel([&](const char* n) -> void* {
        auto it = exported.find(n);
        return it == exported.end() ? nullptr : it->second;
    });
    EXPECT_EQ(b.missing, kKernelNameCount - 1);
    EXPECT_EQ(std::string(kKernelNames[0]), "InitQXToken");
    EXPECT_EQ(std::string(kKernelNames[kKernelNameCount - 1]), "QXToken_GetDeviceChannelType");
    uint32_t slot = 0;
    EXPECT_EQ(b.api.GetDeviceSlotNO(nullptr, &slot), 0u);
    EXPECT_EQ(slot, 3u);
    uint32_t count = 0;
    EXPECT_EQ(b.api.EnumDevice(&count, nullptr), ERR_LIBRARY_LOAD);
    EXPECT_EQ(b.api.ReadMemCert(0, nullptr, &count, 1), ERR_LIBRARY_LOAD);
    EXPECT_EQ(b.api.RegCACert(), ERR_LIBRARY_LOAD);
    EXPECT_EQ(b.api.IsMeetSecurityStatus(nullptr, 1), 0u);  // "not met": the caller authenticates
}

TEST(ManagerStartup, UIExtendAndSoftAlgBindAllOrNothing) {
    int dummy = 0;
    std::string skip;
    const auto resolver = [&](const char* n) -> void* { return skip == n ? nullptr : &dummy; };
    EXPECT_TRUE(bind_uiextend(resolver).complete);
    skip = "QXUIEx_ImportCert";
    UIExtendBinding u = bind_uiextend(resolver);
    EXPECT_FALSE(u.complete);
    EXPECT_STREQ(u.firstMissing, "QXUIEx_ImportCert");
    EXPECT_EQ(u.function<void*>("QXUIEx_InitCtx"), nullptr);
    EXPECT_TRUE(bind_softalg(resolver).complete);
    skip = "QXDestroyCipher";
    EXPECT_FALSE(bind_softalg(resolver).complete);
}

struct RecordingHost : InitHost {
    InitStep failAt;
    bool fail;
    std::vector<InitStep> ran;
    std::vector<std::string> logs;
    std::vector<std::u16string> reports;
    RecordingHost(bool f, InitStep at) : failAt(at), fail(f) {}
    bool run_step(InitStep s) override {
        ran.push_back(s);
        return !(fail && s == failAt);
    }
    uint32_t last_error() override { return 126; }
    void log(const char* l) override { logs.emplace_back(l); }
    void report_failure(const std::u16string& t) override { reports.push_back(t); }
};

TEST(ManagerStartup, InitialisationStopsAtFirstFailureWithItsMessage) {
    RecordingHost ok(false, InitStep::dialog);
    EXPECT_TRUE(run_initialisation(ok, nullptr).ok);
    EXPECT_EQ(ok.ran.size(), 14u);
    EXPECT_EQ(ok.ran.back(), InitStep::firstEnumeration);

    struct Case {
        InitStep step;
        std::u16string message;
        const char* log;
    } cases[] = {
        {InitStep::bindKernel, u"Can't Load Token Library:The module is missing",
         "[ManagerTools] LoadQXTokenLib failed \n"},
        {InitStep::bindUIExtend, u"Can't Load QXUIExt Library:The module is missing",
         "[ManagerTools] LoadQXUIExtendLib failed \n"},
        {InitStep::slotManager, u"Can't Init SlotManager:The module is missing",
         "[ManagerTools] SlotManagerInitialize failed \n"},
        {InitStep::deviceNotifications, u"Regist Device Message Error!", nullptr},
    };
    for (const Case& c : cases) {
        RecordingHost h(true, c.step);
        const InitOutcome o = run_initialisation(h, [](uint32_t e) {
            return e == 126 ? std::u16string(u"The module is missing") : unknown_error_text(e);
        });
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.failedStep, c.step);
        EXPECT_EQ(h.ran.back(), c.step);  // nothing after the failure runs
        ASSERT_EQ(h.reports.size(), 1u);
        EXPECT_EQ(h.reports[0], c.message);
        if (c.log) {
            EXPECT_EQ(h.logs.back(), c.log);
        }
    }
    EXPECT_EQ(unknown_error_text(0x1F), u"Unknown error 0x1F");
}

TEST(ManagerStartup, ShutdownWaitsForThreadsBeforeReleasingWhatTheyUse) {
    struct Host : ShutdownHost {
        std::vector<ShutdownStep> steps;
        void run_step(ShutdownStep s) override { steps.push_back(s); }
    } h;
    run_shutdown(h);
    auto at = [&](ShutdownStep s) { return std::find(h.steps.begin(), h.steps.end(), s) - h.steps.begin(); };
    EXPECT_EQ(h.steps.front(), ShutdownStep::log);
    EXPECT_LT(at(ShutdownStep::waitWorkers), at(ShutdownStep::closeDevice));
    EXPECT_LT(at(ShutdownStep::closeDevice), at(ShutdownStep::releaseSlots));
    EXPECT_LT(at(ShutdownStep::releaseSlots), at(ShutdownStep::unloadKernel));
    EXPECT_LT(at(ShutdownStep::unloadKernel), at(ShutdownStep::unloadUIExtend));
    EXPECT_EQ(h.steps.back(), ShutdownStep::messageFilter);
}

}  // namespace
}  // namespace qx::manager
