#include "startup.h"

#include <cstdio>
#include <cstring>

#include "qx/platform/text.h"

namespace qx::manager {

namespace {

char16_t lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool equals_ignoring_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

uint32_t read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The show code sent to a window: a running window is never told to hide by
// a plain start, so 0 goes as 1.
uint32_t visible(uint32_t code) { return code == kShowHide ? kShowShow : code; }

}  // namespace

CommandLine parse_command_line(std::u16string_view line) {
    while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    CommandLine result;
    if (equals_ignoring_case(line, u"-sys")) {
        result.systemMode = true;
        result.showCode = kShowHide;
    } else if (equals_ignoring_case(line, u"-q")) {
        result.showCode = kShowQuit;
    }
    return result;
}

InstanceMarks make_instance_marks(const std::u16string& productName) {
    uint32_t c[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 4 && i < productName.size(); ++i) c[i] = productName[i] & 0xFFu;
    InstanceMarks marks;
    marks.mark32 = c[0] | c[1] << 8 | c[2] << 16 | c[3] << 24;
    marks.mark64 = c[2] | c[3] << 8 | c[0] << 16 | c[1] << 24;
    marks.property32 = productName;
    marks.property64 = productName + u"X64";
    return marks;
}

uint16_t map_ui_language(uint16_t languageId) {
    switch (languageId) {
    case 0x0804:
        return 0x0804;
    case 0x0404:
    case 0x0C04:
    case 0x1004:
        return 0x0404;
    default:
        return 0x0409;
    }
}

std::string language_key(uint16_t mappedLanguageId) { return std::to_string(mappedLanguageId); }

std::u16string virtual_store_config_path(const std::u16string& userProfile, const std::u16string& programFiles,
                                         const std::u16string& providerName) {
    // PROGRAMFILES must carry a drive ("C:") and a path after it.
    if (userProfile.empty() || programFiles.size() < 3) return {};
    return userProfile + u"\\AppData\\Local\\VirtualStore" + programFiles.substr(2) + u"\\Quorvantix\\" +
           providerName + u"\\Config.ini";
}

StartDecision decide_start(const StartEnvironment& env) {
    StartDecision d;
    const uint32_t code = env.showCode;
    if (!env.system64) {
        if (!env.window32 && code == kShowQuit) {
            d.success = false;
            d.log = "[ManagerTools] CreateMainDialog:->if (hWnd == NULL && dwShow == 2) \n";
        } else if (env.window32) {
            d.handovers.push_back({WindowKind::build32, visible(code)});
        } else {
            d.createDialog = true;
            d.dialogShowCode = code;
        }
        return d;
    }
    if (code == kShowQuit) {
        if (env.window32) d.handovers.push_back({WindowKind::build32, kShowQuit});
        if (env.window64) d.handovers.push_back({WindowKind::build64, kShowQuit});
        return d;
    }
    if (env.window32 && env.window64) {
        d.handovers.push_back({WindowKind::build32, visible(code)});
        return d;
    }
    if (env.process32on64) {
        if (env.window32) {
            d.handovers.push_back({WindowKind::build32, visible(code)});
        } else {
            d.createDialog = true;
            d.dialogShowCode = code;
        }
        return d;
    }
    // A 64-bit process.  Beside a running 32-bit build it stays in the
    // background; on its own it behaves as the 32-bit build would.
    if (env.window32) {
        if (env.window64) {
            d.handovers.push_back({WindowKind::build64, kShowHide});
        } else {
            d.createDialog = true;
            d.dialogShowCode = kShowHide;
        }
    } else if (env.window64) {
        d.handovers.push_back({WindowKind::build64, visible(code)});
    } else {
        d.createDialog = true;
        d.dialogShowCode = code;
    }
    return d;
}

HandoverPayload make_handover(uint32_t showCode) {
    HandoverPayload p{};
    p.showCode = showCode;
    p.byteCount = kHandoverBytes;
    std::memcpy(p.text, kHandoverText, sizeof(kHandoverText));
    return p;
}

std::optional<uint32_t> accept_handover(uint64_t dwData, const void* data, uint64_t byteCount) {
    if (data == nullptr || byteCount < kHandoverBytes) return std::nullopt;
    char16_t text[10];
    std::memcpy(text, data, sizeof(text));
    if (std::memcmp(text, kHandoverText, sizeof(text)) != 0) return std::nullopt;
    if (dwData > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<uint32_t>(dwData);
}

std::optional<std::u16string> device_interface_name(const void* record) {
    if (record == nullptr) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(record);
    const uint32_t size = read32(bytes);
    if (read32(bytes + 4) != kDeviceTypeInterface) return std::nullopt;
    if (size < kInterfaceRecordSize || size > (1u << 20)) return std::nullopt;
    const std::size_t units = (size - kInterfaceNameOffset) / 2;
    std::u16string name;
    for (std::size_t i = 0; i < units; ++i) {
        char16_t c;
        std::memcpy(&c, bytes + kInterfaceNameOffset + 2 * i, 2);
        if (c == 0) return name;
        name.push_back(c);
    }
    return std::nullopt;  // not terminated inside the record
}

std::optional<EnumKind> DeviceEventFilter::on_device_change(uint64_t eventType, const void* record,
                                                            const SupportCheck& supported) {
    if (eventType == kDeviceArrival || eventType == kDeviceRemoveComplete) {
        if (auto name = device_interface_name(record)) {
            std::string path;
            if (platform::to_system_text(*name, &path) != 0) path.clear();
            if (path.size() > 259) path.resize(259);
            if (supported && supported(path)) pending_ = static_cast<uint32_t>(eventType);
        }
    }
    std::optional<EnumKind> start;
    if (pending_ == kDeviceRemoveComplete) {
        start = EnumKind::removal;
    } else if (pending_ == kDeviceArrival && record == nullptr) {
        start = EnumKind::arrival;
    }
    if (start) pending_ = 0;
    return start;
}

const std::array<InitStepInfo, 14> kInitSteps = {{
    {InitStep::dialog, nullptr, nullptr, false},
    {InitStep::pages, nullptr, nullptr, false},
    {InitStep::statusBar, nullptr, nullptr, false},
    {InitStep::bindKernel, "[ManagerTools] LoadQXTokenLib failed \n", u"Can't Load Token Library:", true},
    {InitStep::bindUIExtend, "[ManagerTools] LoadQXUIExtendLib failed \n", u"Can't Load QXUIExt Library:", true},
    {InitStep::slotManager, "[ManagerTools] SlotManagerInitialize failed \n", u"Can't Init SlotManager:", true},
    {InitStep::deviceNotifications, nullptr, u"Regist Device Message Error!", false},
    {InitStep::toolMessage, nullptr, nullptr, false},
    {InitStep::languageList, "[ManagerTools] Language_InitComboBox failed \n", u"Can't Init LanguageComboBox:", true},
    {InitStep::languageTexts, nullptr, nullptr, false},
    {InitStep::instanceProperty, nullptr, nullptr, false},
    {InitStep::events, nullptr, nullptr, false},
    {InitStep::caCertificates, nullptr, nullptr, false},
    {InitStep::firstEnumeration, nullptr, nullptr, false},
}};

std::u16string unknown_error_text(uint32_t error) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0lX", static_cast<unsigned long>(error));
    return std::u16string(buffer, buffer + std::strlen(buffer));
}

InitOutcome run_initialisation(InitHost& host, const std::function<std::u16string(uint32_t)>& errorText) {
    InitOutcome outcome;
    for (const InitStepInfo& info : kInitSteps) {
        if (info.step == InitStep::dialog) host.log("[ManagerTools] OnInitDialog EnterPoint \n");
        if (host.run_step(info.step) || info.failureMessage == nullptr) continue;
        const uint32_t error = host.last_error();
        if (info.failureLog) host.log(info.failureLog);
        outcome.ok = false;
        outcome.failedStep = info.step;
        outcome.message = info.failureMessage;
        if (info.withErrorText) outcome.message += errorText ? errorText(error) : unknown_error_text(error);
        host.report_failure(outcome.message);
        return outcome;
    }
    return outcome;
}

const std::array<ShutdownStep, 11> kShutdownOrder = {
    ShutdownStep::log,          ShutdownStep::trayIcon,         ShutdownStep::waitWorkers,
    ShutdownStep::closeDevice,  ShutdownStep::releaseSlots,     ShutdownStep::unloadKernel,
    ShutdownStep::unloadUIExtend, ShutdownStep::instanceProperty, ShutdownStep::refreshEvent,
    ShutdownStep::locks,        ShutdownStep::messageFilter,
};

void run_shutdown(ShutdownHost& host) {
    for (ShutdownStep step : kShutdownOrder) host.run_step(step);
}

}  // namespace qx::manager
