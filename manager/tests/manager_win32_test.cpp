// The key manager tool under Wine: an installation of its own with virtual
// tokens, the tool started as a real process, driven and read from this
// process the way another program would (window messages, the screen).
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "language.h"
#include "platform/tests/test_certs.h"
#include "qx/platform/device_broadcast.h"
#include "qx/platform/module.h"
#include "screenshot.h"
#include "startup.h"
#include "support/kernel_fixture.h"
#include "token_env.h"

using namespace qx::kernel::test;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kStartWaitMs = 30000;
// The PIN rules the UI extension checks new and typed PINs against.
constexpr char kPinPolicy[] =
    "[PIN]\r\nMaxPinLen = 16\r\nMinPinLen = 6\r\nRequireDigit = 2\r\nRequireAlphabetic = 2\r\nRequireSpecial = 2\r\n"
    "RequireComplex = 0\r\n";

std::wstring wide(const std::string& s) {
    const auto t = qx::language::to_text(s);
    return std::wstring(t.begin(), t.end());
}

std::string narrow(const std::wstring& s) {
    return qx::language::to_utf8(std::u16string(s.begin(), s.end()));
}

bool wait_for(const std::function<bool()>& condition, DWORD ms) {
    const DWORD until = GetTickCount() + ms;
    while (!condition()) {
        if (static_cast<int32_t>(GetTickCount() - until) > 0) return false;
        Sleep(100);
    }
    return true;
}

std::wstring text_of(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR n = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, 5000, &n);
    return buffer;
}

// Memory in the tool's process for the control messages the system does not
// carry across processes (list views, status bars).
class RemoteBuffer {
public:
    RemoteBuffer(HWND window, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) address_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    void* address() const { return address_; }
    bool write(const void* data, size_t n, size_t offset = 0) {
        SIZE_T done = 0;
        return WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, n, &done) && done == n;
    }
    bool read(void* data, size_t n, size_t offset = 0) {
        SIZE_T done = 0;
        return ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, n, &done) && done == n;
    }

private:
    HANDLE process_ = nullptr;
    void* address_ = nullptr;
    size_t size_;
};

std::wstring list_text(HWND list, int row, int column) {
    RemoteBuffer remote(list, sizeof(LVITEMW) + 1024);
    if (!remote.address()) return L"<no buffer>";
    LVITEMW item{};
    item.iSubItem = column;
    item.cchTextMax = 500;
    item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.address()) + sizeof(LVITEMW));
    remote.write(&item, sizeof(item));
    DWORD_PTR n = 0;
    SendMessageTimeoutW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote.address()), SMTO_NORMAL, 5000, &n);
    wchar_t text[501] = {};
    remote.read(text, 1000, sizeof(LVITEMW));
    return text;
}

int list_count(HWND list) {
    DWORD_PTR n = 0;
    SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &n);
    return static_cast<int>(n);
}

std::wstring status_part(HWND bar, int part) {
    RemoteBuffer remote(bar, 1024);
    if (!remote.address()) return L"<no buffer>";
    DWORD_PTR n = 0;
    SendMessageTimeoutW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(remote.address()), SMTO_NORMAL, 5000, &n);
    wchar_t text[512] = {};
    remote.read(text, 1000);
    return text;
}

// Selects `row` of a list view in another process; row -1 with `selected`
// false clears every selection.
void select_list_row(HWND list, int row, bool selected = true) {
    RemoteBuffer remote(list, sizeof(LVITEMW));
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = selected ? item.stateMask : 0;
    remote.write(&item, sizeof(item));
    DWORD_PTR n = 0;
    SendMessageTimeoutW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(remote.address()), SMTO_NORMAL, 5000, &n);
}

bool in_personal_store(const std::vector<uint8_t>& der) {
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    if (!store) return false;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT found =
        wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr) : nullptr;
    if (found) CertFreeCertificateContext(found);
    if (wanted) CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    return found != nullptr;
}

int combo_count(HWND combo) {
    DWORD_PTR n = 0;
    SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 5000, &n);
    return static_cast<int>(n);
}

struct Found {
    std::wstring property;
    uintptr_t mark;
    std::vector<HWND> windows;
};

BOOL CALLBACK collect(HWND window, LPARAM context) {
    auto* f = reinterpret_cast<Found*>(context);
    if (reinterpret_cast<uintptr_t>(GetPropW(window, f->property.c_str())) == f->mark) f->windows.push_back(window);
    return TRUE;
}

// Message boxes of process `pid` ("#32770" top-level windows with a static text).
std::vector<HWND> message_boxes(DWORD pid) {
    struct Ctx {
        DWORD pid;
        std::vector<HWND> out;
    } ctx{pid, {}};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* c = reinterpret_cast<Ctx*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            wchar_t name[64] = {};
            GetClassNameW(w, name, 64);
            if (owner == c->pid && lstrcmpW(name, L"#32770") == 0 && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF))
                c->out.push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&ctx));
    return ctx.out;
}

class ManagerTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Without a window manager Wine draws no frame unless it draws it
        // itself; the tool started afterwards reads this at its start.
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            for (const wchar_t* name : {L"Decorated", L"Managed"})
                RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
            RegCloseKey(key);
        }
    }

    // A fresh installation: the tool, the kernel with the real transport, the
    // UI extension with the scripted dialog library, languages, skin, logo.
    void install(int userType, const std::string& extra = "", bool withUiExtension = true, bool withSkin = true) {
        clear_tokens();
        name_ = "mw" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++counter_);
        dir_ = install_kernel(name_);
        const std::string bin = binary_directory();
        const auto overwrite = fs::copy_options::overwrite_existing | fs::copy_options::recursive;
        fs::copy_file(bin + "QXUKMgrSvr.exe", dir_ + "QXUKMgrSvr.exe", overwrite);
        if (withUiExtension) fs::copy_file(bin + "QXUIExtend.dll", dir_ + "QXUIExtend.dll", overwrite);
        fs::copy_file(bin + "scripted-ui/QXUI.dll", dir_ + "QXUI.dll", overwrite);
        fs::copy(bin + "Languages", dir_ + "Languages", overwrite);
        if (withSkin) fs::copy(bin + "Skins", dir_ + "Skins", overwrite);
        fs::copy_file(bin + "logo.jpg", dir_ + "logo.jpg", overwrite);
        product_ = "{QX-" + name_ + "}";
        write_bytes(dir_ + "Config.ini",
                    plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name_) + "\r\nProductName = " + product_ +
                              "\r\nUserType = " + std::to_string(userType) + "\r\nDebug = 65535\r\nLogFile = " + dir_ + "kernel.log" +
                              "\r\n[DeviceInfo]\r\nQXFilterWords = QXVTOKEN;VToken\r\nCCIDFilterWords = VToken CCID\r\n" +
                              kChannelWords + kPinPolicy + "[LanguageDefaultSetting]\r\nlanguage = English\r\n1033 = language_enu.ini\r\n"
                              "2052 = language_chs.ini\r\n" + extra));
        marks_ = qx::manager::make_instance_marks(qx::language::to_text(product_));
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"QXUI_SCRIPT_FILE", nullptr);
        SetEnvironmentVariableW(L"QXUI_TRANSCRIPT_FILE", nullptr);
        for (HWND w : windows()) PostMessageW(w, WM_TIMER, 2, 0);  // the quit timer's expiry ends the tool
        for (HANDLE p : processes_) {
            if (WaitForSingleObject(p, 10000) != WAIT_OBJECT_0) TerminateProcess(p, 1);
            CloseHandle(p);
        }
        processes_.clear();
        if (getenv("QX_DUMP_KERNEL_LOG")) printf("%s\n", read_text(dir_ + "kernel.log").c_str());
    }

    // qxtoken from the installation, on the test's tokens; its exit code.
    DWORD qxtoken(const std::string& args) {
        SetEnvironmentVariableW(L"QX_VTOKEN_HOME", wide(vtoken_home()).c_str());
        std::wstring line = L"\"" + wide(dir_) + L"qxtoken.exe\" " + wide(args);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, wide(dir_).c_str(), &si, &pi))
            return ~0u;
        CloseHandle(pi.hThread);
        DWORD code = ~0u;
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        return code;
    }

    HANDLE run(const std::string& args = "") {
        // The tool's kernel finds the test's virtual tokens.
        SetEnvironmentVariableW(L"QX_VTOKEN_HOME", wide(vtoken_home()).c_str());
        std::wstring line = L"\"" + wide(dir_) + L"QXUKMgrSvr.exe\"" + (args.empty() ? L"" : L" " + wide(args));
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, wide(dir_).c_str(), &si, &pi)) {
            ADD_FAILURE() << "cannot start the tool: " << GetLastError();
            return nullptr;
        }
        CloseHandle(pi.hThread);
        processes_.push_back(pi.hProcess);
        return pi.hProcess;
    }

    std::vector<HWND> windows() {
        Found f{std::wstring(marks_.property64.begin(), marks_.property64.end()), marks_.mark64, {}};
        EnumWindows(collect, reinterpret_cast<LPARAM>(&f));
        return f.windows;
    }

    HWND start_tool(const std::string& args = "") {
        run(args);
        HWND w = nullptr;
        wait_for([&] {
            auto all = windows();
            if (all.empty()) return false;
            w = all.front();
            return IsWindowVisible(w) != FALSE;
        }, kStartWaitMs);
        return w;
    }

    // A token with label, PINs ("123456", "87654321") and file system, plugged in.
    void initialised_token() {
        device_token_ = name_ + "t";
        device_ = create_blank_token(device_token_);
        Kernel k(dir_);
        DeviceHandle h = nullptr;
        k.openDezo(device_.c_str(), &h);  // a blank token cannot authenticate, yet the handle is kept
        ASSERT_NE(nullptr, h);
        auto init = k.module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        ASSERT_NE(nullptr, init);
        const std::u16string label = u"Shield";
        ASSERT_EQ(0u, init(h, "123456", 6, "87654321", 8, reinterpret_cast<const uint8_t*>(label.data()),
                           static_cast<uint32_t>(label.size() * 2)));
        k.close(h);
    }
    // The answers the tool's dialog library gives, and where it writes what it asked.
    void script(const std::string& lines) {
        write_bytes(dir_ + "script.txt", std::vector<uint8_t>(lines.begin(), lines.end()));
        SetEnvironmentVariableW(L"QXUI_SCRIPT_FILE", wide(dir_ + "script.txt").c_str());
        SetEnvironmentVariableW(L"QXUI_TRANSCRIPT_FILE", wide(dir_ + "transcript.txt").c_str());
    }
    std::string transcript() { return read_text(dir_ + "transcript.txt"); }
    // Clicks `button` without waiting for it (the outcome is a modal box) and
    // returns the text of the message box that follows, "" when none came
    // once `asks` more questions were asked.
    std::wstring click_for_box(HWND main, HWND button, size_t asks) {
        DWORD pid = 0;
        GetWindowThreadProcessId(main, &pid);
        auto count_asks = [&] {
            const std::string t = transcript();
            size_t n = 0;
            for (size_t at = t.find("ask "); at != std::string::npos; at = t.find("ask ", at + 1)) ++n;
            return n;
        };
        const size_t before = count_asks();
        PostMessageW(button, BM_CLICK, 0, 0);
        std::vector<HWND> boxes;
        const bool shown = wait_for([&] { return !(boxes = message_boxes(pid)).empty(); }, 8000);
        EXPECT_EQ(before + asks, count_asks()) << transcript();
        if (!shown) return L"";
        const std::wstring text = text_of(GetDlgItem(boxes.front(), 0xFFFF));
        PostMessageW(boxes.front(), WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(wait_for([&] { return !IsWindow(boxes.front()); }, 10000)) << "the message box stayed";
        return text;
    }

    HWND item(HWND dialog, int id) { return GetDlgItem(dialog, id); }
    HWND page(HWND main, int resource) {
        // Pages are children of the tab control, told apart by a control they hold.
        HWND tab = item(main, 1046);
        const int marker = resource == 130 ? 1003 : resource == 129 ? 1010 : resource == 135 ? 1034 : 1019;
        HWND found = nullptr;
        for (HWND c = GetWindow(tab, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            if (GetDlgItem(c, marker)) found = c;
        return found;
    }
    void select_tab(HWND main, int index) {
        DWORD_PTR r = 0;
        SendMessageTimeoutW(item(main, 1046), TCM_SETCURFOCUS, index, 0, SMTO_NORMAL, 5000, &r);
        Sleep(400);
    }
    std::vector<std::pair<std::wstring, std::wstring>> report(HWND main) {
        HWND list = item(page(main, 135), 1034);
        std::vector<std::pair<std::wstring, std::wstring>> rows;
        for (int i = 0; i < list_count(list); ++i) rows.emplace_back(list_text(list, i, 0), list_text(list, i, 1));
        return rows;
    }
    void plug(bool in) {
        set_plugged(device_token_, in);
        qx::platform::broadcast_device_change(in, device_);
    }
    void shot(HWND main, const std::string& name) {
        SetForegroundWindow(main);
        RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(300);
        const std::string path = std::string(QX_SCREENSHOT_DIR) + "/" + name + ".png";
        EXPECT_TRUE(qx::test::capture_window_png(main, path)) << path;
    }

    static inline int counter_ = 0;
    std::string name_, dir_, product_, device_, device_token_;
    qx::manager::InstanceMarks marks_;
    std::vector<HANDLE> processes_;
};

TEST_F(ManagerTool, StartSecondStartHandOverAndQuit) {
    install(1);
    HWND main = start_tool();
    ASSERT_NE(nullptr, main) << "the tool's window did not appear";
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_NE(ERROR, GetWindowRgn(main, CreateRectRgn(0, 0, 0, 0))) << "the skinned frame sets a window shape";

    // A second start hands over and ends; one window stays.
    HANDLE second = run();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 15000));
    EXPECT_EQ(1u, windows().size());

    // Show code 0 from another process hides, 1 shows again.
    COPYDATASTRUCT data{};
    wchar_t identity[10] = L"QuorvaKey";
    data.cbData = 20;
    data.lpData = identity;
    DWORD_PTR result = 0;
    data.dwData = 0;
    SendMessageTimeoutW(main, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
    EXPECT_FALSE(IsWindowVisible(main));
    data.dwData = 1;
    SendMessageTimeoutW(main, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
    EXPECT_TRUE(IsWindowVisible(main));

    // "-Q" in capitals ends the running instance, and itself.
    HANDLE quit = run("-Q");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(quit, 15000));
    EXPECT_TRUE(wait_for([&] { return windows().empty(); }, 15000)) << "the instance did not quit";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(processes_.front(), 15000));

    // "-q" with none running creates nothing.
    HANDLE lone = run("-q");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(lone, 15000));
    EXPECT_TRUE(windows().empty());
}

TEST_F(ManagerTool, SystemModeSetsTheDefaultLanguageAndStarts) {
    install(1);
    // Config.ini names Chinese; "-sys" writes the display name of the user's
    // language file instead (Wine's UI language is 0x0409: English).
    write_bytes(dir_ + "Config.ini",
                plain_ini("[QXTokenInfo]\r\nCSPName = " + provider_of(name_) + "\r\nProductName = " + product_ +
                          "\r\n[DeviceInfo]\r\n[LanguageDefaultSetting]\r\nlanguage = \xE7\xAE\x80\xE4\xBD\x93\xE4\xB8\xAD\xE6\x96\x87\r\n"
                          "1033 = language_enu.ini\r\n"));
    EXPECT_EQ(read_text(dir_ + "Config.ini").find("English"), std::string::npos);
    // The provider beside the tool is registered under the installation's name.
    fs::copy_file(binary_directory() + "QXCSP.dll", dir_ + "QXCSP.dll", fs::copy_options::overwrite_existing);
    const std::string providerKey = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + provider_of(name_);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, providerKey.c_str());
    run("-sys");
    ASSERT_TRUE(wait_for([&] { return !windows().empty(); }, kStartWaitMs));
    EXPECT_NE(read_text(dir_ + "Config.ini").find("English"), std::string::npos);
    char image[MAX_PATH] = {};
    DWORD size = sizeof image;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, providerKey.c_str(), "Image Path", RRF_RT_REG_SZ,
                                          nullptr, image, &size));
    EXPECT_EQ(fs::path(image), fs::path(dir_ + "QXCSP.dll"));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, providerKey.c_str());
}

TEST_F(ManagerTool, HostileMessagesAreIgnored) {
    install(1);
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    DWORD_PTR result = 0;
    auto copy = [&](ULONG_PTR code, const void* bytes, DWORD size) {
        COPYDATASTRUCT data{code, size, const_cast<void*>(bytes)};
        SendMessageTimeoutW(main, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
    };
    const wchar_t identity[10] = L"QuorvaKey";
    const wchar_t other[10] = L"QuorvaKez";
    copy(2, nullptr, 0);
    copy(2, identity, 18);          // short of the terminator
    copy(2, other, 20);             // another text
    copy(0, "QuorvaKey", 10);       // 8-bit text
    copy(~0ull, identity, 20);      // an unknown code shows, never quits
    EXPECT_TRUE(IsWindowVisible(main));

    // Device broadcasts without a record, with a short one, of another type,
    // with an unterminated name, and a node change carrying a stray value.
    std::vector<uint8_t> record(64, 0);
    auto device = [&](WPARAM event, uint32_t size, uint32_t type, bool terminate) {
        std::fill(record.begin(), record.end(), 'A');
        std::memcpy(record.data(), &size, 4);
        std::memcpy(record.data() + 4, &type, 4);
        if (terminate) record[62] = record[63] = 0;
        SendMessageTimeoutW(main, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record.data()), SMTO_NORMAL, 5000,
                            &result);
    };
    SendMessageTimeoutW(main, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_NORMAL, 5000, &result);
    device(DBT_DEVICEARRIVAL, 12, DBT_DEVTYP_DEVICEINTERFACE, true);
    device(DBT_DEVICEARRIVAL, 64, DBT_DEVTYP_VOLUME, true);
    device(DBT_DEVICEREMOVECOMPLETE, 64, DBT_DEVTYP_DEVICEINTERFACE, false);
    SendMessageTimeoutW(main, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0x1234, SMTO_NORMAL, 5000, &result);
    // The private messages name records of the tool's own threads only.
    for (UINT m : {0x5228u, 0x5229u, 0x522Du}) SendMessageTimeoutW(main, m, 0xDEAD, 0xBEEF, SMTO_NORMAL, 5000, &result);
    Sleep(500);
    ASSERT_EQ(1u, windows().size()) << "the tool ended";
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_EQ(0, combo_count(item(main, 1000)));
}

TEST_F(ManagerTool, MissingUIExtensionIsReportedInAMessageBox) {
    install(1, "", false);
    HANDLE process = run();
    std::vector<HWND> boxes;
    ASSERT_TRUE(wait_for([&] { return !(boxes = message_boxes(GetProcessId(process))).empty(); }, kStartWaitMs));
    const std::wstring text = text_of(GetDlgItem(boxes.front(), 0xFFFF));
    EXPECT_EQ(0u, text.find(L"Can't Load QXUIExt Library:")) << narrow(text);
    PostMessageW(boxes.front(), WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(wait_for([&] { return !IsWindow(boxes.front()); }, 10000)) << "the message box stayed";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 15000));
    EXPECT_TRUE(windows().empty());
}

TEST_F(ManagerTool, MissingThemeKeepsTheSystemLook) {
    install(1, "", true, false);
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(ERROR, GetWindowRgn(main, CreateRectRgn(0, 0, 0, 0)));
    EXPECT_NE(0, GetWindowLongPtrW(main, GWL_STYLE) & WS_CAPTION);
    shot(main, "unskinned-device");
}

// Every page in both layouts, with and without a token; plug and unplug
// seen in the device list, the status bar and the system check.
class ManagerToolPages : public ManagerTool, public ::testing::WithParamInterface<int> {};

TEST_P(ManagerToolPages, PagesWithAndWithoutToken) {
    const int userType = GetParam();
    install(userType);
    device_token_ = name_ + "t";
    device_ = create_blank_token(device_token_);
    {
        // An initialised token: label, PINs and file system.
        Kernel k(dir_);
        DeviceHandle h = nullptr;
        k.openDezo(device_.c_str(), &h);  // a blank token cannot authenticate, yet the handle is kept
        ASSERT_NE(nullptr, h);
        auto init = k.module.function<PFN_QXToken_InitToken>("QXToken_InitToken");
        ASSERT_NE(nullptr, init);
        const std::u16string label = u"Shield";  // the token keeps its label as UTF-16
        ASSERT_EQ(0u, init(h, "123456", 6, "87654321", 8, reinterpret_cast<const uint8_t*>(label.data()),
                           static_cast<uint32_t>(label.size() * 2)));
        k.close(h);
    }
    set_plugged(device_token_, false);
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    const std::string layout = userType == 0 ? "full" : "reduced";
    HWND devicePage = page(main, 130);
    ASSERT_NE(nullptr, devicePage);
    const bool full = userType == 0;
    for (int id : {1035, 1036, 1037, 1038, 1039, 1040}) EXPECT_EQ(full, IsWindowVisible(item(devicePage, id)) != FALSE) << id;
    for (int id : {1004, 1005, 1006, 1007}) EXPECT_EQ(!full, IsWindowVisible(item(devicePage, id)) != FALSE) << id;
    EXPECT_FALSE(IsWindowEnabled(item(devicePage, full ? 1035 : 1004)));

    const char* tabs[4] = {"device", "certificates", "syscheck", "about"};
    for (int i = 0; i < 4; ++i) {
        select_tab(main, i);
        shot(main, layout + "-notoken-" + tabs[i]);
    }
    select_tab(main, 2);
    auto rows = report(main);
    ASSERT_EQ(8u, rows.size());  // no [InstallCert]
    EXPECT_EQ(L"Microsoft Windows 7", rows[0].second);
    EXPECT_EQ(L"11.0.9600.18376", rows[1].second);
    EXPECT_EQ(L"128-Bit", rows[2].second);
    EXPECT_EQ(L"Not connected", rows[3].second);
    for (size_t i = 4; i < 8; ++i) EXPECT_EQ(L"", rows[i].second) << i;

    // Plugged in: listed (after the arrival's 2 s), connected, serial shown.
    plug(true);
    ASSERT_TRUE(wait_for([&] { return combo_count(item(main, 1000)) == 1; }, 20000)) << "arrival not seen";
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(item(devicePage, full ? 1035 : 1004)) != FALSE; }, 5000));
    auto connected = [&](const wchar_t* state) {
        return wait_for([&] {
            select_tab(main, 1);
            select_tab(main, 2);  // the report is made when its page is shown
            auto r = report(main);
            return r.size() >= 4 && r[3].second == state;
        }, 10000);
    };
    EXPECT_TRUE(connected(L"Connected"));
    rows = report(main);
    ASSERT_GE(rows.size(), 8u);
    EXPECT_EQ(std::wstring::npos, rows[4].second.find_first_not_of(L"0123456789ABCDEF")) << "serial number";
    EXPECT_FALSE(rows[4].second.empty());
    EXPECT_EQ(L"Not blocked", rows[6].second);
    HWND combo = item(main, 1000);
    wchar_t label[64] = {};
    SendMessageTimeoutW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(label), SMTO_NORMAL, 5000, nullptr);
    EXPECT_STREQ(L"Shield", label);
    // Choosing the row of the current device neither closes nor reopens it:
    // the status bar does not change to "connected".
    HWND statusBar = FindWindowExW(main, nullptr, STATUSCLASSNAMEW, nullptr);
    const std::wstring before = status_part(statusBar, 0);
    SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(1000, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo), SMTO_NORMAL,
                        5000, nullptr);
    EXPECT_EQ(before, status_part(statusBar, 0));
    for (int i = 0; i < 4; ++i) {
        select_tab(main, i);
        shot(main, layout + "-token-" + tabs[i]);
    }

    // A cancelled UI-extension dialog (the scripted library cancels) shows nothing.
    select_tab(main, 0);
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    SendMessageTimeoutW(item(devicePage, full ? 1035 : 1004), BM_CLICK, 0, 0, SMTO_NORMAL, 10000, nullptr);
    Sleep(500);
    for (HWND box : message_boxes(pid)) {
        ADD_FAILURE() << "message after a cancelled dialog: " << narrow(text_of(box)) << ": "
                      << narrow(text_of(GetDlgItem(box, 0xFFFF)));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }

    // Pulled out: the list empties and the controls are disabled.
    plug(false);
    ASSERT_TRUE(wait_for([&] { return combo_count(item(main, 1000)) == 0; }, 20000)) << "removal not seen";
    EXPECT_TRUE(wait_for([&] { return !IsWindowEnabled(item(devicePage, full ? 1035 : 1004)); }, 5000));
    EXPECT_TRUE(connected(L"Not connected"));
}

// Device buttons through the UI extension: the right PIN gives "Success",
// a wrong one "Failed", a cancel no message at all.
TEST_F(ManagerTool, DeviceButtonsReportTheOutcome) {
    install(1);
    initialised_token();
    script("123456\n"                                   // verify: right PIN
           "111111\n<cancel>\n"                          // verify: wrong PIN, then cancel at the retry
           "<cancel>\n"                                  // verify: cancelled
           "123456\n13579a\n13579b\n<cancel>\n"          // change: the new PINs differ
           "123456\n13579a\n13579a\n"                    // change: done
           "13579a\n");                                 // verify with the new PIN
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    HWND devicePage = page(main, 130);
    ASSERT_NE(nullptr, devicePage);
    HWND verify = item(devicePage, 1004), change = item(devicePage, 1005);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(verify) != FALSE; }, 20000)) << "the token was not found";
    // The status line tells the token is connected.
    HWND statusBar = FindWindowExW(main, nullptr, STATUSCLASSNAMEW, nullptr);
    EXPECT_TRUE(wait_for([&] { return status_part(statusBar, 0) == L"Token connected"; }, 5000))
        << narrow(status_part(statusBar, 0));
    EXPECT_EQ(L"Change PIN", text_of(change));

    struct Step {
        HWND button;
        size_t asks;
        const wchar_t* box;  // nullptr: none
    } steps[] = {
        {verify, 1, L"Verify PIN done."},  {verify, 2, L"Verify PIN failed."}, {verify, 1, nullptr},
        {change, 4, L"Change PIN failed."}, {change, 3, L"Change PIN done."},  {verify, 1, L"Verify PIN done."},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const std::wstring text = click_for_box(main, steps[i].button, steps[i].asks);
        EXPECT_EQ(steps[i].box ? std::wstring(steps[i].box) : std::wstring(), text) << "step " << i;
    }
    EXPECT_NE(std::string::npos, transcript().find("ask Verify PIN: User PIN:")) << transcript();
}

// The certificate page on a token holding one certificate: unregister and
// register again ("MY" follows), then delete it from the token.
TEST_F(ManagerTool, CertificatePageRegistersAndDeletes) {
    install(0, "[InitKeypairsNum]\r\nRSA1024 = 2\r\n");
    fs::copy_file(binary_directory() + "qxtoken.exe", dir_ + "qxtoken.exe", fs::copy_options::overwrite_existing);
    initialised_token();
    const std::string cn = "Manager Page " + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    const auto der = qx::test::self_signed(qx::test::KeyKind::Rsa, cn, GetTickCount() + 1000ull * GetCurrentProcessId());
    write_bytes(dir_ + "user.der", der);
    ASSERT_EQ(0u, qxtoken("container create box --pin 123456"));
    ASSERT_EQ(0u, qxtoken("keys generate --container box --type rsa1024 --pin 123456"));
    ASSERT_EQ(0u, qxtoken("cert write --container box --in \"" + dir_ + "user.der\" --pin 123456"));

    script("123456\nyes\n");  // the user PIN for the deletion, then its confirmation
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    HWND devicePage = page(main, 130), certPage = page(main, 129);
    ASSERT_NE(nullptr, certPage);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(item(devicePage, 1035)) != FALSE; }, 20000)) << "no token";
    select_tab(main, 1);
    HWND list = item(certPage, 1010);
    ASSERT_TRUE(wait_for([&] { return list_count(list) == 1; }, 10000)) << list_count(list);
    EXPECT_TRUE(in_personal_store(der)) << "listing registers the certificate";

    auto ends_with = [](const std::wstring& text, const std::wstring& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    // Nothing selected: the page asks for a row.
    select_list_row(list, -1, false);
    std::wstring box = click_for_box(main, item(certPage, 1042), 0);
    EXPECT_FALSE(box.empty());
    EXPECT_FALSE(ends_with(box, L"done.")) << narrow(box);

    select_list_row(list, 0);
    box = click_for_box(main, item(certPage, 1043), 0);
    EXPECT_TRUE(ends_with(box, L"done.")) << narrow(box);
    EXPECT_FALSE(in_personal_store(der));
    box = click_for_box(main, item(certPage, 1042), 0);
    EXPECT_TRUE(ends_with(box, L"done.")) << narrow(box);
    EXPECT_TRUE(in_personal_store(der));

    // Deleting needs the user PIN verified on the token.
    select_tab(main, 0);
    EXPECT_TRUE(ends_with(click_for_box(main, item(devicePage, 1035), 1), L"done."));
    select_tab(main, 1);
    select_list_row(list, 0);
    box = click_for_box(main, item(certPage, 1044), 0);
    EXPECT_TRUE(ends_with(box, L"done.")) << narrow(box) << "\n" << transcript();
    EXPECT_NE(std::string::npos, transcript().find("confirm ")) << transcript();
    EXPECT_TRUE(wait_for([&] { return list_count(list) == 0; }, 5000));
    EXPECT_FALSE(in_personal_store(der));
    EXPECT_NE(0u, qxtoken("cert read --container box --out \"" + dir_ + "back.der\"")) << "still on the token";
}

INSTANTIATE_TEST_SUITE_P(Layouts, ManagerToolPages, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? std::string("Full") : std::string("Reduced"); });

TEST_F(ManagerTool, RootCertificateRowReportsAMissingFile) {
    install(1, "[InstallCert]\r\nCACertNum = 1\r\nRootCertNum = 0\r\nCACert[1] = missing.cer\r\n");
    HWND main = start_tool();
    ASSERT_NE(nullptr, main);
    select_tab(main, 2);
    const auto rows = report(main);
    ASSERT_EQ(9u, rows.size());
    EXPECT_EQ(L"Not registered", rows[8].second);
}

}  // namespace
