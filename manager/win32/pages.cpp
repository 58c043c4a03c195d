// The four pages of the main dialog: device (first tab), certificates,
// system check, about; and the helpers they share.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <ole2.h>
#include <olectl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "app.h"
#include "cert_import.h"
#include "qx/platform/system.h"
#include "qx/platform/wide_file.h"
#include "resource_ids.h"
#include "syscheck.h"

namespace qx::manager::win32 {

App& app() {
    static App instance;
    return instance;
}

void log(const char* line) { platform::debug_output(line); }

Text window_text(HWND window) {
    const int n = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(static_cast<size_t>(n) + 1, 0);
    GetWindowTextW(window, buffer.data(), n + 1);
    return T(buffer.data());
}

Text item_text(HWND dialog, int id) { return window_text(GetDlgItem(dialog, id)); }

Text localized(std::string_view key) { return language::LoadText(key, language::active_language().languageFile()); }

void result_box(HWND owner, const Text& caption, std::string_view key, bool error) {
    language::MessageBoxContent content;
    if (language::ComposeMessageBox(caption, language::active_language().languageFile(), key, error ? 2 : 1, &content) != 0)
        return;
    MessageBoxW(owner, W(content.text), W(content.caption), MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

namespace {
// The controls whose texts come from the language file, per dialog.
std::vector<int> language_controls(int resourceId) {
    switch (resourceId) {
    case IDD_MAIN: return {IDC_EXIT, IDC_DEVICE_LABEL, IDC_LANGUAGE_LABEL};
    case IDD_DEVICE_PAGE:
        return {IDC_DEVICE_FRAME,     IDC_VERIFY_PIN,        IDC_CHANGE_PIN,       IDC_CHANGE_LABEL,
                IDC_VIEW_INFO,        IDC_FULL_VERIFY_PIN,   IDC_FULL_CHANGE_PIN,  IDC_FULL_UNLOCK_PIN,
                IDC_FULL_CHANGE_LABEL, IDC_FULL_VIEW_INFO,   IDC_FULL_INIT_TOKEN};
    case IDD_CERT_PAGE:
        return {IDC_CERT_FRAME,       IDC_CERT_VIEW,          IDC_CERT_REGIST,       IDC_CERT_UNREGIST,
                IDC_FULL_CERT_VIEW,   IDC_FULL_CERT_REGIST,   IDC_FULL_CERT_UNREGIST, IDC_FULL_CERT_DELETE,
                IDC_FULL_CERT_IMPORT, IDC_CERT_OWNER_LABEL,   IDC_CERT_INFO_LABEL,   IDC_CERT_ISSUER_LABEL,
                IDC_CERT_EXPIRY_LABEL};
    case IDD_SYSCHECK_PAGE: return {IDOK};
    case IDD_ABOUT_PAGE: return {IDC_ABOUT_COMPANY, IDC_ABOUT_VERSION, IDC_ABOUT_RIGHTS};
    default: return {};
    }
}
}  // namespace

void apply_dialog_language(HWND dialog, int resourceId, bool withTitle) {
    if (!dialog) return;
    language::DialogTexts texts;
    if (language::LoadDialogTexts(language::active_language().languageFile(), resourceId, language_controls(resourceId),
                                  &texts) != 0)
        return;
    if (withTitle) SetWindowTextW(dialog, W(texts.title));
    for (const auto& [id, text] : texts.controls) SetDlgItemTextW(dialog, id, W(text));
}

bool full_layout() { return app().config.userType == 0; }

int layout_id(int id) {
    if (!full_layout()) return id;
    switch (id) {
    case IDC_VERIFY_PIN: return IDC_FULL_VERIFY_PIN;
    case IDC_CHANGE_PIN: return IDC_FULL_CHANGE_PIN;
    case IDC_CHANGE_LABEL: return IDC_FULL_CHANGE_LABEL;
    case IDC_VIEW_INFO: return IDC_FULL_VIEW_INFO;
    case IDC_CERT_VIEW: return IDC_FULL_CERT_VIEW;
    case IDC_CERT_REGIST: return IDC_FULL_CERT_REGIST;
    case IDC_CERT_UNREGIST: return IDC_FULL_CERT_UNREGIST;
    default: return id;
    }
}

void relabel_pin_button(bool setPin) {
    SetDlgItemTextW(app().devicePage, layout_id(IDC_CHANGE_PIN), W(localized(setPin ? "SetPin" : "ChangePin")));
}

namespace {

const int kReducedButtons[] = {IDC_VERIFY_PIN, IDC_CHANGE_PIN, IDC_CHANGE_LABEL, IDC_VIEW_INFO};
const int kFullButtons[] = {IDC_FULL_VERIFY_PIN, IDC_FULL_CHANGE_PIN, IDC_FULL_CHANGE_LABEL, IDC_FULL_VIEW_INFO,
                            IDC_FULL_UNLOCK_PIN, IDC_FULL_INIT_TOKEN};

void show_layout(HWND page, const int* reduced, size_t nReduced, const int* full, size_t nFull) {
    const bool f = full_layout();
    for (size_t i = 0; i < nReduced; ++i) ShowWindow(GetDlgItem(page, reduced[i]), f ? SW_HIDE : SW_SHOW);
    for (size_t i = 0; i < nFull; ++i) ShowWindow(GetDlgItem(page, full[i]), f ? SW_SHOW : SW_HIDE);
}

void enable_buttons(HWND page, bool enable) {
    if (full_layout()) {
        for (int id : kFullButtons) EnableWindow(GetDlgItem(page, id), enable);
    } else {
        for (int id : kReducedButtons) EnableWindow(GetDlgItem(page, id), enable);
    }
}

}  // namespace

void enable_device_controls(bool enable) {
    EnableWindow(GetDlgItem(app().mainDialog, IDC_DEVICE_COMBO), enable);
    enable_buttons(app().devicePage, enable);
    InvalidateRect(app().devicePage, nullptr, TRUE);
    InvalidateRect(GetDlgItem(app().mainDialog, IDC_DEVICE_COMBO), nullptr, TRUE);
}

void refresh_device_page() {
    if (!app().devicePage) return;
    const bool present = app().current.present();
    enable_buttons(app().devicePage, present);
    if (present) EnableWindow(GetDlgItem(app().mainDialog, IDC_DEVICE_COMBO), TRUE);
}

// ================= device page =================

namespace {

using VerifyFn = uint32_t (*)(DeviceHandle, uint32_t);
using UnlockFn = uint32_t (*)(DeviceHandle);
using LabelFn = uint32_t (*)(DeviceHandle, wchar_t*);

// Runs a UI-extension call on the current device; false when there is none.
bool with_device(const std::function<uint32_t(DeviceHandle)>& call, uint32_t* rc) {
    *rc = ERR_INVALID_PARAM;
    return app().current.use([&](DeviceHandle h) { *rc = call(h); });
}

template <typename F>
F ui(const char* name) {
    return app().libraries ? app().libraries->uiextend().function<F>(name) : nullptr;
}

void pin_state_after_change(HWND page) {
    uint32_t status = 0;
    bool known = false;
    app().current.use([&](DeviceHandle h) { known = kernel().GetPinStatus(h, &status) == 0; });
    if (known) {
        const bool setPin = (status & 0x80000u) != 0;
        app().setPinFlag = setPin;
        relabel_pin_button(setPin);
    }
    (void)page;
}

// The dialog library's own cancel code, which the UI extension passes on
// from some dialogs; the user cancelled all the same.
constexpr uint32_t kDialogCancelled = 0x800704C7u;

bool cancelled(uint32_t rc) { return rc == kUserCancelled || rc == kDialogCancelled; }

// Shows the outcome of a UI-extension call: nothing after a cancel.
bool report(HWND page, uint32_t rc, const Text& caption) {
    if (cancelled(rc)) return false;
    result_box(page, caption, rc == 0 ? "Success" : "Failed", rc != 0);
    return rc == 0;
}

void device_button(HWND page, int id) {
    uint32_t rc = 0;
    switch (id) {
    case IDC_VERIFY_PIN:
    case IDC_FULL_VERIFY_PIN: {
        auto f = ui<VerifyFn>("QXUIEx_VerifyPin");
        if (!f || !with_device([&](DeviceHandle h) { return f(h, 1); }, &rc)) rc = ERR_INVALID_PARAM;
        report(page, rc, item_text(page, IDC_VERIFY_PIN));
        break;
    }
    case IDC_CHANGE_PIN:
    case IDC_FULL_CHANGE_PIN: {
        const bool setPin = app().setPinFlag;
        auto f = ui<VerifyFn>(setPin ? "QXUIEx_SetPin" : "QXUIEx_ChangePin");
        if (!f || !with_device([&](DeviceHandle h) { return f(h, 1); }, &rc)) rc = ERR_INVALID_PARAM;
        if (rc == 0) app().setPinFlag = false;
        if (report(page, rc, item_text(page, id)) && setPin) relabel_pin_button(false);
        break;
    }
    case IDC_CHANGE_LABEL:
    case IDC_FULL_CHANGE_LABEL:
    case IDC_FULL_INIT_TOKEN: {
        const bool init = id == IDC_FULL_INIT_TOKEN;
        auto f = ui<LabelFn>(init ? "QXUIEx_InitToken" : "QXUIEx_ChangeDevName");
        wchar_t label[260] = {};
        if (!f || !with_device([&](DeviceHandle h) { return f(h, label); }, &rc)) rc = ERR_INVALID_PARAM;
        label[259] = 0;
        if (rc == 0) rename_selected_device(T(label));
        if (rc == 0 && init) pin_state_after_change(page);
        report(page, rc, item_text(page, init ? IDC_FULL_INIT_TOKEN : IDC_CHANGE_LABEL));
        break;
    }
    case IDC_VIEW_INFO:
    case IDC_FULL_VIEW_INFO: {
        auto f = ui<UnlockFn>("QXUIEx_ShowDevInfo");
        if (!f || !with_device([&](DeviceHandle h) { return f(h); }, &rc)) rc = ERR_INVALID_PARAM;
        if (rc != 0 && !cancelled(rc)) report(page, rc, item_text(page, id));
        break;
    }
    case IDC_FULL_UNLOCK_PIN: {
        auto f = ui<UnlockFn>("QXUIEx_UnlockPin");
        if (!f || !with_device([&](DeviceHandle h) { return f(h); }, &rc)) rc = ERR_INVALID_PARAM;
        if (rc == 0) pin_state_after_change(page);
        report(page, rc, item_text(page, IDC_FULL_UNLOCK_PIN));
        break;
    }
    default: break;
    }
}

struct Logo {
    HBITMAP bitmap = nullptr;
    int width = 0, height = 0;
    bool tried = false;
};
Logo g_logo;

void load_logo() {
    if (g_logo.tried) return;
    g_logo.tried = true;
    const auto bytes = platform::read_wide_file(language::join_path(app().programDirectory, u"logo.jpg"));
    if (!bytes || bytes->empty()) return;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes->size());
    if (!memory) return;
    std::copy(bytes->begin(), bytes->end(), static_cast<uint8_t*>(GlobalLock(memory)));
    GlobalUnlock(memory);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
        GlobalFree(memory);
        return;
    }
    IPicture* picture = nullptr;
    if (SUCCEEDED(OleLoadPicture(stream, static_cast<LONG>(bytes->size()), FALSE, IID_IPicture,
                                 reinterpret_cast<void**>(&picture))) && picture) {
        OLE_HANDLE handle = 0;
        if (SUCCEEDED(picture->get_Handle(&handle)))
            g_logo.bitmap = static_cast<HBITMAP>(CopyImage(reinterpret_cast<HBITMAP>(static_cast<uintptr_t>(handle)),
                                                           IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        picture->Release();
    }
    stream->Release();
    if (g_logo.bitmap) {
        BITMAP info{};
        GetObjectW(g_logo.bitmap, sizeof(info), &info);
        g_logo.width = info.bmWidth;
        g_logo.height = info.bmHeight;
    }
}

void erase_device_page(HWND page, HDC dc) {
    RECT client{};
    GetClientRect(page, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_3DFACE));
    load_logo();
    if (!g_logo.bitmap) return;
    RECT frame{};
    GetWindowRect(GetDlgItem(page, IDC_DEVICE_FRAME), &frame);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&frame), 2);
    const bool rtl = (GetWindowLongPtrW(page, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0;
    const int left = (rtl ? frame.left : frame.right) + 15;
    const RECT target{left, frame.top + 8, client.right - 15, frame.bottom - 10};
    if (target.right <= target.left || target.bottom <= target.top) return;
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, g_logo.bitmap);
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, target.left, target.top, target.right - target.left, target.bottom - target.top, memory, 0, 0,
               g_logo.width, g_logo.height, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
}

}  // namespace

INT_PTR CALLBACK DevicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        app().devicePage = page;
        apply_dialog_language(page, IDD_DEVICE_PAGE, false);
        show_layout(page, kReducedButtons, 4, kFullButtons, 6);
        enable_buttons(page, false);
        return TRUE;
    case WM_SHOWWINDOW:
        if (wParam) refresh_device_page();
        return FALSE;
    case WM_ERASEBKGND:
        erase_device_page(page, reinterpret_cast<HDC>(wParam));
        SetWindowLongPtrW(page, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) device_button(page, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE: SendMessageW(app().mainDialog, WM_CLOSE, 0, 0); return TRUE;
    default: return FALSE;
    }
    (void)lParam;
}

// ================= certificate page =================

namespace {

const int kCertReduced[] = {IDC_CERT_VIEW, IDC_CERT_REGIST, IDC_CERT_UNREGIST, IDC_CERT_FRAME};
const int kCertFull[] = {IDC_FULL_CERT_VIEW, IDC_FULL_CERT_REGIST, IDC_FULL_CERT_UNREGIST, IDC_FULL_CERT_DELETE,
                         IDC_FULL_CERT_IMPORT};
HIMAGELIST g_certImages = nullptr;

void enable_cert_buttons(HWND page, bool rows, bool device) {
    if (full_layout()) {
        for (int id : kCertFull) EnableWindow(GetDlgItem(page, id), rows);
        EnableWindow(GetDlgItem(page, IDC_FULL_CERT_IMPORT), device);
    } else {
        for (int i = 0; i < 3; ++i) EnableWindow(GetDlgItem(page, kCertReduced[i]), rows);
    }
}

void clear_details(HWND page) {
    for (int id : {IDC_CERT_SUBJECT, IDC_CERT_ISSUER, IDC_CERT_VALIDITY}) SetDlgItemTextW(page, id, L"");
}

void fill_cert_list(HWND page) {
    HWND list = GetDlgItem(page, IDC_CERT_LIST);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(list);
    const auto listing = app().certTable.listing();
    int row = 0;
    for (const auto& record : listing->records) {
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_IMAGE;
        item.iItem = row++;
        item.pszText = const_cast<wchar_t*>(W(record.commonName));
        item.iImage = 0;
        ListView_InsertItem(list, &item);
    }
    RECT r{};
    GetClientRect(list, &r);
    ListView_SetColumnWidth(list, 0, r.right - r.left);
    const bool rows = !listing->records.empty();
    enable_cert_buttons(page, rows, listing->hasDevice);
    if (rows) {
        ListView_SetItemState(list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    PostMessageW(app().syscheckPage, WM_COMMAND, IDOK, 0);
}

std::optional<size_t> selected_row(HWND page) {
    const int row = ListView_GetNextItem(GetDlgItem(page, IDC_CERT_LIST), -1, LVNI_SELECTED);
    if (row < 0) return std::nullopt;
    return static_cast<size_t>(row);
}

void show_action(HWND page, CertAction action, int captionId) {
    switch (action) {
    case CertAction::cancelled: return;
    case CertAction::selectCert:
    case CertAction::certExists: {
        language::MessageBoxContent c;
        if (language::ComposeMessageBox(u"", language::active_language().languageFile(), cert_action_key(action), 0, &c) == 0)
            MessageBoxW(page, W(c.text), L"", MB_OK | MB_ICONINFORMATION);
        return;
    }
    case CertAction::success: result_box(page, item_text(page, captionId), "Success", false); return;
    case CertAction::failed: result_box(page, item_text(page, captionId), "Failed", true); return;
    }
}

void show_details(HWND page) {
    clear_details(page);
    const auto row = selected_row(page);
    const auto listing = app().certTable.listing();
    if (!row || *row >= listing->records.size()) return;
    const auto& der = listing->records[*row].der;
    const auto summary = summarize_certificate(der.data(), der.size());
    if (!summary) return;
    SetDlgItemTextW(page, IDC_CERT_SUBJECT, W(summary->subject));
    SetDlgItemTextW(page, IDC_CERT_ISSUER, W(summary->issuer));
    SetDlgItemTextW(page, IDC_CERT_VALIDITY, W(validity_text(*summary)));
}

void view_certificate(HWND page) {
    const auto row = selected_row(page);
    const auto listing = app().certTable.listing();
    if (!row || *row >= listing->records.size()) {
        show_action(page, CertAction::selectCert, 0);
        return;
    }
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, folder))) return;
    const Text path = T(folder) + u"\\{EE1BE8CA-83F1-477b-8B27-D7E20D9DDAA7}.cer";
    HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const auto& der = listing->records[*row].der;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, der.data(), static_cast<DWORD>(der.size()), &written, nullptr);
    CloseHandle(file);
    if (ok && written == der.size()) ShellExecuteW(page, L"open", W(path), nullptr, nullptr, SW_SHOWNORMAL);
}

int CALLBACK browse_callback(HWND browser, UINT message, LPARAM lParam, LPARAM) {
    if (message == BFFM_INITIALIZED) {
        SetWindowTextW(browser, L"");
    } else if (message == BFFM_SELCHANGED) {
        wchar_t path[MAX_PATH] = {};
        const bool got = SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path) != FALSE;
        const bool acceptable = got && is_pfx_path(T(path));
        SendMessageW(browser, BFFM_ENABLEOK, 0, acceptable);
        SendMessageW(browser, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(acceptable ? path : L""));
    }
    return 0;
}

CertAction import_pfx(HWND page) {
    const Text title = item_text(page, IDC_FULL_CERT_IMPORT);
    BROWSEINFOW info{};
    info.hwndOwner = page;
    info.lpszTitle = W(title);
    info.ulFlags = BIF_BROWSEINCLUDEFILES | BIF_STATUSTEXT;
    info.lpfn = browse_callback;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return CertAction::cancelled;
    wchar_t path[MAX_PATH] = {};
    const bool got = SHGetPathFromIDListW(chosen, path) != FALSE;
    CoTaskMemFree(chosen);
    if (!got) return CertAction::failed;
    const auto bytes = read_pfx_for_import(T(path));
    if (!bytes) return CertAction::failed;
    GUID guid{};
    wchar_t name[64] = {};
    if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, name, 64) == 0) return CertAction::failed;
    using ImportFn = uint32_t (*)(DeviceHandle, const wchar_t*, const uiext::PfxDataBlob*);
    auto f = ui<ImportFn>("QXUIEx_ImportCert");
    if (!f) return CertAction::failed;
    uiext::PfxDataBlob blob{static_cast<uint32_t>(bytes->size()), bytes->data()};
    uint32_t rc = ERR_INVALID_PARAM;
    if (!app().current.use([&](DeviceHandle h) { rc = f(h, name, &blob); })) return CertAction::failed;
    if (rc == 0) return CertAction::success;
    if (rc == kCertExists) return CertAction::certExists;
    if (cancelled(rc)) return CertAction::cancelled;
    return CertAction::failed;
}

void cert_button(HWND page, int id) {
    const KernelApi& k = kernel();
    switch (id) {
    case IDC_CERT_VIEW:
    case IDC_FULL_CERT_VIEW: view_certificate(page); break;
    case IDC_CERT_REGIST:
    case IDC_FULL_CERT_REGIST: show_action(page, app().certTable.register_row(k, selected_row(page)), IDC_CERT_REGIST); break;
    case IDC_CERT_UNREGIST:
    case IDC_FULL_CERT_UNREGIST:
        show_action(page, app().certTable.unregister_row(k, selected_row(page)), IDC_CERT_UNREGIST);
        break;
    case IDC_FULL_CERT_DELETE: {
        using BoxFn = uint32_t (*)(const wchar_t*, const wchar_t*, uint32_t, uint32_t, const wchar_t*);
        auto box = ui<BoxFn>("QXUIEx_MessageBox");
        const Text caption = item_text(page, IDC_FULL_CERT_DELETE);
        const Text languageFile = language::active_language().languageFile();
        const auto action = app().certTable.delete_row(
            k, app().current, selected_row(page), localized("DeleteCert"),
            [&](const std::u16string& text) { return box && box(W(text), W(caption), 1, 1, W(languageFile)) == 1; });
        if (action == CertAction::success) fill_cert_list(page);
        show_action(page, action, IDC_FULL_CERT_DELETE);
        break;
    }
    case IDC_FULL_CERT_IMPORT: {
        const auto action = import_pfx(page);
        if (action == CertAction::success) refresh_cert_page();
        show_action(page, action, IDC_FULL_CERT_IMPORT);
        break;
    }
    default: break;
    }
}

}  // namespace

void refresh_cert_page() {
    HWND page = app().certPage;
    if (!page) return;
    clear_details(page);
    app().workers.start([page] {
        app().certTable.refresh(kernel(), app().current);
        if (!app().closing) PostMessageW(page, kMsgCertListReady, 0, 0);
    });
}

INT_PTR CALLBACK CertPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        app().certPage = page;
        apply_dialog_language(page, IDD_CERT_PAGE, false);
        HWND list = GetDlgItem(page, IDC_CERT_LIST);
        if (!g_certImages) {
            g_certImages = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 1, 1);
            HICON icon = static_cast<HICON>(LoadImageW(app().instance, MAKEINTRESOURCEW(IDI_CERT), IMAGE_ICON, 16, 16, 0));
            ImageList_AddIcon(g_certImages, icon);
            DestroyIcon(icon);
        }
        ListView_SetImageList(list, g_certImages, LVSIL_SMALL);
        ListView_SetExtendedListViewStyle(list, ListView_GetExtendedListViewStyle(list) | LVS_EX_DOUBLEBUFFER | LVS_EX_FULLROWSELECT);
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH;
        column.cx = 200;
        ListView_InsertColumn(list, 0, &column);
        show_layout(page, kCertReduced, 4, kCertFull, 5);
        enable_cert_buttons(page, false, false);
        return TRUE;
    }
    case WM_SHOWWINDOW:
        if (wParam) refresh_cert_page();
        return FALSE;
    case kMsgCertListReady: fill_cert_list(page); return TRUE;
    case kMsgPageRefresh:
        // Refreshing from the device page's message only while visible keeps
        // a hidden page from re-registering certificates behind the user's back.
        if (IsWindowVisible(page)) refresh_cert_page();
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (!header || header->idFrom != IDC_CERT_LIST) return FALSE;
        if (header->code == NM_DBLCLK) {
            view_certificate(page);
        } else if (header->code == LVN_ITEMCHANGED) {
            const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
            if ((change->uChanged & LVIF_STATE) && (change->uNewState & LVIS_SELECTED)) show_details(page);
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) cert_button(page, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE: SendMessageW(app().mainDialog, WM_CLOSE, 0, 0); return TRUE;
    default: return FALSE;
    }
}

// ================= system check page =================

namespace {

// The kernel calls of the report on the current device.
class KernelTokenQueries : public syscheck::TokenQueries {
public:
    bool connected() const override { return app().current.present(); }
    std::optional<std::string> serial_number() override {
        std::optional<std::string> out;
        app().current.use([&](DeviceHandle h) {
            uint8_t buffer[261] = {};
            uint32_t length = 260;
            if (kernel().GetDeviceSerialNumber(h, buffer, &length) == 0)
                out = std::string(reinterpret_cast<const char*>(buffer), std::min<uint32_t>(length, 260));
        });
        return out;
    }
    bool extended_authentication() override {
        bool met = false;
        app().current.use([&](DeviceHandle h) { met = kernel().IsMeetSecurityStatus(h, 3) != 0; });
        return met;
    }
    std::optional<uint32_t> user_pin_retries() override {
        std::optional<uint32_t> out;
        app().current.use([&](DeviceHandle h) {
            uint32_t count = 0;
            if (kernel().GetPinRetryNum(h, 1, &count) == 0) out = count;
        });
        return out;
    }
    std::optional<uint32_t> slot_number() override {
        std::optional<uint32_t> out;
        app().current.use([&](DeviceHandle h) {
            uint32_t slot = 0;
            if (kernel().GetDeviceSlotNO(h, &slot) == 0) out = slot;
        });
        return out;
    }
    uint32_t read_mem_cert(uint32_t slot, bool first, syscheck::Bytes* out) override {
        out->assign(2048, 0);
        uint32_t length = 2048;
        const uint32_t rc = kernel().ReadMemCert(slot, out->data(), &length, first ? 1 : 0);
        out->resize(rc == 0 ? std::min<uint32_t>(length, 2048) : 0);
        return rc;
    }
    void with_mem_cert_lock(const std::function<void()>& walk) override {
        // The monitor's lock: its clean-up walks share the kernel's read position.
        if (app().monitor) app().monitor->with_mem_cert_lock(walk);
        else walk();
    }
};

void insert_columns(HWND list, int first, int second) {
    while (ListView_DeleteColumn(list, 0)) {
    }
    const Text headers[2] = {localized("System_Check"), localized("UKeyState")};
    const int widths[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = widths[i];
        column.pszText = const_cast<wchar_t*>(W(headers[i]));
        ListView_InsertColumn(list, i, &column);
    }
}

void fill_report(HWND page) {
    HWND list = GetDlgItem(page, IDC_SYSCHECK_LIST);
    ListView_DeleteAllItems(list);
    KernelTokenQueries token;
    auto stores = syscheck::system_stores();
    const auto rows = syscheck::build_report(syscheck::read_system_facts(), token, *stores,
                                             syscheck::install_certs(app().configPath), syscheck::system_file_reader(),
                                             [](const char* key) { return localized(key); });
    int index = 0;
    for (const auto& row : rows) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<wchar_t*>(W(row.label));
        ListView_InsertItem(list, &item);
        ListView_SetItemText(list, index, 1, const_cast<wchar_t*>(W(row.value)));
        ++index;
    }
}

}  // namespace

void refresh_syscheck_page(bool rebuildColumns) {
    HWND page = app().syscheckPage;
    if (!page) return;
    HWND list = GetDlgItem(page, IDC_SYSCHECK_LIST);
    if (rebuildColumns) {
        RECT r{};
        GetClientRect(list, &r);
        const auto [first, second] = syscheck::column_widths(r.right - r.left);
        insert_columns(list, first, second);
    }
    fill_report(page);
}

INT_PTR CALLBACK SysCheckPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        app().syscheckPage = page;
        apply_dialog_language(page, IDD_SYSCHECK_PAGE, false);
        HWND list = GetDlgItem(page, IDC_SYSCHECK_LIST);
        ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
        insert_columns(list, 140, 375);
        return TRUE;
    }
    case WM_SHOWWINDOW:
        if (wParam) refresh_syscheck_page(true);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) fill_report(page);
        return TRUE;
    case WM_CLOSE: SendMessageW(app().mainDialog, WM_CLOSE, 0, 0); return TRUE;
    default: return FALSE;
    }
    (void)lParam;
}

// ================= information page =================

INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        app().aboutPage = page;
        apply_dialog_language(page, IDD_ABOUT_PAGE, false);
        return TRUE;
    case WM_CLOSE: SendMessageW(app().mainDialog, WM_CLOSE, 0, 0); return TRUE;
    default: return FALSE;
    }
}

}  // namespace qx::manager::win32
