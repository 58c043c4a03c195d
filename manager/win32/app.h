// The key manager tool's process-wide state on Windows, shared by the main
// dialog and its pages.  Everything with a window runs on the dialog thread;
// the monitor's workers reach the dialog only through SendMessage and
// PostMessage.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "cert_table.h"
#include "kernel_binding.h"
#include "language.h"
#include "monitor.h"
#include "startup.h"

namespace qx::manager::win32 {

using Text = std::u16string;

// Private messages of the main dialog and its pages.
constexpr UINT kMsgTray = 0x5227;
constexpr UINT kMsgDeviceList = 0x5228;
constexpr UINT kMsgStatusText = 0x5229;
constexpr UINT kMsgDeviceControls = 0x522A;
constexpr UINT kMsgPageRefresh = 0x522C;
constexpr UINT kMsgNotice = 0x522D;
// The certificate page's "listing ready" (posted by its refresh thread).
constexpr UINT kMsgCertListReady = WM_APP + 0x31;

constexpr uint32_t kUserCancelled = 0x90000001u;
constexpr uint32_t kCertExists = 0x9001u;
constexpr UINT_PTR kBalloonTimer = 1;
constexpr UINT_PTR kQuitTimer = 2;

// {operation, row, item data} of the device-list message.
struct DeviceListRecord {
    uint32_t operation;
    uint32_t row;
    uint32_t itemData;
};

struct App {
    HINSTANCE instance = nullptr;
    Text programDirectory;
    Text configPath;
    ToolConfig config;
    InstanceMarks marks;
    UINT toolMessage = 0;

    HWND mainDialog = nullptr;
    HWND tab = nullptr;
    HWND statusBar = nullptr;
    HWND devicePage = nullptr, certPage = nullptr, syscheckPage = nullptr, aboutPage = nullptr;
    HICON icon = nullptr, smallIcon = nullptr;

    std::unique_ptr<ToolLibraries> libraries;
    SlotManager slots;
    CurrentDevice current;
    WorkerTracker workers;
    std::unique_ptr<DeviceMonitor> monitor;
    std::unique_ptr<MonitorView> view;
    DeviceEventFilter deviceFilter;
    CertTable certTable;
    HDEVNOTIFY deviceNotification = nullptr;

    std::atomic<bool> setPinFlag{false};
    std::atomic<bool> closing{false};
    bool shown = false;
};

App& app();

// The kernel table (stand-ins before the library is bound).
const KernelApi& kernel();

// ---- small helpers ----
inline const wchar_t* W(const Text& t) { return reinterpret_cast<const wchar_t*>(t.c_str()); }
inline Text T(const wchar_t* s) { return Text(reinterpret_cast<const char16_t*>(s)); }
Text window_text(HWND window);
Text item_text(HWND dialog, int id);
void log(const char* line);

// Localized [TEXT] of the active language.
Text localized(std::string_view key);
// The localized message box of a result, with a control's text as caption.
void result_box(HWND owner, const Text& caption, std::string_view key, bool error);

// Applies the active language to a dialog resource: its controls' texts
// (the title only where `withTitle`).
void apply_dialog_language(HWND dialog, int resourceId, bool withTitle);

// Maps a reduced-layout control to the full layout when UserType is 0.
int layout_id(int id);
bool full_layout();

// ---- pages ----
INT_PTR CALLBACK DevicePageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK CertPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK SysCheckPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK AboutPageProc(HWND, UINT, WPARAM, LPARAM);

void refresh_device_page();
void refresh_cert_page();
void refresh_syscheck_page(bool rebuildColumns);
void relabel_pin_button(bool setPin);
void enable_device_controls(bool enable);

// "-sys": full access to `file` for every normal local account.
void grant_all_accounts(const Text& file);

// ---- main dialog ----
INT_PTR CALLBACK MainDialogProc(HWND, UINT, WPARAM, LPARAM);
void ShowMainDialog(uint32_t show);
void ShowMainDialogEx(uint32_t show);
// Device-list operation 2: the selected row gets a new label.
void rename_selected_device(const Text& label);

}  // namespace qx::manager::win32
