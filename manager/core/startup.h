// Start-up of the key manager tool, free of any window system: the command
// line, the instance marks and property names, the start decision (hand over
// to a running instance or create our own), the hand-over record and its
// validation, the device broadcast filter, the default-language map and the
// ordered initialisation and shutdown steps.  The Win32 shell and the POSIX
// monitor drive these with their own windows, notices and instance records.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::manager {

// ---- show codes and the command line ----

constexpr uint32_t kShowHide = 0;
constexpr uint32_t kShowShow = 1;
constexpr uint32_t kShowQuit = 2;

struct CommandLine {
    uint32_t showCode = kShowShow;
    bool systemMode = false;  // "-sys"
};

// The whole command line compared with "-q" and "-sys" regardless of case
// (surrounding blanks ignored); anything else is a normal start.
CommandLine parse_command_line(std::u16string_view line);

// ---- configuration values ----

constexpr char16_t kDefaultProductName[] = u"{81BCD07E-8752-48d9-B24B-7B983FF87DE5}";
constexpr char kDefaultProviderName[] = "Quorvantix Base CSP v1.0";
constexpr char kLogPrefix[] = "[ManagerTools] ";

struct ToolConfig {
    int32_t userType = 1;
    std::string providerName = kDefaultProviderName;  // CSPName, UTF-8
    std::u16string productName = kDefaultProductName;
};

// ---- instance marks and property names ----

struct InstanceMarks {
    uint32_t mark32 = 0;
    uint32_t mark64 = 0;
    std::u16string property32;  // ProductName
    std::u16string property64;  // ProductName + "X64"
};

// From the low bytes of the first four characters (missing ones count as 0).
InstanceMarks make_instance_marks(const std::u16string& productName);

// ---- default language of "-sys" ----

// 0x0804 stays; 0x0404, 0x0C04, 0x1004 become 0x0404; anything else 0x0409.
uint16_t map_ui_language(uint16_t languageId);
// The [LanguageDefaultSetting] key of a mapped language: "2052", "1028", "1033".
std::string language_key(uint16_t mappedLanguageId);
constexpr char kDefaultLanguageFile[] = "language_chs.ini";

// "-sys" on every system: maps `uiLanguage`, reads that key of
// [LanguageDefaultSetting] (default "language_chs.ini"), reads the display
// name of Languages/<file> and writes it as [LanguageDefaultSetting] language
// into the program directory's Config.ini.  0 when written; the failing
// status otherwise (nothing written when the name is empty or unreadable).
uint32_t apply_default_language(const std::u16string& programDirectory, uint16_t uiLanguage,
                                std::u16string* displayName = nullptr);

// VirtualStore copy of Config.ini to delete on "-sys": USERPROFILE +
// "\AppData\Local\VirtualStore" + PROGRAMFILES without its drive +
// "\Quorvantix\" + CSPName + "\Config.ini".  Empty (nothing to delete) when
// either value is missing or too short to carry a drive and a path.
std::u16string virtual_store_config_path(const std::u16string& userProfile, const std::u16string& programFiles,
                                         const std::u16string& providerName);

// ---- deciding how to start ----

enum class WindowKind { build32, build64 };

struct StartEnvironment {
    bool system64 = false;      // the operating system is 64-bit
    bool process32on64 = false; // this process runs as 32-bit on a 64-bit system
    bool window32 = false;      // a running 32-bit-build main window was found
    bool window64 = false;      // a running 64-bit-build main window was found
    uint32_t showCode = kShowShow;
};

struct Handover {
    WindowKind target;
    uint32_t showCode;
};

struct StartDecision {
    std::vector<Handover> handovers;  // in this order
    bool createDialog = false;
    uint32_t dialogShowCode = kShowShow;
    bool success = true;        // false: the process ends without an instance
    const char* log = nullptr;  // debug line to write, if any
};

// CreateMainDialog (32-bit system) and its 64-bit-system variant in one table.
// A 64-bit process with no 32-bit-build window treats the show code as the
// 32-bit path does (0 handed over as 1), so a plain start of the only build we
// ship shows its window.
StartDecision decide_start(const StartEnvironment& environment);

// ---- the hand-over record (WM_COPYDATA) ----

constexpr char16_t kHandoverText[] = u"QuorvaKey";
constexpr uint32_t kHandoverBytes = 20;  // 10 UTF-16 units with the terminator
constexpr uint32_t kHandoverWaitMs = 5000;

struct HandoverPayload {
    uint64_t showCode;         // dwData
    uint32_t byteCount;        // cbData
    char16_t text[10];         // lpData
};
HandoverPayload make_handover(uint32_t showCode);

// The show code of a request, or nothing for data that is absent, shorter
// than 20 bytes, or not the identity text with its terminator.
std::optional<uint32_t> accept_handover(uint64_t dwData, const void* data, uint64_t byteCount);

// ---- device broadcasts ----

constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDeviceTypeInterface = 5;
// Header (size, type, reserved) and class GUID before the name.
constexpr uint32_t kInterfaceNameOffset = 28;
constexpr uint32_t kInterfaceRecordSize = 32;

// The device path of a device-interface broadcast record (size, type 5,
// reserved, GUID, NUL-terminated UTF-16 name), or nothing when the record is
// absent, of another type, smaller than a record, or its name is not
// terminated inside the size it states.
std::optional<std::u16string> device_interface_name(const void* record);

enum class EnumKind : uint32_t { startup = 0, arrival = 1, removal = 2 };

// PnPDeviceMessage and OnDevChange: remembers an accepted arrival or removal
// (the kernel must call the device supported) and says which enumeration run
// to start.  A removal starts at once; an arrival starts at the next device
// change without a record (the system's "device nodes changed").
class DeviceEventFilter {
public:
    // ANSI device path -> supported by the kernel.
    using SupportCheck = std::function<bool(const std::string& path)>;

    std::optional<EnumKind> on_device_change(uint64_t eventType, const void* record, const SupportCheck& supported);
    uint32_t pending() const { return pending_; }

private:
    uint32_t pending_ = 0;  // m_MSG_TYPE
};

// ---- initialisation and shutdown of the main dialog ----

enum class InitStep {
    dialog,               // 1 standard initialisation, locks
    pages,                // 2 tab pages, icons
    statusBar,            // 3
    bindKernel,           // 4 LoadQXTokenLib
    bindUIExtend,         // 5 LoadQXUIExtendLib
    slotManager,          // 6 SlotManagerInitialize
    deviceNotifications,  // 7
    toolMessage,          // 8 registered message and message filter
    languageList,         // 9 Language_InitComboBox
    languageTexts,        // 10
    instanceProperty,     // 11 the 64-bit property
    events,               // 12 refresh-done event, memory-certificate lock
    caCertificates,       // 13 QXToken_RegCACert
    firstEnumeration,     // 14 ThreadEnumDevice(start-up)
};

struct InitStepInfo {
    InitStep step;
    const char* failureLog;            // null: nothing logged
    const char16_t* failureMessage;    // null: the step cannot fail
    bool withErrorText;                // the system's text for the error follows the message
};

extern const std::array<InitStepInfo, 14> kInitSteps;

// What differs between the Win32 dialog and the POSIX monitor.
class InitHost {
public:
    virtual ~InitHost() = default;
    // Runs one step; false when it failed.
    virtual bool run_step(InitStep step) = 0;
    // The error number left by a failed step.
    virtual uint32_t last_error() = 0;
    virtual void log(const char* line) = 0;
    // Shows the failure (a message box on Windows).
    virtual void report_failure(const std::u16string& text) = 0;
};

struct InitOutcome {
    bool ok = true;
    InitStep failedStep = InitStep::dialog;
    std::u16string message;
};

// Runs the steps in order and stops at the first failure, which is logged
// and reported once.  `errorText` turns an error number into the system's
// text ("Unknown error 0x%0lX" when there is none).
InitOutcome run_initialisation(InitHost& host, const std::function<std::u16string(uint32_t)>& errorText);

// "Unknown error 0x%0lX" for an error the system has no text for.
std::u16string unknown_error_text(uint32_t error);

enum class ShutdownStep {
    log,               // "[ ManagerTools ] OnDestroy() \n"
    trayIcon,          // remove the tray icon
    waitWorkers,       // enumeration and clean-up threads end first
    closeDevice,       // the current device
    releaseSlots,      // slot-list area and its mutex
    unloadKernel,
    unloadUIExtend,
    instanceProperty,  // remove the 64-bit property
    refreshEvent,
    locks,             // language and memory-certificate locks
    messageFilter,     // withdraw the tool message and WM_COPYDATA
};

// Running threads are waited for before anything they use is released.
extern const std::array<ShutdownStep, 11> kShutdownOrder;

class ShutdownHost {
public:
    virtual ~ShutdownHost() = default;
    virtual void run_step(ShutdownStep step) = 0;
};

void run_shutdown(ShutdownHost& host);

}  // namespace qx::manager
