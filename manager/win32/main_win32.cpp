// QXUKMgrSvr on Windows: application start, the command line, finding a
// running instance and handing the request over, creating the main dialog,
// the message loop and the skin's removal at exit.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cstdio>
#include <memory>

#include "app.h"
#include "config/CU8Ini.h"
#include "qx/platform/system.h"
#include "resource_ids.h"
#include "skin_win32.h"

using namespace qx::manager;
using namespace qx::manager::win32;

namespace {

struct FoundWindows {
    HWND window32 = nullptr;
    HWND window64 = nullptr;
};

BOOL CALLBACK find_instance(HWND window, LPARAM context) {
    auto* found = reinterpret_cast<FoundWindows*>(context);
    const InstanceMarks& marks = app().marks;
    if (!found->window32 &&
        reinterpret_cast<uintptr_t>(GetPropW(window, W(marks.property32))) == marks.mark32 && marks.mark32 != 0)
        found->window32 = window;
    if (!found->window64 &&
        reinterpret_cast<uintptr_t>(GetPropW(window, W(marks.property64))) == marks.mark64 && marks.mark64 != 0)
        found->window64 = window;
    return TRUE;
}

struct HandoverJob {
    HWND target;
    HandoverPayload payload;
};

DWORD WINAPI handover_thread(void* context) {
    std::unique_ptr<HandoverJob> job(static_cast<HandoverJob*>(context));
    COPYDATASTRUCT data{};
    data.dwData = static_cast<ULONG_PTR>(job->payload.showCode);
    data.cbData = job->payload.byteCount;
    data.lpData = job->payload.text;
    SendMessageW(job->target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    return 0;
}

void hand_over(HWND target, uint32_t showCode) {
    auto job = std::make_unique<HandoverJob>(HandoverJob{target, make_handover(showCode)});
    HANDLE thread = CreateThread(nullptr, 0, handover_thread, job.get(), 0, nullptr);
    if (!thread) return;
    HandoverJob* owned = job.release();  // the thread owns it from here
    if (WaitForSingleObject(thread, kHandoverWaitMs) != WAIT_OBJECT_0) {
        // The other instance does not answer: the process ends without it,
        // so the job is left to the thread rather than freed under it.
        (void)owned;
    }
    CloseHandle(thread);
}

bool system_is_64bit() {
    using Native = void(WINAPI*)(LPSYSTEM_INFO);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto f = kernel32 ? reinterpret_cast<Native>(reinterpret_cast<void*>(GetProcAddress(kernel32, "GetNativeSystemInfo"))) : nullptr;
    if (!f) return false;
    SYSTEM_INFO info{};
    f(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 || info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

bool process_is_wow64() {
    using IsWow = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto f = kernel32 ? reinterpret_cast<IsWow>(reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process"))) : nullptr;
    BOOL wow = FALSE;
    return f && f(GetCurrentProcess(), &wow) && wow;
}

void allow_copy_data() {
    using Filter = BOOL(WINAPI*)(UINT, DWORD);
    HMODULE user = GetModuleHandleW(L"user32.dll");
    auto f = user ? reinterpret_cast<Filter>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilter"))) : nullptr;
    if (f) f(WM_COPYDATA, MSGFLT_ADD);
}

Text environment(const wchar_t* name) {
    wchar_t buffer[512] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, 512);
    if (n == 0 || n >= 512) return {};
    return T(buffer);
}

// The CryptoAPI provider beside the tool registers itself, so that the
// certificates the kernel puts in the user's store name a provider that
// exists.  An installation without it (or with a provider that cannot
// register) still gets the rest of the set-up; the trace says why.
void register_provider() {
    const Text path = qx::language::join_path(app().programDirectory, u"QXCSP.dll");
    HMODULE provider = LoadLibraryW(W(path));
    if (!provider) {
        log("[ManagerTools] -sys: no CryptoAPI provider to register \n");
        return;
    }
    using Register = HRESULT(WINAPI*)();
    auto registerServer = reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(provider, "DllRegisterServer")));
    const HRESULT hr = registerServer ? registerServer() : E_NOINTERFACE;
    if (FAILED(hr)) log("[ManagerTools] -sys: the CryptoAPI provider did not register \n");
    FreeLibrary(provider);
}

// "-sys": the installer's set-up on this machine.
void system_mode() {
    grant_all_accounts(app().configPath);
    register_provider();
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool vista = GetVersionExW(&version) && version.dwMajorVersion >= 6;
#pragma GCC diagnostic pop
    if (vista) {
        const Text copy = virtual_store_config_path(environment(L"USERPROFILE"), environment(L"PROGRAMFILES"),
                                                    qx::language::to_text(app().config.providerName));
        if (!copy.empty()) DeleteFileW(W(copy));
    }
    std::u16string displayName;
    if (apply_default_language(app().programDirectory, GetUserDefaultUILanguage(), &displayName) == 0)
        grant_all_accounts(app().configPath);  // the rewritten file keeps the rights
}

bool create_main_dialog(uint32_t showCode) {
    HWND dialog = CreateDialogParamW(app().instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (!dialog) {
        log("[ManagerTools] CreateMainDialog: Create failed \n");
        return false;
    }
    ShowMainDialog(showCode);
    return true;
}

bool start(uint32_t showCode) {
    StartEnvironment env;
    env.system64 = system_is_64bit();
    env.process32on64 = env.system64 && process_is_wow64();
    env.showCode = showCode;
    FoundWindows found;
    EnumWindows(find_instance, reinterpret_cast<LPARAM>(&found));
    qx::skin::LoadSkin(app().programDirectory, app().configPath);
    env.window32 = found.window32 != nullptr;
    env.window64 = found.window64 != nullptr;
    const StartDecision decision = decide_start(env);
    if (decision.log) log(decision.log);
    for (const auto& h : decision.handovers) hand_over(h.target == WindowKind::build32 ? found.window32 : found.window64, h.showCode);
    if (!decision.success) return false;
    if (decision.createDialog) return create_main_dialog(decision.dialogShowCode);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    app().instance = instance;
    OleInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    app().programDirectory = qx::language::program_directory();
    app().configPath = qx::language::join_path(app().programDirectory, qx::language::kConfigFileName);
    qx::language::LanguagePaths paths;
    if (qx::language::GetLanguageFilePath(nullptr, nullptr, &paths) != 0) {
        log("[ManagerTools] GetLanguageFilePath Failed!\n");
        return 0;
    }
    qx::language::active_language().set(paths);
    qx::kernel::CU8Ini ini;
    if (qx::language::load_ini(ini, app().configPath) != 0) {
        log("[ManagerTools] ini.LoadFile Failed!\n");
        return 0;
    }
    allow_copy_data();
    app().config.userType = ini.GetInteger("QXTokenInfo", "UserType", 1);
    app().config.providerName = ini.GetString("QXTokenInfo", "CSPName", 260, kDefaultProviderName);
    app().config.productName = qx::language::ini_text(ini, "QXTokenInfo", "ProductName", 260, kDefaultProductName);
    app().marks = make_instance_marks(app().config.productName);
    app().libraries = std::make_unique<ToolLibraries>(qx::language::to_utf8(app().programDirectory));
    app().icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TOOL));
    app().smallIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TOOL), IMAGE_ICON, 16, 16, 0));

    const CommandLine command = parse_command_line(T(commandLine ? commandLine : L""));
    if (command.systemMode) system_mode();

    int result = 0;
    if (start(command.showCode) && app().mainDialog && IsWindow(app().mainDialog)) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (app().mainDialog && IsDialogMessageW(app().mainDialog, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        result = static_cast<int>(message.wParam);
    }
    qx::skin::RemoveSkin();
    OleUninitialize();
    return result;
}
