// QXUKMgrSvr without a window system: starts like the dialog program (command
// line, Config.ini, language, instance hand-over), then watches the tokens,
// publishes the slot list for other processes and writes its notices as
// debug lines (QX_DEBUG_OUTPUT).  "-q" ends a running monitor; a plain start
// while one runs hands its request over and exits 0.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "QXTokenStatus.h"
#include "config/CU8Ini.h"
#include "instance_record.h"
#include "kernel_binding.h"
#include "language.h"
#include "monitor.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "startup.h"

namespace {

namespace lang = qx::language;
namespace mgr = qx::manager;
namespace platform = qx::platform;

constexpr uint32_t kRoundMs = 500;

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

void log(const std::string& line) { platform::debug_output((mgr::kLogPrefix + line).c_str()); }

std::string utf8(const std::u16string& text) { return lang::to_utf8(text); }

// Notices and dialog updates as debug lines.
class DebugView : public mgr::MonitorView {
public:
    void clear_devices() override { log("devices: list emptied\n"); }
    void set_device_row(uint32_t row, uint32_t slot, const std::u16string& label) override {
        log("devices: row " + std::to_string(row) + " slot " + std::to_string(slot) + " \"" + utf8(label) + "\"\n");
    }
    void disable_device_controls() override { log("devices: no token\n"); }
    void notice(const std::u16string& text) override { log("notice: " + utf8(text) + "\n"); }
    // Every round reports its status: only a change is worth a line.
    void status_text(uint32_t line, const std::u16string& text) override {
        std::u16string& last = line == 0 ? status_ : serial_;
        if (reported_[line == 0 ? 0 : 1] && last == text) return;
        reported_[line == 0 ? 0 : 1] = true;
        last = text;
        log((line == 0 ? "status: " : "serial: ") + utf8(text) + "\n");
    }

private:
    std::u16string status_, serial_;
    bool reported_[2] = {false, false};
};

// The user's interface language from the locale, as a Windows language ID.
uint16_t ui_language_from_locale() {
    std::string locale = platform::environment("LC_ALL");
    if (locale.empty()) locale = platform::environment("LC_MESSAGES");
    if (locale.empty()) locale = platform::environment("LANG");
    if (locale.rfind("zh_CN", 0) == 0 || locale.rfind("zh_SG", 0) == 0) return 0x0804;
    if (locale.rfind("zh_TW", 0) == 0) return 0x0404;
    if (locale.rfind("zh_HK", 0) == 0) return 0x0C04;
    if (locale.rfind("zh_MO", 0) == 0) return 0x1404;
    return 0x0409;
}

class PosixInit : public mgr::InitHost {
public:
    PosixInit(mgr::ToolLibraries& libraries, mgr::SlotManager& slots, mgr::DeviceMonitor*& monitor,
              const std::string& providerName)
        : libraries_(libraries), slots_(slots), monitor_(monitor), providerName_(providerName) {}

    bool run_step(mgr::InitStep step) override {
        error_ = 0;
        switch (step) {
        case mgr::InitStep::bindKernel:
            if (libraries_.load_kernel()) return true;
            log("kernel: " + platform::last_module_error() + "\n");
            error_ = ERR_LIBRARY_LOAD;
            return false;
        case mgr::InitStep::bindUIExtend:
            // No dialogs without a window system: the UI extension is not needed.
            return true;
        case mgr::InitStep::slotManager:
            error_ = slots_.initialize(providerName_);
            return error_ == ERR_OK;
        case mgr::InitStep::languageList: {
            lang::LanguageList list;
            lang::Language_InitComboBox(lang::active_language().languageFile(), &list);
            return !list.names.empty();
        }
        case mgr::InitStep::caCertificates:
            libraries_.kernel().RegCACert();
            return true;
        case mgr::InitStep::firstEnumeration:
            monitor_->run(mgr::EnumKind::startup);
            return true;
        default:
            return true;
        }
    }
    uint32_t last_error() override { return error_; }
    void log(const char* line) override { platform::debug_output(line); }
    void report_failure(const std::u16string& text) override {
        const std::string line = utf8(text);
        std::fprintf(stderr, "QXUKMgrSvr: %s\n", line.c_str());
        ::log(line + "\n");
    }

private:
    static void log(const std::string& line) { ::log(line); }
    mgr::ToolLibraries& libraries_;
    mgr::SlotManager& slots_;
    mgr::DeviceMonitor*& monitor_;
    std::string providerName_;
    uint32_t error_ = 0;
};

class PosixShutdown : public mgr::ShutdownHost {
public:
    PosixShutdown(mgr::WorkerTracker& workers, mgr::CurrentDevice& current, mgr::SlotManager& slots,
                  mgr::ToolLibraries& libraries, mgr::InstanceRecord& instance)
        : workers_(workers), current_(current), slots_(slots), libraries_(libraries), instance_(instance) {}
    void run_step(mgr::ShutdownStep step) override {
        switch (step) {
        case mgr::ShutdownStep::log:
            platform::debug_output("[ ManagerTools ] OnDestroy() \n");
            break;
        case mgr::ShutdownStep::waitWorkers:
            workers_.stop_and_wait();
            break;
        case mgr::ShutdownStep::closeDevice:
            current_.forget();
            break;
        case mgr::ShutdownStep::releaseSlots:
            slots_.release();
            break;
        case mgr::ShutdownStep::unloadKernel:
            current_.set_kernel(nullptr);
            libraries_.unload_kernel();
            break;
        case mgr::ShutdownStep::unloadUIExtend:
            libraries_.unload_uiextend();
            break;
        case mgr::ShutdownStep::instanceProperty:
            instance_.release();
            break;
        default:
            break;
        }
    }

private:
    mgr::WorkerTracker& workers_;
    mgr::CurrentDevice& current_;
    mgr::SlotManager& slots_;
    mgr::ToolLibraries& libraries_;
    mgr::InstanceRecord& instance_;
};

std::u16string command_line(int argc, char** argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) joined += ' ';
        joined += argv[i];
    }
    return lang::to_text(joined);
}

int run(int argc, char** argv) {
    // 1. The language file and Config.ini of the program's directory.
    const std::u16string directory = lang::program_directory();
    lang::LanguagePaths paths;
    if (lang::GetLanguageFilePath(&directory, nullptr, &paths) != 0) {
        platform::debug_output("[ManagerTools] GetLanguageFilePath Failed!\n");
        return 1;
    }
    lang::active_language().set(paths);
    qx::kernel::CU8Ini ini;
    if (lang::load_ini(ini, paths.configFile) != ERR_OK) {
        platform::debug_output("[ManagerTools] ini.LoadFile Failed!\n");
        return 1;
    }
    // 4, 5. Configuration values and the instance mark.
    mgr::ToolConfig config;
    config.userType = ini.GetInteger("QXTokenInfo", "UserType", 1);
    config.providerName = ini.GetString("QXTokenInfo", "CSPName", 260, mgr::kDefaultProviderName);
    config.productName =
        lang::ini_text(ini, "QXTokenInfo", "ProductName", 260, mgr::kDefaultProductName);
    const mgr::InstanceMarks marks = mgr::make_instance_marks(config.productName);

    // 6. The command line.
    const mgr::CommandLine line = mgr::parse_command_line(command_line(argc, argv));
    if (line.systemMode) {
        std::u16string name;
        const uint32_t rc = mgr::apply_default_language(directory, ui_language_from_locale(), &name);
        log(rc == ERR_OK ? "default language: " + utf8(name) + "\n"
                         : "default language not set: " + std::to_string(rc) + "\n");
        // A monitor started by this run speaks the language just chosen.
        lang::LanguagePaths chosen;
        if (rc == ERR_OK && lang::GetLanguageFilePath(&directory, nullptr, &chosen) == 0)
            lang::active_language().set(chosen);
    }

    // 7. Hand over to a running monitor, or become it.
    auto instance = mgr::InstanceRecord::open(config.providerName, utf8(config.productName));
    if (!instance) {
        log("instance record cannot be made\n");
        return 1;
    }
    const bool claimed = instance->claim(marks.mark32);
    mgr::StartEnvironment environment;
    environment.window32 = !claimed;
    environment.showCode = line.showCode;
    const mgr::StartDecision decision = mgr::decide_start(environment);
    for (const mgr::Handover& h : decision.handovers) {
        // A monitor that has only just started may not have written its mark yet.
        bool given = false;
        for (int attempt = 0; attempt < 20 && !given; ++attempt) {
            given = instance->hand_over(marks.mark32, h.showCode);
            if (!given) platform::sleep_ms(50);
        }
        log(given ? "handed over show code " + std::to_string(h.showCode) + "\n" : "hand-over failed\n");
    }
    if (!decision.createDialog) {
        if (decision.log) platform::debug_output(decision.log);
        return 0;  // handed over, or nothing to quit
    }

    // The monitor itself.
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    mgr::ToolLibraries libraries(utf8(directory));
    mgr::SlotManager slots;
    mgr::CurrentDevice current;
    mgr::WorkerTracker workers;
    DebugView view;
    mgr::MonitorSettings settings;
    settings.providerName = config.providerName;
    settings.arrivalDelayMs = 0;  // polling finds the token up already
    settings.configLoads = [configFile = paths.configFile] {
        qx::kernel::CU8Ini copy;
        return lang::load_ini(copy, configFile) == ERR_OK;
    };
    auto text = [](std::string_view key) { return lang::LoadText(key, lang::active_language().languageFile()); };
    mgr::DeviceMonitor* monitorPointer = nullptr;
    PosixInit init(libraries, slots, monitorPointer, config.providerName);

    // The monitor reads the kernel table once it is bound.
    std::unique_ptr<mgr::DeviceMonitor> monitor;
    mgr::InitOutcome outcome;
    {
        // Steps up to the binding, then the monitor object, then the rest.
        struct Staged : mgr::InitHost {
            PosixInit& inner;
            std::function<void()> afterBinding;
            explicit Staged(PosixInit& i) : inner(i) {}
            bool run_step(mgr::InitStep step) override {
                const bool ok = inner.run_step(step);
                if (ok && step == mgr::InitStep::bindKernel && afterBinding) afterBinding();
                return ok;
            }
            uint32_t last_error() override { return inner.last_error(); }
            void log(const char* l) override { inner.log(l); }
            void report_failure(const std::u16string& t) override { inner.report_failure(t); }
        } staged(init);
        staged.afterBinding = [&] {
            current.set_kernel(&libraries.kernel());
            monitor = std::make_unique<mgr::DeviceMonitor>(libraries.kernel(), slots, current, view, text, workers,
                                                           settings);
            monitorPointer = monitor.get();
        };
        outcome = mgr::run_initialisation(staged, [](uint32_t e) { return mgr::unknown_error_text(e); });
    }
    int exitCode = 0;
    if (!outcome.ok) {
        exitCode = 1;
    } else {
        bool shown = decision.dialogShowCode != mgr::kShowHide;
        log(std::string("running, ") + (shown ? "shown" : "hidden") + "\n");
        while (!g_stop) {
            if (auto request = instance->take_request()) {
                if (*request == mgr::kShowQuit) {
                    log("quit requested\n");
                    monitor->unregister_all_memory_certificates();
                    break;
                }
                shown = *request != mgr::kShowHide;
                log(std::string("ShowMainDialogEx: ") + (shown ? "shown" : "hidden") + "\n");
            }
            // What changed decides how it is published, whatever the kind.
            const mgr::RunReport report = monitor->run(mgr::EnumKind::arrival);
            for (const mgr::PublishedChange& c : report.changes)
                log("published slot " + std::to_string(c.slot) + (c.kind == 1 ? " added" : " removed") +
                    " (" + std::to_string(c.result) + ")\n");
            for (uint32_t waited = 0; waited < kRoundMs && !g_stop; waited += 50) platform::sleep_ms(50);
        }
    }
    PosixShutdown shutdown(workers, current, slots, libraries, *instance);
    mgr::run_shutdown(shutdown);
    monitor.reset();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        std::fputs("QXUKMgrSvr: unexpected failure\n", stderr);
        return 1;
    }
}
