// CQXUKeyManagerToolsDlg: the tool's only top-level window.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "app.h"
#include "config/CU8Ini.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/system.h"
#include "qx/platform/text.h"
#include "resource_ids.h"
#include "skin_win32.h"

namespace qx::manager::win32 {

namespace {

NOTIFYICONDATAW g_tray{};

// {a5dcbf10-6530-11d2-901f-00c04fb951ed}
const GUID kUsbDeviceInterface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

void init_tray_record() {
    g_tray = NOTIFYICONDATAW{};
    g_tray.cbSize = sizeof(g_tray);
    g_tray.hWnd = app().mainDialog;
    g_tray.uID = IDI_TOOL;
    g_tray.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP | NIF_INFO;
    g_tray.uCallbackMessage = kMsgTray;
    g_tray.hIcon = app().smallIcon;
    g_tray.dwInfoFlags = NIIF_INFO;
}

void copy_text(wchar_t* target, size_t units, const Text& text) {
    const size_t n = std::min(units - 1, text.size());
    std::memcpy(target, text.data(), n * sizeof(wchar_t));
    target[n] = 0;
}

void tray_texts() {
    const Text product = localized("ProductName");
    copy_text(g_tray.szTip, sizeof(g_tray.szTip) / sizeof(wchar_t), product);
    copy_text(g_tray.szInfoTitle, sizeof(g_tray.szInfoTitle) / sizeof(wchar_t), product);
}

// The worker's view of the dialog: synchronous messages, as the dialog
// expects them, but never waiting on a dialog that is going away.  The
// messages carry a ticket, not a pointer: the record stays here until the
// dialog has handled it, and a message from another process names no
// record of ours and is ignored.
struct ViewRecord {
    DeviceListRecord list{};
    Text text;
};

std::mutex g_viewMutex;
std::map<WPARAM, ViewRecord> g_viewRecords;
WPARAM g_nextTicket = 0x51A70000;

std::optional<ViewRecord> view_record(WPARAM ticket) {
    std::lock_guard<std::mutex> lock(g_viewMutex);
    const auto it = g_viewRecords.find(ticket);
    if (it == g_viewRecords.end()) return std::nullopt;
    return it->second;
}

class DialogView : public MonitorView {
public:
    void clear_devices() override { send(kMsgDeviceList, {{0, 0, 0}, {}}); }
    void set_device_row(uint32_t row, uint32_t slot, const std::u16string& label) override {
        send(kMsgDeviceList, {{1, row, slot}, label});
    }
    void disable_device_controls() override {
        if (app().closing || !app().mainDialog) return;
        DWORD_PTR result = 0;
        SendMessageTimeoutW(app().mainDialog, kMsgDeviceControls, 0, 0, SMTO_NORMAL, 10000, &result);
    }
    void notice(const std::u16string& text) override { send(kMsgNotice, {{}, text}); }
    void status_text(uint32_t line, const std::u16string& text) override { send(kMsgStatusText, {{line, 0, 0}, text}); }

private:
    static void send(UINT message, ViewRecord record) {
        if (app().closing || !app().mainDialog) return;
        WPARAM ticket;
        {
            std::lock_guard<std::mutex> lock(g_viewMutex);
            ticket = ++g_nextTicket;
            g_viewRecords.emplace(ticket, std::move(record));
        }
        DWORD_PTR result = 0;
        SendMessageTimeoutW(app().mainDialog, message, ticket, 0, SMTO_NORMAL, 10000, &result);
        std::lock_guard<std::mutex> lock(g_viewMutex);
        g_viewRecords.erase(ticket);
    }
};

void device_list(const DeviceListRecord* r, const wchar_t* text) {
    HWND combo = GetDlgItem(app().mainDialog, IDC_DEVICE_COMBO);
    if (!r) return;
    switch (r->operation) {
    case 0: SendMessageW(combo, CB_RESETCONTENT, 0, 0); break;
    case 1: {
        SendMessageW(combo, CB_DELETESTRING, r->row, 0);
        const LRESULT at = SendMessageW(combo, CB_INSERTSTRING, r->row, reinterpret_cast<LPARAM>(text ? text : L""));
        if (at >= 0) SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(at), r->itemData);
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        // A listed token makes the list and the device buttons usable again
        // (the run makes its first token the current device).
        enable_device_controls(true);
        break;
    }
    case 2: {
        const LRESULT row = SendMessageW(combo, CB_GETCURSEL, 0, 0);
        if (row < 0) break;
        const LRESULT data = SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(row), 0);
        SendMessageW(combo, CB_DELETESTRING, static_cast<WPARAM>(row), 0);
        const LRESULT at =
            SendMessageW(combo, CB_INSERTSTRING, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text ? text : L""));
        if (at >= 0) {
            SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(at), data);
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
        }
        break;
    }
    default: break;
    }
}

void status_text(WPARAM line, const wchar_t* text) {
    // The status line in the first part, "SN:..." in the second.
    if (app().statusBar && text) SendMessageW(app().statusBar, SB_SETTEXTW, line == 0 ? 0 : 1, reinterpret_cast<LPARAM>(text));
}

void notice(const wchar_t* text) {
    if (!text) return;
    const Text copy = T(text);
    log(("[ManagerTools] " + language::to_utf8(copy) + "\n").c_str());
    KillTimer(app().mainDialog, kBalloonTimer);
    copy_text(g_tray.szInfo, sizeof(g_tray.szInfo) / sizeof(wchar_t), copy);
    Shell_NotifyIconW(NIM_MODIFY, &g_tray);
    SetTimer(app().mainDialog, kBalloonTimer, 3000, nullptr);
}

std::string to_ansi(const Text& text) {
    std::string out;
    if (platform::to_system_text(text, &out) != 0) out.clear();
    return out;
}

// Connects to the device of the selected combo row.
void select_device() {
    HWND combo = GetDlgItem(app().mainDialog, IDC_DEVICE_COMBO);
    const LRESULT row = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (row < 0) return;
    const auto slot = static_cast<uint32_t>(SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(row), 0));
    const std::string name = app().slots.device_name(slot);
    if (app().current.present() && name == app().current.name()) return;

    auto productMutex = platform::NamedMutex::open(to_ansi(app().config.productName));
    platform::NamedMutexLock hold(productMutex.get());
    const KernelApi& k = kernel();
    app().current.forget();
    std::string statusKey = kStatusConnectError;
    DeviceHandle handle = nullptr;
    if (!name.empty() && k.OpenDeviceByName(name.c_str(), &handle) == 0 && handle) {
        statusKey = kStatusConnectSuccess;
        app().current.replace(handle, name);
        app().current.use([&](DeviceHandle h) {
            uint8_t serial[260] = {};
            uint32_t length = sizeof(serial) - 1;
            if (k.GetDeviceSerialNumber(h, serial, &length) == 0) {
                Text sn = u"SN:";
                for (uint32_t i = 0; i < length && i < sizeof(serial) && serial[i]; ++i) sn += static_cast<char16_t>(serial[i]);
                status_text(1, W(sn));
            }
            uint32_t pinStatus = 0;
            if (k.GetPinStatus(h, &pinStatus) == 0) {
                const bool setPin = (pinStatus & 0x80000u) != 0;
                app().setPinFlag = setPin;
                relabel_pin_button(setPin);
                PostMessageW(app().mainDialog, app().toolMessage, 0, 0);
            }
        });
    }
    app().monitor->set_status_key(statusKey);
    status_text(0, W(localized(statusKey)));
}

void change_language() {
    HWND combo = GetDlgItem(app().mainDialog, IDC_LANGUAGE_COMBO);
    const LRESULT row = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (row < 0) return;
    wchar_t name[128] = {};
    if (SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(row), 0) >= 127) return;
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(name));
    language::LanguageChange change;
    if (language::ChangeLanguage(language::active_language(), T(name), true, &change) != 0) return;
    if (auto setPath = app().libraries->uiextend().function<uint32_t (*)(const wchar_t*)>("QXUIEx_SetSysLangPath"))
        setPath(W(change.paths.languageFile));
    apply_dialog_language(app().mainDialog, language::kMainDialog, true);
    std::array<Text, 4> titles;
    language::LoadTabTitles(language::active_language().languageFile(), &titles);
    for (int i = 0; i < 4; ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(W(titles[static_cast<size_t>(i)]));
        TabCtrl_SetItem(app().tab, i, &item);
    }
    apply_dialog_language(app().devicePage, IDD_DEVICE_PAGE, false);
    apply_dialog_language(app().certPage, IDD_CERT_PAGE, false);
    apply_dialog_language(app().syscheckPage, IDD_SYSCHECK_PAGE, false);
    apply_dialog_language(app().aboutPage, IDD_ABOUT_PAGE, false);
    relabel_pin_button(app().setPinFlag);
    tray_texts();
    if (app().shown) Shell_NotifyIconW(NIM_MODIFY, &g_tray);
    if (TabCtrl_GetCurSel(app().tab) == 2) refresh_syscheck_page(true);
    status_text(0, W(localized(app().monitor->status_key())));
}

void show_page(int index) {
    HWND pages[4] = {app().devicePage, app().certPage, app().syscheckPage, app().aboutPage};
    for (int i = 0; i < 4; ++i)
        if (i != index) ShowWindow(pages[i], SW_HIDE);
    if (index >= 0 && index < 4) ShowWindow(pages[index], SW_SHOW);
}

void hide_main() {
    ShowWindow(app().mainDialog, SW_HIDE);
    g_tray.szInfo[0] = 0;
    Shell_NotifyIconW(NIM_DELETE, &g_tray);
    app().shown = false;
    if (TabCtrl_GetCurSel(app().tab) != 0) {
        TabCtrl_SetCurSel(app().tab, 0);
        show_page(0);
    }
}

void tray_event(WPARAM id, LPARAM mouse) {
    if (!app().shown || id != IDI_TOOL) return;
    if (mouse == WM_LBUTTONDOWN) {
        ShowWindow(app().mainDialog, SW_SHOWNORMAL);
        SetForegroundWindow(app().mainDialog);
    } else if (mouse == WM_RBUTTONUP) {
        HMENU menu = LoadMenuW(app().instance, MAKEINTRESOURCEW(IDR_TRAY_MENU));
        if (!menu) return;
        HMENU popup = GetSubMenu(menu, 0);
        const Text exitText = localized("ButtonText_Notify_Exit");
        ModifyMenuW(popup, 0, MF_BYPOSITION | MF_STRING, IDM_TRAY_EXIT, W(exitText));
        SetMenuDefaultItem(popup, static_cast<UINT>(-1), TRUE);
        POINT at{};
        GetCursorPos(&at);
        SetForegroundWindow(app().mainDialog);
        const BOOL command = TrackPopupMenu(popup, TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0, app().mainDialog, nullptr);
        DestroyMenu(menu);
        if (command == IDM_TRAY_EXIT) hide_main();
    }
}

BOOL CALLBACK close_owned(HWND window, LPARAM owner) {
    if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner)) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

BOOL copy_data(const COPYDATASTRUCT* data) {
    if (!data) return FALSE;
    const auto code = accept_handover(data->dwData, data->lpData, data->cbData);
    if (!code) return FALSE;
    if (*code == kShowQuit) {
        EnumWindows(close_owned, reinterpret_cast<LPARAM>(app().mainDialog));
        app().monitor->unregister_all_memory_certificates();
        SetTimer(app().mainDialog, kQuitTimer, 2000, nullptr);
    } else {
        ShowMainDialogEx(*code);
    }
    return TRUE;
}

void tool_message(LPARAM lParam) {
    if (lParam == 11) {
        relabel_pin_button(false);
        app().setPinFlag = false;
        return;
    }
    DeviceHandle handle = nullptr;
    app().current.use([&](DeviceHandle h) { handle = h; });
    PostMessageW(app().certPage, kMsgPageRefresh, reinterpret_cast<WPARAM>(handle), 0);
    if (TabCtrl_GetCurSel(app().tab) == 2) refresh_syscheck_page(true);
}

// ---- initialisation and shutdown through the shared step tables ----

class DialogInit : public InitHost {
public:
    explicit DialogInit(HWND dialog) : dialog_(dialog) {}
    bool run_step(InitStep step) override {
        SetLastError(0);
        switch (step) {
        case InitStep::dialog:
            app().mainDialog = dialog_;
            return true;
        case InitStep::pages: return pages();
        case InitStep::statusBar: {
            app().statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, dialog_,
                                              nullptr, app().instance, nullptr);
            int parts[2] = {200, -1};
            SendMessageW(app().statusBar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
            return true;
        }
        case InitStep::bindKernel:
            if (!app().libraries->load_kernel()) return false;
            app().current.set_kernel(&app().libraries->kernel());
            return true;
        case InitStep::bindUIExtend: return app().libraries->load_uiextend();
        case InitStep::slotManager: {
            const uint32_t rc = app().slots.initialize(app().config.providerName);
            if (rc != 0) SetLastError(rc);
            return rc == 0;
        }
        case InitStep::deviceNotifications: {
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = 32;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kUsbDeviceInterface;
            app().deviceNotification = RegisterDeviceNotificationW(dialog_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            return app().deviceNotification != nullptr;
        }
        case InitStep::toolMessage: {
            const Text name = language::to_text(app().config.providerName) + u"_QX_MANAGE_TOOL";
            app().toolMessage = RegisterWindowMessageW(W(name));
            message_filter(app().toolMessage, MSGFLT_ADD);
            message_filter(WM_COPYDATA, MSGFLT_ADD);
            return true;
        }
        case InitStep::languageList: {
            language::LanguageList list;
            const uint32_t rc = language::Language_InitComboBox(language::active_language().languageFile(), &list);
            HWND combo = GetDlgItem(dialog_, IDC_LANGUAGE_COMBO);
            for (const auto& n : list.names) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(n)));
            if (list.selected >= 0) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(list.selected), 0);
            if (rc != 0) SetLastError(rc);
            return rc == 0;
        }
        case InitStep::languageTexts: {
            apply_dialog_language(dialog_, language::kMainDialog, true);
            std::array<Text, 4> titles;
            language::LoadTabTitles(language::active_language().languageFile(), &titles);
            for (int i = 0; i < 4; ++i) {
                TCITEMW item{};
                item.mask = TCIF_TEXT;
                item.pszText = const_cast<wchar_t*>(W(titles[static_cast<size_t>(i)]));
                TabCtrl_SetItem(app().tab, i, &item);
            }
            init_tray_record();
            tray_texts();
            if (auto setPath = app().libraries->uiextend().function<uint32_t (*)(const wchar_t*)>("QXUIEx_SetSysLangPath"))
                setPath(W(language::active_language().languageFile()));
            return true;
        }
        case InitStep::instanceProperty:
            SetPropW(dialog_, W(app().marks.property64),
                     reinterpret_cast<HANDLE>(static_cast<uintptr_t>(app().marks.mark64)));
            return true;
        case InitStep::events: return true;  // the certificate table and monitor carry their own locks
        case InitStep::caCertificates:
            kernel().RegCACert();
            return true;
        case InitStep::firstEnumeration: app().monitor->start_run(EnumKind::startup); return true;
        }
        return true;
    }
    uint32_t last_error() override { return GetLastError(); }
    void log(const char* line) override { win32::log(line); }
    void report_failure(const std::u16string& text) override { MessageBoxW(dialog_, W(text), L"", MB_ICONEXCLAMATION); }

    static void message_filter(UINT message, DWORD action) {
        using Filter = BOOL(WINAPI*)(UINT, DWORD);
        HMODULE user = GetModuleHandleW(L"user32.dll");
        auto f = user ? reinterpret_cast<Filter>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilter"))) : nullptr;
        if (f) f(message, action);
    }

private:
    bool pages() {
        app().tab = GetDlgItem(dialog_, IDC_TAB);
        const wchar_t* titles[4] = {L"USB Shield", L"Cert Manager", L"System Check", L"About"};
        for (int i = 0; i < 4; ++i) {
            TCITEMW item{};
            item.mask = TCIF_TEXT;
            item.pszText = const_cast<wchar_t*>(titles[i]);
            TabCtrl_InsertItem(app().tab, i, &item);
        }
        struct Page {
            int id;
            DLGPROC proc;
            HWND* window;
        } pages[4] = {{IDD_DEVICE_PAGE, DevicePageProc, &app().devicePage},
                      {IDD_CERT_PAGE, CertPageProc, &app().certPage},
                      {IDD_SYSCHECK_PAGE, SysCheckPageProc, &app().syscheckPage},
                      {IDD_ABOUT_PAGE, AboutPageProc, &app().aboutPage}};
        RECT area{};
        GetClientRect(app().tab, &area);
        area.left += 5;
        area.right -= 5;
        area.bottom -= 5;
        area.top += 20;
        for (auto& p : pages) {
            *p.window = CreateDialogParamW(app().instance, MAKEINTRESOURCEW(p.id), app().tab, p.proc, 0);
            if (!*p.window) return false;
            MoveWindow(*p.window, area.left, area.top, area.right - area.left, area.bottom - area.top, FALSE);
        }
        TabCtrl_SetCurSel(app().tab, 0);
        show_page(0);
        SendMessageW(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(app().icon));
        SendMessageW(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(app().smallIcon));
        return true;
    }

    HWND dialog_;
};

class DialogShutdown : public ShutdownHost {
public:
    explicit DialogShutdown(HWND dialog) : dialog_(dialog) {}
    void run_step(ShutdownStep step) override {
        switch (step) {
        case ShutdownStep::log: log("[ ManagerTools ] OnDestroy() \n"); break;
        case ShutdownStep::trayIcon: Shell_NotifyIconW(NIM_DELETE, &g_tray); break;
        case ShutdownStep::waitWorkers: {
            // Workers may be sending to this window: keep answering them while they finish.
            app().closing = true;
            const uint64_t until = platform::tick_ms() + 20000;
            while (app().workers.running() > 0 && platform::tick_ms() < until) {
                MSG m;
                while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
                    if (m.message == WM_QUIT) continue;
                    TranslateMessage(&m);
                    DispatchMessageW(&m);
                }
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            }
            app().workers.stop_and_wait();
            break;
        }
        case ShutdownStep::closeDevice: app().current.forget(); break;
        case ShutdownStep::releaseSlots: app().slots.release(); break;
        case ShutdownStep::unloadKernel:
            app().current.set_kernel(nullptr);
            if (app().libraries) app().libraries->unload_kernel();
            break;
        case ShutdownStep::unloadUIExtend:
            log("FreeQXUIExtendLib");
            if (app().libraries && app().libraries->uiextend_loaded()) {
                log("FreeLibrary ==> UIExt");
                app().libraries->unload_uiextend();
            }
            break;
        case ShutdownStep::instanceProperty: RemovePropW(dialog_, W(app().marks.property64)); break;
        case ShutdownStep::refreshEvent: break;
        case ShutdownStep::locks: break;
        case ShutdownStep::messageFilter:
            DialogInit::message_filter(app().toolMessage, MSGFLT_REMOVE);
            DialogInit::message_filter(WM_COPYDATA, MSGFLT_REMOVE);
            if (app().deviceNotification) UnregisterDeviceNotification(app().deviceNotification);
            app().deviceNotification = nullptr;
            break;
        }
    }

private:
    HWND dialog_;
};

void layout_status_bar() {
    if (app().statusBar) SendMessageW(app().statusBar, WM_SIZE, 0, 0);
}

bool init_dialog(HWND dialog) {
    app().view = std::make_unique<DialogView>();
    MonitorSettings settings;
    settings.providerName = app().config.providerName;
    settings.configLoads = [] {
        kernel::CU8Ini ini;
        return language::load_ini(ini, app().configPath) == 0;
    };
    app().monitor = std::make_unique<DeviceMonitor>(
        kernel(), app().slots, app().current, *app().view,
        [](std::string_view key) { return localized(key); }, app().workers, settings);
    DialogInit host(dialog);
    const InitOutcome outcome = run_initialisation(host, [](uint32_t error) {
        wchar_t* buffer = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        Text text = n && buffer ? T(buffer) : unknown_error_text(error);
        if (buffer) LocalFree(buffer);
        return text;
    });
    layout_status_bar();
    return outcome.ok;
}

}  // namespace

void rename_selected_device(const Text& label) {
    DeviceListRecord r{2, 0, 0};
    device_list(&r, W(label));
}

const KernelApi& kernel() {
    // The libraries' own table: the monitor and the device keep a reference
    // to it from before the kernel is bound, and it holds stand-ins until then.
    static const KernelApi unbound = unbound_kernel_api();
    return app().libraries ? app().libraries->kernel() : unbound;
}

void ShowMainDialogEx(uint32_t show) {
    log("[ManagerTools] ShowMainDialogEx EnterPoint \n");
    HWND dialog = app().mainDialog;
    if (show) {
        ShowWindow(dialog, SW_SHOW);
        HWND foreground = GetForegroundWindow();
        const DWORD foregroundThread = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
        const DWORD own = GetCurrentThreadId();
        const bool attached = foregroundThread && foregroundThread != own && AttachThreadInput(foregroundThread, own, TRUE);
        SetForegroundWindow(dialog);
        BringWindowToTop(dialog);
        BringWindowToTop(dialog);
        SetForegroundWindow(dialog);
        if (attached) AttachThreadInput(foregroundThread, own, FALSE);
        g_tray.szInfo[0] = 0;
        Shell_NotifyIconW(NIM_ADD, &g_tray);
    } else {
        ShowWindow(dialog, SW_HIDE);
        g_tray.szInfo[0] = 0;
        Shell_NotifyIconW(NIM_DELETE, &g_tray);
    }
    app().shown = show != 0;
}

void ShowMainDialog(uint32_t show) {
    log("[ManagerTools] ShowMainDialog EnterPoint \n");
    refresh_cert_page();
    refresh_syscheck_page(true);
    refresh_device_page();
    ShowMainDialogEx(show);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (app().toolMessage != 0 && message == app().toolMessage) {
        tool_message(lParam);
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG:
        if (!init_dialog(dialog)) {
            DestroyWindow(dialog);
            return FALSE;
        }
        return TRUE;
    case WM_PAINT:
        if (IsIconic(dialog)) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(dialog, &ps);
            RECT r{};
            GetClientRect(dialog, &r);
            DrawIcon(dc, (r.right - GetSystemMetrics(SM_CXICON) + 1) / 2, (r.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2,
                     app().icon);
            EndPaint(dialog, &ps);
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON: SetWindowLongPtrW(dialog, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(app().icon)); return TRUE;
    case WM_COPYDATA:
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, copy_data(reinterpret_cast<const COPYDATASTRUCT*>(lParam)));
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_EXIT: hide_main(); return TRUE;
        case IDCANCEL:
        case IDOK:
            // Escape and Enter only hide the window; the tray icon stays.
            ShowWindow(dialog, SW_HIDE);
            return TRUE;
        case IDC_DEVICE_COMBO:
            if (HIWORD(wParam) == CBN_SELCHANGE) select_device();
            return TRUE;
        case IDC_LANGUAGE_COMBO:
            if (HIWORD(wParam) == CBN_SELCHANGE) change_language();
            return TRUE;
        default: return FALSE;
        }
    case WM_CLOSE:
        log("[ ManagerTools ] OnClose()\n");
        SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    case WM_DESTROY: {
        DialogShutdown host(dialog);
        run_shutdown(host);
        PostQuitMessage(0);
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == kBalloonTimer) {
            KillTimer(dialog, kBalloonTimer);
            g_tray.szInfo[0] = 0;
            Shell_NotifyIconW(NIM_MODIFY, &g_tray);
        } else if (wParam == kQuitTimer) {
            KillTimer(dialog, kQuitTimer);
            DestroyWindow(dialog);
        }
        return TRUE;
    case WM_DEVICECHANGE: {
        // Only arrival and removal carry a record; any other event with a
        // record is not looked at, and one without starts a pending arrival.
        const bool carriesRecord = wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE;
        if (!carriesRecord && lParam != 0) {
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        const auto kind = app().deviceFilter.on_device_change(
            wParam, carriesRecord ? reinterpret_cast<const void*>(lParam) : nullptr, [](const std::string& path) {
                char line[400];
                std::snprintf(line, sizeof(line), "[ ManagerTools ] PnPDeviceMessage() -> pDevInf->dbcc_name is %s \n",
                              path.c_str());
                log(line);
                uint32_t supported = 0;
                const uint32_t rc = kernel().IsSupportDev(path.c_str(), &supported);
                return rc == 0 && supported != 0;
            });
        if (kind) {
            if (*kind == EnumKind::removal) log("[ ManagerTools ] OnDevChange() -> m_MSG_TYPE == DBT_DEVICEREMOVECOMPLETE\n");
            else log("[ ManagerTools ] OnDevChange() -> m_MSG_TYPE == DBT_DEVICEARRIVAL\n");
            app().monitor->start_run(*kind);
        }
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header && header->idFrom == IDC_TAB && header->code == TCN_SELCHANGE) show_page(TabCtrl_GetCurSel(app().tab));
        return FALSE;
    }
    case WM_SIZE: layout_status_bar(); return FALSE;
    case kMsgTray: tray_event(wParam, lParam); return TRUE;
    case kMsgDeviceList:
        if (auto r = view_record(wParam)) device_list(&r->list, W(r->text));
        return TRUE;
    case kMsgStatusText:
        if (auto r = view_record(wParam)) status_text(r->list.operation, W(r->text));
        return TRUE;
    case kMsgDeviceControls: enable_device_controls(wParam != 0); return TRUE;
    case kMsgNotice:
        if (auto r = view_record(wParam)) notice(W(r->text));
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace qx::manager::win32
