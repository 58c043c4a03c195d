// The Windows dialogs of QXUI driven as a person would: a WH_CBT hook finds
// each dialog as it is activated, a driver thread types into its edits
// (WM_SETTEXT), picks list entries, clicks its buttons (BM_CLICK) and reads
// the message it shows, while the test thread waits in the export.  Every
// dialog is photographed in English, Simplified and Traditional Chinese into
// the build's screenshots folder.  The last tests run the UI extension's PIN
// operations through these dialogs against a virtual token.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QXTokenKernel.h"
#include "QXTokenStatus.h"
#include "QXUI.h"
#include "dialog_text.h"
#include "language.h"
#include "tests/support/png_file.h"
#include "device/cardos/state.h"
#include "device/store/token_store.h"
#include "qx/platform/module.h"
#include "qx/platform/process.h"
#include "support/kernel_fixture.h"
#include "tests/support/qx_test_main.h"
#include "token_env.h"
#include "win32_driver.h"

namespace {

using namespace qx::qxui::win32_test;

// ---- call-backs of the direct tests ----
std::atomic<DWORD> g_callbackThread{0};
std::atomic<bool> g_editEmptyDuringCall{false};
HWND g_pinDialog = nullptr;
Text g_wrongText;
const Text g_lockedText = u"The PIN is blocked.";

uint32_t QXUI_CALL verify_cb(DeviceHandle, uint32_t, QXUI_CHAR* pin, QXUI_CHAR* message) {
    g_callbackThread = GetCurrentThreadId();
    g_editEmptyDuringCall = GetWindowTextLengthW(GetDlgItem(g_pinDialog, kRow0)) == 0;
    const Text given(reinterpret_cast<const char16_t*>(pin));
    if (given == u"123456") return 0;
    if (given == u"block") {
        std::copy(g_lockedText.begin(), g_lockedText.end(), message);
        return ERR_PIN_LOCKED;
    }
    std::copy(g_wrongText.begin(), g_wrongText.end(), message);
    return ERR_PIN_INCORRECT;
}

TEST_F(Dialogs, VerifyShowsTheCallbacksMessageAndTakesTheRightPinNext) {
    auto verify = fn<PFN_QXUI_VerifyPin>("QXUI_VerifyPin");
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        g_wrongText = u"PIN 码错误 / wrong PIN: 5";
        Text shownTitle, shownMessage;
        const uint32_t rc = drive<uint32_t>(
            watcher_, l.code,
            [&](Driver& d, std::string& problems) {
                g_pinDialog = d.dialog;
                const std::wstring t = [&] { wchar_t b[256] = {}; GetWindowTextW(d.dialog, b, 256); return std::wstring(b); }();
                shownTitle.assign(t.begin(), t.end());
                d.type(kRow0, u"111111");
                d.click(IDOK);
                CHECK_THAT(d.idle());
                shownMessage = d.utext(kMessage);
                CHECK_THAT(d.shot("verify_pin_retry"));
                d.type(kRow0, u"123456");
                d.click(IDOK);
            },
            [&] { return verify(&verify_cb, nullptr, 1, 1, q(l.path)); }, &problems);
        EXPECT_EQ(0u, rc);
        EXPECT_EQ("", problems);
        EXPECT_EQ(u8(ui(l, "VerifyPin_Title")), u8(shownTitle));
        EXPECT_EQ(u8(g_wrongText), u8(shownMessage)) << "the call-back's message is shown before the retry";
        EXPECT_NE(GetCurrentThreadId(), g_callbackThread.load()) << "call-backs run on a worker thread";
        EXPECT_TRUE(g_editEmptyDuringCall) << "the PIN left its edit control before the call-back ran";
        problems.clear();
    }
    // Cancelled before any attempt, with a PIN typed that is scrubbed from
    // its control, and after a failed attempt (its status).
    watcher_.secretLeft = -1;
    EXPECT_EQ(QXUI_CANCELLED, drive<uint32_t>(watcher_, "enu",
                                              [](Driver& d, std::string&) {
                                                  d.type(kRow0, u"typed-not-sent");
                                                  d.click(IDCANCEL);
                                              },
                                              [&] { return verify(&verify_cb, nullptr, 1, 1, q(languages()[0].path)); },
                                              &problems));
    EXPECT_EQ(0, watcher_.secretLeft.load()) << "the cancelled dialog's PIN edit was emptied before it was freed";
    EXPECT_EQ(ERR_PIN_INCORRECT,
              drive<uint32_t>(watcher_, "enu",
                              [](Driver& d, std::string& problems) {
                                  g_pinDialog = d.dialog;
                                  d.type(kRow0, u"999999");
                                  d.click(IDOK);
                                  CHECK_THAT(d.idle());
                                  d.click(IDCANCEL);
                              },
                              [&] { return verify(&verify_cb, nullptr, 1, 1, q(languages()[0].path)); }, &problems));
    // A blocked PIN: the message stays up, only closing is left, and the
    // dialog answers the blocked status.
    Text lockedShown;
    bool okEnabled = true, editEnabled = true;
    EXPECT_EQ(ERR_PIN_LOCKED,
              drive<uint32_t>(watcher_, "enu",
                              [&](Driver& d, std::string& problems) {
                                  g_pinDialog = d.dialog;
                                  d.type(kRow0, u"block");
                                  d.click(IDOK);
                                  CHECK_THAT(d.wait([&] { return !d.utext(kMessage).empty(); }));
                                  lockedShown = d.utext(kMessage);
                                  okEnabled = d.enabled(IDOK);
                                  editEnabled = d.enabled(kRow0);
                                  d.click(IDCANCEL);
                              },
                              [&] { return verify(&verify_cb, nullptr, 1, 1, q(languages()[0].path)); }, &problems));
    EXPECT_EQ(u8(g_lockedText), u8(lockedShown));
    EXPECT_FALSE(okEnabled);
    EXPECT_FALSE(editEnabled);
    EXPECT_EQ("", problems);
    EXPECT_EQ(ERR_INVALID_PARAM, verify(nullptr, nullptr, 1, 1, q(languages()[0].path)));
    EXPECT_EQ(ERR_INVALID_PARAM, verify(&verify_cb, nullptr, 1, 1, nullptr));
}

std::vector<Text> g_pins;
uint32_t QXUI_CALL change_cb(DeviceHandle, uint32_t, QXUI_CHAR* o, QXUI_CHAR* n, QXUI_CHAR* r, QXUI_CHAR*) {
    g_pins = {reinterpret_cast<char16_t*>(o), reinterpret_cast<char16_t*>(n), reinterpret_cast<char16_t*>(r)};
    return 0;
}
uint32_t QXUI_CALL set_cb(DeviceHandle, uint32_t, QXUI_CHAR* n, QXUI_CHAR* r, QXUI_CHAR*) {
    g_pins = {reinterpret_cast<char16_t*>(n), reinterpret_cast<char16_t*>(r)};
    return 0;
}
uint32_t QXUI_CALL unlock_cb(DeviceHandle, QXUI_CHAR* so, QXUI_CHAR* n, QXUI_CHAR* r, QXUI_CHAR*) {
    g_pins = {reinterpret_cast<char16_t*>(so), reinterpret_cast<char16_t*>(n), reinterpret_cast<char16_t*>(r)};
    return 0;
}
uint32_t QXUI_CALL init_cb(DeviceHandle, QXUI_CHAR* user, QXUI_CHAR* so, QXUI_CHAR* label, QXUI_CHAR*, uint32_t) {
    g_pins = {reinterpret_cast<char16_t*>(user), reinterpret_cast<char16_t*>(so), reinterpret_cast<char16_t*>(label)};
    return 0;
}

// Fills the dialog's edits in order, photographs it and confirms.
std::function<void(Driver&, std::string&)> fill(std::vector<Text> values, std::string shot) {
    return [values, shot](Driver& d, std::string& problems) {
        for (std::size_t i = 0; i < values.size(); ++i) d.type(kRow0 + static_cast<int>(i), values[i]);
        CHECK_THAT(d.shot(shot));
        d.click(IDOK);
    };
}

TEST_F(Dialogs, PinFormsHandEveryFieldToTheirCallbacks) {
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const QXUI_CHAR* path = q(l.path);
        struct Case {
            std::string name;
            std::vector<Text> typed;
            std::function<uint32_t()> call;
        };
        QXUI_CHAR label[QXUI_TEXT_UNITS] = {};
        const Case cases[] = {
            {"change_pin", {u"old111", u"new222", u"new333"},
             [&] { return fn<PFN_QXUI_ChangePin>("QXUI_ChangePin")(&change_cb, nullptr, 1, 1, 2, path); }},
            {"set_pin", {u"set444", u"set555"}, [&] { return fn<PFN_QXUI_SetPin>("QXUI_SetPin")(&set_cb, nullptr, 1, 1, path); }},
            {"unlock_pin", {u"so6666", u"new777", u"new888"},
             [&] { return fn<PFN_QXUI_UnlockPin>("QXUI_UnlockPin")(&unlock_cb, nullptr, 1, path); }},
            {"init_token", {u"user99", u"so0000", u"我的令牌"},
             [&] { return fn<PFN_QXUI_InitToken>("QXUI_InitToken")(&init_cb, nullptr, label, 1, path); }},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            g_pins.clear();
            EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code, fill(c.typed, c.name), c.call, &problems));
            EXPECT_EQ("", problems);
            problems.clear();
            ASSERT_EQ(c.typed.size(), g_pins.size());
            for (std::size_t i = 0; i < c.typed.size(); ++i) EXPECT_EQ(u8(c.typed[i]), u8(g_pins[i]));
        }
        EXPECT_EQ("我的令牌", u8(Text(reinterpret_cast<char16_t*>(label)))) << "the label set comes back";
    }
}

std::atomic<int> g_chosenContainer{-1};
uint32_t QXUI_CALL container_cb(DeviceHandle, const QXUI_CHAR* name, uint32_t flag) {
    g_chosenContainer = Text(reinterpret_cast<const char16_t*>(name)) == u"容器二" && flag == 7 ? 1 : 0;
    return 0;
}

TEST_F(Dialogs, ChoicesAndTheMessageBox) {
    QXUI_DeviceEntry entries[3] = {};
    std::memcpy(entries[0].bytes, "Token A", 7);
    std::memcpy(entries[1].bytes, "Token B", 7);
    std::memcpy(entries[2].bytes, "Token C", 7);
    QXUI_CHAR names[2][QXUI_TEXT_UNITS] = {};
    std::memcpy(names[0], u"容器一", 6);
    std::memcpy(names[1], u"容器二", 6);
    const Text text = u"证书已存在，是否替换？ The certificate exists: replace it?", caption = u"UKey";
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const QXUI_CHAR* path = q(l.path);
        uint32_t index = 99;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [](Driver& d, std::string& problems) {
                                          d.pick(kRow0, 1);
                                          CHECK_THAT(d.shot("select_device"));
                                          d.click(IDOK);
                                      },
                                      [&] { return fn<PFN_QXUI_SelectDevice>("QXUI_SelectDevice")(entries, 3, &index, 1, path); },
                                      &problems));
        EXPECT_EQ(1u, index);
        g_chosenContainer = -1;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [](Driver& d, std::string& problems) {
                                          d.pick(kRow0, 1);
                                          CHECK_THAT(d.shot("select_container"));
                                          d.click(IDOK);
                                      },
                                      [&] {
                                          return fn<PFN_QXUI_SelectContainer>("QXUI_SelectContainer")(
                                              &container_cb, names, 2, nullptr, 7, 1, path);
                                      },
                                      &problems));
        EXPECT_EQ(1, g_chosenContainer.load());
        auto box = fn<PFN_QXUI_MessageBox>("QXUI_MessageBox");
        Text shown;
        EXPECT_EQ(QXUI_CONFIRMED, drive<uint32_t>(watcher_, l.code,
                                                  [&](Driver& d, std::string& problems) {
                                                      shown = d.utext(kRow0);
                                                      CHECK_THAT(d.shot("message_box"));
                                                      d.click(IDOK);
                                                  },
                                                  [&] { return box(q(text), q(caption), 1, 1, path); }, &problems));
        EXPECT_EQ(u8(text), u8(shown));
        EXPECT_EQ(2u, drive<uint32_t>(watcher_, l.code, [](Driver& d, std::string&) { d.click(IDCANCEL); },
                                      [&] { return box(q(text), q(caption), 1, 1, path); }, &problems));
        EXPECT_EQ("", problems);
        problems.clear();
    }
    uint32_t index = 0;
    EXPECT_EQ(ERR_INVALID_PARAM, fn<PFN_QXUI_SelectDevice>("QXUI_SelectDevice")(entries, 0, &index, 1, q(languages()[0].path)));
    EXPECT_EQ(QXUI_CANCELLED, fn<PFN_QXUI_ShowKeyBoard>("QXUI_ShowKeyBoard")(nullptr, 1, q(languages()[0].path)));
}

// ---- dialogs that run their call-back at once ----
HANDLE g_release = nullptr;  // set by the driver once it has seen what it wanted
std::atomic<intptr_t> g_sendAnswer{0};

uint32_t QXUI_CALL keypair_cb(DeviceHandle, uint32_t algorithm, uint32_t, uint32_t, uint32_t, KeyHandle*) {
    WaitForSingleObject(g_release, 20000);
    return algorithm == 0x20000 ? 0u : 1u;
}

uint32_t QXUI_CALL poll_cb(DeviceHandle, KeyHandle, QXUI_DialogContext* context, uint8_t*, uint32_t*) {
    // Sent, never posted: the dialog answers while it pumps.
    g_sendAnswer = SendMessageW(static_cast<HWND>(context->window), QXUI_MSG_WAIT_BUTTON, 1, 0);
    context->flag = 1;
    WaitForSingleObject(g_release, 20000);
    return 0;
}

uint32_t QXUI_CALL send_cb(KeyHandle, QXUI_DialogContext* context, const uint8_t*, uint32_t length) {
    for (uint32_t piece = 1; piece <= length; ++piece)
        SendMessageW(static_cast<HWND>(context->window), QXUI_MSG_PIECE_SENT, 0, reinterpret_cast<LPARAM>(&piece));
    WaitForSingleObject(g_release, 20000);
    return 0;
}

TEST_F(Dialogs, ProgressCountdownAndPiecesWhileTheCallbackRuns) {
    g_release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const uint8_t data[3] = {1, 2, 3};
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const QXUI_CHAR* path = q(l.path);
        Text line, countdown, message;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [&](Driver& d, std::string& problems) {
                                          line = d.utext(kRow0);
                                          CHECK_THAT(!d.enabled(IDCANCEL));
                                          CHECK_THAT(d.shot("keypair_progress"));
                                          SetEvent(g_release);
                                      },
                                      [&] {
                                          return fn<PFN_QXUI_GenKeyPairProgress>("QXUI_GenKeyPairProgress")(
                                              &keypair_cb, nullptr, 0x20000, 2048, 1, 0, nullptr, 1, path);
                                      },
                                      &problems));
        EXPECT_EQ(u8(ui(l, "GenKeyPair_Text")), u8(line));

        g_sendAnswer = 0;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [&](Driver& d, std::string& problems) {
                                          const Text waitText = ui(l, "WaitKeyPress_Text");
                                          CHECK_THAT(d.wait([&] { return d.utext(kMessage) == waitText; }));
                                          // One tick at least: 30 s shown first, then less.
                                          const Text later = ui(l, "WaitKeyPress_TimeLeft", 29);
                                          CHECK_THAT(d.wait([&] { return d.utext(kCountdown) == later; }, 3000));
                                          countdown = d.utext(kCountdown);
                                          CHECK_THAT(d.shot("wait_key_press"));
                                          SetEvent(g_release);
                                      },
                                      [&] {
                                          return fn<PFN_QXUI_WaitKeyPressEvent>("QXUI_WaitKeyPressEvent")(
                                              &poll_cb, nullptr, nullptr, 30, nullptr, nullptr, 1, path);
                                      },
                                      &problems));
        EXPECT_EQ(1, g_sendAnswer.load()) << "the dialog answered the button message";
        EXPECT_EQ(u8(ui(l, "WaitKeyPress_TimeLeft", 29)), u8(countdown));

        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [&](Driver& d, std::string& problems) {
                                          const Text last = ui(l, "WaitTransData_Piece", 3);
                                          CHECK_THAT(d.wait([&] { return d.utext(kMessage) == last; }));
                                          CHECK_THAT(SendMessageW(GetDlgItem(d.dialog, kRow0 + 1), PBM_GETPOS, 0, 0) == 3);
                                          CHECK_THAT(d.shot("transaction_pieces"));
                                          SetEvent(g_release);
                                      },
                                      [&] {
                                          return fn<PFN_QXUI_WaitTransDataEvent>("QXUI_WaitTransDataEvent")(
                                              &send_cb, nullptr, data, 3, 3, 1, path);
                                      },
                                      &problems));
        EXPECT_EQ("", problems);
        problems.clear();
    }
    CloseHandle(g_release);
}

// A wait whose call-back opens a PIN dialog of its own on another thread
// (the token asking for the PIN while it waits): both dialogs live at once.
std::atomic<uint32_t> g_nestedResult{99};
const QXUI_CHAR* g_nestedPath = nullptr;
PFN_QXUI_VerifyPin g_nestedVerify = nullptr;
uint32_t QXUI_CALL nesting_poll_cb(DeviceHandle, KeyHandle, QXUI_DialogContext*, uint8_t*, uint32_t*) {
    std::thread t([] { g_nestedResult = g_nestedVerify(&verify_cb, nullptr, 1, 1, g_nestedPath); });
    t.join();
    return 0;
}

TEST_F(Dialogs, APinDialogOpensFromTheCallbackOfAnotherDialog) {
    const Language l = languages()[1];
    g_nestedPath = q(l.path);
    g_nestedVerify = fn<PFN_QXUI_VerifyPin>("QXUI_VerifyPin");
    std::thread second([&] {
        // The wait dialog comes first; the PIN dialog of its call-back next.
        Driver wait;
        wait.dialog = watcher_.next();
        Driver pin;
        pin.language = l.code;
        pin.dialog = watcher_.next();
        if (!wait.dialog || !pin.dialog) {
            problems += "the nested dialog was not found; ";
            return;
        }
        g_pinDialog = pin.dialog;
        pin.shot("nested_verify_pin");
        pin.type(kRow0, u"123456");
        pin.click(IDOK);
    });
    const uint32_t rc = fn<PFN_QXUI_WaitKeyPressEvent>("QXUI_WaitKeyPressEvent")(&nesting_poll_cb, nullptr, nullptr, 30,
                                                                                nullptr, nullptr, 1, q(l.path));
    second.join();
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(0u, g_nestedResult.load());
    EXPECT_EQ("", problems);
}

// ---- reading and writing through call-backs ----
uint32_t QXUI_CALL devname_cb(DeviceHandle, QXUI_CHAR* label, uint32_t set) {
    if (set == 0) {
        std::memcpy(label, u"旧名称 Old", 16);
        return 0;
    }
    return Text(reinterpret_cast<char16_t*>(label)) == u"bad" ? 0x2u : 0u;
}
uint32_t QXUI_CALL devinfo_cb(DeviceHandle, QXUI_CHAR* label, QXUI_CHAR* serial, QXUI_CHAR* v1, QXUI_CHAR* v2) {
    std::memcpy(label, u"我的 UKey", 14);
    std::memcpy(serial, u"QX0001", 12);
    std::memcpy(v1, u"1.0", 6);
    std::memcpy(v2, u"2.5", 6);
    return 0;
}
uintptr_t QXUI_CALL pfx_cb(const void*, const QXUI_CHAR* password) {
    return Text(reinterpret_cast<const char16_t*>(password)) == u"pfx-pass" ? 0x5A5Au : 0u;
}

TEST_F(Dialogs, LabelInformationAndCertificatePassword) {
    const int blob = 1;
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const QXUI_CHAR* path = q(l.path);
        QXUI_CHAR label[QXUI_TEXT_UNITS] = {};
        Text before, failed;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [&](Driver& d, std::string& problems) {
                                          CHECK_THAT(d.wait([&] { return !d.utext(kRow0).empty(); }));
                                          before = d.utext(kRow0);
                                          d.type(kRow0, u"bad");
                                          d.click(IDOK);
                                          CHECK_THAT(d.idle());
                                          failed = d.utext(kMessage);
                                          d.type(kRow0, u"新名称");
                                          CHECK_THAT(d.shot("change_label"));
                                          d.click(IDOK);
                                      },
                                      [&] {
                                          return fn<PFN_QXUI_ChangeDevName>("QXUI_ChangeDevName")(&devname_cb, nullptr,
                                                                                                 label, 1, path);
                                      },
                                      &problems));
        EXPECT_EQ("旧名称 Old", u8(before));
        EXPECT_EQ(u8(ui(l, "ChangeDevName_Failed")), u8(failed));
        EXPECT_EQ("新名称", u8(Text(reinterpret_cast<char16_t*>(label))));

        Text serial;
        EXPECT_EQ(0u, drive<uint32_t>(watcher_, l.code,
                                      [&](Driver& d, std::string& problems) {
                                          CHECK_THAT(d.wait([&] { return d.utext(kRow0 + 1) == u"QX0001"; }));
                                          serial = d.utext(kRow0 + 1);
                                          CHECK_THAT(d.shot("device_info"));
                                          d.click(IDOK);
                                      },
                                      [&] { return fn<PFN_QXUI_ShowDevInfo>("QXUI_ShowDevInfo")(&devinfo_cb, nullptr, 1, path); },
                                      &problems));
        EXPECT_EQ("QX0001", u8(serial));

        Text wrong;
        EXPECT_EQ(0x5A5Au, drive<uintptr_t>(watcher_, l.code,
                                            [&](Driver& d, std::string& problems) {
                                                d.type(kRow0, u"nope");
                                                d.click(IDOK);
                                                CHECK_THAT(d.idle());
                                                wrong = d.utext(kMessage);
                                                CHECK_THAT(d.shot("import_cert_password"));
                                                d.type(kRow0, u"pfx-pass");
                                                d.click(IDOK);
                                            },
                                            [&] {
                                                return fn<PFN_QXUI_VerifyImportCertPin>("QXUI_VerifyImportCertPin")(
                                                    &pfx_cb, &blob, 1, path);
                                            },
                                            &problems));
        EXPECT_EQ(u8(ui(l, "PfxPassword_Wrong")), u8(wrong));
        EXPECT_EQ("", problems);
        problems.clear();
    }
}



TEST_F(Extension, VerifyRetryAndChangeInEveryLanguage) {
    auto setPath = ui_->function<SetPath>("QXUIEx_SetSysLangPath");
    auto verify = ui_->function<DialogOp>("QXUIEx_VerifyPin");
    auto change = ui_->function<DialogOp>("QXUIEx_ChangePin");
    const Text pins[] = {u"123456", u"234567", u"345678", u"456789"};
    int at = 0;
    for (const Language& l : languages()) {
        SCOPED_TRACE(l.code);
        const Text file = language_file(l);
        ASSERT_EQ(ERR_OK, setPath(q(file)));
        Text shown;
        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, std::string("uiext_") + l.code,
                                          [&](Driver& d, std::string& problems) {
                                              d.type(kRow0, u"000000");
                                              d.click(IDOK);
                                              CHECK_THAT(d.idle());
                                              shown = d.utext(kMessage);
                                              CHECK_THAT(d.shot("verify_pin_retry"));
                                              d.type(kRow0, pins[at]);
                                              d.click(IDOK);
                                          },
                                          [&] { return verify(h_, QXTOKEN_PIN_USER); }, &problems));
        // The wrong PIN cost one try; the right one gave them all back.
        const Text expected = qx::language::FormatText(qx::language::LoadText("RetryPin_Left_Num", file), tries() - 1);
        EXPECT_EQ(u8(expected), u8(shown));

        EXPECT_EQ(ERR_OK, drive<uint32_t>(watcher_, std::string("uiext_") + l.code,
                                          fill({pins[at], pins[at + 1], pins[at + 1]}, "change_pin"),
                                          [&] { return change(h_, QXTOKEN_PIN_USER); }, &problems));
        ++at;
        EXPECT_EQ("", problems);
        problems.clear();
    }
    std::string last = u8(pins[at]);
    EXPECT_EQ(ERR_OK, kernel_->module.function<PFN_QXToken_VerifyPin>("QXToken_VerifyPin")(
                          h_, QXTOKEN_PIN_USER, last.data(), static_cast<uint32_t>(last.size())));
}

TEST_F(Extension, TheWaitForTheButtonOpensFromThePinDialogsCallback) {
    ASSERT_EQ(qx::vtoken::StoreStatus::Ok,
              qx::vtoken::TokenStore(kt::vtoken_home()).update(name_, [](qx::vtoken::TokenState& s) {
                  s.config.pin_button = true;
                  return true;
              }));
    const Language l = languages()[1];
    ASSERT_EQ(ERR_OK, ui_->function<SetPath>("QXUIEx_SetSysLangPath")(q(language_file(l))));
    int pressed = -100;
    Text waitShown;
    const uint32_t rc = drive<uint32_t>(
        watcher_, std::string("uiext_") + l.code,
        [&](Driver& d, std::string& problems) {
            d.type(kRow0, u"123456");
            d.click(IDOK);
            Driver wait = d;
            wait.dialog = watcher_.next();
            if (!wait.dialog) {
                problems += "no wait dialog; ";
                return;
            }
            const Text expected = ui(l, "WaitKeyPress_Text");
            CHECK_THAT(wait.wait([&] { return wait.utext(kMessage) == expected; }));
            waitShown = wait.utext(kMessage);
            CHECK_THAT(wait.shot("wait_button"));
            const std::string tool = kt::binary_directory() + "qxvtoken.exe";
            auto child = qx::platform::ChildProcess::spawn({tool, "press", name_});
            pressed = child ? child->wait() : -1;
        },
        [&] { return ui_->function<DialogOp>("QXUIEx_VerifyPin")(h_, QXTOKEN_PIN_USER); }, &problems);
    EXPECT_EQ(ERR_OK, rc);
    EXPECT_EQ(0, pressed);
    EXPECT_EQ(u8(ui(l, "WaitKeyPress_Text")), u8(waitShown));
    EXPECT_EQ("", problems);
    EXPECT_EQ(3, kt::security_state(name_));
}

}  // namespace
